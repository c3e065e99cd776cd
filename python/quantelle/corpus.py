"""A corpus of embedded documents and a search driven by a modifier string.

The native module `_quantelle` scores vectors; it never sees text and never reads the dict that its
own `parse_modifiers` returns. This module is the glue: it keeps the arrays that `score_candidates`
wants in the form it wants them, embeds the texts that a modifier string names, and turns every key
of the parsed modifiers into the matching argument. One key, ``local_communities``, has no
native counterpart: the layer reports it in the result's notes and changes nothing (see
`Corpus.prepare`).
"""

from __future__ import annotations

import re
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

import _quantelle

if TYPE_CHECKING:
    from _quantelle import _Modifiers as Modifiers

__all__ = ["Corpus", "Embed", "Hit", "Prepared", "SearchResult"]

Embed = Callable[[str], npt.ArrayLike]
"""Turns one text into one vector of the corpus's dimension."""


@dataclass(frozen=True, slots=True)
class Hit:
    """One result: the document's id and its score (rounded to four decimals by the module)."""

    id: str
    score: float


@dataclass(frozen=True, slots=True, repr=False)
class Prepared:
    """A query ready for `_quantelle.score_candidates(**arguments)`.

    `applied` says in words which modulations the arguments switch on; `notes` which modifiers have
    no effect, and why; `embed_seconds` is the time spent in the embed callable.
    """

    arguments: dict[str, Any]
    modifiers: Modifiers
    applied: tuple[str, ...]
    notes: tuple[str, ...]
    embed_seconds: float

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


class Corpus:
    """Document embeddings held the way `score_candidates` reads them fastest.

    `matrix` is copied into a read-only, C-contiguous float32 array whose rows are scaled to unit
    length, so that scores are cosine similarities (an all-zero row stays zero). `ids` must be
    distinct strings, one per row. `timestamps`, if given, holds one epoch-seconds value per row,
    kept as float64; NaN (or any value not above 0) marks a document without a date, which temporal
    decay leaves unchanged. `embed` is the default text-to-vector callable of `search`.

    Raises `ValueError` when shapes, dtypes or lengths do not fit together or a value is not
    finite, `TypeError` for an id that is not a str.
    """

    __slots__ = ("_embed", "_id_to_idx", "_ids", "_matrix", "_timestamps")

    def __init__(
        self,
        matrix: npt.ArrayLike,
        ids: Sequence[str],
        timestamps: npt.ArrayLike | None = None,
        *,
        embed: Embed | None = None,
    ) -> None:
        m = _real_array(matrix, "matrix")
        if m.ndim != 2 or m.shape[1] == 0:
            raise ValueError(f"matrix must be 2-D with at least one column, got shape {m.shape}")
        rows = np.array(m, dtype=np.float32, order="C", copy=True)
        if not np.isfinite(rows).all():
            raise ValueError("matrix holds NaN or infinite values")
        # Norms in float64: squared float32 entries overflow from about 1e19 and vanish below
        # about 1e-23, which would zero or skip rows that are finite and non-zero.
        norms = np.sqrt(np.einsum("ij,ij->i", rows, rows, dtype=np.float64))[:, None]
        np.divide(rows, norms, out=rows, where=norms > 0.0)
        rows.flags.writeable = False

        if isinstance(ids, str):
            raise TypeError("ids must be a sequence of str, not a str")
        id_list = list(ids)
        for i in id_list:
            if not isinstance(i, str):
                raise TypeError(f"ids must be str, got {type(i).__name__} {i!r}")
        if len(id_list) != rows.shape[0]:
            raise ValueError(f"{len(id_list)} ids for {rows.shape[0]} matrix rows")
        id_to_idx: dict[str, int] = {}
        for row, i in enumerate(id_list):
            if id_to_idx.setdefault(i, row) != row:
                raise ValueError(f"ids must be distinct, {i!r} occurs more than once")

        ts: npt.NDArray[np.float64] | None = None
        if timestamps is not None:
            t = _real_array(timestamps, "timestamps")
            if t.shape != (rows.shape[0],):
                raise ValueError(
                    f"timestamps must have shape ({rows.shape[0]},), one per row, got {t.shape}"
                )
            ts = np.array(t, dtype=np.float64, order="C", copy=True)
            bad = np.flatnonzero(np.isinf(ts) | (ts > MAX_TIMESTAMP))
            if bad.size:
                raise ValueError(f"timestamps[{bad[0]}]: {timestamp_problem(float(ts[bad[0]]))}")
            ts.flags.writeable = False

        self._matrix = rows
        self._ids = id_list
        self._id_to_idx = id_to_idx
        self._timestamps = ts
        self._embed = embed

    @property
    def matrix(self) -> npt.NDArray[np.float32]:
        """(n, dim) float32, C-contiguous, unit rows, read-only."""
        return self._matrix

    @property
    def ids(self) -> list[str]:
        """The id of each row, in row order (do not modify)."""
        return self._ids

    @property
    def id_to_idx(self) -> dict[str, int]:
        """Row of each id (do not modify)."""
        return self._id_to_idx

    @property
    def timestamps(self) -> npt.NDArray[np.float64] | None:
        """Epoch seconds per row (float64, read-only), or None for an undated corpus."""
        return self._timestamps

    @property
    def dim(self) -> int:
        return int(self._matrix.shape[1])

    def __len__(self) -> int:
        return len(self._ids)

    def __repr__(self) -> str:
        dated = "" if self._timestamps is None else ", dated"
        return f"Corpus({len(self)} documents x {self.dim} dims{dated})"

    def vector(
        self, text: str, embed: Embed | None = None, *, what: str = "text"
    ) -> npt.NDArray[np.float32]:
        """`embed(text)`, checked to be `dim` finite numbers, as a new float32 array."""
        fn = embed if embed is not None else self._embed
        if fn is None:
            raise ValueError(f"the {what} {text!r} needs an embed callable, and none was given")
        return self._checked_vector(fn(text), f"embed returned for the {what}")

    def prepare(
        self,
        query: str | npt.ArrayLike,
        modifiers: str = "",
        embed: Embed | None = None,
        *,
        within: Sequence[str] | None = None,
        mask: npt.ArrayLike | None = None,
        threshold: float | None = None,
        oversample: int | None = None,
        mmr_lambda: float | None = None,
    ) -> Prepared:
        """Parse `modifiers` and build the keyword arguments of `score_candidates`.

        `query` is a text (embedded with `embed`, else the corpus's own) or a vector of `dim`
        numbers. `modifiers` is a space-separated string such as
        ``"recent:7 diverse limit:5 unlike:xml like:a,b from: files to: network"``; the names are
        case-sensitive, words that are no modifier have no effect (a likely typo of one gets a
        note), and ``from:``/``to:`` take the rest of the string, so they come last. Each key
        that `parse_modifiers` returns becomes:

        - ``recent``: ``recent=True`` and the corpus's ``timestamps``: scores decay with age,
          ``1 / (1 + age / half_life)``. A corpus without timestamps ignores it (see `notes`).
        - ``recent_days`` (``recent:N``): ``recent_days=N``, the half-life in days; the module
          uses 30 without it. N must be above 0, else `ValueError`.
        - ``unlike`` (``unlike:word``): ``not_like_vec=embed(word)``: half of each document's
          similarity to that text is subtracted from its score. ``unlike:`` alone is ignored.
        - ``diverse``: ``diverse=True``: Maximal Marginal Relevance over the best candidates, so
          that near-duplicates do not fill the list; its scores are MMR scores.
        - ``limit`` (``limit:N``): ``limit=N``, at most N results (the module's default is 10).
        - ``like`` (``like:id1,id2``): ``like_ids``: the query is blended half-and-half with the
          centroid of these documents. Empty pieces are dropped; an id that is not in the corpus
          is a `ValueError` (the module itself would return no result at all when none is known).
        - ``trajectory_from``/``trajectory_to`` (``from: text to: text``): ``traj_from_vec`` and
          ``traj_to_vec``, both embedded: 30 % of each score becomes the similarity to the
          direction that leads from the first text to the second.
        - ``local_communities`` (``local_communities`` or ``detect_communities``): nothing. The
          module has no parameter for it and this layer does not detect communities either; the
          flag is only reported in `notes`, and the ranking is the same as without it.

        The keyword arguments set what no modifier can:

        - ``within``: ids to restrict the search to (``pre_filter_ids``), in any order; an id
          listed twice can be returned twice. Every id must be in the corpus (`ValueError`);
          an empty list gives no hits.
        - ``mask``: one bool per row; rows whose flag is False are never returned.
        - ``threshold``: a row whose score (after decay, before the ``unlike`` penalty) is below
          it is dropped; 0 or below keeps every row (the default 0.0).
        - ``oversample``: how many of the best candidates ``diverse`` chooses from (default 200).
        - ``mmr_lambda``: the weight of relevance against diversity for ``diverse`` (default 0.7).

        Arguments left out take the module's defaults. `ValueError` for a bad modifier or keyword
        value or an embed result that is not `dim` finite numbers, `TypeError` for a keyword of
        the wrong type.

        `notes` names what had no effect: a modifier the corpus cannot serve, a keyword that needs
        ``diverse``, and each token that looks like a mistyped modifier (``limt:2``, ``divers``),
        which had no effect.

        >>> corpus = Corpus([[1, 0], [0.6, 0.8], [0, 1]], ["a", "b", "c"])
        >>> p = corpus.prepare([1, 0], "diverse limit:2", threshold=0.5)
        >>> p.applied
        ('diversity (MMR)', 'limit 2', 'threshold 0.5')
        >>> [r["id"] for r in _quantelle.score_candidates(**p.arguments)]  # what search does
        ['a', 'b']
        """
        parsed = _quantelle.parse_modifiers(modifiers)
        embed_seconds = 0.0
        typos = modifier_notes(modifiers)

        def embedded(text: str, what: str) -> npt.NDArray[np.float32]:
            nonlocal embed_seconds
            start = time.perf_counter()
            try:
                return self.vector(text, embed, what=what)
            finally:
                embed_seconds += time.perf_counter() - start

        if isinstance(query, str):
            query_vec = embedded(query, "query")
        else:
            query_vec = self._checked_vector(query, "query vector")
        args: dict[str, Any] = {
            "matrix": self._matrix,
            "ids": self._ids,
            "id_to_idx": self._id_to_idx,
            "query_vec": query_vec,
        }
        applied: list[str] = []
        notes: list[str] = []
        if not query_vec.any():
            notes.append("the query embeds to the zero vector: every document scores 0")

        if parsed["recent"]:
            days = parsed["recent_days"]
            if days is not None and days <= 0:
                raise ValueError(f"recent:{days}: the half-life must be a positive number of days")
            if self._timestamps is None:
                notes.append("recent: ignored, the corpus has no timestamps")
            else:
                args["recent"] = True
                args["timestamps"] = self._timestamps
                if days is not None:
                    args["recent_days"] = days
                applied.append(f"temporal decay, half-life {30 if days is None else days} days")

        unlike = parsed["unlike"]
        if unlike:
            args["not_like_vec"] = embedded(unlike, "unlike text")
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

        like = parsed["like"]
        if like is not None:
            wanted = [i for i in like if i]
            unknown = [i for i in wanted if i not in self._id_to_idx]
            if unknown:
                raise ValueError(f"like: {', '.join(map(repr, unknown))} not in the corpus")
            if wanted:
                args["like_ids"] = wanted
                applied.append(f"blended with the centroid of {', '.join(wanted)}")
            else:
                notes.append("like: ignored, no id after 'like:'")

        start_text, end_text = parsed["trajectory_from"], parsed["trajectory_to"]
        if start_text is not None and end_text is not None:
            args["traj_from_vec"] = embedded(start_text, "trajectory start")
            args["traj_to_vec"] = embedded(end_text, "trajectory end")
            applied.append(f"trajectory from {start_text!r} to {end_text!r}")

        if parsed["local_communities"]:
            notes.append("local_communities: ignored, the scoring core has no community detection")

        self._keywords(args, applied, notes, within, mask, threshold, oversample, mmr_lambda)
        notes += typos

        return Prepared(args, parsed, tuple(applied), tuple(notes), embed_seconds)

    def search(
        self,
        query: str | npt.ArrayLike,
        modifiers: str = "",
        embed: Embed | None = None,
        *,
        within: Sequence[str] | None = None,
        mask: npt.ArrayLike | None = None,
        threshold: float | None = None,
        oversample: int | None = None,
        mmr_lambda: float | None = None,
    ) -> SearchResult:
        """Rank the corpus for `query` under `modifiers`; the hits, best first, in a `SearchResult`.

        Parameters (`prepare` describes each in detail):

        - `query`: a text, embedded with `embed` (else the corpus's own), or a vector of `dim`
          numbers.
        - `modifiers`: space-separated; names are case-sensitive, and ``from:``/``to:`` take the
          rest of the string::

            recent / recent:N     scores decay with age, half-life N days (30)
            unlike:TEXT           half the similarity to TEXT is subtracted
            diverse               Maximal Marginal Relevance: no near-duplicates
            limit:N               at most N hits (10)
            like:ID,ID            the query blended with these documents' centroid
            from: A to: B         30 % of the score follows the direction from A to B
            local_communities     accepted, changes nothing (noted)

          Any other word has no effect; one that looks like a mistyped modifier gets a note.
        - `within`: only these ids are candidates. `mask`: one bool per row, False rows are
          never returned. `threshold`: rows scoring below it are dropped (0.0). `oversample`:
          the pool that ``diverse`` chooses from (200). `mmr_lambda`: relevance against
          diversity for ``diverse`` (0.7).

        The result's `applied` says which modulations took effect, `notes` what was ignored or
        may surprise (typos, undated hits under ``recent``). `ValueError` for a bad value (an
        unknown ``like:`` id, ``recent:0``, a wrong-sized vector), `TypeError` for a keyword of
        the wrong type.

        >>> corpus = Corpus([[1, 0], [0.6, 0.8], [0, 1]], ["a", "b", "c"])
        >>> corpus.search([1, 0], "limit:2").hits
        [Hit(id='a', score=1.0), Hit(id='b', score=0.6)]
        >>> corpus.search([1, 0], "limt:2", within=["b", "c"]).notes
        ("'limt:2' was ignored: no modifier is called limt:; did you mean limit:2?",)

        With a text query, `embed` (or the corpus's own) turns it into the vector:
        ``corpus.search("parse a date", "recent:7 diverse", embed=model.encode)``.
        """
        prepared = self.prepare(query, modifiers, embed, within=within, mask=mask,
                                threshold=threshold, oversample=oversample, mmr_lambda=mmr_lambda)
        start = time.perf_counter()
        records = _quantelle.score_candidates(**prepared.arguments)
        elapsed = time.perf_counter() - start
        hits = [Hit(r["id"], r["score"]) for r in records]
        hit_notes: tuple[str, ...] = ()
        if "recent" in prepared.arguments and self._timestamps is not None:
            hit_notes = undated_notes([self._timestamps[self._id_to_idx[h.id]] for h in hits])
        return SearchResult(hits, prepared, elapsed, hit_notes)

    def _keywords(
        self,
        args: dict[str, Any],
        applied: list[str],
        notes: list[str],
        within: Sequence[str] | None,
        mask: npt.ArrayLike | None,
        threshold: float | None,
        oversample: int | None,
        mmr_lambda: float | None,
    ) -> None:
        if within is not None:
            if isinstance(within, str) or not isinstance(within, Sequence):
                raise TypeError(f"within must be a sequence of ids, not {type(within).__name__}")
            wanted = list(within)
            for i in wanted:
                if not isinstance(i, str):
                    raise TypeError(f"within: ids must be str, got {type(i).__name__} {i!r}")
            unknown = [i for i in dict.fromkeys(wanted) if i not in self._id_to_idx]
            if unknown:
                raise ValueError(f"within: {', '.join(map(repr, unknown))} not in the corpus")
            args["pre_filter_ids"] = wanted
            applied.append(f"within {len(wanted)} ids")
        if mask is not None:
            flags = np.asarray(mask)
            if flags.dtype != np.bool_:
                raise TypeError(f"mask must hold bools, got dtype {flags.dtype}")
            if flags.shape != (len(self),):
                raise ValueError(f"mask must have shape ({len(self)},), one per row, got {flags.shape}")
            args["mask"] = np.ascontiguousarray(flags)
            applied.append(f"mask keeps {int(flags.sum())} of {len(self)} rows")
        if threshold is not None:
            t = _real_number(threshold, "threshold")
            args["threshold"] = t
            if t > 0.0:
                applied.append(f"threshold {t:g}")
        diverse = bool(args.get("diverse"))
        if oversample is not None:
            if isinstance(oversample, bool) or not isinstance(oversample, (int, np.integer)):
                raise TypeError(f"oversample must be an int, got {type(oversample).__name__}")
            if oversample < 0:
                raise ValueError(f"oversample must be 0 or more, got {oversample}")
            args["oversample"] = int(oversample)
            if diverse:
                applied.append(f"pool of {int(oversample)}")
            else:
                notes.append("oversample: ignored without diverse")
        if mmr_lambda is not None:
            lam = _real_number(mmr_lambda, "mmr_lambda")
            args["mmr_lambda"] = lam
            if diverse:
                applied.append(f"mmr_lambda {lam:g}")
            else:
                notes.append("mmr_lambda: ignored without diverse")

    def _checked_vector(self, value: npt.ArrayLike, what: str) -> npt.NDArray[np.float32]:
        v = _real_array(value, what)
        if v.shape != (self.dim,):
            raise ValueError(f"{what} has shape {v.shape}; the corpus has {self.dim} dimensions")
        out = np.array(v, dtype=np.float32, order="C", copy=True)
        if not np.isfinite(out).all():
            raise ValueError(f"{what} holds NaN or infinite values")
        return out


def _real_array(value: npt.ArrayLike, what: str) -> npt.NDArray[Any]:
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


MAX_TIMESTAMP = 253402300799.0
"""The last second of the year 9999 (UTC), the latest date that `datetime` can show."""

_UNITS = ((1e9, "nanoseconds", "1e9"), (1e6, "microseconds", "1e6"), (1e3, "milliseconds", "1000"))


def timestamp_problem(value: float) -> str:
    """What is wrong with an epoch-seconds value that is NaN, infinite or beyond the year 9999."""
    if np.isnan(value):
        return "NaN is not a date: leave 'timestamp' out (or null) for a document without one"
    if not np.isfinite(value):
        return (f"{value} is not a finite number of epoch seconds; a document without a date has "
                "NaN in a Corpus and no 'timestamp' in a file")
    for factor, unit, divisor in _UNITS:
        if 1e8 < value / factor <= MAX_TIMESTAMP:
            return (f"{value:.0f} lies beyond the year 9999; it looks like {unit} since the epoch: "
                    f"divide by {divisor} to get seconds")
    return f"{value:g} lies beyond the year 9999: timestamps are seconds since 1970-01-01 UTC"


# Modifier names as the parser spells them (it is case-sensitive), for the notes on typos.
_FLAGS = ("diverse", "recent", "local_communities", "detect_communities")
_VALUED = ("recent", "unlike", "limit", "like", "from", "to")
_NAMED_VALUE = re.compile(r"([A-Za-z_]+):(.*)")


def _near(word: str, name: str, limit: int) -> bool:
    """Within `limit` edits (a letter dropped, added, changed, or two adjacent swapped)."""
    if abs(len(word) - len(name)) > limit:
        return False
    prev2: list[int] = []
    prev = list(range(len(name) + 1))
    for i, a in enumerate(word, 1):
        row = [i]
        for j, b in enumerate(name, 1):
            d = min(prev[j] + 1, row[j - 1] + 1, prev[j - 1] + (a != b))
            if i > 1 and j > 1 and a == name[j - 2] and word[i - 2] == b:
                d = min(d, prev2[j - 2] + 1)
            row.append(d)
        prev2, prev = prev, row
    return prev[-1] <= limit


def _slip(word: str, name: str) -> bool:
    # A bare word is a typo only by a letter dropped, added or swapped, not changed: 'decent' and
    # 'diverge' are words of their own, 'divers' and 'recnet' are not.
    return len(word) >= 4 and len(word) != len(name) and _near(word, name, 1) or (
        len(word) == len(name) and sorted(word) == sorted(name) and _near(word, name, 1))


def modifier_notes(modifiers: str) -> list[str]:
    """One note per token of `modifiers` that the parser ignored but that looks like a modifier.

    A token is a suspect when it is ``word:value`` with a word of letters only (a URL's ``//``
    after the colon, ``3:30pm`` and ``c++`` are not), or a bare word that differs from a flag only
    by case, trailing punctuation, or a letter dropped, added or swapped. Tokens after ``from:``
    or ``to:`` are the trajectory's texts and never suspect.
    """
    notes: list[str] = []
    for token in modifiers.split():
        if token.startswith(("from:", "to:")):
            break
        if _parsed_something(token):
            continue
        m = _NAMED_VALUE.fullmatch(token)
        if m and not m[2].startswith("/"):
            word, value = m[1], m[2]
            if word in _VALUED:
                notes.append(f"{token!r} was ignored: {word}: needs "
                             f"{'a whole number' if word in ('limit', 'recent') else 'a value'}"
                             f" right after the colon")
                continue
            meant = [n for n in _VALUED if word.lower() == n or _near(word.lower(), n, 1 if len(n) < 5 else 2)]
            hint = f"; did you mean {meant[0]}:{value}?" if meant else \
                f"; modifiers are {', '.join(n + ':' for n in _VALUED)} and {', '.join(_FLAGS)}"
            notes.append(f"{token!r} was ignored: no modifier is called {word}:{hint}")
            continue
        bare = token.rstrip(",;.")
        meant = [n for n in _FLAGS if bare != token and bare == n or bare.lower() == n
                 or _slip(bare.lower(), n)]
        if meant and ":" not in token:
            notes.append(f"{token!r} was ignored: not a modifier; did you mean {meant[0]}?")
    return notes


def _parsed_something(token: str) -> bool:
    parsed = _quantelle.parse_modifiers(token)
    return any(v not in (None, False) for v in parsed.values())


def undated_notes(hit_timestamps: Sequence[float]) -> tuple[str, ...]:
    """The note under `recent` when some hits carry no date (timestamp not above 0, or NaN)."""
    undated = sum(1 for t in hit_timestamps if not t > 0.0)
    if not undated:
        return ()
    return (f"recent: {undated} of {len(hit_timestamps)} hits are undated and keep their "
            "score without decay, so they can rank above newer documents",)
