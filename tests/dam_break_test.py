#!/usr/bin/env python3
"""The dam-break script's measurement: the surge front of synthetic clouds
whose front is known, and of the recorder's seeded column, read from its PLY
file, with the model's values the script assumes checked against a short run.

    dam_break_test.py [PATH/TO/sph-record]
"""
import os
import subprocess
import sys
import tempfile
import unittest

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
import dam_break  # noqa: E402

RECORD = None
S = dam_break.SPACING


def column(front, depth=336.0):
    """A lattice column of liquid whose front is at `front`, over the whole depth."""
    x, z = np.meshgrid(np.arange(S / 2, front, S), np.arange(S / 2, depth, S))
    return list(x.ravel()), list(z.ravel())


class Front(unittest.TestCase):
    def test_synthetic_clouds(self):
        x, z = column(42.0)
        # (extra particles as (x, z), expected front): drops ahead in four
        # slices of ten leave the median alone; in five, one of them on the
        # far wall (the last slice), they take it halfway; in six, to them.
        slab = 336.0 / 10
        halfway = (42.0 - S / 2 + 80.0) / 2 + S / 2
        cases = [
            ([], 42.0),
            ([(100.0 + k, slab * k + 1) for k in (0, 3, 4, 9)], 42.0),
            ([(80.0, slab * k + 1) for k in (0, 1, 2, 3)] + [(80.0, 336.0)], halfway),
            ([(80.0, 0.0)] + [(80.0, slab * k + 1) for k in range(1, 6)], 80.0 + S / 2),
        ]
        for extra, expected in cases:
            ex, ez = zip(*extra) if extra else ((), ())
            self.assertAlmostEqual(dam_break.front(x + list(ex), z + list(ez)), expected, places=4, msg=extra)
        lagging = [(xi, zi) for xi, zi in zip(x, z) if not (zi < slab and xi > 20.0)]
        self.assertAlmostEqual(dam_break.front(*map(list, zip(*lagging))), 42.0, places=4)
        with self.assertRaisesRegex(ValueError, "no particle"):
            dam_break.front([1.0, 2.0], [1.0, 300.0])

    def test_the_recorded_column(self):
        if not RECORD:
            self.skipTest("no recorder")
        with tempfile.TemporaryDirectory() as folder:
            subprocess.run([RECORD, "--frames", "3", "--every", "3", "--ply", folder, "--layers", "20,20,160"],
                           check=True, stdout=subprocess.DEVNULL, timeout=300)
            dam_break.check_model_values(folder)
            p = dam_break.read_ply(os.path.join(folder, "frame_000000.ply"))
            self.assertEqual(len(p), 20 * 20 * 160)
            self.assertAlmostEqual(dam_break.front(p["x"], p["z"]), 20 * S, places=4)


if __name__ == "__main__":
    RECORD = sys.argv.pop(1) if len(sys.argv) > 1 else None
    unittest.main(verbosity=2)
