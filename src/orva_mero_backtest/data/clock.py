"""The one time convention of the tick data, and the trading calendar.

Tick ``ts`` values are the Taipei wall-clock time written as epoch nanoseconds, the way the broker SDK
delivers them: read as UTC, the first tick of a stock day shows 09:00. Every producer (the simulated
broker, the importer) writes that, and every consumer (driver, report) reads it back through the
helpers below, never through a time zone.
"""

from __future__ import annotations

import functools
import re
from datetime import date as Date, datetime, time as Time, timedelta, timezone
from typing import Any, List, Optional

from ..errors import BacktestError

DAY_SESSION = (Time(8, 45), Time(13, 45))  # futures day session; stocks trade inside it
AFTER_HOURS_OPEN = Time(15, 0)
CALENDAR_NAME = "XTAI"  # Taiwan Stock Exchange, in exchange-calendars

_SESSION_OPEN = DAY_SESSION[0].hour * 3600 + DAY_SESSION[0].minute * 60
_SESSION_LENGTH = (DAY_SESSION[1].hour * 3600 + DAY_SESSION[1].minute * 60) - _SESSION_OPEN
_NS = 1_000_000_000
_DAY = re.compile(r"\d{4}-\d{2}-\d{2}")


def wall_ns(day: Date, at: Time = Time(0, 0)) -> int:
    """Epoch nanoseconds of the Taipei wall-clock moment ``day`` ``at``."""
    moment = datetime.combine(day, at, timezone.utc)
    return int(moment.timestamp()) * _NS + moment.microsecond * 1000


def wall_clock(seconds: float) -> datetime:
    """The Taipei wall-clock date-time (naive) of a tick timestamp in seconds."""
    return datetime.fromtimestamp(seconds, timezone.utc).replace(tzinfo=None)


def wall_clock_text(seconds: Optional[float], digits: int = 3) -> str:
    """"YYYY-mm-dd HH:MM:SS.fff" of a tick timestamp; empty for None."""
    if seconds is None:
        return ""
    text = wall_clock(seconds).strftime("%Y-%m-%d %H:%M:%S.%f")
    return text[: len(text) - 6 + digits] if digits else text[:-7]


def day_start(day: Date) -> float:
    """Timestamp (seconds) of midnight of ``day`` under the convention."""
    return wall_ns(day) / _NS


def session_position(seconds: float, first_day: Date) -> float:
    """Whole days since ``first_day`` plus the share of that day's day session (08:45-13:45) passed."""
    days, into_day = divmod(seconds - day_start(first_day), 86400.0)
    return days + min(max((into_day - _SESSION_OPEN) / _SESSION_LENGTH, 0.0), 1.0)


def session_fraction(seconds: float) -> float:
    """Share of its own day's day session passed at ``seconds`` (0 before the open, 1 after the close)."""
    into_day = seconds % 86400.0
    return min(max((into_day - _SESSION_OPEN) / _SESSION_LENGTH, 0.0), 1.0)


# --- trading calendar ----------------------------------------------------------------------------


@functools.lru_cache(maxsize=1)
def _calendar():
    import exchange_calendars

    return exchange_calendars.get_calendar(CALENDAR_NAME)


@functools.lru_cache(maxsize=4096)
def is_trading_day(day: Date) -> bool:
    """A day the Taiwan exchanges trade; outside the calendar's known years, Monday to Friday."""
    cal = _calendar()
    if cal.first_session.date() <= day <= cal.last_session.date():
        return bool(cal.is_session(day.isoformat()))
    return day.weekday() < 5


def trading_days(first: Date, last: Date) -> List[Date]:
    """The trading days from ``first`` to ``last``, both included."""
    days, day = [], first
    while day <= last:
        if is_trading_day(day):
            days.append(day)
        day += timedelta(days=1)
    return days


def next_trading_day(day: Date) -> Date:
    """The first trading day strictly after ``day``."""
    day += timedelta(days=1)
    while not is_trading_day(day):
        day += timedelta(days=1)
    return day


def after_hours_trading_day(calendar_day: Date, at: Time) -> Date:
    """The trading day an after-hours trade belongs to: the session that opens at 15:00 on one
    trading day (and runs past midnight) is booked on the next trading day."""
    opened = calendar_day if at >= AFTER_HOURS_OPEN else calendar_day - timedelta(days=1)
    return next_trading_day(opened)


# --- days as the user writes them ----------------------------------------------------------------


def parse_day(text: Any, what: str) -> Date:
    """A "%Y-%m-%d" day text as a date; anything else is a BacktestError naming ``what``."""
    if not isinstance(text, str) or not _DAY.fullmatch(text):
        raise BacktestError(f"{what} must be a day written YYYY-MM-DD, got {text!r}")
    try:
        return datetime.strptime(text, "%Y-%m-%d").date()
    except ValueError:
        raise BacktestError(f"{what} is not a calendar day: {text!r}") from None
