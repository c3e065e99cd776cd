"""A corpus changed in place searches exactly as one built from scratch from its live documents,
refuses a bad change whole, and lets other threads search while it changes."""
import re
import threading

import numpy as np
import pytest

from quantelle import Corpus

D = 6
SEARCHES = [  # modifier string and keywords, over ties (rows repeat) and dates
    ("limit:8", {}),
    ("diverse limit:4", {}),
    ("recent:5 limit:6", {}),
    ("unlike:b limit:5", {"threshold": 0.1}),
    ("limit:5", {"mask": "every-other"}),
    ("diverse limit:3", {"within": "some"}),
    ("like:LIVE limit:4", {}),
]
WORDS = {"b": np.ones(D)}


class Model:
    """What the corpus should hold: the live documents in order, kept independently."""

    def __init__(self, rng):
        self.rng, self.docs, self.serial = rng, {}, 0

    def new_rows(self, k):
        base = self.rng.standard_normal((3, D))
        rows = base[self.rng.integers(0, 3, k)] + (self.rng.random((k, 1)) < 0.5) * self.rng.standard_normal((k, D))
        ids = []
        for _ in range(k):
            self.serial += 1
            ids.append(f"d{self.serial}")
        ts = np.where(self.rng.random(k) < 0.3, np.nan, 1.7e9 - 86400.0 * self.rng.integers(0, 90, k))
        return rows, ids, ts

    def fresh(self):
        ids = list(self.docs)
        rows = np.array([self.docs[i][0] for i in ids]).reshape(len(ids), D)
        return Corpus(rows, ids, np.array([self.docs[i][1] for i in ids]), embed=WORDS.get)


def outcome(corpus, modifiers, keywords, live):
    kw = dict(keywords)
    if kw.get("mask") == "every-other":
        kw["mask"] = np.arange(len(corpus)) % 2 == 0
    if kw.get("within") == "some":
        kw["within"] = live[::3][::-1]
    modifiers = modifiers.replace("LIVE", ",".join(live[1:3]) or "none")
    try:
        return corpus.search(np.linspace(-1, 1, D), modifiers, **kw).hits
    except ValueError as e:
        return str(e)


@pytest.mark.parametrize("seed", range(6))
def test_any_sequence_of_changes_searches_as_a_corpus_built_from_scratch(seed):
    rng = np.random.default_rng(seed)
    model = Model(rng)
    rows, ids, ts = model.new_rows(30)
    corpus = Corpus(rows, ids, ts, embed=WORDS.get)
    model.docs.update((i, (r, t)) for i, r, t in zip(ids, rows, ts))
    removed = []
    for _ in range(40):
        if rng.random() < 0.5 or len(model.docs) < 5:
            rows, ids, ts = model.new_rows(int(rng.integers(1, 4)))
            if removed and rng.random() < 0.3:  # an id that was removed comes back
                ids[0] = removed.pop()
            corpus.add(rows, ids, ts)
            model.docs.update((i, (r, t)) for i, r, t in zip(ids, rows, ts))
        else:
            gone = list(rng.choice(list(model.docs), int(rng.integers(1, 4)), replace=False))
            corpus.remove(gone)
            removed += gone
            for i in gone:
                del model.docs[i]
        fresh, live = model.fresh(), list(model.docs)
        assert len(corpus) == len(fresh)
        for modifiers, keywords in SEARCHES:
            assert outcome(corpus, modifiers, keywords, live) == outcome(fresh, modifiers, keywords, live)
        if removed:  # like: of a removed id is the error of a corpus that never had it
            assert outcome(corpus, f"like:{removed[-1]}", {}, live) == outcome(fresh, f"like:{removed[-1]}", {}, live)
    assert corpus.matrix.tobytes() == fresh.matrix.tobytes() and corpus.ids == fresh.ids
    assert corpus.id_to_idx == fresh.id_to_idx
    np.testing.assert_array_equal(corpus.timestamps, fresh.timestamps)


NAN_ROW = np.full((1, 4), np.nan)


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((np.ones((2, 4)), ["x", "x"]), {}, ValueError, "ids must be distinct, 'x' occurs more than once"),
    ((np.ones((1, 4)), ["a"]), {}, ValueError, "ids must be distinct, 'a' is already in the corpus"),
    ((np.ones((1, 3)), ["x"]), {}, ValueError, "vectors have 3 columns; the corpus has 4 dimensions"),
    ((np.ones(4), ["x"]), {}, ValueError, "vectors must be 2-D with at least one column, got shape (4,)"),
    ((NAN_ROW, ["x"]), {}, ValueError, "vectors hold NaN or infinite values"),
    ((np.ones((2, 4)), ["x"]), {}, ValueError, "1 ids for 2 vectors rows"),
    ((np.ones((1, 4)), ["x"], [np.inf]), {}, ValueError, "timestamps[0]: inf is not a finite number"),
    ((np.ones((1, 4)), ["x"]), {"texts": ["t", "u"]}, ValueError, "2 texts for 1 rows"),
    ((np.ones((1, 4)), ["x"]), {"texts": [3]}, TypeError, "texts[0] must be a str or None, got int"),
    ((np.ones((1, 4)), ["x"]), {"metadata": [{"v": float("nan")}]}, ValueError, "metadata[0]: Out of range float"),
    ((np.ones((1, 4)), ["x"]), {"metadata": [{"v": {1, 2}}]}, ValueError, "metadata[0]: Object of type set"),
    ((np.ones((1, 4)), ["x"]), {"metadata": [{1: "v"}]}, TypeError, "metadata[0]: keys must be str, got int 1"),
    ((np.ones((1, 4)), [7]), {}, TypeError, "ids must be str, got int 7"),
], ids=["duplicate-in-batch", "duplicate-of-live", "wrong-length", "one-dimensional", "nan", "count",
        "infinite-date", "texts-count", "text-type", "metadata-nan", "metadata-not-json", "metadata-key", "id-type"])
def test_a_failed_add_changes_nothing(args, kwargs, error, message):
    corpus = Corpus(np.eye(4)[:3], ["a", "b", "c"], texts=["ta", None, "tc"])
    before = corpus.search(np.ones(4)).hits
    with pytest.raises(error, match=f"^{re.escape(message)}"):
        corpus.add(*args, **kwargs)
    assert corpus.search(np.ones(4)).hits == before and len(corpus) == 3 and not corpus.dated


def test_remove_refuses_unknown_ids_whole():
    corpus = Corpus(np.eye(3), ["a", "b", "c"])
    with pytest.raises(ValueError, match=r"^remove: 'x', 'y' not in the corpus$"):
        corpus.remove(["a", "x", "y"])
    corpus.remove(["a", "a"])
    with pytest.raises(ValueError, match=r"^remove: 'a' not in the corpus$"):
        corpus.remove(["a"])
    assert [h.id for h in corpus.search(np.ones(3)).hits] == ["b", "c"]


def test_documents_travel_with_their_hits_and_their_copies_stay_theirs():
    corpus = Corpus(np.eye(3), ["a", "b", "c"], texts=["alpha", None, "gamma"],
                    metadata=[{"tags": ["x"]}, None, {"n": 1}])
    corpus.add(np.ones((1, 3)), ["d"], metadata=[{"n": 2}])  # the first added without texts
    hits = {h.id: h for h in corpus.search(np.ones(3)).hits}
    assert [(h.text, h.metadata) for h in (hits["a"], hits["b"], hits["d"])] == [
        ("alpha", {"tags": ["x"]}), (None, None), (None, {"n": 2})]
    hits["a"].metadata["tags"].append("changed")
    assert corpus.search(np.eye(3)[0], "limit:1").hits[0].metadata == {"tags": ["x"]}


def test_searches_in_other_threads_see_the_corpus_before_or_after_each_change():
    rng = np.random.default_rng(7)
    base = rng.standard_normal((400, 16))
    extra, extra_ids = rng.standard_normal((50, 16)), [f"x{i}" for i in range(50)]
    corpus = Corpus(base, [f"d{i}" for i in range(400)])
    query = rng.standard_normal(16)

    def result():
        return repr(corpus.search(query, "diverse limit:6 like:d1").hits)

    published, seen, stop, faults = {result()}, [], threading.Event(), []

    def search():
        while not stop.is_set():
            try:
                seen.append(result())
            except Exception as e:  # noqa: BLE001 - any failure is the finding
                faults.append(e)
                return

    threads = [threading.Thread(target=search) for _ in range(3)]
    for t in threads:
        t.start()
    changes = [lambda: corpus.add(extra, extra_ids),
               lambda: corpus.remove(extra_ids),  # 50 of 450 dead: below the share that compacts
               lambda: corpus.add(extra[:1], ["y"]),
               lambda: corpus.remove(["y"] + [f"d{i}" for i in range(300, 400)]),  # compacts
               lambda: corpus.add(base[300:], [f"d{i}" for i in range(300, 400)])]
    for _ in range(40):
        for change in changes:
            change()
            published.add(result())  # every state that a reader may have seen
    stop.set()
    for t in threads:
        t.join()
    assert not faults and len(seen) > 100 and set(seen) <= published, faults


@pytest.mark.parametrize("first", ["search", "add", "remove"])
def test_the_id_map_built_on_first_use_by_racing_threads_knows_every_document(first):
    rng = np.random.default_rng(11)
    base, extra = rng.standard_normal((300, 8)), rng.standard_normal((20, 8))
    for attempt in range(20):
        corpus = Corpus(base, [f"d{i}" for i in range(300)])
        start, faults = threading.Barrier(5), []

        def look(k):
            start.wait()
            try:
                hits = corpus.search(base[k], f"like:d{k} limit:1").hits
                assert hits[0].id == f"d{k}"
            except Exception as e:  # noqa: BLE001 - any failure is the finding
                faults.append(e)

        threads = [threading.Thread(target=look, args=(k,)) for k in (3, 50, 150, 299)]
        for t in threads:
            t.start()
        start.wait()
        if first == "add":
            corpus.add(extra, [f"x{attempt}-{i}" for i in range(20)])
        elif first == "remove":
            corpus.remove(["d7"])
        else:
            corpus.search(base[0], "like:d0")
        for t in threads:
            t.join()
        assert not faults, faults
        ids = corpus.ids
        assert corpus.id_to_idx == {doc: row for row, doc in enumerate(ids)}
