"""The benchmarks run end to end on tiny sizes and agree with their peers (NumPy; one process)."""
# No speed is asserted: speed is measured only by `make bench`.
import json
import os
import subprocess
import sys
import threading
from pathlib import Path

import pytest

import quantelle

ROOT = Path(__file__).resolve().parent.parent


def bench(tmp_path, script, *args, timeout):
    out = tmp_path / "bench.json"
    done = subprocess.run([sys.executable, str(ROOT / "bench" / script), *args, "--json", str(out)],
                          capture_output=True, text=True, timeout=timeout, cwd=ROOT)
    assert done.returncode == 0, done.stdout + done.stderr[-3000:]
    return json.loads(out.read_text())


def test_bench_runs_and_agrees_with_numpy(tmp_path):
    (point,) = bench(tmp_path, "run.py", "--sizes", "2500x48", "--repeat", "2", "--sample-ms", "0.2",
                     "--warmup", "0.01", timeout=120)["points"]
    assert point["agreement"]["numpy_top10_same"] is True


def test_engine_group_runs_and_agrees_with_the_module(tmp_path):
    """Every engine case on a tiny point, one kernel table in a process of its own, 64 queries at
    once even below the usual size; search_many only where the layer has it."""
    result = bench(tmp_path, "run.py", "--sizes", "3000x32", "--only", "floor,engine,numpy,usearch",
                   "--repeat", "1", "--sample-ms", "0.2", "--warmup", "0.01", "--many-from", "0",
                   "--engine-kernels", "scalar", timeout=180)
    (point,) = result["points"]
    cases, agreement = point["cases"], point["agreement"]
    engine = {"engine.search.1t", "engine.search.Nt", "engine.callers", "engine.kernel.scalar.1t",
              "engine.kernel.scalar.Nt"}
    if len(os.sched_getaffinity(0)) == 1:
        engine = {k for k in engine if not k.endswith(("Nt", "callers"))}
    assert engine <= cases.keys()
    assert all(v is True for k, v in agreement.items() if k.startswith("engine_")), agreement
    many = hasattr(quantelle.Corpus, "search_many")
    assert ("engine.many.Nt" in cases) is many and ("engine_many_same_as_search" in agreement) is many
    assert ("many.numpy.Nt" in cases) is many  # the peers come along with search_many alone
    assert any(t["target"].startswith("E") for t in result["targets"])


def test_engine_group_times_search_many_where_the_layer_has_it(tmp_path, monkeypatch):
    """The 64-query wiring, in process, with search_many standing in as single searches where
    the layer does not have it yet."""
    if not hasattr(quantelle.Corpus, "search_many"):
        monkeypatch.setattr(quantelle.Corpus, "search_many", lambda self, queries, modifiers="":
                            [self.search(q, modifiers) for q in queries], raising=False)
    monkeypatch.syspath_prepend(str(ROOT / "bench"))
    import run

    out, threads = tmp_path / "bench.json", quantelle.get_num_threads()
    try:
        assert run.main(["--sizes", "600x16", "--only", "engine,numpy", "--repeat", "1", "--many-repeat", "1",
                         "--sample-ms", "0.1", "--warmup", "0", "--many-from", "0", "--json", str(out)]) == 0
    finally:
        quantelle.set_num_threads(threads)  # the engine cases set the layer's count
    (point,) = json.loads(out.read_text())["points"]
    assert {"engine.many.Nt", "many.numpy.Nt"} <= point["cases"].keys()
    assert "many.tiles" not in point["cases"]  # the many group itself was left out
    assert point["agreement"]["engine_many_same_as_search"] is True


@pytest.mark.parametrize("count, reps, fails", [(1, 3, False), (2, 1, False), (3, 4, False), (3, 2, True)])
def test_callers_make_every_call_on_every_thread(count, reps, fails):
    """N callers is a throughput: a thread left idle, or a call lost, would inflate it."""
    sys.path.insert(0, str(ROOT / "bench"))
    try:
        from engine_cases import Callers
    finally:
        sys.path.remove(str(ROOT / "bench"))
    calls = []

    def call():
        calls.append(threading.get_ident())
        if fails:
            raise OSError("lost")

    callers = Callers(count, call)
    try:
        for _ in range(2):  # and again after a failed sample
            if fails:
                with pytest.raises(OSError, match="lost"):
                    callers.run(reps)
            else:
                callers.run(reps)
    finally:
        callers.close()
    assert len(calls) == 2 * count * (1 if fails else reps) and len(set(calls)) == count


def test_sharded_bench_runs_and_agrees_with_one_process(tmp_path):
    pytest.importorskip("distributed", reason="the distributed extra is not installed")
    agree = bench(tmp_path, "sharded.py", "--rows", "2000", "--tiny", "200", "--repeat", "2",
                  "--throughput-seconds", "0.1", "--sweep", "1,2", timeout=300)["agree"]
    assert len(agree) == 2 * 2 * 4 + 2 and all(agree.values()), agree  # and within= on 1 and 2 workers


def point(n, many_queries=64, bound=None, **medians):
    cases = {key.replace("_", "."): {"median_s": s, "extra_bytes": None} for key, s in medians.items()}
    return {"n": n, "d": 384, "cases": cases, "many_queries": many_queries, "compute_bound_per_query_s": bound}


# 64 queries at 100k rows on 2 threads: 1 ms per query against a bound of 0.5 ms per query on
# two threads (1 ms on one core), peers at 64, 128 and 32 ms per call.
MANY = dict(engine_many_Nt=0.064, many_numpy_Nt=0.064 * 2, many_faiss_Nt=0.064 * 3, many_usearch_Nt=0.064 * 0.5)


@pytest.mark.parametrize("p, expected", [
    (point(100_000, engine_search_Nt=0.0105, floor_read_Nt=0.01), {"E1": True}),
    (point(1_000_000, engine_search_Nt=0.0115, floor_read_Nt=0.01), {"E1": False}),
    # one caller 10 ms, two callers 11.7 ms per pair: 1.71 × (≥ 1.70 passes), 12 ms: 1.67 ×
    (point(100_000, engine_search_1t=0.010, engine_callers=0.0117), {"E4": True}),
    (point(100_000, engine_search_1t=0.010, engine_callers=0.012), {"E4": False}),
    (point(100_000, bound=0.001, engine_search_Nt=0.0081, **MANY), {"E5": False, "E6": True, "E7": True}),
    (point(100_000, bound=0.00049, engine_search_Nt=0.0079, **MANY), {"E6": False, "E7": False}),
])
def test_engine_targets_judge_per_query_and_per_thread(p, expected):
    """The 64-query targets divide by the queries, the compute bound by the threads, and N
    callers compare queries per second."""
    sys.path.insert(0, str(ROOT / "bench"))
    try:
        import engine_report
    finally:
        sys.path.remove(str(ROOT / "bench"))
    judged = {t["target"].split(".")[0]: t["pass"] for t in engine_report.targets([p], threads=2)}
    assert {k: judged.get(k) for k in expected} == expected
