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


# --- the rules, tick by tick, against the exchange's book ----------------------------------------

from orva_mero_backtest.modules.engine import engine
from orva_mero_backtest.modules.matcher import matcher as matcher_module
from orva_mero_backtest.modules.positions.positions import Positions


def tick(ts, close, qty, bid=0.0, bid_volume=0, ask=0.0, ask_volume=0, code="2330"):
    return {"market_type": "Stock", "timestamp": ts, "code": code, "close": close, "qty": qty, "tick_type": 0,
            "is_simulate": False, "is_backfilling": False, "bid_price": bid, "bid_volume": bid_volume,
            "ask_price": ask, "ask_volume": ask_volume}


class Book:
    """The exchange with one fill model: orders placed at a tick, then ticks met one by one."""

    def __init__(self, model="quote", latency_ms=0.0):
        self.m = matcher_module.Matcher(Positions())
        self.model = engine.fill_model(self.m, model, latency_ms / 1000.0)

    def place(self, at, action, qty, price=0.0, price_type="LMT", order_type="ROD"):
        self.m.set_current_tick(at)
        self.m.add_order(at["code"], "Stock", action, price, qty, price_type, order_type)
        self.reports()

    def meet(self, t):
        """(price, qty) of each deal and the quantity of each cancel the tick caused."""
        self.m.set_current_tick(t)
        engine.match_with_model(self.model, t, self.m.pending_orders)
        return self.reports()

    def reports(self):
        out = []
        while self.m.response_queue.queue:
            r = self.m.pop_response()
            if "operation_type" in r:
                if str(r["operation_type"].value) == "Cancel":
                    out.append(("cancel", r["order"]["quantity"]))
            else:
                out.append((r["price"], r["quantity"]))
        return out

    def open_qty(self):
        return [o["quantity"] for o in self.m.pending_orders]


@pytest.fixture
def book():
    b = Book()
    yield b
    b.m.close()


START = tick(100.0, 50.0, 1, bid=49.9, bid_volume=6, ask=50.0, ask_volume=3)


@pytest.mark.parametrize("order_type, price_type, price, deals, rest", [
    # a market order meets the ask, capped at its displayed size; the rest as its type says
    ("ROD", "MKT", 0.0, [(50.1, 3)], [2]),
    ("IOC", "MKT", 0.0, [(50.1, 3), ("cancel", 2)], []),
    ("FOK", "MKT", 0.0, [("cancel", 5)], []),
    # a limit through the ask is marketable: the ask's price, not its own
    ("ROD", "LMT", 50.5, [(50.1, 3)], [2]),
    # a limit below the ask rests; an IOC there is cancelled
    ("IOC", "LMT", 49.9, [("cancel", 5)], []),
    ("ROD", "LMT", 49.9, [], [5]),
])
def test_a_marketable_order_fills_at_the_opposite_quote_up_to_its_size(book, order_type, price_type, price, deals, rest):
    book.place(START, "Buy", 5, price, price_type, order_type)
    # the trade prints at 49.95, below the ask: the buy still pays the ask
    assert book.meet(tick(100.1, 49.95, 50, bid=49.9, bid_volume=4, ask=50.1, ask_volume=3)) == deals
    assert book.open_qty() == rest


def test_the_rest_of_a_market_rod_meets_later_asks(book):
    book.place(START, "Sell", 5, 0.0, "MKT")
    assert book.meet(tick(100.1, 50.0, 9, bid=49.9, bid_volume=2, ask=50.0, ask_volume=9)) == [(49.9, 2)]
    assert book.meet(tick(100.2, 49.9, 9, bid=49.8, bid_volume=9, ask=49.9, ask_volume=9)) == [(49.8, 3)]
    assert book.open_qty() == []


def test_trades_at_the_price_use_up_the_queue_ahead_first(book):
    book.place(START, "Buy", 4, 49.9)
    # it joins on the first tick it meets, behind the 6 shown there; 4 trade ahead of it
    assert book.meet(tick(100.1, 49.9, 4, bid=49.9, bid_volume=6, ask=50.0, ask_volume=3)) == []  # 2 ahead
    assert book.meet(tick(100.2, 50.0, 7, bid=49.9, bid_volume=2, ask=50.0, ask_volume=3)) == []  # not at its price
    assert book.meet(tick(100.3, 49.9, 5, bid=49.9, bid_volume=1, ask=50.0, ask_volume=3)) == [(49.9, 3)]
    assert book.open_qty() == [1]


def test_a_trade_through_the_limit_fills_it_at_its_own_price_whatever_the_queue(book):
    book.place(START, "Buy", 4, 49.9)
    assert book.meet(tick(100.1, 50.0, 1, bid=49.9, bid_volume=6, ask=50.0, ask_volume=3)) == []  # 6 ahead
    assert book.meet(tick(100.2, 49.8, 3, bid=49.8, bid_volume=5, ask=50.0, ask_volume=1)) == [(49.9, 3)]
    assert book.open_qty() == [1]


def test_a_new_better_level_has_nobody_ahead(book):
    book.place(START, "Buy", 2, 49.95)
    assert book.meet(tick(100.1, 49.95, 1, bid=49.9, bid_volume=6, ask=50.0, ask_volume=3)) == [(49.95, 1)]


def test_a_level_behind_the_best_joins_once_it_is_the_best(book):
    book.place(START, "Sell", 2, 50.1)  # behind the ask of 50.0: its queue is not shown yet
    assert book.meet(tick(100.1, 50.1, 9, bid=49.9, bid_volume=6, ask=50.0, ask_volume=3)) == []
    assert book.meet(tick(100.2, 50.0, 1, bid=49.9, bid_volume=6, ask=50.1, ask_volume=4)) == []  # joins behind 4
    assert book.meet(tick(100.3, 50.1, 5, bid=50.0, bid_volume=6, ask=50.1, ask_volume=1)) == [(50.1, 1)]


def test_without_a_quote_a_market_order_fills_at_the_trade(book):
    book.place(START, "Buy", 5, 0.0, "MKT")
    assert book.meet(tick(100.1, 49.95, 2)) == [(49.95, 2)]


@pytest.mark.parametrize("model", ["quote", "trade"])
def test_entry_latency_keeps_an_order_from_the_ticks_before_it_arrives(model):
    b = Book(model, latency_ms=250)
    try:
        b.place(START, "Buy", 1, 0.0, "MKT")
        quote = dict(bid=49.9, bid_volume=6, ask=50.0, ask_volume=3)
        assert b.meet(tick(100.1, 50.0, 5, **quote)) == []
        assert b.meet(tick(100.249, 50.0, 5, **quote)) == []
        price = 50.0 if model == "quote" else 49.95
        assert b.meet(tick(100.25, 49.95, 5, **quote)) == [(price, 1)]
    finally:
        b.m.close()


def test_backtest_checks_its_fill_model_and_latency():
    from orva_mero_backtest.driver import BacktestError

    with pytest.raises(BacktestError, match="fills must be one of quote, trade"):
        Backtest(Watcher(), [STOCK], DAY, DAY, fills="book")
    with pytest.raises(BacktestError, match="latency must be"):
        Backtest(Watcher(), [STOCK], DAY, DAY, latency=-1)


class Flipper(Strategy):
    """Buys 1 at market every 200th tick when flat, sells it back 100 ticks later."""

    name = "flipper"

    def __init__(self):
        super().__init__()
        self.n = 0
        self.quotes = {}

    def on_tick(self, ctx, tick):
        self.n += 1
        self.quotes[tick["timestamp"]] = (tick["bid_price"], tick["ask_price"])
        if self.n % 200 == 0:
            ctx.buy(tick["code"], 1, order_type="ROD")
        elif self.n % 200 == 100:
            ctx.sell(tick["code"], 1, order_type="ROD")


def test_a_quote_run_fills_at_the_quotes_of_the_ticks_met_and_repeats_itself():
    runs = []
    for _ in range(2):
        s = Flipper()
        result = Backtest(s, [STOCK], DAY, DAY, module_console="none").run()
        runs.append([(f["timestamp"], f["action"], f["price"], f["quantity"]) for f in result.fills])
    assert runs[0] == runs[1] and len(runs[0]) > 10
    assert result.fill_model == "quote"
    for ts, action, price, _ in runs[0]:
        bid, ask = s.quotes[ts]
        assert price == (ask if str(action).endswith("Buy") or action == "Buy" else bid)


# --- the engine against the plain model, over random tapes and orders ----------------------------

from hypothesis import given, settings, strategies as st

from reference.fill_models import QuoteModel

PRICES = [round(49.8 + 0.1 * k, 1) for k in range(5)]  # few levels: orders, quotes and trades meet often


@st.composite
def tapes(draw):
    n = draw(st.integers(2, 12))
    ticks, ts = [], 100.0
    for _ in range(n):
        ts = round(ts + draw(st.sampled_from([0.0, 0.05, 0.1, 0.3])), 3)
        b = draw(st.integers(0, 3))
        a = draw(st.integers(b + 1, 4))
        close = draw(st.sampled_from([PRICES[b], PRICES[a], draw(st.sampled_from(PRICES))]))
        ticks.append(tick(ts, close, draw(st.integers(0, 6)), bid=PRICES[b],
                          bid_volume=draw(st.integers(0, 5)), ask=PRICES[a], ask_volume=draw(st.integers(0, 5))))
    orders = draw(st.lists(st.fixed_dictionaries({
        "at": st.integers(0, n - 1), "action": st.sampled_from(["Buy", "Sell"]),
        "price_type": st.sampled_from(["MKT", "LMT", "LMT"]), "order_type": st.sampled_from(["ROD", "ROD", "IOC", "FOK"]),
        "price": st.sampled_from(PRICES), "qty": st.integers(1, 5)}), max_size=5))
    return ticks, orders, draw(st.sampled_from([0.0, 100.0]))


@settings(max_examples=200, deadline=None)
@given(tapes())
def test_the_engine_fills_as_the_plain_model_does(case):
    ticks, orders, latency = case
    engine_book, model = Book("quote", latency), QuoteModel(latency)
    ids = {}
    got, want = [], []
    try:
        for i, t in enumerate(ticks):
            if i:
                engine_book.m.set_current_tick(t)
                engine.match_with_model(engine_book.model, t, engine_book.m.pending_orders)
                got += ids_of(engine_book, ids)
                want += model.meet(t)
            for k, o in enumerate(orders):
                if o["at"] == i:
                    price = o["price"] if o["price_type"] == "LMT" else 0.0
                    engine_book.place(t, o["action"], o["qty"], price, o["price_type"], o["order_type"])
                    ids[engine_book.m.pending_orders[-1]["trade_id"]] = k
                    model.place(k, {**o, "price": price, "placed": t["timestamp"]})
    finally:
        engine_book.m.close()
    assert got == want


def ids_of(book, ids):
    out = []
    while book.m.response_queue.queue:
        r = book.m.pop_response()
        if "operation_type" not in r:
            out.append(("deal", ids[r["id"]], r["price"], r["quantity"]))
        elif str(r["operation_type"].value) == "Cancel":
            out.append(("cancel", ids[r["order"]["id"]], r["order"]["quantity"]))
    return out


class BuysTheStockOnTheFutureTick(Strategy):
    """Buys one lot of 2412 at the first tick of the run, a futures tick before any tick of the stock."""

    name = "cross_instrument"

    def on_start(self, ctx):
        self.sent = False

    def on_tick(self, ctx, tick):
        if not self.sent and tick["code"] == "TXFR1":
            self.sent = True
            ctx.buy("2412", 1)


@pytest.mark.parametrize("fills, latency", [("quote", 0.0), ("quote", 50.0), ("trade", 0.0), ("trade", 50.0)])
def test_an_order_placed_before_its_instruments_first_tick_fills_at_that_tick(fills, latency):
    result = Backtest(BuysTheStockOnTheFutureTick(), [STOCK, Instrument("TXFR1", "Future")], DAY, DAY,
                      module_console="none", fills=fills, latency=latency, rules=False).run()
    first = generate_day(SimulatedBroker().Contracts.Stocks["2412"], __import__("datetime").date(2024, 1, 2))
    assert [f["quantity"] for f in result.fills] == [1]
    assert result.fills[0]["timestamp"] == first["ts"][0] / 1e9
