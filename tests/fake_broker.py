"""A simulated broker API object for tests and offline runs of the tick feed.

``FakeBroker`` offers what ``Ticker`` calls on the broker SDK's API object:

- ``broker.Contracts.Stocks[code]`` and ``broker.Contracts.Futures[code]`` return a ``Contract``
  (every code is listed unless ``known_codes`` is given; an unlisted code raises ``KeyError``);
- ``broker.ticks(contract=..., date="YYYY-MM-DD")`` returns the day's ticks as a dict of eight
  equal-length lists ("ts", "close", "volume", "bid_price", "bid_volume", "ask_price",
  "ask_volume", "tick_type"), in delivery order.

What a day answers is set per (code, day); the market type is not part of the key, as in the
cache. Unset days answer ``default_rows`` generated ticks (0: a day without ticks, eight empty
lists). Every contract lookup and every ``ticks`` call is recorded, thread-safely.

    broker = FakeBroker()
    broker.set_ticks("2330", "2024-01-02", rows(3, start_ts=...))   # explicit rows
    broker.set_generated("2330", "2024-01-03", 5)                  # 5 deterministic ticks
    broker.set_answer("2330", "2024-01-04", {})                    # any raw answer: {}, None, ...
    broker.fail("2330", "2024-01-05", times=2)                     # raise twice, then answer
    broker.requests("2330")  ->  ["2024-01-02", ...]               # days asked, in order
"""

from __future__ import annotations

import datetime as _dt
import threading
import time
from dataclasses import dataclass
from typing import Any, Dict, List, Optional

COLUMNS = ("ts", "close", "volume", "bid_price", "bid_volume", "ask_price", "ask_volume", "tick_type")

_TAIPEI = _dt.timezone(_dt.timedelta(hours=8))


class BrokerError(RuntimeError):
    """What a failing ``ticks`` call raises unless ``fail`` is given another error."""


@dataclass(frozen=True)
class Contract:
    code: str
    market: str  # "Stock" or "Future": the container it was taken from


@dataclass
class Call:
    code: str
    market: str
    date: str
    thread: str


def rows(n: int, start_ts: int = 1_704_157_200_000_000_000, step_ns: int = 1_000_000, close: float = 100.0,
         tick_type: int = 1) -> Dict[str, list]:
    """``n`` ticks one ``step_ns`` apart from ``start_ts``; "close" and "volume" count up."""
    return {
        "ts": [start_ts + i * step_ns for i in range(n)],
        "close": [close + i * 0.5 for i in range(n)],
        "volume": [i + 1 for i in range(n)],
        "bid_price": [close + i * 0.5 - 0.5 for i in range(n)],
        "bid_volume": [10 + i for i in range(n)],
        "ask_price": [close + i * 0.5 + 0.5 for i in range(n)],
        "ask_volume": [20 + i for i in range(n)],
        "tick_type": [tick_type] * n,
    }


def empty_rows() -> Dict[str, list]:
    """A day without ticks, as the broker answers it: the eight columns, empty."""
    return {c: [] for c in COLUMNS}


def day_start_ts(day: str) -> int:
    """09:00 Taipei time of ``day`` ("%Y-%m-%d") in nanoseconds since the epoch."""
    d = _dt.datetime.strptime(day, "%Y-%m-%d").replace(hour=9, tzinfo=_TAIPEI)
    return int(d.timestamp()) * 1_000_000_000


def generated_rows(code: str, day: str, n: int) -> Dict[str, list]:
    """Deterministic ticks of ``code`` on ``day``: different codes get different prices."""
    seed = sum(ord(ch) for ch in code)
    return rows(n, start_ts=day_start_ts(day) + (seed % 97) * 1000, step_ns=1_000_000_000, close=float(seed % 500 + 10))


class _Book:
    def __init__(self, broker: "FakeBroker", market: str):
        self._broker = broker
        self._market = market

    def __getitem__(self, code: str) -> Contract:
        broker = self._broker
        with broker._lock:
            broker.lookups.append((self._market, code))
        if broker.known_codes is not None and code not in broker.known_codes:
            raise KeyError(code)
        return Contract(code, self._market)


class _Contracts:
    def __init__(self, broker: "FakeBroker"):
        self.Stocks = _Book(broker, "Stock")
        self.Futures = _Book(broker, "Future")


class FakeBroker:
    """Stands in for the broker SDK's API object; see the module docstring."""

    def __init__(self, default_rows: int = 0, known_codes: Optional[List[str]] = None, delay: float = 0.0):
        self.default_rows = default_rows
        self.known_codes = None if known_codes is None else set(known_codes)
        self.delay = delay  # seconds each ticks() call takes, for tests of concurrent work
        self.Contracts = _Contracts(self)
        self.calls: List[Call] = []
        self.lookups: List[tuple] = []  # (market, code) per contract lookup
        self._answers: Dict[tuple, Any] = {}
        self._failures: Dict[tuple, list] = {}  # (code, day) -> [times left, error]
        self._lock = threading.Lock()

    # -- configuration -------------------------------------------------------------------
    def set_ticks(self, code: str, day: str, columns: Dict[str, list]) -> None:
        """``ticks`` answers a copy of ``columns`` for this code and day."""
        self._answers[(code, day)] = ("columns", columns)

    def set_generated(self, code: str, day: str, n: int) -> None:
        self.set_ticks(code, day, generated_rows(code, day, n))

    def set_empty(self, code: str, day: str) -> None:
        """A day without ticks: eight empty columns."""
        self.set_ticks(code, day, empty_rows())

    def set_answer(self, code: str, day: str, answer: Any) -> None:
        """``ticks`` returns ``answer`` itself (e.g. ``{}`` or ``None``)."""
        self._answers[(code, day)] = ("raw", answer)

    def fail(self, code: str, day: str, times: int = 1, error: Optional[BaseException] = None) -> None:
        """The next ``times`` requests of this code and day raise ``error`` (a ``BrokerError`` by default)."""
        self._failures[(code, day)] = [times, error]

    # -- what Ticker calls ---------------------------------------------------------------
    def ticks(self, contract: Contract, date: str) -> Any:
        with self._lock:
            self.calls.append(Call(contract.code, contract.market, date, threading.current_thread().name))
            failure = self._failures.get((contract.code, date))
            failing = failure is not None and failure[0] > 0
            if failing:
                failure[0] -= 1
        if self.delay:
            time.sleep(self.delay)
        if failing:
            raise failure[1] if failure[1] is not None else BrokerError(f"no ticks for {contract.code} {date}")
        kind, value = self._answers.get((contract.code, date), ("columns", None))
        if kind == "raw":
            return value
        if value is None:
            return generated_rows(contract.code, date, self.default_rows) if self.default_rows else empty_rows()
        return {k: list(v) for k, v in value.items()}

    # -- inspection ----------------------------------------------------------------------
    def requests(self, code: Optional[str] = None) -> List[str]:
        """Days asked of ``ticks``, in call order, for one code or for all."""
        with self._lock:
            return [c.date for c in self.calls if code is None or c.code == code]
