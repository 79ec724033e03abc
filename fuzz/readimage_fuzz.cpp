// Coverage-guided fuzzing of the conversion (libFuzzer): any bytes in, a
// rejection or an image out, and on every input the reader must agree with a
// second reader written the plainest way (the whole text in memory, one
// character at a time, no window, no fast path) and keep a few properties.
#include "hexread.hpp"
#include "imageheader.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
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

Outcome referenceRead(std::string_view text)
{
    const auto fault = [&](const char* what, std::size_t record) {
        char message[faultMessageSize];
        const auto line = 1 + static_cast<std::size_t>(std::count(text.begin(), text.begin() + record, '\n'));
        std::snprintf(message, sizeof message, "%s at line %zu", what, line);
        return Outcome{{}, message};
    };
    std::size_t mark = text.find(':');
    if (mark == text.npos)
        return {{}, "No record in the input"};
    std::size_t scan = text.size() - mark >= 9 && text.substr(mark + 7, 2) == "00" ? mark : mark + 1;
    std::vector<std::uint8_t> image;
    for (const bool inFirstImage : {true, false}) {
        for (;;) {
            mark = text.find(':', scan);
            if (mark == text.npos)
                return {{}, inFirstImage ? "No 000004 record to end the first image" : "No 000005 record to end the second image"};
            if (text.size() - mark < 9)
                return fault("Record cut short", mark);
            if (text.substr(mark + 3, 6) == (inFirstImage ? "000004" : "000005"))
                break;
            if (text.substr(mark + 7, 2) != "00") {
                scan = mark + 7;
                continue;
            }
            const int high = hexValue(text[mark + 1]), low = hexValue(text[mark + 2]);
            if (high < 0 || low < 0)
                return fault("Bad hex digit", mark);
            const auto count = static_cast<std::size_t>(high * 16 + low);
            if (text.size() - mark - 9 < 2 * count)
                return fault("Record cut short", mark);
            if (image.size() + count > (inFirstImage ? 0x8000u : 0x200000u))
                return fault(inFirstImage ? "First image exceeds 0x8000 bytes" : "Image exceeds 0x200000 bytes", mark);
            for (std::size_t i = 0; i < count; ++i) {
                const int h = hexValue(text[mark + 9 + 2 * i]), l = hexValue(text[mark + 10 + 2 * i]);
                if (h < 0 || l < 0)
                    return fault("Bad hex digit", mark);
                image.push_back(static_cast<std::uint8_t>(h * 16 + l));
            }
            scan = mark + 9 + 2 * count;
        }
        if (inFirstImage) {
            image.resize(0x8000, 0xFF);
            scan = mark + 3;
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
    return {std::vector<std::uint8_t>(buffer.begin() + headerSize, buffer.begin() + headerSize + length),
            length ? "" : message};
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
