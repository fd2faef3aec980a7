"""Runs of the liquid with random turns of the box, for learned simulators and
other studies: a NumPy archive (.npz) for small sets, or a folder of HDF5
files that training loaders read, streamed to disk, for sets of any size.

    python3 -m sph.dataset --runs 8 --frames 600 --every 5 --seed 1 --out runs.npz
    python3 -m sph.dataset --format h5 --runs 1000 --frames 1000 --every 3 --out set/
    python3 -m sph.dataset --format h5 --runs 1000 --first-run 250 --run-count 250 --out part2.h5
    python3 -m sph.dataset merge --out set/ part1.h5 part2.h5 part3.h5 part4.h5
    python3 -m sph.dataset --format h5 --runs 1000 --workers 2 --out set/
    python3 -m sph.dataset --format h5 --runs 1000 --scheduler tcp://host:8786 --out /shared/set/

Each run starts from the same seeded block; its turns are drawn from the
seed and the run's number alone: stretches of 10 to 60 frames, each with one
arrow key held or none. The same arguments give the same bytes, however the
runs are spread over processes and machines. For R runs of F frames,
keeping every K-th state from frame 0 (as seeded): S = F // K + 1 states of
N particles. Positions are in world units (the box spans 0 to 336 on each
axis); a particle moves at most 1.13 a frame, so with K above 3 particles
can pass their neighbours between stored states.

The .npz archive (every array in memory until it is written, 2 * R * S * N
* 12 bytes for the states; a set that does not fit is refused before the
first run):

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

The HDF5 folder (--format h5), written one state at a time into a hidden
folder beside it (.NAME.PID.tmp) and named only when complete:

  train.h5, valid.h5, test.h5   the runs in order, split by --split (shares,
                                default 80,10,10); in each, one group a run:
                                00000, 00001, ... with
    position       float32 (S, N, 3)  as the .npz's positions
    velocity       float32 (S, N, 3)
    particle_type  int32   (N,)       0: all liquid (the walls are forces, not particles)
    gravity        float32 (F, 3)     the gravity each frame's step used
    arrows         uint8   (F, 4)     keys held in each frame: up, down, left, right
    kept_frames    int32   (S,)
    attributes     run (its number in the set), digest, threads, seed
  metadata.json   bounds, periodic_boundary_conditions, default_connectivity_radius
                  (the smoothing length), dim, dt (a frame's time step x K), write_every,
                  dx (the seeding lattice's step), num_particles_max,
                  sequence_length_train/_test (S), num_trajs_train/_valid/_test,
                  vel_mean, vel_std, acc_mean, acc_std (per axis, over the train split:
                  velocity = position[s+1] - position[s], acceleration = velocity[s+1] -
                  velocity[s], both in float32, summed in float64), and the arguments

--first-run I --run-count M writes runs I to I+M-1 of the R runs as one
shard file (--out FILE.h5); `merge --out DIR SHARD...` joins shards of one
set (same seed, threads, layers, frames, every and runs, each run in one
shard) into the folder, byte for byte as one process writes it. --workers W
runs the runs on a local Dask cluster of W processes, --scheduler ADDRESS on
an existing one, whose workers must see the folder beside --out (they write
their shards there).

A run of the same frames, threads, layers and keys in sph-bench gives the
same digest.
"""
import argparse
import os
import resource
import shutil
import sys
import zipfile

import numpy as np

from ._sph import BOX, KEYS, MAX_LAYERS, MAX_THREADS, TIME_STEP, _PendingFile, _ProgressLine
from .runs import Identity, Run, kept_frames, particle_count

INT32_TOP = 2**31 - 1
EXIT_WRITTEN, EXIT_NOT_WRITTEN, EXIT_COMMAND_LINE, EXIT_INTERRUPTED = 0, 1, 2, 130
H5_OPTIONS = ("split", "compression", "first_run", "run_count", "workers", "scheduler")


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


def add_h5_options(parser, compression_default):
    parser.add_argument("--split", metavar="TRAIN,VALID,TEST",
                        help="shares of the runs, in order, for train.h5, valid.h5, test.h5 (default 80,10,10)")
    parser.add_argument("--compression", choices=("none", "lzf", "gzip"),
                        help=f"of position and velocity, with the shuffle filter (default {compression_default})")


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        prog="python3 -m sph.dataset", description=__doc__.split("\n\n")[0],
        epilog="Layouts: see pydoc sph.dataset. Joining shards: python3 -m sph.dataset merge --help. "
               "Exit status: 0 written, 1 not written, 2 a bad command line, 130 interrupted.")
    parser.add_argument("--format", choices=("npz", "h5"), default="npz", help="an archive or a folder (default npz)")
    parser.add_argument("--runs", type=whole_number(1, INT32_TOP), default=1, metavar="R",
                        help="runs of the set (default 1)")
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
    parser.add_argument("--out", required=True, metavar="PATH",
                        help="the archive, the folder (h5), or the shard file (--first-run)")
    add_h5_options(parser, "none")
    parser.add_argument("--first-run", type=whole_number(0, INT32_TOP - 1), metavar="I",
                        help="h5: write runs I to I+M-1 only, as a shard file")
    parser.add_argument("--run-count", type=whole_number(1, INT32_TOP), metavar="M",
                        help="with --first-run: M runs (default: to the last)")
    parser.add_argument("--workers", type=whole_number(1, 1024), metavar="W",
                        help="h5: run on a local Dask cluster of W processes")
    parser.add_argument("--scheduler", metavar="ADDRESS", help="h5: run on the Dask cluster at ADDRESS")
    arguments = parser.parse_args(argv)
    if arguments.runs * arguments.frames > INT32_TOP:
        parser.error(f"--runs times --frames must be at most {INT32_TOP}")
    given = [name for name in H5_OPTIONS if getattr(arguments, name) is not None]
    if arguments.format == "npz":
        if given:
            parser.error(f"--{given[0].replace('_', '-')} is for --format h5")
        return arguments
    check_h5_identity(parser, arguments.frames, arguments.every)
    if arguments.run_count is not None and arguments.first_run is None:
        arguments.first_run = 0
    if arguments.first_run is not None:
        if arguments.workers is not None or arguments.scheduler is not None or arguments.split is not None:
            parser.error("a shard (--first-run) is made in this process and split only by the merge: "
                         "no --workers, --scheduler or --split")
        if arguments.run_count is None:
            arguments.run_count = max(arguments.runs - arguments.first_run, 1)
        if arguments.first_run + arguments.run_count > arguments.runs:
            parser.error(f"--first-run {arguments.first_run} --run-count {arguments.run_count} "
                         f"goes beyond the {arguments.runs} runs of --runs")
    elif arguments.workers is not None and arguments.scheduler is not None:
        parser.error("--workers starts a cluster, --scheduler uses one: not both")
    else:
        arguments.sizes = checked_split(parser, arguments.runs, arguments.split)
    if arguments.compression is None:
        arguments.compression = "none"
    return arguments


def check_h5_identity(parser, frames, every):
    if frames < 2 * every:
        parser.error("--format h5 needs --frames at least twice --every: three stored states, "
                     "for the acceleration statistics")


def checked_split(parser, runs, text):
    from .hdf5_layout import split_sizes
    try:
        sizes = split_sizes(runs, text or "80,10,10")
    except ValueError as error:
        parser.error(f"--split: {error}")
    if sizes[0] == 0:
        parser.error(f"--split {text} leaves none of the {runs} runs to the train split, "
                     "whose statistics metadata.json holds")
    return sizes


def parse_merge_arguments(argv):
    parser = argparse.ArgumentParser(
        prog="python3 -m sph.dataset merge",
        description="Joins shard files (sph.dataset --format h5 --first-run) of one set into the data-set folder, "
                    "the same bytes as one process makes.",
        epilog="Exit status: 0 written, 1 not written, 2 a bad command line or shards that are not one set.")
    parser.add_argument("--out", required=True, metavar="DIR", help="the folder to write")
    add_h5_options(parser, "the shards'")
    parser.add_argument("shards", nargs="+", metavar="SHARD")
    return parser, parser.parse_args(argv)


def human_size(count):
    for unit in ("bytes", "kB", "MB", "GB", "TB", "PB"):
        if count < 1000 or unit == "PB":
            return f"{count:.0f} {unit}" if unit == "bytes" else f"{count:.1f} {unit}"
        count /= 1000


def available_memory():
    """What this process may still take: the kernel's estimate of the memory
    available without swapping, a control group's limit (a container's) and
    the address-space limit, the least of those there are; None if none."""
    bounds = []
    with open("/proc/meminfo") as meminfo:
        bounds += [int(line.split()[1]) * 1024 for line in meminfo if line.startswith("MemAvailable:")]
    try:
        with open("/sys/fs/cgroup/memory.max") as maximum, open("/sys/fs/cgroup/memory.current") as current:
            text = maximum.read().strip()
            if text != "max":
                bounds.append(max(int(text) - int(current.read()), 0))
    except (OSError, ValueError):
        pass
    limit = resource.getrlimit(resource.RLIMIT_AS)[0]
    if limit != resource.RLIM_INFINITY:
        with open("/proc/self/statm") as statm:
            bounds.append(max(limit - int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE"), 0))
    return min(bounds, default=None)


def npz_bytes(arguments):
    """What the archive's arrays take in memory."""
    states, count = arguments.frames // arguments.every + 1, int(np.prod(arguments.layers))
    return arguments.runs * (2 * states * count * 12 + arguments.frames * (len(KEYS) + 12))


def record(arguments, progress):
    runs, frames = arguments.runs, arguments.frames
    identity = Identity(arguments.seed, arguments.threads, arguments.layers, frames, arguments.every)
    kept, count = kept_frames(identity), particle_count(identity)
    positions = np.empty((runs, len(kept), count, 3), np.float32)
    velocities = np.empty_like(positions)
    arrows = np.empty((runs, frames, len(KEYS)), np.uint8)
    gravity = np.empty((runs, frames, 3), np.float32)
    digests = []
    done = [0]

    def on_frame():
        done[0] += 1
        progress.update(done[0], runs * frames)
    for number in range(runs):
        run = Run(identity, number)
        for state, (position, velocity) in enumerate(run.states(on_frame)):
            positions[number, state], velocities[number, state] = position, velocity
        arrows[number], gravity[number] = run.arrows, run.gravity
        digests.append(run.digest)
    return {
        "positions": positions, "velocities": velocities, "kept_frames": kept, "arrows": arrows,
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


def write_npz(arguments, progress):
    needed, available = npz_bytes(arguments), available_memory()
    # A tenth is left to the process itself, the archive's writing and the rest of the machine.
    if available is not None and needed > available * 0.9:
        print(f"sph.dataset: the .npz needs {human_size(needed)} of memory ({needed} bytes) and "
              f"{human_size(available)} ({available} bytes) is available, of which it may take 90 %: fewer runs "
              "or frames, a larger --every, or --format h5, which streams to disk", file=sys.stderr)
        return EXIT_COMMAND_LINE
    # Opened first, so a path that cannot be written fails before the runs.
    pending = _PendingFile(arguments.out)
    try:
        arrays = record(arguments, progress.start())
        progress.finish()
        write_archive(pending, arrays)
    finally:
        pending.discard()
    return report(f"runs: {arguments.runs} frames: {arguments.frames} kept: {len(arrays['kept_frames'])} "
                  f"particles: {arrays['particle_count']} written: {arguments.out}")


class Progress:
    """The progress line, started when the runs start, counted in frames."""

    def __init__(self):
        self.line, self.done, self.total = None, 0, 1

    def start(self, total=None):
        self.line = _ProgressLine()
        self.total = total
        return self

    def update(self, done, total):
        self.line.update(done, total)

    def frame(self):
        self.done += 1
        self.line.update(self.done, self.total)

    def finish(self):
        if self.line is not None:
            self.line.finish()
            self.line = None


class FolderDestination:
    """A folder written under a hidden name beside `path` and renamed into
    place when complete; an existing folder at `path` must be empty."""

    def __init__(self, path):
        self.path = path
        target = path.rstrip("/") or path
        parent, name = os.path.split(target)
        if not name:
            raise OSError(f"cannot write the folder '{path}': No such file or directory")
        if os.path.lexists(target) and not os.path.isdir(target):
            raise OSError(f"cannot write the folder '{path}': a file is there")
        if os.path.isdir(target) and os.listdir(target):
            raise OSError(f"cannot write the folder '{path}': it is not empty")
        self.target = target
        self.temporary = os.path.join(parent, f".{name}.{os.getpid()}.tmp")
        try:
            os.mkdir(self.temporary)
        except OSError as error:
            raise OSError(f"cannot create a folder beside '{path}': {error.strerror}") from None

    def commit(self):
        try:
            os.rename(self.temporary, self.target)
        except OSError as error:
            raise OSError(f"cannot put the folder at '{self.path}': {error.strerror}") from None
        descriptor = os.open(os.path.dirname(os.path.abspath(self.target)), os.O_RDONLY)
        try:
            os.fsync(descriptor)
        finally:
            os.close(descriptor)

    def discard(self):
        shutil.rmtree(self.temporary, ignore_errors=True)


def write_folder(arguments, progress):
    from .hdf5_layout import SetWriter, copy_shard_runs
    import h5py
    identity = Identity(arguments.seed, arguments.threads, arguments.layers, arguments.frames, arguments.every)
    runs, frames = arguments.runs, arguments.frames
    destination = FolderDestination(arguments.out)
    cluster = writer = None
    try:
        if arguments.workers is not None or arguments.scheduler is not None:
            from .cluster import Cluster
            cluster = Cluster(arguments.scheduler, arguments.workers)
        writer = SetWriter(destination.temporary, identity, runs, arguments.sizes, arguments.compression)
        progress.start(runs * frames)
        if cluster is None:
            for number in range(runs):
                run = Run(identity, number)
                writer.write(run, run.states(progress.frame))
        else:
            # Absolute: the workers may run elsewhere, in another folder.
            shards = os.path.abspath(os.path.join(destination.temporary, "shards"))
            os.mkdir(shards)
            for number, path in cluster.shards_in_order(identity, runs, shards):
                with h5py.File(path, "r") as file:
                    copy_shard_runs(file, identity, writer)
                os.remove(path)
                progress.update((number + 1) * frames, runs * frames)
            cluster.close()
            cluster = None
            shutil.rmtree(shards)
        progress.finish()
        writer.close()
        writer = None
        destination.commit()
    except BaseException:
        if writer is not None:
            writer.discard()
        if cluster is not None:
            cluster.close()
        destination.discard()
        raise
    return report(f"runs: {runs} frames: {frames} kept: {len(kept_frames(identity))} "
                  f"particles: {particle_count(identity)} train/valid/test: "
                  f"{'/'.join(map(str, arguments.sizes))} written: {arguments.out}")


def write_shard_file(arguments, progress):
    from .hdf5_layout import write_shard
    identity = Identity(arguments.seed, arguments.threads, arguments.layers, arguments.frames, arguments.every)
    progress.start(arguments.run_count * arguments.frames)
    write_shard(arguments.out, identity, arguments.runs, arguments.first_run, arguments.run_count,
                arguments.compression, progress.frame)
    progress.finish()
    return report(f"runs: {arguments.first_run} to {arguments.first_run + arguments.run_count - 1} "
                  f"of {arguments.runs} frames: {arguments.frames} written: {arguments.out}")


def merge(argv, progress):
    from . import hdf5_layout
    import h5py
    parser, arguments = parse_merge_arguments(argv)
    files, shards = [], []
    try:
        for path in arguments.shards:
            try:
                files.append(h5py.File(path, "r"))
            except OSError as error:
                parser.error(f"cannot read the shard '{path}': {error}")
            shards.append((path,) + hdf5_layout.read_shard_identity(files[-1], path) + (files[-1],))
        try:
            ordered = hdf5_layout.check_shards([shard[:5] for shard in shards])
        except hdf5_layout.ShardError as error:
            parser.error(str(error))
        identity, runs = ordered[0][1], ordered[0][2]
        check_h5_identity(parser, identity.frames, identity.every)
        compressions = {file.attrs["compression"] for file in files}
        if arguments.compression is None and len(compressions) > 1:
            parser.error("the shards were compressed differently: say which with --compression")
        arguments.compression = arguments.compression or compressions.pop()
        arguments.sizes = checked_split(parser, runs, arguments.split)
        file_of = {shard[0]: shard[5] for shard in shards}
        destination = FolderDestination(arguments.out)
        writer = None
        try:
            writer = hdf5_layout.SetWriter(destination.temporary, identity, runs, arguments.sizes,
                                           arguments.compression)
            progress.start(runs * identity.frames)
            for name, _, _, first, count in ordered:
                hdf5_layout.copy_shard_runs(file_of[name], identity, writer)
                progress.update((first + count) * identity.frames, runs * identity.frames)
            progress.finish()
            writer.close()
            writer = None
            destination.commit()
        except BaseException:
            if writer is not None:
                writer.discard()
            destination.discard()
            raise
    except hdf5_layout.ShardError as error:
        parser.error(str(error))
    finally:
        for file in files:
            file.close()
    return report(f"runs: {runs} from {len(ordered)} shards train/valid/test: "
                  f"{'/'.join(map(str, arguments.sizes))} written: {arguments.out}")


def report(line):
    print(line)
    return EXIT_WRITTEN


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    progress = Progress()
    try:
        if argv[:1] == ["merge"]:
            return merge(argv[1:], progress)
        arguments = parse_arguments(argv)
        if arguments.format == "npz":
            return write_npz(arguments, progress)
        if arguments.first_run is not None:
            return write_shard_file(arguments, progress)
        return write_folder(arguments, progress)
    except KeyboardInterrupt:
        progress.finish()
        print("sph.dataset: interrupted; nothing written", file=sys.stderr)
        return EXIT_INTERRUPTED
    except OSError as error:
        progress.finish()
        # The module's OSErrors carry the whole message as their strerror.
        print(f"sph.dataset: {error.strerror or error}", file=sys.stderr)
        return EXIT_NOT_WRITTEN
    except ImportError as error:
        package = {"h5py": "python3-h5py", "distributed": "python3-distributed"}.get(error.name, error.name)
        print(f"sph.dataset: this needs the Python module {error.name} (Debian's {package})", file=sys.stderr)
        return EXIT_NOT_WRITTEN


if __name__ == "__main__":
    sys.exit(main())
