"""The type stubs of `_quantelle` match the built module, and type checkers find them installed."""

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    # Outside the checkout, so that only the installed package and stubs are seen.
    return tmp_path_factory.mktemp("typing")


def installed_stub():
    for entry in map(Path, sys.path):
        stub = entry / "_quantelle-stubs" / "__init__.pyi"
        if stub.is_file():
            return stub
    pytest.fail("the _quantelle-stubs package is not installed")


def run_mypy(workdir, module, *args, env=None):
    cmd = [sys.executable, "-m", module, *args]
    return subprocess.run(cmd, cwd=workdir, capture_output=True, text=True, timeout=600,
                          env={**os.environ, **(env or {})})


def test_stubtest_finds_no_difference_from_the_module(workdir):
    done = run_mypy(workdir, "mypy.stubtest", "_quantelle", "--mypy-config-file", os.devnull)
    assert done.returncode == 0, done.stdout + done.stderr


@pytest.mark.parametrize("old, new, reported", [
    ("modifier_str: str | None = None", "text: str | None = None", "_quantelle.parse_modifiers"),
    ("limit: SupportsIndex = 10,", "limit: SupportsIndex = 5,", "_quantelle.score_candidates"),
], ids=["renamed-parameter", "changed-default"])
def test_stubtest_would_catch_a_drifted_stub(workdir, tmp_path, old, new, reported):
    text = installed_stub().read_text()
    assert old in text
    (tmp_path / "_quantelle.pyi").write_text(text.replace(old, new))
    done = run_mypy(workdir, "mypy.stubtest", "_quantelle", "--mypy-config-file", os.devnull,
                    env={"MYPYPATH": str(tmp_path)})
    assert done.returncode == 1
    assert f"error: {reported} is inconsistent" in done.stdout


def test_the_layer_type_checks_strictly(workdir):
    done = run_mypy(workdir, "mypy", "--strict", "--no-incremental", "-p", "quantelle")
    assert done.returncode == 0, done.stdout + done.stderr


def test_callers_get_the_stub_types(workdir):
    (workdir / "caller.py").write_text(textwrap.dedent("""\
        import numpy as np
        import _quantelle
        from quantelle import Corpus

        mods = _quantelle.parse_modifiers("limit:3")
        reveal_type(mods["limit"])
        reveal_type(_quantelle.mmr_select_py([0], np.ones(1, np.float32), np.ones((1, 2), np.float32), 1, 0.5))
        m = np.zeros((1, 2), np.float32)
        _quantelle.score_candidates(m, ["a"], {"a": 0}, np.zeros(2, np.float32), limit="3")
        reveal_type(Corpus(m, ["a"]).search("q").hits[0].score)
    """))
    done = run_mypy(workdir, "mypy", "--strict", "--no-incremental", "caller.py")
    lines = [line.split(": ", 1)[1].replace("builtins.", "")  # mypy < 2 spells it out
             for line in done.stdout.splitlines() if line.startswith("caller.py")]
    assert lines == [
        'note: Revealed type is "int | None"',
        'note: Revealed type is "list[tuple[int, float]]"',
        'error: Argument "limit" to "score_candidates" has incompatible type "str"; '
        'expected "SupportsIndex"  [arg-type]',
        'note: Revealed type is "float"',
    ]

