"""A corpus cut into contiguous shards that live on the workers of a `distributed` cluster.

`ShardedCorpus.search` returns what `Corpus.search` returns over the concatenated rows: each
shard returns its best candidates with their rows, and the client scores the union once more
with the native module, rows in global order, so that the pool, the tie order and the MMR
selection are those of one machine (docs/distributed.md says why this is exact).

`write_shards` writes a corpus out as one directory of shard files, and
`ShardedCorpus.from_directory` lets each worker memory-map its own shards from there, so that
the rows never pass through the client.
"""

from __future__ import annotations

import json
import math
import os
import time
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

import _quantelle

from .corpus import Corpus, Embed, Hit, Prepared, SearchResult, undated_notes

__all__ = ["MANIFEST", "ShardError", "ShardedCorpus", "write_shards"]

# The corpus's own arrays: they live on the shards, not in a sharded query's arguments.
_DATA_KEYS = ("matrix", "ids", "id_to_idx", "timestamps")


MANIFEST = "manifest.json"
"""The file of a shard directory that lists its shards, written last by `write_shards`."""
_FORMAT = "quantelle-shards"
_VERSION = 1


_U = 2.0**-24  # float32 unit roundoff
_SLACK = 1.001  # rows and queries are unit vectors up to float32 rounding
# Float32 roundings after the dot product: the trajectory mix, the decay product and the
# penalty, on the shard and on the client (scores stay within 1.5 in size).
_OPS = 2.0**-19
_READ_SCALE = 2.0**30  # query components read back as scores of rows 2^30 e_i
_READ_ERROR = 5e-5 / _READ_SCALE  # what the 4-decimal rounding leaves of a component read back


def _effective_query(query_vec: npt.NDArray[np.float32], like_ids: list[str] | None,
                     liked: dict[str, npt.NDArray[np.float32]]) -> npt.NDArray[np.float64]:
    """The unit query the module scores rows with (blended with the liked rows' centroid for
    `like_ids`), read back from the module: the score of the row 2^30 e_i is 2^30 q_i exactly,
    which the 4-decimal rounding leaves within 5e-5 / 2^30 of q_i."""
    d = len(query_vec)
    extra = sorted(liked)
    probe = np.zeros((d + len(extra), d), np.float32)
    probe[np.arange(d), np.arange(d)] = _READ_SCALE
    for j, i in enumerate(extra):
        probe[d + j] = liked[i]
    labels = [str(i) for i in range(d)] + [""] * len(extra)
    out = np.zeros(d)
    records = _quantelle.score_candidates(
        probe, labels, {i: d + j for j, i in enumerate(extra)}, query_vec, limit=d,
        like_ids=like_ids, mask=np.arange(len(labels)) < d)
    for r in records:
        out[int(r["id"])] = r["score"] / _READ_SCALE
    return out


def _kernel_probe(dim: int) -> list[str]:
    """Scores that show the last bits of this process's scan and normalisation: random rows
    scaled by 2^16 put every float32 ulp of a score above the 4-decimal rounding."""
    rng = np.random.default_rng(20261207)
    rows = rng.standard_normal((64, dim)).astype(np.float32) * np.float32(2.0**16)
    query = rng.standard_normal(dim).astype(np.float32)
    records = _quantelle.score_candidates(rows, [str(i) for i in range(64)], {}, query, limit=64)
    return [f"{r['id']} {r['score']!r}" for r in records]


def _decay_error(seconds: float, args: dict[str, Any]) -> float:
    """How far decay read `seconds` apart can move a score: 1 / (1 + age / days) moves by at
    most the change of age / days, on scores within 1.5, plus the float32 roundings of age."""
    if not args.get("recent"):
        return 0.0
    days = float(np.float32(args.get("recent_days", 30)))
    return 1.5 * (seconds / 86400.0 / days + 8.0 * _U)


class ShardError(RuntimeError):
    """A shard could not be loaded or searched: its worker was lost, a file of it could not be
    read, or it gave no answer in time. The message names the shard and its worker."""


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


def _read_manifest(directory: str) -> dict[str, Any]:
    """The manifest of a shard directory, checked to describe contiguous shards (on a worker)."""
    path = Path(directory) / MANIFEST
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


class _Shard:
    """One shard on its worker (a `distributed` actor): rows, ids and timestamps."""

    def __init__(self, matrix: npt.NDArray[np.float32], ids: list[str],
                 timestamps: npt.NDArray[np.float64] | None, start: int) -> None:
        self.matrix = _aligned(matrix)
        self.ids = ids
        self.id_to_idx = {i: r for r, i in enumerate(ids)}
        self.timestamps = None if timestamps is None else _aligned(timestamps)
        self.start = start

    def probe(self, dim: int) -> list[str]:
        return _kernel_probe(dim)

    def lookup(self, asked: list[str], liked: list[str]) -> tuple[npt.NDArray[np.bool_],
                                                                  dict[str, npt.NDArray[np.float32]]]:
        """Which of `asked` this shard holds, and the rows of those of `liked` it holds."""
        idx = self.id_to_idx
        held = np.fromiter((i in idx for i in asked), dtype=np.bool_, count=len(asked))
        return held, {i: np.array(self.matrix[idx[i]]) for i in liked if i in idx}

    def search(self, args: dict[str, Any], k: int | None, within: list[str] | None = None,
               positions: list[int] | None = None,
               mask: npt.NDArray[np.bool_] | None = None) -> dict[str, Any]:
        """The best k working rows (every one for k None) by the module's own order, with their
        global working-set positions: the row's for the whole shard, else the one `positions`
        gives for each entry of `within`, this shard's part of the caller's list."""
        idx = self.id_to_idx
        m = len(self.ids) if within is None else len(within)
        limit = m if k is None else min(k, m)
        records: list[_quantelle._Hit] = []
        if limit > 0:
            call = dict(args, matrix=self.matrix, ids=self.ids, id_to_idx=idx, diverse=False,
                        limit=limit, pre_filter_ids=within, mask=mask)
            if args.get("recent"):
                call["timestamps"] = self.timestamps
            records = _quantelle.score_candidates(**call)
        rows = [idx[r["id"]] for r in records]
        if within is None:
            keys = [self.start + r for r in rows]
        else:
            # An id listed twice scores twice the same, and equal scores rank by position, so
            # the n-th hit of an id is its n-th entry in the list.
            entries: dict[str, list[int]] = {}
            for p, i in zip(positions or [], within, strict=True):
                entries.setdefault(i, []).append(p)
            seen: dict[str, int] = {}
            keys = []
            for r in records:
                n = seen.get(r["id"], 0)
                seen[r["id"]] = n + 1
                keys.append(entries[r["id"]][n])
        ts = None if self.timestamps is None else np.array(self.timestamps[rows])
        return {"keys": keys, "ids": [self.ids[r] for r in rows],
                "rows": np.array(self.matrix[rows]).reshape(len(rows), self.matrix.shape[1]),
                "timestamps": ts, "scores": [r["score"] for r in records],
                # every working row that the mask and the threshold keep is here
                "complete": limit == m or len(records) < limit}


def _aligned(a: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """`a`, or a read-only copy of it that starts on a 64-byte boundary where it does not.

    An array that arrived over the network sits in the message's buffer at any offset, and the
    module scans misaligned rows through a slower gathering path (three times slower measured
    at 200,000 x 384): one copy on arrival is paid back by the first few searches.
    """
    if a.ctypes.data % 64 == 0:
        return a
    raw = np.empty(a.nbytes + 64, np.uint8)
    skip = -raw.ctypes.data % 64
    out = raw[skip:skip + a.nbytes].view(a.dtype).reshape(a.shape)
    out[...] = a
    out.flags.writeable = False
    return out


class _StoredShard(_Shard):
    """A shard that its worker memory-maps from a shard directory."""

    def __init__(self, directory: str, entry: dict[str, Any], dim: int, dated: bool) -> None:
        base = Path(directory)
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
        super().__init__(matrix, ids, ts, int(entry["start"]))
        if len(self.id_to_idx) != rows:
            raise ValueError(f"{base / entry['ids']}: ids must be distinct")


class _StandIn(Corpus):
    """A Corpus without rows whose `prepare` sees the sharded corpus's size, dates and the ids
    found on the shards, so that its checks, errors, `applied` and `notes` are those of one
    machine."""

    __slots__ = ("_n",)

    def __init__(self, dim: int, n: int, known: Sequence[str], dated: bool,
                 embed: Embed | None) -> None:
        super().__init__(np.zeros((0, dim), np.float32), [], np.zeros(0) if dated else None,
                         embed=embed)
        self._id_to_idx = dict.fromkeys(known, 0)
        self._n = n

    def __len__(self) -> int:
        return self._n


class ShardedCorpus:
    """`Corpus` with its rows cut into contiguous shards held by the cluster's workers.

    The arguments and their checks are those of `Corpus`; `shards` defaults to one per worker;
    `timeout` (seconds) bounds every search, which raises `ShardError` when a shard's worker is
    lost or does not answer in time. `clock_skew` (seconds) is the most a worker's clock may be
    off the client's: temporal decay reads the clock on both, and the bound that keeps a
    search exact widens with the difference.
    """

    def __init__(self, client: Any, matrix: npt.ArrayLike, ids: Sequence[str],
                 timestamps: npt.ArrayLike | None = None, *, embed: Embed | None = None,
                 shards: int | None = None, timeout: float = 60.0, clock_skew: float = 1.0) -> None:
        whole = Corpus(matrix, ids, timestamps, embed=embed)
        workers = sorted(client.scheduler_info()["workers"])
        count = len(workers) if shards is None else int(shards)
        if count < 1:
            raise ValueError(f"shards must be at least 1, got {count}")
        n = len(whole)
        bounds = [n * s // count for s in range(count + 1)]
        # The scattered slices stay referenced until every actor holds its own: a future that
        # is collected earlier releases its data, and the actor's task fails for lost data.
        # Unhashed keys: equal slices scattered again (another corpus over the same rows)
        # would otherwise share the key that an earlier corpus is releasing.
        scattered: list[Any] = []

        def shard(s: int, worker: str) -> Any:
            lo, hi = bounds[s], bounds[s + 1]
            ts = None if whole.timestamps is None else whole.timestamps[lo:hi]
            data = client.scatter([whole.matrix[lo:hi], whole.ids[lo:hi], ts],
                                  workers=[worker], direct=True, hash=False)
            scattered.append(data)
            return client.submit(_Shard, *data, lo, workers=[worker], actor=True, pure=False)

        self._attach(client, workers, bounds, whole.dim, whole.timestamps is not None, embed,
                     timeout, clock_skew, time.monotonic() + timeout, shard)
        del scattered

    @classmethod
    def from_directory(cls, client: Any, directory: str | os.PathLike[str], *,
                       embed: Embed | None = None, timeout: float = 60.0,
                       clock_skew: float = 1.0) -> ShardedCorpus:
        """The corpus that `write_shards` wrote to `directory`, a path that every worker can
        read (the client need not). One worker reads the manifest; each shard's worker then
        memory-maps that shard's files itself, so no row passes through the client. Shards go
        to the workers in turn (sorted by address).

        `ShardError`, naming the shard and its worker, when the manifest or a shard file is
        missing, unreadable or not what the manifest describes, or when loading takes longer
        than `timeout` seconds in all.
        """
        deadline = time.monotonic() + timeout
        path = os.fspath(directory)
        workers = sorted(client.scheduler_info()["workers"])
        if not workers:
            raise ShardError("the cluster has no workers")
        future = client.submit(_read_manifest, path, workers=[workers[0]], pure=False)
        try:
            manifest = future.result(timeout=max(0.0, deadline - time.monotonic()))
        except TimeoutError as e:
            raise ShardError(f"the manifest of {path} on {workers[0]}: no answer within "
                             f"{timeout} s") from e
        except Exception as e:
            raise ShardError(f"the manifest of {path} on {workers[0]}: {e}") from e
        entries = manifest["shards"]
        bounds = [e["start"] for e in entries] + [manifest["rows"]]
        dim, dated = int(manifest["dim"]), bool(manifest["dated"])

        def shard(s: int, worker: str) -> Any:
            return client.submit(_StoredShard, path, entries[s], dim, dated, workers=[worker],
                                 actor=True, pure=False)

        self = cls.__new__(cls)
        self._attach(client, workers, bounds, dim, dated, embed, timeout, clock_skew, deadline,
                     shard)
        return self

    def _attach(self, client: Any, workers: list[str], bounds: list[int], dim: int, dated: bool,
                embed: Embed | None, timeout: float, clock_skew: float, deadline: float,
                shard: Callable[[int, str], Any]) -> None:
        """Start one actor per shard, `shard(s, worker)`, and wait for them until `deadline`;
        `timeout` becomes the default of every search."""
        if not workers:
            raise ShardError("the cluster has no workers")
        count = len(bounds) - 1
        self._client = client
        self._timeout = timeout
        self._clock_skew = float(clock_skew)
        self._dim = dim
        self._n = bounds[-1]
        self._dated = dated
        self._embed = embed
        self._bounds = bounds
        self._workers = [workers[s % len(workers)] for s in range(count)]
        futures = [shard(s, self._workers[s]) for s in range(count)]
        self._actors = [self._wait(s, f, deadline, timeout) for s, f in enumerate(futures)]
        # A shard's best k are the client's only if its worker scores with the same bits.
        mine = _kernel_probe(dim)
        theirs = self._all({s: self._call(s, "probe", dim) for s in range(count)}, deadline, timeout)
        self._same_bits = all(t == mine for t in theirs.values())

    def __len__(self) -> int:
        return self._n

    @property
    def dim(self) -> int:
        return self._dim

    def __repr__(self) -> str:
        dated = ", dated" if self._dated else ""
        return f"ShardedCorpus({self._n} documents x {self._dim} dims in {len(self._actors)} shards{dated})"

    def _wait(self, shard: int, future: Any, deadline: float, timeout: float) -> Any:
        left = max(0.0, deadline - time.monotonic())
        try:
            return future.result(timeout=left)
        except TimeoutError as e:
            raise ShardError(f"shard {shard} on {self._workers[shard]} gave no answer within "
                             f"{timeout:g} s") from e
        except Exception as e:
            raise ShardError(f"shard {shard} on {self._workers[shard]} failed: {e}") from e

    def _call(self, shard: int, name: str, *args: Any) -> Any:
        # A call to an actor whose worker is known to be lost fails at once (already when the
        # method is looked up), not at its result.
        try:
            return getattr(self._actors[shard], name)(*args)
        except Exception as e:
            raise ShardError(f"shard {shard} on {self._workers[shard]} failed: {e}") from e

    def _all(self, calls: dict[int, Any], deadline: float, timeout: float) -> dict[int, Any]:
        return {s: self._wait(s, c, deadline, timeout) for s, c in calls.items()}

    def _union(self, parts: list[dict[str, Any]], args: dict[str, Any], diverse: bool, limit: int,
               oversample: int, like_ids: list[str] | None,
               liked: dict[str, npt.NDArray[np.float32]]) -> tuple[dict[str, Any], npt.NDArray[np.float32],
                                                                  list[str], list[str], dict[str, int]]:
        """The client's call over the shards' rows in global working-set order (labels are the
        positions in it), the liked rows added after them, masked, so that the module blends
        the query itself: its keyword arguments, rows, labels, ids and id map."""
        keys = [key for p in parts for key in p["keys"]]
        order = np.argsort(np.array(keys, dtype=np.int64), kind="stable")
        every = [i for p in parts for i in p["ids"]]
        ids = [every[j] for j in order]
        rows = (np.concatenate([p["rows"] for p in parts]) if parts
                else np.zeros((0, self._dim), np.float32))[order]
        labels = [str(j) for j in range(len(ids))]
        call: dict[str, Any] = dict(args, diverse=diverse, limit=limit, oversample=oversample)
        if args.get("recent"):
            call["timestamps"] = np.concatenate([p["timestamps"] for p in parts] or [np.zeros(0)])[order]
        id_to_idx: dict[str, int] = {}
        if like_ids is not None:
            extra = sorted(liked)
            id_to_idx = {i: len(ids) + j for j, i in enumerate(extra)}
            rows = np.vstack([rows, *[liked[i][None, :] for i in extra]])
            labels = labels + [""] * len(extra)
            call["like_ids"] = like_ids
            call["mask"] = np.arange(len(labels)) < len(ids)
            if "timestamps" in call:
                call["timestamps"] = np.concatenate([call["timestamps"], np.full(len(extra), np.nan)])
        return call, np.ascontiguousarray(rows, dtype=np.float32), labels, ids, id_to_idx

    def _stand_in_query(self, query_vec: npt.NDArray[np.float32], like_ids: list[str] | None,
                        liked: dict[str, npt.NDArray[np.float32]]) -> tuple[float, npt.NDArray[np.float32]]:
        """The query the shards rank with, and a bound on how far any row's score under it can
        lie from its score under the module's own effective query.

        Both effective queries (the one blended with the liked rows' centroid, and the
        normalisation of the vector shipped) are read back from the module itself, so the
        bound needs no model of its arithmetic: their distance, plus the rounding of float32
        dot products of unit vectors (gamma_d each) on both sides for the query, the
        trajectory and the penalty (weights 1, 0.3 and 0.5, so 3.6 gamma_d), and as much
        again for a worker whose kernel rounds otherwise and normalises the vectors itself.
        """
        d = len(query_vec)
        gamma = 8.0 * d * _U / (1.0 - d * _U)
        if like_ids is None:
            return gamma * _SLACK, query_vec
        blended = _effective_query(query_vec, like_ids, liked)
        shipped = blended.astype(np.float32)
        normalised = _effective_query(shipped, None, {})
        gap = float(np.linalg.norm(blended - normalised)) + 2.0 * math.sqrt(d) * _READ_ERROR
        size = max(1.0, float(np.linalg.norm(blended)), float(np.linalg.norm(normalised)))
        return gap * _SLACK + gamma * size * _SLACK, shipped

    def prepare(self, query: str | npt.ArrayLike, modifiers: str = "", embed: Embed | None = None,
                *, within: Sequence[str] | None = None, mask: npt.ArrayLike | None = None,
                threshold: float | None = None, oversample: int | None = None,
                mmr_lambda: float | None = None, timeout: float | None = None) -> Prepared:
        """What `Corpus.prepare` gives for the same arguments (same checks, errors, `applied`
        and `notes`), except that `arguments` leaves out the corpus's own arrays (``matrix``,
        ``ids``, ``id_to_idx``, ``timestamps``), which live on the shards. Ids named by
        ``like:`` or `within` are looked up on the shards, within `timeout`."""
        wait = self._timeout if timeout is None else timeout
        return self._prepare(query, modifiers, embed, within, mask, threshold, oversample,
                             mmr_lambda, time.monotonic() + wait, wait)[0]

    def _prepare(self, query: str | npt.ArrayLike, modifiers: str, embed: Embed | None,
                 within: Sequence[str] | None, mask: npt.ArrayLike | None,
                 threshold: float | None, oversample: int | None, mmr_lambda: float | None,
                 deadline: float, wait: float) -> tuple[Prepared, dict[str, npt.NDArray[np.float32]], dict[str, int]]:
        """The prepared query, the liked rows, and the shard of each id looked up."""
        parsed = _quantelle.parse_modifiers(modifiers)
        liked_ids = sorted({i for i in (parsed["like"] or []) if i})
        # Only what the stand-in's checks would accept is looked up; it raises for the rest.
        listed = (sorted({i for i in within if isinstance(i, str)})
                  if isinstance(within, Sequence) and not isinstance(within, str) else [])
        asked = sorted(set(liked_ids) | set(listed))
        owner: dict[str, int] = {}
        liked: dict[str, npt.NDArray[np.float32]] = {}
        if asked:
            found = self._all({s: self._call(s, "lookup", asked, liked_ids)
                               for s in range(len(self._actors))}, deadline, wait)
            for s, (held, rows) in found.items():
                owner.update((asked[j], s) for j in np.flatnonzero(held))
                liked.update(rows)
        stand_in = _StandIn(self._dim, self._n, list(owner), self._dated, self._embed)
        p = stand_in.prepare(query, modifiers, embed, within=within, mask=mask,
                             threshold=threshold, oversample=oversample, mmr_lambda=mmr_lambda)
        args = {k: v for k, v in p.arguments.items() if k not in _DATA_KEYS}
        return (Prepared(args, p.modifiers, p.applied, p.notes, p.embed_seconds), liked, owner)

    def search(self, query: str | npt.ArrayLike, modifiers: str = "", embed: Embed | None = None,
               *, within: Sequence[str] | None = None, mask: npt.ArrayLike | None = None,
               threshold: float | None = None, oversample: int | None = None,
               mmr_lambda: float | None = None, timeout: float | None = None) -> SearchResult:
        """Rank the corpus for `query` under `modifiers`, exactly as `Corpus.search` would.

        The arguments are those of `Corpus.search` (`mask` has one flag per row of the whole
        corpus); `timeout` (seconds, default the corpus's) bounds the whole search.
        """
        wait = self._timeout if timeout is None else timeout
        deadline = time.monotonic() + wait
        prepared, liked, owner = self._prepare(query, modifiers, embed, within, mask, threshold,
                                               oversample, mmr_lambda, deadline, wait)
        start = time.perf_counter()
        args = dict(prepared.arguments)
        listed: list[str] | None = args.pop("pre_filter_ids", None)
        flags: npt.NDArray[np.bool_] | None = args.pop("mask", None)
        like_ids = args.pop("like_ids", None)
        diverse = bool(args.pop("diverse", False))
        limit = int(args.pop("limit", 10))
        oversample_ = int(args.pop("oversample", 200))
        recent = bool(args.get("recent"))
        pool = oversample_ if diverse else limit
        # Without the liked rows or the clock in play, and with workers that score with the
        # client's bits (probed at construction), every shard ranks exactly as one machine
        # would, so its best `pool` suffice. Otherwise the shards rank by a close stand-in, and
        # a bound on its error proves, shard by shard, that the rows held back cannot reach
        # the pool, or asks that shard for more (docs/distributed.md, points 4 to 7).
        bounded = like_ids is not None or recent or not self._same_bits
        shard_args = args
        query_error = 0.0
        if bounded:
            query_error, shipped = self._stand_in_query(args["query_vec"], like_ids, liked)
            shard_args = dict(args, query_vec=shipped)
            cut = float(args.get("threshold", 0.0))
            if cut > 0.0:
                allowance = max(0.0, deadline - time.monotonic()) + self._clock_skew
                lowered = cut - query_error - _OPS - _decay_error(allowance, args)
                shard_args["threshold"] = max(lowered, 0.0)
        count = len(self._actors)
        parts_of: dict[int, list[Any]] = {s: [None, None] for s in range(count)}
        if listed is not None:
            for p, i in enumerate(listed):
                part = parts_of[owner[i]]
                if part[0] is None:
                    part[0], part[1] = [], []
                part[0].append(i)
                part[1].append(p)
        # Shards with nothing of the list to search are left out. A bounded shard is asked for
        # some rows beyond the pool: the bound needs a gap below the cut, and a shard whose
        # rows fill the whole pool would have none.
        first = pool + max(8, pool // 8) if bounded and pool else pool
        asked = {s: first for s in range(count) if listed is None or parts_of[s][0] is not None}
        parts: dict[int, dict[str, Any]] = {}
        first_sent = time.time()
        while True:
            calls = {}
            for s, k in asked.items():
                sub, positions = parts_of[s]
                shard_mask = None if flags is None else flags[self._bounds[s]:self._bounds[s + 1]]
                calls[s] = self._call(s, "search", shard_args, k, sub, positions, shard_mask)
            parts.update(self._all(calls, deadline, wait))
            call, rows, labels, ids, id_to_idx = self._union(
                [parts[s] for s in sorted(parts)], args, diverse, limit, oversample_, like_ids, liked)
            records = _quantelle.score_candidates(rows, labels, id_to_idx, **call)
            if not bounded or pool == 0:
                break
            ranked = records if not diverse else _quantelle.score_candidates(
                rows, labels, id_to_idx, **dict(call, diverse=False, limit=pool))
            shift = _decay_error(time.time() - first_sent + self._clock_skew, args)
            margin = query_error + _OPS + 2.0 * shift
            # A held-back row scores at most its shard's last score (rounded: + 5e-5) + margin;
            # below the pool's last exact score (rounded: - 5e-5), or below a threshold that
            # no penalty comes after, it cannot enter the pool.
            floor = ranked[pool - 1]["score"] - 5e-5 if len(ranked) == pool else -np.inf
            if "not_like_vec" not in args and float(args.get("threshold", 0.0)) > 0.0:
                floor = max(floor, float(args["threshold"]))
            asked = {s: 4 * len(p["keys"]) for s, p in parts.items()
                     if not p["complete"] and not p["scores"][-1] + 5e-5 + margin < floor}
            if not asked:
                break
            if time.monotonic() > deadline:
                raise ShardError(f"shards {sorted(asked)} could not prove their part of the pool "
                                 f"within {wait:g} s")
        hits = [Hit(ids[int(r["id"])], r["score"]) for r in records]
        hit_notes: tuple[str, ...] = ()
        if recent:
            hit_notes = undated_notes([call["timestamps"][int(r["id"])] for r in records])
        return SearchResult(hits, prepared, time.perf_counter() - start, hit_notes)
