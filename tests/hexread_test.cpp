#include "hexkernels.hpp"
#include "hexread.hpp"
#include "hextext.hpp"
#include "imageheader.hpp"

#include <gtest/gtest.h>

namespace {

// The image of an accepted text, or the message of a rejected one. The image
// buffer is marked anew where the last text wrote, so nothing passes for
// bytes this text did not write, and every other character of the text
// buffer is a record mark, so that a look past the end of the text finds one.
// Behind each buffer lies a guard that nothing may write. The gap map serves
// every text, as main's would: each must leave it all zero.
constexpr std::size_t guard = 512;
std::pair<Bytes, std::string> assemble(const std::string& text)
{
    static Bytes image(imageCapacity + guard, 0xA5);
    static std::string window(textBufferSize + guard, ' ');
    static std::uint32_t lastLength = imageCapacity;
    static Bytes gapMap(gapMapSize + guard, 0);
    std::fill(image.data(), image.data() + lastLength, 0xA5);
    for (std::size_t at = 0; at < window.size(); ++at)
        window[at] = " :"[at % 2];
    char message[faultMessageSize] = "";
    std::FILE* in = fmemopen(const_cast<char*>(text.data()), text.size(), "rb");
    ImageStarts starts;
    lastLength = readImage(in, window.data(), image.data(), gapMap.data(), message, starts);
    std::fclose(in);
    EXPECT_TRUE(std::all_of(gapMap.begin(), gapMap.end(), [](auto b) { return b == 0; })) << "gap map left marked";
    EXPECT_TRUE(std::all_of(image.data() + imageCapacity, image.data() + image.size(), [](auto b) { return b == 0xA5; }))
        << "written behind the image buffer";
    for (std::size_t at = textBufferSize; at < window.size(); ++at)
        EXPECT_EQ(window[at], " :"[at % 2]) << "written behind the text buffer at " << at;
    return {slice(image, 0, lastLength), message};
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

// The record with its checksum one off.
std::string badSum(std::string record)
{
    char& digit = record[record.find_first_of("\r\n") - 1];
    digit = digit == '9' ? 'A' : digit == 'F' ? '0' : static_cast<char>(digit + 1);
    return record;
}

// The record with its checksum 0x80 off, or with a ':' for its first data digit.
std::string sumOff0x80(std::string record)
{
    char& digit = record[record.find_first_of("\r\n") - 2];
    digit = "89ABCDEF01234567"[std::string("0123456789ABCDEF").find(digit)];
    return record;
}

std::string colonFirst(std::string record)
{
    record[9] = ':';
    return record;
}

std::string lowered(std::string text)
{
    for (auto& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

const Bytes first = pattern(20 * 1024, 1), second = pattern(70 * 1024, 2); // second crosses 64 KiB
const Bytes image = expectedImage(first, second);
const std::string joined = twoImages(first, second);
const std::string opening = hexRecord(4, 0, {0x08, 0x00}), closing = hexRecord(5, 0, {8, 0, 0, 0}), eof = hexRecord(1, 0, {});
const std::string secondClosing = hexRecord(5, 0, {8, 0, 0x80, 0});
// A first file whose data cross 64 KiB: its own type 04 record, on line 66, reads 000004.
const std::string across = hexFile(pattern(0x800), 0x0800FC00);
const std::string lineBehindJoined = std::to_string(std::count(joined.begin(), joined.end(), '\n') + 1);

const Bytes p16 = pattern(16, 7), p17 = pattern(17, 7), p32 = pattern(32, 7);
const std::string unendedFirst = "No 000004 record to end the first image: give two HEX files joined end to end";
const std::string joinedUnended = joined.substr(0, joined.size() - eof.size());
const std::string lineOfJoinedEnd = std::to_string(std::stoi(lineBehindJoined) - 1);

// An accepted text gives its image, and a rejected one its message.
struct Accepted { std::string what, text; Bytes image; };
struct Rejected { std::string what, text, message; };

void expectImages(const std::vector<Accepted>& cases)
{
    for (const auto& c : cases) {
        const auto [made, message] = assemble(c.text);
        EXPECT_EQ(message, "") << c.what;
        EXPECT_TRUE(made == c.image) << c.what << ": " << made.size() << " bytes";
    }
}

void expectMessages(const std::vector<Rejected>& cases)
{
    for (const auto& c : cases) {
        const auto [made, message] = assemble(c.text);
        EXPECT_EQ(message, c.message) << c.what;
        EXPECT_TRUE(made.empty()) << c.what;
    }
}

// Bytes laid at their offsets, 0xFF between.
Bytes laidAt(std::initializer_list<std::pair<std::size_t, Bytes>> parts)
{
    Bytes bytes;
    for (const auto& [at, part] : parts) {
        bytes.resize(std::max(bytes.size(), at + part.size()), 0xFF);
        std::copy(part.begin(), part.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
    }
    return bytes;
}

// Data records of 16 bytes each, without any other record.
std::string dataRecords(const Bytes& data, unsigned base = 0)
{
    std::string text;
    for (std::size_t offset = 0; offset < data.size(); offset += 16)
        text += hexRecord(0, base + static_cast<unsigned>(offset), slice(data, offset, 16));
    return text;
}

// The same records, the highest address first.
std::string reversedRecords(const Bytes& data, unsigned base = 0)
{
    std::string text;
    for (std::size_t offset = 0; offset < data.size(); offset += 16)
        text.insert(0, hexRecord(0, base + static_cast<unsigned>(offset), slice(data, offset, 16)));
    return text;
}

// Records from 0x08000000 on, the highest page first, each behind its type 04 record.
std::string reversedPages(const Bytes& data)
{
    std::string text;
    for (std::size_t page = 0; page < data.size(); page += 0x10000)
        text.insert(0, hexRecord(4, 0, {8, std::uint8_t(page >> 16)}) +
                           reversedRecords(slice(data, page, std::min<std::size_t>(0x10000, data.size() - page))));
    return text;
}

// The file with its second and third lines, its first two data records, swapped.
std::string firstRecordsSwapped(const std::string& text)
{
    const auto two = text.find('\n') + 1, three = text.find('\n', two) + 1, four = text.find('\n', three) + 1;
    return text.substr(0, two) + text.substr(three, four - three) + text.substr(two, three - two) + text.substr(four);
}

// A first image of two runs of 256 records alike, with `between` amid them,
// which lays `laid` bytes at 0x1001. The records stand at addresses ending in 1.
const Bytes runAfter = pattern(4096, 6);
std::string amidRun(const Bytes& before, const std::string& between, const Bytes& laid)
{
    return opening + dataRecords(before, 1) + between + dataRecords(runAfter, 0x1001 + static_cast<unsigned>(laid.size())) +
           opening + closing;
}

// Records of every shape the rules allow, and the runs the fast path takes.
TEST(ReadImage, RecordsOfEveryShapeGiveTheirImages)
{
    std::vector<Accepted> cases = {
        {"two joined files", joined, image},
        {"48 bytes a record", twoImages(first, second, 48), image},
        {"240 bytes a record", twoImages(first, second, 240), image},
        {"255 bytes a record, lower case", lowered(twoImages(first, second, 255)), image},
        {"segment 1 empty", twoImages({}, second), expectedImage({}, second)},
        {"segment 2 empty", twoImages(first, {}), expectedImage(first, {})},
        {"both empty", twoImages({}, {}), Bytes(0x8000, 0xFF)},
        {"lower-case digits", lowered(joined), image},
        {"LF line ends", replaced(joined, "\r\n", "\n"), image},
        {"no line ends", replaced(joined, "\r\n", ""), image},
        {"a long gap amid the records", amid(joined, std::string(40, ' ') + "\r\n"), image},
        {"records of changing length and gap", replaced(hexFile(first), closing, hexRecord(0, 0x5000, p32).substr(0, 75) +
             hexRecord(0, 0x5020, pattern(16, 8)).substr(0, 43) + std::string(16, ' ') + "\r\n" + closing) + hexFile(second, 0x08008000),
         expectedImage(joinedBytes({first, p32, pattern(16, 8)}), second)},
        {"an end marker as long as the data records", opening + dataRecords(first) + opening + dataRecords(slice(second, 0, 0x8000)) +
             hexRecord(5, 0, Bytes(16)),
         expectedImage(first, slice(second, 0, 0x8000))},
        {"a 16-byte type 01 record amid a run at addresses ending in 0", opening + dataRecords(first) +
             hexRecord(1, 0x5000, slice(first, 0, 16)) + dataRecords(slice(second, 0, 0x3000), 0x5000) + opening + closing,
         expectedImage(first, slice(second, 0, 0x3000))},
        {"first record is data", hexRecord(0, 0, {1, 2, 3}) + hexRecord(0, 3, {4}) + hexFile(second),
         expectedImage({1, 2, 3, 4}, second)},
        // Type 02 and 04 records set the upper address, the first record and the marker too.
        {"other records skipped",
         opening + hexRecord(0, 0, {1}) + hexRecord(6, 0, {}) + hexRecord(2, 0, {0x10, 0}) +
             hexRecord(3, 0, {0, 0, 0, 0}) + hexRecord(4, 0x11, {8, 0}) + closing + hexRecord(0, 1, {}) + hexRecord(0xFF, 0, pattern(255)) +
             hexRecord(0, 1, {2}) + opening + hexRecord(0, 0, {3}) + hexRecord(4, 0, {8, 0}) + hexRecord(6, 0, {}) +
             hexRecord(0, 1, {4}) + closing,
         expectedImage({1, 2}, {3, 4})},
        {"text opening as a UF2 file does", "UF2\n" + joined, image},
        // Checksums over every byte of the records that are checked.
        {"a type 02 record with an address of its own", opening + hexRecord(2, 0xA5C3, {0x10, 0xF7}) + hexRecord(0, 9, p16) + opening + closing,
         expectedImage(p16, {})},
        {"a type 01 record of 3 bytes ending the text", hexFile(p16) + opening + hexRecord(0, 0, p16) + hexRecord(1, 0, {0xAA, 0xBB, 0xCC}).substr(0, 17),
         expectedImage(p16, p16)},
    };
    // A run of records alike, broken by a record that differs in a field that
    // makes records alike, its mark, count or type: after records whose
    // digits and addresses would pass for that field where compared in the
    // wrong place, and with the same data where the count is the same.
    for (const int runByte : {0x00, 0x01, 0x10, 0x5A}) {
        const Bytes before(4096, static_cast<std::uint8_t>(runByte)), same = slice(before, 0, 16);
        const struct { const char* what; std::string record; Bytes laid; } breaks[] = {
            {"a 32-byte record", hexRecord(0, 0x1001, p32), p32},
            {"a 17-byte record", hexRecord(0, 0x1001, p17), p17},
            {"a 15-byte record", hexRecord(0, 0x1001, pattern(15, 7)), pattern(15, 7)},
            {"a record 16 bytes on", hexRecord(0, 0x1011, same), joinedBytes({Bytes(16, 0xFF), same})},
            {"a record one byte on", hexRecord(0, 0x1002, same), joinedBytes({{0xFF}, same})},
            {"a type 10 record", hexRecord(0x10, 0x1001, same), {}},
            {"a record of count 0", hexRecord(0, 0x1001, {}), {}},
            {"a type 03 record", hexRecord(0x03, 0x1001, same), {}},
        };
        for (const auto& b : breaks)
            cases.push_back({std::string(b.what) + " after records of " + std::to_string(runByte), amidRun(before, b.record, b.laid),
                             expectedImage(joinedBytes({before, b.laid, runAfter}), {})});
    }
    // Data and address records with no line end, back to back.
    for (const std::size_t perRecord : {std::size_t{32}, std::size_t{48}}) {
        const std::string lines = twoImages(first, second, perRecord);
        std::string text;
        for (std::size_t at = 0, end; at < lines.size(); at = end + 2) {
            end = lines.find("\r\n", at);
            const std::string record = lines.substr(at, end - at);
            const bool bare = record.compare(7, 2, "00") == 0 || record.compare(7, 2, "02") == 0 || record.compare(7, 2, "04") == 0;
            text += bare ? record : record + "\r\n";
        }
        cases.push_back({std::to_string(perRecord) + " bytes a record, back to back", text, image});
    }
    // Every byte count's remainder modulo 16 above 16: a tail behind whole blocks.
    for (std::size_t perRecord = 17; perRecord < 32; ++perRecord)
        cases.push_back({std::to_string(perRecord) + " bytes a record", twoImages(first, second, perRecord), image});
    expectImages(cases);
}

// Text before the first record and behind a type 01 record is skipped: a byte-order mark,
// comments, blank lines, lines of digits that are no whole record.
TEST(ReadImage, SkippedTextChangesNothing)
{
    expectImages({
        {"text before the first record", "\xEF\xBB\xBF\r\n \x1A\r\n" + joined, image},
        {"less than a read after the end marker", joined + std::string(100000, 'x'), image},
        {"300 KB before the first record", std::string(300000, ' ') + joined, image},
        // Skipped lines whose closing run of digits is no whole record: a run
        // too short, with a wrong sum, longer than its count calls for, a
        // count it does not match, one run across a read too long for a
        // record, whose tail would be one.
        {"skipped lines that are no records", "; 1.0.2 000000001\r\n020000040800F3\r\n02000004080000F2\r\n0200000408 00F2 \r\n" + std::string(40000, '0') +
             "\r\n" + hexFile(first) + "; 0300000408000F1\n" + hexFile(second, 0x08008000),
         image},
    });
}

// Each image fills its room to the last byte: the first 0x8000 bytes, both 0x200000.
TEST(ReadImage, ImagesFillTheirRoomToTheByte)
{
    expectImages({
        {"segment 1 fills 0x8000", twoImages(pattern(0x8000), second), expectedImage(pattern(0x8000), second)},
        {"image of 0x200000", twoImages(first, pattern(0x1F8000)), expectedImage(first, pattern(0x1F8000))},
        // Its last record, of 240 bytes, ends at 0x200000, with text behind it.
        {"image of 0x200000 in records of 240", opening + hexRecord(4, 0, {0, 0}) + hexRecord(0, 0, slice(pattern(0x1F8000), 0, 144)) +
             replaced(hexFile(slice(pattern(0x1F8000), 144, 0x1F8000 - 144), 144, 240), hexRecord(4, 0, {0, 0}), "") +
             std::string(600, ' '),
         expectedImage({}, pattern(0x1F8000))},
        // A first image of 0x8000 bytes, and a second that goes on where it ends.
        {"segment 1 fills 0x8000, no type 01 records", replaced(twoImages(pattern(0x8000), second), eof, ""), expectedImage(pattern(0x8000), second)},
        {"segment 1 fills 0x8000, start records first", closing + replaced(hexFile(pattern(0x8000)), closing, "") + hexFile(second, 0x08008000),
         expectedImage(pattern(0x8000), second)},
        // Past the room a first image would have, to the whole image's last byte.
        {"a second image of 0x1F8000 behind a gap, no type 01 records", opening + hexRecord(0, 0, p16) + opening + hexRecord(0, 0x20, p16) +
             hexRecord(4, 0, {8, 0x1F}) + hexRecord(0, 0x8010, p16) + closing,
         expectedImage(p16, joinedBytes({p16, Bytes(0x1F7FE0, 0xFF), p16}))},
    });
}

// Load addresses place the data, whatever the order of the records: gaps are 0xFF, the
// upper address comes from type 02 and 04 records, a run that wraps past 64 KiB wraps.
TEST(ReadImage, LoadAddressesPlaceTheData)
{
    expectImages({
        // Where a run crosses its 256-byte page the address digits change: a
        // right record there, written 0x100 lower, goes to its own address.
        {"a record 0x100 lower than its run's next, where the run crosses a page",
         opening + dataRecords(slice(runAfter, 0, 0x80), 0x80) + hexRecord(0, 0, p16) + dataRecords(runAfter, 0x110) + opening + closing,
         expectedImage(laidAt({{0, p16}, {0x80, slice(runAfter, 0, 0x80)}, {0x110, runAfter}}), {})},
        {"gaps filled", opening + hexRecord(0, 0x8180, {1, 2}) + hexRecord(0, 0x81A0, {3}) + hexRecord(0, 0x81A1, {4}) +
             hexRecord(4, 0, {0, 0}) + hexRecord(0, 0xFFFE, {5}) + hexRecord(4, 0x10, {0, 1}) + hexRecord(0, 1, {6}) +
             hexRecord(0, 0x7FFF, {7}) + closing,
         expectedImage(joinedBytes({{1, 2}, Bytes(30, 0xFF), {3, 4}}), joinedBytes({{5}, Bytes(2, 0xFF), {6}, Bytes(0x7FFD, 0xFF), {7}}))},
        {"first image ending at 0x8000 behind a gap", opening + hexRecord(0, 0, {1}) + hexRecord(0, 0x7FFF, {2}) + opening + closing,
         joinedBytes({{1}, Bytes(0x7FFE, 0xFF), {2}})},
        {"data before any address record", hexRecord(0, 0xFFF0, p16) + hexRecord(2, 0, {0x10, 0}) + hexRecord(0, 0, {1}) + opening + closing,
         expectedImage(joinedBytes({p16, {1}}), {})},
        {"type 02 records, one standing first", hexRecord(2, 0, {0x10, 0}) + hexRecord(0, 0xFFF0, p16) + hexRecord(2, 0, {0x20, 0}) +
             hexRecord(0, 0, {1}) + opening + closing,
         expectedImage(joinedBytes({p16, {1}}), {})},
        {"both files at address 0", hexFile(first, 0) + hexFile(second, 0), image},
        // Records in any order: each laid at its address, the runs behind them too.
        {"records in reverse order", opening + reversedRecords(first) + closing + eof + opening +
             reversedRecords(slice(second, 0, 0x7000), 0x8000) + secondClosing + eof,
         expectedImage(first, slice(second, 0, 0x7000))},
        {"one swapped pair", opening + dataRecords(slice(first, 0, 0x20)) + hexRecord(0, 0x30, slice(first, 0x30, 16)) +
             hexRecord(0, 0x20, slice(first, 0x20, 16)) + dataRecords(slice(first, 0x40, 0x1000), 0x40) + opening + closing,
         expectedImage(slice(first, 0, 0x1040), {})},
        {"a record below the first, one filling the gap between", opening + hexRecord(0, 0x20, slice(first, 0x20, 16)) +
             hexRecord(0, 0, slice(first, 0, 16)) + hexRecord(0, 0x10, slice(first, 0x10, 16)) +
             dataRecords(slice(first, 0x30, 0x1000), 0x30) + opening + closing,
         expectedImage(slice(first, 0, 0x1030), {})},
        {"a record back across 64 KiB", opening + opening + hexRecord(4, 0, {8, 1}) + hexRecord(0, 0, p16) + hexRecord(4, 0, {8, 0}) +
             hexRecord(0, 0xFFFF, {1}) + closing,
         expectedImage({}, joinedBytes({{1}, p16}))},
        // A run stops at 0x10000: a record there without a type 04 record wraps round, to the image's foot.
        {"a run reaching 0x10000 without a type 04 record", opening + opening + dataRecords(pattern(0x1020), 0xF000) +
             std::string(600, ' ') + closing,
         expectedImage({}, laidAt({{0, slice(pattern(0x1020), 0x1000, 0x20)}, {0xF000, pattern(0x1000)}}))},
        {"a run from offset 0xFFF0 on, wrapping past 64 KiB", opening + opening + hexRecord(0, 0xFFE0, p16) +
             dataRecords(pattern(48), 0xFFF0) + std::string(600, ' ') + closing,
         expectedImage({}, laidAt({{0, slice(pattern(48), 16, 32)}, {0xFFE0, p16}, {0xFFF0, pattern(16)}}))},
        {"a run from offset 0xFFFF on, wrapping past 64 KiB", opening + opening + hexRecord(0, 0xFFDE, p17) +
             dataRecords(pattern(64), 0xFFEF) + std::string(600, ' ') + closing,
         expectedImage({}, laidAt({{0, slice(pattern(64), 32, 32)}, {0xFFCF, p17}, {0xFFE0, pattern(32)}}))},
        // The whole room, its records reversed page by page, and with its first two records swapped.
        {"image of 0x200000, records in reverse order", opening + opening + reversedPages(pattern(0x1F8000)) + closing,
         expectedImage({}, pattern(0x1F8000))},
        {"image of 0x200000, its first two records swapped", hexFile(first) + firstRecordsSwapped(hexFile(pattern(0x1F8000), 0x08008000)),
         expectedImage(first, pattern(0x1F8000))},
    });
}

// The first file's type 01 record ends it, whatever 000004 and 000005 records it holds;
// without type 01 records the markers divide the files.
TEST(ReadImage, EndOfFileRecordsTellTheFilesApart)
{
    expectImages({
        {"type 04 and 05 records at address 0001, no type 01 records", opening + dataRecords(p16) + hexRecord(4, 1, {8, 0}) +
             dataRecords(p16, 0x10) + hexRecord(5, 1, {0, 0, 0, 0}) + opening + dataRecords(p32) + hexRecord(5, 1, {0, 0, 0, 0}) +
             dataRecords(p16, 0x20) + closing,
         expectedImage(joinedBytes({p16, p16}), joinedBytes({p32, p16}))},
        // The first file's type 01 record ends it, whatever 000004 and 000005 records it holds.
        {"a first file across 64 KiB", across + hexFile(second, 0x08010400), expectedImage(pattern(0x800), second)},
        {"a first file across 64 KiB, with a gap", opening + dataRecords(p16, 0xFFF0) + hexRecord(4, 0, {8, 1}) +
             dataRecords(p32, 0x0010) + closing + eof + hexFile(second, 0x08008000),
         expectedImage(joinedBytes({p16, Bytes(16, 0xFF), p32}), second)},
        {"a page restated after a gap", opening + dataRecords(p16) + opening + dataRecords(p32, 0x20) + closing + eof + hexFile(second),
         expectedImage(joinedBytes({p16, Bytes(16, 0xFF), p32}), second)},
        {"a dangling type 04 record", replaced(hexFile(first), closing, hexRecord(4, 0, {8, 1}) + closing) + hexFile(second, 0x08008000), image},
        {"start records first", closing + replaced(hexFile(first), closing, "") + secondClosing +
             replaced(hexFile(second, 0x08008000), secondClosing, ""),
         image},
        {"a second file without a start record", hexFile(first) + replaced(hexFile(second, 0x08008000), secondClosing, ""), image},
        {"a start record among the second file's data", hexFile(first) + amid(hexFile(second, 0x08008000), secondClosing), image},
        {"flash at address 0", hexFileAtZero(first, 0) + hexFileAtZero(second, 0x8000), image},
        // Provisional data that rejoin the first image below and amid its records.
        {"a first file stepping back behind its 000004 record", opening + hexRecord(0, 0x10, p16) + hexRecord(0, 0x30, p32) + opening +
             hexRecord(0, 0, {1}) + hexRecord(0, 0x20, p16) + closing + eof + hexFile(second),
         expectedImage(laidAt({{0, {1}}, {0x10, p16}, {0x20, p16}, {0x30, p32}}), second)},
    });
}

// The text is read in pieces: a record cut by a piece's end, at any of its
// characters, reads as if it were whole. Each text is moved on by line feeds
// in front, so that the first piece ends at each place from `from` on.
TEST(ReadImage, RecordsAcrossReadsAreWhole)
{
    const std::string longRecords = twoImages(pattern(3000, 3), pattern(3000, 4), 255);
    // From the end of one record's data to the next mark: as far as the fast path looks.
    const std::string blockRecords = replaced(twoImages(pattern(3000, 3), pattern(3000, 4), 240), "\r\n", std::string(11, ' ') + "\r\n");
    // One space more: a record taken last before a read's end has its next mark behind that end.
    const std::string farRecords = replaced(blockRecords, "\r\n", " \r\n");
    const Bytes longImage = expectedImage(pattern(3000, 3), pattern(3000, 4));
    const auto secondOpening = longRecords.rfind(":020000040800");
    const struct { const char* what; std::string text; std::size_t from, count; Bytes image; } cases[] = {
        {"16 bytes a record", joined, windowSize - 46, 46, image},
        {"255 bytes a record", longRecords, longRecords.find(":FF", secondOpening) - 530, 2 * 530, longImage},
        {"240 bytes a record, 15 characters apart", blockRecords, blockRecords.find(":F0", secondOpening) - 500, 2 * 500, longImage},
        {"240 bytes a record, 16 characters apart", farRecords, farRecords.find(":F0", secondOpening) - 510, 2 * 510, longImage},
        {"the record that ends the first image", longRecords, secondOpening - 530, 560, longImage},
        {"the record that ends the image", longRecords, longRecords.find(":04000005") - 20, 40, longImage},
    };
    for (const auto& c : cases) {
        ASSERT_LE(c.from + c.count, windowSize) << c.what;
        for (std::size_t at = c.from; at < c.from + c.count; ++at) {
            const auto [made, message] = assemble(std::string(windowSize - at, '\n') + c.text);
            EXPECT_EQ(message, "") << c.what << ", read ending at " << at;
            EXPECT_TRUE(made == c.image) << c.what << ", read ending at " << at;
        }
    }
}

// A faulty record on line 3001, amid 3000 good records read fastest, at the
// address where the records in front of it end unless it names another.
std::string faultAt(std::string record, const char* address = "5DC0")
{
    const Bytes data = pattern(3000 * 16);
    record.replace(3, 4, address);
    return std::string(1499, '\n') + opening + dataRecords(slice(data, 0, 0x5DC0)) + record + "\n" +
           dataRecords(slice(data, 0x5DC0, 0x5DC0), 0x5DC0) + opening + closing;
}

// Every record is read whole: its count, address, type, data and checksum are hex digits,
// all there, adding up to 0 modulo 256, with nothing but blanks between the records of a file.
TEST(ReadImage, EveryRecordIsReadWhole)
{
    const std::string run32 = replaced(hexFile(pattern(4096), 0x08000020, 32), opening, "");
    // A line of text amid the second file.
    const std::string strayInSecond = amid(hexFile(second, 0x08008000), "x\r\n");
    const auto strayLine = std::count(strayInSecond.begin(), strayInSecond.begin() + static_cast<std::ptrdiff_t>(strayInSecond.find('x')), '\n') + 1;
    const std::string zeroSum = ":1000F000" + std::string(32, '0');
    std::vector<Rejected> cases = {
        // Every record is read whole, with nothing but blanks between the records of a file.
        {"'9' and ';' between records", replaced(joined, "\r\n", "9;\n"), "Text outside a record at line 1"},
        {"a lost ':' amid the bulk", opening + replaced(dataRecords(first), "\r\n:10097000", "\r\n10097000") + opening + closing,
         "Text outside a record at line 153"},
        {"a record mark in front of a record amid the bulk", opening + replaced(dataRecords(first), "\r\n:10097000", ":\n:10097000") +
             opening + closing,
         "Bad hex digit at line 152"},
        {"a type digit hit amid the bulk", opening + replaced(dataRecords(first), ":10097000", ":10097007") + opening + closing,
         "Bad checksum at line 153"},
        {"a record mark in a record before the marker", opening + ":000:01" + opening + closing, "Bad hex digit at line 2"},
        {"a record mark in a record", opening + ":00000" + hexRecord(0, 0, {0x42, 0x43, 0x44}) + opening + closing, "Bad hex digit at line 2"},
        {"a record mark behind the first record's", ":" + hexRecord(0, 1, {0x42}) + opening + closing, "Bad hex digit at line 1"},
        {"a record mark in front of a record, behind one taken", opening + hexRecord(0, 0, {1}) + ":12345:" + hexRecord(0, 1, {0xAB}) +
             dataRecords(first, 2) + opening + closing,
         "Bad hex digit at line 3"},
        {"a record without data, its address no hex digits", opening + ":00GGGG0000\r\n" + opening + closing, "Bad hex digit at line 2"},
        {"the end marker's head ends the text", opening + opening + ":04000005", "Record cut short at line 3"},
        {"a line of text amid the second file", hexFile(first) + strayInSecond,
         "Text outside a record at line " + std::to_string(1283 + strayLine) + " (line " + std::to_string(strayLine) + " of the second file)"},
        {"text behind the end marker, then a record mark", joinedUnended + std::string(300000, 'x') + ":zz :",
         "Text outside a record at line " + lineOfJoinedEnd + " (line 4484 of the second file)"},
        {"text behind the last record, the text ending before the image", opening + hexRecord(0, 0, {1}) + "end",
         "Text outside a record at line 3"},
        {"31 characters between two records of a run", opening + replaced(dataRecords(pattern(4096)), "\r\n:10080000", "\r\n" + std::string(31, 'x') + ":10080000") +
             opening + closing,
         "Text outside a record at line " + std::to_string(2 + 0x800 / 16)},
        {"a character in front of the first record the fast path takes", opening + hexRecord(0, 0, p16) + "x" + dataRecords(pattern(4096), 0x10) +
             opening + closing,
         "Text outside a record at line 3"},
        {"a character behind each record of a run", opening + hexRecord(0, 0, p16) + replaced(dataRecords(pattern(4096), 0x10), "\r\n", "!\r\n") +
             opening + closing,
         "Text outside a record at line 3"},
        // Farther behind a record than the fast path looks for the next one.
        {"a character amid 41 blanks between two records", opening + hexRecord(0, 0, p16) + std::string(12, ' ') + "x" + std::string(29, ' ') +
             "\r\n" + dataRecords(pattern(64), 0x10) + std::string(600, ' ') + opening + closing,
         "Text outside a record at line 3"},
        // A record with its checksum 00 amid a run, written as two NUL characters.
        {"a checksum of two NUL characters amid a run", opening + replaced(dataRecords(Bytes(0x200)), zeroSum + "00", zeroSum + std::string(2, '\0')) +
             opening + closing,
         "Bad hex digit at line 17"},
        {"a wrong checksum on the type 01 record behind it, a record behind that", opening + opening + closing + badSum(eof) + opening,
         "Bad checksum at line 4"},
        {"a wrong checksum on the type 01 record behind the second file's 000005 record, a record behind that",
         joinedUnended + badSum(eof) + hexFile(first),
         "Bad checksum at line " + lineOfJoinedEnd + " (line 4484 of the second file)"},
        {"a wrong checksum on the 000005 record that ends the image", opening + opening + badSum(closing), "Bad checksum at line 3"},
        {"a wrong checksum on the type 01 record behind it", opening + opening + closing + badSum(eof), "Bad checksum at line 4"},
        {"only a short record", ":0", "Record cut short at line 1"},
        {"record head cut short", opening + ":1000", "Record cut short at line 2"},
        {"a fault behind 5000 blank lines", std::string(5000, '\n') + opening + ":1000", "Record cut short at line 5002"},
        {"data cut short", opening + opening + ":10000000" + "0102", "Record cut short at line 3"},
        {"count 0xFF ending in the data", opening + "\n:FF000000" + std::string(100, '0'),
         "Record cut short at line 3"},
        {"file of record marks", "::::::::::", "Bad hex digit at line 1"},
        {"a first data record ending behind its type", ":0G000000", "Bad hex digit at line 1"},
        // A run stops at 0x10000: a record there without a type 04 record wraps round, and NUL characters are no digits.
        {"a record at 0x10000 whose high address digits are NUL characters", opening + opening + dataRecords(pattern(0x1000), 0xF000) +
             replaced(hexRecord(0, 0, pattern(16)), ":10000000", std::string(":10\0\0" "0000", 9)) + hexRecord(0, 0x10, pattern(16)) +
             std::string(600, ' ') + closing,
         "Bad hex digit at line 259"},
        {"a first file across 64 KiB, a wrong checksum on its type 01 record", replaced(across, eof, badSum(eof)) + hexFile(second, 0x08010400),
         "Bad checksum at line 132"},
        {"a bad address digit", opening + ":10G00000" + std::string(32, '0'), "Bad hex digit at line 2"},
        {"a bad address digit amid the bulk", faultAt(hexRecord(0, 0, pattern(16)), "5dcG"), "Bad hex digit at line 3001"},
        {"a 000004 marker of 16 bytes", opening + dataRecords(first) + hexRecord(4, 0, Bytes(16)) + closing,
         "Extended address record without 2 data bytes at line 1282"},
        {"a type 02 record of 3 bytes", opening + hexRecord(2, 0, {1, 2, 3}), "Extended address record without 2 data bytes at line 2"},
        {"a first record of type 04 with 4 bytes", hexRecord(4, 0, {0, 0, 8, 0}) + opening + closing,
         "Extended address record without 2 data bytes at line 1"},
        {"an address record cut short", opening + ":02000004080", "Record cut short at line 2"},
        {"an address record's head ending the text", opening + ":02001004", "Record cut short at line 2"},
        {"an address record's value ending the text", opening + opening + ":020000020800", "Record cut short at line 3"},
        {"an address record's bad value ending the text", opening + opening + ":02000004080G00", "Bad hex digit at line 3"},
        {"an address record with a bad digit", opening + ":020000020G00F0\r\n", "Bad hex digit at line 2"},
        {"an address record with a bad count", opening + ":0G0000040800\r\n", "Bad hex digit at line 2"},
        {"an address record with a ':' in its address", opening + ":02A0:10200000\r\n" + opening + closing, "Bad hex digit at line 2"},
        // Checksums, checked last in a record.
        {"a checksum cut short", opening + opening + hexRecord(0, 0, {1}).substr(0, 12), "Record cut short at line 3"},
        {"a checksum with a bad digit", opening + opening + ":0100000001G0\r\n", "Bad hex digit at line 3"},
        {"a wrong checksum amid the bulk", faultAt(badSum(hexRecord(0, 0x5DC0, pattern(16)))), "Bad checksum at line 3001"},
        // The tail of a record 5 characters from the next compares as one word with all its bits.
        {"a wrong checksum amid the bulk, 5 characters between records",
         replaced(faultAt(":105DC000" + std::string(32, '0') + "E3\r"), "\r\n", "   \r\n"), "Bad checksum at line 3001"},
        // The first record a run compares, at an odd address, one byte back
        // (its checksum as for the address it should have).
        // The SSE2 decode reads a ':' as A: the checksum that A calls for does not save it.
        {"a ':' for an A on the record behind the first", opening + hexRecord(0, 0, p16) + colonFirst(hexRecord(0, 0x10, Bytes(16, 0xAA))) +
             dataRecords(pattern(4096), 0x20) + opening + closing,
         "Bad hex digit at line 3"},
        {"a ':' for an A amid the bulk", faultAt(colonFirst(hexRecord(0, 0x5DC0, Bytes(16, 0xAA)))), "Bad hex digit at line 3001"},
        {"a checksum 0x80 off on the first data record", opening + sumOff0x80(hexRecord(0, 0, p16)) + opening + closing, "Bad checksum at line 2"},
        {"a checksum 0x80 off on the record behind the first", opening + hexRecord(0, 0, p16) + sumOff0x80(hexRecord(0, 0x10, p16)) +
             dataRecords(pattern(4096), 0x20) + opening + closing,
         "Bad checksum at line 3"},
        {"a type 01 record with a bad address ending the first file", replaced(hexFile(first), eof, ":000G0001FF\r\n") + hexFile(second),
         "Bad hex digit at line 1283"},
        {"a type 01 record with a bad count ending the first file", replaced(hexFile(first), eof, ":0G000001FF\r\n") + hexFile(second),
         "Bad hex digit at line 1283"},
        {"a type 01 record ending the text inside its data", hexFile(p16) + opening + hexRecord(0, 0, p16) + ":05000001" + "0102",
         "Record cut short at line 7 (line 3 of the second file)"},
        // Six: too far apart for a run, whose tail compare reaches eight characters.
        {"a wrong checksum amid the bulk, 6 characters between records",
         replaced(faultAt(":105DC000" + std::string(32, '0') + "D4\r"), "\r\n", "    \r\n"), "Bad checksum at line 3001"},
        {"a record one byte back where a run starts at an odd address", opening + hexRecord(0, 1, p16) + hexRecord(0, 0x11, p16) +
             replaced(hexRecord(0, 0x21, p16), ":10002100", ":10002000") + dataRecords(pattern(4096), 0x31) + opening + closing,
         "Record overlaps another at line 4"},
        {"a wrong checksum amid the bulk, lower case", lowered(faultAt(badSum(hexRecord(0, 0x5DC0, pattern(16))))), "Bad checksum at line 3001"},
        {"a wrong checksum on the record behind the first", opening + hexRecord(0, 0, p16) + badSum(hexRecord(0, 0x10, p16)) +
             dataRecords(pattern(4096), 0x20) + opening + closing,
         "Bad checksum at line 3"},
        {"a wrong checksum where a run starts", opening + dataRecords(p32) + badSum(hexRecord(0, 0x20, p16)) + dataRecords(pattern(4096), 0x30) +
             opening + closing,
         "Bad checksum at line 4"},
        {"a wrong checksum amid records of 32 bytes", opening + dataRecords(p32) + run32.substr(0, run32.find(":20082000")) +
             badSum(run32.substr(run32.find(":20082000"))),
         "Bad checksum at line 68"},
        {"a wrong checksum on the first record", badSum(opening) + opening + closing, "Bad checksum at line 1"},
        {"a wrong checksum on the 000004 record", opening + hexRecord(0, 0, p16) + badSum(opening) + closing, "Bad checksum at line 3"},
        {"a wrong checksum on a type 02 record", opening + badSum(hexRecord(2, 0, {0x10, 0})), "Bad checksum at line 2"},
        {"a wrong checksum on the type 01 record ending the first file", replaced(hexFile(first), eof, badSum(eof)) + hexFile(second),
         "Bad checksum at line 1283"},
        {"a wrong checksum on the type 01 record ending the second file",
         hexFile(first) + replaced(replaced(hexFile(second, 0x08008000), secondClosing, ""), eof, badSum(eof)),
         "Bad checksum at line " + std::to_string(std::stoi(lineBehindJoined) - 2) + " (line 4483 of the second file)"},
        {"a wrong checksum on a type 01 record ending nothing", replaced(hexFile(first), eof, badSum(eof)), "Bad checksum at line 1283"},
        {"a type 01 record ending the second file, cut short amid its data",
         hexFile(p16) + opening + hexRecord(0, 0, p16) + hexRecord(1, 0, {0xAA, 0xBB, 0xCC}).substr(0, 13),
         "Record cut short at line 7 (line 3 of the second file)"},
        {"bad count amid the data", faultAt(":G0000000" + std::string(514, '0')), "Bad hex digit at line 3001"},
    };
    // Records whose contents are not laid are read whole too.
    const struct { const char* what; std::string record; } unlaid[] = {
        {"a data record without data", ":00000000FF\r\n"},
        {"a type 03 record", badSum(hexRecord(3, 0, {0, 0, 0, 0}))},
        {"a 000005 record in the first file", badSum(closing)},
        {"a type 06 record", badSum(hexRecord(6, 0, {}))},
        {"a type FF record", badSum(hexRecord(0xFF, 0, {1}))},
    };
    for (const auto& u : unlaid)
        cases.push_back({std::string(u.what) + " with a wrong checksum", opening + u.record + opening + closing, "Bad checksum at line 2"});
    // A run broken by a record with its mark or type hit, after records whose
    // digits and addresses would pass for that field where compared in the wrong place.
    for (const int runByte : {0x00, 0x01, 0x10, 0x5A}) {
        const Bytes before(4096, static_cast<std::uint8_t>(runByte)), same = slice(before, 0, 16);
        const struct { const char* what; std::string record, message; } breaks[] = {
            {"a type 0/ record", replaced(hexRecord(0, 0x1001, same), ":10100100", ":1010010/"), "Bad hex digit at line 258"},
            {"a record marked ';'", replaced(hexRecord(0, 0x1001, same), ":", ";"), "Text outside a record at line 258"},
            {"a record marked '2'", replaced(hexRecord(0, 0x1001, same), ":", "2"), "Text outside a record at line 258"},
            {"a record marked ':' with its top bit set", replaced(hexRecord(0, 0x1001, same), ":", "\xBA"), "Text outside a record at line 258"},
        };
        for (const auto& b : breaks)
            cases.push_back({std::string(b.what) + " after records of " + std::to_string(runByte), amidRun(before, b.record, {}), b.message});
    }
    // Each character just outside a digit range, and some with the top bit
    // set, in the count, in either digit of a block's first and last byte and
    // of a tail's: amid records read fastest and where the text ends.
    const std::string badCharacters = std::string("\0/:@G`g\x80\xB0\xC1\xE6", 11);
    // Each record has its checksum, so that a bad digit read as some value would show as a wrong sum.
    const std::string bulk = ":10000000" + std::string(32, '0') + "F0", tailed = ":11000000" + std::string(34, '0') + "EF";
    const struct { const std::string* record; std::size_t at; } places[] = {
        {&bulk, 1}, {&bulk, 2}, {&bulk, 9}, {&bulk, 10}, {&bulk, 39}, {&bulk, 40}, {&tailed, 41}, {&tailed, 42},
    };
    for (const char bad : badCharacters) {
        for (const auto& place : places) {
            std::string record = *place.record;
            record[place.at] = bad;
            std::string what = record.substr(0, 3) + " with ";
            what += bad;
            what += " at " + std::to_string(place.at);
            cases.push_back({what + " amid the data", faultAt(record), "Bad hex digit at line 3001"});
            cases.push_back({what + " at the end", opening + opening + record + "\r\n", "Bad hex digit at line 3"});
        }
    }
    // A wrong checksum on a record that the first read's end cuts, at each of
    // its characters, or that stands just in front of or behind that end.
    const std::string edge = opening + dataRecords(pattern(0x1000)) + badSum(hexRecord(0, 0x1000, p16)) + dataRecords(p32, 0x1010) + opening + closing;
    const auto bad = static_cast<std::ptrdiff_t>(edge.find(":10100000"));
    for (std::ptrdiff_t at = bad - 60; at < bad + 60; ++at)
        cases.push_back({"a wrong checksum, the first read ending " + std::to_string(at - bad) + " from its record",
                         std::string(windowSize - static_cast<std::size_t>(at), '\n') + edge,
                         "Bad checksum at line " + std::to_string(static_cast<std::ptrdiff_t>(windowSize) - at + 258)});
    // Every wrong checksum at odd addresses whose two bytes both count in the
    // sum: on the record behind one the general loop takes (0x181, line 27),
    // and amid the run behind it (0x1A1, line 29).
    const std::string oddRun = opening + dataRecords(pattern(0x180)) + hexRecord(0, 0x180, {1}) +
                               dataRecords(pattern(0x100), 0x181) + opening + closing;
    for (const auto& [address, line] : {std::pair{":10018100", "27"}, std::pair{":1001A100", "29"}})
        for (unsigned off = 1; off < 256; ++off) {
            std::string text = oddRun;
            const auto at = text.find('\r', text.find(address)) - 2;
            char digits[3];
            std::snprintf(digits, sizeof digits, "%02X", static_cast<unsigned>(std::stoul(text.substr(at, 2), nullptr, 16) + off) & 255);
            cases.push_back({"a checksum " + std::to_string(off) + " off at line " + line, text.replace(at, 2, digits),
                             std::string("Bad checksum at line ") + line});
        }
    expectMessages(cases);
}

// Inputs that are plainly no HEX text, rejected, are named for what they are.
TEST(ReadImage, OtherFormatsAreNamed)
{
    std::string utf16;
    for (const char c : joined.substr(0, 2000))
        utf16 += {c, '\0'};
    const std::string sRecords = "S00600004844521B\r\nS1130000285F245F2212226A000424290008237C2A\r\n";
    const std::string sRecordsMessage = "The input holds S-records, not Intel HEX: srec_cat FILE -o OUT -intel converts them";
    expectMessages({
        {"UTF-16 text", "\xFF\xFE" + utf16, "The input is UTF-16 text: save it as ASCII"},
        {"UTF-16 text, big-endian", "\xFE\xFF\0" + utf16, "The input is UTF-16 text: save it as ASCII"},
        {"a UTF-16 first file joined to an ASCII second", "\xFF\xFE" + utf16 + hexFile(second, 0x08008000),
         "The input is UTF-16 text: save it as ASCII"},
        {"an ELF file", std::string("\x7F" "ELF\1\1\1\0:\0\0\0", 13), "The input is an ELF file: make HEX of it with objcopy -O ihex"},
        {"a UF2 file", "UF2\nWQ]\x9E\0\0\0\0", "The input is a UF2 file, not Intel HEX"},
        {"S-records", sRecords, sRecordsMessage},
        {"S-records behind a read's end", std::string(windowSize - 1, '\n') + sRecords, sRecordsMessage},
        {"an S-record from a read's last character", std::string(2 * windowSize - 1, '\n') + "S00600004844521B\r\n", sRecordsMessage},
        {"S-records with a ':' a read behind them", sRecords + std::string(windowSize, ' ') + ":", "Record cut short at line 3"},
        {"an S0 line alone", "S0", sRecordsMessage},
        {"an S9 line", "S9\r\n", sRecordsMessage},
        {"a line of S and a letter", "SA0\r\n", "No record in the input"},
        {"a line of S and a space", "S 1\r\n", "No record in the input"},
        {"an S ending the text behind a read of digits", std::string(windowSize, '0') + "\nS", "No record in the input"},
        {"FF alone at the start", "\xFF\x00 no record", "No record in the input"},
        {"FE alone at the start", "\xFE\x00 no record", "No record in the input"},
        {"7F E L, not F", "\x7F" "ELX no record", "No record in the input"},
        {"UF2 with no line feed", "UF2 no record", "No record in the input"},
        {"an ELF file larger than a read", std::string("\x7F" "ELF:", 5) + std::string(40000, '\0'),
         "The input is an ELF file: make HEX of it with objcopy -O ihex"},
    });
}

// A record that lost its mark, or has another character for it, where text is skipped;
// a comment with a ':' in it is a record.
TEST(ReadImage, SkippedTextHoldsNoRecordWithoutItsMark)
{
    expectMessages({
        {"a comment with a ':' before the first record", "; made by: a script\r\n" + joined, "Bad hex digit at line 1"},
        // A record that lost its mark, or has another character for it, where text is skipped.
        {"the first record's ':' lost, behind a line", "\xEF\xBB\xBF\r\n" + joined.substr(1), "Record without its ':' at line 2"},
        {"the second file's first record's ':' a '0', behind a Ctrl-Z", hexFile(first) + "\x1A" "0" + hexFile(second, 0x08008000).substr(1),
         "Record without its ':' at line 1284"},
        {"behind a line that ends in digits", "; v1.00\n" + joined.substr(1), "Record without its ':' at line 2"},
        {"no line ends: right in front of the next record's mark", replaced(joined, "\r\n", "").substr(1), "Record without its ':' at line 1"},
        // Lines across the first read's end, windowSize characters in.
        {"the ':' of a record of 255 bytes a NUL, its digits across a read, blanks behind it",
         std::string(windowSize - 100, 'x') + '\0' + hexRecord(0, 0, pattern(255)).substr(1, 520) + " \t\r\n" + joined,
         "Record without its ':' at line 1"},
        {"digits up to a read's end, then a character and a record without its ':'",
         std::string(windowSize - 2, ' ') + "AB;" + joined.substr(1), "Record without its ':' at line 1"},
        {"digits and blanks up to a read's end, then a record without its ':'",
         std::string(windowSize - 4, '\n') + "AB  " + joined.substr(1), "Record without its ':' at line " + std::to_string(windowSize - 3)},
        {"digits up to a read's end, then blanks and a record without its ':'",
         std::string(windowSize - 2, '\n') + "AB  " + joined.substr(1), "Record without its ':' at line " + std::to_string(windowSize - 1)},
        {"a '0' for the ':' of a record of 255 bytes: 521 digits", "0" + hexRecord(0, 0, pattern(255)).substr(1) + joined,
         "Record without its ':' at line 1"},
        {"an end-of-file record without its ':' behind the second file", joined + "00000001FF", "Record without its ':' at line " + lineBehindJoined},
    });
}

// Two files, each ended by its type 01 record, or divided by the markers: a text that ends
// too soon, a third file, a record behind the 000005 record that ends the image.
TEST(ReadImage, FilesEndWhereTheirRecordsSay)
{
    expectMessages({
        {"empty", "", "No record in the input"},
        // The 000005 record that ends the image: a type 01 record may stand behind it, no other.
        {"a record behind the 000005 record that ends the image", opening + hexRecord(0, 0, {1}) + opening + hexRecord(0, 0, {2}) + closing +
             hexRecord(0, 1, {3}),
         "Record behind the 000005 record that ends the image at line 6"},
        {"the fast path's room in blanks and no record behind a record the general loop took",
         opening + hexRecord(0, 0, {1}) + std::string(longestRecord + markLookahead, ' '),
         unendedFirst},
        {"no record mark", "020000040800F2\r\n", "No record in the input"},
        {"300 KB of spaces", std::string(300000, ' '), "No record in the input"},
        {"only the opening record", opening, unendedFirst},
        {"600 characters and no record behind the marker", opening + opening + std::string(600, ' '),
         "No 000005 record to end the second image"},
        {"600 characters and no record behind a run", opening + dataRecords(pattern(4096)) + std::string(600, ' '),
         unendedFirst},
        {"601 characters and no record behind a run", opening + dataRecords(pattern(4096)) + std::string(601, ' '),
         unendedFirst},
        {"600 characters and no record behind two records", opening + dataRecords(pattern(32)) + std::string(600, ' '),
         unendedFirst},
        {"601 characters and no record behind two records", opening + dataRecords(pattern(32)) + std::string(601, ' '),
         unendedFirst},
        {"15 characters behind the last record mark", opening + opening + " ", "No 000005 record to end the second image"},
        {"one file alone", hexFile(first), unendedFirst},
        {"second image unended", opening + opening + hexRecord(0, 0, {1}) + hexRecord(1, 0, {}),
         "No 000005 record to end the second image"},
        {"long second image unended", opening + opening + replaced(hexFile(pattern(0x40000)), closing, hexRecord(3, 0, {8, 0, 0, 0})),
         "No 000005 record to end the second image"},
        // A first file that crosses 64 KiB, whose own type 04 record reads "000004".
        {"a first file across 64 KiB, no type 01 records", replaced(across + hexFile(second, 0x08010400), eof, ""),
         "First image goes on behind the 000004 record at line 66"},
        {"a first file across 64 KiB, no type 01 records, and no start record behind it",
         replaced(replaced(across, eof, ""), hexRecord(5, 0, {8, 0, 0xFC, 0}), ""), "First image goes on behind the 000004 record at line 66"},
        {"a first file across 64 KiB, a fault behind its 000004 record", replaced(replaced(across, eof, ""), ":10001000", ":1G001000") +
             hexFile(p16, 0x08020000),
         "Bad hex digit at line 68"},
        {"three files", joined + hexFile(first), "More than two HEX files: a third starts at line " + lineBehindJoined},
        {"a second file without a start record, then a third", replaced(joined, secondClosing, "") + hexFile(first),
         "More than two HEX files: a third starts at line " + std::to_string(std::stoi(lineBehindJoined) - 1)},
        {"a record behind the second file", joined + ":", "More than two HEX files: a third starts at line " + lineBehindJoined},
        {"a second file without its end", hexFile(first) + replaced(replaced(hexFile(second, 0x08008000), eof, ""), secondClosing, ""),
         "No end-of-file record to end the second file"},
    });
}

// The first image spans at most 0x8000 bytes, the whole image 0x200000: the record that
// passes the limit, or the gap in front of it, is named, with its address.
TEST(ReadImage, ImagesStayInTheirRoom)
{
    expectMessages({
        // A record below the first moves the image's bytes up, with room below
        // them, here up to the end of the image's room: the run from there on
        // is laid once they are moved back down.
        {"a record far below the first, then a run past 0x8000", opening + hexRecord(0, 0x7000, p16) + hexRecord(0, 0, p16) +
             dataRecords(pattern(0x1400), 0x7010) + opening + closing,
         "First image exceeds 0x8000 bytes at line " + std::to_string(4 + (0x8000 - 0x7010) / 16) +
             " (a record at 0x08008000; the image starts at 0x08000000)"},
        {"segment 1 over 0x8000", twoImages(pattern(0x8001), {}),
         "First image exceeds 0x8000 bytes at line 2050 (a record at 0x08008000; the image starts at 0x08000000)"},
        {"full record over 0x8000", twoImages(pattern(0x8010), {}) + std::string(600, ' '),
         "First image exceeds 0x8000 bytes at line 2050 (a record at 0x08008000; the image starts at 0x08000000)"},
        // Records behind the one that passes the limit, so that the fast path reaches it.
        {"16 bytes for 15 left before 0x8000", opening + hexRecord(0, 0, {1}) + dataRecords(pattern(0x8200), 1) + opening + closing,
         "First image exceeds 0x8000 bytes at line 2050 (a record at 0x08007FF1; the image starts at 0x08000000)"},
        {"a gap past 0x8000", opening + hexRecord(0, 0, {1}) + hexRecord(0, 0x8000, {2}) + opening + closing,
         "First image exceeds 0x8000 bytes at line 3 (a record at 0x08008000; the image starts at 0x08000000)"},
        {"a gap past 0x200000", opening + opening + hexRecord(0, 0, {1}) + hexRecord(4, 0x10, {0x08, 0x20}) + hexRecord(0, 0, {2}) + closing,
         "Image exceeds 0x200000 bytes at line 5 (a record at 0x08200000; the image starts at 0x08000000)"},
        {"image over 0x200000", twoImages({}, pattern(0x1F8001)),
         "Image exceeds 0x200000 bytes at line 129061 (line 129058 of the second file; a record at 0x08200000; the image starts at 0x08008000)"},
        {"image over 0x200000 behind a blank line", "\n" + twoImages({}, pattern(0x1F8001)),
         "Image exceeds 0x200000 bytes at line 129062 (line 129058 of the second file; a record at 0x08200000; the image starts at 0x08008000)"},
        {"full record over 0x200000", twoImages({}, pattern(0x1F8010)) + std::string(600, ' '),
         "Image exceeds 0x200000 bytes at line 129061 (line 129058 of the second file; a record at 0x08200000; the image starts at 0x08008000)"},
        {"16 bytes for 15 left before 0x200000", opening + opening + hexRecord(0, 0, {1}) + hexFile(pattern(0x1F8200), 0x08000001),
         "Image exceeds 0x200000 bytes at line 129059 (a record at 0x081F7FF1; the image starts at 0x08000000)"},
        {"a record below passing 0x8000", opening + hexRecord(0, 0x8000, p16) + hexRecord(0, 0x000F, {1}),
         "First image exceeds 0x8000 bytes at line 3 (a record at 0x0800000F; the image starts at 0x08008000)"},
        {"a first file passing 0x8000 downward behind its 000004 record", opening + hexRecord(0, 0x8000, p16) + opening +
             hexRecord(0, 0x000F, {1}) + closing + eof + hexFile(second),
         "First image exceeds 0x8000 bytes at line 4 (a record at 0x0800000F; the image starts at 0x08008000)"},
        // A 000004 record of the first file starts the second image; a type
        // 01 record behind it shows the data were the first file's.
        {"a first file with a far region", replaced(hexFile(first), closing, hexRecord(4, 0, {0x10, 0}) + hexRecord(0, 0x1014, {1, 2, 3, 4}) + closing) +
             hexFile(second, 0x08008000),
         "First image exceeds 0x8000 bytes at line 1283 (a record at 0x10001014; the image starts at 0x08000000)"},
        {"a first file with a far region, a fault behind it", replaced(hexFile(first), closing, hexRecord(4, 0, {0x10, 0}) +
             hexRecord(0, 0x1014, {1}) + ":0G000000\r\n" + closing) + hexFile(second, 0x08008000),
         "Bad hex digit at line 1284"},
        {"a first file filling 0x8000 across 64 KiB, and more", opening + dataRecords(pattern(0x7FF0), 0x8010) + hexRecord(4, 0, {8, 1}) +
             dataRecords(p32) + closing + eof + hexFile(second),
         "First image exceeds 0x8000 bytes at line 2051 (a record at 0x08010010; the image starts at 0x08008010)"},
        {"a first file passing the image's room behind its 000004 record", opening + hexRecord(0, 0, {1}) + opening + hexRecord(0, 1, {2}) +
             hexRecord(4, 0, {8, 0x30}) + hexRecord(0, 0, {3}) + closing + eof + hexFile(second),
         "Image exceeds 0x200000 bytes at line 6 (a record at 0x08300000; the image starts at 0x08000001)"},
    });
}

// A byte that two records of one image give is refused: by one byte at either end and
// inside, in a gap, in a provisional image and behind its rejoining.
TEST(ReadImage, EachByteIsGivenOnce)
{
    expectMessages({
        // A byte that two records give, by one byte at either end and inside.
        {"a record a byte back", opening + hexRecord(0, 0x10, pattern(16)) + hexRecord(0, 0x1F, {1}), "Record overlaps another at line 3"},
        {"a record below reaching one byte in", opening + hexRecord(0, 0x10, p16) + hexRecord(0, 1, p16), "Record overlaps another at line 3"},
        {"a record above from the last byte on", opening + hexRecord(0, 0x10, p16) + hexRecord(0, 0x1F, p16), "Record overlaps another at line 3"},
        {"a record in a gap one byte too long", opening + hexRecord(0, 0, p16) + hexRecord(0, 0x20, p16) + hexRecord(0, 0x0F, p16),
         "Record overlaps another at line 4"},
        {"a byte given again, a gap beside it, in a provisional image", opening + hexRecord(0, 0, p16) + opening +
             hexRecord(0, 0x20, {1}) + hexRecord(0, 0x22, {3}) + hexRecord(0, 0x20, {9}) + closing,
         "Record overlaps another at line 6"},
        {"a byte given again, a gap beside it, in the second file", hexFile(p16) + opening + hexRecord(0, 0x20, {1}) +
             hexRecord(0, 0x22, {3}) + hexRecord(0, 0x20, {9}) + closing,
         "Record overlaps another at line 8 (line 4 of the second file)"},
        // Provisional data that the first file's type 01 record shows to be the first image's.
        {"a first file overlapping itself behind its 000004 record", opening + hexRecord(0, 0x10, p16) + opening + hexRecord(0, 0x1F, {1}) +
             closing + eof + hexFile(second),
         "Record overlaps another at line 4"},
        {"a first file overlapping itself twice behind its 000004 record: the first is named", opening + hexRecord(0, 0x10, p16) + opening +
             hexRecord(0, 0x1F, {1}) + hexRecord(0, 0x10, {2}) + closing + eof + hexFile(second),
         "Record overlaps another at line 4"},
        {"a first file overlapping itself and passing 0x8000 with one record", opening + dataRecords(pattern(0x7FF0)) + opening +
             hexRecord(0, 0x7FE8, p32) + closing + eof + hexFile(second),
         "Record overlaps another at line 2050"},
        {"a first file running into itself behind its 000004 record", opening + hexRecord(0, 0x100, p16) + opening +
             dataRecords(pattern(0x200)) + closing + eof + hexFile(second),
         "Record overlaps another at line 20"},
        {"a record back amid the second image", opening + opening + dataRecords(pattern(0x3000)) + hexRecord(0, 0x1000, {1}) + closing,
         "Record overlaps another at line 771"},
        {"a record back amid the bulk", faultAt(hexRecord(0, 0, pattern(16)), "5DB0"), "Record overlaps another at line 3001"},
        {"addresses wrapping past 64 KiB without a type 04 record", opening + opening + dataRecords(pattern(0x10010)) + closing,
         "Record overlaps another at line 4099"},
    });
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
    // Bytes of 1 in front of bytes of 0xFF: a sum that takes one byte too many or too few is off.
    Bytes ones(4096, 1);
    ones.resize(8192, 0xFF);
    for (const std::uint32_t length : {1u, 15u, 16u, 17u, 63u, 64u, 65u, 127u, 129u, 4095u, 4096u})
        EXPECT_EQ(sumImage(ones.data(), length), length) << length;
}

// In a buffer that held other bytes before.
TEST(BuildHeader, WritesZeroChecksumSignatureAndLength)
{
    const struct { Bytes image; Bytes header; } cases[] = {
        {Bytes(0x8000, 0xFF), {0, 0, 0x00, 0x80, 0x55, 0xAA, 0x00, 0x80, 0x00, 0x00}},
        {Bytes(0x1FFFFF, 0x01), {0, 0, 0xFF, 0xFF, 0x55, 0xAA, 0xFF, 0xFF, 0x1F, 0x00}},
    };
    for (const auto& c : cases) {
        Bytes buffer(headerSize, 0xA5);
        buffer.insert(buffer.end(), c.image.begin(), c.image.end());
        buildHeader(buffer.data(), static_cast<std::uint32_t>(c.image.size()));
        EXPECT_TRUE(slice(buffer, 0, headerSize) == c.header) << c.image.size();
    }
}

} // namespace
