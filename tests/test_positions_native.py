"""One behaviour suite for the positions book, run on the native ``Positions`` with ``CostSettings``
and on the Python model in tests/reference (``ReferencePositions`` with ``ReferenceCosts``), with
expected values worked out by hand; and the native book against the model on random scripts."""

import math
import random
from collections import UserDict, UserList
from types import SimpleNamespace

import pytest

from orva_mero_backtest.constant import Action, OrderLot
from orva_mero_backtest.costs import CostSettings
from orva_mero_backtest.modules.positions import positions as positions_module
from orva_mero_backtest.modules.positions.positions import Positions
from reference.positions_book import ReferenceCosts, ReferencePositions

MODELS = {
    "native": SimpleNamespace(Book=Positions, Costs=CostSettings),
    "reference": SimpleNamespace(Book=ReferencePositions, Costs=ReferenceCosts),
}


@pytest.fixture(params=list(MODELS), ids=list(MODELS))
def model(request):
    return MODELS[request.param]


def trade(i, code, action, quantity, price, product_type="Stock", order_lot=None, ts=None):
    t = {"trade_id": f"id{i}", "code": code, "product_type": product_type, "action": Action.from_value(action),
         "price": price, "quantity": quantity, "exchange_ts": 1.0 + i if ts is None else ts}
    if order_lot is not None:
        t["order_lot"] = order_lot
    return t


def book_of(model, **settings):
    return model.Book(model.Costs(**settings))


def fill(book, *args, **kwargs):
    t = trade(*args, **kwargs)
    book.add_trade_record(trade_id=t["trade_id"], code=t["code"], action=t["action"], quantity=t["quantity"],
                          price=t["price"], timestamp=t["exchange_ts"], trade_status="Deal")
    book.set_positions(t, t["product_type"])
    return book.fills[-1] if book.fills else None


def typed(row):
    return {k: (type(v).__name__, v) for k, v in row.items()}


# --- stocks ---------------------------------------------------------------------------------------

def test_a_fill_row_has_its_keys_in_order_with_their_types(model):
    book = book_of(model)
    row = fill(book, 0, "2330", "Sell", 2, 580, order_lot=OrderLot.COMMON, ts=5.0)
    assert typed(row) == {
        "trade_id": ("str", "id0"), "timestamp": ("float", 5.0), "code": ("str", "2330"),
        "product_type": ("str", "Stock"), "action": ("str", "Sell"), "quantity": ("int", 2),
        "units": ("int", 2000), "price": ("float", 580.0), "exchange_price": ("float", 580.0),
        "commission": ("int", 1653), "tax": ("int", 3480), "realized_pnl": ("float", 0.0),
        "position": ("int", -2000), "avg_price": ("float", 580.0)}
    assert book.trade_records == [{"trade_id": "id0", "code": "2330", "action": Action.SELL, "quantity": 2,
                                   "price": 580, "timestamp": 5.0, "trade_status": "Deal"}]
    assert book.net_positions == {"2330": -2000}
    entry = book.book["2330"]
    assert (entry.commission, entry.tax, entry.sold, entry.bought, entry.fills) == (1653, 3480, 2000, 0, 1)
    assert type(entry.commission) is float and entry.last_price == 580.0


@pytest.mark.parametrize(
    "lot, quantity, price, settings, units, commission",
    [
        (OrderLot.ODD, 10, 50.0, {"stock_commission_discount": 0.6}, 10, 1),  # 0.4275: odd-lot minimum 1
        (OrderLot.INTRADAY_ODD, 500, 600.0, {}, 500, 427),  # 427.5 truncated
        ("Odd", 7, 100.0, {}, 7, 1),  # the lot as a plain text
        (None, 3, 100.0, {"stock_commission_discount": 0.6}, 3000, 256),  # no lot: board lots; 256.5
        (OrderLot.COMMON, 1, 10.0, {}, 1000, 20),  # 14.25 is under the minimum 20
        (OrderLot.COMMON, 1, 10.0, {"stock_min_commission": 0.0}, 1000, 14),
        (OrderLot.COMMON, 2, 5.5, {"stock_lot_size": 100}, 200, 20),
        (OrderLot.FIXING, 1, 1000.0, {"stock_commission_rate": 0.0}, 1000, 20),
    ],
)
def test_stock_units_and_commission(model, lot, quantity, price, settings, units, commission):
    book = book_of(model, **settings)
    row = fill(book, 0, "2330", "Buy", quantity, price, order_lot=lot)
    assert (row["units"], row["commission"], row["tax"]) == (units, commission, 0)
    assert book.position("2330") == units


def test_adding_reducing_and_crossing_zero(model):
    book = book_of(model, stock_min_commission=1)
    fill(book, 0, "2330", "Buy", 2, 580.0)
    row = fill(book, 1, "2330", "Buy", 3, 590.5)
    assert row["avg_price"] == (580.0 * 2000 + 590.5 * 3000) / 5000 == 586.3
    row = fill(book, 2, "2330", "Sell", 1, 600.0)  # a partial close keeps the average
    assert row["realized_pnl"] == pytest.approx((600.0 - 586.3) * 1000) and row["avg_price"] == 586.3
    row = fill(book, 3, "2330", "Sell", 6, 570.0)  # crosses zero: 4,000 closed, 2,000 short at 570
    assert row["realized_pnl"] == pytest.approx((570.0 - 586.3) * 4000)
    assert (row["position"], row["avg_price"]) == (-2000, 570.0)
    row = fill(book, 4, "2330", "Buy", 2, 560.0)  # flat again: the average resets
    assert (row["position"], row["avg_price"], row["realized_pnl"]) == (0, 0.0, 20_000.0)
    entry = book.book["2330"]
    assert (entry.bought, entry.sold, entry.fills) == (7000, 7000, 5)
    assert entry.realized_pnl == pytest.approx(13_700 - 65_200 + 20_000)
    assert book.equity() == pytest.approx(entry.realized_pnl - entry.commission - entry.tax)


def test_an_empty_fill_changes_nothing(model):
    book = book_of(model)
    assert fill(book, 0, "2330", "Buy", 0, 580.0) is None
    assert (book.book, book.net_positions, book.equity()) == ({}, {}, 0.0)
    assert len(book.trade_records) == 1  # the exchange's record is kept


@pytest.mark.parametrize(
    "action, price, ticks, booked",
    [("Buy", 580.0, 2, 582.0), ("Sell", 580.0, 2, 578.0), ("Buy", 49.95, 1, 50.0), ("Sell", 50.0, 1, 49.95),
     ("Sell", 0.01, 3, 0.01)],  # never below one tick
)
def test_slippage_books_a_worse_price_and_charges_on_it(model, action, price, ticks, booked):
    book = book_of(model, slippage_ticks=ticks)
    row = fill(book, 0, "2330", action, 1, price)
    assert (row["price"], row["exchange_price"], row["avg_price"]) == (booked, price, booked)
    assert row["tax"] == (math.floor(round(booked * 1000 * 0.003, 6)) if action == "Sell" else 0)


# --- futures --------------------------------------------------------------------------------------

@pytest.mark.parametrize(
    "code, price, settings, multiplier, commission, tax",
    [
        ("TXFR1", 17_500.0, {}, 200.0, 50.0, 70),
        ("MXFR1", 17_501.0, {}, 50.0, 50.0, 18),  # 17.501 rounds to 18
        ("TMFR1", 17_500.0, {}, 10.0, 50.0, 4),  # 3.5 rounds half up to 4
        ("txf202401", 17_500.0, {}, 200.0, 50.0, 70),  # the root of a lower-case code
        ("CDFR1", 100.0, {}, 2000.0, 50.0, 4),  # a stock future: 2,000 shares
        ("MXFR1", 17_500.0, {"future_commission_by_root": {"MXF": 12}}, 50.0, 12, 18),  # an int fee stays int
        ("TXFR1", 17_500.0, {"future_multipliers": {"TXF": 100.0}}, 100.0, 50.0, 35),
        ("123", 10.0, {"future_multipliers": {"123": 7.0}}, 7.0, 50.0, 0),  # no letters: the code is the root
    ],
)
def test_futures_sizes_and_costs(model, code, price, settings, multiplier, commission, tax):
    book = book_of(model, **settings)
    row = fill(book, 0, code, "Buy", 1, price, product_type="Future")
    assert book.book[code].point_value == multiplier
    assert (row["commission"], row["tax"], type(row["commission"])) == (commission, tax, type(commission))


def test_futures_cross_zero_and_mark_to_the_last_tick(model):
    book = book_of(model)
    fill(book, 0, "TXFR1", "Buy", 2, 17_500.0, product_type="Future")
    row = fill(book, 1, "TXFR1", "Sell", 3, 17_600.0, product_type="Future")
    assert (row["realized_pnl"], row["position"], row["avg_price"]) == (40_000.0, -1, 17_600.0)
    assert (row["commission"], row["tax"]) == (150.0, 211)  # 211.2
    book.set_current_tick({"code": "TXFR1", "close": 17_650.0})
    assert book.unrealized_pnl == -10_000.0
    assert book.equity() == 40_000 - 10_000 - 250 - 140 - 211


def test_unsupported_product_type_is_refused(model):
    book = book_of(model)
    with pytest.raises(ValueError, match="unsupported product type 'Option' for X"):
        book.set_positions({"code": "X", "quantity": 1, "price": 1.0, "action": Action.BUY}, "Option")
    assert book.fills == []


# --- rounding ------------------------------------------------------------------------------------

def boundary_amounts():
    """Amounts at and around the places where rounding to six digits moves a floor or a half-up result."""
    out = []
    rng = random.Random(7)
    for n in [0, 1, 3, 826, 4_321, 99_999, 2_000_000, 3_000_000_000]:
        for edge in (n + 1 - 5e-7, n + 1 - 1e-6, n + 0.5, n + 0.5 - 5e-7, n + 0.5 + 5e-7, n + 0.4999995, n + 1.0):
            x = edge
            for _ in range(3):
                x = math.nextafter(x, -math.inf)
            for _ in range(7):
                out.append(x)
                x = math.nextafter(x, math.inf)
        out += [n + rng.random() for _ in range(5)]
    return out


def test_floor_and_half_up_rounding_at_the_edges(model):
    # One odd-lot share sold at x with a 100% tax: the tax is floor(round(x, 6)). A one-contract future
    # with multiplier 1 and a 100% tax: the tax is floor(round(x, 6) + 0.5).
    book = book_of(model, stock_tax_rate=1.0, future_tax_rate=1.0, future_multipliers={"TXF": 1.0})
    amounts = boundary_amounts()
    for i, x in enumerate(amounts):
        book.set_positions(trade(2 * i, "2330", "Sell", 1, x, order_lot=OrderLot.ODD), "Stock")
        book.set_positions(trade(2 * i + 1, "TXFR1", "Buy", 1, x, "Future"), "Future")
    assert [f["tax"] for f in book.fills] == [
        math.floor(round(x, 6) + 0.5 * (i % 2)) for x in amounts for i in range(2)]


@pytest.mark.parametrize(
    "method, args, expected",
    [
        ("stock_commission", (580.0, 0), 0),
        ("stock_commission", (580, 1000), 826),  # int price: 826.5 exactly, truncated
        ("stock_commission", (100.0, 1, True), 1),
        ("stock_tax", (580.0, 1000, False), 0),
        ("stock_tax", (580.0, 1000, True), 1740),
        ("stock_shares", (3, OrderLot.INTRADAY_ODD), 3),
        ("future_tax", ("MXF", 17_501.0, 1), 18),
        ("future_commission", ("TXF", 2), 100.0),
        ("future_multiplier", ("ZZZ1",), 2000.0),
    ],
)
def test_cost_methods_called_directly(model, method, args, expected):
    value = getattr(model.Costs(), method)(*args)
    assert (value, type(value)) == (expected, type(expected))


# --- ticks ----------------------------------------------------------------------------------------

def test_ticks_mark_entries_and_a_new_entry_starts_at_the_last_close(model):
    book = book_of(model)
    tick = {"code": "2330", "close": 575.0, "timestamp": 1.0}
    book.set_current_tick(tick)
    assert book.last_ticks == {"2330": tick} and book.book == {}
    fill(book, 0, "2330", "Buy", 1, 580.0)
    assert book.book["2330"].last_price == 575.0
    book.set_current_tick(UserDict({"code": "2330", "close": 590.0}))  # any mapping
    assert book.book["2330"].last_price == 590.0
    assert book.unrealized_pnl == 10_000.0
    book.set_current_tick({"code": "2317", "close": 1.0})  # no entry: only kept
    assert set(book.last_ticks) == {"2330", "2317"} and set(book.book) == {"2330"}
    with pytest.raises(KeyError, match="close"):
        book.set_current_tick({"code": "2330"})
    with pytest.raises(KeyError, match="code"):
        book.set_current_tick({"close": 1.0})


def test_equity_sums_every_entry(model):
    book = book_of(model)
    fill(book, 0, "2330", "Buy", 1, 580.0)
    fill(book, 1, "TXFR1", "Sell", 1, 17_500.0, product_type="Future")
    book.set_current_tick({"code": "2330", "close": 590.0})
    book.set_current_tick({"code": "TXFR1", "close": 17_490.0})
    assert book.equity() == 10_000.0 + 2_000.0 - 826 - 50.0 - 70
    entry = book.book["2330"]
    entry.last_price = 600  # an int close
    assert book.equity() == 20_000.0 + 2_000.0 - 826 - 50.0 - 70
    entry.commission = 10**400  # beyond a double
    with pytest.raises(OverflowError):
        book.equity()


# --- the surface ----------------------------------------------------------------------------------

@pytest.mark.parametrize(
    "call, message",
    [
        (lambda b: b.add_trade_record("t", "2330", Action.BUY, 1, 1.0, 1.0),
         r"add_trade_record\(\) missing 1 required positional argument: 'trade_status'"),
        (lambda b: b.add_trade_record("t", "2330", Action.BUY, 1, 1.0, 1.0, "Deal", trade_id="x"),
         r"add_trade_record\(\) got multiple values for argument 'trade_id'"),
        (lambda b: b.add_trade_record(trade_id="t", code="2330", action=Action.BUY, quantity=1, price=1.0,
                                      timestamp=1.0, status="Deal"),
         r"add_trade_record\(\) got an unexpected keyword argument 'status'"),
        (lambda b: b.set_positions({}), r"set_positions\(\) missing 1 required positional argument: 'product_type'"),
        (lambda b: b.costs.stock_commission(1.0), r"stock_commission\(\) missing 1 required positional argument: "
                                                  r"'shares'"),
        (lambda b: b.costs.stock_tax(1.0, 2, True, 4), r"stock_tax\(\) takes 4 positional arguments but 5 were given"),
        (lambda b: b.costs.stock_commission(1.0, 2, False, 4),
         r"stock_commission\(\) takes from 3 to 4 positional arguments but 5 were given"),
    ],
)
def test_argument_errors_are_pythons(model, call, message):
    with pytest.raises(TypeError, match=message):
        call(book_of(model))


def test_keyword_and_positional_calls_book_the_same(model):
    a, b = book_of(model), book_of(model)
    a.add_trade_record("t", "2330", Action.BUY, 1, 580.0, 1.0, "Deal")
    b.add_trade_record("t", "2330", Action.BUY, 1, 580.0, trade_status="Deal", timestamp=1.0)
    a.set_positions(trade(1, "2330", "Buy", 1, 580.0), "Stock")
    b.set_positions(trade=trade(1, "2330", "Buy", 1, 580.0), product_type="Stock")
    assert (a.trade_records, a.fills) == (b.trade_records, b.fills)
    assert a.costs.stock_commission(580.0, shares=1000, odd_lot=False) == 826


def test_rows_changed_by_a_user_stay_apart(model):
    book = book_of(model)
    for i in range(6):
        fill(book, i, "2330", "Buy" if i % 3 else "Sell", 1 + i, 580.0 + i)
        if i == 2:
            for rows in (book.fills, book.trade_records):
                rows[0]["note"] = "x"
                del rows[1]["code"]
                rows[1]["code"] = "moved"
    assert list(book.fills[1])[-1] == "code" and book.fills[1]["code"] == "moved"
    assert "note" not in book.fills[3] and list(book.fills[4]) == list(book.fills[5])
    assert [r["code"] for r in book.trade_records] == ["2330", "moved", "2330", "2330", "2330", "2330"]


def test_changed_containers_and_fields_are_used(model):
    book = book_of(model, stock_min_commission=1)
    fill(book, 0, "2330", "Buy", 2, 580.0)
    book.fills = UserList(book.fills)
    book.book["2330"].commission = 3  # an int field
    book.net_positions = UserDict()
    fill(book, 1, "2330", "Sell", 1, 590.0)
    assert isinstance(book.fills, UserList) and len(book.fills) == 2
    assert book.book["2330"].commission == 3 + 840 and book.net_positions == {"2330": 1000}


# --- what a user may replace ---------------------------------------------------------------------

def test_cost_settings_subclass_methods_book_the_fill(model):
    class HalfCommission(model.Costs):
        def stock_commission(self, price, shares, odd_lot=False):
            return super().stock_commission(price, shares, odd_lot) / 2

    class FlatFutures(model.Costs):
        def future_multiplier(self, code):
            return 100

    book = model.Book(HalfCommission())
    assert fill(book, 0, "2330", "Buy", 1, 580.0)["commission"] == 413.0
    book = model.Book(FlatFutures())
    row = fill(book, 0, "TXFR1", "Buy", 1, 17_500.0, product_type="Future")
    assert (book.book["TXFR1"].point_value, row["tax"]) == (100, 35)  # future_tax reads self.future_multiplier


def test_a_method_replaced_on_the_class_books_the_fill(model, monkeypatch):
    book = book_of(model)
    fill(book, 0, "2330", "Buy", 1, 580.0)
    monkeypatch.setattr(model.Costs, "stock_tax", lambda self, price, shares, is_sell: 7)
    monkeypatch.setattr(model.Costs, "stock_commission", lambda self, price, shares, odd_lot=False: 1.5)
    row = fill(book, 1, "2330", "Sell", 1, 590.0)  # the book made before the change sees it
    assert (row["commission"], row["tax"]) == (1.5, 7)
    assert book.book["2330"].commission == 826 + 1.5


def test_a_method_set_on_the_instance_books_the_fill(model):
    book = book_of(model)
    book.costs.stock_shares = lambda quantity, order_lot: quantity * 10
    row = fill(book, 0, "2330", "Buy", 3, 580.0)
    assert (row["units"], row["commission"], book.position("2330")) == (30, 24, 30)  # 24.795
    del book.costs.stock_shares
    assert fill(book, 1, "2330", "Buy", 1, 580.0)["units"] == 1000


def test_any_object_with_the_cost_methods_can_be_the_costs(model):
    class Flat:
        slippage_ticks = 0

        def stock_shares(self, quantity, order_lot):
            return quantity * 10

        def stock_commission(self, price, shares, odd_lot=False):
            return 5

        def stock_tax(self, price, shares, is_sell):
            return 2 if is_sell else 0

        def __getattr__(self, name):  # only for names not found the usual way
            raise AttributeError(name)

    book = model.Book(Flat())
    row = fill(book, 0, "2330", "Sell", 3, 580.0)
    assert (row["units"], row["commission"], row["tax"], book.position("2330")) == (30, 5, 2, -30)


@pytest.mark.parametrize(
    "change, commission, tax",
    [
        (lambda b: setattr(b.costs, "stock_commission_discount", 0.5), 420, 1770),
        (lambda b: setattr(b.costs, "stock_tax_rate", 0.0015), 840, 885),
        (lambda b: setattr(b, "costs", CostSettings(stock_min_commission=1000)), 1000, 1770),
    ],
)
def test_settings_changed_between_fills_are_read(model, change, commission, tax):
    book = book_of(model)
    fill(book, 0, "2330", "Buy", 1, 580.0)
    change(book)
    row = fill(book, 1, "2330", "Sell", 1, 590.0)
    assert (row["commission"], row["tax"]) == (commission, tax)


class Pinned:
    """A data descriptor over a setting: it answers its own value, whatever is set."""

    def __init__(self, value):
        self.value = value

    def __get__(self, obj, cls=None):
        return self.value

    def __set__(self, obj, value):
        pass


class LoudMinimum:
    """A mixin whose __getattribute__ answers stock_min_commission itself."""

    def __getattribute__(self, name):
        return 5000 if name == "stock_min_commission" else super().__getattribute__(name)


@pytest.mark.parametrize(
    "make, change, buy, sell",
    [
        # (commission, tax) of a buy then a sell of one lot at 580.0 and 590.0
        (lambda m: type("Rate", (m.Costs,), {"stock_commission_rate": Pinned(0.002)})(), None, (1160, 0), (1180, 1770)),
        (lambda m: type("Loud", (LoudMinimum, m.Costs), {})(), None, (5000, 0), (5000, 1770)),
        # the class changed after the first fill: the descriptor wins over the instance's value
        (lambda m: m.Costs(), lambda m, mp: mp.setattr(m.Costs, "stock_tax_rate", Pinned(0.0015), raising=False),
         (826, 0), (840, 885)),
    ],
    ids=["descriptor-on-subclass", "own-getattribute", "descriptor-added-later"],
)
def test_what_stands_in_front_of_a_setting_is_honoured(model, monkeypatch, make, change, buy, sell):
    book = model.Book(make(model))
    row = fill(book, 0, "2330", "Buy", 1, 580.0)
    assert (row["commission"], row["tax"]) == buy
    if change:
        change(model, monkeypatch)
    row = fill(book, 1, "2330", "Sell", 1, 590.0)
    assert (row["commission"], row["tax"]) == sell


def test_a_replaced_instance_dict_is_read(model):
    book = book_of(model)
    fill(book, 0, "2330", "Buy", 1, 580.0)
    book.costs.__dict__ = dict(vars(book.costs), stock_commission_discount=0.5, stock_tax_rate=0.0015)
    row = fill(book, 1, "2330", "Sell", 1, 590.0)
    assert (row["commission"], row["tax"]) == (420, 885)


def test_a_positions_subclass_changes_what_is_booked(model):
    class Book(model.Book):
        def set_positions(self, trade, product_type):
            super().set_positions(dict(trade, price=trade["price"] + 1), product_type)  # a house spread

    book = Book(model.Costs())
    row = fill(book, 0, "2330", "Buy", 1, 580.0)
    assert (row["price"], row["commission"]) == (581.0, 827)


def test_the_modules_entry_class_makes_new_entries(model, monkeypatch):
    class Entry(positions_module.InstrumentPosition):
        marks = []

        @property
        def last_price(self):
            return self.marks[-1] if self.marks else None

        @last_price.setter
        def last_price(self, value):
            self.marks.append(value)

    monkeypatch.setattr(positions_module, "InstrumentPosition", Entry)
    if model.Book is ReferencePositions:
        import reference.positions_book as reference_module
        monkeypatch.setattr(reference_module, "InstrumentPosition", Entry)
    book = book_of(model)
    fill(book, 0, "2330", "Buy", 1, 580.0)
    book.set_current_tick({"code": "2330", "close": 585.0})
    assert type(book.book["2330"]) is Entry and Entry.marks == [None, 580.0, 585.0]  # made, marked at the fill, ticked
    assert book.equity() == 5000.0 - 826


@pytest.mark.parametrize("field", ["quantity", "last_price", "commission", "point_value"])
def test_a_field_made_a_property_after_entries_were_booked_is_used(model, monkeypatch, field):
    def script(book):
        fill(book, 0, "2330", "Buy", 2, 580.0)
        book.set_current_tick({"code": "2330", "close": 585.0})
        fill(book, 1, "2330", "Sell", 1, 590.0)
        book.set_current_tick({"code": "2330", "close": 575.0})
        return book.equity()

    plain = book_of(model)
    expected = script(plain)
    book = book_of(model)
    fill(book, 0, "2330", "Buy", 1, 570.0)  # the entry class has been seen plain
    book.equity()
    seen = []

    def read(self):
        seen.append("get")
        return self.__dict__[field]

    def write(self, value):
        seen.append("set")
        self.__dict__[field] = value

    monkeypatch.setattr(positions_module.InstrumentPosition, field, property(read, write), raising=False)
    book.book.clear()
    assert script(book) == expected
    assert "get" in seen and ("set" in seen or field == "point_value")


def charged_twice(cls):
    """A property over the entry's commission field that stores twice what it is given."""
    cls.commission = property(lambda self: self.__dict__["commission"],
                              lambda self, value: self.__dict__.__setitem__("commission", value * 2))


class DearBook:
    """A property over the book's costs: every fill is charged as by a broker with a high minimum."""

    @property
    def costs(self):
        return CostSettings(stock_min_commission=1000)

    @costs.setter
    def costs(self, value):
        pass


@pytest.mark.parametrize(
    "case, rows, total",
    [
        ("entry property from the start", [826, 840], (826 * 2 + 840) * 2),
        ("entry property added after the first fill", [826, 840], (826 + 840) * 2),
        ("book property", [1000, 1000], 2000),
    ],
)
def test_descriptors_over_the_fields_are_honoured_at_every_fill(model, monkeypatch, case, rows, total):
    class Entry(positions_module.InstrumentPosition):
        pass

    if case == "entry property from the start":
        charged_twice(Entry)
    monkeypatch.setattr(positions_module, "InstrumentPosition", Entry)
    if model.Book is ReferencePositions:
        import reference.positions_book as reference_module
        monkeypatch.setattr(reference_module, "InstrumentPosition", Entry)
    book_class = type("Book", (DearBook, model.Book), {}) if case == "book property" else model.Book
    book = book_class(model.Costs())
    got = [fill(book, 0, "2330", "Buy", 1, 580.0)["commission"]]
    if case == "entry property added after the first fill":
        charged_twice(Entry)
    got.append(fill(book, 1, "2330", "Sell", 1, 590.0)["commission"])
    assert (got, book.book["2330"].commission) == (rows, total)


# --- native only ------------------------------------------------------------------------------------

def test_native_methods_bind_like_functions():
    book = Positions()
    t = trade(1, "2330", "Buy", 1, 580.0)
    Positions.set_positions(book, t, "Stock")  # read from the class: unbound, self passed first
    bound = book.set_positions
    bound(dict(t, trade_id="id2"), "Stock")
    assert [f["trade_id"] for f in book.fills] == ["id1", "id2"]
    assert bound.__self__ is book and Positions.equity.__name__ == "equity"
    other = SimpleNamespace(book={})  # duck-typed: any object with the attributes
    assert Positions.equity(other) == 0.0


def test_cost_methods_show_their_rules():
    import inspect
    assert str(inspect.signature(CostSettings().stock_commission)) == "(price, shares, odd_lot=False)"
    assert "stock_min_commission" in CostSettings.stock_commission.__doc__


# --- the native book against the model -------------------------------------------------------------

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
    return exact({"fills": book.fills, "trade_records": book.trade_records, "net": book.net_positions,
                  "entries": {code: vars(e) for code, e in book.book.items()}, "last_ticks": book.last_ticks})


SETTINGS = {
    "defaults": {},
    "discount and int settings": dict(stock_commission_discount=0.28, stock_lot_size=100, stock_min_commission=1,
                                      future_commission_by_root={"TXF": 40, "MXF": 12.5}),
    "slippage": dict(slippage_ticks=2),
}


@pytest.mark.parametrize("seed", [1, 2, 3])
@pytest.mark.parametrize("settings", list(SETTINGS), ids=list(SETTINGS))
def test_native_book_equals_the_model_float_for_float(settings, seed):
    results = []
    for m in MODELS.values():
        book = book_of(m, **SETTINGS[settings])
        equities = []
        for event in script(seed):
            if event[0] == "tick":
                book.set_current_tick(dict(event[1]))
            else:
                t = dict(event[1])
                book.add_trade_record(t["trade_id"], t["code"], t["action"], t["quantity"], t["price"],
                                      t.get("exchange_ts"), "Deal")
                book.set_positions(t, event[2])
            equities.append(repr(book.equity()))
        results.append((state(book), equities))
    assert results[0] == results[1]
