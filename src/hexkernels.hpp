// The reader's kernels: decoding hex digits, finding record marks, counting
// line feeds, telling blanks. Each SSE2 body has a portable twin below it that
// gives the same results, so that the record rules read without either; the
// build chooses one (ZEMKAR_SSE2). Included by the reader's units alone.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#ifdef ZEMKAR_SSE2
#include <emmintrin.h>
#endif

// A digit's value, ready shifted, or invalidDigit for any other character.
// The flag survives or-ing, and adding up: it lies above any sum of 256 bytes,
// so a whole record's bytes are added up and checked at once, at its end.
inline constexpr unsigned invalidDigit = 0x10000;

consteval std::array<std::uint32_t, 256> makeDigitTable(unsigned shift)
{
    std::array<std::uint32_t, 256> table{};
    for (unsigned c = 0; c < table.size(); ++c) {
        unsigned value = invalidDigit;
        if (c >= '0' && c <= '9')
            value = (c - '0') << shift;
        else if (c >= 'A' && c <= 'F')
            value = (c - 'A' + 10) << shift;
        else if (c >= 'a' && c <= 'f')
            value = (c - 'a' + 10) << shift;
        table[c] = value;
    }
    return table;
}

inline constexpr auto highDigit = makeDigitTable(4);
inline constexpr auto lowDigit = makeDigitTable(0);

// The byte the digit pair at text spells, with invalidDigit set where either is no digit.
[[gnu::always_inline]] inline unsigned decodePair(const char* text)
{
    return highDigit[static_cast<unsigned char>(text[0])] | lowDigit[static_cast<unsigned char>(text[1])];
}

// Decodes count bytes from the digit pairs at text and adds them to sum;
// false if a character among them is no hex digit. The portable decode, and
// the tail of a record whose byte count is no multiple of 16: out of line, the
// fast path never needs it.
[[gnu::noinline]] inline bool decodePairs(std::uint8_t* dest, const char* text, std::size_t count, unsigned& sum)
{
    unsigned bytes = 0; // at least invalidDigit where a digit is bad: count is at most 256
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned byte = decodePair(text + 2 * i);
        bytes += byte;
        dest[i] = static_cast<std::uint8_t>(byte);
    }
    sum += bytes;
    return bytes < invalidDigit;
}

// The fast path looks this far past a record for the next record mark.
inline constexpr std::ptrdiff_t markLookahead = 16;

// What may stand between two records of a file: spaces, tabs and line ends.
[[gnu::always_inline]] inline bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The first character in [pos, end) that is no blank, or end.
inline const char* skipBlanks(const char* pos, const char* end)
{
    while (pos != end && isBlank(*pos))
        ++pos;
    return pos;
}

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

// Decodes blocks * 16 bytes from the digits at text and adds them to sum,
// modulo 256; returns 0, or other bits where a character among them is no
// hex digit, for the caller to or with its other checks.
[[gnu::always_inline]] inline unsigned decodeBlocks(std::uint8_t* dest, const char* text, std::size_t blocks, unsigned& sum)
{
    // Each 16-bit lane holds a high digit h in its low byte and a low digit l
    // in its high byte: times 0x1001 (h << 12 plus the lane) the high byte is
    // h << 4 | l, the byte wanted, and packing takes the high bytes of both halves.
    const __m128i merge = _mm_set1_epi16(0x1001);
    __m128i invalid = _mm_setzero_si128(), sums = _mm_setzero_si128();
    for (const char* const stop = text + 32 * blocks; text != stop; text += 32, dest += 16) {
        const __m128i first = _mm_srli_epi16(_mm_mullo_epi16(digitValues(load(text), invalid), merge), 8);
        const __m128i second = _mm_srli_epi16(_mm_mullo_epi16(digitValues(load(text + 16), invalid), merge), 8);
        const __m128i bytes = _mm_packus_epi16(first, second);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dest), bytes);
        // Lane by lane, modulo 256: all that a checksum needs of the sum.
        sums = _mm_add_epi8(sums, bytes);
    }
    // The two halves' lanes added, whose eight bytes then add up in one sum of absolute differences.
    const __m128i folded = _mm_add_epi8(sums, _mm_shuffle_epi32(sums, 0x4E));
    sum += static_cast<unsigned>(_mm_cvtsi128_si32(_mm_sad_epu8(folded, _mm_setzero_si128())));
    return static_cast<unsigned>(_mm_movemask_epi8(invalid));
}

// The position just behind the next ':' in [pos, end), or nullptr if there is none.
[[gnu::always_inline]] inline const char* locLine(const char* pos, const char* end)
{
    // Records mostly follow one another within a few characters: one compare
    // of the next sixteen finds the mark without a call.
    static_assert(markLookahead == 16, "one compare looks at sixteen characters");
    if (end - pos >= markLookahead) {
        const __m128i marks = _mm_cmpeq_epi8(load(pos), _mm_set1_epi8(':'));
        if (const auto found = static_cast<unsigned>(_mm_movemask_epi8(marks)))
            return pos + std::countr_zero(found) + 1;
    }
    const void* mark = std::memchr(pos, ':', static_cast<std::size_t>(end - pos));
    return mark ? static_cast<const char*>(mark) + 1 : nullptr;
}

// Whether [from, to) holds blanks only; it is shorter than markLookahead, and
// that many characters from `from` on are in the text.
[[gnu::always_inline]] inline bool blanksOnly(const char* from, const char* to)
{
    const __m128i chars = load(from);
    const auto is = [&](char c) { return _mm_cmpeq_epi8(chars, _mm_set1_epi8(c)); };
    const auto blanks = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(is(' '), is('\t')), _mm_or_si128(is('\r'), is('\n')))));
    const unsigned wanted = (1u << (to - from)) - 1;
    return (blanks & wanted) == wanted;
}

// The number of line feeds in [begin, end).
inline std::size_t countLineEnds(const char* begin, const char* end)
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

[[gnu::always_inline]] inline unsigned decodeBlocks(std::uint8_t* dest, const char* text, std::size_t blocks, unsigned& sum)
{
    return !decodePairs(dest, text, 16 * blocks, sum);
}

[[gnu::always_inline]] inline const char* locLine(const char* pos, const char* end)
{
    const void* mark = std::memchr(pos, ':', static_cast<std::size_t>(end - pos));
    return mark ? static_cast<const char*>(mark) + 1 : nullptr;
}

[[gnu::always_inline]] inline bool blanksOnly(const char* from, const char* to)
{
    return skipBlanks(from, to) == to;
}

inline std::size_t countLineEnds(const char* begin, const char* end)
{
    return static_cast<std::size_t>(std::count(begin, end, '\n'));
}

#endif
