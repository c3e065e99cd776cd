"""The type stubs of `_quantelle` and the engine match the built modules, and type checkers find them installed."""
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


def test_stubs_match_the_module_and_type_check_strictly(tmp_path):
    def run(*args):  # outside the checkout, so that only the installed package and stubs are seen
        return subprocess.run([sys.executable, "-m", *args], cwd=tmp_path, capture_output=True, text=True, timeout=600)

    done = run("mypy.stubtest", "_quantelle", "quantelle._engine", "--mypy-config-file", os.devnull)
    assert done.returncode == 0, done.stdout + done.stderr
    (tmp_path / "caller.py").write_text(CALLER)
    # The layer and a caller in one strict run: every line but the caller's four is a fault.
    done = run("mypy", "--strict", "--no-incremental", "-p", "quantelle", "-m", "caller")
    assert [line.replace("builtins.", "") for line in done.stdout.splitlines()[:-1]] == [  # mypy < 2 spells it out
        'caller.py:5: note: Revealed type is "int | None"',
        'caller.py:6: note: Revealed type is "list[tuple[int, float]]"',
        'caller.py:8: error: Argument "limit" to "score_candidates" has incompatible type "str"; expected '
        '"SupportsIndex"  [arg-type]',
        'caller.py:9: note: Revealed type is "float"',
    ], done.stdout + done.stderr
