"""Statistics against figures worked out by hand on small constructed fills and equity series."""

import json
import math
import statistics as pystats
from datetime import date, time
from types import SimpleNamespace

import pytest
from hypothesis import given, settings, strategies as st

from orva_mero_backtest import stats
from orva_mero_backtest.data.clock import wall_ns
from orva_mero_backtest.costs import CostSettings
from orva_mero_backtest.driver import BacktestResult, Instrument
from orva_mero_backtest.modules.positions.positions import Positions
from orva_mero_backtest.strategy import StrategyContext

from test_positions import fill as book_fill

DAY = date(2024, 1, 2)


def at(hh, mm, day=DAY):
    return wall_ns(day, time(hh, mm)) / 1e9


def f(code, action, units, price, ts, commission=0.0, tax=0.0, position=0, product_type="Stock"):
    return {"code": code, "action": action, "units": units, "price": price, "timestamp": ts,
            "commission": commission, "tax": tax, "position": position, "product_type": product_type}


def trips_of(fills, point_values=None):
    return [(t.instrument, t.side, t.quantity, t.entry_price, t.exit_price, t.gross_pnl, t.costs, t.net_pnl)
            for t in stats.round_trips(fills, point_values or {})]


@pytest.mark.parametrize(
    "fills, expected",
    [
        pytest.param(  # open and close; costs shared per unit: (10/2 + 26/2) x 2
            [f("A", "Buy", 2, 100.0, 1, commission=10), f("A", "Sell", 2, 110.0, 2, commission=20, tax=6)],
            [("A", "Long", 2, 100.0, 110.0, 20.0, 36.0, -16.0)],
            id="long",
        ),
        pytest.param(  # partial closes of one entry
            [f("A", "Buy", 3, 100.0, 1, commission=3), f("A", "Sell", 1, 105.0, 2), f("A", "Sell", 2, 95.0, 3)],
            [("A", "Long", 1, 100.0, 105.0, 5.0, 1.0, 4.0), ("A", "Long", 2, 100.0, 95.0, -10.0, 2.0, -12.0)],
            id="partial-closes",
        ),
        pytest.param(  # one exit closes two entries, oldest first
            [f("A", "Buy", 1, 100.0, 1), f("A", "Buy", 1, 110.0, 2), f("A", "Sell", 2, 120.0, 3, commission=4)],
            [("A", "Long", 1, 100.0, 120.0, 20.0, 2.0, 18.0), ("A", "Long", 1, 110.0, 120.0, 10.0, 2.0, 8.0)],
            id="fifo",
        ),
        pytest.param(  # a reversal in one fill: closes 1 long, opens 2 short at 90
            [f("A", "Buy", 1, 100.0, 1), f("A", "Sell", 3, 90.0, 2, commission=3), f("A", "Buy", 2, 80.0, 3)],
            [("A", "Long", 1, 100.0, 90.0, -10.0, 1.0, -11.0), ("A", "Short", 2, 90.0, 80.0, 20.0, 2.0, 18.0)],
            id="reversal",
        ),
        pytest.param(  # instruments apart; a future's point value; an open rest makes no round trip
            [f("F", "Sell", 2, 17600.0, 1), f("A", "Buy", 1, 50.0, 2), f("F", "Buy", 1, 17590.0, 3)],
            [("F", "Short", 1, 17600.0, 17590.0, 2000.0, 0.0, 2000.0)],
            id="future-and-open-rest",
        ),
        pytest.param([], [], id="no-fills"),
    ],
)
def test_round_trips(fills, expected):
    assert trips_of(fills, {"F": 200.0}) == [pytest.approx(e) for e in expected]


def test_round_trip_times_and_row():
    trip = stats.round_trips([f("A", "Buy", 1, 10.0, at(9, 0)), f("A", "Sell", 1, 11.0, at(9, 30))], {})[0]
    assert trip.holding_seconds == 1800
    row = trip.as_row()
    assert list(row) == stats.ROUND_TRIP_COLUMNS
    assert (row["entry_time"], row["exit_time"]) == ("2024-01-02 09:00:00.000", "2024-01-02 09:30:00.000")


@settings(max_examples=60, deadline=None)
@given(st.lists(st.tuples(st.sampled_from(["2330", "TXFR1"]), st.booleans(), st.integers(1, 4),
                          st.integers(-5, 5)), min_size=1, max_size=25))
def test_round_trips_net_adds_up_to_the_books_net_when_flat(orders):
    """Whatever the order of entries, partial closes and reversals: once flat, FIFO round trips after
    costs add up to the positions book's net P&L (average cost)."""
    book = Positions()
    held = {"2330": 0, "TXFR1": 0}
    ts = 1.0
    for code, buy, qty, move in orders:
        market = "Stock" if code == "2330" else "Future"
        price = (590.0 if market == "Stock" else 17600.0) + move
        book_fill(book, code, "Buy" if buy else "Sell", qty, price, product_type=market, ts=ts)
        held[code] += qty if buy else -qty
        ts += 1.0
    for code, qty in held.items():  # flatten
        if qty:
            market = "Stock" if code == "2330" else "Future"
            book_fill(book, code, "Sell" if qty > 0 else "Buy", abs(qty), 600.0 if market == "Stock" else 17605.0,
                      product_type=market, ts=ts)
    trips = stats.round_trips(book.fills, {c: e.point_value for c, e in book.book.items()})
    assert sum(t.net_pnl for t in trips) == pytest.approx(book.equity(), abs=1e-6)
    assert sum(t.gross_pnl for t in trips) == pytest.approx(book.realized_pnl, abs=1e-6)


def test_equity_curve_and_max_drawdown():
    samples = [(1.0, 0.0), (2.0, 100.0), (3.0, -50.0), (4.0, 20.0), (5.0, -80.0)]
    curve = stats.equity_curve(samples, 1000.0)
    assert curve["equity"].to_list() == [1000, 1100, 950, 1020, 920]
    assert curve["drawdown"].to_list() == [0, 0, 150, 80, 180]
    worst, pct, start, end = stats.max_drawdown(curve)
    assert (worst, start, end) == (180.0, 2.0, 5.0)
    assert pct == pytest.approx(180 / 1100 * 100)


@pytest.mark.parametrize(
    "samples, expected",
    [
        ([(1.0, -10.0), (2.0, -30.0)], (30.0, 30.0, 1.0, 2.0)),  # losing from the start: peak is the capital
        ([(1.0, 0.0), (2.0, 5.0)], (0.0, 0.0, None, None)),  # never below its peak
        ([], (0.0, 0.0, None, None)),
    ],
)
def test_max_drawdown_edges(samples, expected):
    assert stats.max_drawdown(stats.equity_curve(samples, 100.0)) == pytest.approx(expected)


def test_daily_returns_sharpe_sortino_with_a_day_without_trades():
    days = [date(2024, 1, 2), date(2024, 1, 3), date(2024, 1, 4)]
    # Day 1 ends +100; day 2 has no sample at all; day 3 ends +45.
    samples = [(at(9, 0, days[0]), 0.0), (at(13, 0, days[0]), 100.0), (at(9, 0, days[2]), 60.0),
               (at(13, 0, days[2]), 45.0)]
    returns = stats.daily_returns(samples, 1000.0, days)
    assert returns == pytest.approx([0.1, 0.0, -55 / 1100])
    sharpe, sortino = stats.sharpe_sortino(returns, 245)
    mean = sum(returns) / 3
    assert sharpe == pytest.approx(mean / pystats.stdev(returns) * math.sqrt(245))
    downside = math.sqrt((55 / 1100) ** 2 / 3)
    assert sortino == pytest.approx(mean / downside * math.sqrt(245))


@pytest.mark.parametrize(
    "returns, expected",
    [
        ([0.0, 0.0, 0.0], (0.0, 0.0)),  # nothing happened
        ([0.01], (0.0, 0.0)),  # one day: no spread to measure
        ([0.01, 0.02, 0.01], (pytest.approx(0.01333 / 0.005774 * math.sqrt(245), rel=1e-3), None)),  # no down day
    ],
)
def test_ratios_without_variation_or_losses_are_zero_or_none(returns, expected):
    assert stats.sharpe_sortino(returns, 245) == expected


def test_trading_days_follow_the_exchange_calendar():
    days, per_year = stats.trading_days(date(2024, 1, 1), date(2024, 1, 7))
    assert days == [date(2024, 1, d) for d in (2, 3, 4, 5)]  # New Year's Day and the weekend are closed
    assert 230 <= per_year <= 260
    days, _ = stats.trading_days(date(2024, 1, 6), date(2024, 1, 6), seen=[date(2024, 1, 6)])
    assert days == [date(2024, 1, 6)]  # a day that had ticks counts even if the calendar has none


def test_trading_days_without_the_calendar_are_the_weekdays(monkeypatch):
    monkeypatch.setattr(stats, "_exchange_years", lambda first, last: {})
    days, per_year = stats.trading_days(date(2024, 1, 1), date(2024, 1, 7))
    assert days == [date(2024, 1, d) for d in (1, 2, 3, 4, 5)] and per_year == stats.FALLBACK_TRADING_DAYS


@pytest.mark.parametrize(
    "fills, futures, expected",
    [
        ([f("A", "Buy", 1, 1, at(10, 0), position=1), f("A", "Sell", 1, 1, at(11, 0), position=0)],
         False, 3600 / 16200),
        # Open to the end of the session; before the open counts from the open only.
        ([f("A", "Buy", 1, 1, at(8, 0), position=1)], False, 1.0),
        ([f("A", "Buy", 1, 1, at(13, 0), position=1)], False, 1800 / 16200),
        # Two instruments held at once count once.
        ([f("A", "Buy", 1, 1, at(9, 0), position=1), f("F", "Buy", 1, 1, at(9, 30), position=1),
          f("A", "Sell", 1, 1, at(10, 0), position=0), f("F", "Sell", 1, 1, at(10, 45), position=0)],
         True, 6300 / 18000),
        ([], True, 0.0),
    ],
)
def test_exposure(fills, futures, expected):
    windows = stats.session_windows([DAY, date(2024, 1, 3)][: 1], futures)
    assert stats.exposure(fills, windows) == pytest.approx(expected)


def test_exposure_spans_days_and_skips_nights():
    days = [date(2024, 1, 2), date(2024, 1, 3)]
    windows = stats.session_windows(days, futures=False)
    held = [f("A", "Buy", 1, 1, at(13, 0, days[0]), position=1), f("A", "Sell", 1, 1, at(9, 30, days[1]), position=0)]
    assert stats.exposure(held, windows) == pytest.approx((1800 + 1800) / (2 * 16200))


def result_of(book, samples, instruments, start="2024-01-02", end="2024-01-02", capital=1_000_000.0):
    return BacktestResult("t", instruments, start, end, None, None, book, [], 0, 0, 0.0, 0.0, {}, samples, capital)


def test_a_run_without_trades_gives_zeros_and_valid_json():
    samples = [(at(9, 0), 0.0), (at(10, 0), 0.0)]
    result = result_of(Positions(), samples, [Instrument("2330", "Stock")], end="2024-01-03")
    s = result.statistics()
    numbers = {k: v for k, v in s.as_dict().items() if isinstance(v, (int, float))}
    assert all(math.isfinite(v) for v in numbers.values())
    for key in ("net_pnl", "max_drawdown", "max_drawdown_pct", "sharpe", "sortino", "round_trips", "win_rate",
                "profit_factor", "exposure", "turnover", "avg_holding_seconds"):
        assert s.as_dict()[key] == 0, key
    assert s.trading_days == 2 and s.max_drawdown_start is None
    json.dumps(s.as_dict(), allow_nan=False)
    assert result.round_trips() == []
    assert [label for label, _ in s.rows()][0] == "Gross P&L (before costs)"


def test_statistics_of_a_small_run_by_hand():
    book = Positions()
    book_fill(book, "2330", "Buy", 1, 580, ts=at(9, 0))  # commission 826
    # Both sells close a same-day buy: the day-trade tax, 0.15%.
    book_fill(book, "2330", "Sell", 1, 590, ts=at(10, 0))  # commission 840, tax 885: net +7,449
    book_fill(book, "2330", "Buy", 1, 590, ts=at(11, 0))  # commission 840
    book_fill(book, "2330", "Sell", 1, 585, ts=at(12, 0))  # commission 833, tax floor(877.5): net -7,550
    samples = [(at(9, 0), -826.0), (at(10, 0), 7449.0), (at(11, 0), 6609.0), (at(12, 0), 7449 - 7550.0)]
    s = result_of(book, samples, [Instrument("2330", "Stock")]).statistics()
    assert (s.round_trips, s.win_rate) == (2, 0.5)
    assert (s.avg_win, s.avg_loss, s.largest_win, s.largest_loss) == (7449, -7550, 7449, -7550)
    assert s.profit_factor == pytest.approx(7449 / 7550)
    assert s.net_pnl == pytest.approx(7449 - 7550) and s.total_costs == 826 + 840 + 885 + 840 + 833 + 877
    assert s.gross_pnl == pytest.approx(10_000 - 5_000)
    assert s.max_drawdown == pytest.approx(7550) and s.max_drawdown_start == "2024-01-02 10:00:00.000"
    assert s.max_drawdown_end == "2024-01-02 12:00:00.000"
    assert s.exposure == pytest.approx(7200 / 16200)
    assert s.avg_holding_seconds == 3600
    assert s.traded_value == 1000 * (580 + 590 + 590 + 585) and s.turnover == pytest.approx(2.345)
    assert s.return_pct == pytest.approx(-101 / 1_000_000 * 100)


# --- slippage, units, cost settings ---------------------------------------------------------------


@pytest.mark.parametrize(
    "market, code, price, is_buy, ticks, expected",
    [
        ("Stock", "2330", 590.0, True, 2, 592.0),
        ("Stock", "2330", 500.0, False, 2, 499.0),  # below 500 the tick is 0.5
        ("Stock", "2330", 499.5, True, 2, 501.0),  # crossing 500: 0.5, then 1
        ("Stock", "2882", 45.0, False, 1, 44.95),
        ("Stock", "0050", 49.99, True, 1, 50.0),  # ETF ladder
        ("Future", "TXFR1", 17600.0, True, 3, 17603.0),
        ("Future", "MXFR1", 17600.0, False, 1, 17599.0),
        ("Stock", "2330", 590.0, True, 0, 590.0),
    ],
)
def test_slipped_price_walks_the_tick_ladder(market, code, price, is_buy, ticks, expected):
    assert CostSettings(slippage_ticks=ticks).slipped_price(market, code, price, is_buy) == pytest.approx(expected)


def test_slippage_is_booked_and_the_exchange_price_kept():
    book = Positions(CostSettings(slippage_ticks=1))
    book_fill(book, "2330", "Buy", 1, 590, ts=1.0)
    book_fill(book, "2330", "Sell", 1, 600, ts=2.0)
    buy, sell = book.fills
    assert (buy["price"], buy["exchange_price"], sell["price"], sell["exchange_price"]) == (591, 590, 599, 600)
    assert book.realized_pnl == pytest.approx(8000)
    assert buy["commission"] == math.floor(591_000 * 0.001425)  # charged on the booked price


def test_position_is_in_lots_for_stocks_and_contracts_for_futures():
    book = Positions()
    markets = {"2330": "Stock", "TXFR1": "Future"}
    ctx = StrategyContext(SimpleNamespace(positions=book, markets=markets))
    book_fill(book, "2330", "Buy", 2, 590)
    book_fill(book, "TXFR1", "Sell", 3, 17600, product_type="Future")
    assert (ctx.position("2330"), ctx.shares("2330"), ctx.position("TXFR1")) == (2, 2000, -3)
    assert type(ctx.position("2330")) is int
    book_fill(book, "2330", "Buy", 300, 590, order_lot="IntradayOdd")
    assert (ctx.position("2330"), ctx.shares("2330")) == (2.3, 2300)


@pytest.mark.parametrize(
    "overrides, message",
    [
        ({"stock_tax_rate": "nan"}, "finite"),
        ({"future_commission_per_contract": "inf"}, "finite"),
        ({"future_multipliers.TXF": "-inf"}, "finite"),
        ({"future_multipliers.TXF": "0"}, "above 0"),
        ({"default_future_multiplier": "0"}, "above 0"),
        ({"slippage_ticks": "1.5"}, "whole number"),
        ({"slippage_ticks": "-1"}, ">= 0"),
    ],
)
def test_cost_settings_refuse_unusable_numbers(overrides, message):
    with pytest.raises(ValueError, match=message):
        CostSettings.from_overrides(overrides)


@pytest.mark.parametrize("kwargs", [{"stock_tax_rate": float("nan")}, {"future_multipliers": {"TXF": 0.0}},
                                    {"slippage_ticks": 1.0}])
def test_cost_settings_constructor_refuses_them_too(kwargs):
    with pytest.raises(ValueError):
        CostSettings(**kwargs)


@pytest.mark.parametrize("capital", [0, -1.0, float("inf"), float("nan"), True, "1000"])
def test_backtest_refuses_an_unusable_capital(capital):
    from orva_mero_backtest.driver import Backtest, BacktestError
    from orva_mero_backtest.strategy import Strategy

    with pytest.raises(BacktestError, match="capital"):
        Backtest(Strategy(), [Instrument("2330", "Stock")], "2024-01-02", "2024-01-02", capital=capital)


def _series(seed, n):
    import random

    rng = random.Random(seed)
    spread = rng.choice([1e-4, 0.01, 0.05])
    # Some flat days, as a run with days without trades has them.
    return [0.0 if rng.random() < 0.2 else rng.gauss(0.0005, spread) for _ in range(n)]


@pytest.mark.parametrize("n", [2, 9, 20, 64, 130, 300])
@pytest.mark.parametrize("seed", range(4))
def test_the_ratios_are_the_libraries_floats(seed, n):
    empyrical = pytest.importorskip("empyrical")
    np, pd = pytest.importorskip("numpy"), pytest.importorskip("pandas")
    from datetime import timedelta

    returns = _series(seed, n)
    days = [date(2023, 11, 20) + timedelta(days=i + i // 5 * 2) for i in range(n)]
    values = np.asarray(returns)
    series = pd.Series(values, index=pd.DatetimeIndex([pd.Timestamp(d) for d in days]))
    sharpe, sortino = stats.sharpe_sortino(returns, 245)
    # Unbounded reads None, nothing to measure 0 (the Sharpe ratio 0 for both).
    assert sharpe == (stats._ratio(empyrical.sharpe_ratio(values, annualization=245)) or 0.0)
    assert sortino == stats._ratio(empyrical.sortino_ratio(values, annualization=245))
    figures = stats.return_figures(returns, days, 245)
    assert figures["cagr_pct"] == float(empyrical.annual_return(series, annualization=245)) * 100
    assert figures["annual_volatility_pct"] == float(empyrical.annual_volatility(series, annualization=245)) * 100
    monthly = empyrical.aggregate_returns(series, "monthly")
    assert figures["monthly"] == {f"{y:04d}-{m:02d}": float(v) * 100 for (y, m), v in monthly.items()}
    yearly = empyrical.aggregate_returns(series, "yearly")
    assert figures["yearly"] == {f"{y:04d}": float(v) * 100 for y, v in yearly.items()}
    if n >= figures["window"]:
        rolling = empyrical.roll_sharpe_ratio(series, figures["window"], annualization=245)
        assert figures["rolling"] == [(ts.date(), float(v)) for ts, v in rolling.items() if math.isfinite(v)]


@pytest.mark.parametrize(
    "returns, expected_sharpe",
    [
        ([0.01] * 30, 0.0),  # equal days: no spread, though their float mean is off by the last bit
        ([0.01] * 19 + [0.02] + [0.01] * 19, None),  # the first and last 20-day windows are equal days
    ],
)
def test_equal_days_have_no_spread(returns, expected_sharpe):
    days = [date.fromordinal(date(2024, 1, 1).toordinal() + i) for i in range(len(returns))]
    sharpe, sortino = stats.sharpe_sortino(returns, 245)
    assert sortino is None  # no down day
    if expected_sharpe is not None:
        assert sharpe == expected_sharpe
    rolling = stats.return_figures(returns, days, 245)["rolling"]
    # Windows of equal days are unbounded, so left out; each window holding the one other day is a figure.
    assert [d for d, _ in rolling] == days[19:39] and all(math.isfinite(v) and v > 0 for _, v in rolling) \
        if len(returns) == 39 else rolling == []


@pytest.mark.parametrize("pnl, mean", [
    ([0.1] * 10, 0.1),  # left-to-right addition gives 0.09999999999999999
    ([1e16, 1.0, -1e16], 1.0 / 3),  # and 0.0 here
])
def test_trade_figures_add_exactly_on_every_python(pnl, mean):
    assert stats.trade_figures(pnl)[0] == mean
