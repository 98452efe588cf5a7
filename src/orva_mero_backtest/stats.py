"""Performance statistics of a backtest: drawdown, Sharpe and Sortino, round trips, exposure, turnover.

Which code computes what:
- Sharpe and Sortino ratios of the daily returns: empyrical (empyrical-reloaded), annualised with the
  number of trading days per year of the Taiwan stock exchange's calendar (exchange-calendars, XTAI).
- The equity curve's running peak, drawdown and its largest value: polars expressions.
- Round trips (FIFO, with partial closes and reversals), exposure over intraday session time and the
  round trips' win/loss figures: written here, as no library pairs intraday fills or measures time in
  the market from fills.

Choices: a round trip wins when its P&L after costs is above 0; fill costs are shared out per unit of
quantity between the round trips a fill takes part in; the daily return is the day's P&L over the
equity at the previous day's end (capital plus P&L so far). A ratio with nothing to measure (no trade,
no variation) is 0; one that is unbounded (no losing trade for the profit factor, no losing day for the
Sortino ratio) is None.
"""

from __future__ import annotations

import bisect
import functools
import math
from collections import deque
from dataclasses import asdict, dataclass
from datetime import date as Date, time as Time
from typing import TYPE_CHECKING, Any, Deque, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple

from .data.clock import parse_day, wall_clock, wall_clock_text, wall_ns

if TYPE_CHECKING:  # pragma: no cover
    from .driver import BacktestResult

DEFAULT_CAPITAL = 2_000_000.0  # TWD: a board lot of a large-cap stock plus a few futures margins
# Used when the exchange calendar does not cover the year (about what the exchange trades in a year).
FALLBACK_TRADING_DAYS = 245
EXCHANGE_CALENDAR = "XTAI"
STOCK_SESSION = (Time(9, 0), Time(13, 30))
FUTURE_SESSION = (Time(8, 45), Time(13, 45))  # the day session; stocks trade inside it


@dataclass(frozen=True)
class RoundTrip:
    """A position opened and closed (in part or whole): one slice of quantity, paired FIFO."""

    instrument: str
    market: str
    side: str  # "Long" or "Short"
    entry_ts: float
    entry_price: float
    exit_ts: float
    exit_price: float
    quantity: int  # shares for stocks, contracts for futures
    gross_pnl: float  # before costs
    costs: float  # commission and tax of the entry and exit fills, per unit of this slice
    net_pnl: float

    @property
    def holding_seconds(self) -> float:
        return self.exit_ts - self.entry_ts

    def as_row(self) -> Dict[str, Any]:
        return {
            "instrument": self.instrument, "market": self.market, "side": self.side,
            "entry_time": wall_clock_text(self.entry_ts), "entry_price": self.entry_price,
            "exit_time": wall_clock_text(self.exit_ts), "exit_price": self.exit_price, "quantity": self.quantity,
            "gross_pnl": round(self.gross_pnl, 4), "costs": round(self.costs, 4), "net_pnl": round(self.net_pnl, 4),
            "holding_seconds": round(self.holding_seconds, 3),
        }


ROUND_TRIP_COLUMNS = [
    "instrument", "market", "side", "entry_time", "entry_price", "exit_time", "exit_price", "quantity",
    "gross_pnl", "costs", "net_pnl", "holding_seconds",
]


@dataclass
class Statistics:
    net_pnl: float
    gross_pnl: float
    total_costs: float
    capital: float
    return_pct: float  # net P&L in % of the capital
    max_drawdown: float  # TWD, positive
    max_drawdown_pct: float  # % of the peak equity, positive
    max_drawdown_start: Optional[str]  # time of the peak
    max_drawdown_end: Optional[str]  # time of the trough
    sharpe: float
    sortino: Optional[float]
    trading_days: int
    trading_days_per_year: int
    round_trips: int
    win_rate: float  # 0..1
    avg_win: float
    avg_loss: float  # negative or 0
    profit_factor: Optional[float]
    largest_win: float
    largest_loss: float
    avg_holding_seconds: float
    exposure: float  # 0..1
    traded_value: float  # TWD
    turnover: float  # traded value / capital

    def as_dict(self) -> Dict[str, Any]:
        return asdict(self)

    def rows(self) -> List[Tuple[str, str]]:
        """(label, text) pairs for tables: the summary printed by the command and the HTML report."""
        def money(v: float) -> str:
            text = f"{v:,.0f}"
            return "0" if text == "-0" else text  # a loss under half a dollar is no loss to show

        def ratio(v: Optional[float]) -> str:
            return "unbounded" if v is None else f"{v:.2f}"

        drawdown = money(self.max_drawdown) + f" ({self.max_drawdown_pct:.2f}%)"
        if self.max_drawdown_start:
            drawdown += f" {self.max_drawdown_start[:16]} to {self.max_drawdown_end[:16]}"
        return [
            ("Gross P&L (before costs)", money(self.gross_pnl)),
            ("Total costs", money(self.total_costs)),
            ("Net P&L (after costs)", money(self.net_pnl)),
            ("Return on capital", f"{self.return_pct:.2f}% of {money(self.capital)}"),
            ("Max drawdown", drawdown),
            ("Sharpe (daily, annualised)", f"{self.sharpe:.2f}"),
            ("Sortino (daily, annualised)", ratio(self.sortino)),
            ("Trading days", f"{self.trading_days} ({self.trading_days_per_year} a year)"),
            ("Round trips", f"{self.round_trips:,}"),
            ("Win rate", f"{self.win_rate:.1%}"),
            ("Average win / loss", f"{money(self.avg_win)} / {money(self.avg_loss)}"),
            ("Profit factor", ratio(self.profit_factor)),
            ("Largest win / loss", f"{money(self.largest_win)} / {money(self.largest_loss)}"),
            ("Average holding time", _duration(self.avg_holding_seconds)),
            ("Exposure", f"{self.exposure:.1%}"),
            ("Turnover", f"{self.turnover:.2f}x capital ({money(self.traded_value)})"),
        ]


def _duration(seconds: float) -> str:
    seconds = int(round(seconds))
    hours, rest = divmod(seconds, 3600)
    minutes, secs = divmod(rest, 60)
    return f"{hours}h {minutes:02d}m {secs:02d}s" if hours else f"{minutes}m {secs:02d}s"


# --- round trips ----------------------------------------------------------------------------------


def round_trips(fills: Iterable[Mapping[str, Any]], point_values: Mapping[str, float]) -> List[RoundTrip]:
    """Pairs fills FIFO per instrument. A fill that closes more than is open closes every open slice
    and opens the rest on the other side (a reversal); open slices at the end make no round trip."""
    open_slices: Dict[str, Deque[List[Any]]] = {}
    trips: List[RoundTrip] = []
    for fill in fills:
        units = int(fill["units"])
        if not units:
            continue
        code, price, ts = fill["code"], float(fill["price"]), float(fill["timestamp"])
        sign = 1 if fill["action"] == "Buy" else -1
        cost_per_unit = (fill["commission"] + fill["tax"]) / units
        point_value = point_values.get(code, 1.0)
        book = open_slices.setdefault(code, deque())
        left = units
        # Each open slice: [signed side, units left, price, ts, cost per unit].
        while left and book and book[0][0] != sign:
            side, held, entry_price, entry_ts, entry_cost = book[0]
            qty = min(left, held)
            gross = (price - entry_price) * qty * side * point_value
            costs = (entry_cost + cost_per_unit) * qty
            trips.append(RoundTrip(
                code, fill.get("product_type", ""), "Long" if side > 0 else "Short", entry_ts, entry_price,
                ts, price, qty, gross, costs, gross - costs,
            ))
            left -= qty
            if qty == held:
                book.popleft()
            else:
                book[0][1] = held - qty
        if left:
            book.append([sign, left, price, ts, cost_per_unit])
    return trips


# --- equity and drawdown --------------------------------------------------------------------------


def equity_curve(samples: Sequence[Tuple[float, float]], capital: float):
    """A polars DataFrame: ts, equity (capital + net P&L), peak, drawdown (TWD) and drawdown_pct."""
    import polars as pl

    frame = pl.DataFrame(
        {"ts": [float(ts) for ts, _ in samples], "equity": [capital + float(pnl) for _, pnl in samples]},
        schema={"ts": pl.Float64, "equity": pl.Float64},
    )
    peak = pl.max_horizontal(pl.col("equity").cum_max(), pl.lit(capital))
    return frame.with_columns(peak=peak).with_columns(
        drawdown=pl.col("peak") - pl.col("equity"),
        drawdown_pct=(pl.col("peak") - pl.col("equity")) / pl.col("peak") * 100.0,
    )


def max_drawdown(curve) -> Tuple[float, float, Optional[float], Optional[float]]:
    """Largest drawdown in TWD and in % of the peak, with the times of its peak and of its trough."""
    if curve.height == 0:
        return 0.0, 0.0, None, None
    drawdown = curve["drawdown"]
    worst = float(drawdown.max())
    worst_pct = float(curve["drawdown_pct"].max())
    if worst <= 0:
        return 0.0, 0.0, None, None
    trough = int(drawdown.arg_max())
    peak_value = curve["peak"][trough]
    equity, ts = curve["equity"].to_list(), curve["ts"].to_list()
    start = next((ts[i] for i in range(trough, -1, -1) if equity[i] >= peak_value), ts[0])
    return worst, worst_pct, start, ts[trough]


# --- days -----------------------------------------------------------------------------------------


@functools.lru_cache(maxsize=16)
def _exchange_years(first_year: int, last_year: int) -> Dict[int, Tuple[Date, ...]]:
    """The exchange's sessions of each year; None for a year the calendar cannot tell."""
    try:
        import exchange_calendars

        calendar = exchange_calendars.get_calendar(
            EXCHANGE_CALENDAR, start=f"{first_year}-01-01", end=f"{last_year}-12-31")
    except Exception:  # years outside the calendar's bounds
        return {}
    years: Dict[int, List[Date]] = {}
    for session in calendar.sessions:
        day = session.date()
        years.setdefault(day.year, []).append(day)
    return {year: tuple(days) for year, days in years.items()}


def trading_days(first: Date, last: Date, seen: Iterable[Date] = ()) -> Tuple[List[Date], int]:
    """Exchange sessions from ``first`` to ``last`` plus the days that had ticks, and the number of
    trading days per year to annualise with (the average over the years covered). Without the
    calendar: the weekdays, and a typical count."""
    days = set(d for d in seen if first <= d <= last)
    known = _exchange_years(first.year, last.year)
    if all(year in known for year in range(first.year, last.year + 1)):
        counts = [len(known[year]) for year in range(first.year, last.year + 1)]
        days.update(d for year in range(first.year, last.year + 1) for d in known[year] if first <= d <= last)
        return sorted(days), round(sum(counts) / len(counts))
    span = (last - first).days + 1
    days.update(d for d in (Date.fromordinal(first.toordinal() + i) for i in range(span)) if d.weekday() < 5)
    return sorted(days), FALLBACK_TRADING_DAYS


def daily_returns(samples: Sequence[Tuple[float, float]], capital: float, days: Sequence[Date]) -> List[float]:
    """One return per day: the day's P&L over the equity at the previous day's end. A day without
    samples keeps the previous day's P&L (a return of 0)."""
    day_end: Dict[Date, float] = {}
    for ts, pnl in samples:  # in time order: the last sample of a day wins
        day_end[wall_clock(ts).date()] = float(pnl)
    returns, before = [], 0.0
    for day in days:
        now = day_end.get(day, before)
        returns.append((now - before) / (capital + before) if capital + before > 0 else 0.0)
        before = now
    return returns


def _ratio(value: Any) -> Optional[float]:
    """0 when there was nothing to measure (NaN), None when unbounded."""
    value = float(value)
    if math.isnan(value):
        return 0.0
    return value if math.isfinite(value) else None


def sharpe_sortino(returns: Sequence[float], days_per_year: int) -> Tuple[float, Optional[float]]:
    if len(returns) < 2 or not any(returns):
        return 0.0, 0.0
    import empyrical
    import numpy as np

    values = np.asarray(returns, dtype=float)
    sharpe = _ratio(empyrical.sharpe_ratio(values, risk_free=0.0, annualization=days_per_year))
    sortino = _ratio(empyrical.sortino_ratio(values, required_return=0.0, annualization=days_per_year))
    return sharpe if sharpe is not None else 0.0, sortino


# --- exposure -------------------------------------------------------------------------------------


def session_windows(days: Sequence[Date], futures: bool) -> List[Tuple[float, float]]:
    opens, closes = FUTURE_SESSION if futures else STOCK_SESSION
    return [(wall_ns(d, opens) / 1e9, wall_ns(d, closes) / 1e9) for d in days]


def exposure(fills: Iterable[Mapping[str, Any]], windows: Sequence[Tuple[float, float]]) -> float:
    """Share of the session time (``windows``: sorted, not overlapping) with a non-zero position in any
    instrument. A position still open at the end counts to the end of the last window."""
    total = sum(end - start for start, end in windows)
    if total <= 0:
        return 0.0
    held: Dict[str, int] = {}
    intervals: List[Tuple[float, float]] = []
    opened: Optional[float] = None
    for fill in fills:
        held[fill["code"]] = int(fill["position"])
        busy = any(held.values())
        if busy and opened is None:
            opened = float(fill["timestamp"])
        elif not busy and opened is not None:
            intervals.append((opened, float(fill["timestamp"])))
            opened = None
    if opened is not None:
        intervals.append((opened, max(opened, windows[-1][1])))
    starts = [start for start, _ in windows]
    covered = 0.0
    for begin, end in intervals:
        i = max(0, bisect.bisect_right(starts, begin) - 1)
        while i < len(windows) and windows[i][0] < end:
            covered += max(0.0, min(end, windows[i][1]) - max(begin, windows[i][0]))
            i += 1
    return min(1.0, covered / total)


# --- all of it ------------------------------------------------------------------------------------


def point_values(result: "BacktestResult") -> Dict[str, float]:
    return {code: entry.point_value for code, entry in result.positions.book.items()}


def compute(result: "BacktestResult", capital: Optional[float] = None) -> Statistics:
    capital = float(result.capital if capital is None else capital)
    positions, fills = result.positions, result.fills
    net = positions.equity()
    costs = positions.commission + positions.tax
    curve = equity_curve(result.equity, capital)
    worst, worst_pct, dd_start, dd_end = max_drawdown(curve)

    first, last = parse_day(result.start, "start date"), parse_day(result.end, "end date")
    seen = {wall_clock(ts).date() for ts, _ in result.equity}
    days, per_year = trading_days(first, last, seen)
    sharpe, sortino = sharpe_sortino(daily_returns(result.equity, capital, days), per_year)

    values = point_values(result)
    trips = round_trips(fills, values)
    pnl = [t.net_pnl for t in trips]
    wins = [p for p in pnl if p > 0]
    losses = [p for p in pnl if p <= 0]
    lost = -sum(losses)
    if lost > 0:
        profit_factor: Optional[float] = sum(wins) / lost
    else:
        profit_factor = None if wins else 0.0
    futures = any(i.market == "Future" for i in result.instruments)
    traded = sum(float(f["price"]) * int(f["units"]) * values.get(f["code"], 1.0) for f in fills)

    return Statistics(
        net_pnl=net,
        gross_pnl=positions.realized_pnl + positions.unrealized_pnl,
        total_costs=costs,
        capital=capital,
        return_pct=net / capital * 100.0,
        max_drawdown=worst,
        max_drawdown_pct=worst_pct,
        max_drawdown_start=wall_clock_text(dd_start) if dd_start is not None else None,
        max_drawdown_end=wall_clock_text(dd_end) if dd_end is not None else None,
        sharpe=sharpe,
        sortino=sortino,
        trading_days=len(days),
        trading_days_per_year=per_year,
        round_trips=len(trips),
        win_rate=len(wins) / len(trips) if trips else 0.0,
        avg_win=sum(wins) / len(wins) if wins else 0.0,
        avg_loss=sum(losses) / len(losses) if losses else 0.0,
        profit_factor=profit_factor,
        largest_win=max(wins) if wins else 0.0,
        largest_loss=min(losses) if losses else 0.0,
        avg_holding_seconds=sum(t.holding_seconds for t in trips) / len(trips) if trips else 0.0,
        exposure=exposure(fills, session_windows(days, futures)),
        traded_value=traded,
        turnover=traded / capital,
    )
