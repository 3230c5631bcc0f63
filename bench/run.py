"""Runs the benchmark suite and writes the results table.

    python bench/run.py --floor-dir DIR --out DIR [--quick] [--readme docs/performance.md]

Steps: check that the implementations build the same packets, time every
case with pyperf (bench/suite.py), time `import` in fresh processes, count
instructions per call under callgrind, then print the table and, unless
--quick, write it into the --readme file between this Python's bench markers
(`<!-- bench:begin 3.13 -->` ... `<!-- bench:end 3.13 -->`).

--quick gives a rough look in well under a minute: few pyperf runs, fewer
import samples, no callgrind, and the --readme file is left alone.
"""

import argparse
import concurrent.futures
import datetime
import json
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys

import pyperf
from cases import BUILDERS, CASES, IMPLEMENTATIONS, namespace

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

BEGIN = "<!-- bench:begin"
END = "<!-- bench:end"

# Timing rounds of a full run; each gives every benchmark 2 processes of 3
# values, so 20 processes in all, as many as pyperf's default.
TIMING_ROUNDS = 10
TIMING_PROCESSES = 2

# The time reported: this percentile of all values. Other work on the machine
# only ever adds time, so a low percentile tells the cost of a call better
# than the median when the machine is shared.
PERCENTILE = 10

# Instruction counts: the difference between N and 2N calls, divided by N.
CALLGRIND_CALLS = 10000

IMPORT_SOURCE = """\
import sys, time
sys.path[:0] = {path!r}
t = time.perf_counter_ns()
import {module}
print(time.perf_counter_ns() - t)
"""
IMPORTS = {"kelvane": "kelvane", "floor": "kelvane_floor", "old_floor": "kelvane_old_floor", "reference": "reference"}

# What the numbers are held against (see the targets under the table).
BUILDER_FLOOR_RATIO = 1.10
BUILDER_REFERENCE_SPEEDUP = 5.0
CONSTRUCTOR_FLOOR_RATIO = 1.15  # instructions, against the floor's vectorcall constructors
KEYWORD_FLOOR_RATIO = 1.08  # instructions of a keyword call
OBJECT_REFERENCE_SPEEDUP = 2.0
GETTER_FLOOR_RATIO = 1.10
IMPORT_BUDGET_MS = 1.0
KEYWORD_CASE = "set_temperature_request, keywords"


def log(message):
    print(f"==> {message}", flush=True)


def check_same_packets():
    """Every builder case gives the same bytes in every implementation."""
    results = {}
    for impl in IMPLEMENTATIONS:
        ns = namespace(impl)
        results[impl] = [eval(stmt, {}, ns) for name, stmt, kind in CASES if kind == "builder"]  # noqa: S307
    for impl in IMPLEMENTATIONS[1:]:
        if results[impl] != results["kelvane"]:
            sys.exit(f"bench: {impl} builds other packets than kelvane: {results[impl]} != {results['kelvane']}")


def run_timings(out_dir, quick, env):
    """Time per call of every case, from pyperf's values.

    The suite runs in rounds, each adding runs to every benchmark, so that a
    change in the machine's load over the minutes of a run touches all the
    implementations alike instead of whichever was measured at that time.
    Loops are fixed (no calibration), which keeps a round short.
    """
    path = os.path.join(out_dir, "timings.json")
    if os.path.exists(path):
        os.remove(path)
    rounds, processes, loops = (1, 4, 4096) if quick else (TIMING_ROUNDS, TIMING_PROCESSES, 16384)
    command = [
        sys.executable, os.path.join(HERE, "suite.py"), "--quiet", "--inherit-environ", "KELVANE_FLOOR_DIR",
        "--append", path, "--processes", str(processes), "--warmups", "1", "--values", "3", "--loops", str(loops),
    ]  # fmt: skip
    for number in range(1, rounds + 1):
        log(f"timing with pyperf, round {number} of {rounds}")
        subprocess.run(command, check=True, env=env, stdout=subprocess.DEVNULL)
    suite = pyperf.BenchmarkSuite.load(path)
    timings = {}
    for bench in suite.get_benchmarks():
        impl, case = bench.get_name().split(": ", 1)
        values = sorted(bench.get_values())
        timings[(impl, case)] = values[len(values) * PERCENTILE // 100] * 1e9
    return timings, suite


def run_imports(floor_dir, samples):
    log(f"timing import in {samples} fresh processes per implementation")
    paths = {"kelvane": [], "floor": [floor_dir], "old_floor": [floor_dir], "reference": [HERE]}
    results = {}
    for impl, module in IMPORTS.items():
        source = IMPORT_SOURCE.format(path=paths[impl], module=module)
        values = []
        for _ in range(samples):
            output = subprocess.run(
                [sys.executable, "-I", "-c", source], check=True, capture_output=True, text=True
            ).stdout
            values.append(int(output) / 1e6)
        results[impl] = statistics.median(values)
    return results


def callgrind_total(impl, case, calls, out_dir, env):
    out_file = os.path.join(out_dir, "callgrind", f"{impl}-{case}-{calls}.out")
    command = [
        "valgrind", "--tool=callgrind", f"--callgrind-out-file={out_file}",
        sys.executable, os.path.join(HERE, "count.py"), impl, str(case), str(calls),
    ]  # fmt: skip
    result = subprocess.run(command, capture_output=True, text=True, env=env)
    match = re.search(r"Collected : (\d+)", result.stderr)
    if result.returncode != 0 or not match:
        raise RuntimeError(f"callgrind failed for {impl} case {case}:\n{result.stderr[-2000:]}")
    return int(match.group(1))


def run_callgrind(out_dir, env):
    if not shutil.which("valgrind"):
        log("valgrind not found: no instruction counts")
        return {}
    os.makedirs(os.path.join(out_dir, "callgrind"), exist_ok=True)
    # Every case for kelvane and the floors; the builders for the reference.
    jobs = [
        (impl, index)
        for index, (name, _, kind) in enumerate(CASES)
        for impl in IMPLEMENTATIONS
        if impl != "reference" or kind == "builder"
    ]
    log(f"counting instructions under callgrind ({len(jobs)} cases, N and 2N calls each)")
    env = dict(env, PYTHONHASHSEED="0")

    def count(job):
        impl, index = job
        low = callgrind_total(impl, index, CALLGRIND_CALLS, out_dir, env)
        high = callgrind_total(impl, index, 2 * CALLGRIND_CALLS, out_dir, env)
        return (impl, CASES[index][0]), (high - low) / CALLGRIND_CALLS

    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
        return dict(pool.map(count, jobs))


def shared_runtime():
    """The C++ runtime libraries that kelvane's shared object loads, if any."""
    import kelvane

    try:
        output = subprocess.run(["ldd", kelvane.__file__], capture_output=True, text=True).stdout
    except OSError:
        return ""
    names = [name for name in ("libstdc++", "libgcc_s") if name in output]
    return " and ".join(names)


def machine():
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{model}, {os.cpu_count()} cores, Linux {platform.release()}"


def ratio(a, b):
    return f"{a / b:.2f}" if a and b else "–"


def verdict(ok):
    return "met" if ok else "**missed**"


def build_table(timings, instructions, imports, quick):
    def t(impl, case):
        return timings.get((impl, case))

    def ir(impl, case):
        return instructions.get((impl, case))

    def count(value):
        return f"{value:.0f}" if value else "–"

    lines = [
        "| call | kelvane ns | floor ns | old floor ns | reference ns | ÷ floor | reference ÷ | "
        "kelvane instr. | floor instr. | old floor instr. | ÷ floor | reference instr. |",
        "|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|",
    ]
    for name, _stmt, _kind in CASES:
        k, f, o, r = (t(impl, name) for impl in IMPLEMENTATIONS)
        ik, iff, io, ir_ = (ir(impl, name) for impl in IMPLEMENTATIONS)
        lines.append(
            f"| `{name}` | {k:.1f} | {f:.1f} | {o:.1f} | {r:.1f} | {ratio(k, f)} | {ratio(r, k)} | "
            f"{count(ik)} | {count(iff)} | {count(io)} | {ratio(ik, iff)} | {count(ir_)} |"
        )
    im = imports
    lines.append(
        f"| `import` (fresh process, ms) | {im['kelvane']:.3f} | {im['floor']:.3f} | {im['old_floor']:.3f} | "
        f"{im['reference']:.3f} | {ratio(im['kelvane'], im['floor'])} | {ratio(im['reference'], im['kelvane'])} | "
        "– | – | – | – | – |"
    )

    targets = []
    for name in BUILDERS:
        k, f, r = t("kelvane", name), t("floor", name), t("reference", name)
        ik, iff = ir("kelvane", name), ir("floor", name)
        instr = f", instructions {ik / iff:.3f}× ({verdict(ik / iff <= BUILDER_FLOOR_RATIO)})" if ik and iff else ""
        targets.append(
            f"- `{name}`: time {k / f:.2f}× floor ({verdict(k / f <= BUILDER_FLOOR_RATIO)}){instr}; "
            f"{r / k:.1f}× faster than the reference ({verdict(r / k >= BUILDER_REFERENCE_SPEEDUP)}; "
            f"the floor itself is {r / f:.1f}×)"
        )
    ik, iff = ir("kelvane", KEYWORD_CASE), ir("floor", KEYWORD_CASE)
    if ik and iff:
        targets.append(
            f"- keyword call (`{KEYWORD_CASE}`): instructions {ik / iff:.3f}× floor, at most "
            f"{KEYWORD_FLOOR_RATIO:.2f}× ({verdict(ik / iff <= KEYWORD_FLOOR_RATIO)})"
        )
    for name, _stmt, kind in CASES:
        if kind != "constructor":
            continue
        k, r = t("kelvane", name), t("reference", name)
        ik, iff, io = ir("kelvane", name), ir("floor", name), ir("old_floor", name)
        instr = (
            f"instructions {ik / iff:.3f}× floor, at most {CONSTRUCTOR_FLOOR_RATIO:.2f}× "
            f"({verdict(ik / iff <= CONSTRUCTOR_FLOOR_RATIO)}; the old floor was {io:.0f}); "
            if ik and iff and io
            else ""
        )
        targets.append(
            f"- `{name}`: {instr}{r / k:.1f}× faster than the reference ({verdict(r / k >= OBJECT_REFERENCE_SPEEDUP)})"
        )
    for name, _stmt, kind in CASES:
        if kind == "getter":
            k, f = t("kelvane", name), t("floor", name)
            targets.append(f"- `{name}`: {k / f:.2f}× floor ({verdict(k / f <= GETTER_FLOOR_RATIO)})")
    runtime = shared_runtime()
    targets.append(
        f"- `import kelvane`: {im['kelvane']:.3f} ms ({verdict(im['kelvane'] < IMPORT_BUDGET_MS)})"
        + (f"; the extension loads {runtime} as shared libraries when imported, most of this time" if runtime else "")
    )

    now = datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d")
    mode = "quick look (few runs)" if quick else f"{TIMING_ROUNDS} rounds of pyperf runs"
    header = [
        f"#### Python {platform.python_version()}",
        "",
        f"Measured {now} on {machine()}, {mode}.",
        "",
    ]
    return "\n".join([*header, *lines, "", *targets]) + "\n"


def write_readme(path, section, version):
    """Puts `section` between this Python's bench markers; a Python without
    markers yet gets its block after the last existing one."""
    begin, end = f"{BEGIN} {version} -->", f"{END} {version} -->"
    with open(path) as file:
        text = file.read()
    block = f"{begin}\n{section}{end}"
    if begin in text and end in text:
        text = text[: text.index(begin)] + block + text[text.index(end) + len(end) :]
    else:
        blocks = list(re.finditer(re.escape(END) + r" [\d.]+ -->", text))
        if not blocks:
            sys.exit(f"bench: {path} has no bench markers to place the results of Python {version} by")
        at = blocks[-1].end()
        text = text[:at] + "\n\n" + block + text[at:]
    with open(path, "w") as file:
        file.write(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--floor-dir", required=True, help="directory holding the built floor extension")
    parser.add_argument("--out", required=True, help="directory for raw results")
    parser.add_argument("--quick", action="store_true", help="a rough look in well under a minute")
    parser.add_argument("--readme", help="file to update between the bench markers (ignored with --quick)")
    args = parser.parse_args()

    os.makedirs(args.out, exist_ok=True)
    floor_dir = os.path.abspath(args.floor_dir)
    os.environ["KELVANE_FLOOR_DIR"] = floor_dir
    env = dict(os.environ)

    check_same_packets()
    timings, _suite = run_timings(args.out, args.quick, env)
    imports = run_imports(floor_dir, 10 if args.quick else 40)
    instructions = {} if args.quick else run_callgrind(args.out, env)

    section = build_table(timings, instructions, imports, args.quick)
    with open(os.path.join(args.out, "results.md"), "w") as file:
        file.write(section)
    with open(os.path.join(args.out, "results.json"), "w") as file:
        json.dump(
            {
                "python": platform.python_version(),
                "machine": machine(),
                "time_ns": {f"{i}: {c}": v for (i, c), v in timings.items()},
                "instructions": {f"{i}: {c}": v for (i, c), v in instructions.items()},
                "import_ms": imports,
            },
            file,
            indent=2,
        )
    print()
    print(section)
    if args.readme and not args.quick:
        write_readme(args.readme, section, "{}.{}".format(*sys.version_info[:2]))
        log(f"results written to {args.readme}")


if __name__ == "__main__":
    main()
