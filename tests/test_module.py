"""The module object: attributes, docstrings, signatures, re-import, subinterpreters, NumPy-less
import, and PanicException for internal faults."""
import hashlib
import inspect
import subprocess

import numpy as np
import pytest

import _quantelle as q

FUNCTIONS = ["parse_modifiers", "score_candidates", "mmr_select_py"]

# The long docstring is pinned by its digest; its ends in the open, for a readable failure.
SCORE_DOC = ("Score and select candidates with composable landscape modulations.\n",
             "\nReturns list of dicts with 'id' and 'score' keys.",
             "6240287caf091d087d802c0b4617b2fcee292be998d35bffa7463f0f424137aa")


def test_module_attributes():
    assert (q.__name__, q.__doc__, q.__all__) == ("_quantelle", "", FUNCTIONS)
    assert not hasattr(q, "PanicException")


def test_internal_fault_is_one_base_exception_type_and_is_reported(panics, capfd):
    # That it releases the arguments is test_leaks' fault-in-logic case.
    m = np.eye(3, dtype=np.float32)
    first, second = (panics("assertion failed: index < dim", q.score_candidates, m, ["a", "b", "c"],
                            {"a": 0, "far": 7}, m[0], like_ids=["far"]) for _ in range(2))
    assert type(first).__bases__ == (BaseException,) and type(second) is type(first) and first.__cause__ is None
    assert "assertion failed: index < dim" in capfd.readouterr().err


@pytest.mark.parametrize("name, signature, doc", [
    ("parse_modifiers", "(modifier_str=None)",
     "Parse a modifier string into modulation parameters.\n\nReturns a dict with keys: recent, "
     "recent_days, unlike, diverse, limit,\nlike, trajectory_from, trajectory_to, local_communities."),
    ("score_candidates",
     "(matrix, ids, id_to_idx, query_vec, timestamps=None, pre_filter_ids=None, not_like_vec=None, "
     "diverse=False, limit=10, oversample=200, threshold=0.0, mmr_lambda=0.7, recent=False, "
     "recent_days=None, like_ids=None, traj_from_vec=None, traj_to_vec=None, mask=None)",
     SCORE_DOC),
    ("mmr_select_py", "(candidates, similarities, matrix, k, lambda_)",
     "MMR: iteratively select for relevance minus redundancy.\nReturns list of (index, mmr_score) tuples."),
], ids=FUNCTIONS)
def test_functions_signatures_and_docstrings(name, signature, doc):
    f = getattr(q, name)
    assert type(f).__name__ == "builtin_function_or_method"
    assert (f.__name__, f.__qualname__, f.__module__, f.__self__) == (name, name, "_quantelle", q)
    assert f.__text_signature__ == str(inspect.signature(f)) == signature
    if isinstance(doc, tuple):
        assert f.__doc__.startswith(doc[0]) and f.__doc__.endswith(doc[1]), f.__doc__
        assert hashlib.sha256(f.__doc__.encode()).hexdigest() == doc[2], f.__doc__
    else:
        assert f.__doc__ == doc


def test_import_without_numpy_reimport_and_a_second_interpreter(run_python):
    # NumPy is loaded at the first array argument: when it cannot be, the call panics and the
    # next call tries again.
    done = run_python("""
        import sys, importlib, _interpreters
        sys.modules['numpy'] = None
        import _quantelle as first
        assert first.parse_modifiers('recent')['recent'] is True
        for attempt in range(2):
            try:
                first.score_candidates([[1.0]], ['a'], {'a': 0}, [1.0])
            except BaseException as e:
                print(type(e).__name__, '|', e.args[0])
        del sys.modules['numpy']
        import numpy as np
        m = np.eye(2, dtype=np.float32)
        print(first.score_candidates(m, ['a', 'b'], {}, m[1], limit=1))
        del sys.modules['_quantelle']
        import _quantelle as second
        assert first is second is importlib.reload(second)
        assert second.__all__ == ['parse_modifiers', 'score_candidates', 'mmr_select_py']
        interp = _interpreters.create(_interpreters.new_config('legacy'))
        try:
            failure = _interpreters.exec(interp, "import _quantelle")
        finally:
            _interpreters.destroy(interp)
        print(failure.type.__name__, '|', failure.msg)
        print(second.parse_modifiers('diverse')['diverse'])
    """)
    lines = done.stdout.splitlines()
    assert len(lines) == 5, done.stderr
    for line in lines[:2]:
        assert line.startswith("PanicException | Failed to access NumPy array API capsule")
    assert lines[2] == "[{'id': 'b', 'score': 1.0}]"
    assert lines[3].startswith("ImportError | ") and "subinterpreters" in lines[3]
    assert lines[4] == "True"


def test_only_the_init_function_is_exported():
    nm = subprocess.run(["nm", "-D", "--defined-only", q.__file__], capture_output=True, text=True)
    if nm.returncode != 0:
        pytest.skip("nm is not available")
    assert [line.split()[-1] for line in nm.stdout.splitlines() if line.strip()] == ["PyInit__quantelle"]
