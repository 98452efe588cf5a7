"""The backtest driver: streams ticks from a Ticker through a Matcher and a strategy.

Parts, each doing one thing: input checks (``parse_day``, ``check_instruments``, ``Backtest.__init__``),
the order mirror (``orders.OrderTracker``), the recording of prices and equity (``Recording``), the
per-tick loop (``tick_loop``, native, in ``modules.engine``) and the run around it
(``Backtest.run``: the modules' consoles, the feed, the hooks before and after the stream, clean-up).
"""

from __future__ import annotations

import functools
import gc
import os
import queue
import threading
import time
import weakref
from dataclasses import dataclass, field
from datetime import date as Date
from types import MethodType
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Union

from .constant import BASIC_INFO, FLAG
from .chunks import Prepared, memory_budget_mb as _memory_budget, plan_for_run
from .costs import CostSettings
from .data.cache_broker import CacheOnly, cache_file, check_cache, check_cache_file, data_root, using_data_dir
from .data.clock import parse_day, session_position, wall_clock_text
from .data.servable import RefusedTicks, ServableTicks, refused_rows
from .errors import BacktestError, DataError, OrderRejected, StrategyError, strategy_error
from .market_rules import MarketRules, RuleSwitches, build_rules, switches_of
from .modules.engine import engine as _engine
from .modules.positions.positions import Positions
from .orders import OrderTracker
from .samples import Samples
from .stats import DEFAULT_CAPITAL
from .stops import StopBook
from .strategy import Strategy, StrategyContext
from .utils import console as default_console, logger, logging_into, routing_threads

MARKETS = ("Stock", "Future")
# How orders fill: "quote" (the best bid/ask, their sizes and the queue ahead) or "trade" (the last
# trade's price and the tick's whole volume). See the README's "How fills are simulated".
FILL_MODELS = ("quote", "trade")
DEFAULT_FILLS = "quote"
# What moves a resting order up its queue under the quote model: trades at its price only, or also a
# share of the cancellations at its level (README: "How fills are simulated").
QUEUE_MODELS = ("conservative", "proportional")
DEFAULT_QUEUE = "conservative"
_EXIT = FLAG.exit_send_tick.value
_BACKFILL_DONE = FLAG.finish_backfilling.value
# A strategy that answers every report with another request would never let the tick go.
_MAX_REPORTS_PER_TICK = 100_000
# Waits for the feed are cut into slices this long, so Ctrl-C is seen between them.
_WAIT_SLICE = 0.2
# ORVA_MERO_BACKTEST_NATIVE_TAKE=0 moves every tick through the feed's queue (allow_next_tick, pop_tick).
_NATIVE_TAKE = os.environ.get("ORVA_MERO_BACKTEST_NATIVE_TAKE", "1") != "0"
# What was frozen when the package was loaded: the interpreter's own (3.12 starts with a few hundred
# static tuples there). Only a freeze beyond it is a caller's, which a run leaves alone.
_FROZEN_AT_IMPORT = gc.get_freeze_count()


@dataclass(frozen=True)
class Instrument:
    code: str
    market: str  # "Stock" or "Future"


@dataclass
class Progress:
    """Handed to the progress callback: where the stream is."""

    phase: str  # "backfill" or "main"
    ticks: int  # main-range ticks handled so far
    backfill_ticks: int
    timestamp: Optional[float]  # epoch seconds of the last tick
    fraction: float  # share of the main range's calendar time covered, 0..1


@dataclass
class BacktestResult:
    strategy: str
    instruments: List[Instrument]
    start: str
    end: str
    backfill_start: Optional[str]
    backfill_end: Optional[str]
    positions: Positions
    orders: List[Dict[str, Any]]
    ticks: int
    backfill_ticks: int
    load_seconds: float  # building the main range (cache reads, downloads)
    stream_seconds: float  # from the first tick to the end of the stream
    # (timestamp, price) per instrument and (timestamp, equity): a run gives them as Samples (compact,
    # read like lists of pairs); any sequence of pairs will do.
    prices: Dict[str, Sequence[Tuple[float, float]]] = field(default_factory=dict)
    equity: Sequence[Tuple[float, float]] = field(default_factory=list)
    capital: float = DEFAULT_CAPITAL  # starting capital (TWD) that returns and drawdown % refer to
    fill_model: str = "trade"  # how orders filled in the run ("quote" or "trade")
    latency_ms: float = 0.0  # its entry latency
    cancel_latency_ms: float = 0.0  # and that of its cancels and modifications
    queue_model: str = DEFAULT_QUEUE  # what moved resting orders up under the quote model
    refused_ticks: int = 0  # rows the broker sent that the feed cannot serve, dropped (each one in the error log)
    chunks: int = 1  # streaming runs of the feed the main range took (see chunks.py)

    @property
    def fills(self) -> List[Dict[str, Any]]:
        return self.positions.fills

    def statistics(self):
        """Performance statistics (``stats.Statistics``): drawdown, Sharpe, round trips, exposure, ..."""
        from .stats import compute

        return compute(self)

    def round_trips(self):
        """The closed round trips (``stats.RoundTrip``), paired FIFO per instrument."""
        from .stats import point_values, round_trips

        return round_trips(self.fills, point_values(self))

    @property
    def fill_model_text(self) -> str:
        """How the run's orders filled (the README's "How fills are simulated"), in a few words."""
        text = f"{self.fill_model} model, entry latency {self.latency_ms:g} ms"
        if self.fill_model == "quote" and self.queue_model != DEFAULT_QUEUE:
            text = f"{self.fill_model} model ({self.queue_model} queue), entry latency {self.latency_ms:g} ms"
        return text + (f", cancel latency {self.cancel_latency_ms:g} ms" if self.cancel_latency_ms else "")

    @property
    def ticks_per_second(self) -> float:
        total = self.ticks + self.backfill_ticks
        return total / self.stream_seconds if self.stream_seconds > 0 else 0.0


# --- the time convention of tick timestamps (see data.clock) ---------------------------------------


def session_fraction(timestamp: float, first_day: Date, last_day: Date) -> float:
    """Share of the days first_day..last_day covered at ``timestamp``: whole days passed plus the share
    of the day session (08:45-13:45) passed, in 0..1."""
    range_days = (last_day - first_day).days + 1
    return min(1.0, max(0.0, session_position(timestamp, first_day) / range_days))


def tick_time_text(timestamp: float) -> str:
    """A tick's timestamp as the user reads it (Taipei wall clock)."""
    return wall_clock_text(timestamp, 0)


# --- input checks ----------------------------------------------------------------------------------


def check_instruments(api: Any, instruments: Sequence[Instrument]) -> None:
    """Refuses instruments the broker does not list, before any tick is fetched."""
    for inst in instruments:
        table = api.Contracts.Stocks if inst.market == "Stock" else api.Contracts.Futures
        try:
            contract = table[inst.code]
        except Exception as exc:  # the SDK's own lookup error, whatever its type
            raise BacktestError(f"unknown instrument {inst.code} ({inst.market}): {exc}") from None
        if contract is None:
            raise BacktestError(f"unknown instrument {inst.code} ({inst.market}): the broker lists no such code")


def check_markets(instruments: Sequence[Instrument]) -> Dict[str, str]:
    """Instrument code -> market, refusing empty, unknown or repeated entries."""
    if not instruments:
        raise BacktestError("no instruments given")
    markets: Dict[str, str] = {}
    for inst in instruments:
        if not isinstance(inst.code, str) or not inst.code:
            raise BacktestError(f"instrument code must be a non-empty text, got {inst.code!r}")
        if inst.market not in MARKETS:
            raise BacktestError(f"market of {inst.code} must be Stock or Future, got {inst.market!r}")
        if inst.code in markets:
            raise BacktestError(f"instrument {inst.code} is listed twice")
        markets[inst.code] = inst.market
    return markets


def check_ranges(start: Any, end: Any, backfill_start: Any, backfill_end: Any) -> Tuple[Date, Date]:
    """The main range's first and last day; the backfill range must lie before it."""
    first, last = parse_day(start, "start date"), parse_day(end, "end date")
    if last < first:
        raise BacktestError(f"end date {end} is before start date {start}")
    if (backfill_start is None) != (backfill_end is None):
        raise BacktestError("give both backfill dates or neither")
    if backfill_start is not None:
        bf_first = parse_day(backfill_start, "backfill start date")
        bf_last = parse_day(backfill_end, "backfill end date")
        if bf_last < bf_first:
            raise BacktestError(f"backfill end date {backfill_end} is before backfill start date {backfill_start}")
        if bf_last >= first:
            raise BacktestError(f"the backfill range must end before the start date {start}")
    return first, last


# --- the modules' console ------------------------------------------------------------------------


class _FilteredConsole:
    """Stands in for the modules' console: passes on failures ("[red]" lines) only, or nothing."""

    # Red lines of the tick feed that announce no failure: a cache miss and the end of an empty run. A
    # cache file that is there but cannot be read ("[red]檔案 ... 無法讀取") is a failure and is shown.
    NOT_FAILURES = ("[red]傳送 Tick 資料結束",)
    CACHE_MISS = ("[red]檔案 ", " 不存在, ")

    def __init__(self, target, keep_errors: bool) -> None:
        self._target = target
        self._keep_errors = keep_errors
        # Lines starting with none of these are dropped: the native modules then skip making them.
        self.kept_prefixes = ("[red]",) if keep_errors else ()
        self._shown: set = set()  # a failure repeated by each retry is shown once

    def print(self, *args: Any, **kwargs: Any) -> None:
        if not self._keep_errors or not args or not isinstance(args[0], str):
            return
        text = args[0]
        if text.startswith(self.CACHE_MISS[0]) and self.CACHE_MISS[1] in text:
            return
        if text.startswith("[red]") and not text.startswith(self.NOT_FAILURES) and text not in self._shown:
            self._shown.add(text)
            self._target.print(*args, **kwargs)


class _ModuleConsoles:
    """The modules' consoles while runs are under way: the caller's are saved when the first run begins
    and put back when the last one ends, so runs on several threads never leave a filtered one behind."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._active = 0
        self._saved: Dict[Any, Any] = {}

    def enter(self, modules: Sequence[Any], console: Any) -> None:
        with self._lock:
            if self._active == 0:
                self._saved = {m: m.console for m in modules}
            self._active += 1
            for module in modules:
                module.console = console if console is not None else self._saved.get(module, module.console)

    def leave(self, modules: Sequence[Any]) -> None:
        with self._lock:
            self._active -= 1
            if self._active == 0:
                for module in modules:
                    module.console = self._saved.get(module, module.console)
                self._saved = {}


_consoles = _ModuleConsoles()


# --- recording of prices and equity --------------------------------------------------------------


class Recording:
    """Prices and equity for the plot: a series gets a point when ``sample`` seconds of tick time have
    passed since its last one; equity also after every fill; each series ends at the last main tick.

    The loop appends tuples to ``prices[code]`` and ``equity``; ``flush`` moves them into the compact
    ``Samples`` of the result (``kept_prices``, ``kept_equity``), so that a long run holds 16 bytes a
    sample rather than a tuple's 110. It is called every ``FLUSH_TICKS`` main ticks (at the first
    progress call after them), at the end of each chunk and at the end."""

    # Tuples held at most between flushes: about 2 samples a tick at worst, so a few MB.
    FLUSH_TICKS = 16_384

    def __init__(self, codes: Sequence[str], positions: Positions, sample: float) -> None:
        self.sample = sample
        self.prices: Dict[str, List[Tuple[float, float]]] = {code: [] for code in codes}
        self.last_sample: Dict[str, float] = {code: float("-inf") for code in codes}
        self.last_main_ts: Dict[str, float] = {}  # code -> timestamp of its last main tick
        self.equity: List[Tuple[float, float]] = []
        self.last_equity_ts = float("-inf")
        self.fills = positions.fills
        self.fills_seen = len(self.fills)
        self.equity_of = positions.equity
        self.kept_prices: Dict[str, Samples] = {code: Samples() for code in codes}
        self.kept_equity = Samples()
        self.flushed_at = 0  # main ticks when last flushed

    def flush(self, ticks: int = 0) -> None:
        """Moves the samples the loop appended into the compact series (the lists stay, emptied:
        the loop holds them)."""
        self.flushed_at = ticks
        for code, pending in self.prices.items():
            if pending:
                self.kept_prices[code].take(pending)
                pending.clear()
        if self.equity:
            self.kept_equity.take(self.equity)
            self.equity.clear()

    def finish(self, last_close: Dict[str, float], timestamp: Optional[float]) -> None:
        self.flush(self.flushed_at)
        for code, ts in self.last_main_ts.items():
            series = self.kept_prices[code]
            if not series or series[-1][0] != ts:
                series.append((ts, last_close[code]))
        equity = self.kept_equity
        if timestamp is not None and (not equity or equity[-1][0] != timestamp):
            equity.append((timestamp, self.equity_of()))


# --- the per-tick loop ---------------------------------------------------------------------------


class TickStream:
    """One run's stream: the handles the per-tick loop works with and what it hands back to Python.

    The loop (``tick_loop``, modules/engine/loop.cpp) takes each item of the feed; a
    main-range tick is matched, its reports delivered, the strategy's ``on_tick`` called, the reports
    of that delivered, prices and equity sampled, progress reported every ``every`` ticks and the next
    tick allowed (``advance``: the feed's ``take_next_tick``, which often answers that tick at once). Everything else (status items, backfill ticks, the end of the warm-up, failures,
    progress) goes through the methods below.

    The one seam into other objects: the feed's ``tick_queue`` and the exchange's ``response_queue``
    are ``queue.Queue`` objects whose ``queue`` deque is read (never changed) to tell whether an item
    waits. The driver is their only consumer, so an item seen there is still there when taken, and the
    native pop is then used; a waiting get only when the next tick has not been released yet.
    Likewise the exchange's ``pending_orders`` list (``book``, bound once: the exchange keeps it for its
    life) is read to skip ``match_deal`` when it has nothing to do (an empty list, and a tick of the
    types it takes: then it would only check them). The context's ``now`` and ``warming_up`` are
    written and read in its ``__dict__`` when its ``_plan`` says nothing in its class stands in front.
    """

    calls_on_tick = True  # False: on_tick is the base class's no-op, not called for main-range ticks

    def __init__(self, backtest: "Backtest", recording: Recording) -> None:
        matcher, strategy = backtest.matcher, backtest.strategy
        self.backtest = backtest
        self.follow(backtest.ticker)
        self.matcher = matcher
        self.set_tick = matcher.set_current_tick
        self.match = matcher.match_deal
        self.book = matcher.pending_orders  # the exchange keeps it for its life, as the order tracker does
        self.reports = matcher.response_queue.queue  # filled only on this thread (see Backtest)
        self.on_tick = strategy.on_tick
        self.calls_on_tick = calls_on_tick(strategy)
        self.strategy = strategy
        self.pop_report = matcher.pop_response
        self.track = backtest._orders.track
        self.stops = backtest._stops
        self.rules = backtest._rules  # the exchange's rules (market_rules), or None: none kept
        self.max_reports = _MAX_REPORTS_PER_TICK
        self.ctx = backtest.ctx
        # None: the exchange's own pass (match_deal), which is the trade model without latency.
        self.fill_model = None
        if backtest.fills != "trade" or backtest.latency_ms:
            self.fill_model = _engine.fill_model(matcher, backtest.fills, backtest.latency_ms / 1000.0,
                                                 backtest.queue)
        # Cancels and modifications on their way (cancel latency): the loop lands them, while any wait,
        # before it matches a tick.
        self.requests = backtest._orders.requests
        self.land = backtest._orders.land
        self.last_close = backtest._last_close
        self.recording = recording
        self.every = backtest.progress_every
        self.stall_timeout = backtest.stall_timeout
        self.ticks = 0
        self.backfill_ticks = 0
        self.timestamp: Optional[float] = None

    def follow(self, ticker: Any) -> None:
        """Takes the items of ``ticker``'s feed from now on (each chunk of a long range has its own)."""
        self.pending = ticker.tick_queue.queue
        self.pop = ticker.pop_tick
        self.allow = ticker.allow_next_tick
        self.advance = next_tick_taker(ticker, self.backtest._ticker_module)
        self._get = _getter(ticker.tick_queue)

    def advance(self) -> Optional[Dict[str, Any]]:
        """Done with a tick: allows the next one; the next item when already taken (else None).
        Replaced per run by ``next_tick_taker``."""
        self.allow()
        return None

    def wait(self) -> Dict[str, Any]:
        """The next item once the feed puts it: bounded by the stall timeout, in slices Ctrl-C can end."""
        deadline = time.monotonic() + self.stall_timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise BacktestError(
                    f"the tick feed sent nothing for {self.stall_timeout:g} seconds; see the error log"
                )
            try:
                return self._get(timeout=min(_WAIT_SLICE, left))
            except queue.Empty:
                pass

    def other(self, item: Dict[str, Any]) -> bool:
        """A status item or a backfill tick; True when the stream has ended."""
        bt, ctx = self.backtest, self.ctx
        if "orva_status" in item:
            # Status dicts take no permit: nothing to release.
            status = item["orva_status"]
            if status == _EXIT:
                return True
            if status == _BACKFILL_DONE and ctx.warming_up:
                bt._end_backfill()
            return False
        bt._tick = item
        self.timestamp = ctx.now = item["timestamp"]
        self.last_close[item["code"]] = item["close"]
        self.backfill_ticks += 1
        bt._call("on_tick", self.on_tick, item)
        if self.backfill_ticks % self.every == 0:
            self.progress()
        self.allow()
        return False

    def begin_main(self, item: Dict[str, Any]) -> None:
        """The first main-range tick while still warming up: the sender leaves out the finish status
        when the backfill ended before it started."""
        self.backtest._tick = item
        self.backtest._end_backfill()

    def deliver(self, item: Dict[str, Any]) -> None:
        self.backtest._tick = item
        self.backtest._deliver_reports()

    def too_many_reports(self) -> None:
        raise self.backtest._too_many_reports()

    def failed(self, hook: str, exc: BaseException, item: Dict[str, Any]) -> BaseException:
        """What to raise for an exception of a strategy hook."""
        if isinstance(exc, (BacktestError, KeyboardInterrupt)):
            return exc
        self.backtest._tick = item
        error = self.backtest._strategy_failed(hook, exc)
        error.__cause__ = exc
        return error

    def progress(self, done: bool = False) -> None:
        recording = self.recording
        if self.ticks - recording.flushed_at >= recording.FLUSH_TICKS:
            recording.flush(self.ticks)
        bt = self.backtest
        if bt.on_progress is None:
            return
        warming = bt.ctx.warming_up
        covered = 0.0
        if done:
            covered = 1.0
        elif self.timestamp is not None and not warming:
            covered = session_fraction(self.timestamp, *bt._range)
        phase = "backfill" if warming else "main"
        bt.on_progress(Progress(phase, self.ticks, self.backfill_ticks, self.timestamp, covered))


_BASE_ON_TICK = Strategy.on_tick  # the base class's no-op, as the package defines it


def calls_on_tick(strategy: Any) -> bool:
    """Whether the loop calls ``strategy.on_tick`` for main-range ticks: False only while it is the base
    class's own no-op, found as Python would find it (the instance's attributes, then its class and
    bases, with the default attribute access). Decided once per run."""
    if type(strategy).__getattribute__ is not object.__getattribute__:
        return True
    # Looked up, not read from the instance's __dict__: asking for that dict makes CPython 3.11+ keep
    # the strategy's attributes in a real dict from then on, and every `self.x` of its hooks slower.
    found = object.__getattribute__(strategy, "on_tick")
    return not (isinstance(found, MethodType) and found.__self__ is strategy and found.__func__ is _BASE_ON_TICK)


def _getter(q: Any) -> Callable[..., Any]:
    """``q.get(timeout=...)`` for the feed's tick queue, waited on natively: ``queue.Queue.get`` enters its
    Condition in Python code, where a Ctrl-C that comes while the feed's thread holds the queue's mutex
    is raised just after this thread took it, before anything can give it back. The mutex then stays
    held, and the run's clean-up (and the feed) wait for it for good."""
    wait_item = _engine.wait_item

    def get(timeout: float) -> Any:
        item = wait_item(q, timeout)
        if item is None:
            raise queue.Empty
        return item

    return get


def _own_method(ticker: Any, module: Any, name: str) -> bool:
    """Whether ``ticker.<name>`` is the feed class's own native method (not replaced anywhere)."""
    if name in getattr(ticker, "__dict__", {}):
        return False
    method = type(ticker).__dict__.get(name)
    func = getattr(method, "__func__", None)
    return (
        type(method).__name__ == "instancemethod"
        and type(func).__name__ == "builtin_function_or_method"
        and getattr(func, "__module__", None) == module.__name__
        and getattr(func, "__name__", None) == name
    )


def next_tick_taker(ticker: Any, module: Any) -> Callable[[], Optional[Dict[str, Any]]]:
    """What the loop calls when done with a tick: ``allow_next_tick()``, answering the next item when
    it is already there (None: take it from the queue as usual). With the feed's own methods in place
    that is the feed's ``take_next_tick`` (one native call, the tick handed over without a queue round
    trip); a replaced ``allow_next_tick`` or ``pop_tick`` is called as before."""
    take = getattr(module, "take_next_tick", None)
    if (
        _NATIVE_TAKE
        and take is not None
        and type(ticker) is getattr(module, "Ticker", None)
        and _own_method(ticker, module, "allow_next_tick")
        and _own_method(ticker, module, "pop_tick")
    ):
        return functools.partial(take, ticker)
    allow = ticker.allow_next_tick

    def advance() -> None:
        allow()
        return None

    return advance


# The per-tick loop (modules/engine/loop.cpp): tick_loop(stream) takes the stream's items until the
# feed's exit status. A module attribute, so that a test may run a model of it in its place.
tick_loop = _engine.tick_loop


# Cancel latency (ms) when only the entry latency is given: no figure is assumed for a connection.
DEFAULT_CANCEL_LATENCY_MS = 0.0


def latencies(latency: Any) -> Tuple[float, float]:
    """(entry, cancel) milliseconds from ``latency``: one number (the entry latency; cancels with the
    default) or a pair (entry, cancel). BacktestError for anything else."""
    pair = tuple(latency) if isinstance(latency, (tuple, list)) else (latency, DEFAULT_CANCEL_LATENCY_MS)
    if len(pair) != 2 or any(
        isinstance(v, bool) or not isinstance(v, (int, float)) or not 0 <= v < float("inf") for v in pair
    ):
        raise BacktestError(
            f"latency must be a number of milliseconds, 0 or more, or a pair (entry, cancel) of them, got {latency!r}"
        )
    return float(pair[0]), float(pair[1])


# Capital (TWD) a run accepts: below 1 TWD or past 10^15 the returns and ratios it divides stop being
# figures anyone can read (5e-324 makes them infinite).
CAPITAL_RANGE = (1.0, 1e15)

# --- the run -------------------------------------------------------------------------------------


class Backtest:
    """One backtest: a strategy over the ticks of some instruments, from ``start`` to ``end``.

        result = Backtest(MyStrategy(qty=2), [Instrument("TXFR1", "Future")], "2024-01-02", "2024-01-05").run()
        result.positions.summary(); result.statistics(); result.orders; result.fills

    - ``strategy``: an instance of a ``Strategy`` subclass.
    - ``instruments``: ``Instrument(code, market)`` with market "Stock" or "Future".
    - ``start``, ``end``: the days traded ("YYYY-MM-DD", both included).
    - ``backfill_start``, ``backfill_end``: warm-up days before ``start``, streamed first; the
      strategy sees their ticks with ``ctx.warming_up`` true and cannot place orders.
    - ``api``: the broker's API object the ticks come from (default: the offline simulated broker).
    - ``costs``: commission, tax and slippage (``costs.CostSettings``; default: the usual Taiwan rates).
    - ``on_progress``: called every ``progress_every`` ticks with a ``Progress``.
    - ``module_console``: what the exchange and the tick feed print: "all", "errors" or "none".
    - ``stall_timeout``: seconds without a tick from the feed before the run fails.
    - ``sample_seconds``: tick-time spacing of the price and equity samples of the report.
    - ``capital``: the starting capital the statistics are relative to (TWD).
    - ``data_dir``: the tick cache's folder (default: the package's data folder).
    - ``fills``: the fill model, "quote" (default) or "trade" (README: "How fills are simulated").
    - ``latency``: milliseconds of market time, the entry latency or a pair (entry, cancel); a
      cancel latency above 0 makes ``ctx.cancel_order`` / ``ctx.modify_order`` send requests that
      the exchange answers later (True: sent).
    - ``queue``: under the quote model, "conservative" (default: only trades at its price move a
      resting order up its queue) or "proportional" (a share of the cancellations at its level too).
    - ``rules``: the Taiwanese exchanges' rules the run keeps (market_rules; README "Taiwan market
      rules"): every one by default; a ``RuleSwitches``, the names of rules to turn off
      (``rules=["sessions"]``, ``"all"``), or False for none. A refused order's trade id reads
      status "Failed" in ``ctx.order(trade_id)`` at once.
    - ``memory_budget_mb``: the feed's memory for ticks (default $ORVA_MERO_BACKTEST_MEMORY_BUDGET_MB,
      else 2048): a longer range is streamed in chunks of trading days (``chunks.py``), same results.

    ``run()`` returns a ``BacktestResult``. An exception in the strategy's code ends the run with a
    ``StrategyError`` whose message names the hook, the tick and the line of the strategy's file, and
    whose ``__cause__`` is the original exception. Runs are deterministic: an order placed while a tick
    is handled meets the next tick of its instrument, every time.
    """

    # Order requests are applied synchronously on the driver's thread through the exchange's public
    # add_order / modify_order / cancel_order rather than its queued intake, so which tick first meets
    # an order never depends on thread scheduling, and every report is on the exchange's report queue
    # when the driver drains it.

    def __init__(
        self,
        strategy: Strategy,
        instruments: Sequence[Instrument],
        start: str,
        end: str,
        backfill_start: Optional[str] = None,
        backfill_end: Optional[str] = None,
        api: Any = None,
        costs: Optional[CostSettings] = None,
        on_progress: Optional[Callable[[Progress], None]] = None,
        progress_every: int = 1000,
        module_console: str = "errors",
        stall_timeout: float = 600.0,
        sample_seconds: float = 10.0,
        capital: float = DEFAULT_CAPITAL,
        data_dir: Optional[str] = None,
        allow_partial_backfill: bool = False,
        fills: str = DEFAULT_FILLS,
        latency: Union[float, Tuple[float, float]] = 0.0,
        queue: str = DEFAULT_QUEUE,
        rules: Any = None,
        memory_budget_mb: Optional[float] = None,
    ) -> None:
        if not isinstance(strategy, Strategy):
            raise BacktestError(f"strategy must be a Strategy, got {type(strategy).__name__}")
        self.strategy = strategy
        self.instruments = [Instrument(i.code, i.market) for i in instruments]
        self.markets: Dict[str, str] = check_markets(self.instruments)
        self.start, self.end = start, end
        self.backfill_start, self.backfill_end = backfill_start, backfill_end
        self._range = check_ranges(start, end, backfill_start, backfill_end)

        if api is None:
            from .sim_broker import SimulatedBroker

            api = SimulatedBroker()
        self.api = api
        check_instruments(api, self.instruments)
        # The tick cache of this run: data_dir (default: the package's), or the broker's own root below it.
        self.data_dir = os.path.abspath(data_dir or BASIC_INFO.data_dir)
        self.data_root = data_root(api, self.data_dir)
        if isinstance(api, CacheOnly):
            self.api = api = api.bound_to(self.data_root)
        ranges = [self._range]
        if backfill_start is not None:
            ranges.append((parse_day(backfill_start, "backfill start date"), parse_day(backfill_end, "backfill end date")))
        try:
            check_cache(api, self.data_root, [i.code for i in self.instruments], ranges)
        except DataError as exc:
            raise BacktestError(str(exc)) from None

        if module_console not in ("all", "errors", "none"):
            raise BacktestError("module_console must be 'all', 'errors' or 'none'")
        self.module_console = module_console
        # A warm-up that failed part-way fails the run unless the caller accepts an incomplete one.
        self.allow_partial_backfill = bool(allow_partial_backfill)
        self.backfill_failure: Optional[str] = None
        self.positions = Positions(costs)
        self.on_progress = on_progress
        self.progress_every = max(1, int(progress_every))
        self.stall_timeout = stall_timeout
        self.sample_seconds = sample_seconds
        low, high = CAPITAL_RANGE
        if isinstance(capital, bool) or not isinstance(capital, (int, float)) or not low <= capital <= high:
            raise BacktestError(f"capital must be a number from {low:,.0f} to {high:,.0f} TWD, got {capital!r}")
        self.capital = float(capital)
        if fills not in FILL_MODELS:
            raise BacktestError(f"fills must be one of {', '.join(FILL_MODELS)}, got {fills!r}")
        self.fills = fills
        if queue not in QUEUE_MODELS:
            raise BacktestError(f"queue must be one of {', '.join(QUEUE_MODELS)}, got {queue!r}")
        self.queue = queue
        # Milliseconds of market time. Entry: an order takes part from the first tick of its instrument
        # at or after its placing time plus this. Cancel: a cancel or modification takes effect at the
        # first tick of the order's instrument at or after the time it was sent plus this.
        self.latency_ms, self.cancel_latency_ms = latencies(latency)
        try:
            self.rules: RuleSwitches = switches_of(rules)
        except ValueError as exc:
            raise BacktestError(str(exc)) from None
        self.memory_budget_mb = _memory_budget(memory_budget_mb)
        self.ctx = StrategyContext(self)

        self.matcher: Any = None
        self.ticker: Any = None
        self._orders: Optional[OrderTracker] = None
        self._stops: Optional[StopBook] = None
        self._rules: Optional[MarketRules] = None
        self._last_close: Dict[str, float] = {}
        self._tick: Optional[Dict[str, Any]] = None
        self._ticker_module: Any = None
        self._refused = RefusedTicks(lambda: default_console, logger)

    # --- used by the strategy context -------------------------------------------------------------

    @property
    def orders(self) -> Dict[str, Dict[str, Any]]:
        """trade id -> the driver's record of each order placed in the current (or last) run."""
        return self._orders.orders if self._orders is not None else {}

    def _reads_own_markets(self) -> bool:
        """Whether ``market_of`` and ``markets`` are this class's own, so the context may read
        ``markets`` itself instead of calling ``market_of`` for every order."""
        cls = type(self)
        return (
            getattr(cls, "market_of", None) is Backtest.market_of
            and "market_of" not in vars(self)
            and not hasattr(cls, "markets")
            and cls.__getattribute__ is object.__getattribute__
        )

    def market_of(self, code: str) -> str:
        """The market of an instrument of this backtest; OrderRejected for any other code. A subclass
        may override it: whether it did is looked at when a run starts, and the context then calls it
        for every order (otherwise it reads ``markets`` itself)."""
        try:
            return self.markets[code]
        except (KeyError, TypeError):
            raise OrderRejected(f"{code!r} is not an instrument of this backtest") from None

    def last_price(self, code: str) -> Optional[float]:
        return self._last_close.get(code)

    def open_orders(self, code: Optional[str] = None) -> List[Dict[str, Any]]:
        return self._orders.open_orders(code) if self._orders is not None else []

    def submit_modify(self, trade_id: str, qty: Optional[int], price: Optional[float]) -> bool:
        return self._order_tracker().modify(trade_id, qty, price)

    def submit_cancel(self, trade_id: str) -> bool:
        return self._order_tracker().cancel(trade_id)

    def _order_tracker(self) -> OrderTracker:
        if self._orders is None:
            raise OrderRejected("orders are accepted only while the backtest runs")
        return self._orders

    # --- hooks and reports ------------------------------------------------------------------------

    def _call(self, hook: str, method: Callable[..., Any], *args: Any) -> None:
        """Calls a strategy hook. Any exception of the strategy, SystemExit and other BaseExceptions
        included, becomes a StrategyError; Ctrl-C stays KeyboardInterrupt."""
        try:
            method(self.ctx, *args)
        except (BacktestError, KeyboardInterrupt):
            raise
        except BaseException as exc:
            raise self._strategy_failed(hook, exc) from exc

    def _strategy_failed(self, hook: str, exc: BaseException) -> StrategyError:
        where = ""
        if self._tick is not None:
            where = f" at {self._tick['code']} {tick_time_text(self._tick['timestamp'])}"
        return strategy_error(f"strategy {self.strategy.name} raised in {hook}{where}", exc)

    def _deliver_reports(self) -> int:
        waiting = self.matcher.response_queue.queue  # the seam described in TickStream
        pop = self.matcher.pop_response
        strategy, track, ctx = self.strategy, self._orders.track, self.ctx
        delivered = 0
        # Only a queue seen non-empty is popped: pop_response waits for good on an empty one.
        while waiting:
            batch = []
            while waiting:
                batch.append(pop())
            delivered += len(batch)
            if delivered > _MAX_REPORTS_PER_TICK:
                raise self._too_many_reports()
            # Track the whole batch first, so every hook sees the orders as the exchange has them now.
            kinds = []
            for report in batch:
                kinds.append(track(report))
            if self._stops is not None and self._stops.watched:
                self._stops.sync()
            for report, is_deal in zip(batch, kinds):
                # What _call does, without its frame (a hook call per report).
                try:
                    if is_deal:
                        strategy.on_deal(ctx, report)
                    else:
                        strategy.on_order(ctx, report)
                except (BacktestError, KeyboardInterrupt):
                    raise
                except BaseException as exc:
                    raise self._strategy_failed("on_deal" if is_deal else "on_order", exc) from exc
        return delivered

    def _too_many_reports(self) -> StrategyError:
        return StrategyError(f"strategy {self.strategy.name} keeps answering reports with new requests")

    def _end_backfill(self) -> None:
        self.ctx.warming_up = False
        self._check_backfill()
        self._call("on_backfill_end", self.strategy.on_backfill_end)
        self._deliver_reports()

    # --- the run ----------------------------------------------------------------------------------

    def run(self) -> BacktestResult:
        from .modules.matcher import matcher as matcher_module
        from .modules.ticker import ticker as ticker_module

        modules = (matcher_module, ticker_module)
        quiet = None
        if self.module_console != "all":
            quiet = _FilteredConsole(default_console, keep_errors=self.module_console == "errors")
        _consoles.enter(modules, quiet)
        # The objects made before the run are left out of its full garbage collections, which would
        # otherwise scan them all again each time; a freeze the caller made is left alone.
        froze = gc.get_freeze_count() <= _FROZEN_AT_IMPORT
        if froze:
            gc.freeze()
        # A failed warm-up ends its feed thread with the error, which the thread runtime would print as
        # a traceback: the feed's red line and the run's own outcome already say it.
        previous_hook = threading.excepthook

        def feed_thread_hook(args: Any) -> None:
            error_of = getattr(ticker_module, "backfill_error", None)
            if self.ticker is not None and error_of is not None and args.exc_value is not None \
                    and args.exc_value is error_of(self.ticker):
                return
            previous_hook(args)

        threading.excepthook = feed_thread_hook
        try:
            self.matcher = matcher_module.Matcher(self.positions)
            try:
                # The error log of this run (this thread's records and its feed's) is in its own data
                # directory, whatever BASIC_INFO.data_dir says and whatever other runs do meanwhile.
                with logging_into(self.data_dir), routing_threads(self.data_dir, self._feed_threads):
                    self._refused = RefusedTicks(lambda: ticker_module.console, logger)
                    self.ticker = _ticker_reading(ticker_module, self.api, self.data_root, self._refused,
                                                  self.data_dir)
                    # The strategy's ticks carry the row's best quote (bid_price, bid_volume, ask_price,
                    # ask_volume next to tick_type); pop_tick's own ticks keep their eight keys.
                    ticker_module.quote_ticks(self.ticker, True)
                    self._ticker_module = ticker_module
                    self._orders = OrderTracker(self.matcher, self.cancel_latency_ms / 1000.0, self.ctx)
                    self._stops = StopBook(self.ctx, self._orders)
                    self._rules = build_rules(self, self.rules)
                    self.ctx._place = self._orders.place if self._rules is None else self._rules.place
                    self.ctx._prepare()  # what the strategy replaced, looked at once per run
                    return self._run(ticker_module)
            finally:
                # Ends the exchange's receiver thread (a process running many backtests keeps a flat
                # thread count).
                self.matcher.close()
        finally:
            if threading.excepthook is feed_thread_hook:
                threading.excepthook = previous_hook
            if froze:
                gc.unfreeze()
            _consoles.leave(modules)

    def _run(self, ticker_module: Any) -> BacktestResult:
        strategy, ctx = self.strategy, self.ctx
        ctx.warming_up = self.backfill_start is not None
        self._call("on_start", strategy.on_start)
        self._deliver_reports()

        load_started = time.perf_counter()
        chunks = plan_for_run(self.data_root, list(self.markets), *self._range, self.memory_budget_mb)
        feed_threads = self._start_feed(ticker_module, *chunks[0])
        load_seconds = time.perf_counter() - load_started

        recording = Recording(list(self.markets), self.positions, self.sample_seconds)
        stream = TickStream(self, recording)
        stream_started = time.perf_counter()
        stream_ended = False
        prepared: Optional[Prepared] = None
        waited = 0.0
        try:
            for index in range(len(chunks)):
                if index + 1 < len(chunks):  # built while this chunk streams
                    prepared = self._prepare_chunk(ticker_module, chunks[index + 1])
                tick_loop(stream)
                if prepared is None:
                    break
                # The chunk's feed has ended: checked and closed as a run's last would be.
                recording.flush(stream.ticks)
                self._check_feed(ticker_module)
                if ctx.warming_up:
                    self._end_backfill()
                self._end_feed(ticker_module)
                _join(feed_threads)
                wait_started = time.perf_counter()
                self.ticker, feed_threads = prepared.take()
                prepared = None
                waited += time.perf_counter() - wait_started
                stream.follow(self.ticker)
            stream_ended = True
            stream_seconds = time.perf_counter() - stream_started - waited
            load_seconds += waited
            self._check_feed(ticker_module)
            if ctx.warming_up:
                self._end_backfill()
            self._tick = None
            self._call("on_finish", strategy.on_finish)
            self._deliver_reports()
        except BaseException:
            if prepared is not None:
                prepared.discard()
            if not stream_ended:
                self.ticker.stop_send_ticks()
            # The sender may be waiting for a permit that never comes, a backfill for its next one:
            # end the run so that their threads end (a process running many backtests stays flat).
            self._end_feed(ticker_module)
            _join(feed_threads)
            raise
        self._end_feed(ticker_module)  # a backfill still streaming behind an empty main range
        _join(feed_threads)
        recording.finish(self._last_close, stream.timestamp)
        stream.progress(done=True)
        return BacktestResult(
            strategy=self.strategy.name,
            instruments=list(self.instruments),
            start=self.start,
            end=self.end,
            backfill_start=self.backfill_start,
            backfill_end=self.backfill_end,
            positions=self.positions,
            orders=self._orders.hand_over(),
            ticks=stream.ticks,
            backfill_ticks=stream.backfill_ticks,
            load_seconds=load_seconds,
            stream_seconds=stream_seconds,
            prices=recording.kept_prices,
            equity=recording.kept_equity,
            capital=self.capital,
            fill_model=self.fills,
            latency_ms=self.latency_ms,
            cancel_latency_ms=self.cancel_latency_ms,
            queue_model=self.queue,
            refused_ticks=self._refused.count,
            chunks=len(chunks),
        )

    def _feed_threads(self) -> Sequence[threading.Thread]:
        module, ticker = self._ticker_module, self.ticker
        return module.feed_threads(ticker) if module is not None and ticker is not None else ()

    def _start_feed(self, ticker_module: Any, first: str, last: str) -> List[threading.Thread]:
        """Starts the feed of the first chunk, with the warm-up; its threads are joined at its end."""
        return self._send(ticker_module, self.ticker, first, last, self.backfill_start, self.backfill_end)

    def _send(self, ticker_module: Any, ticker: Any, first: str, last: str, *backfill: Optional[str]) -> List[threading.Thread]:
        codes = [{"code": i.code, "market": i.market} for i in self.instruments]
        try:
            ticker.send_ticks(codes, first, last, *backfill)
        except Exception as exc:
            raise BacktestError(f"could not load the ticks of {first} to {last}: {exc}") from exc
        return ticker_module.feed_threads(ticker)

    def _prepare_chunk(self, ticker_module: Any, chunk: Tuple[str, str]) -> Prepared:
        """A later chunk's own feed, started on a thread of its own (in place for a stand-in feed
        class, which is made under the process-wide data directory)."""

        def start_feed() -> Tuple[Any, List[threading.Thread]]:
            ticker = _ticker_reading(ticker_module, self.api, self.data_root, self._refused, self.data_dir)
            ticker_module.quote_ticks(ticker, True)
            return ticker, self._send(ticker_module, ticker, chunk[0], chunk[1], None, None)

        def end_feed(ticker: Any) -> None:
            ticker.stop_send_ticks()
            end = getattr(ticker_module, "end_feed", None)
            if end is not None:
                end(ticker)

        return Prepared(start_feed, end_feed, background=isinstance(ticker_module.Ticker, type))

    def _end_feed(self, ticker_module: Any) -> None:
        end_feed = getattr(ticker_module, "end_feed", None)
        if end_feed is not None and self.ticker is not None:
            end_feed(self.ticker)

    def _check_backfill(self) -> None:
        """A warm-up the feed cut short (its red line says why) fails the run, unless allowed."""
        error_of = getattr(self._ticker_module, "backfill_error", None)
        exc = error_of(self.ticker) if error_of is not None else None
        if exc is None:
            return
        text = f"{type(exc).__name__}: {exc}" if str(exc) else type(exc).__name__
        self.backfill_failure = (
            f"the warm-up ({self.backfill_start} to {self.backfill_end}) failed part-way: {' '.join(text.split())}"
        )
        if not self.allow_partial_backfill:
            raise BacktestError(f"{self.backfill_failure} (allow_partial_backfill / --allow-partial-backfill goes on)")

    def _check_feed(self, ticker_module: Any) -> None:
        """A feed that ended early (a damaged cache row, a failed download) is an error, not a short run."""
        exc = ticker_module.stream_error(self.ticker)
        if exc is not None:
            raise BacktestError(f"the tick feed failed: {type(exc).__name__}: {exc}") from exc


def _ticker_reading(ticker_module: Any, api: Any, data_root: str, refused: RefusedTicks, log_dir: str) -> Any:
    """The feed of one run, its cache in ``data_root``: the path the feed builds for its files is this
    run's own (set on the instance before it is initialised), not the process-wide ``BASIC_INFO.data_dir``,
    so backtests with different data directories can run side by side in one process.

    It serves only rows it may (``data.servable``): the broker's answers reach it without the rows it
    cannot serve (dropped and reported to ``refused``), and a frame it built that still holds one (a
    damaged cache file) fails the range, naming the file and line. What a combination logs (on the run's
    thread or the warm-up's) goes to the error log of ``log_dir``."""
    cls = ticker_module.Ticker
    if not isinstance(cls, type):  # a stand-in made by a test
        with using_data_dir(data_root):
            return cls(api)

    def generate_save_path(file_name: Optional[str] = None, *sub_folder: str) -> str:
        folder = os.path.join(data_root, *sub_folder)
        ticker_module.make_dir(folder)
        return folder if file_name is None else os.path.join(folder, file_name)

    ticker = cls.__new__(cls)
    ticker._Ticker__generate_save_path = generate_save_path
    ticker.__init__(ServableTicks(api, refused))
    ticker._Ticker__process_and_combine_ticks = _served_frames(ticker, data_root, log_dir)
    return ticker


def _served_frames(ticker: Any, data_root: str, log_dir: str) -> Callable[..., Any]:
    """The feed's combination (the main range's and the warm-up's), refusing a frame with a row the feed
    must not serve. The class's own method is looked up at each call, so a replaced one is used."""
    feed = weakref.ref(ticker)  # held by the ticker itself

    def process_and_combine_ticks(codes: Any, start_from: Any, end_to: Any) -> Any:
        self = feed()
        with logging_into(log_dir):
            frame = type(self)._Ticker__process_and_combine_ticks(self, codes, start_from, end_to)
        bad = refused_rows(frame, limit=1)
        if bad:
            row = frame.row(bad[0][0], named=True)
            raise DataError(_unservable_row(data_root, row, bad[0][1], start_from, end_to))
        return frame

    return process_and_combine_ticks


def _unservable_row(data_root: str, row: Dict[str, Any], reason: str, first: str, last: str) -> str:
    """Where a row the feed must not serve came from: the cache file and line that hold it (its tick's day
    first, then the range's other days), else the instrument and time."""
    code, ts = row.get("code"), row.get("ts")
    days = []
    if isinstance(ts, int) and ts > 0:
        days.append(wall_clock_text(ts / 1e9, 0)[:10])
    try:
        day, end = parse_day(first, "start"), parse_day(last, "end")
    except BacktestError:
        day, end = None, None
    while day is not None and day <= end:
        days.append(day.isoformat())
        day = Date.fromordinal(day.toordinal() + 1)
    for text in dict.fromkeys(days):
        try:
            path = cache_file(data_root, str(code), text)
            if os.path.lexists(path):
                check_cache_file(path)
        except DataError as exc:
            return str(exc)
    when = wall_clock_text(ts / 1e9, 3) if isinstance(ts, int) else "an unknown time"
    return f"a tick of {code} at {when} cannot be served: {reason}"


def _join(feed_threads: List[threading.Thread]) -> None:
    """The sender prints its closing line after the exit status; let it finish while the modules'
    console is still filtered (bounded: a wedged thread does not hold the run)."""
    for thread in feed_threads:
        thread.join(timeout=2.0)
