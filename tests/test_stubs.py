"""The type stubs of `_quantelle` match the built module, and type checkers find them installed."""
import os
import subprocess
import sys

CALLER = """\
import numpy as np
import _quantelle
from quantelle import Corpus

reveal_type(_quantelle.parse_modifiers("limit:3")["limit"])
reveal_type(_quantelle.mmr_select_py([0], np.ones(1, np.float32), np.ones((1, 2), np.float32), 1, 0.5))
m = np.zeros((1, 2), np.float32)
_quantelle.score_candidates(m, ["a"], {"a": 0}, np.zeros(2, np.float32), limit="3")
reveal_type(Corpus(m, ["a"]).search("q").hits[0].score)
"""


def mypy(module, *args, cwd):
    """Runs outside the checkout, so that only the installed package and stubs are seen."""
    return subprocess.run([sys.executable, "-m", module, *args], cwd=cwd, capture_output=True, text=True, timeout=600)


def test_stubs_match_the_module_and_type_check_strictly(tmp_path):
    done = mypy("mypy.stubtest", "_quantelle", "--mypy-config-file", os.devnull, cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
    done = mypy("mypy", "--strict", "--no-incremental", "-p", "quantelle", cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
    (tmp_path / "caller.py").write_text(CALLER)
    done = mypy("mypy", "--strict", "--no-incremental", "caller.py", cwd=tmp_path)
    lines = [line.split(": ", 1)[1].replace("builtins.", "")  # mypy < 2 spells it out
             for line in done.stdout.splitlines() if line.startswith("caller.py")]
    assert lines == [
        'note: Revealed type is "int | None"',
        'note: Revealed type is "list[tuple[int, float]]"',
        'error: Argument "limit" to "score_candidates" has incompatible type "str"; expected "SupportsIndex"  [arg-type]',
        'note: Revealed type is "float"',
    ]
