"""The mark of a book entry on every tick: the entry is found by its code's text wherever the book keeps
it, and what happens to the book between ticks (an entry replaced, removed, the book rebuilt) is seen at
the next tick."""

import sys

import pytest

from orva_mero_backtest.modules.matcher.matcher import Matcher
from orva_mero_backtest.modules.positions.positions import InstrumentPosition, Positions
from reference.positions_book import ReferenceCosts, ReferencePositions


def tick(code, close):
    return {"code": code, "timestamp": close, "close": close}


@pytest.fixture(params=["exchange", "book"])
def send(request):
    """Sends one tick as the loop does (through the exchange) or straight to the book."""
    made = []

    def make(book):
        if request.param == "book":
            return book.set_current_tick
        m = Matcher(book)
        made.append(m)
        return m.set_current_tick

    yield make
    for m in made:
        m.close()


def other_str(text):
    """A str equal to `text` but another object (the book is keyed by a fill's code, not a tick's)."""
    made = "".join(list(text))
    assert made == text and (made is not text or len(text) < 2)
    return made


def entry(code):
    return InstrumentPosition(code, "Stock", 1.0)


@pytest.mark.parametrize("codes", [["2330"], ["2330", "2317", "00631L"], ["台積電", "2330"], [f"C{i}" for i in range(12)]])
def test_every_tick_marks_its_entry_found_by_text(send, codes):
    book = Positions()
    ticks = [sys.intern(c) for c in codes]
    for c in codes:
        book.book[other_str(c)] = entry(c)
    book.book["9999"] = entry("9999")
    to = send(book)
    for i in range(4):
        for n, c in enumerate(ticks):
            to(tick(c, 100.0 + 10 * i + n))
    assert {c: e.last_price for c, e in book.book.items()} == {
        **{c: 130.0 + n for n, c in enumerate(codes)}, "9999": None}


def removed(book, code):
    del book.book[code]


def replaced(book, code):
    book.book[code] = entry(code)


def rebuilt_in_another_order(book, code):
    # Same keys, another order: each place now holds another code's entry.
    book.book = {c: book.book[c] for c in reversed(list(book.book))}


def swapped_entries(book, code):
    a, b = list(book.book)[:2]
    book.book[a], book.book[b] = book.book[b], book.book[a]


def emptied_and_refilled(book, code):
    kept = dict(book.book)
    book.book.clear()
    book.book.update({"0050": entry("0050"), **kept})


@pytest.mark.parametrize("change", [removed, replaced, rebuilt_in_another_order, swapped_entries, emptied_and_refilled])
def test_a_book_changed_between_ticks_is_read_as_it_is(send, change):
    book = Positions()
    for c in ("2330", "2317", "2454"):
        book.book[other_str(c)] = entry(c)
    code = sys.intern("2330")
    to = send(book)
    for i in range(3):
        for c in (code, "2317", "2454"):
            to(tick(c, 50.0 + i))
    before = dict(book.book)
    change(book, code)
    to(tick(code, 99.0))
    to(tick("2317", 98.0))

    def want(c, e):
        if c in ("2330", "2317"):
            return {"2330": 99.0, "2317": 98.0}[c]
        return 52.0 if before.get(c) is e else None  # untouched, or new and never ticked

    assert {c: e.last_price for c, e in book.book.items()} == {c: want(c, e) for c, e in book.book.items()}


class Releases:
    """A mark whose release runs code that rebuilds the book."""

    def __init__(self, book):
        self.book = book

    def __del__(self):
        self.book.book = {c: entry(c) for c in ("A", "B")}

    def __float__(self):
        return 1.0


def test_a_mark_released_may_run_code(send):
    book = Positions()
    book.book[other_str("2330")] = entry("2330")
    to = send(book)
    to(tick("2330", 10.0))
    held = book.book["2330"]
    held.last_price = Releases(book)  # set from outside; the next tick replaces it
    to(tick("2330", 11.0))
    assert held.last_price == 11.0 and set(book.book) == {"A", "B"}
    to(tick("A", 12.0))
    assert book.book["A"].last_price == 12.0 and book.book["B"].last_price is None


def test_an_entry_class_with_a_last_price_property_is_set_through_it(send, monkeypatch):
    book = Positions()
    book.book["2330"] = entry("2330")
    to = send(book)
    to(tick("2330", 10.0))
    seen = []
    monkeypatch.setattr(InstrumentPosition, "last_price",
                        property(lambda self: self.__dict__.get("_last"), lambda self, v: seen.append(v)), raising=False)
    to(tick("2330", 11.0))
    assert seen == [11.0]


# --- equity over the entries' fields as they are -------------------------------------------------

class Price(float):
    """A float of a subclass: read as float() reads it."""


@pytest.mark.parametrize(
    "fields, expected",
    [
        ({}, 10_000.0 - 826),
        ({"quantity": 0, "last_price": "not a price"}, -826.0),  # flat: the mark is not read
        ({"quantity": 0, "avg_price": None}, -826.0),
        ({"last_price": None}, -826.0),
        ({"last_price": 600}, 20_000.0 - 826),
        ({"last_price": Price(600.0)}, 20_000.0 - 826),
        ({"commission": 26, "tax": 0}, 10_000.0 - 26),
        ({"quantity": 2000.0}, 20_000.0 - 826),
        ({"quantity": 10**30}, (590.0 - 580.0) * 1e30 - 826),
        ({"quantity": 1 << 60}, (590.0 - 580.0) * float(1 << 60) - 826),
        ({"realized_pnl": True}, 10_000.0 - 825),
    ],
)
def test_equity_reads_each_field_as_python_reads_it(fields, expected):
    book = Positions()
    book.set_positions({"trade_id": "t", "code": "2330", "action": "Buy", "quantity": 1, "price": 580.0,
                        "exchange_ts": 1.0}, "Stock")
    book.set_current_tick(tick("2330", 590.0))
    for _ in range(3):  # the places are known by now
        assert book.equity() == 10_000.0 - 826
    entry = book.book["2330"]
    for name, value in fields.items():
        setattr(entry, name, value)
    assert book.equity() == expected


@pytest.mark.parametrize("bad", [{"quantity": 1, "last_price": "x"}, {"commission": "x"}])
def test_equity_refuses_what_python_refuses(bad):
    book = Positions()
    book.book["2330"] = entry("2330")
    book.equity()
    for name, value in bad.items():
        setattr(book.book["2330"], name, value)
    with pytest.raises(TypeError):
        book.equity()


def test_equity_reads_a_field_removed_from_an_entry_by_getattr():
    book = Positions()
    book.book["2330"] = entry("2330")
    book.equity()
    del book.book["2330"].__dict__["tax"]  # the class default (0.0) stands in
    assert book.equity() == 0.0
    del InstrumentPosition.tax
    try:
        with pytest.raises(AttributeError, match="tax"):
            book.equity()
    finally:
        InstrumentPosition.tax = 0.0


# --- a fill's writes into the book's tables ------------------------------------------------------

def tables_kept(tables):
    pass


def tables_replaced(tables):
    tables.net_positions = dict(tables.net_positions)
    tables.day_trades = dict(reversed(list(tables.day_trades.items())))


def code_removed(tables):
    tables.net_positions.pop("2330", None)
    tables.day_trades.pop("2330", None)


def tables_grown(tables):
    for i in range(40):  # resized: every entry moves
        tables.net_positions[f"X{i}"] = i
    tables.day_trades["2317"] = (0, 5, 5)


@pytest.mark.parametrize("between", [tables_kept, tables_replaced, code_removed, tables_grown])
def test_fills_write_positions_and_day_trades_where_they_are(between):
    books = [Positions(), ReferencePositions(ReferenceCosts())]
    script = [("2330", "Buy", 2), ("2317", "Buy", 1), ("2330", "Sell", 1), ("2330", "Sell", 3), ("2317", "Sell", 1),
              ("2330", "Buy", 2)]
    for i, (code, action, quantity) in enumerate(script):
        for book in books:
            between(book)
            book.set_positions({"trade_id": f"t{i}", "code": other_str(code), "action": action,
                                "quantity": quantity, "price": 100.0 + i, "exchange_ts": 86_400.0 * 19_725 + i},
                               "Stock")
        native, reference = books
        assert native.net_positions == reference.net_positions
        assert native.day_trades == reference.day_trades
        assert native.fills == reference.fills
        assert {c: vars(e) for c, e in native.book.items()} == {c: vars(e) for c, e in reference.book.items()}
