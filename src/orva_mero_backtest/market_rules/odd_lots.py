"""Intraday odd lots: limit ROD orders in shares, matched in the odd-lot session's periodic call.

The session takes orders 09:00-13:30 and matches them in calls from 09:10 on: every 3 minutes from its
start (2020-10-26), every minute from 2022-12-19, every 5 seconds from 2024-12-02, and at 13:30. An order with ``order_lot="IntradayOdd"``
must be a stock limit ROD order entered during the session; any other is refused.

An accepted order is taken as any order (trade id, "New" report, tracker record, status Open) and kept
out of the exchange's book, so the board-lot ticks do not fill it tick by tick. The call at time T
meets the orders entered before T against the print of its period (T - interval, T]:

- where the data has odd-lot prints of the code (ticks with a true ``odd_lot`` key, volume in shares),
  the last odd-lot print of the period and the period's odd-lot volume;
- else, as a stand-in, the last board-lot trade of the period and the period's board-lot volume in
  shares (lots x 1000). Only trades after the entry of the code's oldest waiting order count; a period with no trade has no call.

Each buy limit at or above and each sell limit at or below the print's price fills at that price
through the exchange's own ``match_order`` (its deal reports), in the time the orders were entered,
as far as the volume goes. The tracker's record of an odd-lot order says what its fills were matched
against (``matched_against``: "odd-lot prints" or "board-lot ticks (stand-in)"). The session closes
with the 13:30 call: the session rule cancels what is left at the first tick after it (with that rule
off it waits for the next day's calls).
"""

from __future__ import annotations

from datetime import date
from typing import Any, Dict, List, Optional, Set

from ..modules.matcher import matcher as _matcher_module
from . import HELD, INFINITY, CheckResult, Failure, MarketRules, Order, Rule, day_of, time_of_day

SESSION_START = 9 * 3600.0
FIRST_CALL = 9 * 3600.0 + 10 * 60.0
SESSION_END = 13 * 3600.0 + 30 * 60.0
# The days (since 1970-01-01) the call interval changed: 3 minutes from the session's start, 1 minute
# from 2022-12-19, 5 seconds from 2024-12-02.
ONE_MINUTE_CALLS_FROM = (date(2022, 12, 19) - date(1970, 1, 1)).days
FIVE_SECOND_CALLS_FROM = (date(2024, 12, 2) - date(1970, 1, 1)).days

STAND_IN = "board-lot ticks (stand-in)"
ODD_PRINTS = "odd-lot prints"



def call_interval(ts: float) -> float:
    """Seconds between the odd-lot calls on the day of market time ``ts``."""
    day = day_of(ts)
    return 5.0 if day >= FIVE_SECOND_CALLS_FROM else 60.0 if day >= ONE_MINUTE_CALLS_FROM else 180.0


def next_call(ts: float) -> float:
    """The first odd-lot call strictly after market time ``ts`` (on a later day if the session is over):
    09:10, then every interval, and 13:30."""
    midnight = day_of(ts) * 86400.0
    t = ts - midnight
    if t >= SESSION_END:
        midnight += 86400.0
        t = -1.0
    if t < FIRST_CALL:
        return midnight + FIRST_CALL
    interval = call_interval(midnight)
    k = int((t - FIRST_CALL) // interval) + 1
    return midnight + min(FIRST_CALL + k * interval, SESSION_END)


def first_call_from(ts: float) -> float:
    """The first odd-lot call at or after market time ``ts``."""
    t = time_of_day(ts)
    if FIRST_CALL <= t <= SESSION_END and ((t - FIRST_CALL) % call_interval(ts) == 0 or t == SESSION_END):
        return ts
    return next_call(ts)


class OddLots(Rule):
    name = "odd_lots"

    def __init__(self) -> None:
        super().__init__()
        self.orders: Dict[str, List[str]] = {}  # code -> held trade ids, in the time entered
        self.period: Dict[str, List[float]] = {}  # code -> [last price, volume in shares] since the last call
        self.odd_prints: Set[str] = set()  # codes whose data has odd-lot prints
        self.next_call = INFINITY

    def check(self, order: Order, market: MarketRules) -> CheckResult:
        if order.order_lot != "IntradayOdd":
            return None
        what = f"{order.action} {order.qty} shares of {order.code} ({order.price_type} {order.order_type})"
        if order.product_type != "Stock":
            return Failure.ODD_LOT_ORDER.refusal(f"intraday odd lots are stocks only: {what}")
        if order.price_type != "LMT" or order.order_type != "ROD":
            return Failure.ODD_LOT_ORDER.refusal(f"intraday odd lots take limit ROD orders only: {what}")
        if order.timestamp is not None and not SESSION_START <= time_of_day(order.timestamp) < SESSION_END:
            return Failure.LOT_SESSION.refusal(f"the intraday odd-lot session is 09:00-13:30: {what}")
        return HELD

    def kept(self, trade_id: str, record: Dict[str, Any], order: Order, market: MarketRules) -> None:
        code = order.code
        self.orders.setdefault(code, []).append(trade_id)
        self.period.setdefault(code, [0.0, 0])
        self.watched.add(code)
        ts = order.timestamp if order.timestamp is not None else 0.0
        self.next_call = min(self.next_call, next_call(ts))
        self.wake_at = self.next_call

    def on_tick(self, tick: Dict[str, Any], market: MarketRules) -> None:
        ts = tick["timestamp"]
        while self.next_call < ts:
            self._call(self.next_call, ts, market)
        code = tick["code"]
        if code in self.watched:
            self._count(code, tick)
        while self.next_call <= ts:  # the call at this very time takes this tick
            self._call(self.next_call, ts, market)
        self.wake_at = self.next_call

    def _count(self, code: str, tick: Dict[str, Any]) -> None:
        odd = bool(tick.get("odd_lot"))
        period = self.period[code]
        if odd and code not in self.odd_prints:
            self.odd_prints.add(code)
            period[1] = 0  # the odd-lot prints replace the stand-in from now on
        elif not odd and code in self.odd_prints:
            return
        qty = int(tick.get("qty") or 0)
        if qty > 0:
            period[0] = float(tick["close"])
            period[1] += qty if odd else qty * 1000

    def _call(self, at: float, now: float, market: MarketRules) -> None:
        """The call at market time ``at``, run at the first tick at or after it (``now``)."""
        tracker = market.backtest._order_tracker()
        matcher = tracker.matcher
        closing = time_of_day(at) >= SESSION_END
        for code in list(self.orders):
            held = [tid for tid in self.orders[code] if tid in market.held]
            price, left = self.period[code]
            self.period[code] = [0.0, 0]
            if left > 0 and held:
                source = ODD_PRINTS if code in self.odd_prints else STAND_IN
                for trade_id in held:
                    record = market.release(trade_id)
                    filled = _matcher_module.match_order(matcher, record, price, int(left), at)
                    left -= filled
                    if filled:
                        row = tracker.orders.get(trade_id)
                        if row is not None:
                            row["matched_against"] = source
                    market.keep(trade_id, self)  # no-op once filled
                held = [tid for tid in held if tid in market.held]
            if closing and market.switches.sessions:
                held = []  # still held: the session rule cancels them at the first tick after the close
            if held:
                self.orders[code] = held
            else:
                del self.orders[code], self.period[code]
                self.watched.discard(code)
        if not self.orders:
            self.next_call = INFINITY
            return
        following = next_call(at)
        if following < now and not closing:
            # No tick came since: the calls before now have nothing to match, only the close acts.
            end = day_of(at) * 86400.0 + SESSION_END
            following = end if now > end else max(following, first_call_from(now))
        self.next_call = following

