"""Timing in interleaved rounds, and the peak extra memory of one call."""

from __future__ import annotations

import contextlib
import ctypes
import ctypes.util
import gc
import math
import os
import statistics
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from typing import ContextManager

Runner = Callable[[int], object]  # runs the measured operation `reps` times in a row


def repeat(call: Callable[[], object]) -> Runner:
    """The runner that makes `call` `reps` times."""
    def run(reps: int) -> object:
        out = None
        for _ in range(reps):
            out = call()
        return out

    return run


@dataclass
class Case:
    key: str  # stable name in the JSON, e.g. "score.plain"
    label: str  # what the table shows
    run: Runner
    bytes_read: int | None = None  # matrix bytes one call must read, for GB/s
    context: Callable[[], ContextManager[object]] = contextlib.nullcontext  # e.g. a thread limit
    measure_memory: bool = True
    reps: int = 1
    samples: list[float] = field(default_factory=list)  # seconds per call, one per round
    extra_bytes: int | None = None

    @property
    def median(self) -> float:
        return statistics.median(self.samples)

    @property
    def best(self) -> float:
        return min(self.samples)


def calibrate(case: Case, warmup_seconds: float, sample_seconds: float) -> None:
    """Warm up (caches, lazy imports, allocator), then pick how many calls make one sample."""
    with case.context():
        started = time.perf_counter()
        calls = 0
        single = math.inf
        while calls < 2 or (time.perf_counter() - started < warmup_seconds and calls < 1000):
            t0 = time.perf_counter_ns()
            case.run(1)
            single = min(single, (time.perf_counter_ns() - t0) * 1e-9)
            calls += 1
    case.reps = max(1, min(100_000, math.ceil(sample_seconds / max(single, 1e-7))))


def measure(cases: list[Case], rounds: int, warmup_seconds: float, sample_seconds: float) -> None:
    """Every round takes one sample of every case, in a fixed order, so slow drifts of the machine
    (another job starting, the clock changing) fall on all contenders alike. Each sample follows
    an untimed call of its own case: every case starts from its own data in cache, as calls made
    back to back find it, whatever the case before it read. Without it, a matrix that fits in a
    large cache (100k x 384 is 154 MB; some CPUs have 260 MB of L3) is read from the cache by a
    case that follows one over the same rows, and from memory by the others."""
    for case in cases:
        calibrate(case, warmup_seconds, sample_seconds)
    for _ in range(rounds):
        gc.collect()
        for case in cases:
            with case.context():
                case.run(1)
                with gc_paused():
                    t0 = time.perf_counter_ns()
                    case.run(case.reps)
                    elapsed = time.perf_counter_ns() - t0
            case.samples.append(elapsed * 1e-9 / case.reps)
    for case in cases:
        if case.measure_memory:
            with case.context():
                case.extra_bytes = peak_extra_bytes(lambda: case.run(1))


@contextlib.contextmanager
def gc_paused() -> Iterator[None]:
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


# ---- memory ----

_libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6")
MEMORY_METHOD = (
    "peak extra memory of one call = VmHWM after it - VmRSS before it (/proc/self/status), after "
    "gc.collect(), malloc_trim(0) (freed heap pages must be faulted in again to be reused) and "
    "`5 > /proc/self/clear_refs` (resets VmHWM to the current RSS), less the same figure for a call "
    "that does nothing; 4 KiB pages; includes the returned objects"
)


class _Proc:
    """/proc/self/status and clear_refs kept open, so probing allocates (almost) nothing itself."""

    def __init__(self) -> None:
        self.status = os.open("/proc/self/status", os.O_RDONLY)
        self.clear = os.open("/proc/self/clear_refs", os.O_WRONLY)

    def kib(self, field_name: bytes) -> int:
        text = os.pread(self.status, 1 << 16, 0)
        at = text.index(field_name + b":")
        return int(text[at + len(field_name) + 1 : text.index(b"kB", at)])

    def reset_peak(self) -> None:
        os.write(self.clear, b"5")


_proc: _Proc | None = None


def memory_probe_works() -> bool:
    global _proc
    if _proc is None:
        try:
            _proc = _Proc()
            _proc.reset_peak()
            _proc.kib(b"VmHWM")
        except (OSError, ValueError):
            return False
    return True


def _peak_once(call: Callable[[], object]) -> int:
    assert _proc is not None
    gc.collect()
    _libc.malloc_trim(0)
    with gc_paused():
        before = _proc.kib(b"VmRSS")
        _proc.reset_peak()
        result = call()
        peak = _proc.kib(b"VmHWM")
        del result
    return (peak - before) * 1024


def peak_extra_bytes(call: Callable[[], object]) -> int | None:
    if not memory_probe_works():
        return None
    baseline = min(_peak_once(lambda: None) for _ in range(3))
    return max(0, min(_peak_once(call) for _ in range(2)) - baseline)
