"""Progress of the demo's long steps on stderr: reading the sources, embedding the documents."""

from __future__ import annotations

import sys
import time
from collections.abc import Callable
from typing import TextIO

from ..embedding import Embedder

__all__ = ["ProgressBar", "announce"]


class ProgressBar:
    """``label [#####.....] 50% (n/total, 120/s, 0:42 left)`` on stderr: redrawn in place on a
    terminal, else (a log) written as a line every `every` seconds and at the end."""

    def __init__(self, label: str, stream: TextIO | None = None, *, every: float = 5.0,
                 clock: Callable[[], float] = time.perf_counter) -> None:
        self._label = label
        self._stream = stream if stream is not None else sys.stderr  # as it is now, not at import
        self._live = self._stream.isatty()
        self._every = every
        self._clock = clock
        self._last = -1
        self._start = self._written = clock()

    def __call__(self, done: int, total: int) -> None:
        percent = 100 if total == 0 else done * 100 // total
        if percent == self._last:
            return
        self._last = percent
        now = self._clock()
        if not self._live and percent < 100 and now - self._written < self._every:
            return
        self._written = now
        filled = percent * 30 // 100
        elapsed = now - self._start
        pace = ""
        if 0 < done < total and elapsed > 0.5:  # too early, the rate is noise
            left = round((total - done) * elapsed / done)
            pace = f", {done / elapsed:,.0f}/s, {left // 60}:{left % 60:02d} left"
        line = (f"{self._label} [{'#' * filled}{'.' * (30 - filled)}] {percent:3d}% "
                f"({done:,}/{total:,}{pace})")
        if self._live:
            self._stream.write("\r" + line + ("\n" if percent == 100 else ""))
        else:
            self._stream.write(line + "\n")
        self._stream.flush()


def announce(embedder: Embedder, texts: list[str], sample: int = 32) -> None:
    """Says how long embedding `texts` will take, timed on a spread sample of them: a model
    can take many minutes, and a log would otherwise stay silent until the first progress line."""
    picked = texts[:: max(1, len(texts) // sample)][:sample]
    start = time.perf_counter()
    embedder.embed_many(picked)
    each = (time.perf_counter() - start) / max(1, len(picked))
    total = round(each * len(texts))
    print(f"Embedding {len(texts):,} documents with {embedder.name} takes about "
          f"{total // 60}:{total % 60:02d} (m:ss) here, {each * 1000:.0f} ms each; the result is "
          "cached for the next run", file=sys.stderr, flush=True)
