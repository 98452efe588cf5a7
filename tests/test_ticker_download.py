import datetime
import os

import polars as pl
import pytest

import recorders
from fake_broker import Contract, FakeBroker, rows
from orva_mero_backtest.constant import BASIC_INFO
from orva_mero_backtest.modules.ticker import ticker
from orva_mero_backtest.modules.ticker.ticker import Ticker

HEADER = "ts,close,volume,bid_price,bid_volume,ask_price,ask_volume,tick_type\n"


@pytest.fixture
def console(monkeypatch):
    return recorders.install(monkeypatch, ticker)[0]


def cache_dir():
    return os.path.join(BASIC_INFO.data_dir, "mero", "ticks")


def cache_file(code, day):
    return os.path.join(cache_dir(), f"{code} {day} - ticks.csv")


def day_text(offset):
    return (datetime.date.today() + datetime.timedelta(days=offset)).strftime("%Y-%m-%d")


@pytest.mark.parametrize("market, container", [
    ("Stock", "Stock"), ("Future", "Future"), ("Futures", "Future"), ("stock", "Future"), ("", "Future"),
])
def test_contract_container(market, container):
    api = FakeBroker()
    assert Ticker(api)._Ticker__make_mero_contract_object("2330", market) == Contract("2330", container)


def test_range_is_requested_day_by_day_and_concatenated(console):
    api = FakeBroker()
    api.set_ticks("2330", "2024-01-02", rows(2, start_ts=100))
    api.set_empty("2330", "2024-01-03")
    api.set_ticks("2330", "2024-01-04", rows(3, start_ts=200))
    t = Ticker(api)
    df = t.fetch_mero_history_ticks("2330", "Stock", "2024-01-02", "2024-01-04")
    assert api.requests() == ["2024-01-02", "2024-01-03", "2024-01-04"]
    assert {c.market for c in api.calls} == {"Stock"} and len(api.lookups) == 1
    assert df.schema == pl.Schema(t.tick_df_schema)
    assert df["ts"].to_list() == [100, 1_000_100, 200, 1_000_200, 2_000_200]
    assert console.lines == [
        f"[green]下載 2330 {day} 的 Tick 資料成功, 儲存於 {cache_file('2330', day)}[/green]"
        for day in ("2024-01-02", "2024-01-03", "2024-01-04")
    ]
    with open(cache_file("2330", "2024-01-03")) as f:
        assert f.read() == HEADER
    assert pl.read_csv(cache_file("2330", "2024-01-04"), schema=t.tick_df_schema).height == 3


def test_reversed_range_looks_up_contract_only():
    api = FakeBroker()
    t = Ticker(api)
    df = t.fetch_mero_history_ticks("2330", "Stock", "2024-01-05", "2024-01-04")
    assert api.calls == [] and len(api.lookups) == 1
    assert df.shape == (0, 8) and df.schema == pl.Schema(t.tick_df_schema)
    assert not os.path.exists(cache_dir())


def test_range_ending_today_caches_only_past_days(console):
    api = FakeBroker(default_rows=2)
    days = [day_text(-2), day_text(-1), day_text(0)]
    df = Ticker(api).fetch_mero_history_ticks("TXFR1", "Future", days[0], days[-1])
    assert df.height == 6 and api.requests() == days
    assert sorted(os.listdir(cache_dir())) == [f"TXFR1 {d} - ticks.csv" for d in days[:2]]
    assert len(console.lines) == 2


def test_direct_download_replaces_existing_file():
    api = FakeBroker()
    api.set_ticks("2330", "2024-01-02", rows(4))
    os.makedirs(cache_dir())
    with open(cache_file("2330", "2024-01-02"), "w") as f:
        f.write(HEADER)
    Ticker(api).fetch_mero_history_ticks("2330", "Stock", "2024-01-02", "2024-01-02")
    assert pl.read_csv(cache_file("2330", "2024-01-02")).height == 4
    assert os.listdir(cache_dir()) == ["2330 2024-01-02 - ticks.csv"]


def test_answer_without_columns_is_a_day_without_ticks():
    api = FakeBroker()
    api.set_answer("2330", "2024-01-02", {})
    t = Ticker(api)
    df = t.fetch_mero_history_ticks("2330", "Stock", "2024-01-02", "2024-01-02")
    assert df.shape == (0, 8)
    with open(cache_file("2330", "2024-01-02")) as f:
        assert f.read() == HEADER
    day = t._Ticker__auto_fetch_ticks("2330", "Stock", "2024-01-02")  # read back from the file
    assert day.columns == [*t.tick_df_schema, "code"] and day.height == 0


def test_mapping_answer_is_copied():
    class Answer(dict):
        pass

    api = FakeBroker()
    api.set_answer("A", "2024-01-02", Answer(rows(1)))
    assert Ticker(api).fetch_mero_history_ticks("A", "Stock", "2024-01-02", "2024-01-02").height == 1

def test_none_answer_raises_and_keeps_earlier_days():
    api = FakeBroker(default_rows=1)
    api.set_answer("2330", "2024-01-03", None)
    with pytest.raises(TypeError) as info:
        Ticker(api).fetch_mero_history_ticks("2330", "Stock", "2024-01-02", "2024-01-04")
    assert str(info.value) == "argument after ** must be a mapping, not NoneType"
    assert api.requests() == ["2024-01-02", "2024-01-03"]
    assert os.listdir(cache_dir()) == ["2330 2024-01-02 - ticks.csv"]


def test_product_type_checked_when_contract_is_looked_up():
    api = FakeBroker()
    with pytest.raises(TypeError, match="argument 'market_type' must be str"):
        Ticker(api).fetch_mero_history_ticks("2330", 1, "2024-01-02", "2024-01-02")
    assert api.calls == []
