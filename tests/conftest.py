import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _quantelle as q


@pytest.fixture
def panics():
    # check(message, fn, *args): the call ends in PanicException(message) (a compiled pattern is
    # searched instead), and the module works right after.

    def check(message, fn, *args, **kwargs):
        with pytest.raises(BaseException) as info:
            fn(*args, **kwargs)
        assert type(info.value).__name__ == "PanicException"
        if hasattr(message, "search"):
            assert len(info.value.args) == 1 and message.search(info.value.args[0])
        else:
            assert info.value.args == (message,)
        eye = np.eye(2, dtype=np.float32)
        assert q.score_candidates(eye, ["x", "y"], {}, eye[1], limit=1) == [{"id": "y", "score": 1.0}]
        return info.value

    return check


@pytest.fixture
def run_python():
    # Runs code in a fresh interpreter; env adds to this process's environment.

    def run(code, env=None):
        return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                              text=True, timeout=300, env={**os.environ, **(env or {})})

    return run


KERNEL_VARIANTS = ("scalar", "avx2", "avx512")


@pytest.fixture(params=("module",) + KERNEL_VARIANTS)
def scoring_module(request):
    """The shipped module, or the test probe's copy of its functions on one kernel variant
    (skipped, with the reason, where this CPU lacks it)."""
    if request.param == "module":
        return q
    import _quantelle_probe as probe

    if request.param not in probe.variants():
        pytest.skip(f"this CPU does not run the {request.param} kernels")
    probe.use(request.param)
    return probe
