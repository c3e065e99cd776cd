"""Sharded search on a local cluster against `Corpus.search` in one process.

    python bench/sharded.py                         # 200,000 x 384, 1 and 2 workers
    python bench/sharded.py --rows 50000 --repeat 5 --json build/bench-sharded.json

`make bench-sharded` installs the package (Release, with the `distributed` extra) and runs
this; run it alone on the machine: `flock -x /tmp/quantelle-machine.lock .venv/bin/python
bench/sharded.py`. Each worker is a process with one thread; the client is this process.

Figures: latency is the median of single searches in interleaved rounds (every contender once
per round); throughput is searches per second with `--threads` client threads searching at once;
the fixed cost per search is the latency on a tiny corpus (`--tiny` rows), where the scan costs
next to nothing, less the same search in one process, and the bare actor round trip is a call
that does no work. The per-row scan cost is the latency difference between the large and the
tiny corpus over the row difference, in one process and on one worker.
"""

from __future__ import annotations

import argparse
import json
import platform
import statistics
import sys
import threading
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np

import _quantelle
from quantelle import Corpus
from quantelle.distributed import ShardedCorpus

try:
    import _quantelle_probe as probe
except ImportError:  # built without the test probe
    probe = None

MODIFIERS = {"plain": "", "diverse": "diverse", "like": "like:d1,d7", "recent": "recent"}


def parse_args(argv: list[str]) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--rows", type=int, default=200_000, help="rows of the large corpus")
    p.add_argument("--dim", type=int, default=384)
    p.add_argument("--tiny", type=int, default=1_000, help="rows of the corpus that gives the fixed cost")
    p.add_argument("--workers", default="1,2", help="comma-separated worker counts")
    p.add_argument("--repeat", type=int, default=15, help="rounds of latency samples")
    p.add_argument("--threads", type=int, default=4, help="client threads for the throughput figure")
    p.add_argument("--throughput-seconds", type=float, default=3.0)
    p.add_argument("--sweep", default="1,4,16",
                   help="shard counts on one worker for the per-shard cost on the tiny corpus ('' for none)")
    p.add_argument("--cases", default="plain,diverse,like,recent", help="comma-separated: " + ",".join(MODIFIERS))
    p.add_argument("--within", type=int, default=100_000,
                   help="ids in the within= list of the within case (0 for none); target: at most 10 x Corpus")
    p.add_argument("--json", type=Path, help="write every figure here")
    args = p.parse_args(argv)
    args.worker_counts = [int(w) for w in args.workers.split(",")]
    args.shard_counts = [int(s) for s in args.sweep.split(",") if s]
    args.case_names = args.cases.split(",")
    unknown = set(args.case_names) - set(MODIFIERS)
    if unknown:
        p.error(f"unknown case(s) {sorted(unknown)}; known: {', '.join(MODIFIERS)}")
    return args


def corpus_data(rows: int, dim: int, seed: int = 7) -> tuple[np.ndarray, list[str], np.ndarray]:
    rng = np.random.default_rng(seed)
    m = rng.standard_normal((rows, dim), dtype=np.float32)
    return m, [f"d{i}" for i in range(rows)], time.time() - rng.uniform(0, 3e7, rows)


def latency(searches: dict[str, Callable[[np.ndarray], object]], queries: list[np.ndarray],
            rounds: int) -> dict[str, float]:
    """Median seconds per search, every contender once per round with the same query."""
    for run in searches.values():  # warm up: caches, lazy imports, connections
        run(queries[0])
        run(queries[1])
    samples: dict[str, list[float]] = {k: [] for k in searches}
    for r in range(rounds):
        q = queries[r % len(queries)]
        for key, run in searches.items():
            t0 = time.perf_counter()
            run(q)
            samples[key].append(time.perf_counter() - t0)
    return {k: statistics.median(v) for k, v in samples.items()}


def throughput(run: Callable[[np.ndarray], object], queries: list[np.ndarray], threads: int,
               seconds: float) -> float:
    """Searches per second with `threads` client threads searching at once."""
    done = [0] * threads
    stop = time.perf_counter() + seconds

    def loop(t: int) -> None:
        i = t
        while time.perf_counter() < stop:
            run(queries[i % len(queries)])
            done[t] += 1
            i += threads

    started = time.perf_counter()
    pool = [threading.Thread(target=loop, args=(t,)) for t in range(threads)]
    for th in pool:
        th.start()
    for th in pool:
        th.join()
    return sum(done) / (time.perf_counter() - started)


def bench(args: argparse.Namespace) -> dict[str, Any]:
    import distributed

    rng = np.random.default_rng(11)
    queries = [rng.standard_normal(args.dim).astype(np.float32) for _ in range(16)]
    sizes = {"large": args.rows, "tiny": args.tiny}
    data = {name: corpus_data(n, args.dim) for name, n in sizes.items()}
    local = {name: Corpus(*d) for name, d in data.items()}
    out: dict[str, Any] = {"latency": {}, "throughput": {}, "agree": {}, "round_trip": {}}

    def searcher(corpus: Corpus | ShardedCorpus, modifiers: str) -> Callable[[np.ndarray], object]:
        return lambda q: corpus.search(q, modifiers).hits

    for name in sizes:
        cases = {f"{name}.local.{c}": searcher(local[name], MODIFIERS[c]) for c in args.case_names}
        out["latency"].update(latency(cases, queries, args.repeat))
    # within=: the id list crosses to every shard; the same list on one process for the ratio.
    listed = np.random.default_rng(5).choice(len(data["large"][1]), min(args.within, args.rows), replace=False)
    chosen = [data["large"][1][j] for j in listed.tolist()]
    within_rounds = max(3, args.repeat // 3)

    def within(corpus: Corpus | ShardedCorpus) -> Callable[[np.ndarray], object]:
        return lambda q: corpus.search(q, within=chosen).hits

    if chosen:
        out["latency"].update(latency({"within.local": within(local["large"])}, queries, within_rounds))
    for c in args.case_names:
        out["throughput"][f"large.local.{c}"] = throughput(
            searcher(local["large"], MODIFIERS[c]), queries, 1, args.throughput_seconds)

    for workers in args.worker_counts:
        cluster = distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                           dashboard_address=None)
        try:
            with distributed.Client(cluster) as client:
                sharded = {name: ShardedCorpus(client, *d, shards=workers, timeout=600.0)
                           for name, d in data.items()}
                for name in sizes:
                    cases = {f"{name}.w{workers}.{c}": searcher(sharded[name], MODIFIERS[c])
                             for c in args.case_names}
                    out["latency"].update(latency(cases, queries, args.repeat))
                    for c in args.case_names:
                        q = queries[3]
                        out["agree"][f"{name}.w{workers}.{c}"] = (
                            sharded[name].search(q, MODIFIERS[c]).hits == local[name].search(q, MODIFIERS[c]).hits)
                for c in args.case_names:
                    out["throughput"][f"large.w{workers}.{c}"] = throughput(
                        searcher(sharded["large"], MODIFIERS[c]), queries, args.threads,
                        args.throughput_seconds)
                # A call that does no work: the actor round trip alone.
                actor = sharded["tiny"]._shards.actors[0]
                trips = []
                for _ in range(max(20, args.repeat)):
                    t0 = time.perf_counter()
                    actor.lookup([], []).result()
                    trips.append(time.perf_counter() - t0)
                out["round_trip"][f"w{workers}"] = statistics.median(trips)
                if chosen:
                    out["latency"].update(latency({f"within.w{workers}": within(sharded["large"])},
                                                  queries, within_rounds))
                    out["agree"][f"within.w{workers}"] = (
                        sharded["large"].search(queries[3], within=chosen).hits
                        == local["large"].search(queries[3], within=chosen).hits)
        finally:
            cluster.close()

    if args.shard_counts:
        # Many shards on one worker: what each more shard adds to a search on the client and the
        # worker together (on a cluster the workers' part runs in parallel, the client's not).
        cluster = distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True,
                                           dashboard_address=None)
        try:
            with distributed.Client(cluster) as client:
                cases = {f"tiny.s{s}.{c}": searcher(ShardedCorpus(client, *data["tiny"], shards=s), MODIFIERS[c])
                         for s in args.shard_counts for c in args.case_names if c in ("plain", "diverse")}
                out["latency"].update(latency(cases, queries, args.repeat))
                # CPU time of this process (client, its event loop and the local scheduler) per
                # search: the part that does not spread over the workers.
                out["client_cpu"] = {}
                for key, run in cases.items():
                    t0 = time.process_time()
                    for r in range(args.repeat):
                        run(queries[r % len(queries)])
                    out["client_cpu"][key] = (time.process_time() - t0) / args.repeat
        finally:
            cluster.close()

    lat = out["latency"]
    derived: dict[str, float] = {}
    span = sizes["large"] - sizes["tiny"]
    for c in args.case_names:
        derived[f"per_row.local.{c}"] = (lat[f"large.local.{c}"] - lat[f"tiny.local.{c}"]) / span
        for w in args.worker_counts:
            derived[f"fixed.w{w}.{c}"] = lat[f"tiny.w{w}.{c}"] - lat[f"tiny.local.{c}"]
            if w == 1:
                derived[f"per_row.w1.{c}"] = (lat[f"large.w1.{c}"] - lat[f"tiny.w1.{c}"]) / span
        if len(args.shard_counts) > 1 and c in ("plain", "diverse"):
            lo, hi = min(args.shard_counts), max(args.shard_counts)
            derived[f"per_shard.{c}"] = (lat[f"tiny.s{hi}.{c}"] - lat[f"tiny.s{lo}.{c}"]) / (hi - lo)
            cpu = out["client_cpu"]
            derived[f"client_cpu.s{lo}.{c}"] = cpu[f"tiny.s{lo}.{c}"]
            derived[f"client_cpu_per_shard.{c}"] = (cpu[f"tiny.s{hi}.{c}"] - cpu[f"tiny.s{lo}.{c}"]) / (hi - lo)
    for w in args.worker_counts if chosen else ():
        derived[f"within_ratio.w{w}"] = lat[f"within.w{w}"] / lat["within.local"]
    out["derived"] = derived
    return out


def machine() -> dict[str, Any]:
    cpu = platform.processor()
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    variants = probe.variants() if probe is not None else []
    return {"cpu": cpu, "kernel": variants[-1] if variants else "unknown (no probe built)",
            "python": platform.python_version(), "module": _quantelle.__file__}


def fmt(seconds: float) -> str:
    if seconds >= 1.0:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.2f} ms"
    if seconds >= 1e-6:
        return f"{seconds * 1e6:.1f} us"
    return f"{seconds * 1e9:.2f} ns"


def report(args: argparse.Namespace, out: dict[str, Any]) -> None:
    m = out["machine"]
    print(f"{m['cpu']}, {m['kernel']} kernels; {args.rows} x {args.dim} (tiny {args.tiny}); "
          f"{args.repeat} rounds; throughput with {args.threads} client threads")
    who = ["local"] + [f"w{w}" for w in args.worker_counts]
    print(f"{'case':<16}" + "".join(f"{w:>14}" for w in who))
    for name in ("large", "tiny"):
        for c in args.case_names:
            row = [out["latency"][f"{name}.{w}.{c}"] for w in who]
            print(f"{name + ' ' + c:<16}" + "".join(f"{fmt(v):>14}" for v in row))
    for s in args.shard_counts:
        print(f"tiny, {s} shards on 1 worker: " + ", ".join(
            f"{c} {fmt(out['latency'][f'tiny.s{s}.{c}'])}" for c in args.case_names if c in ("plain", "diverse")))
    for c in args.case_names:
        row = [out["throughput"][f"large.{w}.{c}"] for w in who]
        print(f"{'q/s ' + c:<16}" + "".join(f"{v:>14.1f}" for v in row))
    print("actor round trip: " + ", ".join(f"{k} {fmt(v)}" for k, v in out["round_trip"].items()))
    if args.within:
        print(f"within {args.within} ids: " + ", ".join(
            f"{w} {fmt(out['latency'][f'within.{w}'])}" for w in who))
    for k, v in out["derived"].items():
        print(f"{k}: {v:.2f} x" if k.startswith("within_ratio") else f"{k}: {fmt(v)}")
    if not all(out["agree"].values()):
        print("DISAGREE: " + ", ".join(k for k, v in out["agree"].items() if not v))


def main(argv: list[str]) -> int:
    args = parse_args(argv)
    out = bench(args)
    out["machine"] = machine()
    out["args"] = {k: v for k, v in vars(args).items() if k != "json"}
    report(args, out)
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps(out, indent=1, default=str))
    return 0 if all(out["agree"].values()) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
