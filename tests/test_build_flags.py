"""The internals flags of src/native/fastpaths.hpp can each be compiled out from the build
(ORVA_FLAGS_OFF), and benchmarks/flag_costs.py sees which of them an interpreter uses."""

import pathlib
import re
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "benchmarks"))

import flag_costs  # noqa: E402


def test_every_flag_the_sources_use_is_one_the_build_can_set():
    # A flag defined without its #ifndef guard (or under another name) cannot be turned off alone.
    used = set()
    for path in (ROOT / "src").rglob("*.[ch]pp"):
        used |= set(re.findall(r"\bORVA_USE_([A-Z0-9_]+)", path.read_text()))
    known = flag_costs.header_flags()
    assert len(known) == len(set(known))
    assert sorted(used - set(known)) == []


def test_the_flags_an_interpreter_uses_are_seen_from_its_headers():
    import sysconfig

    on = flag_costs.flags_on_by_default(flag_costs.header_flags(), sysconfig.get_paths()["include"])
    newer = sys.version_info >= (3, 12)
    # Version tags before 3.12, the watchers that replace them from 3.12: never both, never neither.
    assert ({"DICT_VERSIONS", "TYPE_VERSIONS"} & set(on)) == (set() if newer else {"DICT_VERSIONS", "TYPE_VERSIONS"})
    assert ({"TYPE_WATCHERS", "DICT_WATCHERS"} & set(on)) == ({"TYPE_WATCHERS", "DICT_WATCHERS"} if newer else set())
    assert ("ENTRY_HINTS" in on) is newer
    assert "DICT_PTR" in on


def test_costs_per_tick_and_per_order():
    counts = {"empty": (1_000_000, 100), "orders": (9_000_000, 1_005), "counting": (4_000_000, 1_005)}
    assert flag_costs.costs(counts, 10) == {"per_tick": 10_000, "per_order": 50_000, "ticks": 100, "orders": 100}


@pytest.mark.skipif(not shutil.which("cmake"), reason="needs cmake")
@pytest.mark.parametrize("value, defined", [
    ("dict_layout,ORVA_USE_ENTRY_HINTS", "ORVA_USE_DICT_LAYOUT=0;ORVA_USE_ENTRY_HINTS=0"),
    ("LOCK_LAYOUT;BOGUS", None),
])
def test_cmake_compiles_out_named_flags_and_refuses_unknown_ones(tmp_path, value, defined):
    done = subprocess.run(["cmake", "-S", str(ROOT), "-B", str(tmp_path / "b"), f"-DPython_EXECUTABLE={sys.executable}",
                           f"-DORVA_FLAGS_OFF={value}"], capture_output=True, text=True, timeout=120)
    out = done.stdout + done.stderr
    if defined:
        assert done.returncode == 0, out
        assert f"Compiled out: {defined}" in out
    else:
        assert done.returncode != 0
        assert "unknown flag 'BOGUS'" in out
        assert all(name in out for name in flag_costs.header_flags()), out


def test_counts_are_kept_until_what_they_depend_on_changes(tmp_path, monkeypatch):
    site = tmp_path / "flags-X-3.x" / "site"
    (site / "pkg").mkdir(parents=True)
    module = site / "pkg" / "engine.so"
    module.write_bytes(b"one")
    calls = []
    monkeypatch.setattr(flag_costs, "count", lambda python, site, kind, days: calls.append(kind) or (len(calls), 7))
    run = lambda kind="empty", days="2": flag_costs.cached_count(sys.executable, site, kind, days)  # noqa: E731
    assert run() == (1, 7)
    assert run() == (1, 7)  # kept
    (site / "pkg" / "__pycache__").mkdir()
    (site / "pkg" / "__pycache__" / "x.pyc").write_bytes(b"written by an import")
    assert run() == (1, 7)
    assert run("orders") == (2, 7)  # each kind its own
    module.write_bytes(b"two")
    assert run() == (3, 7)
    assert run(days="3") == (4, 7)
    assert calls == ["empty", "orders", "empty", "empty"]
