"""Lumetra: GPU-accelerated volumetric ray tracing and absorption simulation"""

from . import _backend
from ._backend import load_extension as _load_extension

_ext, backend = _load_extension()
_backend.share_thread_count(_ext)

__doc__ = _ext.__doc__

# Everything public of the compiled variant is the package's API.
globals().update({name: value for name, value in vars(_ext).items() if not name.startswith("_")})
__all__ = sorted(name for name in vars(_ext) if not name.startswith("_"))



def set_num_threads(threads):
    """Set the number of CPU threads that run kernels on the CPU variant.

    The count applies to every module of the process (lumetra, curalis and exposa), each of
    which carries its own copy of the device layer. The initial value follows
    OMP_NUM_THREADS. The CUDA variant keeps the value but runs kernels on the GPU.
    """
    _backend.set_num_threads(threads)
