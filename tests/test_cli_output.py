"""What the commands write where: console width off a terminal, --json and --quiet in every outcome,
numeric options refused up front."""

import io
import json

import pytest
from rich.table import Table

from orva_mero_backtest import cli, options, utils

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


# --- numeric options -------------------------------------------------------------------------------

@pytest.mark.parametrize(
    "args, message",
    [
        (["--capital", "5e-324"], "of at least 1, got '5e-324'"),
        (["--capital", "-5"], "above 0"),
        (["--capital", "inf"], "at most 1,000,000,000,000,000"),
        (["--capital", "1e16"], "at most 1,000,000,000,000,000"),
        (["--slippage-ticks", "1001"], "at most 1,000"),
        (["--slippage-ticks", "1e3"], "whole number"),
        (["--memory-budget-mb", "0"], "above 0"),
        (["--memory-budget-mb", "nan"], "above 0"),
    ],
)
@pytest.mark.parametrize("command", [[], ["sweep", "--strategy", "ma_cross", "--param", "fast=2:3"]])
def test_numbers_that_would_make_a_figure_infinite_are_refused(command, args, message, tmp_path, capsys, monkeypatch):
    monkeypatch.setattr(cli.Backtest, "run", lambda self: pytest.fail("the run started"))
    assert cli.main(command + args + ["--data-dir", str(tmp_path), "--no-progress"]) == cli.EXIT_BAD_INPUT
    out, err = capsys.readouterr()
    assert out == "" and err.count("\n") == 1 and message in err


@pytest.mark.parametrize(
    "args, message",
    [
        (["--cost", "slippage_ticks=100000000000"], "slippage_ticks needs a number of at most 1,000"),
        (["--cost", "stock_min_commission=1e300"], "at most 1,000,000,000"),
        (["--cost", "future_multipliers.TXF=1e308"], "at most 1,000,000,000"),
    ],
)
def test_cost_settings_that_would_make_a_cost_infinite_are_refused(args, message, tmp_path, capsys, monkeypatch):
    monkeypatch.setattr(cli.Backtest, "run", lambda self: pytest.fail("the run started"))
    assert cli.main(args + ["--data-dir", str(tmp_path), "--no-progress"]) == cli.EXIT_BAD_INPUT
    out, err = capsys.readouterr()
    assert out == "" and err.count("\n") == 1 and message in err


@pytest.mark.parametrize("text, low, high, whole, expected", [
    ("1", 1, 10, False, 1.0), ("10", 1, 10, True, 10), ("0", 0, 5, True, 0), ("2.5e0", 1, 10, False, 2.5),
])
def test_numbers_in_range_are_taken(text, low, high, whole, expected):
    value = options.check_number(text, "x", low, high, whole)
    assert value == expected and type(value) is type(expected)


def test_the_api_refuses_a_capital_out_of_range():
    from orva_mero_backtest.driver import Instrument
    from orva_mero_backtest.strategy import Strategy

    for capital in (5e-324, 0.5, 1e16):
        with pytest.raises(cli.BacktestError, match="from 1 to"):
            cli.Backtest(Strategy(), [Instrument("2330", "Stock")], "2024-01-02", "2024-01-02", capital=capital)


# --- --json and --quiet in every outcome -----------------------------------------------------------

STRATEGIES = """
from orva_mero_backtest.strategy import Strategy

class Chatty(Strategy):
    name = "chatty"
    def on_start(self, ctx):
        print("chatty starts")
    def on_tick(self, ctx, tick):
        if not getattr(self, "said", False):
            self.said = True
            print("chatty sees a tick")

class Raises(Chatty):
    name = "raises"
    def on_tick(self, ctx, tick):
        print("raises sees a tick")
        raise RuntimeError("boom")
"""

ONE_DAY = ["--stock", "2412", "--start", "2024-01-02", "--no-report"]


@pytest.fixture
def run(tmp_path, monkeypatch):
    (tmp_path / "output_strategies.py").write_text(STRATEGIES)
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.chdir(tmp_path)

    def run(*args):
        return cli.main(list(args) + ["--data-dir", str(tmp_path / "data")])

    return run


def _feed_down(monkeypatch):
    from orva_mero_backtest.modules.ticker import ticker as ticker_module
    from orva_mero_backtest.sim_broker import SimulatedBroker

    def ticks(self, *args, **kwargs):
        raise RuntimeError("server down")

    monkeypatch.setattr(SimulatedBroker, "ticks", ticks)
    monkeypatch.setattr(ticker_module, "RETRY_PAUSE_SECONDS", 0)


@pytest.mark.parametrize(
    "args, status, error",
    [
        (ONE_DAY + ["--strategy", "output_strategies:Chatty"], cli.EXIT_OK, None),
        (ONE_DAY + ["--strategy", "output_strategies:Raises"], cli.EXIT_FAILED, "RuntimeError: boom"),
        (ONE_DAY + ["--capital", "5e-324"], cli.EXIT_BAD_INPUT, "of at least 1"),
        (ONE_DAY + ["--nosuch"], cli.EXIT_BAD_INPUT, "unrecognized arguments: --nosuch"),
        (ONE_DAY + ["--end", "2023-12-01"], cli.EXIT_BAD_INPUT, "before start date"),
        (ONE_DAY + ["feed-down"], cli.EXIT_FAILED, "server down"),
    ],
)
@pytest.mark.parametrize("flag", ["--json", "--js"])
def test_json_is_one_object_on_standard_output_in_every_outcome(args, status, error, flag, run, capsys,
                                                                 monkeypatch):
    if "feed-down" in args:
        _feed_down(monkeypatch)
        args = [a for a in args if a != "feed-down"]
    assert run(*args, flag) == status
    out, err = capsys.readouterr()
    assert out.count("\n") == 1 and out.endswith("}\n")
    data = json.loads(out)
    if error is None:
        assert "error" not in data and data["ticks"] > 0
        assert "chatty starts" in err and "chatty sees a tick" in err
    else:
        assert data == {"error": data["error"], "exit_status": status} and error in data["error"]
        assert err.count("orva-backtest: error:") == 1 and data["error"] in err


def test_quiet_feed_failure_goes_to_standard_error_once(run, capsys, monkeypatch):
    _feed_down(monkeypatch)
    assert run(*ONE_DAY, "--quiet") == cli.EXIT_FAILED
    out, err = capsys.readouterr()
    assert out == ""
    failure_lines = [line for line in err.splitlines() if "server down" in line]
    # the feed's own line (shown once, though the day is tried three times) and the run's error line
    assert len(failure_lines) == 2 and failure_lines[-1].startswith("orva-backtest: error:")
