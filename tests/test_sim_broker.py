"""The offline broker: deterministic, plausible ticks in the shape the tick feed expects."""

import hashlib
import json
import subprocess
import sys
from datetime import date, datetime, timezone

import polars as pl
import pytest

from orva_mero_backtest.sim_broker import TICK_COLUMNS, SimulatedBroker, UnknownInstrumentError, stock_tick_size

SCHEMA = {"ts": pl.Int64, "close": pl.Float64, "volume": pl.Int64, "bid_price": pl.Float64,
          "bid_volume": pl.Int64, "ask_price": pl.Float64, "ask_volume": pl.Int64, "tick_type": pl.Int64}


def day_ticks(code, day, market="Stock", broker=None):
    broker = broker or SimulatedBroker()
    table = broker.Contracts.Stocks if market == "Stock" else broker.Contracts.Futures
    return broker.ticks(contract=table[code], date=day)


def digest(ticks):
    return hashlib.sha256(json.dumps(ticks, sort_keys=True).encode()).hexdigest()


def test_same_code_and_day_give_the_same_ticks_in_every_process():
    first = day_ticks("2330", "2024-01-02")
    assert first == day_ticks("2330", "2024-01-02")
    assert first != day_ticks("2330", "2024-01-03")
    assert first["close"][:50] != day_ticks("2317", "2024-01-02")["close"][:50]
    # A salted hash() would give another seed in another process.
    script = (
        "import hashlib, json;"
        "from orva_mero_backtest.sim_broker import SimulatedBroker as B;"
        "b = B(); t = b.ticks(contract=b.Contracts.Stocks['2330'], date='2024-01-02');"
        "print(hashlib.sha256(json.dumps(t, sort_keys=True).encode()).hexdigest())"
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60,
                         env={"PYTHONHASHSEED": "12345", "PATH": ""})
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == digest(first)


@pytest.mark.parametrize(
    "code, market, opens, closes",
    [("2330", "Stock", (9, 0), (13, 30)), ("2882", "Stock", (9, 0), (13, 30)), ("TXFR1", "Future", (8, 45), (13, 45))],
)
def test_columns_hours_ladder_and_quotes(code, market, opens, closes):
    ticks = day_ticks(code, "2024-01-03", market)
    assert tuple(ticks) == TICK_COLUMNS
    n = len(ticks["ts"])
    assert n > 1000 and all(len(column) == n for column in ticks.values())
    # polars infers the dtypes the tick feed's schema wants
    assert dict(pl.DataFrame(ticks).schema) == SCHEMA
    # Taipei wall clock written as epoch time: read as UTC it shows the exchange's hours.
    times = [datetime.fromtimestamp(ts / 1e9, timezone.utc).replace(tzinfo=None) for ts in ticks["ts"]]
    assert all(a <= b for a, b in zip(ticks["ts"], ticks["ts"][1:]))
    assert times[0].time().replace(microsecond=0) == datetime(2024, 1, 3, *opens).time()
    assert all(t.date() == date(2024, 1, 3) for t in times)
    assert (times[-1].hour, times[-1].minute) <= closes
    for close, bid, ask, volume, kind in zip(ticks["close"], ticks["bid_price"], ticks["ask_price"],
                                             ticks["volume"], ticks["tick_type"]):
        size = 1.0 if market == "Future" else stock_tick_size(close)
        assert abs(close / size - round(close / size)) < 1e-6, close
        assert bid <= close <= ask and close in (bid, ask)
        assert volume >= 1 and kind in (0, 1, 2)
    closes_ = ticks["close"]
    assert max(closes_) / min(closes_) < 1.2  # inside the daily price limits


@pytest.mark.parametrize(
    "price, etf, size",
    [(9.99, False, 0.01), (10.0, False, 0.05), (49.95, False, 0.05), (50.0, False, 0.1), (100.0, False, 0.5),
     (500.0, False, 1.0), (999.0, False, 1.0), (1000.0, False, 5.0), (49.99, True, 0.01), (132.0, True, 0.05)],
)
def test_stock_tick_size_ladder(price, etf, size):
    assert stock_tick_size(price, etf) == size


def test_weekends_are_empty_and_unknown_codes_fail_clearly():
    ticks = day_ticks("TXFR1", "2024-01-06", "Future")  # a Saturday
    assert tuple(ticks) == TICK_COLUMNS and all(column == [] for column in ticks.values())
    broker = SimulatedBroker()
    with pytest.raises(UnknownInstrumentError, match="unknown stock code '9999'"):
        broker.Contracts.Stocks["9999"]
    with pytest.raises(UnknownInstrumentError, match="futures"):
        broker.Contracts.Futures["2330"]  # a stock is no futures contract
    with pytest.raises(ValueError, match="YYYY-MM-DD"):
        broker.ticks(contract=broker.Contracts.Stocks["2330"], date="2024/01/02")
