"""Console, error log and small helpers used by the exchange and the tick feed."""

from __future__ import annotations

import contextlib
import logging
import os
import sys
import tempfile
import threading
from datetime import datetime
from typing import Any, Callable, Dict, Iterator, Optional, Sequence, Tuple

from rich.console import Console, ConsoleDimensions

from .constant import BASIC_INFO


class _Console(Console):
    """The package's console. When its output is not a terminal (a pipe, a file, a test's capture),
    nothing is wrapped at a terminal's width, whatever COLUMNS says: tables keep their natural width and
    lines their length, so a log or a script reads what a terminal would show. A width given to the
    constructor is kept."""

    UNWRAPPED_WIDTH = 10_000

    def __init__(self, *args: Any, width: Optional[int] = None, **kwargs: Any) -> None:
        super().__init__(*args, width=width, **kwargs)
        self._fixed_width = width is not None

    @property
    def size(self) -> ConsoleDimensions:
        size = Console.size.fget(self)  # type: ignore[attr-defined]
        if not self._fixed_width and not self.is_terminal:
            return ConsoleDimensions(max(size.width, self.UNWRAPPED_WIDTH), size.height)
        return size

    @size.setter
    def size(self, new_size: Tuple[int, int]) -> None:
        Console.size.fset(self, new_size)  # type: ignore[attr-defined]
        self._fixed_width = True

    @property
    def width(self) -> int:
        return self.size.width

    @width.setter
    def width(self, width: int) -> None:
        self._width = width
        self._fixed_width = True


console = _Console()

LOG_FILE_NAME = "error.log"


def make_dir(dir_path: str) -> None:
    """Create ``dir_path`` with every missing parent; an existing directory is fine."""
    os.makedirs(dir_path, exist_ok=True)


class _LogRoutes:
    """Which data directory a record belongs to: that of the run the emitting thread works for, so that
    runs with their own data directories in one process (``Backtest(data_dir=...)``) keep their own logs.
    A thread works for a run inside ``logging_into`` (the run's own thread, the feed's combination) or when
    it is one of the run's threads (``routing_threads``: the feed's sender, looked up when a record comes);
    any other thread logs into ``BASIC_INFO.data_dir``."""

    def __init__(self) -> None:
        self._local = threading.local()
        self._lock = threading.Lock()
        self._runs: Dict[int, Tuple[str, Callable[[], Sequence[threading.Thread]]]] = {}

    def data_dir(self) -> str:
        own = getattr(self._local, "data_dir", None)
        if own is not None:
            return own
        if self._runs:
            me = threading.current_thread()
            with self._lock:
                runs = list(self._runs.values())
            for data_dir, threads_of in runs:
                try:
                    if any(thread is me for thread in threads_of()):
                        return data_dir
                except Exception:  # a run that is ending: not this thread's
                    pass
        return BASIC_INFO.data_dir

    @contextlib.contextmanager
    def logging_into(self, data_dir: str) -> Iterator[None]:
        saved = getattr(self._local, "data_dir", None)
        self._local.data_dir = data_dir
        try:
            yield
        finally:
            self._local.data_dir = saved

    @contextlib.contextmanager
    def routing_threads(self, data_dir: str, threads_of: Callable[[], Sequence[threading.Thread]]) -> Iterator[None]:
        key = id(threads_of)
        with self._lock:
            self._runs[key] = (data_dir, threads_of)
        try:
            yield
        finally:
            with self._lock:
                self._runs.pop(key, None)


_routes = _LogRoutes()
# Records of the current thread go to <data_dir>/logs/error.log for a block.
logging_into = _routes.logging_into
# Records of the threads ``threads_of()`` lists go there too while the block lasts.
routing_threads = _routes.routing_threads


def _usable_log_dir() -> str | None:
    """<data_dir>/logs of the current thread's records, made if missing; None when it cannot be made
    (the data directory is unusable)."""
    log_dir = os.path.join(_routes.data_dir(), "logs")
    try:
        make_dir(log_dir)
    except OSError:
        return None
    return log_dir


def _fallback_log_dir() -> str:
    return os.path.join(tempfile.gettempdir(), "orva_mero_backtest-logs")


class _DataDirHandler(logging.Handler):
    """Appends each record, as one line, to <data_dir>/logs/error.log of the run the emitting thread works for
    (``_LogRoutes``), else of BASIC_INFO.data_dir as it is now. When that file cannot be written, records go to a log under the system's temporary directory
    instead, announced by one line on stderr (once per unusable file)."""

    def __init__(self) -> None:
        super().__init__()
        self._announced: set[str] = set()

    def emit(self, record: logging.LogRecord) -> None:
        try:
            line = self.format(record).replace("\n", "\\n") + "\n"
        except Exception:
            self.handleError(record)
            return
        primary = os.path.join(_routes.data_dir(), "logs", LOG_FILE_NAME)
        try:
            make_dir(os.path.dirname(primary))
            _append(primary, line)
            return
        except OSError as exc:
            reason = exc
        fallback = os.path.join(_fallback_log_dir(), LOG_FILE_NAME)
        try:
            make_dir(os.path.dirname(fallback))
            _append(fallback, line)
            where = f"written to {fallback}"
        except OSError:
            where = "not written anywhere"
        if primary not in self._announced:
            self._announced.add(primary)
            sys.stderr.write(f"orva_mero_backtest: cannot write the error log {primary} ({reason}); "
                             f"records are {where}\n")


def _append(path: str, line: str) -> None:
    with open(path, "a", encoding="utf-8") as f:
        f.write(line)


logger = logging.getLogger("orva_mero_backtest")
logger.setLevel(logging.INFO)
_handler = _DataDirHandler()
_handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(message)s"))
logger.addHandler(_handler)


def log_file_path() -> str:
    """The error log the current thread's records go to now: <data_dir>/logs/error.log, or the fallback when
    that cannot be made."""
    log_dir = _usable_log_dir() or _fallback_log_dir()
    return os.path.join(log_dir, LOG_FILE_NAME)


def _point_sdk_log_into_data_dir() -> None:
    """The broker SDK writes shioaji.log into the current directory unless SJ_LOG_PATH says otherwise, which
    it reads when imported: its log goes beside the error log (nowhere when the data directory is unusable).
    A value already set by the user is kept."""
    if "SJ_LOG_PATH" in os.environ:
        return
    log_dir = _usable_log_dir()
    os.environ["SJ_LOG_PATH"] = os.path.join(log_dir, "shioaji.log") if log_dir else os.devnull


_point_sdk_log_into_data_dir()


def format_to_dt(text: str) -> datetime:
    """Parse a "%Y-%m-%d" day text into a datetime at midnight."""
    return datetime.strptime(text, "%Y-%m-%d")


def format_nano_ts_to_second_ts(ts: int, digits: int) -> float:
    """Nanoseconds since the epoch to seconds, rounded to ``digits`` decimals."""
    return round(ts / 1_000_000_000, digits)


# The ticker computes this helper natively while the name it calls is still this function (its code
# and module); the second name keeps the original known after the public one is replaced.
_package_ns_to_seconds = format_nano_ts_to_second_ts


def write_atomically(path: str, write: Callable[[str], None]) -> None:
    """Calls ``write(tmp)`` for a temporary file in the same folder and renames it to ``path``, so the file
    is whole or absent (readers never see a half-written one)."""
    folder, name = os.path.split(path)
    fd, tmp = tempfile.mkstemp(prefix=f".{name}.", suffix=".partial", dir=folder or ".")
    os.close(fd)
    try:
        write(tmp)
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp, 0o666 & ~umask)  # mkstemp makes it private
        os.replace(tmp, path)
    finally:
        if os.path.exists(tmp):
            os.unlink(tmp)
