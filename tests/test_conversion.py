"""Argument conversion: its rules and messages, its order, and what a call holds while the caller's
own code (hooks, str subclasses that lie) runs."""
import os

import numpy as np
import pytest

import _quantelle as q

F32 = np.float32
M = np.array([[1, 0], [0.6, 0.8], [0, 1]], dtype=F32)
IDS = ["a", "b", "c"]
IDX = {"a": 0, "b": 1, "c": 2}
Q = np.array([1, 0], dtype=F32)
S, MMR, PARSE = q.score_candidates, q.mmr_select_py, q.parse_modifiers
BASE = {S: dict(matrix=M, ids=IDS, id_to_idx=IDX, query_vec=Q),
        MMR: dict(candidates=[0], similarities=np.ones(3, F32), matrix=M, k=5, lambda_=1.0),
        PARSE: {}}
RNG = np.random.default_rng(2024)
ROWS, QUERY = RNG.standard_normal((6, 4)).astype(F32), RNG.standard_normal(4).astype(F32)


def call(fn, **overrides):
    return fn(**{**BASE[fn], **overrides})


def fresh(text):  # a str of its own, not shared with any constant: freeing it frees its memory
    return "".join([text[:1], text[1:]])


def texts(n, prefix="doc"):
    return [fresh(f"{prefix}-{i}-" + "x" * 40) for i in range(n)]


Sub = type("Sub", (np.ndarray,), {})


def cannot(param, type_name, target):
    return f"argument '{param}': '{type_name}' object cannot be converted to '{target}'"


def array(param, type_name):
    return cannot(param, type_name, "PyArray<T, D>")


REJECTED = [
    ("ids-str", S, {"ids": "abc"}, TypeError, "argument 'ids': Can't extract `str` to `Vec`"),
    ("ids-int-item", S, {"ids": ["a", 1]}, TypeError, cannot("ids", "int", "PyString")),
    ("ids-surrogate", S, {"ids": ["\udcff"]}, UnicodeEncodeError, None),
    ("pre-filter-set", S, {"pre_filter_ids": {"a"}}, TypeError, cannot("pre_filter_ids", "set", "Sequence")),
    ("map-list", S, {"id_to_idx": [("a", 0)]}, TypeError, cannot("id_to_idx", "list", "PyDict")),
    ("map-negative", S, {"id_to_idx": {"a": -1}}, OverflowError, None),
    ("map-float", S, {"id_to_idx": {"a": 1.0}}, TypeError,
     "argument 'id_to_idx': 'float' object cannot be interpreted as an integer"),
    ("map-int-key", S, {"id_to_idx": {1: 0}}, TypeError, cannot("id_to_idx", "int", "PyString")),
    ("map-surrogate", S, {"id_to_idx": {"\udcff": 0}}, UnicodeEncodeError, None),
    ("flag-impostor", S, {"diverse": type("bool_", (), {"__bool__": lambda s: True})()}, TypeError,
     cannot("diverse", "bool_", "PyBool")),
    ("flag-0d-array", S, {"diverse": np.array(True)}, TypeError, cannot("diverse", "ndarray", "PyBool")),
    ("count-negative", S, {"limit": -1}, OverflowError, None),
    ("count-none", S, {"oversample": None}, TypeError,
     "argument 'oversample': 'NoneType' object cannot be interpreted as an integer"),
    ("real-str", S, {"threshold": "x"}, TypeError, "argument 'threshold': must be real number, not str"),
    ("matrix-big-endian", S, {"matrix": M.astype(">f4")}, TypeError, array("matrix", "ndarray")),
    ("matrix-list", S, {"matrix": M.tolist()}, TypeError, array("matrix", "list")),
    ("matrix-3d-subclass", S, {"matrix": M.view(Sub)[None]}, TypeError, array("matrix", "Sub")),
    ("mask-uint8", S, {"mask": np.ones(3, np.uint8)}, TypeError, array("mask", "ndarray")),
    ("candidates-negative", MMR, {"candidates": [1, -2]}, OverflowError, None),
    ("modifiers-bytes", PARSE, {"modifier_str": b"recent"}, TypeError, cannot("modifier_str", "bytes", "PyString")),
]


@pytest.mark.parametrize("fn, overrides, exc, message", [r[1:] for r in REJECTED], ids=[r[0] for r in REJECTED])
def test_rejected_arguments(fn, overrides, exc, message):
    with pytest.raises(exc) as info:
        call(fn, **overrides)
    assert type(info.value) is exc and info.value.__cause__ is None
    if message is None:
        assert "argument '" not in str(info.value)  # only a TypeError is renamed
    else:
        assert str(info.value) == message


Str = type("Str", (str,), {"__hash__": object.__hash__})
Opaque = type("Opaque", (dict,), dict.fromkeys(["__getitem__", "get", "__iter__", "items", "keys"], lambda *a: 1 / 0))
Reversed = type("Reversed", (list,), {"__iter__": lambda s: reversed(list(list.__iter__(s)))})
Text = type("Text", (str,), {"__str__": lambda s: "diverse"})


@pytest.mark.parametrize("fn, overrides, same_as", [
    (S, {"ids": ("a", "b", "c")}, {}),
    (S, {"ids": np.array(IDS)}, {}),
    (S, {"ids": [Str("a"), "b", "c"], "id_to_idx": {Str(k): v for k, v in IDX.items()}}, {}),
    (S, dict.fromkeys(["pre_filter_ids", "like_ids", "timestamps", "mask", "not_like_vec", "traj_from_vec",
                       "traj_to_vec", "recent_days"]), {}),
    (S, {"diverse": np.True_, "recent": np.False_, "limit": 1}, {"diverse": True, "limit": 1}),
    (S, {"limit": np.int64(2), "oversample": True}, {"limit": 2, "oversample": 1}),
    (S, {"threshold": 1, "mmr_lambda": F32(0.5)}, {"threshold": 1.0, "mmr_lambda": 0.5}),
    (S, {"id_to_idx": {"a": np.uint8(0), "b": True}, "pre_filter_ids": ["b"]},
     {"id_to_idx": {"b": 1}, "pre_filter_ids": ["b"]}),
    (S, {"id_to_idx": Opaque(IDX), "pre_filter_ids": ["b"]}, {"pre_filter_ids": ["b"]}),
    (MMR, {"candidates": Reversed([1, 2])}, {"candidates": [2, 1]}),
    (PARSE, {"modifier_str": Text("limit:7 like:x")}, {"modifier_str": "limit:7 like:x"}),
], ids=["tuple", "numpy-str", "str-subclass", "none-is-absent", "numpy-bools", "bool-and-numpy-counts",
        "int-and-numpy-reals", "int-like-values", "dict-storage-read", "iteration-order",
        "str-subclass-read-as-text"])
def test_accepted_arguments_equal_their_plain_values(fn, overrides, same_as):
    out = call(fn, **overrides)
    assert out and out == call(fn, **same_as)
    if fn is S:
        assert all(type(r["id"]) is str for r in out)


def test_first_failure_wins_and_later_arguments_are_untouched():
    calls = []  # of the hooks that a conversion might run
    Recorder = type("Recorder", (), dict.fromkeys(["__index__", "__float__", "__iter__"], lambda s: calls.append(1) or 1))
    with pytest.raises(TypeError, match="argument 'matrix'"):
        S([[1.0]], "not-a-list", IDX, Q, limit=Recorder(), threshold=Recorder())
    with pytest.raises(OverflowError):
        call(S, limit=-1, oversample=Recorder(), mmr_lambda=Recorder(), like_ids=Recorder(), mask=[1, 2])
    assert not calls


@pytest.mark.parametrize("raised, named", [
    (TypeError("boom"), True),
    (type("SubTypeError", (TypeError,), {})("boom"), False),
    (ValueError("boom"), False),
], ids=["exact-type-error", "subclass", "value-error"])
def test_only_exact_type_errors_are_renamed(raised, named):
    cause = KeyError("why")

    class Bad:
        def __index__(self):
            raise raised from cause

    with pytest.raises(BaseException) as info:
        call(S, limit=Bad())
    assert type(info.value) is type(raised)
    assert str(info.value) == ("argument 'limit': boom" if named else "boom")
    assert info.value.__cause__ is cause


def test_index_list_shrunk_by_its_own_elements():
    candidates = []
    candidates.extend([type("Shrinker", (), {"__index__": lambda s: candidates.clear() or 0})(), 1, 2])
    assert MMR(candidates, np.ones(3, F32), M, 3, 0.5) == [(0, 0.5)]


# --- the id map: a snapshot in which the later of two equal texts wins ----------------------


@pytest.mark.parametrize("mutate, position, message", [
    (lambda d, ids: d.clear(), 3, "dictionary changed size during iteration"),
    (lambda d, ids: d.update({fresh(f"new{i}"): i for i in range(50)}), 2,
     "dictionary changed size during iteration"),
    (lambda d, ids: d.__setitem__(ids[0], d.pop(ids[0])), 2, "dictionary keys changed during iteration"),
], ids=["clear-at-last", "grow-and-rehash", "reinsert-earlier-key"])
def test_id_map_mutated_by_its_own_value(mutate, position, message, panics):
    ids, mapping = texts(4), {}
    mutator = type("Mutator", (), {"__index__": lambda s: (mutate(mapping, ids), 0)[1]})()
    mapping.update({text: mutator if i == position else i for i, text in enumerate(ids)})
    panics(message, S, ROWS[:4], ids, mapping, QUERY)


def test_id_map_value_rebound_while_converted_keeps_the_converted_value():
    # Neither size nor keys change: no fault, and the value being converted stays alive.
    ids, mapping = texts(3), {}
    rebinder = type("Rebinder", (), {"__index__": lambda s: mapping.__setitem__(ids[1], 2) or 1})()
    mapping.update({ids[0]: 0, ids[1]: rebinder, ids[2]: 2})
    out = S(ROWS[:3], ids, mapping, QUERY, pre_filter_ids=[ids[1]])
    assert out == S(ROWS[:3], ids, {ids[1]: 1}, QUERY, pre_filter_ids=[ids[1]]) and out[0]["id"] == ids[1]


def explode(*args):
    raise AssertionError("must not be called")


AlwaysEqual = type("AlwaysEqual", (str,), {"__eq__": lambda s, o: True, "__hash__": lambda s: 0})
NeverEqual = type("NeverEqual", (str,), {"__eq__": lambda s, o: False, "__hash__": object.__hash__})
# Hashable by identity (so it can be a dict key), but any comparison or str() raises.
Exploding = type("Exploding", (str,), {"__eq__": explode, "__str__": explode, "__hash__": object.__hash__})
Renamed = type("Renamed", (str,), {"__str__": lambda s: "something else", "__len__": lambda s: 0})


@pytest.mark.parametrize("first, second", [
    (str, NeverEqual), (NeverEqual, str), (Exploding, NeverEqual), (NeverEqual, Exploding),
], ids=["plain-then-subclass", "subclass-then-plain", "exploding-first", "exploding-last"])
def test_equal_texts_as_keys_the_later_wins(first, second):
    mapping = {first("b"): 0, "a": 2}
    mapping[second("b")] = 1
    assert len(mapping) == 3, "the dict must hold both 'b' keys"
    out = S(ROWS[:3], ["r0", "r1", "r2"], mapping, QUERY, pre_filter_ids=["b"])
    assert [r["id"] for r in out] == ["r1"]


@pytest.mark.parametrize("slot", ["ids", "id_to_idx", "pre_filter_ids", "like_ids"])
@pytest.mark.parametrize("kind", [AlwaysEqual, NeverEqual, Exploding, Renamed], ids=lambda k: k.__name__)
def test_odd_str_subclasses_are_compared_by_their_text(kind, slot):
    ids = [f"\u00e9t\u00e9-{i}" for i in range(6)]
    # ids[0] too: AlwaysEqual keys collapse a dict to its first key (with the last value).
    args = dict(ids=ids, id_to_idx={t: i for i, t in enumerate(ids)}, pre_filter_ids=[ids[3], ids[0], ids[1], "x"],
                like_ids=[ids[2], ids[0]])
    args[slot] = {kind(t): i for t, i in args[slot].items()} if slot == "id_to_idx" else [kind(t) for t in args[slot]]
    plain = {k: {str.__str__(t): i for t, i in v.items()} if k == "id_to_idx" else [str.__str__(t) for t in v]
             for k, v in args.items()}
    out, expected = S(ROWS, query_vec=QUERY, limit=6, **args), S(ROWS, query_vec=QUERY, limit=6, **plain)
    assert expected, "the case must return rows for the comparison to mean anything"
    assert [len(r["id"]) for r in out] == [len(r["id"]) for r in expected]  # plain str.__len__
    assert out == expected and all(type(r["id"]) is str for r in out)


# --- a later argument's own code replaces the lists and the map the call already holds ----------


def vandalise(ids, pre=None, mapping=None):
    # Same lengths, other texts (the old ones freed), all rows known: a call that read the held
    # containers again would score other rows (or read freed texts).
    ids[:] = texts(len(ids), prefix="swapped")
    if pre is not None:
        pre[:] = [ids[5]] * len(pre)
        mapping.clear()
        mapping.update({text: 5 for text in ids})


def hook(slot, action, liked):  # a value for slot whose conversion runs action (the caller's code) first
    def then(result):
        return lambda self, *args: (action(), result() if callable(result) else result)[1]

    if slot == "diverse":  # an impostor of NumPy's bool: its nb_bool is this __bool__
        return type("bool_", (), {"__module__": "numpy", "__bool__": then(True)})()
    if slot == "like_ids":
        return type("Sequence", (), {"__len__": then(1), "__iter__": then(lambda: iter([fresh(liked)])),
                                     "__getitem__": lambda self, i: [fresh(liked)][i]})()
    return type("Hook", (), {"__index__": then(3), "__float__": then(-1.0)})()


@pytest.mark.parametrize("slot", ["id_to_idx", "diverse", "limit", "threshold", "like_ids"])
def test_hooks_cannot_change_the_lists_and_map_already_held(slot):
    ran = []

    def run(vandal):
        ids = texts(6)
        mapping = {text: i for i, text in enumerate(ids)}
        pre, like = [fresh(ids[i]) for i in (4, 1, 3, 0)], [fresh(ids[2])]
        # The map's own value may change only the ids: changing the map itself is a fault (above).
        held = (ids,) if slot == "id_to_idx" else (ids, pre, mapping)
        value = hook(slot, lambda: vandal and (ran.append(slot), vandalise(*held)), like[0])
        kwargs = dict(pre_filter_ids=pre, like_ids=like, diverse=True, limit=3, oversample=4, threshold=-1.0,
                      mmr_lambda=-1.0, recent_days=2.0)
        if slot == "id_to_idx":
            mapping[ids[3]] = value
        else:
            kwargs[slot] = value
        return S(ROWS, ids, mapping, QUERY, **kwargs)

    expected = run(False)
    assert expected, "the scenario must return rows for the comparison to mean anything"
    assert run(True) == expected and ran


def test_later_hook_cannot_resize_a_held_matrix():
    matrix, ids = ROWS.copy(), texts(6)
    resizer = type("Resizer", (), {"__index__": lambda s: pytest.raises(ValueError, matrix.resize, (1, 4)) and 6})()
    assert S(matrix, ids, {}, QUERY, limit=resizer) == S(ROWS, ids, {}, QUERY, limit=6)
    matrix.resize((1, 4), refcheck=True)  # once the call has ended, the owner may


def test_flag_type_whose_module_is_not_a_str(run_python):
    # Read as a str object's fields, this __module__ (1-byte kind, not compact, data pointer
    # 0x4141414141414141) crashes the process: run it in a child, and keep ASan from logging it.
    done = run_python("""
        import numpy as np, _quantelle as q
        T = type("bool_", (), {"__module__": b"\\x04" + bytes(23) + b"AAAAAAAA", "__bool__": lambda s: True})
        try:
            q.score_candidates(np.eye(2, dtype=np.float32), ["a", "b"], {}, np.ones(2, np.float32), diverse=T())
        except TypeError as error:
            print(error)
    """, env={"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":handle_segv=0:log_path=stderr"})
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout == "argument 'diverse': 'bool_' object cannot be converted to 'PyBool'\n"


NEAR_MAX = [2**63 - 1, 2**63, 2**64 - 1, np.uint64(2**64 - 1)]


@pytest.mark.parametrize("diverse, limit, oversample", [
    (False, "huge", 200), (True, "huge", "huge"), (True, 3, "huge"), (True, "huge", 4),
], ids=["limit", "limit-and-oversample", "oversample", "limit-over-small-pool"])
@pytest.mark.parametrize("value", NEAR_MAX, ids=["2**63-1", "2**63", "2**64-1", "np-2**64-1"])
def test_counts_near_2_64_behave_as_all_rows(value, diverse, limit, oversample):
    def run(big):
        return S(ROWS, texts(6), {}, QUERY, diverse=diverse, threshold=-1.0,
                 limit=big if limit == "huge" else limit, oversample=big if oversample == "huge" else oversample)

    assert run(value) == run(len(ROWS))
    candidates, sims = [3, 1, 4, 1, 5], np.linspace(1, 0, 6).astype(F32)
    assert MMR(candidates, sims, ROWS, value, 0.5) == MMR(candidates, sims, ROWS, len(candidates), 0.5)
