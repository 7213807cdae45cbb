"""The Python interface of OrvClient, read from the tables the module is built from.

  src/client/operations.def      the virtual operations: kind, request entry name,
                                 parameters as (native type, Python name)
  src/module/client_methods.def  the methods as Python sees them, in registration
                                 order
  src/tick_type/tick_types.def   the TickType members

The stub generator, the benchmark and the tests' view of the surface read the interface
here; nothing reads it from the module's docstrings. Rows are read as written: a row that
does not parse stops the reader rather than being skipped.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from pathlib import Path
from typing import Dict, Iterator, List, Optional, Tuple

ROOT = Path(__file__).resolve().parent.parent
OPERATIONS_DEF = ROOT / "src" / "client" / "operations.def"
METHODS_DEF = ROOT / "src" / "module" / "client_methods.def"
TICK_TYPES_DEF = ROOT / "src" / "tick_type" / "tick_types.def"

# Native parameter types and the Python type a caller passes for each.
PYTHON_TYPES = {"int": "int", "OrvLong": "int", "bool": "bool", "double": "float",
                "std::string": "str", "TickType": "TickType"}
RESULT_TYPES = {"void": "None", "std::string": "str"}

Parameter = Tuple[str, str]  # (native type, Python name)


class TableError(Exception):
    """A table row that cannot be read."""


class _Parameters:
    parameters: Tuple[Parameter, ...]

    @property
    def types(self) -> Tuple[str, ...]:
        """The Python types a caller passes."""
        return tuple(PYTHON_TYPES[t] for t, _ in self.parameters)

    @property
    def names(self) -> Tuple[str, ...]:
        return tuple(n for _, n in self.parameters)


@dataclass(frozen=True)
class Operation(_Parameters):
    order: int          # from 1, in declaration order
    kind: str           # "callback", "request", "recorded_request" or "dispatcher"
    name: str           # placeOrder
    entry: Optional[str]  # the request entry's Python name, place_order; None otherwise
    parameters: Tuple[Parameter, ...]

    @property
    def overridden(self) -> bool:
        return self.kind != "dispatcher"

    @property
    def is_request(self) -> bool:
        return self.kind in ("request", "recorded_request")


@dataclass(frozen=True)
class Method(_Parameters):
    order: int          # from 1, in registration order (after __init__)
    kind: str           # "member", "replay_member", "operation", "simulation" or "request"
    name: str           # the Python name
    parameters: Tuple[Parameter, ...]  # after self
    result: str         # "None" or "str"
    operation: Optional[Operation]  # the operation it runs or replays, if any

    @property
    def replays(self) -> bool:
        return self.kind in ("simulation", "replay_member")


_ROW = re.compile(r"^(ORV_[A-Z_]+)(?:\((.*)\))?$")
_PAIR = re.compile(r"\(\s*([\w:]+)\s*,\s*(\w+)\s*\)")


def _rows(path: Path) -> Iterator[Tuple[str, str, List[str]]]:
    """(macro, [arguments]) for each row; the macros' own definitions are skipped."""
    for number, line in enumerate(path.read_text().splitlines(), 1):
        line = line.strip()
        if not line.startswith("ORV_"):
            continue
        match = _ROW.match(line)
        if not match:
            raise TableError(f"{path.name}:{number}: unreadable row {line!r}")
        text = match.group(2) or ""
        # Split at the commas outside parentheses.
        parts: List[str] = []
        depth, current = 0, ""
        for char in text:
            if char == "," and depth == 0:
                parts.append(current.strip())
                current = ""
                continue
            depth += {"(": 1, ")": -1}.get(char, 0)
            current += char
        if current.strip():
            parts.append(current.strip())
        yield f"{path.name}:{number}", match.group(1), parts


def _parameters(where: str, parts: List[str]) -> Tuple[Parameter, ...]:
    parameters = []
    for part in parts:
        match = _PAIR.fullmatch(part)
        if not match or match.group(1) not in PYTHON_TYPES:
            raise TableError(f"{where}: unreadable parameter {part!r}")
        parameters.append((match.group(1), match.group(2)))
    return tuple(parameters)


_OPERATION_KINDS = {"ORV_CALLBACK": "callback", "ORV_REQUEST": "request",
                    "ORV_RECORDED_REQUEST": "recorded_request", "ORV_DISPATCHER": "dispatcher"}


def read_operations(path: Path = OPERATIONS_DEF) -> List[Operation]:
    operations: List[Operation] = []
    for where, macro, parts in _rows(path):
        if macro not in _OPERATION_KINDS:
            raise TableError(f"{where}: unknown row kind {macro}")
        kind = _OPERATION_KINDS[macro]
        name, rest = parts[0], parts[1:]
        entry = None
        if kind in ("request", "recorded_request"):
            if not rest or not re.fullmatch(r'"\w+"', rest[0]):
                raise TableError(f"{where}: request {name} without its entry name")
            entry, rest = rest[0].strip('"'), rest[1:]
        operations.append(Operation(len(operations) + 1, kind, name, entry,
                                    _parameters(where, rest)))
    return operations


def read_methods(path: Path = METHODS_DEF,
                 operations: Optional[List[Operation]] = None) -> List[Method]:
    if operations is None:
        operations = read_operations()
    by_name = {op.name: op for op in operations}
    methods: List[Method] = []

    def add(kind: str, name: str, parameters: Tuple[Parameter, ...], result: str = "None",
            operation: Optional[Operation] = None) -> None:
        methods.append(Method(len(methods) + 1, kind, name, parameters, result, operation))

    def operation(where: str, name: str) -> Operation:
        if name not in by_name:
            raise TableError(f"{where}: {name} is not an operation")
        return by_name[name]

    for where, macro, parts in _rows(path):
        if macro == "ORV_MEMBER":
            if len(parts) < 2 or parts[1] not in RESULT_TYPES:
                raise TableError(f"{where}: a member row needs a result type")
            add("member", parts[0], _parameters(where, parts[2:]), RESULT_TYPES[parts[1]])
        elif macro == "ORV_REPLAY_MEMBER":
            op = operation(where, parts[1])
            add("replay_member", parts[0], _parameters(where, parts[2:]), operation=op)
        elif macro == "ORV_OPERATION_ENTRY":
            op = operation(where, parts[0])
            add("operation", op.name, op.parameters, operation=op)
        elif macro == "ORV_SIMULATION":
            op = operation(where, parts[1])
            add("simulation", parts[0], op.parameters + _parameters(where, parts[2:]),
                operation=op)
        elif macro == "ORV_REQUEST_ENTRIES":
            for op in operations:
                if op.entry is not None:
                    add("request", op.entry, op.parameters, operation=op)
        else:
            raise TableError(f"{where}: unknown row kind {macro}")
    return methods


def read_tick_types(path: Path = TICK_TYPES_DEF) -> List[Tuple[str, int]]:
    members = []
    for where, macro, parts in _rows(path):
        if macro != "ORV_TICK_TYPE" or len(parts) != 2 or not parts[1].isdigit():
            raise TableError(f"{where}: unreadable member row")
        members.append((parts[0], int(parts[1])))
    return members


def methods_by_name() -> Dict[str, Method]:
    return {method.name: method for method in read_methods()}
