"""A corpus cut into contiguous shards that live on the workers of a `distributed` cluster.

`ShardedCorpus.search` returns what `Corpus.search` returns over the concatenated rows. The
query is translated by `quantelle.plan` as for one machine, and `quantelle.merge` finds the
exact result from the shards' best rows; this module is the transport: one actor per shard.

`write_shards` writes a corpus out as one directory of shard files, and
`ShardedCorpus.from_directory` lets each worker memory-map its own shards from there, so that
the rows never pass through the client.
"""

from __future__ import annotations

import os
import pickle
import time
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, replace
from types import TracebackType
from typing import Any, Unpack

import numpy as np
import numpy.typing as npt

from . import plan
from .corpus import Corpus
from .half import check_storage
from .merge import Answer, Call, Unproven, fingerprint, merge
from .plan import Embed, Options
from .results import Prepared, SearchResult, undated_notes
from .shard_actors import Shard, ShardError, StoredShard, pack_ids, why
from .shard_actors import seconds as checked_seconds
from .shard_calls import POLL, Shards
from .shard_files import MANIFEST, read_manifest, write_shards

__all__ = ["MANIFEST", "ShardError", "ShardedCorpus", "ShardedOptions", "write_shards"]


class ShardedOptions(Options, total=False):
    """`Options`, and ``timeout``: seconds for the whole call (default the corpus's; None or
    inf for no limit)."""

    timeout: float | None


class ShardedCorpus:
    """`Corpus` with its rows cut into contiguous shards held by the cluster's workers.

    The arguments and their checks are those of `Corpus`; `shards` defaults to one per worker;
    `timeout` (seconds) bounds every search, which raises `ShardError` when a shard's worker is
    lost or does not answer in time. `clock_skew` (seconds) is the most a worker's clock may be
    off the client's: temporal decay reads the clock on both, and the bound that keeps a
    search exact widens with the difference. `close()`, or leaving a ``with`` block, releases
    the shards on the workers; the client stays open. `storage="float16"` has each worker keep
    a float16 copy of its rows, made there from them, and scan it instead, as `Corpus` does:
    the same hits, about half the bytes read per search (docs/half.md).
    """

    def __init__(self, client: Any, matrix: npt.ArrayLike, ids: Sequence[str],
                 timestamps: npt.ArrayLike | None = None, *, embed: Embed | None = None,
                 shards: int | None = None, timeout: float | None = 60.0,
                 clock_skew: float = 1.0, storage: str = "float32") -> None:
        timeout, clock_skew = _limits(timeout, clock_skew)
        storage = check_storage(storage)
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
            return client.submit(Shard, *data, lo, storage, workers=[worker], actor=True, pure=False)

        self._attach(client, workers, bounds, whole.dim, whole.dated, embed, timeout, clock_skew,
                     time.monotonic() + timeout, shard, storage)
        del scattered

    @classmethod
    def from_directory(cls, client: Any, directory: str | os.PathLike[str], *,
                       embed: Embed | None = None, timeout: float | None = 60.0,
                       clock_skew: float = 1.0, storage: str = "float32") -> ShardedCorpus:
        """The corpus that `write_shards` wrote to `directory`, a path that every worker can
        read (the client need not). One worker reads the manifest; each shard's worker then
        memory-maps that shard's files itself, so no row passes through the client. Shards go
        to the workers in turn (sorted by address). With `storage="float16"` each worker makes
        its float16 copy from the rows it has read and checked (a copy saved beside them is not
        read), and the float32 pages it converted leave its resident memory.

        `ShardError`, naming the shard and its worker, when the manifest or a shard file is
        missing, unreadable or not what the manifest describes, or when loading takes longer
        than `timeout` seconds in all. Every file is checked as it is read (docs/distributed.md,
        "What is verified"), and ids are checked distinct across shards.
        """
        timeout, clock_skew = _limits(timeout, clock_skew)
        storage = check_storage(storage)
        deadline = time.monotonic() + timeout
        path = os.fspath(directory)
        workers = sorted(client.scheduler_info()["workers"])
        if not workers:
            raise ShardError("the cluster has no workers")
        future = client.submit(read_manifest, path, workers=[workers[0]], pure=False)
        try:
            while True:  # in steps: a future's own timeout takes no inf, nor 1e10
                left = deadline - time.monotonic()
                try:
                    manifest, fault = future.result(timeout=max(0.0, min(left, POLL)))
                    break
                except TimeoutError:
                    if left <= POLL:
                        raise
        except TimeoutError as e:
            client.cancel([future])
            raise ShardError(f"the manifest of {path} on {workers[0]}: no answer within "
                             f"{timeout:g} s") from e
        except Exception as e:
            raise ShardError(f"the manifest of {path} on {workers[0]}: {why(e)}") from e
        if manifest is None:
            raise ShardError(f"the manifest of {path} on {workers[0]}: {fault}")
        entries = manifest.shards
        bounds = [e.start for e in entries] + [manifest.rows]
        dim, dated = manifest.dim, manifest.dated

        def shard(s: int, worker: str) -> Any:
            return client.submit(StoredShard, path, entries[s], dim, dated, storage, workers=[worker],
                                 actor=True, pure=False)

        self = cls.__new__(cls)
        self._attach(client, workers, bounds, dim, dated, embed, timeout, clock_skew, deadline,
                     shard, storage, distinct=True)
        return self

    def _attach(self, client: Any, workers: list[str], bounds: list[int], dim: int, dated: bool,
                embed: Embed | None, timeout: float, clock_skew: float, deadline: float,
                shard: Callable[[int, str], Any], storage: str, distinct: bool = False) -> None:
        """Start one actor per shard, `shard(s, worker)`, and wait for them until `deadline`;
        `timeout` becomes the default of every search."""
        if not workers:
            raise ShardError("the cluster has no workers")
        count = len(bounds) - 1
        self._timeout = timeout
        self._clock_skew = float(clock_skew)
        self._dim = dim
        self._n = bounds[-1]
        self._dated = dated
        self._embed = embed
        self._storage = storage
        self._bounds = bounds
        self._shards = shards = Shards(client, [workers[s % len(workers)] for s in range(count)])
        try:
            shards.start([shard(s, shards.workers[s]) for s in range(count)], deadline, timeout)
            # A shard's best k are the client's only if its worker scores with the same bits.
            mine = fingerprint(dim)
            theirs = shards.all({s: shards.call(s, "status", dim, distinct) for s in range(count)},
                                deadline, timeout)
            for s, (fault, _, _) in sorted(theirs.items()):
                shards.checked(s, (fault, None))
            if distinct:
                self._check_distinct({s: h for s, (_, _, h) in theirs.items()}, deadline, timeout)
        except BaseException:
            self.close()
            raise
        self._same_bits = all(bits == mine for _, bits, _ in theirs.values())

    def _check_distinct(self, hashes: Mapping[int, npt.NDArray[np.uint64]], deadline: float,
                        timeout: float) -> None:
        """`ShardError` for an id held by two shards: the shards' sorted 64-bit id hashes are
        merged, and only where two hashes collide are the ids themselves fetched and compared."""
        every = np.concatenate([hashes[s] for s in sorted(hashes)])
        where = np.repeat(np.arange(len(hashes)), [len(hashes[s]) for s in sorted(hashes)])
        order = np.argsort(every, kind="stable")
        every, where = every[order], where[order]
        twice = np.flatnonzero(every[1:] == every[:-1])
        if not twice.size:
            return
        clashing = np.unique(every[twice])
        shards = sorted(set(where[twice].tolist()) | set(where[twice + 1].tolist()))
        named = self._shards.all({s: self._shards.call(s, "ids_hashed", clashing) for s in shards},
                                 deadline, timeout)
        holders: dict[str, int] = {}
        for s in shards:
            for i in named[s]:
                if i in holders:
                    raise ShardError(f"shards {holders[i]} and {s} both hold the id {i!r}: the ids "
                                     "of a corpus are distinct")
                holders[i] = s

    def __len__(self) -> int:
        return self._n

    @property
    def dim(self) -> int:
        return self._dim

    @property
    def dated(self) -> bool:
        """Whether the corpus has timestamps, which ``recent`` needs."""
        return self._dated

    @property
    def embed(self) -> Embed | None:
        """The default text-to-vector callable of `search`, or None."""
        return self._embed

    def __repr__(self) -> str:
        dated = ", dated" if self._dated else ""
        half = ", float16" if self._storage == "float16" else ""
        closed = ", closed" if not self._shards.futures else ""
        return (f"ShardedCorpus({self._n} documents x {self._dim} dims in {len(self._bounds) - 1} "
                f"shards{dated}{half}{closed})")

    @property
    def storage(self) -> str:
        """What the shards scan: "float32", or "float16" (a copy per shard, scored again in
        float32 where it could change the result)."""
        return self._storage

    def close(self) -> None:
        """Release the shards and their rows on the workers; a second call does nothing."""
        self._shards.close()

    def __enter__(self) -> ShardedCorpus:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def prepare(self, query: str | npt.ArrayLike, modifiers: str | None = "",
                embed: Embed | None = None, **options: Unpack[ShardedOptions]) -> Prepared:
        """What `Corpus.prepare` gives for the same arguments (same checks, errors, `applied`
        and `notes`), except that `arguments` leaves out the corpus's own arrays (``matrix``,
        ``ids``, ``id_to_idx``, ``timestamps``), which live on the shards. Ids named by
        ``like:`` or `within` are looked up on the shards, within `timeout`."""
        return self._prepare(query, modifiers, embed, options, "ShardedCorpus.prepare").prepared

    def _prepare(self, query: str | npt.ArrayLike, modifiers: str | None, embed: Embed | None,
                 options: ShardedOptions, caller: str, within_later: bool = False) -> _Query:
        """The prepared query, its ``like:`` ids looked up on the shards (and its `within`
        ids, unless `within_later`: the search finds them in its first round instead)."""
        if not self._shards.futures:
            raise ValueError(f"{caller}(): the ShardedCorpus is closed")
        timeout = options.get("timeout")
        wait = self._timeout if timeout is None else checked_seconds(
            timeout, "timeout", zero=False, unlimited=True)
        deadline = time.monotonic() + wait
        d = plan.draft(self, query, modifiers, embed,
                       {k: v for k, v in options.items() if k != "timeout"}, caller)
        if d.where is not None:
            raise ValueError("where: a ShardedCorpus keeps no metadata to filter on")
        liked: dict[str, npt.NDArray[np.float32]] = {}
        missing: set[str] = set()
        asked = list(d.like) if within_later else [*d.like, *d.within]
        if asked:
            packed, like = pack_ids(asked), pack_ids(d.like)
            shards = self._shards
            found = shards.all({s: shards.call(s, "lookup_packed", packed, like)
                                for s in range(len(shards.actors))}, deadline, wait)
            held = np.zeros(len(asked), np.bool_)
            for s, reply in found.items():
                flags, rows = shards.checked(s, reply)
                held |= flags
                liked.update(rows)
            missing = {asked[j] for j in np.flatnonzero(~held).tolist()}
        vectors, seconds = plan.embed_texts(d)
        # The list's ids are checked once the shards have said which they hold.
        checked = replace(d, within=()) if within_later else d
        prepared = plan.finish(checked, vectors, _AllBut(missing), seconds)
        return _Query(d, vectors, seconds, missing, prepared, liked, deadline, wait)

    def search(self, query: str | npt.ArrayLike, modifiers: str | None = "",
               embed: Embed | None = None, **options: Unpack[ShardedOptions]) -> SearchResult:
        """Rank the corpus for `query` under `modifiers`, exactly as `Corpus.search` would.

        The arguments are those of `Corpus.search` (`mask` has one flag per row of the whole
        corpus); `timeout` (seconds, default the corpus's) bounds the whole search.
        """
        q = self._prepare(query, modifiers, embed, options, "ShardedCorpus.search", within_later=True)
        prepared, deadline, wait = q.prepared, q.deadline, q.wait
        start = time.perf_counter()
        # The list goes to every shard as one buffer, packed once for every round.
        listed: list[str] | None = prepared.arguments.get("pre_filter_ids")
        packed = None if listed is None else pack_ids(listed)
        checked = listed is None
        rescored: int | None = None

        shards = self._shards

        def ask(calls: Mapping[int, Call]) -> Mapping[int, Answer]:
            nonlocal checked, rescored
            replies = shards.all({s: shards.call(s, "answer_packed", pickle.dumps(replace(c, within=None)),
                                                 packed) for s, c in calls.items()}, deadline, wait)
            answers = {s: shards.checked(s, r) for s, r in replies.items()}
            for a in answers.values():  # every round's, on every shard
                if a.rescored is not None:
                    rescored = (rescored or 0) + a.rescored
            if not checked and listed is not None:  # the first round asks every shard
                q.check_held(listed, [a.held for a in answers.values()])
                checked = True
            return answers

        try:
            hits, stamps = merge(prepared.arguments, q.liked, self._bounds, ask,
                                 same_bits=self._same_bits, clock_skew=self._clock_skew,
                                 deadline=deadline)
        except Unproven as e:
            raise ShardError(f"shards {e.parts} could not prove their part of the pool within "
                             f"{wait:g} s") from None
        hit_notes = () if stamps is None else undated_notes(stamps)
        if rescored is not None:
            prepared = replace(prepared, rescored=rescored)
        return SearchResult(hits, prepared, time.perf_counter() - start, hit_notes)


@dataclass(frozen=True, slots=True)
class _Query:
    """A query prepared against the shards, with what it takes to refuse it later."""

    draft: plan.Draft
    vectors: dict[str, Any]
    embed_seconds: float
    missing: set[str]  # ids asked of the shards that none holds
    prepared: Prepared
    liked: dict[str, npt.NDArray[np.float32]]
    deadline: float
    wait: float

    def check_held(self, listed: list[str], held: Sequence[npt.NDArray[np.bool_] | None]) -> None:
        """`Corpus`'s own `ValueError` where no shard holds an entry of the `within` list."""
        every = np.zeros(len(listed), np.bool_)
        for flags in held:
            if flags is not None:
                every |= flags
        if not every.all():
            missing = self.missing | {listed[j] for j in np.flatnonzero(~every).tolist()}
            plan.finish(self.draft, self.vectors, _AllBut(missing), self.embed_seconds)


class _AllBut:
    """Every id but those of `missing`, as `plan.finish` asks which ids the corpus holds."""

    __slots__ = ("missing",)

    def __init__(self, missing: set[str]) -> None:
        self.missing = missing

    def __contains__(self, i: object) -> bool:
        return i not in self.missing


def _limits(timeout: object, clock_skew: object) -> tuple[float, float]:
    return (checked_seconds(timeout, "timeout", zero=False, unlimited=True),
            checked_seconds(clock_skew, "clock_skew", zero=True, unlimited=False))

