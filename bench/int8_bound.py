"""How many rows a search would have to re-score in float32 if the scan read 8-bit rows (one
float32 scale per row) instead of float16 ones, under the same kind of bound: a row stays a
candidate while its approximate score plus ‖q‖ · e_i can reach the k-th best approximate score
minus its own bound, e_i = ‖x_i − x̃_i‖. Computed in NumPy, no scan is written; the float16
column uses the same arithmetic and so checks it against `bench/half.py`'s re-score counts.

    python bench/int8_bound.py                       # 1M x 384 random unit rows, 20 queries
    python bench/int8_bound.py --minilm              # the demo corpus embedded with MiniLM too

Every count is also checked to hold the exact top k (the float32 rows' own scores).
"""

import argparse
import statistics

import numpy as np

import workload

_CHUNK = 1 << 16


def int8_copy(rows: np.ndarray) -> np.ndarray:
    """The rows as a per-row scale times int8 codes in [-127, 127], back in float32."""
    scale = (np.abs(rows).max(axis=1) / np.float32(127)).astype(np.float32)
    safe = np.where(scale > 0, scale, np.float32(1))[:, None]
    codes = np.clip(np.rint(rows / safe), -127, 127).astype(np.int8)
    return codes.astype(np.float32) * safe


def half_copy(rows: np.ndarray) -> np.ndarray:
    return rows.astype(np.float16).astype(np.float32)


def approximate(m: np.ndarray, copy) -> tuple[np.ndarray, np.ndarray]:
    """Each row's approximation and its error ‖x − x̃‖ (float64), a chunk of rows at a time."""
    approx = np.empty_like(m)
    errors = np.empty(len(m))
    for lo in range(0, len(m), _CHUNK):
        x = m[lo:lo + _CHUNK]
        approx[lo:lo + _CHUNK] = copy(x)
        errors[lo:lo + _CHUNK] = np.linalg.norm(x.astype(np.float64) - approx[lo:lo + _CHUNK], axis=1)
    return approx, errors


def candidates(m: np.ndarray, approx: np.ndarray, errors: np.ndarray, q: np.ndarray,
               ks: tuple[int, ...]) -> list[int]:
    """For each k, the rows whose upper end reaches the k-th best lower end; fails unless they
    hold the top k. Dot products in float32: 1e-6 more on each bound covers their rounding."""
    bound = float(np.linalg.norm(q.astype(np.float64))) * errors + 1e-6
    guess = (approx @ q).astype(np.float64)
    exact = m @ q
    low, high = guess - bound, guess + bound
    out = []
    for k in ks:
        floor = np.partition(low, len(m) - k)[len(m) - k]
        kept = high >= floor
        top = np.argpartition(-exact, k - 1)[:k]
        assert kept[top].all(), "a row of the exact top k fell outside the candidates"
        out.append(int(kept.sum()))
    return out


def report(name: str, m: np.ndarray, queries: np.ndarray) -> None:
    print(f"{name}: {m.shape[0]:,} rows x {m.shape[1]}, {len(queries)} queries")
    ks = (10, 200)
    for label, copy in (("float16", half_copy), ("int8 + scale", int8_copy)):
        approx, errors = approximate(m, copy)
        print(f"  {label:13s} row error median {np.median(errors):.2e}, worst {errors.max():.2e}")
        counts = np.array([candidates(m, approx, errors, q, ks) for q in queries])
        for k, column in zip(ks, counts.T, strict=True):
            print(f"    candidates for the best {k:3d}: median {statistics.median(column.tolist()):.0f}, "
                  f"worst {column.max()}")


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--rows", type=int, default=1_000_000)
    p.add_argument("--dim", type=int, default=384)
    p.add_argument("--queries", type=int, default=20)
    p.add_argument("--minilm", action="store_true", help="also the demo corpus embedded with MiniLM")
    args = p.parse_args()
    rng = np.random.default_rng(1)
    m = workload.unit_rows(rng, args.rows, args.dim)
    report("random unit rows", m, np.stack([workload.unit(rng, args.dim) for _ in range(args.queries)]))
    if args.minilm:
        from half_minilm import QUERIES
        from quantelle.demo import cli
        from quantelle.demo.cache import default_cache_dir
        from quantelle.minilm import MiniLMEmbedder
        embedder = MiniLMEmbedder()
        demo = cli.build_corpus("all", embedder, default_cache_dir())
        report("demo corpus, all-MiniLM-L6-v2", np.ascontiguousarray(demo.corpus.matrix, np.float32),
               np.asarray(embedder.embed_many(QUERIES), np.float32))


if __name__ == "__main__":
    main()
