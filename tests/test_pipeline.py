"""score_candidates end to end: worked examples, each modulation, stage order, early exits, edges, faults."""
import re
import time

import numpy as np
import pytest

import _quantelle as q
import model

F32 = np.float32
DAY = 86400.0
M = np.array([[1, 0], [0.6, 0.8], [0, 1]], F32)
IDS = ["a", "b", "c"]
IDX = {"a": 0, "b": 1, "c": 2}
Q = np.array([2, 0], F32)  # normalised to [1, 0]: scores a 1.0, b 0.6, c 0.0


def vec(*xs):
    return np.array(xs, F32)


def run(matrix=M, ids=IDS, idx=IDX, query=Q, scorer=q.score_candidates, **kw):
    return scorer(matrix, ids, idx, query, **kw)


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
    c2 = (0.2 - 0.095) / b2
    x2 = (0.8 - 0.95 * 0.9) / b2
    t = np.sqrt(1 - 0.9**2 - x2**2)
    h = (0.7 - 0.09 - c2 * x2) / t
    rows = np.array([[1, 0, 0, 0], [0.95, b2, 0, 0], [0.1, c2, np.sqrt(1 - 0.01 - c2**2), h]], F32)
    return rows, vec(0.9, x2, 0, t)


def test_worked_example_plain():
    assert run(limit=2) == [{"id": "a", "score": 1.0}, {"id": "b", "score": 0.6}]


@pytest.mark.parametrize("limit, expected", [
    (2, [("A", 0.45), ("C", 0.3)]),
    (3, [("A", 0.9), ("B", 0.8), ("C", 0.7)]),  # pool of 3 does not exceed limit: no MMR
    (0, [("A", 0.45)]),
], ids=["mmr-limit-2", "no-mmr-limit-3", "mmr-limit-0"])
def test_worked_example_mmr(limit, expected):
    rows, query = mmr_example()
    assert pairs(run(rows, ["A", "B", "C"], {}, query, diverse=True, limit=limit, mmr_lambda=0.5)) == expected


@pytest.mark.parametrize("kw, expected", [
    ({}, [("a", 1.0), ("b", 0.6), ("c", 0.0)]),
    ({"query": vec(0, 0), "like_ids": ["b"]}, [("b", 1.0), ("c", 0.8), ("a", 0.6)]),
    ({"like_ids": ["c", "zz"], "limit": 1}, [("b", 0.9899)]),
    ({"like_ids": ["a", "a"]}, [("a", 1.0), ("b", 0.6), ("c", 0.0)]),
    ({"traj_from_vec": vec(0, 1), "traj_to_vec": vec(1, 0)}, [("a", 0.9121), ("b", 0.3776), ("c", -0.2121)]),
    ({"traj_from_vec": vec(1), "traj_to_vec": vec(1, 3)}, [("a", 0.7), ("b", 0.66), ("c", 0.3)]),
    ({"traj_to_vec": vec(0, 1)}, [("a", 1.0), ("b", 0.6), ("c", 0.0)]),
    ({"recent": True, "timestamps": ago(30, 60, None)}, [("a", 0.5), ("b", 0.2), ("c", 0.0)]),
    ({"recent": True, "recent_days": 10, "timestamps": ago(10, -5, 30)}, [("b", 0.6), ("a", 0.5), ("c", 0.0)]),
    ({"recent": True}, [("a", 1.0), ("b", 0.6), ("c", 0.0)]),
    ({"recent_days": 1.0, "timestamps": ago(30, 30, 30)}, [("a", 1.0), ("b", 0.6), ("c", 0.0)]),
    ({"mask": np.array([True, False, True, False])}, [("a", 1.0), ("c", 0.0)]),
    ({"threshold": 0.5}, [("a", 1.0), ("b", 0.6)]),
    ({"threshold": -1.0, "query": vec(-1, 0)}, [("c", 0.0), ("b", -0.6), ("a", -1.0)]),
    ({"not_like_vec": vec(3, 0)}, [("a", 0.5), ("b", 0.3), ("c", 0.0)]),
    ({"not_like_vec": vec(0, 0)}, [("a", 1.0), ("b", 0.6), ("c", 0.0)]),
    ({"not_like_vec": Q}, [("a", 0.5), ("b", 0.3), ("c", 0.0)]),
    ({"pre_filter_ids": ["c", "zz", "b"]}, [("b", 0.6), ("c", 0.0)]),
    ({"pre_filter_ids": ["b", "b"]}, [("b", 0.6), ("b", 0.6)]),
    ({"pre_filter_ids": ("c",), "like_ids": ["b"]}, [("c", 0.4472)]),
], ids=["plain", "like-zero-query", "like-unknown-skipped", "like-duplicate", "trajectory",
        "trajectory-broadcast-from", "trajectory-one-end-ignored", "decay-default-half-life",
        "decay-half-life-future", "recent-without-timestamps", "recent-days-alone", "mask-longer",
        "threshold", "threshold-negative-no-cut", "contrastive",
        "contrastive-zero", "contrastive-equals-query-halves", "pre-filter", "pre-filter-duplicate",
        "like-outside-pre-filter"])
def test_each_modulation(kw, expected):
    check(expected, **kw)


def test_all_modulations_together_agree_with_model():
    rng = np.random.default_rng(5)
    m = rng.standard_normal((12, 5)).astype(F32)
    ids = [f"r{i}" for i in range(12)]
    idx = {f"r{i}": i for i in range(12)}
    now = time.time()
    kw = dict(timestamps=now - rng.uniform(1, 90, 12) * DAY, recent=True, recent_days=20.0,
              pre_filter_ids=["r1", "r3", "r4", "r4", "r6", "r8", "r9", "r10", "r11", "x"],
              like_ids=["r2", "r5", "nope"], traj_from_vec=rng.standard_normal(5).astype(F32),
              traj_to_vec=rng.standard_normal(5).astype(F32), mask=np.arange(12) != 6, threshold=0.05,
              not_like_vec=rng.standard_normal(5).astype(F32), diverse=True, limit=3, oversample=6)
    query = rng.standard_normal(5).astype(F32)
    expected = model.trace(m, ids, idx, query, now=now, **kw)
    assert expected.mmr and expected.margin > 1e-3  # the case exercises MMR without near-ties
    got = q.score_candidates(m, ids, idx, query, **kw)
    assert [r["id"] for r in got] == [r["id"] for r in expected.result]
    np.testing.assert_allclose([r["score"] for r in got], [r["score"] for r in expected.result], atol=1.01e-4)


@pytest.mark.parametrize("kw, expected", [
    ({"threshold": 0.5, "not_like_vec": vec(1, 0)}, [("a", 0.5), ("b", 0.3)]),
    ({"recent": True, "timestamps": ago(-1, 30, -1), "threshold": 0.5}, [("a", 1.0)]),
    ({"recent": True, "recent_days": -10.0, "timestamps": ago(30, None, None), "mask": np.array([False, True, True]),
      "limit": 1}, [("b", 0.6)]),
    ({"traj_from_vec": vec(1, 0), "traj_to_vec": vec(1, 0), "threshold": 0.5}, [("a", 0.7)]),
    ({"like_ids": ["c"], "threshold": 0.8}, [("b", 0.9899)]),
], ids=["threshold-before-penalty", "threshold-after-decay", "mask-after-decay",
        "threshold-after-trajectory", "threshold-after-like"])
def test_stage_order(kw, expected):
    # mask-after-decay: a factor of -0.5 would turn a masked -inf into +inf, taking the only place
    check(expected, **kw)


def test_decay_pulls_negative_scores_towards_zero():
    rows = np.array([[-0.2, 0.98], [-0.8, 0.6]], F32)
    check([("old", -0.1), ("new", -0.2)], matrix=rows, ids=["new", "old"], idx={}, query=vec(1, 0), recent=True,
          timestamps=ago(-2, 210))


@pytest.mark.parametrize("days, timestamps, expected", [
    (0.0, ago(5, None, None), [("b", 0.6), ("a", 0.0), ("c", 0.0)]),
    (0.0, ago(-3, 3, None), [("b", 0.0), ("c", 0.0)]),  # age 0 over 0 days: NaN, dropped
    (30.0, np.array([-5.0, np.nan, time.time() + 9 * DAY]), [("a", 1.0), ("b", 0.6), ("c", 0.0)]),
], ids=["zero-days-past", "zero-days-future-dropped", "non-positive-nan-future-unchanged"])
def test_decay_edges(days, timestamps, expected):
    got = pairs(run(recent=True, recent_days=days, timestamps=timestamps))
    assert sorted(got) == sorted(expected)
    assert [s for _, s in got] == [s for _, s in expected]  # equal scores may come in either order


def test_threshold_keeps_a_score_equal_to_its_float32_value():
    rows = np.array([[0.7, 0], [np.nextafter(F32(0.7), F32(0)), 0]], F32)
    check([("x", 0.7)], matrix=rows, ids=["x", "y"], idx={}, query=vec(1, 0), threshold=0.7)


def test_trajectory_of_equal_ends_scales_by_float32_seven_tenths():
    x = F32(0.7453571557998657)  # 0.7 * x rounds to 0.5218 in double (or narrowed after), 0.5217 in float32
    row = np.array([[x, np.sqrt(1 - F32(x) ** 2)]], F32)
    end = vec(0.3, -2)
    check([("x", 0.5217)], matrix=row, ids=["x"], idx={}, query=vec(1, 0), traj_from_vec=end, traj_to_vec=end)


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
], ids=["empty-ids-wrong-query", "empty-ids-faulty-like", "like-empty", "like-unknown", "like-unknown-first",
        "pre-filter-empty", "pre-filter-unknown", "mask-all-false", "zero-query-threshold", "limit-0",
        "diverse-no-pool", "no-rows", "no-rows-diverse", "nan-query", "inf-query"])
def test_returns_empty(kw):
    assert run(**kw) == []


@pytest.mark.parametrize("kw, expected", [
    ({"limit": 0, "diverse": True}, [("a", 0.7)]),
    ({"limit": 0, "diverse": True, "mmr_lambda": 0.25}, [("a", 0.25)]),
    ({"limit": 1, "diverse": True, "mmr_lambda": 0.9}, [("a", 0.9)]),
    ({"limit": 2, "diverse": True, "oversample": 2}, [("a", 1.0), ("b", 0.6)]),
    ({"limit": 5, "diverse": True, "oversample": 4}, [("a", 1.0), ("b", 0.6), ("c", 0.0)]),
    ({"limit": 2, "diverse": True, "mmr_lambda": 1.0}, [("a", 1.0), ("b", 0.6)]),
    ({"limit": 2, "diverse": True, "mmr_lambda": 0.0}, [("a", 0.0), ("c", 0.0)]),
    ({"limit": 2**64 - 1}, [("a", 1.0), ("b", 0.6), ("c", 0.0)]),
    ({"limit": 2**64 - 1, "diverse": True, "oversample": 2**64 - 1}, [("a", 1.0), ("b", 0.6), ("c", 0.0)]),
    ({"limit": 2, "diverse": True, "oversample": 2**64 - 2, "mmr_lambda": 0.5}, [("a", 0.5), ("b", 0.0)]),  # tie to the better pool place
    ({"limit": 1, "oversample": 0}, [("a", 1.0)]),
], ids=["diverse-limit-0", "diverse-limit-0-lambda", "diverse-limit-1", "oversample-equals-limit",
        "oversample-below-limit", "lambda-1-is-plain", "lambda-0", "limit-near-2**64",
        "both-near-2**64", "oversample-near-2**64", "oversample-ignored-when-plain"])
def test_limits(kw, expected):
    check(expected, **kw)


def test_zero_columns_scores_every_row_zero():
    got = run(np.zeros((3, 0), F32), IDS, IDX, np.zeros(0, F32))
    assert sorted(pairs(got)) == [("a", 0.0), ("b", 0.0), ("c", 0.0)]


@pytest.mark.parametrize("rows, limit, expected", [
    ([[np.nan, 0], [0.5, 0], [0.2, 0]], 3, [("b", 0.5), ("c", 0.2)]),
    ([[1, np.nan], [0.5, 0], [0.2, 0]], 3, [("b", 0.5), ("c", 0.2)]),
    ([[np.inf, 0], [0.5, 0], [0.2, 0]], 1, []),  # +inf takes the only place, then drops
    ([[np.inf, 0], [0.5, 0], [0.2, 0]], 2, [("b", 0.5)]),
    ([[-np.inf, 0], [0.5, 0], [0.2, 0]], 1, [("b", 0.5)]),
    ([[0, np.inf], [0.5, 0], [0.2, 0]], 3, [("b", 0.5), ("c", 0.2)]),
], ids=["nan-row", "nan-in-zero-weighted-column", "plus-inf-first", "plus-inf-limit-2", "minus-inf-last",
        "inf-times-zero"])
def test_non_finite_rows(rows, limit, expected):
    assert pairs(run(np.array(rows, F32), query=vec(1, 0), limit=limit)) == expected


@pytest.mark.parametrize("value, expected", [
    (0.03125, 0.0313), (-0.03125, -0.0313), (0.15625, 0.1563), (-0.15625, -0.1563), (0.123456, 0.1235),
    (0.6, 0.6), (2.0**-15, 0.0), (-(2.0**-15), -0.0),
], ids=["half-up", "half-down", "half-odd", "half-odd-negative", "plain", "float32-0.6", "tiny", "tiny-neg"])
def test_round4(value, expected):
    [record] = run(np.array([[value, 1]], F32), ["x"], {}, vec(1, 0), threshold=-1.0)
    assert record["score"] == expected and np.signbit(record["score"]) == np.signbit(expected)
    assert model.round4(float(F32(value))) == expected


def test_result_shape():
    class Name(str):
        pass

    got = run(ids=[Name("a"), Name("b"), "c"], threshold=-1.0)
    assert isinstance(got, list) and len(got) == 3
    for record in got:
        assert list(record) == ["id", "score"]
        assert type(record["id"]) is str and type(record["score"]) is float


def layouts(base, tmp_path):
    wide = np.zeros((base.shape[0], 2 * base.shape[1]), F32)
    wide[:, ::2] = base
    tall = np.zeros((2 * base.shape[0], base.shape[1]), F32)
    tall[::2] = base
    readonly = base.copy()
    readonly.flags.writeable = False
    mapped = np.lib.format.open_memmap(tmp_path / "m.npy", mode="w+", dtype=F32, shape=base.shape)
    mapped[...] = base
    mapped.flush()
    return {
        "fortran": np.asfortranarray(base),
        "reversed-rows": base[::-1].copy()[::-1],
        "column-step": wide[:, ::2],
        "row-step": tall[::2],
        "readonly": readonly,
        "memmap": np.load(tmp_path / "m.npy", mmap_mode="r"),
    }


LAYOUTS = ["fortran", "reversed-rows", "column-step", "row-step", "readonly", "memmap"]


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("kw", [{}, {"diverse": True, "limit": 4, "oversample": 9}, {"pre_filter_ids": ["r3", "r1"]}],
                         ids=["plain", "mmr", "pre-filter"])
def test_every_layout_reads_like_a_contiguous_copy(layout, kw, tmp_path):
    rng = np.random.default_rng(11)
    base = rng.standard_normal((10, 7)).astype(F32)
    ids, idx = [f"r{i}" for i in range(10)], {f"r{i}": i for i in range(10)}
    query = rng.standard_normal(7).astype(F32)
    expected = q.score_candidates(base, ids, idx, query, threshold=-9.0, **kw)
    got = q.score_candidates(layouts(base, tmp_path)[layout], ids, idx, query, threshold=-9.0, **kw)
    assert [r["id"] for r in got] == [r["id"] for r in expected]
    np.testing.assert_allclose([r["score"] for r in got], [r["score"] for r in expected], atol=1.01e-4)


def test_broadcast_rows_with_zero_stride():
    row = vec(0.6, 0.8)
    got = run(np.broadcast_to(row, (3, 2)), pre_filter_ids=["c", "a"])
    assert pairs(got) in ([("c", 0.6), ("a", 0.6)], [("a", 0.6), ("c", 0.6)])
    assert sorted(pairs(run(np.broadcast_to(row, (3, 2))))) == [("a", 0.6), ("b", 0.6), ("c", 0.6)]


def test_query_length_value_error():
    with pytest.raises(ValueError, match=r"^Query vector dimension 3 doesn't match cache dimension 2$"):
        run(query=vec(1, 0, 0), like_ids=["far"], idx={"far": 9})


OUT = "index out of bounds: the len is {} but the index is {}"
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
    ({"not_like_vec": vec(1, 0, 0)}, "inputs 3 × 2 and 3 × 1 are not compatible for matrix multiplication"),
    ({"not_like_vec": vec(1), "pre_filter_ids": ["a", "c"]},
     "inputs 2 × 2 and 1 × 1 are not compatible for matrix multiplication"),
    ({"not_like_vec": vec(1, 0, 0), "threshold": 5.0},
     "inputs 3 × 2 and 3 × 1 are not compatible for matrix multiplication"),
    ({"traj_from_vec": vec(1, 0, 0), "traj_to_vec": vec(0, 0, 1)},
     "inputs 3 × 2 and 3 × 1 are not compatible for matrix multiplication"),
    ({"traj_from_vec": vec(1), "traj_to_vec": vec(0, 0, 1)},
     "inputs 3 × 2 and 3 × 1 are not compatible for matrix multiplication"),
    ({"traj_from_vec": vec(1, 0, 0), "traj_to_vec": vec(0, 1)}, re.compile("incompatible")),
], ids=["pre-filter-row-beyond", "like-row-beyond", "like-beyond-outside-pre-filter", "ids-short-gather",
        "ids-short-output", "ids-short-mmr-output", "timestamps-short", "timestamps-short-gather-not-recent",
        "mask-short", "mask-short-gather", "not-like-length", "not-like-length-working-rows",
        "not-like-length-all-cut", "trajectory-length", "trajectory-broadcast-length", "trajectory-ends-differ"])
def test_faults(kw, message, panics):
    panics(message, run, **kw)


def test_short_ids_pass_while_the_row_without_id_stays_out():
    assert pairs(run(ids=["a", "b"], limit=2)) == [("a", 1.0), ("b", 0.6)]
