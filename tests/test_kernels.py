"""Every kernel variant this CPU runs, and the portable model of the AVX-512 table, held
against float64 NumPy, their own dot, and the AVX2 table's bits."""
import ctypes
import json
import mmap
import os
import subprocess
import sys

import numpy as np
import pytest

import _quantelle_probe as probe

MODEL = "avx512-model"  # the AVX-512 table's loops on emulated registers: runs on any CPU
VARIANTS = probe.variants() + [MODEL]
SIXTEEN_LANES = ["avx512", MODEL]
# Every tail of a 4-wide scalar, 8-wide and 2 x 16-wide loop and of 128-float segments, plus
# real embedding sizes.
LENGTHS = [0, 1, 7, 8, 9, 15, 16, 17, 31, 32, 33, 47, 63, 64, 65, 100, 127, 128, 129, 136, 383, 384,
           385, 1000]
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


def tile(variant, rows, queries):
    out = probe.dot_tile(variant, rows, queries, len(rows), *queries.shape)
    return np.frombuffer(out, dtype=np.float32).reshape(len(queries), len(rows))


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


def at_offset(values, m):
    """A copy of `values` that starts m floats past a 64-byte boundary."""
    raw = np.empty(values.size + 32, np.float32)
    skip = -raw.ctypes.data % 64 // 4 + m
    view = raw[skip:skip + values.size].reshape(values.shape)
    view[...] = values
    return view


# Rows that start off a cache line (NumPy's usually start 16 bytes past one) are read by aligned
# loads and joined in registers; every offset gives the aligned rows' bits. With d a multiple of
# 16 all rows of a block share the offset; otherwise only single rows and dot do.
@pytest.mark.parametrize("d", [16, 17, 31, 32, 47, 48, 100, 384, 385])
@pytest.mark.parametrize("variant", VARIANTS)
def test_rows_off_a_cache_line_score_the_aligned_bits(variant, d):
    rng = np.random.default_rng(d)
    rows, queries = floats(rng, probe.BLOCK_ROWS, d), floats(rng, 3, d)
    aligned = at_offset(rows, 0)
    for m in range(16):
        moved = at_offset(rows, m)
        for nq in (1, 2, 3):
            assert bits(block(variant, moved, queries[:nq])) == bits(block(variant, aligned, queries[:nq])), m
        assert bits(block(variant, moved[:5], queries[:1])) == bits(block(variant, aligned[:5], queries[:1])), m
        assert probe.dot(variant, moved[3], queries[0]) == probe.dot(variant, aligned[3], queries[0]), m


# Remainders of every tile height (4 and 6 rows) and width (3 and 4 queries), and a full 64.
@pytest.mark.parametrize("d", [0, 1, 7, 8, 9, 15, 16, 17, 33, 1000])
@pytest.mark.parametrize("nrows, nq", [(1, 1), (5, 7), (13, 64), (7, 2)])
@pytest.mark.parametrize("variant", VARIANTS)
def test_dot_tile_is_bit_identical_to_dot(variant, nrows, nq, d):
    rng = np.random.default_rng([nrows, nq, d])
    rows, queries = floats(rng, nrows, d), floats(rng, nq, d)
    assert bits(tile(variant, rows, queries)) == bits([[probe.dot(variant, r, x) for r in rows] for x in queries])


def sixteen_lanes(variant):
    if "avx2" not in probe.variants():
        pytest.skip("this CPU does not run the AVX2 kernels")
    if variant not in probe.variants() + [MODEL]:
        pytest.skip("this CPU does not run the AVX-512 kernels (the model runs their loops here)")
    return variant


# Every tail of 16 lanes (0-47) and real sizes up to 2048. "underflow": products below the
# smallest subnormal, so that chain lanes hold -0: a tail that added +0 to a lane the AVX2
# tail leaves alone would turn a -0 total (d = 24, 40, ...) into +0.
@pytest.mark.parametrize("data", ["normal", "underflow"])
@pytest.mark.parametrize("variant", SIXTEEN_LANES)
def test_the_sixteen_lane_table_computes_the_avx2_bits(variant, data):
    variant = sixteen_lanes(variant)
    for d in [*range(48), 64, 100, 384, 768, 1000, 2048]:
        rng = np.random.default_rng(d)
        rows, queries = floats(rng, probe.BLOCK_ROWS, d), floats(rng, 7, d)
        if data == "underflow":
            rows, queries = np.abs(rows) * np.float32(1e-23), -np.abs(queries) * np.float32(1e-23)
        for nq in (1, 2, 3):
            assert bits(block(variant, rows, queries[:nq])) == bits(block("avx2", rows, queries[:nq])), d
        assert bits(tile(variant, rows, queries)) == bits(tile("avx2", rows, queries)), d
        assert bits(gram(variant, rows)) == bits(gram("avx2", rows)), d
    assert bits(probe.dot(variant, rows[0], queries[0])) == bits(probe.dot("avx2", rows[0], queries[0]))


def blocks_of(matrix, queries, first, last):
    """scan_tiles over matrix[first:last], a view that starts where its contiguous base does."""
    base = matrix if matrix.base is None else matrix.base
    return probe.scan_tiles(base, *matrix.shape, *matrix.strides, queries, len(queries), first, last)


# Each block's scores are dot's, query-major; blocks come in order and cover the range once.
@pytest.mark.parametrize("layout", ["contiguous", "strided"])
@pytest.mark.parametrize("first, last, nq", [(0, 700, 64), (239, 481, 5), (3, 4, 1), (9, 9, 3)],
                         ids=["all-64", "across-blocks-5", "one-row", "empty"])
@pytest.mark.parametrize("variant", VARIANTS)
def test_scan_tiles_hands_over_each_row_once_with_dot_scores(variant, first, last, nq, layout):
    rng = np.random.default_rng([first, nq])
    wide = floats(rng, 700, 2 * 33)
    matrix = np.ascontiguousarray(wide[:, :33]) if layout == "contiguous" else wide[:, ::2]
    queries = floats(rng, nq, 33)
    probe.use(variant)
    blocks = blocks_of(matrix, queries, first, last)
    assert [r0 for r0, _, _ in blocks] == list(range(first, last, probe.TILE_BLOCK_ROWS))
    assert sum(count for _, count, _ in blocks) == last - first
    for r0, count, scores in blocks:
        got = np.frombuffer(scores, dtype=np.float32).reshape(nq, count)
        rows = np.ascontiguousarray(matrix[r0 : r0 + count])
        assert bits(got) == bits([[probe.dot(variant, r, x) for r in rows] for x in queries])


@pytest.mark.parametrize("first, last, nq, message", [
    (5, 4, 1, "scan_tiles: rows outside the matrix"),
    (0, 11, 1, "scan_tiles: rows outside the matrix"),
    (0, 10, 65, "dot_tile: more queries than the kernel takes"),
], ids=["reversed", "past-the-end", "65-queries"])
def test_scan_tiles_faults_on_a_broken_precondition(first, last, nq, message):
    matrix, queries = np.zeros((10, 4), np.float32), np.zeros((nq, 4), np.float32)
    with pytest.raises(RuntimeError, match=f"^{message}$"):
        blocks_of(matrix, queries, first, last)


WIDEST = probe.variants()[-1]
HAS_AVX512 = "avx512" in probe.variants()


# The module's choice, seen through the probe (built from the same sources) and through the
# module's own scores: rows scaled by 2^16 put the last bits of a dot above the 4-decimal
# rounding, so the scalar reference and the SIMD tables score them differently.
@pytest.mark.parametrize("setting, chosen, reasons", [
    ("scalar", "scalar", {"forced"}),
    (WIDEST, WIDEST, {"forced"}),
    ("avx512", "avx512" if HAS_AVX512 else WIDEST, {"forced"} if HAS_AVX512 else {"only"}),
    ("no-such-kernel", None, {"only", "measured"}),
    (None, None, {"only", "measured"}),
], ids=["scalar", "widest", "avx512", "unknown-name-ignored", "unset"])
def test_the_kernel_choice_honours_the_variable(setting, chosen, reasons):
    code = """if True:
        import json, numpy as np, _quantelle, _quantelle_probe as probe
        rng = np.random.default_rng(7)
        rows = rng.standard_normal((64, 384)).astype(np.float32) * np.float32(2.0**16)
        query = rng.standard_normal(384).astype(np.float32)
        ids = [str(i) for i in range(64)]
        score = lambda m: [r["score"] for r in m.score_candidates(rows, ids, {}, query, limit=64)]
        module = score(_quantelle)
        by = {}
        for v in probe.variants():
            probe.use(v)
            by[v] = score(probe)
        name, reason, timings = probe.chosen()
        print(json.dumps([name, reason, sorted(timings), [v for v in by if by[v] == module], by]))
    """
    env = {k: v for k, v in os.environ.items() if k != "QUANTELLE_KERNEL"}
    if setting is not None:
        env["QUANTELLE_KERNEL"] = setting
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120)
    assert done.returncode == 0, done.stderr
    name, reason, timed, module_like, by = json.loads(done.stdout)
    assert reason in reasons
    assert name == chosen if chosen else (name == WIDEST if reason == "only" else name in ("avx2", "avx512"))
    assert timed == (["avx2", "avx512"] if reason == "measured" else [])
    assert name in module_like and by["scalar"] != by[WIDEST] or WIDEST == "scalar"
