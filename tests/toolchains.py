"""HEX files as the tools firmware engineers use write them, joined in pairs
and converted by zemkar; each image is compared with one made without zemkar
(objcopy's binary of each program, gaps filled with 0xFF, or python3-intelhex's
reading of each file). Run by CTest with Debian's python3, which has
python3-intelhex:

    /usr/bin/python3 tests/toolchains.py ZEMKAR WORK [PAIRS]

With PAIRS, a folder, it leaves four of the joined pairs there for the
slip test (objcopy for flash at 0 and at 0x08000000, python3-intelhex, sdcc).

Writers: arm-none-eabi-objcopy for parts with flash at 0 (no extended address
record below 64 KiB, type 02 records past it, the start address as type 03)
and at 0x08000000 (type 04 and 05 records), srec_cat, python3-intelhex (the
start record first), avr-objcopy and sdcc (8051 programs as .ihx, whose
records stand out of address order). Without them the test is skipped, but
not under CI (CI=true). It prints a line for each case."""
import os
import pathlib
import random
import re
import shutil
import subprocess
import sys

PACKAGES = "gcc-arm-none-eabi srecord python3-intelhex gcc-avr binutils-avr avr-libc sdcc"
zemkar, work = os.path.abspath(sys.argv[1]), pathlib.Path(sys.argv[2])

try:
    from intelhex import IntelHex, IntelHexError
except ImportError:
    IntelHex = None
tools = ["arm-none-eabi-gcc", "arm-none-eabi-objcopy", "srec_cat", "avr-gcc", "avr-objcopy", "sdcc"]
if IntelHex is None or not all(shutil.which(tool) for tool in tools):
    if os.environ.get("CI") == "true":
        sys.exit(f"The toolchain test must run under CI: install {PACKAGES}")
    print(f"Skipped: the toolchain test needs Debian's {PACKAGES}")
    sys.exit(0)

shutil.rmtree(work, ignore_errors=True)
work.mkdir(parents=True)

# A Cortex-M program: a vector table, code aligned to 256 bytes behind it (a
# gap, as linkers leave), a table of `size` bytes that the code reads, and
# optionally a word in a far region (an nRF UICR word, PIC configuration words).
ARM_SOURCE = """
extern const unsigned char table[];
void Reset_Handler(void);
__attribute__((section(".vectors"), used)) void (*const vectors[4])(void) = {
    (void (*)(void))0x20001000, Reset_Handler, Reset_Handler, Reset_Handler};
__attribute__((aligned(256))) void Reset_Handler(void)
{
    volatile unsigned sum = 0;
    for (unsigned i = 0; i < SIZE; ++i)
        sum += table[i];
    for (;;)
        ;
}
const unsigned char table[] = TABLE;
#ifdef FAR
__attribute__((section(".far"), used)) const unsigned farWord = 0xFFFFFFFE;
#endif
"""
ARM_SCRIPT = """
ENTRY(Reset_Handler)
SECTIONS
{
  .vectors %s : { KEEP(*(.vectors)) }
  .text : { *(.text*) *(.rodata*) }
  .far %s : { KEEP(*(.far)) }
}
"""
AVR_SOURCE = """
#include <avr/io.h>
static const unsigned char table[] = TABLE;
volatile unsigned char sink;
int main(void)
{
    for (unsigned i = 0; i < sizeof table; ++i)
        sink += table[i];
    DDRB = sink;
    for (;;)
        ;
}
"""
# An 8051 program: an interrupt handler, a constant table, a function that reads it.
SDCC_SOURCE = """
__code const unsigned char table[] = TABLE;
volatile unsigned char sink;
void timer0(void) __interrupt(1) { sink++; }
unsigned char sum(void)
{
    unsigned char s = 0;
    for (unsigned i = 0; i < sizeof table; ++i)
        s += table[i];
    return s;
}
void main(void)
{
    for (;;)
        sink = sum();
}
"""


def run(*command):
    done = subprocess.run(command, cwd=work, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(" ".join(command) + " failed:\n" + done.stdout + done.stderr)


def table(size, seed):
    data = random.Random(seed).randbytes(size)
    return "{" + ",".join(str(byte) for byte in data) + "}"


def arm(name, origin, size, far=None):
    """Builds a program; returns its HEX file as objcopy writes it and its binary."""
    (work / f"{name}.c").write_text(ARM_SOURCE.replace("TABLE", table(size, name)).replace("SIZE", str(size)))
    (work / f"{name}.ld").write_text(ARM_SCRIPT % (origin, far or "0x10001014"))
    run("arm-none-eabi-gcc", "-mcpu=cortex-m0", "-mthumb", "-Os", "-nostdlib", *(["-DFAR"] if far else []),
        "-T", f"{name}.ld", f"{name}.c", "-o", f"{name}.elf")
    run("arm-none-eabi-objcopy", "-O", "ihex", f"{name}.elf", f"{name}.hex")
    run("arm-none-eabi-objcopy", "-O", "binary", "--gap-fill", "0xFF", "-R", ".far", f"{name}.elf", f"{name}.bin")
    return (work / f"{name}.hex").read_bytes(), (work / f"{name}.bin").read_bytes()


def avr(name, origin, size):
    (work / f"{name}.c").write_text(AVR_SOURCE.replace("TABLE", table(size, name)))
    run("avr-gcc", "-mmcu=atmega1284p", "-Os", f"-Wl,--section-start=.text={origin}", f"{name}.c", "-o", f"{name}.elf")
    run("avr-objcopy", "-O", "ihex", "-j", ".text", "-j", ".data", f"{name}.elf", f"{name}.hex")
    run("avr-objcopy", "-O", "binary", "--gap-fill", "0xFF", "-j", ".text", "-j", ".data", f"{name}.elf", f"{name}.bin")
    return (work / f"{name}.hex").read_bytes(), (work / f"{name}.bin").read_bytes()


def sdcc(name, origin, size):
    """An 8051 program as sdcc writes it, and the bytes python3-intelhex reads in it."""
    (work / f"{name}.c").write_text(SDCC_SOURCE.replace("TABLE", table(size, name)))
    run("sdcc", "-mmcs51", "--code-loc", origin, "-o", f"{name}.ihx", f"{name}.c")
    text = (work / f"{name}.ihx").read_bytes()
    return text, intelhex(name, text)[1]


def reordered(text, seed):
    """The file with each stretch of data records between other records shuffled."""
    rng, lines, stretch = random.Random(seed), [], []
    for line in text.splitlines(keepends=True) + [b""]:
        if line[7:9] == b"00":
            stretch.append(line)
            continue
        rng.shuffle(stretch)
        lines += stretch + [line]
        stretch = []
    return b"".join(lines)


def in_order(text):
    addresses = [int(line[3:7], 16) for line in text.splitlines() if line[7:9] == b"00"]
    return addresses == sorted(addresses)


def srec_cat(name, text):
    (work / f"{name}.in.hex").write_bytes(text)
    run("srec_cat", f"{name}.in.hex", "-intel", "-o", f"{name}.hex", "-intel")
    return (work / f"{name}.hex").read_bytes()


def intelhex(name, text):
    """The file as python3-intelhex writes it, and the bytes it reads in it."""
    (work / f"{name}.in.hex").write_bytes(text)
    hexfile = IntelHex(str(work / f"{name}.in.hex"))
    hexfile.write_hex_file(str(work / f"{name}.hex"))
    hexfile.padding = 0xFF
    return (work / f"{name}.hex").read_bytes(), hexfile.tobinstr(start=hexfile.minaddr(), end=hexfile.maxaddr())


def exclude(name, text, start, end):
    """The file with a region left out, by the README's recipe: srec_cat boot.hex -intel -exclude START END -o boot-flash.hex -intel."""
    folder = work / name
    folder.mkdir()
    (folder / "boot.hex").write_bytes(text)
    done = subprocess.run(["srec_cat", "boot.hex", "-intel", "-exclude", start, end, "-o", "boot-flash.hex", "-intel"], cwd=folder,
                          capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit("srec_cat failed:\n" + done.stdout + done.stderr)
    return (folder / "boot-flash.hex").read_bytes()


def image(first, second):
    return first + b"\xff" * (0x8000 - len(first)) + second


def line_of(text, part):
    return text[: text.index(part)].count(b"\n") + 1


def restated_after_gap(text):
    """The file with its type 04 record written again in front of the record behind a gap, as some writers do."""
    lines, page, expected, out = text.splitlines(keepends=True), None, None, []
    for line in lines:
        count, address, kind = int(line[1:3], 16), int(line[3:7], 16), line[7:9]
        if kind == b"04":
            page = line
        elif kind == b"00":
            if expected is not None and address != expected:
                out.append(page)
            expected = address + count
        out.append(line)
    assert len(out) > len(lines), "the file has no gap"
    return b"".join(out)


boot0, boot0_bin = arm("boot0", "0", 700)
app0, app0_bin = arm("app0", "0x8000", 40000)
boot, boot_bin = arm("boot", "0x08000000", 700)
app, app_bin = arm("app", "0x08008000", 40000)
app_above, app_above_bin = arm("appabove", "0x08008100", 40000)
across, across_bin = arm("across", "0x0800C000", 20000)
across_app, across_app_bin = arm("acrossapp", "0x08014000", 20000)
far, far_bin = arm("far", "0", 700, far="0x10001014")
config, config_bin = arm("config", "0", 700, far="0x300000")
avr_boot, avr_boot_bin = avr("avrboot", "0", 300)
avr_app, avr_app_bin = avr("avrapp", "0x8000", 3000)
py_boot, py_boot_bin = intelhex("pyboot", boot)
py_app, py_app_bin = intelhex("pyapp", app)
assert b":02000002" in app0 and b":02000004" not in boot0 + app0 and py_boot.startswith(b":04000005")
sdcc_boot, sdcc_boot_bytes = sdcc("sdccboot", "0", 200)
sdcc_app, sdcc_app_bytes = sdcc("sdccapp", "0x8000", 3000)
shuffled_boot, shuffled_app = reordered(boot, 1), reordered(app, 2)
assert not in_order(sdcc_boot) and not in_order(sdcc_app) and not in_order(shuffled_boot) and not in_order(shuffled_app)
assert app.count(b":020000040800") == 1 and b":020000040801" in app and b":020000040801" in across

joined = boot + app
too_long = "First image exceeds 0x8000 bytes at line %d (a record at 0x%08X; the image starts at 0x00000000)"
third = "More than two HEX files: a third starts at line %d"
slot = ("Warning: the second file's data start at 0x%08X, but the image puts them at 0x%08X (0x8000 above the first file's "
        "0x%08X): an application linked for another slot, or the files joined in the wrong order?\n")
left_out = "Left out 4 bytes at 0x%08X-0x%08X (first file, line %d)\n"
# What each case must give: an image and nothing on standard error, an image
# and a warning there, or a refusal's message; and the words in front of the
# option, if any.
cases = [
    ("objcopy, flash at 0: a small program, then one past 64 KiB", [boot0, app0], image(boot0_bin, app0_bin)),
    ("objcopy, flash at 0x08000000: type 04 and 05 records", [boot, app], image(boot_bin, app_bin)),
    ("objcopy, a first file across 64 KiB", [across, across_app], image(across_bin, across_app_bin)),
    ("srec_cat, flash at 0", [srec_cat("sboot", boot0), srec_cat("sapp", app0)], image(boot0_bin, app0_bin)),
    ("python3-intelhex, start records first", [py_boot, py_app], image(py_boot_bin, py_app_bin)),
    ("avr-objcopy, at 0 and at 0x8000", [avr_boot, avr_app], image(avr_boot_bin, avr_app_bin)),
    ("sdcc, 8051 programs at 0 and 0x8000, records out of order", [sdcc_boot, sdcc_app], image(sdcc_boot_bytes, sdcc_app_bytes)),
    ("objcopy, flash at 0x08000000, records shuffled", [shuffled_boot, shuffled_app],
     image(intelhex("shuffledboot", shuffled_boot)[1], intelhex("shuffledapp", shuffled_app)[1])),
    ("a page restated after a gap", [restated_after_gap(boot), app], image(boot_bin, app_bin)),
    ("a dangling type 04 record", [boot.replace(b":04000005", b":020000040801F1\r\n:04000005"), app], image(boot_bin, app_bin)),
    ("a comment with a ':' before the first record", [b"; made by: a release build\r\n" + boot, app], "Bad hex digit at line 1"),
    ("a word at 0x10001014 in the first file", [far, app0], too_long % (line_of(far, b":04101400"), 0x10001014)),
    ("configuration words at 0x300000 in the first file", [config, app0], too_long % (line_of(config, b":020000040030") + 1, 0x300000)),
    ("the word at 0x10001014 left out with srec_cat", [exclude("uicr", far, "0x10001000", "0x10002000"), app0], image(far_bin, app0_bin)),
    ("the words at 0x300000 left out with srec_cat", [exclude("pic", config, "0x300000", "0x300010"), app0], image(config_bin, app0_bin)),
    ("the word at 0x10001014 left out with --leave-out", [far, app0],
     (image(far_bin, app0_bin), left_out % (0x10001014, 0x10001017, line_of(far, b":04101400"))), ["--leave-out", "0x10001000-0x10001FFF"]),
    ("the words at 0x300000 left out with --leave-out", [config, app0],
     (image(config_bin, app0_bin), left_out % (0x300000, 0x300003, line_of(config, b":020000040030") + 1)), ["--leave-out=0x300000-0x30000F"]),
    ("the application first", [sdcc_app, sdcc_boot], (image(sdcc_app_bytes, sdcc_boot_bytes), slot % (0, 0x10000, 0x8000))),
    ("the bootloader twice", [boot, boot], (image(boot_bin, boot_bin), slot % (0x08000000, 0x08008000, 0x08000000))),
    ("an application linked 0x100 above its slot", [boot0, app_above],
     (image(boot0_bin, app_above_bin), slot % (0x08008100, 0x00008000, 0x00000000))),
    ("three files", [boot, app, boot], third % (joined.count(b"\n") + 1)),
    ("two files appended with >> to two", [joined, boot, app], third % (joined.count(b"\n") + 1)),
]

MAP_ROW = re.compile(r"0x([0-9A-F]{8})-0x([0-9A-F]{8}) +(\d+)  (first|second|fill)(?:  +0x([0-9A-F]+)-0x([0-9A-F]+))?")


def runs_of(files, words):
    """Each file's runs of data, as python3-intelhex reads the file, less the ranges left out: (file, first, past)."""
    left_out = [tuple(int(n, 0) for n in word.split("=")[-1].split("-")) for word in words if "-0x" in word]
    runs = []
    for number, text in enumerate(files):
        (work / "one.hex").write_bytes(text)
        try:
            addresses = [a for a in IntelHex(str(work / "one.hex")).addresses() if not any(f <= a <= l for f, l in left_out)]
        except IntelHexError:  # a file python3-intelhex refuses too: no runs
            addresses = []
        for address in addresses:
            if runs and runs[-1][0] == number and runs[-1][2] == address:
                runs[-1][2] += 1
            else:
                runs.append([number, address, address + 1])
    return [tuple(run) for run in runs]


def map_is_right(files, words, expected, message):
    """zemkar --map: a row for each run of data, at its offset, and each fill, in order; the image's length
    and checksum; the warning, or the refusal's message, last. A refused text's rows are runs of data its files
    hold, where any record stands in front of the one refused."""
    result = subprocess.run([zemkar, *words, "--map", "firmware.hex"], cwd=work, capture_output=True, text=True)
    rows = [MAP_ROW.fullmatch(line) for line in result.stdout.splitlines()]
    rows = [(m.group(4), int(m.group(1), 16), int(m.group(2), 16) + 1, m.group(5) and int(m.group(5), 16)) for m in rows if m]
    runs = runs_of(files, words)
    if expected is None:
        data = [(address, address + past - at) for file, at, past, address in rows if file != "fill"]
        return (result.returncode == 1 and result.stdout.endswith(message) and (bool(data) or "at line 1" in message) and
                all(any(first <= a and b <= past for _, first, past in runs) for a, b in data))
    starts = [min((a for f, a, _ in runs if f == n), default=None) for n in (0, 1)]
    laid = [("fill", 0, 0, None)]
    for file, first, past in runs:
        offset = first - starts[file] + (0x8000 if file else 0)
        if file == 1 and laid[-1][2] < 0x8000:
            laid.append(("fill", laid[-1][2], 0x8000, None))
        if offset > laid[-1][2]:
            laid.append(("fill", laid[-1][2], offset, None))
        laid.append((("first", "second")[file], offset, offset + past - first, first))
    if laid[-1][2] < 0x8000:
        laid.append(("fill", laid[-1][2], 0x8000, None))
    tail = "image: %d bytes, checksum 0x%04X; headed image: %d bytes\n" % (len(expected), sum(expected) & 0xFFFF, len(expected) + 10)
    return (result.returncode, rows) == (0, [row for row in laid if row[2] > row[1]]) and result.stdout.endswith(tail + message)


failed = False
for what, files, expected, *words in cases:
    for number, text in enumerate(files):
        (work / f"part{number}.hex").write_bytes(text)
    # Joined as a user joins them: cat, or cat >> for the appended pair.
    run("sh", "-c", "cat part0.hex > firmware.hex" + "".join(f" && cat part{n}.hex >> firmware.hex" for n in range(1, len(files))))
    (work / "firmware.raw").unlink(missing_ok=True)
    result = subprocess.run([zemkar, *(words[0] if words else []), "-r", "firmware.hex", "firmware.raw"], cwd=work,
                            capture_output=True, text=True)
    if not isinstance(expected, str):
        expected, warning = expected if isinstance(expected, tuple) else (expected, "")
        made = (work / "firmware.raw").read_bytes() if result.returncode == 0 else None
        right = made == expected and result.stdout == "" and result.stderr == warning
        if warning.startswith("Warning: "):
            # With --strict the same words are a refusal, and nothing is written.
            (work / "firmware.raw").unlink()
            strict = subprocess.run([zemkar, "--strict", "-r", "firmware.hex", "firmware.raw"], cwd=work, capture_output=True, text=True)
            right &= (strict.returncode, strict.stdout) == (1, warning[len("Warning: "):-1]) and not (work / "firmware.raw").exists()
        right &= map_is_right(files, words[0] if words else [], expected, warning if warning.startswith("Warning: ") else "")
        # The headed image of the same text checks out.
        subprocess.run([zemkar, *(words[0] if words else []), "-h", "firmware.hex", "firmware.img"], cwd=work, capture_output=True)
        check = subprocess.run([zemkar, "--check", "firmware.img"], cwd=work, capture_output=True, text=True)
        right &= check.stdout == "firmware.img: headed image, %s bytes, checksum 0x%04X: right\n" % (f"{len(expected):,}", sum(expected) & 0xFFFF)
        outcome = ("right image, %d bytes" % len(expected) + (", " + warning.strip() if warning else "") if right
                   else "status %d: %s%s" % (result.returncode, result.stdout, result.stderr))
    else:
        right = (result.returncode, result.stdout) == (1, expected) and not (work / "firmware.raw").exists()
        right &= map_is_right(files, words[0] if words else [], None, expected)
        outcome = "refused: " + result.stdout if right else "status %d: %s" % (result.returncode, result.stdout)
    print(("ok     " if right else "WRONG  ") + what + ": " + outcome)
    failed |= not right
if failed:
    sys.exit("zemkar did not make the image, or give the message, that these files call for")
# The real pairs, for the slip test.
if len(sys.argv) > 3:
    pairs = pathlib.Path(sys.argv[3])
    shutil.rmtree(pairs, ignore_errors=True)
    pairs.mkdir(parents=True)
    for name, files in [("objcopy-flash-at-0", [boot0, app0]), ("objcopy-stm32", [boot, app]), ("python3-intelhex", [py_boot, py_app]),
                          ("sdcc", [sdcc_boot, sdcc_app])]:
        (pairs / f"{name}.hex").write_bytes(b"".join(files))
shutil.rmtree(work)
