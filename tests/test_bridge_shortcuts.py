"""Cases the bridge's shortcuts must answer exactly as the library's general path does.

The entries convert arguments of the exact built-in types directly and look overrides
up without making bound methods; everything else goes the library's and the
interpreter's general way. These tests pin the results and errors on both sides of
that line.
"""
import functools
import gc
import sys
import weakref

import pytest

from OrvCpp import OrvClient, TickType
from conftest import Recorder


class Log(OrvClient):
    def __init__(self):
        super().__init__()
        self.seen = []


def error_of(call, *args):
    with pytest.raises(Exception) as raised:
        call(*args)
    return type(raised.value), str(raised.value)


# -- argument conversion --------------------------------------------------------------

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


class IntWithConversions(int):
    def __int__(self):
        return 5

    def __index__(self):
        return 6

    def __float__(self):
        return 9.0


@pytest.mark.parametrize("value,shown", [
    (2**31, "2147483648"),  # past 32 bits: the narrowing cast refuses it
    (-(2**31) - 1, "-2147483649"),
    (2**80, str(2**80)),  # past 64 bits: reading it as a C long fails
    (-(2**80), str(-(2**80))),
    (IntWithConversions(2**40), "1099511627776"),  # a subclass: the library's converter
    (-(2**300), "an int of 91 digits"),
])
def test_int_overflow_messages(value, shown):
    assert error_of(Recorder().req_ids, value) == (OverflowError, (
        "OrvClient.req_ids(): argument 1 (num_ids) must be between -2147483648 and "
        f"2147483647, not {shown}"))


@pytest.mark.parametrize("value", [0, -1, 2**30 - 1, 2**30, -(2**30) + 1, -(2**30),
                                   2**31 - 1, -(2**31), True])
def test_int_values_on_both_sides_of_one_digit(recorder, value):
    # ints of one internal digit are read in place, longer ones through the C API
    recorder.req_ids(value)
    assert recorder.calls[0][1] == (value,) and type(recorder.calls[0][1][0]) is int


def test_a_refused_argument_wins_over_a_failing_conversion():
    # Every argument is checked before any is converted: an argument of the wrong type
    # gives the argument error even when another one could not be converted.
    with pytest.raises(TypeError) as raised:
        Recorder().place_order(2**31, "\ud800", None)
    assert type(raised.value).__name__ == "ArgumentError"


class FloatWithConversion(float):
    def __float__(self):
        return 9.0


class Text(str):
    def __str__(self):
        return "other"


class Data(bytes):
    pass


@pytest.mark.parametrize("method,value,received", [
    ("req_ids", IntWithConversions(3), 3),           # an int's own value, not __int__
    ("req_ids", False, 0),
    ("req_ids", TickType.LAST, 4),
    ("req_auto_open_orders", IntWithConversions(0), False),
    ("req_auto_open_orders", -1, True),
    ("req_auto_open_orders", 0, False),
    ("req_auto_open_orders", False, False),
    ("request_f_a", Text("ab"), "ab"),                # the characters, not __str__
    ("request_f_a", Data(b"a\x00b"), "a\x00b"),
    ("request_f_a", "é€😀" * 3, "é€😀" * 3),
    ("request_f_a", "x" * 5000, "x" * 5000),
    ("request_f_a", "a", "a"),
    ("request_f_a", "", ""),
])
def test_values_of_every_kind(recorder, method, value, received):
    getattr(recorder, method)(value)
    (_, args), = recorder.calls
    assert args == (received,) and type(args[0]) is type(received)


@pytest.mark.parametrize("length", range(1, 19))
def test_text_with_one_non_ascii_character_anywhere(recorder, length):
    # the ASCII test of native texts reads them in words: every byte must count
    texts = ["a" * i + "\xe9" + "a" * (length - 1 - i) for i in range(length)]
    for text in texts:
        recorder.request_f_a(text)
    assert [args for _, args in recorder.calls] == [(text,) for text in texts]


@pytest.mark.parametrize("value,received", [
    (FloatWithConversion(1.5), 9.0),   # through the float conversion, as the library does
    (IntWithConversions(1), 9.0),
    (True, 1.0),
    (2**53 + 1, float(2**53 + 1)),
    (-0.0, -0.0),
    (type("FloatSubclass", (float,), {})(2.5), 2.5),  # a float, never the subclass object
])
def test_double_values(recorder, value, received):
    recorder.simulatePosition("a", "c", "p", value, "x")
    (_, (*_, price)), = recorder.calls
    assert type(price) is float and price == received


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


def test_text_with_a_cached_utf8_form_is_not_changed_in_size():
    text = "é" * 10
    size = sys.getsizeof(text)
    Recorder().request_f_a(text)
    assert sys.getsizeof(text) == size


# -- override lookup ------------------------------------------------------------------

def test_bound_class_method_stored_on_the_instance_is_not_an_override():
    client = Log()
    client.tickPrice = client.tickPrice  # the class's binding, kept in the instance
    client.simulateTickPrice(1, TickType.BID, 1.0, "a", "b")
    assert client.seen == []
    # The lookup releases what it found: the cycle through the instance is collectable.
    reference = weakref.ref(client)
    del client
    gc.collect()
    assert reference() is None


def test_the_class_entry_bound_to_another_instance_is_an_override():
    class Ticks(Log):
        def tickPrice(self, *args):
            self.seen.append(args)

    other, client = Ticks(), Ticks()
    client.tickPrice = OrvClient.tickPrice.__get__(other)
    client.simulateTickPrice(1, TickType.BID, 1.0, "a", "b")
    assert other.seen == [(1, TickType.BID, 1.0, "a")] and client.seen == []


@pytest.mark.parametrize("make", [Log, OrvClient, lambda: type("Bare", (OrvClient,), {})()])
def test_a_function_replacing_the_class_entry_is_an_override(make):
    # Only the registered entry object is the class's own binding: a function a user sets
    # under its name on OrvClient itself is found like any override.
    calls = []

    def replacement(self, *args):
        calls.append((self, args))

    original = OrvClient.__dict__["tickSize"]
    client = make()
    client.simulateTickSize(1, TickType.BID, "1", "x")  # fills any cache of the entry
    try:
        OrvClient.tickSize = replacement
        client.simulateTickSize(1, TickType.BID, "2", "x")
        assert calls == [(client, (1, TickType.BID, "2"))]
    finally:
        OrvClient.tickSize = original
    make().simulateTickSize(1, TickType.BID, "4", "x")
    client.simulateTickSize(1, TickType.BID, "5", "x")
    assert len(calls) == 1


def test_override_kinds_on_the_class():
    seen = []

    class Callable:
        def __call__(self, *args):
            seen.append(("callable", args))

    class Kinds(Log):
        placeOrder = staticmethod(lambda *args: seen.append(("static", args)))
        cancelOrder = classmethod(lambda cls, *args: seen.append(("class", cls, args)))
        reqIds = Callable()
        requestFA = functools.partial(lambda tag, *args: seen.append((tag, args)), "partial")

        @property
        def cancelMktData(self):
            return lambda *args: seen.append(("property", args))

    client = Kinds()
    client.place_order(1, "a", "b")
    client.cancel_order(2, "c")
    client.req_ids(3)
    client.request_f_a("d")
    client.cancel_mkt_data(4)
    # From 3.14 on a partial object binds like a function: the instance comes first.
    partial_args = (client, "d") if sys.version_info >= (3, 14) else ("d",)
    assert seen == [("static", (1, "a", "b")), ("class", Kinds, (2, "c")),
                    ("callable", (3,)), ("partial", partial_args), ("property", (4,))]


def test_getattribute_hook_sees_every_lookup():
    asked = []

    class Watching(Log):
        def __getattribute__(self, name):
            asked.append(name)
            return super().__getattribute__(name)

        def placeOrder(self, *args):
            self.seen.append(args)

    client = Watching()
    asked.clear()
    client.place_order(1, "a", "b")
    assert "placeOrder" in asked
    assert client.seen == [(1, "a", "b")]


def test_instance_attribute_shadows_a_method_of_the_subclass():
    class Orders(Log):
        def placeOrder(self, *args):
            self.seen.append(("method", args))

    client = Orders()
    client.placeOrder = None
    client.place_order(1, "a", "b")
    client.placeOrder = lambda *args: client.seen.append(("instance", args))
    client.place_order(2, "c", "d")
    del client.placeOrder
    client.place_order(3, "e", "f")
    assert client.seen == [("instance", (2, "c", "d")), ("method", (3, "e", "f"))]


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


# -- the entries' own call -------------------------------------------------------------

LIBRARY_FUNCTION = type(OrvClient.__init__).__base__  # the library's, under the module's own


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
    # through the entries' call slot (the same error and text) and through the library's
    # own call slot (the same error; an argument error has the explanation in front of
    # the library's text, an overflow names the argument, a str UTF-8 cannot encode has
    # the argument after the codec's text).
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
        elif direct[0] is OverflowError:
            assert direct[1].startswith(f"OrvClient.{name}(): argument 1 (num_ids) must be between")
            assert through_library[1] == "bad numeric conversion: positive overflow"
        elif direct[0] is UnicodeEncodeError and target is client:
            assert direct[1] == (through_library[1] + ", in argument 2 (contract) of "
                                 "OrvClient.place_order()")
        else:
            assert direct == through_library
    assert client.calls == []


# -- texts handed to the override -----------------------------------------------------

@pytest.mark.parametrize("sent", [
    "", "a", "ab", "a\x00b", "abcdefgh", "abcdefghi", "abcdefgh\x7f", "é", "abcdefgé",
    "x" * 4096, "€" * 9, "😀",
])
def test_texts_arrive_equal_and_exact(recorder, sent):
    recorder.simulateUpdateAccountValue(sent, sent.encode(), "c", "d")
    (_, (first, second, *_)), = recorder.calls
    assert first == second == sent
    assert type(first) is str and type(second) is str


@pytest.mark.parametrize("data,position", [
    (b"abcdefgh\xff", 8), (b"\xffabcdefgh", 0), (b"abcdefg\xc3", 7), (b"ab\xedcd", 2),
])
def test_undecodable_text_after_ascii_bytes(recorder, data, position):
    with pytest.raises(UnicodeDecodeError) as raised:
        recorder.request_f_a(data)
    assert raised.value.start == position and raised.value.object == data
    assert recorder.calls == []


def test_one_character_texts_are_the_interpreter_s_shared_objects(recorder):
    recorder.request_f_a(b"q")
    recorder.request_f_a(b"")
    assert recorder.calls[0][1][0] is b"q".decode()  # the decoder's shared objects
    assert recorder.calls[1][1][0] is b"".decode()
