"""Absorbed power in a resin slab lit from above.

A 2 x 2 x 1 mm slab (20 x 20 x 10 hexahedra, refractive index 1.5, absorptivity
0.8 / mm) under a beam of 2 500 parallel rays carrying 1 W in total. The top face
refracts the light in (Fresnel losses included). Prints the absorbed power against
Beer-Lambert and writes slab_result_0.vtu for ParaView.

    python examples/slab_absorption.py [output directory]
"""

import math
import os
import sys

import numpy as np

import lumetra


def write_slab(path, nx=20, ny=20, nz=10, size=(2.0, 2.0, 1.0)):
    """A legacy VTK file of a block of hexahedra with uniform material fields."""
    xs, ys, zs = (np.linspace(0, s, n + 1) for s, n in zip(size, (nx, ny, nz)))
    z, y, x = np.meshgrid(zs, ys, xs, indexing="ij")
    points = np.stack([x.ravel(), y.ravel(), z.ravel()], axis=1)
    node = lambda i, j, k: i + (nx + 1) * (j + (ny + 1) * k)  # noqa: E731
    corners = [(0, 0, 0), (1, 0, 0), (1, 1, 0), (0, 1, 0), (0, 0, 1), (1, 0, 1), (1, 1, 1), (0, 1, 1)]
    cells = [[node(i + a, j + b, k + c) for a, b, c in corners]
             for k in range(nz) for j in range(ny) for i in range(nx)]
    with open(path, "w") as f:
        f.write("# vtk DataFile Version 3.0\nresin slab\nASCII\nDATASET UNSTRUCTURED_GRID\n")
        f.write(f"POINTS {len(points)} float\n")
        f.writelines(f"{p[0]:g} {p[1]:g} {p[2]:g}\n" for p in points)
        f.write(f"CELLS {len(cells)} {9 * len(cells)}\n")
        f.writelines("8 " + " ".join(map(str, c)) + "\n" for c in cells)
        f.write(f"CELL_TYPES {len(cells)}\n" + "12\n" * len(cells))
        f.write(f"POINT_DATA {len(points)}\n")
        for name, value in (("RefractiveIndex", 1.5), ("Absorptivity", 0.8)):
            f.write(f"SCALARS {name} float 1\nLOOKUP_TABLE default\n" + f"{value}\n" * len(points))


def write_beam(path, count_per_side=50, width=2.0, height=2.0):
    """Parallel rays travelling down (-z) over the slab, 1 W in total."""
    g = np.linspace(0.02, width - 0.02, count_per_side)
    n = count_per_side**2
    with open(path, "w") as f:
        f.write(f"# beam of {n} rays\n{n}\n")
        for x in g:
            for y in g:
                f.write(f"{x:g} {y:g} {height:g} 0 0 -1 {1.0 / n:.9g}\n")


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "."
    os.makedirs(out, exist_ok=True)
    mesh_file, ray_file = os.path.join(out, "slab.vtk"), os.path.join(out, "beam.ry")
    write_slab(mesh_file)
    write_beam(ray_file)

    engine = lumetra.Lumetra()
    engine.load_mesh(mesh_file)
    engine.load_rays(ray_file)
    top = lumetra.OpticalBoundaryCondition()
    top.faces = engine.select_boundary_faces_bbox(0, 2, 0, 2, 1, 1)
    top.refractive_index_real = 1.0  # air above the resin
    engine.set_boundary_conditions([top])
    engine.set_solver_type("RK4")
    engine.config()
    engine.configure_outfilename(os.path.join(out, "slab_result.vtu"))
    engine.compute_volumetric_absorption()
    engine.write_result()

    # Total absorbed power: nodal power density times the nodes' share of the volume.
    q = engine.get_absorbed_power()
    p = engine.get_node_positions()
    volume = np.full(len(p), (0.1 * 0.1 * 0.1))
    for axis, top_coordinate in enumerate((2.0, 2.0, 1.0)):
        volume *= np.where(np.isclose(p[:, axis], 0) | np.isclose(p[:, axis], top_coordinate), 0.5, 1.0)
    absorbed = float(q @ volume)
    expected = (1 - 0.04) * (1 - math.exp(-0.8 * 1.0))
    print(f"\nbackend {lumetra.backend}: absorbed {absorbed:.5f} W of 1 W; "
          f"Fresnel and Beer-Lambert give {expected:.5f} W")


if __name__ == "__main__":
    main()
