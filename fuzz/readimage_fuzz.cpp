// Coverage-guided fuzzing of the conversion (libFuzzer): any bytes in, a
// rejection or an image out, and on every input the reader must agree with a
// second reader written the plainest way (the whole text in memory, one
// record at a time, no window, no fast path) and keep a few properties.
#include "hexread.hpp"
#include "imageheader.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct Outcome {
    std::vector<std::uint8_t> image; // empty when rejected
    std::string message;
    std::size_t endMark = 0; // where the record that ends the image stands
    bool operator==(const Outcome& other) const { return image == other.image && message == other.message; }
};

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The number the hex digits at `at` spell, or -1 where one is no digit.
long long hexNumber(std::string_view text, std::size_t at, std::size_t digits)
{
    long long value = 0;
    for (std::size_t i = 0; i < digits; ++i) {
        const int digit = hexValue(text[at + i]);
        if (digit < 0)
            return -1;
        value = value * 16 + digit;
    }
    return value;
}

Outcome referenceRead(std::string_view text)
{
    const auto fault = [&](const char* what, std::size_t record) {
        char message[faultMessageSize];
        const auto line = 1 + static_cast<std::size_t>(std::count(text.begin(), text.begin() + record, '\n'));
        std::snprintf(message, sizeof message, "%s at line %zu", what, line);
        return Outcome{{}, message};
    };
    const auto typeAt = [&](std::size_t record) { return text.size() - record >= 9 ? text.substr(record + 7, 2) : ""; };
    // Type 02 and 04 records set the upper address that data records' addresses add to.
    std::uint64_t upper = 0;
    const auto readUpper = [&](std::size_t record) -> std::optional<Outcome> {
        const long long count = hexNumber(text, record + 1, 2);
        if (count < 0)
            return fault("Bad hex digit", record);
        if (count != 2)
            return fault("Extended address record without 2 data bytes", record);
        if (text.size() - record - 9 < 4)
            return fault("Record cut short", record);
        const long long value = hexNumber(text, record + 9, 4);
        if (value < 0)
            return fault("Bad hex digit", record);
        upper = static_cast<std::uint64_t>(value) << (typeAt(record) == "04" ? 16 : 4);
        return std::nullopt;
    };

    std::size_t mark = text.find(':');
    if (mark == text.npos)
        return {{}, "No record in the input"};
    std::size_t scan = typeAt(mark) == "00" ? mark : mark + 1;
    if (typeAt(mark) == "02" || typeAt(mark) == "04") {
        if (auto failed = readUpper(mark))
            return *failed;
        scan = mark + 13;
    }
    std::vector<std::uint8_t> image;
    constexpr std::uint64_t none = ~std::uint64_t{0};
    std::uint64_t firstImageEnd = none;
    std::size_t firstImageMarker = 0;
    for (const bool inFirstImage : {true, false}) {
        const std::uint64_t limit = inFirstImage ? 0x8000 : 0x200000;
        bool placed = false;
        std::uint64_t next = 0; // the address of the byte that would come next
        for (;;) {
            mark = text.find(':', scan);
            if (mark == text.npos)
                return {{}, inFirstImage ? "No 000004 record to end the first image: give two HEX files joined end to end" : "No 000005 record to end the second image"};
            if (text.size() - mark < 9)
                return fault("Record cut short", mark);
            if (text.substr(mark + 3, 6) == (inFirstImage ? "000004" : "000005"))
                break;
            if (typeAt(mark) == "02" || typeAt(mark) == "04") {
                if (auto failed = readUpper(mark))
                    return *failed;
                scan = mark + 13;
                continue;
            }
            if (typeAt(mark) != "00") {
                scan = mark + 7;
                continue;
            }
            const long long count = hexNumber(text, mark + 1, 2);
            if (count < 0)
                return fault("Bad hex digit", mark);
            const auto size = static_cast<std::size_t>(count);
            if (text.size() - mark - 9 < 2 * size)
                return fault("Record cut short", mark);
            scan = mark + 9 + 2 * size;
            if (size == 0)
                continue;
            const long long offset = hexNumber(text, mark + 3, 4);
            if (offset < 0)
                return fault("Bad hex digit", mark);
            const std::uint64_t address = upper + static_cast<std::uint64_t>(offset);
            if (!placed) {
                if (address == firstImageEnd)
                    return fault("First image goes on behind the 000004 record", firstImageMarker);
                placed = true;
                next = address;
            }
            if (address < next)
                return fault("Record out of order or overlapping", mark);
            if (image.size() + (address - next) + size > limit)
                return fault(inFirstImage ? "First image exceeds 0x8000 bytes" : "Image exceeds 0x200000 bytes", mark);
            image.resize(image.size() + static_cast<std::size_t>(address - next), 0xFF); // within the limit
            for (std::size_t i = 0; i < size; ++i) {
                const long long byte = hexNumber(text, mark + 9 + 2 * i, 2);
                if (byte < 0)
                    return fault("Bad hex digit", mark);
                image.push_back(static_cast<std::uint8_t>(byte));
            }
            next = address + size;
        }
        if (inFirstImage) {
            if (placed && image.size() < 0x8000) {
                firstImageEnd = next;
                firstImageMarker = mark;
            }
            image.resize(0x8000, 0xFF);
            // The marker is the second file's opening address record.
            if (auto failed = readUpper(mark))
                return *failed;
            scan = mark + 13;
        }
    }
    return {image, "", mark};
}

Outcome zemkarRead(std::string_view text, std::vector<std::uint8_t>& buffer)
{
    char message[faultMessageSize] = "";
    std::FILE* in = fmemopen(const_cast<char*>(text.data()), text.size(), "rb");
    if (!in)
        std::abort();
    static std::vector<char> window(textBufferSize);
    const std::uint32_t length = readImage(in, window.data(), buffer.data() + headerSize, message);
    std::fclose(in);
    const std::uint8_t* image = buffer.data() + headerSize;
    return {std::vector<std::uint8_t>(image, image + length), length ? "" : message};
}

void require(bool holds, const char* what)
{
    if (!holds) {
        std::fprintf(stderr, "property broken: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static std::vector<std::uint8_t> buffer(headerSize + imageCapacity);
    const std::string text(reinterpret_cast<const char*>(data), size);
    const Outcome expected = referenceRead(text);
    const Outcome actual = zemkarRead(text, buffer);
    require(actual == expected, "agrees with the plain reader");
    require(actual.image.empty() != actual.message.empty(), "either an image or a message");

    std::string swapped = text;
    for (char& c : swapped)
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
            c ^= 0x20;
    require(zemkarRead(swapped, buffer) == actual, "the case of letters changes nothing");

    // A line feed within a record's head would move its type along; anywhere
    // else a carriage return before it changes nothing.
    bool lineFeedInHead = false;
    for (std::size_t at = text.find(':'); at != text.npos; at = text.find(':', at + 1))
        lineFeedInHead |= text.substr(at, 9).find('\n') != text.npos;
    if (!lineFeedInHead) {
        std::string crlf;
        for (char c : text)
            crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
        require(zemkarRead(crlf, buffer).image == actual.image, "CR before LF changes no image");
    }

    if (actual.image.empty())
        return 0;
    require(actual.image.size() >= 0x8000 && actual.image.size() <= 0x200000, "image length in bounds");
    buildHeader(buffer.data(), static_cast<std::uint32_t>(actual.image.size()));
    unsigned sum = 0;
    for (auto byte : actual.image)
        sum += byte;
    const std::size_t length = actual.image.size();
    const std::uint8_t header[headerSize] = {0, 0, std::uint8_t(sum), std::uint8_t(sum >> 8), 0x55, 0xAA,
                                             std::uint8_t(length), std::uint8_t(length >> 8),
                                             std::uint8_t(length >> 16), std::uint8_t(length >> 24)};
    require(std::equal(header, header + headerSize, buffer.begin()), "headed form is header then raw form");
    for (std::size_t cut : {std::size_t{0}, expected.endMark / 2, expected.endMark, expected.endMark + 8})
        require(zemkarRead(std::string_view(text).substr(0, cut), buffer).image.empty(),
                "cut before its end marker, the text is rejected");
    return 0;
}
