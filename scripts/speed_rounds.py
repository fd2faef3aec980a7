#!/usr/bin/env python3
"""Runs several builds' sph-bench side by side, in rounds: each round runs
every one of them once (with each thread count given), in the order given,
so that the machine's drift reaches them all alike. Prints each one's median
with the lowest and highest, and the median of its ratio to the first, round
by round (above 1: faster than the first).

    speed_rounds.py [--rounds N] [--frames F] [--threads T[,T...]] [--layers X,Y,Z] [--cpu] BENCH...

By default the measure is the frames/s that sph-bench prints (the frame
loop by the clock); with --cpu it is the CPU time of the whole run (user and
system, all threads), which other load on the machine moves less: the
measure for one thread. For example:

    # native against WebAssembly, threaded and single-thread
    speed_rounds.py --threads 1 build/tools/sph-bench build-web/tools/sph-bench \\
        build-web/single-thread/tools/sph-bench
    # one thread against an older build, by CPU time
    speed_rounds.py --rounds 15 --frames 400 --cpu build/tools/sph-bench OLD/tools/sph-bench
    # 128000 particles, one and two threads of two builds
    speed_rounds.py --rounds 5 --frames 100 --layers 40,40,80 --threads 1,2 build/tools/sph-bench OLD/tools/sph-bench
"""
import argparse
import re
import resource
import statistics
import subprocess


def run(bench, frames, threads, layers, cpu):
    command = [bench, "--frames", str(frames), "--threads", str(threads)] + (["--layers", layers] if layers else [])
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    output = subprocess.run(command, check=True, capture_output=True, text=True, stdin=subprocess.DEVNULL).stdout
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if cpu:
        return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return float(re.search(r"frames/s: ([0-9.]+)", output).group(1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=6)
    parser.add_argument("--frames", type=int, default=300)
    parser.add_argument("--threads", type=lambda text: [int(t) for t in text.split(",")], default=[1],
                        help="thread counts, separated by commas")
    parser.add_argument("--layers", help="X,Y,Z layers of the block (sph-bench's default if not given)")
    parser.add_argument("--cpu", action="store_true", help="measure CPU seconds instead of frames/s")
    parser.add_argument("benches", nargs="+")
    args = parser.parse_args()
    runs = [(bench, threads) for bench in args.benches for threads in args.threads]
    values = {entry: [] for entry in runs}
    for _ in range(args.rounds):
        for bench, threads in runs:
            values[(bench, threads)].append(run(bench, args.frames, threads, args.layers, args.cpu))
    unit = "CPU s" if args.cpu else "frames/s"
    first = values[runs[0]]
    for (bench, threads), measured in values.items():
        # Speed ratios: less CPU time, or more frames/s, is faster.
        ratios = [(reference / value) if args.cpu else (value / reference) for value, reference in zip(measured, first)]
        print(f"{bench} --threads {threads}: {statistics.median(measured):.3f} {unit} "
              f"({min(measured):.3f} - {max(measured):.3f}), speed to the first {statistics.median(ratios):.3f} "
              f"({min(ratios):.3f} - {max(ratios):.3f})")


if __name__ == "__main__":
    main()
