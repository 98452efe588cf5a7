"""Securities transaction tax by kind of sale: a day trade netted against a same-day buy, an ETF, an
ordinary sell; on the native book and the Python model, with the amounts worked out by hand."""

import datetime

import pytest

from orva_mero_backtest.constant import Action
from orva_mero_backtest.costs import CostSettings
from orva_mero_backtest.modules.positions.positions import Positions
from reference.positions_book import ReferenceCosts, ReferencePositions

MODELS = {"native": (Positions, CostSettings), "reference": (ReferencePositions, ReferenceCosts)}


@pytest.fixture(params=list(MODELS))
def book(request):
    Book, Costs = MODELS[request.param]
    return Book(Costs())


def at(day, seconds=9 * 3600):
    """Market time of a day ("YYYY-MM-DD") plus seconds after Taipei midnight."""
    d = datetime.date.fromisoformat(day)
    return (d - datetime.date(1970, 1, 1)).days * 86400.0 + seconds


def fill(book, action, lots, price, ts, code="2330"):
    n = len(book.fills)
    book.set_positions({"trade_id": f"t{n}", "code": code, "action": Action.from_value(action), "price": price,
                        "quantity": lots, "exchange_ts": ts}, "Stock")
    return book.fills[-1]["tax"]


# Each script: (action, lots, day, seconds after midnight); 2330 at 600, so a lot sold is worth 600,000:
# 0.3% is 1,800 and the day-trade 0.15% is 900.
@pytest.mark.parametrize("script, taxes", [
    pytest.param([("Buy", 1, "2024-01-02", 0), ("Sell", 1, "2024-01-02", 60)], [0, 900], id="same-day round trip"),
    pytest.param([("Buy", 1, "2024-01-02", 0), ("Sell", 1, "2024-01-03", 0)], [0, 1800], id="held overnight"),
    pytest.param([("Buy", 1, "2024-01-02", 0), ("Buy", 1, "2024-01-03", 0), ("Sell", 2, "2024-01-03", 60)],
                 [0, 0, 900 + 1800], id="a sell netted in part"),
    pytest.param([("Buy", 2, "2024-01-02", 0), ("Sell", 1, "2024-01-02", 60), ("Sell", 1, "2024-01-02", 120),
                  ("Sell", 1, "2024-01-02", 180)], [0, 900, 900, 1800], id="buys netted once"),
    # Sell first, then buy back: the sell pays the full rate when it is booked (the buy is not known yet).
    pytest.param([("Sell", 1, "2024-01-02", 0), ("Buy", 1, "2024-01-02", 60), ("Sell", 1, "2024-01-02", 120)],
                 [1800, 0, 1800], id="sell first"),
    pytest.param([("Buy", 1, "2028-01-03", 0), ("Sell", 1, "2028-01-03", 60)], [0, 1800], id="after the law's end"),
    pytest.param([("Buy", 1, "2027-12-31", 0), ("Sell", 1, "2027-12-31", 60)], [0, 900], id="its last day"),
    pytest.param([("Buy", 1, "2017-04-27", 0), ("Sell", 1, "2017-04-27", 60)], [0, 1800], id="before it"),
])
def test_day_trade_tax(book, script, taxes):
    assert [fill(book, a, lots, 600.0, at(day, 9 * 3600 + s)) for a, lots, day, s in script] == taxes


@pytest.mark.parametrize("day2", ["2024-01-02", "2024-01-03"], ids=["day trade", "overnight"])
def test_etf_sells_pay_the_etf_rate(book, day2):
    fill(book, "Buy", 3, 150.5, at("2024-01-02"), code="0050")
    assert fill(book, "Sell", 3, 150.5, at(day2, 10 * 3600), code="0050") == 451  # 451,500 x 0.1% = 451.5


def test_settings_change_the_rates(book):
    book.costs.stock_day_trade_tax_rate = 0.001
    book.costs.etf_tax_rate = 0.0
    book.costs.day_trade_tax_until = 20231231
    fill(book, "Buy", 1, 600.0, at("2023-12-29"))
    fill(book, "Buy", 1, 20.0, at("2023-12-29"), code="00878")
    taxes = [fill(book, "Sell", 1, 600.0, at("2023-12-29", 36000)), fill(book, "Sell", 1, 20.0, at("2023-12-29"), "00878")]
    fill(book, "Buy", 1, 600.0, at("2024-01-02"))
    assert taxes + [fill(book, "Sell", 1, 600.0, at("2024-01-02", 36000))] == [600, 0, 1800]


@pytest.mark.parametrize("model", list(MODELS))
def test_a_replaced_tax_gets_the_details_it_asks_for(model):
    Book, Costs = MODELS[model]
    seen = []

    class Old(Costs):
        def stock_tax(self, price, shares, is_sell):
            seen.append(("old", shares, is_sell))
            return 1

    class New(Costs):
        def stock_tax(self, price, shares, is_sell, **details):
            seen.append(("new", shares, details))
            return 2

    for Cls in (Old, New):
        book = Book(Cls())
        fill(book, "Buy", 1, 600.0, at("2024-01-02"))
        fill(book, "Sell", 1, 600.0, at("2024-01-02", 36000))
    assert seen == [
        ("old", 1000, False), ("old", 1000, True),
        ("new", 1000, {"code": "2330", "day_trade_shares": 0, "day": 20240102}),
        ("new", 1000, {"code": "2330", "day_trade_shares": 1000, "day": 20240102}),
    ]


def test_keyword_only_details():
    costs = CostSettings()
    with pytest.raises(TypeError, match=r"takes 4 positional arguments but 5 were given"):
        costs.stock_tax(600.0, 1000, True, "2330")
    assert costs.stock_tax(600.0, 1000, True, code="2330", day_trade_shares=400, day=20240102) == 360 + 1080


@pytest.mark.parametrize("overrides, expected", [
    ({"future_margins.TXF": "200000"}, ("future_margins", {"TXF": 200_000.0, "MXF": 84_500.0, "TMF": 16_900.0,
                                                           "EXF": 473_000.0, "FXF": 150_000.0})),
    ({"future_maintenance_margins.tmf": "10000"}, ("future_maintenance_margins", {
        "TXF": 259_000.0, "MXF": 64_750.0, "TMF": 10_000.0, "EXF": 363_000.0, "FXF": 115_000.0})),
    ({"day_trade_tax_until": "20241231"}, ("day_trade_tax_until", 20241231)),
    ({"etf_tax_rate": "0"}, ("etf_tax_rate", 0.0)),
])
def test_the_new_settings_from_text(overrides, expected):
    name, value = expected
    costs = CostSettings.from_overrides(overrides)
    assert getattr(costs, name) == value and type(getattr(costs, name)) is type(value)


def test_margin_lookups_by_root():
    costs = CostSettings()
    assert (costs.future_margin("TXF202401"), costs.future_maintenance_margin("MXFR1"), costs.future_margin("CDFR1")) == (
        338_000.0, 64_750.0, 0.0)
