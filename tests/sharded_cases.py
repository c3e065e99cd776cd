"""ShardedCorpus against Corpus on the same rows: hit for hit, for every modifier.

Run by test_distributed.py in an interpreter of its own (the cluster's threads outlive it).
"""
import time

import numpy as np
import pytest

distributed = pytest.importorskip("distributed", reason="the distributed extra is not installed")

# The cluster's own sockets may be collected after a test; that is its business, not a fault here.
pytestmark = [pytest.mark.filterwarnings("ignore::ResourceWarning"),
              pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")]


def local_cluster():
    # A free port for the dashboard, so that two clusters never fight over the default one.
    return distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                    dashboard_address="127.0.0.1:0")

from quantelle import Corpus  # noqa: E402
from quantelle.distributed import ShardedCorpus  # noqa: E402

D = 16
WORDS = {w: np.random.default_rng(i).normal(size=D).astype(np.float32)
         for i, w in enumerate(["q", "a", "b", "c"])}


def embed(text):
    return WORDS[text]


@pytest.fixture(scope="module")
def client():
    cluster = local_cluster()
    with distributed.Client(cluster) as c:
        yield c
    cluster.close()


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(3)
    m = rng.normal(size=(301, D))
    m[200:210] = m[10:20]  # duplicate rows on the other shard
    ids = [f"d{i}" for i in range(len(m))]
    ts = time.time() - rng.uniform(0, 200, len(m)) * 86400.0
    ts[::7] = np.nan  # undated rows
    return m, ids, ts


@pytest.fixture(scope="module")
def pair(client, data):
    m, ids, ts = data
    return Corpus(m, ids, ts, embed=embed), ShardedCorpus(client, m, ids, ts, embed=embed)


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


def test_a_lost_worker_raises_instead_of_a_partial_result(data):
    import os

    from quantelle.distributed import ShardError
    m, ids, ts = data
    cluster = local_cluster()
    with distributed.Client(cluster) as c:
        sharded = ShardedCorpus(c, m, ids, ts, embed=embed, timeout=20.0)
        assert sharded.search("q").hits
        victim = sorted(c.scheduler_info()["workers"])[0]
        try:
            c.run(os._exit, 1, workers=[victim])
        except Exception:
            pass  # the worker dies before it can answer
        with pytest.raises(ShardError, match="shard 0"):
            sharded.search("q")
    cluster.close()
