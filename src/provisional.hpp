// The second image laid provisionally behind a 000004 record of the first
// file, where the text does not tell yet whether the first file goes on
// behind it, and its rejoining the first image where it does. Its state is
// its own: the two-file rules hold it, these functions alone write it.
// Included by the reader's units alone.
#pragma once

#include "fault.hpp"
#include "layout.hpp"
#include "textplace.hpp"
#include "window.hpp"

#include <cstdint>
#include <optional>

// A fault of the provisional image that counts only once the reader knows
// what that image was.
struct Deferred {
    Fault fault = Fault::none;
    TextPlace place{};
    Reach reach{};
};

// What the provisional image needs kept until the text shows what it was.
struct Provisional {
    Layout first{};         // the first image, set aside while the provisional one is laid
    TextPlace marker{};     // the 000004 record that began the provisional image
    Deferred rejoinFault{}; // raised where the provisional data rejoin the first image
    Deferred pageSplit{};   // raised where the provisional image ends as the second image
};

// Sets the first image, `layout`, aside, and starts the provisional image
// there, behind the 000004 record at `marker`, with the second image's gap map.
void setFirstImageAside(Provisional& provisional, Layout& layout, std::uint8_t* gapMap, const TextPlace& marker);

// Notes what a provisional data record from `address` to `end`, its mark at
// `mark`, about to be laid in `laid`, would break: as the second image's
// first, the page-split mark; as the first image's, its rules (the first
// such record, in text order).
void noteProvisionalRecord(Provisional& provisional, const Layout& laid, const Window& window, const char* mark,
                           std::uint64_t address, std::uint64_t end);

// How far the fast path may lay the provisional image, `laid`.
void setProvisionalLimit(const Provisional& provisional, Layout& laid);

// The first file ends behind the provisional image, `layout`, which broke
// none of the first image's rules: its data join the first image's, which
// `layout` then is. Returns where the joined image's data start.
std::optional<std::uint64_t> rejoinFirstImage(const Provisional& provisional, Layout& layout);
