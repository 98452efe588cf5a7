#!/usr/bin/env bash
# Creates .venv on Python 3.10 (the target) and .venv-next on the newest Python that pyenv has and the
# dependencies support (3.13, else 3.12), each with the package built from source, its test tools and,
# where it installs, Ray for cluster sweeps.
# PYTHON (for .venv) and PYTHON_NEXT (for .venv-next) choose other interpreters; PYTHON_NEXT=none skips it.
set -euo pipefail
cd "$(dirname "$0")/.."

pyenv_python() {  # pyenv_python 3.12 -> the path of pyenv's newest 3.12.x python, or nothing
  command -v pyenv >/dev/null 2>&1 || return 0
  local v
  v=$(pyenv versions --bare 2>/dev/null | grep -E "^$1\.[0-9]+$" | sort -t. -k3 -n | tail -1)
  [ -n "$v" ] && PYENV_VERSION=$v pyenv which "python$1" 2>/dev/null || true
}

make_venv() {  # make_venv <dir> <python>
  "$2" -m venv "$1"
  "$1/bin/python" -m pip install -q --upgrade pip
  # Ray (the cluster extra) where it installs on this interpreter; without it the Ray tests skip.
  if ! "$1/bin/python" -m pip install -q ".[test,cluster]"; then
    echo "setup: Ray could not be installed for $("$2" --version 2>&1); installing without the cluster extra" >&2
    "$1/bin/python" -m pip install -q ".[test]"
  fi
}

PY=${PYTHON:-$(pyenv_python 3.10)}
PY=${PY:-$(command -v python3.10 || command -v python3)}

NEXT=${PYTHON_NEXT:-}
if [ -z "$NEXT" ]; then
  NEXT=$(pyenv_python 3.13)
  NEXT=${NEXT:-$(pyenv_python 3.12)}
  NEXT=${NEXT:-$(command -v python3.13 || command -v python3.12 || true)}
fi
rm -rf .venv-next
# The two environments are made side by side: most of the time goes to downloads and to one
# compiler at a time, so the second costs little beside the first. Its output goes to a log shown
# when it fails.
next_pid=
if [ -n "$NEXT" ] && [ "$NEXT" != none ]; then
  mkdir -p build
  make_venv .venv-next "$NEXT" > build/setup-next.log 2>&1 &
  next_pid=$!
fi
make_venv .venv "$PY"
if [ -n "$next_pid" ]; then
  if ! wait "$next_pid"; then
    cat build/setup-next.log >&2
    echo "setup: making .venv-next failed" >&2
    exit 1
  fi
  cat build/setup-next.log
fi
