"""How many threads the layer may use: for its native scans and for the sentence encoder.

The default is the number of CPUs this process may run on (its affinity mask, so a container or
``taskset`` limit is respected), or ``QUANTELLE_NUM_THREADS`` where that is set. `_quantelle`
itself never starts a thread; only the layer's own code reads this setting, and the engine's pool
(`quantelle._engine`) is kept at it.
"""

from __future__ import annotations

import os
import threading
from collections.abc import Callable

from . import _engine

__all__ = ["get_num_threads", "set_num_threads"]

ENVIRONMENT = "QUANTELLE_NUM_THREADS"

_lock = threading.Lock()
_count: int | None = None
_listeners: list[Callable[[int], None]] = []
_engine_told = False  # whether the engine's pool has the count (it starts at one thread)


def _checked(n: object, what: str) -> int:
    if isinstance(n, bool) or not isinstance(n, int):
        raise TypeError(f"{what} must be an int, got {type(n).__name__}")
    if n < 1:
        raise ValueError(f"{what} must be at least 1, got {n}")
    return n


def _default() -> int:
    text = os.environ.get(ENVIRONMENT, "").strip()
    if text:
        try:
            return _checked(int(text), ENVIRONMENT)
        except ValueError as e:
            raise ValueError(f"{ENVIRONMENT}={text!r}: a whole number of threads, at least 1") from e
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):  # no affinity call on this platform
        return max(1, os.cpu_count() or 1)


def get_num_threads() -> int:
    """The number of threads a search or an `embed_many` call may use."""
    global _count
    with _lock:
        if _count is None:
            _count = _default()
        return _count


def engine_ready() -> None:
    """Give the engine's pool the count before its first scan (later changes reach it at once)."""
    global _engine_told
    if _engine_told:
        return
    n = get_num_threads()
    with _lock:
        if not _engine_told:  # else a set_num_threads came in between, and told it
            _engine.set_num_threads(n)
            _engine_told = True


def set_num_threads(n: int) -> None:
    """Use at most `n` threads (at least 1) from now on, in every thread of this process."""
    global _count, _engine_told
    n = _checked(n, "the number of threads")
    with _lock:
        _count = n
        _engine.set_num_threads(n)
        _engine_told = True
        listeners = list(_listeners)
    for listener in listeners:
        listener(n)


def on_change(listener: Callable[[int], None]) -> None:
    """Call `listener(n)` whenever `set_num_threads(n)` is called (for the layer's own pools)."""
    with _lock:
        _listeners.append(listener)
