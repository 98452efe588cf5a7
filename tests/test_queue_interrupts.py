"""Ctrl-C while another thread holds a feed queue's mutex: the waiting consumer gets KeyboardInterrupt and
the mutex is neither left held (the run's clean-up and the feed would then wait for it for good) nor
released from under the thread that holds it. ``queue.Queue.get`` fails both: its Condition is Python
code, where the interrupt can land just after the mutex was taken, or after it was given back and before
it was taken again."""

import os
import subprocess
import sys
import textwrap

import pytest

CHILD = textwrap.dedent("""
    import queue, random, signal, sys, threading, time
    from orva_mero_backtest import driver
    from orva_mero_backtest.constant import BASIC_INFO
    from orva_mero_backtest.modules.ticker import ticker

    BASIC_INFO.data_dir = sys.argv[2]
    feed = ticker.Ticker(object())
    q = feed.tick_queue
    waits = {
        "driver wait": lambda: driver._getter(q)(10.0),
        "pop_tick": feed.pop_tick,
    }
    wait = waits[sys.argv[1]]
    rng = random.Random(7)
    faults = []

    def holder(hold, stop):
        # Takes the mutex again and again, as the feed's thread does when it puts a tick.
        try:
            while not stop.is_set():
                with q.mutex:
                    hold.set()
                    time.sleep(0.02)
                time.sleep(0.001)
        except BaseException as exc:  # a release from under it: "release unlocked lock"
            faults.append(repr(exc))

    for target in ("main", "holder") * 5:
        hold, stop = threading.Event(), threading.Event()
        h = threading.Thread(target=holder, args=(hold, stop))
        h.start()
        hold.wait(5)

        def interrupt():
            time.sleep(rng.uniform(0.01, 0.08))
            # The kernel hands a process's SIGINT to any thread that does not block it.
            signal.pthread_kill((threading.main_thread() if target == "main" else h).ident, signal.SIGINT)

        k = threading.Thread(target=interrupt)
        k.start()
        try:
            wait()
            faults.append("no interrupt")
        except KeyboardInterrupt:
            pass
        k.join(5)
        stop.set()
        h.join(5)
        if not q.mutex.acquire(timeout=2):
            print("left held", target, flush=True)
            sys.exit(1)
        q.mutex.release()
    # The queue still works for a consumer and a producer on two threads.
    threading.Thread(target=lambda: q.put({"orva_status": "exit_send_tick"})).start()
    assert wait() == {"orva_status": "exit_send_tick"}
    print("faults", faults, flush=True)
""")


@pytest.mark.parametrize("waiter", ["driver wait", "pop_tick"])
def test_ctrl_c_while_another_thread_holds_the_queue_mutex(tmp_path, waiter):
    child = subprocess.run([sys.executable, "-c", CHILD, waiter, str(tmp_path)], capture_output=True, text=True,
                           timeout=60, env=dict(os.environ, PYTHONFAULTHANDLER="1"))
    assert (child.returncode, child.stdout) == (0, "faults []\n"), child.stderr


def test_wait_item_answers_an_item_or_none_after_its_time():
    import queue
    import threading

    from orva_mero_backtest.modules.engine.engine import wait_item

    q = queue.Queue()
    assert wait_item(q, 0.05) is None
    q.put("there")
    assert wait_item(q, 0) == "there"  # already there: taken with no time to wait
    threading.Timer(0.05, q.put, args=("later",)).start()
    assert wait_item(q, 10.0) == "later"
    assert q.unfinished_tasks == 2 and q.qsize() == 0  # as Queue.get leaves it


def test_a_sweep_pool_sees_ctrl_c_only_where_it_holds_no_lock():
    # Inside, SIGINT only raises a flag; the loop's check raises it. Leaving puts the default back and
    # raises one that came after the last check.
    import signal
    import threading

    from orva_mero_backtest.sweep.engines import _interrupts_at_safe_points

    if threading.current_thread() is not threading.main_thread():
        pytest.skip("signal handlers are set on the main thread only")
    with pytest.raises(KeyboardInterrupt):
        with _interrupts_at_safe_points() as interrupted:
            interrupted()
            signal.raise_signal(signal.SIGINT)  # no KeyboardInterrupt here, inside any lock code
            assert signal.getsignal(signal.SIGINT) is not signal.default_int_handler
            interrupted()
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
    with pytest.raises(KeyboardInterrupt):
        with _interrupts_at_safe_points():
            signal.raise_signal(signal.SIGINT)
    with _interrupts_at_safe_points() as interrupted:
        interrupted()  # nothing came: nothing raised
