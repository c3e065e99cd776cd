"""One search against one state of a corpus: the native call's arguments, and its hits.

A state is taken once per search (`quantelle.state`), so that everything here reads the same
rows, ids and dates while another thread changes the corpus.
"""

from __future__ import annotations

import copy
from typing import Any

import numpy as np
import numpy.typing as npt

import _quantelle

from . import plan
from .frozen import frozen_copy
from .plan import Embed, Options
from .results import Hit, Prepared, undated_notes
from .state import State
from .where import Evaluation

__all__ = ["hits", "prepare"]


def prepare(state: State, default_embed: Embed | None, query: str | npt.ArrayLike,
            modifiers: str | None, embed: Embed | None, options: Options,
            caller: str) -> Prepared:
    """The query prepared against `state`: the arguments of `score_candidates` over its rows."""
    d = plan.draft(_Snapshot(state, default_embed), query, modifiers, embed, options, caller)
    vectors, seconds = plan.embed_texts(d)
    known = state.rows_of(d.ids) if d.ids else {}
    p = plan.finish(d, vectors, known, seconds)
    args: dict[str, Any] = {"matrix": state.rows(), "ids": state.epoch.ids,
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


def hits(records: list[_quantelle._Hit], state: State,
          recent: bool) -> tuple[list[Hit], tuple[str, ...]]:
    """The records as hits, with their texts and metadata, and the notes about them."""
    e = state.epoch
    if not (state.has_texts or state.has_metadata or (recent and state.dated)):
        return [Hit(r["id"], r["score"]) for r in records], ()
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
