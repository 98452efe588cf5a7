"""Time bars built from ticks, per instrument."""

from __future__ import annotations

from collections import deque
from dataclasses import dataclass
from typing import Deque, Optional


@dataclass
class Bar:
    start: float  # epoch seconds of the bar's first second
    open: float
    high: float
    low: float
    close: float
    volume: int


class BarSeries:
    """Keeps the last ``keep`` completed bars of ``seconds`` length; ``update`` tells when one completes."""

    def __init__(self, seconds: float, keep: int) -> None:
        self.seconds = seconds
        self.completed: Deque[Bar] = deque(maxlen=max(1, keep))
        self.current: Optional[Bar] = None

    def update(self, timestamp: float, price: float, volume: int) -> bool:
        start = timestamp - timestamp % self.seconds
        bar = self.current
        if bar is not None and bar.start == start:
            if price > bar.high:
                bar.high = price
            elif price < bar.low:
                bar.low = price
            bar.close = price
            bar.volume += volume
            return False
        self.current = Bar(start, price, price, price, price, volume)
        if bar is None:
            return False
        self.completed.append(bar)
        return True

    def closes(self):
        return [b.close for b in self.completed]
