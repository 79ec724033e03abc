#!/usr/bin/env python3
"""Writes the bundled example: a bootloader and an application, each an Intel
HEX file as a linker's objcopy writes it, joined end to end in two-images.hex;
and two-images.bin, the headed image zemkar must make of it, worked out here
from the data alone.

    python3 examples/make_example.py    # rewrites both files beside this script
"""
import pathlib
import struct

HERE = pathlib.Path(__file__).resolve().parent


def firmware(size, entry, seed):
    """A vector table (stack top, then handler addresses), then code-like bytes."""
    body = bytearray(struct.pack("<I", 0x20005000))
    body += b"".join(struct.pack("<I", entry + 4 * i | 1) for i in range(47))
    state = seed
    while len(body) < size:
        state = (state * 1103515245 + 12345) % 2**31  # fixed, so the output never changes
        body.append(state >> 16 & 0xFF)
    return bytes(body[:size])


def record(rtype, address, data):
    fields = bytes([len(data), address >> 8 & 0xFF, address & 0xFF, rtype]) + data
    checksum = -sum(fields) & 0xFF
    return ":" + fields.hex().upper() + f"{checksum:02X}\r\n"


def hex_file(data, base):
    """Type 04 before each 64 KiB, 16-byte data records, then type 05 and 01."""
    lines, upper = [], None
    for offset in range(0, len(data), 16):
        address = base + offset
        if address >> 16 != upper:
            upper = address >> 16
            lines.append(record(0x04, 0, struct.pack(">H", upper)))
        lines.append(record(0x00, address & 0xFFFF, data[offset:offset + 16]))
    lines.append(record(0x05, 0, struct.pack(">I", base | 1)))
    lines.append(record(0x01, 0, b""))
    return "".join(lines)


def headed_image(first, second):
    image = first + b"\xff" * (0x8000 - len(first)) + second
    return struct.pack("<HHBBI", 0, sum(image) & 0xFFFF, 0x55, 0xAA, len(image)) + image


def main():
    bootloader = firmware(0x1C4A, 0x08000100, seed=7)   # 7,242 bytes
    application = firmware(0x13A5C, 0x08008200, seed=11)  # 80,476 bytes, past a 64 KiB boundary
    text = hex_file(bootloader, 0x08000000) + hex_file(application, 0x08008000)
    (HERE / "two-images.hex").write_bytes(text.encode("ascii"))
    (HERE / "two-images.bin").write_bytes(headed_image(bootloader, application))


if __name__ == "__main__":
    main()
