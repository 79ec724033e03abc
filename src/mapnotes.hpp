// What a map of the text needs, gathered as the reader lays the image: the
// bytes each part of the text gave, and where the files stand in it.
#pragma once

#include "constants.hpp"

#include <cstddef>
#include <cstdint>

// The parts of the text, as the reader meets them: the first file, the
// image a 000004 record of the first file begins provisionally, the second
// file; and the provisional image's data again, as the first file's, up to
// the first record that breaks the first image's rules. Once the text is
// read, part 0 is the first image and part 1 the second (see finishMapNotes).
inline constexpr std::size_t mapParts = 4;
inline constexpr std::size_t provisionalAsFirst = 3;

// Bytes given, a bit a byte by address modulo imageCapacity: no image spans
// more, so no two of one part's addresses share a bit.
inline constexpr std::size_t givenMapSize = imageCapacity / 8;

struct MapNotes {
    std::uint8_t* given[mapParts]; // givenMapSize bytes each, all zero to begin with
    std::uint64_t low[mapParts]{};  // the lowest address given, where `any`
    std::uint64_t high[mapParts]{}; // one past the highest
    bool any[mapParts]{};
    // Set once the text is read, as far as it was: the lines, counted from 1,
    // of the record that starts the second image (0: none) and of the last
    // record read; whether a 000004 and a 000005 record told the images apart,
    // not an end-of-file record with a record behind it.
    std::uint64_t secondLine = 0;
    std::uint64_t lastLine = 0;
    bool byMarkers = false;
    // Set where the first file went on behind the provisional image: its
    // data were the first file's, whether they could join the first image or not.
    bool firstFileWentOn = false;
};

// Notes the bytes from `from` up to `to` as given in `part`.
void noteGiven(MapNotes& notes, std::size_t part, std::uint64_t from, std::uint64_t to);

// Makes part 0 the first image and part 1 the second, once `byMarkers` and
// `firstFileWentOn` are set: unless the provisional image is the second
// image, the second file's data are part 1, and where the provisional
// image's data turned out to be the first file's, they join part 0's, as far
// as they kept its rules.
void finishMapNotes(MapNotes& notes);

// The next run of given bytes of `part` from `address` on, below `end`:
// its first address and the one past its last, or false where none is left.
bool nextGivenRun(const MapNotes& notes, std::size_t part, std::uint64_t address, std::uint64_t end, std::uint64_t& first,
                  std::uint64_t& past);
