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
from typing import Any, Iterator, List, Optional, Tuple

import polars as pl

from ..errors import DataError

BATCH_ROWS = 250_000
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


def resolve(sources: List[Any], fmt_of, notes: List[str], max_member_bytes: int) -> List[Input]:
    """The inputs of ``sources`` (paths or DataFrames), each file once: a file given twice, by any path or
    as a copy with the same content, is read once and said so in ``notes``."""
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
            for other, digest in by_size.get(info.st_size, []):
                if _digest(path) == (digest or _digest(other)):
                    same = other
                    break
        if same is not None:
            notes.append(f"{path} is the same as {same}; read once" if path != same else f"{path} given twice; read once")
            continue
        seen_files[(info.st_dev, info.st_ino)] = path
        by_size.setdefault(info.st_size, []).append((path, None))
        fmt = fmt_of(path)
        if fmt == "taifex" and path.lower().endswith(".zip"):
            inputs += [Input(f"{path}:{m.filename}", fmt, path=path, member=m) for m in _zip_members(path, max_member_bytes)]
        else:
            inputs.append(Input(path, fmt, path=path))
    return inputs


# --- reading -------------------------------------------------------------------------------------


def _csv_batches(path: str) -> Iterator[pl.DataFrame]:
    frame = pl.scan_csv(path, infer_schema=False, glob=False, truncate_ragged_lines=True, row_index_name="_row",
                        raise_if_empty=False, encoding="utf8-lossy")
    yield from frame.collect_batches(chunk_size=BATCH_ROWS)


def sdk_batches(item: Input) -> Iterator[pl.DataFrame]:
    """Batches of an SDK input with a "_row" column (0 for the first data row)."""
    if item.frame is not None:
        frame = item.frame
        for start in range(0, max(frame.height, 1), BATCH_ROWS):
            yield frame.slice(start, BATCH_ROWS).with_row_index("_row", offset=start)
        return
    if item.parquet:
        scan = pl.scan_parquet(item.path, glob=False).with_row_index("_row")
        yield from scan.collect_batches(chunk_size=BATCH_ROWS)
        return
    yield from _csv_batches(item.path)


def columns_of(item: Input) -> List[str]:
    """The input's column names, read before its rows."""
    if item.frame is not None:
        return list(item.frame.columns)
    if item.parquet:
        return list(pl.scan_parquet(item.path, glob=False).collect_schema().names())
    return [c for c in pl.scan_csv(item.path, infer_schema=False, glob=False, raise_if_empty=False,
                                   truncate_ragged_lines=True).collect_schema().names()]


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
