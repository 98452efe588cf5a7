import json
import os
from datetime import datetime

import pytest

from orva_mero_backtest import constant, utils
from orva_mero_backtest.constant import (
    FLAG,
    Action,
    OCType,
    OperationType,
    OrderCond,
    OrderLot,
    OrderType,
    PriceType,
    SuccessCode,
)

ENUMS = [Action, OperationType, OrderType, PriceType, OrderCond, OrderLot, OCType]


@pytest.mark.parametrize("enum", ENUMS)
def test_from_value_takes_value_or_own_member(enum):
    for member in enum:
        assert enum.from_value(member.value) is member
        assert enum.from_value(member) is member
        assert member == member.value
        assert type(member.value) is str


@pytest.mark.parametrize(
    "enum, bad",
    [
        (Action, "buy"),
        (Action, None),
        (Action, 1),
        (OrderType, OperationType.NEW),  # a member of another enumeration
        (PriceType, "LMT "),
    ],
)
def test_from_value_refuses_anything_else(enum, bad):
    with pytest.raises(ValueError, match=enum.__name__):
        enum.from_value(bad)


def test_member_of_another_enumeration_with_equal_value_is_refused():
    # OperationType.NEW and OCType.NEW share the text "New"
    assert OperationType.NEW.value == OCType.NEW.value
    with pytest.raises(ValueError):
        OCType.from_value(OperationType.NEW)


def test_success_codes_and_flags():
    codes = {m.code for m in SuccessCode}
    assert len(codes) == len(SuccessCode)
    assert all(isinstance(m.message, str) and m.message for m in SuccessCode)
    assert FLAG.exit_send_tick.value != FLAG.finish_backfilling.value


def test_data_dir_default_follows_environment(monkeypatch, tmp_path):
    monkeypatch.setenv(constant.DATA_DIR_ENV, str(tmp_path / "x"))
    assert constant._BasicInfo().data_dir == str(tmp_path / "x")
    monkeypatch.delenv(constant.DATA_DIR_ENV)
    assert constant._BasicInfo().data_dir.endswith(".orva_mero_backtest")


def test_logger_writes_one_line_per_error_under_current_data_dir(data_dir):
    record = json.dumps({"error": "boom", "traceback": "Traceback...\n  line\n", "data": {"x": 1}})
    utils.logger.error(record)
    utils.logger.error(record)
    lines = open(utils.log_file_path(), encoding="utf-8").read().splitlines()
    assert len(lines) == 2
    assert lines[0].endswith(record)
    assert os.path.dirname(utils.log_file_path()).startswith(str(data_dir))


def test_make_dir_and_date_helpers(tmp_path):
    target = tmp_path / "a" / "b"
    utils.make_dir(str(target))
    utils.make_dir(str(target))
    assert target.is_dir()
    assert utils.format_to_dt("2024-01-02") == datetime(2024, 1, 2)
    with pytest.raises(ValueError):
        utils.format_to_dt("2024/01/02")
    assert utils.format_nano_ts_to_second_ts(1_704_158_100_123_456_789, 8) == pytest.approx(1704158100.1234567)


def test_failures_of_native_methods_carry_a_traceback_frame():
    import traceback

    from orva_mero_backtest.modules.matcher.matcher import Matcher

    try:
        Matcher().modify_order("missing", 0, 0.0)
    except Exception:
        text = traceback.format_exc()
    assert text.startswith("Traceback (most recent call last):")
    assert "in Matcher.modify_order" in text
    assert text.rstrip().endswith("請至少提供數量或價格來修改委託單 missing")


@pytest.mark.parametrize("module, name", [("matcher", "logger"), ("ticker", "make_dir")])
def test_missing_name_at_load_is_an_import_error(module, name):
    # A fresh interpreter: an extension module is initialised once per process.
    import subprocess
    import sys

    code = (
        "from orva_mero_backtest import utils\n"
        f"del utils.{name}\n"
        "try:\n"
        f"    import orva_mero_backtest.modules.{module}.{module}\n"
        "except ImportError as e:\n"
        "    print(e)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert f"cannot import name '{name}'" in out.stdout
