"""Opening-range breakout on futures, with a stop loss and a take-profit set from the ATR.

Copy this file, change it, and run your copy:

    orva-backtest --strategy my_orb.py:OpeningRangeBreakout --future TXFR1 --start 2024-01-02 --param qty=2
"""

from talipp.indicators import ATR

from orva_mero_backtest.strategies.bars import Bars
from orva_mero_backtest.strategy import Strategy


class OpeningRangeBreakout(Strategy):
    """Watches the high and low of the first ``range_minutes`` of the day session (from 08:45). The
    first trade above that high buys ``qty`` contracts, the first below its low sells; one entry per
    day. Each entry is a bracket: a stop loss ``atr_stop`` ATRs away (ATR of ``bar_seconds`` bars over
    ``atr_period`` bars) and a take-profit twice as far. Whatever is still open at 13:30 is closed."""

    name = "orb"
    defaults = {"qty": 1, "range_minutes": 15, "bar_seconds": 60, "atr_period": 14, "atr_stop": 2.0}

    def on_start(self, ctx):
        self.bars = Bars(seconds=self.params["bar_seconds"])
        self.atr = {}  # code -> talipp ATR of the bars
        self.ranges = {}  # (code, day) -> [high, low] of the opening range
        self.done = set()  # (code, day) once entered or closed for the day

    def on_tick(self, ctx, tick):
        code, price = tick["code"], tick["close"]
        bar = self.bars.update(tick)
        if bar is not None:
            self.atr.setdefault(code, ATR(self.params["atr_period"])).add(bar.ohlcv())
        when = ctx.time  # this tick's time, an aware datetime in Asia/Taipei
        minute = when.hour * 60 + when.minute
        key = (code, when.date())
        opening_end = 8 * 60 + 45 + self.params["range_minutes"]
        if 8 * 60 + 45 <= minute < opening_end:
            high_low = self.ranges.setdefault(key, [price, price])
            high_low[0], high_low[1] = max(high_low[0], price), min(high_low[1], price)
            return
        if ctx.warming_up or key in self.done or key not in self.ranges:
            return
        if minute >= 13 * 60 + 30:
            self.close_all(ctx, code)
            self.done.add(key)
            return
        atr = self.atr.get(code)
        if minute < opening_end or atr is None or atr[-1] is None or ctx.position(code) != 0:
            return
        high, low = self.ranges[key]
        distance = round(self.params["atr_stop"] * atr[-1]) or 1  # futures trade in whole points
        qty = self.params["qty"]
        if price > high:
            ctx.bracket(code, "Buy", qty, take_profit=price + 2 * distance, stop_loss=price - distance)
            self.done.add(key)
        elif price < low:
            ctx.bracket(code, "Sell", qty, take_profit=price - 2 * distance, stop_loss=price + distance)
            self.done.add(key)

    def close_all(self, ctx, code):
        for order in ctx.open_orders(code):
            ctx.cancel_order(order["trade_id"])
        held = ctx.position(code)
        if held > 0:
            ctx.sell(code, held)
        elif held < 0:
            ctx.buy(code, -held)
