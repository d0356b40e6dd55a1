"""Which compiled variant a process gets, and that lumetra and curalis agree on it."""

import pytest

from conftest import run_python

PRINT_BACKENDS = r"""
import re, sys, lumetra, curalis
loaded = sorted(m for m in sys.modules if re.fullmatch(r"(lumetra\._lumetra|curalis\._curalis)_\w+", m))
print(lumetra.backend, curalis.backend, *loaded)
"""


def test_the_package_docstring_starts_with_the_compiled_modules():
    import lumetra

    assert lumetra._ext.__doc__ and lumetra.__doc__.splitlines()[0] == lumetra._ext.__doc__


def test_auto_takes_the_gpu_when_there_is_one_and_imports_one_variant(gpu_usable):
    result = run_python(PRINT_BACKENDS)
    assert result.returncode == 0, result.stderr
    b = "cuda" if gpu_usable else "cpu"
    assert result.stdout.split() == [b, b, f"curalis._curalis_{b}", f"lumetra._lumetra_{b}"]


@pytest.mark.parametrize("value", ["cpu", " CPU "])
def test_cpu_is_always_available(value):
    result = run_python(PRINT_BACKENDS, backend=value)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["cpu", "cpu", "curalis._curalis_cpu", "lumetra._lumetra_cpu"]


def test_cuda_without_a_usable_gpu_is_an_error_not_a_fallback(gpu_usable):
    result = run_python(PRINT_BACKENDS, backend="cuda")
    if gpu_usable:
        assert result.returncode == 0, result.stderr
        assert result.stdout.split()[:2] == ["cuda", "cuda"]
        return
    assert result.returncode != 0
    assert "ImportError: LUMETRA_BACKEND=cuda, but " in result.stderr
    assert ("no usable GPU was found: " in result.stderr) or ("has no CUDA variant" in result.stderr)
    assert result.stdout == ""


def test_unknown_backend_is_refused_by_name():
    result = run_python("import lumetra", backend="gpu")
    assert result.returncode != 0
    assert "LUMETRA_BACKEND must be 'auto', 'cpu' or 'cuda', not 'gpu'" in result.stderr


def test_curalis_refuses_a_variant_other_than_lumetras():
    result = run_python(
        """
        import os, lumetra
        os.environ["LUMETRA_BACKEND"] = "cuda" if lumetra.backend == "cpu" else "cpu"
        import curalis
    """,
        backend="cpu",
    )
    assert result.returncode != 0
    assert (
        "curalis: LUMETRA_BACKEND=cuda, but lumetra is already using its cpu variant in this process" in result.stderr
    )


def test_thread_count_is_settable_at_run_time():
    import lumetra

    before = lumetra.get_num_threads()
    try:
        lumetra.set_num_threads(1)
        assert lumetra.get_num_threads() == 1
        with pytest.raises(ValueError):
            lumetra.set_num_threads(0)
    finally:
        lumetra.set_num_threads(before)


def test_thread_count_follows_omp_num_threads():
    result = run_python("import lumetra; print(lumetra.get_num_threads())", backend="cpu", OMP_NUM_THREADS="3")
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "3"


def test_a_compiled_module_imports_nothing_of_the_packages():
    """The curing module loaded without its package: a call that needs what the package
    installs is refused by name, and lumetra was never imported behind the script's back."""
    result = run_python(
        """
        import glob, importlib, os, sys
        folder = next(
            os.path.join(p, "curalis") for p in sys.path if glob.glob(os.path.join(p, "curalis", "_curalis_cpu*"))
        )
        sys.path.insert(0, folder)
        ext = importlib.import_module("_curalis_cpu")
        try:
            ext.Curalis(ext.CuralisProps(), 8)
        except RuntimeError as e:
            print(e)
        print(sorted(m for m in sys.modules if m.split(".")[0] in ("lumetra", "curalis")))
    """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "the compiled module has no require_count (its package installs it at import): import lumetra, curalis or "
        "exposa, not their compiled modules",
        "[]",
    ]
