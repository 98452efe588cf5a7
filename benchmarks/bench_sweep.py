"""Parameter sweeps: a 16-run grid with --jobs 1 against --jobs 2, and Ray's cost per run.

    .venv/bin/python benchmarks/run.py sweep

The grid is ma_cross over fast 3,5,8,10 x slow 20,30,40,50 on 2330 and TXFR1, 2024-01-02 to 2024-01-03
(about 50,000 ticks a run). The tick cache is filled before the clock starts. Each figure is one sweep's
wall time; "overhead per run" is (wall x workers - the runs' own seconds) / runs: starting worker
processes, shipping run descriptions and rows, importing the package in each worker. Ray's is measured on a local
cluster of 2 CPUs that is started first (its start is reported on its own), then on the same grid.
"""

import logging
import os
import shutil
import tempfile
import time

from orva_mero_backtest import sweep

GRID = {"fast": "3,5,8,10", "slow": "20,30,40,50"}
INSTRUMENTS = ["2330+TXFR1"]
OPTIONS = ["--strategy", "ma_cross", "--start", "2024-01-02", "--end", "2024-01-03"]


def timed(folder, **kwargs):
    started = time.perf_counter()
    result = sweep.run_sweep(GRID, INSTRUMENTS, OPTIONS + ["--data-dir", folder + "/data"],
                             folder=os.path.join(folder, f"out-{time.monotonic_ns()}"), **kwargs)
    wall = time.perf_counter() - started
    assert result.failed == 0, result.rows
    return wall, result


def report(label, wall, result, workers):
    own = sum(row["seconds"] for row in result.rows)
    overhead = (wall * workers - own) / len(result.rows)
    print(f"{label:<28} wall {wall:6.2f} s   runs' own {own:6.2f} s   overhead per run {overhead * 1000:6.0f} ms")
    return overhead


def main():
    folder = tempfile.mkdtemp(prefix="orva-bench-sweep-")
    try:
        timed(folder, jobs=1)  # fills the tick cache; not counted
        cores_of_one_run(folder)
        wall1, one = timed(folder, jobs=1)
        wall2, two = timed(folder, jobs=2)
        report("local --jobs 1", wall1, one, 1)
        local = report("local --jobs 2", wall2, two, 2)
        print(f"speed-up of --jobs 2 over --jobs 1: {wall1 / wall2:.2f}x on {os.cpu_count()} cores")
        assert [sweep_row(r) for r in one.rows] == [sweep_row(r) for r in two.rows]
        try:
            import ray
        except ImportError:
            print("Ray is not installed: pip install .[cluster]")
            return
        started = time.perf_counter()
        ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False, logging_level=logging.WARNING)
        print(f"local Ray cluster start: {time.perf_counter() - started:.2f} s")
        try:
            wall_ray, on_ray = timed(folder, engine="ray", jobs=2)
            ray_overhead = report("ray, 2 CPUs", wall_ray, on_ray, 2)
            print(f"Ray's overhead per run against local processes: {(ray_overhead - local) * 1000:+.0f} ms")
            assert [sweep_row(r) for r in on_ray.rows] == [sweep_row(r) for r in two.rows]
        finally:
            ray.shutdown()
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def cores_of_one_run(folder):
    """A run streams through two threads (the feed's sender and the driver): it keeps more than one
    core busy, which bounds what a second worker can add on a 2-core machine."""
    from orva_mero_backtest import cli
    from orva_mero_backtest.constant import BASIC_INFO

    BASIC_INFO.data_dir = folder + "/data"
    args = cli.build_parser().parse_args(OPTIONS + ["--stock", "2330", "--future", "TXFR1", "--param", "fast=3",
                                                    "--param", "slow=20"])
    backtest = cli.make_backtest(args)
    backtest.module_console = "none"
    wall, cpu = time.perf_counter(), time.process_time()
    backtest.run()
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    print(f"one run in this process: wall {wall:.2f} s, CPU {cpu:.2f} s ({cpu / wall:.2f} cores busy)")


def sweep_row(row):
    return {k: v for k, v in row.items() if k != "seconds"}


if __name__ == "__main__":
    main()
