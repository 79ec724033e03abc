#include "hexread.hpp"

#include "hexkernels.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>

namespace {

// A record's fields, by where they start behind its mark ':'.
constexpr std::ptrdiff_t countField = 1;   // byte count, two digits
constexpr std::ptrdiff_t addressField = 3; // load address, four digits
constexpr std::ptrdiff_t typeField = 7;    // record type, two digits
constexpr std::ptrdiff_t dataField = 9;    // data, two digits a byte
constexpr std::ptrdiff_t recordHeadLength = dataField;

// The fast path takes a record only with this much text behind its mark.
constexpr std::ptrdiff_t fastPathRoom = longestRecord + markLookahead;

static_assert(windowSize >= fastPathRoom, "a read holds at least a longest record and the lookahead");

// What a record is, told by its type: data (00), end of file (01), an
// address record (02, 04: the upper address of the data records behind it),
// a start address (03, 05), or any other.
enum class Kind { data, endOfFile, address, start, other };

struct Head {
    Kind kind;
    bool marker; // its address and type read "000004" or "000005"
};

// What the record at `record`, whose head stands in the text, is.
Head readHead(const char* record)
{
    const char* type = record + typeField;
    Kind kind = Kind::other;
    if (type[0] == '0') {
        switch (type[1]) {
        case '0':
            kind = Kind::data;
            break;
        case '1':
            kind = Kind::endOfFile;
            break;
        case '2':
        case '4':
            kind = Kind::address;
            break;
        case '3':
        case '5':
            kind = Kind::start;
            break;
        }
    }
    const bool marker = (kind == Kind::address || kind == Kind::start) && (type[1] == '4' || type[1] == '5') &&
                        std::memcmp(record + addressField, "0000", 4) == 0;
    return {kind, marker};
}

// Decodes count bytes from the 2 * count hex digits at text into dest, first
// digit the high half, and adds them to sum. Digits are '0'-'9', 'A'-'F' and
// 'a'-'f'; false if any other character stands among them (dest then holds
// garbage).
bool putLine(std::uint8_t* dest, const char* text, std::size_t count, unsigned& sum)
{
    const std::size_t whole = count / 16 * 16;
    return putBlocks(dest, text, count / 16, sum) == 0 &&
           (whole == count || putPairs(dest + whole, text + 2 * whole, count - whole, sum));
}

// The value of the four hex digits at text, or badWord where one is no digit.
constexpr unsigned badWord = ~0u;
[[gnu::always_inline]] inline unsigned decodeWord(const char* text)
{
    const unsigned high = decodePair(text), low = decodePair(text + 2);
    return (high | low) & invalidDigit ? badWord : high << 8 | low;
}

// The hex digits of each byte value, as the records of the bulk of a file
// write them: upper case.
consteval std::array<std::array<char, 2>, 256> makeHexPairs()
{
    std::array<std::array<char, 2>, 256> pairs{};
    for (unsigned byte = 0; byte < pairs.size(); ++byte)
        pairs[byte] = {"0123456789ABCDEF"[byte >> 4], "0123456789ABCDEF"[byte & 15]};
    return pairs;
}
constexpr auto hexPairs = makeHexPairs();

// Eight characters of text as one number.
[[gnu::always_inline]] inline std::uint64_t textWord(const char* at)
{
    std::uint64_t text;
    std::memcpy(&text, at, sizeof text);
    return text;
}

// The eight characters behind a record's mark, count to type.
[[gnu::always_inline]] inline std::uint64_t headText(const char* record)
{
    return textWord(record + countField);
}

// Where the address's four characters stand in headText's number, on either byte order.
constexpr std::uint64_t addressChars = 0x0000'FFFF'FFFF'0000;

// Where a textWord's first `length` characters (1 to 8) stand, on either byte order.
constexpr std::uint64_t leadingChars(std::ptrdiff_t length)
{
    const auto rest = static_cast<unsigned>(64 - 8 * length);
    if constexpr (std::endian::native == std::endian::little)
        return ~std::uint64_t{0} >> rest;
    else
        return ~std::uint64_t{0} << rest;
}

// The digits of the checksum that makes bytes adding up to each value 0 modulo 256.
consteval std::array<std::array<char, 2>, 256> makeChecksumPairs()
{
    std::array<std::array<char, 2>, 256> pairs{};
    for (unsigned sum = 0; sum < pairs.size(); ++sum)
        pairs[sum] = hexPairs[(256 - sum) & 255];
    return pairs;
}
constexpr auto checksumPairs = makeChecksumPairs();

// The checksum that makes the bytes of `sum` add up to 0 modulo 256, as a
// record writes it, placed as a textWord's first two characters.
[[gnu::always_inline]] inline std::uint64_t checksumText(unsigned sum)
{
    std::uint16_t chars;
    std::memcpy(&chars, checksumPairs[sum & 255].data(), 2);
    if constexpr (std::endian::native == std::endian::little)
        return chars;
    else
        return std::uint64_t{chars} << 48;
}

// The first two address characters of a record at `offset` (at most 0xFFFF),
// placed as in headText; and the last two.
[[gnu::always_inline]] inline std::uint64_t highAddressText(unsigned offset)
{
    std::uint16_t chars;
    std::memcpy(&chars, hexPairs[offset >> 8].data(), 2);
    return std::endian::native == std::endian::little ? std::uint64_t{chars} << 16 : std::uint64_t{chars} << 32;
}

[[gnu::always_inline]] inline std::uint64_t lowAddressText(unsigned offset)
{
    std::uint16_t chars;
    std::memcpy(&chars, hexPairs[offset & 255].data(), 2);
    return std::endian::native == std::endian::little ? std::uint64_t{chars} << 32 : std::uint64_t{chars} << 16;
}

// The text in hand: the part of the input in the buffer, and what is known of
// the rest. Counts of characters and line feeds are 64 bits wide on every
// platform: an input may be larger than 4 GiB.
struct Window {
    std::FILE* in;
    char* start;                   // the buffer, textBufferSize characters
    const char* end;               // end of the text in it
    bool more;                     // whether the input may hold more text
    bool rereadable;               // whether lines are counted by reading the input again
    std::uint64_t passed = 0;      // characters moved out of the buffer
    std::uint64_t linesPassed = 0; // line feeds among them, where counted as they pass
    char opening[4] = {};          // the text's first characters, which tell some other formats
    std::size_t openingLength = 0;
    int readError = 0;             // errno of a read that failed
};

// Reads up to size characters of the input into dest.
std::size_t readText(Window& window, char* dest, std::size_t size)
{
    const std::size_t got = std::fread(dest, 1, size, window.in);
    if (got < size && std::ferror(window.in) && !window.readError)
        window.readError = errno;
    return got;
}

// Moves the text from keep on to the buffer's start and reads behind it;
// returns how far the kept text moved.
std::ptrdiff_t refill(Window& window, const char* keep)
{
    if (!window.rereadable)
        window.linesPassed += countLineEnds(window.start, keep);
    const std::ptrdiff_t moved = keep - window.start;
    window.passed += static_cast<std::uint64_t>(moved);
    // Reads of one size, a multiple of any block size, go straight from the
    // file to the buffer; what is kept is less than a record.
    const auto kept = static_cast<std::size_t>(window.end - keep);
    std::memmove(window.start, keep, kept);
    const std::size_t got = readText(window, window.start + kept, windowSize);
    if (window.passed == 0 && kept == 0) {
        window.openingLength = std::min(got, sizeof window.opening);
        std::memcpy(window.opening, window.start, window.openingLength);
    }
    window.more = got == windowSize;
    window.end = window.start + kept + got;
    return moved;
}

// Whether a line of the text in [from, end) starts with S0 to S9, as an
// S-record does; from is a line's start where it is the text's.
bool holdsSRecordLine(const Window& window, const char* from)
{
    const auto isSRecord = [&](const char* line) {
        return window.end - line >= 2 && line[0] == 'S' && line[1] >= '0' && line[1] <= '9';
    };
    if (window.passed == 0 && from == window.start && isSRecord(from))
        return true;
    for (const char* feed = from; (feed = static_cast<const char*>(std::memchr(feed, '\n', static_cast<std::size_t>(window.end - feed))));)
        if (isSRecord(++feed))
            return true;
    return false;
}

// The next record mark at or after scan, with as much of its record in the
// buffer as the reader may need; nullptr where the text ends first. Where
// sRecords is given, the text passed without a mark is looked at for
// S-record lines.
const char* findRecord(Window& window, const char* scan, bool* sRecords = nullptr)
{
    const char* count = locLine(scan, window.end);
    while (!count) {
        if (sRecords && !*sRecords)
            *sRecords = holdsSRecordLine(window, scan);
        if (!window.more)
            return nullptr;
        // Where lines are looked at, the last two characters stay, so that a
        // line feed near the end of one read is seen with what stands behind it.
        refill(window, sRecords ? window.end - std::min<std::ptrdiff_t>(2, window.end - window.start) : window.end);
        scan = window.start;
        count = locLine(scan, window.end);
    }
    const char* record = count - 1;
    if (window.end - record < std::ptrdiff_t{longestRecord} && window.more)
        record -= refill(window, record);
    return record;
}

// A place in the text that a message may name, perhaps after the window has
// moved on. Line numbers are needed only for a message: text that can be read
// again is counted only then, from its start through the buffer (whose text
// is then lost); other text is counted as it passes, and up to the place now.
struct TextPlace {
    std::uint64_t offset;
    std::uint64_t lineEnds; // in front of it, where the text can not be read again
};

TextPlace placeOf(const Window& window, const char* at)
{
    return {window.passed + static_cast<std::uint64_t>(at - window.start),
            window.rereadable ? 0 : window.linesPassed + countLineEnds(window.start, at)};
}

std::uint64_t lineEndsBefore(Window& window, const TextPlace& place)
{
    if (!window.rereadable)
        return place.lineEnds;
    std::uint64_t lines = 0;
    std::fseek(window.in, 0, SEEK_SET);
    for (std::uint64_t start = 0; start < place.offset; start += windowSize) {
        const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(place.offset - start, windowSize));
        const std::size_t got = std::fread(window.start, 1, size, window.in);
        lines += countLineEnds(window.start, window.start + got);
    }
    return lines;
}

// The image as it is laid. A gap between records is filled, so image offsets
// and load addresses advance together: `next` is the address of the byte that
// would go at offset `length`.
struct Layout {
    std::uint8_t* image;
    std::uint32_t length = 0;               // bytes laid, fill included
    std::uint32_t limit = segmentTwoOffset; // how far the image being read may reach
    std::uint32_t upper = 0;                // from the last type 02 or 04 record
    bool placed = false;                    // whether a record with data has fixed the image's base
    std::uint64_t next = 0;
};

// What a run of records alike carries from one record to the next: where
// their bytes go, how far they may reach, and the address the next must have
// (its offset from the upper address).
struct Run {
    std::uint8_t* image;
    std::uint32_t length;
    std::uint32_t limit;
    unsigned offset;
};

// The records that follow `record`, a data record just taken, one `stride`
// after another, alike it and each at the address where the last one ended,
// as tools write them; returns the last record taken. Where each record stands
// is known in advance, so nothing waits on the one before: no byte count to
// decode and no mark to search for. A record is taken on two compares: its
// count, address and type with what they must be, and its tail (checksum,
// what stands between it and the next record, that record's mark) with the
// last record's, its checksum the one its bytes call for. A `fixedBlocks`
// other than 0 gives the records' blocks at compile time, so that the decode
// of the counts tools write needs no loop.
template <std::size_t fixedBlocks>
[[gnu::always_inline]] inline const char* putRecordsAlike(const char* record, std::ptrdiff_t stride, std::size_t blocks,
                                                          const char* lastTaken, Run& run)
{
    if constexpr (fixedBlocks != 0)
        blocks = fixedBlocks;
    const auto byteCount = static_cast<std::uint32_t>(16 * blocks);
    const std::ptrdiff_t checksumAt = dataField + 2 * static_cast<std::ptrdiff_t>(byteCount);
    // The tail compares as one word: the records stand at most six characters apart, as tools write them.
    const std::ptrdiff_t tailLength = stride - checksumAt + 1;
    if (tailLength > 8)
        return record;
    const std::uint64_t tailChars = leadingChars(tailLength);
    const std::uint64_t tail = textWord(record + checksumAt) & tailChars & ~leadingChars(2);
    // As many records as stand whole in the window, fit the image and start
    // within the upper address's 64 KiB.
    std::size_t records = std::min<std::size_t>(static_cast<std::size_t>((lastTaken - record) / stride),
                                                (run.limit - run.length) / byteCount);
    records = std::min<std::size_t>(records, run.offset > 0xFFFF ? 0 : (0xFFFF - run.offset) / byteCount + 1);
    const std::uint64_t countAndType = headText(record) & ~addressChars;
    while (records != 0) {
        // The records that start within one 256 bytes of addresses share its first two digits.
        const std::uint64_t pageHead = countAndType | highAddressText(run.offset);
        const unsigned pageSum = byteCount + (run.offset >> 8);
        std::size_t inPage = std::min<std::size_t>(records, (256 - (run.offset & 255) + byteCount - 1) / byteCount);
        records -= inPage;
        for (; inPage != 0; --inPage) {
            const char* next = record + stride;
            if (headText(next) != (pageHead | lowAddressText(run.offset)))
                return record;
            // The record's bytes: count, address and type (00), then data.
            unsigned sum = pageSum + (run.offset & 255);
            const unsigned badDigits = putBlocks(run.image + run.length, next + dataField, blocks, sum);
            if ((badDigits | ((textWord(next + checksumAt) ^ (tail | checksumText(sum))) & tailChars)) != 0)
                return record;
            record = next;
            run.length += byteCount;
            run.offset += byteCount;
        }
    }
    return record;
}

// Tools write 16 or 32 bytes a record; other counts take the decode with a loop.
[[gnu::always_inline]] inline const char* putRecordsAlike(const char* record, std::ptrdiff_t stride,
                                                          const char* lastTaken, Run& run)
{
    switch (const std::size_t blocks = decodePair(record + countField) / 16) {
    case 1:
        return putRecordsAlike<1>(record, stride, blocks, lastTaken, run);
    case 2:
        return putRecordsAlike<2>(record, stride, blocks, lastTaken, run);
    default:
        return putRecordsAlike<0>(record, stride, blocks, lastTaken, run);
    }
}

// The fast path, for the bulk of a file: data records that stand whole in
// the window, one after another, each at the address where the last ended. It
// takes only records with the next sixteen characters in the window too, so it
// needs no bounds checks and finds the next record mark with one compare. It
// stops in front of the first record it does not take (any other type, a
// fault, a gap, one near the window's end, one far from the last) and returns
// that position; the general loop then handles that record in full.
[[gnu::noinline]] const char* putDataRecords(const char* scan, const char* end, Layout& layout)
{
    // Only records that follow on are taken: the image's first one, and
    // one beyond the upper address's 64 KiB, are the general loop's.
    const std::uint64_t nextOffset = layout.next - layout.upper;
    if (end - scan < fastPathRoom || !layout.placed || nextOffset > 0xFFFF)
        return scan;
    const char* const lastTaken = end - fastPathRoom;
    Run run{layout.image, layout.length, layout.limit, static_cast<unsigned>(nextOffset)};
    const char* count = locLine(scan, scan + markLookahead);
    while (count) {
        const char* record = count - 1;
        if (record > lastTaken || std::memcmp(record + typeField, "00", 2) != 0)
            break;
        // Tools write 16 or 32 bytes a record: whole blocks, with no tail to
        // decode. A count of 0 wraps round and fails the room test.
        const unsigned byteCount = decodePair(count);
        if ((byteCount & (invalidDigit | 15)) != 0 || byteCount - 1 >= run.limit - run.length ||
            decodeWord(record + addressField) != run.offset)
            break;
        const char* data = record + dataField;
        unsigned sum = byteCount + (run.offset >> 8) + (run.offset & 255);
        if (putBlocks(run.image + run.length, data, byteCount / 16, sum) != 0)
            break;
        const unsigned checksum = decodePair(data + 2 * byteCount);
        if (((sum + checksum) & 255) != 0 || (checksum & invalidDigit) != 0)
            break;
        run.length += byteCount;
        run.offset += byteCount;
        scan = data + 2 * byteCount + 2;
        count = locLine(scan, scan + markLookahead);
        if (!count)
            break;
        // The next record shows how far apart the records stand, and the bulk
        // of a file goes on that way.
        const char* last = putRecordsAlike(record, count - 1 - record, lastTaken, run);
        if (last != record) {
            scan = last + dataField + 2 * byteCount + 2;
            count = locLine(scan, scan + markLookahead);
        }
    }
    layout.next += run.length - layout.length;
    layout.length = run.length;
    // In front of the record not taken, or, where no mark was near, behind the last one taken.
    return count ? count - 1 : scan;
}

// Where the reader stands in the text.
enum class Part {
    firstFile,   // the first file, in front of any 000004 record
    provisional, // behind a 000004 record of the first file: the second image, unless an
                 // end-of-file record with a record behind it shows the data were the first file's
    secondFile,  // behind the end-of-file record that ends the first file
};

// A fault of the provisional image that counts only once the reader knows
// what that image was.
struct Deferred {
    const char* format = nullptr;
    TextPlace place{};
};

// What the reader carries from record to record.
struct Reader {
    Window window;
    Layout layout;
    char* message;
    Part part = Part::firstFile;
    Layout first{};        // the first image, set aside while a provisional one is laid
    TextPlace marker{};    // the 000004 record that began the provisional image
    Deferred rejoinFault{};// raised where the provisional data rejoin the first image
    Deferred pageSplit{};  // raised where the provisional image ends as the second image
    TextPlace secondFile{};// the second file's first record
};

constexpr const char* thirdFile = "More than two HEX files: a third starts at line %llu";

// Rejects the text with a message on the line of the place; returns nullptr.
// A record of the second file is also named by its line in that file, the
// line the user can look up.
const char* reject(Reader& reader, const char* format, const TextPlace& place)
{
    const std::uint64_t line = 1 + lineEndsBefore(reader.window, place);
    const int length = std::snprintf(reader.message, faultMessageSize, format, static_cast<unsigned long long>(line));
    if (reader.part == Part::secondFile && format != thirdFile) {
        const std::uint64_t firstLine = 1 + lineEndsBefore(reader.window, reader.secondFile);
        std::snprintf(reader.message + length, faultMessageSize - static_cast<std::size_t>(length), " (line %llu of the second file)",
                      static_cast<unsigned long long>(line - firstLine + 1));
    }
    return nullptr;
}

const char* rejectAt(Reader& reader, const char* format, const char* record)
{
    return reject(reader, format, placeOf(reader.window, record));
}

constexpr const char* badDigit = "Bad hex digit at line %llu";
constexpr const char* cutShort = "Record cut short at line %llu";

// What is wrong with a record whose checksum stands at `checksum`, the bytes
// in front of it adding up to `sum`; nullptr where all its bytes add up to 0
// modulo 256. It is checked last in a record, so that the record's other
// faults keep their messages.
const char* checksumFault(const char* checksum, const char* end, unsigned sum)
{
    if (end - checksum < 2)
        return cutShort;
    const unsigned byte = decodePair(checksum);
    if (byte & invalidDigit)
        return badDigit;
    return (sum + byte) & 255 ? "Bad checksum at line %llu" : nullptr;
}

// Rejects the record where its checksum is wrong; returns where the search for
// the next record goes on, or nullptr.
const char* checkSum(Reader& reader, const char* record, const char* checksum, unsigned sum)
{
    const char* fault = checksumFault(checksum, reader.window.end, sum);
    return fault ? rejectAt(reader, fault, record) : checksum + 2;
}

// What is wrong with a type 01 record, where it ends a file; nullptr if nothing.
const char* endOfFileFault(const char* record, const char* end)
{
    const unsigned byteCount = decodePair(record + countField);
    if (byteCount & invalidDigit)
        return badDigit;
    if (end - (record + dataField) < 2 * static_cast<std::ptrdiff_t>(byteCount))
        return cutShort;
    const char* checksum = record + dataField + 2 * byteCount;
    unsigned sum = 0, digits = 0;
    for (const char* pair = record + countField; pair != checksum; pair += 2) {
        const unsigned byte = decodePair(pair);
        digits |= byte;
        sum += byte;
    }
    return digits & invalidDigit ? badDigit : checksumFault(checksum, end, sum);
}

// A type 01 record: the record behind it, or nullptr where the text ends
// first; and what is wrong with it, should it end a file, and where it stands.
struct FileEnd {
    const char* behind;
    const char* fault;
    TextPlace place;
};

FileEnd readFileEnd(Window& window, const char* record)
{
    const char* fault = endOfFileFault(record, window.end);
    const TextPlace place = fault ? placeOf(window, record) : TextPlace{};
    return {findRecord(window, record + typeField), fault, place};
}

// Takes the upper address from the type 02 or 04 record; returns where the
// search for the next record goes on, or nullptr where the record is rejected.
const char* putAddressRecord(Reader& reader, const char* record)
{
    const unsigned byteCount = decodePair(record + countField), address = decodeWord(record + addressField);
    const char* data = record + dataField;
    if (byteCount & invalidDigit || address == badWord)
        return rejectAt(reader, badDigit, record);
    if (byteCount != 2)
        return rejectAt(reader, "Extended address record without 2 data bytes at line %llu", record);
    if (reader.window.end - data < 4)
        return rejectAt(reader, cutShort, record);
    const unsigned value = decodeWord(data);
    if (value == badWord)
        return rejectAt(reader, badDigit, record);
    const unsigned type = decodePair(record + typeField);
    reader.layout.upper = type == 4 ? value << 16 : value << 4;
    return checkSum(reader, record, data + 4, byteCount + (address >> 8) + (address & 255) + type + (value >> 8) + (value & 255));
}

// The provisional image's first data, at `address`: where they would go if
// they were the first file's, and what would then be wrong.
void placeProvisionalImage(Reader& reader, const char* record, std::uint64_t address)
{
    const Layout& first = reader.first;
    // A first file across 64 KiB holds a 000004 record of its own: its data
    // go on exactly where the first image ends.
    if (first.placed && first.length < segmentTwoOffset && address == first.next)
        reader.pageSplit = {"First image goes on behind the 000004 record at line %llu", reader.marker};
    if (first.placed && address < first.next) {
        reader.rejoinFault = {"Record out of order or overlapping at line %llu", placeOf(reader.window, record)};
        return;
    }
    // The first image would pass 0x8000 where this image passes its limit.
    const std::uint64_t at = first.placed ? first.length + (address - first.next) : 0;
    reader.layout.limit = 2 * segmentTwoOffset - static_cast<std::uint32_t>(std::min<std::uint64_t>(at, segmentTwoOffset));
}

// Lays the data record into the image, behind a fill where it leaves a gap;
// returns where the search for the next record goes on, or nullptr where the
// record is rejected.
const char* putDataRecord(Reader& reader, const char* record)
{
    Layout& layout = reader.layout;
    const unsigned byteCount = decodePair(record + countField);
    const char* data = record + dataField;
    if (byteCount & invalidDigit)
        return rejectAt(reader, badDigit, record);
    if (reader.window.end - data < 2 * static_cast<std::ptrdiff_t>(byteCount))
        return rejectAt(reader, cutShort, record);
    // Without data there is nothing to place: the address is not read.
    if (byteCount == 0)
        return data;
    const unsigned offset = decodeWord(record + addressField);
    if (offset == badWord)
        return rejectAt(reader, badDigit, record);
    const std::uint64_t address = std::uint64_t{layout.upper} + offset;
    if (!layout.placed) {
        layout.placed = true;
        layout.next = address;
        if (reader.part == Part::provisional)
            placeProvisionalImage(reader, record, address);
    }
    if (address < layout.next)
        return rejectAt(reader, "Record out of order or overlapping at line %llu", record);
    const std::uint64_t gap = address - layout.next;
    if (gap + byteCount > layout.limit - layout.length) {
        // A provisional image's limit is where the first image would pass
        // 0x8000: noted, the image goes on to the whole image's room.
        if (reader.part == Part::provisional && layout.limit < imageCapacity) {
            if (!reader.rejoinFault.format)
                reader.rejoinFault = {"First image exceeds 0x8000 bytes at line %llu", placeOf(reader.window, record)};
            layout.limit = imageCapacity;
        }
        if (gap + byteCount > layout.limit - layout.length)
            return rejectAt(reader,
                            reader.part == Part::firstFile ? "First image exceeds 0x8000 bytes at line %llu"
                                                           : "Image exceeds 0x200000 bytes at line %llu",
                            record);
    }
    const auto fill = static_cast<std::uint32_t>(gap);
    std::memset(layout.image + layout.length, fillByte, fill);
    unsigned sum = byteCount + (offset >> 8) + (offset & 255);
    if (!putLine(layout.image + layout.length + fill, data, byteCount, sum))
        return rejectAt(reader, badDigit, record);
    layout.length += fill + byteCount;
    layout.next = address + byteCount;
    // Validated digits hold no ':', so the next record mark lies beyond them.
    return checkSum(reader, record, data + 2 * byteCount, sum);
}

// A 000004 record in the first file: the second file's opening record, as far
// as the reader can tell yet. The first image is set aside and filled up to
// 0x8000, and what follows is laid from there as the second image.
const char* startProvisionalImage(Reader& reader, const char* record)
{
    Layout& layout = reader.layout;
    reader.first = layout;
    reader.marker = placeOf(reader.window, record);
    reader.part = Part::provisional;
    std::memset(layout.image + layout.length, fillByte, segmentTwoOffset - layout.length);
    layout.length = segmentTwoOffset;
    layout.limit = imageCapacity;
    layout.placed = false;
    return putAddressRecord(reader, record);
}

// The first file ends behind a provisional image: its data were the first
// file's, and move down behind the first image's at their addresses. The fill
// in front of them is there since the provisional image began.
bool rejoinFirstImage(Reader& reader)
{
    if (reader.rejoinFault.format)
        return reject(reader, reader.rejoinFault.format, reader.rejoinFault.place);
    Layout& layout = reader.layout;
    const Layout& first = reader.first;
    if (!layout.placed) {
        layout.length = first.length;
        return true;
    }
    const std::uint32_t laid = layout.length - segmentTwoOffset;
    const std::uint64_t base = layout.next - laid;
    const auto at = first.placed ? static_cast<std::uint32_t>(first.length + (base - first.next)) : 0;
    std::memmove(layout.image + at, layout.image + segmentTwoOffset, laid);
    layout.length = at + laid;
    return true;
}

// At a type 01 record with a record behind it: a file ends and another starts
// with that record. Behind the first file the second starts, its image from
// 0x8000, its upper address 0; behind the second file a third would start.
const char* startNextFile(Reader& reader, const char* behind)
{
    if (reader.part == Part::secondFile)
        return rejectAt(reader, thirdFile, behind);
    if (reader.part == Part::provisional && !rejoinFirstImage(reader))
        return nullptr;
    Layout& layout = reader.layout;
    std::memset(layout.image + layout.length, fillByte, segmentTwoOffset - layout.length);
    layout = {layout.image, segmentTwoOffset, imageCapacity};
    reader.part = Part::secondFile;
    reader.pageSplit = {};
    reader.secondFile = placeOf(reader.window, behind);
    return behind;
}

// Where the text ends before the image does.
bool rejectUnended(Reader& reader)
{
    if (reader.pageSplit.format)
        return reject(reader, reader.pageSplit.format, reader.pageSplit.place);
    const char* unended = reader.part == Part::firstFile
                              ? "No 000004 record to end the first image: give two HEX files joined end to end"
                          : reader.part == Part::provisional ? "No 000005 record to end the second image"
                                                             : "No end-of-file record to end the second file";
    std::snprintf(reader.message, faultMessageSize, "%s", unended);
    return false;
}

// Reads the records from scan on up to the end of the image; false where the
// text is rejected. This is where the two files are told apart:
//
//   - The first type 01 record with a record behind it ends the first file;
//     the second starts with that record. The second file ends at its own
//     type 01 record, with no record behind it, or at a 000005 record behind
//     its data.
//   - In the first file, a 000004 record starts the second image
//     provisionally, as in two files joined without their type 01 records,
//     which end at the 000005 record behind it. Where a type 01 record with a
//     record behind it follows after all (the first file held a 000004
//     record of its own), those data rejoin the first image.
bool putImages(Reader& reader, const char* scan)
{
    Window& window = reader.window;
    for (;;) {
        scan = putDataRecords(scan, window.end, reader.layout);
        const char* record = findRecord(window, scan);
        if (!record)
            return rejectUnended(reader);
        if (window.end - record < recordHeadLength)
            return rejectAt(reader, cutShort, record);
        const Head head = readHead(record);
        // Any record that is not read on is skipped from its type on.
        scan = record + typeField;
        switch (head.kind) {
        case Kind::data:
            scan = putDataRecord(reader, record);
            break;
        case Kind::address:
            scan = head.marker && reader.part == Part::firstFile ? startProvisionalImage(reader, record)
                                                                   : putAddressRecord(reader, record);
            break;
        case Kind::endOfFile: {
            const FileEnd end = readFileEnd(window, record);
            if (end.fault && (end.behind || reader.part == Part::secondFile))
                return reject(reader, end.fault, end.place);
            if (!end.behind)
                return reader.part == Part::secondFile || rejectUnended(reader);
            scan = startNextFile(reader, end.behind);
            break;
        }
        case Kind::start:
            if (head.marker && (reader.part == Part::provisional || (reader.part == Part::secondFile && reader.layout.placed))) {
                // The image ends, unless the next record is a type 01 record
                // with a record behind it. Nothing behind the image is checked.
                const char* next = findRecord(window, scan);
                const FileEnd end = next && window.end - next >= recordHeadLength && readHead(next).kind == Kind::endOfFile
                                        ? readFileEnd(window, next)
                                        : FileEnd{};
                if (!end.behind)
                    return !reader.pageSplit.format || reject(reader, reader.pageSplit.format, reader.pageSplit.place);
                if (end.fault && reader.part == Part::provisional)
                    return reject(reader, end.fault, end.place);
                scan = startNextFile(reader, end.behind);
            }
            break;
        case Kind::other:
            break;
        }
        if (!scan)
            return false;
    }
}

// What the input is, where it is plainly no HEX text: its first characters
// tell a UTF-16 text, an ELF file or a UF2 file; lines starting with S0 to S9,
// and no record mark, S-records. nullptr where it may be HEX text.
const char* nameInput(const Window& window, bool sRecords)
{
    const auto opens = [&](const char* magic, std::size_t length) {
        return window.openingLength >= length && std::memcmp(window.opening, magic, length) == 0;
    };
    if (opens("\xFF\xFE", 2) || opens("\xFE\xFF", 2))
        return "The input is UTF-16 text: save it as ASCII";
    if (opens("\x7F" "ELF", 4))
        return "The input is an ELF file: make HEX of it with objcopy -O ihex";
    if (opens("UF2\n", 4))
        return "The input is a UF2 file, not Intel HEX";
    if (sRecords)
        return "The input holds S-records, not Intel HEX: srec_cat FILE -o OUT -intel converts them";
    return nullptr;
}

// Reads the text's records into the image; false, with the message written,
// where the text is rejected. sRecords tells whether a text without a record
// mark holds S-record lines.
bool putText(Reader& reader, bool& sRecords)
{
    bool sRecordLines = false;
    const char* record = findRecord(reader.window, reader.window.start, &sRecordLines);
    if (!record) {
        sRecords = sRecordLines;
        std::snprintf(reader.message, faultMessageSize, "No record in the input");
        return false;
    }
    // The first record is normally the first file's opening address record,
    // which places the file's data; a data record there is data all the same.
    // Any other is skipped from its mark on.
    const char* scan = record + 1;
    if (reader.window.end - record >= recordHeadLength) {
        const Kind kind = readHead(record).kind;
        if (kind == Kind::data)
            scan = record;
        else if (kind == Kind::address)
            scan = putAddressRecord(reader, record);
    }
    return scan && putImages(reader, scan);
}

} // namespace

std::uint32_t readImage(std::FILE* in, char* text, std::uint8_t* image, char* message)
{
    // Nothing read yet: the first search reads.
    Reader reader{{in, text, text, true, std::ftell(in) == 0}, {image}, message};
    bool sRecords = false;
    const bool read = putText(reader, sRecords);
    // The rest is no part of the image, but it is read all the same, so that a
    // writer at the other end of a pipe is not cut off.
    while (read && reader.window.more)
        reader.window.more = readText(reader.window, reader.window.start, windowSize) == windowSize;
    if (reader.window.readError)
        errno = reader.window.readError;
    if (!read) {
        if (const char* what = nameInput(reader.window, sRecords))
            std::snprintf(message, faultMessageSize, "%s", what);
        return 0;
    }
    return reader.layout.length;
}
