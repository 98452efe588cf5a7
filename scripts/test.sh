#!/usr/bin/env bash
# Runs the test suite.
#   ./scripts/test.sh            every pass CI runs: .venv (Python 3.10) with the CPython-internals
#                                shortcuts on, again with them off (ORVA_MERO_BACKTEST_FASTPATHS=0;
#                                without the sweep tests, as the sanitizer pass),
#                                .venv-next (the newest Python set up) when it exists, and the
#                                sanitizer build (scripts/sanitize.sh) unless ORVA_SKIP_SANITIZE=1
#   ./scripts/test.sh ARGS...    one pass in .venv with these pytest arguments
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -gt 0 ]; then
  exec .venv/bin/python -m pytest -q "$@"
fi
pass() {  # pass <label> <python> [VAR=value...] [-- pytest arguments]
  local label=$1 py=$2
  shift 2
  local vars=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do vars+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  echo "== $label"
  env "${vars[@]}" "$py" -m pytest -q -p no:cacheprovider "$@"
}
# The passes that vary only the native build leave out the sweep tests: they drive worker processes and
# a Ray cluster in Python, over the same native calls the driver tests cover (and take a third of a pass).
NATIVE_ONLY=(--ignore=tests/test_sweep.py)
pass "Python 3.10, shortcuts on" .venv/bin/python
pass "Python 3.10, shortcuts off" .venv/bin/python ORVA_MERO_BACKTEST_FASTPATHS=0 -- "${NATIVE_ONLY[@]}"
if [ -x .venv-next/bin/python ]; then
  pass "$(.venv-next/bin/python -c 'import platform; print("Python", platform.python_version())')" .venv-next/bin/python
fi
if [ "${ORVA_SKIP_SANITIZE:-0}" != 1 ]; then
  echo "== Python 3.10, AddressSanitizer + UndefinedBehaviorSanitizer"
  ./scripts/sanitize.sh "${NATIVE_ONLY[@]}"
fi
