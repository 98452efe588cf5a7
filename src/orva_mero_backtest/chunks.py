"""Long runs in pieces: the main range streamed as consecutive chunks of trading days.

The tick feed combines a streaming run's whole range into one frame before its first tick, so a run's
memory grows with its range. The driver therefore streams a long range as several runs of the feed, one
per chunk of whole trading days (the warm-up only before the first). Ticks are ordered by time within a
day and days follow each other, so the chunks together give exactly the ticks, in exactly the order, of a
single run over the range.

The chunk size comes from a memory budget, against what was measured (3.10 and 3.13, the simulated
broker's ticks, RSS sampled through runs): building a frame peaks at about ``BUILD_BYTES_PER_TICK``
(each day's frame read, then the combined copy and its sorted copy, less what the allocator has handed
back meanwhile) and a built frame, streaming or waiting its turn, holds about ``HELD_BYTES_PER_TICK``.
A range is one chunk when building it fits the budget. Otherwise the next chunk is built while the
current one streams, so each chunk is cut to at most ``budget / (BUILD + HELD)`` ticks: the peak, one
frame streaming and the next being built, then stays near the process's baseline plus the budget
however long the range. What the run keeps (orders, fills, 16 bytes a price or equity sample) comes on
top; it grows with the range, not with the chunk.
"""

from __future__ import annotations

import os
import threading
from datetime import date as Date, timedelta
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from .data.cache_broker import cache_file
from .data.clock import trading_days
from .errors import BacktestError

# Peak memory per tick while a frame is built, and what a built frame holds per tick (see above); a
# process's own baseline (about 80-100 MB once the feed has run) comes on top.
BUILD_BYTES_PER_TICK = 280
HELD_BYTES_PER_TICK = 100
DEFAULT_MEMORY_BUDGET_MB = 2048.0
MEMORY_BUDGET_ENV = "ORVA_MERO_BACKTEST_MEMORY_BUDGET_MB"
# Ticks assumed for an instrument-day with no cache file yet (about a busy future's day session).
DEFAULT_DAY_TICKS = 20_000
# Bytes read from the head of one cache file per instrument to learn its row length.
_SAMPLE_BYTES = 16_384
# The preparing thread's wait is cut into slices this long, so Ctrl-C is seen between them.
_WAIT_SLICE = 0.2

Chunk = Tuple[str, str]  # first and last day, "YYYY-MM-DD"


def memory_budget_mb(value: Optional[float]) -> float:
    """The budget a run uses: ``value``, else $ORVA_MERO_BACKTEST_MEMORY_BUDGET_MB, else the default."""
    source = "memory_budget_mb"
    if value is None and os.environ.get(MEMORY_BUDGET_ENV):
        source, value = MEMORY_BUDGET_ENV, os.environ[MEMORY_BUDGET_ENV]
        try:
            value = float(value)
        except ValueError:
            raise BacktestError(f"{source} must be a number of megabytes, got {value!r}") from None
    if value is None:
        return DEFAULT_MEMORY_BUDGET_MB
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not 0 < value < float("inf"):
        raise BacktestError(f"{source} must be a number of megabytes above 0, got {value!r}")
    return float(value)


def _row_bytes(path: str) -> Optional[float]:
    """Mean length of a data row of a cache file, from its head (the header line left out)."""
    try:
        with open(path, "rb") as f:
            head = f.read(_SAMPLE_BYTES)
    except OSError:
        return None
    lines = head.split(b"\n")
    rows = lines[1:-1]  # the header, and a last line the sample may have cut
    if not rows:
        return None
    return sum(len(row) + 1 for row in rows) / len(rows)


def estimate_day_ticks(data_root: str, codes: Sequence[str], days: Sequence[Date]) -> List[int]:
    """Ticks of all ``codes`` on each of ``days``, from the sizes of their cache files; a day not cached
    yet counts as the mean of the instrument's cached days (``DEFAULT_DAY_TICKS`` if it has none)."""
    totals = [0] * len(days)
    for code in codes:
        sizes: List[Optional[int]] = []
        sample: Optional[str] = None
        for day in days:
            path = cache_file(data_root, code, day.isoformat())
            try:
                sizes.append(os.stat(path).st_size)
                sample = sample or path
            except OSError:
                sizes.append(None)
        row = _row_bytes(sample) if sample is not None else None
        known = [int(size / row) for size in sizes if size is not None] if row else []
        fallback = sum(known) // len(known) if known else DEFAULT_DAY_TICKS
        for i, size in enumerate(sizes):
            totals[i] += int(size / row) if size is not None and row else fallback
    return totals


def plan_chunks(first: Date, last: Date, day_ticks: Dict[Date, int], budget_bytes: float,
                build_bytes: float = BUILD_BYTES_PER_TICK, held_bytes: float = HELD_BYTES_PER_TICK) -> List[Chunk]:
    """The chunks of first..last: one when building the whole range fits ``budget_bytes``, else runs of
    trading days of at most ``budget_bytes / (build_bytes + held_bytes)`` ticks each (one chunk streams
    while the next is built), a day that alone exceeds that being a chunk of its own. The chunks cover
    every calendar day of the range once; ``day_ticks`` holds the trading days' estimated ticks."""
    days = sorted(d for d in day_ticks if first <= d <= last)
    if sum(day_ticks[d] for d in days) * build_bytes <= budget_bytes or len(days) < 2:
        return [(first.isoformat(), last.isoformat())]
    limit = budget_bytes / (build_bytes + held_bytes)
    chunks: List[Chunk] = []
    begin, held = first, 0
    for i, day in enumerate(days):
        held += day_ticks[day]
        following = days[i + 1] if i + 1 < len(days) else None
        if following is None:
            break
        if held + day_ticks[following] > limit:
            chunks.append((begin.isoformat(), day.isoformat()))
            begin, held = day + timedelta(days=1), 0
    chunks.append((begin.isoformat(), last.isoformat()))
    return chunks


def plan_for_run(data_root: str, codes: Sequence[str], first: Date, last: Date, budget_mb: float) -> List[Chunk]:
    """The chunks of a run's main range under a budget of ``budget_mb`` megabytes."""
    days = trading_days(first, last)
    ticks = estimate_day_ticks(data_root, codes, days)
    return plan_chunks(first, last, dict(zip(days, ticks)), budget_mb * 1024 * 1024)


class Prepared:
    """The feed of one chunk, started on a daemon thread while the current chunk streams: its frame is
    built there and its first tick waits on its own queue. ``take`` hands it over (waiting in slices
    Ctrl-C can end) or raises what the preparation raised; ``discard`` ends it, now or once ready."""

    def __init__(self, start_feed: Callable[[], Tuple[Any, List[threading.Thread]]],
                 end_feed: Callable[[Any], None], background: bool = True) -> None:
        self._start_feed, self._end_feed = start_feed, end_feed
        self._lock = threading.Lock()
        self._feed: Optional[Tuple[Any, List[threading.Thread]]] = None
        self._error: Optional[BaseException] = None
        self._discarded = False
        self._thread: Optional[threading.Thread] = None
        if not background:
            self._prepare()
            return
        self._thread = threading.Thread(target=self._prepare, name="orva-next-chunk", daemon=True)
        self._thread.start()

    def _prepare(self) -> None:
        try:
            feed = self._start_feed()
        except BaseException as exc:  # handed to the run's own thread by take()
            self._error = exc
            return
        with self._lock:
            if not self._discarded:
                self._feed = feed
                return
        self._end_feed(feed[0])

    def take(self) -> Tuple[Any, List[threading.Thread]]:
        while self._thread is not None and self._thread.is_alive():
            self._thread.join(_WAIT_SLICE)
        if self._error is not None:
            raise self._error
        assert self._feed is not None
        feed, self._feed = self._feed, None
        return feed

    def discard(self) -> None:
        with self._lock:
            self._discarded = True
            feed, self._feed = self._feed, None
        if feed is not None:
            self._end_feed(feed[0])
