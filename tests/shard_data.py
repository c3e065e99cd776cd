"""A corpus, queries, modifiers and keywords that every cut into parts must search as one machine
(test_merge.py with parts in this process, sharded_cases.py with a cluster's workers)."""
import time

import numpy as np

WORDS = {w: np.random.default_rng(i).normal(size=16).astype(np.float32) for i, w in enumerate("qabc")}
RNG = np.random.default_rng(3)
M = RNG.normal(size=(301, 16))
M[150:160] = M[np.argsort(M[:150] @ WORDS["q"])[-10:]]  # the best rows again, first on part 1: ties
TS = np.where(np.arange(len(M)) % 7 == 0, np.nan, time.time() - RNG.uniform(0, 200, len(M)) * 86400.0)  # some undated
DATA = M, [f"d{i}" for i in range(len(M))], TS

# Lists that span both halves (rows 0-149 and 150-300), out of order, with ids listed twice,
# tied rows (150-159 repeat the best of the first half) and liked ids (d3, d100, d250) inside
# and outside the list.
WITHIN = ["d250", "d3", "d151", "d3", "d7", "d300", "d100", "d155", "d151", "d0"] + \
    [f"d{i}" for i in range(140, 165)] + [f"d{i}" for i in range(5, 300, 11)]
TWIN = f"d{np.argsort(M[:150] @ WORDS['q'])[-1]}"  # the row that d159 repeats
MASK = np.random.default_rng(5).random(len(M)) < 0.7
MASK[[3, 155]] = False  # a liked row and a tied row masked
KEYWORDS = {
    "none": {},
    "within-masked": dict(within=WITHIN, mask=MASK),
    "masked": dict(mask=MASK),
    "within-tuned": dict(within=WITHIN, threshold=0.05, oversample=12, mmr_lambda=0.3),
    "threshold": dict(threshold=0.2),
    "within-one-twice": dict(within=["d200", "d200"]),
    "within-twins-interleaved": dict(within=[TWIN, "d159", TWIN, "d159"]),
    "within-empty": dict(within=[]),
    "all-masked": dict(mask=np.zeros(len(M), bool)),
}
MODIFIERS = ["", "limit:40", "diverse limit:3", "like:d250,d3,d3 limit:7", "recent:9", "recent diverse like:d100",
             "unlike:a from: b to: c", "like:d100 unlike:a recent diverse limit:6 from: b to: c",
             "local_communities limit:0", "diverse limit:0"]
