"""The finite-element walk against what physics says: straight rays in a homogeneous
medium, Beer-Lambert absorption, Fresnel losses, bending in a graded index."""

import math
import os
import tomllib

import numpy as np
import pytest

from meshes import grid, rotate_cells, write_vtk


@pytest.fixture(scope="module")
def t():
    from lumetra import _testing

    return _testing


def load(t, tmp_path, points, cells, index, alpha, name="m.vtk"):
    n = len(points)
    write_vtk(
        tmp_path / name,
        points,
        cells,
        refractive_index=np.broadcast_to(index, (n,)).astype(float),
        absorptivity=np.broadcast_to(alpha, (n,)).astype(float),
    )
    return t.read_vtk(str(tmp_path / name))


def traced(t, mesh, rays, solver, times=1):
    tracer = t.Tracer(solver, 2)
    tracer.config("unused.vtu", mesh.n_nodes)
    for _ in range(times):
        tracer.trace(rays, mesh)
    return tracer


def absorbed_total(mesh, tracer):
    return float(np.sum(tracer.get_result() * mesh.nodal_mass()[0]))


def uniform_xy(lo, hi, count):
    side = int(math.sqrt(count))
    g = np.linspace(lo, hi, side)
    x, y = np.meshgrid(g, g)
    return np.stack([x.ravel(), y.ravel()], axis=1)


def with_power(t, tmp_path, mesh, xy, z_start, direction=(0, 0, -1), name="beam.ry"):
    """Rays written to a .ry file (so they carry power 1/count), loaded and placed."""
    d = np.array(direction, float) / np.linalg.norm(direction)
    lines = [f"{len(xy)}"] + [f"{x} {y} {z_start} {d[0]} {d[1]} {d[2]} {1.0 / len(xy)}" for x, y in xy]
    (tmp_path / name).write_text("\n".join(lines) + "\n")
    rays = t.read_ray_file(str(tmp_path / name))
    placer = t.SurfaceTracer(1)
    placer.build(mesh)
    placer.trace(rays, mesh)
    assert np.all(rays.start_faces() >= 0)
    return rays


@pytest.mark.parametrize("solver,tolerance", [(1, 2e-3), (0, 1.5e-2)])
def test_slab_absorbs_by_beer_lambert(t, tmp_path, capsys, solver, tolerance):
    # Runge-Kutta: the only error is the exit step, which may end up to 0.001 local units
    # (0.0005 mesh units) beyond each face: about 4 x 0.0005 x alpha = 0.1 % here. Euler
    # adds its first-order error, (alpha h)^2 / 2 per step: about 0.8 % of the absorbed power.
    alpha, L = 0.5, 4.0
    points, cells = grid(3, 3, 4)
    mesh = load(t, tmp_path, points, cells, 1.0, alpha)
    rays = with_power(t, tmp_path, mesh, uniform_xy(0.05, 2.95, 400), L + 1)
    tracer = traced(t, mesh, rays, solver)
    assert absorbed_total(mesh, tracer) == pytest.approx(1 - math.exp(-alpha * L), rel=tolerance)
    assert tracer.stopped_by_visit_limit == 0
    # Depth profile: interior node layers fall off as exp(-alpha dz).
    z = mesh.node_coords()[2]
    q = tracer.get_result()
    layers = [q[np.isclose(z, depth)].mean() for depth in (3.0, 2.0, 1.0)]
    for upper, lower in zip(layers, layers[1:]):
        assert lower / upper == pytest.approx(math.exp(-alpha), rel=3 * tolerance)


def test_transmitting_entry_face_loses_the_fresnel_share(t, tmp_path, capsys):
    import lumetra

    alpha, L = 0.3, 4.0
    points, cells = grid(2, 2, 4)
    mesh = load(t, tmp_path, points, cells, 1.5, alpha)
    top = mesh.select_bbox(True, -1, 3, -1, 3, L, L, 1e-9)
    bc = lumetra.OpticalBoundaryCondition()
    bc.faces = top
    bc.refractive_index_real = 1.0
    mesh.set_boundary_conditions([bc])
    rays = with_power(t, tmp_path, mesh, uniform_xy(0.05, 1.95, 100), L + 1)
    tracer = traced(t, mesh, rays, 1)
    assert absorbed_total(mesh, tracer) == pytest.approx(0.96 * (1 - math.exp(-alpha * L)), rel=2e-3)


def test_reflecting_bottom_returns_the_reflected_share(t, tmp_path, capsys):
    import lumetra

    alpha, L = 0.2, 4.0
    points, cells = grid(1, 1, 4)
    mesh = load(t, tmp_path, points, cells, 1.0, alpha)
    bc = lumetra.OpticalBoundaryCondition()
    bc.faces = mesh.select_bbox(True, -1, 2, -1, 2, 0, 0, 1e-9)
    bc.interaction_type = lumetra.REFLECT
    bc.refractive_index_real = 3.0  # R = ((1 - 3) / (1 + 3))^2 = 0.25 at normal incidence
    mesh.set_boundary_conditions([bc])
    rays = with_power(t, tmp_path, mesh, uniform_xy(0.2, 0.8, 16), L + 1)
    tracer = traced(t, mesh, rays, 1)
    down = math.exp(-alpha * L)
    assert absorbed_total(mesh, tracer) == pytest.approx((1 - down) + 0.25 * down * (1 - down), rel=2e-3)


def test_accumulation_and_reset(t, tmp_path, capsys):
    points, cells = grid(2, 2, 2)
    mesh = load(t, tmp_path, points, cells, 1.2, 0.4)
    rays = with_power(t, tmp_path, mesh, uniform_xy(0.1, 1.9, 25), 3)
    tracer = traced(t, mesh, rays, 0)
    once = tracer.get_result().copy()
    tracer.trace(rays, mesh)
    assert np.allclose(tracer.get_result(), 2 * once, rtol=1e-6)
    tracer.reset_result()
    assert np.all(tracer.get_result() == 0)
    assert tracer.visits > 0


def test_rays_go_straight_whatever_the_element_orientation(t, tmp_path, capsys):
    points, cells = grid(3, 3, 4)
    rotated = rotate_cells(cells, np.random.default_rng(3))
    plain = load(t, tmp_path, points, cells, 1.3, 0.2, "plain.vtk")
    turned = load(t, tmp_path, points, rotated, 1.3, 0.2, "turned.vtk")
    codes = turned.element_face_orientation()
    assert np.any((codes != 0) & (codes != 255)), "the rotated mesh must exercise other orientation codes"
    direction = (0.35, 0.2, -1.0)
    xy = np.array([[0.4, 0.7], [1.3, 1.1], [0.8, 0.35], [1.7, 0.9]])
    results = []
    for mesh in (plain, turned):
        rays = with_power(t, tmp_path, mesh, xy, 5.0, direction)
        results.append(traced(t, mesh, rays, 0).get_result())
        samples, _ = t.record_path(rays, mesh, 0)
        # Ray 0's exit points lie on one straight line along its direction.
        p = samples[:, :3].astype(float)
        d = np.array(direction) / np.linalg.norm(direction)
        offsets = (p - p[0]) - np.outer((p - p[0]) @ d, d)
        assert len(p) >= 4 and np.max(np.abs(offsets)) < 2e-3
        assert np.all(np.diff(p[:, 2]) < 0)  # element after element, downwards
    assert np.allclose(results[0], results[1], rtol=1e-4, atol=1e-7)


@pytest.mark.parametrize("solver", [0, 1])
def test_graded_index_bends_the_ray_toward_higher_index(t, tmp_path, capsys, solver):
    n0, k, x0, depth = 1.5, 0.01, 2.0, 10.0
    points, cells = grid(4, 1, 10)
    mesh = load(t, tmp_path, points, cells, n0 + k * points[:, 0], 0.0)
    rays = with_power(t, tmp_path, mesh, np.array([[x0, 0.5]]), depth + 1)
    samples, _ = t.record_path(rays, mesh, solver)
    exit_x, exit_z = float(samples[-1, 0]), float(samples[-1, 2])
    assert exit_z == pytest.approx(0.0, abs=1e-3)
    # Closed form in the solvers' parameter sigma: p_z stays n(x0), so sigma = depth / n(x0).
    sigma = (depth - exit_z) / (n0 + k * x0)
    exact = -n0 / k + (x0 + n0 / k) * math.cosh(k * sigma)
    assert exact - x0 == pytest.approx(k / (n0 + k * x0) * depth**2 / 2, rel=0.01)
    error = abs(exit_x - exact)
    # Euler is first order (about 1.5 % of the bend here); its visits may end up to 0.0005
    # mesh units past the face. Runge-Kutta moves such an exit back onto the face along the
    # path; it ends about 5e-5 from the closed form.
    assert error < (1e-2 if solver == 0 else 1e-3)
    test_graded_index_bends_the_ray_toward_higher_index.errors[solver] = error
    if len(test_graded_index_bends_the_ray_toward_higher_index.errors) == 2:
        errors = test_graded_index_bends_the_ray_toward_higher_index.errors
        assert errors[1] < errors[0], "Runge-Kutta should follow the exact path more closely than Euler"


test_graded_index_bends_the_ray_toward_higher_index.errors = {}


def test_runge_kutta_follows_a_strongly_bent_path_to_its_tolerance(t, tmp_path, capsys):
    # n = 1 + 0.1 x in elements 12 units wide, no absorption: the ray turns by 35 degrees
    # within one element, where Runge-Kutta's steps are set by its error estimate alone
    # (one step aimed across would miss the closed form by 1e-2). p_z stays constant, so
    # the exit at depth 12 is at sigma = 12 / |p_z|, and
    # x(sigma) = -10 + (x0 + 10) cosh(0.1 sigma) + 10 p_x sinh(0.1 sigma).
    points, cells = grid(2, 1, 1, 12.0)
    mesh = load(t, tmp_path, points, cells, 1 + 0.1 * points[:, 0], 0.0)
    d = np.array([-0.6, 0.0, -1.0]) / math.hypot(0.6, 1.0)
    rays = with_power(t, tmp_path, mesh, np.array([[11.6, 6.0]]), 13.0, direction=d)
    samples, _ = t.record_path(rays, mesh, 1)
    x0, p = 11.0, d * (1 + 0.1 * 11.0)  # the entry point and p = n d there
    sigma = 12.0 / -p[2]
    exact = -10 + (x0 + 10) * np.cosh(0.1 * sigma) + 10 * p[0] * np.sinh(0.1 * sigma)
    assert samples[-1, :3] == pytest.approx([exact, 6.0, 0.0], abs=2e-5)


@pytest.mark.parametrize("solver", [0, 1])
def test_same_slab_from_micrometres_to_kilometres(t, tmp_path, capsys, solver):
    # A slightly graded index (so the solvers step, no straight crossing), absorptivity
    # scaled with the mesh: every scale is the same optical problem.
    fractions = []
    for scale in (1e-6, 1e-3, 1.0, 1e3):
        points, cells = grid(2, 2, 4)
        mesh = load(t, tmp_path, points * scale, cells, 1.4 + 0.002 * points[:, 0], 0.4 / scale, f"s{scale}.vtk")
        rays = with_power(t, tmp_path, mesh, uniform_xy(0.1, 1.9, 16) * scale, 5 * scale, name=f"b{scale}.ry")
        tracer = traced(t, mesh, rays, solver)
        assert tracer.unfinished_visits == 0
        fractions.append(absorbed_total(mesh, tracer))
    assert fractions[2] == pytest.approx(1 - math.exp(-1.6), rel=1e-3)
    assert fractions == pytest.approx([fractions[2]] * 4, rel=2e-5)


def test_absorptivity_rising_steeply_across_an_element(t, tmp_path, capsys):
    # alpha from 0 to 200 across x; a ray straight down at x = 0.004 meets alpha = 0.8 over
    # its whole path. The visit needs hundreds of steps and must not end on a side face.
    points, cells = grid(1, 1, 1)
    mesh = load(t, tmp_path, points, cells, 1.0, 200.0 * points[:, 0])
    rays = with_power(t, tmp_path, mesh, np.array([[0.004, 0.5]]), 2.0)
    for solver in (0, 1):
        tracer = traced(t, mesh, rays, solver)
        assert absorbed_total(mesh, tracer) == pytest.approx(1 - math.exp(-0.8), rel=1e-4)
        assert tracer.unfinished_visits == 0
    # With alpha rising to 1e6 across the element, a step may cross only 5e-7 of it: the
    # visit runs out of steps, the ray stops where it is (inside, not on a side face) with
    # the power it has left, and the trace says so.
    points, cells = grid(2, 1, 1)
    mesh = load(t, tmp_path, points, cells, 1.0, 1e6 * np.maximum(points[:, 0] - 1, 0), "steep.vtk")
    rays = with_power(t, tmp_path, mesh, np.array([[1.001, 0.5]]), 2.0, name="edge.ry")
    capsys.readouterr()
    tracer = traced(t, mesh, rays, 1)
    assert tracer.unfinished_visits == 1
    travelled = t.MAX_VISIT_STEPS * 0.5 / 1e6
    assert absorbed_total(mesh, tracer) == pytest.approx(1 - math.exp(-1000 * travelled), rel=1e-3)
    assert (
        f"Warning: 1 rays stopped inside an element after {t.MAX_VISIT_STEPS} integration steps"
        in capsys.readouterr().out
    )
    samples, _ = t.record_path(rays, mesh, 1)
    assert samples[-1, :3] == pytest.approx([1.001, 0.5, 1 - travelled], abs=1e-5)
    assert samples[-1, 4] == pytest.approx(math.exp(-1000 * travelled), rel=1e-3)


def test_straight_crossing_of_uniform_elements(t, tmp_path, capsys, monkeypatch):
    # Uniform index, absorptivity trilinear in the whole block (so the nodal values carry it
    # exactly): the straight crossing gives the Beer-Lambert total of the closed-form depth
    # to float precision, and the same nodal field as stepping through the elements.
    points, cells = grid(3, 3, 3)
    x, y, z = points.T
    mesh = load(t, tmp_path, points, cells, 1.3, 0.2 + 0.1 * x + 0.05 * y * z)
    xy = uniform_xy(0.1, 2.9, 25)
    rays = with_power(t, tmp_path, mesh, xy, 4.0)
    exact = np.mean(1 - np.exp(-(0.2 * 3 + 0.1 * xy[:, 0] * 3 + 0.05 * xy[:, 1] * 4.5)))
    fields = {}
    for rule in ("", "stepped"):
        monkeypatch.setenv("LUMETRA_STEP_RULE", rule)
        for solver in (0, 1):
            tracer = traced(t, mesh, rays, solver)
            if rule == "":
                assert absorbed_total(mesh, tracer) == pytest.approx(exact, rel=3e-6)
            fields[rule, solver] = tracer.get_result()
    assert np.array_equal(fields["", 0], fields["", 1])  # the solver plays no part
    for solver in (0, 1):
        ref = fields["", solver]
        assert np.linalg.norm(fields["stepped", solver] - ref) < 2e-3 * np.linalg.norm(ref)


def test_nodal_field_against_a_fine_step_reference(t, tmp_path, capsys, monkeypatch):
    # Graded index and graded absorptivity, oblique rays: the nodal absorbed power of each
    # solver against the same trace with 16 times tighter step limits.
    points, cells = grid(4, 4, 4)
    x, y, z = points.T
    mesh = load(t, tmp_path, points, cells, 1.4 + 0.05 * x - 0.02 * y, 0.3 + 0.1 * z)
    rays = with_power(t, tmp_path, mesh, uniform_xy(0.3, 2.9, 64), 4.5, direction=(0.2, 0.1, -1))
    monkeypatch.setenv("LUMETRA_STEP_RULE", "fine")
    reference = traced(t, mesh, rays, 1).get_result()
    monkeypatch.delenv("LUMETRA_STEP_RULE")
    for solver, bound in ((0, 1e-3), (1, 2e-5)):
        q = traced(t, mesh, rays, solver).get_result()
        error = np.linalg.norm(q - reference) / np.linalg.norm(reference)
        print(f"solver {solver}: relative nodal L2 error {error:.2e}")
        assert error < bound


def test_trapped_ray_ends_at_the_visit_limit(t, tmp_path, capsys):
    import lumetra

    points, cells = grid(1, 1, 1)
    mesh = load(t, tmp_path, points, cells, 1.0, 0.0)
    top = mesh.select_bbox(True, -1, 2, -1, 2, 1, 1, 1e-9)
    mirror = lumetra.OpticalBoundaryCondition()
    mirror.interaction_type = lumetra.REFLECT
    mirror.refractive_index_imag = 1e4  # reflectance 1 in single precision
    mirror.faces = [f for f in range(mesh.n_faces) if f not in top]
    mesh.set_boundary_conditions([mirror])
    rays = t.Rays(1)
    rays.set_positions(np.array([[0.5], [0.5], [1.0]], np.float32))
    # Nearly horizontal: it sinks 5e-6 per crossing, so it would need 200 000 crossings
    # between the mirrors to reach the bottom and come back.
    d = np.array([1.0, 0.0, -5e-6], np.float32)
    rays.set_directions((d / np.linalg.norm(d))[:, None])
    rays.set_start_faces(np.array([top[0]], np.int32))
    rays.set_power(np.array([1.0], np.float32))
    tracer = traced(t, mesh, rays, 0)
    assert tracer.stopped_by_visit_limit == 1
    assert tracer.visits == t.MAX_ELEMENT_VISITS
    assert (
        f"Warning: 1 rays stopped after {t.MAX_ELEMENT_VISITS} element visits (trapped by reflections)\n"
        in capsys.readouterr().out
    )


def test_orientation_code_example():
    from lumetra import _testing as t

    assert t.transfer_across_face([0.3, -0.5, -1.0], 0, 0, 4) == pytest.approx((-0.5, 0.3, -1.0))
    assert t.transfer_across_face([1.0, 0.2, -0.7], 3, 2, 0) == pytest.approx((-1.0, 0.2, -0.7))
    assert t.transfer_across_face([0.0, 3.0, 0.0], 0, 1, 9) == pytest.approx((0.0, 1.0, 1.0))  # clamped; 9 acts as 0


def test_rays_without_start_face_keep_their_seed(t, tmp_path, capsys):
    points, cells = grid(1, 1, 1)
    mesh = load(t, tmp_path, points, cells, 1.0, 0.5)
    rays = t.Rays(3)
    rays.set_start_faces(np.array([-1, 99, -5], np.int32))
    before = rays.seeds().copy()
    tracer = traced(t, mesh, rays, 0)
    assert np.array_equal(rays.seeds(), before)
    assert np.all(tracer.get_result() == 0) and tracer.visits == 0


def test_config_table_from_a_toml_file(t, tmp_path, capsys):
    points, cells = grid(1, 1, 1)
    mesh = load(t, tmp_path, points, cells, 1.0, 0.5)
    capsys.readouterr()
    (tmp_path / "c.toml").write_text('output_file = "from_toml.vtu"\nthreads = [1, 2]\n')
    table = tomllib.loads((tmp_path / "c.toml").read_text())
    tracer = t.Tracer(0, 2)
    tracer.config_table(table, mesh)
    assert capsys.readouterr().out == "Attempt config\nConfigured Light Transport Objective\n"
    assert tracer.get_result().shape == (8,)
    with pytest.raises(RuntimeError, match="configuration key 'output_file' is missing"):
        tracer.config_table({"output": "x"}, mesh)
    with pytest.raises(RuntimeError, match="configuration key 'output_file' must be a string"):
        tracer.config_table({"output_file": 3}, mesh)
    with pytest.raises(RuntimeError, match="configuration key 'output_file' must be a string"):
        tracer.config_table({"output_file": [1]}, mesh)


def test_base_objective_answers_with_messages(t, tmp_path, capsys):
    points, cells = grid(1, 1, 1)
    mesh = load(t, tmp_path, points, cells, 1.0, 0.5)
    capsys.readouterr()
    assert t.bare_objective_calls({"output_file": "x"}, mesh) == 0
    assert capsys.readouterr().out == (
        "Warning: using empty objective\n"
        "Warning: using empty objective\nObjective result base class\n"
        "Warning: getResult not implemented for this objective\n"
        "Warning: resetResult not implemented for this objective\n"
    )
    with pytest.raises(ValueError):
        t.Tracer(5, 2)
    with pytest.raises(ValueError):
        t.Tracer(0, -1)


VARIANT_SCRIPT = """
import json, sys
import numpy as np
sys.path.insert(0, {tests!r})
import lumetra
from lumetra import _testing as t
from meshes import grid, write_vtk
points, cells = grid(3, 3, 3)
index = 1.3 + 0.05 * points[:, 0]
write_vtk({mesh!r}, points, cells, refractive_index=index, absorptivity=np.full(len(points), 0.3))
mesh = t.read_vtk({mesh!r})
bc = lumetra.OpticalBoundaryCondition()
bc.faces = mesh.select_bbox(True, -1, 4, -1, 4, 3, 3, 1e-9)
bc.rough_surface, bc.roughness = True, 0.2
mesh.set_boundary_conditions([bc])
rays = t.read_ray_file({rays!r})
placer = t.SurfaceTracer(1)
placer.build(mesh)
placer.trace(rays, mesh)
tracer = t.Tracer({solver}, 2)
tracer.config("unused.vtu", mesh.n_nodes)
tracer.trace(rays, mesh)
print(json.dumps({{"q": tracer.get_result().tolist(), "seeds": [int(s) for s in rays.seeds()[0]],
                  "faces": rays.start_faces()[0].tolist()}}))
"""


@pytest.mark.parametrize("solver", [0, 1])
def test_cpu_and_cuda_variants_agree(t, tmp_path, solver):
    import json
    import lumetra
    from conftest import run_python

    if lumetra.backend != "cuda":
        pytest.skip("compares the CUDA variant with the CPU variant; this process runs the CPU variant")
    lines = ["64"] + [f"{0.2 + 0.4 * (i % 8)} {0.2 + 0.4 * (i // 8)} 4 0.1 -0.05 -1 0.015625" for i in range(64)]
    (tmp_path / "r.ry").write_text("\n".join(lines) + "\n")
    script = VARIANT_SCRIPT.format(
        tests=os.path.dirname(__file__), mesh=str(tmp_path / "m.vtk"), rays=str(tmp_path / "r.ry"), solver=solver
    )
    out = {}
    for backend in ("cpu", "cuda"):
        result = run_python(script, backend=backend)
        assert result.returncode == 0, result.stderr
        out[backend] = json.loads(result.stdout.strip().splitlines()[-1])
    assert out["cpu"]["faces"] == out["cuda"]["faces"]
    assert out["cpu"]["seeds"] == out["cuda"]["seeds"]  # the same random draws, bit for bit
    assert np.allclose(out["cpu"]["q"], out["cuda"]["q"], rtol=1e-3, atol=1e-6)


@pytest.mark.parametrize("solver", [0, 1])
def test_strong_absorption_stays_physical(t, tmp_path, capsys, solver):
    # alpha n h = 4.5 with the plain 0.1 step: Runge-Kutta would be unstable (it created
    # power) and Euler would drop everything on the entry nodes.
    alpha = 30.0
    points, cells = grid(1, 1, 2)
    mesh = load(t, tmp_path, points, cells, 1.5, alpha)
    rays = with_power(t, tmp_path, mesh, uniform_xy(0.2, 0.8, 9), 3)
    tracer = traced(t, mesh, rays, solver)
    q = tracer.get_result()
    assert np.all(q >= 0)
    total = absorbed_total(mesh, tracer)
    assert total == pytest.approx(1 - math.exp(-alpha * 2), rel=1e-3)
    # Shared out to the nodes of the top element as the lumped weights say: its lower nodes
    # get the integral of s alpha exp(-alpha s) over the element, about 1 / alpha.
    z = mesh.node_coords()[2]
    power = q * mesh.nodal_mass()[0]
    lower = power[np.isclose(z, 1.0)].sum()
    expected = (1 - math.exp(-alpha)) / alpha - math.exp(-alpha)
    # Runge-Kutta samples the decay within each step; Euler weights every step at its start.
    assert lower == pytest.approx(expected, rel=0.02 if solver == 1 else 0.3)


def test_faces_on_planes_that_floats_cannot_hold_are_selected(t, tmp_path, capsys):
    points, cells = grid(3, 3, 3, spacing=0.1)
    mesh = load(t, tmp_path, points, cells, 1.0, 0.0)
    assert len(mesh.select_bbox(True, 0, 0.3, 0, 0.3, 0.3, 0.3, 1e-9)) == 9  # the top, z = 0.3
    assert len(mesh.select_bbox(True, 0.3, 0.3, 0, 0.3, 0, 0.3, 1e-9)) == 9
    # Nodes at (0.3, 0) and (0, 0.3) lie on the radius 0.3 as floats hold it.
    on_radius = mesh.select_radial(False, 0.3, 0.3, 1e-9)
    r = np.hypot(*corners_xy(mesh, on_radius))
    assert on_radius and np.all(np.any(np.isclose(r, 0.3, atol=1e-6), axis=1))


def corners_xy(mesh, faces):
    c = mesh.node_coords().T[mesh.face_nodes()[faces]]
    return c[..., 0].astype(float), c[..., 1].astype(float)
