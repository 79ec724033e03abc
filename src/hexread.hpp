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
// The units, from the ground up, each including only units below it: the
// kernels (hexkernels.hpp); the shared types (constants.hpp, fault.cpp with
// the message table, layout.hpp, textplace.hpp); record.cpp reads one record;
// window.cpp reads the input and finds records in it; placement.cpp keeps the
// gap map and makes room where records go below an image (bitmap.hpp keeps
// its bits, and the map's); leftout.cpp keeps the ranges left out;
// mapnotes.cpp what a map shows; fastpath.cpp lays runs of data records
// alike; provisional.cpp holds the rules of the provisional image,
// twofiles.cpp the rules above; this file's readImage is the entry.
#pragma once

#include "constants.hpp"
#include "leftout.hpp"
#include "mapnotes.hpp"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>

// Where each image's data start: the lowest load address its data records
// give; none where it has no data.
struct ImageStarts {
    std::optional<std::uint64_t> first;
    std::optional<std::uint64_t> second;
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
// left it, whatever the text. Where `map` is given, it gets what each image's
// records gave and where the files stand, as far as the text was read,
// refused or not. Nothing outside these buffers is touched.
std::uint32_t readImage(std::FILE* in, char* text, std::uint8_t* image, std::uint8_t* gapMap, char* message,
                        ImageStarts& starts, std::span<LeftOutRange> leftOut = {}, MapNotes* map = nullptr);

// The raw image is written to flash where the first image's data start,
// which puts the second image's segmentTwoOffset above them. Where both
// images hold data and the second file's data start anywhere else (an
// application linked for another slot, the files joined the wrong way
// round), writes what is seen into message (faultMessageSize characters)
// and returns true.
bool describeOtherSlot(const ImageStarts& starts, char* message);
