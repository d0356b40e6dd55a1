"""Internal hooks for the test suite; not part of the public API.

Installed only by a build with LUMETRA_BUILD_TESTS=ON; it loads the hooks of the variant
``lumetra`` runs.
"""

import importlib

from . import backend

_ext = importlib.import_module(f"lumetra._lumetra_testing_{backend}")

globals().update({name: value for name, value in vars(_ext).items() if not name.startswith("__")})
