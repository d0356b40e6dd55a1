"""Lumetra: GPU-accelerated volumetric ray tracing and absorption simulation"""

import os
from collections.abc import Callable, Mapping, Sequence
from types import ModuleType
from typing import ClassVar

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import meshes as meshes
from . import optics_map as optics_map

__all__ = [
    "BoundaryConditionInteractionType",
    "Lumetra",
    "OpticalBoundaryCondition",
    "REFLECT",
    "TRANSMIT",
    "backend",
    "get_num_threads",
    "get_verbosity",
    "meshes",
    "optics_map",
    "set_num_threads",
    "set_verbosity",
]

_ext: ModuleType  # the compiled variant in use

__version__: str
"""The installed package's version."""

backend: str
"""The compiled variant this process uses: "cuda" or "cpu" (chosen by LUMETRA_BACKEND)."""

def set_num_threads(threads: int) -> None:
    """Set the number of CPU threads that run kernels on the CPU variant."""

def get_num_threads() -> int:
    """Number of CPU threads that run kernels on the CPU variant."""

def set_verbosity(level: int) -> None:
    """Set how much lumetra, curalis and exposa print: 1 (the default) everything, 0 only warnings
    and errors."""

def get_verbosity() -> int:
    """The current verbosity: 1 prints everything, 0 warnings and errors only."""

class BoundaryConditionInteractionType:
    """Boundary interaction mode for optical BCs."""

    TRANSMIT: ClassVar[BoundaryConditionInteractionType]
    """Transmitting interface BC (Snell/Fresnel transmission mode)."""
    REFLECT: ClassVar[BoundaryConditionInteractionType]
    """Reflecting interface BC (specular/microfacet reflection mode)."""
    __members__: ClassVar[dict[str, BoundaryConditionInteractionType]]

    def __init__(self, value: int) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __int__(self) -> int: ...
    def __index__(self) -> int: ...
    def __getstate__(self) -> int: ...
    def __setstate__(self, state: int) -> None: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...

TRANSMIT: BoundaryConditionInteractionType
REFLECT: BoundaryConditionInteractionType

class OpticalBoundaryCondition:
    """Face-based optical boundary condition definition."""

    rough_surface: bool
    """Treat the faces as rough (microfacet normals sampled when roughness > 0)."""
    roughness: float
    """Beckmann roughness, the rms slope of the microfacets."""
    interaction_type: BoundaryConditionInteractionType
    """TRANSMIT (default) or REFLECT."""
    refractive_index_real: float
    """Refractive index of the medium outside the faces, real part (default 1.0)."""
    refractive_index_imag: float
    """Extinction coefficient of the outside medium (default 0.0)."""
    fresnel: str
    """"exact" (default: the Fresnel equations, unpolarised) or "schlick" (Schlick's approximation)."""
    faces: list[int]
    """Global boundary-face ids; reading returns a copy."""

    def __init__(self) -> None: ...

class Lumetra:
    """Main class for GPU-accelerated ray tracing and volumetric absorption calculations."""

    def __init__(self) -> None: ...
    def config(self) -> None: ...
    def set_solver_type(self, solver_type: str) -> None: ...
    def load_mesh(self, mesh_file: str | os.PathLike[str]) -> None: ...
    def set_constant_matprops(self, refractive_index: float, absorptivity: float) -> None: ...
    def set_boundary_conditions(self, boundary_conditions: Sequence[OpticalBoundaryCondition]) -> None: ...
    def clear_boundary_conditions(self) -> None: ...
    def get_boundary_condition_count(self) -> int: ...
    def select_boundary_faces_bbox(
        self,
        x_min: float,
        x_max: float,
        y_min: float,
        y_max: float,
        z_min: float,
        z_max: float,
        require_all_nodes: bool = True,
        tolerance: float = 1e-9,
    ) -> list[int]: ...
    def select_boundary_faces_radial(
        self, radius_min: float, radius_max: float, require_all_nodes: bool = True, tolerance: float = 1e-9
    ) -> list[int]: ...
    def write_boundary_face_groups_vtu(
        self,
        output_file: str | os.PathLike[str],
        face_groups: Sequence[Sequence[int]],
        include_unassigned_faces: bool = True,
    ) -> None: ...
    def write_boundary_condition_groups_vtu(
        self, output_file: str | os.PathLike[str], include_unassigned_faces: bool = True
    ) -> None: ...
    def load_rays(self, rays_file: str | os.PathLike[str]) -> None: ...
    def set_rays(self, positions: ArrayLike, directions: ArrayLike, powers: ArrayLike) -> None:
        """Replace the rays by rays given as arrays."""
    def configure_outfilename(self, output_file: str | os.PathLike[str]) -> None: ...
    def compute_volumetric_absorption(self, progress: bool | Callable[[int, int], object] | None = None) -> None: ...
    def trace_adjoint(
        self, field: ArrayLike, progress: bool | Callable[[int, int], object] | None = None
    ) -> NDArray[np.float64]:
        """The transpose of the trace: per ray, its deposits per unit power weighed by a nodal
        field."""
    def record_deposits(self) -> tuple[NDArray[np.int32], NDArray[np.int32], NDArray[np.float64]]:
        """Every deposit of one trace: the matrix of the map from ray powers to absorbed power."""
    def get_ray_count(self) -> int: ...
    def get_node_count(self) -> int: ...
    def get_mesh_data_devlink_ptr(self) -> int: ...
    def get_mesh_ptr(self) -> int: ...
    def get_result_array_device_ptr(self) -> int: ...
    def get_absorbed_power(self) -> NDArray[np.float64]:
        """Get absorbed power at each mesh node."""
    def set_absorbed_power(self, absorbed_power: ArrayLike) -> None:
        """Replace the absorbed power at each mesh node: the array that get_absorbed_power() reads
        and get_result_array_device_ptr() points to, so the next curing step sees these values."""
    def get_ray_payloads(self) -> NDArray[np.float64]:
        """Get per-ray payload/intensity values as a NumPy array."""
    def get_absorptivity(self) -> NDArray[np.float64]:
        """Get absorptivity values at each mesh node."""
    def get_refractive_index(self) -> NDArray[np.float64]:
        """Get refractive index values at each mesh node."""
    def get_node_positions(self) -> NDArray[np.float64]:
        """Get mesh node positions."""
    def set_absorptivity(self, absorptivity: ArrayLike) -> None:
        """Set absorptivity values for all mesh nodes."""
    def set_ray_payloads(self, payloads: ArrayLike) -> None:
        """Set per-ray payload/intensity values from a NumPy array."""
    def set_refractive_index(self, refractive_index: ArrayLike) -> None:
        """Set refractive index values for all mesh nodes."""
    def set_node_positions(self, positions: ArrayLike) -> None:
        """Set mesh node positions."""
    def reset_absorbed_power(self) -> None: ...
    def rotate_reset_rays(self, axis: ArrayLike, angle: float) -> None:
        """Rotate rays around an axis and reset their surface flags."""
    def write_result(self) -> None: ...
    def write_result_append(self, fields: ArrayLike, field_names: Sequence[str] | None = None) -> None:
        """Write simulation results with additional custom fields to VTU file."""
    def set_objective(self, kind: str, config: Mapping[str, object] | str | os.PathLike[str] | None = None) -> None:
        """Choose what the next tracer computes."""
    def generate_camera_rays(
        self, position: ArrayLike, direction: ArrayLike, height: int, width: int, pixel_size: float
    ) -> None:
        """Replace the rays by a camera's: one ray per pixel, in raster order."""
    def get_image(self) -> NDArray[np.float64]:
        """Get the rendered picture."""
    def get_optical_path(self) -> NDArray[np.void]:
        """Get the sampled path of ray 0."""
    def load_mesh_arrays(
        self,
        points: ArrayLike,
        hexahedra: ArrayLike,
        refractive_index: ArrayLike | None = None,
        absorptivity: ArrayLike | None = None,
    ) -> None:
        """Load a hexahedral mesh from arrays."""
    def get_nodal_volumes(self) -> NDArray[np.float64]:
        """Get the lumped volume of each mesh node."""
    def get_trace_summary(self) -> dict[str, int | float]:
        """Get the counters and the power balance of the last computation."""
    def get_ray_start_faces(self) -> NDArray[np.int32]:
        """Get the boundary face each ray entered through in the last computation."""
    def get_ray_exit_positions(self) -> NDArray[np.float64]:
        """Get where each ray ended in the last computation."""
    def get_ray_exit_directions(self) -> NDArray[np.float64]:
        """Get the direction of each ray where it ended in the last computation."""
    def get_ray_exit_power(self) -> NDArray[np.float64]:
        """Get the power each ray carried where it ended in the last computation."""
