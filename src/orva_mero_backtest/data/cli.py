"""orva-backtest import: tick files into the tick cache."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Optional, Sequence

from .cache_broker import DataError, cache_dir
from .importer import FORMATS, MARKETS, SESSIONS, ImportResult, import_ticks
from .sources import MAX_MEMBER_BYTES

EXIT_BAD_INPUT = 2


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> None:
        raise DataError(message)


def build_parser(prog: str) -> argparse.ArgumentParser:
    p = _Parser(
        prog=f"{prog} import",
        description="Import tick files into the tick cache, one file per instrument-day, for --broker cache runs.",
    )
    p.add_argument("files", nargs="+", metavar="FILE", help="tick files (CSV or Parquet; TAIFEX daily CSV or ZIP)")
    p.add_argument("--format", choices=FORMATS,
                   help="sdk: the broker SDK's tick columns; taifex: the futures exchange's daily transaction "
                   "files (default: taifex for Daily_*.csv/.zip, else sdk)")
    p.add_argument("--code", help="sdk: instrument code (default: the file's code column, else the file name, "
                   "2330.csv -> 2330); taifex: only this product (TX, MTX or TXFR1)")
    p.add_argument("--market", choices=MARKETS, help="sdk: Stock or Future (default: Stock for codes starting "
                   "with a digit)")
    p.add_argument("--session", choices=SESSIONS, default="day",
                   help="taifex: day session (default), after-hours session, or both")
    p.add_argument("--data-dir", help="data directory whose tick cache receives the files")
    p.add_argument("--max-member-mb", type=_megabytes, default=MAX_MEMBER_BYTES >> 20,
                   help=f"largest ZIP member unpacked, in MB (default: {MAX_MEMBER_BYTES >> 20:,})")
    return p


def _megabytes(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number of MB: {text!r}") from None
    if not 1 <= value <= 1 << 20:
        raise argparse.ArgumentTypeError(f"must be from 1 to {1 << 20:,} MB, got {value:,}")
    return value


SHOWN_ROWS = 5


def print_result(result: ImportResult, data_dir: str, console) -> None:
    from rich.markup import escape
    from rich.table import Table

    table = Table(title=escape(f"Imported into {cache_dir(data_dir)}"))
    for column in ("Instrument", "Code from", "Day", "Rows kept", "Rows refused"):
        table.add_column(column, justify="right" if column.startswith("Rows") else "left")
    for day in result.days:
        refused = f"[red]{day.refused:,}[/red]" if day.refused else "0"
        table.add_row(escape(day.code), day.source, day.day, f"{day.kept:,}", refused)
    console.print(table)
    for note in result.notes:
        console.print(f"[yellow]{escape(note)}[/yellow]", soft_wrap=True)
    for line in result.refused_rows[:SHOWN_ROWS]:
        console.print(f"refused: {escape(line)}", soft_wrap=True, highlight=False)
    more = result.rows_refused - min(len(result.refused_rows), SHOWN_ROWS)
    if result.rows_refused and (more or result.log_path):
        where = f" in {result.log_path}" if result.log_path else ""
        text = f"{more:,} more refused rows{where}" if more else f"refused rows listed{where}"
        console.print(escape(text), soft_wrap=True, highlight=False)
    skipped = ", ".join(f"{n:,} {what}" for what, n in result.left_out.items())
    console.print(f"{result.kept:,} rows kept, {result.refused:,} refused" + (f"; left out {skipped}" if skipped else ""))


def main(argv: Optional[Sequence[str]], prog: str = "orva-backtest") -> int:
    from ..constant import BASIC_INFO
    from ..utils import console

    try:
        args = build_parser(prog).parse_args(argv)
        data_dir = os.path.abspath(args.data_dir or BASIC_INFO.data_dir)
        result = import_ticks(args.files, format=args.format, code=args.code, market=args.market,
                              data_dir=data_dir, session=args.session, max_member_bytes=args.max_member_mb << 20)
    except SystemExit as exc:  # --help
        return exc.code if isinstance(exc.code, int) else 0
    except DataError as exc:
        print(f"{prog}: error: {' '.join(str(exc).split())}", file=sys.stderr)
        return EXIT_BAD_INPUT
    print_result(result, data_dir, console)
    return 0
