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
import time
from collections.abc import Callable, Mapping, Sequence
from pathlib import Path
from types import TracebackType
from typing import Any, Unpack

import numpy as np
import numpy.typing as npt

from . import plan
from .corpus import Corpus
from .merge import Answer, Call, Part, Unproven, fingerprint, merge
from .plan import Embed, Options
from .results import Prepared, SearchResult, undated_notes
from .shard_files import MANIFEST, read_manifest, read_shard, write_shards
from .storage import ShardEntry

__all__ = ["MANIFEST", "ShardError", "ShardedCorpus", "ShardedOptions", "write_shards"]

_POLL = 0.5  # seconds between looks at whether a shard's worker is still there


def _why(e: BaseException) -> str:
    """The first line of an error that came from a worker: its message, not its traceback."""
    lines = str(e).strip().splitlines()
    return lines[0] if lines else type(e).__name__


class ShardError(RuntimeError):
    """A shard could not be loaded or searched: its worker was lost, a file of it could not be
    read, or it gave no answer in time. The message names the shard and its worker."""


class ShardedOptions(Options, total=False):
    """`Options`, and ``timeout``: seconds for the whole call (default the corpus's)."""

    timeout: float | None


class _Shard(Part):
    """One shard on its worker (a `distributed` actor); `fault` says why it could not load."""

    fault = ""

    def __init__(self, matrix: npt.NDArray[np.float32], ids: list[str],
                 timestamps: npt.NDArray[np.float64] | None, start: int) -> None:
        super().__init__(_aligned(matrix), ids, None if timestamps is None else _aligned(timestamps),
                         start)

    def status(self, dim: int) -> tuple[str, list[str]]:
        return self.fault, fingerprint(dim)


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
    """A shard that its worker memory-maps from a shard directory. A file that cannot be used
    sets `fault` rather than raising, which the worker would log with its traceback."""

    def __init__(self, directory: str, entry: ShardEntry, dim: int, dated: bool) -> None:
        try:
            super().__init__(*read_shard(Path(directory), entry, dim, dated), entry.start)
        except Exception as e:  # noqa: BLE001 - any failure to load is this shard's fault
            super().__init__(np.zeros((0, dim), np.float32), [], None, 0)
            self.fault = _why(e)


class ShardedCorpus:
    """`Corpus` with its rows cut into contiguous shards held by the cluster's workers.

    The arguments and their checks are those of `Corpus`; `shards` defaults to one per worker;
    `timeout` (seconds) bounds every search, which raises `ShardError` when a shard's worker is
    lost or does not answer in time. `clock_skew` (seconds) is the most a worker's clock may be
    off the client's: temporal decay reads the clock on both, and the bound that keeps a
    search exact widens with the difference. `close()`, or leaving a ``with`` block, releases
    the shards on the workers; the client stays open.
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

        self._attach(client, workers, bounds, whole.dim, whole.dated, embed, timeout, clock_skew,
                     time.monotonic() + timeout, shard)
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
        future = client.submit(read_manifest, path, workers=[workers[0]], pure=False)
        try:
            manifest, fault = future.result(timeout=max(0.0, deadline - time.monotonic()))
        except TimeoutError as e:
            raise ShardError(f"the manifest of {path} on {workers[0]}: no answer within "
                             f"{timeout} s") from e
        except Exception as e:
            raise ShardError(f"the manifest of {path} on {workers[0]}: {_why(e)}") from e
        if manifest is None:
            raise ShardError(f"the manifest of {path} on {workers[0]}: {fault}")
        entries = manifest.shards
        bounds = [e.start for e in entries] + [manifest.rows]
        dim, dated = manifest.dim, manifest.dated

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
        self._actors: list[Any] = []
        self._futures = [shard(s, self._workers[s]) for s in range(count)]
        try:
            self._actors = [self._wait(s, f, deadline, timeout) for s, f in enumerate(self._futures)]
            # A shard's best k are the client's only if its worker scores with the same bits.
            mine = fingerprint(dim)
            theirs = self._all({s: self._call(s, "status", dim) for s in range(count)}, deadline, timeout)
            for s, (fault, _) in sorted(theirs.items()):
                if fault:
                    raise ShardError(f"shard {s} on {self._workers[s]} failed: {fault}")
        except BaseException:
            self.close()
            raise
        self._same_bits = all(bits == mine for _, bits in theirs.values())

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
        closed = ", closed" if not self._futures else ""
        return (f"ShardedCorpus({self._n} documents x {self._dim} dims in {len(self._bounds) - 1} "
                f"shards{dated}{closed})")

    def close(self) -> None:
        """Release the shards and their rows on the workers; a second call does nothing."""
        futures, self._futures, self._actors = self._futures, [], []
        if futures and self._client.status == "running":
            self._client.cancel(futures)

    def __enter__(self) -> ShardedCorpus:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def _wait(self, shard: int, future: Any, deadline: float, timeout: float) -> Any:
        while True:
            left = deadline - time.monotonic()
            try:
                return future.result(timeout=max(0.0, min(left, _POLL)))
            except TimeoutError:
                # Calls to an actor whose worker died wait for a reply that never comes; the
                # actor's own future shows the loss at once.
                if self._actors and self._futures[shard].status != "finished":
                    raise ShardError(f"shard {shard} on {self._workers[shard]} failed: its "
                                     "worker was lost") from None
                if left <= _POLL:
                    raise ShardError(f"shard {shard} on {self._workers[shard]} gave no answer "
                                     f"within {timeout:g} s") from None
            except Exception as e:
                raise ShardError(f"shard {shard} on {self._workers[shard]} failed: {_why(e)}") from e

    def _call(self, shard: int, name: str, *args: Any) -> Any:
        # A call to an actor whose worker is known to be lost fails at once (already when the
        # method is looked up), not at its result.
        try:
            return getattr(self._actors[shard], name)(*args)
        except Exception as e:
            raise ShardError(f"shard {shard} on {self._workers[shard]} failed: {_why(e)}") from e

    def _all(self, calls: Mapping[int, Any], deadline: float, timeout: float) -> dict[int, Any]:
        return {s: self._wait(s, c, deadline, timeout) for s, c in calls.items()}

    def prepare(self, query: str | npt.ArrayLike, modifiers: str | None = "",
                embed: Embed | None = None, **options: Unpack[ShardedOptions]) -> Prepared:
        """What `Corpus.prepare` gives for the same arguments (same checks, errors, `applied`
        and `notes`), except that `arguments` leaves out the corpus's own arrays (``matrix``,
        ``ids``, ``id_to_idx``, ``timestamps``), which live on the shards. Ids named by
        ``like:`` or `within` are looked up on the shards, within `timeout`."""
        return self._prepare(query, modifiers, embed, options, "ShardedCorpus.prepare")[0]

    def _prepare(self, query: str | npt.ArrayLike, modifiers: str | None, embed: Embed | None,
                 options: ShardedOptions, caller: str) -> tuple[
                     Prepared, dict[str, npt.NDArray[np.float32]], dict[str, int], float, float]:
        """The prepared query, the liked rows, the shard of each id looked up, the deadline
        and the timeout."""
        if not self._futures:
            raise ValueError(f"{caller}(): the ShardedCorpus is closed")
        timeout = options.get("timeout")
        wait = self._timeout if timeout is None else timeout
        deadline = time.monotonic() + wait
        d = plan.draft(self, query, modifiers, embed,
                       {k: v for k, v in options.items() if k != "timeout"}, caller)
        if d.where is not None:
            raise ValueError("where: a ShardedCorpus keeps no metadata to filter on")
        owner: dict[str, int] = {}
        liked: dict[str, npt.NDArray[np.float32]] = {}
        if d.ids:
            found = self._all({s: self._call(s, "lookup", d.ids, list(d.like))
                               for s in range(len(self._actors))}, deadline, wait)
            for s, (held, rows) in found.items():
                owner.update((d.ids[j], s) for j in np.flatnonzero(held))
                liked.update(rows)
        vectors, seconds = plan.embed_texts(d)
        return plan.finish(d, vectors, owner, seconds), liked, owner, deadline, wait

    def search(self, query: str | npt.ArrayLike, modifiers: str | None = "",
               embed: Embed | None = None, **options: Unpack[ShardedOptions]) -> SearchResult:
        """Rank the corpus for `query` under `modifiers`, exactly as `Corpus.search` would.

        The arguments are those of `Corpus.search` (`mask` has one flag per row of the whole
        corpus); `timeout` (seconds, default the corpus's) bounds the whole search.
        """
        prepared, liked, owner, deadline, wait = self._prepare(
            query, modifiers, embed, options, "ShardedCorpus.search")
        start = time.perf_counter()

        def ask(calls: Mapping[int, Call]) -> Mapping[int, Answer]:
            return self._all({s: self._call(s, "answer", c) for s, c in calls.items()}, deadline, wait)

        try:
            hits, stamps = merge(prepared.arguments, liked, self._bounds, owner, ask,
                                 same_bits=self._same_bits, clock_skew=self._clock_skew,
                                 deadline=deadline)
        except Unproven as e:
            raise ShardError(f"shards {e.parts} could not prove their part of the pool within "
                             f"{wait:g} s") from None
        hit_notes = () if stamps is None else undated_notes(stamps)
        return SearchResult(hits, prepared, time.perf_counter() - start, hit_notes)
