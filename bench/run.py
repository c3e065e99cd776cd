"""Benchmark of `_quantelle` against the read floors (one thread and N) and the peers (NumPy, faiss-cpu, usearch).

    python bench/run.py                  # the full grid (about 4 GB of memory at 1M x 384)
    python bench/run.py --quick          # a small grid, a minute or so
    python bench/run.py --sizes 3000x32 --repeat 3 --json out.json
    python bench/run.py --only floor,score,numpy --kernel avx2
    python bench/run.py --write-docs     # also rewrite the README summary and docs/benchmarks.md

`make bench` installs the package (Release) with the `bench` extra into .venv and runs this with
--write-docs.
Every contender gets the same arrays, built once per grid point outside the timed regions, and
is timed in interleaved rounds; the table shows medians. See README.md, "Benchmarks".
"""

import os
import sys

# A current OpenBLAS picks a slower kernel on this machine class when these are set; they are
# read when NumPy loads OpenBLAS, so they go before anything imports NumPy.
BLAS_VARIABLES = ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")
UNSET = {name: os.environ.pop(name) for name in BLAS_VARIABLES if name in os.environ}

import argparse  # noqa: E402
import datetime  # noqa: E402
import json  # noqa: E402
import platform  # noqa: E402
import subprocess  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402
from typing import Any  # noqa: E402

import numpy as np  # noqa: E402

import _quantelle  # noqa: E402
import cases as bench_cases  # noqa: E402
import engine_cases  # noqa: E402
import engine_report  # noqa: E402
import native  # noqa: E402
import peers  # noqa: E402
import report  # noqa: E402
import timing  # noqa: E402
import workload  # noqa: E402
from timing import Case  # noqa: E402

FULL_GRID = [(1_000, 384), (10_000, 384), (100_000, 384), (100_000, 768), (1_000_000, 384)]
QUICK_GRID = [(1_000, 384), (10_000, 384), (10_000, 768)]
ROOT = Path(__file__).resolve().parent.parent
DEFAULT_THREADS_LAST = ("faiss.index.Nt", "usearch.Nt", "numpy.default")
MMR_MAX_N = 200_000  # MMR runs once per dimension, at the largest grid point up to this size
BUSY_SHARE = 0.05  # of all CPUs, used by other processes during the run


def parse_args(argv: list[str]) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--quick", action="store_true", help="small grid: " + ", ".join(f"{n}x{d}" for n, d in QUICK_GRID))
    p.add_argument("--sizes", help="comma-separated NxD grid points, e.g. 1000x384,5000x768")
    p.add_argument("--repeat", type=int, help="rounds (samples per case; default 11, 5 with --quick)")
    p.add_argument("--only", help="comma-separated groups: " + ",".join(bench_cases.GROUPS))
    p.add_argument("--json", type=Path, help="write every sample and figure here")
    p.add_argument("--markdown", type=Path, help="write the tables as Markdown here")
    p.add_argument("--sample-ms", type=float, default=5.0, help="minimum length of one sample (calls are batched)")
    p.add_argument("--warmup", type=float, default=0.2, help="seconds of warm-up per case")
    p.add_argument("--seed", type=int, default=workload.SEED)
    p.add_argument("--kernel", help="force the module's kernel table (QUANTELLE_KERNEL), e.g. avx2")
    p.add_argument("--many-repeat", type=int, default=3, help="rounds of the 64-query cases (each takes seconds at 1M)")
    p.add_argument("--many-from", type=int, default=bench_cases.MANY_MIN_ROWS,
                   help="grid points of at least this many rows also time 64 queries at once")
    p.add_argument("--engine-kernels",
                   help="kernel tables on which the engine group also runs, each in a process of its own "
                        "(default: every SIMD table where the CPU runs more than one)")
    p.add_argument("--write-docs", action="store_true",
                   help="rewrite the README's benchmark summary and the results of docs/benchmarks.md")
    args = p.parse_args(argv)
    if args.sizes:
        args.grid = [tuple(int(x) for x in s.lower().split("x")) for s in args.sizes.split(",")]
    else:
        args.grid = QUICK_GRID if args.quick else FULL_GRID
    args.repeat = args.repeat or (5 if args.quick else 11)
    groups = set(args.only.split(",")) if args.only else set(bench_cases.GROUPS)
    unknown = groups - set(bench_cases.GROUPS)
    if unknown:
        p.error(f"unknown group(s) {sorted(unknown)}; known: {', '.join(bench_cases.GROUPS)}")
    args.groups = groups
    args.engine_kernels = args.engine_kernels.split(",") if args.engine_kernels else None
    return args


# ---- the machine ----

def lscpu_field(name: str) -> str | None:
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
    except OSError:
        return None
    for line in out.splitlines():
        if line.split(":", 1)[0].strip() == name:
            return line.split(":", 1)[1].strip()
    return None


def machine() -> dict[str, Any]:
    mem_kib = None
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemTotal:"):
                mem_kib = int(line.split()[1])
    return {
        "cpu": lscpu_field("Model name") or platform.processor(),
        "cpu_family_model": f"family {lscpu_field('CPU family')}, model {lscpu_field('Model')}",
        "avx512f": "avx512f" in (lscpu_field("Flags") or "").split(),
        "cpus": os.cpu_count(),
        "threads_per_core": lscpu_field("Thread(s) per core"),
        "l2": lscpu_field("L2 cache"),
        "l3": lscpu_field("L3 cache"),
        "hypervisor": lscpu_field("Hypervisor vendor"),
        "ram_gib": round(mem_kib / 1024**2, 1) if mem_kib else None,
        "kernel": platform.release(),
    }


class CpuWatch:
    """Share of the machine's CPU time used by other processes while we measured (0 = quiet)."""

    def __init__(self) -> None:
        self.start = self._sample()

    @staticmethod
    def _sample() -> tuple[float, float, float]:
        with open("/proc/stat") as f:
            fields = [int(x) for x in f.readline().split()[1:]]
        hz = os.sysconf("SC_CLK_TCK")
        busy = (sum(fields) - fields[3] - fields[4]) / hz  # all but idle and iowait
        own = sum(os.times()[:2])
        return busy, own, time.monotonic()

    def others(self) -> float:
        busy, own, now = self._sample()
        b0, o0, t0 = self.start
        elapsed = max(now - t0, 1e-9) * (os.cpu_count() or 1)
        return max(0.0, (busy - b0) - (own - o0)) / elapsed


def git_head() -> str | None:
    try:
        out = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True, text=True,
                             cwd=Path(__file__).parent)
        return out.stdout.strip() or None
    except OSError:
        return None


def kernel_info() -> dict[str, Any] | None:
    chosen = bench_cases.chosen_kernel()
    return None if chosen is None else {"name": chosen[0], "reason": chosen[1], "timings": chosen[2]}


def fma_isa(kernel: dict[str, Any] | None) -> str:
    """The ISA whose FMA peak bounds the chosen kernel's tiles."""
    return "avx512" if kernel is not None and kernel["name"] == "avx512" else "avx2"


def environment(threads: peers.Threads, floor: native.Floor | None) -> dict[str, Any]:
    so = Path(_quantelle.__file__)
    faiss_info = None
    if peers.faiss_available():
        faiss_info = {"version": peers.faiss_version(),
                      "compile_options": peers.faiss.get_compile_options().strip()}
    return {
        "python": platform.python_version(),
        "numpy": np.__version__,
        "numpy_blas": threads.numpy_blas(),
        "blas_libraries": threads.info(),
        "threadpoolctl": threads.available,
        "faiss": faiss_info,
        "unset_for_run": UNSET,
        "usearch": peers.usearch_version() if peers.usearch_available() else None,
        "kernel": kernel_info(),
        "kernel_variants": bench_cases.kernel_variants(),
        "fma_peak": floor.fma_peak(fma_isa(kernel_info())) if floor else None,
        "floor_loops": list(floor.reads) if floor else None,
        "matvec_loops": list(floor.matvecs) if floor else None,
        "floor_compiler": floor.compiler if floor else None,
        "quantelle_module": str(so),
        "quantelle_built": datetime.datetime.fromtimestamp(so.stat().st_mtime).isoformat(timespec="seconds"),
        "git_head": git_head(),
    }


def kernel_line(env: dict[str, Any]) -> str:
    chosen = env["kernel"]
    if chosen is None:
        return "kernels: unknown (no probe built: the choice and the variants are not shown)"
    why = {"forced": "forced by QUANTELLE_KERNEL", "only": "the one SIMD table this CPU runs",
           "measured": "the faster at first use: " + ", ".join(f"{k} {v * 1e6:.1f} µs" for k, v in chosen["timings"].items())}
    return f"kernels: {chosen['name']} ({why[chosen['reason']]}); timed per variant: {', '.join(env['kernel_variants'])}"


def describe(env: dict[str, Any], mach: dict[str, Any]) -> list[str]:
    blas = env["numpy_blas"]
    lines = [
        kernel_line(env),
        f"machine: {mach['cpu']} ({mach['cpu_family_model']}{', AVX-512F' if mach['avx512f'] else ''}), "
        f"{mach['cpus']} CPUs, {mach['ram_gib']} GiB RAM, L2 {mach['l2']}, L3 {mach['l3']}"
        + (f", {mach['hypervisor']} guest" if mach["hypervisor"] else ""),
        f"python {env['python']}, numpy {env['numpy']}, _quantelle built {env['quantelle_built']}"
        + (f" (tree at {env['git_head']})" if env["git_head"] else ""),
    ]
    if blas:
        lines.append(f"NumPy BLAS: {blas.get('internal_api')} {blas.get('version')}, kernel "
                     f"{blas.get('architecture') or blas.get('corename')}, {blas.get('num_threads')} threads by default "
                     f"({blas.get('threading_layer')})")
    else:
        lines.append("NumPy BLAS: unknown (threadpoolctl not installed: the 1-thread NumPy figures are skipped)")
    lines.append("OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE: "
                 + (f"unset for this run (were {UNSET})" if UNSET else "not set"))
    if env["faiss"]:
        lines.append(f"faiss-cpu {env['faiss']['version']} ({env['faiss']['compile_options']}), OpenMP threads 1 "
                     f"and {peers.THREADS}")
    else:
        lines.append("faiss-cpu: not installed, skipped")
    lines.append(f"usearch {env['usearch']}, exact search" if env["usearch"] else "usearch: not installed, skipped")
    lines.append(f"threads: 1, and {peers.THREADS} (the CPUs this process may use) for the N-thread floor and peers"
                 + (f"; FMA peak of one core {env['fma_peak'] / 1e9:.1f} GFLOP/s" if env.get("fma_peak") else ""))
    engine = env.get("engine")
    if engine is not None:
        own = engine["kernels_in_own_process"]
        lines.append("engine: Corpus.search at set_num_threads(1) and at the default "
                     f"{peers.THREADS}, on the kernels this process chose"
                     + (f", and on {', '.join(own)} each in a process of its own" if own else
                        " (the one SIMD table this CPU runs: no other to compare)"))
    if env["floor_loops"]:
        lines.append(f"floor: fastest of the read loops {', '.join(env['floor_loops'])} "
                     f"(bench/floor.c, -O3, built with {env['floor_compiler']})")
    return lines


# ---- the run ----

def mmr_points(grid: list[tuple[int, int]]) -> set[tuple[int, int]]:
    best: dict[int, tuple[int, int]] = {}
    for n, d in grid:
        if n <= MMR_MAX_N and (d not in best or n > best[d][0]):
            best[d] = (n, d)
    if not best:  # only huge points: take the smallest of each dimension
        for n, d in sorted(grid):
            best.setdefault(d, (n, d))
    return set(best.values())


def with_engine(cases: list[Case], engine: list[Case]) -> list[Case]:
    """The engine's cases before the peers at default threads, whose idle workers may still spin
    for a moment after a call."""
    at = next((i for i, c in enumerate(cases) if c.key in DEFAULT_THREADS_LAST), len(cases))
    return cases[:at] + engine + cases[at:]


def run_point(n: int, d: int, args: argparse.Namespace, floor: native.Floor | None,
              threads: peers.Threads, with_mmr: bool, env: dict[str, Any]) -> dict[str, Any]:
    w = workload.build(n, d, args.seed)
    index = peers.faiss_index(w.matrix) if "faiss" in args.groups and peers.faiss_available() else None
    engine = engine_cases.Engine(w, args.engine_kernels, args.seed) if "engine" in args.groups else None
    watch = CpuWatch()
    cases = bench_cases.score_cases(w, floor, threads, args.groups, index)
    if engine is not None:
        cases = with_engine(cases, engine.cases())
    if with_mmr:
        cases += bench_cases.mmr_cases(w, threads, args.groups)
    timing.measure(cases, args.repeat, args.warmup, args.sample_ms / 1e3)
    variant = env["kernel"]["name"] if env["kernel"] else None
    many: list[Case] = []
    queries = bench_cases.many_queries(w) if n >= args.many_from else None
    if queries is not None:
        engine_many = engine.many_cases(queries) if engine is not None else []
        many = engine_many + bench_cases.many_cases(w, queries, args.groups, index, variant, bool(engine_many))
    timing.measure(many, min(args.repeat, args.many_repeat), 0.0, args.sample_ms / 1e3)
    records = bench_cases.pick_floor({c.key: report.case_record(c) for c in cases + many})
    report.add_ratios(records)
    agreement = bench_cases.agreement(w, index) if "score" in args.groups and "numpy" in args.groups else {}
    if queries is not None and "many" in args.groups and "numpy" in args.groups:
        agreement.update(bench_cases.many_agreement(w, queries, variant))
    if engine is not None:
        agreement.update(engine.agreement(queries))
        engine.close()
    point = {
        "n": n, "d": d, "nbytes": w.nbytes, "inputs_built_s": round(w.build_seconds, 2),
        "other_processes_cpu_share": round(watch.others(), 3),
        "cases": records,
        "breakdown": report.breakdown(records),
        "agreement": agreement,
        "many_queries": bench_cases.MANY_QUERIES,
        "compute_bound_per_query_s": 2.0 * n * d / env["fma_peak"] if env.get("fma_peak") else None,
    }
    return point


def print_point(p: dict[str, Any]) -> None:
    print(f"\n{report.point_title(p)}; other processes used {p['other_processes_cpu_share']:.0%} of the CPUs")
    for head, rows in report.point_tables(p):
        print(report.text_table(head, rows))
    variants = p["cases"].get("floor.read", {}).get("floor_variants")
    if variants:
        print("  floor loops: " + ", ".join(f"{k} {report.fmt_time(v)}" for k, v in variants.items()))
    lines = report.breakdown_lines(p)
    if lines:
        print("  from outside: " + "; ".join(lines))
    if p["agreement"]:
        print("  same work: " + ", ".join(f"{k} {v}" for k, v in p["agreement"].items()))
    sys.stdout.flush()


def overview(result: dict[str, Any], targets: bool = True) -> list[tuple[str, tuple[list[str], list[list[str]]]]]:
    points = result["points"]
    return [
        ("Per call, median (× the floor of the same run)", report.summary_table(points)),
        ("The plain call against each peer (below 1: faster)", report.peer_table(points)),
        (f"{bench_cases.MANY_QUERIES} queries at once, per query (× the 1-thread floor; tiles also × the "
         "compute bound of one core)", report.many_table(points)),
        ("MMR", report.mmr_table(points)),
        (f"Corpus.search, the layer's engine (× the floor of as many threads; peers at default threads; below 1: "
         "faster)", engine_report.search_table(points, peers.THREADS)),
        (f"Corpus.search_many of {bench_cases.MANY_QUERIES} queries, per query, default threads (below 1: faster)",
         engine_report.many_table(points, peers.THREADS)),
        ("Where a score_candidates call goes, from outside (differences of medians)",
         report.breakdown_table(points)),
    ] + ([("Targets", report.targets_table(result["targets"]))] if targets else [])


def markdown(result: dict[str, Any], targets: bool = True) -> str:
    out = []
    for title, (head, rows) in overview(result, targets):
        if rows:
            out += [f"**{title}**", "", report.markdown_table(head, rows), ""]
    out += ["<details><summary>Every case, per grid point</summary>", ""]
    for p in result["points"]:
        out += [f"**{report.point_title(p)}**", ""]
        for head, rows in report.point_tables(p):
            out += [report.markdown_table(head, rows), ""]
    out += ["</details>", ""]
    return "\n".join(out)


def main(argv: list[str]) -> int:
    args = parse_args(argv)
    if args.kernel:  # read by the module at its first call, which comes later
        os.environ["QUANTELLE_KERNEL"] = args.kernel
    started = datetime.datetime.now().astimezone()
    threads = peers.Threads()
    peers.faiss_one_thread()
    try:
        floor: native.Floor | None = native.load()
    except RuntimeError as e:
        print(f"note: no floor kernel: {e}", file=sys.stderr)
        floor = None
    if args.engine_kernels is None:
        args.engine_kernels = engine_cases.default_kernels(bench_cases.kernel_variants())
    env, mach = environment(threads, floor), machine()
    if "engine" in args.groups:
        env["engine"] = {"kernels_in_own_process": args.engine_kernels, "notes": engine_cases.notes()}
    load_start = os.getloadavg()
    print(f"quantelle benchmark, {started:%Y-%m-%d %H:%M %Z}: {' '.join(['bench/run.py', *argv])}")
    for line in describe(env, mach):
        print("  " + line)
    print(f"  load average at start: {load_start[0]:.2f} {load_start[1]:.2f} {load_start[2]:.2f}")
    print(f"  medians of {args.repeat} interleaved rounds; calls batched to >= {args.sample_ms:g} ms per sample; "
          "gc paused while timing; each sample after an untimed call of its own case")
    print(f"  memory: {timing.MEMORY_METHOD}" if timing.memory_probe_works() else "  memory: not measurable here")
    if "numpy" in args.groups and not threads.available:
        print("  note: threadpoolctl is not installed: 1-thread NumPy figures skipped")
    if "faiss" in args.groups and not peers.faiss_available():
        print("  note: faiss-cpu is not installed: faiss figures skipped")
    if "engine" in args.groups:
        for note in engine_cases.notes():
            print(f"  note: {note}")

    watch = CpuWatch()
    points = []
    chosen = mmr_points(args.grid)
    for n, d in args.grid:
        point = run_point(n, d, args, floor, threads, (n, d) in chosen, env)
        print_point(point)
        points.append(point)

    load_end = os.getloadavg()
    result = {
        "command": " ".join(["bench/run.py", *argv]),
        "date": started.isoformat(timespec="seconds"),
        "machine": mach,
        "environment": env,
        "load_average_start": load_start,
        "load_average_end": load_end,
        "other_processes_cpu_share": round(watch.others(), 3),
        "rounds": args.repeat,
        "memory_method": timing.MEMORY_METHOD,
        "points": points,
        # A target that nothing of this run measured (a group left out) is not shown.
        "targets": [t for t in report.targets(points) + engine_report.targets(points, peers.THREADS)
                    if t["pass"] is not None],
    }
    for title, (head, rows) in overview(result):
        if rows:
            print(f"\n{title}\n" + report.text_table(head, rows))
    print(f"\nload average at end: {load_end[0]:.2f} {load_end[1]:.2f} {load_end[2]:.2f}; other processes used "
          f"{result['other_processes_cpu_share']:.0%} of the CPUs during the run")
    if result["other_processes_cpu_share"] > BUSY_SHARE:
        print("note: the machine was not quiet: other processes competed for the cores and memory bandwidth, "
              "so absolute figures are lower and noisier than on an idle machine (ratios are from the same rounds)")
    if args.json:
        args.json.write_text(json.dumps(result, indent=1) + "\n")
        print(f"wrote {args.json}")
    if args.markdown:
        args.markdown.write_text(markdown(result))
        print(f"wrote {args.markdown}")
    if args.write_docs:
        for path in report.write_docs(ROOT, result, markdown(result, targets=False), describe(env, mach)):
            print(f"wrote {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
