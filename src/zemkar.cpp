// zemkar: one Intel HEX text holding two program images in, one firmware
// image file out, raw (-r, --raw) or headed (-h, --headed).
#include "files.hpp"
#include "hexread.hpp"
#include "imageheader.hpp"
#include "reports.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <string_view>
#include <sys/types.h>
#ifdef __linux__
#include <sys/mman.h>
#endif

namespace {

// From this size of input on, one 2 MiB page for the image costs less than
// the 4 KiB pages its image would touch: measured, the two cost the same at
// about 0.7 MB of text, an image of some 250 KiB.
constexpr off_t hugePageInput = 700'000;

constexpr const char* usage = "zemkar [-opt] [input_file_name] [output_file_name]";

// What --help prints behind the usage line; the manual page's options are the same.
constexpr const char* help = R"(  -opt              the image to write: -r or --raw, -h or --headed (below)
  input_file_name   an Intel HEX text: two HEX files, a bootloader and an application, joined end to end
  output_file_name  the image file to write, made only once the image is complete; never a HEX file
  -r, --raw         the raw image: the first image, 0xFF up to offset 0x8000, the second; for a programmer
  -h, --headed      the headed image: a 10-byte header (checksum, 0x55 0xAA, length), then the raw image
  --leave-out FIRST-LAST
                    given before -opt, as often as needed (or --leave-out=FIRST-LAST): leave the data at
                    these addresses (0x and hexadecimal, or decimal; LAST included) out of the image, such
                    as an nRF UICR word (0x10001000-0x10001FFF) or PIC18 configuration words
                    (0x300000-0x30000F); a line on standard error tells what each range left out
  --strict          given before -opt: refuse, instead of warn, where the second file's data do not start
                    0x8000 above the first file's (an application linked for another slot, the files
                    joined in the wrong order); the warning goes to standard error, the image is written
  --map input_file_name
                    write no image: show where each file's data go in it (a row for each run of bytes
                    and each fill, by image offset: offsets, bytes, file, load addresses), then the
                    image's length and checksum; a text that is refused shows what was read before
                    its message. --leave-out and --strict may stand in front
  --check image_file_name
                    check a headed image: its header's zero bytes, signature, length and checksum
  --help            print this text
  --version         print the version
The manual page: man zemkar
)";

// The run's buffers, in one block: the window the text is read through at
// its start, then the header's ten bytes and room for the largest image.
// Returns the header's place, or nullptr; `block` gets what is to be freed.
std::uint8_t* allocateBuffers(void*& block)
{
#ifdef __linux__
    // The image has the upper half to itself, aligned for a 2 MiB page (see
    // adviseRunPages); the header sits just in front, at the end of the
    // lower half. Pages are touched only as they are written.
    static_assert(textBufferSize + headerSize <= imageCapacity);
    block = std::aligned_alloc(imageCapacity, 2 * imageCapacity);
    if (!block)
        return nullptr;
    return static_cast<std::uint8_t*>(block) + imageCapacity - headerSize;
#else
    block = std::malloc(textBufferSize + headerSize + imageCapacity);
    return block ? static_cast<std::uint8_t*>(block) + textBufferSize : nullptr;
#endif
}

// How the run's pages are had, each of which costs a fault when first
// touched. A large image gets one 2 MiB page: one fault and 2 MiB zeroed,
// where 4 KiB pages take a fault each; an input of unknown size (a pipe)
// gets it too, the choice that costs least where it is wrong. A small image,
// and the text window always, take small pages, whatever the kernel's
// default; they are asked for in one call each, as far as the input will
// fill them: the window, and the image up to what 16-byte records would make
// of the text (0.36 of it, taken as 0.3; what lies beyond is had page by page).
void adviseRunPages([[maybe_unused]] void* block, [[maybe_unused]] off_t inputSize)
{
#ifdef __linux__
    auto* image = static_cast<std::uint8_t*>(block) + imageCapacity;
    const bool large = inputSize < 0 || inputSize >= hugePageInput;
    madvise(block, imageCapacity, MADV_NOHUGEPAGE);
    madvise(image, imageCapacity, large ? MADV_HUGEPAGE : MADV_NOHUGEPAGE);
#ifdef MADV_POPULATE_WRITE
    if (!large) {
        const auto textSize = static_cast<std::size_t>(inputSize);
        madvise(block, std::min(textSize, textBufferSize), MADV_POPULATE_WRITE);
        constexpr std::size_t headerPage = 4096;
        madvise(image - headerPage, headerPage + segmentTwoOffset + textSize * 3 / 10, MADV_POPULATE_WRITE);
    }
#endif
#endif
}

// Whether the option asks for the raw image. An option of one dash, or none,
// is told by its second character: 'r' (-r, /r) is raw, any other headed.
// One of two dashes is read whole.
bool asksForRaw(const char* option)
{
    if (std::strncmp(option, "--", 2) != 0)
        return option[0] != '\0' && option[1] == 'r';
    if (std::strcmp(option, "--raw") == 0)
        return true;
    if (std::strcmp(option, "--headed") == 0)
        return false;
    fail("Unknown option %s: give -r or --raw for the raw image, -h or --headed for the headed one", option);
}

// A load address: hexadecimal behind 0x, or decimal, up to 0xFFFFFFFF.
bool readAddress(std::string_view text, std::uint64_t& address)
{
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    const char* const end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, address, base);
    return !text.empty() && error == std::errc() && stop == end && address <= 0xFFFFFFFF;
}

// A range for --leave-out, FIRST-LAST, LAST included: refused, before
// anything is read, where it is none.
LeftOutRange readRange(const char* text)
{
    const char* const dash = std::strchr(text, '-');
    LeftOutRange read{.first = 0, .last = 0};
    if (!dash || !readAddress({text, dash}, read.first) || !readAddress(dash + 1, read.last) || read.last < read.first)
        fail("Bad range for --leave-out: %s (give FIRST-LAST, e.g. 0x10001000-0x10001FFF)", text);
    return read;
}

// Words that go in front of the option.
bool isFrontWord(std::string_view word)
{
    return word == "--strict" || word == "--leave-out" || word.starts_with("--leave-out=");
}

} // namespace

int main(int argc, char** argv)
{
    // What these print counts only once it has reached standard output.
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::printf("%s\n%s", usage, help);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("zemkar %s\n", ZEMKAR_VERSION);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    if (argc == 3 && std::strcmp(argv[1], "--check") == 0)
        return checkHeadedImage(argv[2]) && std::fflush(stdout) == 0 ? 0 : 1;
    // Words in front of the option, or of --map INPUT: --strict, --leave-out
    // RANGE, --leave-out=RANGE. There are fewer ranges than words.
    const bool mapAsked = argc >= 3 && std::strcmp(argv[argc - 2], "--map") == 0;
    int option = 1;
    bool strict = false;
    auto* const ranges = static_cast<LeftOutRange*>(std::malloc(sizeof(LeftOutRange) * static_cast<unsigned>(argc)));
    std::size_t rangeCount = 0;
    // Kept where there is room for it; where there is none, the run ends below, the words read.
    const auto keep = [&](const LeftOutRange& range) {
        if (ranges)
            new (ranges + rangeCount++) LeftOutRange(range);
    };
    while (argc - option > (mapAsked ? 2 : 3)) {
        const std::string_view word = argv[option];
        if (word == "--strict") {
            strict = true;
            ++option;
        } else if (word == "--leave-out") {
            keep(readRange(argv[option + 1]));
            option += 2;
        } else if (word.starts_with("--leave-out=")) {
            keep(readRange(argv[option] + std::strlen("--leave-out=")));
            ++option;
        } else {
            break;
        }
    }
    const bool map = mapAsked && argc - option == 2;
    if (!map && (argc - option != 3 || isFrontWord(argv[option])))
        fail("%s", usage);
    const std::span<LeftOutRange> leftOut(ranges, rangeCount);
    const bool raw = !map && asksForRaw(argv[option]);
    const char* inputName = argv[option + 1];
    const char* outputName = map ? nullptr : argv[option + 2];

    void* block = nullptr;
    std::uint8_t* buffer = allocateBuffers(block);
    // Zeroed pages that cost nothing until an image with gaps touches them.
    auto* gapMap = static_cast<std::uint8_t*>(std::calloc(gapMapSize, 1));
    MapNotes notes{};
    auto* const given = static_cast<std::uint8_t*>(map ? std::calloc(mapParts, givenMapSize) : nullptr);
    for (std::size_t part = 0; given && part != mapParts; ++part)
        notes.given[part] = given + part * givenMapSize;
    if (!buffer || !gapMap || !ranges || (map && !given))
        fail("Out of memory");

    off_t inputSize = 0;
    std::FILE* in = openInput(inputName, inputSize);
    if (!map) {
        refuseInputAsOutput(in, outputName);
        refuseHexOutput(outputName);
    }
    adviseRunPages(block, inputSize);
    char fault[faultMessageSize];
    ImageStarts starts;
    const std::uint32_t imageLength =
        readImage(in, static_cast<char*>(block), buffer + headerSize, gapMap, fault, starts, leftOut, map ? &notes : nullptr);
    // A map shows what was read, up to a record refused.
    if (map)
        printMap(notes, buffer + headerSize, imageLength);
    if (imageLength == 0 && fault[0] == '\0')
        fail("Can not read %s: %s", inputName, std::strerror(errno));
    if (imageLength == 0)
        fail("%s", fault);
    std::fclose(in);
    tellLeftOut(leftOut);
    // The image is right by the files' rules either way; where it would not
    // run, the user is told, or with --strict it is not written.
    if (describeOtherSlot(starts, fault)) {
        if (strict)
            fail("%s", fault);
        std::fprintf(map ? stdout : stderr, "Warning: %s\n", fault);
    }
    if (!map) {
        buildHeader(buffer, imageLength);
        if (raw)
            writeImage(outputName, buffer + headerSize, imageLength);
        else
            writeImage(outputName, buffer, headerSize + imageLength);
    }

    std::free(given);
    std::free(gapMap);
    std::free(block);
    std::free(ranges);
    // The map counts only once it has reached standard output.
    return map && std::fflush(stdout) != 0 ? 1 : 0;
}
