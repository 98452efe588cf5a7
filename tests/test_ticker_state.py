import os
import queue

import polars as pl
import pytest

from fake_broker import FakeBroker
from orva_mero_backtest.constant import BASIC_INFO
from orva_mero_backtest.modules.ticker.ticker import Ticker

SCHEMA = [
    ("ts", pl.Int64), ("close", pl.Float64), ("volume", pl.Int64), ("bid_price", pl.Float64),
    ("bid_volume", pl.Int64), ("ask_price", pl.Float64), ("ask_volume", pl.Int64), ("tick_type", pl.Int64),
]


class Text(str):
    pass


def test_class_is_plain_with_methods_in_table_order():
    assert Ticker.__mro__ == (Ticker, object)
    assert type(Ticker) is type
    methods = [name for name, value in vars(Ticker).items() if callable(value)]
    assert methods == [
        "__init__", "_Ticker__generate_save_path", "_Ticker__make_mero_contract_object",
        "_Ticker__tick_filename_formatter", "_Ticker__auto_fetch_ticks", "fetch_mero_history_ticks",
        "_Ticker__process_and_combine_ticks", "_Ticker__notify_backfilling_finish", "get_ticks_df",
        "send_ticks", "backfilling", "_Ticker__push_tick_to_queue", "pop_tick", "allow_next_tick",
        "stop_send_ticks",
    ]


def test_construction_sets_exactly_the_state_in_order(data_dir):
    api = FakeBroker()
    t = Ticker(api)
    assert list(vars(t)) == [
        "api", "allow_next_tick_flag_queue", "backfilling_notify_finish_queue", "backfilling_finish_flag",
        "exit_send_thread_flag", "tick_file_save_path", "tick_queue", "code_market_map", "tick_df_schema",
        "current_send_ticks_params",
    ]
    assert t.api is api
    assert t.allow_next_tick_flag_queue.get_nowait() is True
    for q in (t.allow_next_tick_flag_queue, t.backfilling_notify_finish_queue, t.tick_queue):
        assert type(q) is queue.Queue and q.empty()
    assert t.backfilling_finish_flag is False and t.exit_send_thread_flag is False
    assert t.code_market_map == {} and t.current_send_ticks_params == {}
    assert list(t.tick_df_schema.items()) == SCHEMA
    assert t.tick_file_save_path == os.path.join(BASIC_INFO.data_dir, "ticks")
    assert data_dir.is_dir() and not (data_dir / "ticks").exists()
    assert not api.calls and not api.lookups


def test_instances_share_nothing():
    a, b = Ticker(None), Ticker(mero_api=None)
    a.tick_df_schema["extra"] = pl.String
    assert "extra" not in b.tick_df_schema
    for name in ("allow_next_tick_flag_queue", "backfilling_notify_finish_queue", "tick_queue",
                 "code_market_map", "current_send_ticks_params"):
        assert getattr(a, name) is not getattr(b, name)


@pytest.mark.parametrize("call, message", [
    (lambda: Ticker(), "Ticker.__init__() missing 1 required positional argument: 'mero_api'"),
    (lambda: Ticker(1, 2), "Ticker.__init__() takes 2 positional arguments but 3 were given"),
    (lambda: Ticker(1, mero_api=2), "Ticker.__init__() got multiple values for argument 'mero_api'"),
    (lambda: Ticker(None).get_ticks_df("2330", "Stock", "2024-01-02"),
     "Ticker.get_ticks_df() missing 1 required positional argument: 'end_to'"),
    (lambda: Ticker(None)._Ticker__tick_filename_formatter(),
     "Ticker.__tick_filename_formatter() missing 2 required positional arguments: 'code' and 'date'"),
])
def test_argument_binding_errors_read_like_python(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("method, args, param", [
    ("_Ticker__generate_save_path", (5,), "file_name"),
    ("_Ticker__make_mero_contract_object", (2330, "Stock"), "code"),
    ("_Ticker__make_mero_contract_object", ("2330", None), "market_type"),
    ("_Ticker__tick_filename_formatter", (Text("2330"), "2024-01-02"), "code"),
    ("_Ticker__tick_filename_formatter", ("2330", None), "date"),
    ("_Ticker__auto_fetch_ticks", ("2330", b"Stock", "2024-01-02"), "product_type"),
    ("_Ticker__auto_fetch_ticks", ("2330", "Stock", 20240102), "date"),
    ("fetch_mero_history_ticks", (None, "Stock", "2024-01-02", "2024-01-02"), "code"),
    ("fetch_mero_history_ticks", ("2330", "Stock", "2024-01-02", Text("2024-01-02")), "end_to"),
    ("_Ticker__process_and_combine_ticks", ((), "2024-01-02", "2024-01-02"), "codes"),
    ("_Ticker__process_and_combine_ticks", ([], None, "2024-01-02"), "start_from"),
    ("get_ticks_df", ("2330", "Stock", "2024-01-02", None), "end_to"),
])
def test_exact_types_refused_naming_the_parameter(method, args, param):
    api = FakeBroker()
    with pytest.raises(TypeError, match=rf"argument '{param}' must be "):
        getattr(Ticker(api), method)(*args)
    assert not api.calls and not api.lookups

