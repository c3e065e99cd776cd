"""ShardedCorpus against Corpus on the same rows, hit for hit (run by test_distributed.py)."""
import contextlib
import json
import os
import time

import numpy as np
import pytest

from quantelle import Corpus
from quantelle.distributed import MANIFEST, ShardedCorpus, ShardError, write_shards

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
def client():
    cluster = local_cluster()
    with distributed.Client(cluster) as c:
        yield c
    cluster.close()


@pytest.fixture(scope="module")
def pair(client):
    return Corpus(*DATA, embed=WORDS.get), ShardedCorpus(client, *DATA, embed=WORDS.get)


@pytest.fixture(scope="module")
def other_bits(client):
    # As if a worker's kernel rounded otherwise: every search then goes by the bound.
    sharded = ShardedCorpus(client, *DATA, embed=WORDS.get)
    assert sharded._same_bits  # one machine, one kernel
    sharded._same_bits = False
    return sharded


def assert_same(want, got, context=None):
    assert (got.hits, got.applied, got.notes) == (want.hits, want.applied, want.notes), context


# Lists that span both shards (rows 0-149 and 150-300), out of order, with ids listed twice,
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


@pytest.mark.parametrize("modifiers", MODIFIERS)
@pytest.mark.parametrize("keywords", KEYWORDS.values(), ids=KEYWORDS)
def test_sharded_search_equals_one_machine(pair, other_bits, keywords, modifiers):
    one, sharded = pair
    want = one.search("q", modifiers, **keywords)
    for corpus in (sharded, other_bits):
        assert_same(want, corpus.search("q", modifiers, **keywords))


BAD = {  # the first fault Corpus reports is the one reported here too; made afresh for each corpus
    "unknown": lambda: dict(within=["d1", "nope", "zz", "nope"]),
    "not-a-str": lambda: dict(within=["d1", 7]),
    "int-mask": lambda: dict(mask=np.ones(len(M), int)),
    "unknown-and-bad-threshold": lambda: dict(within=["nope"], threshold="x"),
    "like-before-within": lambda: dict(within=["nope"], modifiers="like:d1,gone"),
    "recent-before-within": lambda: dict(within=["nope"], modifiers="recent:0"),
}


@pytest.mark.parametrize("keywords", BAD.values(), ids=BAD)
def test_bad_keywords_raise_as_one_machine(pair, keywords):
    raised = []
    for corpus in pair:
        kw = keywords()
        with pytest.raises((ValueError, TypeError)) as info:
            corpus.search("q", kw.pop("modifiers", ""), **kw)
        raised.append((type(info.value), str(info.value)))
    assert raised[0] == raised[1]


def test_the_kernel_probe_tells_the_variants_apart(monkeypatch):
    import quantelle.distributed as sharding

    probe = pytest.importorskip("_quantelle_probe", reason="built without the test probe")
    monkeypatch.setattr(sharding, "_quantelle", probe)
    seen = {}
    for variant in probe.variants():
        probe.use(variant)
        seen[variant] = tuple(sharding._kernel_probe(384))
    # The AVX2 and AVX-512 tables compute the same bits; the scalar reference its own.
    simd = {v for k, v in seen.items() if k != "scalar"}
    assert len(simd) <= 1 and seen["scalar"] not in simd, "the probe does not tell the arithmetic apart"


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


@pytest.mark.parametrize("dated", [True, False], ids=["dated", "undated"])
def test_shards_from_files_search_as_one_machine(client, tmp_path, dated):
    ts = TS if dated else None
    one = Corpus(M, DATA[1], ts, embed=WORDS.get)
    write_shards(tmp_path, M, DATA[1], ts, shards=3)  # three shards on two workers
    assert np.array_equal(np.load(tmp_path / "shard-00001.npy"), one.matrix[100:200])  # Corpus's rows, bit for bit
    sharded = ShardedCorpus.from_directory(client, tmp_path, embed=WORDS.get)
    assert (len(sharded), sharded.dim) == (len(one), one.dim)
    for modifiers, keywords in [("recent diverse like:d3,d250 limit:6", {}), ("unlike:a", dict(within=WITHIN, mask=MASK))]:
        assert_same(one.search("q", modifiers, **keywords), sharded.search("q", modifiers, **keywords))


BROKEN = {  # what happens to shard 1's files, and what the error says
    "missing-rows": (lambda d: (d / "shard-00001.npy").unlink(), "shard-00001.npy"),
    "truncated-rows": (lambda d: (d / "shard-00001.npy").write_bytes(b"not an array"), "shard 1"),
    "wrong-dtype": (lambda d: np.save(d / "shard-00001.npy", np.zeros((151, 16))), "float64"),
    "short-ids": (lambda d: (d / "shard-00001.ids.json").write_text('["x"]'), "list of 151 str ids"),
    "repeated-ids": (lambda d: (d / "shard-00001.ids.json").write_text(json.dumps(["x"] * 151)), "distinct"),
    "missing-timestamps": (lambda d: (d / "shard-00001.timestamps.npy").unlink(), "timestamps"),
}


@pytest.mark.parametrize("damage, message", BROKEN.values(), ids=BROKEN)
def test_a_broken_shard_file_raises_naming_shard_and_worker(client, tmp_path, damage, message):
    write_shards(tmp_path, *DATA, shards=2)
    damage(tmp_path)
    worker = sorted(client.scheduler_info()["workers"])[1]
    with pytest.raises(ShardError, match=f"shard 1 on {worker}") as info:
        ShardedCorpus.from_directory(client, tmp_path, timeout=30.0)
    assert message in str(info.value)


@pytest.mark.parametrize("manifest", [None, "{", json.dumps({"format": "other"})], ids=["missing", "corrupt", "foreign"])
def test_a_broken_manifest_raises(client, tmp_path, manifest):
    write_shards(tmp_path, *DATA, shards=2)
    (tmp_path / MANIFEST).unlink()
    if manifest is not None:
        (tmp_path / MANIFEST).write_text(manifest)
    with pytest.raises(ShardError, match="manifest"):
        ShardedCorpus.from_directory(client, tmp_path, timeout=30.0)
    with pytest.raises(FileExistsError):  # nor is a directory in use written over
        write_shards(tmp_path, Corpus(*DATA))


def day_old(client, m, words, shards):
    ids, ts = [f"d{i}" for i in range(len(m))], np.full(len(m), time.time() - 86400.0)
    return Corpus(m, ids, ts, embed=words.get), ShardedCorpus(client, m, ids, ts, embed=words.get, shards=shards)


@pytest.mark.parametrize("modifiers, keywords", [("recent:1 unlike:a limit:3", {}),
                                                 ("recent:1 unlike:a diverse limit:2", {"oversample": 3})])
def test_rows_the_shards_keep_below_the_threshold_are_replaced(client, modifiers, keywords):
    # Rows x score just under the threshold, so the shards (threshold lowered by their error
    # bound) return them first, and the client drops them; the rows y behind them, above the
    # threshold but with a larger penalty, must be fetched in a second round. A day old: decay 1/2.
    e = np.eye(8)
    x, y, low = 0.6 * e[0] + 0.8 * e[2], 0.8 * e[0] + 0.5 * e[1] + np.sqrt(0.11) * e[3], 0.1 * e[0] + e[4]
    m = np.vstack([np.tile(x, (60, 1)), np.tile(y, (12, 1)), np.tile(low, (36, 1))])
    words = {"q": e[0].astype(np.float32), "a": e[1].astype(np.float32)}
    one, sharded = day_old(client, m[np.random.default_rng(4).permutation(len(m))], words, 2)
    want = one.search("q", modifiers, threshold=0.3003, **keywords)
    assert want.hits and sharded.search("q", modifiers, threshold=0.3003, **keywords).hits == want.hits


def clock_ahead(client, m, words, skew):
    """One machine over rows dated in the future (no decay), and a shard whose worker's clock
    runs `skew` seconds ahead, as far as `clock_skew` allows: the shard holds its timestamps
    `skew` earlier and hands the true ones back with its rows."""
    ids = [f"d{i}" for i in range(len(m))]
    ts = time.time() + np.array([1.0] + [30.0] * (len(m) - 1)) * 86400.0  # d0 a day ahead, the rest a month
    sharded = ShardedCorpus(client, m, ids, ts - skew, embed=words.get, shards=1, clock_skew=skew)
    gather = sharded._all

    def shifted_back(calls, deadline, timeout):
        parts = gather(calls, deadline, timeout)
        for p in parts.values():
            if isinstance(p, dict):
                p["timestamps"] = p["timestamps"] + skew
        return parts

    sharded._all = shifted_back
    return Corpus(m, ids, ts, embed=words.get), sharded


AHEAD = {  # where the shard ranks d0, and what brings it back
    "below-the-rows-returned": ("recent:1 limit:1", {}),  # only a second round, by the margin
    "below-the-threshold": ("recent:1", dict(threshold=0.6)),  # only the shard's lowered threshold
}


@pytest.mark.parametrize("modifiers, keywords", AHEAD.values(), ids=AHEAD)
def test_a_worker_clock_ahead_by_the_allowed_skew_changes_no_hit(client, modifiers, keywords):
    # The worker, two days ahead, sees d0 (0.95) a day old at half its score, below d1 (0.9),
    # d2-d9 (0.8) and the threshold; the client and one machine see every row undecayed.
    e = np.eye(4)
    m = np.array([c * e[0] + np.sqrt(1.0 - c * c) * e[1] for c in [0.95, 0.9] + [0.8] * 8])
    one, sharded = clock_ahead(client, m, {"q": e[0].astype(np.float32)}, 2 * 86400.0)
    want = one.search("q", modifiers, **keywords)
    assert want.hits[0].id == "d0"
    assert_same(want, sharded.search("q", modifiers, **keywords))
