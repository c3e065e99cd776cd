"""Hostile inputs: caller code that changes what a call holds, str subclasses that lie about
equality, arrays with strides nobody expects, and sizes at the edge of 64 bits. Each must end in
a clean result or a Python exception, never a crash, a hang or a read outside the array."""
import os
import subprocess
import sys

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

import _quantelle as q

F32 = np.float32
RNG = np.random.default_rng(2024)
M = RNG.standard_normal((6, 4)).astype(F32)
QUERY = RNG.standard_normal(4).astype(F32)
U64_MAX = 2**64 - 1
# The largest element count NumPy lets a float32 array have: size * itemsize must fit an intp.
MAX_F32_ELEMENTS = (2**63 - 1) // 4

# ASan's operator new reports an impossible allocation and aborts instead of throwing
# std::bad_alloc, so cases whose only exit is a MemoryError cannot run under it.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
needs_real_allocator = pytest.mark.skipif(
    UNDER_ASAN, reason="ASan aborts on an impossible allocation instead of raising bad_alloc")


def fresh(text):
    """A str object of its own, not shared with any constant: freeing it frees its memory."""
    return "".join([text[:1], text[1:]])


def texts(n, prefix="doc"):
    return [fresh(f"{prefix}-{i}-" + "x" * 40) for i in range(n)]


def ranked(result):
    return [(r["id"], r["score"]) for r in result]


# --- id_to_idx changed by the __index__ of one of its own values -----------------------------


def mutating_map(mutate, position):
    """A dict of four rows (room for a fifth without a resize) whose entry at `position` has a
    value that runs mutate(dict, ids)."""
    ids = texts(4)
    mapping = {}

    class Mutator:
        def __index__(self):
            mutate(mapping, ids)
            return 0

    for i, text in enumerate(ids):
        mapping[text] = Mutator() if i == position else i
    return ids, mapping


@pytest.mark.parametrize("mutate, position, message", [
    (lambda d, ids: d.clear(), 0, "dictionary changed size during iteration"),
    (lambda d, ids: d.clear(), 3, "dictionary changed size during iteration"),
    (lambda d, ids: d.pop(ids[2]), 1, "dictionary changed size during iteration"),
    (lambda d, ids: d.pop(ids[3]), 3, "dictionary changed size during iteration"),
    (lambda d, ids: d.update({fresh(f"new{i}"): i for i in range(50)}), 2,
     "dictionary changed size during iteration"),
    (lambda d, ids: d.__setitem__(ids[0], d.pop(ids[0])), 2,
     "dictionary keys changed during iteration"),
], ids=["clear-at-first", "clear-at-last", "pop-later", "pop-itself", "grow-and-rehash",
        "reinsert-earlier-key"])
def test_id_map_mutated_by_its_own_value(mutate, position, message, panics):
    ids, mapping = mutating_map(mutate, position)
    error = panics(message, q.score_candidates, M[:4], ids, mapping, QUERY)
    assert len(error.args) == 1


def test_id_map_value_rebound_while_converted_keeps_the_converted_value():
    # Rebinding an existing key changes neither size nor keys: no fault, and the value object
    # being converted must stay alive although the dict dropped it.
    ids = texts(3)
    mapping = {}

    class Rebinder:
        def __index__(self):
            mapping[ids[1]] = 2
            return 1

    mapping.update({ids[0]: 0, ids[1]: Rebinder(), ids[2]: 2})
    out = q.score_candidates(M[:3], ids, mapping, QUERY, pre_filter_ids=[ids[1]])
    assert out == q.score_candidates(M[:3], ids, {ids[1]: 1}, QUERY, pre_filter_ids=[ids[1]])
    assert [r["id"] for r in out] == [ids[1]]


# --- a later argument's own code empties the lists and the map the call holds ---------------


def scenario():
    """Fresh lists and map, and the arguments that pre-filter and blend by them."""
    ids = texts(6)
    mapping = {text: i for i, text in enumerate(ids)}
    pre = [fresh(ids[i]) for i in (4, 1, 3, 0)]
    like = [fresh(ids[2])]
    return ids, mapping, pre, like


def vandalise(ids, mapping, pre, how):
    """Empties or rewrites the three containers converted before every hooked slot below."""
    if how == "clear":
        ids.clear()
        pre.clear()
        mapping.clear()
    elif how == "shrink":  # the lists' storage is reallocated smaller and the texts freed
        ids[:] = [fresh("short")]
        pre[:] = [fresh("short")]
        mapping.clear()
        mapping[fresh("short")] = 5
    else:  # "replace": same lengths, other texts, all known rows
        ids[:] = texts(len(ids), prefix="swapped")
        pre[:] = [ids[5]] * len(pre)
        mapping.clear()
        mapping.update({text: 5 for text in ids})


def sneak(slot, action, liked):
    """A value for `slot` whose conversion runs `action` (a hook of the caller) first."""
    class Hook:
        def __index__(self):
            action()
            return 3

        def __float__(self):
            action()
            return -1.0

    class Sequence:
        def __len__(self):
            action()
            return 1

        def __getitem__(self, i):
            return [fresh(liked)][i]

        def __iter__(self):
            action()
            return iter([fresh(liked)])

    if slot == "like_ids":
        return Sequence()
    return Hook()


# limit's __index__ is test_conversion's case; these are the other hooks a caller can plant.
LATER_SLOTS = ["oversample", "threshold", "mmr_lambda", "recent_days", "like_ids"]


@pytest.mark.parametrize("how", ["clear", "shrink", "replace"])
@pytest.mark.parametrize("slot", LATER_SLOTS)
def test_later_argument_empties_held_lists(slot, how):
    ids, mapping, pre, like = scenario()
    kwargs = dict(pre_filter_ids=pre, like_ids=like, diverse=True, limit=3, oversample=4,
                  threshold=-1.0, mmr_lambda=-1.0, recent_days=2.0)
    kwargs[slot] = sneak(slot, lambda: None, like[0])
    expected = q.score_candidates(M, list(ids), dict(mapping), QUERY,
                                  **{**kwargs, "pre_filter_ids": list(pre), "like_ids": list(like)})
    assert expected, "the scenario must return rows for the comparison to mean anything"
    kwargs[slot] = sneak(slot, lambda: vandalise(ids, mapping, pre, how), like[0])
    assert q.score_candidates(M, ids, mapping, QUERY, **kwargs) == expected


@pytest.mark.parametrize("how", ["clear", "shrink", "replace"])
def test_id_map_value_empties_the_ids_list(how):
    ids, mapping, pre, like = scenario()
    expected = q.score_candidates(M, list(ids), dict(mapping), QUERY, pre_filter_ids=list(pre))

    class Vandal:
        def __index__(self):
            vandalise(ids, {}, [], how)
            return 1

    mapping[ids[1]] = Vandal()
    assert q.score_candidates(M, ids, mapping, QUERY, pre_filter_ids=pre) == expected


def numpy_bool_lookalike(action):
    """A type that names itself numpy's bool_: the Flag rule then calls its nb_bool slot, which
    for a Python class is the caller's own __bool__."""
    def __bool__(self):
        action()
        return True

    return type("bool_", (), {"__module__": "numpy", "__bool__": __bool__})()


@pytest.mark.parametrize("slot", ["diverse", "recent"])
def test_flag_hook_empties_held_lists(slot):
    ids, mapping, pre, like = scenario()
    expected = q.score_candidates(M, list(ids), dict(mapping), QUERY, pre_filter_ids=list(pre),
                                  like_ids=list(like), **{slot: True})
    hook = numpy_bool_lookalike(lambda: vandalise(ids, mapping, pre, "replace"))
    assert q.score_candidates(M, ids, mapping, QUERY, pre_filter_ids=pre, like_ids=like,
                              **{slot: hook}) == expected


NON_STR_MODULE = """
import numpy as np, _quantelle as q
# Read as a str object's fields: 1-byte kind, not compact, data pointer 0x4141414141414141.
fields = b"\\x04" + bytes(23) + b"AAAAAAAA"
T = type("bool_", (), {"__module__": fields, "__bool__": lambda self: True})
try:
    q.score_candidates(np.eye(2, dtype=np.float32), ["a", "b"], {}, np.ones(2, np.float32),
                       diverse=T())
except TypeError as error:
    print(error)
"""


def test_flag_type_whose_module_is_not_a_str():
    env = dict(os.environ)
    # Read as a str, this __module__ crashes the process: run it in a child so that pytest
    # survives, and keep ASan from logging that crash as a report of the whole run.
    env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":handle_segv=0:log_path=stderr"
    done = subprocess.run([sys.executable, "-c", NON_STR_MODULE], capture_output=True,
                          text=True, env=env, timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout == "argument 'diverse': 'bool_' object cannot be converted to 'PyBool'\n"


def test_later_hook_cannot_resize_a_held_matrix():
    matrix = M.copy()
    refused = []

    class Resizer:
        def __index__(self):
            try:
                matrix.resize((1, 4), refcheck=True)
            except ValueError:
                refused.append(True)
            return 6

    expected = q.score_candidates(M, texts(6), {}, QUERY, limit=6)
    assert ranked(q.score_candidates(matrix, texts(6), {}, QUERY, limit=Resizer())) == \
        ranked(expected)
    assert refused == [True]
    matrix.resize((1, 4), refcheck=True)  # once the call has ended, the owner may


# --- str subclasses whose equality and hashing lie --------------------------------------------


class AlwaysEqual(str):
    def __eq__(self, other):
        return True

    def __hash__(self):
        return 0


class NeverEqual(str):
    def __eq__(self, other):
        return False

    __hash__ = object.__hash__


class Exploding(str):
    """Hashable by identity (so it can be a dict key), but any comparison or str() raises."""
    __hash__ = object.__hash__

    def __eq__(self, other):
        raise AssertionError("__eq__ must not be called")

    def __str__(self):
        raise AssertionError("__str__ must not be called")


class Renamed(str):
    def __str__(self):
        return "something else"

    def __len__(self):
        return 0


ODD_STRS = [AlwaysEqual, NeverEqual, Exploding, Renamed]


def odd_case(kind, slot):
    ids = [f"\u00e9t\u00e9-{i}" for i in range(6)]
    mapping = {text: i for i, text in enumerate(ids)}
    # ids[0] too: AlwaysEqual keys collapse a dict to its first key (with the last value).
    pre, like = [ids[3], ids[0], ids[1], "unknown"], [ids[2], ids[0]]
    plain = dict(pre_filter_ids=list(pre), like_ids=list(like), limit=6)
    if slot == "ids":
        ids = [kind(t) for t in ids]
    elif slot == "id_to_idx":
        mapping = {kind(k): v for k, v in mapping.items()}
    elif slot == "pre_filter_ids":
        pre = [kind(t) for t in pre]
    else:
        like = [kind(t) for t in like]
    return (ids, mapping), dict(plain, pre_filter_ids=pre, like_ids=like), plain


@pytest.mark.parametrize("slot", ["ids", "id_to_idx", "pre_filter_ids", "like_ids"])
@pytest.mark.parametrize("kind", ODD_STRS, ids=lambda k: k.__name__)
def test_odd_str_subclasses_are_compared_by_their_text(kind, slot):
    (ids, mapping), odd, plain = odd_case(kind, slot)
    out = q.score_candidates(M, ids, mapping, QUERY, **odd)
    expected = q.score_candidates(M, [str.__str__(t) for t in ids],
                                  {str.__str__(k): v for k, v in mapping.items()}, QUERY, **plain)
    assert expected, "the case must return rows for the comparison to mean anything"
    assert [len(r["id"]) for r in out] == [len(r["id"]) for r in expected]  # plain str.__len__
    assert out == expected
    assert all(type(r["id"]) is str for r in out)


@pytest.mark.parametrize("first, second", [
    (str, NeverEqual), (NeverEqual, str), (Exploding, NeverEqual), (NeverEqual, Exploding),
], ids=["plain-then-subclass", "subclass-then-plain", "exploding-first", "exploding-last"])
def test_equal_texts_as_keys_the_later_wins(first, second):
    mapping = {first("b"): 0, "a": 2}
    mapping[second("b")] = 1
    assert len(mapping) == 3, "the dict must hold both 'b' keys"
    out = q.score_candidates(M[:3], ["r0", "r1", "r2"], mapping, QUERY, pre_filter_ids=["b"])
    assert [r["id"] for r in out] == ["r1"]


# --- arrays made with stride tricks: read as their contiguous copies ---------------------------


def strided(source, shape, byte_strides, dtype=F32):
    """A view of dtype with the given byte strides (any sign, zero, not multiples of the item
    size) over a uint8 buffer holding source's bytes and exactly as long as the view's reach, so
    that a read outside the view is a read outside an allocation (which ASan reports)."""
    dtype = np.dtype(dtype)
    lo = sum((n - 1) * s for n, s in zip(shape, byte_strides) if s < 0 and n > 0)
    hi = sum((n - 1) * s for n, s in zip(shape, byte_strides) if s > 0 and n > 0)
    size = hi - lo + dtype.itemsize
    raw = np.frombuffer(np.asarray(source).tobytes(), np.uint8)
    buffer = np.resize(raw, size)  # repeats the source bytes as often as needed
    first = buffer[-lo:-lo + dtype.itemsize].view(dtype)
    return as_strided(first, shape=shape, strides=byte_strides, writeable=False)


def source_bytes(low, high, n=256):
    return RNG.integers(low, high, n, dtype=np.uint8)


# Every 4 consecutive bytes in [0x30, 0x40) read as a small positive float32 at any offset, so
# overlapping and misaligned views still score finite.
FLOAT_BYTES = source_bytes(0x30, 0x40)
# Every 8 consecutive bytes in [0x40, 0x42) read as a float64 between 2 and 2**32: timestamps
# from 1970 to far in the future, at any offset.
STAMP_BYTES = source_bytes(0x40, 0x42)
MASK_BYTES = np.array([1, 0, 1, 1, 2, 1, 0, 255], np.uint8)  # NumPy stores any non-zero as true

MATRIX_STRIDES = {
    "row-stride-0": ((5, 4), (0, 4)),
    "col-stride-0": ((5, 4), (16, 0)),
    "all-stride-0": ((5, 4), (0, 0)),
    "col-stride-5": ((5, 4), (21, 5)),
    "col-stride-1": ((5, 4), (7, 1)),
    "overlapping-rows": ((6, 4), (4, 4)),
    "overlapping-odd-rows": ((6, 4), (3, 4)),
    "negative-odd": ((5, 4), (-23, -5)),
    "negative-rows-odd-cols": ((5, 4), (-17, 6)),
    "transposed-odd": ((5, 4), (6, 31)),
    "zero-rows": ((0, 4), (3, 5)),
}


@pytest.mark.parametrize("shape, strides", list(MATRIX_STRIDES.values()), ids=list(MATRIX_STRIDES))
def test_strided_matrix_reads_as_its_copy(shape, strides):
    view = strided(FLOAT_BYTES, shape, strides)
    copy = np.ascontiguousarray(view)
    ids = texts(shape[0])
    mapping = {text: i for i, text in enumerate(ids)}
    vec = lambda offset: strided(FLOAT_BYTES[offset:], (4,), (4,))  # noqa: E731
    kwargs = dict(limit=4, oversample=5, diverse=True, like_ids=ids[1:2], threshold=-1.0,
                  not_like_vec=vec(0), traj_from_vec=vec(16), traj_to_vec=vec(32))
    for extra in ({}, {"pre_filter_ids": ids[::-1]}):
        assert q.score_candidates(view, ids, mapping, QUERY, **kwargs, **extra) == \
            q.score_candidates(copy, ids, mapping, QUERY, **kwargs, **extra)
    candidates = list(range(shape[0])) * 2
    sims = np.linspace(1, 0, max(shape[0], 1)).astype(F32)
    assert q.mmr_select_py(candidates, sims, view, 8, 0.5) == \
        q.mmr_select_py(candidates, sims, copy, 8, 0.5)


VECTOR_STRIDES = {"stride-0": 0, "stride-3": 3, "stride-5": 5, "stride-minus-7": -7,
                  "stride-minus-1": -1, "stride-9": 9}


@pytest.mark.parametrize("stride", list(VECTOR_STRIDES.values()), ids=list(VECTOR_STRIDES))
def test_strided_vectors_read_as_their_copies(stride):
    n, d = M.shape
    query = strided(FLOAT_BYTES, (d,), (stride,))
    other = strided(FLOAT_BYTES[7:], (d,), (stride,))
    sims = strided(FLOAT_BYTES, (n,), (stride,))
    mask = strided(MASK_BYTES, (n,), (stride,), np.bool_)
    stamps = strided(STAMP_BYTES, (n,), (stride * 3,), np.float64)  # 9, 15, -21: not multiples of 8
    ids = texts(n)
    plain = np.ascontiguousarray
    for kwargs in (dict(mask=mask, threshold=-1.0), dict(timestamps=stamps, recent=True),
                   dict(not_like_vec=query, traj_from_vec=other, traj_to_vec=query)):
        copies = {k: plain(v) if isinstance(v, np.ndarray) else v for k, v in kwargs.items()}
        assert q.score_candidates(M, ids, {}, query, limit=6, **kwargs) == \
            q.score_candidates(M, ids, {}, plain(query), limit=6, **copies)
    assert q.mmr_select_py([5, 0, 3, 3], sims, M, 4, 0.7) == \
        q.mmr_select_py([5, 0, 3, 3], plain(sims), M, 4, 0.7)


# --- broadcast shapes at the edge of 64 bits ---------------------------------------------------


@pytest.mark.parametrize("shape", [(2**32, 2**32), (2**63, 2), (2**31, 2**30), (U64_MAX,)],
                         ids=["product-2**64", "product-2**64-again", "bytes-past-intp", "dim-2**64"])
def test_numpy_refuses_shapes_whose_size_overflows(shape):
    with pytest.raises(ValueError):
        np.broadcast_to(F32(1.0), shape)


def huge(shape, value=1.0):
    return np.broadcast_to(F32(value), shape)


def test_largest_broadcast_matrix_rows_reached_through_ids():
    n = MAX_F32_ELEMENTS
    tall = huge((n, 1))
    mapping = {"first": 0, "last": n - 1, "second": 1}
    out = q.score_candidates(tall, ["r0", "r1"], mapping, huge((1,)), pre_filter_ids=["second"],
                             like_ids=["last"], diverse=True, limit=U64_MAX, oversample=U64_MAX)
    assert out == [{"id": "r1", "score": 1.0}]
    picks = q.mmr_select_py([n - 1, 0, n - 1], huge((n,), 0.5), tall, U64_MAX, 0.5)
    assert [row for row, _ in picks] == [n - 1, 0, n - 1]


def test_largest_broadcast_matrix_columns_with_a_short_query():
    wide = huge((1, MAX_F32_ELEMENTS))
    with pytest.raises(ValueError, match=f"^Query vector dimension 3 doesn't match cache "
                                         f"dimension {MAX_F32_ELEMENTS}$"):
        q.score_candidates(wide, ["a"], {}, np.ones(3, F32))
    assert q.score_candidates(wide, [], {}, np.ones(3, F32)) == []


@needs_real_allocator
@pytest.mark.parametrize("call", [
    lambda: q.score_candidates(huge((MAX_F32_ELEMENTS, 1)), ["a"], {}, huge((1,))),
    lambda: q.score_candidates(huge((1, MAX_F32_ELEMENTS)), ["a"], {}, huge((MAX_F32_ELEMENTS,))),
    lambda: q.mmr_select_py([0], huge((1,)), huge((1, MAX_F32_ELEMENTS)), 1, 0.5),
], ids=["every-row-scored", "query-copy", "one-wide-row"])
def test_impossible_allocations_raise_memory_error(call):
    with pytest.raises(MemoryError):
        call()


# Sizes past what any vector can hold are refused before an allocation is tried, so these run
# under ASan too. Two rows once overflowed std::vector's max_size() into a PanicException.
@pytest.mark.parametrize("rows", [2, 3, 1000], ids=["two-rows", "three-rows", "many-rows"])
def test_widest_rows_gathered_raise_memory_error(rows):
    with pytest.raises(MemoryError):
        q.mmr_select_py([0] * rows, huge((1,)), huge((1, MAX_F32_ELEMENTS)), 2, 0.5)


# --- counts near 2**64 -------------------------------------------------------------------------


NEAR_MAX = [2**63 - 1, 2**63, U64_MAX - 1, U64_MAX, np.uint64(U64_MAX)]


@pytest.mark.parametrize("diverse, limit, oversample", [
    (False, "huge", 200),
    (True, "huge", "huge"),
    (True, 3, "huge"),
    (True, "huge", 4),
], ids=["limit", "limit-and-oversample", "oversample", "limit-over-small-pool"])
@pytest.mark.parametrize("value", NEAR_MAX, ids=["2**63-1", "2**63", "2**64-2", "2**64-1", "np-2**64-1"])
def test_counts_near_2_64_behave_as_all_rows(value, diverse, limit, oversample):
    def run(huge_as):
        return q.score_candidates(M, texts(len(M)), {}, QUERY, diverse=diverse, threshold=-1.0,
                                  limit=huge_as if limit == "huge" else limit,
                                  oversample=huge_as if oversample == "huge" else oversample)

    assert run(value) == run(len(M))


@pytest.mark.parametrize("value", NEAR_MAX, ids=["2**63-1", "2**63", "2**64-2", "2**64-1", "np-2**64-1"])
def test_mmr_k_near_2_64_selects_every_candidate(value):
    candidates = [3, 1, 4, 1, 5]
    sims = np.linspace(1, 0, 6).astype(F32)
    assert q.mmr_select_py(candidates, sims, M, value, 0.5) == \
        q.mmr_select_py(candidates, sims, M, len(candidates), 0.5)


@pytest.mark.parametrize("slot", ["limit", "oversample"])
def test_counts_past_2_64_overflow(slot):
    with pytest.raises(OverflowError):
        q.score_candidates(M, texts(6), {}, QUERY, **{slot: 2**64})
    with pytest.raises(OverflowError):
        q.mmr_select_py([0], QUERY, M, 2**64, 0.5)
