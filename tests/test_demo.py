"""The demo: its default embedding, its corpus sources and cache, and the program end to end."""
import gzip
import io
import json
import subprocess
import sys
import textwrap
from datetime import UTC, datetime

import numpy as np
import pytest

from quantelle import HashingEmbedder
from quantelle.demo import cache, sources
from quantelle.demo.cli import main

DOCS = [
    {"id": "json-read", "text": "Read a JSON document from a file and decode it into objects",
     "timestamp": "2024-03-01T12:00:00"},
    {"id": "json-write", "text": "Encode objects as JSON and write them to a file", "timestamp": 1.7e9},
    {"id": "xml-parse", "text": "Parse an XML file into an element tree"},
    {"id": "socket-send", "text": "Send bytes over a network socket to a remote host"},
    {"id": "http-get", "text": "Fetch a page from a web server over the network with HTTP"},
    {"id": "csv-rows", "text": "Read rows of comma separated values from a file"},
    {"id": "date-parse", "text": "Parse a date string such as 2024-01-31 into a date object"},
    {"id": "gzip", "text": "Compress and decompress data in the gzip format"},
    {"id": 42, "text": "Sort a list of numbers in place"},
]


def cosine(a, b):
    return float(np.dot(a, b))


def test_embedding_is_the_same_alone_in_a_batch_and_in_every_process(run_python):
    texts = ["read a json file", "", "send bytes over a socket", "parseJSON from_file"]
    batch, fresh = HashingEmbedder().embed_many(texts), HashingEmbedder()
    for i in (3, 0, 2):  # another order: the vocabulary grows differently
        assert np.array_equal(fresh(texts[i]), batch[i])
    code = "from quantelle import HashingEmbedder; print(HashingEmbedder()('parseJSON from_file').tobytes().hex())"
    outputs = {run_python(code, env={"PYTHONHASHSEED": seed}).stdout for seed in ("1", "2")}
    assert len(outputs) == 1 and bytes.fromhex(outputs.pop()) == batch[3].tobytes()


@pytest.mark.parametrize("text, norm", [("Read a JSON file", 1.0), ("the and of", 0.0), ("!!! ---", 0.0)],
                         ids=["words", "stop-words", "punctuation"])
def test_embedding_is_unit_length_or_zero(text, norm):
    v = HashingEmbedder()(text)
    assert v.dtype == np.float32 and v.shape == (384,)
    assert np.linalg.norm(v) == pytest.approx(norm, abs=1e-6)


@pytest.mark.parametrize("anchor, near, far", [
    ("parse a json file", "parsing JSON files", "open a network socket"),
    ("readFile", "read_file", "write_socket"),
    ("decompress gzip data", "gzip decompression", "date arithmetic"),
], ids=["inflections", "identifiers", "word-pieces"])
def test_embedding_puts_shared_words_and_pieces_nearer(anchor, near, far):
    e = HashingEmbedder()
    assert cosine(e(anchor), e(near)) > cosine(e(anchor), e(far)) + 0.2


def test_fitted_weights_favour_rare_words():
    texts = ["compress data with gzip", "data tables", "data streams", "data frames", "sort data"]
    plain, fitted = HashingEmbedder(), HashingEmbedder().fitted(texts)
    assert fitted.idf["gzip"] > fitted.idf["data"]

    def margin(e):  # how much nearer the gzip text is than the next best, for a query of both words
        sims = sorted((cosine(e("gzip data"), e(t)) for t in texts), reverse=True)
        return sims[0] - sims[1]

    assert margin(fitted) > margin(plain) + 0.1
    assert fitted("a word never seen").any()


def test_stdlib_documents_come_from_every_definition_found_by_ast(tmp_path):
    (tmp_path / "pkg").mkdir()
    (tmp_path / "pkg" / "__init__.py").write_text('"""The package."""\n')
    (tmp_path / "pkg" / "mod.py").write_text(textwrap.dedent('''\
        """Module doc.

        More text."""
        import sys
        class Thing:
            """A thing."""
            def method(self):
                """Do it."""
                def inner():
                    """Nested."""
            @property
            def value(self):
                """Getter."""
            @value.setter
            def value(self, v):
                """Setter."""
        if sys.platform == "x":
            def chosen():
                """Variant one."""
        else:
            def chosen():
                """Variant two."""
        try:
            pass
        except ImportError:
            async def fallback():
                """In a handler."""
        def undocumented():
            pass
        x = "\\d"  # an old escape: a SyntaxWarning, not an error
    '''))
    for path, text in [("broken.py", "def (:\n"), ("site-packages/third.py", '"""Not the stdlib."""\n'),
                       ("lib-dynload/odd.py", '"""Not importable."""\n')]:
        (tmp_path / path).parent.mkdir(exist_ok=True)
        (tmp_path / path).write_text(text)
    docs = {d.id: d for d in sources.stdlib_documents(tmp_path)}
    assert sorted(docs) == ["pkg", "pkg.mod", "pkg.mod.Thing", "pkg.mod.Thing.method", "pkg.mod.Thing.method.inner",
                            "pkg.mod.Thing.value", "pkg.mod.Thing.value#2", "pkg.mod.chosen", "pkg.mod.chosen#2",
                            "pkg.mod.fallback"]
    assert docs["pkg.mod"].excerpt == "Module doc."
    assert docs["pkg.mod.Thing.method"].text == "pkg.mod.Thing.method (function): Do it."
    assert docs["pkg.mod.chosen#2"].excerpt == "Variant two."
    assert all(d.timestamp is None for d in docs.values())


def write_changelog(path, entries):
    path.parent.mkdir(parents=True)
    with gzip.open(path, "wt") as f:
        for source, version, lines, date in entries:
            f.write(f"{source} ({version}) unstable; urgency=medium\n\n" + "".join(f"  {line}\n" for line in lines))
            f.write(f"\n -- Some One <someone@example.org>  {date}\n\n")


def test_changelog_entries_are_dated_and_kept_once(tmp_path):
    shared = ("libfoo", "1.2-1", ["* Fix a crash when parsing empty input.", "[ Some One ]",
                                  "* Security: CVE-2024-0001."], "Tue, 05 Mar 2024 10:00:00 +0100")
    write_changelog(tmp_path / "libfoo1" / "changelog.Debian.gz",
                    [shared, ("libfoo", "1.1-1", ["* Initial release."], "Mon, 01 Jan 2024 00:00:00 +0000")])
    write_changelog(tmp_path / "libfoo-dev" / "changelog.Debian.gz", [shared])
    write_changelog(tmp_path / "bar" / "changelog.Debian.gz", [("bar", "2.0", ["* Something."], "not a date")])
    docs = {d.id: d for d in sources.changelog_documents(tmp_path)}
    assert sorted(docs) == ["debian:libfoo/1.1-1", "debian:libfoo/1.2-1"]
    fix = docs["debian:libfoo/1.2-1"]
    assert fix.timestamp == datetime(2024, 3, 5, 9, 0, tzinfo=UTC).timestamp()
    assert fix.excerpt == "Fix a crash when parsing empty input."
    assert fix.text == "libfoo 1.2-1: Fix a crash when parsing empty input. Security: CVE-2024-0001."
    assert sources.changelog_documents(tmp_path / "missing") == []


def test_the_real_corpus_has_ten_thousand_documents():
    # The standard library (with its test suite where installed) and Debian changelogs where present.
    assert len(sources.stdlib_documents()) + len(sources.changelog_documents()) >= 10_000


def test_cache_round_trip_and_misses(tmp_path):
    saved = cache.Cached([f"id{i}" for i in range(3)], [f"excerpt {i}" for i in range(3)],
                         np.array([1.0e9, np.nan, 2.0e9]), np.eye(3, 4, dtype=np.float32), {"gzip": 3.5, "data": 1.25})
    assert cache.save(tmp_path, "k", saved) is not None
    loaded = cache.load(tmp_path, "k", 4)
    assert (loaded.ids, loaded.excerpts, loaded.idf) == (saved.ids, saved.excerpts, saved.idf)
    assert np.array_equal(loaded.matrix, saved.matrix)
    assert np.array_equal(loaded.timestamps, saved.timestamps, equal_nan=True)
    assert cache.load(tmp_path, "k", 5) is None  # another embedding dimension
    assert cache.load(tmp_path, "other", 4) is None
    next(tmp_path.glob("corpus-k.npz")).write_bytes(b"PK\x03\x04 truncated")
    assert cache.load(tmp_path, "k", 4) is None


def test_cache_key_follows_the_files(tmp_path):
    f, j = tmp_path / "a.py", tmp_path / "c.jsonl"
    f.write_text("x")
    key = cache.cache_key("stdlib", "emb", [f])
    assert cache.cache_key("stdlib", "emb", [f]) == key != cache.cache_key("stdlib", "other-emb", [f])
    f.write_text("xy")
    assert cache.cache_key("stdlib", "emb", [f]) != key
    j.write_text("1")
    before = cache.cache_key("jsonl", "emb", [], [j])
    j.write_text("2")  # same size: the content decides
    assert cache.cache_key("jsonl", "emb", [], [j]) != before


@pytest.fixture
def corpus_file(tmp_path):
    path = tmp_path / "small.jsonl"
    path.write_text("".join(json.dumps(d) + "\n" for d in DOCS) + "\n")  # a blank line is skipped
    return path


def run_demo(*args, stdin=None):
    return subprocess.run([sys.executable, "-m", "quantelle.demo", *map(str, args)], input=stdin,
                          capture_output=True, text=True, timeout=120)


def table(stdout):
    return [line.split() for line in stdout.splitlines() if line[:1].isdigit()]


def test_demo_searches_a_jsonl_corpus(corpus_file, tmp_path):
    args = ["--corpus", corpus_file, "--cache-dir", tmp_path / "cache", "-q", "read a json file"]
    first = run_demo(*args, "-m", "limit:3 unlike:xml detect_communities divers")
    assert first.returncode == 0, first.stderr
    assert "9 documents (2 dated)" in first.stdout
    rows = table(first.stdout)
    assert rows[0][:4] == ["1", "json-read", rows[0][2], "2024-03-01"]
    assert {r[1] for r in rows} == {"json-read", "json-write", "csv-rows"}
    assert "modulations: contrastive penalty against 'xml'; limit 3" in first.stdout
    assert "note: local_communities: ignored" in first.stdout
    assert "note: 'divers' was ignored: not a modifier; did you mean diverse?" in first.stdout
    assert "search: " in first.stdout and "Embedding with hashing-v1-384" in first.stderr
    again = run_demo(*args, "-m", "limit:3 unlike:xml")
    assert "loaded from the cache" in again.stdout and table(again.stdout) == rows


def demo(capsys, *args):
    code = main([str(a) for a in args])
    return code, *capsys.readouterr()


def test_demo_json_prints_only_the_result(corpus_file, capsys):
    args = ["--corpus", corpus_file, "--no-cache", "-q", "json file", "-m", "recent limt:2"]
    code, out, err = demo(capsys, *args, "--json")
    result = json.loads(out)  # the whole of stdout is one JSON document
    assert code == 0 and "9 documents" in err
    rows = table(demo(capsys, *args)[1])
    assert [(h["id"], f"{h['score']:.4f}") for h in result["hits"]] == [(r[1], r[2]) for r in rows]
    assert len(rows) == 9 and result["applied"] == ["temporal decay, half-life 30 days"]
    assert [n[:8] for n in result["notes"]] == ["'limt:2'", "recent: "]
    assert "7 of 9 hits are undated" in result["notes"][1]


def test_demo_prompt_answers_help_and_each_line(corpus_file, capsys, monkeypatch):
    monkeypatch.setattr(sys, "stdin", io.StringIO("help\nsend data over the network | limit:1\n\ncompress\n"))
    code, out, err = demo(capsys, "--corpus", corpus_file, "--no-cache", "-m", "limit:2", "--json")
    assert code == 0 and "from: A to: B" in err and "e.g. like:" in err
    # limit:1, then the default limit:2
    assert [[h["id"] for h in json.loads(line)["hits"]] for line in out.splitlines()] == \
        [["socket-send"], ["gzip", "http-get"]]


@pytest.mark.parametrize("wide", [False, True], ids=["second-line", "wide"])
def test_demo_shows_whole_ids_that_like_accepts(tmp_path, capsys, monkeypatch, wide):
    long_id = "importlib.metadata._meta.PackageMetadata.json_and_then_some_more"
    path = tmp_path / "c.jsonl"
    path.write_text("".join(json.dumps({"id": i, "text": t}) + "\n"
                            for i, t in ((long_id, "package metadata"), ("b", "send bytes"))))
    monkeypatch.setenv("COLUMNS", "80")
    code, out, _ = demo(capsys, "--corpus", path, "--no-cache", "-q", "metadata", *["--wide"] * wide)
    first = table(out)[0]
    assert code == 0 and first[1] == long_id and (len(first) > 2) == wide
    code, out, _ = demo(capsys, "--corpus", path, "--no-cache", "-q", "b", "-m", f"like:{first[1]}")
    assert code == 0 and "blended with the centroid of " + long_id in out


def line(record):
    return record if isinstance(record, str) else json.dumps(record)


GOOD = {"id": "a", "text": "x"}


@pytest.mark.parametrize("lines, args, line_no, message", [
    ([GOOD, '{"id": "b", "text": "caf\xe9"}'], [], 2, "byte 25 is not UTF-8; save the file as UTF-8"),
    ([GOOD, "{oops"], [], 2, "not JSON (Expecting property name"),
    (['["a", "x"]'], [], 1, "expected an object with 'id' and 'text', got a JSON list"),
    ([{"text": "x"}], [], 1, "'id' must be a non-empty string, got missing"),
    ([{"id": ["a"], "text": "x"}], [], 1, "'id' must be a non-empty string, got ['a']"),
    ([{"id": "a", "text": 3}], [], 1, "'text' must be a string, got int"),
    ([GOOD, {"id": "b"}], [], 2, "'text' must be a string, got nothing"),
    ([GOOD, {"id": "b", "text": "y"}, GOOD], [], 3, "id 'a' occurs more than once (first on line 1)"),
    ([{**GOOD, "timestamp": 1700000000000}], [], 1, "'timestamp' 1700000000000 lies beyond the year 9999; "
                                                    "it looks like milliseconds since the epoch: divide by 1000"),
    ([{**GOOD, "timestamp": 1.7e15}], [], 1, "'timestamp' 1700000000000000 lies beyond the year 9999; "
                                             "it looks like microseconds"),
    ([{**GOOD, "timestamp": 1e300}], [], 1, "'timestamp' 1e+300 lies beyond the year 9999: timestamps are seconds"),
    (['{"id": "a", "text": "x", "timestamp": NaN}'], [], 1, "'timestamp' NaN is not a date: leave 'timestamp' out"),
    ([{**GOOD, "timestamp": "yesterday"}], [], 1, "'timestamp' 'yesterday' is not an ISO 8601 date"),
    ([{**GOOD, "timestamp": True}], [], 1, "'timestamp' must be a number or an ISO 8601"),
    ([""], [], None, "no documents"),
    (None, [], None, "No such file or directory"),
    ([GOOD], ["-m", "like:nope"], 0, "like: 'nope' not in the corpus"),
    ([GOOD], ["-m", "recent:0"], 0, "recent:0: the half-life must be a positive number of days"),
    ([GOOD], ["--model", "no-such-model"], 0, "a sentence-embedding model needs"),
], ids=["latin1", "not-json", "not-object", "no-id", "id-not-str", "text-not-str", "no-text", "duplicate",
        "milliseconds", "microseconds", "huge", "nan", "bad-date", "bool-date", "empty", "missing",
        "unknown-like", "zero-half-life", "model-unavailable"])
def test_demo_rejects_bad_input(tmp_path, capsys, monkeypatch, lines, args, line_no, message):
    for name in ("HF_HUB_OFFLINE", "TRANSFORMERS_OFFLINE"):  # set by the model loader
        monkeypatch.setenv(name, "1")
    path = tmp_path / "c.jsonl"
    if lines is not None:
        path.write_bytes("".join(line(r) + "\n" for r in lines).encode("latin-1"))
    code, out, err = demo(capsys, "--corpus", path, "--no-cache", "-q", "x", *args)
    where = "" if line_no == 0 else f"{path}: " if line_no is None else f"{path}:{line_no}: "
    assert code == 2 and err.splitlines()[-1].startswith(f"error: {where}{message}"), err
