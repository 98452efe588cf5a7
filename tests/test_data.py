"""Real data in: importing SDK and TAIFEX tick files, runs on the cache alone, the trading calendar."""

import csv
import io
import os
import zipfile
from datetime import date, datetime, timezone

import pandas as pd
import polars as pl
import pytest

from orva_mero_backtest import cli, report
from orva_mero_backtest.data import CacheOnly, DataError, cache_dir, import_ticks, trading_days
from orva_mero_backtest.driver import Backtest, BacktestError, Instrument
from orva_mero_backtest.sim_broker import SimulatedBroker, generate_day, _FUTURES
from orva_mero_backtest.strategy import Strategy

# The SDK's columns in a shuffled order, integers written as floats, one tick with date-time text,
# and bad rows: unparseable price, negative volume, zero price, unreadable time.
SDK_2330 = """ask_volume,tick_type,close,ts,volume,bid_price,ask_price,bid_volume
20.0,1,590.0,1704186001000000000,1.0,589.0,590.0,10.0
6,2,591,1704186002500000000,3,590,591,5
7.0,1,592.0,2024-01-02 09:00:04,2.0,591.0,592.0,8.0
1,1,n/a,1704186005000000000,1,590,591,5
1,1,591,1704186006000000000,-1,590,591,5
1,1,0,1704186007000000000,1,590,591,5
1,1,591,25:99,1,590,591,5
9.0,1,600.0,1704272401000000000,4.0,599.0,600.0,9.0
9,0,601,2024-01-03 13:30:00,10,600,601,9
"""

TAIFEX_HEADER = "成交日期,商品代號,到期月份(週別),成交時間,成交價格,成交數量(B+S),近月價格,遠月價格,開盤集合競價 "
# Padded codes and months, times without the leading zero, a spread, an after-hours trade, a bad price.
TAIFEX_0102 = [
    "20240102,TX     ,202401     ,84500,17600,4,-,-,*",
    "20240102,TX     ,202402     ,84500,17650,2,-,-,*",
    "20240102,TX     ,202401/202402,84501,50,2,17600,17650,",
    "20240102,MTX    ,202401     ,90000,17601,6,-,-,",
    "20240102,TX     ,202401     ,90001,-,2,-,-,",
    "20240102,TX     ,202401     ,134500,17605,8,-,-,",
    "20240102,TX     ,202401     ,150000,17610,2,-,-,",
]
TAIFEX_0103 = [
    "20240103,TX     ,202401     ,84500,17620,2,-,-,*",
    "20240103,TX     ,202401     ,130000,17630,2,-,-,",
]


def taifex_bytes(rows):
    return ("\r\n".join([TAIFEX_HEADER] + rows) + "\r\n").encode("cp950")


@pytest.fixture
def files(tmp_path):
    folder = tmp_path / "in"
    folder.mkdir()
    (folder / "2330.csv").write_text(SDK_2330, encoding="utf-8")
    (folder / "Daily_2024_01_02.csv").write_bytes(taifex_bytes(TAIFEX_0102))
    with zipfile.ZipFile(folder / "Daily_2024_01_03.zip", "w") as archive:
        archive.writestr("Daily_2024_01_03.csv", taifex_bytes(TAIFEX_0103))
    return folder


def ns(text):
    """Epoch nanoseconds of a Taipei wall-clock text under the tick convention."""
    moment = datetime.fromisoformat(text).replace(tzinfo=timezone.utc)
    return int(moment.timestamp() * 1_000_000) * 1000


def clock(seconds):
    return datetime.fromtimestamp(seconds, timezone.utc).strftime("%Y-%m-%d %H:%M:%S.%f")[:-3]


class BuyFirst(Strategy):
    """Records every tick; buys one lot at market on the first stock tick."""

    name = "buy_first"

    def __init__(self):
        super().__init__()
        self.ticks = []
        self.bought = False

    def on_tick(self, ctx, tick):
        self.ticks.append((tick["code"], clock(tick["timestamp"]), tick["close"], tick["qty"]))
        if tick["market_type"] == "Stock" and not self.bought:
            self.bought = True
            ctx.buy(tick["code"], 1, order_type="IOC")


def counts(result):
    return {(d.code, d.day): (d.kept, d.refused) for d in result.days}


def test_both_formats_import_and_run_on_the_cache_alone(files, tmp_path, capsys):
    data = tmp_path / "real"
    argv = ["import", str(files / "2330.csv"), str(files / "Daily_2024_01_02.csv"), str(files / "Daily_2024_01_03.zip"),
            "--data-dir", str(data)]
    assert cli.main(argv) == 0
    out = capsys.readouterr().out
    assert "Rows refused" in out and "TXFR1" in out and "1 spread trades" in out and "1 other session" in out

    again = import_ticks([files / "2330.csv", files / "Daily_2024_01_02.csv"], data_dir=str(data))
    got = counts(again)
    assert got[("2330", "2024-01-02")] == (3, 3) and got[("2330", "-")] == (0, 1)
    assert got[("2330", "2024-01-03")] == (2, 0)
    # the bad TX row is refused under its contract month and under the continuous code
    assert got[("TXFR1", "2024-01-02")] == (2, 1) and got[("TXF202401", "2024-01-02")] == (2, 1)
    assert got[("TXF202402", "2024-01-02")] == (1, 0)
    assert got[("MXFR1", "2024-01-02")] == (1, 0) and got[("MXF202401", "2024-01-02")] == (1, 0)
    assert again.left_out == {"spread trades": 1, "other session": 1}

    cached = pl.read_csv(os.path.join(cache_dir(str(data)), "TXFR1 2024-01-02 - ticks.csv"))
    assert cached.columns == ["ts", "close", "volume", "bid_price", "bid_volume", "ask_price", "ask_volume", "tick_type"]
    assert cached["bid_price"].to_list() == [0.0, 0.0] and cached["ask_volume"].to_list() == [0, 0]

    strategy = BuyFirst()
    result = Backtest(strategy, [Instrument("2330", "Stock"), Instrument("TXFR1", "Future")], "2024-01-02",
                      "2024-01-03", api=CacheOnly(), module_console="none", data_dir=str(data)).run()
    assert [t for t in strategy.ticks if t[0] == "2330"] == [
        ("2330", "2024-01-02 09:00:01.000", 590.0, 1),
        ("2330", "2024-01-02 09:00:02.500", 591.0, 3),
        ("2330", "2024-01-02 09:00:04.000", 592.0, 2),
        ("2330", "2024-01-03 09:00:01.000", 600.0, 4),
        ("2330", "2024-01-03 13:30:00.000", 601.0, 10),
    ]
    # contracts are half the exchange's both-sides count
    assert [t for t in strategy.ticks if t[0] == "TXFR1"] == [
        ("TXFR1", "2024-01-02 08:45:00.000", 17600.0, 2),
        ("TXFR1", "2024-01-02 13:45:00.000", 17605.0, 4),
        ("TXFR1", "2024-01-03 08:45:00.000", 17620.0, 1),
        ("TXFR1", "2024-01-03 13:00:00.000", 17630.0, 1),
    ]
    assert result.ticks == 9
    folder = report.write_report(result, str(tmp_path / "reports"), "r")
    with open(os.path.join(folder, report.FILLS_CSV), encoding="utf-8") as f:
        fills = list(csv.DictReader(f))
    # the market order placed on the 09:00:01 tick fills on the next one; the report shows Taipei time
    assert [(f["code"], f["time"], f["price"]) for f in fills] == [("2330", "2024-01-02 09:00:02.500", "591.0")]


def test_a_missing_day_is_refused_up_front_and_the_cache_is_left_alone(files, tmp_path, capsys):
    data = tmp_path / "real"
    import_ticks([files / "2330.csv"], data_dir=str(data))
    before = sorted(os.listdir(data)), sorted(os.listdir(cache_dir(str(data))))
    code = cli.main(["--broker", "cache", "--stock", "2330", "--start", "2024-01-02", "--end", "2024-01-05",
                     "--data-dir", str(data), "--no-progress", "--report-dir", str(tmp_path / "reports")])
    err = capsys.readouterr().err
    assert code == cli.EXIT_BAD_INPUT
    assert err.count("\n") == 1 and "2330: 2024-01-04, 2024-01-05" in err and "2024-01-03" not in err
    assert (sorted(os.listdir(data)), sorted(os.listdir(cache_dir(str(data))))) == before
    assert not (tmp_path / "reports").exists()


def test_non_trading_days_are_not_asked_for(tmp_path):
    data = str(tmp_path / "real")
    frame = pl.DataFrame({
        "close": [10.0, 11.0, 12.0],
        "ts": ["2024-02-05 09:00:00", "2024-02-15 09:00:00", "2024-02-15 09:00:01"],
        "volume": [1, 2, 3],
    })
    result = import_ticks(frame, code="2603", data_dir=data)
    assert counts(result) == {("2603", "2024-02-05"): (1, 0), ("2603", "2024-02-15"): (2, 0)}
    strategy = BuyFirst()
    # 2024-02-06 to 2024-02-14: the Lunar New Year break (weekdays among them)
    run = Backtest(strategy, [Instrument("2603", "Stock")], "2024-02-05", "2024-02-15", api=CacheOnly(),
                   module_console="none", data_dir=data).run()
    assert run.ticks == 3
    with pytest.raises(BacktestError, match=r"lacks 1 trading day\(s\): 2603: 2024-02-16 \("):
        Backtest(strategy, [Instrument("2603", "Stock")], "2024-02-15", "2024-02-18", api=CacheOnly(), data_dir=data)


def test_after_hours_trades_are_booked_on_the_next_trading_day(tmp_path):
    path = tmp_path / "Daily_2024_01_05.csv"
    path.write_bytes(taifex_bytes([
        "20240105,TX     ,202401     ,84500,17500,2,-,-,*",
        "20240105,TX     ,202401     ,150000,17510,2,-,-,",
        "20240106,TX     ,202401     ,45959,17520,2,-,-,",
        "20240205,MTX    ,202402     ,150000,18000,2,-,-,",
    ]))
    result = import_ticks(path, data_dir=str(tmp_path / "d"), session="after-hours", code="TX")
    assert counts(result) == {("TXF202401", "2024-01-08"): (2, 0), ("TXFR1", "2024-01-08"): (2, 0)}
    assert result.left_out == {"other session": 1}
    both = import_ticks(path, data_dir=str(tmp_path / "d"), session="all")
    assert counts(both)[("MXFR1", "2024-02-15")] == (1, 0) and counts(both)[("TXFR1", "2024-01-05")] == (1, 0)
    friday_night = pl.read_csv(os.path.join(cache_dir(str(tmp_path / "d")), "TXFR1 2024-01-08 - ticks.csv"))
    assert friday_night["ts"].to_list() == [ns("2024-01-05T15:00:00"), ns("2024-01-06T04:59:59")]


def write_parquet(folder, text):
    path = folder / "2330.parquet"
    pl.read_csv(io.StringIO(text), infer_schema=False).write_parquet(path)
    return path


@pytest.mark.parametrize("kind", ["csv", "parquet", "polars", "pandas"])
def test_sdk_sources_agree(tmp_path, kind):
    text = "ts,close,volume\n1704186001000000000,590.0,1.0\n2024-01-02 09:00:02,591,2\n"
    if kind == "csv":
        (tmp_path / "2330.csv").write_text(text)
        source = tmp_path / "2330.csv"
    elif kind == "parquet":
        source = write_parquet(tmp_path, text)
    else:
        frame = pl.DataFrame({"ts": [datetime(2024, 1, 2, 9, 0, 1), datetime(2024, 1, 2, 9, 0, 2)],
                              "close": [590.0, 591.0], "volume": [1, 2]})
        if kind == "pandas":
            # time-zone-aware and in UTC: still stored as the Taipei wall clock
            frame = pd.DataFrame({
                "ts": pd.to_datetime(["2024-01-02 01:00:01", "2024-01-02 01:00:02"]).tz_localize("UTC"),
                "close": [590.0, 591.0], "volume": [1, 2]})
        source = frame
    result = import_ticks(source, code="2330" if kind in ("polars", "pandas") else None, data_dir=str(tmp_path / "d"))
    assert counts(result) == {("2330", "2024-01-02"): (2, 0)}
    stored = pl.read_csv(os.path.join(cache_dir(str(tmp_path / "d")), "2330 2024-01-02 - ticks.csv"))
    assert stored["ts"].to_list() == [ns("2024-01-02T09:00:01"), ns("2024-01-02T09:00:02")]
    assert stored["close"].to_list() == [590.0, 591.0] and stored["volume"].to_list() == [1, 2]


@pytest.mark.parametrize(
    "name, content, message",
    [
        ("missing.csv", None, "missing.csv"),
        ("2317.csv", "ts,price,volume\n1704186001000000000,1,1\n", "2317.csv: no column close"),
        ("Daily_2024_01_04.csv", b"\xff\xfe\x00bad", "Daily_2024_01_04.csv: not cp950"),
        ("Daily_2024_01_05.zip", b"not a zip", "Daily_2024_01_05.zip"),
    ],
)
def test_an_unreadable_file_is_one_error_and_nothing_is_written(files, tmp_path, capsys, name, content, message):
    bad = files / name
    if isinstance(content, str):
        bad.write_text(content)
    elif content is not None:
        bad.write_bytes(content)
    data = tmp_path / "real"
    with pytest.raises(DataError, match=message):
        import_ticks([files / "2330.csv", bad], data_dir=str(data))
    assert cli.main(["import", str(files / "2330.csv"), str(bad), "--data-dir", str(data)]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and name in err
    assert not os.path.exists(cache_dir(str(data))) or not os.listdir(cache_dir(str(data)))


def test_simulated_ticks_keep_their_own_root_and_follow_the_calendar(tmp_path):
    data = tmp_path / "d"
    run = Backtest(BuyFirst(), [Instrument("2412", "Stock")], "2024-01-02", "2024-01-02", module_console="none",
                   data_dir=str(data)).run()
    assert run.ticks > 0 and not (data / "mero").exists()
    assert os.listdir(data / "simulated" / "mero" / "ticks") == ["2412 2024-01-02 - ticks.csv"]
    # the cache-only broker refuses the generated ticks even when pointed at them
    with pytest.raises(BacktestError, match="generated ticks"):
        Backtest(BuyFirst(), [Instrument("2412", "Stock")], "2024-01-02", "2024-01-02", api=CacheOnly(),
                 data_dir=str(data / "simulated"))
    # no ticks on an exchange holiday that falls on a weekday
    txf = _FUTURES[0]
    assert generate_day(txf, date(2024, 2, 7))["ts"] == [] and generate_day(txf, date(2024, 2, 5))["ts"]
    assert trading_days(date(2024, 2, 5), date(2024, 2, 15)) == [date(2024, 2, 5), date(2024, 2, 15)]
    first = generate_day(txf, date(2024, 1, 2))["ts"][0]
    assert clock(first / 1e9).startswith("2024-01-02 08:45:00")


def test_cache_broker_takes_any_code():
    api = CacheOnly()
    assert api.Contracts.Futures["XYZR1"].code == "XYZR1" and api.Contracts.Stocks["9999"].market == "Stock"
    assert api.ticks(api.Contracts.Stocks["9999"], "2024-01-06") == {c: [] for c in (
        "ts", "close", "volume", "bid_price", "bid_volume", "ask_price", "ask_volume", "tick_type")}
    with pytest.raises(DataError, match="9999 on 2024-01-05"):
        api.ticks(api.Contracts.Stocks["9999"], "2024-01-05")
    assert SimulatedBroker().data_root("/x") == os.path.join("/x", "simulated")
