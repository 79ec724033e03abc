#include "hexread.hpp"

#include "twofiles.hpp"

#include <cerrno>

std::uint32_t readImage(std::FILE* in, char* text, std::uint8_t* image, std::uint8_t* gapMap, char* message)
{
    // Nothing read yet: the first search reads.
    Reader reader{.window = {.in = in, .start = text, .end = text, .more = true, .rereadable = std::ftell(in) == 0},
                  .layout = {.image = image, .gaps = gapMap + imageCapacity / 8, .gapMask = segmentTwoOffset - 1},
                  .message = message,
                  .gapMap = gapMap};
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
    const bool read = first && !lostMark && putImages(reader, first);
    forgetGaps(reader);
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
    return reader.layout.length;
}
