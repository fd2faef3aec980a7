#!/usr/bin/env python3
"""Where one thread's frame goes, part by part: each part's share of the CPU
time (perf's cpu-clock samples), its time and its instructions per neighbour
pair, as a Markdown table.

    profile_table.py [--frames F] [--runs N] [--pairs P] [--callgrind-out FILE] [BENCH]

BENCH (build/tools/sph-bench) runs F frames (600) of the 16000 particles on
one thread: N times (5) plainly, for the median CPU time; once under
`perf record -e cpu-clock -F 10000`, for the shares; once under valgrind's
callgrind, for the instructions (valgrind has no AVX-512, so those are of
the AVX2 forms). A part's time a pair is its share of the median CPU time
divided by F times P, the pairs within the radius a frame: 111,338 over the
first 600 frames (the trajectory is pinned bit for bit, so it never changes;
give --pairs for other frame counts: 181,918 over the first 100). With
--callgrind-out, the instructions are read from a callgrind output of the
same run made before. The functions the compiler keeps apart
are the parts; in a pass's walk the fills and the in-order sums share one.
"""
import argparse
import os
import re
import resource
import statistics
import subprocess
import tempfile

# Part of a frame, and the functions (their names' distinctive piece) that make it up.
PARTS = [
    ("collecting candidates", ["collectCandidates", "gatherNeighbourLists", "reserveCandidates", "reserveNeighbours"]),
    ("candidate screen", ["screenSixteenLanes", "screenEightLanes", "screenSsse3", "screenBaseline", "screenCandidates",
                          "exactLanes"]),
    ("density pass: walk, fills and in-order sums", ["walkDensityRates", "computeDensityRates", "sumRateRun"]),
    ("force pass: walk and fills; walls and gravity", ["walkForces", "computeForces", "addParticleForces"]),
    ("force pass: in-order sums", ["sumForceRun"]),
    ("pair terms", ["squaredDistanceLoop", "densityRateLoop", "forcePairLoop", "computeSquaredDistances",
                    "computeDensityRateTerms", "computeForcePairTerms"]),
    ("pass 2 (particle state)", ["updateParticleState", "pow"]),
    ("integrate", ["integrate"]),
    ("grid rebuild", ["rebuildGrid"]),
]
OTHER = "other (thread starts, copies, the rest)"


def part_of(symbol):
    for name, pieces in PARTS:
        if any(piece in symbol for piece in pieces):
            return name
    return OTHER


def command(bench, frames):
    return [bench, "--frames", str(frames), "--threads", "1"]


def cpu_seconds(bench, frames):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(command(bench, frames), check=True, stdout=subprocess.DEVNULL)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def perf_shares(bench, frames, folder):
    data = os.path.join(folder, "perf.data")
    subprocess.run(["perf", "record", "-q", "-e", "cpu-clock", "-F", "10000", "-o", data, *command(bench, frames)],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    report = subprocess.run(["perf", "report", "-i", data, "--no-children", "--sort", "symbol", "--stdio"],
                            check=True, capture_output=True, text=True).stdout
    shares = {}
    for line in report.splitlines():
        found = re.match(r"\s*([0-9.]+)%\s+\[[.k]\]\s+(.*)", line)
        if found:
            part = part_of(found.group(2))
            shares[part] = shares.get(part, 0.0) + float(found.group(1)) / 100
    return shares


def callgrind_instructions(bench, frames, folder, out=None):
    if out is None:
        out = os.path.join(folder, "callgrind.out")
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", *command(bench, frames)],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    report = subprocess.run(["callgrind_annotate", "--threshold=100", out], check=True, capture_output=True,
                            text=True).stdout
    counts, total = {}, 0
    for line in report.splitlines():
        found = re.match(r"\s*([0-9,]+) \([ 0-9.]+%\)\s+(.*)", line)
        if not found:
            continue
        count = int(found.group(1).replace(",", ""))
        if "PROGRAM TOTALS" in found.group(2):
            total = count
            continue
        part = part_of(found.group(2))
        counts[part] = counts.get(part, 0) + count
    counts[OTHER] = counts.get(OTHER, 0) + total - sum(counts.values())
    return counts, total


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--frames", type=int, default=600)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--pairs", type=int, default=111338, help="neighbour pairs a frame over the frames run")
    parser.add_argument("--callgrind-out", help="callgrind's output of BENCH --frames F --threads 1, made before")
    parser.add_argument("bench", nargs="?", default="build/tools/sph-bench")
    args = parser.parse_args()
    seconds = statistics.median(cpu_seconds(args.bench, args.frames) for _ in range(args.runs))
    pairs = args.frames * args.pairs
    with tempfile.TemporaryDirectory() as folder:
        shares = perf_shares(args.bench, args.frames, folder)
        shares[OTHER] = shares.get(OTHER, 0.0) + 1.0 - sum(shares.values())
        counts, total = callgrind_instructions(args.bench, args.frames, folder, args.callgrind_out)
    print(f"{args.frames} frames, 16000 particles, {args.pairs:,} pairs a frame; CPU time {seconds:.3f} s "
          f"(median of {args.runs})\n")
    print("| part of a frame | share | ns a pair | instructions a pair |")
    print("|---|---:|---:|---:|")
    for name in [name for name, _ in PARTS] + [OTHER]:
        share = shares.get(name, 0.0)
        print(f"| {name} | {100 * share:.1f} % | {share * seconds / pairs * 1e9:.2f} | {counts.get(name, 0) / pairs:.1f} |")
    print(f"| all | 100 % | {seconds / pairs * 1e9:.2f} | {total / pairs:.1f} |")


if __name__ == "__main__":
    main()
