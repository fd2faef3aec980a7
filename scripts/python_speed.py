"""Stepping from Python beside sph-bench, for the README's performance
section: the same frames of the programs' block, the two run in turn (the
order swapped every pair), each timed over its frame loop alone, by the
clock and in processor time (all threads; the machine's other load moves it
less). Ratios above 1 mean Python is faster.

    /usr/bin/python3 scripts/python_speed.py BUILD_DIR [--pairs 12] [--frames 300] [--threads 1 2]
"""
import argparse
import os
import re
import statistics
import subprocess
import sys

# Python's side: seeding outside the timing, as in sph-bench.
STEP = """
import sys, time, sph
threads, frames = int(sys.argv[1]), int(sys.argv[2])
simulation = sph.Simulation(threads=threads)
wall, processor = time.perf_counter(), time.process_time()
simulation.step(frames)
wall, processor = time.perf_counter() - wall, time.process_time() - processor
print(frames / wall, processor)
"""


def processor_seconds(command, environment=None):
    """Runs `command`; its standard output and its processor time."""
    child = subprocess.Popen(command, stdout=subprocess.PIPE, text=True, env=environment)
    output = child.stdout.read()
    _, status, usage = os.wait4(child.pid, 0)
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode != 0:
        sys.exit(f"{command[0]} failed")
    return output, usage.ru_utime + usage.ru_stime


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build")
    parser.add_argument("--pairs", type=int, default=12)
    parser.add_argument("--frames", type=int, default=300)
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    arguments = parser.parse_args()
    bench = os.path.join(arguments.build, "tools", "sph-bench")
    environment = dict(os.environ, PYTHONPATH=os.path.join(arguments.build, "python"))
    # sph-bench's processor time outside its frame loop (start, seeding).
    start = statistics.median(processor_seconds([bench, "--frames", "0"])[1] for _ in range(5))

    def run_bench(threads):
        output, seconds = processor_seconds([bench, "--frames", str(arguments.frames), "--threads", str(threads)])
        return float(re.search(r"frames/s: ([0-9.]+)", output).group(1)), seconds - start

    def run_python(threads):
        output, _ = processor_seconds([sys.executable, "-c", STEP, str(threads), str(arguments.frames)], environment)
        rate, seconds = map(float, output.split())
        return rate, seconds

    print("| Threads | sph-bench frames/s | Python frames/s | Python / sph-bench, by the clock | "
          "by processor time |")
    print("| ---: | ---: | ---: | ---: | ---: |")
    for threads in arguments.threads:
        pairs = []
        for pair in range(arguments.pairs):
            order = [run_bench, run_python]
            results = [run(threads) for run in (order if pair % 2 == 0 else reversed(order))]
            pairs.append(results if pair % 2 == 0 else results[::-1])
        # Ratios within each pair, run one after the other, then their median
        # and range: the machine's other load drifts less within a pair.
        clock = sorted(python[0] / bench[0] for bench, python in pairs)
        processor = sorted(bench[1] / python[1] for bench, python in pairs)
        rate = [statistics.median(p[k][0] for p in pairs) for k in (0, 1)]
        print(f"| {threads} | {rate[0]:.1f} | {rate[1]:.1f} | {statistics.median(clock):.3f} "
              f"({clock[0]:.3f} – {clock[-1]:.3f}) | {statistics.median(processor):.3f} "
              f"({processor[0]:.3f} – {processor[-1]:.3f}) |", flush=True)


if __name__ == "__main__":
    main()
