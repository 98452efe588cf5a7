"""Parameter sweeps: a grid of backtests run in local worker processes or on a Ray cluster.

The grid is the product of every ``--param NAME=V1,V2,...`` and of the ``--instruments`` sets. Before any
run starts, the parent process puts every instrument-day of the grid in the tick cache, under the same data
root a single run of the chosen broker uses (the simulated broker's own root for generated ticks); workers
then read that root only (they get the cache-only broker, which never downloads or generates). Each run is
one ordinary backtest built from the same run options as ``orva-backtest``, so a run gives the same row
alone, in a local sweep or on Ray.

Ray is imported only when the Ray engine is chosen (``pip install .[cluster]``).
"""

from __future__ import annotations

import argparse
import functools
import hashlib
import itertools
import json
import math
import multiprocessing
import os
import signal
import sys
import tempfile
import threading
import time
from concurrent.futures import FIRST_COMPLETED, ProcessPoolExecutor, wait
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass, field, replace
from datetime import datetime, timedelta
from decimal import Decimal, InvalidOperation
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple

from .options import (EXIT_BAD_INPUT, EXIT_FAILED, PROG as RUN_PROG, OneLineParser, add_run_arguments, fail,
                      make_backtest, run_instruments)
from .constant import BASIC_INFO
from .data.cache_broker import SIMULATED_MARK, CacheOnly, cache_dir, cache_file, using_data_dir
from .driver import BacktestResult, Instrument
from .errors import BacktestError
from .utils import console, logger, write_atomically

PROG = f"{RUN_PROG} sweep"
CSV_NAME = "sweep.csv"
PARQUET_NAME = "sweep.parquet"
HEATMAP_NAME = "heatmap.png"
DEFAULT_METRIC = "net_pnl"
# Metrics where a smaller value ranks first; any other column ranks largest first.
LOWER_IS_BETTER = {"max_drawdown", "max_drawdown_pct", "commission", "tax", "total_costs", "seconds"}
MAX_RUNS = 100_000
EXIT_INTERRUPTED = 130
# Rows are written to disk at least this often while a sweep runs, so a killed sweep keeps most of them.
FLUSH_SECONDS = 30.0


# --- the grid ------------------------------------------------------------------------------------


def _number_text(value: Decimal) -> str:
    return format(value.normalize(), "f")


def expand_values(name: str, text: str) -> List[str]:
    """The values of one ``--param``: a comma list whose items are values or ``start:stop[:step]``
    ranges (the stop included)."""
    values: List[str] = []
    for item in text.split(","):
        item = item.strip()
        if not item:
            raise BacktestError(f"--param {name}: empty value in {text!r}")
        if ":" not in item:
            values.append(item)
            continue
        parts = item.split(":")
        if len(parts) not in (2, 3):
            raise BacktestError(f"--param {name}: a range is start:stop or start:stop:step, got {item!r}")
        try:
            start, stop = Decimal(parts[0]), Decimal(parts[1])
            step = Decimal(parts[2]) if len(parts) == 3 else Decimal(1)
        except InvalidOperation:
            raise BacktestError(f"--param {name}: the range {item!r} needs numbers") from None
        if not all(v.is_finite() for v in (start, stop, step)) or step <= 0:
            raise BacktestError(f"--param {name}: the range {item!r} needs finite numbers and a step above 0")
        if stop < start:
            raise BacktestError(f"--param {name}: the range {item!r} ends before it starts")
        count = int((stop - start) / step) + 1
        if len(values) + count > MAX_RUNS:
            raise BacktestError(f"--param {name}: the range {item!r} has more than {MAX_RUNS:,} values")
        values.extend(_number_text(start + i * step) for i in range(count))
    duplicates = sorted({v for v in values if values.count(v) > 1})
    if duplicates:
        raise BacktestError(f"--param {name}: value {duplicates[0]} is given twice")
    return values


def parse_params(items: Sequence[str]) -> Dict[str, List[str]]:
    """Every ``--param`` as NAME -> its values, in the order given."""
    grid: Dict[str, List[str]] = {}
    for item in items:
        name, sep, text = item.partition("=")
        name = name.strip()
        if not sep or not name:
            raise BacktestError(f"--param must look like NAME=V1,V2,... or NAME=start:stop:step, got {item!r}")
        if name in grid:
            raise BacktestError(f"--param {name} is given twice")
        grid[name] = expand_values(name, text)
    return grid


def parse_instrument(text: str) -> Instrument:
    """``stock:CODE`` / ``future:CODE``, or a bare code: a stock when it starts with a digit (the
    exchange's stock codes do), else a futures contract."""
    prefix, sep, code = text.partition(":")
    if sep:
        market = {"stock": "Stock", "future": "Future"}.get(prefix.strip().lower())
        if market is None:
            raise BacktestError(f"--instruments: the market of {text!r} must be stock: or future:")
    else:
        code = text
        market = "Stock" if code.strip()[:1].isdigit() else "Future"
    code = code.strip()
    if not code:
        raise BacktestError(f"--instruments: empty instrument code in {text!r}")
    return Instrument(code, market)


def parse_instrument_sets(items: Sequence[str]) -> List[Tuple[Instrument, ...]]:
    """``--instruments`` values: comma-separated alternatives, each one code or codes joined by "+"."""
    sets: List[Tuple[Instrument, ...]] = []
    for item in items:
        for alternative in item.split(","):
            if not alternative.strip():
                raise BacktestError(f"--instruments: empty set in {item!r}")
            group = tuple(parse_instrument(part) for part in alternative.split("+"))
            if group in sets:
                raise BacktestError(f"--instruments: the set {instruments_label(group)} is given twice")
            sets.append(group)
    return sets


def instruments_label(instruments: Sequence[Instrument]) -> str:
    return "+".join(i.code for i in instruments)


def typed(text: str) -> Any:
    """A parameter text as the number it reads as, for the result columns (the strategy gets the text)."""
    try:
        return int(text)
    except ValueError:
        pass
    try:
        number = float(text)
    except ValueError:
        return text
    return number if math.isfinite(number) else text


@dataclass(frozen=True)
class RunSpec:
    """One run of the grid, as a worker needs it (plain values only: it crosses process boundaries)."""

    index: int
    params: Tuple[Tuple[str, str], ...]  # every strategy parameter of the run, as texts
    instruments: Tuple[Tuple[str, str], ...]  # (code, market)
    options: Tuple[Tuple[str, Any], ...]  # the run options every run shares
    data_dir: str  # the tick cache root the run reads (filled by the parent before the runs)
    report_dir: Optional[str] = None  # with --reports: the folder that receives this run's report
    simulated: bool = False  # data_dir is the simulated broker's own root

    @property
    def label(self) -> str:
        return "+".join(code for code, _ in self.instruments)


@dataclass
class SweepPlan:
    options: argparse.Namespace
    fixed: Dict[str, str]  # parameters with one value
    varying: Dict[str, List[str]]  # parameters with several values, in the order given
    instrument_sets: List[Tuple[Instrument, ...]]
    runs: List[RunSpec] = field(default_factory=list)


def plan_sweep(args: argparse.Namespace) -> SweepPlan:
    """The runs of the grid; refuses bad input before anything runs."""
    grid = parse_params(args.param)
    if args.instruments and (args.stock or args.future):
        raise BacktestError("give the instruments either with --instruments or with --stock/--future")
    if args.instruments:
        sets = parse_instrument_sets(args.instruments)
    else:
        sets = [tuple(run_instruments(args.stock, args.future))]
    fixed = {name: values[0] for name, values in grid.items() if len(values) == 1}
    varying = {name: values for name, values in grid.items() if len(values) > 1}
    total = len(sets) * math.prod(len(v) for v in varying.values())
    if total > MAX_RUNS:
        raise BacktestError(f"the grid has {total:,} runs; at most {MAX_RUNS:,} are allowed")
    options = {k: v for k, v in vars(args).items() if k not in SWEEP_OPTIONS}
    options.update(param=[], stock=[], future=[], no_progress=True, verbose=False)
    # The user's data directory until warm_cache names the root that the runs read.
    data_dir = os.path.abspath(args.data_dir or BASIC_INFO.data_dir)
    plan = SweepPlan(argparse.Namespace(**options), fixed, varying, sets)
    for index, (group, *values) in enumerate(itertools.product(sets, *varying.values())):
        params = {**fixed, **dict(zip(varying, values))}
        plan.runs.append(RunSpec(
            index=index,
            params=tuple(params.items()),
            instruments=_pairs(group),
            options=tuple(sorted(options.items())),
            data_dir=data_dir,
        ))
    return plan


def run_args(job: RunSpec) -> argparse.Namespace:
    """The run options of one run, as the run command would have parsed them."""
    args = argparse.Namespace(**dict(job.options))
    args.data_dir = job.data_dir
    args.param = [f"{k}={v}" for k, v in job.params]
    args.stock = [code for code, market in job.instruments if market == "Stock"]
    args.future = [code for code, market in job.instruments if market == "Future"]
    return args


# --- one run, in a worker ------------------------------------------------------------------------


# Keys of a run's summary that describe the run rather than measure it (the sweep row has its own run
# description), and its timing, which differs from run to run.
NOT_STATISTICS = ("strategy", "instruments", "start", "end", "backfill_start", "backfill_end", "positions",
                  "ticks", "ticks_per_second")


def _summary_of(result: BacktestResult) -> Dict[str, Any]:
    """Every statistic of a run's summary (as in summary.json): the columns of a sweep row, any numeric
    one usable as --metric. A statistic without a value (an unbounded profit factor) stays None."""
    from .report import summary

    return {k: v for k, v in summary(result).items() if k not in NOT_STATISTICS}


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def run_one(job: RunSpec) -> Dict[str, Any]:
    """Runs one backtest of the grid and returns its row; a failing run returns its error instead."""
    from .modules.ticker import ticker as ticker_module

    pause = ticker_module.RETRY_PAUSE_SECONDS
    ticker_module.RETRY_PAUSE_SECONDS = 0.0  # a day missing from the cache stays missing: no waiting
    started = time.perf_counter()
    row = base_row(job)
    try:
        # The parent checked every instrument and filled this root: the worker reads it and nothing else.
        backtest = make_backtest(run_args(job), api=CacheOnly(simulated=job.simulated))
        backtest.module_console = "none"  # workers share the terminal with the progress bar
        result = backtest.run()
        stats = _summary_of(result)
        for key, value in stats.items():
            row[f"stat_{key}" if key in row else key] = value
        row["ticks"] = result.ticks
        if job.report_dir is not None:
            from .report import write_report

            write_report(result, job.report_dir, f"run-{job.index:04d}")
    except (Exception, SystemExit) as exc:
        row["error"] = " ".join(str(exc).split()) if isinstance(exc, BacktestError) else f"{type(exc).__name__}: {exc}"
    finally:
        ticker_module.RETRY_PAUSE_SECONDS = pause
    row["seconds"] = round(time.perf_counter() - started, 3)
    return row


def base_row(job: RunSpec) -> Dict[str, Any]:
    row: Dict[str, Any] = {"run": job.index, "instruments": job.label}
    for name, value in job.params:
        row[name] = typed(value)
    return row


def error_row(job: RunSpec, message: str) -> Dict[str, Any]:
    return {**base_row(job), "error": message, "seconds": None}


def _worker_init() -> None:
    # The parent alone answers Ctrl-C: it stops the workers and keeps the finished rows.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    # A parent that is killed outright cannot stop its workers; they end themselves.
    parent = os.getppid()

    def watch() -> None:
        while os.getppid() == parent:
            time.sleep(1.0)
        os._exit(1)

    threading.Thread(target=watch, name="orva-sweep-parent-watch", daemon=True).start()


# --- data before fan-out -------------------------------------------------------------------------


def _days(first: str, last: str) -> List[str]:
    day, end = datetime.strptime(first, "%Y-%m-%d"), datetime.strptime(last, "%Y-%m-%d")
    days = []
    while day <= end:
        days.append(day.strftime("%Y-%m-%d"))
        day += timedelta(days=1)
    return days


@dataclass
class CacheFill:
    """What the parent put in the tick cache for the runs."""

    root: str  # the data root every run reads: the one a single run of the chosen broker uses
    simulated: bool  # root is the simulated broker's own root (generated ticks)
    files: Dict[Tuple[Tuple[str, str], ...], List[str]]  # the cache files of each instrument set's runs


def warm_cache(plan: SweepPlan) -> CacheFill:
    """Checks every instrument set's runs can be built, puts every instrument-day of the grid in the tick
    cache of the runs' data root (each fetched or generated once, here) and says where it is."""
    from .driver import _FilteredConsole
    from .modules.ticker import ticker as ticker_module

    api, root = None, ""
    wanted: Dict[Tuple[str, str], List[str]] = {}
    needs: Dict[Tuple[Tuple[str, str], ...], List[Tuple[str, str]]] = {}
    for group in plan.instrument_sets:
        backtest = _first_buildable([s for s in plan.runs if s.instruments == _pairs(group)], api)
        # One broker for every set (one log-in); every run of the sweep has the same data directory.
        api, root = backtest.api, backtest.data_root
        for variant in plan.varying:
            if variant not in backtest.strategy.defaults:
                known = ", ".join(backtest.strategy.defaults) or "none"
                raise BacktestError(f"{backtest.strategy.name} has no parameter {variant} (parameters: {known})")
        ranges = [(backtest.start, backtest.end)]
        if backtest.backfill_start is not None:
            ranges.append((backtest.backfill_start, backtest.backfill_end))
        # Every calendar day: the feed records a non-trading day as an empty file, which the parent
        # writes here too, so no worker writes one.
        days_of_run = sorted({d for first, last in ranges for d in _days(first, last)})
        needs[_pairs(group)] = [(i.code, d) for i in backtest.instruments for d in days_of_run]
        for inst in backtest.instruments:
            days = wanted.setdefault((inst.code, inst.market), [])
            days.extend(d for d in days_of_run if d not in days)

    saved = ticker_module.console
    ticker_module.console = _FilteredConsole(console, keep_errors=True)
    try:
        with using_data_dir(root):
            ticker = ticker_module.Ticker(api)
            for (code, market), days in wanted.items():
                for day in sorted(days):
                    if not os.path.exists(cache_file(root, code, day)):
                        ticker.get_ticks_df(code, market, day, day)
    finally:
        ticker_module.console = saved
    for (code, _), days in wanted.items():
        for day in days:
            if not os.path.isfile(cache_file(root, code, day)):
                raise BacktestError(
                    f"the ticks of {code} on {day} could not be put in the tick cache (days from today on are "
                    "never cached; a sweep runs on past days only)")
    files = {group: [cache_file(root, code, day) for code, day in pairs] for group, pairs in needs.items()}
    return CacheFill(root, os.path.exists(os.path.join(root, SIMULATED_MARK)), files)


def _pairs(group: Sequence[Instrument]) -> Tuple[Tuple[str, str], ...]:
    return tuple((i.code, i.market) for i in group)


def _first_buildable(runs: Sequence[RunSpec], api: Any, attempts: int = 50) -> Any:
    """The backtest of the first run that can be built: it checks the options shared by every run (days,
    instruments, costs, strategy). A bad value of a varying parameter fails its own runs only."""
    first: Optional[BacktestError] = None
    for job in runs[:attempts]:
        try:
            return make_backtest(run_args(job), api=api)
        except BacktestError as exc:
            first = first or exc
    assert first is not None
    raise BacktestError(str(first)) from None


def data_bundle(files: Sequence[str]) -> Tuple[str, Dict[str, bytes]]:
    """The cache files as one object for Ray's object store, and a digest that names their content."""
    bundle: Dict[str, bytes] = {}
    digest = hashlib.sha256()
    for path in sorted(files):
        with open(path, "rb") as f:
            data = f.read()
        name = os.path.basename(path)
        bundle[name] = data
        digest.update(name.encode() + b"\0" + hashlib.sha256(data).digest())
    return digest.hexdigest()[:16], bundle


def materialize(digest: str, bundle: Mapping[str, bytes], simulated: bool = False) -> str:
    """Writes the shipped cache files into a data root of this machine; returns the root. Generated
    ticks get a root of their own, marked as the simulated broker's."""
    data_dir = os.path.join(tempfile.gettempdir(), "orva-sweep-data", digest + ("-simulated" if simulated else ""))
    ticks = cache_dir(data_dir)
    os.makedirs(ticks, exist_ok=True)
    if simulated:
        with open(os.path.join(data_dir, SIMULATED_MARK), "w", encoding="utf-8") as f:
            f.write("generated ticks of the simulated broker, shipped to a sweep's Ray worker\n")
    for name, data in bundle.items():
        path = os.path.join(ticks, name)
        if os.path.exists(path):
            continue
        # Several tasks of one node may write the same file at once: each writes whole, then renames.
        write_atomically(path, functools.partial(_write_bytes, data))
    return data_dir


def _ray_run_one(job: RunSpec, digest: Optional[str], bundle: Optional[Mapping[str, bytes]]) -> Dict[str, Any]:
    if bundle is not None:
        job = replace(job, data_dir=materialize(digest, bundle, job.simulated))
    return run_one(job)


# --- engines -------------------------------------------------------------------------------------


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


# --- results -------------------------------------------------------------------------------------


def results_frame(plan: SweepPlan, rows: Sequence[Dict[str, Any]]) -> Any:
    """One row per run, in run order: run, instruments, parameters, statistics, ticks, seconds, error."""
    import polars as pl

    rows = sorted(rows, key=lambda r: r["run"])
    head = ["run", "instruments", *plan.fixed, *plan.varying]
    tail = ["ticks", "seconds", "error"]
    stats: List[str] = []
    for row in rows:
        stats.extend(k for k in row if k not in head and k not in tail and k not in stats)
    texts = {"instruments", "error", *_text_statistics()}
    return pl.DataFrame([_column(name, [row.get(name) for row in rows], name in texts)
                         for name in head + stats + tail])


def _text_statistics() -> List[str]:
    """The statistics whose values are texts (times); every other one is a number or None."""
    import typing

    from .stats import Statistics

    return [name for name, hint in typing.get_type_hints(Statistics).items() if str in (hint, *typing.get_args(hint))]


def _column(name: str, values: Sequence[Any], text: bool = False) -> Any:
    """Int64 when every value is an int, Float64 when every value is a number, else String. A column
    without any value is String when it holds texts, else Float64 (a statistic that no run could give
    stays a numeric column)."""
    import polars as pl

    present = [v for v in values if v is not None]
    if not present and not text:
        return pl.Series(name, values, dtype=pl.Float64)
    if present and all(isinstance(v, int) and not isinstance(v, bool) for v in present):
        return pl.Series(name, values, dtype=pl.Int64)
    if present and all(_is_number(v) for v in present):
        return pl.Series(name, [None if v is None else float(v) for v in values], dtype=pl.Float64)
    return pl.Series(name, [None if v is None else str(v) for v in values], dtype=pl.String)


def _write_bytes(data: bytes, path: str) -> None:
    with open(path, "wb") as f:
        f.write(data)


def write_results(frame: Any, folder: str) -> None:
    os.makedirs(folder, exist_ok=True)
    write_atomically(os.path.join(folder, CSV_NAME), frame.write_csv)
    write_atomically(os.path.join(folder, PARQUET_NAME), frame.write_parquet)


def metric_order(metric: str, ascending: Optional[bool]) -> bool:
    return metric in LOWER_IS_BETTER if ascending is None else ascending


def ranked(frame: Any, metric: str, ascending: bool) -> Any:
    """Rows ranked by ``metric``; failed runs (no value) last, ties in run order."""
    import polars as pl

    return frame.with_row_index("_order").sort(
        [pl.col(metric), pl.col("_order")], descending=[not ascending, False], nulls_last=True
    ).drop("_order")


def numeric_columns(frame: Any) -> List[str]:
    return [name for name, dtype in frame.schema.items() if dtype.is_numeric() and name != "run"]


def print_table(plan: SweepPlan, frame: Any, metric: str, ascending: bool, top: int) -> None:
    from rich.table import Table

    order = ranked(frame, metric, ascending)
    shown = ["run"] + (["instruments"] if len(plan.instrument_sets) > 1 else []) + list(plan.varying)
    extra = [metric] + [c for c in ("net_pnl", "max_drawdown", "sharpe", "win_rate", "round_trips", "fills")
                        if c != metric and c in frame.columns]
    shown += extra + ["ticks", "seconds"]
    failed = frame.filter(frame["error"].is_not_null()).height
    direction = "smallest" if ascending else "largest"
    table = Table(title=f"Sweep: {frame.height} runs, ranked by {metric} ({direction} first)"
                  + (f", {failed} failed" if failed else ""))
    for name in shown:
        table.add_column(name, justify="left" if name == "instruments" else "right", overflow="fold")
    for row in order.head(top).iter_rows(named=True):
        table.add_row(*[_cell(row.get(name)) for name in shown])
    if frame.height > top:
        table.caption = f"the first {top} of {frame.height} runs; every run is in {CSV_NAME}"
    console.print(table)
    print_failures(plan, frame, top)


def print_failures(plan: SweepPlan, frame: Any, top: int) -> None:
    """The errors of failed runs, in run order: long texts, so one whole line each, never folded into a
    narrow table column."""
    failures = frame.filter(frame["error"].is_not_null())
    failed = failures.height
    if failed:
        console.print(f"[red]Failed runs ({failed}):[/red]")
    named = (["instruments"] if len(plan.instrument_sets) > 1 else []) + list(plan.varying)
    for row in failures.head(top).iter_rows(named=True):
        which = ", ".join(f"{name}={row[name]}" for name in named)
        console.print(f"  run {row['run']}" + (f" ({which})" if which else "") + f": {row['error']}",
                      markup=False, highlight=False, soft_wrap=True)
    if failed > top:
        console.print(f"  and {failed - top} more; every error is in {CSV_NAME}", highlight=False)


def _cell(value: Any) -> str:
    if value is None:
        return ""
    if isinstance(value, float):
        return f"{value:,.0f}" if abs(value) >= 1000 else f"{value:,.4g}"
    if isinstance(value, int):
        return f"{value:,}"
    return str(value)


def plot_heatmaps(plan: SweepPlan, frame: Any, metric: str, ascending: bool, folder: str) -> List[str]:
    """A heatmap of ``metric`` over the two varying parameters (one per instrument set when several
    sets are given); nothing for another number of varying parameters."""
    if len(plan.varying) != 2 or metric not in numeric_columns(frame):
        return []
    x_name, y_name = plan.varying
    paths = []
    for group in plan.instrument_sets:
        label = instruments_label(group)
        part = frame.filter(frame["instruments"] == label)
        if part[metric].drop_nulls().len() == 0:  # every run of the set failed: nothing to colour
            continue
        name = HEATMAP_NAME if len(plan.instrument_sets) == 1 else f"heatmap-{label}.png"
        path = os.path.join(folder, name)
        title = f"{metric} by {y_name} and {x_name}" + (f" ({label})" if len(plan.instrument_sets) > 1 else "")
        write_atomically(path, lambda tmp: _heatmap(part, x_name, y_name, metric, ascending, title, tmp))
        paths.append(path)
    return paths


def _heatmap(frame: Any, x_name: str, y_name: str, metric: str, ascending: bool, title: str, path: str) -> None:
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    xs = _sorted_values(frame[x_name].to_list())
    ys = _sorted_values(frame[y_name].to_list())
    grid = [[math.nan] * len(xs) for _ in ys]
    for row in frame.iter_rows(named=True):
        value = row[metric]
        if value is not None:
            grid[ys.index(row[y_name])][xs.index(row[x_name])] = float(value)
    fig = Figure(figsize=(max(5.0, 0.8 * len(xs) + 2.5), max(4.0, 0.5 * len(ys) + 2.0)), dpi=100)
    FigureCanvasAgg(fig)
    ax = fig.subplots()
    # Green is the good end of the metric.
    image = ax.imshow(grid, cmap="RdYlGn_r" if ascending else "RdYlGn", aspect="auto", origin="lower")
    fig.colorbar(image, ax=ax, label=metric)
    ax.set_xticks(range(len(xs)))
    ax.set_xticklabels([str(v) for v in xs])
    ax.set_yticks(range(len(ys)))
    ax.set_yticklabels([str(v) for v in ys])
    ax.set_xlabel(x_name)
    ax.set_ylabel(y_name)
    if len(xs) * len(ys) <= 150:
        for j, line in enumerate(grid):
            for i, value in enumerate(line):
                ax.text(i, j, "failed" if math.isnan(value) else _cell(value), ha="center", va="center", fontsize=8)
    ax.set_title(title)
    fig.tight_layout()
    fig.savefig(path, format="png")


def _sorted_values(values: Sequence[Any]) -> List[Any]:
    unique = list(dict.fromkeys(values))
    try:
        return sorted(unique)
    except TypeError:
        return unique


# --- the sweep -----------------------------------------------------------------------------------


@dataclass
class SweepResult:
    rows: List[Dict[str, Any]]  # in run order
    frame: Any  # polars DataFrame of the rows
    folder: str  # where sweep.csv, sweep.parquet and the heatmap are
    runs: int  # runs in the grid
    interrupted: bool = False

    @property
    def failed(self) -> int:
        return sum(1 for row in self.rows if row.get("error"))


def execute(args: argparse.Namespace, show: bool = True) -> SweepResult:
    """Plans the grid, fills the cache, runs every run on the chosen engine and writes the results."""
    if args.jobs is not None and args.jobs < 1:
        raise BacktestError("--jobs must be 1 or more")
    if args.address and args.engine != "ray":
        raise BacktestError("--address needs --engine ray")
    if args.ray_shared_data and args.engine != "ray":
        raise BacktestError("--ray-shared-data needs --engine ray")
    plan = plan_sweep(args)
    folder = _sweep_folder(os.path.abspath(args.report_dir), args.name)
    if args.reports:
        plan.runs = [_with_reports(job, os.path.join(folder, "runs")) for job in plan.runs]
    jobs = min(args.jobs or os.cpu_count() or 1, len(plan.runs))
    # --quiet: no bar and no table, the errors of failed runs still shown; --json: the JSON object only.
    show_errors = show and not args.json
    show = show and not args.quiet and not args.json

    if show:
        console.print(f"[green]Sweep of {len(plan.runs)} runs; filling the tick cache first[/green]")
    cache = warm_cache(plan)
    plan.runs = [replace(job, data_dir=cache.root, simulated=cache.simulated) for job in plan.runs]

    rows: List[Dict[str, Any]] = []
    last_flush = [time.monotonic()]

    def flush() -> None:
        write_results(results_frame(plan, rows), folder)
        last_flush[0] = time.monotonic()

    bar, task = _progress_bar(len(plan.runs)) if show and not args.no_progress else (None, None)

    def on_row(row: Dict[str, Any]) -> None:
        rows.append(row)
        if bar is not None:
            failed = sum(1 for r in rows if r.get("error"))
            bar.update(task, advance=1, failed=f"{failed} failed" if failed else "")
        if time.monotonic() - last_flush[0] >= FLUSH_SECONDS:
            flush()

    interrupted = False
    if bar is not None:
        bar.start()
    try:
        if args.engine == "ray":
            run_ray(plan.runs, args.address, jobs, cache.files, args.ray_shared_data, on_row)
        else:
            run_local(plan.runs, jobs, on_row)
    except KeyboardInterrupt:
        interrupted = True
    finally:
        if bar is not None:
            bar.stop()
        # Also on Ctrl-C and on failures: the finished rows are kept, each file whole.
        flush()
        if args.reports:
            _remove_partial_reports(os.path.join(folder, "runs"))
    frame = results_frame(plan, rows)
    result = SweepResult(sorted(rows, key=lambda r: r["run"]), frame, folder, len(plan.runs), interrupted)
    if not interrupted:
        plot_heatmaps(plan, frame, args.metric, metric_order(args.metric, args.ascending), folder)
    if show:
        _print_outcome(plan, result, args)
    elif show_errors:
        saved, console.stderr = console.stderr, True  # as the run command's errors under --quiet
        try:
            print_failures(plan, frame, args.top)
        finally:
            console.stderr = saved
    return result


def _remove_partial_reports(runs_dir: str) -> None:
    """Staging folders of report writers that were ended (a worker that died, Ctrl-C)."""
    import shutil

    if os.path.isdir(runs_dir):
        for name in os.listdir(runs_dir):
            if name.startswith(".") and name.endswith(".partial"):
                shutil.rmtree(os.path.join(runs_dir, name), ignore_errors=True)


def _with_reports(job: RunSpec, runs_dir: str) -> RunSpec:
    return replace(job, report_dir=runs_dir)


def _sweep_folder(parent: str, name: Optional[str]) -> str:
    if name is not None:
        if not name or name in (".", "..") or os.sep in name or (os.altsep and os.altsep in name):
            raise BacktestError(f"--name must be a plain folder name, got {name!r}")
        return os.path.join(parent, name)
    base = "sweep-" + datetime.now().strftime("%Y%m%d-%H%M%S")
    candidate, n = os.path.join(parent, base), 1
    while os.path.exists(candidate):
        n += 1
        candidate = os.path.join(parent, f"{base}-{n}")
    return candidate


def _progress_bar(total: int) -> Tuple[Any, Any]:
    from rich.progress import (BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeElapsedColumn,
                               TimeRemainingColumn)

    bar = Progress(
        TextColumn("runs"), BarColumn(), MofNCompleteColumn(), TextColumn("[red]{task.fields[failed]}"),
        TimeElapsedColumn(), TimeRemainingColumn(), console=console,
    )
    task = bar.add_task("runs", total=total, failed="")
    return bar, task


def _print_outcome(plan: SweepPlan, result: SweepResult, args: argparse.Namespace) -> None:
    frame, metric = result.frame, args.metric
    if frame.height and metric in numeric_columns(frame):
        print_table(plan, frame, metric, metric_order(metric, args.ascending), args.top)
    elif frame.height:
        known = ", ".join(numeric_columns(frame)) or "none"
        console.print(f"[yellow]No numeric column {metric!r} to rank by (columns: {known})[/yellow]")
    where = os.path.relpath(result.folder)
    if result.interrupted:
        console.print(f"[yellow]Interrupted: {len(result.rows)} of {result.runs} runs finished; "
                      f"their rows are in {where}[/yellow]")
    else:
        console.print(f"[green]Results written to {where}[/green]")


# --- command line and Python API -----------------------------------------------------------------

SWEEP_OPTIONS = ("instruments", "jobs", "engine", "address", "metric", "ascending", "top", "reports",
                 "ray_shared_data")


def build_sweep_parser() -> argparse.ArgumentParser:
    p = OneLineParser(
        prog=PROG,
        description="Run a strategy over a grid of parameter values and instrument sets: every combination "
        "is one backtest. Takes the options of a single run; --param takes several values here.",
        epilog="Exit status: 0 every run finished, 1 some runs failed (their error is in the results), "
        "2 bad input, 130 interrupted (the finished rows are kept).",
    )
    add_run_arguments(p)
    # The run options' own texts speak of one value and one report folder.
    retold = {
        "param": ("strategy parameter and its values: V1,V2,... and/or ranges start:stop[:step] (stop "
                  "included); repeatable, the grid is the product", "NAME=VALUES"),
        "report_dir": ("folder that receives the sweep folder (default: reports)", None),
        "name": ("name of the sweep folder (default: sweep-<date>-<time>)", None),
    }
    for action in p._actions:
        if action.dest in retold:
            action.help, metavar = retold[action.dest]
            action.metavar = metavar or action.metavar
    g = p.add_argument_group("sweep")
    g.add_argument("--instruments", action="append", default=[], metavar="SETS",
                   help="instrument sets to sweep over, comma-separated; one set is one code or codes joined by "
                   "'+'; a code starting with a digit is a stock, else a future (or write stock:CODE / future:CODE)")
    g.add_argument("--jobs", type=int, default=None, metavar="N",
                   help="worker processes (default: the machine's cores); with --engine ray and no --address, "
                   "the CPUs of the local Ray cluster")
    g.add_argument("--engine", choices=("local", "ray"), default="local",
                   help="local: worker processes on this machine; ray: tasks on a Ray cluster (pip install "
                   ".[cluster])")
    g.add_argument("--address", metavar="ADDR",
                   help="Ray cluster to use (e.g. auto, HOST:6379 or ray://HOST:10001); default: start a local one")
    g.add_argument("--ray-shared-data", action="store_true",
                   help="every Ray node sees --data-dir at the same path: workers read the cache there instead "
                   "of receiving the files through Ray's object store")
    g.add_argument("--metric", default=DEFAULT_METRIC,
                   help="numeric result column that ranks the table and colours the heatmap (default: net_pnl)")
    order = g.add_mutually_exclusive_group()
    order.add_argument("--ascending", dest="ascending", action="store_true", default=None,
                       help="smallest metric first (default for max_drawdown, max_drawdown_pct, commission, tax, "
                       "total_costs, seconds)")
    order.add_argument("--descending", dest="ascending", action="store_false", help="largest metric first")
    g.add_argument("--top", type=int, default=20, metavar="N", help="rows shown in the ranked table (default: 20)")
    g.add_argument("--reports", action="store_true",
                   help="also write each run's own report folder under runs/ of the sweep folder")
    return p


def parse_sweep_args(argv: Sequence[str]) -> argparse.Namespace:
    args = build_sweep_parser().parse_args(list(argv))
    if args.top < 1:
        raise BacktestError("--top must be 1 or more")
    return args


def run_sweep(
    params: Mapping[str, Any],
    instruments: Optional[Sequence[str]] = None,
    run_options: Sequence[str] = (),
    engine: str = "local",
    jobs: Optional[int] = None,
    address: Optional[str] = None,
    metric: str = DEFAULT_METRIC,
    folder: Optional[str] = None,
    reports: bool = False,
    show: bool = False,
) -> SweepResult:
    """Runs a sweep from Python; the same as the command line.

    ``params`` maps a strategy parameter to a value, a list of values, or a text as ``--param`` takes it
    ("5,10" or "5:20:5"); ``instruments`` lists sets as ``--instruments`` does ("2330", "2330+TXFR1");
    ``run_options`` are options of a single run (["--strategy", "ma_cross", "--start", "2024-01-02"]);
    ``folder`` is where the results go (default reports/sweep-<date>-<time>).
    """
    argv = list(run_options)
    for name, values in params.items():
        text = values if isinstance(values, str) else (
            ",".join(str(v) for v in values) if isinstance(values, (list, tuple, range)) else str(values))
        argv += ["--param", f"{name}={text}"]
    for group in instruments or ():
        argv += ["--instruments", group]
    argv += ["--engine", engine, "--metric", metric]
    if jobs is not None:
        argv += ["--jobs", str(jobs)]
    if address:
        argv += ["--address", address]
    if folder is not None:
        parent, name = os.path.split(os.path.abspath(folder))
        argv += ["--report-dir", parent, "--name", name]
    if reports:
        argv.append("--reports")
    if not show:
        argv.append("--no-progress")
    return execute(parse_sweep_args(argv), show=show)


def sweep_main(argv: Optional[Sequence[str]] = None) -> int:
    """``orva-backtest sweep ...``"""
    saved_stderr = console.stderr
    try:
        args = parse_sweep_args(sys.argv[2:] if argv is None else argv)
        # With --json, standard output carries the JSON object only; console lines go to standard error.
        console.stderr = saved_stderr or args.json
        result = execute(args)
        if args.json:
            print(json.dumps({"folder": result.folder, "runs": result.runs, "failed": result.failed,
                              "interrupted": result.interrupted, "rows": result.rows}))
    except SystemExit as exc:  # --help
        return exc.code if isinstance(exc.code, int) else 0
    except BacktestError as exc:  # before any run: bad input (a failing run is a row, not an exception)
        fail(str(exc))
        return EXIT_BAD_INPUT
    except KeyboardInterrupt:
        fail("interrupted")
        return EXIT_INTERRUPTED
    except Exception as exc:
        logger.exception("orva-backtest sweep failed")
        fail(f"{type(exc).__name__}: {exc}")
        return EXIT_FAILED
    finally:
        console.stderr = saved_stderr
    if result.interrupted:
        return EXIT_INTERRUPTED
    return EXIT_FAILED if result.failed else 0
