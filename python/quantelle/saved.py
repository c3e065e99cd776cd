"""A corpus opened from its directory and saved back: the verified reader applied to every
shard, and a save that rewrites only what changed since the corpus last met that directory.

The corpus remembers, per shard of the manifest it last opened or saved, which of its stored
rows that shard holds (`Segment`). Saving to the same directory again keeps every shard whose
rows are all still there, writes the live rows of each shard that lost some as a new shard,
and the rows added since as one more. Anywhere else, or when the directory's manifest is no
longer the one the corpus knows, the save writes every row as one shard. A save with the
float16 copy writes it beside the rows of each shard it writes, and for each shard it keeps
that lacks it.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Sequence
from dataclasses import dataclass, replace
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from . import half as _half
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


def _read_ids(d: Directory, manifest: Manifest) -> list[str]:
    ids: list[str] = []
    for e in manifest.shards:
        ids += read_json_list(d, e.files["ids"], e.rows, "str ids", (str,))
    # A set, not the id map: that is built when a lookup first needs it.
    if len(set(ids)) != len(ids):
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
    return ids


def _encodes(text: str) -> bool:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def _shard_of(manifest: Manifest, row: int) -> ShardEntry:
    return next(e for e in manifest.shards if e.start <= row < e.start + e.rows)


def _read_column(d: Directory, manifest: Manifest, key: str, dtype: type[np.generic],
                 bad: Callable[[npt.NDArray[Any]], npt.NDArray[np.bool_]],
                 why: Callable[[int, Any], str]) -> Growing:
    """One number per row from each shard's `key` file; `StorageError` with why(row, value)
    for the first row of a shard where `bad` holds."""
    out = Growing(dtype, 0, manifest.rows)
    for e in manifest.shards:
        record = e.files[key]
        d.read_npy(record, np.dtype(dtype), (e.rows,), out.write_at)
        out.seal_rows(e.rows)
        values = out.view(out.count)[e.start:]
        wrong = np.flatnonzero(bad(values))
        if wrong.size:
            raise StorageError(f"{d.path / record.name}: {why(wrong[0], values[wrong[0]])}")
    return out


def _read_timestamps(d: Directory, manifest: Manifest) -> Growing:
    return _read_column(d, manifest, "timestamps", np.float64,
                        lambda v: np.isinf(v) | (v > MAX_TIMESTAMP),
                        lambda i, v: f"timestamp {i} is {v}, not a date (epoch seconds up to the "
                                     "year 9999, or NaN)")


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


def _read_half(d: Directory, manifest: Manifest, mmap: bool,
               verify: bool | None) -> tuple[Growing, Growing]:
    """The saved float16 copy (mapped as the rows would be) and the errors (read: 4 bytes a
    row), each error checked to be a bound at all: finite and not negative."""
    errors = _read_column(d, manifest, "errors", np.float32, lambda v: ~np.isfinite(v) | (v < 0),
                          lambda i, v: f"row {i}'s error bound is {v}, not a finite number of at least 0")
    dim = manifest.dim
    if mmap and len(manifest.shards) == 1:
        e = manifest.shards[0]
        return Growing.over(d.map_npy(e.files["half"], np.dtype(np.float16), (e.rows, dim),
                                      bool(verify))), errors
    half = Growing(np.float16, dim, manifest.rows)
    for e in manifest.shards:
        d.read_npy(e.files["half"], np.dtype(np.float16), (e.rows, dim), half.write_at)
        half.seal_rows(e.rows)
    return half, errors


def _check_half(d: Directory, manifest: Manifest, rows: Growing,
                saved: tuple[Growing, Growing]) -> None:
    """`StorageError` unless the saved copy is, bit for bit, the one the float32 rows give."""
    half, errors = (g.view(g.count) for g in saved)
    every = rows.view(rows.count)
    for e in manifest.shards:
        span = slice(e.start, e.start + e.rows)
        kind, wrong = _half.mismatch(every[span], half[span], errors[span])
        if kind:
            raise StorageError(f"{d.path / e.files[kind].name}: {wrong}; it was not written "
                               "from these rows")


def open_directory(path: str | os.PathLike[str], mmap: bool, verify: bool | None,
                   half: bool = False) -> tuple[Store, Layout, tuple[Growing, Growing] | None]:
    """The storage of the corpus saved in `path`, every file checked, and where `half` asks for
    it and the directory has it, the saved float16 copy and its errors; `StorageError` (a
    `ValueError`) naming the file and what is wrong, `OSError` where the directory cannot be
    read at all. `verify` also compares the copy with the one the rows give."""
    with Directory(path) as d:
        manifest = read_manifest_in(d)
        ids = _read_ids(d, manifest)
        timestamps = _read_timestamps(d, manifest) if manifest.dated else None
        texts = metadata = None
        if manifest.texts:
            texts = [t for e in manifest.shards for t in read_json_list(
                d, e.files["texts"], e.rows, "texts (str or null)", (str, type(None)))]
        if manifest.metadata:
            metadata = [m for e in manifest.shards for m in read_json_list(
                d, e.files["metadata"], e.rows, "metadata (objects or null)", (dict, type(None)))]
        rows = _read_rows(d, manifest, mmap, verify)
        copy = _read_half(d, manifest, mmap, verify) if half and manifest.half else None
        if copy is not None and verify:
            _check_half(d, manifest, rows, copy)
        store = Store(rows, ids, timestamps, texts, metadata)
        segments = tuple(Segment(e.start, e.start + e.rows, e.rows, e) for e in manifest.shards)
        return store, Layout(d.identity(), manifest, segments), copy


Copy = Callable[[], tuple[npt.NDArray[np.float16], npt.NDArray[np.float32]]]


def _content(state: State, lo: int, hi: int, copy: Copy | None) -> tuple[int, Callable[[str], Any]]:
    """How many of stored rows [lo, hi) are live, and each kind's content for those rows
    (the float16 copy's from `copy()`, that of every stored row, else converted here)."""
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

    converted: list[tuple[npt.NDArray[np.float16], npt.NDArray[np.float32]]] = []

    def content(kind: str) -> Any:
        if kind == "matrix":
            return rows_of(state.rows())
        if kind in ("half", "errors"):
            if not converted and copy is not None:
                whole = copy()
                converted.append((rows_of(whole[0]), rows_of(whole[1])))
            elif not converted:
                converted.append(_half.convert(rows_of(state.rows())))
            return converted[0][0 if kind == "half" else 1]
        if kind == "timestamps":
            return rows_of(state.timestamps())  # type: ignore[arg-type]
        return items_of({"ids": e.ids, "texts": e.texts, "metadata": e.metadata}[kind])

    return (hi - lo if picked is None else int(picked.size)), content


def save_state(path: str | os.PathLike[str], state: State, dim: int, layout: Layout | None,
               half: bool = False, copy: Copy | None = None) -> Layout:
    """Save `state` into `path` (see the module's docstring), with the float16 copy where
    `half` (`copy()`'s where given); the layout it leaves."""
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
                live, content = _content(state, seg.lo, seg.hi, copy)
                if live:
                    kept = seg.entry.files if live == seg.live == seg.entry.rows else {}
                    pieces.append(Piece(live, content, dict(kept)))
                    ranges.append((seg.lo, seg.hi))
            tail = layout.segments[-1].hi if layout.segments else 0
        live, content = _content(state, tail, state.n, copy)
        if live or not pieces:
            pieces.append(Piece(live, content, {}))
            ranges.append((tail, state.n))
        manifest = write_directory(d, pieces, dim, state.dated, state.has_texts,
                                   state.has_metadata, previous, half)
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
