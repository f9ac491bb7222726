# Each target sets up its venv (Python 3.13, quorex in editable mode) when needed.
# LINE=pandas2 runs a target on the pandas 2.x line, in .venv-pandas2 with its
# own build of the core; the default is the current pandas (3.x) in .venv.
# ARGS are passed to pytest (make test, make sanitize).
LINE ?= pandas3
ifeq ($(LINE),pandas3)
VENV := .venv
SETUP_ENV := VENV=.venv PANDAS_LINE='pandas>=3'
else ifeq ($(LINE),pandas2)
VENV := .venv-pandas2
SETUP_ENV := VENV=.venv-pandas2 PANDAS_LINE='pandas>=2.2,<3' BUILD_DIR='build/pandas2/{wheel_tag}'
else
$(error LINE must be pandas3 or pandas2, not $(LINE))
endif
PY := $(VENV)/bin/python

.PHONY: setup demo test bench clean sanitize

setup:
	@$(SETUP_ENV) scripts/bootstrap.sh

demo: setup
	$(PY) -m quorex demo --out out/demo

test: setup
	$(PY) -m pytest -q $(ARGS)

bench: setup
	$(PY) bench/backtest.py

clean:
	rm -rf build .venv .venv-pandas2 .venv-asan

# ASan + UBSan build in build/asan, installed into .venv-asan, full test suite
# with leak checking. FUZZ=long runs the long fuzz campaign; ARGS are passed
# to pytest (e.g. ARGS=tests/fuzz).
sanitize:
	FUZZ=$(FUZZ) scripts/sanitize.sh $(ARGS)
