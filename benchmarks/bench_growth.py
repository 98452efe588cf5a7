"""How a run's cost grows with its range and its instruments: peak RSS and seconds.

    .venv/bin/python benchmarks/bench_growth.py            # quarters of 62 trading days, median of 3
    .venv/bin/python benchmarks/bench_growth.py --quick    # "quarters" of 5 trading days, one sample

One instrument (2412) over 1, 4 and 16 quarters from 2021-01-04, and 1, 5 and 20 stocks over one
quarter; ma_cross under the trade model, on the simulated broker. The simulated broker lists eight
stocks: the benchmark's broker adds twelve more, each a listed stock's activity under another code and
price level (so the same code always gives the same ticks). Each run is a fresh process (its peak RSS
is its own, its imports and calendar not counted); the tick cache is filled by an untimed run first.
``--budget-mb`` is the run's memory budget (default 128; --quick: 4), small enough that the longer
ranges stream in several chunks; ``--budget-mb 0`` leaves the default budget.

Figures per range: peak RSS and the process's RSS before the run (its baseline: the interpreter, the
imports, the broker), the run's wall seconds, the loop's wall time per tick (``stream_seconds``, which
includes a chunk being built alongside on the other core) and the loop thread's own CPU time per tick
(from the first progress report of the main range to the end: what the loop costs, less what the
machine's load and the other threads take from it).
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
from datetime import date, timedelta

EXTRA = 12  # stocks the benchmark's broker adds to the simulated broker's eight

CHILD = r"""
import json, os, resource, sys, time
from dataclasses import replace
sys.path.insert(0, {here!r})
import bench_growth
from orva_mero_backtest.driver import Backtest, Instrument
from orva_mero_backtest.strategies import MovingAverageCross
codes, start, end, budget, data, capital = json.loads(sys.argv[1])
api = bench_growth.broker()
with open("/proc/self/statm") as f:
    base = int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20
cpu = {{}}

def progress(p):
    if p.phase == "main":
        cpu.setdefault("first", (p.ticks, time.thread_time()))
        cpu["last"] = (p.ticks, time.thread_time())

started = time.perf_counter()
result = Backtest(MovingAverageCross(), [Instrument(c, "Stock") for c in codes], start, end, api=api,
                  module_console="none", fills="trade", data_dir=data, on_progress=progress,
                  memory_budget_mb=budget or None, **({{"capital": capital}} if capital else {{}})).run()
seconds = time.perf_counter() - started
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
(t0, c0), (t1, c1) = cpu["first"], cpu["last"]
print(json.dumps({{"seconds": seconds, "ticks": result.ticks, "chunks": result.chunks, "peak_mb": peak,
                  "base_mb": base, "stream": result.stream_seconds, "orders": len(result.orders),
                  "cpu_us": (c1 - c0) * 1e6 / max(t1 - t0, 1)}}))
"""


def broker():
    """The simulated broker with EXTRA more stocks, made from the listed ones."""
    from dataclasses import replace

    from orva_mero_backtest import sim_broker

    api = sim_broker.SimulatedBroker()
    listed = list(sim_broker._STOCKS)
    extra = [replace(listed[i % len(listed)], code=f"99{i + 1:02d}", name=f"sim {i + 1}",
                     reference=listed[i % len(listed)].reference * (1.0 + 0.05 * (i + 1)))
             for i in range(EXTRA)]
    api.Contracts.Stocks = sim_broker._ContractTable("stock", tuple(listed + extra))
    return api


def stock_codes(n):
    return [c.code for c in broker().Contracts.Stocks.values()][:n]


def trading_span(first, days):
    """The last day of ``days`` trading days from ``first``."""
    from orva_mero_backtest.data.clock import is_trading_day

    day, left = first, days
    while True:
        if is_trading_day(day):
            left -= 1
            if left == 0:
                return day
        day += timedelta(days=1)


def one(codes, start, end, budget, data, capital=None):
    code = CHILD.format(here=os.path.dirname(os.path.abspath(__file__)))
    out = subprocess.run([sys.executable, "-c", code, json.dumps([codes, start, end, budget, data, capital])],
                         check=True, capture_output=True, text=True, timeout=3600)
    return json.loads(out.stdout.strip().splitlines()[-1])


def measure(label, codes, start, end, budget, data, samples, capital=None):
    one(codes, start, end, budget, data, capital)  # fills the cache
    runs = [one(codes, start, end, budget, data, capital) for _ in range(samples)]
    med = {k: statistics.median(r[k] for r in runs) for k in ("seconds", "peak_mb", "base_mb", "stream", "cpu_us")}
    ticks, chunks, orders = runs[0]["ticks"], runs[0]["chunks"], runs[0]["orders"]
    print(f"{label:<22} {ticks:>10,} ticks {orders:>7,} orders {chunks:>3} chunk(s)  peak RSS "
          f"{med['peak_mb']:5.0f} MB (before the run {med['base_mb']:3.0f})  run {med['seconds']:6.2f} s  "
          f"loop {med['stream']:6.2f} s ({med['stream'] * 1e6 / max(ticks, 1):5.2f} us/tick, "
          f"CPU {med['cpu_us']:5.2f} us/tick)", flush=True)
    return med


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--quick", action="store_true")
    p.add_argument("--budget-mb", type=float)
    p.add_argument("--only", choices=("quarters", "instruments"))
    p.add_argument("--samples", type=int, help="runs per figure, the median shown (default 3; --quick: 1)")
    p.add_argument("--capital", type=float, help="the runs' capital in TWD (default: the package's); with "
                   "the default ma_cross runs out of cash in its second year and every later order is refused")
    args = p.parse_args()
    quarter = 5 if args.quick else 62
    samples = args.samples or (1 if args.quick else 3)
    budget = args.budget_mb if args.budget_mb is not None else (4.0 if args.quick else 128.0)
    first = date(2021, 1, 4)
    load = os.getloadavg()
    print(f"{sys.version.split()[0]}, {os.cpu_count()} cores, load {load[0]:.1f}; quarter = {quarter} trading "
          f"days; budget {budget or 'default'} MB; {'one sample' if samples == 1 else f'median of {samples}'}"
          + (f"; capital {args.capital:,.0f} TWD" if args.capital else ""))
    with tempfile.TemporaryDirectory(prefix="orva-bench-growth-") as data:
        if args.only != "instruments":
            for quarters in (1, 4, 16):
                end = trading_span(first, quarter * quarters)
                measure(f"2412, {quarters} quarter(s)", ["2412"], first.isoformat(), end.isoformat(), budget,
                        data, samples, args.capital)
        if args.only != "quarters":
            end = trading_span(first, quarter)
            for n in (1, 5, 20):
                measure(f"{n} stock(s), 1 quarter", stock_codes(n), first.isoformat(), end.isoformat(), budget,
                        data, samples, args.capital)
    print(f"load at the end {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
