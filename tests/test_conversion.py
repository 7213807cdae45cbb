"""Arguments going in: how a Python value converts to each parameter type (int, 32-bit
long, bool, float, text as str or bytes, TickType) and what the override receives; the
errors of what does not convert, with their messages and the hints for numbers of other
types; and converters that another extension registers with the library.

The entries convert arguments of the exact built-in types directly; everything else goes
the library's general way. The tests pin the results and errors on both sides of that line.
"""
import concurrent.futures
import copy
import copyreg
import math
import multiprocessing
import operator
import os
import pickle
import subprocess
import pickle
import sys
import textwrap
import threading
from decimal import Decimal

import pytest

import OrvCpp
from OrvCpp import OrvClient, TickType
from conftest import ArgumentError, Recorder, hostile_ids, run_hostile
from interface_table import DIRECT, OVERRIDDEN, SIMULATIONS


class Log(OrvClient):
    def __init__(self):
        super().__init__()
        self.seen = []


def error_of(call, *args):
    with pytest.raises(Exception) as raised:
        call(*args)
    return type(raised.value), str(raised.value)


# -- values accepted, and what the override receives ------------------------------------

# Numbers of other types: an int by __index__ alone, a float by __float__ alone.
class IndexOnly:
    def __index__(self):
        return 1


class FloatOnly:
    def __float__(self):
        return 1.0


class IntWithConversions(int):
    def __int__(self):
        return 5

    def __index__(self):
        return 6

    def __float__(self):
        return 9.0


class FloatWithConversion(float):
    def __float__(self):
        return 9.0


class Text(str):
    def __str__(self):
        return "other"


class Data(bytes):
    pass


# Python values accepted per native parameter type, as seen through req_ids (int),
# simulateCurrentTime (long), req_auto_open_orders (bool) and request_f_a (text).
# -- one conversion: the exact path is a narrowing of the general one -------------------

class Truthy(int):
    def __bool__(self):
        return False


class Raising(int):
    def __bool__(self):
        raise ValueError("no truth")


# Every kind of value for each parameter type: exact ones, ones just outside what the
# exact path takes, and ones the conversion refuses or fails on.
PALETTE = {
    "int": [0, 1, -1, True, False, 2**30 - 1, 2**30, -(2**30), 2**31 - 1, -(2**31), 2**31,
            -(2**31) - 1, 2**62, 2**64, -(2**100), IntWithConversions(7), None, 1.5, "1"],
    "bool": [True, False, None, 0, 1, -1, 5, 2**30, 2**40, -(2**70), Truthy(3), Raising(1),
             1.0, "x", b""],
    "float": [0.0, -0.0, 1.5, math.inf, -math.inf, 1e308, 0, 1, -7, 2**30, 2**53 + 1, 2**1024,
              True, FloatWithConversion(2.5), None, "1.5"],
    "str": ["", "a", "ab", "abc" * 20, "x" * 5000, "é", "€uro", "\U0001f600", "\ud800",
            "a\udfffb", b"", b"xyz", b"\xff\xfe", bytearray(b"ab"), Text("sub"), Data(b"dat"),
            None, 1],
    "TickType": [TickType.BID, TickType.LAST, TickType(200), TickType(-4), TickType(2**31 - 1),
                 TickType(-(2**31)), 1, None, "BID"],
}

# An entry with a parameter of each type: (entry, its arguments, position of the type).
# The last argument is a text: as a str subclass it forces the general path.
PALETTE_ROUTES = {
    "int": ("req_mkt_data", (1, "c", "g", True, False, "o"), 0),
    "bool": ("req_mkt_data", (1, "c", "g", True, False, "o"), 3),
    "str": ("req_mkt_data", (1, "c", "g", True, False, "o"), 1),
    "float": ("simulateTickPrice", (1, TickType.BID, 1.5, "a", "b"), 2),
    "TickType": ("simulateTickPrice", (1, TickType.BID, 1.5, "a", "b"), 1),
}


def outcome(entry, args):
    """What a call gives: the override's arguments with their exact types, or the error."""
    client = Recorder()
    try:
        getattr(client, entry)(*args)
    except Exception as error:  # noqa: BLE001 - the error is the outcome
        # A refusal's first line is the entry's; the library's listing of the argument
        # types after it names the neighbour's class.
        text = str(error).split("\n")[0] if isinstance(error, ArgumentError) else str(error)
        return type(error), text
    [(_, received)] = client.calls
    return [(type(value), value) for value in received]


@pytest.mark.parametrize("kind,value", [(kind, value) for kind, values in PALETTE.items()
                                        for value in values],
                         ids=lambda item: item if isinstance(item, str) else None)
def test_exact_and_general_paths_convert_alike(kind, value):
    entry, args, position = PALETTE_ROUTES[kind]
    alone = list(args)
    alone[position] = value
    beside = [*alone[:-1], Text(alone[-1])]
    exact, general = outcome(entry, alone), outcome(entry, beside)
    assert exact == general
    if kind == "int" and value == 2**31:
        assert exact == (OverflowError, f"OrvClient.{entry}(): argument 1 (req_id) must be "
                                        "between -2147483648 and 2147483647, not 2147483648")


@pytest.mark.parametrize("method,value,received", [
    # ints of one internal digit are read in place, longer ones through the C API
    *(("req_ids", value, int(value)) for value in [0, -1, 2**30 - 1, 2**30, -(2**30) + 1,
                                                   -(2**30), 2**31 - 1, -(2**31), True]),
    ("req_ids", IntWithConversions(3), 3),           # an int's own value, not __int__
    ("req_ids", False, 0),
    ("req_ids", TickType.LAST, 4),
    # ... on the other routes of a whole number: a replay, a dispatcher, a 32-bit time
    *((method, value, value) for method in ["simulateNextValidId", "current", "simulateCurrentTime"]
      for value in [2**30, -(2**30), 2**31 - 1, -(2**31)]),
    ("req_auto_open_orders", IntWithConversions(0), False),
    ("req_auto_open_orders", None, False),
    ("req_auto_open_orders", 0, False),
    ("req_auto_open_orders", False, False),
    ("req_auto_open_orders", -1, True),
    ("req_auto_open_orders", 5, True),
    ("req_auto_open_orders", True, True),
    ("req_auto_open_orders", 2**80, True),
    ("request_f_a", Text("ab"), "ab"),                # the characters, not __str__
    ("request_f_a", Data(b"a\x00b"), "a\x00b"),
    ("request_f_a", b"a\x00b", "a\x00b"),
    ("request_f_a", b"", ""),
    ("request_f_a", "é€😀" * 3, "é€😀" * 3),
    ("request_f_a", "x" * 5000, "x" * 5000),
])
def test_values_of_every_kind(recorder, method, value, received):
    getattr(recorder, method)(value)
    (_, args), = recorder.calls
    assert args == (received,) and type(args[0]) is type(received)


@pytest.mark.parametrize("value,received", [
    (1, 1.0), (True, 1.0), (-0.0, -0.0), (math.inf, math.inf), (math.nan, math.nan),
    (2**80, float(2**80)), (2**53 + 1, float(2**53 + 1)),
    (FloatWithConversion(1.5), 9.0),   # through the float conversion, as the library does
    (IntWithConversions(1), 9.0),
    (type("FloatSubclass", (float,), {})(2.5), 2.5),  # a float, never the subclass object
])
def test_double_values(recorder, value, received):
    recorder.simulatePosition("a", "c", "p", value, "x")
    (_, (*_, price)), = recorder.calls
    assert type(price) is float and repr(price) == repr(received)  # -0.0 and NaN too


@pytest.mark.parametrize("length", range(1, 19))
def test_text_with_one_non_ascii_character_anywhere(recorder, length):
    # the ASCII test of native texts reads them in words: every byte must count
    texts = ["a" * i + "\xe9" + "a" * (length - 1 - i) for i in range(length)]
    for text in texts:
        recorder.request_f_a(text)
    assert [args for _, args in recorder.calls] == [(text,) for text in texts]


@pytest.mark.parametrize("method,args", [
    ("place_order", (2**29 + 7, "ACME STK USD 1234567890", "BUY")),
    ("place_order", (2**30 + 7, "", "x")),
    ("simulateOrderStatus", (1, "Filled", "x" * 40, "\xe9t\xe9", -0.0, 2**31 - 1, -5,
                             float("nan"), -(2**31), "a\x00b", float("inf"))),
    ("simulateTickPrice", (1, TickType.LAST, 101.25, "abc", "unused")),
])
def test_arguments_reach_the_override_equal_and_keep_their_counts(recorder, method, args):
    # Objects the caller passed may reach the override as they are: each must arrive
    # with its exact type and value (bit for bit: -0.0, NaN), and every reference the
    # call took must be given back (watched on floats and on texts made here, which no
    # other code shares; small ints, members and short texts are shared too widely).
    args = tuple("".join(list(arg)) if type(arg) is str else arg for arg in args)
    own = [arg for arg in args if type(arg) is float or (type(arg) is str and len(arg) > 1)]
    counts = [sys.getrefcount(arg) for arg in own]
    getattr(recorder, method)(*args)
    (_, received), = recorder.calls
    sent = args[:len(received)]
    assert [(type(value), repr(value)) for value in received] == [
        (type(value), repr(value)) for value in sent]
    # Floats and ASCII texts arrive as the very objects passed, as from a Python caller.
    passed_on = [type(value) is float or (type(value) is str and value.isascii()) for value in sent]
    assert [got is value for got, value, kept in zip(received, sent, passed_on) if kept] == [
        True] * sum(passed_on)
    del received, sent
    recorder.calls.clear()
    assert [sys.getrefcount(arg) for arg in own] == counts


# Objects made for the override (an int of two digits, a float from an int, a str from
# bytes or from a str that is not ASCII, an unnamed TickType), in every position of the
# call: what the override keeps is held by it alone, exactly as a new equal object is.
@pytest.mark.parametrize("method,args", [
    ("req_ids", (2**30,)),
    ("simulateOrderStatus", (-(2**31), b"Filled", "r\xe9" * 20, b"x" * 40, 7, 2**31 - 1,
                             -(2**30), 2**40, 2**30, "w\xe9", -5)),
    ("simulateTickPrice", (2**30, TickType(200), 5, b"attrib" * 5, "")),
    ("simulateTickSize", (2**31 - 1, TickType(-(2**30)), b"size", "")),
])
def test_objects_made_for_the_override_are_held_by_it_alone(recorder, method, args):
    getattr(recorder, method)(*args)
    kept = recorder.calls[0][1]
    assert not any(value is arg for value in kept for arg in args)  # all made here
    copies = [("copied", pickle.loads(pickle.dumps(kept)))]  # held as the recorder holds it
    assert [sys.getrefcount(value) for value in kept] == [
        sys.getrefcount(value) for value in copies[0][1]]


def test_text_with_a_cached_utf8_form_is_not_changed_in_size():
    text = "é" * 10
    size = sys.getsizeof(text)
    Recorder().request_f_a(text)
    assert sys.getsizeof(text) == size


@pytest.mark.parametrize("sent", [
    "", "a", "ab", "a\x00b", "abcdefgh", "abcdefghi", "abcdefgh\x7f", "é", "abcdefgé",
    "x" * 4096, "€" * 9, "😀",
])
def test_texts_arrive_equal_and_exact(recorder, sent):
    recorder.simulateUpdateAccountValue(sent, sent.encode(), "c", "d")
    (_, (first, second, *_)), = recorder.calls
    assert first == second == sent
    assert type(first) is str and type(second) is str


def in_thread(thread, function):
    """Runs `function` in this thread or in a fresh one, raising what it raises."""
    if thread == "this":
        return function()
    failures = []

    def run():
        try:
            function()
        except BaseException as error:
            failures.append(error)

    worker = threading.Thread(target=run)
    worker.start()
    worker.join()
    if failures:
        raise failures[0]


# Texts longer than a std::string holds in place take storage kept from the thread's
# earlier calls (call_state/text_buffers.h). A fresh thread's first call finds no store;
# a call with more long texts than are kept, or one made from inside an override while
# the outer call's texts are held, runs the store empty, and the nested calls then give
# back more than it keeps. Calls in a row alternate long and short texts, as str and as
# bytes (which the override receives decoded): each override must receive exactly the
# texts of its own call.
@pytest.mark.parametrize("thread", ["this", "fresh"])
def test_texts_of_every_length_in_turn_arrive_whole(thread):
    lengths = [40, 16, 17, 300, 20, 1, 0, 2000, 64, 15, 1025, 33, 18, 1024]
    texts = ["".join(chr(97 + (i + n) % 26) for i in range(n)) for n in lengths]
    received = []

    def history(req_id):
        # six texts of 16 bytes and more, each one naming its call
        contract, end, duration, size, show, options = (
            f"{req_id}:{field}:".ljust(16 + 50 * field, "x") for field in range(6))
        return req_id, contract, end.encode(), duration, size, show, 1, 2, True, options

    class Nested(OrvClient):
        def placeOrder(self, order_id, contract, order):
            received.append((order_id, contract, order))
            if order_id > 0 and order_id % 3 == 0:
                self.place_order(-order_id, order[::-1], contract.encode())

        def reqHistoricalData(self, *args):
            received.append(args)
            if args[0] % 10 > 0:
                self.req_historical_data(*history(args[0] - 1))

    def calls():
        client = Nested()
        expected = []
        for first_id in (2, 12):
            client.req_historical_data(*history(first_id))  # three calls deep
            expected += [tuple(arg.decode() if type(arg) is bytes else arg
                               for arg in history(req_id))
                         for req_id in range(first_id, first_id - 3, -1)]
            for i, (first, second) in enumerate(zip(texts, reversed(texts))):
                client.place_order(i, first, second.encode() if i % 2 else second)
                expected.append((i, first, second))
                if i > 0 and i % 3 == 0:
                    expected.append((-i, second[::-1], first))
        assert received == expected

    in_thread(thread, calls)


def test_one_character_texts_are_the_interpreter_s_shared_objects(recorder):
    recorder.request_f_a(b"q")
    recorder.request_f_a(b"")
    assert recorder.calls[0][1][0] is b"q".decode()  # the decoder's shared objects
    assert recorder.calls[1][1][0] is b"".decode()


# Every route of a TickType to an override: the callbacks registered under their own
# names (called on the class, so that the registered function runs) and the replays.
# Each takes (int, TickType, ...) first.
TICK_TYPE_ROUTES = [name for name, params in OVERRIDDEN if "t" in params and name in DIRECT] + [
    entry for entry, params, *_ in SIMULATIONS if "t" in params]
ROUTE_PARAMETERS = dict(OVERRIDDEN, **{entry: params for entry, params, *_ in SIMULATIONS})
assert len(TICK_TYPE_ROUTES) == 4
assert all(ROUTE_PARAMETERS[route].startswith("it") for route in TICK_TYPE_ROUTES)


def through_route(route, number, tick_type, general):
    """The whole number and TickType the override receives from `route`'s entry. The
    other arguments are exact built-in objects, so the call takes its values in place
    (argument_conversion.h); with `general`, the last text is a str subclass, which sends the
    whole call through the general conversion instead."""
    values = {"d": 0.5, "s": "text"}
    args = [number, tick_type] + [values[kind] for kind in ROUTE_PARAMETERS[route][2:]]
    if general:
        args[-1] = Text(args[-1])
    client = Recorder()
    getattr(OrvClient, route)(client, *args)
    (_, received), = client.calls
    return received[:2]


class TickTypeSubclass(TickType):
    pass


# A value without a registered member arrives as a TickType of exactly that value; an
# int in the same call, as an int of exactly its value. CPython keeps ints in 30-bit
# digits: from 2**30 in magnitude a value has two, which a reading of the first digit
# alone would cut short. (One argument of two digits sends the whole call the general
# way, so each call has one.)
@pytest.mark.parametrize("general", [False, True], ids=["exact", "general"])
@pytest.mark.parametrize("route", TICK_TYPE_ROUTES)
@pytest.mark.parametrize("value", [58, 200, -4, 2**30, -(2**30), 2**31 - 1, -(2**31)])
def test_tick_type_without_a_member_arrives_unnamed_and_whole(route, value, general):
    _, tick = through_route(route, 1, TickType(value), general)
    assert type(tick) is TickType and tick == value and int(tick) == value
    assert repr(tick) == f"OrvCpp.TickType({value})"
    number, member = through_route(route, value, TickType.LAST, general)
    assert type(number) is int and number == value and member is TickType.LAST


# A registered member arrives as the member itself, whether the caller passed it, an
# equal TickType made by calling the class, or an object of a subclass.
@pytest.mark.parametrize("general", [False, True], ids=["exact", "general"])
@pytest.mark.parametrize("route", TICK_TYPE_ROUTES)
@pytest.mark.parametrize("form", [lambda member: member, lambda member: TickType(int(member)),
                                  lambda member: TickTypeSubclass(int(member))],
                         ids=["member", "equal", "subclass"])
def test_registered_members_arrive_as_themselves(route, form, general):
    members = [TickType.NOT_SET, *TickType.values.values()]
    received = [through_route(route, 1, form(member), general)[1] for member in members]
    assert [got is member for got, member in zip(received, members)] == [True] * len(members)


# -- values refused --------------------------------------------------------------------

@pytest.mark.parametrize("method,value,error", [
    ("req_ids", "1", ArgumentError),
    ("req_auto_open_orders", 1.0, ArgumentError),
    ("request_f_a", None, ArgumentError),
    ("request_f_a", 1, ArgumentError),
    ("request_f_a", bytearray(b"a"), ArgumentError),
    ("request_f_a", "\ud800", UnicodeEncodeError),
])
def test_refused_values(recorder, method, value, error):
    with pytest.raises(error) as raised:
        getattr(recorder, method)(value)
    assert type(raised.value) is error
    assert recorder.calls == []


@pytest.mark.parametrize("value", [1, 4, True, IndexOnly(), None])
def test_tick_type_parameter_refuses_non_members(recorder, value):
    with pytest.raises(TypeError) as raised:
        recorder.simulateTickSize(1, value, "5", "x")
    assert type(raised.value).__name__ == "ArgumentError"
    assert recorder.calls == []


RANGE = "must be between -2147483648 and 2147483647, not "
NUM_IDS = "req_ids(): argument 1 (num_ids)"
TIME = "simulateCurrentTime(): argument 1 (time)"


@pytest.mark.parametrize("call,message", [
    *((lambda c, value=value: c.req_ids(value), f"{NUM_IDS} {RANGE}{shown}") for value, shown in [
        (2**31, "2147483648"),  # past 32 bits: the narrowing cast refuses it
        (-(2**31) - 1, "-2147483649"),
        (2**80, str(2**80)),  # past 64 bits: reading it as a C long fails
        (-(2**80), str(-(2**80))),
        (IntWithConversions(2**40), "1099511627776"),  # a subclass: the library's converter
        (-(2**300), "an int of 91 digits"),
    ]),
    (lambda c: c.place_order(2**40, "x", "y"),
     f"place_order(): argument 1 (order_id) {RANGE}1099511627776"),
    # converted from the last to the first: the last one out of range is named
    (lambda c: c.simulateOrderStatus(1, "a", "b", "c", 1.0, 2**31, 1, 1.0, 2**33, "x", 1.0),
     f"simulateOrderStatus(): argument 9 (client_id) {RANGE}8589934592"),
    (lambda c: c.e_connect("h", 1, -(2**31) - 1),
     f"e_connect(): argument 3 (client_id) {RANGE}-2147483649"),
    (lambda c: c.simulateCurrentTime(2**31), f"{TIME} {RANGE}2147483648"),
    (lambda c: c.simulateCurrentTime(2**63), f"{TIME} {RANGE}9223372036854775808"),
    (lambda c: c.current(2**31), f"current(): argument 1 (time) {RANGE}2147483648"),
])
def test_overflow_names_the_argument_and_the_range(recorder, call, message):
    with pytest.raises(OverflowError) as raised:
        call(recorder)
    assert type(raised.value) is OverflowError
    assert str(raised.value) == f"OrvClient.{message}"
    assert recorder.calls == []


def test_arguments_convert_from_the_last_to_the_first():
    client = Recorder()
    surrogate = ("'utf-8' codec can't encode character '\\u{}' in position 0: surrogates not "
                 "allowed, in argument {} of OrvClient.{}()")
    assert error_of(client.place_order, 1, "\ud800", "\udfff") == (
        UnicodeEncodeError, surrogate.format("dfff", "3 (order)", "place_order"))
    assert error_of(client.place_order, 2**31, "\ud800", "ok") == (
        UnicodeEncodeError, surrogate.format("d800", "2 (contract)", "place_order"))
    assert error_of(client.req_mkt_data, 1, "\ud801", "\ud802", False, False, "\ud803") == (
        UnicodeEncodeError, surrogate.format("d803", "6 (options)", "req_mkt_data"))
    assert error_of(client.simulatePosition, "\ud801", "c", "p", 2**2000, "x") == (
        OverflowError, "int too large to convert to float")
    assert error_of(client.simulatePosition, "a", "c", "p", 2**2000, "\ud801")[0] is UnicodeEncodeError
    assert error_of(client.simulateOrderStatus, 1, "a", "b", "c", 1.0, 2**31, 1, 1.0, 2**33,
                    "\ud800", 1.0)[0] is UnicodeEncodeError
    assert client.calls == []


def test_a_refused_argument_wins_over_a_failing_conversion():
    # Every argument is checked before any is converted: an argument of the wrong type
    # gives the argument error even when another one could not be converted.
    with pytest.raises(TypeError) as raised:
        Recorder().place_order(2**31, "\ud800", None)
    assert type(raised.value).__name__ == "ArgumentError"


@pytest.mark.parametrize("result", ["not a float", None, 7])
def test_float_subclass_whose_conversion_returns_no_float(recorder, result):
    # float() refuses such a __float__; the value is never read from the object returned
    lying = type("Lying", (float,), {"__float__": lambda self: result})(2.5)
    with pytest.raises(TypeError) as from_float:
        float(lying)
    with pytest.raises(TypeError) as raised:
        recorder.simulatePosition("a", "c", "p", lying, "x")
    assert (type(raised.value), str(raised.value)) == (TypeError, str(from_float.value))
    assert recorder.calls == []


@pytest.mark.parametrize("data,position", [
    (b"abcdefgh\xff", 8), (b"\xffabcdefgh", 0), (b"abcdefg\xc3", 7), (b"ab\xedcd", 2),
])
def test_undecodable_text_after_ascii_bytes(recorder, data, position):
    with pytest.raises(UnicodeDecodeError) as raised:
        recorder.request_f_a(data)
    assert raised.value.start == position and raised.value.object == data
    assert recorder.calls == []


class Texts(Log):
    def placeOrder(self, *args):
        self.seen.append(args)

    def tickPrice(self, *args):
        self.seen.append(args)

    def requestFA(self, data):
        "\udc00".encode()  # the method's own error, left as it is


ENCODE = "'utf-8' codec can't encode character '\\u{}' in position {}: surrogates not allowed"
DECODE = "'utf-8' codec can't decode byte 0x{} in position {}: invalid start byte"
CALL_SLOT = type(OrvClient.place_order).__call__  # the library's call, as on 3.7


# A text UTF-8 cannot carry names the method and the argument, in the reason of the
# codec's own error. A str is encoded on entry, with or without an override; bytes are
# decoded only for an override, which receives a str, from the last argument to the first.
@pytest.mark.parametrize("call,error,text", [
    (lambda c: c.place_order(1, "\ud800", "b"), UnicodeEncodeError,
     ENCODE.format("d800", 0) + ", in argument 2 (contract) of OrvClient.place_order()"),
    (lambda c: CALL_SLOT(OrvClient.place_order, c, 1, "ok", "x\udfff"), UnicodeEncodeError,
     ENCODE.format("dfff", 1) + ", in argument 3 (order) of OrvClient.place_order()"),
    (lambda c: c.simulateTickPrice(1, TickType.LAST, 1.0, "\ud800", "é"), UnicodeEncodeError,
     ENCODE.format("d800", 0) + ", in argument 4 (attrib) of OrvClient.simulateTickPrice()"),
    (lambda c: c.place_order(1, b"\xff", "b"), UnicodeDecodeError,
     DECODE.format("ff", 0) + ", in argument 2 (contract) of OrvClient operation 'placeOrder', "
     "whose method receives texts as str"),
    (lambda c: c.place_order(1, b"\xff", b"\xfe"), UnicodeDecodeError,
     DECODE.format("fe", 0) + ", in argument 3 (order) of OrvClient operation 'placeOrder', "
     "whose method receives texts as str"),
    (lambda c: OrvClient.tickPrice(c, 1, TickType.LAST, 1.0, b"ok\xfe"), UnicodeDecodeError,
     DECODE.format("fe", 2) + ", in argument 4 (attrib) of OrvClient operation 'tickPrice', "
     "whose method receives texts as str"),
    (lambda c: c.request_f_a("ok"), UnicodeEncodeError, ENCODE.format("dc00", 0)),
])
@pytest.mark.parametrize("cls", [Texts, Log])
def test_text_utf8_cannot_carry_names_the_method_and_argument(cls, call, error, text):
    client = cls()
    if cls is Log and (error is UnicodeDecodeError or "argument" not in text):
        assert call(client) is None  # bytes pass as they are where nothing decodes them
        return
    with pytest.raises(error) as raised:
        call(client)
    assert type(raised.value) is error and str(raised.value) == text
    assert client.seen == []


# -- argument errors and their messages -------------------------------------------------

def test_argument_error_names_class_method_and_types(recorder):
    with pytest.raises(TypeError) as raised:
        recorder.place_order(1, None, "b")
    message = str(raised.value)
    assert "OrvClient.place_order(Recorder, int, NoneType, str)" in message
    assert "place_order(OrvClientWrapper {lvalue}, int" in message


class PassesAnArgument(OrvClient):
    def __init__(self, x):
        super().__init__(x)


# The first line of the argument error: the method, then the first argument that does
# not convert (from 1, self not counted), what was given and what is accepted.
@pytest.mark.parametrize("call,explanation", [
    (lambda c: c.simulateTickPrice(1, 4, 1.5, "a", "b"),
     "OrvClient.simulateTickPrice(): argument 2 (tick_type) must be TickType, not int (4); "
     "pass TickType.LAST or TickType(4)"),
    (lambda c: OrvClient.tickSize(c, 1, -7, "5"),
     "OrvClient.tickSize(): argument 2 (tick_type) must be TickType, not int (-7); "
     "pass TickType(-7)"),
    (lambda c: c.simulateTickSize(1, "BID_SIZE", "5", "x"),
     "OrvClient.simulateTickSize(): argument 2 (tick_type) must be TickType, "
     "not str ('BID_SIZE'); pass TickType.BID_SIZE"),
    (lambda c: c.simulateTickPrice(1, True, 1.5, "a", "b"),
     "OrvClient.simulateTickPrice(): argument 2 (tick_type) must be TickType, not bool (True)"),
    (lambda c: c.place_order(1, None, b"b"),
     "OrvClient.place_order(): argument 2 (contract) must be str, not None"),
    (lambda c: c.place_order(1.5, None, "b"),
     "OrvClient.place_order(): argument 1 (order_id) must be int, not float (1.5)"),
    (lambda c: c.simulateOrderStatus(1, "a", "b", "c", 1.0, 2, 3, 4.0, 5, "d", "6.0"),
     "OrvClient.simulateOrderStatus(): argument 11 (mkt_cap_price) must be float, "
     "not str ('6.0')"),
    (lambda c: c.simulateTickPrice(1, TickType.LAST, 1.5, "a", 5),
     "OrvClient.simulateTickPrice(): argument 5 (unused) must be str, not int (5)"),
    (lambda c: c.req_auto_open_orders(IndexOnly()),
     "OrvClient.req_auto_open_orders(): argument 1 (auto_bind) must be bool, not IndexOnly"),
    (lambda c: c.e_connect("h", 1, "x" * 50),
     "OrvClient.e_connect(): argument 3 (client_id) must be int, not str"),
    (lambda c: c.place_order(order_id=1, contract="a", order="b"),
     "OrvClient.place_order() takes no keyword arguments (got order_id, contract, order); "
     "pass order_id, contract, order by position"),
    (lambda c: c.req_ids(None, x=2),
     "OrvClient.req_ids() takes no keyword arguments (got x); pass num_ids by position"),
    (lambda c: c.req_ids(1, x=2),
     "OrvClient.req_ids() takes no keyword arguments (got x); pass num_ids by position"),
    # entries without parameters: nothing to pass by position
    (lambda c: c.e_disconnect(x=1), "OrvClient.e_disconnect() takes no keyword arguments (got x)"),
    (lambda c: c.req_heart_beats(x=1),
     "OrvClient.req_heart_beats() takes no keyword arguments (got x)"),
    (lambda c: c.setDeveloper(x=1, y=2),
     "OrvClient.setDeveloper() takes no keyword arguments (got x, y)"),
    (lambda c: c.simulatePositionEnd(x=1),
     "OrvClient.simulatePositionEnd() takes no keyword arguments (got x)"),
    (lambda c: OrvClient.heartBeatsEnd(c, x=1),
     "OrvClient.heartBeatsEnd() takes no keyword arguments (got x)"),
    (lambda c: c.getDeveloperResponse(x=1),  # an entry with a result
     "OrvClient.getDeveloperResponse() takes no keyword arguments (got x)"),
    (lambda c: c.place_order(1, "a"),
     "OrvClient.place_order() takes 3 arguments (order_id, contract, order), 2 given"),
    (lambda c: c.req_ids(1, 2), "OrvClient.req_ids() takes 1 argument (num_ids), 2 given"),
    (lambda c: c.req_ids(), "OrvClient.req_ids() takes 1 argument (num_ids), 0 given"),
    (lambda c: c.req_current_time(1), "OrvClient.req_current_time() takes no arguments, 1 given"),
    (lambda c: c.getDeveloperResponse(1),
     "OrvClient.getDeveloperResponse() takes no arguments, 1 given"),
    (lambda c: OrvClient.req_ids(object(), 1),
     "OrvClient.req_ids(): self must be an OrvClient instance, not object"),
    (lambda c: OrvClient.getDeveloperResponse(TickType.LAST),
     "OrvClient.getDeveloperResponse(): self must be an OrvClient instance, not TickType"),
    (lambda c: OrvClient.req_ids(),
     "OrvClient.req_ids() needs an OrvClient instance before its arguments"),
    # the constructor's, in the same words
    (lambda c: OrvClient(x=1), "OrvClient.__init__() takes no keyword arguments (got x)"),
    (lambda c: OrvClient(1), "OrvClient.__init__() takes no arguments, 1 given"),
    (lambda c: PassesAnArgument(2), "OrvClient.__init__() takes no arguments, 1 given"),
])
def test_argument_error_explains_the_refusal(recorder, call, explanation):
    with pytest.raises(ArgumentError) as raised:
        call(recorder)
    assert type(raised.value) is ArgumentError
    first, library_text = str(raised.value).split("\n", 1)
    assert first == explanation
    assert library_text.startswith("Python argument types in\n    OrvClient.")
    assert recorder.calls == []
    recorder.req_ids(1)  # nothing left pending
    assert recorder.calls == [("reqIds", (1,))]


class InitLookalike(str):
    """A class dictionary key that the explanation's search for `__init__` compares with
    (same hash), whose comparison raises `error` once set."""
    error = None

    def __hash__(self):
        return hash("__init__")

    def __eq__(self, other):
        if InitLookalike.error:
            raise InitLookalike.error
        return False


# Explaining a refusal may fail in turn (the class dictionary's search for a generated
# __init__): an error that must propagate takes the refusal's place, with the refusal as
# its __context__; any other is dropped, and the explanation does without that detail.
@pytest.mark.parametrize("error", [KeyboardInterrupt, MemoryError, ValueError])
def test_explanation_gives_way_to_errors_that_must_propagate(monkeypatch, error):
    Uninitialised = type("Uninitialised", (OrvClient,),
                         {InitLookalike("key"): 1, "__init__": lambda self: None})
    client = Uninitialised()
    monkeypatch.setattr(InitLookalike, "error", error)
    escapes = ArgumentError if error is ValueError else error
    with pytest.raises(escapes) as raised:
        client.req_ids(1)
    assert type(raised.value) is escapes
    if error is ValueError:
        assert str(raised.value).split("\n")[0].endswith(
            "call super().__init__() in Uninitialised.__init__")
    else:
        assert type(raised.value.__context__) is ArgumentError
        assert str(raised.value.__context__).startswith("Python argument types in")


class WholeNumber:
    """A number type of another library, such as numpy.int64: not an int, but one by
    __index__, with a float value and a truth value."""

    def __index__(self):
        return 3

    def __float__(self):
        return 3.0

    def __bool__(self):
        return True


def numpy_value(type_name, value):
    def make():
        # numpy's own import leaves blocks that memcheck reports as lost at exit; the
        # rows of plain classes above give the same hints there.
        if os.environ.get("ORV_SANITIZED") == "valgrind":
            pytest.skip("numpy is not imported under valgrind")
        return getattr(pytest.importorskip("numpy"), type_name)(value)
    return make


# int() reads __index__ from 3.8 on.
INDEX_HINT = "int(x)" if sys.version_info >= (3, 8) else "operator.index(x)"


# Numbers and flags of other types are refused; the argument error says how to pass
# them, judging by what the type offers, and the call so made goes through.
@pytest.mark.parametrize("kind,make,hint", [
    ("int", IndexOnly, INDEX_HINT),
    ("int", WholeNumber, INDEX_HINT),
    ("int", FloatOnly, None),  # int() would cut a fraction short
    ("int", lambda: Decimal("2"), None),
    ("int", lambda: 2.0, None),
    ("float", FloatOnly, "float(x)"),
    ("float", WholeNumber, "float(x)"),
    ("float", IndexOnly, "float(x)" if sys.version_info >= (3, 8) else None),
    ("float", lambda: Decimal("2.5"), "float(x)"),
    ("float", lambda: "2.5", None),
    ("bool", WholeNumber, "bool(x)"),
    ("bool", lambda: Decimal("0"), "bool(x)"),
    ("bool", IndexOnly, None),  # no truth value of its own: bool(x) would not be its value
    ("bool", lambda: "", None),
    ("int", numpy_value("int64", 7), "int(x)"),
    ("int", numpy_value("int32", -7), "int(x)"),
    ("float", numpy_value("float32", 0.5), "float(x)"),
    ("float", numpy_value("int64", 7), "float(x)"),
    ("bool", numpy_value("bool_", False), "bool(x)"),
])
def test_argument_error_says_how_to_pass_a_number_of_another_type(recorder, kind, make, hint):
    value = make()
    entry, position, name, call = {
        "int": ("req_ids", 1, "num_ids", lambda v: recorder.req_ids(v)),
        "float": ("simulatePosition", 4, "avg_cost",
                  lambda v: recorder.simulatePosition("a", "c", "p", v, "x")),
        "bool": ("req_auto_open_orders", 1, "auto_bind", lambda v: recorder.req_auto_open_orders(v)),
    }[kind]
    with pytest.raises(ArgumentError) as raised:
        call(value)
    first = str(raised.value).split("\n", 1)[0]
    assert first.startswith(f"OrvClient.{entry}(): argument {position} ({name}) must be {kind}, not ")
    assert first.endswith(f"; pass {hint}") if hint else ";" not in first
    if hint:
        converted = {"int(x)": int, "operator.index(x)": operator.index,
                     "float(x)": float, "bool(x)": bool}[hint](value)
        call(converted)
        assert recorder.calls[0][1][position - 1] == converted


LIBRARY_FUNCTION = type(OrvClient.__init__).__base__  # the library's, under the module's own


@pytest.mark.parametrize("through_slot", [False, True])
def test_an_argument_error_from_within_the_call_is_left_as_it_is(through_slot):
    class Nested(OrvClient):
        def placeOrder(self, *args):
            self.req_ids(None)

    client, entry = Nested(), OrvClient.place_order
    with pytest.raises(ArgumentError) as raised:
        if through_slot:  # the entries' call slot, which the library's call reaches
            type(entry).__call__(entry, client, 1, "a", "b")
        else:
            client.place_order(1, "a", "b")
    first, second, _ = str(raised.value).split("\n", 2)
    assert first == "OrvClient.req_ids(): argument 1 (num_ids) must be int, not None"
    assert second == "Python argument types in"
    assert type(entry) is not LIBRARY_FUNCTION and issubclass(type(entry), LIBRARY_FUNCTION)


@pytest.mark.parametrize("name,args,keywords", [
    ("place_order", (1.5, "a", "b"), {}),
    ("place_order", (1, "a"), {}),
    ("place_order", (1, "a", "b"), {"order": "c"}),
    ("place_order", (1, "\ud800", "b"), {}),
    ("req_ids", (2**31,), {}),
    ("simulateTickPrice", (1, 4, 1.0, "", ""), {}),
])
def test_entries_fail_exactly_as_the_library_s_call(name, args, keywords):
    # The entries' call when the interpreter calls them directly, against the same call
    # through the entries' call slot and through the library's own call slot: the same
    # error and text, but that the entries put an argument error's explanation in front
    # of the library's text. (A failed conversion is explained where it fails, on every
    # route.)
    client = Recorder()
    entry = getattr(OrvClient, name)
    for target in (client, object()):
        direct = error_of(lambda: entry(target, *args, **keywords))
        through_slot = error_of(lambda: type(entry).__call__(entry, target, *args, **keywords))
        through_library = error_of(lambda: LIBRARY_FUNCTION.__call__(entry, target, *args, **keywords))
        assert direct == through_slot
        assert direct[0] is through_library[0]
        if direct[0].__name__ == "ArgumentError":
            explanation, library_text = direct[1].split("\n", 1)
            assert explanation.startswith(f"OrvClient.{name}(") and library_text == through_library[1]
        else:
            assert direct == through_library
        if direct[0] is OverflowError:
            assert direct[1].startswith(f"OrvClient.{name}(): argument 1 (num_ids) must be between")
        elif direct[0] is UnicodeEncodeError and target is client:
            assert direct[1].endswith(", in argument 2 (contract) of OrvClient.place_order()")
    assert client.calls == []


# Hostile programs (conftest.HOSTILE_CHILD), each in a child interpreter.
CASES = [
    # Objects that are not OrvClient instances as self.
    ("OrvClient.__init__(Plain())", "TypeError"),
    ("OrvClient.__init__(X())", "TypeError"),
    ("OrvClient.place_order(X(), 1, 'a', 'b')", "ArgumentError"),
    ("OrvClient.place_order(XInt(), 1, 'a', 'b')", "ArgumentError"),
    ("OrvClient.tickPrice(X(), 1, TickType.LAST, 1.0, 'a')", "ArgumentError"),
    ("OrvClient.tickPrice(XInt(7), 1, TickType.LAST, 1.0, 'a')", "ArgumentError"),
    # Objects of classes made with OrvClient's metaclass from other bases have no holder
    # to read: refused in every position, on every path into the library.
    ("OrvClient().place_order(XInt(1 << 130), 'a', 'b')", "ArgumentError"),
    ("OrvClient().place_order(1, XInt(1 << 130), 'b')", "ArgumentError"),
    ("OrvClient().simulateTickPrice(1, XInt(1 << 130), 1.0, '', '')", "ArgumentError"),
    ("OrvClient().simulateTickPrice(1, TickType.LAST, XInt(1 << 130), '', '')", "ArgumentError"),
    ("OrvClient.getDeveloperResponse(XInt(1 << 130))", "ArgumentError"),
    ("OrvClient.place_order(XInt(1 << 130))", "ArgumentError"),
    # A class made where a dead instance class was, with the layout check skipped, would
    # have its int read as a holder. (Under ASan freed memory is not reused: the last
    # class made is then merely another one.)
    ("import gc\n"
     "class K(OrvClient): pass\n"
     "K().req_ids(1); address = id(K); del K; gc.collect()\n"
     "for _ in range(10000):\n"
     "    Y = type(OrvClient)('Y', (int,), {})\n"
     "    if id(Y) == address: break\n"
     "OrvClient.req_ids(Y(1 << 130), 1)", "ArgumentError"),
    # A TickType argument whose __class__ answers int first and raises the second time.
    ("class Flip:\n"
     "    looks = 0\n"
     "    @property\n"
     "    def __class__(self):\n"
     "        Flip.looks += 1\n"
     "        if Flip.looks > 1: raise ValueError('second look')\n"
     "        return int\n"
     "OrvClient().simulateTickPrice(1, Flip(), 1.0, '', '')", "ArgumentError"),
    # A failing truth test or isinstance() propagates, and nothing is called.
    ("c = S()\ntry:\n    c.req_auto_open_orders(Untestable(0))\nfinally:\n    assert not c.calls",
     "ValueError: no truth value"),
    ("OrvClient().req_auto_open_orders(Untestable(0))", "ValueError: no truth value"),
    ("OrvClient().simulateTickPrice(1, ClassRaises(), 1.0, '', '')", "RuntimeError: no class"),
    # An interrupt raised by a TickType argument's isinstance() propagates, even when the
    # object answers as a member the next time; nothing is called.
    ("class Once:\n"
     "    looks = 0\n"
     "    @property\n"
     "    def __class__(self):\n"
     "        Once.looks += 1\n"
     "        if Once.looks == 1: raise KeyboardInterrupt\n"
     "        return TickType\n"
     "c = type('T', (S,), {'tickPrice': lambda self, *a: self.calls.append(a)})()\n"
     "try:\n    c.simulateTickPrice(1, Once(), 1.0, '', '')\nfinally:\n    assert not c.calls",
     "KeyboardInterrupt"),
]


@pytest.mark.parametrize("case,outcome", CASES, ids=hostile_ids(CASES))
def test_hostile_arguments(case, outcome):
    run_hostile(case, outcome)


# -- argument errors across pickling ----------------------------------------------------
# The library's ArgumentError names a module nothing imports; copyreg's reduction for it
# makes the same class again through OrvCpp._rebuild_argument_error.

def refused_call_error(expression):
    try:
        eval(expression)
    except TypeError as error:
        return error
    raise AssertionError(expression + " was accepted")


REFUSED_CALLS = [
    "__import__('OrvCpp').OrvClient().place_order('x', 'c', 'o')",
    "__import__('OrvCpp').OrvClient().place_order(__import__('numpy').int64(1), 'c', 'o')",
]


COPIES = pytest.mark.parametrize("copy_of", [
    *(lambda error, p=p: pickle.loads(pickle.dumps(error, p))
      for p in range(pickle.HIGHEST_PROTOCOL + 1)),
    copy.copy, copy.deepcopy,
], ids=[f"pickle{p}" for p in range(pickle.HIGHEST_PROTOCOL + 1)] + ["copy", "deepcopy"])


@COPIES
def test_argument_error_pickles_and_copies_as_itself(copy_of):
    error = refused_call_error(REFUSED_CALLS[0])
    error.seen_by = ["strategy"]  # attributes travel with it, as BaseException's do
    copied = copy_of(error)
    assert type(copied) is ArgumentError and isinstance(copied, TypeError)
    assert copied is not error
    assert (copied.args, str(copied), copied.seen_by) == (error.args, str(error), ["strategy"])
    assert str(copied).startswith("OrvClient.place_order(): argument 1 (order_id) must be int, "
                                  "not str ('x')\nPython argument types in\n")


# copyreg's table comes before an object's own methods: the reduction hands over to them.
@COPIES
@pytest.mark.parametrize("name", ["__reduce__", "__reduce_ex__"])
def test_argument_error_with_a_reduction_of_its_own_is_reduced_by_it(copy_of, name):
    error = refused_call_error(REFUSED_CALLS[0])
    setattr(error, name, lambda *protocol: (ValueError, ("own",)))
    copied = copy_of(error)
    assert type(copied) is ValueError and copied.args == ("own",)


def test_argument_error_reduction_is_registered_once_for_the_library_s_class():
    reduction = copyreg.dispatch_table[ArgumentError]
    rebuild, args = reduction(ArgumentError("text"))
    assert rebuild is OrvCpp._rebuild_argument_error
    assert (rebuild.__module__, rebuild.__name__) == ("OrvCpp", "_rebuild_argument_error")
    assert args == ("text",)
    assert TypeError not in copyreg.dispatch_table


@pytest.mark.parametrize("expression", REFUSED_CALLS, ids=["str", "numpy.int64"])
def test_argument_error_in_a_worker_process_reaches_the_parent(expression, spawned_pool):
    if "numpy" in expression:
        numpy_value("int64", 1)()  # skipped where numpy is not imported
    expected = refused_call_error(expression)
    with pytest.raises(TypeError) as raised:
        spawned_pool.submit(eval, expression).result(timeout=120)
    assert type(raised.value) is ArgumentError
    assert str(raised.value) == str(expected)


@pytest.fixture(scope="module")
def spawned_pool():
    """Two worker processes, started as on every platform (spawn: fresh interpreters)."""
    with concurrent.futures.ProcessPoolExecutor(
            2, mp_context=multiprocessing.get_context("spawn")) as pool:
        yield pool


# -- converters another extension registers ---------------------------------------------
#
# Converters registered with the library after import take part exactly as the library
# lets them, even for the exact built-in types that the entries otherwise convert directly.
# The converter registry is shared by the whole process, so each case runs in a fresh
# interpreter. The extra converters are registered through the library's own entry points
# (called with ctypes), as another extension module would register them.

PRELUDE = textwrap.dedent(r"""
    import ctypes
    import OrvCpp

    path = next(line.split()[-1] for line in open("/proc/self/maps")
                if "libboost_python" in line)
    library = ctypes.CDLL(path)
    CONVERTIBLE = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.py_object)
    CONSTRUCT = ctypes.CFUNCTYPE(None, ctypes.py_object, ctypes.c_void_p)
    signature = [CONVERTIBLE, CONSTRUCT, ctypes.c_char_p, ctypes.c_void_p]
    insert = library._ZN5boost6python9converter8registry6insertEPFPvP7_objectEPFvS5_PNS1_30rvalue_from_python_stage1_dataEENS0_9type_infoEPFPK11_typeobjectvE
    push_back = library._ZN5boost6python9converter8registry9push_backEPFPvP7_objectEPFvS5_PNS1_30rvalue_from_python_stage1_dataEENS0_9type_infoEPFPK11_typeobjectvE
    insert.argtypes = push_back.argtypes = signature
    keep = []

    def register(add, type_name, accepts, value, ctype):
        def convertible(obj):
            return id(obj) if accepts(obj) else None

        def construct(obj, data):
            storage = data + 16  # after the stage-one data: convertible, construct
            ctype.from_address(storage).value = value
            ctypes.c_void_p.from_address(data).value = storage

        callbacks = (CONVERTIBLE(convertible), CONSTRUCT(construct), type_name)
        keep.append(callbacks)
        add(*callbacks, None)

    class Recorder(OrvCpp.OrvClient):
        def __init__(self):
            super().__init__()
            self.seen = []

        def reqIds(self, *args):
            self.seen.append(args)

        def position(self, *args):
            self.seen.append(args[3:])
""")


def run(body):
    done = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(body)],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr


def test_converter_inserted_in_front_wins_for_an_exact_int():
    run("""
        client = Recorder()
        client.req_ids(12345)
        register(insert, b"i", lambda obj: type(obj) is int and obj == 12345, 54321, ctypes.c_int)
        client.req_ids(12345)
        client.req_ids(7)
        assert client.seen == [(12345,), (54321,), (7,)], client.seen
    """)


def test_converter_appended_leaves_the_built_in_one_first():
    run("""
        client = Recorder()
        register(push_back, b"i", lambda obj: True, 54321, ctypes.c_int)
        client.req_ids(12345)
        assert client.seen == [(12345,)], client.seen
        # An object the built-in conversion refuses reaches the appended converter.
        client.req_ids(1.5)
        assert client.seen == [(12345,), (54321,)], client.seen
    """)


def test_converter_for_a_plain_python_object():
    run("""
        client = Recorder()
        register(insert, b"d", lambda obj: obj == "pi", 3.25, ctypes.c_double)
        client.simulatePosition("a", "c", "p", "pi", "x")
        client.simulatePosition("a", "c", "p", 2.5, "x")
        assert client.seen == [(3.25,), (2.5,)], client.seen
    """)
