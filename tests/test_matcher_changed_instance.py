"""An instance attribute replaced while an order is filled (by the positions book the fill calls)
is the one the rest of the fill uses, whichever way the matcher reads its attributes."""

import queue

import pytest

from matcher_support import FakePositions, console  # noqa: F401
from orva_mero_backtest.modules.matcher import matcher as matcher_module


class Replacing(FakePositions):
    """Replaces one attribute of its matcher at the first trade record."""

    def __init__(self, name, value):
        super().__init__()
        self.name, self.value, self.matcher = name, value, None

    def add_trade_record(self, **kwargs):
        super().add_trade_record(**kwargs)
        if self.matcher is not None:
            setattr(self.matcher, self.name, self.value)
            self.matcher = None


@pytest.mark.parametrize(
    "name, value, where, account, broker",
    [
        ("response_queue", "queue", "new", "A1", "X"),
        ("account_info", {"account_id": "A2"}, "old", "A2", "X"),
        ("exchange_info", {"name": "Y"}, "old", "A1", "Y"),
    ],
)
def test_a_fill_uses_what_the_positions_book_put_on_the_matcher(console, name, value, where, account, broker):
    new_queue = queue.Queue()
    positions = Replacing(name, new_queue if value == "queue" else value)
    m = matcher_module.Matcher(positions)
    try:
        m.account_info = {"account_id": "A1"}
        m.exchange_info = {"name": "X"}
        old_queue = m.response_queue
        m.add_order("2330", "Stock", "Buy", 0.0, 2, "MKT", "ROD")
        positions.matcher = m
        m.match_deal("2330", 100.0, 5, 7.0)
        assert old_queue.get_nowait()["operation_type"] == "New"
        deal = (new_queue if where == "new" else old_queue).get_nowait()
        assert (deal["account"], deal["broker_id"], deal["quantity"], deal["price"]) == (account, broker, 2, 100.0)
        assert old_queue.empty() and new_queue.empty()
        assert [c[0] for c in positions.calls] == ["add_trade_record", "set_positions"]
    finally:
        m.close()
