"""Reaction-diffusion material model bindings"""

import lumetra as _lumetra
from lumetra import _backend

# Both packages must run the same variant: they exchange raw device addresses.
backend = _lumetra.backend
_ext = _backend.load_companion("curalis", backend)
_backend.install_hooks(_ext, _lumetra.Lumetra)

__doc__ = _ext.__doc__

globals().update({name: value for name, value in vars(_ext).items() if not name.startswith("_")})
# One thread count for every module of the process.
set_num_threads = _lumetra.set_num_threads
set_verbosity = _lumetra.set_verbosity
__all__ = sorted(name for name in vars(_ext) if not name.startswith("_"))
