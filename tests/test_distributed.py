"""sharded_cases.py in an interpreter of its own: a cluster's threads would disturb the leak checks."""
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("distributed", reason="the distributed extra is not installed")


@pytest.mark.parametrize("name", ["sharded_cases.py", "sharded_trust_cases.py"])
def test_sharded_search_cases(name):
    cases = str(Path(__file__).with_name(name))
    run = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", cases],
                         capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stdout[-4000:] + run.stderr[-2000:]
