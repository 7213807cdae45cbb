"""OrvCpp's Python surface as the reliability checks drive it.

The methods and their parameter types are read from the tables the module is built
from (scripts/interface_tables.py). The names a subclass may override come from the test suite's interface table, and the
recording subclass is the suite's own Recorder. On top of these, this module builds
subclasses whose overrides count or raise, and typed sample arguments for every kind.

Imported by the pytest checks and by the atheris driver in scripts/reliability/.
"""
from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
from dataclasses import dataclass
from pathlib import Path

from OrvCpp import OrvClient, TickType

TESTS = Path(__file__).resolve().parents[1]
if str(TESTS) not in sys.path:
    sys.path.insert(0, str(TESTS))
from conftest import make_recorder_class  # noqa: E402
from interface_table import OVERRIDDEN  # noqa: E402

sys.path.insert(0, str(TESTS.parent / "scripts"))
import interface_tables  # noqa: E402

# Set by the scripts that run the suite under ASan or valgrind: native heap figures (RSS,
# malloc statistics) mean nothing there, and the run is much slower.
SANITIZED = os.environ.get("ORV_SANITIZED", "")
# Multiplies the call counts and durations of the bounded checks (0.05 under valgrind,
# 10 for a long local run).
SCALE = float(os.environ.get("ORV_RELIABILITY_SCALE", "1"))

@dataclass(frozen=True)
class Method:
    name: str
    params: tuple[str, ...]  # Python type names after self: int, float, bool, str, TickType
    returns: str

    @property
    def binding(self):
        """The module's own function (a subclass may hide the name with an override)."""
        return vars(OrvClient)[self.name]

    def __call__(self, instance, *args):
        return self.binding(instance, *args)


def methods() -> list[Method]:
    """Every method of OrvClient, in registration order, as the interface tables give them."""
    return [Method(row.name, row.types, row.result) for row in interface_tables.read_methods()]


METHODS = methods()
OVERRIDE_NAMES = tuple(name for name, _ in OVERRIDDEN)


# Subclasses with one kind of override for every overridable operation.

class OverrideFailure(Exception):
    """What the raising overrides raise."""


class OverrideResult:
    """What the counting overrides return; its reference count shows a result never released."""


OVERRIDE_RESULT = OverrideResult()


def _counting(name):
    def override(self, *args):
        self.count += 1
        return OVERRIDE_RESULT

    override.__name__ = override.__qualname__ = name
    return override


def _raising(name):
    def override(self, *args):
        raise OverrideFailure(name)

    override.__name__ = override.__qualname__ = name
    return override


def _with_state(self):
    OrvClient.__init__(self)
    self.count = 0
    self.calls = []


def override_class(kind: str) -> type:
    """A subclass whose overrides are of `kind`:

    absent    no attribute of an operation's name (the class's own bindings only)
    missing   __getattr__ raises AttributeError for every name (a lookup that fails loudly)
    disabled  every operation's name bound to None
    counting  every override counts its call and returns OVERRIDE_RESULT
    raising   every override raises OverrideFailure
    recording every override appends (name, args) to self.calls (the suite's Recorder)
    """
    if kind == "recording":
        return make_recorder_class(OVERRIDE_NAMES)
    body = {"__init__": _with_state}
    if kind == "missing":
        def __getattr__(self, name):
            raise AttributeError(name)

        body["__getattr__"] = __getattr__
    elif kind == "disabled":
        body.update(dict.fromkeys(OVERRIDE_NAMES))
    elif kind in ("counting", "raising"):
        make = _counting if kind == "counting" else _raising
        body.update({name: make(name) for name in OVERRIDE_NAMES})
    elif kind != "absent":
        raise ValueError(kind)
    return type(f"{kind.capitalize()}Client", (OrvClient,), body)


OVERRIDE_KINDS = ("absent", "missing", "disabled", "counting", "raising", "recording")


# Typed sample values. Each list holds values of every shape a parameter of that kind
# accepts: text as str and bytes (zero bytes, multi-byte UTF-8, invalid UTF-8, long),
# numbers at the 32-bit limits, bool and TickType members where an int is taken, and
# registered and unnamed TickType members.

def sample_values() -> dict[str, list]:
    long_text = "x" * 4096
    # A text of its own, not the interned literal that other modules' code objects also
    # hold: its reference count then moves only with what crosses the boundary.
    text = "".join(("te", "xt"))
    return {
        "int": [7, 2**31 - 1, -(2**31), 123456789, True, TickType.BID],
        "float": [1.5, float("nan"), float("inf"), -0.0, 12345678901234567890, 2.5e300],
        "bool": [True, False, None, 0, 5, TickType.ASK],
        "str": [text, "\u00e9\u20ac\U0001d11e", b"zero\x00byte", b"\xff\xfe invalid",
                long_text, b"", long_text.encode()],
        "TickType": [TickType.BID, TickType.NOT_SET, TickType(200), TickType(-5),
                     TickType(58), TickType.LAST_RTH_TRADE],
    }


def typed_arguments(method: Method, values: dict[str, list], variant: int) -> tuple:
    """Arguments for `method`, position i taking value (variant + i) of its kind's list."""
    return tuple(values[kind][(variant + position) % len(values[kind])]
                 for position, kind in enumerate(method.params))


def well_typed(method: Method) -> tuple:
    """Plain valid arguments whose texts all decode, so the call reaches its override."""
    plain = {"int": 1, "float": 1.5, "bool": True, "str": "text", "TickType": TickType.BID}
    return tuple(plain[kind] for kind in method.params)


def developer_texts() -> frozenset[str]:
    """Every text developer mode leaves behind, as the module records it: each method
    called once on a fresh developer-mode instance (connect's text carries the port and
    client id, 1 and 1 here)."""
    texts = set()
    for method in METHODS:
        client = OrvClient()
        client.setDeveloper()
        method(client, *well_typed(method))
        texts.add(client.getDeveloperResponse())
    return frozenset(texts)


# Objects that offer one conversion only, without deriving from int, float or bool.

class OnlyIndex:
    """Has __index__ and nothing else numeric."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class OnlyInt(OnlyIndex):
    __index__ = None

    def __int__(self):
        return self.value


class OnlyFloat:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class OnlyBool:
    def __bool__(self):
        return True


# Process memory figures.

class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


_libc = ctypes.CDLL(ctypes.util.find_library("c"))
_mallinfo2 = getattr(_libc, "mallinfo2", None)
if _mallinfo2 is not None:
    _mallinfo2.restype = _MallInfo2


def malloc_in_use() -> int | None:
    """Bytes the C allocator has handed out and not taken back (glibc), or None."""
    if _mallinfo2 is None or SANITIZED:
        return None
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


def rss_bytes() -> int | None:
    if SANITIZED:
        return None
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
