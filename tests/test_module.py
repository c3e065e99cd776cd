"""The module object: attributes, docstrings, signatures, re-import, subinterpreters, NumPy-less import."""
import inspect
import subprocess
import sys
import textwrap

import pytest

import _quantelle as q

FUNCTIONS = ["parse_modifiers", "score_candidates", "mmr_select_py"]

SCORE_DOC = """Score and select candidates with composable landscape modulations.

All text\u2192vector conversions must be done in Python before calling.
This function takes pure arrays and returns scored results.

Args:
    matrix: Normalized embedding matrix (n, dims), float32.
    ids: Document IDs aligned with matrix rows.
    id_to_idx: {id: row_index} mapping.
    query_vec: Query embedding (dims,), will be normalized.
    timestamps: Optional (n,) float64 epoch seconds.
    pre_filter_ids: Optional set of IDs to restrict search.
    not_like_vec: Optional negative query for contrastive.
    diverse: Enable MMR diversity selection.
    limit: Max results.
    oversample: Candidate pool size.
    threshold: Minimum similarity cutoff.
    mmr_lambda: Relevance vs diversity (0-1).
    recent: Apply temporal decay.
    recent_days: Half-life in days for temporal decay.
    like_ids: Optional list of IDs for centroid blending.
    traj_from_vec: Optional trajectory start vector.
    traj_to_vec: Optional trajectory end vector.

Returns list of dicts with 'id' and 'score' keys."""


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120)


def test_module_attributes():
    assert q.__name__ == "_quantelle"
    assert q.__doc__ == ""
    assert q.__all__ == FUNCTIONS
    assert not hasattr(q, "PanicException")


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_objects(name):
    f = getattr(q, name)
    assert type(f).__name__ == "builtin_function_or_method"
    assert f.__name__ == f.__qualname__ == name
    assert f.__module__ == "_quantelle"
    assert f.__self__ is q


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
def test_signatures_and_docstrings(name, signature, doc):
    f = getattr(q, name)
    assert f.__text_signature__ == signature
    assert str(inspect.signature(f)) == signature
    assert f.__doc__ == doc


def test_score_candidates_signature_defaults():
    params = inspect.signature(q.score_candidates).parameters
    assert len(params) == 18
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in params.values())
    assert [n for n, p in params.items() if p.default is p.empty] == [
        "matrix", "ids", "id_to_idx", "query_vec"]
    assert params["limit"].default == 10 and params["mmr_lambda"].default == 0.7


def test_reimport_returns_the_same_module():
    result = run_python("""
        import sys, _quantelle as first
        del sys.modules['_quantelle']
        import _quantelle as second
        import importlib
        third = importlib.reload(second)
        assert first is second is third, (first, second, third)
        assert second.__all__ == ['parse_modifiers', 'score_candidates', 'mmr_select_py']
        print('ok')
    """)
    assert result.stdout.strip() == "ok", result.stderr


def test_second_interpreter_is_refused():
    result = run_python("""
        import _interpreters, _quantelle
        interp = _interpreters.create(_interpreters.new_config('legacy'))
        try:
            failure = _interpreters.exec(interp, "import _quantelle")
        finally:
            _interpreters.destroy(interp)
        print(failure.type.__name__, '|', failure.msg)
        print(_quantelle.parse_modifiers('diverse')['diverse'])
    """)
    lines = result.stdout.splitlines()
    assert lines[0].startswith("ImportError | "), result.stderr
    assert "subinterpreters" in lines[0]
    assert lines[1] == "True"


def test_import_and_parse_without_numpy():
    # The NumPy API is loaded at the first array argument, never at import; when it cannot be
    # had, the call panics and the next call tries again.
    result = run_python("""
        import sys
        sys.modules['numpy'] = None  # import numpy now fails
        import _quantelle as q
        assert q.parse_modifiers('recent')['recent'] is True
        for attempt in range(2):
            try:
                q.score_candidates([[1.0]], ['a'], {'a': 0}, [1.0])
            except BaseException as e:
                print(type(e).__name__, '|', e.args[0])
        del sys.modules['numpy']
        import numpy as np
        m = np.eye(2, dtype=np.float32)
        print(q.score_candidates(m, ['a', 'b'], {}, m[1], limit=1))
    """)
    lines = result.stdout.splitlines()
    assert len(lines) == 3, result.stderr
    for line in lines[:2]:
        assert line.startswith("PanicException | Failed to access NumPy array API capsule")
    assert lines[2] == "[{'id': 'b', 'score': 1.0}]"


def test_only_the_init_function_is_exported():
    nm = subprocess.run(["nm", "-D", "--defined-only", q.__file__], capture_output=True, text=True)
    if nm.returncode != 0:
        pytest.skip("nm is not available")
    symbols = [line.split()[-1] for line in nm.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit__quantelle"]
