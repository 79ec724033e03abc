// The image header: ten bytes in front of the image, built in place so that
// header and image leave in one write.
//
//   offset  size  field
//   0       2     zero
//   2       2     image checksum, little-endian
//   4       2     signature 0x55 0xAA
//   6       4     image length, little-endian
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::size_t headerSize = 10;

// The low 16 bits of the sum of the image's bytes.
std::uint16_t sumImage(const std::uint8_t* image, std::uint32_t imageLength);

// Fills buffer[0, headerSize) for the image of imageLength bytes that follows it.
void buildHeader(std::uint8_t* buffer, std::uint32_t imageLength);
