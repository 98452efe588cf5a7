"""The errors the package raises to its callers: each message is one line meant for the user.

They live apart from the modules that raise them so that any module can raise or catch them without
importing the driver (which imports nearly everything else).
"""

from __future__ import annotations


class BacktestError(Exception):
    """A backtest that cannot start or cannot go on; the message is one line meant for the user."""


class StrategyError(BacktestError):
    """The strategy raised; the original exception is the ``__cause__``."""


class OrderRejected(ValueError):
    """An order request the context refuses before it reaches the exchange."""


class DataError(Exception):
    """Tick data that cannot be read, imported or served; the message is one line meant for the user."""
