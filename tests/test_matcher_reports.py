"""Order and deal report formats, and the report queue."""

import threading

import pytest

from matcher_support import WAIT, console, drain, future, logger, m, next_report, positions, stock  # noqa: F401
from orva_mero_backtest.constant import (
    Action, OCType, OperationType, OrderCond, OrderLot, OrderType, PriceType, SuccessCode,
)

TOP = ["operation_type", "operation_status_code", "operation_message", "order", "trade_status"]
STOCK_ORDER = ["id", "seqno", "ordno", "account", "code", "action", "price", "quantity", "order_type",
               "order_cond", "order_lot", "price_type"]
FUTURE_ORDER = ["id", "seqno", "ordno", "account", "code", "action", "price", "quantity", "order_type",
                "price_type", "oc_type"]
STOCK_DEAL = ["id", "seqno", "ordno", "exchange_seqno", "broker_id", "account", "action", "code", "quantity",
              "price", "order_cond", "order_lot", "exchange_ts"]
FUTURE_DEAL = STOCK_DEAL[:10] + ["exchange_ts"]


def test_stock_order_report(m):
    m.set_current_tick({"code": "2330", "timestamp": 12.5})
    tid = stock(m, price=101.0, qty=4)
    m.modify_order(tid, 1)
    report = next_report(m)
    assert list(report) == TOP
    assert report["operation_type"] is OperationType.UPDATE_QTY
    assert report["operation_status_code"] == SuccessCode.ModifyOrder.code
    assert report["operation_message"] == SuccessCode.ModifyOrder.message
    order = report["order"]
    assert list(order) == STOCK_ORDER
    assert order["id"] == order["seqno"] == order["ordno"] == report["trade_status"]["id"] == tid
    assert order["account"] == "BT-00001" and order["code"] == "2330" and order["action"] is Action.BUY
    assert order["price"] == 101.0 and order["quantity"] == 3
    assert order["order_type"] is OrderType.ROD and order["price_type"] is PriceType.LMT
    assert order["order_cond"] is OrderCond.CASH and order["order_lot"] is OrderLot.COMMON
    assert report["trade_status"] == {"id": tid, "exchange": "ORVA Backtest Exchange", "exchange_ts": 12.5}
    assert list(report["trade_status"]) == ["id", "exchange", "exchange_ts"]


def test_future_order_report(m):
    m.add_order("TXFA4", "Future", "Sell", 17000, 1, "MKT", "FOK", oc_type="DayTrade")
    report = next_report(m)
    assert list(report["order"]) == FUTURE_ORDER
    assert report["order"]["oc_type"] is OCType.DAY_TRADE and report["order"]["price_type"] is PriceType.MKT
    assert report["trade_status"]["exchange_ts"] is None


@pytest.mark.parametrize("place, code, keys", [(stock, "2330", STOCK_DEAL), (future, "TXFA4", FUTURE_DEAL)])
def test_deal_reports(m, place, code, keys):
    m.set_current_tick({"code": code, "timestamp": 1.0})
    tid = place(m, action="Buy", qty=2)
    m.match_deal(code, 99, 5, 42)
    deal = next_report(m)
    assert list(deal) == keys
    assert deal["id"] == deal["seqno"] == deal["ordno"] == deal["exchange_seqno"] == tid
    assert deal["broker_id"] == "ORVA Backtest Exchange" and deal["account"] == "BT-00001"
    assert deal["quantity"] == 2 and deal["price"] == 99.0 and deal["exchange_ts"] == 42.0
    assert type(deal["price"]) is float and type(deal["exchange_ts"]) is float


def test_builders_from_plain_values(m):
    trade = {
        "trade_id": "T" * 16, "code": "2330", "action": "Sell", "price": 1.0, "quantity": 1,
        "price_type": "LMT", "order_type": "IOC", "product_type": "Stock", "order_cond": "Cash",
        "order_lot": "Odd", "oc_type": "Auto", "exchange_ts": 9.0,
    }
    report = m.build_order_response(trade, OperationType.CANCEL, SuccessCode.OrderBeCancel)
    assert report["operation_type"] is OperationType.CANCEL and report["order"]["order_lot"] is OrderLot.ODD
    assert report["order"]["action"] == "Sell"  # passed through unchanged
    deal = m.build_deal_response(trade)
    assert deal["order_cond"] is OrderCond.CASH and deal["exchange_ts"] == 9.0
    assert m.response_queue.empty()


@pytest.mark.parametrize("builder", ["order", "deal"])
def test_unsupported_product_type(m, builder):
    trade = {"trade_id": "x", "code": "c", "action": "Buy", "price": 1.0, "quantity": 1, "price_type": "LMT",
             "order_type": "ROD", "product_type": "Bond", "exchange_ts": None}
    with pytest.raises(Exception) as info:
        if builder == "order":
            m.build_order_response(trade, OperationType.NEW, SuccessCode.CreateOrder)
        else:
            m.build_deal_response(trade)
    assert str(info.value) == "不支援的商品類型: Bond"
    del trade["code"]  # a missing key fails first
    with pytest.raises(KeyError):
        m.build_deal_response(trade)


def test_builders_dispatch_through_the_instance(m):
    seen = []
    m.get_simulation_future_order_response = lambda data: seen.append(list(data)) or {"mine": True}
    trade = {"trade_id": "x", "code": "c", "action": "Buy", "price": 1.0, "quantity": 1, "price_type": "LMT",
             "order_type": "ROD", "product_type": "Future", "oc_type": "Auto"}
    assert m.build_order_response(trade, OperationType.NEW, SuccessCode.CreateOrder) == {"mine": True}
    assert seen == [["operation_type", "operation_code", "operation_message", "trade_id", "account_id", "code",
                     "action", "price", "quantity", "price_type", "order_type", "exchange_ts", "oc_type"]]


def test_queue_hands_back_the_very_objects_in_order(m):
    reports = [{"n": i} for i in range(3)]
    for r in reports:
        m.add_response_to_queue(r)
    popped = [m.pop_response() for _ in reports]
    assert all(a is b for a, b in zip(popped, reports)) and len(popped) == 3


def test_pop_response_waits_for_a_report(m):
    report = {"late": True}
    got = []
    waiter = threading.Thread(target=lambda: got.append(m.pop_response()), daemon=True)
    waiter.start()
    waiter.join(0.05)
    assert waiter.is_alive()
    m.add_response_to_queue(report)
    waiter.join(WAIT)
    assert got and got[0] is report
