"""The money rules (market_rules/money.py) on the exchange and the positions book, driven tick by tick by
a small stand-in for the run: buying power, short sales, futures margin and the margin call, with the
amounts worked out by hand."""

import datetime
from types import SimpleNamespace

import pytest

from orva_mero_backtest.costs import CostSettings
from orva_mero_backtest.market_rules import MarketRules, Order, Refusal, RuleSwitches
from orva_mero_backtest.market_rules import money
from orva_mero_backtest.modules.engine import engine
from orva_mero_backtest.modules.matcher import matcher as matcher_module
from orva_mero_backtest.modules.positions.positions import Positions
from orva_mero_backtest.orders import OrderTracker

DAY = (datetime.date(2024, 1, 2) - datetime.date(1970, 1, 1)).days * 86400.0


def at(hh, mm, ss=0.0):
    return DAY + hh * 3600 + mm * 60 + ss


class Rules(MarketRules):
    def refuse(self, order, refusal):
        return refusal


class Run:
    """The exchange, its order tracker and the positions book, with the money rules in front."""

    def __init__(self, capital=1_000_000.0, **costs):
        self.positions = Positions(CostSettings(**costs))
        self.matcher = matcher_module.Matcher(self.positions)
        self.tracker = OrderTracker(self.matcher)
        self.backtest = SimpleNamespace(positions=self.positions, capital=capital, _last_close={},
                                        matcher=self.matcher, _order_tracker=lambda: self.tracker,
                                        submit_cancel=self.tracker.cancel)
        self.model = engine.fill_model(self.matcher, "trade", 0.0)
        self.rules = Rules(self.backtest, RuleSwitches(), [money.BuyingPower(), money.ShortSales(), money.Margin()])
        self.reports = []
        self.now = at(9, 0)

    def close(self):
        self.matcher.close()

    def place(self, code, action, qty, price=0.0, cond="Cash", lot="Common", ts=None):
        product = "Future" if code.startswith("TXF") or code.startswith("MXF") else "Stock"
        price_type = "LMT" if price else "MKT"
        order_type = "ROD" if product == "Stock" or price else "IOC"
        answer = self.rules.place(code, product, action, float(price), qty, price_type, order_type, cond, lot,
                                  "Auto", self.now if ts is None else ts)
        self.drain()
        return answer

    def tick(self, code, close, ts=None, qty=10_000):
        self.now = ts = self.now + 1.0 if ts is None else ts
        market = "Future" if code.startswith(("TXF", "MXF")) else "Stock"
        t = {"market_type": market, "timestamp": ts, "code": code, "close": close, "qty": qty, "tick_type": 0,
             "is_simulate": False, "is_backfilling": False}
        self.backtest._last_close[code] = close
        self.matcher.set_current_tick(t)
        if ts >= self.rules.wake_at or code in self.rules.watched:
            self.rules.on_tick(t)
        if self.matcher.pending_orders:
            engine.match_with_model(self.model, t, self.matcher.pending_orders)
        self.drain()

    def drain(self):
        while self.matcher.response_queue.queue:
            report = self.matcher.pop_response()
            self.tracker.track(report)
            self.reports.append(report)


@pytest.fixture
def run_of():
    made = []

    def make(**kwargs):
        made.append(Run(**kwargs))
        return made[-1]

    yield make
    for r in made:
        r.close()


def refused(answer, status, text):
    assert isinstance(answer, Refusal), answer
    assert (answer.status_code, answer.message) == status
    assert answer.reason == text


# --- buying power -----------------------------------------------------------------------------

def test_buying_power_counts_open_buys_and_holdings(run_of):
    run = run_of()
    run.tick("2330", 600.0)
    # 590,000 + commission floor(840.75) = 590,840 of 1,000,000
    assert isinstance(run.place("2330", "Buy", 1, 590.0), str)
    refused(run.place("2330", "Buy", 1, 595.0), money.NO_CASH,
            "buy of 1 2330 needs 595,847 TWD, 409,160 TWD available")  # 595,000 + 847
    # a market order is valued at the last price: 600,000 + 855
    refused(run.place("2330", "Buy", 1), money.NO_CASH, "buy of 1 2330 needs 600,855 TWD, 409,160 TWD available")
    # 100 odd-lot shares: 59,500 + 84
    assert isinstance(run.place("2330", "Buy", 100, 595.0, lot="IntradayOdd"), str)
    # with the first order cancelled its cash is free again
    assert run.tracker.cancel(run.matcher.pending_orders[0]["trade_id"])
    assert isinstance(run.place("2330", "Buy", 1, 595.0), str)
    # what is held ties up its cost: the 595 buy fills at 590 (booked at the tick's price)
    run.tick("2330", 590.0)
    held_cash = 1_000_000 - 590_000 - 840 - 59_000 - 84  # both filled at 590: commissions 840 and 84
    assert money.Account(run.backtest).available() == (pytest.approx(held_cash), 0.0)
    refused(run.place("2330", "Buy", 1, 590.0), money.NO_CASH,
            f"buy of 1 2330 needs 590,840 TWD, {held_cash:,} TWD available")


def test_a_market_order_the_price_rule_booked_at_the_band_limit_is_valued_there(run_of):
    run = run_of(capital=650_000.0)
    run.tick("2330", 600.0)
    limit_up = Order("2330", "Stock", "Buy", 660.0, 1, "MKT", "ROD", "Cash", "Common", "Auto", run.now)
    refused(money.BuyingPower().check(limit_up, run.rules), money.NO_CASH,
            "buy of 1 2330 needs 660,940 TWD, 650,000 TWD available")  # 660,000 + floor(940.5)
    # the same order at the last price (600,855) fits
    assert money.BuyingPower().check(Order(*limit_up.place_args()[:3], 0.0, *limit_up.place_args()[4:]),
                                     run.rules) is None


def test_a_buy_that_covers_a_short_needs_no_cash(run_of):
    run = run_of(capital=600_000.0)
    run.tick("2330", 600.0)
    assert isinstance(run.place("2330", "Sell", 1, cond="ShortSelling"), str)  # margin 540,000
    run.tick("2330", 600.0)
    assert run.positions.position("2330") == -1000
    # 600,000 - 540,000 - commission 855 - tax 1,800 is left: a buy that covers fits, the next does not
    assert isinstance(run.place("2330", "Buy", 1, 590.0), str)
    refused(run.place("2330", "Buy", 1, 590.0), money.NO_CASH, "buy of 1 2330 needs 590,840 TWD, 57,345 TWD available")


# --- short sales ------------------------------------------------------------------------------

@pytest.mark.parametrize("capital, cond, outcome", [
    (1_000_000.0, "ShortSelling", None),
    # 90% of 600,000 is 540,000
    (500_000.0, "ShortSelling", (money.NO_CASH, "short sale of 1 2330 needs 540,000 TWD, 500,000 TWD available")),
    (1_000_000.0, "MarginTrading", (money.NO_SHARES, "sell of 1000 shares of 2330 with MarginTrading: 0 held and not offered")),
    (1_000_000.0, "Cash", None),  # a day trade sold first
])
def test_a_sell_without_the_shares(run_of, capital, cond, outcome):
    run = run_of(capital=capital)
    run.tick("2330", 600.0)
    answer = run.place("2330", "Sell", 1, cond=cond)
    if outcome is None:
        assert isinstance(answer, str)
    else:
        refused(answer, *outcome)


def test_shares_held_and_offered_count_against_a_sell(run_of):
    run = run_of(capital=2_000_000.0)
    run.tick("2330", 600.0)
    run.place("2330", "Buy", 2)
    run.tick("2330", 600.0)
    assert isinstance(run.place("2330", "Sell", 1, 650.0, cond="MarginTrading"), str)  # rests
    assert isinstance(run.place("2330", "Sell", 1, 650.0, cond="MarginTrading"), str)
    refused(run.place("2330", "Sell", 1, 650.0, cond="MarginTrading"), money.NO_SHARES,
            "sell of 1000 shares of 2330 with MarginTrading: 0 held and not offered")


def test_a_cash_short_is_bought_back_at_the_close(run_of):
    run = run_of(capital=2_000_000.0)
    run.tick("2330", 600.0)
    assert isinstance(run.place("2330", "Sell", 1), str)
    run.tick("2330", 601.0)
    assert run.positions.position("2330") == -1000
    # an open cash sell beyond the shares held would sell short in the closing call
    assert isinstance(run.place("2330", "Sell", 1, 700.0), str)
    run.tick("2330", 602.0, ts=at(13, 24, 59))
    assert run.positions.position("2330") == -1000 and len(run.matcher.pending_orders) == 1
    run.tick("2330", 605.0, ts=at(13, 30))  # the closing print
    assert run.positions.position("2330") == 0 and run.matcher.pending_orders == []
    cover = [r for r in run.reports if r.get("operation_status_code") == money.DAY_TRADE_COVER[0]]
    assert len(cover) == 1 and cover[0]["operation_message"] == money.DAY_TRADE_COVER[1]
    assert cover[0]["reason"] == "2330: 1000 shares sold short in a cash account bought back at the close"
    assert run.positions.fills[-1]["price"] == 605.0
    # sold first and bought back the same day: 601,000 x 0.3% (the sell booked first pays the full rate)
    assert [f["tax"] for f in run.positions.fills] == [1803, 0]


def test_a_cash_short_bought_back_by_the_strategy_is_left_alone(run_of):
    run = run_of()
    run.tick("2330", 600.0)
    run.place("2330", "Sell", 1)
    run.tick("2330", 600.0)
    run.place("2330", "Buy", 1)
    run.tick("2330", 598.0)
    run.tick("2330", 605.0, ts=at(13, 30))
    assert run.positions.position("2330") == 0 and len(run.positions.fills) == 2


def test_a_cash_sale_first_is_refused_in_the_closing_call(run_of):
    run = run_of()
    run.tick("2330", 600.0, ts=at(13, 26))
    refused(run.place("2330", "Sell", 1), money.NO_SHARES,
            "sell of 1000 shares of 2330: 0 held and not offered; a day trade sold first is taken only before 13:25")


# --- futures margin ---------------------------------------------------------------------------

def test_initial_margin_per_contract(run_of):
    run = run_of(capital=300_000.0)
    run.tick("TXFR1", 17_500.0)
    run.tick("MXFR1", 17_500.0)
    refused(run.place("TXFR1", "Buy", 1), money.NO_MARGIN, "order of 1 TXFR1 needs 338,000 TWD, 300,000 TWD available")
    assert isinstance(run.place("MXFR1", "Buy", 3, 17_000.0), str)  # 3 x 84,500 = 253,500, rests
    refused(run.place("MXFR1", "Buy", 1, 17_000.0), money.NO_MARGIN,
            "order of 1 MXFR1 needs 84,500 TWD, 46,500 TWD available")
    # a sell that only offsets the open buys adds no contracts to either side's worst case
    assert isinstance(run.place("MXFR1", "Sell", 3, 18_000.0), str)
    refused(run.place("MXFR1", "Sell", 1, 18_000.0), money.NO_MARGIN,
            "order of 1 MXFR1 needs 84,500 TWD, 46,500 TWD available")


def test_a_margin_setting_changes_the_need(run_of):
    run = run_of(capital=300_000.0, future_margins={"TXF": 250_000.0})
    run.tick("TXFR1", 17_500.0)
    assert isinstance(run.place("TXFR1", "Buy", 1), str)


def test_a_margin_call_closes_the_position_at_the_next_tick(run_of):
    run = run_of(capital=400_000.0)
    run.tick("TXFR1", 17_500.0)
    run.place("TXFR1", "Buy", 1)
    run.tick("TXFR1", 17_500.0)  # bought: commission 50, tax round(70.0) = 70
    assert run.positions.position("TXFR1") == 1
    # equity 399,880 + (p - 17,500) x 200 against the maintenance margin 259,000
    run.tick("TXFR1", 16_800.0)  # 259,880: kept
    run.tick("TXFR1", 16_795.0)  # 258,880: below
    assert run.positions.position("TXFR1") == 1
    run.tick("TXFR1", 16_790.0)  # closed here
    assert run.positions.position("TXFR1") == 0
    call = [r for r in run.reports if r.get("operation_status_code") == money.MARGIN_CALL[0]]
    assert len(call) == 1 and call[0]["operation_message"] == money.MARGIN_CALL[1]
    assert call[0]["reason"] == ("TXFR1: account equity 258,880 TWD below the maintenance margin 259,000 TWD: "
                                 "every futures position closed")
    assert run.reports.index(call[0]) < len(run.reports) - 1 and run.reports[-1]["price"] == 16_790.0
    run.tick("TXFR1", 16_000.0)
    run.tick("TXFR1", 15_000.0)
    assert len(run.positions.fills) == 2  # nothing more to close


def test_the_margin_watch_follows_the_positions(run_of):
    run = run_of()
    rule = run.rules.rules[2]
    run.tick("TXFR1", 17_500.0)
    assert run.rules.watched == {}
    run.place("TXFR1", "Buy", 1)
    assert "TXFR1" in run.rules.watched
    run.tick("TXFR1", 17_500.0)
    run.place("TXFR1", "Sell", 1)
    run.tick("TXFR1", 17_510.0)
    run.tick("TXFR1", 17_520.0)  # flat, nothing open: no longer watched
    assert run.positions.position("TXFR1") == 0 and run.rules.watched == {} and rule.watched == set()


# --- through a backtest -----------------------------------------------------------------------

from orva_mero_backtest.driver import Backtest, Instrument  # noqa: E402
from orva_mero_backtest.market_rules import time_of_day  # noqa: E402
from orva_mero_backtest.strategy import Strategy  # noqa: E402


class Script(Strategy):
    """Places each (time of day, method, args, kwargs) once, at the first tick at or after its time."""

    name = "script"

    def __init__(self, steps):
        super().__init__()
        self.steps = list(steps)
        self.placed, self.reports = [], []

    def on_tick(self, ctx, tick):
        while self.steps and time_of_day(tick["timestamp"]) >= self.steps[0][0]:
            _, method, args, kwargs = self.steps.pop(0)
            self.placed.append(getattr(ctx, method)(*args, **kwargs))

    def on_order(self, ctx, report):
        self.reports.append(report)


def run_script(code, market, steps, **kwargs):
    strategy = Script(steps)
    result = Backtest(strategy, [Instrument(code, market)], "2024-01-02", "2024-01-02", module_console="none",
                      **kwargs).run()
    return strategy, result


def test_a_500_contract_buy_is_refused_for_margin():
    strategy, result = run_script("TXFR1", "Future", [(9 * 3600, "buy", ("TXFR1", 500), {})])
    order = result.orders[0]
    assert (order["status"], order["status_code"], order["message"]) == ("Failed", "0303", "保證金不足，委託失敗")
    assert order["reason"] == "order of 500 TXFR1 needs 169,000,000 TWD, 2,000,000 TWD available"
    assert [r["operation_status_code"] for r in strategy.reports] == ["0303"]
    assert result.positions.fills == []


def test_a_margin_call_through_a_backtest():
    costs = CostSettings(future_maintenance_margins={"TXF": 399_000.0})
    strategy, result = run_script("TXFR1", "Future", [(9 * 3600, "buy", ("TXFR1", 1), {})], capital=400_000.0,
                                  costs=costs)
    assert [f["action"] for f in result.positions.fills] == ["Buy", "Sell"]
    call = result.orders[1]
    assert (call["status"], call["status_code"], call["message"]) == ("Filled", *money.MARGIN_CALL)
    assert call["reason"].startswith("TXFR1: account equity ") and "below the maintenance margin 399,000 TWD" in call["reason"]
    assert [r["operation_status_code"] for r in strategy.reports] == ["0000", "0304"]
    assert result.positions.position("TXFR1") == 0


def test_a_cash_short_is_not_held_overnight_and_a_day_trade_pays_half_the_tax():
    strategy, result = run_script("2330", "Stock", [
        (10 * 3600, "buy", ("2330", 1), {}), (10.5 * 3600, "sell", ("2330", 1), {}),  # a day trade
        (11 * 3600, "sell", ("2330", 1), {}),  # sold first, never bought back by the strategy
    ])
    fills = result.positions.fills
    assert [f["action"] for f in fills] == ["Buy", "Sell", "Sell", "Buy"]
    assert fills[1]["tax"] == int(fills[1]["price"] * 1000 * 0.0015)
    assert fills[2]["tax"] == int(fills[2]["price"] * 1000 * 0.003)
    assert time_of_day(fills[3]["timestamp"]) >= 13.5 * 3600 - 1e-6 and result.positions.position("2330") == 0
    assert result.orders[3]["status_code"] == money.DAY_TRADE_COVER[0]


def test_the_money_rules_turned_off():
    switches = RuleSwitches.without(["margin"])
    _, result = run_script("TXFR1", "Future", [(9 * 3600, "buy", ("TXFR1", 500), {})], rules=switches)
    assert result.orders[0]["status"] == "Filled"
