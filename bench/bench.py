#!/usr/bin/env python3
"""zemkar against its floor and its nearest peers, in one run.

    python3 bench/bench.py [--zemkar build/zemkar] [--static build-static/zemkar]
                           [--rounds 30] [--plot build/cost.svg]

Generates the benchmark inputs (inputs.py) and takes the bundled example,
checks zemkar's headed and raw output for each against the image worked out
from the data alone, then times whole-process runs, interleaved round by round
(the order turns each round, so that none gains from where it stands; each
figure is the median over the rounds of the per-round ratio):

  largest   zemkar -h max16.hex out, against cat max16.hex > out (the floor
            of reading the input and writing a file) and objcopy -I ihex -O
            binary on the second half alone (the nearest job a peer does);
            zemkar and cat also writing a new file each run
  left out  the largest input with a far region left out (--leave-out
            0x10001000-0x10001FFF, the nRF UICR, which it does not hold),
            beside the same run without it
  map       zemkar --map max16.hex (the map, no image), beside the conversion
  typical   the typical pair (20 KiB + 60 KiB) and the bundled example,
            against a statically linked program that does nothing: the floor
            of any converter, the cost of starting a process; and the typical
            pair with the 60 KiB file's records in reverse order beside it
  sweep     inputs from about 10 KB to the largest: zemkar and cat on each,
            and objcopy on the same records as one file (it stops at the
            first end-of-file record); the cost curve drawn by plot.py into --plot

--zemkar is the program as the .deb installs it, --static the static build;
each is measured where it exists. Peak resident memory comes from GNU time,
instructions from valgrind's callgrind (each where installed). The last lines
sum it up, one for each program:

  PROGRAM: ratio_vs_cat=... ratio_vs_objcopy=... instr_per_byte=... peak_rss_mib=...
           typical_vs_floor=... typical_rss_mib=... reversed_vs_in_order=...
           leave_out_vs_plain=... map_vs_convert=...
"""
import argparse
import json
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


def interleaved(commands, rounds):
    """Each command's times over the rounds, after one warm-up run each."""
    for command in commands.values():
        run_timed(*command)
    times = {name: [] for name in commands}
    names = list(commands)
    for round_number in range(rounds):
        turn = round_number % len(names)
        for name in names[turn:] + names[:turn]:
            times[name].append(run_timed(*commands[name]))
    return times


def ratio(times, mine, other):
    return statistics.median(a / b for a, b in zip(times[mine], times[other]))


def check(programs, folder, shapes):
    for program in programs.values():
        for name in shapes:
            expected = (folder / f"{name}.bin").read_bytes()
            for option, want in (("-h", expected), ("-r", expected[10:])):
                out = folder / "check.bin"
                subprocess.run([program, option, folder / f"{name}.hex", out], check=True)
                if out.read_bytes() != want:
                    sys.exit(f"benchmark: {program} {option} {name}.hex gives a wrong image")
    print(f"output checked byte for byte: {', '.join(shapes)} (headed and raw, {', '.join(programs)})")


def floor_program(folder):
    """A statically linked program that does nothing: starting a process, no more."""
    source = folder / "noop.c"
    source.write_text("int main(void) { return 0; }\n")
    program = folder / "noop"
    subprocess.run(["cc", "-O2", "-static", "-o", program, source], check=True)
    return str(program)


def peak_rss_mib(argv):
    gnu_time = pathlib.Path("/usr/bin/time")
    if gnu_time.exists():
        result = subprocess.run([str(gnu_time), "-f", "%M", *argv], capture_output=True, text=True, check=True)
        return int(result.stderr.strip().splitlines()[-1]) / 1024
    return None


def instructions(argv):
    if not shutil.which("valgrind"):
        return None
    result = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", *argv],
                            capture_output=True, text=True, check=True)
    return int(re.search(r"Collected : (\d+)", result.stderr).group(1))


def show(value, digits):
    return "n/a" if value is None else f"{value:.{digits}f}"


def table(title, times, reference):
    print(f"\n{title}")
    print(f"{'command':<22}{'median ms':>11}{'min ms':>9}{'max ms':>9}{'ratio':>8}")
    for name, samples in times.items():
        print(f"{name:<22}{statistics.median(samples) * 1e3:>11.3f}{min(samples) * 1e3:>9.3f}"
              f"{max(samples) * 1e3:>9.3f}{ratio(times, name, reference):>8.3f}")
    print(f"(ratio: median per-round ratio to {reference})")


def plot(results, out):
    """plot.py with a Python that has matplotlib: this one, or the system's."""
    script = pathlib.Path(__file__).resolve().parent / "plot.py"
    pathlib.Path(out).parent.mkdir(parents=True, exist_ok=True)
    for python in (sys.executable, "/usr/bin/python3"):
        has = subprocess.run([python, "-c", "import matplotlib"], capture_output=True).returncode == 0
        if has:
            with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as handle:
                json.dump(results, handle)
            subprocess.run([python, str(script), handle.name, str(out)], check=True)
            os.unlink(handle.name)
            print(f"cost curve drawn into {out}")
            return
    print("cost curve not drawn: no Python here has matplotlib (Debian: python3-matplotlib)")


def beside_conversion(programs, summary, key, label, title, variant, big, folder, rounds):
    """Times each program's variant run, (argv, stdout path) from variant(program, name), beside its plain
    conversion of the largest input, where the variant runs; the ratio goes in summary[name][key]."""
    commands = {}
    for name, program in programs.items():
        argv, stdout_path = variant(program, name)
        if subprocess.run(argv, capture_output=True).returncode == 0:
            commands[name] = ([program, "-h", str(big), str(folder / f"{name}.out")], None, None)
            commands[f"{name}, {label}"] = (argv, stdout_path, None)
    if commands:
        times = interleaved(commands, rounds)
        table(title, times, next(iter(commands)))
        for name in programs:
            if name in commands:
                summary[name][key] = ratio(times, f"{name}, {label}", name)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--zemkar", default=str(ROOT / "build" / "zemkar"))
    parser.add_argument("--static", default=str(ROOT / "build-static" / "zemkar"))
    parser.add_argument("--rounds", type=int, default=30)
    parser.add_argument("--plot", default=str(ROOT / "build" / "cost.svg"))
    args = parser.parse_args()
    programs = {"zemkar": str(pathlib.Path(args.zemkar).resolve())}
    if pathlib.Path(args.static).exists():
        programs["zemkar static"] = str(pathlib.Path(args.static).resolve())
    cat, objcopy = shutil.which("cat"), shutil.which("objcopy")
    summary = {name: {} for name in programs}

    with tempfile.TemporaryDirectory(prefix="zemkar-bench-") as temp:
        folder = pathlib.Path(temp)
        inputs.main(folder)
        shutil.copy(ROOT / "examples" / "two-images.hex", folder / "example.hex")
        shutil.copy(ROOT / "examples" / "two-images.bin", folder / "example.bin")
        check(programs, folder, [*inputs.SHAPES, *inputs.SWEEP, "example", "typical-reversed"])
        noop = floor_program(folder)

        # The largest input.
        big, half = folder / "max16.hex", folder / "max16-second.hex"
        commands = {name: ([program, "-h", str(big), str(folder / f"{name}.out")], None, None)
                    for name, program in programs.items()}
        commands["cat"] = ([cat, str(big)], folder / "cat.out", None)
        zemkar_new, cat_new = folder / "zemkar-new.out", folder / "cat-new.out"
        commands["zemkar new file"] = ([programs["zemkar"], "-h", str(big), str(zemkar_new)], None, zemkar_new)
        commands["cat new file"] = ([cat, str(big)], cat_new, cat_new)
        if objcopy:
            commands["objcopy, half"] = ([objcopy, "-I", "ihex", "-O", "binary", str(half),
                                          str(folder / "objcopy.out")], None, None)
        times = interleaved(commands, args.rounds)
        size = big.stat().st_size
        table(f"largest input: max16.hex, {size:,} bytes (image 0x200000); {args.rounds} rounds", times, "cat")
        for name, program in programs.items():
            summary[name]["ratio_vs_cat"] = ratio(times, name, "cat")
            summary[name]["ratio_vs_objcopy"] = ratio(times, name, "objcopy, half") if objcopy else None
            executed = instructions([program, "-h", str(big), str(folder / "count.out")])
            summary[name]["instr_per_byte"] = executed / size if executed else None
            summary[name]["peak_rss_mib"] = peak_rss_mib([program, "-h", str(big), str(folder / "rss.out")])
        print(f"writing a new file each run: zemkar at {ratio(times, 'zemkar new file', 'cat new file'):.3f} of cat")

        # A far region left out, and the map, each beside the plain conversion (where the program has them).
        leave_out = ["--leave-out", "0x10001000-0x10001FFF"]
        for key, label, title, variant in (
                ("leave_out_vs_plain", "left out", "largest input with a far region left out",
                 lambda program, name: ([program, *leave_out, "-h", str(big), str(folder / f"{name}.out")], None)),
                ("map_vs_convert", "map", "largest input, its map beside its conversion",
                 lambda program, name: ([program, "--map", str(big)], folder / f"{name}.map"))):
            beside_conversion(programs, summary, key, label, f"{title}; {args.rounds} rounds", variant, big, folder, args.rounds)

        # Typical inputs, against the floor of starting a process.
        for shape in ("typical", "example"):
            text = folder / f"{shape}.hex"
            commands = {"floor": ([noop], None, None)}
            for name, program in programs.items():
                commands[name] = ([program, "-h", str(text), str(folder / f"{name}.out")], None, None)
            commands["cat"] = ([cat, str(text)], folder / "cat.out", None)
            times = interleaved(commands, 10 * args.rounds)
            table(f"{shape}: {text.stat().st_size:,} bytes; {10 * args.rounds} rounds", times, "floor")
            if shape == "typical":
                for name, program in programs.items():
                    summary[name]["typical_vs_floor"] = ratio(times, name, "floor")
                    summary[name]["typical_rss_mib"] = peak_rss_mib([program, "-h", str(text), str(folder / "rss.out")])

        # Records in reverse order, beside the same records in order.
        commands = {}
        for name, program in programs.items():
            for shape in ("typical", "typical-reversed"):
                commands[f"{name}, {shape}"] = ([program, "-h", str(folder / f"{shape}.hex"), str(folder / f"{name}.out")],
                                                None, None)
        times = interleaved(commands, 10 * args.rounds)
        table(f"the typical pair, its 60 KiB file's records in order and reversed; {10 * args.rounds} rounds", times,
              "zemkar, typical")
        for name in programs:
            summary[name]["reversed_vs_in_order"] = ratio(times, f"{name}, typical-reversed", f"{name}, typical")

        # The cost curve.
        results = {"sizes": [], "medians": {name: [] for name in [*programs, "cat", "objcopy"]}}
        floor_times = interleaved({"floor": ([noop], None, None)}, 10 * args.rounds)["floor"]
        results["floor"] = statistics.median(floor_times) * 1e3
        print(f"\nsweep: median ms of {3 * args.rounds} rounds each; floor {results['floor']:.3f} ms")
        print(f"{'input bytes':>12}" + "".join(f"{name:>15}" for name in results["medians"]))
        for shape in inputs.SWEEP:
            text = folder / f"{shape}.hex"
            commands = {name: ([program, "-h", str(text), str(folder / f"{name}.out")], None, None)
                        for name, program in programs.items()}
            commands["cat"] = ([cat, str(text)], folder / "cat.out", None)
            if objcopy:
                whole = folder / f"{shape}-whole.hex"
                commands["objcopy"] = ([objcopy, "-I", "ihex", "-O", "binary", str(whole),
                                        str(folder / "objcopy.out")], None, None)
            times = interleaved(commands, 3 * args.rounds)
            results["sizes"].append(text.stat().st_size)
            for name in results["medians"]:
                results["medians"][name].append(statistics.median(times[name]) * 1e3 if name in times else None)
            print(f"{text.stat().st_size:>12,}" + "".join(
                f"{show(results['medians'][name][-1], 3):>15}" for name in results["medians"]))
        if not objcopy:
            del results["medians"]["objcopy"]
        plot(results, args.plot)

    print()
    for name, figures in summary.items():
        print(f"{name}: ratio_vs_cat={show(figures['ratio_vs_cat'], 3)} "
              f"ratio_vs_objcopy={show(figures['ratio_vs_objcopy'], 3)} "
              f"instr_per_byte={show(figures['instr_per_byte'], 2)} peak_rss_mib={show(figures['peak_rss_mib'], 1)} "
              f"typical_vs_floor={show(figures['typical_vs_floor'], 2)} "
              f"typical_rss_mib={show(figures['typical_rss_mib'], 1)} "
              f"reversed_vs_in_order={show(figures['reversed_vs_in_order'], 2)} "
              f"leave_out_vs_plain={show(figures.get('leave_out_vs_plain'), 3)} "
              f"map_vs_convert={show(figures.get('map_vs_convert'), 3)}")


if __name__ == "__main__":
    main()
