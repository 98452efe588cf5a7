"""Instrument codes as they may appear in a cache file name.

A code becomes part of a file name in the tick cache, so only plain names pass: ASCII letters, digits and
``._-``, not starting with a dot or a dash, and short. Anything else (a path separator, ``..``, NUL, a control
character, a space) could name a file outside the cache or one the feed would read under another code.
"""

from __future__ import annotations

import re

from ..errors import DataError

MAX_CODE_LENGTH = 32
_PLAIN = re.compile(r"[A-Za-z0-9_][A-Za-z0-9._-]*")


def code_problem(code: object) -> str | None:
    """Why ``code`` is not a plain instrument code, or None when it is one."""
    if not isinstance(code, str):
        return f"not text ({type(code).__name__})"
    if not code:
        return "empty"
    if len(code) > MAX_CODE_LENGTH:
        return f"longer than {MAX_CODE_LENGTH} characters"
    if _PLAIN.fullmatch(code) and ".." not in code:
        return None
    for char in code:
        if char in "/\\":
            return "holds a path separator"
        if char == "\0":
            return "holds a NUL character"
        if ord(char) < 32 or ord(char) == 127:
            return "holds a control character"
    if ".." in code:
        return "holds '..'"
    return "is not a plain name (letters, digits and ._- only, not starting with . or -)"


def check_code(code: object, source: str = "instrument code") -> str:
    """``code`` itself when it is a plain instrument code; DataError naming ``source`` otherwise."""
    problem = code_problem(code)
    if problem is not None:
        raise DataError(f"{source} {code!r} {problem}")
    return code  # type: ignore[return-value]
