"""The benchmark runs end to end on one tiny grid point and agrees with its NumPy peer."""
# No speed is asserted: speed is measured only by `make bench`.
import json
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def test_bench_runs_and_agrees_with_numpy(tmp_path):
    out = tmp_path / "bench.json"
    done = subprocess.run([sys.executable, str(ROOT / "bench" / "run.py"), "--sizes", "2500x48", "--repeat", "2",
                           "--sample-ms", "0.2", "--warmup", "0.01", "--json", str(out)],
                          capture_output=True, text=True, timeout=120, cwd=ROOT)
    assert done.returncode == 0, done.stdout + done.stderr
    (point,) = json.loads(out.read_text())["points"]
    assert point["agreement"]["numpy_top10_same"] is True
