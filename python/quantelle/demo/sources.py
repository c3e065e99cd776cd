"""Where the demo's documents come from: text already on the machine, or the user's JSON Lines.

- The standard library of the running interpreter: the docstring of every module, class and
  function in its source files (its own test suite included where it is installed), read with
  `ast`, never imported. Undated.
- Debian package changelogs (``/usr/share/doc/*/changelog.Debian.gz``) where present: one
  document per entry, dated by the entry's trailer line, so that ``recent:`` has real ages to
  work on.
- A JSON Lines file: one object per line with ``id``, ``text`` and optionally ``timestamp``
  (epoch seconds, or an ISO 8601 date; a date without a zone is taken as UTC).
"""

from __future__ import annotations

import ast
import email.utils
import gzip
import json
import math
import os
import re
import sysconfig
import warnings
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass
from datetime import UTC, datetime
from pathlib import Path

from ..corpus import MAX_TIMESTAMP, timestamp_problem
from ..embedding import Progress

__all__ = [
    "Document",
    "SourceError",
    "changelog_documents",
    "changelog_files",
    "jsonl_documents",
    "stdlib_documents",
    "stdlib_files",
]

_TEXT_CHARS = 1000  # embedded per document: enough for the gist, bounded for long module docs
_EXCERPT_CHARS = 200
_DEBIAN_DOCS = Path("/usr/share/doc")


class SourceError(ValueError):
    """A corpus that cannot be read, with the place and the reason."""


@dataclass(frozen=True, slots=True)
class Document:
    id: str
    text: str  # what is embedded
    excerpt: str  # one line, shown in the results
    timestamp: float | None = None  # epoch seconds


def excerpt_of(text: str) -> str:
    """The first non-blank line, whitespace collapsed, cut to a readable length."""
    for line in text.splitlines():
        line = " ".join(line.split())
        if line:
            return line[:_EXCERPT_CHARS]
    return ""


# The standard library


def stdlib_root() -> Path:
    return Path(sysconfig.get_path("stdlib"))


def stdlib_files(root: Path | None = None) -> list[Path]:
    """Every ``.py`` file of the standard library, in a stable order; third-party code excluded."""
    base = root if root is not None else stdlib_root()
    found: list[Path] = []
    for dirpath, dirnames, filenames in os.walk(base):
        # site-packages, lib-dynload, config-3.13-...: not importable names, not the stdlib's.
        dirnames[:] = sorted(d for d in dirnames if d.isidentifier() and d != "site-packages")
        found.extend(Path(dirpath, f) for f in sorted(filenames) if f.endswith(".py"))
    return found


def module_name(path: Path, root: Path) -> str:
    parts = list(path.relative_to(root).with_suffix("").parts)
    if parts[-1] == "__init__" and len(parts) > 1:
        parts.pop()
    return ".".join(parts)


_Scope = ast.Module | ast.ClassDef | ast.FunctionDef | ast.AsyncFunctionDef


def _docstrings(node: _Scope, name: str, kind: str, found: list[tuple[str, str, str]]) -> None:
    doc = ast.get_docstring(node, clean=True)
    if doc and doc.strip():
        found.append((name, kind, doc))
    # Statements only, never expressions: a definition is always a statement, and walking every
    # expression node would triple the time. Conditional definitions (if/try/with) are found too.
    pending: list[ast.stmt] = list(reversed(node.body))
    while pending:
        stmt = pending.pop()
        if isinstance(stmt, ast.ClassDef):
            _docstrings(stmt, f"{name}.{stmt.name}", "class", found)
        elif isinstance(stmt, ast.FunctionDef | ast.AsyncFunctionDef):
            _docstrings(stmt, f"{name}.{stmt.name}", "function", found)
        else:
            blocks: list[list[ast.stmt]] = [
                getattr(stmt, field) for field in ("body", "orelse", "finalbody")
                if isinstance(getattr(stmt, field, None), list)
            ]
            blocks += [h.body for h in getattr(stmt, "handlers", ())]
            blocks += [c.body for c in getattr(stmt, "cases", ())]
            for block in reversed(blocks):
                pending.extend(reversed(block))


def _docstrings_of(paths: Sequence[Path], root: Path) -> list[tuple[str, str, str]]:
    found: list[tuple[str, str, str]] = []
    for path in paths:
        try:
            source = path.read_bytes()
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")  # old escapes in old files: SyntaxWarning
                tree = ast.parse(source, str(path))
        except (OSError, SyntaxError, ValueError, UnicodeDecodeError, RecursionError):
            continue  # test data files that are deliberately not Python
        _docstrings(tree, module_name(path, root), "module", found)
    return found


def stdlib_documents(root: Path | None = None, progress: Progress | None = None) -> list[Document]:
    """One document per docstring; ids are qualified names (``json.decoder.JSONDecoder.decode``)."""
    base = root if root is not None else stdlib_root()
    files = stdlib_files(base)
    found: list[tuple[str, str, str]] = []
    for start in range(0, len(files), 25):
        found += _docstrings_of(files[start : start + 25], base)
        if progress is not None:
            progress(min(start + 25, len(files)), len(files))
    if progress is not None and not files:
        progress(0, 0)
    return _unique(
        Document(name, f"{name} ({kind}): {doc}"[:_TEXT_CHARS], excerpt_of(doc))
        for name, kind, doc in found
    )


# Debian changelogs

_ENTRY_HEAD = re.compile(r"^(?P<source>[a-z0-9][a-z0-9+.-]*) \((?P<version>[^)\s]+)\)")
_ENTRY_TRAILER = re.compile(r"^ -- .*?>\s+(?P<date>\S.*)$")
_CONTRIBUTOR_LINE = re.compile(r"^\[.*\]$")  # "[ Someone ]": who, not what


def changelog_files(doc_dir: Path = _DEBIAN_DOCS) -> list[Path]:
    if not doc_dir.is_dir():
        return []
    return sorted(doc_dir.glob("*/changelog.Debian.gz"))


def _changelog_entries(path: Path) -> Iterator[tuple[str, str, list[str], float]]:
    with gzip.open(path, "rt", encoding="utf-8", errors="replace") as lines:
        head: tuple[str, str] | None = None
        body: list[str] = []
        for line in lines:
            line = line.rstrip("\n")
            match = _ENTRY_HEAD.match(line)
            if match:
                head, body = (match["source"], match["version"]), []
                continue
            match = _ENTRY_TRAILER.match(line)
            if match and head is not None:
                try:
                    when = email.utils.parsedate_to_datetime(match["date"].strip())
                except (TypeError, ValueError, IndexError):
                    head = None
                    continue
                if when.tzinfo is None:
                    when = when.replace(tzinfo=UTC)
                yield head[0], head[1], body, when.timestamp()
                head = None
                continue
            if head is not None:
                text = line.strip()
                if text and not _CONTRIBUTOR_LINE.match(text):
                    body.append(text)


def changelog_documents(
    doc_dir: Path = _DEBIAN_DOCS, progress: Progress | None = None
) -> list[Document]:
    """One dated document per changelog entry; ids are ``debian:<source>/<version>``.

    Binary packages of one source share a changelog: each entry is kept once.
    """
    files = changelog_files(doc_dir)
    seen: set[tuple[str, str]] = set()
    docs: list[Document] = []
    for done, path in enumerate(files, 1):
        try:
            for source, version, body, ts in _changelog_entries(path):
                if (source, version) in seen or not body:
                    continue
                seen.add((source, version))
                lines = [b.lstrip("*- ").strip() for b in body]
                text = f"{source} {version}: " + " ".join(lines)
                docs.append(Document(f"debian:{source}/{version}", text[:_TEXT_CHARS],
                                     excerpt_of("\n".join(lines)), ts))
        except (OSError, EOFError, gzip.BadGzipFile):
            pass  # a damaged changelog costs its entries, not the demo
        if progress is not None and (done % 20 == 0 or done == len(files)):
            progress(done, len(files))
    if progress is not None and not files:
        progress(0, 0)
    return docs


# JSON Lines


def _timestamp(value: object, where: str) -> float | None:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, int | float | str):
        raise SourceError(f"{where}: 'timestamp' must be a number or an ISO 8601 date")
    if isinstance(value, str):
        try:
            when = datetime.fromisoformat(value)
        except ValueError:
            raise SourceError(f"{where}: 'timestamp' {value!r} is not an ISO 8601 date") from None
        if when.tzinfo is None:
            when = when.replace(tzinfo=UTC)
        return _in_range(when.timestamp(), where)
    return _in_range(float(value), where)


def _in_range(ts: float, where: str) -> float:
    # Rejected with a hint rather than converted: a guessed unit would misdate documents silently.
    if not math.isfinite(ts) or ts > MAX_TIMESTAMP:
        raise SourceError(f"{where}: 'timestamp' {timestamp_problem(ts)}")
    return ts


def jsonl_documents(path: Path) -> list[Document]:
    """Documents from a JSON Lines file; blank lines are skipped, anything else malformed is a
    `SourceError` naming the line."""
    docs: list[Document] = []
    first_line: dict[str, int] = {}
    try:
        handle = path.open("rb")
    except OSError as e:
        raise SourceError(f"{path}: {e.strerror or e}") from None
    with handle:
        for number, raw in enumerate(handle, 1):
            where = f"{path}:{number}"
            try:
                line = raw.decode("utf-8")
            except UnicodeDecodeError as e:
                raise SourceError(f"{where}: byte {e.start + 1} is not UTF-8; save the file as "
                                  "UTF-8 (for example with iconv -f latin1 -t utf-8)") from None
            if not line.strip():
                continue
            try:
                record = json.loads(line)
            except json.JSONDecodeError as e:
                raise SourceError(f"{where}: not JSON ({e.msg}); each line must be one JSON object") from None
            if not isinstance(record, dict):
                raise SourceError(f"{where}: expected an object with 'id' and 'text', "
                                  f"got a JSON {type(record).__name__}")
            doc_id, text = record.get("id"), record.get("text")
            if isinstance(doc_id, int) and not isinstance(doc_id, bool):
                doc_id = str(doc_id)
            if not isinstance(doc_id, str) or not doc_id:
                what = "missing" if doc_id is None else f"{doc_id!r}"
                raise SourceError(f"{where}: 'id' must be a non-empty string, got {what}")
            if not isinstance(text, str):
                raise SourceError(f"{where}: 'text' must be a string, got "
                                  f"{'nothing' if text is None else type(text).__name__}")
            if doc_id in first_line:
                raise SourceError(f"{where}: id {doc_id!r} occurs more than once (first on line "
                                  f"{first_line[doc_id]}); ids must be distinct")
            first_line[doc_id] = number
            docs.append(Document(doc_id, text, excerpt_of(text),
                                 _timestamp(record.get("timestamp"), where)))
    if not docs:
        raise SourceError(f"{path}: no documents")
    return docs


def _unique(docs: Iterable[Document]) -> list[Document]:
    # A name defined twice (under if/else, or a property's getter and setter) keeps both texts.
    out: list[Document] = []
    count: dict[str, int] = {}
    for doc in docs:
        n = count.get(doc.id, 0) + 1
        count[doc.id] = n
        out.append(doc if n == 1 else Document(f"{doc.id}#{n}", doc.text, doc.excerpt, doc.timestamp))
    return out
