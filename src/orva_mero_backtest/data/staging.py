"""The import's day files, gathered in a staging folder inside the cache and put in place together.

Ticks arrive in batches; each batch's part of an instrument-day is kept as a small Arrow file, so memory
holds one batch at a time. When every input has been read, each day's parts are joined, sorted by time and
written as the day's cache file, still in the staging folder. Only then are the files renamed into the
cache; a rename that fails puts back what the earlier renames replaced. Whatever happens, the staging
folder is removed, so a failed import leaves the cache exactly as it was.
"""

from __future__ import annotations

import os
import shutil
import tempfile
from typing import Dict, List, Tuple

import polars as pl

from .cache_broker import cache_dir, cache_file

Key = Tuple[str, str]  # (code, ISO day)


class Staging:
    def __init__(self, data_dir: str) -> None:
        self.data_dir = data_dir
        self.cache = cache_dir(data_dir)
        # Folders this import makes, removed again when it fails.
        self._made = [f for f in (self.cache, os.path.dirname(self.cache), data_dir) if not os.path.isdir(f)]
        os.makedirs(self.cache, exist_ok=True)
        self.folder = tempfile.mkdtemp(prefix=".import-", suffix=".partial", dir=self.cache)
        self.parts: Dict[Key, List[str]] = {}
        self._n = 0

    def scratch(self, name: str) -> str:
        """A path for a temporary file of the import (removed with the staging folder)."""
        self._n += 1
        return os.path.join(self.folder, f"{self._n}-{name}")

    def add(self, code: str, day: str, part: pl.DataFrame) -> None:
        path = self.scratch("part.arrow")
        part.write_ipc(path)
        self.parts.setdefault((code, day), []).append(path)

    def alias(self, code: str, day: str, same_as: Key) -> None:
        """``code`` on ``day`` holds exactly the ticks of ``same_as`` (a continuous code and its month)."""
        self.parts[(code, day)] = list(self.parts.get(same_as, []))

    def build(self, columns: List[str]) -> Dict[Key, Tuple[str, int]]:
        """Writes every day's cache file into the staging folder: {(code, day): (staged path, rows)}."""
        built = {}
        for key, paths in sorted(self.parts.items()):
            day = pl.concat([pl.read_ipc(p) for p in paths])
            # A stable sort keeps the delivery order of ticks with the same time.
            day = day.sort("ts", maintain_order=True).select(columns)
            path = self.scratch("day.csv")
            day.write_csv(path)
            built[key] = (path, day.height)
        return built

    def commit(self, built: Dict[Key, Tuple[str, int]]) -> Dict[Key, str]:
        """Renames the staged files into the cache, all or none: {(code, day): cache file}."""
        umask = os.umask(0)
        os.umask(umask)
        done: List[Tuple[str, str | None]] = []
        placed = {}
        try:
            for key, (staged, _) in built.items():
                target = cache_file(self.data_dir, *key)
                os.chmod(staged, 0o666 & ~umask)
                backup = None
                if os.path.lexists(target):
                    backup = self.scratch("old")
                    try:
                        os.link(target, backup, follow_symlinks=False)
                    except OSError:
                        shutil.copy2(target, backup, follow_symlinks=False)
                os.replace(staged, target)
                done.append((target, backup))
                placed[key] = target
        except BaseException:
            for target, backup in reversed(done):
                try:
                    if backup is None:
                        os.unlink(target)
                    else:
                        os.replace(backup, target)
                except OSError:
                    pass
            raise
        return placed

    def discard(self, failed: bool = False) -> None:
        shutil.rmtree(self.folder, ignore_errors=True)
        if failed:
            for folder in self._made:
                try:
                    os.rmdir(folder)
                except OSError:
                    break
