"""The checks that documents pass on their way into a corpus, whether at construction or by
`add`: the same checks, and so the same errors, for both."""

from __future__ import annotations

import json
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from .plan import real_array

__all__ = ["id_list", "metadata_list", "str_list", "text_list", "unit_rows", "vector_rows"]


def vector_rows(vectors: npt.ArrayLike, what: str, dim: int | None = None) -> npt.NDArray[np.float32]:
    """`vectors` as a new C-contiguous float32 (rows, dim) array of finite numbers, not yet
    scaled; `ValueError` naming `what`."""
    m = real_array(vectors, what)
    if m.ndim != 2 or m.shape[1] == 0:
        raise ValueError(f"{what} must be 2-D with at least one column, got shape {m.shape}")
    if dim is not None and m.shape[1] != dim:
        raise ValueError(f"{what} have {m.shape[1]} columns; the corpus has {dim} dimensions")
    rows = np.array(m, dtype=np.float32, order="C", copy=True)
    if not np.isfinite(rows).all():
        raise ValueError(f"{what} {'holds' if what == 'matrix' else 'hold'} NaN or infinite values")
    return rows


def unit_rows(rows: npt.NDArray[np.float32]) -> npt.NDArray[np.float32]:
    """`rows` scaled in place to unit length (an all-zero row stays zero). Each row's bits depend
    on that row alone, so rows added one at a time equal rows given all at once."""
    # Norms in float64: squared float32 entries overflow from about 1e19 and vanish below
    # about 1e-23, which would zero or skip rows that are finite and non-zero.
    norms = np.sqrt(np.einsum("ij,ij->i", rows, rows, dtype=np.float64))[:, None]
    np.divide(rows, norms, out=rows, where=norms > 0.0)
    return rows


def str_list(ids: Sequence[str]) -> list[str]:
    """`ids` as a list, each a str (`TypeError` otherwise)."""
    if isinstance(ids, str):
        raise TypeError("ids must be a sequence of str, not a str")
    out = list(ids)
    for i in out:
        if not isinstance(i, str):
            raise TypeError(f"ids must be str, got {type(i).__name__} {i!r}")
    return out


def id_list(ids: Sequence[str], rows: int, what: str) -> list[str]:
    """`ids` as a list of distinct str, one per row of `what`."""
    out = str_list(ids)
    if len(out) != rows:
        raise ValueError(f"{len(out)} ids for {rows} {what} rows")
    if len(out) > 1 and len(set(out)) != len(out):
        seen: set[str] = set()
        for i in out:
            if i in seen:
                raise ValueError(f"ids must be distinct, {i!r} occurs more than once")
            seen.add(i)
    return out


def _sequence(value: object, rows: int, name: str, items: str) -> list[Any]:
    if isinstance(value, (str, bytes, Mapping)) or not isinstance(value, Sequence):
        raise TypeError(f"{name} must be a sequence of {items} (or None), one per row, not "
                        f"{type(value).__name__}")
    out = list(value)
    if len(out) != rows:
        raise ValueError(f"{len(out)} {name} for {rows} rows")
    return out


def text_list(texts: Sequence[str | None] | None, rows: int) -> list[str | None] | None:
    """`texts` checked: one str (or None for a document without one) per row."""
    if texts is None:
        return None
    out = _sequence(texts, rows, "texts", "str")
    for j, t in enumerate(out):
        if t is not None and not isinstance(t, str):
            raise TypeError(f"texts[{j}] must be a str or None, got {type(t).__name__}")
    return out


def metadata_list(metadata: Sequence[Mapping[str, Any] | None] | None,
                  rows: int) -> list[dict[str, Any] | None] | None:
    """`metadata` checked and copied: a dict of JSON values (or None) per row, kept as the
    JSON it saves as, so that later changes to the caller's dicts do not reach the corpus."""
    if metadata is None:
        return None
    out = _sequence(metadata, rows, "metadata", "dicts")
    for j, m in enumerate(out):
        if m is None:
            continue
        if not isinstance(m, Mapping):
            raise TypeError(f"metadata[{j}] must be a dict or None, got {type(m).__name__}")
        for key in m:
            if not isinstance(key, str):
                raise TypeError(f"metadata[{j}]: keys must be str, got {type(key).__name__} {key!r}")
        try:
            out[j] = json.loads(json.dumps(dict(m), allow_nan=False))
        except (TypeError, ValueError) as e:
            raise ValueError(f"metadata[{j}]: {e}; values must be JSON: str, finite numbers, "
                             "true, false, null, and lists and dicts of them") from None
    return out
