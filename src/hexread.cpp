#include "hexread.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

namespace {

// From the ':' to the record data: mark, byte count, address, type.
constexpr std::ptrdiff_t recordHeadLength = 9;

// A digit's value, ready shifted, or invalidDigit for any other character.
// The flag survives or-ing, so a whole record is checked once, at its end.
constexpr unsigned invalidDigit = 0x100;

constexpr std::array<std::uint16_t, 256> makeDigitTable(unsigned shift)
{
    std::array<std::uint16_t, 256> table{};
    for (unsigned c = 0; c < table.size(); ++c) {
        unsigned value = invalidDigit;
        if (c >= '0' && c <= '9')
            value = (c - '0') << shift;
        else if (c >= 'A' && c <= 'F')
            value = (c - 'A' + 10) << shift;
        else if (c >= 'a' && c <= 'f')
            value = (c - 'a' + 10) << shift;
        table[c] = static_cast<std::uint16_t>(value);
    }
    return table;
}

constexpr auto highDigit = makeDigitTable(4);
constexpr auto lowDigit = makeDigitTable(0);

unsigned decodePair(const char* text)
{
    return highDigit[static_cast<unsigned char>(text[0])] |
           lowDigit[static_cast<unsigned char>(text[1])];
}

bool isDataRecord(const char* record, const char* end)
{
    return end - record >= recordHeadLength && record[7] == '0' && record[8] == '0';
}

std::uint32_t reject(char* message, const char* reason)
{
    std::snprintf(message, faultMessageSize, "%s", reason);
    return 0;
}

// Lines are counted only here, on the way out, so accepted text is never
// scanned for line ends.
std::uint32_t rejectRecord(char* message, const char* format, const char* text,
                           const char* record)
{
    const std::size_t line = 1 + static_cast<std::size_t>(std::count(text, record, '\n'));
    std::snprintf(message, faultMessageSize, format, line);
    return 0;
}

} // namespace

const char* locLine(const char* pos, const char* end)
{
    const void* mark = std::memchr(pos, ':', static_cast<std::size_t>(end - pos));
    return mark ? static_cast<const char*>(mark) + 1 : nullptr;
}

bool putLine(std::uint8_t* dest, const char* text, std::size_t count)
{
    unsigned digits = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned byte = decodePair(text + 2 * i);
        digits |= byte;
        dest[i] = static_cast<std::uint8_t>(byte);
    }
    return (digits & invalidDigit) == 0;
}

std::uint32_t assembleImage(const char* text, std::size_t length, std::uint8_t* image,
                            char* message)
{
    const char* const end = text + length;
    const char* scan = locLine(text, end);
    if (!scan)
        return reject(message, "No record in the input");
    // The first record is normally the first file's opening address record,
    // which the image has no use for; a data record there is data all the same.
    if (isDataRecord(scan - 1, end))
        --scan;

    bool inFirstImage = true;
    std::uint32_t imageLength = 0;
    for (;;) {
        const char* count = locLine(scan, end);
        if (!count)
            return reject(message, inFirstImage ? "No 000004 record to end the first image"
                                                : "No 000005 record to end the second image");
        const char* record = count - 1;
        if (end - record < recordHeadLength)
            return rejectRecord(message, "Record cut short at line %zu", text, record);

        if (std::memcmp(record + 3, inFirstImage ? "000004" : "000005", 6) == 0) {
            if (!inFirstImage)
                return imageLength;
            std::memset(image + imageLength, fillByte, segmentTwoOffset - imageLength);
            imageLength = segmentTwoOffset;
            inFirstImage = false;
            scan = record + 3;
            continue;
        }
        if (!isDataRecord(record, end)) {
            scan = record + 7;
            continue;
        }

        const unsigned byteCount = decodePair(count);
        const char* data = record + recordHeadLength;
        if (byteCount & invalidDigit)
            return rejectRecord(message, "Bad hex digit at line %zu", text, record);
        if (static_cast<std::size_t>(end - data) < 2 * std::size_t{byteCount})
            return rejectRecord(message, "Record cut short at line %zu", text, record);
        const std::uint32_t limit = inFirstImage ? segmentTwoOffset : imageCapacity;
        if (byteCount > limit - imageLength)
            return rejectRecord(message,
                                inFirstImage ? "First image exceeds 0x8000 bytes at line %zu"
                                             : "Image exceeds 0x200000 bytes at line %zu",
                                text, record);
        if (!putLine(image + imageLength, data, byteCount))
            return rejectRecord(message, "Bad hex digit at line %zu", text, record);
        imageLength += byteCount;
        // Validated digits hold no ':', so the next record mark lies beyond them.
        scan = data + 2 * byteCount;
    }
}
