"""One backtest of bench_backtest's strategies, to count the tick loop's instructions with callgrind
(deterministic, unlike CPU time on a shared machine):

    BENCH_DAYS=2 valgrind --tool=callgrind --toggle-collect='orva::engine::tick_loop*' \\
        .venv/bin/python benchmarks/loop_instructions.py empty|orders|counting|ma|ma_limit [FILLS [ENTRY,CANCEL]]

"Collected" is then the loop's instructions: divide by the ticks (empty), or take orders less
counting (the same strategy placing no orders) and divide by the orders. FILLS (quote, the default, or
trade) and ENTRY,CANCEL (milliseconds, default 0,0) choose the fill model and the latencies.
BENCH_RULES=1 keeps every one of the exchange's rules (market_rules); by default they are off, as in
bench_backtest's loop cases.

The MA cross's bare loop (bench_backtest.bare_ma_cross over the same ticks) runs under map(), so that
its instructions alone are collected with --toggle-collect=map_next:

    BENCH_DAYS=2 valgrind --tool=callgrind --toggle-collect=map_next .venv/bin/python \\
        benchmarks/loop_instructions.py bare

ma's count over bare's is then the MA cross ratio in instructions, which does not swing (the tick loop
only: the run's start and end are left out).
"""

import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import bench_backtest as bench  # noqa: E402
from orva_mero_backtest.constant import BASIC_INFO  # noqa: E402
from orva_mero_backtest.sim_broker import SimulatedBroker  # noqa: E402

STRATEGIES = {
    "empty": bench.Empty,
    "orders": lambda: bench.EveryNth(trade=True),
    "counting": lambda: bench.EveryNth(trade=False),
    "ma": bench.TickMACross,
    "ma_limit": bench.TickMACrossLimit,
}


def main() -> None:
    kind = sys.argv[1] if len(sys.argv) > 1 else "empty"
    fills = sys.argv[2] if len(sys.argv) > 2 else "quote"
    latency = tuple(float(x) for x in sys.argv[3].split(",")) if len(sys.argv) > 3 else (0.0, 0.0)
    data_dir = tempfile.mkdtemp(prefix="orva-instructions-")
    BASIC_INFO.data_dir = data_dir
    try:
        api = SimulatedBroker()
        end = bench.last_day(api)
        if kind == "bare":
            ticks = bench.collect_ticks(api, end)
            fills = next(map(bench.bare_ma_cross, [ticks]))  # map_next: the frame to collect
            print(f"bare: {len(ticks):,} ticks, {fills:,} fills")
            return
        result = bench.Backtest(STRATEGIES[kind](), bench.INSTRUMENTS, bench.START, end, api=api,
                                module_console="none", fills=fills, latency=latency,
                                rules=os.environ.get("BENCH_RULES") == "1").run()
        print(f"{kind}: {result.ticks:,} ticks, {len(result.fills):,} fills")
    finally:
        shutil.rmtree(data_dir, ignore_errors=True)


if __name__ == "__main__":
    main()
