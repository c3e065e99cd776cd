"""`pip wheel .` ships the module, the layer and the types, not the probe, and works in a fresh venv."""
import os
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

# Under the sanitizer run the preloaded runtimes would land in pip, CMake and the compiler, which
# are not what that run checks; the packaging is checked by the ordinary run.
pytestmark = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                reason="packaging is checked without sanitizers")


def run(*cmd, cwd):
    done = subprocess.run([str(c) for c in cmd], cwd=cwd, capture_output=True, text=True, timeout=1200)
    assert done.returncode == 0, f"{cmd}\n{done.stdout}\n{done.stderr}"
    return done.stdout


def test_wheel_ships_installs_and_works_in_a_fresh_venv(tmp_path):
    run(sys.executable, "-m", "pip", "wheel", Path(__file__).resolve().parent.parent, "--no-deps",
        "--disable-pip-version-check", "-q", "-w", tmp_path / "dist", f"-Cbuild-dir={tmp_path / 'build'}", cwd=tmp_path)
    (wheel,) = (tmp_path / "dist").glob("quantelle-*.whl")
    names = zipfile.ZipFile(wheel).namelist()
    assert [n for n in names if n.startswith("_quantelle.") and n.endswith(".so")]
    assert {"quantelle/__init__.py", "quantelle/py.typed", "quantelle/demo/__main__.py",
            "_quantelle-stubs/__init__.pyi"} <= set(names)
    assert not [n for n in names if "probe" in n or n.startswith("tests/")]

    venv = tmp_path / "venv"
    run(sys.executable, "-m", "venv", venv, cwd=tmp_path)
    run(venv / "bin" / "python", "-m", "pip", "install", "--disable-pip-version-check", "-q", wheel, cwd=tmp_path)
    out = run(venv / "bin" / "python", "-c", "import numpy as np, quantelle, _quantelle\n"
              "print(quantelle.Corpus(np.eye(2), ['x', 'y']).search(np.array([0.0, 1.0]), 'limit:1').hits)\n"
              "print(_quantelle.__file__)", cwd=tmp_path)
    hits, module = out.splitlines()
    assert hits == "[Hit(id='y', score=1.0)]" and module.startswith(str(venv))
    corpus = tmp_path / "c.jsonl"
    corpus.write_text('{"id": "a", "text": "read a json file"}\n{"id": "b", "text": "open a socket"}\n')
    out = run(venv / "bin" / "quantelle-demo", "--corpus", corpus, "--no-cache", "-q", "json", "-m", "limit:1",
              cwd=tmp_path)
    assert "1  a " in out
