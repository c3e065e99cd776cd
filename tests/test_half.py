"""A float16 corpus returns the float32 corpus's hits exactly: random and adversarial rows, every
modifier and keyword, changes and a saved corpus; and its bound is tight enough that half of it
loses a hit."""
import json
import os
import time

import numpy as np
import pytest

import _quantelle
import quantelle
from quantelle import Corpus, _engine
from quantelle.half import row_errors

DIM = 48


def embed(text):
    return np.random.default_rng(sum(map(ord, text))).standard_normal(DIM).astype(np.float32)


def random_rows(rng, n):
    return rng.standard_normal((n, DIM)).astype(np.float32)


def below_resolution(rng, n):
    # Copies of a few rows, moved by far less than a float16 step: one float16 row each.
    base = random_rows(rng, 8)
    return (base[rng.integers(0, 8, n)] * (1 + 1e-6 * rng.standard_normal((n, DIM)))).astype(np.float32)


def duplicates(rng, n):
    return random_rows(rng, n // 20)[rng.integers(0, n // 20, n)]


def ties_at_cut(rng, n):
    # Scores against the first axis within a float32 step or two of x.xxxx5, where the records
    # round alike and the order comes from the unrounded scores.
    a = np.float32(0.61235) + np.float32(6e-8) * rng.integers(-3, 4, n).astype(np.float32)
    rest = random_rows(rng, n)[:, 1:]
    rest *= (np.sqrt(1 - a.astype(np.float64) ** 2) / np.linalg.norm(rest, axis=1)).astype(np.float32)[:, None]
    return np.column_stack([a, rest]).astype(np.float32)


def reordered(rng, n):
    # Each pair differs by a float16 step in one coordinate: its float16 copies swap the order
    # against a query along that coordinate, half the time.
    x = random_rows(rng, n // 2)
    y = x.copy()
    y[:, 0] += np.float32(2 ** -11) * np.float32(0.9) * np.sign(x[:, 0])
    return np.concatenate([x, y])


DATASETS = [random_rows, below_resolution, duplicates, ties_at_cut, reordered]

SEARCHES = [
    ("", {}),
    ("limit:40", {}),
    ("limit:0", {}),
    ("diverse limit:5", {}),
    ("diverse limit:0", {}),
    ("recent:3 unlike:noise", {}),
    ("like:d3,d9 from: old to: new", {"threshold": 0.05}),
    ("recent unlike:x from: a to: b limit:30", {"mmr_lambda": 0.4}),
    ("diverse recent:10 unlike:y", {"oversample": 50}),
    ("limit:500", {"threshold": 0.1}),
    ("unlike:noise limit:3", {"threshold": 0.61235}),  # straddled by ties_at_cut's rows
    ("diverse", {"within": [f"d{i}" for i in range(0, 600, 3)]}),
    ("limit:20", {"where": {"even": True}}),
    ("diverse limit:7", {"mask": "half"}),
]


def pair(rows, n):
    ids = [f"d{i}" for i in range(n)]
    ts = 1.7e9 - 86400.0 * np.arange(n) % 50
    meta = [{"even": i % 2 == 0} for i in range(n)]
    return [Corpus(rows, ids, ts, embed=embed, metadata=meta, storage=s) for s in ("float32", "float16")]


@pytest.mark.parametrize("dataset", DATASETS, ids=[d.__name__ for d in DATASETS])
def test_float16_corpus_gives_the_float32_hits(dataset):
    rng = np.random.default_rng(7)
    n = 600
    exact, half = pair(dataset(rng, n), n)
    queries = [exact.matrix[5] + np.float32(1e-3) * random_rows(rng, 1)[0], random_rows(rng, 1)[0],
               np.eye(DIM, dtype=np.float32)[0]]
    for modifiers, options in SEARCHES:
        if options.get("mask") == "half":
            options = {"mask": np.arange(n) % 2 == 1}
        for q in queries:
            a, b = exact.search(q, modifiers, **options), half.search(q, modifiers, **options)
            assert (b.hits, b.notes) == (a.hits, a.notes), (modifiers, options)
            assert a.prepared.rescored is None and b.prepared.rescored <= n


def test_changes_and_a_saved_corpus_stay_exact(tmp_path):
    rng = np.random.default_rng(3)
    rows = random_rows(rng, 900)
    ids = [f"d{i}" for i in range(900)]
    exact, half = (Corpus(rows[:500], ids[:500], storage=s) for s in ("float32", "float16"))
    q = random_rows(rng, 1)[0]

    def same(a, b):
        for m in ("limit:30", "diverse"):
            assert b.search(q, m).hits == a.search(q, m).hits

    for c in (exact, half):
        c.add(rows[500:], ids[500:])
    same(exact, half)
    for c in (exact, half):
        c.remove(ids[100:400])  # past a fifth: compacted
    same(exact, half)
    half.save(tmp_path / "c")
    opened = Corpus.open(tmp_path / "c", storage="float16")
    same(exact, opened)
    for c in (exact, opened):
        c.add(rows[:3] * 2, ["x", "y", "z"])
        c.remove(["d450"])
    same(exact, opened)


def test_candidates_stay_few_on_random_rows():
    rng = np.random.default_rng(11)
    c = Corpus(random_rows(rng, 20000), [str(i) for i in range(20000)], storage="float16")
    counts = [c.search(random_rows(rng, 1)[0], "limit:10").prepared.rescored for _ in range(10)]
    assert min(counts) >= 10 and max(counts) <= 15, counts


@pytest.mark.parametrize("threads", [1, 3])
def test_the_scan_on_the_pool_gives_the_same_hits(threads):
    rng = np.random.default_rng(13)
    rows = random_rows(rng, 60000)  # past the size that the pool takes on
    exact, half = pair(rows, 60000)
    before = quantelle.get_num_threads()
    quantelle.set_num_threads(threads)
    try:
        for m in ("limit:15", "diverse", "recent unlike:z from: a to: b"):
            q = random_rows(rng, 1)[0]
            assert half.search(q, m).hits == exact.search(q, m).hits
    finally:
        quantelle.set_num_threads(before)


def test_storage_names_are_checked():
    with pytest.raises(ValueError, match="^storage must be 'float32' or 'float16', got 'half'$"):
        Corpus(np.eye(2), ["a", "b"], storage="half")


def tight_pair():
    """Rows A > B in float32 whose float16 copies rank B first by 0.8 of a float16 step, each off
    by 0.45 of a step along the query: the full bounds overlap, halved ones do not."""
    step = 2.0 ** -11  # float16's spacing in [0.5, 1)
    theta = 0.01
    q = np.array([np.cos(theta), np.sin(theta)], np.float32)
    b_a = 0.25
    b_b = b_a - 0.2 * step / np.tan(theta)
    b_b = float(np.float16(b_b))  # exact in float16: the second coordinate adds no error
    t = 1434 * step  # a float16
    rows = np.array([[t + 0.45 * step, b_a], [t + 0.55 * step, b_b], [0.1, 0.1]], np.float32)
    return rows, q


# The trajectory from 0 to q blends q with itself: the scan's one blended vector and its bound
# must be as tight as the query's alone.
@pytest.mark.parametrize("trajectory", [False, True])
def test_the_bound_is_tight_enough_that_half_of_it_loses_the_best_row(trajectory):
    rows, q = tight_pair()
    half = rows.astype(np.float16)
    exact_scores = rows @ q
    half_scores = half.astype(np.float32) @ q
    assert exact_scores[0] > exact_scores[1] and half_scores[1] > half_scores[0]  # the premise
    errors = row_errors(rows, half)
    ids = ["a", "b", "c"]
    kw = dict(limit=1, **(dict(traj_from_vec=np.zeros(2, np.float32), traj_to_vec=q) if trajectory else {}))
    expected = _quantelle.score_candidates(rows, ids, {}, q, **kw)
    assert expected[0]["id"] == "a"
    assert _engine.score_f16(half, errors, rows, ids, {}, q, **kw) == (expected, 2)
    assert _engine.score_f16(half, errors * np.float32(0.5), rows, ids, {}, q, **kw)[0] != expected


@pytest.mark.parametrize("kernel", ["scalar", "avx2"])
def test_each_half_kernel_gives_the_float32_records(kernel, run_python):
    import _quantelle_probe as probe

    if kernel not in probe.variants():
        pytest.skip(f"this CPU does not run the {kernel} kernels")
    done = run_python(f"""
        import numpy as np, _quantelle
        from quantelle import _engine
        from quantelle.half import row_errors
        rng = np.random.default_rng(5)
        for n, d in ((300, 1), (301, 7), (302, 8), (303, 9), (300, 15), (301, 16), (302, 17), (300, 31),
                     (301, 33), (302, 100), (303, 384)):
            x = rng.standard_normal((n, d)).astype(np.float32)
            x /= np.linalg.norm(x, axis=1, keepdims=True)
            h = x.astype(np.float16)
            ids = [str(i) for i in range(n)]
            q = rng.standard_normal(d).astype(np.float32)
            extra = dict(not_like_vec=rng.standard_normal(d).astype(np.float32),
                         traj_from_vec=q, traj_to_vec=rng.standard_normal(d).astype(np.float32))
            for kw in ({{}}, extra, dict(extra, diverse=True, oversample=30)):
                want = _quantelle.score_candidates(x, ids, {{}}, q, **kw)
                got = _engine.score_f16(h, row_errors(x, h), x, ids, {{}}, q, **kw)[0]
                assert got == want, (d, kw)
        """, env={"QUANTELLE_KERNEL": kernel})
    assert done.returncode == 0, done.stderr


@pytest.mark.parametrize("kernel", ["scalar", "avx2"])
def test_each_half_kernel_keeps_its_dots_within_the_rounding_the_bound_allows(kernel):
    """Every lane, chain and tail of a block: |dot - exact| <= γ(d + 16) Σ|h_i q_i|, the
    rounding that row_errors adds to each row's bound."""
    import _quantelle_probe as probe

    if kernel not in probe.variants():
        pytest.skip(f"this CPU does not run the {kernel} kernels")
    rng = np.random.default_rng(11)
    for d in (1, 7, 8, 15, 16, 17, 31, 32, 33, 100, 384, 385):
        gamma = (d + 16) * 2.0**-24 / (1 - (d + 16) * 2.0**-24)
        for count, nq in ((16, 1), (5, 2), (13, 3), (1, 1), (4, 3)):
            h = rng.standard_normal((count, d)).astype(np.float16)
            qs = rng.standard_normal((nq, d)).astype(np.float32)
            out = np.frombuffer(probe.half_dot_block(kernel, h.tobytes(), qs.tobytes(), count, nq, d),
                                np.float32).reshape(nq, 16)[:, :count]
            x, q = h.astype(np.float64), qs.astype(np.float64)
            assert np.all(np.abs(out - q @ x.T) <= gamma * (np.abs(q) @ np.abs(x).T)), (d, count, nq)


@pytest.mark.parametrize("args, message", [
    ((np.zeros((3, 2), np.float32),), "half_rows must be a 2-D C-contiguous float16 array"),
    ((np.zeros((3, 2), np.float16), np.zeros(3, np.float64)), "row_errors must be a 1-D C-contiguous float32 array"),
    ((np.zeros((2, 2), np.float16),), r"half_rows \(2, 2\) and row_errors \(3,\) do not match the matrix \(3, 2\)"),
], ids=["rows-dtype", "errors-dtype", "shape"])
def test_score_f16_refuses_a_copy_that_does_not_fit(args, message):
    if len(args) == 1:
        args = (args[0], np.zeros(3, np.float32))
    m = np.eye(3, 2, dtype=np.float32)
    with pytest.raises(ValueError, match=f"^{message}$"):
        _engine.score_f16(*args, m, ["a", "b", "c"], {}, m[0])


def files_of(d):
    return sorted(n.split(".", 1)[1] for n in os.listdir(d) if n.startswith("shard-"))


SAVES = [  # the corpus's storage, save's storage=, whether the copy is on disk
    ("float16", None, True),
    ("float16", "float32", False),
    ("float32", None, False),
    ("float32", "float16", True),
]


@pytest.mark.parametrize("kept, asked, on_disk", SAVES)
@pytest.mark.parametrize("mmap", [True, False], ids=["mapped", "read"])
def test_a_saved_corpus_opens_as_float16_with_or_without_its_copy(tmp_path, monkeypatch, kept,
                                                                  asked, on_disk, mmap):
    rng = np.random.default_rng(17)
    rows = random_rows(rng, 700)
    exact, half = pair(rows, 700)
    (half if kept == "float16" else exact).save(tmp_path, storage=asked)
    assert ("half.npy" in files_of(tmp_path)) == on_disk
    assert json.loads((tmp_path / "manifest.json").read_text()).get("half", False) == on_disk
    if on_disk:  # the saved copy is used as it is: nothing is converted at open
        monkeypatch.setattr(quantelle.half, "row_errors", None)
    opened = Corpus.open(tmp_path, mmap=mmap, storage="float16", embed=embed)
    monkeypatch.undo()
    for modifiers, options in SEARCHES[:6]:
        q = random_rows(rng, 1)[0]
        a, b = exact.search(q, modifiers, **options), opened.search(q, modifiers, **options)
        assert (b.hits, b.notes) == (a.hits, a.notes) and b.prepared.rescored is not None
    opened.add(rows[:5] * 3, [f"new{i}" for i in range(5)], np.full(5, 1.7e9))
    opened.save(tmp_path)  # the shard kept gains the copy it lacked; the new one has its own
    assert files_of(tmp_path).count("half.npy") == 2
    Corpus.open(tmp_path, verify=True, storage="float16")  # each copy is its rows' own


@pytest.mark.parametrize("threads", [1, 3])
def test_search_many_on_float16_gives_each_query_its_search(threads):
    rng = np.random.default_rng(19)
    exact, half = pair(random_rows(rng, 60000), 60000)
    queries = random_rows(rng, 6)
    modifiers = ["", "limit:25", "diverse", "recent:3 unlike:noise", "like:d3 from: a to: b", "limit:0"]
    before = quantelle.get_num_threads()
    quantelle.set_num_threads(threads)
    try:
        many = half.search_many(queries, modifiers, where={"even": True})
        alone = [exact.search(q, m, where={"even": True}) for q, m in zip(queries, modifiers)]
    finally:
        quantelle.set_num_threads(before)
    assert [(r.hits, r.notes) for r in many] == [(r.hits, r.notes) for r in alone]


def mapped_kib(path):
    """Resident KiB of this process's mappings of `path`."""
    total, inside = 0, False
    with open("/proc/self/smaps") as f:
        for line in f:
            inside = line.rstrip().endswith(str(path)) if "-" in line.split(" ", 1)[0] else inside
            total += int(line.split()[1]) if inside and line.startswith("Rss:") else 0
    return total


@pytest.mark.skipif(not os.path.exists("/proc/self/smaps"), reason="needs /proc/self/smaps")
@pytest.mark.parametrize("saved", ["float16", "float32"])
def test_searches_leave_no_float32_rows_resident(tmp_path, saved):
    rng = np.random.default_rng(23)
    rows = random_rows(rng, 20000)
    Corpus(rows, [str(i) for i in range(20000)]).save(tmp_path, storage=saved)
    opened = Corpus.open(tmp_path, storage="float16")
    for _ in range(3):
        assert opened.search(random_rows(rng, 1)[0], "limit:10").prepared.rescored >= 10
    assert mapped_kib(tmp_path / "shard-00000.npy") == 0
    assert mapped_kib(tmp_path / "shard-00000.half.npy") >= (saved == "float16") * rows.nbytes // 2048


# The best rows first, last, or spread: the scan's running floor rises at different times, and
# the rows it lets through must still be filtered down to the same candidates. The modulated
# searches drop rows early on a bound that skips their timestamps and mask bytes (not where the
# half-life is negative and a factor may exceed 1).
MODULATED = {"recent": True, "not_like_vec": True, "mask": True, "threshold": 0.02,
             "traj_from_vec": True, "traj_to_vec": True}


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("kw", [
    {"limit": 10},
    {"limit": 5, "diverse": True, "oversample": 40},
    {"limit": 10, **MODULATED},
    {"limit": 10, **MODULATED, "recent_days": -16000.0},
    {"limit": 8, "diverse": True, "oversample": 30, "recent": True, "recent_days": 20000.0, "mask": True},
    {"limit": 10, "recent": True, "recent_days": 20000.0, "below_zero": True},
], ids=["plain", "diverse", "modulated", "negative half-life", "diverse, decay and mask",
        "decay of scores below zero"])
def test_candidates_do_not_depend_on_where_the_best_rows_lie(threads, kw):
    rng = np.random.default_rng(17)
    x = random_rows(rng, 50000)  # past the size that the pool takes on
    x /= np.linalg.norm(x, axis=1, keepdims=True)
    q = random_rows(rng, 1)[0]
    if kw.get("below_zero"):  # every score below 0, where decay raises the worst ones most
        x, q = np.abs(x), -np.abs(q)
    kw = {k: v for k, v in kw.items() if k != "below_zero"}
    # Ages on the float32 grid of days far out, so that every call reads the same factors, and
    # timestamps unknown or 0 (factor 1). A half-life of -16000 days gives factors from -42 to -7.
    ts = time.time() - 86400.0 * (16384.0 + rng.integers(0, 1 << 20, len(x)) * 2.0**-9)
    ts[::97] = np.nan
    ts[::89] = 0.0
    keep = rng.random(len(x)) < 0.8
    vecs = {k: random_rows(rng, 1)[0] for k in ("not_like_vec", "traj_from_vec", "traj_to_vec")}
    before = quantelle.get_num_threads()
    quantelle.set_num_threads(threads)
    try:
        counts = set()
        ascending = np.argsort(x @ q, kind="stable")
        for order in (ascending, ascending[::-1].copy(), np.arange(len(x))):
            rows = x[order]
            h = rows.astype(np.float16)
            ids = [str(i) for i in range(len(rows))]
            args = dict(kw)
            for k in vecs:
                if k in args:
                    args[k] = vecs[k]
            if "mask" in args:
                args["mask"] = keep[order]
            if args.get("recent"):
                args["timestamps"] = ts[order]
            got, rescored = _engine.score_f16(h, row_errors(rows, h), rows, ids, {}, q, **args)
            assert got == _quantelle.score_candidates(rows, ids, {}, q, **args)
            counts.add(rescored)
        assert len(counts) == 1 and counts.pop() < 2 * kw.get("oversample", kw["limit"])
    finally:
        quantelle.set_num_threads(before)
