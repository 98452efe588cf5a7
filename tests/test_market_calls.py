"""Call auctions and the intraday odd-lot call, on the package's own exchange and order tracker with
ticks handed to the market rules by hand; every expected fill is worked out from the ticks below."""

import queue
from datetime import date

import pytest

from matcher_support import FakePositions
from orva_mero_backtest.market_rules import HELD, MarketRules, Refusal, RuleSwitches
from orva_mero_backtest.market_rules import auctions, odd_lots
from orva_mero_backtest.market_rules.sessions import SessionRule
from orva_mero_backtest.modules.matcher import matcher as matcher_module
from orva_mero_backtest.orders import OrderTracker


class Console:
    def print(self, text):
        pass


class FakeBacktest:
    def __init__(self):
        self.matcher = matcher_module.Matcher(FakePositions())
        self.tracker = OrderTracker(self.matcher)
        self.markets = {"2330": "Stock", "2317": "Stock", "0050": "Stock", "TXFR1": "Future"}

    def _order_tracker(self):
        return self.tracker


@pytest.fixture(autouse=True)
def quiet(monkeypatch):
    monkeypatch.setattr(matcher_module, "console", Console())


def at(day, h, m, s=0.0):
    return (day - date(1970, 1, 1)).days * 86400.0 + h * 3600 + m * 60 + s


DAY = date(2024, 3, 6)
OLD, NEW = date(2024, 11, 29), date(2024, 12, 2)  # either side of the 5-second odd-lot call


class Market:
    """The rule under test, with the session rule in front of it unless ``sessions`` is False."""

    def __init__(self, rule, sessions=True):
        self.bt = FakeBacktest()
        switches = RuleSwitches() if sessions else RuleSwitches.without(["sessions"])
        rules = [SessionRule(), rule] if sessions else [rule]
        self.rules = MarketRules(self.bt, switches, rules)
        for r in rules:
            r.start(self.rules)
        self.rules.refresh()
        self.names = {}

    def place(self, name, code, action, price, qty, ts, price_type="LMT", order_type="ROD", lot="Common",
              product="Stock"):
        tid = self.rules.place(code, product, action, price, qty, price_type, order_type, "Cash", lot, "Auto", ts)
        self.names[tid] = name
        return tid

    def tick(self, code, ts, close, qty):
        self.rules.on_tick({"code": code, "timestamp": ts, "close": close, "qty": qty, "tick_type": 0,
                            "bid_price": close - 0.5, "bid_volume": 50, "ask_price": close, "ask_volume": 50})

    def reports(self):
        """(name, "deal", qty, price) or (name, operation, qty), each applied to the tracker first."""
        out = []
        q = self.bt.matcher.response_queue
        while True:
            try:
                r = q.get_nowait()
            except queue.Empty:
                return out
            self.bt.tracker.track(r)
            if "operation_type" in r:
                out.append((self.names[r["order"]["id"]], str(r["operation_type"]), r["order"]["quantity"]))
            else:
                out.append((self.names[r["id"]], "deal", r["quantity"], r["price"]))

    def status(self, name):
        tid = next(t for t, n in self.names.items() if n == name)
        return self.bt.tracker.orders[tid]["status"]

    def book(self):
        return sorted(self.names[r["trade_id"]] for r in self.bt.matcher.pending_orders)


def news(names):
    return [(n, "New", q) for n, q in names]


# --- the closing call ------------------------------------------------------------------------------

def closing_call(sessions=False):
    """A continuous buy at 101 resting from 13:24, then orders of the closing call; the print 100.
    (A market order reaches a call only with the session rule off.)"""
    m = Market(auctions.Auctions(), sessions)
    m.tick("2330", at(DAY, 13, 20), 100.5, 3)
    m.place("rest101", "2330", "Buy", 101.0, 3, at(DAY, 13, 24))
    m.tick("TXFR1", at(DAY, 13, 25, 1), 17000.0, 2)  # the closing call starts: the resting order joins it
    m.place("sell99", "2330", "Sell", 99.0, 2, at(DAY, 13, 26))
    if not sessions:
        m.place("mkt", "2330", "Buy", 0.0, 2, at(DAY, 13, 27), price_type="MKT")
    m.place("buy100", "2330", "Buy", 100.0, 2, at(DAY, 13, 28))
    m.place("buy99.5", "2330", "Buy", 99.5, 1, at(DAY, 13, 28, 10))  # below the print: not through
    m.place("sell100.5", "2330", "Sell", 100.5, 1, at(DAY, 13, 29))  # above the print: not through
    m.reports()
    return m


def test_orders_of_the_call_wait_out_of_the_book():
    m = closing_call()
    assert m.book() == []
    assert {m.status(n) for n in m.names.values()} == {"Open"}
    assert len(m.bt.tracker.open_orders("2330")) == 6
    assert m.rules.watched == {"2330": None}


@pytest.mark.parametrize("volume, deals, left", [
    # market first, then in the time entered: 2 + 3 + 1 uses up the 6 lots
    (6, [("mkt", 2), ("rest101", 3), ("sell99", 1)], ["buy100", "buy99.5", "sell100.5", "sell99"]),
    (2, [("mkt", 2)], ["buy100", "buy99.5", "rest101", "sell100.5", "sell99"]),
    (50, [("mkt", 2), ("rest101", 3), ("sell99", 2), ("buy100", 2)], ["buy99.5", "sell100.5"]),
])
def test_closing_call_fills_at_the_print_in_queue_order(volume, deals, left):
    m = closing_call()
    m.tick("2330", at(DAY, 13, 30), 100.0, volume)
    got = m.reports()
    assert got == [(n, "deal", q, 100.0) for n, q in deals]
    assert m.book() == []  # out of the book until the print has been matched
    m.tick("TXFR1", at(DAY, 13, 30, 1), 17000.0, 1)
    assert m.book() == left
    assert m.rules.held == {} and m.rules.watched == {}
    # Resting overnight (no session rule), they take part in the next opening call, the oldest first.
    if volume == 6:
        m.tick("2330", at(date(2024, 3, 7), 9, 0), 100.0, 1)
        assert m.reports() == [("sell99", "deal", 1, 100.0)]


def test_the_session_rule_cancels_what_the_closing_call_left_after_the_close():
    m = closing_call(sessions=True)
    m.tick("2330", at(DAY, 13, 30), 100.0, 4)
    assert m.reports() == [("rest101", "deal", 3, 100.0), ("sell99", "deal", 1, 100.0)]
    m.tick("TXFR1", at(DAY, 13, 30, 1), 17000.0, 1)
    assert sorted(m.reports()) == [("buy100", "Cancel", 2), ("buy99.5", "Cancel", 1), ("sell100.5", "Cancel", 1),
                                   ("sell99", "Cancel", 1)]
    assert m.book() == [] and m.rules.held == {}
    assert m.status("rest101") == "Filled" and m.status("sell99") == "Cancelled"


# --- the opening call ------------------------------------------------------------------------------

def test_opening_call_fills_at_the_first_trade_and_the_rest_joins_continuous_trading():
    m = Market(auctions.Auctions())
    m.tick("TXFR1", at(DAY, 8, 45), 17000.0, 1)
    m.place("buy101", "2330", "Buy", 101.0, 2, at(DAY, 8, 46))
    m.place("sell98", "2330", "Sell", 98.0, 3, at(DAY, 8, 50))
    m.place("sell101", "2330", "Sell", 101.0, 1, at(DAY, 8, 55))
    m.reports()
    m.tick("2330", at(DAY, 9, 0, 0.2), 100.0, 4)
    assert [g for g in m.reports()] == [("buy101", "deal", 2, 100.0), ("sell98", "deal", 2, 100.0)]
    assert m.book() == []  # kept from the print tick's own matching
    m.tick("2317", at(DAY, 9, 0, 0.2), 50.0, 1)  # the next tick, of any code: the print is done
    assert m.book() == ["sell101", "sell98"]
    assert m.rules.held == {} and m.rules.watched == {}


def test_an_order_entered_after_the_print_keeps_the_book_in_time_order():
    m = Market(auctions.Auctions())
    m.tick("TXFR1", at(DAY, 8, 45), 17000.0, 1)
    m.place("early", "2330", "Buy", 99.0, 1, at(DAY, 8, 50))
    m.tick("2330", at(DAY, 9, 0), 100.0, 1)
    late = m.place("late", "2330", "Buy", 99.0, 1, at(DAY, 9, 0))  # from the print tick's on_tick
    assert [r["trade_id"] for r in m.bt.matcher.pending_orders][-1] == late
    assert m.book() == ["early", "late"]


@pytest.mark.parametrize("product, code, placed, next_tick", [
    ("Stock", "2330", (8, 40), (8, 59)),  # the data trades during the opening call period
    ("Future", "TXFR1", (13, 41), (13, 41, 2)),  # futures data trading through 13:40-13:45
])
def test_no_call_in_the_data_sends_the_orders_to_the_book(product, code, placed, next_tick):
    m = Market(auctions.Auctions())
    m.tick("0050", at(DAY, 8, 31), 130.0, 1)
    m.place("order", code, "Buy", 100.0, 1, at(DAY, *placed), product=product)
    assert m.book() == []
    m.tick(code, at(DAY, *next_tick), 100.0, 5)
    assert m.book() == ["order"]
    assert [g for g in m.reports() if g[1] == "deal"] == []


def test_a_call_without_a_print_ends_with_its_session():
    m = Market(auctions.Auctions())
    m.tick("TXFR1", at(DAY, 13, 26), 17000.0, 1)
    m.place("order", "2330", "Buy", 100.0, 1, at(DAY, 13, 27))
    m.reports()
    m.tick("TXFR1", at(DAY, 13, 31), 17000.0, 1)  # the session rule's close, while the order is held
    assert m.reports() == [("order", "Cancel", 1)]
    m.tick("2330", at(date(2024, 3, 7), 9, 0), 100.0, 5)
    assert m.reports() == [] and m.book() == [] and m.rules.watched == {}


def test_cancel_and_change_of_a_held_order():
    m = Market(auctions.Auctions())
    m.tick("TXFR1", at(DAY, 13, 26), 17000.0, 1)
    a = m.place("a", "2330", "Buy", 99.0, 3, at(DAY, 13, 27))
    b = m.place("b", "2330", "Buy", 99.0, 3, at(DAY, 13, 27))
    m.reports()
    assert m.bt.tracker.modify(a, None, 100.0) is True
    assert m.bt.tracker.cancel(b) is True
    assert m.reports() == [("a", "UpdatePrice", 3), ("b", "Cancel", 3)]
    assert m.book() == [] and list(m.rules.held) == [a]
    m.tick("2330", at(DAY, 13, 30), 100.0, 9)
    assert m.reports() == [("a", "deal", 3, 100.0)]


@pytest.mark.parametrize("product, ts, held", [
    ("Stock", (8, 30), True), ("Stock", (8, 59, 59), True), ("Stock", (9, 0), False),
    ("Stock", (13, 24, 59), False), ("Stock", (13, 25), True), ("Stock", (13, 30), False),
    ("Future", (8, 44), True), ("Future", (8, 45), False), ("Future", (13, 40), True), ("Future", (13, 45), False),
])
def test_call_periods(product, ts, held):
    assert (auctions.call_period(product, at(DAY, *ts)) is not None) is held


def test_call_starts_are_the_sessions_call_periods():
    for product, start, end, closing in auctions.CALLS:
        assert auctions.call_period(product, at(DAY, 0, 0, start)) == (product, start, end, closing)


# --- intraday odd lots -----------------------------------------------------------------------------

@pytest.mark.parametrize("day, placed, calls", [
    (OLD, (10, 0, 1), [(10, 1, 0), (10, 2, 0)]),
    (NEW, (10, 0, 1), [(10, 0, 5), (10, 0, 10)]),
    (NEW, (9, 0), [(9, 10, 0), (9, 10, 5)]),  # the first call is at 09:10
    (NEW, (9, 10), [(9, 10, 5), (9, 10, 10)]),
    (date(2022, 12, 16), (9, 10, 1), [(9, 13), (9, 16)]),  # every 3 minutes before 2022-12-19
    (date(2022, 12, 16), (13, 28, 30), [(13, 30), (9, 10)]),  # 13:30 closes; then the next day's
    (OLD, (13, 30), [(9, 10), (9, 11)]),
])
def test_odd_lot_call_times(day, placed, calls):
    first = odd_lots.next_call(at(day, *placed))
    nxt = odd_lots.next_call(first)
    following = date.fromordinal(day.toordinal() + 1)
    expected = [at(day if c > placed and c <= (13, 30) else following, *c) for c in calls]
    if placed >= (13, 30):
        expected = [at(following, *c) for c in calls]
    assert [first, nxt] == expected


# Board-lot trades after a buy of 300 shares at 101 entered at 10:00:01 (the second, price, lots).
TRADES = [(2, 102.0, 1), (3, 100.5, 1), (6, 100.0, 1), (30, 99.0, 1), (61, 98.0, 1)]


@pytest.mark.parametrize("day, price, seconds", [
    (OLD, 99.0, 60),  # the 10:01:00 call: the last trade of 10:00:01-10:01:00 is 99.0
    (NEW, 100.5, 5),  # the 10:00:05 call: the last trade up to then is 100.5
])
def test_odd_lot_call_against_the_board_lot_stand_in(day, price, seconds):
    m = Market(odd_lots.OddLots())
    tid = m.place("odd", "2330", "Buy", 101.0, 300, at(day, 10, 0, 1), lot="IntradayOdd")
    assert m.reports() == [("odd", "New", 300)] and m.book() == []
    deals = []
    for s, p, lots in TRADES:
        m.tick("2330", at(day, 10, 0, s), p, lots)
        deals += [(s, g) for g in m.reports()]
    expected_at = next(s for s, _, _ in TRADES if s >= seconds)  # the first tick at or after the call
    assert deals == [(expected_at, ("odd", "deal", 300, price))]
    assert m.bt.tracker.orders[tid]["matched_against"] == odd_lots.STAND_IN
    assert m.rules.watched == {} and m.rules.rules[-1].wake_at == float("inf")


def test_odd_lot_call_volume_limits_and_the_session_close():
    m = Market(odd_lots.OddLots())
    m.place("buy", "2330", "Buy", 100.0, 1500, at(NEW, 13, 29, 51), lot="IntradayOdd")
    m.place("sell", "2330", "Sell", 100.5, 200, at(NEW, 13, 29, 52), lot="IntradayOdd")  # not through
    m.reports()
    m.tick("2330", at(NEW, 13, 29, 53), 100.0, 1)  # 1,000 shares for the 13:29:55 call
    m.tick("2330", at(NEW, 13, 29, 56), 100.0, 0)
    assert m.reports() == [("buy", "deal", 1000, 100.0)]
    m.tick("2330", at(NEW, 13, 30), 99.5, 3)  # the 13:30 call, then the session closes
    assert m.reports() == [("buy", "deal", 500, 99.5)]
    m.tick("2330", at(NEW, 13, 30, 1), 99.5, 3)  # the session rule's close
    assert m.reports() == [("sell", "Cancel", 200)]
    assert m.rules.held == {} and m.book() == []


def test_odd_lot_prints_replace_the_stand_in():
    m = Market(odd_lots.OddLots())
    tid = m.place("buy", "2330", "Buy", 100.0, 400, at(NEW, 10, 0, 1), lot="IntradayOdd")
    m.reports()
    m.rules.on_tick({"code": "2330", "timestamp": at(NEW, 10, 0, 2), "close": 99.0, "qty": 250, "odd_lot": True})
    m.tick("2330", at(NEW, 10, 0, 3), 98.0, 5)  # board lots: no longer the stand-in
    m.tick("2330", at(NEW, 10, 0, 6), 98.0, 5)
    assert m.reports() == [("buy", "deal", 250, 99.0)]
    assert m.bt.tracker.orders[tid]["matched_against"] == odd_lots.ODD_PRINTS


@pytest.mark.parametrize("kwargs, ts, message", [
    ({"price_type": "MKT"}, (10, 0), ("0203", "零股交易僅接受限價ROD委託")),
    ({"order_type": "IOC"}, (10, 0), ("0203", "零股交易僅接受限價ROD委託")),
    ({"order_type": "FOK"}, (10, 0), ("0203", "零股交易僅接受限價ROD委託")),
    ({"product": "Future"}, (10, 0), ("0203", "零股交易僅接受限價ROD委託")),
    ({}, (8, 59, 59), ("0103", "非該交易別之委託時段，委託失敗")),
    ({}, (13, 30), ("0103", "非該交易別之委託時段，委託失敗")),
    ({}, (9, 0), None),
])
def test_odd_lot_refusals(kwargs, ts, message):
    from orva_mero_backtest.market_rules import Order

    args = dict(code="2330", product_type=kwargs.get("product", "Stock"), action="Buy", price=100.0, qty=10,
                price_type=kwargs.get("price_type", "LMT"), order_type=kwargs.get("order_type", "ROD"),
                order_cond="Cash", order_lot="IntradayOdd", oc_type="Auto", timestamp=at(NEW, *ts))
    answer = odd_lots.OddLots().check(Order(**args), None)
    if message is None:
        assert answer is HELD
    else:
        assert isinstance(answer, Refusal) and (answer.status_code, answer.message) == message
        assert "2330" in answer.reason


# --- end to end, on the simulated broker's ticks -----------------------------------------------------

class CallStrategy:
    """Enters a resting sell far above the market at 13:00, a closing-call buy at 13:26 (from a futures
    tick), and an odd-lot buy at the first stock tick after 10:00."""

    def __init__(self):
        from orva_mero_backtest.strategy import Strategy

        outer = self

        class S(Strategy):
            name = "calls"

            def on_tick(self, ctx, tick):
                outer.on_tick(ctx, tick)

            def on_deal(self, ctx, deal):
                outer.deals.append(deal)

        self.strategy = S()
        self.deals = []
        self.ids = {}

    def on_tick(self, ctx, tick):
        t = tick["timestamp"] % 86400
        if tick["code"] == "2412":
            if "odd" not in self.ids and t >= 10 * 3600:
                self.ids["odd"] = ctx.buy("2412", 100, price=tick["close"] + 2.0, order_lot="IntradayOdd")
                self.odd_entry = tick["timestamp"]
            if "rest" not in self.ids and t >= 13 * 3600:
                self.ids["rest"] = ctx.sell("2412", 1, price=tick["close"] + 5.0)
        elif "call" not in self.ids and t >= 13 * 3600 + 26 * 60:
            self.ids["call"] = ctx.buy("2412", 1, price=140.0)
            self.call_status = ctx.order(self.ids["call"])["status"]


def test_calls_end_to_end_on_the_simulated_ticks():
    from orva_mero_backtest.driver import Backtest, Instrument
    from orva_mero_backtest.sim_broker import SimulatedBroker, generate_day

    s = CallStrategy()
    day = "2024-01-02"
    result = Backtest(s.strategy, [Instrument("2412", "Stock"), Instrument("TMFR1", "Future")], day, day,
                      module_console="none").run()
    orders = {o["trade_id"]: o for o in result.orders}
    ticks = generate_day(SimulatedBroker().Contracts.Stocks["2412"], date(2024, 1, 2))
    rows = list(zip([ts / 1e9 for ts in ticks["ts"]], ticks["close"]))
    print_price = rows[-1][1]  # the 13:30 closing print
    odd_entry = s.odd_entry
    call = odd_lots.next_call(odd_entry)  # 60-second calls on this day
    stand_in = [p for ts, p in rows if odd_entry < ts <= call][-1]
    by_id = {}
    for d in s.deals:
        by_id.setdefault(d["id"], []).append((d["quantity"], d["price"]))
    assert s.call_status == "Open"
    assert by_id[s.ids["call"]] == [(1, print_price)]
    assert by_id[s.ids["odd"]] == [(100, stand_in)]
    assert s.ids["rest"] not in by_id and orders[s.ids["rest"]]["status"] == "Cancelled"  # at the print
    assert orders[s.ids["odd"]]["matched_against"] == odd_lots.STAND_IN
