"""The positions book and its cost rules as plain Python: the model the native book is tested against.

``ReferencePositions`` has the public surface of ``Positions`` and books a fill step for step as
its documentation says; ``ReferenceCosts`` is ``CostSettings`` with every cost rule written out in
Python. Both are slow and meant for tests only.
"""

from __future__ import annotations

import datetime
import math
import re
from typing import Any, Dict, List, Optional

from orva_mero_backtest.constant import Action, OrderLot
from orva_mero_backtest.costs import CostSettings, _takes_tax_details
from orva_mero_backtest.modules.positions.positions import InstrumentPosition

_BUY = Action.BUY.value
_COMMON_LOT = OrderLot.COMMON.value
_ODD_LOTS = (OrderLot.ODD.value, OrderLot.INTRADAY_ODD.value)
_ROOT = re.compile(r"[A-Z]+")


def future_root(code: str) -> str:
    match = _ROOT.match(code.upper())
    return match.group(0)[:3] if match else code


def _floor(amount: float) -> int:
    return math.floor(round(amount, 6))


def _round_half_up(amount: float) -> int:
    return math.floor(round(amount, 6) + 0.5)


class ReferenceCosts(CostSettings):
    """CostSettings with its cost rules as Python text."""

    def stock_shares(self, quantity, order_lot):
        if order_lot in _ODD_LOTS:
            return quantity
        return quantity * self.stock_lot_size

    def future_multiplier(self, code):
        return self.future_multipliers.get(future_root(code), self.default_future_multiplier)

    def stock_commission(self, price, shares, odd_lot=False):
        if shares == 0:
            return 0
        fee = _floor(price * shares * self.stock_commission_rate * self.stock_commission_discount)
        minimum = self.stock_odd_lot_min_commission if odd_lot else self.stock_min_commission
        return max(fee, int(minimum))

    def stock_tax(self, price, shares, is_sell, *, code="", day_trade_shares=0, day=0):
        if not is_sell:
            return 0
        if code.startswith("00"):
            return _floor(price * shares * self.etf_tax_rate)
        if day_trade_shares and self.day_trade_tax_from <= day <= self.day_trade_tax_until:
            tax = _floor(price * day_trade_shares * self.stock_day_trade_tax_rate)
            rest = shares - day_trade_shares
            return tax + _floor(price * rest * self.stock_tax_rate) if rest else tax
        return _floor(price * shares * self.stock_tax_rate)

    def future_commission(self, code, contracts):
        per_contract = self.future_commission_by_root.get(future_root(code), self.future_commission_per_contract)
        return per_contract * contracts

    def future_tax(self, code, price, contracts):
        return _round_half_up(price * self.future_multiplier(code) * contracts * self.future_tax_rate)


def _text(action: Any) -> str:
    return str.__str__(action) if isinstance(action, str) else str(action)


class ReferencePositions:
    """Positions as Python text."""

    def __init__(self, costs: Optional[CostSettings] = None) -> None:
        self.costs = costs if costs is not None else ReferenceCosts()
        self.trade_records: List[Dict[str, Any]] = []
        self.net_positions: Dict[str, int] = {}
        self.last_ticks: Dict[str, Dict[str, Any]] = {}
        self.book: Dict[str, InstrumentPosition] = {}
        self.fills: List[Dict[str, Any]] = []
        self.day_trades: Dict[str, tuple] = {}

    def set_current_tick(self, tick):
        code = tick["code"]
        self.last_ticks[code] = tick
        entry = self.book.get(code)
        if entry is not None:
            entry.last_price = tick["close"]

    def add_trade_record(self, trade_id, code, action, quantity, price, timestamp, trade_status):
        self.trade_records.append({"trade_id": trade_id, "code": code, "action": action, "quantity": quantity,
                                   "price": price, "timestamp": timestamp, "trade_status": trade_status})

    def set_positions(self, trade, product_type):
        code = trade["code"]
        quantity = trade["quantity"]
        if not quantity:
            return
        exchange_price = float(trade["price"])
        is_buy = trade["action"] == _BUY
        costs = self.costs
        price = costs.slipped_price(product_type, code, exchange_price, is_buy) if costs.slippage_ticks else exchange_price
        if product_type == "Stock":
            order_lot = trade.get("order_lot", _COMMON_LOT)
            units = costs.stock_shares(quantity, order_lot)
            odd = order_lot in _ODD_LOTS
            commission = costs.stock_commission(price, units, odd_lot=odd)
            day_trade, ymd = self._net_same_day(code, trade.get("exchange_ts"), is_buy, units)
            if _takes_tax_details(costs.stock_tax):
                tax = costs.stock_tax(price, units, not is_buy, code=code, day_trade_shares=day_trade, day=ymd)
            else:  # written before the day-trade and ETF rates
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
        self.fills.append({
            "trade_id": trade["trade_id"], "timestamp": trade.get("exchange_ts"), "code": code,
            "product_type": product_type, "action": _text(trade["action"]), "quantity": quantity, "units": units,
            "price": price, "exchange_price": exchange_price, "commission": commission, "tax": tax,
            "realized_pnl": realized, "position": entry.quantity, "avg_price": entry.avg_price,
        })

    def _net_same_day(self, code, timestamp, is_buy, units):
        """Nets a stock fill against the other side's fills of its day: (day-trade shares, YYYYMMDD)."""
        if timestamp is None or not math.isfinite(timestamp) or abs(timestamp) > 1e15:
            return 0, 0
        day = math.floor(timestamp / 86400.0)
        date = datetime.date(1970, 1, 1) + datetime.timedelta(days=day)
        was_day, bought, sold = self.day_trades.get(code, (None, 0, 0))
        if was_day != day:
            bought = sold = 0
        if is_buy:
            netted = min(sold, units)
            sold, bought = sold - netted, bought + units - netted
        else:
            netted = min(bought, units)
            bought, sold = bought - netted, sold + units - netted
        self.day_trades[code] = (day, bought, sold)
        return (0 if is_buy else netted), date.year * 10000 + date.month * 100 + date.day

    @staticmethod
    def _apply_fill(entry, signed_units, price):
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
            entry.avg_price = price
        return realized

    def equity(self):
        total = 0.0
        for e in self.book.values():
            total += e.realized_pnl - e.commission - e.tax
            if e.quantity and e.last_price is not None:
                total += (e.last_price - e.avg_price) * e.quantity * e.point_value
        return total

    def position(self, code):
        entry = self.book.get(code)
        return entry.quantity if entry is not None else 0

    @property
    def realized_pnl(self):
        return sum(e.realized_pnl for e in self.book.values())

    @property
    def unrealized_pnl(self):
        return sum(e.unrealized_pnl for e in self.book.values())

    @property
    def commission(self):
        return sum(e.commission for e in self.book.values())

    @property
    def tax(self):
        return sum(e.tax for e in self.book.values())

    def summary(self):
        return [e.as_dict() for e in self.book.values()]
