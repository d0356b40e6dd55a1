"""Finite-element trace throughput: a beam through a block of 100 000 hexahedra with a
graded index and absorption, each solver, on 1 and on all threads; rays per second and
element visits per second.

    python bench/fe_trace.py [rays, default 4000]
"""

import io
import contextlib
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "python"))

import numpy as np  # noqa: E402

import lumetra  # noqa: E402
from lumetra import _testing  # noqa: E402
from meshes import grid, write_vtk  # noqa: E402


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 4000
    nx, ny, nz = 50, 50, 40
    points, cells = grid(nx, ny, nz)
    index = 1.4 + 0.002 * points[:, 0]
    with tempfile.TemporaryDirectory() as tmp, contextlib.redirect_stdout(io.StringIO()):
        write_vtk(os.path.join(tmp, "block.vtk"), points, cells, refractive_index=index,
                  absorptivity=np.full(len(points), 0.02))
        mesh = _testing.read_vtk(os.path.join(tmp, "block.vtk"))
        rng = np.random.default_rng(0)
        xy = rng.uniform(1, nx - 1, size=(count, 2))
        d = np.array([0.1, 0.05, -1.0])
        d /= np.linalg.norm(d)
        ry = os.path.join(tmp, "beam.ry")
        with open(ry, "w") as f:
            f.write(f"{count}\n")
            for x, y in xy:
                f.write(f"{x} {y} {nz + 1} {d[0]} {d[1]} {d[2]} {1.0 / count}\n")
        rays = _testing.read_ray_file(ry)
        placer = _testing.SurfaceTracer(1)
        placer.build(mesh)
        placer.trace(rays, mesh)
    threads_all = lumetra.get_num_threads()
    print(f"\nbackend {lumetra.backend}: {mesh.n_elements} elements, {count} rays", file=sys.stderr)
    for solver, name in ((0, "Euler"), (1, "Runge-Kutta 4")):
        rates = {}
        for threads in sorted({1, threads_all}):
            lumetra.set_num_threads(threads)
            tracer = _testing.Tracer(solver, 2)
            tracer.config("unused.vtu", mesh.n_nodes)
            elapsed = float("inf")
            for _ in range(3):  # best of three: the first also warms caches up
                start = time.perf_counter()
                tracer.trace(rays, mesh)
                elapsed = min(elapsed, time.perf_counter() - start)
            rates[threads] = (count / elapsed, tracer.visits / elapsed, tracer.visits / count)
        lumetra.set_num_threads(threads_all)
        for threads, (rps, vps, per_ray) in rates.items():
            print(f"  {name:14s} {threads} thread(s): {rps:10.0f} rays/s {vps:12.0f} element visits/s "
                  f"({per_ray:.1f} visits per ray)", file=sys.stderr)
        if len(rates) == 2:
            one, many = rates[1][1], rates[threads_all][1]
            print(f"  {name:14s} speed-up on {threads_all} threads: {many / one:.2f} "
                  f"(parallel efficiency {many / one / threads_all:.0%})", file=sys.stderr)


if __name__ == "__main__":
    main()
