"""The data before fan-out: every instrument-day of the grid put in the tick cache by the parent, and
the cache files shipped to workers that do not see it."""

from __future__ import annotations

import functools
import hashlib
import os
import tempfile
from dataclasses import dataclass
from datetime import datetime, timedelta
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple

from ..data.cache_broker import SIMULATED_MARK, cache_dir, cache_file, using_data_dir
from ..errors import BacktestError
from ..options import make_backtest
from ..utils import console, write_atomically
from .grid import RunSpec, SweepPlan, _pairs, run_args

def _days(first: str, last: str) -> List[str]:
    day, end = datetime.strptime(first, "%Y-%m-%d"), datetime.strptime(last, "%Y-%m-%d")
    days = []
    while day <= end:
        days.append(day.strftime("%Y-%m-%d"))
        day += timedelta(days=1)
    return days


@dataclass
class CacheFill:
    """What the parent put in the tick cache for the runs."""

    root: str  # the data root every run reads: the one a single run of the chosen broker uses
    simulated: bool  # root is the simulated broker's own root (generated ticks)
    files: Dict[Tuple[Tuple[str, str], ...], List[str]]  # the cache files of each instrument set's runs


def warm_cache(plan: SweepPlan) -> CacheFill:
    """Checks every instrument set's runs can be built, puts every instrument-day of the grid in the tick
    cache of the runs' data root (each fetched or generated once, here) and says where it is."""
    from ..driver import _FilteredConsole
    from ..modules.ticker import ticker as ticker_module

    api, root = None, ""
    wanted: Dict[Tuple[str, str], List[str]] = {}
    needs: Dict[Tuple[Tuple[str, str], ...], List[Tuple[str, str]]] = {}
    for group in plan.instrument_sets:
        backtest = _first_buildable(plan.probe(group), api)
        # One broker for every set (one log-in); every run of the sweep has the same data directory.
        api, root = backtest.api, backtest.data_root
        for variant in plan.varying:
            if variant not in backtest.strategy.defaults:
                known = ", ".join(backtest.strategy.defaults) or "none"
                raise BacktestError(f"{backtest.strategy.name} has no parameter {variant} (parameters: {known})")
        ranges = [(backtest.start, backtest.end)]
        if backtest.backfill_start is not None:
            ranges.append((backtest.backfill_start, backtest.backfill_end))
        # Every calendar day: the feed records a non-trading day as an empty file, which the parent
        # writes here too, so no worker writes one.
        days_of_run = sorted({d for first, last in ranges for d in _days(first, last)})
        needs[_pairs(group)] = [(i.code, d) for i in backtest.instruments for d in days_of_run]
        for inst in backtest.instruments:
            days = wanted.setdefault((inst.code, inst.market), [])
            days.extend(d for d in days_of_run if d not in days)

    saved = ticker_module.console
    ticker_module.console = _FilteredConsole(console, keep_errors=True)
    try:
        with using_data_dir(root):
            ticker = ticker_module.Ticker(api)
            for (code, market), days in wanted.items():
                for day in sorted(days):
                    if not os.path.exists(cache_file(root, code, day)):
                        ticker.get_ticks_df(code, market, day, day)
    finally:
        ticker_module.console = saved
    for (code, _), days in wanted.items():
        for day in days:
            if not os.path.isfile(cache_file(root, code, day)):
                raise BacktestError(
                    f"the ticks of {code} on {day} could not be put in the tick cache (days from today on are "
                    "never cached; a sweep runs on past days only)")
    files = {group: [cache_file(root, code, day) for code, day in pairs] for group, pairs in needs.items()}
    return CacheFill(root, os.path.exists(os.path.join(root, SIMULATED_MARK)), files)


def _first_buildable(runs: Sequence[RunSpec], api: Any, attempts: int = 50) -> Any:
    """The backtest of the first run that can be built: it checks the options shared by every run (days,
    instruments, costs, strategy). A bad value of a varying parameter fails its own runs only."""
    first: Optional[BacktestError] = None
    for job in runs[:attempts]:
        try:
            return make_backtest(run_args(job), api=api)
        except BacktestError as exc:
            first = first or exc
    assert first is not None
    raise BacktestError(str(first)) from None


def ship_files(files: Sequence[str], put: Callable[[bytes], Any]) -> Tuple[str, Dict[str, Any]]:
    """Each cache file as an object of its own, ``put(its bytes)`` (a Ray object), by file name, and a
    digest that names their content. One file is read at a time, here and where they are written."""
    shipped: Dict[str, Any] = {}
    digest = hashlib.sha256()
    for path in sorted(files):
        with open(path, "rb") as f:
            data = f.read()
        name = os.path.basename(path)
        digest.update(name.encode() + b"\0" + hashlib.sha256(data).digest())
        shipped[name] = put(data)
        del data
    return digest.hexdigest()[:16], shipped


def data_bundle(files: Sequence[str]) -> Tuple[str, Dict[str, bytes]]:
    """The cache files' bytes by file name, and a digest that names their content."""
    return ship_files(files, lambda data: data)


def materialize(digest: str, bundle: Mapping[str, Any], simulated: bool = False,
                fetch: Optional[Callable[[Any], bytes]] = None) -> str:
    """Writes the shipped cache files into a data root of this machine; returns the root. ``bundle`` maps
    a file name to its bytes, or to an object that ``fetch`` turns into them: fetched one at a time, and
    only for files not written yet, so a worker holds one file at a time whatever the range. Generated
    ticks get a root of their own, marked as the simulated broker's."""
    data_dir = os.path.join(tempfile.gettempdir(), "orva-sweep-data", digest + ("-simulated" if simulated else ""))
    ticks = cache_dir(data_dir)
    os.makedirs(ticks, exist_ok=True)
    if simulated:
        with open(os.path.join(data_dir, SIMULATED_MARK), "w", encoding="utf-8") as f:
            f.write("generated ticks of the simulated broker, shipped to a sweep's Ray worker\n")
    for name, shipped in bundle.items():
        path = os.path.join(ticks, name)
        if os.path.exists(path):
            continue
        data = shipped if fetch is None else fetch(shipped)
        # Several tasks of one node may write the same file at once: each writes whole, then renames.
        write_atomically(path, functools.partial(_write_bytes, data))
        del data
    return data_dir


def _write_bytes(data: bytes, path: str) -> None:
    with open(path, "wb") as f:
        f.write(data)
