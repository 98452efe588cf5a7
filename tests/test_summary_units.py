"""The command's summary tables: positions in the unit orders use, no "-0"."""

import pytest

from orva_mero_backtest.cli import held_text, whole
from orva_mero_backtest.stats import Statistics


@pytest.mark.parametrize("quantity, market, text", [
    (2000, "Stock", "2 lots"), (-3000, "Stock", "-3 lots"), (1500, "Stock", "1.500 lots (1,500 sh)"),
    (0, "Stock", "0 lots"), (-2, "Future", "-2 ct"),
])
def test_positions_read_in_lots_or_contracts(quantity, market, text):
    assert held_text(quantity, market, 1000) == text


@pytest.mark.parametrize("value, text", [(-0.4, "0"), (0.4, "0"), (-0.6, "-1"), (-1234.5, "-1,234"), (2500.5, "2,500")])
def test_money_never_reads_minus_zero(value, text):
    assert whole(value) == text


def test_statistics_rows_never_read_minus_zero():
    stats = Statistics.__new__(Statistics)
    fields = {name: 0.0 for name in Statistics.__dataclass_fields__}
    fields.update(gross_pnl=-0.3, total_costs=0.0, net_pnl=-0.2, max_drawdown_start="", max_drawdown_end="")
    for name, value in fields.items():
        setattr(stats, name, value)
    rows = dict(stats.rows())
    assert rows["Gross P&L (before costs)"] == "0" and rows["Net P&L (after costs)"] == "0"
