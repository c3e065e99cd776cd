"""Arrays that grow at their end and that no Python code can write: what a corpus's rows and
timestamps live in, so that a search may read them without the interpreter lock.

`Growing` holds its elements in a `FrozenBuffer` with spare capacity (doubled when full, so n
appends of one row copy O(n) rows in all). A new block is written past the sealed part and then
sealed, and only then does a view cover it: a search that holds an older view never sees a
byte change. A growing array may also start as an array that is already frozen (a read-only
memory map), which is copied into a buffer only on the first append.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from ._engine import FrozenBuffer, is_frozen

__all__ = ["Growing", "frozen_copy"]


def _buffer(dtype: np.dtype[Any], width: int, capacity: int) -> FrozenBuffer:
    return FrozenBuffer(max(1, capacity) * width * dtype.itemsize)


def frozen_copy(a: npt.ArrayLike, dtype: npt.DTypeLike) -> npt.NDArray[Any]:
    """A copy of `a` as `dtype` in memory that nobody can write (a mask, say)."""
    src = np.ascontiguousarray(a, dtype=dtype)
    buf = FrozenBuffer(max(1, src.nbytes))
    buf.write(0, src)
    buf.seal(src.nbytes)
    return np.frombuffer(buf, src.dtype, src.size).reshape(src.shape)


class Growing:
    """The first `count` rows of width `width` (0 for a vector) of `dtype`, frozen."""

    __slots__ = ("_base", "_buffer", "_capacity", "count", "dtype", "width")

    def __init__(self, dtype: npt.DTypeLike, width: int, capacity: int = 0) -> None:
        self.dtype = np.dtype(dtype)
        self.width = width
        self.count = 0
        self._capacity = max(1, capacity)
        self._buffer: FrozenBuffer | None = _buffer(self.dtype, max(1, width), self._capacity)
        self._base: npt.NDArray[Any] | None = None

    @classmethod
    def over(cls, array: npt.NDArray[Any]) -> Growing:
        """A growing array whose rows so far are `array`, which must be frozen and C-contiguous."""
        if not is_frozen(array) or not array.flags.c_contiguous:
            raise ValueError("a growing array starts from a frozen, C-contiguous array")
        g = cls(array.dtype, array.shape[1] if array.ndim == 2 else 0, 0)
        g._buffer, g._base, g.count, g._capacity = None, array, array.shape[0], array.shape[0]
        return g

    def _own(self) -> FrozenBuffer:
        if self._buffer is None:  # still the array it started from: copy it first
            self.reserve(0)
        assert self._buffer is not None  # reserve always leaves a buffer
        return self._buffer

    def _row_bytes(self) -> int:
        return max(1, self.width) * self.dtype.itemsize

    def write_at(self, offset: int, data: memoryview | npt.NDArray[Any]) -> None:
        """Write raw bytes at byte `offset`, past every row so far (for reading a file in)."""
        self._own().write(self.count * self._row_bytes() + offset, data)

    def seal_rows(self, rows: int) -> None:
        """The next `rows` rows, written by `write_at`, become part of the array."""
        buffer = self._own()
        self.count += rows
        buffer.seal(self.count * self._row_bytes())

    def reserve(self, more: int) -> None:
        """Room for `more` rows past the count, doubling the capacity where it runs out."""
        need = self.count + more
        if self._buffer is not None and need <= self._capacity:
            return
        capacity = max(need, 2 * self._capacity, 16)
        fresh = _buffer(self.dtype, max(1, self.width), capacity)
        if self.count:
            fresh.write(0, self.view(self.count))
        fresh.seal(self.count * self._row_bytes())
        self._buffer, self._base, self._capacity = fresh, None, capacity

    def append(self, block: npt.NDArray[Any]) -> None:
        """Append rows (a C-contiguous array of this dtype and width)."""
        k = block.shape[0]
        self.reserve(k)
        self.write_at(0, block)
        self.seal_rows(k)

    def view(self, n: int) -> npt.NDArray[Any]:
        """The first `n` rows (n at most `count`) as a read-only array that nobody can write."""
        if self._base is not None:
            return self._base[:n]
        shape = (n, self.width) if self.width else (n,)
        return np.frombuffer(self._own(), self.dtype, n * max(1, self.width)).reshape(shape)
