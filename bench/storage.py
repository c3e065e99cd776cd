"""The storage targets: open, single adds, search with dead rows, where=.

    python bench/storage.py                      # 1,000,000 x 384 (needs ~6 GB of memory)
    python bench/storage.py --rows 200000 --json build/bench-storage.json

`make bench-storage` installs the package (Release) and runs this; run it under the exclusive
lock: `flock -x /tmp/quantelle-machine.lock .venv/bin/python bench/storage.py`. Each figure is
the median of `--repeat` interleaved rounds, with its floor measured in the same round:

- open: `Corpus.open` of a saved corpus, memory-mapped, against parsing its ids file alone
  (target: at most that plus 50 ms);
- adds: 100,000 `add` calls of one row each (then one search, which publishes them), against
  one `Corpus` construction of the same rows (target: at most 3x);
- dead: a search after 10 % of the rows were removed (before compaction), against the same
  search on the compacted corpus (target: at most 1.15x);
- where: a search with ``where=`` on one equality field, against the same search with the
  equivalent precomputed ``mask=`` (target: at most 1.3x).
"""

from __future__ import annotations

import argparse
import json
import platform
import statistics
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np

from quantelle import Corpus


def seconds(fn: Callable[[], object]) -> float:
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def rounds(repeat: int, pairs: dict[str, Callable[[], object]]) -> dict[str, float]:
    """The median seconds of each callable over `repeat` interleaved rounds."""
    times: dict[str, list[float]] = {k: [] for k in pairs}
    for _ in range(repeat):
        for name, fn in pairs.items():
            times[name].append(seconds(fn))
    return {k: statistics.median(v) for k, v in times.items()}


def cpu() -> str:
    try:
        info = Path("/proc/cpuinfo").read_text()
    except OSError:
        return platform.processor()
    fields = dict(line.split(":", 1) for line in info.splitlines()[:30] if ":" in line)
    flags = fields.get("flags\t\t", "")
    isa = "avx512f" if "avx512f" in flags else "avx2" if "avx2" in flags else "scalar"
    name = fields.get("model name\t", "?").strip()
    return (f"{name}, family {fields.get('cpu family\t', '?').strip()} model "
            f"{fields.get('model\t\t', '?').strip()}, best kernel ISA {isa}")


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--rows", type=int, default=1_000_000)
    p.add_argument("--dim", type=int, default=384)
    p.add_argument("--adds", type=int, default=100_000)
    p.add_argument("--repeat", type=int, default=5)
    p.add_argument("--json", type=Path)
    args = p.parse_args()
    n, d = args.rows, args.dim
    rng = np.random.default_rng(2025)
    matrix = rng.standard_normal((n, d), dtype=np.float32)
    ids = [f"doc-{i:08d}" for i in range(n)]
    langs = ["en", "de", "fr", "es", "it", "nl", "pt", "sv"]
    metadata = [{"lang": langs[i % 8], "year": 2000 + i % 25} for i in range(n)]
    query = rng.standard_normal(d).astype(np.float32)
    figures: dict[str, dict[str, float]] = {}

    corpus = Corpus(matrix, ids, metadata=metadata)
    with tempfile.TemporaryDirectory(dir=Path.cwd() / "build" if (Path.cwd() / "build").is_dir()
                                     else None) as tmp:
        Corpus(matrix, ids).save(tmp)
        ids_file = Path(tmp) / "shard-00000.ids.json"
        t = rounds(args.repeat, {"ids": lambda: json.loads(ids_file.read_bytes()),
                                 "open": lambda: Corpus.open(tmp)})
        figures["open"] = {"seconds": t["open"], "floor": t["ids"], "over_ms": 1e3 * (t["open"] - t["ids"])}

    k = min(args.adds, n)
    block, block_ids = matrix[:k], ids[:k]

    def single_adds() -> None:
        c = Corpus(np.empty((0, d), np.float32), [])
        for j in range(k):
            c.add(block[j:j + 1], block_ids[j:j + 1])
        c.search(query, "limit:1")

    t = rounds(args.repeat, {"construct": lambda: Corpus(block, block_ids), "adds": single_adds})
    figures["adds"] = {"seconds": t["adds"], "floor": t["construct"], "ratio": t["adds"] / t["construct"]}

    dead = Corpus(matrix, ids)
    gone = ids[::10]
    dead.remove(gone)
    compacted = Corpus(np.delete(matrix, np.s_[::10], axis=0), [i for j, i in enumerate(ids) if j % 10])
    t = rounds(args.repeat, {"compacted": lambda: compacted.search(query, "limit:10"),
                             "dead": lambda: dead.search(query, "limit:10")})
    figures["dead"] = {"seconds": t["dead"], "floor": t["compacted"], "ratio": t["dead"] / t["compacted"]}

    mask = np.array([m["lang"] == "de" for m in metadata])
    corpus.search(query, "limit:10", where={"lang": "de"})  # the field is indexed on first use
    t = rounds(args.repeat, {"mask": lambda: corpus.search(query, "limit:10", mask=mask),
                             "where": lambda: corpus.search(query, "limit:10", where={"lang": "de"})})
    figures["where"] = {"seconds": t["where"], "floor": t["mask"], "ratio": t["where"] / t["mask"]}

    report = {"cpu": cpu(), "rows": n, "dim": d, "adds": k, "repeat": args.repeat, "figures": figures}
    for name, f in figures.items():
        rest = ", ".join(f"{key} {value:.4g}" for key, value in f.items())
        print(f"{name:6} {rest}")
    print(report["cpu"])
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps(report, indent=1))


if __name__ == "__main__":
    sys.exit(main())
