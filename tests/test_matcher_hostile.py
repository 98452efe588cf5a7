"""Records and callbacks that change the book while the matcher is using it.

Each scenario runs in a child process (a crash must fail the test, not end the suite), and the
child makes a new Matcher afterwards: heap damage tends to show only in later allocations.
"""

import os
import subprocess
import sys
import textwrap

import pytest

PRELUDE = """
import gc
from orva_mero_backtest.modules.matcher import matcher as mm

class Quiet:
    lines = []
    def print(self, text): self.lines.append(text)
    def error(self, text): pass

mm.console = mm.logger = Quiet()

class Positions:
    on_deal = None
    def set_current_tick(self, tick): pass
    def add_trade_record(self, **kw):
        if kw["trade_status"] == "Deal" and self.on_deal:
            self.on_deal()
    def set_positions(self, trade, product_type): pass

def book(m, n, code="A", price=100.0, qty=1, order_type="ROD"):
    for _ in range(n):
        m.add_order(code, "Stock", "Buy", price, qty, "LMT", order_type)
    while not m.response_queue.empty():
        m.pop_response()
    return m.pending_orders

class Eq(str):
    '''A str that runs `hook` whenever it is compared.'''
    __hash__ = str.__hash__
    hook = None
    def __eq__(self, other):
        if self.hook:
            self.hook()
        return str.__eq__(self, other)
    def __ne__(self, other):
        return not self.__eq__(other)

m = mm.Matcher(Positions())
"""

CHECK = """
gc.collect()
fresh = mm.Matcher(Positions())
book(fresh, 50)
fresh.match_deal("A", 99.0, 60, 1.0)
assert fresh.pending_orders == [], fresh.pending_orders
fresh.close()
m.close()
print("ok")
"""

SCENARIOS = {
    # The id compared by cancel_order empties the book: the record found must still be the one cancelled.
    "cancel: trade id comparison empties the book": """
        orders = book(m, 20)
        target = orders[10]["trade_id"]
        first = orders[0]
        first["trade_id"] = Eq(first["trade_id"])
        first["trade_id"].hook = lambda: m.pending_orders.clear()
        m.cancel_order(target)
        assert m.pending_orders == []
        assert Quiet.lines[-1] == f"[red]委託單 {target} 不存在[/red]", Quiet.lines[-1]
    """,
    "modify: trade id comparison replaces the records": """
        orders = book(m, 20)
        target = orders[-1]
        tid = target["trade_id"]
        orders[0]["trade_id"] = Eq(orders[0]["trade_id"])
        orders[0]["trade_id"].hook = lambda: orders.__setitem__(slice(None), [dict(r) for r in orders])
        m.modify_order(tid, 1, 99.5)
        # A copy took the order's place in the book while it was looked up: the copy is changed.
        assert target["quantity"] == 1 and target["price"] == 100.0
        (now,) = [r for r in m.pending_orders if r["trade_id"] == tid]
        assert now is not target and (now["quantity"], now["price"]) == (0, 99.5)
    """,
    "modify: the quantity report cancels the order before the price change": """
        orders = book(m, 3)
        target = orders[1]
        tid = target["trade_id"]
        class Report(type(m)):
            def add_response_to_queue(self, response):
                super().add_response_to_queue(response)
                if response["operation_type"].value == "UpdateQty":
                    self.cancel_order(tid)
        m.__class__ = Report
        m.modify_order(tid, 1, 99.5)
        assert target["price"] == 100.0 and all(r is not target for r in m.pending_orders)
        assert Quiet.lines[-1] == f"[red]委託單 {tid} 不存在[/red]"
    """,
    "pass: a code comparison empties the book": """
        orders = book(m, 30)
        orders[3]["code"] = Eq("A")
        orders[3]["code"].hook = lambda: m.pending_orders.clear()
        m.match_deal("A", 99.0, 100, 1.0)
        assert m.pending_orders == []
    """,
    "pass: a dict-subclass record takes itself out when read": """
        orders = book(m, 10)
        class Sly(dict):
            def __getitem__(self, key):
                if key == "price" and self in m.pending_orders:
                    m.pending_orders.remove(self)
                return dict.__getitem__(self, key)
        orders[4] = Sly(orders[4])
        m.match_deal("A", 99.0, 100, 1.0)
        assert m.pending_orders == []
    """,
    "pass: every deal's positions callback cancels the rest of the book": """
        orders = book(m, 40)
        ids = [r["trade_id"] for r in orders]
        def cancel_all():
            for tid in ids:
                m.cancel_order(tid)
        m.positions.on_deal = cancel_all
        m.match_deal("A", 99.0, 100, 1.0)
        deals = [r for r in iter(lambda: m.response_queue.get_nowait() if not m.response_queue.empty() else None, None)
                 if "exchange_seqno" in r]
        assert len(deals) == 1 and m.pending_orders == []
    """,
    # A pass over a few orders holds them itself rather than in a copy of the book.
    "pass over a small book: a deal's callback clears the book and drops its records": """
        orders = book(m, 3, order_type="IOC")
        del orders
        def clear():
            m.pending_orders.clear()
            gc.collect()
        m.positions.on_deal = clear
        m.match_deal("A", 99.0, 100, 1.0)
        deals = [r for r in iter(lambda: m.response_queue.get_nowait() if not m.response_queue.empty() else None, None)
                 if "exchange_seqno" in r]
        assert len(deals) == 1 and m.pending_orders == []
    """,
    "pass: the positions callback replaces the book and adds orders": """
        orders = book(m, 40, order_type="IOC")
        def replace():
            m.positions.on_deal = None
            m.pending_orders = [dict(r) for r in m.pending_orders] * 2
        m.positions.on_deal = replace
        m.match_deal("A", 99.0, 5, 1.0)
        # The pass went on over the list it started with until the volume was used up.
        assert len(orders) == 35 and len(m.pending_orders) == 78
        m.match_deal("A", 99.0, 10**6, 2.0)
        assert m.pending_orders == []
    """,
    # The account id is read before the tick info: a colliding key's __eq__ replaces it mid-entry.
    "entry: a tick-info key's comparison replaces the account id": """
        book(m, 1)
        m.account_info = {"account_id": "".join(["acc", "ount-", "1234567"])}
        class Collide:
            def __hash__(self): return hash("A")
            def __eq__(self, other):
                m.account_info["account_id"] = "".join(["zz", "zz"])
                junk = ["".join(["q", str(i)]) * 3 for i in range(1000)]
                return False
        m.current_tick_infos[Collide()] = {"ts": 1.0}
        m.add_order("A", "Stock", "Buy", 100.0, 1, "LMT", "ROD")
        record = m.pending_orders[-1]
        assert record["account_id"] in ("account-1234567", "zzzz"), record["account_id"]
        m.current_tick_infos.clear()
    """,
    "deal report: an exchange-info key's comparison replaces the account id": """
        book(m, 1)
        m.account_info = {"account_id": "".join(["acc", "ount-", "7654321"])}
        m.exchange_info = dict(m.exchange_info)
        class Collide:
            def __hash__(self): return hash("name")
            def __eq__(self, other):
                m.account_info["account_id"] = "".join(["yy", "yy"])
                junk = ["".join(["q", str(i)]) * 3 for i in range(1000)]
                return False
        m.exchange_info[Collide()] = 0
        m.match_deal("A", 99.0, 100, 1.0)
        deals = [r for r in iter(lambda: m.response_queue.get_nowait() if not m.response_queue.empty() else None, None)
                 if "exchange_seqno" in r]
        assert len(deals) == 1 and deals[0]["account"] in ("account-7654321", "yyyy"), deals
    """,
    "pass: the console drops the matcher's last reference": """
        orders = book(m, 10, order_type="IOC")
        class Drop:
            def print(self, text):
                global m
                m = None
        def run(matcher):
            mm.console = Drop()
            matcher.match_deal("A", 101.0, 3, 1.0)
            matcher.cancel_order("nope")
        run(m)
        mm.console = Quiet()
        m = mm.Matcher(Positions())
    """,
}


@pytest.mark.parametrize("name", sorted(SCENARIOS))
def test_book_changed_under_the_matcher_ends_soundly(name, tmp_path):
    script = PRELUDE + textwrap.dedent(SCENARIOS[name]) + CHECK
    env = {**os.environ, "ORVA_MERO_BACKTEST_DATA_DIR": str(tmp_path)}
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60, env=env)
    assert (proc.returncode, proc.stderr[-2000:], proc.stdout.strip()[-200:]) == (0, "", "ok")
