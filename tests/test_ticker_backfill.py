"""Backfills: ordering against the main range, permits, finish notification, failures."""

import threading

import pytest

from orva_mero_backtest.modules.ticker import ticker
from ticker_feed import CODES, EXIT, FINISH, MARKETS, consume, expected_ticks, frame, nothing_arrives, pop, use, \
    wait_until

MAIN = ("2024-01-02", "2024-01-03")
BACK = ("2023-12-01", "2023-12-05")


@pytest.fixture
def hook(monkeypatch):
    """Errors that end threads, as the thread runtime reports them."""
    errors = []
    monkeypatch.setattr(threading, "excepthook", lambda args: errors.append(args.exc_value))
    return errors


@pytest.mark.parametrize("b,k", [(1, 1), (3, 4)])
def test_backfill_then_finish_then_main_ticks(monkeypatch, b, k):
    feed, console, _, threads = use(monkeypatch)
    feed.frames[BACK] = back = frame(b, start=500)
    feed.frames[MAIN] = main = frame(k)
    feed.gates[BACK] = go = threading.Event()  # the backfill is still running when the sender starts
    t = ticker.Ticker(object())
    t.send_ticks(CODES, *MAIN, *BACK)
    assert t.current_send_ticks_params["backfilling_start_from"] == BACK[0]
    assert list(t.current_send_ticks_params) == ["codes", "start_from", "end_to", "backfilling_start_from",
                                                 "backfilling_end_to"]
    go.set()
    got = consume(t)
    assert got == expected_ticks(back, MARKETS, True) + [FINISH] + expected_ticks(main, MARKETS) + [EXIT]
    threads.join_all()
    assert len(threads.made) == 2 and all(th.daemon for th in threads.made)
    # b + k + 1 permits used of the b + k + 2 deposited (the constructor's, one after each dict).
    assert t.allow_next_tick_flag_queue.qsize() == 1
    assert f"[green]開始回補 Tick 資料, Tick 數 {b}. ...[/green]" in console.lines


def test_backfill_that_ends_before_the_sender_starts(monkeypatch):
    feed, _, _, threads = use(monkeypatch)
    feed.frames[MAIN] = main = frame(2)
    t = ticker.Ticker(object())
    feed.hooks[MAIN] = lambda obj: wait_until(lambda: obj.backfilling_finish_flag, what="the backfill's end")
    t.send_ticks(CODES, *MAIN, *BACK)  # the backfill range has no ticks
    assert consume(t) == expected_ticks(main, MARKETS) + [EXIT]
    threads.join_all()
    assert t.backfilling_notify_finish_queue.qsize() == 1  # left for the next send_ticks to drop
    t.send_ticks(CODES, "2024-05-01", "2024-05-01")
    assert t.backfilling_notify_finish_queue.qsize() == 0


@pytest.mark.parametrize("bounds", [("2023-12-01", None), ("", "2023-12-01"), (None, "")])
def test_backfill_needs_both_bounds(monkeypatch, hook, bounds):
    feed, _, _, threads = use(monkeypatch)
    feed.frames[MAIN] = main = frame(2)
    t = ticker.Ticker(object())
    t.send_ticks(CODES, *MAIN, *bounds)
    got = consume(t)
    threads.join_all()
    if bounds == (None, ""):  # neither present: no backfill thread at all
        assert len(threads.made) == 1 and hook == []
        assert got == expected_ticks(main, MARKETS) + [EXIT]
    else:
        assert len(threads.made) == 2
        assert [str(e) for e in hook] == ["回補資料的開始時間與結束時間不能為空"]
        assert got in (expected_ticks(main, MARKETS) + [EXIT], [FINISH] + expected_ticks(main, MARKETS) + [EXIT])
    assert "backfilling_start_from" not in t.current_send_ticks_params
    # Directly: the finish is notified, then ValueError.
    t2 = ticker.Ticker(object())
    with pytest.raises(ValueError, match="回補資料的開始時間與結束時間不能為空"):
        t2.backfilling(CODES, *bounds)
    assert t2.backfilling_notify_finish_queue.get(timeout=1) == FINISH
    assert t2.backfilling_finish_flag is True


@pytest.mark.parametrize("where", ["halfway", "combining"])
def test_failing_backfill_says_why_and_the_main_range_follows(monkeypatch, hook, where):
    feed, console, _, threads = use(monkeypatch)
    feed.frames[MAIN] = main = frame(2)
    if where == "halfway":
        feed.frames[BACK] = back = frame(4, codes=("2330", "TXFR1", "NOPE"), start=501)
        error_text, before = "'NOPE'", expected_ticks(back, {**MARKETS, "NOPE": None}, True)[:2]
    else:
        feed.errors[BACK] = OSError("disk gone")
        error_text, before = "disk gone", []
    feed.gates[BACK] = go = threading.Event()
    t = ticker.Ticker(object())
    t.send_ticks(CODES, *MAIN, *BACK)
    go.set()
    got = consume(t)
    threads.join_all()
    # The ticks already put stay, the finish is announced, the main range streams after it.
    assert got == before + [FINISH] + expected_ticks(main, MARKETS) + [EXIT]
    assert f"[red]回補 Tick 資料失敗, 錯誤訊息: {error_text}[/red]" in console.lines
    assert len(hook) == 1 and type(hook[0]) is (KeyError if where == "halfway" else OSError)
    assert ticker.backfill_error(t) is hook[0] and ticker.stream_error(t) is None
    # The failed row's permit is not lost: one permit per dict consumed, plus the constructor's,
    # leaves exactly one over (as after a complete run).
    assert t.allow_next_tick_flag_queue.qsize() == 1
    t.send_ticks(CODES, *MAIN)
    assert pop(t) == expected_ticks(main, MARKETS)[0]
    assert ticker.backfill_error(t) is None


def test_stop_does_not_stop_a_backfill(monkeypatch):
    feed, _, _, threads = use(monkeypatch)
    feed.frames[BACK] = back = frame(3, start=500)
    t = ticker.Ticker(object())
    t.send_ticks(CODES, *MAIN, *BACK)  # empty main range
    ticks = expected_ticks(back, MARKETS, True)
    first = [pop(t), pop(t)]
    assert EXIT in first and ticks[0] in first
    t.stop_send_ticks()
    assert pop(t) == EXIT
    t.allow_next_tick()
    t.allow_next_tick()
    assert [pop(t), pop(t)] == ticks[1:]
    threads.join_all()
    assert nothing_arrives(t, 0.05)


def test_backfill_called_directly_streams_on_the_callers_thread(monkeypatch):
    feed, _, _, _ = use(monkeypatch)
    feed.frames[BACK] = back = frame(3, start=500)
    t = ticker.Ticker(object())
    result = []
    consumer = threading.Thread(target=lambda: result.extend(pop(t) for _ in range(3)) or None, daemon=True)
    allower = threading.Thread(target=lambda: [t.allow_next_tick() for _ in range(2)], daemon=True)
    consumer.start()
    allower.start()
    assert t.backfilling(CODES, *BACK) is None
    consumer.join(5)
    allower.join(5)
    assert result == expected_ticks(back, MARKETS, True)
    assert t.backfilling_notify_finish_queue.get(timeout=1) == FINISH
    assert t.current_send_ticks_params == {"backfilling_start_from": BACK[0], "backfilling_end_to": BACK[1]}


def test_superseded_backfill_neither_puts_nor_notifies(monkeypatch):
    feed, _, _, threads = use(monkeypatch)
    feed.frames[BACK] = frame(5, start=500)
    feed.frames[MAIN] = frame(1)
    t = ticker.Ticker(object())
    t.send_ticks(CODES, *MAIN, *BACK)
    assert pop(t)["is_backfilling"] is True  # the backfill now waits for its second permit
    old = list(threads.made)
    t.send_ticks(CODES, "2024-06-03", "2024-06-03")  # an empty run, no backfill
    for th in old:
        th.join(5)
        assert not th.is_alive()
    assert pop(t) == EXIT
    assert nothing_arrives(t)
    assert t.backfilling_notify_finish_queue.qsize() == 0
    assert t.allow_next_tick_flag_queue.qsize() == 0


@pytest.mark.parametrize("bounds", [(), BACK])
def test_feed_threads_are_those_of_the_latest_run(monkeypatch, bounds):
    feed, _, _, threads = use(monkeypatch)
    feed.frames[BACK] = frame(2, start=500)
    feed.frames[MAIN] = frame(2)
    t = ticker.Ticker(object())
    assert ticker.feed_threads(t) == []
    t.send_ticks(CODES, *MAIN, *bounds)
    first = ticker.feed_threads(t)
    assert len(first) == 1 + bool(bounds) and all(th.daemon for th in first)
    assert sorted(map(id, first)) == sorted(map(id, threads.made))
    assert ticker.feed_threads(t) is not first  # a new list each time
    consume(t)
    threads.join_all()
    t.send_ticks(CODES, *MAIN)  # a new run: its sender only
    assert [id(th) for th in ticker.feed_threads(t)] == [id(threads.made[-1])] != [id(th) for th in first]
    t.allow_next_tick()
    consume(t)
    threads.join_all()
