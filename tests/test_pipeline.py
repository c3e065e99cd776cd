"""score_candidates end to end: worked examples, each modulation, stage order, early exits, edges, faults."""
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
    return (scorer or SCORER)(matrix, ids, idx, query, **kw)


def pairs(result):
    return [(r["id"], r["score"]) for r in result]


def check(expected, **kw):
    """Module and model both give the hand-computed result."""
    assert pairs(run(**kw)) == expected
    assert pairs(run(**kw, scorer=model.score_candidates)) == expected


def ago(*days):
    return np.array([time.time() - d * DAY if d is not None else 0.0 for d in days])


def mmr_example():
    """Rows A, B, C with pair values A-B 0.95, A-C 0.1, B-C 0.2 and a unit query scoring them 0.9,
    0.8, 0.7; C gets a fourth coordinate (only C's own squared norm depends on it)."""
    b2 = np.sqrt(1 - 0.95**2)
    c2, x2 = (0.2 - 0.095) / b2, (0.8 - 0.95 * 0.9) / b2
    t = np.sqrt(1 - 0.9**2 - x2**2)
    h = (0.7 - 0.09 - c2 * x2) / t
    rows = np.array([[1, 0, 0, 0], [0.95, b2, 0, 0], [0.1, c2, np.sqrt(1 - 0.01 - c2**2), h]], F32)
    return rows, vec(0.9, x2, 0, t)


@pytest.mark.parametrize("limit, expected", [
    (2, [("A", 0.45), ("C", 0.3)]),
    (3, [("A", 0.9), ("B", 0.8), ("C", 0.7)]),  # pool of 3 does not exceed limit: no MMR
    (0, [("A", 0.45)]),
], ids=["mmr-limit-2", "no-mmr-limit-3", "mmr-limit-0"])
def test_worked_example_mmr(limit, expected):
    rows, query = mmr_example()
    assert pairs(run(rows, ["A", "B", "C"], {}, query, diverse=True, limit=limit, mmr_lambda=0.5)) == expected


@pytest.mark.parametrize("kw, expected", [
    ({}, ALL),
    ({"ids": ["a", "b"], "limit": 2}, ALL[:2]),
    ({"query": vec(0, 0), "like_ids": ["b"]}, [("b", 1.0), ("c", 0.8), ("a", 0.6)]),
    ({"like_ids": ["c", "zz"], "limit": 1}, [("b", 0.9899)]),
    ({"like_ids": ["a", "a"]}, ALL),
    ({"traj_from_vec": vec(0, 1), "traj_to_vec": vec(1, 0)}, [("a", 0.9121), ("b", 0.3776), ("c", -0.2121)]),
    ({"traj_from_vec": vec(1), "traj_to_vec": vec(1, 3)}, [("a", 0.7), ("b", 0.66), ("c", 0.3)]),
    ({"traj_to_vec": vec(0, 1)}, ALL),
    ({"matrix": np.array([[X, np.sqrt(1 - F32(X) ** 2)]], F32), "ids": ["x"], "idx": {}, "query": vec(1, 0),
      "traj_from_vec": vec(0.3, -2), "traj_to_vec": vec(0.3, -2)}, [("x", 0.5217)]),
    ({"recent": True, "timestamps": ago(30, 60, None)}, [("a", 0.5), ("b", 0.2), ("c", 0.0)]),
    ({"recent": True, "recent_days": 10, "timestamps": ago(10, -5, 30)}, [("b", 0.6), ("a", 0.5), ("c", 0.0)]),
    ({"matrix": np.array([[-0.2, 0.98], [-0.8, 0.6]], F32), "ids": ["new", "old"], "idx": {}, "query": vec(1, 0),
      "recent": True, "timestamps": ago(-2, 210)}, [("old", -0.1), ("new", -0.2)]),
    ({"recent": True}, ALL),
    ({"recent_days": 1.0, "timestamps": ago(30, 30, 30)}, ALL),
    ({"mask": np.array([True, False, True, False])}, [("a", 1.0), ("c", 0.0)]),
    ({"threshold": 0.5}, ALL[:2]),
    ({"threshold": 0.60000003}, ALL[:2]),  # float32(0.6) = 0.6000000238...: equal scores survive
    ({"threshold": 0.6000001}, ALL[:1]),
    ({"matrix": np.array([[0.7, 0], [SEVEN_TENTHS_BELOW, 0]], F32), "ids": ["x", "y"], "idx": {},
      "query": vec(1, 0), "threshold": 0.7}, [("x", 0.7)]),
    ({"threshold": -1.0, "query": vec(-1, 0)}, [("c", 0.0), ("b", -0.6), ("a", -1.0)]),
    ({"not_like_vec": vec(3, 0)}, [("a", 0.5), ("b", 0.3), ("c", 0.0)]),
    ({"not_like_vec": vec(0, 0)}, ALL),
    ({"not_like_vec": Q}, [("a", 0.5), ("b", 0.3), ("c", 0.0)]),
    ({"pre_filter_ids": ["c", "zz", "b"]}, [("b", 0.6), ("c", 0.0)]),
    ({"pre_filter_ids": ["b", "b"]}, [("b", 0.6), ("b", 0.6)]),
    ({"pre_filter_ids": ("c",), "like_ids": ["b"]}, [("c", 0.4472)]),
    ({"threshold": -1e39}, ALL),
    ({"recent": True, "recent_days": 1e39, "timestamps": ago(30, 60, 1)}, ALL),
    ({"recent": True, "recent_days": -1e39, "timestamps": ago(30, 60, 1)}, ALL),
    ({"recent": True, "timestamps": np.array([np.inf, -np.inf, np.inf])}, ALL),
    ({"recent": True, "recent_days": 0.0, "timestamps": np.array([np.inf, -np.inf, 0.0])}, ALL[1:]),
], ids=["plain", "short-ids-row-without-id-stays-out", "like-zero-query", "like-unknown-skipped",
        "like-duplicate", "trajectory", "trajectory-broadcast-from", "trajectory-one-end-ignored",
        "trajectory-weights-in-float32", "decay-default-half-life", "decay-half-life-future",
        "decay-pulls-negative-towards-zero", "recent-without-timestamps", "recent-days-alone", "mask-longer",
        "threshold", "threshold-rounded-to-float32", "threshold-just-above", "threshold-compared-in-float32",
        "threshold-negative-no-cut", "contrastive", "contrastive-zero", "contrastive-equals-query-halves",
        "pre-filter", "pre-filter-duplicate", "like-outside-pre-filter", "threshold-below-float32-no-cut",
        "decay-days-beyond-float32", "decay-days-below-float32", "decay-inf-timestamps-unchanged",
        "decay-inf-timestamp-zero-days-dropped"])
def test_each_modulation(kw, expected):
    check(expected, **kw)


@pytest.mark.parametrize("kw, expected", [
    ({"threshold": 0.5, "not_like_vec": vec(1, 0)}, [("a", 0.5), ("b", 0.3)]),
    ({"recent": True, "timestamps": ago(-1, 30, -1), "threshold": 0.5}, [("a", 1.0)]),
    # A factor of -0.5 would turn a masked -inf into +inf, taking the only place.
    ({"recent": True, "recent_days": -10.0, "timestamps": ago(30, None, None), "mask": np.array([False, True, True]),
      "limit": 1}, [("b", 0.6)]),
    ({"traj_from_vec": vec(1, 0), "traj_to_vec": vec(1, 0), "threshold": 0.5}, [("a", 0.7)]),
    ({"like_ids": ["c"], "threshold": 0.8}, [("b", 0.9899)]),
], ids=["threshold-before-penalty", "threshold-after-decay", "mask-after-decay", "threshold-after-trajectory",
        "threshold-after-like"])
def test_stage_order(kw, expected):
    check(expected, **kw)


@pytest.mark.parametrize("kw, expected", [
    ({"recent_days": 0.0, "timestamps": ago(5, None, None)}, [("b", 0.6), ("a", 0.0), ("c", 0.0)]),
    ({"recent_days": 0.0, "timestamps": ago(-3, 3, None)}, [("b", 0.0), ("c", 0.0)]),  # 0 / 0 days: NaN, dropped
    ({"recent_days": 30.0, "timestamps": np.array([-5.0, np.nan, time.time() + 9 * DAY])}, ALL),
    ({"recent": False, "matrix": np.zeros((3, 0), F32), "query": np.zeros(0, F32)}, [(x, 0.0) for x in IDS]),
    ({"recent_days": 1e-50, "timestamps": ago(5, None, None)}, [("b", 0.6), ("a", 0.0), ("c", 0.0)]),
], ids=["zero-days-past", "zero-days-future-dropped", "non-positive-nan-future-unchanged", "zero-columns",
        "days-round-to-zero"])
def test_decay_edge_cases_with_ties_in_row_order(kw, expected):
    assert pairs(run(**{"recent": True, **kw})) == expected


@pytest.mark.parametrize("kw", [
    {"ids": [], "query": vec(1, 2, 3)},
    {"ids": [], "like_ids": ["far"], "idx": {"far": 99}},
    {"like_ids": []},
    {"like_ids": ["x", "y"]},
    {"like_ids": ["x"], "not_like_vec": vec(1, 2, 3)},  # ends before the faulty penalty
    {"pre_filter_ids": []},
    {"pre_filter_ids": ["zz"], "mask": np.array([True])},
    {"mask": np.zeros(3, bool)},
    {"query": vec(0, 0), "threshold": 0.1},
    {"limit": 0},
    {"limit": 0, "diverse": True, "oversample": 0},
    {"matrix": np.zeros((0, 2), F32)},
    {"matrix": np.zeros((0, 2), F32), "diverse": True, "limit": 0},
    {"query": vec(np.nan, 1)},
    {"query": vec(np.inf, 1)},
    {"threshold": 1e39},
    {"threshold": 3.4028235e38},
], ids=["empty-ids-wrong-query", "empty-ids-faulty-like", "like-empty", "like-unknown", "like-unknown-first",
        "pre-filter-empty", "pre-filter-unknown", "mask-all-false", "zero-query-threshold", "limit-0",
        "diverse-no-pool", "no-rows", "no-rows-diverse", "nan-query", "inf-query",
        "threshold-beyond-float32", "threshold-float32-max"])
def test_returns_empty(kw):
    assert run(**kw) == []


@pytest.mark.parametrize("kw, expected", [
    ({"limit": 0, "diverse": True}, [("a", 0.7)]),
    ({"limit": 0, "diverse": True, "mmr_lambda": 0.25}, [("a", 0.25)]),
    ({"limit": 1, "diverse": True, "mmr_lambda": 0.9}, [("a", 0.9)]),
    ({"limit": 2, "diverse": True, "oversample": 2}, ALL[:2]),
    ({"limit": 5, "diverse": True, "oversample": 4}, ALL),
    ({"limit": 2, "diverse": True, "mmr_lambda": 1.0}, ALL[:2]),
    ({"limit": 2, "diverse": True, "mmr_lambda": 0.0}, [("a", 0.0), ("c", 0.0)]),
    ({"limit": 2**64 - 1}, ALL),
    ({"limit": 2**64 - 1, "diverse": True, "oversample": 2**64 - 1}, ALL),
    ({"limit": 2, "diverse": True, "oversample": 2**64 - 2, "mmr_lambda": 0.5}, [("a", 0.5), ("b", 0.0)]),
    ({"limit": 1, "oversample": 0}, [("a", 1.0)]),
], ids=["diverse-limit-0", "diverse-limit-0-lambda", "diverse-limit-1", "oversample-equals-limit",
        "oversample-below-limit", "lambda-1-is-plain", "lambda-0", "limit-near-2**64", "both-near-2**64",
        "oversample-near-2**64-tie-to-better-place", "oversample-ignored-when-plain"])
def test_limits(kw, expected):
    check(expected, **kw)


@pytest.mark.parametrize("row, limit, expected", [
    ([np.nan, 0], 3, [("b", 0.5), ("c", 0.2)]),
    ([1, np.nan], 3, [("b", 0.5), ("c", 0.2)]),
    ([np.inf, 0], 1, []),  # +inf takes the only place, then drops
    ([np.inf, 0], 2, [("b", 0.5)]),
    ([-np.inf, 0], 1, [("b", 0.5)]),
    ([0, np.inf], 3, [("b", 0.5), ("c", 0.2)]),
], ids=["nan-row", "nan-in-zero-weighted-column", "plus-inf-first", "plus-inf-limit-2", "minus-inf-last",
        "inf-times-zero"])
def test_non_finite_rows(row, limit, expected):
    assert pairs(run(np.array([row, [0.5, 0], [0.2, 0]], F32), query=vec(1, 0), limit=limit)) == expected


@pytest.mark.parametrize("value, expected", [
    (0.03125, 0.0313), (-0.03125, -0.0313), (0.15625, 0.1563), (-0.15625, -0.1563), (0.123456, 0.1235),
    (0.6, 0.6), (2.0**-15, 0.0), (-(2.0**-15), -0.0),
], ids=["half-up", "half-down", "half-odd", "half-odd-negative", "plain", "float32-0.6", "tiny", "tiny-neg"])
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
    ({"like_ids": ["far"], "idx": {"far": 3}, "pre_filter_ids": ["a"]}, "assertion failed: index < dim"),
    ({"ids": ["a", "b"], "pre_filter_ids": ["c"], "limit": 0}, OUT.format(2, 2)),
    ({"ids": ["a", "b"], "query": vec(0, 1)}, OUT.format(2, 2)),
    ({"ids": ["a", "b"], "query": vec(0, 1), "diverse": True, "limit": 1}, OUT.format(2, 2)),
    ({"timestamps": SHORT, "recent": True}, OUT.format(2, 2)),
    ({"timestamps": SHORT, "pre_filter_ids": ["c"]}, OUT.format(2, 2)),
    ({"mask": np.ones(2, bool)}, OUT.format(2, 2)),
    ({"mask": np.ones(1, bool), "pre_filter_ids": ["a", "b"]}, OUT.format(1, 1)),
    ({"not_like_vec": vec(1, 0, 0)}, MATMUL.format("3 × 2", "3 × 1")),
    ({"not_like_vec": vec(1), "pre_filter_ids": ["a", "c"]}, MATMUL.format("2 × 2", "1 × 1")),
    ({"not_like_vec": vec(1, 0, 0), "threshold": 5.0}, MATMUL.format("3 × 2", "3 × 1")),
    ({"traj_from_vec": vec(1, 0, 0), "traj_to_vec": vec(0, 0, 1)}, MATMUL.format("3 × 2", "3 × 1")),
    ({"traj_from_vec": vec(1), "traj_to_vec": vec(0, 0, 1)}, MATMUL.format("3 × 2", "3 × 1")),
    ({"traj_from_vec": vec(1, 0, 0), "traj_to_vec": vec(0, 1)}, re.compile("incompatible")),
], ids=["pre-filter-row-beyond", "like-row-beyond", "like-beyond-outside-pre-filter", "ids-short-gather",
        "ids-short-output", "ids-short-mmr-output", "timestamps-short", "timestamps-short-gather-not-recent",
        "mask-short", "mask-short-gather", "not-like-length", "not-like-length-working-rows",
        "not-like-length-all-cut", "trajectory-length", "trajectory-broadcast-length", "trajectory-ends-differ"])
def test_faults(kw, message, panics):
    panics(message, run, **kw)
