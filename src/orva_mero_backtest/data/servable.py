"""What the tick feed may serve: a row with a time, a price that is finite and above 0, finite quotes
from 0 and no negative quantity. The same rule, written once per shape: for one parsed value (a cache
file's field, a refused row's reason) and as a polars expression over a whole frame.

Rows the broker sends that break it are dropped before the feed stores or streams them
(``ServableTicks``); a cache file that holds one is damaged, and a run reading it is refused."""

from __future__ import annotations

import math
import threading
from typing import Any, Callable, Dict, List, Optional, Tuple

import polars as pl

TICK_COLUMNS = ("ts", "close", "volume", "bid_price", "bid_volume", "ask_price", "ask_volume", "tick_type")
PRICES = ("close",)  # finite and above 0
QUOTES = ("bid_price", "ask_price")  # finite, 0 or more (0: no quote on that side)
QUANTITIES = ("volume", "bid_volume", "ask_volume")  # 0 or more
SHOWN = 3  # refused rows named in a warning line; every one goes to the error log


def value_problem(name: str, value: Any, shown: Optional[str] = None) -> str:
    """What is wrong with one value of column ``name`` ('' when it may be served); ``shown`` is how the
    value is quoted (its text in a file)."""
    shown = repr(value) if shown is None else shown
    if value is None:
        return f"{name} is empty"
    if name == "ts" and value <= 0:
        return f"ts {shown} is not a time"
    if name in PRICES or name in QUOTES:
        if not math.isfinite(value):
            return f"{name} {shown} is not finite"
        if name in PRICES and value <= 0:
            return f"{name} {shown} is not a price above 0"
        if value < 0:
            return f"{name} {shown} is not a price from 0"
    if name in QUANTITIES and value < 0:
        return f"{name} {shown} is negative"
    return ""


def unservable() -> pl.Expr:
    """True for each row of a tick frame the feed must not serve (a null anywhere counts)."""
    bad = pl.any_horizontal(*(pl.col(name).is_null() for name in TICK_COLUMNS))
    bad = bad | (pl.col("ts") <= 0)
    for name in PRICES:
        bad = bad | ~pl.col(name).cast(pl.Float64).is_finite() | (pl.col(name) <= 0)
    for name in QUOTES:
        bad = bad | ~pl.col(name).cast(pl.Float64).is_finite() | (pl.col(name) < 0)
    for name in QUANTITIES:
        bad = bad | (pl.col(name) < 0)
    return bad.fill_null(True)


def refused_rows(frame: pl.DataFrame, limit: Optional[int] = None) -> List[Tuple[int, str]]:
    """(row index, reason) of the rows of ``frame`` the feed must not serve, in frame order (the first
    ``limit`` of them); [] when every row may be served."""
    flagged = frame.select(unservable().alias("_bad"))["_bad"]
    if not flagged.any():
        return []
    bad = frame.with_row_index("_row").filter(flagged)
    if limit is not None:
        bad = bad.head(limit)
    found = []
    for row in bad.iter_rows(named=True):
        reason = next((p for p in (value_problem(n, row[n]) for n in TICK_COLUMNS) if p), "unreadable row")
        found.append((row["_row"], reason))
    return found


def servable_answer(answer: Any) -> Tuple[Any, List[Tuple[int, str]]]:
    """(the broker's answer for one day without the rows the feed must not serve, those rows' (index,
    reason)). An answer that is served whole, or that the feed would refuse anyway (None, no mapping,
    other columns), is handed back as it is, so the feed answers it as it always has."""
    try:
        data = dict(answer)
        if tuple(data) != TICK_COLUMNS:
            return answer, []
        columns = {name: pl.Series(name, data[name]) for name in TICK_COLUMNS}
        frame = pl.DataFrame(columns)
        bad = refused_rows(frame)
    except Exception:  # whatever the feed makes of it, as before
        return answer, []
    if not bad:
        return answer, []
    keep = frame.select(~unservable().alias("_keep"))["_keep"]
    return {name: series.filter(keep) for name, series in columns.items()}, bad


class ServableTicks:
    """The broker's API object as the tick feed meets it: each day's ``ticks`` answer comes without the
    rows the feed must not serve, so they are neither stored in the cache nor streamed. Each day that
    loses rows is reported to ``refused(code, day, rows)``; everything else is the broker's own."""

    def __init__(self, api: Any, refused: Callable[[str, str, List[Tuple[int, str]]], None]) -> None:
        self._api = api
        self._refused = refused

    def __getattr__(self, name: str) -> Any:
        return getattr(self._api, name)

    def ticks(self, *args: Any, **kwargs: Any) -> Any:
        answer, bad = servable_answer(self._api.ticks(*args, **kwargs))
        if bad:
            contract = kwargs.get("contract", args[0] if args else None)
            day = kwargs.get("date", args[1] if len(args) > 1 else "")
            self._refused(str(getattr(contract, "code", contract)), str(day), bad)
        return answer


class RefusedTicks:
    """Counts the broker's rows a run dropped and says so: one red line per day on the feed's console
    (naming the first few rows), every row in the error log. Days come from two threads (warm-up, main)."""

    def __init__(self, console_of: Callable[[], Any], logger: Any) -> None:
        self._console_of = console_of
        self._logger = logger
        self._lock = threading.Lock()
        self.count = 0
        self.days: Dict[Tuple[str, str], int] = {}

    def __call__(self, code: str, day: str, rows: List[Tuple[int, str]]) -> None:
        with self._lock:
            self.count += len(rows)
            self.days[(code, day)] = self.days.get((code, day), 0) + len(rows)
        first = "; ".join(f"row {index + 1}: {reason}" for index, reason in rows[:SHOWN])
        more = f"; {len(rows) - SHOWN} more in the error log" if len(rows) > SHOWN else ""
        self._console_of().print(
            f"[red]{code} {day}: the broker sent {len(rows)} tick(s) the feed cannot serve, dropped ({first}{more})[/red]")
        for index, reason in rows:
            self._logger.error(f"dropped tick of {code} on {day}, row {index + 1} of the broker's answer: {reason}")
