"""The thread count of the BLAS library behind NumPy's products, lowered for the span of a call.

NumPy has no call for it, so the library's own is used: OpenBLAS (what NumPy's wheels ship, and
most Linux builds link) is found among the libraries this process has already loaded and called
through ctypes; every copy found is set (SciPy's wheels bring a second one). Where none is found
(another BLAS, no ``/proc``), `limited` changes nothing and says so; the products are then as
fast or as slow as that library makes them.
"""

from __future__ import annotations

import ctypes
import functools
import os
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

__all__ = ["counts", "limited"]

# NumPy's wheels rename the library's symbols (scipy_openblas...64_); a distribution's build
# keeps the plain names, with a suffix where it uses 64-bit integers.
_PREFIXES = ("scipy_openblas", "openblas")
_SUFFIXES = ("64_", "_64", "")


class _Library:
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
def _libraries() -> tuple[_Library, ...]:
    try:
        paths = [p for p in _loaded_libraries() if "openblas" in os.path.basename(p).lower()]
    except OSError:
        return ()
    found = []
    for path in paths:
        try:  # RTLD_NOLOAD: a handle on the copy already loaded, never a second one
            lib = ctypes.CDLL(path, mode=os.RTLD_NOLOAD | os.RTLD_LAZY)
        except OSError:
            continue
        names = [(p, s) for p in _PREFIXES for s in _SUFFIXES
                 if hasattr(lib, f"{p}_set_num_threads{s}") and hasattr(lib, f"{p}_get_num_threads{s}")]
        if names:
            found.append(_Library(lib, *names[0]))
    return tuple(found)


def counts() -> list[int]:
    """The thread count of each OpenBLAS in this process; empty where none was found."""
    return [lib.get() for lib in _libraries()]


_lock = threading.Lock()
_limits: list[int] = []  # one entry per block under way, in any thread
_found: list[int] = []  # each library's own count, read when the first block began


def _apply(libraries: tuple[_Library, ...]) -> None:
    for lib, found in zip(libraries, _found, strict=True):
        lib.set(min([found, *_limits]))


@contextmanager
def limited(n: int) -> Iterator[bool]:
    """BLAS on at most `n` threads inside the block; False if that cannot be set here.

    The setting is the library's, so it holds for every thread of the process: while blocks
    overlap, the lowest limit holds, and the count found before the first is restored after
    the last.
    """
    libraries = _libraries()
    if not libraries:
        yield False
        return
    with _lock:
        if not _limits:
            _found[:] = [lib.get() for lib in libraries]
        _limits.append(n)
        _apply(libraries)
    try:
        yield True
    finally:
        with _lock:
            _limits.remove(n)
            _apply(libraries)
