#!/usr/bin/env python3
"""The headless tools as a user runs them, their outputs read back by other
programs (ffprobe, ffmpeg, meshio). sph-bench: refused command lines, the
summary line, dumps that are whole or not there at all, the pinned
trajectories, the progress line on a terminal. sph-record: the film, the
pictures, the particle data equal to sph-bench's dump, refusals and failures.

    tools_test.py PATH/TO/sph-bench PATH/TO/sph-record [TestCase ...]
"""
import os
import re
import resource
import select
import signal
import subprocess
import sys
import tempfile
import time
import hashlib
import unittest
import xml.etree.ElementTree as ElementTree

BENCH = RECORD = None
DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
SUMMARY = re.compile(r"frames: (\d+) threads: (\d+) particles: (\d+) seconds: \d+\.\d{3} frames/s: \d+\.\d{2}"
                     r"(?: written: (\d+))?\n")


def run(*args, file_limit=0, timeout=600, cwd=None, program=None, env=None):
    def limit_file_size():  # writes past the limit fail with EFBIG, as on a full disk
        if file_limit:
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (file_limit, file_limit))
    return subprocess.run([program or BENCH, *map(str, args)], capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, preexec_fn=limit_file_size, timeout=timeout, cwd=cwd, env=env)


def digest_of(frames, threads, holds):
    """The pinned digest of the standard block's run, from trajectories.txt."""
    for line in open(os.path.join(DATA, "trajectories.txt")):
        if line.split()[:4] == [str(frames), str(threads), "20,20,40", holds]:
            return line.split()[4]


class BenchCommandLine(unittest.TestCase):
    def test_bad_command_lines_exit_2_and_run_nothing(self):
        for args, message in [
                (["--frobnicate"], "not expected: --frobnicate"), (["extra"], "not expected: extra"),
                (["--frames"], "--frames: 1 required"), (["--threads", "--frames", "3"], "'--frames' is not a whole"),
                (["--dump", "--frames", "3"], "--dump: needs a path"), (["--threads="], "--threads: 1 required"),
                (["--frames", "12x"], "'12x' is not a whole number"), (["--hold-up", "1.5"], "'1.5' is not a whole"),
                (["--frames=+12"], "'+12' is not"), (["--frames", "0x10"], "'0x10' is not"), (["--frames", " 1"], "' 1'"),
                (["--frames", "1e3"], "'1e3' is not"), (["--frames", "-1"], "'-1' is not a whole number from 0"),
                (["--frames", "2147483648"], "'2147483648' is not"), (["--threads", "0"], "'0' is not a whole number"),
                (["--threads", "1025"], "'1025' is not a whole number from 1 to 1024"),
                (["--layers", "1,2"], "--layers: must be three"), (["--layers", "1,,3"], "--layers: must be three"),
                (["--layers", "20,20,0"], "--layers: must be three"), (["--layers", "1,161,1"], "outside the box"),
                (["--hold", "up:3-2"], "'up:3-2' is not KEY:FIRST-LAST"), (["--hold", "north:1-2"], "'north:1-2'"),
                (["--hold", "up:1"], "'up:1'"), (["--frames", "1", "--frames=1"], "--frames: At Most 1")]:
            with self.subTest(args=args), tempfile.TemporaryDirectory() as folder:
                result = run("--dump", f"{folder}/never.csv", *args)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertEqual(result.stdout, "")
                self.assertRegex(result.stderr, f"^sph-bench: [^\n]*{re.escape(message)}")
                self.assertIn("Usage: sph-bench", result.stderr)
                self.assertEqual(os.listdir(folder), [])

    def test_help_and_accepted_forms(self):
        for args in (["--help"], ["-h"], ["--frames", "3", "--help"]):
            result = run(*args)
            self.assertEqual((result.returncode, result.stderr), (0, ""))
            for option in ("Usage: sph-bench", "--frames N=1000", "--threads T=1", "--hold-up K=0", "--hold KEY",
                           "--layers X,Y,Z=20,20,40", "--dump PATH", "--help", "--version"):
                self.assertIn(option, result.stdout)
        self.assertRegex(run("--version").stdout, r"^sph-bench \d+\.\d+\.\d+\n$")
        with tempfile.TemporaryDirectory() as folder:
            for args, expected in (["--frames=0", "--threads=1024", "--hold-up", "2147483647", "--layers=160,1,2",
                                    "--dump=a=b.csv"], ("0", "1024", "320")), (["--frames", "002"], ("2", "1", "16000")):
                result = run(*args, cwd=folder)
                self.assertEqual((result.returncode, result.stderr), (0, ""))  # not a terminal: no progress line
                self.assertEqual(SUMMARY.fullmatch(result.stdout).groups(), (*expected, None))
            self.assertEqual(os.listdir(folder), ["a=b.csv"])


class BenchOutput(unittest.TestCase):
    def test_dump_is_whole_or_not_there(self):
        with tempfile.TemporaryDirectory() as folder:
            old_umask = os.umask(0o022)
            target = f"{folder}/out.csv"
            for args, limit, status, message in [
                    ([f"{folder}/missing/out.csv"], 0, 1, f"{folder}/missing/out.csv"),
                    ([folder], 0, 1, "Is a directory"), (["/dev/full"], 0, 1, "No space left on device"),
                    ([target], 64 * 1024, 1, "File too large"), ([target, "--layers", "1,1,2"], 0, 0, "")]:
                with open(target, "w") as old:
                    old.write("x" * 100000)
                result = run("--frames", "0", "--dump", *args, file_limit=limit)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertIn(message, result.stderr)
                self.assertNotIn("Usage", result.stderr)
                self.assertEqual(os.listdir(folder), ["out.csv"])
            os.umask(old_umask)
            self.assertEqual(open(target).read(), "id,x,y,z,vx,vy,vz,density,pressure\n"
                             "0,1.05000007,0,1.05000007,0,0,0,0.349999994,0\n"
                             "1,1.05000007,0,3.14999986,0,0,0,0.349999994,0\n")
            self.assertEqual(os.stat(target).st_mode & 0o777, 0o644)

    def test_trajectories(self):
        # The in-process tests pin every line; here the tool's own frame loop and key holds.
        for frames, threads, holds, args in [
                (45, 1, "up:0-44", ["--hold", "up:0-44"]), (45, 1, "up:0-44", ["--hold-up", 45]),
                (120, 2, "up:0-29,left:20-59,down:70-89", ["--hold", "up:0-29", "--hold=left:20-59", "--hold",
                                                          "down:70-89"])]:
            with self.subTest(args=args), tempfile.TemporaryDirectory() as folder:
                result = run("--frames", frames, "--threads", threads, *args, "--dump", f"{folder}/state.csv")
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(hashlib.sha256(open(f"{folder}/state.csv", "rb").read()).hexdigest(),
                                 digest_of(frames, threads, holds))

    def test_progress_on_a_terminal_only(self):
        # A run of some ten seconds at the rate just measured, so at least three even if the machine,
        # busy with other tests, now runs three times as fast.
        rate = float(run("--frames", 2000, "--layers", "2,2,2").stdout.split()[-1])
        frames = str(int(rate * 10))
        args = ["--frames", frames, "--layers", "2,2,2"]
        controller, terminal = os.openpty()
        child = subprocess.Popen([BENCH, *args], stdin=subprocess.DEVNULL, stdout=terminal, stderr=terminal)
        os.close(terminal)
        shown = b""
        while child.poll() is None or select.select([controller], [], [], 0)[0]:
            try:
                shown += os.read(controller, 4096) if select.select([controller], [], [], 1)[0] else b""
            except OSError:  # the terminal is gone with the program
                break
        os.close(controller)
        progress, summary = shown.split(f"frames: {frames} threads: 1 particles: 8 ".encode())
        done = [int(n) for n in re.findall(rf"\rframe (\d+)/{frames}  \d+\.\d frames/s".encode(), progress)]
        self.assertGreaterEqual(len(done), 2, shown)
        self.assertEqual(done, sorted(done))
        self.assertRegex(progress, rb"^(\rframe [^\r\n]*)+\r +\r$")  # in place, then wiped for the summary
        with self.assertRaises(subprocess.TimeoutExpired) as ended:  # well past the two seconds
            run("--frames", "2000000000", "--layers", "2,2,2", timeout=3)
        self.assertFalse(ended.exception.stderr)


class ThreadedBench(unittest.TestCase):
    def test_more_threads_than_particles(self):
        # All ranges but the last are empty: the same sums as one thread.
        one, seven = (run("--frames", "2", "--layers", "1,2,3", "--threads", t, "--dump", "/dev/stdout").stdout
                      for t in (1, 7))
        self.assertEqual(one.split("\n")[:7], seven.split("\n")[:7])


def probe(path, entries="codec_name,width,height,pix_fmt,avg_frame_rate,nb_read_frames"):
    text = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-show_entries", f"stream={entries}", "-of",
                           "default=nw=1", path], capture_output=True, text=True, check=True).stdout
    return dict(line.split("=") for line in text.split())


def dump_arrays(args, frames):
    """sph-bench's dump after `frames` frames of the same run, as float32 columns (id too)."""
    import numpy
    with tempfile.TemporaryDirectory() as folder:
        run(*args, "--frames", frames, "--dump", f"{folder}/state.csv")
        return numpy.loadtxt(f"{folder}/state.csv", delimiter=",", skiprows=1, dtype=numpy.float32)


class Record(unittest.TestCase):
    def test_film_and_pictures(self):
        with tempfile.TemporaryDirectory() as folder:
            result = run("--frames", 20, "--every", 5, "--threads", 2, "--video", f"{folder}/run.mp4", "--fps", 30,
                         "--png", f"{folder}/png", program=RECORD)
            self.assertEqual((result.returncode, result.stderr), (0, ""))
            self.assertEqual(SUMMARY.fullmatch(result.stdout).groups(), ("20", "2", "16000", "5"))
            self.assertEqual(probe(f"{folder}/run.mp4"), {"codec_name": "h264", "width": "800", "height": "600",
                             "pix_fmt": "yuv420p", "avg_frame_rate": "30/1", "nb_read_frames": "5"})
            self.assertEqual(sorted(os.listdir(folder)), ["png", "run.mp4"])
            self.assertEqual(sorted(os.listdir(f"{folder}/png")), [f"frame_{k:06d}.png" for k in (0, 5, 10, 15, 20)])
            self.assertEqual(probe(f"{folder}/png/frame_000020.png", "codec_name,width,height"),
                             {"codec_name": "png", "width": "800", "height": "600"})
            # The block at rest: a white box, blue points of one shade (dithered), black.
            pixels = subprocess.run(["ffmpeg", "-v", "error", "-i", f"{folder}/png/frame_000000.png", "-f", "rawvideo",
                                     "-pix_fmt", "rgb24", "-"], capture_output=True, check=True).stdout
            colours = {pixels[k:k + 3] for k in range(0, len(pixels), 3)}
            self.assertEqual(colours - {b"\0\0\x7f", b"\0\0\x80"}, {b"\0\0\0", b"\xff\xff\xff"})

    def test_refusals_and_failures(self):
        with tempfile.TemporaryDirectory() as folder:
            open(f"{folder}/file", "w").close()
            for args, env, status, message in [
                    ([], None, 2, "nothing to record"), (["--png", folder, "--every", "0"], None, 2, "--every"),
                    (["--png", folder, "--fps", "0"], None, 2, "--fps"), (["--png", folder, "--fps", "nan"], None, 2, "'nan'"),
                    (["--video", "/dev/null"], None, 1, "not a regular file"),
                    (["--png", folder, "--hold", "up:2-1"], None, 2, "'up:2-1'"),
                    (["--video", f"{folder}/v.mp4"], {"PATH": "/nonexistent"}, 1, "(Debian package ffmpeg)"),
                    (["--ply", f"{folder}/file/ply"], None, 1, "cannot create the folder"),
                    (["--video", f"{folder}/v.mp4", "--frames", 400], None, 1, "ffmpeg could not write the film")]:
                result = run("--layers", "2,2,2", *args, program=RECORD, env=env, file_limit=4000)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertRegex(result.stderr, f"^sph-record: [^\n]*{re.escape(message)}")
                self.assertEqual(os.listdir(folder), ["file"])  # no film, cut short or not

    def test_ctrl_c_removes_the_film(self):
        with tempfile.TemporaryDirectory() as folder:
            child = subprocess.Popen([RECORD, "--frames", "10000000", "--layers", "2,2,2", "--video", f"{folder}/v.mp4"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            while not os.listdir(folder) and child.poll() is None:
                time.sleep(0.05)
            time.sleep(0.5)
            child.send_signal(signal.SIGINT)
            self.assertIn(b"the unfinished film was removed", child.communicate(timeout=30)[1])
            self.assertEqual(child.returncode, -signal.SIGINT)
            self.assertEqual(os.listdir(folder), [])


class ThreadedRecord(unittest.TestCase):
    """The particle data only: the writer thread without the drawing, which ThreadSanitizer can check."""

    def test_particle_data_equals_the_dump(self):
        import meshio
        import numpy
        args = ["--threads", 2, "--hold", "up:0-29", "--hold", "left:20-59"]
        with tempfile.TemporaryDirectory() as folder:
            result = run(*args, "--frames", 60, "--every", 30, "--vtk", f"{folder}/vtk", "--ply", f"{folder}/ply",
                         program=RECORD)
            self.assertEqual(result.returncode, 0, result.stderr)
            collection = ElementTree.parse(f"{folder}/vtk/run.pvd").getroot()[0]
            self.assertEqual([(d.get("timestep"), d.get("file")) for d in collection],
                             [("0.0", "frame_000000.vtu"), ("12.0", "frame_000030.vtu"), ("24.0", "frame_000060.vtu")])
            for frame in (30, 60):
                vtu = meshio.read(f"{folder}/vtk/frame_{frame:06d}.vtu")
                ply = meshio.read(f"{folder}/ply/frame_{frame:06d}.ply")
                dump = dump_arrays(args, frame)
                for rows in ([vtu.point_data["id"], vtu.points, vtu.point_data["velocity"], vtu.point_data["density"],
                              vtu.point_data["pressure"]],
                             [ply.point_data["id"], ply.points, *(ply.point_data[k] for k in ("vx", "vy", "vz", "density",
                                                                                              "pressure"))]):
                    self.assertTrue((numpy.column_stack(rows).astype(numpy.float32) == dump).all())

    def test_a_full_disk_keeps_the_complete_files(self):
        import meshio
        with tempfile.TemporaryDirectory() as folder:
            # Each .vtu fits the file-size limit, a run.pvd of all of them does not.
            result = run("--frames", 100, "--layers", "2,2,2", "--vtk", folder, program=RECORD, file_limit=2000)
            self.assertEqual(result.returncode, 1)
            self.assertRegex(result.stderr, "^sph-record: cannot write '.*/run.pvd': File too large")
            files = sorted(os.listdir(folder))  # no temporary file left: whole frames and the collection
            self.assertEqual(files, [f"frame_{k:06d}.vtu" for k in range(101)] + ["run.pvd"])
            listed = [d.get("file") for d in ElementTree.parse(f"{folder}/run.pvd").getroot()[0]]
            self.assertTrue(listed and set(listed) <= set(files), listed)
            for name in files[:-1]:
                self.assertEqual(len(meshio.read(f"{folder}/{name}").points), 8)


if __name__ == "__main__":
    BENCH, RECORD = os.path.abspath(sys.argv.pop(1)), os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
