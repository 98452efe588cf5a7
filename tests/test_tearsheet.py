"""The tear sheet's figures on a fixed equity curve worked out by hand, the small-sample rule, the time
axis with after-hours trades, and the page's tables."""

import json
import math
import statistics as pystats
from datetime import date, time

import pytest

from orva_mero_backtest import stats
from orva_mero_backtest.data.clock import wall_clock_text, wall_ns
from orva_mero_backtest.driver import BacktestResult, Instrument
from orva_mero_backtest.modules.positions.positions import Positions
from orva_mero_backtest.report import summary
from orva_mero_backtest.report_axis import closed_stretches, price_text, rangebreaks, thinned
from orva_mero_backtest.report_html import render_html

from test_positions import fill as book_fill

CAPITAL = 1_000_000.0
CYCLE = [10_000.0, -5_000.0, 8_000.0, -12_000.0, 3_000.0]  # daily P&L, repeated


def at(day, hh, mm=0):
    return wall_ns(day, time(hh, mm)) / 1e9


def sessions(n):
    days, _ = stats.trading_days(date(2024, 1, 2), date(2024, 3, 29))
    return days[:n]


def result_of(days, daily_pnl, book=None, prices=None, instruments=None):
    samples, total = [(at(days[0], 9), 0.0)], 0.0
    for day, pnl in zip(days, daily_pnl):
        total += pnl
        samples.append((at(day, 13, 30), total))
    return BacktestResult("t", instruments or [Instrument("2330", "Stock")], days[0].isoformat(),
                          days[-1].isoformat(), None, None, book or Positions(), [], 0, 0, 0.0, 0.0,
                          prices or {}, samples, CAPITAL)


@pytest.fixture(scope="module")
def fixed():
    days = sessions(25)
    pnl = CYCLE * 5
    prices = {"2330": [(at(days[0], 9), 600.0), (at(days[-1], 13, 30), 630.0)]}
    return days, pnl, result_of(days, pnl, prices=prices).statistics()


def test_figures_of_a_fixed_equity_curve(fixed):
    days, pnl, s = fixed
    per_year = s.trading_days_per_year
    equity = CAPITAL
    returns = []
    for p in pnl:
        returns.append(p / equity)
        equity += p
    growth = math.prod(1 + r for r in returns)
    assert s.trading_days == 25 and not s.small_sample
    assert s.cagr_pct == pytest.approx((growth ** (per_year / 25) - 1) * 100)
    assert s.annual_volatility_pct == pytest.approx(pystats.stdev(returns) * math.sqrt(per_year) * 100)
    assert s.sharpe == pytest.approx(pystats.mean(returns) / pystats.stdev(returns) * math.sqrt(per_year))
    assert (s.best_day_pct, s.worst_day_pct) == pytest.approx((max(returns) * 100, min(returns) * 100))
    # The worst dip: 12,000 below the peak the day before; the last one never recovers.
    assert s.max_drawdown == 12_000
    assert s.calmar == pytest.approx(s.cagr_pct / s.max_drawdown_pct)
    assert s.buy_and_hold_pct == pytest.approx(5.0)
    assert s.avg_trades_per_day == 0 and s.kelly == 0 and s.expectancy == 0

    sheet = s.tear_sheet
    assert [d for d, _ in sheet.daily_returns] == days
    by_month = {}
    for day, r in zip(days, returns):
        by_month.setdefault(f"{day:%Y-%m}", []).append(r)
    assert sheet.monthly_returns_pct == pytest.approx(
        {m: (math.prod(1 + r for r in rs) - 1) * 100 for m, rs in by_month.items()})
    assert sheet.yearly_returns_pct == pytest.approx({"2024": (growth - 1) * 100})
    # A 20-day window: its first value is the Sharpe ratio of the first 20 days.
    assert sheet.rolling_window == 20 and [d for d, _ in sheet.rolling_sharpe] == days[19:]
    first = returns[:20]
    assert sheet.rolling_sharpe[0][1] == pytest.approx(pystats.mean(first) / pystats.stdev(first) * math.sqrt(per_year))

    periods = sheet.drawdown_periods
    assert len(periods) == stats.DRAWDOWN_PERIODS and [p.depth for p in periods] == [12_000] * 5
    # Deepest first, equal depths in time order: peak on day 3, trough day 4, back above on day 6.
    top = periods[0]
    assert (top.peak_ts, top.trough_ts, top.recovery_ts) == (at(days[2], 13, 30), at(days[3], 13, 30),
                                                             at(days[5], 13, 30))
    assert top.trading_days == 4 and top.depth_pct == pytest.approx(12_000 / 1_013_000 * 100)
    assert periods[-1].recovery_ts is None  # the last cycle ends under its peak
    longest = max(periods, key=lambda p: p.duration_seconds)
    assert s.max_drawdown_duration_seconds == longest.duration_seconds
    assert s.max_drawdown_duration_days == longest.trading_days


@pytest.mark.parametrize(
    "pnl, expected",
    [
        # mean 50; sample sd sqrt(45000 / 3); win rate 1/2, average win / loss 150 / 50
        ([100.0, -50.0, 200.0, -50.0], (50.0, 2 * 50 / math.sqrt(15_000), 0.5 - 0.5 / 3)),
        ([100.0, 300.0], (200.0, math.sqrt(2) * 200 / math.sqrt(20_000), None)),  # no loss: unbounded
        ([-100.0, -100.0], (-100.0, 0.0, -1.0)),  # no spread; no win
        ([40.0], (40.0, 0.0, None)),
        ([], (0.0, 0.0, 0.0)),
    ],
)
def test_expectancy_sqn_kelly(pnl, expected):
    assert stats.trade_figures(pnl) == pytest.approx(expected)


def test_trade_figures_of_a_run():
    book = Positions()
    day = date(2024, 1, 2)
    book_fill(book, "2330", "Buy", 1, 580, ts=at(day, 9))
    book_fill(book, "2330", "Sell", 1, 590, ts=at(day, 10))  # net +7,449 (day-trade tax 885)
    book_fill(book, "2330", "Buy", 1, 590, ts=at(day, 11))
    book_fill(book, "2330", "Sell", 1, 585, ts=at(day, 12))  # net -7,550 (day-trade tax 877)
    s = result_of([day], [7449 - 7550.0], book=book).statistics()
    assert s.expectancy == pytest.approx((7449 - 7550) / 2) and s.avg_trades_per_day == 2
    assert s.kelly == pytest.approx(0.5 - 0.5 / (7449 / 7550))
    assert s.sqn == pytest.approx(math.sqrt(2) * -50.5 / pystats.stdev([7449, -7550]))


@pytest.mark.parametrize("n, small", [(2, True), (19, True), (20, False)])
def test_annualised_figures_on_few_days_are_flagged(n, small):
    s = result_of(sessions(n), (CYCLE * 4)[:n]).statistics()
    assert s.small_sample is small and s.tear_sheet.small_sample is small
    texts = dict(s.rows()) | dict(r for _, rows in s.metric_rows() for r in rows)
    for label in ("Sharpe (daily, annualised)", "Sortino (daily, annualised)", "CAGR", "Annual volatility", "Calmar"):
        assert ("not meaningful" in texts[label]) is small, label
    assert ("not meaningful" in texts["Win rate"] + texts["Best day / worst day"]) is False
    page = render_html(result_of(sessions(n), (CYCLE * 4)[:n]), s, stats.equity_curve([], CAPITAL), [])
    assert ('class="warning"' in page) is small


def test_summary_keeps_the_flat_figures_and_adds_the_tables(fixed):
    days, pnl, s = fixed
    result = result_of(days, pnl)
    flat = summary(result, s)
    assert set(stats.Statistics.__dataclass_fields__) <= set(flat)  # every field is a column of a sweep's row
    assert "tear_sheet" not in flat and all(not isinstance(v, (dict, list)) for k, v in flat.items()
                                            if k not in ("instruments", "positions"))
    for key in ("cagr_pct", "annual_volatility_pct", "calmar", "max_drawdown_duration_seconds", "buy_and_hold_pct",
                "expectancy", "sqn", "kelly", "best_day_pct", "worst_day_pct", "avg_trades_per_day"):
        assert flat[key] == getattr(s, key), key
    full = json.loads(json.dumps(summary(result, s, tear_sheet=True), allow_nan=False))
    sheet = full["tear_sheet"]
    assert sheet["monthly_returns_pct"] == pytest.approx(s.tear_sheet.monthly_returns_pct, abs=1e-6)
    assert sheet["drawdown_periods"][0]["peak"] == wall_clock_text(at(days[2], 13, 30))
    assert sheet["drawdown_periods"][-1]["recovery"] is None and len(sheet["daily_returns_pct"]) == 25
    assert (sheet["small_sample"], sheet["min_annualised_days"]) == (False, 20)


# --- the time axis --------------------------------------------------------------------------------

DAY1, DAY2 = date(2024, 1, 2), date(2024, 1, 3)


def covered(stretches, ts):
    return any(a <= ts <= b for a, b in stretches)


@pytest.mark.parametrize(
    "points, futures, hidden, shown",
    [
        pytest.param(  # day sessions only: the night between them is left out
            [at(DAY1, 8, 45), at(DAY1, 13, 45), at(DAY2, 8, 45), at(DAY2, 13, 45)], True,
            [at(DAY1, 20), at(DAY2, 4)], [at(DAY1, 10), at(DAY2, 9)], id="day-only",
        ),
        pytest.param(  # an 18:30 fill opens the night session; only 13:45-15:00 and 05:00-08:45 are closed
            [at(DAY1, 8, 45), at(DAY1, 13, 45), at(DAY1, 18, 30), at(DAY2, 8, 45), at(DAY2, 13, 45)], True,
            [at(DAY1, 14, 30), at(DAY2, 6)], [at(DAY1, 18, 30), at(DAY1, 23), at(DAY2, 2), at(DAY1, 15, 30)],
            id="after-hours",
        ),
        pytest.param(  # a stock's 14:10 trade stays visible; the rest of the night is left out
            [at(DAY1, 9), at(DAY1, 13, 30), at(DAY1, 14, 10), at(DAY2, 9), at(DAY2, 13, 30)], False,
            [at(DAY1, 13, 50), at(DAY1, 20)], [at(DAY1, 14, 10), at(DAY1, 14, 10) + 59],
            id="stray-point",
        ),
    ],
)
def test_closed_hours_are_the_only_ones_left_out(points, futures, hidden, shown):
    stretches = closed_stretches(points, [DAY1, DAY2], futures)
    assert all(covered(stretches, ts) for ts in hidden)
    assert not any(covered(stretches, ts) for ts in shown)
    assert not any(covered(stretches, ts) for ts in points)


def test_rangebreaks_group_the_stretches_by_length():
    stretches = [(at(DAY1, 13, 45), at(DAY2, 8, 45)), (at(DAY2, 13, 45), at(date(2024, 1, 4), 8, 45)),
                 (at(DAY1, 5), at(DAY1, 8, 45))]
    assert rangebreaks(stretches) == [
        {"values": ["2024-01-02 05:00:00.000"], "dvalue": 3.75 * 3600_000},
        {"values": ["2024-01-02 13:45:00.000", "2024-01-03 13:45:00.000"], "dvalue": 19 * 3600_000},
    ]


def test_a_night_fill_is_on_the_page_chart_and_not_hidden():
    book = Positions()
    night = at(DAY1, 18, 30)
    book_fill(book, "TXFR1", "Buy", 1, 17600, product_type="Future", ts=at(DAY1, 9))
    book_fill(book, "TXFR1", "Sell", 1, 17650, product_type="Future", ts=night)
    result = result_of([DAY1, DAY2], [0.0, 0.0], book=book, instruments=[Instrument("TXFR1", "Future")],
                       prices={"TXFR1": [(at(DAY1, 8, 45), 17600.0), (night, 17650.0), (at(DAY2, 13, 45), 17640.0)]})
    result.equity.insert(2, (night, 9000.0))
    s = result.statistics()
    page = render_html(result, s, stats.equity_curve(result.equity, CAPITAL), [t.as_row() for t in result.round_trips()])
    assert wall_clock_text(night) in page
    assert s.max_drawdown == 9000  # the night's gain is given back by the next day's close
    at_key = page.index('"rangebreaks":') + len('"rangebreaks":')
    breaks = json.JSONDecoder().raw_decode(page[at_key:])[0]
    # Closed: 13:45 to the night session's 15:00, and its 05:00 end to the next open.
    assert sorted((b["values"][0], b["dvalue"]) for b in breaks) == [
        ("2024-01-02 13:45:01.000", 75 * 60_000 - 2000), ("2024-01-03 05:00:01.000", 225 * 60_000 - 2000)]


# --- formatting -----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "market, code, price, text",
    [("Stock", "2330", 590.0, "590"), ("Stock", "2882", 45.05, "45.05"), ("Stock", "2412", 123.5, "123.5"),
     ("Stock", "0050", 49.99, "49.99"), ("Future", "TXFR1", 17600.0, "17,600"), ("Future", "EXFR1", 1001.05, "1,001.05")],
)
def test_prices_at_tick_precision(market, code, price, text):
    assert price_text(market, code, price) == text


@pytest.mark.parametrize("seconds, text", [(1955.22, "0:32:35"), (0, "0:00:00"), (3600 * 25 + 61, "1d 1:01:01")])
def test_holding_times(seconds, text):
    assert stats.hms(seconds) == text


def test_thinning_keeps_the_extremes_and_the_ends():
    points = [(float(i), math.sin(i / 50.0) * 100 + (500 if i == 777 else 0)) for i in range(10_000)]
    kept = thinned(points, 1000)
    assert len(kept) <= 1100 and kept[0] == points[0] and kept[-1] == points[-1]
    assert max(v for _, v in kept) == max(v for _, v in points) and min(kept, key=lambda p: p[1]) == min(
        points, key=lambda p: p[1])
    assert [t for t, _ in kept] == sorted(t for t, _ in kept)


def test_a_short_closed_at_its_entry_price_shows_no_minus_zero():
    from orva_mero_backtest.report_html import round_trip_rows

    trip = {"instrument": "TXFR1", "market": "Future", "side": "Short", "entry_time": "2024-01-03 10:41:51.598",
            "entry_price": 18503.0, "exit_time": "2024-01-03 10:53:55.573", "exit_price": 18503.0, "quantity": 1,
            "gross_pnl": -0.0, "costs": 248.0, "net_pnl": -248.4, "holding_seconds": 724.0}
    row = round_trip_rows([trip])[0]
    assert row[8:11] == ["0", "248", "-248"] and row[4] == row[6] == "18,503"
