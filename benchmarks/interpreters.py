"""The backtest benchmark on several interpreters in one run, each against its own bare loop.

    .venv/bin/python benchmarks/interpreters.py [PYTHON ...]
    .venv/bin/python benchmarks/interpreters.py --guard 0.333 --cases empty

Each PYTHON (default: the project's .venv, any .venv-3.* and .venv-next that exist) runs
bench_backtest.py in a subprocess of its own (BENCH_DAYS, BENCH_RUNS, BENCH_ROUNDS and BENCH_CASES pass through); the
table then shows each interpreter's figures and its empty-strategy ticks/s as a share of the first's.

--guard R exits 1 when an interpreter's empty-strategy ticks/s is below R times the first one's: CI runs
it with a third so that a slow path taken on one interpreter only (a 10x cliff) cannot land green. A
failing comparison is measured twice more and the best share counts, so a noisy moment on a shared
machine does not fail it; a real cliff fails all three.
"""

import argparse
import json
import os
import pathlib
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent


def default_pythons():
    found = [ROOT / ".venv/bin/python"]
    found += sorted(p / "bin/python" for p in ROOT.glob(".venv-3.*"))
    found.append(ROOT / ".venv-next/bin/python")
    return [str(p) for p in found if p.exists()]


def measure(python, cases):
    env = dict(os.environ, BENCH_JSON="1", BENCH_CASES=cases)
    env.setdefault("BENCH_DAYS", "5")
    done = subprocess.run([python, str(HERE / "bench_backtest.py")], env=env, capture_output=True, text=True,
                          timeout=1800)
    if done.returncode != 0:
        raise SystemExit(f"{python}: the benchmark failed ({done.returncode}):\n{done.stderr[-2000:]}")
    sys.stdout.write(done.stdout)
    return json.loads(done.stdout.strip().splitlines()[-1])


def table(rows):
    first = rows[0].get("empty_ticks_per_second")
    print(f"\n{'Python':<10} {'empty ticks/s':>14} {'share':>7} {'MA cross':>9} {'per order':>10}")
    for r in rows:
        tps = r.get("empty_ticks_per_second")
        share = f"{tps / first:.2f}x" if tps and first else "-"
        ma = f"{r['ma_ratio']:.1f}x" if "ma_ratio" in r else "-"
        order = f"{r['us_per_order']:.1f} us" if "us_per_order" in r else "-"
        print(f"{r['python']:<10} {tps or 0:>14,.0f} {share:>7} {ma:>9} {order:>10}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("pythons", nargs="*")
    parser.add_argument("--cases", default=os.environ.get("BENCH_CASES", "empty,ma,order"))
    parser.add_argument("--guard", type=float, default=None)
    args = parser.parse_args(argv)
    pythons = args.pythons or default_pythons()
    cases = args.cases if args.guard is None or "empty" in args.cases else args.cases + ",empty"
    rows = [measure(p, cases) for p in pythons]
    table(rows)
    if args.guard is None:
        return 0
    failed = []
    for python, row in zip(pythons[1:], rows[1:]):
        share = row["empty_ticks_per_second"] / rows[0]["empty_ticks_per_second"]
        tries = 1
        while share < args.guard and tries < 3:
            tries += 1
            base = measure(pythons[0], "empty")["empty_ticks_per_second"]
            share = max(share, measure(python, "empty")["empty_ticks_per_second"] / base)
        if share < args.guard:
            failed.append(f"Python {row['python']}: {share:.2f}x of Python {rows[0]['python']}'s ticks/s "
                          f"(at least {args.guard:.2f}x wanted)")
    for line in failed:
        print(f"speed check failed: {line}", file=sys.stderr)
    if not failed:
        print(f"speed check: every interpreter at or above {args.guard:.2f}x of Python {rows[0]['python']}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
