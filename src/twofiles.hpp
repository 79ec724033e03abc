// The two-file rules: where the first file ends and the second starts, where
// the image ends, and the second image laid provisionally where the text
// does not tell yet. Included by the reader's units alone.
#pragma once

#include "layout.hpp"
#include "leftout.hpp"
#include "mapnotes.hpp"
#include "provisional.hpp"
#include "window.hpp"

#include <span>

// Where the reader stands in the text; LeftOutRange's notes go by it.
enum class Part {
    firstFile,   // the first file, in front of any 000004 record
    provisional, // behind a 000004 record of the first file: the second image, unless an
                 // end-of-file record with a record behind it shows the data were the first file's
    secondFile,  // behind the end-of-file record that ends the first file
};

// What the reader carries from record to record.
struct Reader {
    Window window;
    Layout layout;
    char* message;
    std::uint8_t* gapMap; // the second image's gap map (the first's stands behind it)
    Part part = Part::firstFile;
    std::uint32_t upper = 0;     // the file's upper address, from its last type 02 or 04 record
    Provisional provisional{};   // the provisional image's state, while part is provisional
    TextPlace secondFile{};      // the second file's first record
    std::optional<std::uint64_t> firstStart{}; // the first image's, once it is set aside or done
    std::span<LeftOutRange> leftOut{};         // the ranges whose bytes are not laid
    MapNotes* map = nullptr;                   // where a map is asked for: what each part gave
    TextPlace lastRecord{};                    // where a map is asked for: the last record read
};

// Reads the records from the text's first, at `mark`, up to the end of the
// image; false, with the message written, where the text is refused.
bool readImages(Reader& reader, const char* mark);

// Clears the gap bits the reader set, so that the map is all zero again.
void forgetGaps(Reader& reader);
