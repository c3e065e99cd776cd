"""Internal faults surface as PanicException, release everything, and leave the module working."""
import gc
import sys

import numpy as np
import pytest

import _quantelle as q

M = np.eye(3, dtype=np.float32)
IDS = ["a", "b", "c"]
Q = np.array([1, 0, 0], np.float32)


def fault():
    return q.score_candidates(M, IDS, {"a": 0, "far": 7}, Q, like_ids=["far"])


def caught_panic():
    try:
        fault()
    except Exception:  # noqa: BLE001 - must not catch it
        pytest.fail("PanicException was caught as an Exception")
    except BaseException as e:  # noqa: BLE001
        return e
    pytest.fail("no fault raised")


def test_panic_exception_type(capfd):
    e = caught_panic()
    t = type(e)
    assert t.__name__ == "PanicException"
    assert t.__bases__ == (BaseException,)
    assert not issubclass(t, Exception)
    assert t.__doc__ and "BaseException" in t.__doc__
    assert e.args == ("assertion failed: index < dim",)
    assert str(e) == "assertion failed: index < dim"
    assert e.__cause__ is None
    assert not hasattr(q, "PanicException")
    assert type(caught_panic()) is t  # created once
    assert "assertion failed: index < dim" in capfd.readouterr().err  # the diagnostic


def test_module_keeps_working_and_arrays_are_released():
    m = M.copy()
    for _ in range(3):
        with pytest.raises(BaseException):
            q.score_candidates(m, IDS, {"far": 9}, Q, pre_filter_ids=["far"])
    m[0, 0] = 2.0
    m.resize((2, 3), refcheck=True)  # fails if a reference were leaked by the fault
    assert q.score_candidates(M, IDS, {}, Q, limit=1) == [{"id": "a", "score": 1.0}]


def test_value_error_for_the_query_length():
    with pytest.raises(ValueError, match=r"^Query vector dimension 4 doesn't match cache dimension 3$"):
        q.score_candidates(M, IDS, {}, np.ones(4, np.float32))
    assert q.score_candidates(M, [], {}, np.ones(4, np.float32)) == []


def refcounts(objects):
    return [sys.getrefcount(o) for o in objects]


def test_no_reference_leaks_on_success_and_failure():
    ids = ["a", "b", "c"]
    mapping = {"a": 0, "b": 1, "c": 2}
    pre = ["a", "c"]
    ts = np.array([1.0, 2.0, 3.0])
    mask = np.array([True, True, False])
    objects = [M, Q, ids, mapping, pre, ts, mask, *ids, *mapping.values()]
    calls = [
        lambda: q.score_candidates(M, ids, mapping, Q, timestamps=ts, pre_filter_ids=pre,
                                   like_ids=ids, mask=mask, recent=True, diverse=True, limit=1),
        lambda: q.score_candidates(M, ids, mapping, Q, not_like_vec=Q, traj_from_vec=Q,
                                   traj_to_vec=M[1]),
        lambda: q.score_candidates(M, ids, mapping, Q, mask=mask[:1]),  # fault
        lambda: q.score_candidates(M, ids, mapping, Q, limit=-1),  # OverflowError
        lambda: q.score_candidates(M, ids, mapping, Q, mask=ts),  # TypeError
        lambda: q.score_candidates(M, ids, mapping, np.ones(2, np.float32)),  # ValueError
        lambda: q.mmr_select_py(pre and [0, 2], Q, M, 2, 0.5),
        lambda: q.mmr_select_py([0, 5], Q, M, 2, 0.5),  # fault
        lambda: q.parse_modifiers("recent:3 like:a,b from: x to: y"),
    ]
    for call in calls:  # warm up lazily created state
        try:
            call()
        except BaseException:  # noqa: BLE001
            pass
    gc.collect()
    before = refcounts(objects)
    for _ in range(1200):  # over 10,000 calls
        for call in calls:
            try:
                call()
            except BaseException:  # noqa: BLE001
                pass
    gc.collect()
    assert refcounts(objects) == before
