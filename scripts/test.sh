#!/usr/bin/env bash
# Runs the test suite.
#   ./scripts/test.sh            every pass CI runs: .venv (Python 3.10) with the CPython-internals
#                                shortcuts on (the whole suite); again with them off at run time
#                                (ORVA_MERO_BACKTEST_FASTPATHS=0) and compiled out (-DORVA_FASTPATHS=OFF);
#                                .venv-next (the newest Python set up) and any .venv-3.* (PYTHON_EXTRA in
#                                scripts/setup.sh), the whole suite each; the sanitizer build
#                                (scripts/sanitize.sh) unless ORVA_SKIP_SANITIZE=1; and the speed check
#                                across interpreters (benchmarks/interpreters.py --guard) unless
#                                ORVA_SKIP_SPEED=1.
#                                The passes that vary only the native build (off at run time, compiled
#                                out, sanitized) run with pytest's --native-only: they leave out the test
#                                files that exercise no native code of their own (reporting, statistics,
#                                command-line parsing, importers, sweeps), listed in one place,
#                                PYTHON_ONLY in tests/conftest.py.
#                                The tests that start a Ray cluster (marker "ray") run once, in the
#                                .venv-next pass when Ray is installed there (else in the first pass):
#                                the Ray engine is Python code, the same on every interpreter, and a
#                                cluster's start costs more than the rest of its test.
#                                Each pass spreads its tests over ORVA_TEST_JOBS processes (pytest-xdist;
#                                default 2, 0 runs them in one process): most of a pass is waiting on
#                                threads and child processes, not computing. Each step's wall time and
#                                CPU time are printed after it and again at the end. A failing pass does
#                                not stop the others: the run ends with their names and status 1.
#                                Python writes the byte code it compiles, PYTHONDONTWRITEBYTECODE or
#                                not: every pass starts many interpreters (xdist workers, subprocess
#                                tests, sweep workers), and each would otherwise compile the same
#                                modules and rewrite the same test files again (a third of a pass's
#                                CPU time).
#   ./scripts/test.sh ARGS...    one pass in .venv with these pytest arguments
set -euo pipefail
cd "$(dirname "$0")/.."
unset PYTHONDONTWRITEBYTECODE
if [ $# -gt 0 ]; then
  exec .venv/bin/python -m pytest -q "$@"
fi
steps=()
failed=()  # a failing pass does not stop the others: the run ends with the list and status 1
cpu_now() {  # cpu=<CPU time (user + system) of this shell's finished children so far, in seconds>
  # Not in $(...): a subshell's children are not this shell's.
  times > build/.times
  cpu=$(awk 'NR == 2 { n = 0; for (i = 1; i <= 2; i++) { split($i, a, /[ms]/); n += a[1] * 60 + a[2] } printf "%d", n }' build/.times)
}
step_start() { step_wall=$SECONDS; cpu_now; step_cpu=$cpu; }
step_end() {  # step_end <label>
  local line
  cpu_now
  line=$(printf '%-44s %5d s wall %6d s CPU' "$1" $((SECONDS - step_wall)) $((cpu - step_cpu)))
  echo "-- $line"
  steps+=("$line")
}
summary() {
  [ ${#steps[@]} -gt 0 ] || return 0
  echo "== Steps (load average at the end: $(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo '?'))"
  printf '   %s\n' "${steps[@]}"
  [ ${#failed[@]} -eq 0 ] || printf 'test: failed: %s\n' "${failed[@]}" >&2
}
trap summary EXIT
pass() {  # pass <label> <python> [VAR=value...] [-- pytest arguments]
  local label=$1 py=$2
  shift 2
  local vars=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do vars+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  echo "== $label"
  step_start
  env "${vars[@]}" "$py" -m pytest -q -p no:cacheprovider "${JOBS[@]}" "$@" || failed+=("$label")
  step_end "$label"
}
JOBS=()
# Work stealing: a worker that runs out takes queued tests from the other, so one slow test near the end
# (a Ray cluster starting, a child process waited on) does not leave a core idle.
[ "${ORVA_TEST_JOBS:-2}" != 0 ] && JOBS=(-n "${ORVA_TEST_JOBS:-2}" --dist worksteal)
# The other builds compile while the first passes run: those mostly wait on threads and child processes.
mkdir -p build
SANITIZE=0
[ "${ORVA_SKIP_SANITIZE:-0}" != 1 ] && SANITIZE=1
(
  start=$SECONDS
  # It proves the plain paths, not their speed: -O1 (in the build type's flags, which come last).
  ./scripts/build_variant.sh plain -C cmake.define.ORVA_FASTPATHS=OFF \
    -C cmake.define.CMAKE_CXX_FLAGS_RELEASE="-O1 -DNDEBUG"
  echo "compiled-out build: $((SECONDS - start)) s"
  if [ $SANITIZE = 1 ]; then
    start=$SECONDS
    ./scripts/sanitize.sh --build-only
    echo "sanitized build: $((SECONDS - start)) s"
  fi
  true
) > build/variants.log 2>&1 &
variants=$!
RAY_ONCE=()  # the first pass leaves the Ray tests to .venv-next when they can run there
if [ -x .venv-next/bin/python ] &&
   .venv-next/bin/python -c 'import importlib.util, sys; sys.exit(importlib.util.find_spec("ray") is None)'; then
  RAY_ONCE=(-m "not ray")
fi
pass "Python 3.10, shortcuts on" .venv/bin/python -- "${RAY_ONCE[@]}"
pass "Python 3.10, shortcuts off at run time" .venv/bin/python ORVA_MERO_BACKTEST_FASTPATHS=0 -- --native-only
step_start
if ! wait $variants; then
  cat build/variants.log >&2
  echo "test: building the compiled-out or the sanitized variant failed" >&2
  exit 1
fi
grep -E '^(compiled-out|sanitized) build:' build/variants.log || true
step_end "Waiting for the variant builds (their CPU)"
PYTHONPATH="$PWD/build/plain/site" .venv/bin/python -c \
  "import orva_mero_backtest.modules.matcher.matcher as m; assert 'build/plain/site' in m.__file__, m.__file__"
pass "Python 3.10, shortcuts compiled out" .venv/bin/python PYTHONPATH="$PWD/build/plain/site" -- --native-only
for venv in .venv-next .venv-3.*; do
  [ -x "$venv/bin/python" ] || continue
  pass "$("$venv/bin/python" -c 'import platform; print("Python", platform.python_version())') ($venv)" \
    "$venv/bin/python"
done
if [ $SANITIZE = 1 ]; then
  echo "== Python 3.10, AddressSanitizer + UndefinedBehaviorSanitizer"
  step_start
  ORVA_SANITIZE_BUILT=1 ./scripts/sanitize.sh "${JOBS[@]}" --native-only || failed+=("sanitizers")
  step_end "Python 3.10, sanitizers"
fi
if [ "${ORVA_SKIP_SPEED:-0}" != 1 ] && [ -x .venv-next/bin/python ]; then
  # A ratio within one run: an interpreter that takes a slow path (a 10x cliff) fails, noise does not.
  echo "== Speed across interpreters (empty strategy)"
  step_start
  BENCH_RUNS=3 .venv/bin/python benchmarks/interpreters.py --guard 0.333 --cases empty || failed+=("speed check")
  step_end "Speed across interpreters"
fi
[ ${#failed[@]} -eq 0 ]
