"""Cancels and modifications that take time to reach the exchange: what fills meanwhile stands, and an
order that is no longer open when the request lands gets the exchange's refusal. And the proportional
queue, where cancellations at an order's level move it up."""

import types

import pytest

from orva_mero_backtest.market_rules import Failure
from orva_mero_backtest.driver import Backtest, BacktestError, Instrument, latencies
from orva_mero_backtest.modules.engine import engine
from orva_mero_backtest.modules.matcher import matcher as matcher_module
from orva_mero_backtest.modules.positions.positions import Positions
from orva_mero_backtest.options import latency_option
from orva_mero_backtest.orders import OrderTracker
from orva_mero_backtest.strategy import Strategy

from test_fills import tick

QUEUES = ["conservative", "proportional"]

QUOTE = dict(bid=49.9, bid_volume=6, ask=50.0, ask_volume=3)
START = tick(100.0, 50.0, 1, **QUOTE)
REFUSED = {Failure.CANCEL_NOT_OPEN.code, Failure.MODIFY_NOT_OPEN.code}


class Desk:
    """The exchange under the quote model with a tracker whose cancels take ``cancel_ms`` to land;
    each tick is met as the tick loop meets it (requests landed first)."""

    def __init__(self, cancel_ms=100.0, entry_ms=0.0, queue="conservative"):
        self.m = matcher_module.Matcher(Positions())
        self.model = engine.fill_model(self.m, "quote", entry_ms / 1000.0, queue)
        self.clock = types.SimpleNamespace(now=None)
        self.tracker = OrderTracker(self.m, cancel_ms / 1000.0, self.clock)
        self.answers = []  # the order reports
        self.log, self.seen = [], 0  # every report, and how many a differential test has read

    def at(self, t):
        self.clock.now = t["timestamp"]
        self.m.set_current_tick(t)

    def place(self, action, qty, price=0.0, price_type="LMT", order_type="ROD", at=START):
        self.at(at)
        trade_id = self.tracker.place("2330", "Stock", action, price, qty, price_type, order_type, "Cash", "Common",
                                      "Auto", at["timestamp"])
        self.reports()
        return trade_id

    def meet(self, t):
        self.at(t)
        if self.tracker.requests:
            self.tracker.land(t)
        engine.match_with_model(self.model, t, self.m.pending_orders)
        return self.reports()

    def reports(self):
        out = []
        while self.m.response_queue.queue:
            r = self.m.pop_response()
            self.tracker.track(r)
            self.log.append(r)
            if "operation_type" not in r:
                out.append((r["price"], r["quantity"]))
                continue
            self.answers.append(r)
            kind = str(r["operation_type"].value)
            if r["operation_status_code"] in REFUSED:
                out.append(("refused", kind))
            elif kind == "Cancel":
                out.append(("cancel", r["order"]["quantity"]))
            elif kind != "New":
                out.append((kind, r["order"]["quantity"], r["order"]["price"]))
        return out

    def record(self, trade_id):
        o = self.tracker.orders[trade_id]
        return o["filled_qty"], o["cancelled_qty"], o["status"]


@pytest.fixture
def desk():
    d = Desk()
    yield d
    d.m.close()


@pytest.mark.parametrize("tape, answers, record", [
    # a trade before the cancel lands fills part; the cancel then takes the rest
    ([tick(100.05, 49.95, 1, **QUOTE), tick(100.1, 49.95, 5, **QUOTE)], [[(49.95, 1)], [("cancel", 1)]],
     (1, 1, "Cancelled")),
    # the cancel lands on the first tick at its time, before that tick is matched
    ([tick(100.1, 49.95, 5, **QUOTE)], [[("cancel", 2)]], (0, 2, "Cancelled")),
    # filled whole just before: the cancel finds nothing open
    ([tick(100.099, 49.95, 5, **QUOTE), tick(100.1, 49.95, 5, **QUOTE)], [[(49.95, 2)], [("refused", "Cancel")]],
     (2, 0, "Filled")),
])
def test_an_order_keeps_matching_until_its_cancel_lands(desk, tape, answers, record):
    trade_id = desk.place("Buy", 2, 49.95)  # a new, better bid: nobody ahead
    assert desk.tracker.cancel(trade_id) is True
    assert desk.record(trade_id) == (0, 0, "Open")  # sent, not yet applied
    assert [desk.meet(t) for t in tape] == answers
    assert desk.record(trade_id) == record
    assert desk.tracker.requests == []


def test_a_cancel_after_the_fill_gets_the_exchanges_refusal_in_the_usual_shape(desk):
    cancelled = desk.place("Buy", 1, 49.95)
    filled = desk.place("Buy", 2, 0.0, "MKT")
    for trade_id in (cancelled, filled):
        desk.tracker.cancel(trade_id)
    assert desk.meet(tick(100.05, 50.0, 1, **QUOTE)) == [(50.0, 2)]  # at the ask
    assert desk.meet(tick(100.1, 50.0, 1, **QUOTE)) == [("cancel", 1), ("refused", "Cancel")]
    done, refused = desk.answers[-2:]
    assert refused["operation_status_code"] == "0401"
    assert refused["operation_message"] == "委託單已成交或已刪除，無法刪單"
    assert refused["order"]["id"] == filled and refused["order"]["quantity"] == 0
    assert refused["trade_status"]["exchange_ts"] == 100.1
    # the shape of the exchange's own cancel report, key for key
    assert list(refused) == list(done)
    assert [list(refused[k]) for k in ("order", "trade_status")] == [list(done[k]) for k in ("order", "trade_status")]
    assert desk.record(filled) == (2, 0, "Filled")
    assert desk.tracker.open_orders() == []


@pytest.mark.parametrize("qty, price, tape, answers, record", [
    # a new price lands before the tick is matched: at 49.95 it is a new, better bid with nobody ahead
    (None, 49.95, [tick(100.05, 49.95, 3, **QUOTE), tick(100.1, 49.95, 3, **QUOTE)],
     [[], [("UpdatePrice", 3, 49.95), (49.95, 3)]], (3, 0, "Filled")),
    # taking 2 off lands first: 1 is left to fill
    (2, None, [tick(100.1, 49.7, 5, **QUOTE)], [[("UpdateQty", 1, 49.8), (49.8, 1)]], (1, 2, "Cancelled")),
    # 2 filled first: taking 2 off what is left (1) cancels it
    (2, None, [tick(100.05, 49.7, 2, **QUOTE), tick(100.1, 49.7, 5, **QUOTE)], [[(49.8, 2)], [("cancel", 1)]],
     (2, 1, "Cancelled")),
    # filled whole first: the exchange refuses each change asked for
    (1, 49.95, [tick(100.05, 49.7, 5, **QUOTE), tick(100.2, 49.7, 5, **QUOTE)],
     [[(49.8, 3)], [("refused", "UpdateQty"), ("refused", "UpdatePrice")]], (3, 0, "Filled")),
])
def test_a_modification_takes_effect_when_it_lands(desk, qty, price, tape, answers, record):
    trade_id = desk.place("Buy", 3, 49.8)  # behind the bid of 49.9: fills only on a trade through it
    assert desk.tracker.modify(trade_id, qty, price) is True
    assert [desk.meet(t) for t in tape] == answers
    assert desk.record(trade_id) == record
    if answers[-1][0][0] == "refused":
        assert {a["operation_status_code"] for a in desk.answers[-2:]} == {"0402"}


def test_requests_land_only_on_ticks_of_their_instrument(desk):
    trade_id = desk.place("Buy", 2, 49.95)
    desk.tracker.cancel(trade_id)
    desk.tracker.land(tick(101.0, 50.0, 1, code="2317", **QUOTE))
    assert len(desk.tracker.requests) == 1 and desk.m.pending_orders
    assert desk.meet(tick(101.0, 50.0, 1, **QUOTE)) == [("cancel", 2)]


def bid(ts, size, close=50.0, qty=1, price=49.9):
    return tick(ts, close, qty, bid=price, bid_volume=size, ask=50.0, ask_volume=3)


@pytest.mark.parametrize("tape, conservative, proportional", [
    # 3 of the 6 ahead cancel, nobody behind: all 3 were ahead; 5 then trade at the price
    ([bid(100.1, 6), bid(100.2, 3), bid(100.3, 3, 49.9, 5)], [[], [], []], [[], [], [(49.9, 2)]]),
    # 4 join behind, then 5 cancel: floor(5 * 6 / 10) = 3 of them were ahead; 4 then trade at the price
    ([bid(100.1, 6), bid(100.2, 10), bid(100.3, 5), bid(100.4, 5, 49.9, 4)], [[], [], [], []],
     [[], [], [], [(49.9, 1)]]),
    # what trades at the price is no cancellation: 6 ahead, 2 trade, 4 shown after
    ([bid(100.1, 6), bid(100.2, 6, 49.9, 2), bid(100.3, 4), bid(100.4, 4, 49.9, 5)], [[], [], [], [(49.9, 1)]],
     [[], [], [], [(49.9, 1)]]),
    # the level is gone (the best bid is below it): nobody is left ahead
    ([bid(100.1, 6), bid(100.2, 5, price=49.8), bid(100.3, 5, 49.9, 2, price=49.8)], [[], [], []],
     [[], [], [(49.9, 2)]]),
])
@pytest.mark.parametrize("queue", QUEUES)
def test_the_proportional_queue_moves_up_by_the_cancellations_ahead(queue, tape, conservative, proportional):
    desk = Desk(queue=queue)
    try:
        desk.place("Buy", 4, 49.9)
        assert [desk.meet(t) for t in tape] == (proportional if queue == "proportional" else conservative)
    finally:
        desk.m.close()


def test_a_run_states_its_queue_model_and_refuses_others():
    result = Backtest(CancelAtOnce(), [Instrument("2412", "Stock")], "2024-01-02", "2024-01-02",
                      module_console="none", queue="proportional").run()
    assert result.queue_model == "proportional"
    assert result.fill_model_text == "quote model (proportional queue), entry latency 0 ms"
    with pytest.raises(BacktestError, match="queue must be one of conservative, proportional"):
        Backtest(CancelAtOnce(), [Instrument("2412", "Stock")], "2024-01-02", "2024-01-02", queue="fifo")


class CancelAtOnce(Strategy):
    """Buys 1 at market on its 10th tick and cancels it on the same tick."""

    name = "cancel-at-once"

    def __init__(self):
        super().__init__()
        self.n = 0
        self.seen = []

    def on_tick(self, ctx, tick):
        self.n += 1
        if self.n == 10:
            self.seen.append(ctx.cancel_order(ctx.buy(tick["code"], 1, order_type="ROD")))

    def on_order(self, ctx, report):
        self.seen.append((str(report["operation_type"]), report["operation_status_code"]))

    def on_deal(self, ctx, report):
        self.seen.append("deal")


@pytest.mark.parametrize("latency, seen, status, stated", [
    (0, [True, ("New", "0000"), ("Cancel", "0002")], "Cancelled", "quote model, entry latency 0 ms"),
    # the next ticks of this day come seconds apart: the fill comes first, then the refusal
    ((0, 10_000), [True, ("New", "0000"), "deal", ("Cancel", "0401")], "Filled",
     "quote model, entry latency 0 ms, cancel latency 10000 ms"),
])
def test_a_run_delivers_the_answer_to_a_late_cancel_to_on_order(latency, seen, status, stated):
    s = CancelAtOnce()
    result = Backtest(s, [Instrument("2412", "Stock")], "2024-01-02", "2024-01-02", module_console="none",
                      latency=latency).run()
    assert s.seen == seen
    assert result.orders[0]["status"] == status
    assert result.fill_model_text == stated


@pytest.mark.parametrize("given, pair", [(5, (5.0, 0.0)), (2.5, (2.5, 0.0)), ((5, 7), (5.0, 7.0)), ([0, 3.5], (0.0, 3.5))])
def test_latency_is_the_entry_latency_or_a_pair(given, pair):
    assert latencies(given) == pair


@pytest.mark.parametrize("given", [(1,), (1, 2, 3), (1, -1), "5", (True, 0), (0, float("inf")), None])
def test_other_latencies_are_refused(given):
    with pytest.raises(BacktestError, match="latency must be"):
        latencies(given)


@pytest.mark.parametrize("text, pair", [("250", (250.0, 0.0)), ("250,40", (250.0, 40.0)), (" 1 , 2 ", (1.0, 2.0))])
def test_the_latency_option_takes_entry_and_cancel(text, pair):
    assert latency_option(text) == pair


# --- the engine against the plain model, cancels included -----------------------------------------

from hypothesis import given, settings, strategies as st

from reference.fill_models import QuoteModel
from test_fills import tapes


@st.composite
def tapes_with_cancels(draw):
    ticks, orders, entry = draw(tapes())
    for o in orders:
        o["cancels"] = draw(st.lists(st.integers(o["at"], len(ticks) - 1), max_size=2))
    return ticks, orders, entry, draw(st.sampled_from([50.0, 100.0, 300.0])), draw(st.sampled_from(QUEUES))


@settings(max_examples=200, deadline=None)
@given(tapes_with_cancels())
def test_the_engine_fills_and_cancels_as_the_plain_model_does(case):
    ticks, orders, entry, cancel, queue = case
    desk, model = Desk(cancel, entry, queue), QuoteModel(entry, cancel, queue)
    ids, got, want = {}, [], []
    try:
        for i, t in enumerate(ticks):
            if i:
                desk.meet(t)
                got += answers_of(desk, ids)
                want += model.meet(t)
            for k, o in enumerate(orders):
                if o["at"] == i:
                    price = o["price"] if o["price_type"] == "LMT" else 0.0
                    ids[desk.place(o["action"], o["qty"], price, o["price_type"], o["order_type"], at=t)] = k
                    model.place(k, {**o, "price": price, "placed": t["timestamp"]})
            for k, o in enumerate(orders):
                for _ in range(o["cancels"].count(i)):
                    trade_id = next(tid for tid, n in ids.items() if n == k)
                    assert desk.tracker.cancel(trade_id) == model.cancel(k, t["timestamp"])
    finally:
        desk.m.close()
    assert got == want


def answers_of(desk, ids):
    out = []
    for r in desk.log[desk.seen:]:
        if "operation_type" not in r:
            out.append(("deal", ids[r["id"]], r["price"], r["quantity"]))
            continue
        k = ids[r["order"]["id"]]
        if r["operation_status_code"] in REFUSED:
            out.append(("refused", k))
        elif str(r["operation_type"].value) == "Cancel":
            out.append(("cancel", k, r["order"]["quantity"]))
    desk.seen = len(desk.log)
    return out
