"""The keywords of the modifier grammar as one table, and the notes on words it left unused.

`_quantelle.parse_modifiers` never says what it ignored. `unused_notes` names every word of a
modifier string that set nothing and is no trajectory text, with what was probably meant where
a word looks like a mistyped keyword. Whether a word set something is asked of the grammar
itself, one word at a time (its rules read one token each); the table below only names the
keywords for the hints, and `tests/test_grammar.py` checks it against the grammar.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from typing import TYPE_CHECKING

import _quantelle

if TYPE_CHECKING:
    from _quantelle import _Modifiers as Modifiers

__all__ = ["CLAUSE", "KEYWORDS", "WHITESPACE", "Keyword", "modifier_words", "unused_notes"]


@dataclass(frozen=True, slots=True)
class Keyword:
    """A word of the grammar: a flag (no `value`) or a ``word:value`` prefix."""

    word: str
    key: str  # the key of `parse_modifiers`'s result that it sets
    value: str = ""  # what must follow the colon, in words


KEYWORDS = (
    Keyword("diverse", "diverse"),
    Keyword("recent", "recent"),
    Keyword("local_communities", "local_communities"),
    Keyword("detect_communities", "local_communities"),
    Keyword("recent", "recent_days", "a whole number"),
    Keyword("unlike", "unlike", "a text"),
    Keyword("limit", "limit", "a whole number"),
    Keyword("like", "like", "ids"),
)
CLAUSE = ("from:", " to:")
"""The markers of the trajectory clause, whose texts may hold blanks."""

# What the grammar splits tokens at: Unicode's White_Space, which str.split() is not (it also
# splits at U+001C to U+001F).
WHITESPACE = "\t\n\v\f\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B))) + \
    "\u2028\u2029\u202f\u205f\u3000"
_TOKEN = re.compile(f"[^{re.escape(WHITESPACE)}]+")

_FLAGS = tuple(k.word for k in KEYWORDS if not k.value)
_VALUED = tuple(k.word for k in KEYWORDS if k.value) + tuple(m.strip(" :") for m in CLAUSE)
_NAMED_VALUE = re.compile(r"([A-Za-z_]+):(.*)")
_DEFAULTS = _quantelle.parse_modifiers(None)


def _sets_something(parsed: Modifiers) -> bool:
    return tuple(parsed.values()) != tuple(_DEFAULTS.values())  # the keys come in one order


def _outside_clause(modifiers: str, parsed: Modifiers) -> str:
    """What the grammar tokenises of `modifiers`: all of it, or, when it took a trajectory
    clause, the text before ``from:`` joined to what follows the clause."""
    end_text = parsed["trajectory_to"]
    if parsed["trajectory_from"] is None or end_text is None:
        return modifiers
    opening, closing = CLAUSE
    start = modifiers.find(opening)
    after = modifiers[start + len(opening):]
    tail = after[after.find(closing) + len(closing):]
    # The end text is the tail trimmed, up to the first keyword that ends the clause.
    lead = len(tail) - len(tail.lstrip(WHITESPACE))
    return modifiers[:start] + tail[lead + len(end_text):].lstrip(WHITESPACE)


def modifier_words(text: str) -> tuple[list[str], list[str]]:
    """The words of `text` that the grammar reads as modifiers (a trajectory clause as one),
    and the others."""
    parsed = _quantelle.parse_modifiers(text)
    read: list[str] = []
    others: list[str] = []
    for token in _TOKEN.findall(_outside_clause(text, parsed)):
        (read if _sets_something(_quantelle.parse_modifiers(token)) else others).append(token)
    if parsed["trajectory_from"] is not None:
        read.append(f"from: {parsed['trajectory_from']} to: {parsed['trajectory_to']}")
    return read, others


def unused_notes(modifiers: str | None, parsed: Modifiers) -> list[str]:
    """One note per word of `modifiers` that set nothing (or only part of what it says), with a
    hint where it looks like a mistyped keyword; one note for all the other words."""
    if not modifiers:
        return []
    notes: list[str] = []
    plain: list[str] = []
    for token in _TOKEN.findall(_outside_clause(modifiers, parsed)):
        got = _quantelle.parse_modifiers(token)
        if _sets_something(got):
            word, colon, value = token.partition(":")
            if word == "recent" and colon and value and got["recent_days"] is None:
                notes.append(f"{token!r} was read as plain recent: recent: needs a whole number "
                             "of days right after the colon")
            continue
        note = _suspect(token)
        if note is None:
            plain.append(token)
        else:
            notes.append(note)
    if plain:
        names = ", ".join(map(repr, plain[:-1])) + " and " * (len(plain) > 1) + repr(plain[-1])
        notes.append(f"{names} {'was' if len(plain) == 1 else 'were'} ignored: "
                     f"{'not a modifier' if len(plain) == 1 else 'not modifiers'}")
    return notes


def _suspect(token: str) -> str | None:
    """The note on a token that set nothing but looks like a keyword: ``word:value`` with a
    word of letters (a URL's ``//`` after the colon, ``3:30pm`` and ``c++`` are not), or a bare
    word that differs from a flag only by case, trailing punctuation, or a letter dropped, added
    or swapped."""
    m = _NAMED_VALUE.fullmatch(token)
    if m and not m[2].startswith("/"):
        word, value = m[1], m[2]
        if word in (c.strip(" :") for c in CLAUSE):
            return (f"{token!r} was ignored: a trajectory is 'from: TEXT to: TEXT', both texts "
                    "not empty")
        needs = next((k.value for k in KEYWORDS if k.value and k.word == word), None)
        if needs is not None:
            return (f"{token!r} was ignored: {word}: needs "
                    f"{needs if needs == 'a whole number' else 'a value'} right after the colon")
        meant = [n for n in _VALUED if word.lower() == n or _near(word.lower(), n, 1 if len(n) < 5 else 2)]
        hint = f"; did you mean {meant[0]}:{value}?" if meant else \
            f"; modifiers are {', '.join(n + ':' for n in _VALUED)} and {', '.join(_FLAGS)}"
        return f"{token!r} was ignored: no modifier is called {word}:{hint}"
    bare = token.rstrip(",;.")
    meant = [n for n in _FLAGS if bare != token and bare == n or bare.lower() == n
             or _slip(bare.lower(), n)]
    if meant and ":" not in token:
        return f"{token!r} was ignored: not a modifier; did you mean {meant[0]}?"
    return None


def _near(word: str, name: str, limit: int) -> bool:
    """Within `limit` edits (a letter dropped, added, changed, or two adjacent swapped)."""
    if abs(len(word) - len(name)) > limit:
        return False
    prev2: list[int] = []
    prev = list(range(len(name) + 1))
    for i, a in enumerate(word, 1):
        row = [i]
        for j, b in enumerate(name, 1):
            d = min(prev[j] + 1, row[j - 1] + 1, prev[j - 1] + (a != b))
            if i > 1 and j > 1 and a == name[j - 2] and word[i - 2] == b:
                d = min(d, prev2[j - 2] + 1)
            row.append(d)
        prev2, prev = prev, row
    return prev[-1] <= limit


def _slip(word: str, name: str) -> bool:
    # A bare word is a typo only by a letter dropped, added or swapped, not changed: 'decent' and
    # 'diverge' are words of their own, 'divers' and 'recnet' are not.
    return len(word) >= 4 and len(word) != len(name) and _near(word, name, 1) or (
        len(word) == len(name) and sorted(word) == sorted(name) and _near(word, name, 1))
