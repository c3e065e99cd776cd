"""Argument binding: positional and keyword arguments to parameter slots, and its messages."""
import re

import numpy as np
import pytest

import _quantelle as q

M, V = np.eye(2, dtype=np.float32), np.ones(2, dtype=np.float32)
IDS, IDX = ["a", "b"], {"a": 0, "b": 1}
S, MMR, PARSE = q.score_candidates, q.mmr_select_py, q.parse_modifiers


@pytest.mark.parametrize("call, message", [
    (lambda: S(), "score_candidates() missing 4 required positional arguments: "
                  "'matrix', 'ids', 'id_to_idx', and 'query_vec'"),
    (lambda: S(M, IDS, IDX), "score_candidates() missing 1 required positional argument: 'query_vec'"),
    (lambda: S(M, query_vec=V),
     "score_candidates() missing 2 required positional arguments: 'ids' and 'id_to_idx'"),
    (lambda: S(*([None] * 19)), "score_candidates() takes from 4 to 18 positional arguments but 19 were given"),
    (lambda: MMR([0], V, M, 3, 0.5, 1), "mmr_select_py() takes 5 positional arguments but 6 were given"),
    (lambda: S(M, IDS, IDX, V, matrix=M), "score_candidates() got multiple values for argument 'matrix'"),
    (lambda: S(M, **{"limit ": 2}), "score_candidates() got an unexpected keyword argument 'limit '"),
    (lambda: PARSE(**{"\udcff": 1}), "parse_modifiers() got an unexpected keyword argument '\udcff'"),
], ids=["four-missing", "one-missing", "keyword-gap", "too-many", "all-required-too-many", "duplicate",
        "unknown-before-missing", "surrogate-keyword"])
def test_binding_errors(call, message):
    with pytest.raises(TypeError, match=f"^{re.escape(message)}$"):
        call()


def test_everything_by_keyword_in_any_order():
    assert S(query_vec=V, id_to_idx=IDX, ids=IDS, matrix=M, limit=1) == [{"id": "a", "score": 0.7071}]
    assert MMR(lambda_=1.0, k=1, matrix=M, similarities=V, candidates=[1]) == [(1, 1.0)]
    assert PARSE(modifier_str="diverse")["diverse"] is True
    assert PARSE() == PARSE(None) == PARSE(modifier_str=None) == PARSE("")
