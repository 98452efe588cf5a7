"""Test helpers for the tick stream: frames, a stand-in combination, recorders, waits with deadlines."""

from __future__ import annotations

import threading
import time

import polars as pl

from orva_mero_backtest.modules.ticker import ticker
from orva_mero_backtest.utils import format_nano_ts_to_second_ts

SCHEMA = {
    "ts": pl.Int64,
    "close": pl.Float64,
    "volume": pl.Int64,
    "bid_price": pl.Float64,
    "bid_volume": pl.Int64,
    "ask_price": pl.Float64,
    "ask_volume": pl.Int64,
    "tick_type": pl.Int64,
    "code": pl.String,
}
BASE_TS = 1_704_160_800_123_456_789
EXIT = {"orva_status": "exit_send_tick"}
FINISH = {"orva_status": "finish_backfilling"}
TIMEOUT = 5.0


def frame(n: int, codes=("2330", "TXFR1"), start: int = 0) -> pl.DataFrame:
    """n rows; row i has close start+i, so every tick of a test is recognisable."""
    rows = range(start, start + n)
    return pl.DataFrame(
        {
            "ts": [BASE_TS + 1_000_003 * i for i in rows],
            "close": [100.0 + i for i in rows],
            "volume": [i for i in rows],
            "bid_price": [99.5] * n,
            "bid_volume": [1] * n,
            "ask_price": [100.5] * n,
            "ask_volume": [2] * n,
            "tick_type": [1 + i % 2 for i in rows],
            "code": [codes[i % len(codes)] for i in rows],
        },
        schema=SCHEMA,
    )


def expected_ticks(df, markets: dict, backfilling: bool = False) -> list[dict]:
    """The tick dicts of a frame, made the plain way from its named rows."""
    return [
        {
            "market_type": markets[row["code"]],
            "timestamp": format_nano_ts_to_second_ts(row["ts"], 8),
            "code": row["code"],
            "close": row["close"],
            "qty": row["volume"],
            "tick_type": row["tick_type"],
            "is_simulate": False,
            "is_backfilling": backfilling,
        }
        for row in df.iter_rows(named=True)
    ]


CODES = [{"code": "2330", "market": "Stock"}, {"code": "TXFR1", "market": "Future"}]
MARKETS = {"2330": "Stock", "TXFR1": "Future"}


class Feed:
    """Stands in for the combination: frames by (start_from, end_to), optional gates and errors."""

    def __init__(self):
        self.frames: dict = {}
        self.gates: dict = {}  # range -> threading.Event waited on before answering
        self.errors: dict = {}  # range -> exception raised
        self.hooks: dict = {}  # range -> callable(ticker) run before answering
        self.calls: list = []

    def __call__(self, obj, codes, start_from, end_to):
        key = (start_from, end_to)
        self.calls.append(key)
        for entry in codes:
            obj.code_market_map.setdefault(entry["code"], entry["market"])
        if key in self.hooks:
            self.hooks[key](obj)
        gate = self.gates.get(key)
        if gate is not None and not gate.wait(TIMEOUT):
            raise AssertionError(f"gate {key} never opened")
        if key in self.errors:
            raise self.errors[key]
        return self.frames.get(key, frame(0))


class Lines:
    def __init__(self):
        self.lines: list[str] = []

    def print(self, text):
        self.lines.append(text)

    def error(self, text):
        self.lines.append(text)


class Threads:
    """Every thread the module makes through its `Thread` name."""

    def __init__(self):
        self.made: list[threading.Thread] = []
        recorder = self

        class Recorded(threading.Thread):
            def __init__(self, *args, **kwargs):
                super().__init__(*args, **kwargs)
                recorder.made.append(self)

        self.cls = Recorded

    def join_all(self, timeout=TIMEOUT):
        deadline = time.monotonic() + timeout
        for th in self.made:
            th.join(max(0.0, deadline - time.monotonic()))
        alive = [th for th in self.made if th.is_alive()]
        assert not alive, f"threads still alive: {alive}"


def wait_until(predicate, timeout=TIMEOUT, what="condition"):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.001)


def pop(t, timeout=TIMEOUT):
    """pop_tick once something is there (so a fault fails instead of hanging)."""
    wait_until(lambda: t.tick_queue.qsize() > 0, timeout, "a dict on tick_queue")
    return t.pop_tick()


def nothing_arrives(t, wait=0.15):
    time.sleep(wait)
    return t.tick_queue.qsize() == 0


def consume(t, allow_after_each=True, limit=100000):
    """Pops until the exit status, allowing the next tick after each dict; returns what came."""
    got = []
    while len(got) < limit:
        item = pop(t)
        got.append(item)
        if item == EXIT:
            return got
        if allow_after_each:
            t.allow_next_tick()
    raise AssertionError("no exit status")


def use(monkeypatch, feed: Feed | None = None):
    """Installs the stand-in combination, console, logger and thread recorder."""
    feed = feed or Feed()
    console, logger, threads = Lines(), Lines(), Threads()

    def combine(self, codes, start_from, end_to):
        return feed(self, codes, start_from, end_to)

    monkeypatch.setattr(ticker.Ticker, "_Ticker__process_and_combine_ticks", combine)
    monkeypatch.setattr(ticker, "console", console)
    monkeypatch.setattr(ticker, "logger", logger)
    monkeypatch.setattr(ticker, "Thread", threads.cls)
    return feed, console, logger, threads
