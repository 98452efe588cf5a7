"""Performance statistics of a backtest: drawdown, Sharpe and Sortino, round trips, exposure, turnover.

Which code computes what:
- Sharpe and Sortino ratios of the daily returns: empyrical's formulas (written out here, see
  ``sharpe_sortino``), annualised with the
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

from .data.clock import calendar_year, parse_day, wall_clock, wall_clock_text, wall_ns

if TYPE_CHECKING:  # pragma: no cover
    from .driver import BacktestResult

DEFAULT_CAPITAL = 2_000_000.0  # TWD: a board lot of a large-cap stock plus a few futures margins
# Used when the exchange calendar does not cover the year (about what the exchange trades in a year).
FALLBACK_TRADING_DAYS = 245
STOCK_SESSION = (Time(9, 0), Time(13, 30))
FUTURE_SESSION = (Time(8, 45), Time(13, 45))  # the day session; stocks trade inside it
# Annualised figures (Sharpe, Sortino, CAGR, volatility, Calmar) on fewer trading days than this are
# flagged as not meaningful: a few days' spread says little about a year's.
MIN_ANNUALISED_DAYS = 20
DRAWDOWN_PERIODS = 5  # the worst ones listed in the tear sheet


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
    # The tear sheet's figures (annualised ones are not meaningful when small_sample).
    cagr_pct: float = 0.0
    annual_volatility_pct: float = 0.0
    calmar: Optional[float] = 0.0
    max_drawdown_duration_seconds: float = 0.0  # wall clock from the peak to the recovery (or the end)
    max_drawdown_duration_days: int = 0  # trading days the longest drawdown touches
    buy_and_hold_pct: float = 0.0  # the instruments' price change over the range, equal weights
    exposure_adjusted_return_pct: float = 0.0  # return_pct / exposure
    expectancy: float = 0.0  # mean net P&L of a round trip
    sqn: float = 0.0
    kelly: Optional[float] = 0.0
    best_day_pct: float = 0.0
    worst_day_pct: float = 0.0
    avg_trades_per_day: float = 0.0  # round trips per trading day
    # The tables behind the charts (a TearSheet, set by compute): no field, as they are no flat figure
    # for as_dict (a sweep's row); summary.json has them under "tear_sheet".
    tear_sheet = None

    @property
    def small_sample(self) -> bool:
        """Too few trading days for an annualised figure to mean anything (no field: a sweep's columns
        are numbers)."""
        return self.trading_days < MIN_ANNUALISED_DAYS

    def as_dict(self) -> Dict[str, Any]:
        return asdict(self)

    def rows(self) -> List[Tuple[str, str]]:
        """(label, text) pairs for tables: the summary printed by the command and the HTML report."""
        money = money_text

        def ratio(v: Optional[float]) -> str:
            return "unbounded" if v is None else f"{v:.2f}"

        def annualised(text: str) -> str:
            if not self.small_sample:
                return text
            return f"{text} (not meaningful: {self.trading_days} days < {MIN_ANNUALISED_DAYS})"

        drawdown = money(self.max_drawdown) + f" ({self.max_drawdown_pct:.2f}%)"
        if self.max_drawdown_start:
            drawdown += f" {self.max_drawdown_start[:16]} to {self.max_drawdown_end[:16]}"
        return [
            ("Gross P&L (before costs)", money(self.gross_pnl)),
            ("Total costs", money(self.total_costs)),
            ("Net P&L (after costs)", money(self.net_pnl)),
            ("Return on capital", f"{self.return_pct:.2f}% of {money(self.capital)}"),
            ("Max drawdown", drawdown),
            ("Sharpe (daily, annualised)", annualised(f"{self.sharpe:.2f}")),
            ("Sortino (daily, annualised)", annualised(ratio(self.sortino))),
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


    def metric_rows(self) -> List[Tuple[str, List[Tuple[str, str]]]]:
        """The tear sheet's further figures in groups of (label, text) pairs."""
        def pct(v: float) -> str:
            return f"{v:.2f}%"

        def ratio(v: Optional[float]) -> str:
            return "unbounded" if v is None else f"{v:.2f}"

        def annualised(text: str) -> str:
            return f"{text} (not meaningful)" if self.small_sample else text

        days = self.max_drawdown_duration_days
        held = self.tear_sheet.buy_and_hold_pct if self.tear_sheet else {}
        return [
            ("Returns", [
                ("CAGR", annualised(pct(self.cagr_pct))),
                ("Annual volatility", annualised(pct(self.annual_volatility_pct))),
                ("Calmar", annualised(ratio(self.calmar))),
                ("Buy and hold (same range)", pct(self.buy_and_hold_pct)),
                *((f"Buy and hold {code}", pct(v)) for code, v in held.items() if len(held) > 1),
                ("Return / exposure", pct(self.exposure_adjusted_return_pct)),
                ("Best day / worst day", f"{pct(self.best_day_pct)} / {pct(self.worst_day_pct)}"),
            ]),
            ("Risk", [
                ("Max drawdown duration",
                 f"{hms(self.max_drawdown_duration_seconds)} ({days} trading day{'s' if days != 1 else ''})"),
            ]),
            ("Trades", [
                ("Expectancy (per round trip)", f"{self.expectancy:,.0f}"),
                ("SQN", f"{self.sqn:.2f}"),
                ("Kelly fraction", ratio(self.kelly)),
                ("Round trips per day", f"{self.avg_trades_per_day:.2f}"),
            ]),
        ]


def money_text(value: float) -> str:
    """TWD rounded to the dollar, with thousands separators; never "-0" (a loss under half a dollar, or
    a short's zero, is no loss to show)."""
    text = f"{value:,.0f}"
    return "0" if text == "-0" else text


def hms(seconds: float) -> str:
    """h:mm:ss, with the days in front beyond 24 hours ("2d 3:04:05")."""
    seconds = int(round(seconds))
    days, rest = divmod(seconds, 86400)
    hours, rest = divmod(rest, 3600)
    minutes, secs = divmod(rest, 60)
    text = f"{hours}:{minutes:02d}:{secs:02d}"
    return f"{days}d {text}" if days else text


def _duration(seconds: float) -> str:
    seconds = int(round(seconds))
    hours, rest = divmod(seconds, 3600)
    minutes, secs = divmod(rest, 60)
    return f"{hours}h {minutes:02d}m {secs:02d}s" if hours else f"{minutes}m {secs:02d}s"


@dataclass(frozen=True)
class DrawdownPeriod:
    """From a peak of the equity to its recovery to that peak (None: not recovered by the end)."""

    peak_ts: float
    trough_ts: float
    recovery_ts: Optional[float]
    depth: float  # TWD below the peak at the trough
    depth_pct: float  # % of the peak
    duration_seconds: float  # wall clock from the peak to the recovery or the end
    trading_days: int  # trading days from the peak's to the recovery's (or the end's), both counted

    def as_dict(self) -> Dict[str, Any]:
        return {
            "peak": wall_clock_text(self.peak_ts), "trough": wall_clock_text(self.trough_ts),
            "recovery": wall_clock_text(self.recovery_ts) if self.recovery_ts is not None else None,
            "depth": round(self.depth, 4), "depth_pct": round(self.depth_pct, 6),
            "duration_seconds": round(self.duration_seconds, 3), "trading_days": self.trading_days,
        }


@dataclass
class TearSheet:
    """The series and tables behind the report's charts."""

    daily_returns: List[Tuple[Date, float]]  # fractions
    monthly_returns_pct: Dict[str, float]  # "YYYY-MM" -> compounded return of the month's days
    yearly_returns_pct: Dict[str, float]  # "YYYY" -> compounded return
    rolling_window: int  # trading days
    rolling_sharpe: List[Tuple[Date, float]]  # annualised, over the window ending that day
    drawdown_periods: List[DrawdownPeriod]  # the deepest first
    buy_and_hold_pct: Dict[str, float]  # instrument -> price change from the first to the last price
    small_sample: bool = False  # fewer than MIN_ANNUALISED_DAYS trading days

    def as_dict(self) -> Dict[str, Any]:
        return {
            "small_sample": self.small_sample, "min_annualised_days": MIN_ANNUALISED_DAYS,
            "daily_returns_pct": {d.isoformat(): round(r * 100, 6) for d, r in self.daily_returns},
            "monthly_returns_pct": {k: round(v, 6) for k, v in self.monthly_returns_pct.items()},
            "yearly_returns_pct": {k: round(v, 6) for k, v in self.yearly_returns_pct.items()},
            "rolling_sharpe_window": self.rolling_window,
            "rolling_sharpe": {d.isoformat(): round(v, 6) for d, v in self.rolling_sharpe},
            "drawdown_periods": [p.as_dict() for p in self.drawdown_periods],
            "buy_and_hold_pct": {k: round(v, 6) for k, v in self.buy_and_hold_pct.items()},
        }


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


def drawdown_periods(curve, days: Sequence[Date] = ()) -> List[DrawdownPeriod]:
    """Every stretch under the running peak, in time order. ``days``: the run's trading days, sorted."""
    import polars as pl

    if curve.height == 0:
        return []
    under = pl.col("drawdown") > 1e-6
    # Each group: the row that set the peak (absent before the first one) and the rows under it.
    frame = curve.with_columns(group=(~under).cast(pl.Int64).cum_sum(), under=under)
    groups = frame.group_by("group", maintain_order=True).agg(
        start=pl.col("ts").first(), any_under=pl.col("under").any(),
        trough=pl.col("ts").sort_by("drawdown").last(), depth=pl.col("drawdown").max(),
        depth_pct=pl.col("drawdown_pct").max(),
    )
    rows = groups.rows(named=True)
    last_ts = float(curve["ts"][-1])
    periods = []
    for i, row in enumerate(rows):
        if not row["any_under"]:
            continue
        recovery = rows[i + 1]["start"] if i + 1 < len(rows) else None
        until = recovery if recovery is not None else last_ts
        first, end = wall_clock(row["start"]).date(), wall_clock(until).date()
        touched = bisect.bisect_right(days, end) - bisect.bisect_left(days, first) if days else 0
        periods.append(DrawdownPeriod(row["start"], row["trough"], recovery, row["depth"], row["depth_pct"],
                                      until - row["start"], max(1, touched)))
    return periods


# --- days -----------------------------------------------------------------------------------------


@functools.lru_cache(maxsize=16)
def _exchange_years(first_year: int, last_year: int) -> Dict[int, Tuple[Date, ...]]:
    """The exchange's sessions of each year the calendar covers whole."""
    years = {}
    for year in range(first_year, last_year + 1):
        days = calendar_year(year)
        if days is not None:
            years[year] = tuple(days)
    return years


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


# The ratios below are empyrical's formulas (empyrical-reloaded 0.7: sharpe_ratio, sortino_ratio,
# annual_return, annual_volatility, aggregate_returns, roll_sharpe_ratio) written out over plain floats,
# in the order of operations of its bottleneck-backed means and deviations (sums taken one value after
# the other), so each figure is the same float. Importing it costs a process about a second (pandas,
# scipy): every sweep worker and command paid that for a handful of sums.


def _mean(values: Sequence[float]) -> float:
    total = 0.0
    for v in values:  # one after the other, never a compensated or pairwise sum
        total += v
    return total / len(values)


def _std(values: Sequence[float]) -> float:
    """Sample standard deviation (n - 1), two passes."""
    mean, total = _mean(values), 0.0
    for v in values:
        d = v - mean
        total += d * d
    return math.sqrt(total / (len(values) - 1))


def _divide(a: float, b: float) -> float:
    """a / b as a float array divides: a zero divisor gives an infinity of a's sign, or NaN."""
    if b == 0.0:
        return math.nan if a == 0.0 or math.isnan(a) else math.copysign(math.inf, a) * math.copysign(1.0, b)
    return a / b


def _power(base: float, exponent: float) -> float:
    try:
        return math.nan if base < 0 else base ** exponent
    except OverflowError:
        return math.inf


def _sharpe(values: Sequence[float], days_per_year: int) -> float:
    # Equal values deviate by exactly 0: their mean can be off by the last bit, and a ratio over that
    # residue would read about 1e15 instead of unbounded.
    std = 0.0 if max(values) == min(values) else _std(values)
    return _divide(_mean(values), std) * math.sqrt(days_per_year)


def sharpe_sortino(returns: Sequence[float], days_per_year: int) -> Tuple[float, Optional[float]]:
    if len(returns) < 2 or not any(returns):
        return 0.0, 0.0
    values = [float(r) for r in returns]
    sharpe = _ratio(_sharpe(values, days_per_year))
    below = [min(v, 0.0) for v in values]
    downside = math.sqrt(_mean([v * v for v in below])) * math.sqrt(days_per_year)
    sortino = _ratio(_divide(_mean(values) * days_per_year, downside))
    return sharpe if sharpe is not None else 0.0, sortino


def _finite(value: Any) -> Optional[float]:
    value = float(value)
    return value if math.isfinite(value) else None


def _growth(values: Iterable[float]) -> float:
    """The product of (1 + r)."""
    product = 1.0
    for v in values:
        product *= v + 1.0
    return product


def _compounded(values: Iterable[float]) -> float:
    return _growth(values) - 1.0


def return_figures(returns: Sequence[float], days: Sequence[Date], days_per_year: int) -> Dict[str, Any]:
    """CAGR, annual volatility, best and worst day, monthly and yearly returns and the rolling Sharpe
    ratio of the daily returns."""
    out: Dict[str, Any] = {"cagr_pct": 0.0, "annual_volatility_pct": 0.0, "best_day_pct": 0.0,
                           "worst_day_pct": 0.0, "monthly": {}, "yearly": {}, "rolling": [],
                           "window": MIN_ANNUALISED_DAYS if len(days) < 126 else 63}
    if not returns:
        return out
    values = [float(r) for r in returns]
    years = len(values) / days_per_year
    out["cagr_pct"] = (_finite(_power(_growth(values), 1 / years) - 1) or 0.0) * 100
    if len(values) >= 2:
        out["annual_volatility_pct"] = (_finite(_std(values) * days_per_year ** (1.0 / 2.0)) or 0.0) * 100
    out["best_day_pct"], out["worst_day_pct"] = max(returns) * 100, min(returns) * 100
    months: Dict[Tuple[int, int], List[float]] = {}
    for day, v in zip(days, values):
        months.setdefault((day.year, day.month), []).append(v)
    out["monthly"] = {f"{y:04d}-{m:02d}": _compounded(month) * 100 for (y, m), month in sorted(months.items())}
    yearly: Dict[int, List[float]] = {}
    for day, v in zip(days, values):
        yearly.setdefault(day.year, []).append(v)
    out["yearly"] = {f"{y:04d}": _compounded(year) * 100 for y, year in sorted(yearly.items())}
    window = out["window"]
    if len(values) >= window:
        rolling = ((days[i], _sharpe(values[i - window + 1:i + 1], days_per_year))
                   for i in range(window - 1, len(values)))
        out["rolling"] = [(day, v) for day, v in rolling if math.isfinite(v)]
    return out


def trade_figures(pnl: Sequence[float]) -> Tuple[float, float, Optional[float]]:
    """Expectancy (mean net P&L), SQN (sqrt(n) x mean / standard deviation) and the Kelly fraction
    (win rate - loss rate / (average win / average loss)) of the round trips' net P&L."""
    if not pnl:
        return 0.0, 0.0, 0.0
    n = len(pnl)
    mean = math.fsum(pnl) / n
    sqn = 0.0
    if n >= 2:
        sd = math.sqrt(math.fsum((p - mean) ** 2 for p in pnl) / (n - 1))
        sqn = math.sqrt(n) * mean / sd if sd > 0 else 0.0
    wins = [p for p in pnl if p > 0]
    losses = [p for p in pnl if p <= 0]
    if not losses:
        return mean, sqn, None
    if not wins:
        return mean, sqn, -1.0  # nothing to win: never bet on it
    win_rate = len(wins) / n
    avg_win, avg_loss = math.fsum(wins) / len(wins), -math.fsum(losses) / len(losses)
    kelly = win_rate - (1 - win_rate) / (avg_win / avg_loss) if avg_loss > 0 else None
    return mean, sqn, kelly


def buy_and_hold(prices: Mapping[str, Sequence[Tuple[float, float]]]) -> Dict[str, float]:
    """Each instrument's price change in % from its first to its last price of the run."""
    return {code: (series[-1][1] / series[0][1] - 1.0) * 100.0
            for code, series in prices.items() if series and series[0][1] > 0}


# --- exposure -------------------------------------------------------------------------------------


def session_windows(days: Sequence[Date], futures: bool) -> List[Tuple[float, float]]:
    opens, closes = FUTURE_SESSION if futures else STOCK_SESSION
    return [(wall_ns(d, opens) / 1e9, wall_ns(d, closes) / 1e9) for d in days]


def exposure(fills: Iterable[Mapping[str, Any]], windows: Sequence[Tuple[float, float]]) -> float:
    """Share of the session time (``windows``: sorted, not overlapping) with a non-zero position in any
    instrument. A position still open at the end counts to the end of the last window."""
    total = math.fsum(end - start for start, end in windows)
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
    returns = daily_returns(result.equity, capital, days)
    sharpe, sortino = sharpe_sortino(returns, per_year)
    figures = return_figures(returns, days, per_year)
    periods = drawdown_periods(curve, days)
    longest = max(periods, key=lambda p: p.duration_seconds, default=None)
    held = buy_and_hold(result.prices)

    values = point_values(result)
    trips = round_trips(fills, values)
    pnl = [t.net_pnl for t in trips]
    wins = [p for p in pnl if p > 0]
    losses = [p for p in pnl if p <= 0]
    lost = -math.fsum(losses)
    if lost > 0:
        profit_factor: Optional[float] = math.fsum(wins) / lost
    else:
        profit_factor = None if wins else 0.0
    futures = any(i.market == "Future" for i in result.instruments)
    traded = math.fsum(float(f["price"]) * int(f["units"]) * values.get(f["code"], 1.0) for f in fills)
    expectancy, sqn, kelly = trade_figures(pnl)
    in_market = exposure(fills, session_windows(days, futures))
    cagr = figures["cagr_pct"]
    if worst_pct > 0:
        calmar: Optional[float] = cagr / worst_pct
    else:
        calmar = None if cagr > 0 else 0.0
    return_pct = net / capital * 100.0
    sheet = TearSheet(
        daily_returns=list(zip(days, returns)), monthly_returns_pct=figures["monthly"],
        yearly_returns_pct=figures["yearly"], rolling_window=figures["window"], rolling_sharpe=figures["rolling"],
        drawdown_periods=sorted(periods, key=lambda p: -p.depth)[:DRAWDOWN_PERIODS], buy_and_hold_pct=held,
        small_sample=len(days) < MIN_ANNUALISED_DAYS,
    )

    figures_of_run = Statistics(
        net_pnl=net,
        gross_pnl=positions.realized_pnl + positions.unrealized_pnl,
        total_costs=costs,
        capital=capital,
        return_pct=return_pct,
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
        avg_win=math.fsum(wins) / len(wins) if wins else 0.0,
        avg_loss=math.fsum(losses) / len(losses) if losses else 0.0,
        profit_factor=profit_factor,
        largest_win=max(wins) if wins else 0.0,
        largest_loss=min(losses) if losses else 0.0,
        avg_holding_seconds=math.fsum(t.holding_seconds for t in trips) / len(trips) if trips else 0.0,
        exposure=in_market,
        traded_value=traded,
        turnover=traded / capital,
        cagr_pct=cagr,
        annual_volatility_pct=figures["annual_volatility_pct"],
        calmar=calmar,
        max_drawdown_duration_seconds=longest.duration_seconds if longest else 0.0,
        max_drawdown_duration_days=longest.trading_days if longest else 0,
        buy_and_hold_pct=math.fsum(held.values()) / len(held) if held else 0.0,
        exposure_adjusted_return_pct=return_pct / in_market if in_market > 0 else 0.0,
        expectancy=expectancy,
        sqn=sqn,
        kelly=kelly,
        best_day_pct=figures["best_day_pct"],
        worst_day_pct=figures["worst_day_pct"],
        avg_trades_per_day=len(trips) / len(days) if days else 0.0,
    )
    figures_of_run.tear_sheet = sheet
    return figures_of_run
