"""Intel HEX as linkers write it, for the scripts that make the example, the
benchmark inputs and the fuzzer's seeds: a type 04 record before each 64 KiB,
data records, then the type 05 and 01 records that close the file; CR LF."""
import struct


def record(rtype, address, payload, case=str.upper):
    fields = bytes([len(payload), address >> 8 & 0xFF, address & 0xFF, rtype]) + payload
    return ":" + case(fields.hex() + f"{-sum(fields) & 0xFF:02X}") + "\r\n"


def hex_file(payload, base, per_record=16, start=None, case=str.upper):
    """One file; `start` goes in its type 05 record (the base by default)."""
    lines, upper = [], None
    for offset in range(0, len(payload), per_record) or [0]:
        address = base + offset
        if address >> 16 != upper:
            upper = address >> 16
            lines.append(record(0x04, 0, struct.pack(">H", upper), case))
        if offset < len(payload):
            lines.append(record(0x00, address & 0xFFFF, payload[offset:offset + per_record], case))
    lines.append(record(0x05, 0, struct.pack(">I", base if start is None else start), case))
    lines.append(record(0x01, 0, b"", case))
    return "".join(lines)
