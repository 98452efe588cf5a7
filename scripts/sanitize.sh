#!/usr/bin/env bash
# Builds both extension modules with AddressSanitizer and UndefinedBehaviorSanitizer and runs the test
# suite against them (pytest arguments pass through). Needs .venv from scripts/setup.sh: its Python and
# dependencies are used, with the sanitized package put first on the path (build/sanitize/site). Any
# report fails the run (ASan and UBSan both halt on the first error). Leak detection is off: CPython
# keeps memory on purpose until exit.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=.venv/bin/python
SITE=build/sanitize/site
FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g1"
# The optimisation level goes in the build type's own flags: those come after CMAKE_CXX_FLAGS on the
# compiler's command line, so an -O1 there lost to Release's -O3. -O1 and line tables only (-g1, all a
# report's stack needs) compile in a fraction of the time.
OPT="-O1 -DNDEBUG"
# ORVA_SANITIZE_BUILT=1: the build was made beforehand (scripts/sanitize.sh --build-only), e.g. while
# another pass ran.
if [ "${ORVA_SANITIZE_BUILT:-0}" != 1 ]; then
  ./scripts/build_variant.sh sanitize \
    -C cmake.define.CMAKE_CXX_FLAGS="$FLAGS" -C cmake.define.CMAKE_CXX_FLAGS_RELEASE="$OPT" \
    -C cmake.define.CMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" \
    -C cmake.define.CMAKE_MODULE_LINKER_FLAGS="-fsanitize=address,undefined"
fi
[ "${1:-}" = --build-only ] && exit 0
# The ASan runtime first; libstdc++ with it, so that ASan finds __cxa_throw for C++ modules loaded later
# (matplotlib's ft2font aborts otherwise).
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
# Reports go to files too: pytest captures stderr (fd 2), and a report printed there is lost when the
# process aborts.
LOGS=build/sanitize/reports
rm -rf "$LOGS" && mkdir -p "$LOGS"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:halt_on_error=1:log_path=$PWD/$LOGS/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$PWD/$LOGS/ubsan"
export PYTHONPATH="$PWD/$SITE${PYTHONPATH:+:$PYTHONPATH}"
# The sanitized modules must be the ones loaded.
"$PY" -c "import orva_mero_backtest.modules.ticker.ticker as t, sys; assert '$SITE' in t.__file__, t.__file__"
# Left out: the tests that end daemon threads blocked in native code at interpreter exit (clean exits,
# and the Ctrl-C children that exit with their receivers and feed threads still waiting). CPython ends
# them with pthread_exit, a forced unwind that ASan's runtime does not follow (its own CHECK fails in
# __asan_handle_no_return / sigaltstack, or it reports a stack-buffer-overflow in the unwinder), so
# they report there whatever the code does.
status=0
"$PY" -m pytest -q -p no:cacheprovider -k "not process_exits_cleanly and not sigint_at_random_moments" "$@" \
  || status=$?
if compgen -G "$LOGS/*" >/dev/null; then
  echo "sanitizer reports:" >&2
  cat "$LOGS"/* >&2
  status=1
fi
exit $status
