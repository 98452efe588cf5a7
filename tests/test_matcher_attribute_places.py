"""The matcher reads its own attributes (its report queue, book, tick infos, positions book) the
quick way while its instance dict is as __init__ left it: whatever changed the instance between
calls, the next call reads what getattr gives."""

import queue

import pytest

from matcher_support import FakePositions, console, logger  # noqa: F401
from orva_mero_backtest.modules.matcher.matcher import Matcher


def new_queue(m):
    q = queue.Queue()
    m.response_queue = q
    return q


def readded_queue(m):
    del m.response_queue
    q = queue.Queue()
    m.response_queue = q
    return q


def replaced_dict(m):
    q = queue.Queue()
    m.__dict__ = dict(vars(m), response_queue=q)  # a dict of its own, not sharing the class's keys
    return q


def extra_attribute(m):
    m.note = "eighth attribute"
    return m.response_queue


def other_matcher_first(m):
    other = Matcher(FakePositions())
    try:
        other.add_order("2317", "Stock", "Sell", 50.0, 1, "LMT", "ROD")
        assert pop(other)["order"]["code"] == "2317"
    finally:
        other.close()
    return m.response_queue


def pop(m):
    """pop_response of a report known to wait (it would wait for good on an empty queue)."""
    assert not m.response_queue.empty()
    return m.pop_response()


class Annotated(Matcher):
    def __init__(self, positions):
        self.tag = "set before the matcher's own"  # another key order in the instance dict
        super().__init__(positions)


@pytest.mark.parametrize("cls", [Matcher, Annotated], ids=["matcher", "subclass"])
@pytest.mark.parametrize("change", [new_queue, readded_queue, replaced_dict, extra_attribute, other_matcher_first])
def test_reports_follow_the_instance_as_it_is_now(console, logger, cls, change):  # noqa: F811
    m = cls(FakePositions())
    try:
        m.add_order("2330", "Stock", "Buy", 100.0, 2, "LMT", "ROD")  # the quick path learns the instance
        assert pop(m)["operation_type"] == "New"
        old = m.response_queue
        target = change(m)
        m.add_order("2330", "Stock", "Buy", 0.0, 3, "MKT", "IOC")
        assert pop(m)["order"]["quantity"] == 3  # popped from the queue the instance holds
        m.match_deal("2330", 101.0, 10, 9.0)
        deal = pop(m)
        assert (deal["quantity"], deal["price"], deal["exchange_ts"]) == (3, 101.0, 9.0)
        assert target.empty() and (old is target or old.empty())
        assert [r["quantity"] for r in m.pending_orders] == [2]
    finally:
        m.close()


def test_a_replaced_book_and_positions_are_used(console, logger):  # noqa: F811
    m = Matcher(FakePositions())
    try:
        m.add_order("2330", "Stock", "Buy", 100.0, 2, "LMT", "ROD")
        pop(m)
        m.pending_orders = []
        m.positions = FakePositions()
        m.add_order("2330", "Stock", "Sell", 0.0, 1, "MKT", "ROD")
        pop(m)
        m.match_deal("2330", 99.0, 5, 3.0)
        assert pop(m)["action"] == "Sell"
        assert m.pending_orders == [] and [c[0] for c in m.positions.calls] == ["add_trade_record", "set_positions"]
    finally:
        m.close()
