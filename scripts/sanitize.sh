#!/usr/bin/env bash
# Builds the native modules with AddressSanitizer + UndefinedBehaviorSanitizer
# into build/asan, installs quorex (not editable, so nothing rebuilds on
# import) into .venv-asan and runs the test suite there with the sanitizer
# runtimes preloaded into the interpreter.
#
#   scripts/sanitize.sh [pytest args...]
#   FUZZ=long scripts/sanitize.sh tests/fuzz   # the long fuzz campaign
#   NO_BUILD=1 scripts/sanitize.sh ...         # skip the (incremental) rebuild
#
# Any sanitizer report aborts the run with a non-zero exit status.
set -euo pipefail
cd "$(dirname "$0")/.."

VENV=.venv-asan
BUILD_DIR=build/asan
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

. scripts/find-python.sh

mkdir -p "$BUILD_DIR"
pip_log="$BUILD_DIR/pip.log"
: >"$pip_log"
pip() {
  if ! "$VENV/bin/python" -m pip "$@" >>"$pip_log" 2>&1; then
    cat "$pip_log" >&2
    echo "error: pip $* failed" >&2
    exit 1
  fi
}

if [ ! -x "$VENV/bin/python" ]; then
  "$(find_python)" -m venv "$VENV"
  pip install --quiet --upgrade pip
fi
# A regular (not editable) install: the instrumented build is incremental in
# $BUILD_DIR, and nothing rebuilds or redirects imports at run time.
build_flags=(--no-build-isolation -Cbuild-dir="$BUILD_DIR" -Ccmake.build-type=RelWithDebInfo
             -Ccmake.define.QUOREX_SANITIZE=ON -Ccmake.define.QUOREX_TEST_HOOKS=ON)
stamp="$VENV/.quorex-deps"
if [ -n "${NO_BUILD:-}" ] && [ -f "$stamp" ]; then
  :  # NO_BUILD=1: rerun against the installed build (quick reruns while bisecting)
elif [ ! -f "$stamp" ] || [ pyproject.toml -nt "$stamp" ]; then
  pip install --quiet "scikit-build-core>=0.10" "numpy>=2.0" cmake ninja
  pip install --quiet "${build_flags[@]}" ".[test]"
  touch "$stamp"
else
  pip install --quiet --no-deps --force-reinstall "${build_flags[@]}" .
fi

asan_rt=$(g++ -print-file-name=libasan.so)
ubsan_rt=$(g++ -print-file-name=libubsan.so)
for rt in "$asan_rt" "$ubsan_rt"; do
  if [ ! -e "$rt" ]; then
    echo "error: sanitizer runtime $rt not found (install g++ with libasan/libubsan)" >&2
    exit 2
  fi
done

supp="$PWD/tests/sanitizer/lsan.supp"
# Python objects are allocated with malloc so that ASan puts red zones around
# them (and LeakSanitizer sees them). The interpreter does not free all of its
# own objects at exit, so the leak check runs at the end of the pytest session
# instead (tests/conftest.py), where anything unreachable has no owner.
# Allocations above 2 GiB fail (MemoryError) instead of aborting: the fuzz
# tests ask for absurd sizes on purpose.
export PYTHONMALLOC=malloc
export QUOREX_LSAN_CHECK=1
export ASAN_OPTIONS="detect_leaks=1:leak_check_at_exit=0:halt_on_error=1:abort_on_error=0:exitcode=86:detect_stack_use_after_return=0:strict_init_order=1:check_initialization_order=1:allocator_may_return_null=1:max_allocation_size_mb=2048${ASAN_EXTRA:+:$ASAN_EXTRA}"
export LSAN_OPTIONS="suppressions=$supp:print_suppressions=0:exitcode=87"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=88"
if [ -n "${FUZZ:-}" ]; then
  export QUOREX_FUZZ="$FUZZ"
fi

# The sanitizer run must test the instrumented install, never the sources.
LD_PRELOAD="$asan_rt:$ubsan_rt" "$VENV/bin/python" - <<'EOF'
import pathlib, sys
import quorex.core
where = pathlib.Path(quorex.core.__file__).resolve()
if ".venv-asan" not in where.parts:
    sys.exit(f"error: quorex imported from {where}, not from .venv-asan")
EOF

LD_PRELOAD="$asan_rt:$ubsan_rt" exec "$VENV/bin/python" -m pytest -q -p no:cacheprovider "$@"
