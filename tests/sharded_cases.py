"""ShardedCorpus against Corpus on the same rows, hit for hit (run by test_distributed.py)."""
import contextlib
import json
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from shard_data import DATA, KEYWORDS, MODIFIERS, TS, WITHIN, WORDS, M, MASK

from quantelle import Corpus
from quantelle.distributed import MANIFEST, ShardedCorpus, ShardError, write_shards
from quantelle.merge import fingerprint

distributed = pytest.importorskip("distributed", reason="the distributed extra is not installed")

# The cluster's own sockets may be collected after a test; that is its business, not a fault here.
pytestmark = [pytest.mark.filterwarnings("ignore::ResourceWarning"),
              pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")]


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


def assert_same(want, got, context=None):
    assert (got.hits, got.applied, got.notes) == (want.hits, want.applied, want.notes), context


@pytest.mark.parametrize("modifiers", MODIFIERS)
@pytest.mark.parametrize("keywords", KEYWORDS.values(), ids=KEYWORDS)
def test_sharded_search_equals_one_machine(pair, keywords, modifiers):
    one, sharded = pair
    assert_same(one.search("q", modifiers, **keywords), sharded.search("q", modifiers, **keywords))


BAD = {  # the first fault Corpus reports is the one reported here too; made afresh for each corpus
    "unknown": lambda: dict(within=["d1", "nope", "zz", "nope"]),
    "not-a-str": lambda: dict(within=["d1", 7]),
    "int-mask": lambda: dict(mask=np.ones(len(M), int)),
    "unknown-and-bad-threshold": lambda: dict(within=["nope"], threshold="x"),
    "like-before-within": lambda: dict(within=["nope"], modifiers="like:d1,gone"),
    "recent-before-within": lambda: dict(within=["nope"], modifiers="recent:0"),
}


@pytest.mark.parametrize("method", ["search", "prepare"])
@pytest.mark.parametrize("keywords", BAD.values(), ids=BAD)
def test_bad_keywords_raise_as_one_machine(pair, keywords, method):
    # A search learns which listed ids the shards hold in its first round, prepare before it.
    raised = []
    for corpus in pair:
        kw = keywords()
        with pytest.raises((ValueError, TypeError)) as info:
            getattr(corpus, method)("q", kw.pop("modifiers", ""), **kw)
        raised.append((type(info.value), str(info.value)))
    assert raised[0] == raised[1]


ODD_IDS = {  # ids that a list packed as NUL-joined text would split, merge or lose
    "nul-inside": ["a\0b", "a", "b"],
    "nul-alone": ["\0", "", "x"],
    "non-ascii": ["é", "日本", "e\u0301"],
}


@pytest.mark.parametrize("ids", ODD_IDS.values(), ids=ODD_IDS)
def test_within_odd_ids_cross_to_the_shards_whole(client, ids):
    names = ids + [f"d{i}" for i in range(len(M) - len(ids))]
    one = Corpus(M, names)
    with ShardedCorpus(client, M, names, shards=2) as sharded:
        for listed in (ids, ids[::-1] + ids[:1], [ids[0]], []):
            assert sharded.search(M[0], "limit:5", within=listed).hits == \
                one.search(M[0], "limit:5", within=listed).hits


def test_the_fingerprint_tells_the_kernel_variants_apart():
    probe = pytest.importorskip("_quantelle_probe", reason="built without the test probe")
    seen = {}
    for variant in probe.variants():
        probe.use(variant)
        seen[variant] = fingerprint(384, probe)
    assert fingerprint(384) == fingerprint(384)  # the decay section does not depend on the instant
    # Each section (one-, two- and three-query scans, the penalty, the decay) apart: the AVX2
    # and AVX-512 tables compute the same bits, the scalar reference its own.
    for section in "01234":
        part = {k: tuple(line for line in v if line.startswith(section + " ")) for k, v in seen.items()}
        simd = {v for k, v in part.items() if k != "scalar"}
        assert len(simd) <= 1 and part["scalar"] not in simd, f"section {section} tells nothing apart"


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


# No decay: two searches at different instants decay by different factors (test_merge.py
# checks float16 parts under decay on ages that make it independent of the instant).
FLOAT16 = [("", {}), ("diverse limit:4", {}), ("like:d250,d3 unlike:a diverse limit:6 from: b to: c", {}),
           ("limit:40", dict(within=WITHIN, mask=MASK)), ("limit:12", dict(threshold=0.2))]


@pytest.mark.parametrize("from_files", [False, True], ids=["scattered", "files"])
def test_float16_shards_search_as_one_machine_and_count_the_rows_scored_again(client, tmp_path, from_files):
    one = Corpus(*DATA, embed=WORDS.get)
    if from_files:
        write_shards(tmp_path, *DATA, shards=3)
        sharded = ShardedCorpus.from_directory(client, tmp_path, embed=WORDS.get, storage="float16")
    else:
        sharded = ShardedCorpus(client, *DATA, embed=WORDS.get, storage="float16")
    with sharded:
        assert sharded.storage == "float16" and "float16" in repr(sharded)
        for modifiers, keywords in FLOAT16:
            want, got = one.search("q", modifiers, **keywords), sharded.search("q", modifiers, **keywords)
            assert_same(want, got, modifiers)
            assert want.prepared.rescored is None and got.prepared.rescored >= len(got.hits)
    with pytest.raises(ValueError, match="storage must be 'float32' or 'float16', got 'int8'"):
        ShardedCorpus(client, *DATA, storage="int8")


def tracebacks(client):
    return [m for logs in client.get_worker_logs().values() for _, m in logs if "Traceback" in m]


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
    assert message in str(info.value) and "\n" not in str(info.value)
    assert not tracebacks(client)  # no failed task that a worker would log to stderr


@pytest.mark.parametrize("manifest", [None, "{", json.dumps({"format": "other"})], ids=["missing", "corrupt", "foreign"])
def test_a_broken_manifest_raises(client, tmp_path, manifest):
    write_shards(tmp_path, *DATA, shards=2)
    (tmp_path / MANIFEST).unlink()
    if manifest is not None:
        (tmp_path / MANIFEST).write_text(manifest)
    with pytest.raises(ShardError, match="manifest"):
        ShardedCorpus.from_directory(client, tmp_path, timeout=30.0)
    assert not tracebacks(client)
    with pytest.raises(FileExistsError):  # nor is a directory in use written over
        write_shards(tmp_path, Corpus(*DATA))


def test_closing_releases_the_shards_and_refuses_later_searches(client):
    def actors():
        return sum(client.run(lambda dask_worker: len(dask_worker.state.actors)).values())

    before = actors()
    with ShardedCorpus(client, *DATA, embed=WORDS.get) as sharded:
        assert sharded.search("q").hits and actors() == before + 2
    for _ in range(100):  # the workers drop them a moment later
        if actors() == before:
            break
        distributed.wait([client.submit(len, [])])
    assert actors() == before and "closed" in repr(sharded)
    with pytest.raises(ValueError, match=r"^ShardedCorpus.search\(\): the ShardedCorpus is closed$"):
        sharded.search("q")
    sharded.close()  # again: nothing to do


def test_the_example_that_opens_the_docs_runs():
    docs = (Path(__file__).parent.parent / "docs" / "distributed.md").read_text()
    example = re.search(r"```python\n(.*?)```", docs, re.S)[1]
    run = subprocess.run([sys.executable, "-c", example], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0 and "Hit(id=" in run.stdout, run.stdout + run.stderr
