"""Hostile calls into the native modules, each batch in a child process: odd types, queue subclasses and
non-queues in queue attributes, replaced module names, broker and cache faults. A child that dies by a
signal or hangs fails the test; Python exceptions are the expected answer to nonsense."""

import os
import subprocess
import sys
import textwrap

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))

PRELUDE = textwrap.dedent("""
    import collections, os, queue, sys, threading, time
    sys.path.insert(0, {here!r})
    import polars as pl
    from ticker_feed import CODES, Feed, Lines, frame
    from orva_mero_backtest.constant import BASIC_INFO
    from orva_mero_backtest.modules.ticker import ticker
    from orva_mero_backtest.modules.matcher import matcher
    BASIC_INFO.data_dir = sys.argv[1]
    ticker.console = ticker.logger = Lines()
    matcher.console = matcher.logger = Lines()
    ticker.RETRY_PAUSE_SECONDS = 0
    MAIN = ("2024-01-02", "2024-01-03")
    BACK = ("2023-12-01", "2023-12-05")

    class SubQueue(queue.Queue):
        pass

    class SlowGetQueue(queue.Queue):
        def get(self, block=True, timeout=None):
            return super().get(block, timeout)

    def odd_queues():
        # Factories: each case gets a fresh object.
        return {{
            "subclass": SubQueue, "lifo": queue.LifoQueue, "bounded": lambda: queue.Queue(maxsize=100),
            "simple": queue.SimpleQueue, "overridden get": SlowGetQueue, "none": lambda: None,
            "deque": collections.deque, "object": object, "int": lambda: 42, "text": lambda: "queue",
        }}

    def queue_like(q):
        return hasattr(q, "get") and hasattr(q, "put")

    def drain(q, limit=40, wait=0.5):
        # What reached a queue-like object, without ever blocking for good.
        got = []
        while queue_like(q) and len(got) < limit:
            try:
                got.append(q.get(timeout=wait))
            except queue.Empty:
                break
            if isinstance(got[-1], dict) and got[-1].get("orva_status") == "exit_send_tick":
                break
        return got

    REAL_COMBINE = ticker.Ticker.__dict__["_Ticker__process_and_combine_ticks"]

    def real_ticker(api):
        ticker.Ticker._Ticker__process_and_combine_ticks = REAL_COMBINE
        return ticker.Ticker(api)

    def fed_ticker(n=3, back=0):
        feed = Feed()
        feed.frames[MAIN] = frame(n)
        if back:
            feed.frames[BACK] = frame(back, start=500)
        ticker.Ticker._Ticker__process_and_combine_ticks = lambda self, *a: feed(self, *a)
        return ticker.Ticker(object())

    CASES = []
    def case(name):
        def add(fn):
            CASES.append((name, fn))
            return fn
        return add

    def run_all():
        for name, fn in CASES:
            print("case:", name, flush=True)
            try:
                fn()
            except Exception as exc:
                print("   ->", type(exc).__name__, str(exc)[:100], flush=True)
        print("ALL DONE", flush=True)
""")

TICKER_QUEUES = textwrap.dedent("""
    for label, make in odd_queues().items():
        @case(f"tick_queue {label}: send_ticks, stream, stop")
        def _(make=make):
            t = fed_ticker(3)
            t.tick_queue = make()
            if queue_like(t.tick_queue):
                t.tick_queue.put({"stale": 1}) if not isinstance(t.tick_queue, collections.deque) else None
            t.send_ticks(CODES, *MAIN)
            for _ in range(5):
                t.allow_next_tick()
            drain(t.tick_queue)
            t.stop_send_ticks()
            if queue_like(t.tick_queue) and t.tick_queue.qsize() > 0:
                t.pop_tick()

        @case(f"permit queue {label}: allow_next_tick during a run")
        def _(make=make):
            t = fed_ticker(3)
            t.send_ticks(CODES, *MAIN)
            t.allow_next_tick_flag_queue = make()
            for _ in range(4):
                t.allow_next_tick()
            drain(t.tick_queue, wait=0.3)
            t.stop_send_ticks()

        @case(f"finish queue {label}: a run with a backfill")
        def _(make=make):
            t = fed_ticker(2, back=2)
            t.backfilling_notify_finish_queue = make()
            t.send_ticks(CODES, *MAIN, *BACK)
            for _ in range(5):
                t.allow_next_tick()
            drain(t.tick_queue, wait=0.3)
            t.stop_send_ticks()

    @case("queue.Queue.get_nowait wrapped at class level after start-up")
    def _():
        t = fed_ticker(3)
        t.send_ticks(CODES, *MAIN)
        original = queue.Queue.get_nowait
        queue.Queue.get_nowait = lambda self: original(self)
        try:
            for _ in range(5):
                t.allow_next_tick()
            t.send_ticks(CODES, *MAIN)
            for _ in range(5):
                t.allow_next_tick()
            drain(t.tick_queue)
        finally:
            queue.Queue.get_nowait = original

    run_all()
""")

TICKER_NAMES = textwrap.dedent("""
    from fake_broker import FakeBroker

    for name, value in [("queue", None), ("FLAG", None), ("FLAG", object()), ("format_nano_ts_to_second_ts", None),
                        ("Thread", None), ("pl", None), ("console", None), ("time", None), ("json", None),
                        ("traceback", None), ("logger", None), ("BASIC_INFO", None), ("os", None)]:
        @case(f"module name {name} = {value!r}")
        def _(name=name, value=value):
            saved = getattr(ticker, name)
            setattr(ticker, name, value)
            try:
                t = fed_ticker(3, back=1)
                t.send_ticks(CODES, *MAIN, *BACK)
                for _ in range(5):
                    t.allow_next_tick()
                drain(t.tick_queue, wait=0.3)
                t.stop_send_ticks()
            finally:
                setattr(ticker, name, saved)

    for label, args in [("codes of str", (["2330"], *MAIN)), ("codes of int", ([1], *MAIN)),
                        ("code not str", ([{"code": 1, "market": "Stock"}], *MAIN)),
                        ("bad dates", (CODES, "x", "y")), ("reversed dates", (CODES, MAIN[1], MAIN[0])),
                        ("str subclass", ([{"code": type("S", (str,), {})("2330"), "market": "Stock"}], *MAIN))]:
        @case(f"real combination, {label}")
        def _(args=args):
            t = real_ticker(FakeBroker(default_rows=2))
            t.send_ticks(*args)
            for _ in range(5):
                t.allow_next_tick()
            drain(t.tick_queue, wait=0.3)

    for label, answer in [("None", None), ("list", [1, 2]), ("wrong columns", {"foo": [1]}),
                          ("empty wrong columns", {"foo": []}), ("strings in ts", {"ts": ["x"], "close": [1.0]}),
                          ("ragged", {"ts": [1, 2], "close": [1.0]})]:
        @case(f"broker answers {label}")
        def _(answer=answer):
            broker = FakeBroker()
            broker.set_answer("2330", "2024-01-02", answer)
            t = real_ticker(broker)
            t.send_ticks([CODES[0]], MAIN[0], MAIN[0])
            for _ in range(3):
                t.allow_next_tick()
            drain(t.tick_queue, wait=0.3)

    @case("broker without Contracts, broker raising KeyboardInterrupt-free errors")
    def _():
        t = ticker.Ticker(object())
        t.send_ticks(CODES, *MAIN)
        drain(t.tick_queue, wait=0.3)

    def cache_path(day):
        return os.path.join(BASIC_INFO.data_dir, "mero", "ticks", f"2330 {day} - ticks.csv")

    for label, make in [("directory", os.makedirs), ("fifo", os.mkfifo),
                        ("cut short", lambda p: open(p, "w").write("ts,close\\n1,2")),
                        ("garbage", lambda p: open(p, "wb").write(b"\\xff\\x00\\n\\x01")),
                        ("empty", lambda p: open(p, "w").close())]:
        @case(f"cache file {label}")
        def _(make=make):
            os.makedirs(os.path.dirname(cache_path("2024-01-02")), exist_ok=True)
            path = cache_path("2024-01-02")
            if os.path.isdir(path):
                os.rmdir(path)
            elif os.path.exists(path):
                os.remove(path)
            make(path)
            t = real_ticker(FakeBroker(default_rows=2))
            print("   ->", t.get_ticks_df("2330", "Stock", "2024-01-02", "2024-01-02").height, "rows", flush=True)

    run_all()
""")

MATCHER_QUEUES = textwrap.dedent("""
    class Positions:
        def __getattr__(self, name):
            return lambda *a, **k: None

    for label, make in odd_queues().items():
        @case(f"response_queue {label}")
        def _(make=make):
            m = matcher.Matcher(Positions())
            m.response_queue = make()
            m.add_response_to_queue({"x": 1})
            if queue_like(m.response_queue) and m.response_queue.qsize() > 0:
                m.pop_response()
            m.add_response_to_queue({"x": 2})
            drain(m.response_queue, wait=0.1)

        @case(f"pending_order_queue {label}")
        def _(make=make):
            m = matcher.Matcher(Positions())
            m.pending_order_queue = make()
            m.add_pending_order_queue("Cancel", {"trade_id": "x"})
            time.sleep(0.05)

    run_all()
""")


@pytest.mark.parametrize("body", [TICKER_QUEUES, TICKER_NAMES, MATCHER_QUEUES],
                         ids=["ticker queues", "ticker names, broker and cache", "matcher queues"])
def test_hostile_calls_end_in_python_exceptions(tmp_path, body):
    script = PRELUDE.format(here=HERE) + body
    try:
        done = subprocess.run([sys.executable, "-c", script, str(tmp_path)], capture_output=True, text=True,
                              timeout=90)
    except subprocess.TimeoutExpired as exc:
        out = exc.stdout.decode() if isinstance(exc.stdout, bytes) else (exc.stdout or "")
        pytest.fail("hung; last cases:\n" + "\n".join(out.splitlines()[-5:]))
    last = "\n".join(done.stdout.splitlines()[-5:])
    assert done.returncode == 0, f"exit {done.returncode}; last cases:\n{last}\n{done.stderr[-2000:]}"
    assert "ALL DONE" in done.stdout
    # No thread died of a signal-like fatal error; Python-level thread errors are allowed.
    assert "Fatal Python error" not in done.stderr
