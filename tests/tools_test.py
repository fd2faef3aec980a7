#!/usr/bin/env python3
"""The headless tools as a user runs them, their outputs read back by other
programs (ffprobe, ffmpeg, meshio). sph-bench: refused command lines, the
summary line, dumps that are whole or not there at all, the pinned
trajectories, the progress line on a terminal. sph-record: the film, the
pictures, the particle data equal to sph-bench's dump, refusals and failures.

    tools_test.py PATH/TO/sph-bench PATH/TO/sph-record [TestCase ...]
"""
import contextlib
import fcntl
import os
import pty
import random
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


def run(*args, file_limit=0, timeout=600, cwd=None, program=None, env=None, stdout=subprocess.PIPE, emulator=(),
        closed=None, user=None):
    def limit_file_size():  # writes past the limit fail with EFBIG, as on a full disk
        if file_limit:
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (file_limit, file_limit))
        if closed is not None:  # a standard descriptor the caller closed (`>&-`)
            os.close(closed)
    return subprocess.run([*emulator, program or BENCH, *map(str, args)], stdout=stdout, stderr=subprocess.PIPE,
                          text=True, stdin=subprocess.DEVNULL, preexec_fn=limit_file_size, timeout=timeout, cwd=cwd,
                          env=env, user=user, group=user, extra_groups=None if user is None else [])


@contextlib.contextmanager
def protected_symlinks():
    """fs.protected_symlinks set inside, where this process may set it (root):
    yields whether it is. Other tests that set it wait (a lock on the setting)."""
    try:
        setting = os.open("/proc/sys/fs/protected_symlinks", os.O_RDWR)
    except OSError:
        yield False
        return
    try:
        fcntl.flock(setting, fcntl.LOCK_EX)
        old = os.pread(setting, 8, 0)
        os.pwrite(setting, b"1", 0)
        try:
            yield True
        finally:
            os.pwrite(setting, old, 0)
    finally:
        os.close(setting)


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
                (["--threads="], "--threads: 1 required"),
                (["--frames", "12x"], "'12x' is not a whole number"), (["--hold-up", "1.5"], "'1.5' is not a whole"),
                (["--frames=+12"], "'+12' is not"), (["--frames", "0x10"], "'0x10' is not"), (["--frames", " 1"], "' 1'"),
                (["--frames", "1e3"], "'1e3' is not"), (["--frames", "-1"], "'-1' is not a whole number from 0"),
                (["--frames", "2147483648"], "'2147483648' is not"), (["--threads", "0"], "'0' is not a whole number"),
                (["--threads", "1025"], "'1025' is not a whole number from 1 to 1024"),
                (["--layers", "1,2"], "--layers: must be three"), (["--layers", "1,,3"], "--layers: must be three"),
                (["--layers", "20,20,0"], "--layers: must be three"), (["--layers", "1,161,1"], "from 1 to 160: a block that"),
                (["--hold", "up:3-2"], "'up:3-2' is not KEY:FIRST-LAST"), (["--hold", "north:1-2"], "'north:1-2'"),
                (["--hold", "up:1"], "'up:1'"), (["--frames", "1", "--frames=1"], "--frames: At Most 1"),
                (["--dump", "", "--frames", "3"], "--dump: needs a path"),
                (["--dump", "--frames", "3"], "--dump: needs a path")]:
            with self.subTest(args=args), tempfile.TemporaryDirectory() as folder:
                result = run(*[] if "--dump" in args else ["--dump", f"{folder}/never.csv"], *args)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertEqual(result.stdout, "")
                self.assertRegex(result.stderr, f"^sph-bench: [^\n]*{re.escape(message)}")
                self.assertIn("Usage: sph-bench", result.stderr)
                self.assertEqual(os.listdir(folder), [])

    def test_help_and_accepted_forms(self):
        for args in (["--help"], ["-h"], ["--frames", "3", "--help"]):
            result = run(*args)
            self.assertEqual((result.returncode, result.stderr), (0, ""))
            self.assertIsNone(SUMMARY.search(result.stdout))  # nothing run
            for option in ("Usage: sph-bench", "--frames N=1000", "--threads T=1", "--hold-up K=0", "--hold KEY",
                           "--layers X,Y,Z=20,20,40", "--dump PATH", "--help", "--version"):
                self.assertIn(option, result.stdout)
        version = run("--version")
        self.assertEqual((version.returncode, version.stderr), (0, ""))
        self.assertRegex(version.stdout, r"^sph-bench \d+\.\d+\.\d+\n$")
        with tempfile.TemporaryDirectory() as folder:
            for args, expected in (["--frames=0", "--threads=1024", "--hold-up", "2147483647", "--layers=160,1,2",
                                    "--dump=a=b.csv"], ("0", "1024", "320")), (["--frames", "002"], ("2", "1", "16000")):
                result = run(*args, cwd=folder)
                self.assertEqual((result.returncode, result.stderr), (0, ""))  # not a terminal: no progress line
                self.assertEqual(SUMMARY.fullmatch(result.stdout).groups(), (*expected, None))
            self.assertEqual(os.listdir(folder), ["a=b.csv"])


class BenchOutput(unittest.TestCase):
    def test_dump_is_whole_or_not_there(self):
        endless = 2000000000  # a target that cannot be written is refused before the run, or never
        with tempfile.TemporaryDirectory() as folder:
            old_umask = os.umask(0o022)
            target = f"{folder}/out.csv"
            for frames, args, limit, status, message in [
                    (endless, [f"{folder}/missing/out.csv"], 0, 1, f"{folder}/missing/out.csv"),
                    (endless, [folder], 0, 1, "Is a directory"), (0, ["/dev/full"], 0, 1, "No space left on device"),
                    (0, [target], 64 * 1024, 1, "File too large"), (0, [target, "--layers", "1,1,2"], 0, 0, "")]:
                with open(target, "w") as old:
                    old.write("x" * 100000)
                os.chmod(target, 0o600)  # kept by the file that replaces it, with its access list and attributes
                subprocess.run(["setfacl", "-m", "u:1234:rw", target], check=True)
                os.setxattr(target, "user.origin", b"made by hand")
                access = subprocess.run(["getfacl", target], capture_output=True, text=True, check=True).stdout
                result = run("--frames", frames, "--dump", *args, file_limit=limit, timeout=60)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertIn(message, result.stderr)
                self.assertNotIn("Usage", result.stderr)
                self.assertEqual(os.listdir(folder), ["out.csv"])
            os.umask(old_umask)
            self.assertEqual(open(target).read(), "id,x,y,z,vx,vy,vz,density,pressure\n"
                             "0,1.05000007,0,1.05000007,0,0,0,0.349999994,0\n"
                             "1,1.05000007,0,3.14999986,0,0,0,0.349999994,0\n")
            self.assertEqual(os.stat(target).st_mode & 0o777, 0o660)  # the group bits: the access list's mask
            self.assertEqual(subprocess.run(["getfacl", target], capture_output=True, text=True).stdout, access)
            self.assertEqual(os.getxattr(target, "user.origin"), b"made by hand")

    def test_refused_before_the_run_where_the_shell_refuses(self):
        # A file the user may not write (root may), and another user's link in
        # a sticky world-writable folder while fs.protected_symlinks is set.
        with tempfile.TemporaryDirectory() as own, tempfile.TemporaryDirectory() as shared, protected_symlinks() as on:
            keep, link = f"{own}/keep.csv", f"{shared}/link.csv"
            with open(keep, "w") as old:
                old.write("keep\n")
            os.chmod(keep, 0o444)
            os.chmod(shared, 0o1777)
            os.symlink(keep, link)
            root = os.geteuid() == 0
            for path in [own, keep, link] if root else []:
                os.lchown(path, 1234, 1234)
            unset = "" if on and root else "another user's link and fs.protected_symlinks need root"
            for path, user, skipped in [(keep, 1234 if root else None, ""), (link, None, unset)]:
                with self.subTest(path=path):
                    if skipped:
                        self.skipTest(skipped)
                    try:
                        result = run("--frames", 2000000000, "--dump", path, user=user, timeout=60)
                    except PermissionError:
                        self.skipTest("another user may not run sph-bench where it is built")
                    self.assertEqual((result.returncode, result.stdout), (1, ""))
                    self.assertEqual(result.stderr, f"sph-bench: cannot write '{path}': Permission denied\n")
                    self.assertEqual(open(keep).read(), "keep\n")

    def test_links_and_long_names(self):
        with tempfile.TemporaryDirectory() as folder:
            # /dev/stdout as the caller's shell has it, without touching the machine's own.
            os.symlink("/proc/self/fd/1", f"{folder}/stdout")
            with open(f"{folder}/out.txt", "w") as out:
                result = run("--frames", 0, "--layers", "1,1,2", "--dump", f"{folder}/stdout", stdout=out)
            self.assertEqual((result.returncode, result.stderr), (0, ""))
            written = open(f"{folder}/out.txt").read().split("\n", 3)  # the dump, then the summary after it
            self.assertEqual(written[:3], ["id,x,y,z,vx,vy,vz,density,pressure", "0,1.05000007,0,1.05000007,0,0,0,0.349999994,0",
                                           "1,1.05000007,0,3.14999986,0,0,0,0.349999994,0"])
            self.assertEqual(SUMMARY.fullmatch(written[3]).groups(), ("0", "1", "2", None))
            self.assertTrue(os.path.islink(f"{folder}/stdout"))
            os.unlink(f"{folder}/stdout")
            long = f"{folder}/{'n' * 251}.csv"  # the longest name the file system takes, written and replaced
            for attempt in range(2):
                self.assertEqual(run("--frames", 0, "--layers", "1,1,2", "--dump", long).returncode, 0)
            self.assertEqual(sorted(os.listdir(folder)), sorted(["out.txt", os.path.basename(long)]))

    def test_a_lost_result_is_a_failure(self):
        with open("/dev/full", "w") as full:
            for program, args in [(BENCH, ["--frames", 3]), (BENCH, ["--help"]), (RECORD, ["--frames", 0, "--ply", "p"])]:
                if not program:
                    continue  # built without the recorder
                with self.subTest(args=args), tempfile.TemporaryDirectory() as folder:
                    result = run(*args, program=program, stdout=full, cwd=folder)
                    self.assertEqual(result.returncode, 1)
                    self.assertRegex(result.stderr, "^sph-[a-z]+: cannot write to standard output: No space left")

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
        for program in filter(None, (BENCH, RECORD)):
            with self.subTest(program=program), tempfile.TemporaryDirectory() as folder:
                # A run of some ten seconds at the rate just measured, so at least three even if the machine,
                # busy with other tests, now runs three times as fast. The recorder keeps frame 0 alone.
                args = ["--layers", "2,2,2"] + (["--ply", folder, "--every", "2000000000"] if program == RECORD else [])
                frames = str(int(float(run("--frames", 2000, *args, program=program).stdout.split()[9]) * 10))
                controller, terminal = pty.openpty()
                child = subprocess.Popen([program, "--frames", frames, *args], stdin=subprocess.DEVNULL, stdout=terminal,
                                         stderr=terminal)
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


class OldProcessor(unittest.TestCase):
    def test_the_baseline_build_on_a_processor_with_sse2_alone(self):
        # An x86-64 of 2003, emulated: the package promises amd64, not amd64 with later extensions.
        with tempfile.TemporaryDirectory() as folder:
            result = run("--frames", 3, "--dump", f"{folder}/state.csv", emulator=("qemu-x86_64", "-cpu", "qemu64"))
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(hashlib.sha256(open(f"{folder}/state.csv", "rb").read()).hexdigest(), digest_of(3, 1, "-"))


class WholeOrNothing(unittest.TestCase):
    """Outputs of a tool killed outright (SIGKILL) at a random moment: complete, or not there at all."""

    def assert_whole_or_nothing(self, args, folder, name, is_whole):
        started = time.monotonic()
        subprocess.run(args, check=True, stdout=subprocess.DEVNULL)
        seconds = time.monotonic() - started
        self.assertTrue(is_whole(f"{folder}/{name}"))
        for attempt in range(3):
            for left in os.listdir(folder):
                os.unlink(f"{folder}/{left}")
            child = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(random.uniform(0.2, 1.1) * seconds)
            child.kill()
            child.wait()
            time.sleep(0.5)  # an encoder in its own process group ends on its own, once its input has ended
            left = os.listdir(folder)
            self.assertIn(left, ([], [name]))
            self.assertTrue(not left or is_whole(f"{folder}/{name}"))

    def test_a_dump(self):
        with tempfile.TemporaryDirectory() as folder:
            self.assert_whole_or_nothing([BENCH, "--frames", "0", "--layers", "100,100,100", "--dump",
                                          f"{folder}/state.csv"], folder, "state.csv",
                                         lambda path: open(path, "rb").read().count(b"\n") == 1000001)

    def test_a_film(self):
        with tempfile.TemporaryDirectory() as folder:
            self.assert_whole_or_nothing([RECORD, "--frames", "300", "--layers", "2,2,2", "--video", f"{folder}/v.mp4"],
                                         folder, "v.mp4", lambda path: probe(path)["nb_read_frames"] == "301")


def probe(path, entries="codec_name,width,height,pix_fmt,avg_frame_rate,nb_read_frames"):
    text = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-show_entries", f"stream={entries}", "-of",
                           "default=nw=1", path], capture_output=True, text=True, check=True).stdout
    return dict(line.split("=") for line in text.split())


def decoded(path, *options):
    """The first frame of a picture or film as 600 rows of 800 RGB pixels, decoded by ffmpeg."""
    import numpy
    pixels = subprocess.run(["ffmpeg", "-v", "error", "-i", path, *options, "-frames:v", "1", "-f", "rawvideo", "-pix_fmt",
                             "rgb24", "-"], capture_output=True, check=True).stdout
    return numpy.frombuffer(pixels, numpy.uint8).reshape(600, 800, 3).astype(float)


def encoder_of(pid):
    """The process id of the ffmpeg a recorder started, or None."""
    for entry in os.listdir("/proc"):
        try:
            stat = open(f"/proc/{entry}/stat").read()
        except (OSError, ValueError):
            continue
        name, fields = stat[stat.index("(") + 1:stat.rindex(")")], stat[stat.rindex(")") + 2:].split()
        if name == "ffmpeg" and fields[1] == str(pid):
            return int(entry)


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
            # The film's last frame has the colours of its picture, within the encoder's loss.
            picture, film = (decoded(path, *select) for path, select in [
                (f"{folder}/png/frame_000020.png", []), (f"{folder}/run.mp4", ["-vf", r"select=eq(n\,4)"])])
            for shown in (picture.min(axis=2) == 255, (picture[:, :, 0] == 0) & (picture[:, :, 2] > 100)):  # box, points
                self.assertGreater(shown.sum(), 1000)
                self.assertLess(abs(film[shown].mean(axis=0) - picture[shown].mean(axis=0)).max(), 16)
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
                    (["--png", folder, "--fps", "0x10"], None, 2, "'0x10' is not a decimal number from 0.01 to 1000"),
                    (["--png", folder, "--fps", " 30"], None, 2, "' 30'"), (["--png", folder, "--fps", "1e-300"], None, 2, "'1e-300'"),
                    (["--video", "/dev/null"], None, 1, "not a regular file"),
                    (["--video", f"{folder}/file/v.mp4", "--frames", 2000000000], None, 1, "cannot create a file beside"),
                    (["--png", folder, "--frames", 0], None, 1, "File too large"),  # the last frame's failure
                    (["--png", folder, "--hold", "up:2-1"], None, 2, "'up:2-1'"),
                    (["--video", f"{folder}/v.mp4"], {"PATH": "/nonexistent"}, 1, "(Debian package ffmpeg)"),
                    (["--ply", f"{folder}/file/ply"], None, 1, "cannot create the folder"),
                    (["--png", f"{folder}/new", "--vtk", f"{folder}/file/vtk"], None, 1, "cannot create the folder"),
                    *[([option, "", "--ply", folder], None, 2, f"{option}: needs a path")
                      for option in ("--video", "--png", "--vtk")],
                    (["--png", folder, "--ply", ""], None, 2, "--ply: needs a path"),
                    (["--png", folder], {"__EGL_VENDOR_LIBRARY_FILENAMES": "/nonexistent"}, 1, "no EGL display to draw on"),
                    (["--png", folder], {"MESA_GL_VERSION_OVERRIDE": "0.1"}, 1, "cannot make an off-screen OpenGL surface"),
                    (["--video", f"{folder}/v.mp4", "--frames", 400], None, 1, "ffmpeg could not write the film")]:
                result = run("--layers", "2,2,2", *args, program=RECORD, env=env and {**os.environ, **env}, file_limit=4000,
                             timeout=60)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertRegex(result.stderr, f"^sph-record: [^\n]*{re.escape(message)}")
                self.assertEqual(os.listdir(folder), ["file"])  # no film, cut short or not

    def test_help_and_the_rates_the_encoder_takes(self):
        for option, shown in ("--help", "Usage: sph-record"), ("--version", "sph-record "):
            result = run(option, program=RECORD)
            self.assertEqual((result.returncode, result.stderr), (0, ""))
            self.assertIn(shown, result.stdout)
            self.assertIsNone(SUMMARY.search(result.stdout))
        with tempfile.TemporaryDirectory() as folder:
            # The longest name the file system takes, and a link to it: the second film replaces the
            # first where it is, with the link kept.
            film = f"{folder}/{'n' * 251}.mp4"
            os.symlink(os.path.basename(film), f"{folder}/link.mp4")
            for rate, shown, target in ("0.01", "1/100", film), ("1000", "1000/1", f"{folder}/link.mp4"):
                result = run("--frames", 2, "--layers", "2,2,2", "--fps", rate, "--video", target, program=RECORD)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(probe(film, "avg_frame_rate,nb_read_frames"), {"avg_frame_rate": shown, "nb_read_frames": "3"})
            self.assertTrue(os.path.islink(f"{folder}/link.mp4"))
            self.assertEqual(len(os.listdir(folder)), 2)

    def test_closed_standard_descriptors(self):
        # Nothing the tools open takes the place of one, to be overwritten when the encoder is set up;
        # a summary line that cannot be written is a failure, as always.
        for closed in (0, 1, 2):
            with self.subTest(closed=closed), tempfile.TemporaryDirectory() as folder:
                film = run("--frames", 3, "--layers", "2,2,2", "--video", f"{folder}/v.mp4", program=RECORD, closed=closed)
                dump = run("--frames", 0, "--layers", "1,1,2", "--dump", f"{folder}/d.csv", closed=closed)
                for result in film, dump:
                    self.assertEqual(result.returncode, int(closed == 1), result.stderr)
                    self.assertRegex(result.stderr, "^sph-[a-z]+: cannot write to standard output: Bad file descriptor\n$"
                                     if closed == 1 else "^$")
                self.assertEqual(probe(f"{folder}/v.mp4")["nb_read_frames"], "4")
                self.assertEqual(open(f"{folder}/d.csv").read().count("\n"), 3)

    def test_a_stop_signal_removes_the_unfinished_film(self):
        # Each stop signal, also while the encoder has stopped reading; one the caller ignores stays ignored.
        for stop, ignored, stalled in [(signal.SIGINT, None, False), (signal.SIGHUP, None, False),
                                       (signal.SIGTERM, None, True), (signal.SIGTERM, signal.SIGINT, False)]:
            with self.subTest(stop=stop, ignored=ignored, stalled=stalled), tempfile.TemporaryDirectory() as folder:
                child = subprocess.Popen([RECORD, "--frames", "10000000", "--layers", "2,2,2", "--video", f"{folder}/v.mp4"],
                                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                         preexec_fn=lambda: ignored and signal.signal(ignored, signal.SIG_IGN))
                try:
                    deadline = time.monotonic() + 60
                    while (encoder := encoder_of(child.pid)) is None:
                        # A recorder that ends, or never starts the encoder, fails here instead of waiting forever.
                        if child.poll() is not None:
                            self.fail(child.stderr.read())
                        self.assertLess(time.monotonic(), deadline, "the encoder did not start")
                        time.sleep(0.05)
                    time.sleep(0.5)
                    if stalled:
                        os.kill(encoder, signal.SIGSTOP)
                        time.sleep(1)  # the pipe and both frame copies fill up
                    if ignored:
                        child.send_signal(ignored)
                        time.sleep(0.5)
                        self.assertIsNone(child.poll())
                    child.send_signal(stop)
                    self.assertIn(b"the unfinished film was removed", child.communicate(timeout=5)[1])
                    self.assertEqual(child.returncode, -stop)
                    self.assertEqual(os.listdir(folder), [])
                finally:
                    if child.poll() is None:  # still blocked: end it and its stopped encoder
                        if encoder is not None:
                            os.kill(encoder, signal.SIGKILL)
                        child.kill()
                        child.wait()


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
                # The PLY's colour is the window's: blue from the speed, 8 bits as OpenGL rounds it.
                v = dump[:, 4:7].astype(numpy.float64)
                blue = numpy.float32(0.5 + ((v[:, 0] * v[:, 0] + v[:, 1] * v[:, 1]) + v[:, 2] * v[:, 2]) * 0.125 * 0.5)
                expected = numpy.floor(numpy.minimum(1.0, blue.astype(numpy.float64)) * 255 + 0.5)
                colours = [ply.point_data[k].view(numpy.uint8) for k in ("red", "green", "blue")]  # meshio 5 reads int8
                self.assertTrue((colours[0] == 0).all() and (colours[1] == 0).all() and (colours[2] == expected).all())

    def test_a_full_disk_keeps_the_complete_files(self):
        import meshio
        with tempfile.TemporaryDirectory() as folder:
            # Each .vtu fits the file-size limit, a run.pvd of all of them does not.
            result = run("--frames", 100, "--layers", "2,2,2", "--vtk", folder, program=RECORD, file_limit=2000)
            self.assertEqual(result.returncode, 1)
            self.assertRegex(result.stderr, "^sph-record: cannot write '.*/run.pvd': File too large")
            # No temporary file left: whole frames and the collection. On a slow machine the collection
            # rewritten once a second outgrows the limit before the last frame.
            files = sorted(os.listdir(folder))
            self.assertEqual(files, [f"frame_{k:06d}.vtu" for k in range(len(files) - 1)] + ["run.pvd"])
            listed = [d.get("file") for d in ElementTree.parse(f"{folder}/run.pvd").getroot()[0]]
            self.assertTrue(listed and set(listed) <= set(files), listed)
            for name in files[:-1]:
                self.assertEqual(len(meshio.read(f"{folder}/{name}").points), 8)


if __name__ == "__main__":
    BENCH, RECORD = os.path.abspath(sys.argv.pop(1)), os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
