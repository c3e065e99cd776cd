"""Long pre-filter lists (resolved as a batch, read in row order), on the shipped module and on
each kernel variant: every listed row scored once, with its own score, in list order on ties.
And the working rows scored range by range give the result of one pass."""
import time

import numpy as np
import pytest

import _quantelle as q
import model

F32 = np.float32
DAY = 86400.0


def levels(n, distinct):
    """Rows of width 16 with one non-zero element each, and their exact scores against a query
    of ones (which normalises to ones / 4 exactly)."""
    level = ((np.arange(n) + 1) / (n + 1) if distinct else np.full(n, 0.5)).astype(F32)
    m = np.zeros((n, 16), F32)
    m[np.arange(n), np.arange(n) % 16] = level
    return m, [model.round4(float(x) / 4) for x in level]


def shuffled(count, seed):
    return [int(p) for p in np.random.default_rng(seed).permutation(N)[:count]]


N = 3000
IDS = [f"r{i}" for i in range(N)]  # the dicts' keys are the list's own objects, as a user builds them
BY_ROW = {t: i for i, t in enumerate(IDS)}


def pre_filter_case(name):
    """(pre_filter rows or unknown ids, dict) for a case."""
    some = shuffled(700, 1)
    if name == "masked":  # the mask read for each row, in the order rows are scored
        return shuffled(900, 3), BY_ROW
    if name == "unknown-and-duplicates":
        return some[:300] + ["nope"] * 50 + some[100:200] + [f"x{i}" for i in range(100)], BY_ROW
    if name == "map-in-other-order":  # table order unrelated to rows; aliases share rows
        mapping = {IDS[i]: i for i in reversed(shuffled(N, 2))} | {f"alias{i}": i for i in range(0, N, 7)}
        return some[:350] + [f"alias{i}" for i in range(0, 700, 7)], mapping
    if name == "small-map":  # far more lookups than entries, in a table sized for few
        return [some[i % 20] for i in range(1000)], {IDS[p]: p for p in some[:20]}
    if name == "copied-text":  # equal text, other objects than the dict's keys
        return ["".join(["r", str(p)]) for p in some], BY_ROW
    assert name == "few-of-a-large-map"  # few ids for the size of the map: looked up one by one
    large = BY_ROW | {f"alias{i}": i % N for i in range(6000)}
    return some[:300] + [f"alias{i}" for i in range(0, 6000, 97)] + ["nope"], large


@pytest.mark.parametrize("name", ["masked", "unknown-and-duplicates", "map-in-other-order", "small-map",
                                  "copied-text", "few-of-a-large-map"])
@pytest.mark.parametrize("distinct", [True, False], ids=["distinct", "all-equal"])
def test_long_pre_filter_matches_lookups_one_by_one(name, distinct, scoring_module):
    pre, mapping = pre_filter_case(name)
    m, level = levels(N, distinct)
    pre_ids = [IDS[p] if isinstance(p, int) else p for p in pre]
    # Ties rank by position in the pre-filter list, so with all scores equal this is its order.
    mask = np.arange(N) % 3 != 0 if name == "masked" else np.ones(N, bool)
    rows = [mapping[t] for t in pre_ids if t in mapping and mask[mapping[t]]]
    order = sorted(range(len(rows)), key=lambda k: (-rows[k] if distinct else 0, k))  # levels rise with rows
    got = scoring_module.score_candidates(m, IDS, mapping, np.ones(16, F32), limit=len(pre), pre_filter_ids=pre_ids,
                 **({"mask": mask} if name == "masked" else {}))
    assert [(r["id"], r["score"]) for r in got] == [(IDS[rows[k]], level[rows[k]]) for k in order]


def test_long_pre_filter_faults_as_a_short_one(panics, scoring_module):
    score = scoring_module.score_candidates
    ids = [f"r{i}" for i in range(500)]
    mapping = {t: i for i, t in enumerate(ids)}
    mapping["far"] = 2**40  # past the matrix, and too large for a compact int
    m = np.eye(500, 4, dtype=F32)
    with pytest.raises(BaseException) as short:
        score(m, ids, mapping, np.ones(4, F32), pre_filter_ids=["far"])
    panics(short.value.args[0], score, m, ids, mapping, np.ones(4, F32), pre_filter_ids=ids[:300] + ["far"] + ids[300:])


def ranges_case(name):
    """Rows with exact duplicates (ties across ranges) and every per-row input a stage reads."""
    rng = np.random.default_rng(5)
    m = rng.standard_normal((N, 16)).astype(F32)
    m[1::97] = m[0]
    timestamps = np.where(np.arange(N) % 5 == 0, 0.0, 1.0)  # 1970: decayed; 0: left as it is
    mask = np.arange(N) % 7 != 3
    every = {"timestamps": timestamps, "recent": True, "mask": mask, "threshold": 0.01,
             "not_like_vec": m[9], "traj_from_vec": m[4], "traj_to_vec": m[8]}
    return m, {
        "plain": {"limit": 50},
        "every-stage": every | {"limit": 50},
        "gathered": every | {"pre_filter_ids": [IDS[p] for p in shuffled(2000, 6)], "limit": 50},
        "diverse": {"diverse": True, "limit": 8, "oversample": 300, "mask": mask},
    }[name]


@pytest.mark.parametrize("name", ["plain", "every-stage", "gathered", "diverse"])
@pytest.mark.parametrize("per_range", [1, 7, 1024, 1025, N])
def test_scored_in_ranges_as_in_one_pass(name, per_range):
    probe = pytest.importorskip("_quantelle_probe")
    probe.use(probe.variants()[-1])  # the module's own choice
    m, kw = ranges_case(name)
    args = (m, IDS, BY_ROW, m[0] + 1)
    assert probe.score_in_ranges(per_range, *args, **kw) == q.score_candidates(*args, **kw)


@pytest.mark.parametrize("gathered", [False, True], ids=["whole", "gathered"])
def test_every_stage_over_many_windows_matches_float32(gathered, scoring_module):
    """Past one scan window and one block of per-row inputs, each row's stages read its own
    timestamp and mask byte. The dots of one-hot rows are exact, so float32 steps in NumPy give
    the scores (to the clock's few ulps)."""
    rng = np.random.default_rng(11)
    m, _ = levels(N, True)
    signs = np.where(np.arange(16) % 2 == 0, 1, -1).astype(F32)  # normalised: signs / 4, exactly
    halves = np.repeat(F32([1, -1]), 8)
    ts = time.time() - rng.uniform(-5, 400, N) * DAY  # some in the future: not decayed
    odd = rng.random(N) < 0.2  # left as they are
    ts[odd] = rng.choice([0.0, -5.0, np.nan], int(odd.sum()))
    mask = rng.random(N) < 0.8
    rows = shuffled(2600, 8) if gathered else list(range(N))
    kw = {"timestamps": ts, "recent": True, "recent_days": 20.0, "mask": mask, "threshold": 0.004,
          "traj_from_vec": np.zeros(16, F32), "traj_to_vec": signs, "not_like_vec": halves}
    if gathered:
        kw["pre_filter_ids"] = [IDS[p] for p in rows]
    now = time.time()
    got = scoring_module.score_candidates(m, IDS, BY_ROW, np.ones(16, F32), limit=N, **kw)

    level, col, t = m[rows].sum(axis=1), np.asarray(rows) % 16, ts[rows]
    s = level / F32(4) * model.W_QUERY + level * signs[col] / F32(4) * model.W_DIR
    with np.errstate(invalid="ignore"):
        age = np.maximum((now - t) / DAY, 0.0).astype(F32)
        s = np.where(t > 0, model.ONE / (age / F32(20.0) + model.ONE) * s, s)
    s[~mask[rows]] = -np.inf
    s[s < F32(0.004)] = -np.inf
    s = s - level * halves[col] / F32(4) * model.HALF
    expected = {IDS[r]: model.round4(float(x)) for r, x in zip(rows, s) if np.isfinite(x)}
    assert len(expected) > N // 4
    assert {r["id"] for r in got} == set(expected)
    assert max(abs(r["score"] - expected[r["id"]]) for r in got) <= 1e-4
