#!/usr/bin/env bash
# Runs the whole test suite against the package installed in .venv.
set -euo pipefail
cd "$(dirname "$0")/.."
exec .venv/bin/python -m pytest -q "$@"
