"""The extension modules are built for a dense tick path: no PLT stubs between them and libpython."""

import importlib
import pathlib
import shutil
import subprocess

import pytest

MODULES = ["engine", "matcher", "ticker"]


def readelf(*args):
    done = subprocess.run(["readelf", *args], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.mark.skipif(shutil.which("readelf") is None, reason="needs binutils' readelf")
@pytest.mark.parametrize("name", MODULES)
def test_calls_into_libpython_go_through_the_got(name):
    path = pathlib.Path(importlib.import_module(f"orva_mero_backtest.modules.{name}.{name}").__file__)
    if "GCC:" not in readelf("-p", ".comment", str(path)):
        pytest.skip("built by another compiler: the layout flags are GCC's")
    relocations = readelf("-rW", str(path))
    # A lazily bound call (R_X86_64_JUMP_SLOT and the like) means a PLT stub on the path.
    stubs = [line.split()[-3] for line in relocations.splitlines() if "JUMP_SLOT" in line and " Py" in line]
    assert stubs == [], f"{path.name} calls libpython through the PLT: {stubs[:5]}"
