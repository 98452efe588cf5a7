"""Order entry: add_order, modify_order, cancel_order and their reports."""

import json

import pytest

from matcher_support import console, drain, future, logger, m, next_report, positions, stock  # noqa: F401
from orva_mero_backtest.constant import (
    Action, OCType, OperationType, OrderCond, OrderLot, OrderType, PriceType, SuccessCode,
)
from orva_mero_backtest.modules.matcher import matcher as matcher_module

STOCK_KEYS = [
    "operation_type", "operation_code", "operation_message", "trade_id", "account_id", "code", "product_type",
    "action", "price", "quantity", "price_type", "order_type", "exchange_ts", "order_cond", "order_lot",
]
FUTURE_KEYS = STOCK_KEYS[:13] + ["oc_type"]


def test_stock_record_and_new_report(m, console):
    m.add_order("2330", "Stock", "Buy", 100, 5, "LMT", "ROD")
    (record,) = m.pending_orders
    assert list(record) == STOCK_KEYS
    assert record["operation_type"] == "New" and type(record["operation_type"]) is str
    assert record["operation_code"] == SuccessCode.CreateOrder.code
    assert record["operation_message"] == SuccessCode.CreateOrder.message
    assert record["account_id"] == "BT-00001"
    assert record["action"] is Action.BUY and record["price_type"] is PriceType.LMT
    assert record["order_type"] is OrderType.ROD
    assert record["order_cond"] is OrderCond.CASH and record["order_lot"] is OrderLot.COMMON
    assert record["price"] == 100.0 and type(record["price"]) is float
    assert record["quantity"] == 5 and record["exchange_ts"] is None
    report = next_report(m)
    assert report["operation_type"] is OperationType.NEW
    assert report["order"]["id"] == record["trade_id"]
    assert console.lines == [f"[green]新增委託單 {record['trade_id']} 成功[/green]"]


def test_future_record_ignores_stock_fields(m):
    m.add_order("TXFA4", "Future", "Sell", 1.5, 2, "MKT", "IOC", "MarginTrading", "Odd", "Cover")
    (record,) = m.pending_orders
    assert list(record) == FUTURE_KEYS
    assert record["oc_type"] is OCType.COVER and record["action"] is Action.SELL


def test_stock_record_ignores_oc_type(m):
    m.add_order("2330", "Stock", "Sell", 1.5, 2, "LMT", "FOK", oc_type="Cover", order_lot="Odd")
    (record,) = m.pending_orders
    assert "oc_type" not in record and record["order_lot"] is OrderLot.ODD


def test_exchange_ts_is_the_current_tick_time(m):
    m.set_current_tick({"code": "2330", "timestamp": 1700000000.5})
    m.add_order("2330", "Stock", "Buy", 1.0, 1, "LMT", "ROD")
    m.add_order("2317", "Stock", "Buy", 1.0, 1, "LMT", "ROD")
    assert [r["exchange_ts"] for r in m.pending_orders] == [1700000000.5, None]


@pytest.mark.parametrize(
    "args, error, text",
    [
        (("2330", "Bond", "Buy", 1.0, 1, "LMT", "ROD"), Exception, "不支援的商品類型: Bond"),
        (("2330", "Stock", "Hold", 1.0, 1, "LMT", "ROD"), ValueError, "Action"),
        (("2330", "Stock", "Buy", 1.0, 1, "LMT", "GTC"), ValueError, "OrderType"),
        (("2330", "Stock", "Buy", 1.0, 1, "LMT", "ROD", "Loan"), ValueError, "OrderCond"),
        (("2330", "Future", "Buy", 1.0, 1, "LMT", "ROD", "Cash", "Common", "Close"), ValueError, "OCType"),
        (("2330", "Stock", "Buy", 1.0, -1, "LMT", "ROD"), Exception, "委託數量 -1 不能小於 0"),
        (("2330", "Stock", "Buy", 1.0, -(2**70), "LMT", "ROD"), Exception, "不能小於 0"),
        # Matching keeps quantities as 64-bit integers: a larger one would stop its instrument.
        (("2330", "Stock", "Buy", 1.0, 2**63, "LMT", "ROD"), Exception,
         "委託數量 9223372036854775808 超過上限 9223372036854775807"),
        (("2330", "Future", "Buy", 1.0, 2**70, "LMT", "ROD"), Exception, "超過上限"),
    ],
)
def test_refused_orders_leave_no_trace(m, console, args, error, text):
    with pytest.raises(error) as info:
        m.add_order(*args)
    assert text in str(info.value)
    assert m.pending_orders == [] and drain(m) == [] and console.lines == []


@pytest.mark.parametrize("qty, price", [(0, 100.0), (3, 0.0), (3, -5.0), (2**63 - 1, 1.0)])
def test_quantity_and_price_values_are_not_checked(m, qty, price):
    m.add_order("2330", "Stock", "Buy", price, qty, "LMT", "ROD")
    assert m.pending_orders[0]["quantity"] == qty
    assert next_report(m)["order"]["price"] == price


def test_reporting_failure_is_logged_and_the_order_stays(m, console, logger, monkeypatch):
    def broken(self, response):
        raise RuntimeError("queue down")

    monkeypatch.setattr(matcher_module.Matcher, "add_response_to_queue", broken)
    m.add_order("2330", "Stock", "Buy", 7, 1, "LMT", "ROD")
    assert len(m.pending_orders) == 1
    assert console.lines == ["[red]發生錯誤: queue down[/red]"]
    (line,) = logger.records
    record = json.loads(line)
    assert list(record) == ["error", "traceback", "data"]
    assert record["error"] == "queue down"
    assert "RuntimeError: queue down" in record["traceback"]
    assert record["data"] == {
        "code": "2330", "product_type": "Stock", "action": "Buy", "price": 7.0, "qty": 1, "price_type": "LMT",
        "order_type": "ROD", "order_cond": "Cash", "order_lot": "Common", "oc_type": "Auto",
    }
    assert list(record["data"]) == [
        "code", "product_type", "action", "price", "qty", "price_type", "order_type", "order_cond", "order_lot",
        "oc_type",
    ]


def test_modify_quantity_then_price(m, console):
    tid = stock(m, qty=5)
    m.modify_order(tid, 2, 99.5)
    record = m.pending_orders[0]
    assert record["quantity"] == 3 and record["price"] == 99.5
    qty_report, price_report = drain(m)
    assert qty_report["operation_type"] is OperationType.UPDATE_QTY
    assert qty_report["operation_status_code"] == SuccessCode.ModifyOrder.code
    assert qty_report["order"]["quantity"] == 3 and qty_report["order"]["price"] == 100.0
    assert price_report["operation_type"] is OperationType.UPDATE_PRICE
    assert price_report["order"]["price"] == 99.5
    assert console.lines[1:] == [
        f"[green]修改委託單 {tid} 數量成功, 修改數量 2[/green]",
        f"[green]修改委託單 {tid} 價格成功, 修改價格 99.5[/green]",
    ]
    assert record["operation_type"] == "New"  # the record keeps how it was created


def test_modify_whole_quantity_keeps_the_order(m):
    tid = stock(m, qty=5)
    m.modify_order(tid, qty=5)
    assert m.pending_orders[0]["quantity"] == 0
    assert len(drain(m)) == 1


@pytest.mark.parametrize(
    "qty, price, text",
    [
        (0, 0.0, "請至少提供數量或價格來修改委託單 {tid}"),
        (None, None, "請至少提供數量或價格來修改委託單 {tid}"),
        (6, None, "修改的數量 6 大於原本的數量 5"),
        (-1, None, "修改的數量 -1 必須大於 0"),
        (-1, 5.0, "修改的數量 -1 必須大於 0"),
    ],
)
def test_modify_refusals_change_nothing(m, qty, price, text):
    tid = stock(m, qty=5)
    with pytest.raises(Exception) as info:
        m.modify_order(tid, qty, price)
    assert type(info.value) is Exception and str(info.value) == text.format(tid=tid)
    assert m.pending_orders[0]["quantity"] == 5 and m.pending_orders[0]["price"] == 100.0
    assert drain(m) == []


def test_modify_negative_price_keeps_the_quantity_change(m):
    tid = stock(m, qty=5)
    with pytest.raises(Exception, match="修改的價格 -1.0 必須大於 0"):
        m.modify_order(tid, 1, -1.0)
    assert m.pending_orders[0]["quantity"] == 4 and m.pending_orders[0]["price"] == 100.0
    assert len(drain(m)) == 1


def test_modify_with_zero_price_changes_only_the_quantity(m):
    tid = stock(m, qty=5)
    m.modify_order(tid, 1, 0.0)
    assert m.pending_orders[0]["quantity"] == 4 and len(drain(m)) == 1


def test_unknown_ids(m, console):
    m.modify_order("nope", 1)
    m.cancel_order("nope")
    assert console.lines == ["[red]委託單 nope 不存在[/red]"] * 2
    with pytest.raises(Exception, match="請至少提供數量或價格來修改委託單 nope"):
        m.modify_order("nope", 0, 0.0)


def test_cancel_reports_and_removes_only_that_order(m, console):
    m.set_current_tick({"code": "2330", "timestamp": 1.0})
    first, second, third = stock(m, qty=1), stock(m, qty=2), stock(m, qty=3)
    m.set_current_tick({"code": "2330", "timestamp": 2.0})
    m.cancel_order(second)
    assert [r["trade_id"] for r in m.pending_orders] == [first, third]
    (report,) = drain(m)
    assert report["operation_type"] is OperationType.CANCEL
    assert report["operation_status_code"] == SuccessCode.OrderBeCancel.code
    assert report["order"]["quantity"] == 2
    assert report["trade_status"]["exchange_ts"] == 2.0  # read when the report is built
    assert console.lines[-1] == f"[green]取消委託單 {second} 成功[/green]"
    m.cancel_order(second)
    assert console.lines[-1] == f"[red]委託單 {second} 不存在[/red]"
    m.modify_order(second, 1)
    assert console.lines[-1] == f"[red]委託單 {second} 不存在[/red]"


def test_cancel_reporting_failure_is_printed_and_the_order_stays_out(m, console, logger, monkeypatch):
    tid = stock(m)
    monkeypatch.setattr(matcher_module, "OperationType", None)
    m.cancel_order(tid)
    assert m.pending_orders == []
    assert console.lines[-1] == "[red]'NoneType' object has no attribute 'CANCEL'[/red]"
    assert logger.records == []
