"""One run of the grid, in a worker process (or a Ray task): the backtest and its row."""

from __future__ import annotations

import os
import signal
import sys
import threading
import time
from typing import Any, Dict, Optional

from ..data.cache_broker import CacheOnly
from ..driver import BacktestResult
from ..errors import BacktestError
from ..options import make_backtest
from .grid import RunSpec, run_args, typed

# Keys of a run's summary that describe the run rather than measure it (the sweep row has its own run
# description), and its timing, which differs from run to run.
NOT_STATISTICS = ("strategy", "instruments", "start", "end", "backfill_start", "backfill_end", "positions",
                  "ticks", "ticks_per_second")


# The row's daily returns (for the overfitting verdict): taken out of the row before the results frame.
DAILY = "_daily_returns"


def _daily_returns(result: BacktestResult) -> list:
    """One return per trading day of the run, as its Sharpe ratio is computed."""
    from ..data.clock import parse_day, wall_clock
    from ..stats import daily_returns, trading_days

    seen = {wall_clock(ts).date() for ts, _ in result.equity}
    days, _ = trading_days(parse_day(result.start, "start date"), parse_day(result.end, "end date"), seen)
    return [float(r) for r in daily_returns(result.equity, float(result.capital), days)]


def _summary_of(result: BacktestResult) -> Dict[str, Any]:
    """Every statistic of a run's summary (as in summary.json): the columns of a sweep row, any numeric
    one usable as --metric. A statistic without a value (an unbounded profit factor) stays None."""
    from ..report import summary

    return {k: v for k, v in summary(result).items() if k not in NOT_STATISTICS}


def run_one(job: RunSpec) -> Dict[str, Any]:
    """Runs one backtest of the grid and returns its row; a failing run returns its error instead."""
    from ..modules.ticker import ticker as ticker_module

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
        row["chunks"] = result.chunks
        row[DAILY] = _daily_returns(result)
        if job.report_dir is not None:
            from ..report import write_report

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


_STARTED: Any = None  # the pool's queue of (run index) as each run starts: the parent times them from there


def run_reported(job: RunSpec) -> Dict[str, Any]:
    """``run_one``, first telling the parent that the run starts (a fresh worker takes seconds to start,
    which must not count against the run's time limit)."""
    if _STARTED is not None:
        _STARTED.put(job.index)
    return run_one(job)


def _worker_init(started: Any = None, environ: Optional[Dict[str, str]] = None) -> None:
    global _STARTED
    _STARTED = started
    if environ is not None:  # the parent's, as a spawned worker has it (a forked one has its fork server's)
        os.environ.clear()
        os.environ.update(environ)
    # What every run needs, imported before the first run starts its clock: in a worker forked from the
    # fork server only what it left unloaded (polars), in a spawned one everything.
    preloaded = sys.modules.get("orva_mero_backtest.sweep_preload")
    if preloaded is not None:
        preloaded.load_deferred()
    from .. import report, stats  # noqa: F401
    from ..modules.ticker import ticker  # noqa: F401
    # The parent alone answers Ctrl-C: it stops the workers and keeps the finished rows.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    # A parent that is killed outright cannot stop its workers; they end themselves. A forked worker's
    # parent is the fork server, which ends when the sweep's process does.
    parent = os.getppid()

    def watch() -> None:
        while os.getppid() == parent:
            time.sleep(1.0)
        os._exit(1)

    threading.Thread(target=watch, name="orva-sweep-parent-watch", daemon=True).start()
