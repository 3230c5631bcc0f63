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
# At least the size of a pool of the interpreter's small-block allocator
# (16 KiB on 64-bit builds): a bigger figure only holds more.
POOL_SIZE = 16384

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
    # it again, in the pool at the head of its size class. Were that block
    # the only one in use there, or the last one free, the interpreter's
    # allocator would release and set up the pool again, or unlink and link
    # it again, on every call: some 20 instructions more, depending on where
    # earlier allocations happened to leave it (it came and went with running
    # under make). So every small size class gets two pools' worth of blocks,
    # of which every other one is let go again: the pool at each head is then
    # about half used, half free, whatever came before.
    blocks = []
    for size in range(16, 513, 16):
        blocks += [bytearray(size - 1) for _ in range(2 * POOL_SIZE // size + 2)]
    return blocks[::2]


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
