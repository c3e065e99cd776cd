"""A corpus of embedded documents and a search driven by a modifier string.

The native module `_quantelle` scores vectors; it never sees text and never reads the dict that its
own `parse_modifiers` returns. `Corpus` keeps the arrays that `score_candidates` wants in the form
it wants them; `quantelle.plan` turns a query, a modifier string and the keywords into the rest
of the call, with the texts it names embedded. One key, ``local_communities``, has no native
counterpart: the layer reports it in the result's notes and changes nothing (see
`Corpus.prepare`).
"""

from __future__ import annotations

import time
from collections.abc import Sequence
from typing import Any, Unpack

import numpy as np
import numpy.typing as npt

import _quantelle

from . import plan
from .plan import Embed, Options, checked_vector, real_array
from .results import Hit, Prepared, SearchResult, undated_notes

__all__ = ["Corpus", "Embed", "Hit", "Options", "Prepared", "SearchResult"]


class Corpus:
    """Document embeddings held the way `score_candidates` reads them fastest.

    `matrix` is copied into a read-only, C-contiguous float32 array whose rows are scaled to unit
    length, so that scores are cosine similarities (an all-zero row stays zero). `ids` must be
    distinct strings, one per row. `timestamps`, if given, holds one date per row: epoch seconds
    (kept as float64; NaN, or any value not above 0, marks a document without a date, which
    temporal decay leaves unchanged), or a ``datetime64`` array of any unit, NaT for no date.
    `embed` is the default text-to-vector callable of `search`.

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
        m = real_array(matrix, "matrix")
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

        self._matrix = rows
        self._ids = id_list
        self._id_to_idx = id_to_idx
        self._timestamps = None if timestamps is None else _epoch_seconds(timestamps, rows.shape[0])
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
    def dated(self) -> bool:
        """Whether the corpus has timestamps, which ``recent`` needs."""
        return self._timestamps is not None

    @property
    def embed(self) -> Embed | None:
        """The default text-to-vector callable of `search`, or None."""
        return self._embed

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
            raise plan.no_embed(what, text)
        return checked_vector(fn(text), self.dim, f"embed returned for the {what}")

    def prepare(
        self,
        query: str | npt.ArrayLike,
        modifiers: str | None = "",
        embed: Embed | None = None,
        **options: Unpack[Options],
    ) -> Prepared:
        """Parse `modifiers` and build the keyword arguments of `score_candidates`.

        `query` is a text (embedded with `embed`, else the corpus's own) or a vector of `dim`
        numbers; an empty text is a `ValueError`. `modifiers` is a space-separated string such as
        ``"recent:7 diverse limit:5 unlike:xml like:a,b from: files to: network"`` (None is the
        same as ``""``); the names are case-sensitive, and ``from:``/``to:`` take the rest of the
        string, so they come last. Any other word of it is ignored, and named in `notes` (with
        the modifier probably meant, where it looks like a typo of one). Each key that
        `parse_modifiers` returns becomes:

        - ``recent``: ``recent=True`` and the corpus's ``timestamps``: scores decay with age,
          ``1 / (1 + age / half_life)``. A corpus without timestamps ignores it (see `notes`).
        - ``recent_days`` (``recent:N``): ``recent_days=N``, the half-life in days; the module
          uses 30 without it. N must be above 0, else `ValueError`; ``recent:abc`` is plain
          ``recent``, with a note.
        - ``unlike`` (``unlike:word``): ``not_like_vec=embed(word)``: half of each document's
          similarity to that text is subtracted from its score. ``unlike:`` alone is ignored.
        - ``diverse``: ``diverse=True``: Maximal Marginal Relevance over the best candidates, so
          that near-duplicates do not fill the list; its scores are MMR scores.
        - ``limit`` (``limit:N``): ``limit=N``, at most N results (the module's default is 10);
          ``limit:0`` gives none, or one with ``diverse``.
        - ``like`` (``like:id1,id2``): ``like_ids``: the query is blended half-and-half with the
          centroid of these documents. Empty pieces are dropped; an id that is not in the corpus
          is a `ValueError` (the module itself would return no result at all when none is known).
        - ``trajectory_from``/``trajectory_to`` (``from: text to: text``): ``traj_from_vec`` and
          ``traj_to_vec``, both embedded: 30 % of each score becomes the similarity to the
          direction that leads from the first text to the second.
        - ``local_communities`` (``local_communities`` or ``detect_communities``): nothing. The
          module has no parameter for it and this layer does not detect communities either; the
          flag is only reported in `notes`, and the ranking is the same as without it.

        The keywords (`quantelle.Options`: ``within``, ``mask``, ``threshold``, ``oversample``,
        ``mmr_lambda``) set what no modifier can. Arguments left out take the module's defaults.
        `ValueError` for a bad modifier or keyword value or an embed result that is not `dim`
        finite numbers, `TypeError` for a keyword of the wrong type or name.

        `notes` names what had no effect: a modifier the corpus cannot serve, a keyword that needs
        ``diverse``, and each word that is no modifier.

        >>> corpus = Corpus([[1, 0], [0.6, 0.8], [0, 1]], ["a", "b", "c"])
        >>> p = corpus.prepare([1, 0], "diverse limit:2", threshold=0.5)
        >>> p.applied
        ('diversity (MMR)', 'limit 2', 'threshold 0.5')
        >>> [r["id"] for r in _quantelle.score_candidates(**p.arguments)]  # what search does
        ['a', 'b']
        """
        return self._prepare(query, modifiers, embed, options, "Corpus.prepare")

    def _prepare(self, query: str | npt.ArrayLike, modifiers: str | None, embed: Embed | None,
                 options: Options, caller: str) -> Prepared:
        d = plan.draft(self, query, modifiers, embed, options, caller)
        vectors, seconds = plan.embed_texts(d)
        p = plan.finish(d, vectors, self._id_to_idx, seconds)
        args: dict[str, Any] = {"matrix": self._matrix, "ids": self._ids,
                                "id_to_idx": self._id_to_idx} | p.arguments
        if args.get("recent"):
            args["timestamps"] = self._timestamps
        return Prepared(args, p.modifiers, p.applied, p.notes, p.embed_seconds)

    def search(
        self,
        query: str | npt.ArrayLike,
        modifiers: str | None = "",
        embed: Embed | None = None,
        **options: Unpack[Options],
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

          Any other word is ignored and named in `notes`, with a hint where it looks like a
          mistyped modifier; query words belong in `query`.
        - keywords (`quantelle.Options`): `within`: only these ids are candidates. `mask`: one
          bool per row, False rows are never returned. `threshold`: rows scoring below it are
          dropped (0.0). `oversample`: the pool that ``diverse`` chooses from (200).
          `mmr_lambda`: relevance against diversity for ``diverse``, 0 to 1 (0.7).

        The result's `applied` says which modulations took effect, `notes` what was ignored or
        may surprise (typos, undated hits under ``recent``). `ValueError` for a bad value (an
        unknown ``like:`` id, ``recent:0``, a wrong-sized vector, an empty query), `TypeError`
        for a keyword of the wrong type.

        >>> corpus = Corpus([[1, 0], [0.6, 0.8], [0, 1]], ["a", "b", "c"])
        >>> corpus.search([1, 0], "limit:2").hits
        [Hit(id='a', score=1.0), Hit(id='b', score=0.6)]
        >>> corpus.search([1, 0], "limt:2", within=["b", "c"]).notes
        ("'limt:2' was ignored: no modifier is called limt:; did you mean limit:2?",)

        With a text query, `embed` (or the corpus's own) turns it into the vector:
        ``corpus.search("parse a date", "recent:7 diverse", embed=model.encode)``.
        """
        prepared = self._prepare(query, modifiers, embed, options, "Corpus.search")
        start = time.perf_counter()
        records = _quantelle.score_candidates(**prepared.arguments)
        elapsed = time.perf_counter() - start
        hits = [Hit(r["id"], r["score"]) for r in records]
        hit_notes: tuple[str, ...] = ()
        if "recent" in prepared.arguments and self._timestamps is not None:
            hit_notes = undated_notes([self._timestamps[self._id_to_idx[h.id]] for h in hits])
        return SearchResult(hits, prepared, elapsed, hit_notes)


MAX_TIMESTAMP = 253402300799.0
"""The last second of the year 9999 (UTC), the latest date that `datetime` can show."""

_UNITS = ((1e9, "nanoseconds", "1e9"), (1e6, "microseconds", "1e6"), (1e3, "milliseconds", "1000"))


def _epoch_seconds(timestamps: npt.ArrayLike, rows: int) -> npt.NDArray[np.float64]:
    """One read-only float64 of epoch seconds per row, checked; NaN for no date."""
    t = np.asarray(timestamps)
    if t.dtype.kind == "M":
        t = _datetime_seconds(t)
    t = real_array(t, "timestamps")
    if t.shape != (rows,):
        raise ValueError(f"timestamps must have shape ({rows},), one per row, got {t.shape}")
    ts = np.array(t, dtype=np.float64, order="C", copy=True)
    bad = np.flatnonzero(np.isinf(ts) | (ts > MAX_TIMESTAMP))
    if bad.size:
        raise ValueError(f"timestamps[{bad[0]}]: {timestamp_problem(float(ts[bad[0]]))}")
    ts.flags.writeable = False
    return ts


def _datetime_seconds(t: npt.NDArray[np.datetime64]) -> npt.NDArray[np.float64]:
    # Years first: a cast to a finer unit wraps silently where the value does not fit.
    undated = np.isnat(t)
    years = np.where(undated, 1971, t.astype("datetime64[Y]").astype(np.int64) + 1970)
    bad = np.flatnonzero((years < 1970) | (years > 9999))
    if bad.size:
        raise ValueError(f"timestamps[{bad[0]}]: {t[bad[0]]} lies outside the years 1970 to "
                         "9999, which decay can date; NaT marks a document without a date")
    micro = np.where(undated, np.datetime64(0, "us"), t).astype("datetime64[us]").astype(np.int64)
    return np.where(undated, np.nan, micro / 1e6)


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
