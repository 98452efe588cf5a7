"""StrategyContext's order methods as plain Python: the model the native buy / sell / place_order
(modules/engine/context.cpp) are tested against."""

from typing import Any, Optional

from orva_mero_backtest import strategy
from orva_mero_backtest.constant import Action, OCType, OrderCond, OrderLot, OrderType, PriceType
from orva_mero_backtest.strategy import OrderRejected

_ACTIONS = {a.value for a in Action}
_ORDER_TYPES = {t.value for t in OrderType}
_PRICE_TYPES = {t.value for t in PriceType}
_BUY, _SELL = Action.BUY.value, Action.SELL.value
_MKT, _LMT = PriceType.MKT.value, PriceType.LMT.value


class StrategyContext(strategy.StrategyContext):
    """The package's context with its order methods written in Python (same name, so that argument
    errors read the same)."""

    def buy(self, code: str, qty: int, price: Optional[float] = None, order_type: str = "ROD", **kwargs: Any) -> str:
        return self.place_order(code, _BUY, qty, price, order_type, **kwargs)

    def sell(self, code: str, qty: int, price: Optional[float] = None, order_type: str = "ROD", **kwargs: Any) -> str:
        return self.place_order(code, _SELL, qty, price, order_type, **kwargs)

    def place_order(
        self,
        code: str,
        action: str,
        qty: int,
        price: Optional[float] = None,
        order_type: str = "ROD",
        price_type: Optional[str] = None,
        order_cond: str = OrderCond.CASH.value,
        order_lot: str = OrderLot.COMMON.value,
        oc_type: str = OCType.AUTO.value,
    ) -> str:
        if self.warming_up:
            raise OrderRejected("orders are not accepted during the backfill warm-up")
        product_type = self._bt.market_of(code)
        action, order_type = str(action), str(order_type)
        if action not in _ACTIONS:
            raise OrderRejected(f"unknown action {action!r} (use {', '.join(sorted(_ACTIONS))})")
        if order_type not in _ORDER_TYPES:
            raise OrderRejected(f"unknown order type {order_type!r} (use ROD, IOC or FOK)")
        if price_type is None:
            price_type = _MKT if price is None else _LMT
        price_type = str(price_type)
        if price_type not in _PRICE_TYPES:
            raise OrderRejected(f"unknown price type {price_type!r} (use {', '.join(sorted(_PRICE_TYPES))})")
        if type(qty) is not int or qty <= 0:
            raise OrderRejected(f"order quantity must be a positive int, got {qty!r}")
        if price_type == _LMT:
            if price is None or isinstance(price, bool) or not price > 0:
                raise OrderRejected(f"a limit order needs a price above 0, got {price!r}")
        limit = float(price) if price is not None else 0.0
        return self._place(
            code, product_type, action, limit, qty, price_type, order_type, str(order_cond), str(order_lot),
            str(oc_type), self.now,
        )
