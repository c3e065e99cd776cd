"""Seeded inputs for one grid point, built once, outside every timed region, and shared by all contenders."""

from __future__ import annotations

import time
from dataclasses import dataclass
from typing import Any

import numpy as np

SEED = 20_240_601
LIKE_COUNT = 5
PRE_FILTER_FRACTION = 0.10
MASK_KEEP = 0.90
THRESHOLD = 0.02
DAY = 86_400.0


@dataclass
class Workload:
    n: int
    d: int
    matrix: np.ndarray  # (n, d) float32, C-contiguous, unit rows
    ids: list[str]
    id_to_idx: dict[str, int]
    query: np.ndarray  # (d,) float32, unit
    timestamps: np.ndarray  # (n,) float64 epoch seconds within the last three years
    like_ids: list[str]
    traj_from: np.ndarray
    traj_to: np.ndarray
    not_like: np.ndarray
    mask: np.ndarray  # (n,) bool, about 90 % True
    pre_filter_rows: np.ndarray  # int64, 10 % of the rows, distinct, in random order
    pre_filter_ids: list[str]
    pre_filter_unknown: list[str]  # same count and lengths, none of them in id_to_idx
    build_seconds: float = 0.0

    @property
    def nbytes(self) -> int:
        return int(self.matrix.nbytes)


def unit(rng: np.random.Generator, d: int) -> np.ndarray:
    v = rng.standard_normal(d, dtype=np.float32)
    return (v / np.linalg.norm(v)).astype(np.float32)


def unit_rows(rng: np.random.Generator, n: int, d: int) -> np.ndarray:
    """Gaussian rows scaled to unit length, in chunks so the peak is one matrix, not two."""
    m = np.empty((n, d), dtype=np.float32)
    step = 1 << 16
    for lo in range(0, n, step):
        block = rng.standard_normal((min(step, n - lo), d), dtype=np.float32)
        block /= np.linalg.norm(block, axis=1, keepdims=True)
        m[lo : lo + block.shape[0]] = block
    return m


def doc_id(i: int) -> str:
    return f"doc/{i:07d}"


def build(n: int, d: int, seed: int = SEED) -> Workload:
    started = time.perf_counter()
    rng = np.random.default_rng([seed, n, d])
    matrix = unit_rows(rng, n, d)
    ids = [doc_id(i) for i in range(n)]
    id_to_idx = {s: i for i, s in enumerate(ids)}
    # A query near one document, so there is a real best match rather than noise alone.
    anchor = matrix[int(rng.integers(n))]
    query = anchor + unit(rng, d)
    query = (query / np.linalg.norm(query)).astype(np.float32)
    now = time.time()
    timestamps = now - rng.uniform(0.0, 3 * 365 * DAY, n)
    like_rows = rng.choice(n, size=min(LIKE_COUNT, n), replace=False)
    pre_rows = rng.choice(n, size=max(1, int(n * PRE_FILTER_FRACTION)), replace=False).astype(np.int64)
    pre_ids = [ids[int(r)] for r in pre_rows]
    return Workload(
        n=n,
        d=d,
        matrix=matrix,
        ids=ids,
        id_to_idx=id_to_idx,
        query=query,
        timestamps=timestamps,
        like_ids=[ids[int(r)] for r in like_rows],
        traj_from=unit(rng, d),
        traj_to=unit(rng, d),
        not_like=unit(rng, d),
        mask=rng.random(n) < MASK_KEEP,
        pre_filter_rows=pre_rows,
        pre_filter_ids=pre_ids,
        pre_filter_unknown=[s.replace("doc/", "zzz/") for s in pre_ids],
        build_seconds=time.perf_counter() - started,
    )


def all_modulations(w: Workload) -> dict[str, Any]:
    """Keyword arguments that switch on every modulation at once."""
    return {
        "timestamps": w.timestamps,
        "not_like_vec": w.not_like,
        "threshold": THRESHOLD,
        "recent": True,
        "like_ids": w.like_ids,
        "traj_from_vec": w.traj_from,
        "traj_to_vec": w.traj_to,
        "mask": w.mask,
    }
