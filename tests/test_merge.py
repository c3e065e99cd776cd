"""The merge of parts' best rows against one Corpus, with the parts in this process: every modifier
and keyword, the bounds of like: and decay, the rounds that ask again, a part's clock ahead."""
import dataclasses
import time

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from shard_data import DATA, KEYWORDS, MASK, MODIFIERS, WITHIN, WORDS, M

from quantelle import Corpus
from quantelle.half import convert
from quantelle.merge import Call, Part, Unproven, merge
from quantelle.plan import DATA_KEYS


def merged(corpus, cuts, modifiers="", *, same_bits=True, skew=0.0, deadline=60.0, rounds=None, half=False,
           **keywords):
    """`corpus` cut at `cuts` into parts whose clocks run `skew` seconds ahead: they hold their
    timestamps `skew` earlier and hand the true ones back with their rows. With `half`, each
    part scans a float16 copy of its rows."""
    bounds = [0, *cuts, len(corpus)]
    ts = corpus.timestamps
    parts = [Part(corpus.matrix[lo:hi], corpus.ids[lo:hi], None if ts is None else ts[lo:hi] - skew, lo,
                  convert(corpus.matrix[lo:hi]) if half else None)
             for lo, hi in zip(bounds, bounds[1:])]
    prepared = corpus.prepare("q", modifiers, **keywords)
    args = {k: v for k, v in prepared.arguments.items() if k not in DATA_KEYS}
    liked = {i: corpus.matrix[corpus.id_to_idx[i]] for i in args.get("like_ids", [])}

    def ask(calls):
        if rounds is not None:
            rounds.append({s: c.k for s, c in calls.items()})
        answers = {s: parts[s].answer(c) for s, c in calls.items()}
        return {s: a if a.timestamps is None else dataclasses.replace(a, timestamps=a.timestamps + skew)
                for s, a in answers.items()}

    return merge(args, liked, bounds, ask, same_bits=same_bits, clock_skew=skew or 1.0,
                 deadline=time.monotonic() + deadline)


def assert_one_machine(one, got, modifiers, **keywords):
    want = one.search("q", modifiers, **keywords)
    hits, stamps = got
    assert hits == want.hits
    assert (stamps is None) == ("recent" not in want.prepared.arguments)
    assert stamps is None or np.array_equal(stamps, [one.timestamps[one.id_to_idx[h.id]] for h in hits],
                                            equal_nan=True)


ONE = Corpus(*DATA, embed=WORDS.get)


@pytest.mark.parametrize("same_bits", [True, False], ids=["same-bits", "other-bits"])
@pytest.mark.parametrize("modifiers", MODIFIERS)
@pytest.mark.parametrize("keywords", KEYWORDS.values(), ids=KEYWORDS)
def test_parts_search_as_one_machine(keywords, modifiers, same_bits):
    # Other bits: as if a part's kernel rounded otherwise, so every search goes by the bound.
    assert_one_machine(ONE, merged(ONE, [150], modifiers, same_bits=same_bits, **keywords), modifiers, **keywords)


# Without decay: two searches made at different instants decay by different factors, and a
# score that close to a 4-decimal cut rounds either way (a slower part makes it likelier).
UNDECAYED = [m for m in MODIFIERS if "recent" not in m]


@pytest.mark.parametrize("cuts", [[150], [40, 151, 152]], ids=["halves", "uneven"])
@pytest.mark.parametrize("modifiers", UNDECAYED)
@pytest.mark.parametrize("keywords", KEYWORDS.values(), ids=KEYWORDS)
def test_parts_that_scan_a_float16_copy_search_as_one_machine(keywords, modifiers, cuts):
    assert_one_machine(ONE, merged(ONE, cuts, modifiers, half=True, **keywords), modifiers, **keywords)


@pytest.mark.parametrize("modifiers", ["recent:8000", "recent:6000 diverse like:d100 unlike:a limit:6"])
@pytest.mark.parametrize("keywords", [{}, dict(within=WITHIN, mask=MASK)], ids=["all", "within-masked"])
def test_float16_parts_decay_as_one_machine(modifiers, keywords):
    # Ages on the float32 grid of days far out, as the fingerprint puts them: the decay factors
    # stay the same for over a minute, whichever instant a search reads its clock.
    days = 16384.0 + np.random.default_rng(9).integers(0, 1 << 20, len(M)) * 2.0**-9
    one = Corpus(M, DATA[1], time.time() - days * 86400.0, embed=WORDS.get)
    got = merged(one, [40, 151, 152], modifiers, half=True, **keywords)
    assert_one_machine(one, got, modifiers, **keywords)


def test_a_float16_part_says_how_many_rows_it_scored_again():
    rows = ONE.matrix[:150]
    args = {k: v for k, v in ONE.prepare("q", "limit:5").arguments.items() if k not in DATA_KEYS}
    call = Call(args, 5)
    plain, half = Part(rows, ONE.ids[:150], None, 0), Part(rows, ONE.ids[:150], None, 0, convert(rows))
    want, got = plain.answer(call), half.answer(call)
    assert (got.ids, got.scores, want.rescored) == (want.ids, want.scores, None)
    assert 5 <= got.rescored < 150  # the copy's intervals leave few rows to score again


@settings(max_examples=40, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), count=st.integers(2, 4), noise=st.sampled_from([1e-7, 1e-5, 1e-3]),
       modifiers=st.sampled_from(["limit:5", "diverse limit:4", "like:d1 limit:6", "recent:3 unlike:a limit:4"]),
       same_bits=st.booleans())
def test_rows_that_recur_on_every_part_near_the_cut_merge_as_one_machine(seed, count, noise, modifiers, same_bits):
    rng = np.random.default_rng(seed)
    best = rng.normal(size=(6, 16)) + 2.0 * WORDS["q"]
    m = np.vstack([best + noise * rng.normal(size=best.shape) for _ in range(count)] + [rng.normal(size=(30, 16))])
    m = m[rng.permutation(len(m))]
    one = Corpus(m, [f"d{i}" for i in range(len(m))], time.time() - rng.uniform(0, 9, len(m)) * 86400.0,
                 embed=WORDS.get)
    cuts = sorted(rng.choice(np.arange(1, len(m)), count - 1, replace=False).tolist())
    assert_one_machine(one, merged(one, cuts, modifiers, same_bits=same_bits), modifiers)


def day_old(m, words):
    ids, ts = [f"d{i}" for i in range(len(m))], np.full(len(m), time.time() - 86400.0)
    return Corpus(m, ids, ts, embed=words.get)


@pytest.mark.parametrize("modifiers, keywords", [("recent:1 unlike:a limit:3", {}),
                                                 ("recent:1 unlike:a diverse limit:2", {"oversample": 3})])
def test_rows_the_parts_keep_below_the_threshold_are_replaced_in_another_round(modifiers, keywords):
    # Rows x score just under the threshold, so the parts (threshold lowered by their error
    # bound) return them first, and the merge drops them; the rows y behind them, above the
    # threshold but with a larger penalty, must be fetched in a second round. A day old: decay 1/2.
    e = np.eye(8)
    x, y, low = 0.6 * e[0] + 0.8 * e[2], 0.8 * e[0] + 0.5 * e[1] + np.sqrt(0.11) * e[3], 0.1 * e[0] + e[4]
    m = np.vstack([np.tile(x, (60, 1)), np.tile(y, (12, 1)), np.tile(low, (36, 1))])
    one = day_old(m[np.random.default_rng(4).permutation(len(m))], {"q": e[0].astype(np.float32), "a": e[1].astype(np.float32)})
    rounds = []
    got = merged(one, [54], modifiers, rounds=rounds, threshold=0.3003, **keywords)
    assert got[0] and len(rounds) > 1
    assert_one_machine(one, got, modifiers, threshold=0.3003, **keywords)


AHEAD = {  # where the part ranks d0, and what brings it back
    "below-the-rows-returned": ("recent:1 limit:1", {}),  # only a second round, by the margin
    "below-the-threshold": ("recent:1", dict(threshold=0.6)),  # only the part's lowered threshold
}


def dated_ahead():
    e = np.eye(4)
    m = np.array([c * e[0] + np.sqrt(1.0 - c * c) * e[1] for c in [0.95, 0.9] + [0.8] * 8])
    ts = time.time() + np.array([1.0] + [30.0] * (len(m) - 1)) * 86400.0  # d0 a day ahead, the rest a month
    return Corpus(m, [f"d{i}" for i in range(len(m))], ts, embed={"q": e[0].astype(np.float32)}.get)


@pytest.mark.parametrize("modifiers, keywords", AHEAD.values(), ids=AHEAD)
def test_a_part_clock_ahead_by_the_allowed_skew_changes_no_hit(modifiers, keywords):
    # The part, two days ahead, sees d0 (0.95) a day old at half its score, below d1 (0.9),
    # d2-d9 (0.8) and the threshold; the merge and one machine see every row undecayed.
    one = dated_ahead()
    assert one.search("q", modifiers, **keywords).hits[0].id == "d0"
    assert_one_machine(one, merged(one, [], modifiers, skew=2 * 86400.0, **keywords), modifiers, **keywords)


def test_a_part_still_unproven_at_the_deadline_raises():
    with pytest.raises(Unproven, match=r"^parts \[0\] could not prove their part of the pool in time$"):
        merged(dated_ahead(), [], "recent:1 limit:1", skew=2 * 86400.0, deadline=-1.0)


@pytest.mark.parametrize("step_days", [-100.0, 100.0], ids=["back", "ahead"])
def test_a_wall_clock_step_during_the_search_changes_no_hit(monkeypatch, step_days):
    # dt read on a wall clock that steps after the first round would turn the decay shift
    # negative (or huge) and end the rounds before the proof holds, or never.
    real, reads = time.time, []

    def stepping():
        reads.append(None)
        return real() + (step_days * 86400.0 if len(reads) > 1 else 0.0)

    one = dated_ahead()
    monkeypatch.setattr(time, "time", stepping)
    got = merged(one, [], "recent:1 limit:1", skew=2 * 86400.0)
    monkeypatch.setattr(time, "time", real)
    assert_one_machine(one, got, "recent:1 limit:1")
