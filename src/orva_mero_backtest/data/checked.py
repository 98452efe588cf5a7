"""Cache files already found sound, so a run checks each file once, not every run.

Reading every field of every cache file of a range costs a run more than its own loop on a short
range, and a sweep's workers paid it for every run. A file that passed is remembered by its size,
modification time and inode, in memory and in a small ledger in the user's cache folder, with a digest
of the checking code: a file that changes, or checks that change, are checked again.
"""

from __future__ import annotations

import hashlib
import json
import os
import threading
from pathlib import Path
from typing import Callable, Dict, List, Optional, Tuple

from ..utils import write_atomically

LEDGER_ENV = "ORVA_MERO_BACKTEST_CHECKED"

_lock = threading.Lock()
_known: Dict[Tuple[str, str], List[int]] = {}  # (rules, path) -> [size, mtime_ns, inode] when it passed
_loaded: set = set()  # ledgers read into _known


def _signature(path: str) -> Optional[List[int]]:
    try:
        info = os.stat(path)
    except OSError:
        return None
    return [info.st_size, info.st_mtime_ns, info.st_ino]


def _rules_digest(check: Callable[[str], None], *helpers: Callable) -> str:
    digest = hashlib.sha256()
    for func in (check, *helpers):
        code = func.__code__
        digest.update(code.co_code)
        digest.update(repr(code.co_consts).encode())
    return digest.hexdigest()[:16]


def ledger_folder() -> str:
    """Where the ledgers are kept (one per cache folder, named by its path): $ORVA_MERO_BACKTEST_CHECKED,
    else the user's cache folder; never the data directory itself, which runs leave as they found it."""
    if os.environ.get(LEDGER_ENV):
        return os.environ[LEDGER_ENV]
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "orva-mero-backtest", "checked")


def _ledger_path(folder: str) -> str:
    name = hashlib.sha256(folder.encode("utf-8", "surrogatepass")).hexdigest()[:24]
    return os.path.join(ledger_folder(), name + ".json")


def _load(folder: str, rules: str) -> None:
    if (rules, folder) in _loaded:
        return
    _loaded.add((rules, folder))
    try:
        with open(_ledger_path(folder), encoding="utf-8") as f:
            kept = json.load(f)
        if kept.get("rules") == rules and kept.get("folder") == folder:
            for name, sig in kept["files"].items():
                _known.setdefault((rules, os.path.join(folder, name)), sig)
    except (OSError, ValueError, KeyError, TypeError, AttributeError):  # missing or damaged: check anew
        pass


def _save(folder: str, rules: str) -> None:
    prefix = folder + os.sep
    files = {path[len(prefix):]: sig for (kept_rules, path), sig in _known.items()
             if kept_rules == rules and path.startswith(prefix) and os.sep not in path[len(prefix):]}
    try:
        path = _ledger_path(folder)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        # Whole or not at all: workers of a sweep may write it at the same moment.
        text = json.dumps({"rules": rules, "folder": folder, "files": files})
        write_atomically(path, lambda staged: Path(staged).write_text(text, encoding="utf-8"))
    except OSError:  # an unwritable ledger only costs the next process the checks
        pass


def check_once(paths: List[str], check: Callable[[str], None], *helpers: Callable) -> None:
    """``check(path)`` for each of ``paths`` not already passed unchanged (under the same ``check`` and
    ``helpers`` code); the passes are remembered. The first failure is raised."""
    rules = _rules_digest(check, *helpers)
    touched = set()
    try:
        for path in paths:
            path = os.path.abspath(path)
            folder = os.path.dirname(path)
            with _lock:
                _load(folder, rules)
                known = _known.get((rules, path))
            sig = _signature(path)
            if sig is not None and known == sig:
                continue
            check(path)
            if sig is not None and _signature(path) == sig:  # unchanged while it was read
                with _lock:
                    _known[(rules, path)] = sig
                touched.add(folder)
    finally:
        for folder in touched:
            with _lock:
                _save(folder, rules)
