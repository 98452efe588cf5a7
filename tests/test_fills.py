"""Fills under each model: the strategy's quote, the quote model's rules, latency."""

import polars as pl
import pytest

from orva_mero_backtest.driver import Backtest, Instrument
from orva_mero_backtest.sim_broker import SimulatedBroker, generate_day
from orva_mero_backtest.strategy import Strategy

STOCK = Instrument("2412", "Stock")
DAY = "2024-01-02"
QUOTE_KEYS = ("bid_price", "bid_volume", "ask_price", "ask_volume", "tick_type")


class Watcher(Strategy):
    name = "watcher"

    def __init__(self):
        super().__init__()
        self.ticks = []

    def on_tick(self, ctx, tick):
        if len(self.ticks) < 50:
            self.ticks.append(dict(tick))


def test_the_strategy_sees_the_rows_quote():
    watcher = Watcher()
    Backtest(watcher, [STOCK], DAY, DAY, module_console="none").run()
    from datetime import date

    day = generate_day(SimulatedBroker().Contracts.Stocks[STOCK.code], date(2024, 1, 2))
    rows = pl.DataFrame({k: day[k] for k in QUOTE_KEYS}).head(50).to_dicts()
    assert [{k: t[k] for k in QUOTE_KEYS} for t in watcher.ticks] == rows
    assert list(watcher.ticks[0])[:8] == [
        "market_type", "timestamp", "code", "close", "qty", "tick_type", "is_simulate", "is_backfilling"]
