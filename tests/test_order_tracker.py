"""The driver's order mirror: the native report tracking against its Python text."""

import copy
from collections import UserDict

import pytest

from orva_mero_backtest.constant import OperationType
from orva_mero_backtest.orders import OrderTracker


class Book:
    pending_orders = []

    def add_order(self, *args):
        raise AssertionError("not used here")


def order(trade_id="A", quantity=5, open_qty=5, filled=0, cancelled=0, value=0.0):
    return {
        "trade_id": trade_id, "code": "2330", "price": 10.0, "quantity": quantity, "open_qty": open_qty,
        "filled_qty": filled, "avg_fill_price": None, "cancelled_qty": cancelled, "status": "Open",
        "placed_ts": 1.0, "updated_ts": 1.0, "_fill_value": value,
    }


def deal(trade_id="A", quantity=2, price=10.5, ts=2.0):
    return {"id": trade_id, "exchange_seqno": trade_id, "quantity": quantity, "price": price, "exchange_ts": ts}


def order_report(kind, trade_id="A", quantity=3, price=9.5, ts=3.0):
    return {
        "operation_type": kind,
        "order": {"id": trade_id, "quantity": quantity, "price": price},
        "trade_status": {"id": trade_id, "exchange_ts": ts},
    }


CASES = {
    "partial deal": ([order()], [deal()]),
    "deals that fill it": ([order()], [deal(quantity=2), deal(quantity=3, price=11)]),
    "deal over the open quantity": ([order(open_qty=1)], [deal(quantity=4)]),
    "deal of zero": ([order()], [deal(quantity=0)]),
    "deal with int price": ([order()], [deal(price=10)]),
    "deal of an unknown order": ([order()], [deal(trade_id="Z")]),
    "new": ([order()], [order_report(OperationType.NEW)]),
    "quantity taken off": ([order()], [order_report(OperationType.UPDATE_QTY)]),
    "price moved": ([order()], [order_report(OperationType.UPDATE_PRICE)]),
    "cancelled": ([order()], [order_report(OperationType.CANCEL)]),
    "cancelled after a fill": ([order()], [deal(quantity=2), order_report(OperationType.CANCEL)]),
    "plain str kind": ([order()], [order_report("UpdateQty", quantity=1)]),
    "report of an unknown order": ([order()], [order_report(OperationType.CANCEL, trade_id="Z")]),
    "missing key": ([order()], [{"id": "A", "exchange_seqno": "A"}]),
    "not a report": ([order()], [{"order": None}]),
    "mapping report": ([order()], [UserDict(deal())]),
    "deal of a float quantity": ([order()], [deal(quantity=2.0)]),
    "deal into float counts": ([order(filled=1.0, value=10.0)], [deal()]),
    "deal of a cancelled rest": ([order(open_qty=2, cancelled=3)], [deal(quantity=2)]),
    "new, then deals that fill it": ([order()], [order_report(OperationType.NEW), deal(quantity=5)]),
    "quantity taken off to a float": ([order()], [order_report(OperationType.UPDATE_QTY, quantity=2.0)]),
    "quantity taken off after a fill": ([order()], [deal(quantity=1), order_report(OperationType.UPDATE_QTY, quantity=2)]),
    "cancel of a filled order": ([order(open_qty=0, filled=5)], [order_report(OperationType.CANCEL)]),
    "order report without a time": ([order()], [{"operation_type": "New", "order": {"id": "A"}, "trade_status": {}}]),
}


def apply(track, orders, reports):
    tracker = OrderTracker(Book())
    for o in copy.deepcopy(orders):
        tracker.orders[o["trade_id"]] = tracker._open[o["trade_id"]] = o
    answers = []
    for report in copy.deepcopy(reports):
        try:
            answers.append(track(tracker, report))
        except Exception as exc:
            answers.append((type(exc), str(exc)))
    return answers, tracker.orders, list(tracker._open)


@pytest.mark.parametrize("orders, reports", CASES.values(), ids=CASES.keys())
def test_native_tracking_matches_the_python_text(orders, reports):
    assert apply(OrderTracker.track, orders, reports) == apply(OrderTracker._track, orders, reports)


def test_tracking_on_a_replaced_orders_mapping():
    class Orders(UserDict):
        pass

    def run(track):
        tracker = OrderTracker(Book())
        tracker.orders = Orders({"A": order()})
        tracker._open = {"A": tracker.orders["A"]}
        return track(tracker, deal(quantity=5)), dict(tracker.orders), tracker._open

    assert run(OrderTracker.track) == run(OrderTracker._track)
    assert run(OrderTracker.track)[2] == {}


class Exchange:
    """add_order as the exchange does it (a record with a trade id appended to the book), or not."""

    def __init__(self, takes=True, raises=None):
        self.pending_orders = []
        self.takes, self.raises, self.calls = takes, raises, []

    def add_order(self, *args):
        self.calls.append(args)
        if self.raises is not None:
            raise self.raises
        if self.takes:
            self.pending_orders.append({"trade_id": f"T{len(self.calls)}", "code": args[0]})


ORDER = ("2330", "Stock", "Buy", 0.0, 2, "MKT", "ROD", "Cash", "Common", "Auto")


@pytest.mark.parametrize("exchange, now", [
    (dict(), 1704186000.5),
    (dict(), None),
    (dict(takes=False), 1.0),
    (dict(raises=ValueError("委託數量 -1 不能小於 0")), 1.0),
])
def test_native_placing_matches_the_python_text(exchange, now):
    def place(method):
        ex = Exchange(**exchange)
        tracker = OrderTracker(ex)
        try:
            answer = method(tracker, *ORDER, now), method(tracker, *ORDER[:2], "Sell", 590.0, 1, "LMT", *ORDER[6:], now)
        except Exception as exc:
            answer = (type(exc).__name__, str(exc))
        return answer, tracker.orders, list(tracker._open), ex.calls

    native, python = place(OrderTracker.place), place(OrderTracker._place)
    assert native == python
    # The same keys in the same order, and a record behaves as any dict when changed later.
    assert [list(o.items()) for o in native[1].values()] == [list(o.items()) for o in python[1].values()]
    for records in (native[1], python[1]):
        for record in records.values():
            record["note"] = 1
            del record["code"]
    assert [list(o.items()) for o in native[1].values()] == [list(o.items()) for o in python[1].values()]
    if exchange == {}:
        assert native[0] == ("T1", "T2") and native[1]["T2"]["price"] == 590.0 and native[1]["T1"]["placed_ts"] == now


def test_a_none_record_counts_as_no_order():
    def run(track):
        tracker = OrderTracker(Book())
        tracker.orders["A"] = None
        return track(tracker, deal()), track(tracker, order_report(OperationType.CANCEL)), tracker.orders

    assert run(OrderTracker.track) == run(OrderTracker._track) == (True, False, {"A": None})


class PropertyTracker(OrderTracker):
    """Its orders come through a property: read by attribute access, not from the instance dict."""

    @property
    def orders(self):
        return self.__dict__["_orders"]

    @orders.setter
    def orders(self, value):
        self.__dict__["_orders"] = value


@pytest.mark.parametrize("make", [OrderTracker, PropertyTracker], ids=["tracker", "property"])
def test_tracking_follows_attributes_replaced_between_reports(make):
    """The native methods may keep what they read of a tracker only while it is unchanged."""
    def run(track, place):
        ex = Exchange()
        tracker = make(ex)
        first = place(tracker, *ORDER, 1.0)
        track(tracker, order_report(OperationType.NEW, trade_id=first))
        tracker._open = dict(tracker._open)  # replaced between reports
        track(tracker, deal(trade_id=first, quantity=1))
        tracker.orders = dict(tracker.orders)
        track(tracker, deal(trade_id=first, quantity=1))
        second = place(tracker, *ORDER, 2.0)
        track(tracker, order_report(OperationType.CANCEL, trade_id=second))
        return tracker.orders, tracker._open, tracker.rows(), tracker.open_orders()

    assert run(OrderTracker.track, OrderTracker.place) == run(OrderTracker._track, OrderTracker._place)


def test_records_changed_by_a_user_leave_later_records_alone():
    """Records share one key table: a key added to or taken from one must not reach the others, and
    the reports on every record still give the Python text's values."""
    def run(track, place):
        tracker = OrderTracker(Exchange())
        ids = [place(tracker, *ORDER, float(i)) for i in range(3)]
        tracker.orders[ids[0]]["note"] = "mine"
        del tracker.orders[ids[1]]["code"]
        ids += [place(tracker, *ORDER, float(i)) for i in range(3, 5)]
        for trade_id in ids:
            track(tracker, order_report(OperationType.NEW, trade_id=trade_id))
            track(tracker, deal(trade_id=trade_id, quantity=1))
        track(tracker, order_report(OperationType.CANCEL, trade_id=ids[2]))
        return [list(o.items()) for o in tracker.orders.values()], tracker.rows(), tracker.open_orders()

    native, python = run(OrderTracker.track, OrderTracker.place), run(OrderTracker._track, OrderTracker._place)
    assert native == python
    assert "note" not in dict(native[0][3]) and "code" in dict(native[0][4])
