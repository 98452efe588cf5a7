"""The trading calendar's sessions kept in a file, so a process need not build the calendar again."""

import json
import os
import subprocess
import sys
from datetime import date, timedelta

import pytest

from orva_mero_backtest.data import clock

# Lunar New Year 2024: the exchange closed 2024-02-06 (a Tuesday, after its last session of the year
# on Monday the 5th) and reopened on the 15th.
ASK = """
import json, sys
from datetime import date
from orva_mero_backtest.data.clock import is_trading_day
days = [date(2024, 2, 5), date(2024, 2, 8), date(2024, 2, 15), date(2024, 2, 17), date(1990, 1, 2)]
print(json.dumps({"answers": [is_trading_day(d) for d in days],
                  "built": "exchange_calendars" in sys.modules}))
"""
EXPECTED = [True, False, True, False, True]


def ask(cache_file, **env):
    result = subprocess.run(
        [sys.executable, "-c", ASK], capture_output=True, text=True, timeout=120,
        env={**os.environ, clock.CALENDAR_CACHE_ENV: str(cache_file), **env})
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


def test_the_first_process_builds_the_file_and_the_next_reads_it(tmp_path):
    cache_file = tmp_path / "cal" / "calendar.json"
    first = ask(cache_file)
    assert first == {"answers": EXPECTED, "built": True}
    kept = json.loads(cache_file.read_text())
    assert kept["calendar"] == clock.CALENDAR_NAME and kept["made"] == date.today().isoformat()
    assert ask(cache_file) == {"answers": EXPECTED, "built": False}
    assert not [p for p in cache_file.parent.iterdir() if p.name != "calendar.json"]  # no staged leftovers


def _kept(**changes):
    base = {"calendar": clock.CALENDAR_NAME, "library": clock._library_version(),
            "made": date.today().isoformat(), "first": "2000-01-03", "last": "2030-12-31",
            "holidays": [], "weekend_sessions": []}
    base.update(changes)
    return json.dumps(base)


@pytest.mark.parametrize("text", [
    "",
    "{not json",
    "[1, 2]",
    _kept(library="0.0.1"),
    _kept(calendar="XNYS"),
    _kept(made=(date.today() - timedelta(days=45)).isoformat()),
    _kept(made=(date.today() + timedelta(days=3)).isoformat()),
    _kept(first="yesterday"),
    _kept(holidays=None),
], ids=["empty", "damaged", "other shape", "other library version", "other calendar", "a month old",
        "made in the future", "bad day", "bad list"])
def test_a_file_that_cannot_be_trusted_is_built_again(tmp_path, text):
    cache_file = tmp_path / "calendar.json"
    cache_file.write_text(text)
    assert clock._read_sessions(str(cache_file), clock._library_version(), date.today()) is None


def test_a_trusted_file_is_read_as_written(tmp_path):
    cache_file = tmp_path / "calendar.json"
    cache_file.write_text(_kept(holidays=["2024-02-08"], weekend_sessions=["2013-02-23"]))
    sessions = clock._read_sessions(str(cache_file), clock._library_version(), date.today())
    assert sessions.holidays == {date(2024, 2, 8)} and sessions.weekend_sessions == {date(2013, 2, 23)}


def test_a_file_that_cannot_be_written_costs_only_the_build(tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("")
    sessions = clock._Sessions(date(2020, 1, 1), date(2020, 12, 31), frozenset(), frozenset())
    clock._write_sessions(str(blocker / "calendar.json"), "1", date.today(), sessions)  # no error
    assert blocker.read_text() == ""


def test_the_kept_sessions_answer_as_the_library_does(tmp_path, monkeypatch):
    exchange_calendars = pytest.importorskip("exchange_calendars")
    monkeypatch.setenv(clock.CALENDAR_CACHE_ENV, str(tmp_path / "calendar.json"))
    clock._sessions.cache_clear()
    try:
        calendar = exchange_calendars.get_calendar(clock.CALENDAR_NAME)
        day = date(2019, 1, 1)
        while day <= date(2025, 12, 31):
            assert clock.is_trading_day(day) == calendar.is_session(day.isoformat()), day
            day += timedelta(days=1)
        # Read back from the file, the same answers.
        clock._sessions.cache_clear()
        assert clock._read_sessions(str(tmp_path / "calendar.json"), clock._library_version(),
                                    date.today()) == clock._build_sessions()
    finally:
        clock._sessions.cache_clear()
