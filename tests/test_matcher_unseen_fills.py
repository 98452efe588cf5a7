"""Fills into the package's own positions book, which reads a deal's fields rather than the deal: the
exchange then makes no deal copy when nobody could tell it from one. Whatever copy.deepcopy would do
(a replaced deepcopy, a member copied its own way) is still done, and a deal handed to Python code
is the copy the plain path makes."""

import copy
import types

import pytest

from matcher_support import FakePositions, console, filled_twice  # noqa: F401
from orva_mero_backtest.constant import Action, OrderCond
from orva_mero_backtest.modules.matcher import matcher as matcher_module
from orva_mero_backtest.modules.positions.positions import Positions
from test_matcher_quick_paths import same_shape, without_ids


def drain(m):
    out = []
    while not m.response_queue.empty():
        out.append(m.response_queue.get_nowait())
    return out


def script(m):
    """Stock and future orders of each type, filled whole, in part and not at all."""
    m.set_current_tick({"code": "2330", "timestamp": 5.0, "close": 100.0})
    m.add_order("2330", "Stock", "Buy", 0.0, 3, "MKT", "ROD")
    m.match_deal("2330", 100.0, 2, 6.0)  # two of three; the rest waits
    m.match_deal("2330", 101.0, 5, 7.0)
    m.add_order("2330", "Stock", "Sell", 0.0, 4, "MKT", "IOC", "Cash", "IntradayOdd")
    m.match_deal("2330", 102.0, 1, 8.0)  # one filled, three cancelled
    m.add_order("2330", "Stock", "Buy", 103.0, 2, "LMT", "FOK")
    m.match_deal("2330", 102.5, 9, 9.0)
    m.add_order("TXFA4", "Future", "Sell", 0.0, 2, "MKT", "ROD", oc_type="New")
    m.match_deal("TXFA4", 17000.0, 9, 10.0)
    book = m.positions
    return {"reports": drain(m), "book": [dict(r) for r in m.pending_orders], "fills": list(book.fills),
            "records": list(book.trade_records), "net": dict(book.net_positions)}


def test_fills_without_a_copy_match_the_plain_path(console):  # noqa: F811
    quick = matcher_module.Matcher(Positions())
    plain = matcher_module.Matcher(Positions())
    plain.held_on_plain_paths = True  # vars(m) no longer holds just the documented attributes
    try:
        got, want = script(quick), script(plain)
    finally:
        quick.close()
        plain.close()
    assert [f["quantity"] for f in got["fills"]] == [2, 1, 1, 2, 2]
    assert got["net"] == {"2330": 3000 - 1 + 2000, "TXFA4": -2}
    same_shape(without_ids(got, {}), without_ids(want, {}))


def counting_deepcopy(monkeypatch, calls):
    real = copy.deepcopy

    def deepcopy(x, *rest):
        calls.append(type(x))
        return real(x, *rest)

    return deepcopy


def member_copied_as_its_value(member, memo=None):
    return member.value


COPIES = {
    "copy.deepcopy replaced": lambda mp, calls: mp.setattr(copy, "deepcopy", counting_deepcopy(mp, calls)),
    "the module's copy replaced": lambda mp, calls: mp.setattr(
        matcher_module, "copy", types.SimpleNamespace(deepcopy=counting_deepcopy(mp, calls))),
    "a member's own __deepcopy__": lambda mp, calls: mp.setattr(
        OrderCond.CASH, "__deepcopy__", lambda memo: calls.append(OrderCond) or OrderCond.CASH,
        raising=False),
    "__deepcopy__ on the class": lambda mp, calls: mp.setattr(
        Action, "__deepcopy__", lambda self, memo: calls.append(Action) or self.value, raising=False),
    "copy's dispatch entry": lambda mp, calls: mp.setitem(
        copy._deepcopy_dispatch, Action, lambda member, memo: calls.append(Action) or member.value),
}


@pytest.mark.parametrize("change", list(COPIES), ids=list(COPIES))
def test_what_deepcopy_would_do_is_done_after_fills_without_a_copy(console, monkeypatch, change):  # noqa: F811
    """Fills before the change make no copy (and may remember that); after it, deepcopy runs as
    written and the deal report holds what it gave."""
    book = Positions()
    m = matcher_module.Matcher(book)
    calls = []
    try:
        filled_twice(m)
        with monkeypatch.context() as mp:
            COPIES[change](mp, calls)
            want_action = copy.deepcopy(Action.BUY)
            del calls[:]
            m.add_order("2330", "Stock", "Buy", 0.0, 1, "MKT", "ROD")
            m.match_deal("2330", 100.0, 5, 8.0)
        deals = [r for r in drain(m) if "exchange_seqno" in r]
    finally:
        m.close()
    assert calls, "deepcopy was not reached"
    assert [type(d["action"]) for d in deals] == [Action, Action, type(want_action)]
    assert [f["quantity"] for f in book.fills] == [1, 1, 1]


class HookedList(list):
    """A trade-record list whose append runs Python code: after it, the fill re-reads the matcher."""

    def __init__(self, on_append):
        super().__init__()
        self.on_append = on_append

    def append(self, item):
        self.on_append()
        super().append(item)


def test_a_deal_handed_to_python_code_is_the_copy_of_the_record(console):  # noqa: F811
    """add_trade_record's Python code replaces the report method: the replacement gets a deal dict,
    made without a copy, holding the record's keys in order with the fill's three new values."""
    book = Positions()
    m = matcher_module.Matcher(book)
    seen = []

    def spy(deal):
        seen.append((dict(deal), list(deal)))
        return matcher_module.Matcher.build_deal_response(m, deal)

    book.trade_records = HookedList(lambda: setattr(m, "build_deal_response", spy))
    try:
        m.set_current_tick({"code": "2330", "timestamp": 5.0, "close": 100.0})
        m.add_order("2330", "Stock", "Buy", 0.0, 3, "MKT", "ROD")
        record = dict(m.pending_orders[0])
        m.match_deal("2330", 101.0, 2, 6.0)
        reports = drain(m)
    finally:
        m.close()
    want = dict(record, quantity=2, price=101.0, exchange_ts=6.0)
    assert seen == [(want, list(record))]
    assert type(seen[0][0]["action"]) is Action
    assert reports[-1]["quantity"] == 2 and reports[-1]["price"] == 101.0
    assert [(f["quantity"], f["price"]) for f in book.fills] == [(2, 101.0)]
    assert m.pending_orders[0]["quantity"] == 1


class WaitersSwapping(list):
    """A condition's waiters whose length, asked when the report is queued, runs Python code."""

    def __init__(self, swap):
        super().__init__()
        self.swap = swap

    def __len__(self):
        self.swap()
        return 0


@pytest.mark.parametrize("swap_at", ["trade record", "report queued"])
def test_a_book_replaced_while_a_fill_runs_gets_the_rest_of_it(console, swap_at):  # noqa: F811
    """Python code run by the fill (the book's trade-record list, the report queue's waiters) replaces
    the matcher's book: the fill's later calls go to the new one, the deal as the plain path has it."""
    book, other = Positions(), FakePositions()
    m = matcher_module.Matcher(book)
    swapped = []

    def swap():
        if not swapped:
            swapped.append(True)
            m.positions = other

    try:
        m.set_current_tick({"code": "2330", "timestamp": 5.0, "close": 100.0})
        m.add_order("2330", "Stock", "Buy", 0.0, 3, "MKT", "ROD")
        record = dict(m.pending_orders[0])
        if swap_at == "trade record":
            book.trade_records = HookedList(swap)
        else:
            m.response_queue.not_empty._waiters = WaitersSwapping(swap)
        m.match_deal("2330", 101.0, 3, 6.0)
    finally:
        m.close()
    assert swapped
    assert [r["quantity"] for r in book.trade_records] == [3]
    assert book.fills == []
    [(name, deal, product)] = other.calls
    assert (name, product) == ("set_positions", "Stock")
    assert deal == dict(record, quantity=3, price=101.0, exchange_ts=6.0)
    assert list(deal) == list(record)
