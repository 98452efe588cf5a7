"""The run's life with a failing feed: a warm-up cut short, threads after failed runs, damaged caches."""

import datetime
import os
import threading

import pytest

from orva_mero_backtest import cli
from orva_mero_backtest.data import CacheOnly, cache_dir
from orva_mero_backtest.driver import Backtest, BacktestError, Instrument
from orva_mero_backtest.modules.ticker import ticker as ticker_module
from orva_mero_backtest.strategy import Strategy

HEADER = "ts,close,volume,bid_price,bid_volume,ask_price,ask_volume,tick_type\n"
DAY, WARM = "2024-01-02", "2023-12-29"
STOCK = Instrument("2330", "Stock")


def ns(day, minute=1):
    return int(datetime.datetime.fromisoformat(f"{day}T09:{minute:02d}:00+08:00").timestamp() * 1e9)


def write(data, day, body, code="2330"):
    os.makedirs(cache_dir(str(data)), exist_ok=True)
    path = os.path.join(cache_dir(str(data)), f"{code} {day} - ticks.csv")
    with open(path, "w") as f:
        f.write(body)
    return path


def good(day, n=2):
    return HEADER + "".join(f"{ns(day, i + 1)},{590.0 + i},1,0,0,0,0,1\n" for i in range(n))


@pytest.fixture(autouse=True)
def no_retry_pause(monkeypatch):
    monkeypatch.setattr(ticker_module, "RETRY_PAUSE_SECONDS", 0)


class Seen(Strategy):
    def __init__(self):
        super().__init__()
        self.ticks = []
        self.ended = 0

    def on_tick(self, ctx, tick):
        self.ticks.append((tick["close"], tick["is_backfilling"]))

    def on_backfill_end(self, ctx):
        self.ended += 1


def failing_warm_up(monkeypatch, data):
    """A cache whose warm-up day fails in the feed (its combination raises)."""
    write(data, DAY, good(DAY))
    write(data, WARM, good(WARM))
    real = ticker_module.Ticker._Ticker__process_and_combine_ticks

    def combine(self, codes, start_from, end_to):
        if start_from == WARM:
            raise OSError("disk gone")
        return real(self, codes, start_from, end_to)

    monkeypatch.setattr(ticker_module.Ticker, "_Ticker__process_and_combine_ticks", combine)


def backtest(strategy, data, **kwargs):
    return Backtest(strategy, [STOCK], DAY, DAY, WARM, WARM, api=CacheOnly(), data_dir=str(data), **kwargs)


def test_a_failed_warm_up_fails_the_run_with_one_line_and_no_traceback(monkeypatch, tmp_path, capfd):
    failing_warm_up(monkeypatch, tmp_path)
    strategy = Seen()
    with pytest.raises(BacktestError, match=r"warm-up \(2023-12-29 to 2023-12-29\) failed part-way: OSError: disk gone"):
        backtest(strategy, tmp_path).run()
    assert strategy.ticks == []  # the main range was not traded on a partial warm-up
    err = capfd.readouterr().err
    assert "Traceback" not in err


def test_a_failed_warm_up_goes_on_when_allowed(monkeypatch, tmp_path, capfd):
    failing_warm_up(monkeypatch, tmp_path)
    strategy = Seen()
    bt = backtest(strategy, tmp_path, allow_partial_backfill=True)
    result = bt.run()
    assert strategy.ticks == [(590.0, False), (591.0, False)] and strategy.ended == 1
    assert result.ticks == 2 and result.backfill_ticks == 0
    assert "disk gone" in bt.backfill_failure
    assert "Traceback" not in capfd.readouterr().err


@pytest.mark.parametrize("allow", [False, True])
def test_command_line_fails_a_partial_warm_up_with_exit_1_and_no_report(monkeypatch, tmp_path, capsys, allow):
    failing_warm_up(monkeypatch, tmp_path)
    reports = tmp_path / "reports"
    argv = ["--stock", "2330", "--start", DAY, "--backfill-start", WARM, "--broker", "cache", "--data-dir",
            str(tmp_path), "--report-dir", str(reports), "--quiet"] + (["--allow-partial-backfill"] if allow else [])
    code = cli.main(argv)
    err = capsys.readouterr().err
    if allow:
        assert code == 0 and len(os.listdir(reports)) == 1
    else:
        assert code == 1 and not reports.exists()
        assert [line for line in err.splitlines() if "error:" in line] == [
            line for line in err.splitlines() if "warm-up (2023-12-29 to 2023-12-29) failed part-way" in line]
