// The text in hand: the input is read a window at a time, records are found
// in it, and places in it are named by their lines. Included by the
// reader's units alone.
#pragma once

#include "record.hpp"
#include "textplace.hpp"

#include <cstdint>
#include <cstdio>
#include <optional>

// The part of the input in the buffer, and what is known of the rest. Counts
// of characters and line feeds are 64 bits wide on every platform: an input
// may be larger than 4 GiB.
struct Window {
    std::FILE* in;
    char* start;                   // the buffer, textBufferSize characters
    const char* end;               // end of the text in it
    bool more;                     // whether the input may hold more text
    bool rereadable;               // whether lines are counted by reading the input again
    std::uint64_t passed = 0;      // characters moved out of the buffer
    std::uint64_t linesPassed = 0; // line feeds among them, where counted as they pass
    char opening[4] = {};          // the text's first characters, which tell some other formats
    std::size_t openingLength = 0;
    int readError = 0;             // errno of the first read, or rewind, of the input that failed
    std::optional<TextPlace> counted{}; // where counting lines again stopped, the input read up to there
};

TextPlace placeOf(const Window& window, const char* at);

// The line feeds in front of the place; 0 where reading the text again fails
// (window.readError then says why). Reading again goes on from the last
// place counted, where this one stands behind it.
std::uint64_t lineEndsBefore(Window& window, const TextPlace& place);

// The next record mark at or after scan, with as much of its record in the
// buffer as the reader may need; nullptr where the text ends first. Where
// `stray` is given, the first character on the way that is no blank (space,
// tab, CR, LF) is placed in it. Where `lostMark` is given, the text passed is
// skipped text, scan a line's start, and the first line of it that is a whole
// record but for its ':' (isRecordWithoutMark) is placed in it: its start.
// Where `sRecords` is given, the text passed is looked at for S-record lines.
const char* findRecord(Window& window, const char* scan, std::optional<TextPlace>* stray = nullptr,
                       std::optional<TextPlace>* lostMark = nullptr, bool* sRecords = nullptr);

// What the input is, where it is plainly no HEX text: its first characters
// tell a UTF-16 text, an ELF file or a UF2 file; lines starting with S0 to
// S9, and no record mark, S-records. Fault::none where it may be HEX text.
Fault nameInput(const Window& window, bool sRecords);
