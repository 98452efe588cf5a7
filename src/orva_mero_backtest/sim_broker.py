"""An offline stand-in for the broker SDK: contracts and generated historical ticks.

It offers the three calls the tick feed makes on the SDK's API object (``Contracts.Stocks[code]``,
``Contracts.Futures[code]``, ``ticks(contract=..., date=...)``), so a backtest runs with no account and
no network. Ticks are generated per instrument and day from a seed derived from both with SHA-256, so
the same (code, day) gives the same ticks on every machine and in every process.
"""

from __future__ import annotations

import hashlib
import math
import os
import random
from dataclasses import dataclass
from datetime import date as Date, datetime, time as Time, timedelta, timezone
from typing import Dict, Iterator, List, Mapping, Tuple

from .costs import TickLadder, stock_tick_size  # noqa: F401 - the ladder lives with the costs
from .data.clock import is_trading_day, next_trading_day, wall_ns

TAIPEI = timezone(timedelta(hours=8), "Asia/Taipei")

TICK_COLUMNS = ("ts", "close", "volume", "bid_price", "bid_volume", "ask_price", "ask_volume", "tick_type")

# tick_type as the exchange reports it: trade at the ask (buyer-initiated), at the bid, or unknown.
TICK_BUY, TICK_SELL, TICK_NONE = 1, 2, 0


class UnknownInstrumentError(LookupError):
    """The simulated broker lists no instrument of that code in that market."""

    def __str__(self) -> str:  # LookupError would show the repr of the message
        return str(self.args[0]) if self.args else ""


@dataclass(frozen=True)
class Contract:
    code: str
    name: str
    security_type: str  # "STK" or "FUT"
    exchange: str
    reference: float  # price level around which the generated days open
    mean_interval: float  # average seconds between ticks
    mean_volume: float  # average quantity per tick (lots or contracts)
    volatility: float  # standard deviation of the day's return
    multiplier: int = 1


# Level and activity of the listed instruments (reference prices near early 2024).
_STOCKS: Tuple[Contract, ...] = (
    Contract("2330", "台積電", "STK", "TSE", 590.0, 2.0, 4.0, 0.015),
    Contract("2317", "鴻海", "STK", "TSE", 104.0, 2.5, 6.0, 0.015),
    Contract("2454", "聯發科", "STK", "TSE", 1000.0, 3.0, 2.0, 0.015),
    Contract("2412", "中華電", "STK", "TSE", 122.0, 5.0, 3.0, 0.008),
    Contract("2882", "國泰金", "STK", "TSE", 45.0, 3.0, 8.0, 0.015),
    Contract("2603", "長榮", "STK", "TSE", 160.0, 3.0, 6.0, 0.025),
    Contract("0050", "元大台灣50", "STK", "TSE", 132.0, 3.0, 5.0, 0.01),
    Contract("2609", "陽明", "STK", "TSE", 50.0, 3.0, 10.0, 0.025),
)
_FUTURES: Tuple[Contract, ...] = (
    Contract("TXFR1", "臺股期貨近月", "FUT", "TAIFEX", 17600.0, 1.0, 3.0, 0.01, 200),
    Contract("TXFR2", "臺股期貨次月", "FUT", "TAIFEX", 17650.0, 4.0, 2.0, 0.01, 200),
    Contract("MXFR1", "小型臺指近月", "FUT", "TAIFEX", 17600.0, 1.5, 4.0, 0.01, 50),
    Contract("TMFR1", "微型臺指近月", "FUT", "TAIFEX", 17600.0, 3.0, 3.0, 0.01, 10),
)

STOCK_SESSION = (Time(9, 0), Time(13, 25), Time(13, 30))  # continuous trading, then the closing auction
FUTURE_SESSION = (Time(8, 45), Time(13, 45))  # day session


class _ContractTable(Mapping[str, Contract]):
    def __init__(self, market: str, contracts: Tuple[Contract, ...]) -> None:
        self._market = market
        self._items = {c.code: c for c in contracts}

    def __getitem__(self, code: str) -> Contract:
        try:
            return self._items[code]
        except (KeyError, TypeError):
            raise UnknownInstrumentError(
                f"unknown {self._market} code {code!r}; the simulated broker lists {', '.join(self._items)}"
            ) from None

    def __iter__(self) -> Iterator[str]:
        return iter(self._items)

    def __len__(self) -> int:
        return len(self._items)


class _Contracts:
    def __init__(self) -> None:
        self.Stocks = _ContractTable("stock", _STOCKS)
        self.Futures = _ContractTable("futures", _FUTURES)


# --- exchange price ladders ---------------------------------------------------------------------


def _ladder(contract: Contract) -> TickLadder:
    return TickLadder("Future" if contract.security_type == "FUT" else "Stock", contract.code)


def _seed(code: str, day: str) -> int:
    return int.from_bytes(hashlib.sha256(f"orva-sim|{code}|{day}".encode()).digest()[:8], "big")


def _reference(contract: Contract, day: Date) -> float:
    """The day's reference price (the previous close): the instrument's level with a slow swing of +-8%
    and about 1% of day-to-day noise, drawn from its own seed so neighbouring days can compute it."""
    noise = random.Random(_seed(contract.code, "reference " + day.isoformat())).gauss(0.0, 0.01)
    return contract.reference * math.exp(0.08 * math.sin(day.toordinal() / 9.0) + noise)


def _epoch_ns(day: Date, at: Time) -> int:
    # Taipei wall-clock as epoch nanoseconds, as the broker SDK writes it (09:00 reads 09:00 as UTC).
    return wall_ns(day, at)


def generate_day(contract: Contract, day: Date) -> Dict[str, List]:
    """The generated ticks of one instrument on one day; weekends and exchange holidays have none."""
    columns: Dict[str, List] = {name: [] for name in TICK_COLUMNS}
    if not is_trading_day(day):
        return columns
    rng = random.Random(_seed(contract.code, day.isoformat()))
    ladder = _ladder(contract)
    reference = ladder.snap(_reference(contract, day))
    # The day ends near the next trading day's reference, so consecutive days join up.
    following = next_trading_day(day)
    target = _reference(contract, following)
    limit_up = ladder.floor(reference * 1.1)
    limit_down = ladder.ceil(reference * 0.9)
    fair = reference * (1 + rng.gauss(0, 0.004))

    if contract.security_type == "FUT":
        start, end = FUTURE_SESSION
        auction = None
    else:
        start, end, auction = STOCK_SESSION
    ts = _epoch_ns(day, start)
    end_ns = _epoch_ns(day, end)
    # The fair value walks with the day's volatility and a mild trend; trades print at the bid or the ask
    # around it, so the traded price bounces by one tick the way real prints do.
    expected_ticks = (end_ns - ts) / 1e9 / contract.mean_interval
    step_sigma = contract.volatility / math.sqrt(expected_ticks)
    mean_gap_us = contract.mean_interval * 1_000_000
    random_, gauss, log, exp = rng.random, rng.gauss, math.log, math.exp

    close_, volume_, bid_p, bid_v, ask_p, ask_v, type_, ts_ = (
        columns["close"], columns["volume"], columns["bid_price"], columns["bid_volume"],
        columns["ask_price"], columns["ask_volume"], columns["tick_type"], columns["ts"],
    )
    price = ladder.snap(fair)
    while ts < end_ns:
        previous_fair = fair
        # Brownian bridge: each step pulls the value by its share of the distance left to the target.
        steps_left = max(1.0, (end_ns - ts) / 1_000 / mean_gap_us)
        fair *= exp(log(target / fair) / steps_left + step_sigma * gauss(0.0, 1.0))
        bid = min(max(ladder.floor(fair), limit_down), limit_up)
        ask = ladder.up(bid) if bid < limit_up else bid
        # Buyers lift the ask more often while the value rises, sellers hit the bid while it falls.
        if random_() < (0.65 if fair >= previous_fair else 0.35):
            kind, price = TICK_BUY, ask
        else:
            kind, price = TICK_SELL, bid
        ts_.append(ts)
        close_.append(price)
        # Mostly small prints with an occasional block trade.
        volume_.append(1 + int(-log(1.0 - random_()) * contract.mean_volume * (8 if random_() < 0.02 else 1)))
        type_.append(kind)
        bid_p.append(bid)
        ask_p.append(ask)
        bid_v.append(1 + int(-log(1.0 - random_()) * contract.mean_volume * 25))
        ask_v.append(1 + int(-log(1.0 - random_()) * contract.mean_volume * 25))
        ts += 1_000 * (1 + int(-log(1.0 - random_()) * mean_gap_us))
    if auction is not None:
        ts_.append(_epoch_ns(day, auction))
        close_.append(price)
        volume_.append(1 + int(-log(1.0 - random_()) * contract.mean_volume * 60))
        type_.append(TICK_NONE)
        bid_p.append(ladder.down(price))
        ask_p.append(price)
        bid_v.append(1 + int(-log(1.0 - random_()) * contract.mean_volume * 25))
        ask_v.append(1 + int(-log(1.0 - random_()) * contract.mean_volume * 25))
    return columns


class SimulatedBroker:
    """The broker SDK's API object as the tick feed uses it, generating ticks instead of fetching them.

    Its ticks are cached under their own data root (``data_root(data_dir)``), never where real data
    lives, so no run can mix generated ticks into real ones.
    """

    DATA_SUBDIR = "simulated"

    def __init__(self) -> None:
        self.Contracts = _Contracts()
        self.requests: List[Tuple[str, str]] = []

    def ticks(self, contract: Contract, date: str) -> Dict[str, List]:
        if not isinstance(contract, Contract):
            raise TypeError(f"ticks() needs a contract from Contracts, got {type(contract).__name__}")
        try:
            day = datetime.strptime(date, "%Y-%m-%d").date()
        except (TypeError, ValueError):
            raise ValueError(f"ticks() needs the day as YYYY-MM-DD, got {date!r}") from None
        self.requests.append((contract.code, date))
        return generate_day(contract, day)

    def data_root(self, data_dir: str) -> str:
        return os.path.join(data_dir, self.DATA_SUBDIR)
