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
    assert type(got) is dict and got is not q.parse_modifiers(text)  # a new dict every call
    assert [(k, typed(v)) for k, v in got.items()] == [(k, typed(v)) for k, v in {**DEFAULTS, **changes}.items()]


TRAJ = {"trajectory_from": "a", "trajectory_to": "b"}
GRAMMAR = [
    ("none", None, {}),
    ("every-key", "recent diverse limit:5 recent:30 unlike:sports like:a12,b7 local_communities",
     {"recent": True, "diverse": True, "limit": 5, "recent_days": 30, "unlike": "sports", "like": ["a12", "b7"],
      "local_communities": True}),
    ("bare-recent-keeps-days", "recent:-7 recent detect_communities",
     {"recent": True, "recent_days": -7, "local_communities": True}),
    ("bad-numbers-keep-earlier", "limit:5 limit:x limit:-3 recent:5 recent:x",
     {"limit": 5, "recent": True, "recent_days": 5}),
    ("later-wins", "limit:5 limit:10 unlike:a unlike:b like:a,b like:c recent:5 recent:-2",
     {"limit": 10, "unlike": "b", "like": ["c"], "recent": True, "recent_days": -2}),
    ("case-sensitive", "Recent DIVERSE diverse: Local_communities", {}),
    ("empty-pieces", "unlike: sports like:a,,b,", {"unlike": "", "like": ["a", "", "b", ""]}),
    ("like-empty", "like:", {"like": [""]}),
    ("bare-recent-not-terminator", "from: a to: b recent", {**TRAJ, "trajectory_to": "b recent"}),
    # Each terminator ends the to-text, also inside a word.
    ("terminator-diverse", "from: a to: bdiverse", {**TRAJ, "diverse": True}),
    ("terminator-recent", "from: a to: b xrecent:3",
     {**TRAJ, "trajectory_to": "b x", "recent": True, "recent_days": 3}),
    # "unlike:" begins before the "like:" inside it, so it ends the clause and survives whole.
    ("terminator-unlike", "from: a to: bunlike:z", {**TRAJ, "unlike": "z"}),
    ("terminator-like", "from: a to: b like:x diverse", {**TRAJ, "like": ["x"], "diverse": True}),
    ("terminator-limit", "from: a to: b mylimit:4", {**TRAJ, "trajectory_to": "b my", "limit": 4}),
    ("terminator-local", "from: a to: b local_communitiesx", TRAJ),
    ("terminator-detect", "from: a to: b selectdetect_communities",
     {**TRAJ, "trajectory_to": "b select", "local_communities": True}),
    ("join-around-clause", "recentfrom: a to: b diverse", TRAJ),
    ("empty-from-discards", "from: to: dogs diverse", {"diverse": True}),
    ("empty-to-at-terminator", "from: a to: diverse", {"diverse": True}),
    ("no-to-marker", "from: a b", {}),
    ("first-markers-win", "from: a from: b to: c to: d", {"trajectory_from": "a from: b", "trajectory_to": "c to: d"}),
    ("to-before-from-no-blanks", " to: x from:a to:b", TRAJ),
    ("to-needs-ascii-blank", "from:a\tto:b", {}),
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
    ("above-i64-max", "9223372036854775808", None, I64_MAX + 1),
    ("zeros-before-i64-min", "-" + "0" * 40 + "9223372036854775808", I64_MIN, None),
    ("u64-max", "+18446744073709551615", None, U64_MAX),
    ("minus-zero", "-0", 0, None),
    ("leading-zeros", "000123", 123, 123),
] + [(f"invalid:{rest!a}", rest, None, None) for rest in ("", "-", "+", "--5", "+-5", "5x", "1_000", "\uff15",
                                                          "-9223372036854775809", "18446744073709551616", "9" * 23)]


@pytest.mark.parametrize("rest, days, limit", [n[1:] for n in NUMBERS], ids=[n[0] for n in NUMBERS])
def test_numbers_at_the_64_bit_limits(rest, days, limit):
    assert_parses("recent:" + rest, recent=True, recent_days=days)
    assert_parses("limit:" + rest, limit=limit)


@pytest.mark.parametrize("ch, blank", [(c, True) for c in WHITE_SPACE] + [(c, False) for c in NOT_WHITE_SPACE],
                         ids=[f"U+{ord(c):04X}" for c in WHITE_SPACE + NOT_WHITE_SPACE])
def test_white_space_is_unicode_white_space(ch, blank):
    assert_parses(f"{ch}recent{ch}{ch}diverse{ch}", recent=blank, diverse=blank)
    kept = "" if blank else ch  # what trimming leaves at the ends
    assert_parses(f"from:{ch}a{ch}b{ch} to:{ch}c{ch}diverse", trajectory_from=f"{kept}a{ch}b{kept}",
                  trajectory_to=f"{kept}c{kept}", diverse=True)
