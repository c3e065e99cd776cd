"""The `quantelle` layer: modifiers and keywords become `score_candidates` arguments, checked first."""
import doctest
import time

import numpy as np
import pytest

import _quantelle as q
import quantelle.corpus
from quantelle import Corpus, Hit
from quantelle.plan import HALF_LIFE_DAYS

WORDS = {"north": [1.0, 0, 0, 0], "east": [0, 1.0, 0, 0], "up": [0, 0, 1.0, 0], "north-east": [0.7, 0.7, 0.1, 0]}
# Named rows, then filler: 14 rows, more than the default limit; every modulation moves the ranking.
NAMED = {"n": [1.0, 0, 0, 0], "ne": [0.8, 0.6, 0, 0], "ne2": [0.79, 0.61, 0, 0], "e": [0, 1.0, 0, 0],
         "u": [0, 0, 1.0, 0], "nu": [0.6, 0, 0.8, 0]}


TS = time.time() - np.array([400, 1, 2, 300, 5, 50, *range(10, 90, 10)]) * 86400.0  # ages in days


def embed(text):
    return np.array(WORDS[text], dtype=np.float32)


@pytest.fixture(scope="module")
def corpus():
    filler = np.random.default_rng(7).normal(size=(8, 4)) + [0.3, 0.3, 0.3, 0.0]
    return Corpus(np.vstack([list(NAMED.values()), filler]), [*NAMED, *(f"x{i}" for i in range(8))], TS, embed=embed)


def two_rows(**kw):
    return Corpus([[1.0, 0.0], [0.0, 1.0]], ["a", "b"], **kw)


@pytest.mark.parametrize("modifiers, keywords, expected, notes", [
    ("recent:7", {}, {"recent": True, "recent_days": 7.0, "timestamps": TS}, []),
    ("unlike:east", {}, {"not_like_vec": "east"}, []),
    ("like:e,,u,", {}, {"like_ids": ["e", "u"]}, []),
    ("from: north to: up", {}, {"traj_from_vec": "north", "traj_to_vec": "up"}, []),
    ("detect_communities limit:2", {}, {"limit": 2}, ["local_communities: ignored"]),
    ("unlike: like: recent:x", {}, {"recent": True, "timestamps": TS}, ["unlike: ignored", "like: ignored", "'recent:x' was read as plain recent"]),
    ("", {"within": ["e", "n", "e"]}, {"pre_filter_ids": ["e", "n", "e"]}, []),
    ("", {"within": []}, {"pre_filter_ids": []}, []),
    ("", {"mask": np.arange(14) % 3 != 0}, {"mask": np.arange(14) % 3 != 0}, []),
    ("", {"threshold": 0.5}, {"threshold": 0.5}, []),
    ("diverse limit:4", {"oversample": 3, "mmr_lambda": 0.2},  # and diverse, limit
     {"diverse": True, "limit": 4, "oversample": 3, "mmr_lambda": 0.2}, []),
    ("", {"oversample": 5, "mmr_lambda": 0.1}, {"oversample": 5, "mmr_lambda": 0.1},
     ["oversample: ignored without diverse", "mmr_lambda: ignored without diverse"]),
    ("limit:0", {}, {"limit": 0}, []),
    ("diverse limit:0", {}, {"diverse": True, "limit": 0}, ["limit:0 with diverse still gives one hit"]),
], ids=["recent-days", "unlike", "like-empty-pieces", "trajectory",
        "communities-with-limit", "empty-values", "within-duplicates", "within-empty", "mask",
        "threshold", "mmr-knobs", "mmr-knobs-alone", "limit-0", "limit-0-diverse"])
def test_each_modifier_and_keyword_becomes_its_argument(corpus, modifiers, keywords, expected, notes):
    kwargs = {k: embed(v) if k.endswith("_vec") else v for k, v in expected.items()}
    direct = q.score_candidates(corpus.matrix, corpus.ids, corpus.id_to_idx, embed("north-east"), **kwargs)
    result = corpus.search("north-east", modifiers, **keywords)
    assert [h.id for h in result.hits] == [r["id"] for r in direct]
    assert [h.score for h in result.hits] == pytest.approx([r["score"] for r in direct], abs=2e-4)
    assert len(result.notes) == len(notes) and all(n.startswith(e) for e, n in zip(notes, result.notes))
    # A modulation without effect would make the comparison above pass vacuously; the MMR knobs
    # alone change nothing.
    moves = bool(set(expected) - {"oversample", "mmr_lambda"})
    assert (result.hits != corpus.search("north-east", None).hits) == moves


@pytest.mark.parametrize("unit", ["D", "s", "ns", "ms"])
def test_datetime64_timestamps_of_any_unit_are_epoch_seconds(corpus, unit):
    days = np.array([19723, 0, 20000], "datetime64[D]")  # 2024-01-01, the epoch, later
    dates = np.array([*days.astype(f"datetime64[{unit}]"), "NaT"], f"datetime64[{unit}]")
    seconds = Corpus(np.eye(4), list("abcd"), dates).timestamps
    assert np.array_equal(seconds, [19723 * 86400.0, 0.0, 20000 * 86400.0, np.nan], equal_nan=True)
    when = (TS * 1e6).astype("datetime64[us]")
    again = Corpus(corpus.matrix, corpus.ids, when, embed=embed)
    assert again.search("north-east", "recent:7").hits == corpus.search("north-east", "recent:7").hits


def test_corpus_owns_read_only_unit_copies_so_scores_are_cosines():
    matrix = np.array([[10.0, 0.0], [0.0, 0.5], [0.0, 0.0]])  # float64, not unit
    c = Corpus(matrix, ("big", "small", "zero"), [1.0e9, 2.0e9, 0])
    matrix[0, 0] = -5.0
    assert c.search(np.array([3.0, 4.0])).hits == [Hit("small", 0.8), Hit("big", 0.6), Hit("zero", 0.0)]
    assert not c.matrix.flags.writeable
    # Finite rows whose squared entries leave float32's range are still made unit length.
    extreme = Corpus(np.array([[3e20, 4e20], [3e-25, 4e-25]], dtype=np.float32), ["huge", "tiny"])
    assert np.allclose(extreme.matrix, [[0.6, 0.8], [0.6, 0.8]])
    # A query vector needs no embed; an explicit embed wins over the corpus's own.
    c = two_rows(embed=lambda text: [1.0, 0.0])
    assert c.search(np.array([0.0, 2.0])).hits[0].id == "b"
    assert c.search("anything").hits[0].id == "a"
    assert c.search("anything", embed=lambda text: [0.0, 1.0]).hits[0].id == "b"


@pytest.mark.parametrize("matrix, ids, timestamps, error, message", [
    ([1.0, 2.0], ["a", "b"], None, ValueError, r"matrix must be 2-D.*shape \(2,\)"),
    ([["1", "2"]], ["a"], None, ValueError, r"matrix must hold real numbers, got dtype <U1"),
    ([[1.0, np.nan]], ["a"], None, ValueError, r"matrix holds NaN or infinite values"),
    ([[1.0], [2.0]], ["a"], None, ValueError, r"^1 ids for 2 matrix rows$"),
    ([[1.0], [2.0]], ["a", "a"], None, ValueError, r"'a' occurs more than once"),
    ([[1.0], [2.0]], "ab", None, TypeError, r"not a str"),
    ([[1.0], [2.0]], ["a", 2], None, TypeError, r"ids must be str, got int 2"),
    ([[1.0], [2.0]], ["a", "b"], [1.0], ValueError, r"timestamps must have shape \(2,\).*got \(1,\)"),
    ([[1.0], [2.0]], ["a", "b"], [1.7e9, np.inf], ValueError, r"timestamps\[1\]: inf is not a finite number"),
    ([[1.0], [2.0]], ["a", "b"], [1.7e12, 0], ValueError, r"timestamps\[0\]: .* looks like milliseconds"),
    ([[1.0], [2.0]], ["a", "b"], np.array(["NaT", "1969-12-31"], "datetime64[D]"), ValueError,
     r"^timestamps\[1\]: 1969-12-31 lies outside the years 1970 to 9999, which decay can date; NaT marks"),
    ([[1.0], [2.0]], ["a", "b"], np.array(["10000", "2000"], "datetime64[Y]"), ValueError, r"timestamps\[0\]: 10000 lies outside"),
], ids=["1-d", "strings", "nan", "too-few-ids", "duplicate-id", "ids-str", "id-not-str",
        "timestamps-short", "timestamp-inf", "timestamp-ms", "datetime-before-1970", "datetime-after-9999"])
def test_corpus_rejects(matrix, ids, timestamps, error, message):
    with pytest.raises(error, match=message):
        Corpus(matrix, ids, timestamps)


V = np.array([1.0, 0.0])


@pytest.mark.parametrize("query, modifiers, embed_fn, keywords, error, message", [
    ("q", "", lambda t: [1, 0, 0], {}, ValueError, r"embed returned for the query has shape \(3,\); the corpus has 2"),
    ("q", "", lambda t: [np.inf, 0.0], {}, ValueError, r"embed returned for the query holds NaN or infinite"),
    ("q", "unlike:x", lambda t: [1.0] if t == "x" else [1.0, 0.0], {}, ValueError,
     r"embed returned for the unlike text has shape \(1,\)"),
    ("q", "", None, {}, ValueError, r"the query 'q' needs an embed callable"),
    (np.array([1.0, 0.0, 0.0]), "", None, {}, ValueError, r"query vector has shape \(3,\); the corpus has 2"),
    (V, "like:a,zz,yy", None, {}, ValueError, r"like: 'zz', 'yy' not in the corpus"),
    (V, "", None, {"within": "a"}, TypeError, r"within must be a sequence of ids, not str"),
    (V, "", None, {"within": ["a", 3]}, TypeError, r"within: ids must be str, got int 3"),
    (V, "", None, {"within": ["a", "zz", "zz"]}, ValueError, r"^within: 'zz' not in the corpus$"),
    (V, "", None, {"mask": [1, 0]}, TypeError, r"mask must hold bools"),
    (V, "", None, {"mask": np.ones(3, bool)}, ValueError, r"mask must have shape \(2,\)"),
    (V, "", None, {"threshold": np.nan}, ValueError, r"threshold must be finite"),
    (V, "", None, {"oversample": 2.0}, TypeError, r"oversample must be an int"),
    (V, "", None, {"oversample": -1}, ValueError, r"oversample must be 0 or more"),
    (V, "", None, {"mmr_lambda": True}, TypeError, r"mmr_lambda must be a number"),
    (V, "", None, {"mmr_lambda": 5}, ValueError, r"^mmr_lambda must be between 0 and 1, got 5.0$"),
    (V, "", None, {"mmr_lambda": np.nan}, ValueError, r"^mmr_lambda must be between 0 and 1, got nan$"),
    (" \u3000", "", None, {}, ValueError, r"^the query is empty: there is no text to search for$"),
    (V, "", None, {"limit": 3}, TypeError, r"^Corpus.search\(\) got an unexpected keyword argument 'limit'$"),
], ids=["embed-long", "embed-inf", "unlike-short", "no-embed", "vector-long", "like-unknown", "within-str", "within-int",
        "within-unknown", "mask-int", "mask-short", "threshold-nan", "oversample-float", "oversample-negative", "lambda-bool",
        "lambda-above-1", "lambda-nan", "empty-query", "unknown-keyword"])
def test_search_rejects_before_calling_the_module(query, modifiers, embed_fn, keywords, error, message):
    with pytest.raises(error, match=message):
        two_rows(timestamps=[1.0e9, 1.1e9]).search(query, modifiers, embed=embed_fn, **keywords)


def test_recent_on_an_undated_corpus_and_short_reprs():
    result = two_rows().search([1.0, 0.0], "recent:5")
    assert result.notes == ("recent: ignored, the corpus has no timestamps",)
    assert len(repr(result)) < 200 and "2 hits" in repr(result) and "array" not in repr(result)


def test_help_examples_hold():
    assert doctest.testmod(quantelle.corpus, extraglobs={"Corpus": Corpus, "_quantelle": q}).failed == 0


def test_the_half_life_the_layer_reports_is_the_modules_own(corpus):
    args = corpus.prepare("north-east", "recent").arguments
    assert "recent_days" not in args and q.score_candidates(**args) == \
        q.score_candidates(**args, recent_days=HALF_LIFE_DAYS) != q.score_candidates(**args, recent_days=HALF_LIFE_DAYS + 1)
