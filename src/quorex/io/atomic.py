"""Files and output directories written all at once: complete, or not at all.

``write_atomically`` replaces one file in a single step. For an output
directory, files are written into a hidden staging directory inside the output
directory; only when every one is complete do they replace the files of the
same command's earlier run, which are moved aside first and put back if the
swap fails. A run that fails, is interrupted or fills the disk leaves the
earlier run's files as they were and no partial file under an output name.
"""

from __future__ import annotations

import os
import shutil
import signal
import tempfile
import threading
from collections.abc import Collection, Iterator
from contextlib import contextmanager
from pathlib import Path

TEMP_PREFIX = ".tmp-"
STAGING_PREFIX = ".quorex-staging-"
PREVIOUS_PREFIX = ".quorex-previous-"


def write_atomically(path: Path, payload: bytes) -> None:
    """Replace ``path`` in one step, so readers never see a partial file."""
    fd, tmp = tempfile.mkstemp(dir=path.parent, prefix=f"{TEMP_PREFIX}{os.getpid()}-")
    try:
        with os.fdopen(fd, "wb") as handle:
            handle.write(payload)
        os.replace(tmp, path)
    except BaseException:
        Path(tmp).unlink(missing_ok=True)
        raise


def _writer_is_gone(name: str, prefix: str) -> bool:
    """Whether the process named in a staging or temp name (prefix, pid, '-', ...) has ended."""
    try:
        pid = int(name[len(prefix):].split("-", 1)[0])
    except ValueError:
        return False
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    except PermissionError:
        return False
    return False


def remove_leftovers(directory: Path, prefix: str) -> None:
    """Remove the staging directories or temp files of writers that were killed."""
    for entry in directory.glob(f"{prefix}*"):
        if _writer_is_gone(entry.name, prefix):
            if entry.is_dir():
                shutil.rmtree(entry, ignore_errors=True)
            else:
                entry.unlink(missing_ok=True)


@contextmanager
def _interrupts_held() -> Iterator[None]:
    """Ctrl-C waits until the block is done (main thread only; elsewhere no signal arrives)."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


@contextmanager
def staged_outputs(out: Path, owned: Collection[str]) -> Iterator[Path]:
    """A staging directory for the files of one run; on success they replace ``owned`` files in ``out``.

    ``owned`` names every file the command may write: those of an earlier
    run that this one did not write are removed, so the directory never
    mixes two runs.
    """
    out.mkdir(parents=True, exist_ok=True)
    remove_leftovers(out, STAGING_PREFIX)
    remove_leftovers(out, PREVIOUS_PREFIX)
    staging = Path(tempfile.mkdtemp(dir=out, prefix=f"{STAGING_PREFIX}{os.getpid()}-"))
    try:
        yield staging
        unknown = sorted(p.name for p in staging.iterdir() if p.name not in owned)
        if unknown:
            raise RuntimeError(f"unexpected output files {unknown}")
        with _interrupts_held():
            _swap_in(staging, out, owned)
    finally:
        shutil.rmtree(staging, ignore_errors=True)


def _swap_in(staging: Path, out: Path, owned: Collection[str]) -> None:
    """Move the earlier run's files aside, the new ones in; put the earlier ones back on failure."""
    previous = Path(tempfile.mkdtemp(dir=out, prefix=f"{PREVIOUS_PREFIX}{os.getpid()}-"))
    moved_aside, moved_in = [], []
    try:
        for name in owned:
            if (out / name).exists():
                os.replace(out / name, previous / name)
                moved_aside.append(name)
        for path in sorted(staging.iterdir()):
            os.replace(path, out / path.name)
            moved_in.append(path.name)
    except BaseException:
        for name in moved_in:
            (out / name).unlink(missing_ok=True)
        for name in moved_aside:
            os.replace(previous / name, out / name)
        raise
    finally:
        shutil.rmtree(previous, ignore_errors=True)
