#!/usr/bin/env python3
"""Writes the bundled example: a bootloader and an application, each an Intel
HEX file as a linker's objcopy writes it, joined end to end in two-images.hex;
and two-images.bin, the headed image zemkar must make of it, worked out here
from the data alone.

    python3 examples/make_example.py    # rewrites both files beside this script
"""
import pathlib
import struct
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tools"))
from hexwrite import hex_file  # noqa: E402


def firmware(size, entry, seed):
    """A vector table (stack top, then handler addresses), then code-like bytes."""
    body = bytearray(struct.pack("<I", 0x20005000))
    body += b"".join(struct.pack("<I", entry + 4 * i | 1) for i in range(47))
    state = seed
    while len(body) < size:
        state = (state * 1103515245 + 12345) % 2**31  # fixed, so the output never changes
        body.append(state >> 16 & 0xFF)
    return bytes(body[:size])


def headed_image(first, second):
    image = first + b"\xff" * (0x8000 - len(first)) + second
    return struct.pack("<HHBBI", 0, sum(image) & 0xFFFF, 0x55, 0xAA, len(image)) + image


def main():
    bootloader = firmware(0x1C4A, 0x08000100, seed=7)   # 7,242 bytes
    application = firmware(0x13A5C, 0x08008200, seed=11)  # 80,476 bytes, past a 64 KiB boundary
    # Thumb code: the start address in each type 05 record has its low bit set.
    text = hex_file(bootloader, 0x08000000, start=0x08000001) + hex_file(application, 0x08008000, start=0x08008001)
    (HERE / "two-images.hex").write_bytes(text.encode("ascii"))
    (HERE / "two-images.bin").write_bytes(headed_image(bootloader, application))


if __name__ == "__main__":
    main()
