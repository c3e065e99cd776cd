"""Any object in any argument slot, by position or keyword: a well-formed result or one of the boundary's
exceptions, nothing else. Then arrays broadcast to the largest sizes NumPy allows."""
# A short smoke by default; QUANTELLE_LONG=1 runs over 100,000 calls.
import inspect
import os
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from numpy.lib.stride_tricks import as_strided

import _quantelle as q

EXAMPLES = 35_000 if os.environ.get("QUANTELLE_LONG") == "1" else 200
ALLOWED = (TypeError, OverflowError, UnicodeEncodeError, ValueError, MemoryError)
PARAMS = {name: inspect.signature(getattr(q, name)).parameters for name in q.__all__}
MODIFIER_KEYS = list(q.parse_modifiers())  # their order is pinned by test_modifiers


def check_result(function, out, diverse):
    assert type(out) is (dict if function == "parse_modifiers" else list), type(out)
    if function == "parse_modifiers":
        assert list(out) == MODIFIER_KEYS, out
    for record in out if function == "score_candidates" else ():
        assert type(record) is dict and list(record) == ["id", "score"], record
        score = record["score"]
        assert type(record["id"]) is str and type(score) is float, record
        # Only finite scores enter the pool; an MMR score may still be infinite or NaN, as the
        # products of extreme rows and weights may be.
        assert diverse or np.isfinite(score), record
        assert not np.isfinite(score) or round(score, 4) == score, record
    for pick in out if function == "mmr_select_py" else ():
        assert type(pick) is tuple and [type(x) for x in pick] == [int, float] and pick[0] >= 0, pick


def call_and_check(function, args, kwargs):
    try:
        with warnings.catch_warnings():  # NumPy's own conversions may warn, and that is let through
            warnings.simplefilter("ignore")
            out = getattr(q, function)(*args, **kwargs)
    except BaseException as error:  # noqa: BLE001 - sorting every outcome is the point
        panic = type(error).__name__ == "PanicException" and type(error).__bases__ == (BaseException,)
        assert type(error) in ALLOWED or panic, repr(error)
        assert not isinstance(error, TypeError) or error.__cause__ is None
        return
    diverse = kwargs.get("diverse", args[7] if len(args) > 7 else False)
    check_result(function, out, diverse is True or diverse is np.True_)


# --- any Python object -------------------------------------------------------------------------

StrSub = type("StrSub", (str,), {"__hash__": object.__hash__, "__eq__": lambda s, o: s is o})
IntSub, FloatSub, ListSub, ArraySub = (type(b.__name__ + "Sub", (b,), {}) for b in (int, float, list, np.ndarray))
Indexable = type("Indexable", (), {"__init__": lambda s, v: setattr(s, "v", v), "__index__": lambda s: s.v,
                                   "__float__": lambda s: float(s.v), "__repr__": lambda s: f"Indexable({s.v!r})"})

INT_EDGES = [0, 1, -1, 2**31 - 1, 2**32, 2**53 + 1, 2**63 - 1, 2**63, 2**64 - 1, 2**64, -2**63, 10**30, 10**400]
any_int = st.one_of(st.integers(-3, 12), st.sampled_from(INT_EDGES), st.integers(), st.booleans(),
                    st.builds(IntSub, st.integers(-3, 9)))
any_float = st.one_of(st.floats(), st.sampled_from([-1.0, -0.0, 1e308, 5e-324]), st.builds(FloatSub, st.floats()))
any_text = st.one_of(st.text(st.characters(exclude_categories=()), max_size=8), st.builds(StrSub, st.text(max_size=4)))
DTYPES = ["?", "i1", "u1", "i4", "u8", "f2", "f4", "f8", "c8", ">f4", ">f8", "M8[s]", "V4", [("x", "<f4"), ("y", "u1")]]


@st.composite
def raw_arrays(draw, dtype=None, shape=None):
    # Any dtype over raw bytes with any strides (zero, negative, not multiples of the item size),
    # on a uint8 buffer exactly as long as its reach.
    dtype = np.dtype(draw(st.sampled_from(DTYPES)) if dtype is None else dtype)
    if shape is None:
        shape = tuple(draw(st.lists(st.integers(0, 4), max_size=3)))
    item = dtype.itemsize
    strides = np.empty(shape, dtype).strides  # C order, or any:
    if draw(st.booleans()):
        strides = tuple(draw(st.integers(-3 * item - 3, 3 * item + 3)) for _ in shape)
    lo = sum((n - 1) * s for n, s in zip(shape, strides) if s < 0 and n > 0)
    hi = sum((n - 1) * s for n, s in zip(shape, strides) if s > 0 and n > 0)
    buffer = np.frombuffer(draw(st.binary(min_size=hi - lo + item, max_size=hi - lo + item)), np.uint8).copy()
    view = as_strided(buffer[-lo:-lo + item].view(dtype).reshape(()), shape=shape, strides=strides,
                      writeable=draw(st.booleans()))
    return view.view(ArraySub) if draw(st.integers(0, 5)) == 0 else view


LEAVES = st.one_of(
    st.none(), any_int, any_float, any_text, st.binary(max_size=6), st.builds(bytearray, st.binary(max_size=4)),
    st.builds(memoryview, st.binary(max_size=4)), st.builds(Indexable, st.integers() | st.sampled_from(INT_EDGES)),
    st.just(object()), st.sampled_from([np.True_, np.False_, np.str_("a"), np.bytes_(b"a"), np.uint64(2**64 - 1),
                                        np.int64(-1), np.float32("nan"), np.float16(2), np.datetime64(1, "D")]),
)
ANY = st.one_of(
    LEAVES, LEAVES, st.lists(LEAVES, max_size=4), st.lists(LEAVES, max_size=4).map(tuple),
    st.lists(any_text, max_size=4).map(ListSub), st.sets(st.text(max_size=3), max_size=3),
    st.frozensets(st.integers(0, 5), max_size=3), st.dictionaries(any_text, LEAVES, max_size=3),
    st.lists(LEAVES, max_size=3).map(lambda xs: (x for x in xs)), st.builds(range, st.integers(-2, 6)), raw_arrays(),
    st.lists(st.text(max_size=4), max_size=5).map(lambda xs: np.array(xs, dtype="U")[::-1]),
)


# --- arguments close enough to valid to reach the logic ---------------------------------------

def mostly(common, rare):
    # rare one time in twenty; Hypothesis favours the ends of a range, so it sits in the middle.
    return st.integers(0, 19).flatmap(lambda i: rare if i == 7 else common)


small_f32 = st.floats(-2, 2, width=32)
F32_VALUES = st.one_of(small_f32, small_f32, small_f32, st.floats(width=32))


def f32_arrays(shape):  # small values in C order, or raw bytes in any layout (test_arrays pins the reading)
    size = int(np.prod(shape))
    values = st.lists(F32_VALUES, min_size=size, max_size=size).map(lambda v: np.array(v, np.float32).reshape(shape))
    return st.one_of(values, values, raw_arrays(np.float32, shape))


def near(k):  # k, or a length one off from it
    return st.sampled_from([k, k, k, k + 1, max(k - 1, 0), 1])


def optional(strategy):
    return st.one_of(strategy, strategy, strategy, st.none())


ROW_EDGES = st.sampled_from(INT_EDGES)
COUNTS = mostly(st.integers(1, 8), st.sampled_from([0, 2**64 - 1, 2**63, 2**64, -1]))
REALS = st.one_of(st.floats(-1, 2), st.floats(), st.integers(-3, 3))
FLAGS = st.sampled_from([True, False, np.True_, np.False_])
MODIFIER_WORDS = st.sampled_from([
    "recent", "recent:30", "recent:-5", "recent:9223372036854775808", "diverse", "unlike:x", "like:", "like:a,,b",
    "limit:", "limit:18446744073709551616", "limit:+3", "local_communities", "from: a b to: c", ",", "\u00a0", "\t"])


@st.composite
def plausible(draw, function):  # near-valid values per parameter, rows and lengths sometimes one off
    if function == "parse_modifiers":
        text = draw(st.lists(st.one_of(MODIFIER_WORDS, MODIFIER_WORDS, any_text), max_size=8).map("".join))
        return {"modifier_str": st.sampled_from([text, StrSub(text), None])}
    n, d = draw(mostly(st.integers(1, 6), st.just(0))), draw(mostly(st.integers(1, 6), st.just(0)))
    vector = near(d).flatmap(lambda k: f32_arrays((k,)))
    if function == "mmr_select_py":
        index = mostly(st.integers(0, n) | st.builds(Indexable, st.integers(0, n)), ROW_EDGES)
        in_range = st.lists(st.integers(0, max(n - 1, 0)), max_size=8)
        return {"candidates": st.one_of(st.lists(index, max_size=8), in_range.map(lambda xs: np.array(xs, np.int64))),
                "similarities": near(n).flatmap(lambda k: f32_arrays((k,))), "matrix": f32_arrays((n, d)),
                "k": mostly(st.integers(1, 8), ROW_EDGES), "lambda_": st.one_of(st.floats(0, 1), st.floats(), any_int)}
    pool = [f"id{i}" for i in range(n + 2)] + ["\u00e9", ""]
    id_text = st.one_of(st.sampled_from(pool), st.sampled_from(pool), st.sampled_from(pool).map(StrSub), any_text)
    known = st.sampled_from(pool[:max(n, 1)])
    row = mostly(st.integers(0, n + 1) | st.builds(np.int64, st.integers(0, 7)), ROW_EDGES)
    mapping = {pool[i]: i for i in draw(st.permutations(range(n)))}
    mapping.update(draw(st.dictionaries(id_text, row, max_size=3)))
    id_list = optional(mostly(st.lists(known, min_size=1, max_size=4), st.lists(id_text, max_size=4)))
    stamps = st.lists(st.floats(0, 4e9) | st.floats(), min_size=max(n - 1, 0), max_size=n + 1).map(np.array)
    return {
        "matrix": f32_arrays((n, d)), "query_vec": vector,
        "ids": mostly(st.lists(id_text, min_size=n, max_size=n),
                      st.lists(id_text, min_size=max(n - 1, 0), max_size=n + 1).map(tuple)),
        "id_to_idx": st.just(mapping), "timestamps": optional(stamps),
        "pre_filter_ids": id_list, "not_like_vec": optional(vector), "diverse": FLAGS, "limit": COUNTS,
        "oversample": COUNTS, "threshold": REALS, "mmr_lambda": REALS, "recent": FLAGS,
        "recent_days": optional(REALS), "like_ids": id_list, "traj_from_vec": optional(vector),
        "traj_to_vec": optional(vector), "mask": optional(near(n).flatmap(lambda k: raw_arrays(np.bool_, (k,)))),
    }


@st.composite
def calls(draw, function):
    # Anything in a few hostile slots (most calls must get through conversion), a positional
    # prefix, the rest as keywords in any order, optional ones sometimes left out. Binding
    # mistakes end before any conversion, and test_binding pins each of them.
    strategies, params = draw(plausible(function)), list(PARAMS[function])
    hostile = draw(st.lists(st.sampled_from(params), max_size=draw(st.sampled_from([0, 0, 0, 1, 1, 2, 3]))))
    values = {p: draw(ANY if p in hostile else strategies[p]) for p in params}
    n_positional = draw(st.integers(0, len(params)))
    args = [values[p] for p in params[:n_positional]]
    optional_params = {p for p, v in PARAMS[function].items() if v.default is not v.empty}
    rest = [p for p in params[n_positional:] if p not in optional_params or draw(st.integers(0, 3)) > 0]
    kwargs = {p: values[p] for p in draw(st.permutations(rest))}
    return tuple(args), kwargs


@pytest.mark.parametrize("function", list(PARAMS))
@settings(max_examples=EXAMPLES, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much])
@given(data=st.data())
def test_boundary(function, data):
    call_and_check(function, *data.draw(calls(function)))


MAX_F32 = (2**63 - 1) // 4  # the most a float32 array may hold: its bytes fit an intp
# ASan's operator new aborts on an impossible allocation instead of throwing std::bad_alloc.
real_allocator = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="ASan aborts on it")


def huge(shape, value=1.0):
    return np.broadcast_to(np.float32(value), shape)


def test_largest_broadcast_matrices():
    tall, u64_max = huge((MAX_F32, 1)), 2**64 - 1
    out = q.score_candidates(tall, ["r0", "r1"], {"first": 0, "last": MAX_F32 - 1, "second": 1}, huge((1,)),
                             pre_filter_ids=["second"], like_ids=["last"], diverse=True, limit=u64_max,
                             oversample=u64_max)
    assert out == [{"id": "r1", "score": 1.0}]
    picks = q.mmr_select_py([MAX_F32 - 1, 0, MAX_F32 - 1], huge((MAX_F32,), 0.5), tall, u64_max, 0.5)
    assert [row for row, _ in picks] == [MAX_F32 - 1, 0, MAX_F32 - 1]
    with pytest.raises(ValueError, match=f"^Query vector dimension 3 doesn't match cache dimension {MAX_F32}$"):
        q.score_candidates(huge((1, MAX_F32)), ["a"], {}, np.ones(3, np.float32))


@pytest.mark.parametrize("call", [
    pytest.param(lambda: q.score_candidates(huge((MAX_F32, 1)), ["a"], {}, huge((1,))), marks=real_allocator),
    pytest.param(lambda: q.score_candidates(huge((1, MAX_F32)), ["a"], {}, huge((MAX_F32,))), marks=real_allocator),
    # Past what any vector can hold: refused before an allocation is tried, so this runs under
    # ASan too. Two rows once overflowed std::vector's max_size() into a PanicException.
    lambda: q.mmr_select_py([0, 0], huge((1,)), huge((1, MAX_F32)), 2, 0.5),
], ids=["every-row-scored", "query-copy", "two-wide-rows"])
def test_impossible_allocations_raise_memory_error(call):
    with pytest.raises(MemoryError):
        call()
