"""Importing each native module leaves no unreachable memory (sanitizer build only).

Each import runs in a fresh interpreter that inherits the sanitizer
environment of scripts/sanitize.sh, so a report names one module alone.
"""

from __future__ import annotations

import ctypes
import os
import subprocess
import sys

import pytest

pytestmark = pytest.mark.skipif(
    not (hasattr(ctypes.CDLL(None), "__lsan_do_recoverable_leak_check") and os.environ.get("QUOREX_LSAN_CHECK")),
    reason="needs the sanitizer build (make sanitize)",
)

PROBE = """
import ctypes, gc, importlib, sys
importlib.import_module(sys.argv[1])
gc.collect()
sys.exit(3 if ctypes.CDLL(None).__lsan_do_recoverable_leak_check() else 0)
"""


@pytest.mark.parametrize("module", ["textkit", "tradearc", "simloop", "metrics"])
def test_import_leaves_nothing_unreachable(module):
    done = subprocess.run([sys.executable, "-c", PROBE, f"quorex.core.{module}"], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr[-4000:]
