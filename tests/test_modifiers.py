"""parse_modifiers: the grammar, its trajectory clause, numbers at the 64-bit limits, Unicode white space."""
import pytest

import _quantelle as q

DEFAULTS = {"recent": False, "recent_days": None, "unlike": None, "diverse": False, "limit": None, "like": None,
            "trajectory_from": None, "trajectory_to": None, "local_communities": False}
# Every code point with the White_Space property.
WHITE_SPACE = [chr(c) for c in (*range(0x09, 0x0E), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B),
                                0x2028, 0x2029, 0x202F, 0x205F, 0x3000)]
# Invisible or blank-looking, but not White_Space: they stay inside tokens and texts.
NOT_WHITE_SPACE = ["\u200b", "\u180e", "\ufeff", "\u2060", "\u200d", "\x00", "\x1c", "\x1f"]
I64_MIN, I64_MAX, U64_MAX = -(2**63), 2**63 - 1, 2**64 - 1


def typed(value):
    # bool vs int and list-of-str must be pinned, not just equality (True == 1).
    return ("list", [(type(x), x) for x in value]) if isinstance(value, list) else (type(value), value)


def assert_parses(text, **changes):
    """The result is a dict with every key, in order, of the expected types and values."""
    got = q.parse_modifiers(text)
    assert type(got) is dict
    assert [(k, typed(v)) for k, v in got.items()] == [(k, typed(v)) for k, v in {**DEFAULTS, **changes}.items()]


TRAJ = {"trajectory_from": "a", "trajectory_to": "b"}
GRAMMAR = [
    ("none", None, {}),
    ("empty", "", {}),
    ("blanks", "   ", {}),
    ("flags-and-limit", "recent diverse limit:5", {"recent": True, "diverse": True, "limit": 5}),
    ("days-unlike-like", "recent:30 unlike:sports like:a12,b7",
     {"recent": True, "recent_days": 30, "unlike": "sports", "like": ["a12", "b7"]}),
    ("bare-recent-keeps-days", "recent:-7 recent", {"recent": True, "recent_days": -7}),
    ("bad-days", "recent:abc", {"recent": True}),
    ("empty-days", "recent:", {"recent": True}),
    ("bad-limits-keep-first", "limit:5 limit:x limit:-3", {"limit": 5}),
    ("case-sensitive", "Recent DIVERSE diverse:", {}),
    ("unlike-empty", "unlike: sports", {"unlike": ""}),
    ("like-empty-pieces", "like:a,,b,", {"like": ["a", "", "b", ""]}),
    ("like-empty", "like:", {"like": [""]}),
    ("detect-communities", "detect_communities", {"local_communities": True}),
    ("local-communities", "local_communities", {"local_communities": True}),
    ("later-limit-wins", "limit:5 limit:10", {"limit": 10}),
    ("bad-limit-keeps", "limit:5 limit:18446744073709551616", {"limit": 5}),
    ("later-unlike-wins", "unlike:a unlike:b", {"unlike": "b"}),
    ("later-empty-unlike-wins", "unlike:a unlike:", {"unlike": ""}),
    ("like-replaces-list", "like:a,b like:c", {"like": ["c"]}),
    ("bad-days-keep", "recent:5 recent:x", {"recent": True, "recent_days": 5}),
    ("later-days-win", "recent:5 recent:-2", {"recent": True, "recent_days": -2}),
    ("flag-twice", "diverse diverse", {"diverse": True}),
    ("clause", "from: cats to: dogs diverse", {"trajectory_from": "cats", "trajectory_to": "dogs", "diverse": True}),
    ("clause-in-middle", "recent from: early work to: late work limit:20",
     {"recent": True, "trajectory_from": "early work", "trajectory_to": "late work", "limit": 20}),
    ("bare-recent-not-terminator", "from: a to: b recent", {**TRAJ, "trajectory_to": "b recent"}),
    ("clause-no-blanks", "from:a to:b", TRAJ),
    ("terminator-in-word", "from: a to: bdiverse", {**TRAJ, "diverse": True}),
    ("join-around-clause", "recentfrom: a to: b diverse", TRAJ),
    ("empty-from-discards", "from: to: dogs diverse", {"diverse": True}),
    ("empty-to-discards", "from: a to:", {}),
    ("no-to-marker", "from: a b", {}),
    ("recent-colon-in-word", "from: a to: b xrecent:3", {**TRAJ, "trajectory_to": "b x", "recent": True,
                                                         "recent_days": 3}),
    # "unlike:" begins before the "like:" inside it, so it ends the clause and survives whole.
    ("unlike-before-like", "from: a to: bunlike:z", {**TRAJ, "unlike": "z"}),
    ("limit-in-word", "from: a to: b mylimit:4", {**TRAJ, "trajectory_to": "b my", "limit": 4}),
    ("detect-in-word", "from: a to: b selectdetect_communities",
     {**TRAJ, "trajectory_to": "b select", "local_communities": True}),
    ("local-needs-exact-token", "from: a to: b local_communitiesx", TRAJ),
    ("case-and-bare-words", "from: a to: b recently Diverse", {**TRAJ, "trajectory_to": "b recently Diverse"}),
    ("like-ends-clause", "from: a to: b like:x diverse", {**TRAJ, "like": ["x"], "diverse": True}),
    ("from-in-word", "xfrom: a to: b", TRAJ),
    ("token-before-from", "recent:5from: a to: b", {**TRAJ, "recent": True, "recent_days": 5}),
    ("join-makes-unlike", "unfrom: a to: b like:x", {**TRAJ, "unlike": "x"}),
    ("join-keeps-like", "like:xfrom: a to: b,y", {**TRAJ, "trajectory_to": "b,y", "like": ["x"]}),
    ("first-to-wins", "from: a to: b to: c", {**TRAJ, "trajectory_to": "b to: c"}),
    ("first-from-wins", "from: a from: b to: c", {"trajectory_from": "a from: b", "trajectory_to": "c"}),
    ("to-before-from", " to: x from: a to: b", TRAJ),
    ("to-needs-blank", "from: a,to: b", {}),
    ("to-needs-ascii-blank", "from:a\tto:b", {}),
    ("empty-to-at-terminator", "from: a to: diverse", {"diverse": True}),
    ("second-clause-tokenised", "from: x to: y limit:3 from: p to: q",
     {"trajectory_from": "x", "trajectory_to": "y", "limit": 3}),
    ("non-ascii", "from: 東京 to: 大阪 unlike:café like:日本,😀",
     {"trajectory_from": "東京", "trajectory_to": "大阪", "unlike": "café", "like": ["日本", "😀"]}),
]


@pytest.mark.parametrize("text, changes", [g[1:] for g in GRAMMAR], ids=[g[0] for g in GRAMMAR])
def test_grammar(text, changes):
    assert_parses(text, **changes)


# The text after "recent:" and after "limit:", and the recent_days and limit it gives.
NUMBERS = [
    ("i64-min", "-9223372036854775808", I64_MIN, None),
    ("i64-max", "9223372036854775807", I64_MAX, I64_MAX),
    ("plus-i64-max", "+9223372036854775807", I64_MAX, I64_MAX),
    ("below-i64-min", "-9223372036854775809", None, None),
    ("above-i64-max", "9223372036854775808", None, I64_MAX + 1),
    ("zeros-before-i64-min", "-" + "0" * 40 + "9223372036854775808", I64_MIN, None),
    ("u64-max", "18446744073709551615", None, U64_MAX),
    ("plus-u64-max", "+18446744073709551615", None, U64_MAX),
    ("zeros-before-u64-max", "0" * 50 + "18446744073709551615", None, U64_MAX),
    ("above-u64-max", "18446744073709551616", None, None),
    ("far-above", "99999999999999999999999", None, None),
    ("zero", "0", 0, 0),
    ("minus-zero", "-0", 0, None),
    ("plus", "+5", 5, 5),
    ("negative", "-3", -3, None),
    ("leading-zeros", "000123", 123, 123),
    ("empty", "", None, None),
    ("minus-only", "-", None, None),
    ("plus-only", "+", None, None),
    ("double-minus", "--5", None, None),
    ("double-plus", "++1", None, None),
    ("mixed-signs", "+-5", None, None),
    ("decimal-point", "1.5", None, None),
    ("exponent", "1e3", None, None),
    ("underscore", "1_000", None, None),
    ("trailing-letter", "5x", None, None),
    ("space-is-a-separator", " 5", None, None),
    ("arabic-indic-digit", "\u0663", None, None),
    ("fullwidth-digit", "\uff15", None, None),
]


@pytest.mark.parametrize("rest, days, limit", [n[1:] for n in NUMBERS], ids=[n[0] for n in NUMBERS])
def test_numbers_at_the_64_bit_limits(rest, days, limit):
    assert_parses("recent:" + rest, recent=True, recent_days=days)
    assert_parses("limit:" + rest, limit=limit)


@pytest.mark.parametrize("ws", WHITE_SPACE, ids=[f"U+{ord(c):04X}" for c in WHITE_SPACE])
def test_every_white_space_separates_and_trims(ws):
    assert_parses(f"{ws}recent{ws}{ws}like:a,b{ws}", recent=True, like=["a", "b"])
    assert_parses(f"from:{ws}a{ws}b{ws} to:{ws}c{ws}diverse{ws}", trajectory_from=f"a{ws}b", trajectory_to="c",
                  diverse=True)
    assert_parses(ws * 3)


@pytest.mark.parametrize("ch", NOT_WHITE_SPACE, ids=[f"U+{ord(c):04X}" for c in NOT_WHITE_SPACE])
def test_look_alike_is_not_white_space(ch):
    assert_parses(f"recent{ch}diverse")
    assert_parses(f"unlike:a{ch}b", unlike=f"a{ch}b")
    assert_parses(f"from: {ch}a{ch} to: b{ch}", trajectory_from=f"{ch}a{ch}", trajectory_to=f"b{ch}")


def test_result_is_a_new_dict():
    first = q.parse_modifiers("like:a")
    first["like"].append("b")
    first["recent"] = True
    assert_parses("like:a", like=["a"])
