"""core/kernel stays plain C++: the algorithm compiles and can be reasoned
about without the interpreter, and only the bindings may reach Python."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

KERNEL = Path(__file__).resolve().parents[1] / "core" / "kernel"
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.MULTILINE)


@pytest.mark.parametrize("path", sorted(KERNEL.glob("*.[hc]pp")), ids=lambda p: p.name)
def test_kernel_file_reaches_neither_python_nor_numpy(path):
    for kind, header in INCLUDE.findall(path.read_text(encoding="utf-8")):
        assert not re.match(r"(Python|numpy/)", header), f"{path.name} includes {header}"
        # A project header from outside the kernel could bring the interpreter in.
        assert kind == "<" or header.startswith("kernel/"), f"{path.name} includes {header}"


def test_the_kernel_holds_the_engine():
    assert {"engine.hpp", "end_of_run.hpp", "excursion.hpp", "trade_log.hpp"} <= {p.name for p in KERNEL.iterdir()}
