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
