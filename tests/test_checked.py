"""Cache files are checked once: a file that passed is not read again until it or the checks change."""

import os

import pytest

from orva_mero_backtest.data import checked
from orva_mero_backtest.errors import DataError


@pytest.fixture(autouse=True)
def fresh_ledger(tmp_path, monkeypatch):
    monkeypatch.setenv(checked.LEDGER_ENV, str(tmp_path / "ledger"))
    monkeypatch.setattr(checked, "_known", {})
    monkeypatch.setattr(checked, "_loaded", set())


def make(tmp_path, name, text):
    path = tmp_path / "cache" / name
    path.parent.mkdir(exist_ok=True)
    path.write_text(text)
    return str(path)


def counting():
    """A check that records the files it reads; "bad" in a file fails it."""
    read = []

    def check(path):
        read.append(os.path.basename(path))
        with open(path) as f:
            if "bad" in f.read():
                raise DataError(f"{path} is damaged")

    check.read = read
    return check


def test_a_file_that_passed_is_read_once_until_it_changes(tmp_path):
    check = counting()
    a, b = make(tmp_path, "a", "good"), make(tmp_path, "b", "good")
    checked.check_once([a, b], check)
    checked.check_once([a, b], check)
    assert check.read == ["a", "b"]
    with open(b, "w") as f:
        f.write("bad, and longer")
    with pytest.raises(DataError, match="damaged"):
        checked.check_once([a, b], check)
    assert check.read == ["a", "b", "b"]
    with pytest.raises(DataError):  # a failure is never remembered as a pass
        checked.check_once([b], check)


def test_the_ledger_carries_passes_to_the_next_process_under_the_same_checks(tmp_path, monkeypatch):
    check = counting()
    a = make(tmp_path, "a", "good")
    checked.check_once([a], check)
    monkeypatch.setattr(checked, "_known", {})  # as a new process starts
    monkeypatch.setattr(checked, "_loaded", set())
    checked.check_once([a], check)
    assert check.read == ["a"]
    assert os.listdir(tmp_path / "cache") == ["a"]  # nothing written beside the data

    def other_rules(path):
        check(path)
        return None

    checked.check_once([a], other_rules)  # changed checks: read again
    assert check.read == ["a", "a"]


def test_a_damaged_ledger_means_checking_again(tmp_path):
    check = counting()
    a = make(tmp_path, "a", "good")
    checked.check_once([a], check)
    for name in os.listdir(tmp_path / "ledger"):
        (tmp_path / "ledger" / name).write_text("{not json")
    checked._known.clear()
    checked._loaded.clear()
    checked.check_once([a], check)
    assert check.read == ["a", "a"]
