"""Callers that let go of an entry's arguments while the entry runs, generated from the tables.

The interpreter lends a callee its arguments, and the lender is not always the calling
frame: `functools.partial` lends the arguments it stores, and `partial.__setstate__` from
inside the call replaces them; `atexit` lends a callback's registered arguments, and
`atexit.unregister` from inside the callback frees them. A Python base class survives
both, because its frame owns its arguments; an entry must hold them itself.

For every method of OrvClient and every point at which Python code runs inside it, a case
calls the method through a partial that holds the only reference to the instance and to
every argument, and drops them all at that point:

    convert    an argument whose conversion runs Python code (an int subclass's __int__,
               a bool parameter's __bool__, a float subclass's __float__, a `__class__`
               property met by the TickType test), at each position where one can run
    property   the override is found through a property named after the operation
    getattr    ... through __getattr__
    dictkey    ... while the instance dictionary is searched (a key whose hash matches the
               operation's name and whose __eq__ runs)
    truth      ... when the callable found is tested for truth (its __bool__)
    override   inside the k-th override the call reaches (entries that perform several
               operations reach several), optionally raising after the drop

each also in developer mode. The reference for a case is the same program with one more
reference to the arguments kept, so that the drop frees nothing: what a Python base class
gives. Every override records its operation, the instance's tag and type, and the values it
received; the instance records its finalization (with its developer text). The case passes
when the records and the call's result or error are the reference's, and the process
survives (run under -X dev, a debug interpreter or AddressSanitizer with
PYTHONMALLOC=malloc, a freed object read is a crash or a report).

The atexit route: every method registered as an atexit callback with a fresh instance and
fresh arguments, its override unregistering it, against the same program without the
unregistering.

    python tests/reliability/ownership_probe.py [--cases N] [--seed S]   (all by default)
    python tests/reliability/ownership_probe.py --atexit [--keep]        (one atexit child)
"""
from __future__ import annotations

import argparse
import atexit
import functools
import json
import os
import random
import subprocess
import sys
import types
import weakref
from pathlib import Path

from OrvCpp import OrvClient, TickType

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[1] / "scripts"))
import interface_tables  # noqa: E402

METHODS = interface_tables.read_methods()
OVERRIDE_NAMES = tuple(op.name for op in interface_tables.read_operations() if op.overridden)
LOOKUP_POINTS = ("property", "getattr", "dictkey", "truth")

# ---------------------------------------------------------------------------------------
# The drop, and what the overrides and instances record.

RECORDS: list = []
PENDING = [None]  # the partial whose arguments the next drop() lets go of


def drop() -> None:
    held = PENDING[0]
    if held is not None:
        PENDING[0] = None
        if isinstance(held, functools.partial):
            held.__setstate__((print, (), None, None))
        else:
            atexit.unregister(held)


def describe(value) -> list:
    return [type(value).__name__, repr(value)]


class Raised(OverflowError):
    """Raised by an override after the drop: an OverflowError, which the entry's
    explanation of a failed conversion looks into."""


# Arguments whose conversion runs Python code, each with the value it converts to.
class HookInt(int):
    def __int__(self):
        drop()
        return int.__int__(self)

    def __index__(self):
        drop()
        return int.__index__(self)


class HookBool(int):
    def __bool__(self):
        drop()
        return True


class HookFloat(float):
    def __float__(self):
        drop()
        return float.__float__(self)


class HookTickType:
    @property
    def __class__(self):
        drop()
        return TickType


HOOKS = {"int": lambda p: HookInt(100000 + p), "bool": lambda p: HookBool(1),
         "float": lambda p: HookFloat(0.25 + p), "TickType": lambda p: HookTickType()}


def fresh_arguments(method, hook_position=-1) -> list:
    """New objects for every argument (none cached or interned by the interpreter), so that
    an argument freed too early is memory that is reused or poisoned."""
    values = []
    for position, kind in enumerate(method.types):
        if position == hook_position:
            values.append(HOOKS[kind](position))
        elif kind == "int":
            values.append(int("%d" % (100000 + position)))
        elif kind == "float":
            values.append(float("%d.5" % position))
        elif kind == "bool":
            values.append(position % 2 == 0)
        elif kind == "str":
            values.append("".join(["text-%02d-" % position] * 5))
        else:
            values.append(TickType(200 + position) if position % 2 else TickType.BID)
    return values


# ---------------------------------------------------------------------------------------
# The instance's class for one case.

class Case:
    def __init__(self, method, point, position=-1, target="", k=0, raising=False,
                 developer=False):
        self.method, self.point, self.position = method, point, position
        self.target, self.k, self.raising, self.developer = target, k, raising, developer

    def __str__(self):
        detail = {"convert": "arg%d" % self.position, "override": "#%d" % self.k}.get(
            self.point, self.target)
        flags = ("+raise" if self.raising else "") + ("+developer" if self.developer else "")
        return "%s/%s:%s%s" % (self.method.name, self.point, detail, flags)


def recording(name, case, calls):
    def override(self, *args):
        calls[0] += 1
        dropping = case.point == "override" and calls[0] == case.k
        if dropping:
            drop()
        RECORDS.append([name, self.tag, type(self).__name__, [describe(a) for a in args]])
        if dropping and case.raising:
            del args  # the error's traceback keeps this frame, but no longer the arguments
            raise Raised(name)

    override.__name__ = name
    return override


class Collide:
    """An instance-dictionary key searched whenever `name` is looked up there."""

    def __init__(self, name):
        self.name = name

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        drop()
        return False


class Truthful:
    """A callable override whose truth test runs Python code. It reaches its instance
    through a weak reference, so that the instance is not kept by a cycle."""

    def __init__(self, function, instance):
        self.function, self.instance = function, weakref.ref(instance)

    def __bool__(self):
        drop()
        return True

    def __call__(self, *args):
        return self.function(self.instance(), *args)


def client_class(case, overrides):
    calls = [0]
    body = {name: recording(name, case, calls) for name in overrides}
    target = case.target

    def __init__(self, tag):
        OrvClient.__init__(self)
        self.tag = tag
        if case.developer:
            self.setDeveloper()
        if case.point == "dictkey":
            self.__dict__[Collide(target)] = None
        if case.point == "truth":
            setattr(self, target, Truthful(body[target], self))

    def __del__(self):
        RECORDS.append(["finalized", self.tag, self.getDeveloperResponse()])

    body.update(__init__=__init__, __del__=__del__, calls=calls)
    if case.point == "property":
        function = body.pop(target)
        body[target] = property(lambda self: (drop(), types.MethodType(function, self))[1])
    elif case.point == "getattr":
        function = body.pop(target)

        def __getattr__(self, name):
            if name == target:
                drop()
                return types.MethodType(function, self)
            raise AttributeError(name)

        body["__getattr__"] = __getattr__
    return type("Client", (OrvClient,), body)


# ---------------------------------------------------------------------------------------
# Running a case twice: dropped, and with the arguments kept.

def outcome_of(call) -> list:
    try:
        return ["returned"] + describe(call())
    except BaseException as error:  # noqa: B036 (every outcome is compared)
        return ["raised", type(error).__name__, str(error)]


def run(case, keep: bool) -> list:
    cls = client_class(case, OVERRIDE_NAMES)
    entry = vars(OrvClient)[case.method.name]
    # One call first, with nothing to drop, so that the lookups of the call that drops
    # find what the class has as the calls that matter do: remembered, without a search
    # of the class that could run Python code.
    outcome_of(functools.partial(entry, cls("warm-up"), *fresh_arguments(case.method, case.position)))
    cls.calls[0] = 0
    del RECORDS[:]
    held = functools.partial(entry, cls("self"), *fresh_arguments(case.method, case.position))
    kept = held.args if keep else None
    PENDING[0] = held
    outcome = outcome_of(held)
    PENDING[0] = None
    del held, kept  # the reference's instance goes now, the dropped run's already went
    return [outcome, list(RECORDS)]


def reached(method) -> list:
    """The overrides a well-typed call of `method` reaches, in order."""
    outcome, records = run(Case(method, "none"), True)
    return [record[0] for record in records if record[0] != "finalized"]


def cases() -> list:
    found = []
    for method in METHODS:
        names = reached(method)
        for developer in (False, True):
            for position, kind in enumerate(method.types):
                if kind in HOOKS:
                    found.append(Case(method, "convert", position=position, developer=developer))
            for k in range(1, len(names) + 1):
                for raising in (False, True):
                    found.append(Case(method, "override", k=k, raising=raising,
                                      developer=developer))
            for target in dict.fromkeys(names):
                for point in LOOKUP_POINTS:
                    found.append(Case(method, point, target=target, developer=developer))
    return found


def probe(selected) -> int:
    failures = 0
    for case in selected:
        os.write(2, ("case %s\n" % case).encode())  # names the case a crash ends in
        dropped = run(case, False)
        reference = run(case, True)
        if dropped != reference:
            failures += 1
            print("FAIL %s\n  dropped:   %s\n  reference: %s" % (case, dropped, reference))
    print("ownership probe: %d cases, %d failed" % (len(selected), failures))
    return failures


# ---------------------------------------------------------------------------------------
# The atexit route, in a child of its own: each method registered with a fresh instance and
# fresh arguments, and a callback registered after it (so run just before it) that makes it
# the one the next drop() unregisters; the drop is in its first override, or in its first
# argument whose conversion runs Python code. With --keep, a reference to every method's
# arguments is kept too. The first callback registered, run last, prints what the
# overrides recorded (the instances' finalizations left out: kept ones are never finalized
# before it).

def register_at_exit(keep: bool) -> None:
    kept = []
    atexit.register(lambda: print(json.dumps([r for r in RECORDS if r[0] != "finalized"])))
    for serial, method in enumerate(METHODS):
        hooks = [i for i, kind in enumerate(method.types) if kind in HOOKS]
        if reached(method):
            case = Case(method, "override", k=1)
        elif hooks:
            case = Case(method, "convert", position=hooks[0])
        else:
            continue
        entry = vars(OrvClient)[method.name]
        arguments = [client_class(case, OVERRIDE_NAMES)("self-%d" % serial),
                     *fresh_arguments(method, case.position)]
        if keep:
            kept.append(arguments)
        atexit.register(entry, *arguments)
        atexit.register(PENDING.__setitem__, 0, entry)
        del arguments
    del RECORDS[:]
    KEPT.append(kept)


KEPT: list = []


def run_child(args, interpreter=sys.executable, flags=("-X", "dev"), env=None, timeout=600):
    return subprocess.run([interpreter, *flags, __file__, *args], capture_output=True,
                          text=True, timeout=timeout, env=env)


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--cases", type=int, default=0)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--atexit", action="store_true")
    parser.add_argument("--keep", action="store_true")
    options = parser.parse_args()
    if options.atexit:
        register_at_exit(options.keep)
        return 0
    selected = cases()
    if options.cases and options.cases < len(selected):
        selected = random.Random(options.seed).sample(selected, options.cases)
    return 1 if probe(selected) else 0


if __name__ == "__main__":
    sys.exit(main())
