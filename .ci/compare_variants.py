"""Run the same traces, rough-surface draws and curing steps on two variants and compare.

    python .ci/compare_variants.py [--backends cuda cpu] [--out DIR]

Each variant runs in its own process (one variant per process); the cases there save their
results to an .npz, and this process compares them: absorbed power within float tolerance,
the rays' random microfacet draws identical (the same exit direction for every ray but a
handful whose float round-off tipped a reflect-or-transmit decision), the adjoint trace's
per-ray values, the curing fields of a few coupled steps (finite-element and kernel
diffusion) within float tolerance. Prints a table; exit status 1 if a case differs.
"""

import argparse
import contextlib
import io
import os
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

# (case, quantity, tolerance, kind): "relative" compares max |a - b| / max |a|; "agree" is the
# share of rays whose exit directions differ by less than 1e-3 (at least the tolerance).
CHECKS = [
    ("trace FE", "absorbed_power", 1e-4, "relative"),
    ("trace RK4", "absorbed_power", 1e-4, "relative"),
    ("rough surface", "absorbed_power", 1e-3, "relative"),
    ("rough surface", "exit_directions", 0.99, "agree"),
    ("adjoint trace", "per_ray", 1e-4, "relative"),
    ("curing steps", "degree_of_curing", 1e-4, "relative"),
    ("curing steps", "dose", 1e-4, "relative"),
    ("curing steps, kernel diffusion", "degree_of_curing", 1e-4, "relative"),
]


def _cases(out_file):
    import lumetra
    from lumetra import meshes, runner, scenario

    results = {}
    with tempfile.TemporaryDirectory() as tmp:
        block = meshes.box(
            12, 12, 12, size=(6, 6, 6), refractive_index=lambda x, y, z: 1.4 + 0.02 * x, absorptivity=0.05
        )
        rng = np.random.default_rng(7)
        count = 400
        start = np.column_stack([rng.uniform(0.2, 5.8, size=(count, 2)), np.full(count, 8.0)])
        d = np.array([0.2, 0.1, -1.0]) / np.linalg.norm([0.2, 0.1, -1.0])
        rays = np.hstack([start, np.tile(d, (count, 1)), np.full((count, 1), 1.0 / count)])
        path = Path(tmp) / "beam.ry"
        runner.write_ray_file(path, rays)
        for name, solver, roughness in (
            ("trace FE", "FE", 0.0),
            ("trace RK4", "RK4", 0.0),
            ("rough surface", "FE", 0.3),
        ):
            engine = lumetra.Lumetra()
            with contextlib.redirect_stdout(io.StringIO()):
                engine.load_mesh_arrays(*block)
                bc = lumetra.OpticalBoundaryCondition()
                bc.faces = engine.select_boundary_faces_bbox(-1, 7, -1, 7, -1, 7)
                bc.refractive_index_real = 1.0
                bc.rough_surface, bc.roughness = roughness > 0, roughness
                engine.set_boundary_conditions([bc])
                engine.load_rays(str(path))
                engine.set_solver_type(solver)
                engine.config()
                engine.configure_outfilename(str(Path(tmp) / "unused.vtu"))
                engine.compute_volumetric_absorption()
            results[f"{name}/absorbed_power"] = engine.get_absorbed_power()
            results[f"{name}/exit_directions"] = engine.get_ray_exit_directions()
            if name == "trace RK4":  # each ray's deposits weighed by a smooth field
                x = engine.get_node_positions()
                with contextlib.redirect_stdout(io.StringIO()):
                    results["adjoint trace/per_ray"] = engine.trace_adjoint(1.0 + np.sin(x[:, 0]) * np.cos(x[:, 2]))

        s = scenario.override(
            scenario.default(),
            scenario.SMALL
            + [
                "time.steps=12",
                "time.dt=12",
                "output.every=12",
                "output.figure=false",
                f'output.folder="{Path(tmp) / "run"}"',
            ],
        )
        import meshio

        for case, scheme in (("curing steps", "fem"), ("curing steps, kernel diffusion", "kernel")):
            folder = Path(tmp) / f"run_{scheme}"
            runner.run(
                scenario.override(s, [f'resin.diffusion_scheme="{scheme}"', f'output.folder="{folder}"']),
                progress=False,
            )
            frame = meshio.read(folder / "cure_0.vtu")
            results[f"{case}/degree_of_curing"] = np.asarray(frame.point_data["DegreeOfCuring"])
            results[f"{case}/dose"] = np.asarray(frame.point_data["Dose"])
        results["backend"] = np.array(lumetra.backend)
    np.savez(out_file, **results)


def _difference(a, b, kind):
    if a.shape != b.shape:
        return float("nan")
    if kind == "agree":
        return float(np.mean(np.linalg.norm(a - b, axis=1) < 1e-3))
    scale = max(float(np.max(np.abs(a))), 1e-300)
    return float(np.max(np.abs(a - b))) / scale


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--backends", nargs=2, default=["cuda", "cpu"])
    parser.add_argument("--out", default=".")
    parser.add_argument("--dump", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.dump:
        _cases(args.dump)
        return 0
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    data = []
    for i, backend in enumerate(args.backends):
        target = out / f"compare_{i}_{backend}.npz"
        env = dict(os.environ, LUMETRA_BACKEND=backend)
        result = subprocess.run(
            [sys.executable, __file__, "--dump", str(target)], env=env, capture_output=True, text=True
        )
        if result.returncode != 0:
            print(f"compare: the {backend} variant failed:\n{result.stdout[-3000:]}{result.stderr[-3000:]}")
            return 1
        data.append(np.load(target))
    a, b = data
    failed = 0
    print(f"| case | quantity | {a['backend']} vs {b['backend']} | tolerance | |")
    print("|---|---|---|---|---|")
    for case, quantity, tolerance, kind in CHECKS:
        key = f"{case}/{quantity}"
        value = _difference(a[key], b[key], kind)
        ok = value >= tolerance if kind == "agree" else value <= tolerance
        failed += not ok
        label = "share of rays alike" if kind == "agree" else "max difference / max"
        print(
            f"| {case} | {quantity} ({label}) | {value:.3g} | {'>=' if kind == 'agree' else '<='} "
            f"{tolerance:g} | {'ok' if ok else 'DIFFERS'} |"
        )
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
