"""What a search gives back: the hits, and the query as prepared for the native call."""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from _quantelle import _Modifiers as Modifiers

__all__ = ["Hit", "Prepared", "SearchResult", "undated_notes"]


@dataclass(frozen=True, slots=True, repr=False)
class Hit:
    """One result: the document's id and its score (rounded to four decimals by the module),
    and its text and a copy of its metadata where the corpus keeps them (else None)."""

    id: str
    score: float
    text: str | None = None
    metadata: dict[str, Any] | None = None

    def __repr__(self) -> str:
        extra = "".join(f", {name}={value!r}" for name, value in
                        (("text", self.text), ("metadata", self.metadata)) if value is not None)
        return f"Hit(id={self.id!r}, score={self.score!r}{extra})"


_SLOTS = tuple(Hit.__dict__[name].__set__ for name in ("id", "score", "text", "metadata"))


def plain_hits(records: Sequence[Mapping[str, Any]]) -> list[Hit]:
    """`Hit(r["id"], r["score"])` for each record, its slots set directly: the frozen class's
    own __init__ goes through object.__setattr__ field by field, which takes nearly twice as
    long, for every hit of every search."""
    set_id, set_score, set_text, set_metadata = _SLOTS
    hits = []
    for r in records:
        hit = object.__new__(Hit)
        set_id(hit, r["id"])
        set_score(hit, r["score"])
        set_text(hit, None)
        set_metadata(hit, None)
        hits.append(hit)
    return hits


@dataclass(frozen=True, slots=True, repr=False)
class Prepared:
    """A query ready for `_quantelle.score_candidates(**arguments)`.

    `applied` says in words which modulations the arguments switch on; `notes` which modifiers have
    no effect, and why; `embed_seconds` is the time spent in the embed callable. `rescored`,
    in a search's result from a float16 corpus, is how many rows were scored again in float32.
    """

    arguments: dict[str, Any]
    modifiers: Modifiers
    applied: tuple[str, ...]
    notes: tuple[str, ...]
    embed_seconds: float
    rescored: int | None = None

    def __repr__(self) -> str:
        names = ", ".join(k for k in self.arguments if k not in _ALWAYS)
        return (f"Prepared(query of {len(self.arguments['query_vec'])} dims, "
                f"arguments: {names or 'defaults'}, {len(self.applied)} applied, "
                f"{len(self.notes)} notes)")


_ALWAYS = ("matrix", "ids", "id_to_idx", "query_vec")


@dataclass(frozen=True, slots=True, repr=False)
class SearchResult:
    """Ranked hits, best first (MMR order with ``diverse``), and how they came about.

    `notes` holds the prepared query's notes, then those about the hits themselves (undated hits
    under ``recent``).
    """

    hits: list[Hit]
    prepared: Prepared
    search_seconds: float
    hit_notes: tuple[str, ...] = ()

    @property
    def applied(self) -> tuple[str, ...]:
        return self.prepared.applied

    @property
    def notes(self) -> tuple[str, ...]:
        return self.prepared.notes + self.hit_notes

    def __repr__(self) -> str:
        first = ", ".join(f"{h.id!r} {h.score:.4f}" for h in self.hits[:3])
        more = ", …" if len(self.hits) > 3 else ""
        return (f"SearchResult({len(self.hits)} hits: [{first}{more}], "
                f"applied: {'; '.join(self.applied) or 'none'}, {len(self.notes)} notes)")


def undated_notes(hit_timestamps: Sequence[float]) -> tuple[str, ...]:
    """The note under `recent` when some hits carry no date (timestamp not above 0, or NaN)."""
    undated = sum(1 for t in hit_timestamps if not t > 0.0)
    if not undated:
        return ()
    return (f"recent: {undated} of {len(hit_timestamps)} hits are undated and keep their "
            "score without decay, so they can rank above newer documents",)
