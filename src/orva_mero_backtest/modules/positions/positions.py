"""Positions book fed by the simulated exchange: net position, average cost, P&L and costs per instrument."""

from __future__ import annotations

from dataclasses import asdict, dataclass
from typing import Any, Dict, List, Optional, Tuple

from ...costs import CostSettings
from ..engine import engine as _engine


@dataclass
class InstrumentPosition:
    """One instrument's book. ``quantity`` is signed: shares for stocks, contracts for futures."""

    code: str
    product_type: str
    point_value: float  # TWD per unit of price per unit of quantity
    quantity: int = 0
    avg_price: float = 0.0
    last_price: Optional[float] = None
    realized_pnl: float = 0.0  # before costs
    commission: float = 0.0
    tax: float = 0.0
    bought: int = 0
    sold: int = 0
    fills: int = 0

    @property
    def unrealized_pnl(self) -> float:
        if self.quantity == 0 or self.last_price is None:
            return 0.0
        return (self.last_price - self.avg_price) * self.quantity * self.point_value

    @property
    def net_pnl(self) -> float:
        return self.realized_pnl + self.unrealized_pnl - self.commission - self.tax

    def as_dict(self) -> Dict[str, Any]:
        row = asdict(self)
        row["unrealized_pnl"] = self.unrealized_pnl
        row["net_pnl"] = self.net_pnl
        return row


class Positions:
    """Records every trade record and keeps, per instrument, the position with its average cost and P&L.

    A fill's ``price`` is the price it is booked at: the exchange's price (``exchange_price``) moved
    ``costs.slippage_ticks`` ticks against the trader; both are the same without slippage.

    Average-cost accounting: adding to a position blends the average price; reducing it realizes
    (fill price - average) x closed quantity x point value and keeps the average; a fill that crosses
    zero closes the old side and opens the rest at the fill price. Quantities are whole numbers.

    The exchange calls ``set_current_tick``, ``add_trade_record`` and ``set_positions``, and the driver
    ``equity``: they are written in C++ (engine/positions.cpp) and looked up on the book at every
    call, so a subclass that overrides one (and calls ``super()``) changes what a backtest books.
    The costs of a fill are the ``costs`` object's methods, looked up on it at every fill: a
    ``CostSettings`` subclass, a method replaced on the class or set on the instance, or a new
    ``costs`` object takes effect from the next fill. New entries are made from this module's
    ``InstrumentPosition`` as it is when the instrument's first fill comes; their fields are read and
    written in their ``__dict__`` unless the entry's class (as it is at that call) puts a property or
    another data descriptor, or its own attribute access, in front of one.
    """

    def __init__(self, costs: Optional[CostSettings] = None) -> None:
        self.costs = costs if costs is not None else CostSettings()
        self.trade_records: List[Dict[str, Any]] = []
        self.net_positions: Dict[str, int] = {}
        self.last_ticks: Dict[str, Dict[str, Any]] = {}
        self.book: Dict[str, InstrumentPosition] = {}
        self.fills: List[Dict[str, Any]] = []
        # code -> (day number, shares bought, shares sold) of the stock's fills that day not yet netted
        # against the other side: a sell netted against a same-day buy is a day trade (its tax rate).
        self.day_trades: Dict[str, Tuple[int, int, int]] = {}

    # --- called by the exchange and the driver (engine/positions.cpp) ------------------------------

    set_current_tick = _engine.book_set_current_tick  # (tick): the mark of the tick's instrument
    # (trade_id, code, action, quantity, price, timestamp, trade_status): appends to trade_records
    add_trade_record = _engine.book_add_trade_record
    set_positions = _engine.book_set_positions  # (trade, product_type): books one fill
    equity = _engine.book_equity  # (): realized + unrealized - commission - tax

    # --- read side --------------------------------------------------------------------------------

    def position(self, code: str) -> int:
        entry = self.book.get(code)
        return entry.quantity if entry is not None else 0

    @property
    def realized_pnl(self) -> float:
        return sum(e.realized_pnl for e in self.book.values())

    @property
    def unrealized_pnl(self) -> float:
        return sum(e.unrealized_pnl for e in self.book.values())

    @property
    def commission(self) -> float:
        return sum(e.commission for e in self.book.values())

    @property
    def tax(self) -> float:
        return sum(e.tax for e in self.book.values())

    def summary(self) -> List[Dict[str, Any]]:
        return [e.as_dict() for e in self.book.values()]
