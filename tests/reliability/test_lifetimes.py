"""Instances live exactly as long as their Python objects: weak references die with them,
reference cycles through their overrides are collected, and nothing native keeps an
instance, an override or an argument alive."""
import gc
import sys
import weakref

import pytest

from OrvCpp import OrvClient, TickType

from .surface import override_class

Counting = override_class("counting")
Plain = override_class("absent")


def _collected(make):
    """Builds an instance with `make`, drops it, runs the collector; True if it died."""
    died = []
    reference = weakref.ref(make(), lambda _: died.append(True))
    gc.collect()
    return reference() is None and died == [True]


@pytest.mark.parametrize("cls", [OrvClient, Plain, Counting])
def test_weak_reference_dies_with_instance(cls):
    client = cls()
    client.req_ids(1)
    died = []
    reference = weakref.ref(client, lambda _: died.append(True))
    proxy = weakref.proxy(client)
    assert reference() is client
    proxy.simulateTickPrice(1, TickType.BID, 1.0, "a", "b")  # works through the proxy
    assert weakref.getweakrefcount(client) == 2
    del client  # no collector needed: the last reference goes
    assert reference() is None and died == [True]
    with pytest.raises(ReferenceError):
        proxy.req_ids(1)


def test_weak_value_dictionary_of_instances():
    registry = weakref.WeakValueDictionary()
    clients = [Counting() for _ in range(50)]
    for number, client in enumerate(clients):
        registry[number] = client
        client.place_order(number, "a", "b")
    assert len(registry) == 50
    del clients, client
    assert len(registry) == 0


def test_cycle_through_the_class_is_collected():
    """An override kept on the subclass that holds the instance."""
    def make():
        class Client(Counting):
            pass

        client = Client()
        Client.keep = client
        Client.placeOrder = lambda self, *args: Client.keep.req_ids(1)
        client.place_order(1, "a", "b")
        return client

    assert _collected(make)


def test_cycle_through_an_override_holding_self_is_collected():
    def make():
        client = Counting()
        client.callback = client.placeOrder  # bound method: instance -> dict -> method -> instance
        client.place_order(1, "a", "b")
        return client

    assert _collected(make)


def test_cycle_through_a_closure_on_the_instance_is_collected():
    def make():
        client = Plain()

        def next_valid_id(value):
            client.calls.append(value)  # the closure holds the instance

        client.nextValidId = next_valid_id
        client.simulateNextValidId(5)
        assert client.calls == [5]
        return client

    assert _collected(make)


def test_instance_referring_to_itself_is_collected():
    def make():
        client = OrvClient()
        client.me = client
        return client

    assert _collected(make)


def test_override_dropping_the_last_reference_during_the_call():
    holder = []

    class Client(Plain):
        def placeOrder(self, *args):
            holder.clear()  # the caller's binding still holds the instance
            gc.collect()
            self.calls.append(args)
            self.req_ids(1)  # and it is still whole

    holder.append(Client())
    reference = weakref.ref(holder[0])
    holder[0].place_order(1, "a", "b")
    assert holder == [] and reference() is None


def test_nothing_native_keeps_overrides_or_arguments():
    class Client(Plain):
        def placeOrder(self, *args):
            self.calls.append(len(args))

    override = vars(Client)["placeOrder"]
    text, member = "t" * 100, TickType(300)
    counts = sys.getrefcount(Client), sys.getrefcount(override), sys.getrefcount(text), \
        sys.getrefcount(member)
    client = Client()
    for _ in range(100):
        client.place_order(1, text, text)
        client.simulateTickSize(1, member, text, text)
    del client
    gc.collect()
    assert (sys.getrefcount(Client), sys.getrefcount(override), sys.getrefcount(text),
            sys.getrefcount(member)) == counts


def test_resurrected_instance_keeps_its_native_object():
    saved = []

    class Client(Counting):
        def __del__(self):
            saved.append(self)

    client = Client()
    client.setDeveloper()
    client.simulatePositionEnd()
    del client
    assert len(saved) == 1
    revived = saved.pop()
    assert revived.getDeveloperResponse() == "simulatePositionEnd test 1 passed"
    revived.place_order(1, "a", "b")
    assert revived.count == 2
    reference = weakref.ref(revived)
    del revived
    assert reference() is None and saved == []  # __del__ runs once only
