"""The MA cross benchmark compares like with like: its bare loop fills as the engine does."""

import pathlib

import pytest

from orva_mero_backtest.sim_broker import SimulatedBroker

BENCHMARKS = pathlib.Path(__file__).resolve().parent.parent / "benchmarks"


@pytest.fixture
def bench(monkeypatch):
    monkeypatch.syspath_prepend(str(BENCHMARKS))
    import bench_backtest

    monkeypatch.setattr(bench_backtest, "DAYS", 1)
    return bench_backtest


def closes(*legs):
    """Ticks whose closes run through `legs` of (count, step) from 100."""
    out, price = [], 100.0
    for count, step in legs:
        for _ in range(count):
            price += step
            out.append({"close": price})
    return out


@pytest.mark.parametrize("ticks, fills", [
    (closes((59, 0.1)), 0),                           # the slow mean is never complete
    (closes((60, 0.1)), 0),                           # the buy signal comes on the last tick: no next tick
    (closes((61, 0.1)), 1),                           # bought at the next tick
    (closes((61, 0.1), (40, -0.5)), 2),               # falling: sold
    (closes((61, 0.1), (40, -0.5), (40, 0.5)), 3),    # and bought back
])
def test_bare_loop_fills(bench, ticks, fills):
    assert bench.bare_ma_cross(ticks) == fills


def test_rounds_agree_with_the_engine(bench):
    api = SimulatedBroker()
    end = bench.last_day(api)
    ticks = bench.collect_ticks(api, end)
    _, _, engine_fills, bare_fills = bench.ma_rounds(api, end, ticks, rounds=2, bare_seconds=0.0)
    assert bare_fills > 10
    assert engine_fills == {bare_fills}
