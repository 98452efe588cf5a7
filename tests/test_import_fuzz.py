"""The importer fed random bytes and random CSV shapes: the only answers are an import or one DataError, never
another exception, and the cache is either left byte for byte as it was or holds only files the feed can serve."""

import math
import os
import tempfile
import zipfile

import polars as pl
from hypothesis import HealthCheck, given, settings, strategies as st

from orva_mero_backtest import cli
from orva_mero_backtest.data import DataError, cache_dir, import_ticks
from orva_mero_backtest.data.importer import TICK_SCHEMA, _TS_MAX, _TS_MIN

FUZZ = settings(max_examples=int(os.environ.get("FUZZ_EXAMPLES", "40")), deadline=None, suppress_health_check=[HealthCheck.too_slow])
NAMES = ["2330.csv", "Daily_2024_01_02.csv", "2330.parquet", "Daily_2024_01_02.zip", "x.txt"]
OLD = "ts,close,volume,bid_price,bid_volume,ask_price,ask_volume,tick_type\n1704186001000000000,1.0,1,0.0,0,0.0,0,0\n"


def snapshot(root):
    found = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, root)] = f.read()
    return found


def check_servable(data):
    """Every cache file reads with the tick columns and holds only ticks the feed may serve."""
    folder = cache_dir(data)
    assert not [n for n in os.listdir(folder) if n.startswith(".")], "staging left behind"
    for name in os.listdir(folder):
        frame = pl.read_csv(os.path.join(folder, name), schema=TICK_SCHEMA)
        assert frame.height > 0
        assert frame["ts"].is_sorted() and frame["ts"].min() >= _TS_MIN and frame["ts"].max() < _TS_MAX
        assert all(math.isfinite(v) and v > 0 for v in frame["close"])
        assert frame["volume"].null_count() == 0 and frame["volume"].min() >= 0
        for side in ("bid_price", "ask_price"):
            assert all(math.isfinite(v) and v >= 0 for v in frame[side])


def import_into_old_cache(write):
    """Imports what ``write(folder)`` makes into a cache that already holds a file; returns the outcome."""
    with tempfile.TemporaryDirectory() as folder:
        data = os.path.join(folder, "d")
        os.makedirs(cache_dir(data))
        with open(os.path.join(cache_dir(data), "2330 2024-01-02 - ticks.csv"), "w") as f:
            f.write(OLD)
        before = snapshot(data)
        path = write(folder)
        try:
            import_ticks(path, data_dir=data, max_member_bytes=1 << 20)
        except DataError as exc:
            assert "\n" not in str(exc)
            assert snapshot(data) == before
            return "refused"
        check_servable(data)
        return "imported"


@FUZZ
@given(name=st.sampled_from(NAMES), content=st.binary(max_size=600))
def test_random_bytes(name, content):
    def write(folder):
        path = os.path.join(folder, name)
        with open(path, "wb") as f:
            f.write(content)
        return path

    import_into_old_cache(write)


SDK_COLUMNS = ["ts", "close", "volume", "bid_price", "bid_volume", "ask_price", "ask_volume", "tick_type", "code", "junk"]
CELLS = st.sampled_from([
    "", " ", "0", "1", "-1", "590", "590.5", "1e20", "nan", "inf", "-inf", "NaN", "99999999999999999999",
    "1704186001000000000", "1704186001000000000.0", "1.704186001e18", "1704186001", "1704186001000",
    "2024-01-02 09:00:01", "2024-01-02T09:00:01+08:00", "2024/01/02 09:00", "2024-13-45", "25:99", "abc",
    '"5,5"', "\"", "2330", "2317", "../x", "a b", "é", "\t", "0x10",
])


@st.composite
def csv_shapes(draw):
    columns = draw(st.lists(st.sampled_from(SDK_COLUMNS), min_size=1, max_size=9, unique=True))
    spelled = [draw(st.sampled_from([c, c.upper(), f" {c} "])) for c in columns]
    rows = draw(st.lists(st.lists(CELLS, min_size=0, max_size=len(columns) + 2), max_size=12))
    eol = draw(st.sampled_from(["\n", "\r\n"]))
    bom = draw(st.sampled_from(["", "\ufeff"]))
    return bom + eol.join([",".join(spelled)] + [",".join(r) for r in rows]) + eol


@FUZZ
@given(text=csv_shapes(), parquet=st.booleans())
def test_random_sdk_csv_shapes(text, parquet):
    def write(folder):
        path = os.path.join(folder, "2330.csv")
        with open(path, "w", encoding="utf-8", newline="") as f:
            f.write(text)
        if parquet:
            try:
                frame = pl.read_csv(path, infer_schema_length=None, truncate_ragged_lines=True)
            except pl.exceptions.PolarsError:
                return path
            path = os.path.join(folder, "2330.parquet")
            frame.write_parquet(path)
        return path

    import_into_old_cache(write)


TAIFEX_HEADER = "成交日期,商品代號,到期月份(週別),成交時間,成交價格,成交數量(B+S)"
TAIFEX_CELLS = st.sampled_from([
    "20240102", "20240103", "2024010x", "", "TX", "MTX  ", "../p", "202401", "202401/202402", "202402W1", "..",
    "84500", "150000", "45959", "256000", "-1", "17600", "0", "nan", "1e20", "2", "3", "4.0", " 6 ",
])


@FUZZ
@given(rows=st.lists(st.lists(TAIFEX_CELLS, min_size=0, max_size=7), max_size=12), zipped=st.booleans(),
       session=st.sampled_from(["day", "after-hours", "all"]))
def test_random_taifex_shapes(rows, zipped, session):
    text = "\r\n".join([TAIFEX_HEADER] + [",".join(r) for r in rows]) + "\r\n"

    def write(folder):
        path = os.path.join(folder, "Daily_2024_01_02.csv")
        with open(path, "wb") as f:
            f.write(text.encode("cp950"))
        if zipped:
            with zipfile.ZipFile(path[:-4] + ".zip", "w", zipfile.ZIP_DEFLATED) as archive:
                archive.write(path, "Daily_2024_01_02.csv")
                archive.writestr("__MACOSX/._Daily_2024_01_02.csv", b"\x00\x05")
            path = path[:-4] + ".zip"
        return path

    import_into_old_cache(write)


@settings(max_examples=15, deadline=None)
@given(text=csv_shapes(), code=st.sampled_from(["", "2330", "../x", "TXFR1", "a\tb"]))
def test_the_command_line_answers_with_an_exit_status_never_a_traceback(text, code):
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "in.csv")
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        import contextlib
        import io

        err = io.StringIO()
        with contextlib.redirect_stderr(err), contextlib.redirect_stdout(io.StringIO()):
            status = cli.main(["import", path, "--code", code, "--data-dir", os.path.join(folder, "d")])
        assert status in (0, 2) and "Traceback" not in err.getvalue()
        if status == 2:
            assert err.getvalue().count("\n") == 1


@FUZZ
@given(cells=st.lists(st.lists(st.sampled_from(["1", "", '"a,b"', '"x\ny"', '"q""q"', "z", '"\r\n"']), min_size=3, max_size=3),
                      min_size=1, max_size=15),
       piece_bytes=st.integers(1, 40))
def test_csv_pieces_read_as_the_whole_file(cells, piece_bytes):
    from orva_mero_backtest.data import sources

    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "x.csv")
        with open(path, "w", encoding="utf-8", newline="") as f:
            f.write("a,b,c\n" + "".join(",".join(row) + "\n" for row in cells))
        saved = sources.CSV_CHUNK_BYTES
        sources.CSV_CHUNK_BYTES = piece_bytes
        try:
            pieces = pl.concat(list(sources._csv_batches(path)))
        finally:
            sources.CSV_CHUNK_BYTES = saved
        whole = pl.read_csv(path, infer_schema=False)
        assert pieces.drop("_row").equals(whole) and pieces["_row"].to_list() == list(range(whole.height))
