"""Orders the backtest holds (stop, stop-limit, trailing stop, bracket, OCO): one behaviour suite run
with the native trigger test and with the plain-Python model in tests/reference, on ticks whose
prices each test sets."""

import pytest
from hypothesis import given, settings, strategies as st

from fake_broker import day_start_ts
from fake_broker import FakeBroker
from orva_mero_backtest.driver import Backtest, Instrument
from orva_mero_backtest.errors import OrderRejected
from orva_mero_backtest.market_rules import RuleSwitches
from orva_mero_backtest.modules.engine import engine
from orva_mero_backtest.stops import StopBook
from orva_mero_backtest.strategy import Strategy
from reference import stop_book as reference

DAY, WARM = "2024-01-03", "2024-01-02"
FUTURE = Instrument("TXFR1", "Future")


@pytest.fixture(params=["native", "reference"], autouse=True)
def checker(request, monkeypatch):
    if request.param == "reference":
        monkeypatch.setattr(StopBook, "check", reference.check)
    return request.param


def ticks(prices, day=DAY):
    n = len(prices)
    start = day_start_ts(day)
    return {"ts": [start + i * 1_000_000_000 for i in range(n)], "close": [float(p) for p in prices],
            "volume": [50] * n, "bid_price": [p - 1.0 for p in prices], "bid_volume": [50] * n,
            "ask_price": [p + 1.0 for p in prices], "ask_volume": [50] * n, "tick_type": [1] * n}


class Script(Strategy):
    """Runs steps[i](ctx, tick) at the i-th main tick; records fills, order reports and open orders."""

    def __init__(self, steps):
        super().__init__()
        self.steps, self.n, self.fills, self.reports, self.open, self.ids = steps, 0, [], [], [], {}

    def on_tick(self, ctx, tick):
        if ctx.warming_up:
            return
        step = self.steps.get(self.n)
        if step is not None:
            step(self, ctx, tick)
        self.open.append([(o["trade_id"], o["status"], o.get("stop")) for o in ctx.open_orders()])
        self.n += 1

    def on_deal(self, ctx, deal):
        self.fills.append((self.n, deal["action"], deal["price"], deal["quantity"]))

    def on_order(self, ctx, report):
        self.reports.append((self.n, report["order"]["action"], str(report["operation_type"])))


def run(prices, steps, warm=None, fills="trade", rules=None):
    """The cases read fills at the trade price unless they ask for the quote model."""
    broker = FakeBroker()
    broker.set_ticks(FUTURE.code, DAY, ticks(prices))
    backfill = (None, None)
    if warm is not None:
        broker.set_ticks(FUTURE.code, WARM, ticks(warm, WARM))
        backfill = (WARM, WARM)
    strategy = Script(steps)
    result = Backtest(strategy, [FUTURE], DAY, DAY, *backfill, api=broker, module_console="none",
                      fills=fills, rules=rules).run()
    return strategy, result


def buy_now(s, ctx, tick):
    ctx.buy(tick["code"], 1)


def test_a_sell_stop_triggers_at_the_first_trade_through_it_and_a_gap_fills_at_the_next_price():
    def stop(s, ctx, tick):
        s.ids["stop"] = ctx.place_stop(tick["code"], "Sell", 1, stop=99.5)

    s, result = run([100, 101, 100, 99, 95, 94], {0: buy_now, 1: stop})
    assert s.fills == [(1, "Buy", 101.0, 1), (4, "Sell", 95.0, 1)]  # triggered at 99, filled at 95, not 99.5
    # the exchange heard of the stop only when it triggered (tick 3)
    assert [r for r in s.reports if r[1] == "Sell"][0][0] == 3
    assert s.open[1][-1] == ("stop-1", "Held", 99.5) and s.open[3] == [(s.open[3][0][0], "Open", None)]
    assert result.positions.position(FUTURE.code) == 0


def test_under_the_quote_model_a_triggered_stop_fills_at_the_quote_of_the_tick_it_meets():
    def stop(s, ctx, tick):
        s.ids["stop"] = ctx.place_stop(tick["code"], "Sell", 1, stop=99.5)

    s, _ = run([100, 101, 100, 99, 95, 94], {0: buy_now, 1: stop}, fills="quote")
    assert s.fills == [(1, "Buy", 102.0, 1), (4, "Sell", 94.0, 1)]  # the ask, then the bid, one below


def test_a_buy_stop_limit_sends_a_limit_order_that_waits_for_its_price():
    def stop(s, ctx, tick):
        ctx.place_stop(tick["code"], "Buy", 2, stop=103, limit=103.5)

    # 103.5 is off the futures' one-point ladder: the exchange's price rule is not what this is about.
    s, result = run([100, 102, 104, 105, 103, 108], {0: stop}, rules=RuleSwitches.without(["price_limits"]))
    assert s.fills and all(f[:3] == (4, "Buy", 103.0) for f in s.fills)  # triggered at 104, filled at 103
    assert sum(f[3] for f in s.fills) == 2


@pytest.mark.parametrize("kwargs, prices, stops, fill", [
    # 2 points under the highest trade: 98, 99, 103 (at 105), then 103 triggers; filled at 102.5
    ({"trail": 2}, [100, 101, 105, 104, 103, 102.5, 110], [98.0, 99.0, 103.0, 103.0], (5, "Sell", 102.5)),
    # 10 % under the highest trade: 90, 108 (at 120), 108 triggers
    ({"trail_percent": 10}, [100, 120, 110, 108, 107], [90.0, 108.0, 108.0], (4, "Sell", 107.0)),
])
def test_a_trailing_stop_follows_the_best_price_and_never_moves_back(kwargs, prices, stops, fill):
    def stop(s, ctx, tick):
        ctx.place_stop(tick["code"], "Sell", 1, **kwargs)

    s, _ = run(prices, {0: stop})
    seen = [o[2] for snapshot in s.open for o in snapshot if o[0].startswith("stop")]
    assert seen == stops
    assert s.fills == [fill + (1,)]


@pytest.mark.parametrize("prices, exit_fill, left", [
    ([100, 101, 103, 106, 107, 96, 95], (3, "Sell", 106.0), "stop loss cancelled"),  # take-profit fills
    ([100, 101, 99, 96, 95, 110, 111], (4, "Sell", 95.0), "take-profit cancelled"),  # stop loss fills
])
def test_a_bracket_arms_its_exits_when_the_entry_fills_and_one_exit_cancels_the_other(prices, exit_fill, left):
    def enter(s, ctx, tick):
        s.ids["entry"] = ctx.bracket(tick["code"], "Buy", 1, take_profit=105, stop_loss=97)
        s.waiting = sorted((o["kind"], o["status"]) for o in ctx.open_orders() if o["trade_id"].startswith("stop"))

    s, result = run(prices, {0: enter})
    assert s.waiting == [("stop", "Waiting"), ("take-profit", "Waiting")]
    assert s.fills == [(1, "Buy", 101.0, 1), exit_fill + (1,)]
    assert s.open[-1] == []  # nothing open, nothing held at the end
    assert result.positions.position(FUTURE.code) == 0


def test_a_bracket_whose_entry_never_fills_drops_its_exits():
    def enter(s, ctx, tick):
        s.ids["entry"] = ctx.bracket(tick["code"], "Buy", 1, 90.0, take_profit=105, stop_loss=85)

    def cancel(s, ctx, tick):
        assert ctx.cancel_order(s.ids["entry"])

    s, _ = run([100, 101, 102, 101], {0: enter, 2: cancel})
    assert s.fills == [] and s.open[-1] == []


def test_an_oco_pair_of_stops_one_filling_cancels_the_other():
    def pair(s, ctx, tick):
        low = ctx.place_stop(tick["code"], "Sell", 1, stop=95)
        high = ctx.place_stop(tick["code"], "Buy", 1, stop=105)
        ctx.oco(low, high)

    s, result = run([100, 104, 106, 107, 94, 90], {0: pair})
    assert s.fills == [(3, "Buy", 107.0, 1)]
    assert s.open[-1] == [] and result.positions.position(FUTURE.code) == 1


def test_cancel_and_modify_work_on_a_held_stop():
    def place(s, ctx, tick):
        s.ids["a"] = ctx.place_stop(tick["code"], "Sell", 3, stop=95)
        s.ids["b"] = ctx.place_stop(tick["code"], "Sell", 1, stop=90)

    def change(s, ctx, tick):
        assert ctx.modify_order(s.ids["a"], qty=1, stop=99)
        assert ctx.cancel_order(s.ids["b"])
        assert not ctx.cancel_order(s.ids["b"])
        with pytest.raises(OrderRejected, match="market stop"):
            ctx.modify_order(s.ids["a"], price=98.0)

    s, _ = run([100, 100, 100, 99, 98, 85, 84], {0: place, 1: change})
    assert s.fills == [(4, "Sell", 98.0, 2)]  # 3 less 1, at 99's next trade; the cancelled one never fires


@pytest.mark.parametrize("call, message", [
    (lambda ctx, c: ctx.place_stop(c, "Sell", 1), "exactly one of stop, trail or trail_percent"),
    (lambda ctx, c: ctx.place_stop(c, "Sell", 1, stop=90, trail=2), "exactly one of"),
    (lambda ctx, c: ctx.place_stop(c, "Sell", 0, stop=90), "positive int"),
    (lambda ctx, c: ctx.place_stop(c, "Hold", 1, stop=90), "unknown action"),
    (lambda ctx, c: ctx.place_stop(c, "Sell", 1, trail=2, limit=90), "fixed stop price"),
    (lambda ctx, c: ctx.place_stop(c, "Sell", 1, stop=-1), "stop price must be a number above 0"),
    (lambda ctx, c: ctx.place_stop(c, "Sell", 1, trail_percent=100), "below 100"),
    (lambda ctx, c: ctx.place_stop("9999", "Sell", 1, stop=90), "not an instrument"),
    (lambda ctx, c: ctx.bracket(c, "Buy", 1), "needs a take_profit"),
    (lambda ctx, c: ctx.oco("stop-7", "nope"), "not open"),
])
def test_bad_stop_requests_are_refused(call, message):
    def attempt(s, ctx, tick):
        with pytest.raises(OrderRejected, match=message):
            call(ctx, tick["code"])
        s.ids["refused"] = True

    s, _ = run([100, 101], {0: attempt})
    assert s.ids == {"refused": True} and s.open == [[], []]


def test_stops_are_refused_during_the_warm_up():
    class Warm(Script):
        def on_tick(self, ctx, tick):
            if ctx.warming_up and "refused" not in self.ids:
                for call in (lambda: ctx.place_stop(tick["code"], "Sell", 1, stop=90),
                             lambda: ctx.bracket(tick["code"], "Buy", 1, take_profit=110)):
                    with pytest.raises(OrderRejected, match="warm-up"):
                        call()
                self.ids["refused"] = True
            super().on_tick(ctx, tick)

    strategy = Warm({})
    broker = FakeBroker()
    broker.set_ticks(FUTURE.code, DAY, ticks([100, 101]))
    broker.set_ticks(FUTURE.code, WARM, ticks([99, 98], WARM))
    Backtest(strategy, [FUTURE], DAY, DAY, WARM, WARM, api=broker, module_console="none").run()
    assert strategy.ids == {"refused": True}


def test_an_oco_of_a_limit_order_and_a_stop_the_fill_of_the_limit_cancels_the_stop():
    def pair(s, ctx, tick):
        ctx.buy(tick["code"], 1)

    def exits(s, ctx, tick):
        s.ids["tp"] = ctx.sell(tick["code"], 1, 104.0)
        s.ids["sl"] = ctx.place_stop(tick["code"], "Sell", 1, stop=97)
        ctx.oco(s.ids["tp"], s.ids["sl"])

    s, result = run([100, 100, 101, 105, 96, 90], {0: pair, 1: exits})
    assert [f[1] for f in s.fills] == ["Buy", "Sell"] and s.fills[1][0] == 3
    assert s.open[-1] == [] and result.positions.position(FUTURE.code) == 0


class _Book:
    def __init__(self, records):
        self.by_code = {"A": records} if records else {}


@settings(max_examples=60, deadline=None)
@given(st.lists(st.tuples(st.sampled_from([1, -1]), st.sampled_from(["stop", "trail", "trail_percent"]),
                          st.floats(1, 50), st.one_of(st.none(), st.floats(50, 150))), max_size=6),
       st.lists(st.floats(50, 150), min_size=1, max_size=12))
def test_the_native_trigger_test_equals_the_model(specs, prices):
    def book():
        records = []
        for sign, kind, size, best in specs:
            record = {"sign": sign, "stop": None, "trail": None, "trail_percent": None, "best": None, "n": len(records)}
            if kind == "stop":
                record["stop"] = 100.0 + sign * size
            else:
                record[kind] = size
                record["best"] = best
                if best is not None:
                    record["stop"] = best + sign * size if kind == "trail" else best * (1 + sign * size / 100)
                else:
                    record["stop"] = 100.0
            records.append(record)
        return _Book(records)

    native, model = book(), book()
    for price in prices:
        a = engine.stop_book_check(native, "A", price)
        b = reference.check(model, "A", price)
        assert (None if a is None else [r["n"] for r in a]) == (None if b is None else [r["n"] for r in b])
        assert native.by_code == model.by_code
