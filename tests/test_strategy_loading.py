"""Loading a user's strategy (a file, a module from the current folder) and errors that point at the
line of the user's code that raised."""

import os
import textwrap

import pytest

from orva_mero_backtest import cli
from orva_mero_backtest.driver import Backtest, Instrument, StrategyError
from orva_mero_backtest.strategies import load_strategy
from orva_mero_backtest.strategy import Strategy

DAY = "2024-01-02"
GOOD = """\
from orva_mero_backtest.strategy import Strategy

LIMIT = 5

class Orb(Strategy):
    defaults = {"qty": 1}

    def on_tick(self, ctx, tick):
        self.helper(tick)

    def helper(self, tick):
        return tick["bid_price_not_there"]
"""


@pytest.fixture
def folder(tmp_path, monkeypatch):
    (tmp_path / "strat").mkdir()
    (tmp_path / "strat" / "orb.py").write_text(GOOD)
    (tmp_path / "broken.py").write_text("import os\n\nx = 1 +\n")
    (tmp_path / "raising.py").write_text("from orva_mero_backtest.strategy import Strategy\n\nraise KeyError('setting')\n")
    (tmp_path / "needs.py").write_text("import not_a_module_anywhere\n")
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.mark.parametrize("target", ["strat/orb.py:Orb", "{tmp}/strat/orb.py:Orb", "strat.orb:Orb"])
def test_a_strategy_loads_from_a_file_or_a_module_of_the_current_folder(folder, target):
    strategy = load_strategy(target.format(tmp=folder), {"qty": "3"})
    assert type(strategy).__name__ == "Orb" and strategy.params == {"qty": 3}
    assert strategy.name == "Orb"


@pytest.mark.parametrize("target, parts", [
    ("strat/nope.py:Orb", ["cannot load strategy file strat/nope.py", "no such file"]),
    ("strat/orb.py:Orbit", ["strat/orb.py has no Orbit", "Strategy classes there: Orb"]),
    ("broken.py:X", ["cannot load strategy file broken.py", "SyntaxError", "broken.py:3"]),
    ("raising.py:X", ["cannot load strategy file raising.py", "KeyError: 'setting'", "raising.py:3"]),
    ("orbit:Orb", ["cannot load strategy module orbit", "no module named 'orbit'", "looked in: {tmp}"]),
    ("needs:X", ["cannot load strategy module needs", "'not_a_module_anywhere'"]),
    ("strat.orb:LIMIT", ["LIMIT in module strat.orb is not a subclass of Strategy"]),
    ("nothing", ["unknown strategy 'nothing'", "path/to/file.py:ClassName"]),
])
def test_a_load_failure_names_the_file_or_module_and_the_reason(folder, target, parts):
    with pytest.raises(ValueError) as caught:
        load_strategy(target, {})
    message = str(caught.value)
    for part in parts:
        assert part.format(tmp=folder) in message


def test_the_base_class_itself_loads_as_no_user_strategy(folder):
    # Strategy is a subclass of itself: loading it works and does nothing, as an empty strategy would.
    assert type(load_strategy("strat/orb.py:Strategy", {})) is Strategy


class Unnamed(Strategy):
    def on_tick(self, ctx, tick):
        {}["bid_price"]  # the line the error must point at


class Named(Unnamed):
    name = "mine"


class ChildOfNamed(Named):
    pass


def test_names_come_from_the_class_unless_given():
    assert (Unnamed.name, Named.name, ChildOfNamed.name, Strategy.name) == ("Unnamed", "mine", "mine", "Strategy")


def test_a_strategy_error_points_at_the_users_line():
    with pytest.raises(StrategyError) as caught:
        Backtest(Unnamed(), [Instrument("2412", "Stock")], DAY, DAY, module_console="none").run()
    error = caught.value
    line = Unnamed.on_tick.__code__.co_firstlineno + 1
    here = os.path.relpath(__file__)
    assert str(error).startswith("strategy Unnamed raised in on_tick at 2412 2024-01-02 09:00:0")
    assert str(error).endswith(f": KeyError: 'bid_price' ({here}:{line})")
    assert error.location == f"{here}:{line}"
    # the Python API keeps the original exception and its whole traceback
    assert isinstance(error.__cause__, KeyError)
    assert error.__cause__.__traceback__ is not None


@pytest.mark.parametrize("verbose", [False, True])
def test_the_command_line_names_the_line_and_with_verbose_shows_the_users_frames(folder, capsys, verbose):
    args = ["--stock", "2412", "--start", DAY, "--strategy", "strat/orb.py:Orb", "--no-progress",
            "--data-dir", str(folder / "data")] + (["--verbose"] if verbose else [])
    assert cli.main(args) == cli.EXIT_FAILED
    err = capsys.readouterr().err
    first = err.splitlines()[0]
    assert "strategy Orb raised in on_tick at 2412 2024-01-02" in first
    assert first.endswith(f"KeyError: 'bid_price_not_there' ({os.path.join('strat', 'orb.py')}:12)")
    if verbose:
        tail = err[err.index("Traceback"):]
        assert 'orb.py", line 9, in on_tick' in tail and 'orb.py", line 12, in helper' in tail
        assert "orva_mero_backtest" not in tail  # the package's own frames are left out
    else:
        assert "Traceback" not in err


def test_a_constructor_error_points_at_the_users_line(folder, capsys):
    (folder / "ctor.py").write_text(textwrap.dedent("""\
        from orva_mero_backtest.strategy import Strategy
        class Ctor(Strategy):
            def __init__(self, **params):
                super().__init__(**params)
                self.x = 1 / 0
        """))
    assert cli.main(["--strategy", "ctor.py:Ctor", "--no-progress"]) == cli.EXIT_FAILED
    assert "ZeroDivisionError: division by zero (ctor.py:5)" in capsys.readouterr().err
