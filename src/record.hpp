// One record of the text, read whole, and the faults the reader names.
// Included by the reader's units alone.
#pragma once

#include "hexread.hpp"

#include <cstddef>
#include <cstdint>

// A record's fields, by where they start behind its mark ':'.
inline constexpr std::ptrdiff_t countField = 1;   // byte count, two digits
inline constexpr std::ptrdiff_t addressField = 3; // load address, four digits
inline constexpr std::ptrdiff_t typeField = 7;    // record type, two digits
inline constexpr std::ptrdiff_t dataField = 9;    // data, two digits a byte, then the checksum's two
inline constexpr std::ptrdiff_t recordHeadLength = dataField;

// What a record is, told by its type: data (00), end of file (01), an
// address record (02, 04: the upper address of the data records behind it),
// a start address (03, 05), or any other.
enum class Kind { data, endOfFile, address, start, other };

// A record whose head has been read: its fields decoded, its data and
// checksum digits in the text, not yet read.
struct Record {
    const char* mark;
    Kind kind;
    unsigned count;   // data bytes
    unsigned address; // the four address digits' value
    unsigned type;
    const char* data; // the first data digit
    const char* end;  // behind the checksum
};

// Its address and type read "000004" (the upper address 0000) or "000005"
// (a start address): the records that divide files joined without their
// end-of-file records.
inline bool isMarker(const Record& record)
{
    return record.address == 0 && (record.type == 4 || record.type == 5);
}

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

// Reads the head of the record whose mark stands at `mark`, the text ending
// at `end`, into `record`. The checks come in one fixed order, the first
// that fails naming the fault: the head is all there (cutShort), its count,
// address and type are hex digits (badDigit), an address record has 2 data
// bytes (addressCount), its data and checksum are all there (cutShort).
Fault readHead(const char* mark, const char* end, Record& record);

// Whether the closing run of hex digits of a line of skipped text, `length`
// digits at `digits`, is a whole record that lost its mark: of its last even
// number of digits, at least a record's head and checksum, as many as its
// byte count calls for, its bytes adding up to 0 modulo 256.
bool isRecordWithoutMark(const char* digits, std::size_t length);

// Then the rest: decodes the record's data into dest (count bytes of room)
// and checks that its digits are hex digits (badDigit) and that all its
// bytes add up to 0 modulo 256 (badChecksum). A data record is placed in
// between, so that its data are decoded where they belong.
Fault readData(const Record& record, std::uint8_t* dest);
