"""Records and reports made from key-sharing templates, fills that write into their fresh deal copy,
and the look-ups remembered by version tag (the instance view, copy.deepcopy, generate, the console's
promise): each compared with the plain path, including after what they remember is replaced."""

import copy
import gc
import types

import pytest

from matcher_support import FakeConsole, FakePositions, drain, filled_twice
from orva_mero_backtest.modules.matcher import matcher as matcher_module
from test_matcher_quick_paths import PrefixConsole, pair, same_shape, without_ids


def all_dicts(value):
    if isinstance(value, dict):
        yield value
        for v in value.values():
            yield from all_dicts(v)
    elif isinstance(value, (list, tuple)):
        for v in value:
            yield from all_dicts(v)


def tracked_as_built(value):
    """A dict holding anything the collector tracks is tracked, as one built key by key is."""
    for d in all_dicts(value):
        if any(gc.is_tracked(v) for v in d.values()):
            assert gc.is_tracked(d), d


def add_key(m):
    m.pending_orders[0]["note"] = "kept"  # grows a shared key table


def modify(m):
    m.modify_order(m.pending_orders[0]["trade_id"], qty=1)


def add_key_to_a_report(m):
    report = m.response_queue.queue[0]
    report["seen"] = True
    report["order"]["seen"] = True


def replace_positions(m):
    m.positions = FakePositions()


def deepcopy_identity(m, monkeypatch):
    monkeypatch.setattr(matcher_module, "copy", types.SimpleNamespace(deepcopy=lambda x: x))


def deepcopy_counted(m, monkeypatch):
    real = copy.deepcopy
    monkeypatch.setattr(copy, "deepcopy", lambda x, *rest: real(x, *rest))


CHANGES = {
    "none": lambda m, mp: None,
    "key added to the record": lambda m, mp: add_key(m),
    "quantity modified": lambda m, mp: modify(m),
    "key added to a report": lambda m, mp: add_key_to_a_report(m),
    "positions replaced": lambda m, mp: replace_positions(m),
    "account and exchange renamed": lambda m, mp: (m.account_info.update(account_id="ACC-2"),
                                                   m.exchange_info.update(name="EXCH-2")),
    "deepcopy returns the record": deepcopy_identity,
    "deepcopy replaced": deepcopy_counted,
}


def script(m, monkeypatch, change, product):
    request = ("2330", "Stock", {}) if product == "Stock" else ("TXFA4", "Future", {"oc_type": "New"})
    code, product_type, extra = request
    m.set_current_tick({"code": code, "timestamp": 5.0, "close": 100.0})
    # A first order and fill warm everything remembered; the change then comes between two more.
    m.add_order(code, product_type, "Buy", 0.0, 2, "MKT", "ROD", **extra)
    m.match_deal(code, 100.0, 5, 6.0)
    m.add_order(code, product_type, "Sell", 0.0, 3, "MKT", "IOC", **extra)
    change(m, monkeypatch)
    m.match_deal(code, 101.0, 2, 7.0)
    m.add_order(code, product_type, "Buy", 99.0, 1, "LMT", "ROD", **extra)
    m.match_deal(code, 98.0, 4, 8.0)
    reports = drain(m)
    tracked_as_built(reports)
    tracked_as_built(m.pending_orders)
    return {"reports": reports, "book": [dict(r) for r in m.pending_orders], "calls": m.positions.calls,
            "lines": list(matcher_module.console.lines), "unfinished": m.response_queue.unfinished_tasks}


@pytest.mark.parametrize("product", ["Stock", "Future"])
@pytest.mark.parametrize("change", list(CHANGES), ids=list(CHANGES))
def test_shared_rows_and_in_place_fills_match_the_plain_path(monkeypatch, change, product):
    quick, plain = pair(monkeypatch)
    try:
        with monkeypatch.context() as mp:
            got = script(quick, mp, CHANGES[change], product)
        del matcher_module.console.lines[:]
        with monkeypatch.context() as mp:
            want = script(plain, mp, CHANGES[change], product)
        same_shape(without_ids(got, {}), without_ids(want, {}))
    finally:
        quick.close()
        plain.close()


def test_a_replaced_generate_is_called_after_ids_were_drawn(monkeypatch):
    monkeypatch.setattr(matcher_module, "console", FakeConsole())
    m = matcher_module.Matcher(FakePositions())
    try:
        m.add_order("2330", "Stock", "Buy", 1.0, 1, "LMT", "ROD")
        drawn = m.pending_orders[0]["trade_id"]
        assert type(drawn) is str and len(drawn) == 16 and drawn.isascii()
        monkeypatch.setattr(matcher_module, "generate", lambda size: "Z" * size)
        m.add_order("2330", "Stock", "Buy", 1.0, 1, "LMT", "ROD")
        assert m.pending_orders[1]["trade_id"] == "Z" * 16
    finally:
        m.close()


def test_a_console_changing_its_promise_gets_its_lines(monkeypatch):
    """A dropped line is remembered per console state: a new promise, class or binding is read again."""

    class Promising(PrefixConsole):
        pass

    console = Promising(())
    monkeypatch.setattr(matcher_module, "console", console)
    m = matcher_module.Matcher(FakePositions())
    try:
        for _ in range(2):
            m.add_order("2330", "Stock", "Buy", 1.0, 1, "LMT", "ROD")
        assert console.lines == []
        console.kept_prefixes = ("[green]",)
        m.add_order("2330", "Stock", "Buy", 1.0, 1, "LMT", "ROD")
        assert len(console.lines) == 1
        del console.kept_prefixes
        Promising.kept_prefixes = ("[green]",)  # now a class attribute
        m.add_order("2330", "Stock", "Buy", 1.0, 1, "LMT", "ROD")
        assert len(console.lines) == 2
        Promising.kept_prefixes = ()
        m.add_order("2330", "Stock", "Buy", 1.0, 1, "LMT", "ROD")
        m.add_order("2330", "Stock", "Buy", 1.0, 1, "LMT", "ROD")
        Promising.kept_prefixes = property(lambda self: ("[green]",))
        m.add_order("2330", "Stock", "Buy", 1.0, 1, "LMT", "ROD")
        assert len(console.lines) == 3
        other = FakeConsole()
        monkeypatch.setattr(matcher_module, "console", other)
        m.add_order("2330", "Stock", "Buy", 1.0, 1, "LMT", "ROD")
        assert len(other.lines) == 1
    finally:
        m.close()


@pytest.mark.parametrize("count", [0, 2**63 - 1, 2**70])
def test_the_report_queue_counts_past_any_machine_word(monkeypatch, count):
    monkeypatch.setattr(matcher_module, "console", FakeConsole())
    m = matcher_module.Matcher(FakePositions())
    try:
        m.response_queue.unfinished_tasks = count
        m.add_order("2330", "Stock", "Buy", 1.0, 1, "LMT", "ROD")
        assert m.response_queue.unfinished_tasks == count + 1
        assert type(m.response_queue.unfinished_tasks) is int
    finally:
        m.close()


@pytest.mark.parametrize("in_place", [True, False], ids=["map edited", "map replaced"])
@pytest.mark.parametrize("edit", ["alias added", "text removed", "text remapped"])
def test_a_request_text_follows_the_value_map_after_it_was_resolved(monkeypatch, edit, in_place):
    """The member a text resolved to is remembered only while the enumeration's value map is unchanged."""
    from orva_mero_backtest.constant import Action

    quick, plain = pair(monkeypatch)
    text = "Buy"
    try:
        outcomes = []
        for m in (quick, plain):
            with monkeypatch.context() as mp:
                m.add_order("2330", "Stock", text, 1.0, 1, "LMT", "ROD")  # resolved (and remembered)
                value_map = Action._value2member_map_ if in_place else dict(Action._value2member_map_)
                if edit == "alias added":
                    mp.setitem(value_map, "Purchase", Action.BUY)
                elif edit == "text removed":
                    mp.delitem(value_map, text)
                else:
                    mp.setitem(value_map, text, Action.SELL)
                if not in_place:
                    mp.setattr(Action, "_value2member_map_", value_map)
                for request in (text, "Purchase"):
                    try:
                        m.add_order("2330", "Stock", request, 1.0, 1, "LMT", "ROD")
                        outcomes.append(m.pending_orders[-1]["action"])
                    except Exception as error:  # noqa: BLE001 - the failure itself is compared
                        outcomes.append(type(error))
        half = len(outcomes) // 2
        assert outcomes[:half] == outcomes[half:]
        same_shape(without_ids([dict(r) for r in quick.pending_orders], {}),
                   without_ids([dict(r) for r in plain.pending_orders], {}))
    finally:
        quick.close()
        plain.close()


def member_copied_as_its_value(member, memo=None):
    return member.value


COPY_CHANGES = {
    "__deepcopy__ set on the class": lambda mp, cls: mp.setattr(cls, "__deepcopy__", member_copied_as_its_value,
                                                               raising=False),
    "copy's dispatch entry": lambda mp, cls: mp.setitem(copy._deepcopy_dispatch, cls, member_copied_as_its_value),
    "copyreg entry": lambda mp, cls: mp.setitem(__import__("copyreg").dispatch_table, cls,
                                                lambda member: (str, (member.value,))),
}


@pytest.mark.parametrize("change", list(COPY_CHANGES), ids=list(COPY_CHANGES))
def test_the_deal_copy_follows_a_change_of_how_its_enumerations_copy(monkeypatch, change):
    """Fills before the change find the enumerations kept by deepcopy (and may remember it); after it,
    the deal copy holds what copy.deepcopy gives for the member."""
    from orva_mero_backtest.constant import Action

    monkeypatch.setattr(matcher_module, "console", FakeConsole())
    m = matcher_module.Matcher(FakePositions())
    try:
        filled_twice(m)
        with monkeypatch.context() as mp:
            COPY_CHANGES[change](mp, Action)
            want = copy.deepcopy(Action.BUY)
            m.add_order("2330", "Stock", "Buy", 0.0, 1, "MKT", "ROD")
            m.match_deal("2330", 100.0, 5, 8.0)
        deals = [c[1] for c in m.positions.calls if c[0] == "set_positions"]
        assert [d["action"] for d in deals] == [Action.BUY, Action.BUY, want]
        assert [type(d["action"]) for d in deals][-1] is type(want)
    finally:
        m.close()
