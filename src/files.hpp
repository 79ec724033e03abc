// The input and the output file: the input opened, the outputs that are
// refused, the image written. Each failure ends the run with its message
// (fail.hpp). Included by the program's units alone.
#pragma once

#include "fail.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <sys/types.h>

// Opens the input in binary mode, so every platform sees the same bytes: no
// line-end translation, no end of file at a Ctrl-Z. `size` gets the input's
// size where it is a regular file, or -1 where it can only be known by
// reading it (a pipe).
std::FILE* openInput(const char* name, off_t& size);

// An output that is the input itself, by name, hard link or symbolic link,
// would lose the input to the image: it is refused before anything is read
// or written.
void refuseInputAsOutput(std::FILE* in, const char* outputName);

// An output that holds Intel HEX text is a source file given in the wrong
// place (two inputs typed and the output forgotten): it is not written over.
void refuseHexOutput(const char* name);

// Writes the image, complete, to the output: made where missing, written over
// and cut to the image's length where it exists; a failed write removes what
// it left of a file of ours.
void writeImage(const char* name, const std::uint8_t* bytes, std::size_t size);
