# Sourced by the setup scripts: find_python prints the path of a Python 3.13
# interpreter ($PYTHON, then PATH, then pyenv's versions, then the usual
# prefixes) or exits with status 2.
find_python() {
  if [ -n "${PYTHON:-}" ]; then echo "$PYTHON"; return; fi
  for candidate in python3.13 "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.13.*/bin/python3.13 \
                   /usr/local/bin/python3.13 /usr/bin/python3.13; do
    if command -v "$candidate" >/dev/null 2>&1 && "$candidate" -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
      command -v "$candidate"; return
    fi
  done
  echo "error: Python 3.13 not found (set PYTHON=/path/to/python3.13)" >&2
  exit 2
}
