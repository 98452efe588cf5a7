"""Order entry from the strategy's call to the exchange's book: the package's own order tracker and
Matcher are called without their Python-level bindings, and whatever replaces them is called as written."""

import traceback

import pytest

from matcher_support import console, logger, m, next_report, positions  # noqa: F401
from orva_mero_backtest.constant import Action, OperationType, PriceType
from orva_mero_backtest.driver import Backtest
from orva_mero_backtest.modules.matcher.matcher import Matcher
from orva_mero_backtest.orders import OrderTracker
from orva_mero_backtest.strategy import StrategyContext

NOW = 1704186000.25
ORDER = ("2330", "Stock", "Buy", 0.0, 2, "MKT", "ROD", "Cash", "Common", "Auto")


class CountingMatcher(Matcher):
    def add_order(self, *args):
        self.calls = getattr(self, "calls", []) + [args]
        return super().add_order(*args)


class CountingTracker(OrderTracker):
    calls = 0

    def place(self, *order):
        CountingTracker.calls += 1
        return OrderTracker.place(self, *order)


def exchange(kind, positions):  # noqa: F811
    return (CountingMatcher if kind == "subclass" else Matcher)(positions)


@pytest.mark.parametrize("kind", ["own", "subclass", "tracker attribute"])
def test_an_order_reaches_the_book_through_what_the_tracker_holds(kind, positions, console, logger):  # noqa: F811
    matcher = exchange(kind, positions)
    try:
        tracker = OrderTracker(matcher)
        seen = []
        if kind == "tracker attribute":
            own = tracker._add_order
            tracker._add_order = lambda *args: (seen.append(args), own(*args))[1]
        trade_id = tracker.place(*ORDER, NOW)
        (entry,) = matcher.pending_orders
        assert entry["trade_id"] == trade_id and entry["action"] is Action.BUY and entry["price_type"] is PriceType.MKT
        assert entry["quantity"] == 2 and type(entry["price"]) is float
        record = tracker.orders[trade_id]
        assert (record["status"], record["open_qty"], record["placed_ts"]) == ("Open", 2, NOW)
        assert tracker._open[trade_id] is record
        assert next_report(matcher)["operation_type"] is OperationType.NEW
        assert console.lines == [f"[green]新增委託單 {trade_id} 成功[/green]"]
        if kind == "subclass":
            assert matcher.calls == [ORDER]
        if kind == "tracker attribute":
            assert seen == [ORDER]
    finally:
        matcher.close()


@pytest.mark.parametrize("at, value, error", [
    (4, True, "Matcher.add_order() argument 'qty' must be int, not bool"),
    (0, type("Code", (str,), {})("2330"), "Matcher.add_order() argument 'code' must be str, not Code"),
    (5, None, "Matcher.add_order() argument 'price_type' must be str, not NoneType"),
    (3, True, None),  # a real number to the binding: 1.0
    (3, 601, None),
])
def test_values_the_binding_checks_are_checked_as_a_call_would(m, at, value, error):  # noqa: F811
    order = ORDER[:at] + (value,) + ORDER[at + 1:]
    tracker = OrderTracker(m)
    if error is None:
        trade_id = tracker.place(*order, NOW)
        assert m.pending_orders[-1]["trade_id"] == trade_id and m.pending_orders[-1]["price"] == float(value)
        return
    with pytest.raises(TypeError) as caught:
        tracker.place(*order, NOW)
    assert str(caught.value) == error
    assert m.pending_orders == [] and tracker.orders == {} and tracker._open == {}


def test_a_failure_in_add_order_names_it_in_the_traceback(m):  # noqa: F811
    tracker = OrderTracker(m)
    with pytest.raises(Exception) as caught:
        tracker.place("2330", "Option", *ORDER[2:], NOW)
    assert str(caught.value) == "不支援的商品類型: Option"
    assert "Matcher.add_order" in [frame.name for frame in traceback.extract_tb(caught.value.__traceback__)]
    assert tracker.orders == {} and m.pending_orders == []


def context_over(tracker, place):
    bt = Backtest.__new__(Backtest)
    bt.markets = {"2330": "Stock"}
    ctx = StrategyContext(bt)
    ctx.now = NOW
    ctx._place = place(tracker)
    return ctx


@pytest.mark.parametrize("place, tracker_calls", [
    (lambda tracker: tracker.place, 0),
    (lambda tracker: (lambda *order: tracker.place(*order)), 0),
    (lambda tracker: CountingTracker.place.__get__(tracker), 2),
])
def test_the_context_hands_an_order_to_what_its_place_is(m, place, tracker_calls):  # noqa: F811
    CountingTracker.calls = 0
    tracker = OrderTracker(m)
    ctx = context_over(tracker, place)
    first = ctx.buy("2330", 1)
    second = ctx.sell("2330", 2, 600, "IOC", order_lot="IntradayOdd")
    assert [r["trade_id"] for r in m.pending_orders] == [first, second]
    assert [(r["action"], r["quantity"], r["price"]) for r in tracker.orders.values()] == [
        ("Buy", 1, 0.0), ("Sell", 2, 600.0)]
    assert m.pending_orders[1]["order_lot"] == "IntradayOdd" and tracker.orders[second]["order_type"] == "IOC"
    assert CountingTracker.calls == tracker_calls


@pytest.mark.parametrize("call, message", [
    (lambda m: m.add_order("2330", "Stock", "Buy", 1.0, True, "LMT", "ROD"),
     "Matcher.add_order() argument 'qty' must be int, not bool"),
    (lambda m: m.add_order("2330", "Stock", "Buy", "1", True, "LMT", "ROD"),
     "Matcher.add_order() argument 'price' must be a real number, not str"),
    (lambda m: m.add_order("2330", "Stock", "Buy", 1.0, 1, "LMT", "ROD", None),
     "Matcher.add_order() argument 'order_cond' must be str, not NoneType"),
    (lambda m: m.modify_order("T1", 1.5), "Matcher.modify_order() argument 'qty' must be int or None, not float"),
    (lambda m: m.match_deal("2330", 1.0, 1, None), "Matcher.match_deal() argument 'tick_ts' must be a real number, "
                                                   "not NoneType"),
])
def test_positional_calls_are_checked_in_parameter_order(m, call, message):  # noqa: F811
    with pytest.raises(TypeError) as caught:
        call(m)
    assert str(caught.value) == message
    # The method's own frame last, as a def's call shows it.
    assert traceback.extract_tb(caught.value.__traceback__)[-1].name == message.split("(")[0]
    assert m.pending_orders == []

