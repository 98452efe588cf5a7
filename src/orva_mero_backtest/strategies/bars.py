"""Bars built from ticks, per instrument: time bars of any number of seconds and volume bars.

    bars = Bars(seconds=300)            # five-minute bars; Bars(volume=500): a bar per 500 traded
    def on_tick(self, ctx, tick):
        bar = bars.update(tick)         # the bar this tick completed, or None
        if bar is not None:
            self.atr[tick["code"]].add(bar.ohlcv())   # e.g. a talipp indicator

A time bar covers [start, start + seconds) of tick time and is complete when the first tick after it
arrives (so a bar is never reported before its last tick). A volume bar is complete with the tick that
brings its volume to at least ``volume``; that tick's whole quantity stays in it.
"""

from __future__ import annotations

from collections import deque
from dataclasses import dataclass
from typing import Any, Deque, Dict, List, Mapping, Optional


@dataclass
class Bar:
    start: float  # tick time (Taipei wall clock as epoch seconds) of the bar's start: its first second, or first tick
    open: float
    high: float
    low: float
    close: float
    volume: int
    end: Optional[float] = None  # tick time of its last tick

    def ohlcv(self) -> Any:
        """The bar as talipp's OHLCV, the input of its OHLCV indicators (ATR, Stoch, ...)."""
        from talipp.ohlcv import OHLCV

        return OHLCV(self.open, self.high, self.low, self.close, self.volume)


class BarSeries:
    """Time bars of one instrument: keeps the last ``keep`` completed bars of ``seconds`` length;
    ``update`` tells when one completes."""

    def __init__(self, seconds: float, keep: int) -> None:
        if not seconds > 0:
            raise ValueError(f"bars need a length above 0 seconds, got {seconds!r}")
        self.seconds = seconds
        self.completed: Deque[Bar] = deque(maxlen=max(1, keep))
        self.current: Optional[Bar] = None

    def update(self, timestamp: float, price: float, volume: int) -> bool:
        start = timestamp - timestamp % self.seconds
        bar = self.current
        if bar is not None and bar.start == start:
            _add(bar, timestamp, price, volume)
            return False
        self.current = Bar(start, price, price, price, price, volume, timestamp)
        if bar is None:
            return False
        self.completed.append(bar)
        return True

    def closes(self) -> List[float]:
        return [b.close for b in self.completed]


class VolumeBarSeries:
    """Volume bars of one instrument: a bar completes with the tick that brings its traded quantity to
    at least ``volume``; the last ``keep`` completed ones are kept."""

    def __init__(self, volume: int, keep: int) -> None:
        if isinstance(volume, bool) or not isinstance(volume, int) or volume < 1:
            raise ValueError(f"volume bars need a whole volume of at least 1, got {volume!r}")
        self.volume = volume
        self.completed: Deque[Bar] = deque(maxlen=max(1, keep))
        self.current: Optional[Bar] = None

    def update(self, timestamp: float, price: float, volume: int) -> bool:
        bar = self.current
        if bar is None:
            bar = self.current = Bar(timestamp, price, price, price, price, volume, timestamp)
        else:
            _add(bar, timestamp, price, volume)
        if bar.volume < self.volume:
            return False
        self.completed.append(bar)
        self.current = None
        return True

    def closes(self) -> List[float]:
        return [b.close for b in self.completed]


class Bars:
    """Bars of every instrument a strategy sees: time bars (``seconds``) or volume bars (``volume``)."""

    def __init__(self, seconds: Optional[float] = None, volume: Optional[int] = None, keep: int = 500) -> None:
        if (seconds is None) == (volume is None):
            raise ValueError("Bars needs seconds (time bars) or volume (volume bars), not both")
        self.seconds, self.volume, self.keep = seconds, volume, keep
        self.series: Dict[str, Any] = {}

    def update(self, tick: Mapping[str, Any]) -> Optional[Bar]:
        """Adds a tick ("code", "timestamp", "close", "qty"); the bar it completed, or None."""
        code = tick["code"]
        series = self.series.get(code)
        if series is None:
            series = self.series[code] = (BarSeries(self.seconds, self.keep) if self.seconds is not None
                                          else VolumeBarSeries(self.volume, self.keep))
        if series.update(tick["timestamp"], tick["close"], tick["qty"]):
            return series.completed[-1]
        return None

    def __getitem__(self, code: str) -> Deque[Bar]:
        """The completed bars of ``code``, oldest first (empty before the first one)."""
        series = self.series.get(code)
        return series.completed if series is not None else deque()


def _add(bar: Bar, timestamp: float, price: float, volume: int) -> None:
    if price > bar.high:
        bar.high = price
    elif price < bar.low:
        bar.low = price
    bar.close = price
    bar.volume += volume
    bar.end = timestamp
