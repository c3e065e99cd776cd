"""Turning measured cases into ratios, targets, a text table and a Markdown table."""

from __future__ import annotations

import re
from pathlib import Path
from typing import Any

from timing import Case

# Column heading -> case key whose median is the denominator.
SCORE_RATIOS = {
    "× floor": "floor.read",
    "× floor Nt": "floor.read.Nt",
    "× NumPy 1t": "numpy.1t",
    "× NumPy Nt": "numpy.default",
    "× faiss idx": "faiss.index",
    "× usearch 1t": "usearch.1t",
    "× usearch Nt": "usearch.Nt",
}
BUDGET_SLACK = 1 << 20  # result objects and allocator granularity, on top of the per-row budget
BYTES_PER_ROW = 12
OVERHEAD_TARGET_S = 15e-6


def case_record(case: Case) -> dict[str, Any]:
    return {
        "label": case.label,
        "median_s": case.median,
        "best_s": case.best,
        "samples_s": case.samples,
        "calls_per_sample": case.reps,
        "bytes_read": case.bytes_read,
        "gb_per_s": case.bytes_read / case.median / 1e9 if case.bytes_read else None,
        "extra_bytes": case.extra_bytes,
    }


def add_ratios(cases: dict[str, dict[str, Any]]) -> None:
    for key, rec in cases.items():
        ratios: dict[str, float] = {}
        if key.startswith("mmr."):
            _, _, pool, *rest = key.split(".")
            k = rest[0] if rest else None
            for peer in (f"mmr.numpy.{pool}.{k}", f"mmr.gram.{pool}", f"mmr.lazy.{pool}.{k}"):
                if peer in cases and peer != key:
                    ratios[peer] = rec["median_s"] / cases[peer]["median_s"]
        else:
            for peer in SCORE_RATIOS.values():
                if peer in cases:
                    ratios[peer] = rec["median_s"] / cases[peer]["median_s"]
        rec["ratios"] = ratios


def breakdown(cases: dict[str, dict[str, Any]]) -> dict[str, float]:
    """Where a call's time goes, seen from outside (seconds, differences of medians)."""
    med = {k: v["median_s"] for k, v in cases.items()}
    out: dict[str, float] = {}

    def put(name: str, plus: list[str], minus: list[str] = []) -> None:  # noqa: B006
        if all(k in med for k in plus + minus):
            out[name] = sum(med[k] for k in plus) - sum(med[k] for k in minus)

    put("plain_minus_floor_s", ["score.plain"], ["floor.read"])
    put("bare_call_s", ["convert.bare"])
    put("ids_and_dict_conversion_s", ["convert.ids"], ["convert.bare"])
    put("pass_minus_floor_s", ["convert.no_selection"], ["floor.read", "convert.ids"])
    put("selection_s", ["score.plain"], ["convert.no_selection"])
    put("diverse_minus_plain_s", ["score.diverse"], ["score.plain"])
    put("all_modulations_minus_plain_s", ["score.all"], ["score.plain"])
    put("pre_filter_resolution_s", ["convert.pre_filter"], ["convert.ids"])
    put("pre_filter_rest_s", ["score.pre_filter"], ["convert.pre_filter"])
    put("pre_filter_gather_floor_s", ["floor.gather"])
    put("pre_filter_sorted_floor_s", ["floor.gather_sorted"])
    put("pre_filter_lookup_floor_s", ["floor.lookups"])
    return out


# ---- targets ----

def _target(name: str, measured: str, ok: bool | None, where: str) -> dict[str, Any]:
    return {"target": name, "measured": measured, "pass": ok, "where": where}


def targets(points: list[dict[str, Any]]) -> list[dict[str, Any]]:
    if not points:
        return []
    big = max(points, key=lambda p: (p["n"] * p["d"], p["n"]))
    at_1m = next((p for p in points if p["n"] == 1_000_000 and p["d"] == 384), big)
    where = f"{at_1m['n']:,}×{at_1m['d']}"
    c = at_1m["cases"]
    out = []

    def ratio(a: str, b: str) -> float | None:
        return c[a]["median_s"] / c[b]["median_s"] if a in c and b in c else None

    def fmt(r: float | None, limit: float) -> tuple[str, bool | None]:
        return ("n/a", None) if r is None else (f"{r:.3f} (≤ {limit})", r <= limit)

    m, ok = fmt(ratio("score.plain", "floor.read"), 1.10)
    out.append(_target("1a. plain ≤ 1.10 × floor", m, ok, where))
    for p in points:
        if p["n"] == 10_000 and "score.plain" in p["cases"] and "floor.read" in p["cases"]:
            r = p["cases"]["score.plain"]["median_s"] / p["cases"]["floor.read"]["median_s"]
            out.append(_target("1c. plain at 10k rows ≤ 1.3 × floor", f"{r:.3f} (≤ 1.3)", r <= 1.3,
                               f"10,000×{p['d']}"))
    beaten, total, worst = 0, 0, []  # worst: (ratio, where)
    for p in points:
        pc = p["cases"]
        for peer in ("numpy.1t", "faiss.index"):
            if "score.plain" in pc and peer in pc:
                total += 1
                r = pc["score.plain"]["median_s"] / pc[peer]["median_s"]
                beaten += r < 1.0
                if r >= 1.0:
                    worst.append((r, f"{peer} at {p['n']:,}×{p['d']}"))
    slowest = max(worst, default=None)
    out.append(_target("1b. plain faster than NumPy 1t and faiss IndexFlatIP 1t at every size",
                       f"{beaten} of {total} faster"
                       + (f"; worst: {slowest[1]}: {slowest[0]:.2f}×" if slowest else ""),
                       None if total == 0 else beaten == total, "every size"))
    m, ok = fmt(ratio("score.all", "floor.read"), 1.25)
    out.append(_target("2. every modulation ≤ 1.25 × floor", m, ok, where))
    m, ok = fmt(ratio("score.diverse", "score.plain"), 1.05)
    others = [f"{pc['score.diverse']['median_s'] / pc['score.plain']['median_s']:.2f} at {p['n']:,}×{p['d']}"
              for p in points if p is not at_1m and "score.diverse" in (pc := p["cases"]) and "score.plain" in pc]
    out.append(_target("3. diverse ≤ 1.05 × plain", m + (f"; elsewhere {', '.join(others)}" if others else ""),
                       ok, where))
    m, ok = fmt(ratio("score.pre_filter", "floor.read"), 0.5)
    parts = ("convert.ids", "floor.lookups", "floor.gather_sorted")
    if all(k in c for k in (*parts, "convert.bare", "floor.read")):
        # What the hardware and CPython alone need for the same work: checking the ids, looking
        # the pre-filter ids up in the dict, reading their rows in row order.
        need = sum(c[k]["median_s"] for k in parts) - c["convert.bare"]["median_s"]
        m += f"; ids check + CPython's lookups + sorted gather alone: {need / c['floor.read']['median_s']:.3f}"
    out.append(_target("4. pre_filter 10 % ≤ 0.5 × floor", m, ok, where))
    for p in points:
        if p["d"] != 768:
            continue
        pc = p["cases"]
        for k, limit in ((10, 0.05), (2000, 1.0)):
            a, b = f"mmr.quantelle.2000.{k}", f"mmr.numpy.2000.{k}"
            if a in pc and b in pc:
                r = pc[a]["median_s"] / pc[b]["median_s"]
                out.append(_target(f"5. mmr_select_py 2000×768 k={k} ≤ {limit:g} × NumPy MMR 1t",
                                   f"{r:.3f} (≤ {limit:g})", r <= limit, f"{p['n']:,}×768"))
        a, b = "mmr.quantelle.2000.10", "mmr.lazy.2000.10"
        if a in pc and b in pc:
            r = pc[a]["median_s"] / pc[b]["median_s"]
            out.append(_target("5b. mmr_select_py 2000×768 k=10 ≤ lazy NumPy MMR 1t", f"{r:.3f} (≤ 1)", r <= 1.0,
                               f"{p['n']:,}×768"))
    for p in points:
        pc = p["cases"]
        where_p = f"{p['n']:,}×{p['d']}"
        if p["n"] <= 1000 and "score.diverse" in pc and "score.plain" in pc:
            r = pc["score.diverse"]["median_s"] / pc["score.plain"]["median_s"]
            out.append(_target("3b. diverse ≤ 1.5 × plain at 1k rows", f"{r:.3f} (≤ 1.5)", r <= 1.5, where_p))
        a, b = f"mmr.diverse.{50_000}.diverse", f"mmr.lazy.{50_000}.diverse"
        if a in pc and b in pc:
            r = pc[a]["median_s"] / pc[b]["median_s"]
            out.append(_target("5c. diverse oversample 50,000 ≤ 1.5 × lazy NumPy MMR over that pool",
                               f"{r:.3f} (≤ 1.5)", r <= 1.5, where_p))
    for p in points:
        bound, many = p.get("compute_bound_per_query_s"), p["cases"].get("many.tiles")
        if bound and many:
            r = many["median_s"] / p["many_queries"] / bound
            out.append(_target(f"8. {p['many_queries']} queries per read ≤ 4 × the compute bound per query, 1 thread",
                               f"{r:.2f} (≤ 4)", r <= 4.0, f"{p['n']:,}×{p['d']}"))
    small = min(points, key=lambda p: (p["n"], p["d"]))
    sc = small["cases"]
    if "score.plain" in sc and "floor.read" in sc and small["n"] <= 10_000:  # a cache-resident size
        over = sc["score.plain"]["median_s"] - sc["floor.read"]["median_s"]
        out.append(_target("6. per-call overhead (plain − floor) ≤ 15 µs", f"{over * 1e6:.1f} µs",
                           over <= OVERHEAD_TARGET_S, f"{small['n']:,}×{small['d']}"))
    budgets = {"score.plain": 0, "score.all": 0, "score.pre_filter": 0, "score.diverse": 200 * 200 * 4}
    checked, fails = 0, []
    for key, gram in budgets.items():
        extra = c.get(key, {}).get("extra_bytes")
        if extra is None:
            continue
        checked += 1
        limit = BYTES_PER_ROW * at_1m["n"] + gram + BUDGET_SLACK
        if extra > limit:
            fails.append(f"{key} {extra / 1e6:.1f} MB > {limit / 1e6:.1f} MB")
    if checked:
        worst_key = max((k for k in budgets if c.get(k, {}).get("extra_bytes") is not None),
                        key=lambda k: c[k]["extra_bytes"])
        worst_bytes = c[worst_key]["extra_bytes"]
        out.append(_target("7. extra memory ≤ ~12 B/row (+ MMR Gram)",
                           f"max {worst_bytes / 1e6:.1f} MB = {worst_bytes / at_1m['n']:.1f} B/row ({worst_key})"
                           + (f"; over: {', '.join(fails)}" if fails else ""), not fails, where))
    return out


# ---- text ----

def fmt_time(s: float) -> str:
    if s < 1e-3:
        return f"{s * 1e6:.1f} µs"
    if s < 1.0:
        return f"{s * 1e3:.2f} ms"
    return f"{s:.3f} s"


def fmt_bytes(b: int | None) -> str:
    if b is None:
        return "-"
    if b < 1 << 20:
        return f"{b / 1024:.0f} KiB"
    return f"{b / (1 << 20):.1f} MiB"


def point_tables(p: dict[str, Any]) -> list[tuple[list[str], list[list[str]]]]:
    """One table for the scoring contenders, one for MMR (when it ran at this point)."""
    cases = p["cases"]
    ratio_cols = [h for h, key in SCORE_RATIOS.items() if key in cases]
    score_head = ["", "median", "best", "GB/s", *ratio_cols, "extra memory", "B/row"]
    mmr_head = ["", "median", "best", "× NumPy MMR", "× NumPy Gram", "extra memory"]
    score_rows, mmr_rows = [], []

    def ratio(r: float | None) -> str:
        return f"{r:.2f}" if r is not None else ""

    for key, rec in cases.items():
        extra = rec.get("extra_bytes")
        if key.startswith("mmr."):
            peer = [next((v for k, v in rec["ratios"].items() if k.startswith(prefix)), None)
                    for prefix in ("mmr.numpy.", "mmr.gram.")]
            mmr_rows.append([rec["label"], fmt_time(rec["median_s"]), fmt_time(rec["best_s"]),
                             *map(ratio, peer), fmt_bytes(extra)])
            continue
        gbps = rec.get("gb_per_s")
        score_rows.append([rec["label"], fmt_time(rec["median_s"]), fmt_time(rec["best_s"]),
                           f"{gbps:.1f}" if gbps else "",
                           *(ratio(rec["ratios"].get(SCORE_RATIOS[h])) for h in ratio_cols),
                           fmt_bytes(extra), f"{extra / p['n']:.1f}" if extra is not None else ""])
    tables = []
    if score_rows:
        tables.append((score_head, score_rows))
    if mmr_rows:
        tables.append((mmr_head, mmr_rows))
    return tables


def text_table(head: list[str], rows: list[list[str]]) -> str:
    widths = [max(len(r[i]) for r in [head, *rows]) for i in range(len(head))]
    lines = []
    for j, r in enumerate([head, *rows]):
        cells = [r[0].ljust(widths[0])] + [c.rjust(w) for c, w in zip(r[1:], widths[1:])]
        lines.append("  ".join(cells).rstrip())
        if j == 0:
            lines.append("  ".join("-" * w for w in widths))
    return "\n".join(lines)


def markdown_table(head: list[str], rows: list[list[str]]) -> str:
    lines = ["| " + " | ".join(head) + " |", "|" + "|".join(["---"] + ["--:"] * (len(head) - 1)) + "|"]
    lines += ["| " + " | ".join(r) + " |" for r in rows]
    return "\n".join(lines)


def point_title(p: dict[str, Any]) -> str:
    return f"n = {p['n']:,}, d = {p['d']} (matrix {p['nbytes'] / 1e6:,.1f} MB)"


BREAKDOWN_COLUMNS = {
    "plain − floor": "plain_minus_floor_s",
    "bare call": "bare_call_s",
    "ids + id_to_idx": "ids_and_dict_conversion_s",
    "pass − floor − ids": "pass_minus_floor_s",
    "selection": "selection_s",
    "diverse − plain": "diverse_minus_plain_s",
    "every modulation − plain": "all_modulations_minus_plain_s",
    "pre_filter: resolving": "pre_filter_resolution_s",
    "pre_filter: scoring": "pre_filter_rest_s",
    "pre_filter: gather floor": "pre_filter_gather_floor_s",
    "(rows sorted)": "pre_filter_sorted_floor_s",
    "pre_filter: CPython's lookups": "pre_filter_lookup_floor_s",
}


def fmt_signed(v: float | None) -> str:
    if v is None:
        return ""
    return fmt_time(v) if v >= 0 else "−" + fmt_time(-v)


def breakdown_lines(p: dict[str, Any]) -> list[str]:
    b = p["breakdown"]
    return [f"{label}: {fmt_signed(b[k])}" for label, k in BREAKDOWN_COLUMNS.items() if k in b]


def targets_table(ts: list[dict[str, Any]]) -> tuple[list[str], list[list[str]]]:
    mark = {True: "pass", False: "FAIL", None: "n/a"}
    return (["target", "measured", "at", "result"],
            [[t["target"], t["measured"], t["where"], mark[t["pass"]]] for t in ts])


# ---- across grid points ----

SUMMARY_COLUMNS = {
    "floor": "floor.read",
    "floor Nt": "floor.read.Nt",
    "plain": "score.plain",
    "diverse": "score.diverse",
    "every modulation": "score.all",
    "pre_filter 10 %": "score.pre_filter",
    "NumPy 1t": "numpy.1t",
    "NumPy Nt": "numpy.default",
    "faiss IndexFlatIP 1t": "faiss.index",
    "faiss IndexFlatIP Nt": "faiss.index.Nt",
    "faiss.knn 1t": "faiss.knn",
    "usearch 1t": "usearch.1t",
    "usearch Nt": "usearch.Nt",
}
MANY_COLUMNS = {
    "dot_tile pass, 1t": "many.tiles",
    "NumPy m @ Q.T Nt": "many.numpy.Nt",
    "faiss IndexFlatIP Nt": "many.faiss.Nt",
    "usearch exact Nt": "many.usearch.Nt",
}


def timed_cell(seconds: float, floor: float | None) -> str:
    """A time, and in brackets × the floor where there is one."""
    return fmt_time(seconds) + (f" ({seconds / floor:.2f})" if floor else "")


def summary_table(points: list[dict[str, Any]]) -> tuple[list[str], list[list[str]]]:
    """Median per call, and in brackets × the floor of the same grid point and run."""
    cols = [h for h, key in SUMMARY_COLUMNS.items() if any(key in p["cases"] for p in points)]
    rows = []
    for p in points:
        c = p["cases"]
        floor = c.get("floor.read", {}).get("median_s")
        row = [f"{p['n']:,} × {p['d']}"]
        for h in cols:
            rec = c.get(SUMMARY_COLUMNS[h])
            row.append(timed_cell(rec["median_s"], None if h == "floor" else floor) if rec else "")
        rows.append(row)
    return ["n × d", *cols], rows


def peer_table(points: list[dict[str, Any]]) -> tuple[list[str], list[list[str]]]:
    """The plain call's median over each peer's, same grid point and run (below 1: faster)."""
    peers = {h: key for h, key in SUMMARY_COLUMNS.items() if key.startswith(("numpy.", "faiss.", "usearch."))}
    cols = [h for h, key in peers.items() if any(key in p["cases"] for p in points)]
    rows = []
    for p in points:
        c = p["cases"]
        plain = c.get("score.plain", {}).get("median_s")
        if plain is None:  # a run without the score group
            continue
        rows.append([f"{p['n']:,} × {p['d']}",
                     *(f"{plain / c[peers[h]]['median_s']:.2f}" if plain and peers[h] in c else "" for h in cols)])
    return ["n × d", *(f"plain ÷ {h}" for h in cols)], rows


def mmr_table(points: list[dict[str, Any]]) -> tuple[list[str], list[list[str]]]:
    rows = []
    for p in points:
        c = p["cases"]
        pools = sorted({int(k.split(".")[2]) for k in c if k.startswith("mmr.")})
        for pool in pools:
            for k in sorted({pool, 10}):
                ours, numpy = c.get(f"mmr.quantelle.{pool}.{k}"), c.get(f"mmr.numpy.{pool}.{k}")
                gram = c.get(f"mmr.gram.{pool}")
                if ours is None:
                    continue
                rows.append([str(p["d"]), f"{pool:,}", f"{k:,}", fmt_time(ours["median_s"]),
                             fmt_time(numpy["median_s"]) if numpy else "",
                             f"{ours['median_s'] / numpy['median_s']:.2f}" if numpy else "",
                             fmt_time(gram["median_s"]) if gram else "",
                             fmt_bytes(ours.get("extra_bytes"))])
    return ["d", "N", "k", "mmr_select_py", "NumPy MMR 1t", "ratio", "NumPy Gram 1t", "extra memory"], rows


def breakdown_table(points: list[dict[str, Any]]) -> tuple[list[str], list[list[str]]]:
    rows = []
    for p in points:
        plain = p["cases"].get("score.plain", {}).get("extra_bytes")
        rows.append([f"{p['n']:,} × {p['d']}", *(fmt_signed(p["breakdown"].get(k)) for k in BREAKDOWN_COLUMNS.values()),
                     f"{plain / p['n']:.1f}" if plain is not None else ""])
    return ["n × d", *BREAKDOWN_COLUMNS, "plain: extra B/row"], rows


def many_table(points: list[dict[str, Any]]) -> tuple[list[str], list[list[str]]]:
    """Per query of a 64-query call: time, × the 1-thread floor (one read of the matrix), and
    for the tiled pass × the compute bound (2·n·d flops at one core's FMA peak)."""
    cols = [h for h, key in MANY_COLUMNS.items() if any(key in p["cases"] for p in points)]
    rows = []
    for p in points:
        c, nq = p["cases"], p.get("many_queries")
        if not nq or not any(MANY_COLUMNS[h] in c for h in cols):
            continue
        floor = c.get("floor.read", {}).get("median_s")
        row = [f"{p['n']:,} × {p['d']}"]
        bound = p.get("compute_bound_per_query_s")
        for h in cols:
            rec = c.get(MANY_COLUMNS[h])
            per = rec["median_s"] / nq if rec else 0.0
            tiles = MANY_COLUMNS[h] == "many.tiles" and bound
            row.append((timed_cell(per, floor) + (f", {per / bound:.2f} × bound" if tiles else "")) if rec else "")
        plain = c.get("score.plain", {}).get("median_s")
        tiles = c.get("many.tiles", {}).get("median_s")
        row.append(f"{plain / (tiles / nq):.1f}" if plain and tiles else "")
        rows.append(row)
    return ["n × d", *cols, "single search ÷ tiles per query"], rows


# ---- the README summary and the results page ----

SUMMARY_BEGIN, SUMMARY_END = "<!-- bench:summary:begin -->", "<!-- bench:summary:end -->"
RESULTS_BEGIN, RESULTS_END = "<!-- bench:results:begin -->", "<!-- bench:results:end -->"


def readme_summary(result: dict[str, Any]) -> str:
    """Three or four lines: the machine, the kernel, the largest 384-wide point against the floor
    and the peers, and many queries per read; every figure from this run."""
    mach, env = result["machine"], result["environment"]
    kernel = env["kernel"]["name"] if env.get("kernel") else "unknown"
    points = [p for p in result["points"] if "score.plain" in p["cases"]]
    head = (f"Measured by `make bench` on {result['date'][:10]}: {mach['cpu']} ({mach['cpu_family_model']}, "
            f"{'AVX-512' if mach['avx512f'] else 'no AVX-512'}, {mach['cpus']} CPUs), the {kernel} kernels.")
    if not points:
        return head + " Every table: [docs/benchmarks.md](docs/benchmarks.md)."
    p = max(points, key=lambda q: (q["d"] == 384, q["n"]))
    c = p["cases"]
    plain = c["score.plain"]["median_s"]

    def ratio(key: str) -> str | None:
        return f"{plain / c[key]['median_s']:.2f}" if key in c else None

    parts = [f"A plain `score_candidates` of {p['n']:,} × {p['d']} takes {fmt_time(plain)}"]
    if ratio("floor.read"):
        parts.append(f"{ratio('floor.read')} × one read of the matrix by the best one-thread loop")
    peers = [f"{r} × {name}" for key, name in (("numpy.1t", "NumPy (1 thread)"), ("numpy.default", "NumPy (all threads)"),
                                                ("faiss.index", "faiss `IndexFlatIP`"), ("usearch.1t", "usearch exact (1 thread)"))
             if (r := ratio(key))]
    lines = [head, ", ".join(parts) + (f"; against the peers: {', '.join(peers)}." if peers else ".")]
    many = [q for q in result["points"] if "many.tiles" in q["cases"] and q.get("compute_bound_per_query_s")]
    if many:
        q = max(many, key=lambda x: x["n"])
        per = q["cases"]["many.tiles"]["median_s"] / q["many_queries"]
        lines.append(f"{q['many_queries']} queries in one read of {q['n']:,} × {q['d']} cost {fmt_time(per)} per query on "
                     f"one thread, {per / q['compute_bound_per_query_s']:.2f} × its compute bound (2·n·d flops at the "
                     "core's FMA peak).")
    lines.append("How it was measured, and every table: [docs/benchmarks.md](docs/benchmarks.md).")
    return "\n".join(lines)


def replace_between(text: str, begin: str, end: str, body: str, where: Path) -> str:
    pattern = re.compile(re.escape(begin) + ".*?" + re.escape(end), re.S)
    if not pattern.search(text):
        raise RuntimeError(f"{where}: no {begin} ... {end} markers to write between")
    return pattern.sub(lambda _: f"{begin}\n{body}\n{end}", text, count=1)


def write_docs(root: Path, result: dict[str, Any], tables: str, described: list[str]) -> list[Path]:
    """The README's summary and the results of docs/benchmarks.md, rewritten from this run."""
    readme, page = root / "README.md", root / "docs" / "benchmarks.md"
    results = "\n".join([
        f"Run on {result['date']} with `{result['command']}`; medians of {result['rounds']} rounds "
        f"(the 64-query cases fewer, see the JSON); other processes used "
        f"{result['other_processes_cpu_share']:.0%} of the CPUs.", "",
        *(f"- {line}" for line in described), "", tables.rstrip()])
    readme.write_text(replace_between(readme.read_text(), SUMMARY_BEGIN, SUMMARY_END, readme_summary(result), readme))
    page.write_text(replace_between(page.read_text(), RESULTS_BEGIN, RESULTS_END, results, page))
    return [readme, page]
