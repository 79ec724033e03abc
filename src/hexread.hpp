// Record reading and image assembly: Intel HEX text holding two program
// images, two HEX files joined end to end, in; one flat image out.
//
// Every record from the text's first ':' to the end of the image is read
// whole: its count, address, type, data and checksum are hex digits, and its
// bytes add up to 0 modulo 256. Between the records of a file stand blanks
// only (spaces, tabs, line ends); before the first record and behind a type
// 01 record any text. Each file ends with its end-of-file record (type 01),
// and that is where the two are told apart:
//
//   first record       sets no marker and ends no file
//   the first file     its data records from image offset 0
//   type 01 record     with a record behind it: ends the first file
//   fill               0xFF up to offset 0x8000
//   the second file    its data records from offset 0x8000, up to its own
//                      type 01 record, or a "000005" record with no record
//                      behind it
//
// Where no type 01 record has a record behind it (files joined without
// them), the two marker records divide the text: "000004" (address 0000,
// type 04) ends the first image and "000005" the second, behind which only
// a type 01 record may stand. A "000004" record in the first file starts the
// second image provisionally, until the text shows which it was.
//
// Within each image the load addresses place the data, whatever the order of
// the records: a data record's address is its four address digits plus the
// upper address of the last type 04 (value << 16) or 02 (value << 4) record
// before it in its file. An image spans from the lowest address its records
// give to the highest; a byte no record gives is 0xFF, one that two give is
// refused, and so is a span past the image's room.
//
// The units: record.cpp reads one record and writes the messages;
// window.cpp reads the input and finds records in it; fastpath.cpp lays runs
// of data records alike; twofiles.cpp holds the rules above, provisional.cpp
// those of the provisional image; placement.cpp keeps the gap map and makes
// room where records go below an image; this file's readImage is the entry.
#pragma once

#include "textplace.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>

inline constexpr std::uint32_t segmentTwoOffset = 0x8000;
inline constexpr std::uint32_t imageCapacity = 0x200000;
inline constexpr std::uint8_t fillByte = 0xFF;

// The most the reader needs of one record at once: mark, byte count, address,
// type, 255 data bytes and the checksum.
inline constexpr std::size_t longestRecord = 9 + 2 * 255 + 2;

// The text is read this many characters at a time, into the same pages each
// time: every page of the buffer costs a fault on first touch, and a window
// of 32 KiB reads a typical input of 230 KB in 0.1 ms less than one of 256 KiB
// and the largest no slower. A fuzz build makes it small, so that reads end
// at every place in a record.
#ifndef ZEMKAR_WINDOW_SIZE
#define ZEMKAR_WINDOW_SIZE (32 * 1024)
#endif
inline constexpr std::size_t windowSize = ZEMKAR_WINDOW_SIZE;

// The buffer the text passes through: a read, behind what is kept of a record
// that the read before cut short.
inline constexpr std::size_t textBufferSize = longestRecord + windowSize;

// A bit for each byte an image can span, set where the span holds a gap: the
// second image's (imageCapacity bits), then the first image's.
inline constexpr std::size_t gapMapSize = (imageCapacity + segmentTwoOffset) / 8;

// Longest message readImage writes, terminator included.
inline constexpr std::size_t faultMessageSize = 256;

// Where each image's data start: the lowest load address its data records
// give; none where it has no data.
struct ImageStarts {
    std::optional<std::uint64_t> first;
    std::optional<std::uint64_t> second;
};

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

// Reads the text from `in` to its end through `text`, which has room for
// textBufferSize characters, and assembles the image into `image`, which has
// room for imageCapacity bytes, with `gapMap`, gapMapSize bytes all zero,
// which it leaves all zero, and the bytes in `leftOut` left out; returns the
// image length (at least segmentTwoOffset), where the images' data start in
// `starts`, and what it left out in `leftOut`. A rejected text returns 0 with
// a one-line reason in message, which has room for faultMessageSize
// characters. Where a read of the input fails, or the rewind that counts
// lines for a message, it returns 0 with message empty and errno as that call
// left it, whatever the text. Nothing outside these buffers is touched.
std::uint32_t readImage(std::FILE* in, char* text, std::uint8_t* image, std::uint8_t* gapMap, char* message,
                        ImageStarts& starts, std::span<LeftOutRange> leftOut = {});

// The raw image is written to flash where the first image's data start,
// which puts the second image's segmentTwoOffset above them. Where both
// images hold data and the second file's data start anywhere else (an
// application linked for another slot, the files joined the wrong way
// round), writes what is seen into message (faultMessageSize characters)
// and returns true.
bool describeOtherSlot(const ImageStarts& starts, char* message);
