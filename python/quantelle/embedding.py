"""Text to vector, in Python: the scoring core only ever sees the vectors.

`HashingEmbedder` is the default: deterministic, NumPy only, no model to download. Every word
(identifiers split at ``_`` and camelCase), every word bigram and every character 3- and 4-gram of a
word is hashed to a few signed positions of a 384-dimensional vector, a sparse random projection of
the bag of n-grams; the sum, weighted by ``1 + log(count)``, is normalised to unit length. Texts
that share words or word pieces ("parse", "parser", "parsing") land near each other; it knows
nothing of synonyms. `HashingEmbedder.fitted(texts)` also weighs each word by its inverse document
frequency in `texts`, so that a rare word ("gzip") counts for more than a common one ("data").

`load_sentence_model` wraps a sentence-embedding model when the `sentence-transformers` package
is installed and the model is already on disk; it never downloads anything.
"""

from __future__ import annotations

import hashlib
import math
import os
import re
from collections import Counter
from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import Any, Protocol

import numpy as np
import numpy.typing as npt

__all__ = ["Embedder", "HashingEmbedder", "Progress", "load_sentence_model"]

Progress = Callable[[int, int], None]
"""Called as ``progress(done, total)`` while a batch is embedded."""

_WORD = re.compile(r"[A-Za-z][a-z]+|[A-Z]+(?![a-z])|[a-z]+|[0-9]+")
_STOPWORDS = frozenset(
    """a an and are as at be been but by can do does for from has have if in into is it its may
    not of on or so such than that the their then there these this to was were when which while
    will with""".split()
)
_PROBES = 2  # signed positions per hashed feature
_CHAR_WEIGHT = 0.35  # all character n-grams of a word together weigh about this much per n
_BIGRAM_WEIGHT = 0.5


class Embedder(Protocol):
    """What the demo needs of an embedding: one text, or many with progress reports."""

    @property
    def name(self) -> str: ...

    @property
    def dim(self) -> int: ...

    def __call__(self, text: str) -> npt.NDArray[np.float32]: ...

    def embed_many(
        self, texts: Sequence[str], progress: Progress | None = None
    ) -> npt.NDArray[np.float32]: ...


def words(text: str) -> list[str]:
    """Lower-case words of `text`, identifiers split at ``_``, digits and camelCase humps."""
    return [w.lower() for w in _WORD.findall(text) if w.lower() not in _STOPWORDS]


class HashingEmbedder:
    """Hashed word, bigram and character n-gram features projected to `dim` dimensions.

    `idf` maps words to weights (see `fitted`); a word it lacks gets the largest weight in it, as a
    word never seen is rarer than any seen. A text embeds to the same vector alone or inside a
    batch, in any process.
    """

    def __init__(self, dim: int = 384, idf: Mapping[str, float] | None = None) -> None:
        if dim < 8:
            raise ValueError(f"dim must be at least 8, got {dim}")
        self._dim = dim
        self._idf = dict(idf) if idf else {}
        self._unseen = max(self._idf.values(), default=1.0)
        # Every word or bigram seen so far is a row of a sparse table (CSR): the signed positions
        # of all of its hashed features. Documents repeat a small vocabulary, so each is hashed once.
        self._row_of: dict[str, int] = {}
        self._starts = np.zeros(1, dtype=np.int64)
        self._positions = np.empty(0, dtype=np.int64)
        self._values = np.empty(0, dtype=np.float64)

    @property
    def name(self) -> str:
        return f"hashing-v1-{self._dim}" + ("-idf" if self._idf else "")

    @property
    def idf(self) -> dict[str, float]:
        """The word weights; empty when not fitted."""
        return dict(self._idf)

    def fitted(self, texts: Sequence[str]) -> HashingEmbedder:
        """A new embedder whose word weights are ``1 + log((1 + N) / (1 + df))`` over `texts`."""
        df: Counter[str] = Counter()
        for text in texts:
            df.update(set(words(text)))
        n = len(texts)
        return HashingEmbedder(
            self._dim, {w: 1.0 + math.log((1 + n) / (1 + c)) for w, c in df.items()}
        )

    @property
    def dim(self) -> int:
        return self._dim

    def __call__(self, text: str) -> npt.NDArray[np.float32]:
        vec: npt.NDArray[np.float32] = self._embed_batch([text])[0]
        return vec

    def embed_many(
        self, texts: Sequence[str], progress: Progress | None = None
    ) -> npt.NDArray[np.float32]:
        return _in_batches(texts, self._dim, 512, self._embed_batch, progress)

    def _embed_batch(self, texts: Sequence[str]) -> npt.NDArray[np.float32]:
        docs: list[int] = []
        rows: list[int] = []
        weights: list[float] = []
        new_positions: list[int] = []
        new_values: list[float] = []
        new_starts: list[int] = []
        for doc, text in enumerate(texts):
            tokens = words(text)
            features = [(t, self._weight(t), count) for t, count in Counter(tokens).items()]
            features += [
                (f"{a} {b}", _BIGRAM_WEIGHT * min(self._weight(a), self._weight(b)), count)
                for (a, b), count in Counter(zip(tokens, tokens[1:], strict=False)).items()
            ]
            for key, weight, count in features:
                row = self._row_of.get(key)
                if row is None:
                    row = self._add_row(key, new_positions, new_values, new_starts)
                docs.append(doc)
                rows.append(row)
                weights.append(weight * (1.0 + math.log(count)))
        if new_positions:
            self._positions = np.concatenate([self._positions, np.array(new_positions, np.int64)])
            self._values = np.concatenate([self._values, np.array(new_values, np.float64)])
            self._starts = np.concatenate([self._starts, np.array(new_starts, np.int64)])
        starts = self._starts
        row_idx = np.array(rows, dtype=np.int64)
        lengths = starts[row_idx + 1] - starts[row_idx]
        # Gather the CSR rows of all (doc, row) pairs at once: entry e of pair i is starts[row]+e.
        first = np.repeat(starts[row_idx] - np.cumsum(lengths) + lengths, lengths)
        entry = first + np.arange(int(lengths.sum()), dtype=np.int64)
        flat = np.repeat(np.array(docs, np.int64), lengths) * self._dim + self._positions[entry]
        summed = np.bincount(
            flat,
            weights=np.repeat(np.array(weights, np.float64), lengths) * self._values[entry],
            minlength=len(texts) * self._dim,
        )
        out = summed.astype(np.float64, copy=False).reshape(len(texts), self._dim)  # int if empty
        norms = np.linalg.norm(out, axis=1, keepdims=True)
        np.divide(out, norms, out=out, where=norms > 0.0)
        return out.astype(np.float32)

    def _weight(self, word: str) -> float:
        if not self._idf:
            return 1.0
        return self._idf.get(word, self._unseen)

    def _add_row(
        self, key: str, positions: list[int], values: list[float], starts: list[int]
    ) -> int:
        features: list[tuple[str, float]] = []
        if " " in key:
            features.append((f"b|{key}", 1.0))
        else:
            features.append((f"w|{key}", 1.0))
            padded = f"<{key}>"
            for n in (3, 4):
                grams = [padded[i : i + n] for i in range(len(padded) - n + 1)]
                for gram in grams:
                    features.append((f"c|{gram}", _CHAR_WEIGHT / math.sqrt(len(grams))))
        for feature, weight in features:
            for position, sign in _probes(feature, self._dim):
                positions.append(position)
                values.append(weight * sign)
        row = len(self._row_of)
        self._row_of[key] = row
        starts.append(len(self._positions) + len(positions))
        return row


def _in_batches(
    texts: Sequence[str],
    dim: int,
    batch: int,
    embed_chunk: Callable[[Sequence[str]], npt.NDArray[np.float32]],
    progress: Progress | None,
) -> npt.NDArray[np.float32]:
    """Embeds texts a batch at a time into one matrix, reporting (done, total) after each."""
    out = np.empty((len(texts), dim), dtype=np.float32)
    for start in range(0, len(texts), batch):
        chunk = texts[start : start + batch]
        out[start : start + len(chunk)] = embed_chunk(chunk)
        if progress is not None:
            progress(start + len(chunk), len(texts))
    if progress is not None and not texts:
        progress(0, 0)
    return out


def _probes(feature: str, dim: int) -> Iterator[tuple[int, float]]:
    # blake2b, not hash(): str hashes are salted per process, the vectors must not be.
    digest = hashlib.blake2b(feature.encode("utf-8"), digest_size=4 * _PROBES).digest()
    scale = 1.0 / math.sqrt(_PROBES)
    for k in range(_PROBES):
        word = int.from_bytes(digest[4 * k : 4 * k + 4], "little")
        yield (word >> 1) % dim, scale if word & 1 else -scale


class _SentenceModel:
    def __init__(self, model: Any, name: str, dim: int) -> None:
        self._model = model
        self._name = name
        self._dim = dim

    @property
    def name(self) -> str:
        return f"sentence-transformers:{self._name}"

    @property
    def dim(self) -> int:
        return self._dim

    def __call__(self, text: str) -> npt.NDArray[np.float32]:
        vec: npt.NDArray[np.float32] = self.embed_many([text])[0]
        return vec

    def embed_many(
        self, texts: Sequence[str], progress: Progress | None = None
    ) -> npt.NDArray[np.float32]:
        encode = self._model.encode

        def embed_chunk(chunk: Sequence[str]) -> npt.NDArray[np.float32]:
            return np.asarray(encode(list(chunk), normalize_embeddings=True), dtype=np.float32)

        return _in_batches(texts, self._dim, 256, embed_chunk, progress)


def load_sentence_model(name: str) -> Embedder:
    """A sentence-embedding model that is already installed (a local path or a cached name).

    Raises `RuntimeError` with a hint when `sentence-transformers` is missing or the model is not
    on disk: the hub is switched to offline mode first, so nothing is ever downloaded.
    """
    os.environ["HF_HUB_OFFLINE"] = "1"  # forced, not defaulted: never a download at run time
    os.environ["TRANSFORMERS_OFFLINE"] = "1"
    try:
        from sentence_transformers import (  # type: ignore[import-not-found,unused-ignore]
            SentenceTransformer,
        )
    except ImportError as e:
        raise RuntimeError(
            "a sentence-embedding model needs the 'sentence-transformers' package, which is not "
            "installed; install it and a model yourself, or use the hashing embedding"
        ) from e
    try:
        model = SentenceTransformer(name, local_files_only=True)
    except Exception as e:  # noqa: BLE001 - any loader failure means: not usable offline
        raise RuntimeError(f"model {name!r} is not available offline: {e}") from e
    dim = model.get_sentence_embedding_dimension()
    if not isinstance(dim, int) or dim <= 0:
        raise RuntimeError(f"model {name!r} does not report its embedding dimension")
    return _SentenceModel(model, name, dim)
