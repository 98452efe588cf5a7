"""The orva-backtest command: a small run end to end, and refusals of bad input."""

import csv
import json
import os
import subprocess
import sys

import pytest

from orva_mero_backtest import cli, report

SMALL = ["--stock", "2412", "--future", "TMFR1", "--start", "2024-01-02"]


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    cwd = tmp_path / "cwd"
    cwd.mkdir()
    monkeypatch.chdir(cwd)
    return cwd


def data_args(tmp_path):
    return ["--data-dir", str(tmp_path / "cli-data")]


def report_folders(cwd):
    reports = cwd / "reports"
    return sorted(os.listdir(reports)) if reports.exists() else []


def test_small_run_writes_the_report(workdir, tmp_path, capsys, monkeypatch):
    progress = []
    monkeypatch.setattr(cli, "_progress_hook", progress.append)
    assert cli.main(SMALL + data_args(tmp_path) + ["--name", "r1", "--param", "bo_lookback=5"]) == 0
    out = capsys.readouterr().out
    assert progress and progress[-1].fraction == 1.0 and progress[-1].ticks > 5000
    for text in ("Ticks per second", "Commission", "Realized P&L", "Final positions", "Report written to"):
        assert text in out
    assert report_folders(workdir) == ["r1"]
    folder = workdir / "reports" / "r1"
    assert sorted(os.listdir(folder)) == sorted(
        [report.FILLS_CSV, report.TRADES_CSV, report.POSITIONS_CSV, report.SUMMARY_JSON, report.PICTURE,
         report.EQUITY_CSV, report.ROUND_TRIPS_CSV, report.HTML])
    assert (folder / report.PICTURE).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    summary = json.loads((folder / report.SUMMARY_JSON).read_text(encoding="utf-8"))
    with open(folder / report.FILLS_CSV, encoding="utf-8") as f:
        fills = list(csv.DictReader(f))
    with open(folder / report.TRADES_CSV, encoding="utf-8") as f:
        trades = list(csv.DictReader(f))
    assert summary["fills"] == len(fills) > 0 and summary["orders"] == len(trades)
    assert summary["ticks"] > 5000 and summary["backfill_ticks"] == 0
    assert {row["code"] for row in fills} <= {"2412", "TMFR1"}
    assert fills[0]["time"].startswith("2024-01-02 ")
    # the tick cache went to the data directory (the simulated broker's own root), not to the working directory
    assert os.listdir(tmp_path / "cli-data" / "simulated" / "mero" / "ticks")
    assert not (tmp_path / "cli-data" / "mero").exists()
    assert not (workdir / "mero").exists()


def test_no_arguments_mean_the_sample_backtest():
    backtest = cli.make_backtest(cli.build_parser().parse_args([]))
    assert [(i.code, i.market) for i in backtest.instruments] == [("2330", "Stock"), ("TXFR1", "Future")]
    assert (backtest.start, backtest.end) == (cli.SAMPLE_START, cli.SAMPLE_END)
    assert (backtest.backfill_start, backtest.backfill_end) == cli.SAMPLE_BACKFILL
    assert backtest.strategy.name == "sample"


@pytest.mark.parametrize(
    "args, message",
    [
        (["--stock", "9999", "--start", "2024-01-02"], "unknown instrument 9999"),
        (["--future", "2330", "--start", "2024-01-02"], "unknown instrument 2330"),
        (["--start", "2024-01-32"], "not a calendar day"),
        (["--start", "yesterday"], "YYYY-MM-DD"),
        (["--start", "2024-01-05", "--end", "2024-01-02"], "before start date"),
        (["--end", "2024-01-02"], "--start is required"),
        (["--start", "2024-01-02", "--backfill-start", "2024-01-02"], "must end before"),
        (["--strategy", "nope"], "unknown strategy"),
        (["--param", "ma_fast"], "KEY=VALUE"),
        (["--param", "ma_fast=x"], "needs an int (whole number)"),
        (["--cost", "stock_tax_rate=-1"], ">= 0"),
        (["--broker", "shioaji"], "ORVA_SHIOAJI_API_KEY"),
        (["--no-such-option"], "unrecognized arguments"),
        (["--latency-ms", "1,2,3"], "needs ENTRY or ENTRY,CANCEL"),
        (["--latency-ms", "5,-1"], ">= 0"),
    ],
)
def test_bad_input_gives_one_line_and_no_report(args, message, workdir, tmp_path, capsys, monkeypatch):
    monkeypatch.delenv(cli.API_KEY_ENV, raising=False)
    assert cli.main(args + data_args(tmp_path) + ["--no-progress"]) == cli.EXIT_BAD_INPUT
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith("orva-backtest: error: ") and message in err
    assert report_folders(workdir) == []


def test_strategy_failure_leaves_no_report(workdir, tmp_path, capsys, monkeypatch):
    (tmp_path / "boom_strategy.py").write_text(
        "from orva_mero_backtest.strategy import Strategy\n"
        "class Boom(Strategy):\n"
        "    name = 'boom'\n"
        "    def on_deal(self, ctx, deal):\n"
        "        raise RuntimeError('no\\nway')\n"
        "    def on_tick(self, ctx, tick):\n"
        "        if not ctx.open_orders() and ctx.position(tick['code']) == 0:\n"
        "            ctx.buy(tick['code'], 1, order_type='IOC')\n"
    )
    monkeypatch.syspath_prepend(str(tmp_path))
    code = cli.main(["--stock", "2412", "--start", "2024-01-02", "--strategy", "boom_strategy:Boom", "--no-progress"]
                    + data_args(tmp_path))
    assert code == cli.EXIT_FAILED
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "strategy boom raised in on_deal at 2412 2024-01-02" in err
    assert "RuntimeError: no way" in err
    assert report_folders(workdir) == []


def test_failure_while_writing_the_report_leaves_no_folder(workdir, tmp_path, capsys, monkeypatch):
    def broken_plot(result, path):
        open(path, "wb").close()
        raise OSError("disk full")

    monkeypatch.setattr(report, "plot", broken_plot)
    assert cli.main(["--stock", "2412", "--start", "2024-01-02", "--no-progress"] + data_args(tmp_path)) != 0
    assert "disk full" in capsys.readouterr().err
    assert report_folders(workdir) == []


def test_module_entry_point(tmp_path):
    env = dict(os.environ, ORVA_MERO_BACKTEST_DATA_DIR=str(tmp_path / "data"))
    done = subprocess.run(
        [sys.executable, "-m", "orva_mero_backtest", "--stock", "2412", "--start", "2024-01-02", "--no-progress",
         "--name", "run"],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120,
    )
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""  # nothing from the daemon threads at interpreter exit either
    assert "Report written to" in done.stdout
    assert (tmp_path / "reports" / "run" / report.PICTURE).exists()


# --- statistics, output modes, exit statuses -----------------------------------------------------

STATISTIC_KEYS = ("net_pnl", "max_drawdown", "max_drawdown_pct", "sharpe", "sortino", "round_trips", "win_rate",
                  "profit_factor", "exposure")


def test_json_quiet_prints_one_json_object_and_nothing_else(workdir, tmp_path, capsys):
    assert cli.main(SMALL + data_args(tmp_path) + ["--json", "--quiet", "--no-report"]) == 0
    captured = capsys.readouterr()
    assert captured.out.count("\n") == 1 and captured.err == ""
    data = json.loads(captured.out)
    for key in STATISTIC_KEYS:
        assert key in data, key
    assert data["round_trips"] > 0 and 0 <= data["win_rate"] <= 1 and 0 < data["exposure"] <= 1
    assert data["report"] is None and data["capital"] == cli.DEFAULT_CAPITAL
    assert report_folders(workdir) == []


def test_quiet_prints_nothing(workdir, tmp_path, capsys):
    assert cli.main(SMALL + data_args(tmp_path) + ["--quiet", "--name", "q"]) == 0
    assert capsys.readouterr() == ("", "")
    assert report_folders(workdir) == ["q"]


class _TableParser(__import__("html.parser").parser.HTMLParser):
    """Collects the tables' cells and the scripts of an HTML page."""

    def __init__(self):
        super().__init__()
        self.tables, self.scripts, self.sources, self._cell, self._script = {}, [], [], None, False

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "table":
            self._rows = self.tables.setdefault(attrs.get("id"), [])
        elif tag == "tr":
            self._rows.append([])
        elif tag in ("td", "th"):
            self._cell = ""
        elif tag == "script":
            self._script = True
            self.scripts.append("")
            if attrs.get("src"):
                self.sources.append(attrs["src"])
        for name in ("src", "href"):
            if attrs.get(name, "").startswith(("http:", "https:", "//")):
                self.sources.append(attrs[name])

    def handle_endtag(self, tag):
        if tag in ("td", "th"):
            self._rows[-1].append(self._cell)
            self._cell = None
        elif tag == "script":
            self._script = False

    def handle_data(self, data):
        if self._cell is not None:
            self._cell += data
        if self._script:
            self.scripts[-1] += data


def test_report_files_and_offline_html(workdir, tmp_path, capsys):
    assert cli.main(SMALL + data_args(tmp_path) + ["--name", "h", "--no-progress", "--capital", "5000000"]) == 0
    out = capsys.readouterr().out
    for text in ("Max drawdown", "Sharpe", "Win rate", "Profit factor", "Exposure", "Round trips"):
        assert text in out
    folder = workdir / "reports" / "h"
    summary = json.loads((folder / report.SUMMARY_JSON).read_text(encoding="utf-8"))
    assert summary["capital"] == 5_000_000 and all(k in summary for k in STATISTIC_KEYS)
    with open(folder / report.ROUND_TRIPS_CSV, encoding="utf-8") as f:
        trips = list(csv.DictReader(f))
    with open(folder / report.EQUITY_CSV, encoding="utf-8") as f:
        equity = list(csv.DictReader(f))
    assert list(equity[0]) == ["time", "equity", "drawdown"] and equity[0]["time"].startswith("2024-01-02 ")
    assert max(float(r["drawdown"]) for r in equity) == pytest.approx(summary["max_drawdown"], abs=1e-3)
    assert len(trips) == summary["round_trips"] > 0
    # The run ends flat: the round trips' net P&L is the run's.
    assert all(q == 0 for q in summary["positions"].values())
    assert sum(float(t["net_pnl"]) for t in trips) == pytest.approx(summary["net_pnl"], abs=0.01)

    page = _TableParser()
    page.feed((folder / report.HTML).read_text(encoding="utf-8"))
    assert page.sources == []  # nothing fetched: opens offline
    assert any("Plotly.newPlot" in s for s in page.scripts) and max(map(len, page.scripts)) > 1_000_000
    chart = next(s for s in page.scripts if "Plotly.newPlot" in s)
    assert equity[1]["time"] in chart
    stat_rows = dict(row for row in page.tables["statistics"][1:])
    assert stat_rows["Round trips"] == str(summary["round_trips"]) and "Sharpe (daily, annualised)" in stat_rows
    assert len(page.tables["round-trips"]) == len(trips) + 1


def test_slippage_ticks_make_the_result_worse(workdir, tmp_path, capsys):
    runs = []
    for extra in ([], ["--slippage-ticks", "2"]):
        assert cli.main(SMALL + data_args(tmp_path) + ["--json", "--quiet", "--no-report"] + extra) == 0
        runs.append(json.loads(capsys.readouterr().out))
    plain, slipped = runs
    assert (plain["slippage_ticks"], slipped["slippage_ticks"]) == (0, 2)
    assert slipped["net_pnl"] < plain["net_pnl"]


STRATEGIES = '''
import sys, time
from orva_mero_backtest.strategy import Strategy

class Quit(Strategy):
    name = "quit"
    def on_tick(self, ctx, tick):
        sys.exit("had enough")

class Own(BaseException):
    pass

class Odd(Strategy):
    name = "odd"
    def on_tick(self, ctx, tick):
        raise Own("odd one")

class Slow(Strategy):
    name = "slow"
    started = False
    def on_tick(self, ctx, tick):
        if not self.started:
            self.started = True
            print("started", file=sys.stderr, flush=True)
        time.sleep(0.001)
'''


@pytest.fixture
def user_strategies(tmp_path, monkeypatch):
    (tmp_path / "user_strategies.py").write_text(STRATEGIES)
    monkeypatch.syspath_prepend(str(tmp_path))
    return tmp_path


@pytest.mark.parametrize("strategy, message", [("Quit", "SystemExit: had enough"), ("Odd", "Own: odd one")])
def test_a_strategy_ending_the_run_is_a_failure(strategy, message, workdir, tmp_path, user_strategies, capsys):
    args = ["--stock", "2412", "--start", "2024-01-02", "--strategy", f"user_strategies:{strategy}", "--no-progress"]
    assert cli.main(args + data_args(tmp_path)) == cli.EXIT_FAILED
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and message in err and "Traceback" not in err
    assert report_folders(workdir) == []


def test_a_feed_failure_during_the_run_is_exit_1(workdir, tmp_path, capsys, monkeypatch):
    def broken(self):
        raise cli.BacktestError("the tick feed sent nothing for 600 seconds")

    monkeypatch.setattr(cli.Backtest, "run", broken)
    assert cli.main(SMALL + data_args(tmp_path) + ["--no-progress"]) == cli.EXIT_FAILED
    assert "tick feed sent nothing" in capsys.readouterr().err


@pytest.mark.parametrize(
    "args, message",
    [
        (["--name", ""], "plain folder name"),
        (["--name", "a/b"], "plain folder name"),
        (["--name", "../x"], "plain folder name"),
        (["--name", ".."], "plain folder name"),
        (["--cost", "stock_tax_rate=nan"], "finite"),
        (["--cost", "future_commission_per_contract=inf"], "finite"),
        (["--cost", "future_multipliers.TXF=0"], "above 0"),
        (["--capital", "0"], "above 0"),
        (["--capital", "nan"], "above 0"),
        (["--slippage-ticks", "-1"], ">= 0"),
        (["--slippage-ticks", "x"], "whole number"),
    ],
)
def test_bad_input_is_refused_before_the_run(args, message, workdir, tmp_path, capsys, monkeypatch):
    monkeypatch.setattr(cli.Backtest, "run", lambda self: pytest.fail("the run started"))
    assert cli.main(SMALL + data_args(tmp_path) + args) == cli.EXIT_BAD_INPUT
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and message in err
    assert report_folders(workdir) == []


def test_help_documents_the_exit_statuses(capsys):
    assert cli.main(["--help"]) == 0
    out = capsys.readouterr().out
    for text in ("exit status", "130", "bad input", "--json", "--slippage-ticks", "--capital", "--no-report"):
        assert text in out


@pytest.mark.parametrize("delay", [0.0, 0.5])
def test_ctrl_c_during_a_run(delay, tmp_path, user_strategies):
    import signal
    import time

    env = dict(os.environ, PYTHONPATH=str(user_strategies), ORVA_MERO_BACKTEST_DATA_DIR=str(tmp_path / "data"))
    child = subprocess.Popen(
        [sys.executable, "-m", "orva_mero_backtest", "--stock", "2412", "--start", "2024-01-02", "--no-progress",
         "--strategy", "user_strategies:Slow", "--name", "cc"],
        cwd=tmp_path, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    try:
        assert child.stderr.readline() == "started\n"
        time.sleep(delay)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=20)
    finally:
        child.kill()
    assert child.returncode == 130, err
    assert err == "orva-backtest: error: interrupted\n"
    assert not (tmp_path / "reports").exists() or os.listdir(tmp_path / "reports") == []


@pytest.mark.parametrize("extra, model, latency, cancel, queue", [
    ([], "quote", 0.0, 0.0, "conservative"),
    (["--fills", "trade"], "trade", 0.0, 0.0, "conservative"),
    (["--fills", "quote", "--latency-ms", "250"], "quote", 250.0, 0.0, "conservative"),
    (["--latency-ms", "250, 40", "--queue", "proportional"], "quote", 250.0, 40.0, "proportional"),
])
def test_the_fill_model_is_chosen_and_stated_in_the_summary(workdir, tmp_path, capsys, extra, model, latency, cancel,
                                                           queue):
    assert cli.main(SMALL + data_args(tmp_path) + ["--json", "--quiet", "--no-report"] + extra) == 0
    data = json.loads(capsys.readouterr().out)
    assert (data["fill_model"], data["latency_ms"], data["cancel_latency_ms"], data["queue_model"]) == (
        model, latency, cancel, queue)
