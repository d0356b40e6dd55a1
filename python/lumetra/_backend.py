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


def load_companion(package, backend):
    """Import the variant of ``package`` (``curalis``, ``exposa``) that matches ``backend``,
    the variant lumetra runs: the packages exchange raw device addresses."""
    requested = requested_backend()
    if requested != "auto" and requested != backend:
        raise ImportError(
            f"{package}: LUMETRA_BACKEND={requested}, but lumetra is already using its {backend} variant in this "
            "process; both packages must use the same variant because they exchange device addresses")
    try:
        ext = importlib.import_module(f"{package}._{package}_{backend}")
    except ImportError as exc:
        raise ImportError(f"{package} has no usable {backend} variant to match lumetra's: {exc}") from exc
    share_thread_count(ext)
    return ext


# Each compiled module links its own copy of the device layer, and with it its own CPU
# thread count. The modules register here; lumetra.set_num_threads sets every one, and a
# module that registers later starts from the count in force.
_thread_modules = []


def share_thread_count(ext):
    """Let ``ext`` follow the thread count (and verbosity) of the modules registered before it."""
    if _thread_modules:
        ext.set_num_threads(_thread_modules[0].get_num_threads())
        ext.set_verbosity(_thread_modules[0].get_verbosity())
    if ext not in _thread_modules:
        _thread_modules.append(ext)


def set_num_threads(threads):
    """Set the number of CPU threads that run kernels, in every loaded module."""
    # The first call validates the count before any other module changes.
    for ext in _thread_modules:
        ext.set_num_threads(threads)


def set_verbosity(level):
    """Set the verbosity of every loaded module (each has its own message helper)."""
    for ext in _thread_modules:
        ext.set_verbosity(level)
