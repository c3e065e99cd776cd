"""Internal faults surface as PanicException, release everything, and leave the module working."""
import numpy as np
import pytest

import _quantelle as q

M = np.eye(3, dtype=np.float32)
IDS = ["a", "b", "c"]
Q = np.array([1, 0, 0], np.float32)


def caught_panic(matrix=M):
    try:
        q.score_candidates(matrix, IDS, {"a": 0, "far": 7}, Q, like_ids=["far"])
    except Exception:  # noqa: BLE001 - must not catch it
        pytest.fail("PanicException was caught as an Exception")
    except BaseException as e:  # noqa: BLE001
        return e
    pytest.fail("no fault raised")


def test_panic_exception_type_and_diagnostic(capfd):
    e = caught_panic()
    t = type(e)
    assert t.__name__ == "PanicException" and t.__bases__ == (BaseException,)
    assert t.__doc__ and "BaseException" in t.__doc__
    assert e.args == ("assertion failed: index < dim",) and str(e) == e.args[0]
    assert e.__cause__ is None and not hasattr(q, "PanicException")
    assert type(caught_panic()) is t  # created once
    assert "assertion failed: index < dim" in capfd.readouterr().err


def test_module_keeps_working_and_arrays_are_released():
    m = M.copy()
    for _ in range(3):
        caught_panic(m)
    m[0, 0] = 2.0
    m.resize((2, 3), refcheck=True)  # fails if the fault leaked a reference
    assert q.score_candidates(M, IDS, {}, Q, limit=1) == [{"id": "a", "score": 1.0}]
