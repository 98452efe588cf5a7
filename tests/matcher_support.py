"""Fakes and helpers shared by the matcher tests."""

import queue
import threading
import time

import pytest

from orva_mero_backtest.modules.matcher import matcher as matcher_module
from orva_mero_backtest.modules.matcher.matcher import Matcher

WAIT = 5.0


class FakeConsole:
    def __init__(self):
        self.lines = []

    def print(self, text):
        self.lines.append(text)


class FakeLogger:
    def __init__(self):
        self.records = []

    def error(self, text):
        self.records.append(text)


class FakePositions:
    """Records every call the matcher makes on its positions book."""

    def __init__(self):
        self.calls = []

    def set_current_tick(self, tick):
        self.calls.append(("set_current_tick", tick))

    def add_trade_record(self, **kwargs):
        self.calls.append(("add_trade_record", kwargs))

    def set_positions(self, trade, product_type):
        self.calls.append(("set_positions", trade, product_type))

    def trade_records(self):
        return [c[1] for c in self.calls if c[0] == "add_trade_record"]


@pytest.fixture
def console(monkeypatch):
    fake = FakeConsole()
    monkeypatch.setattr(matcher_module, "console", fake)
    return fake


@pytest.fixture
def logger(monkeypatch):
    fake = FakeLogger()
    monkeypatch.setattr(matcher_module, "logger", fake)
    return fake


@pytest.fixture
def positions():
    return FakePositions()


@pytest.fixture
def m(console, logger, positions):
    return Matcher(positions)


def drain(m):
    """Every report queued so far."""
    out = []
    while True:
        try:
            out.append(m.response_queue.get_nowait())
        except queue.Empty:
            return out


def next_report(m):
    return m.response_queue.get(timeout=WAIT)


def wait_until(predicate, timeout=WAIT):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError("condition not reached in time")
        time.sleep(0.002)


def filled_twice(m):
    """Two market buys of 2330 filled, each at its own tick: the fill path has learnt what it may
    remember of the book, the records and the enumerations."""
    m.set_current_tick({"code": "2330", "timestamp": 5.0, "close": 100.0})
    for ts in (6.0, 7.0):
        m.add_order("2330", "Stock", "Buy", 0.0, 1, "MKT", "ROD")
        m.match_deal("2330", 100.0, 5, ts)


def stock(m, code="2330", action="Buy", price=100.0, qty=5, price_type="LMT", order_type="ROD"):
    """Places a stock order directly and returns its trade id (its "New" report is consumed)."""
    m.add_order(code, "Stock", action, price, qty, price_type, order_type)
    return next_report(m)["order"]["id"]


def future(m, code="TXFA4", action="Sell", price=100.0, qty=5, price_type="LMT", order_type="ROD"):
    m.add_order(code, "Future", action, price, qty, price_type, order_type)
    return next_report(m)["order"]["id"]


def receiver_threads():
    return [t for t in threading.enumerate() if "__receive_pending_order" in t.name]
