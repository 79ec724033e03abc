// One record of the text, read whole, and the faults the reader names.
// Included by the reader's units alone.
#pragma once

#include "constants.hpp"
#include "fault.hpp"

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
