"""Time and volume bars from ticks, and a talipp indicator fed with them."""

import pytest
from talipp.indicators import ATR

from orva_mero_backtest.strategies.bars import Bar, Bars
from orva_mero_backtest.strategy import taipei_time

T0 = 1_704_186_000.0  # 2024-01-02 09:00:00, Taipei wall clock as epoch seconds


def feed(bars, ticks, code="TXFR1"):
    done = []
    for offset, price, qty in ticks:
        bar = bars.update({"code": code, "timestamp": T0 + offset, "close": price, "qty": qty})
        if bar is not None:
            done.append(bar)
    return done


TICKS = [(0, 100.0, 1), (30, 103.0, 2), (60, 99.0, 3), (89, 101.0, 1), (90, 102.0, 5), (200, 98.0, 1)]


@pytest.mark.parametrize("bars, expected", [
    # 90-second bars: [0, 90) and [90, 180) complete when a later tick arrives; the last one stays open
    (Bars(seconds=90), [Bar(T0, 100.0, 103.0, 99.0, 101.0, 7, T0 + 89), Bar(T0 + 90, 102.0, 102.0, 102.0, 102.0, 5, T0 + 90)]),
    # a bar per 5 traded: complete with the tick that reaches 5, which stays whole in it
    (Bars(volume=5), [Bar(T0, 100.0, 103.0, 99.0, 99.0, 6, T0 + 60), Bar(T0 + 89, 101.0, 102.0, 101.0, 102.0, 6, T0 + 90)]),
])
def test_bars_from_ticks(bars, expected):
    assert feed(bars, TICKS) == expected
    assert list(bars["TXFR1"]) == expected and list(bars["2330"]) == []


def test_each_instrument_has_its_own_bars():
    bars = Bars(volume=2)
    feed(bars, [(0, 10.0, 1), (1, 11.0, 1)], "A")
    feed(bars, [(0, 50.0, 1)], "B")
    assert [b.close for b in bars["A"]] == [11.0] and list(bars["B"]) == []


@pytest.mark.parametrize("kwargs", [{}, {"seconds": 60, "volume": 5}, {"seconds": 0}, {"volume": 0}])
def test_bars_need_one_positive_size(kwargs):
    with pytest.raises(ValueError):
        Bars(**kwargs).update({"code": "A", "timestamp": T0, "close": 1.0, "qty": 1})


def test_an_ohlcv_indicator_takes_the_bars():
    atr = ATR(2)
    for bar in [Bar(T0, 10, 12, 9, 11, 1), Bar(T0, 11, 15, 10, 14, 1), Bar(T0, 14, 14, 12, 13, 1)]:
        atr.add(bar.ohlcv())
    # true ranges 3, 5, 2: the first average (3 + 5) / 2, then Wilder's (4 * 1 + 2) / 2
    assert list(atr) == [None, 4.0, 3.0]


def test_tick_times_read_as_taipei_time():
    when = taipei_time(T0)
    assert (when.hour, when.minute, when.utcoffset().total_seconds()) == (9, 0, 8 * 3600)
    assert str(when.tzinfo) == "Asia/Taipei"
