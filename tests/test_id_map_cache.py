"""An id map found valid is not checked again until it changes: every change, death or reuse of
its address must still be seen, exactly as if each call checked it in full."""
import sys

import numpy as np
import pytest

import _quantelle as q

ROWS = np.arange(24, dtype=np.float32).reshape(6, 4) / 24
IDS = [f"r{i}" for i in range(6)]
PRE = ["r0", "r1", "new"]  # never the entries made invalid below: only the check can catch those


def good():
    return {text: i for i, text in enumerate(IDS)}


def outcome(mapping, **kwargs):
    try:
        return q.score_candidates(ROWS, IDS, mapping, np.ones(4, np.float32), **{"pre_filter_ids": PRE, "limit": 6, **kwargs})
    except Exception as e:  # noqa: BLE001 - the exception is the outcome compared
        return type(e), str(e)


def owned():
    # An instance's own __dict__ keeps its values in the instance (a split table), and
    # attribute assignment changes them without a dict event.
    owner = type("Owner", (), {})()
    for text, row in good().items():
        setattr(owner, text, row)
    return owner.__dict__, lambda: setattr(owner, "r2", -1)


def mutated(change, make=good):
    mapping = make()
    return lambda: (mapping, lambda: change(mapping))


MUTATIONS = {  # one per dict event, each dropping the verdict
    "modified-negative": (mutated(lambda d: d.update(r2=-1)), OverflowError),
    "added-int-key": (mutated(lambda d: d.__setitem__(7, 0)), TypeError),
    "deleted": (mutated(lambda d: d.pop("r1")), None),
    "cleared-refilled": (mutated(lambda d: (d.clear(), d.update(r2=-1))), OverflowError),
    "cloned-into-empty": (mutated(lambda d: d.update({**good(), "r3": -1}), dict), OverflowError),
    "split-table-setattr": (owned, OverflowError),
}


@pytest.mark.parametrize("make, raised", MUTATIONS.values(), ids=MUTATIONS.keys())
def test_change_between_calls_is_seen(make, raised):
    mapping, mutate = make()
    before = outcome(mapping)
    assert outcome(mapping) == before and isinstance(before, list)
    mutate()
    after = outcome(mapping)
    assert after == outcome(dict(mapping)), "a map seen before must behave as one never seen"
    assert after != before if raised is None else after[0] is raised
    assert outcome(mapping) == after


def test_first_failing_argument_still_wins_over_a_known_map():
    mapping, touched = good(), []
    outcome(mapping)
    mapping["r2"] = -1
    later = type("Later", (), {"__index__": lambda s: touched.append(s) or 1})()
    assert outcome(mapping, limit=later)[0] is OverflowError and touched == []


def test_known_map_changed_by_a_later_argument_mid_call():
    mapping = good()
    outcome(mapping)
    vandal = type("Vandal", (), {"__index__": lambda s: (mapping.pop("r0"), mapping.update(r1=-1, new=0)) and 6})()
    expected = outcome(good(), diverse=True)
    assert any(r["id"] == "r1" for r in expected)
    # The call reads the map as it was when converted; the next call sees the change.
    assert outcome(mapping, diverse=True, limit=vandal) == expected
    assert outcome(mapping)[0] is OverflowError


def test_values_read_through_index_are_read_every_call():
    read = []
    row = type("Row", (), {"__index__": lambda s: read.append(s) or (1 if len(read) < 3 else -1)})()
    mapping = {**good(), "r1": row}
    assert [type(outcome(mapping)) for _ in range(3)] == [list, list, tuple] and len(read) == 3


# A dict display takes its object from the free list where a freed dict went, a subclass
# instance from the allocator.
@pytest.mark.parametrize("make", [lambda contents: {**contents}, type("Sub", (dict,), {})], ids=["dict", "subclass"])
def test_new_dict_at_a_freed_address_is_checked(make):
    mapping = make(good())
    outcome(mapping)
    address, contents, kept = id(mapping), {**good(), "r2": -1}, []
    del mapping
    while len(kept) < 10_000 and id(fresh := make(contents)) != address:
        kept.append(fresh)
    if id(fresh) != address:
        pytest.skip("no dict was allocated at the freed address")
    assert outcome(fresh)[0] is OverflowError


def test_more_maps_than_are_remembered_and_no_reference_kept():
    maps = [{**good(), f"x{i}": i % 6, "big": 2**40 + i} for i in range(40)]  # big: not a compact int
    watched = maps + [x for m in maps for kv in m.items() for x in kv]
    counts = [sys.getrefcount(x) for x in watched]
    for _ in range(3):
        assert all(isinstance(outcome(m), list) for m in maps)
    assert [sys.getrefcount(x) for x in watched] == counts
    for m in maps:
        m["r3"] = -1
    assert all(outcome(m)[0] is OverflowError for m in maps)


def test_without_a_watcher_id_every_call_checks(run_python):
    pytest.importorskip("_testcapi")
    result = run_python("""
        import _testcapi, numpy as np, _quantelle as q
        try:
            while True:
                _testcapi.add_dict_watcher(0)
        except RuntimeError:
            pass
        rows, query, mapping = np.eye(2, dtype=np.float32), np.ones(2, dtype=np.float32), {"a": 0, "b": 1}
        for _ in range(2):
            q.score_candidates(rows, ["a", "b"], mapping, query)
        mapping["b"] = -1
        q.score_candidates(rows, ["a", "b"], mapping, query)
    """)
    assert result.returncode != 0 and result.stderr.endswith("OverflowError: can't convert negative int to unsigned\n")
