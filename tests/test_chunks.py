"""Long ranges streamed in chunks of trading days: the plan, the estimate it is made from, and runs that
give the same results in several chunks as in one."""

import pickle
import random
import threading
import time
from datetime import date as Date, timedelta

import pytest

from orva_mero_backtest import chunks, driver
from orva_mero_backtest.chunks import Prepared, estimate_day_ticks, plan_chunks
from orva_mero_backtest.data.cache_broker import cache_file
from orva_mero_backtest.driver import Backtest, BacktestError, Instrument
from orva_mero_backtest.modules.ticker import ticker as ticker_module
from orva_mero_backtest.samples import Samples
from orva_mero_backtest.strategies import MovingAverageCross

STOCK, FUTURE = Instrument("2412", "Stock"), Instrument("TMFR1", "Future")
# A budget smaller than two days of either instrument: each trading day is a chunk of its own.
SMALL_BUDGET_MB = 1.0


def run(fills, budget=None, instruments=(STOCK, FUTURE), end="2024-01-08", **options):
    strategy = MovingAverageCross(fast=3, slow=8, bar_seconds=30)
    return Backtest(strategy, list(instruments), "2024-01-02", end, "2023-12-28", "2023-12-29",
                    module_console="none", fills=fills, memory_budget_mb=budget, **options).run()


def without_ids(rows):
    return [{k: v for k, v in row.items() if k != "trade_id"} for row in rows]


def outcome(result):
    return {
        "fills": without_ids(result.fills),
        "orders": without_ids(result.orders),
        "summary": result.positions.summary(),
        "statistics": result.statistics(),
        "round_trips": result.round_trips(),
        "equity": result.equity,
        "prices": result.prices,
        "ticks": (result.ticks, result.backfill_ticks),
    }


@pytest.mark.parametrize("fills", ["quote", "trade"])
def test_a_run_in_chunks_gives_what_one_chunk_gives(fills):
    whole = run(fills)
    chunked = run(fills, SMALL_BUDGET_MB)
    assert whole.chunks == 1 and chunked.chunks == 5  # 2024-01-02..08 holds five trading days
    assert len(whole.fills) > 50 and whole.backfill_ticks > 0
    expected, got = outcome(whole), outcome(chunked)
    for key in expected:
        assert got[key] == expected[key], key


def test_a_later_chunk_that_cannot_load_fails_the_run_and_ends_its_threads(monkeypatch):
    monkeypatch.setattr(ticker_module, "RETRY_PAUSE_SECONDS", 0)
    real = ticker_module.Ticker._Ticker__process_and_combine_ticks

    def combine(self, codes, start_from, end_to):
        if start_from == "2024-01-04":
            raise OSError("disk gone")
        return real(self, codes, start_from, end_to)

    monkeypatch.setattr(ticker_module.Ticker, "_Ticker__process_and_combine_ticks", combine)
    before = threading.active_count()
    with pytest.raises(BacktestError, match=r"could not load the ticks of 2024-01-04 to 2024-01-04: disk gone"):
        run("trade", SMALL_BUDGET_MB, instruments=(STOCK,))
    deadline = time.monotonic() + 5
    while threading.active_count() > before and time.monotonic() < deadline:
        time.sleep(0.05)
    assert threading.active_count() <= before


D = Date(2024, 1, 1)


def days(*ticks):
    return {D + timedelta(days=i): n for i, n in enumerate(ticks)}


@pytest.mark.parametrize(
    "ticks, budget, expected",
    [
        # The whole range fits: one chunk, whatever its days.
        ((10, 10, 10), 30, [(0, 2)]),
        # It does not: chunks of at most half the budget each.
        ((10, 10, 10, 10), 30, [(0, 0), (1, 1), (2, 2), (3, 3)]),
        ((5, 5, 5, 5, 5), 20, [(0, 1), (2, 3), (4, 4)]),
        # A day above half the budget is a chunk of its own.
        ((2, 50, 2, 2), 20, [(0, 0), (1, 1), (2, 3)]),
        # A single day never splits.
        ((500,), 20, [(0, 0)]),
    ],
)
def test_plan_chunks(ticks, budget, expected):
    plan = plan_chunks(D, D + timedelta(days=len(ticks) - 1), days(*ticks), budget, build_bytes=1, held_bytes=1)
    assert plan == [((D + timedelta(days=a)).isoformat(), (D + timedelta(days=b)).isoformat()) for a, b in expected]


@pytest.mark.parametrize(
    "ticks, budget, build, held, expected",
    [
        # Building the whole range fits: one chunk, though it and another built frame would not.
        ((10, 10, 10), 60, 2, 4, [(0, 2)]),
        # It does not: each chunk is cut so that it streaming and the next one building fit.
        ((10, 10, 10, 10), 60, 2, 1, [(0, 1), (2, 3)]),
        ((10, 10, 10, 10), 60, 2, 4, [(0, 0), (1, 1), (2, 2), (3, 3)]),
    ],
)
def test_a_chunk_is_sized_for_one_frame_built_while_another_streams(ticks, budget, build, held, expected):
    plan = plan_chunks(D, D + timedelta(days=len(ticks) - 1), days(*ticks), budget, build_bytes=build,
                       held_bytes=held)
    assert plan == [((D + timedelta(days=a)).isoformat(), (D + timedelta(days=b)).isoformat()) for a, b in expected]


@pytest.mark.parametrize("seed", range(5))
def test_planned_chunks_cover_the_range_and_keep_to_the_budget(seed):
    rng = random.Random(seed)
    ticks = days(*[rng.choice([0, rng.randrange(1, 4000)]) for _ in range(rng.randrange(2, 120))])
    first, last = min(ticks), max(ticks)
    budget = rng.uniform(2_000, 400_000)
    plan = plan_chunks(first, last, ticks, budget, build_bytes=280, held_bytes=100)
    spans = [(Date.fromisoformat(a), Date.fromisoformat(b)) for a, b in plan]
    assert spans[0][0] == first and spans[-1][1] == last
    assert all(b + timedelta(days=1) == c for (_, b), (c, _) in zip(spans, spans[1:]))
    held = [sum(n for d, n in ticks.items() if a <= d <= b) for a, b in spans]
    if len(plan) == 1:
        assert held[0] * 280 <= budget
    else:
        assert sum(held) * 280 > budget
        for (a, b), n in zip(spans, held):
            trading = [d for d in ticks if a <= d <= b]
            assert n * 380 <= budget or len(trading) == 1, (a, b, n)


def test_chunks_cover_the_calendar_days_between_trading_days():
    # Trading days Fri 5th and Mon 8th: the second chunk starts on Saturday, the last ends on the range's end.
    ticks = {Date(2024, 1, 5): 10, Date(2024, 1, 8): 10}
    plan = plan_chunks(Date(2024, 1, 4), Date(2024, 1, 9), ticks, 15, build_bytes=1, held_bytes=1)
    assert plan == [("2024-01-04", "2024-01-05"), ("2024-01-06", "2024-01-09")]


def write_day(root, code, day, rows):
    path = cache_file(str(root), code, day.isoformat())
    import os

    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write("ts,close,volume,bid_price,bid_volume,ask_price,ask_volume,tick_type\n")
        for i in range(rows):
            f.write(f"{1704186000000000000 + i * 1000},590.{i % 10},{1 + i % 7},590.0,12,591.0,3,1\n")


def test_the_estimate_reads_the_cache_files_and_fills_in_missing_days(tmp_path):
    first, second, third = D, D + timedelta(days=1), D + timedelta(days=2)
    write_day(tmp_path, "2330", first, 1000)
    write_day(tmp_path, "2330", second, 3000)
    write_day(tmp_path, "2317", second, 500)
    got = estimate_day_ticks(str(tmp_path), ["2330", "2317", "2454"], [first, second, third])
    # 2330's third day is its mean (2000); 2317's other days are its one day (500); 2454 has no files.
    expected = [1000 + 500, 3000 + 500, 2000 + 500]
    expected = [n + chunks.DEFAULT_DAY_TICKS for n in expected]
    assert all(abs(g - e) <= 0.02 * e for g, e in zip(got, expected)), (got, expected)


@pytest.mark.parametrize("value", [0, -1, float("nan"), float("inf"), True, "100"])
def test_a_budget_that_is_no_amount_is_refused(value):
    with pytest.raises(BacktestError, match="memory_budget_mb must be a number of megabytes"):
        Backtest(MovingAverageCross(), [STOCK], "2024-01-02", "2024-01-02", memory_budget_mb=value)


def test_the_budget_comes_from_the_environment_when_not_given(monkeypatch):
    monkeypatch.setenv(chunks.MEMORY_BUDGET_ENV, "64")
    assert Backtest(MovingAverageCross(), [STOCK], "2024-01-02", "2024-01-02").memory_budget_mb == 64
    monkeypatch.setenv(chunks.MEMORY_BUDGET_ENV, "lots")
    with pytest.raises(BacktestError, match=chunks.MEMORY_BUDGET_ENV):
        Backtest(MovingAverageCross(), [STOCK], "2024-01-02", "2024-01-02")


def test_a_prepared_chunk_discarded_before_it_is_ready_is_ended_once_ready():
    release, ended = threading.Event(), []

    def start_feed():
        assert release.wait(5)
        return "feed", []

    prepared = Prepared(start_feed, ended.append)
    prepared.discard()
    assert ended == []
    release.set()
    prepared._thread.join(5)
    assert ended == ["feed"]


def test_a_failed_preparation_is_raised_by_take():
    def start_feed():
        raise BacktestError("no ticks")

    with pytest.raises(BacktestError, match="no ticks"):
        Prepared(start_feed, lambda feed: None).take()


@pytest.mark.parametrize("flush_ticks", [1, 97])
def test_samples_moved_out_of_the_loop_while_it_runs_are_all_kept_in_order(monkeypatch, flush_ticks):
    # Against a run whose samples are moved only at its end: every flush keeps each pair once, in order.
    monkeypatch.setattr(driver.Recording, "FLUSH_TICKS", 10**12)
    whole = run("trade", instruments=(STOCK,), end="2024-01-03", progress_every=13, on_progress=lambda p: None)
    monkeypatch.setattr(driver.Recording, "FLUSH_TICKS", flush_ticks)
    flushed = run("trade", instruments=(STOCK,), end="2024-01-03", progress_every=13)
    assert isinstance(flushed.equity, Samples) and all(isinstance(s, Samples) for s in flushed.prices.values())
    assert len(flushed.equity) > 1000 and flushed.equity == whole.equity and flushed.prices == whole.prices
    for series in list(flushed.prices.values()) + [flushed.equity]:
        stamps = series.timestamps
        assert all(a <= b for a, b in zip(stamps, stamps[1:]))


def pairs_model_ops():
    return [
        ("append", ((1.0, 10.0),)),
        ("extend", ([(2.0, 20.0), (3.0, 30.0), (4.0, 40.0)],)),
        ("insert", (1, (1.5, 15.0))),
        ("setitem", (-1, (4.5, 45.0))),
        ("setitem", (slice(0, 2), [(0.5, 5.0)])),
        ("delitem", (slice(None, None, 2),)),
        ("extend_iter", ([(9.0, 90.0), (10.0, 100.0)],)),
        ("delitem", (0,)),
    ]


def apply(series, op, args):
    if op == "setitem":
        series[args[0]] = args[1]
    elif op == "delitem":
        del series[args[0]]
    elif op == "extend_iter":
        series.extend(iter(args[0]))
    else:
        getattr(series, op)(*args)


@pytest.mark.parametrize("steps", range(1, len(pairs_model_ops()) + 1))
def test_samples_read_like_the_list_of_pairs_they_replace(steps):
    model, samples = [], Samples()
    for op, args in pairs_model_ops()[:steps]:
        apply(model, op, args)
        apply(samples, op, args)
    assert samples == model and model == samples and list(samples) == model and len(samples) == len(model)
    assert list(reversed(samples)) == model[::-1]
    assert samples[1:] == model[1:] and (not model or samples[-1] == model[-1])
    assert pickle.loads(pickle.dumps(samples)) == samples
    extra = [(99.0, 1.0)]
    assert samples != model + extra
    assert samples + extra == model + extra and model + samples == model + model and samples.copy() == model


@pytest.mark.parametrize("bad", [[(1.0, 2.0, 3.0)], [(1.0,), (2.0, 3.0, 4.0)], [(1.0, "x")]])
def test_samples_refuse_what_is_not_a_pair_of_numbers(bad):
    samples = Samples([(0.0, 1.0)])
    with pytest.raises((ValueError, TypeError)):
        samples.extend(bad)
    assert samples == [(0.0, 1.0)]
