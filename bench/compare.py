"""Instructions per call of two builds of kelvane, case by case.

    python bench/compare.py BASE_PYTHON OTHER_PYTHON [--names BASE OTHER] [--max-ratio 1.05] [--json FILE]

Each PYTHON is an interpreter (a venv's) that imports the build to measure and
has pyperf installed (bench/count.py needs it). Every case of bench/cases.py
is counted under callgrind as bench/run.py counts it, (Ir(2N) - Ir(N)) / N
with PYTHONHASHSEED=0, once per build; `import kelvane` is timed in fresh
processes. Prints both builds per case and their ratio, OTHER / BASE.

Exits 1 if OTHER costs more than --max-ratio times BASE on a builder or a
constructor, or if its import takes 1 ms or more (median).
"""

import argparse
import concurrent.futures
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile

from cases import CASES

HERE = os.path.dirname(os.path.abspath(__file__))

CALLS = 10000
IMPORT_SAMPLES = 40
IMPORT_BUDGET_MS = 1.0
HELD_KINDS = ("builder", "constructor")

IMPORT_SOURCE = """\
import time
t = time.perf_counter_ns()
import kelvane
print(time.perf_counter_ns() - t)
"""


def callgrind_total(python, case, calls, out_file):
    command = [
        "valgrind", "--tool=callgrind", f"--callgrind-out-file={out_file}",
        python, os.path.join(HERE, "count.py"), "kelvane", str(case), str(calls),
    ]  # fmt: skip
    result = subprocess.run(command, capture_output=True, text=True, env=dict(os.environ, PYTHONHASHSEED="0"))
    match = re.search(r"Collected : (\d+)", result.stderr)
    if result.returncode != 0 or not match:
        raise RuntimeError(f"callgrind failed for {python}, case {case}:\n{result.stderr[-2000:]}")
    return int(match.group(1))


def per_call(python, case, out_dir):
    low = callgrind_total(python, case, CALLS, os.path.join(out_dir, f"{case}-low.out"))
    high = callgrind_total(python, case, 2 * CALLS, os.path.join(out_dir, f"{case}-high.out"))
    return (high - low) / CALLS


def import_ms(python):
    values = []
    for _ in range(IMPORT_SAMPLES):
        command = [python, "-I", "-c", IMPORT_SOURCE]
        values.append(int(subprocess.run(command, check=True, capture_output=True, text=True).stdout) / 1e6)
    return statistics.median(values)


def describe(python):
    source = "import kelvane, platform; print('Python', platform.python_version(), kelvane.__file__)"
    return subprocess.run([python, "-I", "-c", source], check=True, capture_output=True, text=True).stdout.strip()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("base", help="interpreter importing the build compared against")
    parser.add_argument("other", help="interpreter importing the build measured")
    parser.add_argument("--names", nargs=2, default=("base", "other"), metavar=("BASE", "OTHER"))
    parser.add_argument("--max-ratio", type=float, default=1.05)
    parser.add_argument("--json", help="also write the figures to this file")
    args = parser.parse_args()

    builds = dict(zip(args.names, (args.base, args.other), strict=True))
    base, other = args.names
    for name, python in builds.items():
        print(f"==> {name}: {describe(python)}", flush=True)
    print(f"==> callgrind: {len(CASES)} cases, N and 2N calls, each build", flush=True)
    with tempfile.TemporaryDirectory() as out_dir, concurrent.futures.ThreadPoolExecutor(os.cpu_count()) as pool:
        jobs = {}
        for name, python in builds.items():
            os.mkdir(os.path.join(out_dir, name))
            for index in range(len(CASES)):
                jobs[(name, index)] = pool.submit(per_call, python, index, os.path.join(out_dir, name))
        counts = {key: job.result() for key, job in jobs.items()}
    imports = {name: import_ms(python) for name, python in builds.items()}

    over = []
    rows = []
    print(f"\n| call | {base} instr. | {other} instr. | ÷ {base} |\n|---|--:|--:|--:|")
    for index, (case, _stmt, kind) in enumerate(CASES):
        ratio = counts[(other, index)] / counts[(base, index)]
        held = kind in HELD_KINDS
        if held and ratio > args.max_ratio:
            over.append(f"{case} {ratio:.3f}x")
        rows.append({"case": case, "kind": kind, base: counts[(base, index)], other: counts[(other, index)]})
        print(f"| `{case}` | {counts[(base, index)]:.0f} | {counts[(other, index)]:.0f} | {ratio:.3f} |")
    print(f"| `import kelvane`, ms (median of {IMPORT_SAMPLES}) | {imports[base]:.3f} | {imports[other]:.3f} | – |")
    if imports[other] >= IMPORT_BUDGET_MS:
        over.append(f"import {imports[other]:.3f} ms")

    if args.json:
        with open(args.json, "w") as file:
            json.dump({"builds": builds, "cases": rows, "import_ms": imports}, file, indent=2)
    if over:
        print(f"==> {other} over budget ({args.max_ratio}x {base} per builder or constructor call, "
              f"{IMPORT_BUDGET_MS} ms import): {'; '.join(over)}", file=sys.stderr)  # fmt: skip
        sys.exit(1)
    print(f"==> {other}: within {args.max_ratio}x of {base} on every builder and constructor, "
          f"import under {IMPORT_BUDGET_MS} ms")  # fmt: skip


if __name__ == "__main__":
    main()
