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

// One bit for each of the sixteen characters from text, set where it equals
// the character at the same place from other.
[[gnu::always_inline]] inline unsigned sameAt(const char* text, const char* other)
{
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(load(text), load(other))));
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

// Whether mark, fewer than sixteen characters from pos, is the first ':' from pos on.
[[gnu::always_inline]] inline bool isFirstMark(const char* pos, const char* mark)
{
    return std::countr_zero(marksAt(pos)) == mark - pos;
}

// Whether two records have the same mark, byte count and type; their
// addresses may differ.
[[gnu::always_inline]] inline bool isAlike(const char* record, const char* other)
{
    constexpr unsigned markCountAndType = 0b1'1000'0111;
    return (sameAt(record, other) & markCountAndType) == markCountAndType;
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

[[gnu::always_inline]] inline bool isAlike(const char* record, const char* other)
{
    return std::memcmp(record, other, 3) == 0 && std::memcmp(record + 7, other + 7, 2) == 0;
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

[[gnu::always_inline]] inline bool isDataRecord(const char* record, const char* end)
{
    return end - record >= recordHeadLength && record[7] == '0' && record[8] == '0';
}

// The records that follow `record`, a data record just taken, one `stride`
// after another and alike it, as tools write them; returns the last record
// taken. Where each record stands is known in advance, so nothing waits on
// the one before: no byte count to decode and no mark to search for, only
// compares that each record is alike and that no mark stands in front of it.
// A `fixedBlocks` other than 0 gives the records' blocks at compile time, so
// that the decode of the counts tools write needs no loop.
template <std::size_t fixedBlocks>
[[gnu::always_inline]] inline const char* putRecordsAlike(const char* record, std::ptrdiff_t stride,
                                                          std::size_t blocks, const char* lastTaken,
                                                          std::uint8_t* image, std::uint32_t& length,
                                                          std::uint32_t limit)
{
    if constexpr (fixedBlocks != 0)
        blocks = fixedBlocks;
    const auto byteCount = static_cast<std::uint32_t>(16 * blocks);
    // From the end of one record's data to the next record's mark: fewer than
    // sixteen characters, since the mark was found among the sixteen.
    const std::ptrdiff_t gap = stride - recordHeadLength - 2 * std::ptrdiff_t{byteCount};
    const std::uint32_t lastRoom = limit - byteCount;
    for (const char* next = record + stride; next <= lastTaken && length <= lastRoom; record = next, next += stride) {
        if (!isAlike(next, record) || !isFirstMark(next - gap, next) ||
            !putBlocks(image + length, next + recordHeadLength, blocks))
            break;
        length += byteCount;
    }
    return record;
}

// Tools write 16 or 32 bytes a record; other counts take the decode with a loop.
[[gnu::always_inline]] inline const char* putRecordsAlike(const char* record, std::ptrdiff_t stride,
                                                          const char* lastTaken, std::uint8_t* image,
                                                          std::uint32_t& length, std::uint32_t limit)
{
    switch (const std::size_t blocks = decodePair(record + 1) / 16) {
    case 1:
        return putRecordsAlike<1>(record, stride, blocks, lastTaken, image, length, limit);
    case 2:
        return putRecordsAlike<2>(record, stride, blocks, lastTaken, image, length, limit);
    default:
        return putRecordsAlike<0>(record, stride, blocks, lastTaken, image, length, limit);
    }
}

// The fast path, for the bulk of a file: data records that stand whole in
// the window, one after another. It takes only records with the next sixteen
// characters in the window too, so it needs no bounds checks and finds the
// next record mark with one compare. It stops in front of the first record it
// does not take (any other type, a fault, one near the window's end, one far
// from the last) and returns that position; the general loop then handles
// that record in full.
[[gnu::noinline]] const char* putDataRecords(const char* scan, const char* end, std::uint8_t* image,
                                             std::uint32_t& imageLength, std::uint32_t limit)
{
    if (end - scan < fastPathRoom)
        return scan;
    const char* const lastTaken = end - fastPathRoom;
    std::uint32_t length = imageLength;
    const char* count = locLine(scan, scan + markLookahead);
    while (count) {
        const char* record = count - 1;
        if (record > lastTaken || std::memcmp(record + 7, "00", 2) != 0)
            break;
        // Tools write 16 or 32 bytes a record: whole blocks, with no tail to
        // decode. A count of 0 wraps round and fails the room test.
        const unsigned byteCount = decodePair(count);
        if ((byteCount & (invalidDigit | 15)) != 0 || byteCount - 1 >= limit - length)
            break;
        const char* data = record + recordHeadLength;
        if (!putBlocks(image + length, data, byteCount / 16))
            break;
        length += byteCount;
        scan = data + 2 * byteCount;
        count = locLine(scan, scan + markLookahead);
        if (!count)
            break;
        // The next record shows how far apart the records stand, and the bulk
        // of a file goes on that way.
        const char* last = putRecordsAlike(record, count - 1 - record, lastTaken, image, length, limit);
        if (last != record) {
            scan = last + recordHeadLength + 2 * byteCount;
            count = locLine(scan, scan + markLookahead);
        }
    }
    imageLength = length;
    // In front of the record not taken, or, where no mark was near, behind the last one taken.
    return count ? count - 1 : scan;
}

// The text in hand: the part of the input in the buffer, and what is known of the rest.
struct Window {
    std::FILE* in;
    char* start;                 // the buffer, textBufferSize characters
    const char* end;             // end of the text in it
    bool more;                   // whether the input may hold more text
    bool rereadable;             // whether lines are counted by reading the input again
    std::size_t passed = 0;      // characters moved out of the buffer
    std::size_t linesPassed = 0; // line feeds among them, where counted as they pass
};

// Moves the text from keep on to the buffer's start and reads behind it;
// returns how far the kept text moved.
std::ptrdiff_t refill(Window& window, const char* keep)
{
    if (!window.rereadable)
        window.linesPassed += countLineEnds(window.start, keep);
    const std::ptrdiff_t moved = keep - window.start;
    window.passed += static_cast<std::size_t>(moved);
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

// The line feeds among the characters moved out of the buffer, read again
// from the input's start through the buffer, whose text is then lost.
std::size_t countLineEndsAgain(Window& window)
{
    std::size_t lines = 0;
    std::fseek(window.in, 0, SEEK_SET);
    for (std::size_t start = 0; start < window.passed; start += windowSize) {
        const std::size_t got = std::fread(window.start, 1, std::min(window.passed - start, windowSize), window.in);
        lines += countLineEnds(window.start, window.start + got);
    }
    return lines;
}

// Rejects the text with a message on the line of record; returns nullptr.
// Line numbers are needed only here: text that can be read again is counted
// now, from its start, and other text was counted as it passed.
const char* rejectAt(Window& window, const char* format, const char* record, char* message)
{
    std::size_t lineEnds = window.linesPassed + countLineEnds(window.start, record);
    if (window.rereadable)
        lineEnds += countLineEndsAgain(window);
    std::snprintf(message, faultMessageSize, format, 1 + lineEnds);
    return nullptr;
}

// How each segment ends, how long it may grow, and what is said where it does not end or grows too long.
struct Segment {
    const char* marker;
    std::uint32_t limit;
    const char* unended;
    const char* overflow;
};
constexpr Segment firstSegment{"000004", segmentTwoOffset, "No 000004 record to end the first image",
                               "First image exceeds 0x8000 bytes at line %zu"};
constexpr Segment secondSegment{"000005", imageCapacity, "No 000005 record to end the second image",
                                "Image exceeds 0x200000 bytes at line %zu"};

// Lays the data record into the image; returns where the search for the next
// record goes on, or nullptr where the record is rejected.
const char* putDataRecord(Window& window, const char* record, std::uint8_t* image, std::uint32_t& length,
                          const Segment& segment, char* message)
{
    const unsigned byteCount = decodePair(record + 1);
    const char* data = record + recordHeadLength;
    if (byteCount & invalidDigit)
        return rejectAt(window, "Bad hex digit at line %zu", record, message);
    if (window.end - data < 2 * std::ptrdiff_t{byteCount})
        return rejectAt(window, "Record cut short at line %zu", record, message);
    if (byteCount > segment.limit - length)
        return rejectAt(window, segment.overflow, record, message);
    if (!putLine(image + length, data, byteCount))
        return rejectAt(window, "Bad hex digit at line %zu", record, message);
    length += byteCount;
    // Validated digits hold no ':', so the next record mark lies beyond them.
    return data + 2 * byteCount;
}

// Lays the data records from scan on into the image, up to the record that
// ends the segment, and returns that record; nullptr where the text is rejected.
const char* putSegment(Window& window, const char* scan, std::uint8_t* image, std::uint32_t& length,
                       const Segment& segment, char* message)
{
    for (;;) {
        scan = putDataRecords(scan, window.end, image, length, segment.limit);
        const char* record = findRecord(window, scan);
        if (!record) {
            std::snprintf(message, faultMessageSize, "%s", segment.unended);
            return nullptr;
        }
        if (window.end - record < recordHeadLength)
            return rejectAt(window, "Record cut short at line %zu", record, message);
        if (std::memcmp(record + 3, segment.marker, 6) == 0)
            return record;
        scan = isDataRecord(record, window.end) ? putDataRecord(window, record, image, length, segment, message)
                                                : record + 7;
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
    // which the image has no use for; a data record there is data all the same.
    std::uint32_t imageLength = 0;
    record = putSegment(window, isDataRecord(record, window.end) ? record : record + 1, image, imageLength,
                        firstSegment, message);
    if (!record)
        return 0;
    std::memset(image + imageLength, fillByte, segmentTwoOffset - imageLength);
    imageLength = segmentTwoOffset;
    // On behind the marker's address, inside the marker: so the marker itself
    // is never met again.
    if (!putSegment(window, record + 3, image, imageLength, secondSegment, message))
        return 0;
    // The rest is no part of the image, but it is read all the same, so that a
    // writer at the other end of a pipe is not cut off.
    while (window.more)
        window.more = std::fread(window.start, 1, windowSize, in) == windowSize;
    return imageLength;
}
