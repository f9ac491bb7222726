#!/usr/bin/env bash
# Creates a venv with Python 3.13 (when missing) and installs quorex in
# editable mode with its test, plot and dask extras. The native modules rebuild on import
# when their sources change, in the venv's build directory.
#
#   scripts/bootstrap.sh                     # .venv: the current pandas (3.x), build/<wheel tag>
#   VENV=.venv-pandas2 PANDAS_LINE='pandas>=2.2,<3' BUILD_DIR='build/pandas2/{wheel_tag}' scripts/bootstrap.sh
#
# PANDAS_LINE is the pandas requirement the venv is held to; the venv is
# brought onto it again whenever it changes.
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/find-python.sh

VENV=${VENV:-.venv}
PANDAS_LINE=${PANDAS_LINE:-pandas>=3}
# Each venv builds the core in its own directory: a build is configured for
# one interpreter and one NumPy.
BUILD_DIR=${BUILD_DIR:-"build/{wheel_tag}"}
if [ ! -x "$VENV/bin/python" ]; then
  "$(find_python)" -m venv "$VENV"
  "$VENV/bin/python" -m pip install --quiet --upgrade pip
fi
stamp="$VENV/.quorex-installed"
if [ ! -f "$stamp" ] || [ pyproject.toml -nt "$stamp" ] || [ CMakeLists.txt -nt "$stamp" ] ||
   [ "$(cat "$stamp")" != "$PANDAS_LINE" ]; then
  "$VENV/bin/python" -m pip install --quiet "scikit-build-core>=0.10" "numpy>=2.0" cmake ninja
  "$VENV/bin/python" -m pip install --quiet --no-build-isolation \
    -Cbuild-dir="$BUILD_DIR" -Ceditable.rebuild=true -Ceditable.verbose=false \
    -Ccmake.define.QUOREX_TEST_HOOKS=ON \
    -e ".[test,plot,dask]" "$PANDAS_LINE"
  echo "$PANDAS_LINE" >"$stamp"
fi
