"""The driver's mirror of the strategy's orders: what was placed, what is open, what the reports said."""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Tuple

from .constant import OperationType
from .market_rules import Failure
from .modules.engine import engine as _engine
from .errors import BacktestError, OrderRejected

_ATTRIBUTES = ("matcher", "orders", "_open", "_book", "_add_order", "_plan")


class OrderTracker:
    """Keeps one dict per order placed through the exchange (``matcher``), updated from the requests as
    they are made and from the exchange's reports as they are delivered.

    Order reports carry absolute values, so applying one that the tracker already applied when the
    request was made changes nothing.

    ``place`` and ``track`` are native (``engine.order_tracker_*``). Any exchange with the Matcher's
    ``pending_orders`` / ``add_order`` works; whether it is the package's own Matcher (whose book is a
    list, read directly) and whether a subclass puts its own attributes in front of the tracker's
    are looked at once, when the tracker is made.

    With a cancel latency (seconds of market time, above 0) a cancel or modification is sent, not
    applied: it waits in ``requests`` until ``land`` meets the first tick of its instrument at or
    after ``clock.now`` (when it was sent) plus the latency, and the order keeps matching until then.
    The strategy's record follows the exchange's answer, delivered as a report like any other.
    """

    def __init__(self, matcher: Any, cancel_latency: float = 0.0, clock: Any = None) -> None:
        from .modules.matcher.matcher import Matcher

        self.matcher = matcher
        # The exchange keeps these for its life: bound once.
        self._book = matcher.pending_orders
        self._add_order = matcher.add_order
        self.orders: Dict[str, Dict[str, Any]] = {}
        self._open: Dict[str, Dict[str, Any]] = {}
        # The market rules, once they hold an order out of the book for a call auction (their hold):
        # a change or cancel puts it back first.
        self.holder: Optional[Any] = None
        # What place and track may take as plain (orders.cpp reads _plan): the exchange is the package's
        # Matcher (1), nothing in the class stands in front of the attributes (2).
        cls = type(self)
        plan = 1 if type(matcher) is Matcher and type(self._book) is list else 0
        if cls.__getattribute__ is object.__getattribute__ and not any(hasattr(cls, n) for n in _ATTRIBUTES):
            plan |= 2
        self._plan = plan
        self.cancel_latency = cancel_latency
        self._clock = clock  # its .now: the market time a request is sent at
        # Cancels and modifications on their way, oldest first: (due, code, trade_id, qty, price, record)
        # with qty and price None for a cancel. The tick loop holds this list: changed in place only.
        self.requests: List[Tuple[float, str, str, Optional[int], Optional[float], Dict[str, Any]]] = []

    # --- requests ---------------------------------------------------------------------------------

    place = _engine.order_tracker_place

    @staticmethod
    def _not_taken(code: str, action: str, qty: int, price_type: str) -> Exception:
        return BacktestError(f"the exchange did not take the order of {qty} {code} ({action} {price_type})")

    def _book_record(self, trade_id: str) -> Optional[Dict[str, Any]]:
        """The exchange's own record of an open order; None once it has left the book."""
        if trade_id not in self.orders:
            raise OrderRejected(f"no order {trade_id!r} was placed in this backtest")
        for record in self.matcher.pending_orders:
            if record["trade_id"] == trade_id:
                return record
        return None

    def _unhold(self, trade_id: str) -> Any:
        return self.holder.unhold(trade_id) if self.holder is not None else None

    def modify(self, trade_id: str, qty: Optional[int], price: Optional[float]) -> bool:
        rule = self._unhold(trade_id)
        try:
            return self._modify(trade_id, qty, price)
        finally:
            if rule is not None:
                self.holder.keep(trade_id, rule)  # back to its call (a no-op once cancelled)

    def _modify(self, trade_id: str, qty: Optional[int], price: Optional[float]) -> bool:
        record = self._book_record(trade_id)
        if record is None:
            return False
        if self.cancel_latency > 0:
            if qty is None and price is None:
                raise OrderRejected("modify_order needs a quantity or a price")
            self._send(trade_id, qty, price, record)
            return True
        if qty is not None and qty >= record["quantity"]:
            # Taking off everything is a cancellation; the exchange would keep an empty order in its book.
            return self.cancel(trade_id)
        self.matcher.modify_order(trade_id, qty, price)
        # The strategy's view follows at once; the reports, delivered later, say the same.
        order = self.orders[trade_id]
        order["open_qty"] = record["quantity"]
        order["price"] = record["price"]
        order["cancelled_qty"] = order["quantity"] - order["filled_qty"] - order["open_qty"]
        return True

    def cancel(self, trade_id: str) -> bool:
        rule = self._unhold(trade_id)
        record = self._book_record(trade_id)
        if record is None:
            return False
        if self.cancel_latency > 0:
            self._send(trade_id, None, None, record)
            if rule is not None:
                self.holder.keep(trade_id, rule)  # still in its call until the cancel lands
            return True
        self.matcher.cancel_order(trade_id)
        order = self.orders[trade_id]
        order["open_qty"] = 0
        order["cancelled_qty"] = order["quantity"] - order["filled_qty"]
        self._settle(order)
        return True

    def _send(self, trade_id: str, qty: Optional[int], price: Optional[float], record: Dict[str, Any]) -> None:
        now = getattr(self._clock, "now", None)
        due = (now if now is not None else float("-inf")) + self.cancel_latency
        self.requests.append((due, record["code"], trade_id, qty, price, record))

    def land(self, tick: Dict[str, Any]) -> None:
        """Carries out the requests of the tick's instrument whose time has come, in the order they were
        sent, before the tick is matched. An order that left the book meanwhile (filled, cancelled) gets
        the exchange's refusal instead: an order report with a market_rules.Failure."""
        code, now = tick["code"], tick["timestamp"]
        due = [r for r in self.requests if r[1] == code and now + 1e-9 >= r[0]]
        if not due:
            return
        self.requests[:] = [r for r in self.requests if not (r[1] == code and now + 1e-9 >= r[0])]
        for _, _, trade_id, qty, price, sent in due:
            rule = self._unhold(trade_id)  # an order held for a call is changed in the book
            record = self._book_record(trade_id)
            cancel = qty is None and price is None
            if record is None:
                if cancel:
                    self._refuse(sent, OperationType.CANCEL, Failure.CANCEL_NOT_OPEN)
                if qty is not None:
                    self._refuse(sent, OperationType.UPDATE_QTY, Failure.MODIFY_NOT_OPEN)
                if price is not None:
                    self._refuse(sent, OperationType.UPDATE_PRICE, Failure.MODIFY_NOT_OPEN)
            elif cancel or (qty is not None and qty >= record["quantity"]):
                # Taking off all that is left (a fill came first) is a cancellation, as without latency.
                self.matcher.cancel_order(trade_id)
            else:
                self.matcher.modify_order(trade_id, qty, price)
            if rule is not None:
                self.holder.keep(trade_id, rule)  # back to its call (a no-op once cancelled)

    def _refuse(self, record: Dict[str, Any], operation: OperationType, code: Failure) -> None:
        # The exchange's order report for the order as it left the book, nothing of it open: applied
        # to the strategy's record it changes nothing but its update time.
        answer = dict(record)
        answer["quantity"] = 0
        self.matcher.add_response_to_queue(self.matcher.build_order_response(answer, operation, code))

    # --- reports ----------------------------------------------------------------------------------

    track = _engine.order_tracker_track

    def _settle(self, order: Dict[str, Any]) -> None:
        if order["open_qty"] > 0:
            order["status"] = "PartFilled" if order["filled_qty"] else "Open"
            return
        order["status"] = "Cancelled" if order["cancelled_qty"] else "Filled"
        self._open.pop(order["trade_id"], None)

    # --- read side --------------------------------------------------------------------------------

    def known(self, trade_id: str) -> bool:
        return trade_id in self.orders

    def open_orders(self, code: Optional[str] = None) -> List[Dict[str, Any]]:
        return [_public(o) for o in self._open.values() if code is None or o["code"] == code]

    def rows(self) -> List[Dict[str, Any]]:
        """Every order placed, oldest first, without the tracker's own fields."""
        return [_public(o) for o in self.orders.values()]

    def hand_over(self) -> List[Dict[str, Any]]:
        """``rows()`` for a finished run's result, made of the records themselves rather than copies
        (a long run would hold every order twice at its end): each loses the tracker's own field, so
        the tracker must not track reports any more."""
        records = list(self.orders.values())
        for record in records:
            record.pop("_fill_value", None)
        return records


def _public(order: Dict[str, Any]) -> Dict[str, Any]:
    # "_fill_value" is the only private field: a copy without it (key order kept) is much cheaper than
    # filtering every key by its name.
    row = order.copy()
    del row["_fill_value"]
    return row
