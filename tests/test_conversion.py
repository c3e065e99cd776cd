"""Argument conversion: each rule, its messages, the order of conversion, and snapshot semantics."""
import re

import numpy as np
import pytest

import _quantelle as q

M = np.array([[1, 0], [0.6, 0.8], [0, 1]], dtype=np.float32)
IDS = ["a", "b", "c"]
IDX = {"a": 0, "b": 1, "c": 2}
Q = np.array([1, 0], dtype=np.float32)


def score(**overrides):
    args = dict(matrix=M, ids=IDS, id_to_idx=IDX, query_vec=Q)
    args.update(overrides)
    return q.score_candidates(**args)


def panic_of(call):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value).__name__ == "PanicException", info.value
    return info.value


class Str(str):
    """A str subclass hashed by identity: two equal texts can both be dict keys."""
    __hash__ = object.__hash__

    def __eq__(self, other):
        return self is other


class Recorder:
    """Counts calls of the hooks that a conversion might run."""
    calls = 0

    def __index__(self):
        Recorder.calls += 1
        return 1

    def __float__(self):
        Recorder.calls += 1
        return 1.0

    def __iter__(self):
        Recorder.calls += 1
        return iter(())


def gen():
    yield "a"


@pytest.mark.parametrize("overrides, exc, message", [
    ({"ids": "abc"}, TypeError, "argument 'ids': Can't extract `str` to `Vec`"),
    ({"ids": None}, TypeError, "argument 'ids': 'NoneType' object cannot be converted to 'Sequence'"),
    ({"ids": gen()}, TypeError, "argument 'ids': 'generator' object cannot be converted to 'Sequence'"),
    ({"ids": ["a", 1]}, TypeError, "argument 'ids': 'int' object cannot be converted to 'PyString'"),
    ({"ids": b"ab"}, TypeError, "argument 'ids': 'int' object cannot be converted to 'PyString'"),
    ({"ids": ["\udcff"]}, UnicodeEncodeError, None),
    ({"pre_filter_ids": {"a"}}, TypeError,
     "argument 'pre_filter_ids': 'set' object cannot be converted to 'Sequence'"),
    ({"like_ids": frozenset("a")}, TypeError,
     "argument 'like_ids': 'frozenset' object cannot be converted to 'Sequence'"),
    ({"id_to_idx": [("a", 0)]}, TypeError,
     "argument 'id_to_idx': 'list' object cannot be converted to 'PyDict'"),
    ({"id_to_idx": {"a": -1}}, OverflowError, None),
    ({"id_to_idx": {"a": 1.0}}, TypeError,
     "argument 'id_to_idx': 'float' object cannot be interpreted as an integer"),
    ({"id_to_idx": {1: 0}}, TypeError,
     "argument 'id_to_idx': 'int' object cannot be converted to 'PyString'"),
    ({"id_to_idx": {"\udcff": 0}}, UnicodeEncodeError, None),
    ({"diverse": 1}, TypeError, "argument 'diverse': 'int' object cannot be converted to 'PyBool'"),
    ({"recent": 0}, TypeError, "argument 'recent': 'int' object cannot be converted to 'PyBool'"),
    ({"diverse": None}, TypeError,
     "argument 'diverse': 'NoneType' object cannot be converted to 'PyBool'"),
    ({"diverse": np.array(True)}, TypeError,
     "argument 'diverse': 'ndarray' object cannot be converted to 'PyBool'"),
    ({"diverse": np.int64(1)}, TypeError,
     "argument 'diverse': 'int64' object cannot be converted to 'PyBool'"),
    ({"limit": -1}, OverflowError, None),
    ({"limit": 2**64}, OverflowError, None),
    ({"limit": 2.0}, TypeError, "argument 'limit': 'float' object cannot be interpreted as an integer"),
    ({"oversample": None}, TypeError,
     "argument 'oversample': 'NoneType' object cannot be interpreted as an integer"),
    ({"threshold": "x"}, TypeError, "argument 'threshold': must be real number, not str"),
    ({"threshold": 10**400}, OverflowError, None),
    ({"mmr_lambda": None}, TypeError, "argument 'mmr_lambda': must be real number, not NoneType"),
    ({"recent_days": "30"}, TypeError, "argument 'recent_days': must be real number, not str"),
], ids=lambda v: None)
def test_rejected_arguments(overrides, exc, message):
    with pytest.raises(exc) as info:
        score(**overrides)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    else:
        assert "argument '" not in str(info.value)  # only TypeError is renamed
    assert info.value.__cause__ is None


@pytest.mark.parametrize("overrides", [
    {"ids": ("a", "b", "c")},
    {"ids": np.array(IDS)},
    {"ids": [Str("a"), "b", "c"]},
    {"pre_filter_ids": None, "like_ids": None, "timestamps": None, "mask": None,
     "not_like_vec": None, "traj_from_vec": None, "traj_to_vec": None, "recent_days": None},
    {"diverse": np.True_, "recent": np.False_},
    {"limit": True},
    {"limit": np.int64(1)},
    {"threshold": 1, "mmr_lambda": np.float32(0.5)},
    {"id_to_idx": {"a": np.uint8(0), "b": True}},
], ids=["tuple", "numpy-str", "str-subclass", "none-is-absent", "numpy-bools", "bool-count",
        "numpy-count", "int-and-numpy-reals", "int-like-values"])
def test_accepted_arguments(overrides):
    out = score(**overrides)
    assert out and all(type(r["id"]) is str for r in out)


def test_threshold_is_rounded_to_float32():
    # Row b scores float32(0.6) = 0.6000000238...; 0.60000003 rounds to that same float32, so
    # the row survives the cut (equal scores survive), which a double comparison would not keep.
    assert [r["id"] for r in score(threshold=0.60000003)] == ["a", "b"]
    assert [r["id"] for r in score(threshold=0.6000001)] == ["a"]


def test_first_failure_wins_and_later_arguments_are_untouched():
    Recorder.calls = 0
    with pytest.raises(TypeError, match="argument 'matrix'"):
        q.score_candidates([[1.0]], "not-a-list", IDX, Q, limit=Recorder(), threshold=Recorder())
    with pytest.raises(OverflowError):
        score(limit=-1, oversample=Recorder(), mmr_lambda=Recorder(), like_ids=Recorder(),
              mask=[1, 2])
    assert Recorder.calls == 0


@pytest.mark.parametrize("raised, expected_type, named", [
    (TypeError("boom"), TypeError, True),
    (type("SubTypeError", (TypeError,), {})("boom"), "SubTypeError", False),
    (ValueError("boom"), ValueError, False),
], ids=["exact-type-error", "subclass", "value-error"])
def test_only_exact_type_errors_are_renamed(raised, expected_type, named):
    cause = KeyError("why")

    class Bad:
        def __index__(self):
            raise raised from cause

    with pytest.raises(BaseException) as info:
        score(limit=Bad())
    name = expected_type if isinstance(expected_type, str) else expected_type.__name__
    assert type(info.value).__name__ == name
    assert str(info.value) == ("argument 'limit': boom" if named else "boom")
    assert info.value.__cause__ is cause


def test_equal_texts_in_the_id_map_the_later_entry_wins():
    first, second = Str("b"), Str("b")
    mapping = {"a": 0, first: 2, second: 1}
    assert len(mapping) == 3
    out = score(id_to_idx=mapping, pre_filter_ids=["b"])
    assert out == [{"id": "b", "score": 0.6}]


def test_iteration_order_of_a_sequence_decides():
    class Reversed(list):
        def __iter__(self):
            return reversed(list.__iter__(self).__reduce__()[1][0])

    out = score(pre_filter_ids=Reversed(["a", "c"]), limit=5, threshold=-1.0)
    assert [r["id"] for r in out] == ["a", "c"]  # ranked by score either way
    assert q.mmr_select_py(Reversed([0, 1]), np.ones(3, np.float32), M, 5, 1.0)[0][0] == 1


def test_later_arguments_cannot_change_held_lists_and_maps():
    ids = ["a", "b", "c"]
    mapping = {"a": 0, "b": 1, "c": 2}
    pre = ["c", "b"]

    class Vandal:
        def __index__(self):
            ids.clear()
            mapping.clear()
            pre.clear()
            mapping["c"] = 0
            return 5

    out = q.score_candidates(M, ids, mapping, Q, pre_filter_ids=pre, limit=Vandal())
    assert out == [{"id": "b", "score": 0.6}, {"id": "c", "score": 0.0}]
    assert ids == [] and pre == []


@pytest.mark.parametrize("mutate, message", [
    (lambda d: d.__setitem__("new", 0), "dictionary changed size during iteration"),
    (lambda d: (d.pop("a"), d.__setitem__("z", 1)), "dictionary keys changed during iteration"),
], ids=["size", "keys"])
def test_id_map_changed_by_its_own_values(mutate, message):
    mapping = {}

    class Mutator:
        def __index__(self):
            mutate(mapping)
            return 0

    mapping.update({"a": 0, "b": Mutator()})
    error = panic_of(lambda: score(id_to_idx=mapping))
    assert error.args == (message,)
    assert score(limit=1) == [{"id": "a", "score": 1.0}]


def test_index_list_shrunk_by_its_own_elements():
    candidates = []

    class Shrinker:
        def __index__(self):
            candidates.clear()
            return 0

    candidates.extend([Shrinker(), 1, 2])
    assert q.mmr_select_py(candidates, np.ones(3, np.float32), M, 3, 0.5) == [(0, 0.5)]


@pytest.mark.parametrize("candidates, expected", [
    (np.array([2, 1]), [2, 1]),
    (b"\x02\x01", [2, 1]),
    ((2, True), [2, 1]),
], ids=["numpy-ints", "bytes", "tuple-with-bool"])
def test_index_lists(candidates, expected):
    out = q.mmr_select_py(candidates, np.ones(3, np.float32), M, 5, 1.0)
    assert [row for row, _ in out] == expected


@pytest.mark.parametrize("candidates, exc, message", [
    ([1, -2], OverflowError, None),
    ("ab", TypeError, "argument 'candidates': Can't extract `str` to `Vec`"),
    ([1.0], TypeError, "argument 'candidates': 'float' object cannot be interpreted as an integer"),
    ({1}, TypeError, "argument 'candidates': 'set' object cannot be converted to 'Sequence'"),
], ids=["negative", "str", "float", "set"])
def test_rejected_index_lists(candidates, exc, message):
    with pytest.raises(exc) as info:
        q.mmr_select_py(candidates, np.ones(3, np.float32), M, 5, 1.0)
    if message:
        assert str(info.value) == message


@pytest.mark.parametrize("arg, exc, message", [
    (1, TypeError, "argument 'modifier_str': 'int' object cannot be converted to 'PyString'"),
    (b"recent", TypeError, "argument 'modifier_str': 'bytes' object cannot be converted to 'PyString'"),
    ("\ud800", UnicodeEncodeError, None),
], ids=["int", "bytes", "surrogate"])
def test_rejected_modifier_strings(arg, exc, message):
    with pytest.raises(exc) as info:
        q.parse_modifiers(arg)
    if message:
        assert str(info.value) == message
