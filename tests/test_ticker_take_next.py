"""ticker.take_next_tick (the driver's way to the next tick) against allow_next_tick + pop_tick, and the
driver's choice between them."""

import pytest

from orva_mero_backtest import driver
from orva_mero_backtest.modules.ticker import ticker
from test_driver_loop import Busy, outcome, run, STOCK, FUTURE
from ticker_feed import CODES, EXIT, consume, frame, pop, use

MAIN = ("2024-01-02", "2024-01-03")
BACK = ("2023-12-01", "2023-12-05")


def consume_taking(t):
    """consume() with take_next_tick in place of allow_next_tick; the queue only when it answers None."""
    got = [pop(t)]
    while got[-1] != EXIT:
        item = ticker.take_next_tick(t)
        got.append(item if item is not None else pop(t))
    return got


def counters(t):
    return t.tick_queue.qsize(), t.tick_queue.unfinished_tasks, t.allow_next_tick_flag_queue.qsize()


@pytest.mark.parametrize("backfill", [False, True], ids=["main", "backfill+main"])
def test_take_next_tick_gives_what_allow_and_pop_give(monkeypatch, backfill):
    def once(take):
        feed, _, _, threads = use(monkeypatch)
        feed.frames[MAIN] = frame(40)
        if backfill:
            feed.frames[BACK] = frame(15, start=1000)
        t = ticker.Ticker(object())
        t.send_ticks(CODES, *MAIN, *(BACK if backfill else (None, None)))
        got = consume_taking(t) if take else consume(t)
        threads.join_all()
        return got, counters(t)

    taken, plain = once(True), once(False)
    assert taken == plain
    assert len(taken[0]) > 40


def test_take_next_tick_without_a_run_deposits_a_permit():
    t = ticker.Ticker(object())
    before = t.allow_next_tick_flag_queue.qsize()
    assert ticker.take_next_tick(t) is None
    assert t.allow_next_tick_flag_queue.qsize() == before + 1


@pytest.mark.parametrize("replaced", ["allow_next_tick", "pop_tick", None])
def test_driver_calls_a_replaced_feed_method_and_gets_the_same_run(monkeypatch, replaced):
    calls = []
    original = ticker.Ticker.__init__

    def init(self, api):
        original(self, api)
        if replaced:
            method = getattr(self, replaced)
            setattr(self, replaced, lambda: (calls.append(1), method())[1])

    def once(patch, take):
        with monkeypatch.context() as m:
            m.setattr(driver, "_NATIVE_TAKE", take)
            if patch:
                m.setattr(ticker.Ticker, "__init__", init)
            strategy, progress = Busy(), []
            result = run(strategy, (STOCK, FUTURE), on_progress=progress.append, progress_every=997)
        return outcome(result, strategy, progress)

    plain = once(False, False)
    assert once(True, True) == plain
    assert bool(calls) == (replaced is not None)
