"""Property-based fuzzing of the Python boundary: arbitrary objects in every argument slot of the
three functions, by position and by keyword, with arguments missing, doubled or unknown. Every
call returns a well-formed result or raises one of the boundary's exceptions; nothing else.

A short smoke by default; QUANTELLE_LONG=1 runs over 100,000 calls.
"""
import inspect
import os
import warnings

import numpy as np
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st
from numpy.lib.stride_tricks import as_strided

import _quantelle as q

LONG = os.environ.get("QUANTELLE_LONG") == "1"
EXAMPLES = {"score_candidates": (300, 50_000), "mmr_select_py": (200, 35_000), "parse_modifiers": (150, 20_000)}
ALLOWED = (TypeError, OverflowError, UnicodeEncodeError, ValueError, MemoryError)
SIGNATURES = {name: inspect.signature(getattr(q, name)).parameters for name in q.__all__}
PARAMS = {name: list(params) for name, params in SIGNATURES.items()}
OPTIONAL = {p for params in SIGNATURES.values() for p, v in params.items() if v.default is not v.empty}
MODIFIER_KEYS = list(q.parse_modifiers())  # their order is pinned by test_modifiers


def fuzz(function):
    return settings(max_examples=EXAMPLES[function][LONG], deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                           HealthCheck.filter_too_much])


def check_result(function, out, diverse):
    assert type(out) is (dict if function == "parse_modifiers" else list), type(out)
    if function == "score_candidates":
        for record in out:
            assert type(record) is dict and list(record) == ["id", "score"], record
            score = record["score"]
            assert type(record["id"]) is str and type(score) is float, record
            # Only finite scores enter the pool; an MMR score may still be infinite or NaN, as the
            # products of extreme rows and weights may be.
            assert diverse or np.isfinite(score), record
            assert not np.isfinite(score) or round(score, 4) == score, record
    elif function == "mmr_select_py":
        for pick in out:
            assert type(pick) is tuple and len(pick) == 2, pick
            assert type(pick[0]) is int and pick[0] >= 0 and type(pick[1]) is float, pick
    else:
        assert list(out) == MODIFIER_KEYS, out
        assert all(type(out[k]) is bool for k in ("recent", "diverse", "local_communities")), out
        assert all(out[k] is None or type(out[k]) is str for k in ("unlike", "trajectory_from", "trajectory_to")), out
        days, limit, like = out["recent_days"], out["limit"], out["like"]
        assert days is None or (type(days) is int and -2**63 <= days < 2**63), out
        assert limit is None or (type(limit) is int and 0 <= limit < 2**64), out
        assert like is None or (type(like) is list and like and all(type(p) is str for p in like)), out


def call_and_check(function, args, kwargs):
    OVERRIDES_CALLED.clear()
    try:
        with warnings.catch_warnings():  # NumPy's own conversions may warn, and that is let through
            warnings.simplefilter("ignore")
            out = getattr(q, function)(*args, **kwargs)
    except BaseException as error:  # noqa: BLE001 - sorting every outcome is the point
        event(type(error).__name__)  # --hypothesis-show-statistics tells how deep calls got
        panic = type(error).__name__ == "PanicException" and type(error).__bases__ == (BaseException,)
        assert type(error) in ALLOWED or panic, repr(error)
        assert not isinstance(error, TypeError) or error.__cause__ is None
        return
    finally:
        assert not OVERRIDES_CALLED
    event("result" if out else "empty result")
    diverse = kwargs.get("diverse", args[7] if len(args) > 7 else False)
    check_result(function, out, diverse is True or diverse is np.True_)


# --- any Python object -------------------------------------------------------------------------

StrSub = type("StrSub", (str,), {"__hash__": object.__hash__, "__eq__": lambda s, o: s is o})
IntSub, FloatSub, ListSub, ArraySub = (type(b.__name__ + "Sub", (b,), {}) for b in (int, float, list, np.ndarray))


OVERRIDES_CALLED = []  # the module reads a dict's storage directly: no override may run


def spy(method):
    return lambda self, *args: (OVERRIDES_CALLED.append(method), method(self, *args))[1]


DictSub = type("DictSub", (dict,), {"__getitem__": spy(dict.__getitem__), "get": spy(dict.get)})
Indexable = type("Indexable", (), {"__init__": lambda s, v: setattr(s, "v", v), "__index__": lambda s: s.v,
                                   "__float__": lambda s: float(s.v), "__repr__": lambda s: f"Indexable({s.v!r})"})


INT_EDGES = [0, 1, -1, 2, 2**31 - 1, 2**32, 2**53 + 1, 2**63 - 1, 2**63, 2**64 - 1, 2**64, -2**63, -2**64, 10**30,
             10**400]
any_int = st.one_of(st.integers(-3, 12), st.sampled_from(INT_EDGES), st.integers(), st.integers(-2**70, 2**70),
                    st.booleans(), st.builds(IntSub, st.integers(-3, 9)))
any_float = st.one_of(st.floats(), st.sampled_from([-1.0, -0.0, 1e308, 5e-324]), st.builds(FloatSub, st.floats()))
any_text = st.one_of(st.text(st.characters(exclude_categories=()), max_size=8), st.builds(StrSub, st.text(max_size=4)))
DTYPES = ["?", "i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8", "f2", "f4", "f8", "g", "c8", "c16", ">f4", ">f8", ">i8",
          "M8[s]", "m8[ms]", "V4", [("x", "<f4"), ("y", "u1")]]


@st.composite
def raw_arrays(draw, dtype=None, shape=None):
    """An array of any dtype over raw bytes, with any strides (zero, negative, not multiples of
    the item size), built with as_strided on a uint8 buffer exactly as long as its reach."""
    dtype = np.dtype(draw(st.sampled_from(DTYPES)) if dtype is None else dtype)
    if shape is None:
        shape = tuple(draw(st.lists(st.integers(0, 4), max_size=3)))
    item = dtype.itemsize
    if draw(st.booleans()):
        strides = tuple(draw(st.integers(-3 * item - 3, 3 * item + 3)) for _ in shape)
    else:  # C order
        strides = tuple(int(np.prod(shape[i + 1:], dtype=np.int64)) * item for i in range(len(shape)))
    lo = sum((n - 1) * s for n, s in zip(shape, strides) if s < 0 and n > 0)
    hi = sum((n - 1) * s for n, s in zip(shape, strides) if s > 0 and n > 0)
    size = hi - lo + item
    buffer = np.frombuffer(draw(st.binary(min_size=size, max_size=size)), np.uint8).copy()
    first = buffer[-lo:-lo + item].view(dtype).reshape(())
    view = as_strided(first, shape=shape, strides=strides, writeable=draw(st.booleans()))
    return view.view(ArraySub) if draw(st.integers(0, 5)) == 0 else view


@st.composite
def text_arrays(draw):
    values = draw(st.lists(st.text(max_size=4), max_size=5))
    array = np.array(values, dtype=draw(st.sampled_from(["U", "O", "S"])) if all(v.isascii() for v in values) else "U")
    if array.ndim == 1 and array.size and draw(st.booleans()):
        array = array[::-1]
    if draw(st.booleans()):
        array = np.broadcast_to(array, (draw(st.integers(0, 3)),) + array.shape)
    return array


numpy_scalars = st.one_of(
    st.builds(lambda dt, raw: np.frombuffer(raw, dt)[0],
              st.sampled_from(["?", "i1", "u2", "i8", "u8", "f2", "f4", "f8", "c8", "M8[D]"]),
              st.binary(min_size=16, max_size=16)),
    st.sampled_from([np.True_, np.False_, np.str_("a"), np.bytes_(b"a"), np.uint64(2**64 - 1), np.int64(-1),
                     np.float32("nan")]),
)
LEAVES = st.one_of(
    st.none(), any_int, any_float, any_text, st.binary(max_size=6), st.builds(bytearray, st.binary(max_size=4)),
    st.builds(memoryview, st.binary(max_size=4)), st.builds(Indexable, st.integers() | st.sampled_from(INT_EDGES)),
    st.just(object()), st.just(Ellipsis), numpy_scalars,
)
ANY = st.one_of(
    LEAVES, LEAVES, st.lists(LEAVES, max_size=4), st.lists(LEAVES, max_size=4).map(tuple),
    st.lists(any_text, max_size=4).map(ListSub), st.sets(st.text(max_size=3), max_size=3),
    st.frozensets(st.integers(0, 5), max_size=3), st.dictionaries(any_text, LEAVES, max_size=3),
    st.dictionaries(st.text(max_size=3), any_int, max_size=3).map(DictSub),
    st.lists(LEAVES, max_size=3).map(lambda xs: (x for x in xs)), st.lists(any_int, max_size=3).map(iter),
    st.builds(range, st.integers(-2, 6)), raw_arrays(), text_arrays(),
)


# --- arguments close enough to valid to reach the logic ---------------------------------------

small_f32 = st.floats(-2, 2, width=32)
F32_VALUES = st.one_of(small_f32, small_f32, small_f32, st.floats(width=32))
LAYOUTS = st.sampled_from(["c", "flip", "fortran", "odd-strides", "broadcast", "readonly", "raw"])


def f32_array(draw, shape):
    """float32 data of the given shape in one of the layouts NumPy allows."""
    size = int(np.prod(shape))
    values = np.array(draw(st.lists(F32_VALUES, min_size=size, max_size=size)), np.float32).reshape(shape)
    layout = draw(LAYOUTS)
    if layout == "flip":
        return np.flip(np.flip(values).copy())
    if layout == "fortran":
        return np.asfortranarray(values)
    if layout == "odd-strides":  # each element padded by 1 to 3 bytes: strides not multiples of 4
        strides = [4 + draw(st.integers(1, 3))]
        for extent in reversed(shape[1:]):
            strides.insert(0, strides[0] * max(extent, 1))
        buffer = np.zeros(strides[0] * max(shape[0], 1) + 8, np.uint8)
        view = np.ndarray(shape, np.float32, buffer=buffer, offset=draw(st.integers(0, 3)), strides=tuple(strides))
        view[...] = values
        return view
    if layout == "broadcast" and shape[0] > 0:
        return np.broadcast_to(values[:1], shape)
    if layout == "readonly":
        values.flags.writeable = False
    return draw(raw_arrays(np.float32, shape)) if layout == "raw" else values


class Slots:
    """Draws each argument from its own strategy, or anything at all for the few hostile slots of
    this call (most calls must get through conversion to reach the logic)."""

    def __init__(self, draw, function):
        self.draw = draw
        count = draw(st.sampled_from([0, 0, 0, 1, 1, 2, 3]))
        self.hostile = set(draw(st.lists(st.sampled_from(PARAMS[function]), min_size=count, max_size=count)))

    def __call__(self, param, strategy):
        return self.draw(ANY if param in self.hostile else strategy)

    def array(self, param, make, optional=True):
        """An array from make(draw), None one time in four when optional, or anything."""
        if param in self.hostile:
            return self.draw(ANY)
        return None if optional and self.draw(st.integers(0, 3)) == 0 else make(self.draw)


def near(draw, k):
    """k, or a length one off from it."""
    return draw(st.sampled_from([k, k, k, k + 1, max(k - 1, 0), 1]))


@st.composite
def mostly(draw, common, rare):
    """rare about one time in twenty. Hypothesis favours the ends of a range (and the first of
    one_of's branches), so the rare pick sits in the middle."""
    return draw(rare if draw(st.integers(0, 19)) == 7 else common)


ROW_EDGES = st.sampled_from(INT_EDGES)
COUNTS = mostly(st.integers(1, 8), st.sampled_from([0, 2**64 - 1, 2**63, 2**64, -1]))
REALS = st.one_of(st.floats(-1, 2), st.floats(), st.integers(-3, 3))
FLAGS = st.sampled_from([True, False, np.True_, np.False_])
STAMPS = st.one_of(st.floats(0, 4e9), st.floats(0, 4e9), st.floats())
SIZES = mostly(st.integers(1, 6), st.just(0))


@st.composite
def score_arguments(draw):
    n, d = draw(SIZES), draw(SIZES)
    pool = [f"id{i}" for i in range(n + 2)] + ["\u00e9", ""]
    id_text = st.one_of(st.sampled_from(pool), st.sampled_from(pool), st.sampled_from(pool).map(StrSub), any_text)
    known = st.sampled_from(pool[:max(n, 1)])
    ids = draw(mostly(st.lists(id_text, min_size=n, max_size=n),
                      st.one_of(st.lists(id_text, min_size=max(n - 1, 0), max_size=n + 1),
                                st.lists(known, max_size=n).map(tuple),
                                st.lists(known, max_size=n).map(lambda xs: np.array(xs, dtype="U")))))
    row = mostly(st.integers(0, n + 1) | st.builds(np.int64, st.integers(0, 7)), ROW_EDGES)
    mapping = {pool[i]: i for i in draw(st.permutations(range(n)))}
    mapping.update(draw(st.dictionaries(id_text, row, max_size=3)))
    if draw(st.integers(0, 4)) == 0:
        mapping = DictSub(mapping)
    id_list = st.none() | mostly(st.lists(known, min_size=1, max_size=4), st.lists(id_text, max_size=4))
    vector = lambda draw: f32_array(draw, (near(draw, d),))  # noqa: E731
    slot = Slots(draw, "score_candidates")
    stamps = lambda draw: np.array(draw(st.lists(STAMPS, min_size=near(draw, n), max_size=n + 1)))  # noqa: E731
    mask = lambda draw: draw(raw_arrays(np.bool_, (near(draw, n),)))  # noqa: E731
    arrays = {"matrix": (lambda draw: f32_array(draw, (n, d)), False), "query_vec": (vector, False),
              "timestamps": (stamps, True), "not_like_vec": (vector, True), "traj_from_vec": (vector, True),
              "traj_to_vec": (vector, True), "mask": (mask, True)}
    others = {"ids": st.just(ids), "id_to_idx": st.just(mapping), "pre_filter_ids": id_list, "diverse": FLAGS,
              "limit": COUNTS, "oversample": COUNTS, "threshold": REALS, "mmr_lambda": REALS, "recent": FLAGS,
              "recent_days": st.none() | REALS, "like_ids": id_list}
    return {p: slot.array(p, *arrays[p]) if p in arrays else slot(p, others[p]) for p in PARAMS["score_candidates"]}


@st.composite
def mmr_arguments(draw):
    n, d = draw(SIZES), draw(SIZES)
    index = mostly(st.integers(0, n) | st.builds(np.uint8, st.integers(0, 7)) | st.builds(Indexable, st.integers(0, n)),
                   ROW_EDGES)
    in_range = st.lists(st.integers(0, max(n - 1, 0)), max_size=8)
    candidates = draw(st.one_of(mostly(st.lists(index, min_size=1, max_size=8), st.just([])),
                                in_range.map(lambda xs: np.array(xs, np.int64)), in_range.map(bytes)))
    slot = Slots(draw, "mmr_select_py")
    return {
        "candidates": slot("candidates", st.just(candidates)),
        "similarities": slot.array("similarities", lambda draw: f32_array(draw, (near(draw, n),)), optional=False),
        "matrix": slot.array("matrix", lambda draw: f32_array(draw, (n, d)), optional=False),
        "k": slot("k", mostly(st.integers(1, 8), ROW_EDGES)),
        "lambda_": slot("lambda_", st.one_of(st.floats(0, 1), st.floats(), any_int)),
    }


MODIFIER_WORDS = st.sampled_from([
    "recent", "recent:", "recent:30", "recent:-5", "recent:9223372036854775808", "diverse", "unlike:", "unlike:x",
    "like:", "like:a,,b", "limit:", "limit:18446744073709551615", "limit:18446744073709551616", "limit:+3",
    "local_communities", "detect_communities", "from:", " to:", "from: a b to: c", ",", " ", "\u00a0", "\u2028",
    "\u3000", "\u200b", "\t"])
MODIFIER_TEXT = st.lists(st.one_of(MODIFIER_WORDS, MODIFIER_WORDS, any_text), max_size=8).map("".join)


@st.composite
def modifier_arguments(draw):
    text = draw(MODIFIER_TEXT)
    return {"modifier_str": Slots(draw, "parse_modifiers")("modifier_str", st.sampled_from([text, StrSub(text), None]))}


# --- binding: positions, keywords, gaps, extras ----------------------------------------------

ARGUMENTS = {"score_candidates": score_arguments, "mmr_select_py": mmr_arguments,
             "parse_modifiers": modifier_arguments}
MISTAKES = mostly(st.none(), st.sampled_from(["missing", "extra", "twice", "unknown"]))
UNKNOWN_KEYWORDS = st.sampled_from(["lambda", "Limit", "ids ", "\u00e9", "matrix_", "k"])


@st.composite
def calls(draw, function):
    """(args, kwargs): a positional prefix, the rest as keywords in any order, optional ones
    sometimes left out, and now and then a binding mistake."""
    values, params = draw(ARGUMENTS[function]()), PARAMS[function]
    n_positional = draw(st.integers(0, len(params)))
    args = [values[p] for p in params[:n_positional]]
    rest = [p for p in params[n_positional:] if p not in OPTIONAL or draw(st.integers(0, 3)) > 0]
    kwargs = {p: values[p] for p in draw(st.permutations(rest))}
    mistake = draw(MISTAKES)
    if mistake == "missing" and kwargs:
        del kwargs[draw(st.sampled_from(sorted(kwargs)))]  # possibly a required one
    elif mistake == "extra":
        args.extend(draw(st.lists(ANY, min_size=1, max_size=2)))
    elif mistake == "twice" and args:
        kwargs[params[draw(st.integers(0, len(args) - 1))]] = draw(LEAVES)
    elif mistake == "unknown":
        kwargs[draw(UNKNOWN_KEYWORDS)] = 1
    return tuple(args), kwargs


@fuzz("score_candidates")
@given(call=calls("score_candidates"))
def test_score_candidates_boundary(call):
    call_and_check("score_candidates", *call)


@fuzz("mmr_select_py")
@given(call=calls("mmr_select_py"))
def test_mmr_select_boundary(call):
    call_and_check("mmr_select_py", *call)


@fuzz("parse_modifiers")
@given(call=calls("parse_modifiers"))
def test_parse_modifiers_boundary(call):
    call_and_check("parse_modifiers", *call)
