#!/usr/bin/env python3
"""Benchmark inputs, the same bytes every time: the largest legal input (a
first image of 0x7FF0 bytes, a second of 0x1F8000, image 0x200000) at 16
and 32 data bytes a record, a small typical pair (20 KiB + 60 KiB) and a sweep
of sizes from about 10 KB to the largest for the cost curve; each
written as a linker's objcopy writes HEX (type 04 every 64 KiB, type 05 and
01 closing each file, valid checksums, CR LF). Beside each NAME.hex go
NAME-second.hex, the second file alone, NAME-whole.hex, all the data
records as one file, and NAME.bin, the headed image worked out from the
data alone. typical-reversed.hex is the typical pair with the 60 KiB file's
data records in reverse order, as some toolchains write them; its image is
typical.bin.

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

# The cost curve: inputs from about 10 KB to the largest, 16 bytes a record.
SWEEP = {
    "sweep-10k": (1024, 2560, 16),
    "sweep-30k": (3 * 1024, 7 * 1024, 16),
    "sweep-100k": (8 * 1024, 27 * 1024, 16),
    "sweep-300k": (0x7FF0, 72 * 1024, 16),
    "sweep-1m": (0x7FF0, 330 * 1024, 16),
    "sweep-2m": (0x7FF0, 700 * 1024, 16),
    "sweep-4m": (0x7FF0, 1400 * 1024, 16),
    "max16": SHAPES["max16"],
}


def data(size, seed):
    state, out = seed, bytearray(size)
    for i in range(size):
        state = (state * 1103515245 + 12345) % 2**31
        out[i] = state >> 16 & 0xFF
    return bytes(out)


def reversed_records(text):
    """The text with each stretch of data records between other records in reverse order."""
    lines, stretch = [], []
    for line in text.splitlines(keepends=True) + [b""]:
        if line[7:9] == b"00":
            stretch.append(line)
            continue
        lines += stretch[::-1] + [line]
        stretch = []
    return b"".join(lines)


def main(folder):
    folder.mkdir(parents=True, exist_ok=True)
    # The sweep's data are cut from the largest input's, made once.
    first_all, second_all = data(0x7FF0, 5), data(0x1F8000, 9)
    for name, (first_size, second_size, per_record) in {**SHAPES, **SWEEP}.items():
        first, second = first_all[:first_size], second_all[:second_size]
        first_text = hex_file(first, 0x08000000, per_record).encode("ascii")
        second_text = hex_file(second, 0x08008000, per_record).encode("ascii")
        (folder / f"{name}.hex").write_bytes(first_text + second_text)
        (folder / f"{name}-second.hex").write_bytes(second_text)
        # The same records as one file, for a general converter: the first
        # file without the start address and end-of-file records that close it.
        first_records = first_text[:first_text.rindex(b":04000005")]
        (folder / f"{name}-whole.hex").write_bytes(first_records + second_text)
        image = first + b"\xff" * (0x8000 - len(first)) + second
        header = struct.pack("<HHBBI", 0, sum(image) & 0xFFFF, 0x55, 0xAA, len(image))
        (folder / f"{name}.bin").write_bytes(header + image)
        if name == "typical":
            (folder / "typical-reversed.hex").write_bytes(first_text + reversed_records(second_text))
            (folder / "typical-reversed.bin").write_bytes(header + image)


if __name__ == "__main__":
    main(pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "bench-data"))
