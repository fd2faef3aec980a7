"""python3 -m sph.dataset as a user runs it, from a shell: the archive and the
HDF5 folder read back with NumPy and h5py, shards merged, runs on Dask
worker processes (a local cluster started here), refusals, bounded memory and
Ctrl-C. Run by CTest with Debian's python3 -m pytest."""
import filecmp
import json
import os
import pty
import re
import resource
import runpy
import select
import signal
import subprocess
import sys
import time
import types

import distributed
import h5py
import numpy as np
import psutil
import pytest

import sph

EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python", "examples", "torch_dataset.py")
SMALL = ["--layers", "4,4,4"]
# AddressSanitizer's allocator keeps freed memory in quarantine and reserves
# terabytes of address space: neither resident sizes nor address-space
# limits mean there what they mean to a user.
UNDER_ASAN = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                reason="memory as AddressSanitizer's allocator counts it")


def command(*arguments):
    return [sys.executable, "-m", "sph.dataset", *map(str, arguments)]


def dataset(*arguments):
    return subprocess.run(command(*arguments), capture_output=True, text=True, timeout=600)


def written(*arguments):
    result = dataset(*arguments)
    assert result.returncode == 0, result.stderr
    return result


def same_folders(first, second):
    names = sorted(os.listdir(first))
    assert names == sorted(os.listdir(second)) == ["metadata.json", "test.h5", "train.h5", "valid.h5"]
    return [name for name in names if not filecmp.cmp(first / name, second / name, shallow=False)]


@pytest.fixture(scope="module")
def scheduler():
    """Two worker processes of one thread, shared by the tests that need a cluster."""
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  memory_limit=0) as cluster, distributed.Client(cluster) as client:
        yield cluster.scheduler_address, client


def test_npz_is_reproducible_and_has_the_documented_arrays(tmp_path):
    arguments = ["--runs", "2", "--frames", "90", "--every", "20", "--seed", "5", "--threads", "2", "--layers", "6,7,8"]
    for name in ("a.npz", "b.npz"):
        written(*arguments, "--out", tmp_path / name)
    assert (tmp_path / "a.npz").read_bytes() == (tmp_path / "b.npz").read_bytes()
    data = np.load(tmp_path / "a.npz", allow_pickle=False)
    count = 6 * 7 * 8
    documented = {
        "positions": ((2, 5, count, 3), "float32"), "velocities": ((2, 5, count, 3), "float32"),
        "kept_frames": ((5,), "int32"), "arrows": ((2, 90, 4), "uint8"), "gravity": ((2, 90, 3), "float32"),
        "keys": ((4,), "<U5"), "digests": ((2,), "<U64"), "time_step": ((), "float32"), "box": ((3,), "float32"),
        "particle_count": ((), "int32"), "threads": ((), "int32"), "layers": ((3,), "int32"), "seed": ((), "int64"),
    }
    assert {name: (data[name].shape, str(data[name].dtype)) for name in data.files} == documented
    assert list(data["kept_frames"]) == [0, 20, 40, 60, 80] and data["particle_count"] == count
    assert not np.array_equal(data["arrows"][0], data["arrows"][1]) and data["arrows"].sum(axis=2).max() == 1
    for run in range(2):  # each run replayed from its arrows gives its states and digest
        simulation = sph.Simulation(threads=2, layers=(6, 7, 8))
        for frame, arrows in enumerate(data["arrows"][run]):
            assert tuple(data["gravity"][run, frame]) == simulation.gravity
            simulation.step(1, hold=[key for key, held in zip(data["keys"], arrows) if held])
            if (frame + 1) % 20 == 0:
                assert np.array_equal(data["positions"][run, (frame + 1) // 20], simulation.positions)
        assert data["digests"][run] == simulation.digest()


def statistics(positions):
    """vel/acc mean and std per axis as loaders compute them from float32 positions (R, S, N, 3)."""
    velocity = np.diff(positions, axis=1)
    acceleration = np.diff(velocity, axis=1)
    return {f"{name}_{what}": getattr(values.reshape(-1, 3).astype(np.float64), what)(axis=0)
            for name, values in (("vel", velocity), ("acc", acceleration)) for what in ("mean", "std")}


def test_h5_folder_holds_the_npz_arrays_in_the_documented_layout(tmp_path):
    arguments = ["--runs", "5", "--frames", "40", "--every", "4", "--seed", "3", "--threads", "2", "--layers", "4,4,5"]
    written(*arguments, "--out", tmp_path / "runs.npz")
    written(*arguments, "--format", "h5", "--split", "60,20,20", "--compression", "lzf", "--out", tmp_path / "set")
    npz = np.load(tmp_path / "runs.npz")
    states, count = 11, 80
    run = 0
    for split, runs in (("train", 3), ("valid", 1), ("test", 1)):
        with h5py.File(tmp_path / "set" / f"{split}.h5", "r") as file:
            assert list(file.keys()) == [f"{place:05d}" for place in range(runs)]
            for place in range(runs):
                group = file[f"{place:05d}"]
                layout = {name: (group[name].shape, str(group[name].dtype)) for name in group}
                assert layout == {
                    "position": ((states, count, 3), "float32"), "velocity": ((states, count, 3), "float32"),
                    "particle_type": ((count,), "int32"), "gravity": ((40, 3), "float32"),
                    "arrows": ((40, 4), "uint8"), "kept_frames": ((states,), "int32")}, split
                assert (group["position"].compression, group["position"].shuffle) == ("lzf", True)
                for name, npz_name in (("position", "positions"), ("velocity", "velocities"), ("gravity", "gravity"),
                                       ("arrows", "arrows")):
                    assert np.array_equal(group[name][()], npz[npz_name][run]), (split, place, name)
                assert np.array_equal(group["kept_frames"][()], npz["kept_frames"])
                assert not group["particle_type"][()].any()
                assert dict(group.attrs) == {"run": run, "digest": npz["digests"][run], "threads": 2, "seed": 3}
                run += 1
    metadata = json.loads((tmp_path / "set" / "metadata.json").read_text())
    expected = {
        "dim": 3, "bounds": [[0.0, 336.0]] * 3, "periodic_boundary_conditions": [False] * 3,
        "default_connectivity_radius": pytest.approx(3.85), "dx": pytest.approx(2.1, rel=1e-3),
        "dt": pytest.approx(1.6), "write_every": 4, "num_particles_max": count,
        "sequence_length_train": states, "sequence_length_test": states,
        "num_trajs_train": 3, "num_trajs_valid": 1, "num_trajs_test": 1,
        "seed": 3, "threads": 2, "layers": [4, 4, 5], "frames": 40, "every": 4, "compression": "lzf",
    }
    assert {name: metadata[name] for name in expected} == expected
    assert np.float32(metadata["default_connectivity_radius"]) == np.float32(sph.SMOOTHING_LENGTH)
    assert np.float32(metadata["dx"]) == np.float32(sph.SPACING) and np.float32(metadata["dt"]) == 4 * sph.TIME_STEP
    for name, value in statistics(npz["positions"][:3]).items():  # the train split's
        assert np.allclose(metadata[name], value, rtol=1e-9, atol=1e-12), name
    assert set(metadata) == set(expected) | {"vel_mean", "vel_std", "acc_mean", "acc_std"}


def test_one_process_shards_and_dask_workers_give_the_same_bytes(tmp_path, scheduler):
    arguments = ["--format", "h5", "--runs", "4", "--frames", "30", "--every", "3", "--seed", "9", *SMALL]
    written(*arguments, "--compression", "gzip", "--out", tmp_path / "one")
    written(*arguments, "--compression", "gzip", "--first-run", "3", "--out", tmp_path / "b.h5")
    written(*arguments, "--compression", "gzip", "--first-run", "0", "--run-count", "3", "--out", tmp_path / "a.h5")
    written("merge", "--out", tmp_path / "merged", tmp_path / "b.h5", tmp_path / "a.h5")
    written(*arguments, "--compression", "gzip", "--scheduler", scheduler[0], "--out", tmp_path / "cluster")
    written(*arguments, "--compression", "gzip", "--workers", "2", "--out", tmp_path / "local")
    for other in ("merged", "cluster", "local"):
        assert same_folders(tmp_path / "one", tmp_path / other) == [], other
    assert sorted(os.listdir(tmp_path)) == ["a.h5", "b.h5", "cluster", "local", "merged", "one"]


SHARD = ["--format", "h5", "--runs", "4", "--frames", "6", *SMALL]
MISMATCHED = [
    (["--first-run", "2", "--seed", "1"], "made with seed 1 and"),
    (["--first-run", "2", "--threads", "2"], "made with threads 2 and"),
    (["--first-run", "2", "--layers", "4,4,5"], "made with layers 4,4,5 and"),
    (["--first-run", "2", "--frames", "7"], "made with frames 7 and"),
    (["--first-run", "2", "--every", "2"], "made with every 2 and"),
    (["--first-run", "2", "--runs", "5"], "made with runs 5 and"),
    (["--first-run", "1"], "runs 1 to 1 are in both"),
    (["--first-run", "3"], "runs 2 to 2 are in no shard"),
    (["--first-run", "2", "--run-count", "1"], "runs 3 to 3 are in no shard"),
]


@pytest.fixture(scope="module")
def first_shard(tmp_path_factory):
    path = tmp_path_factory.mktemp("shard") / "a.h5"
    written(*SHARD, "--first-run", "0", "--run-count", "2", "--out", path)
    return path


@pytest.mark.parametrize("shard, message", MISMATCHED)
def test_shards_that_are_not_one_set_are_refused(tmp_path, first_shard, shard, message):
    written(*SHARD, *shard, "--out", tmp_path / "b.h5")
    result = dataset("merge", "--out", tmp_path / "set", first_shard, tmp_path / "b.h5")
    assert (result.returncode, os.listdir(tmp_path)) == (2, ["b.h5"])
    assert message in result.stderr


# Measured by a small process of its own: a child's peak counts the memory of
# the process it was started from (this one, with a cluster's client).
PEAK = """import os, subprocess, sys
child = subprocess.Popen(sys.argv[1:], stdout=subprocess.DEVNULL)
_, status, usage = os.wait4(child.pid, 0)
print(os.waitstatus_to_exitcode(status), usage.ru_maxrss * 1024)
"""


def peak_resident_bytes(*arguments):
    status, peak = subprocess.run([sys.executable, "-S", "-c", PEAK, *command(*arguments)], capture_output=True,
                                  text=True, timeout=600, check=True).stdout.split()
    assert status == "0"
    return int(peak)


@UNDER_ASAN
def test_h5_memory_stays_flat_as_stored_states_grow_where_the_npz_grows(tmp_path):
    """The same frames and turns (the solver's own memory follows the liquid),
    3 states stored or 401."""
    peaks = {}
    for form, out in (("h5", "set"), ("npz", "runs.npz")):
        for every in (200, 1):
            peaks[form, every] = peak_resident_bytes("--format", form, "--frames", 400, "--every", every,
                                                     "--layers", "16,16,16", "--out", tmp_path / f"{every}{out}")
    states = 398 * 16**3 * 24
    assert peaks["npz", 1] - peaks["npz", 200] > states * 0.8, peaks
    assert peaks["h5", 1] - peaks["h5", 200] < states * 0.05, peaks


REFUSED = [
    (["--frames", "-1"], "'-1' is not a whole number"), (["--every", "0"], "from 1 to"),
    (["--layers", "6,7"], "X,Y,Z from 1 to 160"), (["--threads", "1025"], "from 1 to 1024"),
    (["--runs", "2147483647", "--frames", "1"], "bytes) is available, of which"),
    (["--format", "xml"], "invalid choice: 'xml'"), (["--split", "80,10,10"], "--split is for --format h5"),
    (["--format", "h5", "--compression", "bzip2"], "invalid choice: 'bzip2'"),
    (["--format", "h5", "--split", "80,20"], "three whole numbers TRAIN,VALID,TEST"),
    (["--format", "h5", "--split", "0,1,1", "--runs", "3"], "leaves none of the 3 runs to the train split"),
    (["--format", "h5", "--frames", "5", "--every", "3"], "--frames at least twice --every"),
    (["--format", "h5", "--runs", "4", "--first-run", "3", "--run-count", "2"], "goes beyond the 4 runs"),
    (["--format", "h5", "--first-run", "0", "--workers", "2"], "no --workers, --scheduler or --split"),
    (["--format", "h5", "--workers", "2", "--scheduler", "tcp://127.0.0.1:1"], "not both"),
    (["--format", "h5", "--workers", "0"], "from 1 to 1024"),
    (["merge"], "the following arguments are required: SHARD"),
    (["merge", "not-there.h5"], "cannot read the shard 'not-there.h5'"),
]


@pytest.mark.parametrize("arguments, message", REFUSED)
def test_bad_command_lines_exit_2_and_write_nothing(tmp_path, arguments, message):
    result = subprocess.run(command(*arguments, "--out", "set"), capture_output=True, text=True,
                            timeout=60, cwd=tmp_path)
    assert (result.returncode, os.listdir(tmp_path)) == (2, []) and message in result.stderr
    assert "Traceback" not in result.stderr


@UNDER_ASAN
def test_npz_that_cannot_fit_under_an_address_space_limit_is_refused_before_any_run(tmp_path):
    def limited():  # as `ulimit -v 2000000`
        resource.setrlimit(resource.RLIMIT_AS, (2 * 10**9, 2 * 10**9))
    result = subprocess.run(command("--runs", "6", "--frames", "1000", "--out", tmp_path / "a.npz"),
                            capture_output=True, text=True, timeout=60, preexec_fn=limited)
    assert (result.returncode, os.listdir(tmp_path)) == (2, [])
    assert "needs 2.3 GB of memory (2306400000 bytes)" in result.stderr


UNWRITABLE = [
    (["--out", "/nonexistent/a.npz"], "No such file"),
    (["--out", ""], "cannot write '': No such file"),
    (["--format", "h5", "--out", "/nonexistent/set"], "cannot create a folder beside '/nonexistent/set'"),
    (["--format", "h5", "--out", "/proc/set"], "cannot create a folder beside '/proc/set'"),
    (["--format", "h5", "--out", "file/set"], "Not a directory"),
    (["--format", "h5", "--out", "file"], "cannot write the folder 'file': a file is there"),
    (["--format", "h5", "--out", "full/"], "cannot write the folder 'full/': it is not empty"),
    (["--format", "h5", "--first-run", "0", "--out", "/nonexistent/a.h5"], "No such file"),
]


@pytest.mark.parametrize("arguments, message", UNWRITABLE)
def test_unwritable_destinations_exit_1_before_any_run(tmp_path, arguments, message):
    (tmp_path / "file").write_text("kept")
    (tmp_path / "full").mkdir()
    (tmp_path / "full" / "kept").write_text("kept")
    result = subprocess.run(command(*arguments, "--frames", "100000", *SMALL), capture_output=True, text=True,
                            timeout=60, cwd=tmp_path)
    assert (result.returncode, sorted(os.listdir(tmp_path))) == (1, ["file", "full"]) and message in result.stderr
    assert os.listdir(tmp_path / "full") == ["kept"] and (tmp_path / "file").read_text() == "kept"


@pytest.mark.parametrize("extra", [[], ["--workers", "2"]], ids=["one process", "local cluster"])
def test_ctrl_c_leaves_nothing(tmp_path, extra):
    child = subprocess.Popen(command("--format", "h5", "--runs", "3000", "--frames", "40", *SMALL, *extra,
                                     "--out", tmp_path / "set"), stderr=subprocess.PIPE, text=True,
                             start_new_session=True)
    started = tmp_path / f".set.{child.pid}.tmp" / "train.h5"
    deadline = time.monotonic() + 120
    while not started.exists():
        assert child.poll() is None and time.monotonic() < deadline, "no run started"
        time.sleep(0.05)
    time.sleep(0.5)
    processes = psutil.Process(child.pid).children(recursive=True)
    os.killpg(child.pid, signal.SIGINT)  # as a terminal's Ctrl-C: to every process of the job
    _, errors = child.communicate(timeout=120)
    assert (child.returncode, os.listdir(tmp_path)) == (130, [])
    assert errors.endswith("sph.dataset: interrupted; nothing written\n") and "Traceback" not in errors
    assert psutil.wait_procs(processes, timeout=30)[1] == []


def test_progress_line_on_a_terminal(tmp_path):
    """Two seconds into a run on a terminal the line appears, rewritten in
    place; seen, the run is stopped as a terminal's Ctrl-C stops it."""
    controller, terminal = pty.openpty()
    child = subprocess.Popen(command("--frames", "2000000", "--every", "2000000", *SMALL, "--out", tmp_path / "a.npz"),
                             stdin=subprocess.DEVNULL, stdout=terminal, stderr=terminal)
    os.close(terminal)
    try:
        shown, deadline = b"", time.monotonic() + 60
        while not re.search(rb"^\rframe \d+/2000000  \d+\.\d frames/s", shown):
            assert child.poll() is None and time.monotonic() < deadline, shown
            shown += os.read(controller, 4096) if select.select([controller], [], [], 1)[0] else b""
        child.send_signal(signal.SIGINT)
        assert (child.wait(timeout=60), os.listdir(tmp_path)) == (130, [])
    finally:
        child.kill()
        child.wait()
        os.close(controller)


def test_ctrl_c_while_the_archive_is_written_says_so_and_leaves_nothing(tmp_path):
    interrupted_while_writing = (
        "import sys, numpy, sph.dataset\n"
        "def interrupted(*arguments, **keywords): raise KeyboardInterrupt\n"
        "numpy.lib.format.write_array = interrupted\n"
        "sys.exit(sph.dataset.main(sys.argv[1:]))\n")
    result = subprocess.run([sys.executable, "-c", interrupted_while_writing, "--frames", "3", *SMALL,
                             "--out", tmp_path / "a.npz"], capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stderr, os.listdir(tmp_path)) == (
        130, "sph.dataset: interrupted; nothing written\n", [])


def test_a_lost_worker_has_its_runs_made_again(tmp_path, scheduler):
    address, client = scheduler
    arguments = ["--format", "h5", "--runs", "4", "--frames", "200", "--layers", "10,10,10", "--seed", "4"]
    child = subprocess.Popen(command(*arguments, "--scheduler", address, "--out", tmp_path / "cluster"),
                             stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 120
    while not (busy := [worker for worker, tasks in client.processing().items() if tasks]):
        assert child.poll() is None and time.monotonic() < deadline, "no task started"
        time.sleep(0.02)
    os.kill(client.run(os.getpid)[busy[0]], signal.SIGKILL)
    _, errors = child.communicate(timeout=600)
    assert child.returncode == 0, errors
    written(*arguments, "--out", tmp_path / "one")
    assert same_folders(tmp_path / "one", tmp_path / "cluster") == []


def test_torch_example_gives_windows_and_targets(tmp_path, monkeypatch):
    written("--format", "h5", "--runs", "2", "--frames", "12", "--every", "2", *SMALL, "--split", "1,0,0",
            "--out", tmp_path / "set")
    torch = types.ModuleType("torch")  # a stand-in: the example needs only these two names
    torch.utils = types.SimpleNamespace(data=types.SimpleNamespace(Dataset=object))
    torch.from_numpy = np.asarray
    monkeypatch.setitem(sys.modules, "torch", torch)
    example = runpy.run_path(EXAMPLE)
    windows = example["Windows"](str(tmp_path / "set" / "train.h5"), input_states=3, target_states=2)
    assert len(windows) == 2 * (7 - 5 + 1)
    with h5py.File(tmp_path / "set" / "train.h5", "r") as file:
        run = file["00001"]
        item = windows[4]  # the second run's second window: states 1 to 3, targets 4 and 5
        assert np.array_equal(item["position"], run["position"][1:4])
        assert np.array_equal(item["target"], run["position"][4:6])
        assert np.array_equal(item["gravity"], run["gravity"][2:8].reshape(3, 2, 3))
    with pytest.raises(IndexError):
        windows[len(windows)]
