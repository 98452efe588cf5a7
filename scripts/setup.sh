#!/usr/bin/env bash
# Creates .venv on Python 3.10 (the target) and .venv-next on the newest Python that pyenv has and the
# dependencies support (3.13, else 3.12), each with the package built from source, its test tools and,
# where it installs, Ray for cluster sweeps.
# PYTHON (for .venv) and PYTHON_NEXT (for .venv-next) choose other interpreters; PYTHON_NEXT=none skips it.
# PYTHON_EXTRA="3.12 ..." also makes .venv-3.12 (pyenv's newest 3.12.x, else python3.12 on the PATH; a
# path to an interpreter works too), which scripts/test.sh and benchmarks/interpreters.py then use.
#
# All environments are made side by side, and in each the package compiles (in pip's own build
# environment) while its dependencies download and install: on a clean machine the downloads wait on
# the network and the compiler on the CPU. Dependencies are not byte-compiled at install (several
# thousand files nobody imports; Python compiles what it imports, once). The other environments' output
# goes to build/setup-<dir>.log, shown when one fails.
set -euo pipefail
cd "$(dirname "$0")/.."

pyenv_python() {  # pyenv_python 3.12 -> the path of pyenv's newest 3.12.x python, or nothing
  command -v pyenv >/dev/null 2>&1 || return 0
  local v
  v=$(pyenv versions --bare 2>/dev/null | grep -E "^$1\.[0-9]+$" | sort -t. -k3 -n | tail -1)
  [ -n "$v" ] && PYENV_VERSION=$v pyenv which "python$1" 2>/dev/null || true
}

find_python() {  # find_python 3.12 | /path/to/python -> an interpreter's path, or nothing
  case $1 in
    */*) echo "$1" ;;
    *) local p
       p=$(pyenv_python "$1")
       echo "${p:-$(command -v "python$1" || true)}" ;;
  esac
}

requirements() {  # requirements <python> [extra ...] -> the project's dependencies and the extras', one a line
  "$1" - "${@:2}" <<'EOF'
import sys
try:
    import tomllib
except ImportError:  # Python 3.10: the TOML reader that pip carries
    from pip._vendor import tomli as tomllib
with open("pyproject.toml", "rb") as f:
    project = tomllib.load(f)["project"]
extras = project.get("optional-dependencies", {})
print("\n".join(project["dependencies"] + [r for name in sys.argv[1:] for r in extras[name]]))
EOF
}

make_venv() {  # make_venv <dir> <python>
  local dir=$1 start=$SECONDS
  local wheels="build/wheels/${dir#.}" reqs="build/requirements-${dir#.}.txt"
  "$2" -m venv "$dir"
  local py="$dir/bin/python"
  "$py" -m pip install -q --upgrade pip
  rm -rf "$wheels" && mkdir -p "$wheels"
  "$py" -m pip wheel -q --no-deps -w "$wheels" . > "$wheels.log" 2>&1 &
  local build=$!
  # Ray (the cluster extra) where it installs on this interpreter; without it the Ray tests skip.
  requirements "$py" test cluster > "$reqs"
  if ! "$py" -m pip install -q --no-compile -r "$reqs"; then
    echo "setup: Ray could not be installed for $("$py" --version 2>&1); installing without the cluster extra" >&2
    requirements "$py" test > "$reqs"
    "$py" -m pip install -q --no-compile -r "$reqs"
  fi
  local deps=$((SECONDS - start))
  if ! wait "$build"; then
    cat "$wheels.log" >&2
    echo "setup: building the package for $dir failed" >&2
    return 1
  fi
  "$py" -m pip install -q --no-deps --no-index --force-reinstall "$wheels"/*.whl
  echo "setup: $dir ($("$py" --version 2>&1)) made in $((SECONDS - start)) s (dependencies $deps s, the package built beside them)"
}

PY=${PYTHON:-$(pyenv_python 3.10)}
PY=${PY:-$(command -v python3.10 || command -v python3)}

NEXT=${PYTHON_NEXT:-}
if [ -z "$NEXT" ]; then
  NEXT=$(pyenv_python 3.13)
  NEXT=${NEXT:-$(pyenv_python 3.12)}
  NEXT=${NEXT:-$(command -v python3.13 || command -v python3.12 || true)}
fi
others=()  # pairs: directory, interpreter
if [ -n "$NEXT" ] && [ "$NEXT" != none ]; then
  others+=(.venv-next "$NEXT")
fi
for want in ${PYTHON_EXTRA:-}; do
  p=$(find_python "$want")
  [ -n "$p" ] || { echo "setup: no interpreter found for PYTHON_EXTRA=$want" >&2; exit 1; }
  v=$("$p" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  others+=(".venv-$v" "$p")
done
mkdir -p build
pids=()
for ((i = 0; i < ${#others[@]}; i += 2)); do
  rm -rf "${others[i]}"
  make_venv "${others[i]}" "${others[i + 1]}" > "build/setup-${others[i]#.}.log" 2>&1 &
  pids+=($!)
done
make_venv .venv "$PY"
status=0
for ((i = 0; i < ${#others[@]}; i += 2)); do
  log="build/setup-${others[i]#.}.log"
  if wait "${pids[i / 2]}"; then
    cat "$log"
  else
    cat "$log" >&2
    echo "setup: making ${others[i]} failed" >&2
    status=1
  fi
done
exit $status
