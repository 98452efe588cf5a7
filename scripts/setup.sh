#!/usr/bin/env bash
# Creates .venv on Python 3.10 and installs the package (built from source) with its test tools.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-}
if [ -z "$PY" ]; then
  if command -v pyenv >/dev/null 2>&1 && PYENV_VERSION=3.10.13 pyenv which python3.10 >/dev/null 2>&1; then
    PY=$(PYENV_VERSION=3.10.13 pyenv which python3.10)
  else
    PY=$(command -v python3.10 || command -v python3)
  fi
fi
"$PY" -m venv .venv
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q ".[test]"
