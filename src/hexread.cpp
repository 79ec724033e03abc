#include "hexread.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#if defined(__SSE2__) && !defined(ZEMKAR_PORTABLE)
#define ZEMKAR_SSE2 1
#include <emmintrin.h>
#endif

namespace {

// From the ':' to the record data: mark, byte count, address, type.
constexpr std::ptrdiff_t recordHeadLength = 9;

// The most the reader ever needs of one record at once: its head and 255
// data bytes (the checksum is never read).
constexpr std::ptrdiff_t longestRecord = recordHeadLength + 2 * 255;

// The text passes through a window this size. It stays in cache, so reading
// costs a copy, where reading the whole file would cost a page fault for
// every 4 KiB of fresh memory, and it bounds memory whatever the input's size.
constexpr std::size_t windowSize = 256 * 1024;

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
    return highDigit[static_cast<unsigned char>(text[0])] |
           lowDigit[static_cast<unsigned char>(text[1])];
}

#ifdef ZEMKAR_SSE2
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

// Sixteen bytes from the 32 digits at text.
[[gnu::always_inline]] inline void putSixteen(std::uint8_t* dest, const char* text, __m128i& invalid)
{
    const __m128i first = digitValues(_mm_loadu_si128(reinterpret_cast<const __m128i*>(text)), invalid);
    const __m128i second = digitValues(_mm_loadu_si128(reinterpret_cast<const __m128i*>(text + 16)), invalid);
    // Each 16-bit lane holds a high digit h in its low byte and a low digit l
    // in its high byte: times 0x1001 (h << 12 plus the lane) the high byte is
    // h << 4 | l, the byte wanted, and packing takes the high bytes of both halves.
    const __m128i merge = _mm_set1_epi16(0x1001);
    const __m128i firstBytes = _mm_srli_epi16(_mm_mullo_epi16(first, merge), 8);
    const __m128i secondBytes = _mm_srli_epi16(_mm_mullo_epi16(second, merge), 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dest), _mm_packus_epi16(firstBytes, secondBytes));
}
#endif

// The portable decode, and the tail of a record whose byte count is no
// multiple of 16. Out of line: the fast path never needs it.
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

[[gnu::always_inline]] inline bool isDataRecord(const char* record, const char* end)
{
    return end - record >= recordHeadLength && record[7] == '0' && record[8] == '0';
}

std::uint32_t reject(char* message, const char* reason)
{
    std::snprintf(message, faultMessageSize, "%s", reason);
    return 0;
}

#ifdef ZEMKAR_SSE2
// One bit for each of the sixteen characters from pos, set where it is a ':'.
[[gnu::always_inline]] inline unsigned marksAt(const char* pos)
{
    const __m128i chars = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pos));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chars, _mm_set1_epi8(':'))));
}
#endif

// Whether mark is the first ':' among the sixteen characters from pos.
[[gnu::always_inline]] inline bool isFirstMark(const char* pos, const char* mark)
{
    // Only the sixteen can confirm it: with no mark among them, counting zero
    // bits gives 32, which must not pass for a mark 32 characters on.
    const auto at = static_cast<std::size_t>(mark - pos);
#ifdef ZEMKAR_SSE2
    return at < 16 && static_cast<std::size_t>(std::countr_zero(marksAt(pos))) == at;
#else
    return at < 16 && std::memchr(pos, ':', 16) == mark;
#endif
}

// The position just behind the next ':' in [pos, end), or nullptr if there is none.
[[gnu::always_inline]] inline const char* locLine(const char* pos, const char* end)
{
#ifdef ZEMKAR_SSE2
    // Records mostly follow one another within a few characters: one compare
    // of the next sixteen finds the mark without a call.
    if (end - pos >= 16) {
        if (const unsigned marks = marksAt(pos))
            return pos + std::countr_zero(marks) + 1;
    }
#endif
    const void* mark = std::memchr(pos, ':', static_cast<std::size_t>(end - pos));
    return mark ? static_cast<const char*>(mark) + 1 : nullptr;
}

// Decodes blocks * 16 bytes from the digits at text into dest; false if a
// character among them is no hex digit.
[[gnu::always_inline]] inline bool putBlocks(std::uint8_t* dest, const char* text, std::size_t blocks)
{
#ifdef ZEMKAR_SSE2
    __m128i invalid = _mm_setzero_si128();
    for (const char* const stop = text + 32 * blocks; text != stop; text += 32, dest += 16)
        putSixteen(dest, text, invalid);
    return _mm_movemask_epi8(invalid) == 0;
#else
    return putPairs(dest, text, 16 * blocks);
#endif
}

// Decodes count bytes from the 2 * count hex digits at text into dest, first
// digit the high half. Digits are '0'-'9', 'A'-'F' and 'a'-'f'; false if any
// other character stands among them (dest then holds garbage).
bool putLine(std::uint8_t* dest, const char* text, std::size_t count)
{
    const std::size_t whole = count / 16 * 16;
    return putBlocks(dest, text, count / 16) && (whole == count || putPairs(dest + whole, text + 2 * whole, count - whole));
}

// The number of line feeds in [begin, end).
std::size_t countLineEnds(const char* begin, const char* end)
{
    std::size_t lines = 0;
#ifdef ZEMKAR_SSE2
    // Byte lanes count up to 255 matches each, 128 characters a round, before
    // they are added up.
    const __m128i lineFeed = _mm_set1_epi8('\n');
    const auto matches = [&](int at) {
        return _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(begin + at)), lineFeed);
    };
    const auto quarter = [&](int at) {
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
#endif
    return lines + static_cast<std::size_t>(std::count(begin, end, '\n'));
}

// The line feeds among the first `length` characters of `in`, read again from
// its start through `buffer`.
std::size_t countLineEndsAgain(std::FILE* in, char* buffer, std::size_t length)
{
    std::size_t lines = 0;
    std::fseek(in, 0, SEEK_SET);
    for (std::size_t start = 0; start < length; start += windowSize) {
        const std::size_t got = std::fread(buffer, 1, std::min(length - start, windowSize), in);
        lines += countLineEnds(buffer, buffer + got);
    }
    return lines;
}

#ifdef ZEMKAR_SSE2
// One bit for each of the sixteen characters from text, set where it equals
// the character at the same place from other.
[[gnu::always_inline]] inline unsigned sameAt(const char* text, const char* other)
{
    return static_cast<unsigned>(_mm_movemask_epi8(
        _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(text)),
                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(other)))));
}
#endif

// Whether two records have the same mark, byte count and type; their
// addresses may differ.
[[gnu::always_inline]] inline bool isAlike(const char* record, const char* other)
{
#ifdef ZEMKAR_SSE2
    constexpr unsigned markCountAndType = 0b1'1000'0111;
    return (sameAt(record, other) & markCountAndType) == markCountAndType;
#else
    return std::memcmp(record, other, 3) == 0 && std::memcmp(record + 7, other + 7, 2) == 0;
#endif
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
    // From the end of one record's data to the next record's mark.
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
    const char* const lastTaken = end - longestRecord - 16;
    std::uint32_t length = imageLength;
    const char* count = scan <= lastTaken ? locLine(scan, scan + 16) : nullptr;
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
        count = locLine(scan, scan + 16);
        if (!count)
            break;
        // The next record shows how far apart the records stand, and the bulk
        // of a file goes on that way.
        const char* last = putRecordsAlike(record, count - 1 - record, lastTaken, image, length, limit);
        if (last != record) {
            scan = last + recordHeadLength + 2 * byteCount;
            count = locLine(scan, scan + 16);
        }
    }
    imageLength = length;
    // In front of the record not taken, or, where no mark was near, behind the last one taken.
    return count ? count - 1 : scan;
}

} // namespace

std::uint32_t readImage(std::FILE* in, std::uint8_t* image, char* message)
{
    // Line numbers are needed only for a message. Text that can be read again
    // is counted then, from its start; other text is counted as it passes.
    const bool rereadable = std::ftell(in) == 0;
    char window[longestRecord + windowSize];
    std::size_t got = std::fread(window, 1, windowSize, in);
    const char* end = window + got; // end of the text in the window
    bool more = got == windowSize;  // whether the stream may hold more text
    std::size_t passed = 0;         // characters moved out of the window
    std::size_t linesPassed = 0;    // line feeds among them, where counted as they pass

    // Moves the text from keep on to the window's start and fills the rest;
    // returns how far the kept text moved.
    const auto refill = [&](const char* keep) {
        if (!rereadable)
            linesPassed += countLineEnds(window, keep);
        passed += static_cast<std::size_t>(keep - window);
        // Whole windows are read behind the kept text: reads of one size, a
        // multiple of any block size, go straight from the file to the window.
        const auto kept = static_cast<std::size_t>(end - keep);
        std::memmove(window, keep, kept);
        got = std::fread(window + kept, 1, windowSize, in);
        more = got == windowSize;
        end = window + kept + got;
        return keep - window;
    };
    // The next record mark at or after scan, with as much of its record in
    // the window as the reader may need; nullptr where the text ends first.
    const auto findRecord = [&](const char* scan) -> const char* {
        const char* count = locLine(scan, end);
        while (!count && more) {
            refill(end);
            count = locLine(window, end);
        }
        if (!count)
            return nullptr;
        const char* record = count - 1;
        if (end - record < longestRecord && more)
            record -= refill(record);
        return record;
    };
    const auto rejectRecord = [&](const char* format, const char* record) {
        std::size_t line = 1 + countLineEnds(window, record);
        line += rereadable && passed ? countLineEndsAgain(in, window, passed) : linesPassed;
        std::snprintf(message, faultMessageSize, format, line);
        return std::uint32_t{0};
    };

    const char* record = findRecord(window);
    if (!record)
        return reject(message, "No record in the input");
    // The first record is normally the first file's opening address record,
    // which the image has no use for; a data record there is data all the same.
    const char* scan = isDataRecord(record, end) ? record : record + 1;

    // Segment 1 runs to the "000004" record, segment 2 to the "000005" record;
    // they differ only in that marker and their limit.
    std::uint32_t imageLength = 0;
    for (const bool inFirstImage : {true, false}) {
        const char* const marker = inFirstImage ? "000004" : "000005";
        const std::uint32_t limit = inFirstImage ? segmentTwoOffset : imageCapacity;
        for (;;) {
            scan = putDataRecords(scan, end, image, imageLength, limit);
            record = findRecord(scan);
            if (!record)
                return reject(message, inFirstImage ? "No 000004 record to end the first image"
                                                    : "No 000005 record to end the second image");
            if (end - record < recordHeadLength)
                return rejectRecord("Record cut short at line %zu", record);
            if (std::memcmp(record + 3, marker, 6) == 0)
                break;
            if (!isDataRecord(record, end)) {
                scan = record + 7;
                continue;
            }
            const unsigned byteCount = decodePair(record + 1);
            const char* data = record + recordHeadLength;
            if (byteCount & invalidDigit)
                return rejectRecord("Bad hex digit at line %zu", record);
            if (static_cast<std::size_t>(end - data) < 2 * std::size_t{byteCount})
                return rejectRecord("Record cut short at line %zu", record);
            if (byteCount > limit - imageLength)
                return rejectRecord(inFirstImage ? "First image exceeds 0x8000 bytes at line %zu"
                                                 : "Image exceeds 0x200000 bytes at line %zu",
                                    record);
            if (!putLine(image + imageLength, data, byteCount))
                return rejectRecord("Bad hex digit at line %zu", record);
            imageLength += byteCount;
            // Validated digits hold no ':', so the next record mark lies beyond them.
            scan = data + 2 * byteCount;
        }
        if (inFirstImage) {
            std::memset(image + imageLength, fillByte, segmentTwoOffset - imageLength);
            imageLength = segmentTwoOffset;
            scan = record + 3;
        }
    }

    // The rest is no part of the image, but it is read all the same, so that a
    // writer at the other end of a pipe is not cut off.
    while (more)
        more = std::fread(window, 1, windowSize, in) == windowSize;
    return imageLength;
}
