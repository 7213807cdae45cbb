import ast
import gc
import os
import re
import subprocess
import sys
import textwrap
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


@pytest.fixture
def collector_paused_before_3_9():
    """For tests that recurse to the interpreter's recursion limit in this process.

    Before 3.9, a collection that starts near the limit runs the Python functions in
    gc.callbacks (hypothesis puts one there) and objects' __del__ there too; when one of
    them raises RecursionError, which the collector ignores, the thread's overflow flag
    stays set and the next RecursionError aborts the process ("Cannot recover from stack
    overflow"). That is CPython's own fault, reproduced without OrvCpp; these tests pause
    the automatic collector there so that it cannot start at the limit.
    """
    if sys.version_info >= (3, 9) or not gc.isenabled():
        yield
        return
    gc.collect()
    gc.disable()
    try:
        yield
    finally:
        gc.enable()


def pytest_collection_modifyitems(config, items):
    if not os.environ.get("ORV_SANITIZED"):
        return
    skip = pytest.mark.skip(reason=f"not run under ORV_SANITIZED={os.environ['ORV_SANITIZED']}")
    for item in items:
        if item.get_closest_marker("no_sanitizer"):
            item.add_marker(skip)


def parse_stub(path):
    """A stub's syntax tree. Python 3.7's parser has no positional-only marker "/": there
    it reads the form that the build installs for 3.7 (scripts/gen_stubs.py)."""
    text = Path(path).read_text()
    if sys.version_info < (3, 8):
        sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "scripts"))
        from gen_stubs import underscore_form
        text = underscore_form(text)
    return ast.parse(text)


def stub_parameters(function):
    """The names of a stub method's parameters, self first, without the prefix of 3.7's form."""
    args = function.args
    return [re.sub("^__", "", a.arg) for a in [*getattr(args, "posonlyargs", []), *args.args]]


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


def _argument_error():
    try:
        OrvCpp.OrvClient().req_ids(None)
    except TypeError as error:
        return type(error)


ArgumentError = _argument_error()  # the library's, a TypeError
assert ArgumentError.__name__ == "ArgumentError"


# Hostile but legal Python: each case runs in a child interpreter, so that a crash fails
# that case alone, and must end with exactly the expected outcome, the process exiting
# normally with no error left pending. A case is a few statements run with the names
# below in scope; its outcome is "ok" or the name of the exception that escapes, followed
# by its message where that matters (a name alone matches any message). When the case
# leaves an instance in `c`, the child then uses it in a loop of calls.
HOSTILE_CHILD = textwrap.dedent(r"""
    import collections, sys, textwrap, threading
    from OrvCpp import OrvClient, TickType

    class S(OrvClient):
        def __init__(self):
            super().__init__()
            self.calls = []

        def reqAutoOpenOrders(self, *args):
            self.calls.append(args)

        def placeOrder(self, *args):
            self.calls.append(args)

    class Plain:
        pass

    X = type(OrvClient)("X", (object,), {})
    XInt = type(OrvClient)("XInt", (int,), {})

    class Untestable(int):
        def __bool__(self):
            raise ValueError("no truth value")

    class ClassRaises:
        @property
        def __class__(self):
            raise RuntimeError("no class")

    def raising(error):
        def get(self):
            raise error
        return property(get)

    class K(str):
        # A key equal to 'placeOrder' by hash whose comparison raises `error`.
        error = AttributeError
        def __hash__(self): return hash('placeOrder')
        def __eq__(self, other): raise self.error

    def run(source):
        # Run as a function: exec() itself would have the interpreter end by SIGINT after
        # a KeyboardInterrupt passed through it, even once caught.
        exec("def case():\n    global c\n" + textwrap.indent(source, "    "), globals())
        try:
            case()
        except BaseException as error:
            text = str(error)
            return type(error).__name__ + (": " + text if text else "")
        return "ok"

    outcome = run(sys.argv[1])
    if isinstance(globals().get("c"), OrvClient):
        for _ in range(200):
            c.req_ids(1)
            c.simulateTickPrice(1, TickType.LAST, 1.0, "", "")
    OrvClient().req_ids(1)
    print(outcome)
""")


def hostile_ids(cases):
    """Test ids for a table of hostile cases: the first line of each, shortened."""
    return [(case.values[0] if hasattr(case, "values") else case[0]).split("\n")[0][:60]
            for case in cases]


def run_hostile(case, outcome):
    done = subprocess.run([sys.executable, "-c", HOSTILE_CHILD, case], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    got = done.stdout.strip()
    assert got == outcome or (":" not in outcome and got.split(":")[0] == outcome), got


def _boost_python_is_private():
    """Whether the Boost.Python library loaded is the module's own copy (OrvCpp.libs)."""
    with open("/proc/self/maps") as maps:
        return any("libboost_python" in line and "OrvCpp.libs" in line for line in maps)


PRIVATE_LIBRARY = _boost_python_is_private()
PRIVATE_LIBRARY_ONLY = pytest.mark.skipif(
    not PRIVATE_LIBRARY,
    reason="Boost.Python shared with other extensions (ORV_SYSTEM_BOOST): its types are left as they are")
