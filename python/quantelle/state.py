"""What a `Corpus` holds, as snapshots that a search reads once and a change replaces whole.

An `Epoch` is the storage between two compactions. Its rows are only ever appended, so a row
number names one document for the epoch's whole life: ids, texts and metadata are lists
appended in place, the rows and timestamps `Growing` frozen arrays, and a removal writes the
version that removed each row into `death` instead of deleting anything. A `State` is a
snapshot of an epoch: its first `n` rows, of which those whose death version is above its own
`version` are alive. A search that holds a state therefore sees exactly the corpus as it was
when the state was published, whatever `add` and `remove` do meanwhile; the writer lock only
orders the writers.
"""

from __future__ import annotations

import itertools
import math
import threading
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from ._engine import CheckedIds
from .documents import unit_rows
from .frozen import Growing, frozen_copy
from .where import Indexes

__all__ = ["ALIVE", "COMPACT_SHARE", "Epoch", "State", "Store"]

ALIVE = np.iinfo(np.int64).max  # the death version of a row that was never removed

Metadata = dict[str, Any] | None


class Epoch:
    """Rows appended since the last compaction; see the module's docstring."""

    def __init__(self, rows: Growing, ids: list[str], timestamps: Growing | None,
                 texts: list[str | None] | None, metadata: list[Metadata] | None,
                 lock: threading.Lock) -> None:
        self.rows = rows
        self.ids = ids
        self.timestamps = timestamps
        self.texts = texts
        self.metadata = metadata
        # Built on first use: a corpus that only searches never looks an id up, and at a million
        # rows the map and its row numbers take about 60 MiB.
        self._id_to_row: dict[str, int] | None = None
        self._map_lock = threading.Lock()
        self.earlier: dict[str, list[int]] = {}  # rows an id had before it was added again
        self.death = np.full(max(16, rows.count), ALIVE, np.int64)
        self.indexes = Indexes(lock)
        # The ids of the first rows as a tuple, and the engine's handle that keeps it checked;
        # the row count of the last search that passed `ids` itself instead.
        self.checked: tuple[tuple[str, ...], CheckedIds] | None = None
        self.listed = -1

    @property
    def id_to_row(self) -> dict[str, int]:
        """The row of each id (its latest, for an id added again)."""
        found = self._id_to_row
        if found is None:
            # Its own lock, not the store's: a writer asks for it with that one held. `ids` holds
            # just the first rows until an add has read it (add reads it, then extends `ids`).
            with self._map_lock:
                if self._id_to_row is None:
                    self._id_to_row = dict(zip(self.ids, range(len(self.ids))))
                found = self._id_to_row
        return found

    def mark_dead(self, rows: npt.NDArray[np.int64], version: int) -> None:
        self.death[rows] = version

    def grow_death(self, n: int) -> None:
        """Room in `death` for `n` rows (new rows are alive)."""
        if n > self.death.size:
            grown = np.full(max(n, 2 * self.death.size), ALIVE, np.int64)
            grown[:self.death.size] = self.death
            self.death = grown


class State:
    """A snapshot: the epoch's first `n` rows as of removal `version`, `live` of them alive."""

    __slots__ = ("_live_rows", "_mask", "_rows", "dated", "epoch", "has_metadata", "has_texts",
                 "live", "n", "version")

    def __init__(self, epoch: Epoch, n: int, version: int, live: int) -> None:
        self.epoch, self.n, self.version, self.live = epoch, n, version, live
        self.dated = epoch.timestamps is not None
        self.has_texts = epoch.texts is not None
        self.has_metadata = epoch.metadata is not None
        self._rows: npt.NDArray[np.float32] | None = None
        self._mask: npt.NDArray[np.bool_] | None = None
        self._live_rows: npt.NDArray[np.intp] | None = None

    @property
    def dead(self) -> int:
        return self.n - self.live

    def rows(self) -> npt.NDArray[np.float32]:
        """The stored rows, the dead among them, read-only and frozen."""
        if self._rows is None:
            self._rows = self.epoch.rows.view(self.n)
        return self._rows

    def ids(self) -> Sequence[str]:
        """The ids of the stored rows (the dead among them; a list may hold more) for the engine.

        From the second search at one row count on, one tuple that the engine checked once
        (`CheckedIds`) instead of at every call; the first search passes the list itself, so
        that a corpus changed between every two searches pays no copy."""
        e = self.epoch
        held = e.checked
        if held is not None and len(held[0]) == self.n:
            return held[0]
        if e.listed != self.n:
            e.listed = self.n
            return e.ids
        frozen = tuple(e.ids) if len(e.ids) == self.n else tuple(e.ids[:self.n])
        e.checked = (frozen, CheckedIds(frozen))  # states of one count share it (remove keeps n)
        return frozen

    def timestamps(self) -> npt.NDArray[np.float64] | None:
        t = self.epoch.timestamps
        return None if t is None or not self.dated else t.view(self.n)

    def mask(self) -> npt.NDArray[np.bool_] | None:
        """One frozen flag per stored row, False where dead; None while no row is."""
        if self.dead == 0:
            return None
        if self._mask is None:
            self._mask = frozen_copy(self.epoch.death[:self.n] > self.version, np.bool_)
        return self._mask

    def live_rows(self) -> npt.NDArray[np.intp]:
        """The stored row of each live document, in order."""
        if self._live_rows is None:
            mask = self.mask()
            self._live_rows = np.arange(self.n) if mask is None else np.flatnonzero(mask)
        return self._live_rows

    def alive(self, row: int) -> bool:
        return row < self.n and int(self.epoch.death[row]) > self.version

    def row_of(self, doc: str) -> int | None:
        """The stored row of the live document `doc`, or None."""
        e = self.epoch
        row = e.id_to_row.get(doc)
        if row is not None and self.alive(row):
            return row
        for earlier in e.earlier.get(doc, ()):
            if self.alive(earlier):
                return earlier
        return None

    def rows_of(self, docs: Sequence[str]) -> dict[str, int]:
        """The stored row of each of `docs` that is live here."""
        e = self.epoch
        unique = list(dict.fromkeys(docs))
        # One lookup and one liveness test for all, in C: a within= list may hold 100k ids.
        rows = np.array(list(map(e.id_to_row.get, unique, itertools.repeat(-1))), np.int64)
        live = (rows >= 0) & (rows < self.n)
        live[live] = e.death[rows[live]] > self.version
        found = dict(zip(itertools.compress(unique, live), rows[live].tolist()))
        if e.earlier:  # an id added again after a removal may be live in an earlier row
            again = {doc: row for doc in itertools.compress(unique, ~live)
                     if (row := self.row_of(doc)) is not None}
            if again:
                found.update(again)
                return {d: found[d] for d in unique if d in found}  # in the order asked
        return found


COMPACT_SHARE = 0.2
"""`remove` compacts once more than this share of the stored rows is dead: a search then scans
at most 1 / (1 - 0.2) = 1.25 times the live rows, and each removal pays for its compaction."""


class Store:
    """The corpus's storage and its one writer lock. `current()` is the published state, which
    readers take without the lock; `add` and `remove` build the next state and publish it in one
    assignment. Rows that `add` accepted wait in `pending` until the next reader (or writer)
    needs them, so a run of single adds scales its rows as one block."""

    def __init__(self, rows: Growing, ids: list[str], timestamps: Growing | None,
                 texts: list[str | None] | None, metadata: list[Metadata] | None) -> None:
        self.lock = threading.Lock()
        epoch = Epoch(rows, ids, timestamps, texts, metadata, self.lock)
        self.state = State(epoch, rows.count, 0, rows.count)
        # Rows accepted by `add` and not yet published: raw, in one buffer that doubles.
        self.staged = np.empty((16, rows.width), np.float32)
        self.pending = 0
        self.pending_dates: list[tuple[int, npt.NDArray[np.float64]]] = []
        self.on_compact: list[Any] = []  # callables(state before, state after), lock held

    def current(self) -> State:
        if self.pending:
            with self.lock:
                self.flush()
        return self.state

    def clean(self) -> State:
        """The state with no dead row (compacting first if needed)."""
        with self.lock:
            self.flush()
            if self.state.dead:
                self.compact()
            return self.state

    def flush(self) -> None:
        """Publish the pending rows (lock held)."""
        k = self.pending
        if not k:
            return
        s = self.state
        e = s.epoch
        block = unit_rows(self.staged[:k])
        e.rows.append(block)
        if e.timestamps is not None or self.pending_dates:
            if e.timestamps is None:
                e.timestamps = Growing(np.float64, 0, s.n + k)
                e.timestamps.append(np.full(s.n, np.nan))
            dates = np.full(k, np.nan)
            for at, values in self.pending_dates:
                dates[at:at + len(values)] = values
            e.timestamps.append(dates)
        e.grow_death(s.n + k)
        self.pending, self.pending_dates = 0, []
        if self.staged.shape[0] > 4096:  # a long run of adds: give its buffer back
            self.staged = np.empty((16, e.rows.width), np.float32)
        self.state = State(e, s.n + k, s.version, s.live + k)

    def stage(self, vectors: npt.NDArray[Any]) -> None:
        """Copy rows past the pending ones as float32; `ValueError` (and nothing staged) where
        one is not finite (lock held)."""
        k, d = vectors.shape
        at = self.pending
        if at + k > self.staged.shape[0]:
            grown = np.empty((max(at + k, 2 * self.staged.shape[0]), d), np.float32)
            grown[:at] = self.staged[:at]
            self.staged = grown
        self.staged[at:at + k] = vectors
        flat = self.staged.reshape(-1)[at * d:(at + k) * d]
        # One dot product finds NaN and infinity; only its overflow needs the exact test.
        if not math.isfinite(flat.dot(flat)) and not np.isfinite(flat).all():
            raise ValueError("vectors hold NaN or infinite values")

    def check_new(self, ids: Sequence[str]) -> None:
        """`ValueError` for an id that is live or pending (lock held)."""
        s = self.state
        e = s.epoch
        for doc in ids:
            row = e.id_to_row.get(doc)
            if row is not None and (row >= s.n or s.alive(row)):
                raise ValueError(f"ids must be distinct, {doc!r} is already in the corpus")

    def add(self, ids: list[str], timestamps: npt.NDArray[np.float64] | None,
            texts: list[str | None] | None, metadata: list[Metadata] | None) -> None:
        """Append the staged rows' documents (lock held; `stage` and `check_new` passed):
        nothing here can fail."""
        e = self.state.epoch
        first = len(e.ids)
        k = len(ids)
        for j, doc in enumerate(ids):
            old = e.id_to_row.get(doc)
            if old is not None:
                e.earlier.setdefault(doc, []).append(old)
            e.id_to_row[doc] = first + j
        e.ids.extend(ids)
        if texts is not None or e.texts is not None:
            if e.texts is None:
                e.texts = [None] * first
            e.texts.extend(texts if texts is not None else [None] * k)
        if metadata is not None or e.metadata is not None:
            if e.metadata is None:
                e.metadata = [None] * first
            e.metadata.extend(metadata if metadata is not None else [None] * k)
        if e.indexes.fields:
            e.indexes.add(first, metadata if metadata is not None else [None] * k)
        if timestamps is not None:
            self.pending_dates.append((self.pending, timestamps))
        self.pending += k

    def remove(self, ids: Sequence[str]) -> None:
        with self.lock:
            self.flush()
            s = self.state
            found = s.rows_of(ids)
            unknown = [doc for doc in dict.fromkeys(ids) if doc not in found]
            if unknown:
                more = f" and {len(unknown) - 5} more" if len(unknown) > 5 else ""
                raise ValueError(f"remove: {', '.join(map(repr, unknown[:5]))}{more} not in the corpus")
            if not found:
                return
            s.epoch.mark_dead(np.fromiter(found.values(), np.int64, len(found)), s.version + 1)
            self.state = State(s.epoch, s.n, s.version + 1, s.live - len(found))
            if self.state.dead > COMPACT_SHARE * self.state.n:
                self.compact()

    def compact(self) -> None:
        """Drop the dead rows: a new epoch of the live ones, in order (lock held)."""
        s = self.state
        e = s.epoch
        keep = s.live_rows()
        rows = Growing(np.float32, e.rows.width, len(keep))
        source = s.rows()
        step = max(1, (1 << 24) // max(1, source.shape[1] * 4))
        for lo in range(0, len(keep), step):
            rows.append(np.ascontiguousarray(source[keep[lo:lo + step]]))
        timestamps = None
        if s.dated:
            timestamps = Growing(np.float64, 0, len(keep))
            timestamps.append(np.ascontiguousarray(s.timestamps()[keep]))  # type: ignore[index]
        ids = [e.ids[r] for r in keep.tolist()]
        texts = None if e.texts is None else [e.texts[r] for r in keep.tolist()]
        metadata = None if e.metadata is None else [e.metadata[r] for r in keep.tolist()]
        fresh = Epoch(rows, ids, timestamps, texts, metadata, self.lock)
        for field in e.indexes.fields:
            fresh.indexes.build(field, metadata)
        after = State(fresh, len(keep), 0, len(keep))
        for listener in self.on_compact:
            listener(s, after)
        self.state = after
