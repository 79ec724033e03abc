// Coverage-guided fuzzing of the conversion (libFuzzer): any bytes in, a
// rejection or an image out, and on every input the reader must agree with a
// second reader written the plainest way (the whole text in memory, one
// record at a time, read whole, no window, no fast path) and keep a few
// properties.
#include "hexread.hpp"
#include "imageheader.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct Outcome {
    std::vector<std::uint8_t> image; // empty when rejected
    std::string message;
    std::optional<std::uint64_t> firstStart{}, secondStart{}; // where each image's data start
    // For each range left out: the bytes, the lowest and highest address, the
    // first and last line in the first file and in the second.
    std::vector<std::array<std::uint64_t, 7>> leftOut{};
    bool operator==(const Outcome& other) const = default;
};

// Ranges of addresses left out: first and last, included.
using Ranges = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The number the hex digits at `at` spell, or -1 where one is no digit.
long long hexNumber(std::string_view text, std::size_t at, std::size_t digits)
{
    long long value = 0;
    for (std::size_t i = 0; i < digits; ++i) {
        const int digit = hexValue(text[at + i]);
        if (digit < 0)
            return -1;
        value = value * 16 + digit;
    }
    return value;
}

Outcome readRecords(std::string_view text, const Ranges& ranges)
{
    enum { firstFile, provisional, secondFile } part = firstFile;
    std::size_t secondFileStart = 0; // where the second file's first record stands
    const auto lineOf = [&](std::size_t at) { return 1 + static_cast<std::size_t>(std::count(text.begin(), text.begin() + at, '\n')); };
    // A record that passes an image's limit is named by its address and where its image starts.
    struct Reach {
        std::uint64_t record, imageStart;
    };
    const auto fault = [&](const char* what, std::size_t at, std::optional<Reach> reach = std::nullopt) {
        std::string message = std::string(what) + " at line " + std::to_string(lineOf(at));
        std::vector<std::string> notes;
        if (part == secondFile && std::string_view(what).substr(0, 4) != "More")
            notes.push_back("line " + std::to_string(lineOf(at) - lineOf(secondFileStart) + 1) + " of the second file");
        if (reach) {
            char addresses[80];
            std::snprintf(addresses, sizeof addresses, "a record at 0x%08llX; the image starts at 0x%08llX",
                          static_cast<unsigned long long>(reach->record), static_cast<unsigned long long>(reach->imageStart));
            notes.push_back(addresses);
        }
        for (std::size_t i = 0; i < notes.size(); ++i)
            message += (i == 0 ? " (" : "; ") + notes[i] + (i + 1 == notes.size() ? ")" : "");
        return Outcome{{}, message};
    };

    // A record read whole: its head, then its data and checksum.
    struct Record {
        std::size_t mark = 0, end = 0;
        long long count = 0, address = 0, type = 0;
        std::vector<std::uint8_t> bytes;
    };
    const auto readHead = [&](std::size_t mark, Record& record) -> std::optional<Outcome> {
        if (text.size() - mark < 9)
            return fault("Record cut short", mark);
        record = {mark, 0, hexNumber(text, mark + 1, 2), hexNumber(text, mark + 3, 4), hexNumber(text, mark + 7, 2), {}};
        if (record.count < 0 || record.address < 0 || record.type < 0)
            return fault("Bad hex digit", mark);
        if ((record.type == 2 || record.type == 4) && record.count != 2)
            return fault("Extended address record without 2 data bytes", mark);
        record.end = mark + 11 + 2 * static_cast<std::size_t>(record.count);
        if (text.size() < record.end)
            return fault("Record cut short", mark);
        return std::nullopt;
    };
    const auto readData = [&](Record& record) -> std::optional<Outcome> {
        long long sum = record.count + record.address / 256 + record.address % 256 + record.type;
        for (std::size_t pair = record.mark + 9; pair < record.end; pair += 2) {
            const long long byte = hexNumber(text, pair, 2);
            if (byte < 0)
                return fault("Bad hex digit", record.mark);
            sum += byte;
            if (pair + 2 < record.end)
                record.bytes.push_back(static_cast<std::uint8_t>(byte));
        }
        return sum % 256 ? fault("Bad checksum", record.mark) : std::optional<Outcome>();
    };
    // The next record mark from `from` on, and the first character on the way that is no blank.
    const auto nextRecord = [&](std::size_t from) {
        const std::size_t mark = text.find(':', from);
        const std::size_t stray = text.substr(0, mark).find_first_not_of(" \t\r\n", from);
        return std::pair{mark, stray};
    };

    // The first line of skipped text in [from, to) whose closing run of hex
    // digits, blanks behind it aside, is a whole record but for its ':': of
    // its last even number of digits, at least ten, as many as its count
    // calls for, its bytes adding up to 0 modulo 256.
    const auto lostMark = [&](std::size_t from, std::size_t to) -> std::optional<Outcome> {
        for (std::size_t line = from;; line = text.find('\n', line) + 1) {
            const std::size_t end = std::min(text.find('\n', line), to);
            std::size_t runEnd = end, runStart = end;
            while (runEnd > line && (text[runEnd - 1] == ' ' || text[runEnd - 1] == '\t' || text[runEnd - 1] == '\r'))
                runStart = --runEnd;
            while (runStart > line && hexValue(text[runStart - 1]) >= 0)
                --runStart;
            runStart += (runEnd - runStart) % 2;
            long long sum = 0;
            for (std::size_t pair = runStart; pair < runEnd; pair += 2)
                sum += hexNumber(text, pair, 2);
            if (runEnd - runStart >= 10 && static_cast<long long>(runEnd - runStart) == 10 + 2 * hexNumber(text, runStart, 2) && sum % 256 == 0)
                return Outcome{{}, "Record without its ':' at line " + std::to_string(lineOf(line))};
            if (end == to)
                return std::nullopt;
        }
    };

    // Type 02 and 04 records set the upper address that data records' addresses add to.
    std::uint64_t upper = 0;
    // Each image's bytes by their addresses.
    using Image = std::map<std::uint64_t, std::uint8_t>;
    // The lowest address an image's bytes have, and the one behind its highest.
    const auto low = [](const Image& image) { return image.begin()->first; };
    const auto high = [](const Image& image) { return image.rbegin()->first + 1; };
    const auto flat = [&](const Image& image) {
        std::vector<std::uint8_t> bytes;
        if (!image.empty())
            bytes.resize(static_cast<std::size_t>(high(image) - low(image)), 0xFF);
        for (const auto& [address, byte] : image)
            bytes[static_cast<std::size_t>(address - low(image))] = byte;
        return bytes;
    };
    const auto overlaps = [](const Image& image, std::uint64_t address, std::size_t size) {
        const auto given = image.lower_bound(address);
        return given != image.end() && given->first < address + size;
    };
    // How far an image spans with a record from `address` to `end`.
    const auto spanWith = [&](const Image& image, std::uint64_t address, std::uint64_t end) {
        return image.empty() ? end - address : std::max(high(image), end) - std::min(low(image), address);
    };
    // What each range left out, and the marks of the records it took bytes
    // from, first and last, by the part of the text they stood in.
    struct LeftOut {
        std::uint64_t bytes = 0, low = 0, high = 0;
        std::optional<std::size_t> from[3], to[3];
    };
    std::vector<LeftOut> leftOut(ranges.size());
    const auto held = [&](std::uint64_t address) {
        return std::any_of(ranges.begin(), ranges.end(), [&](const auto& range) { return range.first <= address && address <= range.second; });
    };
    Image first, second; // second: the second image, or a provisional one behind a 000004 record of the first file
    std::size_t marker = 0;                          // the 000004 record that began a provisional image
    std::optional<Outcome> rejoinFault, pageSplit;   // what counts once it is known what that image was

    // A type 01 record with a record at `behind`: the first file ends, or a third begins.
    const auto nextFile = [&](std::size_t behind) -> std::optional<Outcome> {
        if (part == secondFile)
            return fault("More than two HEX files: a third starts", behind);
        if (part == provisional) {
            if (rejoinFault)
                return rejoinFault;
            first.insert(second.begin(), second.end());
            second.clear();
            for (LeftOut& range : leftOut)
                if (range.from[provisional]) {
                    range.from[firstFile] = range.from[firstFile] ? range.from[firstFile] : range.from[provisional];
                    range.to[firstFile] = range.to[provisional];
                    range.from[provisional].reset();
                }
        }
        part = secondFile;
        secondFileStart = behind;
        upper = 0;
        pageSplit.reset();
        return std::nullopt;
    };
    const auto unended = [&]() -> Outcome {
        if (pageSplit)
            return *pageSplit;
        return {{}, part == firstFile     ? "No 000004 record to end the first image: give two HEX files joined end to end"
                    : part == provisional ? "No 000005 record to end the second image"
                                          : "No end-of-file record to end the second file"};
    };
    const auto image = [&]() -> Outcome {
        if (pageSplit)
            return *pageSplit;
        std::vector<std::uint8_t> bytes = flat(first), secondBytes = flat(second);
        bytes.resize(0x8000, 0xFF);
        bytes.insert(bytes.end(), secondBytes.begin(), secondBytes.end());
        const auto start = [&](const Image& laid) { return laid.empty() ? std::nullopt : std::optional(low(laid)); };
        Outcome outcome{bytes, "", start(first), start(second)};
        // Lines of the second file count from its first record's: behind a
        // type 01 record, or the 000004 record that began its image.
        const int secondPart = part == secondFile ? secondFile : provisional;
        const std::size_t base = lineOf(part == secondFile ? secondFileStart : marker) - 1;
        for (const LeftOut& range : leftOut) {
            std::array<std::uint64_t, 7> told{range.bytes, range.low, range.high};
            for (std::size_t file = 0; file < 2; ++file) {
                const int notes = file == 0 ? firstFile : secondPart;
                if (range.from[notes]) {
                    told[3 + 2 * file] = lineOf(*range.from[notes]) - (file ? base : 0);
                    told[4 + 2 * file] = lineOf(*range.to[notes]) - (file ? base : 0);
                }
            }
            outcome.leftOut.push_back(told);
        }
        return outcome;
    };

    std::size_t at = text.find(':');
    if (at == text.npos)
        return {{}, "No record in the input"};
    if (auto failed = lostMark(0, at))
        return *failed;
    for (bool firstRecord = true;; firstRecord = false) {
        if (!firstRecord) {
            const auto [mark, stray] = nextRecord(at);
            if (stray != text.npos)
                return fault("Text outside a record", stray);
            if (mark == text.npos)
                return unended();
            at = mark;
        }
        Record record;
        if (auto failed = readHead(at, record))
            return *failed;
        const std::size_t mark = at;
        at = record.end;
        if (record.type == 1) {
            if (auto failed = readData(record))
                return *failed;
            const std::size_t behind = text.find(':', record.end);
            if (auto failed = lostMark(record.end, std::min(behind, text.size())))
                return *failed;
            if (behind == text.npos)
                return part == secondFile ? image() : unended();
            at = behind;
            if (!firstRecord)
                if (auto failed = nextFile(behind))
                    return *failed;
            continue;
        }
        if (record.type != 0) {
            if (auto failed = readData(record))
                return *failed;
            if (record.type == 2 || record.type == 4) {
                if (record.type == 4 && record.address == 0 && part == firstFile && !firstRecord) {
                    part = provisional;
                    marker = mark;
                }
                upper = static_cast<std::uint64_t>(record.bytes[0] << 8 | record.bytes[1]) << (record.type == 4 ? 16 : 4);
            }
            if (record.type == 5 && record.address == 0 && part != firstFile) {
                // The image ends here, unless records follow.
                const auto [next, stray] = nextRecord(record.end);
                if (next == text.npos)
                    return image();
                if (stray != text.npos)
                    return fault("Text outside a record", stray);
                at = next;
                if (part == secondFile)
                    continue;
                Record fileEnd;
                if (auto failed = readHead(next, fileEnd))
                    return *failed;
                if (fileEnd.type != 1)
                    return pageSplit ? *pageSplit : fault("Record behind the 000005 record that ends the image", next);
                if (auto failed = readData(fileEnd))
                    return *failed;
                const std::size_t behind = text.find(':', fileEnd.end);
                if (auto failed = lostMark(fileEnd.end, std::min(behind, text.size())))
                    return *failed;
                if (behind == text.npos)
                    return image();
                if (auto failed = nextFile(behind))
                    return *failed;
                at = behind;
            }
            continue;
        }
        if (record.count == 0) {
            if (auto failed = readData(record))
                return *failed;
            continue;
        }
        const auto size = static_cast<std::size_t>(record.count);
        const std::uint64_t address = upper + static_cast<std::uint64_t>(record.address);
        // The record's bytes that no range holds, in runs: each is laid as a record of its own.
        std::vector<std::pair<std::uint64_t, std::uint64_t>> pieces;
        for (std::uint64_t byte = address; byte < address + size; ++byte)
            if (held(byte))
                continue;
            else if (!pieces.empty() && pieces.back().second == byte)
                ++pieces.back().second;
            else
                pieces.push_back({byte, byte + 1});
        Image& laid = part == firstFile ? first : second;
        for (const auto& [from, to] : pieces)
            if (overlaps(laid, from, static_cast<std::size_t>(to - from)))
                return fault("Record overlaps another", mark);
        const std::uint64_t room = part == firstFile ? 0x8000 : 0x200000 - 0x8000;
        if (!pieces.empty() && spanWith(laid, pieces.front().first, pieces.back().second) > room)
            return fault(part == firstFile ? "First image exceeds 0x8000 bytes" : "Image exceeds 0x200000 bytes", mark,
                         Reach{pieces.front().first, low(laid)});
        if (auto failed = readData(record))
            return *failed;
        for (std::size_t i = 0; i < ranges.size(); ++i) {
            const std::uint64_t from = std::max(ranges[i].first, address), to = std::min(ranges[i].second + 1, address + size);
            if (from >= to)
                continue;
            LeftOut& range = leftOut[i];
            range.low = range.bytes ? std::min(range.low, from) : from;
            range.high = range.bytes ? std::max(range.high, to - 1) : to - 1;
            range.bytes += to - from;
            range.from[part] = range.from[part] ? range.from[part] : mark;
            range.to[part] = mark;
        }
        for (const auto& [from, to] : pieces) {
            if (part == provisional && laid.empty() && !first.empty() && from == high(first) && high(first) - low(first) < 0x8000)
                pageSplit = fault("First image goes on behind the 000004 record", marker);
            if (part == provisional && !rejoinFault) {
                // As the first file's data, with the first image's.
                std::uint64_t start = ~std::uint64_t{0}, stop = to;
                for (const Image* both : {&first, &second})
                    if (!both->empty()) {
                        start = std::min(start, low(*both));
                        stop = std::max(stop, high(*both));
                    }
                if (overlaps(first, from, static_cast<std::size_t>(to - from)))
                    rejoinFault = fault("Record overlaps another", mark);
                else if (stop - std::min(start, from) > 0x8000)
                    rejoinFault = fault("First image exceeds 0x8000 bytes", mark, Reach{from, start});
            }
            for (std::uint64_t byte = from; byte < to; ++byte)
                laid[byte] = record.bytes[static_cast<std::size_t>(byte - address)];
        }
    }
}

// What the reader says of the text: where it rejects it and the text is
// plainly no HEX text, what it is.
Outcome referenceRead(std::string_view text, const Ranges& ranges = {})
{
    Outcome outcome = readRecords(text, ranges);
    if (outcome.message.empty())
        return outcome;
    const auto opens = [&](std::string_view magic) { return text.substr(0, magic.size()) == magic; };
    // A line starting with S0 to S9, as an S-record does.
    bool sRecordLine = false;
    for (std::size_t line = 0; line < text.size();) {
        sRecordLine |= text.size() - line >= 2 && text[line] == 'S' && text[line + 1] >= '0' && text[line + 1] <= '9';
        const std::size_t feed = text.find('\n', line);
        if (feed == text.npos)
            break;
        line = feed + 1;
    }
    if (opens("\xFF\xFE") || opens("\xFE\xFF"))
        outcome.message = "The input is UTF-16 text: save it as ASCII";
    else if (opens("\x7F" "ELF"))
        outcome.message = "The input is an ELF file: make HEX of it with objcopy -O ihex";
    else if (opens("UF2\n"))
        outcome.message = "The input is a UF2 file, not Intel HEX";
    else if (text.find(':') == text.npos && sRecordLine)
        outcome.message = "The input holds S-records, not Intel HEX: srec_cat FILE -o OUT -intel converts them";
    return outcome;
}

void require(bool holds, const char* what)
{
    if (!holds) {
        std::fprintf(stderr, "property broken: %s\n", what);
        std::abort();
    }
}

Outcome zemkarRead(std::string_view text, std::vector<std::uint8_t>& buffer, const Ranges& ranges = {}, MapNotes* map = nullptr)
{
    char message[faultMessageSize] = "";
    std::FILE* in = fmemopen(const_cast<char*>(text.data()), text.size(), "rb");
    if (!in)
        std::abort();
    static std::vector<char> window(textBufferSize);
    static std::vector<std::uint8_t> gapMap(gapMapSize);
    static const std::vector<std::uint8_t> zeros(gapMapSize);
    ImageStarts starts;
    std::vector<LeftOutRange> leftOut;
    for (const auto& [first, last] : ranges)
        leftOut.push_back({.first = first, .last = last});
    const std::uint32_t length = readImage(in, window.data(), buffer.data() + headerSize, gapMap.data(), message, starts, leftOut, map);
    std::fclose(in);
    require(std::memcmp(gapMap.data(), zeros.data(), gapMapSize) == 0, "gap map left all zero");
    const std::uint8_t* image = buffer.data() + headerSize;
    if (!length)
        return {{}, message};
    Outcome outcome{std::vector<std::uint8_t>(image, image + length), "", starts.first, starts.second};
    for (const LeftOutRange& range : leftOut)
        outcome.leftOut.push_back({range.bytes, range.low, range.high, range.lines[0][0], range.lines[0][1], range.lines[1][0],
                                   range.lines[1][1]});
    return outcome;
}

// The map of the text: reading with it changes nothing; of an image, each
// image's runs start at its data's start and lie within it, and every byte
// no run holds is fill.
void checkMap(std::string_view text, std::vector<std::uint8_t>& buffer, const Outcome& actual)
{
    static std::vector<std::uint8_t> given(mapParts * givenMapSize);
    std::fill(given.begin(), given.end(), 0);
    MapNotes notes{};
    for (std::size_t part = 0; part != mapParts; ++part)
        notes.given[part] = given.data() + part * givenMapSize;
    require(zemkarRead(text, buffer, {}, &notes) == actual, "a map changes no reading");
    if (actual.image.empty())
        return;
    std::vector<bool> inRun(actual.image.size());
    const std::optional<std::uint64_t> starts[2] = {actual.firstStart, actual.secondStart};
    for (std::size_t part = 0; part != 2; ++part) {
        require(notes.any[part] == starts[part].has_value() && (!notes.any[part] || notes.low[part] == *starts[part]),
                "each image's runs start where its data do");
        std::uint64_t first = 0, past = 0;
        for (std::uint64_t at = notes.low[part]; nextGivenRun(notes, part, at, notes.high[part], first, past); at = past)
            for (std::uint64_t address = first; address != past; ++address) {
                const std::uint64_t offset = (part ? segmentTwoOffset : 0) + (address - notes.low[part]);
                require(offset < inRun.size() && (part ? offset >= segmentTwoOffset : offset < segmentTwoOffset),
                        "a run lies within its image");
                inRun[offset] = true;
            }
    }
    for (std::size_t offset = 0; offset != inRun.size(); ++offset)
        require(inRun[offset] || actual.image[offset] == fillByte, "every byte no run holds is fill");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static std::vector<std::uint8_t> buffer(headerSize + imageCapacity);
    const std::string text(reinterpret_cast<const char*>(data), size);
    const Outcome expected = referenceRead(text);
    const Outcome actual = zemkarRead(text, buffer);
    require(actual == expected, "agrees with the plain reader");
    require(actual.image.empty() != actual.message.empty(), "either an image or a message");
    checkMap(text, buffer, actual);

    // Ranges left out, drawn from where the images start and the text's
    // size: amid the first image, amid the second, and one far above both.
    const std::uint64_t firstAt = actual.firstStart.value_or(0x08000000) + size % 97,
                        secondAt = actual.secondStart.value_or(0x08008000) + size % 301;
    const Ranges ranges{{firstAt, firstAt + size % 23}, {secondAt, secondAt + size % 40}, {0xFFFFFF00, 0xFFFFFFFF}};
    require(zemkarRead(text, buffer, ranges) == referenceRead(text, ranges), "leaves out what the plain reader leaves out");

    std::string swapped = text;
    for (char& c : swapped)
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
            c ^= 0x20;
    // Letters name other formats (ELF, UF2, S-records) by their case alone.
    const Outcome swappedRead = zemkarRead(swapped, buffer);
    const auto named = [](const Outcome& outcome) { return outcome.message.starts_with("The input "); };
    require(swappedRead == actual || named(swappedRead) || named(actual), "the case of letters changes nothing");

    // A line feed within a record's head would move its type along; anywhere
    // else a carriage return before it changes nothing.
    bool lineFeedInHead = false;
    for (std::size_t at = text.find(':'); at != text.npos; at = text.find(':', at + 1))
        lineFeedInHead |= text.substr(at, 9).find('\n') != text.npos;
    if (!lineFeedInHead) {
        std::string crlf;
        for (char c : text)
            crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
        require(zemkarRead(crlf, buffer).image == actual.image, "CR before LF changes no image");
    }

    if (actual.image.empty())
        return 0;
    require(actual.image.size() >= 0x8000 && actual.image.size() <= 0x200000, "image length in bounds");
    buildHeader(buffer.data(), static_cast<std::uint32_t>(actual.image.size()));
    unsigned sum = 0;
    for (auto byte : actual.image)
        sum += byte;
    const std::size_t length = actual.image.size();
    const std::uint8_t header[headerSize] = {0, 0, std::uint8_t(sum), std::uint8_t(sum >> 8), 0x55, 0xAA,
                                             std::uint8_t(length), std::uint8_t(length >> 8),
                                             std::uint8_t(length >> 16), std::uint8_t(length >> 24)};
    require(std::equal(header, header + headerSize, buffer.begin()), "headed form is header then raw form");
    return 0;
}
