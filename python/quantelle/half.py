"""Float16 storage: a corpus scanned at half the bytes that returns the float32 answer.

A `HalfCopy` keeps, beside a store's float32 rows, their float16 copy and each row's error
bound (`row_errors`), both frozen. A search scans the copy (`_engine.score_f16`), which gives
every row an interval that holds its float32 score, and re-scores in float32 only the rows
whose interval reaches the cut; docs/half.md derives the bound. The copy follows the store
lazily: rows added since the last search are converted at the next one, and a compaction keeps
the copy's live rows rather than converting them again. A corpus saved with its copy
(`quantelle.storage`) opens with the saved copy instead, mapped with the rows, so that opening
reads neither the float32 rows nor converts them.
"""

from __future__ import annotations

import mmap
import threading
from collections.abc import Iterator
from typing import Any

import numpy as np
import numpy.typing as npt

import _quantelle

from . import _engine, threads
from .frozen import Growing
from .state import State, Store

__all__ = ["STORAGES", "HalfCopy", "check_storage", "convert", "copy_for", "mismatch", "release_rows",
           "row_errors"]

STORAGES = ("float32", "float16")

_U = 2.0 ** -24  # float32's unit roundoff
_CHUNK_BYTES = 1 << 20  # float32 rows converted per step: bounded float64 temporaries


def check_storage(storage: object) -> str:
    """`storage` if it names one; `ValueError` for a name that is neither "float32" nor "float16"."""
    if storage not in STORAGES:
        raise ValueError(f"storage must be 'float32' or 'float16', got {storage!r}")
    return str(storage)


def copy_for(store: Store, storage: object,
             saved: tuple[Growing, Growing] | None = None) -> HalfCopy | None:
    """The float16 copy of `store` where `storage` asks for one: `saved` (the copy and the errors
    of every stored row, as read from a directory) where given, else converted from the rows."""
    return HalfCopy(store, saved) if check_storage(storage) == "float16" else None


def row_errors(rows: npt.NDArray[np.float32],
               half: npt.NDArray[np.float16]) -> npt.NDArray[np.float32]:
    """Per row, an upper bound on ``|q·x - q·h| / |q|`` plus the float32 rounding of both dot
    products, for any query q: ``|x - h| + γ (|x| + |h|)``, γ = n u / (1 - n u) for n = dim + 16
    terms (the kernels' reduction trees add at most 16 roundings to a term's chain), raised by
    2^-20 for the float64 arithmetic here and rounded up to float32."""
    x = rows.astype(np.float64)
    h = half.astype(np.float64)
    n = rows.shape[1] + 16
    gamma = n * _U / (1.0 - n * _U)
    bound = (np.linalg.norm(x - h, axis=1)
             + gamma * (np.linalg.norm(x, axis=1) + np.linalg.norm(h, axis=1))) * (1.0 + 2.0 ** -20)
    out: npt.NDArray[np.float32] = bound.astype(np.float32)
    low = out.astype(np.float64) < bound
    out[low] = np.nextafter(out[low], np.float32(np.inf))
    return out


def _chunks(source: npt.NDArray[np.float32], lo: int, hi: int) -> Iterator[
        tuple[int, npt.NDArray[np.float32], npt.NDArray[np.float16], npt.NDArray[np.float32]]]:
    """Rows [lo, hi) of `source` converted a chunk at a time: (first row, float32 rows, their
    copy, their errors). The pages of a mapped `source` leave resident memory once converted."""
    mapped = _mapping(source)
    step = max(1, _CHUNK_BYTES // max(1, 4 * source.shape[1]))
    for at in range(lo, hi, step):
        block = np.ascontiguousarray(source[at:min(hi, at + step)])
        half = block.astype(np.float16)
        yield at, block, half, row_errors(block, half)
        if mapped is not None:
            _release(mapped, source, at, at + block.shape[0])


def convert(rows: npt.NDArray[np.float32]) -> tuple[npt.NDArray[np.float16], npt.NDArray[np.float32]]:
    """The float16 copy of `rows` and its errors, as a `HalfCopy` holds them."""
    half = np.empty(rows.shape, np.float16)
    errors = np.empty(rows.shape[0], np.float32)
    for at, _, h, e in _chunks(rows, 0, rows.shape[0]):
        half[at:at + h.shape[0]], errors[at:at + h.shape[0]] = h, e
    return half, errors


def mismatch(rows: npt.NDArray[np.float32], half: npt.NDArray[np.float16],
             errors: npt.NDArray[np.float32]) -> tuple[str, str]:
    """Where a stored copy differs from the one `rows` give: ("half" or "errors", which row
    and how), or ("", "")."""
    for at, _, h, e in _chunks(rows, 0, rows.shape[0]):
        span = slice(at, at + h.shape[0])
        bad = np.flatnonzero((half[span].view(np.uint16) != h.view(np.uint16)).any(axis=1))
        if bad.size:
            return "half", f"row {at + int(bad[0])} is not the float16 copy of the float32 row"
        bad = np.flatnonzero(errors[span].view(np.uint32) != e.view(np.uint32))
        if bad.size:
            return "errors", f"row {at + int(bad[0])}'s error bound is not the one its rows give"
    return "", ""


def _mapping(a: npt.NDArray[Any]) -> mmap.mmap | None:
    """The memory map under `a`, if its chain of bases ends in one."""
    o: Any = a
    while isinstance(o, np.ndarray | memoryview):
        o = o.base if isinstance(o, np.ndarray) else o.obj
    return o if isinstance(o, mmap.mmap) else None


class HalfCopy:
    """The float16 copy of a store's rows and their errors, for the epoch it last saw."""

    __slots__ = ("_epoch", "_errors", "_lock", "_rows", "_scanned")

    def __init__(self, store: Store, saved: tuple[Growing, Growing] | None = None) -> None:
        self._lock = threading.Lock()
        self._scanned = False
        self._epoch: object = None
        self._rows = self._errors = Growing(np.float16, 1)
        store.on_compact.append(self._compacted)
        if saved is not None:
            self._epoch = store.state.epoch
            self._rows, self._errors = saved
        self.arrays(store.state)  # the build pays the conversion, not the first search

    def _start(self, state: State) -> None:
        width = int(state.epoch.rows.width)
        self._epoch = state.epoch
        self._rows = Growing(np.float16, width, state.n)
        self._errors = Growing(np.float32, 0, state.n)

    def _extend(self, state: State) -> None:
        """Convert the rows the copy lacks (lock held)."""
        if self._rows.count >= state.n:
            return
        for _, _, half, errors in _chunks(state.rows(), self._rows.count, state.n):
            self._rows.append(half)
            self._errors.append(errors)

    def arrays(self, state: State) -> tuple[npt.NDArray[np.float16], npt.NDArray[np.float32]]:
        """The copy and the errors of `state`'s stored rows, frozen."""
        with self._lock:
            if state.epoch is not self._epoch:
                self._start(state)
            self._extend(state)
            return self._rows.view(state.n), self._errors.view(state.n)

    def _compacted(self, before: State, after: State) -> None:
        """Keep the copy's rows of the documents the compaction kept (the store's lock held)."""
        with self._lock:
            if before.epoch is not self._epoch:
                return
            keep = before.live_rows()
            keep = keep[keep < self._rows.count]  # ascending: the copy's part of the new epoch
            rows, errors = self._rows.view(self._rows.count), self._errors.view(self._errors.count)
            self._start(after)
            step = max(1, _CHUNK_BYTES // max(1, 2 * rows.shape[1]))
            for lo in range(0, len(keep), step):
                self._rows.append(np.ascontiguousarray(rows[keep[lo:lo + step]]))
                self._errors.append(np.ascontiguousarray(errors[keep[lo:lo + step]]))

    def score(self, arguments: dict[str, Any],
              state: State) -> tuple[list[_quantelle._Hit], int]:
        """`score_candidates(**arguments)`'s records from the copy, and the rows re-scored."""
        rows, errors = self.arrays(state)
        threads.engine_ready()
        records, rescored = _engine.score_f16(rows, errors, **arguments)
        if not self._scanned:
            release_rows(state.rows())
        return records, rescored

    def scanned(self) -> None:
        """Note that a float32 scan (`search_many`) read every row: from then on the mapped rows
        stay resident, as in a float32 corpus, rather than be faulted in again at each scan."""
        self._scanned = True


def release_rows(source: npt.NDArray[np.float32]) -> None:
    """Let the float32 rows that a search read go from resident memory where they are mapped
    (the page cache keeps them). A fault maps the whole page-cache folio around the row it
    reads, up to 2 MiB: without this, search after search would map the float32 file in."""
    mapped = _mapping(source)
    if mapped is not None:
        _release(mapped, source, 0, source.shape[0])


def _release(mapped: mmap.mmap, source: npt.NDArray[Any], lo: int, hi: int) -> None:
    """Let the mapped float32 rows [lo, hi) go from resident memory once converted: the page
    cache keeps them, and the searches touch only the few they re-score."""
    if not hasattr(mmap, "MADV_DONTNEED"):
        return
    start = source.__array_interface__["data"][0] - _address(mapped)
    begin = (start + lo * source.strides[0]) // mmap.PAGESIZE * mmap.PAGESIZE
    end = start + hi * source.strides[0]
    if end > begin:
        mapped.madvise(mmap.MADV_DONTNEED, begin, end - begin)


def _address(mapped: mmap.mmap) -> int:
    view = np.frombuffer(mapped, np.uint8, 1)
    return int(view.__array_interface__["data"][0])
