#include "hexread.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#ifdef ZEMKAR_SSE2
#include <emmintrin.h>
#endif

namespace {

// From the ':' to the record data: mark, byte count, address, type.
constexpr std::ptrdiff_t recordHeadLength = 9;

// The fast path looks this far past a record for the next record mark.
constexpr std::ptrdiff_t markLookahead = 16;

// The fast path takes a record only with this much text behind its mark.
constexpr std::ptrdiff_t fastPathRoom = longestRecord + markLookahead;

static_assert(windowSize >= fastPathRoom, "a read holds at least a longest record and the lookahead");

// A digit's value, ready shifted, or invalidDigit for any other character.
// The flag survives or-ing, so a whole record is checked once, at its end.
constexpr unsigned invalidDigit = 0x100;

consteval std::array<std::uint16_t, 256> makeDigitTable(unsigned shift)
{
    std::array<std::uint16_t, 256> table{};
    for (unsigned c = 0; c < table.size(); ++c) {
        unsigned value = invalidDigit;
        if (c >= '0' && c <= '9')
            value = (c - '0') << shift;
        else if (c >= 'A' && c <= 'F')
            value = (c - 'A' + 10) << shift;
        else if (c >= 'a' && c <= 'f')
            value = (c - 'a' + 10) << shift;
        table[c] = static_cast<std::uint16_t>(value);
    }
    return table;
}

constexpr auto highDigit = makeDigitTable(4);
constexpr auto lowDigit = makeDigitTable(0);

[[gnu::always_inline]] inline unsigned decodePair(const char* text)
{
    return highDigit[static_cast<unsigned char>(text[0])] | lowDigit[static_cast<unsigned char>(text[1])];
}

// Decodes count bytes from the digit pairs at text; false if a character among
// them is no hex digit. The portable decode, and the tail of a record whose
// byte count is no multiple of 16: out of line, the fast path never needs it.
[[gnu::noinline]] bool putPairs(std::uint8_t* dest, const char* text, std::size_t count)
{
    unsigned digits = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned byte = decodePair(text + 2 * i);
        digits |= byte;
        dest[i] = static_cast<std::uint8_t>(byte);
    }
    return (digits & invalidDigit) == 0;
}

// The kernels: each SSE2 body has a portable twin below it that gives the
// same results, so that the record rules further down read without either.
#ifdef ZEMKAR_SSE2

[[gnu::always_inline]] inline __m128i load(const char* text)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
}

// Sixteen characters to their digit values. A lane of `invalid` gets its top
// bit set where the character is no hex digit; nothing branches, so a whole
// record is checked once, at its end.
[[gnu::always_inline]] inline __m128i digitValues(__m128i chars, __m128i& invalid)
{
    const __m128i digit = _mm_sub_epi8(chars, _mm_set1_epi8('0'));
    // Setting bit 5 turns 'A'-'F' into 'a'-'f' and nothing else into them.
    const __m128i letter = _mm_sub_epi8(_mm_or_si128(chars, _mm_set1_epi8(0x20)), _mm_set1_epi8('a'));
    // Saturating adds keep digits 0-9 and letters 0-5 below 0x80, and push
    // everything else to 0x80 or above.
    const __m128i digitOrAbove = _mm_adds_epu8(digit, _mm_set1_epi8(0x80 - 10));
    const __m128i letterOrAbove = _mm_adds_epu8(letter, _mm_set1_epi8(0x80 - 6));
    invalid = _mm_or_si128(invalid, _mm_min_epu8(digitOrAbove, letterOrAbove));
    // A digit's letter value wraps round above 0xD0 and a letter's digit value
    // is at least 0x11, so the smaller of the two is the right one.
    return _mm_min_epu8(digit, _mm_add_epi8(letter, _mm_set1_epi8(10)));
}

// Decodes blocks * 16 bytes from the digits at text; false if a character
// among them is no hex digit.
[[gnu::always_inline]] inline bool putBlocks(std::uint8_t* dest, const char* text, std::size_t blocks)
{
    // Each 16-bit lane holds a high digit h in its low byte and a low digit l
    // in its high byte: times 0x1001 (h << 12 plus the lane) the high byte is
    // h << 4 | l, the byte wanted, and packing takes the high bytes of both halves.
    const __m128i merge = _mm_set1_epi16(0x1001);
    __m128i invalid = _mm_setzero_si128();
    for (const char* const stop = text + 32 * blocks; text != stop; text += 32, dest += 16) {
        const __m128i first = _mm_srli_epi16(_mm_mullo_epi16(digitValues(load(text), invalid), merge), 8);
        const __m128i second = _mm_srli_epi16(_mm_mullo_epi16(digitValues(load(text + 16), invalid), merge), 8);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dest), _mm_packus_epi16(first, second));
    }
    return _mm_movemask_epi8(invalid) == 0;
}

// One bit for each of the sixteen characters from pos, set where it is a ':'.
[[gnu::always_inline]] inline unsigned marksAt(const char* pos)
{
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(load(pos), _mm_set1_epi8(':'))));
}

// The position just behind the next ':' in [pos, end), or nullptr if there is none.
[[gnu::always_inline]] inline const char* locLine(const char* pos, const char* end)
{
    // Records mostly follow one another within a few characters: one compare
    // of the next sixteen finds the mark without a call.
    if (end - pos >= markLookahead) {
        if (const unsigned marks = marksAt(pos))
            return pos + std::countr_zero(marks) + 1;
    }
    const void* mark = std::memchr(pos, ':', static_cast<std::size_t>(end - pos));
    return mark ? static_cast<const char*>(mark) + 1 : nullptr;
}

// Whether mark, fewer than sixteen characters from pos, is the first ':' from
// pos on: its bit is the lowest set among the sixteen. The bit above them
// stands for none, a distance no run has: its gap comes from a mark found
// within markLookahead characters.
static_assert(markLookahead <= 16, "a run's marks stand where isFirstMark sees them");
[[gnu::always_inline]] inline bool isFirstMark(const char* pos, const char* mark)
{
    return std::countr_zero(marksAt(pos) | 0x10000u) == static_cast<int>(mark - pos);
}

// The number of line feeds in [begin, end).
std::size_t countLineEnds(const char* begin, const char* end)
{
    std::size_t lines = 0;
    // Byte lanes count up to 255 matches each, 128 characters a round, before
    // they are added up.
    const __m128i lineFeed = _mm_set1_epi8('\n');
    const auto matches = [&](std::ptrdiff_t at) { return _mm_cmpeq_epi8(load(begin + at), lineFeed); };
    const auto quarter = [&](std::ptrdiff_t at) {
        return _mm_add_epi8(_mm_add_epi8(matches(at), matches(at + 16)), _mm_add_epi8(matches(at + 32), matches(at + 48)));
    };
    while (end - begin >= 128) {
        const auto rounds = std::min<std::ptrdiff_t>((end - begin) / 128, 31);
        __m128i counts = _mm_setzero_si128();
        for (std::ptrdiff_t round = 0; round < rounds; ++round, begin += 128)
            counts = _mm_sub_epi8(counts, _mm_add_epi8(quarter(0), quarter(64)));
        const __m128i sums = _mm_sad_epu8(counts, _mm_setzero_si128());
        lines += static_cast<std::size_t>(_mm_cvtsi128_si32(sums) + _mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
    }
    return lines + static_cast<std::size_t>(std::count(begin, end, '\n'));
}

#else // the portable twins

[[gnu::always_inline]] inline bool putBlocks(std::uint8_t* dest, const char* text, std::size_t blocks)
{
    return putPairs(dest, text, 16 * blocks);
}

[[gnu::always_inline]] inline const char* locLine(const char* pos, const char* end)
{
    const void* mark = std::memchr(pos, ':', static_cast<std::size_t>(end - pos));
    return mark ? static_cast<const char*>(mark) + 1 : nullptr;
}

[[gnu::always_inline]] inline bool isFirstMark(const char* pos, const char* mark)
{
    return std::memchr(pos, ':', markLookahead) == mark;
}

std::size_t countLineEnds(const char* begin, const char* end)
{
    return static_cast<std::size_t>(std::count(begin, end, '\n'));
}

#endif

// Decodes count bytes from the 2 * count hex digits at text into dest, first
// digit the high half. Digits are '0'-'9', 'A'-'F' and 'a'-'f'; false if any
// other character stands among them (dest then holds garbage).
bool putLine(std::uint8_t* dest, const char* text, std::size_t count)
{
    const std::size_t whole = count / 16 * 16;
    return putBlocks(dest, text, count / 16) && (whole == count || putPairs(dest + whole, text + 2 * whole, count - whole));
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

// The eight characters behind a record's mark, count to type, as one number.
[[gnu::always_inline]] inline std::uint64_t headText(const char* record)
{
    std::uint64_t text;
    std::memcpy(&text, record + 1, sizeof text);
    return text;
}

// Where the address's four characters stand in headText's number, on either byte order.
constexpr std::uint64_t addressChars = 0x0000'FFFF'FFFF'0000;

// The address characters of a record at `offset` (at most 0xFFFF), placed as in headText.
[[gnu::always_inline]] inline std::uint64_t addressText(unsigned offset)
{
    std::uint16_t high, low;
    std::memcpy(&high, hexPairs[offset >> 8].data(), 2);
    std::memcpy(&low, hexPairs[offset & 255].data(), 2);
    if constexpr (std::endian::native == std::endian::little)
        return std::uint64_t{high} << 16 | std::uint64_t{low} << 32;
    else
        return std::uint64_t{high} << 32 | std::uint64_t{low} << 16;
}

[[gnu::always_inline]] inline bool isDataRecord(const char* record, const char* end)
{
    return end - record >= recordHeadLength && record[7] == '0' && record[8] == '0';
}

// A type 02 or 04 record: the upper address of the data records behind it.
[[gnu::always_inline]] inline bool isAddressRecord(const char* record, const char* end)
{
    return end - record >= recordHeadLength && record[7] == '0' && (record[8] == '2' || record[8] == '4');
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
};

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
    const std::size_t got = std::fread(window.start + kept, 1, windowSize, window.in);
    window.more = got == windowSize;
    window.end = window.start + kept + got;
    return moved;
}

// The next record mark at or after scan, with as much of its record in the
// buffer as the reader may need; nullptr where the text ends first.
const char* findRecord(Window& window, const char* scan)
{
    const char* count = locLine(scan, window.end);
    while (!count && window.more) {
        refill(window, window.end);
        count = locLine(window.start, window.end);
    }
    if (!count)
        return nullptr;
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

// Rejects the text with a message on the line of the place; returns nullptr.
const char* reject(Window& window, const char* format, const TextPlace& place, char* message)
{
    std::snprintf(message, faultMessageSize, format, static_cast<unsigned long long>(1 + lineEndsBefore(window, place)));
    return nullptr;
}

const char* rejectAt(Window& window, const char* format, const char* record, char* message)
{
    return reject(window, format, placeOf(window, record), message);
}

constexpr std::uint64_t noAddress = ~std::uint64_t{0};

// The image as it is laid. A gap between records is filled, so image offsets
// and load addresses advance together: `next` is the address of the byte that
// would go at offset `length`.
struct Layout {
    std::uint8_t* image;
    std::uint32_t length = 0;               // bytes laid, fill included
    std::uint32_t limit = segmentTwoOffset; // how far the segment being read may reach
    std::uint32_t upper = 0;                // from the last type 02 or 04 record
    bool placed = false;                    // whether a record with data has fixed the segment's base
    std::uint64_t next = 0;
    // The address a second image would start at if it went on from the first
    // (one neither empty nor full), or noAddress; and where the record that
    // ended the first image stands, for the message that says so.
    std::uint64_t firstImageEnd = noAddress;
    TextPlace firstImageMarker{};
};

// The records that follow `record`, a data record just taken, one `stride`
// after another, alike it and each at the address where the last one ended,
// as tools write them; returns the last record taken. Where each record stands
// is known in advance, so nothing waits on the one before: no byte count to
// decode and no mark to search for, only a compare of its count, address and
// type with what they must be, and one that no mark stands in front of it.
// A `fixedBlocks` other than 0 gives the records' blocks at compile time, so
// that the decode of the counts tools write needs no loop.
template <std::size_t fixedBlocks>
[[gnu::always_inline]] inline const char* putRecordsAlike(const char* record, std::ptrdiff_t stride, std::size_t blocks,
                                                          const char* lastTaken, std::uint8_t* image,
                                                          std::uint32_t& length, std::uint32_t limit,
                                                          unsigned& offset)
{
    if constexpr (fixedBlocks != 0)
        blocks = fixedBlocks;
    const auto byteCount = static_cast<std::uint32_t>(16 * blocks);
    // From the end of one record's data to the next record's mark: fewer than
    // sixteen characters, since the mark was found among the sixteen.
    const std::ptrdiff_t gap = stride - recordHeadLength - 2 * static_cast<std::ptrdiff_t>(byteCount);
    // As many records as stand whole in the window, fit the image and start
    // within the upper address's 64 KiB.
    std::size_t records = std::min<std::size_t>(static_cast<std::size_t>((lastTaken - record) / stride),
                                                (limit - length) / byteCount);
    records = std::min<std::size_t>(records, offset > 0xFFFF ? 0 : (0xFFFF - offset) / byteCount + 1);
    const std::uint64_t countAndType = headText(record) & ~addressChars;
    for (; records != 0; --records) {
        const char* next = record + stride;
        if (headText(next) != (countAndType | addressText(offset)) || !isFirstMark(next - gap, next) ||
            !putBlocks(image + length, next + recordHeadLength, blocks))
            break;
        record = next;
        length += byteCount;
        offset += byteCount;
    }
    return record;
}

// Tools write 16 or 32 bytes a record; other counts take the decode with a loop.
[[gnu::always_inline]] inline const char* putRecordsAlike(const char* record, std::ptrdiff_t stride,
                                                          const char* lastTaken, std::uint8_t* image,
                                                          std::uint32_t& length, std::uint32_t limit,
                                                          unsigned& offset)
{
    switch (const std::size_t blocks = decodePair(record + 1) / 16) {
    case 1:
        return putRecordsAlike<1>(record, stride, blocks, lastTaken, image, length, limit, offset);
    case 2:
        return putRecordsAlike<2>(record, stride, blocks, lastTaken, image, length, limit, offset);
    default:
        return putRecordsAlike<0>(record, stride, blocks, lastTaken, image, length, limit, offset);
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
    // Only records that follow on are taken: the segment's first one, and
    // one beyond the upper address's 64 KiB, are the general loop's.
    const std::uint64_t nextOffset = layout.next - layout.upper;
    if (end - scan < fastPathRoom || !layout.placed || nextOffset > 0xFFFF)
        return scan;
    const char* const lastTaken = end - fastPathRoom;
    std::uint32_t length = layout.length;
    auto offset = static_cast<unsigned>(nextOffset);
    const char* count = locLine(scan, scan + markLookahead);
    while (count) {
        const char* record = count - 1;
        if (record > lastTaken || std::memcmp(record + 7, "00", 2) != 0)
            break;
        // Tools write 16 or 32 bytes a record: whole blocks, with no tail to
        // decode. A count of 0 wraps round and fails the room test.
        const unsigned byteCount = decodePair(count);
        if ((byteCount & (invalidDigit | 15)) != 0 || byteCount - 1 >= layout.limit - length ||
            decodeWord(record + 3) != offset)
            break;
        const char* data = record + recordHeadLength;
        if (!putBlocks(layout.image + length, data, byteCount / 16))
            break;
        length += byteCount;
        offset += byteCount;
        scan = data + 2 * byteCount;
        count = locLine(scan, scan + markLookahead);
        if (!count)
            break;
        // The next record shows how far apart the records stand, and the bulk
        // of a file goes on that way.
        const char* last = putRecordsAlike(record, count - 1 - record, lastTaken, layout.image, length, layout.limit, offset);
        if (last != record) {
            scan = last + recordHeadLength + 2 * byteCount;
            count = locLine(scan, scan + markLookahead);
        }
    }
    layout.next += length - layout.length;
    layout.length = length;
    // In front of the record not taken, or, where no mark was near, behind the last one taken.
    return count ? count - 1 : scan;
}

// How each segment ends, and what is said where it does not end or grows too long.
struct Segment {
    const char* marker;
    const char* unended;
    const char* overflow;
};
constexpr Segment firstSegment{"000004", "No 000004 record to end the first image: give two HEX files joined end to end",
                               "First image exceeds 0x8000 bytes at line %llu"};
constexpr Segment secondSegment{"000005", "No 000005 record to end the second image",
                                "Image exceeds 0x200000 bytes at line %llu"};

// Takes the upper address from the type 02 or 04 record; returns where the
// search for the next record goes on, or nullptr where the record is rejected.
const char* putAddressRecord(Window& window, const char* record, Layout& layout, char* message)
{
    const unsigned byteCount = decodePair(record + 1);
    const char* data = record + recordHeadLength;
    if (byteCount & invalidDigit)
        return rejectAt(window, "Bad hex digit at line %llu", record, message);
    if (byteCount != 2)
        return rejectAt(window, "Extended address record without 2 data bytes at line %llu", record, message);
    if (window.end - data < 4)
        return rejectAt(window, "Record cut short at line %llu", record, message);
    const unsigned value = decodeWord(data);
    if (value == badWord)
        return rejectAt(window, "Bad hex digit at line %llu", record, message);
    layout.upper = record[8] == '4' ? value << 16 : value << 4;
    return data + 4;
}

// Lays the data record into the image, behind a fill where it leaves a gap;
// returns where the search for the next record goes on, or nullptr where the
// record is rejected.
const char* putDataRecord(Window& window, const char* record, Layout& layout, const Segment& segment, char* message)
{
    const unsigned byteCount = decodePair(record + 1);
    const char* data = record + recordHeadLength;
    if (byteCount & invalidDigit)
        return rejectAt(window, "Bad hex digit at line %llu", record, message);
    if (window.end - data < 2 * static_cast<std::ptrdiff_t>(byteCount))
        return rejectAt(window, "Record cut short at line %llu", record, message);
    // Without data there is nothing to place: the address is not read.
    if (byteCount == 0)
        return data;
    const unsigned offset = decodeWord(record + 3);
    if (offset == badWord)
        return rejectAt(window, "Bad hex digit at line %llu", record, message);
    const std::uint64_t address = std::uint64_t{layout.upper} + offset;
    if (!layout.placed) {
        // A first file that crosses 64 KiB holds a "000004" record of its own,
        // which read as the marker would cut its image in two.
        if (address == layout.firstImageEnd)
            return reject(window, "First image goes on behind the 000004 record at line %llu", layout.firstImageMarker,
                          message);
        layout.placed = true;
        layout.next = address;
    }
    if (address < layout.next)
        return rejectAt(window, "Record out of order or overlapping at line %llu", record, message);
    const std::uint64_t gap = address - layout.next;
    if (gap + byteCount > layout.limit - layout.length)
        return rejectAt(window, segment.overflow, record, message);
    const auto fill = static_cast<std::uint32_t>(gap);
    std::memset(layout.image + layout.length, fillByte, fill);
    if (!putLine(layout.image + layout.length + fill, data, byteCount))
        return rejectAt(window, "Bad hex digit at line %llu", record, message);
    layout.length += fill + byteCount;
    layout.next = address + byteCount;
    // Validated digits hold no ':', so the next record mark lies beyond them.
    return data + 2 * byteCount;
}

// Lays the data records from scan on into the image, up to the record that
// ends the segment, and returns that record; nullptr where the text is rejected.
const char* putSegment(Window& window, const char* scan, Layout& layout, const Segment& segment, char* message)
{
    for (;;) {
        scan = putDataRecords(scan, window.end, layout);
        const char* record = findRecord(window, scan);
        if (!record) {
            std::snprintf(message, faultMessageSize, "%s", segment.unended);
            return nullptr;
        }
        if (window.end - record < recordHeadLength)
            return rejectAt(window, "Record cut short at line %llu", record, message);
        if (std::memcmp(record + 3, segment.marker, 6) == 0)
            return record;
        if (isDataRecord(record, window.end))
            scan = putDataRecord(window, record, layout, segment, message);
        else if (isAddressRecord(record, window.end))
            scan = putAddressRecord(window, record, layout, message);
        else
            scan = record + 7;
        if (!scan)
            return nullptr;
    }
}

} // namespace

std::uint32_t readImage(std::FILE* in, char* text, std::uint8_t* image, char* message)
{
    // Nothing read yet: the first search reads.
    Window window{in, text, text, true, std::ftell(in) == 0};
    const char* record = findRecord(window, window.start);
    if (!record) {
        std::snprintf(message, faultMessageSize, "No record in the input");
        return 0;
    }
    // The first record is normally the first file's opening address record,
    // which places the file's data; a data record there is data all the same.
    // Any other is skipped from its mark on.
    Layout layout{image};
    const char* scan = record + 1;
    if (isDataRecord(record, window.end))
        scan = record;
    else if (isAddressRecord(record, window.end))
        scan = putAddressRecord(window, record, layout, message);
    if (!scan)
        return 0;
    record = putSegment(window, scan, layout, firstSegment, message);
    if (!record)
        return 0;
    if (layout.placed && layout.length < segmentTwoOffset) {
        layout.firstImageEnd = layout.next;
        layout.firstImageMarker = placeOf(window, record);
    }
    std::memset(image + layout.length, fillByte, segmentTwoOffset - layout.length);
    layout.length = segmentTwoOffset;
    layout.limit = imageCapacity;
    layout.placed = false;
    // The marker is the second file's opening address record: it places the
    // second image's data.
    scan = putAddressRecord(window, record, layout, message);
    if (!scan || !putSegment(window, scan, layout, secondSegment, message))
        return 0;
    // The rest is no part of the image, but it is read all the same, so that a
    // writer at the other end of a pipe is not cut off.
    while (window.more)
        window.more = std::fread(window.start, 1, windowSize, in) == windowSize;
    return layout.length;
}
