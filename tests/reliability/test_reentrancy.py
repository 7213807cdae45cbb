"""Overrides that call back into their own instance, recurse without end, or change the
class they are found on while they run."""
import gc
import queue
import subprocess
import sys
import threading
from pathlib import Path

import pytest

from OrvCpp import OrvClient, TickType

from .surface import METHODS, OVERRIDE_NAMES, developer_texts, override_class, well_typed

Recording = override_class("recording")
Plain = override_class("absent")  # no overrides, but a `calls` list


def _nesting(name):
    def override(self, *args):
        self.calls.append((name, args))
        action, self.pending = self.pending, None
        if action is not None:
            action(self)

    override.__name__ = name
    return override


# Records every call like Recording; the first override reached also runs `pending`.
Nesting = type("Nesting", (Recording,),
               {"pending": None, **{name: _nesting(name) for name in OVERRIDE_NAMES}})


TRIGGERS = {
    "request": lambda client: client.place_order(1, "a", "b"),
    "replay": lambda client: client.simulateTickPrice(2, TickType.ASK, 1.5, "x", "unused"),
    "heartbeat": lambda client: client.nextVa1idId(3),
    "connection": lambda client: client.e_connect("host", 4, 5),
    "callback": lambda client: client.tickPrice(6, TickType(200), 2.5, "y"),
}


@pytest.mark.parametrize("trigger", TRIGGERS)
@pytest.mark.parametrize("developer", [False, True], ids=["plain", "developer"])
def test_override_calls_back_into_every_entry(trigger, developer):
    """Inside the first override a trigger reaches, any of the methods of the same
    instance works, and the outer call carries on as if nothing had happened."""
    texts = developer_texts()

    def fresh():
        client = Nesting()
        if developer:
            client.setDeveloper()
        return client

    alone = fresh()
    TRIGGERS[trigger](alone)
    if developer and trigger == "connection":
        assert alone.calls == []  # developer mode answers e_connect itself
        return
    assert alone.calls, "the trigger reached no override"
    for method in METHODS:
        args = well_typed(method)
        inner = fresh()
        method(inner, *args)
        client = fresh()
        client.pending = lambda self: method(self, *args)
        TRIGGERS[trigger](client)
        assert client.calls == alone.calls[:1] + inner.calls + alone.calls[1:], method.name
        response = client.getDeveloperResponse()
        assert response in texts or response.startswith("connect test 1 passed"), response


# Unbounded recursion through the bridge, by every kind of path back in.

class Recursing(OrvClient):
    def placeOrder(self, *args):
        self.place_order(*args)

    def tickPrice(self, *args):
        self.simulateTickPrice(*args, "unused")

    def nextValidId(self, value):
        self.nextVa1idId(value)

    def connect(self, *args):
        self.e_connect(*args)

    def orderStatus(self, *args):
        OrvClient.orderStatus(self, *args)  # the registered callback dispatches back here

    def cancelOrder(self, *args):
        # Through the entry object's own call slot, which the interpreter's quick call
        # never reaches.
        entry = OrvClient.cancel_order
        type(entry).__call__(entry, self, *args)


RECURSIONS = {
    "request": lambda client: client.place_order(1, "a", "b"),
    "replay with unnamed TickType": lambda client: client.simulateTickPrice(
        1, TickType(200), 1.0, "a", "b"),
    "heartbeat": lambda client: client.nextVa1idId(1),
    "connection": lambda client: client.e_connect("h", 1, 2),
    "registered callback": lambda client: client.orderStatus(
        1, "a", "b", "c", 1.0, 2, 3, 4.0, 5, "d", 6.0),
    "entry's call slot": lambda client: client.cancel_order(1, "a"),
}


def _recurse_until_stopped(path, limit=None):
    client = Recursing()
    references = sys.getrefcount(client)
    old_limit = sys.getrecursionlimit()
    if limit:
        sys.setrecursionlimit(limit)
    try:
        with pytest.raises(RecursionError):
            RECURSIONS[path](client)
    finally:
        sys.setrecursionlimit(old_limit)
    assert sys.getrefcount(client) == references
    client.req_ids(1)  # still usable
    return client


def _in_child(call):
    """Runs `call` (a function of this module, with its arguments) in a fresh interpreter:
    a crash then fails one case, and no state an earlier test left in this interpreter
    takes part. (On 3.7 and 3.8, after hypothesis tests had run in the same process, the
    interpreter once aborted here with "Cannot recover from stack overflow": a gc
    callback of hypothesis's, run at the recursion limit, leaves the thread's overflow
    flag set; see docs/reliability.md.)"""
    tests = str(Path(__file__).resolve().parent.parent)
    code = ("import sys; sys.path.insert(0, %r)\n"
            "from reliability import test_reentrancy\n"
            "test_reentrancy.%s\n" % (tests, call))
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stdout[-2000:] + done.stderr[-2000:]


def _recurse_with_every_limit(path):
    _recurse_until_stopped(path)
    _recurse_until_stopped(path, limit=200)
    _recurse_until_stopped(path, limit=3000)


@pytest.mark.parametrize("path", RECURSIONS)
def test_unbounded_recursion_ends_in_recursion_error(path):
    _in_child("_recurse_with_every_limit(%r)" % path)


def test_unbounded_recursion_in_threads():
    _in_child("_recurse_in_threads()")


def _recurse_in_threads():
    errors = []

    def run(path):
        try:
            _recurse_until_stopped(path)
        except BaseException as error:  # reported below
            errors.append(error)

    threads = [threading.Thread(target=run, args=(path,)) for path in RECURSIONS]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []


def _in_thread(function, *args, stack_size=0):
    """Runs function(*args) in a new thread with the given stack size (0: the default)."""
    errors = []

    def run():
        try:
            function(*args)
        except BaseException as error:  # reported below
            errors.append(error)

    threading.stack_size(stack_size)
    try:
        thread = threading.Thread(target=run)
    finally:
        threading.stack_size(0)
    thread.start()
    thread.join()
    assert errors == []


# Under a recursion limit no stack of this size could hold, only the bound measured on
# the thread's own stack stops the recursion before the stack runs out.
@pytest.mark.parametrize("stack_size", [256 * 1024, 512 * 1024], ids=["256K", "512K"])
@pytest.mark.parametrize("path", RECURSIONS)
def test_unbounded_recursion_on_a_small_thread_stack(path, stack_size):
    _in_child("_recurse_on_a_thread_stack(%r, %d)" % (path, stack_size))


def _recurse_on_a_thread_stack(path, stack_size):
    _in_thread(_recurse_until_stopped, path, 1000000, stack_size=stack_size)


class Deepening(OrvClient):
    """Recurses through place_order without end, counting the levels."""

    def __init__(self):
        super().__init__()
        self.depth = 0

    def placeOrder(self, *args):
        self.depth += 1
        self.place_order(*args)


SMALL_STACK, LARGE_STACK = 256 * 1024, 16 * 1024 * 1024


def _depths_by_turns(turns, stack_sizes=(SMALL_STACK, LARGE_STACK), limit=1000000):
    """Threads with these stack sizes, all alive from the start, recurse through the
    entries without end, one at a time, each whenever `turns` names its index: how each
    turn ended, as (thread index, error type name, depth reached)."""
    orders = [queue.Queue() for _ in stack_sizes]
    ended = queue.Queue()

    def serve(index):
        while orders[index].get():
            client = None
            try:
                client = Deepening()
                client.place_order(1, "a", "b")
            except BaseException as error:
                ended.put((index, type(error).__name__, client.depth if client else -1))
            else:
                ended.put((index, "returned", client.depth))

    threads = []
    try:
        for index, size in enumerate(stack_sizes):
            threading.stack_size(size)
            threads.append(threading.Thread(target=serve, args=(index,), daemon=True))
            threads[-1].start()
    finally:
        threading.stack_size(0)
    old_limit = sys.getrecursionlimit()
    sys.setrecursionlimit(limit)
    try:
        outcomes = []
        for index in turns:
            orders[index].put(True)
            outcomes.append(ended.get(timeout=60))  # a thread that died ends nothing
    finally:
        sys.setrecursionlimit(old_limit)
        for order in orders:
            order.put(False)
    for thread in threads:
        thread.join()
    return outcomes


def _recurse_by_turns(turns):
    outcomes = _depths_by_turns(turns)
    assert {error for _, error, _ in outcomes} == {"RecursionError"}, outcomes
    small = [depth for index, _, depth in outcomes if index == 0]
    large = [depth for index, _, depth in outcomes if index == 1]
    # The bound each thread measured stays its own, whatever the other measured since:
    # the same depth at every turn,
    assert max(small) - min(small) <= 2 and max(large) - min(large) <= 2, outcomes
    # well into the small stack, and at least as deep on a stack 64 times larger (the
    # interpreter's own count may stop that one first from 3.12 on).
    assert min(small) >= 20 and min(large) >= max(small), outcomes


@pytest.mark.parametrize("turns", [(0, 1, 0, 1), (1, 0, 1, 0)],
                         ids=["small stack first", "large stack first"])
def test_each_thread_bounds_recursion_by_its_own_stack(turns):
    """The stack bound is measured once per thread: a thread never takes another's."""
    _in_child("_recurse_by_turns(%r)" % (turns,))


@pytest.mark.usefixtures("collector_paused_before_3_9")
def test_recursion_with_a_plain_function_on_the_instance():
    client = OrvClient()
    client.nextValidId = lambda value: client.simulateNextValidId(value)
    with pytest.raises(RecursionError):
        client.simulateNextValidId(1)
    del client.nextValidId
    client.simulateNextValidId(1)


# Overrides that change where they are found while they run.

def test_override_deleting_itself_from_the_class():
    class Client(Plain):
        def placeOrder(self, *args):
            del type(self).placeOrder
            gc.collect()
            self.calls.append(("once", args))
            self.place_order(9, "again", "inner")  # finds no override now

    client = Client()
    client.place_order(1, "a", "b")
    client.place_order(2, "c", "d")
    assert client.calls == [("once", (1, "a", "b"))]


def test_override_replacing_the_class_attribute():
    def replacement(self, *args):
        self.calls.append(("replacement", args))

    class Client(Plain):
        def placeOrder(self, *args):
            type(self).placeOrder = replacement
            self.calls.append(("original", args))

    client = Client()
    client.place_order(1, "a", "b")
    client.place_order(2, "c", "d")
    assert client.calls == [("original", (1, "a", "b")), ("replacement", (2, "c", "d"))]
    Client.placeOrder = None
    client.place_order(3, "e", "f")
    Client.placeOrder = 5
    with pytest.raises(TypeError):
        client.place_order(4, "g", "h")
    assert len(client.calls) == 2


def test_registered_callback_override_deleting_itself():
    class Client(Plain):
        def tickPrice(self, *args):
            del type(self).tickPrice  # the class's own binding shows through again
            self.calls.append(("tickPrice", args))

    client = Client()
    client.simulateTickPrice(1, TickType.BID, 1.0, "a", "b")
    client.simulateTickPrice(1, TickType.BID, 1.0, "a", "b")
    client.tickPrice(1, TickType.BID, 1.0, "a")
    assert client.calls == [("tickPrice", (1, TickType.BID, 1.0, "a"))]


def test_instance_function_deleting_its_last_reference():
    """The only reference to the override is the bridge's while the call runs."""
    client = Plain()

    def make():
        def once(value):
            del client.nextValidId
            gc.collect()
            client.calls.append(("once", value))
        return once

    client.nextValidId = make()
    client.simulateNextValidId(7)
    client.simulateNextValidId(8)
    assert client.calls == [("once", 7)]
