// A place in the text. Included by the reader's units alone.
#pragma once

#include <cstdint>

// A place in the text that a message may name, perhaps after the window has
// moved on. Line numbers are needed only for a message: text that can be read
// again is counted only then, from its start through the buffer (whose text
// is then lost); other text is counted as it passes, and up to the place now.
struct TextPlace {
    std::uint64_t offset;
    std::uint64_t lineEnds; // in front of it, where the text can not be read again
};
