"""Tick streaming benchmarks: pop_tick / allow_next_tick against a bare two-thread handoff.

    .venv/bin/python benchmarks/run.py ticker_stream

Cases (each printed as time per tick, throughput, and ratio to the floor measured in the same run):
- floor: a bare pair of Python threads passing a permit and a small dict through two queue.Queue
  objects, the cost of one thread handoff per tick;
- streaming: 1,000,000 ticks of 20 instruments through Ticker.pop_tick / allow_next_tick, without
  and with a backfill (half the ticks backfilled);
- take_next_tick: the main thread's own cost per tick (thread_time) of ticker.take_next_tick, the
  driver's one call per tick (deposits the permit, builds the tick it releases and hands it over),
  with an empty consumer;
- end to end: the same ticks handed to a Matcher (set_current_tick + match_deal), when the matcher
  module is built;
- memory: peak resident memory while streaming 5,000,000 ticks, against the frame's own size
  (in a fresh process).

The combination is replaced by a function returning a prepared frame, and the console by a
no-op object, so only the streaming is measured. BENCH_TICKS scales the tick counts.
"""

import json
import os
import queue
import subprocess
import sys
import threading
import time

import polars as pl

from orva_mero_backtest.modules.ticker import ticker

SCALE = float(os.environ.get("BENCH_TICKS", "1"))
STREAM_TICKS = int(1_000_000 * SCALE)
FLOOR_TICKS = int(50_000 * SCALE)
MEMORY_TICKS = int(5_000_000 * SCALE)
INSTRUMENTS = 20
BASE_TS = 1_704_160_800_000_000_000


class Quiet:
    def print(self, *args, **kwargs):
        pass

    def error(self, *args, **kwargs):
        pass


def tick_frame(n: int, offset: int = 0) -> pl.DataFrame:
    i = pl.int_range(offset, offset + n, dtype=pl.Int64)
    return pl.select(
        ts=BASE_TS + i * 7_919,
        close=(500.0 + (i % 97) * 0.5),
        volume=(i % 13 + 1),
        bid_price=(499.5 + (i % 97) * 0.5),
        bid_volume=(i % 5 + 1),
        ask_price=(500.5 + (i % 97) * 0.5),
        ask_volume=(i % 7 + 1),
        tick_type=(i % 2 + 1),
        code=pl.format("S{}", 1000 + i % INSTRUMENTS),
    )


CODES = [{"code": f"S{1000 + k}", "market": "Stock" if k % 2 else "Future"} for k in range(INSTRUMENTS)]


def install(frames: dict) -> None:
    def combine(self, codes, start_from, end_to):
        for entry in codes:
            self.code_market_map.setdefault(entry["code"], entry["market"])
        return frames[(start_from, end_to)]

    ticker.Ticker._Ticker__process_and_combine_ticks = combine
    ticker.console = Quiet()


def floor(n: int) -> float:
    """Seconds per tick of the bare design: permit in, dict out, one thread handoff each way."""
    permits, ticks = queue.Queue(), queue.Queue()

    def sender():
        for k in range(n):
            permits.get()
            ticks.put({"market_type": "Stock", "timestamp": 1.5, "code": "2330", "close": 1.0, "qty": k,
                       "tick_type": 1, "is_simulate": False, "is_backfilling": False})
        permits.get()
        ticks.put({"orva_status": "exit_send_tick"})

    th = threading.Thread(target=sender, daemon=True)
    th.start()
    start = time.perf_counter()
    permits.put(True)
    while "orva_status" not in ticks.get():
        permits.put(True)
    elapsed = time.perf_counter() - start
    th.join()
    return elapsed / n


def stream(n: int, backfill: int, on_tick=None) -> float:
    """Seconds per tick to pop every tick of a run and allow the next, the status dicts included."""
    frames = {("2024-01-01", "2024-01-31"): tick_frame(n - backfill, backfill)}
    args = ["2024-01-01", "2024-01-31"]
    if backfill:
        frames[("2023-12-01", "2023-12-31")] = tick_frame(backfill)
        args += ["2023-12-01", "2023-12-31"]
    install(frames)
    t = ticker.Ticker(object())
    pop, allow = t.pop_tick, t.allow_next_tick
    start = time.perf_counter()
    t.send_ticks(CODES, *args)
    count = 0
    while True:
        tick = pop()
        if "orva_status" in tick:
            if tick["orva_status"] == "exit_send_tick":
                break
        else:
            count += 1
            if on_tick:
                on_tick(tick)
        allow()
    elapsed = time.perf_counter() - start
    assert count == n, (count, n)
    return elapsed / n


def take_next(n: int) -> float:
    """Main-thread CPU seconds per tick through ticker.take_next_tick, the tick dicts included."""
    install({("2024-01-01", "2024-01-31"): tick_frame(n)})
    t = ticker.Ticker(object())
    t.send_ticks(CODES, "2024-01-01", "2024-01-31")
    take, ticks = ticker.take_next_tick, t.tick_queue
    item, count = ticks.get(timeout=60), 0
    start = time.thread_time()
    while "orva_status" not in item:
        count += 1
        item = take(t)
        if item is None:
            item = ticks.get(timeout=60)
    elapsed = time.thread_time() - start
    assert count == n, (count, n)
    return elapsed / n


def end_to_end(n: int):
    try:
        from orva_mero_backtest.modules.matcher.matcher import Matcher

        m = Matcher()
        m.set_current_tick({"code": "S1000", "timestamp": 1.0})
    except Exception as error:  # the matcher is another module; it may not be built here
        return None, f"{type(error).__name__}: {error}"
    from orva_mero_backtest.modules.matcher import matcher as matcher_module

    matcher_module.console = Quiet()
    set_tick, match = m.set_current_tick, m.match_deal

    def on_tick(tick):
        set_tick(tick)
        match(tick["code"], tick["close"], tick["qty"], tick["timestamp"])

    per_tick = stream(n, 0, on_tick)
    start = time.perf_counter()
    for k in range(min(n, 200_000)):
        tick = {"market_type": "Stock", "timestamp": 1.5 + k, "code": "S1000", "close": 500.0, "qty": 1,
                "tick_type": 1, "is_simulate": False, "is_backfilling": False}
        on_tick(tick)
    matcher_only = (time.perf_counter() - start) / min(n, 200_000)
    return (per_tick, matcher_only), None


MEMORY_SCRIPT = r"""
import json, os, sys, time
sys.path.insert(0, {here!r})
import bench_ticker_stream as b

def rss(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1]) * 1024

before = rss("VmRSS")
df = b.tick_frame({n})
frame_size = df.estimated_size()
b.install({{("2024-01-01", "2024-01-31"): df}})
del df
after = rss("VmRSS")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # resets the peak (VmHWM) to the current resident size
t = b.ticker.Ticker(object())
t.send_ticks(b.CODES, "2024-01-01", "2024-01-31")
count = 0
while "orva_status" not in t.pop_tick():
    count += 1
    t.allow_next_tick()
peak = rss("VmHWM")
print(json.dumps({{"before": before, "after": after, "peak": peak, "frame": frame_size, "count": count}}))
"""


def memory(n: int):
    script = MEMORY_SCRIPT.format(here=os.path.dirname(os.path.abspath(__file__)), n=n)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=600)
    if done.returncode != 0:
        raise RuntimeError(done.stderr)
    return json.loads(done.stdout.strip().splitlines()[-1])


def rate(per_tick: float) -> str:
    return f"{per_tick * 1e6:8.3f} us/tick  {1 / per_tick:12,.0f} ticks/s"


def main():
    fl = floor(FLOOR_TICKS)
    print(f"floor (two threads, two queue.Queue, {FLOOR_TICKS:,} ticks)      {rate(fl)}", flush=True)
    cases = [("streaming, no backfill", 0), ("streaming, half backfilled", STREAM_TICKS // 2)]
    for name, backfill in cases:
        per_tick = stream(STREAM_TICKS, backfill)
        print(f"{name:27} ({STREAM_TICKS:,} ticks)  {rate(per_tick)}   time {per_tick / fl:.3f}x floor, "
              f"throughput {fl / per_tick:.1f}x floor", flush=True)
    own = sorted(take_next(STREAM_TICKS // 2) for _ in range(3))[1]
    print(f"take_next_tick, main thread's own cost, empty consumer ({STREAM_TICKS // 2:,} ticks, median of 3)  "
          f"{rate(own)}", flush=True)
    e2e, why = end_to_end(STREAM_TICKS)
    if e2e is None:
        print(f"end to end with a Matcher: skipped ({why})")
    else:
        per_tick, matcher_only = e2e
        print(f"end to end: stream + Matcher.set_current_tick + match_deal  {rate(per_tick)}   "
              f"throughput {fl / per_tick:.1f}x floor (matcher calls alone {matcher_only * 1e6:.3f} us/tick)")
    mem = memory(MEMORY_TICKS)
    mib = 1 << 20
    extra = mem["peak"] - mem["after"]
    print(f"memory, {mem['count']:,} ticks streamed: frame {mem['frame'] / mib:.1f} MiB, "
          f"RSS before frame {mem['before'] / mib:.1f} MiB, with frame {mem['after'] / mib:.1f} MiB, "
          f"peak while streaming {mem['peak'] / mib:.1f} MiB (+{extra / mib:.1f} MiB, "
          f"{extra / mem['frame']:.3f}x the frame)")


if __name__ == "__main__":
    main()
