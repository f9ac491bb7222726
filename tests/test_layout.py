"""The package's shape: imports form no circle, and no module reaches into another's private names."""

from __future__ import annotations

import ast
from pathlib import Path

import pytest

import quorex

PACKAGE = Path(quorex.__file__).parent


def module_name(path: Path) -> str:
    parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def is_type_checking(node: ast.If) -> bool:
    return isinstance(node.test, ast.Name) and node.test.id == "TYPE_CHECKING"


def imports(tree: ast.Module) -> list[ast.Import | ast.ImportFrom]:
    """Every import statement that runs, at any depth (those under ``if TYPE_CHECKING`` never do)."""
    found: list[ast.Import | ast.ImportFrom] = []

    def visit(node: ast.AST) -> None:
        if isinstance(node, ast.If) and is_type_checking(node):
            for child in node.orelse:
                visit(child)
            return
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            found.append(node)
        for child in ast.iter_child_nodes(node):
            visit(child)

    visit(tree)
    return found


MODULES = {module_name(p): ast.parse(p.read_text(encoding="utf-8")) for p in PACKAGE.rglob("*.py")}


def targets(name: str, tree: ast.Module) -> set[str]:
    """The package's modules that ``name`` imports (a package's ``__init__`` counts when its module is named)."""
    out = set()
    for node in imports(tree):
        if isinstance(node, ast.Import):
            candidates = [alias.name for alias in node.names]
        elif node.module and node.level == 0:
            candidates = [node.module] + [f"{node.module}.{alias.name}" for alias in node.names]
        else:
            continue
        out |= {c for c in candidates if c in MODULES and c != name}
    return out


GRAPH = {name: targets(name, tree) for name, tree in MODULES.items()}


def test_the_imports_have_no_circle():
    # Package __init__ files only gather their rooms' public names; a room's
    # module importing a sibling through its package is still an edge.
    state: dict[str, int] = {}
    path: list[str] = []

    def walk(node: str) -> None:
        state[node] = 1
        path.append(node)
        for nxt in sorted(GRAPH[node]):
            if state.get(nxt) == 1:
                circle = path[path.index(nxt):] + [nxt]
                pytest.fail("import circle: " + " -> ".join(circle))
            if nxt not in state:
                walk(nxt)
        path.pop()
        state[node] = 2

    for name in sorted(GRAPH):
        if name not in state:
            walk(name)


@pytest.mark.parametrize("name", sorted(MODULES))
def test_no_module_imports_private_names(name):
    offending = []
    for node in imports(MODULES[name]):
        if isinstance(node, ast.ImportFrom) and node.module != "__future__":
            offending += [f"from {node.module} import {a.name}" for a in node.names
                          if a.name.startswith("_") and not a.name.startswith("__")]
        modules = [a.name for a in node.names] if isinstance(node, ast.Import) else [node.module or ""]
        offending += [m for m in modules if any(part.startswith("_") and not part.startswith("__")
                                                for part in m.split(".") if m.startswith("quorex"))]
    assert offending == []


@pytest.mark.parametrize("name", sorted(MODULES))
def test_no_module_reads_private_attributes_of_another(name):
    """``alias._name`` on an imported module, or a private attribute of a dependency's object."""
    tree = MODULES[name]
    aliases = {a.asname or a.name.split(".")[0] for node in imports(tree) if isinstance(node, ast.Import)
               for a in node.names}
    aliases |= {a.asname or a.name for node in imports(tree) if isinstance(node, ast.ImportFrom)
                for a in node.names if f"{node.module}.{a.name}" in MODULES}
    reads = [f"{n.value.id}.{n.attr}" for n in ast.walk(tree)
             if isinstance(n, ast.Attribute) and isinstance(n.value, ast.Name) and n.value.id in aliases
             and n.attr.startswith("_") and not n.attr.startswith("__")]
    assert reads == []
