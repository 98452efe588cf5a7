"""The frame reader behind the tick dicts, compared with polars' own named rows on the same frames."""

import ctypes

import polars as pl
import pytest

from orva_mero_backtest.modules.ticker import ticker
from ticker_feed import SCHEMA, frame

MARKETS = {"2330": "Stock", "TXFR1": "Future", "台指期近一": "Future", "A-VERY-LONG-INSTRUMENT-CODE": "Stock"}


def ticks_of(monkeypatch, df, n=None):
    """Every tick dict of a frame, released on this thread (permits deposited beforehand)."""
    monkeypatch.setattr(ticker, "format_nano_ts_to_second_ts", lambda ts, digits: (ts, digits))
    monkeypatch.setattr(ticker, "console", type("C", (), {"print": staticmethod(lambda text: None)})())
    t = ticker.Ticker(object())
    t.code_market_map.update(MARKETS)
    t.backfilling_finish_flag = True  # no backfill to wait for
    for _ in range(n if n is not None else len(df)):
        t.allow_next_tick()  # with the constructor's: one more than the rows
    t._Ticker__push_tick_to_queue(df)
    out = []
    while t.tick_queue.qsize():
        out.append(t.tick_queue.get(timeout=1))
    return out


def named_rows(rows):
    return [
        {"market_type": MARKETS[r["code"]], "timestamp": (r["ts"], 8), "code": r["code"], "close": r["close"],
         "qty": r["volume"], "tick_type": r["tick_type"], "is_simulate": False, "is_backfilling": False}
        for r in rows
    ] + [{"orva_status": "exit_send_tick"}]


def mixed_frame():
    codes = ("2330", "台指期近一", "A-VERY-LONG-INSTRUMENT-CODE", "TXFR1")
    parts = [frame(7, codes, start=s) for s in (0, 7, 14)]
    df = pl.concat(parts, rechunk=False).with_columns(
        pl.when(pl.col("volume") % 5 == 3).then(None).otherwise(pl.col("close")).alias("close"),
        pl.when(pl.col("volume") % 4 == 1).then(None).otherwise(pl.col("volume")).alias("volume"),
        pl.when(pl.col("volume") % 6 == 2).then(None).otherwise(pl.col("ts")).alias("ts"),
    )
    return df


@pytest.mark.parametrize(
    "make",
    [
        pytest.param(mixed_frame, id="chunks-nulls-views"),
        pytest.param(lambda: mixed_frame().slice(5, 11), id="sliced"),
        pytest.param(lambda: mixed_frame().cast({"volume": pl.Int32, "close": pl.Float32, "tick_type": pl.UInt8}),
                     id="narrow-dtypes"),
        pytest.param(lambda: mixed_frame().cast({"code": pl.Categorical}), id="categorical-code"),
        pytest.param(lambda: pl.DataFrame(schema=SCHEMA), id="empty"),
    ],
)
def test_reader_matches_iter_rows(monkeypatch, make):
    df = make()
    assert df.n_chunks() > 1 or len(df) < 12
    got = ticks_of(monkeypatch, df)
    assert got == (named_rows(df.iter_rows(named=True)) if len(df) else [{"orva_status": "exit_send_tick"}])


def test_frame_like_without_arrow_stream(monkeypatch):
    df = mixed_frame()

    class RowsOnly:
        def __len__(self):
            return len(df)

        def iter_rows(self, named=False):
            assert named is True
            return df.iter_rows(named=True)

    assert ticks_of(monkeypatch, RowsOnly()) == named_rows(df.iter_rows(named=True))


# A minimal Arrow C stream producer, for string layouts polars itself does not export ("u", "U").
class Schema(ctypes.Structure):
    pass


class Array(ctypes.Structure):
    pass


class Stream(ctypes.Structure):
    pass


SchemaRelease = ctypes.CFUNCTYPE(None, ctypes.POINTER(Schema))
ArrayRelease = ctypes.CFUNCTYPE(None, ctypes.POINTER(Array))
Schema._fields_ = [("format", ctypes.c_char_p), ("name", ctypes.c_char_p), ("metadata", ctypes.c_char_p),
                   ("flags", ctypes.c_int64), ("n_children", ctypes.c_int64),
                   ("children", ctypes.POINTER(ctypes.POINTER(Schema))), ("dictionary", ctypes.c_void_p),
                   ("release", SchemaRelease), ("private_data", ctypes.c_void_p)]
Array._fields_ = [("length", ctypes.c_int64), ("null_count", ctypes.c_int64), ("offset", ctypes.c_int64),
                  ("n_buffers", ctypes.c_int64), ("n_children", ctypes.c_int64),
                  ("buffers", ctypes.POINTER(ctypes.c_void_p)), ("children", ctypes.POINTER(ctypes.POINTER(Array))),
                  ("dictionary", ctypes.c_void_p), ("release", ArrayRelease), ("private_data", ctypes.c_void_p)]
GetSchema = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(Stream), ctypes.POINTER(Schema))
GetNext = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(Stream), ctypes.POINTER(Array))
GetError = ctypes.CFUNCTYPE(ctypes.c_char_p, ctypes.POINTER(Stream))
StreamRelease = ctypes.CFUNCTYPE(None, ctypes.POINTER(Stream))
Stream._fields_ = [("get_schema", GetSchema), ("get_next", GetNext), ("get_last_error", GetError),
                   ("release", StreamRelease), ("private_data", ctypes.c_void_p)]


class HandMadeFrame:
    """Exports `df` as Arrow batches of `sizes` rows, "code" in `string_format`; each batch's
    struct array starts one row into its children (a parent offset)."""

    def __init__(self, df, string_format, sizes):
        self.df, self.keep = df, []
        self.columns = ["ts", "close", "volume", "tick_type", "code"]
        formats = {"ts": b"l", "close": b"g", "volume": b"l", "tick_type": b"l", "code": string_format}
        self.release_schema = SchemaRelease(lambda s: setattr(s.contents, "release", SchemaRelease()))
        self.release_array = ArrayRelease(lambda a: setattr(a.contents, "release", ArrayRelease()))
        kids = [Schema(format=formats[c], name=c.encode(), release=self.release_schema) for c in self.columns]
        self.kids = (ctypes.POINTER(Schema) * len(kids))(*[ctypes.pointer(k) for k in kids])
        self.schema = Schema(format=b"+s", name=b"", n_children=len(kids), children=self.kids,
                             release=self.release_schema)
        self.keep.append(kids)
        self.batches, start = [], 0
        for size in sizes:
            self.batches.append(self.batch(df.slice(start, size), string_format))
            start += size

    def buffer(self, ctype, values):
        arr = (ctype * len(values))(*values)
        self.keep.append(arr)
        return ctypes.cast(arr, ctypes.c_void_p)

    def batch(self, part, string_format):
        children = []
        for name in self.columns:
            values = [None] + part[name].to_list()  # one leading row that the parent's offset skips
            valid = bytearray((len(values) + 7) // 8)
            for i, v in enumerate(values):
                if v is not None:
                    valid[i // 8] |= 1 << (i % 8)
            buffers = [self.buffer(ctypes.c_uint8, valid)]
            if name == "code":
                data = b"".join((v or "").encode() for v in values)
                offsets, pos = [0], 0
                for v in values:
                    pos += len((v or "").encode())
                    offsets.append(pos)
                buffers += [self.buffer(ctypes.c_int32 if string_format == b"u" else ctypes.c_int64, offsets),
                            self.buffer(ctypes.c_char, data)]
            else:
                ctype = ctypes.c_double if name == "close" else ctypes.c_int64
                buffers.append(self.buffer(ctype, [0 if v is None else v for v in values]))
            ptrs = (ctypes.c_void_p * len(buffers))(*buffers)
            child = Array(length=len(values), null_count=sum(v is None for v in values), n_buffers=len(buffers),
                          buffers=ptrs, release=self.release_array)
            self.keep += [ptrs, child]
            children.append(child)
        kids = (ctypes.POINTER(Array) * len(children))(*[ctypes.pointer(c) for c in children])
        top_buffers = (ctypes.c_void_p * 1)(None)
        self.keep += [kids, top_buffers]
        return Array(length=len(part), offset=1, n_buffers=1, n_children=len(children), buffers=top_buffers,
                     children=kids, release=self.release_array)

    def __len__(self):
        return len(self.df)

    def __arrow_c_stream__(self, requested_schema=None):
        pending = list(self.batches)

        def get_schema(_, out):
            ctypes.memmove(out, ctypes.byref(self.schema), ctypes.sizeof(Schema))
            return 0

        def get_next(_, out):
            if pending:
                ctypes.memmove(out, ctypes.byref(pending.pop(0)), ctypes.sizeof(Array))
            else:
                out.contents.release = ArrayRelease()
            return 0

        self.stream = Stream(get_schema=GetSchema(get_schema), get_next=GetNext(get_next),
                             get_last_error=GetError(lambda _: None),
                             release=StreamRelease(lambda s: setattr(s.contents, "release", StreamRelease())))
        new = ctypes.pythonapi.PyCapsule_New
        new.restype, new.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
        return new(ctypes.addressof(self.stream), b"arrow_array_stream", None)


@pytest.mark.parametrize("string_format", [b"u", b"U"])
def test_string_and_large_string_columns(monkeypatch, string_format):
    df = mixed_frame()
    hand_made = HandMadeFrame(df, string_format, sizes=[5, 1, 15])
    assert ticks_of(monkeypatch, hand_made) == named_rows(df.iter_rows(named=True))


@pytest.mark.parametrize("quotes", [False, True], ids=["trade-only", "with-quote"])
def test_ticks_from_a_shape_hold_their_own_row_values(monkeypatch, quotes):
    # Several ticks per instrument: each is a copy of the instrument's shape given its row's values,
    # which must neither leak into the shape (the next copy) nor change what the dict tracks.
    import gc

    from orva_mero_backtest.utils import format_nano_ts_to_second_ts

    monkeypatch.setattr(ticker, "console", type("C", (), {"print": staticmethod(lambda text: None)})())
    df = frame(6).with_columns(pl.when(pl.col("volume") == 3).then(None).otherwise(pl.col("ask_price"))
                               .alias("ask_price"))
    t = ticker.Ticker(object())
    ticker.quote_ticks(t, quotes)
    t.code_market_map.update(MARKETS)
    t.backfilling_finish_flag = True
    for _ in range(len(df)):
        t.allow_next_tick()
    t._Ticker__push_tick_to_queue(df)
    got = [t.tick_queue.get(timeout=1) for _ in range(len(df))]
    quote_keys = ("bid_price", "bid_volume", "ask_price", "ask_volume")
    want = [
        {"market_type": MARKETS[r["code"]], "timestamp": format_nano_ts_to_second_ts(r["ts"], 8), "code": r["code"],
         "close": r["close"], "qty": r["volume"], "tick_type": r["tick_type"], "is_simulate": False,
         "is_backfilling": False, **({k: r[k] for k in quote_keys} if quotes else {})}
        for r in df.iter_rows(named=True)
    ]
    assert [list(tick.items()) for tick in got] == [list(w.items()) for w in want]
    assert [gc.is_tracked(tick) for tick in got] == [gc.is_tracked(dict(w)) for w in want]
    assert got[3].get("ask_price", None) is None and len({id(tick) for tick in got}) == len(got)
