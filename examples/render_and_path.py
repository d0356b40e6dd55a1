"""A picture of a mesh and the path of one ray through a graded-index region.

1. Renders a stepped block (a 4 x 4 x 1 base with a 2 x 2 x 1 tower on it) seen from
   above and at a slant: each pixel shows the normal of the face its ray meets first
   (render_top_0.bmp, render_slant_0.bmp, and PNGs when matplotlib or Pillow is there).
2. Samples the path of one ray through a block whose refractive index grows along x,
   n = 1.5 + 0.02 x, writes it as CSV (path_0.csv) and, with matplotlib, plots it over
   the index field (path.png). The ray bends toward the higher index.

    python examples/render_and_path.py [output directory]

set_objective, generate_camera_rays, get_image and get_optical_path are additions to the
engine's original interface, whose objective is always the absorbed power.
"""

import os
import sys

import numpy as np

import lumetra

CORNERS = [(0, 0, 0), (1, 0, 0), (1, 1, 0), (0, 1, 0), (0, 0, 1), (1, 0, 1), (1, 1, 1), (0, 1, 1)]


def write_vtk(path, nx, ny, nz, keep=lambda i, j, k: True, index=lambda x, y, z: 1.5 + 0 * x):
    """Unit cubes (i, j, k) of an nx x ny x nz block that `keep` accepts, as legacy VTK."""
    z, y, x = np.meshgrid(np.arange(nz + 1), np.arange(ny + 1), np.arange(nx + 1), indexing="ij")
    points = np.stack([x.ravel(), y.ravel(), z.ravel()], axis=1).astype(float)
    node = lambda i, j, k: i + (nx + 1) * (j + (ny + 1) * k)  # noqa: E731
    cells = [
        [node(i + a, j + b, k + c) for a, b, c in CORNERS]
        for k in range(nz)
        for j in range(ny)
        for i in range(nx)
        if keep(i, j, k)
    ]
    used = sorted({n for c in cells for n in c})
    renumber = {old: new for new, old in enumerate(used)}
    points = points[used]
    with open(path, "w") as f:
        f.write("# vtk DataFile Version 3.0\nexample\nASCII\nDATASET UNSTRUCTURED_GRID\n")
        f.write(f"POINTS {len(points)} float\n")
        f.writelines(f"{p[0]:g} {p[1]:g} {p[2]:g}\n" for p in points)
        f.write(f"CELLS {len(cells)} {9 * len(cells)}\n")
        f.writelines("8 " + " ".join(str(renumber[n]) for n in c) + "\n" for c in cells)
        f.write(f"CELL_TYPES {len(cells)}\n" + "12\n" * len(cells))
        f.write(f"POINT_DATA {len(points)}\nSCALARS RefractiveIndex float 1\nLOOKUP_TABLE default\n")
        f.writelines(f"{n:g}\n" for n in index(*points.T))
        f.write("SCALARS Absorptivity float 1\nLOOKUP_TABLE default\n" + "0.05\n" * len(points))


def save_png(image, path):
    """The picture as PNG through matplotlib or Pillow, whichever is installed."""
    try:
        import matplotlib.pyplot as plt

        plt.imsave(path, image)
    except ImportError:
        try:
            from PIL import Image
        except ImportError:
            print(f"(neither matplotlib nor Pillow installed: no {path})")
            return
        Image.fromarray((image * 255).astype(np.uint8)).save(path)
    print(f"PNG written: {path}")


def render(out):
    mesh = os.path.join(out, "stepped.vtk")
    # The tower stands on the base's middle four cells.
    write_vtk(mesh, 4, 4, 2, keep=lambda i, j, k: k == 0 or (1 <= i <= 2 and 1 <= j <= 2))
    engine = lumetra.Lumetra()
    engine.load_mesh(mesh)
    engine.set_solver_type("FE")
    height, width, pixel = 120, 160, 0.04
    for name, position, direction in (("top", [2, 2, 6], [0, 0, -1]), ("slant", [-2, -3, 5], [1, 1.2, -1])):
        engine.set_objective(
            "render",
            {
                "pixel_width": width,
                "pixel_height": height,
                "pixel_size": pixel,
                "output_file": os.path.join(out, f"render_{name}.bmp"),
            },
        )
        engine.generate_camera_rays(position, direction, height, width, pixel)
        engine.config()
        engine.compute_volumetric_absorption()
        engine.write_result()
        save_png(engine.get_image(), os.path.join(out, f"render_{name}.png"))


def optical_path(out):
    mesh = os.path.join(out, "grin.vtk")
    n0, k = 1.5, 0.02
    write_vtk(mesh, 6, 1, 12, index=lambda x, y, z: n0 + k * x)
    rays = os.path.join(out, "one_ray.ry")
    with open(rays, "w") as f:
        f.write("1\n1.5 0.5 13 0 0 -1 1\n")  # straight down at x = 1.5
    engine = lumetra.Lumetra()
    engine.load_mesh(mesh)
    engine.load_rays(rays)
    engine.set_solver_type("RK4")
    engine.set_objective("optical_path", {"output_file": os.path.join(out, "path.csv"), "datapoints_amount": 100})
    engine.config()
    engine.compute_volumetric_absorption()
    engine.write_result()
    path = engine.get_optical_path()
    print(
        f"{len(path)} samples; the ray left the block at x = {path['x'][-1]:.4f} "
        f"(entered at x = 1.5000), with {path['E'][-1]:.4f} of its power"
    )
    try:
        import matplotlib.pyplot as plt
    except ImportError:
        print("(matplotlib not installed: no plot)")
        return
    x, z = np.meshgrid(np.linspace(0, 6, 61), np.linspace(0, 12, 121))
    fig, ax = plt.subplots(figsize=(4, 6))
    field = ax.pcolormesh(x, z, n0 + k * x, shading="auto", cmap="viridis")
    fig.colorbar(field, ax=ax, label="refractive index")
    ax.plot(np.r_[1.5, path["x"]], np.r_[12.0, path["z"]], "w.-", label="sampled path")
    ax.plot([1.5, 1.5], [12, 0], "w:", label="straight line")
    ax.set(xlabel="x", ylabel="z", title="Ray in n = 1.5 + 0.02 x")
    ax.legend(loc="lower left")
    fig.savefig(os.path.join(out, "path.png"), dpi=120, bbox_inches="tight")
    print(f"plot written: {os.path.join(out, 'path.png')}")


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "."
    os.makedirs(out, exist_ok=True)
    render(out)
    optical_path(out)


if __name__ == "__main__":
    main()
