"""The thread count of the BLAS library behind NumPy's products, lowered for the span of a call.

NumPy has no call for it, so the library's own is used: OpenBLAS (what NumPy's wheels ship, and
most Linux builds link) is found among the libraries this process has already loaded and called
through ctypes. Where it is not found (another BLAS, no ``/proc``), `limited` changes nothing and
says so; the products are then as fast or as slow as that library makes them.
"""

from __future__ import annotations

import ctypes
import functools
import os
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

__all__ = ["limited"]

# NumPy's wheels rename the library's symbols (scipy_openblas...64_); a distribution's build
# keeps the plain names, with a suffix where it uses 64-bit integers.
_PREFIXES = ("scipy_openblas", "openblas")
_SUFFIXES = ("64_", "_64", "")


class _Controls:
    def __init__(self, lib: Any, prefix: str, suffix: str) -> None:
        self._get = getattr(lib, f"{prefix}_get_num_threads{suffix}")
        self._get.argtypes, self._get.restype = [], ctypes.c_int
        self._set = getattr(lib, f"{prefix}_set_num_threads{suffix}")
        self._set.argtypes, self._set.restype = [ctypes.c_int], None

    def get(self) -> int:
        return int(self._get())

    def set(self, n: int) -> None:
        if self.get() != n:
            self._set(n)


def _loaded_libraries() -> list[str]:
    with open("/proc/self/maps", encoding="utf-8", errors="replace") as f:
        fields = (line.split(None, 5) for line in f)
        return sorted({p[5].strip() for p in fields if len(p) == 6 and p[5].startswith("/")})


@functools.cache
def _controls() -> _Controls | None:
    try:
        paths = [p for p in _loaded_libraries() if "openblas" in os.path.basename(p).lower()]
    except OSError:
        return None
    for path in paths:
        try:  # RTLD_NOLOAD: a handle on the copy NumPy uses, never a second one
            lib = ctypes.CDLL(path, mode=os.RTLD_NOLOAD | os.RTLD_LAZY)
        except OSError:
            continue
        for prefix in _PREFIXES:
            for suffix in _SUFFIXES:
                if hasattr(lib, f"{prefix}_set_num_threads{suffix}") and hasattr(
                        lib, f"{prefix}_get_num_threads{suffix}"):
                    return _Controls(lib, prefix, suffix)
    return None


_lock = threading.Lock()
_limits: list[int] = []  # one entry per block under way, in any thread
_found = 0  # the library's own count, read when the first block began


@contextmanager
def limited(n: int) -> Iterator[bool]:
    """BLAS on at most `n` threads inside the block; False if that cannot be set here.

    The setting is the library's, so it holds for every thread of the process: while blocks
    overlap, the lowest limit holds, and the count found before the first is restored after
    the last.
    """
    global _found
    controls = _controls()
    if controls is None:
        yield False
        return
    with _lock:
        if not _limits:
            _found = controls.get()
        _limits.append(n)
        controls.set(min([_found, *_limits]))
    try:
        yield True
    finally:
        with _lock:
            _limits.remove(n)
            controls.set(min([_found, *_limits]))
