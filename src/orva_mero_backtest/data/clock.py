"""The one time convention of the tick data, and the trading calendar.

Tick ``ts`` values are the Taipei wall-clock time written as epoch nanoseconds, the way the broker SDK
delivers them: read as UTC, the first tick of a stock day shows 09:00. Every producer (the simulated
broker, the importer) writes that, and every consumer (driver, report) reads it back through the
helpers below, never through a time zone.
"""

from __future__ import annotations

import functools
import importlib.metadata
import json
import os
import re
from dataclasses import dataclass
from datetime import date as Date, datetime, time as Time, timedelta, timezone
from pathlib import Path
from typing import Any, FrozenSet, List, Optional

from ..errors import BacktestError
from ..utils import write_atomically

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


# Building the calendar (and importing pandas for it) costs seconds, paid by every process: each sweep
# worker, each command. Its sessions are kept in a small file, made again when exchange-calendars
# changes or the file is a month old (the calendar reaches about a year ahead of the day it is built).
CALENDAR_CACHE_ENV = "ORVA_MERO_BACKTEST_CALENDAR_CACHE"
_CALENDAR_MAX_AGE = timedelta(days=30)


@dataclass(frozen=True)
class _Sessions:
    first: Date
    last: Date
    holidays: FrozenSet[Date]  # weekdays inside [first, last] that are no session
    weekend_sessions: FrozenSet[Date]  # make-up trading days, which Taiwan has held on Saturdays


def calendar_cache_file() -> str:
    """Where the calendar's sessions are kept: $ORVA_MERO_BACKTEST_CALENDAR_CACHE, else the user's
    cache folder."""
    if os.environ.get(CALENDAR_CACHE_ENV):
        return os.environ[CALENDAR_CACHE_ENV]
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "orva-mero-backtest", f"calendar-{CALENDAR_NAME}.json")


def _library_version() -> str:
    try:
        return importlib.metadata.version("exchange-calendars")
    except importlib.metadata.PackageNotFoundError:
        return ""


def _read_sessions(path: str, version: str, today: Date) -> Optional[_Sessions]:
    try:
        with open(path, encoding="utf-8") as f:
            kept = json.load(f)
        if kept["calendar"] != CALENDAR_NAME or kept["library"] != version:
            return None
        if not timedelta(0) <= today - Date.fromisoformat(kept["made"]) <= _CALENDAR_MAX_AGE:
            return None
        return _Sessions(Date.fromisoformat(kept["first"]), Date.fromisoformat(kept["last"]),
                         frozenset(Date.fromisoformat(d) for d in kept["holidays"]),
                         frozenset(Date.fromisoformat(d) for d in kept["weekend_sessions"]))
    except (OSError, ValueError, KeyError, TypeError):  # missing, damaged or another shape: build anew
        return None


def _write_sessions(path: str, version: str, today: Date, sessions: _Sessions) -> None:
    text = json.dumps({
        "calendar": CALENDAR_NAME, "library": version, "made": today.isoformat(),
        "first": sessions.first.isoformat(), "last": sessions.last.isoformat(),
        "holidays": sorted(d.isoformat() for d in sessions.holidays),
        "weekend_sessions": sorted(d.isoformat() for d in sessions.weekend_sessions)})
    try:
        os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
        # Whole or not at all: processes starting together may write it at the same moment.
        write_atomically(path, lambda staged: Path(staged).write_text(text, encoding="utf-8"))
    except OSError:  # an unwritable cache only costs the next process the build
        pass


def _build_sessions() -> _Sessions:
    import exchange_calendars

    cal = exchange_calendars.get_calendar(CALENDAR_NAME)
    first, last = cal.first_session.date(), cal.last_session.date()
    open_days = {session.date() for session in cal.sessions}
    holidays, day = set(), first
    while day <= last:
        if day.weekday() < 5 and day not in open_days:
            holidays.add(day)
        day += timedelta(days=1)
    return _Sessions(first, last, frozenset(holidays),
                     frozenset(day for day in open_days if day.weekday() >= 5))


@functools.lru_cache(maxsize=1)
def _sessions() -> _Sessions:
    path, version, today = calendar_cache_file(), _library_version(), Date.today()
    sessions = _read_sessions(path, version, today)
    if sessions is None:
        sessions = _build_sessions()
        _write_sessions(path, version, today, sessions)
    return sessions


def is_trading_day(day: Date) -> bool:
    """A day the Taiwan exchanges trade; outside the calendar's known years, Monday to Friday."""
    sessions = _sessions()
    if not sessions.first <= day <= sessions.last:
        return day.weekday() < 5
    if day.weekday() >= 5:
        return day in sessions.weekend_sessions
    return day not in sessions.holidays


def calendar_year(year: int) -> Optional[List[Date]]:
    """The exchange's sessions of ``year``; None when the calendar does not cover the whole year."""
    sessions = _sessions()
    first, last = Date(year, 1, 1), Date(year, 12, 31)
    if not (sessions.first <= first and last <= sessions.last):
        return None
    return trading_days(first, last)


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
