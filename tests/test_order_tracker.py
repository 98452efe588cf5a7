"""The driver's order mirror: one suite run against the native place / track and the plain-Python model
in tests/reference, with the records a strategy sees."""

import copy
import sys
from collections import UserDict

import pytest

from orva_mero_backtest.constant import OperationType
from orva_mero_backtest.orders import OrderTracker
from reference import order_tracker as reference


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



# An order record's fields after its reports: price, open_qty, filled_qty, avg_fill_price,
# cancelled_qty, status, updated_ts, _fill_value (compared by repr: 3 and 3.0 differ).
FIELDS = ("price", "open_qty", "filled_qty", "avg_fill_price", "cancelled_qty", "status", "updated_ts", "_fill_value")
UNCHANGED = (10.0, 5, 0, None, 0, "Open", 1.0, 0.0)

# case -> (the answers of track, the fields of order "A", whether "A" is still open)
EXPECTED = {
    "partial deal": ([True], (10.0, 3, 2, 10.5, 0, "PartFilled", 2.0, 21.0), True),
    "deals that fill it": ([True, True], (10.0, 0, 5, 10.8, 0, "Filled", 2.0, 54.0), False),
    "deal over the open quantity": ([True], (10.0, 0, 4, 10.5, 0, "Filled", 2.0, 42.0), False),
    "deal of zero": ([True], (10.0, 5, 0, None, 0, "Open", 2.0, 0.0), True),
    "deal with int price": ([True], (10.0, 3, 2, 10.0, 0, "PartFilled", 2.0, 20.0), True),
    "deal of an unknown order": ([True], UNCHANGED, True),
    "new": ([False], (10.0, 5, 0, None, 0, "Open", 3.0, 0.0), True),
    "quantity taken off": ([False], (10.0, 3, 0, None, 2, "Open", 3.0, 0.0), True),
    "price moved": ([False], (9.5, 5, 0, None, 0, "Open", 3.0, 0.0), True),
    "cancelled": ([False], (10.0, 0, 0, None, 5, "Cancelled", 3.0, 0.0), False),
    "cancelled after a fill": ([True, False], (10.0, 0, 2, 10.5, 3, "Cancelled", 3.0, 21.0), False),
    "plain str kind": ([False], (10.0, 1, 0, None, 4, "Open", 3.0, 0.0), True),
    "report of an unknown order": ([False], UNCHANGED, True),
    "missing key": ([(KeyError, "'quantity'")], UNCHANGED, True),
    "not a report": ([(TypeError, "'NoneType' object is not subscriptable")], UNCHANGED, True),
    "mapping report": ([True], (10.0, 3, 2, 10.5, 0, "PartFilled", 2.0, 21.0), True),
    "deal of a float quantity": ([True], (10.0, 3.0, 2.0, 10.5, 0, "PartFilled", 2.0, 21.0), True),
    "deal into float counts": ([True], (10.0, 3, 3.0, 31.0 / 3.0, 0, "PartFilled", 2.0, 31.0), True),
    "deal of a cancelled rest": ([True], (10.0, 0, 2, 10.5, 3, "Cancelled", 2.0, 21.0), False),
    "new, then deals that fill it": ([False, True], (10.0, 0, 5, 10.5, 0, "Filled", 2.0, 52.5), False),
    "quantity taken off to a float": ([False], (10.0, 2.0, 0, None, 3.0, "Open", 3.0, 0.0), True),
    "quantity taken off after a fill": ([True, False], (10.0, 2, 1, 10.5, 2, "PartFilled", 3.0, 10.5), True),
    "cancel of a filled order": ([False], (10.0, 0, 5, None, 0, "Filled", 3.0, 0.0), False),
    "order report without a time": ([(KeyError, "'exchange_ts'")], UNCHANGED, True),
}


@pytest.fixture(params=["native", "reference"])
def Tracker(request):
    return OrderTracker if request.param == "native" else reference.OrderTracker


def apply(Tracker, orders, reports):
    tracker = Tracker(Book())
    for o in copy.deepcopy(orders):
        tracker.orders[o["trade_id"]] = tracker._open[o["trade_id"]] = o
    answers = []
    for report in copy.deepcopy(reports):
        try:
            answers.append(tracker.track(report))
        except Exception as exc:
            answers.append((type(exc), str(exc)))
    return answers, tracker


@pytest.mark.parametrize("case", list(CASES))
def test_reports_applied_to_an_order(Tracker, case):
    orders, reports = CASES[case]
    answers, tracker = apply(Tracker, orders, reports)
    expected_answers, fields, still_open = EXPECTED[case]
    record = tracker.orders["A"]
    assert answers == expected_answers
    assert repr(tuple(record[f] for f in FIELDS)) == repr(fields)
    assert list(tracker._open) == (["A"] if still_open else [])
    assert list(record) == list(orders[0])  # no field added or lost


def test_tracking_on_a_replaced_orders_mapping(Tracker):
    class Orders(UserDict):
        pass

    tracker = Tracker(Book())
    tracker.orders = Orders({"A": order()})
    tracker._open = {"A": tracker.orders["A"]}
    assert tracker.track(deal(quantity=5)) is True
    assert tracker.orders["A"]["status"] == "Filled" and tracker.orders["A"]["avg_fill_price"] == 10.5
    assert tracker._open == {}


class Exchange:
    """add_order as the exchange does it (a record with a trade id appended to the book), or not."""

    def __init__(self, takes=True, raises=None, book=list):
        self.pending_orders = book()
        self.takes, self.raises, self.calls = takes, raises, []

    def add_order(self, *args):
        self.calls.append(args)
        if self.raises is not None:
            raise self.raises
        if self.takes:
            self.pending_orders.append({"trade_id": f"T{len(self.calls)}", "code": args[0]})


ORDER = ("2330", "Stock", "Buy", 0.0, 2, "MKT", "ROD", "Cash", "Common", "Auto")


def record(trade_id, action, price, qty, price_type, now):
    return {
        "trade_id": trade_id, "code": "2330", "product_type": "Stock", "action": action, "price_type": price_type,
        "order_type": "ROD", "price": price, "quantity": qty, "open_qty": qty, "filled_qty": 0,
        "avg_fill_price": None, "cancelled_qty": 0, "status": "Open", "placed_ts": now, "updated_ts": now,
        "_fill_value": 0.0,
    }


@pytest.mark.parametrize("now", [1704186000.5, None])
def test_placing_starts_a_record_per_order(Tracker, now):
    ex = Exchange()
    tracker = Tracker(ex)
    first = tracker.place(*ORDER, now)
    second = tracker.place(*ORDER[:2], "Sell", 590.0, 1, "LMT", *ORDER[6:], now=now)
    assert (first, second) == ("T1", "T2") and ex.calls == [ORDER, ORDER[:2] + ("Sell", 590.0, 1, "LMT") + ORDER[6:]]
    expected = {"T1": record("T1", "Buy", 0.0, 2, "MKT", now), "T2": record("T2", "Sell", 590.0, 1, "LMT", now)}
    assert [list(o.items()) for o in tracker.orders.values()] == [list(o.items()) for o in expected.values()]
    assert list(tracker._open) == ["T1", "T2"] and tracker._open["T1"] is tracker.orders["T1"]
    for r in tracker.orders.values():  # a record behaves as any dict when changed later
        r["note"] = 1
        del r["code"]
    assert list(tracker.orders["T2"])[-1] == "note" and "code" not in tracker.orders["T1"]


@pytest.mark.parametrize("exchange, error", [
    (dict(takes=False), ("BacktestError", "the exchange did not take the order of 2 2330 (Buy MKT)")),
    (dict(raises=ValueError("委託數量 -1 不能小於 0")), ("ValueError", "委託數量 -1 不能小於 0")),
])
def test_an_order_the_exchange_does_not_take_starts_no_record(Tracker, exchange, error):
    ex = Exchange(**exchange)
    tracker = Tracker(ex)
    with pytest.raises(Exception) as caught:
        tracker.place(*ORDER, 1.0)
    assert (type(caught.value).__name__, str(caught.value)) == error
    assert tracker.orders == {} and tracker._open == {} and ex.calls == [ORDER]


class CountingBook(list):
    """A book that is not a list to the tracker: read through its own protocol."""

    reads = 0

    def __getitem__(self, index):
        CountingBook.reads += 1
        return super().__getitem__(index)


def test_a_book_that_is_not_a_plain_list_is_read_through_its_protocol(Tracker):
    CountingBook.reads = 0
    tracker = Tracker(Exchange(book=CountingBook))
    assert tracker.place(*ORDER, 1.0) == "T1" and CountingBook.reads == 1


def test_only_the_exchanges_own_matcher_is_taken_as_plain():
    from orva_mero_backtest.modules.matcher.matcher import Matcher
    from orva_mero_backtest.modules.positions.positions import Positions

    matcher = Matcher(Positions())
    try:
        assert OrderTracker(matcher)._plan == 3
        assert OrderTracker(Exchange())._plan == 2 and PropertyTracker(Exchange())._plan == 0
    finally:
        matcher.close()


@pytest.mark.parametrize("method, args, kwargs, message", [
    ("place", ORDER, {}, "OrderTracker.place() missing 1 required positional argument: 'now'"),
    ("place", ORDER + (1.0, 2.0), {}, "OrderTracker.place() takes 12 positional arguments but 13 were given"),
    ("track", (), {}, "OrderTracker.track() missing 1 required positional argument: 'report'"),
    ("track", (deal(),), {"report": deal()}, "OrderTracker.track() got multiple values for argument 'report'"),
    ("track", (), {"reports": []}, "OrderTracker.track() got an unexpected keyword argument 'reports'"
     + (". Did you mean 'report'?" if sys.version_info >= (3, 13) else "")),
    ("place", (), {"cod": "2330"}, "OrderTracker.place() got an unexpected keyword argument 'cod'"
     + (". Did you mean 'code'?" if sys.version_info >= (3, 13) else "")),
    ("place", (), {"Price_Type": "2330"}, "OrderTracker.place() got an unexpected keyword argument 'Price_Type'"
     + (". Did you mean 'price_type'?" if sys.version_info >= (3, 13) else "")),
])
def test_bad_calls_raise_pythons_type_errors(Tracker, method, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        getattr(Tracker(Exchange()), method)(*args, **kwargs)
    assert str(caught.value) == message


def test_a_none_record_counts_as_no_order(Tracker):
    tracker = Tracker(Book())
    tracker.orders["A"] = None
    assert (tracker.track(deal()), tracker.track(order_report(OperationType.CANCEL)), tracker.orders) == (
        True, False, {"A": None})


class PropertyTracker(OrderTracker):
    """Its orders come through a property: read by attribute access, not from the instance dict."""

    @property
    def orders(self):
        return self.__dict__["_orders"]

    @orders.setter
    def orders(self, value):
        self.__dict__["_orders"] = value


@pytest.mark.parametrize("make", ["tracker", "property"])
def test_tracking_follows_attributes_replaced_between_reports(Tracker, make):
    if make == "property":
        Tracker = type("PropertyTracker", (Tracker,), {"orders": PropertyTracker.orders})
    ex = Exchange()
    tracker = Tracker(ex)
    first = tracker.place(*ORDER, 1.0)
    tracker.track(order_report(OperationType.NEW, trade_id=first))
    tracker._open = dict(tracker._open)  # replaced between reports
    tracker.track(deal(trade_id=first, quantity=1))
    tracker.orders = dict(tracker.orders)
    tracker.track(deal(trade_id=first, quantity=1))
    second = tracker.place(*ORDER, 2.0)
    tracker.track(order_report(OperationType.CANCEL, trade_id=second))
    assert [(o["trade_id"], o["status"], o["filled_qty"], o["open_qty"], o["cancelled_qty"]) for o in tracker.rows()] == [
        ("T1", "Filled", 2, 0, 0), ("T2", "Cancelled", 0, 0, 2)]
    assert tracker._open == {} and tracker.open_orders() == []
    assert all("_fill_value" not in row for row in tracker.rows())


def test_records_changed_by_a_user_leave_later_records_alone(Tracker):
    """Records share one key table: a key added to or taken from one must not reach the others."""
    tracker = Tracker(Exchange())
    ids = [tracker.place(*ORDER, float(i)) for i in range(3)]
    tracker.orders[ids[0]]["note"] = "mine"
    del tracker.orders[ids[1]]["code"]
    ids += [tracker.place(*ORDER, float(i)) for i in range(3, 5)]
    for trade_id in ids:
        tracker.track(order_report(OperationType.NEW, trade_id=trade_id))
        tracker.track(deal(trade_id=trade_id, quantity=1))
    tracker.track(order_report(OperationType.CANCEL, trade_id=ids[2]))
    records = list(tracker.orders.values())
    assert [(r["status"], r["open_qty"], r["filled_qty"], r["avg_fill_price"]) for r in records] == [
        ("PartFilled", 1, 1, 10.5)] * 2 + [("Cancelled", 0, 1, 10.5)] + [("PartFilled", 1, 1, 10.5)] * 2
    assert records[0]["note"] == "mine" and "code" not in records[1]
    assert "note" not in records[3] and records[4]["code"] == "2330"
    assert [o["trade_id"] for o in tracker.open_orders()] == ["T1", "T2", "T4", "T5"]


def test_an_exchange_replacing_the_trackers_attributes_while_it_takes_an_order(Tracker):
    """What place read of the tracker before add_order ran is read again after it."""
    class Meddling(Exchange):
        def add_order(self, *args):
            super().add_order(*args)
            tracker._open = {}
            tracker.orders = {"old": None}

    tracker = Tracker(Meddling())
    assert tracker.place(*ORDER, 1.0) == "T1"
    assert list(tracker.orders) == ["old", "T1"] and list(tracker._open) == ["T1"]


def test_a_finished_run_is_handed_its_records_without_the_private_field(Tracker):
    tracker = Tracker(Exchange())
    first = tracker.place(*ORDER, 1.0)
    tracker.track(deal(trade_id=first, quantity=1))
    second = tracker.place(*ORDER, 2.0)
    expected = tracker.rows()
    handed = tracker.hand_over()
    assert handed == expected and [r["trade_id"] for r in handed] == [first, second]
    assert all(a is b for a, b in zip(handed, tracker.orders.values()))  # no second copy of every order
    assert tracker.hand_over() == expected  # a second call finds the field already gone
