#!/usr/bin/env python3
"""The WebAssembly solver gives the native bits: sph-bench of the web build,
run by Node.js, on every line of trajectories.txt (all thread counts, the
arrow keys held and released), its dump's SHA-256 against the pinned digest.
WebAssembly has one form of the SIMD loops (its own, beside the SSE2
intrinsics translated), so each line runs once.

    web_digests_test.py PATH/TO/build-web/tools/sph-bench
"""
import hashlib
import os
import subprocess
import sys
import tempfile
import unittest

BENCH = None
DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "trajectories.txt")


class WebAssemblyDigests(unittest.TestCase):
    def test_every_pinned_trajectory(self):
        lines = [line.split() for line in open(DATA) if line.strip() and not line.startswith("#")]
        self.assertEqual(len(lines), 20)
        for frames, threads, layers, holds, digest in lines:
            holding = [] if holds == "-" else [f"--hold={hold}" for hold in holds.split(",")]
            with self.subTest(frames=frames, threads=threads, layers=layers, holds=holds), \
                    tempfile.TemporaryDirectory() as folder:
                result = subprocess.run([BENCH, "--frames", frames, "--threads", threads, "--layers", layers,
                                         *holding, "--dump", f"{folder}/state.csv"], capture_output=True, text=True,
                                        stdin=subprocess.DEVNULL, timeout=300)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertRegex(result.stdout, f"^frames: {frames} threads: {threads} ")
                with open(f"{folder}/state.csv", "rb") as dump:
                    self.assertEqual(hashlib.sha256(dump.read()).hexdigest(), digest)


if __name__ == "__main__":
    BENCH = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
