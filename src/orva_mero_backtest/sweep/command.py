"""The sweep itself: plan, cache, runs and results, from the command line or from Python."""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
import time
from dataclasses import dataclass, replace
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple

from ..errors import BacktestError
from ..options import (EXIT_BAD_INPUT, EXIT_FAILED, PROG as RUN_PROG, OneLineParser, add_run_arguments, refuse, wants_json)
from ..utils import console, logger, write_atomically
from . import engines
from .cache import warm_cache
from .folder import SweepFolder
from .grid import ANNOUNCE_RUNS, DEFAULT_MAX_RUNS, RunSpec, SweepPlan, plan_sweep
from .worker import DAILY
from .results import (DEFAULT_METRIC, LOWER_IS_BETTER, OVERFITTING_NAME, check_metric, metric_order, numeric_columns,
                      ranked, plot_heatmaps, print_failures, print_table,
                      results_frame, write_results)

PROG = f"{RUN_PROG} sweep"
EXIT_INTERRUPTED = 130
# Rows are written to disk at least this often while a sweep runs, so a killed sweep keeps most of them.
FLUSH_SECONDS = 30.0
# A run of a month of ticks takes minutes; one past this is taken for a hang.
DEFAULT_RUN_TIMEOUT = 1800.0


@dataclass
class SweepResult:
    rows: List[Dict[str, Any]]  # in run order
    frame: Any  # polars DataFrame of the rows
    folder: Optional[str]  # where sweep.csv, sweep.parquet and the heatmap are; None with --no-report
    runs: int  # runs in the grid
    interrupted: bool = False
    overfitting: Optional[Dict[str, Any]] = None  # the verdict on the best run (see overfit.py)
    walk_forward: Optional[Dict[str, Any]] = None  # with --walk-forward: its windows and out-of-sample record

    @property
    def failed(self) -> int:
        return sum(1 for row in self.rows if row.get("error"))


def check_options(args: argparse.Namespace) -> None:
    """Every option of the sweep checked before anything is planned, cached or run."""
    if args.jobs is not None and args.jobs < 1:
        raise BacktestError("--jobs must be 1 or more")
    if args.top < 1:
        raise BacktestError("--top must be 1 or more")
    if args.max_runs is not None and args.max_runs < 1:
        raise BacktestError("--max-runs must be 1 or more")
    if args.address and args.engine != "ray":
        raise BacktestError("--address needs --engine ray")
    if args.ray_shared_data and args.engine != "ray":
        raise BacktestError("--ray-shared-data needs --engine ray")
    if args.reports and args.no_report:
        raise BacktestError("--reports contradicts --no-report")
    given = [name for name in ("metric", "maximize", "minimize") if getattr(args, name) is not None]
    if len(given) > 1:
        raise BacktestError("give one of --metric, --maximize and --minimize")
    if (args.minimize is not None and args.ascending is False) or (args.maximize is not None and args.ascending):
        raise BacktestError(f"--{given[0]} contradicts --{'descending' if args.minimize else 'ascending'}")
    if args.minimize is not None:
        args.metric, args.ascending, args.minimize = args.minimize, True, None
    elif args.maximize is not None:
        args.metric, args.ascending, args.maximize = args.maximize, False, None
    elif args.metric is None:
        args.metric = DEFAULT_METRIC
    check_metric(args.metric)
    if args.search == "grid":
        for option in ("trials", "seed"):
            if getattr(args, option) is not None:
                raise BacktestError(f"--{option} needs --search random or --search optuna")
    elif args.trials is None:
        raise BacktestError(f"--search {args.search} needs --trials N")
    elif args.trials < 1:
        raise BacktestError("--trials must be 1 or more")
    if args.anchored and not args.walk_forward:
        raise BacktestError("--anchored needs --walk-forward")
    if args.run_timeout is not None and not (args.run_timeout >= 0 and math.isfinite(args.run_timeout)):
        raise BacktestError("--run-timeout needs seconds >= 0 (0: no limit)")


def execute(args: argparse.Namespace, show: bool = True) -> SweepResult:
    """Plans the grid, fills the cache, runs every run on the chosen engine and writes the results."""
    check_options(args)
    if args.engine == "local":
        engines.start_fork_server()
    windows = None
    if args.walk_forward:
        from .walkforward import plan_windows

        windows = plan_windows(args)
    plan = plan_sweep(args)
    jobs = min(args.jobs or os.cpu_count() or 1, plan.planned)
    # --quiet: no bar and no table, the errors of failed runs still shown; --json: the JSON object only.
    show_errors = show and not args.json
    show = show and not args.quiet and not args.json
    # Made and locked before the first run: an unwritable place or a folder in use is found now.
    folder = None if args.no_report else SweepFolder(args.report_dir, args.name)
    what = {"grid": "runs", "random": "runs drawn at random", "optuna": "Optuna trials"}[plan.search]
    if plan.planned >= ANNOUNCE_RUNS:
        # A long sweep says so at once, whatever the output mode (standard error is never the JSON).
        print(f"{PROG}: {plan.planned:,} {what} on {jobs} worker(s); the tick cache is filled first",
              file=sys.stderr, flush=True)
    elif show:
        console.print(f"[green]Sweep of {plan.planned} {what}; filling the tick cache first[/green]")
    # Local workers start now, while the tick cache is filled: a run then waits for no process to start.
    workers = engines.LocalWorkers(jobs) if args.engine == "local" else None
    needed = ["scipy.stats"]  # the overfitting verdict's
    if folder is not None and len(plan.varying) == 2:
        needed += ["matplotlib.figure", "matplotlib.backends.backend_agg"]  # the heatmap's
    _import_in_background(needed)
    try:
        if workers is not None:
            workers.start()
        return _execute(args, plan, jobs, folder, show, show_errors, windows, workers)
    finally:
        if workers is not None:
            workers.close()
        if folder is not None:
            folder.release()


def _import_in_background(names: Sequence[str]) -> None:
    """Imports what the end of the sweep needs on a thread while the runs run (the parent mostly waits
    for its workers then), instead of after the last run. An import that fails here fails again, and
    says why, where the module is used."""
    import importlib
    import threading

    def load() -> None:
        for name in names:
            try:
                importlib.import_module(name)
            except Exception:
                pass

    threading.Thread(target=load, name="orva-sweep-imports", daemon=True).start()


def _execute(args: argparse.Namespace, plan: SweepPlan, jobs: int, holder: Optional[SweepFolder], show: bool,
             show_errors: bool, windows: Optional[List[Any]] = None,
             workers: Optional[engines.LocalWorkers] = None) -> SweepResult:
    folder = holder.path if holder is not None else None
    if args.reports and folder is not None:
        plan.report_dir = os.path.join(folder, "runs")
        plan.runs = [_with_reports(job, plan.report_dir) for job in plan.runs]
    try:
        cache = warm_cache(plan)
    except BaseException:
        if holder is not None:
            holder.discard()  # nothing ran: no folder is left behind
        raise
    plan.data_dir, plan.simulated = cache.root, cache.simulated
    plan.runs = [replace(job, data_dir=cache.root, simulated=cache.simulated) for job in plan.runs]
    if plan.search == "optuna":
        from .search import OptunaFeed

        feed: Any = OptunaFeed(plan, args.metric, metric_order(args.metric, args.ascending), args.seed or 0)
    else:
        feed = plan.runs
    timeout = None if args.run_timeout == 0 else (args.run_timeout or DEFAULT_RUN_TIMEOUT)

    rows: List[Dict[str, Any]] = []
    last_flush = [time.monotonic()]

    def flush() -> None:
        if folder is not None:
            write_results(results_frame(plan, rows), folder)
        last_flush[0] = time.monotonic()

    total = plan.planned if windows is None else (plan.planned + 1) * len(windows)
    bar, task = _progress_bar(total) if show and not args.no_progress else (None, None)

    returns: Dict[int, List[float]] = {}

    def on_row(row: Dict[str, Any]) -> None:
        daily = row.pop(DAILY, None)
        if daily is not None and not row.get("error"):
            returns[row["run"]] = daily
        rows.append(row)
        if bar is not None:
            failed = sum(1 for r in rows if r.get("error"))
            bar.update(task, advance=1, failed=f"{failed} failed" if failed else "")
        if time.monotonic() - last_flush[0] >= FLUSH_SECONDS:
            flush()

    interrupted = False
    walk: Optional[Dict[str, Any]] = None
    if bar is not None:
        bar.start()
    try:
        def run(runs: Any, record: Callable[[Dict[str, Any]], None]) -> None:
            if args.engine == "ray":
                engines.run_ray(runs, args.address, jobs, cache.files, args.ray_shared_data, record, timeout=timeout,
                                cluster_jobs=bool(args.address) and args.jobs is None)
            else:
                engines.run_local(runs, jobs, record, timeout=timeout, workers=workers)

        if windows is None:
            run(feed, on_row)
        else:
            from .walkforward import run_walk_forward

            def run_window(_: Any, runs: Any) -> List[Dict[str, Any]]:
                got: List[Dict[str, Any]] = []
                run(runs, lambda row: (on_row(row), got.append(row)))
                return sorted(got, key=lambda r: r["run"])

            walk = run_walk_forward(plan, windows, args, run_window, returns,
                                    metric_order(args.metric, args.ascending))
    except KeyboardInterrupt:
        interrupted = True
    finally:
        if bar is not None:
            bar.stop()
        # Also on Ctrl-C and on failures: the finished rows are kept, each file whole.
        flush()
        if args.reports and folder is not None:
            _remove_partial_reports(os.path.join(folder, "runs"))
    frame = results_frame(plan, rows)
    runs = len(rows) if plan.search == "optuna" and not interrupted else plan.planned
    result = SweepResult(sorted(rows, key=lambda r: r["run"]), frame, folder, runs, interrupted)
    result.walk_forward = walk
    if walk is not None and folder is not None:
        from .walkforward import write_walk_forward

        write_walk_forward(walk, folder, args.capital)
    if not interrupted and walk is None:
        result.overfitting = _overfitting(frame, returns, args)
        if folder is not None:
            plot_heatmaps(plan, frame, args.metric, metric_order(args.metric, args.ascending), folder)
            write_atomically(os.path.join(folder, OVERFITTING_NAME), lambda tmp: _write_json(result.overfitting, tmp))
    if show and walk is not None:
        from .walkforward import print_walk_forward

        print_walk_forward(plan, walk, result.folder)
        print_failures(plan, frame, args.top)
    elif show:
        _print_outcome(plan, result, args)
        if result.overfitting is not None:
            from .overfit import describe

            console.print(describe(result.overfitting), markup=False, highlight=False, soft_wrap=True)
    elif show_errors:
        saved, console.stderr = console.stderr, True  # as the run command's errors under --quiet
        try:
            print_failures(plan, frame, args.top)
        finally:
            console.stderr = saved
    return result


def _overfitting(frame: Any, returns: Mapping[int, Sequence[float]], args: argparse.Namespace) -> Dict[str, Any]:
    from .overfit import verdict

    best = None
    if frame.height and args.metric in numeric_columns(frame):
        top = ranked(frame, args.metric, metric_order(args.metric, args.ascending)).head(1)
        if top[args.metric][0] is not None:
            best = int(top["run"][0])
    return verdict(returns, best)


def _finite(value: Any) -> Any:
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {k: _finite(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_finite(v) for v in value]
    return value


def _write_json(data: Any, path: str) -> None:
    with open(path, "w", encoding="utf-8") as f:
        json.dump(_finite(data), f, indent=2, allow_nan=False)
        f.write("\n")


def _remove_partial_reports(runs_dir: str) -> None:
    """Staging folders of report writers that were ended (a worker that died, Ctrl-C)."""
    import shutil

    if os.path.isdir(runs_dir):
        for name in os.listdir(runs_dir):
            if name.startswith(".") and name.endswith(".partial"):
                shutil.rmtree(os.path.join(runs_dir, name), ignore_errors=True)


def _with_reports(job: RunSpec, runs_dir: str) -> RunSpec:
    return replace(job, report_dir=runs_dir)


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
        console.print(f"[red]No run gave {metric}: every run failed[/red]" if result.failed == frame.height
                      else f"[yellow]No run gave {metric}[/yellow]")
        print_failures(plan, frame, args.top)
    where = os.path.relpath(result.folder) if result.folder is not None else None
    if result.interrupted:
        kept = f"; their rows are in {where}" if where else ""
        console.print(f"[yellow]Interrupted: {len(result.rows)} of {result.runs} runs finished{kept}[/yellow]")
    elif where:
        console.print(f"[green]Results written to {where}[/green]")


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
        "name": ("name of the sweep folder (default: sweep-<date>-<time>); a folder that already holds a "
                 "sweep's results, or that another sweep is writing to, is refused", None),
        "no_report": ("write no sweep folder: the results are only shown (or printed with --json)", None),
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
    g.add_argument("--constraint", action="append", default=[], metavar="EXPR",
                   help="leave out the combinations where EXPR is false, before they run, e.g. 'fast < slow' or "
                   "'slow - fast >= 5 and qty <= 2' (parameter names, numbers, + - * / // %%, comparisons, "
                   "and/or/not); repeatable, all must hold")
    g.add_argument("--search", choices=("grid", "random", "optuna"), default="grid",
                   help="grid: every combination (default); random: --trials combinations drawn with --seed; "
                   "optuna: --trials runs picked one after another by Optuna's TPE sampler from the finished "
                   "ones (pip install '.[search]')")
    g.add_argument("--trials", type=int, default=None, metavar="N", help="runs of a random or Optuna search")
    g.add_argument("--seed", type=int, default=None, metavar="S",
                   help="seed of the random or Optuna search (default: 0, so a search repeats)")
    g.add_argument("--walk-forward", metavar="TRAIN:TEST[:STEP]",
                   help="walk-forward analysis over --start..--end in trading days: search on each TRAIN-day window, "
                   "run the best parameters on the TEST days after it, move on by STEP days (default: TEST)")
    g.add_argument("--anchored", action="store_true",
                   help="with --walk-forward: every training window starts at --start (default: rolling)")
    g.add_argument("--run-timeout", type=float, default=None, metavar="SECONDS",
                   help=f"a run that takes longer is ended and recorded as failed (default: {DEFAULT_RUN_TIMEOUT:g}; "
                   "0: no limit)")
    g.add_argument("--metric", default=None, metavar="METRIC",
                   help=f"numeric result column that ranks the table, colours the heatmap and picks the best run "
                   f"(default: {DEFAULT_METRIC})")
    g.add_argument("--maximize", default=None, metavar="METRIC", help="as --metric, the largest value first")
    g.add_argument("--minimize", default=None, metavar="METRIC",
                   help="as --metric, the smallest value first (e.g. max_drawdown)")
    order = g.add_mutually_exclusive_group()
    order.add_argument("--ascending", dest="ascending", action="store_true", default=None,
                       help="smallest metric first (default for " + ", ".join(sorted(LOWER_IS_BETTER)) + ")")
    order.add_argument("--descending", dest="ascending", action="store_false", help="largest metric first")
    g.add_argument("--top", type=int, default=20, metavar="N", help="rows shown in the ranked table (default: 20)")
    g.add_argument("--max-runs", type=int, default=None, metavar="N",
                   help=f"refuse a sweep of more runs than this before it starts (default: {DEFAULT_MAX_RUNS:,})")
    g.add_argument("--reports", action="store_true",
                   help="also write each run's own report folder under runs/ of the sweep folder")
    return p


def parse_sweep_args(argv: Sequence[str]) -> argparse.Namespace:
    return build_sweep_parser().parse_args(list(argv))


def run_sweep(
    params: Mapping[str, Any],
    instruments: Optional[Sequence[str]] = None,
    run_options: Sequence[str] = (),
    engine: str = "local",
    jobs: Optional[int] = None,
    address: Optional[str] = None,
    metric: str = DEFAULT_METRIC,
    folder: Optional[str] = None,
    constraints: Sequence[str] = (),
    search: str = "grid",
    trials: Optional[int] = None,
    seed: Optional[int] = None,
    reports: bool = False,
    show: bool = False,
    ray_shared_data: bool = False,
) -> SweepResult:
    """Runs a sweep from Python; the same as the command line.

    ``params`` maps a strategy parameter to a value, a list of values, or a text as ``--param`` takes it
    ("5,10" or "5:20:5"); ``instruments`` lists sets as ``--instruments`` does ("2330", "2330+TXFR1");
    ``run_options`` are options of a single run (["--strategy", "ma_cross", "--start", "2024-01-02"]);
    ``folder`` is where the results go (default reports/sweep-<date>-<time>); ``constraints`` are
    ``--constraint`` expressions ("fast < slow"); ``search``, ``trials`` and ``seed`` as ``--search``,
    ``--trials`` and ``--seed``; ``ray_shared_data`` as ``--ray-shared-data``.
    """
    argv = list(run_options)
    for name, values in params.items():
        text = values if isinstance(values, str) else (
            ",".join(str(v) for v in values) if isinstance(values, (list, tuple, range)) else str(values))
        argv += ["--param", f"{name}={text}"]
    for group in instruments or ():
        argv += ["--instruments", group]
    for constraint in constraints:
        argv += ["--constraint", constraint]
    argv += ["--engine", engine, "--metric", metric, "--search", search]
    if trials is not None:
        argv += ["--trials", str(trials)]
    if seed is not None:
        argv += ["--seed", str(seed)]
    if jobs is not None:
        argv += ["--jobs", str(jobs)]
    if address:
        argv += ["--address", address]
    if folder is not None:
        parent, name = os.path.split(os.path.abspath(folder))
        argv += ["--report-dir", parent, "--name", name]
    if reports:
        argv.append("--reports")
    if ray_shared_data:
        argv.append("--ray-shared-data")
    if not show:
        argv.append("--no-progress")
    return execute(parse_sweep_args(argv), show=show)


def sweep_main(argv: Optional[Sequence[str]] = None) -> int:
    """``orva-backtest sweep ...``"""
    argv = sys.argv[2:] if argv is None else list(argv)
    saved_stderr = console.stderr
    # With --json, standard output carries one JSON object in every outcome: the results, or the error.
    json_out = sys.stdout if wants_json(argv) else None
    try:
        args = parse_sweep_args(argv)
        json_out = sys.stdout if args.json else None
        # With --json, console lines go to standard error.
        console.stderr = saved_stderr or args.json
        result = execute(args)
        if args.json:
            answer = {"folder": result.folder, "runs": result.runs, "failed": result.failed,
                      "interrupted": result.interrupted, "overfitting": result.overfitting,
                      "walk_forward": {k: v for k, v in (result.walk_forward or {}).items()
                                       if not k.startswith("_")} or None,
                      "rows": result.rows}
            # JSON has no infinity: a value that is not finite is null, as in summary.json
            print(json.dumps(_finite(answer), allow_nan=False))
    except SystemExit as exc:  # --help
        return exc.code if isinstance(exc.code, int) else 0
    except BacktestError as exc:  # before any run: bad input (a failing run is a row, not an exception)
        return refuse(str(exc), EXIT_BAD_INPUT, json_out)
    except KeyboardInterrupt:
        return refuse("interrupted", EXIT_INTERRUPTED, json_out)
    except Exception as exc:
        logger.exception("orva-backtest sweep failed")
        return refuse(f"{type(exc).__name__}: {exc}", EXIT_FAILED, json_out)
    finally:
        console.stderr = saved_stderr
    if result.interrupted:
        return EXIT_INTERRUPTED
    return EXIT_FAILED if result.failed else 0
