"""The demo: its default embedding, its corpus sources and cache, and the program end to end."""
import gzip
import json
import subprocess
import sys
import textwrap
from datetime import UTC, datetime

import numpy as np
import pytest

from quantelle import HashingEmbedder
from quantelle.demo import cache, sources

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


def test_jsonl_documents(tmp_path):
    path = tmp_path / "c.jsonl"
    path.write_text("\n".join(json.dumps(d) for d in DOCS[:2] + DOCS[-1:]) + "\n\n")
    docs = sources.jsonl_documents(path)
    assert [d.id for d in docs] == ["json-read", "json-write", "42"]
    assert [d.timestamp for d in docs] == [datetime(2024, 3, 1, 12, tzinfo=UTC).timestamp(), 1.7e9, None]


@pytest.mark.parametrize("lines, message", [
    (['{"id": "a", "text": "x"}', "{oops"], r"c.jsonl:2: not JSON"),
    (['["a", "x"]'], r"c.jsonl:1: expected an object"),
    (['{"text": "x"}'], r"c.jsonl:1: 'id' must be a non-empty string"),
    (['{"id": "a", "text": 3}'], r"c.jsonl:1: 'text' must be a string"),
    (['{"id": "a", "text": "x", "timestamp": "yesterday"}'], r"'timestamp' 'yesterday' is not an ISO 8601"),
    (['{"id": "a", "text": "x", "timestamp": true}'], r"'timestamp' must be a number or an ISO 8601"),
    (['{"id": "a", "text": "x"}', '{"id": "a", "text": "y"}'], r"c.jsonl:2: id 'a' occurs more than once \(first on line 1\)"),
    (['{"id": "a", "text": "caf\xe9"}'], r"c.jsonl:1: byte 25 is not UTF-8"),
    (['{"id": "a", "text": "x", "timestamp": 1700000000000}'], r"c.jsonl:1: 'timestamp' .* milliseconds"),
    (['{"id": "a", "text": "x", "timestamp": 1e300}'], r"c.jsonl:1: 'timestamp' .* beyond the year 9999"),
    ([""], r"no documents"),
], ids=["not-json", "not-object", "no-id", "text-not-str", "bad-date", "bool-date", "duplicate", "latin1",
        "milliseconds", "huge", "empty"])
def test_jsonl_errors_name_the_line(tmp_path, lines, message):
    path = tmp_path / "c.jsonl"
    path.write_bytes(("\n".join(lines) + "\n").encode("latin-1"))
    with pytest.raises(sources.SourceError, match=message):
        sources.jsonl_documents(path)


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
    path.write_text("".join(json.dumps(d) + "\n" for d in DOCS))
    return path


def run_demo(*args, stdin=None):
    return subprocess.run([sys.executable, "-m", "quantelle.demo", *map(str, args)], input=stdin,
                          capture_output=True, text=True, timeout=120)


def table(stdout):
    return [line.split() for line in stdout.splitlines() if line[:1].isdigit()]


def test_demo_searches_a_jsonl_corpus(corpus_file, tmp_path):
    args = ["--corpus", corpus_file, "--cache-dir", tmp_path / "cache", "-q", "read a json file"]
    first = run_demo(*args, "-m", "limit:3 unlike:xml detect_communities")
    assert first.returncode == 0, first.stderr
    assert "9 documents (2 dated)" in first.stdout
    rows = table(first.stdout)
    assert rows[0][:4] == ["1", "json-read", rows[0][2], "2024-03-01"]
    assert {r[1] for r in rows} == {"json-read", "json-write", "csv-rows"}
    assert "modulations: contrastive penalty against 'xml'; limit 3" in first.stdout
    assert "note: local_communities: ignored" in first.stdout
    assert "search: " in first.stdout and "Embedding with hashing-v1-384" in first.stderr
    again = run_demo(*args, "-m", "limit:3 unlike:xml")
    assert "loaded from the cache" in again.stdout and table(again.stdout) == rows


def test_demo_prompts_without_a_query(corpus_file):
    done = run_demo("--corpus", corpus_file, "--no-cache", "-m", "limit:2",
                    stdin="send data over the network | limit:1\n\ncompress\n")
    assert done.returncode == 0, done.stderr
    # limit:1, then the default limit:2
    assert [(r[0], r[1]) for r in table(done.stdout)][:2] == [("1", "socket-send"), ("1", "gzip")]
    assert [r[0] for r in table(done.stdout)] == ["1", "1", "2"]


@pytest.mark.parametrize("content, args, message", [
    (None, ["-m", "like:nope"], "error: like: 'nope' not in the corpus"),
    (None, ["-m", "recent:0"], "error: recent:0: the half-life must be a positive"),
    (None, ["--model", "no-such-model"], "error: "),
    ('{"id": "a", "text": "x"}\n{"id": "b"}\n', [], "error: {corpus}:2: 'text' must be a string"),
    ("", [], "error: {corpus}: No such file or directory"),
], ids=["unknown-like", "zero-half-life", "model-unavailable", "malformed-corpus", "missing-corpus"])
def test_demo_reports_errors(corpus_file, tmp_path, content, args, message):
    if content is not None:  # a broken corpus: malformed, or missing when empty here
        corpus_file = tmp_path / "c.jsonl"
        if content:
            corpus_file.write_text(content)
    done = run_demo("--corpus", corpus_file, "--cache-dir", tmp_path / "cache", "-q", "x", *args)
    assert done.returncode == 2 and "Traceback" not in done.stderr
    assert any(line.startswith(message.format(corpus=corpus_file)) for line in done.stderr.splitlines())
