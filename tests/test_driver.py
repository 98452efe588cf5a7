"""The backtest driver: hook order, order handling, reproducibility, warm-up and failures."""

import os

import pytest

from orva_mero_backtest.constant import BASIC_INFO
from orva_mero_backtest.driver import Backtest, BacktestError, Instrument, StrategyError
from orva_mero_backtest.market_rules import RuleSwitches
from orva_mero_backtest.sim_broker import SimulatedBroker, generate_day
from orva_mero_backtest.strategies import Breakout, MovingAverageCross
from orva_mero_backtest.strategy import Strategy

STOCK = Instrument("2412", "Stock")  # the quietest listed stock: about 3,100 ticks a day
FUTURE = Instrument("TMFR1", "Future")
DAY = "2024-01-02"


class Recorder(Strategy):
    """Logs every hook; on the first main tick of each instrument runs ``script`` once."""

    name = "recorder"

    def __init__(self, script=None):
        super().__init__()
        self.events = []
        self.script = script
        self.seen = set()

    def on_tick(self, ctx, tick):
        self.events.append(
            ("tick", tick["code"], tick["close"], tick["is_backfilling"], ctx.warming_up, tick["timestamp"]))
        if not tick["is_backfilling"] and tick["code"] not in self.seen:
            self.seen.add(tick["code"])
            if self.script:
                self.script(ctx, tick)

    def on_backfill_end(self, ctx):
        self.events.append(("backfill_end",))

    def on_order(self, ctx, report):
        self.events.append(("order", str(report["operation_type"]), report["order"]["quantity"]))

    def on_deal(self, ctx, deal):
        self.events.append(("deal", deal["code"], deal["quantity"], deal["price"]))


def run(strategy, instruments=(STOCK,), start=DAY, end=DAY, **kwargs):
    kwargs.setdefault("fills", "trade")  # these cases state fills at the trade's price
    return Backtest(strategy, list(instruments), start, end, module_console="none", **kwargs).run()


def test_an_order_meets_the_next_tick_and_its_deal_comes_before_that_tick():
    def buy_market(ctx, tick):
        ctx.buy(tick["code"], 2, order_type="IOC")

    rec = Recorder(buy_market)
    result = run(rec)
    ticks = [e for e in rec.events if e[0] == "tick"]
    first = rec.events.index(ticks[0])
    # placed during the first tick: its "New" report follows that tick's hook
    assert rec.events[first + 1] == ("order", "New", 2)
    # filled at the close of the second tick, reported (an IOC rest cancelled after the deal) before the
    # strategy sees that tick
    second = rec.events.index(ticks[1])
    between = rec.events[first + 2:second]
    assert between[0][0] == "deal" and between[0][3] == ticks[1][2]
    assert between[1:] in ([], [("order", "Cancel", 2 - between[0][2])])
    filled = between[0][2]
    assert result.positions.position(STOCK.code) == filled * 1000
    assert result.ticks == len(generate_day(SimulatedBroker().Contracts.Stocks[STOCK.code], result_day())["ts"])
    assert result.orders[0]["status"] in ("Filled", "Cancelled") and result.orders[0]["filled_qty"] == filled


def result_day():
    from datetime import date

    return date(2024, 1, 2)


def test_modify_and_cancel_through_the_context():
    placed = {}

    def script(ctx, tick):
        trade_id = ctx.buy(tick["code"], 3, tick["close"] * 0.9)  # far below: stays in the book
        placed["id"] = trade_id
        assert ctx.modify_order(trade_id, qty=1) is True
        assert ctx.modify_order(trade_id, price=round(tick["close"] * 0.8, 1)) is True
        assert [o["open_qty"] for o in ctx.open_orders()] == [2]
        assert ctx.modify_order(trade_id, qty=2) is True  # everything taken off: cancelled
        assert ctx.open_orders() == [] and ctx.cancel_order(trade_id) is False

    rec = Recorder(script)
    result = run(rec, rules=RuleSwitches.without(["price_limits"]))  # prices off the tick ladder
    assert [e for e in rec.events if e[0] == "order"] == [
        ("order", "New", 3), ("order", "UpdateQty", 2), ("order", "UpdatePrice", 2), ("order", "Cancel", 2)]
    (order,) = result.orders
    assert (order["trade_id"], order["status"], order["filled_qty"], order["cancelled_qty"]) == (
        placed["id"], "Cancelled", 0, 3)
    assert result.fills == []


def fills_of(result):
    return [(f["code"], f["action"], f["quantity"], f["price"], f["timestamp"], f["commission"], f["tax"])
            for f in result.fills]


def test_repeated_runs_give_identical_fills():
    def once():
        strategy = MovingAverageCross(fast=3, slow=8)
        result = run(strategy, (STOCK,), "2024-01-02", "2024-01-03")
        orders = [{k: v for k, v in o.items() if k != "trade_id"} for o in result.orders]
        return fills_of(result), orders, result.equity

    first, second = once(), once()
    assert len(first[0]) >= 4
    assert first == second


def test_backfill_warms_up_then_trading_starts():
    class TriesDuringWarmUp(Recorder):
        def on_tick(self, ctx, tick):
            super().on_tick(ctx, tick)
            if tick["is_backfilling"] and len(self.events) == 1:
                ctx.buy(tick["code"], 1)

    with pytest.raises(StrategyError, match=r"raised in on_tick at 2412 2023-12-29 .*warm-up"):
        run(TriesDuringWarmUp(), backfill_start="2023-12-29", backfill_end="2023-12-29")

    rec = Recorder()
    result = run(rec, (STOCK, FUTURE), backfill_start="2023-12-29", backfill_end="2023-12-29")
    kinds = [e[0] if e[0] != "tick" else ("warm" if e[3] else "main") for e in rec.events]
    boundary = kinds.index("backfill_end")
    assert set(kinds[:boundary]) == {"warm"} and set(kinds[boundary + 1:]) == {"main"}
    assert all(e[4] for e in rec.events[:boundary]) and not any(e[4] for e in rec.events[boundary + 1:])
    assert result.backfill_ticks == boundary and result.ticks == len(kinds) - boundary - 1
    assert {e[1] for e in rec.events[boundary + 1:]} == {"2412", "TMFR1"}


def test_ticks_flow_through_the_cache():
    broker = SimulatedBroker()
    run(Recorder(), api=broker)
    cache = os.path.join(BASIC_INFO.data_dir, "simulated", "mero", "ticks", f"2412 {DAY} - ticks.csv")
    assert os.path.exists(cache) and broker.requests == [("2412", DAY)]
    again = SimulatedBroker()
    run(Recorder(), api=again)
    assert again.requests == []


def test_example_breakout_trades_a_future_and_ends_flat():
    result = run(Breakout(lookback=5, qty=2), (FUTURE,))
    assert result.fills and result.positions.position(FUTURE.code) == 0
    assert sum(f["units"] for f in result.fills if f["action"] == "Buy") == sum(
        f["units"] for f in result.fills if f["action"] == "Sell")


def test_strategy_error_names_the_hook_and_the_tick():
    class Boom(Strategy):
        name = "boom"

        def on_tick(self, ctx, tick):
            raise ZeroDivisionError("bad maths")

    with pytest.raises(StrategyError, match=r"^strategy boom raised in on_tick at 2412 2024-01-02 09:00:0\d: "
                                            r"ZeroDivisionError: bad maths \(tests/test_driver.py:\d+\)$"):
        run(Boom())


@pytest.mark.parametrize(
    "instruments, start, end, backfill, message",
    [
        ([Instrument("9999", "Stock")], DAY, DAY, None, "unknown instrument 9999"),
        ([Instrument("TXFR1", "Stock")], DAY, DAY, None, "unknown instrument TXFR1"),
        ([Instrument("2330", "Bond")], DAY, DAY, None, "Stock or Future"),
        ([STOCK, STOCK], DAY, DAY, None, "listed twice"),
        ([], DAY, DAY, None, "no instruments"),
        ([STOCK], "2024-1-2", DAY, None, "YYYY-MM-DD"),
        ([STOCK], "2024-02-30", "2024-03-01", None, "not a calendar day"),
        ([STOCK], "2024-01-03", "2024-01-02", None, "before start date"),
        ([STOCK], DAY, DAY, ("2024-01-01", None), "both backfill dates"),
        ([STOCK], DAY, DAY, ("2024-01-01", "2024-01-02"), "must end before"),
        ([STOCK], DAY, DAY, ("2023-12-29", "2023-12-28"), "backfill end date"),
    ],
)
def test_bad_input_is_refused_before_anything_runs(instruments, start, end, backfill, message):
    backfill = backfill or (None, None)
    with pytest.raises(BacktestError, match=message):
        Backtest(Recorder(), instruments, start, end, *backfill)


class FreezeSeen(Strategy):
    name = "freeze_seen"

    def on_start(self, ctx):
        import gc

        self.frozen = gc.get_freeze_count()


@pytest.mark.parametrize("caller_froze", [False, True])
def test_a_run_freezes_what_was_made_before_it_unless_the_caller_froze(caller_froze):
    # The interpreter may start with objects frozen of its own (3.12 does): they are no caller's freeze,
    # and the run's full collections must still leave the objects made before it out.
    import gc

    from orva_mero_backtest import driver

    baseline = driver._FROZEN_AT_IMPORT
    gc.unfreeze()
    try:
        own = [[i] for i in range(100)]  # frozen as if by the interpreter, before the package was loaded
        gc.freeze()
        driver._FROZEN_AT_IMPORT = gc.get_freeze_count()
        kept = [[i] for i in range(1000)]  # made before the run
        if caller_froze:
            gc.freeze()
        before = gc.get_freeze_count()
        strategy = FreezeSeen()
        run(strategy)
        if caller_froze:
            # neither added to nor undone (objects of it may have been released meanwhile)
            assert 0 < strategy.frozen <= before and 0 < gc.get_freeze_count() <= before
        else:
            assert strategy.frozen >= before + len(kept) and gc.get_freeze_count() == 0
        assert own and kept
    finally:
        driver._FROZEN_AT_IMPORT = baseline
        gc.unfreeze()


def test_the_interpreters_own_frozen_objects_are_no_callers_freeze():
    import gc
    import subprocess
    import sys

    # In a fresh interpreter, whatever it froze itself is what the package finds at import.
    out = subprocess.run([sys.executable, "-c", "import gc; n = gc.get_freeze_count(); "
                          "from orva_mero_backtest import driver; print(n, driver._FROZEN_AT_IMPORT)"],
                         capture_output=True, text=True, timeout=120, check=True).stdout.split()
    assert out[0] == out[1]
