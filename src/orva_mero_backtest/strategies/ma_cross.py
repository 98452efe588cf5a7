"""Moving-average cross on minute bars: long while the fast average is above the slow one."""

from __future__ import annotations

import math
from typing import Any, Dict

from ..strategy import Strategy, StrategyContext
from .bars import BarSeries


class MovingAverageCross(Strategy):
    """Buys ``qty`` (lots or contracts) when the fast average of bar closes crosses above the slow one
    and sells out when it crosses below. Entries and exits are ROD limit orders at the last price; an
    order still open when the next bar completes is moved to the new last price."""

    name = "ma_cross"
    defaults = {"fast": 10, "slow": 30, "qty": 1, "bar_seconds": 60}

    def __init__(self, **params: Any) -> None:
        super().__init__(**params)
        if not 1 <= self.params["fast"] < self.params["slow"]:
            raise ValueError("ma_cross needs 1 <= fast < slow")
        if self.params["qty"] < 1 or self.params["bar_seconds"] < 1:
            raise ValueError("ma_cross needs qty >= 1 and bar_seconds >= 1")
        self.bars: Dict[str, BarSeries] = {}
        self.signal: Dict[str, int] = {}  # +1 long wanted, 0 flat wanted

    def on_tick(self, ctx: StrategyContext, tick: Dict[str, Any]) -> None:
        code = tick["code"]
        series = self.bars.get(code)
        if series is None:
            series = self.bars[code] = BarSeries(self.params["bar_seconds"], self.params["slow"])
        if not series.update(tick["timestamp"], tick["close"], tick["qty"]):
            return
        closes = series.closes()
        slow_n, fast_n = self.params["slow"], self.params["fast"]
        if len(closes) < slow_n:
            return
        # fsum: exactly rounded on every Python (sum() of floats is compensated from 3.12 only), so a
        # run trades the same on each.
        fast = math.fsum(closes[-fast_n:]) / fast_n
        slow = math.fsum(closes) / slow_n
        self.signal[code] = 1 if fast > slow else 0
        if not ctx.warming_up:
            self._trade(ctx, code, tick["close"])

    def _trade(self, ctx: StrategyContext, code: str, price: float) -> None:
        held = ctx.position(code)
        target = self.params["qty"] * self.signal[code]
        for order in ctx.open_orders(code):
            wanted_side = "Buy" if target > held else "Sell"
            if target == held or order["action"] != wanted_side:
                ctx.cancel_order(order["trade_id"])
            elif order["price"] != price:
                ctx.modify_order(order["trade_id"], price=price)
            return
        if target > held:
            ctx.buy(code, target - held, price)
        elif target < held:
            ctx.sell(code, held - target, price)
