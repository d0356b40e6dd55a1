"""Rays bent hard by a graded index, against the closed-form path: speed and accuracy of
each solver where the step size is set by the bending, not by the element faces.

A 20 x 4 x 20 block of unit hexahedra, index n = 1 + 0.1 x (1 to 3 across x, which the
trilinear elements hold exactly), no absorption. Rays enter the top face (z = 20) tilted
against the gradient and turn by up to about 45 degrees on the way down. In the solvers'
parameter sigma (dx/dsigma = p = n t) p_y and p_z stay constant and
    x(sigma) = -1/k + (x0 + 1/k) cosh(k sigma) + (p_x / k) sinh(k sigma),
so a ray that leaves through the bottom face does so at sigma = 20 / |p_z|. Printed per
solver and step rule: rays per second (1 thread, best of several), the largest and the RMS
distance of the exit points from the closed form, and how many rays were compared.

    python bench/bend_trace.py [rays, default 2000] [element size, default 1]

Elements of size 4 (5 x 1 x 5 of them) make the bending per element, not the faces, set
the steps.
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
from fe_trace import engine_for  # noqa: E402
from meshes import grid, write_vtk  # noqa: E402

K, WIDTH, DEPTH = 0.1, 20, 20


def closed_form(entry, d):
    n = 1.0 + K * entry[:, 0]
    p = d * n[:, None]
    sigma = DEPTH / np.abs(p[:, 2])
    x = -1 / K + (entry[:, 0] + 1 / K) * np.cosh(K * sigma) + p[:, 0] / K * np.sinh(K * sigma)
    y = entry[:, 1] + p[:, 1] * sigma
    return np.stack([x, y, np.zeros_like(x)], axis=1)


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 2000
    size = int(sys.argv[2]) if len(sys.argv) > 2 else 1
    if size < 1 or WIDTH % size or DEPTH % size or 4 % size:
        sys.exit(f"element size {size}: it must divide {WIDTH}, {DEPTH} and 4 (1, 2 or 4)")
    repeats = int(os.environ.get("BENCH_REPEATS", "3"))
    lumetra.set_num_threads(1)
    rng = np.random.default_rng(1)
    entry = np.column_stack([rng.uniform(6, 14, count), rng.uniform(0.5, 2.5, count), np.full(count, DEPTH)])
    d = np.array([-0.6, 0.05, -1.0])
    d /= np.linalg.norm(d)
    start = entry - d * (1.0 / -d[2])  # one unit above the top face, on the same line
    exact = closed_form(entry, d)
    inside = (exact[:, 0] > 0.5) & (exact[:, 0] < WIDTH - 0.5) & (exact[:, 1] > 0.05) & (exact[:, 1] < 3.95)
    print(
        f"\nbackend {lumetra.backend}, {count} rays, 1 thread, index 1 + {K} x, "
        f"elements of size {size}, {inside.sum()} rays leave through the bottom",
        file=sys.stderr,
    )
    with tempfile.TemporaryDirectory() as tmp:
        points, cells = grid(WIDTH // size, max(4 // size, 1), DEPTH // size, float(size))
        mesh_path, rays_path = os.path.join(tmp, "bend.vtk"), os.path.join(tmp, "bend.ry")
        write_vtk(mesh_path, points, cells, refractive_index=1 + K * points[:, 0], absorptivity=np.zeros(len(points)))
        with open(rays_path, "w") as f:
            f.write(f"{count}\n")
            for x, y, z in start:
                f.write(" ".join(repr(float(v)) for v in (x, y, z, *d, 1.0 / count)) + "\n")
        for solver, label in (("FE", "Euler"), ("RK4", "Runge-Kutta 4")):
            engine = engine_for(mesh_path, rays_path, solver, os.path.join(tmp, "unused.vtu"))
            for rule in ("", "fine"):
                os.environ["LUMETRA_STEP_RULE"] = rule
                best = float("inf")
                for _ in range(repeats if rule == "" else 1):
                    with contextlib.redirect_stdout(io.StringIO()):
                        began = time.perf_counter()
                        engine.compute_volumetric_absorption()
                        best = min(best, time.perf_counter() - began)
                got = engine.get_ray_exit_positions()
                bottom = inside & (np.abs(got[:, 2]) < 1e-3)
                distance = np.linalg.norm(got[bottom] - exact[bottom], axis=1)
                error = (
                    f"exit error max {distance.max():.2e} rms {np.sqrt(np.mean(distance**2)):.2e}"
                    if bottom.any()
                    else "no ray reached the bottom (steps per visit ran out)"
                )
                print(
                    f"  {label:14s} {rule or 'aimed':6s} {count / best:9.0f} rays/s  {error} ({bottom.sum()} rays)",
                    file=sys.stderr,
                )
    os.environ["LUMETRA_STEP_RULE"] = ""


if __name__ == "__main__":
    main()
