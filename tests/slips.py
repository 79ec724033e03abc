"""One slip never becomes firmware: real joined pairs are given one slip each,
as a disk, a transfer or an editor makes them (a character replaced,
deleted or inserted; a line duplicated, or swapped with the next), and
zemkar must refuse each slipped text, or make the very image of the clean
one. A whole line deleted is not tried: no reader can tell it from a gap.
Each file's first record, which follows text that is skipped, also loses
its ':', or has it replaced by another character, in every pair.

    python3 tests/slips.py ZEMKAR WORK EXAMPLE [PAIRS]

EXAMPLE is the bundled example; PAIRS, the folder where the toolchain test
leaves the pairs objcopy and python3-intelhex write (under CI it must be
there). It prints the counts of each outcome, and fails on any slip that
converts, with exit status 0, into another image."""
import concurrent.futures
import os
import pathlib
import random
import shutil
import subprocess
import sys

SLIPS_A_PAIR = 1500
# What a slip puts in: digits and letters of either case, a mark, blanks and line ends, a NUL, a byte of UTF-8.
CHARACTERS = b"0123456789ABCDEFabcdefGz:; \t\r\n\x00\xc3"

zemkar, work, example = os.path.abspath(sys.argv[1]), pathlib.Path(sys.argv[2]), pathlib.Path(sys.argv[3])
pairs = [example]
if len(sys.argv) > 4 and pathlib.Path(sys.argv[4]).is_dir():
    pairs += sorted(pathlib.Path(sys.argv[4]).glob("*.hex"))
elif os.environ.get("CI") == "true":
    sys.exit("The slip test must run on the toolchain test's pairs under CI")

shutil.rmtree(work, ignore_errors=True)
work.mkdir(parents=True)


def slip(text, rng):
    """The text with one slip, and what the slip was."""
    kind = rng.choice(["replaced", "deleted", "inserted", "duplicated", "swapped"])
    if kind in ("duplicated", "swapped"):
        lines = text.splitlines(keepends=True)
        at = rng.randrange(len(lines) - 1)
        if kind == "duplicated":
            lines.insert(at, lines[at])
            return b"".join(lines), f"line {at + 1} {kind}"
        lines[at], lines[at + 1] = lines[at + 1], lines[at]
        moved = any(line[7:9] in (b"01", b"02", b"04") for line in lines[at:at + 2])
        return b"".join(lines), f"line {at + 1} {kind}" + (" across a file's end or address" if moved else "")
    at = rng.randrange(len(text))
    if kind == "deleted":
        return text[:at] + text[at + 1:], f"character {at} deleted"
    new = bytes([rng.choice(CHARACTERS)])
    if kind == "replaced":
        return text[:at] + new + text[at + 1:], f"character {at} replaced by {new!r}"
    return text[:at] + new + text[at:], f"{new!r} inserted at {at}"


def convert(name, text):
    """The image zemkar makes of the text, or None where it refuses it."""
    source, output = work / f"{name}.hex", work / f"{name}.bin"
    source.write_bytes(text)
    output.unlink(missing_ok=True)
    done = subprocess.run([zemkar, "-r", str(source), str(output)], capture_output=True)
    if done.returncode == 0:
        return output.read_bytes()
    if done.returncode != 1 or not done.stdout or output.exists():
        sys.exit(f"{name}: exit status {done.returncode}, {done.stdout!r}, output left: {output.exists()}")
    return None


def first_records(text):
    """Where each file's first record starts: the text's first, and the first behind the first file's type 01 record."""
    first = text.index(b":")
    file_end = next(at for at in range(first, len(text)) if text[at:at + 1] == b":" and text[at + 7:at + 9] == b"01")
    return [first, text.index(b":", file_end + 1)]


def marks_lost(text):
    """Each file's first record with its ':' lost, or replaced by a character a slip puts there."""
    return [(text[:at] + new + text[at + 1:], f"the ':' of the record at {at} {'lost' if not new else f'replaced by {new!r}'}")
            for at in first_records(text) for new in (b"", b";", b"0", b"G", b" ", b"\x00")]


failed = False
for number, pair in enumerate(pairs):
    text = pair.read_bytes()
    clean = convert(f"clean{number}", text)
    assert clean is not None, f"{pair} converts"
    rng = random.Random(f"{pair.name}")
    slipped = [slip(text, rng) for _ in range(SLIPS_A_PAIR)] + marks_lost(text)
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        images = list(pool.map(lambda k: convert(f"slip{number}-{k}", slipped[k][0]), range(len(slipped))))
    refused = sum(image is None for image in images)
    same = sum(image == clean for image in images)
    changed = [what for (_, what), image in zip(slipped, images) if image is not None and image != clean]
    other = [what for what in changed if not what.endswith("across a file's end or address")]
    print(f"{pair.name}: {len(slipped)} slips: {refused} refused, {same} the same image, "
          f"{len(changed) - len(other)} a record moved across a file's end or address, {len(other)} another image"
          f" (first records' marks: {sum(image is None for image in images[SLIPS_A_PAIR:])} refused)")
    for what in other[:20]:
        print(f"  another image: {what}")
    failed |= bool(other)
if failed:
    sys.exit("A slip became another image with exit status 0")
shutil.rmtree(work)
