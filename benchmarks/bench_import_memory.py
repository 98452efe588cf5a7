"""Peak memory and speed of importing a 2,000,000-row tick file (SDK CSV and TAIFEX daily CSV).

Each import runs in a fresh child process, whose peak RSS (ru_maxrss) is reported with the rows per second
of the whole import (read, check, book trading days, write the cache files). The SDK file spans 20 trading
days, so a streaming importer should peak near one day's worth (100,000 rows) plus its batch, not the file.
``BENCH_ROWS`` changes the row count.

    .venv/bin/python benchmarks/bench_import_memory.py
"""

import os
import subprocess
import sys
import tempfile
import time
from datetime import date

import polars as pl

from orva_mero_backtest.data import trading_days
from orva_mero_backtest.data.clock import wall_ns

ROWS = int(os.environ.get("BENCH_ROWS", "2000000"))

CHILD = """
import resource, sys, time
from orva_mero_backtest.data import import_ticks
started = time.perf_counter()
result = import_ticks(sys.argv[1], data_dir=sys.argv[2])
print(time.perf_counter() - started, result.kept, len(result.days), resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""


def sdk_file(folder):
    days = trading_days(date(2024, 1, 2), date(2024, 2, 5))[:20]
    per_day = ROWS // len(days)
    starts = pl.Series([wall_ns(d) + 9 * 3600 * 10**9 for d in days]).repeat_by(per_day).explode()
    i = pl.int_range(len(starts), eager=True)
    frame = pl.DataFrame({
        "ts": starts + (i % per_day) * 100_000_000, "close": 590.0 + (i % 11), "volume": i % 7 + 1,
        "bid_price": 590.0 + (i % 11), "bid_volume": i % 40, "ask_price": 591.0 + (i % 11),
        "ask_volume": i % 50, "tick_type": i % 3,
    })
    path = os.path.join(folder, "2330.csv")
    frame.write_csv(path)
    return path


def taifex_file(folder):
    i = pl.int_range(ROWS, eager=True)
    seconds = 8 * 3600 + 45 * 60 + (i * 18_000 // ROWS)
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


def measure(path, data):
    done = subprocess.run([sys.executable, "-c", CHILD, path, data], capture_output=True, text=True, timeout=900)
    if done.returncode:
        raise SystemExit(done.stderr)
    seconds, kept, files, peak_kb = done.stdout.split()
    return float(seconds), int(kept), int(files), int(peak_kb)


def main():
    with tempfile.TemporaryDirectory() as folder:
        for label, make in (("sdk", sdk_file), ("taifex", taifex_file)):
            path = make(folder)
            size = os.path.getsize(path)
            seconds, kept, files, peak_kb = measure(path, os.path.join(folder, f"data-{label}"))
            rss = f"{peak_kb / 1024:,.0f} MB"
            print(f"{label:7s} {ROWS:,} rows ({size / 2**20:,.0f} MB file) -> {files} cache files, {kept:,} ticks: "
                  f"{ROWS / seconds:,.0f} rows/s ({seconds:.2f} s), peak RSS {rss}", flush=True)


if __name__ == "__main__":
    main()
