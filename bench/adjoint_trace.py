"""Cost of the adjoint trace (Lumetra.trace_adjoint) against a forward trace of the same
rays, through the public API, in one run.

The default vial of ``lumetra run`` (radius 5, resin 1.48 in air, so the wall refracts),
a graded index across it, and a parallel beam from the side; each solver. The traces are
interleaved (forward, adjoint, forward, ...) so a busy spell on a shared machine hits both
alike, and the best of several is kept. Also printed: how far <A p, g> and <p, A^T g> differ
for the timed p and a random g.

    python bench/adjoint_trace.py [rays across, default 64] [rays high, default 48]
"""

import contextlib
import io
import sys
import time

import numpy as np

import lumetra
from lumetra import meshes, runner

REPEATS = 5


def engine_for(solver, across, high):
    engine = lumetra.Lumetra()
    with contextlib.redirect_stdout(io.StringIO()):
        mesh = meshes.vial(
            5.0, 10.0, 8, 8, 20, 0.5, refractive_index=lambda x, y, z: 1.48 + 0.004 * x, absorptivity=0.1
        )
        engine.load_mesh_arrays(*mesh)
        bc = lumetra.OpticalBoundaryCondition()
        bc.faces = engine.select_boundary_faces_radial(5.0, 5.0, True, 5e-5)
        bc.refractive_index_real = 1.0
        engine.set_boundary_conditions([bc])
        rays = runner.beam_rays(
            {
                "rays_across": across,
                "rays_high": high,
                "direction": [1, 0, 0],
                "axis": [0, 0, 1],
                "center": [0, 0, 5],
                "start_distance": 10.0,
                "width": 10.0,
                "height": 8.0,
                "power": 1.0,
            }
        )
        engine.set_rays(rays[:, :3], rays[:, 3:6], rays[:, 6])
        engine.set_solver_type(solver)
        engine.config()
        engine.compute_volumetric_absorption(progress=False)  # places the rays on the surface
    return engine


def main():
    across = int(sys.argv[1]) if len(sys.argv) > 1 else 64
    high = int(sys.argv[2]) if len(sys.argv) > 2 else 48
    print(f"backend {lumetra.backend}, {lumetra.get_num_threads()} threads, {across * high} rays")
    rng = np.random.default_rng(0)
    for solver in ("FE", "RK4"):
        engine = engine_for(solver, across, high)
        n = engine.get_ray_count()
        p = rng.uniform(size=n)
        g = rng.normal(size=engine.get_node_count())
        engine.set_ray_payloads(p)
        best = {"forward": np.inf, "adjoint": np.inf}
        with contextlib.redirect_stdout(io.StringIO()):
            for _ in range(REPEATS):
                start = time.perf_counter()
                engine.reset_absorbed_power()
                engine.compute_volumetric_absorption(progress=False)
                best["forward"] = min(best["forward"], time.perf_counter() - start)
                start = time.perf_counter()
                adjoint = engine.trace_adjoint(g)
                best["adjoint"] = min(best["adjoint"], time.perf_counter() - start)
        q = engine.get_absorbed_power()
        visits = engine.get_trace_summary()["element_visits"]
        gap = abs(q @ g - p @ adjoint) / np.abs(q * g).sum()
        print(
            f"{solver:4s} forward {best['forward'] * 1e3:8.1f} ms  adjoint {best['adjoint'] * 1e3:8.1f} ms  "
            f"ratio {best['adjoint'] / best['forward']:.2f}  ({visits / n:.1f} element visits per ray, "
            f"|<Ap,g> - <p,A^T g>| / <|Ap|,|g|> = {gap:.1e})"
        )


if __name__ == "__main__":
    main()
