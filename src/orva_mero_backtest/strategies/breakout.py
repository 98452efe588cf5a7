"""Channel breakout on minute bars, flat before the close of the day session."""

from __future__ import annotations

from typing import Any, Dict

from ..strategy import Strategy, StrategyContext
from .bars import BarSeries

_DAY = 86400


class Breakout(Strategy):
    """Goes long ``qty`` when the price trades above the highest high of the last ``lookback`` bars and
    short below the lowest low; exits when the price crosses back through the channel's middle.
    Orders are market IOC. From ``flat_after`` (minutes after midnight, Taipei time) no new position
    is opened and open ones are closed: by default 13:35, in continuous trading still (the closing call
    from 13:40 takes no market orders)."""

    name = "breakout"
    defaults = {"lookback": 20, "qty": 1, "bar_seconds": 60, "flat_after": 13 * 60 + 35}

    def __init__(self, **params: Any) -> None:
        super().__init__(**params)
        if self.params["lookback"] < 2 or self.params["qty"] < 1 or self.params["bar_seconds"] < 1:
            raise ValueError("breakout needs lookback >= 2, qty >= 1 and bar_seconds >= 1")
        self.bars: Dict[str, BarSeries] = {}
        self.channel: Dict[str, tuple] = {}

    def on_tick(self, ctx: StrategyContext, tick: Dict[str, Any]) -> None:
        code, price, ts = tick["code"], tick["close"], tick["timestamp"]
        series = self.bars.get(code)
        if series is None:
            series = self.bars[code] = BarSeries(self.params["bar_seconds"], self.params["lookback"])
        if series.update(ts, price, tick["qty"]) and len(series.completed) >= self.params["lookback"]:
            high = max(b.high for b in series.completed)
            low = min(b.low for b in series.completed)
            self.channel[code] = (high, low, (high + low) / 2)
        if ctx.warming_up or code not in self.channel or ctx.open_orders(code):
            return
        held = ctx.position(code)
        qty = self.params["qty"]
        minute_of_day = int(ts % _DAY) // 60  # tick times are the Taipei wall clock written as epoch time
        if minute_of_day >= self.params["flat_after"]:
            target = 0
        else:
            high, low, middle = self.channel[code]
            if held == 0:
                target = qty if price > high else -qty if price < low else 0
            elif held > 0:
                target = 0 if price < middle else held
            else:
                target = 0 if price > middle else held
        if target > held:
            ctx.buy(code, target - held, order_type="IOC")
        elif target < held:
            ctx.sell(code, held - target, order_type="IOC")
