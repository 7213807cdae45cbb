"""How a native call finds, or does not find, the Python method that overrides it."""
import functools
import gc
import importlib.util
import sys
import warnings
import weakref

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
# decoded only for an override, which receives a str.
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


def test_wrong_arity_in_the_override_raises_type_error():
    class Short(Log):
        def orderStatus(self, order_id):
            pass

    with pytest.warns(UserWarning, match=r"Short\.orderStatus\(self, order_id\) cannot take"):
        client = Short()  # warned at once, before any event arrives
    with pytest.raises(TypeError):
        client.simulateOrderStatus(1, "a", "b", "c", 1.0, 2, 3, 4.0, 5, "d", 6.0)


def at_recursion_limit(make):
    """make(), called with as few frames left as the interpreter allows."""
    def deeper():
        try:
            return deeper()
        except RecursionError:
            return make()
    return deeper()


def test_first_instance_at_the_recursion_limit_is_made_and_checked_later():
    class Plain:
        pass

    class Misspelt(Log):
        def tickprice(self, *args):
            pass

    assert type(at_recursion_limit(Plain)) is Plain
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert type(at_recursion_limit(Misspelt)) is Misspelt
        assert caught == []
        Misspelt()
    assert [str(w.message).split(" differs")[0].rsplit(".", 2)[-2:] for w in caught] == [
        ["Misspelt", "tickprice"]]


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


# -- warnings at a subclass's first instance --------------------------------------------

def first_instances(body, count=2, action="always"):
    """The warnings (category, text) that making `count` instances of a new subclass gives."""
    cls = type("T", (OrvClient,), body)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter(action)
        instances = [cls() for _ in range(count)]
    assert all(i.getDeveloperResponse() == "default developerResponse" for i in instances)
    assert sys.exc_info() == (None, None, None)
    return [(w.category, str(w.message)) for w in caught]


def any_arguments(self, *args):
    pass


def misnamed(name, target, kind="callback"):
    return (f"T.{name} differs from the {kind} name {target} only by case or underscores: "
            f"OrvClient calls {target} and never {name} (rename it to {target})")


def unfit(name, signature, count, kind, parameters):
    return (f"T.{name}{signature} cannot take the {count} arguments OrvClient passes to the "
            f"{kind} {name}({parameters})")


@pytest.mark.parametrize("body,expected", [
    ({"tickprice": any_arguments}, [misnamed("tickprice", "tickPrice")]),
    ({"tick_price": any_arguments}, [misnamed("tick_price", "tickPrice")]),
    ({"TickPrice": staticmethod(any_arguments)}, [misnamed("TickPrice", "tickPrice")]),
    ({"PlaceOrder": functools.partial(any_arguments, 1)},
     [misnamed("PlaceOrder", "placeOrder", "request")]),
    ({"tickPrice": lambda self, req_id, tick_type: None},
     [unfit("tickPrice", "(self, req_id, tick_type)", 4, "callback",
            "req_id, tick_type, price, attrib")]),
    ({"placeOrder": staticmethod(lambda order_id: None)},
     [unfit("placeOrder", "(order_id)", 3, "request", "order_id, contract, order")]),
    ({"reqIds": classmethod(lambda cls, a, b: None)},
     [unfit("reqIds", "(cls, a, b)", 1, "request", "num_ids").replace("1 arguments", "1 argument")]),
    ({"tickPrice": classmethod(lambda cls, req_id, tick_type, price: None)},
     [unfit("tickPrice", "(cls, req_id, tick_type, price)", 4, "callback",
            "req_id, tick_type, price, attrib")]),
    ({"placeOrder": staticmethod(lambda self, order_id, contract, order: None)},
     [unfit("placeOrder", "(self, order_id, contract, order)", 3, "request",
            "order_id, contract, order")]),
    ({"positionEnd": functools.partial(lambda a, b: None, 1)},
     [unfit("positionEnd", "(b)", 0, "callback", "")]),
    ({"heartBeatsEnd": len},  # a built-in with a signature
     [unfit("heartBeatsEnd", "(obj, /)", 0, "callback", "")]),
])
def test_mistakes_warned_once_per_class(body, expected):
    assert first_instances(body) == [(UserWarning, text) for text in expected]
    assert first_instances(body) == [(UserWarning, text) for text in expected]  # a new class


class Uninspectable:
    def __init__(self, error):
        self.error = error

    def __call__(self, *args):
        pass

    @property
    def __signature__(self):
        raise self.error


class Lookalike:
    def __getattr__(self, name):
        raise RuntimeError(name)


@pytest.mark.parametrize("body", [
    {"tickPrice": any_arguments, "place_order": any_arguments, "tickPrice_seen": any_arguments},
    {"tickprice": 5, "tick_size": None},  # not methods
    {"_connect": any_arguments, "_position": any_arguments},  # private by convention
    {"tickPrice": min},  # a built-in without a signature
    {"tickPrice": property(lambda self: any_arguments)},  # what it binds to is not known
    {"tickPrice": Uninspectable(ValueError("no signature"))},
    {"tickPrice": Lookalike(), "__getattr__": lambda self, name: 1 / 0},
    {"nextVa1idId": lambda self: None, "current": lambda self: None},  # never looked up
    {"__init__": lambda self: OrvClient.__init__(self), "simulate_tick_price": any_arguments},
    # class and static methods that take exactly what the lookup's binding leaves them
    {"tickPrice": classmethod(lambda cls, req_id, tick_type, price, attrib: None),
     "placeOrder": staticmethod(lambda order_id, contract, order: None)},
])
def test_no_warning_for_what_is_not_a_mistake(body):
    assert first_instances(body) == []


def test_an_ignored_warning_leaves_no_trace():
    assert first_instances({"tickprice": any_arguments}, action="ignore") == []


# Filters that make the warning an error (python -W error, -W error::UserWarning, pytest's
# filterwarnings = error): each instance raises it while they hold, then the next one
# under ordinary filters warns, once.
@pytest.mark.parametrize("category", [UserWarning, Warning])
def test_a_warning_made_an_error_is_raised_by_each_instance(category):
    cls = type("T", (OrvClient,), {"tickprice": any_arguments})
    with warnings.catch_warnings():
        warnings.simplefilter("error", category)
        for _ in range(2):
            with pytest.raises(UserWarning) as raised:
                cls()
            assert type(raised.value) is UserWarning
            assert str(raised.value) == misnamed("tickprice", "tickPrice")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        cls(), cls()
    assert [str(w.message) for w in caught] == [misnamed("tickprice", "tickPrice")]


# A strategy module of the user's: the warning names the line that called
# OrvClient.__init__, in that module, whether the class has an __init__ of its own or not.
USER_MODULE = """\
from OrvCpp import OrvClient


class Plain(OrvClient):
    def tickprice(self, *args):
        pass


class Initialised(OrvClient):
    def __init__(self):
        super().__init__()  # calls OrvClient.__init__

    def tick_price(self, *args):
        pass


def make_plain():
    return Plain()  # calls OrvClient.__init__


def make_initialised():
    return Initialised()
"""


@pytest.fixture
def user_module(tmp_path):
    """USER_MODULE imported from a file, under a name of its own for each test."""
    name = "user_strategy_" + tmp_path.name
    path = tmp_path / (name + ".py")
    path.write_text(USER_MODULE)
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("make,calling_line", [
    ("make_plain", "    return Plain()  # calls OrvClient.__init__"),
    ("make_initialised", "        super().__init__()  # calls OrvClient.__init__"),
], ids=["class without __init__", "class with __init__"])
def test_warning_points_at_the_line_that_made_the_instance(user_module, make, calling_line):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        getattr(user_module, make)()
    (warning,) = caught
    assert warning.category is UserWarning
    assert "only by case or underscores" in str(warning.message)
    assert warning.filename == user_module.__file__
    assert warning.lineno == USER_MODULE.splitlines().index(calling_line) + 1


@pytest.mark.parametrize("ignored,count", [
    (None, 1),
    ("another_module", 1),
    ("the user's module", 0),
])
def test_warning_is_silenced_by_a_filter_for_the_user_module(user_module, ignored, count):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if ignored:
            module = user_module.__name__ if ignored == "the user's module" else ignored
            warnings.filterwarnings("ignore", category=UserWarning, module=module)
        user_module.make_plain()
    assert len(caught) == count


@pytest.mark.parametrize("error", [KeyboardInterrupt, RecursionError, MemoryError])
def test_errors_that_must_reach_the_program_leave_the_check(error):
    with pytest.raises(error):
        first_instances({"tickPrice": Uninspectable(error())})


def test_the_check_keeps_no_class_alive():
    cls = type("T", (OrvClient,), {"tickprice": any_arguments})
    attributes = dict(vars(cls))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        cls()
    assert len(caught) == 1 and dict(vars(cls)) == attributes
    alive = weakref.ref(cls)
    del cls
    gc.collect()
    assert alive() is None
