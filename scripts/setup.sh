#!/usr/bin/env bash
# Creates .venv on Python 3.10 and installs the package (built from source) with its test tools
# and, where it installs, Ray for cluster sweeps.
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
# Ray (the cluster extra) when it installs on this interpreter; without it the Ray tests skip.
if ! .venv/bin/python -m pip install -q ".[test,cluster]"; then
  echo "setup: Ray could not be installed for $("$PY" --version 2>&1); installing without the cluster extra" >&2
  .venv/bin/python -m pip install -q ".[test]"
fi
