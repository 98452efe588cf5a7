import os
import subprocess
import sys

import polars as pl
import pytest

import recorders
from fake_broker import BrokerError, FakeBroker, rows
from orva_mero_backtest.modules.ticker import ticker
from orva_mero_backtest.modules.ticker.ticker import Ticker
from orva_mero_backtest.utils import format_to_dt

D1, D2, D3 = "2024-01-02", "2024-01-03", "2024-01-04"


@pytest.fixture
def report(monkeypatch):
    monkeypatch.setattr(ticker, "RETRY_PAUSE_SECONDS", 0)
    return recorders.install(monkeypatch, ticker)


def combine(t, codes, start, end):
    return t._Ticker__process_and_combine_ticks(codes, start, end)


def assert_empty_result(t, df):
    assert df.shape == (0, 9)
    assert list(df.schema.items()) == [*t.tick_df_schema.items(), ("code", pl.String)]


@pytest.mark.parametrize("codes, start, end", [
    ([{"code": "2330", "market": "Stock"}], D2, D1),
    ([], D1, D3),
])
def test_nothing_to_fetch_gives_typed_empty_frame(report, codes, start, end):
    api = FakeBroker(default_rows=5)
    t = Ticker(api)
    assert_empty_result(t, combine(t, codes, start, end))
    assert api.calls == [] and report[0].lines == []


def test_days_without_ticks_give_typed_empty_frame(report):
    api = FakeBroker()
    api.set_answer("2330", D2, {})
    t = Ticker(api)
    assert_empty_result(t, t.get_ticks_df("2330", "Stock", D1, D3))
    assert api.requests() == [D1, D2, D3]


def test_instruments_interleave_by_time_then_code(report):
    api = FakeBroker()
    api.set_ticks("B", D1, rows(3, start_ts=10, step_ns=10))  # 10, 20, 30
    api.set_ticks("A", D1, rows(2, start_ts=20, step_ns=5))   # 20, 25
    api.set_ticks("A", D2, rows(1, start_ts=5))
    t = Ticker(api)
    df = combine(t, [{"code": "B", "market": "Stock", "other": 1}, {"code": "A", "market": "Future"}], D1, D2)
    assert list(zip(df["ts"], df["code"])) == [(5, "A"), (10, "B"), (20, "A"), (20, "B"), (25, "A"), (30, "B")]
    yellow = [line for line in report[0].lines if line.startswith("[yellow]")]
    assert yellow == [f"[yellow]正在取得 {c} {d} 的 Tick 資料...[/yellow]" for c in "BA" for d in (D1, D2)]


def test_equal_time_and_code_keep_input_order(report):
    api = FakeBroker()
    same = rows(40, start_ts=1000, step_ns=0)  # one instant, closes count up
    api.set_ticks("A", D1, same)
    api.set_ticks("B", D1, rows(40, start_ts=1000, step_ns=0, close=500.0))
    api.set_ticks("A", D2, rows(40, start_ts=1000, step_ns=0, close=900.0))
    codes = [{"code": "B", "market": "Stock"}, {"code": "A", "market": "Stock"}]
    first = combine(Ticker(api), codes, D1, D2)
    a_closes = first.filter(pl.col("code") == "A")["close"].to_list()
    assert a_closes == same["close"] + [900.0 + i * 0.5 for i in range(40)]
    assert first["code"].to_list() == ["A"] * 80 + ["B"] * 40
    assert combine(Ticker(api), codes, D1, D2).equals(first)  # now from the cache


def test_code_listed_twice_is_fetched_twice(report):
    api = FakeBroker()
    api.set_ticks("2330", D1, rows(2))
    t = Ticker(api)
    df = combine(t, [{"code": "2330", "market": "Stock"}] * 2, D1, D1)
    assert df.height == 4 and api.requests() == [D1]  # the second fetch reads the cache


def test_first_market_recorded_wins(report):
    api = FakeBroker()
    api.set_ticks("X", D3, rows(1))
    t = Ticker(api)
    combine(t, [{"code": "X", "market": "Stock"}, {"code": "X", "market": "Future"}], D2, D1)
    assert t.code_market_map == {"X": "Stock"}
    t.get_ticks_df("X", "Future", D3, D3)
    assert t.code_market_map == {"X": "Stock"}
    assert [c.market for c in api.calls] == ["Future"]
    t.get_ticks_df("Y", None, D2, D1)  # the market is not checked here
    assert t.code_market_map == {"X": "Stock", "Y": None}
    assert len(vars(t)) == 10


def test_failing_day_is_retried_then_range_goes_on(report):
    console, logger = report
    api = FakeBroker(default_rows=1)
    api.fail("2330", D1, times=2, error=BrokerError("timeout"))
    df = Ticker(api).get_ticks_df("2330", "Stock", D1, D2)
    assert df.height == 2 and api.requests() == [D1, D1, D1, D2]
    assert console.matching("[red]下載") == ["[red]下載 2330 2024-01-02 的 Tick 資料失敗, 錯誤訊息: timeout[/red]"] * 2
    records = logger.records
    assert len(records) == 2 and list(records[0]) == ["error", "traceback", "data"]
    assert records[0]["error"] == "timeout" and "BrokerError: timeout" in records[0]["traceback"]
    assert records[0]["data"] == {"code": "2330", "date": format_to_dt(D1).timestamp()}
    assert isinstance(records[0]["data"]["date"], float)


def test_third_failure_is_raised_to_the_caller(report):
    console, logger = report
    api = FakeBroker(default_rows=1)
    api.fail("B", D2, times=10, error=BrokerError("down"))
    codes = [{"code": "A", "market": "Stock"}, {"code": "B", "market": "Stock"}, {"code": "C", "market": "Stock"}]
    with pytest.raises(BrokerError, match="down"):
        combine(Ticker(api), codes, D1, D3)
    assert api.requests("B") == [D1, D2, D2, D2] and api.requests("C") == []
    assert len(logger.records) == 3


def test_pause_between_attempts_is_read_when_used(report, monkeypatch):
    sleeps = []

    class Clock:
        @staticmethod
        def sleep(seconds):
            sleeps.append(seconds)

    monkeypatch.setattr(ticker, "time", Clock)
    monkeypatch.setattr(ticker, "RETRY_PAUSE_SECONDS", 0.25)
    api = FakeBroker()
    api.fail("2330", D1, times=3)
    with pytest.raises(BrokerError):
        Ticker(api).get_ticks_df("2330", "Stock", D1, D1)
    assert sleeps == [0.25, 0.25]  # between attempts, not after the last


def test_errors_outside_the_day_attempt_reach_the_caller(report):
    api = FakeBroker()
    with pytest.raises(KeyError):
        combine(Ticker(api), [{"code": "2330"}], D1, D1)
    with pytest.raises(ValueError):
        combine(Ticker(api), [], "2024/01/02", D1)
    assert api.calls == [] and report[1].texts == []


EXIT_SCRIPT = r"""
import sys, threading, time
sys.path.insert(0, {tests!r})
from fake_broker import FakeBroker
from orva_mero_backtest.constant import BASIC_INFO
BASIC_INFO.data_dir = {data_dir!r}
from orva_mero_backtest.modules.ticker import ticker
ticker.console = type("Quiet", (), {{"print": lambda self, text: None}})()
ticker.logger = type("Quiet", (), {{"error": lambda self, text: None}})()
ticker.RETRY_PAUSE_SECONDS = 0.05
api = FakeBroker(default_rows=2, delay=0.05)
api.fail("B", "2024-01-02", times=2)
t = ticker.Ticker(api)
codes = [{{"code": c, "market": "Stock"}} for c in ("A", "B", "C")]
threading.Thread(target=t.get_ticks_df, args=("A", "Stock", "2024-01-01", "2024-12-31"), daemon=True).start()
threading.Thread(target=t._Ticker__process_and_combine_ticks, args=(codes, "2024-01-01", "2024-12-31"),
                 daemon=True).start()
time.sleep({wait})
"""


@pytest.mark.parametrize("wait", [0.0, 0.12, 0.3])
def test_process_exits_cleanly_while_combinations_run_in_daemon_threads(tmp_path, wait):
    script = EXIT_SCRIPT.format(tests=os.path.dirname(__file__), data_dir=str(tmp_path / "exit"), wait=wait)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60,
                          cwd=tmp_path)
    assert (done.returncode, done.stderr) == (0, "")
