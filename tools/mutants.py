"""Mutation testing of src/ against ctest, and the list of the changes no test catches.

    python3 tools/mutants.py check
    python3 tools/mutants.py run [--sample N] [--seed S] [--preset P] [--only FILE...] [--work DIR]

check: every entry of tests/mutation-survivors.txt names a file of src/, a line
of it by its text, and a change that applies to that line; an entry that does
not is stale, and is named (exit status 1).

run: makes single-point changes to src/ (an operator, a constant, a deleted
statement, a negated condition), each alone, in a clone of the committed tree
under --work, builds it with the preset (default: default) and runs ctest,
which stops at its first failing test. A change that builds and passes every
test survives (one that leaves the program and the unit tests the same bytes,
a line the build does not compile, is no mutant): each survivor is printed
as an entry of the list, marked
"listed" where the list has it and "NEW" where it does not (exit status 1 if
any is new). A new survivor is a test missing, unless the change cannot alter
an image, a message or an exit status: then it goes in the list, under the
reason. Each mutant takes a build and up to a whole ctest run: a sample of 400
takes hours on two cores.
"""
import argparse
import os
import pathlib
import random
import re
import shutil
import stat
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
LIST = ROOT / "tests" / "mutation-survivors.txt"

RELATIONS = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
ARITHMETIC = {"+": "-", "-": "+", "*": "/", "/": "*", "+=": "-=", "-=": "+="}
LOGIC = {"&&": "||", "||": "&&"}


def code_of(line):
    """The line without its comment and its string and character literals' insides."""
    line = re.sub(r'"(\\.|[^"\\])*"', '""', line)
    line = re.sub(r"'(\\.|[^'\\])*'", "''", line)
    return line.split("//")[0]


def mutants_of(text):
    """(line number, operator, change, mutated line) of every candidate change."""
    raw = False  # inside a raw string literal, R"( ... )", which spans lines
    for number, line in enumerate(text.splitlines(), 1):
        if raw or 'R"(' in line:
            raw = ')"' not in line.split('R"(')[-1]
            continue
        code = code_of(line)
        stripped = code.strip()
        if not stripped or stripped.startswith("#") or stripped.startswith("static_assert"):
            continue
        # Binary operators written with spaces round them, as the code writes them.
        for table, op in ((RELATIONS, "rel"), (ARITHMETIC, "arith"), (LOGIC, "logic")):
            for match in re.finditer(r"(?<= )(%s)(?= )" % "|".join(re.escape(k) for k in sorted(table, key=len, reverse=True)), code):
                old = match.group(1)
                yield number, op, f"{old} -> {table[old]}", line[:match.start()] + table[old] + line[match.end():]
        for match in re.finditer(r"(?<![\w.'])(0x[0-9A-Fa-f]+|[1-9]\d*|0)(?![\w.'])", code):
            value = int(match.group(1), 0)
            for new in (value + 1, value - 1):
                if new < 0:
                    continue
                written = f"0x{new:X}" if match.group(1).lower().startswith("0x") else str(new)
                yield number, "lit", f"{match.group(1)} -> {written}", line[:match.start()] + written + line[match.end():]
        condition = re.match(r"(\s*)(if|while) \((.*)\)(\s*\{?\s*)$", code)
        if condition:
            indent, word, inner, rest = condition.groups()
            yield number, "neg", f"{word} ({inner}) -> {word} (!(...))", f"{indent}{word} (!({inner})){rest}"
        statement = re.match(r"(\s*)((?:return\b.*|[\w.\[\]>-]+ (?:=|\+=|-=|\|=|&=) .*|[\w:.>-]+\(.*\)));\s*$", code)
        if statement and not re.match(r"\s*(const|auto|unsigned|int|bool|char|std::\w+|[A-Z]\w*)\b[\w:<>,\s*&]* \w+ = ", code):
            body = statement.group(2)
            kind = "return" if body.startswith("return") else "assign" if re.search(r" (=|\+=|-=|\|=|&=) ", body) else "call"
            yield number, "stmt", f"delete {kind}: {body};", statement.group(1) + ";"


def read_list():
    """The list's entries: (file, operator, change, line text)."""
    entries = []
    for line in LIST.read_text().splitlines():
        if not line.startswith("src/"):
            continue
        file, op, rest = line.split("  ", 2)
        change, text = rest.split("  in: ", 1)
        # A line written more than once carries a note on which it is: "  (...)".
        entries.append((file, op, change, re.sub(r"\s{2,}\(.*\)$", "", text)))
    return entries


def check():
    stale = []
    for file, op, change, text in read_list():
        path = ROOT / file
        lines = [line.strip() for line in path.read_text().splitlines()] if path.exists() else []
        if text.strip() not in lines:
            stale.append(f"{file}: no line reads {text!r}")
        elif " -> " in change and op in ("rel", "arith", "logic", "lit", "const"):
            old = change.split(" -> ")[0]
            if old not in text:
                stale.append(f"{file}: {change!r} does not apply to {text!r}")
    for entry in stale:
        print("stale:", entry)
    print(f"{len(read_list())} entries, {len(stale)} stale")
    return 1 if stale else 0


# Devices the tests write to. A mutant run as root that takes one for a file of
# its own could remove it, and every later test would fail for that: each is
# made again where it is gone, and the run says so.
DEVICES = {"/dev/null": (1, 3), "/dev/full": (1, 7)}


def restore_devices():
    restored = []
    for name, (major, minor) in DEVICES.items():
        path = pathlib.Path(name)
        if not path.is_char_device():
            path.unlink(missing_ok=True)
            os.mknod(name, 0o666 | stat.S_IFCHR, os.makedev(major, minor))
            os.chmod(name, 0o666)
            restored.append(name)
    return restored


def run(sample, seed, preset, only, work):
    shutil.rmtree(work, ignore_errors=True)
    subprocess.run(["git", "clone", "-q", str(ROOT), str(work)], check=True)
    build = ["cmake", "--build", "--preset", preset]
    subprocess.run(["cmake", "--preset", preset], cwd=work, check=True, stdout=subprocess.DEVNULL)
    if subprocess.run(build, cwd=work, stdout=subprocess.DEVNULL).returncode != 0:
        sys.exit("the unchanged sources do not build")
    files = sorted(str(p.relative_to(work)) for p in (work / "src").glob("*.[ch]pp"))
    files = [f for f in files if not only or f in only]
    candidates = [(file, *mutant) for file in files for mutant in mutants_of((work / file).read_text())]
    chosen = random.Random(seed).sample(candidates, min(sample, len(candidates)))
    listed = {(file, change, text.strip()) for file, _, change, text in read_list()}
    # A change the build does not see (a line not compiled here, a change the compiler folds away)
    # leaves the program and the tests the same bytes: it is no mutant.
    built = [work / "build" / "zemkar", work / "build" / "tests" / "unit_tests"] if preset == "default" else []
    def fingerprint():
        return [path.read_bytes() if path.exists() else b"" for path in built]
    unchanged = fingerprint()
    counts, new = {"killed": 0, "survived": 0, "stillborn": 0, "the same program": 0}, 0
    for number, (file, line, op, change, mutated) in enumerate(chosen, 1):
        path = work / file
        original = path.read_text()
        lines = original.splitlines(keepends=True)
        text = lines[line - 1].strip()
        lines[line - 1] = mutated + "\n"
        path.write_text("".join(lines))
        try:
            if subprocess.run(build, cwd=work, capture_output=True).returncode != 0:
                result = "stillborn"
            elif built and fingerprint() == unchanged:
                result = "the same program"
            else:
                tests = subprocess.run(["ctest", "--preset", preset, "--stop-on-failure", "--timeout", "120"], cwd=work,
                                       capture_output=True)
                result = "killed" if tests.returncode != 0 else "survived"
        finally:
            path.write_text(original)
            for name in restore_devices():
                print(f"{number}/{len(chosen)}: {file}:{line} {change} removed {name}; made again", file=sys.stderr, flush=True)
        counts[result] += 1
        if result == "survived":
            known = (file, change, text) in listed
            new += not known
            print(f"{'listed' if known else 'NEW':7} {file}  {op}  {change}  in: {text}", flush=True)
        else:
            print(f"{number}/{len(chosen)} {result}: {file}:{line} {change}", file=sys.stderr, flush=True)
    subprocess.run(build, cwd=work, capture_output=True)
    scored = counts["killed"] + counts["survived"]
    print(f"{len(chosen)} of {len(candidates)} candidates: {counts['killed']} killed, {counts['survived']} survived, "
          f"{counts['stillborn']} stillborn, {counts['the same program']} the same program; killed {100 * counts['killed'] / max(scored, 1):.1f} %; {new} survivors not listed")
    return 1 if new else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("check", help="name the stale entries of the list")
    running = commands.add_parser("run", help="build and test a sample of mutants")
    running.add_argument("--sample", type=int, default=400)
    running.add_argument("--seed", type=int, default=1)
    running.add_argument("--preset", default="default")
    running.add_argument("--only", nargs="*", default=[], help="files of src/ to mutate, as src/NAME")
    running.add_argument("--work", type=pathlib.Path, default=ROOT.parent / "zemkar-mutants")
    args = parser.parse_args()
    sys.exit(check() if args.command == "check" else run(args.sample, args.seed, args.preset, args.only, args.work))


if __name__ == "__main__":
    main()
