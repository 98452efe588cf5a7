"""The grid of a sweep: parameter values and instrument sets as given, and the runs they make."""

from __future__ import annotations

import argparse
import itertools
import math
import os
from dataclasses import dataclass, field
from decimal import Decimal, InvalidOperation
from typing import Any, Dict, Iterator, List, Mapping, Optional, Sequence, Tuple

from ..chunks import memory_budget_mb
from ..constant import BASIC_INFO
from ..driver import Instrument
from ..errors import BacktestError
from ..options import run_instruments
from .constraint import Constraint

# Values one --param may expand to (a bound on memory, whatever --max-runs says).
MAX_RUNS = 100_000
# Runs a sweep makes unless --max-runs says more: a typo in a range is refused, not run for days.
DEFAULT_MAX_RUNS = 10_000
# Combinations the constraints are checked over, at most.
MAX_GRID = 1_000_000
# A grid this large says so before it starts, even under --quiet (on standard error).
ANNOUNCE_RUNS = 1_000
# The sweep command's own options; every other option is a run option, handed to each run.
SWEEP_OPTIONS = ("instruments", "jobs", "engine", "address", "metric", "ascending", "top", "reports",
                 "ray_shared_data", "max_runs", "maximize", "minimize", "constraint", "search", "trials", "seed",
                 "run_timeout", "walk_forward", "anchored")


def _number_text(value: Decimal) -> str:
    return format(value.normalize(), "f")


def expand_values(name: str, text: str) -> List[str]:
    """The values of one ``--param``: a comma list whose items are values or ``start:stop[:step]``
    ranges (the stop included)."""
    values: List[str] = []
    for item in text.split(","):
        item = item.strip()
        if not item:
            raise BacktestError(f"--param {name}: empty value in {text!r}")
        if ":" not in item:
            values.append(item)
            continue
        parts = item.split(":")
        if len(parts) not in (2, 3):
            raise BacktestError(f"--param {name}: a range is start:stop or start:stop:step, got {item!r}")
        try:
            start, stop = Decimal(parts[0]), Decimal(parts[1])
            step = Decimal(parts[2]) if len(parts) == 3 else Decimal(1)
        except InvalidOperation:
            raise BacktestError(f"--param {name}: the range {item!r} needs numbers") from None
        if not all(v.is_finite() for v in (start, stop, step)) or step <= 0:
            raise BacktestError(f"--param {name}: the range {item!r} needs finite numbers and a step above 0")
        if stop < start:
            raise BacktestError(f"--param {name}: the range {item!r} ends before it starts")
        count = int((stop - start) / step) + 1
        if len(values) + count > MAX_RUNS:
            raise BacktestError(f"--param {name}: the range {item!r} has more than {MAX_RUNS:,} values")
        values.extend(_number_text(start + i * step) for i in range(count))
    seen = set()
    for value in values:
        if value in seen:
            raise BacktestError(f"--param {name}: value {value} is given twice")
        seen.add(value)
    return values


def parse_params(items: Sequence[str], known: Optional[Mapping[str, Any]] = None,
                 strategy: str = "the strategy") -> Dict[str, List[str]]:
    """Every ``--param`` as NAME -> its values, in the order given. With ``known`` (the strategy's
    parameters), a name it lacks is refused before any value is expanded."""
    grid: Dict[str, List[str]] = {}
    for item in items:
        name, sep, text = item.partition("=")
        name = name.strip()
        if not sep or not name:
            raise BacktestError(f"--param must look like NAME=V1,V2,... or NAME=start:stop:step, got {item!r}")
        if name in grid:
            raise BacktestError(f"--param {name} is given twice")
        if known is not None and name not in known:
            listed = ", ".join(known) or "none"
            raise BacktestError(f"{strategy} has no parameter {name} (parameters: {listed})")
        grid[name] = expand_values(name, text)
    return grid


def strategy_defaults(name: str) -> Optional[Tuple[str, Mapping[str, Any]]]:
    """The strategy's name and parameters with their defaults, without building it; None when it
    cannot be loaded (building its first run then says why)."""
    import importlib

    from ..strategies import STRATEGIES
    from ..strategy import Strategy

    cls: Any = STRATEGIES.get(name)
    if cls is None and ":" in name:
        module_name, _, class_name = name.partition(":")
        try:
            cls = getattr(importlib.import_module(module_name), class_name)
        except Exception:
            return None
    if not (isinstance(cls, type) and issubclass(cls, Strategy)) or not isinstance(cls.defaults, Mapping):
        return None
    return str(getattr(cls, "name", name)), cls.defaults


def parse_instrument(text: str) -> Instrument:
    """``stock:CODE`` / ``future:CODE``, or a bare code: a stock when it starts with a digit (the
    exchange's stock codes do), else a futures contract."""
    prefix, sep, code = text.partition(":")
    if sep:
        market = {"stock": "Stock", "future": "Future"}.get(prefix.strip().lower())
        if market is None:
            raise BacktestError(f"--instruments: the market of {text!r} must be stock: or future:")
    else:
        code = text
        market = "Stock" if code.strip()[:1].isdigit() else "Future"
    code = code.strip()
    if not code:
        raise BacktestError(f"--instruments: empty instrument code in {text!r}")
    return Instrument(code, market)


def parse_instrument_sets(items: Sequence[str]) -> List[Tuple[Instrument, ...]]:
    """``--instruments`` values: comma-separated alternatives, each one code or codes joined by "+"."""
    sets: List[Tuple[Instrument, ...]] = []
    for item in items:
        for alternative in item.split(","):
            if not alternative.strip():
                raise BacktestError(f"--instruments: empty set in {item!r}")
            group = tuple(parse_instrument(part) for part in alternative.split("+"))
            if group in sets:
                raise BacktestError(f"--instruments: the set {instruments_label(group)} is given twice")
            sets.append(group)
    return sets


def instruments_label(instruments: Sequence[Instrument]) -> str:
    return "+".join(i.code for i in instruments)


def typed(text: str) -> Any:
    """A parameter text as the number it reads as, for the result columns (the strategy gets the text)."""
    try:
        return int(text)
    except ValueError:
        pass
    try:
        number = float(text)
    except ValueError:
        return text
    return number if math.isfinite(number) else text


@dataclass(frozen=True)
class RunSpec:
    """One run of the grid, as a worker needs it (plain values only: it crosses process boundaries)."""

    index: int
    params: Tuple[Tuple[str, str], ...]  # every strategy parameter of the run, as texts
    instruments: Tuple[Tuple[str, str], ...]  # (code, market)
    options: Tuple[Tuple[str, Any], ...]  # the run options every run shares
    data_dir: str  # the tick cache root the run reads (filled by the parent before the runs)
    report_dir: Optional[str] = None  # with --reports: the folder that receives this run's report
    simulated: bool = False  # data_dir is the simulated broker's own root

    @property
    def label(self) -> str:
        return "+".join(code for code, _ in self.instruments)


@dataclass
class SweepPlan:
    options: argparse.Namespace
    fixed: Dict[str, str]  # parameters with one value
    varying: Dict[str, List[str]]  # parameters with several values, in the order given
    instrument_sets: List[Tuple[Instrument, ...]]
    runs: List[RunSpec] = field(default_factory=list)
    constraints: List[Constraint] = field(default_factory=list)
    defaults: Dict[str, Any] = field(default_factory=dict)  # the strategy's parameters not in the grid
    data_dir: str = ""
    simulated: bool = False  # data_dir is the simulated broker's own root
    report_dir: Optional[str] = None  # with --reports: where each run writes its report folder
    search: str = "grid"
    trials: int = 0  # random and optuna: the runs to make
    allowed: Optional[set] = None  # optuna with constraints: the combinations that may run

    def may_run(self, group: Sequence[Instrument], params: Mapping[str, str]) -> bool:
        if self.allowed is not None:
            return _key(group, params) in self.allowed
        return self.allows({**self.fixed, **params})

    @property
    def planned(self) -> int:
        """The runs the sweep makes: every run of the list, or the trials of a search that picks as it goes."""
        return len(self.runs) if self.runs or self.search != "optuna" else self.trials

    def allows(self, params: Mapping[str, str]) -> bool:
        """True when every --constraint holds for these parameter texts."""
        if not self.constraints:
            return True
        values = {**self.defaults, **{k: typed(v) for k, v in params.items()}}
        return all(constraint(values) for constraint in self.constraints)

    def run_of(self, index: int, group: Sequence[Instrument], params: Mapping[str, str]) -> RunSpec:
        return RunSpec(index=index, params=tuple({**self.fixed, **params}.items()), instruments=_pairs(group),
                       options=tuple(sorted(vars(self.options).items())), data_dir=self.data_dir,
                       report_dir=self.report_dir, simulated=self.simulated)

    def probe(self, group: Sequence[Instrument]) -> List[RunSpec]:
        """Runs of one instrument set to check its options with: the set's planned runs, or (for a search
        that picks as it goes) the first combination of the grid."""
        runs = [job for job in self.runs if job.instruments == _pairs(group)]
        return runs or [self.run_of(0, group, {name: values[0] for name, values in self.varying.items()})]

    def combinations(self) -> Iterator[Tuple[Tuple[Instrument, ...], Dict[str, str]]]:
        """Every instrument set and varying values of the grid, in grid order, constraints not applied."""
        for group, *values in itertools.product(self.instrument_sets, *self.varying.values()):
            yield group, dict(zip(self.varying, values))

    @property
    def size(self) -> int:
        """Combinations of the grid before the constraints."""
        return len(self.instrument_sets) * math.prod(len(v) for v in self.varying.values())


def plan_sweep(args: argparse.Namespace) -> SweepPlan:
    """The runs of the grid; refuses bad input before anything runs."""
    found = strategy_defaults(args.strategy)
    grid = parse_params(args.param, *((found[1], found[0]) if found else ()))
    if args.instruments and (args.stock or args.future):
        raise BacktestError("give the instruments either with --instruments or with --stock/--future")
    if args.instruments:
        sets = parse_instrument_sets(args.instruments)
    else:
        sets = [tuple(run_instruments(args.stock, args.future))]
    fixed = {name: values[0] for name, values in grid.items() if len(values) == 1}
    varying = {name: values for name, values in grid.items() if len(values) > 1}
    options = {k: v for k, v in vars(args).items() if k not in SWEEP_OPTIONS}
    options.update(param=[], stock=[], future=[], no_progress=True, verbose=False)
    # Settled here, from $ORVA_MERO_BACKTEST_MEMORY_BUDGET_MB if need be: a Ray node lacks this environment.
    options["memory_budget_mb"] = memory_budget_mb(options.get("memory_budget_mb"))
    defaults = {k: v for k, v in (found[1] if found else {}).items() if k not in grid}
    names = {**defaults, **grid}
    plan = SweepPlan(argparse.Namespace(**options), fixed, varying, sets,
                     constraints=[Constraint(text, names) for text in getattr(args, "constraint", None) or ()],
                     defaults=defaults,
                     # The user's data directory until warm_cache names the root that the runs read.
                     data_dir=os.path.abspath(args.data_dir or BASIC_INFO.data_dir))
    limit = getattr(args, "max_runs", None) or DEFAULT_MAX_RUNS
    search = getattr(args, "search", None) or "grid"
    plan.search = search
    if search != "grid":
        plan.trials = args.trials
        if plan.trials > limit:
            raise BacktestError(f"--trials {plan.trials:,} is more than --max-runs allows ({limit:,}); give "
                                f"--max-runs {plan.trials} to run them all")
    elif not plan.constraints and plan.size > limit:
        raise BacktestError(f"the grid has {plan.size:,} runs, more than --max-runs allows ({limit:,}); give "
                            f"--max-runs {plan.size} to run them all")
    if search == "grid" or plan.constraints:
        if plan.size > MAX_GRID:
            what = "a sweep takes" if search == "grid" else "the constraints are checked over"
            raise BacktestError(f"the grid has {plan.size:,} combinations, more than {what} ({MAX_GRID:,}); "
                                "narrow the ranges")
        allowed = [(group, params) for group, params in plan.combinations() if plan.allows({**fixed, **params})]
        if not allowed:
            raise BacktestError(f"no combination of the grid satisfies --constraint "
                                f"{' and '.join(repr(c.text) for c in plan.constraints)}")
    else:
        allowed = None
    if search == "grid":
        assert allowed is not None
        if len(allowed) > limit:
            raise BacktestError(f"the grid has {len(allowed):,} runs that satisfy the constraints, more than "
                                f"--max-runs allows ({limit:,}); give --max-runs {len(allowed)} to run them all")
    elif search == "random":
        from .search import random_combinations

        allowed = random_combinations(plan, allowed, plan.trials, 0 if args.seed is None else args.seed)
    else:
        plan.allowed = None if allowed is None else {_key(group, params) for group, params in allowed}
        return plan  # the search picks its runs as they finish
    plan.runs = [plan.run_of(index, group, params) for index, (group, params) in enumerate(allowed)]
    return plan


def _key(group: Sequence[Instrument], params: Mapping[str, str]) -> Tuple[Any, ...]:
    return (_pairs(group), tuple(sorted(params.items())))


def run_args(job: RunSpec) -> argparse.Namespace:
    """The run options of one run, as the run command would have parsed them."""
    args = argparse.Namespace(**dict(job.options))
    args.data_dir = job.data_dir
    args.param = [f"{k}={v}" for k, v in job.params]
    args.stock = [code for code, market in job.instruments if market == "Stock"]
    args.future = [code for code, market in job.instruments if market == "Future"]
    return args


def _pairs(group: Sequence[Instrument]) -> Tuple[Tuple[str, str], ...]:
    return tuple((i.code, i.market) for i in group)
