// Records placed by their addresses, in any order: the gap map, which tells
// the bytes of an image's span that no record has given, and the room an
// image is laid in. Included by the reader's units alone.
#pragma once

#include "layout.hpp"

#include <cstdint>

// Sets, or clears, the gap bits of the addresses from `from` up to `to`.
void markGaps(Layout& layout, std::uint64_t from, std::uint64_t to, bool gap);

// Whether a record has given any byte from `from` up to `to`: any byte of
// the image's span there that is no gap.
bool givenAny(const Layout& layout, std::uint64_t from, std::uint64_t to);

// Where the image's laid bytes start: at its origin, or higher where room
// was left below them for records that go on downward.
std::uint32_t laidStart(const Layout& layout);

// Moves the laid bytes down to the image's origin: where the room above them
// runs out, and where the image is done.
void settle(Layout& layout);

// Clears the image's gap bits, so that the map is all zero again.
void forgetImageGaps(Layout& layout);

// Fills the image up to segmentTwoOffset and starts the second image there,
// in `layout`, with its gap map.
void startSecondImage(Layout& layout, std::uint8_t* gapMap);

// Makes room for the record at `address`, the image then spanning from `low`
// to `high` and reaching at most roomEnd; returns where the record's first
// byte goes. Below the image, room is left for as much again as it spans, as
// far as the room goes, so that records in downward order seldom move it.
std::uint8_t* makeRoom(Layout& layout, std::uint64_t roomEnd, std::uint64_t address, std::uint64_t low, std::uint64_t high);
