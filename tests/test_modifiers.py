import re

import pytest

import _quantelle as q

DEFAULTS = {
    "recent": False,
    "recent_days": None,
    "unlike": None,
    "diverse": False,
    "limit": None,
    "like": None,
    "trajectory_from": None,
    "trajectory_to": None,
    "local_communities": False,
}

# Every code point with the White_Space property.
WHITE_SPACE = [chr(c) for c in (*range(0x09, 0x0E), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B),
                                0x2028, 0x2029, 0x202F, 0x205F, 0x3000)]
# Invisible or blank-looking, but not White_Space: they stay inside tokens and texts.
NOT_WHITE_SPACE = ["\u200b", "\u180e", "\ufeff", "\u2060", "\u200d", "\x00", "\x1c", "\x1f"]

I64_MIN, I64_MAX, U64_MAX = -(2**63), 2**63 - 1, 2**64 - 1


def typed(value):
    # bool vs int and list-of-str must be pinned, not just equality (True == 1).
    if isinstance(value, list):
        return ("list", [(type(x), x) for x in value])
    return (type(value), value)


def assert_parses(text, **changes):
    expected = {**DEFAULTS, **changes}
    got = q.parse_modifiers(text)
    assert type(got) is dict
    assert [(k, typed(v)) for k, v in got.items()] == [(k, typed(v)) for k, v in expected.items()]


@pytest.mark.parametrize("text, changes", [
    (None, {}),
    ("", {}),
    ("   ", {}),
    ("recent diverse limit:5", {"recent": True, "diverse": True, "limit": 5}),
    ("recent:30 unlike:sports like:a12,b7",
     {"recent": True, "recent_days": 30, "unlike": "sports", "like": ["a12", "b7"]}),
    ("recent:-7 recent", {"recent": True, "recent_days": -7}),
    ("recent:abc", {"recent": True}),
    ("recent:", {"recent": True}),
    ("limit:5 limit:x limit:-3", {"limit": 5}),
    ("limit:+12", {"limit": 12}),
    ("Recent DIVERSE diverse:", {}),
    ("unlike: sports", {"unlike": ""}),
    ("like:a,,b,", {"like": ["a", "", "b", ""]}),
    ("like:", {"like": [""]}),
    ("detect_communities", {"local_communities": True}),
    ("local_communities", {"local_communities": True}),
    ("from: cats to: dogs diverse", {"trajectory_from": "cats", "trajectory_to": "dogs", "diverse": True}),
    ("recent from: early work to: late work limit:20",
     {"recent": True, "trajectory_from": "early work", "trajectory_to": "late work", "limit": 20}),
    ("from: a to: b recent", {"trajectory_from": "a", "trajectory_to": "b recent"}),
    ("from:a to:b", {"trajectory_from": "a", "trajectory_to": "b"}),
    ("from: a to: bdiverse", {"trajectory_from": "a", "trajectory_to": "b", "diverse": True}),
    ("recentfrom: a to: b diverse", {"trajectory_from": "a", "trajectory_to": "b"}),
    ("from: to: dogs diverse", {"diverse": True}),
    ("from: a to:", {}),
    ("from: a b", {}),
], ids=["none", "empty", "blanks", "flags-and-limit", "days-unlike-like", "bare-recent-keeps-days",
        "bad-days", "empty-days", "bad-limits-keep-first", "plus-limit", "case-sensitive",
        "unlike-empty", "like-empty-pieces", "like-empty", "detect-communities", "local-communities",
        "clause", "clause-in-middle", "bare-recent-not-terminator", "clause-no-blanks",
        "terminator-in-word", "join-around-clause", "empty-from-discards", "empty-to-discards",
        "no-to-marker"])
def test_grammar(text, changes):
    assert_parses(text, **changes)


@pytest.mark.parametrize("text, changes", [
    ("from: a to: b xrecent:3", {"trajectory_from": "a", "trajectory_to": "b x", "recent": True,
                                 "recent_days": 3}),
    # "unlike:" begins before the "like:" inside it, so it ends the clause and survives whole.
    ("from: a to: bunlike:z", {"trajectory_from": "a", "trajectory_to": "b", "unlike": "z"}),
    ("from: a to: b mylimit:4", {"trajectory_from": "a", "trajectory_to": "b my", "limit": 4}),
    ("from: a to: b selectdetect_communities",
     {"trajectory_from": "a", "trajectory_to": "b select", "local_communities": True}),
    ("from: a to: b local_communitiesx", {"trajectory_from": "a", "trajectory_to": "b"}),
    ("from: a to: b recently Diverse", {"trajectory_from": "a", "trajectory_to": "b recently Diverse"}),
    ("from: a to: b like:x diverse", {"trajectory_from": "a", "trajectory_to": "b", "like": ["x"],
                                      "diverse": True}),
    ("xfrom: a to: b", {"trajectory_from": "a", "trajectory_to": "b"}),
    ("recent:5from: a to: b", {"trajectory_from": "a", "trajectory_to": "b", "recent": True,
                               "recent_days": 5}),
    ("unfrom: a to: b like:x", {"trajectory_from": "a", "trajectory_to": "b", "unlike": "x"}),
    ("like:xfrom: a to: b,y", {"trajectory_from": "a", "trajectory_to": "b,y", "like": ["x"]}),
    ("from: a to: b to: c", {"trajectory_from": "a", "trajectory_to": "b to: c"}),
    ("from: a from: b to: c", {"trajectory_from": "a from: b", "trajectory_to": "c"}),
    (" to: x from: a to: b", {"trajectory_from": "a", "trajectory_to": "b"}),
    ("from: a,to: b", {}),
    ("from:a\tto:b", {}),
    ("from: a to: diverse", {"diverse": True}),
    ("from: x to: y limit:3 from: p to: q", {"trajectory_from": "x", "trajectory_to": "y", "limit": 3}),
    ("from: 東京 to: 大阪 unlike:café like:日本,😀",
     {"trajectory_from": "東京", "trajectory_to": "大阪", "unlike": "café", "like": ["日本", "😀"]}),
], ids=["recent-colon-in-word", "unlike-before-like", "limit-in-word", "detect-in-word",
        "local-needs-exact-token", "case-and-bare-words", "like-ends-clause", "from-in-word",
        "token-before-from", "join-makes-unlike", "join-keeps-like", "first-to-wins", "first-from-wins",
        "to-before-from", "to-needs-blank", "to-needs-ascii-blank", "empty-to-at-terminator",
        "second-clause-tokenised", "non-ascii"])
def test_trajectory_clause(text, changes):
    assert_parses(text, **changes)


@pytest.mark.parametrize("text, changes", [
    ("limit:5 limit:10", {"limit": 10}),
    ("limit:5 limit:18446744073709551616", {"limit": 5}),
    ("unlike:a unlike:b", {"unlike": "b"}),
    ("unlike:a unlike:", {"unlike": ""}),
    ("like:a,b like:c", {"like": ["c"]}),
    ("recent:5 recent:x", {"recent": True, "recent_days": 5}),
    ("recent:5 recent:-2", {"recent": True, "recent_days": -2}),
    ("recent:5 recent", {"recent": True, "recent_days": 5}),
    ("diverse diverse", {"diverse": True}),
], ids=["limit", "bad-limit-keeps", "unlike", "unlike-empty", "like-replaces-list", "bad-days-keep",
        "days", "bare-recent", "flag-twice"])
def test_later_token_wins(text, changes):
    assert_parses(text, **changes)


@pytest.mark.parametrize("rest, days", [
    ("-9223372036854775808", I64_MIN),
    ("9223372036854775807", I64_MAX),
    ("+9223372036854775807", I64_MAX),
    ("-9223372036854775809", None),
    ("9223372036854775808", None),
    ("99999999999999999999999", None),
    ("-0", 0),
    ("+5", 5),
    ("007", 7),
    ("-" + "0" * 40 + "9223372036854775808", I64_MIN),
    ("", None),
    ("-", None),
    ("+", None),
    ("--5", None),
    ("+-5", None),
    ("1.5", None),
    ("1_000", None),
    ("5x", None),
    (" 5", None),
    ("\u0663", None),
    ("\uff15", None),
], ids=["min", "max", "plus-max", "below-min", "above-max", "far-above", "minus-zero", "plus",
        "leading-zeros", "zeros-before-min", "empty", "minus-only", "plus-only", "double-sign",
        "mixed-signs", "decimal-point", "underscore", "trailing-letter", "space-is-a-separator",
        "arabic-indic-digit", "fullwidth-digit"])
def test_recent_days_number(rest, days):
    assert_parses("recent:" + rest, recent=True, recent_days=days)


@pytest.mark.parametrize("rest, limit", [
    ("18446744073709551615", U64_MAX),
    ("+18446744073709551615", U64_MAX),
    ("18446744073709551616", None),
    ("0", 0),
    ("000123", 123),
    ("0" * 50 + "18446744073709551615", U64_MAX),
    ("+12", 12),
    ("", None),
    ("+", None),
    ("-", None),
    ("-0", None),
    ("-3", None),
    ("++1", None),
    ("1e3", None),
    ("\uff15", None),
], ids=["max", "plus-max", "above-max", "zero", "leading-zeros", "zeros-before-max", "plus",
        "empty", "plus-only", "minus-only", "minus-zero", "negative", "double-plus", "exponent",
        "fullwidth-digit"])
def test_limit_number(rest, limit):
    assert_parses("limit:" + rest, limit=limit)


@pytest.mark.parametrize("ws", WHITE_SPACE, ids=[f"U+{ord(c):04X}" for c in WHITE_SPACE])
def test_every_white_space_separates_and_trims(ws):
    assert_parses(f"{ws}recent{ws}{ws}like:a,b{ws}", recent=True, like=["a", "b"])
    assert_parses(f"from:{ws}a{ws}b{ws} to:{ws}c{ws}diverse{ws}",
                  trajectory_from=f"a{ws}b", trajectory_to="c", diverse=True)
    assert_parses(ws * 3)


@pytest.mark.parametrize("ch", NOT_WHITE_SPACE, ids=[f"U+{ord(c):04X}" for c in NOT_WHITE_SPACE])
def test_look_alike_is_not_white_space(ch):
    assert_parses(f"recent{ch}diverse")
    assert_parses(f"unlike:a{ch}b", unlike=f"a{ch}b")
    assert_parses(f"from: {ch}a{ch} to: b{ch}", trajectory_from=f"{ch}a{ch}", trajectory_to=f"b{ch}")


def test_keys_in_fixed_order_whatever_is_set():
    expected = list(DEFAULTS)
    assert list(q.parse_modifiers()) == expected
    assert list(q.parse_modifiers("local_communities like:x limit:1 from: a to: b recent:2")) == expected


def test_result_is_a_new_dict():
    first = q.parse_modifiers("like:a")
    first["like"].append("b")
    first["recent"] = True
    assert_parses("like:a", like=["a"])


@pytest.mark.parametrize("args, kwargs, changes", [
    ((), {}, {}),
    ((None,), {}, {}),
    ((), {"modifier_str": None}, {}),
    ((), {"modifier_str": "diverse"}, {"diverse": True}),
], ids=["absent", "none", "none-by-keyword", "by-keyword"])
def test_parse_modifiers_accepts(args, kwargs, changes):
    assert q.parse_modifiers(*args, **kwargs) == {**DEFAULTS, **changes}


def test_str_subclass_is_read_as_its_text():
    class Text(str):
        def __str__(self):
            return "diverse"

    assert q.parse_modifiers(Text("limit:7 like:x")) == {**DEFAULTS, "limit": 7, "like": ["x"]}


@pytest.mark.parametrize("value, type_name", [
    (5, "int"), (b"recent", "bytes"), (["recent"], "list"), (True, "bool"),
], ids=["int", "bytes", "list", "bool"])
def test_non_str_is_rejected(value, type_name):
    message = f"argument 'modifier_str': '{type_name}' object cannot be converted to 'PyString'"
    with pytest.raises(TypeError, match=f"^{re.escape(message)}$"):
        q.parse_modifiers(value)


def test_lone_surrogate_is_rejected():
    with pytest.raises(UnicodeEncodeError):
        q.parse_modifiers("recent \ud800")


@pytest.mark.parametrize("args, kwargs, message", [
    (("a", "b"), {}, "takes from 0 to 1 positional arguments but 2 were given"),
    ((), {"text": "x"}, "got an unexpected keyword argument 'text'"),
    (("a",), {"modifier_str": "b"}, "got multiple values for argument 'modifier_str'"),
], ids=["arity", "unknown-keyword", "duplicate"])
def test_parse_modifiers_rejects(args, kwargs, message):
    with pytest.raises(TypeError, match=f"^{re.escape('parse_modifiers() ' + message)}$"):
        q.parse_modifiers(*args, **kwargs)
