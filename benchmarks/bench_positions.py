"""The positions book's per-fill and per-tick calls, each timed alone (perf_counter around every call),
native and in the Python model of tests/reference (the same steps as Python text).

    .venv/bin/python benchmarks/bench_positions.py [--calls N] [--repeat R]

Prints the median over R repeats of the median per-call time in microseconds (the timer's own cost,
about 0.06 us here, included).
"""

from __future__ import annotations

import argparse
import pathlib
import statistics
import sys
import time

from orva_mero_backtest.constant import Action, OrderLot
from orva_mero_backtest.modules.positions.positions import Positions

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
from reference.positions_book import ReferencePositions  # noqa: E402


def stock_fill(i):
    return {"trade_id": f"t{i}", "code": "2330", "product_type": "Stock", "action": Action.BUY if i % 2 else Action.SELL,
            "price": 580.0 + (i % 7), "quantity": 1, "order_lot": OrderLot.COMMON, "exchange_ts": 1.0 + i}


def future_fill(i):
    return {"trade_id": f"f{i}", "code": "TXFR1", "product_type": "Future", "action": Action.BUY if i % 2 else Action.SELL,
            "price": 17_500.0 + (i % 9), "quantity": 1, "exchange_ts": 1.0 + i}


def per_call(fn, args_list):
    clock = time.perf_counter
    times = []
    for args in args_list:
        start = clock()
        fn(*args)
        times.append(clock() - start)
    return statistics.median(times) * 1e6


def run(calls, make_book):
    """Per-call medians of the methods of a book made by make_book()."""
    out = {}
    for label, make, kind in (("set_positions stock", stock_fill, "Stock"), ("set_positions future", future_fill, "Future")):
        book = make_book()
        book.set_positions(make(0), kind)  # the instrument's entry exists, as after the first fill
        out[label] = per_call(book.set_positions, [(make(i), kind) for i in range(1, calls + 1)])
    book = make_book()
    for i in range(4):
        book.set_positions(stock_fill(i), "Stock")
        book.set_positions(future_fill(i), "Future")
    out["equity (2 instruments)"] = per_call(book.equity, [()] * calls)
    ticks = [{"code": "2330", "close": 580.0 + i % 5, "timestamp": float(i)} for i in range(calls)]
    out["set_current_tick"] = per_call(book.set_current_tick, [(t,) for t in ticks])
    # As the exchange calls it: every argument by keyword.
    record = book.add_trade_record
    out["add_trade_record"] = per_call(
        lambda: record(trade_id="t", code="2330", action=Action.BUY, quantity=1, price=580.0, timestamp=1.0,
                       trade_status="Deal"), [()] * calls)
    return out


def main(argv=()):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=20_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args(argv)
    native = [run(args.calls, Positions) for _ in range(args.repeat)]
    python = [run(args.calls, ReferencePositions) for _ in range(args.repeat)]
    print(f"{'us per call':28s} {'native':>8s} {'python':>8s}")
    for label in native[0]:
        print(f"{label:28s} {statistics.median(r[label] for r in native):8.3f} "
              f"{statistics.median(r[label] for r in python):8.3f}")


if __name__ == "__main__":
    main(sys.argv[1:])
