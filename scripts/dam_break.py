#!/usr/bin/env python3
"""The dam break against two classic experiments. Runs quasi-two-dimensional
columns of liquid with sph-record (the box's full depth along z, so the liquid
flows along x only, away from the wall at x = 0), measures the surge front of
every recorded frame, prints a Markdown table of the front at the experiments'
times with a few figures of the runs, and draws the plot.

    dam_break.py [--record PATH] [--plot PNG] [--threads N] [--column WIDTH,HEIGHT]...

--column takes the column's width and height in particle layers and may be
given again; without it the experiments' column (twice as high as wide) and
a square one, the cross-section of the program's own block, are run.
Debian's python3 with NumPy (and Matplotlib for the plot);
scripts/dam_break.sh installs them, builds the recorder and runs this.
"""
import argparse
import io
import math
import os
import shutil
import subprocess
import sys
import tempfile

import numpy as np

# The model's values, derived from its constants (checked against every run's
# first frames, see check_model_values):
# - spacing: the seeding lattice's step, 30 x 0.0008333333 seeding units
#   (SEED_STEP, solver/seeding.h), at 0.07 x WORLD_SCALE = 84 world units a
#   seeding unit (solver/fluid_system.h, solver/parameters.h): 2.1.
# - gravity: the force pass adds the gravity vector times the particle's mass
#   to its acceleration. The vector is 0.07 x 0.6 = 0.042 long
#   (INITIAL_GRAVITY_Y); the mass is the density times PARTICLE_VOLUME, a
#   sphere of radius 0.3 SMOOTHING_LENGTH (3.85), and the rest density is 0.35
#   (INV_REST_DENSITY): a pull of 0.0949 at rest, a few per cent more where
#   the liquid is compressed.
# - time: TIME_STEP, 0.4 a frame; the speed limit is sqrt(SPEED_LIMIT_SQ),
#   sqrt(8) (solver/passes.h).
SPACING = 30 * 0.0008333333 * 0.07 * 1200.0
REST_DENSITY = 0.35
GRAVITY = 0.07 * 0.6 * REST_DENSITY * (4.0 / 3.0) * math.pi * (0.3 * 3.85) ** 3
TIME_STEP = 0.4
SPEED_LIMIT = math.sqrt(8.0)
BOX = 336.0            # 0.28 x WORLD_SCALE along every axis
DEPTH_LAYERS = 160     # the box's full depth: the flow is the same in every slice
SLICES = 10
EVERY = 3         # frames between records
END_T = 6.0       # run each column this far, past the experiments' last time

# Surge fronts as published, non-dimensional: (T, Z/a) with a the column's
# width, Z the front's distance from the back wall and T = t sqrt(2g/a).
# Both columns were twice as high as wide (Martin & Moyce's n^2 = 2).
EXPERIMENTS = {
    "Martin & Moyce (1952)": [(0.849, 1.245), (1.212, 1.443), (1.602, 1.884), (2.283, 2.689), (2.950, 3.728),
                              (3.598, 4.528), (3.905, 4.999), (4.592, 5.841), (4.961, 6.271), (5.316, 6.717)],
    "Koshizuka & Oka (1996)": [(0.0, 1.000), (0.381, 1.111), (0.769, 1.252), (1.153, 1.505), (1.537, 1.892),
                               (1.935, 2.241), (2.323, 2.615), (2.719, 3.003), (3.096, 3.624)],
}
EXPERIMENT_HEIGHT = 2.0  # height / width of the experiments' columns
DEFAULT_COLUMNS = [(20, 40), (20, 20)]


def read_ply(path):
    """The particles of one binary PLY frame of sph-record, as a NumPy record array."""
    types = {"float": "<f4", "int": "<i4", "uchar": "u1"}
    with open(path, "rb") as file:
        data = file.read()
    end = data.index(b"end_header\n") + len(b"end_header\n")
    fields, count = [], None
    for line in data[:end].decode("ascii").splitlines():
        words = line.split()
        if words[:2] == ["element", "vertex"]:
            count = int(words[2])
        elif words[:1] == ["property"]:
            fields.append((words[2], types[words[1]]))
    return np.frombuffer(data, np.dtype(fields), count=count, offset=end)


def front(x, z, depth=BOX, slices=SLICES, spacing=SPACING):
    """The surge front: in each of `slices` equal slices of the depth, the
    furthest particle along x; the median of those, plus half a spacing (the
    room a particle stands for). Stray drops ahead in a few slices, or a slice
    lagging behind, leave it alone."""
    # A particle on the far wall (z == depth) belongs to the last slice.
    slice_of = np.clip((np.asarray(z, float) * (slices / depth)).astype(int), 0, slices - 1)
    furthest = np.full(slices, -np.inf)
    np.maximum.at(furthest, slice_of, np.asarray(x, float))
    if np.isinf(furthest).any():
        raise ValueError("a slice across z holds no particle")
    return float(np.median(furthest)) + spacing / 2


def frames_of(folder):
    """(frame number, path) of every PLY frame in the folder, in order."""
    names = sorted(n for n in os.listdir(folder) if n.startswith("frame_") and n.endswith(".ply"))
    return [(int(n[6:-4]), os.path.join(folder, n)) for n in names]


def check_model_values(folder):
    """The spacing and the pull of gravity above, against the run itself: the
    seeded lattice's step along x, and the fall of the top layer in the first
    recorded frames, when the liquid is at rest density everywhere and nothing
    but gravity moves the top (away from the walls). A change of the model's
    constants stops the script here instead of drawing a wrong plot."""
    (first, path0), (k, path1) = frames_of(folder)[:2]
    p0, p1 = read_ply(path0), read_ply(path1)
    step = float(np.median(np.diff(np.unique(p0["x"]))))
    top = p0["y"] == p0["y"].max()
    # Position Verlet from rest: the fall after k steps is g dt^2 k(k+1)/2.
    fall = float(np.median(p0["y"][top] - p1["y"][top])) / (TIME_STEP ** 2 * k * (k + 1) / 2)
    if first != 0 or abs(step / SPACING - 1) > 1e-3 or abs(fall / GRAVITY - 1) > 1e-2:
        raise SystemExit(f"the model's values have changed: spacing {step:.4f} (expected {SPACING:.4f}), "
                         f"gravity {fall:.5f} (expected {GRAVITY:.5f}); update dam_break.py")


def run_column(record, width, height, threads, scratch):
    """Records one column and measures it: arrays of T, Z/a and the densest
    particle (over rest density) per recorded frame."""
    folder = os.path.join(scratch, f"{width}x{height}")
    a = width * SPACING
    unit = math.sqrt(2 * GRAVITY / a)  # T per unit of time
    frames = EVERY * math.ceil(END_T / (TIME_STEP * unit) / EVERY)
    subprocess.run([record, "--ply", folder, "--every", str(EVERY), "--frames", str(frames), "--threads",
                    str(threads), "--layers", f"{width},{height},{DEPTH_LAYERS}"],
                   check=True, stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    check_model_values(folder)
    rows = []
    for frame, path in frames_of(folder):
        p = read_ply(path)
        x = front(p["x"], p["z"])
        if x >= BOX - SPACING:  # the front has reached the far wall: no dam break from here on
            break
        rows.append((frame * TIME_STEP * unit, x / a, float(p["density"].max()) / REST_DENSITY))
    shutil.rmtree(folder)
    return np.array(rows).T


def late_slope(T, Z, since=2.5):
    """dZ/dT from a straight line through the points from T = since on."""
    keep = np.asarray(T) >= since
    if keep.sum() < 2:
        return math.nan
    return float(np.polyfit(np.asarray(T)[keep], np.asarray(Z)[keep], 1)[0])


def report(columns):
    """The Markdown table at the experiments' times, then a few figures of each run."""
    names = [f"{w} × {h} layers" for w, h, _ in columns]
    lines = ["| Experiment | T | Z/a measured | this program, " + " | ".join(names) + " |",
             "| --- | ---: | ---: | " + " | ".join("---:" for _ in names) + " |"]
    for experiment, points in EXPERIMENTS.items():
        for T, Z in points:
            cells = []
            for _, _, (mT, mZ, _) in columns:
                value = float(np.interp(T, mT, mZ))
                cells.append(f"{value:.3f} ({100 * (value / Z - 1):+.0f} %)" if T <= mT[-1] else "(at the wall)")
            lines.append(f"| {experiment.split(' (')[0]} | {T:.3f} | {Z:.3f} | " + " | ".join(cells) + " |")
    lines.append("")
    lines.append("Late front speed dZ/dT (a straight line from T = 2.5): " + ", ".join(
        f"{e.split(' (')[0]} {late_slope(*np.array(p).T):.2f}" for e, p in EXPERIMENTS.items()))
    for name, (w, h, (T, Z, densest)) in zip(names, columns):
        a = w * SPACING
        lines.append(f"- {name}: a = {a:.1f}, T = t x {math.sqrt(2 * GRAVITY / a):.4f}; late front speed "
                     f"{late_slope(T, Z):.2f}, speed limit {SPEED_LIMIT / math.sqrt(2 * GRAVITY * a):.2f}, "
                     f"shallow water 2 sqrt(gH) {math.sqrt(2 * h / w):.2f}; densest particle "
                     f"{densest.max():.3f} x rest density")
    return "\n".join(lines)


def plot(columns, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(figsize=(7.2, 4.6), dpi=100)
    for (experiment, points), marker in zip(EXPERIMENTS.items(), "os"):
        T, Z = np.array(points).T
        axes.plot(T, Z, marker, mfc="none", ms=7, mew=1.4, label=experiment)
    T = np.linspace(0, 6, 2)
    axes.plot(T, 1 + math.sqrt(2 * EXPERIMENT_HEIGHT) * T, ":", color="gray",
              label=f"shallow water, front at 2√(gH), H = {EXPERIMENT_HEIGHT:g}a")
    for (w, h, (mT, mZ, _)), style in zip(columns, ["-", "--", "-.", (0, (1, 1))]):
        shape = "the experiments' shape" if h == EXPERIMENT_HEIGHT * w else "square" if h == w else f"H = {h / w:.2f}a"
        axes.plot(mT, mZ, linestyle=style, lw=2, label=f"this program, {w}×{h} layers ({shape})")
    w, _, (mT, mZ, _) = columns[0]
    limit = SPEED_LIMIT / math.sqrt(2 * GRAVITY * w * SPACING)
    axes.annotate(f"the front at the speed limit √8:\ndZ/dT = {limit:.2f} ({w} layers wide)",
                  xy=(4.5, np.interp(4.5, mT, mZ)), xytext=(3.9, 2.0), fontsize=8.5,
                  arrowprops=dict(arrowstyle="->", color="gray"))
    axes.set(xlim=(0, 6), ylim=(0.8, 8), xlabel="T = t √(2g/a)", ylabel="Z/a: front over column width",
             title="Dam break: the surge front against experiments")
    axes.grid(alpha=0.3)
    axes.legend(loc="upper left", fontsize=8.5, frameon=False)
    figure.tight_layout()
    # Sixty-four colours are plenty for a line plot and keep the file small.
    from PIL import Image
    buffer = io.BytesIO()
    figure.savefig(buffer, format="png")
    Image.open(buffer).convert("RGB").quantize(64).save(path, optimize=True)


def layers(text):
    try:
        width, height = (int(v) for v in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not two whole numbers WIDTH,HEIGHT")
    if not (1 <= width <= 160 and 1 <= height <= 160):  # what sph-record's --layers takes
        raise argparse.ArgumentTypeError(f"'{text}': layers from 1 to 160")
    return width, height


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--record", default=os.path.join(root, "build", "recorder", "sph-record"))
    parser.add_argument("--plot", default=os.path.join(root, "docs", "dam_break.png"))
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--column", action="append", metavar="WIDTH,HEIGHT", type=layers)
    options = parser.parse_args()
    columns = []
    with tempfile.TemporaryDirectory() as scratch:
        for width, height in options.column or DEFAULT_COLUMNS:
            print(f"recording the {width}x{height} column ...", file=sys.stderr)
            columns.append((width, height, run_column(options.record, width, height, options.threads, scratch)))
    print(report(columns))
    plot(columns, options.plot)
    print(f"wrote {options.plot}", file=sys.stderr)


if __name__ == "__main__":
    main()
