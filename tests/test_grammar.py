"""The layer's table of the modifier grammar against the grammar itself, and the notes on unused words."""
import sys

import pytest

import _quantelle as q
from quantelle.grammar import CLAUSE, KEYWORDS, WHITESPACE, unused_notes

DEFAULTS = q.parse_modifiers()
SAMPLES = {"a whole number": ("7", 7), "a text": ("x", "x"), "ids": ("a,b", ["a", "b"])}


def changed(modifiers):
    got = q.parse_modifiers(modifiers)
    return {k: v for k, v in got.items() if v != DEFAULTS[k]}


def test_the_table_names_every_keyword_and_the_value_each_takes():
    reached = set()
    for k in KEYWORDS:
        if not k.value:
            assert changed(k.word).get(k.key) is True, k
        else:
            typed, value = SAMPLES[k.value]
            assert changed(f"{k.word}:{typed}").get(k.key) == value, k
            if k.value == "a whole number":
                assert k.key not in changed(f"{k.word}:x"), k
        reached.add(k.key)
    opening, closing = CLAUSE
    assert changed(f"{opening} a{closing} b") == {"trajectory_from": "a", "trajectory_to": "b"}
    assert reached | {"trajectory_from", "trajectory_to"} == set(DEFAULTS)


def test_the_whitespace_is_where_the_grammar_splits():
    spaces = [chr(c) for c in range(sys.maxunicode + 1) if chr(c).isspace() or chr(c) in WHITESPACE]
    splits = {c for c in spaces if changed(f"diverse{c}limit:3") == {"diverse": True, "limit": 3}}
    assert splits == set(WHITESPACE)


@pytest.mark.parametrize("modifiers, expected", [
    ("rcnt:3 limt:2 divers rceent unlke:xml", [
        "rcnt:3' was ignored: no modifier is called rcnt:; did you mean recent:3?", "did you mean limit:2?",
        "did you mean diverse?", "did you mean recent?", "did you mean unlike:xml?"]),
    ("Limit:3 diverse,. limit:abc foo:bar", ["did you mean limit:3?", "did you mean diverse?",
                                            "limit: needs a whole number", "no modifier is called foo:; modifiers are"]),
    ("socket limit:3 https://x.org/a:b c++ 3:30pm decent",
     ["'socket', 'https://x.org/a:b', 'c++', '3:30pm' and 'decent' were ignored: not modifiers"]),
    ("recent:abc recent: recent:7.5 limit:0 like: unlike:", [
        "'recent:abc' was read as plain recent: recent: needs a whole number of days right after the colon",
        "'recent:7.5' was read as plain recent"]),
    ("from: cats diverse", ["'from:' was ignored: a trajectory is 'from: TEXT to: TEXT', both texts not empty",
                            "'cats' was ignored: not a modifier"]),
    ("tea from: divers to: limt:2 near limit:2", ["'tea' was ignored: not a modifier"]),
    ("", []),
], ids=["typos", "case-comma-value-unknown", "plain-words", "values-read-in-part", "no-clause",
        "clause-texts-are-query", "empty"])
def test_notes_name_every_word_that_set_nothing(modifiers, expected):
    notes = unused_notes(modifiers, q.parse_modifiers(modifiers))
    assert len(notes) == len(expected) and all(e in n for e, n in zip(expected, notes)), notes
