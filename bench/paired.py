"""Paired timing of builds of kelvane, in one process, in alternation.

    python bench/paired.py [--floor-dir DIR] [--rounds 200] LABEL=PATH.so LABEL=PATH.so ...

For an A/B question (did this change make a call faster?) that the machine's
noise would drown between processes: each build's shared object is loaded in
turn as `kelvane` (the module keeps nothing that stops a second copy from
loading), and `set_channel_request(1, cfg, 7)` of every build, and of the
floor when --floor-dir is given, is timed round by round in alternating order.
Prints each build's 10th percentile and median, and the median of the paired
ratios against the first build.
"""

import argparse
import importlib.util
import statistics
import sys
import timeit

STATEMENT = "f(1, cfg, 7); " * 10
NUMBER = 5000  # loops of STATEMENT per sample


def load_build(path):
    for key in [key for key in sys.modules if key == "kelvane" or key.startswith("kelvane.")]:
        del sys.modules[key]
    module = importlib.util.module_from_spec(importlib.util.spec_from_file_location("kelvane", path))
    return module, sys.modules["kelvane.channel.packets.set_channel"]


def target(module, classes):
    cfg = classes.ChannelConfig(classes.ChannelType.RTD(classes.RTDType.PT100), 400.0, 18.0, 1000.0, 10.0)
    return {"f": module.set_channel_request, "cfg": cfg}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("builds", nargs="+", metavar="LABEL=PATH", help="a label and a built kelvane .so")
    parser.add_argument("--floor-dir", help="directory holding the built floor, timed as 'floor'")
    parser.add_argument("--rounds", type=int, default=200)
    args = parser.parse_args()

    targets = {}
    for build in args.builds:
        label, _, path = build.partition("=")
        targets[label] = target(*load_build(path))
    if args.floor_dir:
        sys.path.insert(0, args.floor_dir)
        import kelvane_floor

        targets["floor"] = target(kelvane_floor, kelvane_floor)

    samples = {label: [] for label in targets}
    labels = list(targets)
    for number in range(args.rounds):
        for label in labels if number % 2 == 0 else reversed(labels):
            seconds = timeit.timeit(STATEMENT, globals=targets[label], number=NUMBER)
            samples[label].append(seconds / (NUMBER * 10) * 1e9)

    for label in labels:
        values = sorted(samples[label])
        print(f"{label:10s} p10 {values[len(values) // 10]:6.2f} ns   median {statistics.median(values):6.2f} ns")
    base = labels[0]
    for label in labels[1:]:
        ratios = [a / b for a, b in zip(samples[label], samples[base], strict=True)]
        low, _, high = statistics.quantiles(ratios, n=4)
        median = statistics.median(ratios)
        print(f"{label} / {base}: median paired ratio {median:.3f} (quartiles {low:.3f} to {high:.3f})")


if __name__ == "__main__":
    main()
