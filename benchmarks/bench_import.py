"""Import of a 1,000,000-row tick file into the cache, against plain polars.read_csv of the same file.

Two files of 1,000,000 rows in a temporary folder: an SDK export (2330.csv, columns shuffled, integers
written as floats, 20 trading days) and a TAIFEX-style daily file (cp950, padded codes and months, short
times, two contract months). Timed: import_ticks (parse, check, book trading days, write one cache file per
instrument-day) against pl.read_csv of the same file (parse only). Medians of a few runs.
"""

import os
import statistics
import tempfile
import time
from datetime import date

import polars as pl

from orva_mero_backtest.data import import_ticks, trading_days
from orva_mero_backtest.data.clock import wall_ns

ROWS = 1_000_000
REPEATS = 3


def sdk_file(folder, rows=ROWS):
    """An SDK-format CSV of ``rows`` ticks of 2330 over 20 trading days."""
    days = trading_days(date(2024, 1, 2), date(2024, 2, 5))[:20]
    per_day = rows // len(days)
    starts = pl.Series([wall_ns(d) + 9 * 3600 * 10**9 for d in days]).repeat_by(per_day).explode()
    i = pl.int_range(rows, eager=True)
    frame = pl.DataFrame({
        "volume": (i % 7 + 1).cast(pl.Float64),
        "close": 590.0 + (i % 11),
        "ts": starts + (i % per_day) * 17_000_000,
        "ask_price": 591.0 + (i % 11), "bid_price": 590.0 + (i % 11),
        "ask_volume": (i % 50).cast(pl.Float64), "bid_volume": i % 40, "tick_type": i % 3,
    })
    path = os.path.join(folder, "2330.csv")
    frame.write_csv(path)
    return path


def taifex_file(folder, rows=ROWS):
    """An exchange daily file (cp950) of ``rows`` TX trades on one day."""
    i = pl.int_range(rows, eager=True)
    seconds = 8 * 3600 + 45 * 60 + (i * 18_000 // rows)
    clock = (seconds // 3600) * 10000 + (seconds % 3600 // 60) * 100 + seconds % 60
    frame = pl.select(
        pl.lit("20240102").alias("成交日期"), pl.lit("TX     ").alias("商品代號"),
        pl.when(i % 10 == 0).then(pl.lit("202402     ")).otherwise(pl.lit("202401     ")).alias("到期月份(週別)"),
        clock.cast(pl.String).alias("成交時間"), (17600 + i % 50).cast(pl.String).alias("成交價格"),
        ((i % 5 + 1) * 2).cast(pl.String).alias("成交數量(B+S)"),
    )
    path = os.path.join(folder, "Daily_2024_01_02.csv")
    with open(path, "wb") as f:
        f.write(frame.write_csv().encode("cp950"))
    return path


def _median(fn):
    times = []
    for _ in range(REPEATS):
        started = time.perf_counter()
        fn()
        times.append(time.perf_counter() - started)
    return statistics.median(times)


def main():
    with tempfile.TemporaryDirectory() as folder:
        for label, make in (("sdk", _sdk_file), ("taifex", _taifex_file)):
            path = make(folder)
            data = os.path.join(folder, "data")
            read = _median(lambda: pl.read_csv(path, infer_schema=False) if label == "taifex" else pl.read_csv(path))
            result = import_ticks(path, data_dir=data)
            imported = _median(lambda: import_ticks(path, data_dir=data))
            print(f"{label:7s} {ROWS:,} rows -> {len(result.days)} cache files: import {ROWS / imported:,.0f} rows/s "
                  f"({imported:.2f} s), polars.read_csv {ROWS / read:,.0f} rows/s ({read:.2f} s), "
                  f"ratio {imported / read:.1f}x", flush=True)


if __name__ == "__main__":
    main()
