#include "record.hpp"

#include "hexkernels.hpp"

#include <cstdio>

namespace {

constexpr Kind kindOf(unsigned type)
{
    switch (type) {
    case 0:
        return Kind::data;
    case 1:
        return Kind::endOfFile;
    case 2:
    case 4:
        return Kind::address;
    case 3:
    case 5:
        return Kind::start;
    default:
        return Kind::other;
    }
}

// Decodes count bytes from the 2 * count hex digits at text into dest, first
// digit the high half, and adds them to sum. Digits are '0'-'9', 'A'-'F' and
// 'a'-'f'; false if any other character stands among them (dest then holds
// garbage).
bool putLine(std::uint8_t* dest, const char* text, std::size_t count, unsigned& sum)
{
    const std::size_t whole = count / 16 * 16;
    return decodeBlocks(dest, text, count / 16, sum) == 0 &&
           (whole == count || decodePairs(dest + whole, text + 2 * whole, count - whole, sum));
}

} // namespace

Fault readHead(const char* mark, const char* end, Record& record)
{
    if (end - mark < recordHeadLength)
        return Fault::cutShort;
    const unsigned count = decodePair(mark + countField), high = decodePair(mark + addressField),
                   low = decodePair(mark + addressField + 2), type = decodePair(mark + typeField);
    if ((count | high | low | type) & invalidDigit)
        return Fault::badDigit;
    const Kind kind = kindOf(type);
    if (kind == Kind::address && count != 2)
        return Fault::addressCount;
    const char* data = mark + dataField;
    if (end - data < 2 * static_cast<std::ptrdiff_t>(count) + 2)
        return Fault::cutShort;
    record = {.mark = mark, .kind = kind, .count = count, .address = high << 8 | low, .type = type, .data = data,
              .end = data + 2 * count + 2};
    return Fault::none;
}

bool isRecordWithoutMark(const char* digits, std::size_t length)
{
    // A mark replaced by a digit stands in front of the record's digits.
    digits += length % 2;
    length -= length % 2;
    constexpr auto headAndChecksum = static_cast<std::size_t>(dataField - countField) + 2;
    if (length < headAndChecksum || length != headAndChecksum + 2 * decodePair(digits))
        return false;
    unsigned sum = 0;
    for (std::size_t pair = 0; pair < length; pair += 2)
        sum += decodePair(digits + pair);
    return sum % 256 == 0;
}

Fault readData(const Record& record, std::uint8_t* dest)
{
    unsigned sum = record.count + (record.address >> 8) + (record.address & 255) + record.type;
    if (!putLine(dest, record.data, record.count, sum))
        return Fault::badDigit;
    const unsigned checksum = decodePair(record.end - 2);
    if (checksum & invalidDigit)
        return Fault::badDigit;
    return (sum + checksum) & 255 ? Fault::badChecksum : Fault::none;
}
