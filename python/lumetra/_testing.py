"""Internal hooks for the test suite; not part of the public API."""

from . import _ext

globals().update({name: value for name, value in vars(_ext._testing).items() if not name.startswith("__")})
