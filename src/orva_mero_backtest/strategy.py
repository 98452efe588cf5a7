"""What a trading strategy sees of a backtest: hooks it overrides and a context to trade through."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Union

from .constant import Action, OCType, OrderCond, OrderLot, OrderType, PriceType
from .errors import OrderRejected
from .modules.engine import engine as _engine

if TYPE_CHECKING:  # pragma: no cover
    from .driver import Backtest


class Strategy:
    """Base class of strategies. Override the hooks you need; each gets the context ``ctx`` first.

    Hook order per tick of the main range: the exchange matches the book against the tick, the strategy
    receives the resulting reports (``on_order`` / ``on_deal``), then ``on_tick``; orders placed there enter
    the book at once and meet the next tick of their instrument. Ticks of the backfill range reach
    ``on_tick`` only (``ctx.warming_up`` is true and orders are refused), followed by ``on_backfill_end``.
    """

    name = "strategy"
    # Parameter names and default values; __init__ refuses other names and converts to the default's type.
    defaults: Dict[str, Any] = {}

    def __init__(self, **params: Any) -> None:
        unknown = sorted(set(params) - set(self.defaults))
        if unknown:
            known = ", ".join(self.defaults) or "none"
            raise ValueError(f"{self.name} has no parameter {', '.join(unknown)} (parameters: {known})")
        self.params: Dict[str, Any] = dict(self.defaults)
        for key, value in params.items():
            self.params[key] = _convert(value, self.defaults[key], key)

    def on_start(self, ctx: "StrategyContext") -> None:
        """Before the first tick."""

    def on_tick(self, ctx: "StrategyContext", tick: Dict[str, Any]) -> None:
        """A tick dict: "code", "close", "qty", "timestamp", "market_type", "is_backfilling", ..."""

    def on_backfill_end(self, ctx: "StrategyContext") -> None:
        """The warm-up ticks are over; orders are accepted from now on."""

    def on_order(self, ctx: "StrategyContext", report: Dict[str, Any]) -> None:
        """An order report: entered, changed or cancelled (by the strategy or by IOC/FOK rules)."""

    def on_deal(self, ctx: "StrategyContext", deal: Dict[str, Any]) -> None:
        """A deal report: one fill."""

    def on_finish(self, ctx: "StrategyContext") -> None:
        """After the last tick."""


def _convert(value: Any, default: Any, key: str) -> Any:
    kind = type(default)
    if default is None or isinstance(value, kind) and not (kind is int and isinstance(value, bool)):
        return value
    try:
        if kind is bool:
            text = str(value).strip().lower()
            if text in ("1", "true", "yes", "on"):
                return True
            if text in ("0", "false", "no", "off"):
                return False
            raise ValueError
        return kind(value)
    except (TypeError, ValueError):
        raise ValueError(f"parameter {key} needs a {kind.__name__}, got {value!r}") from None


_ACTIONS = {a.value for a in Action}
_ORDER_TYPES = {t.value for t in OrderType}
_PRICE_TYPES = {t.value for t in PriceType}
# Enum members' .value is a Python-level descriptor on 3.10: read once, not per order.
_BUY, _SELL = Action.BUY.value, Action.SELL.value
_MKT, _LMT = PriceType.MKT.value, PriceType.LMT.value


class StrategyContext:
    """The strategy's handle on the running backtest: orders, positions, last prices, clock."""

    def __init__(self, backtest: "Backtest") -> None:
        self._bt = backtest
        # The backtest's order tracker's place(<order>, now) once it runs; until then the backtest refuses.
        self._place: Callable[..., str] = lambda *order: backtest._order_tracker().place(*order)
        self.warming_up = False
        self.now: Optional[float] = None  # timestamp (epoch seconds) of the tick being handled

    # --- orders -----------------------------------------------------------------------------------

    # buy, sell and place_order are native (engine.context_*): the same steps as the Python text below,
    # which they hand anything but plain str / int / float arguments and every refusal to.
    buy = _engine.context_buy
    sell = _engine.context_sell
    place_order = _engine.context_place_order

    def _buy(self, code: str, qty: int, price: Optional[float] = None, order_type: str = "ROD", **kwargs: Any) -> str:
        """Buy ``qty`` (board lots or contracts); a limit order at ``price``, a market order without one."""
        return self.place_order(code, _BUY, qty, price, order_type, **kwargs)

    def _sell(self, code: str, qty: int, price: Optional[float] = None, order_type: str = "ROD", **kwargs: Any) -> str:
        """Sell ``qty``, as buy does."""
        return self.place_order(code, _SELL, qty, price, order_type, **kwargs)

    def _place_order(
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
        """Places an order and returns its trade id. Market orders (no price, or price_type "MKT") fill at
        the close of the next tick of the instrument.

        ``qty`` is in board lots for stocks and contracts for futures, the unit of ``position()``. To trade
        odd lots, pass ``order_lot="IntradayOdd"`` (or ``"Odd"``): the quantity of such an order is in
        shares, as the exchange takes odd-lot orders, e.g. ``ctx.buy("2330", 300, 590.0,
        order_lot="IntradayOdd")`` buys 300 shares; ``position()`` then shows 0.3 lots."""
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

    def modify_order(self, trade_id: str, qty: Optional[int] = None, price: Optional[float] = None) -> bool:
        """Takes ``qty`` off the open quantity and/or moves the limit to ``price``; taking off the whole open
        quantity cancels the order. False when the order is no longer open (filled or cancelled)."""
        if self.warming_up:
            raise OrderRejected("orders are not accepted during the backfill warm-up")
        if qty is not None and (type(qty) is not int or qty <= 0):
            raise OrderRejected(f"quantity to take off must be a positive int, got {qty!r}")
        if price is not None and (isinstance(price, bool) or not price > 0):
            raise OrderRejected(f"new price must be above 0, got {price!r}")
        if qty is None and price is None:
            raise OrderRejected("modify_order needs a quantity or a price")
        return self._bt.submit_modify(trade_id, qty, None if price is None else float(price))

    def cancel_order(self, trade_id: str) -> bool:
        """False when the order is no longer open (filled or cancelled)."""
        if self.warming_up:
            raise OrderRejected("orders are not accepted during the backfill warm-up")
        return self._bt.submit_cancel(trade_id)

    # --- state ------------------------------------------------------------------------------------

    def position(self, code: str) -> Union[int, float]:
        """Net position in the unit orders use: board lots for stocks, contracts for futures; negative
        when short. An int, unless odd-lot shares are held: then a fraction of a lot (1.5 = 1,500 shares
        with 1,000-share lots). ``shares()`` gives the exact number of shares."""
        held = self._bt.positions.position(code)
        if self._bt.markets.get(code) != "Stock":
            return held
        lot = self._bt.positions.costs.stock_lot_size
        return held // lot if held % lot == 0 else held / lot

    def shares(self, code: str) -> int:
        """Net position of a stock in shares (of a future: in contracts)."""
        return self._bt.positions.position(code)

    def last_price(self, code: str) -> Optional[float]:
        return self._bt.last_price(code)

    def open_orders(self, code: Optional[str] = None) -> List[Dict[str, Any]]:
        """Orders still in the book, oldest first: trade_id, code, action, price, quantity, ..."""
        return self._bt.open_orders(code)

    @property
    def instruments(self) -> Dict[str, str]:
        """Instrument code -> market ("Stock" or "Future") of this backtest."""
        return dict(self._bt.markets)

    @property
    def positions(self):
        """The positions book (P&L, costs, fills)."""
        return self._bt.positions


_engine.context_register(
    (StrategyContext, globals(), StrategyContext._buy, StrategyContext._sell, StrategyContext._place_order)
)
