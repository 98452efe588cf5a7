"""Runs on the tick cache alone: the API object that serves whatever the cache holds, and the
check that every trading day of a run is there before the run starts."""

from __future__ import annotations

import contextlib
import csv
import math
import os
import stat
from dataclasses import dataclass
from datetime import date as Date, datetime
from typing import Any, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple

from ..errors import DataError
from .checked import check_once
from .codes import check_code
from .clock import is_trading_day, trading_days
from .servable import TICK_COLUMNS, value_problem
# Written into the simulated broker's data root; a cache-only run refuses a data directory that has it.
SIMULATED_MARK = "SIMULATED-TICKS"


def cache_dir(data_dir: str) -> str:
    """The folder the tick feed reads its cache files from."""
    return os.path.join(data_dir, "mero", "ticks")


def cache_file(data_dir: str, code: str, day: str) -> str:
    """The cache file of ``code`` on ``day``; DataError when ``code`` is not a plain name (see ``check_code``)."""
    check_code(code)
    return os.path.join(cache_dir(data_dir), f"{code} {day} - ticks.csv")


def data_root(api: Any, data_dir: str) -> str:
    """Where a run with ``api`` keeps its tick cache: the broker's own root when it has one (the simulated
    broker's generated ticks), otherwise ``data_dir`` itself."""
    own_root = getattr(api, "data_root", None)
    if callable(own_root):
        root = own_root(data_dir)
        os.makedirs(root, exist_ok=True)
        mark = os.path.join(root, SIMULATED_MARK)
        if not os.path.exists(mark):
            with open(mark, "w", encoding="utf-8") as f:
                f.write("generated ticks of the simulated broker; never real data\n")
        return root
    return data_dir


@contextlib.contextmanager
def using_data_dir(path: str) -> Iterator[None]:
    """Points the package's data directory (read by the tick feed) at ``path`` for a block."""
    from ..constant import BASIC_INFO

    saved = BASIC_INFO.data_dir
    BASIC_INFO.data_dir = path
    try:
        yield
    finally:
        BASIC_INFO.data_dir = saved


_INT_COLUMNS = ("ts", "volume", "bid_volume", "ask_volume", "tick_type")


def _field_problem(name: str, text: str) -> str:
    """What is wrong with one field of a cache row, or ''."""
    if text == "":
        return f"{name} is empty"
    if name in _INT_COLUMNS:
        try:
            value = int(text)
        except ValueError:
            return f"{name} {text!r} is not an integer"
        if not -(2**63) <= value < 2**63:
            return f"{name} {text} is out of range"
        return value_problem(name, value, text)
    try:
        number = float(text)
    except ValueError:
        return f"{name} {text!r} is not a number"
    return value_problem(name, number, text)


def check_cache_file(path: str) -> None:
    """Refuses a tick cache file the feed cannot serve, with one line naming the file, the line and what is
    wrong: not a regular file (a dangling link, a folder), unreadable, empty, another header, a row cut
    short or with other fields, an empty or unreadable time, a row the feed must not serve (``servable``)."""
    try:
        info = os.stat(path)
    except FileNotFoundError:
        if os.path.islink(path):
            raise DataError(f"tick cache file {path} is a link to {os.readlink(path)!r}, which does not exist") from None
        raise DataError(f"tick cache file {path} does not exist") from None
    except OSError as exc:
        raise DataError(f"tick cache file {path} cannot be read: {exc.strerror}") from None
    if not stat.S_ISREG(info.st_mode):
        raise DataError(f"tick cache file {path} is not a regular file")
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as exc:
        raise DataError(f"tick cache file {path} cannot be read: {exc.strerror}") from None
    if not data:
        raise DataError(f"tick cache file {path} is empty (no header)")
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as exc:
        line = data[: exc.start].count(b"\n") + 1
        raise DataError(f"tick cache file {path} line {line}: not UTF-8 text") from None
    lines = text.split("\n")
    if not text.endswith("\n"):
        raise DataError(f"tick cache file {path} line {len(lines)}: the last row is cut short (no line end)")
    header = lines[0].rstrip("\r").split(",")
    if tuple(header) != TICK_COLUMNS:
        raise DataError(f"tick cache file {path} line 1: header {lines[0].rstrip()!r}, expected {','.join(TICK_COLUMNS)}")
    for number, fields in enumerate(csv.reader(lines[1:-1]), start=2):
        if len(fields) != len(TICK_COLUMNS):
            raise DataError(f"tick cache file {path} line {number}: {len(fields)} fields, expected {len(TICK_COLUMNS)}")
        for name, field in zip(TICK_COLUMNS, fields):
            problem = _field_problem(name, field)
            if problem:
                raise DataError(f"tick cache file {path} line {number}: {problem}")


@dataclass(frozen=True)
class CachedContract:
    code: str
    market: str


class _AnyCode:
    def __init__(self, market: str) -> None:
        self._market = market

    def __getitem__(self, code: str) -> CachedContract:
        if not isinstance(code, str) or not code:
            raise KeyError(code)
        return CachedContract(code, self._market)


class _Contracts:
    def __init__(self) -> None:
        self.Stocks = _AnyCode("Stock")
        self.Futures = _AnyCode("Future")


class CacheOnly:
    """The broker SDK's API object as the tick feed uses it, answering from the cache alone.

    Any code is accepted. The feed asks the broker only for days that have no cache file: a
    non-trading day gets an empty answer; a trading day is an error (``check_cache`` refuses such a run
    before it starts, so this is reached only if a file vanishes during the run).

    ``simulated=True`` reads the simulated broker's own data root instead of real data (a parameter
    sweep's workers replaying what the simulated broker generated); either kind refuses the other's root,
    so no run mixes generated and real ticks.
    """

    def __init__(self, simulated: bool = False, data_dir: Optional[str] = None) -> None:
        self.Contracts = _Contracts()
        self.simulated = simulated
        # The cache this broker answers for (a run's data root), else the package's data directory.
        self.data_dir = data_dir

    def bound_to(self, data_dir: str) -> "CacheOnly":
        """This broker for the cache in ``data_dir`` (each run its own; the original is left as it was)."""
        if self.data_dir == data_dir:
            return self
        return CacheOnly(self.simulated, data_dir)

    def _root(self) -> str:
        if self.data_dir is not None:
            return self.data_dir
        from ..constant import BASIC_INFO

        return BASIC_INFO.data_dir

    def ticks(self, contract: CachedContract, date: str) -> Dict[str, List]:
        day = datetime.strptime(date, "%Y-%m-%d").date()
        root = self._root()
        path = cache_file(root, contract.code, date) if root else None
        if path is not None and (os.path.lexists(path)):
            # The feed asks only when it could not read the file: say why, not that it is missing.
            check_cache_file(path)
            raise DataError(f"tick cache file {path} could not be read by the tick feed")
        if is_trading_day(day):
            raise DataError(f"no cache file for {contract.code} on {date}; import it first (orva-backtest import)")
        return {name: [] for name in TICK_COLUMNS}


def missing_days(data_dir: str, codes: Iterable[str], ranges: Sequence[Tuple[Date, Date]]) -> List[Tuple[str, str]]:
    """(code, day) of every trading day in ``ranges`` whose cache file is missing."""
    folder = cache_dir(data_dir)
    present = set(os.listdir(folder)) if os.path.isdir(folder) else set()
    missing = []
    for code in codes:
        for first, last in ranges:
            for day in trading_days(first, last):
                if f"{code} {day.isoformat()} - ticks.csv" not in present:
                    missing.append((code, day.isoformat()))
    return missing


def check_cache(api: Any, data_dir: str, codes: Sequence[str], ranges: Sequence[Tuple[Date, Date]]) -> None:
    """Refuses a cache-only run up front when a trading day is missing, listing the missing days."""
    if not isinstance(api, CacheOnly):
        return
    simulated = os.path.exists(os.path.join(data_dir, SIMULATED_MARK))
    if simulated and not api.simulated:
        raise DataError(f"{data_dir} holds generated ticks of the simulated broker; --broker cache reads real data only")
    if api.simulated and not simulated:
        raise DataError(f"{data_dir} is not the simulated broker's data root; its generated ticks are read only there")
    missing = missing_days(data_dir, codes, ranges)
    # A damaged file would otherwise be found only when the feed reaches its day (a sweep: every run).
    missing_set = set(missing)
    paths = []
    for code in codes:
        for first, last in ranges:
            day = first
            while day <= last:
                text = day.isoformat()
                path = cache_file(data_dir, code, text)
                if (code, text) not in missing_set and (is_trading_day(day) or os.path.lexists(path)):
                    paths.append(path)
                day = Date.fromordinal(day.toordinal() + 1)
    # Each file once: one that passed unchanged is not read again (data.checked).
    check_once(paths, check_cache_file, _field_problem)
    if missing:
        by_code: Dict[str, List[str]] = {}
        for code, day in missing:
            by_code.setdefault(code, []).append(day)
        listed = "; ".join(f"{code}: {', '.join(days)}" for code, days in by_code.items())
        raise DataError(
            f"the tick cache in {cache_dir(data_dir)} lacks {len(missing)} trading day(s): {listed} "
            "(import them with orva-backtest import)"
        )
