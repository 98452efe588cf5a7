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
    (["--param", "fast=3,5", "--constraint", "open('x', 'w')"], "a call is not allowed"),
    (["--param", "fast=3,5", "--constraint", "fast > slow"], "no combination of the grid satisfies"),
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


NAMES = {"fast": 3, "slow": 10, "qty": 1, "side": "long"}


@pytest.mark.parametrize("text, message", [
    ("__import__('os').system('true')", "a call is not allowed"),
    ("fast.real < 3", "an attribute is not allowed"),
    ("fast ** 99 < slow", "a power (**) is not allowed"),
    ("[fast][0] < 3", "an index is not allowed"),
    ("fast in (3, 5)", "'in' is not allowed"),
    ("fast if slow else qty", "an if-expression is not allowed"),
    ("(lambda: 1)() == 1", "a call is not allowed"),
    ("fast & 1 == 1", "'&' is not allowed"),
    ("fast < slwo", "unknown name slwo (parameters: fast, slow, qty, side)"),
    ("fast <", "is not an expression"),
    ("fast = 3", "is not an expression"),
    ("", "needs an expression"),
    ("fast < slow\0", "is not an expression"),
    ("x" * 1001, "longer than 1000 characters"),
    ("(" * 500 + "1" + ")" * 500 + " < 2", "--constraint"),
    ("fast < None", "is not a number or a text"),
])
def test_constraint_refusals_when_the_sweep_starts(text, message):
    with pytest.raises(BacktestError, match=None) as caught:
        sweep.Constraint(text, NAMES)
    assert message in str(caught.value)


@pytest.mark.parametrize("text, message", [
    ("fast", "gives 3, not true or false"),
    ("fast - slow and qty", "need comparisons"),
    ("side < fast", "mixes texts and numbers for fast=3, slow=10, qty=1, side=long"),
    ("side * 100000000 == 'x'", "mixes texts and numbers"),  # no arithmetic on texts
    ("fast / (slow - 10) > 1", "divides by zero for fast=3"),
])
def test_constraint_refusals_for_a_combination(text, message):
    constraint = sweep.Constraint(text, NAMES)
    with pytest.raises(BacktestError) as caught:
        constraint(NAMES)
    assert message in str(caught.value)


@pytest.mark.parametrize("text, expected", [
    ("fast < slow", True),
    ("fast >= slow", False),
    ("3 <= fast < slow <= 10", True),
    ("1 < fast < 3", False),
    ("not fast == 3", False),
    ("slow - fast >= 5 and qty <= 2", True),
    ("fast % 2 == 0 or slow // 4 == 2", True),
    ("-fast + 2 * slow / 4 == 2", True),
    ("side == 'long' and side != 'short'", True),
    ("side == 3", False),  # equality of a text and a number is simply false
])
def test_constraint_values(text, expected):
    assert sweep.Constraint(text, NAMES)(NAMES) is expected


def _plan(*argv):
    args = sweep.parse_sweep_args(MA + list(argv))
    sweep.command.check_options(args)
    return sweep.plan_sweep(args)


def test_constraints_leave_combinations_out_before_they_run():
    plan = _plan("--param", "fast=3:6", "--param", "slow=4:6", "--constraint", "fast < slow",
                 "--constraint", "slow - fast <= 2 or qty > 1")  # qty: the strategy's default, 1
    combos = [(dict(job.params)["fast"], dict(job.params)["slow"]) for job in plan.runs]
    assert combos == [("3", "4"), ("3", "5"), ("4", "5"), ("4", "6"), ("5", "6")]
    assert [job.index for job in plan.runs] == list(range(5))
    with pytest.raises(BacktestError, match="no combination of the grid satisfies --constraint 'fast > 9'"):
        _plan("--param", "fast=3:6", "--constraint", "fast > 9")
    # the cap counts the runs left
    assert len(_plan("--param", "fast=1:200", "--param", "slow=1:100", "--constraint", "fast * slow < 50").runs) < 300
    with pytest.raises(BacktestError, match="3 runs that satisfy the constraints, more than --max-runs allows"):
        _plan("--param", "fast=1:10", "--constraint", "fast < 4", "--max-runs", "2")


@pytest.mark.parametrize("argv, metric, ascending", [
    ([], "net_pnl", None),
    (["--maximize", "sharpe"], "sharpe", False),
    (["--minimize", "max_drawdown_pct"], "max_drawdown_pct", True),
    (["--minimize", "net_pnl", "--ascending"], "net_pnl", True),
    (["--metric", "max_drawdown", "--descending"], "max_drawdown", False),
])
def test_maximize_and_minimize(argv, metric, ascending):
    args = sweep.parse_sweep_args(MA + argv)
    sweep.command.check_options(args)
    assert (args.metric, args.ascending) == (metric, ascending)


@pytest.mark.parametrize("argv, message", [
    (["--maximize", "sharpe", "--metric", "net_pnl"], "give one of --metric, --maximize and --minimize"),
    (["--minimize", "tax", "--descending"], "--minimize contradicts --descending"),
    (["--maximize", "sharpe", "--ascending"], "--maximize contradicts --ascending"),
    (["--minimize", "max_drawdwn"], "did you mean max_drawdown?"),
])
def test_maximize_and_minimize_refusals(argv, message):
    with pytest.raises(BacktestError) as caught:
        sweep.command.check_options(sweep.parse_sweep_args(MA + argv))
    assert message in str(caught.value)
