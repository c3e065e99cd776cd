"""``python -m quantelle.demo``: semantic search over text that is already on this machine.

One search with ``--query`` (and ``--modifiers``), or an interactive prompt without it.
"""

from __future__ import annotations

import argparse
import json
import math
import shutil
import sys
import time
from collections.abc import Sequence
from datetime import UTC, datetime
from pathlib import Path
from typing import TextIO

import numpy as np

from ..corpus import Corpus, SearchResult
from ..embedding import Embedder, HashingEmbedder, load_sentence_model
from ..grammar import modifier_words
from ..minilm import MiniLMEmbedder
from ..plan import HALF_LIFE_DAYS, NATIVE_DEFAULTS
from . import cache, sources
from .progress import ProgressBar, announce

__all__ = ["DemoCorpus", "ProgressBar", "build_corpus", "format_result", "main", "result_json"]

_SOURCES = ("all", "stdlib", "changelogs")


class DemoCorpus:
    """A `Corpus` plus what the table shows about each document."""

    def __init__(
        self,
        corpus: Corpus,
        excerpts: list[str],
        label: str,
        embedder: Embedder,
        seconds: float,
        cached: bool,
    ) -> None:
        self.corpus = corpus
        self.excerpts = excerpts
        self.label = label
        self.embedder = embedder
        self.seconds = seconds  # reading and embedding the documents (or loading the cache)
        self.cached = cached


def _documents(source: str) -> list[sources.Document]:
    docs: list[sources.Document] = []
    if source in ("all", "stdlib"):
        docs += sources.stdlib_documents(progress=ProgressBar("Reading the standard library"))
    if source in ("all", "changelogs"):
        docs += sources.changelog_documents(progress=ProgressBar("Reading Debian changelogs   "))
        if source == "changelogs" and not docs:
            raise sources.SourceError("no Debian changelogs under /usr/share/doc on this machine")
    if source not in _SOURCES:
        docs = sources.jsonl_documents(Path(source))
    return docs


def _cache_key(source: str, embedder: Embedder) -> str:
    if source not in _SOURCES:
        return cache.cache_key("jsonl", embedder.name, [], [Path(source).resolve()])
    files: list[Path] = []
    if source in ("all", "stdlib"):
        files += sources.stdlib_files()
    if source in ("all", "changelogs"):
        files += sources.changelog_files()
    return cache.cache_key(source, embedder.name, files)


def build_corpus(source: str, embedder: Embedder, cache_dir: Path | None) -> DemoCorpus:
    """Read and embed the documents of `source`, or load them from `cache_dir` when unchanged.

    The hashing embedding is first fitted to the documents (word weights); the demo's corpus then
    carries the fitted embedder, which its queries must use too.
    """
    start = time.perf_counter()
    key: str | None = None
    if cache_dir is not None:
        try:
            key = _cache_key(source, embedder)
        except OSError:
            pass  # an unreadable source: reading it below says what is wrong
    entry = cache.load(cache_dir, key, embedder.dim) if cache_dir and key else None
    cached = entry is not None
    if entry is None:
        docs = _documents(source)
        if not docs:
            raise sources.SourceError(f"corpus {source!r} has no documents")
        texts = [d.text for d in docs]
        if isinstance(embedder, MiniLMEmbedder):
            # The model costs about 15 ms per document here: the first paragraph carries the gist.
            texts = [t.strip().split("\n\n", 1)[0] for t in texts]
        if isinstance(embedder, HashingEmbedder):
            embedder = embedder.fitted(texts)
        else:
            announce(embedder, texts)
        matrix = embedder.embed_many(texts, ProgressBar(f"Embedding with {embedder.name}"))
        entry = cache.Cached(
            [d.id for d in docs],
            [d.excerpt for d in docs],
            np.array([math.nan if d.timestamp is None else d.timestamp for d in docs], np.float64),
            matrix,
            embedder.idf if isinstance(embedder, HashingEmbedder) else {},
        )
        if cache_dir is not None and key is not None:
            cache.save(cache_dir, key, entry)
    elif isinstance(embedder, HashingEmbedder):
        embedder = HashingEmbedder(embedder.dim, entry.idf)
    dated = bool(np.isfinite(entry.timestamps).any())
    corpus = Corpus(entry.matrix, entry.ids, entry.timestamps if dated else None, embed=embedder,
                    texts=entry.excerpts)
    label = source if source in _SOURCES else Path(source).name
    return DemoCorpus(corpus, entry.excerpts, label, embedder, time.perf_counter() - start, cached)


def _date(ts: float) -> str:
    if not math.isfinite(ts) or ts <= 0:
        return ""
    return datetime.fromtimestamp(ts, UTC).strftime("%Y-%m-%d")


def _cut(text: str, width: int) -> str:
    return text if len(text) <= width else text[: max(0, width - 1)] + "…"


def format_result(demo: DemoCorpus, result: SearchResult, width: int = 100, wide: bool = False) -> str:
    """The hits as a table, then the modulations, notes and timings.

    Ids are never cut, so any of them can be pasted into ``like:``. The id column widens as far as
    the excerpts keep 30 characters of `width`; a longer id gets a line of its own with the rest of
    its row under it. With `wide`, the column fits the longest id and lines may exceed `width`.
    """
    corpus = demo.corpus
    dated = corpus.timestamps is not None
    rows: list[tuple[str, str, str, str, str]] = []
    for rank, hit in enumerate(result.hits, 1):
        row = corpus.id_to_idx[hit.id]
        date = _date(float(corpus.timestamps[row])) if corpus.timestamps is not None else ""
        rows.append((str(rank), hit.id, f"{hit.score:.4f}", date, demo.excerpts[row]))
    header = ("#", "id", "score", "date", "excerpt")
    rank_width = max([1] + [len(r[0]) for r in rows])
    others = rank_width + 2 + 2 + 7 + 2 + (12 if dated else 0)
    longest = max([len(header[1])] + [len(r[1]) for r in rows])
    id_width = longest if wide else min(longest, max(12, width - others - 30))
    excerpt_width = max(20, width - others - id_width)

    def line(cells: tuple[str, str, str, str, str]) -> list[str]:
        rest = [cells[2].rjust(7)] + ([cells[3].ljust(10)] if dated else [])
        rest.append(_cut(cells[4], excerpt_width))
        rank = cells[0].rjust(rank_width)
        if len(cells[1]) > id_width:  # a whole id on its own line, the row continues under it
            return [f"{rank}  {cells[1]}",
                    "  ".join([" " * rank_width, " " * id_width, *rest]).rstrip()]
        return ["  ".join([rank, cells[1].ljust(id_width), *rest]).rstrip()]

    out = line(header) + line(("-" * rank_width, "-" * id_width, "-" * 7, "-" * 10, "-" * 7))
    for r in rows:
        out += line(r)
    if not rows:
        out.append("(no results)")
    out.append("")
    out.append("modulations: " + ("; ".join(result.applied) if result.applied else "none"))
    for note in result.notes:
        out.append("note: " + note)
    out.append(
        f"search: {result.search_seconds * 1000:.1f} ms over {len(corpus):,} documents"
        f" (query embedding {result.prepared.embed_seconds * 1000:.1f} ms)"
    )
    return "\n".join(out)


def result_json(query: str, modifiers: str, result: SearchResult, corpus: Corpus | None = None) -> str:
    """One search as one line of JSON: what was asked, the hits best first (with their text and,
    from `corpus`, their date or null), modulations, notes."""
    def date(hit_id: str) -> str | None:
        if corpus is None or corpus.timestamps is None:
            return None
        return _date(float(corpus.timestamps[corpus.id_to_idx[hit_id]])) or None

    return json.dumps({
        "query": query,
        "modifiers": modifiers,
        "hits": [{"id": h.id, "score": h.score, "text": h.text, "date": date(h.id)}
                 for h in result.hits],
        "applied": list(result.applied),
        "notes": list(result.notes),
    }, ensure_ascii=False)


def _summary(demo: DemoCorpus) -> str:
    how = "loaded from the cache" if demo.cached else "read and embedded"
    dated = demo.corpus.timestamps
    n_dated = 0 if dated is None else int(np.isfinite(dated).sum())
    return (
        f"Corpus '{demo.label}': {len(demo.corpus):,} documents ({n_dated:,} dated), "
        f"{demo.corpus.dim} dimensions, {demo.embedder.name}; {how} in {demo.seconds:.1f} s"
    )


def _search_and_print(demo: DemoCorpus, query: str, modifiers: str, out: TextIO, *,
                      wide: bool = False, as_json: bool = False) -> bool:
    try:
        result = demo.corpus.search(query, modifiers)
    except ValueError as e:
        print(f"error: {e}", file=sys.stderr)
        return False
    if as_json:
        print(result_json(query, modifiers, result, demo.corpus), file=out)
    else:
        width = shutil.get_terminal_size((100, 24)).columns
        print(format_result(demo, result, width, wide), file=out)
    return True


# What `help` prints at the prompt: each modifier with one example.
_MODIFIER_HELP = (
    ("recent", "recent", f"newer first: scores decay with age, half-life {HALF_LIFE_DAYS} days"),
    ("recent:N", "recent:7", "the same with a half-life of N days"),
    ("unlike:TEXT", "unlike:xml", "push down what resembles TEXT"),
    ("diverse", "diverse", "no near-duplicates (Maximal Marginal Relevance)"),
    ("limit:N", "limit:5", f"at most N results ({NATIVE_DEFAULTS['limit']} without it)"),
    ("like:ID,ID", "like:json.loads", "blend the query with these documents (ids from the table)"),
    ("from: A to: B", "from: files to: network", "favour the direction from A to B (put it last)"),
    ("local_communities", "local_communities", "accepted, changes nothing (a note says so)"),
)


def prompt_help() -> str:
    """The modifiers, one example each, as the interactive prompt's ``help`` shows them."""
    lines = ["Type 'query | modifiers', e.g. 'parse a date | diverse limit:5'. Modifiers:"]
    lines += [f"  {name:<18} {what:<58} e.g. {example}" for name, example, what in _MODIFIER_HELP]
    lines.append("Any other word after the '|' is ignored, and a note names it (with the modifier")
    lines.append("meant, if it looks like a typo). 'quit', 'exit' or Ctrl-D ends.")
    return "\n".join(lines)


def _line_editing() -> None:
    # Loading readline gives input() cursor keys and history; without it the prompt still works.
    try:
        import readline  # noqa: F401
    except ImportError:
        pass


def _interactive(demo: DemoCorpus, default_modifiers: str, out: TextIO, *,
                 wide: bool = False, as_json: bool = False) -> None:
    tty = sys.stdin.isatty()
    info = sys.stderr if as_json else out
    if tty:
        _line_editing()
        print(
            "Type a query, optionally followed by ' | ' and modifiers "
            "(e.g. 'parse a date | diverse limit:5'), or help. An empty line, quit or Ctrl-D ends.",
            file=info,
        )
        if default_modifiers:
            print(f"Modifiers used when a line has none: {default_modifiers}", file=info)
    while True:
        try:
            line = input("search> " if tty else "")
        except (EOFError, KeyboardInterrupt):
            print(file=info)
            return
        if not line.strip():
            if tty:
                return
            continue
        if line.strip() in ("quit", "exit"):
            return
        if line.strip() in ("help", "?"):
            print(prompt_help(), file=info)
            continue
        query, sep, mods = line.partition("|")
        query = query.strip()
        if not sep and _hint(query, info):
            continue
        if not query:
            print("error: the query is empty: type what to search for before the '|'", file=sys.stderr)
            continue
        _search_and_print(demo, query, mods.strip() if sep else default_modifiers, out,
                          wide=wide, as_json=as_json)
        if not as_json:
            print(file=out)


def _hint(line: str, info: TextIO) -> bool:
    """Says how to type the modifiers that a line without '|' holds; True when the line is
    nothing else, so that there is no query to search for."""
    words, others = modifier_words(line)
    if not words:
        return False
    rest, named = " ".join(others), " ".join(words)
    print(f"hint: {named!r} {'is a modifier' if len(words) == 1 else 'are modifiers'} only after "
          f"a '|': type '{rest or 'your query'} | {named}'", file=info)
    return not rest


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="python -m quantelle.demo",
        description="Semantic search over the standard library's docstrings and Debian "
        "changelog entries (or your own JSON Lines file), scored by the native _quantelle module.",
    )
    p.add_argument("-q", "--query", help="search once for this text; without it, prompt")
    p.add_argument("-m", "--modifiers", default="",
                   help="modifier string, e.g. 'diverse limit:5 recent:30 unlike:xml "
                   "from: files to: network'")
    p.add_argument("--corpus", default="all", metavar="SOURCE",
                   help="all (default), stdlib, changelogs, or a .jsonl file with id, text and "
                   "optional timestamp per line")
    p.add_argument("--embedder", choices=("hashing", "minilm"), default="hashing",
                   help="hashing (default: word n-grams, no model) or minilm (all-MiniLM-L6-v2 "
                   "in NumPy, by meaning; needs quantelle[minilm] and the model files)")
    p.add_argument("--model", metavar="NAME",
                   help="use this installed sentence-transformers model (local path or cached "
                   "name) instead of the hashing embedding; nothing is downloaded")
    p.add_argument("--cache-dir", type=Path, default=cache.default_cache_dir(),
                   help="where built corpora are cached (default: %(default)s)")
    p.add_argument("--no-cache", action="store_true", help="neither read nor write the cache")
    p.add_argument("--wide", action="store_true",
                   help="an id column as wide as the longest id (lines may exceed the terminal)")
    p.add_argument("--json", action="store_true",
                   help="print each search as one line of JSON (hits, modulations, notes); "
                   "everything else goes to stderr")
    return p


def main(argv: Sequence[str] | None = None) -> int:
    try:
        return _run(_parser().parse_args(argv))
    except KeyboardInterrupt:
        print(file=sys.stderr)
        return 130


def _run(args: argparse.Namespace) -> int:
    out = sys.stdout
    try:
        embedder: Embedder = (load_sentence_model(args.model) if args.model
                              else MiniLMEmbedder() if args.embedder == "minilm" else HashingEmbedder())
        demo = build_corpus(args.corpus, embedder, None if args.no_cache else args.cache_dir)
    except (RuntimeError, sources.SourceError) as e:
        print(f"error: {e}", file=sys.stderr)
        return 2
    view = {"wide": args.wide, "as_json": args.json}
    info = sys.stderr if args.json else out
    print(_summary(demo), file=info)
    print(file=info)
    if args.query is not None:
        return 0 if _search_and_print(demo, args.query, args.modifiers, out, **view) else 2
    _interactive(demo, args.modifiers, out, **view)
    return 0
