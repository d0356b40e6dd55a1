import os
import subprocess
import sys
import textwrap

import pytest


def run_python(code, backend=None, **env_overrides):
    """Run a script in a fresh interpreter (a variant is chosen once per process)."""
    env = dict(os.environ)
    env.pop("LUMETRA_BACKEND", None)
    if backend is not None:
        env["LUMETRA_BACKEND"] = backend
    env.update(env_overrides)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, env=env, timeout=300
    )


@pytest.fixture(scope="session")
def gpu_usable():
    from lumetra import _backend

    return _backend.cuda_variant_built() and _backend.gpu_status()[0]
