"""The tick feed as a whole: broker answers -> cache files -> combined frame -> streamed dicts."""

import pytest

from orva_mero_backtest.modules.ticker import ticker
from orva_mero_backtest.utils import format_nano_ts_to_second_ts

from fake_broker import FakeBroker, generated_rows
from ticker_feed import EXIT, FINISH, consume

CODES = [{"code": "2330", "market": "Stock"}, {"code": "TXFR1", "market": "Future"}]


@pytest.fixture
def quiet(monkeypatch):
    monkeypatch.setattr(ticker, "console", type("C", (), {"print": lambda self, text: None})())


def expected(days, backfilling):
    rows = []
    for day in days:
        for item in CODES:
            cols = generated_rows(item["code"], day, 3)
            for i in range(3):
                rows.append((cols["ts"][i], item["code"], item["market"], cols["close"][i], cols["volume"][i]))
    rows.sort(key=lambda r: (r[0], r[1]))
    return [
        {"market_type": m, "timestamp": format_nano_ts_to_second_ts(ts, 8), "code": c, "close": close,
         "qty": qty, "tick_type": 1, "is_simulate": False, "is_backfilling": backfilling}
        for ts, c, m, close, qty in rows
    ]


@pytest.mark.parametrize("second_run_from_cache", [False, True])
def test_backfill_then_main_range_from_broker_and_cache(quiet, data_dir, second_run_from_cache):
    broker = FakeBroker(default_rows=3)
    t = ticker.Ticker(broker)
    if second_run_from_cache:
        t.get_ticks_df("2330", "Stock", "2024-01-02", "2024-01-04")
        t.get_ticks_df("TXFR1", "Future", "2024-01-02", "2024-01-04")
        asked = len(broker.calls)
    t.send_ticks(CODES, "2024-01-04", "2024-01-04", "2024-01-02", "2024-01-03")
    got = consume(t)
    backfill, rest = got[: got.index(FINISH)], got[got.index(FINISH) + 1:]
    assert backfill == expected(["2024-01-02", "2024-01-03"], True)
    assert rest == expected(["2024-01-04"], False) + [EXIT]
    assert t.code_market_map == {"2330": "Stock", "TXFR1": "Future"}
    if second_run_from_cache:
        assert len(broker.calls) == asked  # every past day came from its file
    assert sorted(p.name for p in (data_dir / "mero" / "ticks").iterdir()) == sorted(
        f"{c['code']} 2024-01-0{d} - ticks.csv" for c in CODES for d in (2, 3, 4)
    )
