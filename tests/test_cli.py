"""The orva-backtest command: a small run end to end, and refusals of bad input."""

import csv
import json
import os
import subprocess
import sys

import pytest

from orva_mero_backtest import cli, report

SMALL = ["--stock", "2412", "--future", "TMFR1", "--start", "2024-01-02"]


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    cwd = tmp_path / "cwd"
    cwd.mkdir()
    monkeypatch.chdir(cwd)
    return cwd


def data_args(tmp_path):
    return ["--data-dir", str(tmp_path / "cli-data")]


def report_folders(cwd):
    reports = cwd / "reports"
    return sorted(os.listdir(reports)) if reports.exists() else []


def test_small_run_writes_the_report(workdir, tmp_path, capsys, monkeypatch):
    progress = []
    monkeypatch.setattr(cli, "_progress_hook", progress.append)
    assert cli.main(SMALL + data_args(tmp_path) + ["--name", "r1", "--param", "bo_lookback=5"]) == 0
    out = capsys.readouterr().out
    assert progress and progress[-1].fraction == 1.0 and progress[-1].ticks > 5000
    for text in ("Ticks per second", "Commission", "Realized P&L", "Final positions", "Report written to"):
        assert text in out
    assert report_folders(workdir) == ["r1"]
    folder = workdir / "reports" / "r1"
    assert sorted(os.listdir(folder)) == sorted(
        [report.FILLS_CSV, report.TRADES_CSV, report.POSITIONS_CSV, report.SUMMARY_JSON, report.PICTURE])
    assert (folder / report.PICTURE).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    summary = json.loads((folder / report.SUMMARY_JSON).read_text(encoding="utf-8"))
    with open(folder / report.FILLS_CSV, encoding="utf-8") as f:
        fills = list(csv.DictReader(f))
    with open(folder / report.TRADES_CSV, encoding="utf-8") as f:
        trades = list(csv.DictReader(f))
    assert summary["fills"] == len(fills) > 0 and summary["orders"] == len(trades)
    assert summary["ticks"] > 5000 and summary["backfill_ticks"] == 0
    assert {row["code"] for row in fills} <= {"2412", "TMFR1"}
    assert fills[0]["time"].startswith("2024-01-02 ")
    # the tick cache went to the data directory (the simulated broker's own root), not to the working directory
    assert os.listdir(tmp_path / "cli-data" / "simulated" / "mero" / "ticks")
    assert not (tmp_path / "cli-data" / "mero").exists()
    assert not (workdir / "mero").exists()


def test_no_arguments_mean_the_sample_backtest():
    backtest = cli.make_backtest(cli.build_parser().parse_args([]))
    assert [(i.code, i.market) for i in backtest.instruments] == [("2330", "Stock"), ("TXFR1", "Future")]
    assert (backtest.start, backtest.end) == (cli.SAMPLE_START, cli.SAMPLE_END)
    assert (backtest.backfill_start, backtest.backfill_end) == cli.SAMPLE_BACKFILL
    assert backtest.strategy.name == "sample"


@pytest.mark.parametrize(
    "args, message",
    [
        (["--stock", "9999", "--start", "2024-01-02"], "unknown instrument 9999"),
        (["--future", "2330", "--start", "2024-01-02"], "unknown instrument 2330"),
        (["--start", "2024-01-32"], "not a calendar day"),
        (["--start", "yesterday"], "YYYY-MM-DD"),
        (["--start", "2024-01-05", "--end", "2024-01-02"], "before start date"),
        (["--end", "2024-01-02"], "--start is required"),
        (["--start", "2024-01-02", "--backfill-start", "2024-01-02"], "must end before"),
        (["--strategy", "nope"], "unknown strategy"),
        (["--param", "ma_fast"], "KEY=VALUE"),
        (["--param", "ma_fast=x"], "needs a int"),
        (["--cost", "stock_tax_rate=-1"], ">= 0"),
        (["--broker", "shioaji"], "ORVA_SHIOAJI_API_KEY"),
        (["--no-such-option"], "unrecognized arguments"),
    ],
)
def test_bad_input_gives_one_line_and_no_report(args, message, workdir, tmp_path, capsys, monkeypatch):
    monkeypatch.delenv(cli.API_KEY_ENV, raising=False)
    assert cli.main(args + data_args(tmp_path) + ["--no-progress"]) == cli.EXIT_BAD_INPUT
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith("orva-backtest: error: ") and message in err
    assert report_folders(workdir) == []


def test_strategy_failure_leaves_no_report(workdir, tmp_path, capsys, monkeypatch):
    (tmp_path / "boom_strategy.py").write_text(
        "from orva_mero_backtest.strategy import Strategy\n"
        "class Boom(Strategy):\n"
        "    name = 'boom'\n"
        "    def on_deal(self, ctx, deal):\n"
        "        raise RuntimeError('no\\nway')\n"
        "    def on_tick(self, ctx, tick):\n"
        "        if not ctx.open_orders() and ctx.position(tick['code']) == 0:\n"
        "            ctx.buy(tick['code'], 1, order_type='IOC')\n"
    )
    monkeypatch.syspath_prepend(str(tmp_path))
    code = cli.main(["--stock", "2412", "--start", "2024-01-02", "--strategy", "boom_strategy:Boom", "--no-progress"]
                    + data_args(tmp_path))
    assert code == cli.EXIT_FAILED
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "strategy boom raised in on_deal at 2412 2024-01-02" in err
    assert "RuntimeError: no way" in err
    assert report_folders(workdir) == []


def test_failure_while_writing_the_report_leaves_no_folder(workdir, tmp_path, capsys, monkeypatch):
    def broken_plot(result, path):
        open(path, "wb").close()
        raise OSError("disk full")

    monkeypatch.setattr(report, "plot", broken_plot)
    assert cli.main(["--stock", "2412", "--start", "2024-01-02", "--no-progress"] + data_args(tmp_path)) != 0
    assert "disk full" in capsys.readouterr().err
    assert report_folders(workdir) == []


def test_module_entry_point(tmp_path):
    env = dict(os.environ, ORVA_MERO_BACKTEST_DATA_DIR=str(tmp_path / "data"))
    done = subprocess.run(
        [sys.executable, "-m", "orva_mero_backtest", "--stock", "2412", "--start", "2024-01-02", "--no-progress",
         "--name", "run"],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120,
    )
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""  # nothing from the daemon threads at interpreter exit either
    assert "Report written to" in done.stdout
    assert (tmp_path / "reports" / "run" / report.PICTURE).exists()
