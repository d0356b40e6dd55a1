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

from . import _backend
from ._backend import load_extension as _load_extension

_ext, backend = _load_extension()
_backend.share_thread_count(_ext)

# Everything public of the compiled variant is the package's API, with the mesh helpers and
# the map's matrix.
globals().update({name: value for name, value in vars(_ext).items() if not name.startswith("_")})
from . import meshes  # noqa: E402  (after the variant: load_mesh reads files through it)
from . import optics_map  # noqa: E402

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
