"""Imports tick files into the tick cache, one cache file per instrument-day.

Two formats: ``sdk`` (the broker SDK's tick columns, CSV or Parquet, or a DataFrame) and ``taifex`` (the
futures exchange's public daily transaction files, CSV or the ZIP holding it). Every input is parsed
before anything is written, so a file that cannot be read leaves the cache as it was.
"""

from __future__ import annotations

import os
import re
import zipfile
from dataclasses import dataclass, field
from datetime import date as Date, datetime
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import polars as pl

from .cache_broker import DataError, cache_dir, cache_file
from .clock import after_hours_trading_day, wall_ns
from .codes import check_code, code_problem
from ..constant import BASIC_INFO
from ..utils import write_atomically

TICK_SCHEMA = {
    "ts": pl.Int64, "close": pl.Float64, "volume": pl.Int64, "bid_price": pl.Float64,
    "bid_volume": pl.Int64, "ask_price": pl.Float64, "ask_volume": pl.Int64, "tick_type": pl.Int64,
}
REQUIRED = ("ts", "close", "volume")
FORMATS = ("sdk", "taifex")
SESSIONS = ("day", "after-hours", "all")
MARKETS = ("Stock", "Future")

# Plausible tick times: 1990 to 2100, in epoch nanoseconds.
_TS_MIN, _TS_MAX = wall_ns(Date(1990, 1, 1)), wall_ns(Date(2100, 1, 1))
_NS_PER_DAY = 86_400 * 1_000_000_000
_DAY_OPEN_NS = (8 * 3600 + 45 * 60) * 1_000_000_000
_DAY_CLOSE_NS = (13 * 3600 + 45 * 60) * 1_000_000_000

# The exchange's product codes whose broker codes differ from the product code; any other product keeps
# its own code (stock futures such as CDF are already written the broker's way).
TAIFEX_PRODUCTS = {"TX": "TXF", "MTX": "MXF", "TMF": "TMF", "TE": "EXF", "TF": "FXF", "XIF": "XIF", "GTF": "GTF"}
_TAIFEX_COLUMNS = {
    "成交日期": "date", "商品代號": "product", "到期月份(週別)": "month", "成交時間": "time",
    "成交價格": "price", "成交數量(B+S)": "volume",
}


@dataclass
class ImportedDay:
    code: str
    day: str  # "-" when the refused rows had no readable time
    kept: int
    refused: int
    path: Optional[str] = None  # the cache file written; None when no row was kept


@dataclass
class ImportResult:
    days: List[ImportedDay] = field(default_factory=list)
    left_out: Dict[str, int] = field(default_factory=dict)  # rows skipped on purpose (spreads, other session)

    @property
    def kept(self) -> int:
        return sum(d.kept for d in self.days)

    @property
    def refused(self) -> int:
        return sum(d.refused for d in self.days)


# --- shared parsing ------------------------------------------------------------------------------


def _exact_integer(text: pl.Series) -> pl.Series:
    """Integer text of any size (epoch nanoseconds), also written with a ".0" ending."""
    values = text.cast(pl.Int64, strict=False)
    if values.null_count() > text.null_count():
        values = values.fill_null(text.str.replace(r"\.0*$", "").cast(pl.Int64, strict=False))
    return values


def _floats(column: pl.Series) -> pl.Series:
    """Numbers of a column of any type; text is read as written ("105", "105.0", " 105 ")."""
    if column.dtype != pl.String:
        return column.cast(pl.Float64, strict=False)
    values = column.cast(pl.Float64, strict=False)
    if values.null_count() > column.null_count():
        values = values.fill_null(column.str.strip_chars().cast(pl.Float64, strict=False))
    return values


def _frame_of(source: Any) -> pl.DataFrame:
    if isinstance(source, pl.DataFrame):
        return source
    if type(source).__module__.startswith("pandas"):
        import pandas as pd

        frame = source.reset_index(drop=True)
        for name in frame.columns:
            # Time-zone-aware columns need pyarrow to convert; Taipei wall clock is all that is kept anyway.
            if isinstance(frame[name].dtype, pd.DatetimeTZDtype):
                frame[name] = frame[name].dt.tz_convert("Asia/Taipei").dt.tz_localize(None)
        return pl.from_pandas(frame)
    raise TypeError(f"expected a file path or a polars or pandas DataFrame, got {type(source).__name__}")


# --- the sdk format ------------------------------------------------------------------------------


def _read_sdk_file(path: str) -> pl.DataFrame:
    if path.lower().endswith((".parquet", ".pq")):
        return pl.read_parquet(path)
    return pl.read_csv(path, infer_schema=False, truncate_ragged_lines=True)


def _ts_as_text(frame: pl.DataFrame) -> pl.DataFrame:
    """A date-time typed ``ts`` (Parquet, DataFrames) as epoch nanoseconds of the Taipei wall clock."""
    dtype = frame.schema["ts"]
    if isinstance(dtype, pl.Datetime):
        ts = pl.col("ts")
        if dtype.time_zone is not None:
            ts = ts.dt.convert_time_zone("Asia/Taipei").dt.replace_time_zone(None)
        frame = frame.with_columns(ts.dt.epoch("ns").alias("ts"))
    return frame


def _ts_values(column: pl.Series) -> pl.Series:
    """Epoch nanoseconds (also written as a float) or date-time text (the Taipei wall clock, or with an
    offset turned into Taipei time) as Int64; null where neither reads."""
    text = column.cast(pl.String).str.strip_chars()
    values = _exact_integer(text)
    if values.null_count() > text.null_count():
        # Parsed as a Series (not in an expression) so that polars can find an offset in the text.
        only_text = text.zip_with(values.is_null(), pl.Series([None] * len(text), dtype=pl.String))
        stamps = only_text.str.to_datetime(strict=False, time_unit="ns")
        if stamps.dtype.time_zone is not None:
            stamps = stamps.dt.convert_time_zone("Asia/Taipei").dt.replace_time_zone(None)
        values = values.fill_null(stamps.dt.epoch("ns"))
    return values.cast(pl.Int64)


def parse_sdk(frame: pl.DataFrame, code: str, market: str) -> Tuple[pl.DataFrame, pl.DataFrame]:
    """(kept ticks with "code" and "day", refused rows with "code" and "day") of a frame with the SDK's
    tick columns, matched by name in any order."""
    frame = frame.rename({c: c.strip().lower() for c in frame.columns})
    absent = [c for c in REQUIRED if c not in frame.columns]
    if absent:
        raise DataError(f"no column {', '.join(absent)} (columns: {', '.join(frame.columns)})")
    frame = _ts_as_text(frame)
    frame = frame.with_columns(_ts_values(frame["ts"]).alias("ts"))
    # Numbers are parsed column by column as Series: the plain cast first, the slower clean-up only
    # when some text did not read.
    given = {c: frame[c].is_not_null() for c in TICK_SCHEMA if c in frame.columns}
    numbers = pl.DataFrame({c: _floats(frame[c]) for c in TICK_SCHEMA if c in frame.columns and c != "ts"})
    numbers = numbers.with_columns(frame["ts"].alias("ts"), *(mask.alias(f"_given_{c}") for c, mask in given.items()))

    def value(name: str, whole: bool, default: Optional[float]) -> Tuple[pl.Expr, pl.Expr]:
        """The column's values and where they are bad: not a number (or not whole), or negative."""
        if name not in numbers.columns:
            return pl.lit(default), pl.lit(False)
        number = pl.col(name)
        ok = number.is_finite() & (number >= 0)
        if whole:
            ok = ok & (number == number.round(0)) & (number.abs() < 2.0**53)
        bad = pl.col(f"_given_{name}") & ~ok.fill_null(False)
        return pl.when(ok).then(number).otherwise(default), bad

    parsed = {}
    bad_any = pl.lit(False)
    for name, whole, default in (("close", False, None), ("volume", True, None), ("bid_price", False, 0.0),
                                 ("bid_volume", True, 0), ("ask_price", False, 0.0), ("ask_volume", True, 0),
                                 ("tick_type", True, 0)):
        parsed[name], bad = value(name, whole, default)
        if default is not None:  # optional columns: empty means the default, anything unreadable is bad
            bad_any = bad_any | bad
    columns = numbers.select(
        pl.col("ts"), *(expr.alias(name) for name, expr in parsed.items()), bad_any.alias("_bad_optional")
    )
    good = (
        pl.col("ts").is_between(_TS_MIN, _TS_MAX) & (pl.col("close") > 0) & pl.col("volume").is_not_null()
        & ~pl.col("_bad_optional")
    ).fill_null(False)
    columns = columns.with_columns(good.alias("_good"), pl.lit(code).alias("code"))
    columns = columns.with_columns(_trading_day(pl.col("ts"), market).alias("day"))
    kept = columns.filter(pl.col("_good")).select(*TICK_SCHEMA, "code", "day")
    refused = columns.filter(~pl.col("_good")).select("code", "day")
    return kept.cast(TICK_SCHEMA), refused


def _trading_day(ts: pl.Expr, market: str) -> pl.Expr:
    """The trading day of each tick: its calendar day, except futures' after-hours trades (see
    ``after_hours_trading_day``)."""
    ok = ts.is_between(_TS_MIN, _TS_MAX)
    calendar = pl.when(ok).then(ts).otherwise(None).cast(pl.Datetime("ns")).dt.date()
    if market != "Future":
        return calendar
    into_day = ts % _NS_PER_DAY
    after_hours = (into_day < _DAY_OPEN_NS) | (into_day > _DAY_CLOSE_NS)
    # The session's opening day: the calendar day, or the one before for trades after midnight.
    opened = pl.when(into_day < _DAY_OPEN_NS).then(calendar - pl.duration(days=1)).otherwise(calendar)
    booked = opened.map_batches(_next_trading_days, return_dtype=pl.Date)
    return pl.when(ok & after_hours).then(booked).otherwise(calendar)


def _next_trading_days(opened: pl.Series) -> pl.Series:
    from datetime import time as Time

    table = {d: after_hours_trading_day(d, Time(15, 0)) for d in opened.drop_nulls().unique().to_list()}
    return opened.replace_strict(table, default=None, return_dtype=pl.Date) if table else opened


# --- the taifex format -----------------------------------------------------------------------------


def _taifex_text(path: str) -> str:
    """The file's text: a CSV, or the CSV inside a ZIP; cp950 (Big5) encoded."""
    if path.lower().endswith(".zip"):
        with zipfile.ZipFile(path) as archive:
            members = [n for n in archive.namelist() if n.lower().endswith((".csv", ".txt"))]
            if not members:
                raise DataError("the ZIP holds no CSV file")
            raw = b"".join(archive.read(n) for n in members[:1])
    else:
        with open(path, "rb") as f:
            raw = f.read()
    try:
        return raw.decode("cp950")
    except UnicodeDecodeError as exc:
        raise DataError(f"not cp950 (Big5) text: {exc}") from None


def _strip_few(name: str) -> pl.Expr:
    return pl.col(name).cast(pl.Categorical).cast(pl.String).str.strip_chars()


def _integers(column: pl.Series) -> pl.Series:
    """Whole numbers of a text column ("84500", " 4 ", "4.0"); null where the text is not one."""
    values = column.cast(pl.Int64, strict=False)
    if values.null_count() > column.null_count():
        loose = _floats(column)
        whole = pl.select(pl.when(loose.is_finite() & (loose == loose.round(0))).then(loose)).to_series()
        values = values.fill_null(whole.cast(pl.Int64))
    return values


def _yyyymmdd_ns(text: str) -> Optional[int]:
    try:
        return wall_ns(datetime.strptime(text, "%Y%m%d").date())
    except ValueError:
        return None


def taifex_code(product: str) -> str:
    """The broker's code prefix of an exchange product (TX -> TXF)."""
    return TAIFEX_PRODUCTS.get(product, product)


def parse_taifex(text: str, products: Optional[Sequence[str]], session: str) -> Tuple[pl.DataFrame, pl.DataFrame, Dict[str, int]]:
    """(kept ticks with "code" and "day", refused rows with "code" and "day", left-out counts) of one daily
    transaction file. Each trade is stored under its contract month's code (TXF202401) and, when that
    month is the day's nearest, also under the continuous code (TXFR1)."""
    frame = pl.read_csv(text.encode("utf-8"), infer_schema=False, truncate_ragged_lines=True)
    frame = frame.rename({c: c.strip() for c in frame.columns})
    absent = [c for c in _TAIFEX_COLUMNS if c not in frame.columns]
    if absent:
        raise DataError(f"not a daily transaction file: no column {', '.join(absent)}")
    frame = frame.select(pl.col(c).alias(name) for c, name in _TAIFEX_COLUMNS.items())
    # Codes and months are few distinct texts: strip them once each.
    frame = frame.with_columns(_strip_few("product"), _strip_few("month"))
    left_out: Dict[str, int] = {}

    frame = frame.with_columns(pl.col("product").replace(TAIFEX_PRODUCTS).alias("prefix"))
    if products:
        wanted = {taifex_code(p) for p in products} | {taifex_code(re.sub(r"R\d$", "", p)) for p in products}
        frame = frame.filter(pl.col("prefix").is_in(wanted) | pl.col("product").is_in(list(products)))
    spread = pl.col("month").str.contains("/", literal=True)
    left_out["spread trades"] = frame.filter(spread).height
    frame = frame.filter(~spread)

    # Times are HHMMSS numbers, written without the leading zero ("84500").
    hhmmss = _integers(frame["time"])
    days = frame["date"].str.strip_chars().unique()
    midnights = {d: _yyyymmdd_ns(d) for d in days.to_list() if d is not None}
    frame = frame.with_columns(
        hhmmss.alias("_hhmmss"), _floats(frame["price"]).alias("_price"), _integers(frame["volume"]).alias("_both"),
        frame["date"].str.strip_chars().replace_strict(midnights, default=None, return_dtype=pl.Int64).alias("_midnight"),
    )
    hh, mm, ss = pl.col("_hhmmss") // 10000, pl.col("_hhmmss") // 100 % 100, pl.col("_hhmmss") % 100
    seconds = pl.when((pl.col("_hhmmss") >= 0) & (hh < 24) & (mm < 60) & (ss < 60)).then(hh * 3600 + mm * 60 + ss)
    ts = pl.col("_midnight") + seconds * 1_000_000_000
    calendar = pl.col("_midnight").cast(pl.Datetime("ns")).dt.date()
    price = pl.when(pl.col("_price").is_finite()).then(pl.col("_price"))
    both_sides = pl.col("_both")
    frame = frame.with_columns(
        ts.alias("ts"), price.alias("close"), (both_sides // 2).alias("volume"),
        ((both_sides >= 0) & (both_sides % 2 == 0)).alias("_even"), calendar.alias("_calendar"),
    )
    # Product and month become part of a file name: a row whose code is not a plain name is refused.
    contracts = (frame["prefix"] + frame["month"]).unique().drop_nulls().to_list()
    plain = {c: code_problem(c + "R1") is None and code_problem(c) is None for c in contracts}
    plain_code = (pl.col("prefix") + pl.col("month")).replace_strict(plain, default=False, return_dtype=pl.Boolean)
    good = (pl.col("ts").is_not_null() & (pl.col("close") > 0) & pl.col("_even") & plain_code).fill_null(False)
    frame = frame.with_columns(good.alias("_good"), _trading_day(pl.col("ts"), "Future").alias("day"))
    frame = frame.with_columns(pl.col("day").fill_null(pl.col("_calendar")))

    into_day = pl.col("ts") % _NS_PER_DAY
    in_day_session = into_day.is_between(_DAY_OPEN_NS, _DAY_CLOSE_NS)
    if session != "all":
        keep = in_day_session if session == "day" else ~in_day_session
        other = frame.filter(pl.col("ts").is_not_null() & ~keep)
        left_out["other session"] = other.height
        frame = frame.filter(pl.col("ts").is_null() | keep)

    # The near month of each product and trading day: the earliest monthly (not weekly) contract traded.
    monthly = pl.col("month").str.contains(r"^\d{6}$")
    near = (
        frame.filter(pl.col("_good") & monthly)
        .group_by("prefix", "day").agg(pl.col("month").min().alias("_near"))
    )
    frame = frame.join(near, on=["prefix", "day"], how="left")
    frame = frame.with_columns(
        pl.lit(0.0).alias("bid_price"), pl.lit(0).alias("bid_volume"), pl.lit(0.0).alias("ask_price"),
        pl.lit(0).alias("ask_volume"), pl.lit(0).alias("tick_type"),
        (pl.col("prefix") + pl.col("month")).alias("_contract"),
        pl.when(pl.col("month") == pl.col("_near")).then(pl.col("prefix") + "R1").alias("_continuous"),
    )
    both = pl.concat([
        frame.with_columns(pl.col("_contract").alias("code")),
        frame.filter(pl.col("_continuous").is_not_null()).with_columns(pl.col("_continuous").alias("code")),
    ])
    kept = both.filter(pl.col("_good")).select(*TICK_SCHEMA, "code", "day").cast(TICK_SCHEMA)
    refused = both.filter(~pl.col("_good")).select(
        pl.when(plain_code).then(pl.col("code")).otherwise(pl.lit("(not a plain code)")).alias("code"), "day")
    return kept, refused, left_out


# --- writing -------------------------------------------------------------------------------------


def _write_atomically(frame: pl.DataFrame, path: str) -> None:
    # As the tick feed writes its own files: whole or absent.
    write_atomically(path, frame.write_csv)


def write_days(kept: pl.DataFrame, refused: pl.DataFrame, data_dir: str) -> List[ImportedDay]:
    """Writes one cache file per (code, day) of ``kept``, replacing any file of that day."""
    os.makedirs(cache_dir(data_dir), exist_ok=True)
    counts: Dict[Tuple[str, str], List] = {}
    if refused.height:
        for code, day, n in refused.group_by("code", "day").len().iter_rows():
            counts[(code, day.isoformat() if day else "-")] = [0, n, None]
    # A stable sort by time keeps the delivery order of ticks with the same time.
    kept = kept.sort("code", "day", "ts", maintain_order=True)
    for (code, day), part in kept.group_by("code", "day", maintain_order=True):
        text = day.isoformat()
        path = cache_file(data_dir, code, text)
        _write_atomically(part.select(*TICK_SCHEMA), path)
        entry = counts.setdefault((code, text), [0, 0, None])
        entry[0], entry[2] = part.height, path
    return [ImportedDay(code, day, kept_n, refused_n, path) for (code, day), (kept_n, refused_n, path) in sorted(counts.items())]


# --- the entry point -----------------------------------------------------------------------------


def guess_format(path: str) -> str:
    name = os.path.basename(path).lower()
    return "taifex" if name.startswith("daily_") and name.endswith((".csv", ".zip")) else "sdk"


def guess_market(code: str) -> str:
    """Stock for codes that start with a digit (2330, 00878), Future otherwise (TXFR1, MXF202401)."""
    return "Stock" if code[:1].isdigit() else "Future"


def _code_of(path: str) -> str:
    return os.path.splitext(os.path.basename(path))[0].strip()


def import_ticks(
    sources: Union[str, os.PathLike, Any, Sequence[Union[str, os.PathLike, Any]]],
    format: Optional[str] = None,
    code: Optional[str] = None,
    market: Optional[str] = None,
    data_dir: Optional[str] = None,
    session: str = "day",
) -> ImportResult:
    """Imports tick files (paths) or DataFrames into the tick cache of ``data_dir``.

    ``format``: "sdk" or "taifex" (default: "taifex" for Daily_*.csv / .zip names, else "sdk").
    ``code``: the instrument code of sdk input (default: the file name, 2330.csv -> 2330; needed for a
    DataFrame); for taifex input, the products to import (TX, MTX or TXFR1; default: all).
    ``market``: "Stock" or "Future" of sdk input (default: guessed from the code); futures' after-hours
    trades are booked on the next trading day. ``session`` (taifex): "day", "after-hours" or "all".
    Raises DataError naming the input that cannot be read; nothing is written then.
    """
    if isinstance(sources, (str, os.PathLike)) or not isinstance(sources, (list, tuple)):
        sources = [sources]
    if format is not None and format not in FORMATS:
        raise DataError(f"unknown format {format!r}; use one of {', '.join(FORMATS)}")
    if market is not None and market not in MARKETS:
        raise DataError(f"market must be Stock or Future, got {market!r}")
    if session not in SESSIONS:
        raise DataError(f"session must be one of {', '.join(SESSIONS)}, got {session!r}")
    if code is not None:
        check_code(code, "code")
    data_dir = os.path.abspath(data_dir or BASIC_INFO.data_dir)

    kept_parts, refused_parts, left_out = [], [], {}
    for source in sources:
        is_path = isinstance(source, (str, os.PathLike))
        name = os.fspath(source) if is_path else f"DataFrame #{len(kept_parts) + 1}"
        fmt = format or (guess_format(name) if is_path else "sdk")
        try:
            if fmt == "taifex":
                if not is_path:
                    raise DataError("the taifex format reads files only")
                kept, refused, skipped = parse_taifex(_taifex_text(name), [code] if code else None, session)
                for key, n in skipped.items():
                    left_out[key] = left_out.get(key, 0) + n
            else:
                inst = code or (_code_of(name) if is_path else None)
                if not inst:
                    raise DataError("give the instrument code (code=...) for a DataFrame")
                if not code:
                    check_code(inst, "the code taken from the file name,")
                frame = _read_sdk_file(name) if is_path else _frame_of(source)
                kept, refused = parse_sdk(frame, inst, market or guess_market(inst))
        except DataError as exc:
            raise DataError(f"cannot import {name}: {exc}") from None
        except (OSError, pl.exceptions.PolarsError, ValueError, zipfile.BadZipFile) as exc:
            raise DataError(f"cannot import {name}: {type(exc).__name__}: {' '.join(str(exc).split())}") from None
        kept_parts.append(kept)
        refused_parts.append(refused)

    kept = pl.concat(kept_parts) if kept_parts else pl.DataFrame(schema={**TICK_SCHEMA, "code": pl.String, "day": pl.Date})
    refused = pl.concat(refused_parts) if refused_parts else pl.DataFrame(schema={"code": pl.String, "day": pl.Date})
    try:
        days = write_days(kept, refused, data_dir)
    except OSError as exc:
        raise DataError(f"cannot write the tick cache in {cache_dir(data_dir)}: {exc}") from None
    return ImportResult(days, {k: v for k, v in left_out.items() if v})
