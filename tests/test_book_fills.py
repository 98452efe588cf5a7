"""The exchange filling orders into the package's own positions book: the rows it books, and that a
book whose add_trade_record or set_positions is replaced (a subclass, the class, the instance, also
between two fills) gets its calls through the replacement."""

import pytest

from matcher_support import console  # noqa: F401
from orva_mero_backtest.costs import CostSettings
from orva_mero_backtest.modules.matcher import matcher as matcher_module
from orva_mero_backtest.modules.positions.positions import Positions


def drain(m):
    """Reports queued so far (no wait: the pass queues them before it returns)."""
    out = []
    while not m.response_queue.empty():
        out.append(m.response_queue.get_nowait())
    return out


def filled(book, *orders, close=100.0, volume=1_000_000, ts=7.0):
    """Each order placed then filled at one tick of its code; the matcher is closed after."""
    m = matcher_module.Matcher(book)
    try:
        for code, product, action, qty, lot in orders:
            extra = () if lot is None else ("Cash", lot)
            m.add_order(code, product, action, 0.0, qty, "MKT", "ROD", *extra)
            m.match_deal(code, close, volume, ts)
            ts += 1.0
        return drain(m)
    finally:
        m.close()


def row(book, i=-1):
    r = book.fills[i]
    return (r["code"], r["action"], r["quantity"], r["units"], r["price"], r["timestamp"], r["commission"],
            r["tax"], r["position"])


@pytest.mark.parametrize(
    "order, expected",
    [
        (("2330", "Stock", "Buy", 2, None), ("2330", "Buy", 2, 2000, 100.0, 7.0, 285, 0, 2000)),
        # odd lots: shares, the odd-lot minimum of 1
        (("2330", "Stock", "Sell", 7, "IntradayOdd"), ("2330", "Sell", 7, 7, 100.0, 7.0, 1, 2, -7)),
        (("2330", "Stock", "Buy", 3, "Common"), ("2330", "Buy", 3, 3000, 100.0, 7.0, 427, 0, 3000)),
        (("TXFA4", "Future", "Sell", 2, None), ("TXFA4", "Sell", 2, 2, 100.0, 7.0, 100, 1, -2)),
    ],
)
def test_a_fill_books_its_row_and_trade_record(console, order, expected):  # noqa: F811
    book = Positions()
    reports = filled(book, order)
    assert [r["operation_type"] if "operation_type" in r else "Deal" for r in reports] == ["New", "Deal"]
    assert row(book) == expected
    code, _, action, qty, _ = order
    record = book.trade_records[-1]
    assert (record["code"], record["action"], record["quantity"], record["price"], record["timestamp"],
            record["trade_status"]) == (code, action, qty, 100.0, 7.0, "Deal")
    assert record["trade_id"] == book.fills[-1]["trade_id"] == reports[1]["id"]


class Counting(Positions):
    calls: list = []

    def add_trade_record(self, *args, **kwargs):
        self.calls.append("record")
        return super().add_trade_record(*args, **kwargs)

    def set_positions(self, trade, product_type):
        self.calls.append(("book", trade["quantity"], product_type))
        return super().set_positions(trade, product_type)


def replaced(where, name, calls, monkeypatch):
    """A book whose `name` records a call then books as the package's own method does."""
    own = getattr(Positions, name)

    def spy(self, *args, **kwargs):
        calls.append(name)
        return own(self, *args, **kwargs)

    if where == "subclass":
        cls = type("Sub", (Positions,), {name: spy})
        return cls()
    book = Positions()
    if where == "class":
        monkeypatch.setattr(Positions, name, spy)
    else:
        setattr(book, name, spy.__get__(book))
    return book


ORDERS = [("2330", "Stock", "Buy", 2, None), ("2330", "Stock", "Sell", 1, None)]


@pytest.mark.parametrize("name", ["add_trade_record", "set_positions"])
@pytest.mark.parametrize("where", ["subclass", "class", "instance"])
def test_a_replaced_book_method_gets_every_fill(console, monkeypatch, where, name):  # noqa: F811
    calls = []
    book = replaced(where, name, calls, monkeypatch)
    filled(book, *ORDERS)
    assert calls == [name, name]
    assert [f["position"] for f in book.fills] == [2000, 1000] and len(book.trade_records) == 2


@pytest.mark.parametrize("name", ["add_trade_record", "set_positions"])
@pytest.mark.parametrize("where", ["class", "instance"])
def test_a_method_replaced_between_two_fills_gets_the_second(console, monkeypatch, where, name):  # noqa: F811
    book = Positions()
    filled(book, ORDERS[0])  # the book's own methods, through the exchange's shortcut
    calls = []
    if where == "class":
        spy = replaced("class", name, calls, monkeypatch)
        assert type(spy) is Positions
    else:
        own = getattr(Positions, name)
        setattr(book, name, lambda *a, **k: (calls.append(name), own(book, *a, **k))[1])
    filled(book, ORDERS[1])
    assert calls == [name]
    assert [f["position"] for f in book.fills] == [2000, 1000] and len(book.trade_records) == 2


def test_a_book_that_stops_booking_is_not_bypassed(console):  # noqa: F811
    book = Positions()
    filled(book, ORDERS[0])
    book.set_positions = lambda trade, product_type: None
    filled(book, ORDERS[1])
    assert [f["position"] for f in book.fills] == [2000] and len(book.trade_records) == 2


class Reordered(CostSettings):
    """Settings whose instance dict holds an extra key first: another layout than CostSettings'."""

    def __init__(self, **kwargs):
        self.note = "first"
        super().__init__(**kwargs)


@pytest.mark.parametrize("first, second", [(CostSettings, Reordered), (Reordered, CostSettings)])
def test_books_with_differently_laid_out_costs_each_read_their_own(console, first, second):  # noqa: F811
    cheap = Positions(first(stock_commission_rate=0.001, stock_min_commission=0.0))
    dear = Positions(second(stock_commission_rate=0.002, stock_min_commission=0.0, stock_lot_size=10))
    for _ in range(2):  # alternately: the settings of one must never be read from the other's dict
        filled(cheap, ("2330", "Stock", "Buy", 1, None))
        filled(dear, ("2330", "Stock", "Buy", 1, None))
    assert [f["commission"] for f in cheap.fills] == [100, 100]
    assert [(f["units"], f["commission"]) for f in dear.fills] == [(10, 2), (10, 2)]


def counting(calls, method):
    def counted(self, *args, **kwargs):
        calls.append(method.__name__)
        return method(self, *args, **kwargs)

    return counted


@pytest.fixture(scope="module")
def busy_outcome():
    from test_driver_loop import busy_run, outcome

    return outcome(*busy_run(False))


# A run's deliveries and fills take the package's own methods without their bindings: only while
# they are those.
@pytest.mark.parametrize("replaced", ["tracker class", "exchange class", "book subclass", "book class",
                                      "book instance"])
def test_a_replaced_tracker_or_book_method_runs_for_every_report_of_a_run(monkeypatch, busy_outcome, replaced):
    from orva_mero_backtest import orders
    from test_driver_loop import busy_run, outcome, replace_book_method

    calls = []
    if replaced == "tracker class":
        monkeypatch.setattr(orders.OrderTracker, "track", counting(calls, orders.OrderTracker.track))
    elif replaced == "exchange class":
        monkeypatch.setattr(matcher_module.Matcher, "pop_response",
                            counting(calls, matcher_module.Matcher.pop_response))
    else:
        name = "add_trade_record" if replaced == "book class" else "set_positions"
        replace_book_method(monkeypatch, replaced.split()[1], name, counting(calls, getattr(Positions, name)))
    result, strategy, progress = busy_run(False)
    deals = sum(1 for e in strategy.events if e[0] == "deal")
    reports = deals + sum(1 for e in strategy.events if e[0] == "order")
    if replaced in ("tracker class", "exchange class"):
        assert len(calls) == reports
    elif replaced == "book class":  # fills and cancellations
        assert len(calls) >= deals
    else:
        assert len(calls) == deals
    assert deals > 0
    assert outcome(result, strategy, progress) == busy_outcome
