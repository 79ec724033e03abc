#!/usr/bin/env python3
"""Writes the fuzzer's seed corpus into fuzz/corpus: small two-image texts of
the shapes real builds produce, and the edge cases around them.

    python3 fuzz/make_corpus.py
"""
import pathlib
import random
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tools"))
from hexwrite import hex_file, record  # noqa: E402


def mixed_records(payload, address, count):
    """Records of 48, 32 and 16 bytes in turn from address on, every fourth
    without a line end, gaps of changing width."""
    text = ""
    for k in range(count):
        data = payload[:16 * (3 - k % 3)]
        line = record(0, address & 0xFFFF, data)
        text += line[:-2] if k % 4 == 1 else line[:-2] + " " * (k * 7 % 25) + "\r\n"
        address += len(data)
    return text


def bad_sum(text, head):
    """The text with the checksum of the record that starts with head one off."""
    at = text.index("\r\n", text.index(head)) - 1
    return text[:at] + "0123456789ABCDEF0"["0123456789ABCDEF".index(text[at].upper()) + 1] + text[at + 1:]


def reordered(text, reorder):
    """The text with each stretch of data records between other records put in
    another order by reorder, which reorders a list in place."""
    lines, stretch = [], []
    for line in text.splitlines(keepends=True) + [""]:
        if line[7:9] == "00":
            stretch.append(line)
            continue
        reorder(stretch)
        lines += stretch + [line]
        stretch = []
    return "".join(lines)


def data_records(data, address=0):
    return "".join(record(0, address + offset & 0xFFFF, data[offset:offset + 16]) for offset in range(0, len(data), 16))


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
        "mixed": hex_file(first, 0x08000000).replace(":04000005", mixed_records(second, 0x0200, 24) + ":04000005", 1)
        + hex_file(second, 0x08008000),
        # An end marker as long as the data records, at the same stride.
        "markers-alike": record(4, 0, b"\x08\x00") + data_records(first) + record(4, 0, b"\x08\x00")
        + data_records(second) + record(5, 0, bytes(16)),
        # Gaps amid runs of records, and across 64 KiB, filled with 0xFF.
        "gaps": record(4, 0, b"\x08\x00") + data_records(first[:256]) + data_records(first[256:], 0x0110)
        + record(4, 0, b"\x08\x00") + data_records(second[:256], 0xFF00) + record(4, 0, b"\x08\x01")
        + data_records(second[:64], 0x0010) + record(5, 0, b"\x08\x00\x00\x00"),
        "step-back": record(4, 0, b"\x08\x00") + data_records(first) + data_records(first[:16], 0x01F8)
        + record(4, 0, b"\x08\x00") + record(5, 0, b"\0\0\0\0"),
        # A first file across 64 KiB: its own type 04 record reads 000004.
        "page-change": hex_file(first, 0x0800FF00) + hex_file(second, 0x08010100),
        "segment-addresses": record(2, 0, b"\x10\x00") + data_records(first[:256], 0xFF00) + record(2, 0, b"\x20\x00")
        + data_records(first, 0x0100) + hex_file(second, 0x08008000),
        "both-at-zero": hex_file(first, 0) + hex_file(second, 0),
        # Files told apart by the first one's type 01 record: a first file
        # across 64 KiB whose data behind its own 000004 record rejoin the
        # first image, one with a dangling type 04 record, start records
        # first, flash at address 0 (no type 04 record), three files, and a
        # second file without its end.
        "rejoin": hex_file(first, 0x0800FF00) + hex_file(second, 0x08008000),
        "rejoin-gap": record(4, 0, b"\x08\x00") + data_records(first[:64], 0xFFC0) + record(4, 0, b"\x08\x01")
        + data_records(first[:64], 0x0040) + record(1, 0, b"") + hex_file(second, 0x08008000),
        "dangling": hex_file(first, 0x08000000).replace(":04000005", record(4, 0, b"\x08\x01") + ":04000005", 1)
        + hex_file(second, 0x08008000),
        "start-first": (record(5, 0, b"\x08\x00\x00\x00") + hex_file(first, 0x08000000)).replace(record(5, 0, b"\x08\x00\x00\x00") + record(1, 0, b""), record(1, 0, b""))
        + record(5, 0, b"\x08\x00\x80\x00") + hex_file(second, 0x08008000).replace(record(5, 0, b"\x08\x00\x80\x00"), ""),
        "flash-at-0": data_records(first) + record(3, 0, b"\0\0\0\0") + record(1, 0, b"") + data_records(second, 0x8000)
        + record(1, 0, b""),
        "three-files": joined + hex_file(first, 0x08000000),
        "second-unended": hex_file(first, 0x08000000) + record(4, 0, b"\x08\x00") + data_records(second, 0x8000),
        # Wrong checksums: on a data record amid a run, on a type 04 and on a
        # type 01 record that ends the first file; lower case.
        "bad-checksum": bad_sum(joined, ":10010000"),
        "bad-checksum-04": bad_sum(joined, ":020000040800"),
        "bad-checksum-01": bad_sum(joined, ":00000001"),
        "bad-checksum-lower": bad_sum(joined.lower(), ":10011000"),
        # Inputs that are plainly no HEX text.
        "utf-16": "\ufeff" + joined[:600],
        "elf": "\x7fELF\x01\x01\x01" + "\0" * 9 + ":",
        "uf2": "UF2\nWQ]\x9e" + joined[:200],
        "s-records": "S00600004844521B\r\nS1130000285F245F2212226A000424290008237C2A\r\nS9030000FC\r\n",
        # A record mark among the characters between two records.
        "stray-mark": joined.replace("\r\n:10013000", ":\n:10013000"),
        "cut-short": joined[: len(joined) // 2],
        "bad-digit": joined.replace(":10", ":1G", 1),
        # One slip each: a lost ':', a hit type digit, a start record among
        # the second file's data, a comment line amid a file.
        "lost-mark": joined.replace("\r\n:10013000", "\r\n10013000"),
        "type-hit": joined.replace(":10013000", ":10013007"),
        "start-amid-second": hex_file(first, 0x08000000) + hex_file(second, 0x08008000).replace(
            ":10820000", record(5, 0, b"\x08\x00\x80\x00") + ":10820000", 1),
        "text-amid": joined.replace("\r\n:10013000", "\r\n; a comment\r\n:10013000"),
        # Records in any address order: shuffled, reversed, a provisional
        # image that rejoins below and amid the first image's records, and
        # one byte given twice.
        "shuffled": reordered(joined, random.Random(1).shuffle),
        "shuffled-across": reordered(hex_file(first, 0x0800FF00) + hex_file(second, 0x0800FF80), random.Random(2).shuffle),
        "reversed": reordered(joined, list.reverse),
        "rejoin-below": record(4, 0, b"\x08\x00") + data_records(first[:64], 0x0100) + data_records(first[:32], 0x0180)
        + record(4, 0, b"\x08\x00") + data_records(second[:64]) + data_records(second[:16], 0x0160) + record(1, 0, b"")
        + hex_file(second, 0x08008000),
        "overlap": joined.replace(":10013000", record(0, 0x012F, b"\x01") + ":10013000", 1),
        # Each file's first record without its mark, in skipped text: lost,
        # and a '0' for it behind a comment line.
        "first-marks-lost": hex_file(first, 0)[1:] + "; boot\r\n0" + hex_file(second, 0x8000)[1:],

    }
    folder = HERE / "corpus"
    folder.mkdir(exist_ok=True)
    for name, text in seeds.items():
        (folder / name).write_bytes(text.encode("utf-16-le" if name == "utf-16" else "utf-8"))
    # A first file saved as UTF-16 by an editor, joined to an ASCII second.
    (folder / "utf-16-first").write_bytes(("\ufeff" + hex_file(first, 0x08000000)).encode("utf-16-le")
                                          + hex_file(second, 0x08008000).encode())


if __name__ == "__main__":
    main()
