"""Parameter sweeps: a grid of backtests run in local worker processes or on a Ray cluster.

The grid is the product of every ``--param NAME=V1,V2,...`` and of the ``--instruments`` sets. Before any
run starts, the parent process puts every instrument-day of the grid in the tick cache, under the same data
root a single run of the chosen broker uses (the simulated broker's own root for generated ticks); workers
then read that root only (they get the cache-only broker, which never downloads or generates). Each run is
one ordinary backtest built from the same run options as ``orva-backtest``, so a run gives the same row
alone, in a local sweep or on Ray.

Ray is imported only when the Ray engine is chosen (``pip install .[cluster]``).

The modules: ``grid`` (the runs of the parameter grid), ``cache`` (the tick cache filled before the
runs), ``worker`` (one run), ``engines`` (local processes, Ray), ``results`` (frame, table, heatmaps) and
``command`` (the sweep from the command line or from Python).
"""

from .grid import (
    MAX_RUNS, RunSpec, SWEEP_OPTIONS, SweepPlan, expand_values, instruments_label, parse_instrument,
    parse_instrument_sets, parse_params, plan_sweep, run_args, typed,
)
from .constraint import Constraint
from .worker import NOT_STATISTICS, _summary_of, base_row, error_row, run_one  # noqa: F401 - _summary_of: tests
from .cache import CacheFill, data_bundle, materialize, warm_cache
from .engines import run_local, run_ray
from .results import (
    CSV_NAME, DEFAULT_METRIC, HEATMAP_NAME, LOWER_IS_BETTER, PARQUET_NAME, metric_order, numeric_columns,
    plot_heatmaps, print_failures, print_table, ranked, results_frame, write_results,
)
from .command import (
    EXIT_INTERRUPTED, FLUSH_SECONDS, PROG, SweepResult, build_sweep_parser, execute, parse_sweep_args,
    run_sweep, sweep_main,
)

__all__ = [
    "CSV_NAME", "CacheFill", "Constraint", "DEFAULT_METRIC", "EXIT_INTERRUPTED", "FLUSH_SECONDS", "HEATMAP_NAME",
    "LOWER_IS_BETTER", "MAX_RUNS", "NOT_STATISTICS", "PARQUET_NAME", "PROG", "RunSpec", "SWEEP_OPTIONS",
    "SweepPlan", "SweepResult", "base_row", "build_sweep_parser", "data_bundle", "error_row", "execute",
    "expand_values", "instruments_label", "materialize", "metric_order", "numeric_columns",
    "parse_instrument", "parse_instrument_sets", "parse_params", "parse_sweep_args", "plan_sweep",
    "plot_heatmaps", "print_failures", "print_table", "ranked", "results_frame", "run_args", "run_local",
    "run_one", "run_ray", "run_sweep", "sweep_main", "typed", "warm_cache", "write_results",
]
