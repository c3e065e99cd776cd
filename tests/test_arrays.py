"""Array arguments: which arrays are accepted, and that every layout is read in logical order."""
import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

import _quantelle as q

RNG = np.random.default_rng(7)
BASE = RNG.standard_normal((9, 6)).astype(np.float32)
IDS = [f"d{i}" for i in range(9)]
QUERY = RNG.standard_normal(6).astype(np.float32)

ARRAY_MESSAGE = "argument '{}': '{}' object cannot be converted to 'PyArray<T, D>'"


def scored(matrix, query=QUERY, **kw):
    return q.score_candidates(matrix, IDS[:len(matrix)], {}, query, limit=20, threshold=-1.0, **kw)


def misaligned(a, extra_row_bytes=1):
    """a copied into a buffer at an odd address with row strides not a multiple of 4."""
    rows, cols = a.shape
    row_stride = cols * 4 + extra_row_bytes
    buf = np.zeros(rows * row_stride + 8, dtype=np.uint8)
    out = np.ndarray(a.shape, dtype=np.float32, buffer=buf, offset=1, strides=(row_stride, 4))
    out[...] = a
    return out


class Sub(np.ndarray):
    pass


def layouts():
    wide = np.zeros((9, 12), np.float32)
    wide[:, ::2] = BASE
    reversed_rows = BASE[::-1].copy()[::-1]
    readonly = BASE.copy()
    readonly.flags.writeable = False
    return {
        "fortran": np.asfortranarray(BASE),
        "negative-rows": reversed_rows,
        "negative-cols": BASE[:, ::-1].copy()[:, ::-1],
        "column-slice": wide[:, ::2],
        "readonly": readonly,
        "subclass": BASE.copy().view(Sub),
        "misaligned-odd-strides": misaligned(BASE),
        "transposed-view": np.ascontiguousarray(BASE.T).T,
    }


@pytest.mark.parametrize("name", list(layouts()))
def test_every_layout_reads_the_logical_order(name):
    assert scored(layouts()[name]) == scored(BASE)


def test_memory_mapped_matrix(tmp_path):
    path = tmp_path / "m.f32"
    BASE.tofile(path)
    mapped = np.memmap(path, dtype=np.float32, mode="r", shape=BASE.shape)
    assert scored(mapped) == scored(BASE)


@pytest.mark.parametrize("make", [
    lambda v: v[::-1].copy()[::-1],
    lambda v: np.repeat(v, 3)[::3],
    lambda v: misaligned(v[None, :])[0],
], ids=["negative", "strided", "misaligned"])
def test_vector_layouts(make):
    assert scored(BASE, query=make(QUERY)) == scored(BASE)
    assert scored(BASE, not_like_vec=make(QUERY[::-1].copy())) == \
        scored(BASE, not_like_vec=QUERY[::-1].copy())


def test_stride_zero_rows_and_vectors():
    row = BASE[0]
    broadcast = np.broadcast_to(row, (4, 6))
    out = q.score_candidates(broadcast, IDS[:4], {}, QUERY, limit=10, threshold=-1.0)
    assert len({r["score"] for r in out}) == 1 and len(out) == 4
    flat = np.broadcast_to(np.float32(1.0), (6,))
    assert scored(BASE, query=flat) == scored(BASE, query=np.ones(6, np.float32))


@pytest.mark.parametrize("param, value, type_name", [
    ("matrix", BASE.astype(np.float64), "ndarray"),
    ("matrix", BASE.astype(np.float16), "ndarray"),
    ("matrix", BASE.astype(">f4"), "ndarray"),
    ("matrix", BASE.tolist(), "list"),
    ("matrix", BASE[0], "ndarray"),
    ("matrix", BASE.view(Sub)[None], "Sub"),
    ("matrix", memoryview(BASE), "memoryview"),
    ("query_vec", np.float32(1.0), "float32"),
    ("query_vec", np.array(1.0, np.float32), "ndarray"),
    ("query_vec", QUERY[None, :], "ndarray"),
    ("query_vec", (1.0,) * 6, "tuple"),
    ("query_vec", None, "NoneType"),
    ("not_like_vec", QUERY.astype(np.int32), "ndarray"),
    ("timestamps", np.zeros(9, np.float32), "ndarray"),
    ("mask", np.ones(9, np.int8), "ndarray"),
    ("mask", np.ones(9, np.uint8), "ndarray"),
    ("traj_to_vec", [0.0] * 6, "list"),
], ids=lambda v: v if isinstance(v, str) else None)
def test_rejected_arrays(param, value, type_name):
    args = dict(matrix=BASE, ids=IDS, id_to_idx={}, query_vec=QUERY)
    args[param] = value
    with pytest.raises(TypeError) as info:
        q.score_candidates(**args)
    assert str(info.value) == ARRAY_MESSAGE.format(param, type_name)


def test_mmr_rejects_wrong_arrays():
    with pytest.raises(TypeError, match=r"^argument 'similarities': 'list' object"):
        q.mmr_select_py([0], [1.0], BASE, 1, 0.5)
    with pytest.raises(TypeError, match=r"^argument 'matrix': 'ndarray' object"):
        q.mmr_select_py([0], np.ones(9, np.float32), BASE.astype(np.float64), 1, 0.5)


def test_accepted_flag_and_timestamp_arrays():
    mask = np.ones(9, bool)
    mask[0] = False
    out = scored(BASE, mask=mask, timestamps=np.zeros(9), recent=True)
    assert "d0" not in {r["id"] for r in out} and len(out) == 8


def test_same_array_for_two_parameters_and_arrays_untouched():
    m = BASE.copy()
    v = QUERY.copy()
    before = (m.copy(), v.copy())
    q.score_candidates(m, IDS, {"d1": 1}, v, traj_from_vec=v, traj_to_vec=v, not_like_vec=v,
                       like_ids=["d1"], diverse=True, limit=3)
    np.testing.assert_array_equal(m, before[0])
    np.testing.assert_array_equal(v, before[1])
    m[0, 0] = 5.0  # still writeable by its owner, and resizable: no reference is left behind
    m.resize((3, 6), refcheck=True)
