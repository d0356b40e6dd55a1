"""Surface placement throughput: the same rays placed on a curved mesh of 12 000 boundary
faces with the grid tracer and with the every-face reference tracer; rays per second and their ratio.

    python bench/surface_placement.py [rays, default 20000]

The brute-force tracer is not part of the public API: this benchmark drives both tracers
through the test hooks (lumetra._testing), so it runs on a build with
LUMETRA_BUILD_TESTS=ON and says so elsewhere.
"""

import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "python"))

import numpy as np  # noqa: E402

import lumetra  # noqa: E402

try:
    from lumetra import _testing  # noqa: E402
except ImportError:
    sys.exit("bench/surface_placement.py needs the test hooks: build with LUMETRA_BUILD_TESTS=ON")
from meshes import annulus, rays_at, write_vtk  # noqa: E402


def rays_per_second(mesh, kind, positions, directions, repeats):
    tracer = _testing.SurfaceTracer(kind)
    tracer.build(mesh)
    best, faces = float("inf"), None
    for _ in range(repeats):
        rays = _testing.Rays(positions.shape[1])
        rays.set_positions(positions)
        rays.set_directions(directions)
        start = time.perf_counter()
        tracer.trace(rays, mesh)
        best = min(best, time.perf_counter() - start)
        faces = rays.start_faces()[0]
    return positions.shape[1] / best, faces


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 20000
    points, cells = annulus(4, 300, 16, r_inner=1.0, r_outer=1.5, height=2.0)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "annulus.vtk")
        write_vtk(path, points, cells)
        mesh = _testing.read_vtk(path)
    positions, directions = rays_at(points, count, seed=1)
    grid_rate, grid_faces = rays_per_second(mesh, 1, positions, directions, repeats=3)
    brute_rate, brute_faces = rays_per_second(mesh, 2, positions, directions, repeats=1)
    agree = np.mean(grid_faces == brute_faces)
    print(
        f"\nbackend {lumetra.backend}, threads {lumetra.get_num_threads()}: {mesh.n_faces} boundary faces, "
        f"{count} rays ({np.mean(grid_faces >= 0):.0%} hit), start faces agree for {agree:.2%}\n"
        f"  grid tracer:        {grid_rate:12.0f} rays/s\n"
        f"  brute-force tracer: {brute_rate:12.0f} rays/s\n"
        f"  ratio:              {grid_rate / brute_rate:12.1f}",
        file=sys.stderr,
    )


if __name__ == "__main__":
    main()
