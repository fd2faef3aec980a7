#!/usr/bin/env python3
"""Runs several builds' sph-bench side by side, in rounds: each round runs
every one of them once, in the order given, so that the machine's drift
reaches them all alike. Prints each one's median frames/s with the lowest
and highest, and the median of its ratio to the first, round by round.

    speed_rounds.py [--rounds N] [--frames F] [--threads T] BENCH...

For example native against WebAssembly, threaded and single-thread:
    speed_rounds.py --threads 1 build/tools/sph-bench build-web/tools/sph-bench \\
        build-web/single-thread/tools/sph-bench
"""
import argparse
import re
import statistics
import subprocess


def frames_per_second(bench, frames, threads):
    output = subprocess.run([bench, "--frames", str(frames), "--threads", str(threads)], check=True,
                            capture_output=True, text=True, stdin=subprocess.DEVNULL).stdout
    return float(re.search(r"frames/s: ([0-9.]+)", output).group(1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=6)
    parser.add_argument("--frames", type=int, default=300)
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("benches", nargs="+")
    args = parser.parse_args()
    rates = {bench: [] for bench in args.benches}
    for _ in range(args.rounds):
        for bench in args.benches:
            rates[bench].append(frames_per_second(bench, args.frames, args.threads))
    first = rates[args.benches[0]]
    for bench, values in rates.items():
        ratios = [value / reference for value, reference in zip(values, first)]
        print(f"{bench}: {statistics.median(values):.1f} frames/s ({min(values):.1f} - {max(values):.1f}), "
              f"to the first {statistics.median(ratios):.3f} ({min(ratios):.3f} - {max(ratios):.3f})")


if __name__ == "__main__":
    main()
