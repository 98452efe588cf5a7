"""The README's sample output is what a fresh build prints for the sample backtest."""

import importlib.util
import os

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


@pytest.fixture(scope="module")
def sample():
    found = importlib.util.spec_from_file_location("readme_sample", os.path.join(ROOT, "scripts", "readme_sample.py"))
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def test_the_readme_shows_what_the_sample_backtest_prints(sample, tmp_path):
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        shown = sample.readme_block(f.read())
    printed = sample.sample_output(str(tmp_path / "data"))
    assert sample.comparable(shown) == sample.comparable(printed), (
        "README.md's sample output is out of date: run scripts/readme_sample.py")


def test_the_block_written_is_the_block_read(sample):
    readme = f"intro\n\n{sample.BEGIN}\n\n    old\n\n{sample.END}\n\nrest\n"
    output = "Title\n┌──┐\n│ Ticks per second │ 48,735 │\n\n└──┘"
    updated = sample.with_block(readme, output)
    assert updated.startswith("intro\n\n") and updated.endswith(f"{sample.END}\n\nrest\n")
    assert sample.readme_block(updated) == output
    assert sample.comparable("│ Ticks per second │ 48,735 │") == sample.comparable("│ Ticks per second │  1,234 │")
    assert sample.comparable("│ Ticks │ 51,900 │") != sample.comparable("│ Ticks │ 51,901 │")
