// The reader's kernels: decoding hex digits, finding record marks, counting
// line feeds. Each SSE2 body has a portable twin below it that gives the same
// results, so that the record rules in hexread.cpp read without either; the
// build chooses one (ZEMKAR_SSE2). Included by hexread.cpp alone.
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
// The flag survives or-ing, so a whole record is checked once, at its end.
inline constexpr unsigned invalidDigit = 0x100;

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

inline constexpr auto highDigit = makeDigitTable(4);
inline constexpr auto lowDigit = makeDigitTable(0);

// The byte the digit pair at text spells, with invalidDigit set where either is no digit.
[[gnu::always_inline]] inline unsigned decodePair(const char* text)
{
    return highDigit[static_cast<unsigned char>(text[0])] | lowDigit[static_cast<unsigned char>(text[1])];
}

// Decodes count bytes from the digit pairs at text; false if a character among
// them is no hex digit. The portable decode, and the tail of a record whose
// byte count is no multiple of 16: out of line, the fast path never needs it.
[[gnu::noinline]] inline bool putPairs(std::uint8_t* dest, const char* text, std::size_t count)
{
    unsigned digits = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned byte = decodePair(text + 2 * i);
        digits |= byte;
        dest[i] = static_cast<std::uint8_t>(byte);
    }
    return (digits & invalidDigit) == 0;
}

// The fast path looks this far past a record for the next record mark.
inline constexpr std::ptrdiff_t markLookahead = 16;

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

inline std::size_t countLineEnds(const char* begin, const char* end)
{
    return static_cast<std::size_t>(std::count(begin, end, '\n'));
}

#endif
