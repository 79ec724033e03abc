// HEX text as real tools write it, and the image zemkar must make of it,
// built independently of the code under test.
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

// count bytes of bytes from offset on.
inline Bytes slice(const Bytes& bytes, std::size_t offset, std::size_t count)
{
    return Bytes(bytes.data() + offset, bytes.data() + offset + count);
}

inline Bytes joinedBytes(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

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
    Bytes fields{std::uint8_t(data.size()), std::uint8_t(address >> 8), std::uint8_t(address), std::uint8_t(type)};
    fields.insert(fields.end(), data.begin(), data.end());
    fields.push_back(0);
    for (std::size_t i = 0; i + 1 < fields.size(); ++i)
        fields.back() = std::uint8_t(fields.back() - fields[i]);
    std::string text = ":";
    for (auto byte : fields)
        text += {"0123456789ABCDEF"[byte >> 4], "0123456789ABCDEF"[byte & 15]};
    return text + "\r\n";
}

// One HEX file: a type 04 record wherever the upper half of the address
// changes, data records of perRecord bytes, then the type 05 and 01 records
// that close it.
inline std::string hexFile(const Bytes& data, std::uint32_t base = 0x08000000, std::size_t perRecord = 16)
{
    std::string text;
    for (std::size_t offset = 0; offset < data.size() || offset == 0; offset += perRecord) {
        const auto address = static_cast<std::uint32_t>(base + offset);
        if (offset == 0 || address >> 16 != (address - perRecord) >> 16)
            text += hexRecord(4, 0, {std::uint8_t(address >> 24), std::uint8_t(address >> 16)});
        const auto size = std::min(perRecord, data.size() - std::min(offset, data.size()));
        if (size > 0)
            text += hexRecord(0, address & 0xFFFF, slice(data, offset, size));
    }
    const Bytes start{std::uint8_t(base >> 24), std::uint8_t(base >> 16), std::uint8_t(base >> 8), std::uint8_t(base)};
    return text + hexRecord(5, 0, start) + hexRecord(1, 0, {});
}

// One HEX file as objcopy writes it for a part with flash at address 0: no
// extended address record below 64 KiB, a type 02 record wherever 64 KiB is
// crossed, the start address as a type 03 record, then the type 01 record.
inline std::string hexFileAtZero(const Bytes& data, std::uint32_t base)
{
    std::string text;
    for (std::size_t offset = 0; offset < data.size(); offset += 16) {
        const auto address = static_cast<std::uint32_t>(base + offset);
        if (address >> 16 != (address - 16) >> 16 && address >= 0x10000)
            text += hexRecord(2, 0, {std::uint8_t(address >> 12), 0});
        text += hexRecord(0, address & 0xFFFF, slice(data, offset, std::min<std::size_t>(16, data.size() - offset)));
    }
    return text + hexRecord(3, 0, {0, 0, std::uint8_t(base >> 8), std::uint8_t(base)}) + hexRecord(1, 0, {});
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
