// What zemkar tells beside the image: the ranges left out, the map of an
// input (--map), and the check of a headed image (--check).
#pragma once

#include "hexread.hpp"

#include <cstdint>
#include <span>

// What each range left out, on standard error: how many bytes, from where to
// where, in which lines of which file; or nothing, which a range with a typo
// in it leaves out.
void tellLeftOut(std::span<const LeftOutRange> leftOut);

// The map on standard output: the files' lines, then a row for each run of
// bytes the records gave and each fill, by image offset; then, where the
// text was read to the image's end (imageLength not 0), the image's length
// and checksum. `image` is the image, without the header.
void printMap(const MapNotes& notes, const std::uint8_t* image, std::uint32_t imageLength);

// Checks the headed image in the file: prints the line that says it is
// right and returns true, or prints what is wrong, without a line end, and
// returns false.
bool checkHeadedImage(const char* name);
