"""Random order / modify / cancel / tick sequences against a small Python model of the matcher.

The model follows the matcher's rules as documented: records kept in book order, a pass that
visits the orders that were in the book when it started (each compared by code at its turn,
passed over once it has left the book), ROD / IOC / FOK outcomes, reports and positions-book
records in the order they are made. Sequences include records changed in place and callbacks
(the positions book, a str-subclass code) that change the book while a pass or a report runs.
"""

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from matcher_support import FakeConsole, FakeLogger
from orva_mero_backtest.constant import Action, OCType, OperationType, OrderCond, OrderLot, OrderType, PriceType
from orva_mero_backtest.modules.matcher import matcher as matcher_module
from orva_mero_backtest.modules.matcher.matcher import Matcher

CODES = ["C0", "C1", "C2"]


# ---- the model ---------------------------------------------------------------------------------

class Model:
    def __init__(self, positions):
        self.book = []
        self.reports = []
        self.lines = []
        self.ticks = {}
        self.positions = positions

    def _report(self, rec, op):
        ts = self.ticks.get(rec["code"], {}).get("ts", None)
        self.reports.append(("order", op, rec["trade_id"], rec["quantity"], rec["price"], ts))

    def _find(self, trade_id):
        for rec in self.book:
            if rec["trade_id"] == trade_id:
                return rec
        return None

    def _in_book(self, rec):
        return any(r is rec for r in self.book)

    def _remove(self, rec):
        for i, r in enumerate(self.book):
            if r is rec:
                del self.book[i]
                return True
        return False

    def add_order(self, trade_id, code, product, action, price, qty, price_type, order_type):
        rec = {"trade_id": trade_id, "code": code, "product_type": product, "action": Action.from_value(action),
               "price": float(price), "quantity": qty, "price_type": PriceType.from_value(price_type),
               "order_type": OrderType.from_value(order_type)}
        self.book.append(rec)
        self._report(rec, OperationType.NEW)
        self.lines.append(f"[green]新增委託單 {trade_id} 成功[/green]")

    def modify_order(self, trade_id, qty, price):
        if not qty and not price:
            raise Exception(f"請至少提供數量或價格來修改委託單 {trade_id}")
        rec = self._find(trade_id)
        if rec is None:
            self.lines.append(f"[red]委託單 {trade_id} 不存在[/red]")
            return
        if qty:
            if qty > rec["quantity"]:
                raise Exception(f"修改的數量 {qty} 大於原本的數量 {rec['quantity']}")
            rec["quantity"] -= qty
            self._report(rec, OperationType.UPDATE_QTY)
            self.lines.append(f"[green]修改委託單 {trade_id} 數量成功, 修改數量 {qty}[/green]")
        if price:
            if not self._in_book(rec):
                self.lines.append(f"[red]委託單 {trade_id} 不存在[/red]")
                return
            rec["price"] = price
            self._report(rec, OperationType.UPDATE_PRICE)
            self.lines.append(f"[green]修改委託單 {trade_id} 價格成功, 修改價格 {price}[/green]")

    def cancel_order(self, trade_id):
        rec = self._find(trade_id)
        if rec is None or not self._remove(rec):
            self.lines.append(f"[red]委託單 {trade_id} 不存在[/red]")
            return
        self._report(rec, OperationType.CANCEL)
        self.lines.append(f"[green]取消委託單 {trade_id} 成功[/green]")

    def set_current_tick(self, code, ts):
        self.ticks.setdefault(code, {})["ts"] = ts

    def match_deal(self, code, close, volume, ts):
        if volume == 0:
            return
        for rec in list(self.book):
            if not self._in_book(rec) or not rec["code"] == code:
                continue
            if not self._in_book(rec):
                continue  # the comparison took it out
            if volume == 0:
                break
            kind = rec["order_type"]
            if kind not in (OrderType.ROD, OrderType.IOC, OrderType.FOK):
                continue
            quantity = rec["quantity"]
            if quantity == 0:
                self._remove(rec)
                continue
            if rec["price_type"] == PriceType.LMT:
                buy = rec["action"] == Action.BUY.value
                price_match = close <= rec["price"] if buy else close >= rec["price"]
            else:
                price_match = True
            qty_match, deal, cancel = False, 0, None
            if kind == OrderType.ROD:
                if not price_match:
                    continue
                qty_match, deal = True, min(quantity, volume)
                rec["quantity"] = quantity - deal
                if quantity - deal == 0:
                    self._remove(rec)
            else:
                if kind == OrderType.IOC:
                    rest = quantity
                    if price_match:
                        qty_match, deal = True, min(quantity, volume)
                        rest = quantity - deal
                else:
                    if price_match and volume >= quantity:
                        qty_match, deal = True, quantity
                    rest = 0 if qty_match else quantity
                if rest > 0:
                    cancel = (rec["trade_id"], rest, rec["price"], self.ticks.get(rec["code"], {}).get("ts", None))
                if not self._remove(rec):
                    continue  # it left the book while its cancellation was made
            if price_match and qty_match:
                volume -= deal
                self.positions.add_trade_record(trade_id=rec["trade_id"], code=rec["code"], action=rec["action"],
                                                quantity=deal, price=float(close), timestamp=float(ts),
                                                trade_status="Deal")
                self.reports.append(("deal", rec["trade_id"], deal, float(close), float(ts)))
                self.positions.set_positions({"trade_id": rec["trade_id"], "quantity": deal}, rec["product_type"])
            if cancel:
                tid, rest, price, cts = cancel
                self.positions.add_trade_record(trade_id=tid, code=rec["code"], action=rec["action"], quantity=rest,
                                                price=price, timestamp=cts, trade_status="Cancel")
                self.reports.append(("order", OperationType.CANCEL, tid, rest, price, cts))


# ---- what both sides share: positions books whose callbacks change the book -------------------

class HookedPositions:
    """Records what the matcher tells it; on the first deal, runs `hook` (once)."""

    def __init__(self):
        self.calls = []
        self.hook = None

    def set_current_tick(self, tick):
        pass

    def add_trade_record(self, **kw):
        self.calls.append(("record", kw["trade_id"], kw["quantity"], kw["price"], kw["trade_status"]))
        if kw["trade_status"] == "Deal" and self.hook:
            hook, self.hook = self.hook, None
            hook()

    def set_positions(self, trade, product_type):
        self.calls.append(("positions", trade["trade_id"], trade["quantity"], product_type))


class Code(str):
    """An instrument code that runs `on_compare` (once) the first time it is compared."""

    __hash__ = str.__hash__

    def __eq__(self, other):
        hook, self.on_compare = getattr(self, "on_compare", None), None
        if hook:
            hook()
        return str.__eq__(self, other)

    def __ne__(self, other):
        return not self.__eq__(other)


def normalise(report):
    if "exchange_seqno" in report:
        return ("deal", report["id"], report["quantity"], report["price"], report["exchange_ts"])
    o = report["order"]
    return ("order", report["operation_type"], o["id"], o["quantity"], o["price"],
            report["trade_status"]["exchange_ts"])


def drain(m):
    out = []
    while not m.response_queue.empty():
        out.append(normalise(m.response_queue.get(timeout=5)))
    return out


# ---- the sequences -----------------------------------------------------------------------------

order_ops = st.tuples(st.just("add"), st.integers(0, 2), st.sampled_from(["Stock", "Future"]),
                      st.sampled_from(["Buy", "Sell"]), st.sampled_from([99.0, 100.0, 101.0]), st.integers(0, 4),
                      st.sampled_from(["LMT", "LMT", "MKT"]), st.sampled_from(["ROD", "ROD", "IOC", "FOK"]))
modify_ops = st.tuples(st.just("modify"), st.integers(0, 30), st.sampled_from([None, 0, 1, 2, 5]),
                       st.sampled_from([None, 0.0, 98.5, 101.5]))
cancel_ops = st.tuples(st.just("cancel"), st.integers(0, 30))
tick_ops = st.tuples(st.just("tick"), st.integers(0, 2), st.sampled_from([99.0, 100.0, 101.0]), st.integers(0, 6))
mutate_ops = st.tuples(st.just("mutate"), st.integers(0, 30),
                       st.sampled_from([("price", 98.0), ("price", 102.0), ("quantity", 0), ("quantity", 3),
                                        ("order_type", OrderType.IOC), ("order_type", OrderType.ROD),
                                        ("code", "C1")]))
hook_ops = st.tuples(st.just("hook"), st.sampled_from(["cancel", "modify", "add", "cancel-self"]),
                     st.integers(0, 30))
strcode_ops = st.tuples(st.just("strcode"), st.integers(0, 30), st.integers(0, 30))
sequences = st.lists(st.one_of(order_ops, order_ops, modify_ops, cancel_ops, tick_ops, tick_ops, mutate_ops,
                               hook_ops, strcode_ops), min_size=1, max_size=30)


class Run:
    """One sequence applied to the native matcher and to the model side by side."""

    def __init__(self, console):
        self.console = console
        self.native_positions, self.model_positions = HookedPositions(), HookedPositions()
        self.m = Matcher(self.native_positions)
        self.model = Model(self.model_positions)
        self.ids = []
        self.ts = 0.0

    def record_pair(self, k):
        tid = self.ids[k % len(self.ids)]
        native = next((r for r in self.m.pending_orders if r["trade_id"] == tid), None)
        model = next((r for r in self.model.book if r["trade_id"] == tid), None)
        return tid, native, model

    def both(self, native_call, model_call):
        """Runs both; they must fail alike or not at all."""
        errors = []
        for call in (native_call, model_call):
            try:
                call()
                errors.append(None)
            except Exception as exc:  # compared below
                errors.append(str(exc))
        assert errors[0] == errors[1]

    def step(self, op):
        kind = op[0]
        if kind == "add":
            _, c, product, side, price, qty, ptype, otype = op
            self.m.add_order(CODES[c], product, side, price, qty, ptype, otype)
            tid = self.m.pending_orders[-1]["trade_id"]
            self.ids.append(tid)
            self.model.add_order(tid, CODES[c], product, side, price, qty, ptype, otype)
            return
        if not self.ids and kind != "tick":
            return
        if kind == "modify":
            tid = self.ids[op[1] % len(self.ids)]
            self.both(lambda: self.m.modify_order(tid, op[2], op[3]),
                      lambda: self.model.modify_order(tid, op[2], op[3]))
        elif kind == "cancel":
            tid = self.ids[op[1] % len(self.ids)]
            self.m.cancel_order(tid)
            self.model.cancel_order(tid)
        elif kind == "tick":
            _, c, close, volume = op
            self.ts += 1.0
            self.m.set_current_tick({"code": CODES[c], "timestamp": self.ts})
            self.model.set_current_tick(CODES[c], self.ts)
            self.both(lambda: self.m.match_deal(CODES[c], close, volume, self.ts),
                      lambda: self.model.match_deal(CODES[c], close, volume, self.ts))
        elif kind == "mutate":
            _, native, model = self.record_pair(op[1])
            key, value = op[2]
            if native is not None and model is not None:
                native[key] = value
                model[key] = value
        elif kind == "hook":
            _, action, k = op
            target = self.ids[k % len(self.ids)]
            self.native_positions.hook = self.make_hook(action, target, self.m, native=True)
            self.model_positions.hook = self.make_hook(action, target, self.model, native=False)
        elif kind == "strcode":
            _, native, model = self.record_pair(op[1])
            victim = self.ids[op[2] % len(self.ids)]
            if native is not None and model is not None:
                for rec, side in ((native, self.m), (model, self.model)):
                    code = Code(rec["code"])
                    code.on_compare = (lambda side=side: side.cancel_order(victim))
                    rec["code"] = code

    def make_hook(self, action, target, side, native):
        if action == "cancel":
            return lambda: side.cancel_order(target)
        if action == "modify":
            return lambda: self.both_quiet(lambda: side.modify_order(target, None, 100.5))
        if action == "cancel-self":
            # Cancels whatever order of the book comes first: often the one being filled.
            def cancel_first():
                if side_book(side):
                    side.cancel_order(side_book(side)[0]["trade_id"])
            return cancel_first

        def add():
            if native:
                side.add_order("C0", "Stock", "Buy", 100.0, 1, "LMT", "ROD")
                self.pending_add = side.pending_orders[-1]["trade_id"]
            else:
                side.add_order(self.pending_add, "C0", "Stock", "Buy", 100.0, 1, "LMT", "ROD")
                self.ids.append(self.pending_add)
        return add

    @staticmethod
    def both_quiet(call):
        try:
            call()
        except Exception:
            pass

    def check(self):
        native_book = [(r["trade_id"], str(r["code"]), r["quantity"], r["price"]) for r in self.m.pending_orders]
        model_book = [(r["trade_id"], str(r["code"]), r["quantity"], r["price"]) for r in self.model.book]
        assert native_book == model_book
        native_reports = drain(self.m)
        assert native_reports == self.model.reports
        self.model.reports.clear()
        assert self.native_positions.calls == self.model_positions.calls
        assert self.console.lines == self.model.lines


def side_book(side):
    return side.pending_orders if isinstance(side, Matcher) else side.book


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(ops=sequences)
def test_matcher_agrees_with_the_model(ops, monkeypatch):
    console = FakeConsole()
    monkeypatch.setattr(matcher_module, "console", console)
    monkeypatch.setattr(matcher_module, "logger", FakeLogger())
    run = Run(console)
    try:
        for op in ops:
            run.step(op)
            run.check()
    finally:
        run.m.close()
