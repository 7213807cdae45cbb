"""Shared pieces of the reliability checks: the `no_sanitizer` marker and the figures
each check reports at the end of the run."""
import os

import pytest

_figures: list[str] = []


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "no_sanitizer: skipped when ORV_SANITIZED is set (the suite running under ASan or "
        "valgrind), for tests that build wheels, start compilers or time things")


def pytest_collection_modifyitems(config, items):
    # Applies to the whole run, so tests anywhere under tests/ can carry the marker.
    if not os.environ.get("ORV_SANITIZED"):
        return
    skip = pytest.mark.skip(reason=f"not run under ORV_SANITIZED={os.environ['ORV_SANITIZED']}")
    for item in items:
        if item.get_closest_marker("no_sanitizer"):
            item.add_marker(skip)


@pytest.fixture(scope="session")
def figures():
    """Call with a line of text; the lines appear under 'reliability figures'."""
    return _figures.append


def pytest_terminal_summary(terminalreporter):
    if _figures:
        terminalreporter.section("reliability figures")
        for line in _figures:
            terminalreporter.write_line(line)
