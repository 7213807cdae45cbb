"""TickType: the named members, values without a name, subclasses, pickling and copying,
and the 32-bit range of every member, however it is made."""
import copy
import pickle
import sys

import pytest

from OrvCpp import TickType
from conftest import PRIVATE_LIBRARY, PRIVATE_LIBRARY_ONLY, hostile_ids, run_hostile
from interface_table import TICK_TYPE_VALUES


@pytest.mark.parametrize("name,value", TICK_TYPE_VALUES.items())
def test_tick_type_member(name, value):
    member = getattr(TickType, name)
    assert isinstance(member, int) and member == value
    assert TickType.values[value] is member
    assert TickType.names[name] is member
    assert member.name == name
    assert str(member) == name
    assert repr(member) == f"OrvCpp.TickType.{name}"


def test_tick_type_class():
    assert TickType.__module__ == "OrvCpp"
    assert TickType.__doc__ is None
    assert len(TickType.names) == len(TickType.values) == 59
    assert list(TickType.names) == list(TICK_TYPE_VALUES)
    assert type(TickType.BID + 1) is int


@pytest.mark.parametrize("value", [58, 200, -4, 0, 2**31 - 1, -(2**31)])
def test_unnamed_tick_type(value):
    member = TickType(value)
    assert member == value
    assert str(member) == str(value)
    assert repr(member) == f"OrvCpp.TickType({value})"
    with pytest.raises(AttributeError):
        member.name
    assert TickType.values.get(value) is not member


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_tick_type_survives_pickle_and_copy(protocol):
    for member in TickType.values.values():
        assert pickle.loads(pickle.dumps(member, protocol)) is member
        assert copy.copy(member) is member and copy.deepcopy(member) is member
    for value in (4, 200, -(2**31)):
        unnamed = TickType(value)
        for copied in (pickle.loads(pickle.dumps(unnamed, protocol)), copy.copy(unnamed)):
            assert type(copied) is TickType and copied == value
            assert copied is not TickType.values.get(value)
            assert (str(copied), repr(copied)) == (str(unnamed), repr(unnamed))


# Members survive pickle and copy whatever a program makes of the class's `values`.
VALUES_REPLACED = ["TickType.values = None", "del TickType.values",
                   "TickType.values = {4: TickType(4), 200: TickType(200)}"]


@pytest.mark.parametrize("change", VALUES_REPLACED)
def test_tick_type_survives_pickle_and_copy_whatever_values_holds(change):
    run_hostile("import copy, pickle\n"
                "global Tagged\n"
                "class Tagged(TickType): pass\n"
                "tagged = Tagged(7); tagged.tag = [1]\n"
                f"{change}\n"
                "for how in (copy.copy, copy.deepcopy, lambda m: pickle.loads(pickle.dumps(m))):\n"
                "    assert how(TickType.LAST) is TickType.LAST\n"
                "    got = how(TickType(200))\n"
                "    assert type(got) is TickType and got == 200 and str(got) == '200'\n"
                "    got = how(tagged)\n"
                "    assert type(got) is Tagged and got == 7 and got.__dict__ == {'tag': [1]}",
                "ok")


class TaggedTickType(TickType):
    pass


class NamedTickType(TickType):
    name = "HIGH"  # a name of its own: a registered member's, of another value


# A member of a subclass comes back as a member of that subclass with the same value and
# attributes, its name of its own or not; a registered member, as that very member.
@pytest.mark.parametrize("value", [7, 200])
@pytest.mark.parametrize("cls", [TaggedTickType, NamedTickType])
@pytest.mark.parametrize("protocol", [*range(pickle.HIGHEST_PROTOCOL + 1), "copy", "deepcopy"])
def test_tick_type_subclass_members_keep_class_and_attributes(protocol, cls, value):
    copy_of = {"copy": copy.copy, "deepcopy": copy.deepcopy}.get(
        protocol, lambda obj: pickle.loads(pickle.dumps(obj, protocol)))
    member = cls(value)
    member.tag = [1]
    copied = copy_of(member)
    assert type(copied) is cls and copied == value and copied is not member
    assert copied.__dict__ == {"tag": [1]} and str(copied) == str(member)
    registered = TickType.values.get(value)
    assert registered is None or copy_of(registered) is registered


def test_tick_type_subclass_prints_its_value():
    class Custom(TickType):
        pass

    assert str(Custom(300)) == "300"


@pytest.mark.parametrize("value,shown", [
    (2**31, "2147483648"), (-(2**31) - 1, "-2147483649"),
    (2**70, "1180591620717411303424"), (-(2**200), "an int of 61 digits"),
])
def test_tick_type_outside_32_bits_is_refused(value, shown):
    with pytest.raises(OverflowError) as raised:
        TickType(value)
    assert str(raised.value) == f"TickType value must be between -2147483648 and 2147483647, not {shown}"


# What TickType's allocator says when no route before it checked the value.
ALLOCATOR_REFUSAL = ("OverflowError: TickType value must be between -2147483648 and 2147483647, "
                     f"not an int of more than {60 if sys.int_info.bits_per_digit == 30 else 45} bits")

# Hostile programs (conftest.HOSTILE_CHILD), each in a child interpreter.
CASES = [
    # TickType objects are made only for TickType classes and 32-bit values.
    ("TickType.__new__(float, 5)",
     "TypeError: TickType.__new__(float): float is not a subtype of TickType"),
    ("TickType.__new__(object, 2**31 - 1)", "TypeError"),
    ("TickType.__new__(5, 1)", "TypeError"),
    ("TickType.__new__(bool, 5)", "TypeError"),
    ("int.__new__(TickType, 2**100 + 12345)", "TypeError"),
    ("int.__new__(type('T', (TickType,), {}), 2**100)", "TypeError"),
    ("object.__new__(TickType)", "TypeError"),
    ("type('T', (TickType,), {})(2**100)", "OverflowError: TickType value must be between "
     "-2147483648 and 2147483647, not 1267650600228229401496703205376"),
    ("TickType.__new__(TickType, 2**31)",
     "OverflowError: TickType value must be between -2147483648 and 2147483647, not 2147483648"),
    ("TickType.__str__('abc')", "TypeError"),
    ("TickType.__reduce__(4)", "TypeError"),
    # Whatever is put in place of TickType's construction, no member holds more than
    # 32 bits, and an override receives a TickType.
    # Once `__new__` is set on TickType, int.__new__ is refused by the library's
    # enumeration base, which has the same checked construction where it is the
    # module's own; a shared library's base leaves it to the allocator.
    ("TickType.__new__ = staticmethod(TickType.__new__)\n"
     "class Sub(TickType): pass\n"
     "str(int.__new__(Sub, (1 << 200) | (0x1000 << 60)))",
     "TypeError" if PRIVATE_LIBRARY else ALLOCATOR_REFUSAL),
    ("TickType.__new__ = staticmethod(lambda cls, *a: int.__new__(cls, *a))\n"
     "str(type.__new__(type, 'Sub', (TickType,), {})(1 << 200))",
     "TypeError" if PRIVATE_LIBRARY else ALLOCATOR_REFUSAL),
    ("unnamed = TickType(200); got = []\n"
     "TickType.__new__ = staticmethod(lambda cls, *a: 'not a member')\n"
     "class T(OrvClient): tickPrice = lambda self, *a: got.append(a[1])\n"
     "T().simulateTickPrice(1, unnamed, 1.0, '', '')\n"
     "assert type(got[0]) is TickType and got[0] == 200 and got[0] is not unnamed", "ok"),
    # repr() raises what it meets instead of ending the process.
    ("class T(TickType):\n    @property\n    def __module__(self): raise ValueError('no module')\n"
     "repr(T(5))", "ValueError: no module"),
    pytest.param("repr(TickType.__mro__[1](5))", "AttributeError", marks=PRIVATE_LIBRARY_ONLY),
    # The library's enumeration base and classes derived from it make only 32-bit members.
    pytest.param("TickType.__mro__[1]((1 << 200) | (0x12345 << 64))",
                 "OverflowError", marks=PRIVATE_LIBRARY_ONLY),
    pytest.param("class E(TickType.__mro__[1]): pass\nE((1 << 200) | (0x12345 << 64))",
                 "OverflowError", marks=PRIVATE_LIBRARY_ONLY),
    pytest.param("class E(TickType.__mro__[1]): pass\nassert E(7) == 7 and type(E(7)) is E",
                 "ok", marks=PRIVATE_LIBRARY_ONLY),
]


@pytest.mark.parametrize("case,outcome", CASES, ids=hostile_ids(CASES))
def test_hostile_construction_and_printing(case, outcome):
    run_hostile(case, outcome)
