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
    assert every_file(tmp_path) == ["Daily_2024_01_02.csv", *(os.path.join("d", "mero", "ticks", n) for n in cached(data))]
