"""OrderTracker.place and track as plain Python: the model the native ones (modules/engine/orders.cpp)
are tested against."""

from typing import Any, Dict, Optional

from orva_mero_backtest import orders
from orva_mero_backtest.constant import OperationType

_UPDATE_QTY = OperationType.UPDATE_QTY.value
_UPDATE_PRICE = OperationType.UPDATE_PRICE.value
_CANCEL = OperationType.CANCEL.value


class OrderTracker(orders.OrderTracker):
    """The package's tracker with place and track written in Python."""

    def place(
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
        book = self._book
        before = len(book)
        self._add_order(code, product_type, action, price, qty, price_type, order_type, order_cond, order_lot, oc_type)
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

    def track(self, report: Dict[str, Any]) -> bool:
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
        if order is None or order["status"] == "Failed":
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
