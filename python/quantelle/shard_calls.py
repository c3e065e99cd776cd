"""The client's side of the calls to a `ShardedCorpus`'s actors, and the watch over their workers.

A call to an actor whose worker died waits for a reply that never comes. Every wait is
therefore taken in steps of `POLL` seconds, between which the client looks at the shard's actor
(its own future shows the loss once the scheduler knows) and at the scheduler's list of workers
(which shows it as soon as the worker is removed): a lost worker fails the call within about a
step, not at the caller's deadline.
"""

from __future__ import annotations

import time
from collections.abc import Mapping
from typing import Any

from .shard_actors import ShardError, why

__all__ = ["POLL", "Shards"]

POLL = 0.25  # seconds between looks at whether a shard's worker is still there


class Shards:
    """The actors of a corpus's shards, shard s on `workers[s]`, and calls to them that raise
    `ShardError` naming the shard and its worker."""

    def __init__(self, client: Any, workers: list[str]) -> None:
        self.client = client
        self.workers = workers
        self.futures: list[Any] = []  # the actors' own futures, until `close`
        self.actors: list[Any] = []
        self._lost: set[str] = set()

    def start(self, futures: list[Any], deadline: float, timeout: float) -> None:
        """Wait for the actors of `futures` (one per shard) until `deadline`."""
        self.futures = futures
        self.actors = [self.wait(s, f, deadline, timeout) for s, f in enumerate(futures)]

    def close(self) -> None:
        futures, self.futures, self.actors = self.futures, [], []
        if futures and self.client.status == "running":
            self.client.cancel(futures)

    def call(self, shard: int, name: str, *args: Any) -> Any:
        # A call to an actor whose worker is known to be lost fails at once (already when the
        # method is looked up), not at its result.
        try:
            return getattr(self.actors[shard], name)(*args)
        except Exception as e:
            raise ShardError(f"shard {shard} on {self.workers[shard]} failed: {why(e)}") from e

    def all(self, calls: Mapping[int, Any], deadline: float, timeout: float) -> dict[int, Any]:
        """The result of each shard's call."""
        return {s: self.wait(s, c, deadline, timeout) for s, c in calls.items()}

    def checked(self, shard: int, reply: tuple[str, Any]) -> Any:
        """The value of a reply, or `ShardError` for the fault that the shard reported."""
        fault, value = reply
        if fault:
            raise ShardError(f"shard {shard} on {self.workers[shard]} failed: {fault}")
        return value

    def wait(self, shard: int, future: Any, deadline: float, timeout: float) -> Any:
        while True:
            left = deadline - time.monotonic()
            try:
                return future.result(timeout=max(0.0, min(left, POLL)))
            except TimeoutError:
                if self.actors and (self.futures[shard].status != "finished"
                                    or not self._present(self.workers[shard])):
                    raise ShardError(f"shard {shard} on {self.workers[shard]} failed: its "
                                     "worker was lost") from None
                if left <= POLL:
                    raise ShardError(f"shard {shard} on {self.workers[shard]} gave no answer "
                                     f"within {timeout:g} s") from None
            except Exception as e:
                raise ShardError(f"shard {shard} on {self.workers[shard]} failed: {why(e)}") from e

    def _present(self, worker: str) -> bool:
        """Whether the scheduler still lists `worker` (asked on each step of a waiting shard)."""
        if worker in self._lost:
            return False
        try:
            listed = self.client.run_on_scheduler(_worker_addresses, timeout=POLL)
        except Exception:  # noqa: BLE001 - an unreachable scheduler decides nothing here
            return True
        self._lost.update(w for w in self.workers if w not in listed)
        return worker not in self._lost


def _worker_addresses(dask_scheduler: Any) -> set[str]:
    return set(dask_scheduler.workers)
