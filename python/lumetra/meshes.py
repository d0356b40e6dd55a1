"""Hexahedral meshes for lumetra: generators, and files read and written through meshio.

A mesh here is a :class:`HexMesh`: node coordinates, the eight node ids of every element
in VTK's hexahedron order, and optional nodal refractive index and absorptivity. Its fields
are the arguments of ``Lumetra.load_mesh_arrays`` in order, so
``engine.load_mesh_arrays(*mesh)`` loads it.

Contents
--------
HexMesh
    The arrays of a mesh.
box
    A block of nx x ny x nz hexahedra.
vial
    A cylinder as an O-grid of hexahedra (square core, four outer blocks).
read, from_meshio
    Hexahedra and nodal fields of any file meshio reads, or of a meshio.Mesh.
write, to_meshio
    A HexMesh as a file (legacy VTK or anything meshio writes), or as a meshio.Mesh.
merge_nodes
    One node for each group of coincident nodes (exporters that write every element with
    nodes of its own split the mesh into separate cells).

Example
-------
>>> import lumetra
>>> from lumetra import meshes
>>> vial = meshes.vial(radius=5.0, height=10.0, refractive_index=1.5, absorptivity=0.01)
>>> engine = lumetra.Lumetra()
>>> engine.load_mesh_arrays(*vial)
>>> meshes.write("vial.vtk", vial)
"""

from __future__ import annotations

import contextlib
import math
import operator
import os
from collections.abc import Callable
from typing import Any, NamedTuple, Union

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _sizes

__all__ = ["HexMesh", "box", "vial", "read", "write", "from_meshio", "to_meshio", "merge_nodes"]

# A nodal field as the generators take it: a constant, one value per node, or a function
# of the node coordinates f(x, y, z) evaluated on arrays.
NodalField = Union[None, float, ArrayLike, Callable[[NDArray, NDArray, NDArray], ArrayLike]]

# VTK voxels number their corners x fastest (0 1 / 2 3 per layer); hexahedra go round.
VOXEL_TO_HEXAHEDRON = [0, 1, 3, 2, 4, 5, 7, 6]
# Corner (x, y, z) offsets of hexahedron nodes 0-7.
_CORNERS = np.array([[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0], [0, 0, 1], [1, 0, 1], [1, 1, 1], [0, 1, 1]])


class HexMesh(NamedTuple):
    """The arrays of a hexahedral mesh, in the order ``Lumetra.load_mesh_arrays`` takes them."""

    points: NDArray[np.float64]
    """Node coordinates, shape (N, 3)."""
    hexahedra: NDArray[np.int64]
    """Node ids of each element, shape (E, 8), VTK's hexahedron order."""
    refractive_index: NDArray[np.float64] | None = None
    """Refractive index per node, shape (N,), or None."""
    absorptivity: NDArray[np.float64] | None = None
    """Absorptivity per node, shape (N,), or None."""


# What a generated mesh holds at least: float64 coordinates per node, int64 node ids per
# element (the arrays it is made from and its nodal fields come on top).
_BYTES_PER_NODE = 3 * 8
_BYTES_PER_ELEMENT = 8 * 8


def _require_fits(item: str, nodes: int, elements: int) -> None:
    """MemoryError naming the generator call, before any array exists, for a mesh that the
    engine cannot hold or the memory cannot."""
    _sizes.require_count(item, nodes, "nodes", _BYTES_PER_NODE)
    _sizes.require_count(item, elements, "elements", _BYTES_PER_ELEMENT)
    _sizes.require_memory(
        f"{item}: {nodes} nodes and {elements} elements", nodes * _BYTES_PER_NODE + elements * _BYTES_PER_ELEMENT
    )


def _field(value: NodalField, points: NDArray) -> NDArray[np.float64] | None:
    if value is None:
        return None
    if callable(value):
        value = value(points[:, 0], points[:, 1], points[:, 2])
    values = np.broadcast_to(np.asarray(value, dtype=float), (len(points),))
    return np.array(values)


def _count(name: str, value: Any) -> int:
    """An element count as given: a whole number (of any integer type) of at least 1."""
    if isinstance(value, (bool, np.bool_)):
        raise ValueError(f"{name} must be a whole number of elements, not {value!r}")
    try:
        count = operator.index(value)
    except TypeError:
        raise ValueError(f"{name} must be a whole number of elements, not {value!r}") from None
    if count < 1:
        raise ValueError(f"{name} must be at least 1, not {count}")
    return count


def _length(name: str, value: Any) -> float:
    """A positive, finite length whose powers the generator can form without underflow."""
    try:
        length = float(value)
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be a number, not {value!r}") from None
    if not math.isfinite(length) or length <= 0.0:
        raise ValueError(f"{name} must be a positive finite number, not {value!r}")
    # The engine keeps coordinates in single precision: smaller lengths are 0 or denormal there.
    if length < _SMALLEST_LENGTH or length > _LARGEST_LENGTH:
        raise ValueError(
            f"{name} = {length:g} is outside what single precision coordinates hold "
            f"({_SMALLEST_LENGTH:g} to {_LARGEST_LENGTH:g})"
        )
    return length


# Lengths whose node spacings and volumes stay normal single precision numbers.
_SMALLEST_LENGTH = 1e-12
_LARGEST_LENGTH = 1e12


def _mesh(points: NDArray, hexahedra: NDArray, refractive_index: NodalField, absorptivity: NodalField) -> HexMesh:
    points = np.asarray(points, dtype=float)
    return HexMesh(
        points, np.asarray(hexahedra, dtype=np.int64), _field(refractive_index, points), _field(absorptivity, points)
    )


def box(
    nx: int,
    ny: int,
    nz: int,
    size: ArrayLike = (1.0, 1.0, 1.0),
    origin: ArrayLike = (0.0, 0.0, 0.0),
    refractive_index: NodalField = None,
    absorptivity: NodalField = None,
) -> HexMesh:
    """A rectangular block of nx x ny x nz equal hexahedra.

    Parameters
    ----------
    nx, ny, nz : int
        Elements along x, y and z (at least 1 each).
    size : array_like, optional
        Edge lengths of the block along x, y and z (default 1 each).
    origin : array_like, optional
        The corner with the smallest coordinates (default the origin).
    refractive_index, absorptivity : float, array_like or callable, optional
        Nodal values: a constant, one value per node, or a function f(x, y, z) of the node
        coordinate arrays. None (default) leaves the field out.

    Returns
    -------
    HexMesh
        Nodes numbered x fastest, then y, then z; every element has positive volume.

    Raises
    ------
    ValueError
        For an element count that is not a whole number of at least 1 (naming it).
    MemoryError
        For more nodes or elements than the engine holds, or than fit in the memory
        available (checked before anything is allocated).

    Example
    -------
    >>> m = box(10, 10, 20, size=(1, 1, 2), absorptivity=lambda x, y, z: 0.1 * z)
    """
    cx, cy, cz = _count("box: nx", nx), _count("box: ny", ny), _count("box: nz", nz)
    counts = np.array([cx, cy, cz])
    nx, ny, nz = cx, cy, cz
    _require_fits(f"box({cx}, {cy}, {cz})", (cx + 1) * (cy + 1) * (cz + 1), cx * cy * cz)
    axes = [
        np.linspace(o, o + s, n + 1) for o, s, n in zip(np.broadcast_to(origin, 3), np.broadcast_to(size, 3), counts)
    ]
    z, y, x = np.meshgrid(axes[2], axes[1], axes[0], indexing="ij")
    points = np.stack([x.ravel(), y.ravel(), z.ravel()], axis=1)
    node = np.arange(len(points)).reshape(nz + 1, ny + 1, nx + 1)
    k, j, i = (a.ravel() for a in np.meshgrid(np.arange(nz), np.arange(ny), np.arange(nx), indexing="ij"))
    hexahedra = np.stack([node[k + c[2], j + c[1], i + c[0]] for c in _CORNERS], axis=1)
    return _mesh(points, hexahedra, refractive_index, absorptivity)


def vial(
    radius: float = 1.0,
    height: float = 1.0,
    n_core: int = 4,
    n_radial: int = 4,
    n_z: int = 8,
    core_fraction: float = 0.5,
    refractive_index: NodalField = None,
    absorptivity: NodalField = None,
) -> HexMesh:
    """A cylindrical vial about the z axis as an O-grid of hexahedra.

    A square core of n_core x n_core elements is surrounded by four blocks that run from the
    square's sides to the cylinder wall, so no element is degenerate on the axis.

    Parameters
    ----------
    radius, height : float, optional
        Cylinder radius and height; the vial stands on z = 0 (defaults 1).
    n_core : int, optional
        Elements along each side of the core square; the wall has 4 * n_core (default 4).
    n_radial : int, optional
        Elements from the core square to the wall (default 4).
    n_z : int, optional
        Element layers along z (default 8).
    core_fraction : float, optional
        Distance of the core square's corners from the axis, as a fraction of the radius,
        in (0, 1) (default 0.5).
    refractive_index, absorptivity : float, array_like or callable, optional
        As for :func:`box`.

    Returns
    -------
    HexMesh
        Every element has positive volume; the wall nodes lie on the cylinder, equally spaced
        in angle. The volume is that of the inscribed prism with 4 * n_core sides.

    Raises
    ------
    ValueError
        Naming the argument: an element count that is not a whole number of at least 1, a
        radius or height that is not a positive finite number between 1e-12 and 1e12 (the
        engine's single precision coordinates), core_fraction outside (0, 1).
    MemoryError
        As for :func:`box`.

    Example
    -------
    >>> m = vial(radius=5.0, height=10.0, n_core=6, n_radial=5, n_z=20, refractive_index=1.5)
    """
    n, m, layers = _count("vial: n_core", n_core), _count("vial: n_radial", n_radial), _count("vial: n_z", n_z)
    radius, height = _length("vial: radius", radius), _length("vial: height", height)
    if not 0.0 < core_fraction < 1.0:
        raise ValueError(f"vial: core_fraction must lie in (0, 1), not {core_fraction}")
    _require_fits(
        f"vial(n_core={n}, n_radial={m}, n_z={layers})",
        ((n + 1) ** 2 + 4 * n * m) * (layers + 1),
        (n * n + 4 * n * m) * layers,
    )
    a = core_fraction * radius / math.sqrt(2.0)
    # One layer: the core grid (i, j), then rings r = 1..m of 4n nodes going round.
    s = np.linspace(-a, a, n + 1)
    core_y, core_x = np.meshgrid(s, s, indexing="ij")
    core = np.stack([core_x.ravel(), core_y.ravel()], axis=1)

    def core_id(i, j):
        return j * (n + 1) + i

    # Square boundary node g of 4n going round counter-clockwise from the corner (a, -a).
    g = np.arange(4 * n)
    side, t = g // n, g % n
    boundary_i = np.choose(side, [np.full_like(t, n), n - t, np.zeros_like(t), t])
    boundary_j = np.choose(side, [t, np.full_like(t, n), n - t, np.zeros_like(t)])
    boundary = core_id(boundary_i, boundary_j)
    angle = -math.pi / 4 + g * (math.pi / 2) / n
    wall = radius * np.stack([np.cos(angle), np.sin(angle)], axis=1)
    rings = [core[boundary] + (wall - core[boundary]) * r / m for r in range(1, m + 1)]
    layer = np.concatenate([core] + rings)
    per_layer = len(layer)

    def ring_id(g, r):
        return np.where(r == 0, boundary[g % (4 * n)], (n + 1) ** 2 + (r - 1) * 4 * n + g % (4 * n))

    # Quadrilaterals of one layer, counter-clockwise seen from +z.
    j, i = (x.ravel() for x in np.meshgrid(np.arange(n), np.arange(n), indexing="ij"))
    quads = [np.stack([core_id(i, j), core_id(i + 1, j), core_id(i + 1, j + 1), core_id(i, j + 1)], axis=1)]
    r, g = (x.ravel() for x in np.meshgrid(np.arange(m), np.arange(4 * n), indexing="ij"))
    quads.append(np.stack([ring_id(g, r), ring_id(g, r + 1), ring_id(g + 1, r + 1), ring_id(g + 1, r)], axis=1))
    quads = np.concatenate(quads)

    z = np.linspace(0.0, height, layers + 1)
    points = np.concatenate([np.column_stack([layer, np.full(per_layer, zk)]) for zk in z])
    hexahedra = np.concatenate([np.hstack([quads + k * per_layer, quads + (k + 1) * per_layer]) for k in range(layers)])
    return _mesh(points, hexahedra, refractive_index, absorptivity)


@contextlib.contextmanager
def _vtk_voxels_readable():
    """meshio drops VTK voxels (type 11) when it reads VTK files; let them through, under
    their own name, for the time of one read."""
    from meshio import _common, _mesh, _vtk_common

    tables = [
        (_vtk_common.vtk_to_meshio_type, 11, "voxel"),
        (_common.num_nodes_per_cell, "voxel", 8),
        (_mesh.topological_dimension, "voxel", 3),
    ]
    added = [(table, key) for table, key, _ in tables if key not in table]
    for table, key, value in tables:
        table.setdefault(key, value)
    try:
        yield
    finally:
        for table, key in added:
            del table[key]


def _nodal(mesh: Any, name: str, source: str) -> NDArray[np.float64] | None:
    if name not in mesh.point_data:
        return None
    values = np.asarray(mesh.point_data[name], dtype=float)
    if values.size != len(mesh.points):
        raise RuntimeError(f"{source}: point data {name} has shape {values.shape}, not one value per node")
    return values.reshape(-1)


def from_meshio(mesh: Any, source: str = "meshio mesh") -> HexMesh:
    """The hexahedra and nodal fields of a meshio.Mesh.

    Hexahedra are taken as they are and VTK voxels are reordered into hexahedra; other
    cells (quads, lines, vertices, ...) are skipped with one warning line that counts them
    per type. Point data named "RefractiveIndex" and "Absorptivity" becomes the nodal fields.

    Parameters
    ----------
    mesh : meshio.Mesh
    source : str, optional
        How error messages name the mesh.

    Returns
    -------
    HexMesh

    Raises
    ------
    RuntimeError
        If the mesh has no hexahedra, or a nodal field has not one value per node.
    """
    blocks, skipped = [], {}
    for block in mesh.cells:
        data = np.asarray(block.data)
        if block.type == "hexahedron":
            blocks.append(data)
        elif block.type == "voxel":
            blocks.append(data[:, VOXEL_TO_HEXAHEDRON])
        else:
            skipped[block.type] = skipped.get(block.type, 0) + len(data)
    if not blocks:
        found = ", ".join(f"{count} {kind}" for kind, count in skipped.items()) or "none"
        raise RuntimeError(f"{source}: the mesh contains no hexahedra (cells found: {found})")
    if skipped:
        counts = ", ".join(f"{count} of type {kind}" for kind, count in skipped.items())
        print(f"Warning: skipped cells that are not hexahedra: {counts}")
    return HexMesh(
        np.asarray(mesh.points, dtype=float),
        np.concatenate(blocks).astype(np.int64),
        _nodal(mesh, "RefractiveIndex", source),
        _nodal(mesh, "Absorptivity", source),
    )


def read(path: str) -> HexMesh:
    """Read the hexahedra and nodal fields of a mesh file through meshio.

    Every format meshio reads: VTK legacy (ASCII and binary, versions 4.2 and 5.1), VTU (all
    its layouts), Gmsh .msh, Abaqus .inp, XDMF, ... See :func:`from_meshio` for what is taken.

    Parameters
    ----------
    path : str

    Returns
    -------
    HexMesh

    Raises
    ------
    RuntimeError
        If the file is missing or a folder, meshio cannot read it (with meshio's reason) or
        it holds no hexahedra; the message starts "Mesh file PATH: ".
    """
    source = f"Mesh file {path}"
    if os.path.isdir(path):
        raise RuntimeError(f"{source}: is a folder, not a file")
    if not os.path.exists(path):
        raise RuntimeError(f"{source}: no such file")
    try:
        import meshio
    except ImportError as error:
        raise RuntimeError(f"{source}: reading this format needs meshio (pip install meshio): {error}") from error
    try:
        with _vtk_voxels_readable():
            mesh = meshio.read(path)
    except (Exception, SystemExit) as error:  # meshio ends the process on some files it cannot read
        raise RuntimeError(f"{source}: meshio cannot read it: {type(error).__name__}: {error}") from error
    return from_meshio(mesh, source)


def to_meshio(mesh: HexMesh) -> Any:
    """The mesh as a meshio.Mesh with its nodal fields as point data."""
    import meshio

    point_data = {
        name: np.asarray(values, dtype=float)
        for name, values in (("RefractiveIndex", mesh.refractive_index), ("Absorptivity", mesh.absorptivity))
        if values is not None
    }
    return meshio.Mesh(
        np.asarray(mesh.points, dtype=float), [("hexahedron", np.asarray(mesh.hexahedra))], point_data=point_data
    )


def write(path: str, mesh: HexMesh, file_format: str | None = None, **kwargs: Any) -> None:
    """Write a mesh to a file.

    A path ending in ".vtk" (without file_format) gets a legacy VTK file in the ASCII 4.2
    layout, which Lumetra.load_mesh reads natively; anything else goes to meshio.write.

    Parameters
    ----------
    path : str
    mesh : HexMesh
    file_format : str, optional
        A meshio format name ("vtu", "gmsh", "abaqus", "xdmf", ...); by default meshio picks
        it from the extension.
    **kwargs
        Passed to meshio's writer (for example binary=False, or compression=None for VTU).

    Example
    -------
    >>> write("vial.vtu", vial(), binary=False)
    """
    import meshio

    m = to_meshio(mesh)
    if file_format is None and str(path).lower().endswith(".vtk"):
        kwargs.setdefault("binary", False)
        meshio.vtk.write(str(path), m, fmt_version="4.2", **kwargs)
    else:
        meshio.write(str(path), m, file_format=file_format, **kwargs)


def merge_nodes(mesh: HexMesh, tolerance: float = 1e-9) -> HexMesh:
    """The same mesh with coincident nodes merged into one.

    Some exporters write each element with nodes of its own, so neighbouring elements do not
    share nodes: every element face then becomes a boundary face and rays stop at each one.
    Nodes closer than ``tolerance`` times the mesh's bounding-box diagonal (on a grid of
    that pitch) become one node, which keeps the coordinates and field values of the first.

    Parameters
    ----------
    mesh : HexMesh
    tolerance : float, optional
        Relative to the bounding-box diagonal (default 1e-9).

    Returns
    -------
    HexMesh
        Nodes renumbered in order of first appearance; elements refer to the merged nodes.

    Raises
    ------
    ValueError
        For a tolerance that is not a positive finite number, or a node with a coordinate
        that is not finite (it would fall into every grid cell's comparison as NaN).

    Example
    -------
    >>> engine.load_mesh_arrays(*merge_nodes(read("exported.inp")))
    """
    if not (
        isinstance(tolerance, (int, float, np.floating, np.integer)) and math.isfinite(tolerance) and tolerance > 0
    ):
        raise ValueError(f"merge_nodes: tolerance must be a positive finite number, not {tolerance!r}")
    points = np.asarray(mesh.points, dtype=float)
    if len(points) == 0:
        return mesh
    bad = ~np.all(np.isfinite(points), axis=1)
    if bad.any():
        raise ValueError(
            f"merge_nodes: node {int(np.argmax(bad))} has a coordinate that is not finite "
            f"({points[np.argmax(bad)].tolist()}); {int(bad.sum())} such node(s)"
        )
    diagonal = float(np.linalg.norm(points.max(axis=0) - points.min(axis=0))) or 1.0
    keys = np.round((points - points.min(axis=0)) / (tolerance * diagonal)).astype(np.int64)
    _, first, inverse = np.unique(keys, axis=0, return_index=True, return_inverse=True)
    # Keep the order of first appearance, so an already merged mesh comes back unchanged.
    order = np.argsort(first)
    renumber = np.empty_like(order)
    renumber[order] = np.arange(len(order))
    keep = first[order]
    new_ids = renumber[inverse.ravel()]

    def field(values: NDArray | None) -> NDArray[np.float64] | None:
        return None if values is None else np.asarray(values, dtype=float)[keep]

    return HexMesh(
        points[keep], new_ids[np.asarray(mesh.hexahedra)], field(mesh.refractive_index), field(mesh.absorptivity)
    )
