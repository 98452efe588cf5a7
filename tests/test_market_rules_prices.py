"""The price rules: the daily band on each ladder tier, tick-ladder refusals, market orders booked at
the band limit, a market locked at limit-up, and the day's references. Expected values by hand."""

import pytest

from orva_mero_backtest.costs import TickLadder
from orva_mero_backtest.market_rules import Failure, MarketRules, Order, Refusal, RuleSwitches
from orva_mero_backtest.market_rules.prices import PriceLimits, daily_band
from orva_mero_backtest.modules.engine import engine
from orva_mero_backtest.modules.matcher import matcher as matcher_module
from orva_mero_backtest.modules.positions.positions import Positions

DAY = 19724  # 2024-01-02, days since 1970-01-01
NINE = DAY * 86400.0 + 9 * 3600.0
OUTSIDE_BAND = (Failure.PRICE_OUTSIDE_BAND.code, Failure.PRICE_OUTSIDE_BAND.message)
OFF_LADDER = (Failure.PRICE_OFF_TICK.code, Failure.PRICE_OFF_TICK.message)


# --- the band, by hand: reference x 1.1 rounded down, x 0.9 rounded up, on the limit's own tier ----

@pytest.mark.parametrize("product, code, reference, band", [
    # stocks: 0.01 below 10, 0.05 to 50, 0.1 to 100, 0.5 to 500, 1 to 1000, 5 above
    ("Stock", "2330", 9.95, (8.96, 10.90)),  # 10.945 is on the 0.05 tier: 10.90, not 10.94
    ("Stock", "2330", 10.0, (9.00, 11.00)),
    ("Stock", "2330", 18.15, (16.35, 19.95)),  # 16.335 up to 16.35, 19.965 down to 19.95
    ("Stock", "2330", 49.9, (44.95, 54.8)),  # 44.91 up to 44.95; 54.89 on the 0.1 tier
    ("Stock", "2330", 50.0, (45.0, 55.0)),
    ("Stock", "2330", 99.9, (90.0, 109.5)),  # 89.91 up to 90.0; 109.89 on the 0.5 tier
    ("Stock", "2330", 100.0, (90.0, 110.0)),
    ("Stock", "2330", 499.5, (450.0, 549.0)),  # 449.55 up to 450; 549.45 on the 1 tier
    ("Stock", "2330", 500.0, (450.0, 550.0)),
    ("Stock", "2330", 999.0, (900.0, 1095.0)),  # 899.1 up to 900; 1098.9 on the 5 tier
    ("Stock", "2330", 1000.0, (900.0, 1100.0)),
    ("Stock", "2330", 0.05, (0.04, 0.06)),  # 10% is less than a tick: one tick each way
    # ETFs: 0.01 below 50, 0.05 from 50
    ("Stock", "0050", 49.95, (44.96, 54.90)),  # 44.955 up to 44.96; 54.945 on the 0.05 tier
    ("Stock", "0050", 50.0, (45.0, 55.0)),
    ("Stock", "0050", 45.6, (41.04, 50.15)),  # 50.16 crosses into the 0.05 tier
    # index futures: whole points
    ("Future", "TXFR1", 17654.0, (15889.0, 19419.0)),  # 15888.6 up, 19419.4 down
    ("Future", "MXFR1", 18479.0, (16632.0, 20326.0)),  # 16631.1 up, 20326.9 down
])
def test_the_band_on_each_ladder_tier(product, code, reference, band):
    assert daily_band(reference, TickLadder(product, code)) == pytest.approx(band, abs=1e-9)


# --- a fake run: the backtest's last prices and markets, orders handed on to a recorder ---------

class FakeTracker:
    def __init__(self):
        self.placed = []

    def place(self, *args):
        self.placed.append(Order(*args))
        return f"t{len(self.placed)}"


class FakePositions:
    def __init__(self):
        self.last_ticks = {}  # code -> the last main tick the book marked


class FakeBacktest:
    def __init__(self, last_close, markets):
        self._last_close = dict(last_close)
        self.markets = markets
        self.positions = FakePositions()
        self.tracker = FakeTracker()

    def _order_tracker(self):
        return self.tracker


MARKETS = {"2330": "Stock", "2882": "Stock", "0050": "Stock", "TXFR1": "Future"}


def tick(code, ts, close, qty=1, bid=0.0, bid_volume=0, ask=0.0, ask_volume=0):
    return {"code": code, "timestamp": ts, "close": close, "qty": qty, "market_type": MARKETS[code],
            "bid_price": bid, "bid_volume": bid_volume, "ask_price": ask, "ask_volume": ask_volume}


def market(last_close):
    rule = PriceLimits()
    rules = MarketRules(FakeBacktest(last_close, MARKETS), RuleSwitches(), [rule])
    return rules, rule


def started(last_close, first=None):
    """The rules after the day's first tick (2330 at 09:00 unless given)."""
    rules, rule = market(last_close)
    rules.on_tick(first or tick("2330", NINE, 601.0))
    return rules, rule


def order(code, action, price, price_type="LMT", order_type="ROD"):
    return Order(code, MARKETS[code], action, price, 1, price_type, order_type, "Cash", "Common", "Auto", NINE)


def test_the_days_references_are_the_last_prices_before_its_first_tick():
    everything = {"2330": 600.0, "2882": 45.0, "0050": 132.0, "TXFR1": 17654.0}
    rules, rule = market(everything)
    assert rules.wake_at == float("-inf")  # looks at the run's first tick
    rules.on_tick(tick("TXFR1", NINE - 900, 17700.0))
    assert rule.bands["2330"] == (540.0, 660.0) and rule.bands["TXFR1"] == (15889.0, 19419.0)
    assert rules.wake_at == DAY * 86400.0 + 14 * 3600 + 50 * 60  # next at 14:50, when the next day begins
    assert rules.watched == {}
    # The next day: the references are what the last prices are by then.
    rules.backtest._last_close.update({"2330": 650.0, "TXFR1": 17000.0})
    rules.on_tick(tick("2330", NINE + 86400, 651.0))
    assert rule.bands["2330"] == (585.0, 715.0) and rule.bands["TXFR1"] == (15300.0, 18700.0)
    # A night session belongs to the next trading day: a tick at 15:00 starts it.
    rules.backtest._last_close.update({"TXFR1": 17100.0})
    rules.on_tick(tick("TXFR1", NINE + 86400 + 6 * 3600, 17100.0))
    assert rule.bands["TXFR1"] == (15390.0, 18810.0)


@pytest.mark.parametrize("previous_main_tick, band", [
    (tick("2330", NINE - 86400 + 4.5 * 3600, 600.0), (540.0, 660.0)),  # yesterday's 13:30 print
    (None, (585.0, 715.0)),  # nothing known before: the day's first print, 650
])
def test_a_first_tick_whose_own_price_is_already_set(previous_main_tick, band):
    first = tick("2330", NINE, 650.0)
    rules, rule = market({"2330": 600.0, "2882": 45.0})
    rules.backtest._last_close["2330"] = first["close"]  # set before the rules looked
    if previous_main_tick:
        rules.backtest.positions.last_ticks["2330"] = previous_main_tick
    rules.on_tick(first)
    assert rule.bands["2882"] == (40.5, 49.5) and rule.bands["2330"] == band


def test_no_previous_trade_the_band_of_the_first_print():
    rules, rule = started({"2882": 45.0}, first=tick("2882", NINE, 45.0))
    assert "2330" not in rule.bands and "2330" in rules.watched
    assert rule.check(order("2330", "Buy", 5000.0), rules) is None  # on the ladder: accepted
    assert isinstance(rule.check(order("2330", "Buy", 601.5), rules), Refusal)  # the ladder still holds
    mkt = order("2330", "Buy", 0.0, "MKT")
    assert rule.check(mkt, rules) is None and (mkt.price_type, mkt.price) == ("MKT", 0.0)
    rules.on_tick(tick("2330", NINE + 5, 601.0))
    assert rule.bands["2330"] == (541.0, 661.0)  # 540.9 up, 661.1 down
    assert "2330" not in rules.watched
    assert rule.check(order("2330", "Buy", 662.0), rules).status_code == Failure.PRICE_OUTSIDE_BAND.code


# --- limit prices -------------------------------------------------------------------------------

@pytest.mark.parametrize("code, reference, action, price, refused", [
    ("2330", 600.0, "Buy", 660.0, False),  # limit-up itself
    ("2330", 600.0, "Buy", 661.0, True),
    ("2330", 600.0, "Sell", 540.0, False),  # limit-down itself
    ("2330", 600.0, "Sell", 539.0, True),
    ("2330", 999.0, "Buy", 1095.0, False),
    ("2330", 999.0, "Buy", 1100.0, True),
    ("2882", 9.95, "Buy", 10.90, False),
    ("2882", 9.95, "Buy", 10.95, True),
    ("2882", 9.95, "Sell", 8.95, True),
    ("0050", 49.95, "Buy", 54.90, False),
    ("0050", 49.95, "Buy", 54.95, True),
    ("TXFR1", 17654.0, "Buy", 19419.0, False),
    ("TXFR1", 17654.0, "Buy", 19420.0, True),
    ("TXFR1", 17654.0, "Sell", 15888.0, True),
])
def test_limit_prices_outside_the_band_are_refused(code, reference, action, price, refused):
    rules, rule = started({code: reference})
    answer = rule.check(order(code, action, price), rules)
    if not refused:
        assert answer is None
        return
    down, up = daily_band(reference, TickLadder(MARKETS[code], code))
    assert (answer.status_code, answer.message) == OUTSIDE_BAND
    assert f"{price:g}" in answer.reason.replace(",", "")
    assert f"{down:g} - {up:g}" in answer.reason.replace(",", "")


@pytest.mark.parametrize("code, reference, price, tick_text", [
    ("2882", 10.0, 10.03, "tick 0.05"),
    ("2882", 10.0, 9.995, "tick 0.01"),
    ("2330", 50.0, 50.05, "tick 0.1"),
    ("2330", 100.0, 100.2, "tick 0.5"),
    ("2330", 500.0, 500.5, "tick 1 "),
    ("2330", 1000.0, 1001.0, "tick 5"),
    ("0050", 50.0, 50.01, "tick 0.05"),
    ("TXFR1", 17654.0, 17654.5, "tick 1 "),
])
def test_limit_prices_off_the_ladder_are_refused(code, reference, price, tick_text):
    rules, rule = started({code: reference})
    answer = rule.check(order(code, "Buy", price), rules)
    assert (answer.status_code, answer.message) == OFF_LADDER
    assert f"limit price {price:g} " in answer.reason.replace(",", "") and tick_text in answer.reason


@pytest.mark.parametrize("code, price", [("2882", 9.99), ("2882", 10.05), ("0050", 49.99), ("2330", 1005.0)])
def test_prices_on_their_own_tier_are_taken(code, price):
    rules, rule = started({code: price})
    assert rule.check(order(code, "Sell", price), rules) is None


# --- market orders ------------------------------------------------------------------------------

@pytest.mark.parametrize("code, reference, action, price_type, order_type, booked", [
    ("2330", 600.0, "Buy", "MKT", "ROD", 660.0),
    ("2330", 600.0, "Sell", "MKT", "IOC", 540.0),
    ("2882", 9.95, "Buy", "MKT", "FOK", 10.90),
    ("TXFR1", 17654.0, "Sell", "MKP", "IOC", 15889.0),
])
def test_market_orders_are_booked_at_the_band_limit(code, reference, action, price_type, order_type, booked):
    rules, rule = started({code: reference})
    mkt = order(code, action, 0.0, price_type, order_type)
    assert rules.place(*mkt.place_args()) == "t1"
    sent = rules.backtest.tracker.placed[0]
    assert (sent.price_type, sent.price, sent.order_type) == ("LMT", booked, order_type)


# --- a market locked at limit-up ----------------------------------------------------------------

def test_only_an_order_at_a_band_limit_makes_its_instrument_watched():
    rules, rule = started({"2330": 600.0, "2882": 45.0, "0050": 132.0, "TXFR1": 17654.0})
    rules.place(*order("2330", "Buy", 659.0).place_args())
    rules.place(*order("2882", "Buy", 49.5).place_args())  # 2882's limit-up
    assert rules.watched == {"2882": None}
    rules.place(*order("2330", "Sell", 0.0, "MKT").place_args())  # booked at limit-down
    assert set(rules.watched) == {"2882", "2330"}
    rules.on_tick(tick("2330", NINE + 86400, 600.0))  # a new day forgets them
    assert rules.watched == {}


class FakeMatcher:
    def __init__(self):
        self.pending_orders = []


@pytest.mark.parametrize("resting, still_watched", [
    ([{"code": "2330", "action": "Buy", "price": 660.0, "price_type": "LMT"}], True),
    ([{"code": "2330", "action": "Buy", "price": 659.0, "price_type": "LMT"},
      {"code": "2330", "action": "Sell", "price": 660.0, "price_type": "LMT"},
      {"code": "2882", "action": "Buy", "price": 660.0, "price_type": "LMT"}], False),
    ([], False),  # filled at once
])
def test_an_instrument_is_watched_while_an_order_rests_at_its_limit(resting, still_watched):
    rules, rule = started({"2330": 600.0, "2882": 45.0, "0050": 132.0, "TXFR1": 17654.0})
    rules.backtest.matcher = FakeMatcher()
    rules.place(*order("2330", "Buy", 0.0, "MKT").place_args())
    rules.backtest.matcher.pending_orders = resting
    t = tick("2330", NINE + 60, 660.0, bid=660.0, bid_volume=50, ask=660.0, ask_volume=20)
    rules.on_tick(t)
    assert ("2330" in rules.watched) is still_watched
    assert t["ask_volume"] == (0 if still_watched else 20)


@pytest.mark.parametrize("bid, ask, after", [
    (660.0, 660.0, (660.0, 50, 0.0, 0)),  # locked at limit-up: no seller shown
    (659.0, 660.0, (659.0, 50, 660.0, 20)),  # sellers at limit-up: not locked
    (600.0, 601.0, (600.0, 50, 601.0, 20)),
])
def test_a_locked_tick_reads_with_an_empty_offer(bid, ask, after):
    rules, rule = started({"2330": 600.0})
    rules.place(*order("2330", "Buy", 660.0).place_args())
    t = tick("2330", NINE + 60, 660.0, bid=bid, bid_volume=50, ask=ask, ask_volume=20)
    rules.on_tick(t)
    assert (t["bid_price"], t["bid_volume"], t["ask_price"], t["ask_volume"]) == after


def test_an_offer_at_limit_down_empties_the_bid():
    rules, rule = started({"2330": 600.0})
    rules.place(*order("2330", "Sell", 0.0, "MKT").place_args())
    t = tick("2330", NINE + 60, 540.0, bid=540.0, bid_volume=30, ask=540.0, ask_volume=80)
    rules.on_tick(t)
    assert (t["bid_price"], t["bid_volume"], t["ask_price"], t["ask_volume"]) == (0.0, 0, 540.0, 80)


def test_a_buy_at_limit_up_in_a_locked_market_waits_behind_the_displayed_bid():
    """Reference 600, limit-up 660: the market is locked there with 50 lots bid. Our market buy of 3
    is booked at 660 and joins behind them; trades at 660 first take the 50 ahead (30, then 20 of the
    next 25), so it fills 3 of the second trade's last 5. Read with the offer shown, it would have
    bought at once."""
    rules, rule = started({"2330": 600.0})
    exchange = matcher_module.Matcher(Positions())
    model = engine.fill_model(exchange, "quote", 0.0)
    mkt = order("2330", "Buy", 0.0, "MKT")
    assert rule.check(mkt, rules) is None
    ticks = [tick("2330", NINE + s, 660.0, qty, bid=660.0, bid_volume=50, ask=660.0, ask_volume=40)
             for s, qty in ((1, 30), (2, 25))]
    exchange.set_current_tick(ticks[0])
    exchange.add_order(mkt.code, mkt.product_type, mkt.action, mkt.price, 3, mkt.price_type, mkt.order_type)
    fills = []
    for t in ticks:
        rules.on_tick(t)
        exchange.set_current_tick(t)
        engine.match_with_model(model, t, exchange.pending_orders)
        while exchange.response_queue.queue:
            r = exchange.pop_response()
            if "operation_type" not in r:
                fills.append((t["timestamp"] - NINE, r["price"], r["quantity"]))
    assert fills == [(2, 660.0, 3)]
    exchange.close()


# --- end to end: a run with every rule on ---------------------------------------------------------

from datetime import date, time

from fake_broker import FakeBroker
from orva_mero_backtest.data.clock import wall_ns
from orva_mero_backtest.driver import Backtest, Instrument
from orva_mero_backtest.strategy import Strategy

WARM_DAY, MAIN_DAY = "2024-01-02", "2024-01-03"


def day_ticks(day, rows):
    """rows: (hh, mm, ss, close, qty, bid, bid_volume, ask, ask_volume)."""
    d = date.fromisoformat(day)
    cols = {k: [] for k in ("ts", "close", "volume", "bid_price", "bid_volume", "ask_price", "ask_volume",
                            "tick_type")}
    for hh, mm, ss, close, qty, bid, bv, ask, av in rows:
        for key, value in zip(cols, (wall_ns(d, time(hh, mm, ss)), close, qty, bid, bv, ask, av, 1)):
            cols[key].append(value)
    return cols


class Scripted(Strategy):
    name = "scripted"

    def __init__(self, steps):
        super().__init__()
        self.steps, self.seen, self.ids, self.fills = steps, {}, {}, []

    def on_tick(self, ctx, tick):
        if ctx.warming_up:
            return
        n = self.seen[tick["code"]] = self.seen.get(tick["code"], -1) + 1
        for name, (code, action, qty, price) in self.steps.get((tick["code"], n), {}).items():
            self.ids[name] = (ctx.buy if action == "Buy" else ctx.sell)(code, qty, price)

    def on_deal(self, ctx, deal):
        self.fills.append((deal["code"], ctx.now % 86400 - 9 * 3600, deal["price"], deal["quantity"]))


def test_end_to_end_band_refusals_and_a_limit_up_lock():
    broker = FakeBroker()
    # Warm-up: 2330 closes at 100 (band 90 - 110 the next day), TXFR1's last trade is 17654.
    broker.set_ticks("2330", WARM_DAY, day_ticks(WARM_DAY, [(13, 24, 0, 99.5, 5, 99.5, 10, 100.0, 10),
                                                            (13, 30, 0, 100.0, 40, 99.5, 10, 100.0, 10)]))
    broker.set_ticks("TXFR1", WARM_DAY, day_ticks(WARM_DAY, [(13, 44, 0, 17654.0, 3, 17653.0, 5, 17654.0, 5)]))
    # The main day: 2330 locked at limit-up 110 with 50 lots bid (the data shows 110 on both sides).
    locked = [(9, 0, s, 110.0, qty, 110.0, 50, 110.0, 40) for s, qty in ((1, 30), (2, 25), (3, 10), (4, 20))]
    broker.set_ticks("2330", MAIN_DAY, day_ticks(MAIN_DAY, locked))
    broker.set_ticks("TXFR1", MAIN_DAY, day_ticks(MAIN_DAY, [(9, 0, s, 17700.0, 5, 17699.0, 9, 17700.0, 9)
                                                             for s in (1, 2, 3)]))
    steps = {("2330", 0): {"market buy": ("2330", "Buy", 3, None), "above": ("2330", "Buy", 1, 110.5),
                           "off tick": ("2330", "Sell", 1, 100.2)},
             ("TXFR1", 0): {"fut above": ("TXFR1", "Buy", 1, 19420.0), "fut limit": ("TXFR1", "Buy", 1, 19419.0)}}
    strategy = Scripted(steps)
    bt = Backtest(strategy, [Instrument("2330", "Stock"), Instrument("TXFR1", "Future")], MAIN_DAY, MAIN_DAY,
                  WARM_DAY, WARM_DAY, api=broker, module_console="none")
    result = bt.run()
    orders = {name: bt.orders[tid] for name, tid in strategy.ids.items()}
    # The market buy: booked at limit-up, behind the 50 lots bid: 25 + 10 trade ahead of it, then the
    # 20 of the fourth tick take the last 15 ahead and fill it.
    assert (orders["market buy"]["price_type"], orders["market buy"]["price"]) == ("LMT", 110.0)
    assert [f for f in strategy.fills if f[0] == "2330"] == [("2330", 4, 110.0, 3)]  # at 09:00:04
    refused = {name: (o["status"], o["status_code"], o["reason"]) for name, o in orders.items()
               if o["status"] == "Failed"}
    assert set(refused) == {"above", "off tick", "fut above"}
    assert refused["above"][1] == Failure.PRICE_OUTSIDE_BAND.code and "90 - 110" in refused["above"][2]
    assert refused["off tick"][1] == Failure.PRICE_OFF_TICK.code and "tick 0.5" in refused["off tick"][2]
    assert refused["fut above"][1] == Failure.PRICE_OUTSIDE_BAND.code
    assert "15,889 - 19,419" in refused["fut above"][2]
    assert orders["fut limit"]["status"] != "Failed"
