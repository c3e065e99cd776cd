"""The type stubs of `_quantelle` match the built module, and type checkers find them installed."""
import os
import subprocess
import sys
import textwrap

import pytest


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    """Runs a mypy module outside the checkout, so that only the installed package and stubs are seen."""
    workdir = tmp_path_factory.mktemp("typing")

    def run(module, *args, env=None):
        return subprocess.run([sys.executable, "-m", module, *map(str, args)], cwd=workdir, capture_output=True,
                              text=True, timeout=600, env={**os.environ, **(env or {})})

    run.workdir = workdir
    return run


def test_stubtest_finds_the_stub_matching_the_module(mypy):
    done = mypy("mypy.stubtest", "_quantelle", "--mypy-config-file", os.devnull)
    assert done.returncode == 0, done.stdout + done.stderr


def test_the_layer_type_checks_strictly(mypy):
    done = mypy("mypy", "--strict", "--no-incremental", "-p", "quantelle")
    assert done.returncode == 0, done.stdout + done.stderr


def test_callers_get_the_stub_types(mypy):
    (mypy.workdir / "caller.py").write_text(textwrap.dedent("""\
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
    done = mypy("mypy", "--strict", "--no-incremental", "caller.py")
    lines = [line.split(": ", 1)[1].replace("builtins.", "")  # mypy < 2 spells it out
             for line in done.stdout.splitlines() if line.startswith("caller.py")]
    assert lines == [
        'note: Revealed type is "int | None"',
        'note: Revealed type is "list[tuple[int, float]]"',
        'error: Argument "limit" to "score_candidates" has incompatible type "str"; expected "SupportsIndex"  [arg-type]',
        'note: Revealed type is "float"',
    ]
