#include "provisional.hpp"

#include "placement.hpp"

#include <algorithm>
#include <cstring>

void setFirstImageAside(Provisional& provisional, Layout& layout, std::uint8_t* gapMap, const TextPlace& marker)
{
    settle(layout);
    provisional.first = layout;
    provisional.marker = marker;
    startSecondImage(layout, gapMap);
}

void noteProvisionalRecord(Provisional& provisional, const Layout& laid, const Window& window, const char* mark,
                           std::uint64_t address, std::uint64_t end)
{
    const Layout& first = provisional.first;
    // A first file across 64 KiB holds a 000004 record of its own: its data
    // go on exactly where the first image ends.
    if (!laid.placed && first.placed && first.length < segmentTwoOffset && address == first.next)
        provisional.pageSplit = {Fault::pageSplit, provisional.marker};
    if (provisional.rejoinFault.fault != Fault::none)
        return;
    // As the first image's, it overlaps the first image's records, or the two then span past 0x8000.
    if (givenAny(first, address, end)) {
        provisional.rejoinFault = {Fault::overlap, placeOf(window, mark)};
        return;
    }
    // Where the two start, before this record, and where they end with it.
    std::uint64_t start = first.placed || laid.placed ? ~std::uint64_t{0} : address, high = end;
    for (const Layout* image : {&first, &laid})
        if (image->placed) {
            start = std::min(start, image->low);
            high = std::max(high, image->next);
        }
    if (high - std::min(start, address) > segmentTwoOffset)
        provisional.rejoinFault = {Fault::firstImageTooLong, placeOf(window, mark), {address, start}};
}

// Not up to the first image's records, nor past where the two would span
// 0x8000, as long as those rules may still count: the general loop notes the
// record that breaks them.
void setProvisionalLimit(const Provisional& provisional, Layout& layout)
{
    const Layout& first = provisional.first;
    std::uint64_t room = imageCapacity - layout.length;
    if (provisional.rejoinFault.fault == Fault::none) {
        const std::uint64_t start = first.placed ? std::min(first.low, layout.low) : layout.low;
        room = std::min(room, start + segmentTwoOffset - layout.next);
        if (first.placed && layout.next < first.next)
            room = layout.next < first.low ? std::min(room, first.low - layout.next) : 0;
    }
    layout.limit = layout.length + static_cast<std::uint32_t>(room);
}

// The first image's bytes move up where the provisional ones go lower. Where
// one gives a byte the other holds 0xFF there (no provisional record
// overlaps the first image's, and the fill up to 0x8000 is there since the
// provisional image began), so the two join byte by byte as one AND the other.
static_assert(fillByte == 0xFF, "the join takes a byte as one image's AND the other's: the fill must change no byte");

std::optional<std::uint64_t> rejoinFirstImage(const Provisional& provisional, Layout& layout)
{
    const Layout& first = provisional.first;
    if (!layout.placed) {
        layout.length = first.length;
        return startOf(first);
    }
    settle(layout);
    std::uint64_t start = layout.low, end = layout.next;
    if (first.placed) {
        if (first.low > start) {
            const auto rise = static_cast<std::uint32_t>(first.low - start);
            std::memmove(layout.image + rise, layout.image, first.length);
            std::memset(layout.image, fillByte, rise);
        }
        start = std::min(start, first.low);
        end = std::max(end, first.next);
    }
    std::uint8_t* const joined = layout.image + (layout.low - start);
    const std::uint8_t* const laid = layout.image + segmentTwoOffset;
    for (std::uint32_t at = 0; at < layout.length - segmentTwoOffset; ++at)
        joined[at] &= laid[at];
    layout.length = static_cast<std::uint32_t>(end - start);
    return start;
}
