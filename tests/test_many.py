"""`Corpus.search_many` and `_engine.score_many`: each query's answer is the one it gets alone."""
import os
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import _quantelle as q
from quantelle import Corpus, _engine
from quantelle.embedding import HashingEmbedder
from quantelle.frozen import frozen_copy

D = 32
N = 700
EMBED = HashingEmbedder(D)
WORDS = ["parse json", "open a file", "network socket", "sort a list", "read csv", "http server",
         "date format", "regex match", "thread pool"]


def _rows(n, d, seed):
    rows = np.random.default_rng(seed).normal(size=(n, d)).astype(np.float32)
    rows[[300, 301, n - 1]] = rows[5]  # exact duplicates: ties broken by position
    return rows


@pytest.fixture(scope="module")
def corpus():
    ages = np.arange(N) % 97 * 86400.0
    stamps = time.time() - ages
    stamps[::11] = np.nan  # undated rows
    return Corpus(_rows(N, D, 3), [f"d{i}" for i in range(N)], stamps, embed=EMBED,
                  texts=[f"text {i}" for i in range(N)])


KEEP = np.arange(N) % 3 != 1
WITHIN = [f"d{i}" for i in (5, 300, 9, 301, 40, 5, 699, 600, 41, 42, 43, 44, 45)]
# (modifiers, keywords): every modifier of the grammar, the keywords, and combinations.
CASES = [
    ("", {}), ("limit:3", {}), ("limit:0", {}), ("limit:2000", {}), ("diverse", {}),
    ("diverse limit:4", {"oversample": 30, "mmr_lambda": 0.4}), ("diverse limit:0", {}),
    ("recent", {}), ("recent:3 limit:20", {}), ("unlike:network socket", {}),
    ("from: open a file to: http server", {}), ("like:d5,d40", {}), ("", {"threshold": 0.3}),
    ("", {"mask": KEEP}), ("", {"within": WITHIN}), ("limit:50", {"within": WITHIN, "threshold": 0.05}),
    ("recent diverse unlike:regex match from: sort a list to: read csv like:d7", {"mask": KEEP}),
    ("diverse limit:5 typo:1 local_communities", {"within": WITHIN, "oversample": 6}),
]
IDS = [m or "plain" for m, _ in CASES[:-2]] + ["everything", "diverse-within-notes"]


def same(result, alone):
    assert (result.hits, result.applied, result.notes) == (alone.hits, alone.applied, alone.notes)


@pytest.mark.parametrize("modifiers, keywords", CASES, ids=IDS)
@pytest.mark.parametrize("as_text", [True, False], ids=["texts", "array"])
def test_each_query_is_answered_as_search_answers_it(corpus, modifiers, keywords, as_text):
    queries = WORDS if as_text else np.stack([EMBED(w) for w in WORDS])
    results = corpus.search_many(queries, modifiers, **keywords)
    assert len(results) == len(WORDS)
    for query, result in zip(queries, results):
        same(result, corpus.search(query, modifiers, **keywords))


@pytest.mark.parametrize("nq", [1, 3, 64, 65])
def test_one_modifier_string_per_query_over_many_passes(corpus, nq):
    # Queries of one, two and three vectors each: the passes of 64 slots split between calls.
    mods = [CASES[i % len(CASES)][0] for i in range(nq)]
    queries = [WORDS[i % len(WORDS)] for i in range(nq)]
    for query, m, result in zip(queries, mods, corpus.search_many(queries, mods, mask=KEEP)):
        same(result, corpus.search(query, m, mask=KEEP))


def test_texts_are_embedded_in_one_batch(corpus):
    class Counting(HashingEmbedder):
        batches: list = []

        def embed_many(self, texts, progress=None):
            self.batches.append(list(texts))
            return super().embed_many(texts, progress)

    embed = Counting(D)
    results = corpus.search_many(["open a file", "read csv"], ["", "unlike:xml"], embed=embed)
    assert embed.batches == [["open a file", "read csv", "xml"]]
    same(results[1], corpus.search("read csv", "unlike:xml"))


@pytest.mark.parametrize("queries, modifiers, keywords, first", [
    (["read csv", "parse json", ""], "", {}, 2),
    (["read csv", np.ones(D + 1), "x"], "", {}, 1),
    (["read csv", "parse json"], ["limit:2", "like:nope"], {}, 1),
    (["read csv", "parse json"], ["recent:0", "like:nope"], {}, 0),
    (["read csv"], "", {"mask": KEEP[:-1]}, 0),
    ([np.ones(D), "read csv"], "unlike:a", {"threshold": float("nan")}, 0),
], ids=["empty-text", "wrong-dimension", "unknown-like", "first-of-two", "mask-shape", "nan-threshold"])
def test_the_first_failing_query_raises_its_search_error(corpus, queries, modifiers, keywords, first):
    with pytest.raises(Exception) as many:
        corpus.search_many(queries, modifiers, **keywords)
    mods = modifiers if isinstance(modifiers, str) else modifiers[first]
    with pytest.raises(Exception) as alone:
        corpus.search(queries[first], mods, **keywords)
    assert (type(many.value), many.value.args) == (type(alone.value), alone.value.args)
    assert many.value.__notes__ == [f"search_many: raised for queries[{first}]"]


@pytest.mark.parametrize("queries, modifiers, error", [
    ("read csv", "", TypeError), (np.ones(D), "", ValueError), (["a", "b"], ["", "", ""], ValueError),
    (["a"], 3, TypeError),
])
def test_malformed_queries_or_modifier_lists_are_refused(corpus, queries, modifiers, error):
    with pytest.raises(error):
        corpus.search_many(queries, modifiers)


def test_empty_corpus_and_no_queries():
    empty = Corpus(np.zeros((0, D), np.float32), [], embed=EMBED)
    assert [r.hits for r in empty.search_many(["a", "b"], "diverse")] == [[], []]
    assert Corpus(np.eye(2), ["a", "b"]).search_many([]) == []


def _calls(seed):
    """score_candidates calls over two matrices (one strided, one with NaN rows) and gathered
    sets, with ties that straddle the thread ranges' borders."""
    rng = np.random.default_rng(seed)
    big = rng.normal(size=(20000, 32)).astype(np.float32)
    big[[0, 5039, 5040, 6719, 6720, 10079, 10080, 13440, 19999]] = big[1]  # 2, 3 and 4 ranges
    strided = rng.normal(size=(900, 48)).astype(np.float32)[:, ::2]
    strided[7] = np.nan
    out = []
    named = {n: [f"r{j}" for j in range(n)] for n in (20000, 900)}
    known = {n: {x: j for j, x in enumerate(ids)} for n, ids in named.items()}
    for i, (m, n) in enumerate([(big, 20000)] * 40 + [(strided, 900)] * 30):
        ids = named[n]
        call = {"matrix": m, "ids": ids, "id_to_idx": known[n],
                "query_vec": m[1] if i % 9 == 0 else rng.normal(size=m.shape[1]).astype(np.float32),
                "limit": [3, 10, 0, 500][i % 4], "diverse": i % 5 == 0, "oversample": 40}
        if i % 3 == 0:
            call["not_like_vec"] = rng.normal(size=m.shape[1]).astype(np.float32)
        if i % 4 == 1:
            call["traj_from_vec"], call["traj_to_vec"] = m[2], m[3]
        if i % 6 == 2:
            call["mask"] = np.arange(n) % 2 == 0
        if i % 7 == 3:
            call["pre_filter_ids"] = ids[n // 2:] + ids[:5] if i % 2 else ids[100:6000]
        out.append(call)
    return out


@pytest.mark.parametrize("threads", [1, 2, 3, 7])
def test_score_many_is_bit_identical_to_score_candidates(threads):
    calls = _calls(threads)
    before = _engine.get_num_threads()
    _engine.set_num_threads(threads)
    try:
        got = _engine.score_many(calls)
    finally:
        _engine.set_num_threads(before)
    assert got == [q.score_candidates(**c) for c in calls]


def _raised(fn):
    try:
        fn()
    except BaseException as e:  # the panic exception derives from BaseException
        return type(e).__name__, e.args
    raise AssertionError("no exception")


EYE = np.eye(3, dtype=np.float32)
GOOD = {"matrix": EYE, "ids": list("abc"), "id_to_idx": {}, "query_vec": EYE[0]}


@pytest.mark.parametrize("bad", [
    {**GOOD, "limit": "3"}, {**GOOD, "bogus": 1}, {**GOOD, "query_vec": EYE[0, :2]},
    {**GOOD, "ids": ["a"]}, {**GOOD, "mask": np.ones(2, bool)}, {"matrix": EYE},
], ids=["type", "keyword", "dimension", "fault-in-selection", "fault-in-plan", "missing"])
def test_score_many_raises_the_first_failing_calls_own_error(bad):
    assert _raised(lambda: _engine.score_many([GOOD, bad, GOOD])) == \
        _raised(lambda: q.score_candidates(**bad))


def test_score_many_reads_a_list_changed_by_an_earlier_calls_conversion():
    # The second call's limit runs Python code that empties the ids both calls read.
    ids = list("abc")

    class Clearing:
        def __index__(self):
            ids.clear()
            return 2

    first = {**GOOD, "ids": ids}
    got = _engine.score_many([first, {**first, "limit": Clearing()}])
    assert got == [q.score_candidates(**GOOD), q.score_candidates(**GOOD, limit=2)]


def test_the_lock_is_released_while_frozen_rows_are_scanned():
    rows = frozen_copy(np.random.default_rng(1).standard_normal((200_000, 64)), np.float32)
    ids = [str(i) for i in range(len(rows))]
    calls = [{"matrix": rows, "ids": ids, "id_to_idx": {}, "query_vec": rows[i]} for i in range(64)]
    count, stop = [0], threading.Event()

    def spin():
        while not stop.is_set():
            count[0] += 1

    old = sys.getswitchinterval()
    sys.setswitchinterval(1.0)  # far longer than the scan: a held lock would let none run
    spinner = threading.Thread(target=spin)
    spinner.start()
    try:
        time.sleep(0.01)
        start = count[0]
        _engine.score_many(calls)
        during = count[0] - start
    finally:
        stop.set()
        spinner.join()
        sys.setswitchinterval(old)
    assert during > 1000


@pytest.mark.parametrize("variant", ["scalar", "avx2", "avx512"])
def test_every_kernel_variant_scores_many_as_one(variant):
    import _quantelle_probe as probe

    if variant not in probe.variants():
        pytest.skip(f"this CPU does not run the {variant} kernels")
    code = textwrap.dedent("""
        import _quantelle as q, test_many
        from quantelle import _engine
        calls = test_many._calls(5)
        assert _engine.score_many(calls) == [q.score_candidates(**c) for c in calls]
    """)
    env = {**os.environ, "QUANTELLE_KERNEL": variant, "PYTHONPATH": os.path.dirname(__file__)}
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=300)
    assert done.returncode == 0, done.stderr
