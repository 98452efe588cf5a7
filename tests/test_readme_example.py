"""The README's strategy example, as written there: the file is the one the package ships, and the
command it gives runs it from a copy in the current folder."""

import os
import re
import shlex

import pytest

from orva_mero_backtest import cli
from orva_mero_backtest.driver import Backtest, Instrument
from orva_mero_backtest.strategies import orb

README = os.path.join(os.path.dirname(__file__), os.pardir, "README.md")


def example(name):
    """The indented block after the README's `<!-- example: name -->` marker, unindented."""
    text = open(README, encoding="utf-8").read()
    found = re.search(rf"<!-- example: {re.escape(name)} -->\n((?:(?:    .*)?\n)+)", text)
    assert found, f"README has no example {name}"
    lines = found.group(1).rstrip("\n").split("\n")
    return "".join(line[4:] + "\n" for line in lines)


def test_the_readme_example_is_the_shipped_file():
    with open(orb.__file__, encoding="utf-8") as shipped:
        assert example("my_orb.py") == shipped.read()


def test_the_readme_command_runs_the_example_from_a_file(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "my_orb.py").write_text(example("my_orb.py"), encoding="utf-8")
    words = shlex.split(example("command"))
    assert words[0] == "orva-backtest"
    assert cli.main(words[1:]) == cli.EXIT_OK
    out = capsys.readouterr().out
    assert "Backtest orb" in out and re.search(r"Fills\s+│\s+[1-9]", out)


def test_the_example_enters_with_a_bracket_and_ends_flat():
    strategy = orb.OpeningRangeBreakout(qty=2)
    result = Backtest(strategy, [Instrument("TXFR1", "Future")], "2024-01-02", "2024-01-02",
                      module_console="none").run()
    entries = [o for o in result.orders if o["quantity"] == 2]
    assert entries and result.positions.position("TXFR1") == 0
    assert sum(f["units"] for f in result.fills if f["action"] == "Buy") == sum(
        f["units"] for f in result.fills if f["action"] == "Sell")
