"""The module's names, the class's shape, argument binding and construction."""

import copy
import inspect
import json
import queue
import threading
import traceback

import pytest

from matcher_support import FakePositions, console, logger, m, positions, receiver_threads  # noqa: F401
from orva_mero_backtest import constant, utils
from orva_mero_backtest.modules.matcher import matcher as matcher_module
from orva_mero_backtest.modules.matcher.matcher import Matcher
from orva_mero_backtest.modules.positions.positions import Positions

METHODS = [
    "__init__",
    "_Matcher__init_current_tick_info",
    "_Matcher__get_random_uuid",
    "_Matcher__receive_pending_order",
    "reset_tick_infos",
    "set_current_tick",
    "add_order",
    "modify_order",
    "cancel_order",
    "match_deal",
    "build_order_response",
    "build_deal_response",
    "get_simulation_stock_order_response",
    "get_simulation_future_order_response",
    "get_simulation_stock_deal_response",
    "get_simulation_future_deal_response",
    "pop_response",
    "add_pending_order_queue",
    "add_response_to_queue",
    "close",
    "__enter__",
    "__exit__",
]


def test_module_binds_its_names_at_load():
    import nanoid

    expected = {
        "copy": copy,
        "json": json,
        "queue": queue,
        "traceback": traceback,
        "generate": nanoid.generate,
        "Thread": threading.Thread,
        "console": utils.console,
        "logger": utils.logger,
        "Positions": Positions,
    }
    for name in ["Action", "OperationType", "OrderType", "OrderCond", "OrderLot", "PriceType", "OCType", "SuccessCode"]:
        expected[name] = getattr(constant, name)
    for name, value in expected.items():
        assert getattr(matcher_module, name) is value, name
    for name in ["datetime", "Any", "Dict", "Union"]:
        assert hasattr(matcher_module, name)


def test_plain_class_with_methods_in_table_order():
    assert Matcher.__mro__ == (Matcher, object)
    assert type(Matcher) is type
    assert [k for k in vars(Matcher) if k in METHODS or not k.startswith("__")] == METHODS
    assert Matcher.__module__ == "orva_mero_backtest.modules.matcher.matcher"


def test_add_order_defaults_come_from_the_enumerations():
    params = inspect.signature(Matcher.add_order).parameters
    assert [p for p in params if p != "self"] == [
        "code", "product_type", "action", "price", "qty", "price_type", "order_type",
        "order_cond", "order_lot", "oc_type",
    ]
    assert params["order_cond"].default == constant.OrderCond.CASH.value
    assert params["order_lot"].default == constant.OrderLot.COMMON.value
    assert params["oc_type"].default == constant.OCType.AUTO.value


def test_instance_state(m, positions):
    assert list(vars(m)) == [
        "pending_orders", "response_queue", "pending_order_queue", "current_tick_infos",
        "positions", "account_info", "exchange_info",
    ]
    assert m.pending_orders == [] and m.current_tick_infos == {}
    assert type(m.response_queue) is queue.Queue and m.response_queue.empty()
    assert type(m.pending_order_queue) is queue.Queue and m.pending_order_queue.empty()
    assert m.positions is positions
    assert m.account_info == {"account_id": "BT-00001"}
    assert m.exchange_info == {"name": "ORVA Backtest Exchange"}


@pytest.mark.parametrize("given", [(), (None,), (0,), ([],)])
def test_a_false_positions_argument_gets_a_new_book(console, given):
    made = Matcher(*given)
    assert type(made.positions) is Positions


def test_matchers_are_independent_and_each_starts_a_daemon_receiver(console):
    # Receivers of matchers dropped by earlier tests end on their own meanwhile: count new ones.
    before = set(receiver_threads())
    a, b = Matcher(), Matcher()
    assert a.response_queue is not b.response_queue and a.pending_orders is not b.pending_orders
    assert a.account_info["account_id"] == b.account_info["account_id"] == "BT-00001"
    started = [t for t in receiver_threads() if t not in before]
    assert len(started) == 2
    assert all(t.daemon and t.is_alive() for t in started)


def test_constructor_failure_starts_no_thread(console, monkeypatch):
    def broken():
        raise RuntimeError("no book")

    monkeypatch.setattr(matcher_module, "Positions", broken)
    before = set(receiver_threads())
    with pytest.raises(RuntimeError, match="no book"):
        Matcher()
    assert set(receiver_threads()) <= before


def test_receiver_thread_is_made_through_the_module_thread(console, monkeypatch):
    made = []

    class RecordingThread(threading.Thread):
        def __init__(self, **kwargs):
            made.append(kwargs)
            super().__init__(**kwargs)

    monkeypatch.setattr(matcher_module, "Thread", RecordingThread)
    m = Matcher()
    (kwargs,) = made
    assert kwargs["daemon"] is True
    # The receiver holds its Matcher only weakly, so a dropped Matcher can go.
    assert kwargs["target"].__self__() is m
    assert kwargs["target"].__name__ == "__receive_pending_order"


def test_trade_ids(m, monkeypatch):
    ids = {m._Matcher__get_random_uuid() for _ in range(2000)}
    assert len(ids) == 2000
    import nanoid

    alphabet = inspect.signature(nanoid.generate).parameters["alphabet"].default
    assert all(len(i) == 16 and set(i) <= set(alphabet) for i in ids)
    # Every letter of the alphabet turns up: the draw covers the whole alphabet.
    assert set("".join(ids)) == set(alphabet)
    calls = []
    monkeypatch.setattr(matcher_module, "generate", lambda **kw: calls.append(kw) or "X" * 16)
    assert m._Matcher__get_random_uuid() == "X" * 16
    assert calls == [{"size": 16}]


def test_tick_info_record(m):
    a = m._Matcher__init_current_tick_info("2330")
    b = m._Matcher__init_current_tick_info(code="")
    assert a == b == {"ts": None, "tick": None} and a is not b
    assert list(a) == ["ts", "tick"]
    for bad in [None, 1, type("S", (str,), {})("x")]:
        with pytest.raises(TypeError, match="'code'"):
            m._Matcher__init_current_tick_info(bad)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda m: m.add_order("2330"),
         "Matcher.add_order() missing 6 required positional arguments: 'product_type', 'action', 'price', "
         "'qty', 'price_type', and 'order_type'"),
        (lambda m: m.add_order("2330", "Stock", "Buy", 1.0, 1, "LMT"),
         "Matcher.add_order() missing 1 required positional argument: 'order_type'"),
        (lambda m: m.cancel_order(),
         "Matcher.cancel_order() missing 1 required positional argument: 'trade_id'"),
        (lambda m: m.add_pending_order_queue(),
         "Matcher.add_pending_order_queue() missing 2 required positional arguments: 'action' and 'payload'"),
        (lambda m: m.add_order("2330", "Stock", "Buy", 1.0, 1, "LMT", "ROD", foo=1),
         "Matcher.add_order() got an unexpected keyword argument 'foo'"),
        (lambda m: m.add_order("2330", "Stock", "Buy", 1.0, 1, "LMT", "ROD", "Cash", "Common", "Auto", "x"),
         "Matcher.add_order() takes from 8 to 11 positional arguments but 12 were given"),
        (lambda m: m.cancel_order("a", "b"),
         "Matcher.cancel_order() takes 2 positional arguments but 3 were given"),
        (lambda m: m.pop_response(1),
         "Matcher.pop_response() takes 1 positional argument but 2 were given"),
        (lambda m: m.modify_order("a", trade_id="a"),
         "Matcher.modify_order() got multiple values for argument 'trade_id'"),
        (lambda m: m.match_deal("2330", 1.0, 1),
         "Matcher.match_deal() missing 1 required positional argument: 'tick_ts'"),
    ],
)
def test_argument_binding_errors_have_cpythons_texts(m, call, message):
    with pytest.raises(TypeError) as info:
        call(m)
    assert str(info.value) == message


class SubStr(str):
    pass


class SubInt(int):
    pass


class SubDict(dict):
    pass


@pytest.mark.parametrize(
    "call, param",
    [
        (lambda m: m.add_order(None, "Stock", "Buy", 1.0, 1, "LMT", "ROD"), "code"),
        (lambda m: m.add_order(SubStr("2330"), "Stock", "Buy", 1.0, 1, "LMT", "ROD"), "code"),
        (lambda m: m.add_order("2330", "Stock", "Buy", "1", 1, "LMT", "ROD"), "price"),
        (lambda m: m.add_order("2330", "Stock", "Buy", 1.0, True, "LMT", "ROD"), "qty"),
        (lambda m: m.add_order("2330", "Stock", "Buy", 1.0, 1.0, "LMT", "ROD"), "qty"),
        (lambda m: m.add_order("2330", "Stock", "Buy", 1.0, SubInt(1), "LMT", "ROD"), "qty"),
        (lambda m: m.add_order("2330", "Stock", "Buy", 1.0, 1, "LMT", "ROD", order_lot=None), "order_lot"),
        (lambda m: m.modify_order(1), "trade_id"),
        (lambda m: m.modify_order("a", qty=False), "qty"),
        (lambda m: m.modify_order("a", price=1), "price"),
        (lambda m: m.cancel_order(None), "trade_id"),
        (lambda m: m.set_current_tick(SubDict(code="2330", timestamp=1)), "tick"),
        (lambda m: m.match_deal("2330", 1.0, True, 1.0), "tick_qty"),
        (lambda m: m.match_deal("2330", None, 1, 1.0), "tick_close"),
        (lambda m: m.match_deal("2330", 1.0, 1, "1"), "tick_ts"),
        (lambda m: m.match_deal(SubStr("2330"), 1.0, 1, 1.0), "code"),
        (lambda m: m.build_order_response(None, None, None), "trade"),
        (lambda m: m.build_deal_response([]), "trade"),
        (lambda m: m.get_simulation_stock_order_response(SubDict()), "data"),
        (lambda m: m.get_simulation_future_deal_response(None), "data"),
        (lambda m: m.add_pending_order_queue("add", None), "payload"),
        (lambda m: m.add_pending_order_queue(SubStr("add"), {}), "action"),
        (lambda m: m.add_response_to_queue([]), "response"),
        (lambda m: m.add_response_to_queue(None), "response"),
    ],
)
def test_exact_types_are_required_and_nothing_changes(m, call, param):
    with pytest.raises(TypeError, match=f"'{param}'"):
        call(m)
    assert m.pending_orders == [] and m.response_queue.empty() and m.pending_order_queue.empty()
