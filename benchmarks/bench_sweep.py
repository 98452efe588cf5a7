"""Parameter sweeps: the fixed cost of a sweep per run, a 16-run grid with --jobs 1 against --jobs 2, and Ray.

    .venv/bin/python benchmarks/run.py sweep        (BENCH_REPEATS=1 for a quick look; default 3)

The grid is ma_cross over fast 3,5,8,10 x slow 20,30,40,50 on 2330 and TXFR1, 2024-01-02 to 2024-01-03
(about 50,000 ticks a run). The tick cache is filled before the clock starts. Each figure is one sweep's
wall time (the median of BENCH_REPEATS sweeps); "overhead per run" is (wall x workers - the runs' own
seconds) / runs: starting worker processes, shipping run descriptions and rows, writing the results. A
1-run sweep is timed against its run's own seconds, and a process's first Backtest against its second
(CPU seconds, in a fresh process). Ray's cost is measured on a local cluster of 2 CPUs that is started
first (its start is reported on its own), with the cache files shipped through the object store and with
the workers reading the data directory; then a sweep that starts its own local cluster. The machine's
load average is printed with the figures: on a loaded machine they swing.
"""

import logging
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from orva_mero_backtest import sweep

GRID = {"fast": "3,5,8,10", "slow": "20,30,40,50"}
INSTRUMENTS = ["2330+TXFR1"]
OPTIONS = ["--strategy", "ma_cross", "--start", "2024-01-02", "--end", "2024-01-03"]
REPEATS = int(os.environ.get("BENCH_REPEATS", "3"))

FIRST_AND_SECOND = """
import sys, time
from orva_mero_backtest import cli
from orva_mero_backtest.report import summary
args = cli.build_parser().parse_args(["--strategy", "ma_cross", "--stock", "2412", "--start", "2024-01-02",
                                      "--end", "2024-01-03", "--data-dir", sys.argv[1]])
for label in ("first", "second"):
    cpu = time.process_time()
    backtest = cli.make_backtest(args)
    backtest.module_console = "none"
    summary(backtest.run())
    print(f"{label} {time.process_time() - cpu:.3f}")
"""


def load():
    return "load {:.1f} {:.1f} {:.1f}".format(*os.getloadavg())


def timed(folder, grid=GRID, **kwargs):
    started = time.perf_counter()
    result = sweep.run_sweep(grid, INSTRUMENTS, OPTIONS + ["--data-dir", folder + "/data"],
                             folder=os.path.join(folder, f"out-{time.monotonic_ns()}"), **kwargs)
    wall = time.perf_counter() - started
    assert result.failed == 0, result.rows
    return wall, result


def median_of(folder, **kwargs):
    """The sweep of median wall time among REPEATS."""
    timings = sorted((timed(folder, **kwargs) for _ in range(REPEATS)), key=lambda t: t[0])
    return timings[len(timings) // 2]


def report(label, wall, result, workers):
    own = sum(row["seconds"] for row in result.rows)
    overhead = (wall * workers - own) / len(result.rows)
    print(f"{label:<34} wall {wall:6.2f} s   runs' own {own:6.2f} s   {len(result.rows) / wall * 60:5.1f} runs/min   "
          f"overhead per run {overhead * 1000:6.0f} ms   ({load()})", flush=True)
    return overhead


def main():
    folder = tempfile.mkdtemp(prefix="orva-bench-sweep-")
    try:
        timed(folder, jobs=1)  # fills the tick cache; not counted
        first_backtest(folder)
        cores_of_one_run(folder)
        one_run(folder)
        wall1, one = median_of(folder, jobs=1)
        wall2, two = median_of(folder, jobs=2)
        report("local --jobs 1", wall1, one, 1)
        local = report("local --jobs 2", wall2, two, 2)
        print(f"speed-up of --jobs 2 over --jobs 1: {wall1 / wall2:.2f}x on {os.cpu_count()} cores "
              f"(medians of {REPEATS})")
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
            timed(folder, engine="ray", jobs=2)  # the cluster's workers import the package; not counted
            for label, shared in (("ray, 2 CPUs, files shipped", False), ("ray, 2 CPUs, shared data", True)):
                wall_ray, on_ray = median_of(folder, engine="ray", jobs=2, ray_shared_data=shared)
                ray_overhead = report(label, wall_ray, on_ray, 2)
                print(f"  Ray's overhead per run against local processes: {(ray_overhead - local) * 1000:+.0f} ms")
                assert [sweep_row(r) for r in on_ray.rows] == [sweep_row(r) for r in two.rows]
        finally:
            ray.shutdown()
        wall_own, on_own = timed(folder, engine="ray", jobs=2)
        report("ray, a cluster of its own", wall_own, on_own, 2)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def first_backtest(folder):
    """A process's first Backtest (and its statistics) against its second, CPU seconds."""
    for _ in range(2):  # the first process fills the tick cache
        out = subprocess.run([sys.executable, "-c", FIRST_AND_SECOND, folder + "/data"], capture_output=True,
                             text=True, check=True, timeout=600).stdout.split()
    first, second = float(out[1]), float(out[3])
    print(f"a process's first Backtest: {first:.3f} s CPU, its second {second:.3f} s ({first - second:+.3f} s)")


def one_run(folder):
    """A 1-run sweep against its run's own seconds: the whole fixed cost of a sweep."""
    extra = []
    for _ in range(REPEATS):
        wall, result = timed(folder, grid={"fast": "3", "slow": "20"}, jobs=1)
        extra.append(wall - result.rows[0]["seconds"])
    print(f"1-run sweep: wall less the run's own seconds {statistics.median(extra):.2f} s "
          f"(median of {REPEATS}; {', '.join(f'{e:.2f}' for e in extra)})   ({load()})", flush=True)


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
