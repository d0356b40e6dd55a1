"""Dose-threshold material model driven by lumetra's absorbed power."""

from typing import overload

from lumetra import Lumetra
from numpy import float64
from numpy.typing import NDArray

__all__ = ["Exposa", "backend", "get_num_threads", "get_verbosity", "set_num_threads", "set_verbosity"]

backend: str
"""The compiled variant this process uses, the one lumetra chose: "cuda" or "cpu"."""

def set_num_threads(threads: int) -> None:
    """Set the CPU threads of every module (the same function as lumetra.set_num_threads)."""

def get_num_threads() -> int: ...
def set_verbosity(level: int) -> None:
    """1 prints everything, 0 only warnings and errors (every module, as lumetra's)."""

def get_verbosity() -> int: ...

class Exposa:
    def __init__(
        self,
        *,
        n0: float,
        n1: float,
        alpha0: float,
        alpha1: float,
        dose_full: float,
        dose_threshold: float,
        dt: float,
        n_nodes: int,
    ) -> None: ...
    @overload
    def reaction_step(self, result_device_ptr: int, mesh_devlink_ptr: int) -> None:
        """Raw addresses: the current ones of one live engine (RuntimeError for any other
        number, another kind of address, a replaced or freed one); the model keeps that
        engine alive."""

    @overload
    def reaction_step(self, engine: Lumetra) -> None:
        """The engine's absorbed power and mesh, asked for at every step; the model keeps the
        engine alive."""

    def get_dose(self) -> NDArray[float64]: ...
    def get_degree_of_curing(self) -> NDArray[float64]: ...
