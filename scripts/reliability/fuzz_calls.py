"""Coverage-guided fuzzing of OrvClient call sequences with atheris (libFuzzer).

Each input drives one fresh instance (recording, raising or without overrides, in
developer mode or not) through up to 24 calls chosen by the input: any of the
methods, with any number of arguments of any shape (typed values, None, ints of any size,
floats, str with lone surrogates, bytes, lists, objects with only __index__ or __float__,
TickType members) and now and then keywords or a foreign self. A call must succeed or
raise TypeError, OverflowError or UnicodeError (or the raising overrides' own exception),
and a call that fails must leave the developer response and the recorded calls as they
were; anything else is reported as a crash, as is any crash of the process.

Run by scripts/reliability/atheris.sh, which builds the instrumented module and preloads
libFuzzer; arguments are libFuzzer's (-max_total_time=, -runs=, corpus directories).
"""
import sys
from pathlib import Path

import atheris

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests"))

from reliability import surface  # noqa: E402
from OrvCpp import OrvClient, TickType  # noqa: E402  (instrumented by its build)

FAILURES = (TypeError, OverflowError, UnicodeError)
METHODS = surface.METHODS
CLASSES = [surface.override_class(kind) for kind in ("recording", "raising", "absent")]
MEMBERS = sorted(TickType.values.values())
KINDS = ["int", "float", "bool", "str", "TickType"]


def typed(data, kind):
    if kind == "int":
        return data.ConsumeIntInRange(-(2**31), 2**31 - 1)
    if kind == "float":
        return data.ConsumeRegularFloat() if data.ConsumeBool() else data.ConsumeFloat()
    if kind == "bool":
        return data.PickValueInList([True, False, None, 0, 1, -7])
    if kind == "str":
        size = data.ConsumeIntInRange(0, 24)
        return data.ConsumeUnicode(size) if data.ConsumeBool() else data.ConsumeBytes(size)
    if data.ConsumeBool():
        return data.PickValueInList(MEMBERS)
    return TickType(data.ConsumeIntInRange(-(2**31), 2**31 - 1))


def tick_type_from_any_int(data):
    value = data.ConsumeInt(data.ConsumeIntInRange(1, 12))
    try:
        member = TickType(value)
    except OverflowError:
        if -(2**31) <= value < 2**31:
            raise AssertionError(f"TickType({value}) refused a 32-bit value")
        return None
    if not -(2**31) <= value < 2**31 or member != value:
        raise AssertionError(f"TickType({value}) gave {member!r}")
    return member


def anything(data, depth=0):
    choice = data.ConsumeIntInRange(0, 12)
    if choice <= 4:
        return typed(data, KINDS[choice])
    if choice == 5:
        return None
    if choice == 6:
        return data.ConsumeInt(data.ConsumeIntInRange(1, 20))  # ints of every size
    if choice == 7:
        return data.ConsumeFloat()  # NaN and infinities included
    if choice == 8:
        return tick_type_from_any_int(data)
    if choice == 9:
        return surface.OnlyIndex(data.ConsumeInt(9))
    if choice == 10:
        return surface.OnlyFloat(data.ConsumeFloat())
    if choice == 11 and depth < 2:
        return [anything(data, depth + 1) for _ in range(data.ConsumeIntInRange(0, 3))]
    return data.PickValueInList([object(), OrvClient, TickType, "", b"", 1j, (), {}])


def state(client):
    return client.getDeveloperResponse(), list(getattr(client, "calls", ()))


def one_call(data, client):
    index = data.ConsumeIntInRange(0, len(METHODS) - 1)
    method = METHODS[index]
    arity = len(method.params)
    count = arity if data.ConsumeIntInRange(0, 7) else data.ConsumeIntInRange(0, arity + 2)
    args = [typed(data, method.params[i]) if i < arity and data.ConsumeIntInRange(0, 3)
            else anything(data) for i in range(count)]
    kwargs = {} if data.ConsumeIntInRange(0, 15) else {
        data.PickValueInList(["arg2", "self", "x"]): anything(data)}
    self = client if data.ConsumeIntInRange(0, 15) else anything(data)
    before = state(client)
    try:
        result = method.binding(self, *args, **kwargs)
    except FAILURES:
        if state(client) != before:
            raise AssertionError(f"failed {method.name}{tuple(args)!r} changed the instance")
        return
    except surface.OverrideFailure:
        return
    if kwargs or len(args) != arity or self is not client:
        raise AssertionError(f"{method.name} accepted {args!r} {kwargs!r}")
    if result is not None and not (method.returns == "str" and type(result) is str):
        raise AssertionError(f"{method.name} returned {result!r}")


def test_one_input(raw):
    data = atheris.FuzzedDataProvider(raw)
    client = data.PickValueInList(CLASSES)()
    if data.ConsumeBool():
        client.setDeveloper()
    for _ in range(data.ConsumeIntInRange(1, 24)):
        if data.remaining_bytes() == 0:
            break
        one_call(data, client)
    client.getDeveloperResponse()  # still usable


# Python-level coverage of the driver's own choices, on top of the module's counters.
for _name in ("typed", "tick_type_from_any_int", "anything", "one_call", "test_one_input"):
    globals()[_name] = atheris.instrument_func(globals()[_name])

if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
