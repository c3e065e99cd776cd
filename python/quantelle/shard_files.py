"""A corpus as a directory of shard files: `write_shards` writes it, and each worker of a
`ShardedCorpus.from_directory` reads the manifest and memory-maps its own shards from it.

Per shard ``shard-NNNNN.npy`` holds the rows, ``shard-NNNNN.ids.json`` the ids and, for a dated
corpus, ``shard-NNNNN.timestamps.npy`` the epoch seconds; `MANIFEST` lists them.
"""

from __future__ import annotations

import json
import os
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from .corpus import Corpus

__all__ = ["MANIFEST", "read_manifest", "read_shard", "write_shards"]

MANIFEST = "manifest.json"
"""The file of a shard directory that lists its shards, written last by `write_shards`."""
_FORMAT = "quantelle-shards"
_VERSION = 1


def write_shards(directory: str | os.PathLike[str], data: Corpus | npt.ArrayLike,
                 ids: Sequence[str] | None = None, timestamps: npt.ArrayLike | None = None, *,
                 shards: int = 1) -> Path:
    """Write a corpus (or the matrix, ids and timestamps `Corpus` takes) as `shards` contiguous
    shards for `ShardedCorpus.from_directory`, and return the directory.

    Rows are written as `Corpus` holds them (float32, scaled to unit length), so the checks and
    errors are `Corpus`'s. Per shard ``shard-NNNNN.npy`` holds the rows, ``shard-NNNNN.ids.json``
    the ids (a JSON list) and, for a dated corpus, ``shard-NNNNN.timestamps.npy`` the epoch
    seconds; `MANIFEST` lists them and is written last, so a directory without it is incomplete.
    `directory` is created if needed; `FileExistsError` if it is not empty.
    """
    if isinstance(data, Corpus):
        if ids is not None or timestamps is not None:
            raise TypeError("write_shards takes ids and timestamps only with a matrix, not a Corpus")
        corpus = data
    else:
        if ids is None:
            raise TypeError("write_shards needs the ids of the matrix's rows")
        corpus = Corpus(data, ids, timestamps)
    if isinstance(shards, bool) or not isinstance(shards, (int, np.integer)):
        raise TypeError(f"shards must be an int, got {type(shards).__name__}")
    if shards < 1:
        raise ValueError(f"shards must be at least 1, got {shards}")
    base = Path(directory)
    base.mkdir(parents=True, exist_ok=True)
    if any(base.iterdir()):
        raise FileExistsError(f"{base} is not empty")
    n = len(corpus)
    entries = []
    for s in range(int(shards)):
        lo, hi = n * s // shards, n * (s + 1) // shards
        name = f"shard-{s:05d}"
        entry: dict[str, Any] = {"start": lo, "rows": hi - lo, "matrix": f"{name}.npy",
                                 "ids": f"{name}.ids.json", "timestamps": None}
        np.save(base / entry["matrix"], corpus.matrix[lo:hi], allow_pickle=False)
        (base / entry["ids"]).write_text(json.dumps(corpus.ids[lo:hi]), encoding="utf-8")
        if corpus.timestamps is not None:
            entry["timestamps"] = f"{name}.timestamps.npy"
            np.save(base / entry["timestamps"], corpus.timestamps[lo:hi], allow_pickle=False)
        entries.append(entry)
    manifest = {"format": _FORMAT, "version": _VERSION, "rows": n, "dim": corpus.dim,
                "dated": corpus.timestamps is not None, "shards": entries}
    partial = base / (MANIFEST + ".partial")
    partial.write_text(json.dumps(manifest, indent=1), encoding="utf-8")
    partial.replace(base / MANIFEST)
    return base


def read_manifest(directory: str) -> tuple[dict[str, Any] | None, str]:
    """The manifest of a shard directory, or what is wrong with it. On a worker, which would
    log an error raised there with its traceback."""
    try:
        return _checked_manifest(Path(directory) / MANIFEST), ""
    except Exception as e:  # noqa: BLE001 - whatever is wrong with the file is the message
        return None, str(e)


def _checked_manifest(path: Path) -> dict[str, Any]:
    """The manifest at `path`, checked to describe contiguous shards."""
    manifest = json.loads(path.read_text(encoding="utf-8"))
    if not isinstance(manifest, dict) or manifest.get("format") != _FORMAT:
        raise ValueError(f"{path} is not a shard manifest")
    if manifest.get("version") != _VERSION:
        raise ValueError(f"{path}: version {manifest.get('version')!r}, this reader knows {_VERSION}")
    start = 0
    for s, e in enumerate(manifest["shards"]):
        if e["start"] != start or e["rows"] < 0:
            raise ValueError(f"{path}: shard {s} starts at row {e['start']}, expected {start}")
        start += e["rows"]
    if start != manifest["rows"] or not manifest["shards"] or manifest["dim"] < 1:
        raise ValueError(f"{path}: the shards hold {start} rows, the manifest says {manifest['rows']}")
    return manifest


def read_shard(base: Path, entry: dict[str, Any], dim: int, dated: bool) -> tuple[
        npt.NDArray[np.float32], list[str], npt.NDArray[np.float64] | None]:
    """The rows (memory-mapped), ids and timestamps of the shard that `entry` of the manifest
    describes, checked against it; `ValueError` or `OSError` naming the file."""
    rows = int(entry["rows"])
    path = base / entry["matrix"]
    matrix = np.load(path, mmap_mode="r", allow_pickle=False)
    if matrix.dtype != np.float32 or matrix.shape != (rows, dim) or not matrix.flags.c_contiguous:
        raise ValueError(f"{path}: expected C-ordered float32 rows of shape ({rows}, {dim}), "
                         f"got {matrix.dtype} {matrix.shape}")
    path = base / entry["ids"]
    ids = json.loads(path.read_text(encoding="utf-8"))
    if not isinstance(ids, list) or len(ids) != rows or not all(isinstance(i, str) for i in ids):
        raise ValueError(f"{path}: expected a JSON list of {rows} str ids")
    if len(set(ids)) != rows:
        raise ValueError(f"{path}: ids must be distinct")
    ts = None
    if dated:
        if not entry.get("timestamps"):
            raise ValueError(f"{base / MANIFEST}: a dated corpus, but no timestamps file for "
                             f"the shard at row {entry['start']}")
        path = base / entry["timestamps"]
        ts = np.load(path, mmap_mode="r", allow_pickle=False)
        if ts.dtype != np.float64 or ts.shape != (rows,):
            raise ValueError(f"{path}: expected float64 timestamps of shape ({rows},), got "
                             f"{ts.dtype} {ts.shape}")
    return matrix, ids, ts
