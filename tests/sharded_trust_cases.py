"""What a ShardedCorpus refuses to trust: files outside or changed under it, ids it holds twice,
bad arguments, a worker lost mid-search (run by test_distributed.py)."""
import contextlib
import hashlib
import json
import os
import time

import numpy as np
import pytest
from shard_data import DATA, WORDS
from sharded_cases import client, local_cluster  # noqa: F401 - the cluster fixture, shared

from quantelle import Corpus
from quantelle.distributed import MANIFEST, ShardedCorpus, ShardError, write_shards

distributed = pytest.importorskip("distributed", reason="the distributed extra is not installed")

pytestmark = [pytest.mark.filterwarnings("ignore::ResourceWarning"),
              pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")]


def rewrite(d, name, data):
    """Write `name` anew and record it in the manifest, as a writer would that meant it."""
    (d / name).write_bytes(data)
    manifest = json.loads((d / MANIFEST).read_text())
    for shard in manifest["shards"]:
        for record in shard["files"].values():
            if record["name"] == name:
                record.update(size=len(data), sha256=hashlib.sha256(data).hexdigest())
    (d / MANIFEST).write_text(json.dumps(manifest))


def renamed(d, name):
    manifest = json.loads((d / MANIFEST).read_text())
    manifest["shards"][1]["files"]["matrix"]["name"] = name
    (d / MANIFEST).write_text(json.dumps(manifest))


def npy(array):
    path = f"/tmp/quantelle-trust-{os.getpid()}.npy"
    np.save(path, array)
    with open(path, "rb") as f:
        data = f.read()
    os.unlink(path)
    return data


def outside(d):
    (d.parent / "outside").mkdir()
    (d.parent / "outside" / "evil.npy").write_bytes((d / "shard-00001.npy").read_bytes())
    renamed(d, "../outside/evil.npy")


def symlinked(d):
    (d / "shard-00001.npy").rename(d.parent / "real.npy")
    (d / "shard-00001.npy").symlink_to(d.parent / "real.npy")


def fifo(d):
    (d / MANIFEST).unlink()
    os.mkfifo(d / MANIFEST)


UNTRUSTED = {  # what is done to the directory, and what the error says
    "parent-path": (outside, "not a plain file name"),
    "absolute-path": (lambda d: renamed(d, str((d / "shard-00001.npy").resolve())), "not a plain file name"),
    "symlink": (symlinked, "symlink"),
    "fifo-manifest": (fifo, "not a regular file"),
    "same-files-twice": (lambda d: rewrite(d, MANIFEST, (d / MANIFEST).read_bytes().replace(b"shard-00001", b"shard-00000")), "named twice"),
    "id-on-two-shards": (lambda d: rewrite(d, "shard-00001.ids.json", json.dumps(["d0"] + DATA[1][151:]).encode()), "'d0'"),
    "nan-row": (lambda d: rewrite(d, "shard-00001.npy", npy(np.full((151, 16), np.nan, np.float32))), "NaN"),
    "non-unit-row": (lambda d: rewrite(d, "shard-00001.npy", npy(np.full((151, 16), 7.0, np.float32))), "length"),
    "infinite-timestamp": (lambda d: rewrite(d, "shard-00001.timestamps.npy", npy(np.full(151, np.inf))), "infinite"),
}


@pytest.mark.parametrize("damage, message", UNTRUSTED.values(), ids=UNTRUSTED)
def test_untrusted_files_are_refused_and_the_cluster_stays_usable(client, tmp_path, damage, message):
    d = tmp_path / "corpus"
    write_shards(d, *DATA, shards=2)
    damage(d)
    with pytest.raises(ShardError, match="shard|manifest") as info:
        ShardedCorpus.from_directory(client, d, timeout=20.0)
    assert message in str(info.value)
    write_shards(tmp_path / "fine", *DATA, shards=2)  # a FIFO must not wedge the worker that read it
    with ShardedCorpus.from_directory(client, tmp_path / "fine", timeout=20.0) as fine:
        assert len(fine) == len(DATA[0])


CHANGED = {  # what happens to shard 1's rows after they were mapped
    "truncated": lambda p: os.truncate(p, 100),
    "rewritten-in-place": lambda p: p.write_bytes(p.read_bytes()[:128] + bytes(p.stat().st_size - 128)),
    "replaced": lambda p: (p.with_suffix(".new").write_bytes(p.read_bytes()), os.replace(p.with_suffix(".new"), p)),
}


@pytest.mark.parametrize("change", CHANGED.values(), ids=CHANGED)
def test_a_file_changed_after_opening_fails_the_search(client, tmp_path, change):
    write_shards(tmp_path, *DATA, shards=2)
    sharded = ShardedCorpus.from_directory(client, tmp_path, embed=WORDS.get, timeout=20.0)
    want = Corpus(*DATA, embed=WORDS.get).search("q")
    assert sharded.search("q").hits == want.hits
    time.sleep(0.01)  # a distinct modification time even on coarse clocks
    change(tmp_path / "shard-00001.npy")
    try:  # never a result read from what the file holds now
        got = sharded.search("q")
    except ShardError as e:
        assert "shard 1" in str(e)
    else:
        assert got.hits == want.hits
    sharded.close()


BAD_ARGUMENTS = {
    "negative-skew": (dict(clock_skew=-1.0), {}, "clock_skew"),
    "nan-skew": (dict(clock_skew=float("nan")), {}, "clock_skew"),
    "nan-timeout": (dict(timeout=float("nan")), {}, "timeout"),
    "zero-timeout": (dict(timeout=0.0), {}, "timeout"),
    "negative-timeout": (dict(timeout=-5.0), {}, "timeout"),
    "nan-search-timeout": ({}, dict(timeout=float("nan")), "timeout"),
    "zero-search-timeout": ({}, dict(timeout=0), "timeout"),
}


@pytest.mark.parametrize("make, search, name", BAD_ARGUMENTS.values(), ids=BAD_ARGUMENTS)
def test_bad_arguments_raise_value_error_naming_them(client, make, search, name):
    with pytest.raises(ValueError, match=name):
        with ShardedCorpus(client, *DATA, embed=WORDS.get, **make) as sharded:
            sharded.search("q", "recent", **search)


@pytest.mark.parametrize("timeout", [None, float("inf"), 1e10])
def test_no_limit_is_no_limit(client, timeout):
    with ShardedCorpus(client, *DATA, embed=WORDS.get, timeout=timeout) as sharded:
        assert sharded.search("q", "recent limit:3", timeout=timeout).hits == \
            Corpus(*DATA, embed=WORDS.get).search("q", "recent limit:3").hits


@pytest.mark.parametrize("keywords", [dict(within=["d1", "\ud800"]), dict(modifiers="like:\ud800")],
                         ids=["within", "like"])
def test_text_a_shard_cannot_encode_raises_as_one_machine(client, keywords):
    raised = []
    with ShardedCorpus(client, *DATA, embed=WORDS.get) as sharded:
        for corpus in (Corpus(*DATA, embed=WORDS.get), sharded):
            kw = dict(keywords)
            with pytest.raises(Exception) as info:
                corpus.search("q", kw.pop("modifiers", ""), **kw)
            raised.append((type(info.value), str(info.value)))
    assert raised[0] == raised[1]


@pytest.mark.parametrize("keywords", [{}, dict(within=DATA[1][::3])], ids=["plain", "within"])
def test_a_worker_killed_mid_search_fails_the_search_long_before_its_timeout(keywords):
    cluster = local_cluster()
    with distributed.Client(cluster) as c:
        sharded = ShardedCorpus(c, *DATA, embed=WORDS.get, timeout=120.0)
        assert sharded.search("q", **keywords).hits
        victim = sorted(c.scheduler_info()["workers"])[0]
        with contextlib.suppress(Exception):
            c.run(os._exit, 1, workers=[victim])
        start = time.monotonic()
        with pytest.raises(ShardError, match="shard 0"):
            sharded.search("q", **keywords)
        # The client looks for the worker every quarter second (at most 0.26 s measured in 30
        # runs on a loaded 2-core machine); 3 s leaves room for load, far below any timeout.
        assert time.monotonic() - start < 3.0
    cluster.close()
