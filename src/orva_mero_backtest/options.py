"""The options of one run, shared by ``orva-backtest`` and ``orva-backtest sweep``: how they are parsed,
their defaults (the sample backtest), and the backtest they build."""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
from typing import Any, Callable, Dict, List, Optional, Sequence, TextIO, Tuple, Union

from .chunks import DEFAULT_MEMORY_BUDGET_MB, MEMORY_BUDGET_ENV
from .costs import CostSettings
from .driver import (CAPITAL_RANGE, DEFAULT_CANCEL_LATENCY_MS, DEFAULT_FILLS, DEFAULT_QUEUE, FILL_MODELS, QUEUE_MODELS,
                     Backtest, Instrument)
from .errors import BacktestError, strategy_error
from .market_rules import RULE_ORDER
from .stats import DEFAULT_CAPITAL

PROG = "orva-backtest"
RULE_CHOICES = RULE_ORDER + ("all",)

# The sample backtest: a stock and the near-month TAIEX future over two days, one day of warm-up.
SAMPLE_STOCKS = ["2330"]
SAMPLE_FUTURES = ["TXFR1"]
SAMPLE_START, SAMPLE_END = "2024-01-02", "2024-01-03"
SAMPLE_BACKFILL = ("2023-12-29", "2023-12-29")

API_KEY_ENV = "ORVA_SHIOAJI_API_KEY"
SECRET_KEY_ENV = "ORVA_SHIOAJI_SECRET_KEY"
SIMULATION_ENV = "ORVA_SHIOAJI_SIMULATION"

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_BAD_INPUT = 2
EXIT_INTERRUPTED = 130


class OneLineParser(argparse.ArgumentParser):
    def error(self, message: str) -> None:  # one line, like every other refusal of these commands
        raise BacktestError(message)


def add_run_arguments(p: argparse.ArgumentParser) -> None:
    """The options of one run; the sweep command takes them too."""
    p.add_argument("--stock", action="append", default=[], metavar="CODE", help="stock to trade (repeatable)")
    p.add_argument("--future", action="append", default=[], metavar="CODE", help="futures contract (repeatable)")
    p.add_argument("--start", metavar="YYYY-MM-DD", help="first day of the backtest")
    p.add_argument("--end", metavar="YYYY-MM-DD", help="last day of the backtest (default: the start day)")
    p.add_argument("--backfill-start", metavar="YYYY-MM-DD", help="first warm-up day, streamed before the start")
    p.add_argument("--backfill-end", metavar="YYYY-MM-DD", help="last warm-up day (default: the backfill start)")
    p.add_argument("--no-backfill", action="store_true", help="no warm-up days")
    p.add_argument("--allow-partial-backfill", action="store_true",
                   help="go on when the warm-up fails part-way (default: the run fails, exit 1)")
    p.add_argument("--strategy", default="sample", help="sample, ma_cross, breakout, orb, path/to/file.py:ClassName or package.module:ClassName")
    p.add_argument("--param", action="append", default=[], metavar="KEY=VALUE", help="strategy parameter")
    p.add_argument("--cost", action="append", default=[], metavar="KEY=VALUE",
                   help="cost setting, e.g. stock_commission_discount=0.6 or future_multipliers.TXF=200")
    p.add_argument("--broker", choices=("sim", "shioaji", "cache"), default="sim",
                   help=f"sim: offline generated ticks; shioaji: the broker SDK, logged in with {API_KEY_ENV} "
                   f"and {SECRET_KEY_ENV}; cache: only the tick cache (files brought in with '{PROG} import')")
    p.add_argument("--data-dir", help="data directory for the tick cache and the error log")
    p.add_argument("--report-dir", default="reports", help="folder that receives the report folder (default: reports)")
    p.add_argument("--name", help="name of the report folder (default: backtest-<date>-<time>)")
    p.add_argument("--verbose", action="store_true", help="show every message of the exchange and the tick feed, and the traceback of a strategy's error")
    p.add_argument("--no-progress", action="store_true", help="no progress bar")
    p.add_argument("--quiet", action="store_true",
                   help="nothing on standard output: no progress bar and no tables; errors are still shown, "
                   "on standard error")
    p.add_argument("--json", action="store_true",
                   help="print the summary with its statistics as one JSON object on standard output, nothing "
                   "else there; a refusal or failure prints {\"error\": ..., \"exit_status\": N} instead (the "
                   "progress bar and the strategy's own prints go to standard error)")
    p.add_argument("--no-report", action="store_true", help="write no report folder")
    p.add_argument("--capital", type=number_option(*CAPITAL_RANGE), default=DEFAULT_CAPITAL, metavar="TWD",
                   help=f"starting capital that returns, drawdown %% and turnover refer to "
                   f"(default: {DEFAULT_CAPITAL:,.0f}; from {CAPITAL_RANGE[0]:,.0f} to {CAPITAL_RANGE[1]:,.0f})")
    p.add_argument("--fills", choices=FILL_MODELS, default=DEFAULT_FILLS,
                   help="how orders fill: quote (the best bid/ask up to its displayed size, resting limits "
                   "behind the queue ahead) or trade (the last trade's price, the tick's whole volume); "
                   f"default: {DEFAULT_FILLS}")
    p.add_argument("--queue", choices=QUEUE_MODELS, default=DEFAULT_QUEUE,
                   help="under --fills quote, what moves a resting limit order up the queue ahead of it: "
                   "conservative (trades at its price only) or proportional (also its share of the "
                   f"cancellations at its level, spread evenly over the level); default: {DEFAULT_QUEUE}")
    p.add_argument("--latency-ms", type=latency_option, default=(0.0, DEFAULT_CANCEL_LATENCY_MS),
                   metavar="ENTRY[,CANCEL]",
                   help="milliseconds of market time before an order reaches the book and, after the comma, "
                   "before a cancel or modification takes effect (a fill before it stands; the strategy then "
                   "gets the exchange's refusal for an order no longer open). One value sets the entry "
                   f"latency only; default: 0,{_figure(DEFAULT_CANCEL_LATENCY_MS)}; each at most {MAX_LATENCY_MS:,}")
    p.add_argument("--no-rule", action="append", default=[], metavar="NAME", choices=RULE_CHOICES,
                   help="turn off one of the exchange's rules (repeatable; 'all' turns every one off): "
                   f"{', '.join(RULE_ORDER)}; see the README's \"Taiwan market rules\"")
    p.add_argument("--memory-budget-mb", type=number_option(1, MAX_MEMORY_BUDGET_MB), metavar="MB",
                   help="memory for the run's ticks: a longer range streams in chunks of trading days, same "
                   f"results (default: ${MEMORY_BUDGET_ENV}, else {DEFAULT_MEMORY_BUDGET_MB:,.0f})")
    p.add_argument("--slippage-ticks", type=number_option(0, MAX_SLIPPAGE_TICKS, whole=True), metavar="N",
                   help="book each fill N ticks of the exchange's tick-size ladder worse than the exchange "
                   "reported: buys higher, sells lower (default: 0, the cost setting slippage_ticks; at most "
                   f"{MAX_SLIPPAGE_TICKS})")


# A petabyte: past any machine's memory, and still a finite number of bytes.
MAX_MEMORY_BUDGET_MB = 1e9
# Cost settings above this (TWD, rates, multipliers alike) are no cost any exchange charges; far larger
# ones turn a fill's cost into an infinite amount.
MAX_COST_SETTING = 1e9
# Ticks of slippage per fill: each is one step of the tick-size ladder, taken one by one per fill.
MAX_SLIPPAGE_TICKS = 1000
# An hour of market time: far beyond any line to the exchange, and still a finite time to add.
MAX_LATENCY_MS = 3_600_000


def _figure(x: float) -> str:
    return f"{x:,.0f}" if x == int(x) else f"{x:g}"


def latency_option(text: str) -> Tuple[float, float]:
    """--latency-ms ENTRY[,CANCEL]: (entry, cancel) milliseconds, cancel the default when left out."""
    parts = text.split(",")
    if len(parts) > 2:
        raise argparse.ArgumentTypeError(f"needs ENTRY or ENTRY,CANCEL, got {text!r}")
    parse = number_option(0, MAX_LATENCY_MS)
    entry = float(parse(parts[0].strip()))
    cancel = float(parse(parts[1].strip())) if len(parts) == 2 else DEFAULT_CANCEL_LATENCY_MS
    return entry, cancel


def _parse_number(text: str, low: float, high: float, whole: bool) -> Union[int, float]:
    try:
        value: Union[int, float] = int(text) if whole else float(text)
    except ValueError:
        raise ValueError(f"needs a {'whole ' if whole else ''}number, got {text!r}") from None
    if not value >= low:  # NaN too
        if low > 0 and not value > 0:
            bound = "above 0"
        else:
            bound = f">= {_figure(low)}" if low <= 0 else f"of at least {_figure(low)}"
        raise ValueError(f"needs a number {bound}, got {text!r}")
    if not value <= high:
        raise ValueError(f"needs a number of at most {_figure(high)}, got {text!r}")
    return value


def check_number(text: str, what: str, low: float, high: float, whole: bool = False) -> Union[int, float]:
    """``text`` as a number from ``low`` to ``high`` (a whole one when ``whole``), or BacktestError with a
    line saying what ``what`` needs. NaN and infinities are refused, so no figure computed from a value
    it let through can become infinite."""
    try:
        return _parse_number(text, low, high, whole)
    except ValueError as exc:
        raise BacktestError(f"{what} {exc}") from None


def number_option(low: float, high: float, whole: bool = False) -> Callable[[str], Union[int, float]]:
    """An argparse ``type`` for a number from ``low`` to ``high`` (see ``check_number``)."""

    def parse(text: str) -> Union[int, float]:
        try:
            return _parse_number(text, low, high, whole)
        except ValueError as exc:
            raise argparse.ArgumentTypeError(str(exc)) from None

    return parse


def key_values(items: Sequence[str], what: str) -> Dict[str, str]:
    """``KEY=VALUE`` items (--param, --cost) as a dict."""
    pairs: Dict[str, str] = {}
    for item in items:
        key, sep, value = item.partition("=")
        if not sep or not key.strip():
            raise BacktestError(f"{what} must look like KEY=VALUE, got {item!r}")
        pairs[key.strip()] = value.strip()
    return pairs


def run_instruments(stocks: Sequence[str], futures: Sequence[str]) -> List[Instrument]:
    """The instruments of --stock and --future; the sample's when neither is given."""
    if not stocks and not futures:
        stocks, futures = SAMPLE_STOCKS, SAMPLE_FUTURES
    return [Instrument(c, "Stock") for c in stocks] + [Instrument(c, "Future") for c in futures]


def login_shioaji() -> Any:
    """The broker SDK's API object, logged in with the keys from the environment."""
    api_key, secret_key = os.environ.get(API_KEY_ENV), os.environ.get(SECRET_KEY_ENV)
    if not api_key or not secret_key:
        raise BacktestError(f"--broker shioaji needs the environment variables {API_KEY_ENV} and {SECRET_KEY_ENV}")
    import shioaji as sj

    simulation = os.environ.get(SIMULATION_ENV, "").lower() in ("1", "true", "yes")
    api = sj.Shioaji(simulation=simulation)
    try:
        api.login(api_key=api_key, secret_key=secret_key, fetch_contract=True)
    except Exception as exc:
        raise BacktestError(f"broker log-in failed: {exc}") from None
    return api


def make_backtest(args: argparse.Namespace, on_progress=None, api: Any = None) -> Backtest:
    from .strategies import load_strategy

    no_dates = not any((args.start, args.end, args.backfill_start, args.backfill_end))
    instruments = run_instruments(args.stock, args.future)
    if no_dates:
        start, end = SAMPLE_START, SAMPLE_END
        backfill: Optional[tuple] = None if args.no_backfill else SAMPLE_BACKFILL
    else:
        if not args.start:
            raise BacktestError("--start is required when other dates are given")
        start, end = args.start, args.end or args.start
        backfill = None
        if args.backfill_start or args.backfill_end:
            if args.no_backfill:
                raise BacktestError("--no-backfill contradicts the backfill dates given")
            if not args.backfill_start:
                raise BacktestError("--backfill-end needs --backfill-start")
            backfill = (args.backfill_start, args.backfill_end or args.backfill_start)

    overrides = key_values(args.cost, "--cost")
    for key, text in overrides.items():  # the cost settings refuse what is no finite number >= 0
        limit = MAX_SLIPPAGE_TICKS if key == "slippage_ticks" else MAX_COST_SETTING
        try:
            number = float(text)
        except ValueError:
            continue
        if math.isfinite(number) and number > limit:
            check_number(text, f"cost setting {key}", 0, limit)
    if args.slippage_ticks is not None:
        overrides["slippage_ticks"] = str(args.slippage_ticks)
    try:
        costs = CostSettings.from_overrides(overrides)
    except ValueError as exc:
        raise BacktestError(str(exc)) from None
    params = key_values(args.param, "--param")
    try:
        strategy = load_strategy(args.strategy, params)
    except ValueError as exc:
        raise BacktestError(str(exc)) from None
    except Exception as exc:  # a user strategy whose constructor fails
        raise strategy_error(f"strategy {args.strategy} could not be created", exc) from exc

    if api is None:  # a sweep hands its workers a cache-only broker
        if args.broker == "shioaji":
            api = login_shioaji()
        elif args.broker == "cache":
            from .data import CacheOnly

            api = CacheOnly()
    return Backtest(
        strategy,
        instruments,
        start,
        end,
        backfill[0] if backfill else None,
        backfill[1] if backfill else None,
        api=api,
        costs=costs,
        on_progress=on_progress,
        module_console="all" if args.verbose else "errors",
        capital=args.capital,
        data_dir=args.data_dir,
        allow_partial_backfill=getattr(args, "allow_partial_backfill", False),
        fills=args.fills,
        latency=args.latency_ms,
        queue=getattr(args, "queue", DEFAULT_QUEUE),
        rules=getattr(args, "no_rule", []),
        memory_budget_mb=getattr(args, "memory_budget_mb", None),
    )


def fail(message: str) -> None:
    """A refusal or failure as the commands print it: one line on standard error."""
    print(f"{PROG}: error: {' '.join(message.split())}", file=sys.stderr)


def wants_json(argv: Sequence[str]) -> bool:
    """Whether ``--json`` (or an abbreviation argparse would take for it) is among the options, for a
    refusal that comes before the options are parsed."""
    for arg in argv:
        if arg == "--":
            return False
        if len(arg) >= 3 and "--json".startswith(arg.partition("=")[0]):
            return True
    return False


def refuse(message: str, status: int, json_out: Optional[TextIO]) -> int:
    """One error line on standard error and, with --json, the error object on ``json_out``."""
    message = " ".join(message.split())
    fail(message)
    if json_out is not None:
        write_json(json_out, {"error": message, "exit_status": status})
    return status


def write_json(out: TextIO, data: Dict[str, Any]) -> None:
    out.write(json.dumps(data, ensure_ascii=False, allow_nan=False) + "\n")
    out.flush()
