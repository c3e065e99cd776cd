"""The engine's score_candidates: the module's results on any number of threads, the lock released
only over memory nobody can write, and a pool that survives churn, fork and exit."""

import mmap
import sys
import threading
import time

import numpy as np
import pytest

import _quantelle as q
import quantelle
from quantelle import _engine
from quantelle.frozen import frozen_copy

N, D = 24000, 64
RNG = np.random.default_rng(7)
# Few distinct rows, so that ties at every cut cross the ranges' edges.
BASE = RNG.standard_normal((60, D)).astype(np.float32)
BASE /= np.linalg.norm(BASE, axis=1, keepdims=True)
ROWS = BASE[RNG.integers(0, 60, N)]
IDS = [f"d{i}" for i in range(N)]
ID_TO_IDX = {d: i for i, d in enumerate(IDS)}
STAMPS = np.where(RNG.random(N) < 0.1, 0.0, 1.7e9 - RNG.random(N) * 9e7)
MASK = RNG.random(N) < 0.8
QUERY = RNG.standard_normal(D).astype(np.float32)
OTHER = RNG.standard_normal(D).astype(np.float32)

CASES = {
    "plain": {},
    "limit": {"limit": 500},
    "diverse": {"diverse": True, "limit": 7, "oversample": 300},
    "mask": {"mask": MASK},
    "mask-empties-ranges": {"mask": np.arange(N) % 9000 < 1500, "limit": 50},
    "within": {"pre_filter_ids": IDS[::3]},
    "recent": {"recent": True, "timestamps": STAMPS, "recent_days": 3.0},
    "unlike": {"not_like_vec": OTHER},
    "trajectory": {"traj_from_vec": OTHER, "traj_to_vec": QUERY},
    "like": {"like_ids": IDS[5:9]},
    "unknown-ids": {"pre_filter_ids": ["nope", *IDS[-3000:]], "like_ids": ["nope", "d1"]},
    "threshold": {"threshold": 0.3, "limit": 40},
    "all": {"diverse": True, "limit": 9, "mask": MASK, "recent": True, "timestamps": STAMPS,
            "not_like_vec": OTHER, "traj_from_vec": OTHER, "traj_to_vec": QUERY, "threshold": 0.05,
            "like_ids": IDS[:2]},
}


@pytest.fixture
def threads():
    before = quantelle.get_num_threads()
    yield quantelle.set_num_threads
    quantelle.set_num_threads(before)


def frozen_arguments(case):
    kwargs = dict(CASES[case])
    for key in ("mask", "timestamps"):
        if key in kwargs:
            kwargs[key] = frozen_copy(kwargs[key], kwargs[key].dtype)
    return kwargs


@pytest.mark.parametrize("frozen", [True, False], ids=["frozen", "writable"])
@pytest.mark.parametrize("n_threads", [1, 2, 3, 7])
@pytest.mark.parametrize("case", CASES)
def test_the_engine_returns_the_module_result_on_any_number_of_threads(threads, case, n_threads,
                                                                       frozen):
    threads(n_threads)
    matrix = frozen_copy(ROWS, np.float32) if frozen else ROWS
    kwargs = frozen_arguments(case) if frozen else CASES[case]
    want = q.score_candidates(ROWS, IDS, ID_TO_IDX, QUERY, **CASES[case])
    assert _engine.score_candidates(matrix, IDS, ID_TO_IDX, QUERY, **kwargs) == want
    assert want  # every case chooses something


@pytest.mark.parametrize("args, kwargs", [
    ((ROWS, IDS, ID_TO_IDX, QUERY[:5]), {}),
    ((ROWS, IDS, ID_TO_IDX, QUERY), {"limit": -1}),
    ((ROWS, IDS, ID_TO_IDX, QUERY), {"mask": MASK[:10]}),
    ((ROWS, IDS, ID_TO_IDX, QUERY), {"pre_filter_ids": IDS[:3], "mask": MASK[:1]}),
    ((ROWS, IDS, ID_TO_IDX), {}),
    ((ROWS.astype(np.float64), IDS, ID_TO_IDX, QUERY), {}),
    ((ROWS, IDS, ID_TO_IDX, QUERY), {"bogus": 1}),
], ids=["dimension", "negative-limit", "short-mask", "short-gathered-mask", "missing", "float64", "keyword"])
def test_the_engine_fails_as_the_module_does(threads, args, kwargs):
    threads(2)
    with pytest.raises(BaseException) as module:
        q.score_candidates(*args, **kwargs)
    with pytest.raises(BaseException) as engine:
        _engine.score_candidates(*args, **kwargs)
    # Each module makes its own panic type, under the same name.
    assert type(engine.value).__qualname__ == type(module.value).__qualname__
    assert engine.value.args == module.value.args


class PythonBuffer:
    def __init__(self, data):
        self.data = data

    def __buffer__(self, flags):
        return memoryview(self.data)


def read_only_map(tmp_path):
    path = tmp_path / "rows.bin"
    path.write_bytes(ROWS.tobytes())
    with open(path, "rb") as f:
        return mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)


MIB = 1 << 20


@pytest.mark.parametrize("size", [0, 1, 4 * MIB - 1, 4 * MIB, 6 * MIB + 5])
def test_a_frozen_buffer_of_any_size_starts_zeroed_and_takes_writes_up_to_its_end(size):
    buf = _engine.FrozenBuffer(size)
    view = np.frombuffer(buf, np.uint8)
    assert view.size == size and not view.any() and view.ctypes.data % 64 == 0
    tail = np.arange(min(size, 3000), dtype=np.uint8)
    buf.write(size - tail.size, tail)
    buf.seal(size // 2)
    assert np.array_equal(view[size - tail.size:], tail)
    with pytest.raises(ValueError):  # one byte past the end
        buf.write(size - tail.size, tail.tobytes() + b"\0")
    if size >= 2:
        with pytest.raises(ValueError):  # into the sealed part
            buf.write(size // 2 - 1, b"\0")


@pytest.mark.parametrize("make, frozen", [
    (lambda tmp: frozen_copy(ROWS, np.float32), True),
    (lambda tmp: frozen_copy(ROWS, np.float32)[10:20, 3:], True),
    (lambda tmp: np.frombuffer(ROWS.tobytes(), np.float32), True),
    (lambda tmp: np.frombuffer(read_only_map(tmp), np.float32), True),
    (lambda tmp: ROWS, False),
    (lambda tmp: ROWS.copy().view(), False),
    (lambda tmp: np.frombuffer(bytearray(8), np.float32), False),
    (lambda tmp: np.frombuffer(PythonBuffer(b"\0" * 8), np.float32), False),
    (lambda tmp: np.frombuffer(PythonBuffer(bytearray(8)), np.float32), False),
    (lambda tmp: [1.0, 2.0], False),
], ids=["frozen-buffer", "its-view", "bytes", "read-only-map", "owner", "writable-view",
        "bytearray", "python-buffer-of-bytes", "python-buffer", "list"])
def test_only_memory_that_no_python_code_can_write_counts_as_frozen(tmp_path, make, frozen):
    array = make(tmp_path)
    if isinstance(array, np.ndarray) and not frozen:
        array.flags.writeable = False  # a read-only flag alone is no promise
    assert _engine.is_frozen(array) is frozen


def scan_while_counting(matrix, ids, id_to_idx, query):
    # How often another Python thread ran during one long scan.
    count, stop = [0], threading.Event()

    def spin():
        while not stop.is_set():
            count[0] += 1

    t = threading.Thread(target=spin)
    t.start()
    time.sleep(0.01)
    start = count[0]
    _engine.score_candidates(matrix, ids, id_to_idx, query, limit=3)
    during = count[0] - start
    stop.set()
    t.join()
    return during


def test_the_lock_is_released_only_while_scanning_frozen_memory(threads):
    threads(1)
    n = 300_000
    rows = np.random.default_rng(1).standard_normal((n, 128)).astype(np.float32)
    ids = [str(i) for i in range(n)]
    id_to_idx = {d: i for i, d in enumerate(ids)}
    old = sys.getswitchinterval()
    sys.setswitchinterval(1.0)  # the scan is far shorter: a held lock lets none run
    try:
        released = scan_while_counting(frozen_copy(rows, np.float32), ids, id_to_idx, rows[0])
        held = scan_while_counting(rows, ids, id_to_idx, rows[0])
    finally:
        sys.setswitchinterval(old)
    assert released > 1000
    assert held < released / 10


def test_an_ids_list_emptied_by_another_thread_mid_scan_is_refused(threads):
    threads(2)
    n = 400_000
    rows = frozen_copy(np.random.default_rng(2).standard_normal((n, 128)), np.float32)
    ids = [str(i) for i in range(n)]
    id_to_idx = {d: i for i, d in enumerate(ids)}
    emptier = threading.Timer(0.003, ids.clear)
    emptier.start()
    try:
        got = _engine.score_candidates(rows, ids, id_to_idx, rows[3], limit=2)
    except RuntimeError as e:
        assert str(e) == "ids changed size during the search"
    else:  # emptied before the call began, or after the scan
        assert got == [] or got[0]["id"] == "3"
    emptier.join()


def test_searches_from_many_threads_while_corpora_come_and_go(threads):
    corpus = quantelle.Corpus(ROWS, IDS, timestamps=STAMPS)
    want = {case: q.score_candidates(ROWS, IDS, ID_TO_IDX, QUERY, **CASES[case])
            for case in ("plain", "diverse", "mask")}
    errors = []

    def search(case):
        try:
            for _ in range(15):
                got = _engine.score_candidates(corpus.matrix, IDS, ID_TO_IDX, QUERY,
                                               **frozen_arguments(case))
                if got != want[case]:
                    errors.append(case)
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(repr(e))

    def churn():  # corpora built and dropped, and the count changed, meanwhile
        for n in (1, 4, 2, 3, 1, 2) * 5:
            threads(n)
            other = quantelle.Corpus(ROWS[:5000], IDS[:5000])
            if other.search(QUERY).hits[0].id not in IDS:
                errors.append("churn")
            del other

    workers = [threading.Thread(target=search, args=(case,)) for case in want for _ in range(3)]
    workers.append(threading.Thread(target=churn))
    for t in workers:
        t.start()
    for t in workers:
        t.join()
    assert not errors


def test_a_forked_child_and_an_exit_mid_search_are_safe(run_python):
    done = run_python("""
        import os, threading, numpy as np, quantelle
        from quantelle import _engine
        from quantelle.frozen import frozen_copy
        quantelle.set_num_threads(3)
        m = frozen_copy(np.random.default_rng(0).standard_normal((200_000, 64)), np.float32)
        ids = [str(i) for i in range(len(m))]
        idx = {d: i for i, d in enumerate(ids)}
        want = _engine.score_candidates(m, ids, idx, m[5])
        pid = os.fork()
        if pid == 0:
            os._exit(0 if _engine.score_candidates(m, ids, idx, m[5]) == want else 3)
        assert os.waitpid(pid, 0)[1] == 0
        def forever():
            while True:
                _engine.score_candidates(m, ids, idx, m[1])
        threading.Thread(target=forever, daemon=True).start()
        print("exiting")
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "exiting\n"


@pytest.mark.parametrize("n, error", [(0, ValueError), (-2, ValueError), (1.5, TypeError),
                                      ("2", TypeError), (True, TypeError)])
def test_a_thread_count_below_one_or_not_an_int_is_refused(threads, n, error):
    with pytest.raises(error):
        quantelle.set_num_threads(n)


def test_the_engine_pool_follows_the_layer_count(threads):
    threads(5)
    assert _engine.get_num_threads() == 5 == quantelle.get_num_threads()


StrSub = type("StrSub", (str,), {})
SMALL, SMALL_IDS = BASE[:4, :3].copy(), ["a", "b", "c", "d"]


def outcome(call):
    try:
        return call()
    except Exception as error:  # noqa: BLE001 - the error is the outcome compared
        return type(error), error.args


@pytest.mark.parametrize("ids, remembered", [
    (tuple(IDS), True),
    ((), True),
    (tuple(IDS) + ("extra",), True),
    ((*IDS[:-1], StrSub(IDS[-1])), False),
    ((*IDS[:-1], "\ud800"), False),
    ((*IDS[:-1], 7), False),
], ids=["plain", "empty", "longer", "str-subclass", "lone-surrogate", "not-a-str"])
@pytest.mark.parametrize("case", ["plain", "all", "within", "unknown-ids"])
def test_checked_ids_answer_as_the_module_does(threads, ids, remembered, case):
    threads(2)
    handle = _engine.CheckedIds(ids)
    assert handle.remembered is remembered
    for uses in ({}, {"pre_filter_ids": ids[::5]}):
        kwargs = CASES[case] | uses
        want = outcome(lambda: q.score_candidates(ROWS, ids, ID_TO_IDX, QUERY, **kwargs))
        for _ in range(2):  # the second call reads the verdict the first one left, if any
            assert outcome(lambda: _engine.score_candidates(ROWS, ids, ID_TO_IDX, QUERY, **kwargs)) == want


def test_a_checked_tuple_is_forgotten_with_its_handle(threads):
    # Tuples of one size reuse freed memory: a tuple made after the handle and its ids are
    # gone may sit at their address and must be checked afresh.
    threads(1)
    ids = tuple(SMALL_IDS)
    handle = _engine.CheckedIds(ids)
    assert _engine.score_candidates(SMALL, ids, {}, QUERY[:3])
    where = id(ids)
    del handle, ids
    for _ in range(100):
        bad = (*SMALL_IDS[:2], 7, SMALL_IDS[3])
        if id(bad) == where:
            break
    else:
        pytest.skip("no tuple was made at the freed address")
    with pytest.raises(TypeError):
        _engine.score_candidates(SMALL, bad, {}, QUERY[:3])


@pytest.mark.parametrize("ids", [list(SMALL_IDS), type("TupleSub", (tuple,), {})(SMALL_IDS)],
                         ids=["list", "tuple-subclass"])
def test_only_an_exact_tuple_makes_checked_ids(ids):
    with pytest.raises(TypeError):
        _engine.CheckedIds(ids)
