"""Files of one directory, read by a reader that trusts nothing it is given and written so that
a crash never leaves a half-written file under a name that is in use.

A name must be a plain file name inside the directory: not ``..``, not absolute, no path
separator. The file is looked at with `lstat` before it is opened, and opened without following
a link and without blocking, so a symlink, a FIFO or a device is refused instead of read; the
descriptor is then checked to be the very file that `lstat` saw. Every read is hashed (SHA-256)
as it goes, and each file's size and digest are compared with what the writer recorded.
"""

from __future__ import annotations

import hashlib
import io
import mmap
import os
import stat
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from types import TracebackType
from typing import Any

import numpy as np
import numpy.typing as npt

__all__ = ["Directory", "FileRecord", "StorageError", "Writer", "npy_header"]

_CHUNK = 1 << 22  # bytes hashed and copied at a time: big enough to amortise, small enough to cache
_NPY_PREFIX = 1 << 16  # the most of a file read to find its .npy header


class StorageError(ValueError):
    """A saved corpus that cannot be read as it was written: a missing, damaged, changed or
    foreign file, or a manifest that does not describe the directory. The message names the
    file and says what is wrong."""


@dataclass(frozen=True, slots=True)
class FileRecord:
    """What the writer of a file recorded: its plain name, size in bytes and SHA-256 (hex)."""

    name: str
    size: int
    sha256: str


def check_name(name: object, where: str) -> str:
    """`name` if it is a plain file name inside a directory, else `StorageError` naming `where`."""
    if (not isinstance(name, str) or name in ("", ".", "..") or "/" in name or "\0" in name
            or (os.altsep is not None and os.altsep in name) or os.path.isabs(name)):
        raise StorageError(f"{where}: {name!r} is not a plain file name inside the directory")
    return name


class Directory:
    """One directory, held open so that every name is looked up in that same directory."""

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = Path(path)
        self.fd = os.open(self.path, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)

    def close(self) -> None:
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1

    def __enter__(self) -> Directory:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def identity(self) -> tuple[int, int]:
        """The directory's device and inode: the same directory under any path."""
        st = os.fstat(self.fd)
        return st.st_dev, st.st_ino

    def exists(self, name: str) -> bool:
        try:
            os.stat(name, dir_fd=self.fd, follow_symlinks=False)
        except FileNotFoundError:
            return False
        return True

    def names(self) -> list[str]:
        return os.listdir(self.fd)

    def open(self, name: str) -> tuple[int, int]:
        """A read-only descriptor of the regular file `name` and its size; `StorageError` for
        anything else (the caller closes the descriptor)."""
        where = self.path / name
        try:
            seen = os.stat(name, dir_fd=self.fd, follow_symlinks=False)
        except FileNotFoundError:
            raise StorageError(f"{where}: missing") from None
        if not stat.S_ISREG(seen.st_mode):
            kind = "a symlink" if stat.S_ISLNK(seen.st_mode) else "not a regular file"
            raise StorageError(f"{where}: {kind}; a corpus file must be a regular file in the "
                               "directory itself")
        fd = os.open(name, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, dir_fd=self.fd)
        st = os.fstat(fd)
        if (st.st_dev, st.st_ino) != (seen.st_dev, seen.st_ino) or not stat.S_ISREG(st.st_mode):
            os.close(fd)
            raise StorageError(f"{where}: replaced while it was being opened")
        return fd, st.st_size

    def read_bytes(self, record: FileRecord) -> bytes:
        """The whole file, which must not be larger than recorded (its digest is compared later,
        after its content, whose errors say more)."""
        fd, size = self.open(record.name)
        try:
            if size > record.size:
                self.check_digest(record, size, "")
            parts = []
            left = record.size + 1
            while left > 0:
                part = os.read(fd, min(left, _CHUNK))
                if not part:
                    break
                parts.append(part)
                left -= len(part)
        finally:
            os.close(fd)
        return b"".join(parts)

    def check_bytes(self, record: FileRecord, data: bytes | memoryview) -> None:
        """`StorageError` unless `data` has the size and digest that `record` says."""
        self.check_digest(record, len(data), hashlib.sha256(data).hexdigest())

    def check_digest(self, record: FileRecord, size: int, digest: str) -> None:
        where = self.path / record.name
        if size != record.size:
            relation = "larger" if size > record.size else "smaller"
            raise StorageError(f"{where}: {relation} than the manifest records ({record.size} bytes); "
                               "it was changed or damaged after it was written")
        if digest != record.sha256:
            raise StorageError(f"{where}: its SHA-256 is not the one the manifest records; it was "
                               "changed or damaged after it was written")

    def map_npy(self, record: FileRecord, dtype: np.dtype[Any], shape: tuple[int, ...],
                verify: bool) -> npt.NDArray[Any]:
        """The .npy file's array, memory-mapped read-only; hashed first when `verify`."""
        fd, size = self.open(record.name)
        try:
            if size == 0:
                raise StorageError(f"{self.path / record.name}: empty, not a .npy file")
            mapped = mmap.mmap(fd, 0, access=mmap.ACCESS_READ)
        finally:
            os.close(fd)
        offset = npy_header(self.path / record.name, mapped[:_NPY_PREFIX], dtype, shape, size)
        if size != record.size:
            self.check_digest(record, size, "")
        if verify:
            self.check_bytes(record, memoryview(mapped))
        count = int(np.prod(shape, dtype=np.int64))
        return np.frombuffer(mapped, dtype, count, offset).reshape(shape)

    def read_npy(self, record: FileRecord, dtype: np.dtype[Any], shape: tuple[int, ...],
                 into: Callable[[int, memoryview], None]) -> None:
        """Read the .npy file's data, hashing the whole file as it goes, and hand it over in
        chunks: `into(byte offset in the data, chunk)`."""
        fd, size = self.open(record.name)
        try:
            head = os.pread(fd, _NPY_PREFIX, 0)
            offset = npy_header(self.path / record.name, head, dtype, shape, size)
            if size != record.size:
                self.check_digest(record, size, "")
            digest = hashlib.sha256(head[:offset])
            chunk = bytearray(_CHUNK)
            view = memoryview(chunk)
            done = 0
            os.lseek(fd, offset, os.SEEK_SET)
            while True:
                got = os.readv(fd, [view])
                if got == 0:
                    break
                digest.update(view[:got])
                into(done, view[:got])
                done += got
        finally:
            os.close(fd)
        self.check_digest(record, offset + done, digest.hexdigest())


def npy_header(where: Path, head: bytes, dtype: np.dtype[Any], shape: tuple[int, ...],
               size: int) -> int:
    """The offset of the data in a .npy file that starts with `head`, checked to hold a C-ordered
    array of `dtype` and `shape` and nothing after it; `StorageError` naming `where`."""
    f = io.BytesIO(head)
    try:
        version = np.lib.format.read_magic(f)
        reader = {(1, 0): np.lib.format.read_array_header_1_0,
                  (2, 0): np.lib.format.read_array_header_2_0}.get(version)
        if reader is None:
            raise ValueError(f"version {version} of the .npy format")
        got_shape, fortran, got_dtype = reader(f)
    except (ValueError, EOFError, SyntaxError, TypeError) as e:
        raise StorageError(f"{where}: not a .npy file this reader takes ({e})") from None
    if got_dtype != dtype or fortran or got_shape != shape:
        order = "Fortran-ordered " if fortran else ""
        raise StorageError(f"{where}: expected C-ordered {dtype} of shape {shape}, got "
                           f"{order}{got_dtype} of shape {got_shape}")
    offset = f.tell()
    expected = offset + int(np.prod(shape, dtype=np.int64)) * dtype.itemsize
    if size != expected:
        raise StorageError(f"{where}: {size} bytes where a {dtype} array of shape {shape} takes "
                           f"{expected}; the file is truncated or has bytes after its array")
    return offset


class Writer:
    """Writes files into a directory under temporary names, each renamed into place once it is
    whole and on disk; nothing that a manifest names is ever written over."""

    PARTIAL = ".partial"

    def __init__(self, directory: Directory) -> None:
        self.directory = directory

    def write(self, name: str, chunks: Callable[[], Any]) -> FileRecord:
        """Write the bytes-like objects that `chunks()` yields as `name`; its record."""
        d = self.directory.fd
        temporary = name + self.PARTIAL
        fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW | os.O_CLOEXEC,
                     0o644, dir_fd=d)
        digest = hashlib.sha256()
        size = 0
        try:
            for chunk in chunks():
                view = memoryview(chunk).cast("B")
                digest.update(view)
                size += len(view)
                while view:
                    view = view[os.write(fd, view):]
            os.fsync(fd)
        finally:
            os.close(fd)
        os.replace(temporary, name, src_dir_fd=d, dst_dir_fd=d)
        return FileRecord(name, size, digest.hexdigest())

    def write_npy(self, name: str, array: npt.NDArray[Any]) -> FileRecord:
        a = np.ascontiguousarray(array)
        head = io.BytesIO()
        np.lib.format.write_array_header_1_0(head, np.lib.format.header_data_from_array_1_0(a))
        flat = a.reshape(-1).view(np.uint8)

        def chunks() -> Any:
            yield head.getvalue()
            for lo in range(0, flat.size, _CHUNK):
                yield flat[lo:lo + _CHUNK]

        return self.write(name, chunks)

    def write_bytes(self, name: str, data: bytes) -> FileRecord:
        return self.write(name, lambda: iter((data,)))

    def sync(self) -> None:
        """Make the renames so far durable: they are entries of the directory itself."""
        os.fsync(self.directory.fd)
