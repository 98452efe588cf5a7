"""What the commands write where: console width off a terminal, --json and --quiet in every outcome,
numeric options refused up front."""

import io

import pytest
from rich.table import Table

from orva_mero_backtest import utils

WIDE_ROW = ("Max drawdown", "66,926 (3.26%) 2024-01-03 09:00 to 2024-01-03 13:39 " + "x" * 150)


def _render(console):
    table = Table(show_header=False)
    table.add_column("item")
    table.add_column("value", justify="right")
    table.add_row(*WIDE_ROW)
    console.print(table)
    return console.file.getvalue().splitlines()


@pytest.mark.parametrize("columns", [None, "60"])
def test_tables_keep_their_width_off_a_terminal(columns):
    environ = {} if columns is None else {"COLUMNS": columns}
    lines = _render(utils._Console(file=io.StringIO(), _environ=environ))
    assert len(lines) == 3 and WIDE_ROW[1] in lines[1]
    assert len({len(line) for line in lines}) == 1


def test_a_terminal_still_wraps_at_its_width():
    console = utils._Console(file=io.StringIO(), force_terminal=True, _environ={"COLUMNS": "60"})
    lines = _render(console)
    assert len(lines) > 3 and max(len(line) for line in _strip_ansi(lines)) <= 60


def _strip_ansi(lines):
    import re

    return [re.sub(r"\x1b\[[0-9;]*m", "", line) for line in lines]


def test_a_width_set_by_the_caller_is_kept():
    console = utils._Console(file=io.StringIO(), width=60)
    assert console.width == 60
    console.width = 70
    assert console.width == 70 and utils._Console(file=io.StringIO()).width == utils._Console.UNWRAPPED_WIDTH
