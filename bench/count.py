"""Runs one case's statement a given number of times, for instruction counts.

    python count.py IMPL CASE_INDEX N

bench/run.py runs this under callgrind for N and 2N and takes the difference,
so start-up, set-up and warm-up cancel out. The statement is written out
DUPLICATE times per loop, as in the timing suite.
"""

import sys

from cases import CASES, setup_for
from suite import DUPLICATE

WARMUP = 2000

TEMPLATE = """\
def run(_loops):
{setup}
    for _ in range({warmup}):
{body}
    for _ in range(_loops):
{body}
"""


def indent(text, level):
    return "\n".join(" " * level + line for line in text.splitlines())


def main():
    impl, case, loops = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    stmt = CASES[case][1]
    source = TEMPLATE.format(
        setup=indent(setup_for(impl), 4),
        warmup=WARMUP // DUPLICATE,
        body=indent("\n".join([stmt] * DUPLICATE), 8),
    )
    namespace = {}
    exec(compile(source, "<count>", "exec"), namespace)
    namespace["run"](loops // DUPLICATE)


if __name__ == "__main__":
    main()
