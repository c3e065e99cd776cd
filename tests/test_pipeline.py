"""score_candidates end to end: hand-computed edges of each modulation, early exits, limits, faults."""
import re
import time

import numpy as np
import pytest

import model

F32 = np.float32
DAY = 86400.0
M = np.array([[1, 0], [0.6, 0.8], [0, 1]], F32)
IDS = ["a", "b", "c"]
IDX = {"a": 0, "b": 1, "c": 2}
Q = np.array([2, 0], F32)  # normalised to [1, 0]: scores a 1.0, b 0.6, c 0.0
ALL = [("a", 1.0), ("b", 0.6), ("c", 0.0)]
X = 0.7453571557998657  # 0.7 * X rounds to 0.5218 in double (or narrowed after), 0.5217 in float32
SEVEN_TENTHS_BELOW = np.nextafter(F32(0.7), F32(0))


def vec(*xs):
    return np.array(xs, F32)


SCORER = None  # set per test by the fixture below


@pytest.fixture(autouse=True)
def module(scoring_module):
    """Every test here runs on the shipped module and on each kernel variant the CPU has."""
    global SCORER
    SCORER = scoring_module.score_candidates


def run(matrix=M, ids=IDS, idx=IDX, query=Q, scorer=None, **kw):
    kw = {k: v() if callable(v) else v for k, v in kw.items()}  # ages measured now, not at import
    return (scorer or SCORER)(matrix, ids, idx, query, **kw)


def pairs(result):
    return [(r["id"], r["score"]) for r in result]


def check(expected, **kw):
    """Module and model both give the hand-computed result."""
    assert pairs(run(**kw)) == expected
    assert pairs(run(**kw, scorer=model.score_candidates)) == expected


def ago(*days):
    """Timestamps this many days before the call that uses them (None: undated)."""
    return lambda: np.array([time.time() - d * DAY if d is not None else 0.0 for d in days])


def first_row(*row):
    """Rows scoring (row . [1, 0]), 0.5 and 0.2 against vec(1, 0)."""
    return np.array([row, [0.5, 0], [0.2, 0]], F32)


@pytest.mark.parametrize("kw, expected", [
    ({"ids": ["a", "b"], "limit": 2}, ALL[:2]),
    ({"traj_to_vec": vec(0, 1)}, ALL),
    ({"matrix": np.array([[X, np.sqrt(1 - F32(X) ** 2)]], F32), "ids": ["x"], "idx": {}, "query": vec(1, 0),
      "traj_from_vec": vec(0.3, -2), "traj_to_vec": vec(0.3, -2)}, [("x", 0.5217)]),
    ({"recent": True, "recent_days": 10, "timestamps": ago(10, -5, 30)}, [("b", 0.6), ("a", 0.5), ("c", 0.0)]),
    ({"recent": True}, ALL),
    ({"recent_days": 1.0, "timestamps": ago(30, 30, 30)}, ALL),
    ({"recent": True, "recent_days": 0.0, "timestamps": ago(5, None, None)}, [("b", 0.6), ("a", 0.0), ("c", 0.0)]),
    ({"recent": True, "recent_days": 0.0, "timestamps": ago(-3, 3, None)}, [("b", 0.0), ("c", 0.0)]),  # 0 / 0: NaN
    ({"recent": True, "timestamps": np.array([-5.0, np.nan, time.time() + 9 * DAY])}, ALL),
    ({"recent": True, "recent_days": 0.0, "timestamps": np.array([np.inf, -np.inf, 0.0])}, ALL[1:]),
    ({"recent": True, "recent_days": 1e39, "timestamps": ago(30, 60, 1)}, ALL),
    ({"threshold": 0.60000003}, ALL[:2]),  # float32(0.6) = 0.6000000238...: equal scores survive
    ({"matrix": np.array([[0.7, 0], [SEVEN_TENTHS_BELOW, 0]], F32), "ids": ["x", "y"], "idx": {},
      "query": vec(1, 0), "threshold": 0.7}, [("x", 0.7)]),
    ({"not_like_vec": vec(0, 0)}, ALL),
    ({"matrix": first_row(np.nan, 0), "query": vec(1, 0)}, [("b", 0.5), ("c", 0.2)]),
    ({"matrix": first_row(np.inf, 0), "query": vec(1, 0), "limit": 1}, []),  # +inf takes the place, drops
    ({"ids": [], "query": vec(1, 2, 3)}, []),
    ({"like_ids": []}, []),
    ({"like_ids": ["x"], "not_like_vec": vec(1, 2, 3)}, []),  # ends before the faulty penalty
    ({"limit": 0, "diverse": True, "oversample": 0}, []),
    ({"threshold": 1e39}, []),
    # A factor of -0.5 would turn a masked -inf into +inf, taking the only place.
    ({"recent": True, "recent_days": -10.0, "timestamps": ago(30, None, None), "mask": np.array([False, True, True]),
      "limit": 1}, [("b", 0.6)]),
    ({"matrix": np.array([[0, 1], [0, 1], [-1, 0]], F32), "recent": True, "recent_days": -10.0,
      "timestamps": ago(30, None, None), "limit": 2}, [("a", 0.0), ("b", 0.0)]),  # -0.5 * +0: -0 ties +0
    ({"limit": 0, "diverse": True}, [("a", 0.7)]),
    ({"limit": 2**64 - 1}, ALL),
    ({"limit": 2, "diverse": True, "oversample": 2**64 - 2, "mmr_lambda": 0.5}, [("a", 0.5), ("b", 0.0)]),
], ids=["short-ids-row-without-id-stays-out", "trajectory-one-end-ignored", "trajectory-weights-in-float32",
        "decay-half-life-future", "recent-without-timestamps", "recent-days-alone", "decay-zero-days-past",
        "decay-zero-days-future-dropped", "decay-non-positive-nan-future-unchanged", "decay-inf-timestamps-zero-days",
        "decay-days-beyond-float32", "threshold-rounded-to-float32", "threshold-compared-in-float32",
        "contrastive-zero", "nan-row", "plus-inf-takes-the-only-place", "empty-ids-wrong-query", "like-empty",
        "like-unknown-before-faulty-penalty", "diverse-no-pool", "threshold-beyond-float32", "mask-after-decay",
        "minus-zero-ties-plus-zero", "diverse-limit-0", "limit-near-2**64", "oversample-near-2**64-tie-to-better-place"])
def test_each_modulation(kw, expected):
    check(expected, **kw)


@pytest.mark.parametrize("value, expected", [
    (0.03125, 0.0313), (-0.03125, -0.0313), (0.123456, 0.1235), (0.6, 0.6), (-(2.0**-15), -0.0),
], ids=["half-up", "half-down", "plain", "float32-0.6", "tiny-negative"])
def test_round4_halves_away_from_zero(value, expected):
    [record] = run(np.array([[value, 1]], F32), ["x"], {}, vec(1, 0), threshold=-1.0)
    assert record["score"] == expected and np.signbit(record["score"]) == np.signbit(expected)
    assert model.round4(float(F32(value))) == expected


def test_query_length_value_error_comes_before_faults():
    with pytest.raises(ValueError, match=r"^Query vector dimension 3 doesn't match cache dimension 2$"):
        run(query=vec(1, 0, 0), like_ids=["far"], idx={"far": 9})


OUT = "index out of bounds: the len is {} but the index is {}"
MATMUL = "inputs {} and {} are not compatible for matrix multiplication"
SHORT = np.ones(2)


@pytest.mark.parametrize("kw, message", [
    ({"pre_filter_ids": ["a", "far"], "idx": {"a": 0, "far": 3}}, "assertion failed: index < dim"),
    ({"like_ids": ["a", "far"], "idx": {"a": 0, "far": 3}}, "assertion failed: index < dim"),
    ({"ids": ["a", "b"], "pre_filter_ids": ["c"], "limit": 0}, OUT.format(2, 2)),
    ({"ids": ["a", "b"], "query": vec(0, 1)}, OUT.format(2, 2)),
    ({"ids": ["a", "b"], "query": vec(0, 1), "diverse": True, "limit": 1}, OUT.format(2, 2)),
    ({"timestamps": SHORT, "recent": True}, OUT.format(2, 2)),
    ({"timestamps": SHORT, "pre_filter_ids": ["c"]}, OUT.format(2, 2)),
    ({"mask": np.ones(2, bool)}, OUT.format(2, 2)),
    ({"mask": np.ones(1, bool), "pre_filter_ids": ["a", "b"]}, OUT.format(1, 1)),
    ({"not_like_vec": vec(1, 0, 0)}, MATMUL.format("3 × 2", "3 × 1")),
    ({"not_like_vec": vec(1), "pre_filter_ids": ["a", "c"]}, MATMUL.format("2 × 2", "1 × 1")),
    ({"traj_from_vec": vec(1, 0, 0), "traj_to_vec": vec(0, 0, 1)}, MATMUL.format("3 × 2", "3 × 1")),
    ({"traj_from_vec": vec(1, 0, 0), "traj_to_vec": vec(0, 1)}, re.compile("incompatible")),
], ids=["pre-filter-row-beyond", "like-row-beyond", "ids-short-gather", "ids-short-output", "ids-short-mmr-output",
        "timestamps-short", "timestamps-short-gather-not-recent", "mask-short", "mask-short-gather",
        "not-like-length", "not-like-length-working-rows", "trajectory-length", "trajectory-ends-differ"])
def test_faults(kw, message, panics):
    panics(message, run, **kw)
