"""Example strategies and the names the command line knows them by."""

from __future__ import annotations

import importlib
from typing import Any, Dict, List, Type

from ..strategy import Strategy, StrategyContext
from .breakout import Breakout
from .ma_cross import MovingAverageCross


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
}


def load_strategy(name: str, params: Dict[str, Any]) -> Strategy:
    """A strategy by registered name or as "package.module:ClassName"."""
    if name in STRATEGIES:
        cls = STRATEGIES[name]
    elif ":" in name:
        module_name, _, class_name = name.partition(":")
        try:
            cls = getattr(importlib.import_module(module_name), class_name)
        except (ImportError, AttributeError) as exc:
            raise ValueError(f"cannot load strategy {name}: {exc}") from None
        if not (isinstance(cls, type) and issubclass(cls, Strategy)):
            raise ValueError(f"{name} is not a Strategy subclass")
    else:
        raise ValueError(f"unknown strategy {name!r} (known: {', '.join(STRATEGIES)}, or module:Class)")
    return cls(**params)


__all__ = ["Breakout", "MovingAverageCross", "Sample", "STRATEGIES", "load_strategy"]
