"""The report's intraday time axis: which stretches of wall-clock time the charts leave out (the hours
the markets are closed), and prices written at their instrument's tick precision."""

from __future__ import annotations

import bisect
from datetime import date as Date, time as Time, timedelta
from typing import Dict, Iterable, List, Sequence, Tuple

from .costs import TickLadder
from .data.clock import wall_clock, wall_clock_text, wall_ns

STOCK_HOURS = (Time(9, 0), Time(13, 30))
FUTURE_HOURS = (Time(8, 45), Time(13, 45))
AFTER_HOURS = (Time(15, 0), Time(5, 0))  # futures: from 15:00 to 05:00 of the next calendar day
# Around a point that falls in closed hours (a stock's fixed-price trade at 14:10, say) this much time
# stays on the axis; a closed stretch shorter than MIN_BREAK is left on it too.
MARGIN_SECONDS = 60.0
MIN_BREAK_SECONDS = 600.0
EDGE_SECONDS = 1.0


def _at(day: Date, moment: Time) -> float:
    return wall_ns(day, moment) / 1e9


_NIGHT_OPEN = AFTER_HOURS[0].hour * 3600 + AFTER_HOURS[0].minute * 60
_NIGHT_CLOSE = AFTER_HOURS[1].hour * 3600 + AFTER_HOURS[1].minute * 60


def _in_after_hours(ts: float) -> bool:
    into_day = ts % 86400.0  # timestamps are wall clock written as UTC (data.clock)
    return into_day >= _NIGHT_OPEN or into_day < _NIGHT_CLOSE


def open_windows(days: Sequence[Date], futures: bool, after_hours: bool) -> List[Tuple[float, float]]:
    """The sessions of ``days`` as sorted, merged (start, end) timestamps: the day session (the
    futures' one when any future trades) and, with ``after_hours``, the futures' night session
    opening on each of these days and on the trading day before the first."""
    opens, closes = FUTURE_HOURS if futures else STOCK_HOURS
    windows = [(_at(d, opens), _at(d, closes)) for d in days]
    if after_hours and days:
        nights = [days[0] - timedelta(days=1 if days[0].weekday() else 3), *days]
        windows += [(_at(d, AFTER_HOURS[0]), _at(d + timedelta(days=1), AFTER_HOURS[1])) for d in nights]
    merged: List[Tuple[float, float]] = []
    for start, end in sorted(windows):
        if merged and start <= merged[-1][1]:
            merged[-1] = (merged[-1][0], max(merged[-1][1], end))
        else:
            merged.append((start, end))
    return merged


def closed_stretches(timestamps: Iterable[float], days: Sequence[Date], futures: bool) -> List[Tuple[float, float]]:
    """The (start, end) stretches between the first and last of ``timestamps`` that the axis leaves out:
    the time between sessions, minus the room around any point that lies there anyway. The night session
    counts as open when any point lies in it."""
    stamps = sorted(timestamps)
    if not stamps:
        return []
    windows = open_windows(days, futures, any(_in_after_hours(ts) for ts in stamps))
    # A second of room at each side, so a tick at the very close or open is not on a break's edge.
    gaps = [(a[1] + EDGE_SECONDS, b[0] - EDGE_SECONDS) for a, b in zip(windows, windows[1:])]
    if windows:
        gaps = ([(stamps[0], windows[0][0] - EDGE_SECONDS)] + gaps
                + [(windows[-1][1] + EDGE_SECONDS, stamps[-1])])
    out: List[Tuple[float, float]] = []
    for start, end in gaps:
        start, end = max(start, stamps[0]), min(end, stamps[-1])
        inside = stamps[bisect.bisect_right(stamps, start):bisect.bisect_left(stamps, end)]
        edges = [start] + [t for ts in inside for t in (ts - MARGIN_SECONDS, ts + MARGIN_SECONDS)] + [end]
        out += [(a, b) for a, b in zip(edges[::2], edges[1::2]) if b - a >= MIN_BREAK_SECONDS]
    return out


def rangebreaks(stretches: Sequence[Tuple[float, float]]) -> List[Dict[str, object]]:
    """plotly ``rangebreaks`` for the stretches: one entry per length (most nights are alike)."""
    by_length: Dict[int, List[str]] = {}
    for start, end in stretches:
        by_length.setdefault(int(round((end - start) * 1000)), []).append(wall_clock_text(start))
    return [{"values": values, "dvalue": length} for length, values in sorted(by_length.items())]


def tick_decimals(market: str, code: str, price: float) -> int:
    """Decimal places of the instrument's tick size at ``price``."""
    size = TickLadder(market, code).size_above(price)
    text = f"{size:.6f}".rstrip("0").rstrip(".")
    return len(text.split(".")[1]) if "." in text else 0


def price_text(market: str, code: str, price: float) -> str:
    return f"{price:,.{tick_decimals(market, code, price)}f}"


def thinned(points: Sequence[Tuple[float, float]], limit: int) -> List[Tuple[float, float]]:
    """At most about ``limit`` points: beyond it, the first, lowest, highest and last point of each
    stretch of equal count, so the line keeps its extremes."""
    if len(points) <= limit:
        return list(points)
    size = max(1, -(-len(points) * 4 // limit))
    out: List[Tuple[float, float]] = []
    for i in range(0, len(points), size):
        chunk = points[i:i + size]
        keep = {0, len(chunk) - 1, min(range(len(chunk)), key=lambda k: chunk[k][1]),
                max(range(len(chunk)), key=lambda k: chunk[k][1])}
        out += [chunk[k] for k in sorted(keep)]
    return out


def time_texts(stamps: Sequence[float]) -> List[str]:
    """wall_clock_text of many timestamps at once."""
    import polars as pl

    # As wall_clock_text: to the microsecond, then cut to the millisecond.
    millis = pl.Series([round(ts * 1_000_000) // 1000 for ts in stamps], dtype=pl.Int64)
    return pl.from_epoch(millis, time_unit="ms").dt.strftime("%Y-%m-%d %H:%M:%S%.3f").to_list()


def day_of(ts: float) -> Date:
    return wall_clock(ts).date()

