"""Arbitrary Python values thrown at every method.

Whatever a caller passes, positionally or by keyword and in any number, the process
survives and a call either succeeds or raises TypeError (the binding library's
ArgumentError), OverflowError or UnicodeError. A call that fails leaves the instance's
developer response and the calls its overrides recorded exactly as they were.

In CI the property runs a fixed, derandomized number of examples (profile
reliability-ci: 200, scaled by ORV_RELIABILITY_SCALE). A longer randomized run:

    ORV_FUZZ_PROFILE=reliability-long ORV_FUZZ_EXAMPLES=200000 \\
        .venv/bin/python -m pytest tests/reliability/test_fuzz.py
"""
import math
import os

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from OrvCpp import OrvClient, TickType

from .surface import (
    METHODS, SCALE, OnlyBool, OnlyFloat, OnlyIndex, OnlyInt, override_class, well_typed,
)

FAILURES = (TypeError, OverflowError, UnicodeError)
RECEIVED_TYPES = (int, bool, float, str, TickType)

settings.register_profile(
    "reliability-ci", derandomize=True, database=None, deadline=None,
    max_examples=max(20, int(200 * SCALE)), suppress_health_check=list(HealthCheck))
settings.register_profile(
    "reliability-long", deadline=None,
    max_examples=int(os.environ.get("ORV_FUZZ_EXAMPLES", "100000")),
    suppress_health_check=list(HealthCheck))
FUZZ = settings.get_profile(os.environ.get("ORV_FUZZ_PROFILE", "reliability-ci"))

Recording = override_class("recording")


class NeverInitialised(OrvClient):
    def __init__(self):
        pass  # no native object is ever built


def _argument_error():
    try:
        OrvClient.req_ids(None, 1)
    except TypeError as error:
        return type(error)
    raise AssertionError("a call with self None was accepted")


ArgumentError = _argument_error()
assert ArgumentError.__name__ == "ArgumentError" and issubclass(ArgumentError, TypeError)


class IntSubclass(int):
    pass


class StrSubclass(str):
    pass


class TickTypeSubclass(TickType):
    pass


LIMITS = [0, 1, -1, 2**31 - 1, 2**31, -(2**31), -(2**31) - 1, 2**32, 2**63 - 1, 2**63,
          -(2**63), -(2**63) - 1, 2**64, 10**100, -(10**100)]
INVALID_UTF8 = [b"\xff", b"\xc3", b"\xed\xa0\x80", b"a\x80b", b"\xf4\x90\x80\x80"]
SURROGATES = st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF)

int32 = st.integers(-(2**31), 2**31 - 1)
# TickType members: the registered ones, and new ones from any 32-bit value. Outside 32
# bits TickType(value) raises OverflowError (test_tick_type_from_any_int).
tick_types = st.one_of(st.sampled_from(sorted(TickType.values.values())), int32.map(TickType),
                       int32.map(TickTypeSubclass))

scalars = st.one_of(
    st.none(), st.booleans(), st.integers(), st.sampled_from(LIMITS),
    st.floats(), st.sampled_from([math.nan, math.inf, -math.inf, -0.0, 5e-324]),
    st.text(), st.text(st.one_of(st.characters(), SURROGATES)), st.binary(),
    st.sampled_from(INVALID_UTF8), tick_types,
    st.builds(OnlyIndex, st.integers()), st.builds(OnlyInt, st.integers()),
    st.builds(OnlyFloat, st.floats()), st.builds(OnlyBool), st.builds(IntSubclass, st.integers()),
    st.builds(StrSubclass, st.text()), st.complex_numbers(),
    st.sampled_from([object(), OrvClient, TickType, len, Ellipsis, NotImplemented]),
)
anything = st.recursive(
    scalars,
    lambda children: st.one_of(st.lists(children, max_size=3), st.tuples(children),
                               st.dictionaries(st.text(max_size=3), children, max_size=2)),
    max_leaves=4)

# Values a parameter of each kind may accept, so that calls also get past conversion.
typed = {
    "int": st.one_of(int32, st.booleans(), tick_types, st.sampled_from(LIMITS)),
    "float": st.one_of(st.floats(), st.integers(), st.booleans()),
    "bool": st.one_of(st.booleans(), st.none(), st.integers()),
    "str": st.one_of(st.text(), st.binary(), st.sampled_from(INVALID_UTF8),
                     st.text(st.one_of(st.characters(), SURROGATES))),
    "TickType": tick_types,
}
keyword_names = st.one_of(st.sampled_from(["arg1", "arg2", "arg3", "self", "x", "kwargs"]),
                          st.from_regex(r"[a-z_][a-z0-9_]{0,8}", fullmatch=True))
SELF_KINDS = ("instance", "through class", "foreign", "never initialised")
USUAL = 6  # weight of the usual shapes (right count, no keywords, a real self)


@st.composite
def calls(draw):
    method = draw(st.sampled_from(METHODS))
    arity = len(method.params)
    count = draw(st.sampled_from([arity] * USUAL + list(range(arity + 3))))
    args = tuple(draw(typed[method.params[i]]) if i < arity and draw(st.integers(0, 4))
                 else draw(anything) for i in range(count))
    kwargs = draw(st.sampled_from([False] * USUAL + [True]).flatmap(
        lambda some: st.dictionaries(keyword_names, anything, min_size=1, max_size=3)
        if some else st.just({})))
    how = draw(st.sampled_from(SELF_KINDS[:2] * USUAL + SELF_KINDS[2:]))
    foreign = draw(anything) if how == "foreign" else None
    return method, args, kwargs, how, foreign


def _invoke(client, method, args, kwargs, how, foreign):
    function = method.binding
    if how == "instance":
        # Bound by hand: Recording's own overrides hide a dozen of the class's names.
        return function.__get__(client, type(client))(*args, **kwargs)
    if how == "through class":
        return function(client, *args, **kwargs)
    if how == "foreign":
        return function(foreign, *args, **kwargs)
    return function(NeverInitialised(), *args, **kwargs)


def _state(client):
    return client.getDeveloperResponse(), list(client.calls)


def _check_one(client, method, args, kwargs, how, foreign):
    before = _state(client)
    try:
        result = _invoke(client, method, args, kwargs, how, foreign)
    except FAILURES:
        assert _state(client) == before, f"failed {method.name}{args!r} changed the instance"
        return False
    # What must have failed did not.
    assert not kwargs, f"{method.name} accepted keywords {kwargs!r}"
    assert len(args) == len(method.params), f"{method.name} accepted {len(args)} arguments"
    assert how in ("instance", "through class"), f"{method.name} accepted self {how}"
    assert result is None or method.returns == "str" and type(result) is str
    # Whatever was passed, overrides receive only the module's own conversions.
    for name, received in client.calls[len(before[1]):]:
        assert all(type(value) in RECEIVED_TYPES for value in received), (name, received)
    return True


examples_run = 0
calls_made = [0, 0]  # succeeded, failed


@FUZZ
@given(developer=st.booleans(), sequence=st.lists(calls(), min_size=1, max_size=20))
def test_arbitrary_calls(developer, sequence):
    global examples_run
    examples_run += 1
    client = Recording()
    if developer:
        client.setDeveloper()
    for call in sequence:
        calls_made[not _check_one(client, *call)] += 1
    # The instance still works normally afterwards.
    client.place_order(1, "a", "b")
    assert client.calls[-1] == ("placeOrder", (1, "a", "b"))


@FUZZ
@given(value=st.one_of(st.integers(), st.sampled_from(LIMITS)))
def test_tick_type_from_any_int(value):
    if -(2**31) <= value < 2**31:
        member = TickType(value)
        assert type(member) is TickType and member == value and str(member) == str(value)
        assert member is not TickType.values.get(value)  # a new, unnamed member
    else:
        with pytest.raises(OverflowError):
            TickType(value)


# A fixed sweep on top of the random search: every odd value in every position of every
# method, the other positions well typed.
ODD_VALUES = [None, True, 2**31, -(2**31) - 1, 2**64, 10**100, 1.5, math.nan, math.inf, "",
              "\ud800", "a\udfffb", b"\xff", b"", [], (), {}, object(), OnlyIndex(1),
              OnlyInt(1), OnlyFloat(1.0), OnlyBool(), 1j, TickType(2**31 - 1),
              TickType(-(2**31)), TickTypeSubclass(3), TickType.NOT_SET, OrvClient, TickType]


@pytest.mark.parametrize("method", METHODS, ids=lambda method: method.name)
def test_odd_value_in_every_position(method):
    client = Recording()
    base = well_typed(method)
    for position in range(len(method.params)):
        for value in ODD_VALUES:
            args = base[:position] + (value,) + base[position + 1:]
            calls_made[not _check_one(client, method, args, {}, "instance", None)] += 1
    for how in ("foreign", "never initialised"):
        with pytest.raises(ArgumentError):
            _invoke(client, method, base, {}, how, 42)
    for count in {0, len(base) - 1, len(base) + 1} - {len(base), -1}:
        with pytest.raises(ArgumentError):
            _invoke(client, method, (base + base + (1,))[:count], {}, "instance", None)
    by_keyword = {f"arg{position + 2}": value for position, value in enumerate(base)}
    for args, kwargs in (((), by_keyword), (base, {"x": 1}), (base[:1], by_keyword)):
        if kwargs:
            with pytest.raises(ArgumentError):
                _invoke(client, method, args, kwargs, "instance", None)
    assert client.getDeveloperResponse() == "default developerResponse"


def test_report_fuzz_figures(figures):
    profile = os.environ.get("ORV_FUZZ_PROFILE", "reliability-ci")
    figures(f"fuzz (hypothesis, profile {profile}): {examples_run} examples; {sum(calls_made)} "
            f"calls with the fixed sweep, {calls_made[0]} succeeded, {calls_made[1]} failed "
            "as expected")
