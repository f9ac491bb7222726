"""Fuzz-suite configuration: a memory ceiling for absurd sizes."""

from __future__ import annotations

import ctypes
import resource

# Windows near 2**31 ask for excursion records of tens of gigabytes: they
# must end in MemoryError, not in the kernel's out-of-memory killer. Under
# AddressSanitizer (which reserves terabytes of address space) the ceiling is
# its max_allocation_size_mb option instead, set by scripts/sanitize.sh.
_CEILING = 6 << 30


def _under_asan() -> bool:
    return hasattr(ctypes.CDLL(None), "__asan_init")


if not _under_asan():
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    if soft == resource.RLIM_INFINITY or soft > _CEILING:
        resource.setrlimit(resource.RLIMIT_AS, (_CEILING, hard))
