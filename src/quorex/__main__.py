"""Command line entry point: ``python -m quorex`` (see ``quorex.cli``)."""

from __future__ import annotations

import sys

from quorex.cli import health, main

__all__ = ["health", "main"]

if __name__ == "__main__":
    sys.exit(main())
