"""The module object: attributes, docstrings, signatures, re-import, subinterpreters, NumPy-less import."""
import inspect
import subprocess

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


def test_module_attributes():
    assert (q.__name__, q.__doc__, q.__all__) == ("_quantelle", "", FUNCTIONS)
    assert not hasattr(q, "PanicException")


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
