"""The contenders for one grid point, each as a Case over the same Workload arrays."""

from __future__ import annotations

from collections.abc import Callable
from functools import partial

import numpy as np

import _quantelle as q
import peers

try:  # built by `make bench` beside the module: the same functions on a chosen kernel table
    import _quantelle_probe as probe
except ImportError:
    probe = None


def kernel_variants() -> list[str]:
    """Kernel variants this CPU runs, narrowest first."""
    return probe.variants() if probe is not None else []


def chosen_kernel() -> tuple[str, str, dict[str, float]] | None:
    """The table the module uses in this process, why ("forced", "only", "measured") and, when
    measured, each SIMD table's time over the choice's scan."""
    return probe.chosen() if probe is not None else None


def on_variant(variant: str, call: Callable[[], object]) -> Callable[[int], object]:
    def run(reps: int) -> object:
        probe.use(variant)
        out = None
        for _ in range(reps):
            out = call()
        return out

    return run
from native import Floor
from timing import Case, repeat
from workload import Workload, all_modulations

# A group is a set of cases the run can be limited to (--only). "many": 64 queries at once, the
# kernel table's tiled pass and the peers; "engine": the layer's Corpus.search and search_many
# (engine_cases.py), whose keys get ratios to both floors and which brings the many peers along.
GROUPS = ("floor", "score", "convert", "numpy", "faiss", "usearch", "many", "engine", "mmr")
THREADS = peers.THREADS
MANY_QUERIES = 64
MANY_MIN_ROWS = 100_000  # where many queries per read matter; below, the grid skips the group
MMR_POOLS = (200, 2000)
MMR_LAMBDA = 0.7
GRAM_MAX_POOL = 2000  # the Gram peer holds pool² floats
LARGE_POOL_BYTES = 64 << 20  # whole-matrix pools and the 50,000 oversample only where rows are short
DIVERSE_POOL = 50_000
# Prefix of the read loops timed for a floor -> (the floor's key, its threads).
FLOORS = {"floor.variant.": ("floor.read", 1), "floor.variant_nt.": ("floor.read.Nt", THREADS)}


def pick_floor(records: dict[str, dict[str, object]]) -> dict[str, dict[str, object]]:
    """Each floor is the fastest read loop measured in these rounds (one thread, and N); the
    others move to `floor_variants` (the JSON keeps them; the table shows the floor alone)."""
    floors: dict[str, dict[str, object]] = {}
    rest = dict(records)
    for prefix, (key, threads) in FLOORS.items():
        variants = {k: rest.pop(k) for k in list(rest) if k.startswith(prefix)}
        if not variants:
            continue
        best_key = min(variants, key=lambda k: variants[k]["median_s"])  # type: ignore[arg-type,return-value]
        best = dict(variants[best_key])
        best["label"] = (f"floor: best read, {threads} thread{'s' if threads > 1 else ''} (fastest of "
                         f"{len(variants)} loops: {best_key[len(prefix):]})")
        best["floor_variants"] = {k[len(prefix):]: v["median_s"] for k, v in variants.items()}
        floors[key] = best
    return {**floors, **rest}


def score_cases(w: Workload, floor: Floor | None, threads: peers.Threads, groups: set[str],
                faiss_index: object | None) -> list[Case]:
    m, ids, idx, qv = w.matrix, w.ids, w.id_to_idx, w.query
    part_bytes = int(w.pre_filter_rows.size) * w.d * 4
    cases: list[Case] = []
    if "floor" in groups and floor is not None:
        for name in floor.reads:  # the fastest of each becomes "floor.read(.Nt)" (see pick_floor)
            cases.append(Case(f"floor.variant.{name}", f"floor: read, {name} loop, 1 thread",
                              partial(floor.read, name, m), w.nbytes, measure_memory=False))
            if THREADS > 1:
                cases.append(Case(f"floor.variant_nt.{name}", f"floor: read, {name} loop, {THREADS} threads",
                                  lambda reps, name=name: floor.read_threads(name, m, THREADS, reps),
                                  w.nbytes, measure_memory=False))
    if "score" in groups:
        modulations = all_modulations(w)
        cases += [
            Case("score.plain", "score_candidates plain, limit 10",
                 repeat(lambda: q.score_candidates(m, ids, idx, qv, limit=10)), w.nbytes),
            Case("score.diverse", "score_candidates diverse=True (oversample 200)",
                 repeat(lambda: q.score_candidates(m, ids, idx, qv, diverse=True, limit=10)), w.nbytes),
            Case("score.all", "score_candidates every modulation",
                 repeat(lambda: q.score_candidates(m, ids, idx, qv, limit=10, **modulations)), w.nbytes),
            Case("score.pre_filter", "score_candidates pre_filter_ids 10 %",
                 repeat(lambda: q.score_candidates(m, ids, idx, qv, limit=10,
                                                   pre_filter_ids=w.pre_filter_ids)), part_bytes),
        ]
        for v in kernel_variants():
            cases.append(Case(f"score.variant.{v}", f"score_candidates plain, limit 10, {v} kernels (probe)",
                              on_variant(v, lambda: probe.score_candidates(m, ids, idx, qv, limit=10)),
                              w.nbytes, measure_memory=False))
    if "floor" in groups and floor is not None:
        rows, first = w.pre_filter_rows, next(iter(floor.reads))
        in_order = np.sort(rows)
        cases += [
            Case("floor.gather", f"floor: read the same 10 % rows, same order ({first})",
                 partial(floor.gather, first, m, rows), part_bytes, measure_memory=False),
            Case("floor.gather_sorted", f"floor: read the same 10 % rows in row order ({first})",
                 partial(floor.gather, first, m, in_order), part_bytes, measure_memory=False),
        ]
        if floor.has_lookups:
            cases.append(Case("floor.lookups", "floor: CPython's dict lookups of the 10 % ids, list order",
                              partial(floor.lookups, idx, w.pre_filter_ids), measure_memory=False))
    if "convert" in groups:
        empty = np.empty((0, w.d), dtype=np.float32)
        one = [ids[0]]
        cases += [
            Case("convert.bare", "call on 0 rows, ids=[1 id], {} (bare call)",
                 repeat(lambda: q.score_candidates(empty, one, {}, qv))),
            Case("convert.ids", "call on 0 rows, all ids + id_to_idx",
                 repeat(lambda: q.score_candidates(empty, ids, idx, qv))),
            Case("convert.pre_filter", "pre_filter_ids 10 %, none known (resolution only)",
                 repeat(lambda: q.score_candidates(m, ids, idx, qv, limit=10,
                                                   pre_filter_ids=w.pre_filter_unknown))),
            # Every row is still scored, but none can pass: the pass without the selection.
            Case("convert.no_selection", "plain with threshold 2 (no row passes)",
                 repeat(lambda: q.score_candidates(m, ids, idx, qv, limit=10, threshold=2.0)), w.nbytes),
        ]
    if "floor" in groups and floor is not None:
        out = np.empty(w.n, dtype=np.float32)
        isa = next(iter(floor.matvecs)).split(",")[0]
        for i, name in enumerate(v for v in floor.matvecs if v.split(",")[0] == isa):
            cases.append(Case("floor.matvec" if i == 0 else f"floor.matvec.{i + 1}",
                              f"plain C matvec, {name}, no selection",
                              partial(floor.matvec, name, m, qv, out), w.nbytes, measure_memory=False))
    if "numpy" in groups and threads.available:
        cases.append(Case("numpy.1t", "NumPy m @ q + argpartition top 10, 1 thread",
                          repeat(lambda: peers.numpy_top_k(m, qv, ids)), w.nbytes, context=threads.one()))
    if "faiss" in groups and faiss_index is not None:
        cases += [
            Case("faiss.index", "faiss IndexFlatIP.search k=10, 1 thread",
                 repeat(lambda: peers.faiss_index_top_k(faiss_index, qv, ids)), w.nbytes),
            Case("faiss.knn", "faiss.knn on the same array, k=10, 1 thread",
                 repeat(lambda: peers.faiss_knn_top_k(m, qv, ids)), w.nbytes),
        ]
    if "usearch" in groups and peers.usearch_available():
        cases.append(Case("usearch.1t", "usearch exact search k=10, 1 thread",
                          repeat(lambda: peers.usearch_top_k(m, qv, ids, 1)), w.nbytes))
    # Default threads last in the round: their idle workers may still spin for a moment.
    if "faiss" in groups and faiss_index is not None and THREADS > 1:
        cases.append(Case("faiss.index.Nt", f"faiss IndexFlatIP.search k=10, {THREADS} threads",
                          repeat(lambda: peers.faiss_index_top_k(faiss_index, qv, ids)), w.nbytes,
                          context=lambda: peers.faiss_threads(THREADS)))
    if "usearch" in groups and peers.usearch_available():
        cases.append(Case("usearch.Nt", f"usearch exact search k=10, threads={THREADS}",
                          repeat(lambda: peers.usearch_top_k(m, qv, ids, THREADS)), w.nbytes))
    if "numpy" in groups:  # last in the round: its worker threads may still spin for a moment
        cases.append(Case("numpy.default", "NumPy m @ q + argpartition top 10, default threads",
                          repeat(lambda: peers.numpy_top_k(m, qv, ids)), w.nbytes))
    return cases


def many_queries(w: Workload) -> np.ndarray:
    rng = np.random.default_rng([w.n, w.d, MANY_QUERIES])
    q = rng.standard_normal((MANY_QUERIES, w.d), dtype=np.float32)
    return q / np.linalg.norm(q, axis=1, keepdims=True)


def many_cases(w: Workload, queries: np.ndarray, groups: set[str], faiss_index: object | None,
               variant: str | None, engine_many: bool = False) -> list[Case]:
    """64 queries per call; the tables divide by 64 (per query). Ours is the kernel table's tiled
    pass through the probe on one thread (every query's best row, before any top-k), and with
    `engine_many` the layer's search_many, whose cases come separately; the peers run at default
    threads."""
    m, ids, nq = w.matrix, w.ids, len(queries)
    cases: list[Case] = []
    if "many" not in groups and not engine_many:
        return cases
    if variant is not None and "many" in groups:
        cases.append(Case("many.tiles", f"{nq} queries, dot_tile blocks, best row each, 1 thread ({variant}, probe)",
                          on_variant(variant, lambda: probe.best_by_tiles(m, w.n, w.d, queries, nq)),
                          w.nbytes, measure_memory=False))
    if "faiss" in groups and faiss_index is not None:
        cases.append(Case("many.faiss.Nt", f"faiss IndexFlatIP.search({nq} queries, 10), {THREADS} threads",
                          repeat(lambda: peers.faiss_many(faiss_index, queries, ids)), w.nbytes,
                          context=lambda: peers.faiss_threads(THREADS), measure_memory=False))
    if "usearch" in groups and peers.usearch_available():
        cases.append(Case("many.usearch.Nt", f"usearch exact search, {nq} queries, threads={THREADS}",
                          repeat(lambda: peers.usearch_top_k(m, queries, ids, THREADS)), w.nbytes,
                          measure_memory=False))
    if "numpy" in groups:
        cases.append(Case("many.numpy.Nt", f"NumPy m @ Q.T ({nq} queries) + argpartition each, default threads",
                          repeat(lambda: peers.numpy_many(m, queries, ids)), w.nbytes, measure_memory=False))
    return cases


def mmr_inputs(w: Workload, pool: int) -> tuple[list[int], np.ndarray]:
    """The `pool` best rows for the query, best first (as score_candidates would hand them over),
    and every row's similarity; computed untimed."""
    sims = (w.matrix @ w.query).astype(np.float32)
    best = np.argsort(-sims, kind="stable")[:pool]
    return best.tolist(), sims


def mmr_cases(w: Workload, threads: peers.Threads, groups: set[str]) -> list[Case]:
    m = w.matrix
    cases: list[Case] = []
    pools = [p for p in MMR_POOLS if p <= w.n]
    if w.n * w.d * 4 <= LARGE_POOL_BYTES and w.n not in pools:
        pools.append(w.n)  # every row a candidate, where the rows are short
    for pool in pools:
        cands, sims = mmr_inputs(w, pool)
        gathered = m[np.asarray(cands)]
        for k in (10, pool) if pool <= GRAM_MAX_POOL else (10,):
            if "mmr" in groups:
                cases.append(Case(f"mmr.quantelle.{pool}.{k}", f"mmr_select_py N={pool} k={k}",
                                  repeat(partial(q.mmr_select_py, cands, sims, m, k, MMR_LAMBDA))))
            if "numpy" in groups and threads.available:
                if pool <= GRAM_MAX_POOL:
                    cases.append(Case(f"mmr.numpy.{pool}.{k}", f"NumPy MMR N={pool} k={k}, 1 thread",
                                      repeat(partial(peers.numpy_mmr, cands, sims, m, k, MMR_LAMBDA)),
                                      context=threads.one()))
                cases.append(Case(f"mmr.lazy.{pool}.{k}", f"NumPy lazy MMR N={pool} k={k}, 1 thread",
                                  repeat(partial(peers.numpy_mmr_lazy, cands, sims, m, k, MMR_LAMBDA)),
                                  context=threads.one()))
        if "numpy" in groups and threads.available and pool <= GRAM_MAX_POOL:
            cases.append(Case(f"mmr.gram.{pool}", f"NumPy Gram S @ S.T N={pool}, 1 thread",
                              repeat(partial(np.matmul, gathered, gathered.T)), context=threads.one()))
    if "mmr" in groups and w.n >= 2 * DIVERSE_POOL and w.n * w.d * 4 <= LARGE_POOL_BYTES:
        ids, idx, qv = w.ids, w.id_to_idx, w.query
        cases.append(Case(f"mmr.diverse.{DIVERSE_POOL}.diverse", f"score_candidates diverse=True oversample={DIVERSE_POOL:,}",
                          repeat(lambda: q.score_candidates(m, ids, idx, qv, diverse=True, limit=10,
                                                            oversample=DIVERSE_POOL)), w.nbytes))
        if "numpy" in groups and threads.available:
            cands, sims = mmr_inputs(w, DIVERSE_POOL)
            cases.append(Case(f"mmr.lazy.{DIVERSE_POOL}.diverse", f"NumPy lazy MMR over that pool of {DIVERSE_POOL:,}, k=10",
                              repeat(partial(peers.numpy_mmr_lazy, cands, sims, m, 10, MMR_LAMBDA)),
                              context=threads.one()))
    return cases


def agreement(w: Workload, faiss_index: object | None) -> dict[str, object]:
    """Untimed: do the contenders do the same work? Best-10 ids as sets (near ties may swap
    order), MMR picks as the length of the common prefix of the two pick orders."""
    m, ids, idx, qv = w.matrix, w.ids, w.id_to_idx, w.query
    ours = {hit["id"] for hit in q.score_candidates(m, ids, idx, qv, limit=10)}
    out: dict[str, object] = {"numpy_top10_same": ours == {i for i, _ in peers.numpy_top_k(m, qv, ids)}}
    if faiss_index is not None:
        out["faiss_top10_same"] = ours == {i for i, _ in peers.faiss_index_top_k(faiss_index, qv, ids)}
    if peers.usearch_available():
        out["usearch_top10_same"] = ours == {i for i, _ in peers.usearch_top_k(m, qv, ids, 1)}
    for pool in MMR_POOLS:
        if pool > w.n:
            continue
        cands, sims = mmr_inputs(w, pool)
        a = [r for r, _ in q.mmr_select_py(cands, sims, m, pool, MMR_LAMBDA)]
        b = [r for r, _ in peers.numpy_mmr(cands, sims, m, pool, MMR_LAMBDA)]
        same = next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))
        out[f"mmr_{pool}_common_prefix"] = f"{same}/{pool}"
    return out


def many_agreement(w: Workload, queries: np.ndarray, variant: str | None) -> dict[str, object]:
    """Untimed: the tiled pass finds each query's best row where NumPy does (by id)."""
    if variant is None:
        return {}
    probe.use(variant)
    best = probe.best_by_tiles(w.matrix, w.n, w.d, queries, len(queries))
    numpy_best = [top[0][0] for top in peers.numpy_many(w.matrix, queries, w.ids)]
    return {"many_best_row_same": [w.ids[r] for r in best] == numpy_best}
