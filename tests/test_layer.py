"""The `quantelle` layer: each modifier key reaches `score_candidates` as the right argument, and
what the layer adds (copies, shapes, dtypes, ids, embed results) is checked before the module runs."""
import doctest
import time

import numpy as np
import pytest

import _quantelle as q
import quantelle.corpus
from quantelle import Corpus, Hit
from quantelle.corpus import modifier_notes

WORDS = {"north": [1.0, 0, 0, 0], "east": [0, 1.0, 0, 0], "up": [0, 0, 1.0, 0], "north-east": [0.7, 0.7, 0.1, 0]}
# Named rows, then filler: 14 rows, more than the default limit; every modulation moves the ranking.
NAMED = {"n": [1.0, 0, 0, 0], "ne": [0.8, 0.6, 0, 0], "ne2": [0.79, 0.61, 0, 0], "e": [0, 1.0, 0, 0],
         "u": [0, 0, 1.0, 0], "nu": [0.6, 0, 0.8, 0]}


def embed(text):
    return np.array(WORDS[text], dtype=np.float32)


@pytest.fixture(scope="module")
def corpus():
    filler = np.random.default_rng(7).normal(size=(8, 4)) + [0.3, 0.3, 0.3, 0.0]
    ages = np.array([400, 1, 2, 300, 5, 50, *range(10, 90, 10)], dtype=np.float64)
    return Corpus(np.vstack([list(NAMED.values()), filler]), [*NAMED, *(f"x{i}" for i in range(8))],
                  time.time() - ages * 86400.0, embed=embed)


def two_rows(**kw):
    return Corpus([[1.0, 0.0], [0.0, 1.0]], ["a", "b"], **kw)


@pytest.mark.parametrize("modifiers, expected, moves", [
    ("", {}, False),
    ("recent", {"recent": True, "timestamps": "ts"}, True),
    ("recent:7", {"recent": True, "recent_days": 7.0, "timestamps": "ts"}, True),
    ("unlike:east", {"not_like_vec": "east"}, True),
    ("diverse limit:3", {"diverse": True, "limit": 3}, True),
    ("limit:3", {"limit": 3}, True),
    ("like:e,u", {"like_ids": ["e", "u"]}, True),
    ("like:e,,u,", {"like_ids": ["e", "u"]}, True),
    ("from: north to: up", {"traj_from_vec": "north", "traj_to_vec": "up"}, True),
    ("local_communities", {}, False),
    ("detect_communities limit:2", {"limit": 2}, True),
    ("unlike: like: recent:x", {"recent": True, "timestamps": "ts"}, True),
], ids=["none", "recent", "recent-days", "unlike", "diverse", "limit", "like", "like-empty-pieces",
        "trajectory", "communities", "communities-with-limit", "empty-values"])
def test_each_modifier_becomes_its_argument(corpus, modifiers, expected, moves):
    kwargs = {k: corpus.timestamps if v == "ts" else embed(v) if k.endswith("_vec") else v for k, v in expected.items()}
    direct = q.score_candidates(corpus.matrix, corpus.ids, corpus.id_to_idx, embed("north-east"), **kwargs)
    got = corpus.search("north-east", modifiers).hits
    assert [h.id for h in got] == [r["id"] for r in direct]
    assert [h.score for h in got] == pytest.approx([r["score"] for r in direct], abs=2e-4)
    # A modulation without effect would make the comparison above pass vacuously.
    assert (got != corpus.search("north-east").hits) == moves


@pytest.mark.parametrize("dated, modifiers, keywords, notes", [
    (True, "local_communities unlike: like:", {}, ["unlike: ignored", "like: ignored", "local_communities: ignored"]),
    (False, "recent:5", {}, ["recent: ignored, the corpus has no timestamps"]),
    (True, "", {"oversample": 5, "mmr_lambda": 0.1}, ["oversample: ignored without diverse",
                                                      "mmr_lambda: ignored without diverse"]),
    (True, "recnt:3 limt:2", {}, ["'recnt:3' was ignored", "'limt:2' was ignored"]),
], ids=["empty-values-and-communities", "recent-undated", "mmr-keywords-alone", "typos"])
def test_what_changes_nothing_is_noted(corpus, dated, modifiers, keywords, notes):
    if not dated:
        corpus = Corpus(corpus.matrix, corpus.ids, embed=embed)
    result = corpus.search("north-east", modifiers, **keywords)
    assert result.hits == corpus.search("north-east").hits and result.applied == ()
    assert len(result.notes) == len(notes) and all(n.startswith(e) for e, n in zip(notes, result.notes))


def test_corpus_owns_read_only_unit_float32_copies_so_scores_are_cosines():
    matrix = np.array([[10.0, 0.0], [0.0, 0.5], [0.0, 0.0]])  # float64, not unit
    c = Corpus(matrix, ("big", "small", "zero"), [1.0e9, 2.0e9, 0])
    matrix[0, 0] = -5.0
    assert c.search(np.array([3.0, 4.0])).hits == [Hit("small", 0.8), Hit("big", 0.6), Hit("zero", 0.0)]
    assert c.matrix.dtype == np.float32 and c.matrix.flags.c_contiguous and c.timestamps.dtype == np.float64
    with pytest.raises(ValueError, match="read-only"):
        c.matrix[0, 0] = 0.5
    # Finite rows whose squared entries leave float32's range are still made unit length.
    extreme = Corpus(np.array([[3e20, 4e20], [3e-25, 4e-25]], dtype=np.float32), ["huge", "tiny"])
    assert np.allclose(extreme.matrix, [[0.6, 0.8], [0.6, 0.8]])


def test_query_vector_needs_no_embed_and_an_explicit_embed_wins():
    c = two_rows(embed=lambda text: [1.0, 0.0])
    assert c.search(np.array([0.0, 2.0])).hits[0].id == "b"
    assert c.search("anything").hits[0].id == "a"
    assert c.search("anything", embed=lambda text: [0.0, 1.0]).hits[0].id == "b"


@pytest.mark.parametrize("matrix, ids, timestamps, error, message", [
    ([1.0, 2.0], ["a", "b"], None, ValueError, r"matrix must be 2-D.*shape \(2,\)"),
    (np.zeros((2, 0)), ["a", "b"], None, ValueError, r"at least one column"),
    ([["1", "2"]], ["a"], None, ValueError, r"matrix must hold real numbers, got dtype <U1"),
    ([[1.0, np.nan]], ["a"], None, ValueError, r"matrix holds NaN or infinite values"),
    ([[1.0], [2.0]], ["a"], None, ValueError, r"^1 ids for 2 matrix rows$"),
    ([[1.0], [2.0]], ["a", "a"], None, ValueError, r"'a' occurs more than once"),
    ([[1.0], [2.0]], "ab", None, TypeError, r"not a str"),
    ([[1.0], [2.0]], ["a", 2], None, TypeError, r"ids must be str, got int 2"),
    ([[1.0], [2.0]], ["a", "b"], [1.0], ValueError, r"timestamps must have shape \(2,\).*got \(1,\)"),
    ([[1.0], [2.0]], ["a", "b"], ["x", "y"], ValueError, r"timestamps must hold real numbers"),
    ([[1.0], [2.0]], ["a", "b"], [1.7e9, np.inf], ValueError, r"timestamps\[1\]: inf is not a finite number"),
    ([[1.0], [2.0]], ["a", "b"], [1.7e12, 0], ValueError, r"timestamps\[0\]: .* looks like milliseconds"),
    ([[1.0], [2.0]], ["a", "b"], [1, 1e300], ValueError, r"timestamps\[1\]: 1e\+300 lies beyond the year 9999"),
], ids=["1-d", "no-columns", "strings", "nan", "too-few-ids", "duplicate-id", "ids-str", "id-not-str",
        "timestamps-short", "timestamps-str", "timestamp-inf", "timestamp-ms", "timestamp-huge"])
def test_corpus_rejects(matrix, ids, timestamps, error, message):
    with pytest.raises(error, match=message):
        Corpus(matrix, ids, timestamps)


@pytest.mark.parametrize("query, modifiers, embed_fn, message", [
    ("q", "", lambda t: [1.0, 0.0, 0.0], r"embed returned for the query has shape \(3,\); the corpus has 2"),
    ("q", "", lambda t: [[1.0, 0.0]], r"embed returned for the query has shape \(1, 2\)"),
    ("q", "", lambda t: [np.inf, 0.0], r"embed returned for the query holds NaN or infinite"),
    ("q", "", lambda t: ["a", "b"], r"embed returned for the query must hold real numbers"),
    ("q", "unlike:x", lambda t: [1.0] if t == "x" else [1.0, 0.0], r"embed returned for the unlike text has shape \(1,\)"),
    ("q", "from: a to: b", lambda t: [1.0] if t == "b" else [1.0, 0.0],
     r"embed returned for the trajectory end has shape \(1,\)"),
    ("q", "", None, r"the query 'q' needs an embed callable"),
    (np.array([1.0, 0.0, 0.0]), "", None, r"query vector has shape \(3,\); the corpus has 2"),
    (np.array([1.0, 0.0]), "unlike:x", None, r"the unlike text 'x' needs an embed callable"),
    (np.array([1.0, 0.0]), "like:a,zz,yy", None, r"like: 'zz', 'yy' not in the corpus"),
    (np.array([1.0, 0.0]), "recent:0", None, r"recent:0: the half-life must be a positive"),
], ids=["embed-long", "embed-2d", "embed-inf", "embed-str", "unlike-short", "trajectory-short", "no-embed",
        "vector-long", "unlike-no-embed", "like-unknown", "recent-zero"])
def test_search_rejects_before_calling_the_module(query, modifiers, embed_fn, message):
    with pytest.raises(ValueError, match=message):
        two_rows(timestamps=[1.0e9, 1.1e9]).search(query, modifiers, embed=embed_fn)


@pytest.mark.parametrize("keywords, expected", [
    ({"within": ["e", "n", "e"]}, {"pre_filter_ids": ["e", "n", "e"]}),
    ({"within": []}, {"pre_filter_ids": []}),
    ({"mask": np.arange(14) % 3 != 0}, {"mask": np.arange(14) % 3 != 0}),
    ({"threshold": 0.5}, {"threshold": 0.5}),
    ({"threshold": -1}, {"threshold": -1.0}),
    ({"oversample": 3, "mmr_lambda": 0.2}, {"oversample": 3, "mmr_lambda": 0.2}),
], ids=["within-duplicates", "within-empty", "mask", "threshold", "threshold-negative", "mmr-knobs"])
@pytest.mark.parametrize("modifiers", ["", "diverse limit:4"])
def test_keywords_become_their_arguments(corpus, keywords, expected, modifiers):
    prepared = corpus.prepare("north-east", modifiers, **keywords)
    for name, value in expected.items():
        assert np.array_equal(prepared.arguments[name], value)
    corpus.search("north-east", modifiers, **keywords)  # and the module accepts them


@pytest.mark.parametrize("keywords, error, message", [
    ({"within": "n"}, TypeError, r"within must be a sequence of ids, not str"),
    ({"within": ["n", 3]}, TypeError, r"ids must be str, got int 3"),
    ({"within": ["n", "zz", "zz"]}, ValueError, r"^within: 'zz' not in the corpus$"),
    ({"mask": [1, 0] * 7}, TypeError, r"mask must hold bools"),
    ({"mask": np.ones(3, bool)}, ValueError, r"mask must have shape \(14,\)"),
    ({"threshold": "0.5"}, TypeError, r"threshold must be a number"),
    ({"threshold": np.nan}, ValueError, r"threshold must be finite"),
    ({"oversample": 2.0}, TypeError, r"oversample must be an int"),
    ({"oversample": -1}, ValueError, r"oversample must be 0 or more"),
    ({"mmr_lambda": True}, TypeError, r"mmr_lambda must be a number"),
], ids=["within-str", "within-int", "within-unknown", "mask-int", "mask-short",
        "threshold-str", "threshold-nan", "oversample-float", "oversample-negative", "lambda-bool"])
def test_keywords_reject(corpus, keywords, error, message):
    with pytest.raises(error, match=message):
        corpus.search("north", **keywords)


@pytest.mark.parametrize("modifiers, expected", [
    ("recnt:3 limt:2 divers", ["recnt:3' was ignored: no modifier is called recnt:; did you mean recent:3?",
                               "did you mean limit:2?", "did you mean diverse?"]),
    ("Limit:3 diverse,", ["did you mean limit:3?", "did you mean diverse?"]),
    ("limit:abc", ["limit: needs a whole number"]),
    ("rceent unlke:xml", ["did you mean recent?", "did you mean unlike:xml?"]),
    ("foo:bar", ["no modifier is called foo:; modifiers are"]),
    ("https://x.org/a:b c++ 3:30pm", []),
    ("decent diverge recent:3 diverse limit:2", []),
    ("from: divers to: limt:2", []),
], ids=["three-typos", "case-and-comma", "bad-value", "swap-and-drop", "unknown-word", "url-cpp-time",
        "real-words", "trajectory-texts"])
def test_typo_notes(modifiers, expected):
    notes = modifier_notes(modifiers)
    assert len(notes) == len(expected) and all(e in n for e, n in zip(expected, notes))


def test_undated_hits_under_recent_and_short_reprs():
    c = Corpus([[1.0, 0.0], [0.9, 0.1], [0.0, 1.0]], ["a", "b", "c"], [1.7e9, np.nan, 1.6e9])
    result = c.search([1.0, 0.0], "recent")
    assert result.notes[-1].startswith("recent: 1 of 3 hits are undated")
    assert len(repr(result)) < 200 and "3 hits" in repr(result) and "array" not in repr(result)


def test_help_examples_hold():
    assert doctest.testmod(quantelle.corpus, extraglobs={"Corpus": Corpus, "_quantelle": q}).failed == 0
