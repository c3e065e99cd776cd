"""Times MiniLMEmbedder.embed_many and one short query at 1 thread and at the default count.

    flock -x /tmp/quantelle-machine.lock .venv/bin/python tools/time_minilm.py --dump build/minilm-texts.json

takes every k-th of the demo's documents (``-n`` of them) and writes them with ``--dump``, so
that ``tools/make_minilm_reference.py --time build/minilm-texts.json`` times the reference on the
same texts (``--texts`` reads such a file here too). The thread counts run in turn, ``--rounds``
times; each rate printed is the best round, the others follow in brackets to show the noise.
The BLAS kernel is read with threadpoolctl (the ``bench`` extra) where it is installed.
"""

from __future__ import annotations

import argparse
import json
import platform
import time
from pathlib import Path

from quantelle import MiniLMEmbedder, get_num_threads
from quantelle.demo import sources

QUERY = "read a json file"


def cpu_name() -> str:
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            info = {k.strip(): v.strip() for k, v in (line.split(":", 1) for line in f if ":" in line)}
    except OSError:
        return platform.processor() or "unknown CPU"
    flags = info.get("flags", "").split()
    return (f"{info.get('model name', '?').strip()} (family {info.get('cpu family', '?').strip()}, "
            f"model {info.get('model', '?').strip()}, {'AVX-512' if 'avx512f' in flags else 'no AVX-512'})")


def blas_name() -> str:
    try:
        from threadpoolctl import threadpool_info
    except ImportError:
        return "BLAS not named: threadpoolctl is not installed"
    return "; ".join(f"{i['internal_api']} {i.get('version')}, {i.get('architecture')} kernel, "
                     f"{i['num_threads']} threads" for i in threadpool_info() if i["user_api"] == "blas")


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("-n", type=int, default=1000, help="documents (every k-th of the demo corpus)")
    p.add_argument("--dump", type=Path, help="write the texts here as a JSON list")
    p.add_argument("--texts", type=Path, help="time the texts of this JSON list instead")
    p.add_argument("--threads", default=f"1,{get_num_threads()}", help="comma-separated counts")
    p.add_argument("--rounds", type=int, default=3, help="runs of each count, taken in turn")
    args = p.parse_args()
    if args.texts:
        texts = json.loads(args.texts.read_text(encoding="utf-8"))
    else:
        docs = sources.stdlib_documents() + sources.changelog_documents()
        texts = [d.text for d in docs[:: max(1, len(docs) // args.n)]][: args.n]
    if args.dump:
        args.dump.parent.mkdir(parents=True, exist_ok=True)
        args.dump.write_text(json.dumps(texts), encoding="utf-8")
    counts = list(dict.fromkeys(int(c) for c in args.threads.split(",")))
    models = {n: MiniLMEmbedder(threads=n) for n in counts}
    tokens = sum(len(t) for t in models[counts[0]].token_ids(texts))
    print(f"{len(texts)} texts, {tokens / len(texts):.0f} tokens each on average; {cpu_name()}; {blas_name()}")
    rates: dict[int, list[float]] = {n: [] for n in counts}
    queries: dict[int, list[float]] = {n: [] for n in counts}
    for model in models.values():
        model.embed_many(texts[:64])  # warm-up
    for _ in range(args.rounds):
        for n, model in models.items():
            start = time.perf_counter()
            model.embed_many(texts)
            rates[n].append(len(texts) / (time.perf_counter() - start))
            for _ in range(20):
                start = time.perf_counter()
                model(QUERY)
                queries[n].append(time.perf_counter() - start)
    for n in counts:
        others = ", ".join(f"{r:.1f}" for r in rates[n])
        print(f"numpy, {n} thread(s): {max(rates[n]):.1f} texts/s ({others}); "
              f"one short query {min(queries[n]) * 1000:.1f} ms")


if __name__ == "__main__":
    main()
