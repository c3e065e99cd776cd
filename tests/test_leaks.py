"""Leaks: every way a call can end (a result, a binding error, each conversion error, the
ValueError, each kind of PanicException), repeated many times, leaves resident memory flat and the
reference counts of the argument objects (and of their items) unchanged.

10,000 calls per case by default; QUANTELLE_LONG=1 makes it 100,000.
"""
import contextlib
import gc
import os
import sys

import numpy as np
import pytest

import _quantelle as q

UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
# Under ASan the resident size is not checked (below), so fewer calls still show a lost reference.
CALLS = 100_000 if os.environ.get("QUANTELLE_LONG") == "1" else 2_000 if UNDER_ASAN else 10_000
RSS_LIMIT = 1 << 20
S, MMR, PARSE = q.score_candidates, q.mmr_select_py, q.parse_modifiers


def fresh(text):
    """A str of its own: literals may be immortal, whose reference counts never move."""
    return "".join([text[:1], text[1:]])


StrSub = type("StrSub", (str,), {})
Indexable = type("Indexable", (), {"__init__": lambda s, v: setattr(s, "v", v), "__index__": lambda s: s.v})


class Raising:
    def __index__(self):
        raise ValueError("from the caller's own __index__")

    __float__ = __index__


M = np.random.default_rng(5).standard_normal((4, 3)).astype(np.float32)
IDS = [fresh(t) for t in ("alpha", "beta", "gamma", "delta")]
IDX = {t: i for i, t in enumerate(IDS)}
Q, V = np.array([1, 0.5, 0], np.float32), np.array([0, 1, 0.25], np.float32)
STAMPS, MASK = np.array([1.6e9, 1.7e9, 0.0, 1.5e9]), np.array([True, True, False, True])
PRE, LIKE = [IDS[3], IDS[1], fresh("unknown")], [IDS[2]]
SUB_IDX = {StrSub(t): np.int64(i) for i, t in enumerate(IDS)}  # read through Python code
STR_ARRAY = np.array(IDS)
FULL = dict(timestamps=STAMPS, pre_filter_ids=PRE, not_like_vec=V, diverse=True, limit=2, oversample=3,
            threshold=0.1, mmr_lambda=0.5, recent=True, recent_days=7.0, like_ids=LIKE, traj_from_vec=Q,
            traj_to_vec=V, mask=MASK)
ODD = np.ndarray((4, 3), np.float32, buffer=np.zeros(64, np.uint8), offset=1, strides=(13, 4))
ODD[...] = M
SIMS, CANDIDATES = np.linspace(1, 0, 4).astype(np.float32), [3, 0, 2, 0]
FAR, SHORT = {fresh("far"): 9}, {fresh("short"): 1}
MODIFIERS = fresh("recent:30 diverse unlike:x like:a,b limit:5 local_communities from: p q to: r")
BASIC = [M, IDS, IDX, Q]


def mutating_map():
    """A new dict whose second value grows it while the call reads it."""
    mapping = {IDS[0]: 0}
    mapping[IDS[1]] = type("Grower", (), {"__index__": lambda s: mapping.setdefault(fresh("late"), 2) - 1})()
    return mapping


def outcome(call):
    try:
        return type(call()).__name__
    except BaseException as error:  # noqa: BLE001 - every ending is a case here
        return type(error).__name__


# (id, call, arguments whose reference counts are watched, expected outcome)
CASES = [
    ("score-plain", lambda: S(M, IDS, IDX, Q), BASIC, "list"),
    ("score-every-option", lambda: S(M, IDS, IDX, Q, **FULL), [*BASIC, FULL], "list"),
    ("score-read-through-python", lambda: S(M, tuple(IDS), SUB_IDX, Q, pre_filter_ids=STR_ARRAY, like_ids=LIKE,
                                            limit=np.int64(3)), [M, SUB_IDX, Q, STR_ARRAY, LIKE], "list"),
    ("score-odd-strides", lambda: S(ODD, IDS, IDX, Q[::-1], diverse=True, limit=2), [ODD, IDS, IDX, Q], "list"),
    ("score-empty-ids", lambda: S(M, [], IDX, V[:1]), [M, IDX, V], "list"),
    ("score-unknown-keyword", lambda: S(M, IDS, IDX, Q, nope=M), BASIC, "TypeError"),
    ("matrix-list", lambda: S(IDS, IDS, IDX, Q), [IDS, IDX, Q], "TypeError"),
    ("ids-int-element", lambda: S(M, [IDS[0], 1], IDX, Q), BASIC, "TypeError"),
    ("ids-surrogate", lambda: S(M, [IDS[0], "\udcff"], IDX, Q), BASIC, "UnicodeEncodeError"),
    ("map-int-key", lambda: S(M, IDS, {**IDX, 1: 0}, Q), BASIC, "TypeError"),
    ("map-negative", lambda: S(M, IDS, {**IDX, IDS[0]: -1}, Q), BASIC, "OverflowError"),
    ("map-float-value", lambda: S(M, IDS, {**SUB_IDX, IDS[0]: 1.0}, Q), [M, IDS, SUB_IDX, Q], "TypeError"),
    ("flag-int", lambda: S(M, IDS, IDX, Q, diverse=1), BASIC, "TypeError"),
    ("count-float", lambda: S(M, IDS, IDX, Q, limit=1.5), BASIC, "TypeError"),
    ("count-negative", lambda: S(M, IDS, IDX, Q, limit=-1), BASIC, "OverflowError"),
    ("real-str", lambda: S(M, IDS, IDX, Q, threshold="x"), BASIC, "TypeError"),
    ("hook-raises", lambda: S(M, IDS, IDX, Q, pre_filter_ids=PRE, recent_days=Raising()), [*BASIC, PRE],
     "ValueError"),
    ("last-array-wrong", lambda: S(M, IDS, IDX, Q, **{**FULL, "mask": MASK.view(np.int8)}), [*BASIC, FULL],
     "TypeError"),
    ("query-length", lambda: S(M, IDS, IDX, V[:2], **FULL), [*BASIC, V, FULL], "ValueError"),
    ("fault-like-row", lambda: S(M, IDS, FAR, Q, like_ids=list(FAR)), [M, IDS, FAR, Q], "PanicException"),
    ("fault-short-ids", lambda: S(M, IDS[:1], SHORT, Q, pre_filter_ids=list(SHORT)), [M, IDS, SHORT, Q],
     "PanicException"),
    ("fault-short-mask", lambda: S(M, IDS, IDX, Q, mask=MASK[:2]), [*BASIC, MASK], "PanicException"),
    ("fault-trajectory", lambda: S(M, IDS, IDX, Q, traj_from_vec=Q, traj_to_vec=V[:2]), [*BASIC, V],
     "PanicException"),
    ("fault-result-row", lambda: S(M, IDS[:2], IDX, Q, limit=4, threshold=-1.0), BASIC, "PanicException"),
    ("fault-map-grows", lambda: S(M, IDS, mutating_map(), Q), [M, IDS, Q], "PanicException"),
    ("mmr-plain", lambda: MMR(CANDIDATES, SIMS, M, 3, 0.5), [CANDIDATES, SIMS, M], "list"),
    ("mmr-python-indices", lambda: MMR([Indexable(1), np.uint8(2), True], SIMS, ODD, 2**64 - 1, 0.7),
     [SIMS, ODD], "list"),
    ("mmr-numpy-candidates", lambda: MMR(np.array(CANDIDATES), SIMS[::-1], M, 9, 1), [SIMS, M], "list"),
    ("mmr-candidate-negative", lambda: MMR([0, -1], SIMS, M, 3, 0.5), [SIMS, M], "OverflowError"),
    ("mmr-matrix-float64", lambda: MMR(CANDIDATES, SIMS, STAMPS[None], 3, 0.5), [CANDIDATES, SIMS, STAMPS],
     "TypeError"),
    ("mmr-hook-raises", lambda: MMR(CANDIDATES, SIMS, M, Raising(), 0.5), [CANDIDATES, SIMS, M], "ValueError"),
    ("mmr-fault-row", lambda: MMR([0, 4], SIMS, M, 3, 0.5), [SIMS, M], "PanicException"),
    ("mmr-fault-similarities", lambda: MMR(CANDIDATES, SIMS[:2], M, 3, 0.5), [CANDIDATES, SIMS, M],
     "PanicException"),
    ("parse-full", lambda: PARSE(MODIFIERS), [MODIFIERS], "dict"),
    ("parse-subclass", lambda: PARSE(StrSub(MODIFIERS)), [MODIFIERS], "dict"),
    ("parse-bytes", lambda: PARSE(MODIFIERS.encode()), [MODIFIERS], "TypeError"),
    ("parse-surrogate", lambda: PARSE(MODIFIERS + "\ud800"), [MODIFIERS], "UnicodeEncodeError"),
]
# One case of each ending, interleaved: whatever lazily created state they share stays flat too.
MIXED = [c for c in CASES if c[0] in ("score-every-option", "count-negative", "last-array-wrong",
                                      "query-length", "fault-short-mask", "mmr-plain", "mmr-fault-row",
                                      "parse-full")]


def mixed():
    return [outcome(c[1]) for c in MIXED]


CASES.append(("mixed", mixed, [o for c in MIXED for o in c[2]], "list"))


def watched(objects):
    """The objects and the items of the containers among them."""
    out = []
    for o in objects:
        out.append(o)
        if isinstance(o, dict):
            out.extend(watched([x for kv in o.items() for x in kv]))
        elif isinstance(o, (list, tuple)):
            out.extend(o)
    return out


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@contextlib.contextmanager
def quiet_stderr():
    """Each fault writes a diagnostic line: 100,000 of them would only fill the capture."""
    sys.stderr.flush()
    saved, devnull = os.dup(2), os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 2)
    try:
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.close(devnull)


@pytest.mark.parametrize("call, objects, expected", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_repeated_calls_leak_nothing(call, objects, expected):
    objects = watched(objects)
    calls = CALLS // 7 if call is mixed else CALLS  # mixed: 8 calls a round, over 10,000 in a window
    with quiet_stderr():
        assert outcome(call) == expected
        # As many calls before measuring: the interned-string table's periodic rebuild moves the
        # resident size once, some 10,000s of calls in, before it settles. A leak grows in every window.
        for _ in range(calls):
            outcome(call)
        gc.collect()
        refs = [sys.getrefcount(o) for o in objects]
        blocks = sys.getallocatedblocks()  # 0 under PYTHONMALLOC=malloc: then only RSS counts
        rss = resident_bytes()
        for _ in range(calls):
            outcome(call)
        gc.collect()
        rss_growth, block_growth = resident_bytes() - rss, sys.getallocatedblocks() - blocks
    after = [sys.getrefcount(o) for o in objects]
    changed = [(repr(o)[:40], refs[i], after[i]) for i, o in enumerate(objects) if refs[i] != after[i]]
    assert not changed, f"reference counts moved: {changed}"
    # One object lost per call would be CALLS blocks; allocator caches stay far below that.
    assert block_growth < CALLS // 100, f"{block_growth} Python objects left behind"
    if not UNDER_ASAN:  # ASan's quarantine keeps freed memory on purpose
        assert rss_growth < RSS_LIMIT, f"resident memory grew by {rss_growth} bytes"
