import datetime
import os
import types

import polars as pl
import pytest

import recorders
from fake_broker import FakeBroker, rows
from orva_mero_backtest.constant import BASIC_INFO
from orva_mero_backtest.modules.ticker import ticker
from orva_mero_backtest.modules.ticker.ticker import Ticker

PAST = "2024-01-02"
HEADER = "ts,close,volume,bid_price,bid_volume,ask_price,ask_volume,tick_type\n"


@pytest.fixture
def console(monkeypatch):
    return recorders.install(monkeypatch, ticker)[0]


def cache_file(code, day):
    return os.path.join(BASIC_INFO.data_dir, "mero", "ticks", f"{code} {day} - ticks.csv")


def write_cache(code, day, text):
    path = cache_file(code, day)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)
    return path


@pytest.mark.parametrize("code, day, name", [
    ("2330", "2024-01-02", "2330 2024-01-02 - ticks.csv"),
    ("TXFR1", "2024-01-02", "TXFR1 2024-01-02 - ticks.csv"),
    ("", "not a day", " not a day - ticks.csv"),
])
def test_tick_filename(code, day, name):
    assert Ticker(None)._Ticker__tick_filename_formatter(code, day) == name


@pytest.mark.parametrize("args, parts, is_file", [
    ((), (), False),
    ((None, "x", "y"), ("x", "y"), False),
    (("f.csv", "mero", "ticks"), ("mero", "ticks", "f.csv"), True),
    (("ticks",), ("ticks",), True),
])
def test_generate_save_path(data_dir, args, parts, is_file):
    t = Ticker(None)
    path = t._Ticker__generate_save_path(*args)
    assert path == os.path.join(BASIC_INFO.data_dir, *parts)
    assert os.path.isdir(os.path.dirname(path) if is_file else path)
    assert not os.path.exists(path) or not is_file


def test_cache_hit_reads_file_without_broker(console):
    columns = rows(3)
    path = write_cache("2330", PAST, pl.DataFrame(columns).write_csv())
    api = FakeBroker()
    df = Ticker(api)._Ticker__auto_fetch_ticks("2330", "Stock", PAST)
    assert not api.calls
    assert console.lines == [f"[green]檔案 {path} 已存在, 開始讀取檔案...[/green]"]
    assert df.columns[-1] == "code" and df.schema["code"] == pl.String
    assert df.drop("code").to_dict(as_series=False) == columns
    assert df["code"].to_list() == ["2330"] * 3


def test_header_only_file_is_an_empty_day():
    write_cache("2330", PAST, HEADER)
    df = Ticker(FakeBroker())._Ticker__auto_fetch_ticks("2330", "Stock", PAST)
    assert df.shape == (0, 9)
    assert list(df.schema.items())[-1] == ("code", pl.String)


def test_miss_downloads_then_hits(console):
    api = FakeBroker()
    api.set_ticks("2330", PAST, rows(2))
    t = Ticker(api)
    path = cache_file("2330", PAST)
    first = t._Ticker__auto_fetch_ticks("2330", "Stock", PAST)
    assert console.lines[0] == f"[red]檔案 {path} 不存在, 開始下載歷史 Tick 資料...[/red]"
    assert os.path.exists(path)
    console.lines.clear()
    second = t._Ticker__auto_fetch_ticks("2330", "Stock", PAST)
    assert console.lines == [f"[green]檔案 {path} 已存在, 開始讀取檔案...[/green]"]
    assert api.requests() == [PAST]
    assert first.equals(second) and first.height == 2


def test_current_day_is_never_cached():
    today = datetime.date.today().strftime("%Y-%m-%d")
    api = FakeBroker()
    api.set_ticks("2330", today, rows(1))
    t = Ticker(api)
    for _ in range(2):
        assert t._Ticker__auto_fetch_ticks("2330", "Stock", today).height == 1
    assert api.requests() == [today, today]
    assert os.listdir(os.path.join(BASIC_INFO.data_dir, "mero", "ticks")) == []


def test_stock_and_future_of_one_code_share_the_file():
    api = FakeBroker()
    api.set_ticks("X1", PAST, rows(1))
    t = Ticker(api)
    t._Ticker__auto_fetch_ticks("X1", "Future", PAST)
    df = t._Ticker__auto_fetch_ticks("X1", "Stock", PAST)
    assert df.height == 1
    assert [(c.code, c.market) for c in api.calls] == [("X1", "Future")]


@pytest.mark.parametrize("content", ["", "\n", "a,b\n1,2\n", HEADER + "1,x,3,4,5,6,7,8\n"])
def test_unreadable_file_is_downloaded_again_and_replaced(console, content):
    path = write_cache("2330", PAST, content)
    api = FakeBroker()
    api.set_ticks("2330", PAST, rows(2))
    df = Ticker(api)._Ticker__auto_fetch_ticks("2330", "Stock", PAST)
    assert df.height == 2 and api.requests() == [PAST]
    assert any(line.startswith(f"[red]檔案 {path} 無法讀取") for line in console.lines)
    assert pl.read_csv(path).height == 2


def test_failed_write_keeps_old_file_and_leaves_no_temporary(monkeypatch):
    path = write_cache("2330", PAST, HEADER + "1,2.0,3,4.0,5,6.0,7,8\n")
    moves = []

    def failing_replace(src, dst):
        moves.append((src, dst))
        raise OSError("disk full")

    monkeypatch.setattr(ticker, "os", types.SimpleNamespace(path=os.path, replace=failing_replace, remove=os.remove))
    api = FakeBroker()
    api.set_ticks("2330", PAST, rows(5))
    with pytest.raises(OSError, match="disk full"):
        Ticker(api).fetch_mero_history_ticks("2330", "Stock", PAST, PAST)
    ((src, dst),) = moves
    assert dst == path and os.path.dirname(src) == os.path.dirname(path)
    assert os.listdir(os.path.dirname(path)) == [os.path.basename(path)]
    assert pl.read_csv(path).height == 1
