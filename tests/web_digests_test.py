#!/usr/bin/env python3
"""The WebAssembly solver gives the native bits: sph-bench of the web build,
run by Node.js, on every line of trajectories.txt (all thread counts, the
arrow keys held and released), its dump's SHA-256 against the pinned digest;
the threaded build and the single-thread one (which runs every range of a
pass on its one thread). WebAssembly has one form of the SIMD loops (its
own, beside the SSE2 intrinsics translated), so each line runs once a build.

    web_digests_test.py PATH/TO/sph-bench...
"""
import hashlib
import os
import subprocess
import sys
import tempfile
import unittest

BENCHES = []
DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "trajectories.txt")


class WebAssemblyDigests(unittest.TestCase):
    def test_every_pinned_trajectory(self):
        lines = [line.split() for line in open(DATA) if line.strip() and not line.startswith("#")]
        self.assertEqual(len(lines), 20)
        for bench, (frames, threads, layers, holds, digest) in [(b, line) for b in BENCHES for line in lines]:
            holding = [] if holds == "-" else [f"--hold={hold}" for hold in holds.split(",")]
            with self.subTest(bench=bench, frames=frames, threads=threads, layers=layers, holds=holds), \
                    tempfile.TemporaryDirectory() as folder:
                result = subprocess.run([bench, "--frames", frames, "--threads", threads, "--layers", layers,
                                         *holding, "--dump", f"{folder}/state.csv"], capture_output=True, text=True,
                                        stdin=subprocess.DEVNULL, timeout=300)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertRegex(result.stdout, f"^frames: {frames} threads: {threads} ")
                with open(f"{folder}/state.csv", "rb") as dump:
                    self.assertEqual(hashlib.sha256(dump.read()).hexdigest(), digest)


if __name__ == "__main__":
    BENCHES = [os.path.abspath(sys.argv.pop(1)) for _ in sys.argv[1:]]
    unittest.main(verbosity=2)
