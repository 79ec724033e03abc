#include "twofiles.hpp"

#include <algorithm>
#include <cstring>

namespace {

// Writes the message of the fault at the place; returns false.
bool reject(Reader& reader, Fault fault, const TextPlace& place, Reach reach = {})
{
    const std::uint64_t line = 1 + lineEndsBefore(reader.window, place);
    // A record of the second file is also named by its line in that file, the line the user can look up.
    const std::uint64_t fileLine = reader.part == Part::secondFile ? line - lineEndsBefore(reader.window, reader.secondFile) : 0;
    writeFault(reader.message, fault, line, fileLine, reach);
    return false;
}

bool rejectAt(Reader& reader, Fault fault, const char* at, Reach reach = {})
{
    return reject(reader, fault, placeOf(reader.window, at), reach);
}

bool rejectDeferred(Reader& reader, const Deferred& deferred)
{
    return reject(reader, deferred.fault, deferred.place, deferred.reach);
}

// The address at which the image being laid starts: image offset 0 for the
// first file's, segmentTwoOffset for any other.
std::uint64_t imageStart(const Reader& reader, const Layout& layout)
{
    return layout.next - (layout.length - (reader.part == Part::firstFile ? 0 : segmentTwoOffset));
}

// Reads the rest of a record whose contents are not laid.
bool readRest(Reader& reader, const Record& record)
{
    std::uint8_t bytes[255];
    const Fault fault = readData(record, bytes);
    return fault == Fault::none || rejectAt(reader, fault, record.mark);
}

// Takes the upper address from the type 02 or 04 record.
bool putAddressRecord(Reader& reader, const Record& record)
{
    std::uint8_t value[2];
    if (const Fault fault = readData(record, value); fault != Fault::none)
        return rejectAt(reader, fault, record.mark);
    const unsigned upper = static_cast<unsigned>(value[0] << 8 | value[1]);
    reader.layout.upper = record.type == 4 ? upper << 16 : upper << 4;
    return true;
}

// The provisional image's first data, at `address`: where they would go if
// they were the first file's, and what would then be wrong.
void placeProvisionalImage(Reader& reader, const char* record, std::uint64_t address)
{
    const Layout& first = reader.first;
    // A first file across 64 KiB holds a 000004 record of its own: its data
    // go on exactly where the first image ends.
    if (first.placed && first.length < segmentTwoOffset && address == first.next)
        reader.pageSplit = {Fault::pageSplit, reader.marker};
    if (first.placed && address < first.next) {
        reader.rejoinFault = {Fault::outOfOrder, placeOf(reader.window, record)};
        return;
    }
    // The first image would pass 0x8000 where this image passes its limit.
    const std::uint64_t at = first.placed ? first.length + (address - first.next) : 0;
    reader.layout.limit = 2 * segmentTwoOffset - static_cast<std::uint32_t>(std::min<std::uint64_t>(at, segmentTwoOffset));
}

// Lays the data record into the image, behind a fill where it leaves a gap.
bool putDataRecord(Reader& reader, const Record& record)
{
    Layout& layout = reader.layout;
    // Without data there is nothing to place.
    if (record.count == 0)
        return readRest(reader, record);
    const std::uint64_t address = std::uint64_t{layout.upper} + record.address;
    if (!layout.placed) {
        layout.placed = true;
        layout.next = address;
        if (reader.part == Part::provisional)
            placeProvisionalImage(reader, record.mark, address);
    }
    if (address < layout.next)
        return rejectAt(reader, Fault::outOfOrder, record.mark);
    const std::uint64_t gap = address - layout.next;
    if (gap + record.count > layout.limit - layout.length) {
        // A provisional image's limit is where the first image would pass
        // 0x8000: noted, the image goes on to the whole image's room.
        if (reader.part == Part::provisional && layout.limit < imageCapacity) {
            const Layout& first = reader.first;
            const std::uint64_t start = first.placed ? first.next - first.length : imageStart(reader, layout);
            if (reader.rejoinFault.fault == Fault::none)
                reader.rejoinFault = {Fault::firstImageTooLong, placeOf(reader.window, record.mark), {address, start}};
            layout.limit = imageCapacity;
        }
        if (gap + record.count > layout.limit - layout.length)
            return rejectAt(reader, reader.part == Part::firstFile ? Fault::firstImageTooLong : Fault::imageTooLong, record.mark,
                            {address, imageStart(reader, layout)});
    }
    const auto fill = static_cast<std::uint32_t>(gap);
    std::memset(layout.image + layout.length, fillByte, fill);
    if (const Fault fault = readData(record, layout.image + layout.length + fill); fault != Fault::none)
        return rejectAt(reader, fault, record.mark);
    layout.length += fill + record.count;
    layout.next = address + record.count;
    return true;
}

// A 000004 record in the first file: the second file's opening record, as far
// as the reader can tell yet. The first image is set aside and filled up to
// 0x8000, and what follows is laid from there as the second image.
bool startProvisionalImage(Reader& reader, const Record& record)
{
    Layout& layout = reader.layout;
    reader.first = layout;
    reader.marker = placeOf(reader.window, record.mark);
    reader.part = Part::provisional;
    std::memset(layout.image + layout.length, fillByte, segmentTwoOffset - layout.length);
    layout.length = segmentTwoOffset;
    layout.limit = imageCapacity;
    layout.placed = false;
    return putAddressRecord(reader, record);
}

// The first file ends behind a provisional image: its data were the first
// file's, and move down behind the first image's at their addresses. The fill
// in front of them is there since the provisional image began.
bool rejoinFirstImage(Reader& reader)
{
    if (reader.rejoinFault.fault != Fault::none)
        return rejectDeferred(reader, reader.rejoinFault);
    Layout& layout = reader.layout;
    const Layout& first = reader.first;
    if (!layout.placed) {
        layout.length = first.length;
        return true;
    }
    const std::uint32_t laid = layout.length - segmentTwoOffset;
    const std::uint64_t base = layout.next - laid;
    const auto at = first.placed ? static_cast<std::uint32_t>(first.length + (base - first.next)) : 0;
    std::memmove(layout.image + at, layout.image + segmentTwoOffset, laid);
    layout.length = at + laid;
    return true;
}

// At a type 01 record with a record behind it: a file ends and another starts
// with that record. Behind the first file the second starts, its image from
// 0x8000, its upper address 0; behind the second file a third would start.
bool startNextFile(Reader& reader, const char* behind)
{
    if (reader.part == Part::secondFile)
        return rejectAt(reader, Fault::thirdFile, behind);
    if (reader.part == Part::provisional && !rejoinFirstImage(reader))
        return false;
    Layout& layout = reader.layout;
    std::memset(layout.image + layout.length, fillByte, segmentTwoOffset - layout.length);
    layout = {.image = layout.image, .length = segmentTwoOffset, .limit = imageCapacity};
    reader.part = Part::secondFile;
    reader.pageSplit = {};
    reader.secondFile = placeOf(reader.window, behind);
    return true;
}

// What a 000005 record leaves the reader to do.
enum class Step { readOn, imageEnded, refused };

// The image ends at a 000005 record.
Step endImage(Reader& reader)
{
    if (reader.pageSplit.fault == Fault::none)
        return Step::imageEnded;
    rejectDeferred(reader, reader.pageSplit);
    return Step::refused;
}

// Where the text ends before the image does.
bool rejectUnended(Reader& reader)
{
    if (reader.pageSplit.fault != Fault::none)
        return rejectDeferred(reader, reader.pageSplit);
    writeFault(reader.message, reader.part == Part::firstFile     ? Fault::noFirstImageEnd
                               : reader.part == Part::provisional ? Fault::noSecondImageEnd
                                                                  : Fault::noSecondFileEnd);
    return false;
}

// Reads the type 01 record whole and finds the record behind it, any text
// between them skipped: `behind` is that record, or nullptr where the text
// ends first.
bool readFileEnd(Reader& reader, const Record& record, const char*& behind)
{
    if (!readRest(reader, record))
        return false;
    behind = findRecord(reader.window, record.end);
    return true;
}

// A 000005 record that ends the image unless records follow it. Behind the
// first file's end the second file goes on past it to its own end where any
// record stands behind it; without that boundary only a type 01 record may
// follow, which ends the image or, with a record behind it, the first file.
// What stands behind the image is not read.
Step putStartMarker(Reader& reader, const Record& record, const char*& scan)
{
    std::optional<TextPlace> stray;
    const char* next = findRecord(reader.window, record.end, &stray);
    if (!next)
        return endImage(reader);
    if (stray) {
        reject(reader, Fault::textOutside, *stray);
        return Step::refused;
    }
    scan = next;
    if (reader.part == Part::secondFile)
        return Step::readOn;
    Record fileEnd;
    Fault fault = readHead(next, reader.window.end, fileEnd);
    if (fault == Fault::none && fileEnd.kind != Kind::endOfFile) {
        // Where the first file's own 000004 record began this image, that says more.
        if (endImage(reader) == Step::refused)
            return Step::refused;
        fault = Fault::recordBehindImageEnd;
    }
    if (fault != Fault::none) {
        rejectAt(reader, fault, next);
        return Step::refused;
    }
    const char* behind = nullptr;
    if (!readFileEnd(reader, fileEnd, behind))
        return Step::refused;
    if (!behind)
        return endImage(reader);
    scan = behind;
    return startNextFile(reader, behind) ? Step::readOn : Step::refused;
}

} // namespace

// The general reader's loop: every record read whole, in one order of
// checks, then handed to the rule of its kind (the rules: hexread.hpp). The
// text's first record sets no marker and ends no file; a 000004 record in
// the first file starts the second image provisionally, and where a type 01
// record with a record behind it follows after all, those data rejoin the
// first image.
bool putImages(Reader& reader, const char* mark)
{
    Window& window = reader.window;
    const char* scan = mark;
    for (bool first = true;; first = false) {
        scan = putDataRecords(scan, window.end, reader.layout);
        std::optional<TextPlace> stray;
        const char* at = findRecord(window, scan, &stray);
        // What stands behind the last record counts before the missing record.
        if (stray)
            return reject(reader, Fault::textOutside, *stray);
        if (!at)
            return rejectUnended(reader);
        Record record;
        if (const Fault fault = readHead(at, window.end, record); fault != Fault::none)
            return rejectAt(reader, fault, at);
        scan = record.end;
        bool goesOn = true;
        switch (record.kind) {
        case Kind::data:
            goesOn = putDataRecord(reader, record);
            break;
        case Kind::address:
            goesOn = isMarker(record) && reader.part == Part::firstFile && !first ? startProvisionalImage(reader, record)
                                                                                   : putAddressRecord(reader, record);
            break;
        case Kind::endOfFile: {
            const char* behind = nullptr;
            if (!readFileEnd(reader, record, behind))
                return false;
            if (!behind)
                return reader.part == Part::secondFile || rejectUnended(reader);
            scan = behind;
            goesOn = first || startNextFile(reader, behind);
            break;
        }
        case Kind::start:
            if (!readRest(reader, record))
                return false;
            if (isMarker(record) && reader.part != Part::firstFile) {
                const Step step = putStartMarker(reader, record, scan);
                if (step != Step::readOn)
                    return step == Step::imageEnded;
            }
            break;
        case Kind::other:
            goesOn = readRest(reader, record);
            break;
        }
        if (!goesOn)
            return false;
    }
}
