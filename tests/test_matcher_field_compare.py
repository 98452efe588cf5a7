"""A record's order and price types are compared with the pass's members as == compares them: a plain
str of a member's text is that member, a str class with its own __eq__ answers for itself."""

import pytest

from matcher_support import FakePositions, console  # noqa: F401
from orva_mero_backtest.modules.matcher import matcher as matcher_module


class SaysYes(str):
    """Equal to anything, as its own __eq__ says."""

    def __eq__(self, other):
        return True

    __hash__ = str.__hash__


def rest_after_partial_fill(field, value, close):
    m = matcher_module.Matcher(FakePositions())
    try:
        m.set_current_tick({"code": "2330", "timestamp": 5.0, "close": 100.0})
        m.add_order("2330", "Stock", "Buy", 100.0, 3, "LMT", "IOC")
        m.pending_orders[0][field] = value
        m.match_deal("2330", close, 1, 6.0)
        deals = [c[1]["quantity"] for c in m.positions.calls if c[0] == "set_positions"]
        return deals, [r["quantity"] for r in m.pending_orders]
    finally:
        m.close()


@pytest.mark.parametrize(
    "field, value, close, expected",
    [
        ("order_type", "IOC", 99.5, ([1], [])),  # the member's text: an IOC, its rest cancelled
        ("order_type", "ROD", 99.5, ([1], [2])),  # a ROD: its rest waits
        ("order_type", SaysYes("IOC"), 99.5, ([1], [2])),  # equal to ROD, the first type compared
        ("price_type", "LMT", 100.5, ([], [])),  # a limit the close does not reach: cancelled whole
        ("price_type", "MKT", 100.5, ([1], [])),  # any price
    ],
)
def test_record_fields_compare_as_equality_does(console, field, value, close, expected):  # noqa: F811
    assert rest_after_partial_fill(field, value, close) == expected
