"""End to end: the sample backtest over about 1,000,000 ticks, against the bare streaming floor.

    .venv/bin/python benchmarks/run.py backtest

The floor is the tick streaming benchmark's own (two Python threads passing a permit and a small dict
through two queue.Queue objects, one thread handoff per tick), measured in the same run. The backtest
streams the sample strategy's instruments out of the tick cache through Ticker, Matcher, the positions
book and the strategy, with the console silenced.
"""

import os
import shutil
import sys
import tempfile
import time

from orva_mero_backtest.constant import BASIC_INFO
from orva_mero_backtest.driver import Backtest, Instrument
from orva_mero_backtest.sim_broker import SimulatedBroker
from orva_mero_backtest.strategies import Sample

INSTRUMENTS = [Instrument("2330", "Stock"), Instrument("TXFR1", "Future")]
# 39 trading days of about 26,000 ticks each (2330 about 8,000, TXFR1 about 18,000).
START, END = "2024-01-02", "2024-02-23"
FLOOR_TICKS = 50_000


def warm_cache(api) -> None:
    from orva_mero_backtest.modules.ticker import ticker as ticker_module

    saved = ticker_module.console
    ticker_module.console = _Silent()
    try:
        feed = ticker_module.Ticker(api)
        for inst in INSTRUMENTS:
            feed.get_ticks_df(inst.code, inst.market, START, END)
    finally:
        ticker_module.console = saved


class _Silent:
    def print(self, *args, **kwargs):
        pass


def main() -> None:
    data_dir = tempfile.mkdtemp(prefix="orva-bench-")
    BASIC_INFO.data_dir = data_dir
    try:
        run(SimulatedBroker())
    finally:
        shutil.rmtree(data_dir, ignore_errors=True)


def run(api) -> None:
    started = time.perf_counter()
    warm_cache(api)
    print(f"tick cache written in {time.perf_counter() - started:.1f} s (generated once, read by the run)", flush=True)

    import bench_ticker_stream

    floor = 1.0 / bench_ticker_stream.floor(FLOOR_TICKS)
    print(f"floor (two threads, two queue.Queue, {FLOOR_TICKS:,} ticks): {floor:,.0f} ticks/s "
          f"({1e6 / floor:.1f} us/tick)", flush=True)

    fetched = len(api.requests)
    backtest = Backtest(Sample(), INSTRUMENTS, START, END, api=api, module_console="none")
    started = time.perf_counter()
    result = backtest.run()
    wall = time.perf_counter() - started
    rate = result.ticks_per_second
    print(f"backtest {result.strategy}: {result.ticks:,} ticks, {len(result.orders):,} orders, "
          f"{len(result.fills):,} fills", flush=True)
    print(f"  streaming: {rate:,.0f} ticks/s ({1e6 / rate:.1f} us/tick): time {floor / rate:.3f}x floor, "
          f"throughput {rate / floor:.1f}x floor", flush=True)
    print(f"  whole run incl. reading the cache: {wall:.1f} s ({result.ticks / wall:,.0f} ticks/s); "
          f"cache read {result.load_seconds:.1f} s", flush=True)
    if len(api.requests) != fetched:
        print(f"  note: {len(api.requests) - fetched} days were fetched again during the run", flush=True)


if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    main()
