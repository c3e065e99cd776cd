"""The module object: attributes, docstrings, signatures, imports, and PanicException."""
import hashlib
import inspect
import re
import subprocess

import numpy as np
import pytest

import _quantelle as q

FUNCTIONS = ["parse_modifiers", "score_candidates", "mmr_select_py"]


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
     "6240287caf091d087d802c0b4617b2fcee292be998d35bffa7463f0f424137aa"),  # the long one by its digest
    ("mmr_select_py", "(candidates, similarities, matrix, k, lambda_)",
     "MMR: iteratively select for relevance minus redundancy.\nReturns list of (index, mmr_score) tuples."),
], ids=FUNCTIONS)
def test_functions_signatures_and_docstrings(name, signature, doc):
    f = getattr(q, name)
    assert type(f).__name__ == "builtin_function_or_method"
    assert (f.__name__, f.__qualname__, f.__module__, f.__self__) == (name, name, "_quantelle", q)
    assert f.__text_signature__ == str(inspect.signature(f)) == signature
    assert doc in (f.__doc__, hashlib.sha256(f.__doc__.encode()).hexdigest()), f.__doc__


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
        interp = _interpreters.create(_interpreters.new_config('legacy'))
        failure = _interpreters.exec(interp, "import _quantelle")
        _interpreters.destroy(interp)
        print(failure.type.__name__, '|', failure.msg)
        print(second.parse_modifiers('diverse')['diverse'])
    """)
    expected = (r"(PanicException \| Failed to access NumPy array API capsule.*\n){2}"
                r"\[\{'id': 'b', 'score': 1.0\}\]\nImportError \| .*subinterpreters.*\nTrue\n")
    assert re.fullmatch(expected, done.stdout), done.stdout + done.stderr


def test_only_the_init_function_is_exported():
    nm = subprocess.run(["nm", "-D", "--defined-only", q.__file__], capture_output=True, text=True)
    if nm.returncode != 0:
        pytest.skip("nm is not available")
    assert [line.split()[-1] for line in nm.stdout.splitlines() if line.strip()] == ["PyInit__quantelle"]
