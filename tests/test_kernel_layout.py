"""core/kernel stays plain C++: the algorithm compiles and can be reasoned
about without the interpreter, and only the bindings may reach Python."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

KERNEL = Path(__file__).resolve().parents[1] / "core" / "kernel"
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.MULTILINE)
KERNEL_FILES = sorted(p for p in KERNEL.iterdir() if p.suffix in {".hpp", ".cpp", ".h"})


def includes(path: Path) -> list[tuple[str, str]]:
    return INCLUDE.findall(path.read_text(encoding="utf-8"))


def test_the_kernel_holds_the_engine():
    names = {p.name for p in KERNEL_FILES}
    assert {"engine.hpp", "end_of_run.hpp", "excursion.hpp", "trade_log.hpp", "views.hpp"} <= names


@pytest.mark.parametrize("path", KERNEL_FILES, ids=lambda p: p.name)
def test_kernel_file_includes_no_python_or_numpy(path):
    for _, header in includes(path):
        assert not re.match(r"(Python|numpy/|structmember|frameobject)", header), f"{path.name} includes {header}"


@pytest.mark.parametrize("path", KERNEL_FILES, ids=lambda p: p.name)
def test_kernel_file_includes_only_the_kernel(path):
    """A project header from outside the kernel could bring the interpreter in."""
    for kind, header in includes(path):
        if kind == '"':
            assert header.startswith("kernel/"), f"{path.name} includes {header}"
