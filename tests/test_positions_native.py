"""The positions book's native methods against their Python text (the ``_name`` methods), float for float."""

import math
import random

import pytest

from orva_mero_backtest import costs as costs_module
from orva_mero_backtest.constant import Action, OrderLot
from orva_mero_backtest.costs import CostSettings
from orva_mero_backtest.modules.positions import positions as positions_module
from orva_mero_backtest.modules.positions.positions import Positions


class PythonText:
    """Drives a book through the Python text of the methods made native."""

    def __init__(self, book):
        self.book = book

    def fill(self, trade, product_type):
        b = self.book
        b._add_trade_record(trade["trade_id"], trade["code"], trade["action"], trade["quantity"], trade["price"],
                            trade.get("exchange_ts"), "Deal")
        b._set_positions(trade, product_type)

    def tick(self, tick):
        self.book._set_current_tick(tick)

    def equity(self):
        return self.book._equity()


class Native(PythonText):
    def fill(self, trade, product_type):
        b = self.book
        b.add_trade_record(trade_id=trade["trade_id"], code=trade["code"], action=trade["action"],
                           quantity=trade["quantity"], price=trade["price"], timestamp=trade.get("exchange_ts"),
                           trade_status="Deal")
        b.set_positions(trade, product_type)

    def tick(self, tick):
        self.book.set_current_tick(tick)

    def equity(self):
        return self.book.equity()


def trade(i, code, action, quantity, price, product_type, order_lot=None):
    t = {"trade_id": f"id{i}", "code": code, "product_type": product_type, "action": Action.from_value(action),
         "price": price, "quantity": quantity, "exchange_ts": 1.0 + i}
    if order_lot is not None:
        t["order_lot"] = order_lot
    return t


def script(seed, n=120):
    """Fills and ticks over stocks and futures: adds, partial closes, crossing zero, odd lots, empty fills."""
    rng = random.Random(seed)
    instruments = [("2330", "Stock", 580.0), ("0050", "Stock", 130.0), ("TXFR1", "Future", 17_500.0),
                   ("MXF202403", "Future", 17_480.0), ("CDFR1", "Future", 101.5)]
    events = []
    for i in range(n):
        code, kind, base = rng.choice(instruments)
        price = round(base * (1 + rng.uniform(-0.02, 0.02)), 2)
        if rng.random() < 0.3:
            events.append(("tick", {"code": code, "close": price, "timestamp": float(i)}))
            continue
        lot = None
        if kind == "Stock":
            lot = rng.choice([OrderLot.COMMON, OrderLot.COMMON, OrderLot.ODD, OrderLot.INTRADAY_ODD, None])
        quantity = rng.choice([0, 1, 1, 2, 3, 5, 7]) if lot not in (OrderLot.ODD, OrderLot.INTRADAY_ODD) \
            else rng.randint(1, 999)
        events.append(("fill", trade(i, code, rng.choice(["Buy", "Sell"]), quantity, price, kind, lot), kind))
    return events


def state(book):
    """Everything the book shows, with each number's type and exact value (repr)."""
    def exact(value):
        if isinstance(value, dict):
            return {k: exact(v) for k, v in value.items()}
        if isinstance(value, list):
            return [exact(v) for v in value]
        return (type(value).__name__, repr(value))
    return exact({
        "fills": book.fills, "trade_records": book.trade_records, "net": book.net_positions,
        "entries": {code: vars(e) for code, e in book.book.items()}, "last_ticks": book.last_ticks,
    })


def run_both(make_costs, events, make_book=Positions):
    results = []
    for driver in (PythonText, Native):
        book = make_book(make_costs())
        d = driver(book)
        equities = []
        for event in events:
            if event[0] == "tick":
                d.tick(dict(event[1]))
            else:
                d.fill(dict(event[1]), event[2])
            equities.append(repr(d.equity()))
        results.append((state(book), equities))
    return results


class HalfCommission(CostSettings):
    def stock_commission(self, price, shares, odd_lot=False):
        return super().stock_commission(price, shares, odd_lot) / 2


class FlatFutures(CostSettings):
    def future_multiplier(self, code):
        return 100

    def future_tax(self, code, price, contracts):
        return 1.5 * contracts


COSTS = {
    "defaults": CostSettings,
    "discount and int settings": lambda: CostSettings(stock_commission_discount=0.28, stock_lot_size=100,
                                                      future_commission_by_root={"TXF": 40, "MXF": 12.5},
                                                      default_future_multiplier=2000, stock_min_commission=1),
    "slippage": lambda: CostSettings(slippage_ticks=2),
    "overridden stock_commission": HalfCommission,
    "overridden future_multiplier and future_tax": FlatFutures,
}


@pytest.mark.parametrize("seed", [1, 2, 3])
@pytest.mark.parametrize("costs", list(COSTS), ids=list(COSTS))
def test_native_methods_match_the_python_text(costs, seed):
    python, native = run_both(COSTS[costs], script(seed))
    assert native == python


def test_method_replaced_on_the_instance_and_a_subclassed_book():
    class Book(Positions):
        @staticmethod
        def _apply_fill(entry, signed_units, price):
            realized = Positions._apply_fill(entry, signed_units, price)
            return realized * 2  # the override's result is what the fill row shows

    def costs():
        c = CostSettings()
        c.stock_shares = lambda quantity, order_lot: quantity * 10  # an instance attribute wins
        return c

    python, native = run_both(costs, script(5, 60), make_book=Book)
    assert native == python
    assert {f["units"] for f in python[0]["fills"] if f["product_type"] == ("str", "'Stock'")} <= {
        ("int", repr(10 * q)) for q in range(1000)}


def boundary_amounts():
    """Amounts at and around the places where rounding to six digits moves a floor or a half-up result."""
    out = []
    rng = random.Random(7)
    for n in [0, 1, 3, 826, 4_321, 99_999, 2_000_000]:
        for edge in (n + 1 - 5e-7, n + 1 - 1e-6, n + 0.5, n + 0.5 - 5e-7, n + 0.5 + 5e-7, n + 0.4999995, n + 1.0):
            x = edge
            for _ in range(3):
                x = math.nextafter(x, -math.inf)
            for _ in range(7):
                out.append(x)
                x = math.nextafter(x, math.inf)
        out += [n + rng.random() for _ in range(5)]
    return out


def test_floor_and_half_up_rounding_match_python_at_the_edges():
    # Sell one odd-lot share at `x` with a 100% tax: the tax is _floor(x). A one-contract future with
    # multiplier 1 and a 100% tax: the tax is _round_half_up(x).
    amounts = boundary_amounts()

    def costs():
        return CostSettings(stock_tax_rate=1.0, future_tax_rate=1.0, future_multipliers={"TXF": 1.0})

    events = []
    for i, x in enumerate(amounts):
        events.append(("fill", trade(2 * i, "2330", "Sell", 1, x, "Stock", OrderLot.ODD), "Stock"))
        events.append(("fill", trade(2 * i + 1, "TXFR1", "Buy", 1, x, "Future"), "Future"))
    python, native = run_both(costs, events)
    assert native == python
    book = Positions(costs())
    for event in events:
        book.set_positions(event[1], event[2])
    assert [f["tax"] for f in book.fills] == [
        math.floor(round(x, 6) + 0.5 * (i % 2)) for x in amounts for i in range(2)]


@pytest.mark.parametrize("helper", ["_floor", "_round_half_up", "future_root"])
def test_replaced_cost_helpers_are_still_called(monkeypatch, helper):
    original = getattr(costs_module, helper)
    calls = []

    def spy(*args):
        calls.append(args)
        return original(*args)

    monkeypatch.setattr(costs_module, helper, spy)
    book = Positions()
    book.set_positions(trade(1, "TXFR1", "Buy", 1, 17_500.0, "Future"), "Future")
    book.set_positions(trade(2, "2330", "Sell", 1, 580.0, "Stock"), "Stock")
    assert calls


def test_replaced_text_helper_and_instrument_class_are_used(monkeypatch):
    monkeypatch.setattr(positions_module, "_text", lambda action: f"<{action}>")

    class Entry(positions_module.InstrumentPosition):
        pass

    monkeypatch.setattr(positions_module, "InstrumentPosition", Entry)
    book = Positions()
    book.set_positions(trade(1, "2330", "Buy", 2, 580.0, "Stock"), "Stock")
    book.set_positions(trade(2, "2330", "Sell", 3, 590.0, "Stock"), "Stock")
    assert [f["action"] for f in book.fills] == ["<Buy>", "<Sell>"]
    assert type(book.book["2330"]) is Entry and book.position("2330") == -1000
    python = Positions()
    python._set_positions(trade(1, "2330", "Buy", 2, 580.0, "Stock"), "Stock")
    python._set_positions(trade(2, "2330", "Sell", 3, 590.0, "Stock"), "Stock")
    assert state(python) == state(book) and python._equity() == book.equity()


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda b: b.set_positions({"code": "X", "quantity": 1, "price": 1.0, "action": Action.BUY}, "Option"),
         "unsupported product type 'Option' for X"),
        (lambda b: b.set_positions({"quantity": 1}, "Stock"), "code"),
        (lambda b: b.add_trade_record("t", "2330", Action.BUY, 1, 1.0, 1.0), "trade_status"),
        (lambda b: b.add_trade_record("t", "2330", Action.BUY, 1, 1.0, 1.0, "Deal", trade_id="x"), "multiple values"),
        (lambda b: b.add_trade_record(trade_id="t", code="2330", action=Action.BUY, quantity=1, price=1.0,
                                      timestamp=1.0, status="Deal"), "unexpected keyword"),
        (lambda b: b.set_current_tick({"close": 1.0}), "code"),
    ],
)
def test_errors_are_the_python_texts(call, message):
    with pytest.raises((ValueError, KeyError, TypeError), match=message):
        call(Positions())


def test_keyword_and_positional_calls_record_the_same():
    a, b = Positions(), Positions()
    a.add_trade_record("t", "2330", Action.BUY, 1, 580.0, 1.0, "Deal")
    b.add_trade_record("t", "2330", Action.BUY, 1, 580.0, trade_status="Deal", timestamp=1.0)
    b.set_positions(trade=trade(1, "2330", "Buy", 1, 580.0, "Stock"), product_type="Stock")
    a._set_positions(trade(1, "2330", "Buy", 1, 580.0, "Stock"), "Stock")
    assert state(a) == state(b)


def test_equity_of_unusual_numbers_is_the_python_text():
    book = Positions()
    book.set_positions(trade(1, "2330", "Buy", 1, 580.0, "Stock"), "Stock")
    entry = book.book["2330"]
    entry.last_price = 590  # an int close
    entry.commission = 10**400  # beyond a double: Python's sum raises
    with pytest.raises(OverflowError):
        book._equity()
    with pytest.raises(OverflowError):
        book.equity()
    entry.commission = 7
    assert repr(book.equity()) == repr(book._equity())


def _change_discount(book):
    book.costs.stock_commission_discount = 0.5


def _new_costs(book):
    book.costs = CostSettings(stock_tax_rate=0.0015, future_commission_per_contract=20.0)


def _class_override(book):
    CostSettings.stock_tax = lambda self, price, shares, is_sell: 7  # undone by the test


def _table_entry(book):
    book.costs.future_multipliers["TXF"] = 100.0  # a change inside a setting, not of the settings


def _helper_replaced(book):
    costs_module._floor = lambda amount: -1  # undone by the test


@pytest.mark.parametrize("change", [_change_discount, _new_costs, _class_override, _table_entry, _helper_replaced])
def test_changes_between_fills_are_seen(change):
    """What a book reads per fill may change between fills (settings, classes, module helpers):
    the native path sees each change as Python's text does."""
    saved_tax, saved_floor = CostSettings.__dict__["stock_tax"], costs_module._floor
    events = script(11, 40)
    try:
        results = []
        for driver in (PythonText, Native):
            book = Positions()
            d = driver(book)
            for i, event in enumerate(events):
                if i == 20:
                    change(book)
                if event[0] == "tick":
                    d.tick(dict(event[1]))
                else:
                    d.fill(dict(event[1]), event[2])
            results.append((state(book), repr(d.equity())))
            CostSettings.stock_tax, costs_module._floor = saved_tax, saved_floor
        assert results[1] == results[0]
    finally:
        CostSettings.stock_tax, costs_module._floor = saved_tax, saved_floor


def test_native_methods_bind_like_functions():
    book = Positions()
    t = trade(1, "2330", "Buy", 1, 580.0, "Stock")
    Positions.set_positions(book, t, "Stock")  # read from the class: unbound, self passed first
    bound = book.set_positions  # read from an instance: bound
    bound(dict(t, trade_id="id2"), "Stock")
    assert [f["trade_id"] for f in book.fills] == ["id1", "id2"]
    assert bound.__self__ is book and Positions.equity.__name__ == "equity"
    assert getattr(book, "equity")() == book._equity()
    # An object that is not a Positions gets the Python text, as a plain function would give it.
    other = type("Other", (), {})()
    other.book = {}
    assert Positions.equity(other) == 0.0


# --- the one-pass stock fill and the per-tick path, against the Python text ---------------------------

def stock(i, action, quantity, price, lot=None, code="2330"):
    return ("fill", trade(i, code, action, quantity, price, "Stock", lot), "Stock")


def _plain_str_action(i, action, quantity, price):
    t = trade(i, "2330", action, quantity, price, "Stock")
    t["action"] = action  # a plain str, not an Action member
    del t["exchange_ts"]
    return ("fill", t, "Stock")


ONE_PASS_CASES = {
    "add, add, close": [stock(0, "Buy", 2, 580.0), stock(1, "Buy", 3, 590.5), stock(2, "Sell", 5, 600.0)],
    "partial close, cross zero, back": [stock(0, "Buy", 2, 580.0), stock(1, "Sell", 1, 578.0),
                                        stock(2, "Sell", 4, 575.0), stock(3, "Buy", 3, 570.0)],
    "odd lots": [stock(0, "Buy", 300, 580.0, OrderLot.ODD), stock(1, "Sell", 120, 581.0, OrderLot.INTRADAY_ODD),
                 stock(2, "Sell", 1, 582.0, "Odd"), stock(3, "Buy", 2, 583.0, OrderLot.COMMON)],
    "int prices, str actions, no lot or time": [stock(0, "Buy", 1, 580), _plain_str_action(1, "Buy", 2, 581),
                                                _plain_str_action(2, "Sell", 4, 579.5)],
    "small amounts hit the minimum": [stock(0, "Buy", 5, 1.0, OrderLot.ODD), stock(1, "Sell", 5, 1.05, OrderLot.ODD)],
    "empty fill": [stock(0, "Buy", 1, 580.0), stock(1, "Sell", 0, 580.0)],
}


def _int_commission(book):
    book.book["2330"].commission = 3  # an int field: int sums from here


def _float_net(book):
    book.net_positions["2330"] = 1.5


def _list_like_fills(book):
    from collections import UserList
    book.fills = UserList(book.fills)


def _combined_entry_dict(book):
    entry = book.book["2330"]
    fills = entry.fills
    del entry.fills  # the entry's dict no longer shares its key table
    entry.fills = fills


def _slippage(book):
    book.costs.slippage_ticks = 1


def _subclassed_entry(book):
    class Entry(positions_module.InstrumentPosition):
        pass

    old = book.book["2330"]
    book.book["2330"] = Entry(**{k: v for k, v in vars(old).items()})


@pytest.mark.parametrize("tweak", [None, _int_commission, _float_net, _list_like_fills, _combined_entry_dict,
                                   _slippage, _subclassed_entry])
@pytest.mark.parametrize("case", list(ONE_PASS_CASES), ids=list(ONE_PASS_CASES))
def test_one_pass_stock_fills_match_the_python_text(case, tweak):
    """After the first fill (which makes the entry) every stock fill may take the one-pass path; a tweak
    made then (an unusual field, container or setting) must lead to the same result by the general path."""
    events = ONE_PASS_CASES[case]
    results = []
    for driver in (PythonText, Native):
        book = Positions(CostSettings(stock_min_commission=1))
        d = driver(book)
        for i, event in enumerate(events):
            d.fill(dict(event[1]), event[2])
            if i == 0 and tweak is not None:
                tweak(book)
        results.append((state(book), vars(book.book["2330"]), repr(d.equity())))
    assert results[1] == results[0]


def _tick_mapping(book, tick):
    from collections import UserDict
    return UserDict(tick)


def _new_last_ticks(book, tick):
    book.last_ticks = {}
    return tick


def _none_entry(book, tick):
    book.book["0050"] = None
    return dict(tick, code="0050")


def _no_close(book, tick):
    del tick["close"]
    return tick


def _reordered_tick(book, tick):
    return dict(reversed(list(tick.items())))  # the same keys in another order


def _entry_with_a_property(book, tick):
    class Entry(positions_module.InstrumentPosition):
        seen = []

        @property
        def last_price(self):
            return self.seen[-1] if self.seen else None

        @last_price.setter
        def last_price(self, value):
            self.seen.append(value)

    old = book.book["2330"]
    fields = {k: v for k, v in vars(old).items() if k != "last_price"}
    book.book["2330"] = Entry(**fields)
    return dict(tick, code="2330")


@pytest.mark.parametrize("tweak", [None, _tick_mapping, _new_last_ticks, _none_entry, _no_close, _reordered_tick,
                                   _entry_with_a_property])
@pytest.mark.parametrize("make_book", [Positions, type("Sub", (Positions,), {})], ids=["Positions", "subclass"])
def test_ticks_match_the_python_text(make_book, tweak):
    results = []
    for tick_of in (Positions._set_current_tick, Positions.set_current_tick):
        book = make_book()
        book._set_positions(trade(0, "2330", "Buy", 1, 580.0, "Stock"), "Stock")
        answers = []
        for i in range(4):
            tick = {"code": "2330" if i % 2 else "2317", "close": 580.0 + i, "timestamp": float(i)}
            if i == 2 and tweak is not None:
                tick = tweak(book, tick)
            try:
                answers.append(tick_of(book, tick))
            except KeyError as exc:
                answers.append(repr(exc))
        answers.append(book.book.pop("0050", "none kept"))
        results.append((answers, state(book), repr(book._equity())))
    assert results[1] == results[0]


def test_rows_sharing_a_key_table_stay_apart():
    """Fill rows and trade records are made from templates (shared key tables): a row changed by a
    user must not change another row, the rows made after it, or what they compare equal to."""
    book, python = Positions(), Positions()
    for i in range(6):
        t = trade(i, "2330", "Buy" if i % 3 else "Sell", 1 + i, 580.0 + i, "Stock")
        Native(book).fill(dict(t), "Stock")
        PythonText(python).fill(dict(t), "Stock")
        if i == 2:
            for rows in (book.fills, book.trade_records, python.fills, python.trade_records):
                rows[0]["note"] = "x"
                del rows[1]["code"]
                rows[1]["code"] = "moved"
    for ours, theirs in ((book.fills, python.fills), (book.trade_records, python.trade_records)):
        assert [list(r.items()) for r in ours] == [list(r.items()) for r in theirs]
    assert "note" not in book.fills[3] and list(book.fills[4]) == list(python.fills[4])
