"""orva-backtest: run a backtest from the command line and write its report folder."""

from __future__ import annotations

import argparse
import contextlib
import math
import os
import sys
from typing import Optional, Sequence, TextIO, Tuple

from .constant import BASIC_INFO
from .driver import Backtest, BacktestResult, Progress  # noqa: F401 - Backtest: callers reach it here
from .errors import BacktestError, StrategyError
from .options import (  # noqa: F401 - the run command's own names, used by its callers too
    API_KEY_ENV, EXIT_BAD_INPUT, EXIT_FAILED, EXIT_INTERRUPTED, EXIT_OK, PROG, SAMPLE_BACKFILL, SAMPLE_END,
    SAMPLE_FUTURES, SAMPLE_START, SAMPLE_STOCKS, SECRET_KEY_ENV, SIMULATION_ENV, OneLineParser, add_run_arguments,
    fail as _fail, login_shioaji, make_backtest, refuse, wants_json, write_json,
)
from .stats import DEFAULT_CAPITAL, Statistics  # noqa: F401
from .utils import console, log_file_path, logger

EXIT_STATUS_HELP = """exit status:
  0    the backtest ran to the end (and its report folder was written)
  1    a failure during the run: the strategy raised or ended the run, the tick feed failed,
       the report could not be written
  2    bad input: options, dates, instruments, strategy parameters, cost settings, report name
  130  interrupted (Ctrl-C); no report folder is written"""


def build_parser() -> argparse.ArgumentParser:
    p = OneLineParser(
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


def whole(value: float) -> str:
    """A money amount rounded to whole TWD; a loss that rounds to nothing shows as 0, not -0."""
    text = f"{value:,.0f}"
    return "0" if text == "-0" else text


def held_text(quantity: int, market: str, lot: int) -> str:
    """A position in the unit orders use: lots for stocks (with the shares when not whole lots),
    contracts for futures."""
    if market != "Stock":
        return f"{quantity:,} ct"
    if quantity % lot == 0:
        return f"{quantity // lot:,} lots"
    return f"{quantity / lot:,.3f} lots ({quantity:,} sh)"


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
    table.add_row("Fill model", result.fill_model_text)
    if p.costs.slippage_ticks:
        table.add_row("Slippage", f"{p.costs.slippage_ticks} tick(s) a fill")
    table.add_row("Commission", whole(p.commission))
    table.add_row("Tax", whole(p.tax))
    table.add_row("Realized P&L", whole(p.realized_pnl))
    table.add_row("Unrealized P&L", whole(p.unrealized_pnl))
    table.add_row("Net P&L (after costs)", whole(p.equity()))
    table.add_section()
    for label, text in stats.rows():
        if label != "Net P&L (after costs)":
            table.add_row(label, text)
    console.print(table)

    book = Table(title="Final positions")
    for column in ("Code", "Position", "Avg price", "Last", "Realized", "Unrealized"):
        book.add_column(column, justify="left" if column == "Code" else "right", no_wrap=True)
    by_code = {e["code"]: e for e in p.summary()}
    lot = p.costs.stock_lot_size
    for inst in result.instruments:
        e = by_code.get(inst.code)
        if e is None:
            book.add_row(inst.code, held_text(0, inst.market, lot), "-", "-", "0", "0")
            continue
        book.add_row(
            inst.code, held_text(e["quantity"], inst.market, lot), f"{e['avg_price']:.2f}" if e["quantity"] else "-",
            f"{e['last_price']:.2f}" if e["last_price"] is not None else "-", whole(e["realized_pnl"]),
            whole(e["unrealized_pnl"]),
        )
    console.print(book)
    if report_path is not None:
        console.print(f"[green]Report written to {report_path}[/green]")


def parse_args(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    args = build_parser().parse_args(argv)
    check_report_name(args.name)
    return args


def _run(args: argparse.Namespace, out: TextIO) -> int:
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
    data = summary(result, stats)
    # The options keep every figure finite; should one still not be, the run fails rather than write
    # Infinity or NaN, which JSON has no words for.
    odd = sorted(k for k, v in data.items() if isinstance(v, float) and not math.isfinite(v))
    if odd:
        raise _RunFailed(f"the run gave figures that are not finite numbers: {', '.join(odd)}")
    path = None if args.no_report else write_report(result, os.path.abspath(args.report_dir), args.name, stats)
    if args.json:
        data["report"] = path
        write_json(out, data)
    elif not args.quiet:
        print_summary(result, os.path.relpath(path) if path is not None else None, stats)
    return EXIT_OK


def _strategy_traceback(error: Optional[BaseException], verbose: bool) -> None:
    """With --verbose, the strategy's own frames of its error, after the one-line message."""
    if verbose and isinstance(error, StrategyError) and error.user_traceback:
        sys.stderr.write(error.user_traceback)
        sys.stderr.flush()


class _RunFailed(Exception):
    """A failure once the run has started (the feed, the strategy): exit status 1."""


def _failure(exc: BaseException) -> Tuple[int, str]:
    """The exit status and the error line of a run that ended with ``exc``; called where it was caught."""
    if isinstance(exc, KeyboardInterrupt):
        return EXIT_INTERRUPTED, "interrupted"
    if isinstance(exc, (_RunFailed, StrategyError)):  # StrategyError here: the strategy's constructor
        return EXIT_FAILED, str(exc)
    if isinstance(exc, BacktestError):
        return EXIT_BAD_INPUT, str(exc)
    if isinstance(exc, Exception):
        logger.exception("orva-backtest failed")
        return EXIT_FAILED, f"{type(exc).__name__}: {exc} (traceback in {log_file_path()})"
    # sys.exit() or a BaseException of the strategy's own: not a success
    what = f"{type(exc).__name__}: {exc}" if str(exc) else type(exc).__name__
    return EXIT_FAILED, f"the run was ended by {what}"


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
        return refuse(str(exc), EXIT_BAD_INPUT, sys.stdout if wants_json(argv) else None)
    # With --json, standard output carries the JSON object only: everything else that would go there (the
    # console: progress bar, the modules' error lines; the strategy's own print()) goes to standard error
    # while the run lasts. With --quiet, standard output stays empty.
    out = sys.stdout
    saved_stderr = console.stderr
    if args.json or args.quiet:
        console.stderr = True
    try:
        with contextlib.redirect_stdout(sys.stderr) if args.json else contextlib.nullcontext():
            return _run(args, out)
    except BaseException as exc:
        status, message = _failure(exc)
        error = exc.__cause__ if isinstance(exc, _RunFailed) else exc
    finally:
        console.stderr = saved_stderr
    status = refuse(message, status, out if args.json else None)
    _strategy_traceback(error, args.verbose)  # after the line, on standard error
    return status
