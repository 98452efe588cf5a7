"""orva-backtest: run a backtest from the command line and write its report folder."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any, Dict, List, Optional, Sequence

from .constant import BASIC_INFO
from .costs import CostSettings
from .driver import Backtest, BacktestError, BacktestResult, Instrument, Progress, StrategyError
from .utils import console, log_file_path, logger

PROG = "orva-backtest"

# The sample backtest: a stock and the near-month TAIEX future over two days, one day of warm-up.
SAMPLE_STOCKS = ["2330"]
SAMPLE_FUTURES = ["TXFR1"]
SAMPLE_START, SAMPLE_END = "2024-01-02", "2024-01-03"
SAMPLE_BACKFILL = ("2023-12-29", "2023-12-29")

API_KEY_ENV = "ORVA_SHIOAJI_API_KEY"
SECRET_KEY_ENV = "ORVA_SHIOAJI_SECRET_KEY"
SIMULATION_ENV = "ORVA_SHIOAJI_SIMULATION"

EXIT_FAILED = 1
EXIT_BAD_INPUT = 2


class _ArgumentParser(argparse.ArgumentParser):
    def error(self, message: str) -> None:  # one line, like every other refusal of this command
        raise BacktestError(message)


def build_parser() -> argparse.ArgumentParser:
    p = _ArgumentParser(
        prog=PROG,
        description="Backtest a strategy on Taiwanese stocks and futures. With no arguments, runs the sample "
        f"backtest ({', '.join(SAMPLE_STOCKS + SAMPLE_FUTURES)}, {SAMPLE_START} to {SAMPLE_END}) on the "
        "offline simulated broker. `orva-backtest sweep --help` runs a grid of backtests.",
    )
    add_run_arguments(p)
    return p


def add_run_arguments(p: argparse.ArgumentParser) -> None:
    """The options of one run; the sweep command takes them too."""
    p.add_argument("--stock", action="append", default=[], metavar="CODE", help="stock to trade (repeatable)")
    p.add_argument("--future", action="append", default=[], metavar="CODE", help="futures contract (repeatable)")
    p.add_argument("--start", metavar="YYYY-MM-DD", help="first day of the backtest")
    p.add_argument("--end", metavar="YYYY-MM-DD", help="last day of the backtest (default: the start day)")
    p.add_argument("--backfill-start", metavar="YYYY-MM-DD", help="first warm-up day, streamed before the start")
    p.add_argument("--backfill-end", metavar="YYYY-MM-DD", help="last warm-up day (default: the backfill start)")
    p.add_argument("--no-backfill", action="store_true", help="no warm-up days")
    p.add_argument("--strategy", default="sample", help="sample, ma_cross, breakout, or package.module:Class")
    p.add_argument("--param", action="append", default=[], metavar="KEY=VALUE", help="strategy parameter")
    p.add_argument("--cost", action="append", default=[], metavar="KEY=VALUE",
                   help="cost setting, e.g. stock_commission_discount=0.6 or future_multipliers.TXF=200")
    p.add_argument("--broker", choices=("sim", "shioaji"), default="sim",
                   help=f"sim: offline generated ticks; shioaji: the broker SDK, logged in with {API_KEY_ENV} "
                   f"and {SECRET_KEY_ENV}")
    p.add_argument("--data-dir", help="data directory for the tick cache and the error log")
    p.add_argument("--report-dir", default="reports", help="folder that receives the report folder (default: reports)")
    p.add_argument("--name", help="name of the report folder (default: backtest-<date>-<time>)")
    p.add_argument("--verbose", action="store_true", help="show every message of the exchange and the tick feed")
    p.add_argument("--no-progress", action="store_true", help="no progress bar")


def _progress_hook(progress: Progress) -> None:
    """Sees every progress report of the bar (tests watch it)."""


def _pairs(items: Sequence[str], what: str) -> Dict[str, str]:
    pairs: Dict[str, str] = {}
    for item in items:
        key, sep, value = item.partition("=")
        if not sep or not key.strip():
            raise BacktestError(f"{what} must look like KEY=VALUE, got {item!r}")
        pairs[key.strip()] = value.strip()
    return pairs


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
    stocks, futures = args.stock, args.future
    if not stocks and not futures:
        stocks, futures = SAMPLE_STOCKS, SAMPLE_FUTURES
    instruments = [Instrument(c, "Stock") for c in stocks] + [Instrument(c, "Future") for c in futures]
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

    try:
        costs = CostSettings.from_overrides(_pairs(args.cost, "--cost"))
    except ValueError as exc:
        raise BacktestError(str(exc)) from None
    params = _pairs(args.param, "--param")
    try:
        strategy = load_strategy(args.strategy, params)
    except ValueError as exc:
        raise BacktestError(str(exc)) from None
    except Exception as exc:  # a user strategy whose constructor fails
        raise StrategyError(f"strategy {args.strategy} could not be created: {type(exc).__name__}: {exc}") from None

    if api is None:  # a sweep hands its workers a cache-only broker
        api = login_shioaji() if args.broker == "shioaji" else None
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
    )


def print_summary(result: BacktestResult, report_path: str) -> None:
    from rich.table import Table

    p = result.positions
    table = Table(title=f"Backtest {result.strategy}: {result.start} to {result.end}", show_header=False)
    table.add_column("item", style="bold")
    table.add_column("value", justify="right")
    backfill = f" (+{result.backfill_ticks:,} warm-up)" if result.backfill_ticks else ""
    table.add_row("Ticks", f"{result.ticks:,}{backfill}")
    table.add_row("Ticks per second", f"{result.ticks_per_second:,.0f}")
    table.add_row("Orders", f"{len(result.orders):,}")
    table.add_row("Fills", f"{len(result.fills):,}")
    table.add_row("Commission", f"{p.commission:,.0f}")
    table.add_row("Tax", f"{p.tax:,.0f}")
    table.add_row("Realized P&L", f"{p.realized_pnl:,.0f}")
    table.add_row("Unrealized P&L", f"{p.unrealized_pnl:,.0f}")
    table.add_row("Net P&L (after costs)", f"{p.equity():,.0f}")
    console.print(table)

    book = Table(title="Final positions")
    for column in ("Code", "Position", "Avg price", "Last", "Realized", "Unrealized"):
        book.add_column(column, justify="left" if column == "Code" else "right", no_wrap=True)
    by_code = {e["code"]: e for e in p.summary()}
    for inst in result.instruments:
        unit = "sh" if inst.market == "Stock" else "ct"
        e = by_code.get(inst.code)
        if e is None:
            book.add_row(inst.code, f"0 {unit}", "-", "-", "0", "0")
            continue
        book.add_row(
            inst.code, f"{e['quantity']:,} {unit}", f"{e['avg_price']:.2f}" if e["quantity"] else "-",
            f"{e['last_price']:.2f}" if e["last_price"] is not None else "-", f"{e['realized_pnl']:,.0f}",
            f"{e['unrealized_pnl']:,.0f}",
        )
    console.print(book)
    console.print(f"[green]Report written to {report_path}[/green]")


def _run(argv: Optional[Sequence[str]]) -> int:
    from rich.progress import BarColumn, Progress as Bar, TaskProgressColumn, TextColumn, TimeElapsedColumn

    from .report import taipei_time, write_report

    args = build_parser().parse_args(argv)
    if args.data_dir:
        BASIC_INFO.data_dir = os.path.abspath(args.data_dir)

    bar: Optional[Bar] = None
    task = None

    def on_progress(p: Progress) -> None:
        _progress_hook(p)
        if bar is None:
            return
        when = taipei_time(p.timestamp)[:19]
        label = "warm-up" if p.phase == "backfill" else "streaming"
        count = p.backfill_ticks if p.phase == "backfill" else p.ticks
        bar.update(task, completed=p.fraction, description=f"{label} {when}", ticks=f"{count:,}")

    backtest = make_backtest(args, on_progress=None if args.no_progress else on_progress)
    if not args.no_progress:
        bar = Bar(
            TextColumn("{task.description}"), BarColumn(), TaskProgressColumn(), TextColumn("{task.fields[ticks]} ticks"),
            TimeElapsedColumn(), console=console,
        )
        task = bar.add_task("loading ticks", total=1.0, ticks="0")
        bar.start()
    try:
        result = backtest.run()
    finally:
        if bar is not None:
            bar.stop()
    path = write_report(result, os.path.abspath(args.report_dir), args.name)
    print_summary(result, os.path.relpath(path))
    return 0


def main(argv: Optional[Sequence[str]] = None) -> int:
    if argv is None:
        argv = sys.argv[1:]
    if argv and argv[0] == "sweep":
        from .sweep import sweep_main

        return sweep_main(argv[1:])
    try:
        return _run(argv)
    except SystemExit as exc:  # --help
        return exc.code if isinstance(exc.code, int) else 0
    except StrategyError as exc:
        _fail(str(exc))
        return EXIT_FAILED
    except BacktestError as exc:
        _fail(str(exc))
        return EXIT_BAD_INPUT
    except KeyboardInterrupt:
        _fail("interrupted")
        return 130
    except Exception as exc:
        logger.exception("orva-backtest failed")
        _fail(f"{type(exc).__name__}: {exc} (traceback in {log_file_path()})")
        return EXIT_FAILED


def _fail(message: str) -> None:
    print(f"{PROG}: error: {' '.join(message.split())}", file=sys.stderr)

