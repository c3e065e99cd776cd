"""ShardedCorpus against Corpus on the same rows, hit for hit (run by test_distributed.py)."""
import contextlib
import os
import time

import numpy as np
import pytest

from quantelle import Corpus
from quantelle.distributed import ShardedCorpus, ShardError

distributed = pytest.importorskip("distributed", reason="the distributed extra is not installed")

# The cluster's own sockets may be collected after a test; that is its business, not a fault here.
pytestmark = [pytest.mark.filterwarnings("ignore::ResourceWarning"),
              pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")]
WORDS = {w: np.random.default_rng(i).normal(size=16).astype(np.float32) for i, w in enumerate("qabc")}
RNG = np.random.default_rng(3)
M = RNG.normal(size=(301, 16))
M[150:160] = M[np.argsort(M[:150] @ WORDS["q"])[-10:]]  # the best rows again, first on shard 1: ties
TS = np.where(np.arange(len(M)) % 7 == 0, np.nan, time.time() - RNG.uniform(0, 200, len(M)) * 86400.0)  # some undated
DATA = M, [f"d{i}" for i in range(len(M))], TS


def local_cluster():
    # A free port for the dashboard, so that two clusters never fight over the default one.
    return distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                    dashboard_address="127.0.0.1:0")


@pytest.fixture(scope="module")
def pair():
    cluster = local_cluster()
    with distributed.Client(cluster) as client:
        yield Corpus(*DATA, embed=WORDS.get), ShardedCorpus(client, *DATA, embed=WORDS.get)
    cluster.close()


@pytest.mark.parametrize("modifiers", [
    "", "limit:25", "diverse", "diverse limit:3", "unlike:a", "from: b to: c", "like:d3,d250",
    "like:d250,d3,d3 limit:7", "recent", "recent:5 limit:20", "recent diverse like:d100",
    "unlike:a from: b to: c diverse limit:4", "local_communities limit:0", "diverse limit:0",
])
def test_sharded_search_equals_one_machine(pair, modifiers):
    one, sharded = pair
    want, got = one.search("q", modifiers), sharded.search("q", modifiers)
    assert got.hits == want.hits
    assert (got.applied, got.notes) == (want.applied, want.notes)


# Lists that span both shards (rows 0-149 and 150-300), out of order, with ids listed twice,
# tied rows (150-159 repeat the best of the first half) and liked ids (d3, d100, d250) inside
# and outside the list.
WITHIN = ["d250", "d3", "d151", "d3", "d7", "d300", "d100", "d155", "d151", "d0"] + \
    [f"d{i}" for i in range(140, 165)] + [f"d{i}" for i in range(5, 300, 11)]
TWIN = f"d{np.argsort(M[:150] @ WORDS['q'])[-1]}"  # the row that d159 repeats
MASK = np.random.default_rng(5).random(len(M)) < 0.7
MASK[[3, 155]] = False  # a liked row and a tied row masked
KEYWORDS = {
    "within": dict(within=WITHIN),
    "within-masked": dict(within=WITHIN, mask=MASK),
    "masked": dict(mask=MASK),
    "within-tuned": dict(within=WITHIN, threshold=0.05, oversample=12, mmr_lambda=0.3),
    "threshold": dict(threshold=0.2),
    "within-one-twice": dict(within=["d200", "d200"]),
    "within-twins-interleaved": dict(within=[TWIN, "d159", TWIN, "d159"]),
    "within-empty": dict(within=[]),
    "all-masked": dict(mask=np.zeros(len(M), bool)),
}
KEYED_MODIFIERS = ["", "limit:40", "diverse", "diverse limit:7", "like:d3,d250", "recent:9",
                   "unlike:a from: b to: c", "like:d100 unlike:a recent diverse limit:6 from: b to: c"]


@pytest.mark.parametrize("modifiers", KEYED_MODIFIERS)
@pytest.mark.parametrize("keywords", KEYWORDS.values(), ids=KEYWORDS)
def test_keywords_give_one_machines_result(pair, keywords, modifiers):
    one, sharded = pair
    want, got = one.search("q", modifiers, **keywords), sharded.search("q", modifiers, **keywords)
    assert got.hits == want.hits
    assert (got.applied, got.notes) == (want.applied, want.notes)


BAD = {  # the first fault Corpus reports is the one reported here too
    "unknown": dict(within=["d1", "nope", "zz", "nope"]),
    "a-str": dict(within="d1"),
    "not-a-str": dict(within=["d1", 7]),
    "a-generator": dict(within=(i for i in ["d1"])),
    "short-mask": dict(mask=np.ones(len(M) - 1, bool)),
    "int-mask": dict(mask=np.ones(len(M), int)),
    "unknown-and-bad-threshold": dict(within=["nope"], threshold="x"),
    "like-before-within": dict(within=["nope"], modifiers="like:d1,gone"),
    "recent-before-within": dict(within=["nope"], modifiers="recent:0"),
}


@pytest.mark.parametrize("keywords", BAD.values(), ids=BAD)
def test_bad_keywords_raise_as_one_machine(pair, keywords):
    one, sharded = pair
    raised = []
    for corpus in (one, sharded):
        kw = dict(keywords)
        if "within" in kw and not isinstance(kw["within"], (list, str)):
            kw["within"] = (i for i in ["d1"])  # a fresh generator for each
        with pytest.raises((ValueError, TypeError)) as info:
            corpus.search("q", kw.pop("modifiers", ""), **kw)
        raised.append((type(info.value), str(info.value)))
    assert raised[0] == raised[1]


def test_a_lost_worker_raises_instead_of_a_partial_result():
    cluster = local_cluster()
    with distributed.Client(cluster) as c:
        sharded = ShardedCorpus(c, *DATA, embed=WORDS.get, timeout=20.0)
        assert sharded.search("q").hits
        with contextlib.suppress(Exception):  # the worker dies before it can answer
            c.run(os._exit, 1, workers=[sorted(c.scheduler_info()["workers"])[0]])
        with pytest.raises(ShardError, match="shard 0"):
            sharded.search("q")
    cluster.close()
