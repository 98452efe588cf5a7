"""Writes the sample output in README.md ("Run a backtest") from a fresh run of the sample backtest.

    .venv/bin/python scripts/readme_sample.py           # rewrite the block between the markers
    .venv/bin/python scripts/readme_sample.py --check   # exit 1 when the README no longer matches

The run is the one `orva-backtest` makes with no arguments, on a new temporary data directory (so the
simulated ticks are generated afresh, as on a new install), printed as a pipe receives it. Its figures
are deterministic; only "Ticks per second" depends on the machine, and the check ignores that value.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import re
import sys
import tempfile
from typing import List

README = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "README.md")
BEGIN = "<!-- sample-output: written by scripts/readme_sample.py -->"
END = "<!-- /sample-output -->"


def sample_output(data_dir: str) -> str:
    """What `orva-backtest --no-report --no-progress` prints on standard output, lines right-stripped."""
    from orva_mero_backtest import cli
    from orva_mero_backtest.utils import console

    buffer = io.StringIO()
    # A FORCE_COLOR in the environment would make the console treat the buffer as a terminal.
    forced, console._force_terminal = console._force_terminal, False
    try:
        with contextlib.redirect_stdout(buffer):
            status = cli.main(["--no-report", "--no-progress", "--data-dir", data_dir])
    finally:
        console._force_terminal = forced
    if status != cli.EXIT_OK:
        raise SystemExit(f"the sample backtest failed with exit status {status}")
    return "\n".join(line.rstrip() for line in buffer.getvalue().strip("\n").splitlines())


def readme_block(readme: str) -> str:
    """The sample output as the README holds it (the indented code block between the markers)."""
    try:
        inside = readme[readme.index(BEGIN) + len(BEGIN):readme.index(END)]
    except ValueError:
        raise SystemExit(f"README.md has no {BEGIN} ... {END} block") from None
    return "\n".join(line[4:] for line in inside.strip("\n").splitlines())


def with_block(readme: str, output: str) -> str:
    start, end = readme.index(BEGIN) + len(BEGIN), readme.index(END)
    indented = "\n".join(f"    {line}" if line else "" for line in output.splitlines())
    return f"{readme[:start]}\n\n{indented}\n\n{readme[end:]}"


def comparable(output: str) -> List[str]:
    """The lines to compare: the ticks-per-second figure, which depends on the machine, blanked."""
    return [re.sub(r"(Ticks per second\s*│)[\s\d,]*│", r"\1 … │", line) for line in output.splitlines()]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="compare only; exit 1 when the README differs")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="readme-sample-") as data_dir:
        output = sample_output(data_dir)
    with open(README, encoding="utf-8") as f:
        readme = f.read()
    if args.check:
        if comparable(readme_block(readme)) != comparable(output):
            print("README.md's sample output differs from a fresh run; run scripts/readme_sample.py", file=sys.stderr)
            return 1
        return 0
    updated = with_block(readme, output)
    if updated != readme:
        with open(README, "w", encoding="utf-8") as f:
            f.write(updated)
    return 0


if __name__ == "__main__":
    sys.exit(main())
