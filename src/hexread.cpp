#include "hexread.hpp"

#include "twofiles.hpp"

#include <cerrno>

namespace {

// The lines of the records bytes were left out of, in each file, counted
// from its first record's line: where no type 01 record divides the files,
// the second starts with the 000004 record that began its image.
void countLeftOutLines(Reader& reader)
{
    const bool divided = reader.part == Part::secondFile;
    const auto parts = {Part::firstFile, divided ? Part::secondFile : Part::provisional};
    for (LeftOutRange& range : reader.leftOut)
        for (std::size_t file = 0; const Part part : parts) {
            const auto notes = static_cast<std::size_t>(part);
            if (range.from[notes]) {
                const std::uint64_t base = file == 0 ? 0 : lineEndsBefore(reader.window, divided ? reader.secondFile : reader.provisional.marker);
                range.lines[file][0] = 1 + lineEndsBefore(reader.window, *range.from[notes]) - base;
                range.lines[file][1] = 1 + lineEndsBefore(reader.window, *range.to[notes]) - base;
            }
            ++file;
        }
}

// Where the files stand, for the map: the second image's first record, and
// the last record read.
void finishMap(Reader& reader)
{
    MapNotes& map = *reader.map;
    // A provisional image the first file went on behind was no second image.
    map.byMarkers = reader.part == Part::provisional && !map.firstFileWentOn;
    if (reader.part == Part::secondFile || map.byMarkers)
        map.secondLine = 1 + lineEndsBefore(reader.window, map.byMarkers ? reader.provisional.marker : reader.secondFile);
    map.lastLine = 1 + lineEndsBefore(reader.window, reader.lastRecord);
    finishMapNotes(map);
}

} // namespace

std::uint32_t readImage(std::FILE* in, char* text, std::uint8_t* image, std::uint8_t* gapMap, char* message,
                        ImageStarts& starts, std::span<LeftOutRange> leftOut, MapNotes* map)
{
    // Nothing read yet: the first search reads.
    Reader reader{.window = {.in = in, .start = text, .end = text, .more = true, .rereadable = std::ftell(in) == 0},
                  .layout = {.image = image, .gaps = gapMap + imageCapacity / 8, .gapMask = segmentTwoOffset - 1},
                  .message = message,
                  .gapMap = gapMap,
                  .leftOut = leftOut,
                  .map = map};
    Window& window = reader.window;
    // Any text stands before the first record; where there is no record at
    // all, lines of S-records tell what the input is.
    bool sRecords = false;
    std::optional<TextPlace> lostMark;
    const char* first = findRecord(window, text, nullptr, &lostMark, &sRecords);
    if (!first)
        writeFault(message, Fault::noRecord);
    else if (lostMark)
        writeFault(message, Fault::lostMark, 1 + lineEndsBefore(window, *lostMark));
    // The image ends only where no record stands behind it, so the text is
    // read to its end: a writer at the other end of a pipe is not cut off.
    const bool read = first && !lostMark && readImages(reader, first);
    forgetGaps(reader);
    if (read)
        countLeftOutLines(reader);
    if (map && first && !lostMark)
        finishMap(reader);
    if (window.readError) {
        errno = window.readError;
        message[0] = '\0';
        return 0;
    }
    if (!read) {
        if (const Fault named = nameInput(window, !first && sRecords); named != Fault::none)
            writeFault(message, named);
        return 0;
    }
    starts = {.first = reader.firstStart, .second = startOf(reader.layout)};
    return reader.layout.length;
}

bool describeOtherSlot(const ImageStarts& starts, char* message)
{
    if (!starts.first || !starts.second || *starts.second == *starts.first + segmentTwoOffset)
        return false;
    std::snprintf(message, faultMessageSize,
                  "the second file's data start at 0x%08llX, but the image puts them at 0x%08llX (0x%X above the first "
                  "file's 0x%08llX): an application linked for another slot, or the files joined in the wrong order?",
                  static_cast<unsigned long long>(*starts.second), static_cast<unsigned long long>(*starts.first + segmentTwoOffset),
                  segmentTwoOffset, static_cast<unsigned long long>(*starts.first));
    return true;
}
