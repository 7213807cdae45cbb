"""How a native call finds, or does not find, the Python method that overrides it."""
import sys

import pytest

from OrvCpp import OrvClient, TickType


class Log(OrvClient):
    def __init__(self):
        super().__init__()
        self.seen = []


def test_plain_client_has_no_overrides_and_leaves_no_error():
    client = OrvClient()
    client.place_order(1, "a", "b")  # name missing on the class: lookup fails quietly
    client.tickPrice(1, TickType.BID, 1.0, "a")  # the class's own binding is not an override
    assert sys.exc_info() == (None, None, None)


def test_registered_callback_does_not_call_itself():
    # Would recurse without end if the class's own binding counted as an override.
    client = Log()
    client.tickPrice(1, TickType.BID, 1.0, "a")
    client.simulateTickPrice(1, TickType.BID, 1.0, "a", "b")
    assert client.seen == []


class WithNone(Log):
    placeOrder = None
    tickPrice = None


class WithFalse(Log):
    placeOrder = 0


def test_false_attribute_counts_as_absent():
    for cls in (WithNone, WithFalse):
        client = cls()
        assert client.place_order(1, "a", "b") is None
    WithNone().simulateTickPrice(1, TickType.BID, 1.0, "a", "b")


class WithNumber(Log):
    placeOrder = 5


class WithUntestable(Log):
    class Untestable:
        def __bool__(self):
            raise ZeroDivisionError("no truth value")

    placeOrder = Untestable()


@pytest.mark.parametrize("cls,error,message", [
    (WithNumber, TypeError, "OrvClient operation 'placeOrder': attribute of type 'int' is not callable"),
    (WithUntestable, ZeroDivisionError, "no truth value"),
])
def test_unusable_attribute_raises(cls, error, message):
    with pytest.raises(error) as raised:
        cls().place_order(1, "a", "b")
    assert type(raised.value) is error and str(raised.value) == message


def test_callable_raising_type_error_keeps_its_message():
    client = Log()
    client.placeOrder = lambda *args: int("x", "y")
    with pytest.raises(TypeError) as raised:
        client.place_order(1, "a", "b")
    assert "OrvClient operation" not in str(raised.value)


def test_function_on_the_instance_gets_no_self():
    client = Log()
    client.nextValidId = lambda *args: client.seen.append(args)
    client.simulateNextValidId(9)
    assert client.seen == [(9,)]


def test_instance_attribute_shadows_class_binding():
    client = Log()
    client.tickPrice = lambda *args: client.seen.append(args)
    client.tickPrice(1, TickType.BID, 2.0, "x")  # plain Python call of the lambda
    client.simulateTickPrice(1, TickType.BID, 2.0, "x", "y")
    assert client.seen == [(1, TickType.BID, 2.0, "x")] * 2


def test_method_added_and_removed_later():
    class Late(Log):
        pass

    client = Late()
    client.place_order(1, "a", "b")
    Late.placeOrder = lambda self, *args: self.seen.append(args)
    client.place_order(2, "c", "d")
    del Late.placeOrder
    client.place_order(3, "e", "f")
    assert client.seen == [(2, "c", "d")]


def test_getattr_hook_supplies_overrides():
    class Dynamic(Log):
        def __getattr__(self, name):
            if name == "cancelOrder":
                return lambda *args: self.seen.append(args)
            raise AttributeError(name)

    client = Dynamic()
    client.cancel_order(4, "x")
    client.place_order(1, "a", "b")
    assert client.seen == [(4, "x")]


def test_failing_lookup_is_no_override():
    class Broken(Log):
        @property
        def placeOrder(self):
            raise LookupError("not available")

    client = Broken()
    assert client.place_order(1, "a", "b") is None
    assert sys.exc_info() == (None, None, None)


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


@pytest.mark.parametrize("texts,bad_position", [
    ((b"\xff", "ok"), 0),
    (("ok", b"\xfe"), 1),
    ((b"\xff", b"\xfe"), 1),  # converted from the last argument to the first
])
def test_undecodable_text(texts, bad_position):
    class Orders(Log):
        def placeOrder(self, *args):
            self.seen.append(args)

    client = Orders()
    with pytest.raises(UnicodeDecodeError) as raised:
        client.place_order(1, *texts)
    assert raised.value.object == texts[bad_position]
    assert client.seen == []


def test_wrong_arity_in_the_override_raises_type_error():
    class Short(Log):
        def orderStatus(self, order_id):
            pass

    with pytest.warns(UserWarning, match=r"Short\.orderStatus\(self, order_id\) cannot take"):
        client = Short()  # warned at once, before any event arrives
    with pytest.raises(TypeError):
        client.simulateOrderStatus(1, "a", "b", "c", 1.0, 2, 3, 4.0, 5, "d", 6.0)


def test_dispatchers_are_never_looked_up():
    class Both(Log):
        def nextVa1idId(self, value):
            self.seen.append(("nextVa1idId", value))

        def current(self, value):
            self.seen.append(("current", value))

        def nextValidId(self, value):
            self.seen.append(("nextValidId", value))

        def currentTime(self, value):
            self.seen.append(("currentTime", value))

    client = Both()
    OrvClient.nextVa1idId(client, 3)
    OrvClient.current(client, 4)
    assert client.seen == [("nextValidId", 3), ("currentTime", 4)]
