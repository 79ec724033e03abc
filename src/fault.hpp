// Every way the reader refuses a text, and its message. Included by the
// reader's units alone.
#pragma once

#include "constants.hpp"

#include <cstdint>

// Every way the reader refuses a text, in the order of the message table.
enum class Fault {
    none,
    noRecord,
    utf16,
    elf,
    uf2,
    sRecords,
    noFirstImageEnd,
    noSecondImageEnd,
    noSecondFileEnd,
    thirdFile,
    cutShort,
    badDigit,
    badChecksum,
    textOutside,
    lostMark,
    addressCount,
    overlap,
    recordBehindImageEnd,
    pageSplit,
    firstImageTooLong,
    imageTooLong,
};

// A record that takes an image past its limit: its address, and the address
// at which its image starts.
struct Reach {
    std::uint64_t record = 0;
    std::uint64_t imageStart = 0;
};

// Writes the fault's message into message (faultMessageSize characters): at
// `line`, where the fault names one; at `fileLine` of the second file, where
// it is not 0 and the fault is a record's; with the reach, where the fault
// is an image's limit.
void writeFault(char* message, Fault fault, std::uint64_t line = 0, std::uint64_t fileLine = 0, Reach reach = {});
