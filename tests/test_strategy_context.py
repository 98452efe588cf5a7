"""The strategy context's buy / sell / place_order: one suite run against the native methods and the
plain-Python model in tests/reference, with the values a strategy sees."""

import inspect
import math
import pydoc
import sys

import pytest

from orva_mero_backtest.constant import Action
from orva_mero_backtest.driver import Backtest, Instrument
from orva_mero_backtest.strategy import OrderRejected, Strategy, StrategyContext
from reference import strategy_context as reference

NOW = 1704186000.25
MARKETS = {"2330": "Stock", "TXFR1": "Future"}


class FakeBacktest:
    """Not a Backtest: its market_of is always called."""

    def __init__(self):
        self.markets = dict(MARKETS)

    def market_of(self, code):
        return Backtest.market_of(self, code)


def own_backtest():
    bt = Backtest.__new__(Backtest)
    bt.markets = dict(MARKETS)
    return bt


@pytest.fixture(params=["native", "reference"])
def Context(request):
    return StrategyContext if request.param == "native" else reference.StrategyContext


@pytest.fixture(params=["Backtest", "other"])
def make_backtest(request):
    return own_backtest if request.param == "Backtest" else FakeBacktest


class Code(str):
    pass


def order(code, market, action, limit, qty, price_type, order_type="ROD", lot="Common", oc="Auto"):
    return ("ok", (code, market, action, limit, qty, price_type, order_type, "Cash", lot, oc, NOW))


def refused(message):
    return (OrderRejected, message)


def bad_call(message):
    return (TypeError, message)


PLACED = [
    ("buy", ("2330", 1), {}, order("2330", "Stock", "Buy", 0.0, 1, "MKT")),
    ("sell", ("TXFR1", 2), {}, order("TXFR1", "Future", "Sell", 0.0, 2, "MKT")),
    ("buy", ("2330", 1, 600.5), {}, order("2330", "Stock", "Buy", 600.5, 1, "LMT")),
    ("sell", ("2330", 3, 600), {}, order("2330", "Stock", "Sell", 600.0, 3, "LMT")),
    ("buy", ("2330", 1), {"price": 600.0, "order_type": "IOC"}, order("2330", "Stock", "Buy", 600.0, 1, "LMT", "IOC")),
    ("buy", ("2330",), {"qty": 1, "order_type": "FOK"}, order("2330", "Stock", "Buy", 0.0, 1, "MKT", "FOK")),
    ("sell", ("2330", 1), {"order_lot": "IntradayOdd"},
     order("2330", "Stock", "Sell", 0.0, 1, "MKT", lot="IntradayOdd")),
    ("buy", ("2330", 1), {"price_type": "MKT", "price": 601}, order("2330", "Stock", "Buy", 601.0, 1, "MKT")),
    ("buy", ("2330", 2**70, None, Action.BUY), {}, refused("unknown order type 'Buy' (use ROD, IOC or FOK)")),
    ("buy", ("2330", 2**70), {}, order("2330", "Stock", "Buy", 0.0, 2**70, "MKT")),
    ("place_order", ("2330", "Buy", 1), {}, order("2330", "Stock", "Buy", 0.0, 1, "MKT")),
    ("place_order", ("2330", "Sell", 1, 599.5, "ROD", "LMT", "Cash", "Common", "Auto"), {},
     order("2330", "Stock", "Sell", 599.5, 1, "LMT")),
    ("place_order", ("TXFR1",), {"action": "Buy", "qty": 4, "oc_type": "New", "price_type": "MKT"},
     order("TXFR1", "Future", "Buy", 0.0, 4, "MKT", oc="New")),
    ("place_order", ("2330", Action.BUY, 1, None, "ROD", "MKP"), {}, order("2330", "Stock", "Buy", 0.0, 1, "MKP")),
    ("buy", (Code("2330"), 1), {}, order("2330", "Stock", "Buy", 0.0, 1, "MKT")),
    # refused by the context
    ("buy", ("9999", 1), {}, refused("'9999' is not an instrument of this backtest")),
    ("buy", (["2330"], 1), {}, refused("['2330'] is not an instrument of this backtest")),
    ("place_order", ("2330", "Hold", 1), {}, refused("unknown action 'Hold' (use Buy, Sell)")),
    ("buy", ("2330", 1, None, "GTC"), {}, refused("unknown order type 'GTC' (use ROD, IOC or FOK)")),
    ("buy", ("2330", 1), {"price_type": "STP"}, refused("unknown price type 'STP' (use LMT, MKP, MKT)")),
    ("buy", ("2330", 0), {}, refused("order quantity must be a positive int, got 0")),
    ("sell", ("2330", -1), {}, refused("order quantity must be a positive int, got -1")),
    ("buy", ("2330", True), {}, refused("order quantity must be a positive int, got True")),
    ("buy", ("2330", 1.0), {}, refused("order quantity must be a positive int, got 1.0")),
    ("buy", ("2330", -(2**70)), {}, refused(f"order quantity must be a positive int, got {-(2**70)}")),
    ("buy", ("2330", 1, 0.0), {}, refused("a limit order needs a price above 0, got 0.0")),
    ("buy", ("2330", 1, -5), {}, refused("a limit order needs a price above 0, got -5")),
    ("buy", ("2330", 1, math.nan), {}, refused("a limit order needs a price above 0, got nan")),
    ("buy", ("2330", 1, True), {}, refused("a limit order needs a price above 0, got True")),
    ("buy", ("2330", 1), {"price_type": "LMT"}, refused("a limit order needs a price above 0, got None")),
    ("buy", ("2330", 1, "600"), {}, (TypeError, "'>' not supported between instances of 'str' and 'int'")),
    ("buy", ("2330", 1, 10**400), {"price_type": "MKT"}, (OverflowError, "int too large to convert to float")),
]

BAD_CALLS = [
    ("buy", ("2330",), {}, bad_call("StrategyContext.buy() missing 1 required positional argument: 'qty'")),
    ("sell", (), {}, bad_call("StrategyContext.sell() missing 2 required positional arguments: 'code' and 'qty'")),
    ("buy", (), {"code": "2330", "qty": 1, "colour": "red"},
     bad_call("StrategyContext.place_order() got an unexpected keyword argument 'colour'")),
    ("sell", ("2330", 1), {"oc": "New"}, bad_call("StrategyContext.place_order() got an unexpected keyword argument "
                                                 "'oc'")),
    ("buy", ("2330", 1), {"order_lots": "Odd"}, bad_call(
        "StrategyContext.place_order() got an unexpected keyword argument 'order_lots'"
        + (". Did you mean 'order_lot'?" if sys.version_info >= (3, 13) else ""))),
    ("buy", ("2330", 1), {"action": "Sell"},
     bad_call("StrategyContext.place_order() got multiple values for argument 'action'")),
    ("buy", ("2330", 1), {"code": "2330"}, bad_call("StrategyContext.buy() got multiple values for argument 'code'")),
    ("place_order", ("2330", "Buy", 1), {"code": "2330"},
     bad_call("StrategyContext.place_order() got multiple values for argument 'code'")),
    ("place_order", ("2330", "Buy", 1, None, "ROD", None, "Cash", "Common", "Auto", "extra"), {},
     bad_call("StrategyContext.place_order() takes from 4 to 10 positional arguments but 11 were given")),
    ("sell", ("2330", 1, None, "ROD", "surplus"), {},
     bad_call("StrategyContext.sell() takes from 3 to 5 positional arguments but 6 were given")),
]


def outcome(ctx, method, args, kwargs):
    """A call's result or error, and the orders handed on to _place."""
    placed = []
    ctx._place = lambda *order: placed.append(order) or order
    ctx.now = NOW
    try:
        result = ("ok", getattr(ctx, method)(*args, **kwargs))
    except Exception as error:  # noqa: BLE001 - the error is what is checked
        result = (type(error), str(error))
    return result, placed


@pytest.mark.parametrize("method, args, kwargs, expected", PLACED + BAD_CALLS)
def test_orders_placed_refused_and_bad_calls(Context, make_backtest, method, args, kwargs, expected):
    result, placed = outcome(Context(make_backtest()), method, args, kwargs)
    assert result == expected
    assert placed == ([expected[1]] if expected[0] == "ok" else [])
    if expected[0] == "ok":  # the exchange gets exact types: str texts, a float limit
        assert [type(v) for v in placed[0][2:4]] == [str, float]
        assert type(placed[0][0]) is type(args[0] if args else kwargs["code"])


@pytest.mark.parametrize("method, args, kwargs, expected", PLACED + BAD_CALLS)
def test_nothing_is_placed_during_the_warm_up(Context, make_backtest, method, args, kwargs, expected):
    ctx = Context(make_backtest())
    ctx.warming_up = True
    result, placed = outcome(ctx, method, args, kwargs)
    is_bad_call = (method, args, kwargs, expected) in BAD_CALLS
    assert result == (expected if is_bad_call else refused("orders are not accepted during the backfill warm-up"))
    assert not placed


def test_market_of_may_change_the_context_before_the_order_is_handed_on(Context):
    class Moving(FakeBacktest):
        def market_of(self, code):
            ctx.now = 42.0
            ctx._place = lambda *order: order
            return "Stock"

    ctx = Context(Moving())
    ctx.now = 1.0
    assert ctx.buy("2330", 1)[-1] == 42.0


class Capped:
    """A place_order that refuses more than 499 lots and passes the rest on."""

    def place_order(self, code, action, qty, *args, **kwargs):
        if qty > 499:
            raise OrderRejected(f"at most 499 lots, got {qty}")
        return super().place_order(code, action, qty, *args, **kwargs)


def test_a_subclass_place_order_is_what_buy_and_sell_call(Context):
    ctx = type("CappedContext", (Capped, Context), {})(own_backtest())
    assert outcome(ctx, "buy", ("2330", 500), {})[0] == refused("at most 499 lots, got 500")
    assert outcome(ctx, "sell", ("2330", 499, 600.0), {"order_lot": "Odd"}) == (
        order("2330", "Stock", "Sell", 600.0, 499, "LMT", lot="Odd"), [order(
            "2330", "Stock", "Sell", 600.0, 499, "LMT", lot="Odd")[1]])


def test_a_place_order_set_on_the_instance_is_called_from_the_next_look(Context):
    calls = []
    ctx = Context(own_backtest())
    ctx.place_order = lambda *args, **kwargs: calls.append((args, kwargs)) or "set"
    ctx._prepare()  # as a run does when it starts
    assert ctx.buy("2330", 3, order_type="IOC", oc_type="New") == "set"
    assert ctx.sell("2330", 1, 600.0) == "set"
    assert calls == [(("2330", "Buy", 3, None, "IOC"), {"oc_type": "New"}),
                     (("2330", "Sell", 1, 600.0, "ROD"), {})]


class Counting(Backtest):
    def market_of(self, code):
        self.calls = getattr(self, "calls", 0) + 1
        return "Future" if code == "2330" else super().market_of(code)


def test_a_backtest_subclass_market_of_is_called_for_every_order(Context):
    bt = Counting.__new__(Counting)
    bt.markets = dict(MARKETS)
    ctx = Context(bt)
    assert [outcome(ctx, "buy", (code, 1), {})[0] for code in ("2330", "TXFR1", "9999")] == [
        order("2330", "Future", "Buy", 0.0, 1, "MKT"),
        order("TXFR1", "Future", "Buy", 0.0, 1, "MKT"),
        refused("'9999' is not an instrument of this backtest"),
    ]
    assert bt.calls == 3


@pytest.mark.parametrize("code, called", [("2330", False), ("9999", True), (Code("2330"), True)])
def test_the_backtests_own_markets_are_read_without_calling_market_of(code, called):
    seen = []
    ctx = StrategyContext(own_backtest())
    ctx._place = lambda *order: order

    def profile(frame, event, arg):
        if event == "call":
            seen.append(frame.f_code.co_name)

    sys.setprofile(profile)
    try:
        ctx.buy(code, 1)
    except OrderRejected:
        pass
    finally:
        sys.setprofile(None)
    assert ("market_of" in seen) == called


@pytest.mark.parametrize("name, parameters", [
    ("buy", ["code", "qty", "price", "order_type", "kwargs"]),
    ("sell", ["code", "qty", "price", "order_type", "kwargs"]),
    ("place_order", ["code", "action", "qty", "price", "order_type", "price_type", "order_cond", "order_lot",
                     "oc_type"]),
])
def test_native_methods_show_a_signature_and_a_doc(name, parameters):
    method = getattr(StrategyContext, name)
    model = inspect.signature(getattr(reference.StrategyContext, name))
    assert list(inspect.signature(method).parameters) == ["self"] + parameters
    bound = inspect.signature(getattr(StrategyContext(FakeBacktest()), name))
    assert list(bound.parameters) == parameters
    assert [p.default for p in bound.parameters.values()] == [p.default for p in model.parameters.values()][1:]
    shown = pydoc.render_doc(method, renderer=pydoc.plaintext)
    assert method.__doc__ and method.__doc__.splitlines()[0] in shown and "order_type='ROD'" in shown
    assert not hasattr(method, "__wrapped__")


class BuysOnce(Strategy):
    """Buys `qty` at the first tick; keeps the trade id or the refusal."""

    name = "buys-once"

    def __init__(self, qty=1):
        super().__init__()
        self.qty, self.answers = qty, []

    def on_tick(self, ctx, tick):
        if not self.answers:
            try:
                self.answers.append(ctx.buy(tick["code"], self.qty))
            except OrderRejected as error:
                self.answers.append(f"refused: {error}")


class Closed(Backtest):
    def market_of(self, code):
        raise OrderRejected(f"no trading in {code} today")


def cap_on_the_instance(ctx):
    own = ctx.place_order

    def place_order(code, action, qty, *args, **kwargs):
        if qty > 499:
            raise OrderRejected(f"at most 499 lots, got {qty}")
        return own(code, action, qty, *args, **kwargs)

    ctx.place_order = place_order


def run_once(backtest_class, strategy, replace=None):
    bt = backtest_class(strategy, [Instrument("2412", "Stock")], "2024-01-02", "2024-01-02", module_console="none")
    if replace:
        replace(bt.ctx)
    return bt.run()


@pytest.mark.parametrize("backtest_class, replace, qty, answer, orders", [
    (Backtest, None, 500, None, 1),
    (Closed, None, 1, "refused: no trading in 2412 today", 0),
    (Backtest, cap_on_the_instance, 500,
     "refused: at most 499 lots, got 500", 0),
    (Backtest, cap_on_the_instance, 499, None, 1),
])
def test_what_a_user_replaces_is_what_a_run_uses(backtest_class, replace, qty, answer, orders):
    strategy = BuysOnce(qty)
    result = run_once(backtest_class, strategy, replace)
    assert len(strategy.answers) == 1 and len(result.orders) == orders
    if answer is None:
        assert strategy.answers == [result.orders[0]["trade_id"]] and result.orders[0]["quantity"] == qty
    else:
        assert strategy.answers == [answer]
