"""Parameter sweeps: the grid, data before fan-out, rows equal to single runs, failures, Ctrl-C, Ray."""

import os
import signal
import subprocess
import sys
import time

import shutil

import polars as pl
import pytest

from orva_mero_backtest import cli, sweep
from orva_mero_backtest.data.cache_broker import SIMULATED_MARK
from orva_mero_backtest.driver import BacktestError, Instrument
from orva_mero_backtest.sim_broker import SimulatedBroker
from orva_mero_backtest.stats import Statistics

TESTS = os.path.dirname(os.path.abspath(__file__))
DAY = ["--start", "2024-01-02"]
GRID = {"fast": "3,5", "slow": "10:20:10"}  # 2 x 2
MA = ["--strategy", "ma_cross"] + DAY


def single_run_row(params, instruments=("2412",)):
    """What one ordinary backtest of these parameters gives, in the sweep's row form."""
    argv = list(MA)
    for code in instruments:
        argv.append(f"--{sweep.parse_instrument(code).market.lower()}={code}")
    for name, value in params.items():
        argv += ["--param", f"{name}={value}"]
    args = cli.build_parser().parse_args(argv)
    result = cli.make_backtest(args).run()
    return {**sweep._summary_of(result), "ticks": result.ticks}


def comparable(row):
    return {k: v for k, v in row.items() if k not in ("run", "seconds")}


@pytest.mark.parametrize("text, values", [
    ("3", ["3"]),
    ("3,5,8", ["3", "5", "8"]),
    ("5:20:5", ["5", "10", "15", "20"]),  # the stop is included
    ("5:7", ["5", "6", "7"]),
    ("0.1:0.3:0.1", ["0.1", "0.2", "0.3"]),  # no float drift
    ("1,4:6,x", ["1", "4", "5", "6", "x"]),
])
def test_param_values(text, values):
    assert sweep.expand_values("p", text) == values


@pytest.mark.parametrize("text, message", [
    ("1,,2", "empty value"),
    ("1:5:0", "step above 0"),
    ("5:1", "ends before it starts"),
    ("a:b", "needs numbers"),
    ("1:2:3:4", "start:stop:step"),
    ("1,2,1", "given twice"),
    ("0:1000000", "more than"),
])
def test_bad_param_values(text, message):
    with pytest.raises(BacktestError, match=message):
        sweep.expand_values("p", text)


def test_instrument_sets():
    sets = sweep.parse_instrument_sets(["2330,2412+TXFR1", "future:0050+stock:MXFR1"])
    assert sets == [
        (Instrument("2330", "Stock"),),
        (Instrument("2412", "Stock"), Instrument("TXFR1", "Future")),
        (Instrument("0050", "Future"), Instrument("MXFR1", "Stock")),
    ]
    for bad in ("2330,", "bond:2330", "2330+", "2330,2330"):
        with pytest.raises(BacktestError):
            sweep.parse_instrument_sets([bad])


@pytest.mark.parametrize("argv, message", [
    (["--param", "fast=3:1"], "ends before it starts"),
    (["--param", "nope=1,2"], "has no parameter nope"),
    (["--param", "fast=3", "--param", "fast=4"], "given twice"),
    (["--instruments", "2412", "--stock", "2330"], "either with --instruments"),
    (["--address", "auto"], "needs --engine ray"),
    (["--jobs", "0"], "--jobs must be"),
    (["--instruments", "9999"], "unknown"),
    (["--end", "2023-01-01"], "before start date"),
])
def test_bad_input_exits_2_before_any_run(argv, message, tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(sweep.engines, "run_local", lambda *a, **k: pytest.fail("ran despite bad input"))
    assert cli.main(["sweep"] + MA + argv) == 2
    err = capsys.readouterr().err
    assert err.startswith("orva-backtest: error: ") and message in err
    assert not (tmp_path / "reports").exists()


def test_local_sweep_equals_single_runs_and_fills_the_cache_once(tmp_path, monkeypatch):
    requests = []
    fetch = SimulatedBroker.ticks
    monkeypatch.setattr(SimulatedBroker, "ticks", lambda self, contract, date: (
        requests.append((contract.code, date)), fetch(self, contract, date))[1])
    out = tmp_path / "out"
    result = sweep.run_sweep(GRID, ["2412", "2412+TMFR1"], MA, jobs=2, folder=str(out))

    # Every instrument-day was fetched once, in this process, before the runs.
    assert sorted(requests) == [("2412", "2024-01-02"), ("TMFR1", "2024-01-02")]
    assert result.runs == 8 and result.failed == 0 and not result.interrupted
    frame = pl.read_parquet(out / sweep.PARQUET_NAME)
    assert frame.equals(pl.read_csv(out / sweep.CSV_NAME, schema=frame.schema))
    assert frame.columns[:4] == ["run", "instruments", "fast", "slow"]
    assert frame["run"].to_list() == list(range(8)) and frame["fast"].dtype == pl.Int64
    # every statistic of the run's summary is a column (numeric ones stay numeric even without a value);
    # timings other than seconds are not
    assert set(Statistics.__dataclass_fields__) <= set(frame.columns) and "ticks_per_second" not in frame.columns
    assert all(frame[name].dtype == pl.Float64 for name in ("sharpe", "sortino", "profit_factor"))
    for row in frame.filter(pl.col("instruments") == "2412").iter_rows(named=True):
        alone = single_run_row({"fast": row["fast"], "slow": row["slow"]})
        assert {k: row[k] for k in alone} == alone
        assert row["error"] is None and row["seconds"] > 0
    # two varying parameters over two instrument sets: one heatmap per set
    for name in ("heatmap-2412.png", "heatmap-2412+TMFR1.png"):
        assert (out / name).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert not [n for n in os.listdir(out) if n.endswith(".partial")]


def test_a_failing_run_is_a_row_and_the_others_go_on(tmp_path, monkeypatch, capsys):
    monkeypatch.syspath_prepend(TESTS)
    monkeypatch.chdir(tmp_path)
    argv = ["sweep", "--strategy", "sweep_strategies:Picky", "--stock", "2412", *DAY,
            "--param", "fast=3,4,5,6,7", "--param", "slow=10", "--jobs", "2", "--name", "s", "--no-progress",
            "--reports"]
    assert cli.main(argv) == 1  # some runs failed; the results are still written
    out = capsys.readouterr().out
    # each error whole on its own line below the table, naming the run's parameters
    assert "2 failed" in out and "\n  run 1 (fast=4): strategy picky raised" in out
    assert "RuntimeError: picky refuses fast=4 (" in out and "sweep_strategies.py:" in out  # the strategy's line
    assert "\n  run 3 (fast=6): the worker process died" in out
    frame = pl.read_csv(tmp_path / "reports" / "s" / sweep.CSV_NAME)
    rows = {r["fast"]: r for r in frame.iter_rows(named=True)}
    assert "RuntimeError: picky refuses fast=4" in rows[4]["error"] and rows[4]["net_pnl"] is None
    # a run that kills its worker process is the only one blamed; the runs beside it are run again
    assert "worker process died during this run (killed by signal SIGKILL)" in rows[6]["error"]
    assert rows[6]["net_pnl"] is None
    for fast in (3, 5, 7):
        assert rows[fast]["error"] is None
        assert rows[fast]["net_pnl"] == single_run_row({"fast": fast, "slow": 10})["net_pnl"]
    # one parameter varies: no heatmap; --reports: a report folder for each finished run
    assert not (tmp_path / "reports" / "s" / sweep.HEATMAP_NAME).exists()
    assert sorted(os.listdir(tmp_path / "reports" / "s" / "runs")) == ["run-0000", "run-0002", "run-0004"]


@pytest.mark.parametrize("simulated, marked, message", [
    (False, False, "lacks 1 trading day(s): 2412: 2024-01-02"),
    (True, True, "lacks 1 trading day(s): 2412: 2024-01-02"),
    (False, True, "holds generated ticks of the simulated broker"),  # generated ticks never pass as real
    (True, False, "is not the simulated broker's data root"),
])
def test_worker_reads_the_cache_only(tmp_path, simulated, marked, message):
    root = tmp_path / "root"
    root.mkdir()
    if marked:
        (root / SIMULATED_MARK).write_text("")
    job = sweep.RunSpec(0, (("fast", "3"), ("slow", "10")), (("2412", "Stock"),),
                         tuple(sorted(vars(cli.build_parser().parse_args(MA)).items())), str(root),
                         simulated=simulated)
    row = sweep.run_one(job)
    assert message in row["error"] and "net_pnl" not in row
    # nothing generated or fetched: the root is as it was
    assert os.listdir(root) == ([SIMULATED_MARK] if marked else [])


def test_simulated_ticks_stay_in_their_root_and_real_data_is_read_from_its_own(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    data = tmp_path / "data"
    argv = MA + ["--data-dir", str(data)]
    simulated = sweep.run_sweep({"fast": "3,5"}, ["2412"], argv, jobs=1, folder=str(tmp_path / "sim"))
    assert simulated.failed == 0
    assert not (data / "mero").exists()  # the real data's place stays empty
    generated = data / "simulated" / "mero" / "ticks"
    assert os.listdir(generated) == ["2412 2024-01-02 - ticks.csv"]

    # The same ticks as real data: --broker cache runs read <data-dir>/mero/ticks and give the same rows.
    (data / "mero").mkdir()
    shutil.copytree(generated, data / "mero" / "ticks")
    real = sweep.run_sweep({"fast": "3,5"}, ["2412"], argv + ["--broker", "cache"], jobs=1,
                           folder=str(tmp_path / "real"))
    assert [comparable(r) for r in real.rows] == [comparable(r) for r in simulated.rows]
    assert os.listdir(data / "mero" / "ticks") == ["2412 2024-01-02 - ticks.csv"]

    # A day missing from the real cache is refused before any run, and nothing is written.
    monkeypatch.setattr(sweep.engines, "run_local", lambda *a, **k: pytest.fail("ran despite a missing day"))
    assert cli.main(["sweep"] + argv + ["--broker", "cache", "--stock", "2412", "--end", "2024-01-03",
                                        "--param", "fast=3,5", "--name", "missing"]) == 2
    assert os.listdir(data / "mero" / "ticks") == ["2412 2024-01-02 - ticks.csv"]
    assert not (tmp_path / "reports").exists()


def test_ranking_and_columns():
    plan = sweep.SweepPlan(None, {"qty": "1"}, {"fast": ["3", "5"]}, [(Instrument("2412", "Stock"),)])
    rows = [
        {"run": 2, "instruments": "2412", "qty": 1, "fast": 5, "error": "boom", "seconds": None},
        {"run": 0, "instruments": "2412", "qty": 1, "fast": 3, "net_pnl": 10, "max_drawdown": 5.5, "ticks": 7,
         "seconds": 0.1},
        {"run": 1, "instruments": "2412", "qty": 1, "fast": 4, "net_pnl": 30.5, "max_drawdown": 1, "ticks": 7,
         "seconds": 0.1},
    ]
    frame = sweep.results_frame(plan, rows)
    assert frame.columns == ["run", "instruments", "qty", "fast", "net_pnl", "max_drawdown", "ticks", "seconds",
                             "error"]
    assert frame["net_pnl"].dtype == pl.Float64 and frame["run"].to_list() == [0, 1, 2]
    best = sweep.ranked(frame, "net_pnl", sweep.metric_order("net_pnl", None))
    assert best["run"].to_list() == [1, 0, 2]  # failed runs last
    least = sweep.ranked(frame, "max_drawdown", sweep.metric_order("max_drawdown", None))
    assert least["run"].to_list() == [1, 0, 2]
    assert sweep.ranked(frame, "net_pnl", True)["run"].to_list() == [0, 1, 2]


def test_failed_runs_are_listed_whole(capsys):
    plan = sweep.SweepPlan(None, {}, {"fast": ["3", "4", "5"]}, [(Instrument("2412", "Stock"),)])
    message = "strategy picky raised in on_tick at 2412 2024-01-02 09:00:00: [RuntimeError] " + "x" * 120
    rows = [{"run": i, "instruments": "2412", "fast": 3 + i, "error": message if i else None, "seconds": None}
            for i in range(3)]
    sweep.print_failures(plan, sweep.results_frame(plan, rows), top=1)
    out = capsys.readouterr().out
    assert out.startswith("Failed runs (2):\n") and f"\n  run 1 (fast=4): {message}\n" in out
    assert "run 2" not in out and "and 1 more; every error is in sweep.csv" in out


def test_shipped_cache_files_are_written_once_whole(tmp_path, monkeypatch):
    monkeypatch.setattr(sweep.cache.tempfile, "gettempdir", lambda: str(tmp_path))
    files = []
    for name in ("A 2024-01-02 - ticks.csv", "B 2024-01-02 - ticks.csv"):
        path = tmp_path / name
        path.write_bytes(name.encode() * 3)
        files.append(str(path))
    digest, bundle = sweep.data_bundle(files)
    data_dir = sweep.materialize(digest, bundle)
    again = sweep.materialize(digest, bundle)
    ticks = os.path.join(data_dir, "mero", "ticks")
    assert again == data_dir and sorted(os.listdir(ticks)) == sorted(bundle)
    for name, data in bundle.items():
        with open(os.path.join(ticks, name), "rb") as f:
            assert f.read() == data
    assert sweep.data_bundle(files)[0] == digest != sweep.data_bundle(files[:1])[0]
    # generated ticks get a root of their own, marked as the simulated broker's
    simulated = sweep.materialize(digest, bundle, simulated=True)
    assert simulated != data_dir and not os.path.exists(os.path.join(data_dir, SIMULATED_MARK))
    assert sorted(os.listdir(simulated)) == sorted([SIMULATED_MARK, "mero"])


def test_ctrl_c_keeps_the_finished_rows(tmp_path):
    marker = tmp_path / "second-run-started"
    env = {**os.environ, "PYTHONPATH": TESTS + os.pathsep + os.environ.get("PYTHONPATH", "")}
    child = subprocess.Popen(
        [sys.executable, "-m", "orva_mero_backtest", "sweep", "--strategy", "sweep_strategies:Sleepy",
         "--stock", "2412", *DAY, "--param", "pause=0,60,61", "--param", f"marker={marker}", "--jobs", "1",
         "--name", "s", "--no-progress", "--data-dir", str(tmp_path / "data")],
        cwd=tmp_path, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    try:
        deadline = time.monotonic() + 60
        while not marker.exists():
            assert child.poll() is None and time.monotonic() < deadline, child.communicate(timeout=5)
            time.sleep(0.05)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=30)
    finally:
        child.kill()
    assert child.returncode == 130, err
    assert "Interrupted: 1 of 3 runs finished" in out and "Traceback" not in err
    folder = tmp_path / "reports" / "s"
    assert sorted(os.listdir(folder)) == [sweep.CSV_NAME, sweep.PARQUET_NAME]
    frame = pl.read_parquet(folder / sweep.PARQUET_NAME)
    assert frame["run"].to_list() == [0] and frame["error"].to_list() == [None]


def _ray_or_skip():
    try:
        import ray  # noqa: F401
    except ImportError as exc:
        pytest.skip(f"Ray is not installed for this interpreter ({exc}); the local engine is tested without it")


@pytest.mark.ray
def test_ray_sweep_equals_local_sweep_and_single_runs(tmp_path):
    _ray_or_skip()
    import ray

    # 2 values x 2 instrument sets: each set's cache files travel through the object store on their own
    grid, sets = {"fast": "3,5", "slow": "10"}, ["2412", "TMFR1"]
    local = sweep.run_sweep(grid, sets, MA, jobs=2, folder=str(tmp_path / "local"))
    on_ray = sweep.run_sweep(grid, sets, MA, engine="ray", jobs=2, folder=str(tmp_path / "ray"))
    assert not ray.is_initialized()  # the local cluster it started is shut down
    assert on_ray.failed == 0 and len(on_ray.rows) == 4
    assert [comparable(r) for r in on_ray.rows] == [comparable(r) for r in local.rows]
    for row in on_ray.rows:
        alone = single_run_row({"fast": row["fast"], "slow": row["slow"]}, [row["instruments"]])
        assert {k: row[k] for k in alone} == alone


@pytest.mark.ray
@pytest.mark.parametrize("cluster", ["started by the sweep", "given"])
def test_ray_runs_stream_in_chunks_of_their_budget_and_equal_local_runs(tmp_path, monkeypatch, cluster):
    _ray_or_skip()
    import ray

    # 3 trading days of about 0.7 MB of ticks each and a budget of 1 MB: a chunk is one day
    options = ["--strategy", "ma_cross", "--start", "2024-01-02", "--end", "2024-01-04", "--memory-budget-mb", "1"]
    grid = {"fast": "3,5", "slow": "10"}
    local = sweep.run_sweep(grid, ["2412"], options, jobs=1, folder=str(tmp_path / "local"))
    shipped = []
    ship = sweep.engines.ship_files
    monkeypatch.setattr(sweep.engines, "ship_files", lambda files, put: (shipped.append(len(files)), ship(files, put))[1])
    address = None
    if cluster == "given":  # a cluster the sweep did not start: the cache files go through the object store
        ray.init(num_cpus=1, include_dashboard=False, log_to_driver=False)
        address = "auto"
    try:
        on_ray = sweep.run_sweep(grid, ["2412"], options, engine="ray", jobs=1, address=address,
                                 folder=str(tmp_path / "ray"))
    finally:
        if cluster == "given":
            ray.shutdown()
    assert on_ray.failed == 0 and local.failed == 0
    assert [row["chunks"] for row in local.rows + on_ray.rows] == [3] * 4
    assert [comparable(r) for r in on_ray.rows] == [comparable(r) for r in local.rows]
    # a cluster of this machine reads the cache where it was filled; another gets every file of the range
    assert not shipped if cluster == "started by the sweep" else len(shipped) == 1 and shipped[0] >= 3


def test_shipped_files_are_fetched_one_at_a_time_and_only_when_missing(tmp_path, monkeypatch):
    monkeypatch.setattr(sweep.cache.tempfile, "gettempdir", lambda: str(tmp_path))
    files = []
    for name in ("A 2024-01-02 - ticks.csv", "A 2024-01-03 - ticks.csv"):
        (tmp_path / name).write_bytes(name.encode())
        files.append(str(tmp_path / name))
    store = []

    def put(data):
        store.append(data)
        return len(store) - 1

    digest, refs = sweep.cache.ship_files(files, put)
    assert digest == sweep.data_bundle(files)[0] and sorted(refs) == sorted(os.path.basename(f) for f in files)
    fetched = []
    sweep.materialize(digest, refs, fetch=lambda ref: (fetched.append(ref), store[ref])[1])
    again = sweep.materialize(digest, refs, fetch=lambda ref: pytest.fail("fetched a file already written"))
    assert sorted(fetched) == [0, 1]
    for path in files:
        with open(os.path.join(again, "mero", "ticks", os.path.basename(path)), "rb") as f:
            assert f.read() == open(path, "rb").read()


def test_json_flag_prints_one_object(tmp_path, monkeypatch, capsys):
    import json

    monkeypatch.chdir(tmp_path)
    assert cli.main(["sweep"] + MA + ["--stock", "2412", "--param", "fast=3,5", "--jobs", "1", "--json"]) == 0
    answer = json.loads(capsys.readouterr().out)
    assert answer["runs"] == 2 and [r["fast"] for r in answer["rows"]] == [3, 5]
    assert os.path.exists(os.path.join(answer["folder"], sweep.CSV_NAME))


def test_only_the_ray_engine_imports_ray():
    code = ("import sys, orva_mero_backtest.cli, orva_mero_backtest.sweep as s; s.build_sweep_parser(); "
            "sys.exit('ray' in sys.modules)")
    assert subprocess.run([sys.executable, "-c", code], timeout=60).returncode == 0
