#include "imageheader.hpp"

std::uint16_t sumImage(const std::uint8_t* image, std::uint32_t imageLength)
{
    // Unsigned wrap-around keeps the low 16 bits exact, so they are taken once, at the end.
    std::uint32_t sum = 0;
    for (std::uint32_t i = 0; i < imageLength; ++i)
        sum += image[i];
    return static_cast<std::uint16_t>(sum);
}

void buildHeader(std::uint8_t* buffer, std::uint32_t imageLength)
{
    const std::uint16_t checksum = sumImage(buffer + headerSize, imageLength);
    buffer[0] = 0x00;
    buffer[1] = 0x00;
    buffer[2] = static_cast<std::uint8_t>(checksum);
    buffer[3] = static_cast<std::uint8_t>(checksum >> 8);
    buffer[4] = 0x55;
    buffer[5] = 0xAA;
    for (int i = 0; i < 4; ++i)
        buffer[6 + i] = static_cast<std::uint8_t>(imageLength >> (8 * i));
}
