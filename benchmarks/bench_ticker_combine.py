"""Combination of cached days into one sorted frame: Ticker against plain polars.

20 instruments x 20 cached days, 5,000 ticks each (2,000,000 rows), written as cache files in a
temporary data directory. Timed: the Ticker's combination (cache reads, "code" column, one concat,
one stable sort) against plain Python doing read_csv + concat + sort on the same files with the
same result; console output replaced by a no-op. Medians of several alternating runs.
"""

import datetime
import os
import statistics
import tempfile
import time

import polars as pl

from orva_mero_backtest.constant import BASIC_INFO

INSTRUMENTS = 20
DAYS = 20
ROWS_PER_DAY = 5_000
REPEATS = 7
FIRST_DAY = datetime.date(2024, 1, 1)


class _Quiet:
    def print(self, *args, **kwargs):
        pass


def _write_cache(cache_dir, schema):
    codes = [f"{2300 + i}" if i % 2 == 0 else f"TXF{i:02d}" for i in range(INSTRUMENTS)]
    days = [(FIRST_DAY + datetime.timedelta(days=d)).strftime("%Y-%m-%d") for d in range(DAYS)]
    files = []
    for i, code in enumerate(codes):
        for d, day in enumerate(days):
            start = int(datetime.datetime.strptime(day, "%Y-%m-%d").timestamp()) * 10**9 + 9 * 3600 * 10**9
            frame = pl.select(
                # Several instruments tick at the same instants, so the sort has ties to break.
                ts=start + (pl.int_range(ROWS_PER_DAY, dtype=pl.Int64) * 7 + i % 3) * 1_000_000,
                close=100.0 + (pl.int_range(ROWS_PER_DAY) % 50) * 0.5,
                volume=pl.int_range(ROWS_PER_DAY, dtype=pl.Int64) % 9 + 1,
                bid_price=99.5 + (pl.int_range(ROWS_PER_DAY) % 50) * 0.5,
                bid_volume=pl.int_range(ROWS_PER_DAY, dtype=pl.Int64) % 30,
                ask_price=100.5 + (pl.int_range(ROWS_PER_DAY) % 50) * 0.5,
                ask_volume=pl.int_range(ROWS_PER_DAY, dtype=pl.Int64) % 31,
                tick_type=pl.int_range(ROWS_PER_DAY, dtype=pl.Int64) % 3,
            ).cast(schema)
            path = os.path.join(cache_dir, f"{code} {day} - ticks.csv")
            frame.write_csv(path)
            files.append((code, path))
    return codes, days, files


def _plain_polars(files, schema, maintain_order=True):
    frames = [pl.read_csv(path, schema=schema).with_columns(pl.lit(code).alias("code")) for code, path in files]
    return pl.concat(frames).sort(["ts", "code"], maintain_order=maintain_order)


def main():
    from orva_mero_backtest.modules.ticker import ticker

    old_dir, old_console = BASIC_INFO.data_dir, ticker.console
    with tempfile.TemporaryDirectory() as tmp:
        BASIC_INFO.data_dir = tmp
        try:
            t = ticker.Ticker(None)  # every day is cached: the broker is never asked
            schema = t.tick_df_schema
            cache_dir = os.path.join(tmp, "mero", "ticks")
            os.makedirs(cache_dir)
            codes, days, files = _write_cache(cache_dir, schema)
            instruments = [{"code": c, "market": "Stock" if c[0].isdigit() else "Future"} for c in codes]
            ticker.console = _Quiet()

            def ours():
                return t._Ticker__process_and_combine_ticks(instruments, days[0], days[-1])

            runs = {"ticker": [], "polars": [], "polars_unstable": []}
            result = reference = None
            contenders = [("ticker", ours), ("polars", lambda: _plain_polars(files, schema)),
                          ("polars_unstable", lambda: _plain_polars(files, schema, False))]
            ours()  # warm-up: page cache, polars thread pool
            for repeat in range(REPEATS):
                # Alternate the order so a neighbour's load does not always hit the same contender.
                for name, fn in contenders if repeat % 2 == 0 else contenders[::-1]:
                    start = time.perf_counter()
                    out = fn()
                    runs[name].append(time.perf_counter() - start)
                    if name == "ticker":
                        result = out
                    elif name == "polars":
                        reference = out
            assert result.equals(reference), "Ticker's frame differs from plain polars"
        finally:
            BASIC_INFO.data_dir, ticker.console = old_dir, old_console

    rows = result.height
    med = {name: statistics.median(times) for name, times in runs.items()}
    print(f"combination: {INSTRUMENTS} instruments x {DAYS} days = {len(files)} cached files, {rows:,} rows")
    for name, label in (("ticker", "Ticker.__process_and_combine_ticks"),
                        ("polars", "plain polars read_csv+concat+stable sort"),
                        ("polars_unstable", "plain polars, default (unstable) sort")):
        print(f"  {label:45s} {med[name] * 1e3:8.1f} ms  {med[name] / rows * 1e9:6.1f} ns/row"
              f"  (min {min(runs[name]) * 1e3:.1f} ms)")
    ratio = med["ticker"] / med["polars"]
    print(f"  ratio ticker / plain polars (same result): {ratio:.3f}  (target <= 1.1)")
    print(f"  ratio ticker / plain polars, unstable sort: {med['ticker'] / med['polars_unstable']:.3f}")


if __name__ == "__main__":
    main()
