"""Trading sessions and time in force: the phases of the day per market, the orders each phase takes,
and the close of each session, when the exchange cancels what is still open.

``phase(product_type, code, ts, order_lot="Common")`` is the phase of the day at market time ``ts``
(Taipei wall-clock seconds written as epoch time) for an instrument: a ``Phase`` whose ``kind`` is
``OPENING_CALL``, ``CONTINUOUS``, ``CLOSING_CALL`` or ``CLOSED``, with the session it belongs to, when
it began and ends, and when its session closes (all market times; a phase is ``start <= ts < end``).
``next_close(product_type, ts)`` is the first session close at or after ``ts``.

Board lots of stocks (the stock exchange and the OTC market alike):
    08:30-09:00 opening call, 09:00-13:25 continuous, 13:25-13:30 closing call; the session closes at
    13:30 (the closing print).
Futures (the futures exchange's day and after-hours sessions):
    day: 08:30-08:45 opening call, 08:45-13:40 continuous, 13:40-13:45 closing call; closes at 13:45.
    after hours: 14:50-15:00 opening call, 15:00-05:00 (next day) continuous; closes at 05:00.
Stock orders of other lots keep their own sessions: intraday odd lots 09:00-13:30 (the odd-lot rule
matches them in its periodic call), after-hours odd lots 13:40-14:30, after-hours fixed price
14:00-14:30; each closes at its end. Any other time is ``CLOSED``.

``SessionRule`` ("sessions") refuses an order outside any session of its kind, and a market, IOC or
FOK order during a call period (only limit ROD orders wait for a call); at the close of a session it
cancels the orders of that session still open, with the exchange's cancellation report. It acts at
the first tick after the close, before that tick reaches the exchange, so an order can still fill at
the closing print itself, and the report carries the instrument's last exchange time (the print's).
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Tuple

from . import INFINITY, Failure, Order, Refusal, Rule, time_of_day

OPENING_CALL = "opening call"
CONTINUOUS = "continuous"
CLOSING_CALL = "closing call"
CLOSED = "closed"

DAY = "day"
AFTER_HOURS = "after hours"
INTRADAY_ODD = "intraday odd lot"
AFTER_HOURS_ODD = "after-hours odd lot"
AFTER_HOURS_FIXED = "after-hours fixed price"

_H = 3600.0
_M = 60.0
_DAY = 86400.0


@dataclass(frozen=True)
class Phase:
    """One phase of a trading day (market times; ``start <= ts < end``)."""

    kind: str  # OPENING_CALL, CONTINUOUS, CLOSING_CALL or CLOSED
    session: str  # DAY, AFTER_HOURS, ... ("" when CLOSED)
    start: float
    end: float
    close: Optional[float]  # when the session closes (its ROD orders expire); None when CLOSED

    @property
    def is_call(self) -> bool:
        return self.kind in (OPENING_CALL, CLOSING_CALL)


# Per market: (from, to, kind, session, phase start, phase end, session close), seconds from the
# midnight of the day looked at; from/to cut the day, the others may reach into the day before or after.
_Window = Tuple[float, float, str, str, float, float, float]

_STOCK: List[_Window] = [
    (8 * _H + 30 * _M, 9 * _H, OPENING_CALL, DAY, 8 * _H + 30 * _M, 9 * _H, 13 * _H + 30 * _M),
    (9 * _H, 13 * _H + 25 * _M, CONTINUOUS, DAY, 9 * _H, 13 * _H + 25 * _M, 13 * _H + 30 * _M),
    (13 * _H + 25 * _M, 13 * _H + 30 * _M, CLOSING_CALL, DAY, 13 * _H + 25 * _M, 13 * _H + 30 * _M, 13 * _H + 30 * _M),
]
_FUTURE: List[_Window] = [
    (0.0, 5 * _H, CONTINUOUS, AFTER_HOURS, 15 * _H - _DAY, 5 * _H, 5 * _H),
    (8 * _H + 30 * _M, 8 * _H + 45 * _M, OPENING_CALL, DAY, 8 * _H + 30 * _M, 8 * _H + 45 * _M, 13 * _H + 45 * _M),
    (8 * _H + 45 * _M, 13 * _H + 40 * _M, CONTINUOUS, DAY, 8 * _H + 45 * _M, 13 * _H + 40 * _M, 13 * _H + 45 * _M),
    (13 * _H + 40 * _M, 13 * _H + 45 * _M, CLOSING_CALL, DAY, 13 * _H + 40 * _M, 13 * _H + 45 * _M, 13 * _H + 45 * _M),
    (14 * _H + 50 * _M, 15 * _H, OPENING_CALL, AFTER_HOURS, 14 * _H + 50 * _M, 15 * _H, 29 * _H),
    (15 * _H, _DAY, CONTINUOUS, AFTER_HOURS, 15 * _H, 29 * _H, 29 * _H),
]
_STOCK_LOTS: Dict[str, List[_Window]] = {
    "IntradayOdd": [(9 * _H, 13 * _H + 30 * _M, CONTINUOUS, INTRADAY_ODD, 9 * _H, 13 * _H + 30 * _M, 13 * _H + 30 * _M)],
    "Odd": [(13 * _H + 40 * _M, 14 * _H + 30 * _M, CONTINUOUS, AFTER_HOURS_ODD, 13 * _H + 40 * _M, 14 * _H + 30 * _M,
             14 * _H + 30 * _M)],
    "Fixing": [(14 * _H, 14 * _H + 30 * _M, CONTINUOUS, AFTER_HOURS_FIXED, 14 * _H, 14 * _H + 30 * _M,
                14 * _H + 30 * _M)],
}
# Session closes per market, seconds from midnight.
_CLOSES = {"Stock": (13 * _H + 30 * _M, 14 * _H + 30 * _M), "Future": (5 * _H, 13 * _H + 45 * _M)}


# Per market and lot: the stretches of the day (from, to) in which every order is taken, read first.
_TAKES_ALL: Dict[Tuple[str, str], List[Tuple[float, float]]] = {}


def _takes_all(product_type: str, order_lot: str) -> List[Tuple[float, float]]:
    key = (product_type, order_lot)
    found = _TAKES_ALL.get(key)
    if found is None:
        found = _TAKES_ALL[key] = [(w[0], w[1]) for w in _windows(product_type, order_lot) if w[2] == CONTINUOUS]
    return found


def _windows(product_type: str, order_lot: str) -> List[_Window]:
    if product_type == "Future":
        return _FUTURE
    return _STOCK_LOTS.get(order_lot, _STOCK)


def phase(product_type: str, code: str, ts: float, order_lot: str = "Common") -> Phase:
    """The phase of the day at market time ``ts`` for ``code`` of ``product_type`` ("Stock" or
    "Future"); stock orders of another lot than "Common" keep that lot's session. Every code of a
    market shares its hours (``code`` is there for instruments that will not)."""
    windows = _windows(product_type, order_lot)
    midnight = ts - time_of_day(ts)
    tod = ts - midnight
    for lo, hi, kind, session, start, end, close in windows:
        if lo <= tod < hi:
            return Phase(kind, session, midnight + start, midnight + end, midnight + close)
    # Closed: from the end of the window before to the start of the one after (across midnight).
    before = [w[5] for w in windows if w[1] <= tod]
    after = [w[0] for w in windows if w[0] > tod]
    start = midnight + (max(before) if before else windows[-1][5] - _DAY)
    end = midnight + (min(after) if after else windows[0][0] + _DAY)
    return Phase(CLOSED, "", start, end, None)


def next_close(product_type: str, ts: float) -> float:
    """The first session close of the market at or after market time ``ts``."""
    midnight = ts - time_of_day(ts)
    for day in (0.0, _DAY):
        for close in _CLOSES.get(product_type, _CLOSES["Stock"]):
            if midnight + day + close >= ts:
                return midnight + day + close
    return INFINITY  # not reached: every market closes within a day


def clock_text(ts: float) -> str:
    """HH:MM:SS of a market time."""
    seconds = int(time_of_day(ts))
    return f"{seconds // 3600:02d}:{seconds // 60 % 60:02d}:{seconds % 60:02d}"


class SessionRule(Rule):
    """Orders only in their session, market / IOC / FOK orders only in continuous trading, and every
    order still open at its session's close cancelled by the exchange."""

    name = "sessions"

    def __init__(self) -> None:
        super().__init__()
        self.products: List[str] = []
        self.first_ts: Optional[float] = None  # the first tick's time: orders placed before it belong to its session

    def start(self, market: Any) -> None:
        self.products = sorted(set(market.backtest.markets.values()))
        self.first_ts = None
        self.wake_at = -INFINITY  # the first tick: from there, the next close

    def check(self, order: Order, market: Any) -> Optional[Refusal]:
        ts = order.timestamp
        if ts is None:  # before the first tick (on_start): no market time to judge by
            return None
        tod = ts % _DAY
        for lo, hi in _takes_all(order.product_type, order.order_lot):
            if lo <= tod < hi:
                return None
        now = phase(order.product_type, order.code, ts, order.order_lot)
        lot = "" if order.product_type == "Future" or order.order_lot == "Common" else f" {order.order_lot}"
        if now.kind == CLOSED:
            failure = Failure.OUTSIDE_SESSION if not lot else Failure.LOT_SESSION
            return failure.refusal(
                f"no {order.product_type.lower()}{lot} session at {clock_text(ts)}: the market is closed until "
                f"{clock_text(now.end)}"
            )
        if now.is_call and (order.price_type != "LMT" or order.order_type != "ROD"):
            return Failure.CALL_PERIOD.refusal(
                f"a {order.price_type} {order.order_type} order at {clock_text(ts)} falls in the {now.kind} "
                f"({clock_text(now.start)}-{clock_text(now.end)}), which takes limit ROD orders only"
            )
        return None

    def on_tick(self, tick: Dict[str, Any], market: Any) -> None:
        ts = tick["timestamp"]
        if self.first_ts is None:
            self.first_ts = ts
        self.expire(ts, market)
        due = min((next_close(p, ts) for p in self.products), default=INFINITY)
        # Strictly after the close: the closing print itself is still matched first.
        self.wake_at = math.nextafter(due, INFINITY)

    def close_of(self, record: Dict[str, Any]) -> float:
        """When the session of an order record closes."""
        placed = record.get("placed_ts")
        if placed is None:
            placed = self.first_ts
        product = record["product_type"]
        lot = record.get("order_lot", "Common")
        now = phase(product, record["code"], placed, lot)
        return now.close if now.close is not None else next_close(product, placed)

    def expire(self, ts: float, market: Any) -> None:
        """Cancels every open order whose session closed before ``ts``."""
        tracker = market.backtest._order_tracker()
        for trade_id, record in list(tracker._open.items()):
            if record["status"] in ("Open", "PartFilled") and self.close_of(record) < ts:
                tracker.cancel(trade_id)
