"""The errors the package raises to its callers: each message is one line meant for the user.

They live apart from the modules that raise them so that any module can raise or catch them without
importing the driver (which imports nearly everything else).
"""

from __future__ import annotations

from typing import Optional


class BacktestError(Exception):
    """A backtest that cannot start or cannot go on; the message is one line meant for the user."""


class StrategyError(BacktestError):
    """The strategy raised; the original exception is the ``__cause__``. ``location`` is the file:line
    of the innermost frame in the strategy's own code, ``user_traceback`` the traceback of its frames."""

    location: Optional[str] = None
    user_traceback: str = ""


def strategy_error(what: str, exc: BaseException) -> StrategyError:
    """"<what>: <exception> (file:line)" for an exception of the strategy's code."""
    from .tracing import user_location, user_traceback

    where = user_location(exc)
    error = StrategyError(f"{what}: {type(exc).__name__}: {exc}" + (f" ({where})" if where else ""))
    error.location = where
    error.user_traceback = user_traceback(exc)
    return error


class OrderRejected(ValueError):
    """An order request the context refuses before it reaches the exchange."""


class DataError(Exception):
    """Tick data that cannot be read, imported or served; the message is one line meant for the user."""
