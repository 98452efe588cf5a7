#!/usr/bin/env bash
# Runs the test suite.
#   ./scripts/test.sh            every pass CI runs: .venv (Python 3.10) with the CPython-internals
#                                shortcuts on; again with them off at run time
#                                (ORVA_MERO_BACKTEST_FASTPATHS=0) and compiled out (-DORVA_FASTPATHS=OFF),
#                                both without the sweep and search tests, as the sanitizer pass; .venv-next (the
#                                newest Python set up) when it exists; the sanitizer build
#                                (scripts/sanitize.sh) unless ORVA_SKIP_SANITIZE=1; and the speed check
#                                across interpreters (benchmarks/interpreters.py --guard) unless
#                                ORVA_SKIP_SPEED=1
#                                Each pass spreads its tests over ORVA_TEST_JOBS processes (pytest-xdist;
#                                default 2, 0 runs them in one process): most of a pass is waiting on
#                                threads and child processes, not computing.
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
  env "${vars[@]}" "$py" -m pytest -q -p no:cacheprovider "${JOBS[@]}" "$@"
}
JOBS=()
[ "${ORVA_TEST_JOBS:-2}" != 0 ] && JOBS=(-n "${ORVA_TEST_JOBS:-2}")
# The passes that vary only the native build leave out the sweep tests (grids and searches): they drive
# worker processes, Optuna and a Ray cluster in Python, over the same native calls the driver tests
# cover (and take a third of a pass).
NATIVE_ONLY=(--ignore=tests/test_sweep.py --ignore=tests/test_sweep_search.py)
# The other builds compile while the first passes run: those mostly wait on threads and child processes.
mkdir -p build
SANITIZE=0
[ "${ORVA_SKIP_SANITIZE:-0}" != 1 ] && SANITIZE=1
(
  ./scripts/build_variant.sh plain -C cmake.define.ORVA_FASTPATHS=OFF
  [ $SANITIZE = 1 ] && ./scripts/sanitize.sh --build-only
  true
) > build/variants.log 2>&1 &
variants=$!
pass "Python 3.10, shortcuts on" .venv/bin/python
pass "Python 3.10, shortcuts off at run time" .venv/bin/python ORVA_MERO_BACKTEST_FASTPATHS=0 -- "${NATIVE_ONLY[@]}"
if ! wait $variants; then
  cat build/variants.log >&2
  echo "test: building the compiled-out or the sanitized variant failed" >&2
  exit 1
fi
PYTHONPATH="$PWD/build/plain/site" .venv/bin/python -c \
  "import orva_mero_backtest.modules.matcher.matcher as m; assert 'build/plain/site' in m.__file__, m.__file__"
pass "Python 3.10, shortcuts compiled out" .venv/bin/python PYTHONPATH="$PWD/build/plain/site" -- "${NATIVE_ONLY[@]}"
if [ -x .venv-next/bin/python ]; then
  pass "$(.venv-next/bin/python -c 'import platform; print("Python", platform.python_version())')" .venv-next/bin/python
fi
if [ $SANITIZE = 1 ]; then
  echo "== Python 3.10, AddressSanitizer + UndefinedBehaviorSanitizer"
  ORVA_SANITIZE_BUILT=1 ./scripts/sanitize.sh "${JOBS[@]}" "${NATIVE_ONLY[@]}"
fi
if [ "${ORVA_SKIP_SPEED:-0}" != 1 ] && [ -x .venv-next/bin/python ]; then
  # A ratio within one run: an interpreter that takes a slow path (a 10x cliff) fails, noise does not.
  echo "== Speed across interpreters (empty strategy)"
  BENCH_RUNS=3 .venv/bin/python benchmarks/interpreters.py --guard 0.333 --cases empty
fi
