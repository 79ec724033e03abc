#include "window.hpp"

#include "hexkernels.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// Reads up to size characters of the input into dest.
std::size_t readText(Window& window, char* dest, std::size_t size)
{
    const std::size_t got = std::fread(dest, 1, size, window.in);
    if (got < size && std::ferror(window.in) && !window.readError)
        window.readError = errno;
    return got;
}

// Moves the text from keep on to the buffer's start and reads behind it;
// returns how far the kept text moved.
std::ptrdiff_t refill(Window& window, const char* keep)
{
    if (!window.rereadable)
        window.linesPassed += countLineEnds(window.start, keep);
    const std::ptrdiff_t moved = keep - window.start;
    window.passed += static_cast<std::uint64_t>(moved);
    // Reads of one size, a multiple of any block size, go straight from the
    // file to the buffer; what is kept is less than a record.
    const auto kept = static_cast<std::size_t>(window.end - keep);
    std::memmove(window.start, keep, kept);
    const std::size_t got = readText(window, window.start + kept, windowSize);
    if (window.passed == 0 && kept == 0) {
        window.openingLength = std::min(got, sizeof window.opening);
        std::memcpy(window.opening, window.start, window.openingLength);
    }
    window.more = got == windowSize;
    window.end = window.start + kept + got;
    return moved;
}

// Whether a line of the text in [from, end) starts with S0 to S9, as an
// S-record does; from is a line's start where it is the text's.
bool holdsSRecordLine(const Window& window, const char* from)
{
    const auto isSRecord = [&](const char* line) {
        return window.end - line >= 2 && line[0] == 'S' && line[1] >= '0' && line[1] <= '9';
    };
    if (window.passed == 0 && from == window.start && isSRecord(from))
        return true;
    for (const char* feed = from; (feed = static_cast<const char*>(std::memchr(feed, '\n', static_cast<std::size_t>(window.end - feed))));)
        if (isSRecord(++feed))
            return true;
    return false;
}

} // namespace

namespace {

// A line of skipped text, read a piece at a time: a line may cross reads.
// Only its closing run of hex digits counts, and of that only as much as a
// record without its mark may be long.
struct SkippedLine {
    const char* start;             // in the buffer, or nullptr where it has left it
    std::optional<TextPlace> left; // where it starts, once it has left the buffer
    std::size_t runLength;         // of its closing run of hex digits so far; past `run`'s room, no record
    bool blanksBehind;             // whether blanks stand behind that run
    char run[longestRecord];
};

void startLine(SkippedLine& line, const char* start)
{
    line.start = start;
    line.left.reset();
    line.runLength = 0;
    line.blanksBehind = false;
}

bool isHexDigit(char c)
{
    return (lowDigit[static_cast<unsigned char>(c)] & invalidDigit) == 0;
}

// Adds [from, to), a piece of the line that opens with no blank and holds no line feed.
void readOn(SkippedLine& line, const char* from, const char* to)
{
    const char* runEnd = to;
    while (isBlank(runEnd[-1]))
        --runEnd;
    const char* runStart = runEnd;
    while (runStart != from && isHexDigit(runStart[-1]))
        --runStart;
    // A run that reaches the piece's start goes on from the last piece's, where no blank stands between.
    const std::size_t kept = runStart == from && !line.blanksBehind ? line.runLength : 0;
    const auto added = static_cast<std::size_t>(runEnd - runStart);
    if (kept + added <= sizeof line.run)
        std::memcpy(line.run + kept, runStart, added);
    line.runLength = kept + added;
    line.blanksBehind = runEnd != to;
}

bool closesWithRecord(const SkippedLine& line)
{
    return line.runLength <= sizeof line.run && isRecordWithoutMark(line.run, line.runLength);
}

// Reads the skipped text [from, to) line by line; true where a line that
// ends in it is a record without its mark (`line` is then that line).
bool readSkippedLines(SkippedLine& line, const char* from, const char* to)
{
    while (from != to) {
        // Blank lines are passed over as a whole: a text may hold billions.
        const char* text = skipBlanks(from, to);
        if (std::memchr(from, '\n', static_cast<std::size_t>(text - from))) {
            if (closesWithRecord(line))
                return true;
            const char* lastFeed = text;
            while (*--lastFeed != '\n') {
            }
            startLine(line, lastFeed + 1);
        } else if (text != from) {
            line.blanksBehind = true;
        }
        if (text == to)
            return false;
        const auto* feed = static_cast<const char*>(std::memchr(text, '\n', static_cast<std::size_t>(to - text)));
        from = feed ? feed : to;
        readOn(line, text, from);
    }
    return false;
}

} // namespace

const char* findRecord(Window& window, const char* scan, std::optional<TextPlace>* stray,
                       std::optional<TextPlace>* lostMark, bool* sRecords)
{
    SkippedLine line;
    startLine(line, scan);
    const auto foundLostMark = [&] { *lostMark = line.start ? placeOf(window, line.start) : line.left; };
    // The skipped text from here on is still to be read for lines.
    const char* unread = scan;
    for (;;) {
        if (stray && !*stray) {
            scan = skipBlanks(scan, window.end);
            if (scan != window.end && *scan != ':')
                *stray = placeOf(window, scan);
        }
        const char* count = locLine(scan, window.end);
        if (lostMark && !*lostMark) {
            const char* skippedEnd = count ? count - 1 : window.end;
            // The text's last line, and the piece of a line in front of a mark, end there too.
            if (readSkippedLines(line, unread, skippedEnd) || ((count || !window.more) && closesWithRecord(line)))
                foundLostMark();
            unread = skippedEnd;
        }
        if (count) {
            const char* record = count - 1;
            if (window.end - record < std::ptrdiff_t{longestRecord} && window.more)
                record -= refill(window, record);
            return record;
        }
        if (sRecords && !*sRecords)
            *sRecords = holdsSRecordLine(window, scan);
        if (!window.more)
            return nullptr;
        if (lostMark && line.start)
            line.left = placeOf(window, line.start);
        line.start = nullptr;
        // Where lines are looked at, the last two characters stay, so that a
        // line feed near the end of one read is seen with what stands behind it.
        unread -= refill(window, sRecords ? window.end - std::min<std::ptrdiff_t>(2, window.end - window.start) : window.end);
        scan = window.start;
    }
}

TextPlace placeOf(const Window& window, const char* at)
{
    return {window.passed + static_cast<std::uint64_t>(at - window.start),
            window.rereadable ? 0 : window.linesPassed + countLineEnds(window.start, at)};
}

std::uint64_t lineEndsBefore(Window& window, const TextPlace& place)
{
    if (!window.rereadable)
        return place.lineEnds;
    TextPlace counted{0, 0};
    if (window.counted && window.counted->offset <= place.offset) {
        counted = *window.counted;
    } else if (std::fseek(window.in, 0, SEEK_SET) != 0) {
        window.readError = window.readError ? window.readError : errno;
        return 0;
    }
    window.counted.reset();
    std::uint64_t lines = counted.lineEnds;
    for (std::uint64_t start = counted.offset; start < place.offset; start += windowSize) {
        const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(place.offset - start, windowSize));
        const std::size_t got = readText(window, window.start, size);
        lines += countLineEnds(window.start, window.start + got);
        if (got < size)
            return lines;
    }
    window.counted = TextPlace{place.offset, lines};
    return lines;
}

Fault nameInput(const Window& window, bool sRecords)
{
    const auto opens = [&](const char* magic, std::size_t length) {
        return window.openingLength >= length && std::memcmp(window.opening, magic, length) == 0;
    };
    if (opens("\xFF\xFE", 2) || opens("\xFE\xFF", 2))
        return Fault::utf16;
    if (opens("\x7F" "ELF", 4))
        return Fault::elf;
    if (opens("UF2\n", 4))
        return Fault::uf2;
    return sRecords ? Fault::sRecords : Fault::none;
}
