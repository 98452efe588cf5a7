#!/usr/bin/env bash
# Builds the package with extra scikit-build options into build/<name>/site (for .venv's Python, or
# the one PY names), to be put first on PYTHONPATH by the caller:
#   [PY=.venv-next/bin/python] scripts/build_variant.sh <name> [--config-settings=option=value ...]
# (-C option=value is the same with pip 23.1 and later.)
set -euo pipefail
cd "$(dirname "$0")/.."
name=$1
shift
rm -rf "build/$name/site"
"${PY:-.venv/bin/python}" -m pip install -q --no-deps --no-build-isolation --target "build/$name/site" \
  --config-settings=build-dir="build/$name/cmake" "$@" . 2>&1 | { grep -v "^WARNING: Location" || true; }
