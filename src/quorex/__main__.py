"""Command line entry point: ``python -m quorex``."""

from __future__ import annotations

import importlib
import sys

CORE_MODULES = ("textkit", "tradearc", "simloop", "metrics")


def health() -> str:
    """One line naming the core modules that import and those that do not."""
    import quorex

    states = []
    for name in CORE_MODULES:
        try:
            importlib.import_module(f"quorex.core.{name}")
            states.append(f"{name}=ok")
        except ImportError as exc:
            states.append(f"{name}=missing ({exc})")
    return f"quorex {quorex.__version__}: " + ", ".join(states)


def main(argv: list[str] | None = None) -> int:
    """Run the command line."""
    print(health())
    return 0


if __name__ == "__main__":
    sys.exit(main())
