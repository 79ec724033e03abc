#!/usr/bin/env python3
"""Writes the fuzzer's seed corpus into fuzz/corpus: small two-image texts of
the shapes real builds produce, and the edge cases around them.

    python3 fuzz/make_corpus.py
"""
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tools"))
from hexwrite import hex_file, record  # noqa: E402


def mixed_record(k, payload):
    text = record(0, 0, payload[:16 * (3 - k % 3)])
    return text[:-4] if k % 4 == 1 else text[:-2] + " " * (k * 7 % 25) + "\r\n"


def data_records(data):
    return "".join(record(0, offset, data[offset:offset + 16]) for offset in range(0, len(data), 16))


def main():
    # Long enough that most records are read by the fast path, which needs
    # a few hundred characters ahead of it.
    first, second = bytes(range(256)) * 2, bytes(range(255, -1, -1)) * 4
    joined = hex_file(first, 0x08000000) + hex_file(second, 0x08008000)
    seeds = {
        "joined": joined,
        "joined-lf": joined.replace("\r\n", "\n"),
        "joined-no-line-ends": joined.replace("\r\n", ""),
        "joined-lower": hex_file(first, 0x08000000, case=str.lower)
        + hex_file(second, 0x08008000, case=str.lower),
        "joined-32-a-record": hex_file(first, 0x08000000, 32) + hex_file(second, 0x08008000, 32),
        "joined-255-a-record": (hex_file(first, 0x08000000, 255) + hex_file(second, 0x08008000, 255)).replace("\r\n", ""),
        "both-empty": hex_file(b"", 0x08000000) + hex_file(b"", 0x08008000),
        "first-record-data": record(0, 0, b"\x01\x02") + record(4, 0, b"\x08\x00") + record(0, 0, b"\x03")
        + record(5, 0, b"\x08\x00\x00\x00"),
        "other-records": record(4, 0, b"\x08\x00") + record(2, 0, b"\x10\x00") + record(3, 0, b"\0\0\0\0")
        + record(5, 0, b"\0\0\0\0") + record(0, 0, b"") + record(4, 0, b"\x08\x00") + record(4, 0, b"\x08\x01")
        + record(1, 0, b"") + record(0, 0, b"\xAB") + record(5, 0, b"\0\0\0\0"),
        "text-before": "\ufeff\r\n\r\n" + joined,
        # Records of 48, 32 and 16 bytes in turn, every fourth without checksum
        # or line end, gaps of changing width.
        "mixed": hex_file(first, 0x08000000) + "".join(mixed_record(k, second) for k in range(24))
        + hex_file(second, 0x08008000),
        # End markers as long as the data records, at the same stride.
        "markers-alike": record(4, 0, b"\x08\x00") + data_records(first) + record(4, 0, bytes(16))
        + data_records(second) + record(5, 0, bytes(16)),
        # A record mark among the characters between two records.
        "stray-mark": joined.replace("\r\n:10013000", ":\n:10013000"),
        "cut-short": joined[: len(joined) // 2],
        "bad-digit": joined.replace(":10", ":1G", 1),
    }
    folder = HERE / "corpus"
    folder.mkdir(exist_ok=True)
    for name, text in seeds.items():
        (folder / name).write_bytes(text.encode("utf-8"))


if __name__ == "__main__":
    main()
