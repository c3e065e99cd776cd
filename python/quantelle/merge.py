"""The exact search of a corpus cut into parts: each part's best rows, their union scored once
more, and the proof that no row a part kept back could have changed the result.

`merge` is given a way to ask parts for their best k rows (`Ask`) and knows nothing of how
they are reached: `ShardedCorpus` asks the actors of a cluster, the tests ask `Part`s in this
process. The result is what `Corpus.search` returns over the concatenated rows; why it is
exact, and every margin below, is argued in docs/distributed.md ("Why the result is exact").
"""

from __future__ import annotations

import math
import time
from itertools import repeat
from operator import itemgetter
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from types import ModuleType
from typing import Any, Protocol

import numpy as np
import numpy.typing as npt

import _quantelle

from . import _engine, threads
from .half import release_rows
from .plan import HALF_LIFE_DAYS, NATIVE_DEFAULTS
from .results import Hit

__all__ = ["Answer", "Ask", "Call", "Part", "Unproven", "fingerprint", "merge"]

_U = 2.0**-24  # float32 unit roundoff
_SLACK = 1.001  # rows and queries are unit vectors up to float32 rounding
# Float32 roundings after the dot product: the trajectory mix, the decay product and the
# penalty, on the part and on the client (scores stay within 1.5 in size).
_OPS = 2.0**-19
_READ_SCALE = 2.0**30  # query components read back as scores of rows 2^30 e_i
_READ_ERROR = 5e-5 / _READ_SCALE  # what the 4-decimal rounding leaves of a component read back
_ROUNDED = 5e-5  # how far the module's 4-decimal rounding moves a score


@dataclass(frozen=True, slots=True)
class Call:
    """What one part is asked: its best `k` working rows under `arguments` (those of
    `score_candidates` without the part's own arrays), among the entries of the caller's whole
    list `within` that it holds (in list order), or among all its rows; `mask` is its slice."""

    arguments: dict[str, Any]
    k: int
    within: list[str] | None = None
    mask: npt.NDArray[np.bool_] | None = None


@dataclass(frozen=True, slots=True)
class Answer:
    """A part's best rows by the module's own order, with their global working-set positions."""

    positions: list[int]
    ids: list[str]
    rows: npt.NDArray[np.float32]
    timestamps: npt.NDArray[np.float64] | None
    scores: list[float]
    complete: bool  # every working row that the mask and the threshold keep is here
    held: npt.NDArray[np.bool_] | None = None  # with `within`: the entries of the list it holds
    rescored: int | None = None  # a part with a float16 copy: the rows it scored again in float32


class Ask(Protocol):
    """Sends every call at once and returns each part's answer."""

    def __call__(self, calls: Mapping[int, Call], /) -> Mapping[int, Answer]: ...


class Unproven(TimeoutError):
    """The deadline passed before the answers of `parts` proved the pool."""

    def __init__(self, parts: list[int]) -> None:
        super().__init__(f"parts {parts} could not prove their part of the pool in time")
        self.parts = parts


class Part:
    """Contiguous rows of a corpus, from global row `start`: what one shard holds. With `half`
    (the rows' float16 copy and error bounds, `quantelle.half.convert`), it scans the copy and
    scores again in float32 the rows that could reach its best: the same records, fewer bytes."""

    def __init__(self, matrix: npt.NDArray[np.float32], ids: list[str],
                 timestamps: npt.NDArray[np.float64] | None, start: int,
                 half: tuple[npt.NDArray[np.float16], npt.NDArray[np.float32]] | None = None) -> None:
        self.matrix = matrix
        self.half = half
        self.ids = ids
        self.id_to_idx = {i: r for r, i in enumerate(ids)}
        self.timestamps = timestamps
        self.start = start

    def lookup(self, asked: list[str], liked: list[str]) -> tuple[npt.NDArray[np.bool_],
                                                                  dict[str, npt.NDArray[np.float32]]]:
        """Which entries of `asked` this part holds, and the rows of those of `liked` it holds."""
        idx = self.id_to_idx
        held = np.fromiter(map(idx.__contains__, asked), np.bool_, len(asked))
        return held, {i: np.array(self.matrix[idx[i]]) for i in liked if i in idx}

    def answer(self, call: Call) -> Answer:
        idx = self.id_to_idx
        held = entries = None
        within: list[str] | None = None
        if call.within is not None:
            # One C-level pass over the list; the entries found are then named by this part's
            # own id objects, which the module matches by identity rather than by text.
            found = np.fromiter(map(idx.get, call.within, repeat(-1)), np.int64, len(call.within))
            held = found >= 0
            entries = np.flatnonzero(held)
            within = _picked(self.ids, found[entries])
        m = len(self.ids) if within is None else len(within)
        limit = min(call.k, m)
        records: list[_quantelle._Hit] = []
        rescored = None if self.half is None else 0
        if limit > 0:
            args = dict(call.arguments, matrix=self.matrix, ids=self.ids, id_to_idx=idx,
                        diverse=False, limit=limit, pre_filter_ids=within, mask=call.mask)
            if args.get("recent"):
                args["timestamps"] = self.timestamps
            if self.half is None:
                records = _quantelle.score_candidates(**args)
            else:
                threads.engine_ready()
                records, rescored = _engine.score_f16(*self.half, **args)
                release_rows(self.matrix)
        rows = [idx[r["id"]] for r in records]
        if within is None or entries is None:
            positions = [self.start + r for r in rows]
        else:
            positions = _list_positions(records, within, entries)
        ts = None if self.timestamps is None else np.array(self.timestamps[rows])
        return Answer(positions, [self.ids[r] for r in rows],
                      np.array(self.matrix[rows]).reshape(len(rows), self.matrix.shape[1]), ts,
                      [r["score"] for r in records], limit == m or len(records) < limit, held, rescored)


def _picked(ids: list[str], rows: npt.NDArray[np.int64]) -> list[str]:
    if len(rows) < 2:
        return [ids[r] for r in rows.tolist()]
    return list(itemgetter(*rows.tolist())(ids))


def _list_positions(records: list[_quantelle._Hit], within: list[str],
                    entries: npt.NDArray[np.intp]) -> list[int]:
    """The place in the caller's list of each record: an id listed twice scores twice the same,
    and equal scores rank by position, so the n-th hit of an id is its n-th entry."""
    hit = {r["id"] for r in records}
    at = np.flatnonzero(np.fromiter(map(hit.__contains__, within), np.bool_, len(within)))
    queues: dict[str, list[int]] = {}
    for j, p in zip(at.tolist(), entries[at].tolist(), strict=True):
        queues.setdefault(within[j], []).append(p)
    seen: dict[str, int] = {}
    positions = []
    for r in records:
        n = seen.get(r["id"], 0)
        seen[r["id"]] = n + 1
        positions.append(queues[r["id"]][n])
    return positions


def fingerprint(dim: int, module: ModuleType = _quantelle) -> list[str]:
    """Scores that show the last bits of this process's arithmetic: the one-, two- and
    three-query scans (the query, ``unlike:``, ``from:``/``to:``), the penalty and the decay
    factor, at dimension `dim`. Random rows scaled by 2^16 put every float32 ulp of a score
    above the 4-decimal rounding. Two processes whose fingerprints agree rank every row alike.

    The decay reads the clock: ages are put on the float32 grid of days (2^-9 days apart from
    16,384 days on), so that the age the module computes rounds to the same float32 whatever
    the instant (within a minute) it reads its clock."""
    rng = np.random.default_rng(20261207)
    rows = rng.standard_normal((64, dim)).astype(np.float32) * np.float32(2.0**16)
    ids = [str(i) for i in range(64)]
    query, unlike, start, end = rng.standard_normal((4, dim)).astype(np.float32)
    days = 16384.0 + rng.integers(0, 1 << 20, 64) * 2.0**-9  # 16,384 to 18,432 days old
    kinds: list[dict[str, Any]] = [
        {}, {"not_like_vec": unlike}, {"traj_from_vec": start, "traj_to_vec": end},
        {"not_like_vec": unlike, "traj_from_vec": start, "traj_to_vec": end}, {"recent": True}]
    out = []
    for n, kind in enumerate(kinds):
        if kind.get("recent"):
            kind = dict(kind, recent_days=20000.0, timestamps=time.time() - days * 86400.0)
        records = module.score_candidates(rows, ids, {}, query, limit=64, **kind)
        out += [f"{n} {r['id']} {r['score']!r}" for r in records]
    return out


def merge(arguments: Mapping[str, Any], liked: Mapping[str, npt.NDArray[np.float32]],
          bounds: Sequence[int], ask: Ask, *, same_bits: bool,
          clock_skew: float, deadline: float) -> tuple[list[Hit], list[float] | None]:
    """The hits of one search over parts whose rows are `bounds[s]:bounds[s + 1]`, and under
    ``recent`` their timestamps.

    `arguments` are a prepared query's, without the corpus's arrays; `liked` holds the rows of
    its ``like_ids``; every part is sent the whole ``pre_filter_ids`` list, each of whose ids
    some part holds. `same_bits` says
    that every part scores with this process's bits (`fingerprint`); `clock_skew` bounds in
    seconds how far a part's clock may be off this one. `Unproven` once `deadline`
    (`time.monotonic`) passes while a part still has to be asked again.
    """
    args = dict(arguments)
    listed: list[str] | None = args.pop("pre_filter_ids", None)
    flags: npt.NDArray[np.bool_] | None = args.pop("mask", None)
    like_ids: list[str] | None = args.pop("like_ids", None)
    diverse = bool(args.get("diverse", NATIVE_DEFAULTS["diverse"]))
    limit = int(args.get("limit", NATIVE_DEFAULTS["limit"]))
    pool = int(args.get("oversample", NATIVE_DEFAULTS["oversample"])) if diverse else limit
    # Without the liked rows or the clock in play, and with parts that score with this
    # process's bits, every part ranks exactly as one machine would, so its best `pool`
    # suffice. Otherwise the parts rank by a close stand-in, and a bound on its error proves,
    # part by part, that the rows held back cannot reach the pool, or asks that part for more
    # (docs/distributed.md, points 4 to 7).
    bounded = like_ids is not None or bool(args.get("recent")) or not same_bits
    part_args = {k: v for k, v in args.items() if k not in ("diverse", "limit", "oversample")}
    query_error = 0.0
    if bounded:
        query_error, shipped = _stand_in_query(args["query_vec"], like_ids, liked)
        part_args["query_vec"] = shipped
        cut = float(args.get("threshold", NATIVE_DEFAULTS["threshold"]))
        if cut > 0.0:
            allowance = max(0.0, deadline - time.monotonic()) + clock_skew
            lowered = cut - query_error - _OPS - _decay_error(allowance, args)
            part_args["threshold"] = max(lowered, 0.0)
    slices = _split(bounds, flags)
    # A bounded part is asked for some rows beyond the pool: the bound needs a gap below the
    # cut, and a part whose rows fill the whole pool would have none.
    first = pool + max(8, pool // 8) if bounded and pool else pool
    wanted = {s: first for s in slices}
    answers: dict[int, Answer] = {}
    # dt on the monotonic clock: a wall-clock step during the search would shrink or widen it
    # at random; how far the parts' wall clocks (which only translate ages) may be off is
    # `clock_skew`.
    first_sent = time.monotonic()
    while True:
        answers.update(ask({s: Call(part_args, k, listed, slices[s]) for s, k in wanted.items()}))
        union = _Union([answers[s] for s in sorted(answers)], args, like_ids, liked)
        records = union.score()
        if not bounded or pool == 0:
            break
        ranked = records if not diverse else union.score(diverse=False, limit=pool)
        shift = _decay_error(time.monotonic() - first_sent + clock_skew, args)
        margin = query_error + _OPS + 2.0 * shift
        # A held-back row scores at most its part's last score (rounded: + 5e-5) + margin;
        # below the pool's last exact score (rounded: - 5e-5), or below a threshold that no
        # penalty comes after, it cannot enter the pool.
        floor = ranked[pool - 1]["score"] - _ROUNDED if len(ranked) == pool else -np.inf
        threshold = float(args.get("threshold", NATIVE_DEFAULTS["threshold"]))
        if "not_like_vec" not in args and threshold > 0.0:
            floor = max(floor, threshold)
        wanted = {s: 4 * len(a.positions) for s, a in answers.items()
                  if not a.complete and not a.scores[-1] + _ROUNDED + margin < floor}
        if not wanted:
            break
        if time.monotonic() > deadline:
            raise Unproven(sorted(wanted))
    hits = [Hit(union.ids[int(r["id"])], r["score"]) for r in records]
    stamps = union.timestamps
    return hits, None if stamps is None else [float(stamps[int(r["id"])]) for r in records]


def _split(bounds: Sequence[int],
           flags: npt.NDArray[np.bool_] | None) -> dict[int, npt.NDArray[np.bool_] | None]:
    """Each part's slice of the mask."""
    return {s: None if flags is None else flags[bounds[s]:bounds[s + 1]]
            for s in range(len(bounds) - 1)}


class _Union:
    """The parts' rows in global working-set order (labelled by their place in it), the liked
    rows added after them, masked, so that the module blends the query itself."""

    def __init__(self, answers: list[Answer], args: dict[str, Any], like_ids: list[str] | None,
                 liked: Mapping[str, npt.NDArray[np.float32]]) -> None:
        positions = [p for a in answers for p in a.positions]
        order = np.argsort(np.array(positions, dtype=np.int64), kind="stable")
        every = [i for a in answers for i in a.ids]
        self.ids = [every[j] for j in order]
        dim = len(args["query_vec"])
        rows = (np.concatenate([a.rows for a in answers]) if answers
                else np.zeros((0, dim), np.float32))[order]
        self.labels = [str(j) for j in range(len(self.ids))]
        self.args = dict(args)
        self.timestamps: npt.NDArray[np.float64] | None = None
        if args.get("recent"):
            self.timestamps = np.concatenate(
                [a.timestamps for a in answers if a.timestamps is not None] or [np.zeros(0)])[order]
            self.args["timestamps"] = self.timestamps
        self.id_to_idx: dict[str, int] = {}
        if like_ids is not None:
            extra = sorted(liked)
            n = len(self.ids)
            self.id_to_idx = {i: n + j for j, i in enumerate(extra)}
            rows = np.vstack([rows, *[liked[i][None, :] for i in extra]])
            self.labels += [""] * len(extra)
            self.args["like_ids"] = like_ids
            self.args["mask"] = np.arange(len(self.labels)) < n
            if self.timestamps is not None:
                self.args["timestamps"] = np.concatenate([self.timestamps, np.full(len(extra), np.nan)])
        self.rows = np.ascontiguousarray(rows, dtype=np.float32)

    def score(self, **changes: Any) -> list[_quantelle._Hit]:
        return _quantelle.score_candidates(self.rows, self.labels, self.id_to_idx,
                                           **(self.args | changes))


def _effective_query(query_vec: npt.NDArray[np.float32], like_ids: list[str] | None,
                     liked: Mapping[str, npt.NDArray[np.float32]]) -> npt.NDArray[np.float64]:
    """The unit query the module scores rows with (blended with the liked rows' centroid for
    `like_ids`), read back from the module: the score of the row 2^30 e_i is 2^30 q_i exactly,
    which the 4-decimal rounding leaves within 5e-5 / 2^30 of q_i."""
    d = len(query_vec)
    extra = sorted(liked)
    probe = np.zeros((d + len(extra), d), np.float32)
    probe[np.arange(d), np.arange(d)] = _READ_SCALE
    for j, i in enumerate(extra):
        probe[d + j] = liked[i]
    labels = [str(i) for i in range(d)] + [""] * len(extra)
    out = np.zeros(d)
    records = _quantelle.score_candidates(
        probe, labels, {i: d + j for j, i in enumerate(extra)}, query_vec, limit=d,
        like_ids=like_ids, mask=np.arange(len(labels)) < d)
    for r in records:
        out[int(r["id"])] = r["score"] / _READ_SCALE
    return out


def _stand_in_query(query_vec: npt.NDArray[np.float32], like_ids: list[str] | None,
                    liked: Mapping[str, npt.NDArray[np.float32]]) -> tuple[float, npt.NDArray[np.float32]]:
    """The query the parts rank with, and a bound on how far any row's score under it can lie
    from its score under the module's own effective query.

    Both effective queries (the one blended with the liked rows' centroid, and the
    normalisation of the vector shipped) are read back from the module itself, so the bound
    needs no model of its arithmetic: their distance, plus the rounding of float32 dot products
    of unit vectors (gamma_d each) on both sides for the query, the trajectory and the penalty
    (weights 1, 0.3 and 0.5, so 3.6 gamma_d), and as much again for a part whose kernel rounds
    otherwise and normalises the vectors itself.
    """
    d = len(query_vec)
    gamma = 8.0 * d * _U / (1.0 - d * _U)
    if like_ids is None:
        return gamma * _SLACK, query_vec
    blended = _effective_query(query_vec, like_ids, liked)
    shipped = blended.astype(np.float32)
    normalised = _effective_query(shipped, None, {})
    gap = float(np.linalg.norm(blended - normalised)) + 2.0 * math.sqrt(d) * _READ_ERROR
    size = max(1.0, float(np.linalg.norm(blended)), float(np.linalg.norm(normalised)))
    return gap * _SLACK + gamma * size * _SLACK, shipped


def _decay_error(seconds: float, args: Mapping[str, Any]) -> float:
    """How far decay read `seconds` apart can move a score: 1 / (1 + age / days) moves by at
    most the change of age / days, on scores within 1.5, plus the float32 roundings of age."""
    if not args.get("recent"):
        return 0.0
    days = float(np.float32(args.get("recent_days", HALF_LIFE_DAYS)))
    return 1.5 * (seconds / 86400.0 / days + 8.0 * _U)
