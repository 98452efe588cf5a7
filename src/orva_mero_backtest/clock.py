"""How report times read: the one place that turns a tick timestamp into Taipei wall-clock time and back."""

from __future__ import annotations

from datetime import date as Date, datetime, time as Time
from typing import Optional

from .sim_broker import TAIPEI


def local_time(timestamp: float) -> datetime:
    """Taipei wall-clock time of a timestamp (epoch seconds)."""
    return datetime.fromtimestamp(timestamp, TAIPEI)


def local_timestamp(day: Date, at: Time) -> float:
    """The timestamp of a Taipei wall-clock time: the inverse of ``local_time``."""
    return datetime.combine(day, at, TAIPEI).timestamp()


def format_time(timestamp: Optional[float]) -> str:
    """"YYYY-MM-DD HH:MM:SS.mmm" in Taipei time; empty for None."""
    if timestamp is None:
        return ""
    return local_time(timestamp).strftime("%Y-%m-%d %H:%M:%S.%f")[:-3]
