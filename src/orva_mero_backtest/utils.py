"""Console, error log and small helpers used by the exchange and the tick feed."""

from __future__ import annotations

import logging
import os
from datetime import datetime

from rich.console import Console

from .constant import BASIC_INFO

console = Console()

LOG_FILE_NAME = "error.log"


def make_dir(dir_path: str) -> None:
    """Create ``dir_path`` with every missing parent; an existing directory is fine."""
    os.makedirs(dir_path, exist_ok=True)


class _DataDirHandler(logging.Handler):
    """Appends each record to <data_dir>/logs/error.log, following BASIC_INFO.data_dir as it changes."""

    def emit(self, record: logging.LogRecord) -> None:
        try:
            log_dir = os.path.join(BASIC_INFO.data_dir, "logs")
            make_dir(log_dir)
            line = self.format(record).replace("\n", "\\n")
            with open(os.path.join(log_dir, LOG_FILE_NAME), "a", encoding="utf-8") as f:
                f.write(line + "\n")
        except Exception:
            self.handleError(record)


logger = logging.getLogger("orva_mero_backtest")
logger.setLevel(logging.INFO)
_handler = _DataDirHandler()
_handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(message)s"))
logger.addHandler(_handler)


def log_file_path() -> str:
    return os.path.join(BASIC_INFO.data_dir, "logs", LOG_FILE_NAME)


def format_to_dt(text: str) -> datetime:
    """Parse a "%Y-%m-%d" day text into a datetime at midnight."""
    return datetime.strptime(text, "%Y-%m-%d")


def format_nano_ts_to_second_ts(ts: int, digits: int) -> float:
    """Nanoseconds since the epoch to seconds, rounded to ``digits`` decimals."""
    return round(ts / 1_000_000_000, digits)


# The ticker computes this helper natively while the name it calls is still this function (its code
# and module); the second name keeps the original known after the public one is replaced.
_package_ns_to_seconds = format_nano_ts_to_second_ts
