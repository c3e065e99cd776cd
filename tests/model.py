"""A plain NumPy model of `score_candidates` and `mmr_select_py`, written from their described behaviour.

Embedding arithmetic stays float32 (every product and sum rounded on its own); timestamps, the MMR
stage and the output rounding are double. Besides the result, `trace` returns the decision margins
of the run, so that a differential test can tell a real disagreement from a float32 near-tie.
"""
import math
import time
from dataclasses import dataclass, field

import numpy as np

F32 = np.float32
INF = math.inf
HALF, ONE = F32(0.5), F32(1.0)
W_QUERY, W_DIR = F32(0.7), F32(0.3)  # bit patterns 0x3F333333 and 0x3E99999A
DEFAULT_DAYS = F32(30.0)


def round4(x: float) -> float:
    """Four decimals, halves away from zero, in double."""
    if not math.isfinite(x):
        return x
    y = x * 10000.0
    a = abs(y)
    r = math.floor(a)
    if a - r >= 0.5:  # exact: a and floor(a) share a binade or r is 0
        r += 1.0
    return math.copysign(r, y) / 10000.0


def normalized(v):
    """Normalised float32 copy and the squared norm before scaling; unchanged unless that is > 0."""
    v = np.array(v, dtype=F32)
    s = F32(np.dot(v, v))
    if s > 0:
        v = v / np.sqrt(s)
    return v, s


def matvec(rows, x):
    if len(x) != rows.shape[1]:
        raise ValueError("incompatible matvec")
    return np.asarray(rows @ x, dtype=F32)


def sub(a, b):
    """a - b, a length-1 operand broadcast over the other."""
    if len(a) == len(b) or len(b) == 1 or len(a) == 1:
        return np.asarray(a - b, dtype=F32)
    raise ValueError("incompatible shapes")


def mmr_greedy(rel, pair, k, lam, keys=None):
    """Greedy MMR over positions 0..n-1 in double; returns picks [(position, score)] and, per
    pick after the first, the margin by which it beat the best other row (keys name the row, so
    two copies of one row are not a decision)."""
    n = len(rel)
    if n == 0:
        return [], []
    keys = list(range(n)) if keys is None else keys
    pair = np.asarray(pair).tolist()  # plain floats: the scan below is in double
    one_minus = 1.0 - lam
    max_sim = [-INF] * n
    selected = [False] * n

    def take(r):
        selected[r] = True
        for q in range(n):
            p = pair[r][q]
            if not math.isnan(p):  # maxNum: a NaN pair value never raises max_sim
                max_sim[q] = max(max_sim[q], p)

    picks, gaps = [(0, lam * float(rel[0]))], []
    take(0)
    while len(picks) < k and not all(selected):
        scores = {q: (lam * float(rel[q])) - (one_minus * max_sim[q]) for q in range(n) if not selected[q]}
        best, best_pos = -INF, 0
        for q, sc in scores.items():
            if sc > best:
                best, best_pos = sc, q
        if best == -INF:
            break
        others = [sc for q, sc in scores.items() if keys[q] != keys[best_pos] and not math.isnan(sc)]
        gaps.append(best - max(others, default=-INF))
        picks.append((best_pos, best))
        take(best_pos)
    return picks, gaps


def mmr_select(candidates, similarities, matrix, k, lam):
    return mmr_trace(candidates, similarities, matrix, k, lam)[0]


def mmr_trace(candidates, similarities, matrix, k, lam):
    """`mmr_select_py` as a list of (row, score), and the margins of its picks."""
    cand = [int(c) for c in candidates]
    if not cand:
        return [], []
    rows = np.asarray(matrix, dtype=F32)[cand]
    rel = [float(similarities[c]) for c in cand]
    with np.errstate(all="ignore"):
        pair = np.asarray(rows @ rows.T, dtype=F32)
    picks, gaps = mmr_greedy(rel, pair, k, lam, keys=cand)
    return [(cand[p], score) for p, score in picks], gaps


@dataclass
class Trace:
    result: list
    raw: list = field(default_factory=list)  # each record's score before round4
    ids: list = field(default_factory=list)  # working-set ids
    rows: list = field(default_factory=list)  # working-set rows as matrix row indices
    scores: np.ndarray = field(default_factory=lambda: np.zeros(0, F32))  # final, per working row
    mmr: bool = False
    margins: list = field(default_factory=list)  # (what, size) of each decision float32 noise could flip

    @property
    def margin(self):
        return min((size for _, size in self.margins), default=INF)


def score_candidates(*args, **kwargs):
    return trace(*args, **kwargs).result


def trace(matrix, ids, id_to_idx, query_vec, timestamps=None, pre_filter_ids=None, not_like_vec=None,
          diverse=False, limit=10, oversample=200, threshold=0.0, mmr_lambda=0.7, recent=False,
          recent_days=None, like_ids=None, traj_from_vec=None, traj_to_vec=None, mask=None, now=None):
    with np.errstate(all="ignore"):
        return _trace(np.asarray(matrix, dtype=F32), list(ids), id_to_idx, query_vec, timestamps,
                      pre_filter_ids, not_like_vec, diverse, limit, oversample, threshold, mmr_lambda,
                      recent, recent_days, like_ids, traj_from_vec, traj_to_vec, mask,
                      time.time() if now is None else now)


def _trace(m, ids, id_to_idx, query, timestamps, pre_filter, not_like, diverse, limit, oversample,
           threshold, lam, recent, recent_days, like_ids, traj_from, traj_to, mask, now):
    if not ids:
        return Trace([])
    n, d = m.shape
    if len(query) != d:
        raise ValueError(f"Query vector dimension {len(query)} doesn't match cache dimension {d}")
    q, query_norm2 = normalized(query)

    if like_ids is not None:
        liked = [id_to_idx[i] for i in like_ids if i in id_to_idx]
        if not liked:
            return Trace([])
        c = np.zeros(d, F32)
        for r in liked:  # in list order: the float32 sum depends on it
            c = c + m[r]
        c, _ = normalized(c / F32(len(liked)))
        q = normalized(q * HALF + c * HALF)[0] if query_norm2 > 0 else c

    direction = None
    if traj_from is not None and traj_to is not None:
        direction, _ = normalized(sub(np.asarray(traj_to, F32), np.asarray(traj_from, F32)))

    if pre_filter is None:
        rows = list(range(n))
        ts = timestamps
        flags = mask
    else:
        rows = [id_to_idx[i] for i in pre_filter if i in id_to_idx]
        if not rows:
            return Trace([])
        ts = None if timestamps is None else np.asarray(timestamps)[rows]
        flags = None if mask is None else np.asarray(mask)[rows]
    w = m[rows]
    ws_ids = [ids[r] for r in rows] if pre_filter is not None else ids
    margins = []

    s = matvec(w, q)
    if direction is not None:
        s = s * W_QUERY + matvec(w, direction) * W_DIR
    if recent and ts is not None:
        days = DEFAULT_DAYS if recent_days is None else F32(recent_days)
        for j in range(len(rows)):
            t = float(ts[j])
            if not t > 0:
                continue
            age = max((now - t) / 86400.0, 0.0)
            s[j] = ONE / (F32(age) / days + ONE) * s[j]
    if flags is not None:
        s[~np.asarray(flags, bool)[:len(rows)]] = -INF
    cut = F32(threshold)
    if cut > 0:
        judged = s[np.isfinite(s)]
        margins += [("threshold", float(np.min(np.abs(judged - cut), initial=INF)))]
        s[s < cut] = -INF
    if not_like is not None:
        v, _ = normalized(not_like)
        s = s - matvec(w, v) * HALF

    k = oversample if diverse else limit
    order = [int(p) for p in np.argsort(-s, kind="stable")]  # ties to the lower position
    pool = [p for p in order[:k] if np.isfinite(s[p])]
    out = Trace([], ids=ws_ids, rows=rows, scores=s, margins=margins)
    if not (diverse and len(pool) > limit):
        out.raw = [float(s[p]) for p in pool[:limit]]
        out.result = [{"id": ws_ids[p], "score": round4(x)} for p, x in zip(pool, out.raw)]
        return out

    out.mmr = True
    finite = [p for p in order if np.isfinite(s[p])]
    margins += [("first pick", _gap(s, rows, finite, 0))]
    if k < len(finite):
        margins += [("pool cut", _gap(s, rows, finite, k - 1))]
    c = w[pool]
    picks, gaps = mmr_greedy([float(s[p]) for p in pool], np.asarray(c @ c.T, dtype=F32), limit, lam,
                             keys=[rows[p] for p in pool])
    margins += [("mmr pick", g) for g in gaps]
    out.raw = [score for _, score in picks]
    out.result = [{"id": ws_ids[pool[i]], "score": round4(score)} for i, score in picks]
    return out


def _gap(s, rows, order, i):
    """How far order[i]'s score stands above the next score of a different row."""
    nxt = [s[p] for p in order[i + 1:] if rows[p] != rows[order[i]]]
    return float(s[order[i]] - nxt[0]) if nxt else INF
