"""The strategy context's native buy / sell / place_order against their Python text."""

import math

import pytest

from orva_mero_backtest.constant import Action
from orva_mero_backtest.driver import Backtest
from orva_mero_backtest.strategy import StrategyContext


class FakeBacktest:
    def __init__(self):
        self.markets = {"2330": "Stock", "TXFR1": "Future"}
        self.market_calls = 0

    def market_of(self, code):
        self.market_calls += 1
        return Backtest.market_of(self, code)


class TextContext(StrategyContext):
    """The Python text only."""

    buy = StrategyContext._buy
    sell = StrategyContext._sell
    place_order = StrategyContext._place_order


class Code(str):
    pass


def outcome(cls, method, args, kwargs, warming_up=False):
    """What a call shows: its result or error, the orders handed on (with their types), market_of calls."""
    bt = FakeBacktest()
    ctx = cls(bt)
    placed = []
    ctx._place = lambda *order: placed.append([(v, type(v)) for v in order]) or f"id{len(placed)}"
    ctx.now = 1704186000.25
    ctx.warming_up = warming_up
    try:
        result = ("ok", getattr(ctx, method)(*args, **kwargs))
    except Exception as error:  # noqa: BLE001 - the error is what is compared
        result = (type(error), str(error))
    return result, placed, bt.market_calls


CASES = [
    ("buy", ("2330", 1), {}),
    ("sell", ("TXFR1", 2), {}),
    ("buy", ("2330", 1, 600.5), {}),
    ("sell", ("2330", 3, 600), {}),
    ("buy", ("2330", 1), {"price": 600.0, "order_type": "IOC"}),
    ("buy", ("2330",), {"qty": 1, "order_type": "FOK"}),
    ("sell", ("2330", 1), {"order_lot": "IntradayOdd"}),
    ("buy", ("2330", 1), {"price_type": "MKT", "price": 601}),
    ("place_order", ("2330", "Buy", 1), {}),
    ("place_order", ("2330", "Sell", 1, 599.5, "ROD", "LMT", "Cash", "Common", "Auto"), {}),
    ("place_order", ("TXFR1",), {"action": "Buy", "qty": 4, "oc_type": "New", "price_type": "MKT"}),
    ("place_order", ("2330", Action.BUY, 1), {}),
    ("buy", (Code("2330"), 1), {}),
    # refused by the context
    ("buy", ("9999", 1), {}),
    ("buy", (["2330"], 1), {}),
    ("place_order", ("2330", "Hold", 1), {}),
    ("buy", ("2330", 1, None, "GTC"), {}),
    ("buy", ("2330", 1), {"price_type": "STP"}),
    ("buy", ("2330", 0), {}),
    ("sell", ("2330", -1), {}),
    ("buy", ("2330", True), {}),
    ("buy", ("2330", 1.0), {}),
    ("buy", ("2330", 2**70), {}),
    ("buy", ("2330", 1, 0.0), {}),
    ("buy", ("2330", 1, -5), {}),
    ("buy", ("2330", 1, math.nan), {}),
    ("buy", ("2330", 1, True), {}),
    ("buy", ("2330", 1, "600"), {}),
    ("buy", ("2330", 1), {"price_type": "LMT"}),
    ("buy", ("2330", 1, 10**400), {"price_type": "MKT"}),
    # bad calls
    ("buy", ("2330",), {}),
    ("buy", (), {"code": "2330", "qty": 1, "colour": "red"}),
    ("place_order", ("2330", "Buy", 1), {"code": "2330"}),
    ("place_order", ("2330", "Buy", 1, None, "ROD", None, "Cash", "Common", "Auto", "extra"), {}),
    ("sell", ("2330", 1, None, "ROD", "surplus"), {}),
]


@pytest.mark.parametrize("method, args, kwargs", CASES)
@pytest.mark.parametrize("warming_up", [False, True])
def test_native_methods_do_what_the_python_text_does(method, args, kwargs, warming_up):
    native = outcome(StrategyContext, method, args, kwargs, warming_up)
    assert native == outcome(TextContext, method, args, kwargs, warming_up)
    if warming_up:
        assert native[0][0] is not str and not native[1]


def test_buy_calls_a_replaced_place_order():
    calls = []

    class Mine(StrategyContext):
        def place_order(self, *args, **kwargs):
            calls.append(("class", args, kwargs))
            return "mine"

    ctx = Mine(FakeBacktest())
    assert ctx.buy("2330", 1) == "mine" and ctx.sell("2330", 2, 600.0) == "mine"
    plain = StrategyContext(FakeBacktest())
    plain.place_order = lambda *args, **kwargs: calls.append(("instance", args, kwargs)) or "set"
    assert plain.buy("2330", 3, order_type="IOC") == "set"
    assert calls == [
        ("class", ("2330", "Buy", 1, None, "ROD"), {}),
        ("class", ("2330", "Sell", 2, 600.0, "ROD"), {}),
        ("instance", ("2330", "Buy", 3, None, "IOC"), {}),
    ]


def test_checks_read_the_module_names_when_called(monkeypatch):
    import orva_mero_backtest.strategy as strategy

    monkeypatch.setattr(strategy, "_ORDER_TYPES", {"ROD"})
    result, placed, _ = outcome(StrategyContext, "buy", ("2330", 1, None, "IOC"), {})
    assert result == (strategy.OrderRejected, "unknown order type 'IOC' (use ROD, IOC or FOK)") and not placed


def test_market_of_may_change_the_context_before_the_order_is_handed_on():
    class Moving(FakeBacktest):
        def market_of(self, code):
            ctx.now = 42.0
            ctx._place = lambda *order: order
            return "Stock"

    ctx = StrategyContext(Moving())
    ctx.now = 1.0
    assert ctx.buy("2330", 1)[-1] == 42.0


@pytest.mark.parametrize("call, text_runs", [
    (lambda ctx: ctx.buy("2330", 1), False),
    (lambda ctx: ctx.sell("2330", 1, 600.0, "IOC"), False),
    (lambda ctx: ctx.place_order("2330", "Buy", 1, price_type="MKT"), False),
    (lambda ctx: ctx.buy("2330", 1, order_lot="IntradayOdd"), True),
    (lambda ctx: ctx.buy("2330", 1, Code("600")), True),
])
def test_plain_orders_take_no_python_frame(call, text_runs):
    import sys

    frames = []
    ctx = StrategyContext(FakeBacktest())
    ctx._place = lambda *order: "id"

    def profile(frame, event, arg):
        if event == "call" and frame.f_code.co_name in ("_buy", "_sell", "_place_order"):
            frames.append(frame.f_code.co_name)

    sys.setprofile(profile)
    try:
        try:
            call(ctx)
        except Exception:  # noqa: BLE001 - only the frames matter here
            pass
    finally:
        sys.setprofile(None)
    assert bool(frames) == text_runs


class CountingBacktest(Backtest):
    def market_of(self, code):
        self.calls = getattr(self, "calls", 0) + 1
        return super().market_of(code)


@pytest.mark.parametrize("make, counted", [
    (lambda: Backtest.__new__(Backtest), False),
    (lambda: CountingBacktest.__new__(CountingBacktest), True),
])
@pytest.mark.parametrize("code", ["2330", "TXFR1", "9999", Code("2330")])
def test_markets_read_directly_only_while_market_of_is_the_backtests(make, counted, code):
    bt = make()
    bt.markets = {"2330": "Stock", "TXFR1": "Future"}
    ctx = StrategyContext(bt)
    ctx._place = lambda *order: order[:2]
    expected = Backtest.market_of(bt, code) if code in bt.markets else None
    if expected is None:
        with pytest.raises(Exception, match="is not an instrument of this backtest"):
            ctx.buy(code, 1)
    else:
        assert ctx.buy(code, 1) == (code, expected)
    assert getattr(bt, "calls", 0) == (1 if counted else 0)
    bt.market_of = lambda code: "Set on the instance"
    assert ctx.sell("2330", 1) == ("2330", "Set on the instance")


@pytest.mark.parametrize("name", ["buy", "sell", "place_order"])
def test_native_methods_show_their_texts_signature_and_doc(name):
    import inspect

    text = getattr(StrategyContext, "_" + name)
    method = getattr(StrategyContext, name)
    assert inspect.signature(method) == inspect.signature(text) and method.__doc__ == text.__doc__
    bound = getattr(StrategyContext(FakeBacktest()), name)
    assert list(inspect.signature(bound).parameters) == list(inspect.signature(text).parameters)[1:]
