"""Pattern design: the optimiser on an explicit straight-ray matrix, the metrics, the target
read at the nodes, and `lumetra design` followed by `lumetra run` on a small vial."""

import json
import os
import subprocess
import sys

import numpy as np
import pytest

from lumetra import design
from lumetra import scenario as scenarios


def straight_ray_matrix(n: int, angles: int, rays: int):
    """Pixel lengths of parallel straight rays over 180 degrees through an n x n grid on
    [-1, 1]^2 (pixels outside the unit disk hold no resin), column angle * rays + ray."""
    c = (np.arange(n) + 0.5) / n * 2 - 1
    x, y = np.meshgrid(c, c, indexing="ij")
    matrix = np.zeros((n * n, angles * rays))
    s = np.linspace(-1.5, 1.5, 12 * n)
    for a in range(angles):
        th = np.pi * (a + 0.3) / angles
        along, across = np.array([np.cos(th), np.sin(th)]), np.array([-np.sin(th), np.cos(th)])
        for r in range(rays):
            p = ((r + 0.5) / rays * 2 - 1) * across + s[:, None] * along
            i, j = np.floor((p + 1) / 2 * n).astype(int).T
            ok = (i >= 0) & (i < n) & (j >= 0) & (j < n)
            np.add.at(matrix[:, a * rays + r], i[ok] * n + j[ok], s[1] - s[0])
    matrix[(x**2 + y**2 > 1).ravel()] = 0
    return matrix, x.ravel(), y.ravel()


def test_optimiser_prints_an_asymmetric_target_through_an_explicit_matrix():
    matrix, x, y = straight_ray_matrix(22, 24, 22)
    mapping = design.MatrixMap(matrix, 24, 22)
    target = design.builtin_shape("disk_bar_foot", x, y, 0.9).astype(float)
    inside = target >= 0.5
    result = design.optimise(mapping, target, iterations=60)

    assert result.powers.shape == (24, 22) and result.powers.min() >= 0
    assert np.allclose(result.dose, matrix @ result.powers.ravel())
    assert result.loss[-1] < 0.05 * result.loss[0]
    # The plain back-projection of the target blurs it; the optimised dose separates it.
    backprojected = design.evaluate(mapping.forward(mapping.adjoint(target)), inside)
    assert backprojected.window < 0 and backprojected.iou < 0.9
    m = result.metrics
    assert m.iou == 1.0 and m.window > 0.05 and m.good_range[0] < m.print_threshold() < m.good_range[1]
    assert design.iou(result.dose >= m.print_threshold(), inside) == 1.0


@pytest.mark.parametrize(
    "weights, best, threshold", [(None, 3 / 4, 1.0), ([1, 1, 5, 1, 1], 2 / 3, 2.0), ([1, 1, 1, 1, 9], 3 / 4, 1.0)]
)
def test_metrics_read_the_best_threshold_and_the_window(weights, best, threshold):
    dose = np.array([3.0, 2.0, 1.5, 1.0, 0.5])
    inside = np.array([True, True, False, True, False])
    m = design.evaluate(dose[::-1], inside[::-1], None if weights is None else np.array(weights[::-1], float))
    assert m.iou == pytest.approx(best) and m.threshold == threshold
    assert m.dose_in_min == 1.0 and m.dose_out_max == 1.5 and m.window == pytest.approx(-0.5)
    assert m.good_range is None and m.print_threshold() == threshold
    assert design.evaluate(np.array([2.0, 1.0, 0.5]), np.array([True, True, False])).window == pytest.approx(0.5)


def _with_target(tmp_path, **target):
    return scenarios.check(
        {
            "mesh": {"source": "box", "cells": [4, 3, 2], "size": [4.0, 3.0, 2.0], "origin": [0.0, 0.0, 0.0]},
            "boundary": [{"select": "all"}],
            "target": {"source": "file", **target},
        }
    )


def test_a_voxel_target_keeps_its_axes_and_bad_ones_are_named(tmp_path):
    # Voxel (i, j, k) centred at origin + (i, j, k) + 0.5: probe each centre, and a point beyond.
    voxels = np.zeros((4, 3, 2))
    voxels[3, 0, 1] = 1.0
    voxels[0, 2, 0] = 0.5
    np.save(tmp_path / "t.npy", voxels)
    s = _with_target(tmp_path, file=str(tmp_path / "t.npy"), origin=[-1.0, 2.0, 0.5], voxel_size=1.0)
    i, j, k = np.meshgrid(*(np.arange(n) for n in voxels.shape), indexing="ij")
    centres = np.stack([i, j, k], -1).reshape(-1, 3) + 0.5 + np.array([-1.0, 2.0, 0.5])
    assert np.allclose(design.target_values(s, centres), voxels.ravel())
    # Trilinear between centres; the part ends half a voxel beyond its last centre.
    probes = [[2.5, 2.5, 1.75], [2.5, 2.5, 2.25], [2.5, 2.5, 2.75]]
    assert np.allclose(design.target_values(s, probes), [0.75, 0.75, 0.25])

    for content, item, message in [
        (np.ones((4, 3)), "file", "expected a 3-D voxel array"),
        (np.full((2, 2, 2), 2.0), "file", "values from 0"),
        (np.full((2, 2, 2), np.nan), "file", "values from 0"),
        (np.zeros((2, 2, 2)), "", "no mesh node lies inside"),
        (None, "file", "no such file"),
    ]:
        path = tmp_path / "bad.npy"
        path.unlink(missing_ok=True)
        if content is not None:
            np.save(path, content)
        with pytest.raises(scenarios.ScenarioError, match=message) as error:
            design.target_values(_with_target(tmp_path, file=str(path), voxel_size=1.0), centres)
        assert str(error.value).startswith(f"target.{item}" if item else "target:")
    with pytest.raises(scenarios.ScenarioError, match="^target.voxel_size: needed"):
        design.target_values(_with_target(tmp_path, file=str(tmp_path / "t.npy")), centres)
    with pytest.raises(scenarios.ScenarioError, match="^target.shape: applies only when target.source is 'shape'"):
        scenarios.check({"target": {"source": "file", "file": "t.npy", "shape": "cylinder"}})
    with pytest.raises(scenarios.ScenarioError, match="^target.shape: must be one of"):
        scenarios.check({"target": {"source": "shape", "shape": "teapot"}})


def test_the_dose_map_is_the_runs_dose_and_its_adjoint_the_transpose(tmp_path):
    """Through a vial in air: the map's forward is the dose a run of those intensities sums
    (angles turned as the run turns them, each weighed by the steps that use it), traced and
    recorded maps agree, and the adjoint is the transpose."""
    from lumetra import runner

    rng = np.random.default_rng(3)
    s = scenarios.check(
        {
            "mesh": {"radius": 2.0, "height": 1.0, "n_core": 4, "n_radial": 3, "n_z": 2},
            # The dose model far from full cure: the degree of curing is the dose over dose_full.
            "resin": {
                "model": "dose",
                "n0": 1.48,
                "n1": 1.48,
                "alpha0": 0.3,
                "alpha1": 0.3,
                "dose_threshold": 0.0,
                "dose_full": 1e3,
            },
            "light": {
                "center": [0.0, 0.3, 0.45],
                "width": 4.4,
                "height": 0.5,
                "rays_across": 9,
                "rays_high": 2,
                "angles": [0.0, 50.0, 125.0],
            },
            "time": {"steps": 5, "dt": 0.5},
            "output": {"every": 0, "figure": False, "folder": str(tmp_path / "r")},
        }
    )
    p = rng.uniform(0.0, 1.0, (3, 18))
    np.save(tmp_path / "p.npy", p)
    s["light"]["intensities"] = str(tmp_path / "p.npy")
    seen = []
    runner.run(s, progress=False, on_step=lambda step, cure: seen.append(cure.copy()))
    run_dose = seen[-1] * 1e3

    with open(tmp_path / "log", "w") as log:
        engine, _ = design.open_engine(s, log, tmp_path)
        traced = design.DoseMap.from_scenario(engine, s)
        dose = traced.forward(p)
        # Float traces, turned in float by the run and in double here: agreement to float rounding.
        assert np.allclose(dose, run_dose, rtol=2e-5, atol=1e-7 * dose.max()) and dose.max() > 0
        g = rng.normal(size=len(dose))
        back = traced.adjoint(g)
        assert back.shape == p.shape
        assert np.vdot(dose, g) == pytest.approx(np.vdot(p, back), rel=1e-5)
        recorded = design.DoseMap.from_scenario(engine, s)
        assert recorded.record() and recorded.mode == "recorded"
        assert np.allclose(recorded.forward(p), dose, rtol=1e-5, atol=1e-9 * dose.max())
        assert np.allclose(recorded.adjoint(g), back, rtol=1e-5, atol=1e-6 * np.abs(back).max())


def lumetra(*args, cwd=None):
    env = {**os.environ, "OMP_NUM_THREADS": "2"}
    return subprocess.run(
        [sys.executable, "-m", "lumetra", *map(str, args)],
        capture_output=True,
        text=True,
        env=env,
        cwd=cwd,
        timeout=600,
    )


@pytest.mark.parametrize(
    "resin",
    ['model = "dose"\nn0 = 1.48\nn1 = 1.48\nalpha0 = 0.05\nalpha1 = 0.05\n', 'model = "curalis"\n'],
    ids=["dose", "curalis"],
)  # curalis: a search by runs
def test_design_then_run_prints_the_target_through_a_vial_in_air(tmp_path, resin):
    (tmp_path / "s.toml").write_text(
        "[mesh]\nradius = 2.0\nheight = 1.0\nn_core = 6\nn_radial = 4\nn_z = 2\n"
        f"[resin]\n{resin}"
        "[light]\ncenter = [0.0, 0.0, 0.5]\nwidth = 4.2\nheight = 0.2\nrays_across = 30\nrays_high = 1\n"
        "angle_count = 24\nangle_step = 7.5\n"
        "[time]\nsteps = 24\n[output]\nevery = 0\n"
        '[target]\nsource = "shape"\nsize = 1.6\nheight = 0.4\n[design]\niterations = 30\n'
    )
    made = lumetra("design", tmp_path / "s.toml", "--output", tmp_path / "d", "--no-progress")
    assert made.returncode == 0, made.stderr
    summary = json.loads((tmp_path / "d" / "design.json").read_text())
    patterns = np.load(tmp_path / "d" / "patterns.npy")
    assert patterns.shape == (24, 30) and patterns.min() >= 0 and patterns.max() == 1.0
    assert summary["iou"] >= 0.9 and summary["loss"][-1] < summary["loss"][0]
    assert (tmp_path / "d" / "design.png").stat().st_size > 0

    printed = lumetra("run", tmp_path / "d" / "design.toml", "--output", tmp_path / "r", "--no-progress")
    assert printed.returncode == 0, printed.stderr
    result = json.loads((tmp_path / "r" / "summary.json").read_text())
    assert result["target"]["iou"] == pytest.approx(summary["run_iou"], abs=1e-6)
    assert result["target"]["iou"] >= 0.85
    assert f"IoU {result['target']['iou']:.3f}" in printed.stdout

    # The patterns mirrored across the beam print the mirrored part, which the asymmetric
    # target tells apart: the IoU measures where the cure lands.
    np.save(tmp_path / "d" / "patterns.npy", patterns[:, ::-1])
    turned = lumetra("run", tmp_path / "d" / "design.toml", "--output", tmp_path / "t", "--no-progress")
    assert turned.returncode == 0, turned.stderr
    assert json.loads((tmp_path / "t" / "summary.json").read_text())["target"]["iou"] < 0.6
