#!/usr/bin/env python3
"""Benchmark inputs, the same bytes every time: the largest legal input (a
first image of 0x7FF0 bytes, a second of 0x1F8000, image 0x200000) at 16
and 32 data bytes a record, and a small typical pair (20 KiB + 60 KiB); each
written as a linker's objcopy writes HEX (type 04 every 64 KiB, type 05 and
01 closing each file, valid checksums, CR LF). Beside each NAME.hex go
NAME-second.hex, the second file alone, and NAME.bin, the headed image
worked out from the data alone.

    python3 bench/inputs.py DIR
"""
import pathlib
import struct
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tools"))
from hexwrite import hex_file  # noqa: E402

SHAPES = {  # name: first image bytes, second image bytes, data bytes a record
    "max16": (0x7FF0, 0x1F8000, 16),
    "max32": (0x7FF0, 0x1F8000, 32),
    "typical": (20 * 1024, 60 * 1024, 16),
}


def data(size, seed):
    state, out = seed, bytearray(size)
    for i in range(size):
        state = (state * 1103515245 + 12345) % 2**31
        out[i] = state >> 16 & 0xFF
    return bytes(out)


def main(folder):
    folder.mkdir(parents=True, exist_ok=True)
    for name, (first_size, second_size, per_record) in SHAPES.items():
        first, second = data(first_size, 5), data(second_size, 9)
        second_text = hex_file(second, 0x08008000, per_record).encode("ascii")
        (folder / f"{name}.hex").write_bytes(hex_file(first, 0x08000000, per_record).encode("ascii") + second_text)
        (folder / f"{name}-second.hex").write_bytes(second_text)
        image = first + b"\xff" * (0x8000 - len(first)) + second
        header = struct.pack("<HHBBI", 0, sum(image) & 0xFFFF, 0x55, 0xAA, len(image))
        (folder / f"{name}.bin").write_bytes(header + image)


if __name__ == "__main__":
    main(pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "bench-data"))
