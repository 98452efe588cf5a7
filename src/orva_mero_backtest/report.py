"""The report folder of a backtest: fills, orders, round trips and the equity curve as CSV, positions, a
summary with the statistics, a picture and an HTML tear sheet."""

from __future__ import annotations

import csv
import contextlib
import json
import math
import os
import shutil
import tempfile
from datetime import date as Date, datetime
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple

from . import stats as statistics
from .driver import BacktestResult
from .data.clock import session_fraction, wall_clock, wall_clock_text

FILLS_CSV = "fills.csv"
TRADES_CSV = "trades.csv"
POSITIONS_CSV = "positions.csv"
SUMMARY_JSON = "summary.json"
PICTURE = "backtest.png"
EQUITY_CSV = "equity.csv"
ROUND_TRIPS_CSV = "roundtrips.csv"
HTML = "report.html"
EQUITY_COLUMNS = ["time", "equity", "drawdown"]

FILL_COLUMNS = [
    "time", "timestamp", "trade_id", "code", "product_type", "action", "quantity", "units", "price",
    "commission", "tax", "realized_pnl", "position", "avg_price", "exchange_price",
]
TRADE_COLUMNS = [
    "placed_time", "trade_id", "code", "product_type", "action", "price_type", "order_type", "price",
    "quantity", "filled_qty", "avg_fill_price", "cancelled_qty", "open_qty", "status", "placed_ts", "updated_ts",
]
POSITION_COLUMNS = [
    "code", "product_type", "quantity", "avg_price", "last_price", "realized_pnl", "unrealized_pnl",
    "commission", "tax", "net_pnl", "bought", "sold", "fills", "point_value",
]

# Day-session span used to lay trading days side by side on the picture's time axis.
_SESSION_OPEN = 8 * 3600 + 45 * 60
_SESSION_LENGTH = 5 * 3600


taipei_time = wall_clock_text  # tick times are Taipei wall clock written as epoch time (data.clock)


def summary(
    result: BacktestResult, stats: Optional[statistics.Statistics] = None, tear_sheet: bool = False,
) -> Dict[str, Any]:
    """The summary.json object: the run, the costs and P&L, and every statistic at the top level; with
    ``tear_sheet``, also the tables behind the report's charts under "tear_sheet" (daily, monthly and
    yearly returns, rolling Sharpe ratio, worst drawdowns, buy and hold per instrument)."""
    p = result.positions
    if stats is None:
        stats = result.statistics()
    out = {
        "strategy": result.strategy,
        "instruments": [{"code": i.code, "market": i.market} for i in result.instruments],
        "start": result.start,
        "end": result.end,
        "backfill_start": result.backfill_start,
        "backfill_end": result.backfill_end,
        "ticks": result.ticks,
        "backfill_ticks": result.backfill_ticks,
        "ticks_per_second": round(result.ticks_per_second, 1),
        "orders": len(result.orders),
        "fills": len(result.fills),
        "commission": p.commission,
        "tax": p.tax,
        "realized_pnl": p.realized_pnl,
        "unrealized_pnl": p.unrealized_pnl,
        "net_pnl": p.equity(),
        "slippage_ticks": p.costs.slippage_ticks,
        "fill_model": result.fill_model,
        "latency_ms": result.latency_ms,
        "cancel_latency_ms": result.cancel_latency_ms,
        "queue_model": result.queue_model,
        "positions": {e["code"]: e["quantity"] for e in p.summary()},
        **stats.as_dict(),
    }
    if tear_sheet and stats.tear_sheet is not None:
        out["tear_sheet"] = stats.tear_sheet.as_dict()
    return out


def _write_csv(path: str, columns: Sequence[str], rows: Iterable[Dict[str, Any]]) -> None:
    with open(path, "w", newline="", encoding="utf-8") as f:
        writer = csv.DictWriter(f, fieldnames=list(columns), extrasaction="ignore")
        writer.writeheader()
        for row in rows:
            writer.writerow({k: ("" if row.get(k) is None else row.get(k)) for k in columns})


def equity_rows(curve) -> List[Dict[str, Any]]:
    return [
        {"time": wall_clock_text(ts), "equity": round(equity, 4), "drawdown": round(drawdown, 4)}
        for ts, equity, drawdown in zip(curve["ts"], curve["equity"], curve["drawdown"])
    ]


def _unique_folder(parent: str, name: str) -> str:
    candidate, n = os.path.join(parent, name), 1
    while os.path.exists(candidate):
        n += 1
        candidate = os.path.join(parent, f"{name}-{n}")
    return candidate


def write_report(
    result: BacktestResult, parent: str, name: Optional[str] = None, stats: Optional[statistics.Statistics] = None,
) -> str:
    """Writes the report folder under ``parent`` and returns its path.

    Everything is written into a hidden temporary folder first and renamed at the end, so a failure
    never leaves a folder that looks like a finished report.
    """
    made_parent = not os.path.isdir(parent)
    os.makedirs(parent, exist_ok=True)
    if name is None:
        name = "backtest-" + datetime.now().strftime("%Y%m%d-%H%M%S")
    staging = tempfile.mkdtemp(prefix=f".{name}.", suffix=".partial", dir=parent)
    try:
        fills = [{**f, "time": taipei_time(f["timestamp"])} for f in result.fills]
        _write_csv(os.path.join(staging, FILLS_CSV), FILL_COLUMNS, fills)
        trades = [{**o, "placed_time": taipei_time(o["placed_ts"])} for o in result.orders]
        _write_csv(os.path.join(staging, TRADES_CSV), TRADE_COLUMNS, trades)
        _write_csv(os.path.join(staging, POSITIONS_CSV), POSITION_COLUMNS, result.positions.summary())
        if stats is None:
            stats = result.statistics()
        with open(os.path.join(staging, SUMMARY_JSON), "w", encoding="utf-8") as f:
            json.dump(summary(result, stats, tear_sheet=True), f, ensure_ascii=False, indent=2, allow_nan=False)
        curve = statistics.equity_curve(result.equity, result.capital)
        _write_csv(os.path.join(staging, EQUITY_CSV), EQUITY_COLUMNS, equity_rows(curve))
        trips = [t.as_row() for t in result.round_trips()]
        _write_csv(os.path.join(staging, ROUND_TRIPS_CSV), statistics.ROUND_TRIP_COLUMNS, trips)
        from .report_html import write_html

        write_html(result, stats, curve, trips, os.path.join(staging, HTML))
        plot(result, os.path.join(staging, PICTURE))
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(staging, 0o777 & ~umask)  # mkdtemp makes it private
        final = _unique_folder(parent, name)
        os.rename(staging, final)
    except BaseException:
        shutil.rmtree(staging, ignore_errors=True)
        if made_parent:  # an interrupted first report leaves no empty reports/ behind
            with contextlib.suppress(OSError):
                os.rmdir(parent)
        raise
    return final


# --- the picture ----------------------------------------------------------------------------------


class _SessionAxis:
    """Maps timestamps onto consecutive trading days, dropping the hours between sessions."""

    def __init__(self, timestamps: Iterable[float]) -> None:
        days = sorted({self._day(ts) for ts in timestamps})
        self.index = {d: i for i, d in enumerate(days)}
        self.days = days

    @staticmethod
    def _day(ts: float) -> Date:
        return wall_clock(ts).date()

    def x(self, ts: float) -> float:
        return self.index[self._day(ts)] + session_fraction(ts)

    def ticks(self) -> Tuple[List[float], List[str]]:
        if len(self.days) <= 2:
            positions, labels = [], []
            for i, day in enumerate(self.days):
                for hour in range(9, 14):
                    positions.append(i + (hour * 3600 - _SESSION_OPEN) / _SESSION_LENGTH)
                    labels.append(f"{day:%m-%d}\n{hour:02d}:00" if hour == 9 else f"{hour:02d}:00")
            return positions, labels
        step = max(1, math.ceil(len(self.days) / 12))
        return [i for i in range(0, len(self.days), step)], [f"{d:%m-%d}" for d in self.days[::step]]


def _broken(axis: _SessionAxis, points: Sequence[Tuple[float, float]]) -> Tuple[List[float], List[float]]:
    """x and y lists with a gap (NaN) between trading days, so no line is drawn across the night."""
    xs: List[float] = []
    ys: List[float] = []
    last_day = None
    for ts, value in points:
        x = axis.x(ts)
        day = axis.index[axis._day(ts)]
        if last_day is not None and day != last_day:
            xs.append(math.nan)
            ys.append(math.nan)
        last_day = day
        xs.append(x)
        ys.append(value)
    return xs, ys


def plot(result: BacktestResult, path: str) -> None:
    """Price of every instrument with its fills marked, and the equity curve below."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure
    from matplotlib.ticker import FuncFormatter

    codes = [i.code for i in result.instruments]
    stamps = [ts for series in result.prices.values() for ts, _ in series]
    stamps += [ts for ts, _ in result.equity] + [f["timestamp"] for f in result.fills]
    axis = _SessionAxis(stamps)

    rows = len(codes) + 1
    fig = Figure(figsize=(12, 2.6 * rows + 0.6), dpi=100)
    FigureCanvasAgg(fig)
    axes = fig.subplots(rows, 1, sharex=True, gridspec_kw={"height_ratios": [3] * len(codes) + [2]})
    if rows == 1:  # pragma: no cover - there is always at least one instrument
        axes = [axes]
    markets = {i.code: i.market for i in result.instruments}
    for ax, code in zip(axes, codes):
        xs, ys = _broken(axis, result.prices.get(code, []))
        ax.plot(xs, ys, color="tab:blue", linewidth=0.8, label=f"{code} close")
        for side, marker, colour in (("Buy", "^", "tab:red"), ("Sell", "v", "tab:green")):
            pts = [f for f in result.fills if f["code"] == code and f["action"] == side]
            if pts:
                ax.scatter(
                    [axis.x(f["timestamp"]) for f in pts], [f["price"] for f in pts], marker=marker,
                    color=colour, s=36, zorder=3, label=f"{side} ({len(pts)})", edgecolors="black", linewidths=0.4,
                )
        ax.set_ylabel(f"{code}\n{markets[code]}")
        ax.grid(True, alpha=0.3)
        ax.legend(loc="upper left", fontsize=8)
    eq = axes[-1]
    xs, ys = _broken(axis, result.equity)
    eq.plot(xs, ys, color="black", linewidth=1.0, label="equity (net P&L, TWD)")
    eq.axhline(0.0, color="grey", linewidth=0.6)
    eq.set_ylabel("TWD")
    eq.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:,.0f}"))
    eq.grid(True, alpha=0.3)
    eq.legend(loc="upper left", fontsize=8)
    positions, labels = axis.ticks()
    eq.set_xticks(positions)
    eq.set_xticklabels(labels, fontsize=8)
    if axis.days:
        eq.set_xlim(-0.02, len(axis.days) + 0.02)
    for i in range(1, len(axis.days)):
        for ax in axes:
            ax.axvline(i, color="grey", linewidth=0.5, linestyle=":")
    net = result.positions.equity()
    fig.suptitle(
        f"{result.strategy}: {result.start} to {result.end}   {len(result.fills)} fill{'' if len(result.fills) == 1 else 's'}"
        f"   net P&L {round(net):,} TWD",
        fontsize=11,
    )
    fig.tight_layout()
    fig.savefig(path)
