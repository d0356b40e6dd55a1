"""Reaction-diffusion material model bindings"""

from typing import overload

from lumetra import Lumetra
from numpy import float64
from numpy.typing import ArrayLike, NDArray

__all__ = ["Curalis", "CuralisProps", "backend", "get_num_threads", "get_verbosity", "set_num_threads", "set_verbosity"]

backend: str
"""The compiled variant this process uses, the one lumetra chose: "cuda" or "cpu"."""

def set_num_threads(threads: int) -> None:
    """Set the number of CPU threads that run kernels on the CPU variant."""

def get_num_threads() -> int: ...
def set_verbosity(level: int) -> None:
    """Set how much lumetra, curalis and exposa print: 1 (the default) everything, 0 only warnings
    and errors."""

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
    fem_preconditioner: str
    fem_multigrid_from: float
    def __init__(self) -> None: ...

class Curalis:
    """Reaction-diffusion material state and update kernels."""

    def __init__(self, props: CuralisProps, n_nodes: int) -> None: ...
    @overload
    def initialize_accelerator(self, mesh_ptr: int) -> None: ...
    @overload
    def initialize_accelerator(self, engine: Lumetra) -> None:
        """Build the nodal grid and boundary masks from the engine's mesh (a lumetra.Lumetra); the
        model keeps the engine alive. Again after every load_mesh."""

    @overload
    def reaction_step(self, result_device_ptr: int, mesh_devlink_ptr: int) -> None:
        """Run one reaction-diffusion step using pointers from Lumetra."""

    @overload
    def reaction_step(self, engine: Lumetra) -> None:
        """Run one reaction-diffusion step on the engine's absorbed power (a lumetra.Lumetra),
        rewriting its mesh's refractive index and absorptivity; the model keeps the engine alive.
        The same as reaction_step(engine.get_result_array_device_ptr(),
        engine.get_mesh_data_devlink_ptr()), with the addresses asked for at every step."""

    def get_degree_of_curing(self) -> NDArray[float64]: ...
    def get_oxygen_concentration(self) -> NDArray[float64]: ...
    def get_dt(self) -> float: ...
    def get_diffusion_iterations(self) -> tuple[int, int]:
        """Conjugate-gradient iterations of the last step's radical and oxygen solves (the "fem"
        scheme; (0, 0) with the kernel scheme or before the first step)."""

    def get_multigrid_levels(self) -> int:
        """Levels of the multigrid preconditioner, the mesh included (after initialize_accelerator;
        0 without it, with the diagonal, or where the mesh has nothing to coarsen)."""

    def get_diffusion_extruded(self) -> bool:
        """Whether the "fem" scheme's matrix passes use the mesh's extrusion: a mesh of quadrilaterals
        extruded along z, such as the generated boxes and vials, is solved column by column (after
        initialize_accelerator; False without it)."""

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
