"""What a trading strategy sees of a backtest: hooks it overrides and a context to trade through."""

from __future__ import annotations

from datetime import datetime, timedelta, timezone
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Union

from .errors import OrderRejected
from .modules.engine import engine as _engine

if TYPE_CHECKING:  # pragma: no cover
    from .driver import Backtest


class Strategy:
    """Base class of strategies: subclass it and override the hooks you need; each gets the context
    ``ctx`` (a ``StrategyContext``: orders, positions, prices, time) first.

        class MyStrategy(Strategy):
            defaults = {"qty": 1, "stop": 20.0}      # parameters and their default values

            def on_tick(self, ctx, tick):
                if ctx.warming_up or ctx.position(tick["code"]) or ctx.open_orders(tick["code"]):
                    return
                ctx.bracket(tick["code"], "Buy", self.params["qty"], stop_loss=tick["close"] - self.params["stop"])

    Per tick of the main range the exchange first matches its book against the tick, held stops are
    tested against its price, the resulting reports reach ``on_order`` / ``on_deal``, then ``on_tick``
    runs; orders placed there enter the book at once and meet the next tick of their instrument.
    Warm-up ticks (``ctx.warming_up`` true) reach ``on_tick`` only and orders are refused; then
    ``on_backfill_end`` runs. ``on_start`` comes before the first tick, ``on_finish`` after the last.

    ``MyStrategy(qty=2)`` (or ``--param qty=2``) sets parameters: ``self.params`` holds them all,
    converted to the type of their default; other names are refused. ``name`` is what reports call
    the strategy (the class name when not set).
    """

    # What reports and errors call the strategy; a subclass without one is called by its class name.
    name = "Strategy"
    _name_from_class = True
    # Parameter names and default values; __init__ refuses other names and converts to the default's type.
    defaults: Dict[str, Any] = {}

    def __init_subclass__(cls, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        if "name" in vars(cls):
            cls._name_from_class = False
        elif cls._name_from_class:
            cls.name = cls.__name__

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
        what = {"int": "an int (whole number)", "float": "a number", "bool": "true or false", "str": "a text"}
        raise ValueError(f"parameter {key} needs {what.get(kind.__name__, 'a ' + kind.__name__)}, got {value!r}") from None




class StrategyContext:
    """What a strategy trades through, handed to every hook as ``ctx``.

    Orders: ``buy``, ``sell``, ``place_order`` (at the exchange), ``place_stop``, ``bracket``, ``oco``
    (held by the backtest until a trade price reaches them), ``modify_order``, ``cancel_order``,
    ``open_orders``. Quantities are in board lots for stocks and contracts for futures (shares for
    odd-lot orders). State: ``position``, ``shares``, ``last_price``, ``instruments``, ``positions``.
    Time: ``now`` (the tick's timestamp: Taipei wall-clock seconds written as epoch time) and ``time``
    (the same as an aware datetime in Asia/Taipei); ``warming_up`` is true during the warm-up, when
    every order request is refused. An invalid request raises ``OrderRejected`` with the reason; an
    order the exchange's rules refuse (market_rules) still gets its trade id, whose ``order(trade_id)``
    reads status "Failed" with the "reason" at once, and its failure report reaches ``on_order``.
    """

    # buy, sell and place_order are native (engine.context_*). A subclass or an instance may replace
    # place_order (buy and sell then call it), and a Backtest subclass its market_of; what is replaced
    # is looked at when the context is made and when a run starts (_prepare), and honoured on every
    # call until the next look.

    def __init__(self, backtest: "Backtest") -> None:
        self._bt = backtest
        # The backtest's order tracker's place(<order>, now) once it runs; until then the backtest refuses.
        self._place: Callable[..., str] = lambda *order: backtest._order_tracker().place(*order)
        self.warming_up = False
        self.now: Optional[float] = None  # timestamp (epoch seconds) of the tick being handled
        self._prepare()

    def _prepare(self) -> None:
        """Decides what the native order methods may take as the package's own (context.cpp reads
        ``_plan``): place_order not replaced (1), the backtest's own market_of and markets (2), the
        context's attributes in its ``__dict__`` (4)."""
        cls, bt = type(self), self._bt
        plan = 0
        if getattr(cls, "place_order", None) is _PLACE_ORDER and "place_order" not in vars(self):
            plan |= _OWN_PLACE_ORDER
        # The backtest says whether its market_of and markets are the driver's own.
        own_market_of = getattr(bt, "_reads_own_markets", None)
        if own_market_of is not None and own_market_of():
            plan |= _OWN_MARKET_OF
        if cls.__getattribute__ is object.__getattribute__ and not any(hasattr(cls, n) for n in _ATTRIBUTES):
            plan |= _PLAIN_ATTRIBUTES
        self._plan = plan

    # --- orders -----------------------------------------------------------------------------------

    buy = _engine.context_buy
    sell = _engine.context_sell
    place_order = _engine.context_place_order

    def modify_order(self, trade_id: str, qty: Optional[int] = None, price: Optional[float] = None,
                     stop: Optional[float] = None) -> bool:
        """Takes ``qty`` off the open quantity and/or moves the limit to ``price``; taking off the whole open
        quantity cancels the order. For a held stop (``stop-N``), ``stop`` moves its stop price. False when
        the order is no longer open (filled or cancelled). With a cancel latency (``latency=(entry,
        cancel)``) True means the request was sent: it takes effect later, and on_order gets the
        exchange's answer (``operation_status_code`` 0401/0402 of ``market_rules.Failure`` when the order was no longer
        open by then)."""
        if self.warming_up:
            raise OrderRejected("orders are not accepted during the backfill warm-up")
        if qty is not None and (type(qty) is not int or qty <= 0):
            raise OrderRejected(f"quantity to take off must be a positive int, got {qty!r}")
        if price is not None and (isinstance(price, bool) or not price > 0):
            raise OrderRejected(f"new price must be above 0, got {price!r}")
        if qty is None and price is None and stop is None:
            raise OrderRejected("modify_order needs a quantity, a price or a stop price")
        stops = self._held(trade_id)
        if stops is not None:
            return stops.modify(trade_id, qty, None if price is None else float(price), stop)
        if stop is not None:
            raise OrderRejected(f"{trade_id!r} is not a stop order: it has no stop price")
        return self._bt.submit_modify(trade_id, qty, None if price is None else float(price))

    def cancel_order(self, trade_id: str) -> bool:
        """Cancels an order or a held stop. False when it is no longer open (filled or cancelled). With a
        cancel latency, True means the cancel was sent (see ``modify_order``); a held stop is cancelled
        at once."""
        if self.warming_up:
            raise OrderRejected("orders are not accepted during the backfill warm-up")
        stops = self._held(trade_id)
        if stops is not None:
            return stops.cancel(trade_id)
        return self._bt.submit_cancel(trade_id)

    # --- orders the backtest holds until the market reaches them --------------------------------

    def place_stop(self, code: str, action: str, qty: int, stop: Optional[float] = None,
                   limit: Optional[float] = None, trail: Optional[float] = None,
                   trail_percent: Optional[float] = None, order_type: str = "ROD") -> str:
        """Holds a stop order until a trade price reaches ``stop``, then sends it: a market order, or a
        limit order at ``limit`` (a stop-limit). A sell stop triggers at a trade at or below ``stop``, a
        buy stop at or above. ``trail`` (points) or ``trail_percent`` instead of ``stop`` makes a
        trailing stop that follows the best trade price since it was placed. ``qty`` is in lots or
        contracts, as for ``buy``. Returns its id ("stop-1", ...), which ``cancel_order`` and
        ``modify_order`` take. The exchange sees nothing of it until it triggers; the order it then sends
        fills at the next trade, so after a gap through the stop it fills at that price, not at the stop."""
        return self._stop_book().place(code, str(action), qty, stop, limit, trail, trail_percent, str(order_type))

    def bracket(self, code: str, action: str, qty: int, price: Optional[float] = None,
                take_profit: Optional[float] = None, stop_loss: Optional[float] = None,
                trail: Optional[float] = None, trail_percent: Optional[float] = None,
                order_type: str = "ROD") -> str:
        """An entry order (as ``place_order``: a limit at ``price``, a market order without one) with a
        take-profit limit at ``take_profit`` and a stop loss at ``stop_loss`` (or trailing by ``trail``
        points / ``trail_percent``) attached. Once the entry is filled (or cancelled after a part fill)
        both exits go live for what it filled; a fill of one takes as much off the other, so one filling
        cancels the other. Returns the entry's trade id; ``open_orders`` shows the exits."""
        return self._stop_book().bracket(code, str(action), qty, price, take_profit, stop_loss, trail,
                                         trail_percent, str(order_type))

    def oco(self, first: str, second: str) -> None:
        """Links two open orders (trade ids or held stop ids) one-cancels-other: a fill of one takes as
        much off the other, so one filling in full cancels the other."""
        self._stop_book().oco(first, second)

    def _stop_book(self):
        if self.warming_up:
            raise OrderRejected("orders are not accepted during the backfill warm-up")
        stops = self._bt._stops
        if stops is None:
            raise OrderRejected("orders are accepted only while the backtest runs")
        return stops

    def _held(self, trade_id: str):
        stops = getattr(self._bt, "_stops", None)
        if stops is not None and trade_id in stops.records:
            return stops
        return None

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

    def order(self, trade_id: str) -> Optional[Dict[str, Any]]:
        """The record of an order placed in this run (a copy; None for an unknown trade id): trade_id,
        code, action, price, quantity, open_qty, filled_qty, avg_fill_price, cancelled_qty, status
        ("Open", "PartFilled", "Filled", "Cancelled", or "Failed" for an order the exchange's rules
        refused, which also carries "reason", "status_code" and "message"), placed_ts, updated_ts.
        Right after ``buy`` / ``sell`` / ``place_order`` it tells whether the exchange took the order."""
        record = self._bt.orders.get(trade_id)
        if record is None:
            return None
        row = dict(record)
        row.pop("_fill_value", None)
        return row

    def open_orders(self, code: Optional[str] = None) -> List[Dict[str, Any]]:
        """Orders still open, oldest first: those at the exchange (trade_id, code, action, price,
        quantity, open_qty, filled_qty, status "Open" or "PartFilled", ...), then the stops the backtest
        holds (trade_id "stop-N", kind "stop", "stop-limit", "trailing stop" or "take-profit", stop,
        limit, quantity, status "Held", or "Waiting" for a bracket's exits before its entry fills)."""
        orders = self._bt.open_orders(code)
        stops = getattr(self._bt, "_stops", None)
        if stops is not None and stops.records:
            orders.extend(stops.open_orders(code))
        return orders

    @property
    def time(self) -> Optional[datetime]:
        """The time of the tick being handled as an aware datetime in Asia/Taipei (None before the
        first tick). ``now`` and ``tick["timestamp"]`` are the same moment as Taipei wall-clock
        seconds written as epoch time: ``taipei_time(tick["timestamp"])`` converts one."""
        now = self.now
        return None if now is None else taipei_time(now)

    @property
    def instruments(self) -> Dict[str, str]:
        """Instrument code -> market ("Stock" or "Future") of this backtest."""
        return dict(self._bt.markets)

    @property
    def positions(self):
        """The positions book (P&L, costs, fills)."""
        return self._bt.positions


def _taipei_zone():
    try:
        from zoneinfo import ZoneInfo

        return ZoneInfo("Asia/Taipei")
    except Exception:  # no time zone data on this machine: Taipei has kept UTC+8 since 1979
        return timezone(timedelta(hours=8), "Asia/Taipei")


TAIPEI = _taipei_zone()


def taipei_time(timestamp: float) -> datetime:
    """A tick timestamp (Taipei wall-clock seconds written as epoch time) as an aware datetime in
    Asia/Taipei: ``taipei_time(tick["timestamp"]).hour`` is 9 for a tick at 09:00 in Taipei."""
    return datetime.fromtimestamp(timestamp, timezone.utc).replace(tzinfo=TAIPEI)


_PLACE_ORDER = _engine.context_place_order
# The bits of StrategyContext._plan, as context.cpp reads them.
_OWN_PLACE_ORDER, _OWN_MARKET_OF, _PLAIN_ATTRIBUTES = 1, 2, 4
_ATTRIBUTES = ("_bt", "_place", "warming_up", "now", "_plan")
