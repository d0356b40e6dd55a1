"""Reaction-diffusion material model bindings"""

from typing import overload

from lumetra import Lumetra
from numpy import float64
from numpy.typing import ArrayLike, NDArray

__all__ = ["Curalis", "CuralisProps", "backend", "get_num_threads", "get_verbosity", "set_num_threads", "set_verbosity"]

backend: str
"""The compiled variant this process uses, the one lumetra chose: "cuda" or "cpu"."""

def set_num_threads(threads: int) -> None:
    """Set the CPU threads of every module (the same function as lumetra.set_num_threads)."""

def get_num_threads() -> int: ...
def set_verbosity(level: int) -> None:
    """1 prints everything, 0 only warnings and errors (every module, as lumetra's)."""

def get_verbosity() -> int: ...

class CuralisProps:
    """Configuration values for the reaction-diffusion material model."""

    kpropagation: float
    koxygen: float
    diffusion_oxygen: float
    diffusion_radical: float
    diffusion_bc: int
    diffusion_bc_radical: int
    diffusion_bc_oxygen: int
    dirichlet_radical: float
    dirichlet_oxygen: float
    oxygen_gel_point: float
    oxygen_dirichlet_all_boundary: bool
    oxygen_dirichlet_bc_groups: list[int]
    oxygen_dirichlet_face_ids: list[int]
    dt: float
    n0: float
    n1: float
    alpha0: float
    alpha1: float
    c_monomer0: float
    c_radical0: float
    c_oxygen0: float
    degree_of_curing0: float
    diffusion_scheme: str
    def __init__(self) -> None: ...

class Curalis:
    """Reaction-diffusion material state and update kernels."""

    def __init__(self, props: CuralisProps, n_nodes: int) -> None: ...
    @overload
    def initialize_accelerator(self, mesh_ptr: int) -> None: ...
    @overload
    def initialize_accelerator(self, engine: Lumetra) -> None:
        """The engine's mesh; the model keeps the engine alive."""

    @overload
    def reaction_step(self, result_device_ptr: int, mesh_devlink_ptr: int) -> None:
        """Raw addresses: the current ones of one live engine (RuntimeError for any other
        number, another kind of address, a replaced or freed one); the model keeps that
        engine alive."""

    @overload
    def reaction_step(self, engine: Lumetra) -> None:
        """The engine's absorbed power and mesh, asked for at every step; the model keeps the
        engine alive."""

    def get_degree_of_curing(self) -> NDArray[float64]: ...
    def get_oxygen_concentration(self) -> NDArray[float64]: ...
    def get_dt(self) -> float: ...
    def get_monomer_concentration(self) -> NDArray[float64]: ...
    def get_radical_concentration(self) -> NDArray[float64]: ...
    def set_fields(
        self,
        *,
        monomer: ArrayLike | None = None,
        radical: ArrayLike | None = None,
        oxygen: ArrayLike | None = None,
        degree_of_curing: ArrayLike | None = None,
    ) -> None:
        """Replace node fields from arrays of the node count (keyword arguments; None keeps a field)."""
