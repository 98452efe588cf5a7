"""The exchange's rules in front of the matcher: the wiring (switches, the loop's hook), refusals as the
exchange reports them, and the session rule (phases, call periods, orders cancelled at the close), on
ticks whose times and prices each test sets."""

import datetime as dt

import pytest

from fake_broker import FakeBroker
from orva_mero_backtest import driver, market_rules, options
from orva_mero_backtest.constant import OperationType, SuccessCode
from orva_mero_backtest.driver import Backtest, Instrument
from orva_mero_backtest.errors import BacktestError
from orva_mero_backtest.market_rules import Failure, Rule, RuleSwitches
from orva_mero_backtest.market_rules import sessions
from orva_mero_backtest.strategy import Strategy
from reference.tick_loop import tick_loop as reference_loop

DAY, NEXT = "2024-01-03", "2024-01-04"
STOCK, FUTURE = Instrument("2330", "Stock"), Instrument("TXFR1", "Future")
MIDNIGHT = 1_704_240_000.0  # 2024-01-03 00:00, market time (Taipei wall clock written as epoch time)


def at(clock, day=0):
    """Market time of HH:MM:SS on DAY (+ days)."""
    h, m, s = (int(x) for x in clock.split(":"))
    return MIDNIGHT + day * 86400 + h * 3600 + m * 60 + s


def rows(day, ticks):
    """Broker rows of (HH:MM:SS, price) ticks on ``day`` (the broker's times: the Taipei wall clock
    written as epoch time), 50 lots each, quotes one point off."""
    base = dt.datetime.strptime(day, "%Y-%m-%d").replace(tzinfo=dt.timezone.utc)
    ts = []
    for clock, _ in ticks:
        h, m, s = (int(x) for x in clock.split(":"))
        ts.append(int((base + dt.timedelta(hours=h, minutes=m, seconds=s)).timestamp()) * 1_000_000_000)
    prices = [float(p) for _, p in ticks]
    n = len(ticks)
    return {"ts": ts, "close": prices, "volume": [50] * n, "bid_price": [p - 1 for p in prices],
            "bid_volume": [50] * n, "ask_price": [p + 1 for p in prices], "ask_volume": [50] * n, "tick_type": [1] * n}


class Script(Strategy):
    """Runs steps[(code, HH:MM:SS)](s, ctx, tick) at that tick; records what the strategy learns."""

    def __init__(self, steps):
        super().__init__()
        self.steps, self.now, self.ids, self.reports, self.fills, self.seen = steps, None, {}, [], [], {}

    def on_tick(self, ctx, tick):
        self.now = sessions.clock_text(tick["timestamp"])
        step = self.steps.get((tick["code"], self.now))
        if step is not None:
            step(self, ctx, tick)

    def on_order(self, ctx, report):
        self.reports.append((sessions.clock_text(ctx.now), report))

    def on_deal(self, ctx, deal):
        self.fills.append((sessions.clock_text(ctx.now), deal["action"], deal["price"], deal["quantity"]))


def run(data, steps, instruments=(STOCK,), end=DAY, **kwargs):
    broker = FakeBroker()
    for (code, day), ticks in data.items():
        broker.set_ticks(code, day, rows(day, ticks))
    strategy = Script(steps)
    kwargs.setdefault("fills", "trade")
    result = Backtest(strategy, list(instruments), DAY, end, api=broker, module_console="none", **kwargs).run()
    return strategy, result


def place(name, *args, **kwargs):
    def step(s, ctx, tick):
        s.ids[name] = ctx.place_order(tick["code"], *args, **kwargs)
        s.seen[name] = ctx.order(s.ids[name])
    return step


# --- phases ----------------------------------------------------------------------------------------


@pytest.mark.parametrize("product, clock, lot, kind, session, start, end, close", [
    ("Stock", "08:29:59", "Common", sessions.CLOSED, "", "13:30:00-1", "08:30:00", None),
    ("Stock", "08:30:00", "Common", sessions.OPENING_CALL, sessions.DAY, "08:30:00", "09:00:00", "13:30:00"),
    ("Stock", "09:00:00", "Common", sessions.CONTINUOUS, sessions.DAY, "09:00:00", "13:25:00", "13:30:00"),
    ("Stock", "13:25:00", "Common", sessions.CLOSING_CALL, sessions.DAY, "13:25:00", "13:30:00", "13:30:00"),
    ("Stock", "13:30:00", "Common", sessions.CLOSED, "", "13:30:00", "08:30:00+1", None),
    ("Stock", "08:59:00", "IntradayOdd", sessions.CLOSED, "", "13:30:00-1", "09:00:00", None),
    ("Stock", "13:29:59", "IntradayOdd", sessions.CONTINUOUS, sessions.INTRADAY_ODD, "09:00:00", "13:30:00", "13:30:00"),
    ("Stock", "14:10:00", "Fixing", sessions.CONTINUOUS, sessions.AFTER_HOURS_FIXED, "14:00:00", "14:30:00", "14:30:00"),
    ("Future", "08:30:00", "Common", sessions.OPENING_CALL, sessions.DAY, "08:30:00", "08:45:00", "13:45:00"),
    ("Future", "08:45:00", "Common", sessions.CONTINUOUS, sessions.DAY, "08:45:00", "13:40:00", "13:45:00"),
    ("Future", "13:44:59", "Common", sessions.CLOSING_CALL, sessions.DAY, "13:40:00", "13:45:00", "13:45:00"),
    ("Future", "13:45:00", "Common", sessions.CLOSED, "", "13:45:00", "14:50:00", None),
    ("Future", "14:55:00", "Common", sessions.OPENING_CALL, sessions.AFTER_HOURS, "14:50:00", "15:00:00", "05:00:00+1"),
    ("Future", "23:59:59", "Common", sessions.CONTINUOUS, sessions.AFTER_HOURS, "15:00:00", "05:00:00+1", "05:00:00+1"),
    ("Future", "04:59:59", "Common", sessions.CONTINUOUS, sessions.AFTER_HOURS, "15:00:00-1", "05:00:00", "05:00:00"),
    ("Future", "05:00:00", "Common", sessions.CLOSED, "", "05:00:00", "08:30:00", None),
])
def test_phases_of_the_day(product, clock, lot, kind, session, start, end, close):
    def time_of(text):
        clock_part, _, days = text.partition("+")
        clock_part, _, back = clock_part.partition("-")
        return at(clock_part, int(days or 0) - int(back or 0))

    got = sessions.phase(product, "X", at(clock), lot)
    assert (got.kind, got.session, got.start, got.end) == (kind, session, time_of(start), time_of(end))
    assert got.close == (None if close is None else time_of(close))
    assert got.is_call == (kind in (sessions.OPENING_CALL, sessions.CLOSING_CALL))


@pytest.mark.parametrize("product, clock, expected", [
    ("Stock", "13:29:59", "13:30:00"), ("Stock", "13:30:00", "13:30:00"), ("Stock", "13:30:01", "14:30:00"),
    ("Stock", "14:30:01", "13:30:00+1"), ("Future", "04:00:00", "05:00:00"), ("Future", "05:00:01", "13:45:00"),
    ("Future", "13:45:01", "05:00:00+1"),
])
def test_next_close(product, clock, expected):
    clock_part, _, days = expected.partition("+")
    assert sessions.next_close(product, at(clock)) == at(clock_part, int(days or 0))


# --- refusals ---------------------------------------------------------------------------------------


@pytest.mark.parametrize("price, price_type, order_type, refused", [
    (None, None, "ROD", True), (600.0, "LMT", "IOC", True), (600.0, "LMT", "FOK", True), (600.0, "LMT", "ROD", False),
])
def test_the_closing_call_takes_limit_rod_orders_only(price, price_type, order_type, refused):
    data = {("2330", DAY): [("09:00:00", 600), ("13:26:00", 600), ("13:30:00", 600)]}
    s, result = run(data, {("2330", "13:26:00"): place("o", "Buy", 1, price, order_type, price_type)})
    seen = s.seen["o"]
    if not refused:
        assert seen["status"] == "Open" and s.fills == [("13:30:00", "Buy", 600.0, 1)]  # filled at the print
        return
    assert seen["status"] == "Failed" and seen["open_qty"] == 0 and seen["cancelled_qty"] == 1
    assert seen["status_code"] == "0102" and seen["message"] == Failure.CALL_PERIOD.message
    assert "closing call (13:25:00-13:30:00)" in seen["reason"] and "limit ROD orders only" in seen["reason"]
    # the failure report reached on_order in the delivery of the same tick; nothing filled, nothing open
    (when, report), = s.reports
    assert when == "13:26:00" and report["operation_type"] is OperationType.NEW
    assert (report["operation_status_code"], report["operation_message"]) == ("0102", Failure.CALL_PERIOD.message)
    assert report["order"]["id"] == s.ids["o"] and s.fills == []
    assert [o["status"] for o in result.orders] == ["Failed"]


PRICE = {"2330": 600.0, "TXFR1": 17000.0}


@pytest.mark.parametrize("instrument, clock, limit, code", [
    (STOCK, "08:00:00", True, "0101"),  # before the opening call
    (STOCK, "08:45:00", False, "0102"),  # a market order in the opening call
    (FUTURE, "08:40:00", False, "0102"),
    (FUTURE, "13:50:00", True, "0101"),  # between the day and the after-hours session
    (FUTURE, "05:00:00", True, "0101"),  # the after-hours session is over
])
def test_orders_outside_their_phase_are_refused(instrument, clock, limit, code):
    price = PRICE[instrument.code]
    data = {(instrument.code, DAY): [(clock, price), ("23:30:00", price)]}
    step = place("o", "Buy", 1, price if limit else None)
    s, result = run(data, {(instrument.code, clock): step}, instruments=(instrument,))
    assert s.seen["o"]["status"] == "Failed" and s.seen["o"]["status_code"] == code
    assert s.reports[0][1]["operation_status_code"] == code and result.fills == []


@pytest.mark.parametrize("instrument, clocks", [(STOCK, ["09:00:00", "09:00:01", "14:00:00"]),
                                                (FUTURE, ["08:45:00", "08:45:01", "13:50:00"])])
def test_a_refusal_report_has_the_shape_of_the_exchanges_own(instrument, clocks):
    code, price = instrument.code, PRICE[instrument.code]
    data = {(code, DAY): [(c, price) for c in clocks]}
    taken = place("taken", "Buy", 1, price - 5, "ROD", "LMT")
    refused = place("refused", "Buy", 1, price - 5, "ROD", "LMT")  # the same order, out of session
    s, _ = run(data, {(code, clocks[0]): taken, (code, clocks[2]): refused}, instruments=(instrument,))
    (_, own), (_, refusal) = [r for r in s.reports if r[1]["operation_type"] is OperationType.NEW]

    def shape(value):
        if isinstance(value, dict):
            return [(k, shape(v)) for k, v in value.items()]
        return type(value)

    assert shape(refusal) == shape(own)
    assert own["operation_status_code"] == SuccessCode.CreateOrder.code
    assert refusal["operation_status_code"] == "0101" and refusal["operation_message"] == "非交易時段，委託失敗"
    ids = {refusal["order"][k] for k in ("id", "seqno", "ordno")} | {refusal["trade_status"]["id"]}
    assert ids == {s.ids["refused"]} and refusal["trade_status"]["exchange_ts"] == at(clocks[2])
    for key in ("account", "code", "action", "price", "quantity", "order_type", "price_type"):
        assert refusal["order"][key] == own["order"][key]


def test_the_strategy_learns_of_a_refusal_at_once_and_can_answer_it():
    data = {("2330", DAY): [("09:00:00", 600), ("13:26:00", 600), ("13:30:00", 600)]}

    def answer(s, ctx, tick):
        tid = ctx.buy("2330", 2)  # a market order in the closing call: no exception, a trade id
        record = ctx.order(tid)
        s.seen["first"] = (record["status"], record["reason"], ctx.open_orders())
        record["status"] = "changed"  # a copy: the record itself stays
        assert ctx.order(tid)["status"] == "Failed" and ctx.order("no such id") is None
        if ctx.order(tid)["status"] == "Failed":
            s.ids["second"] = ctx.buy("2330", 2, 600.0)  # a limit ROD waits for the print

    s, result = run(data, {("2330", "13:26:00"): answer})
    status, reason, still_open = s.seen["first"]
    assert status == "Failed" and "MKT ROD order at 13:26:00" in reason and still_open == []
    assert s.fills == [("13:30:00", "Buy", 600.0, 2)] and result.positions.position("2330") == 2000
    assert [o["status"] for o in result.orders] == ["Failed", "Filled"]


# --- the close of a session ----------------------------------------------------------------------------


def test_a_rod_order_left_at_1330_is_cancelled_by_the_exchange_after_the_closing_print():
    data = {
        ("2330", DAY): [("09:00:00", 600), ("10:00:00", 600), ("13:26:00", 600), ("13:30:00", 601)],
        ("2330", NEXT): [("09:00:00", 590), ("09:00:05", 590)],
    }
    s, result = run(data, {
        ("2330", "10:00:00"): place("low", "Buy", 1, 595.0),  # never reached on the day
        ("2330", "13:26:00"): place("call", "Buy", 1, 601.0),  # the closing call's buy fills at the print
    }, end=NEXT)
    assert s.fills == [("13:30:00", "Buy", 601.0, 1)]  # the next morning's 590 no longer meets the other
    cancels = [(when, r) for when, r in s.reports if r["operation_type"] is OperationType.CANCEL]
    (when, report), = cancels
    # reached on_order at the first tick after the close, dated at the instrument's last exchange time
    assert when == "09:00:00" and report["order"]["id"] == s.ids["low"]
    assert report["operation_status_code"] == SuccessCode.OrderBeCancel.code
    assert report["trade_status"]["exchange_ts"] == at("13:30:00")
    low = [o for o in result.orders if o["trade_id"] == s.ids["low"]][0]
    assert (low["status"], low["open_qty"], low["cancelled_qty"], low["updated_ts"]) == ("Cancelled", 0, 1, at("13:30:00"))


def test_futures_orders_expire_at_1345_and_at_0500_after_hours():
    day = [("08:45:00", 17000), ("10:00:00", 17000), ("13:45:00", 17000), ("15:00:00", 17000), ("23:00:00", 17000)]
    data = {("TXFR1", DAY): day, ("TXFR1", NEXT): [("08:45:00", 16000), ("08:45:01", 16000)]}
    s, result = run(data, {
        ("TXFR1", "10:00:00"): place("day", "Buy", 1, 16500.0),
        ("TXFR1", "15:00:00"): place("night", "Buy", 1, 16500.0),
    }, instruments=(FUTURE,), end=NEXT)
    cancels = [(when, r["order"]["id"], r["trade_status"]["exchange_ts"]) for when, r in s.reports
               if r["operation_type"] is OperationType.CANCEL]
    assert cancels == [("15:00:00", s.ids["day"], at("13:45:00")), ("08:45:00", s.ids["night"], at("23:00:00"))]
    assert s.fills == [] and all(o["status"] == "Cancelled" for o in result.orders)


# --- switches and the loop's hook --------------------------------------------------------------------------


@pytest.mark.parametrize("rules, off", [
    (None, []), (True, []), (False, list(market_rules.RULE_ORDER)), ("sessions", ["sessions"]),
    (["sessions", "margin"], ["sessions", "margin"]), (RuleSwitches(auctions=False), ["auctions"]),
    (["all"], list(market_rules.RULE_ORDER)),
])
def test_the_rules_switches(rules, off):
    bt = Backtest(Script({}), [STOCK], DAY, DAY, api=FakeBroker(), rules=rules)
    assert bt.rules.off() == off


@pytest.mark.parametrize("rules", ["bogus", [3], 7])
def test_unknown_rules_are_refused(rules):
    with pytest.raises(BacktestError, match="rule"):
        Backtest(Script({}), [STOCK], DAY, DAY, api=FakeBroker(), rules=rules)


@pytest.mark.parametrize("argv, off", [([], []), (["--no-rule", "sessions"], ["sessions"]),
                                       (["--no-rule", "all"], list(market_rules.RULE_ORDER))])
def test_the_no_rule_option(argv, off):
    import argparse

    parser = options.OneLineParser()
    options.add_run_arguments(parser)
    assert market_rules.switches_of(parser.parse_args(argv).no_rule).off() == off
    with pytest.raises(BacktestError, match="invalid choice"):
        parser.parse_args(["--no-rule", "bands"])
    assert isinstance(parser, argparse.ArgumentParser)


def test_with_the_session_rule_off_a_closing_call_market_order_fills():
    data = {("2330", DAY): [("09:00:00", 600), ("13:26:00", 600), ("13:30:00", 600)]}
    s, result = run(data, {("2330", "13:26:00"): place("o", "Buy", 1)}, rules=["sessions"])
    assert s.seen["o"]["status"] == "Open" and s.fills == [("13:30:00", "Buy", 600.0, 1)]


class Counting(Rule):
    """Wakes at 13:00, watches TXFR1 from then on; records the ticks it is handed."""

    name = "sessions"

    def start(self, market):
        self.seen = []
        self.wake_at = at("13:00:00")

    def on_tick(self, tick, market):
        self.seen.append((tick["code"], sessions.clock_text(tick["timestamp"])))
        self.wake_at = market_rules.INFINITY if len(self.seen) == 1 else at("13:40:00")
        self.watched = {"TXFR1"}


@pytest.mark.parametrize("loop", ["native", "reference"])
def test_the_loop_hands_the_rules_only_the_ticks_they_asked_for(monkeypatch, loop):
    if loop == "reference":
        monkeypatch.setattr(driver, "tick_loop", reference_loop)
    monkeypatch.setattr(market_rules, "rule_classes", lambda: {"sessions": Counting})
    made = []
    original = market_rules.MarketRules.__init__

    def keep(self, *args):
        original(self, *args)
        made.append(self)

    monkeypatch.setattr(market_rules.MarketRules, "__init__", keep)
    clocks = ["09:00:00", "12:59:59", "13:00:00", "13:10:00", "13:40:00"]
    data = {("2330", DAY): [(c, 600) for c in clocks], ("TXFR1", DAY): [(c, 17000) for c in clocks]}
    run(data, {}, instruments=(STOCK, FUTURE))
    # 13:00 (2330 first: the wake), then every TXFR1 tick; 2330 again only from 13:40
    assert made[0].rules[0].seen == [("2330", "13:00:00"), ("TXFR1", "13:00:00"), ("TXFR1", "13:10:00"),
                                     ("2330", "13:40:00"), ("TXFR1", "13:40:00")]


@pytest.mark.parametrize("rules, placer", [(False, "OrderTracker"), (None, "MarketRules")])
def test_orders_go_through_the_rules_only_when_any_is_kept(rules, placer):
    seen = {}

    def look(s, ctx, tick):
        seen["place"] = ctx._place

    run({("2330", DAY): [("09:00:00", 600), ("09:00:01", 600)]}, {("2330", "09:00:00"): look}, rules=rules)
    assert type(seen["place"].__self__).__name__ == placer
