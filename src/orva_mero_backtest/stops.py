"""Orders the backtest holds until the market reaches them: stop, stop-limit, trailing stop, the
take-profit and stop-loss of a bracket, and one-cancels-other pairs.

The exchange has no such orders: they stay here, unseen by it, until a trade price reaches the stop.
Then the stop sends an ordinary order through ``ctx.place_order`` (a market order, or a limit order
for a stop-limit), which meets the instrument's next tick like any order the strategy places: the
run's fill rules apply to it, and the exchange's reports for it start there.

Triggers look at the trade price of each main-range tick (its ``close``): a sell stop triggers on
the first trade at or below its stop price, a buy stop at or above. After a gap through the stop the
order fills at the next trade price, never at the stop price itself. A trailing stop follows the
best trade price since it was placed (the highest for a sell stop, the lowest for a buy stop) at a
distance in points (``trail``) or in percent of that price (``trail_percent``); it never moves back.

The per-tick trigger test is native (``engine.stop_book_check``); the tick loop calls it only for an
instrument with a held stop, so a run without stops pays nothing for them.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Dict, List, Optional

from .errors import OrderRejected
from .modules.engine import engine as _engine

if TYPE_CHECKING:  # pragma: no cover
    from .orders import OrderTracker
    from .strategy import StrategyContext

HELD, WAITING, TRIGGERED, CANCELLED = "Held", "Waiting", "Triggered", "Cancelled"


def _number(value: Any, what: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not value > 0:
        raise OrderRejected(f"{what} must be a number above 0, got {value!r}")
    return float(value)


class StopBook:
    """The held orders of one run. ``by_code`` (code -> records of held stops) is what the tick loop
    looks at; ``watched`` (trade id -> filled quantity seen) the exchange orders whose fills move a
    link (a bracket's entry, an OCO member)."""

    def __init__(self, ctx: "StrategyContext", tracker: "OrderTracker") -> None:
        self.ctx = ctx
        self.tracker = tracker
        self.by_code: Dict[str, List[Dict[str, Any]]] = {}
        self.records: Dict[str, Dict[str, Any]] = {}  # stop id -> record, in placing order
        self.watched: Dict[str, int] = {}
        self.partner: Dict[str, str] = {}  # OCO: id -> the other id (stop ids or trade ids)
        self.children: Dict[str, List[str]] = {}  # a bracket's entry trade id -> its [take-profit, stop-loss]
        self.alias: Dict[str, str] = {}  # trade id of a triggered stop's order -> stop id

    check = _engine.stop_book_check

    # --- requests -------------------------------------------------------------------------------

    def place(self, code: str, action: str, qty: int, stop: Optional[float] = None, limit: Optional[float] = None,
              trail: Optional[float] = None, trail_percent: Optional[float] = None, order_type: str = "ROD",
              state: str = HELD) -> str:
        self.ctx._bt.market_of(code)
        if action not in ("Buy", "Sell"):
            raise OrderRejected(f"unknown action {action!r} (use Buy, Sell)")
        if type(qty) is not int or qty <= 0:
            raise OrderRejected(f"order quantity must be a positive int, got {qty!r}")
        given = [n for n, v in (("stop", stop), ("trail", trail), ("trail_percent", trail_percent)) if v is not None]
        if len(given) != 1:
            raise OrderRejected(f"a stop order needs exactly one of stop, trail or trail_percent, got {given or 'none'}")
        if limit is not None and stop is None:
            raise OrderRejected("a limit price goes with a fixed stop price only")
        if trail_percent is not None and not _number(trail_percent, "trail_percent") < 100:
            raise OrderRejected(f"trail_percent must be below 100, got {trail_percent!r}")
        record: Dict[str, Any] = {
            "trade_id": f"stop-{len(self.records) + 1}",
            "code": code,
            "action": action,
            "quantity": qty,
            "sign": 1 if action == "Buy" else -1,
            "stop": None if stop is None else _number(stop, "stop price"),
            "limit": None if limit is None else _number(limit, "limit price"),
            "trail": None if trail is None else _number(trail, "trail"),
            "trail_percent": None if trail_percent is None else float(trail_percent),
            "best": None,
            "order_type": str(order_type),
            "status": state,
            "order_id": None,  # the trade id of the order it sent, once triggered
        }
        if record["stop"] is None:
            last = self.ctx.last_price(code)
            if last is not None:
                record["best"] = float(last)
                record["stop"] = _trailed(record, float(last))
        self.records[record["trade_id"]] = record
        if state == HELD:
            self.by_code.setdefault(code, []).append(record)
        return record["trade_id"]

    def bracket(self, code: str, action: str, qty: int, price: Optional[float], take_profit: Optional[float],
                stop_loss: Optional[float], trail: Optional[float], trail_percent: Optional[float],
                order_type: str) -> str:
        exit_action = "Sell" if action == "Buy" else "Buy"
        if take_profit is None and stop_loss is None and trail is None and trail_percent is None:
            raise OrderRejected("a bracket needs a take_profit, a stop_loss or a trail")
        if take_profit is not None:
            _number(take_profit, "take_profit")
        ids = []
        if stop_loss is not None or trail is not None or trail_percent is not None:
            # checked (and numbered) before the entry goes out, so a refusal leaves nothing behind
            ids.append(self.place(code, exit_action, qty, stop_loss, None, trail, trail_percent, state=WAITING))
        entry = self.ctx.place_order(code, action, qty, price, order_type)
        if take_profit is not None:
            tp = {"trade_id": f"stop-{len(self.records) + 1}", "code": code, "action": exit_action, "quantity": qty,
                  "limit": float(take_profit), "stop": None, "status": WAITING, "order_id": None, "take_profit": True,
                  "order_type": "ROD"}
            self.records[tp["trade_id"]] = tp
            ids.insert(0, tp["trade_id"])
        for child in ids:
            self.records[child]["parent"] = entry
        self.children[entry] = ids
        self.watched[entry] = 0
        self._after_request()
        return entry

    def oco(self, first: str, second: str) -> None:
        for one in (first, second):
            if one in self.partner:
                raise OrderRejected(f"order {one!r} is already one of an OCO pair")
            if not self._open(one):
                raise OrderRejected(f"order {one!r} is not open")
        if first == second:
            raise OrderRejected("an OCO pair needs two different orders")
        self.partner[first], self.partner[second] = second, first
        for one in (first, second):
            trade = self._trade_of(one)
            if trade is not None:
                self.watched.setdefault(trade, self.tracker.orders[trade]["filled_qty"])

    def cancel(self, stop_id: str) -> bool:
        record = self.records[stop_id]
        if record["status"] == TRIGGERED:
            return self.tracker.cancel(record["order_id"])
        if record["status"] not in (HELD, WAITING):
            return False
        self._drop(record)
        return True

    def modify(self, stop_id: str, qty: Optional[int], price: Optional[float], stop: Optional[float]) -> bool:
        record = self.records[stop_id]
        if record["status"] == TRIGGERED:
            if stop is not None:
                raise OrderRejected(f"{stop_id} has triggered: its order has no stop price any more")
            return self.tracker.modify(record["order_id"], qty, price)
        if record["status"] not in (HELD, WAITING):
            return False
        if price is not None and record["limit"] is None:
            raise OrderRejected(f"{stop_id} is a market stop: it has no limit price to move")
        if stop is not None:
            if record.get("trail") is not None or record.get("trail_percent") is not None:
                raise OrderRejected(f"{stop_id} is a trailing stop: its stop price follows the market")
            if record.get("take_profit"):
                raise OrderRejected(f"{stop_id} is a take-profit: it has a limit price, not a stop")
            record["stop"] = _number(stop, "stop price")
        if price is not None:
            record["limit"] = float(price)
        if qty is not None:
            if qty >= record["quantity"]:
                self._drop(record)
                return True
            record["quantity"] -= qty
        return True

    # --- the tick loop's side -------------------------------------------------------------------

    def fire(self, triggered: List[Dict[str, Any]]) -> None:
        """Sends the orders of stops that ``check`` found triggered (already out of ``by_code``)."""
        for record in triggered:
            if record["status"] != HELD:  # cancelled by an earlier one of the same tick
                continue
            record["status"] = TRIGGERED
            self._send(record)
        self._after_request()

    def sync(self) -> None:
        """After the exchange's reports were tracked: fills of watched orders move their links."""
        orders = self.tracker.orders
        for trade_id, seen in list(self.watched.items()):
            order = orders[trade_id]
            filled = order["filled_qty"]
            if filled > seen:
                self.watched[trade_id] = filled
                self._filled(trade_id, filled - seen)
            if order["status"] in ("Filled", "Cancelled"):
                self.watched.pop(trade_id, None)
                if trade_id in self.children:
                    self._entry_done(trade_id, filled)

    # --- read side ------------------------------------------------------------------------------

    def open_orders(self, code: Optional[str] = None) -> List[Dict[str, Any]]:
        return [_public(r) for r in self.records.values()
                if r["status"] in (HELD, WAITING) and (code is None or r["code"] == code)]

    def rows(self) -> List[Dict[str, Any]]:
        return [_public(r) for r in self.records.values()]

    # --- the steps --------------------------------------------------------------------------------

    def _send(self, record: Dict[str, Any]) -> None:
        limit = record["limit"]
        trade_id = self.ctx.place_order(record["code"], record["action"], record["quantity"], limit,
                                        record["order_type"])
        record["order_id"] = trade_id
        self.alias[trade_id] = record["trade_id"]
        if record["trade_id"] in self.partner:
            self.watched.setdefault(trade_id, self.tracker.orders[trade_id]["filled_qty"])

    def _after_request(self) -> None:
        # What a placed order reported can already have moved a link (a market entry filling at once).
        if self.watched:
            self.sync()

    def _filled(self, trade_id: str, qty: int) -> None:
        """A fill of ``qty`` on a watched order takes as much off its OCO partner."""
        own = self.alias.get(trade_id, trade_id)
        other = self.partner.get(own)
        if other is None:
            return
        record = self.records.get(other)
        if record is None or record["status"] == TRIGGERED:
            target = record["order_id"] if record is not None else other
            if target in self.tracker.orders:
                self.tracker.modify(target, qty, None)
            return
        if record["status"] in (HELD, WAITING):
            if qty >= record["quantity"]:
                self._drop(record)
            else:
                record["quantity"] -= qty

    def _entry_done(self, entry: str, filled: int) -> None:
        """A bracket's entry is done: its children go live for what it filled, or go away."""
        ids = self.children.pop(entry)
        records = [self.records[i] for i in ids]
        if filled == 0:
            for record in records:
                self._drop(record)
            return
        for record in records:
            if record["status"] != WAITING:
                continue
            record["quantity"] = filled
            if record.get("take_profit"):
                record["status"] = TRIGGERED
                self._send(record)
            else:
                record["status"] = HELD
                if record["stop"] is None:  # a trailing stop starts from the entry's price
                    last = self.ctx.last_price(record["code"])
                    record["best"] = float(last)
                    record["stop"] = _trailed(record, float(last))
                self.by_code.setdefault(record["code"], []).append(record)
        if len(ids) == 2:
            self.partner[ids[0]], self.partner[ids[1]] = ids[1], ids[0]
            for record in records:
                if record["order_id"] is not None:
                    self.watched.setdefault(record["order_id"], self.tracker.orders[record["order_id"]]["filled_qty"])

    def _drop(self, record: Dict[str, Any]) -> None:
        if record["status"] == HELD:
            held = self.by_code.get(record["code"], [])
            if record in held:
                held.remove(record)
            if not held:
                self.by_code.pop(record["code"], None)
        record["status"] = CANCELLED

    def _open(self, one: str) -> bool:
        record = self.records.get(one)
        if record is not None:
            return record["status"] in (HELD, WAITING, TRIGGERED)
        order = self.tracker.orders.get(one)
        return order is not None and order["status"] in ("Open", "PartFilled")

    def _trade_of(self, one: str) -> Optional[str]:
        record = self.records.get(one)
        return one if record is None else record["order_id"]


def _trailed(record: Dict[str, Any], best: float) -> float:
    """The stop price of a trailing stop whose best price is ``best``."""
    sign = record["sign"]
    if record["trail"] is not None:
        return best + sign * record["trail"]
    return best * (1 + sign * record["trail_percent"] / 100)


_FIELDS = ("trade_id", "code", "action", "quantity", "stop", "limit", "trail", "trail_percent", "status", "order_id")


def _public(record: Dict[str, Any]) -> Dict[str, Any]:
    row = {k: record.get(k) for k in _FIELDS}
    row["kind"] = ("take-profit" if record.get("take_profit") else "trailing stop" if record.get("trail") is not None
                   or record.get("trail_percent") is not None else "stop-limit" if record["limit"] is not None
                   else "stop")
    row["price"] = record["limit"]
    row["open_qty"] = record["quantity"] if record["status"] in (HELD, WAITING) else 0
    return row
