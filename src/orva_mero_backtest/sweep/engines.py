"""Where the runs run: local worker processes, or tasks on a Ray cluster."""

from __future__ import annotations

import multiprocessing
from concurrent.futures import FIRST_COMPLETED, ProcessPoolExecutor, wait
from concurrent.futures.process import BrokenProcessPool
from dataclasses import replace
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple

from ..errors import BacktestError
from .cache import data_bundle, materialize
from .grid import RunSpec
from .worker import _worker_init, error_row, run_one

def run_local(
    runs: Sequence[RunSpec], jobs: int, on_row: Callable[[Dict[str, Any]], None], poll_seconds: float = 0.2
) -> None:
    """Runs the runs in ``jobs`` worker processes, started fresh (spawn): the native modules start
    threads, and a process with threads must not be forked.

    A worker process that dies (a crash in native code, a strategy calling os._exit) breaks its pool and
    every run in flight with it. Those runs are run again one at a time, each in a pool of its own, so
    only the run that kills its worker is recorded as failed; the others go on in a new pool.
    """
    remaining = list(runs)
    while remaining:
        suspects, remaining = _run_pool(remaining, jobs, on_row, poll_seconds)
        for job in suspects:
            lost, _ = _run_pool([job], 1, on_row, poll_seconds)
            for dead in lost:
                on_row(error_row(dead, "the worker process died during this run (a crash or an exit of the process)"))


def _run_pool(
    runs: Sequence[RunSpec], jobs: int, on_row: Callable[[Dict[str, Any]], None], poll_seconds: float
) -> Tuple[List[RunSpec], List[RunSpec]]:
    """Runs the runs in one pool until they are done or the pool breaks; then returns the runs that were
    in flight and the runs not yet started."""
    context = multiprocessing.get_context("spawn")
    pool = ProcessPoolExecutor(max_workers=jobs, mp_context=context, initializer=_worker_init)
    waiting = list(reversed(runs))
    in_flight: Dict[Any, RunSpec] = {}
    broken = False
    try:
        while waiting or in_flight:
            # No more in flight than there are workers: when the pool breaks, only these are suspects.
            while waiting and not broken and len(in_flight) < jobs:
                job = waiting.pop()
                in_flight[pool.submit(run_one, job)] = job
            # A wait with a time limit: Ctrl-C may reach another thread, and only a main thread that
            # wakes up now and then sees it.
            done, _ = wait(list(in_flight), timeout=poll_seconds, return_when=FIRST_COMPLETED)
            for future in sorted(done, key=lambda f: in_flight[f].index):
                error = future.exception()
                if isinstance(error, BrokenProcessPool):
                    broken = True
                    continue
                job = in_flight.pop(future)
                on_row(error_row(job, f"{type(error).__name__}: {error}") if error else future.result())
            if broken and all(f.done() for f in in_flight):
                break
    except BaseException:
        _stop_pool(pool)
        raise
    pool.shutdown(wait=True)
    return sorted(in_flight.values(), key=lambda s: s.index), list(reversed(waiting))


def _stop_pool(pool: ProcessPoolExecutor) -> None:
    # The executor offers no way to end a running call; its worker processes are ended directly.
    processes = list((getattr(pool, "_processes", None) or {}).values())
    pool.shutdown(wait=False, cancel_futures=True)
    for process in processes:
        process.terminate()
    for process in processes:
        process.join(timeout=5)


def run_ray(
    runs: Sequence[RunSpec],
    address: Optional[str],
    jobs: int,
    files: Mapping[Tuple[Tuple[str, str], ...], Sequence[str]],
    shared_data: bool,
    on_row: Callable[[Dict[str, Any]], None],
    poll_seconds: float = 1.0,
) -> None:
    """Runs the runs as Ray tasks. Without ``address`` a local Ray cluster of ``jobs`` CPUs is started
    (and shut down at the end). The cache files travel through the object store, one object per
    instrument set (``files``), unless ``shared_data`` says every node sees the data directory at the
    same path."""
    try:
        import ray
    except ImportError:
        raise BacktestError("--engine ray needs Ray: pip install 'orva-mero-backtest[cluster]'") from None
    import logging

    started = not ray.is_initialized()
    if started:
        settings: Dict[str, Any] = dict(include_dashboard=False, log_to_driver=False, logging_level=logging.WARNING)
        if address:
            ray.init(address=address, **settings)
        else:
            ray.init(num_cpus=jobs, **settings)
    pending: List[Any] = []
    try:
        shipped: Dict[Any, Tuple[Optional[str], Any]] = {}
        for group, paths in files.items():
            if shared_data:
                shipped[group] = (None, None)
            else:
                digest, bundle = data_bundle(paths)
                shipped[group] = (digest, ray.put(bundle))
        task = ray.remote(num_cpus=1, max_retries=0)(_ray_run_one)
        refs = {task.remote(job, *shipped[job.instruments]): job for job in runs}
        pending = list(refs)
        while pending:
            done, pending = ray.wait(pending, num_returns=1, timeout=poll_seconds)
            for ref in done:
                try:
                    row = ray.get(ref, timeout=60)
                except Exception as exc:  # the task's worker died or was lost with its node
                    row = error_row(refs[ref], f"Ray task failed: {type(exc).__name__}: {exc}")
                on_row(row)
    finally:
        for ref in pending:
            try:
                ray.cancel(ref, force=True)
            except Exception:  # already finished or lost
                pass
        if started:
            ray.shutdown()


def _ray_run_one(job: RunSpec, digest: Optional[str], bundle: Optional[Mapping[str, bytes]]) -> Dict[str, Any]:
    if bundle is not None:
        job = replace(job, data_dir=materialize(digest, bundle, job.simulated))
    return run_one(job)
