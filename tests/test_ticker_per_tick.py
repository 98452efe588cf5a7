"""The per-tick shortcuts of the feed (one str and dict shape per code, the market and the timestamp
helper remembered between rows, the Ticker's attributes read once while unchanged) against what the
plain reading gives, including when the things they remember change in the middle of a run."""

import collections
import gc
import queue
import types

import polars as pl
import pytest

from orva_mero_backtest import utils
from orva_mero_backtest.modules.ticker import ticker
from ticker_feed import EXIT, SCHEMA, frame, pop, use

MAIN = ("2024-01-02", "2024-01-03")
BACK = ("2023-12-01", "2023-12-05")
CODES = [{"code": "2330", "market": "Stock"}, {"code": "TXFR1", "market": "Future"}]


def stream(t, on_tick=None):
    """Every dict of the run through take_next_tick (the queue only when it answers None), calling
    on_tick(index, ticker) after each tick."""
    got = [pop(t)]
    while got[-1] != EXIT:
        if on_tick and "orva_status" not in got[-1]:
            on_tick(sum("orva_status" not in g for g in got) - 1, t)
        item = ticker.take_next_tick(t)
        got.append(item if item is not None else pop(t))
    return got


def run(monkeypatch, df, on_tick=None, back=None):
    feed, _, _, threads = use(monkeypatch)
    feed.frames[MAIN] = df
    if back is not None:
        feed.frames[BACK] = back
    t = ticker.Ticker(object())
    t.send_ticks(CODES, *MAIN, *(BACK if back is not None else (None, None)))
    got = stream(t, on_tick)
    threads.join_all()
    return [g for g in got if "orva_status" not in g]


def plain_ticks(df, market, stamp, backfilling=False):
    """Tick dicts made the plain way; market(i, code) and stamp(i, ts) give row i's values."""
    return [
        {"market_type": market(i, r["code"]), "timestamp": stamp(i, r["ts"]), "code": r["code"],
         "close": r["close"], "qty": r["volume"], "tick_type": r["tick_type"], "is_simulate": False,
         "is_backfilling": backfilling}
        for i, r in enumerate(df.iter_rows(named=True))
    ]


MARKET = {"2330": "Stock", "TXFR1": "Future"}
SWITCH = 7  # the tick after which something changes


def rebind(monkeypatch, fn):
    monkeypatch.setattr(ticker, "format_nano_ts_to_second_ts", fn)


def marked(ts, digits):
    return ("marked", ts, digits)


def package_copy():
    """A new function object with the package helper's code and globals: taken as the package's own."""
    f = utils.format_nano_ts_to_second_ts
    return types.FunctionType(f.__code__, f.__globals__, f.__name__)


CASES = {
    # name: (what happens after tick SWITCH, market of row i, timestamp of row i)
    "helper replaced": (
        lambda mp, t: rebind(mp, marked),
        lambda i, c: MARKET[c],
        lambda i, ts: marked(ts, 8) if i > SWITCH else utils.format_nano_ts_to_second_ts(ts, 8)),
    "helper's code replaced": (
        lambda mp, t: setattr(ticker.format_nano_ts_to_second_ts, "__code__", marked.__code__),
        lambda i, c: MARKET[c],
        lambda i, ts: marked(ts, 8) if i > SWITCH else utils.format_nano_ts_to_second_ts(ts, 8)),
    "market changed": (
        lambda mp, t: t.code_market_map.__setitem__("2330", "Moved"),
        lambda i, c: "Moved" if i > SWITCH and c == "2330" else MARKET[c],
        lambda i, ts: utils.format_nano_ts_to_second_ts(ts, 8)),
    "market map cleared and refilled": (
        lambda mp, t: (t.code_market_map.clear(), t.code_market_map.update({"2330": "C", "TXFR1": "D"})),
        lambda i, c: {"2330": "C", "TXFR1": "D"}[c] if i > SWITCH else MARKET[c],
        lambda i, ts: utils.format_nano_ts_to_second_ts(ts, 8)),
    "market map replaced": (
        lambda mp, t: setattr(t, "code_market_map", {"2330": "A", "TXFR1": "B"}),
        lambda i, c: {"2330": "A", "TXFR1": "B"}[c] if i > SWITCH else MARKET[c],
        lambda i, ts: utils.format_nano_ts_to_second_ts(ts, 8)),
    "market map deleted and set again": (
        lambda mp, t: (delattr(t, "code_market_map"), setattr(t, "code_market_map", {"2330": "E", "TXFR1": "F"})),
        lambda i, c: {"2330": "E", "TXFR1": "F"}[c] if i > SWITCH else MARKET[c],
        lambda i, ts: utils.format_nano_ts_to_second_ts(ts, 8)),
    "the ticker's dict regrown by new attributes": (
        lambda mp, t: [setattr(t, f"extra_{k}", k) for k in range(40)],
        lambda i, c: MARKET[c],
        lambda i, ts: utils.format_nano_ts_to_second_ts(ts, 8)),
    "one attribute added to the ticker, then its map replaced": (
        lambda mp, t: (setattr(t, "extra", 1), setattr(t, "code_market_map", {"2330": "I", "TXFR1": "J"})),
        lambda i, c: {"2330": "I", "TXFR1": "J"}[c] if i > SWITCH else MARKET[c],
        lambda i, ts: utils.format_nano_ts_to_second_ts(ts, 8)),
    "the ticker's __dict__ replaced by a dict of its own, then its map": (
        lambda mp, t: (setattr(t, "__dict__", dict(vars(t))), setattr(t, "code_market_map", {"2330": "G", "TXFR1": "H"})),
        lambda i, c: {"2330": "G", "TXFR1": "H"}[c] if i > SWITCH else MARKET[c],
        lambda i, ts: utils.format_nano_ts_to_second_ts(ts, 8)),
    "a property in front of the map": (
        lambda mp, t: mp.setattr(ticker.Ticker, "code_market_map",
                                 property(lambda self: {"2330": "P", "TXFR1": "Q"}), raising=False),
        lambda i, c: {"2330": "P", "TXFR1": "Q"}[c] if i > SWITCH else MARKET[c],
        lambda i, ts: utils.format_nano_ts_to_second_ts(ts, 8)),
}


@pytest.mark.parametrize("case", list(CASES))
def test_a_change_mid_run_is_seen_by_the_next_tick(monkeypatch, case):
    change, market, stamp = CASES[case]
    rebind(monkeypatch, package_copy())  # taken natively until changed

    def on_tick(i, t):
        if i == SWITCH:
            change(monkeypatch, t)

    df = frame(20)
    assert run(monkeypatch, df, on_tick) == plain_ticks(df, market, stamp)


def test_a_map_replaced_by_the_timestamp_helper_changes_the_rows_after_its_own(monkeypatch):
    """A row's market is read before its timestamp: a helper that replaces code_market_map (its
    markets new objects, the old ones then held by nobody else) moves only the rows after its own."""
    seen = {"calls": 0}

    def fresh_map(tag):
        return {code: "".join([market, tag]) for code, market in MARKET.items()}

    def stamping(ts, digits):
        seen["calls"] += 1
        if seen["calls"] == SWITCH + 1:  # building row SWITCH
            seen["ticker"].code_market_map = fresh_map("-new")
        return utils.format_nano_ts_to_second_ts(ts, digits)

    def on_tick(i, t):
        if i == 0:
            seen["ticker"] = t
            t.code_market_map = fresh_map("-old")

    rebind(monkeypatch, stamping)
    df = frame(20)
    tag = lambda i: "" if i == 0 else "-old" if i <= SWITCH else "-new"  # noqa: E731
    assert run(monkeypatch, df, on_tick) == plain_ticks(
        df, lambda i, c: MARKET[c] + tag(i), lambda i, ts: utils.format_nano_ts_to_second_ts(ts, 8))


def test_a_replaced_helper_is_called_for_every_row_and_the_package_one_again_after(monkeypatch):
    calls = []

    def counting(ts, digits):
        calls.append(ts)
        return utils.format_nano_ts_to_second_ts(ts, digits)

    rebind(monkeypatch, counting)
    df = frame(20)
    got = run(monkeypatch, df, lambda i, t: i == SWITCH and rebind(monkeypatch, utils.format_nano_ts_to_second_ts))
    assert got == plain_ticks(df, lambda i, c: MARKET[c], lambda i, ts: utils.format_nano_ts_to_second_ts(ts, 8))
    # each row is built when the permit that releases it is deposited, after the previous tick
    assert calls == df["ts"].to_list()[:SWITCH + 1]


@pytest.mark.parametrize("with_backfill", [False, True], ids=["main", "backfill+main"])
def test_streamed_ticks_stay_untracked_by_the_garbage_collector(monkeypatch, with_backfill):
    got = run(monkeypatch, frame(30), back=frame(10, start=500) if with_backfill else None)
    assert len(got) == 40 if with_backfill else 30
    assert not any(gc.is_tracked(tick) for tick in got)
    assert {tick["is_backfilling"] for tick in got} == ({False, True} if with_backfill else {False})


def test_a_container_value_tracks_the_tick_as_a_plain_dict_would(monkeypatch):
    rebind(monkeypatch, lambda ts, digits: [ts, digits])
    for tick in run(monkeypatch, frame(5)):
        plain = {}
        for key, value in tick.items():
            plain[key] = value
        assert gc.is_tracked(tick) == gc.is_tracked(plain) is True


def test_many_codes_short_long_and_non_ascii_keep_one_str_each(monkeypatch):
    codes = [f"S{k}" for k in range(90)] + [f"LONG-INSTRUMENT-{k:04d}" for k in range(30)] + ["台指期近一", ""]
    n = 3 * len(codes)
    df = frame(n, codes=tuple(codes))
    markets = {c: ("Stock" if k % 3 else "Future") for k, c in enumerate(codes)}

    feed, _, _, threads = use(monkeypatch)
    feed.frames[MAIN] = df
    t = ticker.Ticker(object())
    t.code_market_map.update(markets)
    t.send_ticks([], *MAIN)
    got = [g for g in stream(t) if "orva_status" not in g]
    threads.join_all()
    assert got == plain_ticks(df, lambda i, c: markets[c], lambda i, ts: utils.format_nano_ts_to_second_ts(ts, 8))
    by_code = {}
    for tick in got:
        assert by_code.setdefault(tick["code"], tick["code"]) is tick["code"]  # one object per code
    assert len(by_code) == len(codes)


def test_an_unknown_code_fails_the_run_once_its_row_comes(monkeypatch):
    df = pl.concat([frame(4), frame(1, codes=("NOPE",), start=4)]).cast(SCHEMA)
    feed, _, _, threads = use(monkeypatch)
    feed.frames[MAIN] = df
    t = ticker.Ticker(object())
    t.send_ticks(CODES, *MAIN)
    got = stream(t)
    threads.join_all()
    assert [g["code"] for g in got if "orva_status" not in g] == ["2330", "TXFR1", "2330", "TXFR1"]
    assert isinstance(ticker.stream_error(t), KeyError)


def test_a_new_ticker_at_a_freed_one_s_address_gets_no_old_state(monkeypatch):
    feed, _, _, threads = use(monkeypatch)
    feed.frames[MAIN] = frame(3)
    for _ in range(50):
        t = ticker.Ticker(object())
        t.send_ticks(CODES, *MAIN)
        stream(t)
        threads.join_all()
        ticker.stream_error(t)  # its state is the one found last
        address = id(t)
        del t
        # The young generations only: a full collection takes a good part of a second with the suite's
        # objects alive, and empties the allocator's free lists, which makes an address reused rarer.
        gc.collect(1)
        fresh = ticker.Ticker(object())
        before = fresh.allow_next_tick_flag_queue.qsize()
        assert ticker.take_next_tick(fresh) is None  # no run: the permit goes to the queue
        assert fresh.allow_next_tick_flag_queue.qsize() == before + 1
        assert ticker.stream_error(fresh) is None
        if id(fresh) == address:
            return
    pytest.skip("no new Ticker was placed at a freed one's address")


QUEUE_CHANGES = {
    # name: what happens after tick SWITCH
    "task_done on tick_queue": lambda t: t.tick_queue.task_done(),
    "tick_queue replaced": lambda t: setattr(t, "tick_queue", queue.Queue()),
    "permit queue replaced": lambda t: setattr(t, "allow_next_tick_flag_queue", queue.Queue()),
    "tick_queue bounded": lambda t: setattr(t.tick_queue, "maxsize", 1000),
    "a permit put on the queue": lambda t: t.allow_next_tick_flag_queue.put(True),
    "tick_queue's deque replaced": lambda t: setattr(t.tick_queue, "queue", collections.deque()),
    "tick_queue given an attribute it keeps": lambda t: setattr(t.tick_queue, "note", "kept"),
    "permit queue given an attribute it keeps": lambda t: setattr(t.allow_next_tick_flag_queue, "note", "kept"),
    "tick_queue given attributes, then rid of them": lambda t: (
        [setattr(t.tick_queue, f"x{k}", k) for k in range(40)], [delattr(t.tick_queue, f"x{k}") for k in range(40)]),
}


@pytest.mark.parametrize("case", list(QUEUE_CHANGES))
def test_queue_changes_mid_run_keep_the_ticks_and_the_counts(monkeypatch, case):
    df = frame(20)
    feed, _, _, threads = use(monkeypatch)
    feed.frames[MAIN] = df
    t = ticker.Ticker(object())
    t.send_ticks(CODES, *MAIN)
    got, taken, before = [pop(t)], 1, None
    while got[-1] != EXIT:
        if taken == SWITCH + 1 and before is None:
            QUEUE_CHANGES[case](t)
            before = t.tick_queue.unfinished_tasks
        item = ticker.take_next_tick(t)
        got.append(item if item is not None else pop(t))
        taken += 1
    threads.join_all()
    ticks = [g for g in got if "orva_status" not in g]
    assert ticks == plain_ticks(df, lambda i, c: MARKET[c], lambda i, ts: utils.format_nano_ts_to_second_ts(ts, 8))
    # every dict taken after the change counted once on the queue it went through (put, then got)
    assert t.tick_queue.unfinished_tasks == before + len(got) - (SWITCH + 1)
    assert t.tick_queue.qsize() == 0


@pytest.mark.parametrize("which, method", [("tick_queue", "put"), ("allow_next_tick_flag_queue", "get_nowait")])
def test_a_queue_method_shadowed_mid_run_is_called_from_then_on(monkeypatch, which, method):
    """With one attribute deleted the queue's dict keeps its size: only its names tell it from a plain one."""
    calls = []

    def on_tick(i, t):
        if i == SWITCH:
            q = getattr(t, which)
            original = getattr(q, method)
            del q.all_tasks_done
            setattr(q, method, lambda *a, **k: (calls.append(i), original(*a, **k))[1])

    df = frame(20)
    assert run(monkeypatch, df, on_tick) == plain_ticks(
        df, lambda i, c: MARKET[c], lambda i, ts: utils.format_nano_ts_to_second_ts(ts, 8))
    assert calls
