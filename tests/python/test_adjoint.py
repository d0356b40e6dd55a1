"""Rays from arrays, and the transpose of the trace: set_rays gives the rays a ray file
gives, and trace_adjoint is the exact transpose of the map from ray powers to absorbed
power, <A p, g> = <p, A^T g>, through refraction, reflection, rough faces, a graded index
and rays aligned with the mesh; the recorded matrix is that map."""

import numpy as np
import pytest

import lumetra
from lumetra import meshes, optics_map
from test_aligned_rays import OFFSETS, WIDTH, aligned_rays, mesh_of


def condition(faces, **fields):
    bc = lumetra.OpticalBoundaryCondition()
    bc.faces = faces
    for name, value in fields.items():
        setattr(bc, name, value)
    return bc


def vial_engine(solver="RK4", roughness=0.0):
    """A resin vial (index 1.48 graded across it, absorptivity graded along it) in air: the
    wall refracts and, rough, scatters; the bottom is a lossy mirror; the top lets light out."""
    engine = lumetra.Lumetra()
    engine.load_mesh_arrays(
        *meshes.vial(
            radius=1.0,
            height=1.0,
            n_core=4,
            n_radial=3,
            n_z=5,
            refractive_index=lambda x, y, z: 1.48 + 0.04 * x + 0.02 * y * y,
            absorptivity=lambda x, y, z: 0.6 + 0.5 * z,
        )
    )
    wall = engine.select_boundary_faces_radial(1.0, 1.0, True, 1e-5)
    bottom = engine.select_boundary_faces_bbox(-2, 2, -2, 2, -1e-6, 1e-6, True)
    engine.set_boundary_conditions(
        [
            condition(wall, refractive_index_real=1.0, rough_surface=roughness > 0, roughness=roughness),
            condition(bottom, interaction_type=lumetra.REFLECT, refractive_index_real=1.0, refractive_index_imag=2.0),
        ]
    )
    engine.set_solver_type(solver)
    engine.config()
    return engine


def side_rays(n, seed=1):
    """Rays from the side, slanting down onto the mirror; a few miss the vial."""
    rng = np.random.default_rng(seed)
    positions = np.column_stack([np.full(n, -3.0), rng.uniform(-1.1, 1.1, n), rng.uniform(0.3, 1.6, n)])
    directions = np.column_stack([np.ones(n), rng.uniform(-0.2, 0.2, n), rng.uniform(-0.6, 0.0, n)])
    return positions, directions


def forward(engine, powers):
    engine.set_ray_payloads(powers)
    engine.reset_absorbed_power()
    engine.compute_volumetric_absorption(progress=False)
    return engine.get_absorbed_power()


def assert_transpose(engine, n, trials=3, seed=2):
    """<A p, g> = <p, A^T g> for random p >= 0 (a few zeros among them) and random g of both
    signs; the adjoint is taken before each forward trace, whose map it is."""
    rng = np.random.default_rng(seed)
    for _ in range(trials):
        p = rng.uniform(0.0, 2.0, n) * (rng.uniform(size=n) > 0.1)
        g = rng.normal(size=engine.get_node_count())
        adjoint = engine.trace_adjoint(g)
        q = forward(engine, p)
        scale = np.abs(q * g).sum()
        assert scale > 0
        assert abs(q @ g - p @ adjoint) <= 1e-5 * scale, (q @ g, p @ adjoint)


@pytest.mark.parametrize("solver", ["FE", "RK4"])
@pytest.mark.parametrize("roughness", [0.0, 0.3], ids=["smooth", "rough"])
def test_adjoint_is_the_transpose_through_refraction_reflection_and_a_graded_index(solver, roughness):
    engine = vial_engine(solver, roughness)
    n = 300
    engine.set_rays(*side_rays(n), np.ones(n))
    assert_transpose(engine, n)
    summary = engine.get_trace_summary()
    assert summary["rays_missed"] > 0 and summary["power_absorbed"] > 0.1 * summary["power_entered"]
    # Watched, the trace runs in batches of rays (256 first): the same values.
    g, done = np.random.default_rng(5).normal(size=engine.get_node_count()), []
    assert np.array_equal(engine.trace_adjoint(g, progress=lambda d, total: done.append(d)), engine.trace_adjoint(g))
    assert done == [256, n]

    # The map is linear in the ray powers: no cut-off on a ray's absolute power bends it.
    rng = np.random.default_rng(3)
    p1, p2 = rng.uniform(size=n), rng.uniform(size=n) * 1e-6
    if roughness == 0.0:  # a rough face draws new normals in every forward trace
        q1, q2, q12 = forward(engine, p1), forward(engine, p2), forward(engine, 3 * p1 + 2e5 * p2)
        assert np.allclose(q12, 3 * q1 + 2e5 * q2, rtol=1e-5, atol=1e-6 * q12.max())
        assert np.allclose(forward(engine, 1e-20 * p1), 1e-20 * q1, rtol=1e-5, atol=1e-26 * q1.max())


@pytest.mark.parametrize("kind", ["box", "vial"])
@pytest.mark.parametrize("solver", ["FE", "RK4"])
def test_adjoint_of_rays_along_faces_edges_and_node_lines(kind, solver):
    engine = lumetra.Lumetra()
    engine.load_mesh_arrays(*mesh_of(kind, lambda x, y, z: 1.4 + 0.1 * z))
    positions, directions = [], []
    for start, direction, shift, grazing in aligned_rays(kind):
        d, s = np.array(direction), np.array(shift, float)
        for offset in OFFSETS:
            p = np.array(start, float) + (abs(offset) if grazing else offset) * WIDTH * s / np.linalg.norm(s)
            positions.append(p - 2.0 * d)
            directions.append(d)
    n = len(positions)
    engine.set_rays(positions, directions, np.ones(n))
    engine.set_solver_type(solver)
    engine.config()
    assert_transpose(engine, n)
    assert engine.get_trace_summary()["rays_entered"] == n
    # Each aligned ray's value is its neighbour's: the adjoint walks where the forward does.
    values = engine.trace_adjoint(np.ones(engine.get_node_count())).reshape(-1, len(OFFSETS))
    beside = values[:, OFFSETS.index(1e-4)]
    assert np.all(beside > 0) and np.allclose(values, beside[:, None], rtol=1e-3)


@pytest.mark.parametrize("case", ["vial", "column"])
def test_recorded_matrix_is_the_map_the_traces_apply(case):
    if case == "vial":  # rough: the recording keeps the seeds for the trace it stands for
        engine = vial_engine(roughness=0.3)
        engine.set_rays(*side_rays(300), np.ones(300))
    else:  # rays that cross 60 elements: more deposits than the first guess holds
        engine = lumetra.Lumetra()
        engine.load_mesh_arrays(
            *meshes.box(2, 2, 60, size=(1, 1, 3), refractive_index=lambda x, y, z: 1.4 + 0.1 * x, absorptivity=0.3)
        )
        xy = np.random.default_rng(6).uniform(0.05, 0.95, (40, 2))
        engine.set_rays(np.column_stack([xy, np.full(40, 4.0)]), np.tile([0.0, 0.0, -1.0], (40, 1)), np.ones(40))
        engine.config()
    n, nodes = engine.get_ray_count(), engine.get_node_count()
    matrix = optics_map.record_matrix(engine)
    assert matrix.shape == (nodes, n) and matrix.nnz > 8 * n
    rng = np.random.default_rng(7)
    g, p = rng.normal(size=nodes), rng.uniform(size=n)
    adjoint = engine.trace_adjoint(g)
    assert np.allclose(matrix.T @ g, adjoint, rtol=1e-9, atol=1e-12 * np.abs(adjoint).max())
    q = forward(engine, p)
    assert np.allclose(matrix @ p, q, rtol=1e-5, atol=1e-7 * q.max())


def test_adjoint_leaves_the_forward_result_and_is_refused_without_a_field():
    engine = vial_engine()
    n = 50
    engine.set_rays(*side_rays(n), np.linspace(0.0, 1.0, n))
    engine.compute_volumetric_absorption(progress=False)
    before = (engine.get_absorbed_power(), engine.get_trace_summary(), engine.get_ray_exit_power())
    values = engine.trace_adjoint(np.ones(engine.get_node_count()))
    assert values.shape == (n,) and values.max() > 0
    after = (engine.get_absorbed_power(), engine.get_trace_summary(), engine.get_ray_exit_power())
    assert np.array_equal(before[0], after[0]) and before[1] == after[1] and np.array_equal(before[2], after[2])
    nodes = engine.get_node_count()
    for field, match in [
        (np.ones(nodes - 1), r"field must have shape \(%d,\)" % nodes),
        (np.ones((nodes, 1)), "field must have shape"),
        (np.r_[np.ones(nodes - 1), np.nan], f"field: item {nodes - 1} is nan"),
    ]:
        with pytest.raises(ValueError, match=match):
            engine.trace_adjoint(field)
    with pytest.raises(RuntimeError, match="cannot trace"):
        lumetra.Lumetra().trace_adjoint([])


def test_set_rays_gives_the_rays_a_ray_file_gives(tmp_path):
    rng = np.random.default_rng(4)
    n = 120
    # Values a file holds exactly (single precision), directions not normalised, a zero power.
    positions, directions = side_rays(n, seed=5)
    directions *= rng.uniform(0.1, 10.0, (n, 1))
    positions, directions, powers = (
        a.astype(np.float32).astype(float) for a in (positions, directions, rng.uniform(0.0, 3.0, n))
    )
    powers[7] = 0.0
    rows = np.column_stack([positions, directions, powers])
    (tmp_path / "r.ry").write_text(f"{n}\n" + "".join(" ".join(f"{v:.9g}" for v in r) + "\n" for r in rows))

    results = []
    for use_file in (True, False):
        engine = vial_engine(roughness=0.2)
        if use_file:
            engine.load_rays(tmp_path / "r.ry")
        else:
            engine.set_rays(positions, directions, powers)
        engine.compute_volumetric_absorption(progress=False)
        engine.compute_volumetric_absorption(progress=False)  # the seeds advanced alike
        results.append(
            (
                engine.get_absorbed_power(),
                engine.get_ray_start_faces(),
                engine.get_ray_exit_positions(),
                engine.get_ray_exit_power(),
                engine.get_ray_payloads(),
            )
        )
    (q_file, *rays_file), (q_arrays, *rays_arrays) = results
    for from_file, from_arrays in zip(rays_file, rays_arrays):  # every ray alike, bit for bit
        assert np.array_equal(from_file, from_arrays)
    # Per unit volume: each engine sums its nodal volumes from the elements' shares in float,
    # in whatever order the threads come, so they may differ in the last bit.
    assert q_file.max() > 0 and np.allclose(q_file, q_arrays, rtol=1e-6, atol=0)


@pytest.mark.parametrize(
    "change, match",
    [
        (lambda p, d, w: (p[:, :2], d, w), r"positions must have shape \(n, 3\), not \(5, 2\)"),
        (lambda p, d, w: (p, d[:4], w), r"directions must have shape \(5, 3\), not \(4, 3\)"),
        (lambda p, d, w: (p, d, w[:, None]), r"powers must have shape \(5,\), not \(5, 1\)"),
        (lambda p, d, w: (p[:0], d[:0], w[:0]), "no rays"),
        (lambda p, d, w: (p.astype(str), d, w), "positions must hold numbers"),
        (lambda p, d, w: (np.where(np.arange(5)[:, None] == 2, np.nan, p), d, w), "positions row 2 holds nan"),
        (lambda p, d, w: (p, d, np.where(np.arange(5) == 1, 1e39, w)), "powers row 1 holds 1e.39, beyond single"),
        (lambda p, d, w: (p, np.where(np.arange(5)[:, None] == 3, 1e-50, d), w), "directions row 3 is zero"),
        (lambda p, d, w: (p, d, np.where(np.arange(5) == 4, -1.0, w)), "powers row 4 is -1; a power must not be"),
    ],
)
def test_set_rays_refuses_bad_arrays_naming_the_argument_and_row(change, match):
    engine = lumetra.Lumetra()
    engine.set_rays([[0.0, 0.0, 2.0]], [[0.0, 0.0, -1.0]], [1.0])
    p, d = side_rays(5)
    with pytest.raises(ValueError, match=match):
        engine.set_rays(*change(p, d, np.ones(5)))
    assert engine.get_ray_count() == 1 and engine.get_ray_payloads().tolist() == [1.0]
