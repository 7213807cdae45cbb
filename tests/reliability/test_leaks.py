"""Calling every method many times keeps nothing behind.

Each method is called on instances whose overrides are absent (in four ways),
counting or raising, with and without developer mode, with text as str and bytes (valid,
invalid UTF-8, with zero bytes, 4 KiB long), numbers at their limits and TickType members.
After a warm-up round, MEASURED_ROUNDS more rounds of the same calls must leave

- the reference count of every object that crosses the boundary (arguments, override
  functions, instances, classes, TickType members) exactly where it was;
- the interpreter's allocated blocks and the bytes traced by tracemalloc flat, up to a
  small bound for the interpreter's own one-off allocations;
- the C heap in use (glibc's mallinfo2) and the process's resident size flat, which is
  where a lost std::string or native object would show (not measured under ASan/valgrind).
"""
import gc
import sys
import time
import tracemalloc

from OrvCpp import OrvClient, TickType

from .surface import (
    METHODS, OVERRIDE_NAMES, OVERRIDE_RESULT, SANITIZED, SCALE, OverrideFailure, malloc_in_use,
    override_class,
    rss_bytes, sample_values, typed_arguments,
)

EXPECTED = (OverrideFailure, UnicodeDecodeError)
VARIANTS = 7  # every sample value of every kind reaches every parameter position
PASSES_PER_ROUND = max(1, round(6 * SCALE))
MEASURED_ROUNDS = 4

# Growth allowed from one measured round to the next, and in one round for one-off
# allocations (ONE_OFF times as much).
# A leak of one block per call would grow the blocks by tens of thousands per round.
LIMITS = {"blocks": 128, "traced": 32 * 1024, "malloc": 256 * 1024, "rss": 4 * 1024 * 1024}
ONE_OFF = 8


def _instances():
    classes = [OrvClient] + [override_class(kind)
                             for kind in ("absent", "missing", "disabled", "counting", "raising")]
    instances = []
    for cls in classes:
        plain, developer = cls(), cls()
        developer.setDeveloper()
        instances += [(plain, False), (developer, True)]
    return classes, instances


def _plan(instances, values):
    plan = []
    for instance, developer in instances:
        for method in METHODS:
            if method.name == "setDeveloper" and not developer:
                continue  # keeps the plain instance out of developer mode
            plan += [(method.binding, (instance, *typed_arguments(method, values, variant)))
                     for variant in range(VARIANTS)]
    return plan


def _crossing_objects(classes, instances, values):
    """The objects whose reference counts must not move."""
    objects = [TickType, OrvClient, OverrideFailure, OVERRIDE_RESULT, *TickType.values.values()]
    objects += classes
    objects += [instance for instance, _ in instances]
    for cls in classes:
        objects += [vars(cls)[name] for name in OVERRIDE_NAMES if vars(cls).get(name)]
    for kind_values in values.values():
        for value in kind_values:
            # Singletons the whole interpreter shares: their counts move with everything.
            shared = value is None or type(value) is bool or (
                type(value) is int and -5 <= value <= 256) or (
                type(value) in (str, bytes) and len(value) <= 1)
            if not shared:
                objects.append(value)
    return objects


def _round(plan, passes):
    for _ in range(passes):
        for function, args in plan:
            try:
                function(*args)
            except EXPECTED:
                pass


def _measure():
    gc.collect()
    return {
        "blocks": sys.getallocatedblocks() or None,  # 0 without pymalloc (PYTHONMALLOC=malloc)
        "traced": tracemalloc.get_traced_memory()[0] if tracemalloc.is_tracing() else None,
        "malloc": malloc_in_use(),
        "rss": rss_bytes(),
    }


def _growth(measurements):
    """Per-round growth of each figure that was measured."""
    return {key: [later[key] - earlier[key]
                  for earlier, later in zip(measurements, measurements[1:])]
            for key in measurements[0] if measurements[0][key] is not None}


def _describe(growth):
    return ", ".join(f"{key} {deltas}" for key, deltas in growth.items()) or (
        "not measured here (ASan and valgrind check the heap themselves)")


def _assert_flat(growth):
    """A leak grows every round; the interpreter's own one-off allocations (free lists,
    caches, the measurements kept here) move one round by a bounded amount."""
    for key, deltas in growth.items():
        steady = sorted(deltas)[:-1]
        assert max(steady) <= LIMITS[key] and max(deltas) <= ONE_OFF * LIMITS[key], (
            f"{key} grew by {deltas} over {len(deltas)} rounds")


def test_no_reference_or_memory_growth(figures):
    values = sample_values()
    classes, instances = _instances()
    plan = _plan(instances, values)
    watched = _crossing_objects(classes, instances, values)
    methods_called = {function.__name__ for function, _ in plan}
    assert methods_called == {method.name for method in METHODS}

    # Under valgrind memcheck traces every block itself (and flags tracemalloc's own
    # bookkeeping, which the interpreter does not always free).
    if SANITIZED != "valgrind":
        tracemalloc.start()
    try:
        started = time.perf_counter()
        _round(plan, PASSES_PER_ROUND)  # warm-up: caches, interned names, first exceptions
        counts = [sys.getrefcount(obj) for obj in watched]
        rounds = [_measure()]
        for _ in range(MEASURED_ROUNDS):
            _round(plan, PASSES_PER_ROUND)
            rounds.append(_measure())
        elapsed = time.perf_counter() - started
    finally:
        tracemalloc.stop()

    after = [sys.getrefcount(obj) for obj in watched]
    moved = [(obj, before, now) for obj, before, now in zip(watched, counts, after)
             if now != before]
    assert not moved, f"reference counts changed: {moved[:10]}"

    calls = (1 + MEASURED_ROUNDS) * PASSES_PER_ROUND * len(plan)
    growth = _growth(rounds)
    figures(f"leaks: {calls} calls ({len(plan)} distinct, {len(METHODS)} methods) in "
            f"{elapsed:.1f}s; {len(watched)} objects' reference counts unchanged; growth per "
            f"round of {PASSES_PER_ROUND * len(plan)} calls: {_describe(growth)}")
    _assert_flat(growth)


def test_instances_made_and_dropped_leave_nothing(figures):
    """Native objects die with their Python instances: making and dropping many instances
    (each with a heap-allocated developer text) keeps the heap flat."""
    cls = override_class("counting")
    count = max(1000, int(20000 * SCALE))

    def churn():
        for _ in range(count):
            client = cls()
            client.setDeveloper()
            client.simulateTickPrice(1, TickType.BID, 1.0, "a", "b")
            client.req_account_updates(True, "x" * 100)

    churn()  # warm-up, twice: the first round after the other test still settles
    churn()
    measurements = [_measure()]
    for _ in range(MEASURED_ROUNDS):
        churn()
        measurements.append(_measure())
    growth = _growth(measurements)
    figures(f"lifetimes: {(1 + MEASURED_ROUNDS) * count} instances made, used and dropped; "
            f"growth per round: {_describe(growth)}")
    _assert_flat(growth)
