"""The surface inventory (docs/reliability.md, "Surface inventory") against what Python can
reach from the module at run time, and a bounded run of the probe generated from it
(tests/reliability/probe.py; the whole probe: scripts/reliability/probe.sh)."""
import os

import pytest

from . import probe
from .surface import SCALE

ROWS = probe.read_inventory()
INDEX, INTERPRETER = probe.inventory_index(ROWS)


@pytest.fixture(scope="module")
def walked():
    return probe.run_walk()


def _interpreters(name):
    return name == "—" or name.rpartition(".")[0] not in probe.OWNERS


def test_inventory_rows_are_well_formed():
    assert ROWS, "no inventory table found"
    for row in ROWS:
        assert row.decision in probe.DECISIONS, row
        assert row.why, row
        if row.decision != "interpreter's":
            assert not _interpreters(row.types[0]), row


def test_every_reachable_type_and_item_is_listed(walked):
    found = {(t, item): source for t, item, source in walked["items"]}
    unlisted = sorted(f"{t} {item} (from {source})" for (t, item), source in found.items()
                      if (t, item) not in INDEX)
    gone = sorted(f"{t} {item}" for key in INDEX.keys() - found.keys() for t, item in [key])
    moved = sorted(f"{t} {item}: from {found[t, item]}, listed from {row.source}"
                   for (t, item), row in INDEX.items() if (t, item) in found
                   if found[t, item] != row.source and
                   not (_interpreters(found[t, item]) and _interpreters(row.source)))
    assert not unlisted, "reachable but not in the inventory:\n" + "\n".join(unlisted)
    assert not gone, "in the inventory but no longer reachable:\n" + "\n".join(gone)
    assert not moved, "provided by another class than listed:\n" + "\n".join(moved)


def test_every_interpreter_type_reached_is_listed(walked):
    reached = set(walked["interpreter"])
    assert reached - INTERPRETER == set(), "interpreter's types reached but not listed"
    assert INTERPRETER - reached == set(), "interpreter's types listed but not reached"


def test_every_walked_type_has_objects_to_probe():
    walked_types = {t for t, _ in INDEX}
    assert walked_types == set(probe.WORLD_TYPE)
    made = {t for t, _, _ in probe.SUBJECT_CODE.values()}
    assert made | set(probe.NO_OBJECTS) == walked_types and not made & set(probe.NO_OBJECTS)
    for label, (t, _, _) in probe.SUBJECT_CODE.items():
        assert t in probe.walked_types(probe.World("module").make(label)), label


def test_the_probe_finds_a_crash_and_a_divergence():
    """The probe's own machinery: a case that crashes its child is attributed to its
    step, one that answers otherwise than plain Python is reported unless its row says
    "refused", and an error left set is reported."""
    crash = "=__import__('os').kill(__import__('os').getpid(), 9)"
    cases = [("value", "client", "eq", "zero"), ("value", "client", "eq", crash),
             ("value", "member", "lt", "zero"), ("value", "client", "pickle", "")]
    results, failures = probe.run_cases(cases, batch=10, jobs=1)
    assert [f.kind for f in failures] == ["crash"] and failures[0].case == cases[1]
    assert failures[0].detail.startswith("at step plain value: signal 9")
    assert failures[0].detail.endswith("(alone too)")
    assert set(results) == {0, 2, 3}
    assert all(probe.judge(INDEX, cases[i], results[i]) is None for i in (0, 2, 3))
    pickled = results[3]
    assert (pickled["module"]["op"], pickled["plain"]["op"]) == ("RuntimeError", "ok")
    lying = dict(results[0], plain=dict(results[0]["plain"], op="TypeError"))
    assert probe.judge(INDEX, cases[0], lying).kind == "differs"
    pending = dict(results[0], module=dict(results[0]["module"], op="PENDING:ValueError"))
    assert probe.judge(INDEX, cases[0], pending).kind == "pending"


def test_bounded_probe(figures):
    """A seeded sample of the probe's cases (ORV_PROBE_CASES, default 8,000, scaled):
    nothing crashes, hangs or leaves an error set, and every answer is of the kind plain
    Python gives, but where the inventory says "refused"."""
    wanted = max(50, int(int(os.environ.get("ORV_PROBE_CASES", "8000")) * SCALE))
    seed = int(os.environ.get("ORV_PROBE_SEED", "20240611"))
    count, failures = probe.probe(wanted, seed, log=figures)
    assert not failures, f"{len(failures)} of {count} cases failed:\n" + "\n".join(
        map(str, failures[:40]))
