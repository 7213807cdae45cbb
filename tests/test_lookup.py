"""Finding the override of an operation on an instance: in the instance dictionary, on
the class and its bases, through descriptors, __getattr__ and __getattribute__; what counts
as no override; errors during the lookup; and the names that bite, warned at a subclass's
first instance."""
import functools
import gc
import importlib.util
import sys
import warnings
import weakref

import pytest

from OrvCpp import OrvClient, TickType
from conftest import hostile_ids, run_hostile


class Log(OrvClient):
    def __init__(self):
        super().__init__()
        self.seen = []


def test_registered_callback_does_not_call_itself():
    # Would recurse without end if the class's own binding counted as an override.
    client = Log()
    client.tickPrice(1, TickType.BID, 1.0, "a")
    client.simulateTickPrice(1, TickType.BID, 1.0, "a", "b")
    assert client.seen == []


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


def test_instance_attribute_shadows_class_binding():
    client = Log()
    client.tickPrice = lambda *args: client.seen.append(args)
    client.tickPrice(1, TickType.BID, 2.0, "x")  # plain Python call of the lambda
    client.simulateTickPrice(1, TickType.BID, 2.0, "x", "y")
    assert client.seen == [(1, TickType.BID, 2.0, "x")] * 2


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


def test_failing_lookup_is_no_override():
    class Broken(Log):
        @property
        def placeOrder(self):
            raise LookupError("not available")

    client = Broken()
    assert client.place_order(1, "a", "b") is None
    assert sys.exc_info() == (None, None, None)


# Hostile programs (conftest.HOSTILE_CHILD), each in a child interpreter.
CASES = [
    # Before 3.11 sys._clear_type_cache() restarts the numbering of version tags: the
    # same steps after each clear give the class the same tag again, while the override
    # found must be the one the class holds now.
    ("c = S()\n"
     "def retag(value):\n"
     "    sys._clear_type_cache(); S.placeOrder = value; S.placeOrder; S.placeOrder\n"
     "retag(lambda self, *a: self.calls.append('old')); c.place_order(1, 'a', 'b')\n"
     "retag(42); c.place_order(1, 'a', 'b')",
     "TypeError: OrvClient operation 'placeOrder': attribute of type 'int' is not callable"),
    ("c = S()\n"
     "def retag(value):\n"
     "    sys._clear_type_cache(); S.placeOrder = value; S.placeOrder; S.placeOrder\n"
     "old = lambda self, *a: self.calls.append('old')\n"
     "retag(old); c.place_order(1, 'a', 'b')\n"
     "retag(lambda self, *a: self.calls.append('new')); c.place_order(1, 'a', 'b')\n"
     "assert c.calls == ['old', 'new'], c.calls", "ok"),
    # The override lookup drops ordinary errors but lets through what is not an Exception
    # and what says the program cannot go on as if nothing had happened.
    ("type('I', (S,), {'placeOrder': raising(KeyboardInterrupt)})().place_order(1, 'a', 'b')",
     "KeyboardInterrupt"),
    ("type('I', (S,), {'__getattr__': raising(SystemExit(3))})().req_ids(1)",
     "SystemExit: 3"),
    ("type('I', (S,), {'placeOrder': raising(type('Halt', (BaseException,), {}))})()"
     ".place_order(1, 'a', 'b')", "Halt"),
    ("type('I', (S,), {'placeOrder': raising(RecursionError('deep'))})().place_order(1, 'a', 'b')",
     "RecursionError: deep"),
    ("type('I', (S,), {'__getattr__': raising(MemoryError('full'))})().req_ids(1)",
     "MemoryError: full"),
    ("c = S(); c.__dict__[K('k')] = 1; K.error = MemoryError; c.place_order(1, 'a', 'b')",
     "MemoryError"),
    # A lookup that re-enters twice per level ends at the recursion limit, not in a
    # search of every path through the levels.
    ("class G(OrvClient):\n"
     "    def __getattr__(self, name):\n"
     "        if name != 'placeOrder': raise AttributeError(name)\n"
     "        return lambda *a: (self.place_order(*a), self.place_order(*a))\n"
     "G().place_order(1, 'a', 'b')", "RecursionError"),
    # A dictionary key whose __eq__ raises AttributeError ends the lookup: no override.
    ("c = S(); c.__dict__[K('k')] = 1; c.place_order(1, 'a', 'b'); assert not c.calls", "ok"),
]


@pytest.mark.parametrize("case,outcome", CASES, ids=hostile_ids(CASES))
def test_hostile_lookups(case, outcome):
    run_hostile(case, outcome)


# -- names that bite: warned at a subclass's first instance -----------------------------

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


@pytest.mark.usefixtures("collector_paused_before_3_9")
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


def slipped(name, target, edit, kind="callback"):
    return (f"T.{name} differs from the {kind} name {target} by {edit}: "
            f"OrvClient calls {target} and never {name} (rename it to {target})")


def unfit(name, signature, count, kind, parameters):
    return (f"T.{name}{signature} cannot take the {count} arguments OrvClient passes to the "
            f"{kind} {name}({parameters})")


@pytest.mark.parametrize("body,expected", [
    ({"tickprice": any_arguments}, [misnamed("tickprice", "tickPrice")]),
    ({"tick_price": any_arguments}, [misnamed("tick_price", "tickPrice")]),
    ({"TickPrice": staticmethod(any_arguments)}, [misnamed("TickPrice", "tickPrice")]),
    ({"tick_price": classmethod(any_arguments)}, [misnamed("tick_price", "tickPrice")]),
    ({"execDetail": any_arguments}, [slipped("execDetail", "execDetails", "a missing 's'")]),
    ({"orderStatuss": any_arguments}, [slipped("orderStatuss", "orderStatus", "an extra 's'")]),
    ({"tickPirce": classmethod(any_arguments)},
     [slipped("tickPirce", "tickPrice", "two swapped letters ('ir' for 'ri')")]),
    ({"reqMktDepht": staticmethod(any_arguments)},
     [slipped("reqMktDepht", "reqMktDepth", "two swapped letters ('ht' for 'th')", "request")]),
    ({"conect": functools.partial(any_arguments, 1)}, [slipped("conect", "connect", "a missing 'n'")]),
    ({"exec_detials": any_arguments},
     [slipped("exec_detials", "execDetails",
              "two swapped letters ('ia' for 'ai'), besides case or underscores")]),
    ({"tickSise": any_arguments, "reqPosition": any_arguments},
     [slipped("tickSise", "tickSize", "a changed letter ('s' for 'z')"),
      slipped("reqPosition", "reqPositions", "a missing 's'", "request")]),
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


# Names strategies define for their own use. Those marked # one edit from an operation
# name are kept quiet by the rules for near misses (docs/errors-and-warnings.md).
HELPER_NAMES = """
    on_tick on_bar on_error on_connect on_disconnect on_position on_fill price prices
    last_price mid_price current_price spread volume vwap tick status history
    historical_bars market_data quote quotes bars signal risk execute execution
    executions fills fill trade trades buy sell submit_order flatten close open orders
    pending_orders order_id next_id request_id position_size positions_by_symbol
    account account_values account_summary portfolio balance cash equity pnl symbol
    symbols contract contracts connected is_connected reconnect disconnected
    connect_to heartbeat subscribe unsubscribe update updates cancel cancel_all
    errors_seen error_count handle_error log run start stop reset wait sleep
    positions errors connects disconnects req_id place_orders cancel_orders
    open_orders tick_prices tick_sizes exec_details_for order_statuses
""".split()  # the last two lines: one edit from an operation name, or a plural of one


@pytest.mark.parametrize("body", [
    {"tickPrice": any_arguments, "place_order": any_arguments, "tickPrice_seen": any_arguments},
    dict.fromkeys(HELPER_NAMES, any_arguments),
    {"ExecDetail": type("ExecDetail", (), {}), "eror": any_arguments},  # a class; too short
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
@pytest.mark.parametrize("name,message", [
    ("tickprice", misnamed("tickprice", "tickPrice")),
    ("tickPrize", slipped("tickPrize", "tickPrice", "a changed letter ('z' for 'c')")),
])
def test_a_warning_made_an_error_is_raised_by_each_instance(category, name, message):
    cls = type("T", (OrvClient,), {name: any_arguments})
    with warnings.catch_warnings():
        warnings.simplefilter("error", category)
        for _ in range(2):
            with pytest.raises(UserWarning) as raised:
                cls()
            assert type(raised.value) is UserWarning
            assert str(raised.value) == message
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        cls(), cls()
    assert [str(w.message) for w in caught] == [message]


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
