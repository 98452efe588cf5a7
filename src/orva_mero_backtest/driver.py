"""The backtest driver: streams ticks from a Ticker through a Matcher and a strategy."""

from __future__ import annotations

import os
import queue
import re
import threading
import time
from dataclasses import dataclass, field
from datetime import date as Date, datetime
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from .constant import BASIC_INFO, FLAG, OperationType
from .costs import CostSettings
from .modules.positions.positions import Positions
from .data.cache_broker import DataError, check_cache, data_root, using_data_dir
from .data.clock import session_position, wall_clock_text
from .strategy import OrderRejected, Strategy, StrategyContext
from .utils import console as default_console

MARKETS = ("Stock", "Future")
_DAY = re.compile(r"\d{4}-\d{2}-\d{2}")
_EXIT = FLAG.exit_send_tick.value
_BACKFILL_DONE = FLAG.finish_backfilling.value
# A strategy that answers every report with another request would never let the tick go.
_MAX_REPORTS_PER_TICK = 100_000


class BacktestError(Exception):
    """A backtest that cannot start or cannot go on; the message is one line meant for the user."""


class StrategyError(BacktestError):
    """The strategy raised; the original exception is the ``__cause__``."""


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
    prices: Dict[str, List[Tuple[float, float]]] = field(default_factory=dict)
    equity: List[Tuple[float, float]] = field(default_factory=list)

    @property
    def fills(self) -> List[Dict[str, Any]]:
        return self.positions.fills

    @property
    def ticks_per_second(self) -> float:
        total = self.ticks + self.backfill_ticks
        return total / self.stream_seconds if self.stream_seconds > 0 else 0.0


class _FilteredConsole:
    """Stands in for the modules' console: passes on failures ("[red]" lines) only, or nothing."""

    # Red lines of the tick feed that announce no failure: a cache miss and the end of an empty run.
    NOT_FAILURES = ("[red]檔案 ", "[red]傳送 Tick 資料結束")

    def __init__(self, target, keep_errors: bool) -> None:
        self._target = target
        self._keep_errors = keep_errors

    def print(self, *args: Any, **kwargs: Any) -> None:
        if not self._keep_errors or not args or not isinstance(args[0], str):
            return
        text = args[0]
        if text.startswith("[red]") and not text.startswith(self.NOT_FAILURES):
            self._target.print(*args, **kwargs)


def parse_day(text: Any, what: str) -> Date:
    """A "%Y-%m-%d" day text as a date; anything else is a BacktestError naming ``what``."""
    if not isinstance(text, str) or not _DAY.fullmatch(text):
        raise BacktestError(f"{what} must be a day written YYYY-MM-DD, got {text!r}")
    try:
        return datetime.strptime(text, "%Y-%m-%d").date()
    except ValueError:
        raise BacktestError(f"{what} is not a calendar day: {text!r}") from None


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


class Backtest:
    """One backtest run over a range of days, with an optional backfill range streamed first as warm-up.

    Order requests of the strategy are applied synchronously on the driver's thread through the
    exchange's public ``add_order`` / ``modify_order`` / ``cancel_order`` rather than through its queued
    intake: an order placed while a tick is handled is in the book before the next tick is released, so
    which tick first meets it never depends on thread scheduling, and repeated runs give identical fills.
    It also means every report is already on the exchange's report queue when the driver drains it, so
    the driver never waits on an empty report queue.
    """

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
        data_dir: Optional[str] = None,
    ) -> None:
        if not isinstance(strategy, Strategy):
            raise BacktestError(f"strategy must be a Strategy, got {type(strategy).__name__}")
        self.strategy = strategy
        self.instruments = [Instrument(i.code, i.market) for i in instruments]
        if not self.instruments:
            raise BacktestError("no instruments given")
        self.markets: Dict[str, str] = {}
        for inst in self.instruments:
            if not isinstance(inst.code, str) or not inst.code:
                raise BacktestError(f"instrument code must be a non-empty text, got {inst.code!r}")
            if inst.market not in MARKETS:
                raise BacktestError(f"market of {inst.code} must be Stock or Future, got {inst.market!r}")
            if inst.code in self.markets:
                raise BacktestError(f"instrument {inst.code} is listed twice")
            self.markets[inst.code] = inst.market

        self.start, self.end = start, end
        first, last = parse_day(start, "start date"), parse_day(end, "end date")
        if last < first:
            raise BacktestError(f"end date {end} is before start date {start}")
        self._range = (first, last)
        ranges = [self._range]
        if (backfill_start is None) != (backfill_end is None):
            raise BacktestError("give both backfill dates or neither")
        self.backfill_start, self.backfill_end = backfill_start, backfill_end
        if backfill_start is not None:
            bf_first = parse_day(backfill_start, "backfill start date")
            bf_last = parse_day(backfill_end, "backfill end date")
            if bf_last < bf_first:
                raise BacktestError(f"backfill end date {backfill_end} is before backfill start date {backfill_start}")
            if bf_last >= first:
                raise BacktestError(f"the backfill range must end before the start date {start}")
            ranges.append((bf_first, bf_last))

        if api is None:
            from .sim_broker import SimulatedBroker

            api = SimulatedBroker()
        self.api = api
        check_instruments(api, self.instruments)
        # The tick cache of this run: data_dir (default: the package's), or the broker's own root below it.
        self.data_dir = os.path.abspath(data_dir or BASIC_INFO.data_dir)
        self.data_root = data_root(api, self.data_dir)
        try:
            check_cache(api, self.data_root, [i.code for i in self.instruments], ranges)
        except DataError as exc:
            raise BacktestError(str(exc)) from None

        if module_console not in ("all", "errors", "none"):
            raise BacktestError("module_console must be 'all', 'errors' or 'none'")
        self.module_console = module_console
        self.positions = Positions(costs)
        self.on_progress = on_progress
        self.progress_every = max(1, int(progress_every))
        self.stall_timeout = stall_timeout
        self.sample_seconds = sample_seconds
        self.ctx = StrategyContext(self)

        self.matcher: Any = None
        self.ticker: Any = None
        self.orders: Dict[str, Dict[str, Any]] = {}
        self._open: Dict[str, Dict[str, Any]] = {}
        self._last_close: Dict[str, float] = {}
        self._tick: Optional[Dict[str, Any]] = None

    # --- used by the strategy context -------------------------------------------------------------

    def market_of(self, code: str) -> str:
        try:
            return self.markets[code]
        except (KeyError, TypeError):
            raise OrderRejected(f"{code!r} is not an instrument of this backtest") from None

    def last_price(self, code: str) -> Optional[float]:
        return self._last_close.get(code)

    def open_orders(self, code: Optional[str] = None) -> List[Dict[str, Any]]:
        return [
            {k: v for k, v in o.items() if not k.startswith("_")}
            for o in self._open.values()
            if code is None or o["code"] == code
        ]

    def submit_order(self, **request: Any) -> str:
        book = self.matcher.pending_orders
        before = len(book)
        self.matcher.add_order(**request)
        if len(book) != before + 1:
            raise BacktestError(f"the exchange did not take the order {request}")
        trade_id = book[-1]["trade_id"]
        order = {
            "trade_id": trade_id,
            "code": request["code"],
            "product_type": request["product_type"],
            "action": request["action"],
            "price_type": request["price_type"],
            "order_type": request["order_type"],
            "price": request["price"],
            "quantity": request["qty"],
            "open_qty": request["qty"],
            "filled_qty": 0,
            "avg_fill_price": None,
            "cancelled_qty": 0,
            "status": "Open",
            "placed_ts": self.ctx.now,
            "updated_ts": self.ctx.now,
            "_fill_value": 0.0,
        }
        self.orders[trade_id] = order
        self._open[trade_id] = order
        return trade_id

    def _book_record(self, trade_id: str) -> Optional[Dict[str, Any]]:
        """The exchange's own record of an open order; None once it has left the book."""
        if trade_id not in self.orders:
            raise OrderRejected(f"no order {trade_id!r} was placed in this backtest")
        for record in self.matcher.pending_orders:
            if record["trade_id"] == trade_id:
                return record
        return None

    def submit_modify(self, trade_id: str, qty: Optional[int], price: Optional[float]) -> bool:
        record = self._book_record(trade_id)
        if record is None:
            return False
        if qty is not None and qty >= record["quantity"]:
            # Taking off everything is a cancellation; the exchange would keep an empty order in its book.
            return self.submit_cancel(trade_id)
        self.matcher.modify_order(trade_id, qty, price)
        # The strategy's view follows at once; the reports, delivered later, say the same.
        order = self.orders[trade_id]
        order["open_qty"] = record["quantity"]
        order["price"] = record["price"]
        order["cancelled_qty"] = order["quantity"] - order["filled_qty"] - order["open_qty"]
        return True

    def submit_cancel(self, trade_id: str) -> bool:
        if self._book_record(trade_id) is None:
            return False
        self.matcher.cancel_order(trade_id)
        order = self.orders[trade_id]
        order["open_qty"] = 0
        order["cancelled_qty"] = order["quantity"] - order["filled_qty"]
        self._settle(order)
        return True

    # --- reports ----------------------------------------------------------------------------------

    def _track(self, report: Dict[str, Any]) -> bool:
        """Updates the order list from one report; True for a deal report.

        Order reports carry absolute values, so applying one that the driver already applied when the
        request was made changes nothing.
        """
        if "exchange_seqno" in report:
            order = self.orders.get(report["id"])
            if order is not None:
                qty = report["quantity"]
                order["filled_qty"] += qty
                order["_fill_value"] += qty * report["price"]
                if order["filled_qty"]:
                    order["avg_fill_price"] = order["_fill_value"] / order["filled_qty"]
                order["open_qty"] = max(0, order["open_qty"] - qty)
                order["updated_ts"] = report["exchange_ts"]
                self._settle(order)
            return True
        entry = report["order"]
        order = self.orders.get(entry["id"])
        if order is None:
            return False
        kind = report["operation_type"]
        order["updated_ts"] = report["trade_status"]["exchange_ts"]
        if kind == OperationType.UPDATE_QTY.value:
            order["open_qty"] = entry["quantity"]
        elif kind == OperationType.UPDATE_PRICE.value:
            order["price"] = entry["price"]
        elif kind == OperationType.CANCEL.value:
            order["open_qty"] = 0
        order["cancelled_qty"] = order["quantity"] - order["filled_qty"] - order["open_qty"]
        self._settle(order)
        return False

    def _settle(self, order: Dict[str, Any]) -> None:
        if order["open_qty"] > 0:
            order["status"] = "PartFilled" if order["filled_qty"] else "Open"
            return
        order["status"] = "Cancelled" if order["cancelled_qty"] else "Filled"
        self._open.pop(order["trade_id"], None)

    def _deliver_reports(self) -> int:
        responses = self.matcher.response_queue
        pop = self.matcher.pop_response
        strategy = self.strategy
        delivered = 0
        # Only a queue seen non-empty is popped: pop_response waits for good on an empty one.
        while not responses.empty():
            batch = []
            while not responses.empty():
                batch.append(pop())
            delivered += len(batch)
            if delivered > _MAX_REPORTS_PER_TICK:
                raise StrategyError(f"strategy {strategy.name} keeps answering reports with new requests")
            # Track the whole batch first, so every hook sees the orders as the exchange has them now.
            kinds = [self._track(report) for report in batch]
            for report, is_deal in zip(batch, kinds):
                if is_deal:
                    self._call("on_deal", strategy.on_deal, report)
                else:
                    self._call("on_order", strategy.on_order, report)
        return delivered

    # --- the run ----------------------------------------------------------------------------------

    def _call(self, hook: str, method: Callable[..., Any], *args: Any) -> None:
        try:
            method(self.ctx, *args)
        except BacktestError:
            raise
        except Exception as exc:
            raise self._strategy_failed(hook, exc) from exc

    def _strategy_failed(self, hook: str, exc: Exception) -> StrategyError:
        where = ""
        if self._tick is not None:
            stamp = wall_clock_text(self._tick["timestamp"], 0)
            where = f" at {self._tick['code']} {stamp}"
        return StrategyError(f"strategy {self.strategy.name} raised in {hook}{where}: {type(exc).__name__}: {exc}")

    def run(self) -> BacktestResult:
        from .modules.matcher import matcher as matcher_module
        from .modules.ticker import ticker as ticker_module

        saved = {m: m.console for m in (matcher_module, ticker_module)}
        if self.module_console != "all":
            quiet = _FilteredConsole(default_console, keep_errors=self.module_console == "errors")
            for module in saved:
                module.console = quiet
        try:
            with using_data_dir(self.data_root):
                self.matcher = matcher_module.Matcher(self.positions)
                self.ticker = ticker_module.Ticker(self.api)
                return self._run()
        finally:
            for module, original in saved.items():
                module.console = original

    def _run(self) -> BacktestResult:
        strategy, ctx, matcher, ticker = self.strategy, self.ctx, self.matcher, self.ticker
        positions = self.positions
        backfilling = self.backfill_start is not None
        ctx.warming_up = backfilling
        self._call("on_start", strategy.on_start)
        self._deliver_reports()

        codes = [{"code": i.code, "market": i.market} for i in self.instruments]
        load_started = time.perf_counter()
        threads_before = set(threading.enumerate())
        try:
            ticker.send_ticks(codes, self.start, self.end, self.backfill_start, self.backfill_end)
        except Exception as exc:
            raise BacktestError(f"could not load the ticks of {self.start} to {self.end}: {exc}") from exc
        feed_threads = [t for t in threading.enumerate() if t not in threads_before]
        load_seconds = time.perf_counter() - load_started

        first_day, last_day = self._range
        range_days = (last_day - first_day).days + 1
        prices: Dict[str, List[Tuple[float, float]]] = {code: [] for code in self.markets}
        last_sample = {code: float("-inf") for code in self.markets}
        equity: List[Tuple[float, float]] = []
        last_equity_ts = float("-inf")
        sample = self.sample_seconds
        # The driver is the only consumer of both queues, so an item seen in a queue's deque is still
        # there when it is taken: the native pop is used then, and a waiting get (with a time limit,
        # in case the feed's thread has died) only when the tick has not been released yet.
        pending_ticks = ticker.tick_queue.queue
        get, pop_tick = ticker.tick_queue.get, ticker.pop_tick
        allow = ticker.allow_next_tick
        set_tick, match = matcher.set_current_tick, matcher.match_deal
        reports = matcher.response_queue.queue  # filled only on this thread (see the class comment)
        last_close = self._last_close
        last_main: Dict[str, Tuple[float, float]] = {}
        fills = positions.fills
        on_tick = strategy.on_tick
        progress, every = self.on_progress, self.progress_every
        ticks = backfill_ticks = 0
        timestamp: Optional[float] = None
        stream_started = time.perf_counter()

        def report_progress(done: bool = False) -> None:
            if progress is None:
                return
            covered = 0.0
            if done:
                covered = 1.0
            elif timestamp is not None and not ctx.warming_up:
                covered = session_position(timestamp, first_day) / range_days
            phase = "backfill" if ctx.warming_up else "main"
            progress(Progress(phase, ticks, backfill_ticks, timestamp, min(1.0, max(0.0, covered))))

        try:
            while True:
                if pending_ticks:
                    item = pop_tick()
                else:
                    try:
                        item = get(timeout=self.stall_timeout)
                    except queue.Empty:
                        raise BacktestError(
                            f"the tick feed sent nothing for {self.stall_timeout:g} seconds; see the error log"
                        ) from None
                if "orva_status" in item:
                    # Status dicts take no permit: nothing to release.
                    status = item["orva_status"]
                    if status == _EXIT:
                        break
                    if status == _BACKFILL_DONE and ctx.warming_up:
                        self._end_backfill()
                    continue
                self._tick = item
                code = item["code"]
                timestamp = item["timestamp"]
                ctx.now = timestamp
                last_close[code] = item["close"]
                if item["is_backfilling"]:
                    backfill_ticks += 1
                    try:
                        on_tick(ctx, item)
                    except Exception as exc:
                        raise self._strategy_failed("on_tick", exc) from exc
                    if backfill_ticks % every == 0:
                        report_progress()
                    allow()
                    continue
                if ctx.warming_up:
                    # The sender leaves out the finish status when the backfill ended before it started.
                    self._end_backfill()
                ticks += 1
                last_main[code] = (timestamp, item["close"])
                filled_before = len(fills)
                set_tick(item)
                match(code, item["close"], item["qty"], timestamp)
                if reports:
                    self._deliver_reports()
                try:
                    on_tick(ctx, item)
                except BacktestError:
                    raise
                except Exception as exc:
                    raise self._strategy_failed("on_tick", exc) from exc
                if reports:
                    self._deliver_reports()
                if timestamp - last_sample[code] >= sample:
                    last_sample[code] = timestamp
                    prices[code].append((timestamp, item["close"]))
                if timestamp - last_equity_ts >= sample or len(fills) != filled_before:
                    last_equity_ts = timestamp
                    equity.append((timestamp, positions.equity()))
                if ticks % every == 0:
                    report_progress()
                allow()
            stream_seconds = time.perf_counter() - stream_started
            if ctx.warming_up:
                self._end_backfill()
            self._tick = None
            self._call("on_finish", strategy.on_finish)
            self._deliver_reports()
        except BaseException:
            # The sender may be waiting for a permit; it ends with the process.
            ticker.stop_send_ticks()
            raise
        # The sender prints its closing line after the exit status; let it finish while the modules'
        # console is still filtered.
        for thread in feed_threads:
            thread.join(timeout=2.0)
        for code, (ts, close) in last_main.items():
            series = prices[code]
            if not series or series[-1][0] != ts:
                series.append((ts, close))
        if timestamp is not None and (not equity or equity[-1][0] != timestamp):
            equity.append((timestamp, positions.equity()))
        report_progress(done=True)
        orders = []
        for order in self.orders.values():
            row = {k: v for k, v in order.items() if not k.startswith("_")}
            orders.append(row)
        return BacktestResult(
            strategy=self.strategy.name,
            instruments=list(self.instruments),
            start=self.start,
            end=self.end,
            backfill_start=self.backfill_start,
            backfill_end=self.backfill_end,
            positions=positions,
            orders=orders,
            ticks=ticks,
            backfill_ticks=backfill_ticks,
            load_seconds=load_seconds,
            stream_seconds=stream_seconds,
            prices=prices,
            equity=equity,
        )

    def _end_backfill(self) -> None:
        self.ctx.warming_up = False
        self._call("on_backfill_end", self.strategy.on_backfill_end)
        self._deliver_reports()
