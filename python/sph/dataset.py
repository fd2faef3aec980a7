"""Runs of the liquid with random turns of the box, as one compressed NumPy
archive (.npz), for learned simulators and other studies.

    python3 -m sph.dataset --runs 8 --frames 600 --every 5 --seed 1 --out runs.npz

Each run starts from the same seeded block; its turns are drawn from the
seed and the run's number: stretches of 10 to 60 frames, each with one arrow
key held or none. The same arguments give the same bytes.

The archive holds, for R runs of F frames, keeping every K-th state from
frame 0 (as seeded): S = F // K + 1 states of N particles,

  positions       float32 (R, S, N, 3)  position of each particle
  velocities      float32 (R, S, N, 3)  its velocity
  kept_frames     int32   (S,)          frames after which they were kept: 0, K, 2K, ...
  arrows          uint8   (R, F, 4)     1 where a key is held in a frame, keys as in `keys`
  gravity         float32 (R, F, 3)     the gravity each frame's step used
  keys            <U5     (4,)          up, down, left, right
  digests         <U64    (R,)          SHA-256 of each run's last state, as of sph-bench --dump
  time_step       float32 ()            the time step of a frame
  box             float32 (3,)          the box's size; it spans 0 to box on each axis
  particle_count  int32   ()            N
  threads         int32   ()            worker threads per pass
  layers          int32   (3,)          the seeded block, X, Y and Z layers
  seed            int64   ()

Every array is in memory until the archive is written (2 * R * S * N * 12
bytes for the states). A run of the same frames, threads, layers and keys in
sph-bench gives the same digest.
"""
import argparse
import os
import random
import sys
import zipfile

import numpy as np

from ._sph import BOX, KEYS, MAX_LAYERS, MAX_THREADS, TIME_STEP, Simulation, _PendingFile, _ProgressLine

INT32_TOP = 2**31 - 1
SHORTEST_STRETCH, LONGEST_STRETCH = 10, 60


def whole_number(low, high):
    """A parser of whole numbers as the tools read them: digits only."""
    def parse(text):
        if not (text.isascii() and text.isdigit()) or not low <= int(text) <= high:
            raise argparse.ArgumentTypeError(f"'{text}' is not a whole number from {low} to {high}")
        return int(text)
    return parse


def block_layers(text):
    parts = text.split(",")
    if len(parts) != 3 or not all(p.isascii() and p.isdigit() and 1 <= int(p) <= MAX_LAYERS for p in parts):
        raise argparse.ArgumentTypeError(
            f"'{text}' is not three whole numbers X,Y,Z from 1 to {MAX_LAYERS}: a block that fits in the box")
    return tuple(int(p) for p in parts)


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        prog="python3 -m sph.dataset", description=__doc__.split("\n\n")[0],
        epilog="Arrays: see pydoc sph.dataset. Exit status: 0 written, 1 not written, 2 a bad command line.")
    parser.add_argument("--runs", type=whole_number(1, INT32_TOP), default=1, metavar="N", help="runs (default 1)")
    parser.add_argument("--frames", type=whole_number(0, INT32_TOP), default=100, metavar="F",
                        help="frames of each run (default 100)")
    parser.add_argument("--every", type=whole_number(1, INT32_TOP), default=1, metavar="K",
                        help="keep every K-th state (default 1)")
    parser.add_argument("--seed", type=whole_number(0, 2**63 - 1), default=0, metavar="S",
                        help="draws the turns (default 0)")
    parser.add_argument("--threads", type=whole_number(1, MAX_THREADS), default=1, metavar="T",
                        help=f"worker threads per pass, 1 to {MAX_THREADS} (default 1)")
    parser.add_argument("--layers", type=block_layers, default=(20, 20, 40), metavar="X,Y,Z",
                        help="the seeded block (default 20,20,40: 16000 particles)")
    parser.add_argument("--out", required=True, metavar="FILE", help="the archive to write")
    arguments = parser.parse_args(argv)
    if arguments.runs * arguments.frames > INT32_TOP:
        parser.error(f"--runs times --frames must be at most {INT32_TOP}")
    return arguments


def turn_schedule(seed, run, frames):
    """The key held in each frame of a run (an index into KEYS, or -1)."""
    draw = random.Random(f"sph.dataset {seed} {run}")
    schedule = []
    while len(schedule) < frames:
        key = draw.randrange(-1, len(KEYS))
        schedule += [key] * draw.randint(SHORTEST_STRETCH, LONGEST_STRETCH)
    return schedule[:frames]


def record(arguments, progress):
    runs, frames, every = arguments.runs, arguments.frames, arguments.every
    kept_frames = np.arange(0, frames + 1, every, dtype=np.int32)
    count = int(np.prod(arguments.layers))
    positions = np.empty((runs, len(kept_frames), count, 3), np.float32)
    velocities = np.empty_like(positions)
    arrows = np.zeros((runs, frames, len(KEYS)), np.uint8)
    gravity = np.empty((runs, frames, 3), np.float32)
    digests = []
    for run in range(runs):
        simulation = Simulation(threads=arguments.threads, layers=arguments.layers)
        positions[run, 0], velocities[run, 0] = simulation.positions, simulation.velocities
        for frame, key in enumerate(turn_schedule(arguments.seed, run, frames)):
            gravity[run, frame] = simulation.gravity
            if key >= 0:
                arrows[run, frame, key] = 1
            simulation.step(1, hold=KEYS[key] if key >= 0 else None)
            if (frame + 1) % every == 0:
                kept = (frame + 1) // every
                positions[run, kept], velocities[run, kept] = simulation.positions, simulation.velocities
            progress.update(run * frames + frame + 1, runs * frames)
        digests.append(simulation.digest())
    return {
        "positions": positions, "velocities": velocities, "kept_frames": kept_frames, "arrows": arrows,
        "gravity": gravity, "keys": np.array(KEYS), "digests": np.array(digests),
        "time_step": np.float32(TIME_STEP), "box": np.array(BOX, np.float32), "particle_count": np.int32(count),
        "threads": np.int32(arguments.threads), "layers": np.array(arguments.layers, np.int32),
        "seed": np.int64(arguments.seed),
    }


def write_archive(pending, arrays):
    """An .npz as numpy.savez_compressed writes it, but with a fixed time on
    every entry, so the same arrays always give the same bytes."""
    with os.fdopen(pending.fileno(), "wb", closefd=False) as stream:
        with zipfile.ZipFile(stream, "w", zipfile.ZIP_DEFLATED, allowZip64=True) as archive:
            for name, array in arrays.items():
                entry = zipfile.ZipInfo(name + ".npy", date_time=(1980, 1, 1, 0, 0, 0))
                entry.compress_type = zipfile.ZIP_DEFLATED
                entry.external_attr = 0o644 << 16
                with archive.open(entry, "w", force_zip64=True) as member:
                    np.lib.format.write_array(member, np.asanyarray(array), allow_pickle=False)
    pending.commit()


def main(argv=None):
    arguments = parse_arguments(argv)
    try:
        # Opened first, so a path that cannot be written fails before the runs.
        pending = _PendingFile(arguments.out)
    except OSError as error:
        print(f"sph.dataset: {error.strerror or error}", file=sys.stderr)
        return 1
    progress = _ProgressLine()
    try:
        arrays = record(arguments, progress)
    except KeyboardInterrupt:
        progress.finish()
        print("sph.dataset: interrupted; nothing written", file=sys.stderr)
        return 130
    progress.finish()
    try:
        write_archive(pending, arrays)
    except OSError as error:
        pending.discard()
        print(f"sph.dataset: {error.strerror or error}", file=sys.stderr)
        return 1
    print(f"runs: {arguments.runs} frames: {arguments.frames} kept: {len(arrays['kept_frames'])} "
          f"particles: {arrays['particle_count']} written: {arguments.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
