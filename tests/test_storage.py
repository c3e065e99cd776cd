"""A corpus saved and opened again: the same corpus, every damaged directory refused with a message
naming what is wrong, and saves that never leave a directory unreadable."""
import hashlib
import json
import os

import numpy as np
import pytest

from quantelle import Corpus, StorageError
from quantelle.shard_files import write_shards

RNG = np.random.default_rng(25)
M = RNG.standard_normal((40, 8))
IDS = [f"d{i}" for i in range(40)]
TS = np.where(np.arange(40) % 3 == 0, np.nan, 1.6e9 + 86400.0 * np.arange(40))
TEXTS = [None if i % 4 == 0 else f"text {i}" for i in range(40)]
META = [None if i % 5 == 0 else {"lang": "en" if i % 2 else "de", "year": 2000 + i} for i in range(40)]


def same(a, b):
    assert a.matrix.tobytes() == b.matrix.tobytes() and a.ids == b.ids
    assert (a.timestamps is None) == (b.timestamps is None)
    if a.timestamps is not None:
        np.testing.assert_array_equal(a.timestamps, b.timestamps)
    assert (a.texts, a.metadata) == (b.texts, b.metadata)
    for mods in ("limit:7", "diverse recent limit:5 like:d3"):
        assert a.search(M[1], mods).hits == b.search(M[1], mods).hits


def manifest(d):
    return json.loads((d / "manifest.json").read_text())


def rewrite(d, name, data):
    """Replace a file and record it in the manifest, so that only its content is wrong."""
    (d / name).write_bytes(data)
    m = manifest(d)
    for shard in m["shards"]:
        for record in shard["files"].values():
            if record["name"] == name:
                record.update(size=len(data), sha256=hashlib.sha256(data).hexdigest())
    (d / "manifest.json").write_text(json.dumps(m))


def npy(array):
    path = "/dev/shm/quantelle-test.npy" if os.path.isdir("/dev/shm") else "quantelle-test.npy"
    np.save(path, array)
    with open(path, "rb") as f:
        data = f.read()
    os.unlink(path)
    return data


@pytest.mark.parametrize("mmap", [True, False], ids=["mapped", "read"])
@pytest.mark.parametrize("documents", [True, False], ids=["documents", "vectors"])
def test_a_saved_corpus_opens_as_it_was(tmp_path, mmap, documents):
    extra = dict(texts=TEXTS, metadata=META) if documents else {}
    corpus = Corpus(M, IDS, TS if documents else None, **extra)
    corpus.save(tmp_path)
    opened = Corpus.open(tmp_path, mmap=mmap, verify=True)
    same(corpus, opened)
    assert opened.search(M[2], "limit:1").hits[0].metadata == (META[2] if documents else None)


def test_write_shards_writes_what_open_reads(tmp_path):
    corpus = Corpus(M, IDS, TS)
    write_shards(tmp_path, corpus, shards=3)
    same(corpus, Corpus.open(tmp_path))


def edit_manifest(change):
    def damage(d):
        m = manifest(d)
        change(m)
        (d / "manifest.json").write_text(json.dumps(m))
    return damage


def matrix_name(shard):
    return lambda m: m["shards"][shard]["files"]["matrix"]


def rename_matrix(name):
    return edit_manifest(lambda m: m["shards"][1]["files"]["matrix"].update(name=name))


def symlinked(d):
    (d / "elsewhere.npy").write_bytes((d / "shard-00001.npy").read_bytes())
    (d / "shard-00001.npy").unlink()
    (d / "shard-00001.npy").symlink_to(d / "elsewhere.npy")


def fifo(d):
    (d / "shard-00001.npy").unlink()
    os.mkfifo(d / "shard-00001.npy")


def first_row_nan(d):
    rows = np.load(d / "shard-00001.npy")
    rows[3] = np.nan
    rewrite(d, "shard-00001.npy", npy(rows))


def flip_a_byte(name, at):
    def damage(d):
        data = bytearray((d / name).read_bytes())
        data[at] ^= 1
        (d / name).write_bytes(bytes(data))
    return damage


def twice(m):
    m["shards"][1]["files"]["ids"] = m["shards"][0]["files"]["ids"]


DAMAGED = {  # shard 1 of a 2-shard directory of dated documents; what the error says
    "no-manifest": (lambda d: (d / "manifest.json").unlink(), "no manifest.json"),
    "manifest-not-json": (lambda d: (d / "manifest.json").write_text("{"), "not JSON"),
    "missing-rows": (lambda d: (d / "shard-00001.npy").unlink(), "shard-00001.npy: missing"),
    "truncated-rows": (lambda d: os.truncate(d / "shard-00001.npy", 300), "truncated"),
    "mistyped-rows": (lambda d: rewrite(d, "shard-00001.npy", npy(np.zeros((20, 8)))),
                      "expected C-ordered float32 of shape (20, 8), got float64"),
    "changed-rows": (flip_a_byte("shard-00001.npy", 200), "SHA-256"),
    "changed-ids": (flip_a_byte("shard-00001.ids.json", 3), "SHA-256"),
    "larger-ids": (lambda d: (d / "shard-00001.ids.json").write_text(json.dumps(IDS[20:] + ["x"])),
                   "larger than the manifest records"),
    "ids-not-str": (lambda d: rewrite(d, "shard-00001.ids.json", json.dumps(list(range(20))).encode()),
                    "expected a JSON list of 20 str ids"),
    "duplicate-ids": (lambda d: rewrite(d, "shard-00001.ids.json", json.dumps(IDS[:20]).encode()),
                      "the id 'd0' occurs twice (in shard-00000.ids.json and shard-00001.ids.json)"),
    "nan-row": (first_row_nan, "shard-00001.npy: row 3 holds NaN or infinite values"),
    "infinite-date": (lambda d: rewrite(d, "shard-00001.timestamps.npy", npy(np.full(20, np.inf))),
                      "timestamp 0 is inf"),
    "outside": (rename_matrix("../outside.npy"), "'../outside.npy' is not a plain file name"),
    "absolute": (rename_matrix("/etc/passwd"), "'/etc/passwd' is not a plain file name"),
    "subdirectory": (rename_matrix("sub/x.npy"), "'sub/x.npy' is not a plain file name"),
    "symlink": (symlinked, "shard-00001.npy: a symlink"),
    "fifo": (fifo, "shard-00001.npy: not a regular file"),
    "same-files-twice": (edit_manifest(twice), "'shard-00000.ids.json' is named twice"),
    "newer-version": (edit_manifest(lambda m: m.update(version=3)),
                      "format version 3 by a newer quantelle; this one reads version 2"),
    "older-version": (edit_manifest(lambda m: m.update(version=1)), "write the corpus again"),
    "version-bool": (edit_manifest(lambda m: m.update(version=True)), "version must be an int"),
    "dim-fraction": (edit_manifest(lambda m: m.update(dim=4.5)), "dim must be an int of at least 1, got 4.5"),
    "dim-zero": (edit_manifest(lambda m: m.update(dim=0)), "dim must be an int of at least 1, got 0"),
    "rows-float": (edit_manifest(lambda m: m.update(rows=40.0)), "rows must be an int of at least 0, got 40.0"),
    "rows-wrong": (edit_manifest(lambda m: m.update(rows=41, distinct_ids=41)), "the shards hold 40 rows, rows says 41"),
    "start-false": (edit_manifest(lambda m: m["shards"][1].update(start=False)),
                    "shards[1].start must be an int of at least 0, got False"),
    "start-gap": (edit_manifest(lambda m: m["shards"][1].update(start=21)), "shards[1].start must be 20"),
    "no-dated": (edit_manifest(lambda m: m.pop("dated")), "the manifest lacks the field 'dated'"),
    "unknown-field": (edit_manifest(lambda m: m.update(extra=1)), "unknown fields ['extra']"),
    "bad-digest": (edit_manifest(lambda m: m["shards"][0]["files"]["ids"].update(sha256="x")),
                   "shards[0].files.ids.sha256 must be 64 lowercase hex digits"),
}


@pytest.mark.parametrize("damage, message", DAMAGED.values(), ids=DAMAGED)
def test_a_damaged_directory_is_refused_naming_what_is_wrong(tmp_path, damage, message):
    write_shards(tmp_path, Corpus(M, IDS, TS), shards=2)
    damage(tmp_path)
    for mmap in (True, False):
        with pytest.raises(StorageError) as info:
            Corpus.open(tmp_path, mmap=mmap)
        assert message in str(info.value)


def test_a_mapped_shard_is_checked_row_by_row_only_when_asked(tmp_path):
    Corpus(M, IDS).save(tmp_path)
    rows = np.load(tmp_path / "shard-00000.npy")
    rows[5] *= 7
    rewrite(tmp_path, "shard-00000.npy", npy(rows))
    assert len(Corpus.open(tmp_path)) == 40  # mapped: the cost of reading the ids, no more
    with pytest.raises(StorageError, match="row 5 has length 7; rows are stored at unit length"):
        Corpus.open(tmp_path, verify=True)
    with pytest.raises(StorageError, match="row 5 has length 7"):
        Corpus.open(tmp_path, mmap=False)


def test_a_failed_save_leaves_the_previous_corpus_readable(tmp_path, monkeypatch):
    from quantelle import safe_files

    old = Corpus(M[:10], IDS[:10], texts=TEXTS[:10])
    old.save(tmp_path)
    real = safe_files.Writer.write
    calls = []

    def failing(self, name, chunks):
        calls.append(name)
        if len(calls) == 3:
            raise OSError("disk full")
        return real(self, name, chunks)

    monkeypatch.setattr(safe_files.Writer, "write", failing)
    with pytest.raises(OSError, match="disk full"):
        Corpus(M, IDS, TS, texts=TEXTS).save(tmp_path)
    monkeypatch.undo()
    same(old, Corpus.open(tmp_path))
    Corpus(M, IDS).save(tmp_path)  # the next save cleans up what the failed one left
    assert sorted(os.listdir(tmp_path)) == ["manifest.json", "shard-00002.ids.json", "shard-00002.npy"]


def test_saving_again_rewrites_only_what_changed(tmp_path):
    write_shards(tmp_path, Corpus(M, IDS, TS, texts=TEXTS), shards=3)
    corpus = Corpus.open(tmp_path)
    before = {name: os.stat(tmp_path / name).st_ino for name in os.listdir(tmp_path)}
    corpus.remove(["d20"])  # shard 1 (rows 13-25) loses a row
    corpus.add(M[:2] + 1, ["new1", "new2"], texts=["a", "b"])
    corpus.save(tmp_path)
    files = [s["files"] for s in manifest(tmp_path)["shards"]]
    assert [s["rows"] for s in manifest(tmp_path)["shards"]] == [13, 12, 14, 2]
    assert [f["matrix"]["name"] for f in files] == ["shard-00000.npy", "shard-00003.npy",
                                                   "shard-00002.npy", "shard-00004.npy"]
    for name in ("shard-00000.npy", "shard-00002.npy", "shard-00002.ids.json"):  # not written again
        assert os.stat(tmp_path / name).st_ino == before[name]
    assert not (tmp_path / "shard-00001.npy").exists()
    same(corpus, Corpus.open(tmp_path))
    corpus.add(M[2:3], ["new3"], metadata=[{"k": 1}])  # metadata appears: every shard gets a file
    corpus.save(tmp_path)
    same(corpus, Corpus.open(tmp_path, mmap=False))


@pytest.mark.parametrize("prepare, error, message", [
    (lambda d: (d / "notes.txt").write_text("mine"), FileExistsError, "holds no saved corpus"),
    (lambda d: (d / "manifest.json").write_text("{"), StorageError, "not saving over it"),
], ids=["foreign-files", "damaged-manifest"])
def test_a_save_never_writes_over_what_it_cannot_read(tmp_path, prepare, error, message):
    prepare(tmp_path)
    with pytest.raises(error, match=message):
        Corpus(M, IDS).save(tmp_path)


def with_copy(d):
    """Two shards of float16 corpus, each with its saved copy."""
    corpus = Corpus(M[:30], IDS[:30], TS[:30], storage="float16")
    corpus.save(d)
    corpus.add(M[30:], IDS[30:], TS[30:])
    corpus.save(d)
    return corpus


def changed_copy(d):
    half = np.load(d / "shard-00001.half.npy")
    half[3, 0] = -half[3, 0]
    rewrite(d, "shard-00001.half.npy", npy(half))


COPY_DAMAGED = {  # shard 1's copy of a 2-shard float16 directory; verify=; what the error says
    "truncated-copy": (lambda d: os.truncate(d / "shard-00001.half.npy", 200), None, "truncated"),
    "changed-copy": (flip_a_byte("shard-00001.half.npy", 200), None, "half.npy: its SHA-256"),
    "missing-errors": (lambda d: (d / "shard-00001.errors.npy").unlink(), None,
                       "shard-00001.errors.npy: missing"),
    "negative-error": (lambda d: rewrite(d, "shard-00001.errors.npy", npy(np.full(10, -1, np.float32))),
                       None, "row 0's error bound is -1.0, not a finite number of at least 0"),
    "half-not-bool": (edit_manifest(lambda m: m.update(half=1)), None, "half must be true or false, got 1"),
    "copy-of-other-rows": (changed_copy, True,
                           "shard-00001.half.npy: row 3 is not the float16 copy of the float32 row"),
    "errors-halved": (lambda d: rewrite(d, "shard-00001.errors.npy",
                                        npy(np.load(d / "shard-00001.errors.npy") / 2)), True,
                      "shard-00001.errors.npy: row 0's error bound is not the one its rows give"),
}


@pytest.mark.parametrize("damage, verify, message", COPY_DAMAGED.values(), ids=COPY_DAMAGED)
def test_a_damaged_copy_is_refused_where_it_is_read(tmp_path, damage, verify, message):
    with_copy(tmp_path)
    damage(tmp_path)
    for mmap in (True, False):
        with pytest.raises(StorageError) as info:
            Corpus.open(tmp_path, mmap=mmap, verify=verify, storage="float16")
        assert message in str(info.value)


def test_a_mapped_copy_is_hashed_only_when_asked(tmp_path):
    Corpus(M, IDS, storage="float16").save(tmp_path)
    flip_a_byte("shard-00000.half.npy", 200)(tmp_path)
    assert len(Corpus.open(tmp_path, storage="float16")) == 40
    for verify, mmap in ((True, True), (None, False)):
        with pytest.raises(StorageError, match="half.npy: its SHA-256"):
            Corpus.open(tmp_path, mmap=mmap, verify=verify, storage="float16")
    os.truncate(tmp_path / "shard-00000.half.npy", 300)
    with pytest.raises(StorageError, match="truncated"):
        Corpus.open(tmp_path, storage="float16")
    same(Corpus(M, IDS), Corpus.open(tmp_path, verify=True))  # float32 does not read the copy
