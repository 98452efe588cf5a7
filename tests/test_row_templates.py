"""Rows made from the engine's key-sharing templates (fill rows, trade records): each carries room
for its own keys only, and a key added to one row stays that row's."""

import tracemalloc

import pytest

from orva_mero_backtest.constant import Action
from orva_mero_backtest.costs import CostSettings
from orva_mero_backtest.modules.positions.positions import Positions


def filled_book(n):
    book = Positions(CostSettings())
    for i in range(n):
        t = {"trade_id": f"id{i}", "code": "2330", "product_type": "Stock",
             "action": Action.BUY if i % 2 == 0 else Action.SELL, "price": 100.0 + i, "quantity": 1,
             "exchange_ts": 1.0 + i}
        book.add_trade_record(trade_id=t["trade_id"], code=t["code"], action=t["action"], quantity=1,
                              price=t["price"], timestamp=t["exchange_ts"], trade_status="Deal")
        book.set_positions(t, "Stock")
    return book


def bytes_per_copy(rows):
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        copies = [row.copy() for row in rows]  # a copy is made the way a row is
        taken = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    return (taken - len(copies) * 8) / len(copies)  # less the list's slots


def test_a_row_takes_room_for_its_own_keys_only():
    book = filled_book(200)
    records, fills = book.trade_records, book.fills
    assert len(records[0]) == 7 and len(fills[0]) == 14
    # A table with spare slots gives every row the same room whatever its keys (3.12, 3.13).
    assert bytes_per_copy(records) + 7 * 8 <= bytes_per_copy(fills)


@pytest.mark.parametrize("rows", ["fills", "trade_records"])
def test_a_key_added_to_a_row_stays_that_rows(rows):
    book = filled_book(2)
    first = getattr(book, rows)[0]
    keys = list(first)
    first["note"] = "kept"
    del getattr(book, rows)[1]["trade_id"]
    more = filled_book(3)  # rows of the same templates, made after the change
    assert list(first) == keys + ["note"] and first["note"] == "kept"
    assert all(list(row) == keys for row in getattr(more, rows))
    assert [row["trade_id"] for row in getattr(more, rows)] == ["id0", "id1", "id2"]
    assert list(getattr(book, rows)[1]) == keys[1:]


@pytest.mark.parametrize("rows", ["fills", "trade_records"])
def test_a_row_is_tracked_by_the_collector_as_one_built_key_by_key(rows):
    import gc

    book = filled_book(3)
    for row in getattr(book, rows):
        built = {}
        for key, value in row.items():
            built[key] = value
        assert gc.is_tracked(row) == gc.is_tracked(built), row
    # A trade record holds the action's member (tracked); a fill row only texts and numbers.
    assert gc.is_tracked(getattr(book, rows)[0]) == (rows == "trade_records")
