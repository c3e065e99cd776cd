"""The benchmark still runs end to end (on one tiny grid point). It asserts no speed: speed is
measured only by `make bench`. Peers that are not installed are skipped by the bench itself."""
import importlib.util
import json
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


@pytest.fixture(scope="module")
def result(tmp_path_factory):
    out = tmp_path_factory.mktemp("bench") / "bench.json"
    done = subprocess.run([sys.executable, str(ROOT / "bench" / "run.py"), "--sizes", "2500x48", "--repeat", "2",
                           "--sample-ms", "0.2", "--warmup", "0.01", "--json", str(out)],
                          capture_output=True, text=True, timeout=120, cwd=ROOT)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "Targets" in done.stdout
    return json.loads(out.read_text())


def installed(module):
    return importlib.util.find_spec(module) is not None


def test_every_case_of_the_module_is_measured_and_the_report_carries_its_facts(result):
    (point,) = result["points"]
    assert (point["n"], point["d"]) == (2500, 48)
    for key in ("score.plain", "score.diverse", "score.all", "score.pre_filter", "convert.bare", "convert.ids",
                "convert.pre_filter", "numpy.default", "mmr.quantelle.200.10", "mmr.quantelle.200.200",
                "mmr.quantelle.2000.10", "mmr.quantelle.2000.2000"):
        case = point["cases"][key]
        assert len(case["samples_s"]) == 2 and case["median_s"] > 0, key
    assert point["agreement"]["numpy_top10_same"] is True
    assert not installed("faiss") or point["agreement"]["faiss_top10_same"] is True
    assert {t["target"][:2] for t in result["targets"]} >= {"1a", "2.", "3.", "4.", "6.", "7."}
    assert result["environment"]["numpy"] and result["machine"]["cpus"] >= 1
    assert "VmHWM" in result["memory_method"]


@pytest.mark.skipif(shutil.which("cc") is None and shutil.which("gcc") is None, reason="no C compiler")
def test_the_floor_is_built_and_is_the_ratio_base(result):
    cases = result["points"][0]["cases"]
    assert all(cases[key]["gb_per_s"] > 0 for key in ("floor.read", "floor.gather", "floor.matvec"))
    assert cases["floor.read"]["ratios"]["floor.read"] == 1.0 and "floor.read" in cases["score.plain"]["ratios"]


@pytest.mark.parametrize("module, keys", [
    ("threadpoolctl", ["numpy.1t", "mmr.numpy.2000.10", "mmr.gram.2000"]),
    ("faiss", ["faiss.index", "faiss.knn"]),
], ids=["numpy-one-thread", "faiss"])
def test_installed_peers_are_measured(result, module, keys):
    if not installed(module):
        pytest.skip(f"{module} is not installed")
    assert all(result["points"][0]["cases"][key]["median_s"] > 0 for key in keys)
