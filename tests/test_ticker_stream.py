"""Streaming runs: tick and status dicts, permits, stop, superseded runs, sender failures."""

import gc
import json
import threading
import weakref

import pytest

from orva_mero_backtest.modules.ticker import ticker
from ticker_feed import (
    CODES,
    EXIT,
    MARKETS,
    TIMEOUT,
    expected_ticks,
    consume,
    frame,
    nothing_arrives,
    pop,
    use,
    wait_until,
)

MAIN = ("2024-01-02", "2024-01-03")


def new_ticker():
    return ticker.Ticker(object())


@pytest.mark.parametrize("k", [1, 2, 7])
def test_run_of_k_ticks_uses_k_plus_one_permits(monkeypatch, k):
    feed, console, _, threads = use(monkeypatch)
    feed.frames[MAIN] = df = frame(k)
    t = new_ticker()
    t.send_ticks(CODES, *MAIN)
    assert t.current_send_ticks_params == {"codes": CODES, "start_from": MAIN[0], "end_to": MAIN[1]}
    got = consume(t)
    assert got == expected_ticks(df, MARKETS) + [EXIT]
    assert list(got[0]) == ["market_type", "timestamp", "code", "close", "qty", "tick_type", "is_simulate",
                            "is_backfilling"]
    threads.join_all()
    assert t.exit_send_thread_flag is True
    assert t.allow_next_tick_flag_queue.qsize() == 0
    assert console.lines[0] == f"[green]開始傳送 Tick 資料, Tick 數 {k}. ...[/green]"
    assert console.lines[-1].startswith(f"[green]傳送 Tick 資料結束, 需傳送資料共 {k} 筆, 已傳送 {k} 筆, 耗時 ")
    assert console.lines[-1].endswith(" 秒[/green]") and "." in console.lines[-1].split("耗時 ")[1]
    assert [th.daemon for th in threads.made] == [True]


def test_second_run_waits_for_a_permit_and_unused_permits_carry_over(monkeypatch):
    feed, _, _, threads = use(monkeypatch)
    feed.frames[MAIN] = frame(2)
    feed.frames[("2024-02-01", "2024-02-01")] = df2 = frame(4, start=50)
    t = new_ticker()
    t.send_ticks(CODES, *MAIN)
    consume(t)
    t.send_ticks(CODES, "2024-02-01", "2024-02-01")
    assert nothing_arrives(t)  # no permit left over from the first run
    for _ in range(3):
        t.allow_next_tick()
    got = [pop(t) for _ in range(3)]
    assert got == expected_ticks(df2, MARKETS)[:3]
    assert nothing_arrives(t)
    # Deposited before a run, permits are used by it.
    t.allow_next_tick()
    t.allow_next_tick()
    assert pop(t) == expected_ticks(df2, MARKETS)[3]
    assert pop(t) == EXIT
    threads.join_all()
    assert t.allow_next_tick_flag_queue.qsize() == 0


def test_empty_main_range(monkeypatch):
    feed, console, _, threads = use(monkeypatch)
    t = new_ticker()
    t.send_ticks(CODES, *MAIN)
    assert pop(t) == EXIT
    threads.join_all()
    assert console.lines == ["[green]開始傳送 Tick 資料, Tick 數 0. ...[/green]",
                             "[red]傳送 Tick 資料結束, 資料共 0 筆, 耗時 0 秒[/red]"]
    assert t.allow_next_tick_flag_queue.qsize() == 1
    assert t.exit_send_thread_flag is False


@pytest.mark.parametrize("rows_left", [True, False])
def test_stop_lets_at_most_one_more_dict_follow(monkeypatch, rows_left):
    feed, console, _, threads = use(monkeypatch)
    feed.frames[MAIN] = df = frame(3)
    t = new_ticker()
    t.send_ticks(CODES, *MAIN)
    popped = 1 if rows_left else 3
    for i in range(popped):
        assert pop(t) == expected_ticks(df, MARKETS)[i]
        if i < popped - 1:
            t.allow_next_tick()
    t.stop_send_ticks()
    assert t.exit_send_thread_flag is True
    assert t.tick_queue.qsize() == 1 and pop(t) == EXIT
    t.allow_next_tick()
    t.allow_next_tick()  # this one is never used
    after = pop(t)
    assert after == (expected_ticks(df, MARKETS)[1] if rows_left else EXIT)
    threads.join_all()
    assert t.tick_queue.qsize() == 0
    assert t.allow_next_tick_flag_queue.qsize() == 1
    sent = 2 if rows_left else 3
    assert console.lines[-1].startswith(f"[green]傳送 Tick 資料結束, 需傳送資料共 3 筆, 已傳送 {sent} 筆")


def test_stop_after_the_run_puts_one_more_exit_status(monkeypatch):
    feed, _, _, threads = use(monkeypatch)
    feed.frames[MAIN] = frame(1)
    t = new_ticker()
    t.send_ticks(CODES, *MAIN)
    consume(t)
    threads.join_all()
    t.stop_send_ticks()
    assert pop(t) == EXIT and t.tick_queue.qsize() == 0


def test_new_run_drops_old_dicts_and_old_threads_never_reach_it(monkeypatch):
    feed, _, _, threads = use(monkeypatch)
    feed.frames[MAIN] = frame(5, codes=("OLD",))
    feed.frames[("2024-03-01", "2024-03-01")] = df2 = frame(2, start=70)
    t = new_ticker()
    t.send_ticks([{"code": "OLD", "market": "Stock"}], *MAIN)
    wait_until(lambda: t.tick_queue.qsize() == 1)  # released by the constructor's permit
    old_sender = threads.made[0]
    t.send_ticks(CODES, "2024-03-01", "2024-03-01")
    old_sender.join(TIMEOUT)
    assert not old_sender.is_alive()
    assert nothing_arrives(t)
    t.allow_next_tick()
    assert consume(t) == expected_ticks(df2, MARKETS) + [EXIT]
    threads.join_all()
    assert t.allow_next_tick_flag_queue.qsize() == 0


def test_permits_put_straight_on_the_queue_release_ticks(monkeypatch):
    feed, _, _, threads = use(monkeypatch)
    feed.frames[MAIN] = df = frame(3)
    t = new_ticker()
    t.send_ticks(CODES, *MAIN)
    got = []
    while not got or got[-1] != EXIT:
        got.append(pop(t))
        t.allow_next_tick_flag_queue.put(True)
    assert got == expected_ticks(df, MARKETS) + [EXIT]
    threads.join_all()


def test_consumer_on_another_thread(monkeypatch):
    feed, _, _, threads = use(monkeypatch)
    feed.frames[MAIN] = df = frame(50)
    t = new_ticker()
    result = []
    consumer = threading.Thread(target=lambda: result.extend(consume(t)), daemon=True)
    consumer.start()
    t.send_ticks(CODES, *MAIN)
    consumer.join(TIMEOUT)
    assert result == expected_ticks(df, MARKETS) + [EXIT]
    threads.join_all()


def test_timestamp_comes_from_the_module_name_when_used(monkeypatch):
    feed, _, _, threads = use(monkeypatch)
    feed.frames[MAIN] = df = frame(2)
    monkeypatch.setattr(ticker, "format_nano_ts_to_second_ts", lambda ts, digits: ("conv", ts, digits))
    t = new_ticker()
    t.send_ticks(CODES, *MAIN)
    got = consume(t)
    assert [d["timestamp"] for d in got[:-1]] == [("conv", ts, 8) for ts in df["ts"]]
    threads.join_all()


@pytest.mark.parametrize("fault", ["unknown code", "timestamp"])
def test_failing_sender_ends_the_run_with_an_exit_status(monkeypatch, fault):
    feed, console, logger, threads = use(monkeypatch)
    feed.frames[MAIN] = frame(4, codes=("2330", "TXFR1", "9999"))
    if fault == "timestamp":
        def convert(ts, digits):
            if ts >= feed.frames[MAIN]["ts"][2]:
                raise ValueError("bad ts")
            return ts / 1e9
        monkeypatch.setattr(ticker, "format_nano_ts_to_second_ts", convert)
        codes = CODES + [{"code": "9999", "market": "Stock"}]
    else:
        codes = CODES
    t = new_ticker()
    t.send_ticks(codes, *MAIN)
    got = consume(t)
    assert len(got) == 3 and got[-1] == EXIT
    threads.join_all()
    error = "'9999'" if fault == "unknown code" else "bad ts"
    assert f"[red]傳送 Tick 資料失敗, 錯誤訊息: {error}[/red]" in console.lines
    record = json.loads(logger.lines[0])
    assert list(record) == ["error", "traceback", "data"] and record["error"] == error
    assert ("KeyError" if fault == "unknown code" else "ValueError") in record["traceback"]
    assert t.exit_send_thread_flag is True
    assert t.tick_queue.qsize() == 0


def test_threads_and_frames_of_ended_runs_do_not_linger(monkeypatch):
    feed, _, _, threads = use(monkeypatch)
    t = new_ticker()
    refs = []
    for i in range(3):
        key = (f"2024-04-0{i + 1}", f"2024-04-0{i + 1}")
        feed.frames[key] = df = frame(3 + i)
        refs.append(weakref.ref(df))
        del df
        t.send_ticks(CODES, *key)
        feed.frames.pop(key)
        t.allow_next_tick()
        if i < 2:  # superseded with a tick undelivered, or run to its end
            pop(t)
        else:
            consume(t)
    threads.join_all()
    gc.collect()
    assert [r() for r in refs] == [None, None, None]
    assert sorted(vars(t)) == sorted(["api", "allow_next_tick_flag_queue", "backfilling_notify_finish_queue",
                                      "backfilling_finish_flag", "exit_send_thread_flag", "tick_file_save_path",
                                      "tick_queue", "code_market_map", "tick_df_schema",
                                      "current_send_ticks_params"])


def test_send_ticks_argument_types_and_combination_errors(monkeypatch):
    feed, _, _, threads = use(monkeypatch)
    t = new_ticker()
    with pytest.raises(TypeError, match="codes"):
        t.send_ticks(tuple(CODES), *MAIN)
    with pytest.raises(TypeError, match="backfilling_end_to"):
        t.send_ticks(CODES, *MAIN, None, 5)
    assert feed.calls == []
    feed.errors[MAIN] = RuntimeError("no data")
    with pytest.raises(RuntimeError, match="no data"):
        t.send_ticks(CODES, *MAIN)
    assert threads.made == []
