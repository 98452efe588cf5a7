"""Enumerations and settings shared by the exchange, the tick feed and the driver."""

from __future__ import annotations

import os
from enum import Enum


class _ValueEnum(str, Enum):
    """A str-valued enumeration whose members are also plain strings."""

    def __str__(self) -> str:
        return self.value

    @classmethod
    def from_value(cls, value):
        """Return the member for ``value``: a member of this enumeration or its exact str value."""
        if isinstance(value, cls):
            return value
        if type(value) is str:
            member = cls._value2member_map_.get(value)
            if member is not None:
                return member
        allowed = ", ".join(repr(m.value) for m in cls)
        raise ValueError(f"{cls.__name__} 不支援的值: {value!r} (可用: {allowed})")


class Action(_ValueEnum):
    BUY = "Buy"
    SELL = "Sell"


class OperationType(_ValueEnum):
    NEW = "New"
    UPDATE_QTY = "UpdateQty"
    UPDATE_PRICE = "UpdatePrice"
    CANCEL = "Cancel"


class OrderType(_ValueEnum):
    ROD = "ROD"
    IOC = "IOC"
    FOK = "FOK"


class PriceType(_ValueEnum):
    LMT = "LMT"
    MKT = "MKT"
    MKP = "MKP"


class OrderCond(_ValueEnum):
    CASH = "Cash"
    MARGIN_TRADING = "MarginTrading"
    SHORT_SELLING = "ShortSelling"


class OrderLot(_ValueEnum):
    COMMON = "Common"
    FIXING = "Fixing"
    ODD = "Odd"
    INTRADAY_ODD = "IntradayOdd"


class OCType(_ValueEnum):
    AUTO = "Auto"
    NEW = "New"
    COVER = "Cover"
    DAY_TRADE = "DayTrade"


class SuccessCode(Enum):
    """Outcome codes carried by order records and order reports."""

    CreateOrder = ("0000", "新增委託單成功")
    ModifyOrder = ("0001", "修改委託單成功")
    OrderBeCancel = ("0002", "委託單已取消")

    @property
    def code(self) -> str:
        return self.value[0]

    @property
    def message(self) -> str:
        return self.value[1]


class FLAG(_ValueEnum):
    """Values of the "orva_status" key of the tick stream's status dicts."""

    exit_send_tick = "exit_send_tick"
    finish_backfilling = "finish_backfilling"


DATA_DIR_ENV = "ORVA_MERO_BACKTEST_DATA_DIR"


class _BasicInfo:
    """Package settings; ``data_dir`` may be reassigned at any time."""

    def __init__(self) -> None:
        self.data_dir = os.environ.get(DATA_DIR_ENV) or os.path.join(
            os.path.expanduser("~"), ".orva_mero_backtest"
        )

    def __repr__(self) -> str:
        return f"BASIC_INFO(data_dir={self.data_dir!r})"


BASIC_INFO = _BasicInfo()
