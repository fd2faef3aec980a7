"""The README's picture of the Python module (docs/python.png), made by the
module itself: a run of the programs' block on 2 threads in which the box is
turned (Up held in frames 140 to 169, then Left in 170 to 229), its centre
of mass and kinetic energy frame by frame, beside one frame drawn as the
window draws it (the turned box seen straight on, points bluer the faster
they move). Needs Debian's python3-matplotlib.

    PYTHONPATH=build/python /usr/bin/python3 scripts/python_picture.py docs/python.png
"""
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import sph  # noqa: E402

FRAMES = 480
TURNS = [(140, 169, "up"), (170, 229, "left")]
SHOWN_FRAME = 250


def turned(points, angles):
    """Box coordinates to the window's view, about the box's centre: turned
    about x by the first angle, then about y by the second, as its camera."""
    a, b = np.radians(angles)
    about_x = np.array([[1, 0, 0], [0, np.cos(a), -np.sin(a)], [0, np.sin(a), np.cos(a)]])
    about_y = np.array([[np.cos(b), 0, np.sin(b)], [0, 1, 0], [-np.sin(b), 0, np.cos(b)]])
    return (points - np.array(sph.BOX) / 2) @ (about_x @ about_y).T


def draw_frame(axes, positions, velocities, angles):
    half = np.array(sph.BOX) / 2
    corners = np.array([[x, y, z] for x in (-1, 1) for y in (-1, 1) for z in (-1, 1)]) * half + half
    view = turned(corners, angles)
    for i in range(8):
        for j in range(i + 1, 8):
            if np.sum(np.abs(corners[i] - corners[j]) > 0) == 1:  # an edge
                axes.plot(*view[[i, j], :2].T, color="white", linewidth=0.8)
    points = turned(positions, angles)
    far_first = np.argsort(points[:, 2])
    blue = np.clip(0.5 + np.sum(velocities.astype(np.float64) ** 2, axis=1) * 0.0625, 0, 1)
    colours = np.column_stack([np.zeros_like(blue), np.zeros_like(blue), blue])
    axes.scatter(points[far_first, 0], points[far_first, 1], s=1.5, c=colours[far_first], linewidths=0)
    axes.set_facecolor("black")
    axes.set_aspect("equal")
    axes.set_xticks([])
    axes.set_yticks([])
    axes.set_title(f"Frame {SHOWN_FRAME}, the box turned by {angles[0]:.0f}° and {angles[1]:.0f}°")


def main(path):
    simulation = sph.Simulation(threads=2)
    masses = simulation.masses.astype(np.float64)
    centre, energy = [], []
    for frame in range(FRAMES):
        held = [key for first, last, key in TURNS if first <= frame <= last]
        simulation.step(1, hold=held)
        centre.append(masses @ simulation.positions / masses.sum())
        energy.append(0.5 * masses @ np.sum(simulation.velocities.astype(np.float64) ** 2, axis=1))
        if frame + 1 == SHOWN_FRAME:
            shown = simulation.positions.copy(), simulation.velocities.copy(), simulation.angles

    figure = plt.figure(figsize=(11, 5), layout="constrained")
    frame_axes, centre_axes, energy_axes = figure.subplot_mosaic([["frame", "centre"], ["frame", "energy"]],
                                                                 width_ratios=[1, 1.3]).values()
    draw_frame(frame_axes, *shown)
    frames = np.arange(1, FRAMES + 1)
    for axis, name in enumerate("xyz"):
        centre_axes.plot(frames, np.array(centre)[:, axis], label=name)
    centre_axes.set_ylabel("centre of mass, box coordinates")
    centre_axes.legend(loc="center right", ncols=3)
    energy_axes.plot(frames, energy, color="black")
    energy_axes.set_ylabel("kinetic energy (model units)")
    energy_axes.set_xlabel("frame")
    for axes in (centre_axes, energy_axes):
        for first, last, key in TURNS:
            axes.axvspan(first + 1, last + 1, color="tab:blue", alpha=0.12)
            axes.text((first + last) / 2 + 1, 1, key, transform=axes.get_xaxis_transform(), ha="center", va="top")
        axes.axvline(SHOWN_FRAME, color="grey", linestyle=":")
    figure.suptitle(f"sph.Simulation(threads=2): {FRAMES} frames, the box turned while the keys are held "
                    f"(digest {simulation.digest()[:12]}…)")
    figure.savefig(path, dpi=90)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "docs/python.png")
