// Coverage-guided fuzzing of the conversion (libFuzzer): any bytes in, a
// rejection or an image out, and on every input the reader must agree with a
// second reader written the plainest way (the whole text in memory, one
// record at a time, no window, no fast path) and keep a few properties.
#include "hexread.hpp"
#include "imageheader.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct Outcome {
    std::vector<std::uint8_t> image; // empty when rejected
    std::string message;
    bool operator==(const Outcome& other) const { return image == other.image && message == other.message; }
};

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

Outcome readRecords(std::string_view text)
{
    enum { firstFile, provisional, secondFile } part = firstFile;
    std::size_t secondFileStart = 0; // where the second file's first record stands
    const auto lineOf = [&](std::size_t at) { return 1 + static_cast<std::size_t>(std::count(text.begin(), text.begin() + at, '\n')); };
    const auto fault = [&](const char* what, std::size_t record) {
        char message[faultMessageSize];
        const int length = std::snprintf(message, sizeof message, "%s at line %zu", what, lineOf(record));
        if (part == secondFile && std::string_view(what).substr(0, 4) != "More")
            std::snprintf(message + length, sizeof message - static_cast<std::size_t>(length), " (line %zu of the second file)",
                          lineOf(record) - lineOf(secondFileStart) + 1);
        return Outcome{{}, message};
    };
    const auto typeAt = [&](std::size_t record) { return text.size() - record >= 9 ? text.substr(record + 7, 2) : ""; };
    // The checksum behind `count` data bytes makes all the record's bytes add up to 0 modulo 256.
    const auto checkSum = [&](std::size_t record, std::size_t count) -> std::optional<Outcome> {
        const std::size_t checksum = record + 9 + 2 * count;
        if (text.size() < checksum + 2)
            return fault("Record cut short", record);
        long long sum = 0;
        for (std::size_t pair = record + 1; pair <= checksum; pair += 2) {
            const long long byte = hexNumber(text, pair, 2);
            if (byte < 0)
                return fault("Bad hex digit", record);
            sum += byte;
        }
        return sum % 256 ? fault("Bad checksum", record) : std::optional<Outcome>();
    };
    // A type 01 record that ends a file.
    const auto checkEndOfFile = [&](std::size_t record) -> std::optional<Outcome> {
        const long long count = hexNumber(text, record + 1, 2);
        if (count < 0)
            return fault("Bad hex digit", record);
        if (text.size() - record - 9 < 2 * static_cast<std::size_t>(count))
            return fault("Record cut short", record);
        for (std::size_t pair = record + 3; pair < record + 9 + 2 * static_cast<std::size_t>(count); pair += 2)
            if (hexNumber(text, pair, 2) < 0)
                return fault("Bad hex digit", record);
        return checkSum(record, static_cast<std::size_t>(count));
    };
    // Type 02 and 04 records set the upper address that data records' addresses add to.
    std::uint64_t upper = 0;
    const auto readUpper = [&](std::size_t record) -> std::optional<Outcome> {
        const long long count = hexNumber(text, record + 1, 2);
        if (count < 0 || hexNumber(text, record + 3, 4) < 0)
            return fault("Bad hex digit", record);
        if (count != 2)
            return fault("Extended address record without 2 data bytes", record);
        if (text.size() - record - 9 < 4)
            return fault("Record cut short", record);
        const long long value = hexNumber(text, record + 9, 4);
        if (value < 0)
            return fault("Bad hex digit", record);
        upper = static_cast<std::uint64_t>(value) << (typeAt(record) == "04" ? 16 : 4);
        return checkSum(record, 2);
    };

    // Each image's bytes from its base, without what stands in front of it.
    struct Image {
        std::vector<std::uint8_t> bytes;
        bool placed = false;
        std::uint64_t next = 0; // the address of the byte that would come next
    };
    Image first, second; // second: the second image, or a provisional one behind a 000004 record of the first file
    std::size_t marker = 0;                          // the 000004 record that began a provisional image
    std::optional<Outcome> rejoinFault, pageSplit;   // what counts once it is known what that image was

    std::size_t mark = text.find(':');
    if (mark == text.npos)
        return {{}, "No record in the input"};
    std::size_t scan = typeAt(mark) == "00" ? mark : mark + 1;
    if (typeAt(mark) == "02" || typeAt(mark) == "04") {
        if (auto failed = readUpper(mark))
            return *failed;
        scan = mark + 13;
    }
    // A type 01 record with a record at `behind`: the first file ends, or a third begins.
    const auto nextFile = [&](std::size_t behind) -> std::optional<Outcome> {
        if (part == secondFile)
            return fault("More than two HEX files: a third starts", behind);
        if (part == provisional) {
            if (rejoinFault)
                return rejoinFault;
            if (second.placed) {
                const std::uint64_t base = second.next - second.bytes.size();
                if (first.placed)
                    first.bytes.resize(first.bytes.size() + static_cast<std::size_t>(base - first.next), 0xFF);
                first.bytes.insert(first.bytes.end(), second.bytes.begin(), second.bytes.end());
            }
            second = {};
        }
        part = secondFile;
        secondFileStart = behind;
        upper = 0;
        pageSplit.reset();
        scan = behind;
        return std::nullopt;
    };
    for (;;) {
        mark = text.find(':', scan);
        if (mark == text.npos) {
            if (pageSplit)
                return *pageSplit;
            return {{}, part == firstFile     ? "No 000004 record to end the first image: give two HEX files joined end to end"
                        : part == provisional ? "No 000005 record to end the second image"
                                              : "No end-of-file record to end the second file"};
        }
        if (text.size() - mark < 9)
            return fault("Record cut short", mark);
        const auto type = typeAt(mark);
        scan = mark + 7;
        if (type == "02" || type == "04") {
            if (text.substr(mark + 3, 6) == "000004" && part == firstFile) {
                part = provisional;
                marker = mark;
            }
            if (auto failed = readUpper(mark))
                return *failed;
            scan = mark + 13;
            continue;
        }
        if (type == "01") {
            const std::size_t behind = text.find(':', mark + 7);
            if (behind != text.npos || part == secondFile)
                if (auto failed = checkEndOfFile(mark))
                    return *failed;
            if (behind == text.npos) {
                if (part == secondFile)
                    break;
                continue; // the search finds no more records
            }
            if (auto failed = nextFile(behind))
                return *failed;
            continue;
        }
        if (text.substr(mark + 3, 6) == "000005" && (part == provisional || (part == secondFile && second.placed))) {
            const std::size_t next = text.find(':', mark + 7);
            const std::size_t behind = next != text.npos && typeAt(next) == "01" ? text.find(':', next + 7) : text.npos;
            if (behind == text.npos) {
                if (pageSplit)
                    return *pageSplit;
                break;
            }
            if (part == provisional)
                if (auto failed = checkEndOfFile(next))
                    return *failed;
            if (auto failed = nextFile(behind))
                return *failed;
            continue;
        }
        if (type != "00")
            continue;
        const long long count = hexNumber(text, mark + 1, 2);
        if (count < 0)
            return fault("Bad hex digit", mark);
        const auto size = static_cast<std::size_t>(count);
        if (text.size() - mark - 9 < 2 * size)
            return fault("Record cut short", mark);
        scan = mark + 9 + 2 * size;
        if (size == 0)
            continue;
        const long long offset = hexNumber(text, mark + 3, 4);
        if (offset < 0)
            return fault("Bad hex digit", mark);
        const std::uint64_t address = upper + static_cast<std::uint64_t>(offset);
        Image& image = part == firstFile ? first : second;
        if (!image.placed) {
            image.placed = true;
            image.next = address;
            if (part == provisional && first.placed) {
                if (address == first.next && first.bytes.size() < 0x8000)
                    pageSplit = fault("First image goes on behind the 000004 record", marker);
                if (address < first.next)
                    rejoinFault = fault("Record out of order or overlapping", mark);
            }
        }
        if (address < image.next)
            return fault("Record out of order or overlapping", mark);
        const std::uint64_t room = part == firstFile ? 0x8000 : 0x200000 - 0x8000;
        if (image.bytes.size() + (address - image.next) + size > room)
            return fault(part == firstFile ? "First image exceeds 0x8000 bytes" : "Image exceeds 0x200000 bytes", mark);
        if (part == provisional && !rejoinFault) {
            // As the first file's data, behind the first image's.
            const std::uint64_t base = image.next - image.bytes.size();
            const std::uint64_t end = address + size - base;
            if ((first.placed ? first.bytes.size() + (base - first.next) : 0) + end > 0x8000)
                rejoinFault = fault("First image exceeds 0x8000 bytes", mark);
        }
        image.bytes.resize(image.bytes.size() + static_cast<std::size_t>(address - image.next), 0xFF); // within the room
        for (std::size_t i = 0; i < size; ++i) {
            const long long byte = hexNumber(text, mark + 9 + 2 * i, 2);
            if (byte < 0)
                return fault("Bad hex digit", mark);
            image.bytes.push_back(static_cast<std::uint8_t>(byte));
        }
        if (auto failed = checkSum(mark, size))
            return *failed;
        scan += 2;
        image.next = address + size;
    }
    std::vector<std::uint8_t> image = first.bytes;
    image.resize(0x8000, 0xFF);
    image.insert(image.end(), second.bytes.begin(), second.bytes.end());
    return {image, ""};
}

// What the reader says of the text: where it rejects it and the text is
// plainly no HEX text, what it is.
Outcome referenceRead(std::string_view text)
{
    Outcome outcome = readRecords(text);
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

Outcome zemkarRead(std::string_view text, std::vector<std::uint8_t>& buffer)
{
    char message[faultMessageSize] = "";
    std::FILE* in = fmemopen(const_cast<char*>(text.data()), text.size(), "rb");
    if (!in)
        std::abort();
    static std::vector<char> window(textBufferSize);
    const std::uint32_t length = readImage(in, window.data(), buffer.data() + headerSize, message);
    std::fclose(in);
    const std::uint8_t* image = buffer.data() + headerSize;
    return {std::vector<std::uint8_t>(image, image + length), length ? "" : message};
}

void require(bool holds, const char* what)
{
    if (!holds) {
        std::fprintf(stderr, "property broken: %s\n", what);
        std::abort();
    }
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
