#include "reports.hpp"

#include "imageheader.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace {

using Number = unsigned long long;

// A count with its thousands set apart: 49,424.
struct Grouped {
    char text[32];
};
Grouped grouped(std::uint64_t value)
{
    char digits[24];
    const int length = std::snprintf(digits, sizeof digits, "%llu", Number{value});
    Grouped out{};
    char* at = out.text;
    for (int i = 0; i < length; ++i) {
        if (i != 0 && (length - i) % 3 == 0)
            *at++ = ',';
        *at++ = digits[i];
    }
    return out;
}

// A row of the map: the image offsets, the byte count, and for a run of
// data its file and its load addresses, from `first` up to `past`.
void printRow(std::uint64_t offset, std::uint64_t bytes, const char* part, std::uint64_t first = 0, std::uint64_t past = 0)
{
    std::printf("0x%08llX-0x%08llX  %7llu  ", Number{offset}, Number{offset + bytes - 1}, Number{bytes});
    if (past == 0)
        std::printf("%s\n", part);
    else
        std::printf("%-6s  0x%08llX-0x%08llX\n", part, Number{first}, Number{past - 1});
}

// The rows of one image, which starts at image offset `origin`: a row for
// each run its records gave, at its offset and addresses, and one for each
// gap between two runs. Returns the offset its span ends at.
std::uint64_t printImageRows(const MapNotes& notes, std::size_t part, std::uint64_t origin)
{
    if (!notes.any[part])
        return origin;
    const char* const name = part == 0 ? "first" : "second";
    const std::uint64_t low = notes.low[part];
    std::uint64_t first = 0, past = 0;
    for (std::uint64_t address = low; nextGivenRun(notes, part, address, notes.high[part], first, past); address = past) {
        if (first != address)
            printRow(origin + (address - low), first - address, "fill");
        printRow(origin + (first - low), past - first, name, first, past);
    }
    return origin + (notes.high[part] - low);
}

} // namespace

void tellLeftOut(std::span<const LeftOutRange> leftOut)
{
    for (const LeftOutRange& range : leftOut) {
        if (range.bytes == 0) {
            std::fprintf(stderr, "Left out nothing at 0x%08llX-0x%08llX\n", Number{range.first}, Number{range.last});
            continue;
        }
        std::fprintf(stderr, "Left out %llu byte%s at 0x%08llX-0x%08llX (", Number{range.bytes}, range.bytes == 1 ? "" : "s",
                     Number{range.low}, Number{range.high});
        const char* separator = "";
        for (std::size_t file = 0; file != 2; ++file) {
            const std::uint64_t* lines = range.lines[file];
            if (lines[0] == 0)
                continue;
            std::fprintf(stderr, "%s%s file, line%s %llu", separator, file == 0 ? "first" : "second", lines[0] == lines[1] ? "" : "s",
                         Number{lines[0]});
            if (lines[1] != lines[0])
                std::fprintf(stderr, "-%llu", Number{lines[1]});
            separator = "; ";
        }
        std::fprintf(stderr, ")\n");
    }
}

void printMap(const MapNotes& notes, const std::uint8_t* image, std::uint32_t imageLength)
{
    if (notes.lastLine == 0)
        return;
    const std::uint64_t firstEnd = notes.secondLine ? notes.secondLine - 1 : notes.lastLine;
    std::printf("first file: lines 1-%llu\n", Number{firstEnd});
    if (notes.secondLine)
        std::printf("second file: lines %llu-%llu, told apart by %s\n", Number{notes.secondLine}, Number{notes.lastLine},
                    notes.byMarkers ? "the 000004 record it starts with" : "the end-of-file record in front of it");
    const bool whole = imageLength != 0;
    if (!whole && !notes.any[0] && !notes.any[1])
        return;
    std::printf("%-21s  %7s  %-6s  %s\n", "offsets", "bytes", "file", "addresses");
    const std::uint64_t firstEndOffset = printImageRows(notes, 0, 0);
    if (whole || notes.any[1]) {
        if (firstEndOffset != segmentTwoOffset)
            printRow(firstEndOffset, segmentTwoOffset - firstEndOffset, "fill");
        printImageRows(notes, 1, segmentTwoOffset);
    }
    if (whole)
        std::printf("image: %u bytes, checksum 0x%04X; headed image: %llu bytes\n", imageLength, sumImage(image, imageLength),
                    Number{imageLength + headerSize});
}

bool checkHeadedImage(const char* name)
{
    std::FILE* file = std::fopen(name, "rb");
    struct stat status {};
    if (!file || fstat(fileno(file), &status) != 0 || S_ISDIR(status.st_mode)) {
        std::printf("Can not open %s", name);
        return false;
    }
    // The header, then the image's bytes summed a block at a time.
    static std::uint8_t block[64 * 1024];
    std::uint8_t header[headerSize];
    std::uint64_t size = std::fread(header, 1, headerSize, file);
    std::uint32_t sum = 0;
    if (size == headerSize)
        while (const std::size_t got = std::fread(block, 1, sizeof block, file)) {
            sum += sumImage(block, static_cast<std::uint32_t>(got));
            size += got;
        }
    const bool readError = std::ferror(file) != 0;
    const int error = errno;
    std::fclose(file);
    if (readError) {
        std::printf("Can not read %s: %s", name, std::strerror(error));
        return false;
    }
    if (size < headerSize || header[4] != 0x55 || header[5] != 0xAA) {
        std::printf("%s: not a headed image: %s", name,
                    size < headerSize ? "it is shorter than a header's 10 bytes"
                                      : "no signature 0x55 0xAA at offset 4 (a raw image has no header to check)");
        return false;
    }
    const std::uint64_t length = std::uint64_t{header[6]} | std::uint64_t{header[7]} << 8 | std::uint64_t{header[8]} << 16 |
                                 std::uint64_t{header[9]} << 24;
    const unsigned checksum = unsigned{header[2]} | unsigned{header[3]} << 8;
    const unsigned imageSum = sum & 0xFFFF;
    const std::uint64_t imageSize = size - headerSize;
    if (header[0] == 0 && header[1] == 0 && length == imageSize && checksum == imageSum) {
        std::printf("%s: headed image, %s bytes, checksum 0x%04X: right\n", name, grouped(length).text, checksum);
        return true;
    }
    std::printf("%s: headed image, but", name);
    const char* separator = " ";
    if (header[0] != 0 || header[1] != 0) {
        std::printf("%sbytes 0 and 1 are 0x%02X 0x%02X, not zero", separator, header[0], header[1]);
        separator = "; ";
    }
    if (length != imageSize) {
        std::printf("%sthe header gives %s bytes, the file holds %s", separator, grouped(length).text, grouped(imageSize).text);
        separator = "; ";
    }
    if (checksum != imageSum)
        std::printf("%sthe header gives checksum 0x%04X, the image sums to 0x%04X", separator, checksum, imageSum);
    return false;
}
