"""The layer's engine: `Corpus.search` on one thread and on every thread, N callers at once,
`Corpus.search_many` of 64 queries, and the search on each SIMD kernel table.

The kernel table is chosen once per process, so each table other than this process's own runs
in a child process of its own (`python engine_cases.py --serve ...`) that builds the same
workload from the same seed and answers timing requests over a pipe; the parent times the round
trip, which costs microseconds against samples of milliseconds.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import threading
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import ContextManager

import numpy as np

import peers
import quantelle
from timing import Case, repeat
from workload import Workload

THREADS = peers.THREADS
AGREEMENT_QUERIES = 8  # search_many against single searches, untimed


def has_search_many() -> bool:
    return hasattr(quantelle.Corpus, "search_many")


def notes() -> list[str]:
    """What this build of the layer cannot run, said once at the start of a run."""
    return [] if has_search_many() else ["Corpus.search_many is not in this build: its 64-query cases are skipped"]


def default_kernels(variants: list[str]) -> list[str]:
    """The tables that get a process of their own: every SIMD table where the CPU runs more than
    one (so AVX2 and AVX-512 are both shown), else none."""
    simd = [v for v in variants if v != "scalar"]
    return simd if len(simd) > 1 else []


def at_threads(n: int, warm: Callable[[], object]) -> Callable[[], ContextManager[None]]:
    """The layer at n threads; a changed count is followed by one untimed call, so that a pool
    resized at its first use is not timed. Never set back: the next case sets its own."""
    @contextmanager
    def context() -> Iterator[None]:
        if quantelle.get_num_threads() != n:
            quantelle.set_num_threads(n)
            warm()
        yield

    return context


class Callers:
    """`count` Python threads (the calling one among them) that each make `reps` calls at once:
    parked on a barrier between samples, so a sample times the calls and not thread starts."""

    def __init__(self, count: int, call: Callable[[], object]) -> None:
        self.call, self.reps, self.closing = call, 0, False
        self.error: BaseException | None = None
        self.start, self.end = threading.Barrier(count), threading.Barrier(count)
        self.threads = [threading.Thread(target=self._serve, daemon=True) for _ in range(count - 1)]
        for t in self.threads:
            t.start()

    def _calls(self) -> None:
        try:
            for _ in range(self.reps):
                self.call()
        except BaseException as e:  # handed to the caller of run()
            self.error = e

    def _serve(self) -> None:
        while True:
            self.start.wait()
            if self.closing:
                return
            self._calls()
            self.end.wait()

    def run(self, reps: int) -> None:
        self.reps = reps
        self.start.wait()
        self._calls()
        self.end.wait()
        error, self.error = self.error, None
        if error is not None:
            raise error

    def close(self) -> None:
        self.closing = True
        self.start.wait()
        for t in self.threads:
            t.join()


class Child:
    """A process whose engine runs on one forced kernel table, with the same corpus as ours."""

    def __init__(self, variant: str, w: Workload, seed: int) -> None:
        self.variant = variant
        env = dict(os.environ, QUANTELLE_KERNEL=variant)
        self.proc = subprocess.Popen([sys.executable, __file__, "--serve", str(w.n), str(w.d), str(seed)],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env)

    def ready(self) -> None:
        self._answer()

    def _answer(self) -> str:
        assert self.proc.stdout is not None
        line = self.proc.stdout.readline()
        if not line.startswith("ok"):
            raise RuntimeError(f"the {self.variant} process: {line.strip() or 'ended'}")
        return line[2:].strip()

    def _ask(self, line: str) -> str:
        assert self.proc.stdin is not None
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        return self._answer()

    def at_threads(self, threads: int) -> Callable[[], ContextManager[None]]:
        """The child's count set, and warmed by one call, outside the timed region, as
        `at_threads` does for this process."""
        @contextmanager
        def context() -> Iterator[None]:
            self._ask(f"threads {threads}")
            yield

        return context

    def runner(self) -> Callable[[int], object]:
        """`reps` searches at the count the context set."""
        return lambda reps: self._ask(f"run {reps}")

    def close(self) -> None:
        # Both pipes: a reader left open is a file the next garbage collection warns about.
        if self.proc.stdin is not None:
            self.proc.stdin.close()
        self.proc.wait(timeout=60)
        if self.proc.stdout is not None:
            self.proc.stdout.close()


class Engine:
    """The engine's cases at one grid point, over a Corpus of the workload's rows."""

    def __init__(self, w: Workload, kernels: list[str], seed: int) -> None:
        # Children first: they build their inputs while we build ours.
        self.children = [Child(v, w, seed) for v in kernels]
        self.w = w
        self.corpus = quantelle.Corpus(w.matrix, w.ids)
        self.callers: Callers | None = None
        for child in self.children:
            child.ready()

    def search(self) -> quantelle.SearchResult:
        return self.corpus.search(self.w.query)

    def cases(self) -> list[Case]:
        search, nbytes = self.search, self.w.nbytes
        cases = [Case("engine.search.1t", "Corpus.search, limit 10, set_num_threads(1)",
                      repeat(search), nbytes, context=at_threads(1, search))]
        if THREADS > 1:
            self.callers = Callers(THREADS, search)
            cases.append(Case("engine.callers", f"{THREADS} Python threads, one Corpus.search each at once, "
                              f"set_num_threads(1) (per {THREADS} queries)",
                              self.callers.run, THREADS * nbytes, context=at_threads(1, search),
                              measure_memory=False))
        for child in self.children:
            cases.append(Case(f"engine.kernel.{child.variant}.1t",
                              f"Corpus.search, limit 10, 1 thread, {child.variant} kernels (own process)",
                              child.runner(), nbytes, context=child.at_threads(1), measure_memory=False))
            if THREADS > 1:
                cases.append(Case(f"engine.kernel.{child.variant}.Nt",
                                  f"Corpus.search, limit 10, {THREADS} threads, {child.variant} kernels (own process)",
                                  child.runner(), nbytes, context=child.at_threads(THREADS),
                                  measure_memory=False))
        if THREADS > 1:
            cases.append(Case("engine.search.Nt", f"Corpus.search, limit 10, {THREADS} threads (default)",
                              repeat(search), nbytes, context=at_threads(THREADS, search)))
        return cases

    def many_cases(self, queries: np.ndarray) -> list[Case]:
        if not has_search_many():
            return []
        corpus = self.corpus
        call = lambda: corpus.search_many(queries)  # noqa: E731
        return [Case("engine.many.Nt", f"Corpus.search_many({len(queries)} queries), limit 10, {THREADS} threads",
                     repeat(call), self.w.nbytes, context=at_threads(THREADS, call))]

    def agreement(self, queries: np.ndarray | None) -> dict[str, object]:
        """Untimed: the engine gives what `_quantelle.score_candidates` gives for the same
        prepared arguments, on one thread and on all, and search_many what single searches give."""
        import _quantelle

        def hits(result: quantelle.SearchResult) -> list[tuple[str, float]]:
            return [(h.id, h.score) for h in result.hits]

        prepared = self.corpus.prepare(self.w.query, "")
        native = [(r["id"], r["score"]) for r in _quantelle.score_candidates(**prepared.arguments)]
        out: dict[str, object] = {}
        for n in sorted({1, THREADS}):
            quantelle.set_num_threads(n)
            out[f"engine_{n}t_same_as_score_candidates"] = hits(self.search()) == native
        if queries is not None and has_search_many():
            some = queries[:AGREEMENT_QUERIES]
            many = self.corpus.search_many(some)
            out["engine_many_same_as_search"] = [hits(r) for r in many] == [hits(self.corpus.search(q)) for q in some]
        return out

    def close(self) -> None:
        if self.callers is not None:
            self.callers.close()
        for child in self.children:
            child.close()


def probe_choice() -> str | None:
    """The table the modules choose in this process, where the test probe is built."""
    try:
        import _quantelle_probe
    except ImportError:
        return None
    return str(_quantelle_probe.chosen()[0])


def serve(argv: list[str]) -> int:
    """The child's side: build the corpus, then for each line "THREADS REPS" run the search REPS
    times on THREADS engine threads and answer "ok"; end at end of input."""
    import workload

    p = argparse.ArgumentParser()
    p.add_argument("--serve", nargs=3, type=int, metavar=("N", "D", "SEED"), required=True)
    n, d, seed = p.parse_args(argv).serve
    wanted = os.environ.get("QUANTELLE_KERNEL")
    chosen = probe_choice()
    if chosen is not None and chosen != wanted:  # the module ignores a table this CPU does not run
        print(f"error this CPU does not run the {wanted} kernels (the module chose {chosen})", flush=True)
        return 1
    w = workload.build(n, d, seed)
    corpus, query = quantelle.Corpus(w.matrix, w.ids), w.query
    del w
    print("ok", flush=True)
    for line in sys.stdin:  # "threads N": set (and warm) untimed; "run R": R timed searches
        what, count = line.split()
        try:
            if what == "threads":
                if quantelle.get_num_threads() != int(count):
                    quantelle.set_num_threads(int(count))
                    corpus.search(query)
            else:
                for _ in range(int(count)):
                    corpus.search(query)
        except Exception as e:  # noqa: BLE001 - told to the parent, which stops the run
            print(f"error {type(e).__name__}: {e}", flush=True)
            return 1
        print("ok", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(serve(sys.argv[1:]))
