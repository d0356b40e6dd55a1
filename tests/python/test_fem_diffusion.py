"""The finite-element diffusion scheme against what the heat equation says."""

import math

import numpy as np
import pytest

from lumetra import meshes


@pytest.fixture(params=["diagonal", "multigrid"])
def preconditioner(request):
    return request.param


def oxygen_model(mesh, D, dt, boundary=None, preconditioner="diagonal", multigrid_from=0.0, **fields):
    """An engine on `mesh` and a model whose only process is oxygen diffusion (no light),
    fixed at 1 on the faces `boundary(engine)` selects, no flux elsewhere; `fields` go to
    set_fields. The multigrid levels serve every step unless multigrid_from says otherwise."""
    import curalis
    import lumetra

    lumetra.set_verbosity(0)
    engine = lumetra.Lumetra()
    engine.load_mesh_arrays(*mesh)
    engine.set_solver_type("FE")
    engine.config()
    engine.configure_outfilename("unwritten.vtu")  # the result array the model reads (all 0)
    p = curalis.CuralisProps()
    p.diffusion_scheme, p.fem_preconditioner, p.fem_multigrid_from = "fem", preconditioner, multigrid_from
    p.dt, p.diffusion_oxygen, p.c_monomer0, p.n0, p.n1 = dt, D, 1.0, 1.5, 1.5
    if boundary is not None:
        p.diffusion_bc_oxygen, p.dirichlet_oxygen = 1, 1.0
        p.oxygen_dirichlet_face_ids = list(boundary(engine))
    model = curalis.Curalis(p, engine.get_node_count())
    model.set_fields(**fields)
    model.initialize_accelerator(engine)
    return engine, model


def brick(extruded):
    """Elements longer along z than across: the stiffness has positive off-diagonal entries. The
    box is solved column by column; sheared along x as z grows (the same volumes), it is not."""
    mesh = meshes.box(6, 4, 4, size=(0.75, 0.5, 1.0))  # coordinates that floats hold exactly
    if not extruded:
        points = np.array(mesh.points)
        points[:, 0] += 0.25 * points[:, 2]
        mesh = mesh._replace(points=points)
    return mesh


@pytest.mark.parametrize("extruded", [True, False])
def test_amount_is_kept_without_flux_and_gelled_nodes_keep_their_value(preconditioner, extruded):
    mesh = brick(extruded)
    n = len(mesh.points)
    rng = np.random.default_rng(3)
    gelled = rng.uniform(size=n) < 0.2
    start = rng.uniform(0.0, 1.0, n)
    cure = np.where(gelled, 1.0, 0.3)
    engine, model = oxygen_model(mesh, 0.05, 0.5, None, preconditioner, oxygen=start, degree_of_curing=cure)
    assert model.get_diffusion_extruded() == extruded
    # Lumped masses in double (the engine's volumes are float): an eighth of each brick.
    volume = np.bincount(np.asarray(mesh.hexahedra).ravel(), minlength=n) * (0.125 * 0.125 * 0.25 / 8)
    for _ in range(5):
        model.reaction_step(engine)
    o = model.get_oxygen_concentration()
    assert abs(volume @ o - volume @ start) < 1e-10 * (volume @ start)
    assert np.array_equal(o[gelled], start[gelled])
    assert np.std(o[~gelled]) < 0.5 * np.std(start[~gelled])  # the rest did diffuse


@pytest.mark.parametrize("extruded", [True, False])
def test_a_uniform_cure_scales_the_coefficient_by_1_minus_X(extruded):
    mesh = brick(extruded)
    start = np.random.default_rng(5).uniform(0.0, 1.0, len(mesh.points))
    fields = []
    for D, cure in ((0.05, 0.36), (0.05 * 0.64, 0.0)):
        engine, model = oxygen_model(mesh, D, 0.5, oxygen=start, degree_of_curing=np.full(len(start), cure))
        model.reaction_step(engine)
        fields.append(model.get_oxygen_concentration())
    np.testing.assert_allclose(fields[0], fields[1], rtol=1e-6, atol=1e-9)  # to the solver's tolerance
    assert np.std(fields[0]) < 0.8 * np.std(start)


def test_half_space_converges_to_the_heat_equation(preconditioner):
    """Oxygen enters a long block through its face x = 0 (held at 1; interior 0) to T = 1:
    the amount per unit area tends to 2 sqrt(D T / pi), the profile to erfc(x / 2 sqrt(D T))."""
    D, T = 0.01, 1.0
    exact = 2 * math.sqrt(D * T / math.pi)

    def entered(h, dt):
        mesh = meshes.box(int(round(1 / h)), 2, 2, size=(1, 0.1, 0.1))
        face = lambda e: e.select_boundary_faces_bbox(-1e-9, 1e-9, -1, 1, -1, 1)  # noqa: E731
        engine, model = oxygen_model(mesh, D, dt, face, preconditioner)
        for _ in range(int(round(T / dt))):
            model.reaction_step(engine)
        o = model.get_oxygen_concentration()
        x = np.asarray(mesh.points)[:, 0]
        profile = np.max(np.abs(o - np.array([math.erfc(v / (2 * math.sqrt(D * T))) for v in x])))
        return engine.get_nodal_volumes() @ o / 0.01, profile

    coarse, fine, finest = entered(0.05, 0.05), entered(0.025, 0.0125), entered(0.0125, 0.003125)
    errors = [abs(a / exact - 1) for a, _ in (coarse, fine, finest)]
    assert errors[2] < 2e-3 and errors[2] < errors[1] < errors[0]
    assert fine[1] < 0.02 and finest[1] < fine[1]
    # At fixed spacing, a step four times shorter changes the amount by under 2 %.
    assert abs(entered(0.025, 0.05)[0] / fine[0] - 1) < 0.02


def test_gaussian_variance_grows_by_2_D_T_per_axis(preconditioner):
    D, T, s0 = 0.002, 2.0, 0.08
    mesh = meshes.box(24, 24, 24, size=(1, 1, 1), origin=(-0.5, -0.5, -0.5))
    p = np.asarray(mesh.points)
    blob = np.exp(-np.sum(p**2, axis=1) / (2 * s0**2))
    engine, model = oxygen_model(mesh, D, 0.25, None, preconditioner, oxygen=blob)
    for _ in range(8):
        model.reaction_step(engine)
    o, volume = model.get_oxygen_concentration(), engine.get_nodal_volumes()
    w = volume * o
    for axis in range(3):
        variance = w @ p[:, axis] ** 2 / w.sum()
        start = (volume * blob) @ p[:, axis] ** 2 / (volume * blob).sum()
        assert variance - start == pytest.approx(2 * D * T, rel=0.03)


def test_multigrid_keeps_the_iterations_as_the_mesh_is_refined():
    """At a fixed D dt, D dt / h^2 grows 4 times from 12^3 to 24^3 elements: the diagonal's
    iterations grow about as 1/h, the multigrid's less than half as fast; both solve the same step (a fixed face,
    gelled nodes, the cure's coefficient). A step that is not stiff keeps the diagonal."""
    import curalis

    iterations, default = {}, curalis.CuralisProps().fem_multigrid_from
    for k, D in ((12, 0.04), (24, 0.04), (12, 0.001)):
        mesh = meshes.box(k, k, k)
        n = len(mesh.points)
        rng = np.random.default_rng(k)
        start, cure = rng.uniform(0.0, 1.0, n), np.where(rng.uniform(size=n) < 0.1, 1.0, rng.uniform(0.0, 0.5, n))
        face = lambda e: e.select_boundary_faces_bbox(-1e-9, 1e-9, -1, 2, -1, 2)  # noqa: E731
        fields = {}
        for name in ("diagonal", "multigrid"):
            engine, model = oxygen_model(mesh, D, 1.0, face, name, default, oxygen=start, degree_of_curing=cure)
            model.reaction_step(engine)
            iterations[k, D, name] = model.get_diffusion_iterations()[1]
            fields[name] = model.get_oxygen_concentration()
            assert (model.get_multigrid_levels() >= 3) == (name == "multigrid")
        assert np.max(np.abs(fields["multigrid"] - fields["diagonal"])) < 5e-4  # both to a residual of 1e-6
    grown = {name: iterations[24, 0.04, name] - iterations[12, 0.04, name] for name in ("diagonal", "multigrid")}
    assert iterations[24, 0.04, "diagonal"] > 1.6 * iterations[12, 0.04, "diagonal"]
    assert iterations[24, 0.04, "multigrid"] < 0.6 * iterations[24, 0.04, "diagonal"]
    assert grown["multigrid"] < 0.5 * grown["diagonal"]
    assert iterations[12, 0.001, "multigrid"] == iterations[12, 0.001, "diagonal"]
    p = curalis.CuralisProps()
    p.dt, p.n0, p.n1, p.fem_preconditioner = 1.0, 1.5, 1.5, "jacobi"
    with pytest.raises(ValueError, match='fem_preconditioner must be "diagonal" or "multigrid"'):
        curalis.Curalis(p, 8)
    p.fem_preconditioner, p.fem_multigrid_from = "multigrid", -1.0
    with pytest.raises(ValueError, match="fem_multigrid_from must not be negative"):
        curalis.Curalis(p, 8)


@pytest.mark.parametrize(
    "scheme, D, warned",
    [("kernel", 1e-5, ["radical"]), ("kernel", 1e-3, []), ("kernel", 0.1, ["radical"]), ("fem", 1e-5, [])],
)
def test_main_job_warns_when_the_kernel_reach_misses_the_node_spacing(scheme, D, warned):
    from lumetra.runner import kernel_reach_warnings

    mesh = meshes.box(10, 10, 10)  # spacing 0.1; radius sqrt(4 D ln 1000) at dt = 1
    resin = {"model": "curalis", "diffusion_scheme": scheme, "diffusion_radical": D, "diffusion_oxygen": 0.0}
    lines = kernel_reach_warnings(mesh.points, mesh.hexahedra, resin, 1.0)
    assert [line.split(" of ")[1].split()[0] for line in lines] == warned
    assert all("node spacing 0.1 " in line for line in lines)


def test_a_refused_step_leaves_the_model_as_it_was():
    # Elements four times wider than high and a cure that jumps to the gel point between two
    # layers: the step's system is indefinite and refused after the radicals have diffused.
    mesh = meshes.box(20, 20, 8, size=(10.0, 10.0, 1.0))
    z = np.asarray(mesh.points)[:, 2]
    fields = {
        "oxygen": 0.5 + 0.4 * np.sin(np.arange(len(z))),
        "radical": np.full(len(z), 0.5),
        "degree_of_curing": np.where(z < 0.45, 1.0, 0.3),
    }
    engine, model = oxygen_model(mesh, 0.3, 1.0, **fields)
    getters = ("oxygen_concentration", "radical_concentration", "monomer_concentration", "degree_of_curing")
    before = [getattr(model, f"get_{name}")() for name in getters]
    with pytest.raises(RuntimeError, match="not positive definite"):
        model.reaction_step(engine)
    for name, was in zip(getters, before):
        assert np.array_equal(getattr(model, f"get_{name}")(), was), name
