// Maps of a bit for each byte of address space, by the address's low bits:
// the gap map and the map's notes of the bytes given. Included by the
// reader's units alone.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

// The bit of `address` in `bits`, whose bit count, mask + 1, is a multiple of 8.
inline bool bitAt(const std::uint8_t* bits, std::uint64_t mask, std::uint64_t address)
{
    const std::uint64_t bit = address & mask;
    return (bits[bit / 8] >> bit % 8 & 1) != 0;
}

// Sets, or clears, the bits of the addresses from `from` up to `to`: whole
// bytes of them at once, where they run from a byte's first bit.
inline void markBits(std::uint8_t* bits, std::uint64_t mask, std::uint64_t from, std::uint64_t to, bool set)
{
    while (from < to) {
        const std::uint64_t bit = from & mask;
        const std::uint64_t bytes = std::min((to - from) / 8, (mask + 1 - bit) / 8);
        if (bit % 8 == 0 && bytes != 0) {
            std::memset(bits + bit / 8, set ? 0xFF : 0, static_cast<std::size_t>(bytes));
            from += 8 * bytes;
            continue;
        }
        const auto one = static_cast<std::uint8_t>(1u << bit % 8);
        std::uint8_t& byte = bits[bit / 8];
        byte = static_cast<std::uint8_t>(set ? byte | one : byte & ~one);
        ++from;
    }
}
