"""Finite-element trace throughput and accuracy through the public API, for each step rule
in one run (LUMETRA_STEP_RULE: exit-aimed steps without the straight crossing "stepped",
and the default), each solver, on 1 and on all threads.

Three cases on a 50 x 50 x 40 block (100 000 hexahedra):
  graded:  index 1.4 to 1.5 across x, absorptivity 0.02 (every element is stepped);
  uniform: index 1.5, absorptivity 0.02 (the Beer-Lambert slab; straight crossings);
  pencil:  the uniform block, every ray entering at one point along -z (the pencil beam of
           photon-transport benchmarks: the same 40 elements, all in the caches).
Rays per second and element visits per second, best of several traces with the rules
interleaved (the machine may be shared), and the relative nodal L2 distance of each
rule's absorbed power from a fine-step Runge-Kutta reference (LUMETRA_STEP_RULE=fine).

    python bench/fe_trace.py [rays, default 4000 on the CPU, 100000 on a GPU]

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

RULES = (("stepped", "aimed, stepped"), ("", "aimed"))


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


def set_rule(rule):
    os.environ["LUMETRA_STEP_RULE"] = rule


def engine_for(mesh_path, rays_path, solver, out):
    engine = lumetra.Lumetra()
    with contextlib.redirect_stdout(io.StringIO()):
        engine.load_mesh(mesh_path)
        engine.load_rays(rays_path)
        engine.set_solver_type(solver)
        engine.config()
        engine.configure_outfilename(out)
        engine.compute_volumetric_absorption()  # places the rays on the surface
    return engine


def absorbed(engine, rule):
    set_rule(rule)
    with contextlib.redirect_stdout(io.StringIO()):
        engine.reset_absorbed_power()
        engine.compute_volumetric_absorption()
    return engine.get_absorbed_power()


def run_case(name, mesh_path, rays_path, count, tmp, repeats):
    with contextlib.redirect_stdout(io.StringIO()):
        per_ray = visits_per_ray(mesh_path, rays_path, count)
    threads_all = lumetra.get_num_threads()
    out = os.path.join(tmp, "unused.vtu")
    reference = absorbed(engine_for(mesh_path, rays_path, "RK4", out), "fine")
    print(f"\n{name}: {count} rays" + (f", {per_ray:.1f} element visits per ray" if per_ray else ""), file=sys.stderr)
    for solver, label in (("FE", "Euler"), ("RK4", "Runge-Kutta 4")):
        engine = engine_for(mesh_path, rays_path, solver, out)
        errors = {
            rule: np.linalg.norm(absorbed(engine, rule) - reference) / np.linalg.norm(reference) for rule, _ in RULES
        }
        for threads in sorted({1, threads_all}):
            lumetra.set_num_threads(threads)
            best = {rule: float("inf") for rule, _ in RULES}
            for _ in range(repeats):  # interleaved, so a busy spell hits every rule alike
                for rule, _ in RULES:
                    set_rule(rule)
                    with contextlib.redirect_stdout(io.StringIO()):
                        start = time.perf_counter()
                        engine.compute_volumetric_absorption()
                        best[rule] = min(best[rule], time.perf_counter() - start)
            for rule, rule_label in RULES:
                rps = count / best[rule]
                visits = f"{rps * per_ray:11.0f} visits/s" if per_ray else ""
                ratio = best[RULES[0][0]] / best[rule]
                print(
                    f"  {label:14s} {rule_label:15s} {threads} thread(s): {rps:9.0f} rays/s {visits}  "
                    f"x{ratio:5.2f}  nodal L2 vs reference {errors[rule]:.1e}",
                    file=sys.stderr,
                )
        lumetra.set_num_threads(threads_all)
    set_rule("")


def write_case(tmp, name, count, index, pencil=False):
    nx, ny, nz = 50, 50, 40
    points, cells = grid(nx, ny, nz)
    mesh_path, rays_path = os.path.join(tmp, f"{name}.vtk"), os.path.join(tmp, f"{name}.ry")
    write_vtk(mesh_path, points, cells, refractive_index=index(points), absorptivity=np.full(len(points), 0.02))
    rng = np.random.default_rng(0)
    xy = rng.uniform(1, nx - 1, size=(count, 2))
    d = np.array([0.1, 0.05, -1.0])
    d /= np.linalg.norm(d)
    if pencil:
        xy[:] = (nx / 2 + 0.3, ny / 2 + 0.7)
        d = np.array([0.0, 0.0, -1.0])
    with open(rays_path, "w") as f:
        f.write(f"{count}\n")
        for x, y in xy:
            f.write(f"{x} {y} {nz + 1} {d[0]} {d[1]} {d[2]} {1.0 / count}\n")
    return mesh_path, rays_path


def main():
    default = 100_000 if lumetra.backend == "cuda" else 4000
    count = int(sys.argv[1]) if len(sys.argv) > 1 else default
    repeats = int(os.environ.get("BENCH_REPEATS", "3"))
    print(f"\nbackend {lumetra.backend}, 50 x 50 x 40 hexahedra", file=sys.stderr)
    with tempfile.TemporaryDirectory() as tmp:
        uniform = lambda p: np.full(len(p), 1.5)  # noqa: E731
        for name, index, pencil in (
            ("graded", lambda p: 1.4 + 0.002 * p[:, 0], False),
            ("uniform", uniform, False),
            ("pencil", uniform, True),
        ):
            with contextlib.redirect_stdout(io.StringIO()):
                mesh_path, rays_path = write_case(tmp, name, count, index, pencil)
            run_case(name, mesh_path, rays_path, count, tmp, repeats)


if __name__ == "__main__":
    main()
