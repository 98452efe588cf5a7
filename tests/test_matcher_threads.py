"""The book lock under a hammering receiver, and a clean exit while receivers wait or work."""

import os
import queue
import subprocess
import sys
import textwrap
import threading

import pytest

from matcher_support import WAIT, FakeConsole, FakeLogger, wait_until
from orva_mero_backtest.constant import OperationType
from orva_mero_backtest.modules.matcher import matcher as matcher_module
from orva_mero_backtest.modules.matcher.matcher import Matcher
from orva_mero_backtest.modules.positions.positions import Positions

CODES = ["A", "B", "C"]


@pytest.fixture
def quiet(monkeypatch):
    console = FakeConsole()
    monkeypatch.setattr(matcher_module, "console", console)
    monkeypatch.setattr(matcher_module, "logger", FakeLogger())
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads as often as possible
    yield console
    sys.setswitchinterval(old)


class Ledger:
    """Follows every order through its reports and checks that each change is possible."""

    def __init__(self):
        self.open = {}
        self.closed = set()
        self.ioc_rest_due = set()

    def apply(self, r):
        if "operation_type" not in r:  # a deal
            tid = r["id"]
            assert tid in self.open and tid not in self.closed, "deal for an order out of the book"
            assert 0 < r["quantity"] <= self.open[tid]
            self.open[tid] -= r["quantity"]
            if self.open[tid] == 0:
                self.closed.add(tid)
            return
        tid, qty, op = r["order"]["id"], r["order"]["quantity"], r["operation_type"]
        if op is OperationType.NEW:
            assert tid not in self.open
            self.open[tid] = qty
            return
        assert tid in self.open and tid not in self.closed, f"{op} for an order out of the book"
        if op is OperationType.UPDATE_QTY:
            assert qty < self.open[tid]
            self.open[tid] = qty
        elif op is OperationType.CANCEL:
            assert qty == self.open[tid], "cancelled quantity differs from the open quantity"
            self.closed.add(tid)


def test_hammering_receiver_never_loses_duplicates_or_double_removes(quiet):
    m = Matcher(Positions())
    ledger = Ledger()
    n_orders = 1500
    types = ["ROD", "ROD", "IOC", "FOK"]

    def hammer():
        for i in range(n_orders):
            m.add_pending_order_queue("add", {
                "code": CODES[i % 3], "product_type": "Stock" if i % 2 else "Future",
                "action": "Buy" if i % 5 else "Sell", "price": 100.0, "qty": 1 + i % 4,
                "price_type": "LMT", "order_type": types[i % 4]})

    poster = threading.Thread(target=hammer, daemon=True)
    poster.start()
    seen_new = 0
    passes = 0
    while passes < 4000 or seen_new < n_orders:
        assert passes < 400000, "orders never arrived"
        m.match_deal(CODES[passes % 3], 100.0, passes % 4, float(passes))
        passes += 1
        while True:
            try:
                r = m.response_queue.get_nowait()
            except queue.Empty:
                break
            ledger.apply(r)
            if r.get("operation_type") is OperationType.NEW:
                seen_new += 1
                tid = r["order"]["id"]
                if seen_new % 3 == 0:
                    m.add_pending_order_queue("cancel", {"trade_id": tid})
                elif seen_new % 3 == 1:
                    m.add_pending_order_queue("modify", {"trade_id": tid, "qty": 1})
    poster.join(WAIT)
    m.add_pending_order_queue("cancel", {"trade_id": "end"})
    wait_until(lambda: "[red]委託單 end 不存在[/red]" in quiet.lines)
    for r in list(m.response_queue.queue):
        ledger.apply(r)
    assert len(ledger.open) == n_orders
    book = {r["trade_id"]: r for r in m.pending_orders}
    assert len(book) == len(m.pending_orders), "an order is in the book twice"
    for tid, left in ledger.open.items():
        if tid in ledger.closed:
            assert tid not in book, "a removed order is still in the book"
        elif tid in book:
            assert book[tid]["quantity"] == left
        else:
            assert left == 0, "an open order was lost"  # emptied by a modification, left silently


def test_an_order_arriving_during_a_pass_waits_for_it(quiet):
    class Slow(Positions):
        def set_positions(self, trade, product_type):
            entered.set()
            wait_until(lambda: m.pending_order_queue.empty(), timeout=WAIT)
            threading.Event().wait(0.05)  # give the receiver every chance to cut in
            book_during_pass.append(len(m.pending_orders))

    book_during_pass = []

    entered = threading.Event()
    before = threading.active_count()
    m = Matcher(Slow())
    try:
        m.add_order("A", "Stock", "Buy", 100.0, 1, "LMT", "ROD")
        m.response_queue.get(timeout=WAIT)
        runner = threading.Thread(target=m.match_deal, args=("A", 100.0, 10, 1.0), daemon=True)
        runner.start()
        assert entered.wait(WAIT)
        m.add_pending_order_queue("add", {"code": "A", "product_type": "Stock", "action": "Buy", "price": 100.0,
                                          "qty": 1, "price_type": "LMT", "order_type": "ROD"})
        runner.join(WAIT)
        assert not runner.is_alive()
        first, second = m.response_queue.get(timeout=WAIT), m.response_queue.get(timeout=WAIT)
        assert "operation_type" not in first and second["operation_type"] is OperationType.NEW
        assert book_during_pass == [0]  # the receiver waited for the pass to end
        assert len(m.pending_orders) == 1  # and the order was not matched by it
    finally:
        m.close()
        m = None  # Slow refers to m: without this the receiver would end at some later collection
        wait_until(lambda: threading.active_count() <= before, timeout=WAIT)


EXIT_SCRIPTS = {
    "waiting": """
        from orva_mero_backtest.modules.matcher.matcher import Matcher
        matchers = [Matcher() for _ in range(4)]
    """,
    "busy_in_add_order": """
        import threading, time
        from orva_mero_backtest.modules.matcher import matcher
        class Slow:
            def print(self, text):
                time.sleep(0.0005)
        matcher.console = Slow()
        m = matcher.Matcher()
        for i in range(20000):
            m.add_pending_order_queue("add", {"code": "A", "product_type": "Stock", "action": "Buy",
                                              "price": 1.0, "qty": 1, "price_type": "LMT", "order_type": "ROD"})
        m.response_queue.get(timeout=5)
    """,
    "busy_in_native_code": """
        from orva_mero_backtest.modules.matcher import matcher
        class Quiet:
            def print(self, text):
                pass
        matcher.console = Quiet()
        ms = [matcher.Matcher() for _ in range(2)]
        for m in ms:
            for i in range(20000):
                m.add_pending_order_queue("add", {"code": "A", "product_type": "Future", "action": "Sell",
                                                  "price": 1.0, "qty": 1, "price_type": "MKT", "order_type": "IOC"})
        ms[0].response_queue.get(timeout=5)
        ms[0].match_deal("A", 1.0, 3, 1.0)
    """,
}
# The same with the exit callbacks cleared: the native code still learns that the exit has begun.
EXIT_SCRIPTS["busy_in_native_code_atexit_cleared"] = EXIT_SCRIPTS["busy_in_native_code"] + """
        import atexit
        atexit._clear()
"""


@pytest.mark.parametrize("scenario", sorted(EXIT_SCRIPTS))
def test_process_exits_cleanly_while_receivers_wait_or_work(scenario, tmp_path):
    script = textwrap.dedent(EXIT_SCRIPTS[scenario])
    env = {**os.environ, "ORVA_MERO_BACKTEST_DATA_DIR": str(tmp_path)}
    runs = [subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
            for _ in range(4)]
    for proc in runs:
        out, err = proc.communicate(timeout=60)
        assert (proc.returncode, err.decode(), out.decode()) == (0, "", "")


def test_book_lock_of_an_instance_goes_with_it(quiet):
    import gc
    import weakref

    refs = []
    for _ in range(50):
        bare = Matcher.__new__(Matcher)  # no receiver thread holds it
        bare.pending_orders = []
        bare.cancel_order("nope")  # takes its book lock
        refs.append(weakref.ref(bare))
        del bare
    gc.collect()
    assert all(r() is None for r in refs)
    assert quiet.lines == ["[red]委託單 nope 不存在[/red]"] * 50


@pytest.mark.parametrize("waiters", [1, 3])
@pytest.mark.parametrize("holder_reenters", [False, True])
def test_threads_waiting_for_the_book_lock_each_take_it_once_it_is_let_go(quiet, waiters, holder_reenters):
    holding, release = threading.Event(), threading.Event()

    class Holding(Positions):
        def add_trade_record(self, **kwargs):
            super().add_trade_record(**kwargs)
            if holding.is_set():
                return
            holding.set()
            if holder_reenters:
                m.cancel_order("mine")  # the holder takes its lock again
            assert release.wait(WAIT)

    before = threading.active_count()
    m = Matcher(Holding())
    try:
        run_waiters(m, holding, release, waiters, holder_reenters, quiet)
    finally:
        m.close()
        m = None  # Holding refers to m: without this the receiver would end at some later collection
        wait_until(lambda: threading.active_count() <= before, timeout=WAIT)


def run_waiters(m, holding, release, waiters, holder_reenters, quiet):
    m.add_order("A", "Stock", "Buy", 100.0, 1, "LMT", "ROD")
    holder = threading.Thread(target=m.match_deal, args=("A", 100.0, 1, 1.0), daemon=True)
    holder.start()
    assert holding.wait(WAIT)
    done = []

    def wait_and_add(i):
        m.add_order("B", "Stock", "Buy", 90.0 + i, 1, "LMT", "ROD")  # waits for the book lock
        done.append(i)

    threads = [threading.Thread(target=wait_and_add, args=(i,), daemon=True) for i in range(waiters)]
    for t in threads:
        t.start()
    threading.Event().wait(0.1)  # let them reach the lock
    assert done == [] and len(m.pending_orders) == 0  # the pass still holds the book
    release.set()
    for t in [holder, *threads]:
        t.join(WAIT)
        assert not t.is_alive()
    assert sorted(done) == list(range(waiters))
    assert sorted(r["price"] for r in m.pending_orders) == [90.0 + i for i in range(waiters)]
    # Let go by everyone: this thread takes it at once, again and again.
    for _ in range(3):
        m.cancel_order("nope")
    expected = ["[red]委託單 mine 不存在[/red]"] if holder_reenters else []
    assert [line for line in quiet.lines if "不存在" in line] == expected + ["[red]委託單 nope 不存在[/red]"] * 3
