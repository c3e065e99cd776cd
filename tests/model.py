"""A plain NumPy model of `score_candidates` and `mmr_select_py`, written from their described
behaviour: embedding arithmetic in float32 (each operation rounded), timestamps, MMR and output
rounding in double. `trace` also gives the decision margins, to tell a fault from a near-tie."""
import math
import time
from types import SimpleNamespace

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
    """Normalised float32 copy (unchanged unless the squared norm is > 0) and the squared norm."""
    v = np.array(v, dtype=F32)
    s = F32(np.dot(v, v))
    return (v / np.sqrt(s) if s > 0 else v), s


def mmr_greedy(rel, pair, k, lam, keys):
    """Greedy MMR in double: picks [(position, score)] and, per later pick, its margin over the
    best other row (keys name rows: two copies of one row are not a decision)."""
    n = len(rel)
    pair = np.asarray(pair).tolist()  # plain floats: the scan below is in double
    max_sim, selected = [-INF] * n, [False] * n

    def take(r):
        selected[r] = True
        for q in range(n):
            if not math.isnan(pair[r][q]):  # maxNum: a NaN pair value never raises max_sim
                max_sim[q] = max(max_sim[q], pair[r][q])

    picks, gaps = [(0, lam * rel[0])], []
    take(0)
    while len(picks) < k and not all(selected):
        scores = {q: (lam * rel[q]) - ((1.0 - lam) * max_sim[q]) for q in range(n) if not selected[q]}
        best, best_pos = -INF, 0
        for q, sc in scores.items():  # ascending positions, strictly greater: ties to the lower
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
    """`mmr_select_py` as a list of (row, score)."""
    cand = [int(c) for c in candidates]
    if not cand:
        return []
    rows = np.asarray(matrix, dtype=F32)[cand]
    with np.errstate(all="ignore"):
        pair = np.asarray(rows @ rows.T, dtype=F32)
    picks, _ = mmr_greedy([float(similarities[c]) for c in cand], pair, k, lam, keys=cand)
    return [(cand[p], score) for p, score in picks]


def score_candidates(*args, **kwargs):
    return trace(*args, **kwargs).result


def trace(matrix, ids, id_to_idx, query_vec, now=None, **kw):
    """result; raw (its scores before round4); ids and scores of the working set; mmr; margins
    ((what, size) of each decision float32 noise could flip) and margin, their minimum."""
    with np.errstate(all="ignore"):
        out = _trace(np.asarray(matrix, dtype=F32), list(ids), id_to_idx, query_vec,
                     time.time() if now is None else now, **kw)
    out.margin = min((size for _, size in out.margins), default=INF)
    return out


def _trace(m, ids, id_to_idx, query, now, timestamps=None, pre_filter_ids=None, not_like_vec=None,
           diverse=False, limit=10, oversample=200, threshold=0.0, mmr_lambda=0.7, recent=False,
           recent_days=None, like_ids=None, traj_from_vec=None, traj_to_vec=None, mask=None):
    out = SimpleNamespace(result=[], raw=[], ids=[], scores=np.zeros(0, F32), mmr=False, margins=[])
    if not ids:
        return out
    n, d = m.shape
    if len(query) != d:
        raise ValueError(f"Query vector dimension {len(query)} doesn't match cache dimension {d}")
    q, query_norm2 = normalized(query)

    if like_ids is not None:
        liked = [id_to_idx[i] for i in like_ids if i in id_to_idx]
        if not liked:
            return out
        c = np.zeros(d, F32)
        for r in liked:  # in list order: the float32 sum depends on it
            c = c + m[r]
        c, _ = normalized(c / F32(len(liked)))
        q = normalized(q * HALF + c * HALF)[0] if query_norm2 > 0 else c

    direction = None
    if traj_from_vec is not None and traj_to_vec is not None:  # a length-1 end broadcasts
        direction, _ = normalized(np.asarray(traj_to_vec, F32) - np.asarray(traj_from_vec, F32))

    rows, ts, flags, out.ids = list(range(n)), timestamps, mask, ids
    if pre_filter_ids is not None:
        rows = [id_to_idx[i] for i in pre_filter_ids if i in id_to_idx]
        if not rows:
            return out
        ts = None if timestamps is None else np.asarray(timestamps)[rows]
        flags = None if mask is None else np.asarray(mask)[rows]
        out.ids = [ids[r] for r in rows]
    w = m[rows]

    s = np.asarray(w @ q, F32)
    if direction is not None:
        s = s * W_QUERY + np.asarray(w @ direction, F32) * W_DIR
    if recent and ts is not None:
        days = DEFAULT_DAYS if recent_days is None else F32(recent_days)
        for j in range(len(rows)):
            t = float(ts[j])
            if t > 0:  # zero, negative and NaN timestamps keep their score
                age = max((now - t) / 86400.0, 0.0)
                s[j] = ONE / (F32(age) / days + ONE) * s[j]
    if flags is not None:
        s[~np.asarray(flags, bool)[:len(rows)]] = -INF
    cut = F32(threshold)
    if cut > 0:
        judged = s[np.isfinite(s)]
        out.margins += [("threshold", float(np.min(np.abs(judged - cut), initial=INF)))]
        s[s < cut] = -INF
    if not_like_vec is not None:
        s = s - np.asarray(w @ normalized(not_like_vec)[0], F32) * HALF
    out.scores = s

    k = oversample if diverse else limit
    order = [int(p) for p in np.argsort(-s, kind="stable")]  # ties to the lower position
    pool = [p for p in order[:k] if np.isfinite(s[p])]
    if not (diverse and len(pool) > limit):
        out.raw = [float(s[p]) for p in pool[:limit]]
        out.result = [{"id": out.ids[p], "score": round4(x)} for p, x in zip(pool, out.raw)]
        return out

    out.mmr = True
    finite = [p for p in order if np.isfinite(s[p])]
    out.margins += [("first pick", _gap(s, rows, finite, 0))]
    if k < len(finite):
        out.margins += [("pool cut", _gap(s, rows, finite, k - 1))]
    c = w[pool]
    picks, gaps = mmr_greedy([float(s[p]) for p in pool], np.asarray(c @ c.T, dtype=F32), limit, mmr_lambda,
                             keys=[rows[p] for p in pool])
    out.margins += [("mmr pick", g) for g in gaps]
    out.raw = [score for _, score in picks]
    out.result = [{"id": out.ids[pool[i]], "score": round4(score)} for i, score in picks]
    return out


def _gap(s, rows, order, i):
    """How far order[i]'s score stands above the next score of a different row."""
    nxt = [s[p] for p in order[i + 1:] if rows[p] != rows[order[i]]]
    return float(s[order[i]] - nxt[0]) if nxt else INF
