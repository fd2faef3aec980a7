"""A data set's runs as tasks on a Dask distributed cluster (Debian's
python3-distributed): one task a run, each writing its run as a shard file
into a folder that the workers and this process share; this process joins
the shards in run order as they arrive and removes them.

A task is a pure function of its arguments and its shard is written whole
or not at all, so a run whose worker is lost is simply made again, with the
same bits, by another worker.
"""
import contextlib
import os
import signal
import threading
import time

from . import hdf5_layout

# How long to try to reach a scheduler before giving up.
CONNECT_SECONDS = 20
# How often the client looks at its tasks (and at Ctrl-C) while it waits.
POLL_SECONDS = 0.05


def make_run_shard(identity, runs, number, path):
    """The task: run `number` as a shard at `path`; returns the path. Not
    compressed: it is read back once, at once."""
    hdf5_layout.write_shard(path, identity, runs, number, 1, "none")
    return path


@contextlib.contextmanager
def deferred_interrupt():
    """Keeps Ctrl-C away while a local cluster starts (an interrupt in the
    middle would leave its processes running). A terminal's Ctrl-C goes to
    every process of its job: the worker processes, started meanwhile,
    inherit the ignored SIGINT across exec and keep it ignored, so it
    reaches this process alone, which stops them, instead of ending each of
    them with a traceback. The cluster's threads keep it blocked. A Ctrl-C
    during the start itself is lost: press it again."""
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    handler = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, handler)
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})


@contextlib.contextmanager
def interrupt_as_flag():
    """Ctrl-C sets an event, looked at between polls of the tasks, instead of
    raising KeyboardInterrupt wherever the main thread happens to be: the
    Dask client runs callbacks there (the garbage collector's, for one) that
    would swallow it, and the process would wait for its tasks for ever."""
    interrupted = threading.Event()
    previous = signal.signal(signal.SIGINT, lambda *_: interrupted.set())
    try:
        yield interrupted
    finally:
        signal.signal(signal.SIGINT, previous)


class Cluster:
    """A client of the cluster at `scheduler`, or of a local cluster of
    `workers` processes of one thread each, started here and stopped by
    close()."""

    def __init__(self, scheduler=None, workers=None):
        import dask
        import distributed  # only here: it takes a second to import
        # The workers' statistical profiler samples every 10 ms: time taken
        # from the runs, for pictures of a dashboard no one looks at here.
        dask.config.set({"distributed.worker.profile.enabled": False})
        # Dask gives its worker processes MALLOC_TRIM_THRESHOLD_, which turns
        # off the C library's sliding mmap threshold: every state's arrays
        # would then be mapped and unmapped afresh, and the runs would spend
        # as much time in page faults as in the solver. The rest of that
        # environment (one thread for NumPy's libraries) stays.
        environment = dict(dask.config.get("distributed.nanny.pre-spawn-environ", {}))
        environment.pop("MALLOC_TRIM_THRESHOLD_", None)
        dask.config.set({"distributed.nanny.pre-spawn-environ": environment})
        self.local = self.client = None
        try:
            if scheduler is None:
                with deferred_interrupt():
                    self.local = distributed.LocalCluster(
                        n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None,
                        memory_limit=0)
                scheduler = self.local
            self.client = distributed.Client(scheduler, timeout=CONNECT_SECONDS)
        except BaseException:
            self.close()
            raise
        self.as_completed = distributed.as_completed

    def shards_in_order(self, identity, runs, folder):
        """Submits every run and yields (number, shard path) in run order as
        they are done."""
        futures = {}
        for number in range(runs):
            futures[self.client.submit(make_run_shard, identity, runs, number,
                                       os.path.join(folder, f"run-{number:05d}.h5"), pure=False)] = number
        done, next_run = {}, 0
        pending = set(futures)
        with interrupt_as_flag() as interrupted:
            try:
                while pending:
                    finished = [future for future in pending if future.done()]
                    if interrupted.is_set():
                        raise KeyboardInterrupt
                    if not finished:
                        time.sleep(POLL_SECONDS)
                        continue
                    for future in finished:
                        pending.discard(future)
                        path = future.result()
                        # Forgotten once its shard is here, so a worker lost later does not make it again.
                        done[futures.pop(future)] = path
                        future.release()
                    while next_run in done:
                        yield next_run, done.pop(next_run)
                        next_run += 1
                if interrupted.is_set():
                    raise KeyboardInterrupt
            finally:
                self.client.cancel(list(futures))

    def close(self):
        with deferred_interrupt():
            if self.client is not None:
                self.client.close()
            if self.local is not None:
                self.local.close()
