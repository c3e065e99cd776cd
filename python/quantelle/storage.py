"""The on-disk format of a corpus: a directory of shard files and the manifest that lists them.

Per shard, ``shard-NNNNN.npy`` holds the rows (float32, unit length, C order), ``.ids.json`` the
ids (a JSON list of str) and, where the corpus has them, ``.timestamps.npy`` (float64 epoch
seconds, NaN undated), ``.texts.json`` and ``.metadata.json`` (JSON lists, null where a document
has none). A corpus saved with its float16 copy (`quantelle.half`) has in every shard also
``.half.npy`` (the rows in float16) and ``.errors.npy`` (each row's float32 error bound), which
the manifest's optional ``"half": true`` announces. `MANIFEST` lists every file with its size
and SHA-256, the shards' row ranges and the count of distinct ids, and is written last: until
it is renamed into place, the previous manifest, and every file it names, stay as they were.
No file that a manifest names is ever written over; a save writes new names and removes the
old files only after the new manifest.

`Corpus.save`/`Corpus.open` and `write_shards`/`ShardedCorpus.from_directory` read and write
this one format; `read_manifest` and `read_shard` are the reader that both share.
"""

from __future__ import annotations

import hashlib
import json
import os
import re
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any, TypeGuard

import numpy as np
import numpy.typing as npt

from .safe_files import Directory, FileRecord, StorageError, Writer, check_name

__all__ = ["FORMAT", "KINDS", "MANIFEST", "VERSION", "Manifest", "Piece", "ShardEntry",
           "StorageError", "check_rows", "is_leftover", "parse_manifest", "read_json_list", "read_manifest_in",
           "write_directory"]

MANIFEST = "manifest.json"
FORMAT = "quantelle-shards"
VERSION = 2
KINDS = ("matrix", "ids", "timestamps", "texts", "metadata", "half", "errors")
_SUFFIX = {"matrix": ".npy", "ids": ".ids.json", "timestamps": ".timestamps.npy",
           "texts": ".texts.json", "metadata": ".metadata.json", "half": ".half.npy",
           "errors": ".errors.npy"}
_ARRAYS = ("matrix", "timestamps", "half", "errors")  # kinds written as .npy
_OURS = re.compile(r"^shard-(\d{5,})(\.npy|\.ids\.json|\.timestamps\.npy|\.texts\.json|"
                   r"\.metadata\.json|\.half\.npy|\.errors\.npy)(\.partial)?$")
_MAX_MANIFEST = 1 << 26
_UNIT_TOLERANCE = 1e-5  # |norm² - 1| of a row that Corpus scaled to unit length, in float32


@dataclass(frozen=True, slots=True)
class ShardEntry:
    """One shard of a manifest: global rows [start, start + rows) and its files by kind."""

    start: int
    rows: int
    files: dict[str, FileRecord]


@dataclass(frozen=True, slots=True)
class Manifest:
    """A checked manifest; `digest` is the SHA-256 of the manifest file itself."""

    rows: int
    dim: int
    dated: bool
    texts: bool
    metadata: bool
    shards: tuple[ShardEntry, ...]
    digest: str = ""
    half: bool = False

    def kinds(self) -> tuple[str, ...]:
        """The file kinds every shard has."""
        return _kinds(self.dated, self.texts, self.metadata, self.half)

    def to_json(self) -> bytes:
        shards = [{"start": e.start, "rows": e.rows,
                   "files": {k: {"name": r.name, "size": r.size, "sha256": r.sha256}
                             for k, r in e.files.items()}} for e in self.shards]
        top = {"format": FORMAT, "version": VERSION, "rows": self.rows, "dim": self.dim,
               "dated": self.dated, "texts": self.texts, "metadata": self.metadata}
        if self.half:  # only then: a corpus without the copy stays readable by older readers
            top["half"] = True
        return json.dumps(top | {"distinct_ids": self.rows, "shards": shards}, indent=1).encode()


def _kinds(dated: bool, texts: bool, metadata: bool, half: bool) -> tuple[str, ...]:
    flags = (True, True, dated, texts, metadata, half, half)
    return tuple(k for k, on in zip(KINDS, flags, strict=True) if on)


# -- reading -------------------------------------------------------------------------------------

def _refuse_constant(name: str) -> None:
    raise ValueError(f"{name} is not JSON")


def _is_int(v: object) -> TypeGuard[int]:
    return isinstance(v, int) and not isinstance(v, bool)


class _Fields:
    """Reads one JSON object's fields, each error naming the field by its path and the value."""

    def __init__(self, where: Path, obj: object, path: str, keys: Iterable[str],
                 optional: Iterable[str] = ()) -> None:
        self.where, self.path = where, path
        wanted = set(keys) | set(optional)
        if not isinstance(obj, dict):
            raise self.error("must be an object", obj)
        unknown = sorted(set(obj) - wanted)
        if unknown:
            raise StorageError(f"{where}: {path or 'the manifest'} has unknown fields {unknown}")
        missing = [k for k in keys if k not in obj]
        if missing:
            raise StorageError(f"{where}: {path or 'the manifest'} lacks the field {missing[0]!r}")
        self.obj: dict[str, Any] = obj

    def error(self, rule: str, value: object, key: str = "") -> StorageError:
        name = f"{self.path}.{key}" if self.path and key else self.path or key
        return StorageError(f"{self.where}: {name} {rule}, got {value!r}")

    def int(self, key: str, least: int) -> int:
        v = self.obj[key]
        if not _is_int(v) or v < least:
            raise self.error(f"must be an int of at least {least}", v, key)
        return int(v)

    def bool(self, key: str) -> bool:
        v = self.obj[key]
        if not isinstance(v, bool):
            raise self.error("must be true or false", v, key)
        return v

    def record(self, key: str) -> FileRecord:
        f = _Fields(self.where, self.obj[key], f"{self.path}.{key}", ("name", "size", "sha256"))
        name = check_name(f.obj["name"], f"{self.where}: {f.path}.name")
        if name == MANIFEST:
            raise f.error("must not name the manifest", name, "name")
        digest = f.obj["sha256"]
        if not isinstance(digest, str) or not re.fullmatch(r"[0-9a-f]{64}", digest):
            raise f.error("must be 64 lowercase hex digits", digest, "sha256")
        return FileRecord(name, f.int("size", 0), digest)


def parse_manifest(where: Path, raw: bytes, digest: str = "") -> Manifest:
    """The manifest in `raw`, checked field by field; `StorageError` naming `where`."""
    try:
        data = json.loads(raw, parse_constant=_refuse_constant)
    except (ValueError, UnicodeDecodeError) as e:
        raise StorageError(f"{where}: not JSON ({e})") from None
    if not isinstance(data, dict) or data.get("format") != FORMAT:
        raise StorageError(f"{where}: not a quantelle corpus manifest (no \"format\": \"{FORMAT}\")")
    version = data.get("version")
    if not _is_int(version) or version < 1:
        raise StorageError(f"{where}: version must be an int of at least 1, got {version!r}")
    if version > VERSION:
        raise StorageError(f"{where}: written in format version {version} by a newer quantelle; "
                           f"this one reads version {VERSION}: upgrade quantelle to open it")
    if version < VERSION:
        raise StorageError(f"{where}: format version {version} records no sizes or checksums; "
                           f"this quantelle reads version {VERSION}: write the corpus again")
    top = _Fields(where, data, "", ("format", "version", "rows", "dim", "dated", "texts",
                                    "metadata", "distinct_ids", "shards"), ("half",))
    rows, dim = top.int("rows", 0), top.int("dim", 1)
    dated, texts, metadata = top.bool("dated"), top.bool("texts"), top.bool("metadata")
    half = "half" in data and top.bool("half")
    distinct = top.int("distinct_ids", 0)
    if distinct != rows:
        raise StorageError(f"{where}: distinct_ids is {distinct} for {rows} rows: every id of a "
                           "corpus is distinct")
    listed = data["shards"]
    if not isinstance(listed, list) or not listed:
        raise top.error("must be a non-empty list", listed, "shards")
    kinds = _kinds(dated, texts, metadata, half)
    entries, names, start = [], set(), 0
    for s, item in enumerate(listed):
        f = _Fields(where, item, f"shards[{s}]", ("start", "rows", "files"))
        at, count = f.int("start", 0), f.int("rows", 0)
        if at != start:
            raise f.error(f"must be {start}, where the shard before it ends", at, "start")
        files = _Fields(where, f.obj["files"], f"shards[{s}].files", kinds)
        records = {k: files.record(k) for k in kinds}
        for r in records.values():
            if r.name in names:
                raise StorageError(f"{where}: {r.name!r} is named twice; every file belongs to "
                                   "one shard")
            names.add(r.name)
        entries.append(ShardEntry(at, count, records))
        start += count
    if start != rows:
        raise StorageError(f"{where}: the shards hold {start} rows, rows says {rows}")
    return Manifest(rows, dim, dated, texts, metadata, tuple(entries), digest, half)


def read_manifest_in(d: Directory) -> Manifest:
    """The manifest of directory `d`, checked; `StorageError` when it is missing or wrong."""
    if not d.exists(MANIFEST):
        raise StorageError(f"{d.path}: no {MANIFEST}; not a saved corpus, or a save that did not "
                           "finish")
    fd, size = d.open(MANIFEST)
    try:
        if size > _MAX_MANIFEST:
            raise StorageError(f"{d.path / MANIFEST}: {size} bytes, too large for a manifest")
        raw = os.pread(fd, size + 1, 0)
    finally:
        os.close(fd)
    return parse_manifest(d.path / MANIFEST, raw, hashlib.sha256(raw).hexdigest())


def read_json_list(d: Directory, record: FileRecord, rows: int, what: str,
                   types: tuple[type, ...], distinct: bool = False) -> list[Any]:
    """The JSON list of `rows` items of `types` (all different where `distinct`) in `record`'s
    file, then its size and digest compared; `StorageError` naming the file."""
    raw = d.read_bytes(record)
    where = d.path / record.name
    try:
        items = json.loads(raw, parse_constant=_refuse_constant)
    except (ValueError, UnicodeDecodeError) as e:
        raise StorageError(f"{where}: not JSON ({e})") from None
    if not isinstance(items, list) or len(items) != rows or not set(map(type, items)) <= set(types):
        raise StorageError(f"{where}: expected a JSON list of {rows} {what}")
    if distinct and len(set(items)) != rows:
        raise StorageError(f"{where}: ids must be distinct")
    d.check_bytes(record, raw)
    return items


def check_rows(where: Path, rows: npt.NDArray[np.float32], first: int = 0) -> None:
    """`StorageError` unless every row is finite and of unit length (or all zero), as `Corpus`
    stores them; read in blocks, so a mapped file is paged in once."""
    step = max(1, (1 << 24) // max(1, rows.shape[1] * 4))
    for lo in range(0, rows.shape[0], step):
        block = rows[lo:lo + step]
        norms = np.einsum("ij,ij->i", block, block, dtype=np.float64)
        bad = np.flatnonzero(~np.isfinite(norms) | ((norms != 0.0)
                                                   & (np.abs(norms - 1.0) > _UNIT_TOLERANCE)))
        if bad.size:
            i = int(bad[0])
            what = ("holds NaN or infinite values" if not np.isfinite(norms[i]) else
                    f"has length {np.sqrt(norms[i]):.6g}; rows are stored at unit length")
            raise StorageError(f"{where}: row {first + lo + i} {what}")


# -- writing -------------------------------------------------------------------------------------

@dataclass(frozen=True, slots=True)
class Piece:
    """One shard to be in the new manifest: its row count, a way to get each kind's content
    (`content(kind)`: an array for .npy kinds, a JSON-able list for the others), and the
    records of files already in the directory that hold it unchanged, by kind."""

    rows: int
    content: Callable[[str], Any]
    kept: dict[str, FileRecord]


def _serials(names: Iterable[str]) -> int:
    """One past the highest shard serial among `names`."""
    found = [int(m[1]) for m in map(_OURS.match, names) if m]
    return max(found, default=-1) + 1


def write_directory(d: Directory, pieces: Sequence[Piece], dim: int, dated: bool, texts: bool,
                    metadata: bool, previous: Manifest | None, half: bool = False) -> Manifest:
    """Write the files that `pieces` do not keep, then the manifest, then remove what the
    previous manifest named and the new one does not (and leftovers of saves that never
    finished). A crash at any point leaves a directory that opens as before, or as after."""
    writer = Writer(d)
    kinds = _kinds(dated, texts, metadata, half)
    before = d.names()
    old = set() if previous is None else {r.name for e in previous.shards for r in e.files.values()}
    serial = max(_serials(before), _serials(old))
    entries, start = [], 0
    for piece in pieces:
        records: dict[str, FileRecord] = {}
        fresh = f"shard-{serial:05d}"
        for kind in kinds:
            kept = piece.kept.get(kind)
            if kept is not None and _still_there(d, kept):
                records[kind] = kept
                continue
            data = piece.content(kind)
            name = fresh + _SUFFIX[kind]
            if kind in _ARRAYS:
                records[kind] = writer.write_npy(name, data)
            else:
                records[kind] = writer.write_bytes(name, json.dumps(data, allow_nan=False).encode())
        if any(r.name.startswith(fresh + ".") for r in records.values()):
            serial += 1
        entries.append(ShardEntry(start, piece.rows, records))
        start += piece.rows
    manifest = Manifest(start, dim, dated, texts, metadata, tuple(entries), "", half)
    record = writer.write_bytes(MANIFEST, manifest.to_json())
    writer.sync()
    keep = {r.name for e in entries for r in e.files.values()} | {MANIFEST}
    for name in set(d.names()) - keep:
        if name in old or _OURS.match(name) or name == MANIFEST + Writer.PARTIAL:
            os.unlink(name, dir_fd=d.fd)
    return Manifest(start, dim, dated, texts, metadata, tuple(entries), record.sha256, half)


def _still_there(d: Directory, record: FileRecord) -> bool:
    """Whether the directory still holds a regular file of `record`'s name and size (its
    content was verified when it was read or written)."""
    try:
        fd, size = d.open(record.name)
    except (StorageError, OSError):
        return False
    os.close(fd)
    return size == record.size


def is_leftover(name: str) -> bool:
    """Whether `name` is a file a save writes (left by one that did not finish)."""
    return bool(_OURS.match(name)) or name == MANIFEST + Writer.PARTIAL
