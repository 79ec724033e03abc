// How an image is laid. Included by the reader's units alone.
#pragma once

#include "constants.hpp"

#include <cassert>
#include <cstdint>
#include <optional>

// The image as it is laid. Gaps between records are filled, so image offsets
// and load addresses go together: `next` is the address of the byte that
// would go at offset `length`, `low` the lowest address laid, and every offset
// is from the image buffer's start, whichever image is being laid. The image
// starts at `origin`; while it is laid, its bytes may stand higher. Which
// bytes of the span are gaps, not given by a record, `gaps` tells: a bit a
// byte, by the address modulo gapMask + 1, which is at least the image's room.
struct Layout {
    std::uint8_t* image;
    std::uint32_t length = 0;               // bytes laid, fill included
    std::uint32_t limit = segmentTwoOffset; // how far the fast path may lay
    bool placed = false;                    // whether a record with data has fixed the image's base
    std::uint64_t next = 0;
    std::uint64_t low = 0;
    std::uint32_t origin = 0;
    std::uint8_t* gaps = nullptr;
    std::uint32_t gapMask = 0;
    bool gapsMarked = false; // whether any bit of `gaps` is set
};

// What every unit that lays an image keeps, whenever it hands the layout
// on: the laid bytes span from `low` to `next` and stand at or above the
// image's origin, within the room; an image not placed spans nothing.
// Checked where assertions are on (the sanitizer and fuzz builds).
inline bool keepsPlacement(const Layout& layout)
{
    const std::uint64_t span = layout.next - layout.low;
    return layout.low <= layout.next && (layout.placed || span == 0) && layout.origin + span <= layout.length &&
           layout.length <= imageCapacity;
}

// Checks keepsPlacement where assertions are on.
inline void checkPlacement([[maybe_unused]] const Layout& layout)
{
    assert(keepsPlacement(layout));
}

// Where the image's data start: its lowest address, once a record has placed it.
inline std::optional<std::uint64_t> startOf(const Layout& layout)
{
    return layout.placed ? std::optional(layout.low) : std::nullopt;
}
