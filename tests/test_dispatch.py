"""Calls reaching the overrides: every operation by its request entry, replay entry or
registered callback, with its own name, order and types; the override's instance, result,
errors and calls back into the instance, and the references calls leave behind; the
connection, heartbeat and time entries; the replay entries and the developer mode."""
import sys

import pytest

from OrvCpp import OrvClient, TickType
from conftest import (PRIVATE_LIBRARY_ONLY, Recorder, hostile_ids, make_recorder_class,
                      python_type, run_hostile, sample_arguments)
from interface_table import DIRECT, METHODS, OVERRIDDEN, REQUESTS, SIMULATIONS


class Log(OrvClient):
    def __init__(self):
        super().__init__()
        self.seen = []


# -- every operation ---------------------------------------------------------------------

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
    args = [{"i": -(2**31) + position, "l": 2**31 - 1, "b": position % 2 == 1,
             "d": -1e300 * position, "s": b"\x00raw" + bytes([48 + position]),
             "t": TickType.NOT_SET}[kind] for position, kind in enumerate(params)]
    getattr(OrvClient, ENTRY_FOR[name])(client, *args)
    expected = tuple(arg.decode() if isinstance(arg, bytes) else arg for arg in args)
    assert client.calls == [(name, expected)]
    assert [type(value) for value in client.calls[0][1]] == [python_type(kind) for kind in params]


def test_plain_client_runs_default_bodies():
    client = OrvClient()
    for name, params in METHODS:
        if name in ("getDeveloperResponse", "setDeveloper"):
            continue
        assert getattr(client, name)(*sample_arguments(params)) is None
    assert client.getDeveloperResponse() == "default developerResponse"
    assert sys.exc_info() == (None, None, None)  # no lookup left an error behind


def test_override_receives_the_instance_itself():
    received = []

    class Orders(Log):
        def placeOrder(self, *args):
            received.append(self)

    client = Orders()
    client.place_order(1, "a", "b")
    assert received == [client] and received[0] is client


def test_entries_called_every_way_reach_the_override():
    class Orders(Log):
        def placeOrder(self, *args):
            self.seen.append(args)

    client = Orders()
    client.place_order(1, "a", "b")
    OrvClient.place_order(client, 2, "c", "d")
    bound = client.place_order
    bound(3, "e", "f")
    getattr(client, "place_order")(4, "g", "h")
    assert bound.__self__ is client
    assert client.seen == [(1, "a", "b"), (2, "c", "d"), (3, "e", "f"), (4, "g", "h")]


def test_exception_reaches_caller_unchanged():
    error = ValueError("from the override")

    class Raising(Log):
        def placeOrder(self, *args):
            raise error

    with pytest.raises(ValueError) as raised:
        Raising().place_order(1, "a", "b")
    assert raised.value is error


def test_result_of_the_override_is_ignored():
    class Returning(Log):
        def placeOrder(self, *args):
            return object()

        def cancelOrder(self, *args):
            return NotImplemented

    client = Returning()
    assert client.place_order(1, "a", "b") is None
    assert client.cancel_order(1, "a") is None


def test_override_may_call_back_into_the_instance():
    class Nested(Recorder):
        def placeOrder(self, order_id, contract, order):
            self.calls.append(("placeOrder", (order_id,)))
            if order_id > 0:
                self.place_order(order_id - 1, contract, order)

    client = Nested()
    client.place_order(3, "c", "o")
    assert [args[0] for _, args in client.calls] == [3, 2, 1, 0]


def keep_nothing(*args):
    keep_nothing.calls += 1


keep_nothing.calls = 0


class OverridesOnTheClass(OrvClient):
    def tickPrice(self, *args):
        keep_nothing(*args)

    placeOrder = tickPrice


class LooksUpAttributesItself(OverridesOnTheClass):
    def __getattr__(self, name):  # its own attribute lookup: the general one is taken
        raise AttributeError(name)


class OwnBindingsOnly(OrvClient):  # the general lookup finds the class's own tickPrice
    __getattr__ = LooksUpAttributesItself.__getattr__


def overrides_in_the_instance():
    client = OrvClient()
    client.tickPrice = client.placeOrder = keep_nothing
    return client


# However the override is found (a function of the class, one of the instance, through
# a lookup of the class's own, or not at all), calls leave the reference counts of
# everything they share where they were: the instance, its class, the overrides, the
# registered members that went in or came out, the entries.
@pytest.mark.parametrize("make", [OverridesOnTheClass, LooksUpAttributesItself, OwnBindingsOnly,
                                  overrides_in_the_instance, OrvClient])
def test_calls_keep_no_reference_to_what_they_share(make):
    client = make()
    member_of_subclass = type("Custom", (TickType,), {})(4)
    shared = [client, type(client), vars(OverridesOnTheClass)["tickPrice"], keep_nothing,
              TickType, TickType.LAST, TickType.NOT_SET, OrvClient.tickPrice,
              OrvClient.place_order, OrvClient.simulateTickPrice]

    def calls():
        client.simulateTickPrice(2**30, member_of_subclass, 5, b"attrib" * 5, "")
        OrvClient.tickPrice(client, 1, TickType.NOT_SET, 2.5, "\xe9" * 20)
        client.place_order(2**31 - 1, b"x" * 40, "y" * 40)

    calls()  # caches filled once
    counts = [sys.getrefcount(value) for value in shared]
    overrides_called = keep_nothing.calls
    for _ in range(50):
        calls()
    assert [sys.getrefcount(value) for value in shared] == counts
    overridden = make not in (OwnBindingsOnly, OrvClient)
    assert keep_nothing.calls - overrides_called == (150 if overridden else 0)


# The callbacks registered on the class under their own names, which dispatch to the
# instance's method of that name (the other two such entries dispatch further).
REGISTERED_CALLBACKS = [(name, params) for name, params in OVERRIDDEN if name in DIRECT]


# The class's tickPrice is the virtual operation itself, so calling it from the override
# reaches the override again; unbounded, that ends in RecursionError, which says why.
# An override that calls itself in Python gets no such line.
@pytest.mark.usefixtures("collector_paused_before_3_9")
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


class TextOnce:
    """An error argument whose text raises `error` the first time it is read."""

    def __init__(self, error):
        self.error = error

    def __str__(self):
        error, self.error = self.error, None
        if error:
            raise error
        return "deep"


# Reading the RecursionError's text for the hint runs its argument's __str__: an error
# there that must propagate takes the RecursionError's place (as its __context__); any
# other is dropped, and the RecursionError comes out without the hint.
@pytest.mark.parametrize("error", [KeyboardInterrupt, MemoryError, ValueError])
def test_recursion_hint_gives_way_to_errors_that_must_propagate(error):
    raised_inside = []

    class Looping(OrvClient):
        def tickPrice(self, *args):
            if not raised_inside:
                raised_inside.append(RecursionError(TextOnce(error)))
                OrvClient.tickPrice(self, *args)  # the hint runs where this call fails
            raise raised_inside[0]

    escapes = RecursionError if error is ValueError else error
    with pytest.raises(escapes) as raised:
        OrvClient.tickPrice(Looping(), 1, TickType.LAST, 1.0, "a")
    assert type(raised.value) is escapes
    if error is ValueError:
        assert raised.value is raised_inside[0] and str(raised.value) == "deep"
    else:
        assert raised.value.__context__ is raised_inside[0]


# Hostile programs (conftest.HOSTILE_CHILD), each in a child interpreter.
CASES = [
    # Recursion through the entries ends in RecursionError before the C stack does:
    # a class entry standing in for its own override, a forwarding override under a
    # raised limit, and a thread with a small stack.
    ("class C(S):\n    reqHistoricalData = OrvClient.req_historical_data\n"
     "C().req_historical_data(1, 'a', 'b', 'c', 'd', 'e', 2, 3, True, 'f')", "RecursionError"),
    ("class C(S):\n    orderStatus = OrvClient.simulateOrderStatus\n"
     "C().simulateOrderStatus(1, 's', 'f', 'r', 1.0, 4, 5, 6.0, 7, 'w', 8.0)", "RecursionError"),
    ("sys.setrecursionlimit(10000)\n"
     "class C(S):\n    def reqHistoricalData(self, *a):\n        self.req_historical_data(*a)\n"
     "C().req_historical_data(1, 'a', 'b', 'c', 'd', 'e', 2, 3, True, 'f')", "RecursionError"),
    ("threading.stack_size(512 * 1024)\n"
     "class C(S):\n    def orderStatus(self, *a):\n        self.simulateOrderStatus(*a)\n"
     "errors = []\n"
     "def replay():\n"
     "    try:\n"
     "        C().simulateOrderStatus(1, 's', 'f', 'r', 1.0, 4, 5, 6.0, 7, 'w', 8.0)\n"
     "    except BaseException as error:\n"
     "        errors.append(error)\n"
     "thread = threading.Thread(target=replay); thread.start(); thread.join()\n"
     "raise errors[0]", "RecursionError"),
    # ... and so does recursion through the library's own function type's call.
    pytest.param("threading.stack_size(256 * 1024); sys.setrecursionlimit(1000000)\n"
                 "f = OrvClient.cancel_order; call = type(f).__mro__[1].__call__\n"
                 "class C(S):\n    def cancelOrder(self, *a):\n        call(f, self, *a)\n"
                 "errors = []\n"
                 "def cancel():\n"
                 "    try:\n"
                 "        C().cancel_order(1, 't')\n"
                 "    except BaseException as error:\n"
                 "        errors.append(error)\n"
                 "thread = threading.Thread(target=cancel); thread.start(); thread.join()\n"
                 "raise errors[0]", "RecursionError", marks=PRIVATE_LIBRARY_ONLY),
]


@pytest.mark.parametrize("case,outcome", CASES, ids=hostile_ids(CASES))
def test_hostile_recursion(case, outcome):
    run_hostile(case, outcome)


# -- replay entries, developer mode, connection, heartbeat and time ---------------------

DEFAULT_TEXT = "default developerResponse"
RECORDING = {"e_connect", "req_account_updates", "req_account_summary"} | {
    entry for entry, *_, text in SIMULATIONS if text}


class Failing(Exception):
    pass


def raising_recorder(name):
    def fail(self, *args):
        self.calls.append((name, args))
        raise Failing(name)

    return type("RaisingRecorder", (Recorder,), {name: fail})


@pytest.mark.parametrize("developer", [False, True], ids=["normal", "developer"])
@pytest.mark.parametrize("entry,params,callback,passed,text", SIMULATIONS,
                         ids=[row[0] for row in SIMULATIONS])
def test_simulation_entry(entry, params, callback, passed, text, developer):
    client = Recorder()
    if developer:
        client.setDeveloper()
    args = sample_arguments(params)
    getattr(client, entry)(*args)
    assert client.calls == [(callback, tuple(args[:passed]))]
    recorded = text if developer and text else DEFAULT_TEXT
    assert client.getDeveloperResponse() == recorded

    # The trailing unused text may be anything, even empty or undecodable.
    if len(params) > passed:
        client.calls.clear()
        getattr(client, entry)(*args[:passed], b"\xff")
        assert client.calls == [(callback, tuple(args[:passed]))]


@pytest.mark.parametrize("entry,params,callback,passed,text", SIMULATIONS,
                         ids=[row[0] for row in SIMULATIONS])
def test_simulation_keeps_previous_text_when_callback_raises(entry, params, callback, passed,
                                                               text):
    client = raising_recorder(callback)()
    client.setDeveloper()
    client.e_connect("h", 1, 2)
    with pytest.raises(Failing):
        getattr(client, entry)(*sample_arguments(params))
    assert client.getDeveloperResponse() == "connect test 1 passed 1 2"


def test_simulation_without_callback_still_records():
    client = OrvClient()
    client.setDeveloper()
    client.simulatePositionEnd()
    assert client.getDeveloperResponse() == "simulatePositionEnd test 1 passed"


def test_next_valid_id_for_testing_delivers_one():
    client = Recorder()
    client.simulateNextValidIdForTesting()
    client.simulateNextValidId(0)
    assert client.calls == [("nextValidId", (1,)), ("nextValidId", (0,))]


@pytest.mark.parametrize("port,client_id,text", [
    (7, -3, "connect test 1 passed 7 -3"),
    (0, 0, "connect test 1 passed 0 0"),
    (2**31 - 1, -(2**31), f"connect test 1 passed {2**31 - 1} {-(2**31)}"),
])
def test_connect_in_developer_mode_records_instead(port, client_id, text):
    client = Recorder()
    client.setDeveloper()
    client.e_connect("host.example", port, client_id)
    assert client.calls == []
    assert client.getDeveloperResponse() == text


@pytest.mark.parametrize("entry,args,operation,text", [
    ("req_account_updates", (True, "DU1"), "reqAccountUpdates", "reqAccountUpdates test 1 passed"),
    ("req_account_summary", (9, "All", "NetLiquidation"), "reqAccountSummary",
     "reqAccountSummary test 1 passed"),
])
def test_account_requests_in_developer_mode(entry, args, operation, text):
    client = Recorder()
    getattr(client, entry)(*args)
    assert client.calls == [(operation, args)]
    assert client.getDeveloperResponse() == DEFAULT_TEXT
    client.setDeveloper()
    getattr(client, entry)(*args)
    getattr(client, entry)(*args)
    assert client.calls == [(operation, args)]
    assert client.getDeveloperResponse() == text


def test_other_entries_ignore_developer_mode():
    """Every method outside the recording set behaves the same with the mode on."""
    client = Recorder()
    client.setDeveloper()
    client.setDeveloper()
    for name, params in METHODS:
        if name in RECORDING or name in ("setDeveloper", "getDeveloperResponse"):
            continue
        getattr(client, name)(*sample_arguments(params))
        assert client.getDeveloperResponse() == DEFAULT_TEXT, name
    requested = {name for name, _ in client.calls}
    assert {name for name, _, _ in REQUESTS} - requested == {"reqAccountUpdates",
                                                              "reqAccountSummary"}


def test_texts_replace_and_never_concatenate():
    client = Recorder()
    client.setDeveloper()
    client.simulateTickSize(1, TickType.BID, "5", "")
    client.simulateHistoricalData(1, "bar")
    assert client.getDeveloperResponse() == "simulateHistoricalData test 1 passed"
    client.e_connect("h", 1, 2)
    client.e_connect("h", 3, 4)
    assert client.getDeveloperResponse() == "connect test 1 passed 3 4"
    assert client.getDeveloperResponse() == client.getDeveloperResponse()


def test_developer_mode_is_per_object():
    first, second = Recorder(), Recorder()
    first.setDeveloper()
    second.e_connect("h", 1, 2)
    second.simulatePositionEnd()
    assert second.calls == [("connect", ("h", 1, 2)), ("positionEnd", ())]
    assert second.getDeveloperResponse() == DEFAULT_TEXT


def test_connection_entries():
    client = Recorder()
    client.e_connect("", 4001, 7)
    client.e_disconnect()
    client.e_connect("h", 1, 2)
    assert client.calls == [("connect", ("", 4001, 7)), ("disconnect", ()),
                            ("connect", ("h", 1, 2))]


def test_heartbeat_round_trip():
    client = Recorder()
    client.req_ids(25)
    client.req_heart_beats()
    client.nextVa1idId(42)
    assert client.calls == [("reqIds", (25,)), ("reqIds", (1,)), ("nextValidId", (42,)),
                            ("heartBeatsEnd", ())]


def test_heartbeat_stops_when_next_valid_id_raises():
    client = raising_recorder("nextValidId")()
    with pytest.raises(Failing):
        client.nextVa1idId(42)
    assert client.calls == [("nextValidId", (42,))]


@pytest.mark.parametrize("value", [0, -5, 2**31 - 1])
def test_current_passes_the_time_unchanged(value):
    client = Recorder()
    client.current(value)
    assert client.calls == [("currentTime", (value,))]


def test_running_mode_changes_nothing():
    plain = make_recorder_class(["placeOrder"])()
    for mode in (0, -1, 2**31 - 1):
        plain.setRunningMode(mode)
        plain.place_order(mode, "a", "b")
    assert plain.calls == [("placeOrder", (m, "a", "b")) for m in (0, -1, 2**31 - 1)]
    with pytest.raises(OverflowError):
        plain.setRunningMode(2**31)
