"""Everything Python can reach from OrvCpp, and a hostile probe generated from that list.

The inventory is the table under "Surface inventory" in docs/reliability.md: every type
reachable from the module, every slot and descriptor of each that Python can trigger,
where it comes from, and what was decided about it. `walk()` finds the same things at
run time, in a child interpreter; test_surface.py requires the two to agree.

The probe turns each row into operations (read, write, delete, call, repr, str, hash,
comparisons, copies, pickling, the descriptors applied to foreign objects) on objects of
each type, with hostile values, and runs each operation twice in a child interpreter:
on the module's object and on the same program's plain Python counterpart (a plain class
for OrvClient, an int subclass for TickType, a plain function for an entry). A case
fails when the module's run crashes, hangs or leaves an error set, or answers otherwise
than the plain program (one succeeds, the other raises) where its row is not "refused".

    python tests/reliability/probe.py [--cases N] [--seed S] [--jobs J]   (all cases by default)
"""
from __future__ import annotations

import collections
import copy  # noqa: F401  (copy, pickle and weakref are used by the cases' code)
import ctypes
import gc
import json
import os
import pickle  # noqa: F401
import random
import re
import select
import subprocess
import sys
import tempfile
import time
import types
import weakref
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
DOCS = ROOT / "docs" / "reliability.md"
HEADING = "## Surface inventory"
# Types of these modules are the module's or the binding library's: walked. Any other
# type reached is the interpreter's own and ends the walk there.
OWNERS = ("OrvCpp", "Boost.Python")
DECISIONS = ("interpreter's", "library's", "mended", "refused")
# What every walked type is asked for, beyond the names in its own __dict__.
FIXED = ("__getattribute__", "__setattr__", "__delattr__", "__repr__", "__str__", "__hash__",
         "__eq__", "__lt__", "__bool__", "__index__", "__call__", "__get__", "__set__",
         "__delete__", "__new__", "__init__", "__init_subclass__", "dealloc", "__reduce__",
         "__reduce_ex__", "__dict__", "__weakref__", "__doc__", "__module__", "__class__")
GROUP = re.compile(r"^(entries|members) \((\d+)\)$")


def qualname(t: type) -> str:
    module = getattr(t, "__module__", None)
    return t.__qualname__ if module in (None, "builtins") else f"{module}.{t.__qualname__}"


# ---------------------------------------------------------------------------------------
# The inventory, as docs/reliability.md writes it.

@dataclass(frozen=True)
class Row:
    types: tuple[str, ...]
    items: tuple[str, ...]
    source: str
    decision: str
    why: str


def _codes(cell: str) -> tuple[str, ...]:
    return tuple(re.findall(r"`([^`]+)`", cell))


def read_inventory(text: str | None = None) -> list[Row]:
    text = DOCS.read_text() if text is None else text
    section = text.split(HEADING, 1)[1].split("\n## ", 1)[0]
    rows = []
    for line in section.splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if len(cells) != 5 or not line.startswith("| `"):
            continue
        types, items, source, decision, why = cells
        group = GROUP.match(items)
        rows.append(Row(_codes(types), (items,) if group else _codes(items) or ("—",),
                        (_codes(source) or ("—",))[0], decision.split()[0], why))
    return rows


def inventory_index(rows: list[Row]) -> tuple[dict, set]:
    """{(type, item): row} for the walked types, and the interpreter's own types listed."""
    index, interpreter = {}, set()
    for row in rows:
        for t in row.types:
            if row.items == ("—",):
                interpreter.add(t)
                continue
            for item in row.items:
                if (t, item) in index:
                    raise ValueError(f"inventory lists {t} {item} twice")
                index[t, item] = row
    return index, interpreter


# ---------------------------------------------------------------------------------------
# The walk (run in a child: `python probe.py --walk` prints its result as JSON).

def _dealloc_owner(t: type) -> type:
    """The class along t's chain of bases whose deallocation slot t uses."""
    offset = object.__basicsize__ + 4 * ctypes.sizeof(ctypes.c_void_p)  # tp_dealloc
    slot = lambda k: ctypes.c_void_p.from_address(id(k) + offset).value  # noqa: E731
    while t.__base__ is not None and slot(t) == slot(t.__base__):
        t = t.__base__
    return t


def _source(t: type, item: str) -> str:
    if item == "dealloc":
        return qualname(_dealloc_owner(t))
    dict_of = type.__dict__["__dict__"].__get__
    for k in type.__dict__["__mro__"].__get__(t):
        if item in dict_of(k):
            return qualname(k)
    return "—"


def walk() -> dict:
    import OrvCpp
    world = World("module")
    found, stops = {}, set()
    queue, seen = [], set()

    def reach(value, as_type=False):
        for t in ([value] if as_type and isinstance(value, type) else []) + [type(value)]:
            if id(t) not in seen:
                seen.add(id(t))
                queue.append(t)

    reach(OrvCpp)
    for value in vars(OrvCpp).values():
        reach(value, True)
    try:
        OrvCpp.OrvClient.place_order()
    except TypeError as refused:  # the exception every refused call raises
        reach(refused)
    while queue:
        t = queue.pop(0)
        name = qualname(t)
        if getattr(t, "__module__", None) == __name__:
            continue  # a subject's class, made by the probe
        if getattr(t, "__module__", None) not in OWNERS:
            stops.add(name)
            continue
        for k in (type(t), *t.__mro__, *t.__bases__):
            reach(k, True)
        own = dict(type.__dict__["__dict__"].__get__(t))
        entries = [n for n, v in own.items()
                   if not n.startswith("__") and type(v).__name__ == "function" and
                   type(v).__module__ == "OrvCpp"]
        members = [n for n, v in own.items() if not n.startswith("_") and type(v) is t]
        for label, names in (("entries", entries), ("members", members)):
            if names:
                found[name, f"{label} ({len(names)})"] = name
        for n, v in own.items():
            reach(v, True)
            if isinstance(v, (dict, tuple)):
                for part in (v.items() if isinstance(v, dict) else v):
                    for x in (part if isinstance(v, dict) else (part,)):
                        reach(x, True)
            if n not in entries and n not in members:
                found[name, n] = name
        for item in FIXED:
            found[name, item] = _source(t, item)
        # What reading each item gives, on the class and on its objects.
        objects = [t] + [world.make(label) for label, (k, _, _) in SUBJECT_CODE.items()
                         if k == name]
        for thing in objects:
            for item in {n for (k, n) in found if k == name} - {"dealloc"}:
                try:
                    reach(getattr(thing, item), True)
                except Exception:
                    pass
    return {"items": [[t, i, s] for (t, i), s in sorted(found.items())],
            "interpreter": sorted(stops)}


def run_walk(python: str = sys.executable) -> dict:
    out = subprocess.run([python, __file__, "--walk"], capture_output=True, text=True,
                         timeout=120)
    if out.returncode:
        raise RuntimeError(f"walk failed ({out.returncode}): {out.stderr[-2000:]}")
    return json.loads(out.stdout)


# ---------------------------------------------------------------------------------------
# The two worlds: the module's objects, and their plain Python counterparts.

def _arity(function) -> int:
    """Arguments an entry takes, self included, from the signature line of its __doc__."""
    doc = (function.__doc__ or "").strip()
    return max(1, len(re.findall(r"\(\w+\)arg\d+", doc.splitlines()[0]))) if doc else 1


def _plain_function(name: str, arity: int):
    params = ", ".join(f"a{i}" for i in range(arity))
    namespace: dict = {}
    exec(f"def {name}({params}):\n    return None", namespace)
    return namespace[name]


class World(dict):
    """The names a case's code sees: Client, Base, Meta, Tick, Enum, TickMeta, Entry,
    EntryBase, Error, with the helpers and hostile values below. In the module world they
    are OrvCpp's; in the plain world, classes and functions written in Python with the
    same names in their dictionaries, made afresh for every case."""

    def __init__(self, kind: str):
        super().__init__(globals())
        import OrvCpp
        client, tick = OrvCpp.OrvClient, OrvCpp.TickType
        if kind == "module":
            self.update(Error=_argument_error(client), Client=client, Base=client.__mro__[1],
                        Meta=type(client), Tick=tick, Enum=tick.__mro__[1], TickMeta=type(tick),
                        Entry=type(vars(client)["place_order"]),
                        EntryBase=type(vars(client)["place_order"]).__base__)
        else:
            self._plain(client, tick)

    def _plain(self, client, tick):
        def declare(name, cls):  # importable, so that pickling finds it
            cls.__module__, cls.__qualname__ = __name__, name
            setattr(sys.modules[__name__], "Plain" + name, cls)
            cls.__qualname__ = "Plain" + name
            self[name] = cls
            return cls

        class Meta(type):
            def __setattr__(cls, name, value):
                type.__setattr__(cls, name, value)

            def __delattr__(cls, name):
                type.__delattr__(cls, name)

        class Base(metaclass=Meta):
            def __new__(cls, *args, **kwargs):  # as the library's: arguments are ignored
                return super().__new__(cls)

        def counterpart(name, value):  # a plain function for each native one
            if name in PLAIN_METHODS:
                return _named(PLAIN_METHODS[name], name)
            if type(value).__name__ == "function" and type(value).__module__ == "OrvCpp":
                return _plain_function(name, _arity(value))
            return value

        def __init__(self):
            pass

        def __reduce__(self):
            return object.__reduce__(self)

        body = {n: counterpart(n, v) for n, v in _registered(client).items()
                if n not in ("__dict__", "__weakref__", "__module__")}
        body.update({n: vars(Base)[n] for n in ("__dict__", "__weakref__")})
        body.update(__init__=__init__, __reduce__=__reduce__)
        declare("Meta", Meta)
        declare("Base", Base)
        declare("Client", Meta("Client", (Base,), body))
        declare("Error", type("ArgumentError", (TypeError,), {}))

        class Enum(int):
            __slots__ = ()
            name = property(_plain_name)
            __repr__ = _named(_plain_repr, "__repr__")
            __str__ = _named(_plain_repr, "__str__")

        class TickMeta(type):
            def __new__(mcls, *args, **kwargs):
                return type.__new__(mcls, *args, **kwargs)

        declare("Enum", Enum)
        declare("TickMeta", TickMeta)
        body = {n: counterpart(n, v) for n, v in _registered(tick).items()
                if not isinstance(v, (tick, dict)) and n not in ("__module__",)}
        body["__new__"] = staticmethod(_plain_tick_new)
        plain_tick = declare("Tick", TickMeta("Tick", (Enum,), body))
        plain_tick.values, plain_tick.names = {}, {}
        _PLAIN_NAMES.clear()
        for name, member in _registered(tick).items():
            if isinstance(member, tick):
                made = int.__new__(plain_tick, int(member))
                type.__setattr__(plain_tick, name, made)
                plain_tick.values[int(member)] = plain_tick.names[name] = made
                _PLAIN_NAMES[id(made)] = (made, name)
        self.update(Entry=types.FunctionType, EntryBase=types.FunctionType)

    def make(self, label: str):
        return eval(SUBJECT_CODE[label][1], self)


def _named(function, name):
    """A copy of a function under another name (bound methods pickle by that name)."""
    copied = types.FunctionType(function.__code__, function.__globals__, name)
    copied.__qualname__ = name
    return copied


_PLAIN_NAMES: dict = {}  # id of a registered plain member: (member, name)


def _plain_name(self):
    if _PLAIN_NAMES.get(id(self), (None,))[0] is self:
        return _PLAIN_NAMES[id(self)][1]
    raise AttributeError("name")


def _plain_repr(self):
    cls = type(self)
    try:
        return f"{cls.__module__}.{cls.__qualname__}.{self.name}"
    except AttributeError:
        return f"{cls.__module__}.{cls.__qualname__}({int(self)})"


def _plain_tick_new(cls, *args):
    value = int(*args)
    if not -(1 << 31) <= value < 1 << 31:
        raise OverflowError("TickType value out of range")
    return int.__new__(cls, value)


def _plain_str(self):
    try:
        return self.name
    except AttributeError:
        return int.__repr__(self)


def _plain_reduce(self):
    state = getattr(self, "__dict__", None)
    return (type(self), (int(self),)) + ((state,) if state else ())


PLAIN_METHODS = {"__str__": _plain_str, "__reduce__": _plain_reduce, "__repr__": _plain_repr}


def _argument_error(client):
    try:
        client.place_order()
    except TypeError as refused:
        return type(refused)
    return TypeError


# ---------------------------------------------------------------------------------------
# Subjects: objects of each walked type, as code run in either world.

# label: (type the subject is an object of, its code, whether several cases share it)
SUBJECT_CODE = {
    "client": ("OrvCpp.OrvClient", "Client()", False),
    "client_sub": ("OrvCpp.OrvClient", "subclass(Client)()", False),
    "client_uninit": ("OrvCpp.OrvClient", "Client.__new__(Client)", False),
    "bare": ("Boost.Python.instance", "Base()", False),
    "client_class": ("Boost.Python.class", "Client", True),
    "client_subclass": ("Boost.Python.class", "subclass(Client)", False),
    "metaclass_int": ("Boost.Python.class", "Meta('LibInt', (int,), {})", False),
    "member": ("OrvCpp.TickType", "Tick.LAST", True),
    "unnamed": ("OrvCpp.TickType", "Tick(200)", False),
    "member_sub": ("OrvCpp.TickType", "subclass(Tick)(4)", False),
    "enum_base": ("Boost.Python.enum", "Enum(5)", False),
    "tick_class": ("OrvCpp.TickTypeClass", "Tick", True),
    "tick_subclass": ("OrvCpp.TickTypeClass", "subclass(Tick)", False),
    "entry": ("OrvCpp.function", "vars(Client)['place_order']", True),
    "constructor": ("OrvCpp.function", "vars(Client)['__init__']", True),
    "reduce_entry": ("OrvCpp.function", "vars(Client)['__reduce__']", True),
    "tick_str": ("OrvCpp.function", "vars(Tick)['__str__']", True),
    "argument_error": ("Boost.Python.ArgumentError", "refusal(Client, Error)", False),
}
# Walked types without objects of their own.
NO_OBJECTS = {"Boost.Python.function": "every entry is of the module's subtype"}
# Which world type each walked type is, for the descriptors taken from its __dict__.
WORLD_TYPE = {"OrvCpp.OrvClient": "Client", "Boost.Python.instance": "Base",
              "Boost.Python.class": "Meta", "OrvCpp.TickType": "Tick",
              "Boost.Python.enum": "Enum", "OrvCpp.TickTypeClass": "TickMeta",
              "OrvCpp.function": "Entry", "Boost.Python.function": "EntryBase",
              "Boost.Python.ArgumentError": "Error"}


# ---------------------------------------------------------------------------------------
# Hostile values (code run in either world) and the helpers they use.

def subclass(base):
    """A new subclass of `base`, importable by its name (so that pickling finds it)."""
    name = base.__name__ + "Sub"
    cls = type(base)(name, (base,), {"__module__": __name__})
    setattr(sys.modules[__name__], name, cls)
    return cls


def refusal(client, error_type):
    try:
        client.place_order()
    except TypeError as error:
        return error if isinstance(error, error_type) else error_type(*error.args)


def dead_proxy():
    class Gone:
        pass
    gone = Gone()
    proxy = weakref.proxy(gone)
    del gone
    return proxy


def raiser(error):
    def method(self, *args):
        raise error
    return method


class ClassRaises:
    __class__ = property(raiser(RuntimeError("no class")))


class ClassLies:
    def __init__(self, cls):
        self.cls = cls

    @property
    def __class__(self):
        return self.cls


class EqRaises:
    __eq__ = __ne__ = __lt__ = __gt__ = raiser(ValueError("no comparison"))
    __hash__ = object.__hash__


class HashRaises:
    __hash__ = raiser(ValueError("no hash"))


class HashLies(str):  # equal to everything, with the hash of an entry's name
    __hash__ = lambda self: hash("place_order")  # noqa: E731
    __eq__ = lambda self, other: True  # noqa: E731
    __ne__ = lambda self, other: False  # noqa: E731


class TextRaises:
    __repr__ = __str__ = __format__ = raiser(ValueError("no text"))


class TextLies:
    __str__ = lambda self: 5  # noqa: E731
    __repr__ = lambda self: None  # noqa: E731


class IndexRaises:
    __index__ = __int__ = __float__ = __bool__ = raiser(ValueError("no number"))


class IndexLies:
    __index__ = __int__ = lambda self: 1 << 200  # noqa: E731
    __float__ = lambda self: "0.5"  # noqa: E731
    __bool__ = lambda self: 2  # noqa: E731


class Interrupting:  # every question asked of it raises KeyboardInterrupt
    __class__ = property(raiser(KeyboardInterrupt))
    __eq__ = __ne__ = __lt__ = __hash__ = __index__ = __int__ = __float__ = __bool__ = \
        __str__ = __repr__ = __len__ = __iter__ = __call__ = __getattr__ = \
        raiser(KeyboardInterrupt)


class SmallInt(int):
    pass


class TextSub(str):
    __str__ = raiser(ValueError("no text"))


class DictSub(dict):
    __getitem__ = __eq__ = __iter__ = raiser(ValueError("no item"))
    __hash__ = None


class Unrelated:
    pass


class Finalizer:  # uses the classes when it goes, which may be at exit
    def __init__(self, client, tick):
        self.client, self.tick = client, tick

    def __del__(self):
        self.client().place_order(1, "a", "b")
        repr(self.tick.LAST), str(self.tick(300))


VALUES = {
    "None": "None", "zero": "0", "text": "'x'", "big": "1 << 200", "negbig": "-(1 << 100)",
    "dead_proxy": "dead_proxy()", "class_raises": "ClassRaises()",
    "class_lies_client": "ClassLies(Client)", "class_lies_tick": "ClassLies(Tick)",
    "eq_raises": "EqRaises()", "hash_raises": "HashRaises()", "hash_lies": "HashLies('x')",
    "text_raises": "TextRaises()", "text_lies": "TextLies()", "index_raises": "IndexRaises()",
    "index_lies": "IndexLies()", "interrupting": "Interrupting()", "small_int": "SmallInt(3)",
    "text_sub": "TextSub('x')", "dict": "{}", "dict_sub": "DictSub()",
    "client_sub": "subclass(Client)()", "tick_sub": "subclass(Tick)(4)",
    "unrelated_class": "Unrelated", "client_class": "Client", "tick_member": "Tick.BID",
    "user": "Finalizer(Client, Tick)",
}


# ---------------------------------------------------------------------------------------
# Cases. A case is (operation, subject or type, name, value); run() executes it in a world.

# The steps that use a subject after it was changed, and the item each depends on.
BATTERY = (("repr", "__repr__", "repr(s)"), ("str", "__str__", "str(s)"),
           ("hash", "__hash__", "hash(s)"), ("eq", "__eq__", "s == s"),
           ("copy", "__reduce__", "copy.copy(s)"), ("deepcopy", "__reduce__", "copy.deepcopy(s)"),
           ("pickle", "__reduce__", "pickle.loads(pickle.dumps(s, 2))"),
           ("dir", "__getattribute__", "dir(s)"))
VALUE_OPS = {  # operation on the subject itself: (item, code with v the value)
    "repr": ("__repr__", "repr(s)"), "str": ("__str__", "str(s)"),
    "format": ("__str__", "format(s, '')"),
    "hash": ("__hash__", "hash(s)"), "bool": ("__bool__", "bool(s)"),
    "eq": ("__eq__", "s == v"), "req": ("__eq__", "v == s"), "lt": ("__lt__", "s < v"),
    "call": ("__call__", "s(v)"), "call0": ("__call__", "s()"),
    "weakref": ("__weakref__", "weakref.ref(s)"), "copy": ("__reduce__", "copy.copy(s)"),
    "deepcopy": ("__reduce__", "copy.deepcopy(s)"),
    "pickle": ("__reduce__", "pickle.loads(pickle.dumps(s, pickle.HIGHEST_PROTOCOL))"),
    "pickle0": ("__reduce__", "pickle.loads(pickle.dumps(s, 0))"),
    "dict": ("__dict__", "vars(s)"), "class": ("__class__", "s.__class__"),
    # left there for the exit to release (the classes are not put back for this name)
    "park": ("__setattr__", "setattr(s, 'parked', v)"),
}
ATTR_OPS = {"get": "getattr(s, n)", "set": "setattr(s, n, v)", "del": "delattr(s, n)",
            "call": "getattr(s, n)()", "call1": "getattr(s, n)(v)"}
DESCR_OPS = {"dget": "vars(T)[n].__get__(v, type(v))", "dset": "vars(T)[n].__set__(v, v)",
             "ddel": "vars(T)[n].__delete__(v)"}
VALUE_KEYS = tuple(VALUES)


def value_code(key: str) -> str:
    """A hostile value's code: one of VALUES, a subject ("@client"), or code ("=...")."""
    if key.startswith("="):
        return key[1:]
    return SUBJECT_CODE[key[1:]][1] if key.startswith("@") else VALUES.get(key, "None")


def walked_types(obj) -> list[str]:
    """The walked classes whose rows govern an object, nearest first: for a class its own
    classes, then its metaclass's; for a bound method or slot wrapper, also those of what
    it is bound to and of its function."""
    mro = type.__dict__["__mro__"].__get__  # asks nothing of the object itself
    is_class = issubclass(type(obj), type)
    chain = (list(mro(obj)) if is_class else []) + list(mro(type(obj)))
    found = [qualname(k) for k in chain
             if type(vars(k).get("__module__", k.__module__)) is str and k.__module__ in OWNERS]
    for part in ("__func__", "__self__") if not is_class else ():
        try:
            bound = object.__getattribute__(obj, part)
        except BaseException:  # noqa: B902  (anything may stand there)
            continue
        if bound is not obj and not issubclass(type(bound), type(sys)):
            found += [t for t in walked_types(bound) if t not in found]
    return found


_SUBJECT_TYPES: dict = {}


def subject_types(subject: str, of_class: bool = False) -> list[str]:
    """The walked types of a subject (or of its class: for a class, its metaclass's)."""
    if subject not in _SUBJECT_TYPES:
        made = World("module").make(subject)
        _SUBJECT_TYPES[subject] = walked_types(made), walked_types(type(made))
    return _SUBJECT_TYPES[subject][of_class]


def subject_names(subject: str, index: dict) -> list[str]:
    """The names the rows of a subject's walked classes list."""
    names = set()
    for t in subject_types(subject):
        for (k, item), row in index.items():
            if k == t and item != "dealloc":
                group = GROUP.match(item)
                names.update(expand_group(t, group.group(1)) if group else [item])
    return sorted(names)


_GROUP_NAMES: dict = {}


def expand_group(t: str, label: str) -> list[str]:
    if (t, label) not in _GROUP_NAMES:
        import OrvCpp
        cls = {"OrvCpp.OrvClient": OrvCpp.OrvClient, "OrvCpp.TickType": OrvCpp.TickType}[t]
        _GROUP_NAMES[t, label] = [
            n for n, v in vars(cls).items()
            if (label == "members" and not n.startswith("_") and type(v) is cls) or
            (label == "entries" and not n.startswith("__") and type(v).__name__ == "function")]
    return _GROUP_NAMES[t, label]


def find_row(index: dict, types: list[str], item: str):
    """The row of the first of `types` that lists `item`."""
    for t in types:
        if (t, item) in index:
            return index[t, item]
        for (k, i), row in index.items():
            group = GROUP.match(i) if k == t else None
            if group and item in expand_group(t, group.group(1)):
                return row
    return None


def library_is_private() -> bool:
    """Whether the binding library loaded is the module's own copy (OrvCpp.libs), which
    the module mends, rather than one shared with other extensions (ORV_SYSTEM_BOOST)."""
    import OrvCpp  # noqa: F401  (maps the library into this process)
    with open("/proc/self/maps") as maps:
        return any("libboost_python" in line and "OrvCpp.libs" in line for line in maps)


def needs_private_copy(index: dict, case: tuple) -> bool:
    """Whether a case reaches an item mended only in the module's own copy of the library
    (rows marked "(Private copy.)"): with a shared library it meets the library's faults,
    which are left as they are. Objects of the library's own types count as such."""
    if case[0] == "descr":
        rows = [index.get((case[1], case[2]))]
    elif case[1] in ("bare", "enum_base"):
        return True
    else:
        item = VALUE_OPS[case[2]][0] if case[0] == "value" else case[2]
        rows = [find_row(index, subject_types(case[1], of_class), item) for of_class in (0, 1)]
        if case[0] == "value" and case[2] == "park" or \
                case[0] == "attr" and case[3] in ("set", "del"):
            rows.append(find_row(index, subject_types(case[1], True), "__setattr__"))
    return any(row and "(Private copy.)" in row.why for row in rows)


def generate(index: dict) -> list[tuple]:
    """Every case the inventory gives, in a fixed order."""
    cases = []
    for subject, (t, _, _) in SUBJECT_CODE.items():
        for op in VALUE_OPS:
            for value in (VALUE_KEYS if "v" in VALUE_OPS[op][1].replace("vars", "") else ("",)):
                cases.append(("value", subject, op, value))
        for name in subject_names(subject, index):
            for op in ATTR_OPS:
                for value in (VALUE_KEYS if op in ("set", "call1") else ("",)):
                    cases.append(("attr", subject, name, op, value))
    targets = VALUE_KEYS + tuple("@" + s for s in SUBJECT_CODE)
    for (t, item), row in sorted(index.items()):
        if item == "dealloc" or GROUP.match(item) or row.source != t:
            continue  # only what the type's own __dict__ holds
        for op in DESCR_OPS:
            for target in targets:
                cases.append(("descr", t, item, op, target))
    return cases


def governing_rows(index: dict, case: tuple, step: str, seen: dict) -> list:
    """The rows whose decisions cover a step of a case; `seen` holds the walked types the
    module's child found for its objects ("@subject", "@class", "@callee", "@after")."""
    if step != "op":  # a use of the object after the operation (which may hold the value)
        uses = dict([(b[0], b[1]) for b in BATTERY] + [("instance", "__init__"),
                                                        ("reread", "__getattribute__")])
        items = [uses[step.split()[-1]]]
        items += {"__reduce__": ["__reduce_ex__"], "__init__": ["__new__"]}.get(items[0], [])
        rows = [find_row(index, seen.get(where, []), item)
                for where in ("@after", "@value") for item in items]
        # what the operation's own row says covers what it leaves behind
        return rows + ([find_row(index, seen.get("@subject", []), case[2])]
                       if case[0] == "attr" else [])
    elif case[0] == "value":
        where, items = seen.get("@subject", []), [VALUE_OPS[case[2]][0]]
        if case[2].startswith("call"):
            items += ["__new__", "__init__"]
    else:
        op_item = {"get": "__getattribute__", "set": "__setattr__", "del": "__delattr__"}
        rows = [find_row(index, seen.get("@subject", []), case[2]),
                find_row(index, seen.get("@class", []), case[2]),
                find_row(index, seen.get("@class", []), op_item.get(case[3], "__call__"))]
        where, items = seen.get("@callee", []), ["__call__", "__new__", "__init__"]
        if case[2] == "__reduce_ex__":
            rows.append(find_row(index, seen.get("@subject", []), "__reduce__"))
        return rows + ([find_row(index, where, i) for i in items] if "@callee" in seen else [])
    if "__reduce__" in items:  # copies and pickles go through __reduce_ex__ to __reduce__
        items.append("__reduce_ex__")
    return [find_row(index, where, item) for item in items]


def describe(case: tuple) -> str:
    """The case as the code the module's world runs."""
    kind = case[0]
    if kind == "descr":
        _, t, name, op, target = case
        return f"T = {WORLD_TYPE[t]}; n = {name!r}; v = {value_code(target)}; " + DESCR_OPS[op]
    subject = SUBJECT_CODE[case[1]][1]
    if kind == "value":
        return f"s = {subject}; v = {value_code(case[3])}; {VALUE_OPS[case[2]][1]}"
    return f"s = {subject}; n = {case[2]!r}; v = {value_code(case[4])}; {ATTR_OPS[case[3]]}"


# ---------------------------------------------------------------------------------------
# The child: runs cases, marking each step on stdout before it runs.

_CODE: dict = {}


def _compiled(code: str):
    if code not in _CODE:
        _CODE[code] = compile(code, "<probe>", "eval")
    return _CODE[code]


_occurred = ctypes.pythonapi.PyErr_Occurred
_occurred.restype = ctypes.c_void_p


def _pending():
    """The error left set by the last step, if any (ctypes raises it after its call)."""
    try:
        return "set" if _occurred() else None
    except BaseException as error:  # noqa: B902
        return type(error).__name__


def _outcome(function):
    try:
        result = function()
        outcome = "ok"
    except BaseException as error:  # noqa: B902  (KeyboardInterrupt is a hostile value's)
        result, outcome = None, type(error).__name__
        if isinstance(error, SystemError) and "exception set" in str(error):
            outcome = "PENDING:" + outcome
    pending = _pending()
    return result, f"PENDING:{pending}" if pending else outcome


class _Shared:
    """Puts back the registered classes' dictionaries as they were at the start."""

    def __init__(self, world):
        self.classes = [world["Client"], world["Tick"]]

    def restore(self):
        for cls in self.classes:
            saved, current = _registered(cls), dict(vars(cls))
            for name in current.keys() - saved.keys() - {"parked"}:
                _quietly(lambda: delattr(cls, name), lambda: type.__delattr__(cls, name))
            for name, value in saved.items():
                if current.get(name, self) is not value:
                    _quietly(lambda: setattr(cls, name, value),
                             lambda: type.__setattr__(cls, name, value))


_REGISTERED: dict = {}


def _registered(cls) -> dict:
    """The class's dictionary as this process first saw it."""
    return _REGISTERED.setdefault(id(cls), dict(vars(cls)))


def _quietly(*attempts):
    for attempt in attempts:
        try:
            attempt()
            return
        except Exception:
            pass


def run_case(case: tuple, world: "World", mark) -> dict:
    """{step: outcome} of one case in one world, with the walked types of its objects
    ("@subject", "@class", "@callee", "@after"), which decide the rows that govern it."""
    kind, steps, ns, saved = case[0], {}, world, world

    def step(label, code, **names):
        mark(label)
        ns.update(names)
        result, steps[label] = _outcome(lambda: eval(_compiled(code), ns))
        return result

    if kind == "descr":
        _, t, name, op, target = case
        if name not in vars(world[WORLD_TYPE[t]]):
            return {"op": "absent"}
        subject = v = step("value", value_code(target))
        step("op", DESCR_OPS[op], T=world[WORLD_TYPE[t]], n=name, v=v)
    else:
        subject = step("make", SUBJECT_CODE[case[1]][1])
        if steps["make"] != "ok":
            return steps
        steps["@subject"], steps["@class"] = walked_types(subject), walked_types(type(subject))
        v = step("value", value_code(case[-1])) if case[-1] else None
        if kind == "value":
            step("op", VALUE_OPS[case[2]][1], s=subject, v=v)
        else:
            _, _, name, op, _ = case
            saved = getattr(subject, name, world) if op in ("set", "del") else world
            if op.startswith("call"):
                steps["@callee"] = walked_types(getattr(subject, name, None))
            result = step("op", ATTR_OPS[op], s=subject, n=name, v=v)
            if op == "get" and steps["op"] == "ok":
                subject = result
            elif op == "set" and steps["op"] == "ok":
                step("reread", "getattr(s, n)")
    if kind != "value" and steps.get("op") == "ok":
        steps["@after"], steps["@value"] = walked_types(subject), walked_types(v)
        for label, _, code in BATTERY:
            step(label, code, s=subject)
        if issubclass(type(subject), type):  # asks nothing of a hostile value
            made = step("instance", "s(4) if issubclass(s, int) else s()", s=subject)
            if steps["instance"] == "ok":
                for label, _, code in BATTERY[:3]:
                    step("instance " + label, code, s=made)
    if kind == "attr" and saved is not world and SUBJECT_CODE[case[1]][2]:
        mark("restore")  # a shared object (the classes are put back by _Shared)
        _quietly(lambda: setattr(subject, name, saved))
    return steps


def child_main() -> None:
    """Reads a JSON list of cases on stdin; for each, writes `B i`, a `S i world step` line
    before each step and `E i {outcomes}` once done, then `X` before exiting."""
    cases = json.loads(sys.stdin.read())
    out = sys.stdout
    module = World("module")
    shared = _Shared(module)
    for cls in shared.classes:
        _registered(cls)
    sanity = compile("Client().place_order(1, 'a', 'b'); repr(Tick.LAST); str(Tick(300))",
                     "<sanity>", "exec")
    for i, case in enumerate(cases):
        case = tuple(case)
        out.write(f"B {i}\n")
        outcomes = {}
        for kind in ("module",) if case[0] == "descr" else ("plain", "module"):
            world = module if kind == "module" else World("plain")

            def mark(label, kind=kind):
                out.write(f"S {i} {kind} {label}\n")
                out.flush()

            outcomes[kind] = run_case(case, world, mark)
            mark("release")
            world.pop("s", None), world.pop("v", None)
            gc.collect()
            if kind == "module":
                shared.restore()
                mark("sanity")
                _, outcomes["sanity"] = _outcome(lambda: exec(sanity, dict(module)))
        out.write(f"E {i} {json.dumps(outcomes)}\n")
        out.flush()
    out.write("X\n")
    out.flush()


# ---------------------------------------------------------------------------------------
# The parent: runs batches of cases in children, attributes crashes, compares outcomes.

@dataclass
class Failure:
    case: tuple
    kind: str  # crash, exit, hang, pending, broken, differs
    detail: str

    def __str__(self):
        return f"{self.kind}: {describe(self.case)}  ({self.detail})"


def _run_child(python: str, cases: list, timeout: float) -> tuple:
    """(outcomes by index, index of the case running at a crash or None, last step,
    returncode or "hang", stderr tail, whether the child reached its end)."""
    outcomes, current, last, ended, buffer = {}, None, "", False, b""
    with tempfile.TemporaryFile() as errors, subprocess.Popen(
            [python, __file__, "--child"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=errors) as process:
        process.stdin.write(json.dumps(cases).encode())
        process.stdin.close()
        deadline = time.monotonic() + timeout
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                process.kill()
                return outcomes, current, last + " (timed out)", "hang", "", False
            if not select.select([process.stdout], [], [], remaining)[0]:
                continue
            chunk = os.read(process.stdout.fileno(), 65536)
            if not chunk:
                break
            *lines, buffer = (buffer + chunk).split(b"\n")
            for line in lines:
                tag, _, rest = line.decode().partition(" ")
                if tag == "B":
                    current, deadline = int(rest), time.monotonic() + timeout
                elif tag == "S":
                    last = rest.split(" ", 1)[1]
                elif tag == "E":
                    index, _, text = rest.partition(" ")
                    outcomes[int(index)] = json.loads(text)
                    current = None
                elif tag == "X":
                    ended = True
        code = process.wait()
        errors.seek(0)
        error = errors.read()[-600:].decode(errors="replace")
    return outcomes, current, last, code, error, ended


def _signal_text(code, error: str) -> str:
    if code == "hang":
        return "no answer (timed out)"
    reason = f"signal {-code}" if isinstance(code, int) and code < 0 else f"exit {code}"
    lines = [line.strip() for line in error.splitlines() if line.strip()]
    telling = [line for line in lines if re.search(r"Fatal Python|terminate|Assertion", line)]
    return f"{reason}; {(telling or lines[-1:] or [''])[0][:160]}"


def run_cases(cases: list, python: str = sys.executable, batch: int = 120, jobs: int = 2,
              timeout: float = 30.0) -> tuple[dict, list]:
    """Runs every case; returns {case index: outcomes} and the crashes, hangs and exits."""
    from concurrent.futures import ThreadPoolExecutor
    results, failures = {}, []

    def run_batch(indices):
        pending, starts = list(indices), 0
        while pending:
            outcomes, current, last, code, error, ended = _run_child(
                python, [cases[i] for i in pending], timeout)
            if not outcomes and current is None and last == "" and code != 0:
                starts += 1  # not even imported: the module may be being reinstalled
                if starts > 5:
                    raise RuntimeError(f"the probe's child did not start ({code}): {error}")
                time.sleep(30)
                continue
            for local, outcome in outcomes.items():
                results[pending[local]] = outcome
            if code == 0 and ended:
                return
            if current is not None:  # died inside a case: that case, then go on after it
                index = pending[current]
                alone = ""
                if len(pending) > 1:
                    again = _run_child(python, [cases[index]], timeout)[3]
                    alone = (" (only after the cases before it in its child)" if again == 0
                             else " (alone too)")
                kind = "hang" if code == "hang" else "crash"
                failures.append(Failure(cases[index], kind,
                                        f"at step {last}: {_signal_text(code, error)}{alone}"))
                pending = pending[current + 1:]
                continue
            # Ended abnormally after its last case: at exit. Find the case by halves.
            culprits = list(pending)
            while len(culprits) > 1:
                half = culprits[:len(culprits) // 2]
                run = _run_child(python, [cases[i] for i in half], timeout)
                culprits = half if run[3] != 0 else culprits[len(half):]
            failures.append(Failure(cases[culprits[0]], "exit",
                                    f"at exit: {_signal_text(code, error)}"))
            return

    chunks = [list(range(start, min(start + batch, len(cases))))
              for start in range(0, len(cases), batch)]
    with ThreadPoolExecutor(jobs) as pool:
        list(pool.map(run_batch, chunks))
    return results, failures


def judge(index: dict, case: tuple, outcomes: dict) -> Failure | None:
    """The failure one case's outcomes show, if any."""
    module, plain = outcomes["module"], outcomes.get("plain", {})
    for label, outcome in module.items():
        if label[0] != "@" and outcome.startswith("PENDING"):
            return Failure(case, "pending", f"step {label}: {outcome}")
    if outcomes.get("sanity", "ok") != "ok":
        return Failure(case, "broken", f"the module's next plain calls: {outcomes['sanity']}")
    if case[0] == "descr" or "absent" in (module.get("op"), plain.get("op")):
        return None  # a native descriptor checks what it is applied to, a plain one not
    for label in module:
        if label[0] == "@" or label in ("make", "value") or label not in plain:
            continue
        if (module[label] == "ok") == (plain[label] == "ok"):
            continue
        if label != "op" and module.get("op") != plain.get("op"):
            continue
        rows = governing_rows(index, case, label, module)
        if any(row and row.decision == "refused" for row in rows):
            continue
        return Failure(case, "differs",
                       f"step {label}: module {module[label]}, plain {plain[label]}")
    return None


def probe(cases_wanted: int | None = None, seed: int = 0, python: str = sys.executable,
          jobs: int = 2, log=print) -> tuple[int, list]:
    """Runs the probe (a seeded sample of `cases_wanted` cases, or all); returns the
    number of cases run and the failures."""
    index, _ = inventory_index(read_inventory())
    cases = generate(index)
    if not library_is_private():
        cases = [case for case in cases if not needs_private_copy(index, case)]
    if cases_wanted is not None and cases_wanted < len(cases):
        cases = random.Random(seed).sample(cases, cases_wanted)
    started = time.monotonic()
    results, failures = run_cases(cases, python=python, jobs=jobs)
    crashed = {f.case for f in failures}
    for i, case in enumerate(cases):
        if i in results and case not in crashed:
            failure = judge(index, case, results[i])
            if failure:
                failures.append(failure)
    log(f"probe: {len(cases)} cases ({len(generate(index))} in the inventory) in "
        f"{time.monotonic() - started:.0f}s with {python}; {len(failures)} failed")
    return len(cases), failures


def main(argv: list[str]) -> int:
    if argv[:1] == ["--child"]:
        child_main()
        return 0
    if argv[:1] == ["--walk"]:
        print(json.dumps(walk()))
        return 0
    import argparse
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cases", type=int, default=None, help="a sample of this many")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    parser.add_argument("--python", default=sys.executable)
    args = parser.parse_args(argv)
    count, failures = probe(args.cases, args.seed, args.python, args.jobs)
    by_kind = collections.Counter(f.kind for f in failures)
    for failure in sorted(failures, key=lambda f: (f.kind, str(f))):
        print(failure)
    print(f"probe: {count} cases, failures: {dict(by_kind) or 'none'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
