"""Concurrent use of the permit protocol, many runs back to back, and interpreter exit mid-run."""

import gc
import os
import random
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from orva_mero_backtest.modules.ticker import ticker
from ticker_feed import CODES, EXIT, FINISH, MARKETS, TIMEOUT, consume, expected_ticks, frame, pop, use, wait_until

MAIN = ("2024-01-02", "2024-01-03")
BACK = ("2023-12-01", "2023-12-05")
HERE = os.path.dirname(os.path.abspath(__file__))


def run_threads(*targets):
    threads = [threading.Thread(target=f, daemon=True) for f in targets]
    for th in threads:
        th.start()
    return threads


def joined(threads):
    for th in threads:
        th.join(TIMEOUT)
    return not any(th.is_alive() for th in threads)


@pytest.mark.parametrize("direct", [False, True], ids=["allow_next_tick", "queue.put"])
def test_permits_from_two_threads_at_once(monkeypatch, direct):
    feed, _, _, threads = use(monkeypatch)
    n = 3000
    feed.frames[MAIN] = df = frame(n)
    t = ticker.Ticker(object())
    t.send_ticks(CODES, *MAIN)
    first = lambda: [t.allow_next_tick() for _ in range(n // 2)]  # noqa: E731
    second = (lambda: [t.allow_next_tick_flag_queue.put(True) for _ in range(n // 2)]) if direct else first
    depositors = run_threads(first, second)
    got = [pop(t) for _ in range(n + 1)]
    assert joined(depositors)
    assert got == expected_ticks(df, MARKETS) + [EXIT]
    threads.join_all()
    assert t.allow_next_tick_flag_queue.qsize() == 0 and t.tick_queue.qsize() == 0


def test_stop_racing_inline_releases(monkeypatch):
    feed, _, _, threads = use(monkeypatch)
    rng = random.Random(5)
    t = ticker.Ticker(object())
    for run in range(25):
        key = (f"2024-07-{run + 1:02d}", f"2024-07-{run + 1:02d}")
        feed.frames[key] = df = frame(rng.randrange(1, 40))
        expected = expected_ticks(df, MARKETS)
        while t.allow_next_tick_flag_queue.qsize():
            t.allow_next_tick_flag_queue.get_nowait()
        t.send_ticks(CODES, *key)
        got, stop_at = [], rng.random() * 0.002

        def consumer():
            t.allow_next_tick()
            while not got or got[-1] != EXIT:
                got.append(pop(t))
                if got[-1] != EXIT:
                    t.allow_next_tick()

        def stopper():
            time.sleep(stop_at)
            t.stop_send_ticks()

        assert joined(run_threads(consumer, stopper))
        t.allow_next_tick()  # whatever the sender still waits for
        threads.join_all()
        rest = []
        while t.tick_queue.qsize():
            rest.append(t.tick_queue.get_nowait())
        seq = got + rest
        first = seq.index(EXIT)
        assert len(seq) - first - 1 <= 1  # after the first exit status, at most one more dict
        ticks = [d for d in seq if d != EXIT]
        assert ticks == expected[: len(ticks)]
        assert 1 <= seq.count(EXIT) <= 2
        assert all(d != EXIT for d in seq[:first])


def test_new_run_while_a_consumer_keeps_allowing(monkeypatch):
    feed, _, _, threads = use(monkeypatch)
    feed.frames[BACK] = frame(5000, codes=("OLD",), start=1000)
    feed.frames[MAIN] = frame(5000, codes=("OLD",))
    feed.frames[("2024-08-01", "2024-08-01")] = new = frame(30, codes=("NEW",))
    markets = {"OLD": "Stock", "NEW": "Future"}
    t = ticker.Ticker(object())
    t.send_ticks([{"code": "OLD", "market": "Stock"}], *MAIN, *BACK)
    seen, stop = [], threading.Event()

    def consumer():
        while not stop.is_set():
            t.allow_next_tick()
            try:
                seen.append(t.tick_queue.get(timeout=0.01))
            except Exception:
                pass

    (c,) = run_threads(consumer)
    wait_until(lambda: len(seen) > 20)
    old = list(threads.made)
    t.send_ticks([{"code": "NEW", "market": "Future"}], "2024-08-01", "2024-08-01")
    wait_until(lambda: EXIT in seen)
    stop.set()
    assert joined([c] + old)
    codes = [d.get("code") for d in seen]
    first_new = codes.index("NEW")
    assert "OLD" not in codes[first_new:]
    assert [d for d in seen[first_new:]] == expected_ticks(new, markets) + [EXIT]
    threads.join_all()


def protocol(k, stop_after):
    """What one run shows a consumer that starts with one permit, allows one after each tick
    dict, and stops the run right after its stop_after-th dict (None: never)."""
    ticks = list(range(k))
    if k == 0:
        return ["EXIT"], 1
    if stop_after is None or stop_after > k:
        return ticks + ["EXIT"], 0
    # The stop's exit status goes first; the permit deposited after it releases one more dict.
    return ticks[:stop_after] + ["EXIT", stop_after if stop_after < k else "EXIT"], 0


def test_many_short_runs_follow_the_protocol(monkeypatch):
    feed, _, _, threads = use(monkeypatch)
    rng = random.Random(11)
    t = ticker.Ticker(object())
    baseline = threading.active_count()
    objects = None
    for run in range(150):
        key = (f"2025-{run // 28 + 1:02d}-{run % 28 + 1:02d}",) * 2
        k = rng.randrange(0, 12)
        stop_after = rng.choice([None, rng.randrange(1, k + 1)]) if k else None
        feed.frames[key] = df = frame(k, start=run)
        while t.allow_next_tick_flag_queue.qsize():
            t.allow_next_tick_flag_queue.get_nowait()
        t.allow_next_tick()
        t.send_ticks(CODES, *key)
        feed.frames.pop(key)
        want, permits_left = protocol(k, stop_after)
        got = []
        while len(got) < len(want):
            item = pop(t)
            got.append(item)
            if item == EXIT:
                continue
            if len([g for g in got if g != EXIT]) == stop_after:
                t.stop_send_ticks()
            t.allow_next_tick()
        ticks = expected_ticks(df, MARKETS)
        assert got == [EXIT if w == "EXIT" else ticks[w] for w in want], (k, stop_after)
        threads.join_all()
        threads.made.clear()
        assert t.tick_queue.qsize() == 0
        assert threading.active_count() == baseline
        extra = 1 if stop_after is not None and stop_after < k else 0  # the allow after the stop's extra dict
        assert t.allow_next_tick_flag_queue.qsize() == permits_left + extra
        del df
        if run == 30:
            gc.collect()
            objects = len(gc.get_objects())
    gc.collect()
    assert len(gc.get_objects()) - objects < 1000


@pytest.mark.parametrize("b,k", [(5, 5), (0, 3)])
def test_many_runs_with_a_backfill(monkeypatch, b, k):
    feed, _, _, threads = use(monkeypatch)
    t = ticker.Ticker(object())
    baseline = threading.active_count()
    for run in range(20):
        main, back = (f"2024-09-{run + 1:02d}",) * 2, (f"2023-09-{run + 1:02d}",) * 2
        feed.frames[main], feed.frames[back] = frame(k, start=run), frame(b, start=100 + run)
        while t.allow_next_tick_flag_queue.qsize():
            t.allow_next_tick_flag_queue.get_nowait()
        t.allow_next_tick()
        t.send_ticks(CODES, *main, *back)
        got = consume(t)
        want = expected_ticks(feed.frames[back], MARKETS, True) + [FINISH] + expected_ticks(feed.frames[main],
                                                                                             MARKETS) + [EXIT]
        assert got == want or (b == 0 and got == [d for d in want if d != FINISH])
        threads.join_all()
        threads.made.clear()
        assert threading.active_count() == baseline


EXIT_SCRIPTS = {
    "sender waits for a permit": """
        t.send_ticks(CODES, *MAIN)
        t.pop_tick()
    """,
    "backfill and sender wait": """
        feed.frames[BACK] = frame(5)
        t.send_ticks(CODES, *MAIN, *BACK)
        t.pop_tick()
    """,
    "consumer blocked in pop_tick": """
        t.send_ticks(CODES, *MAIN)
        t.pop_tick()
        threading.Thread(target=t.pop_tick, daemon=True).start()
        time.sleep(0.05)
    """,
    "consumer busy streaming": """
        feed.frames[MAIN] = frame(200000)
        t.send_ticks(CODES, *MAIN)
        def spin():
            while True:
                t.pop_tick(); t.allow_next_tick()
        threading.Thread(target=spin, daemon=True).start()
        threading.Thread(target=spin, daemon=True).start()
        time.sleep(0.1)
    """,
}


@pytest.mark.parametrize("scenario", list(EXIT_SCRIPTS))
def test_process_exits_cleanly_while_threads_wait(scenario):
    script = textwrap.dedent("""
        import sys, threading, time
        sys.path.insert(0, {here!r})
        from ticker_feed import *
        MAIN, BACK = ("2024-01-02", "2024-01-03"), ("2023-12-01", "2023-12-05")
        feed = Feed()
        ticker.Ticker._Ticker__process_and_combine_ticks = lambda self, *a: feed(self, *a)
        ticker.console = Lines()
        feed.frames[MAIN] = frame(10)
        t = ticker.Ticker(object())
    """).format(here=HERE) + textwrap.dedent(EXIT_SCRIPTS[scenario])
    for _ in range(3):
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
        assert (done.returncode, done.stderr) == (0, "")
