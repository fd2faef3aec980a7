"""sph.dataset's costs, for the README's data-set section: what streaming
runs to HDF5 adds to the solver's own time, the files' sizes, Dask worker
processes against one process, and the peak resident memory of the HDF5
folder against the .npz archive. Each measure is a whole process, as a
user runs it (start-up and seeding included on both sides), its CPU time and
peak resident size read by wait4.

    /usr/bin/python3 scripts/dataset_speed.py BUILD_DIR [--parts stream cluster memory] [--rounds 3]
        [--frames 1000] [--layers 20,20,40] [--cluster-runs 4] [--memory-runs 20]

sph-bench runs the frames with the keys that run 0 of the data set holds.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def measure(command, environment=None):
    """Runs `command`: (wall seconds, CPU seconds of it and its children, peak resident bytes)."""
    started = time.perf_counter()
    child = subprocess.Popen(command, stdout=subprocess.DEVNULL, env=environment)
    _, status, usage = os.wait4(child.pid, 0)
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"failed: {' '.join(command)}")
    wall = time.perf_counter() - started
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss * 1024


def folder_bytes(path):
    return sum(os.path.getsize(os.path.join(path, name)) for name in os.listdir(path))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build")
    parser.add_argument("--parts", nargs="+", default=["stream", "cluster", "memory"])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--frames", type=int, default=1000)
    parser.add_argument("--layers", default="20,20,40")
    parser.add_argument("--cluster-runs", type=int, default=4)
    parser.add_argument("--memory-runs", type=int, default=20)
    arguments = parser.parse_args()
    bench = os.path.join(arguments.build, "tools", "sph-bench")
    environment = dict(os.environ, PYTHONPATH=os.path.join(arguments.build, "python"))
    work = tempfile.mkdtemp(prefix="sph-dataset-speed.")
    frames, layers = str(arguments.frames), arguments.layers

    def dataset(*options):
        out = os.path.join(work, "out")
        shutil.rmtree(out, ignore_errors=True)
        if os.path.exists(out + ".npz"):
            os.remove(out + ".npz")
        target = out + ".npz" if "h5" not in options else out
        result = measure([sys.executable, "-m", "sph.dataset", "--frames", frames, "--layers", layers, *options,
                          "--out", target], environment)
        size = folder_bytes(out) if os.path.isdir(out) else os.path.getsize(target)
        return result + (size,)

    try:
        if "stream" in arguments.parts:
            print(f"1 run of {frames} frames at {layers}: CPU seconds, median of {arguments.rounds} rounds "
                  "(each round: sph-bench, then each compression)")
            # sph-bench holds the keys run 0 holds: a turning box costs more a frame than a still one.
            sys.path.insert(0, environment["PYTHONPATH"])
            from sph.runs import turn_schedule
            from sph import KEYS
            schedule, holds = turn_schedule(0, 0, arguments.frames), []
            for frame, key in enumerate(schedule):
                if key >= 0 and (frame == 0 or schedule[frame - 1] != key):
                    last = frame
                    while last + 1 < len(schedule) and schedule[last + 1] == key:
                        last += 1
                    holds.append(f"{KEYS[key]}:{frame}-{last}")
            hold = ["--hold", *holds] if holds else []
            cpu = {name: [] for name in ("sph-bench", "none", "lzf", "gzip")}
            sizes = {}
            for _ in range(arguments.rounds):
                cpu["sph-bench"].append(measure([bench, "--frames", frames, "--layers", layers, *hold])[1])
                for compression in ("none", "lzf", "gzip"):
                    _, seconds, _, sizes[compression] = dataset("--format", "h5", "--compression", compression)
                    cpu[compression].append(seconds)
            base = statistics.median(cpu["sph-bench"])
            print("| run | CPU s | / sph-bench | bytes |\n| --- | ---: | ---: | ---: |")
            for name, values in cpu.items():
                print(f"| {name} | {statistics.median(values):.2f} | {statistics.median(values) / base:.3f} | "
                      f"{sizes.get(name, '')} |", flush=True)
        if "cluster" in arguments.parts:
            runs = str(arguments.cluster_runs)
            walls = {"1 process": [], "2 Dask workers": []}
            for round_ in range(arguments.rounds):
                order = [("1 process", []), ("2 Dask workers", ["--workers", "2"])]
                for name, extra in order if round_ % 2 == 0 else order[::-1]:
                    walls[name].append(dataset("--format", "h5", "--runs", runs, *extra)[0])
            one, two = (statistics.median(walls[name]) for name in walls)
            print(f"{runs} runs of {frames} frames at {layers}, wall seconds (median of {arguments.rounds}, "
                  f"alternated): 1 process {one:.1f}, 2 Dask workers {two:.1f} (cluster start included): "
                  f"{one / two:.2f} x", flush=True)
        if "memory" in arguments.parts:
            runs = str(arguments.memory_runs)
            _, _, peak, size = dataset("--format", "h5", "--runs", runs)
            print(f"peak resident memory, {runs} runs x {frames} frames at {layers}: h5 {peak / 1e6:.0f} MB "
                  f"({size / 1e9:.2f} GB written)", flush=True)
            _, _, peak, _ = dataset("--format", "npz", "--runs", "1")
            print(f"  npz, 1 run x {frames} frames: {peak / 1e6:.0f} MB (grows by 2 x S x N x 12 bytes a run)")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
