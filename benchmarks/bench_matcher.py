"""Matcher benchmarks: the C++ Matcher against a plain-Python rendering of the same work.

    .venv/bin/python benchmarks/run.py matcher
    .venv/bin/python benchmarks/bench_matcher.py calls   # only the per-call figures

Each case prints the time per operation of both and their ratio. Console and logger are
replaced by no-op objects (a silenced backtest); the backtest loop and order entry are then
run once more with the default console (its output sent to /dev/null). The backtest loop is
timed with a no-op positions book (the matcher's own cost) and with the real Positions.
"""

import contextlib
import copy
import gc
import json
import os
import queue
import statistics
import sys
import threading
import time
import traceback
from threading import Thread

from nanoid import generate

from orva_mero_backtest import utils
from orva_mero_backtest.constant import (
    Action, OCType, OperationType, OrderCond, OrderLot, OrderType, PriceType, SuccessCode,
)
from orva_mero_backtest.modules.matcher import matcher as native_module
from orva_mero_backtest.modules.positions.positions import Positions

console = utils.console
logger = utils.logger


# ---------------------------------------------------------------------------------------------
# The plain-Python rendering: same behaviour (types checked, book lock, deep copies, receiver).
# ---------------------------------------------------------------------------------------------

class PyMatcher:
    def __init__(self, positions=None):
        self.pending_orders = []
        self.response_queue = queue.Queue()
        self.pending_order_queue = queue.Queue()
        self.current_tick_infos = {}
        self.positions = positions if positions else Positions()
        self.account_info = {"account_id": "BT-00001"}
        self.exchange_info = {"name": "ORVA Backtest Exchange"}
        _LOCKS[id(self)] = threading.RLock()
        Thread(target=self.__receive_pending_order, daemon=True).start()

    def __init_current_tick_info(self, code):
        if type(code) is not str:
            raise TypeError("code")
        return {"ts": None, "tick": None}

    def __get_random_uuid(self):
        return generate(size=16)

    def __receive_pending_order(self):
        while True:
            message = None
            try:
                message = self.pending_order_queue.get()
                action = message["action"]
                payload = message["payload"]
                if action == "add":
                    self.add_order(**payload)
                elif action == "modify":
                    self.modify_order(payload["trade_id"], payload.get("qty"), payload.get("price"))
                elif action == "cancel":
                    self.cancel_order(payload["trade_id"])
                else:
                    console.print(f"[red]不支援的操作: {action}[/red]")
            except Exception as e:
                try:
                    console.print(f"[red]接收委託單失敗: {e}[/red]")
                    logger.error(json.dumps({"error": str(e), "traceback": traceback.format_exc(),
                                             "data": {"info": message}}, default=str))
                except Exception:
                    pass

    def reset_tick_infos(self):
        self.current_tick_infos = {}

    def set_current_tick(self, tick):
        if type(tick) is not dict:
            raise TypeError("tick")
        if tick["code"] not in self.current_tick_infos:
            self.current_tick_infos[tick["code"]] = self.__init_current_tick_info(tick["code"])
        info = self.current_tick_infos[tick["code"]]
        info["tick"] = tick
        info["ts"] = tick["timestamp"]
        self.positions.set_current_tick(tick)

    def add_order(self, code, product_type, action, price, qty, price_type, order_type,
                  order_cond=OrderCond.CASH.value, order_lot=OrderLot.COMMON.value, oc_type=OCType.AUTO.value):
        for name, value in (("code", code), ("product_type", product_type), ("action", action),
                            ("price_type", price_type), ("order_type", order_type), ("order_cond", order_cond),
                            ("order_lot", order_lot), ("oc_type", oc_type)):
            if type(value) is not str:
                raise TypeError(name)
        if type(qty) is not int:
            raise TypeError("qty")
        price = float(price)
        if qty < 0:
            raise Exception(f"委託數量 {qty} 不能小於 0")
        with _LOCKS[id(self)]:
            trade = {
                "operation_type": "New",
                "operation_code": SuccessCode.CreateOrder.code,
                "operation_message": SuccessCode.CreateOrder.message,
                "trade_id": self.__get_random_uuid(),
                "account_id": self.account_info["account_id"],
                "code": code,
                "product_type": product_type,
                "action": Action.from_value(action),
                "price": price,
                "quantity": qty,
                "price_type": PriceType.from_value(price_type),
                "order_type": OrderType.from_value(order_type),
                "exchange_ts": self.current_tick_infos[code]["ts"] if code in self.current_tick_infos else None,
            }
            if product_type == "Stock":
                trade["order_cond"] = OrderCond.from_value(order_cond)
                trade["order_lot"] = OrderLot.from_value(order_lot)
            elif product_type == "Future":
                trade["oc_type"] = OCType.from_value(oc_type)
            else:
                raise Exception(f"不支援的商品類型: {product_type}")
            self.pending_orders.append(trade)
            try:
                self.add_response_to_queue(
                    self.build_order_response(trade, OperationType.NEW, SuccessCode.CreateOrder))
                console.print(f"[green]新增委託單 {trade['trade_id']} 成功[/green]")
            except Exception as e:
                logger.error(json.dumps({"error": str(e), "traceback": traceback.format_exc(), "data": {}}))
                console.print(f"[red]發生錯誤: {e}[/red]")

    def __find(self, trade_id):
        for i, order in enumerate(self.pending_orders):
            if order["trade_id"] == trade_id:
                return i, order
        return -1, None

    def modify_order(self, trade_id, qty=None, price=None):
        if type(trade_id) is not str:
            raise TypeError("trade_id")
        if not qty and not price:
            raise Exception(f"請至少提供數量或價格來修改委託單 {trade_id}")
        with _LOCKS[id(self)]:
            _, order = self.__find(trade_id)
            if order is None:
                console.print(f"[red]委託單 {trade_id} 不存在[/red]")
                return
            if qty:
                if qty < 0:
                    raise Exception(f"修改的數量 {qty} 必須大於 0")
                if qty > order["quantity"]:
                    raise Exception(f"修改的數量 {qty} 大於原本的數量 {order['quantity']}")
                order["quantity"] -= qty
                self.add_response_to_queue(
                    self.build_order_response(order, OperationType.UPDATE_QTY, SuccessCode.ModifyOrder))
                console.print(f"[green]修改委託單 {trade_id} 數量成功, 修改數量 {qty}[/green]")
            if price:
                if price <= 0:
                    raise Exception(f"修改的價格 {price} 必須大於 0")
                order["price"] = price
                self.add_response_to_queue(
                    self.build_order_response(order, OperationType.UPDATE_PRICE, SuccessCode.ModifyOrder))
                console.print(f"[green]修改委託單 {trade_id} 價格成功, 修改價格 {price}[/green]")

    def cancel_order(self, trade_id):
        if type(trade_id) is not str:
            raise TypeError("trade_id")
        with _LOCKS[id(self)]:
            i, order = self.__find(trade_id)
            if order is None:
                console.print(f"[red]委託單 {trade_id} 不存在[/red]")
                return
            del self.pending_orders[i]
            try:
                self.add_response_to_queue(
                    self.build_order_response(order, OperationType.CANCEL, SuccessCode.OrderBeCancel))
                console.print(f"[green]取消委託單 {trade_id} 成功[/green]")
            except Exception as e:
                console.print(f"[red]{e}[/red]")

    def match_deal(self, code, tick_close, tick_qty, tick_ts):
        if type(code) is not str:
            raise TypeError("code")
        if type(tick_qty) is not int:
            raise TypeError("tick_qty")
        tick_close = float(tick_close)
        tick_ts = float(tick_ts)
        if tick_qty < 0:
            raise ValueError(f"成交量 {tick_qty} 不能小於 0")
        with _LOCKS[id(self)]:
            book = self.pending_orders
            i = 0
            to_visit = len(book)
            while to_visit and i < len(book):
                to_visit -= 1
                order = book[i]
                if order["code"] != code:
                    i += 1
                    continue
                action, price = order["action"], order["price"]
                order_type, price_type = order["order_type"], order["price_type"]
                if tick_qty == 0:
                    break
                if order_type not in (OrderType.ROD, OrderType.IOC, OrderType.FOK):
                    i += 1
                    continue
                if order["quantity"] == 0:
                    del book[i]
                    continue
                price_match = qty_match = False
                deal_qty, deal_price, cancel_info, removed = 0, None, {}, False
                if price_type == PriceType.LMT:
                    price_match = tick_close <= price if action == Action.BUY.value else tick_close >= price
                else:
                    price_match = True
                if price_match:
                    deal_price = tick_close
                if order_type == OrderType.ROD:
                    if price_match:
                        qty_match = True
                        deal_qty = min(order["quantity"], tick_qty)
                        rest_qty = order["quantity"] - deal_qty
                        order["quantity"] = rest_qty
                        if rest_qty == 0:
                            del book[i]
                            removed = True
                elif order_type == OrderType.IOC:
                    rest_qty = order["quantity"]
                    if price_match:
                        qty_match = True
                        deal_qty = min(order["quantity"], tick_qty)
                        rest_qty = order["quantity"] - deal_qty
                    if rest_qty > 0:
                        cancel_info = self.__cancellation(order, rest_qty)
                    del book[i]
                    removed = True
                else:
                    if price_match:
                        qty_match = tick_qty >= order["quantity"]
                        if qty_match:
                            deal_qty = order["quantity"]
                    if not qty_match:
                        cancel_info = self.__cancellation(order, order["quantity"])
                    del book[i]
                    removed = True
                if price_match and qty_match:
                    tick_qty -= deal_qty
                    deal = copy.deepcopy(order)
                    deal["quantity"] = deal_qty
                    deal["price"] = deal_price
                    deal["exchange_ts"] = tick_ts
                    self.positions.add_trade_record(
                        trade_id=deal["trade_id"], code=deal["code"], action=deal["action"],
                        quantity=deal["quantity"], price=deal["price"], timestamp=deal["exchange_ts"],
                        trade_status="Deal")
                    self.add_response_to_queue(self.build_deal_response(deal))
                    self.positions.set_positions(deal, deal["product_type"])
                if cancel_info:
                    self.positions.add_trade_record(
                        trade_id=order["trade_id"], code=order["code"], action=order["action"],
                        quantity=cancel_info["order"]["quantity"], price=cancel_info["order"]["price"],
                        timestamp=cancel_info["trade_status"]["exchange_ts"], trade_status="Cancel")
                    self.add_response_to_queue(cancel_info)
                if not removed:
                    i += 1

    def __cancellation(self, order, quantity):
        if order["product_type"] not in ("Stock", "Future"):
            raise Exception("不支援的商品類型")
        cancel = copy.deepcopy(order)
        cancel["quantity"] = quantity
        return self.build_order_response(cancel, OperationType.CANCEL, SuccessCode.OrderBeCancel)

    def build_order_response(self, trade, operation_type, code_obj):
        if type(trade) is not dict:
            raise TypeError("trade")
        common_fields = {
            "operation_type": operation_type,
            "operation_code": code_obj.code,
            "operation_message": code_obj.message,
            "trade_id": trade["trade_id"],
            "account_id": self.account_info["account_id"],
            "code": trade["code"],
            "action": trade["action"],
            "price": trade["price"],
            "quantity": trade["quantity"],
            "price_type": trade["price_type"],
            "order_type": trade["order_type"],
            "exchange_ts": self.current_tick_infos.get(trade["code"], {}).get("ts", None),
        }
        if trade["product_type"] == "Stock":
            common_fields["order_cond"] = trade["order_cond"]
            common_fields["order_lot"] = trade["order_lot"]
            return self.get_simulation_stock_order_response(common_fields)
        if trade["product_type"] == "Future":
            common_fields["oc_type"] = trade["oc_type"]
            return self.get_simulation_future_order_response(common_fields)
        raise Exception(f"不支援的商品類型: {trade['product_type']}")

    def build_deal_response(self, trade):
        if type(trade) is not dict:
            raise TypeError("trade")
        common_fields = {
            "id": trade["trade_id"], "seqno": trade["trade_id"], "ordno": trade["trade_id"],
            "exchange_seqno": trade["trade_id"], "broker_id": self.exchange_info["name"],
            "account": self.account_info["account_id"], "action": trade["action"], "code": trade["code"],
            "quantity": trade["quantity"], "price": trade["price"], "exchange_ts": trade["exchange_ts"],
        }
        if trade["product_type"] == "Stock":
            common_fields["order_cond"] = trade["order_cond"]
            common_fields["order_lot"] = trade["order_lot"]
            return self.get_simulation_stock_deal_response(common_fields)
        if trade["product_type"] == "Future":
            return self.get_simulation_future_deal_response(common_fields)
        raise Exception(f"不支援的商品類型: {trade['product_type']}")

    def get_simulation_stock_order_response(self, data):
        return {
            "operation_type": OperationType.from_value(data["operation_type"]),
            "operation_status_code": data["operation_code"],
            "operation_message": data["operation_message"],
            "order": {
                "id": data["trade_id"], "seqno": data["trade_id"], "ordno": data["trade_id"],
                "account": data["account_id"], "code": data["code"], "action": data["action"],
                "price": data["price"], "quantity": data["quantity"],
                "order_type": OrderType.from_value(data["order_type"]),
                "order_cond": OrderCond.from_value(data["order_cond"]),
                "order_lot": OrderLot.from_value(data["order_lot"]),
                "price_type": PriceType.from_value(data["price_type"]),
            },
            "trade_status": {"id": data["trade_id"], "exchange": self.exchange_info["name"],
                             "exchange_ts": data["exchange_ts"]},
        }

    def get_simulation_future_order_response(self, data):
        return {
            "operation_type": OperationType.from_value(data["operation_type"]),
            "operation_status_code": data["operation_code"],
            "operation_message": data["operation_message"],
            "order": {
                "id": data["trade_id"], "seqno": data["trade_id"], "ordno": data["trade_id"],
                "account": data["account_id"], "code": data["code"], "action": data["action"],
                "price": data["price"], "quantity": data["quantity"],
                "order_type": OrderType.from_value(data["order_type"]),
                "price_type": PriceType.from_value(data["price_type"]),
                "oc_type": OCType.from_value(data["oc_type"]),
            },
            "trade_status": {"id": data["trade_id"], "exchange": self.exchange_info["name"],
                             "exchange_ts": data["exchange_ts"]},
        }

    def get_simulation_stock_deal_response(self, data):
        return {
            "id": data["id"], "seqno": data["seqno"], "ordno": data["ordno"], "exchange_seqno": data["exchange_seqno"],
            "broker_id": data["broker_id"], "account": data["account"], "action": data["action"],
            "code": data["code"], "quantity": data["quantity"], "price": data["price"],
            "order_cond": OrderCond.from_value(data["order_cond"]), "order_lot": OrderLot.from_value(data["order_lot"]),
            "exchange_ts": data["exchange_ts"],
        }

    def get_simulation_future_deal_response(self, data):
        return {
            "id": data["id"], "seqno": data["seqno"], "ordno": data["ordno"], "exchange_seqno": data["exchange_seqno"],
            "broker_id": data["broker_id"], "account": data["account"], "action": data["action"],
            "code": data["code"], "quantity": data["quantity"], "price": data["price"],
            "exchange_ts": data["exchange_ts"],
        }

    def pop_response(self):
        return self.response_queue.get()

    def add_pending_order_queue(self, action, payload):
        if type(action) is not str:
            raise TypeError("action")
        if type(payload) is not dict:
            raise TypeError("payload")
        self.pending_order_queue.put({"action": action, "payload": payload})

    def add_response_to_queue(self, response):
        if type(response) is not dict:
            raise TypeError("response")
        self.response_queue.put(response)


_LOCKS = {}


# ---------------------------------------------------------------------------------------------
# Harness
# ---------------------------------------------------------------------------------------------

class NoOp:
    """A console, logger or positions book that does nothing."""

    def print(self, *args, **kwargs):
        pass

    def error(self, *args, **kwargs):
        pass

    def set_current_tick(self, tick):
        pass

    def add_trade_record(self, **kwargs):
        pass

    def set_positions(self, trade, product_type):
        pass


@contextlib.contextmanager
def outputs(silent):
    """No-op console and logger for both matchers, or the default console writing to /dev/null."""
    global console, logger
    saved = (console, logger, native_module.console, native_module.logger, sys.stdout)
    devnull = open(os.devnull, "w")
    try:
        if silent:
            console = logger = native_module.console = native_module.logger = NoOp()
        else:
            sys.stdout = devnull  # the default console writes to sys.stdout
        yield
    finally:
        console, logger, native_module.console, native_module.logger, sys.stdout = saved
        devnull.close()


IMPLS = [("C++", native_module.Matcher), ("Python", PyMatcher)]


def fill_book(m, n, codes=100):
    for i in range(n):
        m.add_order(f"C{i % codes:03d}", "Stock", "Buy", 1.0, 1, "LMT", "ROD")
    drain(m)


def drain(m):
    q = m.response_queue
    while not q.empty():
        m.pop_response()


def timed(fn):
    gc.collect()
    gc.disable()
    try:
        t0 = time.perf_counter()
        fn()
        return time.perf_counter() - t0
    finally:
        gc.enable()


def best_of(runs, fn):
    return min(timed(fn) for _ in range(runs))


OUT = sys.stdout


def say(text):
    print(text, file=OUT, flush=True)


def report(case, unit, scale, results):
    native, python = results["C++"] * scale, results["Python"] * scale
    say(f"  {case:<62} C++ {native:9.3f} {unit}   Python {python:9.3f} {unit}   x{python / native:5.1f}")


def case_idle_passes():
    say("matching passes that fill nothing (per pending order):")
    for n in (100, 1_000, 10_000, 100_000):
        results = {}
        for name, cls in IMPLS:
            m = cls(NoOp())
            fill_book(m, n)
            passes = max(3, 300_000 // n)

            def run():
                for k in range(passes):
                    m.match_deal(f"C{k % 100:03d}", 1000.0, 10, 1.0)

            results[name] = best_of(3, run) / passes / n
        report(f"book of {n:,} orders", "ns", 1e9, results)


def case_removal():
    say("removing the last order of a 10,000-order book (per removal):")
    for how in ("fill", "cancel_order"):
        results = {}
        for name, cls in IMPLS:
            m = cls(NoOp())
            fill_book(m, 10_000)
            samples = []
            for _ in range(200):
                m.add_order("LAST", "Stock", "Buy", 100.0, 1, "LMT", "ROD")
                tid = m.pop_response()["order"]["id"]
                t0 = time.perf_counter()
                if how == "fill":
                    m.match_deal("LAST", 99.0, 1, 1.0)
                else:
                    m.cancel_order(tid)
                samples.append(time.perf_counter() - t0)
                drain(m)
                assert len(m.pending_orders) == 10_000
            results[name] = statistics.median(samples)
        report(f"by {how}", "us", 1e6, results)


def make_ticks(n_codes, count):
    return [{"code": f"I{i % n_codes:02d}", "timestamp": 1_700_000_000.0 + i, "close": 101.0, "qty": 1,
             "market_type": "Stock", "tick_type": 1, "is_simulate": True, "is_backfilling": False}
            for i in range(count)]


def case_backtest(ticks_total, label, positions=Positions):
    results = {}
    for name, cls in IMPLS:
        m = cls(positions())
        for i in range(100):
            m.add_order(f"I{i % 20:02d}", "Stock", "Buy", 100.0, 1, "LMT", "ROD")
        drain(m)
        ticks = make_ticks(20, 2000)

        def run():
            q = m.response_queue
            fills = 0
            for i in range(ticks_total):
                tick = ticks[i % 2000]
                m.set_current_tick(tick)
                close = 99.0 if i % 10 == 0 else tick["close"]  # about one fill every 10 ticks
                m.match_deal(tick["code"], close, tick["qty"], tick["timestamp"])
                while not q.empty():
                    r = m.pop_response()
                    if "exchange_seqno" in r:  # a deal: post a new order in its place
                        fills += 1
                        m.add_order(r["code"], "Stock", "Buy", 100.0, 1, "LMT", "ROD")
            assert fills == ticks_total // 10

        results[name] = timed(run) / ticks_total
        assert len(m.pending_orders) == 100
    report(f"{label}: {ticks_total:,} ticks (per tick)", "us", 1e6, results)


def market_maker_run(cls, ticks_total, positions=None):
    """A market maker's book: 20 instruments, 5 quotes each (about 100 resting ROD limit orders,
    both sides), ticks that wander around the quotes, a requote (new order) after every fill, and
    every 50 ticks a price change of one quote and a cancel-and-replace of another."""
    m = cls(positions() if positions else NoOp())
    codes = [f"M{i:02d}" for i in range(20)]
    mid = {c: 100.0 for c in codes}
    ids = {c: [] for c in codes}  # trade ids of the instrument's quotes
    q = m.response_queue

    def quote(code, side, price):
        m.add_order(code, "Stock", side, price, 2, "LMT", "ROD")

    def collect():
        fills = 0
        while not q.empty():
            r = m.pop_response()
            if "exchange_seqno" in r:
                fills += 1
                if not any(o["trade_id"] == r["id"] for o in m.pending_orders):
                    ids[r["code"]] = [t for t in ids[r["code"]] if t != r["id"]]
                    side = "Buy" if r["action"] == Action.BUY else "Sell"
                    off = -0.5 if side == "Buy" else 0.5
                    quote(r["code"], side, mid[r["code"]] + off)
            elif r["operation_type"] == OperationType.NEW:
                ids[r["order"]["code"]].append(r["order"]["id"])
        return fills

    for c in codes:
        for k, (side, off) in enumerate((("Buy", -0.5), ("Buy", -1.0), ("Sell", 0.5), ("Sell", 1.0),
                                          ("Buy", -1.5))):
            quote(c, side, mid[c] + off)
    collect()
    # A fixed pseudo-random walk: the same ticks for every run.
    steps = [((i * 7919) % 13 - 6) * 0.1 for i in range(997)]

    def run():
        fills = 0
        for i in range(ticks_total):
            code = codes[i % 20]
            mid[code] = round(mid[code] + steps[i % 997], 2)
            close = mid[code]
            tick = {"code": code, "timestamp": 1_700_000_000.0 + i, "close": close, "qty": 3,
                    "market_type": "Stock", "tick_type": 1, "is_simulate": True, "is_backfilling": False}
            m.set_current_tick(tick)
            m.match_deal(code, close, 3, tick["timestamp"])
            fills += collect()
            if i % 50 == 25 and ids[code]:
                m.modify_order(ids[code][0], None, round(close - 0.7, 2))
                t = ids[code].pop()
                m.cancel_order(t)
                quote(code, "Sell", close + 0.8)
                collect()
        return fills

    elapsed = timed(run)
    return elapsed / ticks_total, len(m.pending_orders)


def case_market_maker(ticks_total=50_000, positions=None, label="no-op positions book"):
    per_tick, book = market_maker_run(native_module.Matcher, ticks_total, positions)
    say(f"  market maker, {label}: {ticks_total:,} ticks, book {book}: C++ {per_tick * 1e6:.3f} us/tick")
    return per_tick


def case_entry(count, label):
    results = {}
    for name, cls in IMPLS:
        m = cls(NoOp())
        payloads = [{"code": f"C{i % 100:03d}", "product_type": "Stock", "action": "Buy", "price": 100.0,
                     "qty": 1, "price_type": "LMT", "order_type": "ROD"} for i in range(count)]

        def run():
            for p in payloads:
                m.add_pending_order_queue("add", p)
            for _ in range(count):
                m.pop_response()

        results[name] = timed(run) / count
        assert len(m.pending_orders) == count
    report(f"{label}: {count:,} orders (per order)", "us", 1e6, results)


def case_copy():
    say("deal copy of an order record (per copy):")
    record = {"operation_type": "New", "operation_code": "0000", "operation_message": "x", "trade_id": "T" * 16,
              "account_id": "BT-00001", "code": "2330", "product_type": "Stock", "action": Action.BUY,
              "price": 100.0, "quantity": 5, "price_type": PriceType.LMT, "order_type": OrderType.ROD,
              "exchange_ts": None, "order_cond": OrderCond.CASH, "order_lot": OrderLot.COMMON}
    n = 20_000
    deep = best_of(3, lambda: [copy.deepcopy(record) for _ in range(n)]) / n
    plain = best_of(3, lambda: [record.copy() for _ in range(n)]) / n
    say(f"  copy.deepcopy {deep * 1e6:.3f} us, dict.copy {plain * 1e6:.3f} us "
        "(the C++ deal copy is a dict copy for such records)")


def case_per_call(n=20_000, runs=5):
    """The calls a backtest makes per order and per tick, each timed alone (perf_counter around the
    call, median of `runs`), with a positions book that does nothing and the driver's console for
    module_console="errors" (it drops the green lines)."""
    from orva_mero_backtest.driver import _FilteredConsole

    saved = native_module.console
    native_module.console = _FilteredConsole(console, keep_errors=True)
    try:
        m = native_module.Matcher(NoOp())
        req = dict(code="2330", product_type="Stock", action="Buy", price=0.0, qty=1, price_type="MKT",
                   order_type="ROD", order_cond="Cash", order_lot="Common", oc_type="Auto")
        tick = {"market_type": "Stock", "timestamp": 1704186000.0, "code": "2330", "close": 614.0, "qty": 5,
                "tick_type": 1, "is_simulate": False, "is_backfilling": False}
        pc = time.perf_counter
        names = ("add_order (market order)", "set_current_tick", "match_deal filling it",
                 "match_deal, empty book", "pop_response, an item waiting")

        def once():
            spent = [0.0] * 5
            for _ in range(n):
                t0 = pc(); m.add_order(**req); t1 = pc()
                m.set_current_tick(tick); t2 = pc()
                m.match_deal("2330", 614.0, 5, 1704186000.0); t3 = pc()
                m.match_deal("2330", 614.0, 5, 1704186000.0); t4 = pc()
                m.pop_response(); t5 = pc()
                m.pop_response()
                for i, d in enumerate((t1 - t0, t2 - t1, t3 - t2, t4 - t3, t5 - t4)):
                    spent[i] += d
            assert not m.pending_orders and m.response_queue.empty()
            return spent

        results = [once() for _ in range(runs)]
        say(f"per call, alone (perf_counter around each, {n:,} orders, median of {runs}; no-op positions book):")
        for i, name in enumerate(names):
            say(f"  {name:32s} {statistics.median(r[i] for r in results) / n * 1e6:.3f} us")
        m.close()
    finally:
        native_module.console = saved


def main():
    global OUT
    OUT = sys.stdout
    say(f"Python {sys.version.split()[0]}; times are best of 3 (removals: median of 200)")
    say("-- console and logger: no-op objects")
    with outputs(silent=True):
        case_idle_passes()
        case_removal()
        say("backtest loop: 100 resting orders over 20 instruments, a fill every 10 ticks:")
        # The positions book is another module's cost, paid the same by both matchers:
        # the headline figure leaves it out, the next line has it in.
        case_backtest(200_000, "silenced, no-op positions book", positions=NoOp)
        case_backtest(200_000, "silenced, real Positions")
        say("market maker: about 100 resting quotes over 20 instruments, requotes and cancels:")
        case_market_maker()
        case_market_maker(20_000, Positions, "real Positions")
        say("order entry through add_pending_order_queue until the New reports are popped:")
        case_entry(100_000, "silenced")
    say("-- default console (rich; its output sent to /dev/null)")
    with outputs(silent=False):
        case_backtest(50_000, "default console")
        case_entry(20_000, "default console")
    case_copy()
    case_per_call()


def main_market_maker(runs=5):
    """Only the market maker loop, best of `runs`: python benchmarks/bench_matcher.py mm"""
    with outputs(silent=True):
        best = min(market_maker_run(native_module.Matcher, 30_000)[0] for _ in range(runs))
    say(f"market maker (best of {runs}, fastpaths env={os.environ.get('ORVA_MERO_BACKTEST_FASTPATHS', '1')}): "
        f"{best * 1e6:.3f} us/tick")


if __name__ == "__main__":
    if sys.argv[1:] == ["mm"]:
        main_market_maker()
    elif sys.argv[1:] == ["calls"]:
        OUT = sys.stdout
        case_per_call()
    else:
        main()
