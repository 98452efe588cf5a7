"""The run's life with a failing feed: a warm-up cut short, threads after failed runs, damaged caches."""

import datetime
import os
import threading
import time

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


@pytest.mark.parametrize("warm_up", [False, True])
def test_failed_runs_leave_no_thread_behind(tmp_path, warm_up):
    # The sender waits for a permit the failed run never deposits; a warm-up behind an empty main
    # range waits for its next one. Each run must end its feed's threads.
    write(tmp_path, DAY, good(DAY, 5))
    write(tmp_path, WARM, good(WARM, 5))

    class Raises(Strategy):
        def on_tick(self, ctx, tick):
            raise RuntimeError("boom")

    def once():
        bt = Backtest(Raises(), [STOCK], DAY, DAY, *((WARM, WARM) if warm_up else (None, None)), api=CacheOnly(),
                      data_dir=str(tmp_path), module_console="none")
        with pytest.raises(BacktestError, match="boom"):
            bt.run()
        return bt

    once()  # the first run's one-off threads (none expected, but not counted)
    before = threading.active_count()
    for _ in range(20):
        bt = once()
    for thread in ticker_module.feed_threads(bt.ticker):
        thread.join(timeout=5)
        assert not thread.is_alive()
    # The exchange's receivers end on their own soon after close(); the feed's must not linger at all.
    deadline = time.monotonic() + 5
    while threading.active_count() > before and time.monotonic() < deadline:
        time.sleep(0.01)
    assert threading.active_count() <= before, threading.enumerate()


def test_end_feed_ends_a_waiting_sender_and_a_waiting_backfill():
    import polars as pl

    frame = pl.DataFrame({"ts": [ns(DAY, 1), ns(DAY, 2)], "close": [1.0, 2.0], "volume": [1, 1],
                          "bid_price": [0.0] * 2, "bid_volume": [0] * 2, "ask_price": [0.0] * 2,
                          "ask_volume": [0] * 2, "tick_type": [1] * 2, "code": ["2330"] * 2})

    class Feed(ticker_module.Ticker):
        def _Ticker__process_and_combine_ticks(self, codes, start_from, end_to):
            self.code_market_map["2330"] = "Stock"
            return frame

    t = Feed(object())
    t.send_ticks([{"code": "2330", "market": "Stock"}], DAY, DAY, WARM, WARM)
    assert t.tick_queue.get(timeout=5)["is_backfilling"] is True  # the constructor's permit
    threads = ticker_module.feed_threads(t)
    assert len(threads) == 2
    ticker_module.end_feed(t)
    for thread in threads:
        thread.join(timeout=5)
        assert not thread.is_alive()
    assert t.tick_queue.qsize() == 0
    # No permit lost and none made up: the next run's first tick needs one allow_next_tick.
    t.send_ticks([{"code": "2330", "market": "Stock"}], DAY, DAY)
    t.allow_next_tick()
    assert t.tick_queue.get(timeout=5)["close"] == 1.0
    ticker_module.end_feed(t)
    ticker_module.end_feed(object())  # a ticker that never streamed: nothing to end


ROW = f"{ns(DAY)},590.0,1,0,0,0,0,1\n"


@pytest.mark.parametrize("body, where", [
    (HEADER + ROW.replace("590.0", "abc"), "line 2: close 'abc' is not a number"),
    (HEADER + ROW[:-9], "line 2: the last row is cut short"),
    ("", "is empty"),
    ("ts,price,volume\n" + ROW, "line 1: header 'ts,price,volume', expected ts,close,volume"),
    (HEADER + ROW + "," + ROW.split(",", 1)[1], "line 3: ts is empty"),
    (HEADER + ROW.replace("590.0", ""), "line 2: close is empty"),
    (HEADER + ROW.replace("590.0", "nan"), "line 2: close nan is not finite"),
    (HEADER + ROW.replace("590.0", "inf"), "line 2: close inf is not finite"),
    (HEADER + ROW.replace("590.0", "0"), "line 2: close 0 is not a price above 0"),
    (HEADER + ROW.replace("590.0", "-5"), "line 2: close -5 is not a price above 0"),
    (HEADER + ROW.replace(str(ns(DAY)), "1.704186001e18"), "line 2: ts '1.704186001e18' is not an integer"),
    (HEADER + ROW.replace(",1\n", "\n"), "line 2: 7 fields, expected 8"),
    ("dangling", "is a link to"),
], ids=["text price", "truncated", "empty", "header", "empty ts", "empty close", "nan", "inf", "zero", "negative",
        "float ts", "short row", "dangling symlink"])
def test_a_damaged_cache_is_refused_up_front_naming_file_line_and_fault(tmp_path, body, where):
    if body == "dangling":
        os.makedirs(cache_dir(str(tmp_path)))
        path = os.path.join(cache_dir(str(tmp_path)), f"2330 {DAY} - ticks.csv")
        os.symlink(str(tmp_path / "gone.csv"), path)
    else:
        path = write(tmp_path, DAY, body)
    with pytest.raises(BacktestError) as caught:
        Backtest(Seen(), [STOCK], DAY, DAY, api=CacheOnly(), data_dir=str(tmp_path))
    message = str(caught.value)
    assert path in message and where in message and "import it first" not in message


def test_a_file_the_feed_cannot_read_is_reported_as_damaged_not_missing(tmp_path, capsys, monkeypatch):
    # Damaged after the check (between the check and the run): the feed's fallback to the broker says why,
    # looking in the run's own data directory (not the package's).
    from orva_mero_backtest.constant import BASIC_INFO

    monkeypatch.setattr(BASIC_INFO, "data_dir", str(tmp_path / "elsewhere"))
    write(tmp_path, DAY, good(DAY))
    bt = Backtest(Seen(), [STOCK], DAY, DAY, api=CacheOnly(), data_dir=str(tmp_path))
    path = write(tmp_path, DAY, HEADER + ROW.replace("590.0", "abc"))
    with pytest.raises(BacktestError, match="line 2: close 'abc' is not a number") as caught:
        bt.run()
    assert "import it first" not in str(caught.value)
    assert "無法讀取" in capsys.readouterr().out  # the feed's own line, no longer filtered out


def test_a_cache_sweep_stops_before_its_first_run_when_the_cache_is_damaged(tmp_path, capsys):
    write(tmp_path, DAY, HEADER + ROW.replace("590.0", "nan"))
    code = cli.main(["sweep", "--stock", "2330", "--start", DAY, "--no-backfill", "--broker", "cache", "--data-dir",
                     str(tmp_path), "--report-dir", str(tmp_path / "sweeps"), "--strategy", "sample",
                     "--param", "ma_qty=1:2"])
    err = capsys.readouterr().err
    assert code == 2 and "line 2: close nan is not finite" in err
    assert not (tmp_path / "sweeps").exists() or not any((tmp_path / "sweeps").rglob("*.csv"))


def test_backtests_with_different_data_dirs_each_read_their_own(tmp_path, monkeypatch):
    from orva_mero_backtest.constant import BASIC_INFO

    monkeypatch.setattr(BASIC_INFO, "data_dir", str(tmp_path / "elsewhere"))
    dirs = [tmp_path / "a", tmp_path / "b"]
    write(dirs[0], DAY, HEADER + ROW)
    write(dirs[1], DAY, HEADER + ROW.replace("590.0", "700.0"))
    strategies = [Seen(), Seen()]
    runs = [Backtest(s, [STOCK], DAY, DAY, api=CacheOnly(), data_dir=str(d), module_console="none")
            for s, d in zip(strategies, dirs)]
    errors = []

    def run(bt):
        try:
            bt.run()
        except BaseException as exc:  # reported below
            errors.append(exc)

    consoles = (ticker_module.console, __import__("orva_mero_backtest.modules.matcher.matcher", fromlist=["x"]).console)
    side = threading.Thread(target=run, args=(runs[1],), daemon=True)
    side.start()
    run(runs[0])
    side.join(timeout=30)
    assert not side.is_alive() and errors == []
    assert [s.ticks for s in strategies] == [[(590.0, False)], [(700.0, False)]]
    assert BASIC_INFO.data_dir == str(tmp_path / "elsewhere") and not (tmp_path / "elsewhere").exists()
    # Runs on two threads put the modules' own consoles back, whichever ends last.
    assert (ticker_module.console, __import__("orva_mero_backtest.modules.matcher.matcher", fromlist=["x"]).console) \
        == consoles


def test_an_interrupted_first_report_leaves_no_empty_report_folder(tmp_path, monkeypatch):
    from orva_mero_backtest import report

    write(tmp_path, DAY, HEADER + ROW)
    result = Backtest(Seen(), [STOCK], DAY, DAY, api=CacheOnly(), data_dir=str(tmp_path), module_console="none").run()

    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(report, "plot", interrupted)
    for parent in (tmp_path / "reports", tmp_path / "kept"):
        if parent.name == "kept":
            parent.mkdir()
        with pytest.raises(KeyboardInterrupt):
            report.write_report(result, str(parent), "run")
        assert parent.exists() == (parent.name == "kept")
        assert not parent.exists() or os.listdir(parent) == []


def test_two_backtests_in_one_process_keep_their_own_error_logs(tmp_path, monkeypatch):
    # Each run's failing days (the main range on its own thread, the warm-up on the feed's) are logged in
    # its own data directory, while both run at once and whatever BASIC_INFO.data_dir says.
    from fake_broker import FakeBroker

    from orva_mero_backtest.constant import BASIC_INFO

    monkeypatch.setattr(BASIC_INFO, "data_dir", str(tmp_path / "elsewhere"))
    codes, runs, errors = ("2330", "2317"), [], []
    for code in codes:
        broker = FakeBroker(default_rows=2)
        broker.fail(code, DAY)
        broker.fail(code, WARM)
        runs.append(Backtest(Seen(), [Instrument(code, "Stock")], DAY, DAY, WARM, WARM, api=broker,
                             data_dir=str(tmp_path / code), module_console="none"))

    def run(bt):
        try:
            bt.run()
        except BaseException as exc:  # reported below
            errors.append(exc)

    side = threading.Thread(target=run, args=(runs[1],), daemon=True)
    side.start()
    run(runs[0])
    side.join(timeout=30)
    assert not side.is_alive() and errors == []
    for code, other in (codes, codes[::-1]):
        log = (tmp_path / code / "logs" / "error.log").read_text()
        assert log.count('"code": "%s"' % code) == 2 and other not in log
    assert not (tmp_path / "elsewhere").exists()


def test_a_runs_feed_threads_log_into_its_data_dir(tmp_path, monkeypatch):
    from orva_mero_backtest import utils
    from orva_mero_backtest.constant import BASIC_INFO

    monkeypatch.setattr(BASIC_INFO, "data_dir", str(tmp_path / "global"))
    worker = threading.Thread(target=lambda: utils.logger.error("from the feed"))
    stranger = threading.Thread(target=lambda: utils.logger.error("from elsewhere"))
    with utils.routing_threads(str(tmp_path / "run"), lambda: [worker]):
        for thread in (worker, stranger):
            thread.start()
            thread.join(timeout=5)
        with utils.logging_into(str(tmp_path / "own")):
            utils.logger.error("from the run")
            assert utils.log_file_path() == str(tmp_path / "own" / "logs" / "error.log")
    assert "from the feed" in (tmp_path / "run" / "logs" / "error.log").read_text()
    assert "from elsewhere" in (tmp_path / "global" / "logs" / "error.log").read_text()
    assert "from the run" in (tmp_path / "own" / "logs" / "error.log").read_text()
    assert utils.log_file_path() == str(tmp_path / "global" / "logs" / "error.log")
