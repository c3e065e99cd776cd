"""An id map found valid is not checked again until it changes: every change, death or reuse of
its address must still be seen, exactly as if each call checked it in full."""
import gc
import sys
import weakref

import numpy as np
import pytest

import _quantelle as q

S = q.score_candidates
ROWS = np.arange(24, dtype=np.float32).reshape(6, 4) / 24
QUERY = np.ones(4, dtype=np.float32)
IDS = [f"r{i}" for i in range(6)]
PRE = ["r0", "r1", "new"]  # never the entries made invalid below: only the check can catch those


def good():
    return {text: i for i, text in enumerate(IDS)}


def outcome(mapping, **kwargs):
    kwargs = {"pre_filter_ids": PRE, "limit": 6, **kwargs}
    try:
        return S(ROWS, IDS, mapping, QUERY, **kwargs)
    except Exception as e:  # noqa: BLE001 - the exception is the outcome compared
        return type(e), str(e)


class Sub(dict):
    pass


class Owner:
    pass


def owned():
    """An instance's own __dict__ as the map, changed through attribute assignment."""
    owner = Owner()
    for text, row in good().items():
        setattr(owner, text, row)
    return owner.__dict__, owner


def plain(kind=dict):
    mapping = kind(good())
    return mapping, mapping


def assign(key, value):
    def run(target):
        if isinstance(target, Owner):
            setattr(target, key, value)
        else:
            target[key] = value
    return run


MUTATIONS = [
    # id, make, mutate, expected exception type (None: a result)
    ("value-negative", plain, assign("r2", -1), OverflowError),
    ("value-float", plain, assign("r2", 1.5), TypeError),
    ("value-past-u64", plain, assign("r2", 2**64), OverflowError),
    ("value-str", plain, assign("r2", "2"), TypeError),
    ("value-rebound", plain, assign("r0", 5), None),
    ("key-int", plain, assign(7, 0), TypeError),
    ("key-lone-surrogate", plain, assign("\ud800", 0), UnicodeEncodeError),
    ("new-entry-negative", plain, assign("bad", -5), OverflowError),
    ("new-entry-found", plain, assign("new", 3), None),
    ("deleted", plain, lambda d: d.pop("r1"), None),
    ("popitem-then-bad", plain, lambda d: (d.popitem(), d.update(r5=-1)), OverflowError),
    ("cleared-then-bad", plain, lambda d: (d.clear(), d.update(r2=-1)), OverflowError),
    ("update", plain, lambda d: d.update({"r3": 2.0}), TypeError),
    ("in-place-or", plain, lambda d: d.__ior__({"r4": None}), TypeError),
    ("setdefault", plain, lambda d: d.setdefault("bad", -1), OverflowError),
    ("reinit", plain, lambda d: d.__init__(r4=-1), OverflowError),
    ("subclass-value", lambda: plain(Sub), assign("r2", -1), OverflowError),
    ("subclass-key", lambda: plain(Sub), assign(7, 0), TypeError),
    ("attribute-set", owned, assign("r2", -1), OverflowError),
    ("attribute-added", owned, assign("bad", 1.5), TypeError),
    ("attribute-deleted", owned, lambda o: delattr(o, "r1"), None),
]


@pytest.mark.parametrize("make, mutate, raised", [m[1:] for m in MUTATIONS], ids=[m[0] for m in MUTATIONS])
def test_change_between_calls_is_seen(make, mutate, raised):
    mapping, target = make()
    before = outcome(mapping)
    assert outcome(mapping) == before and isinstance(before, list)
    mutate(target)
    after = outcome(mapping)
    assert after == outcome(dict(mapping)), "a map seen before must behave as one never seen"
    if raised is None:
        assert after != before
    else:
        assert after[0] is raised
        if raised is TypeError:
            assert after[1].startswith("argument 'id_to_idx': ")
    assert outcome(mapping) == after


def test_first_failing_argument_still_wins_over_a_known_map():
    mapping = good()
    outcome(mapping)
    touched = []

    class Later:
        def __index__(self):
            touched.append(True)
            return 1

    mapping["r2"] = -1
    assert outcome(mapping, limit=Later())[0] is OverflowError
    assert touched == []


def hook(slot, action):
    """A value for slot whose conversion runs action (the caller's own code) first."""
    if slot == "like_ids":
        return type("Seq", (), {"__len__": lambda s: 1, "__getitem__": lambda s, i: ["r3"][i],
                                "__iter__": lambda s: (action(), iter(["r3"]))[1]})()
    return type("Hook", (), {"__index__": lambda s: (action(), 6)[1],
                             "__float__": lambda s: (action(), 0.5)[1]})()


@pytest.mark.parametrize("known", [True, False], ids=["known-map", "new-map"])
@pytest.mark.parametrize("slot", ["limit", "mmr_lambda", "like_ids"])
def test_change_by_a_later_argument_mid_call(slot, known):
    mapping = good()
    if known:
        outcome(mapping)

    def vandal():
        del mapping["r0"]
        mapping["r1"] = -1
        mapping["new"] = 0

    plain_value = hook(slot, lambda: None)
    expected = outcome(good(), diverse=True, **{slot: plain_value})
    assert isinstance(expected, list) and any(r["id"] == "r1" for r in expected)
    # The call reads the map as it was when converted; the next call sees the change.
    assert outcome(mapping, diverse=True, **{slot: hook(slot, vandal)}) == expected
    assert outcome(mapping)[0] is OverflowError


def test_values_read_through_index_are_read_every_call():
    read = []

    class Row:
        def __index__(self):
            read.append(True)
            return 1 if len(read) < 3 else -1

    mapping = {**good(), "r1": Row()}
    assert isinstance(outcome(mapping), list) and isinstance(outcome(mapping), list)
    assert outcome(mapping)[0] is OverflowError
    assert len(read) == 3


# How each kind is made: a dict display takes its object from the free list where a freed dict
# went, a subclass instance from the allocator.
KINDS = {"dict": lambda contents: {**contents}, "subclass": Sub}


@pytest.mark.parametrize("make", KINDS.values(), ids=KINDS.keys())
@pytest.mark.parametrize("bad, raised", [({"r2": -1}, OverflowError), ({7: 0}, TypeError)],
                         ids=["negative-value", "int-key"])
def test_new_dict_at_a_freed_address_is_checked(make, bad, raised):
    mapping = make(good())
    outcome(mapping)
    outcome(mapping)
    address = id(mapping)
    contents, kept = {**good(), **bad}, []
    del mapping
    for _ in range(10_000):
        fresh = make(contents)
        if id(fresh) == address:
            break
        kept.append(fresh)
    else:
        pytest.skip("no dict was allocated at the freed address")
    assert outcome(fresh)[0] is raised


def test_many_maps_more_than_are_remembered():
    maps = [{**good(), f"x{i}": i % 6} for i in range(40)]
    counts = [sys.getrefcount(m) for m in maps]
    for _ in range(3):
        for m in maps:
            assert isinstance(outcome(m), list)
    del m
    assert [sys.getrefcount(m) for m in maps] == counts
    for m in maps:
        m["r3"] = -1
    assert all(outcome(m)[0] is OverflowError for m in maps)


def test_no_reference_kept_to_the_map_or_its_items():
    big = 2**40
    mapping = {**good(), "big": big}
    keys = list(mapping)
    before = (sys.getrefcount(mapping), [sys.getrefcount(k) for k in keys], sys.getrefcount(big))
    for _ in range(3):
        outcome(mapping)
    assert (sys.getrefcount(mapping), [sys.getrefcount(k) for k in keys], sys.getrefcount(big)) == before


def test_collector_frees_a_known_map():
    mapping = Sub(good())
    mapping.me = mapping  # a cycle: only the collector frees it
    dead = weakref.ref(mapping)
    outcome(mapping)
    outcome(mapping)
    del mapping
    gc.collect()
    assert dead() is None


def test_map_watched_by_another_watcher_too():
    testcapi = pytest.importorskip("_testcapi")
    other = testcapi.add_dict_watcher(0)  # records the events it sees
    try:
        mapping = good()
        testcapi.watch_dict(other, mapping)
        outcome(mapping)
        outcome(mapping)
        mapping["r2"] = -1
        assert outcome(mapping)[0] is OverflowError
        del mapping
        assert testcapi.get_dict_watcher_events() == ["mod:r2:-1", "dealloc"]
    finally:
        testcapi.clear_dict_watcher(other)


def test_without_a_watcher_id_every_call_checks(run_python):
    pytest.importorskip("_testcapi")
    result = run_python("""
        import _testcapi, numpy as np, _quantelle as q
        taken = 0
        try:
            while True:
                _testcapi.add_dict_watcher(0)
                taken += 1
        except RuntimeError:
            pass
        rows, query = np.eye(3, dtype=np.float32), np.ones(3, dtype=np.float32)
        ids = ["a", "b", "c"]
        mapping = {"a": 0, "b": 1, "c": 2}
        q.score_candidates(rows, ids, mapping, query)
        q.score_candidates(rows, ids, mapping, query)
        for key, value in (("b", -1), (5, 0)):
            mapping = {"a": 0, "b": 1, "c": 2}
            q.score_candidates(rows, ids, mapping, query)
            mapping[key] = value
            try:
                q.score_candidates(rows, ids, mapping, query)
            except (OverflowError, TypeError) as e:
                print(type(e).__name__)
        print(taken > 0)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["OverflowError", "TypeError", "True"]
