"""Choice of the compiled variant (CPU or CUDA) for this process.

pybind11 registers each bound type once per process, so the choice is made before any
variant is imported: a probe that binds no types asks the CUDA runtime for a GPU, and
exactly one variant is imported afterwards. ``curalis`` follows the choice ``lumetra``
made, because the two exchange raw device addresses.
"""

import importlib
import importlib.util
import os
import warnings

CHOICES = ("auto", "cpu", "cuda")


def requested_backend():
    """The value of ``LUMETRA_BACKEND`` (``auto`` when unset), validated."""
    raw = os.environ.get("LUMETRA_BACKEND", "")
    value = raw.strip().lower() or "auto"
    if value not in CHOICES:
        raise ImportError(f"LUMETRA_BACKEND must be 'auto', 'cpu' or 'cuda', not {raw!r}")
    return value


def cuda_variant_built():
    return importlib.util.find_spec("lumetra._lumetra_cuda") is not None


def gpu_status():
    """(usable, reason): whether the CUDA runtime sees a GPU, and why not."""
    try:
        probe = importlib.import_module("lumetra._cuda_probe")
    except ImportError as exc:
        return False, f"the CUDA probe could not be loaded ({exc})"
    count, reason = probe.device_count()
    return count > 0, reason


def load_extension():
    """Import the variant ``LUMETRA_BACKEND`` asks for; returns (module, name)."""
    requested = requested_backend()
    if requested != "cpu":
        if not cuda_variant_built():
            if requested == "cuda":
                raise ImportError(
                    "LUMETRA_BACKEND=cuda, but this installation has no CUDA variant "
                    "(it was built without a CUDA compiler, or with LUMETRA_CUDA=OFF)")
        else:
            usable, reason = gpu_status()
            if usable:
                try:
                    return importlib.import_module("lumetra._lumetra_cuda"), "cuda"
                except ImportError as exc:
                    if requested == "cuda":
                        raise ImportError(
                            f"LUMETRA_BACKEND=cuda, but the CUDA variant could not be loaded: {exc}") from exc
                    warnings.warn(f"lumetra: the CUDA variant could not be loaded ({exc}); using the CPU variant",
                                  RuntimeWarning, stacklevel=3)
            elif requested == "cuda":
                raise ImportError(f"LUMETRA_BACKEND=cuda, but no usable GPU was found: {reason}")
    return importlib.import_module("lumetra._lumetra_cpu"), "cpu"
