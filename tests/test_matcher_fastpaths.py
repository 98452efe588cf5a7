"""Shortcuts taken for speed must give what the Python-level calls give, and step aside when
those calls are replaced."""

import os
import queue
import threading

import pytest

from matcher_support import (  # noqa: F401
    FakePositions, console, drain, logger, m, next_report, positions, stock, wait_until,
)
from orva_mero_backtest.constant import Action, OCType, OperationType, OrderType, PriceType, SuccessCode
from orva_mero_backtest.modules.matcher import matcher as matcher_module


def test_replaced_from_value_is_used(m, monkeypatch):
    seen = []
    original = OrderType.from_value.__func__

    def spying(cls, value):
        seen.append(value)
        return original(cls, value)

    monkeypatch.setattr(OrderType, "from_value", classmethod(spying))
    m.add_order("2330", "Stock", "Buy", 1.0, 1, "LMT", "IOC")
    assert seen[0] == "IOC" and seen[1] is OrderType.IOC  # the record, then the report


def test_replaced_enumeration_is_used(m, monkeypatch):
    class Lenient:
        @staticmethod
        def from_value(value):
            return f"price type {value}"

    monkeypatch.setattr(matcher_module, "PriceType", Lenient)
    m.add_order("2330", "Stock", "Buy", 1.0, 1, "anything", "ROD")
    assert m.pending_orders[0]["price_type"] == "price type anything"


def test_unknown_values_still_get_from_values_error(m):
    with pytest.raises(ValueError, match="PriceType"):
        m.add_order("2330", "Stock", "Buy", 1.0, 1, "LMT ", "ROD")


def test_replaced_member_property_is_used(m, monkeypatch):
    stock(m)  # the original code is known before the change
    monkeypatch.setattr(SuccessCode, "code", property(lambda self: "X" + self.value[0]))
    m.add_order("2330", "Stock", "Buy", 1.0, 1, "LMT", "ROD")
    assert m.pending_orders[-1]["operation_code"] == "X0000"
    assert next_report(m)["operation_status_code"] == "X0000"


def test_subclass_methods_are_called_by_the_base_methods(console, positions):
    class Mine(matcher_module.Matcher):
        def build_deal_response(self, trade):
            return {"mine": trade["quantity"]}

    m = Mine(positions)
    stock(m, qty=2)
    m.match_deal("2330", 99, 5, 1)
    assert drain(m) == [{"mine": 2}]


def test_deal_copy_keeps_immutable_values_and_copies_the_rest(m, positions):
    stock(m, qty=2, order_type="IOC")
    record = m.pending_orders[0]
    m.match_deal("2330", 99, 1, 1)
    deal = [c[1] for c in positions.calls if c[0] == "set_positions"][0]
    assert list(deal) == list(record)
    for key in record:
        if key not in ("quantity", "price", "exchange_ts"):
            assert deal[key] is record[key], key
    assert deal["action"] is Action.BUY and deal["price_type"] is PriceType.LMT


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_forked_child_draws_its_own_ids(m):
    m._Matcher__get_random_uuid()  # the parent has random bytes in store
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.write(write, m._Matcher__get_random_uuid().encode())
        finally:
            os._exit(0)
    os.close(write)
    child_id = os.read(read, 64).decode()
    os.close(read)
    os.waitpid(pid, 0)
    assert len(child_id) == 16 and child_id != m._Matcher__get_random_uuid()


class PassThrough(matcher_module.Matcher):
    """Reaches the report methods through Python, so the common fields travel in a dict."""

    def get_simulation_stock_order_response(self, data):
        return super().get_simulation_stock_order_response(data)

    def get_simulation_future_order_response(self, data):
        return super().get_simulation_future_order_response(data)

    def get_simulation_stock_deal_response(self, data):
        return super().get_simulation_stock_deal_response(data)

    def get_simulation_future_deal_response(self, data):
        return super().get_simulation_future_deal_response(data)


def scripted_reports(cls, monkeypatch):
    ids = iter(f"ID{i:014d}" for i in range(100))
    monkeypatch.setattr(matcher_module, "generate", lambda size: next(ids))
    m = cls(FakePositions())
    m.set_current_tick({"code": "2330", "timestamp": 5.0})
    m.add_order("2330", "Stock", "Buy", 100.0, 5, "LMT", "ROD", order_lot="Odd")
    m.add_order("TXFA4", "Future", "Sell", 90.0, 3, "MKT", "IOC", oc_type="New")
    m.add_order("2330", "Stock", "Sell", 120.0, 2, "LMT", "FOK")
    m.modify_order("ID00000000000000", qty=1)
    m.modify_order("ID00000000000000", price=99.5)
    m.match_deal("2330", 99.0, 3, 6.0)
    m.match_deal("TXFA4", 95.0, 1, 7.0)
    m.cancel_order("ID00000000000000")
    return drain(m)


def test_reports_built_natively_equal_those_built_through_the_methods(console, logger, monkeypatch):
    native = scripted_reports(matcher_module.Matcher, monkeypatch)
    through_methods = scripted_reports(PassThrough, monkeypatch)
    assert len(native) == 9  # 3 new, 2 modified, 2 deals, 1 IOC rest and 1 cancellation
    assert native == through_methods
    assert [list(r) for r in native] == [list(r) for r in through_methods]
    assert [list(r["order"]) for r in native if "order" in r] == [
        list(r["order"]) for r in through_methods if "order" in r]


@pytest.mark.parametrize("cls", [matcher_module.Matcher, PassThrough])
@pytest.mark.parametrize("kind, method", [("order", "get_simulation_stock_order_response"),
                                          ("deal", "get_simulation_stock_deal_response")])
def test_failed_report_names_the_report_method_in_its_traceback(console, logger, cls, kind, method):
    import traceback

    m = cls(FakePositions())
    stock(m)
    trade = dict(m.pending_orders[0], order_cond="Nope")
    try:
        if kind == "order":
            m.build_order_response(trade, OperationType.NEW, SuccessCode.CreateOrder)
        else:
            m.build_deal_response(trade)
    except ValueError:
        text = traceback.format_exc()
    assert f"in Matcher.build_{kind}_response" in text
    assert f"in Matcher.{method}" in text
    assert text.index(f"Matcher.build_{kind}_response") < text.index(f"Matcher.{method}")


@pytest.mark.parametrize("where", ["instance", "class"])
def test_replaced_report_method_is_used(m, monkeypatch, where):
    if where == "instance":
        m.get_simulation_future_order_response = lambda data: {"mine": data["oc_type"]}
    else:
        monkeypatch.setattr(matcher_module.Matcher, "get_simulation_future_order_response",
                            lambda self, data: {"mine": data["oc_type"]})
    m.add_order("TXFA4", "Future", "Sell", 90.0, 3, "LMT", "ROD")
    assert next_report(m) == {"mine": OCType.AUTO}


# ---- report queue: the native put/get against Queue.put/Queue.get ----------------------------

def queue_state(q):
    return list(q.queue), q.unfinished_tasks, sorted(vars(q))


def test_native_put_and_get_leave_the_queue_as_queue_methods_do(m):
    reference = queue.Queue()
    for r in ({"a": 1}, {"b": 2}):
        m.add_response_to_queue(r)
        reference.put(r)
    assert queue_state(m.response_queue) == queue_state(reference)
    m.response_queue.unfinished_tasks += 5  # changed by Python between native calls
    reference.unfinished_tasks += 5
    m.add_response_to_queue({"c": 3})
    reference.put({"c": 3})
    assert queue_state(m.response_queue) == queue_state(reference)
    assert m.pop_response() is reference.get()
    assert queue_state(m.response_queue) == queue_state(reference)
    m.response_queue.task_done()
    reference.task_done()
    assert queue_state(m.response_queue) == queue_state(reference)


def test_native_put_wakes_a_waiting_getter_and_native_get_waits(m):
    got = []
    waiter = threading.Thread(target=lambda: got.append(m.response_queue.get(timeout=5)))
    waiter.start()
    wait_until(lambda: len(m.response_queue.not_empty._waiters) == 1)
    m.add_response_to_queue({"x": 1})
    waiter.join(timeout=5)
    assert got == [{"x": 1}]
    threading.Timer(0.05, m.response_queue.put, args=({"y": 2},)).start()
    assert m.pop_response() == {"y": 2}


@pytest.mark.parametrize("change", ["class method", "instance method", "subclass"])
def test_native_queue_steps_aside_for_a_changed_queue(m, monkeypatch, change):
    m.add_response_to_queue({"warm": 0})  # the native path has seen this queue
    assert m.pop_response() == {"warm": 0}
    seen = []
    if change == "class method":
        original = queue.Queue._put
        monkeypatch.setattr(queue.Queue, "_put", lambda self, item: (seen.append(item), original(self, item)))
    elif change == "instance method":
        q = m.response_queue
        original = q.put
        q.put = lambda item: (seen.append(item), original(item))
    else:
        class Spy(queue.Queue):
            def _put(self, item):
                seen.append(item)
                super()._put(item)

        m.response_queue = Spy()
    m.add_response_to_queue({"k": 1})
    assert seen == [{"k": 1}]
    assert m.pop_response() == {"k": 1}
    assert m.response_queue.unfinished_tasks == (1 if change == "subclass" else 2)


def test_native_put_on_a_full_bounded_queue_waits_like_queue_put(m):
    m.response_queue = queue.Queue(maxsize=1)
    m.response_queue.put({"first": 1})
    putter = threading.Thread(target=m.add_response_to_queue, args=({"second": 2},), daemon=True)
    putter.start()
    putter.join(timeout=0.1)
    assert putter.is_alive()
    assert m.pop_response() == {"first": 1}
    putter.join(timeout=5)
    assert not putter.is_alive()
    assert m.pop_response() == {"second": 2}


# ---- matching passes remember each record's code while the record is unchanged ---------------

@pytest.mark.parametrize("change", ["code set in place", "record replaced", "book replaced", "order inserted"])
def test_pass_sees_books_changed_between_passes(m, change):
    for i in range(6):
        stock(m, code=f"C{i % 3}", qty=1)
    m.match_deal("C9", 99, 1, 1)  # a pass over every record: nothing fills
    book = m.pending_orders
    target = book[4]
    if change == "code set in place":
        target["code"] = "C9"
    elif change == "record replaced":
        book[4] = dict(target, code="C9")
    elif change == "book replaced":
        m.pending_orders = [dict(r, code="C9") if r is target else r for r in book]
    else:
        book.insert(0, dict(target, code="C9", trade_id="NEW"))
    m.match_deal("C9", 99, 1, 2)
    deals = [r for r in drain(m) if "exchange_seqno" in r]
    assert len(deals) == 1 and deals[0]["code"] == "C9"
    assert all(r["code"] != "C9" for r in m.pending_orders)
    m.match_deal("C1", 99, 5, 3)
    assert sorted(r["code"] for r in m.pending_orders) == ["C0", "C0", "C2", "C2"]


@pytest.mark.parametrize("key, value, reports, left", [
    ("price", 102.0, ["deal"], 0),
    ("action", Action.SELL, ["deal"], 0),
    ("order_type", OrderType.IOC, ["cancel"], 0),
    ("quantity", 0, [], 0),
    ("price_type", PriceType.MKT, ["deal"], 0),
    ("code", "C2", [], 1),
])
def test_pass_sees_fields_changed_in_place_after_a_visit(m, key, value, reports, left):
    stock(m, code="C1", qty=1)
    m.match_deal("C1", 101, 1, 1)  # visited, nothing fills
    m.match_deal("C1", 101, 1, 2)
    m.pending_orders[0][key] = value
    m.match_deal("C1", 101, 1, 3)
    kinds = ["deal" if "exchange_seqno" in r else "cancel" for r in drain(m)]
    assert kinds == reports
    assert len(m.pending_orders) == left


@pytest.mark.parametrize("trade_id", ["abc", "委託-1", "x\ud800y", "{}"])
def test_console_lines_hold_the_values_as_python_formats_them(m, console, trade_id):
    m.cancel_order(trade_id)
    m.modify_order(trade_id, qty=2)
    assert console.lines == [f"[red]委託單 {trade_id} 不存在[/red]"] * 2


@pytest.mark.parametrize("replace", ["from_value", "enumeration"])
def test_enumeration_replaced_after_use_is_used_then_dropped(m, monkeypatch, replace):
    stock(m, order_type="IOC")  # the native shortcuts have served this enumeration
    seen = []
    if replace == "from_value":
        original = OrderType.from_value.__func__
        monkeypatch.setattr(OrderType, "from_value", classmethod(lambda cls, v: (seen.append(v), original(cls, v))[1]))
    else:
        class Spy:
            ROD, IOC, FOK = OrderType.ROD, OrderType.IOC, OrderType.FOK

            @staticmethod
            def from_value(v):
                seen.append(v)
                return OrderType.from_value(v)

        monkeypatch.setattr(matcher_module, "OrderType", Spy)
    stock(m, order_type="FOK")
    assert seen[:2] == ["FOK", OrderType.FOK]
    monkeypatch.undo()
    del seen[:]
    stock(m, order_type="ROD")
    assert seen == []


@pytest.mark.parametrize("volumes", [(1, 1, 2, 1, 3, 1, 0, 5), (9, 9, 9, 9, 9, 9, 9, 9)])
def test_passes_over_remembered_records_match_passes_the_long_way(console, logger, monkeypatch, volumes):
    def run(long_way):
        ids = iter(f"ID{i:014d}" for i in range(100))
        monkeypatch.setattr(matcher_module, "generate", lambda size: next(ids))
        m = matcher_module.Matcher(FakePositions())
        for i, (action, limit) in enumerate([("Buy", 100.0), ("Sell", 101.0), ("Buy", 99.0), ("Sell", 100.0),
                                             ("Buy", 100.5), ("Sell", 102.0), ("Buy", 98.0), ("Sell", 99.5)]):
            m.add_order("C1" if i % 3 else "C2", "Stock", action, limit, 1 + i % 3, "LMT", "ROD")
        m.add_order("C1", "Stock", "Buy", 1.0, 2, "MKT", "ROD")
        m.pending_orders[2]["quantity"] = 0

        def touch():  # a change that leaves the records as they were: nothing remembered holds
            if long_way:
                for r in m.pending_orders:
                    r["_"] = 0
                    del r["_"]

        for k, close in enumerate([101.5, 99.5, 100.0, 98.0, 103.0, 100.5, 97.0, 101.0]):
            touch()
            m.match_deal("C1" if k % 4 else "C2", close, volumes[k], float(k))
            touch()
            m.match_deal("C1", close, volumes[k], float(k))
        return drain(m), [dict(r) for r in m.pending_orders], m.positions.calls

    assert run(long_way=False) == run(long_way=True)


@pytest.mark.parametrize("action, away", [("Buy", 100.5), ("Sell", 99.5)])
def test_remembered_resting_order_fills_at_exactly_its_limit(m, action, away):
    stock(m, code="C3", action=action, price=100.0, qty=2)
    for ts in (1, 2):  # the second pass finds the order remembered and out of reach
        m.match_deal("C3", away, 5, ts)
    assert drain(m) == []
    m.match_deal("C3", 100.0, 1, 3)
    assert [r["quantity"] for r in drain(m)] == [1]
    assert m.pending_orders[0]["quantity"] == 1


@pytest.mark.parametrize("extra", [{}, {1: 2}, {"foo": 1}])
def test_receiver_calls_add_order_with_the_payload_as_python_would(m, console, extra):
    payload = {"code": "2330", "product_type": "Stock", "action": "Buy", "price": 100.0, "qty": 1,
               "price_type": "LMT", "order_type": "ROD", **extra}
    before = dict(payload)

    def python_add_order(code, product_type, action, price, qty, price_type, order_type,
                         order_cond="Cash", order_lot="Common", oc_type="Auto"):
        pass

    try:
        python_add_order(**payload)
        expected = "[green]"
    except TypeError as e:
        expected = f"[red]接收委託單失敗: {str(e).replace(python_add_order.__qualname__, 'Matcher.add_order')}[/red]"
    m.add_pending_order_queue("add", payload)
    wait_until(lambda: console.lines)
    assert console.lines[0].startswith(expected)
    assert payload == before


@pytest.mark.parametrize("where", ["instance", "class", "subclass"])
@pytest.mark.parametrize("method", ["add_response_to_queue", "build_order_response", "_Matcher__get_random_uuid"])
def test_own_methods_called_from_native_code_give_way_when_replaced(console, logger, monkeypatch, where, method):
    seen = []
    original = getattr(matcher_module.Matcher, method)

    def spy(self, *args):
        seen.append(method)
        return original(self, *args)

    cls = matcher_module.Matcher
    if where == "class":
        monkeypatch.setattr(cls, method, spy)
    elif where == "subclass":
        cls = type("Sub", (cls,), {method: spy})
    m = cls(FakePositions())
    if where == "instance":
        setattr(m, method, lambda *args: spy(m, *args))
    m.add_order("2330", "Stock", "Buy", 100.0, 1, "LMT", "ROD")
    assert seen == [method]
    assert next_report(m)["order"]["id"] == m.pending_orders[0]["trade_id"]


def frame_names(text):
    return [line.split(" in ")[-1] for line in text.splitlines() if line.startswith("  File ")]


def test_failure_inside_an_own_method_called_natively_has_its_frame(console, logger):
    import traceback

    texts = []
    for cls in (matcher_module.Matcher, type("Sub", (matcher_module.Matcher,), {
            "build_order_response": lambda self, *a: matcher_module.Matcher.build_order_response(self, *a)})):
        m = cls(FakePositions())
        tid = stock(m)
        m.pending_orders[0]["order_cond"] = "Nope"
        try:
            m.modify_order(tid, price=101.0)
        except ValueError:
            texts.append(traceback.format_exc())
    native, through_python = (frame_names(t) for t in texts)
    assert native[-3:] == ["Matcher.build_order_response", "Matcher.get_simulation_stock_order_response",
                           "from_value"]
    assert [n for n in through_python if n.startswith("Matcher.")] == [
        n for n in native if n.startswith("Matcher.")]
