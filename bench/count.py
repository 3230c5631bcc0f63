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
    _held = _hold_small_blocks()
    for _ in range(_loops):
{body}
"""


def hold_small_blocks():
    # A statement whose result is dropped at once allocates a block and frees
    # it again. Were that block the only one in use in its pool, the
    # interpreter's allocator would release and set up the pool again on
    # every call, some 20 instructions more, depending on where earlier
    # allocations happened to leave it (it did for one build, on one
    # interpreter, only when run from make). Holding blocks of every small
    # size class, taken where the next ones come from, keeps each pool in use
    # and the count free of that history.
    return [bytearray(size) for size in range(1, 512)]


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
    namespace = {"_hold_small_blocks": hold_small_blocks}
    exec(compile(source, "<count>", "exec"), namespace)
    namespace["run"](loops // DUPLICATE)


if __name__ == "__main__":
    main()
