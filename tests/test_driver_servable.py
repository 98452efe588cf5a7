"""The feed serves only rows it may: a broker's bad rows are dropped before they are stored or streamed,
a cache file holding one fails the run naming its file and line, whatever the broker."""

import datetime
import math
import os

import polars as pl
import pytest

from fake_broker import FakeBroker, rows
from orva_mero_backtest.data import CacheOnly, cache_dir, wall_ns
from orva_mero_backtest.data.servable import refused_rows
from orva_mero_backtest.driver import Backtest, BacktestError, Instrument
from orva_mero_backtest.modules.ticker import ticker as ticker_module
from orva_mero_backtest.strategy import Strategy

DAY, WARM = "2024-01-02", "2023-12-29"
STOCK = Instrument("2330", "Stock")
HEADER = "ts,close,volume,bid_price,bid_volume,ask_price,ask_volume,tick_type\n"

# (column, bad value, the reason given for it)
BAD = [
    ("close", math.nan, "close nan is not finite"),
    ("close", math.inf, "close inf is not finite"),
    ("close", 0.0, "close 0.0 is not a price above 0"),
    ("close", -5.0, "close -5.0 is not a price above 0"),
    ("close", None, "close is empty"),
    ("volume", -1, "volume -1 is negative"),
    ("bid_price", math.nan, "bid_price nan is not finite"),
    ("ask_price", -1.0, "ask_price -1.0 is not a price from 0"),
    ("ask_volume", -2, "ask_volume -2 is negative"),
    ("ts", 0, "ts 0 is not a time"),
]
IDS = [f"{name}={value}" for name, value, _ in BAD]


@pytest.fixture(autouse=True)
def no_retry_pause(monkeypatch):
    monkeypatch.setattr(ticker_module, "RETRY_PAUSE_SECONDS", 0)


class Seen(Strategy):
    def __init__(self):
        super().__init__()
        self.ticks = []

    def on_tick(self, ctx, tick):
        self.ticks.append((tick["close"], tick["qty"], tick["is_backfilling"]))


def day_start_ts(day):
    """09:00 of ``day`` in the ticks' time convention."""
    return wall_ns(datetime.date.fromisoformat(day), datetime.time(9, 0))


def day_rows(day, bad=None):
    """Three ticks of ``day``; the middle one given ``bad`` = (column, value)."""
    columns = rows(3, start_ts=day_start_ts(day), step_ns=60_000_000_000, close=590.0)
    if bad is not None:
        columns[bad[0]][1] = bad[1]
    return columns


def cache_path(data, day, code="2330"):
    return os.path.join(cache_dir(str(data)), f"{code} {day} - ticks.csv")


@pytest.mark.parametrize("name, value, reason", BAD, ids=IDS)
def test_a_brokers_bad_row_is_dropped_before_it_is_stored_or_served(tmp_path, capsys, name, value, reason):
    broker = FakeBroker()
    broker.set_ticks("2330", DAY, day_rows(DAY, (name, value)))
    strategy = Seen()
    result = Backtest(strategy, [STOCK], DAY, DAY, api=broker, data_dir=str(tmp_path)).run()
    assert strategy.ticks == [(590.0, 1, False), (591.0, 3, False)]
    assert result.ticks == 2 and result.refused_ticks == 1
    stored = pl.read_csv(cache_path(tmp_path, DAY))
    assert stored["close"].to_list() == [590.0, 591.0]  # nothing stored that the feed cannot serve
    out = capsys.readouterr().out
    assert f"2330 {DAY}: the broker sent 1 tick(s) the feed cannot serve, dropped (row 2: {reason})" in out
    log = (tmp_path / "logs" / "error.log").read_text()  # the run's own data directory
    assert f"dropped tick of 2330 on {DAY}, row 2 of the broker's answer: {reason}" in log


def test_a_brokers_good_answer_reaches_the_feed_untouched(tmp_path):
    # A quote of 0 (no bid) is servable; the answer object itself goes on to the feed.
    columns = day_rows(DAY)
    columns["bid_price"][0] = 0.0
    broker = FakeBroker()
    broker.set_answer("2330", DAY, columns)
    strategy = Seen()
    result = Backtest(strategy, [STOCK], DAY, DAY, api=broker, data_dir=str(tmp_path), fills="trade").run()
    assert [t[0] for t in strategy.ticks] == [590.0, 590.5, 591.0] and result.refused_ticks == 0


def cache_text(day, bad_field=None):
    """A cache file of three ticks; the second row's field ``bad_field`` = (column, text)."""
    lines = [HEADER]
    for i in range(3):
        fields = [str(day_start_ts(day) + i * 60_000_000_000), f"{590.0 + i}", "1", "0", "0", "0", "0", "1"]
        if bad_field is not None and i == 1:
            fields[HEADER.strip().split(",").index(bad_field[0])] = bad_field[1]
        lines.append(",".join(fields) + "\n")
    return "".join(lines)


def shown(value):
    return "" if value is None else {math.nan: "nan", math.inf: "inf"}.get(value, str(value))


@pytest.mark.parametrize("name, value, reason", BAD, ids=IDS)
@pytest.mark.parametrize("warm_up", [False, True], ids=["main", "warm-up"])
def test_a_damaged_cache_row_fails_the_run_naming_file_and_line_with_any_broker(tmp_path, name, value, reason,
                                                                                warm_up):
    os.makedirs(cache_dir(str(tmp_path)))
    day = WARM if warm_up else DAY
    for d in (DAY, WARM):
        with open(cache_path(tmp_path, d), "w") as f:
            f.write(cache_text(d, (name, shown(value)) if d == day else None))
    strategy = Seen()
    bt = Backtest(strategy, [STOCK], DAY, DAY, *((WARM, WARM) if warm_up else (None, None)), api=FakeBroker(),
                  data_dir=str(tmp_path), module_console="none")
    with pytest.raises(BacktestError) as caught:
        bt.run()
    message = str(caught.value)
    text_reason = reason.replace(repr(value), shown(value)) if value is not None else reason
    assert f"tick cache file {cache_path(tmp_path, day)} line 3: {text_reason}" in message
    assert ("warm-up" in message) == warm_up
    assert all(t[0] > 0 for t in strategy.ticks) and not any(t[2] is False for t in strategy.ticks)


@pytest.mark.parametrize("name, value", [("volume", "-1"), ("bid_price", "-0.5"), ("ask_volume", "-3")])
def test_the_cache_only_broker_refuses_negative_quantities_and_quotes_up_front(tmp_path, name, value):
    os.makedirs(cache_dir(str(tmp_path)))
    with open(cache_path(tmp_path, DAY), "w") as f:
        f.write(cache_text(DAY, (name, value)))
    with pytest.raises(BacktestError, match=f"line 3: {name} {value} is "):
        Backtest(Seen(), [STOCK], DAY, DAY, api=CacheOnly(), data_dir=str(tmp_path))


def test_a_frame_row_from_no_file_is_named_by_instrument_and_time(tmp_path, monkeypatch):
    # A combination that makes up its own bad row (no cache file holds it).
    real = ticker_module.Ticker._Ticker__process_and_combine_ticks

    def combine(self, codes, start_from, end_to):
        frame = real(self, codes, start_from, end_to)
        return frame.with_columns(pl.when(pl.int_range(pl.len()) == 1).then(-1.0).otherwise(pl.col("close"))
                                  .alias("close"))

    monkeypatch.setattr(ticker_module.Ticker, "_Ticker__process_and_combine_ticks", combine)
    broker = FakeBroker()
    broker.set_ticks("2330", DAY, day_rows(DAY))
    strategy = Seen()
    with pytest.raises(BacktestError, match=r"a tick of 2330 at 2024-01-02 09:01:00.000 cannot be served: "
                                            r"close -1.0 is not a price above 0"):
        Backtest(strategy, [STOCK], DAY, DAY, api=broker, data_dir=str(tmp_path), module_console="none").run()
    assert strategy.ticks == []


def test_refused_rows_lists_every_bad_row_in_frame_order():
    frame = pl.DataFrame(day_rows(DAY)).vstack(pl.DataFrame(day_rows(DAY, ("close", 0.0))))
    frame = frame.vstack(pl.DataFrame(day_rows(DAY, ("volume", -4))))
    assert refused_rows(frame) == [(4, "close 0.0 is not a price above 0"), (7, "volume -4 is negative")]
    assert refused_rows(frame, limit=1) == [(4, "close 0.0 is not a price above 0")]
    assert refused_rows(pl.DataFrame(day_rows(DAY))) == []
