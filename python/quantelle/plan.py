"""One translation of a query, a modifier string and keywords into `score_candidates` arguments.

Every corpus goes through it: `Corpus` for its own rows, `ShardedCorpus` for its shards. It
runs in three steps, so that the steps that cost can be batched or sent elsewhere:

1. `draft(target, query, modifiers, embed, options)` parses and checks all that needs no
   embedding and no id look-up, and says what is left: the texts to embed (`Draft.texts`) and
   the ids whose presence decides an error (`Draft.ids`).
2. The caller embeds those texts (`embed_texts` one by one, or the texts of many drafts in one
   batch) and finds which of the ids it holds (a dict look-up, or one round to every shard).
3. `finish(draft, vectors, known, embed_seconds)` checks those answers and returns the
   `Prepared` query: the arguments without the corpus's own arrays (`DATA_KEYS`), what was
   applied, and the notes.

A query that arrives as a vector has no text to embed. Every default of the module is read
from the module's own signature (`NATIVE_DEFAULTS`); none is written here again.
"""

from __future__ import annotations

import inspect
import time
from collections.abc import Callable, Container, Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Protocol, TypedDict

import numpy as np
import numpy.typing as npt

import _quantelle

from . import grammar
from . import where as where_filter
from .results import Prepared

if TYPE_CHECKING:
    from _quantelle import _Modifiers as Modifiers

__all__ = ["DATA_KEYS", "HALF_LIFE_DAYS", "NATIVE_DEFAULTS", "Draft", "Embed", "Options", "Target",
           "checked_vector", "draft", "embed_texts", "finish", "real_array"]

Embed = Callable[[str], npt.ArrayLike]
"""Turns one text into one vector of the corpus's dimension."""

NATIVE_DEFAULTS: Mapping[str, Any] = {
    name: p.default for name, p in inspect.signature(_quantelle.score_candidates).parameters.items()
    if p.default is not inspect.Parameter.empty}
"""The default of each optional parameter of `score_candidates`, from its own signature."""

HALF_LIFE_DAYS = 30
"""The half-life of temporal decay, in days, when ``recent`` names none (the module's rule)."""

DATA_KEYS = ("matrix", "ids", "id_to_idx", "timestamps")
"""The corpus's own arrays: a corpus adds them to a prepared query's arguments."""


class Options(TypedDict, total=False):
    """The keywords of `search` and `prepare`, for what no modifier can set. None, or leaving a
    keyword out, keeps the module's default.

    - ``within``: ids to restrict the search to (``pre_filter_ids``), in any order; an id listed
      twice can be returned twice. Every id must be in the corpus (`ValueError`); an empty list
      gives no hits.
    - ``mask``: one bool per row; rows whose flag is False are never returned.
    - ``where``: a filter on the documents' metadata, such as ``{"lang": "en", "year":
      {"$gte": 2020}}`` (the language is in `quantelle.where`); it narrows ``mask``.
    - ``threshold``: a row whose score (after decay, before the ``unlike`` penalty) is below it
      is dropped; 0 or below keeps every row (the default 0.0).
    - ``oversample``: how many of the best candidates ``diverse`` chooses from (default 200).
    - ``mmr_lambda``: the weight of relevance against diversity for ``diverse``, from 0 to 1
      (default 0.7).

    A wrong type is a `TypeError`, a wrong value (an unknown id, a mask of the wrong length,
    NaN) a `ValueError`.
    """

    within: Sequence[str] | None
    mask: npt.ArrayLike | None
    where: Mapping[str, Any] | None
    threshold: float | None
    oversample: int | None
    mmr_lambda: float | None


class Target(Protocol):
    """What the translation needs of a corpus."""

    @property
    def dim(self) -> int: ...

    def __len__(self) -> int: ...

    @property
    def dated(self) -> bool: ...

    @property
    def embed(self) -> Embed | None: ...


@dataclass(frozen=True, slots=True)
class Draft:
    """A query read and checked as far as it goes without an embedding or an id look-up."""

    modifiers: Modifiers
    arguments: dict[str, Any]
    query: str | npt.ArrayLike
    texts: tuple[tuple[str, str, str], ...]  # (argument, what the text is, text) to embed
    like: tuple[str, ...]
    within: tuple[str, ...]
    applied: tuple[str, ...]
    notes: tuple[str, ...]
    dim: int
    embed: Embed | None
    where: where_filter.Node | None = None  # the corpus turns it into rows of the mask

    @property
    def ids(self) -> list[str]:
        """The ids whose presence decides an error: those of ``like:``, then those of `within`."""
        return list(dict.fromkeys(self.like + self.within))


class _Reading:
    """What `draft` gathers, in the order it is reported."""

    def __init__(self, rows: int) -> None:
        self.rows = rows
        self.arguments: dict[str, Any] = {}
        self.applied: list[str] = []
        self.notes: list[str] = []
        self.within: tuple[str, ...] = ()
        self.where: where_filter.Node | None = None


def draft(target: Target, query: str | npt.ArrayLike, modifiers: str | None, embed: Embed | None,
          options: Mapping[str, Any], caller: str) -> Draft:
    """Read `modifiers` and `options` (the keywords of `Options`) for `target`; `ValueError` or
    `TypeError` for what is wrong with them, `TypeError` naming `caller` for an unknown keyword."""
    for name in options:
        if name not in _KEYWORDS:
            raise TypeError(f"{caller}() got an unexpected keyword argument {name!r}")
    parsed = _quantelle.parse_modifiers(modifiers)
    texts: list[tuple[str, str, str]] = []
    if isinstance(query, str):
        if not query.strip(grammar.WHITESPACE):
            raise ValueError("the query is empty: there is no text to search for")
        texts.append(("query_vec", "query", query))
    got = _Reading(len(target))
    args, applied, notes = got.arguments, got.applied, got.notes

    if parsed["recent"]:
        days = parsed["recent_days"]
        if days is not None and days <= 0:
            raise ValueError(f"recent:{days}: the half-life must be a positive number of days")
        if not target.dated:
            notes.append("recent: ignored, the corpus has no timestamps")
        else:
            args["recent"] = True
            if days is not None:
                args["recent_days"] = days
            applied.append(f"temporal decay, half-life {HALF_LIFE_DAYS if days is None else days} days")

    unlike = parsed["unlike"]
    if unlike:
        texts.append(("not_like_vec", "unlike text", unlike))
        applied.append(f"contrastive penalty against {unlike!r}")
    elif unlike is not None:
        notes.append("unlike: ignored, no text after 'unlike:'")

    if parsed["diverse"]:
        args["diverse"] = True
        applied.append("diversity (MMR)")

    limit = parsed["limit"]
    if limit is not None:
        args["limit"] = limit
        applied.append(f"limit {limit}")
        if limit == 0 and parsed["diverse"]:
            notes.append("limit:0 with diverse still gives one hit: MMR always picks the best")

    like = tuple(i for i in parsed["like"] or () if i)
    if like:
        args["like_ids"] = list(like)
        applied.append(f"blended with the centroid of {', '.join(like)}")
    elif parsed["like"] is not None:
        notes.append("like: ignored, no id after 'like:'")

    start_text, end_text = parsed["trajectory_from"], parsed["trajectory_to"]
    if start_text is not None and end_text is not None:
        texts += [("traj_from_vec", "trajectory start", start_text),
                  ("traj_to_vec", "trajectory end", end_text)]
        applied.append(f"trajectory from {start_text!r} to {end_text!r}")

    if parsed["local_communities"]:
        notes.append("local_communities: ignored, the scoring core has no community detection")

    for name, read in _KEYWORDS.items():
        value = options.get(name)
        if value is not None:
            read(value, got)
    notes += grammar.unused_notes(modifiers, parsed)
    return Draft(parsed, args, query, tuple(texts), like, got.within, tuple(applied), tuple(notes),
                 target.dim, embed if embed is not None else target.embed, got.where)


def embed_texts(d: Draft) -> tuple[dict[str, npt.ArrayLike], float]:
    """The draft's texts embedded one at a time with its embed callable, and the seconds spent."""
    vectors: dict[str, npt.ArrayLike] = {}
    seconds = 0.0
    for name, what, text in d.texts:
        if d.embed is None:
            raise no_embed(what, text)
        start = time.perf_counter()
        try:
            vectors[name] = d.embed(text)
        finally:
            seconds += time.perf_counter() - start
    return vectors, seconds


def finish(d: Draft, vectors: Mapping[str, npt.ArrayLike], known: Container[str],
           embed_seconds: float = 0.0) -> Prepared:
    """The prepared query: `vectors` holds the embedding of each of the draft's texts (by
    argument name), `known` the draft's ids that the corpus holds."""
    args: dict[str, Any] = {}
    if not isinstance(d.query, str):
        args["query_vec"] = checked_vector(d.query, d.dim, "query vector")
    for name, what, _ in d.texts:  # a text query first
        args[name] = checked_vector(vectors[name], d.dim, f"embed returned for the {what}")
    for label, ids in (("like", d.like), ("within", d.within)):
        if all(map(known.__contains__, ids)):  # in C: a within= list may hold 100k ids
            continue
        unknown = [i for i in dict.fromkeys(ids) if i not in known]
        if unknown:
            raise ValueError(f"{label}: {', '.join(map(repr, unknown))} not in the corpus")
    zero = ("the query embeds to the zero vector: every document scores 0",)
    notes = (() if args["query_vec"].any() else zero) + d.notes
    return Prepared(args | d.arguments, d.modifiers, d.applied, notes, embed_seconds)


def no_embed(what: str, text: str) -> ValueError:
    return ValueError(f"the {what} {text!r} needs an embed callable, and none was given")


def checked_vector(value: npt.ArrayLike, dim: int, what: str) -> npt.NDArray[np.float32]:
    """`value` as a new float32 vector of `dim` finite numbers, else `ValueError` naming `what`."""
    v = real_array(value, what)
    if v.shape != (dim,):
        raise ValueError(f"{what} has shape {v.shape}; the corpus has {dim} dimensions")
    out = np.array(v, dtype=np.float32, order="C", copy=True)
    if not np.isfinite(out).all():
        raise ValueError(f"{what} holds NaN or infinite values")
    return out


def real_array(value: npt.ArrayLike, what: str) -> npt.NDArray[Any]:
    a = np.asarray(value)
    if a.dtype.kind not in "fiu":
        raise ValueError(f"{what} must hold real numbers, got dtype {a.dtype}")
    return a


def _real_number(value: float, what: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{what} must be a number, got {type(value).__name__}")
    v = float(value)
    if not np.isfinite(v):
        raise ValueError(f"{what} must be finite, got {v}")
    return v


def _within(value: Sequence[str], got: _Reading) -> None:
    if isinstance(value, str) or not isinstance(value, Sequence):
        raise TypeError(f"within must be a sequence of ids, not {type(value).__name__}")
    wanted = list(value)
    if not set(map(type, wanted)) <= {str}:  # the loop only for a message, or str subclasses
        for i in wanted:
            if not isinstance(i, str):
                raise TypeError(f"within: ids must be str, got {type(i).__name__} {i!r}")
    got.arguments["pre_filter_ids"] = wanted
    got.within = tuple(wanted)
    got.applied.append(f"within {len(wanted)} ids")


def _mask(value: npt.ArrayLike, got: _Reading) -> None:
    flags = np.asarray(value)
    if flags.dtype != np.bool_:
        raise TypeError(f"mask must hold bools, got dtype {flags.dtype}")
    if flags.shape != (got.rows,):
        raise ValueError(f"mask must have shape ({got.rows},), one per row, got {flags.shape}")
    got.arguments["mask"] = np.ascontiguousarray(flags)
    got.applied.append(f"mask keeps {int(flags.sum())} of {got.rows} rows")


def _where(value: Mapping[str, Any], got: _Reading) -> None:
    got.where = where_filter.parse(value)
    got.applied.append(f"where {where_filter.describe(got.where)}")


def _threshold(value: float, got: _Reading) -> None:
    t = _real_number(value, "threshold")
    got.arguments["threshold"] = t
    if t > 0.0:
        got.applied.append(f"threshold {t:g}")


def _oversample(value: int, got: _Reading) -> None:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"oversample must be an int, got {type(value).__name__}")
    if value < 0:
        raise ValueError(f"oversample must be 0 or more, got {value}")
    got.arguments["oversample"] = int(value)
    _for_diverse(got, f"pool of {int(value)}", "oversample")


def _mmr_lambda(value: float, got: _Reading) -> None:
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"mmr_lambda must be a number, got {type(value).__name__}")
    lam = float(value)
    # The module takes any weight; outside [0, 1] relevance or redundancy changes sign, and the
    # scores it shows are then no similarity at all.
    if not 0.0 <= lam <= 1.0:
        raise ValueError(f"mmr_lambda must be between 0 and 1, got {lam}")
    got.arguments["mmr_lambda"] = lam
    _for_diverse(got, f"mmr_lambda {lam:g}", "mmr_lambda")


def _for_diverse(got: _Reading, applied: str, name: str) -> None:
    if got.arguments.get("diverse"):
        got.applied.append(applied)
    else:
        got.notes.append(f"{name}: ignored without diverse")


# One reader per keyword of `Options`, in its order: the order in which faults are reported.
_KEYWORDS: dict[str, Callable[[Any, _Reading], None]] = {
    "within": _within, "mask": _mask, "where": _where, "threshold": _threshold,
    "oversample": _oversample, "mmr_lambda": _mmr_lambda}
if list(_KEYWORDS) != list(Options.__annotations__):
    raise ImportError("plan: the readers of the keywords do not match Options")
