#include "record.hpp"

#include "hexkernels.hpp"

#include <cstdio>

namespace {

// Where a message names a place: nowhere, a line of the text, or a record's
// line, which in the second file is also named by its line in that file; a
// limit's record also by its address and where its image starts.
enum class Place { none, line, record, reach };

struct FaultText {
    const char* format; // takes `value`, where it names one
    std::uint32_t value;
    Place place;
};

// The message table. The README's and the manual page's tables follow it.
constexpr FaultText textOf(Fault fault)
{
    switch (fault) {
    case Fault::none:
        return {"", 0, Place::none};
    case Fault::noRecord:
        return {"No record in the input", 0, Place::none};
    case Fault::utf16:
        return {"The input is UTF-16 text: save it as ASCII", 0, Place::none};
    case Fault::elf:
        return {"The input is an ELF file: make HEX of it with objcopy -O ihex", 0, Place::none};
    case Fault::uf2:
        return {"The input is a UF2 file, not Intel HEX", 0, Place::none};
    case Fault::sRecords:
        return {"The input holds S-records, not Intel HEX: srec_cat FILE -o OUT -intel converts them", 0, Place::none};
    case Fault::noFirstImageEnd:
        return {"No 000004 record to end the first image: give two HEX files joined end to end", 0, Place::none};
    case Fault::noSecondImageEnd:
        return {"No 000005 record to end the second image", 0, Place::none};
    case Fault::noSecondFileEnd:
        return {"No end-of-file record to end the second file", 0, Place::none};
    case Fault::thirdFile:
        return {"More than two HEX files: a third starts", 0, Place::line};
    case Fault::cutShort:
        return {"Record cut short", 0, Place::record};
    case Fault::badDigit:
        return {"Bad hex digit", 0, Place::record};
    case Fault::badChecksum:
        return {"Bad checksum", 0, Place::record};
    case Fault::textOutside:
        return {"Text outside a record", 0, Place::record};
    case Fault::lostMark:
        return {"Record without its ':'", 0, Place::line};
    case Fault::addressCount:
        return {"Extended address record without 2 data bytes", 0, Place::record};
    case Fault::overlap:
        return {"Record overlaps another", 0, Place::record};
    case Fault::recordBehindImageEnd:
        return {"Record behind the 000005 record that ends the image", 0, Place::record};
    case Fault::pageSplit:
        return {"First image goes on behind the 000004 record", 0, Place::record};
    case Fault::firstImageTooLong:
        return {"First image exceeds 0x%X bytes", segmentTwoOffset, Place::reach};
    case Fault::imageTooLong:
        return {"Image exceeds 0x%X bytes", imageCapacity, Place::reach};
    }
    return {"", 0, Place::none};
}

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
    return putBlocks(dest, text, count / 16, sum) == 0 &&
           (whole == count || putPairs(dest + whole, text + 2 * whole, count - whole, sum));
}

} // namespace

void writeFault(char* message, Fault fault, std::uint64_t line, std::uint64_t fileLine, Reach reach)
{
    const FaultText text = textOf(fault);
    int length = std::snprintf(message, faultMessageSize, text.format, text.value);
    const auto add = [&](const char* format, auto... values) {
        length += std::snprintf(message + length, faultMessageSize - static_cast<std::size_t>(length), format, values...);
    };
    if (text.place != Place::none)
        add(" at line %llu", static_cast<unsigned long long>(line));
    const bool inSecondFile = text.place != Place::line && fileLine != 0;
    if (inSecondFile)
        add(" (line %llu of the second file", static_cast<unsigned long long>(fileLine));
    if (text.place == Place::reach)
        add("%sa record at 0x%08llX; the image starts at 0x%08llX", inSecondFile ? "; " : " (",
            static_cast<unsigned long long>(reach.record), static_cast<unsigned long long>(reach.imageStart));
    if (inSecondFile || text.place == Place::reach)
        add("%s", ")");
}

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
