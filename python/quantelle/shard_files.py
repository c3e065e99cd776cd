"""A corpus as a directory of shard files (the format of `quantelle.storage`): `write_shards`
writes it, and each worker of a `ShardedCorpus.from_directory` reads the manifest and maps its
own shards from it, through the same verified reader as `Corpus.open`.
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from .corpus import Corpus
from .safe_files import Directory, StorageError
from .storage import (MANIFEST, Manifest, Piece, ShardEntry, check_rows, read_json_list,
                      read_manifest_in, write_directory)

__all__ = ["MANIFEST", "read_manifest", "read_shard", "write_shards"]


def write_shards(directory: str | os.PathLike[str], data: Corpus | npt.ArrayLike,
                 ids: Sequence[str] | None = None, timestamps: npt.ArrayLike | None = None, *,
                 shards: int = 1) -> Path:
    """Write a corpus (or the matrix, ids and timestamps `Corpus` takes) as `shards` contiguous
    shards for `ShardedCorpus.from_directory` and `Corpus.open`, and return the directory.

    Rows are written as `Corpus` holds them (float32, scaled to unit length), so the checks and
    errors are `Corpus`'s. Per shard ``shard-NNNNN.npy`` holds the rows, ``shard-NNNNN.ids.json``
    the ids (a JSON list) and, for a dated corpus, ``shard-NNNNN.timestamps.npy`` the epoch
    seconds (a corpus's texts and metadata are written too, which a sharded corpus does not
    read); `MANIFEST` lists them with their sizes and SHA-256 digests and is written last, so a
    directory without it is incomplete. `directory` is created if needed; `FileExistsError` if
    it is not empty.
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
    n, count = len(corpus), int(shards)
    contents: dict[str, Any] = {"matrix": corpus.matrix, "ids": corpus.ids,
                                "timestamps": corpus.timestamps, "texts": corpus.texts,
                                "metadata": corpus.metadata}

    def piece(lo: int, hi: int) -> Piece:
        return Piece(hi - lo, lambda kind: contents[kind][lo:hi], {})

    pieces = [piece(n * s // count, n * (s + 1) // count) for s in range(count)]
    with Directory(base) as d:
        write_directory(d, pieces, corpus.dim, corpus.dated, contents["texts"] is not None,
                        contents["metadata"] is not None, None)
    return base


def read_manifest(directory: str) -> tuple[Manifest | None, str]:
    """The manifest of a shard directory, or what is wrong with it. On a worker, which would
    log an error raised there with its traceback."""
    try:
        with Directory(directory) as d:
            return read_manifest_in(d), ""
    except Exception as e:  # noqa: BLE001 - whatever is wrong with the file is the message
        return None, str(e)


def read_shard(base: Path, entry: ShardEntry, dim: int, dated: bool) -> tuple[
        npt.NDArray[np.float32], list[str], npt.NDArray[np.float64] | None]:
    """The rows (memory-mapped), ids and timestamps of the shard that `entry` of the manifest
    describes, each file hashed as it is read and compared with the manifest, the rows checked
    finite and of unit length; `StorageError` or `OSError` naming the file."""
    with Directory(base) as d:
        record = entry.files["matrix"]
        matrix = d.map_npy(record, np.dtype(np.float32), (entry.rows, dim), True)
        check_rows(base / record.name, matrix)
        ids = read_json_list(d, entry.files["ids"], entry.rows, "str ids", (str,), distinct=True)
        ts = None
        if dated:
            record = entry.files["timestamps"]
            ts = np.empty(entry.rows, np.float64)
            flat = ts.view(np.uint8)

            def into(offset: int, chunk: memoryview) -> None:
                flat[offset:offset + len(chunk)] = np.frombuffer(chunk, np.uint8)

            d.read_npy(record, np.dtype(np.float64), (entry.rows,), into)
            if np.isinf(ts).any():
                raise StorageError(f"{base / record.name}: holds infinite timestamps")
            ts.flags.writeable = False
    return matrix, ids, ts
