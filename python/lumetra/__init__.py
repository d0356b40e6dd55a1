"""Lumetra: GPU-accelerated volumetric ray tracing and absorption simulation"""

from ._backend import load_extension as _load_extension

_ext, backend = _load_extension()

__doc__ = _ext.__doc__

# Everything public of the compiled variant is the package's API.
globals().update({name: value for name, value in vars(_ext).items() if not name.startswith("_")})
__all__ = sorted(name for name in vars(_ext) if not name.startswith("_"))
