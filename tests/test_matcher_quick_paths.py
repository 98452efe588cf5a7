"""The per-order and per-tick shortcuts (add_order, set_current_tick, fills, the report queue) give
what the plain paths give. An instance attribute beyond the documented ones sends an instance down
the plain path, so the two are compared side by side in one process."""

import queue
import threading

import pytest

from matcher_support import WAIT, FakeConsole, FakePositions, drain  # noqa: F401
from orva_mero_backtest.modules.matcher import matcher as matcher_module


class PrefixConsole(FakeConsole):
    """A console that promises, through kept_prefixes, to drop every other line."""

    def __init__(self, kept_prefixes):
        super().__init__()
        self.kept_prefixes = kept_prefixes

    def print(self, text):
        if isinstance(self.kept_prefixes, tuple) and all(isinstance(p, str) for p in self.kept_prefixes):
            if not text.startswith(self.kept_prefixes):
                return
        self.lines.append(text)


def pair(monkeypatch):
    """A Matcher on the shortcuts and one held on the plain paths, each with its own book."""
    monkeypatch.setattr(matcher_module, "console", FakeConsole())
    quick = matcher_module.Matcher(FakePositions())
    plain = matcher_module.Matcher(FakePositions())
    plain.held_on_plain_paths = True  # vars(m) no longer holds just the documented attributes
    return quick, plain


def without_ids(value, ids):
    """`value` with each trade id replaced by its order of first appearance."""
    if isinstance(value, dict):
        return {k: without_ids(v, ids) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return type(value)(without_ids(v, ids) for v in value)
    if isinstance(value, str) and len(value) == 16:
        return ids.setdefault(value, f"<id {len(ids)}>")
    if isinstance(value, str):  # a console line names ids seen before
        for trade_id, name in ids.items():
            value = value.replace(trade_id, name)
    return value


def same_shape(a, b):
    """Equal values with equal types (members stay members) and equal key order."""
    assert type(a) is type(b), (a, b)
    if isinstance(a, dict):
        assert list(a) == list(b)
        for k in a:
            same_shape(a[k], b[k])
    elif isinstance(a, (list, tuple)):
        assert len(a) == len(b)
        for x, y in zip(a, b):
            same_shape(x, y)
    else:
        assert a == b


REQUESTS = [
    ("2330", "Stock", "Buy", 0.0, 1, "MKT", "ROD", {}),
    ("2330", "Stock", "Sell", 101.5, 3, "LMT", "IOC", {"order_lot": "Odd"}),
    ("2330", "Stock", "Buy", 100, 2, "LMT", "FOK", {"order_cond": "MarginTrading"}),  # an int price
    ("TXFA4", "Future", "Sell", 90.0, 4, "MKT", "IOC", {"oc_type": "New"}),
    ("2317", "Stock", "Buy", 50.0, 1, "LMT", "ROD", {}),  # no tick of its code yet
]


def run_script(m, request, tick_first):
    if tick_first:
        for code, ts in (("2330", 5.0), ("TXFA4", 6.0)):
            m.set_current_tick({"code": code, "timestamp": ts, "close": 100.0})
    code, product, action, price, qty, price_type, order_type, extra = request
    m.add_order(code, product, action, price, qty, price_type, order_type, **extra)
    records = [dict(r) for r in m.pending_orders]
    m.match_deal(code, 100.0, 2, 7.0)
    return {
        "records": records,
        "book": [dict(r) for r in m.pending_orders],
        "reports": drain(m),
        "positions": m.positions.calls,
        "infos": m.current_tick_infos,
        "lines": matcher_module.console.lines,
        "unfinished": m.response_queue.unfinished_tasks,
    }


@pytest.mark.parametrize("tick_first", [True, False])
@pytest.mark.parametrize("request_", REQUESTS, ids=lambda r: f"{r[1]}-{r[5]}-{r[6]}")
def test_orders_and_fills_match_the_plain_path(monkeypatch, request_, tick_first):
    quick, plain = pair(monkeypatch)
    try:
        got = run_script(quick, request_, tick_first)
        lines = list(got["lines"])
        del matcher_module.console.lines[:]
        want = run_script(plain, request_, tick_first)
        got["lines"] = lines
        same_shape(without_ids(got, {}), without_ids(want, {}))
    finally:
        quick.close()
        plain.close()


@pytest.mark.parametrize(
    "kept_prefixes, printed",
    [
        ((), []),
        (("[red]",), ["[red]委託單 nope 不存在[/red]"]),
        (("[green]新增",), ["[green]新增委託單 <id> 成功[/green]"]),
        # reaches past the first "{}": the line itself is made to tell ("!" is in no trade id)
        (("[green]新增委託單 !!",), []),
        (None, ["[green]新增委託單 <id> 成功[/green]", "[red]委託單 nope 不存在[/red]"]),
        # anything but a tuple of str promises nothing: every line is printed
        (["[red]"], ["[green]新增委託單 <id> 成功[/green]", "[red]委託單 nope 不存在[/red]"]),
        (("[red]", 1), ["[green]新增委託單 <id> 成功[/green]", "[red]委託單 nope 不存在[/red]"]),
    ],
)
def test_console_lines_it_promises_to_drop_are_skipped(monkeypatch, kept_prefixes, printed):
    console = PrefixConsole(kept_prefixes)
    if kept_prefixes is None:
        del console.kept_prefixes
        console.print = lambda text: console.lines.append(text)
    monkeypatch.setattr(matcher_module, "console", console)
    m = matcher_module.Matcher(FakePositions())
    try:
        m.add_order("2330", "Stock", "Buy", 1.0, 1, "LMT", "ROD")
        trade_id = m.pending_orders[0]["trade_id"]
        m.cancel_order("nope")
        assert [line.replace(trade_id, "<id>") for line in console.lines] == printed
    finally:
        m.close()


def test_a_line_reaching_past_the_mark_is_kept_when_it_matches(monkeypatch):
    m = matcher_module.Matcher(FakePositions())
    try:
        monkeypatch.setattr(matcher_module, "console", PrefixConsole(("[red]委託單 nope",)))
        m.cancel_order("nope")
        m.cancel_order("other")
        assert matcher_module.console.lines == ["[red]委託單 nope 不存在[/red]"]
    finally:
        m.close()


@pytest.mark.parametrize("shortcut_held", [True, False])
def test_report_queue_wakes_a_waiting_get_and_counts_tasks(monkeypatch, shortcut_held):
    monkeypatch.setattr(matcher_module, "console", FakeConsole())
    m = matcher_module.Matcher(FakePositions())
    if not shortcut_held:
        m.held_on_plain_paths = True
    got = []
    waiter = threading.Thread(target=lambda: got.append(m.response_queue.get(timeout=WAIT)), daemon=True)
    try:
        waiter.start()
        while not m.response_queue.not_empty._waiters:  # the getter waits on the queue's condition
            waiter.join(0.001)
            assert waiter.is_alive()
        m.add_order("2330", "Stock", "Buy", 1.0, 1, "LMT", "ROD")
        waiter.join(WAIT)
        assert got and got[0]["operation_type"] == "New"
        assert m.response_queue.unfinished_tasks == 1
        m.response_queue.task_done()
        m.response_queue.join()  # returns at once: every put was counted once
    finally:
        m.close()


class OwnQueue(queue.Queue):
    pass


@pytest.mark.parametrize("make_queue", [OwnQueue, lambda: queue.Queue(maxsize=10), queue.LifoQueue])
def test_other_report_queues_get_their_own_put_and_get(monkeypatch, make_queue):
    monkeypatch.setattr(matcher_module, "console", FakeConsole())
    m = matcher_module.Matcher(FakePositions())
    try:
        m.response_queue = make_queue()
        m.add_order("2330", "Stock", "Buy", 1.0, 1, "LMT", "ROD")
        m.add_order("2330", "Stock", "Sell", 2.0, 1, "LMT", "ROD")
        first, second = m.pop_response(), m.pop_response()
        actions = [first["order"]["action"], second["order"]["action"]]
        assert actions == (["Sell", "Buy"] if make_queue is queue.LifoQueue else ["Buy", "Sell"])
        assert m.response_queue.unfinished_tasks == 2
    finally:
        m.close()


def test_held_mutex_sends_the_put_the_long_way(monkeypatch):
    """A put while another thread holds the queue's mutex waits for it, as Queue.put does."""
    monkeypatch.setattr(matcher_module, "console", FakeConsole())
    m = matcher_module.Matcher(FakePositions())
    done = threading.Event()
    try:
        with m.response_queue.mutex:
            worker = threading.Thread(
                target=lambda: (m.add_order("2330", "Stock", "Buy", 1.0, 1, "LMT", "ROD"), done.set()), daemon=True)
            worker.start()
            assert not done.wait(0.05)  # waits for the mutex
        assert done.wait(WAIT)
        assert m.pop_response()["operation_type"] == "New"
    finally:
        m.close()


def test_a_replaced_property_of_the_instance_class_is_read(monkeypatch):
    """A subclass that turns a documented attribute into a property is read through it."""
    monkeypatch.setattr(matcher_module, "console", FakeConsole())
    reads = []

    class Watched(matcher_module.Matcher):
        @property
        def account_info(self):
            reads.append(1)
            return {"account_id": "WATCHED"}

        @account_info.setter
        def account_info(self, value):
            pass

    m = Watched(FakePositions())
    try:
        m.add_order("2330", "Stock", "Buy", 1.0, 1, "LMT", "ROD")
        assert m.pending_orders[0]["account_id"] == "WATCHED" and reads
        assert m.pop_response()["order"]["account"] == "WATCHED"
    finally:
        m.close()


def test_a_failing_member_property_is_met_only_where_the_plain_path_meets_it(monkeypatch):
    from orva_mero_backtest.constant import SuccessCode

    quick, plain = pair(monkeypatch)
    try:
        for m in (quick, plain):
            m.add_order("2330", "Stock", "Buy", 0.0, 1, "MKT", "ROD")
        monkeypatch.setattr(SuccessCode, "code", property(lambda self: 1 / 0))
        for m in (quick, plain):
            m.match_deal("2330", 100.0, 5, 1.0)  # a fill reads no SuccessCode
            assert not m.pending_orders and len(drain(m)) == 2
            with pytest.raises(ZeroDivisionError):
                m.add_order("2330", "Stock", "Buy", 0.0, 1, "MKT", "ROD")
            assert not m.pending_orders
    finally:
        quick.close()
        plain.close()


# Consoles that record every line they are given: what is missing was skipped by the module.
class InstancePrefixConsole(FakeConsole):
    def __init__(self):
        super().__init__()
        self.kept_prefixes = ("[red]",)


class ClassPrefixConsole(FakeConsole):
    kept_prefixes = ("[red]",)


class PropertyPrefixConsole(FakeConsole):
    @property
    def kept_prefixes(self):
        return ("[red]",)


class GetattrPrefixConsole(FakeConsole):
    def __getattr__(self, name):
        if name == "kept_prefixes":
            return ("[red]",)
        raise AttributeError(name)


GREEN_AND_RED = ["[green]新增委託單 <id> 成功[/green]", "[red]委託單 nope 不存在[/red]"]


@pytest.mark.parametrize(
    "make, printed",
    [
        (ClassPrefixConsole, ["[red]委託單 nope 不存在[/red]"]),  # the class's value
        (PropertyPrefixConsole, ["[red]委託單 nope 不存在[/red]"]),
        (GetattrPrefixConsole, ["[red]委託單 nope 不存在[/red]"]),
        (InstancePrefixConsole, ["[red]委託單 nope 不存在[/red]"]),
    ],
)
def test_kept_prefixes_are_read_as_getattr_reads_them(monkeypatch, make, printed):
    monkeypatch.setattr(matcher_module, "console", make())
    m = matcher_module.Matcher(FakePositions())
    try:
        for _ in range(2):  # the second time through whatever the first one learnt
            del matcher_module.console.lines[:]
            m.add_order("2330", "Stock", "Buy", 1.0, 1, "LMT", "ROD")
            trade_id = m.pending_orders[-1]["trade_id"]
            m.cancel_order("nope")
            assert [line.replace(trade_id, "<id>") for line in matcher_module.console.lines] == printed
    finally:
        m.close()


@pytest.mark.parametrize("change", ["class_gains_prefixes", "instance_loses_prefixes", "console_replaced"])
def test_a_console_changed_between_lines_is_asked_again(monkeypatch, change):
    class Bare(FakeConsole):
        pass

    first = Bare() if change == "class_gains_prefixes" else InstancePrefixConsole()
    monkeypatch.setattr(matcher_module, "console", first)
    m = matcher_module.Matcher(FakePositions())
    try:
        m.cancel_order("nope")
        m.add_order("2330", "Stock", "Buy", 1.0, 1, "LMT", "ROD")
        before = list(first.lines)
        now = first
        if change == "class_gains_prefixes":
            Bare.kept_prefixes = ("[red]",)  # from now on green lines are promised to be dropped
            expected = ["[red]委託單 nope 不存在[/red]"]
        elif change == "instance_loses_prefixes":
            del first.kept_prefixes  # no promise any more: every line is printed
            expected = GREEN_AND_RED
        else:
            now = FakeConsole()  # no promise
            monkeypatch.setattr(matcher_module, "console", now)
            expected = GREEN_AND_RED
        del now.lines[len(before) if now is first else 0:]
        mark = len(now.lines)
        m.add_order("2330", "Stock", "Buy", 1.0, 1, "LMT", "ROD")
        trade_id = m.pending_orders[-1]["trade_id"]
        m.cancel_order("nope")
        assert [line.replace(trade_id, "<id>") for line in now.lines[mark:]] == expected
    finally:
        m.close()
