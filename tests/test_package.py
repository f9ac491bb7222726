import subprocess
import sys

SCRIPT = """
import sys
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
