"""Times MiniLMEmbedder.embed_many on demo documents at 1 and 2 BLAS threads (run under the lock).

    flock /tmp/quantelle-bench.lock .venv/bin/python tools/time_minilm.py --dump build/minilm-1000.json

``--dump`` also writes the texts, so that tools/make_minilm_reference.py --time runs the same.
"""

from __future__ import annotations

import argparse
import json
import time
from pathlib import Path

from threadpoolctl import threadpool_info, threadpool_limits

from quantelle import MiniLMEmbedder
from quantelle.demo import sources


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("-n", type=int, default=1000, help="documents (every k-th of the demo corpus)")
    p.add_argument("--dump", type=Path, help="write the texts here as a JSON list")
    args = p.parse_args()
    docs = sources.stdlib_documents() + sources.changelog_documents()
    texts = [d.text for d in docs[:: max(1, len(docs) // args.n)]][: args.n]
    if args.dump:
        args.dump.parent.mkdir(parents=True, exist_ok=True)
        args.dump.write_text(json.dumps(texts), encoding="utf-8")
    model = MiniLMEmbedder()
    tokens = sum(len(t) for t in model.token_ids(texts))
    print(f"{len(texts)} of {len(docs):,} demo documents, {tokens / len(texts):.0f} tokens each on "
          f"average; BLAS: {[(i['internal_api'], i.get('architecture')) for i in threadpool_info()]}")
    for threads in (1, 2):
        with threadpool_limits(threads):
            model.embed_many(texts[:64])  # warm-up
            start = time.perf_counter()
            model.embed_many(texts)
            seconds = time.perf_counter() - start
            query = []
            for _ in range(20):
                t = time.perf_counter()
                model("read a json file")
                query.append(time.perf_counter() - t)
        print(f"numpy, {threads} thread(s): {len(texts)} texts in {seconds:.2f} s = "
              f"{len(texts) / seconds:.1f} texts/s; one short query {min(query) * 1000:.1f} ms")


if __name__ == "__main__":
    main()
