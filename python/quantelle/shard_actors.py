"""The worker's side of a `ShardedCorpus`: one actor per shard, and the checks of what the
client gives it.

A shard read from files keeps them mapped and, at every call, compares each file's identity
(device, inode, size, modification and change times) with what it was when the file was read
and hashed: a file changed, truncated or replaced since then fails the call instead of being
read as whole. Calls arrive as one pickled buffer, and an id list beside it as one buffer of
text (`pack_ids`): never one message element per id, nor one pickled object per id. Every fault
the worker finds is returned as a value, which the worker would otherwise log with its
traceback.
"""

from __future__ import annotations

import hashlib
import math
import os
import pickle
from collections.abc import Sequence
from dataclasses import replace
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from .half import check_storage, convert
from .merge import Answer, Call, Part, fingerprint
from .shard_files import read_shard
from .storage import ShardEntry

__all__ = ["ShardError", "StoredShard", "Shard", "id_hashes", "pack_ids", "seconds", "unpack_ids",
           "why"]


class ShardError(RuntimeError):
    """A shard could not be loaded or searched: its worker was lost, a file of it could not be
    read or changed after it was read, or it gave no answer in time. The message names the
    shard and its worker."""


def why(e: BaseException) -> str:
    """The first line of an error that came from a worker: its message, not its traceback."""
    lines = str(e).strip().splitlines()
    return lines[0] if lines else type(e).__name__


def seconds(value: object, name: str, *, zero: bool, unlimited: bool) -> float:
    """`value` as seconds: a real number, finite (or None/inf where `unlimited`, which is
    `math.inf`), above 0 (or at 0 where `zero`); `ValueError` naming `name`."""
    if value is None and unlimited:
        return math.inf
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name} must be a number of seconds, got {type(value).__name__}")
    v = float(value)
    if math.isnan(v) or (math.isinf(v) and not (unlimited and v > 0)) or v < 0 or (v == 0 and not zero):
        rule = "0 or more and finite" if zero else "more than 0 (None or inf for no limit)"
        raise ValueError(f"{name} must be {rule}, got {v}")
    return v


def id_hashes(ids: list[str]) -> npt.NDArray[np.uint64]:
    """A 64-bit hash of each id, the same in every process (unlike `hash`)."""
    out = np.empty(len(ids), np.uint64)
    for j, i in enumerate(ids):
        out[j] = int.from_bytes(hashlib.blake2b(i.encode("utf-8", "surrogatepass"),
                                                digest_size=8).digest(), "little")
    return out


def pack_ids(ids: Sequence[str]) -> bytes:
    """`ids` as one buffer for `unpack_ids`: their UTF-8 text joined by NUL, which both ends
    split and join in C; pickled instead where an id holds a NUL or is no UTF-8 text (a lone
    surrogate, which no shard holds but must still keep its place in the list)."""
    if ids:
        joined = "\0".join(ids)
        if joined.count("\0") == len(ids) - 1:
            try:
                return b"T" + joined.encode()
            except UnicodeEncodeError:
                pass
    return b"P" + pickle.dumps(list(ids))


def unpack_ids(packed: bytes) -> list[str]:
    if packed[:1] == b"T":
        return packed[1:].decode().split("\0")
    out: list[str] = pickle.loads(packed[1:])
    return out


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


class Shard(Part):
    """One shard on its worker (a `distributed` actor); `fault` says why it could not load."""

    fault = ""

    def __init__(self, matrix: npt.NDArray[np.float32], ids: list[str],
                 timestamps: npt.NDArray[np.float64] | None, start: int,
                 storage: str = "float32") -> None:
        rows = _aligned(matrix)
        # The copy is made here from the rows this worker holds (and has checked, when read
        # from files), so it cannot disagree with them.
        half = convert(rows) if check_storage(storage) == "float16" else None
        super().__init__(rows, ids, None if timestamps is None else _aligned(timestamps), start, half)

    def status(self, dim: int, hashes: bool) -> tuple[str, list[str], npt.NDArray[np.uint64] | None]:
        """Why the shard could not load (or ""), its `fingerprint`, and, when asked, its ids'
        hashes sorted."""
        if self.fault:
            return self.fault, [], None
        return "", fingerprint(dim), np.sort(id_hashes(self.ids)) if hashes else None

    def ids_hashed(self, wanted: npt.NDArray[np.uint64]) -> list[str]:
        """The ids whose hash is among `wanted`."""
        return [self.ids[j] for j in np.flatnonzero(np.isin(id_hashes(self.ids), wanted))]

    def changed(self) -> str:
        """What changed under the shard since it was read, or ""."""
        return ""

    def lookup_packed(self, asked: bytes, liked: bytes) -> tuple[str, Any]:
        return self._guarded(lambda: self.lookup(unpack_ids(asked), unpack_ids(liked)))

    def answer_packed(self, blob: bytes, within: bytes | None) -> tuple[str, Any]:
        """`answer` of the pickled `Call` in `blob`, whose list, if any, is `within`."""
        def work() -> Answer:
            call: Call = pickle.loads(blob)
            return self.answer(call if within is None else replace(call, within=unpack_ids(within)))
        return self._guarded(work)

    def _guarded(self, work: Any) -> tuple[str, Any]:
        # Checked before and after: a file changed during the scan may have been read in part.
        fault = self.changed()
        if fault:
            return fault, None
        out = work()
        return self.changed(), out


def _identity(base: Path, name: str) -> tuple[int, ...]:
    st = os.stat(base / name, follow_symlinks=False)
    return st.st_dev, st.st_ino, st.st_mode, st.st_size, st.st_mtime_ns, st.st_ctime_ns


class StoredShard(Shard):
    """A shard that its worker memory-maps from a shard directory. A file that cannot be used
    sets `fault` rather than raising, which the worker would log with its traceback."""

    def __init__(self, directory: str, entry: ShardEntry, dim: int, dated: bool,
                 storage: str = "float32") -> None:
        base = Path(directory)
        self._base = base
        self._files: dict[str, tuple[int, ...]] = {}
        try:
            names = [r.name for r in entry.files.values()]
            before = {n: _identity(base, n) for n in names if os.path.lexists(base / n)}
            super().__init__(*read_shard(base, entry, dim, dated), entry.start, storage)
            self._files = {n: _identity(base, n) for n in names}
            if self._files != before:
                raise OSError(f"{base}: a file of the shard changed while it was read")
        except Exception as e:  # noqa: BLE001 - any failure to load is this shard's fault
            super().__init__(np.zeros((0, dim), np.float32), [], None, 0)
            self.fault = why(e)

    def changed(self) -> str:
        for name, seen in self._files.items():
            try:
                now = _identity(self._base, name)
            except OSError as e:
                return f"{self._base / name} changed after it was read: {e.strerror}"
            if now != seen:
                return (f"{self._base / name} changed after it was read (size, times or inode); "
                        "open the directory again")
        return ""
