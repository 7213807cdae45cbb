#!/usr/bin/env python3
"""Generates the type stubs of OrvCpp and the override-protocol reference.

Writes
  OrvCpp-stubs/__init__.pyi                 the PEP 561 stub package shipped in the wheel
  OrvCpp-stubs/_check_only.pyi              its types for type checkers only, which the
                                            module OrvCpp does not offer
  docs/api.md                               the user reference of the Python interface
  scripts/stubtest-allowlist-overrides.txt  the methods the stub declares on OrvClient
                                            for a subclass to define, which the class
                                            itself lacks at run time
  docs/reliability.md                       (two cells of it) how many entries and members
                                            the surface inventory's rows stand for

from the tables the module is built from (scripts/interface_tables.py: the operations
of src/client/operations.def, the methods of src/module/client_methods.def in
registration order, the members of src/tick_type/tick_types.def), worded with the
summaries and meanings of scripts/interface_words.py. The built module is checked to
register exactly those methods in that order and those TickType members, and is
called once per method to observe what each one reaches (the docstrings say so), so a
table and a module that disagree stop the generator instead of producing stubs.

  python scripts/gen_stubs.py           regenerate both files
  python scripts/gen_stubs.py --check   say "current", or exit 1 with a diff if a file
                                        is stale
  python scripts/gen_stubs.py --underscore-form STUB OUTPUT
                                        write STUB in the form installed for CPython 3.7
                                        (see underscore_form()); CMakeLists.txt runs it
"""

from __future__ import annotations

import argparse
import difflib
import importlib
import os
import re
import sys
from collections import Counter
from collections.abc import Hashable, Sequence
from dataclasses import dataclass
from pathlib import Path
from types import ModuleType

sys.path.insert(0, str(Path(__file__).resolve().parent))  # when loaded by path, not run
import interface_tables as tables  # noqa: E402
import interface_words as words  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
STUB_PATH = ROOT / "OrvCpp-stubs" / "__init__.pyi"
CHECK_ONLY_PATH = ROOT / "OrvCpp-stubs" / "_check_only.pyi"
DOCS_PATH = ROOT / "docs" / "api.md"
ALLOWLIST_PATH = ROOT / "scripts" / "stubtest-allowlist-overrides.txt"
ERRORS_PATH = ROOT / "docs" / "errors-and-warnings.md"
RELIABILITY_PATH = ROOT / "docs" / "reliability.md"

CALLBACK = "ORV_CALLBACK"
REQUEST = "ORV_REQUEST"
RECORDED_REQUEST = "ORV_RECORDED_REQUEST"
DISPATCHER = "ORV_DISPATCHER"
ROW_KINDS = (CALLBACK, REQUEST, RECORDED_REQUEST, DISPATCHER)

# Native parameter types of the operation table, as the binding library names their
# Python side in generated signatures, as a caller may pass them, and as an override
# receives them from the native side. Text accepts str (encoded as UTF-8) or bytes going
# in, and the native side hands it to an override as str. (A plain Python call of a
# method the subclass defines passes whatever the caller gave.)
NATIVE_TYPES = {
    # native:      (signature name, caller type, override type)
    "int": ("int", "int", "int"),
    "OrvLong": ("int", "int", "int"),
    "bool": ("bool", "bool", "bool"),
    "double": ("float", "float", "float"),
    "std::string": ("str", "str | bytes", "str"),
    "TickType": ("TickType", "TickType", "TickType"),
}
SIGNATURE_TYPES = {"int": "int", "bool": "bool", "float": "float", "str": "str | bytes",
                   "TickType": "TickType"}
RETURN_TYPES = {"None": "None", "str": "str"}

# The stub-only type of the registered TickType members (the ones with a name), and the
# private stub module that declares it. A class defined in OrvCpp's own stub would be
# offered by it: `from OrvCpp import NamedTickType` would pass the type checkers and
# fail at run time. Imported there without `as`, it is not re-exported, and both mypy
# and pyright reject that import.
NAMED_TICK_TYPE = "NamedTickType"
CHECK_ONLY_MODULE = "OrvCpp._check_only"


class TableMismatch(Exception):
    """The module and the tables it is built from disagree."""


@dataclass(frozen=True)
class Operation:
    order: int
    kind: str
    name: str
    native: tuple[str, ...]
    names: tuple[str, ...]  # the parameters' names

    @property
    def overridable(self) -> bool:
        return self.kind != DISPATCHER

    @property
    def summary(self) -> str:
        return words.OPERATIONS[self.name]

    @property
    def signature_types(self) -> tuple[str, ...]:
        return tuple(NATIVE_TYPES[t][0] for t in self.native)

    @property
    def override_types(self) -> tuple[str, ...]:
        return tuple(NATIVE_TYPES[t][2] for t in self.native)


@dataclass(frozen=True)
class Method:
    order: int
    name: str
    params: tuple[str, ...]  # Python type names, self excluded
    names: tuple[str, ...]   # the parameters' names
    returns: str
    source: tuple[str, bool] | None  # the operation it runs or replays, and whether it replays


# --- sources -------------------------------------------------------------------------

KINDS = {"callback": CALLBACK, "request": REQUEST, "recorded_request": RECORDED_REQUEST,
         "dispatcher": DISPATCHER}
TICK_TYPE = "ORV_TICK_TYPE"
# The row macros of client_methods.def, by the kind of method each row gives.
# ORV_REQUEST_ENTRIES gives one method per request entry of operations.def.
METHOD_ROWS = {"member": "ORV_MEMBER", "replay_member": "ORV_REPLAY_MEMBER",
               "operation": "ORV_OPERATION_ENTRY", "simulation": "ORV_SIMULATION",
               "request": "ORV_REQUEST_ENTRIES"}


def read_operations() -> list[Operation]:
    operations = [Operation(op.order, KINDS[op.kind], op.name, tuple(t for t, _ in op.parameters),
                            op.names) for op in tables.read_operations()]
    check_every_row_read(tables.OPERATIONS_DEF, Counter(op.kind for op in operations))
    check_unique(tables.OPERATIONS_DEF, "operation", [op.name for op in operations])
    missing = {op.name for op in operations} - set(words.OPERATIONS)
    if missing:
        raise TableMismatch(f"interface_words.py: no summary for {sorted(missing)}")
    unknown = set(words.OPERATIONS) - {op.name for op in operations}
    if unknown:
        raise TableMismatch(f"interface_words.py names operations not in operations.def: "
                            f"{sorted(unknown)}")
    return operations


def read_tick_types() -> list[tuple[str, int]]:
    members = tables.read_tick_types()
    check_every_row_read(tables.TICK_TYPES_DEF, Counter({TICK_TYPE: len(members)}))
    check_unique(tables.TICK_TYPES_DEF, "member name", [name for name, _ in members])
    check_unique(tables.TICK_TYPES_DEF, "member value", [value for _, value in members])
    return members


def read_methods() -> list[Method]:
    rows = tables.read_methods()
    entries = sum(op.entry is not None for op in tables.read_operations())
    check_every_row_read(tables.METHODS_DEF, Counter(METHOD_ROWS[row.kind] for row in rows),
                         {METHOD_ROWS["request"]: entries})
    check_unique(tables.METHODS_DEF, "method", [row.name for row in rows])
    methods = []
    for row in rows:
        source = None
        if row.operation is not None:
            source = (row.operation.name, row.replays)
        methods.append(Method(row.order, row.name, tuple(NATIVE_TYPES[t][0] for t, _ in row.parameters),
                              row.names, row.result, source))
    return methods


# The tables' reader (scripts/interface_tables.py) reads a row from each line that
# starts with a row macro. A row it does not see (two on one line, one behind other
# text) would be missing from the stubs and the reference without a word, so the macros
# are also counted in the file's code as the compiler sees it (comments and
# preprocessor lines left out), and the rows read must match that count, macro by macro.
_COMMENT = re.compile(r"/\*.*?\*/|//[^\n]*", re.S)
_DIRECTIVE = re.compile(r"^[ \t]*#(?:[^\n]*\\\n)*[^\n]*", re.M)
_MACRO = re.compile(r"\bORV_\w+")


def macros_in_code(path: Path) -> Counter[str]:
    """How often each ORV_ name occurs in the code of a table."""
    code = _DIRECTIVE.sub("", _COMMENT.sub("", path.read_text()))
    return Counter(_MACRO.findall(code))


def check_every_row_read(path: Path, read: Counter[str],
                         rows_per_macro: dict[str, int] | None = None) -> None:
    """`read` counts the rows read by the macro that gave them; each macro in the code
    gives one row, or as many as `rows_per_macro` says."""
    per_macro = rows_per_macro or {}
    expected = Counter({macro: count * per_macro.get(macro, 1)
                        for macro, count in macros_in_code(path).items()})
    differ = [f"{macro}: {expected[macro]} in the code, {read[macro]} read"
              for macro in sorted(set(expected) | set(read)) if expected[macro] != read[macro]]
    if differ:
        raise TableMismatch(f"{path.name}: rows not read as written: {'; '.join(differ)}")


def check_unique(path: Path, what: str, keys: Sequence[Hashable]) -> None:
    repeated = sorted(str(key) for key, count in Counter(keys).items() if count > 1)
    if repeated:
        raise TableMismatch(f"{path.name}: {what} listed more than once: {repeated}")


# --- cross-checks --------------------------------------------------------------------

def check_module(methods: list[Method], tick_types: list[tuple[str, int]],
                 module: ModuleType) -> None:
    """The built module registers what the tables say, in their order."""
    problems = []
    registered = [n for n, v in vars(module.OrvClient).items()
                  if not n.startswith("__") and callable(v)]
    if registered != [m.name for m in methods]:
        problems.append(f"OrvClient's methods are {registered}, client_methods.def says "
                        f"{[m.name for m in methods]}")
    tick_class = module.TickType
    runtime_members = {name: int(member) for name, member in tick_class.names.items()}
    if runtime_members != dict(tick_types):
        problems.append("TickType members differ between the module and tick_types.def")
    for name, value in tick_types:
        member = getattr(tick_class, name, None)
        if member is None or member is not tick_class.values.get(value):
            problems.append(f"TickType.{name} is not the registered member for {value}")
    # The stub declares the public names; the one private one unpickles argument errors.
    module_names = sorted(n for n in vars(module) if not n.startswith("__"))
    if module_names != ["OrvClient", "TickType", "_rebuild_argument_error"]:
        problems.append(f"module attributes are {module_names}, expected OrvClient and "
                        "TickType (and _rebuild_argument_error)")
    if problems:
        raise TableMismatch("\n".join(problems))


# --- names ---------------------------------------------------------------------------

def source_operation(method: Method, operations: list[Operation]) -> tuple[Operation, bool] | None:
    """The operation a method runs or replays, and whether it replays it."""
    if method.source is None:
        return None
    name, replays = method.source
    return next(op for op in operations if op.name == name), replays


# --- rendering -----------------------------------------------------------------------

HEADER = '''\
# Type information for the OrvCpp extension module (PEP 561 stub-only package).
#
# Generated by scripts/gen_stubs.py from the interface tables (src/client/operations.def,
# src/module/client_methods.def) and the built module; do not edit by hand, run the
# script instead.
#
# Parameters are positional-only, as the module accepts no keyword arguments: marked
# with "/", so that hovers show their plain names. The copy installed for CPython 3.7
# names them with two leading underscores instead, the older form that the parser of
# mypy's last release for 3.7 reads. Each method has a one-line docstring; the
# module's own docstrings are the binding library's signatures.
# Text parameters accept str (encoded as UTF-8) or bytes, except where a method is
# also a callback that a subclass may override: there they are typed str, the type
# the override receives from the native side.
#
# Where this stub is deliberately stricter than the module:
# - flags are typed bool, though the module also accepts int and None;
# - the texts of the callbacks registered on OrvClient (tickPrice, ...) are typed str,
#   though the module also accepts bytes there;
# - only the registered TickType members (TickType.BID, TickType.names[...],
#   TickType.values[...]) have a name; a TickType made by a call, or received by a
#   callback, may be unnamed, so the stub gives it none (str(member) works on both).
#   The named members' type is declared in the private stub module _check_only, for
#   type checkers only: it does not exist at run time, and OrvCpp does not offer it.
#
# Where it is looser: OrvClient declares every method a subclass may define (placeOrder,
# connect, nextValidId, ...), so that a type checker checks each override against it,
# and `@override` (typing, or typing_extensions before 3.12) finds the method it
# overrides. At run time the class itself has only the callbacks registered on it
# (tickPrice, ...): calling another of these methods on an object whose class does
# not define it, or through super(), raises AttributeError.
'''


def parameter_list(names: tuple[str, ...], types: tuple[str, ...] | list[str]) -> str:
    # Positional-only by "/" (PEP 570); underscore_form() rewrites it for CPython 3.7.
    params = [f"{n}: {t}" for n, t in zip(names, types)]
    return ", ".join(["self", *params, "/"] if params else ["self"])


# A method whose parameters after self are positional-only, as parameter_list() writes it.
POSITIONAL_ONLY = re.compile(r"^(?P<head>[ \t]*def \w+\(self)(?P<params>, [^()/]*), /\)", re.M)
SLASH = re.compile(r"[(,]\s*/\s*[,)]")


def underscore_form(stub: str) -> str:
    """The stub with its positional-only parameters written the pre-PEP 570 way: each
    parameter after self named with two leading underscores, and no "/". The parser of
    mypy 1.4, the last mypy for CPython 3.7, rejects "/" in a stub as invalid syntax,
    so this form is the one installed for 3.7."""
    def prefixed(match: re.Match[str]) -> str:
        return match["head"] + re.sub(r", (\w+): ", r", __\1: ", match["params"]) + ")"

    text = POSITIONAL_ONLY.sub(prefixed, stub)
    left = [line for line in text.splitlines() if SLASH.search(line)]
    if left:
        raise ValueError(f"cannot rewrite the positional-only marker in {left[0].strip()!r}")
    return text


def method_docstring(method: Method, operations: list[Operation], found: Probe,
                     initial: str) -> str:
    """One line: what the method is for, then what it calls, observed by the probe."""
    what = describe(method, found, initial)
    source = source_operation(method, operations)
    if not found.calls:
        line = what
    elif source is not None and source[1]:
        line = f"Replays one `{source[0].name}` event: {what[0].lower()}{what[1:]}"
    elif source is not None and source[0].name == method.name and source[0].overridable:
        # A callback registered on the class: the native entry, not the override.
        line = (f"{source[0].summary} The native entry: dispatches to the subclass's "
                f"`{method.name}` as a native call does.")
    else:
        summary = source[0].summary if source is not None else words.METHODS[method.name]
        line = f"{summary} {what}"
    developer = describe_developer(method, found, method.names)
    if developer:
        line += f" In developer mode, {developer[0].lower()}{developer[1:]}"
    if '"' in line or "\\" in line:
        raise TableMismatch(f"{method.name}: the docstring cannot hold {line!r}")
    return line


def reached_from(op: Operation, methods: list[Method], probes: dict[str, Probe]) -> list[str]:
    return [m.name for m in methods if op.name in probes[m.name].reach]


def subclass_only(operations: list[Operation], methods: list[Method]) -> list[Operation]:
    """The methods a subclass may define that OrvClient itself does not have."""
    registered = {m.name for m in methods}
    return [op for op in operations if op.overridable and op.name not in registered]


def render_stub(operations: list[Operation], methods: list[Method],
                tick_types: list[tuple[str, int]], probes: dict[str, Probe],
                initial: str) -> str:
    overrides = {op.name: op for op in operations if op.overridable}
    out = [HEADER]
    out.append("from typing import ClassVar\n")
    out.append(f"from {CHECK_ONLY_MODULE} import {NAMED_TICK_TYPE}\n")
    out.append("")
    out.append("class TickType(int):")
    out.append("    # Market-data field kinds. Members are int values; arithmetic on them gives")
    out.append("    # plain int. TickType(n) always makes a new member without a name attribute,")
    out.append("    # also for a listed n; the named members are the class attributes below.")
    for name, value in tick_types:
        out.append(f"    {name}: ClassVar[{NAMED_TICK_TYPE}]  # {value}")
    out.append(f"    names: ClassVar[dict[str, {NAMED_TICK_TYPE}]]")
    out.append(f"    values: ClassVar[dict[int, {NAMED_TICK_TYPE}]]")
    out.append("")
    out.append("class OrvClient:")
    out.append("    # The methods of the class, in registration order; then the other methods a")
    out.append("    # subclass may define (see the header).")
    out.append("    def __init__(self) -> None:")
    out.append('        """Builds the native object; a subclass\'s __init__ must call it, '
               'as super().__init__()."""')
    for method in methods:
        if method.name in overrides:
            types = list(overrides[method.name].override_types)
        else:
            types = [SIGNATURE_TYPES[t] for t in method.params]
        ret = RETURN_TYPES[method.returns]
        params = parameter_list(method.names, types)
        out.append(f"    def {method.name}({params}) -> {ret}:")
        doc = method_docstring(method, operations, probes[method.name], initial)
        out.append(f'        """{doc}"""')
    out.append("    # Requests and callbacks that the native side calls on a subclass that defines")
    out.append("    # them, and that OrvClient itself lacks at run time.")
    for op in subclass_only(operations, methods):
        params = parameter_list(op.names, op.override_types)
        out.append(f"    def {op.name}({params}) -> None:")
        sources = code_list(reached_from(op, methods, probes))
        out.append(f'        """{op.summary} Reached from {sources}; '
                   f'defined by a subclass, not by OrvClient."""')
    return "\n".join(out) + "\n"


CHECK_ONLY = f'''\
# Types for type checkers only, used by the stub of the OrvCpp extension module.
#
# Generated by scripts/gen_stubs.py; do not edit by hand, run the script instead.
#
# This module does not exist at run time. OrvCpp's stub imports from it without
# re-exporting, so that `from OrvCpp import {NAMED_TICK_TYPE}` is an error for the type
# checkers, as it is for the interpreter.

from typing import type_check_only

from OrvCpp import TickType


@type_check_only
class {NAMED_TICK_TYPE}(TickType):
    # A registered member, the only kind of TickType with a name. At run time the
    # members are plain TickType objects.
    @property
    def name(self) -> str:
        """The registered name of the member."""
'''


def render_allowlist(operations: list[Operation], methods: list[Method]) -> str:
    lines = [
        "# Generated by scripts/gen_stubs.py from the interface tables and the built module;",
        "# do not edit by hand, run the script instead.",
        "#",
        "# The methods that the stub declares on OrvClient for a subclass to define, and that",
        "# the class itself lacks at run time (see the stub's header): stubtest reports each",
        "# as missing. Should the module register one of them, its entry goes unused and",
        "# stubtest fails until the generator has run.",
        *(f"OrvCpp.OrvClient.{op.name}" for op in subclass_only(operations, methods)),
    ]
    return "\n".join(lines) + "\n"


KIND_DESCRIPTIONS = {
    CALLBACK: "callback",
    REQUEST: "request",
    RECORDED_REQUEST: "request (recorded in developer mode)",
}


@dataclass
class Probe:
    """What one call of an OrvClient method does, as observed from a subclass."""

    passed: tuple[object, ...]
    calls: list[tuple[str, tuple[object, ...]]]  # overrides reached, with their arguments
    developer_calls: list[tuple[str, tuple[object, ...]]]  # the same, in developer mode
    developer_text: str | None  # recorded in developer mode, None if the text is kept
    text_when_raising: str | None  # the same, when every override raises

    @property
    def reach(self) -> list[str]:
        return [name for name, _ in self.calls]


class _ProbeFailure(Exception):
    pass


def probe_argument(module: ModuleType, position: int, type_name: str) -> object:
    """A value for argument `position` (from 1) that no other argument shares, so a
    received value or a recorded text shows which argument it came from."""
    return {"int": 11 * position, "bool": True, "float": position + 0.25,
            "str": f"t{position}", "TickType": module.TickType.BID}[type_name]


def probe(module: ModuleType, operations: list[Operation],
          methods: list[Method]) -> dict[str, Probe]:
    """Calls every OrvClient method on a subclass that records each overridable
    operation it receives: once as is, once in developer mode, and once in developer
    mode with overrides that raise. The reference shows what the module does, derived
    from these calls rather than restated, including the links that native bodies make
    (e_connect -> connect, ...)."""
    calls: list[tuple[str, tuple[object, ...]]] = []
    raising = False

    def recorder(name: str) -> object:
        def override(self: object, *args: object) -> None:
            calls.append((name, args))
            if raising:
                raise _ProbeFailure(name)
        return override

    body = {op.name: recorder(op.name) for op in operations if op.overridable}
    probe_class = type("Probe", (module.OrvClient,), body)
    initial = module.OrvClient().getDeveloperResponse()

    def run(method: Method, passed: tuple[object, ...], developer: bool) -> str | None:
        client = probe_class()
        if developer:
            client.setDeveloper()
        calls.clear()
        try:
            # The class's own binding: a same-named override on the probe would shadow it.
            vars(module.OrvClient)[method.name](client, *passed)
        except _ProbeFailure:
            pass
        text: str = client.getDeveloperResponse()
        return None if text == initial else text

    probes = {}
    for method in methods:
        passed = tuple(probe_argument(module, i, t) for i, t in enumerate(method.params, 1))
        run(method, passed, developer=False)
        normal = list(calls)
        text = run(method, passed, developer=True)
        developer = list(calls)
        raising = True
        try:
            text_when_raising = run(method, passed, developer=True)
        finally:
            raising = False
        probes[method.name] = Probe(passed, normal, developer, text, text_when_raising)
    for op in operations:
        if op.overridable and not any(op.name in p.reach for p in probes.values()):
            raise TableMismatch(f"no OrvClient method reaches the override {op.name}")
    return probes


def ordinal(n: int) -> str:
    return f"{n}{'th' if 10 <= n % 100 <= 20 else {1: 'st', 2: 'nd', 3: 'rd'}.get(n % 10, 'th')}"


def describe_call(method: Method, passed: tuple[object, ...], name: str,
                  received: tuple[object, ...]) -> str:
    if received == passed and passed:
        return f"`{name}` with its arguments"
    if not passed or not received:
        return f"`{name}({', '.join(repr(a) for a in received)})`"
    kept = len(received)
    if received == passed[:kept] and all(t == "str" for t in method.params[kept:]):
        dropped = [ordinal(n) for n in range(kept + 1, len(passed) + 1)]
        texts = "(a text) is" if len(dropped) == 1 else "(texts) are"
        return (f"`{name}` with its first {kept} arguments; the {' and '.join(dropped)} "
                f"{texts} accepted and dropped")
    raise TableMismatch(f"{method.name} calls {name} with {received!r} for {passed!r}, "
                        "which the reference cannot describe")


def describe(method: Method, found: Probe, initial: str) -> str:
    if not found.calls:
        if method.name not in words.METHODS:
            raise TableMismatch(f"{method.name} reaches no override and has no summary")
        return words.METHODS[method.name].format(initial=initial)
    steps = [describe_call(method, found.passed, n, a) for n, a in found.calls]
    return "Calls " + ", then ".join(steps) + "."


def describe_developer(method: Method, found: Probe, names: tuple[str, ...]) -> str:
    text = found.developer_text
    if text is None:
        return ""
    # Whole numbers passed in appear in the text in decimal: name the argument instead.
    by_value = {str(v): f"<{name}>" for v, t, name in
                zip(found.passed, method.params, names) if t == "int"}
    shown = " ".join(by_value.get(word, word) for word in text.split(" "))
    if not found.developer_calls and found.calls:
        return f"Records `{shown}` instead."
    if found.developer_calls == found.calls and found.text_when_raising is None:
        return f"Records `{shown}` after the call returns (not when it raises)."
    raise TableMismatch(f"{method.name}: developer mode changes the calls made")


def code_list(names: list[str]) -> str:
    return ", ".join(f"`{n}`" for n in names)


def type_cell(names: tuple[str, ...], types: list[str]) -> str:
    # A "|" inside a table cell must be escaped, code spans included.
    return ", ".join(f"`{n}: {t}`".replace("|", "\\|")
                     for n, t in zip(names, types)) or "(none)"


def callback_arguments(operations: list[Operation]) -> list[str]:
    """A list per operation the broker side calls: each argument, its type and meaning."""
    lines = []
    for op in operations:
        meanings = words.CALLBACK_ARGUMENTS.get(op.name)
        if op.kind != CALLBACK or not op.native:
            continue
        if meanings is None or list(meanings) != list(op.names):
            raise TableMismatch(f"interface_words.py: the meanings of {op.name}'s arguments "
                                f"do not follow its names {op.names}")
        lines += ["", f"`{op.name}({', '.join(op.names)})`: {op.summary}", ""]
        lines += [f"- `{name}` (`{t}`): {meanings[name]}"
                  for name, t in zip(op.names, op.override_types)]
    return lines


def render_docs(operations: list[Operation], methods: list[Method],
                tick_types: list[tuple[str, int]], probes: dict[str, Probe],
                initial: str) -> str:
    reach = {name: found.reach for name, found in probes.items()}
    overridable = [op for op in operations if op.overridable]
    dispatchers = [op for op in operations if not op.overridable]
    dispatch_notes = [f"- `{op.name}` calls {' then '.join(f'`{r}`' for r in reach[op.name])}."
                      for op in dispatchers]
    lines = [
        "# OrvCpp Python interface",
        "",
        "<!-- Generated by scripts/gen_stubs.py from the interface tables (src/client/operations.def,",
        "     src/module/client_methods.def) and the built module; do not edit by hand. -->",
        "",
        "`OrvCpp` has two attributes: the class `OrvClient` and the enumeration `TickType`.",
        "A broker connection is a Python subclass of `OrvClient` that defines some of the",
        "methods listed below. The native side calls them by name, with positional arguments",
        "of the types shown, and ignores what they return. A method the subclass does not",
        "define does nothing.",
        "",
        "- Requests issued through a snake-case entry (`client.place_order(7, 'a', 'b')`)",
        "  reach the camel-case method of the same operation (`placeOrder`).",
        "- Callbacks are reached from the replay entries (`simulateTickPrice`, ...), the",
        "  connection entries (`e_connect`, `e_disconnect`), the heartbeat, and the callback",
        "  methods registered on `OrvClient` itself (`tickPrice`, ...). The column",
        "  *Reached from* below lists them for each method.",
        "- When the native side calls a method, text arguments arrive as `str` (decoded as",
        "  UTF-8), even when the caller passed `bytes`, and `TickType` arguments arrive as",
        "  the registered member, for example `TickType.BID` itself for the value 1 (an",
        "  unlisted value arrives as an unnamed `TickType`).",
        "- One exception: on an instance whose class defines one of the callbacks",
        "  registered on `OrvClient` itself (`error`, `tickPrice`, ...), `client.tickPrice(...)`",
        "  is that Python method, called by Python with exactly what was passed (`bytes`",
        "  stays `bytes`, an `int` stays an `int`). Only `OrvClient.tickPrice(client, ...)`",
        "  goes through the native side.",
        "- An exception raised by an override propagates to the Python caller of the entry",
        "  that led to it.",
        "- The method is looked up on the instance at every call, so an instance attribute",
        "  with one of these names replaces it: a false value (`self.position = {}` while",
        "  the dict is empty) means \"not implemented\" and the call does nothing, any other",
        "  value that cannot be called raises `TypeError`. The stubs declare these methods",
        "  on `OrvClient` (below), so mypy and pyright reject such an assignment.",
        "",
        f"{' and '.join(f'`{op.name}`' for op in dispatchers)} are not part of the protocol:",
        "their native bodies pass the call on, and a subclass that defines them changes",
        "nothing for native calls.",
        "",
        *dispatch_notes,
        "",
        "## Type checking",
        "",
        "The wheel ships the stub package `OrvCpp-stubs` (PEP 561), which mypy, pyright and",
        "other type checkers find on their own. It declares every method of the table below",
        "on `OrvClient`, with the arguments the native side passes, so that the checker",
        "verifies each override a subclass defines. Mark each override with `@override`",
        "(`typing.override` from Python 3.12, `typing_extensions.override` before): a marked",
        "method whose name is not in the table, or whose parameters do not fit, is an error.",
        "",
        "```python",
        "import sys",
        "",
        "from OrvCpp import OrvClient, TickType",
        "",
        "if sys.version_info >= (3, 12):",
        "    from typing import override",
        "else:",
        "    from typing_extensions import override",
        "",
        "",
        "class Connection(OrvClient):",
        "    @override",
        "    def placeOrder(self, order_id: int, contract: str, order: str) -> None:",
        "        ...",
        "",
        "    @override",
        "    def tickPrice(self, req_id: int, tick_type: TickType, price: float,",
        "                  attrib: str) -> None:",
        "        ...",
        "```",
        "",
        "mypy's error code `explicit-override` and pyright's `reportImplicitOverride` make",
        "the marker compulsory on every override.",
        "",
        "At run time `OrvClient` itself has only the callbacks registered on it",
        "(`error`, `heartBeatsEnd`, `tickPrice`, ...); the other methods of the table exist",
        "only where a subclass defines them, which the checker cannot tell. Do not call",
        "one of them through `super()`: a registered callback calls your override again,",
        "and any other raises `AttributeError`, as it does on an object whose class does",
        "not define it.",
        "",
        "## Override protocol",
        "",
        "The methods a subclass may define, in the order of the native",
        "interface. *Reached from* names the `OrvClient` methods whose call leads to it.",
        "The argument names are those of the stubs; the native side passes the arguments",
        "by position, so an override may name them as it likes.",
        "",
        "| # | Method | Kind | Arguments | What it is | Reached from |",
        "|---|---|---|---|---|---|",
    ]
    for index, op in enumerate(overridable, 1):
        sources = [m.name for m in methods if op.name in reach[m.name]]
        lines.append(f"| {index} | `{op.name}` | {KIND_DESCRIPTIONS[op.kind]} | "
                     f"{type_cell(op.names, list(op.override_types))} | {op.summary} | "
                     f"{code_list(sources)} |")
    lines += [
        "",
        "## Callback arguments",
        "",
        "What each argument means, for every callback with arguments. Texts are passed",
        "through as they were given: the module reads none of them.",
        *callback_arguments(operations),
    ]
    lines += [
        "",
        "## `OrvClient` methods",
        "",
        "The methods of the class, in registration order. Arguments are",
        "positional only. `str | bytes` is a text, passed to the native side as UTF-8 or",
        "byte for byte; a `bool` parameter also accepts `int` and `None`; a `float`",
        "parameter also accepts `int`; an `int` parameter accepts any `int` that fits in",
        "32 bits (a larger one raises `OverflowError`). A wrong argument raises",
        "`Boost.Python.ArgumentError`, a subclass of `TypeError`.",
        "",
        "*What it does* is observed by calling each method on a subclass that defines",
        "every method of the protocol; \"its arguments\" means all of them, unchanged",
        "(texts as `str`). *In developer mode* says what changes after `setDeveloper()`;",
        "`<port>` stands for the argument of that name, written in decimal. An empty cell:",
        "the same as without developer mode.",
        "",
        "| # | Method | Arguments | Returns | What it does | In developer mode |",
        "|---|---|---|---|---|---|",
    ]
    for method in methods:
        names = method.names
        args = type_cell(names, [SIGNATURE_TYPES[t] for t in method.params])
        found = probes[method.name]
        lines.append(f"| {method.order} | `{method.name}` | {args} | "
                     f"`{RETURN_TYPES[method.returns]}` | {describe(method, found, initial)} | "
                     f"{describe_developer(method, found, names)} |")
    lines += [
        "",
        "## `TickType`",
        "",
        "An `int` subclass. Each member is a class attribute, and is also found in",
        "`TickType.names` (by name) and `TickType.values` (by value); `member.name` is its",
        "name. Calling `TickType(n)` makes a new member without a name, also for a listed",
        "`n`: `TickType(4) == TickType.LAST`, but it is not `TickType.LAST` and reading",
        "its `name` raises `AttributeError`. `TickType.values.get(n)` gives the named",
        "member or `None`; `str(member)` gives the name of a named member and the",
        "number of an unnamed one. The stubs follow this: only the registered members",
        f"are typed `{NAMED_TICK_TYPE}` with a `name` (a type that exists for type checkers",
        f"only, in the private stub module `{CHECK_ONLY_MODULE}`: `OrvCpp` does not offer",
        "it); a `TickType` received by a callback may be unnamed and has none.",
        "",
        "| Value | Name |",
        "|---|---|",
    ]
    for name, value in tick_types:
        lines.append(f"| {value} | `{name}` |")
    # The errors and warnings are written by hand; the reference ends with them.
    lines += ["", ERRORS_PATH.read_text(encoding="utf-8").rstrip("\n")]
    return "\n".join(lines) + "\n"


# The surface inventory of docs/reliability.md lists OrvClient's entries and TickType's
# members in one row each, labelled with their count as the walk of the surface
# (tests/reliability/probe.py) labels them; the rest of that file is written by hand.
INVENTORY_GROUP = re.compile(
    r"^(\| `OrvCpp\.(?:OrvClient|TickType)` \| )(entries|members) \(\d+\)( \|)", re.M)


def render_inventory_counts(methods: list[Method], tick_types: list[tuple[str, int]]) -> str:
    counts = {"entries": len(methods), "members": len(tick_types)}
    text, found = INVENTORY_GROUP.subn(
        lambda row: f"{row[1]}{row[2]} ({counts[row[2]]}){row[3]}",
        RELIABILITY_PATH.read_text(encoding="utf-8"))
    if found != len(counts):
        raise TableMismatch("docs/reliability.md: the surface inventory's rows of entries and "
                            "members are not where the generator looks for them")
    return text


# --- entry point ---------------------------------------------------------------------

def generate(module: ModuleType | None = None) -> dict[Path, str]:
    """The generated files, by path."""
    if module is None:
        module = importlib.import_module("OrvCpp")
    operations = read_operations()
    tick_types = read_tick_types()
    methods = read_methods()
    check_module(methods, tick_types, module)
    probes = probe(module, operations, methods)
    initial = module.OrvClient().getDeveloperResponse()
    return {
        STUB_PATH: render_stub(operations, methods, tick_types, probes, initial),
        CHECK_ONLY_PATH: CHECK_ONLY,
        DOCS_PATH: render_docs(operations, methods, tick_types, probes, initial),
        ALLOWLIST_PATH: render_allowlist(operations, methods),
        RELIABILITY_PATH: render_inventory_counts(methods, tick_types),
    }


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true",
                        help="report stale files instead of writing them")
    parser.add_argument("--underscore-form", nargs=2, metavar=("STUB", "OUTPUT"),
                        help="write STUB with its positional-only parameters in the form for "
                             "CPython 3.7 to OUTPUT, and do nothing else (the build's step)")
    args = parser.parse_args(argv)
    if args.underscore_form:
        # Run by the build with the interpreter it builds for: no module needed.
        source, output = map(Path, args.underscore_form)
        output.parent.mkdir(parents=True, exist_ok=True)
        output.write_text(underscore_form(source.read_text(encoding="utf-8")), encoding="utf-8")
        return 0
    try:
        module = importlib.import_module("OrvCpp")
    except ImportError as error:
        venv = ROOT / ".venv"
        if (venv / "bin" / "python").exists() and Path(sys.prefix).resolve() != venv.resolve():
            # Run as a command by an interpreter without the module: use the project's own.
            python = str(venv / "bin" / "python")
            os.execv(python, [python, __file__, *sys.argv[1:]])
        print(f"gen_stubs: cannot import OrvCpp ({error}); run ./tasks setup, then "
              f".venv/bin/python scripts/gen_stubs.py", file=sys.stderr)
        return 2
    try:
        files = generate(module)
    except TableMismatch as error:
        print(f"gen_stubs: {error}", file=sys.stderr)
        return 2
    stale = []
    for path, text in files.items():
        current = path.read_text() if path.exists() else ""
        if current == text:
            continue
        rel = path.relative_to(ROOT)
        if args.check:
            stale.append(str(rel))
            sys.stdout.writelines(difflib.unified_diff(
                current.splitlines(keepends=True), text.splitlines(keepends=True),
                f"{rel} (committed)", f"{rel} (generated)"))
        else:
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(text)
            print(f"gen_stubs: wrote {rel}")
    if stale:
        print(f"gen_stubs: stale: {', '.join(stale)}; run scripts/gen_stubs.py", file=sys.stderr)
        return 1
    if args.check:
        print(f"gen_stubs: current: {', '.join(str(p.relative_to(ROOT)) for p in files)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
