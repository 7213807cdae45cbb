"""Shared piece of the reliability checks: the figures each check reports at the end of
the run."""
from __future__ import annotations

import pytest

_figures: list[str] = []


@pytest.fixture(scope="session")
def figures():
    """Call with a line of text; the lines appear under 'reliability figures'."""
    return _figures.append


def pytest_terminal_summary(terminalreporter):
    if _figures:
        terminalreporter.section("reliability figures")
        for line in _figures:
            terminalreporter.write_line(line)
