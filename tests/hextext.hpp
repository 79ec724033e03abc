// HEX text as real tools write it, and the image zemkar must make of it,
// built independently of the code under test.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

// Deterministic bytes with every value represented.
inline Bytes pattern(std::size_t size, unsigned seed = 1)
{
    Bytes bytes(size);
    for (auto& byte : bytes)
        byte = static_cast<std::uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
    return bytes;
}

inline std::string hexRecord(unsigned type, unsigned address, const Bytes& data)
{
    Bytes fields{static_cast<std::uint8_t>(data.size()), static_cast<std::uint8_t>(address >> 8),
                 static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(type)};
    fields.insert(fields.end(), data.begin(), data.end());
    unsigned sum = 0;
    std::string text = ":";
    char pair[3];
    for (auto byte : fields) {
        std::snprintf(pair, sizeof pair, "%02X", byte);
        text += pair;
        sum += byte;
    }
    std::snprintf(pair, sizeof pair, "%02X", (0x100 - sum % 0x100) % 0x100);
    return text + pair + "\r\n";
}

inline Bytes upperAddress(std::uint32_t address)
{
    return {static_cast<std::uint8_t>(address >> 24), static_cast<std::uint8_t>(address >> 16)};
}

// One HEX file: a type 04 record opening each 64 KiB, data records of
// perRecord bytes, then the type 05 and 01 records that close it.
inline std::string hexFile(const Bytes& data, std::uint32_t base = 0x08000000, std::size_t perRecord = 16)
{
    std::string text;
    for (std::size_t offset = 0; offset < data.size() || offset == 0; offset += perRecord) {
        const std::uint32_t address = base + static_cast<std::uint32_t>(offset);
        if (offset == 0 || address % 0x10000 < perRecord)
            text += hexRecord(4, 0, upperAddress(address));
        if (offset < data.size()) {
            const auto size = std::min(perRecord, data.size() - offset);
            text += hexRecord(0, address & 0xFFFF, Bytes(data.begin() + offset, data.begin() + offset + size));
        }
    }
    Bytes start = upperAddress(base);
    start.push_back(static_cast<std::uint8_t>(base >> 8));
    start.push_back(static_cast<std::uint8_t>(base));
    return text + hexRecord(5, 0, start) + hexRecord(1, 0, {});
}

// Two files joined end to end, as the build hands them over.
inline std::string twoImages(const Bytes& first, const Bytes& second, std::size_t perRecord = 16)
{
    return hexFile(first, 0x08000000, perRecord) + hexFile(second, 0x08008000, perRecord);
}

inline Bytes expectedImage(const Bytes& first, const Bytes& second)
{
    Bytes image = first;
    image.resize(0x8000, 0xFF);
    image.insert(image.end(), second.begin(), second.end());
    return image;
}
