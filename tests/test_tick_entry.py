"""The exchange's set_current_tick as the loop drives it: the positions book's own method called
without its binding only while it is that one, and the tick records written by key."""

import sys

import pytest

from orva_mero_backtest.modules.matcher.matcher import Matcher
from orva_mero_backtest.modules.positions.positions import InstrumentPosition, Positions


def tick(i, code="2330"):
    return {"code": code, "timestamp": 100.0 + i, "close": 10.0 + i}


def replace_book_method(kind, book, monkeypatch, calls):
    own = Positions.set_current_tick

    def counting(self, t):
        calls.append(t["timestamp"])
        return own(self, t)

    if kind == "instance":
        book.set_current_tick = counting.__get__(book)
    elif kind == "class":
        monkeypatch.setattr(Positions, "set_current_tick", counting)
    elif kind == "class attribute access":
        def getattribute(self, name):
            if name == "set_current_tick":
                return counting.__get__(self)
            return object.__getattribute__(self, name)

        monkeypatch.setattr(Positions, "__getattribute__", getattribute)
    else:  # the instance's class swapped for a subclass
        book.__class__ = type("Counting", (Positions,), {"set_current_tick": counting})


# The exchange keeps what it learnt about the book between calls: a change made after several calls
# takes effect at the next one.
@pytest.mark.parametrize("kind", ["instance", "class", "class attribute access", "subclass"])
def test_a_book_method_replaced_between_ticks_runs_from_the_next_tick(monkeypatch, kind):
    book = Positions()
    book.book["2330"] = InstrumentPosition("2330", "Stock", 1.0)
    m = Matcher(book)
    try:
        for i in range(3):
            m.set_current_tick(tick(i))
        calls = []
        replace_book_method(kind, book, monkeypatch, calls)
        for i in range(3, 6):
            m.set_current_tick(tick(i))
    finally:
        m.close()
    assert calls == [103.0, 104.0, 105.0]
    assert book.last_ticks["2330"]["timestamp"] == 105.0 and book.book["2330"].last_price == 15.0


def record_like(layout):
    if layout == "made":
        return None  # the exchange makes it
    if layout == "reversed":
        return {"tick": None, "ts": None}
    if layout == "wider":
        return {"a": 1, "ts": None, "b": 2, "tick": None}
    return {"ts": None, "x": 0, "tick": None}  # "gapped": a key deleted in between


# Records of different layouts, one after the other: each gets its own tick and time.
def test_tick_records_of_any_layout_get_their_tick_and_time():
    book = Positions()
    m = Matcher(book)
    layouts = ["made", "reversed", "made", "wider", "gapped", "made", "reversed"]
    try:
        for i, layout in enumerate(layouts):
            code = f"C{i}"
            record = record_like(layout)
            if record is not None:
                if layout == "gapped":
                    del record["x"]
                m.current_tick_infos[code] = record
            for j in range(2):
                t = tick(10 * i + j, code)
                m.set_current_tick(t)
                kept = m.current_tick_infos[code]
                assert kept["tick"] is t and kept["ts"] == t["timestamp"]
                assert record is None or kept is record
    finally:
        m.close()
    assert [r["ts"] for r in m.current_tick_infos.values()] == [100.0 + 10 * i + 1 for i in range(len(layouts))]
    assert list(book.last_ticks) == [f"C{i}" for i in range(len(layouts))]


# Codes whose ticks interleave (eight of them share the book's few remembered places): each keeps
# its own last tick and mark, and a tick replaced is let go, by the exchange and by a direct call.
@pytest.mark.parametrize("codes", [["2330"], ["2330", "2317"], [f"C{i:02d}" for i in range(8)]])
@pytest.mark.parametrize("through", ["exchange", "book"])
def test_each_code_keeps_its_last_tick_and_lets_the_one_before_go(codes, through):
    book = Positions()
    for code in codes[::2]:
        book.book[code] = InstrumentPosition(code, "Stock", 1.0)
    m = Matcher(book)
    codes = [sys.intern(c) for c in codes]  # one str per instrument, as the feed gives
    sent = []
    try:
        for i in range(5 * len(codes)):
            t = tick(i, codes[(i * 3) % len(codes)])
            sent.append(t)
            (m.set_current_tick if through == "exchange" else book.set_current_tick)(t)
        infos = {c: (r["tick"], r["ts"]) for c, r in m.current_tick_infos.items()}
    finally:
        m.close()
    latest = {t["code"]: t for t in sent}
    assert infos == ({c: (t, t["timestamp"]) for c, t in latest.items()} if through == "exchange" else {})
    assert list(book.last_ticks) == list(latest)
    assert all(book.last_ticks[c] is t for c, t in latest.items())
    assert {c: e.last_price for c, e in book.book.items()} == {c: latest[c]["close"] for c in codes[::2]}
    replaced = [t for t in sent if latest[t["code"]] is not t]
    control = [dict(t) for t in replaced]  # held by one list, where a replaced tick is held by two
    assert [sys.getrefcount(t) for t in replaced] == [sys.getrefcount(c) + 1 for c in control]


class Grows:
    """Held by a tick: when the tick is let go, the book's last_ticks gets many more codes."""

    def __init__(self, book):
        self.book = book

    def __del__(self):
        for i in range(50):
            self.book.last_ticks[f"X{i}"] = None


# Letting the old tick go may run code that reshapes last_ticks; the next tick is still kept right.
def test_a_tick_let_go_may_reshape_last_ticks():
    book = Positions()
    code = sys.intern("2330")
    for i in range(3):
        t = tick(i, code)
        t["extra"] = Grows(book) if i == 1 else None
        book.set_current_tick(t)
        book.set_current_tick(dict(t, timestamp=t["timestamp"] + 0.5))
    assert book.last_ticks[code]["timestamp"] == 102.5
    assert len(book.last_ticks) == 51


# A book whose last_ticks or book becomes a property (on its class, or by a subclass it is switched
# to) is read through it from the next tick on, by the exchange as by a direct call.
@pytest.mark.parametrize("name", ["last_ticks", "book"])
@pytest.mark.parametrize("how", ["class", "subclass"])
def test_a_book_attribute_made_a_property_is_read_through_it(monkeypatch, name, how):
    book = Positions()
    book.book["2330"] = InstrumentPosition("2330", "Stock", 1.0)
    m = Matcher(book)
    reads = []
    stored = vars(book)[name]

    def read(self):
        reads.append(name)
        return stored

    try:
        for i in range(3):
            m.set_current_tick(tick(i))
        if how == "class":
            monkeypatch.setattr(Positions, name, property(read), raising=False)
        else:
            book.__class__ = type("Watched", (Positions,), {name: property(read)})
        m.set_current_tick(tick(3))
        book.set_current_tick(tick(4))
    finally:
        m.close()
    assert reads == [name, name]
    assert stored is (book.last_ticks if name == "last_ticks" else book.book)
    assert vars(book)["last_ticks"]["2330"]["timestamp"] == 104.0
    assert vars(book)["book"]["2330"].last_price == 14.0


# What the exchange learnt of one book class holds for that class only: a book of another class whose
# set_current_tick is not the package's own, met in between, leaves the first class's answer as it was.
@pytest.mark.parametrize("name", ["last_ticks", "book"])
def test_a_book_of_another_class_in_between_leaves_what_was_learnt_of_the_first(name):
    reads = []

    def read(self):
        reads.append(name)
        return vars(self)["_" + name]

    def write(self, value):
        vars(self)["_" + name] = value

    Watched = type("Watched", (Positions,), {name: property(read, write)})
    Other = type("Other", (Positions,), {"set_current_tick": lambda self, t: Positions.set_current_tick(self, t)})
    watched, other = Watched(), Other()
    watched.book["2330"] = InstrumentPosition("2330", "Stock", 1.0)
    stale = {"2330": InstrumentPosition("2330", "Stock", 1.0)} if name == "book" else {}
    vars(watched)[name] = stale  # what the property stands in front of
    matchers = [Matcher(watched), Matcher(other)]
    reads.clear()
    try:
        for i, m in enumerate(matchers + matchers[:1]):
            m.set_current_tick(tick(i))
    finally:
        for m in matchers:
            m.close()
    assert reads.count(name) == 2  # both of its ticks read it through the property
    assert watched.last_ticks["2330"]["timestamp"] == 102.0 and watched.book["2330"].last_price == 12.0
    assert stale == {} or stale["2330"].last_price is None


class Rebinds:
    """Held by a tick record only: let go, it hands the exchange another book (or class)."""

    def __init__(self, matcher, change):
        self.matcher, self.change = matcher, change

    def __del__(self):
        self.change(self.matcher)


def other_book(book):
    def change(m):
        m.positions = book

    return change


def switched_class(book):
    def change(m):
        m.__class__ = type("Rebooked", (Matcher,), {"positions": property(lambda self: book)})

    return change


# Writing a tick over a record's old value lets that value go, which may run code that gives the
# exchange another book: the tick goes to the book it holds after that, whichever value it was.
@pytest.mark.parametrize("slot", ["tick", "ts"])
@pytest.mark.parametrize("change", [other_book, switched_class])
def test_a_record_value_let_go_may_give_the_exchange_another_book(slot, change):
    first, second = Positions(), Positions()
    m = Matcher(first)
    code = sys.intern("2330")
    try:
        for i in range(3):
            m.set_current_tick(tick(i, code))
        m.current_tick_infos[code][slot] = Rebinds(m, change(second))
        t = tick(3, code)
        m.set_current_tick(t)
        later = tick(4, code)
        m.set_current_tick(later)
    finally:
        m.close()
    assert second.last_ticks == {code: later}
    assert first.last_ticks[code]["timestamp"] == 102.0
    assert m.current_tick_infos[code]["tick"] is later
