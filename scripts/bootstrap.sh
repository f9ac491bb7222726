#!/usr/bin/env bash
# Creates .venv with Python 3.13 (when missing) and installs quorex in
# editable mode with its test, plot, dask and parquet extras. The native modules rebuild on import
# when their sources change, in build/<wheel tag>.
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/find-python.sh

VENV=${VENV:-.venv}
if [ ! -x "$VENV/bin/python" ]; then
  "$(find_python)" -m venv "$VENV"
  "$VENV/bin/python" -m pip install --quiet --upgrade pip
fi
stamp="$VENV/.quorex-installed"
if [ ! -f "$stamp" ] || [ pyproject.toml -nt "$stamp" ] || [ CMakeLists.txt -nt "$stamp" ]; then
  "$VENV/bin/python" -m pip install --quiet "scikit-build-core>=0.10" "numpy>=2.0" cmake ninja
  "$VENV/bin/python" -m pip install --quiet --no-build-isolation \
    -Ceditable.rebuild=true -Ceditable.verbose=false \
    -Ccmake.define.QUOREX_TEST_HOOKS=ON \
    -e ".[test,plot,dask,parquet]"
  touch "$stamp"
fi
