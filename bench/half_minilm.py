"""Float16 storage on real embeddings: the rows re-scored per search on the demo corpus embedded
with all-MiniLM-L6-v2 (needs the minilm extra and its model files), each search checked against
the float32 corpus.

    python bench/half_minilm.py     # embeds the demo's documents once (minutes), then cached

The embeddings come from the demo's cache when it holds them (`make demo EMBED=minilm` fills it).
"""

import statistics

from quantelle import Corpus
from quantelle.demo import cli
from quantelle.demo.cache import default_cache_dir
from quantelle.minilm import MiniLMEmbedder

# Questions a user of the demo asks: the standard library's docstrings and Debian changelogs.
QUERIES = [
    "read a json file", "parse command line arguments", "open a network socket", "compress data with gzip",
    "format a date as text", "run a subprocess and capture output", "regular expression match",
    "sort a list in place", "security fix for a buffer overflow", "new upstream release", "thread pool executor",
    "hash a password", "read a csv file", "write to a temporary file", "decode base64", "http request headers",
    "unit test assertions", "random number generator seed", "parse xml document", "copy a directory tree",
    "send an email", "fix memory leak", "update translations", "build with a newer compiler",
    "serialize objects to bytes", "asynchronous event loop", "measure elapsed time", "unicode normalization",
    "logging configuration", "sqlite database",
]


def main() -> None:
    embedder = MiniLMEmbedder()
    demo = cli.build_corpus("all", embedder, default_cache_dir())
    matrix, ids = demo.corpus.matrix, demo.corpus.ids
    f32, f16 = Corpus(matrix, ids), Corpus(matrix, ids, storage="float16")
    vectors = embedder.embed_many(QUERIES)
    print(f"demo corpus, {len(ids)} documents x {matrix.shape[1]} (all-MiniLM-L6-v2)")
    for modifiers in ("limit:10", "diverse"):
        counts = []
        for v in vectors:
            a, b = f32.search(v, modifiers), f16.search(v, modifiers)
            if [(h.id, h.score) for h in a.hits] != [(h.id, h.score) for h in b.hits]:
                raise SystemExit(f"float16 and float32 disagree on {modifiers!r}")
            counts.append(b.prepared.rescored)
        print(f"  re-scored, {modifiers}: median {statistics.median(counts):.0f}, worst {max(counts)} "
              f"of {len(counts)} queries")


if __name__ == "__main__":
    main()
