"""Local sweep workers: forked from a fork server that runs no thread, with the parent's environment,
started before the runs and ended with the sweep."""

import json
import multiprocessing
import os

import pytest

from orva_mero_backtest import sweep
from orva_mero_backtest.sweep import engines

TESTS = os.path.dirname(os.path.abspath(__file__))
WHOAMI = ["--strategy", "sweep_strategies:Whoami", "--start", "2024-01-02"]


def records(folder):
    return {name: json.loads((folder / name).read_text()) for name in sorted(os.listdir(folder))}


@pytest.mark.skipif("forkserver" not in multiprocessing.get_all_start_methods() or not os.path.isdir("/proc/self/task"),
                    reason="needs a fork server and /proc")
def test_workers_fork_from_a_server_without_threads_and_get_the_parents_environment(tmp_path, monkeypatch):
    monkeypatch.syspath_prepend(TESTS)
    seen = []
    for probe in ("first", "second"):  # the fork server of the first sweep serves the second one too
        monkeypatch.setenv("ORVA_SWEEP_PROBE", probe)
        out = tmp_path / probe
        out.mkdir()
        result = sweep.run_sweep({"fast": "1,2", "out": str(out)}, ["2412"], WHOAMI, jobs=2,
                                 folder=str(tmp_path / f"sweep-{probe}"))
        assert result.failed == 0, result.rows
        seen.append(records(out))
    for found in seen:
        assert len(found) == 2
        for record in found.values():
            # forked from the fork server (not from this process, which runs threads), which runs none
            assert record["parent"] != os.getpid() and record["parent_threads"] == 1
    assert [r["probe"] for found in seen for r in found.values()] == ["first"] * 2 + ["second"] * 2
    servers = {r["parent"] for found in seen for r in found.values()}
    assert len(servers) == 1


def test_spawned_workers_give_the_same_rows(tmp_path, monkeypatch):
    """Where there is no fork server, workers are spawned as fresh interpreters."""
    grid = {"fast": "3,5", "slow": "10"}
    options = ["--strategy", "ma_cross", "--start", "2024-01-02"]
    forked = sweep.run_sweep(grid, ["2412"], options, jobs=2, folder=str(tmp_path / "forked"))
    monkeypatch.setattr(multiprocessing, "get_all_start_methods", lambda: ["spawn"])
    assert engines.worker_context().get_start_method() == "spawn"
    spawned = sweep.run_sweep(grid, ["2412"], options, jobs=2, folder=str(tmp_path / "spawned"))
    assert forked.failed == 0 and len(forked.rows) == 2
    drop = ("seconds",)
    assert [{k: v for k, v in r.items() if k not in drop} for r in spawned.rows] == \
        [{k: v for k, v in r.items() if k not in drop} for r in forked.rows]


@pytest.mark.parametrize("runs", [0, 1])
def test_workers_started_early_end_with_the_sweep(runs):
    """Workers start before the runs are known; closed before a run (a sweep refused while its cache is
    filled) or after, none is left waiting."""
    workers = engines.LocalWorkers(2)
    workers.start()
    pool, _ = workers.take()
    processes = list(pool._processes.values())
    assert len(processes) == 2  # both started, not only at the first run
    if runs:
        assert pool.submit(sum, [1, 2]).result(timeout=60) == 3
    workers.close()
    for process in processes:
        process.join(timeout=30)
        assert process.exitcode is not None
