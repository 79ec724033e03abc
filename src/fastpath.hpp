// The fast path, for the bulk of a file: runs of data records alike, one
// after another, each at the address where the last ended, as tools write
// them. Included by the reader's units alone.
#pragma once

#include "hexread.hpp"

#include <cstdint>

// The image as it is laid. A gap between records is filled, so image offsets
// and load addresses advance together: `next` is the address of the byte that
// would go at offset `length`, and every offset is from the image buffer's
// start, whichever image is being laid.
struct Layout {
    std::uint8_t* image;
    std::uint32_t length = 0;               // bytes laid, fill included
    std::uint32_t limit = segmentTwoOffset; // how far the image being read may reach
    std::uint32_t upper = 0;                // from the last type 02 or 04 record
    bool placed = false;                    // whether a record with data has fixed the image's base
    std::uint64_t next = 0;
};

// Lays the data records from `scan`, the end of a record read whole, on, as
// long as each stands whole in the text before `end`, only blanks stand in
// front of it, and it is right in every way: hex digits, checksum, at the
// address `next` within the limit. It never rejects: it stops in front of
// the first record it does not take (any other type, a fault, a gap, one
// near the text's end, one far from the last), and returns the end of the
// last record it took, or scan; the general loop then reads on from there.
const char* putDataRecords(const char* scan, const char* end, Layout& layout);
