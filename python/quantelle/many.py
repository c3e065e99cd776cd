"""`Corpus.search_many`: many queries, each answered exactly as `Corpus.search` answers it alone.

Each query goes through the same translation as `search` (`quantelle.plan`); the texts of all
of them are embedded in one `embed_many` call where the embed callable has one. The engine then
scores the queries that share the corpus's rows together: each block of rows is read once for
up to 64 query vectors (a query with ``from:``/``to:`` or ``unlike:`` takes two or three), and
each query keeps only its best rows as the blocks pass, so memory grows with the number of
queries times their limits, never with the rows times the queries.

A float16 corpus (`quantelle.half`) is scored here from its float32 rows too: one pass for many
queries costs a fraction of a float16 scan per query, and the hits are the same; `rescored` is
None. Its mapped float32 rows then stay resident, as a float32 corpus's do.

An error is the one `search` raises for the first query that fails, with a note naming it.
"""

from __future__ import annotations

import time
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from . import _engine, plan, threads
from . import corpus as _corpus
from .results import SearchResult

if TYPE_CHECKING:
    from .corpus import Corpus
    from .plan import Draft, Embed

__all__ = ["search_many"]


def search_many(corpus: Corpus, queries: Sequence[str | npt.ArrayLike] | npt.ArrayLike,
                modifiers: str | Sequence[str | None] | None, embed: Embed | None,
                options: Mapping[str, Any]) -> list[SearchResult]:
    """One `SearchResult` per query, in order (see `Corpus.search_many`)."""
    for name in options:
        if name not in plan.Options.__annotations__:
            raise TypeError(f"Corpus.search_many() got an unexpected keyword argument {name!r}")
    given = _query_list(queries)
    per_query = _modifier_list(modifiers, len(given))
    state = corpus._store.current()
    target = _corpus._Snapshot(state, corpus._embed)
    failed: dict[int, BaseException] = {}
    drafts: dict[int, Draft] = {}
    for i, (query, mods) in enumerate(zip(given, per_query, strict=True)):
        try:
            drafts[i] = plan.draft(target, query, mods, embed, options, "Corpus.search_many")
        except Exception as e:  # raised below, for the first query that fails
            failed[i] = e
    vectors, seconds = _embed_all(drafts, failed)
    prepared = {}
    for i, d in drafts.items():
        if i not in failed:
            try:
                prepared[i] = _corpus._prepared(state, d, vectors[i], seconds[i])
            except Exception as e:
                failed[i] = e
    # Only the queries before the first that failed need scoring: one of them may fail first.
    order = sorted(i for i in prepared if i < min(failed, default=len(given)))
    calls = [prepared[i].arguments for i in order]
    threads.engine_ready()
    if corpus._half is not None:
        corpus._half.scanned()
    start = time.perf_counter()
    try:
        records = _engine.score_many(calls)
    except Exception as e:
        at, alone = _first_failing(calls)
        failed[order[at]] = e if alone is None else alone
    if failed:
        first = min(failed)
        error = failed[first]
        error.add_note(f"search_many: raised for queries[{first}]")
        raise error
    each = (time.perf_counter() - start) / max(len(order), 1)
    results = []
    for i, found in zip(order, records, strict=True):
        hits, notes = _corpus._hits(found, state, "recent" in prepared[i].arguments)
        results.append(SearchResult(hits, prepared[i], each, notes))
    return results


def _first_failing(calls: list[dict[str, Any]]) -> tuple[int, Exception | None]:
    """The first call that fails on its own, and its error (score_many names none); (0, None)
    where each succeeds alone (the whole failed, for memory say)."""
    for i, call in enumerate(calls):
        try:
            _engine.score_many([call])
        except Exception as alone:
            return i, alone
    return 0, None


def _query_list(queries: Sequence[str | npt.ArrayLike] | npt.ArrayLike) -> list[Any]:
    """The queries one by one: the texts or vectors of a list, or the rows of an (nq, d) array."""
    if isinstance(queries, (str, bytes)):
        raise TypeError("queries must be a list of texts or an (nq, d) array, not one "
                        f"{type(queries).__name__}")
    if isinstance(queries, np.ndarray):
        if queries.ndim != 2:
            raise ValueError(f"an array of queries must have two dimensions (nq, d), got shape "
                             f"{queries.shape}")
        return list(queries)
    if not isinstance(queries, Sequence):
        raise TypeError("queries must be a list of texts or an (nq, d) array, not "
                        f"{type(queries).__name__}")
    return list(queries)


def _modifier_list(modifiers: str | Sequence[str | None] | None, n: int) -> list[str | None]:
    """One modifier string per query: the one given for all, or those of a list of n."""
    if modifiers is None or isinstance(modifiers, str):
        return [modifiers] * n
    if not isinstance(modifiers, Sequence):
        raise TypeError("modifiers must be a string or a list of one string per query, not "
                        f"{type(modifiers).__name__}")
    out = list(modifiers)
    if len(out) != n:
        raise ValueError(f"{len(out)} modifier strings for {n} queries: give one for all "
                         "queries or one per query")
    return out


def _embed_all(drafts: Mapping[int, Draft], failed: dict[int, BaseException]
               ) -> tuple[dict[int, dict[str, npt.ArrayLike]], dict[int, float]]:
    """Each draft's texts embedded, those of drafts with the same embed callable in one
    `embed_many` call where it has one (else one call per text, as `search` makes them); a
    draft with texts and no callable fails as it does in `search`. The seconds are shared out
    by the number of texts."""
    vectors: dict[int, dict[str, npt.ArrayLike]] = {i: {} for i in drafts}
    seconds = dict.fromkeys(drafts, 0.0)
    batches: dict[int, tuple[Embed, list[int]]] = {}
    for i, d in drafts.items():
        if not d.texts:
            continue
        if d.embed is None:
            _, what, text = d.texts[0]
            failed[i] = plan.no_embed(what, text)
        else:
            batches.setdefault(id(d.embed), (d.embed, []))[1].append(i)
    for embed, members in batches.values():
        many = getattr(embed, "embed_many", None)
        if many is None:
            for i in members:
                try:
                    vectors[i], seconds[i] = plan.embed_texts(drafts[i])
                except Exception as e:
                    failed[i] = e
            continue
        texts = [text for i in members for _, _, text in drafts[i].texts]
        start = time.perf_counter()
        out = many(texts)
        share = (time.perf_counter() - start) / len(texts)
        if len(out) != len(texts):
            raise ValueError(f"embed_many returned {len(out)} vectors for {len(texts)} texts")
        at = 0
        for i in members:
            for name, _, _ in drafts[i].texts:
                vectors[i][name] = out[at]
                at += 1
            seconds[i] = share * len(drafts[i].texts)
    return vectors, seconds
