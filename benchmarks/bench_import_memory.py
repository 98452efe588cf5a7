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

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import bench_import  # noqa: E402

ROWS = int(os.environ.get("BENCH_ROWS", "2000000"))

CHILD = """
import resource, sys, time
from orva_mero_backtest.data import import_ticks
started = time.perf_counter()
result = import_ticks(sys.argv[1], data_dir=sys.argv[2])
print(time.perf_counter() - started, result.kept, len(result.days), resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""


def measure(path, data):
    done = subprocess.run([sys.executable, "-c", CHILD, path, data], capture_output=True, text=True, timeout=900)
    if done.returncode:
        raise SystemExit(done.stderr)
    seconds, kept, files, peak_kb = done.stdout.split()
    return float(seconds), int(kept), int(files), int(peak_kb)


def main():
    with tempfile.TemporaryDirectory() as folder:
        for label, make in (("sdk", bench_import.sdk_file), ("taifex", bench_import.taifex_file)):
            path = make(folder, ROWS)
            size = os.path.getsize(path)
            seconds, kept, files, peak_kb = measure(path, os.path.join(folder, f"data-{label}"))
            rss = f"{peak_kb / 1024:,.0f} MB"
            print(f"{label:7s} {ROWS:,} rows ({size / 2**20:,.0f} MB file) -> {files} cache files, {kept:,} ticks: "
                  f"{ROWS / seconds:,.0f} rows/s ({seconds:.2f} s), peak RSS {rss}", flush=True)


if __name__ == "__main__":
    main()
