"""Long pre-filter lists (resolved as a batch, read in row order) and scans across window edges,
on the shipped module and on each kernel variant: every row scored once, with its own score."""
import numpy as np
import pytest

import model

F32 = np.float32
SCORER = None  # set per test by the fixture below


@pytest.fixture(autouse=True)
def module(scoring_module):
    global SCORER
    SCORER = scoring_module.score_candidates


def levels(n, d, distinct=True):
    """Rows with one non-zero element each, and their exact scores against a query of d ones
    (d a power of 4: the query normalises to ones / 2**k exactly)."""
    assert np.sqrt(d) == 2 ** int(np.log2(d) / 2)
    level = ((np.arange(n) + 1) / (n + 1) if distinct else np.full(n, 0.5)).astype(F32)
    m = np.zeros((n, d), F32)
    m[np.arange(n), np.arange(n) % d] = level
    return m, [model.round4(float(x) / np.sqrt(d)) for x in level]


def shuffled(n, count, seed):
    return [int(p) for p in np.random.default_rng(seed).permutation(n)[:count]]


# Window edges: four runs per 1,024 rows, short last runs; blocks of 16 rows, four at a time.
@pytest.mark.parametrize("n, d", [(1, 1), (5, 4), (17, 16), (1023, 1), (1025, 4), (2050, 16), (3000, 256)],
                         ids=lambda v: str(v))
@pytest.mark.parametrize("layout", ["contiguous", "strided"])
@pytest.mark.parametrize("stages", [{}, {"threshold": 1e-9}], ids=["plain", "with-a-stage"])
def test_whole_scan_scores_every_row_once(n, d, layout, stages):
    m, level = levels(n, d)
    if layout == "strided":  # read through odd strides: rows copied before the kernel runs
        wide = np.zeros((n, 2 * d), F32)
        wide[:, ::2] = m
        m = wide[:, ::2]
    ids = [f"r{i}" for i in range(n)]
    got = SCORER(m, ids, {}, np.ones(d, F32), limit=n, **stages)
    assert [(r["id"], r["score"]) for r in got] == [(ids[i], level[i]) for i in range(n - 1, -1, -1)]


IDS = [f"r{i}" for i in range(3000)]


def pre_filter_case(name):
    """(n, pre_filter rows or unknown ids, dict) for a case; ids are r0..r(n-1)."""
    n = len(IDS)
    ids = IDS  # the dict's keys are the list's own objects, as a user builds them
    by_row = {t: i for i, t in enumerate(ids)}
    some = shuffled(n, 700, 1)
    if name == "masked":  # the mask read for each row, in the order rows are scored
        return n, shuffled(n, 900, 3), by_row
    if name == "unknown-and-duplicates":
        pre = some[:300] + ["nope"] * 50 + some[100:200] + [f"x{i}" for i in range(100)]
        return n, pre, by_row
    if name == "map-in-other-order":  # table order unrelated to rows; aliases share rows
        mapping = {ids[i]: i for i in reversed(shuffled(n, n, 2))}
        mapping.update({f"alias{i}": i for i in range(0, n, 7)})
        return n, some[:350] + [f"alias{i}" for i in range(0, 700, 7)], mapping
    if name == "small-map":  # far more lookups than entries, in a table sized for few
        return n, [some[i % 20] for i in range(1000)], {ids[p]: p for p in some[:20]}
    if name == "copied-text":  # equal text, other objects than the dict's keys
        return n, ["".join(["r", str(p)]) for p in some], by_row
    if name == "few-of-a-large-map":  # few ids for the size of the map: looked up one by one
        large = {**by_row, **{f"alias{i}": i % n for i in range(6000)}}
        return n, some[:300] + [f"alias{i}" for i in range(0, 6000, 97)] + ["nope"], large
    raise AssertionError(name)


@pytest.mark.parametrize("name", ["masked", "unknown-and-duplicates", "map-in-other-order", "small-map",
                                  "copied-text", "few-of-a-large-map"])
@pytest.mark.parametrize("distinct", [True, False], ids=["distinct", "all-equal"])
def test_long_pre_filter_matches_lookups_one_by_one(name, distinct):
    n, pre, mapping = pre_filter_case(name)
    m, level = levels(n, 16, distinct)
    ids = IDS
    pre_ids = [ids[p] if isinstance(p, int) else p for p in pre]
    # Ties rank by position in the pre-filter list, so with all scores equal this is its order.
    mask = np.arange(n) % 3 != 0 if name == "masked" else np.ones(n, bool)
    rows = [mapping[t] for t in pre_ids if t in mapping and mask[mapping[t]]]
    order = sorted(range(len(rows)), key=lambda k: (-rows[k] if distinct else 0, k))  # levels rise with rows
    got = SCORER(m, ids, mapping, np.ones(16, F32), limit=len(pre), pre_filter_ids=pre_ids,
                 **({"mask": mask} if name == "masked" else {}))
    assert [(r["id"], r["score"]) for r in got] == [(ids[rows[k]], level[rows[k]]) for k in order]


def test_long_pre_filter_faults_as_a_short_one(panics):
    ids = [f"r{i}" for i in range(500)]
    mapping = {t: i for i, t in enumerate(ids)}
    mapping["far"] = 2**40  # past the matrix, and too large for a compact int
    m = np.eye(500, 4, dtype=F32)
    with pytest.raises(BaseException) as short:
        SCORER(m, ids, mapping, np.ones(4, F32), pre_filter_ids=["far"])
    panics(short.value.args[0], SCORER, m, ids, mapping, np.ones(4, F32), pre_filter_ids=ids[:300] + ["far"] + ids[300:])
