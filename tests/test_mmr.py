"""mmr_select_py: greedy order, tie-breaks, non-finite values, double arithmetic and faults."""
import math

import numpy as np
import pytest

import _quantelle as q
import model

F32 = np.float32
EYE = np.eye(6, dtype=F32)
# Ten rows; rows 7, 3, 9 are unit vectors with pair values 7-3 0.95, 7-9 0.1, 3-9 0.2.
EXAMPLE = np.zeros((10, 3), F32)
EXAMPLE[[7, 3, 9]] = np.linalg.cholesky([[1, 0.95, 0.1], [0.95, 1, 0.2], [0.1, 0.2, 1]])
EXAMPLE_SIMS = np.zeros(10, F32)
EXAMPLE_SIMS[[7, 3, 9]] = [0.9, 0.8, 0.7]
NAN_ROW = np.array([[1, 0], [np.nan, 0], [0.6, 0.8]], F32)


def rel(*values):
    return np.array(values, F32)


def flat(pairs):  # pytest.approx does not compare nested tuples
    return [x for pair in pairs for x in pair]


@pytest.mark.parametrize("candidates, sims, m, k, lam, expected", [
    ([7, 3, 9], EXAMPLE_SIMS, EXAMPLE, 3, 0.5, [(7, 0.45), (9, 0.3), (3, -0.075)]),
    (np.array([3, 9], np.uint64), EXAMPLE_SIMS, EXAMPLE, 5, 0.5, [(3, 0.4), (9, 0.25)]),
    ([7], EXAMPLE_SIMS, EXAMPLE, 4, 2.0, [(7, 1.8)]),
    ([4, 2, 5], rel(0, 0, 0.5, 0, 0.5, 0.5), EYE, 3, 0.5, [(4, 0.25), (2, 0.25), (5, 0.25)]),
    ([0, 1, 2], rel(0.5, np.nan, 0.25), EYE, 3, 0.5, [(0, 0.25), (2, 0.125)]),
    ([1, 0], rel(0.5, np.nan), EYE, 3, 0.5, [(1, math.nan), (0, 0.25)]),
    ([0, 1, 2], rel(0.5, -np.inf, np.inf), EYE, 3, 0.5, [(0, 0.25), (2, math.inf)]),
    ([0, 1, 2], rel(0.5, 0.5, 0.5), NAN_ROW, 3, 0.5, [(0, 0.25), (1, math.inf), (2, 0.25 - 0.5 * float(F32(0.6)))]),
    ([0, 1, 2], rel(0.5, 0.5, 0.5), NAN_ROW, 3, 1.0, [(0, 0.5), (2, 0.5)]),  # 0 * -inf: NaN, never picked
], ids=["worked-example", "numpy-uint-array", "lambda-outside-range", "tie-to-lower-position", "nan-relevance-stops",
        "nan-first-still-picked", "infinite-relevance", "nan-pair-never-raises-max", "lambda-1-nan-redundancy"])
def test_selection(candidates, sims, m, k, lam, expected):
    for select in (q.mmr_select_py, model.mmr_select):
        got = select(candidates, sims, m, k, lam)
        assert [i for i, _ in got] == [i for i, _ in expected]
        assert flat(got) == pytest.approx(flat(expected), abs=1e-6, nan_ok=True)


@pytest.mark.parametrize("candidates, sims_len, message", [
    ([0, 1, 6], 10, "assertion failed: index < dim"),
    ([4, 6], 5, "assertion failed: index < dim"),  # every row is checked before any relevance
    ([0, 4], 4, "index out of bounds: the len is 4 but the index is 4"),
], ids=["row-beyond", "rows-checked-first", "similarities-short"])
def test_faults(candidates, sims_len, message, panics):
    panics(message, q.mmr_select_py, candidates, np.ones(sims_len, F32), EYE, 1, 0.5)


def test_empty_candidates_check_nothing():
    assert q.mmr_select_py(np.array([], np.int64), np.zeros(0, F32), np.zeros((0, 0), F32), 5, np.nan) == []


def exact_rows(rng, n, d):
    """Quarters up to 1, d <= 8: every dot of two rows, or of a row and an axis, is exact in float32
    in any order, so module and model agree bit for bit, exact ties included."""
    return (rng.integers(-4, 5, (n, d)) / 4).astype(F32)


@pytest.mark.parametrize("seed", range(200))
def test_selection_matches_the_model_bit_for_bit(seed, scoring_module):
    """Small and large pools, repeated rows, equal relevances, rows read in place or gathered: by
    score bounds, pair matrix or passes, the picks of a full scan, ties to the lower position."""
    rng = np.random.default_rng(seed)
    large = seed % 8 == 1
    rows = int(rng.integers(50, 400) if large else rng.integers(1, 41))
    m = exact_rows(rng, rows, int(rng.integers(1, 9)))
    m = [m, np.asfortranarray(m), np.repeat(m, 2, axis=1)[:, ::2], m[::-1]][seed // 2 % 4]
    cands = rng.integers(0, rows, int(rng.integers(100, 1500) if large else rng.integers(0, 31))).tolist()
    if seed % 3 == 0:
        cands = np.array(cands, np.int64)
    sims = (rng.integers(-8, 9, rows + int(rng.integers(0, 3))) / 8).astype(F32)
    k = 2**64 - 1 if seed % 10 == 4 else int(rng.integers(2, 60) if large else rng.integers(0, len(cands) + 3))
    lam = float(rng.choice([0.7, 0.5, 0.25, 0.0, 1.0, rng.uniform(0, 1)]))
    assert scoring_module.mmr_select_py(cands, sims, m, k, lam) == model.mmr_select(cands, sims, m, k, lam)


@pytest.mark.parametrize("seed", range(16))
def test_large_selections_rank_ties_by_row(seed, scoring_module):
    """Scans across window edges, rows read in place or copied; a pool (or a limit) that is a
    large share of the rows is selected on integer keys, a small limit through a bounded heap;
    all must rank by score, equal scores (+0 and -0 alike) by row, NaN and infinities left out."""
    rng = np.random.default_rng(100 + seed)
    n = int(rng.integers(100, 2000))
    m = exact_rows(rng, n, 6)
    negative_zero = rng.random(n) < 0.1
    m[negative_zero, 0] = -0.0
    m[negative_zero, 1:] = -np.abs(m[negative_zero, 1:])  # so the score is -0, not +0
    m[rng.integers(0, n, 3), 0] = [np.inf, -np.inf, np.nan]
    m = np.asfortranarray(m) if seed % 2 else m
    axis = np.eye(6, dtype=F32)[0]
    share = int(rng.choice([n // 8, n // 2, n - 1, n + 5, 20]))
    ids = [f"r{i}" for i in range(n)]
    for kw in ({"diverse": True, "limit": int(rng.integers(1, 40)), "oversample": share,
                "mmr_lambda": float(rng.choice([0.7, 0.3]))}, {"limit": share}, {"limit": int(rng.integers(1, 7))}):
        assert scoring_module.score_candidates(m, ids, {}, axis, **kw) == model.score_candidates(m, ids, {}, axis, **kw)


@pytest.mark.parametrize("step", [2, 8, 64, 1000])
def test_large_selections_with_high_scores_on_a_lattice_of_rows(step, scoring_module):
    """Scores high only on every step-th row, the others lower: a selection that looks at
    evenly spread rows first sees a lattice that is not what the rows hold."""
    n = 1024
    m = exact_rows(np.random.default_rng(step), n, 6)
    m[:, 0] = np.where(np.arange(n) % step == 0, 1.0, m[:, 0] / 2)
    ids = [f"r{i}" for i in range(n)]
    axis = np.eye(6, dtype=F32)[0]
    for kw in ({"limit": n // 2}, {"limit": 100}, {"diverse": True, "limit": 10, "oversample": 300}):
        assert scoring_module.score_candidates(m, ids, {}, axis, **kw) == model.score_candidates(m, ids, {}, axis, **kw)


@pytest.mark.parametrize("setup, call, limit_mb", [
    ("m = rng.standard_normal((8000, 4), np.float32)",
     "q.mmr_select_py(range(8000), np.ones(8000, np.float32), m, 10, 0.7)", 64),
    ("m = rng.standard_normal((200_000, 64), np.float32)",
     "q.mmr_select_py(range(200_000), np.ones(200_000, np.float32), m, 10, 0.7)", 40),
    ("m = rng.standard_normal((100_000, 64), np.float32); ids = [str(i) for i in range(100_000)]",
     "q.score_candidates(m, ids, {}, m[0], diverse=True, limit=10, oversample=50_000)", 12),
], ids=["8k-candidates-few-picks", "200k-candidates", "50k-oversample"])
def test_large_pools_never_build_the_pair_matrix(setup, call, limit_mb, run_python):
    """Neither the pair values (256 MB, mostly unread; 160 GB) nor a copy of the pool's rows (51 MB, 13 MB)."""
    done = run_python(f"""
        import resource, numpy as np, _quantelle as q
        rng = np.random.default_rng(2)
        {setup}
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        assert len({call}) == 10
        print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) // 1024)
    """)
    assert done.returncode == 0 and int(done.stdout) < limit_mb, (done.stdout, done.stderr)  # MB of peak growth
