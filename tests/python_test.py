"""The Python module as a user imports it (PYTHONPATH at the build's package,
laid out as installed): the pinned digests, views, several simulations and
refusals (sph.dataset: dataset_test.py). Run by CTest with Debian's python3
-m pytest."""
import os
import threading

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
    ({"layers": (4, 4)}, ValueError, "three whole numbers"),
]
REFUSED_STEPS = [
    ((-1,), {}, ValueError, "from 0 to 2147483647"), ((2**31,), {}, ValueError, "from 0 to 2147483647"),
    ((1.5,), {}, TypeError, "whole number"), ((3,), {"hold": {"up", "north"}}, ValueError, "'north' is not an arrow key"),
    ((3,), {"hold": "Up"}, ValueError, "up, down, left or right"), ((3,), {"hold": [1]}, TypeError, "key names"),
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
    assert (simulation.frame, simulation.digest(), simulation.gravity, simulation.angles) == before
    assert os.listdir(tmp_path) == []
