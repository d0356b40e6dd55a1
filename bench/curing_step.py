"""Cost of one curing step through the public API: a lumetra engine traces a beam that
lights every column of a block of unit hexahedra, and curalis.Curalis.reaction_step runs
on the engine's addresses. Nanoseconds per node per step, on 1 and 2 threads, with both
species' diffusion length sqrt(D dt) at 0.5, 1 and 2 node spacings.

    python bench/curing_step.py [largest block edge in elements, default 100]

Blocks of 20^3, 45^3 and 100^3 elements (9 261, 97 336 and 1 030 301 nodes). The largest
block runs only the shorter diffusion lengths on 2 threads, so that the whole run stays
within about three minutes on two cores (see CASES).

    python bench/curing_step.py --vial [--scheme=fem] [N ...]   (default 8 16 32, kernel scheme)

The refined vial family instead (radius 5, height 10, n_core = N, n_radial = 3N/4,
n_z = 2N), on one thread, with both species' cut-off radius sqrt(4 D dt ln 1000) at three
layer spacings, so that every refinement weighs about as many neighbours per node: the cost
per node per step should then stay flat, and the cost per node pair (pairs within the
cut-off, counted with scipy, both species) shows what a neighbour costs. The absorbed power
is set directly (light from the top, falling off with depth); no trace is timed.

    python bench/curing_step.py --vial --preconditioners [N ...]   (default 8 16 32)

The same vials at the default resin's fixed coefficients (D_oxygen 0.06, D_radical 0.001,
dt 1, oxygen held at 1 on the wall), so that D dt / h^2 grows with N as in `lumetra run`:
the "fem" scheme with its diagonal and its multigrid preconditioner (with the default
fem_multigrid_from, and on every step), alternated per N in one process, with the
conjugate-gradient iterations of each solve (radical, oxygen).
"""

import contextlib
import io
import os
import sys
import tempfile
import time

import numpy as np

import curalis
import lumetra

# (elements per edge, diffusion lengths in node spacings, thread counts)
CASES = [(20, (0.5, 1.0, 2.0), (1, 2)), (45, (0.5, 1.0, 2.0), (1, 2)), (100, (0.5, 1.0), (2,))]


def write_block(path, k):
    """A legacy VTK block of k^3 unit hexahedra, written with NumPy (fast for a million)."""
    m = k + 1
    z, y, x = np.meshgrid(np.arange(m), np.arange(m), np.arange(m), indexing="ij")
    points = np.stack([x.ravel(), y.ravel(), z.ravel()], axis=1)
    base = (np.arange(k)[None, None, :] + m * np.arange(k)[None, :, None] + m * m * np.arange(k)[:, None, None]).ravel()
    offsets = np.array([0, 1, 1 + m, m, m * m, m * m + 1, m * m + 1 + m, m * m + m])
    cells = base[:, None] + offsets[None, :]
    with open(path, "w") as f:
        f.write("# vtk DataFile Version 3.0\nblock\nASCII\nDATASET UNSTRUCTURED_GRID\n")
        f.write(f"POINTS {len(points)} float\n")
        np.savetxt(f, points, fmt="%d")
        f.write(f"CELLS {len(cells)} {9 * len(cells)}\n")
        np.savetxt(f, np.hstack([np.full((len(cells), 1), 8), cells]), fmt="%d")
        f.write(f"CELL_TYPES {len(cells)}\n")
        np.savetxt(f, np.full(len(cells), 12), fmt="%d")
        f.write(f"POINT_DATA {len(points)}\n")
        for name, value in (("RefractiveIndex", 1.5), ("Absorptivity", 0.05)):
            f.write(f"SCALARS {name} float 1\nLOOKUP_TABLE default\n")
            np.savetxt(f, np.full(len(points), value), fmt="%g")
    return len(points)


def write_beam(path, k):
    """One vertical ray down every column of elements."""
    c = np.arange(k) + 0.5
    x, y = np.meshgrid(c, c)
    rays = np.stack(
        [
            x.ravel(),
            y.ravel(),
            np.full(x.size, k + 1.0),
            np.zeros(x.size),
            np.zeros(x.size),
            -np.ones(x.size),
            np.full(x.size, 1.0 / x.size),
        ],
        axis=1,
    )
    with open(path, "w") as f:
        f.write(f"{len(rays)}\n")
        np.savetxt(f, rays, fmt="%.9g")


def props(length):
    p = curalis.CuralisProps()
    p.dt = 1.0
    p.diffusion_oxygen = p.diffusion_radical = length**2  # sqrt(D dt) = length node spacings
    p.kpropagation, p.koxygen = 0.01, 0.01
    p.c_monomer0, p.c_oxygen0 = 1.0, 0.5
    p.n0, p.n1, p.alpha0, p.alpha1 = 1.5, 1.52, 0.05, 0.05
    return p


def time_step(model, engine, budget=0.5, repeats=3):
    """Best wall time of a few steps (at most `repeats`, within about `budget` seconds), and the
    process's CPU time (all threads) of that step: on a machine shared with other work the
    CPU time still shows the cost, where the wall time also shows the wait for a core."""
    args = (engine.get_result_array_device_ptr(), engine.get_mesh_data_devlink_ptr())
    best, cpu, spent = float("inf"), float("inf"), 0.0
    for _ in range(repeats):
        start, start_cpu = time.perf_counter(), time.process_time()
        model.reaction_step(*args)
        elapsed, used = time.perf_counter() - start, time.process_time() - start_cpu
        if elapsed < best:
            best, cpu = elapsed, used
        spent += elapsed
        if spent > budget:
            break
    return best, cpu


VIAL_SIZES = (8, 16, 32)
CUTOFF_IN_SPACINGS = 3.0


def vial_case(n_core, tmp):
    """An engine holding the vial of refinement n_core with a set absorbed power, and the
    cut-off radius of three layer spacings."""
    mesh = lumetra.meshes.vial(
        radius=5.0,
        height=10.0,
        n_core=n_core,
        n_radial=3 * n_core // 4,
        n_z=2 * n_core,
        refractive_index=1.5,
        absorptivity=0.05,
    )
    rays = os.path.join(tmp, "one.ry")
    with open(rays, "w") as f:
        f.write("1\n0.1 0.2 11 0 0 -1 1\n")
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
        engine = lumetra.Lumetra()
        engine.load_mesh_arrays(*mesh)
        engine.load_rays(rays)
        engine.config()
        engine.configure_outfilename(os.path.join(tmp, "unused.vtu"))
        engine.compute_volumetric_absorption()  # a result must exist before it can be replaced
    z = engine.get_node_positions()[:, 2]
    engine.set_absorbed_power(np.exp(-0.2 * (10.0 - z)))
    return engine, CUTOFF_IN_SPACINGS * 10.0 / (2 * n_core)


def vial_props(cutoff, scheme="kernel"):
    p = curalis.CuralisProps()
    p.diffusion_scheme = scheme
    p.dt = 1.0
    p.diffusion_oxygen = p.diffusion_radical = cutoff**2 / (4.0 * np.log(1000.0))
    # Slow reactions keep the degree of curing near 0, so the oxygen's gel-scaled cut-off
    # stays the radical's and the pair count below holds for both species.
    p.kpropagation, p.koxygen = 1e-4, 1e-4
    p.c_monomer0, p.c_oxygen0 = 1.0, 0.5
    p.n0, p.n1, p.alpha0, p.alpha1 = 1.5, 1.52, 0.05, 0.05
    return p


def vial_main(sizes, scheme="kernel"):
    try:
        from scipy.spatial import cKDTree
    except ImportError:
        cKDTree = None
    print(
        f"backend {lumetra.backend}, 1 thread, {scheme} diffusion, load average {os.getloadavg()[0]:.1f}",
        file=sys.stderr,
    )
    print(
        "| N | nodes | pairs per node | s per step | ns per node per step | CPU ns per node per step "
        "| ns per node pair |"
    )
    print("|---|---|---|---|---|---|---|")
    threads_all = lumetra.get_num_threads()
    lumetra.set_num_threads(1)
    with tempfile.TemporaryDirectory() as tmp:
        for n_core in sizes:
            engine, cutoff = vial_case(n_core, tmp)
            n = engine.get_node_count()
            with contextlib.redirect_stdout(io.StringIO()):
                model = curalis.Curalis(vial_props(cutoff, scheme), n)
                model.initialize_accelerator(engine.get_mesh_ptr())
            seconds, cpu = time_step(model, engine, budget=3.0, repeats=5)
            per_node = per_pair = "n/a (no scipy)"
            if cKDTree is not None:
                points = engine.get_node_positions().astype(np.float32).astype(np.float64)  # as the kernels see them
                pairs = float(np.sum(cKDTree(points).query_ball_point(points, cutoff, return_length=True)))
                per_node, per_pair = f"{pairs / n:.0f}", f"{seconds / (2 * pairs) * 1e9:.2f}"  # two species
            print(
                f"| {n_core} | {n} | {per_node} | {seconds:.3f} | {seconds / n * 1e9:.0f} | "
                f"{cpu / n * 1e9:.0f} | {per_pair} |",
                flush=True,
            )
            del model, engine
    lumetra.set_num_threads(threads_all)


# Name: (preconditioner, fem_multigrid_from); the last forces the levels on every step.
PRECONDITIONERS = {
    "diagonal": ("diagonal", 8.0),
    "multigrid": ("multigrid", 8.0),
    "multigrid, every step": ("multigrid", 0.0),
}


def preconditioner_props(name):
    """The default resin's coefficients (scenario defaults), slow reactions, oxygen at the wall."""
    p = vial_props(0.0, "fem")
    p.fem_preconditioner, p.fem_multigrid_from = PRECONDITIONERS[name]
    p.diffusion_oxygen, p.diffusion_radical = 0.06, 0.001
    p.diffusion_bc_oxygen, p.dirichlet_oxygen = 1, 1.0
    return p


def preconditioner_main(sizes, rounds=2):
    print(f"backend {lumetra.backend}, 1 thread, load average {os.getloadavg()[0]:.1f}", file=sys.stderr)
    print(
        "| N | nodes | preconditioner | levels | iterations (radical, oxygen) | s per step "
        "| ns per node per step | CPU ns per node per step |"
    )
    print("|---|---|---|---|---|---|---|---|")
    threads_all = lumetra.get_num_threads()
    lumetra.set_num_threads(1)
    with tempfile.TemporaryDirectory() as tmp:
        for n_core in sizes:
            engine, _ = vial_case(n_core, tmp)
            n = engine.get_node_count()
            models = {}
            for name in PRECONDITIONERS:
                with contextlib.redirect_stdout(io.StringIO()):
                    models[name] = curalis.Curalis(preconditioner_props(name), n)
                    models[name].initialize_accelerator(engine.get_mesh_ptr())
            best = {}
            for _ in range(rounds):  # alternated, so that both see the same load
                for name, model in models.items():
                    seconds, cpu = time_step(model, engine, budget=3.0, repeats=3)
                    if name not in best or seconds < best[name][0]:
                        best[name] = (seconds, cpu, model.get_diffusion_iterations())
            for name, (seconds, cpu, iterations) in best.items():
                print(
                    f"| {n_core} | {n} | {name} | {models[name].get_multigrid_levels()} | {iterations} | "
                    f"{seconds:.3f} | {seconds / n * 1e9:.0f} | {cpu / n * 1e9:.0f} |",
                    flush=True,
                )
            del models, engine
    print(f"load average {os.getloadavg()[0]:.1f}", file=sys.stderr)
    lumetra.set_num_threads(threads_all)


def main():
    if len(sys.argv) > 2 and sys.argv[1:3] == ["--vial", "--preconditioners"]:
        preconditioner_main([int(a) for a in sys.argv[3:]] or VIAL_SIZES)
        return
    if len(sys.argv) > 1 and sys.argv[1] == "--vial":
        schemes = [a.split("=", 1)[1] for a in sys.argv[2:] if a.startswith("--scheme=")] or ["kernel"]
        vial_main([int(a) for a in sys.argv[2:] if not a.startswith("--")] or VIAL_SIZES, schemes[-1])
        return
    largest = int(sys.argv[1]) if len(sys.argv) > 1 else 100
    threads_all = lumetra.get_num_threads()
    print(
        f"backend {lumetra.backend}, {threads_all} threads available, load average {os.getloadavg()[0]:.1f}",
        file=sys.stderr,
    )
    print("| nodes | sqrt(D dt) / spacing | threads | ns per node per step | CPU ns per node per step |")
    print("|---|---|---|---|---|")
    with tempfile.TemporaryDirectory() as tmp:
        for k, lengths, thread_counts in CASES:
            if k > largest:
                continue
            mesh, beam = os.path.join(tmp, f"block{k}.vtk"), os.path.join(tmp, f"beam{k}.ry")
            n = write_block(mesh, k)
            write_beam(beam, k)
            with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
                engine = lumetra.Lumetra()
                engine.load_mesh(mesh)
                engine.load_rays(beam)
                engine.config()
                engine.configure_outfilename(os.path.join(tmp, "unused.vtu"))
                engine.compute_volumetric_absorption()
            lit = float(np.mean(engine.get_absorbed_power() > 0))
            for length in lengths:
                with contextlib.redirect_stdout(io.StringIO()):
                    model = curalis.Curalis(props(length), n)
                    model.initialize_accelerator(engine.get_mesh_ptr())
                for threads in thread_counts:
                    if threads > threads_all:
                        continue
                    lumetra.set_num_threads(threads)
                    seconds, cpu = time_step(model, engine)
                    print(f"| {n} | {length} | {threads} | {seconds / n * 1e9:.0f} | {cpu / n * 1e9:.0f} |", flush=True)
                del model
            print(f"  ({n} nodes: {100 * lit:.0f} % lit; load average {os.getloadavg()[0]:.1f})", file=sys.stderr)
    lumetra.set_num_threads(threads_all)


if __name__ == "__main__":
    main()
