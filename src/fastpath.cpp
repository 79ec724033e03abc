#include "fastpath.hpp"

#include "hexkernels.hpp"
#include "record.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace {

// The fast path takes a record only with this much text behind its mark.
constexpr std::ptrdiff_t fastPathRoom = longestRecord + markLookahead;

static_assert(windowSize >= fastPathRoom, "a read holds at least a longest record and the lookahead");

// The value of the four hex digits at text, or badWord where one is no digit.
constexpr unsigned badWord = ~0u;
[[gnu::always_inline]] inline unsigned decodeWord(const char* text)
{
    const unsigned high = decodePair(text), low = decodePair(text + 2);
    return (high | low) & invalidDigit ? badWord : high << 8 | low;
}

// The hex digits of each byte value, as the records of the bulk of a file
// write them: upper case.
consteval std::array<std::array<char, 2>, 256> makeHexPairs()
{
    std::array<std::array<char, 2>, 256> pairs{};
    for (unsigned byte = 0; byte < pairs.size(); ++byte)
        pairs[byte] = {"0123456789ABCDEF"[byte >> 4], "0123456789ABCDEF"[byte & 15]};
    return pairs;
}
constexpr auto hexPairs = makeHexPairs();

// Eight characters of text as one number.
[[gnu::always_inline]] inline std::uint64_t textWord(const char* at)
{
    std::uint64_t text;
    std::memcpy(&text, at, sizeof text);
    return text;
}

// The eight characters behind a record's mark, count to type.
[[gnu::always_inline]] inline std::uint64_t headText(const char* record)
{
    return textWord(record + countField);
}

// Where the address's four characters stand in headText's number, on either byte order.
constexpr std::uint64_t addressChars = 0x0000'FFFF'FFFF'0000;

// Where a textWord's first `length` characters (1 to 8) stand, on either byte order.
constexpr std::uint64_t leadingChars(std::ptrdiff_t length)
{
    const auto rest = static_cast<unsigned>(64 - 8 * length);
    if constexpr (std::endian::native == std::endian::little)
        return ~std::uint64_t{0} >> rest;
    else
        return ~std::uint64_t{0} << rest;
}

// The digits of the checksum that makes bytes adding up to each value 0 modulo 256.
consteval std::array<std::array<char, 2>, 256> makeChecksumPairs()
{
    std::array<std::array<char, 2>, 256> pairs{};
    for (unsigned sum = 0; sum < pairs.size(); ++sum)
        pairs[sum] = hexPairs[(256 - sum) & 255];
    return pairs;
}
constexpr auto checksumPairs = makeChecksumPairs();

// The checksum that makes the bytes of `sum` add up to 0 modulo 256, as a
// record writes it, placed as a textWord's first two characters.
[[gnu::always_inline]] inline std::uint64_t checksumText(unsigned sum)
{
    std::uint16_t chars;
    std::memcpy(&chars, checksumPairs[sum & 255].data(), 2);
    if constexpr (std::endian::native == std::endian::little)
        return chars;
    else
        return std::uint64_t{chars} << 48;
}

// The first two address characters of a record at `offset` (at most 0xFFFF;
// one past it reads as an address that wrapped round, never past the table),
// placed as in headText; and the last two.
[[gnu::always_inline]] inline std::uint64_t highAddressText(unsigned offset)
{
    std::uint16_t chars;
    std::memcpy(&chars, hexPairs[offset >> 8 & 255].data(), 2);
    return std::endian::native == std::endian::little ? std::uint64_t{chars} << 16 : std::uint64_t{chars} << 32;
}

[[gnu::always_inline]] inline std::uint64_t lowAddressText(unsigned offset)
{
    std::uint16_t chars;
    std::memcpy(&chars, hexPairs[offset & 255].data(), 2);
    return std::endian::native == std::endian::little ? std::uint64_t{chars} << 32 : std::uint64_t{chars} << 16;
}

// What a run of records alike carries from one record to the next: where
// their bytes go, how far they may reach, and the address the next must have
// (its offset from the upper address).
struct Run {
    std::uint8_t* image;
    std::uint32_t length;
    std::uint32_t limit;
    unsigned offset;
};
// The records that follow `record`, a data record just taken, one `stride`
// after another, alike it and each at the address where the last one ended,
// as tools write them; returns the last record taken. Where each record stands
// is known in advance, so nothing waits on the one before: no byte count to
// decode and no mark to search for. A record is taken on two compares: its
// count, address and type with what they must be, and its tail (checksum,
// what stands between it and the next record, that record's mark) with the
// last record's, its checksum the one its bytes call for. A `fixedBlocks`
// other than 0 gives the records' blocks at compile time, so that the decode
// of the counts tools write needs no loop.
template <std::size_t fixedBlocks>
[[gnu::always_inline]] inline const char* layRecordsAlike(const char* record, std::ptrdiff_t stride, std::size_t blocks,
                                                          const char* lastTaken, Run& run)
{
    if constexpr (fixedBlocks != 0)
        blocks = fixedBlocks;
    const auto byteCount = static_cast<std::uint32_t>(16 * blocks);
    const std::ptrdiff_t checksumAt = dataField + 2 * static_cast<std::ptrdiff_t>(byteCount);
    // The tail compares as one word: the records stand at most six characters apart, as tools write them.
    const std::ptrdiff_t tailLength = stride - checksumAt + 1;
    if (tailLength > 8)
        return record;
    const std::uint64_t tailChars = leadingChars(tailLength);
    const std::uint64_t tail = textWord(record + checksumAt) & tailChars & ~leadingChars(2);
    // As many records as stand whole in the window, fit the image and start
    // within the upper address's 64 KiB.
    std::size_t records = std::min<std::size_t>(static_cast<std::size_t>((lastTaken - record) / stride),
                                                (run.limit - run.length) / byteCount);
    records = std::min<std::size_t>(records, run.offset > 0xFFFF ? 0 : (0xFFFF - run.offset) / byteCount + 1);
    const std::uint64_t countAndType = headText(record) & ~addressChars;
    while (records != 0) {
        // The records that start within one 256 bytes of addresses share its first two digits.
        const std::uint64_t pageHead = countAndType | highAddressText(run.offset);
        const unsigned pageSum = byteCount + (run.offset >> 8);
        std::size_t inPage = std::min<std::size_t>(records, (256 - (run.offset & 255) + byteCount - 1) / byteCount);
        records -= inPage;
        for (; inPage != 0; --inPage) {
            const char* next = record + stride;
            if (headText(next) != (pageHead | lowAddressText(run.offset)))
                return record;
            // The record's bytes: count, address and type (00), then data.
            unsigned sum = pageSum + (run.offset & 255);
            const unsigned badDigits = decodeBlocks(run.image + run.length, next + dataField, blocks, sum);
            if ((badDigits | ((textWord(next + checksumAt) ^ (tail | checksumText(sum))) & tailChars)) != 0)
                return record;
            record = next;
            run.length += byteCount;
            run.offset += byteCount;
        }
    }
    return record;
}

// Tools write 16 or 32 bytes a record; other counts take the decode with a loop.
[[gnu::always_inline]] inline const char* layRecordsAlike(const char* record, std::ptrdiff_t stride,
                                                          const char* lastTaken, Run& run)
{
    switch (const std::size_t blocks = decodePair(record + countField) / 16) {
    case 1:
        return layRecordsAlike<1>(record, stride, blocks, lastTaken, run);
    case 2:
        return layRecordsAlike<2>(record, stride, blocks, lastTaken, run);
    default:
        return layRecordsAlike<0>(record, stride, blocks, lastTaken, run);
    }
}

} // namespace

// It takes only records with the next sixteen characters in the text too, so
// it needs no bounds checks and finds the next record mark with one compare.
[[gnu::noinline]] const char* layRuns(const char* scan, const char* end, Layout& layout, std::uint32_t upper, std::uint32_t limit)
{
    // Only records that follow on are taken: the image's first one, and
    // one beyond the upper address's 64 KiB, are the general loop's.
    const std::uint64_t nextOffset = layout.next - upper;
    if (end - scan < fastPathRoom || !layout.placed || nextOffset > 0xFFFF)
        return scan;
    const char* const lastTaken = end - fastPathRoom;
    Run run{.image = layout.image, .length = layout.length, .limit = limit, .offset = static_cast<unsigned>(nextOffset)};
    const char* count = locLine(scan, scan + markLookahead);
    while (count && blanksOnly(scan, count - 1)) {
        const char* record = count - 1;
        if (record > lastTaken || std::memcmp(record + typeField, "00", 2) != 0)
            break;
        // Tools write 16 or 32 bytes a record: whole blocks, with no tail to
        // decode. A count of 0 wraps round and fails the room test.
        const unsigned byteCount = decodePair(count);
        if ((byteCount & (invalidDigit | 15)) != 0 || byteCount - 1 >= run.limit - run.length ||
            decodeWord(record + addressField) != run.offset)
            break;
        const char* data = record + dataField;
        unsigned sum = byteCount + (run.offset >> 8) + (run.offset & 255);
        if (decodeBlocks(run.image + run.length, data, byteCount / 16, sum) != 0)
            break;
        const unsigned checksum = decodePair(data + 2 * byteCount);
        if (((sum + checksum) & 255) != 0 || (checksum & invalidDigit) != 0)
            break;
        run.length += byteCount;
        run.offset += byteCount;
        scan = data + 2 * byteCount + 2;
        count = locLine(scan, scan + markLookahead);
        if (!count || !blanksOnly(scan, count - 1))
            break;
        // The next record shows how far apart the records stand, and the bulk
        // of a file goes on that way: records alike stand behind the same
        // blanks as this one.
        const char* last = layRecordsAlike(record, count - 1 - record, lastTaken, run);
        if (last != record) {
            scan = last + dataField + 2 * byteCount + 2;
            count = locLine(scan, scan + markLookahead);
        }
    }
    layout.next += run.length - layout.length;
    layout.length = run.length;
    checkPlacement(layout);
    return scan;
}
