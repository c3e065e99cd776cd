"""What a user would write instead of `_quantelle`: NumPy (with OpenBLAS), faiss-cpu and usearch's
exact search, used plainly, one query at a time and many at once."""

from __future__ import annotations

import contextlib
import os
from collections.abc import Callable, Iterator
from typing import Any, ContextManager

import numpy as np

LIMIT = 10
THREADS = len(os.sched_getaffinity(0))  # "default threads": every CPU this process may use

try:
    import threadpoolctl
except ImportError:  # the 1-thread NumPy figures need it; the bench says so and skips them
    threadpoolctl = None  # type: ignore[assignment]

try:
    import faiss
except ImportError:
    faiss = None  # type: ignore[assignment]

try:
    import usearch
    from usearch.index import MetricKind
    from usearch.index import search as usearch_search
except ImportError:
    usearch = None  # type: ignore[assignment]


class Threads:
    """Thread limits for NumPy's BLAS (threadpoolctl), and the BLAS libraries this process loaded."""

    def __init__(self) -> None:
        self.controller = threadpoolctl.ThreadpoolController() if threadpoolctl else None

    @property
    def available(self) -> bool:
        return self.controller is not None

    def one(self) -> Callable[[], ContextManager[object]]:
        controller = self.controller
        if controller is None:
            raise RuntimeError("threadpoolctl is not installed")
        return lambda: controller.limit(limits=1, user_api="blas")

    def info(self) -> list[dict[str, Any]]:
        if self.controller is None:
            return []
        return [dict(lib.info()) for lib in self.controller.lib_controllers]

    def numpy_blas(self) -> dict[str, Any] | None:
        """The BLAS that NumPy itself links (not one that another package brought along)."""
        for lib in self.info():
            if lib.get("user_api") == "blas" and "numpy" in str(lib.get("filepath", "")):
                return lib
        blas = [lib for lib in self.info() if lib.get("user_api") == "blas"]
        return blas[0] if blas else None


def numpy_top_k(matrix: np.ndarray, query: np.ndarray, ids: list[str]) -> list[tuple[str, float]]:
    """`m @ q`, then argpartition for the best LIMIT, sorted, with ids and scores as Python objects."""
    scores = matrix @ query
    n = scores.shape[0]
    part = np.argpartition(scores, n - LIMIT)[n - LIMIT :] if n > LIMIT else np.arange(n)
    top = part[np.argsort(-scores[part], kind="stable")]
    return [(ids[i], float(scores[i])) for i in top.tolist()]


def numpy_mmr(candidates: list[int], similarities: np.ndarray, matrix: np.ndarray, k: int, lam: float) -> list[tuple[int, float]]:
    """Gather the pool, its Gram `S @ S.T` (one BLAS call), then the greedy loop on NumPy vectors."""
    rows = np.asarray(candidates, dtype=np.intp)
    count = rows.shape[0]
    if count == 0:
        return []
    pool = matrix[rows]
    gram = pool @ pool.T
    relevance = lam * similarities[rows]
    redundancy = np.float32(1.0 - lam)
    picked = np.zeros(count, dtype=bool)
    picked[0] = True
    out = [(int(rows[0]), float(relevance[0]))]
    max_sim = gram[0].copy()
    score = np.empty(count, dtype=np.float32)
    for _ in range(min(max(k, 1), count) - 1):
        np.multiply(max_sim, -redundancy, out=score)
        score += relevance
        score[picked] = -np.inf
        j = int(np.argmax(score))
        out.append((int(rows[j]), float(score[j])))
        picked[j] = True
        np.maximum(max_sim, gram[j], out=max_sim)
    return out


def numpy_mmr_lazy(candidates: list[int], similarities: np.ndarray, matrix: np.ndarray, k: int,
                   lam: float) -> list[tuple[int, float]]:
    """The careful form: gather the pool, then one `pool @ pool[j]` per pick (no Gram)."""
    rows = np.asarray(candidates, dtype=np.intp)
    count = rows.shape[0]
    if count == 0:
        return []
    pool = matrix[rows]
    relevance = lam * similarities[rows]
    redundancy = np.float32(1.0 - lam)
    picked = np.zeros(count, dtype=bool)
    picked[0] = True
    out = [(int(rows[0]), float(relevance[0]))]
    steps = min(max(k, 1), count) - 1
    max_sim = pool @ pool[0] if steps else None
    score = np.empty(count, dtype=np.float32)
    for step in range(steps):
        np.multiply(max_sim, -redundancy, out=score)
        score += relevance
        score[picked] = -np.inf
        j = int(np.argmax(score))
        out.append((int(rows[j]), float(score[j])))
        picked[j] = True
        if step + 1 < steps:  # the last pick's row is never needed
            np.maximum(max_sim, pool @ pool[j], out=max_sim)
    return out


def top_of(scores: np.ndarray, ids: list[str]) -> list[tuple[str, float]]:
    n = scores.shape[0]
    part = np.argpartition(scores, n - LIMIT)[n - LIMIT :] if n > LIMIT else np.arange(n)
    top = part[np.argsort(-scores[part], kind="stable")]
    return [(ids[i], float(scores[i])) for i in top.tolist()]


def numpy_many(matrix: np.ndarray, queries: np.ndarray, ids: list[str]) -> list[list[tuple[str, float]]]:
    """`m @ Q.T` (the n x nq score matrix), then argpartition per query."""
    scores = matrix @ queries.T
    return [top_of(scores[:, j], ids) for j in range(queries.shape[0])]


def usearch_available() -> bool:
    return usearch is not None


def usearch_version() -> str | None:
    return getattr(usearch, "__version__", None) if usearch else None


def usearch_top_k(matrix: np.ndarray, query: np.ndarray, ids: list[str], threads: int) -> Any:
    """usearch's exact (brute-force) search on the caller's array; 1 - distance is the dot."""
    found = usearch_search(matrix, query, LIMIT, MetricKind.IP, exact=True, threads=threads)
    if query.ndim == 1:
        return [(ids[k], 1.0 - d) for k, d in zip(found.keys.tolist(), found.distances.tolist())]
    return [[(ids[k], 1.0 - d) for k, d in zip(keys, dist)]
            for keys, dist in zip(found.keys.tolist(), found.distances.tolist())]


@contextlib.contextmanager
def faiss_threads(n: int) -> Iterator[None]:
    """faiss at n OpenMP threads for the duration, back to one after."""
    faiss.omp_set_num_threads(n)
    try:
        yield
    finally:
        faiss.omp_set_num_threads(1)


def faiss_many(index: Any, queries: np.ndarray, ids: list[str]) -> list[list[tuple[str, float]]]:
    dist, rows = index.search(queries, LIMIT)
    return [[(ids[i], float(s)) for i, s in zip(r, d) if i >= 0] for r, d in zip(rows.tolist(), dist.tolist())]


def faiss_available() -> bool:
    return faiss is not None


def faiss_version() -> str | None:
    return getattr(faiss, "__version__", None) if faiss else None


def faiss_one_thread() -> None:
    """faiss's OpenMP pool stays at one thread between its N-thread cases (faiss_threads), so no
    idle worker spins beside the other contenders."""
    if faiss is not None:
        faiss.omp_set_num_threads(1)


def faiss_index(matrix: np.ndarray) -> Any:
    """IndexFlatIP holds its own copy of the rows (that is how the index works): built untimed."""
    index = faiss.IndexFlatIP(matrix.shape[1])
    index.add(matrix)
    return index


def faiss_index_top_k(index: Any, query: np.ndarray, ids: list[str]) -> list[tuple[str, float]]:
    dist, rows = index.search(query[None, :], LIMIT)
    return [(ids[i], float(s)) for i, s in zip(rows[0].tolist(), dist[0].tolist()) if i >= 0]


def faiss_knn_top_k(matrix: np.ndarray, query: np.ndarray, ids: list[str]) -> list[tuple[str, float]]:
    """faiss's brute force straight on the caller's array (no index, no copy)."""
    dist, rows = faiss.knn(query[None, :], matrix, LIMIT, metric=faiss.METRIC_INNER_PRODUCT)
    return [(ids[i], float(s)) for i, s in zip(rows[0].tolist(), dist[0].tolist()) if i >= 0]
