# Each target sets up .venv (Python 3.13, quorex in editable mode) when needed.
PY := .venv/bin/python

.PHONY: setup demo test bench clean sanitize

setup:
	@scripts/bootstrap.sh

demo: setup
	$(PY) -m quorex demo --out out/demo

test: setup
	$(PY) -m pytest -q

bench: setup
	$(PY) bench/backtest.py

clean:
	rm -rf build .venv .venv-asan

# ASan + UBSan build in build/asan, installed into .venv-asan, full test suite
# with leak checking. FUZZ=long runs the long fuzz campaign; ARGS are passed
# to pytest (e.g. ARGS=tests/fuzz).
sanitize:
	FUZZ=$(FUZZ) scripts/sanitize.sh $(ARGS)
