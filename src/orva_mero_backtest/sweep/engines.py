"""Where the runs run: local worker processes, or tasks on a Ray cluster."""

from __future__ import annotations

import contextlib
import multiprocessing
import os
import signal
import threading
import time
from concurrent.futures import FIRST_COMPLETED, ProcessPoolExecutor, wait
from concurrent.futures.process import BrokenProcessPool
from dataclasses import replace
from typing import Any, Callable, Dict, Iterator, List, Mapping, Optional, Sequence, Tuple

from ..errors import BacktestError
from .cache import materialize, ship_files
from .grid import RunSpec
from .worker import _worker_init, error_row, run_one, run_reported

class RunFeed:
    """The runs of a sweep as the engines take them: a fixed list here; a search that picks its next runs
    from the finished ones (Optuna) is a feed of its own with the same two methods."""

    def __init__(self, runs: Sequence[RunSpec]) -> None:
        self._waiting = list(reversed(runs))

    def take(self, free: int) -> List[RunSpec]:
        """Up to ``free`` runs to start now (fewer, or none, when the search waits for rows)."""
        taken = []
        while self._waiting and len(taken) < free:
            taken.append(self._waiting.pop())
        return taken

    def finished(self) -> bool:
        """No run is left to take, now or later."""
        return not self._waiting

    def told(self, row: Dict[str, Any]) -> None:
        """The row of a finished run."""


def _as_feed(runs: Any) -> Any:
    return RunFeed(runs) if isinstance(runs, (list, tuple)) else runs


# Imported by the fork server before it forks the first worker (see that module for why it is safe).
PRELOAD = "orva_mero_backtest.sweep_preload"


def worker_context() -> Any:
    """How worker processes start: forked from a fork server where the platform has one, else spawned.

    A worker is never forked from the parent, which runs threads (the native modules', polars'). The fork
    server is a process of its own, started once per parent and kept until the parent ends; it imports
    the package (``PRELOAD``) and runs no thread, so each worker forked from it starts warm and safely.
    Without one (Windows), every worker is a fresh interpreter that imports the package itself."""
    if "forkserver" not in multiprocessing.get_all_start_methods():
        return multiprocessing.get_context("spawn")
    context = multiprocessing.get_context("forkserver")
    # Read when the fork server starts; one already running (started by this program before) is used as it is.
    context.set_forkserver_preload([PRELOAD])
    return context


def start_fork_server() -> None:
    """Starts the fork server now, if there is one and it is not running: it imports the package while
    the caller plans the sweep, and the first workers fork from it at once."""
    if worker_context().get_start_method() == "forkserver":
        from multiprocessing import forkserver

        forkserver.ensure_running()


class LocalWorkers:
    """The worker processes of a local sweep: started as soon as their number is known, so they start
    while the parent still fills the tick cache, and kept from one batch of runs to the next (the windows
    of a walk-forward). A pool that broke or was stopped is replaced at the next batch."""

    def __init__(self, jobs: int) -> None:
        self.jobs = jobs
        self._pool: Optional[ProcessPoolExecutor] = None
        self._started: Any = None
        self._launching: Optional[threading.Thread] = None
        self._failed: List[BaseException] = []

    def start(self) -> None:
        """Starts the workers on a thread of their own: each start waits for the fork server, which may
        still be importing the package, and the caller goes on meanwhile."""
        if self._pool is not None:
            return
        self._pool, self._started = _new_pool(self.jobs)
        pool = self._pool

        def launch() -> None:
            try:
                launch_now = getattr(pool, "_launch_processes", None)
                if launch_now is not None:  # otherwise they start with the first runs
                    launch_now()
                # A first call starts the pool's manager thread, which alone tells idle workers to end:
                # a pool closed before its first run (a sweep refused while the cache is filled) ends too.
                pool.submit(int)
            except BaseException as exc:  # raised where the pool is taken
                self._failed.append(exc)

        self._launching = threading.Thread(target=launch, name="orva-sweep-workers-start", daemon=True)
        self._launching.start()

    def _launched(self) -> None:
        while self._launching is not None and self._launching.is_alive():
            self._launching.join(timeout=0.2)  # in slices: Ctrl-C is seen between them
        self._launching = None
        if self._failed:
            self._pool = None
            raise self._failed.pop()

    def take(self) -> Tuple[ProcessPoolExecutor, Any]:
        self.start()
        self._launched()
        assert self._pool is not None
        return self._pool, self._started

    def discard(self) -> None:
        """Ends the pool (its runs were stopped, or it broke)."""
        self._end(_stop_pool)

    def close(self) -> None:
        self._end(lambda pool: pool.shutdown(wait=True, cancel_futures=True))

    def _end(self, how: Callable[[ProcessPoolExecutor], None]) -> None:
        pool = self._pool
        try:
            self._launched()
        except Exception:  # a pool that could not start all its workers: those it started are ended
            how = _stop_pool
        self._pool = None
        if pool is not None:
            how(pool)


def _new_pool(jobs: int) -> Tuple[ProcessPoolExecutor, Any]:
    """A pool of ``jobs`` workers and the queue on which each says when it starts a run."""
    context = worker_context()
    started = context.SimpleQueue()
    # The workers get the parent's environment as it is now: the fork server's is that of its start.
    pool = ProcessPoolExecutor(max_workers=jobs, mp_context=context, initializer=_worker_init,
                               initargs=(started, dict(os.environ)))
    return pool, started


def run_local(
    runs: Any, jobs: int, on_row: Callable[[Dict[str, Any]], None], poll_seconds: float = 0.2,
    timeout: Optional[float] = None, workers: Optional[LocalWorkers] = None,
) -> None:
    """Runs the runs (a list or a feed) in ``jobs`` worker processes (see ``worker_context``): those of
    ``workers`` when given (then they are left running for the next runs), else a pool of its own.

    A worker process that dies (a crash in native code, a strategy calling os._exit) breaks its pool and
    every run in flight with it. Those runs are run again one at a time, each in a pool of its own, so
    only the run that kills its worker is recorded as failed (with its exit status or signal); the others
    go on in a new pool. A run past ``timeout`` seconds is recorded as failed and its pool ended; the runs
    beside it start again in a new pool.
    """
    if isinstance(runs, (list, tuple)):
        jobs = max(1, min(jobs, len(runs)))  # no worker started that has nothing to run
    source = _as_feed(runs)
    feed = source
    rows = [0]

    def record(row: Dict[str, Any]) -> None:
        rows[0] += 1
        source.told(row)
        on_row(row)

    own = workers is None
    if own:
        workers = LocalWorkers(jobs)
    assert workers is not None
    try:
        _run_pools(feed, jobs, record, rows, poll_seconds, timeout, workers)
    finally:
        if own:
            workers.close()


def _run_pools(feed: Any, jobs: int, record: Callable[[Dict[str, Any]], None], rows: List[int], poll_seconds: float,
               timeout: Optional[float], workers: LocalWorkers) -> None:
    while True:
        before = rows[0]
        suspects, restart = _run_pool(feed, jobs, record, poll_seconds, timeout, workers=workers)
        for job in suspects:
            _, again = _run_pool(RunFeed([job]), 1, record, poll_seconds, timeout, dead=True)
            restart.extend(again)
        if restart:
            feed = _Prepended(restart, feed)
        elif feed.finished() or rows[0] == before:  # done, or a feed that waits for nothing
            return


class _Prepended:
    """Runs that must start again, before the feed's next ones."""

    def __init__(self, first: Sequence[RunSpec], feed: Any) -> None:
        self._first, self._feed = RunFeed(first), feed

    def take(self, free: int) -> List[RunSpec]:
        taken = self._first.take(free)
        return taken + (self._feed.take(free - len(taken)) if len(taken) < free else [])

    def finished(self) -> bool:
        return self._first.finished() and self._feed.finished()

    def told(self, row: Dict[str, Any]) -> None:
        pass  # told by run_local, once


@contextlib.contextmanager
def _interrupts_at_safe_points() -> Iterator[Callable[[], None]]:
    """Ctrl-C as a flag while the pool's loop runs; the check it yields raises KeyboardInterrupt. The
    loop's waits (``concurrent.futures.wait``, a future's result) take the futures' locks in Python code,
    and with polars loaded a blocking acquire is not cut short by a signal: a KeyboardInterrupt raised
    there comes just after a lock was taken and leaves it held, and the pool's thread, which takes it to
    set the next result, then waits for good (the interpreter waits for that thread at exit). The check
    runs where the loop holds no lock. Only the default handler is replaced (off the main thread,
    nothing is)."""
    hit: List[int] = []
    replaced = (threading.current_thread() is threading.main_thread()
                and signal.getsignal(signal.SIGINT) is signal.default_int_handler)
    if replaced:
        signal.signal(signal.SIGINT, lambda signum, frame: hit.append(signum))

    def check() -> None:
        if hit:
            raise KeyboardInterrupt

    try:
        yield check
    finally:
        if replaced:
            signal.signal(signal.SIGINT, signal.default_int_handler)
    check()  # one that came after the last check


def _run_pool(
    feed: Any, jobs: int, on_row: Callable[[Dict[str, Any]], None], poll_seconds: float,
    timeout: Optional[float], dead: bool = False, workers: Optional[LocalWorkers] = None,
) -> Tuple[List[RunSpec], List[RunSpec]]:
    """Runs the feed's runs in one pool (that of ``workers``, else one of its own) until it is done or the
    pool breaks or a run times out; returns the runs that were in flight when the pool broke (suspects)
    and those to start again (beside a run that timed out). With ``dead``, a run whose worker dies is
    recorded as failed with how it died."""
    if workers is not None:
        pool, started = workers.take()
    else:
        pool, started = _new_pool(jobs)

    def stop() -> None:
        if workers is not None:
            workers.discard()
        else:
            _stop_pool(pool)
    in_flight: Dict[Any, Tuple[RunSpec, float]] = {}
    began: Dict[int, float] = {}  # run index -> when its worker started it
    processes: Dict[int, Any] = {}
    broken = False
    try:
        with _interrupts_at_safe_points() as interrupted:
            while True:
                interrupted()
                # No more in flight than there are workers: when the pool breaks, only these are suspects,
                # and each run starts when it is submitted (its time limit counts from there).
                if not broken:
                    for job in feed.take(jobs - len(in_flight)):
                        in_flight[pool.submit(run_reported, job)] = (job, time.monotonic())
                    processes.update(getattr(pool, "_processes", None) or {})
                if not in_flight:
                    break
                # A wait with a time limit: Ctrl-C may reach another thread, and only a main thread that
                # wakes up now and then sees it.
                done, _ = wait(list(in_flight), timeout=poll_seconds, return_when=FIRST_COMPLETED)
                interrupted()
                for future in sorted(done, key=lambda f: in_flight[f][0].index):
                    error = future.exception()
                    if isinstance(error, BrokenProcessPool):
                        broken = True
                        continue
                    job, _ = in_flight.pop(future)
                    on_row(error_row(job, f"{type(error).__name__}: {error}") if error else future.result())
                if broken and all(f.done() for f in in_flight):
                    break
                while not started.empty():
                    began[started.get()] = time.monotonic()
                now = time.monotonic()
                late = [f for f, (job, _) in in_flight.items()
                        if timeout is not None and not f.done() and now - began.get(job.index, now) > timeout]
                if late:
                    stop()
                    for future in late:
                        job, _ = in_flight.pop(future)
                        on_row(error_row(job, f"timed out: the run took more than {timeout:g} s (--run-timeout)"))
                    return [], sorted((job for job, _ in in_flight.values()), key=lambda s: s.index)
    except BaseException:
        stop()
        raise
    if broken:
        stop()
    elif workers is None:
        pool.shutdown(wait=True)
    suspects = sorted((job for job, _ in in_flight.values()), key=lambda s: s.index)
    if dead:
        for job in suspects:
            on_row(error_row(job, f"the worker process died during this run ({_how_it_died(processes)})"))
        return [], []
    return suspects, []


def _how_it_died(processes: Mapping[int, Any]) -> str:
    """The exit status or signal of the pool's worker that ended on its own."""
    for process in processes.values():
        process.join(timeout=5)
        code = process.exitcode
        if code is None or code == 0 or code == -signal.SIGTERM:  # SIGTERM: ended by the broken pool
            continue
        if code < 0:
            try:
                return f"killed by signal {signal.Signals(-code).name}"
            except ValueError:
                return f"killed by signal {-code}"
        return f"exit status {code}"
    return "a crash or an exit of the process"


def _stop_pool(pool: ProcessPoolExecutor) -> None:
    # The executor offers no way to end a running call; its worker processes are ended directly.
    processes = list((getattr(pool, "_processes", None) or {}).values())
    pool.shutdown(wait=False, cancel_futures=True)
    for process in processes:
        process.terminate()
    for process in processes:
        process.join(timeout=5)


def run_ray(
    runs: Any,
    address: Optional[str],
    jobs: int,
    files: Mapping[Tuple[Tuple[str, str], ...], Sequence[str]],
    shared_data: bool,
    on_row: Callable[[Dict[str, Any]], None],
    poll_seconds: float = 1.0,
    timeout: Optional[float] = None,
    cluster_jobs: bool = False,
) -> None:
    """Runs the runs (a list or a feed) as Ray tasks, at most ``jobs`` at a time (with ``cluster_jobs``,
    as many as the cluster has CPUs). Without ``address`` a local Ray cluster of ``jobs`` CPUs is started
    (and shut down at the end); its workers, on this machine, read the tick cache where the parent filled
    it. On another cluster the cache files of each instrument set (``files``) travel through the object
    store, one object per file, unless ``shared_data`` says every node sees the data directory at the
    same path. Either way a task streams its run from the cache in chunks of its memory budget, as a
    single run does, so no worker holds more than a chunk (and the next one being prepared), whatever
    the range. A task past ``timeout`` seconds (counted from its submission) is cancelled and its run
    recorded as failed."""
    try:
        import ray
    except ImportError:
        raise BacktestError("--engine ray needs Ray: pip install 'orva-mero-backtest[cluster]'") from None
    import logging

    feed = _as_feed(runs)
    started = not ray.is_initialized()
    if started:
        settings: Dict[str, Any] = dict(include_dashboard=False, log_to_driver=False, logging_level=logging.WARNING)
        if address:
            ray.init(address=address, **settings)
        else:
            ray.init(num_cpus=jobs, **settings)
    if cluster_jobs:
        jobs = max(1, int(ray.cluster_resources().get("CPU", jobs)))
    refs: Dict[Any, Tuple[RunSpec, float]] = {}
    try:
        shared_data = shared_data or (started and not address)  # a cluster of this machine alone
        shipped: Dict[Any, Tuple[Optional[str], Any]] = {}
        for group, paths in files.items():
            shipped[group] = (None, None) if shared_data else ship_files(paths, ray.put)
        task = ray.remote(num_cpus=1, max_retries=0)(_ray_run_one)

        def record(row: Dict[str, Any]) -> None:
            feed.told(row)
            on_row(row)

        while True:
            for job in feed.take(jobs - len(refs)):
                refs[task.remote(job, *shipped[job.instruments])] = (job, time.monotonic())
            if not refs:
                return
            done, _ = ray.wait(list(refs), num_returns=1, timeout=poll_seconds)
            for ref in done:
                job, _ = refs.pop(ref)
                try:
                    row = ray.get(ref, timeout=60)
                except Exception as exc:  # the task's worker died or was lost with its node
                    row = error_row(job, f"Ray task failed: {type(exc).__name__}: {' '.join(str(exc).split())}")
                record(row)
            now = time.monotonic()
            for ref, (job, began) in list(refs.items()):
                if timeout is not None and now - began > timeout:
                    del refs[ref]
                    _cancel(ray, ref)
                    record(error_row(job, f"timed out: the run took more than {timeout:g} s (--run-timeout)"))
    finally:
        for ref in refs:
            _cancel(ray, ref)
        if started:
            ray.shutdown()


def _cancel(ray: Any, ref: Any) -> None:
    try:
        ray.cancel(ref, force=True)
    except Exception:  # already finished or lost
        pass


def _ray_run_one(job: RunSpec, digest: Optional[str], shipped: Optional[Mapping[str, Any]]) -> Dict[str, Any]:
    if shipped is not None:
        import ray

        assert digest is not None
        job = replace(job, data_dir=materialize(digest, shipped, job.simulated, fetch=ray.get))
    return run_one(job)
