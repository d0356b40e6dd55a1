"""Hexahedral meshes for lumetra: generators, and files read and written through meshio."""

from collections.abc import Callable
from typing import Any, NamedTuple, Union

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = ["HexMesh", "box", "vial", "read", "write", "from_meshio", "to_meshio", "merge_nodes"]

NodalField = Union[
    None, float, ArrayLike, Callable[[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]], ArrayLike]
]

VOXEL_TO_HEXAHEDRON: list[int]

class HexMesh(NamedTuple):
    """The arrays of a hexahedral mesh, in the order ``Lumetra.load_mesh_arrays`` takes them."""

    points: NDArray[np.float64]
    hexahedra: NDArray[np.int64]
    refractive_index: NDArray[np.float64] | None = None
    absorptivity: NDArray[np.float64] | None = None

def box(
    nx: int,
    ny: int,
    nz: int,
    size: ArrayLike = (1.0, 1.0, 1.0),
    origin: ArrayLike = (0.0, 0.0, 0.0),
    refractive_index: NodalField = None,
    absorptivity: NodalField = None,
) -> HexMesh: ...
def vial(
    radius: float = 1.0,
    height: float = 1.0,
    n_core: int = 4,
    n_radial: int = 4,
    n_z: int = 8,
    core_fraction: float = 0.5,
    refractive_index: NodalField = None,
    absorptivity: NodalField = None,
) -> HexMesh: ...
def from_meshio(mesh: Any, source: str = "meshio mesh") -> HexMesh: ...
def read(path: str) -> HexMesh: ...
def to_meshio(mesh: HexMesh) -> Any: ...
def write(path: str, mesh: HexMesh, file_format: str | None = None, **kwargs: Any) -> None: ...
def merge_nodes(mesh: HexMesh, tolerance: float = 1e-9) -> HexMesh: ...
