"""Hostile inputs: a type that impersonates NumPy's bool, arrays broadcast to the largest sizes
NumPy allows, and counts near 2**64. Each ends in a clean result or a Python exception, never a
crash, a hang or a read outside the array."""
import os

import numpy as np
import pytest

import _quantelle as q

F32 = np.float32
S, MMR = q.score_candidates, q.mmr_select_py
RNG = np.random.default_rng(2024)
M, QUERY = RNG.standard_normal((6, 4)).astype(F32), RNG.standard_normal(4).astype(F32)
IDS = [f"doc-{i}" for i in range(6)]
U64_MAX = 2**64 - 1
MAX_F32_ELEMENTS = (2**63 - 1) // 4  # the most a float32 array may hold: its bytes fit an intp
# ASan's operator new aborts on an impossible allocation instead of throwing std::bad_alloc.
needs_real_allocator = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                          reason="ASan aborts on an impossible allocation")


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


def huge(shape, value=1.0):
    return np.broadcast_to(F32(value), shape)


def test_largest_broadcast_matrix_rows_reached_through_ids():
    n = MAX_F32_ELEMENTS
    tall = huge((n, 1))
    out = S(tall, ["r0", "r1"], {"first": 0, "last": n - 1, "second": 1}, huge((1,)), pre_filter_ids=["second"],
            like_ids=["last"], diverse=True, limit=U64_MAX, oversample=U64_MAX)
    assert out == [{"id": "r1", "score": 1.0}]
    assert [row for row, _ in MMR([n - 1, 0, n - 1], huge((n,), 0.5), tall, U64_MAX, 0.5)] == [n - 1, 0, n - 1]


def test_largest_broadcast_matrix_columns_with_a_short_query():
    wide = huge((1, MAX_F32_ELEMENTS))
    with pytest.raises(ValueError, match=f"^Query vector dimension 3 doesn't match cache dimension "
                                         f"{MAX_F32_ELEMENTS}$"):
        S(wide, ["a"], {}, np.ones(3, F32))


@pytest.mark.parametrize("call", [
    pytest.param(lambda: S(huge((MAX_F32_ELEMENTS, 1)), ["a"], {}, huge((1,))), marks=needs_real_allocator),
    pytest.param(lambda: S(huge((1, MAX_F32_ELEMENTS)), ["a"], {}, huge((MAX_F32_ELEMENTS,))),
                 marks=needs_real_allocator),
    pytest.param(lambda: MMR([0], huge((1,)), huge((1, MAX_F32_ELEMENTS)), 1, 0.5), marks=needs_real_allocator),
    # Past what any vector can hold: refused before an allocation is tried, so these run under
    # ASan too. Two rows once overflowed std::vector's max_size() into a PanicException.
    *[lambda rows=rows: MMR([0] * rows, huge((1,)), huge((1, MAX_F32_ELEMENTS)), 2, 0.5) for rows in (2, 3, 1000)],
], ids=["every-row-scored", "query-copy", "one-wide-row", "two-wide-rows", "three-wide-rows", "many-wide-rows"])
def test_impossible_allocations_raise_memory_error(call):
    with pytest.raises(MemoryError):
        call()


NEAR_MAX = [2**63 - 1, 2**63, U64_MAX - 1, U64_MAX, np.uint64(U64_MAX)]
NEAR_MAX_IDS = ["2**63-1", "2**63", "2**64-2", "2**64-1", "np-2**64-1"]


@pytest.mark.parametrize("diverse, limit, oversample", [
    (False, "huge", 200), (True, "huge", "huge"), (True, 3, "huge"), (True, "huge", 4),
], ids=["limit", "limit-and-oversample", "oversample", "limit-over-small-pool"])
@pytest.mark.parametrize("value", NEAR_MAX, ids=NEAR_MAX_IDS)
def test_counts_near_2_64_behave_as_all_rows(value, diverse, limit, oversample):
    def run(big):
        return S(M, IDS, {}, QUERY, diverse=diverse, threshold=-1.0, limit=big if limit == "huge" else limit,
                 oversample=big if oversample == "huge" else oversample)

    assert run(value) == run(len(M))


@pytest.mark.parametrize("value", NEAR_MAX, ids=NEAR_MAX_IDS)
def test_mmr_k_near_2_64_selects_every_candidate(value):
    candidates, sims = [3, 1, 4, 1, 5], np.linspace(1, 0, 6).astype(F32)
    assert MMR(candidates, sims, M, value, 0.5) == MMR(candidates, sims, M, len(candidates), 0.5)
