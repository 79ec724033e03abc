#include "mapnotes.hpp"

#include "bitmap.hpp"

#include <algorithm>
#include <utility>

namespace {

constexpr std::uint64_t bitMask = imageCapacity - 1;

// The first address from `address` on, below `end`, whose bit is `set`; or end.
std::uint64_t findBit(const std::uint8_t* given, std::uint64_t address, std::uint64_t end, bool set)
{
    const std::uint8_t skipped = set ? 0x00 : 0xFF;
    while (address < end) {
        const std::uint64_t bit = address & bitMask;
        // Eight bytes of a kind at once, from a byte's first bit on.
        if (bit % 8 == 0 && end - address >= 8 && given[bit / 8] == skipped)
            address += 8;
        else if (bitAt(given, bitMask, address) == set)
            return address;
        else
            ++address;
    }
    return end;
}

} // namespace

void noteGiven(MapNotes& notes, std::size_t part, std::uint64_t from, std::uint64_t to)
{
    if (from >= to)
        return;
    markBits(notes.given[part], bitMask, from, to, true);
    notes.low[part] = notes.any[part] ? std::min(notes.low[part], from) : from;
    notes.high[part] = notes.any[part] ? std::max(notes.high[part], to) : to;
    notes.any[part] = true;
}

void finishMapNotes(MapNotes& notes)
{
    if (notes.byMarkers)
        return;
    // The provisional image's data, as far as they kept the first image's rules, join the first image's.
    std::uint64_t first = 0, past = 0;
    if (notes.firstFileWentOn)
        for (std::uint64_t address = notes.low[provisionalAsFirst];
             nextGivenRun(notes, provisionalAsFirst, address, notes.high[provisionalAsFirst], first, past); address = past)
            noteGiven(notes, 0, first, past);
    std::swap(notes.given[1], notes.given[2]);
    notes.low[1] = notes.low[2];
    notes.high[1] = notes.high[2];
    notes.any[1] = notes.any[2];
    notes.any[2] = false;
}

bool nextGivenRun(const MapNotes& notes, std::size_t part, std::uint64_t address, std::uint64_t end, std::uint64_t& first,
                  std::uint64_t& past)
{
    if (!notes.any[part])
        return false;
    first = findBit(notes.given[part], address, end, true);
    past = findBit(notes.given[part], first, end, false);
    return first < end;
}
