#!/usr/bin/env python3
"""Measures today's figures in one sitting and writes them into
docs/performance.md and the README, between their marker comments, stamped
with the processor, the commit and the date.

    performance_page.py [--build DIR] [--web-build DIR] [--rounds N] [--frames F]
                        [--profile [--profile-frames 100|600]] [--dry-run]

Speed: sph-bench's frames/s (the frame loop alone) over the first F frames
of the 16000 particles on 1 and 2 threads, natively and as the web build's
WebAssembly sph-bench under Node.js (threaded, and the single-thread build
on 1 thread), and natively over F/3 frames of 128000 particles. Every round
runs each of them once, in the same order, so that the machine's drift
reaches them alike; the tables give the medians of the rounds with the
lowest and highest. Memory: the peak resident size of a 3-frame run.
--profile also runs scripts/profile_table.py (perf and valgrind) for the
table of where one thread's frame goes. A build that is missing is said to
be so in the tables instead of measured.
"""
import argparse
import datetime
import math
import os
import re
import statistics
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PROGRAM_BLOCK, LARGE_BLOCK = "20,20,40", "40,40,80"


def processor():
    with open("/proc/cpuinfo") as info:
        names = re.findall(r"^model name\s*:\s*(.+)$", info.read(), re.M)
    return f"{names[0].strip()} ({len(names)} cores)" if names else "unknown processor"


def commit():
    head = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"], capture_output=True, text=True)
    changed = subprocess.run(["git", "-C", ROOT, "status", "--porcelain", "--untracked-files=no"],
                             capture_output=True, text=True).stdout.strip()
    return head.stdout.strip() + (" with uncommitted changes" if changed else "")


def run_bench(bench, frames, threads, layers):
    """sph-bench's frames/s."""
    command = [bench, "--frames", str(frames), "--threads", str(threads), "--layers", layers]
    result = subprocess.run(command, capture_output=True, text=True, stdin=subprocess.DEVNULL)
    if result.returncode != 0:
        sys.exit(f"performance_page.py: {' '.join(command)} ended with status {result.returncode}")
    return float(re.search(r"frames/s: ([0-9.]+)", result.stdout).group(1))


def peak_memory(bench, threads, layers):
    """The peak resident size in MB of a 3-frame run, as /usr/bin/time sees
    it (a child of Python would count Python's own pages, which it had
    before the program replaced it)."""
    command = ["/usr/bin/time", "-f", "%M", bench, "--frames", "3", "--threads", str(threads), "--layers", layers]
    result = subprocess.run(command, capture_output=True, text=True, stdin=subprocess.DEVNULL, check=True)
    return int(result.stderr.strip().splitlines()[-1]) / 1024


def measure_speed(benches, rounds, frames):
    """benches: (label, path, threads, layers, frames) entries; frames/s of
    each, round by round."""
    values = {entry: [] for entry in benches}
    for round_number in range(rounds):
        print(f"round {round_number + 1} of {rounds}", file=sys.stderr)
        for entry in benches:
            _, bench, threads, layers, run_frames = entry
            values[entry].append(run_bench(bench, run_frames, threads, layers))
    return values


def cell(measured):
    if not measured:
        return "not built", ""
    return f"{statistics.median(measured):.1f}", f"{min(measured):.1f} – {max(measured):.1f}"


def speed_tables(values, benches, stamp):
    def find(label, threads, layers):
        return next((values[e] for e in benches if e[0] == label and e[2] == threads and e[3] == layers), [])

    summary = ["| Threads | Native (`sph-bench`) | Page's solver (WebAssembly, Node.js) |", "| ---: | ---: | ---: |"]
    full = ["| Particles | Threads | Native | Range | WebAssembly | Range | WebAssembly / native |",
            "| ---: | ---: | ---: | ---: | ---: | ---: | ---: |"]
    for threads in (1, 2):
        native, web = find("native", threads, PROGRAM_BLOCK), find("web", threads, PROGRAM_BLOCK)
        summary.append(f"| {threads} | {cell(native)[0]} | {cell(web)[0]} |")
        ratio = f"{statistics.median(web) / statistics.median(native):.2f}" if web else ""
        full.append(f"| 16000 | {threads} | {' | '.join(cell(native))} | {' | '.join(cell(web))} | {ratio} |")
    single = find("single-thread", 1, PROGRAM_BLOCK)
    full.append(f"| 16000 | 1, single-thread build | | | {' | '.join(cell(single))} | "
                f"{statistics.median(single) / statistics.median(find('native', 1, PROGRAM_BLOCK)):.2f} |"
                if single else "| 16000 | 1, single-thread build | | | not built | | |")
    for threads in (1, 2):
        full.append(f"| 128000 | {threads} | {' | '.join(cell(find('native', threads, LARGE_BLOCK)))} | | | |")
    return summary + ["", stamp], full


def memory_table(bench):
    if not os.access("/usr/bin/time", os.X_OK):
        return ["Not measured: it needs /usr/bin/time (`scripts/setup.sh` installs Debian's `time`)."]
    rows = ["| Particles | Layers | Peak resident size, 1 thread | 2 threads |", "| ---: | --- | ---: | ---: |"]
    for layers in (PROGRAM_BLOCK, LARGE_BLOCK):
        sizes = [peak_memory(bench, threads, layers) for threads in (1, 2)]
        count = math.prod(int(n) for n in layers.split(","))
        rows.append(f"| {count} | {layers} | {sizes[0]:.1f} MB | {sizes[1]:.1f} MB |")
    return rows


# Neighbour pairs within the radius a frame, over the first 100 or 600
# frames of the 16000 particles (the trajectory is pinned, so they never change).
PAIRS = {100: 181918, 600: 111338}


def profile_table(bench, frames):
    """scripts/profile_table.py's table: `frames` frames on one thread."""
    command = [sys.executable, os.path.join(ROOT, "scripts", "profile_table.py"), "--frames", str(frames),
               "--pairs", str(PAIRS[frames]), bench]
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit(f"performance_page.py: {' '.join(command)} failed:\n{result.stderr}")
    return result.stdout.strip().splitlines()


def replace_between(path, name, lines, dry_run):
    """The text between <!-- performance:NAME begin --> and its end marker,
    replaced by `lines`; the file written whole, through a temporary name."""
    with open(path) as source:
        text = source.read()
    pattern = re.compile(rf"(<!-- performance:{name} begin -->\n).*?(<!-- performance:{name} end -->)", re.S)
    if not pattern.search(text):
        sys.exit(f"performance_page.py: {path} has no markers for '{name}'")
    text = pattern.sub(lambda match: match.group(1) + "\n".join(lines) + "\n" + match.group(2), text)
    if dry_run:
        print(f"--- {os.path.relpath(path, ROOT)}: {name}\n" + "\n".join(lines))
        return
    temporary = f"{path}.{os.getpid()}.tmp"
    with open(temporary, "w") as target:
        target.write(text)
    os.replace(temporary, path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build"), help="the native Release build (build)")
    parser.add_argument("--web-build", default=os.path.join(ROOT, "build-web"), help="the web build (build-web)")
    parser.add_argument("--rounds", type=int, default=9, help="rounds of every run (9)")
    parser.add_argument("--frames", type=int, default=300, help="frames of the 16000 particles (300)")
    parser.add_argument("--profile", action="store_true", help="also the profile table (needs perf and valgrind)")
    parser.add_argument("--profile-frames", type=int, choices=sorted(PAIRS), default=600,
                        help="frames of the profiled run (600)")
    parser.add_argument("--dry-run", action="store_true", help="print the tables instead of writing them")
    args = parser.parse_args()

    native = os.path.join(args.build, "tools", "sph-bench")
    if not os.access(native, os.X_OK):
        sys.exit(f"performance_page.py: no {native}: build it with scripts/build.sh {args.build}")
    web = os.path.join(args.web_build, "tools", "sph-bench")
    single = os.path.join(args.web_build, "single-thread", "tools", "sph-bench")
    benches = []
    for threads in (1, 2):
        benches.append(("native", native, threads, PROGRAM_BLOCK, args.frames))
        if os.access(web, os.X_OK):
            benches.append(("web", web, threads, PROGRAM_BLOCK, args.frames))
    if os.access(single, os.X_OK):
        benches.append(("single-thread", single, 1, PROGRAM_BLOCK, args.frames))
    benches += [("native", native, threads, LARGE_BLOCK, max(1, args.frames // 3)) for threads in (1, 2)]

    load = os.getloadavg()[0]
    date = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d")
    rounds = f"{args.rounds} round" + ("s" if args.rounds != 1 else "")
    sitting = f"Measured on {processor()}, commit {commit()}, {date}, load average {load:.1f} at the start"
    if load > 0.5 * os.cpu_count():
        sitting += ". The machine was busy with other work: measure again on a quiet one before quoting these"
    stamp = (f"{args.frames} frames ({max(1, args.frames // 3)} at 128000 particles), medians of {rounds}. "
             f"{sitting}.")
    values = measure_speed(benches, args.rounds, args.frames)
    summary, full = speed_tables(values, benches, stamp)
    figures = ["Frames per second:", ""] + full + ["", "Memory, a 3-frame run (`sph-bench --frames 3`):", ""]
    figures += memory_table(native) + ["", stamp]

    replace_between(os.path.join(ROOT, "README.md"), "summary", summary, args.dry_run)
    replace_between(os.path.join(ROOT, "docs", "performance.md"), "figures", figures, args.dry_run)
    if args.profile:
        profile = profile_table(native, args.profile_frames) + ["", f"{sitting}."]
        replace_between(os.path.join(ROOT, "docs", "performance.md"), "profile", profile, args.dry_run)


if __name__ == "__main__":
    main()
