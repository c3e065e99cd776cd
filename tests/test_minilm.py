"""MiniLMEmbedder against the reference library's own vectors, and the demo."""
import json
from pathlib import Path

import numpy as np
import pytest

for extra in ("tokenizers", "safetensors"):
    pytest.importorskip(extra, reason="the 'minilm' extra is not installed (pip install 'quantelle[minilm]')")

from quantelle import MiniLMEmbedder, minilm  # noqa: E402
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
def batch(model_dir, tmp_path_factory):
    # One batch of every length, past 256 tokens too: padding and truncation both show here.
    return MiniLMEmbedder(model_dir, cache_dir=tmp_path_factory.mktemp("cache")).embed_many(TEXTS)


@pytest.mark.parametrize("i", range(len(TEXTS)), ids=[repr(t[:24]) for t in TEXTS])
def test_vectors_match_the_reference_library(batch, i):
    got, want = batch[i], REFERENCE["vectors"][i]
    assert got.dtype == np.float32 and got.shape == (384,)
    assert float(np.dot(got, want)) >= 0.9999
    assert float(np.abs(got - want).max()) <= 1e-4


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
