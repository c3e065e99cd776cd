"""The benchmarks run end to end on tiny sizes and agree with their peers (NumPy; one process)."""
# No speed is asserted: speed is measured only by `make bench`.
import json
import subprocess
import sys
from pathlib import Path

import pytest

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


def test_sharded_bench_runs_and_agrees_with_one_process(tmp_path):
    pytest.importorskip("distributed", reason="the distributed extra is not installed")
    agree = bench(tmp_path, "sharded.py", "--rows", "2000", "--tiny", "200", "--repeat", "2",
                  "--throughput-seconds", "0.1", "--sweep", "1,2", timeout=300)["agree"]
    assert len(agree) == 2 * 2 * 4 + 2 and all(agree.values()), agree  # and within= on 1 and 2 workers
