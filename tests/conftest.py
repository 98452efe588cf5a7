import pathlib

import pytest

from orva_mero_backtest.constant import BASIC_INFO

# Test files whose tests exercise no native code of their own: reporting, statistics, command-line
# parsing, importers, sweeps. Some run a whole backtest on the way (the CLI's, the README's, a sweep's
# rows), through the same native calls the driver's and engine's own tests make. The passes that vary
# only the native build (shortcuts off at run time, compiled out, sanitized) run with --native-only and
# leave these files out; every other pass runs them. A file that drives the native modules in a way no
# other file does comes off this list.
PYTHON_ONLY = {
    "test_bars.py",
    "test_build_flags.py",
    "test_calendar_cache.py",
    "test_checked.py",
    "test_cli.py",
    "test_cli_output.py",
    "test_import_fuzz.py",
    "test_importer.py",
    "test_layout.py",
    "test_readme_example.py",
    "test_readme_sample.py",
    "test_sim_broker.py",
    "test_stats.py",
    "test_strategy_loading.py",
    "test_suite_selection.py",
    "test_summary_units.py",
    "test_sweep.py",
    "test_sweep_search.py",
    "test_sweep_workers.py",
    "test_tearsheet.py",
}


def pytest_addoption(parser):
    parser.addoption("--native-only", action="store_true",
                     help="leave out the test files that exercise no native code (tests/conftest.py's PYTHON_ONLY)")


def pytest_ignore_collect(collection_path: pathlib.Path, config):
    # Left out before collection where pytest walks a folder, so that their imports (sweeps, Optuna,
    # pandas) cost nothing either.
    if config.getoption("--native-only") and collection_path.name in PYTHON_ONLY:
        return True
    return None


def pytest_collection_modifyitems(config, items):
    # Files named on the command line are collected all the same: their tests are deselected.
    if not config.getoption("--native-only"):
        return
    left_out = [item for item in items if item.path.name in PYTHON_ONLY]
    if left_out:
        config.hook.pytest_deselected(items=left_out)
        items[:] = [item for item in items if item.path.name not in PYTHON_ONLY]


@pytest.fixture(autouse=True)
def data_dir(tmp_path, monkeypatch):
    """Every test gets its own data directory."""
    path = tmp_path / "data"
    monkeypatch.setattr(BASIC_INFO, "data_dir", str(path))
    return path
