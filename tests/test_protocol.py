"""Every overridden operation reaches Python with its own name, order and types."""
import pytest

from OrvCpp import OrvClient, TickType
from conftest import Recorder, python_type, sample_arguments
from interface_table import DIRECT, OVERRIDDEN, REQUESTS

# The Python entry that leads to each operation without a request entry.
ENTRY_FOR = {"connect": "e_connect", "disconnect": "e_disconnect",
             "nextValidId": "simulateNextValidId", "currentTime": "simulateCurrentTime"}
ENTRY_FOR.update({name: name for name in DIRECT})
ENTRY_FOR.update({name: entry for name, _, entry in REQUESTS})


@pytest.mark.parametrize("flip_bools", [False, True], ids=["bools-a", "bools-b"])
@pytest.mark.parametrize("name,params", OVERRIDDEN, ids=[name for name, _ in OVERRIDDEN])
def test_operation_reaches_python(name, params, flip_bools):
    client = Recorder()
    args = sample_arguments(params, flip_bools)
    assert getattr(OrvClient, ENTRY_FOR[name])(client, *args) is None  # the native entry
    assert client.calls == [(name, tuple(args))]
    received = client.calls[0][1]
    assert [type(value) for value in received] == [python_type(kind) for kind in params]
    for sent, got, kind in zip(args, received, params):
        if kind == "t":
            assert got is sent  # the registered member itself


@pytest.mark.parametrize("name,params", OVERRIDDEN, ids=[name for name, _ in OVERRIDDEN])
def test_operation_passes_bytes_and_extremes(name, params):
    # Texts go in as bytes, so a text that came back as bytes would show.
    client = Recorder()
    args = [{"i": -(2**31) + position, "l": 2**31 - 1, "b": position % 2 == 1, "t": TickType.NOT_SET,
             "d": -1e300 * position, "s": b"\x00raw" + bytes([48 + position])}[kind]
            for position, kind in enumerate(params)]
    getattr(OrvClient, ENTRY_FOR[name])(client, *args)
    expected = tuple(arg.decode() if isinstance(arg, bytes) else arg for arg in args)
    assert client.calls == [(name, expected)]
    assert [type(value) for value in client.calls[0][1]] == [python_type(kind) for kind in params]


def test_requests_without_an_override_do_nothing():
    client = Recorder.__base__()
    for _, params, entry in REQUESTS:
        assert getattr(client, entry)(*sample_arguments(params)) is None


def test_unlisted_tick_type_arrives_as_unnamed_member():
    client = Recorder()
    client.simulateTickSize(1, TickType(58), "7", "")
    (_, (_, tick, _)), = client.calls
    assert type(tick) is TickType and tick == 58 and repr(tick) == "OrvCpp.TickType(58)"


def test_tick_type_subclass_arrives_as_its_value():
    class Custom(TickType):
        pass

    client = Recorder()
    client.simulateTickSize(1, Custom(4), "7", "")
    assert client.calls[0][1][1] is TickType.LAST


def test_override_may_call_back_into_the_instance():
    class Nested(Recorder):
        def placeOrder(self, order_id, contract, order):
            self.calls.append(("placeOrder", (order_id,)))
            if order_id > 0:
                self.place_order(order_id - 1, contract, order)

    client = Nested()
    client.place_order(3, "c", "o")
    assert [args[0] for _, args in client.calls] == [3, 2, 1, 0]


# The callbacks registered on the class under their own names, which dispatch to the
# instance's method of that name (the other two such entries dispatch further).
REGISTERED_CALLBACKS = [(name, params) for name, params in OVERRIDDEN if name in DIRECT]


# The class's tickPrice is the virtual operation itself, so calling it from the override
# reaches the override again; unbounded, that ends in RecursionError, which says why.
# An override that calls itself in Python gets no such line.
@pytest.mark.parametrize("chain", ["super", "class", "itself"])
@pytest.mark.parametrize("name,params", REGISTERED_CALLBACKS, ids=[n for n, _ in REGISTERED_CALLBACKS])
def test_class_binding_called_from_its_override_dispatches_again(name, params, chain):
    def override(self, *args):
        if chain == "super":
            getattr(super(Looping, self), name)(*args)
        elif chain == "class":
            getattr(OrvClient, name)(self, *args)
        else:
            getattr(self, name)(*args)

    Looping = type("Looping", (OrvClient,), {name: override})
    with pytest.raises(RecursionError) as raised:
        getattr(OrvClient, name)(Looping(), *sample_arguments(params))
    hint = (f"OrvClient.{name} dispatches to the override: super().{name}() inside {name} "
            f"calls itself; OrvClient's own {name} does nothing, so leave the call out")
    first, *rest = str(raised.value).split("\n")
    assert first.startswith("maximum recursion depth exceeded")
    assert rest == ([] if chain == "itself" else [hint])
