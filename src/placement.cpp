#include "placement.hpp"

#include "bitmap.hpp"

#include <algorithm>
#include <cstring>

void markGaps(Layout& layout, std::uint64_t from, std::uint64_t to, bool gap)
{
    layout.gapsMarked = layout.gapsMarked || (gap && from < to);
    markBits(layout.gaps, layout.gapMask, from, to, gap);
}

bool givenAny(const Layout& layout, std::uint64_t from, std::uint64_t to)
{
    // An image not placed yet spans nothing: its low and next are alike.
    for (std::uint64_t address = std::max(from, layout.low); address < std::min(to, layout.next); ++address)
        if (!bitAt(layout.gaps, layout.gapMask, address))
            return true;
    return false;
}

void forgetImageGaps(Layout& layout)
{
    if (layout.gapsMarked)
        markGaps(layout, layout.low, layout.next, false);
    layout.gapsMarked = false;
}

std::uint32_t laidStart(const Layout& layout)
{
    return layout.length - static_cast<std::uint32_t>(layout.next - layout.low);
}

void settle(Layout& layout)
{
    const std::uint32_t start = laidStart(layout), span = layout.length - start;
    std::memmove(layout.image + layout.origin, layout.image + start, span);
    layout.length = layout.origin + span;
    checkPlacement(layout);
}

void startSecondImage(Layout& layout, std::uint8_t* gapMap)
{
    std::memset(layout.image + layout.length, fillByte, segmentTwoOffset - layout.length);
    layout = {.image = layout.image, .length = segmentTwoOffset, .limit = imageCapacity, .origin = segmentTwoOffset,
              .gaps = gapMap, .gapMask = imageCapacity - 1};
    checkPlacement(layout);
}

std::uint8_t* makeRoom(Layout& layout, std::uint64_t roomEnd, std::uint64_t address, std::uint64_t low, std::uint64_t high)
{
    std::uint32_t start = laidStart(layout);
    if (address < layout.low) {
        const auto rise = static_cast<std::uint32_t>(layout.low - address);
        if (rise > start - layout.origin) {
            const std::uint64_t spare = std::min(high - low, roomEnd - layout.origin - (high - low));
            const auto raised = static_cast<std::uint32_t>(layout.origin + spare + rise);
            std::memmove(layout.image + raised, layout.image + start, layout.length - start);
            layout.length += raised - start;
            start = raised;
        }
        start -= rise;
        std::memset(layout.image + start, fillByte, rise);
        return layout.image + start;
    }
    if (layout.length + (high - layout.next) > roomEnd) {
        settle(layout);
        start = layout.origin;
    }
    if (address > layout.next)
        std::memset(layout.image + layout.length, fillByte, static_cast<std::size_t>(address - layout.next));
    return layout.image + start + (address - layout.low);
}
