#include "twofiles.hpp"

#include "fastpath.hpp"
#include "placement.hpp"
#include "provisional.hpp"

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

// Reads the rest of a record whose contents are not laid.
bool readRest(Reader& reader, const Record& record)
{
    std::uint8_t bytes[255];
    const Fault fault = readData(record, bytes);
    return fault == Fault::none || rejectAt(reader, fault, record.mark);
}

// Notes the bytes laid from `from` up to `to` where a map is asked for;
// the provisional image's as the first file's too, until one breaks its rules.
void noteLaid(Reader& reader, std::uint64_t from, std::uint64_t to)
{
    if (!reader.map)
        return;
    noteGiven(*reader.map, static_cast<std::size_t>(reader.part), from, to);
    if (reader.part == Part::provisional && reader.provisional.rejoinFault.fault == Fault::none)
        noteGiven(*reader.map, provisionalAsFirst, from, to);
}

// Takes the upper address from the type 02 or 04 record.
bool readUpperAddress(Reader& reader, const Record& record)
{
    std::uint8_t value[2];
    if (const Fault fault = readData(record, value); fault != Fault::none)
        return rejectAt(reader, fault, record.mark);
    const unsigned upper = static_cast<unsigned>(value[0] << 8 | value[1]);
    reader.upper = record.type == 4 ? upper << 16 : upper << 4;
    return true;
}

} // namespace

void forgetGaps(Reader& reader)
{
    forgetImageGaps(reader.layout);
    if (reader.part == Part::provisional)
        forgetImageGaps(reader.provisional.first);
}

namespace {

// The most an image may span: the first up to the second's offset, the
// second the rest of the room.
std::uint64_t spanLimit(const Reader& reader)
{
    return reader.part == Part::firstFile ? segmentTwoOffset : imageCapacity - segmentTwoOffset;
}

// Makes room for the bytes from `address` up to `end`, checked against the
// image already, at their address: above the image's span behind a fill,
// below it behind a fill, or into a gap; takes them as laid, and returns
// where they go.
std::uint8_t* placeBytes(Reader& reader, const Record& record, std::uint64_t address, std::uint64_t end)
{
    Layout& layout = reader.layout;
    const std::uint64_t low = layout.placed ? std::min(layout.low, address) : address;
    const std::uint64_t high = layout.placed ? std::max(layout.next, end) : end;
    if (reader.part == Part::provisional)
        noteProvisionalRecord(reader.provisional, layout, reader.window, record.mark, address, end);
    if (!layout.placed) {
        layout.placed = true;
        layout.low = layout.next = address;
    }
    std::uint8_t* const place = makeRoom(layout, layout.origin + spanLimit(reader), address, low, high);
    markGaps(layout, layout.next, address, true);
    markGaps(layout, end, layout.low, true);
    markGaps(layout, std::max(address, layout.low), std::min(end, layout.next), false);
    layout.length += static_cast<std::uint32_t>(high - layout.next);
    layout.low = low;
    layout.next = high;
    if (reader.part == Part::provisional)
        setProvisionalLimit(reader.provisional, layout);
    checkPlacement(layout);
    return place;
}

// Lays the data record at its address, but for the bytes left out, which
// are read and checked all the same. A record a range cuts into pieces lays
// each as a record of its own, once all are checked.
bool layDataRecord(Reader& reader, const Record& record)
{
    const Layout& layout = reader.layout;
    // Without data there is nothing to place.
    if (record.count == 0)
        return readRest(reader, record);
    const std::uint64_t address = std::uint64_t{reader.upper} + record.address, end = address + record.count;
    AddressSpan kept[maxKeptPieces];
    const std::size_t pieces = keepPieces(reader.leftOut, address, end, kept);
    for (std::size_t piece = 0; piece != pieces; ++piece)
        if (givenAny(layout, kept[piece].from, kept[piece].to))
            return rejectAt(reader, Fault::overlap, record.mark);
    if (pieces != 0) {
        const std::uint64_t low = layout.placed ? std::min(layout.low, kept[0].from) : kept[0].from;
        const std::uint64_t high = layout.placed ? std::max(layout.next, kept[pieces - 1].to) : kept[pieces - 1].to;
        if (high - low > spanLimit(reader))
            return rejectAt(reader, reader.part == Part::firstFile ? Fault::firstImageTooLong : Fault::imageTooLong,
                            record.mark, {kept[0].from, layout.low});
    }
    // A whole record's data are read straight into their place.
    const bool whole = pieces == 1 && kept[0].from == address && kept[0].to == end;
    std::uint8_t bytes[255];
    if (const Fault fault = readData(record, whole ? placeBytes(reader, record, address, end) : bytes); fault != Fault::none)
        return rejectAt(reader, fault, record.mark);
    if (whole) {
        noteLaid(reader, address, end);
        return true;
    }
    noteLeftOut(reader.leftOut, address, end, static_cast<std::size_t>(reader.part), placeOf(reader.window, record.mark));
    for (std::size_t piece = 0; piece != pieces; ++piece) {
        std::memcpy(placeBytes(reader, record, kept[piece].from, kept[piece].to), bytes + (kept[piece].from - address),
                    static_cast<std::size_t>(kept[piece].to - kept[piece].from));
        noteLaid(reader, kept[piece].from, kept[piece].to);
    }
    return true;
}

// A 000004 record in the first file: the second file's opening record, as far
// as the reader can tell yet.
bool startProvisionalImage(Reader& reader, const Record& record)
{
    setFirstImageAside(reader.provisional, reader.layout, reader.gapMap, placeOf(reader.window, record.mark));
    reader.firstStart = startOf(reader.provisional.first);
    reader.part = Part::provisional;
    return readUpperAddress(reader, record);
}

// At a type 01 record with a record behind it: a file ends and another starts
// with that record. Behind the first file the second starts, its image from
// 0x8000, its upper address 0; behind the second file a third would start.
bool startNextFile(Reader& reader, const char* behind)
{
    if (reader.part == Part::secondFile)
        return rejectAt(reader, Fault::thirdFile, behind);
    Layout& layout = reader.layout;
    if (reader.map && reader.part == Part::provisional)
        reader.map->firstFileWentOn = true;
    if (reader.part == Part::provisional && reader.provisional.rejoinFault.fault != Fault::none)
        return rejectDeferred(reader, reader.provisional.rejoinFault);
    if (reader.part == Part::provisional) {
        reader.firstStart = rejoinFirstImage(reader.provisional, layout);
        joinLeftOutNotes(reader.leftOut, static_cast<std::size_t>(Part::firstFile), static_cast<std::size_t>(Part::provisional));
    } else {
        settle(layout);
        reader.firstStart = startOf(layout);
    }
    forgetGaps(reader);
    startSecondImage(layout, reader.gapMap);
    reader.upper = 0;
    reader.part = Part::secondFile;
    reader.provisional.pageSplit = {};
    reader.secondFile = placeOf(reader.window, behind);
    return true;
}

// What a 000005 record leaves the reader to do.
enum class Step { readOn, imageEnded, refused };

// The image ends at a 000005 record.
Step endImage(Reader& reader)
{
    if (reader.provisional.pageSplit.fault == Fault::none)
        return Step::imageEnded;
    rejectDeferred(reader, reader.provisional.pageSplit);
    return Step::refused;
}

// Where the text ends before the image does.
bool rejectUnended(Reader& reader)
{
    if (reader.provisional.pageSplit.fault != Fault::none)
        return rejectDeferred(reader, reader.provisional.pageSplit);
    writeFault(reader.message, reader.part == Part::firstFile     ? Fault::noFirstImageEnd
                               : reader.part == Part::provisional ? Fault::noSecondImageEnd
                                                                  : Fault::noSecondFileEnd);
    return false;
}

// Reads the type 01 record whole and finds the record behind it, any text
// between them skipped but a record that lost its mark: `behind` is that
// record, or nullptr where the text ends first.
bool readFileEnd(Reader& reader, const Record& record, const char*& behind)
{
    if (!readRest(reader, record))
        return false;
    std::optional<TextPlace> lostMark;
    behind = findRecord(reader.window, record.end, nullptr, &lostMark);
    return !lostMark || reject(reader, Fault::lostMark, *lostMark);
}

// A 000005 record that ends the image unless records follow it. Behind the
// first file's end the second file goes on past it to its own end where any
// record stands behind it; without that boundary only a type 01 record may
// follow, which ends the image or, with a record behind it, the first file.
// What stands behind the image is not read.
Step readStartMarker(Reader& reader, const Record& record, const char*& scan)
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
    if (reader.map)
        reader.lastRecord = placeOf(reader.window, next);
    const char* behind = nullptr;
    if (!readFileEnd(reader, fileEnd, behind))
        return Step::refused;
    if (!behind)
        return endImage(reader);
    scan = behind;
    return startNextFile(reader, behind) ? Step::readOn : Step::refused;
}

// The general reader's loop: every record read whole, in one order of
// checks, then handed to the rule of its kind (the rules: hexread.hpp). The
// text's first record sets no marker and ends no file; a 000004 record in
// the first file starts the second image provisionally, and where a type 01
// record with a record behind it follows after all, those data rejoin the
// first image.
bool readRecords(Reader& reader, const char* mark)
{
    Window& window = reader.window;
    const char* scan = mark;
    for (bool first = true;; first = false) {
        // The fast path lays no byte of a range left out: it stops in front of the record that reaches one.
        Layout& layout = reader.layout;
        const std::uint64_t runStart = layout.next;
        scan = layRuns(scan, window.end, layout, reader.upper, std::min(layout.limit, leftOutLimit(reader.leftOut, layout)));
        noteLaid(reader, runStart, layout.next);
        std::optional<TextPlace> stray;
        const char* at = findRecord(window, scan, &stray);
        // What stands behind the last record counts before the missing record.
        if (stray)
            return reject(reader, Fault::textOutside, *stray);
        if (!at)
            return rejectUnended(reader);
        if (reader.map)
            reader.lastRecord = placeOf(window, at);
        Record record;
        if (const Fault fault = readHead(at, window.end, record); fault != Fault::none)
            return rejectAt(reader, fault, at);
        scan = record.end;
        bool goesOn = true;
        switch (record.kind) {
        case Kind::data:
            goesOn = layDataRecord(reader, record);
            break;
        case Kind::address:
            goesOn = isMarker(record) && reader.part == Part::firstFile && !first ? startProvisionalImage(reader, record)
                                                                                   : readUpperAddress(reader, record);
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
                const Step step = readStartMarker(reader, record, scan);
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

} // namespace

bool readImages(Reader& reader, const char* mark)
{
    if (!readRecords(reader, mark))
        return false;
    settle(reader.layout);
    return true;
}
