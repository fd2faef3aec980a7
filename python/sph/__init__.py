"""The liquid in a box from Python: the solver of the sph programs, frame for
frame and bit for bit, with its particles as NumPy arrays.

    import sph
    sim = sph.Simulation(threads=2)     # the programs' block of 16000 particles
    sim.step(100)                       # 100 frames, no key held
    sim.step(30, hold={"up"})           # 30 frames with Up held: the box turns
    sim.positions                       # (N, 3) float32, a read-only view
    sim.digest()                        # as sha256sum of sph-bench --dump

`python3 -m sph.dataset --help` writes runs with random turns to a NumPy
archive, or streams them to HDF5 files in the layout training loaders read.
"""
from ._sph import BOX, KEYS, MAX_LAYERS, MAX_THREADS, SMOOTHING_LENGTH, SPACING, TIME_STEP, Simulation, __version__

__all__ = ["BOX", "KEYS", "MAX_LAYERS", "MAX_THREADS", "SMOOTHING_LENGTH", "SPACING", "TIME_STEP", "Simulation",
           "__version__"]
