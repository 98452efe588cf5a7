"""The pending-order queue, its receiver thread, and failures while handling a message."""

import json
import queue
import threading

import pytest

from matcher_support import (  # noqa: F401
    WAIT,
    console, drain, logger, m, next_report, positions, stock, wait_until,
)
from orva_mero_backtest.constant import OperationType
from orva_mero_backtest.modules.matcher import matcher as matcher_module

ADD = {"code": "2330", "product_type": "Stock", "action": "Buy", "price": 100.0, "qty": 5,
       "price_type": "LMT", "order_type": "ROD"}


def settle(m, console):
    """Waits until the receiver has handled everything posted so far."""
    n = len(console.lines)
    m.add_pending_order_queue("cancel", {"trade_id": "settle"})
    wait_until(lambda: "[red]委託單 settle 不存在[/red]" in console.lines[n:])
    console.lines.remove("[red]委託單 settle 不存在[/red]")


def test_add_modify_cancel_apply_in_order(m, console):
    m.add_pending_order_queue("add", dict(ADD, oc_type="Cover"))
    new = next_report(m)
    tid = new["order"]["id"]
    m.add_pending_order_queue("modify", {"trade_id": tid, "qty": 2})
    m.add_pending_order_queue("modify", {"trade_id": tid, "price": 101.5})
    m.add_pending_order_queue("cancel", {"trade_id": tid})
    ops = [next_report(m)["operation_type"] for _ in range(3)]
    assert ops == [OperationType.UPDATE_QTY, OperationType.UPDATE_PRICE, OperationType.CANCEL]
    settle(m, console)
    assert m.pending_orders == [] and len(console.lines) == 4


def test_message_holds_the_callers_payload(m, console, monkeypatch):
    release = threading.Event()

    class Blocking:
        def print(self, text):
            console.lines.append(text)
            if "hold" in text:
                release.wait(WAIT)

    monkeypatch.setattr(matcher_module, "console", Blocking())
    m.add_pending_order_queue("hold", {})
    wait_until(lambda: console.lines)  # the receiver is busy with the first message
    payload = dict(ADD)
    m.add_pending_order_queue("add", payload)
    (message,) = list(m.pending_order_queue.queue)
    assert message == {"action": "add", "payload": payload} and message["payload"] is payload
    payload["price"] = 55.0  # seen by the receiver, which has not taken the message yet
    release.set()
    assert next_report(m)["order"]["price"] == 55.0
    assert payload == dict(ADD, price=55.0)


def test_unsupported_action_is_printed_not_logged(m, console, logger):
    m.add_pending_order_queue("replace", {})
    settle(m, console)
    assert console.lines == ["[red]不支援的操作: replace[/red]"] and logger.records == []


@pytest.mark.parametrize(
    "message, text",
    [
        ({"action": "modify", "payload": {"trade_id": "abc"}}, "請至少提供數量或價格來修改委託單 abc"),
        ({"action": "add", "payload": dict(ADD, product_type="Bond")}, "不支援的商品類型: Bond"),
        ({"action": "add"}, "'payload'"),
        ({"payload": {}}, "'action'"),
        ({"action": "cancel", "payload": {}}, "'trade_id'"),
        ({"action": "modify", "payload": {"trade_id": "abc", "price": 5}},
         "Matcher.modify_order() argument 'price' must be float or None, not int"),
        ({"action": "add", "payload": dict(ADD, extra=1)}, "Matcher.add_order() got an unexpected keyword argument 'extra'"),
        ({"action": "add", "payload": {"code": "2330"}},
         "Matcher.add_order() missing 6 required positional arguments: 'product_type', 'action', 'price', 'qty', "
         "'price_type', and 'order_type'"),
        ({"action": "add", "payload": ["code"]},
         "orva_mero_backtest.modules.matcher.matcher.Matcher.add_order() argument after ** must be a mapping, "
         "not list"),
        ({"action": "add", "payload": dict(ADD, qty=-2)}, "委託數量 -2 不能小於 0"),
    ],
)
def test_failed_messages_are_printed_and_logged_and_the_receiver_goes_on(m, console, logger, message, text):
    m.pending_order_queue.put(message)
    m.add_pending_order_queue("add", ADD)
    next_report(m)  # the next valid message is still applied
    assert console.lines[0] == f"[red]接收委託單失敗: {text}[/red]"
    (line,) = logger.records
    record = json.loads(line)
    assert list(record) == ["error", "traceback", "data"]
    assert record["error"] == text
    assert record["data"] == {"info": message}
    # The exception being handled, as traceback.format_exc() renders it.
    assert record["traceback"].rstrip().endswith(text) and "NoneType: None" not in record["traceback"]
    assert len(m.pending_orders) == 1


def test_log_record_carries_the_python_frames_of_the_failure(m, console, logger):
    m.add_pending_order_queue("add", dict(ADD, action="Hold"))
    settle(m, console)
    (line,) = logger.records
    tb = json.loads(line)["traceback"]
    assert tb.startswith("Traceback (most recent call last):") and "in from_value" in tb
    assert "ValueError: Action" in tb


def test_unencodable_message_is_still_logged(m, console, logger):
    odd = object()
    m.add_pending_order_queue("modify", {"trade_id": "abc", "qty": odd})
    settle(m, console)
    (line,) = logger.records
    record = json.loads(line)
    assert record["data"]["info"]["payload"]["qty"] == str(odd)
    assert "must be int or None" in record["error"]


def test_failures_while_reporting_a_failure_do_not_end_the_receiver(m, console, logger, monkeypatch):
    class Failing:
        def print(self, text):
            if "失敗" in text:
                raise RuntimeError("console gone")
            console.lines.append(text)

    class FailingLogger:
        def error(self, text):
            raise OSError("disk full")

    monkeypatch.setattr(matcher_module, "console", Failing())
    monkeypatch.setattr(matcher_module, "logger", FailingLogger())
    for _ in range(3):
        m.add_pending_order_queue("modify", {"trade_id": "abc"})
    m.add_pending_order_queue("add", ADD)
    assert next_report(m)["operation_type"] is OperationType.NEW


def test_queue_empty_from_an_operation_shows_the_waiting_line(m, console, logger, monkeypatch):
    def empty(self, trade_id):
        raise queue.Empty

    monkeypatch.setattr(matcher_module.Matcher, "cancel_order", empty)
    m.add_pending_order_queue("cancel", {"trade_id": "x"})
    wait_until(lambda: console.lines == ["[red]等待委託單中...[/red]"])
    assert logger.records == []
