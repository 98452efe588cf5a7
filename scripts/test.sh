#!/usr/bin/env bash
# Runs the test suite.
#   ./scripts/test.sh            every pass CI runs: .venv (Python 3.10) with the CPython-internals
#                                shortcuts on, again with them off (ORVA_MERO_BACKTEST_FASTPATHS=0),
#                                .venv-next (the newest Python set up) when it exists, and the
#                                sanitizer build (scripts/sanitize.sh) unless ORVA_SKIP_SANITIZE=1
#   ./scripts/test.sh ARGS...    one pass in .venv with these pytest arguments
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -gt 0 ]; then
  exec .venv/bin/python -m pytest -q "$@"
fi
pass() {  # pass <label> <python> [VAR=value...]
  local label=$1 py=$2
  shift 2
  echo "== $label"
  env "$@" "$py" -m pytest -q -p no:cacheprovider
}
pass "Python 3.10, shortcuts on" .venv/bin/python
pass "Python 3.10, shortcuts off" .venv/bin/python ORVA_MERO_BACKTEST_FASTPATHS=0
if [ -x .venv-next/bin/python ]; then
  pass "$(.venv-next/bin/python -c 'import platform; print("Python", platform.python_version())')" .venv-next/bin/python
fi
if [ "${ORVA_SKIP_SANITIZE:-0}" != 1 ]; then
  echo "== Python 3.10, AddressSanitizer + UndefinedBehaviorSanitizer"
  ./scripts/sanitize.sh
fi
