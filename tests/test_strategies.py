"""The bundled strategies' arithmetic: the same ticks give the same signals on every Python."""

from fractions import Fraction
from types import SimpleNamespace

import pytest

from orva_mero_backtest.strategies import MovingAverageCross

# Twenty closes a tick either side of 75.95, then ten at 75.95: the fast and the slow average are equal
# as exact numbers. Left-to-right float addition (sum() before 3.12) makes the fast one 75.95000000000002.
EQUAL_MEANS = [76.45, 75.45, 76.45, 76.45, 76.45, 75.45, 75.45, 75.45, 76.45, 75.45,
               75.45, 76.45, 75.45, 76.45, 75.45, 75.45, 76.45, 75.45, 76.45, 76.45] + [75.95] * 10


def signals(strategy, closes, code="2330"):
    """Feeds one tick a minute at each close (and one more to complete the last bar) during the warm-up,
    so no order is placed, and returns the strategy's signal after each completed bar."""
    ctx = SimpleNamespace(warming_up=True)
    seen = []
    for minute, close in enumerate(closes + [closes[-1]]):
        strategy.on_tick(ctx, {"code": code, "timestamp": 1_700_000_000.0 + 60 * minute, "close": close, "qty": 1})
        seen.append(strategy.signal.get(code))
    return seen


@pytest.mark.parametrize("closes, wanted", [
    (EQUAL_MEANS, 0),  # equal averages: not above
    (EQUAL_MEANS[:-1] + [75.95 + 0.05], 1),
    (EQUAL_MEANS[:-1] + [75.95 - 0.05], 0),
])
def test_ma_cross_compares_the_averages_as_exact_numbers(closes, wanted):
    fast = sum(map(Fraction, closes[-10:])) / 10
    slow = sum(map(Fraction, closes)) / 30
    assert (fast > slow) == bool(wanted)
    assert signals(MovingAverageCross(fast=10, slow=30), closes)[-1] == wanted
