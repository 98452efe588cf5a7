"""Faults that must end a run soundly: failed rows, interrupts in Python helpers, damaged cache files, an
unusable data directory, the SDK's own log."""

import os
import subprocess
import sys
import textwrap
import threading

import pytest

import recorders
from fake_broker import FakeBroker, rows
from orva_mero_backtest import utils
from orva_mero_backtest.constant import BASIC_INFO
from orva_mero_backtest.modules.ticker import ticker
from ticker_feed import CODES, EXIT, FINISH, MARKETS, consume, expected_ticks, frame, pop, use

MAIN = ("2024-01-02", "2024-01-03")
BACK = ("2023-12-01", "2023-12-05")
HEADER = "ts,close,volume,bid_price,bid_volume,ask_price,ask_volume,tick_type"


@pytest.fixture
def hook(monkeypatch):
    errors = []
    monkeypatch.setattr(threading, "excepthook", lambda args: errors.append(args.exc_value))
    return errors


def shape(items):
    """Items without their timestamps (the tests replace the converter)."""
    return [{k: v for k, v in d.items() if k != "timestamp"} for d in items]


def failing_at(bad_ts, error):
    def convert(ts, digits):
        if ts == bad_ts:
            raise error
        return ts / 1e9
    return convert


@pytest.mark.parametrize("where", ["backfill", "main"])
def test_row_that_cannot_become_a_tick_keeps_its_permit(monkeypatch, hook, where):
    # A bad main row ends the run; a bad backfill row ends the backfill, and the main range follows.
    feed, console, _, threads = use(monkeypatch)
    feed.frames[MAIN] = main = frame(3)
    feed.frames[BACK] = back = frame(3, start=500)
    bad = (back if where == "backfill" else main)["ts"][1]
    error = ValueError("empty ts")
    monkeypatch.setattr(ticker, "format_nano_ts_to_second_ts", failing_at(bad, error))
    t = ticker.Ticker(object())
    t.send_ticks(CODES, *MAIN, *BACK)
    got = consume(t)
    threads.join_all()
    if where == "backfill":
        assert shape(got) == shape(expected_ticks(back[:1], MARKETS, True) + [FINISH] + expected_ticks(main, MARKETS) + [EXIT])
        assert ticker.backfill_error(t) is error and ticker.stream_error(t) is None
        assert hook == [error]
    else:
        assert shape(got) == shape(expected_ticks(back, MARKETS, True) + [FINISH] + expected_ticks(main[:1], MARKETS) + [EXIT])
        assert ticker.stream_error(t) is error and ticker.backfill_error(t) is None
    # The permit the failed row took is back: the next run's first tick flows without allow_next_tick.
    monkeypatch.setattr(ticker, "format_nano_ts_to_second_ts", lambda ts, digits: ts / 1e9)
    t.send_ticks(CODES, *MAIN)
    assert pop(t)["code"] == main["code"][0]
    assert ticker.stream_error(t) is None


def test_stream_error_is_none_after_a_complete_run_and_for_a_fresh_ticker(monkeypatch):
    feed, _, _, threads = use(monkeypatch)
    feed.frames[MAIN] = frame(2)
    t = ticker.Ticker(object())
    assert ticker.stream_error(t) is None
    t.send_ticks(CODES, *MAIN)
    consume(t)
    threads.join_all()
    assert ticker.stream_error(t) is None
    assert ticker.stream_error(object()) is None


@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit])
def test_interrupt_while_allow_next_tick_builds_reaches_the_caller_and_loses_no_tick(monkeypatch, hook, interrupt):
    feed, console, _, threads = use(monkeypatch)
    feed.frames[MAIN] = main = frame(4)
    raised = []

    def convert(ts, digits):
        # Once, on the consumer's thread: as if Ctrl-C landed in the helper.
        if ts == main["ts"][2] and not raised and threading.current_thread() is threading.main_thread():
            raised.append(ts)
            raise interrupt()
        return ts / 1e9

    monkeypatch.setattr(ticker, "format_nano_ts_to_second_ts", convert)
    t = ticker.Ticker(object())
    t.send_ticks(CODES, *MAIN)
    got = [pop(t)]
    t.allow_next_tick()
    got.append(pop(t))
    with pytest.raises(interrupt):
        t.allow_next_tick()
    got += consume(t)
    threads.join_all()
    assert raised
    assert [d["timestamp"] for d in got[:-1]] == [ts / 1e9 for ts in main["ts"]] and got[-1] == EXIT
    assert ticker.stream_error(t) is None and hook == []
    assert not any("失敗" in line for line in console.lines)


def test_interrupt_raised_on_the_backfill_thread_ends_it_quietly_and_the_main_range_follows(monkeypatch, hook):
    feed, _, _, threads = use(monkeypatch)
    feed.frames[MAIN] = main = frame(2)
    feed.frames[BACK] = back = frame(2, start=500)
    monkeypatch.setattr(ticker, "format_nano_ts_to_second_ts", failing_at(back["ts"][0], KeyboardInterrupt()))
    t = ticker.Ticker(object())
    t.send_ticks(CODES, *MAIN, *BACK)
    got = consume(t)
    ticks = shape(expected_ticks(main, MARKETS) + [EXIT])
    assert shape(got) in ([FINISH] + ticks, ticks)
    threads.join_all()
    assert hook == []
    assert isinstance(ticker.backfill_error(t), KeyboardInterrupt) and ticker.stream_error(t) is None


# ---- cache files ---------------------------------------------------------------------------

def cache_file(code, day):
    return os.path.join(BASIC_INFO.data_dir, "mero", "ticks", f"{code} {day} - ticks.csv")


def prepare(path, how):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if how == "directory":
        os.makedirs(path)
    elif how == "fifo":
        os.mkfifo(path)
    else:
        with open(path, "w") as f:
            f.write(how)


@pytest.fixture
def quiet(monkeypatch):
    recorders.install(monkeypatch, ticker)
    monkeypatch.setattr(ticker, "RETRY_PAUSE_SECONDS", 0)


@pytest.mark.parametrize("text", [HEADER + "\n1704157200000000000,100.0,1,99.0,1,101.0,1,1\n17041572",
                                  HEADER + "\n1704157200000000000,100.0,1,99.0,1,101.0,1,1", ""],
                         ids=["cut mid-row", "no final newline", "empty"])
def test_cache_file_cut_short_is_downloaded_again(quiet, text):
    path = cache_file("2330", "2024-01-02")
    prepare(path, text)
    broker = FakeBroker()
    broker.set_ticks("2330", "2024-01-02", rows(3))
    df = ticker.Ticker(broker).get_ticks_df("2330", "Stock", "2024-01-02", "2024-01-02")
    assert df.height == 3 and len(broker.calls) == 1
    assert open(path).read().endswith("\n") and len(open(path).read().splitlines()) == 4


@pytest.mark.parametrize("how", ["directory", "fifo"])
def test_cache_path_that_is_not_a_file_is_a_clear_error(quiet, how):
    path = cache_file("2330", "2024-01-02")
    prepare(path, how)
    broker = FakeBroker(default_rows=2)
    with pytest.raises(OSError, match="is not a regular file"):
        ticker.Ticker(broker).get_ticks_df("2330", "Stock", "2024-01-02", "2024-01-02")
    assert broker.calls == [] and (os.path.isdir(path) if how == "directory" else os.path.exists(path))


@pytest.mark.parametrize("answer", [{"foo": []}, {"ts": [], "close": []}])
def test_empty_day_with_other_columns_is_cached_with_the_schema(quiet, answer):
    broker = FakeBroker()
    broker.set_answer("2330", "2024-01-02", answer)
    assert ticker.Ticker(broker).get_ticks_df("2330", "Stock", "2024-01-02", "2024-01-02").height == 0
    assert open(cache_file("2330", "2024-01-02")).read() == HEADER + "\n"
    again = FakeBroker()
    assert ticker.Ticker(again).get_ticks_df("2330", "Stock", "2024-01-02", "2024-01-02").height == 0
    assert again.calls == []


# ---- logs ------------------------------------------------------------------------------------

def test_unusable_data_dir_gives_one_line_and_a_log_that_exists(monkeypatch, tmp_path, capfd):
    blocker = tmp_path / "not a dir"
    blocker.write_text("x")
    monkeypatch.setattr(BASIC_INFO, "data_dir", str(blocker / "data"))
    monkeypatch.setattr(utils.tempfile, "gettempdir", lambda: str(tmp_path / "tmp"))
    monkeypatch.setattr(utils._handler, "_announced", set())
    utils.logger.error("first")
    utils.logger.error("second")
    err = capfd.readouterr().err
    assert len(err.splitlines()) == 1 and "cannot write the error log" in err
    lines = open(utils.log_file_path(), encoding="utf-8").read().splitlines()
    assert [line.split(" ", 3)[-1] for line in lines] == ["first", "second"]


def test_importing_the_sdk_writes_no_log_into_the_current_directory(tmp_path):
    env = {k: v for k, v in os.environ.items() if k != "SJ_LOG_PATH"}
    env["ORVA_MERO_BACKTEST_DATA_DIR"] = str(tmp_path / "data")
    script = "import orva_mero_backtest.modules.ticker.ticker"
    done = subprocess.run([sys.executable, "-c", script], cwd=tmp_path, env=env, capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    assert not (tmp_path / "shioaji.log").exists()
    assert (tmp_path / "data" / "logs").is_dir()


# ---- a failed import -------------------------------------------------------------------------

def test_failed_module_import_leaves_nothing_half_made(tmp_path):
    # The module binds orva_mero_backtest.constant.FLAG at load: without it the import fails cleanly,
    # and a later import in the same process (after the name is back) works.
    script = textwrap.dedent("""
        import sys
        import orva_mero_backtest.constant as c
        flag = c.FLAG
        del c.FLAG
        try:
            import orva_mero_backtest.modules.ticker.ticker
        except ImportError as e:
            print("failed:", e)
        c.FLAG = flag
        sys.modules.pop("orva_mero_backtest.modules.ticker.ticker", None)
        from orva_mero_backtest.modules.ticker import ticker
        print("second:", ticker.Ticker.__name__)
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert "failed: cannot import name 'FLAG'" in done.stdout and "second: Ticker" in done.stdout


def test_native_state_goes_with_its_ticker(monkeypatch):
    # A new Ticker often takes a collected one's address: it must not inherit that one's state.
    import gc
    feed, _, _, threads = use(monkeypatch)
    feed.frames[MAIN] = frame(2, codes=("2330", "NOPE"))
    for _ in range(20):
        t = ticker.Ticker(object())
        assert ticker.stream_error(t) is None
        t.send_ticks(CODES, *MAIN)
        consume(t)
        threads.join_all()
        assert isinstance(ticker.stream_error(t), KeyError)
        del t
        # The young generations only: a full collection takes a good part of a second with the suite's
        # objects alive, and empties the allocator's free lists, which makes an address reused rarer.
        gc.collect(1)
