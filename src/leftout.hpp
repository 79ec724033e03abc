// Data bytes left out: the pieces of a record that are laid, what the ranges
// took, and how far the fast path may lay. Included by the reader's units alone.
#pragma once

#include "fastpath.hpp"
#include "hexread.hpp"
#include "textplace.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

// The addresses from `from` up to `to`.
struct AddressSpan {
    std::uint64_t from;
    std::uint64_t to;
};

// A record's bytes fall into at most this many pieces, with a byte left out
// between each two.
inline constexpr std::size_t maxKeptPieces = 128;

// The pieces of [address, end) that no range holds, in address order, into
// `kept`; returns how many.
std::size_t keepPieces(std::span<const LeftOutRange> leftOut, std::uint64_t address, std::uint64_t end, AddressSpan* kept);

// Notes the bytes of [address, end) that the ranges hold, of the record at
// `place`, met in `part` of the text (an index into LeftOutRange's notes).
void noteLeftOut(std::span<LeftOutRange> leftOut, std::uint64_t address, std::uint64_t end, std::size_t part,
                 const TextPlace& place);

// Moves the notes of part `from` to part `into`, where those records turn
// out to be that part's: they stand behind its own.
void joinLeftOutNotes(std::span<LeftOutRange> leftOut, std::size_t into, std::size_t from);

// The image offset up to which the fast path may lay: in front of the first
// range that holds `next` or stands above it.
std::uint32_t leftOutLimit(std::span<const LeftOutRange> leftOut, const Layout& layout);
