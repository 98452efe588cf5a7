"""The import's inputs: which files (taken literally, never as patterns), each read once, and their rows in
batches so that memory holds one batch, not the file.

Every path is looked at before anything is read: a missing file, a FIFO, a directory or a ZIP member that
cannot be unpacked (encrypted, an unsupported compression, larger than the cap) ends the import at once.
"""

from __future__ import annotations

import codecs
import hashlib
import os
import stat
import zipfile
from dataclasses import dataclass
from typing import Any, Iterator, List, Optional

import polars as pl

from ..errors import DataError

BATCH_ROWS = 250_000
MAX_ROW_BYTES = 64 << 20  # a CSV row (an unclosed quote makes the rest of the file one row)
CSV_CHUNK_BYTES = 4 << 20  # about 90,000 rows; larger pieces cost memory and gain little
# A daily transaction file unpacks to some tens of MB; a member declaring or reaching more is refused.
MAX_MEMBER_BYTES = 512 << 20
_ZIP_METHODS = {zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED, zipfile.ZIP_BZIP2, zipfile.ZIP_LZMA}
_CHUNK = 1 << 20


@dataclass
class Input:
    name: str  # as shown to the user: the path, "a.zip:member.csv" or "DataFrame #n"
    fmt: str  # "sdk" or "taifex"
    path: Optional[str] = None
    member: Optional[zipfile.ZipInfo] = None
    frame: Any = None

    @property
    def is_file(self) -> bool:
        return self.path is not None

    @property
    def parquet(self) -> bool:
        return self.path is not None and self.member is None and self.path.lower().endswith((".parquet", ".pq"))

    @property
    def row_word(self) -> str:
        """How a refused row is named: the line of a text file, the row of anything else."""
        return "row" if self.frame is not None or self.parquet else "line"


def _kind(mode: int) -> str:
    for test, what in ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISSOCK, "a socket"),
                       (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device")):
        if test(mode):
            return what
    return "not a regular file"


def _digest(path: str) -> str:
    sha = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(_CHUNK), b""):
            sha.update(chunk)
    return sha.hexdigest()


def _zip_members(path: str, max_bytes: int) -> List[zipfile.ZipInfo]:
    """The ZIP's daily CSV files, every one checked before any is read."""
    try:
        with zipfile.ZipFile(path) as archive:
            infos = archive.infolist()
    except (zipfile.BadZipFile, zipfile.LargeZipFile, OSError, ValueError, EOFError) as exc:
        raise DataError(f"cannot import {path}: not a readable ZIP ({' '.join(str(exc).split())})") from None
    members = []
    for info in infos:
        base = info.filename.rsplit("/", 1)[-1]
        # Folders and the resource-fork companions an archiver adds (__MACOSX/, ._name) hold no ticks.
        if info.is_dir() or info.filename.startswith("__MACOSX/") or base.startswith("._"):
            continue
        if not base.lower().endswith((".csv", ".txt")):
            continue
        where = f"{path}:{info.filename}"
        if info.flag_bits & 0x1:
            raise DataError(f"cannot import {where}: the member is encrypted; unzip it first")
        if info.compress_type not in _ZIP_METHODS:
            raise DataError(f"cannot import {where}: compression method {info.compress_type} is not supported "
                            "(stored, deflate, bzip2 and lzma are); unzip it with another tool first")
        if info.file_size > max_bytes:
            raise DataError(f"cannot import {where}: it unpacks to {info.file_size:,} bytes, over the limit of "
                            f"{max_bytes:,}")
        members.append(info)
    if not members:
        raise DataError(f"cannot import {path}: the ZIP holds no CSV file")
    return members


def resolve(sources: List[Any], fmt_of, notes: List[str], max_member_bytes: int, code_of=lambda path: "") -> List[Input]:
    """The inputs of ``sources`` (paths or DataFrames), each file once: a file given twice, by any path or
    as a copy with the same content and the same ``code_of`` (the code a file name gives), is read once
    and said so in ``notes``."""
    inputs: List[Input] = []
    seen_files: dict = {}  # (device, inode) -> name
    by_size: dict = {}  # size -> [(path, digest or None)]
    seen_frames: dict = {}
    for source in sources:
        if not isinstance(source, (str, os.PathLike)):
            if id(source) in seen_frames:
                notes.append(f"{seen_frames[id(source)]} given twice; read once")
                continue
            name = f"DataFrame #{len(seen_frames) + 1}"
            seen_frames[id(source)] = name
            inputs.append(Input(name, fmt_of(None), frame=source))
            continue
        path = os.fspath(source)
        if isinstance(path, bytes):
            path = os.fsdecode(path)
        try:
            info = os.stat(path)
        except (OSError, ValueError) as exc:
            raise DataError(f"cannot import {path}: {exc.strerror if isinstance(exc, OSError) else exc}") from None
        if not stat.S_ISREG(info.st_mode):
            raise DataError(f"cannot import {path}: {_kind(info.st_mode)}, not a regular file")
        same = seen_files.get((info.st_dev, info.st_ino))
        if same is None:
            for other, digest in by_size.get((info.st_size, code_of(path)), []):
                if _digest(path) == (digest or _digest(other)):
                    same = other
                    break
        if same is not None:
            notes.append(f"{path} is the same as {same}; read once" if path != same else f"{path} given twice; read once")
            continue
        seen_files[(info.st_dev, info.st_ino)] = path
        by_size.setdefault((info.st_size, code_of(path)), []).append((path, None))
        fmt = fmt_of(path)
        if fmt == "taifex" and path.lower().endswith(".zip"):
            inputs += [Input(f"{path}:{m.filename}", fmt, path=path, member=m) for m in _zip_members(path, max_member_bytes)]
        else:
            inputs.append(Input(path, fmt, path=path))
    return inputs


# --- reading -------------------------------------------------------------------------------------


def _row_ends(data: bytes, quotes_before: int) -> int:
    """The end (past the newline) of the last whole CSV row in ``data``, or 0: a newline ends a row only
    outside quotes, where the quotes counted so far are even (an escaped quote "" counts twice)."""
    total = quotes_before + data.count(b'"')
    end, after = len(data), 0  # quotes in data[end:]
    while True:
        newline = data.rfind(b"\n", 0, end)
        if newline < 0:
            return 0
        after += data.count(b'"', newline, end)
        if (total - after) % 2 == 0:
            return newline + 1
        end = newline


def _first_row_end(data: bytes) -> int:
    start, quotes = 0, 0
    while True:
        newline = data.find(b"\n", start)
        if newline < 0:
            return 0
        quotes += data.count(b'"', start, newline)
        if quotes % 2 == 0:
            return newline + 1
        start = newline + 1


def _csv_chunks(path: str) -> Iterator[bytes]:
    """The file's bytes in pieces of whole rows, the first holding the header row alone."""
    quotes, carry, first = 0, b"", True
    with open(path, "rb") as f:
        while True:
            block = f.read(CSV_CHUNK_BYTES)
            data = carry + block
            if not block:
                if data:
                    yield data
                return
            cut = _first_row_end(data) if first else _row_ends(data, quotes)
            if cut == 0:
                if len(data) > MAX_ROW_BYTES:
                    raise DataError(f"a row runs past {len(data):,} bytes (a quote that is never closed?)")
                carry = data
                continue
            first = False
            quotes += data.count(b'"', 0, cut)
            yield data[:cut]
            carry = data[cut:]


def _read_piece(piece: bytes) -> pl.DataFrame:
    return pl.read_csv(piece, infer_schema=False, truncate_ragged_lines=True, raise_if_empty=False,
                       encoding="utf8-lossy")


def _csv_header(path: str) -> List[str]:
    for piece in _csv_chunks(path):
        return list(_read_piece(piece).columns)
    return []


def _csv_batches(path: str) -> Iterator[pl.DataFrame]:
    """The rows of a CSV file as text, in batches of whole rows with a "_row" index. Read piece by piece,
    each with the header row before it (polars' own streaming reader runs ahead of its consumer and
    holds the whole file)."""
    header: Optional[bytes] = None
    row = 0
    for piece in _csv_chunks(path):
        if header is None:
            header = piece if piece.endswith(b"\n") else piece + b"\n"
            continue
        batch = _read_piece(header + piece)
        yield batch.with_row_index("_row", offset=row)
        row += batch.height


def sdk_batches(item: Input) -> Iterator[pl.DataFrame]:
    """Batches of an SDK input with a "_row" column (0 for the first data row)."""
    if item.frame is not None:
        frame = item.frame
        for start in range(0, max(frame.height, 1), BATCH_ROWS):
            yield frame.slice(start, BATCH_ROWS).with_row_index("_row", offset=start)
        return
    if item.parquet:
        # Slices, read one after the other: the reader fetches only the row groups a slice needs.
        scan = pl.scan_parquet(item.path, glob=False)
        rows = scan.select(pl.len()).collect().item()
        for start in range(0, rows, BATCH_ROWS):
            yield scan.slice(start, BATCH_ROWS).collect().with_row_index("_row", offset=start)
        return
    yield from _csv_batches(item.path)


def columns_of(item: Input) -> List[str]:
    """The input's column names, read before its rows."""
    if item.frame is not None:
        return list(item.frame.columns)
    if item.parquet:
        return list(pl.scan_parquet(item.path, glob=False).collect_schema().names())
    return _csv_header(item.path)


def taifex_text_file(item: Input, into: str, max_bytes: int) -> str:
    """The daily file's text as UTF-8 in the file ``into`` (it is cp950, Big5, as the exchange writes it);
    a ZIP member is unpacked with its size checked as it goes."""
    decoder = codecs.getincrementaldecoder("cp950")()
    total = 0

    def chunks() -> Iterator[bytes]:
        nonlocal total
        if item.member is None:
            with open(item.path, "rb") as f:
                yield from iter(lambda: f.read(_CHUNK), b"")
            return
        with zipfile.ZipFile(item.path) as archive, archive.open(item.member) as f:
            for chunk in iter(lambda: f.read(_CHUNK), b""):
                total += len(chunk)
                if total > max_bytes:
                    raise DataError(f"it unpacks to more than {max_bytes:,} bytes, over the limit")
                yield chunk

    try:
        with open(into, "w", encoding="utf-8", newline="") as out:
            for chunk in chunks():
                out.write(decoder.decode(chunk))
            out.write(decoder.decode(b"", final=True))
    except UnicodeDecodeError as exc:
        raise DataError(f"not cp950 (Big5) text: {exc}") from None
    except (zipfile.BadZipFile, EOFError, NotImplementedError, RuntimeError) as exc:
        raise DataError(f"the ZIP member cannot be unpacked: {' '.join(str(exc).split())}") from None
    return into


def taifex_batches(text_path: str) -> Iterator[pl.DataFrame]:
    yield from _csv_batches(text_path)
