import subprocess
import sys

import pytest

SCRIPT = """
import sys

import pytest
import pandas as pd
import quorex
assert "ffn" not in sys.modules, "importing quorex must not import ffn"
s = pd.Series([1.0, 1.1, 1.05], index=pd.date_range("2024-01-01", periods=3))
stats = s.calc_stats()
stats.set_riskfree_rate(0.0)
assert "cagr" in stats.stats.index
assert type(stats).__module__.startswith("ffn")
"""


def test_calc_stats_available_after_import_without_loading_ffn():
    subprocess.run([sys.executable, "-c", SCRIPT], check=True)


REIMPORT = """
import importlib, sys
name = "quorex.core." + sys.argv[1]
importlib.import_module(name)
del sys.modules[name]
try:
    importlib.import_module(name)
except ImportError as exc:
    assert "Re-initialisation is not supported" in str(exc), exc
else:
    raise AssertionError("re-initialised")
"""


@pytest.mark.parametrize("module", ["textkit", "tradearc", "simloop", "metrics"])
def test_core_module_refuses_reinitialisation(module):
    subprocess.run([sys.executable, "-c", REIMPORT, module], check=True)
