"""The cost per tick of the futures margin watch, on the interpreter that runs it:

    .venv/bin/python benchmarks/run.py margin

- watch: the margin rule's on_tick for a tick of a futures code held (one TXF contract, no margin
  call): the equity arithmetic, per tick, against a loop calling an empty method on the same ticks.
- checks: the buying-power check of a stock buy and the margin check of a futures order, per order.
- backtest (when Backtest takes ``rules``): a run holding one TXF contract over BENCH_DAYS days
  (default 2) with every rule on against the same run with the margin rule off, stream time per tick.

BENCH_RUNS sets the runs per case (default 3); the median is printed.
"""

import os
import statistics
import time
from types import SimpleNamespace

from orva_mero_backtest.costs import CostSettings
from orva_mero_backtest.market_rules import MarketRules, RuleSwitches
from orva_mero_backtest.market_rules.money import Margin
from orva_mero_backtest.modules.positions.positions import Positions

RUNS = int(os.environ.get("BENCH_RUNS", "3"))
DAYS = int(os.environ.get("BENCH_DAYS", "2"))
TICKS = 200_000


def _held_book():
    positions = Positions(CostSettings())
    positions.set_positions({"trade_id": "a", "code": "TXFR1", "action": "Buy", "price": 17_500.0, "quantity": 1,
                             "exchange_ts": 1.0}, "Future")
    return positions


def watch_case():
    positions = _held_book()
    backtest = SimpleNamespace(positions=positions, capital=2_000_000.0, _last_close={}, matcher=None)
    rule = Margin()
    market = MarketRules(backtest, RuleSwitches(), [rule])
    ticks = [{"code": "TXFR1", "timestamp": 1.0 + i, "close": 17_500.0 + (i % 50)} for i in range(TICKS)]
    on_tick = rule.on_tick
    on_tick(ticks[0], market)

    class Empty:
        def on_tick(self, tick, market):
            pass

    empty = Empty().on_tick
    bare, timed = [], []
    for _ in range(RUNS):
        t0 = time.perf_counter()
        for t in ticks:
            empty(t, market)
        t1 = time.perf_counter()
        for t in ticks:
            on_tick(t, market)
        t2 = time.perf_counter()
        bare.append(t1 - t0)
        timed.append(t2 - t1)
    per_tick = (statistics.median(timed) - statistics.median(bare)) / TICKS * 1e9
    print(f"margin watch: {per_tick:,.0f} ns per tick of a held futures code beyond an empty call "
          f"({statistics.median(timed) / TICKS * 1e9:,.0f} ns the call)")


def check_case():
    """The money rules' checks of one stock buy and one futures order (book with a few entries, no
    open orders), per order."""
    from orva_mero_backtest.market_rules import Order
    from orva_mero_backtest.market_rules.money import BuyingPower

    positions = _held_book()
    for i, code in enumerate(("2330", "2317", "2454")):
        positions.set_positions({"trade_id": f"s{i}", "code": code, "action": "Buy", "price": 100.0, "quantity": 1,
                                 "exchange_ts": 2.0}, "Stock")
    matcher = SimpleNamespace(pending_orders=[])
    backtest = SimpleNamespace(positions=positions, capital=2_000_000.0, _last_close={"2330": 600.0}, matcher=matcher)
    buying, margin = BuyingPower(), Margin()
    market = MarketRules(backtest, RuleSwitches(), [buying, margin])
    stock = Order("2330", "Stock", "Buy", 600.0, 1, "LMT", "ROD", "Cash", "Common", "Auto", 1.0)
    future = Order("TXFR1", "Future", "Buy", 17_500.0, 1, "LMT", "ROD", "Cash", "Common", "Auto", 1.0)
    n = 20_000
    for rule, order, what in ((buying, stock, "stock buy"), (margin, future, "futures order")):
        runs = []
        for _ in range(RUNS):
            t0 = time.perf_counter()
            for _ in range(n):
                rule.check(order, market)
            runs.append(time.perf_counter() - t0)
        print(f"check of a {what}: {statistics.median(runs) / n * 1e6:,.1f} us per order")


def backtest_case():
    import inspect
    from datetime import date, timedelta

    from orva_mero_backtest.driver import Backtest, Instrument
    from orva_mero_backtest.strategy import Strategy

    if "rules" not in inspect.signature(Backtest).parameters:
        print("backtest: Backtest takes no rules here; skipped")
        return

    class Hold(Strategy):
        name = "hold_one_txf"

        def on_start(self, ctx):
            self.placed = False

        def on_tick(self, ctx, tick):
            if not self.placed:
                self.placed = True
                ctx.buy("TXFR1", 1)

    start = date(2024, 1, 2)
    end = (start + timedelta(days=DAYS + DAYS // 5 * 2 + 2)).isoformat()
    cases = {"every rule": RuleSwitches(), "margin off": RuleSwitches.without(["margin"])}
    seconds = {name: [] for name in cases}
    ticks = 0
    for _ in range(RUNS):
        for name, switches in cases.items():
            result = Backtest(Hold(), [Instrument("TXFR1", "Future")], start.isoformat(), end,
                              module_console="none", rules=switches).run()
            seconds[name].append(result.stream_seconds)
            ticks = result.ticks
    on, off = (statistics.median(seconds[n]) for n in cases)
    print(f"backtest, one TXF held, {ticks:,} ticks: every rule {on / ticks * 1e9:,.0f} ns/tick, "
          f"margin off {off / ticks * 1e9:,.0f} ns/tick, the watch {(on - off) / ticks * 1e9:,.0f} ns/tick")


def main():
    watch_case()
    check_case()
    backtest_case()


if __name__ == "__main__":
    main()
