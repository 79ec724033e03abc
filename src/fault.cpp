#include "fault.hpp"

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
