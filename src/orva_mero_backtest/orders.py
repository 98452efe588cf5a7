"""The driver's mirror of the strategy's orders: what was placed, what is open, what the reports said."""

from __future__ import annotations

from typing import Any, Dict, List, Optional

from .constant import OperationType
from .modules.engine import engine as _engine
from .errors import BacktestError, OrderRejected

_UPDATE_QTY = OperationType.UPDATE_QTY.value
_UPDATE_PRICE = OperationType.UPDATE_PRICE.value
_CANCEL = OperationType.CANCEL.value


class OrderTracker:
    """Keeps one dict per order placed through the exchange (``matcher``), updated from the requests as
    they are made and from the exchange's reports as they are delivered.

    Order reports carry absolute values, so applying one that the tracker already applied when the
    request was made changes nothing.
    """

    def __init__(self, matcher: Any) -> None:
        self.matcher = matcher
        # The exchange keeps these for its life: bound once.
        self._book = matcher.pending_orders
        self._add_order = matcher.add_order
        self.orders: Dict[str, Dict[str, Any]] = {}
        self._open: Dict[str, Dict[str, Any]] = {}

    # --- requests ---------------------------------------------------------------------------------

    def _place(
        self,
        code: str,
        product_type: str,
        action: str,
        price: float,
        qty: int,
        price_type: str,
        order_type: str,
        order_cond: str,
        order_lot: str,
        oc_type: str,
        now: Optional[float],
    ) -> str:
        """Puts an order into the exchange's book and starts its record; the trade id."""
        book = self._book
        before = len(book)
        self._add_order(code, product_type, action, price, qty, price_type, order_type, order_cond, order_lot, oc_type)
        # add_order returns nothing: the order it takes is appended to the book (a public list of
        # records holding "trade_id"). This is the one place that reads the exchange's book on entry.
        if len(book) != before + 1:
            raise self._not_taken(code, action, qty, price_type)
        trade_id = book[-1]["trade_id"]
        self.orders[trade_id] = self._open[trade_id] = {
            "trade_id": trade_id,
            "code": code,
            "product_type": product_type,
            "action": action,
            "price_type": price_type,
            "order_type": order_type,
            "price": price,
            "quantity": qty,
            "open_qty": qty,
            "filled_qty": 0,
            "avg_fill_price": None,
            "cancelled_qty": 0,
            "status": "Open",
            "placed_ts": now,
            "updated_ts": now,
            "_fill_value": 0.0,
        }
        return trade_id

    # Called for every order: the same steps as _place above, in C.
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

    def modify(self, trade_id: str, qty: Optional[int], price: Optional[float]) -> bool:
        record = self._book_record(trade_id)
        if record is None:
            return False
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
        if self._book_record(trade_id) is None:
            return False
        self.matcher.cancel_order(trade_id)
        order = self.orders[trade_id]
        order["open_qty"] = 0
        order["cancelled_qty"] = order["quantity"] - order["filled_qty"]
        self._settle(order)
        return True

    # --- reports ----------------------------------------------------------------------------------

    def _track(self, report: Dict[str, Any]) -> bool:
        """Applies one report of the exchange; True for a deal report."""
        if "exchange_seqno" in report:
            order = self.orders.get(report["id"])
            if order is not None:
                qty = report["quantity"]
                filled = order["filled_qty"] = order["filled_qty"] + qty
                value = order["_fill_value"] = order["_fill_value"] + qty * report["price"]
                if filled:
                    order["avg_fill_price"] = value / filled
                left = order["open_qty"] - qty
                order["open_qty"] = left if left > 0 else 0
                order["updated_ts"] = report["exchange_ts"]
                self._settle(order)
            return True
        entry = report["order"]
        order = self.orders.get(entry["id"])
        if order is None:
            return False
        kind = report["operation_type"]
        order["updated_ts"] = report["trade_status"]["exchange_ts"]
        if kind == _UPDATE_QTY:
            order["open_qty"] = entry["quantity"]
        elif kind == _UPDATE_PRICE:
            order["price"] = entry["price"]
        elif kind == _CANCEL:
            order["open_qty"] = 0
        order["cancelled_qty"] = order["quantity"] - order["filled_qty"] - order["open_qty"]
        self._settle(order)
        return False

    # Called for every report: the same steps as _track above, in C.
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


def _public(order: Dict[str, Any]) -> Dict[str, Any]:
    # "_fill_value" is the only private field: a copy without it (key order kept) is much cheaper than
    # filtering every key by its name.
    row = order.copy()
    del row["_fill_value"]
    return row
