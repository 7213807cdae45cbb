import os
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent))

import OrvCpp  # noqa: E402
from interface_table import OVERRIDDEN  # noqa: E402



def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "no_sanitizer: skipped when ORV_SANITIZED is set (the suite running under ASan or "
        "valgrind), for tests that build wheels, start compilers or time things")


def pytest_collection_modifyitems(config, items):
    if not os.environ.get("ORV_SANITIZED"):
        return
    skip = pytest.mark.skip(reason=f"not run under ORV_SANITIZED={os.environ['ORV_SANITIZED']}")
    for item in items:
        if item.get_closest_marker("no_sanitizer"):
            item.add_marker(skip)


OVERRIDABLE_NAMES = [name for name, _ in OVERRIDDEN]


def make_recorder_class(names=OVERRIDABLE_NAMES):
    """A subclass of OrvClient whose methods `names` record each call as (name, args)."""

    def recording(name):
        def method(self, *args):
            self.calls.append((name, args))

        method.__name__ = name
        return method

    def __init__(self):
        OrvCpp.OrvClient.__init__(self)
        self.calls = []

    body = {name: recording(name) for name in names}
    body["__init__"] = __init__
    return type("Recorder", (OrvCpp.OrvClient,), body)


Recorder = make_recorder_class()


@pytest.fixture
def recorder():
    return Recorder()


def sample_arguments(params, flip_bools=False):
    """One distinct value per position, so any swap, drop or narrowing is visible."""
    values = []
    for position, kind in enumerate(params, start=1):
        if kind in "il":
            values.append(1000 * position + 7)
        elif kind == "b":
            values.append((position % 2 == 0) != flip_bools)
        elif kind == "d":
            values.append(position + 0.25)
        elif kind == "s":
            values.append(f"text{position}-é")
        elif kind == "t":
            values.append(OrvCpp.TickType.values[position])
        else:
            raise ValueError(kind)
    return values


def python_type(kind):
    return {"i": int, "l": int, "b": bool, "d": float, "s": str, "t": OrvCpp.TickType}[kind]
