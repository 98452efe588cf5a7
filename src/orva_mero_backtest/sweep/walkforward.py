"""Walk-forward analysis: the search runs on each training window, the best parameters run on the test
window after it, and the test windows' daily results are stitched into one out-of-sample record.

Windows count trading days of the exchange calendar (``data.clock``): ``TRAIN:TEST[:STEP]`` days, the
training window rolling forward by STEP (default TEST) days, or anchored at the first day (``--anchored``).
"""

from __future__ import annotations

import argparse
import math
from dataclasses import dataclass, replace
from datetime import date as Date
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from ..errors import BacktestError

WALK_FORWARD_CSV = "walk_forward.csv"
WALK_FORWARD_JSON = "walk_forward.json"
WALK_FORWARD_PNG = "walk_forward.png"


@dataclass(frozen=True)
class Window:
    number: int
    train: Tuple[Date, Date]  # first and last trading day, both included
    test: Tuple[Date, Date]


def parse_walk_forward(text: str) -> Tuple[int, int, int]:
    """``TRAIN_DAYS:TEST_DAYS[:STEP_DAYS]`` as three whole numbers above 0 (STEP defaults to TEST)."""
    parts = text.split(":")
    try:
        numbers = [int(part) for part in parts]
    except ValueError:
        numbers = []
    if len(parts) not in (2, 3) or len(numbers) != len(parts) or min(numbers) < 1:
        raise BacktestError(f"--walk-forward needs TRAIN_DAYS:TEST_DAYS[:STEP_DAYS] in whole trading days above 0, "
                            f"got {text!r}")
    train, test = numbers[0], numbers[1]
    return train, test, numbers[2] if len(numbers) == 3 else test


def windows(days: Sequence[Date], train: int, test: int, step: int, anchored: bool) -> List[Window]:
    """The windows over ``days`` (trading days in order); the last test window may be shorter."""
    found: List[Window] = []
    start = 0
    while start + train < len(days):
        first = 0 if anchored else start
        tested = days[start + train:start + train + test]
        found.append(Window(len(found), (days[first], days[start + train - 1]), (tested[0], tested[-1])))
        start += step
    return found


def plan_windows(args: argparse.Namespace) -> List[Window]:
    """The windows of the sweep's --start/--end, refused before anything runs when they cannot be made."""
    from ..data.clock import parse_day, trading_days

    train, test, step = parse_walk_forward(args.walk_forward)
    if not args.start or not args.end:
        raise BacktestError("--walk-forward needs --start and --end: the range its windows walk over")
    if args.backfill_start or args.backfill_end:
        raise BacktestError("--walk-forward runs each window without warm-up days: leave out the backfill dates")
    if args.instruments and ("," in ",".join(args.instruments) or len(args.instruments) > 1):
        raise BacktestError("--walk-forward takes one instrument set")
    days = trading_days(parse_day(args.start, "start date"), parse_day(args.end, "end date"))
    found = windows(days, train, test, step, args.anchored)
    if not found:
        raise BacktestError(f"--walk-forward {args.walk_forward}: {args.start} to {args.end} has {len(days)} trading "
                            f"day(s), fewer than the {train + 1} one window needs")
    return found


def with_dates(job: Any, index: int, first: Date, last: Date) -> Any:
    options = dict(job.options)
    options.update(start=first.isoformat(), end=last.isoformat(), backfill_start=None, backfill_end=None,
                   no_backfill=True)
    return replace(job, index=index, options=tuple(sorted(options.items())))


def daily_pnl(returns: Sequence[float], capital: float) -> List[float]:
    """A run's daily P&L in TWD from its daily returns (each over the equity at the day before's end)."""
    pnl, total = [], 0.0
    for r in returns:
        day = r * (capital + total)
        pnl.append(day)
        total += day
    return pnl


def stitched(tests: Sequence[Tuple[Sequence[float], float]], days_per_year: int) -> Dict[str, Any]:
    """The out-of-sample record: the test runs' daily P&L one after another, on one capital."""
    from ..stats import sharpe_sortino

    capital = tests[0][1] if tests else 0.0
    pnl = [p for returns, cap in tests for p in daily_pnl(returns, cap)]
    equity, returns, peak, worst, total = [], [], capital, 0.0, 0.0
    for day in pnl:
        returns.append(day / (capital + total) if capital + total > 0 else 0.0)
        total += day
        equity.append(capital + total)
        peak = max(peak, capital + total)
        worst = max(worst, peak - (capital + total))
    sharpe, sortino = sharpe_sortino(returns, days_per_year)
    return {"days": len(pnl), "net_pnl": total, "return_pct": total / capital * 100 if capital else 0.0,
            "sharpe": sharpe, "sortino": sortino, "max_drawdown": worst, "equity": equity}


def run_walk_forward(plan: Any, found: Sequence[Window], args: argparse.Namespace,
                     run: Callable[[Any, List[Any]], List[Dict[str, Any]]], returns: Dict[int, List[float]],
                     ascending: bool) -> Dict[str, Any]:
    """Each window: the plan's runs on the training days (``run(plan, runs)`` gives their rows), then the
    best of them on the test days. Returns the walk-forward summary."""
    from ..stats import FALLBACK_TRADING_DAYS
    from .engines import RunFeed
    from .overfit import verdict
    from .search import OptunaFeed

    metric, index = args.metric, 0
    table, tests = [], []
    per_year = FALLBACK_TRADING_DAYS
    for window in found:
        window_options = argparse.Namespace(**{**vars(plan.options), "start": window.train[0].isoformat(),
                                               "end": window.train[1].isoformat(), "backfill_start": None,
                                               "backfill_end": None, "no_backfill": True})
        wplan = replace(plan, options=window_options, runs=[])
        wplan.runs = [with_dates(job, i, *window.train) for i, job in enumerate(plan.runs)]
        feed = _Numbered(OptunaFeed(wplan, metric, ascending, (args.seed or 0) + window.number)
                         if plan.search == "optuna" else RunFeed(wplan.runs), index)
        rows = run(wplan, feed)
        for row in rows:
            row.update(window=window.number, phase="train")
        index += len(rows)
        scored = [r for r in rows if isinstance(r.get(metric), (int, float)) and not r.get("error")
                  and math.isfinite(r[metric])]
        entry: Dict[str, Any] = {"window": window.number, "train_start": window.train[0].isoformat(),
                                 "train_end": window.train[1].isoformat(), "test_start": window.test[0].isoformat(),
                                 "test_end": window.test[1].isoformat(), "runs": len(rows)}
        if not scored:
            entry.update(pbo=None, error="every training run failed")
            table.append(entry)
            continue
        best = sorted(scored, key=lambda r: (r[metric] if ascending else -r[metric], r["run"]))[0]
        check = verdict({r["run"]: returns[r["run"]] for r in rows if r["run"] in returns}, best["run"])
        entry.update(pbo=check.get("pbo"), deflated_sharpe=check.get("deflated_sharpe"))
        tested = run(wplan, [with_dates(feed.jobs[best["run"]], index, *window.test)])
        index += 1
        test_row = tested[0]
        test_row.update(window=window.number, phase="test")
        entry.update({name: best[name] for name in plan.varying})
        entry.update({"best_run": best["run"], "test_run": test_row["run"], f"in_sample_{metric}": best[metric],
                      f"out_of_sample_{metric}": test_row.get(metric), "in_sample_net_pnl": best.get("net_pnl"),
                      "out_of_sample_net_pnl": test_row.get("net_pnl"), "error": test_row.get("error")})
        entry["in_sample_days"] = best.get("trading_days")
        entry["out_of_sample_days"] = test_row.get("trading_days")
        table.append(entry)
        if test_row["run"] in returns:
            tests.append((returns[test_row["run"]], float(test_row.get("capital") or args.capital)))
            per_year = test_row.get("trading_days_per_year") or per_year
    oos = stitched(tests, per_year)
    in_days = sum(e.get("in_sample_days") or 0 for e in table)
    in_pnl = math.fsum(e.get("in_sample_net_pnl") or 0.0 for e in table)
    summary = {
        "windows": table, "anchored": bool(args.anchored), "metric": metric,
        "out_of_sample": {k: v for k, v in oos.items() if k != "equity"},
        "in_sample": {"net_pnl_per_day": in_pnl / in_days if in_days else None,
                      f"mean_{metric}": _mean([e.get(f"in_sample_{metric}") for e in table])},
    }
    summary["out_of_sample"]["net_pnl_per_day"] = oos["net_pnl"] / oos["days"] if oos["days"] else None
    summary["out_of_sample"][f"mean_{metric}"] = _mean([e.get(f"out_of_sample_{metric}") for e in table])
    summary["_equity"] = oos["equity"]
    return summary


def _mean(values: Sequence[Any]) -> Optional[float]:
    numbers = [v for v in values if isinstance(v, (int, float)) and math.isfinite(v)]
    return sum(numbers) / len(numbers) if numbers else None


class _Numbered:
    """A feed whose runs are numbered after the runs of the windows before; keeps every job it gave."""

    def __init__(self, feed: Any, offset: int) -> None:
        self.feed, self.offset = feed, offset
        self.jobs: Dict[int, Any] = {}

    def take(self, free: int) -> List[Any]:
        taken = [replace(job, index=job.index + self.offset) for job in self.feed.take(free)]
        self.jobs.update((job.index, job) for job in taken)
        return taken

    def finished(self) -> bool:
        return self.feed.finished()

    def told(self, row: Dict[str, Any]) -> None:
        self.feed.told({**row, "run": row["run"] - self.offset})


def write_walk_forward(summary: Dict[str, Any], folder: str, capital: float) -> None:
    import json
    import os

    import polars as pl

    from ..utils import write_atomically

    frame = pl.DataFrame(summary["windows"], infer_schema_length=None)
    write_atomically(os.path.join(folder, WALK_FORWARD_CSV), frame.write_csv)
    data = {k: v for k, v in summary.items() if not k.startswith("_")}

    def dump(path: str) -> None:
        with open(path, "w", encoding="utf-8") as f:
            json.dump(data, f, indent=2, allow_nan=False, default=str)
            f.write("\n")

    write_atomically(os.path.join(folder, WALK_FORWARD_JSON), dump)
    equity = summary["_equity"]
    if equity:
        write_atomically(os.path.join(folder, WALK_FORWARD_PNG), lambda tmp: _plot(equity, capital, tmp))


def _plot(equity: Sequence[float], capital: float, path: str) -> None:
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    fig = Figure(figsize=(8, 4), dpi=100)
    FigureCanvasAgg(fig)
    ax = fig.subplots()
    ax.plot(range(1, len(equity) + 1), equity, color="tab:blue")
    ax.axhline(capital, color="grey", linewidth=0.8)
    ax.set_xlabel("out-of-sample trading day")
    ax.set_ylabel("equity (TWD)")
    ax.set_title("Walk-forward: stitched out-of-sample equity")
    fig.tight_layout()
    fig.savefig(path, format="png")


def print_walk_forward(plan: Any, summary: Dict[str, Any], folder: Optional[str]) -> None:
    import os

    from rich.table import Table

    from ..utils import console
    from .results import _cell

    metric = summary["metric"]
    table = Table(title=f"Walk-forward ({'anchored' if summary['anchored'] else 'rolling'}): the best {metric} of "
                  "each training window on the test days after it")
    table.add_column("#", justify="right")
    table.add_column("train", no_wrap=True)
    table.add_column("test", no_wrap=True)
    for name in plan.varying:
        table.add_column(name, justify="right")
    for name in ("in sample", "out of sample", "PBO"):
        table.add_column(name, justify="right", no_wrap=True)
    # Within one year the days are written MM-DD (the year is in the title): the table stays narrow.
    years = {e[k][:4] for e in summary["windows"] for k in ("train_start", "test_end")}
    cut = 5 if len(years) == 1 else 0
    if cut:
        table.title += f", {years.pop()}"
    for e in summary["windows"]:
        table.add_row(str(e["window"]), f"{e['train_start'][cut:]}..{e['train_end'][5:]}",
                      f"{e['test_start'][cut:]}..{e['test_end'][5:]}", *[_cell(e.get(name)) for name in plan.varying],
                      _cell(e.get(f"in_sample_{metric}")), _cell(e.get(f"out_of_sample_{metric}")),
                      "" if e.get("pbo") is None else f"{e['pbo']:.2f}")
    console.print(table)
    oos, ins = summary["out_of_sample"], summary["in_sample"]
    sortino = "n/a" if oos["sortino"] is None else f"{oos['sortino']:.2f}"
    console.print(f"Out of sample, stitched over {oos['days']} trading days: net P&L {oos['net_pnl']:,.0f} "
                  f"({oos['return_pct']:.2f}%), Sharpe {oos['sharpe']:.2f}, Sortino {sortino}, "
                  f"max drawdown {oos['max_drawdown']:,.0f}", highlight=False, soft_wrap=True)
    console.print(f"Net P&L per day: in sample {_cell(ins['net_pnl_per_day'])}, out of sample "
                  f"{_cell(oos['net_pnl_per_day'])}; mean {metric}: in sample {_cell(ins[f'mean_{metric}'])}, "
                  f"out of sample {_cell(oos[f'mean_{metric}'])}", highlight=False, soft_wrap=True)
    if folder is not None:
        console.print(f"[green]Results written to {os.path.relpath(folder)}[/green]")
