"""Positions book fed by the simulated exchange: net position, average cost, P&L and costs per instrument."""

from __future__ import annotations

from dataclasses import asdict, dataclass
from typing import Any, Dict, List, Optional

from ... import costs as _costs
from ...constant import Action, OrderLot
from ...costs import CostSettings
from ..engine import engine as _engine

# Enum members' .value is a Python-level descriptor on 3.10: read once, not per fill.
_BUY = Action.BUY.value
_COMMON_LOT = OrderLot.COMMON.value
_ODD_LOTS = (OrderLot.ODD.value, OrderLot.INTRADAY_ODD.value)


def _text(action: Any) -> str:
    """str(action); an Action member's text without its Python-level __str__."""
    return str.__str__(action) if type(action) is Action else str(action)


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
    zero closes the old side and opens the rest at the fill price.
    """

    def __init__(self, costs: Optional[CostSettings] = None) -> None:
        self.costs = costs if costs is not None else CostSettings()
        self.trade_records: List[Dict[str, Any]] = []
        self.net_positions: Dict[str, int] = {}
        self.last_ticks: Dict[str, Dict[str, Any]] = {}
        self.book: Dict[str, InstrumentPosition] = {}
        self.fills: List[Dict[str, Any]] = []

    # --- called by the exchange -------------------------------------------------------------------

    def _set_current_tick(self, tick: Dict[str, Any]) -> None:
        code = tick["code"]
        self.last_ticks[code] = tick
        entry = self.book.get(code)
        if entry is not None:
            entry.last_price = tick["close"]

    def _add_trade_record(self, trade_id, code, action, quantity, price, timestamp, trade_status) -> None:
        self.trade_records.append(
            {
                "trade_id": trade_id,
                "code": code,
                "action": action,
                "quantity": quantity,
                "price": price,
                "timestamp": timestamp,
                "trade_status": trade_status,
            }
        )

    # The exchange calls these on every tick and fill: the same steps as their Python text, in C
    # (book.cpp), which calls a replaced or overridden cost method, helper or _apply_fill instead.
    set_current_tick = _engine.book_set_current_tick
    add_trade_record = _engine.book_add_trade_record
    set_positions = _engine.book_set_positions

    def _set_positions(self, trade: Dict[str, Any], product_type: str) -> None:
        """Books one fill (the exchange's deal copy of the order)."""
        code = trade["code"]
        quantity = trade["quantity"]
        if not quantity:
            return  # an order emptied by a modification can still "fill" 0; nothing changes hands
        exchange_price = float(trade["price"])
        is_buy = trade["action"] == _BUY
        costs = self.costs
        # Booked (and charged) at the slipped price; the exchange's own report keeps its price.
        price = costs.slipped_price(product_type, code, exchange_price, is_buy) if costs.slippage_ticks else exchange_price
        if product_type == "Stock":
            order_lot = trade.get("order_lot", _COMMON_LOT)
            units = costs.stock_shares(quantity, order_lot)
            odd = order_lot in _ODD_LOTS
            commission = costs.stock_commission(price, units, odd_lot=odd)
            tax = costs.stock_tax(price, units, is_sell=not is_buy)
        elif product_type == "Future":
            units = quantity
            commission = costs.future_commission(code, units)
            tax = costs.future_tax(code, price, units) if units else 0
        else:
            raise ValueError(f"unsupported product type {product_type!r} for {code}")

        entry = self.book.get(code)
        if entry is None:
            point_value = 1.0 if product_type == "Stock" else costs.future_multiplier(code)
            entry = self.book[code] = InstrumentPosition(code, product_type, point_value)
            tick = self.last_ticks.get(code)
            entry.last_price = tick["close"] if tick is not None else price

        realized = self._apply_fill(entry, units if is_buy else -units, price)
        entry.commission += commission
        entry.tax += tax
        entry.fills += 1
        if is_buy:
            entry.bought += units
        else:
            entry.sold += units
        self.net_positions[code] = entry.quantity
        self.fills.append(
            {
                "trade_id": trade["trade_id"],
                "timestamp": trade.get("exchange_ts"),
                "code": code,
                "product_type": product_type,
                "action": _text(trade["action"]),
                "quantity": quantity,
                "units": units,
                "price": price,
                "exchange_price": exchange_price,
                "commission": commission,
                "tax": tax,
                "realized_pnl": realized,
                "position": entry.quantity,
                "avg_price": entry.avg_price,
            }
        )

    @staticmethod
    def _apply_fill(entry: InstrumentPosition, signed_units: int, price: float) -> float:
        held = entry.quantity
        if held == 0 or (held > 0) == (signed_units > 0):
            total = abs(held) + abs(signed_units)
            if total:
                entry.avg_price = (entry.avg_price * abs(held) + price * abs(signed_units)) / total
            entry.quantity = held + signed_units
            return 0.0
        closed = min(abs(held), abs(signed_units))
        direction = 1 if held > 0 else -1
        realized = (price - entry.avg_price) * closed * direction * entry.point_value
        entry.realized_pnl += realized
        entry.quantity = held + signed_units
        if entry.quantity == 0:
            entry.avg_price = 0.0
        elif (entry.quantity > 0) != (held > 0):
            entry.avg_price = price  # crossed zero: the rest is a new position
        return realized

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

    def _equity(self) -> float:
        """Profit since the start: realized + unrealized - commission - tax."""
        total = 0.0
        for e in self.book.values():
            total += e.realized_pnl - e.commission - e.tax
            if e.quantity and e.last_price is not None:
                total += (e.last_price - e.avg_price) * e.quantity * e.point_value
        return total

    # Called after every fill and every sample: the same sums as _equity above, in C.
    equity = _engine.book_equity

    def summary(self) -> List[Dict[str, Any]]:
        return [e.as_dict() for e in self.book.values()]


# What the native methods compare against to know that the code they stand for is still in place.
_engine.book_register(
    (
        Positions, InstrumentPosition, CostSettings, globals(), vars(_costs),
        Positions.__dict__["_apply_fill"], _text,
        CostSettings.stock_shares, CostSettings.stock_commission, CostSettings.stock_tax,
        CostSettings.future_commission, CostSettings.future_tax, CostSettings.future_multiplier,
        CostSettings.slipped_price,
        _costs._floor, _costs._round_half_up, _costs.future_root, _costs._ROOT,
        Positions._set_positions, Positions._equity, Positions._add_trade_record, Positions._set_current_tick,
    )
)
