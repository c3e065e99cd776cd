"""A corpus opened from its directory and saved back: the verified reader applied to every
shard, and a save that rewrites only what changed since the corpus last met that directory.

The corpus remembers, per shard of the manifest it last opened or saved, which of its stored
rows that shard holds (`Segment`). Saving to the same directory again keeps every shard whose
rows are all still there, writes the live rows of each shard that lost some as a new shard,
and the rows added since as one more. Anywhere else, or when the directory's manifest is no
longer the one the corpus knows, the save writes every row as one shard.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Sequence
from dataclasses import dataclass, replace
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from .dates import MAX_TIMESTAMP
from .frozen import Growing
from .safe_files import Directory, StorageError
from .state import State, Store
from .storage import (MANIFEST, Manifest, Piece, ShardEntry, check_rows, is_leftover,
                      read_json_list, read_manifest_in, write_directory)

__all__ = ["Layout", "Segment", "open_directory", "remap", "save_state"]


@dataclass(frozen=True, slots=True)
class Segment:
    """Stored rows [lo, hi) of an epoch, which `entry` of the manifest held when `live` of them
    were alive."""

    lo: int
    hi: int
    live: int
    entry: ShardEntry


@dataclass(frozen=True, slots=True)
class Layout:
    """What a corpus knows of the directory it last opened or saved."""

    identity: tuple[int, int]
    manifest: Manifest
    segments: tuple[Segment, ...]


def _read_ids(d: Directory, manifest: Manifest) -> tuple[list[str], dict[str, int]]:
    ids: list[str] = []
    for e in manifest.shards:
        ids += read_json_list(d, e.files["ids"], e.rows, "str ids", (str,))
    id_to_row = dict(zip(ids, range(len(ids)), strict=True))
    if len(id_to_row) != len(ids):
        seen: dict[str, int] = {}
        for row, doc in enumerate(ids):
            if doc in seen:
                files = {_shard_of(manifest, r).files["ids"].name for r in (seen[doc], row)}
                raise StorageError(f"{d.path}: the id {doc!r} occurs twice (in "
                                   f"{' and '.join(sorted(files))}); ids must be distinct")
            seen[doc] = row
    try:
        "".join(ids).encode("utf-8")
    except UnicodeEncodeError:
        bad = next(i for i in ids if not _encodes(i))
        raise StorageError(f"{d.path}: the id {bad!r} is not valid Unicode text") from None
    return ids, id_to_row


def _encodes(text: str) -> bool:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def _shard_of(manifest: Manifest, row: int) -> ShardEntry:
    return next(e for e in manifest.shards if e.start <= row < e.start + e.rows)


def _read_timestamps(d: Directory, manifest: Manifest) -> Growing:
    ts = Growing(np.float64, 0, manifest.rows)
    for e in manifest.shards:
        record = e.files["timestamps"]
        d.read_npy(record, np.dtype(np.float64), (e.rows,), ts.write_at)
        ts.seal_rows(e.rows)
        values = ts.view(ts.count)[e.start:]
        bad = np.flatnonzero(np.isinf(values) | (values > MAX_TIMESTAMP))
        if bad.size:
            raise StorageError(f"{d.path / record.name}: timestamp {bad[0]} is {values[bad[0]]}, "
                               "not a date (epoch seconds up to the year 9999, or NaN)")
    return ts


def _read_rows(d: Directory, manifest: Manifest, mmap: bool, verify: bool | None) -> Growing:
    dim = manifest.dim
    if mmap and len(manifest.shards) == 1:
        e = manifest.shards[0]
        mapped = d.map_npy(e.files["matrix"], np.dtype(np.float32), (e.rows, dim), bool(verify))
        if verify:
            check_rows(d.path / e.files["matrix"].name, mapped)
        return Growing.over(mapped)
    rows = Growing(np.float32, dim, manifest.rows)
    for e in manifest.shards:
        record = e.files["matrix"]
        d.read_npy(record, np.dtype(np.float32), (e.rows, dim), rows.write_at)
        rows.seal_rows(e.rows)
        if verify is not False:
            check_rows(d.path / record.name, rows.view(rows.count)[e.start:])
    return rows


def open_directory(path: str | os.PathLike[str], mmap: bool,
                   verify: bool | None) -> tuple[Store, Layout]:
    """The storage of the corpus saved in `path`, every file checked; `StorageError` (a
    `ValueError`) naming the file and what is wrong, `OSError` where the directory cannot be
    read at all."""
    with Directory(path) as d:
        manifest = read_manifest_in(d)
        ids, id_to_row = _read_ids(d, manifest)
        timestamps = _read_timestamps(d, manifest) if manifest.dated else None
        texts = metadata = None
        if manifest.texts:
            texts = [t for e in manifest.shards for t in read_json_list(
                d, e.files["texts"], e.rows, "texts (str or null)", (str, type(None)))]
        if manifest.metadata:
            metadata = [m for e in manifest.shards for m in read_json_list(
                d, e.files["metadata"], e.rows, "metadata (objects or null)", (dict, type(None)))]
        rows = _read_rows(d, manifest, mmap, verify)
        store = Store(rows, ids, timestamps, texts, metadata, id_to_row)
        segments = tuple(Segment(e.start, e.start + e.rows, e.rows, e) for e in manifest.shards)
        return store, Layout(d.identity(), manifest, segments)


def _content(state: State, lo: int, hi: int) -> tuple[int, Callable[[str], Any]]:
    """How many of stored rows [lo, hi) are live, and each kind's content for those rows."""
    mask = state.mask()
    picked: npt.NDArray[np.intp] | None = None
    if mask is not None and not mask[lo:hi].all():
        picked = lo + np.flatnonzero(mask[lo:hi])
    e = state.epoch

    def rows_of(a: npt.NDArray[Any]) -> npt.NDArray[Any]:
        return a[lo:hi] if picked is None else a[picked]

    def items_of(items: Sequence[Any] | None) -> list[Any]:
        if items is None:
            return [None] * (hi - lo if picked is None else picked.size)
        return list(items[lo:hi]) if picked is None else [items[r] for r in picked.tolist()]

    def content(kind: str) -> Any:
        if kind == "matrix":
            return rows_of(state.rows())
        if kind == "timestamps":
            return rows_of(state.timestamps())  # type: ignore[arg-type]
        return items_of({"ids": e.ids, "texts": e.texts, "metadata": e.metadata}[kind])

    return (hi - lo if picked is None else int(picked.size)), content


def save_state(path: str | os.PathLike[str], state: State, dim: int,
               layout: Layout | None) -> Layout:
    """Save `state` into `path` (see the module's docstring); the layout it leaves."""
    base = Path(path)
    base.mkdir(parents=True, exist_ok=True)
    with Directory(base) as d:
        previous = None
        if d.exists(MANIFEST):
            try:
                previous = read_manifest_in(d)
            except StorageError as e:
                raise StorageError(f"{e}; not saving over it: save elsewhere, or remove it") from None
        elif any(not is_leftover(name) for name in d.names()):
            raise FileExistsError(f"{base} is not empty and holds no saved corpus: save into an "
                                  "empty directory, or over a saved corpus")
        same = (layout is not None and previous is not None and layout.identity == d.identity()
                and layout.manifest.digest == previous.digest)
        ranges: list[tuple[int, int]] = []
        pieces: list[Piece] = []
        tail = 0
        if same and layout is not None:
            for seg in layout.segments:
                live, content = _content(state, seg.lo, seg.hi)
                if live:
                    kept = seg.entry.files if live == seg.live == seg.entry.rows else {}
                    pieces.append(Piece(live, content, dict(kept)))
                    ranges.append((seg.lo, seg.hi))
            tail = layout.segments[-1].hi if layout.segments else 0
        live, content = _content(state, tail, state.n)
        if live or not pieces:
            pieces.append(Piece(live, content, {}))
            ranges.append((tail, state.n))
        manifest = write_directory(d, pieces, dim, state.dated, state.has_texts,
                                   state.has_metadata, previous)
        segments = tuple(Segment(lo, hi, e.rows, e) for (lo, hi), e in
                         zip(ranges, manifest.shards, strict=True))
        return Layout(d.identity(), manifest, segments)


def remap(layout: Layout, before: State) -> Layout:
    """The layout after `before`'s epoch was compacted into its live rows."""
    mask = before.mask()
    if mask is None:
        return layout
    ahead = np.concatenate([[0], np.cumsum(mask, dtype=np.int64)])
    return replace(layout, segments=tuple(
        Segment(int(ahead[s.lo]), int(ahead[s.hi]), s.live, s.entry) for s in layout.segments))
