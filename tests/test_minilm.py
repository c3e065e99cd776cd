"""MiniLMEmbedder against the reference library's own vectors, its threads, and the demo."""
import json
import re
import threading
from pathlib import Path

import numpy as np
import pytest

for extra in ("tokenizers", "safetensors"):
    pytest.importorskip(extra, reason="the 'minilm' extra is not installed (pip install 'quantelle[minilm]')")

import quantelle  # noqa: E402
from quantelle import MiniLMEmbedder, _blas, minilm  # noqa: E402
from quantelle.demo import main  # noqa: E402

REFERENCE = np.load(Path(__file__).parent / "data" / "minilm_reference.npz")
TEXTS = json.loads(str(REFERENCE["texts"]))


def cosines(got, want):
    got, want = got.astype(np.float64), want.astype(np.float64)
    return (got * want).sum(axis=-1) / np.linalg.norm(got, axis=-1) / np.linalg.norm(want, axis=-1)


@pytest.fixture(scope="module")
def model_dir(tmp_path_factory):
    try:
        return minilm.model_files(cache_dir=tmp_path_factory.mktemp("cache"))
    except RuntimeError as e:
        pytest.skip(f"the MiniLM model files are not installed: {e}")


@pytest.fixture(scope="module")
def model(model_dir, tmp_path_factory):
    return MiniLMEmbedder(model_dir, cache_dir=tmp_path_factory.mktemp("cache"))


@pytest.fixture(scope="module")
def batch(model):
    # Every length, past 256 tokens too, in batches on the default threads: padding,
    # truncation and the order of the rows all show here.
    return model.embed_many(TEXTS)


@pytest.mark.parametrize("i", range(len(TEXTS)), ids=[repr(t[:24]) for t in TEXTS])
def test_vectors_match_the_reference_library(batch, i):
    got, want = batch[i], REFERENCE["vectors"][i]
    assert got.dtype == np.float32 and got.shape == (384,)
    assert cosines(got, want) >= 0.9999999
    assert float(np.abs(got - want).max()) <= 2e-6


@pytest.fixture
def watched(model, monkeypatch):
    """Many small batches, and for each: the thread it ran on and the BLAS count it saw."""
    monkeypatch.setattr(minilm, "_BATCH_TOKENS", 96)
    seen = []
    encode = MiniLMEmbedder._encode

    def spy(self, ids):
        seen.append((threading.current_thread(), tuple(_blas.counts())))
        return encode(self, ids)

    monkeypatch.setattr(MiniLMEmbedder, "_encode", spy)
    return seen


@pytest.mark.parametrize("threads, default, blas_control", [
    (1, 4, True),
    (None, 1, True),
    (3, 1, True),
    (None, 2, True),
    (2, 1, False),
], ids=["one-thread", "default-one", "three-threads", "default-two", "blas-not-found"])
def test_threads_share_the_batches_and_keep_the_order(model_dir, watched, monkeypatch, threads, default,
                                                      blas_control):
    if not blas_control:
        monkeypatch.setattr(_blas, "_libraries", lambda: ())
    before = quantelle.get_num_threads()
    quantelle.set_num_threads(default)
    try:
        embed = MiniLMEmbedder(model_dir, threads=threads)
        calls = []
        got = embed.embed_many(TEXTS, lambda done, total: calls.append((threading.current_thread(), done, total)))
    finally:
        quantelle.set_num_threads(before)
    assert cosines(got, REFERENCE["vectors"]).min() >= 0.9999999
    assert len(watched) >= 10
    runners = {t for t, _ in watched}
    if (threads or default) == 1:
        assert runners == {threading.main_thread()}
    else:
        assert threading.main_thread() not in runners and len(runners) <= (threads or default)
        assert not any(t.is_alive() for t in runners)
        if blas_control:
            assert {n for _, counts in watched for n in counts} <= {1}
    assert {t for t, _, _ in calls} == {threading.main_thread()}
    assert [done for _, done, _ in calls] == sorted({done for _, done, _ in calls})
    assert calls[-1][1:] == (len(TEXTS), len(TEXTS)) and len(calls) == len(watched)


def test_a_failed_call_stops_its_batches_and_restores_blas(model_dir, watched):
    found = _blas.counts()

    def stop(done, total):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        MiniLMEmbedder(model_dir, threads=2).embed_many(TEXTS, stop)
    assert 1 <= len(watched) <= 4  # the first, and at most those already under way
    assert not any(t.is_alive() for t, _ in watched)
    assert _blas.counts() == found


def test_overlapping_blas_limits_keep_the_lowest_and_restore_the_first():
    found = _blas.counts()
    if not found:
        pytest.skip("no OpenBLAS found in this process")
    outer, inner = _blas.limited(max(found) + 1), _blas.limited(1)
    outer.__enter__()
    assert _blas.counts() == found
    inner.__enter__()
    assert set(_blas.counts()) == {1}
    outer.__exit__(None, None, None)  # blocks of two threads may end in either order
    assert set(_blas.counts()) == {1}
    inner.__exit__(None, None, None)
    assert _blas.counts() == found


@pytest.mark.parametrize("threads, error, message", [
    (0, ValueError, "threads must be at least 1, got 0"),
    (True, TypeError, "threads must be an int, got bool"),
    ("2", TypeError, "threads must be an int, got str"),
], ids=["zero", "bool", "str"])
def test_threads_argument_is_checked(model_dir, threads, error, message):
    with pytest.raises(error, match=f"^{re.escape(message)}$"):
        MiniLMEmbedder(model_dir, threads=threads)


def test_no_texts_make_an_empty_matrix(model):
    calls = []
    got = model.embed_many([], lambda done, total: calls.append((done, total)))
    assert got.shape == (0, 384) and got.dtype == np.float32 and calls == [(0, 0)]


def test_a_model_file_changed_after_its_check_is_refused(model_dir, tmp_path):
    (folder := tmp_path / "m").mkdir()
    (folder / "model.safetensors").symlink_to(model_dir / "model.safetensors")
    (folder / "tokenizer.json").write_bytes(data := (model_dir / "tokenizer.json").read_bytes())
    assert minilm.model_files(folder, tmp_path / "cache") == folder
    (folder / "tokenizer.json").write_bytes(data[:-1] + bytes([data[-1] ^ 1]))  # same size, new mtime
    with pytest.raises(RuntimeError, match=r"tokenizer.json is not the published file \(SHA-256 differs\)"):
        minilm.model_files(folder, tmp_path / "cache")


def test_demo_finds_by_meaning_what_shares_no_word(model_dir, tmp_path, capsys):
    docs = [("felines", "Cats are small domesticated felines kept as pets."),
            ("weather", "Tomorrow brings heavy rain and strong winds."),
            ("gzip", "Compress and decompress data in the gzip format.")]
    corpus = tmp_path / "docs.jsonl"
    corpus.write_text("".join(json.dumps({"id": i, "text": t}) + "\n" for i, t in docs))
    argv = ["--embedder", "minilm", "--corpus", str(corpus), "--no-cache", "-q", "my kitten", "-m", "limit:1"]
    assert main(argv) == 0
    out = capsys.readouterr().out
    assert "all-MiniLM-L6-v2" in out and "\n1  felines " in out
