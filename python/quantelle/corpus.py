"""A corpus of embedded documents and a search driven by a modifier string.

The native module `_quantelle` scores vectors; it never sees text and never reads the dict that its
own `parse_modifiers` returns. `Corpus` keeps the arrays that `score_candidates` wants in the form
it wants them; `quantelle.plan` turns a query, a modifier string and the keywords into the rest
of the call, with the texts it names embedded. One key, ``local_communities``, has no native
counterpart: the layer reports it in the result's notes and changes nothing (see
`Corpus.prepare`).

A corpus changes in place (`add`, `remove`) and lives on disk (`save`, `open`); its storage is
`quantelle.state`, whose snapshots let a search run while another thread changes the corpus.
"""

from __future__ import annotations

import copy
import dataclasses
import os
import time
from collections.abc import Mapping, Sequence
from typing import Any, Unpack

import numpy as np
import numpy.typing as npt

import _quantelle

from . import _engine, half, many, plan, saved, threads
from .dates import MAX_TIMESTAMP, epoch_seconds, timestamp_problem
from .documents import id_list, metadata_list, str_list, text_list, unit_rows, vector_rows
from .frozen import Growing, frozen_copy
from .plan import Embed, Options, checked_vector, real_array
from .results import Hit, Prepared, SearchResult, plain_hits, undated_notes
from .state import State, Store
from .where import Evaluation

__all__ = ["MAX_TIMESTAMP", "Corpus", "Embed", "Hit", "Options", "Prepared", "SearchResult",
           "timestamp_problem"]


class Corpus:
    """Document embeddings held the way `score_candidates` reads them fastest.

    `matrix` is copied into a read-only, C-contiguous float32 array whose rows are scaled to unit
    length, so that scores are cosine similarities (an all-zero row stays zero). `ids` must be
    distinct strings, one per row. `timestamps`, if given, holds one date per row: epoch seconds
    (kept as float64; NaN, or any value not above 0, marks a document without a date, which
    temporal decay leaves unchanged), or a ``datetime64`` array of any unit, NaT for no date.
    `embed` is the default text-to-vector callable of `search`. `texts` (a str or None per row)
    and `metadata` (a dict of JSON values or None per row) are kept beside the rows: hits carry
    them, and ``where=`` filters on the metadata. ``storage="float16"``: see `quantelle.half`.

    The corpus changes in place: `add` appends documents, `remove` drops them, and every search
    returns what a corpus built from the live documents would. `save` writes it to a directory
    and `Corpus.open` reads it back (memory-mapped by default). Searches may run in any thread,
    also while another thread changes the corpus: each sees it before or after the change.

    Raises `ValueError` when shapes, dtypes or lengths do not fit together or a value is not
    finite, `TypeError` for an id that is not a str.
    """

    __slots__ = ("_embed", "_half", "_layout", "_store")

    def __init__(
        self,
        matrix: npt.ArrayLike,
        ids: Sequence[str],
        timestamps: npt.ArrayLike | None = None,
        *,
        embed: Embed | None = None,
        texts: Sequence[str | None] | None = None,
        metadata: Sequence[Mapping[str, Any] | None] | None = None,
        storage: str = "float32",
    ) -> None:
        rows = unit_rows(vector_rows(matrix, "matrix"))
        n = rows.shape[0]
        docs = id_list(ids, n, "matrix")
        ts = None if timestamps is None else epoch_seconds(timestamps, n)
        kept_texts, kept_metadata = text_list(texts, n), metadata_list(metadata, n)
        stored = Growing(np.float32, rows.shape[1], n)
        stored.append(rows)
        stamps = None
        if ts is not None:
            stamps = Growing(np.float64, 0, n)
            stamps.append(ts)
        self._store = Store(stored, docs, stamps, kept_texts, kept_metadata)
        self._embed = embed
        self._layout: saved.Layout | None = None
        self._half = half.copy_for(self._store, storage)

    @classmethod
    def open(cls, directory: str | os.PathLike[str], *, mmap: bool = True,
             verify: bool | None = None, embed: Embed | None = None,
             storage: str = "float32") -> Corpus:
        """The corpus that `save` (or `write_shards`) wrote to `directory`.

        With `mmap` (the default) a directory of one shard is memory-mapped: opening costs what
        reading the ids costs, and the first searches read the rows from storage as the page
        cache fills. Several shards, or ``mmap=False``, are read into memory. Every file is
        checked against the manifest (plain names, regular files, sizes, dtypes, shapes, C
        order, counts, distinct ids, dates), and every file read is hashed and compared with
        the SHA-256 the manifest records. `verify` also hashes a mapped row file and checks
        each row to be finite and of unit length; by default rows are checked where they are
        read into memory, not where they are mapped. `StorageError` (a `ValueError`) names the
        file and what is wrong with it. `storage` is the constructor's; ``"float16"`` takes the
        float16 copy saved with the corpus where there is one (mapped or read as the rows are,
        and with `verify` also compared with the copy the rows give), else converts the rows.
        """
        wanted = half.check_storage(storage)
        self = cls.__new__(cls)
        self._store, self._layout, copy = saved.open_directory(directory, mmap, verify,
                                                               wanted == "float16")
        self._store.on_compact.append(self._compacted)
        self._embed = embed
        self._half = half.copy_for(self._store, wanted, copy)
        return self

    def save(self, directory: str | os.PathLike[str], *, storage: str | None = None) -> None:
        """Write the corpus to `directory` (created if needed), for `Corpus.open`,
        `write_shards`'s readers and `ShardedCorpus.from_directory`.

        Writes are atomic: each file goes to a temporary name and is renamed once it is on
        disk, and the manifest comes last, so a save that fails or is cut short leaves the
        previous corpus there readable. Saving again where the corpus was last opened or saved
        rewrites only what changed: shards that lost documents, and one shard for the documents
        added since. `FileExistsError` for a directory that holds other files; `add` and
        `remove` wait while a save runs, searches do not. ``storage="float16"`` saves the
        float16 copy too (converting the rows if the corpus keeps none), ``"float32"`` the rows
        alone; by default the copy is saved where the corpus keeps one.
        """
        kept = self._half
        wanted = ("float32" if kept is None else "float16") if storage is None else \
            half.check_storage(storage)
        with self._store.lock:
            self._store.flush()
            state = self._store.state
            copy = None if kept is None else (lambda: kept.arrays(state))
            self._layout = saved.save_state(directory, state, self.dim, self._layout,
                                            wanted == "float16", copy)
            if self._compacted not in self._store.on_compact:
                self._store.on_compact.append(self._compacted)

    def _compacted(self, before: State, after: State) -> None:
        if self._layout is not None:
            self._layout = saved.remap(self._layout, before)

    def _clean(self) -> State:
        return self._store.clean()

    @property
    def matrix(self) -> npt.NDArray[np.float32]:
        """(n, dim) float32, C-contiguous, unit rows, read-only: the live documents' rows.

        Like `ids`, `id_to_idx`, `timestamps`, `texts` and `metadata`, it describes the corpus
        as it is now; read them again after `add` or `remove` (reading one after a `remove`
        compacts the storage first)."""
        return self._clean().rows()

    @property
    def ids(self) -> list[str]:
        """The id of each row, in row order (do not modify)."""
        return self._clean().epoch.ids

    @property
    def id_to_idx(self) -> dict[str, int]:
        """Row of each id (do not modify)."""
        return self._clean().epoch.id_to_row

    @property
    def timestamps(self) -> npt.NDArray[np.float64] | None:
        """Epoch seconds per row (float64, read-only), or None for an undated corpus."""
        return self._clean().timestamps()

    @property
    def texts(self) -> list[str | None] | None:
        """The text of each row (None where a document has none), or None (do not modify)."""
        return self._clean().epoch.texts

    @property
    def metadata(self) -> list[dict[str, Any] | None] | None:
        """The metadata of each row (None where a document has none), or None (do not modify)."""
        return self._clean().epoch.metadata

    @property
    def dated(self) -> bool:
        """Whether the corpus has timestamps, which ``recent`` needs."""
        return self._store.current().dated

    @property
    def embed(self) -> Embed | None:
        """The default text-to-vector callable of `search`, or None."""
        return self._embed

    @property
    def dim(self) -> int:
        return int(self._store.state.epoch.rows.width)

    def __len__(self) -> int:
        return self._store.current().live

    def __contains__(self, doc: object) -> bool:
        return isinstance(doc, str) and self._store.current().row_of(doc) is not None

    def documents(self, ids: Sequence[str] | None = None) -> list[tuple[str, str | None,
                                                                          dict[str, Any] | None]]:
        """``(id, text, metadata)`` of each of `ids` the corpus holds, in their order (each
        document once), or of every document in row order; metadata as a copy."""
        state = self._store.current()
        e = state.epoch
        if ids is None:
            found = dict(zip((e.ids[r] for r in state.live_rows().tolist()),
                             state.live_rows().tolist(), strict=True))
        else:
            found = state.rows_of(ids)
        texts = e.texts if state.has_texts else None
        metadata = e.metadata if state.has_metadata else None
        return [(doc, None if texts is None else texts[row],
                 None if metadata is None or metadata[row] is None else copy.deepcopy(metadata[row]))
                for doc, row in found.items()]

    def __repr__(self) -> str:
        dated = ", dated" if self.dated else ""
        return f"Corpus({len(self)} documents x {self.dim} dims{dated})"

    def vector(
        self, text: str, embed: Embed | None = None, *, what: str = "text"
    ) -> npt.NDArray[np.float32]:
        """`embed(text)`, checked to be `dim` finite numbers, as a new float32 array."""
        fn = embed if embed is not None else self._embed
        if fn is None:
            raise plan.no_embed(what, text)
        return checked_vector(fn(text), self.dim, f"embed returned for the {what}")

    def add(self, vectors: npt.ArrayLike, ids: Sequence[str],
            timestamps: npt.ArrayLike | None = None, *,
            texts: Sequence[str | None] | None = None,
            metadata: Sequence[Mapping[str, Any] | None] | None = None) -> None:
        """Append documents: `vectors` (k, dim), and their `ids`, `timestamps`, `texts` and
        `metadata` as the constructor takes them. The errors are the constructor's, and an id
        already in the corpus is one; a failed `add` changes nothing. Documents added without a
        date (or text, or metadata) have none; the earlier ones have none where only later ones
        bring them. Storage grows by doubling, so many small adds cost what one large one does.
        """
        m = real_array(vectors, "vectors")
        if m.ndim != 2 or m.shape[1] == 0:
            raise ValueError(f"vectors must be 2-D with at least one column, got shape {m.shape}")
        if m.shape[1] != self.dim:
            raise ValueError(f"vectors have {m.shape[1]} columns; the corpus has {self.dim} dimensions")
        k = m.shape[0]
        store = self._store
        with store.lock:  # in the constructor's order, so that the first error is its
            store.stage(m)
            docs = id_list(ids, k, "vectors")
            ts = None if timestamps is None else epoch_seconds(timestamps, k)
            kept_texts, kept_metadata = text_list(texts, k), metadata_list(metadata, k)
            store.check_new(docs)
            store.add(docs, ts, kept_texts, kept_metadata)

    def remove(self, ids: Sequence[str]) -> None:
        """Drop the documents of `ids` (each must be in the corpus, else `ValueError` and
        nothing is removed). Their rows are marked dead and skipped by every search; once more
        than a fifth of the stored rows are dead, the storage is compacted."""
        self._store.remove(str_list(ids))

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

        The keywords (`quantelle.Options`: ``within``, ``mask``, ``where``, ``threshold``,
        ``oversample``, ``mmr_lambda``) set what no modifier can; ``where`` (a filter on the
        documents' metadata, see `quantelle.where`) becomes part of ``mask``. Arguments left out take the module's defaults.
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
        return self._prepare(query, modifiers, embed, options, "Corpus.prepare")[1]

    def _prepare(self, query: str | npt.ArrayLike, modifiers: str | None, embed: Embed | None,
                 options: Options, caller: str) -> tuple[State, Prepared]:
        """The state the search reads, taken once, and the query prepared against it."""
        state = self._store.current()
        d = plan.draft(_Snapshot(state, self._embed), query, modifiers, embed, options, caller)
        vectors, seconds = plan.embed_texts(d)
        return state, _prepared(state, d, vectors, seconds)

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
          bool per row, False rows are never returned. `where`: a filter on metadata, such as
          ``{"lang": "en", "year": {"$gte": 2020}}`` (`quantelle.where`). `threshold`: rows scoring below it are
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
        state, prepared = self._prepare(query, modifiers, embed, options, "Corpus.search")
        start = time.perf_counter()
        records, rescored = self._score(prepared.arguments, state)
        elapsed = time.perf_counter() - start
        hits, notes = _hits(records, state, "recent" in prepared.arguments)
        if rescored is not None:
            prepared = dataclasses.replace(prepared, rescored=rescored)
        return SearchResult(hits, prepared, elapsed, notes)

    def search_many(self, queries: Sequence[str | npt.ArrayLike] | npt.ArrayLike,
                    modifiers: str | Sequence[str | None] | None = "", embed: Embed | None = None,
                    **options: Unpack[Options]) -> list[SearchResult]:
        """`search` of each query, in fewer reads of the rows (`quantelle.many`)."""
        return many.search_many(self, queries, modifiers, embed, options)

    def _score(self, arguments: dict[str, Any], state: State) -> tuple[list[_quantelle._Hit], int | None]:
        """The one native call of a search, on the engine's threads, and the rows re-scored (or None)."""
        if self._half is not None:
            return self._half.score(arguments, state)
        threads.engine_ready()
        return _engine.score_candidates(**arguments), None


def _prepared(state: State, d: plan.Draft, vectors: Mapping[str, npt.ArrayLike],
              seconds: float) -> Prepared:
    """The draft finished with its embedded texts, with the arrays of `state` it searches."""
    asked = d.ids
    known = state.rows_of(asked) if asked else {}
    p = plan.finish(d, vectors, known, seconds)
    args: dict[str, Any] = {"matrix": state.rows(), "ids": state.ids(),
                            "id_to_idx": known} | p.arguments
    mask = _rows_mask(state, args.get("mask"), d)
    if mask is not None:
        args["mask"] = mask
    if args.get("recent"):
        args["timestamps"] = state.timestamps()
    return Prepared(args, p.modifiers, p.applied, p.notes, p.embed_seconds)


class _Snapshot:
    """A state as the translation sees a corpus (`plan.Target`)."""

    def __init__(self, state: State, embed: Embed | None) -> None:
        self._state, self.embed = state, embed
        self.dim = int(state.epoch.rows.width)
        self.dated = state.dated

    def __len__(self) -> int:
        return self._state.live


def _rows_mask(state: State, given: npt.NDArray[np.bool_] | None,
               d: plan.Draft) -> npt.NDArray[np.bool_] | None:
    """The mask over stored rows: the live ones, those the caller's `mask` (one flag per live
    document) keeps, and those the ``where`` filter keeps."""
    live = state.mask()
    if given is None and d.where is None:
        return live
    out = np.ones(state.n, np.bool_) if live is None else np.array(live)
    if given is not None:
        if live is None:
            out &= given
        else:
            out[state.live_rows()] &= given
    if d.where is not None:
        metadata = state.epoch.metadata
        out &= Evaluation(state.epoch.indexes, metadata, state.n, live).mask(d.where)
    return frozen_copy(out, np.bool_)


def _hits(records: list[_quantelle._Hit], state: State,
          recent: bool) -> tuple[list[Hit], tuple[str, ...]]:
    """The records as hits, with their texts and metadata, and the notes about them."""
    e = state.epoch
    if not (state.has_texts or state.has_metadata or (recent and state.dated)):
        return plain_hits(records), ()
    found = state.rows_of([r["id"] for r in records])
    rows = [found[r["id"]] for r in records]
    texts = e.texts if state.has_texts else None
    metadata = e.metadata if state.has_metadata else None
    hits = []
    for r, row in zip(records, rows, strict=True):
        m = None if metadata is None else metadata[row]
        hits.append(Hit(r["id"], r["score"], None if texts is None else texts[row],
                        None if m is None else copy.deepcopy(m)))
    notes: tuple[str, ...] = ()
    stamps = state.timestamps()
    if recent and stamps is not None:
        notes = undated_notes([float(stamps[row]) for row in rows])
    return hits, notes
