"""Every way a call can end, repeated, leaves resident memory and argument reference counts as they were."""
# 10,000 calls per case by default; QUANTELLE_LONG=1 makes it 100,000.
import gc
import os
import sys

import numpy as np
import pytest

import _quantelle as q

UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
# Under ASan the resident size is not checked (below), so fewer calls still show a lost reference.
CALLS = 100_000 if os.environ.get("QUANTELLE_LONG") == "1" else 2_000 if UNDER_ASAN else 10_000
S, MMR = q.score_candidates, q.mmr_select_py


def fresh(text):  # a str of its own: literals may be immortal, whose reference counts never move
    return "".join([text[:1], text[1:]])


StrSub = type("StrSub", (str,), {})

M = np.random.default_rng(5).standard_normal((4, 3)).astype(np.float32)
IDS = [fresh(t) for t in ("alpha", "beta", "gamma", "delta")]
IDX = {t: i for i, t in enumerate(IDS)}
Q, V = np.array([1, 0.5, 0], np.float32), np.array([0, 1, 0.25], np.float32)
PRE, LIKE = [IDS[3], IDS[1], fresh("unknown")], [IDS[2]]
SUB_IDX = {StrSub(t): np.int64(i) for i, t in enumerate(IDS)}  # read through Python code
STR_ARRAY = np.array(IDS)
FULL = dict(timestamps=np.array([1.6e9, 1.7e9, 0.0, 1.5e9]), pre_filter_ids=PRE, not_like_vec=V, diverse=True,
            limit=2, oversample=3, threshold=0.1, mmr_lambda=0.5, recent=True, recent_days=7.0, like_ids=LIKE,
            traj_from_vec=Q, traj_to_vec=V, mask=np.array([True, True, False, True]))
ODD = np.ndarray((4, 3), np.float32, buffer=np.zeros(64, np.uint8), offset=1, strides=(13, 4))
ODD[...] = M
SIMS, FAR = np.linspace(1, 0, 4).astype(np.float32), {fresh("far"): 9}
MODIFIERS = fresh("recent:30 diverse unlike:x like:a,b limit:5 local_communities from: p q to: r")
BASIC = [M, IDS, IDX, Q]


def mutating_map():  # a new dict whose second value grows it while the call reads it
    mapping = {IDS[0]: 0}
    mapping[IDS[1]] = type("Grower", (), {"__index__": lambda s: mapping.setdefault(fresh("late"), 2) - 1})()
    return mapping


def outcome(call):
    try:
        return type(call()).__name__
    except BaseException as error:  # noqa: BLE001 - every ending is a case here
        return type(error).__name__


# One case per way a call can end: (id, call, arguments whose reference counts are watched, outcome)
CASES = [
    ("score-every-option", lambda: S(M, IDS, IDX, Q, **FULL), [*BASIC, FULL], "list"),
    ("score-read-through-python", lambda: S(M, tuple(IDS), SUB_IDX, Q, pre_filter_ids=STR_ARRAY, like_ids=LIKE,
                                            limit=np.int64(3)), [M, SUB_IDX, Q, STR_ARRAY, LIKE], "list"),
    ("binding-error", lambda: S(M, IDS, IDX, Q, nope=M), BASIC, "TypeError"),
    # After the maps and lists are owned; the elements of an iterated list are new references.
    ("late-argument-wrong", lambda: S(M, IDS, SUB_IDX, Q, **{**FULL, "like_ids": np.arange(2)}),
     [M, IDS, SUB_IDX, Q, FULL], "TypeError"),
    ("query-length", lambda: S(M, IDS, IDX, V[:2], **FULL), [*BASIC, V, FULL], "ValueError"),
    ("fault-in-logic", lambda: S(M, IDS, FAR, Q, like_ids=list(FAR)), [M, IDS, FAR, Q], "PanicException"),
    ("fault-building-result", lambda: S(M, IDS[:2], IDX, Q, limit=4, threshold=-1.0), BASIC, "PanicException"),
    ("fault-in-conversion", lambda: S(M, IDS, mutating_map(), Q), [M, IDS, Q], "PanicException"),
    ("mmr-result", lambda: MMR([np.int64(1), np.uint8(2), 3], SIMS, ODD, 2**64 - 1, 0.7), [SIMS, ODD], "list"),
    ("mmr-fault", lambda: MMR([0, 4], SIMS, M, 3, 0.5), [SIMS, M], "PanicException"),
    ("parse-result", lambda: q.parse_modifiers(MODIFIERS), [MODIFIERS], "dict"),
]


def watched(objects):  # the objects and the items of the containers among them
    out = []
    for o in objects:
        out.append(o)
        if isinstance(o, dict):
            out += watched([x for kv in o.items() for x in kv])
        elif isinstance(o, (list, tuple)):
            out += o
    return out


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.parametrize("call, objects, expected", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_repeated_calls_leak_nothing(call, objects, expected):
    objects = watched(objects)
    # Each fault writes a diagnostic line: 100,000 of them would only fill the capture.
    sys.stderr.flush()
    saved, devnull = os.dup(2), os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 2)
    try:
        assert outcome(call) == expected
        # As many calls before measuring: the interned-string table's periodic rebuild moves the
        # resident size once, some 10,000s of calls in, before it settles. A leak grows in every window.
        for _window in range(2):  # the second is measured
            refs, blocks, rss = [sys.getrefcount(o) for o in objects], sys.getallocatedblocks(), resident_bytes()
            for _ in range(CALLS):
                outcome(call)
            gc.collect()
        rss_growth, block_growth = resident_bytes() - rss, sys.getallocatedblocks() - blocks
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.close(devnull)
    after = [sys.getrefcount(o) for o in objects]
    changed = [(repr(o)[:40], refs[i], after[i]) for i, o in enumerate(objects) if refs[i] != after[i]]
    assert not changed, f"reference counts moved: {changed}"
    # One object lost per call would be CALLS blocks; allocator caches stay far below that. The
    # count is 0 under PYTHONMALLOC=malloc: then only the resident size counts.
    assert block_growth < CALLS // 100, f"{block_growth} Python objects left behind"
    if not UNDER_ASAN:  # ASan's quarantine keeps freed memory on purpose
        assert rss_growth < 1 << 20, f"resident memory grew by {rss_growth} bytes"
