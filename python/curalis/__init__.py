"""Reaction-diffusion material model bindings"""

import importlib as _importlib

import lumetra as _lumetra
from lumetra._backend import requested_backend as _requested_backend

# Both packages must run the same variant: they exchange raw device addresses.
backend = _lumetra.backend
_requested = _requested_backend()
if _requested != "auto" and _requested != backend:
    raise ImportError(
        f"curalis: LUMETRA_BACKEND={_requested}, but lumetra is already using its {backend} variant in this "
        "process; both packages must use the same variant because they exchange device addresses")
try:
    _ext = _importlib.import_module(f"curalis._curalis_{backend}")
except ImportError as _exc:
    raise ImportError(f"curalis has no usable {backend} variant to match lumetra's: {_exc}") from _exc

__doc__ = _ext.__doc__

globals().update({name: value for name, value in vars(_ext).items() if not name.startswith("_")})
__all__ = sorted(name for name in vars(_ext) if not name.startswith("_"))
