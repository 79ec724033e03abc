#include "leftout.hpp"

#include <algorithm>
#include <limits>

std::size_t keepPieces(std::span<const LeftOutRange> leftOut, std::uint64_t address, std::uint64_t end, AddressSpan* kept)
{
    const auto holds = [&](const LeftOutRange& range) { return range.first < end && range.last >= address; };
    if (std::none_of(leftOut.begin(), leftOut.end(), holds)) {
        kept[0] = {address, end};
        return 1;
    }
    // Which of the record's bytes a range holds, by their offset in the record.
    bool held[255] = {};
    for (const LeftOutRange& range : leftOut)
        if (holds(range))
            std::fill(held + (std::max(range.first, address) - address), held + (std::min(range.last + 1, end) - address), true);
    std::size_t pieces = 0;
    const auto count = static_cast<std::size_t>(end - address);
    for (std::size_t at = 0; at != count;) {
        if (held[at]) {
            ++at;
            continue;
        }
        const std::size_t from = at;
        while (at != count && !held[at])
            ++at;
        kept[pieces++] = {address + from, address + at};
    }
    return pieces;
}

void noteLeftOut(std::span<LeftOutRange> leftOut, std::uint64_t address, std::uint64_t end, std::size_t part,
                 const TextPlace& place)
{
    for (LeftOutRange& range : leftOut) {
        const std::uint64_t from = std::max(range.first, address), to = std::min(range.last + 1, end);
        if (from >= to)
            continue;
        range.low = range.bytes == 0 ? from : std::min(range.low, from);
        range.high = range.bytes == 0 ? to - 1 : std::max(range.high, to - 1);
        range.bytes += to - from;
        if (!range.from[part])
            range.from[part] = place;
        range.to[part] = place;
    }
}

void joinLeftOutNotes(std::span<LeftOutRange> leftOut, std::size_t into, std::size_t from)
{
    for (LeftOutRange& range : leftOut) {
        if (!range.from[from])
            continue;
        if (!range.from[into])
            range.from[into] = range.from[from];
        range.to[into] = range.to[from];
        range.from[from].reset();
        range.to[from].reset();
    }
}

std::uint32_t leftOutLimit(std::span<const LeftOutRange> leftOut, const Layout& layout)
{
    std::uint64_t room = std::numeric_limits<std::uint32_t>::max();
    for (const LeftOutRange& range : leftOut)
        if (range.last >= layout.next)
            room = std::min(room, range.first > layout.next ? range.first - layout.next : 0);
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(layout.length + room, std::numeric_limits<std::uint32_t>::max()));
}
