"""The timing suite, run by pyperf: each case against each implementation.

Run through bench/run.py, which passes pyperf's options (output file, quick
mode). The implementations of a case run back to back, so that drift of
a noisy machine touches them alike.
"""

import pyperf
from cases import CASES, IMPLEMENTATIONS, setup_for

# Each statement is written out this many times inside the timing loop, so
# that the loop's own cost is spread thin.
DUPLICATE = 10


def main():
    runner = pyperf.Runner()
    runner.metadata["description"] = "kelvane against its floor and a pure-Python reference"
    for name, stmt, _kind in CASES:
        for impl in IMPLEMENTATIONS:
            runner.timeit(f"{impl}: {name}", stmt=stmt, setup=setup_for(impl), duplicate=DUPLICATE)


if __name__ == "__main__":
    main()
