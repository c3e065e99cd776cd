"""The engine group's tables and targets, from the records of each grid point."""

from __future__ import annotations

from typing import Any

from report import _target, fmt_time, timed_cell

SEARCH_ROWS = (10_000, 100_000, 1_000_000)  # where Corpus.search must beat the peers
FLOOR_ROWS = (100_000, 1_000_000)  # where it must come near the N-thread floor
MANY_PEERS = {"NumPy m @ Q.T": "many.numpy.Nt", "faiss IndexFlatIP": "many.faiss.Nt",
              "usearch exact": "many.usearch.Nt"}
BYTES_PER_ROW = 12
BUDGET_SLACK = 1 << 20


def _median(c: dict[str, Any], key: str) -> float | None:
    return c[key]["median_s"] if key in c else None


def _ratio(a: float | None, b: float | None) -> float | None:
    return a / b if a is not None and b else None


def _cell(r: float | None, digits: int = 2) -> str:
    return "" if r is None else f"{r:.{digits}f}"


def callers_gain(p: dict[str, Any], threads: int) -> float | None:
    """Queries per second of N callers at once over those of one caller (N at best)."""
    one, callers = _median(p["cases"], "engine.search.1t"), _median(p["cases"], "engine.callers")
    return threads * one / callers if one and callers else None


def callers_ceiling(p: dict[str, Any]) -> float | None:
    """About the most that N callers can gain where memory bounds them (where N threads read
    faster than one): N queries cannot take less than N reads at the N-thread floor. Where the
    matrix stays in cache, N threads each read it about as fast as one, and this says nothing."""
    c = p["cases"]
    one, many = _median(c, "floor.read"), _median(c, "floor.read.Nt")
    return _ratio(_median(c, "engine.search.1t"), many) if one and many and many < one else None


def kernels(points: list[dict[str, Any]]) -> list[str]:
    return sorted({k.split(".")[2] for p in points for k in p["cases"] if k.startswith("engine.kernel.")})


def search_table(points: list[dict[str, Any]], threads: int) -> tuple[list[str], list[list[str]]]:
    """Corpus.search per call (× the floor of as many threads), against the peers at default
    threads, N callers, and each kernel table in its own process."""
    variants = kernels(points)
    rows = []
    for p in points:
        c = p["cases"]
        if "engine.search.1t" not in c:
            continue
        f1, fn = _median(c, "floor.read"), _median(c, "floor.read.Nt")
        nt = _median(c, "engine.search.Nt")
        row = [f"{p['n']:,} × {p['d']}", timed_cell(c["engine.search.1t"]["median_s"], f1),
               timed_cell(nt, fn) if nt else "",
               _cell(_ratio(nt, _median(c, "numpy.default"))), _cell(_ratio(nt, _median(c, "usearch.Nt"))),
               _cell(callers_gain(p, threads)) + (f" (read bound {r:.2f})" if (r := callers_ceiling(p)) else "")]
        for v in variants:
            one, many = c.get(f"engine.kernel.{v}.1t"), c.get(f"engine.kernel.{v}.Nt")
            row.append(timed_cell(one["median_s"], f1) if one else "")
            row.append(timed_cell(many["median_s"], fn) if many else "")
        rows.append(row)
    head = ["n × d", "1 thread (× floor)", f"{threads} threads (× floor Nt)", "Nt ÷ NumPy Nt", "Nt ÷ usearch Nt",
            f"{threads} callers: queries/s × 1 caller"]
    for v in variants:
        head += [f"{v} 1t (× floor)", f"{v} Nt (× floor Nt)"]
    return head, rows


def many_table(points: list[dict[str, Any]], threads: int) -> tuple[list[str], list[list[str]]]:
    """Corpus.search_many per query: × the compute bound of every thread, single searches over
    it, and it over each peer (below 1: faster)."""
    rows = []
    for p in points:
        c, nq = p["cases"], p.get("many_queries")
        ours = _median(c, "engine.many.Nt")
        if ours is None or not nq:
            continue
        per = ours / nq
        bound = p.get("compute_bound_per_query_s")
        rows.append([f"{p['n']:,} × {p['d']}", fmt_time(per),
                     _cell(_ratio(per, bound / threads if bound else None)),
                     _cell(_ratio(_median(c, "engine.search.Nt"), per), 1),
                     *(_cell(_ratio(per, (_median(c, key) or 0.0) / nq or None)) for key in MANY_PEERS.values())])
    head = ["n × d", "per query", f"× compute bound ({threads} threads)", "single search ÷ per query",
            *(f"÷ {name} Nt" for name in MANY_PEERS)]
    return head, rows


def targets(points: list[dict[str, Any]], threads: int) -> list[dict[str, Any]]:
    out: list[dict[str, Any]] = []
    at = {(p["n"], p["d"]): p for p in points}
    where = lambda p: f"{p['n']:,}×{p['d']}"  # noqa: E731
    for n in FLOOR_ROWS:
        p = at.get((n, 384))
        r = p and _ratio(_median(p["cases"], "engine.search.Nt"), _median(p["cases"], "floor.read.Nt"))
        if r:
            out.append(_target("E1. Corpus.search, default threads ≤ 1.10 × the N-thread floor",
                               f"{r:.3f} (≤ 1.1)", r <= 1.10, where(p)))
    beaten, total, lost = 0, 0, []
    for n in SEARCH_ROWS:
        p = at.get((n, 384))
        for peer in ("numpy.default", "usearch.Nt"):
            r = p and _ratio(_median(p["cases"], "engine.search.Nt"), _median(p["cases"], peer))
            if r:
                total += 1
                beaten += r < 1.0
                if r >= 1.0:
                    lost.append(f"{peer} at {where(p)}: {r:.2f}×")
    if total:
        out.append(_target("E2. Corpus.search, default threads faster than NumPy and usearch at default threads",
                           f"{beaten} of {total} faster" + (f"; slower: {', '.join(lost)}" if lost else ""),
                           beaten == total, "10k, 100k, 1M ×384"))
    p = at.get((1_000_000, 384))
    if p:
        c = p["cases"]
        for key, name in [("engine.search.1t", "as chosen")] + [(f"engine.kernel.{v}.1t", v) for v in kernels([p])]:
            r = _ratio(_median(c, key), _median(c, "floor.read"))
            if r:
                out.append(_target(f"E3. Corpus.search, 1 thread ≤ 1.10 × the 1-thread floor ({name} kernels)",
                                   f"{r:.3f} (≤ 1.1)", r <= 1.10, where(p)))
    p = at.get((100_000, 384))
    gain = p and callers_gain(p, threads)
    if gain:
        want = 0.85 * threads
        out.append(_target(f"E4. {threads} callers at once, one engine thread each ≥ {want:.2f} × one caller",
                           f"{gain:.2f} (≥ {want:.2f})", gain >= want, where(p)))
    for n in FLOOR_ROWS:
        p = at.get((n, 384))
        if not p or "engine.many.Nt" not in p["cases"]:
            continue
        c, nq = p["cases"], p["many_queries"]
        per = c["engine.many.Nt"]["median_s"] / nq
        slower = [name for name, key in MANY_PEERS.items() if key in c and per >= c[key]["median_s"] / nq]
        timed = [name for name, key in MANY_PEERS.items() if key in c]
        if timed:
            out.append(_target(f"E5. search_many of {nq}, per query below each peer at default threads",
                               f"{len(timed) - len(slower)} of {len(timed)} beaten"
                               + (f"; not: {', '.join(slower)}" if slower else ""), not slower, where(p)))
        gain = _ratio(_median(c, "engine.search.Nt"), per)
        if gain:
            out.append(_target("E6. search_many ≥ 8 × faster per query than single searches",
                               f"{gain:.1f} (≥ 8)", gain >= 8.0, where(p)))
        bound = p.get("compute_bound_per_query_s")
        if bound:
            r = per / (bound / threads)
            out.append(_target(f"E7. search_many ≤ 4 × the compute bound of {threads} threads",
                               f"{r:.2f} (≤ 4)", r <= 4.0, where(p)))
    p = at.get((1_000_000, 384)) or max(points, key=lambda q: q["n"] * q["d"], default=None)
    if p:
        c = p["cases"]
        measured = {k: c[k]["extra_bytes"] for k in ("engine.search.1t", "engine.search.Nt", "engine.many.Nt")
                    if c.get(k, {}).get("extra_bytes") is not None}
        if measured:
            worst = max(measured, key=measured.__getitem__)
            limit = BYTES_PER_ROW * p["n"] + BUDGET_SLACK
            out.append(_target("E8. engine: extra memory per call ≤ ~12 B/row",
                               f"max {measured[worst] / 1e6:.1f} MB = {measured[worst] / p['n']:.1f} B/row ({worst})",
                               measured[worst] <= limit, where(p)))
    return out
