"""The results of a sweep: the frame of rows, its files, the ranked table and the heatmaps."""

from __future__ import annotations

import math
import os
from typing import Any, Dict, List, Optional, Sequence, Tuple

from ..errors import BacktestError
from ..utils import console, write_atomically
from .grid import SweepPlan, instruments_label

CSV_NAME = "sweep.csv"
PARQUET_NAME = "sweep.parquet"
HEATMAP_NAME = "heatmap.png"
OVERFITTING_NAME = "overfitting.json"
# Metrics whose sign says profit or loss: their heatmap colours are centred on 0.
CENTRED_ON_ZERO = {"net_pnl", "gross_pnl", "realized_pnl", "unrealized_pnl", "return_pct", "sharpe", "sortino",
                   "avg_win", "avg_loss", "largest_win", "largest_loss", "cagr", "cagr_pct", "expectancy", "sqn",
                   "calmar", "kelly", "best_day", "worst_day"}
DEFAULT_METRIC = "net_pnl"
# Metrics where a smaller value ranks first; any other column ranks largest first.
LOWER_IS_BETTER = {"max_drawdown", "max_drawdown_pct", "commission", "tax", "total_costs", "seconds"}


# The numeric figures of a run's summary besides its statistics, and the run's own wall time.
SUMMARY_NUMBERS = ("ticks", "backfill_ticks", "orders", "fills", "commission", "tax", "realized_pnl",
                   "unrealized_pnl", "net_pnl", "slippage_ticks", "seconds")


def metric_names() -> List[str]:
    """Every column --metric may name: the summary's figures and every numeric statistic."""
    import typing

    from ..stats import Statistics

    names = list(SUMMARY_NUMBERS)
    for name, hint in typing.get_type_hints(Statistics).items():
        kinds = set(typing.get_args(hint)) or {hint}
        if kinds & {int, float} and name not in names:
            names.append(name)
    return names


def check_metric(metric: str) -> None:
    """Refuses a metric no run can give, before the first run."""
    import difflib

    names = metric_names()
    if metric in names:
        return
    near = difflib.get_close_matches(metric, names, n=1)
    hint = f"; did you mean {near[0]}?" if near else f" (metrics: {', '.join(sorted(names))})"
    raise BacktestError(f"--metric {metric!r} is not a numeric result{hint}")


def results_frame(plan: SweepPlan, rows: Sequence[Dict[str, Any]]) -> Any:
    """One row per run, in run order: run, instruments, parameters, statistics, ticks, seconds, error."""
    import polars as pl

    rows = sorted(rows, key=lambda r: r["run"])
    head = ["run", *(["window", "phase"] if any("window" in r for r in rows) else []), "instruments", *plan.fixed,
            *plan.varying]
    tail = ["ticks", "seconds", "error"]
    stats: List[str] = []
    for row in rows:
        stats.extend(k for k in row if k not in head and k not in tail and k not in stats)
    texts = {"instruments", "error", "phase", *_text_statistics()}
    return pl.DataFrame([_column(name, [row.get(name) for row in rows], name in texts)
                         for name in head + stats + tail])


def _text_statistics() -> List[str]:
    """The statistics whose values are texts (times); every other one is a number or None."""
    import typing

    from ..stats import Statistics

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


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


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
    failed = set()  # cells of runs that failed; a cell no run of a search reached stays blank
    for row in frame.iter_rows(named=True):
        value = row[metric]
        if value is not None:
            grid[ys.index(row[y_name])][xs.index(row[x_name])] = float(value)
        else:
            failed.add((ys.index(row[y_name]), xs.index(row[x_name])))
    fig = Figure(figsize=(max(5.0, 0.8 * len(xs) + 2.5), max(4.0, 0.5 * len(ys) + 2.0)), dpi=100)
    FigureCanvasAgg(fig)
    ax = fig.subplots()
    # Green is the good end of the metric; a P&L-like metric has its neutral colour at 0.
    limits = colour_limits(metric, [v for line in grid for v in line])
    image = ax.imshow(grid, cmap="RdYlGn_r" if ascending else "RdYlGn", aspect="auto", origin="lower",
                      vmin=limits[0] if limits else None, vmax=limits[1] if limits else None)
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
                text = ("failed" if (j, i) in failed else "") if math.isnan(value) else _cell(value)
                ax.text(i, j, text, ha="center", va="center", fontsize=8)
    ax.set_title(title)
    fig.tight_layout()
    fig.savefig(path, format="png")


def colour_limits(metric: str, values: Sequence[float]) -> Optional[Tuple[float, float]]:
    """The colour scale of a signed, P&L-like metric: symmetric about 0, so a profit is never drawn in
    the colour of a loss. None for other metrics (the scale spans their values)."""
    finite = [v for v in values if v is not None and math.isfinite(v)]
    if metric not in CENTRED_ON_ZERO or not finite:
        return None
    reach = max(abs(v) for v in finite) or 1.0
    return -reach, reach


def _sorted_values(values: Sequence[Any]) -> List[Any]:
    unique = list(dict.fromkeys(values))
    try:
        return sorted(unique)
    except TypeError:
        return unique
