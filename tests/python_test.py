"""The Python module as a user imports it (PYTHONPATH at the build's package,
laid out as installed): the pinned digests, views, several simulations,
refusals, the module as a citizen of a Python process (memory, threads,
signals, fork), its reference (sph.dataset: dataset_test.py). Run by CTest with
Debian's python3 -m pytest."""
import os
import pydoc
import signal
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np
import pytest

import sph

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "trajectories.txt")
SMALL = (6, 7, 8)


def pinned_runs():
    """Lines of the pinned table with held keys on 1, 2 and 3 threads, the
    shorter runs (up to 120 frames of the programs' block)."""
    lines = [line.split() for line in open(DATA) if line.strip() and not line.startswith("#")]
    return [line for line in lines if line[3] != "-" and int(line[1]) <= 3 and line[2] == "20,20,40"
            and int(line[0]) <= 120]


def held_keys(holds, frames):
    """The set of keys held in each frame, from KEY:FIRST-LAST,..."""
    held = [set() for _ in range(frames)]
    for hold in holds.split(",") if holds != "-" else []:
        key, span = hold.split(":")
        first, last = map(int, span.split("-"))
        for frame in range(first, min(last, frames - 1) + 1):
            held[frame].add(key)
    return held


def replay(simulation, held):
    """Steps through `held` in stretches of the same keys, as a user would."""
    start = 0
    for frame in range(1, len(held) + 1):
        if frame == len(held) or held[frame] != held[start]:
            simulation.step(frame - start, hold=held[start])
            start = frame


@pytest.mark.parametrize("frames, threads, layers, holds, digest", pinned_runs())
def test_digest_equals_the_pinned_trajectory(frames, threads, layers, holds, digest):
    simulation = sph.Simulation(threads=int(threads), layers=tuple(map(int, layers.split(","))))
    replay(simulation, held_keys(holds, int(frames)))
    assert (simulation.frame, simulation.digest()) == (int(frames), digest)


def read_state(path):
    """The state file read back as float32, which %.9g gives exactly."""
    return np.loadtxt(path, delimiter=",", skiprows=1, dtype=np.float64).astype(np.float32)


def test_views_share_memory_follow_steps_and_outlive_the_simulation(tmp_path):
    simulation = sph.Simulation(layers=SMALL)
    count = int(np.prod(SMALL))
    shapes = {"positions": ((count, 3), np.float32), "velocities": ((count, 3), np.float32),
              "density": ((count,), np.float32), "pressure": ((count,), np.float32), "masses": ((count,), np.float32),
              "ids": ((count,), np.int32)}
    views = {name: getattr(simulation, name) for name in shapes}
    for name, (shape, dtype) in shapes.items():
        assert (views[name].shape, views[name].dtype) == (shape, dtype), name
        assert np.shares_memory(views[name], getattr(simulation, name)) and not views[name].flags.writeable
    with pytest.raises(ValueError):
        views["positions"][0, 0] = 0.0
    assert np.array_equal(views["ids"], np.arange(count))
    seeded = views["positions"].copy()
    simulation.step(20, hold="up")
    assert not np.array_equal(seeded, views["positions"])
    simulation.state_csv(tmp_path / "state.csv")
    columns = read_state(tmp_path / "state.csv")
    state = np.column_stack([views["positions"], views["velocities"], views["density"], views["pressure"]])
    assert np.array_equal(state.view(np.uint32), columns[:, 1:].view(np.uint32))
    del simulation
    others = [sph.Simulation(layers=SMALL) for _ in range(3)]  # would take the freed memory
    for other in others:
        other.step(3)
    state = np.column_stack([views["positions"], views["velocities"], views["density"], views["pressure"]])
    assert np.array_equal(state.view(np.uint32), columns[:, 1:].view(np.uint32))


SCHEDULES = [(1, [(8, None), (6, "up"), (4, {"left", "down"})]), (2, [(5, "right"), (9, None), (4, ("up",))]),
             (3, [(18, "down")])]


def run_schedule(simulation, schedule):
    for frames, hold in schedule:
        simulation.step(frames, hold=hold)


def test_simulations_in_turn_and_in_threads_equal_each_alone():
    def fresh():
        return [sph.Simulation(threads=threads, layers=SMALL) for threads, _ in SCHEDULES]
    alone = []
    for simulation, (_, schedule) in zip(fresh(), SCHEDULES):
        run_schedule(simulation, schedule)
        alone.append((simulation.digest(), simulation.gravity, simulation.angles))
    in_turn = fresh()
    for stretch in range(3):
        for simulation, (_, schedule) in zip(in_turn, SCHEDULES):
            run_schedule(simulation, schedule[stretch:stretch + 1])
    in_threads = fresh()
    workers = [threading.Thread(target=run_schedule, args=(simulation, schedule))
               for simulation, (_, schedule) in zip(in_threads, SCHEDULES)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    for simulations in (in_turn, in_threads):
        assert [(s.digest(), s.gravity, s.angles) for s in simulations] == alone


def test_one_simulation_stepped_from_two_threads_at_once_is_refused():
    simulation = sph.Simulation(layers=SMALL)
    worker = threading.Thread(target=simulation.step, args=(3000,))
    worker.start()
    while simulation.frame == 0:  # a step that fails before its first frame fails here, not waits forever
        assert worker.is_alive(), "the step in the other thread ended without running a frame"
    with pytest.raises(RuntimeError, match="another thread"):
        simulation.step(1)
    worker.join()
    assert simulation.frame == 3000


REFUSED = [
    ({"threads": 0}, ValueError, "from 1 to 1024"), ({"threads": 1025}, ValueError, "from 1 to 1024"),
    ({"threads": 2.0}, TypeError, "whole number"), ({"threads": True}, TypeError, "whole number"),
    ({"layers": (0, 4, 4)}, ValueError, "from 1 to 160"), ({"layers": (4, 4, 161)}, ValueError, "from 1 to 160"),
    ({"layers": (4, 4)}, ValueError, "three whole numbers"), ({"threads": np.bool_(True)}, TypeError, "whole number"),
]
REFUSED_STEPS = [
    ((-1,), {}, ValueError, "from 0 to 2147483647"), ((2**31,), {}, ValueError, "from 0 to 2147483647"),
    ((1.5,), {}, TypeError, "whole number"), ((3,), {"hold": {"up", "north"}}, ValueError, "'north' is not an arrow key"),
    ((3,), {"hold": "Up"}, ValueError, "up, down, left or right"), ((3,), {"hold": [1]}, TypeError, "key names"),
    ((np.bool_(True),), {}, TypeError, "whole number"), ((True,), {}, TypeError, "whole number"),
    ((3,), {"hold": {"left": False}}, TypeError, "not a mapping"),
]


@pytest.mark.parametrize("arguments, error, message", REFUSED)
def test_refused_simulation(arguments, error, message):
    with pytest.raises(error, match=message):
        sph.Simulation(**arguments)


def test_refused_steps_and_files_change_nothing(tmp_path):
    simulation = sph.Simulation(layers=SMALL)
    simulation.step(2)
    before = (simulation.frame, simulation.digest(), simulation.gravity, simulation.angles)
    for arguments, keywords, error, message in REFUSED_STEPS:
        with pytest.raises(error, match=message):
            simulation.step(*arguments, **keywords)
    with pytest.raises(OSError, match="No such file"):
        simulation.state_csv(tmp_path / "missing" / "state.csv")
    with tempfile.TemporaryDirectory() as own:  # a user's own file, write-protected
        keep = os.path.join(own, "keep.csv")
        with open(keep, "w") as old:
            old.write("keep\n")
        os.chmod(keep, 0o444)
        for path in [own, keep] if os.geteuid() == 0 else []:
            os.chown(path, 1234, 1234)
        refused = f"PermissionError: cannot write '{keep}': Permission denied"
        assert as_ordinary_user(lambda: simulation.state_csv(keep)) == refused
        assert as_ordinary_user(lambda: sph._sph._PendingFile(keep)) == refused  # sph.dataset's --out
        assert open(keep).read() == "keep\n"
    assert (simulation.frame, simulation.digest(), simulation.gravity, simulation.angles) == before
    assert os.listdir(tmp_path) == []


def as_ordinary_user(attempt):
    """The exception attempt() raises, as 'Type: strerror' (or 'done'): as
    user 1234 in a child process when this one is root, as this user otherwise."""
    def outcome():
        try:
            attempt()
        except OSError as error:
            return f"{type(error).__name__}: {error.strerror}"
        return "done"
    if os.geteuid() != 0:
        return outcome()
    reading, writing = os.pipe()
    child = os.fork()
    if child == 0:
        try:
            os.setgroups([])
            os.setresgid(1234, 1234, 1234)
            os.setresuid(1234, 1234, 1234)
            os.write(writing, outcome().encode())
        finally:
            os._exit(0)
    os.close(writing)
    with os.fdopen(reading) as result:
        told = result.read()
    os.waitpid(child, 0)
    return told


# Out of memory in a child process limited in address space: the block of
# 160 x 160 x 160 that does not fit, then a first step whose index and lists
# cannot grow under ever looser limits (each failure leaves the simulation
# as it was; the step that fits gives the bits of one never refused).
OUT_OF_MEMORY = r"""
import resource, numpy as np, sph

def limit(extra):
    size = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (size * 1024 + extra, resource.RLIM_INFINITY))

def unlimit():
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))

finished = False
limit(300 << 20)
try:
    sph.Simulation(threads=2, layers=(160, 160, 160))
except MemoryError as error:
    print("refused:", error)
finally:
    finished = True
unlimit()
small = sph.Simulation(threads=2, layers=(6, 7, 8))
small.step(3)
assert finished and small.frame == 3

grow = sph.Simulation(threads=2, layers=(60, 60, 60))
seeded = [array.copy() for array in (grow.positions, grow.velocities, grow.density, grow.pressure)]
refusals = 0
for extra in (2, 8, 16, 32, 64, 128, 256):
    limit(extra << 20)
    try:
        grow.step(1)
    except MemoryError:
        refusals += 1
    finally:
        unlimit()
    if grow.frame == 1:
        break
    assert all(np.array_equal(a, b) for a, b in zip(seeded, (grow.positions, grow.velocities, grow.density, grow.pressure)))
grow.step(1)
fresh = sph.Simulation(threads=2, layers=(60, 60, 60))
fresh.step(2)
assert (grow.frame, grow.digest()) == (2, fresh.digest())
print("refused steps:", refusals)
"""


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer's allocator does not fail as the C library's does under an address-space limit")
def test_out_of_memory_raises_memory_error_and_changes_nothing():
    # Once a large block is freed, the C library's allocator raises its mmap
    # threshold and serves later blocks from address space it has already
    # reserved (a thread's arena), which no limit refuses: a fixed threshold
    # makes every large block a new mapping the limit sees.
    pinned = dict(os.environ, MALLOC_MMAP_THRESHOLD_="131072")
    result = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY], capture_output=True, text=True, timeout=600,
                            env=pinned)
    assert result.returncode == 0, result.stderr
    assert "refused: out of memory: could not allocate" in result.stdout
    assert "refused steps: 0" not in result.stdout


def is_inside_step(simulation):
    """Whether another thread is stepping `simulation` (a step is refused)."""
    try:
        simulation.step(0)
    except RuntimeError:
        return True
    return False


def test_reads_do_not_wait_for_another_simulations_frame():
    big = sph.Simulation(layers=(100, 100, 100))  # one frame: a few tenths of a second
    other = sph.Simulation(layers=SMALL)
    other.step(2, hold="up")
    ticks = [0]
    stepped = threading.Event()

    def tick():
        while not stepped.is_set():
            ticks[0] += 1
            time.sleep(0.001)
    stepper = threading.Thread(target=lambda: (big.step(1), stepped.set()))
    ticker = threading.Thread(target=tick)
    stepper.start()
    ticker.start()
    while not is_inside_step(big):
        assert stepper.is_alive()
    # The other simulation's clock, read while the big frame holds the
    # process-wide lock; the ticker goes on meanwhile.
    reads = [(other.frame, other.gravity, other.angles, repr(other))]
    start = ticks[0]
    while ticks[0] < start + 3 and ticker.is_alive():
        reads.append((other.frame, other.gravity, other.angles, repr(other)))
    assert big.frame == 0 and is_inside_step(big), "the reads waited for the other simulation's frame"
    stepper.join()
    ticker.join()
    assert big.frame == 1 and len(set(reads)) == 1 and reads[0][0] == 2 and reads[0][2] == (4.0, 0.0)


def state(simulation):
    return [array.copy() for array in (simulation.positions, simulation.velocities, simulation.density,
                                       simulation.pressure, simulation.masses)]


def test_ctrl_c_undoes_the_long_frame_under_way():
    block = (100, 100, 100)  # the grid's rebuild and pass 1 alone take over a tenth of a second
    simulation = sph.Simulation(layers=block)
    seeded = state(simulation)

    def interrupt(*_):
        raise KeyboardInterrupt
    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.02)
        with pytest.raises(KeyboardInterrupt):
            simulation.step(1)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert simulation.frame == 0
    assert all(np.array_equal(a, b) for a, b in zip(seeded, state(simulation)))
    simulation.step(1)  # as if never stopped: the density rates pass 1 summed are undone
    stepped = state(simulation)
    del simulation
    fresh = sph.Simulation(layers=block)
    fresh.step(1)
    assert all(np.array_equal(a, b) for a, b in zip(stepped, state(fresh)))


UNMADE_USES = [lambda s: s.positions, lambda s: s.density, lambda s: s.frame, lambda s: s.gravity, lambda s: s.threads,
               lambda s: s.layers, lambda s: s.step(1), lambda s: s.digest(), lambda s: s.state_csv("x.csv"), repr]


@pytest.mark.parametrize("use", UNMADE_USES)
def test_a_simulation_whose_init_never_ran_is_refused(use):
    with pytest.raises(RuntimeError, match="never initialised"):
        use(sph.Simulation.__new__(sph.Simulation))


def test_fork_while_another_thread_steps_gives_a_usable_child():
    simulation = sph.Simulation(layers=SMALL)
    stepper = threading.Thread(target=simulation.step, args=(20000,))
    stepper.start()
    while simulation.frame == 0:
        assert stepper.is_alive()
    pid = os.fork()
    if pid == 0:  # the child: the stepping thread is not here
        status = 1
        try:
            frame = simulation.frame
            simulation.step(1)
            fresh = sph.Simulation(layers=SMALL)
            fresh.step(frame + 1)
            status = 0 if fresh.digest() == simulation.digest() else 3
        finally:
            os._exit(status)
    deadline = time.monotonic() + 60
    while (ended := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
        time.sleep(0.05)
    if ended[0] == 0:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
    stepper.join()
    assert ended[0] == pid and os.waitstatus_to_exitcode(ended[1]) == 0, "the child hung or its simulation differed"


def test_the_reference_shows_python_signatures_and_documents_every_member():
    text = pydoc.render_doc(sph.Simulation, renderer=pydoc.plaintext)
    assert "handle" not in text
    for signature in ["__init__(self, threads: int = 1, layers: tuple[int, int, int] = (20, 20, 40)) -> None",
                      "step(self, frames: int = 1, hold: str | Iterable[str] = ()) -> None", "digest(self) -> str",
                      "state_csv(self, path: str | os.PathLike) -> None"]:
        assert signature in text
    for name in dir(sph.Simulation):
        if not name.startswith("_"):
            assert (getattr(sph.Simulation, name).__doc__ or "").strip(), name
    for name in ("positions", "velocities"):
        assert "(N, 3) float32" in getattr(sph.Simulation, name).__doc__
    for name in ("density", "pressure", "masses"):
        assert "(N,) float32" in getattr(sph.Simulation, name).__doc__
