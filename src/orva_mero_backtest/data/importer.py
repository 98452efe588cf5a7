"""Imports tick files into the tick cache, one cache file per instrument-day.

Two formats: ``sdk`` (the broker SDK's tick columns, CSV or Parquet, or a DataFrame) and ``taifex`` (the
futures exchange's public daily transaction files, CSV or the ZIP holding them). Inputs are read in
batches; each day's ticks are staged inside the cache and put in place together once every input has been
read, so an import that fails leaves the cache as it was. Rows that cannot be stored are refused one by
one, with their line and reason.
"""

from __future__ import annotations

import os
import re
import shutil
import zipfile
from dataclasses import dataclass, field
from datetime import date as Date, datetime
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import polars as pl

from . import sources as src
from .cache_broker import SIMULATED_MARK, DataError, cache_dir
from .clock import after_hours_trading_day, is_trading_day, wall_ns
from .codes import check_code, code_problem
from .staging import Staging
from ..constant import BASIC_INFO

# The cache file's columns and their polars types, by name: importing this module uses no polars (the
# sweep's fork server imports it with polars not loaded, see sweep_preload.py); TICK_SCHEMA has the types.
TICK_TYPES = {
    "ts": "Int64", "close": "Float64", "volume": "Int64", "bid_price": "Float64",
    "bid_volume": "Int64", "ask_price": "Float64", "ask_volume": "Int64", "tick_type": "Int64",
}


def tick_schema() -> Dict[str, Any]:
    return {name: getattr(pl, kind) for name, kind in TICK_TYPES.items()}


def __getattr__(name: str) -> Any:
    if name == "TICK_SCHEMA":
        return tick_schema()
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")

REQUIRED = ("ts", "close", "volume")
FORMATS = ("sdk", "taifex")
SESSIONS = ("day", "after-hours", "all")
MARKETS = ("Stock", "Future")
SHOWN_REFUSED = 20  # refused rows kept in the result (all of them go to the log)
LOG_NAME = "import.log"
NOT_PLAIN = "(not a plain code)"  # how refused rows without a usable code are counted

# Plausible tick times: 1990 to 2100, in epoch nanoseconds.
_TS_MIN, _TS_MAX = wall_ns(Date(1990, 1, 1)), wall_ns(Date(2100, 1, 1))
_NS_PER_DAY = 86_400 * 1_000_000_000
_DAY_OPEN_NS = (8 * 3600 + 45 * 60) * 1_000_000_000
_DAY_CLOSE_NS = (13 * 3600 + 45 * 60) * 1_000_000_000
# No single trade is a trillion shares or contracts; larger counts are damage, not data.
MAX_VOLUME = 10**12
# Epoch times in a coarser unit than nanoseconds: how a whole file of them is recognised for the hint.
_UNITS = (("seconds", 10**9), ("milliseconds", 10**6), ("microseconds", 10**3))
_DATE_LIKE = r"^\d{4}[-/]\d{1,2}[-/]\d{1,2}"

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
    source: str = ""  # where the code came from: "--code", "file name", "code column", "product column"


@dataclass
class ImportResult:
    days: List[ImportedDay] = field(default_factory=list)
    left_out: Dict[str, int] = field(default_factory=dict)  # rows skipped on purpose (spreads, other session)
    notes: List[str] = field(default_factory=list)  # inputs read once, header-only files, epoch-unit hints
    refused_rows: List[str] = field(default_factory=list)  # the first refused rows: "file line N: reason"
    log_path: Optional[str] = None  # where every refused row is listed
    rows_refused: int = 0  # refused input rows (a futures row counts under two codes in ``days``)

    @property
    def kept(self) -> int:
        return sum(d.kept for d in self.days)

    @property
    def refused(self) -> int:
        return sum(d.refused for d in self.days)


# --- shared parsing ------------------------------------------------------------------------------


def _exact_integer(text: pl.Series) -> pl.Series:
    """Integer text of any size (epoch nanoseconds), also written with a ".0" ending; null past Int64."""
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
    raise DataError(f"expected a file path or a polars or pandas DataFrame, got {type(source).__name__}")


def _raw(name: str) -> pl.Expr:
    """A column's text as the user wrote it, short enough for a message; never null (a null in
    ``pl.format`` would make the whole reason null, and the row would pass as good)."""
    text = pl.col(name).cast(pl.String).fill_null("")
    return pl.when(text.str.len_chars() > 40).then(text.str.slice(0, 40) + "...").otherwise(text)


# --- the sdk format ------------------------------------------------------------------------------


def _ts_as_text(frame: pl.DataFrame) -> pl.DataFrame:
    """A date-time typed ``ts`` (Parquet, DataFrames) as epoch nanoseconds of the Taipei wall clock."""
    dtype = frame.schema["ts"]
    if isinstance(dtype, pl.Datetime):
        ts = pl.col("ts")
        if dtype.time_zone is not None:
            ts = ts.dt.convert_time_zone("Asia/Taipei").dt.replace_time_zone(None)
        frame = frame.with_columns(ts.dt.epoch("ns").alias("ts"))
    elif isinstance(dtype, pl.Date):
        frame = frame.with_columns(pl.col("ts").cast(pl.Datetime("ns")).dt.epoch("ns").alias("ts"))
    return frame


def _ts_values(column: pl.Series) -> pl.Series:
    """Epoch nanoseconds (also written as a float with a ".0" ending) or date-time text (the Taipei wall
    clock, or with an offset turned into Taipei time) as Int64; null where neither reads."""
    if column.dtype.is_integer():
        return column.cast(pl.Int64, strict=False)
    text = column.cast(pl.String).str.strip_chars()
    values = _exact_integer(text)
    dated = text.str.contains(_DATE_LIKE) & values.is_null()
    if dated.any():
        # Parsed as a Series (not in an expression) so that polars can find an offset in the text; the
        # format is inferred from the first text, and texts that do not fit it stay null.
        only_text = text.zip_with(dated.fill_null(False), pl.Series([None] * len(text), dtype=pl.String))
        try:
            stamps = only_text.str.to_datetime(strict=False, time_unit="ns")
        except pl.exceptions.PolarsError:
            stamps = None
        if stamps is not None:
            if stamps.dtype.time_zone is not None:
                stamps = stamps.dt.convert_time_zone("Asia/Taipei").dt.replace_time_zone(None)
            values = values.fill_null(stamps.dt.epoch("ns"))
    return values.cast(pl.Int64)


def _unit_of(ts: pl.Expr) -> pl.Expr:
    """The coarser epoch unit a time out of range reads as, if any (for the hint)."""
    unit = pl.lit(None, dtype=pl.String)
    for name, scale in reversed(_UNITS):
        unit = pl.when(ts.is_between(_TS_MIN // scale, _TS_MAX // scale)).then(pl.lit(name)).otherwise(unit)
    return unit


def parse_sdk(frame: pl.DataFrame, code: Optional[str], market: Optional[str]) -> Tuple[pl.DataFrame, pl.DataFrame]:
    """(kept ticks with "code" and "day", refused rows with "code", "day", "_row", "reason" and "_unit") of a
    batch with the SDK's tick columns (matched by name in any order) and a "_row" column. ``code`` None:
    each row's code is its "code" column."""
    frame = frame.rename({c: c.strip().lower() for c in frame.columns if c != "_row"})
    if "_row" not in frame.columns:
        frame = frame.with_row_index("_row")
    frame = _ts_as_text(frame)
    raw = {c: frame[c] for c in ("ts", *TICK_TYPES) if c in frame.columns}
    numbers = pl.DataFrame({c: _floats(frame[c]) for c in TICK_TYPES if c in frame.columns and c != "ts"},
                           height=frame.height)
    numbers = numbers.with_columns(
        _ts_values(frame["ts"]).alias("ts"), frame["_row"].alias("_row"),
        *(s.cast(pl.String).alias(f"_raw_{c}") for c, s in raw.items()),
    )
    if code is None:
        codes = frame["code"].cast(pl.String).str.strip_chars()
        problems = {c: code_problem(c) for c in codes.drop_nulls().unique().to_list()}
        known = (pl.col("code").replace_strict(problems, default=None, return_dtype=pl.String) if problems
                 else pl.lit(None, dtype=pl.String))
        numbers = numbers.with_columns(codes.alias("code")).with_columns(
            pl.when(pl.col("code").is_null()).then(pl.lit("is empty")).otherwise(known).alias("_code_problem"))
    else:
        numbers = numbers.with_columns(pl.lit(code).alias("code"), pl.lit(None, dtype=pl.String).alias("_code_problem"))

    def value(name: str, whole: bool, default: Optional[float]) -> Tuple[pl.Expr, pl.Expr]:
        """The column's values and where they are bad: not a number (or not whole), or negative."""
        if name not in numbers.columns:
            return pl.lit(default), pl.lit(False)
        number = pl.col(name)
        ok = number.is_finite() & (number >= 0)
        if whole:
            ok = ok & (number == number.round(0)) & (number <= MAX_VOLUME)
        bad = pl.col(f"_raw_{name}").is_not_null() & ~ok.fill_null(False)
        return pl.when(ok).then(number).otherwise(default), bad

    parsed, bads = {}, {}
    for name, whole, default in (("close", False, None), ("volume", True, None), ("bid_price", False, 0.0),
                                 ("bid_volume", True, 0), ("ask_price", False, 0.0), ("ask_volume", True, 0),
                                 ("tick_type", True, 0)):
        parsed[name], bads[name] = value(name, whole, default)
    ts_ok = pl.col("ts").is_between(_TS_MIN, _TS_MAX).fill_null(False)
    close_ok = (parsed["close"] > 0).fill_null(False)
    volume_ok = parsed["volume"].is_not_null()
    # The first thing wrong with a row is its reason.
    reason = pl.when(pl.col("_code_problem").is_not_null()).then(pl.format("code '{}' {}", _raw("code").fill_null(""), pl.col("_code_problem")))
    reason = reason.when(pl.col("_raw_ts").is_null()).then(pl.lit("ts is empty"))
    reason = reason.when(pl.col("ts").is_null()).then(pl.format("ts '{}' is neither epoch nanoseconds nor a date-time", _raw("_raw_ts")))
    reason = reason.when(~ts_ok).then(pl.format("ts {} is not a time from 1990 to 2100 in epoch nanoseconds", pl.col("ts")))
    reason = reason.when(~close_ok).then(pl.format("close '{}' is not a positive price", _raw("_raw_close")))
    reason = reason.when(~volume_ok).then(pl.format("volume '{}' is not a whole number from 0 to {}", _raw("_raw_volume"), pl.lit(MAX_VOLUME)))
    for name in ("bid_price", "bid_volume", "ask_price", "ask_volume", "tick_type"):
        if name in numbers.columns:
            what = "a price from 0" if name.endswith("price") else "a whole number from 0"
            reason = reason.when(bads[name]).then(pl.format(f"{name} '{{}}' is not {what}", _raw(f"_raw_{name}")))
    bad = pl.col("_code_problem").is_not_null() | ~ts_ok | ~close_ok | ~volume_ok
    for name in ("bid_price", "bid_volume", "ask_price", "ask_volume", "tick_type"):
        if name in numbers.columns:
            bad = bad | bads[name]
    if market:
        day = _trading_day(pl.col("ts"), market)
    else:
        stock = pl.col("code").str.contains(r"^\d")
        day = pl.when(stock).then(_trading_day(pl.col("ts"), "Stock")).otherwise(_trading_day(pl.col("ts"), "Future"))
    numbers = numbers.with_columns(bad.alias("_bad"))
    # Reasons are texts built row by row: only for the refused rows.
    kept = numbers.filter(~pl.col("_bad")).select(
        pl.col("ts"), *(expr.alias(name) for name, expr in parsed.items()), "code", day.alias("day"))
    refused = numbers.filter(pl.col("_bad")).select(
        pl.when(pl.col("_code_problem").is_null()).then(pl.col("code")).otherwise(pl.lit(NOT_PLAIN)).alias("code"),
        day.alias("day"), "_row", reason.otherwise(pl.lit("unreadable row")).alias("reason"),
        _unit_of(pl.col("ts")).alias("_unit"))
    return kept.cast(tick_schema()), refused



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


def _strip_few(name: str) -> pl.Expr:
    return pl.col(name).cast(pl.Categorical).cast(pl.String).str.strip_chars()


def _integers(column: pl.Series) -> pl.Series:
    """Whole numbers of a text column ("84500", " 4 ", "4.0") up to ``MAX_VOLUME`` times two; null where
    the text is not one."""
    values = column.cast(pl.Int64, strict=False)
    if values.null_count() > column.null_count():
        loose = _floats(column)
        whole = pl.select(
            pl.when(loose.is_finite() & (loose == loose.round(0)) & (loose.abs() <= 2 * MAX_VOLUME)).then(loose)
        ).to_series()
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


@dataclass
class _Near:
    """The nearest monthly contract of each product and trading day, over every input of the import."""

    months: Dict[Tuple[str, Date], str] = field(default_factory=dict)

    def update(self, frame: pl.DataFrame) -> None:
        for prefix, day, month in frame.iter_rows():
            key = (prefix, day)
            if key not in self.months or month < self.months[key]:
                self.months[key] = month


def parse_taifex(frame: pl.DataFrame, products: Optional[Sequence[str]], session: str, near: _Near
                 ) -> Tuple[pl.DataFrame, pl.DataFrame, Dict[str, int]]:
    """(kept ticks with "code" (the contract month's, TXF202401), "day" and "prefix"; refused rows with
    "code", "day", "_row" and "reason"; left-out counts) of a batch of a daily transaction file. ``near``
    learns each day's nearest monthly contract, whose ticks are also stored under the continuous code."""
    frame = frame.rename({c: c.strip() for c in frame.columns})
    frame = frame.select("_row", *(pl.col(c).alias(name) for c, name in _TAIFEX_COLUMNS.items()))
    # Codes and months are few distinct texts: strip them once each.
    frame = frame.with_columns(_strip_few("product"), _strip_few("month"))
    left_out: Dict[str, int] = {}

    frame = frame.with_columns(pl.col("product").replace(TAIFEX_PRODUCTS).alias("prefix"))
    if products:
        wanted = {taifex_code(p) for p in products} | {taifex_code(re.sub(r"R\d$", "", p)) for p in products}
        frame = frame.filter(pl.col("prefix").is_in(wanted) | pl.col("product").is_in(list(products)))
    spread = pl.col("month").str.contains("/", literal=True).fill_null(False)
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
        ts.alias("ts"), price.alias("close"), (both_sides // 2).alias("volume"), pl.col("volume").alias("_raw_volume"),
        ((both_sides >= 0) & (both_sides % 2 == 0)).fill_null(False).alias("_even"), calendar.alias("_calendar"),
        (pl.col("prefix") + pl.col("month")).alias("code"),
    )
    # Product and month become part of a file name: a row whose code is not a plain name is refused.
    contracts = frame["code"].unique().drop_nulls().to_list()
    plain = {c: code_problem(c) is None and code_problem(c + "R1") is None for c in contracts}
    plain_code = pl.col("code").replace_strict(plain, default=False, return_dtype=pl.Boolean)
    reason = pl.when(~plain_code).then(pl.format("product '{}' and month '{}' are not a plain code", _raw("product"), _raw("month")))
    reason = reason.when(pl.col("ts").is_null()).then(pl.format("date '{}' and time '{}' are not a YYYYMMDD date and an HHMMSS time", _raw("date"), _raw("time")))
    reason = reason.when(~(pl.col("close") > 0).fill_null(False)).then(pl.format("price '{}' is not a positive number", _raw("price")))
    reason = reason.when(~pl.col("_even")).then(pl.format("volume (B+S) '{}' is not an even whole number from 0 to {}", _raw("_raw_volume"), pl.lit(2 * MAX_VOLUME)))
    bad = ~plain_code | pl.col("ts").is_null() | ~(pl.col("close") > 0).fill_null(False) | ~pl.col("_even")
    frame = frame.with_columns(bad.alias("_bad"), _trading_day(pl.col("ts"), "Future").alias("day"))
    frame = frame.with_columns(pl.col("day").fill_null(pl.col("_calendar")))

    into_day = pl.col("ts") % _NS_PER_DAY
    in_day_session = into_day.is_between(_DAY_OPEN_NS, _DAY_CLOSE_NS)
    if session != "all":
        keep = in_day_session if session == "day" else ~in_day_session
        other = frame.filter(pl.col("ts").is_not_null() & ~keep)
        left_out["other session"] = other.height
        frame = frame.filter(pl.col("ts").is_null() | keep)

    good = ~pl.col("_bad")
    monthly = pl.col("month").str.contains(r"^\d{6}$")
    near.update(frame.filter(good & monthly).group_by("prefix", "day").agg(pl.col("month").min()))
    frame = frame.with_columns(
        pl.lit(0.0).alias("bid_price"), pl.lit(0).alias("bid_volume"), pl.lit(0.0).alias("ask_price"),
        pl.lit(0).alias("ask_volume"), pl.lit(0).alias("tick_type"),
    )
    kept = frame.filter(good).select(*TICK_TYPES, "code", "day").cast(tick_schema())
    refused = frame.filter(~good).select(
        pl.when(plain_code).then(pl.col("code")).otherwise(pl.lit(NOT_PLAIN)).alias("code"),
        # Reasons are texts built row by row: only for the refused rows.
        "day", "_row", reason.otherwise(pl.lit("unreadable row")).alias("reason"), pl.lit(None, dtype=pl.String).alias("_unit"))
    return kept, refused, left_out


# --- the import ----------------------------------------------------------------------------------


def guess_format(path: str) -> str:
    name = os.path.basename(path).lower()
    return "taifex" if name.startswith("daily_") and name.endswith((".csv", ".zip")) else "sdk"


def guess_market(code: str) -> str:
    """Stock for codes that start with a digit (2330, 00878), Future otherwise (TXFR1, MXF202401)."""
    return "Stock" if code[:1].isdigit() else "Future"


def _code_of(path: str) -> str:
    return os.path.splitext(os.path.basename(path))[0].strip()


def _day_of_name(name: str) -> Optional[Date]:
    found = re.search(r"(\d{4})_(\d{2})_(\d{2})", os.path.basename(name))
    if found:
        try:
            return Date(*map(int, found.groups()))
        except ValueError:
            return None
    return None


class _Run:
    """One import: counts, the first refused rows, the log and the staged days."""

    def __init__(self, data_dir: str, stage: Staging) -> None:
        self.data_dir = data_dir
        self.stage = stage
        self.counts: Dict[Tuple[str, str], List[int]] = {}  # (code, day) -> [kept, refused]
        self.sources: Dict[str, str] = {}
        self.result = ImportResult()
        self._log = None
        self._log_path = ""

    def log(self, lines: List[str]) -> None:
        # Kept in the staging folder until the import succeeds: a failed import writes nothing anywhere.
        if self._log is None:
            self._log_path = self.stage.scratch("refused.log")
            self._log = open(self._log_path, "w", encoding="utf-8")
        self._log.write("".join(line + "\n" for line in lines))

    def close(self, succeeded: bool) -> None:
        if self._log is None:
            return
        self._log.close()
        if not succeeded:
            return
        try:
            folder = os.path.join(self.data_dir, "logs")
            os.makedirs(folder, exist_ok=True)
            path = os.path.join(folder, LOG_NAME)
            with open(path, "a", encoding="utf-8") as out, open(self._log_path, encoding="utf-8") as lines:
                out.write(f"--- import of {datetime.now().isoformat(timespec='seconds')}\n")
                shutil.copyfileobj(lines, out)
            self.result.log_path = path
        except OSError:
            pass  # the cache is written; a log that cannot be is not worth failing the import for

    def take(self, item: src.Input, kept: pl.DataFrame, refused: pl.DataFrame, source: str) -> None:
        for (code, day), part in kept.partition_by("code", "day", as_dict=True, maintain_order=True).items():
            text = day.isoformat()
            self.stage.add(code, text, part.select(*TICK_TYPES))
            self.counts.setdefault((code, text), [0, 0])[0] += part.height
            self.sources.setdefault(code, source)
        if refused.height:
            self.result.rows_refused += refused.height
            for code, day, n in refused.group_by("code", "day").len().iter_rows():
                self.counts.setdefault((code, day.isoformat() if day else "-"), [0, 0])[1] += n
                self.sources.setdefault(code, source)
            offset = 2 if item.row_word == "line" else 1  # a line number counts the header
            lines = [f"{item.name} {item.row_word} {row + offset}: {reason}"
                     for row, reason in refused.select("_row", "reason").iter_rows()]
            room = SHOWN_REFUSED - len(self.result.refused_rows)
            if room > 0:
                self.result.refused_rows += lines[:room]
            self.log(lines)


def _check_data_dir(data_dir: str) -> None:
    if os.path.exists(os.path.join(data_dir, SIMULATED_MARK)) or os.path.basename(data_dir) == "simulated":
        raise DataError(f"{data_dir} is the simulated broker's data root (generated ticks); import real data "
                        "into its parent or another data directory")


def _import_sdk(run: _Run, item: src.Input, code: Optional[str], market: Optional[str]) -> Tuple[int, Dict[str, int]]:
    columns = [c.strip().lower() for c in src.columns_of(item) if c != "_row"]
    absent = [c for c in REQUIRED if c not in columns]
    if absent:
        raise DataError("no column " + ", ".join(absent) + (f" (columns: {', '.join(columns)})" if columns else " (an empty file)"))
    by_column = "code" in columns
    if code is not None:
        inst, source = code, "--code"
    elif not item.is_file:
        if not by_column:
            raise DataError("give the instrument code (code=...) for a DataFrame")
        inst, source = None, "code column"
    elif by_column:
        inst, source = None, "code column"
    else:
        inst, source = check_code(_code_of(item.name), "the code taken from the file name,"), "file name"
    units: Dict[str, int] = {}
    rows = 0
    for batch in src.sdk_batches(item):
        batch = batch.rename({c: c.strip().lower() for c in batch.columns if c != "_row"})
        if code is not None and by_column:
            # The file says which instrument each row is: it must agree with --code.
            others = sorted(set(batch["code"].cast(pl.String).str.strip_chars().drop_nulls().unique().to_list()) - {code})
            if others:
                raise DataError(f"its code column holds {', '.join(others[:5])}, not only {code}; leave out "
                                "--code to import each code of the column")
            batch = batch.drop("code")
        rows += batch.height
        kept, refused = parse_sdk(batch, inst, market or (guess_market(inst) if inst else None))
        for unit, n in refused.group_by("_unit").len().iter_rows():
            if unit is not None:
                units[unit] = units.get(unit, 0) + n
        run.take(item, kept, refused, source)
    return rows, units


def _import_taifex(run: _Run, item: src.Input, products, session: str, near: _Near, max_member_bytes: int) -> int:
    text = src.taifex_text_file(item, run.stage.scratch("daily.csv"), max_member_bytes)
    columns = [c.strip() for c in src.columns_of(src.Input(item.name, "taifex", path=text))]
    absent = [c for c in _TAIFEX_COLUMNS if c not in columns]
    if absent:
        raise DataError(f"not a daily transaction file: no column {', '.join(absent)}")
    rows = 0
    for batch in src.taifex_batches(text):
        rows += batch.height
        kept, refused, skipped = parse_taifex(batch, products, session, near)
        for key, n in skipped.items():
            run.result.left_out[key] = run.result.left_out.get(key, 0) + n
        run.take(item, kept, refused, "product column")
    os.unlink(text)
    return rows


def import_ticks(
    sources: Union[str, os.PathLike, Any, Sequence[Union[str, os.PathLike, Any]]],
    format: Optional[str] = None,
    code: Optional[str] = None,
    market: Optional[str] = None,
    data_dir: Optional[str] = None,
    session: str = "day",
    max_member_bytes: int = src.MAX_MEMBER_BYTES,
) -> ImportResult:
    """Imports tick files (paths, taken literally) or DataFrames into the tick cache of ``data_dir``.

    ``format``: "sdk" or "taifex" (default: "taifex" for Daily_*.csv / .zip names, else "sdk").
    ``code``: the instrument code of sdk input (default: the file's ``code`` column, else the file name,
    2330.csv -> 2330; needed for a DataFrame without a code column); for taifex input, the products to
    import (TX, MTX or TXFR1; default: all). ``market``: "Stock" or "Future" of sdk input (default: guessed
    from the code); futures' after-hours trades are booked on the next trading day. ``session`` (taifex):
    "day", "after-hours" or "all". ``max_member_bytes``: the largest ZIP member unpacked.
    Raises DataError naming the input that cannot be read; the cache is left as it was then.
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
    _check_data_dir(data_dir)
    notes: List[str] = []
    fmt_of = lambda path: format or (guess_format(path) if path else "sdk")  # noqa: E731
    # Two SDK files with the same content but different names are two codes unless --code names one.
    code_of = lambda path: "" if code or fmt_of(path) == "taifex" else _code_of(path)  # noqa: E731
    inputs = src.resolve(list(sources), fmt_of, notes, max_member_bytes, code_of)
    for item in inputs:
        if item.frame is not None:
            if item.fmt == "taifex":
                raise DataError("the taifex format reads files only")
            item.frame = _frame_of(item.frame)

    try:
        stage = Staging(data_dir)
    except OSError as exc:
        raise DataError(f"cannot write the tick cache in {cache_dir(data_dir)}: {exc}") from None
    run = _Run(data_dir, stage)
    run.result.notes = notes
    near = _Near()
    failed = True
    try:
        for item in inputs:
            try:
                if item.fmt == "taifex":
                    rows = _import_taifex(run, item, [code] if code else None, session, near, max_member_bytes)
                    units: Dict[str, int] = {}
                else:
                    rows, units = _import_sdk(run, item, code, market)
            except DataError as exc:
                raise DataError(f"cannot import {item.name}: {exc}") from None
            except (OSError, pl.exceptions.PolarsError, ValueError, zipfile.BadZipFile) as exc:
                raise DataError(f"cannot import {item.name}: {type(exc).__name__}: {' '.join(str(exc).split())}") from None
            _note_input(notes, item, rows, units)
        # Each day's nearest monthly contract is also its continuous code (TXFR1).
        for (prefix, day), month in near.months.items():
            text = day.isoformat()
            contract = (prefix + month, text)
            if contract in stage.parts:
                stage.alias(prefix + "R1", text, contract)
                counts = run.counts.get(contract, [0, 0])
                run.counts[(prefix + "R1", text)] = [counts[0], counts[1] + run.counts.get((prefix + "R1", text), [0, 0])[1]]
                run.sources[prefix + "R1"] = "product column"
        try:
            built = stage.build(list(TICK_TYPES))
            placed = stage.commit(built)
        except OSError as exc:
            raise DataError(f"cannot write the tick cache in {cache_dir(data_dir)}: {exc}") from None
        failed = False
    finally:
        run.close(succeeded=not failed)
        stage.discard(failed)
    run.result.days = [
        ImportedDay(code_, day, kept_n, refused_n, placed.get((code_, day)), run.sources.get(code_, ""))
        for (code_, day), (kept_n, refused_n) in sorted(run.counts.items())
    ]
    run.result.left_out = {k: v for k, v in run.result.left_out.items() if v}
    return run.result


def _note_input(notes: List[str], item: src.Input, rows: int, units: Dict[str, int]) -> None:
    if rows == 0:
        day = _day_of_name(item.name)
        trading = f", although {day.isoformat()} is a trading day" if day and is_trading_day(day) else ""
        notes.append(f"{item.name} has no data rows (a header only): nothing imported from it{trading}")
    elif units:
        unit, n = max(units.items(), key=lambda kv: kv[1])
        if n * 2 > rows:
            scale = dict(_UNITS)[unit]
            notes.append(f"{item.name}: {n:,} of {rows:,} ts values read as epoch {unit}; ts must be epoch "
                         f"nanoseconds (multiply by {scale:,}) or a date-time text")
