"""The driver's tick loop: one suite run with the native loop and with the plain-Python model in
tests/reference, failures, the feed's and the exchange's end-of-run seams, and the native helpers of
the per-tick path."""

import gc
import random
import sys
import threading
import time
import traceback
from collections import deque

import pytest

from orva_mero_backtest import driver, utils
from orva_mero_backtest.driver import Backtest, BacktestError, Instrument, StrategyError
from orva_mero_backtest.modules.engine import engine
from orva_mero_backtest.modules.positions.positions import Positions
from orva_mero_backtest.strategies import MovingAverageCross
from orva_mero_backtest.strategy import Strategy
from reference.tick_loop import tick_loop as reference_loop

STOCK = Instrument("2412", "Stock")
FUTURE = Instrument("TMFR1", "Future")
DAY = "2024-01-02"
LOOPS = ["native", "reference"]


@pytest.fixture(params=LOOPS)
def loop(request, monkeypatch):
    if request.param == "reference":
        monkeypatch.setattr(driver, "tick_loop", reference_loop)
    return request.param


def run(strategy, instruments=(STOCK,), **kwargs):
    return Backtest(strategy, list(instruments), DAY, DAY, module_console="none", **kwargs).run()


class Busy(Strategy):
    """Trades in every way the context allows, logging every hook with what the context shows."""

    name = "busy"

    def __init__(self):
        super().__init__()
        self.events = []
        self.rng = random.Random(7)
        self.ids = []

    def log(self, *event):
        self.events.append(event)

    def on_backfill_end(self, ctx):
        self.log("backfill_end", ctx.now, sorted((c, ctx.last_price(c)) for c in ctx.instruments))

    def on_tick(self, ctx, tick):
        self.log("tick", tick["code"], tick["close"], tick["timestamp"], ctx.now, ctx.warming_up)
        if ctx.warming_up or self.rng.random() > 0.02:
            return
        choice = self.rng.random()
        code = tick["code"]
        if choice < 0.4:
            self.ids.append(ctx.buy(code, self.rng.randint(1, 3), order_type=self.rng.choice(["ROD", "IOC"])))
        elif choice < 0.6:
            self.ids.append(ctx.sell(code, 1, round(tick["close"] * 1.001, 1)))
        elif choice < 0.8 and self.ids:
            self.log("modify", ctx.modify_order(self.rng.choice(self.ids), price=round(tick["close"], 1)))
        elif self.ids:
            self.log("cancel", ctx.cancel_order(self.rng.choice(self.ids)))
        self.log("open", [(o["trade_id"], o["open_qty"]) for o in ctx.open_orders()])

    def on_order(self, ctx, report):
        self.log("order", str(report["operation_type"]), report["order"]["quantity"])

    def on_deal(self, ctx, deal):
        self.log("deal", deal["code"], deal["quantity"], deal["price"], ctx.position(deal["code"]))


def outcome(result, strategy, progress):
    orders = [{k: v for k, v in o.items() if k != "trade_id"} for o in result.orders]
    fills = [{k: v for k, v in f.items() if k != "trade_id"} for f in result.fills]
    events = [e for e in strategy.events if e[0] != "open"]
    return (events, orders, fills, result.prices, result.equity, result.ticks, result.backfill_ticks,
            [(p.phase, p.ticks, p.backfill_ticks, p.timestamp, p.fraction) for p in progress])


def busy_run(backfill):
    strategy, progress = Busy(), []
    dates = {"backfill_start": "2023-12-29", "backfill_end": "2023-12-29"} if backfill else {}
    result = run(strategy, (STOCK, FUTURE), on_progress=progress.append, progress_every=997,
                 sample_seconds=7.5, **dates)
    return result, strategy, progress


@pytest.mark.parametrize("backfill", [False, True])
def test_a_busy_run_hooks_records_and_samples(loop, backfill):
    result, strategy, progress = busy_run(backfill)
    ticks = [e for e in strategy.events if e[0] == "tick"]
    main = [e for e in ticks if not e[5]]
    # every tick reaches on_tick with ctx.now at its time; the warm-up ones first, and only with a backfill
    assert all(e[3] == e[4] for e in ticks) and len(main) == result.ticks > 1000
    assert len(ticks) - len(main) == result.backfill_ticks and (result.backfill_ticks > 0) == backfill
    assert ticks[:result.backfill_ticks] == [e for e in ticks if e[5]]
    assert [e[0] for e in strategy.events].count("backfill_end") == int(backfill)
    # every fill reached on_deal, and the order records add up to the fills
    deals = [e for e in strategy.events if e[0] == "deal"]
    assert len(deals) == len(result.fills) >= 10
    for o in result.orders:
        assert o["filled_qty"] + o["open_qty"] + o["cancelled_qty"] == o["quantity"]
        # "Failed": refused by the exchange's rules (a market order in a call period)
        assert o["status"] in ("Open", "PartFilled", "Filled", "Cancelled", "Failed")
    assert sum(o["filled_qty"] for o in result.orders) == sum(f["quantity"] for f in result.fills)
    # prices sampled per instrument at least 7.5 s apart from its first tick, ending at its last one
    for code, series in result.prices.items():
        own = [e for e in main if e[1] == code]
        assert series[0] == (own[0][3], own[0][2]) and series[-1] == (own[-1][3], own[-1][2])
        assert all(b[0] - a[0] >= 7.5 for a, b in zip(series, series[1:-1]))
    # progress every 997 ticks of each phase, then once when done
    phases = [(p.phase, p.ticks if p.phase == "main" else p.backfill_ticks) for p in progress[:-1]]
    assert all(n % 997 == 0 for _, n in phases) and progress[-1].fraction == 1.0
    assert [n for phase, n in phases if phase == "main"] == list(range(997, result.ticks + 1, 997))


@pytest.mark.parametrize("backfill", [False, True])
def test_the_native_loop_runs_the_models_steps(monkeypatch, backfill):
    native = outcome(*busy_run(backfill))
    monkeypatch.setattr(driver, "tick_loop", reference_loop)
    assert native == outcome(*busy_run(backfill))


@pytest.mark.parametrize("hook", ["on_start", "on_tick", "on_order", "on_deal", "on_finish"])
@pytest.mark.parametrize("raised, shown", [
    (SystemExit("bye"), "SystemExit: bye"),
    (type("Custom", (BaseException,), {})("odd"), "Custom: odd"),
    (ValueError("bad"), "ValueError: bad"),
])
def test_any_exception_of_a_hook_is_a_strategy_error(loop, hook, raised, shown):
    class Raises(Strategy):
        name = "raises"

        def on_tick(self, ctx, tick):
            if hook == "on_tick":
                raise raised
            if not ctx.open_orders() and not ctx.positions.fills:
                ctx.buy(tick["code"], 1)

    setattr(Raises, hook, lambda self, ctx, *args: (_ for _ in ()).throw(raised))
    if hook == "on_tick":
        del Raises.on_tick
        Raises.on_tick = lambda self, ctx, tick: (_ for _ in ()).throw(raised)
    with pytest.raises(StrategyError, match=rf"raised in {hook}.*{shown} \(tests/test_driver_loop.py:\d+\)$") as caught:
        run(Raises())
    assert caught.value.__cause__ is raised


def test_a_strategy_answering_every_report_with_an_order_is_stopped(loop, monkeypatch):
    monkeypatch.setattr(driver, "_MAX_REPORTS_PER_TICK", 40)

    class Echo(Strategy):
        name = "echo"

        def on_tick(self, ctx, tick):
            ctx.buy(tick["code"], 1, 1.0)

        def on_order(self, ctx, report):
            ctx.buy(report["order"]["code"], 1, 1.0)

    with pytest.raises(StrategyError, match="^strategy echo keeps answering reports with new requests$"):
        run(Echo())


@pytest.mark.parametrize("hook", ["on_tick", "on_deal"])
def test_ctrl_c_in_a_hook_stays_keyboard_interrupt_and_stops_the_feed(loop, hook):
    class Interrupted(Strategy):
        def on_tick(self, ctx, tick):
            if hook == "on_tick":
                raise KeyboardInterrupt
            if not ctx.open_orders() and not ctx.positions.fills:
                ctx.buy(tick["code"], 1)

        def on_deal(self, ctx, deal):
            raise KeyboardInterrupt

    threads = threading.active_count()
    with pytest.raises(KeyboardInterrupt):
        run(Interrupted())
    # the exchange's receiver is closed when it can be; the feed's sender may stay parked (daemon)
    assert threading.active_count() <= threads + 2


def test_a_failed_feed_is_an_error_not_a_short_run(loop, monkeypatch):
    from orva_mero_backtest.modules.ticker import ticker as ticker_module

    failure = ValueError("empty ts in a cached row")
    monkeypatch.setattr(ticker_module, "stream_error", lambda ticker: failure, raising=False)
    with pytest.raises(BacktestError, match="the tick feed failed: ValueError: empty ts in a cached row") as caught:
        run(Strategy())
    assert caught.value.__cause__ is failure


@pytest.mark.parametrize("fails", [False, True])
def test_the_exchange_is_closed_after_every_run(monkeypatch, fails):
    from orva_mero_backtest.modules.matcher import matcher as matcher_module

    closed = []

    class Closing(matcher_module.Matcher):
        def close(self):
            closed.append(self)

    class Strat(Strategy):
        def on_finish(self, ctx):
            if fails:
                raise RuntimeError("late")

    monkeypatch.setattr(matcher_module, "Matcher", Closing)
    bt = Backtest(Strat(), [STOCK], DAY, DAY, module_console="none")
    if fails:
        with pytest.raises(StrategyError):
            bt.run()
    else:
        bt.run()
    assert closed == [bt.matcher]


def counted(calls, method):
    def set_current_tick(self, tick):
        calls.append(tick["code"])
        return method(self, tick)

    return set_current_tick


def replace_book_method(monkeypatch, where, name, method):
    """The run's positions book with `name` replaced by `method`: in a subclass the driver makes, on
    the Positions class, or on each book the driver makes."""
    from orva_mero_backtest import driver

    if where == "subclass":
        monkeypatch.setattr(driver, "Positions", type("Counting", (Positions,), {name: method}))
    elif where == "class":
        monkeypatch.setattr(Positions, name, method)
    else:
        def making_book(*args, **kwargs):
            book = Positions(*args, **kwargs)
            setattr(book, name, method.__get__(book))
            return book

        monkeypatch.setattr(driver, "Positions", making_book)


@pytest.fixture(scope="module")
def plain_busy_run():
    return outcome(*busy_run(False))


# The native loop calls the exchange's own set_current_tick without its binding: only while it is that.
@pytest.mark.parametrize("replaced", ["matcher class", "matcher subclass", "matcher instance", "positions subclass",
                                      "positions class", "positions instance"])
def test_a_replaced_set_current_tick_runs_on_every_tick(monkeypatch, plain_busy_run, replaced):
    from orva_mero_backtest.modules.matcher import matcher as matcher_module

    calls = []
    if replaced == "matcher class":
        monkeypatch.setattr(matcher_module.Matcher, "set_current_tick",
                            counted(calls, matcher_module.Matcher.set_current_tick))
    elif replaced == "matcher subclass":
        monkeypatch.setattr(matcher_module, "Matcher", type("Counting", (matcher_module.Matcher,), {
            "set_current_tick": counted(calls, matcher_module.Matcher.set_current_tick)}))
    elif replaced == "matcher instance":
        made = matcher_module.Matcher

        def making(positions):
            m = made(positions)
            m.set_current_tick = counted(calls, made.set_current_tick).__get__(m)
            return m

        monkeypatch.setattr(matcher_module, "Matcher", making)
    else:  # the exchange calls the book's own method directly only while it is that
        replace_book_method(monkeypatch, replaced.split()[1], "set_current_tick",
                            counted(calls, Positions.set_current_tick))
    result, strategy, progress = busy_run(False)
    assert len(calls) == result.ticks > 1000
    assert outcome(result, strategy, progress) == plain_busy_run


def test_a_failure_in_the_exchanges_set_current_tick_shows_its_frame(loop):
    from orva_mero_backtest.modules.matcher.matcher import Matcher

    class Failing(Positions):
        def set_current_tick(self, tick):
            raise ValueError("no mark")

    def frames(call):
        with pytest.raises(ValueError, match="no mark") as caught:
            call()
        return [f.name for f in traceback.extract_tb(caught.value.__traceback__)]

    tick = {"code": "A", "is_backfilling": False, "close": 10.0, "qty": 2, "timestamp": 5.0}
    direct = Matcher(Failing())
    stream = FakeStream([dict(tick)], [])
    stream.matcher = Matcher(Failing())
    stream.set_tick, stream.match = stream.matcher.set_current_tick, stream.matcher.match_deal
    shown = frames(lambda: driver.tick_loop(stream))
    assert frames(lambda: direct.set_current_tick(dict(tick)))[-2:] == shown[-2:] == [
        "Matcher.set_current_tick", "set_current_tick"]


def test_a_replaced_timestamp_helper_is_still_called(monkeypatch):
    from orva_mero_backtest.modules.ticker import ticker as ticker_module

    calls = []

    def counting(ts, digits):
        calls.append(ts)
        return utils.format_nano_ts_to_second_ts(ts, digits)

    seen = []

    class Stamps(Strategy):
        def on_tick(self, ctx, tick):
            seen.append(tick["timestamp"])

    run(Stamps())
    native = list(seen)
    seen.clear()
    monkeypatch.setattr(ticker_module, "format_nano_ts_to_second_ts", counting)
    run(Stamps())
    assert len(calls) == len(seen) == len(native) > 1000
    assert seen == native  # the native computation gives the helper's values


def sample_ns(rng, n):
    """n timestamps of each kind: any of the range, near today, and ones whose seconds end in an exact
    binary half at the rounding digit."""
    return ([rng.randint(10**9, 2**63 - 1) for _ in range(n)]
            + [rng.randint(1_600_000_000 * 10**9, 1_900_000_000 * 10**9) for _ in range(n)]
            + [(1_704_158_100 * 2**22 + rng.randint(1, 2**20) * 2**13) * 10**9 // 2**22 for _ in range(n)])


@pytest.mark.parametrize("seed", [1, 2])
def test_native_seconds_equal_the_python_helper(seed):
    # A plain seeded sample: hypothesis spent a minute per pass generating what costs microseconds to check.
    rng = random.Random(seed)
    cases = [(ts, digits) for ts in sample_ns(rng, 700) for digits in range(10)]
    wrong = [(ts, d) for ts, d in cases if engine.ns_to_seconds(ts, d) != utils.format_nano_ts_to_second_ts(ts, d)]
    assert not wrong, wrong[:5]


def binade_sample(rng, n):
    """n timestamps in each binade of seconds from 2**20 to 2**33 (all below 2**63 ns): where rounding
    to 6 to 9 decimals starts or stops being able to move the value."""
    return [rng.randint(2**k * 10**9, 2 ** (k + 1) * 10**9 - 1) for k in range(20, 33) for _ in range(n)]


@pytest.mark.parametrize("digits", [6, 7, 8, 9])
def test_native_seconds_equal_the_python_helper_in_every_binade(digits):
    rng = random.Random(digits)
    cases = binade_sample(rng, 60)
    wrong = [ts for ts in cases if engine.ns_to_seconds(ts, digits) != utils.format_nano_ts_to_second_ts(ts, digits)]
    assert not wrong, wrong[:5]


@pytest.mark.parametrize("ts, digits", [(10**9 - 1, 8), (-5, 8), (2**63, 8), (10**18, 10), (10**18, -1)])
def test_native_seconds_leave_other_ranges_to_the_helper(ts, digits):
    assert engine.ns_to_seconds(ts, digits) is None


class DictLike(dict):
    def get(self, key, default=None):
        return super().get(key, default)


@pytest.mark.parametrize("tick, book_kind, has_entry", [
    ({"code": "2330", "close": 101.5}, dict, True),
    ({"code": "2330", "close": 101.5}, DictLike, True),
    ({"code": "2330"}, dict, False),  # no entry: close not read
    ({"code": "2330"}, dict, True),  # KeyError for close
    ({"close": 1.0}, dict, False),  # KeyError for code
])
def test_native_set_current_tick_matches_the_python_text(tick, book_kind, has_entry):
    from reference.positions_book import ReferencePositions

    def attempt(method):
        book = Positions()
        book.book = book_kind()
        if has_entry:
            from orva_mero_backtest.modules.positions.positions import InstrumentPosition

            book.book["2330"] = InstrumentPosition("2330", "Stock", 1.0)
        try:
            method(book, dict(tick))
        except Exception as exc:
            return type(exc), str(exc)
        return book.last_ticks, {c: e.last_price for c, e in book.book.items()}

    assert attempt(Positions.set_current_tick) == attempt(ReferencePositions.set_current_tick)


class FakeMatcher:
    def __init__(self, book):
        self.pending_orders = book
        self.calls = []

    def set_current_tick(self, tick):
        self.calls.append(("tick", tick["code"]))

    def match_deal(self, code, close, qty, ts):
        self.calls.append(("match", code, close, qty, ts))


class FakeStream(driver.TickStream):
    """A stream over prepared items: the loop's own steps without a feed or an exchange."""

    def __init__(self, items, book):
        self.pending = deque(items)
        self.pop = self.pending.popleft
        self.allow = lambda: None
        self.matcher = FakeMatcher(book)
        self.set_tick, self.match = self.matcher.set_current_tick, self.matcher.match_deal
        self.fill_model = None  # the exchange's own pass
        self.reports = deque()
        self.on_tick = lambda ctx, tick: None
        self.ctx = type("Ctx", (), {"warming_up": False, "now": None})()
        self.last_close = {}
        self.recording = driver.Recording(["A"], Positions(), 10.0)
        self.every, self.ticks, self.backfill_ticks, self.timestamp = 1000, 0, 0, None

    def other(self, item):
        return True


@pytest.mark.parametrize("book, tick, matched", [
    ([], {"close": 10.0, "qty": 2, "timestamp": 5.0}, False),
    ([{"code": "A"}], {"close": 10.0, "qty": 2, "timestamp": 5.0}, True),
    ([], {"close": 10.0, "qty": -1, "timestamp": 5.0}, True),  # the exchange refuses it
    ([], {"close": 10, "qty": 2, "timestamp": 5.0}, True),
    ([], {"close": 10.0, "qty": 2.0, "timestamp": 5.0}, True),
    ([], {"close": 10.0, "qty": 2, "timestamp": 5}, True),
    ((), {"close": 10.0, "qty": 2, "timestamp": 5.0}, True),
])
def test_match_deal_is_skipped_only_when_it_would_do_nothing(loop, book, tick, matched):
    item = {"code": "A", "is_backfilling": False, **tick}
    stream = FakeStream([item, {"orva_status": "exit_send_tick"}], book)
    driver.tick_loop(stream)
    calls = stream.matcher.calls
    assert calls[0] == ("tick", "A")
    assert (len(calls) == 2) == matched
    assert stream.ticks == 1 and stream.timestamp == tick["timestamp"]
    assert stream.recording.prices["A"] == [(tick["timestamp"], tick["close"])]


def reordered(tick, how):
    if how == "same":
        return dict(tick)
    if how == "reversed":
        return dict(reversed(list(tick.items())))
    if how == "moved":  # close deleted and set again: its entry moves to the end
        made = dict(tick)
        del made["close"]
        made["close"] = tick["close"]
        return made
    return {"extra": 1, "more": None, **tick}  # "shifted"


# Ticks whose keys sit elsewhere than in the one before are read right (the loop reads a tick's fields
# at the places they sat in the last one while they are there).
def test_ticks_of_changing_layouts_are_read_by_key(loop):
    hows = ["same", "reversed", "same", "moved", "shifted", "same", "reversed"]
    items = [reordered({"code": "AB"[i % 2], "is_backfilling": False, "close": 10.0 + i, "qty": i + 1,
                        "timestamp": 5.0 + i}, how) for i, how in enumerate(hows)]
    stream = FakeStream(items + [{"orva_status": "exit_send_tick"}], [{"code": "A"}])
    stream.recording = driver.Recording(["A", "B"], Positions(), 10.0)
    driver.tick_loop(stream)
    matched = [c[1:] for c in stream.matcher.calls if c[0] == "match"]
    assert matched == [(t["code"], t["close"], t["qty"], t["timestamp"]) for t in items]
    assert stream.last_close == {"A": 16.0, "B": 15.0}
    assert list(stream.recording.last_main_ts.items()) == [("A", 11.0), ("B", 10.0)]


def test_a_stalled_feed_ends_the_run_after_the_stall_timeout(loop):
    import queue

    stream = FakeStream([], [])
    stream.stall_timeout = 0.3

    def get(timeout):
        assert timeout <= 0.3
        raise queue.Empty

    stream._get = get
    with pytest.raises(BacktestError, match="sent nothing for 0.3 seconds"):
        driver.tick_loop(stream)


CHILD = r"""
import os, sys, threading, time
from orva_mero_backtest import driver
from orva_mero_backtest.driver import Backtest, Instrument
from orva_mero_backtest.strategy import Strategy

class Announce(Strategy):
    n = 0

    def on_tick(self, ctx, tick):
        self.n += 1
        if self.n == 1:
            print("streaming", flush=True)
        if self.n % 200 == 0:  # keeps the stream going for about a second
            time.sleep(0.002)

if os.environ["LOOP"] == "reference":
    from reference.tick_loop import tick_loop as reference_loop

    driver.tick_loop = reference_loop
bt = Backtest(Announce(), [Instrument("2330", "Stock")], "2024-01-02", "2024-01-12", module_console="none")
try:
    bt.run()
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", flush=True)
"""


@pytest.mark.parametrize("which", LOOPS)
def test_ctrl_c_during_a_stream_raises_promptly(which, tmp_path):
    import os
    import signal
    import subprocess
    import sys
    import time

    tests = os.path.dirname(os.path.abspath(__file__))
    env = dict(os.environ, LOOP=which, PYTHONPATH=os.pathsep.join(filter(None, [tests, os.environ.get("PYTHONPATH")])),
               ORVA_MERO_BACKTEST_DATA_DIR=str(tmp_path / "data"))
    child = subprocess.Popen([sys.executable, "-c", CHILD], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, env=env)
    try:
        line = child.stdout.readline()  # the cache is written first: up to some seconds
        assert line.strip() == "streaming"
        time.sleep(0.2)
        child.send_signal(signal.SIGINT)
        sent = time.monotonic()
        out, err = child.communicate(timeout=20)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait(timeout=10)
    assert out.strip() == "interrupted" and child.returncode == 0, err
    assert time.monotonic() - sent < 10
    assert "Traceback" not in err


def test_many_runs_keep_a_flat_thread_count():
    from orva_mero_backtest.modules.matcher import matcher as matcher_module

    if not hasattr(matcher_module.Matcher, "close"):
        pytest.skip("the exchange has no close() in this build")
    run(Strategy())  # the first run may start long-lived helpers (polars' pool)
    before = threading.active_count()
    for _ in range(12):
        run(Strategy())
    # close() does not wait: each receiver ends at its next wake-up (a fraction of a second).
    deadline = time.monotonic() + 10
    while threading.active_count() > before + 1 and time.monotonic() < deadline:
        time.sleep(0.05)
    assert threading.active_count() <= before + 1


def counting_strategy(kind, calls, monkeypatch):
    def count(*args):
        calls.append(args[-1]["code"])

    if kind == "subclass":
        return type("Counting", (Strategy,), {"on_tick": lambda self, ctx, tick: count(tick)})()
    if kind == "mixin":
        mixin = type("Mixin", (), {"on_tick": lambda self, ctx, tick: count(tick)})
        return type("Counting", (mixin, Strategy), {})()
    if kind == "instance":
        strategy = Strategy()
        strategy.on_tick = lambda ctx, tick: count(tick)
        return strategy
    if kind == "base replaced":
        monkeypatch.setattr(Strategy, "on_tick", lambda self, ctx, tick: count(tick))
        return type("Plain", (Strategy,), {})()
    if kind == "own attribute access":
        def getattribute(self, name):
            if name == "on_tick":
                return lambda ctx, tick: count(tick)
            return object.__getattribute__(self, name)

        return type("Counting", (Strategy,), {"__getattribute__": getattribute})()
    return type("Plain", (Strategy,), {})()


# The loop leaves out only the base class's own no-op on_tick; whatever stands for it is called every tick.
@pytest.mark.parametrize("kind, called", [
    ("subclass", True), ("mixin", True), ("instance", True), ("base replaced", True),
    ("own attribute access", True), ("inherited no-op", False),
])
def test_on_tick_is_left_out_only_while_it_is_the_base_no_op(monkeypatch, kind, called):
    calls = []
    strategy = counting_strategy(kind, calls, monkeypatch)
    assert driver.calls_on_tick(strategy) is called
    result = run(strategy)
    assert len(calls) == (result.ticks if called else 0) and result.ticks > 1000
    if not called:  # the same run as with an on_tick that does nothing
        same = run(type("Noop", (Strategy,), {"on_tick": lambda self, ctx, tick: None})())
        assert (result.ticks, result.prices, result.equity) == (same.ticks, same.prices, same.equity)


def dict_spy(trades):
    """A strategy that keeps its state in attributes (as strategies do) and notes every read of its
    instance __dict__."""
    real = vars(Strategy)["__dict__"]

    class Spy(Strategy):
        name = "dict_spy"
        reads = []

        @property
        def __dict__(self):
            Spy.reads.append(traceback.extract_stack(limit=3)[0])
            return real.__get__(self)

        def on_start(self, ctx):
            self.seen, self.last = 0, None

        def on_tick(self, ctx, tick):
            self.seen += 1
            self.last = tick["close"]
            if trades and self.seen % 500 == 0:
                ctx.buy(tick["code"], 1)

    if not trades:
        del Spy.on_start, Spy.on_tick
    return Spy()


# Reading an instance's __dict__ makes CPython 3.11+ keep its attributes in a real dict from then on,
# and every self.x of its hooks slower: the run never asks for the strategy's.
@pytest.mark.parametrize("trades", [False, True], ids=["inherited hooks", "trading"])
def test_the_run_leaves_the_strategy_attributes_as_they_are(trades):
    strategy = dict_spy(trades)
    result = run(strategy)
    assert result.ticks > 1000 and (len(result.fills) > 0) is trades
    assert type(strategy).reads == []
    if sys.version_info[:2] in ((3, 11), (3, 12)):  # there a dict made from them shows in the referents
        assert not any(type(r) is dict and "params" in r for r in gc.get_referents(strategy))


def padded(item, extra, where):
    """item with `extra` more keys, before or after its own, or after keys deleted in between."""
    pad = {f"pad{i}": i for i in range(extra)}
    if where == "before":
        return {**pad, **item}
    made = {**item, **pad}
    if where == "gapped":
        for key in list(pad)[::2]:
            del made[key]
    return made


# Only an item holding orva_status is a status item, whatever else it holds and however its dict is
# laid out; every other one is a tick.
@pytest.mark.parametrize("extra", [0, 4, 20, 70])
@pytest.mark.parametrize("where", ["before", "after", "gapped"])
def test_a_status_item_is_told_by_its_key_alone(loop, extra, where):
    ticks = [padded({"code": "A", "is_backfilling": False, "close": 10.0 + i, "qty": 1, "timestamp": 5.0 + i},
                    extra + i, where) for i in range(3)]
    status = padded({"orva_status": "exit_send_tick"}, extra, where)
    stream = FakeStream(ticks + [status, ticks[0]], [])
    driver.tick_loop(stream)
    assert stream.ticks == 3 and list(stream.pending) == [ticks[0]]
    assert stream.last_close == {"A": 12.0}


class Reshaping:
    """An is_backfilling flag whose truth value reshapes the tick holding it."""

    def __init__(self, tick):
        self.tick = tick

    def __bool__(self):
        close = self.tick.pop("close")
        self.tick.update({f"x{i}": i for i in range(40)})
        self.tick["close"] = close + 100.0
        return False


# A tick's fields are read after its is_backfilling flag's truth value ran, as they are then.
def test_the_fields_are_read_after_a_flag_that_reshapes_the_tick(loop):
    items = [{"code": "A", "is_backfilling": False, "close": 10.0 + i, "qty": 1, "timestamp": 5.0 + i}
             for i in range(3)]
    items[1]["is_backfilling"] = Reshaping(items[1])
    stream = FakeStream(items + [{"orva_status": "exit_send_tick"}], [{"code": "A"}])
    driver.tick_loop(stream)
    matched = [c[1:] for c in stream.matcher.calls if c[0] == "match"]
    assert matched == [("A", 10.0, 1, 5.0), ("A", 111.0, 1, 6.0), ("A", 12.0, 1, 7.0)]
