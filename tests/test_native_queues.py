"""The native put and get on queue.Queue (through the matcher's report queue) against the queue's own
methods: the same results on every interpreter, including 3.13's shut-down queues, and no Python-level
queue method run for a plain queue (the shortcut is taken, not silently lost)."""

import collections
import functools
import queue
import sys
import threading

import pytest

from matcher_support import console, logger, m, positions, wait_until  # noqa: F401

needs_shutdown = pytest.mark.skipif(not hasattr(queue.Queue, "shutdown"), reason="Queue.shutdown is 3.13+")


def outcome(action):
    try:
        return ("value", action())
    except Exception as error:  # noqa: BLE001 - the kind of error is what is compared
        return ("raised", type(error))


def queue_calls(action):
    """The names of queue.py's Python functions that ran during `action`."""
    calls = []

    def profile(frame, event, arg):
        if event == "call" and frame.f_code.co_filename.endswith("queue.py"):
            calls.append(frame.f_code.co_name)

    sys.setprofile(profile)
    try:
        action()
    finally:
        sys.setprofile(None)
    return calls


def test_plain_queue_runs_no_python_queue_method(m):
    m.add_response_to_queue({"warm": 0})  # the first call learns what a fresh Queue holds
    assert m.pop_response() == {"warm": 0}
    assert queue_calls(lambda: m.add_response_to_queue({"a": 1})) == []
    assert queue_calls(lambda: m.pop_response()) == []


@needs_shutdown
@pytest.mark.parametrize("immediate", [False, True])
@pytest.mark.parametrize("queued", [0, 2])
def test_shut_down_queue_behaves_as_through_its_methods(m, immediate, queued):
    reference = queue.Queue()
    for i in range(queued):
        m.add_response_to_queue({"i": i})
        reference.put({"i": i})
    m.response_queue.shutdown(immediate=immediate)
    reference.shutdown(immediate=immediate)
    assert list(m.response_queue.queue) == list(reference.queue)
    assert outcome(lambda: m.add_response_to_queue({"late": 1})) == outcome(lambda: reference.put({"late": 1}))
    assert outcome(lambda: m.add_response_to_queue({"late": 1})) == ("raised", queue.ShutDown)
    for _ in range(queued + 1):  # every item left, then ShutDown for the empty queue
        assert outcome(m.pop_response) == outcome(lambda: reference.get(timeout=5))
    assert outcome(m.pop_response) == ("raised", queue.ShutDown)
    assert m.response_queue.unfinished_tasks == reference.unfinished_tasks


@needs_shutdown
def test_shutdown_ends_a_native_get_waiting_on_an_empty_queue(m):
    got = []
    waiter = threading.Thread(target=lambda: got.append(outcome(m.pop_response)), daemon=True)
    waiter.start()
    wait_until(lambda: len(m.response_queue.not_empty._waiters) == 1)
    m.response_queue.shutdown()
    waiter.join(timeout=5)
    assert got == [("raised", queue.ShutDown)]


@needs_shutdown
def test_queue_used_again_after_a_shut_down_one(m):
    """A shut-down queue sends only itself the plain way: a new plain queue takes the shortcut."""
    m.add_response_to_queue({"warm": 0})
    m.response_queue.shutdown()
    assert outcome(lambda: m.add_response_to_queue({"a": 1})) == ("raised", queue.ShutDown)
    m.response_queue = queue.Queue()
    assert queue_calls(lambda: m.add_response_to_queue({"b": 2})) == []
    assert m.pop_response() == {"b": 2}


QUEUE_DICT_CHANGES = {
    # name: (change to the queue, whether it stays a plain queue the shortcut stands in for)
    "none": (lambda q: None, True),
    "its deque replaced": (lambda q: setattr(q, "queue", collections.deque()), True),
    "a count past 64 bits": (lambda q: setattr(q, "unfinished_tasks", 10**30), True),
    "attributes added, then deleted": (
        lambda q: ([setattr(q, f"x{k}", k) for k in range(40)], [delattr(q, f"x{k}") for k in range(40)]), True),
    "one attribute swapped for another": (lambda q: (delattr(q, "all_tasks_done"), setattr(q, "note", 1)), False),
    "a method shadowed": (lambda q: setattr(q, "put", functools.partial(queue.Queue.put, q)), False),
}


@pytest.mark.parametrize("case", list(QUEUE_DICT_CHANGES))
def test_the_shortcut_is_taken_exactly_while_the_queue_is_plain(m, case):
    change, plain = QUEUE_DICT_CHANGES[case]
    m.add_response_to_queue({"warm": 0})  # learns where a plain queue keeps its parts
    assert m.pop_response() == {"warm": 0}
    change(m.response_queue)
    before = m.response_queue.unfinished_tasks
    calls = queue_calls(lambda: m.add_response_to_queue({"a": 1}))
    assert (calls == []) == plain
    assert m.response_queue.unfinished_tasks == before + 1
    assert list(m.response_queue.queue) == [{"a": 1}]
    assert m.pop_response() == {"a": 1}


@pytest.mark.skipif(sys.version_info < (3, 12), reason="dict watchers are 3.12+")
def test_a_dict_watcher_on_a_queue_hears_each_count_the_shortcut_writes(m):
    """The count is written in place only while nobody watches the queue's dict."""
    testcapi = pytest.importorskip("_testcapi")
    m.add_response_to_queue({"warm": 0})
    assert m.pop_response() == {"warm": 0}
    watcher = testcapi.add_dict_watcher(0)
    try:
        testcapi.watch_dict(watcher, m.response_queue.__dict__)
        before = m.response_queue.unfinished_tasks
        m.add_response_to_queue({"a": 1})
        m.add_response_to_queue({"b": 2})
        assert [e for e in testcapi.get_dict_watcher_events() if "unfinished_tasks" in e] == [
            f"mod:unfinished_tasks:{before + 1}", f"mod:unfinished_tasks:{before + 2}"]
        testcapi.unwatch_dict(watcher, m.response_queue.__dict__)
    finally:
        testcapi.clear_dict_watcher(watcher)
    assert [m.pop_response(), m.pop_response()] == [{"a": 1}, {"b": 2}]
