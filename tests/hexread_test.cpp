#include "hexread.hpp"
#include "hextext.hpp"
#include "imageheader.hpp"

#include <gtest/gtest.h>

namespace {

// The image of an accepted text, or the message of a rejected one.
std::pair<Bytes, std::string> assemble(const std::string& text)
{
    Bytes image(imageCapacity, 0xA5);
    std::string window(textBufferSize, '\0');
    char message[faultMessageSize] = "";
    std::FILE* in = fmemopen(const_cast<char*>(text.data()), text.size(), "rb");
    const auto length = readImage(in, window.data(), image.data(), message);
    std::fclose(in);
    image.resize(length);
    return {image, message};
}

std::string replaced(std::string text, const std::string& from, const std::string& to)
{
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// The text with an insertion after the line that ends nearest its middle,
// amid records that are read fastest.
std::string amid(const std::string& text, const std::string& insertion)
{
    const auto middle = text.find('\n', text.size() / 2) + 1;
    return text.substr(0, middle) + insertion + text.substr(middle);
}

std::string lowered(std::string text)
{
    for (auto& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

const Bytes first = pattern(20 * 1024, 1), second = pattern(70 * 1024, 2); // second crosses 64 KiB
const std::string joined = twoImages(first, second);
const std::string opening = hexRecord(4, 0, {0x08, 0x00}), closing = hexRecord(5, 0, {8, 0, 0, 0});

// Data records of 16 bytes each, without any other record.
std::string dataRecords(const Bytes& data)
{
    std::string text;
    for (std::size_t offset = 0; offset < data.size(); offset += 16)
        text += hexRecord(0, static_cast<unsigned>(offset), Bytes(data.begin() + offset, data.begin() + offset + 16));
    return text;
}

// The bytes less the 16 from offset on.
Bytes without(Bytes bytes, std::size_t offset)
{
    bytes.erase(bytes.begin() + offset, bytes.begin() + offset + 16);
    return bytes;
}

TEST(ReadImage, AcceptedTextsGiveTheirImages)
{
    const struct { const char* what; std::string text; Bytes image; } cases[] = {
        {"two joined files", joined, expectedImage(first, second)},
        {"32 bytes a record", twoImages(first, second, 32), expectedImage(first, second)},
        {"240 bytes a record", twoImages(first, second, 240), expectedImage(first, second)},
        {"segment 1 empty", twoImages({}, second), expectedImage({}, second)},
        {"segment 2 empty", twoImages(first, {}), expectedImage(first, {})},
        {"both empty", twoImages({}, {}), Bytes(0x8000, 0xFF)},
        {"segment 1 fills 0x8000", twoImages(pattern(0x8000), second), expectedImage(pattern(0x8000), second)},
        {"image of 0x200000", twoImages(first, pattern(0x1F8000)), expectedImage(first, pattern(0x1F8000))},
        {"lower-case digits", lowered(joined), expectedImage(first, second)},
        {"LF line ends", replaced(joined, "\r\n", "\n"), expectedImage(first, second)},
        {"no line ends", replaced(joined, "\r\n", ""), expectedImage(first, second)},
        {"a long gap amid the records", amid(joined, std::string(40, ' ') + "\r\n"), expectedImage(first, second)},
        {"records of changing length and gap", hexFile(first) + hexRecord(0, 0, pattern(32, 7)).substr(0, 73) +
             hexRecord(0, 0, pattern(16, 8)).substr(0, 43) + std::string(16, ' ') + "\r\n" + hexFile(second, 0x08008000),
         [] { Bytes head = first; for (auto part : {pattern(32, 7), pattern(16, 8)}) head.insert(head.end(), part.begin(), part.end());
              return expectedImage(head, second); }()},
        {"markers as long as the data records", opening + dataRecords(first) + hexRecord(4, 0, Bytes(16)) +
             dataRecords(second) + hexRecord(5, 0, Bytes(16)),
         expectedImage(first, second)},
        // The stray mark's record, ":\n:10097000...", is no data record; the
        // search goes on 7 characters behind it, past the record it stands in front of.
        {"a record mark in front of a record amid the bulk",
         opening + replaced(dataRecords(first), "\r\n:10097000", ":\n:10097000") + opening + closing,
         expectedImage(without(first, 0x970), {})},
        {"text before the first record", "\xEF\xBB\xBF\r\n \x1A\r\n" + joined, expectedImage(first, second)},
        {"text after the end marker", joined + std::string(300000, 'x') + ":zz :", expectedImage(first, second)},
        {"300 KB before the first record", std::string(300000, ' ') + joined, expectedImage(first, second)},
        {"first record is data", hexRecord(0, 0, {1, 2, 3}) + hexRecord(0, 3, {4}) + hexFile(second),
         expectedImage({1, 2, 3, 4}, second)},
        {"addresses and checksums ignored",
         opening + hexRecord(0, 0x2000, {1, 2}) + hexRecord(0, 0, {3}) + ":0100000004FF\r\n" + opening +
             hexRecord(0, 0x10, {4}) + closing,
         expectedImage({1, 2, 3, 0x04}, {4})},
        {"other records skipped",
         opening + hexRecord(0, 0, {1}) + hexRecord(1, 0, {}) + hexRecord(2, 0, {0x10, 0}) +
             hexRecord(3, 0, {0, 0, 0, 0}) + hexRecord(4, 0x10, {0, 0}) + closing + hexRecord(0, 1, {}) + ":0000:01000004\r\n" +
             hexRecord(0, 1, {2}) + opening + hexRecord(0, 0, {3}) + hexRecord(4, 0, {8, 1}) +
             hexRecord(1, 0, {}) + hexRecord(0, 1, {4}) + closing + hexRecord(0, 2, {5}),
         expectedImage({1, 2}, {3, 4})},
    };
    for (const auto& c : cases) {
        const auto [image, message] = assemble(c.text);
        EXPECT_EQ(message, "") << c.what;
        EXPECT_TRUE(image == c.image) << c.what << ": " << image.size() << " bytes";
    }
}

// The text is read in pieces: a record cut by a piece's end, at any of its
// characters, reads as if it were whole.
TEST(ReadImage, RecordsAcrossReadsAreWhole)
{
    for (std::size_t shift = 0; shift < 46; ++shift) {
        const auto [image, message] = assemble(std::string(shift, '\n') + joined);
        EXPECT_EQ(message, "") << shift;
        EXPECT_TRUE(image == expectedImage(first, second)) << shift;
    }
}

// A faulty record on line 3001, amid 3000 good records.
std::string faultAt(const std::string& record)
{
    const std::string good = amid(replaced(hexFile(pattern(3000 * 16)), "\r\n", "\n"), record + "\n");
    const auto line = std::count(good.begin(), good.begin() + good.find(record), '\n');
    return std::string(3000 - line, '\n') + good;
}

TEST(ReadImage, RejectedTextsSayWhy)
{
    const struct { const char* what; std::string text; const char* message; } cases[] = {
        {"empty", "", "No record in the input"},
        {"no record mark", "020000040800F2\r\n", "No record in the input"},
        {"only the opening record", opening, "No 000004 record to end the first image"},
        {"only a short record", ":0", "No 000004 record to end the first image"},
        {"one file alone", hexFile(first), "No 000004 record to end the first image"},
        {"second image unended", opening + opening + hexRecord(0, 0, {1}) + hexRecord(1, 0, {}),
         "No 000005 record to end the second image"},
        {"record head cut short", opening + ":1000", "Record cut short at line 2"},
        {"data cut short", opening + opening + ":10000000" + "0102", "Record cut short at line 3"},
        {"count 0xFF ending in the data", opening + "\n:FF000000" + std::string(100, '0'),
         "Record cut short at line 3"},
        {"file of record marks", "::::::::::", "Record cut short at line 1"},
        {"bad digit in the data", opening + ":0200000001G2FB\r\n", "Bad hex digit at line 2"},
        {"bad digit in the count", opening + ":0G00000001\r\n", "Bad hex digit at line 2"},
        {"record mark in the data", opening + ":020000000:02\r\n", "Bad hex digit at line 2"},
        {"segment 1 over 0x8000", twoImages(pattern(0x8001), {}), "First image exceeds 0x8000 bytes at line 2050"},
        {"full record over 0x8000", twoImages(pattern(0x8010), {}) + std::string(600, ' '), "First image exceeds 0x8000 bytes at line 2050"},
        {"image over 0x200000", twoImages({}, pattern(0x1F8001)), "Image exceeds 0x200000 bytes at line 129061"},
        {"full record over 0x200000", twoImages({}, pattern(0x1F8010)) + std::string(600, ' '), "Image exceeds 0x200000 bytes at line 129061"},
        {"bad count amid the data", faultAt(":G0000000" + std::string(514, '0')), "Bad hex digit at line 3001"},
        {"bad digit amid the data", faultAt(":10000000" + std::string(31, '0') + "g00"), "Bad hex digit at line 3001"},
        {"record mark amid the data", faultAt(":10000000" + std::string(16, '0') + ":" + std::string(17, '0')),
         "Bad hex digit at line 3001"},
    };
    for (const auto& c : cases) {
        const auto [image, message] = assemble(c.text);
        EXPECT_EQ(message, c.message) << c.what;
        EXPECT_TRUE(image.empty()) << c.what;
    }
}

TEST(SumImage, KeepsTheLow16BitsOfTheByteSum)
{
    const struct { Bytes image; std::uint16_t sum; } cases[] = {
        {{}, 0},
        {{1, 2, 0xFF}, 0x102},
        {Bytes(257, 0xFF), 0xFFFF},
        {Bytes(258, 0xFF), 0x00FE},
        {Bytes(0x8000, 0xFF), 0x8000},
        {Bytes(0x200000, 0xFF), 0x0000},
    };
    for (const auto& c : cases)
        EXPECT_EQ(sumImage(c.image.data(), static_cast<std::uint32_t>(c.image.size())), c.sum) << c.image.size();
}

} // namespace
