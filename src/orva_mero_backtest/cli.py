"""orva-backtest: run a backtest from the command line and write its report folder."""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Any, Dict, List, Optional, Sequence

from .constant import BASIC_INFO
from .costs import CostSettings
from .driver import Backtest, BacktestError, BacktestResult, Instrument, Progress, StrategyError
from .stats import DEFAULT_CAPITAL, Statistics
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

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_BAD_INPUT = 2
EXIT_INTERRUPTED = 130

EXIT_STATUS_HELP = """exit status:
  0    the backtest ran to the end (and its report folder was written)
  1    a failure during the run: the strategy raised or ended the run, the tick feed failed,
       the report could not be written
  2    bad input: options, dates, instruments, strategy parameters, cost settings, report name
  130  interrupted (Ctrl-C); no report folder is written"""


class _ArgumentParser(argparse.ArgumentParser):
    def error(self, message: str) -> None:  # one line, like every other refusal of this command
        raise BacktestError(message)


def build_parser() -> argparse.ArgumentParser:
    p = _ArgumentParser(
        prog=PROG,
        description="Backtest a strategy on Taiwanese stocks and futures. With no arguments, runs the sample "
        f"backtest ({', '.join(SAMPLE_STOCKS + SAMPLE_FUTURES)}, {SAMPLE_START} to {SAMPLE_END}) on the "
        "offline simulated broker. `orva-backtest sweep --help` runs a grid of backtests; "
        "`orva-backtest import --help` brings your own tick files into the cache.",
        epilog=EXIT_STATUS_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
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
    p.add_argument("--broker", choices=("sim", "shioaji", "cache"), default="sim",
                   help=f"sim: offline generated ticks; shioaji: the broker SDK, logged in with {API_KEY_ENV} "
                   f"and {SECRET_KEY_ENV}; cache: only the tick cache (files brought in with '{PROG} import')")
    p.add_argument("--data-dir", help="data directory for the tick cache and the error log")
    p.add_argument("--report-dir", default="reports", help="folder that receives the report folder (default: reports)")
    p.add_argument("--name", help="name of the report folder (default: backtest-<date>-<time>)")
    p.add_argument("--verbose", action="store_true", help="show every message of the exchange and the tick feed")
    p.add_argument("--no-progress", action="store_true", help="no progress bar")
    p.add_argument("--quiet", action="store_true", help="no progress bar and no tables; errors are still shown")
    p.add_argument("--json", action="store_true",
                   help="print the summary with its statistics as one JSON object on standard output, nothing "
                   "else there (the progress bar, if any, goes to standard error)")
    p.add_argument("--no-report", action="store_true", help="write no report folder")
    p.add_argument("--capital", type=_positive_float, default=DEFAULT_CAPITAL, metavar="TWD",
                   help=f"starting capital that returns, drawdown %% and turnover refer to "
                   f"(default: {DEFAULT_CAPITAL:,.0f})")
    p.add_argument("--slippage-ticks", type=_ticks, metavar="N",
                   help="book each fill N ticks of the exchange's tick-size ladder worse than the exchange "
                   "reported: buys higher, sells lower (default: 0, the cost setting slippage_ticks)")


def _positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"needs a number, got {text!r}") from None
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"needs a number above 0, got {text!r}")
    return value


def _ticks(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"needs a whole number, got {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"needs a number >= 0, got {text!r}")
    return value


def check_report_name(name: Optional[str]) -> None:
    """Refuses a report folder name that is not one plain folder name, before the run starts."""
    if name is None:
        return
    bad = (not name.strip() or name in (".", "..") or "/" in name or "\\" in name or "\0" in name
           or (os.altsep is not None and os.altsep in name))
    if bad:
        raise BacktestError(f"--name must be a plain folder name (no path), got {name!r}")


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

    overrides = _pairs(args.cost, "--cost")
    if args.slippage_ticks is not None:
        overrides["slippage_ticks"] = str(args.slippage_ticks)
    try:
        costs = CostSettings.from_overrides(overrides)
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
    )


def print_summary(result: BacktestResult, report_path: Optional[str], stats: Optional[Statistics] = None) -> None:
    from rich.table import Table

    if stats is None:
        stats = result.statistics()
    p = result.positions
    table = Table(title=f"Backtest {result.strategy}: {result.start} to {result.end}", show_header=False)
    table.add_column("item", style="bold")
    table.add_column("value", justify="right")
    backfill = f" (+{result.backfill_ticks:,} warm-up)" if result.backfill_ticks else ""
    table.add_row("Ticks", f"{result.ticks:,}{backfill}")
    table.add_row("Ticks per second", f"{result.ticks_per_second:,.0f}")
    table.add_row("Orders", f"{len(result.orders):,}")
    table.add_row("Fills", f"{len(result.fills):,}")
    if p.costs.slippage_ticks:
        table.add_row("Slippage", f"{p.costs.slippage_ticks} tick(s) a fill")
    table.add_row("Commission", f"{p.commission:,.0f}")
    table.add_row("Tax", f"{p.tax:,.0f}")
    table.add_row("Realized P&L", f"{p.realized_pnl:,.0f}")
    table.add_row("Unrealized P&L", f"{p.unrealized_pnl:,.0f}")
    table.add_row("Net P&L (after costs)", f"{p.equity():,.0f}")
    table.add_section()
    for label, text in stats.rows():
        if label != "Net P&L (after costs)":
            table.add_row(label, text)
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
    if report_path is not None:
        console.print(f"[green]Report written to {report_path}[/green]")


def parse_args(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    args = build_parser().parse_args(argv)
    check_report_name(args.name)
    return args


def _run(args: argparse.Namespace) -> int:
    from rich.progress import BarColumn, Progress as Bar, TaskProgressColumn, TextColumn, TimeElapsedColumn

    from .report import summary, taipei_time, write_report

    if args.data_dir:
        BASIC_INFO.data_dir = os.path.abspath(args.data_dir)

    bar: Optional[Bar] = None
    task = None
    show_progress = not (args.no_progress or args.quiet)

    def on_progress(p: Progress) -> None:
        _progress_hook(p)
        if bar is None:
            return
        when = taipei_time(p.timestamp)[:19]
        label = "warm-up" if p.phase == "backfill" else "streaming"
        count = p.backfill_ticks if p.phase == "backfill" else p.ticks
        bar.update(task, completed=p.fraction, description=f"{label} {when}", ticks=f"{count:,}")

    backtest = make_backtest(args, on_progress=on_progress if show_progress else None)
    if show_progress:
        bar = Bar(
            TextColumn("{task.description}"), BarColumn(), TaskProgressColumn(), TextColumn("{task.fields[ticks]} ticks"),
            TimeElapsedColumn(), console=console,
        )
        task = bar.add_task("loading ticks", total=1.0, ticks="0")
        bar.start()
    try:
        result = backtest.run()
    except BacktestError as exc:
        raise _RunFailed(str(exc)) from exc
    finally:
        if bar is not None:
            bar.stop()
    stats = result.statistics()
    path = None if args.no_report else write_report(result, os.path.abspath(args.report_dir), args.name, stats)
    if args.json:
        data = summary(result, stats)
        data["report"] = path
        sys.stdout.write(json.dumps(data, ensure_ascii=False, allow_nan=False) + "\n")
        sys.stdout.flush()
    elif not args.quiet:
        print_summary(result, os.path.relpath(path) if path is not None else None, stats)
    return EXIT_OK


class _RunFailed(Exception):
    """A failure once the run has started (the feed, the strategy): exit status 1."""


def main(argv: Optional[Sequence[str]] = None) -> int:
    if argv is None:
        argv = sys.argv[1:]
    if argv and argv[0] == "import":
        from .data.cli import main as data_cli

        return data_cli(argv[1:], PROG)
    if argv and argv[0] == "sweep":
        from .sweep import sweep_main

        return sweep_main(argv[1:])
    try:
        args = parse_args(argv)
    except SystemExit as exc:  # --help
        return exc.code if isinstance(exc.code, int) else 0
    except BacktestError as exc:
        _fail(str(exc))
        return EXIT_BAD_INPUT
    # With --json, standard output carries the JSON object only: everything the console prints (the
    # progress bar, the modules' error lines) goes to standard error.
    saved_stderr = console.stderr
    if args.json:
        console.stderr = True
    try:
        return _run(args)
    except KeyboardInterrupt:
        _fail("interrupted")
        return EXIT_INTERRUPTED
    except _RunFailed as exc:
        _fail(str(exc))
        return EXIT_FAILED
    except StrategyError as exc:  # the strategy's constructor
        _fail(str(exc))
        return EXIT_FAILED
    except BacktestError as exc:
        _fail(str(exc))
        return EXIT_BAD_INPUT
    except Exception as exc:
        logger.exception("orva-backtest failed")
        _fail(f"{type(exc).__name__}: {exc} (traceback in {log_file_path()})")
        return EXIT_FAILED
    except BaseException as exc:  # sys.exit() or a BaseException of the strategy's own: not a success
        what = f"{type(exc).__name__}: {exc}" if str(exc) else type(exc).__name__
        _fail(f"the run was ended by {what}")
        return EXIT_FAILED
    finally:
        console.stderr = saved_stderr


def _fail(message: str) -> None:
    print(f"{PROG}: error: {' '.join(message.split())}", file=sys.stderr)
