"""The sharded-search cases (sharded_cases.py), in an interpreter of their own: a cluster leaves
threads behind that would disturb the allocation counts of the leak checks in this process."""
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("distributed", reason="the distributed extra is not installed")


def test_sharded_search_cases():
    run = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                          str(Path(__file__).with_name("sharded_cases.py"))], capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stdout[-4000:] + run.stderr[-2000:]
