"""Array arguments: every layout NumPy allows (Fortran order, negative, zero and odd byte strides,
slices, read-only, misaligned) is read in logical order, as its contiguous copy."""
import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

import _quantelle as q

F32 = np.float32
S, MMR = q.score_candidates, q.mmr_select_py
RNG = np.random.default_rng(7)
BASE = RNG.standard_normal((7, 4)).astype(F32)
QUERY = RNG.standard_normal(4).astype(F32)


def strided(source, shape, byte_strides, dtype=F32):
    """A view with these byte strides (any sign, zero, odd) over a copy of source's bytes exactly
    as long as its reach: a read outside the view is one outside an allocation (ASan reports)."""
    dtype = np.dtype(dtype)
    lo = sum((n - 1) * s for n, s in zip(shape, byte_strides) if s < 0 and n > 0)
    hi = sum((n - 1) * s for n, s in zip(shape, byte_strides) if s > 0 and n > 0)
    raw = np.frombuffer(np.asarray(source).tobytes(), np.uint8)
    buffer = np.resize(raw, hi - lo + dtype.itemsize)  # repeats the source bytes as needed
    first = buffer[-lo:-lo + dtype.itemsize].view(dtype)
    return as_strided(first, shape=shape, strides=byte_strides, writeable=False)


# Any 4 consecutive bytes in [0x30, 0x40) are a small positive float32, any 8 in [0x40, 0x42) a
# float64 between 2 and 2**32 (timestamps from 1970 on), so misaligned views still score finite.
FLOAT_BYTES = RNG.integers(0x30, 0x40, 256, dtype=np.uint8)
STAMP_BYTES = RNG.integers(0x40, 0x42, 256, dtype=np.uint8)
MASK_BYTES = np.array([1, 0, 1, 1, 2, 1, 0, 255], np.uint8)  # NumPy stores any non-zero as true


LAYOUTS = {
    "fortran": np.asfortranarray(BASE),
    "negative-rows": BASE[::-1].copy()[::-1],
    **{name: strided(FLOAT_BYTES, shape, strides) for name, (shape, strides) in {
        "row-stride-0": ((5, 4), (0, 4)),
        "misaligned-rows": ((5, 4), (17, 4)),
        "col-stride-5": ((5, 4), (21, 5)),
        "negative-odd": ((5, 4), (-23, -5)),
        "zero-rows": ((0, 4), (3, 5)),
    }.items()},
}


@pytest.mark.parametrize("name", list(LAYOUTS))
def test_every_matrix_layout_reads_as_its_contiguous_copy(name):
    view = LAYOUTS[name]
    copy, n = np.ascontiguousarray(view), len(view)
    ids = [f"r{i}" for i in range(n)]
    idx = {text: i for i, text in enumerate(ids)}
    vec = lambda offset: strided(FLOAT_BYTES[offset:], (4,), (4,))  # noqa: E731
    full = dict(diverse=True, limit=4, oversample=5, like_ids=ids[1:2], threshold=-1.0, not_like_vec=vec(0),
                traj_from_vec=vec(16), traj_to_vec=vec(32))
    for kwargs in ({"threshold": -1.0}, full, {**full, "pre_filter_ids": ids[::-1]}):
        assert S(view, ids, idx, QUERY, **kwargs) == S(copy, ids, idx, QUERY, **kwargs)
    candidates, sims = list(range(n)) * 2, np.linspace(1, 0, max(n, 1)).astype(F32)
    assert MMR(candidates, sims, view, 8, 0.5) == MMR(candidates, sims, copy, 8, 0.5)


@pytest.mark.parametrize("strides", [(4, 4), (5, 4), (0, 4), (-3, 1)])
def test_zero_width_rows_in_any_layout(strides):
    view = strided(FLOAT_BYTES, (5, 0), strides)
    ids, sims = [f"r{i}" for i in range(5)], np.ones(5, F32)
    assert MMR([0, 3, 1], sims, view, 2, 0.5) == MMR([0, 3, 1], sims, np.zeros((5, 0), F32), 2, 0.5)
    kwargs = dict(threshold=-1.0, diverse=True, like_ids=ids[:1])
    assert S(view, ids, {}, np.zeros(0, F32), **kwargs) == S(np.zeros((5, 0), F32), ids, {}, np.zeros(0, F32), **kwargs)


@pytest.mark.parametrize("stride", [0, 3, 8, -1, -7])
def test_strided_vectors_read_as_their_copies(stride):
    n, d = BASE.shape
    query, other = strided(FLOAT_BYTES, (d,), (stride,)), strided(FLOAT_BYTES[7:], (d,), (stride,))
    sims = strided(FLOAT_BYTES, (n,), (stride,))
    mask = strided(MASK_BYTES, (n,), (stride,), np.bool_)
    stamps = strided(STAMP_BYTES, (n,), (stride * 3,), np.float64)  # not multiples of 8 mostly
    ids, plain = [f"r{i}" for i in range(n)], np.ascontiguousarray
    for kwargs in (dict(mask=mask, threshold=-1.0), dict(timestamps=stamps, recent=True),
                   dict(not_like_vec=query, traj_from_vec=other, traj_to_vec=query)):
        copies = {k: plain(v) if isinstance(v, np.ndarray) else v for k, v in kwargs.items()}
        assert S(BASE, ids, {}, query, **kwargs) == S(BASE, ids, {}, plain(query), **copies)
    assert MMR([5, 0, 3, 3], sims, BASE, 4, 0.7) == MMR([5, 0, 3, 3], plain(sims), BASE, 4, 0.7)


def test_same_array_for_two_parameters_and_arrays_untouched():
    m, v = BASE.copy(), QUERY.copy()
    S(m, [f"r{i}" for i in range(7)], {"r1": 1}, v, traj_from_vec=v, traj_to_vec=v, not_like_vec=v,
      like_ids=["r1"], diverse=True, limit=3)
    assert np.array_equal(m, BASE) and np.array_equal(v, QUERY)
    m[0, 0] = 5.0  # still writeable by its owner, and resizable: no reference is left behind
    m.resize((3, 4), refcheck=True)
