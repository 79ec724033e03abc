// Data bytes left out: the ranges, the pieces of a record that are laid,
// what the ranges took, and how far the fast path may lay.
#pragma once

#include "layout.hpp"
#include "textplace.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

// Load addresses whose data bytes are read and checked like any others, but
// not laid: the image, its limits and where its data start are as if those
// bytes were not in the text (far regions a programmer writes another way).
// The reader tells what it left out in each range.
struct LeftOutRange {
    std::uint64_t first;
    std::uint64_t last; // included
    std::uint64_t bytes = 0; // data bytes left out
    std::uint64_t low = 0;   // the lowest address left out
    std::uint64_t high = 0;  // the highest
    // The lines of the first and the last record bytes were left out of, in
    // the first file and in the second, counted from that file's first
    // record's line (0 where none).
    std::uint64_t lines[2][2]{};
    // Those records' places in the text, by the part of it the reader was in
    // (the first file, the provisional image, the second file): its notes.
    std::optional<TextPlace> from[3]{}, to[3]{};
};

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
