"""Float16 storage against float32: scan time against the float32 read floor (one thread, and
the same on more threads against the read floor on as many), the rows re-scored in float32, and
the resident memory of a corpus opened from disk.

    python bench/half.py                      # 1M x 384 (about 4 GB of memory, 3 GB of disk)
    python bench/half.py --sizes 100000x384 --queries 50 --rounds 7 --threads 1,2

Run it alone on the machine (flock -x): every figure is a ratio to a case of the same run.
"""

import argparse
import contextlib
import json
import shutil
import statistics
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

import numpy as np

import _quantelle
import cases as bench_cases
import native
import timing
import workload
from quantelle import Corpus, _engine
from quantelle.half import row_errors


def half_copy(m: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    h = np.empty(m.shape, np.float16)
    e = np.empty(m.shape[0], np.float32)
    step = 1 << 15
    for lo in range(0, m.shape[0], step):
        h[lo:lo + step] = m[lo:lo + step]
        e[lo:lo + step] = row_errors(m[lo:lo + step], h[lo:lo + step])
    return h, e


@contextlib.contextmanager
def pool_of(threads: int):
    before = _engine.get_num_threads()
    _engine.set_num_threads(threads)
    try:
        yield
    finally:
        _engine.set_num_threads(before)


def speed(w: workload.Workload, h: np.ndarray, e: np.ndarray, rounds: int,
          threads: int) -> dict[str, float]:
    """Medians (s) of the floor and of every case on `threads` threads; the float32 cases, which
    run on one thread whatever the pool, only where threads is 1."""
    floor = native.load()
    m, ids, idx, qv = w.matrix, w.ids, w.id_to_idx, w.query
    # The float16 calls as a corpus makes them: its ids as a tuple that the engine checked once.
    # _quantelle checks its list at every call, as it must.
    checked = tuple(ids)
    handle = _engine.CheckedIds(checked)  # lives to the end of the timings
    mods = workload.all_modulations(w)
    rep = timing.repeat
    if threads == 1:
        reads = {name: lambda r, name=name: floor.read(name, m, r) for name in floor.reads}
    else:
        reads = {name: lambda r, name=name: floor.read_threads(name, m, threads, r) for name in floor.reads}
    cases = [timing.Case(f"floor.{name}", name, run, w.nbytes, measure_memory=False)
             for name, run in reads.items()]
    calls = {
        "f32.plain": lambda: _quantelle.score_candidates(m, ids, idx, qv, limit=10),
        "f16.plain": lambda: _engine.score_f16(h, e, m, checked, idx, qv, limit=10),
        "f32.diverse": lambda: _quantelle.score_candidates(m, ids, idx, qv, limit=10, diverse=True),
        "f16.diverse": lambda: _engine.score_f16(h, e, m, checked, idx, qv, limit=10, diverse=True),
        "f32.all": lambda: _quantelle.score_candidates(m, ids, idx, qv, limit=10, **mods),
        "f16.all": lambda: _engine.score_f16(h, e, m, checked, idx, qv, limit=10, **mods),
    }
    cases += [timing.Case(k, k, rep(f), w.nbytes, context=lambda: pool_of(threads), measure_memory=False)
              for k, f in calls.items() if threads == 1 or k.startswith("f16.")]
    timing.measure(cases, rounds, 0.2, 5.0)
    assert handle.remembered
    out = {c.key: c.median for c in cases}
    out["floor"] = min(v for k, v in out.items() if k.startswith("floor."))
    return out


def candidates(w: workload.Workload, h: np.ndarray, e: np.ndarray, queries: int) -> dict[str, list[int]]:
    rng = np.random.default_rng(1)
    counts: dict[str, list[int]] = {"limit:10": [], "diverse": []}
    for _ in range(queries):
        q = workload.unit(rng, w.d)
        counts["limit:10"].append(_engine.score_f16(h, e, w.matrix, w.ids, w.id_to_idx, q, limit=10)[1])
        counts["diverse"].append(
            _engine.score_f16(h, e, w.matrix, w.ids, w.id_to_idx, q, limit=10, diverse=True)[1])
    return counts


RESIDENT = """
import json, sys, numpy as np
from quantelle import Corpus
c = Corpus.open(sys.argv[1], storage=sys.argv[2])
rng = np.random.default_rng(2)
for _ in range(5):
    c.search(rng.standard_normal(c.dim), "limit:10")
kib = {l.split(":")[0]: int(l.split()[1]) for l in open("/proc/self/status") if l.startswith("VmRSS")}
print(json.dumps(kib["VmRSS"]))
"""


def resident(w: workload.Workload) -> dict[str, int]:
    """VmRSS (KiB) of a fresh process that opened the saved corpus and searched it five times:
    float32, float16 from the copy saved with the rows, and float16 from a directory without
    it (the copy converted at open)."""
    with tempfile.TemporaryDirectory(dir=Path(__file__).resolve().parent.parent / "build") as tmp:
        with_copy, without = Path(tmp) / "with", Path(tmp) / "without"
        corpus = Corpus(w.matrix, w.ids)
        corpus.save(with_copy, storage="float16")  # a float32 open never reads the copy
        out = {"float32": _rss(with_copy, "float32"), "float16": _rss(with_copy, "float16")}
        shutil.rmtree(with_copy)  # one corpus on disk at a time
        corpus.save(without)
        out["float16 converted at open"] = _rss(without, "float16")
        return out


def _rss(directory: Path, storage: str) -> int:
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(RESIDENT), str(directory), storage],
                          capture_output=True, text=True, check=True)
    return int(json.loads(done.stdout))


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--sizes", default="1000000x384")
    p.add_argument("--rounds", type=int, default=7)
    p.add_argument("--queries", type=int, default=30)
    p.add_argument("--threads", default="1", help="thread counts to time, e.g. 1,2")
    p.add_argument("--no-resident", action="store_true", help="skip the resident-memory figure")
    args = p.parse_args()
    for size in args.sizes.split(","):
        n, d = (int(x) for x in size.lower().split("x"))
        w = workload.build(n, d)
        h, e = half_copy(w.matrix)
        kernel = bench_cases.chosen_kernel()
        for threads in (int(x) for x in args.threads.split(",")):
            print(f"{n} x {d}, {threads} thread{'s' if threads > 1 else ''}, kernel {kernel[0] if kernel else '?'}")
            t = speed(w, h, e, args.rounds, threads)
            for case in ("plain", "diverse", "all"):
                f16 = t[f"f16.{case}"]
                line = f"  {case:8s} "
                if f"f32.{case}" in t:
                    f32 = t[f"f32.{case}"]
                    line += f"float32 {f32 * 1e3:8.2f} ms ({f32 / t['floor']:.2f} x floor)   "
                line += f"float16 {f16 * 1e3:8.2f} ms ({f16 / t['floor']:.2f} x floor"
                print(line + (f", {f16 / t[f'f32.{case}']:.2f} x float32)" if f"f32.{case}" in t else ")"))
            print(f"  floor (best read loop, {threads} thread{'s' if threads > 1 else ''}) {t['floor'] * 1e3:.2f} ms")
        for what, c in candidates(w, h, e, args.queries).items():
            print(f"  re-scored, {what}: median {statistics.median(c):.0f}, worst {max(c)} of {len(c)} queries")
        if args.no_resident:
            continue
        rss = resident(w)
        print(f"  resident after open + 5 searches: float32 {rss['float32'] / 1024:.0f} MiB, " + ", ".join(
            f"{k} {v / 1024:.0f} MiB ({v / rss['float32']:.2f} x)" for k, v in rss.items() if k != "float32"))


if __name__ == "__main__":
    main()
