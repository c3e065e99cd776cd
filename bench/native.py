"""The reference kernels of floor.c, compiled here with the system C compiler and called via ctypes."""

from __future__ import annotations

import ctypes
import hashlib
import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
from pathlib import Path

import numpy as np

SOURCE = Path(__file__).with_name("floor.c")
DICT_SOURCE = Path(__file__).with_name("dict_floor.c")
CACHE_DIR = Path(__file__).resolve().parent.parent / "build" / "bench-floor"
CFLAGS = ["-O3", "-std=c11", "-shared", "-fPIC", "-fno-strict-aliasing", "-pthread"]

_f32p = ctypes.POINTER(ctypes.c_float)
_i64p = ctypes.POINTER(ctypes.c_int64)


def compiler() -> str | None:
    return os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc")


class Floor:
    """Read floors (one thread and N), gathered-row floor, plain matvecs and the FMA peak over
    caller-owned arrays."""

    def __init__(self, lib: ctypes.CDLL, cc: str):
        self._lib = lib
        lib.variant_name.restype = ctypes.c_char_p
        lib.variant_name.argtypes = [ctypes.c_int, ctypes.c_size_t]
        lib.variant_count.restype = ctypes.c_size_t
        lib.variant_count.argtypes = [ctypes.c_int]
        lib.read_floor.restype = ctypes.c_float
        lib.read_floor.argtypes = [ctypes.c_size_t, _f32p, ctypes.c_size_t, ctypes.c_size_t]
        lib.gather_floor.restype = ctypes.c_float
        lib.gather_floor.argtypes = [ctypes.c_size_t, _f32p, ctypes.c_size_t, _i64p, ctypes.c_size_t,
                                     ctypes.c_size_t]
        lib.read_floor_threads.restype = ctypes.c_int
        lib.read_floor_threads.argtypes = [ctypes.c_size_t, _f32p, ctypes.c_size_t, ctypes.c_size_t,
                                           ctypes.c_size_t]
        lib.fma_peak.restype = ctypes.c_double
        lib.fma_peak.argtypes = [ctypes.c_int]
        lib.matvec.restype = None
        lib.matvec.argtypes = [ctypes.c_size_t, _f32p, ctypes.c_size_t, ctypes.c_size_t, _f32p, _f32p,
                               ctypes.c_size_t]
        self.reads = self._variants(0)  # best ISA first
        self.matvecs = self._variants(1)
        self.compiler = cc
        self._dict: ctypes.PyDLL | None = None

    def _variants(self, kind: int) -> dict[str, int]:
        """Variants this CPU runs, by name; the scalar loop only where nothing wider runs."""
        out = {}
        for i in range(self._lib.variant_count(kind)):
            name = self._lib.variant_name(kind, i)
            if name is not None:
                out[name.decode()] = i
        return {k: v for k, v in out.items() if k != "scalar"} or out

    @staticmethod
    def _ptr(a: np.ndarray, kind):  # type: ignore[no-untyped-def]
        assert a.flags.c_contiguous
        return a.ctypes.data_as(kind)

    def read(self, variant: str, m: np.ndarray, reps: int = 1) -> float:
        return float(self._lib.read_floor(self.reads[variant], self._ptr(m, _f32p), m.size, reps))

    def read_threads(self, variant: str, m: np.ndarray, threads: int, reps: int = 1) -> None:
        """`reps` reads of m by `threads` threads, one contiguous part each (a crew kept between calls)."""
        if self._lib.read_floor_threads(self.reads[variant], self._ptr(m, _f32p), m.size, reps, threads) < 0:
            raise RuntimeError(f"could not start {threads} threads")

    def fma_peak(self, isa: str) -> float:
        """Float operations per second of one core at `isa` ("avx2" or "avx512"); 0 if it lacks it."""
        return float(self._lib.fma_peak({"avx2": 1, "avx512": 2}.get(isa, 0)))

    def gather(self, variant: str, m: np.ndarray, rows: np.ndarray, reps: int = 1) -> float:
        assert rows.dtype == np.int64
        return float(self._lib.gather_floor(self.reads[variant], self._ptr(m, _f32p), m.shape[1],
                                            self._ptr(rows, _i64p), rows.size, reps))

    def set_dict(self, lib: ctypes.PyDLL) -> None:
        lib.dict_lookups.restype = ctypes.c_ssize_t
        lib.dict_lookups.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.c_ssize_t]
        self._dict = lib

    @property
    def has_lookups(self) -> bool:
        return self._dict is not None

    def lookups(self, d: dict[str, int], ids: list[str], reps: int = 1) -> int:
        """CPython's dict lookups of ids, in list order, and nothing else."""
        assert self._dict is not None and type(ids) is list and type(d) is dict
        found = self._dict.dict_lookups(d, ids, reps)
        assert found >= 0
        return int(found)

    def matvec(self, variant: str, m: np.ndarray, q: np.ndarray, out: np.ndarray, reps: int = 1) -> None:
        n, d = m.shape
        self._lib.matvec(self.matvecs[variant], self._ptr(m, _f32p), n, d, self._ptr(q, _f32p),
                         self._ptr(out, _f32p), reps)


def _build(cc: str, version: list[str], source: Path, flags: list[str]) -> Path:
    """The shared library of source, compiled once per source, compiler and flags."""
    key = hashlib.sha256(source.read_bytes() + repr((cc, version, flags)).encode()).hexdigest()[:16]
    target = CACHE_DIR / f"{source.stem}-{key}.so"
    if not target.exists():
        CACHE_DIR.mkdir(parents=True, exist_ok=True)
        fd, tmp = tempfile.mkstemp(suffix=".so", dir=CACHE_DIR)
        os.close(fd)
        done = subprocess.run([cc, *flags, "-o", tmp, str(source)], capture_output=True, text=True)
        if done.returncode != 0:
            os.unlink(tmp)
            raise RuntimeError(f"compiling {source.name} failed:\n{done.stderr}")
        os.replace(tmp, target)  # concurrent runs race harmlessly: same bytes
    return target


def load() -> Floor:
    """Build (once per source and compiler) and load the kernels; raises RuntimeError if impossible."""
    cc = compiler()
    if cc is None:
        raise RuntimeError("no C compiler found (set CC, or install cc)")
    version = subprocess.run([cc, "--version"], capture_output=True, text=True).stdout.splitlines()[:1]
    floor = Floor(ctypes.CDLL(str(_build(cc, version, SOURCE, CFLAGS))), " ".join([cc, *version]))
    try:
        flags = [*CFLAGS, "-I", sysconfig.get_paths()["include"]]
        floor.set_dict(ctypes.PyDLL(str(_build(cc, version, DICT_SOURCE, flags))))
    except RuntimeError as e:  # no Python headers: the lookup floor is skipped
        print(f"note: no dict lookup floor: {e}", file=sys.stderr)
    return floor
