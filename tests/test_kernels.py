"""Every kernel variant this CPU runs, held against float64 NumPy and its own dot."""
import ctypes
import mmap

import numpy as np
import pytest

import _quantelle_probe as probe

VARIANTS = probe.variants()
# Every tail of a 4-wide scalar, 8-wide and 2 x 16-wide loop, plus real embedding sizes.
LENGTHS = [0, 1, 7, 8, 9, 15, 16, 17, 31, 32, 33, 47, 63, 64, 65, 100, 383, 384, 385, 1000]
U32 = 2.0**-24  # unit roundoff of float32


def floats(rng, *shape):
    return rng.standard_normal(shape).astype(np.float32)


def dot_bound(a, b):
    """First-order error bound of a float32 dot product in any order, with or without FMA."""
    return (a.shape[-1] + 1) * U32 * (np.abs(a.astype(np.float64)) @ np.abs(b.astype(np.float64)).T) + 1e-30


def bits(values):
    return np.asarray(values, dtype=np.float32).view(np.uint32).tolist()


def block(variant, rows, queries):
    out = probe.dot_block(variant, rows, queries, *rows.shape[:1], *queries.shape)
    return np.frombuffer(out, dtype=np.float32).reshape(len(rows), len(queries))


def gram(variant, e):
    return np.frombuffer(probe.gram(variant, e, *e.shape), dtype=np.float32).reshape(len(e), len(e))


# Every row of a block, in every position and in a last partial block, scores what dot gives,
# and dot is as close to float64 as any summation order allows.
@pytest.mark.parametrize("d", LENGTHS)
@pytest.mark.parametrize("nq", [1, 2, 3])
@pytest.mark.parametrize("count", [1, 2, 3, 7, probe.BLOCK_ROWS])
@pytest.mark.parametrize("variant", VARIANTS)
def test_dot_block_is_bit_identical_to_an_accurate_dot(variant, count, nq, d):
    rng = np.random.default_rng([count, nq, d])
    rows, queries = floats(rng, count, d), floats(rng, nq, d)
    expected = [[probe.dot(variant, r, q) for q in queries] for r in rows]
    assert bits(block(variant, rows, queries)) == bits(expected)
    assert np.all(np.abs(np.array(expected) - rows.astype(np.float64) @ queries.T.astype(np.float64))
                  <= dot_bound(rows, queries))


# 12 KB rows of 3001: a 130-row matrix is split across several L2-sized panels of "j" rows.
@pytest.mark.parametrize("m, d", [(m, d) for d in (0, 1, 33, 385) for m in (0, 1, 2, 3, 5, 17, 64, 130)]
                         + [(130, 3001)])
@pytest.mark.parametrize("variant", VARIANTS)
def test_gram_is_symmetric_and_close_to_float64(variant, m, d):
    e = floats(np.random.default_rng([m, d]), m, d)
    g = gram(variant, e)
    assert bits(g) == bits(g.T)
    assert np.all(np.abs(g - e.astype(np.float64) @ e.T.astype(np.float64)) <= dot_bound(e, e))


@pytest.fixture
def at_page_end():
    """Copies arrays so that each ends exactly where an inaccessible page begins: a kernel
    that reads past the end faults instead of reading a neighbour's bytes."""
    page, libc, maps = mmap.PAGESIZE, ctypes.CDLL(None), []
    libc.mprotect.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]

    def place(values):
        mem = mmap.mmap(-1, 2 * page)
        guard = ctypes.addressof(ctypes.c_char.from_buffer(mem)) + page
        assert libc.mprotect(guard, page, 0) == 0  # PROT_NONE
        maps.append((mem, guard))
        view = np.frombuffer(mem, dtype=np.float32, count=values.size, offset=page - values.nbytes)
        view[...] = values.ravel()
        return view.reshape(values.shape)

    yield place
    for mem, guard in maps:
        assert libc.mprotect(guard, page, mmap.PROT_READ | mmap.PROT_WRITE) == 0


@pytest.mark.parametrize("n", [1, 7, 9, 17, 33, 47])
@pytest.mark.parametrize("variant", VARIANTS)
def test_tails_never_read_past_the_end(variant, n, at_page_end):
    rng = np.random.default_rng(n)
    a, rows, e = floats(rng, 1, n), floats(rng, 4, n), floats(rng, 7, n)
    assert probe.dot(variant, at_page_end(a[0]), at_page_end(rows[0])) == probe.dot(variant, a[0], rows[0])
    assert np.array_equal(block(variant, at_page_end(rows), at_page_end(a)), block(variant, rows, a))
    assert np.array_equal(gram(variant, at_page_end(e)), gram(variant, e))
