"""An on-disk cache of a built corpus: ids, excerpts, timestamps, the embedding matrix and the
embedding's word weights.

Reading 2,000 source files and embedding 20,000 documents takes tens of seconds; a cache hit
takes a fraction of one. The key is a digest of everything the result depends on: the embedder's
name, the interpreter's version, the code that reads and embeds documents, and the size and
modification time of every source file (the content itself for a JSON Lines file). Entries are written whole to a temporary file and renamed
into place, loaded without pickle, and checked on load; anything odd is a miss, so the demo is
correct with or without the cache.
"""

from __future__ import annotations

import hashlib
import os
import sys
import tempfile
import zipfile
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import numpy.typing as npt

__all__ = ["Cached", "cache_key", "default_cache_dir", "load", "save"]

_FORMAT = "quantelle-demo-cache-2"
# The modules whose code decides what an entry holds: editing them must not serve old entries.
_BUILDERS = tuple(Path(__file__).parent.parent / f for f in (
    "demo/sources.py", "embedding.py", "minilm.py", "_encoder.py"))


@dataclass(frozen=True, slots=True)
class Cached:
    ids: list[str]
    excerpts: list[str]
    timestamps: npt.NDArray[np.float64]  # NaN where a document has no date
    matrix: npt.NDArray[np.float32]
    idf: dict[str, float]  # the fitted word weights of the embedding; empty if it has none


def default_cache_dir() -> Path:
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return Path(base, "quantelle")


def cache_key(label: str, embedder: str, stat_files: Sequence[Path], content_files: Sequence[Path] = ()) -> str:
    """Digest of the corpus label, embedder, interpreter, file metadata and file contents."""
    h = hashlib.sha256()
    for part in (_FORMAT, label, embedder, sys.version):
        h.update(part.encode() + b"\0")
    for path in stat_files:
        st = path.stat()
        h.update(f"{path}\0{st.st_size}\0{st.st_mtime_ns}\0".encode())
    for path in (*_BUILDERS, *content_files):
        h.update(str(path).encode() + b"\0")
        with path.open("rb") as f:
            for block in iter(lambda: f.read(1 << 20), b""):
                h.update(block)
    return h.hexdigest()[:32]


def _path(cache_dir: Path, key: str) -> Path:
    return cache_dir / f"corpus-{key}.npz"


def load(cache_dir: Path, key: str, dim: int) -> Cached | None:
    """The entry for `key` if it exists and is consistent, else None."""
    path = _path(cache_dir, key)
    try:
        # Opened here, not by np.load, which leaves the file open when it is not a zip archive.
        with path.open("rb") as f, np.load(f, allow_pickle=False) as data:
            ids = data["ids"].tolist()
            excerpts = data["excerpts"].tolist()
            timestamps = np.array(data["timestamps"], dtype=np.float64)
            matrix = np.array(data["matrix"])
            idf = dict(zip(data["idf_words"].tolist(), data["idf_weights"].tolist(), strict=True))
    except (OSError, KeyError, ValueError, EOFError, zipfile.BadZipFile, TypeError):
        return None
    n = len(ids)
    if (
        matrix.dtype != np.float32
        or matrix.shape != (n, dim)
        or timestamps.shape != (n,)
        or len(excerpts) != n
        or not all(isinstance(i, str) for i in ids)
    ):
        return None
    return Cached(ids, excerpts, timestamps, matrix, idf)


def save(cache_dir: Path, key: str, entry: Cached) -> Path | None:
    """Write the entry atomically; return its path, or None when the directory is not writable."""
    try:
        cache_dir.mkdir(parents=True, exist_ok=True)
        fd, tmp = tempfile.mkstemp(prefix=".corpus-", suffix=".tmp", dir=cache_dir)
    except OSError:
        return None
    try:
        with os.fdopen(fd, "wb") as f:
            np.savez(
                f,
                ids=np.array(entry.ids, dtype=np.str_),
                excerpts=np.array(entry.excerpts, dtype=np.str_),
                timestamps=entry.timestamps,
                matrix=entry.matrix,
                idf_words=np.array(list(entry.idf), dtype=np.str_),
                idf_weights=np.array(list(entry.idf.values()), dtype=np.float64),
            )
        target = _path(cache_dir, key)
        os.replace(tmp, target)
        return target
    except OSError:
        Path(tmp).unlink(missing_ok=True)
        return None
