import pytest

from orva_mero_backtest.constant import BASIC_INFO


@pytest.fixture(autouse=True)
def data_dir(tmp_path, monkeypatch):
    """Every test gets its own data directory."""
    path = tmp_path / "data"
    monkeypatch.setattr(BASIC_INFO, "data_dir", str(path))
    return path
