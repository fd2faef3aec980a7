"""Runs as HDF5, written one state at a time: the data-set folder that
learned-simulator loaders read (train.h5, valid.h5, test.h5, metadata.json),
and shard files that hold some of a set's runs, to be merged into one.

Every file is written by the same sequence of calls whether its runs come
straight from the solver or from shards, with no time stamps and a fixed
file format, so the same runs always give the same bytes.
"""
import json
import math
import os

import h5py
import numpy as np

from ._sph import BOX, SMOOTHING_LENGTH, SPACING, TIME_STEP, _PendingFile
from .runs import Identity, Run, kept_frames, particle_count

COMPRESSIONS = ("none", "lzf", "gzip")
SPLIT_NAMES = ("train", "valid", "test")
SHARD_FORMAT = "sph.dataset shard 1"
# Files as the oldest readers read them; the same bytes every time.
FILE_OPTIONS = {"libver": "earliest", "track_order": False}


def split_sizes(runs, text):
    """Runs of train, valid and test, in run order, from shares such as
    "80,10,10": each split ends at runs x its cumulative share, rounded to
    the nearest run (halves up). Raises ValueError."""
    parts = text.split(",")
    if len(parts) != 3 or not all(p.isascii() and p.isdigit() for p in parts) or sum(map(int, parts)) == 0:
        raise ValueError(f"'{text}' is not three whole numbers TRAIN,VALID,TEST, not all 0")
    shares = [int(p) for p in parts]
    total = sum(shares)
    ends = [(2 * runs * sum(shares[:i + 1]) + total) // (2 * total) for i in range(3)]
    return (ends[0], ends[1] - ends[0], ends[2] - ends[1])


def _dataset(group, name, data):
    return group.create_dataset(name, data=data, track_times=False)


def _column_sums(values, fold=16):
    """Sums of the columns of (N, 3) `values`, rows added `fold` at a time
    side by side (NumPy's loops are slow over rows of three), then the
    partial sums: the same order, so the same bits, on every machine."""
    whole = len(values) // fold * fold
    partial = values[:whole].reshape(-1, 3 * fold).sum(axis=0).reshape(fold, 3).sum(axis=0)
    return partial + values[whole:].sum(axis=0)


class RunWriter:
    """Writes one run into `group`: position and velocity (S, N, 3) float32
    state by state, then the rest. Sums, for the statistics, what loaders
    compute from the stored positions: velocity v = p[s+1] - p[s] and
    acceleration a = v[s+1] - v[s], both in float32 as from float32
    positions, and their squares, added in float64."""

    def __init__(self, group, identity, compression):
        states, count = len(kept_frames(identity)), particle_count(identity)
        options = {"shape": (states, count, 3), "dtype": np.float32, "track_times": False}
        if compression != "none":
            options.update(chunks=(1, count, 3), compression=compression, shuffle=True)
        self.group, self.identity = group, identity
        self.position = group.create_dataset("position", **options)
        self.velocity = group.create_dataset("velocity", **options)
        self.stored = 0
        self.previous_position = self.previous_velocity = None
        # Rows: velocity sum, velocity sum of squares, acceleration sum, sum of squares.
        self.sums = np.zeros((4, 3), np.float64)
        self.counts = [0, 0]  # velocity and acceleration samples (particles x states)

    def add(self, positions, velocities):
        positions = np.array(positions, np.float32)  # the simulation's views are strided and change
        self.position[self.stored] = positions
        self.velocity[self.stored] = np.ascontiguousarray(velocities, np.float32)
        self.stored += 1
        if self.previous_position is not None:
            velocity = positions - self.previous_position
            self._sum(0, velocity)
            if self.previous_velocity is not None:
                self._sum(1, velocity - self.previous_velocity)
            self.previous_velocity = velocity
        self.previous_position = positions

    def _sum(self, which, values):
        wide = values.astype(np.float64)
        self.sums[2 * which] += _column_sums(wide)
        self.sums[2 * which + 1] += _column_sums(wide * wide)
        self.counts[which] += len(values)

    def finish(self, number, gravity, arrows, digest):
        group, identity = self.group, self.identity
        _dataset(group, "particle_type", np.zeros(particle_count(identity), np.int32))
        _dataset(group, "gravity", np.asarray(gravity, np.float32))
        _dataset(group, "arrows", np.asarray(arrows, np.uint8))
        _dataset(group, "kept_frames", kept_frames(identity))
        group.attrs["run"] = np.int64(number)
        group.attrs["digest"] = str(digest)
        group.attrs["threads"] = np.int32(identity.threads)
        group.attrs["seed"] = np.int64(identity.seed)


def write_run(group, identity, compression, run, states):
    """Writes `run` from `states` (its (positions, velocities) pairs); the
    run's gravity, arrows and digest are read once the states are done."""
    writer = RunWriter(group, identity, compression)
    for positions, velocities in states:
        writer.add(positions, velocities)
    writer.finish(run.number, run.gravity, run.arrows, run.digest)
    return writer


class SetWriter:
    """The data-set folder's files in `folder`, runs given in order 0, 1, ..."""

    def __init__(self, folder, identity, runs, sizes, compression):
        self.folder, self.identity, self.runs, self.sizes = folder, identity, runs, sizes
        self.compression = compression
        self.files = [h5py.File(os.path.join(folder, name + ".h5"), "w", **FILE_OPTIONS) for name in SPLIT_NAMES]
        self.next_run = 0
        self.sums = np.zeros((4, 3), np.float64)
        self.counts = [0, 0]

    def split_of(self, number):
        """The split (0, 1, 2) and the place in it of run `number`."""
        for split, size in enumerate(self.sizes):
            if number < size:
                return split, number
            number -= size
        raise IndexError("run beyond the set")

    def write(self, run, states):
        assert run.number == self.next_run, "runs go in order"
        split, place = self.split_of(run.number)
        writer = write_run(self.files[split].create_group(f"{place:05d}"), self.identity, self.compression, run, states)
        if split == 0:  # the statistics are the train split's, added run by run in order
            self.sums += writer.sums
            self.counts = [a + b for a, b in zip(self.counts, writer.counts)]
        self.next_run += 1

    def close(self):
        """Closes the files, on disk, and writes metadata.json."""
        for file in self.files:
            file.flush()
            file.close()
        for name in SPLIT_NAMES:
            _sync(os.path.join(self.folder, name + ".h5"))
        path = os.path.join(self.folder, "metadata.json")
        with open(path, "w") as stream:
            json.dump(self.metadata(), stream, indent=2)
            stream.write("\n")
        _sync(path)

    def discard(self):
        for file in self.files:
            try:
                file.close()
            except Exception:  # an interrupted write can leave HDF5 unable to close cleanly
                pass

    def metadata(self):
        identity = self.identity
        states = len(kept_frames(identity))

        def mean_std(which):
            mean = self.sums[2 * which] / self.counts[which]
            variance = np.maximum(self.sums[2 * which + 1] / self.counts[which] - mean * mean, 0.0)
            return [float(x) for x in mean], [float(math.sqrt(x)) for x in variance]

        vel_mean, vel_std = mean_std(0)
        acc_mean, acc_std = mean_std(1)
        return {
            "dim": 3,
            "bounds": [[0.0, float(size)] for size in BOX],
            "periodic_boundary_conditions": [False, False, False],
            "default_connectivity_radius": _decimal(SMOOTHING_LENGTH),
            "dx": _decimal(SPACING),
            "dt": _decimal(np.float32(TIME_STEP) * np.float32(identity.every)),
            "write_every": identity.every,
            "num_particles_max": particle_count(identity),
            "sequence_length_train": states,
            "sequence_length_test": states,
            "num_trajs_train": self.sizes[0],
            "num_trajs_valid": self.sizes[1],
            "num_trajs_test": self.sizes[2],
            "vel_mean": vel_mean, "vel_std": vel_std, "acc_mean": acc_mean, "acc_std": acc_std,
            "seed": identity.seed, "threads": identity.threads, "layers": list(identity.layers),
            "frames": identity.frames, "every": identity.every, "compression": self.compression,
        }


def _decimal(value):
    """A float32 as its shortest decimal (3.85, not 3.8499999046325684)."""
    return float(str(np.float32(value)))


def _sync(path):
    descriptor = os.open(path, os.O_RDONLY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


IDENTITY_FIELDS = ("seed", "threads", "layers", "frames", "every", "runs")


def write_shard(path, identity, runs, first, count, compression, on_frame=None):
    """Runs first to first + count - 1 of a set of `runs`, as one shard file
    at `path`, whole or not at all (raises OSError)."""
    pending = _PendingFile(path)
    try:
        with os.fdopen(pending.fileno(), "r+b", closefd=False) as stream:
            with h5py.File(stream, "w", **FILE_OPTIONS) as file:
                for name, value in (("format", SHARD_FORMAT), ("seed", np.int64(identity.seed)),
                                    ("threads", np.int32(identity.threads)),
                                    ("layers", np.array(identity.layers, np.int32)),
                                    ("frames", np.int64(identity.frames)), ("every", np.int64(identity.every)),
                                    ("runs", np.int64(runs)), ("first_run", np.int64(first)),
                                    ("run_count", np.int64(count)), ("compression", compression)):
                    file.attrs[name] = value
                for number in range(first, first + count):
                    run = Run(identity, number)
                    write_run(file.create_group(f"{number:05d}"), identity, compression, run, run.states(on_frame))
        pending.commit()
    finally:
        pending.discard()


class ShardError(ValueError):
    """A shard that does not belong with the others, or is not one."""


def read_shard_identity(file, name):
    """(Identity, runs, first, count) of an open shard file."""
    attributes = file.attrs
    if attributes.get("format") != SHARD_FORMAT:
        raise ShardError(f"'{name}' is not a shard made by sph.dataset --first-run")
    identity = Identity(int(attributes["seed"]), int(attributes["threads"]),
                        tuple(int(x) for x in attributes["layers"]), int(attributes["frames"]),
                        int(attributes["every"]))
    return identity, int(attributes["runs"]), int(attributes["first_run"]), int(attributes["run_count"])


def check_shards(shards):
    """Checks that `shards`, [(name, identity, runs, first, count)], make one
    whole set; returns them in run order. Raises ShardError."""
    if not shards:
        raise ShardError("no shards given")
    name0, identity0, runs0 = shards[0][:3]
    for name, identity, runs, first, count in shards[1:]:
        for field, mine, theirs in zip(IDENTITY_FIELDS, tuple(identity) + (runs,), tuple(identity0) + (runs0,)):
            if mine != theirs:
                raise ShardError(f"'{name}' was made with {field} {_show(mine)} and '{name0}' with {_show(theirs)}: "
                                 f"the shards of a set share seed, threads, layers, frames, every and runs")
    ordered = sorted(shards, key=lambda shard: shard[3])
    expected, previous = 0, None
    for shard in ordered:
        name, first, count = shard[0], shard[3], shard[4]
        if first < expected:
            raise ShardError(f"runs {first} to {min(expected, first + count) - 1} are in both '{previous}' and '{name}'")
        if first > expected:
            raise ShardError(f"runs {expected} to {first - 1} are in no shard")
        expected, previous = first + count, name
    if expected < runs0:
        raise ShardError(f"runs {expected} to {runs0 - 1} are in no shard")
    return ordered


def _show(value):
    return ",".join(map(str, value)) if isinstance(value, tuple) else str(value)


class StoredRun:
    """A run read back from a shard's group, as Run gives it."""

    def __init__(self, group, identity):
        self.group, self.number = group, int(group.attrs["run"])
        self.gravity, self.arrows = group["gravity"][()], group["arrows"][()]
        self.digest = group.attrs["digest"]

    def states(self):
        for state in range(self.group["position"].shape[0]):
            yield self.group["position"][state], self.group["velocity"][state]


def copy_shard_runs(file, identity, set_writer):
    """Writes every run of an open shard file into `set_writer`, in order."""
    for name in sorted(file.keys(), key=int):
        run = StoredRun(file[name], identity)
        set_writer.write(run, run.states())
