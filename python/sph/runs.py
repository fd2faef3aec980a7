"""The runs of a data set: what they are (their identity) and how each is
made, one state at a time, whatever file it goes to.

A run's content depends only on the identity (seed, threads, layers,
frames, every) and the run's number, so any process on any machine that
makes run 7 of a set makes the same bits.
"""
import collections
import random

import numpy as np

from ._sph import KEYS, Simulation

SHORTEST_STRETCH, LONGEST_STRETCH = 10, 60

# The thread count is part of it: the solver's sums, so the bits, depend on it.
Identity = collections.namedtuple("Identity", "seed threads layers frames every")


def kept_frames(identity):
    """The frames after which states are kept: 0 (as seeded), K, 2K, ..."""
    return np.arange(0, identity.frames + 1, identity.every, dtype=np.int32)


def particle_count(identity):
    return int(np.prod(identity.layers))


def turn_schedule(seed, run, frames):
    """The key held in each frame of a run (an index into KEYS, or -1):
    stretches of 10 to 60 frames, each with one arrow key held or none."""
    draw = random.Random(f"sph.dataset {seed} {run}")
    schedule = []
    while len(schedule) < frames:
        key = draw.randrange(-1, len(KEYS))
        schedule += [key] * draw.randint(SHORTEST_STRETCH, LONGEST_STRETCH)
    return schedule[:frames]


class Run:
    """One run. states() steps it and yields (positions, velocities) of each
    kept state, read-only views of the simulation that the next step
    changes (copy what is kept); after it, `arrows` (F, 4) uint8, `gravity`
    (F, 3) float32 and `digest` are complete."""

    def __init__(self, identity, number):
        self.identity, self.number = identity, number
        self.arrows = np.zeros((identity.frames, len(KEYS)), np.uint8)
        self.gravity = np.empty((identity.frames, 3), np.float32)
        self.digest = None

    def states(self, on_frame=None):
        identity = self.identity
        simulation = Simulation(threads=identity.threads, layers=identity.layers)
        yield simulation.positions, simulation.velocities
        for frame, key in enumerate(turn_schedule(identity.seed, self.number, identity.frames)):
            self.gravity[frame] = simulation.gravity
            if key >= 0:
                self.arrows[frame, key] = 1
            simulation.step(1, hold=KEYS[key] if key >= 0 else None)
            if on_frame is not None:
                on_frame()
            if (frame + 1) % identity.every == 0:
                yield simulation.positions, simulation.velocities
        self.digest = simulation.digest()
