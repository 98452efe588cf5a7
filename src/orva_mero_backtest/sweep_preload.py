"""Imported once by the sweep's fork server (sweep/engines.py), before it forks any worker: the package
and what every run needs, so that each worker starts with them loaded instead of importing them itself.

A process must run no thread but its main one when it forks (a lock another thread holds would stay held
in the child for good). The fork server runs none and imports nothing that starts one: polars starts
threads as it loads (its allocator's background threads, a spill-file cleaner), so here it is a stand-in
module that the package's modules bind at import (none uses polars then); each worker loads the real one
right after the fork (``load_deferred``, from ``sweep.worker._worker_init``). This module sits outside the
sweep package, whose own imports load polars.
"""

import importlib
import sys
import types

DEFERRED = ("polars",)


class _Deferred(types.ModuleType):
    """A module's stand-in: the first attribute it lacks loads the module, and it then holds the module's
    names (a name the module gains later is looked up there)."""

    def __getattr__(self, name: str):
        if name.startswith("__") and name.endswith("__"):  # the import system's probes: no load
            raise AttributeError(name)
        return getattr(_load(self.__name__), name)


def _load(name: str):
    stand_in = sys.modules.get(name)
    if not isinstance(stand_in, _Deferred):
        return stand_in
    del sys.modules[name]
    try:
        module = importlib.import_module(name)
    except BaseException:
        sys.modules[name] = stand_in
        raise
    stand_in.__dict__.update(module.__dict__)
    return module


def load_deferred() -> None:
    """Loads the modules left unloaded for the fork (in a worker, after it was forked)."""
    for name in DEFERRED:
        _load(name)


for _name in DEFERRED:
    if _name not in sys.modules:
        sys.modules[_name] = _Deferred(_name)

# What a run imports on its way: the command's modules (the parent's main module, imported again in each
# worker, is usually the command), the run and its report, the strategies, the market's rules, the
# matcher's order ids and the date parser.
import _strptime  # noqa: E402,F401
import nanoid  # noqa: E402,F401

from . import cli, report, stats, strategies  # noqa: E402,F401
from .market_rules import auctions, money, odd_lots, prices, sessions  # noqa: E402,F401
from .modules.engine import engine  # noqa: E402,F401
from .modules.matcher import matcher  # noqa: E402,F401
from .modules.ticker import ticker  # noqa: E402,F401
from .sweep import worker  # noqa: E402,F401
