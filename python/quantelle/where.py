"""The ``where=`` filter on documents' metadata: its language, and the index that answers it.

A filter is a dict. ``{"lang": "en", "year": {"$gte": 2020}}`` keeps the documents whose
metadata has ``lang`` equal to ``"en"`` and ``year`` at least 2020: fields side by side must all
hold. A field's condition is a value (equality) or a dict of operators, which must all hold:
``$eq``, ``$ne``, ``$gt``, ``$gte``, ``$lt``, ``$lte``, ``$in``, ``$nin`` (a list of values).
``{"$and": [f, g]}`` and ``{"$or": [f, g]}`` combine filters. A document without the field
matches only ``$ne`` and ``$nin``. Values are compared as JSON values: numbers with numbers
(``1`` equals ``1.0``), strings with strings, ``true`` is no number.

A field is indexed on its first use: each distinct value lists its rows in ascending order, and
later documents are appended to the lists, so the index stays current as the corpus grows; a
search cuts each list at its own row count, so rows added after it began are never seen.
"""

from __future__ import annotations

import bisect
import json
import math
import threading
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

__all__ = ["Condition", "FieldIndex", "Group", "Indexes", "Node", "describe", "parse", "value_kind"]

_COMPARE = {"$eq": "==", "$ne": "!=", "$gt": ">", "$gte": ">=", "$lt": "<", "$lte": "<=",
            "$in": "in", "$nin": "not in"}
_GROUPS = ("$and", "$or")
_ORDERED = ("$gt", "$gte", "$lt", "$lte")
_REBUILD_SHARE = 8  # an ordered view is rebuilt once rows added since pass 1/8 of it


@dataclass(frozen=True, slots=True)
class Condition:
    field: str
    op: str
    value: Any


@dataclass(frozen=True, slots=True)
class Group:
    op: str  # "$and" or "$or"
    parts: tuple[Node, ...]


Node = Condition | Group


def value_kind(v: object) -> str:
    """The JSON kind of a metadata value: null, bool, number, str, list or object."""
    if v is None:
        return "null"
    if isinstance(v, bool):
        return "bool"
    if isinstance(v, (int, float)):
        return "number"
    if isinstance(v, str):
        return "str"
    if isinstance(v, (list, tuple)):
        return "list"
    if isinstance(v, dict):
        return "object"
    return ""


def _key(v: Any) -> tuple[str, Any]:
    """A hashable key equal for equal JSON values (``1`` and ``1.0``, not ``True``)."""
    kind = value_kind(v)
    if kind in ("list", "object"):
        return kind, json.dumps(v, sort_keys=True)
    return kind, v


def _operand(field: str, op: str, v: object) -> object:
    kind = value_kind(v)
    if not kind or (kind == "number" and not math.isfinite(v)):  # type: ignore[arg-type]
        raise ValueError(f"where: field {field!r}: {v!r} is not a JSON value")
    if op in _ORDERED and kind not in ("number", "str"):
        raise ValueError(f"where: {op} on field {field!r} takes a number or a str, got {v!r}")
    return v


def parse(where: object) -> Node:
    """The filter `where` read into a tree; `ValueError` naming what is wrong."""
    if not isinstance(where, Mapping):
        raise TypeError(f"where must be a dict, not {type(where).__name__}")
    parts: list[Node] = []
    for name, value in where.items():
        if not isinstance(name, str):
            raise TypeError(f"where: a field name must be a str, got {name!r}")
        if name in _GROUPS:
            if isinstance(value, (str, Mapping)) or not isinstance(value, Sequence) or not value:
                raise ValueError(f"where: {name} takes a non-empty list of filters, got {value!r}")
            parts.append(Group(name, tuple(parse(v) for v in value)))
        elif name.startswith("$"):
            raise ValueError(f"where: unknown operator {name!r}; the operators are "
                             f"{', '.join([*_COMPARE, *_GROUPS])}")
        elif isinstance(value, Mapping) and any(str(k).startswith("$") for k in value):
            if not all(isinstance(k, str) and k.startswith("$") for k in value):
                raise ValueError(f"where: field {name!r} mixes operators and fields: {value!r}")
            for op, v in value.items():
                parts.append(_condition(name, op, v))
        else:
            parts.append(Condition(name, "$eq", _operand(name, "$eq", value)))
    return parts[0] if len(parts) == 1 else Group("$and", tuple(parts))


def _condition(field: str, op: str, v: object) -> Condition:
    if op not in _COMPARE:
        raise ValueError(f"where: unknown operator {op!r} on field {field!r}; the operators are "
                         f"{', '.join(_COMPARE)}")
    if op in ("$in", "$nin"):
        if isinstance(v, (str, Mapping)) or not isinstance(v, Sequence):
            raise ValueError(f"where: {op} on field {field!r} takes a list of values, got {v!r}")
        return Condition(field, op, tuple(_operand(field, op, x) for x in v))
    return Condition(field, op, _operand(field, op, v))


def describe(node: Node) -> str:
    """The filter in a line, for `applied`."""
    if isinstance(node, Condition):
        value = list(node.value) if isinstance(node.value, tuple) else node.value
        return f"{node.field} {_COMPARE[node.op]} {value!r}"
    if not node.parts:
        return "everything"
    inner = f" {node.op[1:]} ".join(describe(p) if isinstance(p, Condition) else f"({describe(p)})"
                                    for p in node.parts)
    return inner


class _Rows:
    """Ascending row numbers, appended in place; a reader cuts them at its own row count."""

    __slots__ = ("_data",)

    def __init__(self) -> None:
        self._data: tuple[npt.NDArray[np.int64], int] = (np.empty(4, np.int64), 0)

    def add(self, row: int) -> None:
        array, n = self._data
        if n == array.size:
            grown = np.empty(2 * n, np.int64)
            grown[:n] = array
            array = grown
        array[n] = row
        self._data = (array, n + 1)  # one assignment: readers see the old pair or the new

    def below(self, n: int) -> npt.NDArray[np.int64]:
        array, count = self._data
        rows = array[:count]
        return rows[:int(np.searchsorted(rows, n))]


class FieldIndex:
    """One metadata field: the rows of each distinct value and of each kind of value."""

    def __init__(self) -> None:
        self.by_key: dict[tuple[str, Any], _Rows] = {}
        self.by_kind: dict[str, _Rows] = {}
        self._ordered: dict[str, tuple[int, list[Any], list[int], npt.NDArray[np.int64]]] = {}
        self.count = 0  # rows seen so far

    def add(self, row: int, metadata: Mapping[str, Any] | None, field: str) -> None:
        self.count = row + 1
        if metadata is None or field not in metadata:
            return
        v = metadata[field]
        key = _key(v)
        self.by_key.setdefault(key, _Rows()).add(row)
        self.by_kind.setdefault(key[0], _Rows()).add(row)

    def ordered(self, kind: str, lock: threading.Lock) -> tuple[int, list[Any], list[int],
                                                                 npt.NDArray[np.int64]]:
        """The field's values of `kind` sorted, with the rows of each (flat, by offsets), as of
        some row count; rebuilt when many rows were added since."""
        cached = self._ordered.get(kind)
        if cached is not None and (self.count - cached[0]) * _REBUILD_SHARE <= max(cached[0], 8192):
            return cached
        with lock:
            built = self.count
            keys = sorted(k[1] for k in self.by_key if k[0] == kind)
            chunks = [self.by_key[(kind, k)].below(built) for k in keys]
            offsets = [0]
            for c in chunks:
                offsets.append(offsets[-1] + c.size)
            flat = np.concatenate(chunks) if chunks else np.empty(0, np.int64)
            cached = (built, keys, offsets, flat)
            self._ordered[kind] = cached
        return cached


class Indexes:
    """The indexes of one corpus's storage, field by field, built on first use under `lock`
    (the corpus's writer lock, so no document is added while a field is being indexed)."""

    def __init__(self, lock: threading.Lock) -> None:
        self.lock = lock
        self.fields: dict[str, FieldIndex] = {}

    def add(self, first: int, metadata: Sequence[Mapping[str, Any] | None]) -> None:
        """Index documents from row `first` on (called with the lock held)."""
        for field, index in self.fields.items():
            for j, m in enumerate(metadata):
                index.add(first + j, m, field)

    def field(self, name: str, metadata: Sequence[Mapping[str, Any] | None] | None) -> FieldIndex:
        index = self.fields.get(name)
        if index is not None:
            return index
        with self.lock:
            index = self.fields.get(name)
            return self.build(name, metadata) if index is None else index

    def build(self, name: str, metadata: Sequence[Mapping[str, Any] | None] | None) -> FieldIndex:
        """Index field `name` of every document so far (lock held)."""
        index = FieldIndex()
        for row, m in enumerate(metadata or ()):
            index.add(row, m, name)
        self.fields[name] = index
        return index


class Evaluation:
    """One filter evaluated over a snapshot: `n` rows, `live` (None when every row is)."""

    def __init__(self, indexes: Indexes, metadata: Sequence[Mapping[str, Any] | None] | None,
                 n: int, live: npt.NDArray[np.bool_] | None) -> None:
        self.indexes, self.metadata, self.n, self.live = indexes, metadata, n, live

    def mask(self, node: Node) -> npt.NDArray[np.bool_]:
        if isinstance(node, Group):
            if not node.parts:
                return np.ones(self.n, np.bool_)
            masks = [self.mask(p) for p in node.parts]
            out = masks[0]
            for m in masks[1:]:
                out = out & m if node.op == "$and" else out | m
            return out
        if node.op in ("$ne", "$nin"):
            return ~self.mask(Condition(node.field, "$eq" if node.op == "$ne" else "$in", node.value))
        index = self.indexes.field(node.field, self.metadata)
        values = node.value if node.op == "$in" else (node.value,)
        for v in values:
            self._check_kind(index, node.field, value_kind(v), v)
        out = np.zeros(self.n, np.bool_)
        if node.op in ("$eq", "$in"):
            for v in values:
                rows = index.by_key.get(_key(v))
                if rows is not None:
                    out[rows.below(self.n)] = True
            return out
        self._ordered_mask(index, node, out)
        return out

    def _live_rows(self, rows: _Rows | None) -> bool:
        if rows is None:
            return False
        r = rows.below(self.n)
        return bool(r.size) and (self.live is None or bool(self.live[r].any()))

    def _check_kind(self, index: FieldIndex, field: str, kind: str, value: object) -> None:
        if self._live_rows(index.by_kind.get(kind)):
            return
        held = sorted(k for k, rows in list(index.by_kind.items()) if self._live_rows(rows))
        if held:
            raise ValueError(f"where: field {field!r} holds {' and '.join(held)} values, compared "
                             f"with the {kind} {value!r}")

    def _ordered_mask(self, index: FieldIndex, node: Condition, out: npt.NDArray[np.bool_]) -> None:
        kind = value_kind(node.value)
        built, keys, offsets, flat = index.ordered(kind, self.indexes.lock)
        v = node.value
        lo, hi = {"$gt": (bisect.bisect_right(keys, v), len(keys)),
                  "$gte": (bisect.bisect_left(keys, v), len(keys)),
                  "$lt": (0, bisect.bisect_left(keys, v)),
                  "$lte": (0, bisect.bisect_right(keys, v))}[node.op]
        rows = flat[offsets[lo]:offsets[hi]]
        out[rows[rows < self.n]] = True
        if built < self.n and self.metadata is not None:  # rows added since the view was built
            test = _TESTS[node.op]
            for row in range(built, self.n):
                m = self.metadata[row]
                if m is not None and node.field in m:
                    x = m[node.field]
                    if value_kind(x) == kind and test(x, v):
                        out[row] = True


_TESTS: dict[str, Callable[[Any, Any], bool]] = {"$gt": lambda x, v: x > v, "$gte": lambda x, v: x >= v,
          "$lt": lambda x, v: x < v, "$lte": lambda x, v: x <= v}
