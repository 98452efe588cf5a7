"""The passes that vary only the native build leave out exactly the files conftest lists (--native-only)."""

import os
import pathlib
import subprocess
import sys

from conftest import PYTHON_ONLY

TESTS = pathlib.Path(__file__).resolve().parent


def test_every_listed_file_exists():
    # A renamed file whose old name stays listed would quietly come back into every pass.
    assert sorted(name for name in PYTHON_ONLY if not (TESTS / name).is_file()) == []


def test_native_only_leaves_out_the_listed_files():
    # One listed file and one not, named on the command line (the passes name the folder instead).
    args = [sys.executable, "-m", "pytest", "--collect-only", "-q", "-p", "no:cacheprovider", "-p", "no:xdist",
            "--native-only", "tests/test_summary_units.py", "tests/test_positions.py"]
    done = subprocess.run(args, cwd=TESTS.parent, capture_output=True, text=True, timeout=120,
                          env=dict(os.environ, PYTEST_ADDOPTS=""))
    assert done.returncode == 0, done.stdout + done.stderr
    collected = {line.split("::")[0].rsplit("/", 1)[-1] for line in done.stdout.splitlines() if "::" in line}
    assert collected == {"test_positions.py"}
    assert "deselected" in done.stdout
