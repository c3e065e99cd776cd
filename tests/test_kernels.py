"""Every kernel variant this CPU runs, held against the scalar reference and float64 NumPy."""

import ctypes
import mmap
import re

import numpy as np
import pytest

import _quantelle_probe as probe

VARIANTS = probe.variants()
# Every tail of a 4-wide scalar, 8-wide and 2 x 16-wide loop, plus real embedding sizes.
LENGTHS = [0, 1, 7, 8, 9, 15, 16, 17, 31, 32, 33, 47, 63, 64, 65, 384, 768, 1000]
U32 = 2.0**-24  # unit roundoff of float32


def floats(rng, *shape):
    return rng.standard_normal(shape).astype(np.float32)


def dot_bound(a, b):
    """First-order error bound of a float32 dot product in any order, with or without FMA."""
    n = a.shape[-1]
    return (n + 1) * U32 * (np.abs(a.astype(np.float64)) @ np.abs(b.astype(np.float64)).T) + 1e-30


def bits(values):
    return np.asarray(values, dtype=np.float32).view(np.uint32).tolist()


def block(variant, rows, queries):
    out = np.frombuffer(probe.dot_block(variant, rows, queries), dtype=np.float32)
    return out.reshape(len(rows), len(queries))


def gram(variant, e):
    return np.frombuffer(probe.gram(variant, e), dtype=np.float32).reshape(len(e), len(e))


def test_dispatch_picks_the_widest_variant_this_cpu_runs():
    assert VARIANTS[0] == "scalar"
    assert probe.selected() == VARIANTS[-1]


@pytest.mark.parametrize("n", LENGTHS)
@pytest.mark.parametrize("variant", VARIANTS)
def test_dot_matches_float64_and_the_reference(variant, n):
    rng = np.random.default_rng(n)
    a, b = floats(rng, n), floats(rng, n)
    exact = float(a.astype(np.float64) @ b.astype(np.float64))
    bound = float(dot_bound(a, b))
    got = probe.dot(variant, a, b)
    assert abs(got - exact) <= bound
    assert abs(got - probe.dot("scalar", a, b)) <= 2 * bound
    assert np.float32(got) == got  # a float32 result, not a wider sum


@pytest.mark.parametrize("d", [0, 1, 9, 16, 33, 47, 63, 100, 384, 1000])
@pytest.mark.parametrize("nq", [1, 2, 3])
@pytest.mark.parametrize("count", [1, 2, 3, probe.BLOCK_ROWS])
@pytest.mark.parametrize("variant", VARIANTS)
def test_dot_block_is_bit_identical_to_dot(variant, count, nq, d):
    rng = np.random.default_rng([count, nq, d])
    rows, queries = floats(rng, count, d), floats(rng, nq, d)
    expected = [[probe.dot(variant, r, q) for q in queries] for r in rows]
    assert bits(block(variant, rows, queries)) == bits(expected)


@pytest.mark.parametrize("d, nq", [(383, 1), (385, 1), (385, 3)])  # masked tails
@pytest.mark.parametrize("variant", VARIANTS)
def test_a_row_scores_the_same_in_every_block_position(variant, d, nq):
    rng = np.random.default_rng(7)
    n = probe.BLOCK_ROWS
    row, queries, others = floats(rng, 1, d), floats(rng, nq, d), floats(rng, n - 1, d)
    alone = bits(block(variant, row, queries)[0])
    for pos in range(n):
        rows = np.concatenate([others[:pos], row, others[pos:]])
        assert bits(block(variant, rows, queries)[pos]) == alone


# 12 KB rows of 3001: a 130-row matrix is split across several L2-sized panels of "j" rows.
@pytest.mark.parametrize("m, d", [(m, d) for d in (0, 1, 33, 385) for m in (0, 1, 2, 3, 5, 17, 64, 130)]
                         + [(130, 3001)])
@pytest.mark.parametrize("variant", VARIANTS)
def test_gram_is_symmetric_and_close_to_float64(variant, m, d):
    e = floats(np.random.default_rng([m, d]), m, d)
    g = gram(variant, e)
    assert bits(g) == bits(g.T)
    exact = e.astype(np.float64) @ e.T.astype(np.float64)
    assert np.all(np.abs(g - exact) <= dot_bound(e, e))


SPECIALS = [
    ("nan", np.nan, 1.0, None, "nan"),
    ("inf", np.inf, 1.0, None, "inf"),
    ("inf-times-zero", np.inf, 0.0, None, "nan"),
    ("opposite-infinities", np.inf, 1.0, -np.inf, "nan"),
]


@pytest.mark.parametrize("pos", [0, 20, 36], ids=["head", "loop", "tail"])
@pytest.mark.parametrize("a_val, b_val, a_other, expect", [s[1:] for s in SPECIALS],
                         ids=[s[0] for s in SPECIALS])
@pytest.mark.parametrize("variant", VARIANTS)
def test_non_finite_values_propagate(variant, a_val, b_val, a_other, expect, pos):
    rng = np.random.default_rng(pos)
    a, b = floats(rng, 37), floats(rng, 37)
    a[pos], b[pos] = a_val, b_val
    if a_other is not None:
        a[(pos + 5) % 37], b[(pos + 5) % 37] = a_other, 1.0
    got = probe.dot(variant, a, b)
    assert np.isnan(got) if expect == "nan" else got == np.inf
    rows = np.stack([floats(rng, 37), a, floats(rng, 37)])
    scores = block(variant, rows, np.stack([b, b]))
    assert np.all(np.isfinite(scores[[0, 2]]))  # neighbours of the bad row are untouched
    assert np.array_equal(np.isnan(scores[1]), [expect == "nan"] * 2)


@pytest.mark.parametrize("variant", VARIANTS)
def test_gram_nan_row_spoils_only_its_row_and_column(variant):
    e = floats(np.random.default_rng(5), 9, 33)
    e[4, 30] = np.nan
    bad = np.zeros((9, 9), dtype=bool)
    bad[4, :] = bad[:, 4] = True
    assert np.array_equal(np.isnan(gram(variant, e)), bad)


@pytest.fixture
def at_page_end():
    """Copies arrays so that each ends exactly where an inaccessible page begins: a kernel
    that reads past the end faults instead of reading a neighbour's bytes."""
    page, libc, maps = mmap.PAGESIZE, ctypes.CDLL(None), []
    libc.mprotect.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]

    def place(values):
        flat = np.ascontiguousarray(values, dtype=np.float32)
        mem = mmap.mmap(-1, 2 * page)
        guard = ctypes.addressof(ctypes.c_char.from_buffer(mem)) + page
        assert libc.mprotect(guard, page, 0) == 0  # PROT_NONE
        maps.append((mem, guard))
        view = np.frombuffer(mem, dtype=np.float32, count=flat.size, offset=page - flat.nbytes)
        view[...] = flat.ravel()
        return view.reshape(flat.shape)

    yield place
    for mem, guard in maps:
        assert libc.mprotect(guard, page, mmap.PROT_READ | mmap.PROT_WRITE) == 0


@pytest.mark.parametrize("n", [1, 7, 9, 17, 33, 47])
@pytest.mark.parametrize("variant", VARIANTS)
def test_tails_never_read_past_the_end(variant, n, at_page_end):
    rng = np.random.default_rng(n)
    a, b, rows, e = floats(rng, n), floats(rng, n), floats(rng, 4, n), floats(rng, 7, n)
    assert probe.dot(variant, at_page_end(a), at_page_end(b)) == probe.dot(variant, a, b)
    assert np.array_equal(block(variant, at_page_end(rows), at_page_end(b[None, :])),
                          block(variant, rows, b[None, :]))
    assert np.array_equal(gram(variant, at_page_end(e)), gram(variant, e))


@pytest.mark.parametrize("call, message", [
    (lambda: probe.dot("sse9", np.ones(3, np.float32), np.ones(3, np.float32)),
     "unknown or unsupported variant 'sse9'"),
    (lambda: probe.dot("scalar", np.ones(3, np.float64), np.ones(3, np.float32)),
     "a: expected float32 data"),
    (lambda: probe.dot("scalar", np.ones(3, np.float32), np.ones(4, np.float32)),
     "dot: lengths differ"),
    (lambda: probe.dot_block("scalar", np.ones((probe.BLOCK_ROWS + 1, 3), np.float32),
                             np.ones((1, 3), np.float32)),
     "dot_block: unsupported shapes"),
    (lambda: probe.dot_block("scalar", np.ones((2, 3), np.float32), np.ones((4, 3), np.float32)),
     "dot_block: unsupported shapes"),
    (lambda: probe.gram("scalar", np.ones(3, np.float32)), "e: expected 2 dimension(s), got 1"),
], ids=["variant", "dtype", "lengths", "rows", "queries", "gram-ndim"])
def test_probe_rejects_bad_input(call, message):
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        call()
