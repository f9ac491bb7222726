# Each target sets up .venv (Python 3.13, quorex in editable mode) when needed.
PY := .venv/bin/python

.PHONY: setup demo test bench clean

setup:
	@scripts/bootstrap.sh

demo: setup
	$(PY) -m quorex demo --out out/demo

test: setup
	$(PY) -m pytest -q

bench: setup
	$(PY) bench/backtest.py

clean:
	rm -rf build .venv
