"""The backtest loop against a bare Python loop doing the same work, measured in the same run.

    .venv/bin/python benchmarks/run.py backtest

The ticks of one stock over BENCH_DAYS trading days (default 20, about 175,000 ticks) are written to
the tick cache once. The empty strategy, the MA cross and the one order take turns with what they are
compared with, BENCH_ROUNDS rounds (default max(BENCH_RUNS, 5)), and each side counts its least CPU
time: on a shared machine the noise only ever adds, and two sides timed one after the other can
catch different stretches of it. The other cases print medians of BENCH_RUNS runs.

- empty strategy: ticks per second through Backtest (stream time: the run less the run stopped at
  its first tick) and our own cost per tick, the stream time less a bare loop calling the same empty
  hook on the same tick dicts, per tick;
- MA cross on ticks, market orders of one lot: Backtest's stream CPU time against a bare loop computing
  the same signal and filling each order at the next tick's close (the fill count must agree). The
  engine run, the run stopped at its first tick and the bare loop take turns, BENCH_MA_RUNS rounds
  (default BENCH_ROUNDS); each bare turn repeats the loop until it has run for BENCH_MA_BARE_SECONDS
  (default 0.3) of CPU time (a bare loop of a tenth of a second swung by a third);
- one order through the driver: a strategy placing a one-lot market order every ORDER_EVERY ticks
  (placed, filled on the next tick, "New" and deal reports delivered to on_order / on_deal, the
  positions book updated), less the time of the same strategy counting ticks without placing
  orders, per order; the two take turns.

- the exchange's rules (market_rules): the empty strategy and the one-order strategy with every rule on
  against every rule off, per tick and per order (the other cases run with the rules off: their bare
  loops fill every order as an idealised market would).

BENCH_RUNS sets the runs per case (default 3; the MA cross takes BENCH_MA_RUNS). BENCH_SAMPLE=1 also runs the sample strategy over two instruments (about 1,000,000 ticks).
BENCH_CASES picks cases by name (comma-separated: empty, ma, fills, order, rules; default all). BENCH_JSON=1 also prints the
figures as one JSON line last (``benchmarks/interpreters.py`` reads it to compare interpreters).
"""

import gc
import json
import math
import os
import platform
import shutil
import statistics
import sys
import tempfile
import time
from collections import deque
from datetime import date, timedelta

from orva_mero_backtest.constant import BASIC_INFO
from orva_mero_backtest.driver import Backtest, Instrument
from orva_mero_backtest.sim_broker import SimulatedBroker
from orva_mero_backtest.strategy import Strategy

CODE = "2330"
INSTRUMENTS = [Instrument(CODE, "Stock")]
START = "2024-01-02"
DAYS = int(os.environ.get("BENCH_DAYS", "20"))
RUNS = int(os.environ.get("BENCH_RUNS", "3"))
ROUNDS = int(os.environ.get("BENCH_ROUNDS", str(max(RUNS, 5))))
MA_RUNS = int(os.environ.get("BENCH_MA_RUNS", str(ROUNDS)))
MA_BARE_SECONDS = float(os.environ.get("BENCH_MA_BARE_SECONDS", "0.3"))
FAST, SLOW = 20, 60  # ticks in the moving averages
ORDER_EVERY = 10
REPRICE_EVERY = 20  # ticks a limit order of the MA cross rests before it is moved to the last close
CASES = [c for c in os.environ.get("BENCH_CASES", "empty,ma,fills,order,rules").split(",") if c]
# The figures a run of the engine must reach on every interpreter it supports.
TARGET_TICKS_PER_SECOND = 1_000_000
TARGET_MA_RATIO = 5.0
TARGET_US_PER_ORDER = 10.0


class Empty(Strategy):
    name = "empty"


class TickMACross(Strategy):
    """Long one lot while the mean of the last FAST closes is above that of the last SLOW closes."""

    name = "tick_ma_cross"

    def on_start(self, ctx):
        self.window = deque()
        self.fast_sum = self.slow_sum = 0.0
        self.long = self.busy = False

    def on_tick(self, ctx, tick):
        close = tick["close"]
        window = self.window
        window.append(close)
        self.slow_sum += close
        self.fast_sum += close
        if len(window) > FAST:
            self.fast_sum -= window[-FAST - 1]
        if len(window) > SLOW:
            self.slow_sum -= window.popleft()
        elif len(window) < SLOW:
            return
        wanted = self.fast_sum * SLOW > self.slow_sum * FAST
        if wanted != self.long and not self.busy:
            self.busy = True
            self.long = wanted
            self.send(ctx, wanted, close)

    def send(self, ctx, buy, close):
        if buy:
            ctx.buy(CODE, 1)
        else:
            ctx.sell(CODE, 1)

    def on_deal(self, ctx, deal):
        self.busy = False


class TickMACrossLimit(TickMACross):
    """The same signal with ROD limit orders at the last close; one still open after REPRICE_EVERY ticks
    is moved to the last close (modify_order), so resting orders, their queue and the cancel latency
    all take part."""

    name = "tick_ma_cross_limit"

    def on_start(self, ctx):
        super().on_start(ctx)
        self.order, self.age = None, 0

    def on_tick(self, ctx, tick):
        super().on_tick(ctx, tick)
        if self.order is not None:
            self.age += 1
            if self.age >= REPRICE_EVERY:
                self.age = 0
                ctx.modify_order(self.order, price=tick["close"])

    def send(self, ctx, buy, close):
        self.order = (ctx.buy if buy else ctx.sell)(CODE, 1, close, order_type="ROD")
        self.age = 0

    def on_deal(self, ctx, deal):
        self.busy, self.order = False, None


def bare_ma_cross(ticks):
    """The same signal and fills with no engine: an order fills at the next tick's close."""
    window = deque()
    fast_sum = slow_sum = 0.0
    long = busy = False
    order = 0  # +1 buy / -1 sell waiting for the next tick
    position, cash, fills = 0, 0.0, 0
    for tick in ticks:
        close = tick["close"]
        if order:
            position += order
            cash -= order * close
            fills += 1
            order = 0
            busy = False
        window.append(close)
        slow_sum += close
        fast_sum += close
        if len(window) > FAST:
            fast_sum -= window[-FAST - 1]
        if len(window) > SLOW:
            slow_sum -= window.popleft()
        elif len(window) < SLOW:
            continue
        wanted = fast_sum * SLOW > slow_sum * FAST
        if wanted != long and not busy:
            busy = True
            long = wanted
            order = 1 if wanted else -1
    return fills


class EveryNth(Strategy):
    """A one-lot market order every ORDER_EVERY ticks, buying and selling in turn; with trade=False
    the same counting without the orders (the baseline that leaves only the orders' cost)."""

    name = "every_nth"

    def __init__(self, trade=True):
        super().__init__()
        self.trade = trade

    def on_start(self, ctx):
        self.n = 0
        self.orders = 0

    def on_tick(self, ctx, tick):
        self.n += 1
        if self.n == ORDER_EVERY:
            self.n = 0
            self.orders += 1
            if not self.trade:
                return
            if self.orders & 1:
                ctx.buy(CODE, 1)
            else:
                ctx.sell(CODE, 1)

    def on_order(self, ctx, report):
        pass

    def on_deal(self, ctx, deal):
        pass


class StopAtFirstTick(Strategy):
    def on_tick(self, ctx, tick):
        raise StopIteration


def run_backtest(strategy, api, end, fills="trade", latency=0.0, rules=False, load=None):
    """CPU seconds of this thread spent streaming (the run less the run stopped at its first tick, or
    less `load` when given), and the result. CPU time rather than wall-clock time: the machine's other
    load does not count."""
    started = time.thread_time()
    result = Backtest(strategy, INSTRUMENTS, START, end, api=api, module_console="none", fills=fills,
                      latency=latency, rules=rules).run()
    took = time.thread_time() - started
    return took - (load_cpu(api, end) if load is None else load), result


_LOAD_CPU = {}


def load_once(api, end):
    """CPU seconds of one run up to its first tick (reading the cache, starting the feed)."""
    started = time.thread_time()
    try:
        Backtest(StopAtFirstTick(), INSTRUMENTS, START, end, api=api, module_console="none", rules=False).run()
    except Exception:
        pass
    return time.thread_time() - started


def load_cpu(api, end):
    """CPU seconds of a run up to its first tick: median of RUNS."""
    if end not in _LOAD_CPU:
        _LOAD_CPU[end] = statistics.median(load_once(api, end) for _ in range(RUNS))
    return _LOAD_CPU[end]


def median_of(fn):
    return statistics.median(fn() for _ in range(RUNS))


def collect_ticks(api, end):
    """The tick dicts the feed hands the strategy, for the bare loops."""

    class Collect(Strategy):
        def on_start(self, ctx):
            self.ticks = []

        def on_tick(self, ctx, tick):
            self.ticks.append(tick)

    strategy = Collect()
    Backtest(strategy, INSTRUMENTS, START, end, api=api, module_console="none", rules=False).run()
    return strategy.ticks


def last_day(api):
    day, found = date.fromisoformat(START), 0
    while True:
        if day.weekday() < 5:
            found += 1
            if found == DAYS:
                return day.isoformat()
        day += timedelta(days=1)


def main() -> None:
    data_dir = tempfile.mkdtemp(prefix="orva-bench-")
    BASIC_INFO.data_dir = data_dir
    try:
        run(SimulatedBroker())
    finally:
        shutil.rmtree(data_dir, ignore_errors=True)


def run(api) -> None:
    end = last_day(api)
    ticks = collect_ticks(api, end)  # also writes the tick cache
    n = len(ticks)
    print(f"{n:,} ticks of {CODE}, {START} to {end}; Python {platform.python_version()}; "
          f"{ROUNDS} rounds, medians of {RUNS} runs", flush=True)
    figures = {"python": platform.python_version(), "ticks": n, "runs": RUNS, "rounds": ROUNDS}
    if "empty" in CASES:
        figures.update(empty_case(api, end, ticks))
    if "ma" in CASES:
        figures.update(ma_case(api, end, ticks))
    if "fills" in CASES:
        figures.update(fills_case(api, end))
    if "order" in CASES:
        figures.update(order_case(api, end))
    if "rules" in CASES:
        figures.update(rules_case(api, end, n))
    if os.environ.get("BENCH_SAMPLE") == "1":
        run_sample(api)
    if os.environ.get("BENCH_JSON") == "1":
        print(json.dumps(figures), flush=True)


def empty_case(api, end, ticks):
    n = len(ticks)
    empty = Empty()
    on_tick = empty.on_tick

    def bare_empty():
        started = time.thread_time()
        for tick in ticks:
            on_tick(None, tick)
        return time.thread_time() - started

    bare, runs, load = [], [], []
    for _ in range(ROUNDS):
        bare.append(bare_empty())
        runs.append(run_backtest(Empty(), api, end, load=0.0)[0])
        load.append(load_once(api, end))
    bare, engine = min(bare), min(runs) - min(load)
    own = (engine - bare) / n
    print(f"empty strategy: {n / engine:,.0f} ticks/s through Backtest ({engine:.3f} s); bare loop {bare:.3f} s; "
          f"own cost {own * 1e6:.2f} us/tick (target >= {TARGET_TICKS_PER_SECOND:,} ticks/s; least of {ROUNDS} "
          f"interleaved rounds)", flush=True)
    return {"empty_ticks_per_second": n / engine, "empty_seconds": engine, "empty_bare_seconds": bare}


def bare_ma_seconds(ticks, repeats):
    """CPU seconds of one bare MA cross over `ticks`: the mean of `repeats` loops timed together."""
    started = time.thread_time()
    for _ in range(repeats):
        bare_ma_cross(ticks)
    return (time.thread_time() - started) / repeats


def ma_rounds(api, end, ticks, rounds, bare_seconds):
    """The MA cross against its bare loop: `rounds` turns of the engine run, the run stopped at its
    first tick and the bare loop (repeated to run `bare_seconds` at least), each its least CPU time.
    Interleaved, so that a noisy stretch of the machine falls on all three alike and the minimum of
    each finds a quiet turn of each. Returns engine seconds (less the load), bare seconds, the fill
    counts seen in the engine runs and the bare loop's."""
    bare_fills = bare_ma_cross(ticks)
    repeats = max(1, math.ceil(bare_seconds / max(bare_ma_seconds(ticks, 1), 1e-6)))
    engine, load, bare, fills = [], [], [], set()
    for _ in range(rounds):
        # Each turn starts from the same heap: the last run's cycles are not collected inside the next.
        gc.collect()
        seconds, result = run_backtest(TickMACross(), api, end, load=0.0)
        engine.append(seconds)
        fills.add(len(result.fills))
        del result
        gc.collect()
        load.append(load_once(api, end))
        gc.collect()
        bare.append(bare_ma_seconds(ticks, repeats))
    return min(engine) - min(load), min(bare), fills, bare_fills


def ma_case(api, end, ticks):
    """MA cross with market orders of one lot, against the bare loop."""
    engine_ma_s, bare, fills, bare_fills = ma_rounds(api, end, ticks, MA_RUNS, MA_BARE_SECONDS)
    agree = fills == {bare_fills}
    shown = "fills agree" if agree else f"FILLS DIFFER: {sorted(fills)} vs {bare_fills}"
    print(f"MA cross ({FAST}/{SLOW} ticks, one lot, {bare_fills:,} fills): Backtest {engine_ma_s:.3f} s, "
          f"bare loop {bare:.3f} s: {engine_ma_s / bare:.1f}x the bare loop (target <= {TARGET_MA_RATIO:g}x; "
          f"least of {MA_RUNS} interleaved rounds); {shown}", flush=True)
    return {"ma_ratio": engine_ma_s / bare, "ma_seconds": engine_ma_s, "ma_bare_seconds": bare,
            "ma_fills_agree": agree}


def fills_case(api, end):
    """MA cross under the quote model with 50 ms of entry and cancel latency against the trade model, same
    run: with market orders, and with limit orders that rest behind the queue and are moved."""
    figures = {}
    for label, strategy in (("", TickMACross), ("limit_", TickMACrossLimit)):
        seconds, net, fills = {}, {}, {}
        for model, latency in (("trade", 0.0), ("quote", (50.0, 50.0))):
            def once():
                took, result = run_backtest(strategy(), api, end, fills=model, latency=latency)
                net[model], fills[model] = result.positions.equity(), len(result.fills)
                return took

            seconds[model] = median_of(once)
        extra = seconds["quote"] / seconds["trade"] - 1
        kind = "limit orders" if label else "market orders"
        print(f"MA cross fills, {kind}: trade {seconds['trade']:.3f} s ({fills['trade']:,} fills, net "
              f"{net['trade']:,.0f}), quote with 50 ms entry and cancel latency {seconds['quote']:.3f} s "
              f"({fills['quote']:,} fills, net {net['quote']:,.0f}): {extra:+.0%} loop time (aim <= +20%)",
              flush=True)
        figures.update({f"fills_{label}trade_seconds": seconds["trade"], f"fills_{label}quote_seconds": seconds["quote"],
                        f"fills_{label}extra": extra})
    return figures


def order_case(api, end):
    """One order through the driver: placed, filled on the next tick, reports delivered, positions updated.
    The run placing orders and the one counting the same ticks without take turns, each its least time
    (the time to the first tick, the same for both, is in both)."""
    with_orders, without, orders = [], [], 0
    for _ in range(ROUNDS):
        strategy = EveryNth()
        with_orders.append(run_backtest(strategy, api, end, load=0.0)[0])
        orders = strategy.orders
        without.append(run_backtest(EveryNth(trade=False), api, end, load=0.0)[0])
    with_orders, without = min(with_orders), min(without)
    per_order = (with_orders - without) / orders
    print(f"one order (every {ORDER_EVERY} ticks, {orders:,} orders): {with_orders:.3f} s against "
          f"{without:.3f} s for the same strategy placing none: {per_order * 1e6:.1f} us per order "
          f"(target <= {TARGET_US_PER_ORDER:g} us; least of {ROUNDS} interleaved rounds)", flush=True)
    return {"us_per_order": per_order * 1e6}


def rules_case(api, end, n):
    """Every rule on against every rule off: the empty strategy per tick, the one-order strategy per order."""
    seconds = {}
    orders = []
    for rules in (False, True):
        seconds["empty", rules] = median_of(lambda: run_backtest(Empty(), api, end, rules=rules)[0])

        def engine_orders():
            strategy = EveryNth()
            took, result = run_backtest(strategy, api, end, rules=rules)
            orders.append((strategy.orders, sum(o["status"] == "Failed" for o in result.orders)))
            return took

        seconds["order", rules] = median_of(engine_orders)
    per_tick = (seconds["empty", True] - seconds["empty", False]) / n
    placed, refused = orders[-1]
    per_order = (seconds["order", True] - seconds["order", False] - per_tick * n) / placed
    print(f"market rules: empty strategy {seconds['empty', True]:.3f} s on, {seconds['empty', False]:.3f} s off: "
          f"{per_tick * 1e9:+.0f} ns per tick; one order every {ORDER_EVERY} ticks ({placed:,} orders, {refused:,} "
          f"refused) {seconds['order', True]:.3f} s on, {seconds['order', False]:.3f} s off: {per_order * 1e6:+.2f} us "
          f"per order", flush=True)
    return {"rules_ns_per_tick": per_tick * 1e9, "rules_us_per_order": per_order * 1e6}


def run_sample(api) -> None:
    from orva_mero_backtest.strategies import Sample

    instruments = [Instrument("2330", "Stock"), Instrument("TXFR1", "Future")]
    result = Backtest(Sample(), instruments, "2024-01-02", "2024-02-23", api=api, module_console="none").run()
    print(f"sample strategy: {result.ticks:,} ticks, {len(result.fills):,} fills, "
          f"{result.ticks_per_second:,.0f} ticks/s streaming", flush=True)


if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    main()
