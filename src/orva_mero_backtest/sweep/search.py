"""Searches besides the full grid: a random sample of its combinations (``--search random``), or
Optuna's sampler picking each next combination from the finished runs (``--search optuna``). Both draw
from the same grid of ``--param`` values and instrument sets, with the constraints applied."""

from __future__ import annotations

import math
import random
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple

from ..errors import BacktestError

if TYPE_CHECKING:  # pragma: no cover - the grid imports this module
    from .grid import RunSpec, SweepPlan

Combination = Tuple[Tuple[Any, ...], Dict[str, str]]
INSTRUMENTS = "instruments"  # the name Optuna knows the instrument set by


def random_combinations(plan: "SweepPlan", allowed: Optional[Sequence[Combination]], trials: int,
                        seed: int) -> List[Combination]:
    """``trials`` distinct combinations drawn with ``seed`` (every allowed one when there are fewer), in the
    order drawn. Without constraints the grid is never listed: indices into it are drawn and decoded."""
    rng = random.Random(seed)
    if allowed is not None:
        return rng.sample(list(allowed), min(trials, len(allowed)))
    axes: List[Sequence[Any]] = [plan.instrument_sets, *plan.varying.values()]
    chosen = []
    for index in rng.sample(range(plan.size), min(trials, plan.size)):
        picked = []
        for axis in reversed(axes):  # the last axis varies fastest, as in the grid's order
            index, at = divmod(index, len(axis))
            picked.append(axis[at])
        group, *values = reversed(picked)
        chosen.append((group, dict(zip(plan.varying, values))))
    return chosen


class OptunaFeed:
    """Optuna's sampler (TPE, seeded) as a feed of runs for the engines: it asks for as many trials as
    there are free workers and is told each finished row's metric. A combination that the constraints
    leave out is told as pruned and never run; one already run is told its known value again."""

    def __init__(self, plan: "SweepPlan", metric: str, ascending: bool, seed: int) -> None:
        try:
            import optuna
        except ImportError:
            raise BacktestError("--search optuna needs Optuna: pip install 'orva-mero-backtest[search]'") from None
        optuna.logging.set_verbosity(optuna.logging.WARNING)
        from optuna.distributions import CategoricalDistribution

        self._optuna = optuna
        self.plan, self.metric = plan, metric
        sampler = optuna.samplers.TPESampler(seed=seed, constant_liar=True)
        self.study = optuna.create_study(direction="minimize" if ascending else "maximize", sampler=sampler)
        self._space: Dict[str, Any] = {name: CategoricalDistribution(values) for name, values in plan.varying.items()}
        self._labels = {"+".join(code for code, _ in _pairs(group)): group for group in plan.instrument_sets}
        if len(plan.instrument_sets) > 1:
            self._space[INSTRUMENTS] = CategoricalDistribution(list(self._labels))
        self._asks_left = 20 * plan.trials + 100  # a small grid runs out of new combinations
        self._trials: Dict[int, Any] = {}  # run index -> its trial
        self._seen: Dict[Tuple[Any, ...], Optional[float]] = {}  # combination -> its value once known
        self._runs: Dict[int, Tuple[Any, ...]] = {}

    def take(self, free: int) -> List["RunSpec"]:
        taken: List["RunSpec"] = []
        while len(taken) < free and not self.finished():
            self._asks_left -= 1
            trial = self.study.ask(self._space)
            params = {name: trial.params[name] for name in self.plan.varying}
            group = self._labels[trial.params[INSTRUMENTS]] if INSTRUMENTS in trial.params else \
                self.plan.instrument_sets[0]
            key = (_pairs(group), tuple(sorted(params.items())))
            if not self.plan.may_run(group, params):
                self.study.tell(trial, state=self._optuna.trial.TrialState.PRUNED)
                continue
            if key in self._seen:
                value = self._seen[key]
                if value is None:  # running, or failed: nothing to learn from it again
                    self.study.tell(trial, state=self._optuna.trial.TrialState.PRUNED)
                else:
                    self.study.tell(trial, value)
                continue
            index = len(self._runs)
            self._seen[key] = None
            self._runs[index] = key
            self._trials[index] = trial
            taken.append(self.plan.run_of(index, group, params))
        return taken

    def finished(self) -> bool:
        return len(self._runs) >= self.plan.trials or self._asks_left <= 0

    def told(self, row: Dict[str, Any]) -> None:
        trial = self._trials.pop(row["run"], None)
        if trial is None:
            return
        value = row.get(self.metric)
        if row.get("error") or not isinstance(value, (int, float)) or not math.isfinite(value):
            self.study.tell(trial, state=self._optuna.trial.TrialState.FAIL)
            return
        self._seen[self._runs[row["run"]]] = float(value)
        self.study.tell(trial, float(value))


def _pairs(group: Sequence[Any]) -> Tuple[Tuple[str, str], ...]:
    return tuple((i.code, i.market) for i in group)
