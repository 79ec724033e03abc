#!/usr/bin/env python3
"""zemkar against its floor and its nearest peer, in one run.

    python3 bench/bench.py [--zemkar build/zemkar] [--rounds 30]

Generates the benchmark inputs (inputs.py), checks zemkar's headed and raw
output for each against the image worked out from the data alone, then times
whole-process runs, interleaved round by round:

  zemkar   zemkar -h max16.hex out           the largest legal input
  cat      cat max16.hex > out               the floor: read the input, write a file
  objcopy  objcopy -I ihex -O binary max16-second.hex out
                                             the nearest job a peer does: half of it

Each writes over its output of the round before, as a build does; zemkar and
cat are also timed writing a new file each run ("new file"), the output
removed first, untimed. Each figure is the median over the rounds of the
per-round ratio; the order turns from round to round, so that none gains from
where it stands. Peak resident
memory comes from GNU time, instructions from valgrind's callgrind (each where
installed). The last line sums it up:

  ratio_vs_cat=... ratio_vs_objcopy=... instr_per_byte=... peak_rss_mib=...
"""
import argparse
import os
import pathlib
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import inputs  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent


def run_timed(argv, stdout_path=None, new_file=None):
    """Wall seconds of one whole process, its own start-up included."""
    if new_file is not None and new_file.exists():
        new_file.unlink()
    actions = []
    if stdout_path is not None:
        flags = os.O_WRONLY | os.O_CREAT | os.O_TRUNC
        actions.append((os.POSIX_SPAWN_OPEN, 1, str(stdout_path), flags, 0o644))
    # What earlier runs wrote goes to disk first, untimed: written back during a
    # run, it would be charged to whichever command happened to come next.
    os.sync()
    start = time.perf_counter()
    pid = os.posix_spawn(argv[0], argv, os.environ, file_actions=actions)
    _, status = os.waitpid(pid, 0)
    elapsed = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"benchmark: {' '.join(argv)} failed")
    return elapsed


def check(zemkar, folder):
    for name in inputs.SHAPES:
        expected = (folder / f"{name}.bin").read_bytes()
        for option, want in (("-h", expected), ("-r", expected[10:])):
            out = folder / "check.bin"
            subprocess.run([zemkar, option, folder / f"{name}.hex", out], check=True)
            if out.read_bytes() != want:
                sys.exit(f"benchmark: zemkar {option} {name}.hex gives a wrong image")
    print(f"output checked byte for byte: {', '.join(inputs.SHAPES)} (headed and raw)")


def peak_rss_mib(argv):
    gnu_time = shutil.which("time") and pathlib.Path("/usr/bin/time")
    if gnu_time and gnu_time.exists():
        result = subprocess.run([str(gnu_time), "-f", "%M", *argv], capture_output=True, text=True, check=True)
        return int(result.stderr.strip().splitlines()[-1]) / 1024
    return None


def instructions(argv):
    if not shutil.which("valgrind"):
        return None
    result = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", *argv],
                            capture_output=True, text=True, check=True)
    return int(re.search(r"Collected : (\d+)", result.stderr).group(1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--zemkar", default=str(ROOT / "build" / "zemkar"))
    parser.add_argument("--rounds", type=int, default=30)
    args = parser.parse_args()
    zemkar = str(pathlib.Path(args.zemkar).resolve())
    cat, objcopy = shutil.which("cat"), shutil.which("objcopy")

    with tempfile.TemporaryDirectory(prefix="zemkar-bench-") as temp:
        folder = pathlib.Path(temp)
        inputs.main(folder)
        check(zemkar, folder)
        big, half = folder / "max16.hex", folder / "max16-second.hex"
        # Each writes a file of its own: truncating another's larger output
        # would be charged to the wrong command.
        zemkar_new, cat_new = folder / "zemkar-new.out", folder / "cat-new.out"
        commands = {
            "zemkar": ([zemkar, "-h", str(big), str(folder / "zemkar.out")], None, None),
            "cat": ([cat, str(big)], folder / "cat.out", None),
            "zemkar new file": ([zemkar, "-h", str(big), str(zemkar_new)], None, zemkar_new),
            "cat new file": ([cat, str(big)], cat_new, cat_new),
        }
        if objcopy:
            commands["objcopy"] = ([objcopy, "-I", "ihex", "-O", "binary", str(half), str(folder / "objcopy.out")],
                                   None, None)
        for command in commands.values():  # warm the caches once
            run_timed(*command)
        # The order turns each round, so that each command takes each place
        # equally often.
        times = {name: [] for name in commands}
        names = list(commands)
        for round_number in range(args.rounds):
            turn = round_number % len(names)
            for name in names[turn:] + names[:turn]:
                times[name].append(run_timed(*commands[name]))

        size = big.stat().st_size
        print(f"input: max16.hex, {size:,} bytes (image 0x200000); {args.rounds} rounds, interleaved")
        print(f"{'command':<16}{'median ms':>12}{'min ms':>10}{'max ms':>10}")
        for name, samples in times.items():
            print(f"{name:<16}{statistics.median(samples) * 1e3:>12.2f}{min(samples) * 1e3:>10.2f}"
                  f"{max(samples) * 1e3:>10.2f}")

        def ratio_of(mine, other):
            return statistics.median(z / o for z, o in zip(times[mine], times[other]))

        ratio = {other: ratio_of("zemkar", other) for other in ("cat", "objcopy") if other in times}
        new_file_ratio = ratio_of("zemkar new file", "cat new file")
        rss = peak_rss_mib(commands["zemkar"][0])
        executed = instructions(commands["zemkar"][0])
        per_byte = executed / size if executed else None

    def show(value, digits):
        return "n/a" if value is None else f"{value:.{digits}f}"

    if "objcopy" in ratio:
        print(f"zemkar is {1 / ratio['objcopy']:.1f} times as fast as objcopy on half the job")
    if executed:
        print(f"zemkar executes {executed:,} user-space instructions")
    print(f"writing a new file each run: zemkar at {new_file_ratio:.3f} of cat")
    print(f"ratio_vs_cat={show(ratio['cat'], 3)} ratio_vs_objcopy={show(ratio.get('objcopy'), 3)} "
          f"instr_per_byte={show(per_byte, 2)} peak_rss_mib={show(rss, 1)}")


if __name__ == "__main__":
    main()
