// The sizes every unit of the reader goes by: the image's room and offsets,
// the text's window, the longest record and message.
#pragma once

#include <cstddef>
#include <cstdint>

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
