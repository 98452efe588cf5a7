"""Example strategies and the names the command line knows them by."""

from __future__ import annotations

import contextlib
import importlib
import importlib.util
import os
import sys
from types import ModuleType
from typing import Any, Dict, Iterator, List, Optional, Type

from ..strategy import Strategy, StrategyContext
from .breakout import Breakout
from .ma_cross import MovingAverageCross
from .orb import OpeningRangeBreakout


class Sample(Strategy):
    """The sample backtest: moving-average cross on the stocks, breakout on the futures."""

    name = "sample"
    defaults = {
        **{f"ma_{k}": v for k, v in MovingAverageCross.defaults.items()},
        **{f"bo_{k}": v for k, v in Breakout.defaults.items()},
    }

    def __init__(self, **params: Any) -> None:
        super().__init__(**params)
        self.stocks = MovingAverageCross(**{k[3:]: v for k, v in self.params.items() if k.startswith("ma_")})
        self.futures = Breakout(**{k[3:]: v for k, v in self.params.items() if k.startswith("bo_")})
        self._children: List[Strategy] = [self.stocks, self.futures]

    def _for(self, ctx: StrategyContext, code: str) -> Strategy:
        return self.stocks if ctx.instruments.get(code) == "Stock" else self.futures

    def on_start(self, ctx):
        for child in self._children:
            child.on_start(ctx)

    def on_tick(self, ctx, tick):
        (self.stocks if tick["market_type"] == "Stock" else self.futures).on_tick(ctx, tick)

    def on_backfill_end(self, ctx):
        for child in self._children:
            child.on_backfill_end(ctx)

    def on_order(self, ctx, report):
        self._for(ctx, report["order"]["code"]).on_order(ctx, report)

    def on_deal(self, ctx, deal):
        self._for(ctx, deal["code"]).on_deal(ctx, deal)

    def on_finish(self, ctx):
        for child in self._children:
            child.on_finish(ctx)


STRATEGIES: Dict[str, Type[Strategy]] = {
    "sample": Sample,
    "ma_cross": MovingAverageCross,
    "breakout": Breakout,
    "orb": OpeningRangeBreakout,
}


def load_strategy(name: str, params: Dict[str, Any]) -> Strategy:
    """A strategy by registered name, as "path/to/file.py:ClassName" or as "package.module:ClassName"
    (modules are looked up from the current folder first, then on Python's path)."""
    if name in STRATEGIES:
        return STRATEGIES[name](**params)
    source, colon, class_name = name.rpartition(":")
    if not colon or not source or not class_name:
        raise ValueError(
            f"unknown strategy {name!r} (known: {', '.join(STRATEGIES)}; or path/to/file.py:ClassName, "
            "or package.module:ClassName)")
    if source.endswith(".py") or os.sep in source or (os.altsep and os.altsep in source):
        module, where = _load_file(source), source
    else:
        module, where = _load_module(source), f"module {source}"
    cls = getattr(module, class_name, None)
    if cls is None:
        found = sorted(n for n, v in vars(module).items()
                       if isinstance(v, type) and issubclass(v, Strategy) and v.__module__ == module.__name__)
        listed = ", ".join(found) if found else "none"
        raise ValueError(f"cannot load strategy {name}: {where} has no {class_name} (Strategy classes there: {listed})")
    if not (isinstance(cls, type) and issubclass(cls, Strategy)):
        raise ValueError(f"cannot load strategy {name}: {class_name} in {where} is not a subclass of Strategy")
    return cls(**params)


def _load_file(path: str) -> ModuleType:
    full = os.path.abspath(path)
    if not os.path.isfile(full):
        raise ValueError(f"cannot load strategy file {path}: no such file ({full})")
    stem = os.path.splitext(os.path.basename(full))[0]
    module_name = stem if stem.isidentifier() and stem not in sys.modules else f"_orva_strategy_{abs(hash(full))}"
    found = importlib.util.spec_from_file_location(module_name, full)
    if found is None or found.loader is None:
        raise ValueError(f"cannot load strategy file {path}: not a Python file")
    module = importlib.util.module_from_spec(found)
    sys.modules[module_name] = module
    try:
        with _first_on_path(os.path.dirname(full)):  # the file's own helpers beside it can be imported
            found.loader.exec_module(module)
    except BaseException as exc:
        del sys.modules[module_name]
        if isinstance(exc, KeyboardInterrupt):
            raise
        raise ValueError(f"cannot load strategy file {path}: {_reason(exc, full)}") from exc
    return module


@contextlib.contextmanager
def _first_on_path(folder: str, unless_there: bool = False) -> Iterator[None]:
    """``folder`` first on sys.path while loading, unless it is there already ("" stands for the
    current folder when ``unless_there``)."""
    added = folder not in sys.path and not (unless_there and "" in sys.path)
    if added:
        sys.path.insert(0, folder)
    try:
        yield
    finally:
        if added:
            try:
                sys.path.remove(folder)
            except ValueError:
                pass


def _load_module(module_name: str) -> ModuleType:
    here = os.getcwd()
    with _first_on_path(here, unless_there=True):  # the current folder, as `python -m` would see it
        try:
            return importlib.import_module(module_name)
        except ModuleNotFoundError as exc:
            if exc.name and module_name.startswith(exc.name):
                looked = ", ".join(os.path.abspath(p or here) for p in sys.path if not p.endswith(".zip"))
                raise ValueError(
                    f"cannot load strategy module {module_name}: no module named {exc.name!r} (looked in: "
                    f"{looked}; give a file as path/to/file.py:ClassName, or add its folder to PYTHONPATH)"
                ) from None
            raise ValueError(f"cannot load strategy module {module_name}: {_reason(exc, None)}") from exc
        except KeyboardInterrupt:
            raise
        except BaseException as exc:
            raise ValueError(f"cannot load strategy module {module_name}: {_reason(exc, None)}") from exc


def _reason(exc: BaseException, path: Optional[str]) -> str:
    """The exception and where in the user's file it was raised."""
    if isinstance(exc, SyntaxError) and exc.filename:
        return f"SyntaxError: {exc.msg} ({exc.filename}:{exc.lineno})"
    from ..tracing import user_location

    where = user_location(exc)
    return f"{type(exc).__name__}: {exc}" + (f" ({where})" if where else "")


__all__ = ["Breakout", "MovingAverageCross", "OpeningRangeBreakout", "Sample", "STRATEGIES", "load_strategy"]
