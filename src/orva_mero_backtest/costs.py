"""Trading costs of the Taiwan markets: broker commission, transaction taxes, contract sizes."""

from __future__ import annotations

import dataclasses
import functools
import inspect
import math
from dataclasses import dataclass, field
from typing import Dict, Mapping

from .modules.engine import engine as _engine

# Index futures (and the mini/micro contracts) by product root; TWD per index point.
DEFAULT_FUTURE_MULTIPLIERS: Dict[str, float] = {
    "TXF": 200.0,  # TAIEX futures
    "MXF": 50.0,  # mini TAIEX
    "TMF": 10.0,  # micro TAIEX
    "EXF": 4000.0,  # electronics sector
    "FXF": 1000.0,  # finance sector
}

# future_root(code): the product root of a futures code, "TXFR1" and "TXF202401" give "TXF" (the
# leading letters of code.upper(), at most three; the code itself when it has none).
future_root = _engine.future_root


# Futures margins per contract (TWD) by product root, as the futures exchange published them on
# 2025-12-08 (initial, maintenance). The exchange moves them with the market: a backtest of other
# days may set its own (future_margins.TXF=..., future_maintenance_margins.TXF=...).
DEFAULT_FUTURE_MARGINS: Dict[str, float] = {
    "TXF": 338_000.0, "MXF": 84_500.0, "TMF": 16_900.0, "EXF": 473_000.0, "FXF": 150_000.0,
}
DEFAULT_FUTURE_MAINTENANCE_MARGINS: Dict[str, float] = {
    "TXF": 259_000.0, "MXF": 64_750.0, "TMF": 12_950.0, "EXF": 363_000.0, "FXF": 115_000.0,
}


def is_etf(code: str) -> bool:
    """Whether a stock code is an exchange-traded fund's (the exchange numbers them 00xx)."""
    return code.startswith("00")


def _check_number(name: str, value: object) -> None:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value) or value < 0:
        raise ValueError(f"cost setting {name} must be a finite number >= 0, got {value!r}")


# --- the exchanges' tick-size ladders -------------------------------------------------------------

# Index futures by product root: price step in index points. Other futures (stock futures) step on the
# stock ladder.
FUTURE_TICK_SIZES: Dict[str, float] = {"TXF": 1.0, "MXF": 1.0, "TMF": 1.0, "EXF": 0.05, "FXF": 0.2}


def stock_tick_size(price: float, etf: bool = False) -> float:
    """Tick size of the stock exchange at ``price`` (ETFs trade on a finer ladder)."""
    if etf:
        return 0.01 if price < 50 else 0.05
    if price < 10:
        return 0.01
    if price < 50:
        return 0.05
    if price < 100:
        return 0.1
    if price < 500:
        return 0.5
    if price < 1000:
        return 1.0
    return 5.0


class TickLadder:
    """Moves a price one tick at a time on an instrument's ladder; prices stay on the exchange's grid."""

    def __init__(self, product_type: str, code: str) -> None:
        self.fixed = FUTURE_TICK_SIZES.get(future_root(code)) if product_type == "Future" else None
        self.etf = product_type == "Stock" and code.startswith("00")

    def size_above(self, price: float) -> float:
        return self.fixed if self.fixed is not None else stock_tick_size(price, self.etf)

    def size_below(self, price: float) -> float:
        # Stepping down from a ladder boundary uses the finer tick below it.
        return self.fixed if self.fixed is not None else stock_tick_size(price - 1e-9, self.etf)

    def up(self, price: float) -> float:
        return round(price + self.size_above(price), 2)

    def down(self, price: float) -> float:
        return round(price - self.size_below(price), 2)

    def snap(self, price: float) -> float:
        size = self.size_above(price)
        return round(round(price / size) * size, 2)

    def floor(self, price: float) -> float:
        size = self.size_below(price)
        return round(math.floor(round(price / size, 6)) * size, 2)

    def ceil(self, price: float) -> float:
        size = self.size_above(price)
        return round(math.ceil(round(price / size, 6)) * size, 2)


@dataclass
class CostSettings:
    """Costs charged per fill. Amounts are in TWD; rates are fractions of the traded value.

    A user may subclass it and override any cost method (``stock_shares``, ``stock_commission``,
    ``stock_tax``, ``future_multiplier``, ``future_commission``, ``future_tax``, ``slipped_price``),
    replace one on the class, or set one on an instance: the positions book calls the method the
    costs object has at each fill, and the settings are read from the object at each call.
    ``future_tax`` reads the multiplier through ``self.future_multiplier``. A replaced ``stock_tax`` is
    given the keywords ``code``, ``day_trade_shares`` and ``day`` when it takes them (by name or
    ``**kwargs``); one taking ``price, shares, is_sell`` only is called with those.
    """

    stock_commission_rate: float = 0.001425
    stock_commission_discount: float = 1.0  # e.g. 0.6 for a broker's 60% rebate
    stock_min_commission: float = 20.0
    stock_odd_lot_min_commission: float = 1.0
    stock_tax_rate: float = 0.003  # securities transaction tax, sells only
    # A sell netted against a same-day buy of the same stock (a day trade) pays this rate instead,
    # from day_trade_tax_from to day_trade_tax_until (YYYYMMDD, both included; the law's dates).
    stock_day_trade_tax_rate: float = 0.0015
    day_trade_tax_from: int = 20170428
    day_trade_tax_until: int = 20271231
    etf_tax_rate: float = 0.001  # ETF sells (codes 00xx), day trade or not
    stock_lot_size: int = 1000  # shares per board lot
    future_commission_per_contract: float = 50.0
    future_commission_by_root: Dict[str, float] = field(default_factory=dict)
    future_tax_rate: float = 0.00002  # futures transaction tax, both sides, on contract value
    future_multipliers: Dict[str, float] = field(default_factory=lambda: dict(DEFAULT_FUTURE_MULTIPLIERS))
    default_future_multiplier: float = 2000.0  # stock futures: 2,000 shares per contract
    # Margin per contract by product root (roots without an entry need none): an order needs the
    # initial margin; an account whose equity falls below the maintenance margin is closed out.
    future_margins: Dict[str, float] = field(default_factory=lambda: dict(DEFAULT_FUTURE_MARGINS))
    future_maintenance_margins: Dict[str, float] = field(
        default_factory=lambda: dict(DEFAULT_FUTURE_MAINTENANCE_MARGINS))
    # A short sale (order_cond="ShortSelling") holds this fraction of its value as margin.
    short_sale_margin_rate: float = 0.9
    # Each fill is booked this many ticks of the exchange's ladder worse than reported (0: as reported).
    slippage_ticks: int = 0

    def __post_init__(self) -> None:
        for f in dataclasses.fields(self):
            value = getattr(self, f.name)
            if isinstance(value, dict):
                for key, item in value.items():
                    _check_number(f"{f.name}[{key}]", item)
            else:
                _check_number(f.name, value)
        if self.stock_lot_size < 1:
            raise ValueError("cost setting stock_lot_size must be at least 1")
        if type(self.slippage_ticks) is not int:
            raise ValueError(f"cost setting slippage_ticks must be a whole number, got {self.slippage_ticks!r}")
        # A zero multiplier would book every futures fill as worth nothing.
        for key, item in self.future_multipliers.items():
            if item <= 0:
                raise ValueError(f"cost setting future_multipliers[{key}] must be above 0, got {item!r}")
        if self.default_future_multiplier <= 0:
            raise ValueError(f"cost setting default_future_multiplier must be above 0, got "
                             f"{self.default_future_multiplier!r}")

    # --- the cost rules ----------------------------------------------------------------------------
    # Written in C++ (engine/costs.cpp) and bound here as ordinary methods: help() shows each rule,
    # and calls from Python work as for any method. The positions book looks each one up on the
    # costs object at every fill and calls it through the object when it is not this class's own,
    # so a subclass's method, one replaced on the class or one set on an instance is what books
    # the fill. Amounts are truncated to whole dollars (math.floor(round(amount, 6)), the rounding
    # first so float noise such as 826.4999999 for 826.5 stays 826); futures tax rounds half up.

    stock_shares = _engine.cost_stock_shares  # (quantity, order_lot) -> shares
    stock_commission = _engine.cost_stock_commission  # (price, shares, odd_lot=False) -> TWD
    # (price, shares, is_sell, *, code="", day_trade_shares=0, day=0) -> TWD; day is YYYYMMDD
    stock_tax = _engine.cost_stock_tax
    future_multiplier = _engine.cost_future_multiplier  # (code) -> TWD per point
    future_commission = _engine.cost_future_commission  # (code, contracts) -> TWD
    future_tax = _engine.cost_future_tax  # (code, price, contracts) -> TWD

    def future_margin(self, code: str) -> float:
        """Initial margin of one contract of ``code`` (0 when its root has no entry)."""
        return self.future_margins.get(future_root(code), 0.0)

    def future_maintenance_margin(self, code: str) -> float:
        """Maintenance margin of one contract of ``code`` (0 when its root has no entry)."""
        return self.future_maintenance_margins.get(future_root(code), 0.0)

    def slipped_price(self, product_type: str, code: str, price: float, is_buy: bool) -> float:
        """The price a fill is booked at: ``slippage_ticks`` ticks worse than ``price`` (buys higher)."""
        ladder = TickLadder(product_type, code)
        for _ in range(self.slippage_ticks):
            price = ladder.up(price) if is_buy else max(ladder.down(price), ladder.size_below(price))
        return price

    # --- settings from text -----------------------------------------------------------------------

    @classmethod
    def from_overrides(cls, overrides: Mapping[str, str]) -> "CostSettings":
        """Settings from "name" -> "value" texts; "future_multipliers.TXF" sets one entry of a table."""
        fields = {f.name: f for f in dataclasses.fields(cls)}
        values: Dict[str, object] = {}
        defaults = cls()
        for key, text in overrides.items():
            name, _, entry = key.partition(".")
            if name not in fields:
                raise ValueError(f"unknown cost setting {name!r} (known: {', '.join(fields)})")
            try:
                number = float(text)
            except ValueError:
                raise ValueError(f"cost setting {key} needs a number, got {text!r}") from None
            if not math.isfinite(number):
                raise ValueError(f"cost setting {key} must be a finite number, got {text!r}")
            current = getattr(defaults, name)
            if isinstance(current, dict):
                if not entry:
                    raise ValueError(f"cost setting {name} is a table: give {name}.<ROOT>=<number>")
                table = values.setdefault(name, dict(current))
                table[entry.upper()] = number  # type: ignore[index]
            else:
                if entry:
                    raise ValueError(f"cost setting {name} is not a table")
                if isinstance(current, int) and number != int(number):
                    raise ValueError(f"cost setting {key} needs a whole number, got {text!r}")
                values[name] = int(number) if isinstance(current, int) else number
        return cls(**values)  # type: ignore[arg-type]


@functools.lru_cache(maxsize=64)
def _takes_tax_details_of(function: object) -> bool:
    try:
        parameters = inspect.signature(function).parameters.values()  # type: ignore[arg-type]
    except (TypeError, ValueError):
        return False
    names = {p.name for p in parameters if p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY)}
    return any(p.kind is p.VAR_KEYWORD for p in parameters) or {"code", "day_trade_shares", "day"} <= names


def _takes_tax_details(method: object) -> bool:
    """Whether a replaced ``stock_tax`` takes the ``code``, ``day_trade_shares`` and ``day`` keywords
    (one written before them takes ``price, shares, is_sell`` only and is called so)."""
    function = getattr(method, "__func__", method)
    try:
        return _takes_tax_details_of(function)
    except TypeError:  # not hashable
        return _takes_tax_details_of.__wrapped__(function)
