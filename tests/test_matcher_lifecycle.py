"""The receiver's end: close(), the with-block, dropped matchers, and Ctrl-C in a book-lock wait."""

import gc
import os
import signal
import subprocess
import sys
import textwrap
import time
import weakref

import pytest

from matcher_support import WAIT, console, receiver_threads, wait_until  # noqa: F401 (fixture)
from orva_mero_backtest.constant import OperationType
from orva_mero_backtest.modules.matcher.matcher import Matcher

ADD = {"code": "2330", "product_type": "Stock", "action": "Buy", "price": 100.0, "qty": 1, "price_type": "LMT",
       "order_type": "ROD"}


def receiver_of(m):
    """The receiver thread serving `m` (its target holds a weak reference to it)."""
    for t in receiver_threads():
        target = getattr(t, "_target", None)
        if target is not None and target.__self__() is m:
            return t
    raise AssertionError("no receiver thread")


@pytest.mark.parametrize("how", ["close", "with"])
def test_closing_ends_the_receiver_and_later_requests_stay_queued(console, how):
    m = Matcher()
    thread = receiver_of(m)
    m.add_pending_order_queue("add", dict(ADD))
    assert m.response_queue.get(timeout=WAIT)["operation_type"] is OperationType.NEW
    if how == "close":
        m.close()
    else:
        with m as same:
            assert same is m
    thread.join(WAIT)
    assert not thread.is_alive()
    m.add_pending_order_queue("add", dict(ADD))
    time.sleep(0.3)
    assert m.pending_order_queue.qsize() == 1 and len(m.pending_orders) == 1
    # Everything else still works on the caller's thread.
    m.add_order(**ADD)
    assert m.pop_response()["operation_type"] is OperationType.NEW
    m.close()  # twice is fine


def test_with_block_closes_on_an_exception(console):
    with pytest.raises(ZeroDivisionError):
        with Matcher() as m:
            thread = receiver_of(m)
            1 / 0
    thread.join(WAIT)
    assert not thread.is_alive()


def test_receiver_keeps_working_while_the_matcher_is_in_use(console):
    m = Matcher()
    time.sleep(0.35)  # several slices of waiting with nothing to do
    m.add_pending_order_queue("add", dict(ADD))
    assert m.response_queue.get(timeout=WAIT)["operation_type"] is OperationType.NEW
    m.close()


@pytest.mark.parametrize("closed", [False, True])
def test_many_matchers_leave_no_threads_and_no_objects(console, closed):
    before = set(receiver_threads())
    refs = []
    for _ in range(300):
        m = Matcher()
        m.add_pending_order_queue("add", dict(ADD))
        m.response_queue.get(timeout=WAIT)
        if closed:
            m.close()
        refs.append(weakref.ref(m))
        del m
    gc.collect()
    assert all(r() is None for r in refs)
    wait_until(lambda: not [t for t in receiver_threads() if t not in before], timeout=WAIT * 2)


def test_memory_and_threads_stay_flat_over_many_matchers(tmp_path):
    script = """
        import gc, resource, threading
        from orva_mero_backtest.modules.matcher.matcher import Matcher

        def rss_mb():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * resource.getpagesize() / 2**20

        def batch(n):
            for i in range(n):
                m = Matcher()
                if i % 2:
                    m.close()
                del m
            gc.collect()

        batch(200)
        start = rss_mb()
        batch(2000)
        for _ in range(100):  # the dropped ones' receivers end within a slice of waiting
            if threading.active_count() <= 2:
                break
            threading.Event().wait(0.05)
        print(threading.active_count(), round(rss_mb() - start, 1))
    """
    env = {**os.environ, "ORVA_MERO_BACKTEST_DATA_DIR": str(tmp_path)}
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True,
                          timeout=120, env=env)
    assert proc.returncode == 0, proc.stderr
    threads, growth = proc.stdout.split()
    assert int(threads) <= 2  # the main thread (and at most one receiver still ending)
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):  # ASan keeps freed memory in quarantine
        assert float(growth) < 15, f"RSS grew {growth} MB over 2,000 matchers"


BLOCKED = """
    import sys, threading
    import polars  # installs its own SIGINT handling: interrupted waits are restarted
    from orva_mero_backtest.modules.matcher import matcher as mm

    class Quiet:
        def print(self, text): pass
        def error(self, text): pass
    mm.console = mm.logger = Quiet()

    holding, release = threading.Event(), threading.Event()

    class Positions:
        def set_current_tick(self, tick): pass
        def add_trade_record(self, **kw):
            holding.set()
            release.wait(30)  # holds the book lock
        def set_positions(self, trade, product_type): pass

    m = mm.Matcher(Positions())
    m.add_order("A", "Stock", "Buy", 100.0, 1, "LMT", "ROD")
    threading.Thread(target=m.match_deal, args=("A", 99.0, 1, 1.0), daemon=True).start()
    holding.wait(10)
    print("waiting", flush=True)
    try:
        m.cancel_order("nope")  # waits for the book lock
    except KeyboardInterrupt:
        print("interrupted", flush=True)
        sys.exit(0)
    print("not interrupted", flush=True)
    sys.exit(1)
"""


def test_ctrl_c_ends_a_book_lock_wait(tmp_path):
    env = {**os.environ, "ORVA_MERO_BACKTEST_DATA_DIR": str(tmp_path)}
    proc = subprocess.Popen([sys.executable, "-c", textwrap.dedent(BLOCKED)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=env)
    try:
        assert proc.stdout.readline().strip() == "waiting"
        time.sleep(0.2)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=10)
    finally:
        proc.kill()
    assert (proc.returncode, out.strip()) == (0, "interrupted"), err
