"""The importer against messy and hostile input: every case ends with the cache whole and a clear answer."""

import os
import zipfile

import polars as pl
import pytest

from orva_mero_backtest import cli
from orva_mero_backtest.data import DataError, cache_dir, cache_file, import_ticks
from orva_mero_backtest.data.codes import check_code

HEADER = "成交日期,商品代號,到期月份(週別),成交時間,成交價格,成交數量(B+S)"
SDK_ROWS = "ts,close,volume\n1704186001000000000,590,1\n1704186002000000000,591,2\n"


def taifex(rows):
    return ("\r\n".join([HEADER] + rows) + "\r\n").encode("cp950")


def every_file(root):
    """Every file under ``root`` (relative paths), to show that nothing was written elsewhere."""
    found = []
    for folder, _, names in os.walk(root):
        found += [os.path.relpath(os.path.join(folder, n), root) for n in names]
    return sorted(found)


def cached(data):
    folder = cache_dir(str(data))
    return sorted(os.listdir(folder)) if os.path.isdir(folder) else []


def run_import(argv, capsys):
    status = cli.main(["import", *map(str, argv)])
    out, err = capsys.readouterr()
    return status, out, err


@pytest.mark.parametrize("code", ["../../../evil", "a/b", "a\\b", "..", "x\0y", "x\ny", "x\x1by", "two words", "", ".hidden"])
def test_codes_that_are_not_plain_names_are_refused(tmp_path, capsys, code):
    source = tmp_path / "in.csv"
    source.write_text(SDK_ROWS)
    data = tmp_path / "a" / "b" / "c" / "data"
    with pytest.raises(DataError, match="code"):
        import_ticks(source, code=code, data_dir=str(data))
    with pytest.raises(DataError):
        cache_file(str(data), code, "2024-01-02")
    if "\0" not in code:  # argv cannot carry NUL
        status, out, err = run_import([source, "--code", code, "--data-dir", data], capsys)
        assert status == 2 and err.count("\n") == 1 and out == ""
    assert every_file(tmp_path) == ["in.csv"]


@pytest.mark.parametrize("code", ["2330", "00878", "TXFR1", "MXF202401", "sdk_9999", "A-B.C"])
def test_plain_codes_pass(code):
    assert check_code(code) == code


def test_a_file_name_that_is_not_a_plain_code_is_refused(tmp_path):
    source = tmp_path / "two words.csv"
    source.write_text(SDK_ROWS)
    with pytest.raises(DataError, match="file name"):
        import_ticks(source, data_dir=str(tmp_path / "d"))
    assert not (tmp_path / "d").exists()


def test_a_product_column_that_is_not_a_plain_code_is_refused_row_by_row(tmp_path):
    source = tmp_path / "Daily_2024_01_02.csv"
    source.write_bytes(taifex([
        "20240102,../../../pwn,202401,84500,17600,2",
        "20240102,TX,..\\\\x,84500,17600,2",
        "20240102,TX,202401,84501,17601,2",
    ]))
    data = tmp_path / "d"
    result = import_ticks(source, data_dir=str(data))
    assert result.kept == 2 and result.refused == 2
    assert cached(data) == ["TXF202401 2024-01-02 - ticks.csv", "TXFR1 2024-01-02 - ticks.csv"]
    assert every_file(tmp_path) == ["Daily_2024_01_02.csv", os.path.join("d", "logs", "import.log"),
                                    *(os.path.join("d", "mero", "ticks", n) for n in cached(data))]
    assert result.refused_rows == [f"{source} line 2: product '../../../pwn' and month '202401' are not a plain code",
                                   f"{source} line 3: product 'TX' and month '..\\\\x' are not a plain code"]


# --- literal names, duplicates, codes and where they come from ---------------------------------------


@pytest.mark.parametrize("name", ["23[3]0.csv", "23*.csv", "23?0.csv"])
def test_file_names_are_taken_literally(tmp_path, capsys, name):
    (tmp_path / "2330.csv").write_text(SDK_ROWS)
    (tmp_path / "2331.csv").write_text(SDK_ROWS)
    data = tmp_path / "d"
    status, out, err = run_import([tmp_path / name, "--code", "2330", "--data-dir", data], capsys)
    assert status == 2 and name in err and "No such file" in err and err.count("\n") == 1
    assert cached(data) == []
    (tmp_path / name).write_text("ts,close,volume\n1704186001000000000,700,1\n")
    result = import_ticks(tmp_path / name, code="2330", data_dir=str(data))
    assert result.kept == 1
    assert pl.read_csv(cache_file(str(data), "2330", "2024-01-02"))["close"].to_list() == [700.0]


def test_the_same_file_given_twice_is_read_once_and_said_so(tmp_path, capsys):
    (tmp_path / "2330.csv").write_text(SDK_ROWS)
    (tmp_path / "copy").mkdir()
    (tmp_path / "copy" / "2330.csv").write_text(SDK_ROWS)
    os.symlink(tmp_path / "2330.csv", tmp_path / "link.csv")
    data = tmp_path / "d"
    status, out, _ = run_import([tmp_path / "2330.csv", tmp_path / "2330.csv", tmp_path / "link.csv",
                                 tmp_path / "copy" / "2330.csv", "--data-dir", data], capsys)
    assert status == 0 and "given twice; read once" in out and out.count("read once") == 3
    assert pl.read_csv(cache_file(str(data), "2330", "2024-01-02")).height == 2
    (tmp_path / "2317.csv").write_text(SDK_ROWS)  # the same content under another code is another input
    assert import_ticks([tmp_path / "2330.csv", tmp_path / "2317.csv"], data_dir=str(data)).notes == []
    assert len(import_ticks([tmp_path / "2330.csv", tmp_path / "2317.csv"], code="2330", data_dir=str(data)).notes) == 1
    frame = pl.read_csv(SDK_ROWS.encode())
    result = import_ticks([frame, frame], code="2317", data_dir=str(data))
    assert result.kept == 2 and result.notes == ["DataFrame #1 given twice; read once"]


MIXED = "code,ts,close,volume\n2330,1704186001000000000,590,1\n2317,1704186001000000000,100,1\n2330,1704186002000000000,591,1\n"


def test_a_code_column_splits_the_file_by_code(tmp_path, capsys):
    source = tmp_path / "export.csv"
    source.write_text(MIXED + "../x,1704186003000000000,1,1\n,1704186003000000000,1,1\n")
    data = tmp_path / "d"
    status, out, _ = run_import([source, "--data-dir", data], capsys)
    assert status == 0 and "code column" in out
    assert pl.read_csv(cache_file(str(data), "2330", "2024-01-02"))["close"].to_list() == [590.0, 591.0]
    assert pl.read_csv(cache_file(str(data), "2317", "2024-01-02"))["close"].to_list() == [100.0]
    assert "line 5: code '../x' holds a path separator" in out and "line 6: code '' is empty" in out
    assert every_file(data / "mero") == sorted(os.path.join("ticks", f"{c} 2024-01-02 - ticks.csv") for c in ("2317", "2330"))


def test_a_code_column_that_disagrees_with_the_code_option_is_refused(tmp_path, capsys):
    source = tmp_path / "export.csv"
    source.write_text(MIXED)
    data = tmp_path / "d"
    status, _, err = run_import([source, "--code", "2330", "--data-dir", data], capsys)
    assert status == 2 and "code column holds 2317, not only 2330" in err and cached(data) == []
    source.write_text(MIXED.replace("2317", "2330"))
    assert import_ticks(source, code="2330", data_dir=str(data)).kept == 3


def test_the_import_table_says_where_each_code_came_from(tmp_path, capsys):
    (tmp_path / "sdk_9999.csv").write_text(SDK_ROWS)
    (tmp_path / "Daily_2024_01_02.csv").write_bytes(taifex(["20240102,TX,202401,84500,17600,2"]))
    data = tmp_path / "d"
    result = import_ticks([tmp_path / "sdk_9999.csv", tmp_path / "Daily_2024_01_02.csv"], data_dir=str(data))
    assert {d.code: d.source for d in result.days} == {"sdk_9999": "file name", "TXF202401": "product column",
                                                       "TXFR1": "product column"}
    assert {d.source for d in import_ticks(tmp_path / "sdk_9999.csv", code="2330", data_dir=str(data)).days} == {"--code"}
    status, out, _ = run_import([tmp_path / "sdk_9999.csv", "--data-dir", data], capsys)
    assert "Code from" in out and "file name" in out


# --- all or nothing ------------------------------------------------------------------------------------

TWO_DAYS = SDK_ROWS + "1704272401000000000,600,1\n1704358801000000000,610,1\n"  # 01-02, 01-03 and 01-04


def snapshot(root):
    return {name: open(os.path.join(root, name), "rb").read() for name in every_file(root)}


@pytest.fixture
def old_cache(tmp_path):
    """A cache holding 2330 on 2024-01-03 (to be replaced) and 2317 on 2024-01-02 (untouched)."""
    data = tmp_path / "d"
    (tmp_path / "old").mkdir()
    (tmp_path / "old" / "2330.csv").write_text("ts,close,volume\n1704272401000000000,1,1\n")
    (tmp_path / "old" / "2317.csv").write_text(SDK_ROWS)
    import_ticks([tmp_path / "old" / "2330.csv", tmp_path / "old" / "2317.csv"], data_dir=str(data))
    (tmp_path / "2330.csv").write_text(TWO_DAYS)
    return data


def fail_on_call(monkeypatch, target, name, n):
    real = getattr(target, name)
    calls = []

    def failing(*args, **kwargs):
        calls.append(1)
        if len(calls) == n:
            raise OSError(28, "No space left on device")
        return real(*args, **kwargs)

    monkeypatch.setattr(target, name, failing)


@pytest.mark.parametrize("fault", ["bad second file", "disk full while staging", "disk full writing a day",
                                   "rename fails halfway"])
def test_a_failing_import_leaves_the_cache_exactly_as_it_was(tmp_path, monkeypatch, old_cache, fault):
    from orva_mero_backtest.data import staging

    before = snapshot(old_cache)
    sources = [tmp_path / "2330.csv"]
    if fault == "bad second file":
        (tmp_path / "2317.csv").write_text("ts,price\n1,2\n")
        sources.append(tmp_path / "2317.csv")
    elif fault == "disk full while staging":
        fail_on_call(monkeypatch, pl.DataFrame, "write_ipc", 2)
    elif fault == "disk full writing a day":
        fail_on_call(monkeypatch, pl.DataFrame, "write_csv", 2)
    else:
        fail_on_call(monkeypatch, staging.os, "replace", 3)
    with pytest.raises(DataError, match="2317.csv: no column close" if fault == "bad second file" else "No space"):
        import_ticks(sources, data_dir=str(old_cache))
    monkeypatch.undo()
    assert snapshot(old_cache) == before
    assert import_ticks(sources[:1], data_dir=str(old_cache)).kept == 4  # and the cache still takes an import


def test_a_failing_first_import_leaves_no_folders(tmp_path):
    (tmp_path / "2317.csv").write_text("ts,close,volume\n1,2\n")
    (tmp_path / "bad.csv").write_text("ts,price\n1,2\n")
    with pytest.raises(DataError, match="bad.csv"):
        import_ticks([tmp_path / "2317.csv", tmp_path / "bad.csv"], data_dir=str(tmp_path / "new"))
    assert sorted(os.listdir(tmp_path)) == ["2317.csv", "bad.csv"]


# --- bad rows, one by one ------------------------------------------------------------------------------

GOOD_ROW = "1704186001000000000,590,1"


@pytest.mark.parametrize("row, reason", [
    ("junk,590,1", "ts 'junk' is neither epoch nanoseconds nor a date-time"),
    ("1.704186001e18,590,1", "ts '1.704186001e18' is neither epoch nanoseconds nor a date-time"),
    ("99999999999999999999,590,1", "ts '99999999999999999999' is neither"),
    ("2024-13-45 09:00:00,590,1", "ts '2024-13-45 09:00:00' is neither"),
    (",590,1", "ts is empty"),
    ("1704186001000000000,nan,1", "close 'nan' is not a positive price"),
    ("1704186001000000000,inf,1", "close 'inf' is not a positive price"),
    ("1704186001000000000,-inf,1", "close '-inf' is not a positive price"),
    ("1704186001000000000,0,1", "close '0' is not a positive price"),
    ("1704186001000000000,-590,1", "close '-590' is not a positive price"),
    ("1704186001000000000,590,1e20", "volume '1e20' is not a whole number"),
    ("1704186001000000000,590,99999999999999999999", "volume '99999999999999999999' is not a whole number"),
    ("1704186001000000000,590,1.5", "volume '1.5' is not a whole number"),
])
def test_a_bad_sdk_row_is_refused_alone_with_its_line_and_reason(tmp_path, capsys, row, reason):
    source = tmp_path / "2330.csv"
    source.write_text(f"ts,close,volume\n{GOOD_ROW}\n{row}\n1704186002000000000,591,2\n")
    data = tmp_path / "d"
    status, out, _ = run_import([source, "--data-dir", data], capsys)
    assert status == 0 and f"refused: {source} line 3: {reason}" in " ".join(out.split())
    assert pl.read_csv(cache_file(str(data), "2330", "2024-01-02"))["close"].to_list() == [590.0, 591.0]
    log = (data / "logs" / "import.log").read_text()
    assert f"{source} line 3: {reason}" in log and "line 2" not in log


@pytest.mark.parametrize("ts", [
    pl.Series([1.704186001e18, float("nan"), 1.7041860025e18]),
    pl.Series([1704186001000000000, 2**63 + 5, 1704186002500000000], dtype=pl.UInt64),
])
def test_parquet_ts_columns_of_other_types_are_read_row_by_row(tmp_path, ts):
    source = tmp_path / "2330.parquet"
    pl.DataFrame({"ts": ts, "close": [590.0, 591.0, 592.0], "volume": [1, 2, 3]}).write_parquet(source)
    result = import_ticks(source, data_dir=str(tmp_path / "d"))
    if ts.dtype == pl.UInt64:
        assert result.kept == 2 and result.rows_refused == 1 and "row 2: ts" in result.refused_rows[0]
    else:  # float nanoseconds cannot be exact: refused, each row on its own
        assert result.kept == 0 and result.rows_refused == 3 and "row 1: ts" in result.refused_rows[0]


@pytest.mark.parametrize("row, reason", [
    ("20240102,TX,202401,84501,17600,1e20", "volume (B+S) '1e20' is not an even whole number"),
    ("20240102,TX,202401,84501,17600,3", "volume (B+S) '3' is not an even whole number"),
    ("20240102,TX,202401,84501,NaN,2", "price 'NaN' is not a positive number"),
    ("20240102,TX,202401,84501,-5,2", "price '-5' is not a positive number"),
    ("2024010x,TX,202401,84501,17600,2", "date '2024010x' and time '84501' are not"),
    ("20240102,TX,202401,256000,17600,2", "date '20240102' and time '256000' are not"),
])
def test_a_bad_exchange_row_is_refused_alone(tmp_path, row, reason):
    source = tmp_path / "Daily_2024_01_02.csv"
    source.write_bytes(taifex(["20240102,TX,202401,84500,17600,2", row]))
    result = import_ticks(source, data_dir=str(tmp_path / "d"))
    assert result.rows_refused == 1 and len(result.refused_rows) == 1
    assert result.refused_rows[0].startswith(f"{source} line 3: {reason}")
    assert pl.read_csv(cache_file(str(tmp_path / "d"), "TXFR1", "2024-01-02"))["close"].to_list() == [17600.0]


@pytest.mark.parametrize("unit, scale", [("seconds", 10**9), ("milliseconds", 10**6), ("microseconds", 10**3)])
def test_a_file_in_a_coarser_epoch_unit_gets_a_hint(tmp_path, capsys, unit, scale):
    source = tmp_path / "2330.csv"
    source.write_text("ts,close,volume\n" + "".join(f"{(1704186001 + i) * 10**9 // scale},590,1\n" for i in range(5)))
    status, out, _ = run_import([source, "--data-dir", tmp_path / "d"], capsys)
    assert status == 0 and f"5 of 5 ts values read as epoch {unit}" in " ".join(out.split())
    assert f"multiply by {scale:,}" in " ".join(out.split())


@pytest.mark.parametrize("name, content, said", [
    ("2330.csv", "ts,close,volume\n", "2330.csv has no data rows (a header only): nothing imported from it"),
    ("Daily_2024_01_02.csv", taifex([]), "although 2024-01-02 is a trading day"),
])
def test_a_header_only_file_is_said_so(tmp_path, capsys, name, content, said):
    source = tmp_path / name
    source.write_bytes(content if isinstance(content, bytes) else content.encode())
    status, out, _ = run_import([source, "--data-dir", tmp_path / "d"], capsys)
    assert status == 0 and said in " ".join(out.split()) and cached(tmp_path / "d") == []


@pytest.mark.parametrize("marked", [True, False])
def test_importing_into_the_simulated_root_is_refused(tmp_path, capsys, marked):
    from orva_mero_backtest.data.cache_broker import SIMULATED_MARK

    (tmp_path / "2330.csv").write_text(SDK_ROWS)
    root = tmp_path / ("gen" if marked else "simulated")
    root.mkdir()
    if marked:
        (root / SIMULATED_MARK).write_text("x")
    status, _, err = run_import([tmp_path / "2330.csv", "--data-dir", root], capsys)
    assert status == 2 and "simulated broker's data root" in err and not (root / "mero").exists()


# --- files that are not files, and ZIPs ------------------------------------------------------------------


def within(seconds, fn):
    """fn()'s result, failing the test if it takes longer than ``seconds`` (a blocked open, say)."""
    import threading

    box = {}

    def call():
        try:
            box["v"] = fn()
        except BaseException as exc:  # raised again in the test's thread
            box["e"] = exc

    thread = threading.Thread(target=call, daemon=True)
    thread.start()
    thread.join(timeout=seconds)
    assert not thread.is_alive(), f"still running after {seconds} s"
    if "e" in box:
        raise box["e"]
    return box["v"]


@pytest.mark.parametrize("kind", ["fifo", "directory"])
def test_a_file_that_is_not_a_regular_file_is_refused_at_once(tmp_path, capsys, kind):
    odd = tmp_path / "2330.csv"
    if kind == "fifo":
        os.mkfifo(odd)
    else:
        odd.mkdir()
        (odd / "x.csv").write_text(SDK_ROWS)
    (tmp_path / "2317.csv").write_text(SDK_ROWS)
    data = tmp_path / "d"
    status, out, err = within(10, lambda: run_import([tmp_path / "2317.csv", odd, "--data-dir", data], capsys))
    assert status == 2 and err.count("\n") == 1 and str(odd) in err
    assert ("a FIFO" if kind == "fifo" else "a directory") + ", not a regular file" in err
    assert not data.exists()


def zip_of(path, members, method=zipfile.ZIP_DEFLATED):
    with zipfile.ZipFile(path, "w", compression=method) as archive:
        for name, content in members.items():
            archive.writestr(name, content)
    return path


def patch_zip(path, flag_bits=None, method=None, size=None):
    """Rewrites the first member's general-purpose flags, compression method or declared size in both of the
    ZIP's headers (the way an archiver that encrypts, uses Deflate64 or lies about sizes writes them)."""
    import struct

    raw = bytearray(path.read_bytes())
    for signature, flags_at, method_at, size_at in ((b"PK\x03\x04", 6, 8, 22), (b"PK\x01\x02", 8, 10, 24)):
        at = raw.index(signature)
        if flag_bits is not None:
            raw[at + flags_at:at + flags_at + 2] = struct.pack("<H", flag_bits)
        if method is not None:
            raw[at + method_at:at + method_at + 2] = struct.pack("<H", method)
        if size is not None:
            raw[at + size_at:at + size_at + 4] = struct.pack("<I", size)
    path.write_bytes(bytes(raw))


def test_every_daily_file_of_a_zip_is_imported_and_companions_are_skipped(tmp_path, capsys):
    source = zip_of(tmp_path / "Daily_2024_01.zip", {
        "Daily_2024_01_02.csv": taifex(["20240102,TX,202401,84500,17600,2"]),
        "__MACOSX/._Daily_2024_01_02.csv": b"\x00\x05\x16\x07 resource fork",
        "._Daily_2024_01_03.csv": b"\x00\x05\x16\x07",
        "sub/Daily_2024_01_03.csv": taifex(["20240103,TX,202401,84500,17700,4"]),
        "readme.pdf": b"%PDF",
    })
    data = tmp_path / "d"
    status, out, err = run_import([source, "--data-dir", data], capsys)
    assert status == 0, err
    assert pl.read_csv(cache_file(str(data), "TXFR1", "2024-01-02"))["close"].to_list() == [17600.0]
    assert pl.read_csv(cache_file(str(data), "TXFR1", "2024-01-03"))["volume"].to_list() == [2]


@pytest.mark.parametrize("fault, message", [
    ("encrypted", "the member is encrypted; unzip it first"),
    ("deflate64", "compression method 9 is not supported"),
    ("declared too large", "it unpacks to 2,000,000 bytes, over the limit of 1,048,576"),
    ("lies about its size", "the ZIP member cannot be unpacked"),
    ("not a zip", "not a readable ZIP"),
    ("no csv", "the ZIP holds no CSV file"),
])
def test_a_zip_that_cannot_be_read_is_one_clear_line(tmp_path, capsys, fault, message):
    source = tmp_path / "Daily_2024_01_02.zip"
    if fault == "not a zip":
        source.write_bytes(b"PK\x03\x04 but no more")
    elif fault == "no csv":
        zip_of(source, {"notes.txt/": b"", "a.pdf": b"%PDF"})
    elif fault == "declared too large":
        zip_of(source, {"Daily_2024_01_02.csv": b"0" * 2_000_000})
    else:
        zip_of(source, {"Daily_2024_01_02.csv": taifex(["20240102,TX,202401,84500,17600,2"] * 5000)})
        patch_zip(source, **{"encrypted": {"flag_bits": 1}, "deflate64": {"method": 9},
                             "lies about its size": {"size": 100}}[fault])
    data = tmp_path / "d"
    status, out, err = within(10, lambda: run_import([source, "--max-member-mb", "1", "--data-dir", data], capsys))
    assert status == 2 and err.count("\n") == 1 and message in err and "Traceback" not in err
    assert not data.exists()


def test_a_zip_bomb_is_refused_before_it_is_unpacked(tmp_path):
    import resource

    source = tmp_path / "Daily_2024_01_02.zip"
    zip_of(source, {"Daily_2024_01_02.csv": b"0" * (64 << 20)})  # 64 MB of zeros in a 64 KB ZIP
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    with pytest.raises(DataError, match="over the limit"):
        within(10, lambda: import_ticks(source, data_dir=str(tmp_path / "d"), max_member_bytes=8 << 20))
    patch_zip(source, size=1 << 20)  # declared small: the actual size is checked as it unpacks
    with pytest.raises(DataError, match="cannot be unpacked|over the limit"):
        within(10, lambda: import_ticks(source, data_dir=str(tmp_path / "d"), max_member_bytes=8 << 20))
    assert resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before < 48 << 10  # KB: never held whole
    assert not (tmp_path / "d").exists()


@pytest.mark.parametrize("piece_bytes", [1, 7, 64])
def test_csv_pieces_hold_whole_rows_and_keep_line_numbers(tmp_path, monkeypatch, piece_bytes):
    from orva_mero_backtest.data import sources

    monkeypatch.setattr(sources, "CSV_CHUNK_BYTES", piece_bytes)
    rows = [f'{1704186001000000000 + i * 10**9},"{590 + i}",{i + 1}' for i in range(30)]
    rows[4] = '1704186005000000000,"5""9\n0",1'  # a quoted newline and an escaped quote: refused, one row
    source = tmp_path / "2330.csv"
    source.write_text("\ufeffts,close,volume\r\n" + "\r\n".join(rows) + "\r\n")
    whole = pl.read_csv(source, infer_schema=False)
    pieces = pl.concat(list(sources._csv_batches(str(source))))
    assert pieces.drop("_row").equals(whole) and pieces["_row"].to_list() == list(range(30))
    result = import_ticks(source, data_dir=str(tmp_path / "d"))
    assert result.kept == 29 and result.refused_rows == [f"{source} line 6: close '5\"9\n0' is not a positive price"]


def test_parquet_is_read_in_slices(tmp_path, monkeypatch):
    from orva_mero_backtest.data import sources

    monkeypatch.setattr(sources, "BATCH_ROWS", 3)
    source = tmp_path / "2330.parquet"
    pl.DataFrame({"ts": [1704186001000000000 + i * 10**9 for i in range(10)], "close": [1.0] * 4 + [-1.0] + [2.0] * 5,
                  "volume": list(range(10))}).write_parquet(source, row_group_size=4)
    result = import_ticks(source, data_dir=str(tmp_path / "d"))
    assert result.kept == 9 and result.refused_rows == [f"{source} row 5: close '-1.0' is not a positive price"]
    assert pl.read_csv(cache_file(str(tmp_path / "d"), "2330", "2024-01-02"))["volume"].to_list() == [0, 1, 2, 3, 5, 6, 7, 8, 9]
