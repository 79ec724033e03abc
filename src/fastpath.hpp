// The fast path, for the bulk of a file: runs of data records alike, one
// after another, each at the address where the last ended, as tools write
// them. Included by the reader's units alone.
#pragma once

#include "layout.hpp"

// Lays the data records from `scan`, the end of a record read whole, on, as
// long as each stands whole in the text before `end`, only blanks stand in
// front of it, and it is right in every way: hex digits, checksum, at the
// address `next` (their four address digits from the file's `upper`
// address on) and no byte at image offset `limit` or beyond (at least the
// layout's length), so that it lays no gap. It never rejects:
// it stops in front of the first record it does not take (any other type, a
// fault, a gap, one below, one near the text's end, one far from the last),
// and returns the end of the last record it took, or scan; the general loop
// then reads on from there.
const char* layRuns(const char* scan, const char* end, Layout& layout, std::uint32_t upper, std::uint32_t limit);
