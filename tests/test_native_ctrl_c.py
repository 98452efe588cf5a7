"""Ctrl-C at random moments of a stream: the consumer gets KeyboardInterrupt promptly (polars, imported by the
ticker, installs a SIGINT handler under which plain blocking waits never return), threads print nothing."""

import os
import random
import signal
import subprocess
import sys
import textwrap
import time

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))

PRELUDE = textwrap.dedent("""
    import sys, time
    sys.path.insert(0, {here!r})
    from ticker_feed import CODES, Feed, Lines, frame
    from orva_mero_backtest.constant import BASIC_INFO
    from orva_mero_backtest.modules.ticker import ticker
    from orva_mero_backtest.modules.matcher import matcher
    BASIC_INFO.data_dir = sys.argv[1]
    ticker.console = ticker.logger = Lines()
    MAIN, BACK = ("2024-01-02", "2024-01-03"), ("2023-12-01", "2023-12-05")
    feed = Feed()
    feed.frames[MAIN] = frame(2000)
    feed.frames[BACK] = frame(50, start=5000)
    ticker.Ticker._Ticker__process_and_combine_ticks = lambda self, *a: feed(self, *a)
    t = ticker.Ticker(object())
""")

LOOPS = {
    # The consumer streams run after run (pop_tick, allow_next_tick).
    "stream": """
        def body():
            while True:
                t.send_ticks(CODES, *MAIN, *BACK)
                while t.pop_tick() != {"orva_status": "exit_send_tick"}:
                    t.allow_next_tick()
    """,
    # A Python timestamp helper that takes a while: the signal lands while allow_next_tick builds a tick.
    "slow helper": """
        def slow(ts, digits):
            time.sleep(0.002)
            return ts / 1e9
        ticker.format_nano_ts_to_second_ts = slow
        def body():
            while True:
                t.send_ticks(CODES, *MAIN, *BACK)
                while t.pop_tick() != {"orva_status": "exit_send_tick"}:
                    t.allow_next_tick()
    """,
    # pop_tick waits for a tick that needs a permit nobody gives.
    "pop_tick waiting": """
        def body():
            t.send_ticks(CODES, *MAIN)
            t.pop_tick()
            t.pop_tick()
    """,
    # pop_response on an empty response queue.
    "pop_response waiting": """
        class Positions:
            def __getattr__(self, name):
                return lambda *a, **k: None
        m = matcher.Matcher(Positions())
        def body():
            m.pop_response()
    """,
}

MAIN_SCRIPT = textwrap.dedent("""
    print("ready", flush=True)
    try:
        body()
    except KeyboardInterrupt:
        print("interrupted", flush=True)
        sys.exit(130)
""")


@pytest.mark.parametrize("loop", list(LOOPS))
def test_sigint_at_random_moments_raises_keyboard_interrupt(tmp_path, loop):
    script = PRELUDE.format(here=HERE) + textwrap.dedent(LOOPS[loop]) + MAIN_SCRIPT
    rng = random.Random(loop)
    for attempt in range(2):
        child = subprocess.Popen([sys.executable, "-c", script, str(tmp_path)], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True)
        try:
            assert child.stdout.readline() == "ready\n"
            time.sleep(rng.uniform(0.05, 0.4))
            child.send_signal(signal.SIGINT)
            out, err = child.communicate(timeout=5)
        except subprocess.TimeoutExpired:
            # An interrupt that lands in a weakref callback or __del__ is reported by CPython as
            # "Exception ignored" and lost; a second Ctrl-C must then end the run.
            child.send_signal(signal.SIGINT)
            try:
                out, err = child.communicate(timeout=5)
            except subprocess.TimeoutExpired:
                child.kill()
                child.communicate()
                pytest.fail(f"{loop}: still running 5 s after a second SIGINT")
            assert "Exception ignored" in err and "KeyboardInterrupt" in err, (loop, err)
            assert (child.returncode, out) == (130, "interrupted\n"), (loop, attempt, err)
            continue
        assert (child.returncode, out, err) == (130, "interrupted\n", ""), (loop, attempt)
