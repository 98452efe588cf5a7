"""Tick state and matching: ROD, IOC and FOK outcomes, trade records, the book."""

import pytest

from matcher_support import console, drain, future, logger, m, positions, stock  # noqa: F401
from orva_mero_backtest.constant import Action, OperationType
from orva_mero_backtest.modules.matcher import matcher as matcher_module


def ids(m):
    return [r["trade_id"] for r in m.pending_orders]


def kinds(reports):
    """'deal q@p' or 'cancel q@p' per report."""
    out = []
    for r in reports:
        if "operation_type" in r:
            out.append(f"{r['operation_type'].value.lower()} {r['order']['quantity']}@{r['order']['price']}")
        else:
            out.append(f"deal {r['quantity']}@{r['price']}")
    return out


def test_set_current_tick_keeps_the_tick_and_tells_the_positions_book(m, positions):
    tick = {"code": "2330", "timestamp": 5, "close": 1.0}
    m.set_current_tick(tick)
    assert m.current_tick_infos == {"2330": {"ts": 5, "tick": tick}}
    assert m.current_tick_infos["2330"]["tick"] is tick
    assert positions.calls == [("set_current_tick", tick)]
    record = m.current_tick_infos["2330"]
    later = {"code": "2330", "timestamp": 6}
    m.set_current_tick(later)
    assert m.current_tick_infos["2330"] is record and record == {"ts": 6, "tick": later}
    m.reset_tick_infos()
    assert m.current_tick_infos == {} and record == {"ts": 6, "tick": later}


def test_set_current_tick_failures(m, positions):
    with pytest.raises(KeyError):
        m.set_current_tick({"timestamp": 1})
    with pytest.raises(TypeError, match="'code'"):
        m.set_current_tick({"code": 2330, "timestamp": 1})
    tick = {"code": "2330"}
    with pytest.raises(KeyError, match="timestamp"):
        m.set_current_tick(tick)
    assert m.current_tick_infos == {"2330": {"ts": None, "tick": tick}}
    assert positions.calls == []


@pytest.mark.parametrize(
    "action, limit, close, fills",
    [
        ("Buy", 100.0, 100.0, True),
        ("Buy", 100.0, 99.0, True),
        ("Buy", 99.5, 100.0, False),
        ("Sell", 100.0, 100.0, True),
        ("Sell", 100.0, 101.0, True),
        ("Sell", 100.5, 100.0, False),
    ],
)
def test_limit_price_test_fills_at_the_close(m, action, limit, close, fills):
    stock(m, action=action, price=limit, qty=1)
    m.match_deal("2330", close, 10, 1.0)
    assert kinds(drain(m)) == ([f"deal 1@{close}"] if fills else [])
    assert len(m.pending_orders) == (0 if fills else 1)


@pytest.mark.parametrize("price_type", ["MKT", "MKP"])
@pytest.mark.parametrize("action", ["Buy", "Sell"])
def test_market_orders_fill_whatever_their_price(m, price_type, action):
    stock(m, action=action, price=1.0 if action == "Buy" else 1e9, qty=2, price_type=price_type)
    m.match_deal("2330", 500, 10, 1.0)
    assert kinds(drain(m)) == ["deal 2@500.0"]


def test_rod_partial_fill_stops_at_the_next_order(m, positions):
    first, second = stock(m, qty=5), stock(m, qty=5)
    m.match_deal("2330", 99, 3, 7)
    assert kinds(drain(m)) == ["deal 3@99.0"]
    assert ids(m) == [first, second]
    assert [r["quantity"] for r in m.pending_orders] == [2, 5]
    m.match_deal("2330", 99, 4, 8)
    assert kinds(drain(m)) == ["deal 2@99.0", "deal 2@99.0"]
    assert ids(m) == [second] and m.pending_orders[0]["quantity"] == 3


def test_two_rods_share_the_tick_volume(m):
    first, second = stock(m, qty=2), stock(m, qty=2)
    m.match_deal("2330", 99, 3, 1)
    assert kinds(drain(m)) == ["deal 2@99.0", "deal 1@99.0"]
    assert ids(m) == [second] and m.pending_orders[0]["quantity"] == 1


def test_ioc_partial_fill_then_cancel_with_trade_records(m, positions):
    m.set_current_tick({"code": "2330", "timestamp": 3.0})
    tid = stock(m, qty=5, order_type="IOC")
    positions.calls.clear()
    m.match_deal("2330", 99, 3, 7)
    deal, cancel = drain(m)
    assert kinds([deal, cancel]) == ["deal 3@99.0", "cancel 2@100.0"]
    assert cancel["operation_status_code"] == "0002" and cancel["trade_status"]["exchange_ts"] == 3.0
    assert m.pending_orders == []
    assert positions.trade_records() == [
        {"trade_id": tid, "code": "2330", "action": Action.BUY, "quantity": 3, "price": 99.0, "timestamp": 7.0,
         "trade_status": "Deal"},
        {"trade_id": tid, "code": "2330", "action": Action.BUY, "quantity": 2, "price": 100.0, "timestamp": 3.0,
         "trade_status": "Cancel"},
    ]
    assert [c[0] for c in positions.calls] == ["add_trade_record", "set_positions", "add_trade_record"]
    _, trade, product = positions.calls[1]
    assert product == "Stock" and trade["quantity"] == 3 and trade["price"] == 99.0
    assert trade["exchange_ts"] == 7.0 and type(trade["exchange_ts"]) is float


def test_ioc_without_price_match_is_cancelled_whole(m, positions):
    stock(m, qty=5, price=90.0, order_type="IOC")
    m.match_deal("2330", 99, 3, 7)
    assert kinds(drain(m)) == ["cancel 5@90.0"]
    assert m.pending_orders == []
    assert [r["trade_status"] for r in positions.trade_records()] == ["Cancel"]
    # Before any tick of the instrument the cancellation carries no exchange time.
    assert positions.trade_records()[0]["timestamp"] is None


@pytest.mark.parametrize(
    "volume, limit, expected",
    [(5, 100.0, ["deal 5@99.0"]), (6, 100.0, ["deal 5@99.0"]), (4, 100.0, ["cancel 5@100.0"]),
     (9, 98.0, ["cancel 5@98.0"])],
)
def test_fok_fills_whole_or_is_cancelled_whole(m, volume, limit, expected):
    future(m, action="Buy", price=limit, qty=5, order_type="FOK")
    m.match_deal("TXFA4", 99, volume, 1)
    assert kinds(drain(m)) == expected
    assert m.pending_orders == []


def test_fok_fill_uses_up_volume_for_the_orders_behind(m):
    stock(m, qty=5, order_type="FOK")
    behind = stock(m, qty=5)
    m.match_deal("2330", 99, 7, 1)
    assert kinds(drain(m)) == ["deal 5@99.0", "deal 2@99.0"]
    assert ids(m) == [behind] and m.pending_orders[0]["quantity"] == 3


def test_mixed_book_visits_every_order_once_in_book_order(m):
    a = stock(m, qty=1, order_type="IOC", price=1.0)   # cancelled
    b = stock(m, qty=1, order_type="FOK")               # filled
    other = stock(m, code="2317", qty=1)                # other instrument
    c = stock(m, qty=1, order_type="IOC")               # filled
    d = stock(m, qty=2, price=1.0)                      # no match, stays
    e = stock(m, qty=1, order_type="FOK")               # filled
    m.match_deal("2330", 50, 100, 1)
    assert kinds(drain(m)) == ["cancel 1@1.0", "deal 1@50.0", "deal 1@50.0", "deal 1@50.0"]
    assert ids(m) == [other, d]
    del a, b, c, e


def test_zero_volume_changes_nothing(m, positions):
    stock(m, qty=1, order_type="IOC")
    positions.calls.clear()
    m.match_deal("2330", 99, 0, 1)
    assert drain(m) == [] and len(m.pending_orders) == 1 and positions.calls == []


def test_negative_volume_is_refused_before_anything(m, positions):
    stock(m, qty=1, order_type="IOC")
    with pytest.raises(ValueError) as info:
        m.match_deal("2330", 99, -3, 1)
    assert str(info.value) == "成交量 -3 不能小於 0"
    assert drain(m) == [] and len(m.pending_orders) == 1


def test_huge_volume_is_plenty(m):
    stock(m, qty=5)
    m.match_deal("2330", 99, 2**80, 1)
    assert kinds(drain(m)) == ["deal 5@99.0"]


@pytest.mark.parametrize("order_type", ["ROD", "IOC", "FOK"])
def test_an_emptied_order_leaves_silently(m, positions, order_type):
    tid = stock(m, qty=3, order_type=order_type)
    m.modify_order(tid, 3)
    drain(m)
    positions.calls.clear()
    m.match_deal("2330", 99, 0, 1)
    assert len(m.pending_orders) == 1  # no volume: the pass did not reach it
    m.match_deal("2330", 1e9, 5, 1)      # price not reached, still leaves
    assert m.pending_orders == [] and drain(m) == [] and positions.calls == []


def test_unsupported_product_stops_the_pass_after_earlier_fills(m):
    stock(m, qty=1)
    tid = stock(m, qty=5, order_type="IOC")
    m.pending_orders[1]["product_type"] = "Bond"
    with pytest.raises(Exception) as info:
        m.match_deal("2330", 99, 3, 1)
    assert type(info.value) is Exception and str(info.value) == "不支援的商品類型"
    assert kinds(drain(m)) == ["deal 1@99.0"]
    assert ids(m) == [tid]


def test_other_order_types_are_left_alone(m):
    stock(m, qty=1)
    m.pending_orders[0]["order_type"] = "GTC"
    m.match_deal("2330", 99, 3, 1)
    assert drain(m) == [] and len(m.pending_orders) == 1


def test_positions_failure_passes_out_and_nothing_is_rolled_back(m, positions, monkeypatch):
    stock(m, qty=1)
    stock(m, qty=1)

    def broken(trade, product_type):
        raise RuntimeError("book closed")

    monkeypatch.setattr(positions, "set_positions", broken)
    with pytest.raises(RuntimeError, match="book closed"):
        m.match_deal("2330", 99, 5, 1)
    assert kinds(drain(m)) == ["deal 1@99.0"] and len(m.pending_orders) == 1


def test_deal_copy_is_deep_and_the_book_record_is_never_handed_out(m, positions):
    tid = stock(m, qty=2)
    record = m.pending_orders[0]
    record["tags"] = ["a"]  # a mutable value: the copy must not share it
    m.match_deal("2330", 99, 1, 1)
    (_, trade, _) = [c for c in positions.calls if c[0] == "set_positions"][0]
    assert trade is not record and trade["tags"] == ["a"] and trade["tags"] is not record["tags"]
    assert trade["trade_id"] == tid and record["price"] == 100.0 and record["quantity"] == 1


def test_deal_copy_goes_through_the_module_copy(m, monkeypatch):
    import copy as real_copy

    seen = []

    class Spy:
        @staticmethod
        def deepcopy(x):
            seen.append(x)
            return real_copy.deepcopy(x)

    monkeypatch.setattr(matcher_module, "copy", Spy)
    stock(m, qty=2, order_type="IOC")
    m.match_deal("2330", 99, 1, 1)
    assert len(seen) == 2  # the cancellation copy and the deal copy


def test_a_callback_that_changes_the_book_does_not_derail_the_pass(m, positions):
    first, second, third = stock(m, qty=1), stock(m, qty=1), stock(m, qty=1)

    def cancel_third(trade, product_type):
        if trade["trade_id"] == first:
            m.cancel_order(third)

    positions.set_positions = cancel_third
    m.match_deal("2330", 99, 10, 1)
    reports = drain(m)
    assert [r.get("id") or r["operation_type"] for r in reports] == [first, OperationType.CANCEL, second]
    assert m.pending_orders == []


def test_matching_reads_the_enumerations_now(m, monkeypatch):
    from types import SimpleNamespace

    stock(m, action="Sell", price=100.0, qty=1)
    m.match_deal("2330", 99, 1, 1)
    assert drain(m) == []
    # A buy is whatever equals Action.BUY.value at the time of the pass.
    monkeypatch.setattr(matcher_module, "Action", SimpleNamespace(BUY=SimpleNamespace(value="Sell")))
    m.match_deal("2330", 99, 1, 1)
    assert kinds(drain(m)) == ["deal 1@99.0"]
