"""Argument binding: positional and keyword arguments to parameter slots, and its messages."""
import re

import numpy as np
import pytest

import _quantelle as q

M = np.eye(2, dtype=np.float32)
V = np.ones(2, dtype=np.float32)
IDS = ["a", "b"]
IDX = {"a": 0, "b": 1}


def exact(message):
    return f"^{re.escape(message)}$"


@pytest.mark.parametrize("call, message", [
    (lambda: q.score_candidates(),
     "score_candidates() missing 4 required positional arguments: "
     "'matrix', 'ids', 'id_to_idx', and 'query_vec'"),
    (lambda: q.score_candidates(M, IDS, IDX),
     "score_candidates() missing 1 required positional argument: 'query_vec'"),
    (lambda: q.score_candidates(M, IDS),
     "score_candidates() missing 2 required positional arguments: 'id_to_idx' and 'query_vec'"),
    (lambda: q.score_candidates(M, query_vec=V),
     "score_candidates() missing 2 required positional arguments: 'ids' and 'id_to_idx'"),
    (lambda: q.score_candidates(*([None] * 19)),
     "score_candidates() takes from 4 to 18 positional arguments but 19 were given"),
    (lambda: q.score_candidates(M, IDS, IDX, V, matrix=M),
     "score_candidates() got multiple values for argument 'matrix'"),
    (lambda: q.score_candidates(M, IDS, IDX, V, limit=1, **{"limit ": 2}),
     "score_candidates() got an unexpected keyword argument 'limit '"),
    (lambda: q.mmr_select_py([0], V, M, 3, 0.5, 1),
     "mmr_select_py() takes 5 positional arguments but 6 were given"),
    (lambda: q.mmr_select_py([0]),
     "mmr_select_py() missing 4 required positional arguments: "
     "'similarities', 'matrix', 'k', and 'lambda_'"),
    (lambda: q.mmr_select_py([0], V, M, 3, lambda_=0.5, k=1),
     "mmr_select_py() got multiple values for argument 'k'"),
    (lambda: q.parse_modifiers("a", "b"),
     "parse_modifiers() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda: q.parse_modifiers(text="x"),
     "parse_modifiers() got an unexpected keyword argument 'text'"),
    (lambda: q.parse_modifiers("a", modifier_str="b"),
     "parse_modifiers() got multiple values for argument 'modifier_str'"),
    (lambda: q.parse_modifiers(**{"\udcff": 1}),
     "parse_modifiers() got an unexpected keyword argument '\udcff'"),
], ids=["none", "one-missing", "two-missing", "keyword-gap", "too-many", "duplicate",
        "unknown-keyword", "mmr-too-many", "mmr-missing", "mmr-duplicate-keywords",
        "parse-too-many", "parse-unknown", "parse-duplicate", "surrogate-keyword"])
def test_binding_errors(call, message):
    with pytest.raises(TypeError, match=exact(message)):
        call()


def test_keyword_errors_come_before_missing_arguments():
    with pytest.raises(TypeError, match="unexpected keyword argument 'nope'"):
        q.score_candidates(M, nope=1)


def test_everything_by_keyword_in_any_order():
    out = q.score_candidates(query_vec=V, id_to_idx=IDX, ids=IDS, matrix=M, limit=1)
    assert out == [{"id": "a", "score": 0.7071}]
    assert q.mmr_select_py(lambda_=1.0, k=1, matrix=M, similarities=V, candidates=[1]) == [(1, 1.0)]
