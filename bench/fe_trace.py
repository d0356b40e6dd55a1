"""Finite-element trace throughput through the public API: a beam through a block of
100 000 hexahedra with a graded index and absorption, each solver, on 1 and on all
threads; rays per second and element visits per second.

    python bench/fe_trace.py [rays, default 4000]

Element visits per ray are a property of the geometry; they are counted once through the
test hooks (lumetra._testing, present in a build with LUMETRA_BUILD_TESTS=ON). Without
them only rays per second are printed.
"""

import contextlib
import io
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "python"))

import numpy as np  # noqa: E402

import lumetra  # noqa: E402
from meshes import grid, write_vtk  # noqa: E402


def visits_per_ray(mesh_path, rays_path, count):
    try:
        from lumetra import _testing
    except ImportError:
        return None
    mesh = _testing.read_vtk(mesh_path)
    rays = _testing.read_ray_file(rays_path)
    placer = _testing.SurfaceTracer(1)
    placer.build(mesh)
    placer.trace(rays, mesh)
    tracer = _testing.Tracer(0, 2)
    tracer.config("unused.vtu", mesh.n_nodes)
    tracer.trace(rays, mesh)
    return tracer.visits / count


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 4000
    nx, ny, nz = 50, 50, 40
    points, cells = grid(nx, ny, nz)
    index = 1.4 + 0.002 * points[:, 0]
    threads_all = lumetra.get_num_threads()
    with tempfile.TemporaryDirectory() as tmp:
        mesh_path, rays_path = os.path.join(tmp, "block.vtk"), os.path.join(tmp, "beam.ry")
        write_vtk(mesh_path, points, cells, refractive_index=index, absorptivity=np.full(len(points), 0.02))
        rng = np.random.default_rng(0)
        xy = rng.uniform(1, nx - 1, size=(count, 2))
        d = np.array([0.1, 0.05, -1.0])
        d /= np.linalg.norm(d)
        with open(rays_path, "w") as f:
            f.write(f"{count}\n")
            for x, y in xy:
                f.write(f"{x} {y} {nz + 1} {d[0]} {d[1]} {d[2]} {1.0 / count}\n")
        with contextlib.redirect_stdout(io.StringIO()):
            per_ray = visits_per_ray(mesh_path, rays_path, count)
        print(f"\nbackend {lumetra.backend}: {len(cells)} elements, {count} rays", file=sys.stderr)
        for solver, name in (("FE", "Euler"), ("RK4", "Runge-Kutta 4")):
            rates = {}
            for threads in sorted({1, threads_all}):
                lumetra.set_num_threads(threads)
                engine = lumetra.Lumetra()
                with contextlib.redirect_stdout(io.StringIO()):
                    engine.load_mesh(mesh_path)
                    engine.load_rays(rays_path)
                    engine.set_solver_type(solver)
                    engine.config()
                    engine.configure_outfilename(os.path.join(tmp, "unused.vtu"))
                    engine.compute_volumetric_absorption()  # places the rays on the surface
                    elapsed = float("inf")
                    for _ in range(3):
                        start = time.perf_counter()
                        engine.compute_volumetric_absorption()
                        elapsed = min(elapsed, time.perf_counter() - start)
                rates[threads] = count / elapsed
            lumetra.set_num_threads(threads_all)
            for threads, rps in rates.items():
                visits = f"{rps * per_ray:12.0f} element visits/s ({per_ray:.1f} visits per ray)" if per_ray else ""
                print(f"  {name:14s} {threads} thread(s): {rps:10.0f} rays/s {visits}", file=sys.stderr)
            if len(rates) == 2:
                one, many = rates[1], rates[threads_all]
                print(f"  {name:14s} speed-up on {threads_all} threads: {many / one:.2f} "
                      f"(parallel efficiency {many / one / threads_all:.0%})", file=sys.stderr)


if __name__ == "__main__":
    main()
