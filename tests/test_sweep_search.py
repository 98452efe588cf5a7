"""Sweep options checked before the first run, the output folder's lock, constraints, searches, time
limits, walk-forward windows and the overfitting verdict. Small and fast: most cases never start a run."""

import os

import pytest

from orva_mero_backtest import cli, sweep
from orva_mero_backtest.errors import BacktestError
from orva_mero_backtest.sweep import folder as sweep_folder

MA = ["--strategy", "ma_cross", "--start", "2024-01-02", "--stock", "2412"]


@pytest.fixture
def no_runs(monkeypatch):
    """Any attempt to fill the cache or run fails the test: the refusal must come first."""
    monkeypatch.setattr(sweep.command, "warm_cache", lambda *a, **k: pytest.fail("cache filled despite bad input"))
    monkeypatch.setattr(sweep.engines, "run_local", lambda *a, **k: pytest.fail("ran despite bad input"))


@pytest.mark.parametrize("argv, message", [
    (["--metric", "sharp"], "did you mean sharpe?"),
    (["--metric", "zzz"], "is not a numeric result (metrics: "),
    (["--metric", "max_drawdown_start"], "is not a numeric result"),  # a text statistic ranks nothing
    (["--param", "nosuch=1:30000"], "ma_cross has no parameter nosuch"),  # before 30,000 values are made
    (["--param", "fast=1:200", "--param", "slow=1:100"], "20,000 runs, more than --max-runs allows (10,000)"),
    (["--param", "fast=1:20", "--max-runs", "5"], "give --max-runs 20 to run them all"),
    (["--max-runs", "0"], "--max-runs must be 1 or more"),
    (["--top", "0"], "--top must be 1 or more"),
    (["--reports", "--no-report"], "--reports contradicts --no-report"),
    (["--name", "a/b"], "plain folder name"),
])
def test_bad_options_are_refused_before_anything_runs(argv, message, no_runs, tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    assert cli.main(["sweep"] + MA + argv) == 2
    err = capsys.readouterr().err
    assert err.startswith("orva-backtest: error: ") and message in err and err.count("\n") == 1
    assert os.listdir(tmp_path) == []


def test_an_unwritable_report_dir_is_found_at_once(no_runs, tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "file").write_text("")
    assert cli.main(["sweep"] + MA + ["--report-dir", "file/reports"]) == 2
    assert "the sweep folder cannot be made in" in capsys.readouterr().err
    assert os.listdir(tmp_path) == ["file"]


def test_a_folder_in_use_or_holding_results_is_refused(tmp_path):
    held = sweep_folder.SweepFolder(str(tmp_path / "reports"), "s")
    try:
        with pytest.raises(BacktestError, match="another sweep is writing to"):
            sweep_folder.SweepFolder(str(tmp_path / "reports"), "s")
        (tmp_path / "reports" / "s" / sweep.CSV_NAME).write_text("run\n")
    finally:
        held.release()
    assert os.listdir(tmp_path / "reports" / "s") == [sweep.CSV_NAME]  # the lock file is gone
    with pytest.raises(BacktestError, match="already holds a sweep's results"):
        sweep_folder.SweepFolder(str(tmp_path / "reports"), "s")
    # unnamed folders never collide, even made in the same second
    first = sweep_folder.SweepFolder(str(tmp_path / "reports"), None)
    second = sweep_folder.SweepFolder(str(tmp_path / "reports"), None)
    assert first.path != second.path and os.path.isdir(first.path) and os.path.isdir(second.path)
    first.discard()
    second.discard()
    assert os.listdir(tmp_path / "reports") == ["s"]


def test_a_failure_before_the_first_run_leaves_no_folder(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(sweep.engines, "run_local", lambda *a, **k: pytest.fail("ran despite bad input"))
    assert cli.main(["sweep", "--strategy", "ma_cross", "--start", "2024-01-02", "--stock", "9999",
                     "--report-dir", "deep/er"]) == 2
    assert "9999" in capsys.readouterr().err and os.listdir(tmp_path) == []


def test_a_big_grid_says_so_before_it_starts(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)

    def stop(*args, **kwargs):
        raise BacktestError("stopped here")

    monkeypatch.setattr(sweep.command, "warm_cache", stop)
    assert cli.main(["sweep"] + MA + ["--param", "fast=1:1000", "--quiet", "--jobs", "2"]) == 2
    captured = capsys.readouterr()
    assert captured.out == ""
    assert captured.err.splitlines()[0] == ("orva-backtest sweep: 1,000 runs on 2 worker(s); the tick cache is "
                                            "filled first")


def test_no_report_writes_no_folder(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    assert cli.main(["sweep"] + MA + ["--param", "fast=3", "--jobs", "1", "--no-report", "--no-progress"]) == 0
    out = capsys.readouterr().out
    assert "Sweep: 1 runs" in out and "Results written" not in out
    assert os.listdir(tmp_path) == ["data"]  # the tick cache only
