"""Equal scores rank by working-set position: row order, or the order of pre_filter_ids."""
import numpy as np
import pytest

import _quantelle as q

F32 = np.float32
QUERY = np.array([1, 0], F32)
LEVELS = [0.25, 0.5, 0.75] * 16  # 48 rows in three tie groups, interleaved
SHUFFLED = [int(p) for p in np.random.default_rng(7).permutation(40)]


# More than 16 rows per tie group, so that a sort that ignores positions would reorder them.
@pytest.mark.parametrize("scores, kw, expected", [
    ([0.5] * 40, {"limit": 40}, range(40)),
    ([0.25, 0.5, 0.75, 0.5, 0.5], {"limit": 2}, [2, 1]),
    ([0.5] * 3 + [0.75] + [0.5] * 30, {"limit": 3}, [3, 0, 1]),
    (LEVELS, {"limit": 48}, [*range(2, 48, 3), *range(1, 48, 3), *range(0, 48, 3)]),
    (LEVELS, {"limit": 20}, [*range(2, 48, 3), 1, 4, 7, 10]),
    ([0.5] * 40, {"limit": 40, "pre_filter": SHUFFLED}, SHUFFLED),
    ([0.5] * 5, {"pre_filter": [3, 1, 3]}, [3, 1, 3]),
    (LEVELS, {"limit": 6, "pre_filter": range(47, -1, -1)}, [47, 44, 41, 38, 35, 32]),
    ([0.5] * 40, {"limit": 3, "diverse": True, "oversample": 10}, [0, 1, 2]),
], ids=["full-sort-all-equal", "cut-inside-a-tie", "later-equal-never-displaces", "full-sort-three-groups",
        "selection-three-groups", "pre-filter-shuffled", "pre-filter-duplicates", "pre-filter-groups",
        "diverse-equal-rows"])
def test_equal_scores_rank_by_position(scores, kw, expected):
    ids = [f"r{i}" for i in range(len(scores))]
    kw = dict(kw)
    if "pre_filter" in kw:
        kw["pre_filter_ids"] = [ids[p] for p in kw.pop("pre_filter")]
    rows = np.stack([scores, np.zeros(len(scores))], axis=1).astype(F32)  # row i scores scores[i]
    got = q.score_candidates(rows, ids, {x: i for i, x in enumerate(ids)}, QUERY, **kw)
    assert [r["id"] for r in got] == [ids[p] for p in expected]
