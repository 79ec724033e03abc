// The second image laid provisionally behind a 000004 record of the first
// file, where the text does not tell yet whether the first file goes on
// behind it, and its rejoining the first image where it does. Included by
// the reader's units alone.
#pragma once

#include "twofiles.hpp"

// The layout of an image laid from segmentTwoOffset on: the second, or a
// provisional one.
Layout secondImageLayout(const Reader& reader);

// Sets the first image aside, filled up to 0x8000, and lays what follows the
// 000004 record at `marker` from there as the second image.
void setFirstImageAside(Reader& reader, const TextPlace& marker);

// Notes what a provisional data record from `address` to `end`, about to be
// laid, would break: as the second image's first, the page-split mark; as
// the first image's, its rules (the first such record, in text order).
void noteProvisionalRecord(Reader& reader, const Record& record, std::uint64_t address, std::uint64_t end);

// How far the fast path may lay the provisional image.
void setProvisionalLimit(Reader& reader);

// The first file ends behind the provisional image, which broke none of the
// first image's rules: its data join the first image's.
void rejoinFirstImage(Reader& reader);
