"""Dose-threshold material model driven by lumetra's absorbed power."""

from typing import overload

from lumetra import Lumetra
from numpy import float64
from numpy.typing import NDArray

__all__ = ["Exposa", "backend", "get_num_threads", "get_verbosity", "set_num_threads", "set_verbosity"]

backend: str
"""The compiled variant this process uses, the one lumetra chose: "cuda" or "cpu"."""

def set_num_threads(threads: int) -> None:
    """Set the number of CPU threads that run kernels on the CPU variant."""

def get_num_threads() -> int: ...
def set_verbosity(level: int) -> None:
    """Set how much lumetra, curalis and exposa print: 1 (the default) everything, 0 only warnings
    and errors."""

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
        """Add one exposure of length dt and update the optics mesh's material properties."""

    @overload
    def reaction_step(self, engine: Lumetra) -> None:
        """The same step on the engine's absorbed power (a lumetra.Lumetra), its addresses asked for
        at every step; the model keeps the engine alive."""

    def get_dose(self) -> NDArray[float64]: ...
    def get_degree_of_curing(self) -> NDArray[float64]: ...
