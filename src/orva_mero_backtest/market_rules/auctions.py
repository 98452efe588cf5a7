"""Call auctions: the orders of a call period wait for the call's print and are matched at its price.

The calls (Taipei time; a call collects orders from its start and prints at its end):

- stocks: the opening call 08:30-09:00 (its print is the day's first trade) and the closing call
  13:25-13:30 (the 13:30 closing trade);
- futures: 08:30-08:45 and 13:40-13:45, and 14:50-15:00 before the after-hours session.

An order entered during a call period (any lot but intraday odd lots, which have their own call) is
taken as any order (trade id, "New" report, the tracker's record, status Open) and kept out of the
exchange's book until the next tick of its code:

- a tick at or after the call's end is the call's print: the call's orders meet it in their queue
  order (market orders first, then in the time they were entered); each buy limit at or above and each
  sell limit at or below the print fills at the print's price through the exchange's own
  ``match_order`` (its deal reports), as far as the print's volume goes, which the call's orders
  share. What is left stays ROD and goes back to the book at the next tick (of any code), once the
  print has been matched; after the closing call the session rule cancels it there, at the first tick
  after the close (with that rule off it rests in the book);
- a tick before the call's end means the data trades during the call period (no call in the data): the
  orders go to the book and match as in continuous trading.

ROD orders still resting in the book when a call period starts (the closing call's start for the day's
continuous orders) take part in that call, as on the exchange: they leave the book at the first tick at
or after the call's start and join the call ahead of the orders entered during it.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Tuple

from ..modules.matcher import matcher as _matcher_module
from . import HELD, INFINITY, CheckResult, MarketRules, Order, Rule, day_of, time_of_day
from .sessions import CLOSING_CALL, phase

_H = 3600.0
_M = 60.0

# The call periods (sessions.phase has the whole day) as (product type, start, end, closing call?) in
# seconds of the Taipei day: where a call starts, the ROD orders resting in the book join it.
CALLS: Tuple[Tuple[str, float, float, bool], ...] = (
    ("Stock", 8 * _H + 30 * _M, 9 * _H, False),
    ("Future", 8 * _H + 30 * _M, 8 * _H + 45 * _M, False),
    ("Stock", 13 * _H + 25 * _M, 13 * _H + 30 * _M, True),
    ("Future", 13 * _H + 40 * _M, 13 * _H + 45 * _M, True),
    ("Future", 14 * _H + 50 * _M, 15 * _H, False),  # the after-hours session's opening call
)
_STARTS = sorted({start for _, start, _, _ in CALLS})


def call_period(product_type: str, ts: float) -> Optional[Tuple[str, float, float, bool]]:
    """The call whose period holds market time ``ts`` for that product (board lots), or None."""
    now = phase(product_type, "", ts)
    if not now.is_call:
        return None
    midnight = day_of(ts) * 86400.0
    return (product_type, now.start - midnight, now.end - midnight, now.kind == CLOSING_CALL)


def next_call_start(ts: float) -> float:
    """The first call start strictly after ``ts`` (market time)."""
    midnight = day_of(ts) * 86400.0
    for start in _STARTS:
        if midnight + start > ts:
            return midnight + start
    return midnight + 86400.0 + _STARTS[0]


@dataclass
class Call:
    code: str
    product: str
    day: int
    end: float  # market time of the print
    trade_ids: List[str] = field(default_factory=list)


class Auctions(Rule):
    name = "auctions"

    def __init__(self) -> None:
        super().__init__()
        self.wake_at = 0.0  # the first tick finds the first call start
        self.calls: Dict[str, Call] = {}
        # What a print left of its call, out of the book until the print tick has been matched.
        self.parked: List[str] = []
        self._print: Optional[Tuple[str, float]] = None
        self._next_start = -INFINITY
        self._last_wake = -INFINITY

    # --- orders -----------------------------------------------------------------------------------

    def check(self, order: Order, market: MarketRules) -> CheckResult:
        if self.parked:
            self._restore(market)  # older than the new order: ahead of it in the book
        if order.order_lot == "IntradayOdd" or order.timestamp is None:
            return None
        if call_period(order.product_type, order.timestamp) is None:
            return None
        return HELD

    def kept(self, trade_id: str, record: Dict[str, Any], order: Order, market: MarketRules) -> None:
        period = call_period(order.product_type, order.timestamp)  # type: ignore[arg-type]
        assert period is not None
        self._call(order.code, order.timestamp, period, market).trade_ids.append(trade_id)  # type: ignore[arg-type]

    def _call(self, code: str, ts: float, period: Tuple[str, float, float, bool], market: MarketRules) -> Call:
        day = day_of(ts)
        end = day * 86400.0 + period[2]
        call = self.calls.get(code)
        if call is not None and (call.day, call.end) != (day, end):
            self._drop(call, market)
            call = None
        if call is None:
            call = self.calls[code] = Call(code, period[0], day, end)
            self.watched.add(code)
        return call

    # --- ticks ------------------------------------------------------------------------------------

    def on_tick(self, tick: Dict[str, Any], market: MarketRules) -> None:
        ts, code = tick["timestamp"], tick["code"]
        if self.parked and self._print != (code, ts):
            self._restore(market)
        if ts >= self._next_start:
            self._start_calls(ts, market)
        call = self.calls.get(code)
        if call is not None:
            if ts < call.end:
                self._drop(call, market)  # the data trades during the call period
            elif day_of(ts) != call.day:
                self._drop(call, market)  # no print that day
            else:
                self._match(call, tick, market)
        self.wake_at = self._next_start
        if self.parked:
            self.wake_at = min(self.wake_at, ts)

    def _start_calls(self, ts: float, market: MarketRules) -> None:
        """At the first tick at or after a call start: the calls of the periods begun since the last
        such tick take the ROD orders resting in the book, and calls left from earlier periods end."""
        since, self._last_wake = self._last_wake, ts
        self._next_start = next_call_start(ts)
        day = day_of(ts)
        midnight = day * 86400.0
        begun: Dict[str, Tuple[str, float, float, bool]] = {}
        for c in CALLS:  # per product, the latest call begun since
            if since < midnight + c[1] <= ts:
                begun[c[0]] = c
        for call in list(self.calls.values()):
            if call.day != day:
                self._drop(call, market)
            elif call.product in begun and call.end <= midnight + begun[call.product][1]:
                self._drop(call, market)  # a call of an earlier period that never printed
        if not begun:
            return
        book = market.backtest._order_tracker().matcher.pending_orders
        resting = [r for r in book if _text(r.get("order_type")) == "ROD" and _text(r.get("product_type")) in begun]
        for record in resting:
            trade_id = record["trade_id"]
            call = self._call(record["code"], ts, begun[_text(record["product_type"])], market)
            if market.keep(trade_id, self):
                call.trade_ids.append(trade_id)

    def _match(self, call: Call, tick: Dict[str, Any], market: MarketRules) -> None:
        del self.calls[call.code]
        self.watched.discard(call.code)
        tracker = market.backtest._order_tracker()
        matcher = tracker.matcher
        queue = [(tid, market.held[tid][0]) for tid in call.trade_ids if tid in market.held]
        placed = {tid: i for i, tid in enumerate(call.trade_ids)}
        queue.sort(key=lambda q: (_text(q[1].get("price_type")) == "LMT",
                                  tracker.orders.get(q[0], {}).get("placed_ts") or 0.0, placed[q[0]]))
        price, ts = float(tick["close"]), float(tick["timestamp"])
        left = max(0, int(tick.get("qty") or tick.get("volume") or 0))
        for trade_id, _ in queue:
            record = market.release(trade_id)
            filled = _matcher_module.match_order(matcher, record, price, left, ts)
            left -= filled
        # What is left waits out of the book until the print has been matched; after the closing call
        # the session rule cancels it at the first tick after the close.
        for trade_id, _ in queue:
            if market.keep(trade_id, self):  # False once filled (or an IOC / FOK cancelled)
                self.parked.append(trade_id)
                self._print = (call.code, tick["timestamp"])

    def _drop(self, call: Call, market: MarketRules) -> None:
        """A call that did not print: its orders back to the book (where the session rule cancels those
        whose session has closed)."""
        self.calls.pop(call.code, None)
        self.watched.discard(call.code)
        for trade_id in call.trade_ids:
            market.release(trade_id)

    def _restore(self, market: MarketRules) -> None:
        for trade_id in self.parked:
            market.release(trade_id)
        self.parked = []
        self._print = None


def _text(value: Any) -> str:
    """An enumeration member or a plain str as its value."""
    return getattr(value, "value", value)
