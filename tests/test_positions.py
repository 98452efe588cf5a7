"""The positions book: average cost, P&L and Taiwan costs, against figures worked out by hand."""

import pytest

from orva_mero_backtest.constant import Action, OrderLot
from orva_mero_backtest.costs import CostSettings, future_root
from orva_mero_backtest.modules.positions.positions import Positions


def deal(code, action, quantity, price, product_type="Stock", order_lot=OrderLot.COMMON, ts=1.0):
    """A fill as the exchange hands it to the book: a copy of the order record with deal values."""
    record = {
        "trade_id": f"id-{code}-{action}-{price}",
        "code": code,
        "product_type": product_type,
        "action": Action.from_value(action),
        "price": float(price),
        "quantity": quantity,
        "exchange_ts": ts,
    }
    if product_type == "Stock":
        record["order_lot"] = order_lot
    return record


def fill(book, *args, **kwargs):
    trade = deal(*args, **kwargs)
    book.add_trade_record(
        trade_id=trade["trade_id"], code=trade["code"], action=trade["action"], quantity=trade["quantity"],
        price=trade["price"], timestamp=trade["exchange_ts"], trade_status="Deal",
    )
    book.set_positions(trade, trade["product_type"])


def tick(code, close):
    return {"market_type": "Stock", "timestamp": 2.0, "code": code, "close": close, "qty": 1, "tick_type": 1,
            "is_simulate": False, "is_backfilling": False}


def test_stock_round_trip_costs_and_tax():
    book = Positions()
    fill(book, "2330", "Buy", 2, 580)  # 1,160,000: commission floor(1,653.0) = 1,653
    fill(book, "2330", "Sell", 2, 590)  # 1,180,000: commission floor(1,681.5) = 1,681, tax 3,540
    entry = book.book["2330"]
    assert (entry.quantity, entry.commission, entry.tax) == (0, 1653 + 1681, 3540)
    assert book.realized_pnl == pytest.approx(20_000)  # 10 x 2,000 shares
    assert book.unrealized_pnl == 0
    assert book.equity() == pytest.approx(20_000 - 1653 - 1681 - 3540)  # 13,126
    assert [f["tax"] for f in book.fills] == [0, 3540]
    assert [r["trade_status"] for r in book.trade_records] == ["Deal", "Deal"]


@pytest.mark.parametrize(
    "discount, quantity, price, order_lot, expected",
    [
        (1.0, 1, 10.0, OrderLot.COMMON, 20),  # 14.25 is under the minimum fee
        (0.6, 3, 100.0, OrderLot.COMMON, 256),  # 300,000 x 0.1425% x 0.6 = 256.5, truncated
        (0.6, 10, 50.0, OrderLot.ODD, 1),  # 10 shares: 0.4275, odd-lot minimum 1
        (1.0, 500, 600.0, OrderLot.INTRADAY_ODD, 427),  # 300,000 x 0.1425% = 427.5 for 500 shares
    ],
)
def test_stock_commission_discount_minimum_and_odd_lots(discount, quantity, price, order_lot, expected):
    book = Positions(CostSettings(stock_commission_discount=discount))
    fill(book, "2330", "Buy", quantity, price, order_lot=order_lot)
    assert book.book["2330"].commission == expected
    shares = quantity if order_lot in (OrderLot.ODD, OrderLot.INTRADAY_ODD) else quantity * 1000
    assert book.position("2330") == shares


def test_average_cost_and_marking_at_the_last_tick():
    book = Positions()
    book.set_current_tick(tick("2317", 100.0))
    fill(book, "2317", "Buy", 1, 100)
    fill(book, "2317", "Buy", 1, 110)
    assert book.book["2317"].avg_price == pytest.approx(105.0)
    fill(book, "2317", "Sell", 1, 120)
    entry = book.book["2317"]
    assert (entry.quantity, entry.avg_price) == (1000, pytest.approx(105.0))
    assert entry.realized_pnl == pytest.approx(15_000)  # (120 - 105) x 1,000
    book.set_current_tick(tick("2317", 100.0))
    assert book.unrealized_pnl == pytest.approx(-5_000)  # (100 - 105) x 1,000
    # 100,000 -> 142; 110,000 -> 156; 120,000 -> 171 plus tax 360
    assert book.commission + book.tax == 142 + 156 + 171 + 360
    assert book.equity() == pytest.approx(15_000 - 5_000 - 829)


def test_futures_multiplier_costs_and_crossing_zero():
    book = Positions()
    fill(book, "TXFR1", "Buy", 2, 17_500, product_type="Future")
    fill(book, "TXFR1", "Sell", 3, 17_600, product_type="Future")
    entry = book.book["TXFR1"]
    assert entry.realized_pnl == pytest.approx(100 * 2 * 200)  # 40,000 on the two closed contracts
    assert (entry.quantity, entry.avg_price) == (-1, 17_600)  # the third opens a short at the fill price
    assert entry.commission == 5 * 50
    assert entry.tax == 140 + 211  # 17,500 x 200 x 2 x 0.002% = 140; 211.2 rounds to 211
    book.set_current_tick(tick("TXFR1", 17_650.0))
    assert book.unrealized_pnl == pytest.approx(-50 * 200)
    assert book.equity() == pytest.approx(40_000 - 10_000 - 250 - 351)


@pytest.mark.parametrize(
    "code, price, multiplier, tax",
    [
        ("MXFR1", 17_501, 50, 18),  # 17.501 rounds to 18
        ("TMFR1", 17_500, 10, 4),  # 3.5 rounds half up to 4
        ("TXF202401", 17_500, 200, 70),
        ("CDFR1", 100, 2000, 4),  # a stock future: 2,000 shares, tax 4.0
    ],
)
def test_futures_tax_rounding_and_contract_sizes(code, price, multiplier, tax):
    book = Positions()
    fill(book, code, "Buy", 1, price, product_type="Future")
    assert book.book[code].point_value == multiplier
    assert book.book[code].tax == tax


def test_book_is_true_and_ignores_an_empty_fill():
    # The exchange replaces a false positions book with a new one, so an empty book must still be true.
    book = Positions()
    assert book
    fill(book, "2330", "Buy", 0, 580)
    assert book.fills == [] and book.commission == 0
    assert book.position("2330") == 0


@pytest.mark.parametrize(
    "overrides, check",
    [
        ({"stock_commission_discount": "0.6"}, lambda c: c.stock_commission_discount == 0.6),
        ({"future_multipliers.txf": "100"}, lambda c: c.future_multipliers["TXF"] == 100 and c.future_multipliers["MXF"] == 50),
        ({"stock_lot_size": "1"}, lambda c: c.stock_lot_size == 1 and isinstance(c.stock_lot_size, int)),
    ],
)
def test_cost_settings_from_text(overrides, check):
    assert check(CostSettings.from_overrides(overrides))


@pytest.mark.parametrize(
    "overrides, message",
    [
        ({"nope": "1"}, "unknown cost setting"),
        ({"stock_tax_rate": "abc"}, "needs a number"),
        ({"stock_tax_rate": "-0.1"}, ">= 0"),
        ({"future_multipliers": "3"}, "is a table"),
    ],
)
def test_cost_settings_refuse_bad_text(overrides, message):
    with pytest.raises(ValueError, match=message):
        CostSettings.from_overrides(overrides)


def test_future_root():
    assert [future_root(c) for c in ("TXFR1", "MXF202403", "tmfr2")] == ["TXF", "MXF", "TMF"]
