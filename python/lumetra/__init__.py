"""Lumetra: GPU-accelerated volumetric ray tracing and absorption simulation

Rays travel along curved paths through a hexahedral finite-element mesh whose nodes carry
a refractive index and an absorptivity; the power the material absorbs is gathered at the
nodes. The absorbed power drives the curing model of the sibling package ``curalis``.

Contents
--------
Lumetra
    The engine: load a mesh (a file of any format meshio reads, or arrays) and rays (.ry),
    set material properties and boundary conditions, trace, then read the absorbed power,
    the power balance and where the rays ended, or write the result to VTU.
meshes
    Mesh generators (box, cylindrical vial) and mesh files read and written through meshio.
OpticalBoundaryCondition
    What light does at a set of boundary faces: transmission or reflection, roughness,
    and the refractive index of the medium outside.
BoundaryConditionInteractionType, TRANSMIT, REFLECT
    The interaction modes of a boundary condition.
backend
    The compiled variant in use, "cuda" or "cpu"; the environment variable
    LUMETRA_BACKEND (auto, cpu or cuda) chooses it before the first import.
set_num_threads, get_num_threads
    The number of threads that run kernels on the CPU variant.

Example
-------
>>> import lumetra
>>> engine = lumetra.Lumetra()
>>> engine.load_mesh('mesh.vtk')
>>> engine.set_constant_matprops(1.5, 0.3)
>>> engine.load_rays('rays.ry')
>>> engine.set_solver_type('RK4')
>>> engine.config()
>>> engine.compute_volumetric_absorption()
>>> power = engine.get_absorbed_power()
"""

import os as _os
from importlib import metadata as _metadata

from . import _backend
from ._backend import load_extension as _load_extension

_ext, backend = _load_extension()
_backend.share_thread_count(_ext)
_backend.install_hooks(_ext, _ext.Lumetra)

# Everything public of the compiled variant is the package's API, with the mesh helpers and
# the map's matrix.
globals().update({name: value for name, value in vars(_ext).items() if not name.startswith("_")})
from . import meshes  # noqa: E402  (after the variant: load_mesh reads files through it)
from . import optics_map  # noqa: E402, F401

__version__ = _metadata.version("lumetra")


def _load_mesh(self, mesh_file):
    """Load a finite element mesh from file.

    Parameters
    ----------
    mesh_file : str or os.PathLike
        Supported formats: VTK (.vtk, .vtu) and every format meshio reads that holds
        hexahedra (Gmsh .msh, Abaqus .inp, XDMF, ...). Mesh must contain hexahedral
        elements. ASCII legacy VTK files (format up to 4.2) are read natively; binary and
        version 5.1 legacy files and all other formats through meshio. VTK voxels become
        hexahedra; other cells (quads, lines, ...) are skipped with a warning. Nodal
        'RefractiveIndex' and 'Absorptivity' arrays are read when present (index 1 and
        absorptivity 0 otherwise).

    Raises
    ------
    RuntimeError
        If the file cannot be opened or read correctly, holds no hexahedra, or has an
        element no node order makes valid; the engine keeps its previous mesh.
    MemoryError
        As for load_mesh_arrays().

    Notes
    -----
    Elements with mirrored node order (negative volume) are reordered to positive volume
    and counted in one warning line. Clears the boundary conditions; a built surface
    grid is rebuilt for the new mesh.

    Example
    -------
    >>> engine.load_mesh('mesh.vtk')
    """
    if not self._load_mesh_native(mesh_file):
        self._load_mesh_read(mesh_file, *meshes.read(_os.fspath(mesh_file)))


# The engine's method: the native reader first, meshio for every other format (the compiled
# module imports nothing of this package for it).
_load_mesh.__name__, _load_mesh.__qualname__ = "load_mesh", "Lumetra.load_mesh"
_ext.Lumetra.load_mesh = _load_mesh
del _load_mesh

__all__ = sorted([name for name in vars(_ext) if not name.startswith("_")] + ["meshes", "optics_map"])


def set_num_threads(threads):
    """Set the number of CPU threads that run kernels on the CPU variant.

    The count applies to every module of the process (lumetra, curalis and exposa), each of
    which carries its own copy of the device layer. The initial value follows
    OMP_NUM_THREADS. The CUDA variant keeps the value but runs kernels on the GPU.
    """
    _backend.set_num_threads(threads)


def set_verbosity(level):
    """Set how much lumetra, curalis and exposa print: 1 (the default) everything, 0 only
    warnings and errors.

    Level 0 silences informational lines on standard output, such as load reports and the
    face-grid statistics; every line that is a warning or an error is still printed.
    """
    _backend.set_verbosity(level)
