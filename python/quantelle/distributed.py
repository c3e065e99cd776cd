"""A corpus cut into contiguous shards that live on the workers of a `distributed` cluster.

`ShardedCorpus.search` returns what `Corpus.search` returns over the concatenated rows: each
shard returns its best candidates with their rows, and the client scores the union once more
with the native module, rows in global order, so that the pool, the tie order and the MMR
selection are those of one machine (docs/distributed.md says why this is exact).
"""

from __future__ import annotations

import time
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

import _quantelle

from .corpus import Corpus, Embed, Hit, SearchResult, undated_notes

__all__ = ["ShardError", "ShardedCorpus"]


class ShardError(RuntimeError):
    """A shard could not be searched: its worker was lost, or it gave no answer in time."""


class _Shard:
    """One shard on its worker (a `distributed` actor): rows, ids and timestamps."""

    def __init__(self, matrix: npt.NDArray[np.float32], ids: list[str],
                 timestamps: npt.NDArray[np.float64] | None, start: int) -> None:
        self.matrix = matrix
        self.ids = ids
        self.id_to_idx = {i: r for r, i in enumerate(ids)}
        self.timestamps = timestamps
        self.start = start

    def rows_of(self, wanted: list[str]) -> dict[str, npt.NDArray[np.float32]]:
        return {i: np.array(self.matrix[self.id_to_idx[i]]) for i in wanted if i in self.id_to_idx}

    def search(self, args: dict[str, Any], k: int | None) -> dict[str, Any]:
        """The best k rows (every row for k None) by the module's own order, with their global
        positions."""
        if k == 0:
            return {"keys": [], "ids": [], "rows": np.zeros((0, self.matrix.shape[1]), np.float32),
                    "timestamps": None}
        call = dict(args, matrix=self.matrix, ids=self.ids, id_to_idx=self.id_to_idx,
                    diverse=False, limit=len(self.ids) if k is None else k)
        if args.get("recent"):
            call["timestamps"] = self.timestamps
        rows = [self.id_to_idx[r["id"]] for r in _quantelle.score_candidates(**call)]
        ts = None if self.timestamps is None else np.array(self.timestamps[rows])
        return {"keys": [self.start + r for r in rows], "ids": [self.ids[r] for r in rows],
                "rows": np.array(self.matrix[rows]), "timestamps": ts}


class ShardedCorpus:
    """`Corpus` with its rows cut into contiguous shards held by the cluster's workers.

    The arguments and their checks are those of `Corpus`; `shards` defaults to one per worker;
    `timeout` (seconds) bounds every search, which raises `ShardError` when a shard's worker is
    lost or does not answer in time.
    """

    def __init__(self, client: Any, matrix: npt.ArrayLike, ids: Sequence[str],
                 timestamps: npt.ArrayLike | None = None, *, embed: Embed | None = None,
                 shards: int | None = None, timeout: float = 60.0) -> None:
        whole = Corpus(matrix, ids, timestamps, embed=embed)
        workers = sorted(client.scheduler_info()["workers"])
        count = len(workers) if shards is None else int(shards)
        if count < 1:
            raise ValueError(f"shards must be at least 1, got {count}")
        n = len(whole)
        bounds = [n * s // count for s in range(count + 1)]
        self._client = client
        self._timeout = timeout
        self._dim = whole.dim
        self._n = n
        self._dated = whole.timestamps is not None
        self._embed = embed
        self._workers = [workers[s % len(workers)] for s in range(count)]
        futures = []
        for s in range(count):
            lo, hi = bounds[s], bounds[s + 1]
            ts = None if whole.timestamps is None else whole.timestamps[lo:hi]
            data = client.scatter([whole.matrix[lo:hi], whole.ids[lo:hi], ts],
                                  workers=[self._workers[s]], direct=True)
            futures.append(client.submit(_Shard, *data, lo, workers=[self._workers[s]],
                                         actor=True, pure=False))
        self._actors = [self._wait(s, f, time.monotonic() + timeout) for s, f in enumerate(futures)]

    def __len__(self) -> int:
        return self._n

    @property
    def dim(self) -> int:
        return self._dim

    def __repr__(self) -> str:
        dated = ", dated" if self._dated else ""
        return f"ShardedCorpus({self._n} documents x {self._dim} dims in {len(self._actors)} shards{dated})"

    def _wait(self, shard: int, future: Any, deadline: float) -> Any:
        left = max(0.0, deadline - time.monotonic())
        try:
            return future.result(timeout=left)
        except TimeoutError as e:
            raise ShardError(f"shard {shard} on {self._workers[shard]} gave no answer within "
                             f"{self._timeout} s") from e
        except Exception as e:
            raise ShardError(f"shard {shard} on {self._workers[shard]} failed: {e}") from e

    def _call(self, shard: int, name: str, *args: Any) -> Any:
        # A call to an actor whose worker is known to be lost fails at once (already when the
        # method is looked up), not at its result.
        try:
            return getattr(self._actors[shard], name)(*args)
        except Exception as e:
            raise ShardError(f"shard {shard} on {self._workers[shard]} failed: {e}") from e

    def _all(self, calls: list[Any], deadline: float) -> list[Any]:
        return [self._wait(s, c, deadline) for s, c in enumerate(calls)]

    def search(self, query: str | npt.ArrayLike, modifiers: str = "", embed: Embed | None = None,
               *, timeout: float | None = None, **keywords: Any) -> SearchResult:
        """Rank the corpus for `query` under `modifiers`, exactly as `Corpus.search` would."""
        unsupported = sorted(k for k in ("within", "mask") if keywords.get(k) is not None)
        if unsupported:
            raise NotImplementedError(f"ShardedCorpus.search does not take {' or '.join(unsupported)} yet")
        deadline = time.monotonic() + (self._timeout if timeout is None else timeout)
        parsed = _quantelle.parse_modifiers(modifiers)
        wanted = sorted({i for i in (parsed["like"] or []) if i})
        liked: dict[str, npt.NDArray[np.float32]] = {}
        if wanted:
            asked = [self._call(s, "rows_of", wanted) for s in range(len(self._actors))]
            for part in self._all(asked, deadline):
                liked.update(part)
        stand_in = self._stand_in(liked)
        prepared = stand_in.prepare(query, modifiers, embed, **keywords)
        start = time.perf_counter()
        args = dict(prepared.arguments)
        for key in ("matrix", "ids", "id_to_idx", "timestamps"):
            args.pop(key, None)
        like_ids = args.pop("like_ids", None)
        diverse = bool(args.pop("diverse", False))
        limit = int(args.pop("limit", 10))
        oversample = int(args.pop("oversample", 200))
        # Without the liked rows or the clock in play every shard ranks exactly as one machine
        # would, so its best k suffice; otherwise every working row is fetched.
        exact = like_ids is None and not args.get("recent")
        k = (oversample if diverse else limit) if exact else None
        parts = self._all([self._call(s, "search", args, k) for s in range(len(self._actors))],
                          deadline)
        keys = [key for p in parts for key in p["keys"]]
        order = np.argsort(np.array(keys, dtype=np.int64), kind="stable")
        ids = [i for p in parts for i in p["ids"]]
        rows = np.concatenate([p["rows"] for p in parts]) if parts else np.zeros((0, self._dim), np.float32)
        rows = rows[order]
        ids = [ids[j] for j in order]
        labels = [str(j) for j in range(len(ids))]
        call: dict[str, Any] = dict(args, diverse=diverse, limit=limit, oversample=oversample)
        if args.get("recent"):
            ts = np.concatenate([p["timestamps"] for p in parts if p["timestamps"] is not None]
                                or [np.zeros(0)])[order]
            call["timestamps"] = ts
        id_to_idx: dict[str, int] = {}
        if like_ids is not None:
            extra = sorted(liked)
            id_to_idx = {i: len(ids) + j for j, i in enumerate(extra)}
            rows = np.vstack([rows, *[liked[i][None, :] for i in extra]]) if extra else rows
            labels = labels + [""] * len(extra)
            call["like_ids"] = like_ids
            call["mask"] = np.arange(len(labels)) < len(ids)
            if "timestamps" in call:
                call["timestamps"] = np.concatenate([call["timestamps"], np.full(len(extra), np.nan)])
        records = _quantelle.score_candidates(
            np.ascontiguousarray(rows, dtype=np.float32), labels, id_to_idx, **call)
        hits = [Hit(ids[int(r["id"])], r["score"]) for r in records]
        hit_notes: tuple[str, ...] = ()
        if args.get("recent") and "timestamps" in call:
            hit_notes = undated_notes([call["timestamps"][int(r["id"])] for r in records])
        return SearchResult(hits, prepared, time.perf_counter() - start, hit_notes)

    def _stand_in(self, liked: dict[str, npt.NDArray[np.float32]]) -> Corpus:
        """A Corpus whose `prepare` sees this corpus's size, dates and the liked ids only."""
        return Corpus(np.zeros((len(liked), self._dim), np.float32), list(liked),
                      np.zeros(len(liked)) if self._dated else None, embed=self._embed)
