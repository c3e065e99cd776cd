"""`pip wheel .` gives a wheel that installs and works in a fresh virtual environment.

Slow (it compiles the module once more, in a build directory of its own): about a minute.
"""

import os
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent

# Under the sanitizer run the preloaded runtimes would land in pip, CMake and the compiler, which
# are not what that run checks; the packaging is checked by the ordinary run.
pytestmark = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                reason="packaging is checked without sanitizers")


def run(*cmd, cwd):
    done = subprocess.run([str(c) for c in cmd], cwd=cwd, capture_output=True, text=True, timeout=1200)
    assert done.returncode == 0, f"{cmd}\n{done.stdout}\n{done.stderr}"
    return done.stdout


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    out = tmp_path_factory.mktemp("wheel")
    run(sys.executable, "-m", "pip", "wheel", ROOT, "--no-deps", "--disable-pip-version-check", "-q",
        "-w", out / "dist", f"-Cbuild-dir={out / 'build'}", cwd=out)
    (found,) = (out / "dist").glob("quantelle-*.whl")
    return found


def test_wheel_ships_the_module_the_layer_and_the_types(wheel):
    names = zipfile.ZipFile(wheel).namelist()
    assert [n for n in names if n.startswith("_quantelle.") and n.endswith(".so")]
    for expected in ("quantelle/__init__.py", "quantelle/py.typed", "quantelle/demo/__main__.py",
                     "_quantelle-stubs/__init__.pyi"):
        assert expected in names
    assert not [n for n in names if "probe" in n or n.startswith("tests/")]


def test_wheel_installs_and_imports_in_a_fresh_venv(wheel, tmp_path):
    venv = tmp_path / "venv"
    run(sys.executable, "-m", "venv", venv, cwd=tmp_path)
    python = venv / "bin" / "python"
    run(python, "-m", "pip", "install", "--disable-pip-version-check", "-q", wheel, cwd=tmp_path)
    code = (
        "import numpy as np, quantelle, _quantelle\n"
        "print(quantelle.Corpus(np.eye(2), ['x', 'y']).search(np.array([0.0, 1.0]), 'limit:1').hits)\n"
        "print(_quantelle.__file__)\n"
    )
    out = run(python, "-c", code, cwd=tmp_path)
    hits, module = out.splitlines()
    assert hits == "[Hit(id='y', score=1.0)]"
    assert module.startswith(str(venv))
    corpus = tmp_path / "c.jsonl"
    corpus.write_text('{"id": "a", "text": "read a json file"}\n{"id": "b", "text": "open a socket"}\n')
    out = run(venv / "bin" / "quantelle-demo", "--corpus", corpus, "--no-cache", "-q", "json", "-m", "limit:1",
              cwd=tmp_path)
    assert "1  a " in out
