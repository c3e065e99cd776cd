"""The ``where=`` language against a plain Python filter on random metadata, across changes of the
corpus, and its errors."""
import re

import numpy as np
import pytest

from quantelle import Corpus

LANGS = ["en", "de", "fr"]


def random_metadata(rng, k):
    out = []
    for _ in range(k):
        if rng.random() < 0.1:
            out.append(None)
            continue
        m = {"lang": LANGS[rng.integers(3)], "year": int(rng.integers(2015, 2025))}
        if rng.random() < 0.7:
            m["score"] = float(rng.integers(0, 8)) / 2  # halves: ties with the ints below
        if rng.random() < 0.5:
            m["flag"] = bool(rng.random() < 0.5)
        if rng.random() < 0.2:
            m["tags"] = ["a"] if rng.random() < 0.5 else ["a", "b"]
        out.append(m)
    return out


def holds(f, m):
    """The filter as the language describes it, on one document's metadata."""
    m = m or {}
    results = []
    for name, cond in f.items():
        if name == "$and":
            results.append(all(holds(g, m) for g in cond))
        elif name == "$or":
            results.append(any(holds(g, m) for g in cond))
        else:
            ops = cond if isinstance(cond, dict) and all(k.startswith("$") for k in cond) else {"$eq": cond}
            for op, v in ops.items():
                present = name in m
                x = m.get(name)
                same_kind = present and type(x) is type(v) or (
                    present and {type(x), type(v)} <= {int, float})
                eq = same_kind and x == v
                if op == "$eq":
                    results.append(eq)
                elif op == "$ne":
                    results.append(not eq)
                elif op in ("$in", "$nin"):
                    inside = any(holds({name: u}, m) for u in v)
                    results.append(inside if op == "$in" else not inside)
                else:
                    ordered = same_kind and {"$gt": x > v, "$gte": x >= v, "$lt": x < v, "$lte": x <= v}[op] if same_kind else False
                    results.append(bool(ordered))
    return all(results)


def random_filter(rng, depth=0):
    r = rng.random()
    if depth < 2 and r < 0.25:
        return {["$and", "$or"][rng.integers(2)]: [random_filter(rng, depth + 1) for _ in range(rng.integers(1, 4))]}
    field = ["lang", "year", "score", "flag", "tags"][rng.integers(5)]
    value = {"lang": LANGS[rng.integers(3)], "year": int(rng.integers(2014, 2026)),
             "score": float(rng.integers(0, 8)) / 2, "flag": bool(rng.integers(2)), "tags": ["a"]}[field]
    ops = ["$eq", "$ne", "$in", "$nin"] + (["$gt", "$gte", "$lt", "$lte"] if field in ("year", "score", "lang") else [])
    op = ops[rng.integers(len(ops))]
    if op in ("$in", "$nin"):
        value = [value] + ([LANGS[0]] if field == "lang" else [])
    if r < 0.45 and op == "$eq":
        return {field: value}
    cond = {field: {op: value}}
    if depth == 0 and rng.random() < 0.3:
        cond["lang"] = {"$ne": "fr"}  # fields side by side must all hold
    return cond


@pytest.mark.parametrize("seed", range(4))
def test_where_keeps_exactly_what_a_plain_filter_keeps_as_the_corpus_changes(seed):
    rng = np.random.default_rng(seed)
    n = 150
    rows = rng.standard_normal((n, 5))
    meta = random_metadata(rng, n)
    docs = {f"d{i}": (rows[i], meta[i]) for i in range(n)}
    corpus = Corpus(rows, list(docs), metadata=meta)
    serial = n
    query = rng.standard_normal(5)
    for step in range(12):
        for _ in range(8):
            f = random_filter(rng)
            keep = [i for i, (_, m) in docs.items() if holds(f, m)]
            expected = Corpus(np.array([docs[i][0] for i in keep]).reshape(-1, 5), keep).search(
                query, f"limit:{n * 2}").hits if keep else []
            got = corpus.search(query, f"limit:{n * 2}", where=f).hits
            assert [(h.id, h.score) for h in got] == [(h.id, h.score) for h in expected], f
        if step % 2:  # indexes built so far must follow adds and removes
            new_rows, new_meta = rng.standard_normal((10, 5)), random_metadata(rng, 10)
            new_ids = [f"d{serial + j}" for j in range(10)]
            serial += 10
            corpus.add(new_rows, new_ids, metadata=new_meta)
            docs.update((i, (r, m)) for i, r, m in zip(new_ids, new_rows, new_meta))
        else:
            gone = list(rng.choice(list(docs), 12, replace=False))
            corpus.remove(gone)
            for i in gone:
                del docs[i]


def test_where_combines_with_within_mask_and_modifiers():
    corpus = Corpus(np.eye(4), ["a", "b", "c", "d"],
                    metadata=[{"k": 1}, {"k": 1}, {"k": 2}, {"k": 1}])
    result = corpus.search(np.ones(4), "limit:5", where={"k": 1}, within=["d", "c", "a"],
                           mask=np.array([True, True, True, False]))
    assert [h.id for h in result.hits] == ["a"]
    assert "where k == 1" in result.applied


CORPUS = Corpus(np.eye(3), ["a", "b", "c"], metadata=[{"year": 2020, "lang": "en"}, {"year": 2021}, None])


@pytest.mark.parametrize("where, error, message", [
    ({"year": {"$foo": 1}}, ValueError, "where: unknown operator '$foo' on field 'year'; the operators are $eq, $ne"),
    ({"$not": {"year": 1}}, ValueError, "where: unknown operator '$not'; the operators are"),
    ({"year": "2020"}, ValueError, "where: field 'year' holds number values, compared with the str '2020'"),
    ({"lang": {"$in": ["en", 1]}}, ValueError, "where: field 'lang' holds str values, compared with the number 1"),
    ({"year": {"$gt": True}}, ValueError, "where: $gt on field 'year' takes a number or a str, got True"),
    ({"year": {"$in": 2020}}, ValueError, "where: $in on field 'year' takes a list of values, got 2020"),
    ({"$or": []}, ValueError, "where: $or takes a non-empty list of filters, got []"),
    ({"year": {"$gt": 1, "lang": 2}}, ValueError, "where: field 'year' mixes operators and fields"),
    ({"year": float("nan")}, ValueError, "where: field 'year': nan is not a JSON value"),
    (["year"], TypeError, "where must be a dict, not list"),
], ids=["unknown-op", "unknown-group", "type", "type-in-list", "ordered-bool", "in-not-list", "empty-or",
        "mixed", "nan", "not-dict"])
def test_where_refuses_what_it_cannot_mean(where, error, message):
    with pytest.raises(error, match=f"^{re.escape(message)}"):
        CORPUS.search(np.ones(3), where=where)


def test_a_field_that_no_document_has_matches_nothing_without_an_error():
    assert CORPUS.search(np.ones(3), where={"missing": "x"}).hits == []
    assert len(CORPUS.search(np.ones(3), where={"missing": {"$ne": "x"}}).hits) == 3
