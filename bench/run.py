"""Every benchmark in one command, through the public API, with how each grows when the
rays or the mesh double; writes a JSON file and a Markdown table.

    python bench/run.py [--quick] [--out bench-results]

- surface placement: a fresh engine's first trace places the rays on the surface, a repeated
  trace does not; their difference is the placement (annulus of curved faces);
- trace: forward Euler and Runge-Kutta 4, on 1 and 2 threads; rays/s, element visits/s;
- mesh load: a legacy VTK file and the same block as arrays; s per million elements;
- curing step: one curalis reaction step, ns per node per step (sqrt(D dt) = 0.5 spacing);
- the default scenario of `lumetra run` end to end;
- the refined vial: the default scenario with the mesh refined to N = 8, 16, 32 and 48
  (n_core = N, n_radial = 3N/4, n_z = 2N; --quick: 4 and 8) and the rays with it, each in a
  process of its own: optics and curing seconds per step (finite-element diffusion with
  each preconditioner, the two alternated), and the growth of the process's peak memory per
  added element.

Each is then run with twice the rays and with twice the elements; the table gives the ratio
of work (rays, element visits, elements, nodes) and of time, both taken in this one run.
Linear cost shows as equal ratios. The backend is the one LUMETRA_BACKEND picks.
--quick runs smaller sizes (well under a minute on 2 cores); the default takes a few minutes.
"""

import argparse
import contextlib
import resource
import subprocess
import io
import json
import math
import os
import platform
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import curalis  # noqa: E402
import lumetra  # noqa: E402
from lumetra import meshes, runner, scenario  # noqa: E402

from curing_step import props as curing_props, write_beam as write_column_beam  # noqa: E402


def quiet():
    return contextlib.redirect_stdout(io.StringIO())


def write_rays(path, positions, directions, power=1.0):
    rays = np.hstack([positions, directions, np.full((len(positions), 1), power / len(positions))])
    runner.write_ray_file(Path(path), rays)
    return str(path)


def best(function, repeats=3):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return min(times)


def engine_for(mesh, rays_path, solver="FE", tmp="."):
    engine = lumetra.Lumetra()
    with quiet():
        engine.load_mesh_arrays(*mesh)
        engine.load_rays(rays_path)
        engine.set_solver_type(solver)
        engine.config()
        engine.configure_outfilename(os.path.join(tmp, "unused.vtu"))
    return engine


# ---------------------------------------------------------------------------------------
def annulus(n_theta):
    """A hollow cylinder (radii 1 and 1.5, height 2) of 4 x n_theta x 16 hexahedra."""
    nr, nz = 4, 16
    r = np.linspace(1.0, 1.5, nr + 1)
    a = 2 * np.pi * np.arange(n_theta) / n_theta
    z = np.linspace(0.0, 2.0, nz + 1)
    zz, aa, rr = np.meshgrid(z, a, r, indexing="ij")
    points = np.stack([(rr * np.cos(aa)).ravel(), (rr * np.sin(aa)).ravel(), zz.ravel()], axis=1)

    def node(i, j, k):
        return i + (nr + 1) * ((j % n_theta) + n_theta * k)

    k, j, i = (x.ravel() for x in np.meshgrid(np.arange(nz), np.arange(n_theta), np.arange(nr), indexing="ij"))
    corners = [(0, 0, 0), (1, 0, 0), (1, 1, 0), (0, 1, 0), (0, 0, 1), (1, 0, 1), (1, 1, 1), (0, 1, 1)]
    cells = np.stack([node(i + c[0], j + c[1], k + c[2]) for c in corners], axis=1)
    return meshes.HexMesh(points, cells, np.full(len(points), 1.5), np.full(len(points), 0.01))


def placement(tmp, rays, n_theta):
    """Seconds to place `rays` rays on an annulus of 4 x n_theta x 16 hexahedra."""
    mesh = annulus(n_theta)
    rng = np.random.default_rng(1)
    start = rng.normal(size=(rays, 3))
    start = 8.0 * start / np.linalg.norm(start, axis=1, keepdims=True) + [0, 0, 1]
    target = rng.uniform(-1.6, 1.6, size=(rays, 3)) * [1, 1, 0.6] + [0, 0, 1]
    d = target - start
    d /= np.linalg.norm(d, axis=1, keepdims=True)
    path = write_rays(os.path.join(tmp, "placement.ry"), start, d)
    firsts, repeats, visits = [], [], 0
    for _ in range(3):
        engine = engine_for(mesh, path, tmp=tmp)
        with quiet():
            t0 = time.perf_counter()
            engine.compute_volumetric_absorption()
            t1 = time.perf_counter()
            engine.compute_volumetric_absorption()
            t2 = time.perf_counter()
        firsts.append(t1 - t0)
        repeats.append(t2 - t1)
        visits = engine.get_trace_summary()["element_visits"]
    return max(min(firsts) - min(repeats), 1e-9), visits


def bench_placement(tmp, quick, rows, growth):
    rays, n_theta = (5000, 150) if quick else (20000, 300)
    seconds, _ = placement(tmp, rays, n_theta)
    faces = 2 * (4 * n_theta) + 2 * (16 * n_theta)
    rows.append(("surface placement", f"{rays} rays, {faces} boundary faces", rays / seconds, "rays/s"))
    twice_rays, _ = placement(tmp, 2 * rays, n_theta)
    twice_mesh, _ = placement(tmp, rays, 2 * n_theta)
    growth.append(("surface placement", "rays", 2.0, twice_rays / seconds))
    growth.append(("surface placement", "mesh (faces)", 2.0, twice_mesh / seconds))


# ---------------------------------------------------------------------------------------
def block(nz):
    nx = ny = 50
    return meshes.box(
        nx, ny, nz, size=(nx, ny, nz), refractive_index=lambda x, y, z: 1.4 + 0.002 * x, absorptivity=0.02
    )


def trace(tmp, rays, nz, solver, threads):
    """Best of three traces of an oblique beam down through a 50 x 50 x nz block."""
    rng = np.random.default_rng(0)
    xy = rng.uniform(1, 49, size=(rays, 2))
    d = np.array([0.1, 0.05, -1.0])
    d /= np.linalg.norm(d)
    start = np.column_stack([xy, np.full(rays, nz + 1.0)])
    path = write_rays(os.path.join(tmp, "beam.ry"), start, np.tile(d, (rays, 1)))
    lumetra.set_num_threads(threads)
    try:
        engine = engine_for(block(nz), path, solver, tmp)
        with quiet():
            engine.compute_volumetric_absorption()  # places the rays
            seconds = best(engine.compute_volumetric_absorption)
    finally:
        lumetra.set_num_threads(THREADS)
    return seconds, engine.get_trace_summary()["element_visits"]


def bench_trace(tmp, quick, rows, growth):
    rays, nz = (1000, 20) if quick else (4000, 40)
    for solver, name in (("FE", "Euler"), ("RK4", "Runge-Kutta 4")):
        for threads in sorted({1, THREADS}):
            seconds, visits = trace(tmp, rays, nz, solver, threads)
            case = f"{name}, {threads} thread(s), {rays} rays, {50 * 50 * nz} elements"
            rows.append(("trace", case, rays / seconds, "rays/s"))
            rows.append(("trace", case, visits / seconds, "element visits/s"))
            if solver == "FE" and threads == THREADS:
                base, base_visits = seconds, visits
    for what, args in (("rays", (2 * rays, nz)), ("mesh (elements, rays cross twice as many)", (rays, 2 * nz))):
        seconds, visits = trace(tmp, *args, "FE", THREADS)
        growth.append((f"trace (Euler, {THREADS} threads)", what, visits / base_visits, seconds / base))


# ---------------------------------------------------------------------------------------
def bench_mesh_load(tmp, quick, rows, growth):
    n = 24 if quick else 40
    times = {}
    for nz in (n, 2 * n):
        box = meshes.box(n, n, nz, size=(n, n, nz))
        path = os.path.join(tmp, f"grid{nz}.vtk")
        meshes.write(path, box)
        engine = lumetra.Lumetra()
        with quiet():
            times[nz] = (best(lambda: engine.load_mesh(path), 2), best(lambda: engine.load_mesh_arrays(*box), 2))
        cells = len(box.hexahedra)
        if nz == n:
            for what, seconds in zip(("file (legacy VTK)", "arrays"), times[nz]):
                rows.append(("mesh load", f"{what}, {cells} elements", seconds / cells * 1e6, "s per million elements"))
    for i, what in enumerate(("file", "arrays")):
        growth.append((f"mesh load ({what})", "mesh (elements)", 2.0, times[2 * n][i] / times[n][i]))


# ---------------------------------------------------------------------------------------
def curing_step(tmp, k, scheme):
    """Best of three curalis steps on a block of k^3 unit hexahedra lit down every column."""
    box = meshes.box(k, k, k, size=(k, k, k), refractive_index=1.5, absorptivity=0.05)
    beam = os.path.join(tmp, f"columns{k}.ry")
    write_column_beam(beam, k)
    engine = engine_for(box, beam, tmp=tmp)
    with quiet():
        engine.compute_volumetric_absorption()
        p = curing_props(0.5)
        p.diffusion_scheme = scheme
        model = curalis.Curalis(p, engine.get_node_count())
        model.initialize_accelerator(engine.get_mesh_ptr())
    args = (engine.get_result_array_device_ptr(), engine.get_mesh_data_devlink_ptr())
    return best(lambda: model.reaction_step(*args)), engine.get_node_count()


def bench_curing(tmp, quick, rows, growth):
    k, k2 = (16, 20) if quick else (30, 38)  # (k2 + 1)^3 is about twice (k + 1)^3
    for scheme in ("kernel", "fem"):
        seconds, nodes = curing_step(tmp, k, scheme)
        rows.append(
            (
                f"curing step ({scheme})",
                f"{nodes} nodes, sqrt(D dt) = 0.5 spacing, {THREADS} thread(s)",
                seconds / nodes * 1e9,
                "ns per node per step",
            )
        )
        seconds2, nodes2 = curing_step(tmp, k2, scheme)
        growth.append((f"curing step ({scheme})", "mesh (nodes)", nodes2 / nodes, seconds2 / seconds))


# ---------------------------------------------------------------------------------------


def bench_scenario(tmp, quick, rows, growth):
    base = scenario.override(
        scenario.default(),
        (scenario.SMALL if quick else []) + [f"output.folder={json.dumps(os.path.join(tmp, 'scenario'))}"],
    )
    light, mesh = base["light"], base["mesh"]

    def run(changes):
        s = scenario.override(base, changes)
        return runner.run(s, progress=False)

    first = run([])
    label = "small default" if quick else "default"
    rows.append(
        (
            "default scenario",
            f"{label}: {first['rays']} rays, {first['elements']} elements, {first['steps']} steps",
            first["wall_time_s"],
            "s wall time",
        )
    )
    rows.append(("default scenario", label, first["element_visits_per_s"], "element visits/s (optics)"))
    # The default's patterns fit its own beam: twice the rays are compared under a uniform beam.
    uniform = first if quick else run(scenario.UNIFORM_BEAM)
    for what, reference, changes in (
        ("rays", uniform, scenario.UNIFORM_BEAM + [f"light.rays_across={2 * light['rays_across']}"]),
        ("mesh (elements)", first, [f"mesh.n_z={2 * mesh['n_z']}"]),
    ):
        twice = run(changes)
        work = (
            twice["element_visits"] / reference["element_visits"]
            if what == "rays"
            else twice["elements"] / reference["elements"]
        )
        growth.append(("default scenario (wall time)", what, work, twice["wall_time_s"] / reference["wall_time_s"]))


VIAL_STEPS = 3
# The "fem" scheme's preconditioners, each N run with both.
VIAL_PRECONDITIONERS = ("diagonal", "multigrid")


def vial_case(n_core, folder, preconditioner):
    """The default scenario on the vial of refinement n_core, rays scaled with it (5N across,
    3N/2 high; a uniform beam), three steps, the "fem" scheme with the given preconditioner;
    what the summary says of it and the process's peak memory."""
    s = scenario.override(
        scenario.default(),
        [
            f"mesh.n_core={n_core}",
            f"mesh.n_radial={3 * n_core // 4}",
            f"mesh.n_z={2 * n_core}",
            f"light.rays_across={5 * n_core}",
            f"light.rays_high={3 * n_core // 2}",
            f"time.steps={VIAL_STEPS}",
            'resin.diffusion_scheme="fem"',
            f'resin.fem_preconditioner="{preconditioner}"',
            "output.figure=false",
            f"output.folder={json.dumps(folder)}",
            *scenario.UNIFORM_BEAM,
        ],
    )
    summary = runner.run(s, progress=False)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024  # kilobytes on Linux
    return {key: summary[key] for key in ("elements", "nodes", "rays", "steps", "optics_time_s", "curing_time_s")} | {
        "peak_bytes": peak
    }


def bench_vial(tmp, quick, rows, growth):
    sizes = (4, 8) if quick else (8, 16, 32, 48)
    cases = {}
    for n_core in sizes:
        for preconditioner in VIAL_PRECONDITIONERS:
            folder = os.path.join(tmp, f"vial{n_core}{preconditioner}")
            out = subprocess.run(
                [sys.executable, os.path.abspath(__file__), "--vial-case", str(n_core), folder, preconditioner],
                capture_output=True,
                text=True,
            )
            if out.returncode != 0:
                raise RuntimeError(f"refined vial N = {n_core} ({preconditioner}) failed:\n{out.stderr[-2000:]}")
            c = cases[n_core, preconditioner] = json.loads(out.stdout.strip().splitlines()[-1])
            label = f"N = {n_core}: {c['elements']} elements, {c['rays']} rays, {THREADS} thread(s), {preconditioner}"
            rows.append(("refined vial", label, c["optics_time_s"] / c["steps"], "s optics per step"))
            rows.append(("refined vial", label, c["curing_time_s"] / c["steps"], "s curing per step"))
            rows.append(
                (
                    "refined vial",
                    label,
                    c["curing_time_s"] / c["steps"] / c["nodes"] * 1e9,
                    "ns curing per node per step",
                )
            )
    for preconditioner in VIAL_PRECONDITIONERS:
        for a, b in zip(sizes, sizes[1:]):
            ca, cb = cases[a, preconditioner], cases[b, preconditioner]
            # The interpreter and the libraries are the same in every process: the growth of the
            # peak between two sizes is what an element costs.
            grown = cb["peak_bytes"] - ca["peak_bytes"]
            if grown > 16 << 20:  # small meshes fit in what the process holds anyway
                rows.append(
                    (
                        "refined vial",
                        f"N = {a} to {b}, {preconditioner}",
                        grown / (cb["elements"] - ca["elements"]),
                        "bytes of peak memory per added element",
                    )
                )
            growth.append(
                (
                    f"refined vial (curing, {preconditioner})",
                    f"mesh N = {a} to {b} (nodes)",
                    cb["nodes"] / ca["nodes"],
                    cb["curing_time_s"] / ca["curing_time_s"],
                )
            )


BENCHMARKS = {
    "placement": bench_placement,
    "trace": bench_trace,
    "mesh_load": bench_mesh_load,
    "curing": bench_curing,
    "scenario": bench_scenario,
    "vial": bench_vial,
}


def machine():
    model = platform.processor() or platform.machine()
    with contextlib.suppress(OSError):
        with open("/proc/cpuinfo") as f:
            model = next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), model)
    return f"{model}, {os.cpu_count()} cores"


def markdown(result):
    lines = [
        f"Backend {result['backend']}, {result['threads']} threads, {result['machine']}, load average "
        f"{result['load_average']:.1f} at the start; {result['seconds']:.0f} s in all"
        f"{' (--quick)' if result['quick'] else ''}.",
        "",
        "| benchmark | case | figure | unit |",
        "|---|---|---|---|",
    ]
    for r in result["figures"]:
        lines.append(f"| {r['benchmark']} | {r['case']} | {r['value']:.4g} | {r['unit']} |")
    lines += ["", "| benchmark | doubled | work x | time x |", "|---|---|---|---|"]
    for g in result["growth"]:
        lines.append(f"| {g['benchmark']} | {g['doubled']} | {g['work_ratio']:.2f} | {g['time_ratio']:.2f} |")
    return "\n".join(lines) + "\n"


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["--vial-case"]:  # one refined vial, in a process of its own
        with contextlib.redirect_stdout(io.StringIO()):
            case = vial_case(int(argv[1]), argv[2], argv[3])
        print(json.dumps(case))
        return 0
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller sizes, well under a minute")
    parser.add_argument("--out", default="bench-results", help="folder for bench.json and bench.md")
    parser.add_argument("--only", action="append", choices=list(BENCHMARKS), help="run only these (repeatable)")
    args = parser.parse_args(argv)
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    rows, growth = [], []
    started = time.perf_counter()
    load = os.getloadavg()[0]
    with tempfile.TemporaryDirectory() as tmp:
        for name in args.only or BENCHMARKS:
            t0 = time.perf_counter()
            BENCHMARKS[name](tmp, args.quick, rows, growth)
            print(f"{name}: {time.perf_counter() - t0:.1f} s", file=sys.stderr, flush=True)
    result = {
        "backend": lumetra.backend,
        "threads": THREADS,
        "machine": machine(),
        "load_average": load,
        "quick": args.quick,
        "seconds": time.perf_counter() - started,
        "date": time.strftime("%Y-%m-%d"),
        "figures": [dict(benchmark=b, case=c, value=v, unit=u) for b, c, v, u in rows],
        "growth": [dict(benchmark=b, doubled=d, work_ratio=w, time_ratio=t) for b, d, w, t in growth],
    }
    if not all(math.isfinite(r["value"]) for r in result["figures"]):
        raise RuntimeError("a benchmark gave a figure that is not a number")
    stem = f"bench_{lumetra.backend}"
    (out / f"{stem}.json").write_text(json.dumps(result, indent=1))
    table = markdown(result)
    (out / f"{stem}.md").write_text(table)
    print(table)
    return 0


THREADS = lumetra.get_num_threads()

if __name__ == "__main__":
    sys.exit(main())
