"""The sweep's output folder: made, checked writable and locked before the first run, so a folder that
cannot be written is found at once and two sweeps never write their results into one folder."""

from __future__ import annotations

import os
from datetime import datetime
from typing import List, Optional

from ..errors import BacktestError

LOCK_NAME = ".sweep.lock"
# Files whose presence means the folder already holds a sweep's results.
RESULT_NAMES = ("sweep.csv", "sweep.parquet")


class SweepFolder:
    """The folder a sweep writes to, held under an exclusive lock until ``release``."""

    def __init__(self, parent: str, name: Optional[str]) -> None:
        self.path = ""
        self._made: List[str] = []  # folders this sweep created, deepest last
        self._lock: Optional[int] = None
        parent = os.path.abspath(parent)
        if name is not None:
            check_name(name)
        try:
            self._make_parents(parent)
            if name is None:
                self.path = self._new_unnamed(parent)
            else:
                self.path = os.path.join(parent, name)
                if not os.path.isdir(self.path):
                    os.mkdir(self.path)
                    self._made.append(self.path)
            self._take_lock()
        except OSError as exc:
            self.discard()
            where = exc.filename or self.path or parent
            raise BacktestError(f"the sweep folder cannot be made in {parent}: {where}: {exc.strerror or exc}") from None
        except BacktestError:
            self.discard()
            raise
        for result in RESULT_NAMES:
            if os.path.exists(os.path.join(self.path, result)):
                self.discard()
                raise BacktestError(f"{self.path} already holds a sweep's results ({result}); give another --name "
                                    "or remove that folder")

    def _make_parents(self, parent: str) -> None:
        missing = []
        here = parent
        while not os.path.isdir(here):
            missing.append(here)
            up = os.path.dirname(here)
            if up == here:
                break
            here = up
        for folder in reversed(missing):
            os.mkdir(folder)
            self._made.append(folder)

    def _new_unnamed(self, parent: str) -> str:
        base = "sweep-" + datetime.now().strftime("%Y%m%d-%H%M%S")
        candidate, n = os.path.join(parent, base), 1
        while True:
            try:
                os.mkdir(candidate)  # exclusive: two sweeps started in one second get two folders
            except FileExistsError:
                n += 1
                candidate = os.path.join(parent, f"{base}-{n}")
                continue
            self._made.append(candidate)
            return candidate

    def _take_lock(self) -> None:
        fd = os.open(os.path.join(self.path, LOCK_NAME), os.O_RDWR | os.O_CREAT, 0o644)
        try:
            import fcntl
        except ImportError:  # no advisory locks here: the results check below still applies
            self._lock = fd
            return
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            os.close(fd)
            raise BacktestError(f"another sweep is writing to {self.path}; give another --name") from None
        self._lock = fd

    def release(self) -> None:
        """Ends the lock; the folder and its results stay."""
        if self._lock is not None:
            try:
                os.unlink(os.path.join(self.path, LOCK_NAME))
            except OSError:
                pass
            os.close(self._lock)
            self._lock = None

    def discard(self) -> None:
        """Nothing ran: the lock ends and every folder this sweep made goes, if it stayed empty."""
        self.release()
        for folder in reversed(self._made):
            try:
                os.rmdir(folder)
            except OSError:  # something else was put there meanwhile: it stays
                pass
        self._made = []


def check_name(name: str) -> None:
    bad = (not name.strip() or name in (".", "..") or "/" in name or "\\" in name or "\0" in name
           or (os.altsep is not None and os.altsep in name))
    if bad:
        raise BacktestError(f"--name must be a plain folder name, got {name!r}")
