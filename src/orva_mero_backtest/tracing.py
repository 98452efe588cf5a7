"""Where in the user's code an exception was raised: the frames of a traceback that are not this
package's, nor Python's own library or installed packages."""

from __future__ import annotations

import os
import sysconfig
import traceback
from typing import List, Optional

_PACKAGE = os.path.dirname(os.path.abspath(__file__)) + os.sep
_LIBRARIES = tuple(
    os.path.abspath(p) + os.sep
    for p in {sysconfig.get_paths().get(k) for k in ("stdlib", "platstdlib", "purelib", "platlib")}
    if p
)


def _frames(exc: BaseException) -> List[traceback.FrameSummary]:
    return list(traceback.extract_tb(exc.__traceback__))


def _is_package(filename: str) -> bool:
    return os.path.abspath(filename).startswith(_PACKAGE)


def user_frames(exc: BaseException) -> List[traceback.FrameSummary]:
    """The traceback's frames in the user's code, outermost first: outside this package and outside
    the libraries; failing that, outside this package; failing that, all of them."""
    frames = [f for f in _frames(exc) if not f.filename.startswith("<frozen ")]
    outside = [f for f in frames if not _is_package(f.filename)]
    mine = [f for f in outside if not os.path.abspath(f.filename).startswith(_LIBRARIES)]
    return mine or outside or frames


def user_location(exc: BaseException) -> Optional[str]:
    """``file:line`` of the innermost frame in the user's code, None without a traceback."""
    frames = user_frames(exc)
    if not frames:
        return None
    last = frames[-1]
    return f"{_short(last.filename)}:{last.lineno}"


def user_traceback(exc: BaseException) -> str:
    """The user's frames and the exception, as Python prints a traceback."""
    lines = ["Traceback (most recent call last, the strategy's frames):\n"]
    lines += traceback.format_list(user_frames(exc))
    lines += traceback.format_exception_only(type(exc), exc)
    return "".join(lines)


def _short(filename: str) -> str:
    """A path below the current folder relative to it, any other as it is."""
    try:
        rel = os.path.relpath(filename)
    except ValueError:
        return filename
    return filename if rel.startswith(os.pardir) else rel
