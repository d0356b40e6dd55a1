"""Small hexahedral meshes for the tests, and a legacy VTK writer in VTK's own layout."""

import numpy as np

# Corner offsets of HEX8 nodes 0-7 in (x, y, z).
HEX8_CORNERS = np.array([[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0], [0, 0, 1], [1, 0, 1], [1, 1, 1], [0, 1, 1]])


def grid(nx, ny, nz, spacing=1.0):
    """Points (N, 3) and hexahedra (E, 8) of a block of nx * ny * nz unit cells."""
    idx = np.arange((nx + 1) * (ny + 1) * (nz + 1)).reshape(nz + 1, ny + 1, nx + 1)
    z, y, x = np.meshgrid(np.arange(nz + 1), np.arange(ny + 1), np.arange(nx + 1), indexing="ij")
    points = np.stack([x.ravel(), y.ravel(), z.ravel()], axis=1) * spacing
    cells = []
    for k in range(nz):
        for j in range(ny):
            for i in range(nx):
                cells.append([idx[k + c[2], j + c[1], i + c[0]] for c in HEX8_CORNERS])
    return points.astype(float), np.array(cells, dtype=int)


def write_vtk(path, points, cells, refractive_index=None, absorptivity=None, per_line=9):
    """Legacy ASCII file laid out as VTK writes it: several numbers per line."""

    def block(values):
        values = list(values)
        return "".join(
            " ".join(f"{v:g}" for v in values[i : i + per_line]) + "\n" for i in range(0, len(values), per_line)
        )

    n, e = len(points), len(cells)
    text = [
        "# vtk DataFile Version 3.0\nmesh\nASCII\nDATASET UNSTRUCTURED_GRID\n",
        f"POINTS {n} float\n",
        block(np.asarray(points, float).ravel()),
        f"CELLS {e} {9 * e}\n",
        "".join("8 " + " ".join(map(str, c)) + "\n" for c in cells),
        f"CELL_TYPES {e}\n",
        block([12] * e),
    ]
    if refractive_index is not None or absorptivity is not None:
        text.append(f"POINT_DATA {n}\n")
    for name, values in (("RefractiveIndex", refractive_index), ("Absorptivity", absorptivity)):
        if values is not None:
            text += [f"SCALARS {name} float 1\nLOOKUP_TABLE default\n", block(values)]
    with open(path, "w") as f:
        f.write("".join(text))


def annulus(nr, ntheta, nz, r_inner=1.0, r_outer=2.0, height=1.0):
    """A hollow cylinder of nr * ntheta * nz hexahedra (curved inner and outer walls);
    the local axes run along radius, angle and height, which keeps every element positive."""

    def node(i, j, k):
        return i + (nr + 1) * ((j % ntheta) + ntheta * k)

    points = []
    for k in range(nz + 1):
        for j in range(ntheta):
            angle = 2 * np.pi * j / ntheta
            for i in range(nr + 1):
                r = r_inner + (r_outer - r_inner) * i / nr
                points.append([r * np.cos(angle), r * np.sin(angle), height * k / nz])
    cells = [
        [node(i + c[0], j + c[1], k + c[2]) for c in HEX8_CORNERS]
        for k in range(nz)
        for j in range(ntheta)
        for i in range(nr)
    ]
    return np.array(points), np.array(cells, dtype=int)


def rays_at(points, count, seed, radius=6.0):
    """Rays from a sphere around the mesh aimed at random points of its bounding box
    (enlarged by 10 %, so some miss): positions and unit directions, each (3, count)."""
    rng = np.random.default_rng(seed)
    lo, hi = points.min(axis=0), points.max(axis=0)
    centre, half = (lo + hi) / 2, (hi - lo) / 2 * 1.1
    start = rng.normal(size=(count, 3))
    start = centre + radius * np.max(half) * start / np.linalg.norm(start, axis=1, keepdims=True)
    target = centre + half * rng.uniform(-1, 1, size=(count, 3))
    direction = target - start
    direction /= np.linalg.norm(direction, axis=1, keepdims=True)
    return start.T.astype(np.float32), direction.T.astype(np.float32)


def cube_rotations():
    """The 24 proper rotations of the cube, as integer matrices."""
    import itertools

    out = []
    for perm in itertools.permutations(range(3)):
        for signs in itertools.product((1, -1), repeat=3):
            m = np.zeros((3, 3), dtype=int)
            for row, (col, sign) in enumerate(zip(perm, signs)):
                m[row, col] = sign
            if round(np.linalg.det(m)) == 1:
                out.append(m)
    return out


def rotate_cells(cells, rng):
    """The same hexahedra with their local frames turned by random cube rotations: node k of
    the new element is the node at corner R c_k of the old one."""
    corners = HEX8_CORNERS * 2 - 1
    lookup = {tuple(c): k for k, c in enumerate(corners)}
    rotations = cube_rotations()
    out = []
    for cell in cells:
        R = rotations[rng.integers(len(rotations))]
        out.append([cell[lookup[tuple(R @ c)]] for c in corners])
    return np.array(out)


def traced_slab(folder, configure=False):
    """An engine that has traced a 2 x 2 x 3 slab (index 1.2, absorptivity 0.5, a legacy VTK
    file in folder) once from above with two rays, configured first when asked; returns the
    engine, a copy of what it absorbed, and the slab's points and cells."""
    import contextlib
    import io
    from pathlib import Path

    import lumetra

    folder = Path(folder)
    points, cells = grid(2, 2, 3)
    write_vtk(
        folder / "slab.vtk",
        points,
        cells,
        refractive_index=np.full(len(points), 1.2),
        absorptivity=np.full(len(points), 0.5),
    )
    (folder / "beam.ry").write_text("2\n0.5 0.5 5 0 0 -1 0.5\n1.5 1.2 5 0 0 -1 0.5\n")
    engine = lumetra.Lumetra()
    with contextlib.redirect_stdout(io.StringIO()):
        engine.load_mesh(str(folder / "slab.vtk"))
        engine.load_rays(str(folder / "beam.ry"))
        if configure:
            engine.config()
            engine.configure_outfilename(str(folder / "out.vtu"))
        engine.compute_volumetric_absorption()
    return engine, engine.get_absorbed_power().copy(), points, cells
