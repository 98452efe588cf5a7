"""The feed keeps what its tick and permit queues held when it last looked (and the tick queue's count
alongside); changes Python makes to them between ticks must be seen by the next tick."""

import collections
import threading

import pytest

from orva_mero_backtest import utils
from orva_mero_backtest.modules.ticker import ticker
from test_ticker_per_tick import CODES, MAIN, MARKET, SWITCH, plain_ticks, run
from ticker_feed import EXIT, frame, nothing_arrives, pop, use

EDGE = 2**63 - 3  # the count passes the largest 64-bit int during the run

CHANGES = {
    # name: (what happens after tick SWITCH, the tick queue's count right after it)
    "count set": (lambda t: setattr(t.tick_queue, "unfinished_tasks", 1000), 1000),
    "count set near the 64-bit limit": (lambda t: setattr(t.tick_queue, "unfinished_tasks", EDGE), EDGE),
    "count set past 64 bits": (lambda t: setattr(t.tick_queue, "unfinished_tasks", 10**30), 10**30),
    "count set to itself": (lambda t: setattr(t.tick_queue, "unfinished_tasks", t.tick_queue.unfinished_tasks), None),
    "not_empty's waiters replaced": (lambda t: setattr(t.tick_queue.not_empty, "_waiters", collections.deque()), None),
    "not_empty replaced": (lambda t: setattr(t.tick_queue, "not_empty", threading.Condition(t.tick_queue.mutex)), None),
    "permit queue's deque replaced": (
        lambda t: setattr(t.allow_next_tick_flag_queue, "queue", collections.deque()), None),
    "permit queue's count set": (lambda t: setattr(t.allow_next_tick_flag_queue, "unfinished_tasks", 5), None),
    # counts that stop being a cached small int, or outgrow one 30-bit digit, while the run goes on
    "count set below the cached small ints": (lambda t: setattr(t.tick_queue, "unfinished_tasks", 250), 250),
    "count set below 2**30": (lambda t: setattr(t.tick_queue, "unfinished_tasks", 2**30 - 6), 2**30 - 6),
    # the attributes' places in the queue's key table move, grow or go
    "count taken out and set again": (lambda t: (delattr(t.tick_queue, "unfinished_tasks"),
                                                 setattr(t.tick_queue, "unfinished_tasks", 7)), 7),
    "an attribute added and taken out again": (lambda t: (setattr(t.tick_queue, "extra", 1),
                                                          delattr(t.tick_queue, "extra")), None),
    "the queue's __dict__ replaced by a dict of its own": (
        lambda t: setattr(t.tick_queue, "__dict__", dict(vars(t.tick_queue))), None),
    "the permit queue's __dict__ replaced by a dict of its own": (
        lambda t: setattr(t.allow_next_tick_flag_queue, "__dict__", dict(vars(t.allow_next_tick_flag_queue))), None),
}


@pytest.mark.parametrize("case", list(CHANGES))
def test_a_queue_changed_between_ticks_is_seen_by_the_next(monkeypatch, case):
    change, count = CHANGES[case]
    df = frame(24)
    feed, _, _, threads = use(monkeypatch)
    feed.frames[MAIN] = df
    t = ticker.Ticker(object())
    t.send_ticks(CODES, *MAIN)
    got, before = [pop(t)], None
    while got[-1] != EXIT:
        if len(got) == SWITCH + 1 and before is None:
            change(t)
            before = t.tick_queue.unfinished_tasks
            assert count is None or before == count
        item = ticker.take_next_tick(t)
        got.append(item if item is not None else pop(t))
    threads.join_all()
    ticks = [g for g in got if "orva_status" not in g]
    assert ticks == plain_ticks(df, lambda i, c: MARKET[c], lambda i, ts: utils.format_nano_ts_to_second_ts(ts, 8))
    # every dict taken after the change counted once, from the count the change left
    assert t.tick_queue.unfinished_tasks == before + len(got) - (SWITCH + 1)
    assert type(t.tick_queue.unfinished_tasks) is int
    assert t.tick_queue.qsize() == 0


def test_two_tickers_keep_their_own_counts(monkeypatch):
    """Each Ticker's queues are remembered apart: taking from one never counts on the other."""
    feed, _, _, threads = use(monkeypatch)
    feed.frames[MAIN] = frame(10)
    a, b = ticker.Ticker(object()), ticker.Ticker(object())
    a.send_ticks(CODES, *MAIN)
    b.send_ticks(CODES, *MAIN)
    got = {id(a): [pop(a)], id(b): [pop(b)]}
    while got[id(a)][-1] != EXIT or got[id(b)][-1] != EXIT:
        for t in (a, b):
            if got[id(t)][-1] != EXIT:
                item = ticker.take_next_tick(t)
                got[id(t)].append(item if item is not None else pop(t))
    threads.join_all()
    assert got[id(a)] == got[id(b)]
    assert a.tick_queue.unfinished_tasks == b.tick_queue.unfinished_tasks == len(got[id(a)])


def test_counts_held_by_python_keep_their_values(monkeypatch):
    """The count is an int like any other: one Python holds never changes, while the counts nobody
    holds may be reused for the next."""
    feed, _, _, threads = use(monkeypatch)
    feed.frames[MAIN] = frame(30)
    t = ticker.Ticker(object())
    t.send_ticks(CODES, *MAIN)
    got = [pop(t)]
    t.tick_queue.unfinished_tasks = 1000  # above the cached small ints
    held = []
    while got[-1] != EXIT:
        if len(got) % 3 == 0:
            count = t.tick_queue.unfinished_tasks
            held.append((count, int(str(count))))
        item = ticker.take_next_tick(t)
        got.append(item if item is not None else pop(t))
    threads.join_all()
    assert len(held) >= 8
    assert [count for count, _ in held] == [value for _, value in held]
    assert [value for _, value in held] == list(range(held[0][1], held[0][1] + 3 * len(held), 3))
    assert t.tick_queue.unfinished_tasks == 1000 + len(got) - 1


FLAGS = {
    # name: (attribute, value set after tick SWITCH): none of these stops the run
    "exit flag 0": ("exit_send_thread_flag", 0),
    "exit flag None": ("exit_send_thread_flag", None),
    "exit flag an empty str": ("exit_send_thread_flag", ""),
    "backfill flag 1": ("backfilling_finish_flag", 1),
    "backfill flag a str": ("backfilling_finish_flag", "done"),
}


@pytest.mark.parametrize("case", list(FLAGS))
def test_a_flag_holding_a_non_bool_is_read_for_its_truth(monkeypatch, case):
    name, value = FLAGS[case]

    def on_tick(i, t):
        if i == SWITCH:
            setattr(t, name, value)

    df = frame(20)
    assert run(monkeypatch, df, on_tick) == plain_ticks(
        df, lambda i, c: MARKET[c], lambda i, ts: utils.format_nano_ts_to_second_ts(ts, 8))


@pytest.mark.parametrize("value", [True, 1, "stop"], ids=["True", "1", "a str"])
def test_a_truthy_exit_flag_stops_the_release_of_ticks(monkeypatch, value):
    feed, _, _, threads = use(monkeypatch)
    feed.frames[MAIN] = frame(20)
    t = ticker.Ticker(object())
    t.send_ticks(CODES, *MAIN)
    got = [pop(t)]
    for _ in range(SWITCH):
        got.append(ticker.take_next_tick(t) or pop(t))
    t.exit_send_thread_flag = value
    # the sender parked after its look at the flags: it releases one more tick, then its pass sees it
    assert "orva_status" not in (ticker.take_next_tick(t) or pop(t))
    assert ticker.take_next_tick(t) is None
    assert nothing_arrives(t)
    t.stop_send_ticks()
    assert pop(t) == EXIT
    threads.join_all()
    assert all("orva_status" not in g for g in got[1:])
