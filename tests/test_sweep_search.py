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


@pytest.mark.parametrize("argv", [["--metric", "sharp"], ["--nosuch"], ["--param", "nosuch=1:3"]])
@pytest.mark.parametrize("flag", ["--json", "--js"])
def test_with_json_a_refusal_is_one_error_object_on_standard_output(argv, flag, no_runs, tmp_path,
                                                                      monkeypatch, capsys):
    import json

    monkeypatch.chdir(tmp_path)
    assert cli.main(["sweep"] + MA + argv + [flag]) == 2
    out, err = capsys.readouterr()
    assert out.count("\n") == 1
    data = json.loads(out)
    assert set(data) == {"error", "exit_status"} and data["exit_status"] == 2 and data["error"] in err


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
    args = sweep.parse_sweep_args((MA[:4] if "--instruments" in argv else MA) + list(argv))
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


def _combos(plan):
    return [(dict(job.params)["fast"], dict(job.params)["slow"]) for job in plan.runs]


def test_random_search_draws_distinct_allowed_combinations_repeatably():
    argv = ("--param", "fast=1:20", "--param", "slow=1:20", "--constraint", "fast < slow", "--search", "random",
            "--trials", "15")
    first = _plan(*argv, "--seed", "7")
    combos = _combos(first)
    assert len(combos) == len(set(combos)) == 15 and all(int(f) < int(s) for f, s in combos)
    assert _combos(_plan(*argv, "--seed", "7")) == combos != _combos(_plan(*argv, "--seed", "8"))
    assert [job.index for job in first.runs] == list(range(15))
    # more trials than allowed combinations: each one once
    assert sorted(_combos(_plan("--param", "fast=1:3", "--param", "slow=2:3", "--constraint", "fast < slow",
                                "--search", "random", "--trials", "50"))) == [("1", "2"), ("1", "3"), ("2", "3")]


def test_random_search_over_a_grid_too_large_to_list():
    plan = _plan("--param", "fast=1:3000", "--param", "slow=1:3000", "--instruments", "2412,2330",
                 "--search", "random", "--trials", "40")  # 18 million combinations, never listed
    combos = [(job.instruments, dict(job.params)["fast"], dict(job.params)["slow"]) for job in plan.runs]
    assert len(set(combos)) == 40
    assert {c[0] for c in combos} <= {(("2412", "Stock"),), (("2330", "Stock"),)}
    assert all(1 <= int(f) <= 3000 and 1 <= int(s) <= 3000 for _, f, s in combos)


@pytest.mark.parametrize("argv, message", [
    (["--trials", "5"], "--trials needs --search random or --search optuna"),
    (["--seed", "5"], "--seed needs --search random"),
    (["--search", "random"], "--search random needs --trials N"),
    (["--search", "optuna", "--trials", "0"], "--trials must be 1 or more"),
    (["--search", "random", "--trials", "20000"], "--trials 20,000 is more than --max-runs allows"),
    (["--run-timeout", "-1"], "--run-timeout needs seconds >= 0"),
    (["--run-timeout", "nan"], "--run-timeout needs seconds >= 0"),
    (["--search", "annealing"], "invalid choice"),
])
def test_search_option_refusals(argv, message, no_runs, tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    assert cli.main(["sweep"] + MA + ["--param", "fast=3,5"] + argv) == 2
    assert message in capsys.readouterr().err and os.listdir(tmp_path) == []


def _optuna_or_skip():
    return pytest.importorskip("optuna", reason="Optuna is not installed (the search extra)")


def test_optuna_feed_asks_allowed_new_combinations_and_learns(monkeypatch):
    _optuna_or_skip()
    from orva_mero_backtest.sweep.search import OptunaFeed

    plan = _plan("--param", "fast=1:12", "--param", "slow=1:12", "--constraint", "fast < slow",
                 "--search", "optuna", "--trials", "40")
    assert plan.runs == [] and plan.planned == 40
    feed = OptunaFeed(plan, "net_pnl", False, seed=3)
    seen, values = [], []
    while not feed.finished():
        batch = feed.take(2)
        assert 1 <= len(batch) <= 2
        for job in batch:
            fast, slow = int(dict(job.params)["fast"]), int(dict(job.params)["slow"])
            assert fast < slow and (fast, slow) not in seen
            seen.append((fast, slow))
            value = -((fast - 4) ** 2) - (slow - 9) ** 2  # best at fast=4, slow=9
            values.append(value)
            row = {"run": job.index, "net_pnl": float(value)}
            if job.index == 5:
                row = {"run": 5, "error": "boom"}  # a failed run teaches nothing
            feed.told(row)
    assert len(seen) == 40 and feed.study.best_value >= -1


def test_optuna_feed_stops_when_a_small_grid_runs_out():
    _optuna_or_skip()
    from orva_mero_backtest.sweep.search import OptunaFeed

    plan = _plan("--param", "fast=3,5", "--search", "optuna", "--trials", "10")
    feed = OptunaFeed(plan, "net_pnl", False, seed=0)
    taken = []
    while not feed.finished():
        batch = feed.take(1)
        if not batch:
            break
        taken += batch
        feed.told({"run": batch[0].index, "net_pnl": 1.0})
    assert sorted(dict(job.params)["fast"] for job in taken) == ["3", "5"]


def test_optuna_search_runs_on_the_local_engine(tmp_path):
    _optuna_or_skip()
    result = sweep.run_sweep({"fast": "2:6", "slow": "10,20"}, ["2412"], MA[:4], jobs=2, search="optuna",
                             trials=3, seed=1, folder=str(tmp_path / "s"))
    assert result.runs == 3 and result.failed == 0 and [r["run"] for r in result.rows] == [0, 1, 2]
    assert len({(r["fast"], r["slow"]) for r in result.rows}) == 3
    # every sweep gets its verdict; one day of returns is too few for one
    import json

    verdict = json.loads((tmp_path / "s" / sweep.results.OVERFITTING_NAME).read_text())
    assert verdict == result.overfitting and verdict["trials"] == 3 and "at least 4" in verdict["reason"]


@pytest.mark.ray
def test_searches_run_on_ray(tmp_path):
    _optuna_or_skip()
    pytest.importorskip("ray", reason="Ray is not installed for this interpreter")
    found = sweep.run_sweep({"fast": "2:6", "slow": "10,20"}, ["2412"], MA[:4], engine="ray", jobs=2,
                            search="optuna", trials=3, seed=1, folder=str(tmp_path / "ray"))
    local = sweep.run_sweep({"fast": "2:6", "slow": "10,20"}, ["2412"], MA[:4], jobs=1, search="random", trials=2,
                            seed=1, folder=str(tmp_path / "local"))
    assert found.runs == 3 and found.failed == 0 and len({(r["fast"], r["slow"]) for r in found.rows}) == 3
    assert local.runs == 2 and local.failed == 0


TESTS = os.path.dirname(os.path.abspath(__file__))


def test_a_run_past_its_time_limit_fails_and_the_others_go_on(tmp_path, monkeypatch, capsys):
    monkeypatch.syspath_prepend(TESTS)
    monkeypatch.chdir(tmp_path)
    argv = ["sweep", "--strategy", "sweep_strategies:Sleepy", "--stock", "2412", "--start", "2024-01-02",
            "--param", "pause=0,60,0.1", "--jobs", "2", "--name", "s", "--no-progress", "--run-timeout", "5"]
    assert cli.main(argv) == 1
    out = capsys.readouterr().out
    assert "run 1 (pause=60.0): timed out: the run took more than 5 s (--run-timeout)" in out
    import polars as pl

    frame = pl.read_csv(tmp_path / "reports" / "s" / sweep.CSV_NAME)
    assert frame["error"].is_null().to_list() == [True, False, True]  # the run beside it started again


def test_json_of_a_sweep_has_no_infinity():
    import json

    data = {"rows": [{"x": float("inf"), "y": [float("nan"), 1.5]}], "ok": 2}
    assert json.dumps(sweep.command._finite(data), allow_nan=False) == '{"rows": [{"x": null, "y": [null, 1.5]}], "ok": 2}'


@pytest.mark.parametrize("metric, values, limits", [
    ("net_pnl", [100.0, 300.0], (-300.0, 300.0)),  # all profits: every cell on the green side
    ("net_pnl", [-50.0, 20.0, float("nan")], (-50.0, 50.0)),
    ("sharpe", [0.0, 0.0], (-1.0, 1.0)),
    ("win_rate", [0.2, 0.6], None),  # not signed: the scale spans the values
    ("net_pnl", [float("nan")], None),
])
def test_heatmap_colours_are_centred_on_zero_for_pnl(metric, values, limits):
    assert sweep.results.colour_limits(metric, values) == limits


def _noise(days, runs, seed):
    import numpy as np

    return np.random.default_rng(seed).normal(0.0, 0.01, size=(days, runs))


def test_pbo_of_pure_noise_is_near_one_half():
    from orva_mero_backtest.sweep.overfit import probability_of_overfitting

    # one noise matrix gives anything from about 0.25 to 0.8 (its splits share days); over several, 0.5
    answers = [probability_of_overfitting(_noise(240, 40, seed)) for seed in range(8)]
    assert {(a["blocks"], a["splits"]) for a in answers} == {(16, 12870)}
    assert 0.4 <= sum(a["pbo"] for a in answers) / len(answers) <= 0.6


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_pbo_with_one_real_edge_is_near_zero(seed):
    from orva_mero_backtest.sweep.overfit import probability_of_overfitting

    returns = _noise(240, 40, seed)
    returns[:, 7] += 0.004  # a daily Sharpe ratio of about 0.4
    assert probability_of_overfitting(returns)["pbo"] <= 0.05


def test_deflated_sharpe_ratio_of_the_published_example():
    from orva_mero_backtest.sweep.overfit import deflated_sharpe_ratio

    # annual Sharpe 2.5 over 1,250 days, 100 trials whose annual Sharpe ratios vary by 0.5, skew -3,
    # kurtosis 10: the article's answer is 0.9004
    dsr = deflated_sharpe_ratio(2.5 / 250 ** 0.5, 0.5 / 250, 100, 1250, -3.0, 10.0)
    assert dsr == pytest.approx(0.9004, abs=0.002)
    # fewer trials, less deflation; one trial is the probabilistic Sharpe ratio against 0
    assert deflated_sharpe_ratio(2.5 / 250 ** 0.5, 0.5 / 250, 10, 1250, -3.0, 10.0) > dsr
    assert deflated_sharpe_ratio(0.0, 0.0, 1, 100, 0.0, 3.0) == pytest.approx(0.5)


def test_verdict_deflates_the_best_of_many_lucky_runs():
    from orva_mero_backtest.sweep.overfit import verdict

    noise = _noise(120, 60, 5)
    returns = {run: list(noise[:, run]) for run in range(60)}
    best = max(returns, key=lambda run: noise[:, run].mean() / noise[:, run].std())
    lucky = verdict(returns, best)
    alone = verdict({best: returns[best]}, best)  # as if it had been the only trial
    assert lucky["trials"] == 60 and lucky["deflated_sharpe"] < 0.95 < alone["deflated_sharpe"]
    noise[:, 3] += 0.005
    real = verdict({run: list(noise[:, run]) for run in range(60)}, 3)
    assert real["deflated_sharpe"] > 0.95 and real["pbo"] <= 0.05
    # too few days, and runs of another length (a failed one), give reasons instead of numbers
    short = verdict({0: [0.01, -0.01], 1: [0.0, 0.02], 2: [0.1]}, 0)
    assert short["pbo"] is None and short["deflated_sharpe"] is None and "at least 4" in short["reason"]
    assert verdict({}, None)["reason"] == "no run finished"


FEBRUARY = ["2024-02-01", "2024-02-02", "2024-02-05", "2024-02-15", "2024-02-16", "2024-02-19", "2024-02-20"]


@pytest.mark.parametrize("train, test, step, anchored, expected", [
    # the exchange is closed from 6 to 14 February 2024 (the lunar new year): windows count trading days
    (3, 2, 2, False, [("02-01", "02-05", "02-15", "02-16"), ("02-05", "02-16", "02-19", "02-20")]),
    (5, 1, 1, True, [("02-01", "02-16", "02-19", "02-19"), ("02-01", "02-19", "02-20", "02-20")]),
    (3, 2, 3, False, [("02-01", "02-05", "02-15", "02-16"), ("02-15", "02-19", "02-20", "02-20")]),  # short last
    (7, 1, 1, False, []),
])
def test_walk_forward_windows_on_the_exchange_calendar(train, test, step, anchored, expected):
    from datetime import date

    from orva_mero_backtest.data.clock import trading_days
    from orva_mero_backtest.sweep import walkforward

    days = trading_days(date(2024, 2, 1), date(2024, 2, 20))
    assert [d.isoformat() for d in days] == FEBRUARY
    found = walkforward.windows(days, train, test, step, anchored)
    assert [(w.train[0].isoformat()[5:], w.train[1].isoformat()[5:], w.test[0].isoformat()[5:],
             w.test[1].isoformat()[5:]) for w in found] == expected
    assert [w.number for w in found] == list(range(len(expected)))


@pytest.mark.parametrize("argv, message", [
    (["--walk-forward", "5"], "TRAIN_DAYS:TEST_DAYS[:STEP_DAYS]"),
    (["--walk-forward", "5:0"], "above 0"),
    (["--walk-forward", "a:b"], "whole trading days"),
    (["--walk-forward", "5:2:1:1"], "TRAIN_DAYS:TEST_DAYS"),
    (["--walk-forward", "20:5", "--end", "2024-01-10"], "has 7 trading day(s), fewer than the 21 one window needs"),
    (["--walk-forward", "3:2"], "needs --start and --end"),
    (["--walk-forward", "3:2", "--end", "2024-01-31", "--backfill-start", "2023-12-29"], "without warm-up"),
    (["--anchored"], "--anchored needs --walk-forward"),
])
def test_walk_forward_refusals(argv, message, no_runs, tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    assert cli.main(["sweep"] + MA + ["--param", "fast=3,5"] + argv) == 2
    assert message in capsys.readouterr().err and os.listdir(tmp_path) == []


def test_walk_forward_runs_the_best_of_each_training_window_on_the_next_days(tmp_path, monkeypatch, capsys):
    import json

    import polars as pl

    monkeypatch.chdir(tmp_path)
    # one window (a pool for the training runs, one for the test run): train 01-02..01-03, test 01-04
    argv = ["sweep", "--strategy", "ma_cross", "--stock", "2412", "--start", "2024-01-02", "--end", "2024-01-05",
            "--param", "fast=2,4", "--param", "slow=10", "--walk-forward", "2:1:2", "--jobs", "2", "--name", "w",
            "--no-progress"]
    assert cli.main(argv) == 0
    out = capsys.readouterr().out
    assert "Walk-forward (rolling)" in out and "Out of sample, stitched over 1 trading days" in out
    folder = tmp_path / "reports" / "w"
    frame = pl.read_parquet(folder / sweep.PARQUET_NAME)
    assert frame.select("run", "window", "phase").rows() == [(0, 0, "train"), (1, 0, "train"), (2, 0, "test")]
    summary = json.loads((folder / "walk_forward.json").read_text())
    (window,) = summary["windows"]
    assert (window["train_start"], window["train_end"], window["test_start"], window["test_end"]) == (
        "2024-01-02", "2024-01-03", "2024-01-04", "2024-01-04")
    rows = {r["run"]: r for r in frame.iter_rows(named=True)}
    best = 0 if rows[0]["net_pnl"] >= rows[1]["net_pnl"] else 1
    assert window["best_run"] == best and window["fast"] == rows[best]["fast"] == rows[2]["fast"]
    assert rows[best]["trading_days"] == 2 and rows[2]["trading_days"] == 1
    assert window["out_of_sample_net_pnl"] == rows[2]["net_pnl"]
    assert summary["out_of_sample"]["days"] == 1
    assert summary["out_of_sample"]["net_pnl"] == pytest.approx(rows[2]["net_pnl"], abs=1e-6)
    assert (folder / "walk_forward.png").read_bytes()[:4] == b"\x89PNG"


OPTIONS = ["--param", "--constraint", "--metric", "--maximize", "--minimize", "--search", "--trials", "--seed",
           "--run-timeout", "--max-runs", "--walk-forward", "--anchored", "--jobs", "--top", "--engine", "--address",
           "--instruments", "--name", "--no-report", "--reports", "--start", "--end", "--ascending", "--descending",
           "--quiet", "--json", "--capital", "--strategy", "--stock"]
VALUES = ["fast=3,5", "slow=1:9:0", "fast=", "=3", "fast=1:1e9", "fast < slow", "fast.__class__", "(", "sharpe",
          "sharp", "random", "optuna", "grid", "0", "-1", "nan", "inf", "1e400", "3", "5:2", "x:y", "2:1:1", "",
          "\x00", "a/b", "..", "2024-01-02", "2024-02-30", "9999", "2412+TXFR1", "ma_cross", "nosuch:Class", "é" * 3]


def test_the_sweep_option_parser_never_raises(tmp_path, monkeypatch, capsys):
    """Random command lines: an answer of 2 (or 0 for help) with one line on standard error, never a
    traceback, and never a run."""
    from hypothesis import HealthCheck, given, settings, strategies as st

    monkeypatch.chdir(tmp_path)

    def stop(*args, **kwargs):
        raise BacktestError("stopped before the cache")

    monkeypatch.setattr(sweep.command, "warm_cache", stop)
    token = st.one_of(st.sampled_from(OPTIONS), st.sampled_from(VALUES), st.text(max_size=8))

    @settings(max_examples=120, deadline=None, derandomize=True,
              suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
    @given(st.lists(token, max_size=8))
    def check(argv):
        capsys.readouterr()
        code = sweep.sweep_main(MA + argv)
        err = capsys.readouterr().err
        assert "Traceback" not in err
        if code == 0:
            return  # --help
        assert code == 2, (argv, err)
        assert err.startswith("orva-backtest: error: ") or err.startswith("orva-backtest sweep: "), (argv, err)

    check()
