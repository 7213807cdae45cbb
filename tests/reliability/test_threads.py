"""Several Python threads calling into one shared instance and into their own.

Overrides do real work (hashing a payload large enough for hashlib to release the
interpreter lock, checking their arguments) and the interpreter switches threads as often
as it can. Afterwards every callback has been counted exactly once on the instance it was
meant for, every text argument arrived whole, and every developer response read while the
threads ran was one whole text.

ORV_THREAD_SECONDS sets how long the threads run (default 0.5, scaled by
ORV_RELIABILITY_SCALE).
"""
import hashlib
import os
import re
import sys
import threading
import time
from collections import Counter

from OrvCpp import OrvClient, TickType

from .surface import SCALE, developer_texts

THREADS = 4
SECONDS = float(os.environ.get("ORV_THREAD_SECONDS", max(0.3, 0.5 * SCALE)))
PAYLOAD = bytes(range(256)) * 64  # 16 KiB: hashlib releases the lock for it
TICK_TYPES = sorted(TickType.values.values())
CONNECT_TEXT = re.compile(r"connect test 1 passed (\d+) (\d+)")


def text_for(key):
    """A text that says which call it belongs to, so that a mixed-up or torn one shows."""
    return f"{key}:" + "\u00e9x" * (key % 97) + f":{key}"


def check_text(key, text):
    if text != text_for(key):
        raise AssertionError(f"call {key} received text {text!r}")


class Worker(OrvClient):
    def __init__(self):
        super().__init__()
        self.log = []  # list.append is atomic, so no lock is needed to record

    def _work(self):
        hashlib.sha256(PAYLOAD).digest()

    def placeOrder(self, key, contract, order):
        check_text(key, contract)
        check_text(key, order[::-1])
        self._work()
        self.log.append(("placeOrder", key))

    def tickPrice(self, key, tick_type, price, attrib):
        check_text(key, attrib)
        if tick_type is not TICK_TYPES[key % len(TICK_TYPES)] or price != key / 2:
            raise AssertionError(f"tickPrice {key} received {tick_type!r}, {price!r}")
        self.log.append(("tickPrice", key))

    def nextValidId(self, key):
        self._work()
        self.log.append(("nextValidId", key))

    def heartBeatsEnd(self):
        self.log.append(("heartBeatsEnd", threading.get_ident()))

    def orderStatus(self, key, status, filled, remaining, price, perm, parent, last, client,
                    why, cap):
        check_text(key, status)
        check_text(key, why)
        if (filled, remaining, price, perm, parent, last, client, cap) != (
                "Filled", "", key * 1.5, key % 1000, -key, 0.25, 7, 1e300):
            raise AssertionError(f"orderStatus {key} received mixed numbers")
        time.sleep(0)
        self.log.append(("orderStatus", key))

    def execDetails(self, key, contract, execution):
        check_text(key, contract)
        self.log.append(("execDetails", key))


def test_threads_share_and_own_instances(figures):
    shared, shared_developer = Worker(), Worker()
    shared_developer.setDeveloper()
    texts = developer_texts()
    expected = {id(shared): Counter(), id(shared_developer): Counter()}
    instances = {id(shared): shared, id(shared_developer): shared_developer}
    failures, calls_made = [], []
    deadline = time.monotonic() + SECONDS
    start = threading.Barrier(THREADS)
    merge = threading.Lock()

    def run(tag):
        ident = threading.get_ident()
        own = Worker()
        mine = {id(shared): Counter(), id(shared_developer): Counter(), id(own): Counter()}
        instances[id(own)] = own
        calls = 0
        try:
            start.wait()
            sequence = 0
            while time.monotonic() < deadline:
                sequence += 1
                key = tag * 10**7 + sequence
                target = shared if sequence % 2 else own
                text = text_for(key)
                target.place_order(key, text, text[::-1])
                target.simulateTickPrice(key, TICK_TYPES[key % len(TICK_TYPES)], key / 2, text,
                                         "unused")
                target.nextVa1idId(key)
                target.simulateOrderStatus(key, text, "Filled", "", key * 1.5, key % 1000, -key,
                                           0.25, 7, text, 1e300)
                mine[id(target)].update([("placeOrder", key), ("tickPrice", key),
                                         ("nextValidId", key), ("heartBeatsEnd", ident),
                                         ("orderStatus", key)])
                shared_developer.e_connect("host", key, key)
                shared_developer.simulateExecDetails(key, text, "", "unused")
                mine[id(shared_developer)][("execDetails", key)] += 1
                calls += 7
                for _ in range(2):
                    response = shared_developer.getDeveloperResponse()
                    calls += 1
                    numbers = CONNECT_TEXT.fullmatch(response)
                    if not (response in texts or numbers and numbers[1] == numbers[2]):
                        raise AssertionError(f"torn developer response {response!r}")
        except BaseException as error:  # reported by the main thread
            failures.append((tag, error))
        finally:
            with merge:
                calls_made.append(calls)
                for key, counter in mine.items():
                    expected.setdefault(key, Counter()).update(counter)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=run, args=(tag,)) for tag in range(1, THREADS + 1)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)

    assert failures == []
    for key, counter in expected.items():
        seen = Counter(instances[key].log)
        assert seen == counter, f"{sum((seen - counter).values())} extra and " \
                                f"{sum((counter - seen).values())} missing callbacks"
    callbacks = sum(len(instance.log) for instance in instances.values())
    figures(f"threads: {THREADS} threads for {SECONDS:.1f}s, {sum(calls_made)} calls "
            f"({sum(calls_made) / SECONDS:.0f}/s) on 2 shared and {THREADS} own instances, "
            f"{callbacks} callbacks each counted once, switch interval 1us")
