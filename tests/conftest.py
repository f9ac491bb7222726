"""Shared test configuration: hypothesis profiles and the sanitizer leak check."""

from __future__ import annotations

import ctypes
import gc
import os

import pytest
from hypothesis import HealthCheck, settings

# "ci": the default, keeps the fuzz suite to about a minute.
# "long": the fuzz campaign, at least 100,000 examples over tests/fuzz;
# chosen with --hypothesis-profile=long or QUOREX_FUZZ=long.
_COMMON = dict(
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much],
    print_blob=True,
)
settings.register_profile("ci", max_examples=60, **_COMMON)
settings.register_profile("long", max_examples=12_000, **_COMMON)
settings.load_profile(os.environ.get("QUOREX_FUZZ") or "ci")


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line("markers", "soak: long-running leak soak (deselect with -m 'not soak')")


# Tests that assert a flat resident set: under AddressSanitizer freed memory
# sits in its quarantine, and LeakSanitizer checks the run instead.
_RSS_TESTS = {"tests/test_tradearc.py::test_cycles_do_not_leak"}


# The browser tests start Chromium, which would inherit the sanitizer
# runtimes preloaded into this interpreter; they exercise no native code.
_BROWSER_TESTS = "tests/test_tearsheet_browser.py"


def pytest_collection_modifyitems(config: pytest.Config, items: list[pytest.Item]) -> None:
    if not _under_asan():
        return
    skip = pytest.mark.skip(reason="resident-set check; ASan's quarantine holds freed memory")
    skip_browser = pytest.mark.skip(reason="the browser would inherit the preloaded sanitizer runtimes")
    for item in items:
        if item.nodeid in _RSS_TESTS:
            item.add_marker(skip)
        elif item.nodeid.startswith(_BROWSER_TESTS):
            item.add_marker(skip_browser)


def _under_asan() -> bool:
    return hasattr(ctypes.CDLL(None), "__asan_init")


def _lsan_leak_check():
    """LeakSanitizer's on-demand check when its runtime is preloaded, else None."""
    try:
        return ctypes.CDLL(None).__lsan_do_recoverable_leak_check
    except AttributeError:
        return None


@pytest.hookimpl(tryfirst=True)
def pytest_sessionfinish(session: pytest.Session, exitstatus: int) -> None:
    # The interpreter never frees all of its own objects at exit, so a check
    # at exit drowns in its blocks. Checked here instead, while everything the
    # interpreter still uses is reachable: what is reported now has no owner.
    if not os.environ.get("QUOREX_LSAN_CHECK"):
        return
    check = _lsan_leak_check()
    if check is None:
        return
    gc.collect()
    if check():
        session.exitstatus = pytest.ExitCode.TESTS_FAILED
        reporter = session.config.pluginmanager.get_plugin("terminalreporter")
        if reporter is not None:
            reporter.write_line("LeakSanitizer reported unreachable memory (see the report above)", red=True)


@pytest.fixture(autouse=True, scope="session")
def _ignore_csv_parser_leaks():
    """Leave pandas' C CSV parser out of the leak check.

    The parser keeps a few encoded-bytes objects per file it reads without
    any owner (a third-party leak, not quorex's), so under the leak check its
    allocations are made with LeakSanitizer disabled for the thread.
    """
    if not os.environ.get("QUOREX_LSAN_CHECK") or _lsan_leak_check() is None:
        yield
        return
    import functools

    import pandas as pd

    runtime = ctypes.CDLL(None)
    read_csv = pd.read_csv

    @functools.wraps(read_csv)
    def read_csv_unchecked(*args, **kwargs):
        runtime.__lsan_disable()
        try:
            return read_csv(*args, **kwargs)
        finally:
            runtime.__lsan_enable()

    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(pd, "read_csv", read_csv_unchecked)
        yield
