"""The curing modules curalis and exposa as scripts drive them: coupled to a lumetra engine
(handed the engine itself or its addresses), their boundary masks and errors, and one thread count for all."""

import gc
import weakref

import numpy as np
import pytest

from conftest import run_python
from meshes import grid, write_vtk

import curalis
import exposa
import lumetra

N0, N1 = 1.5, 1.8  # cured resin has the higher index


def write_beam(path, xs, ys, top):
    """Vertical rays (travelling down) at every (x, y), 1 W in total."""
    rays = [(x, y) for x in xs for y in ys]
    lines = [str(len(rays))] + [f"{x} {y} {top + 1} 0 0 -1 {1 / len(rays)}" for x, y in rays]
    path.write_text("\n".join(lines) + "\n")
    return str(path)


@pytest.fixture
def block(tmp_path):
    """A 6 x 4 x 4 block of unit hexahedra (175 nodes) with index N0, an engine that has
    traced a beam into its left part (x < 2), and the nodes that beam reached."""
    points, cells = grid(6, 4, 4)
    write_vtk(
        tmp_path / "block.vtk",
        points,
        cells,
        refractive_index=np.full(len(points), N0),
        absorptivity=np.full(len(points), 0.3),
    )
    engine = lumetra.Lumetra()
    engine.load_mesh(str(tmp_path / "block.vtk"))
    engine.load_rays(write_beam(tmp_path / "left.ry", np.linspace(0.1, 1.9, 6), np.linspace(0.1, 3.9, 8), 4))
    engine.config()
    engine.configure_outfilename(str(tmp_path / "out.vtu"))
    engine.compute_volumetric_absorption()
    return engine, points, tmp_path


def props(**values):
    p = curalis.CuralisProps()
    base = dict(
        kpropagation=5.0,
        koxygen=1.0,
        dt=1.0,
        n0=N0,
        n1=N1,
        alpha0=0.3,
        alpha1=0.3,
        c_monomer0=1.0,
        c_oxygen0=0.1,
        diffusion_oxygen=0.0,
        diffusion_radical=0.0,
    )
    for name, value in {**base, **values}.items():
        setattr(p, name, value)
    return p


def addresses(engine):
    return engine.get_result_array_device_ptr(), engine.get_mesh_data_devlink_ptr()


def test_module_surface_and_defaults():
    assert curalis.backend == exposa.backend == lumetra.backend
    p = curalis.CuralisProps()
    numbers = [
        "kpropagation",
        "koxygen",
        "diffusion_oxygen",
        "diffusion_radical",
        "diffusion_bc",
        "diffusion_bc_radical",
        "diffusion_bc_oxygen",
        "dirichlet_radical",
        "dirichlet_oxygen",
        "dt",
        "n0",
        "n1",
        "alpha0",
        "alpha1",
        "c_monomer0",
        "c_radical0",
        "c_oxygen0",
        "degree_of_curing0",
    ]
    assert all(getattr(p, name) == 0 for name in numbers)
    assert p.oxygen_gel_point == 1.0 and p.oxygen_dirichlet_all_boundary is True
    assert p.oxygen_dirichlet_bc_groups == [] and p.oxygen_dirichlet_face_ids == []
    p.oxygen_dirichlet_face_ids = [3, 4]
    assert p.oxygen_dirichlet_face_ids == [3, 4]
    assert curalis.Curalis(props(dt=0.25), 3).get_dt() == 0.25


def test_coupling_cures_where_light_was_absorbed_and_the_next_trace_bends_toward_it(block, capsys):
    engine, points, tmp_path = block
    q = engine.get_absorbed_power()
    lit = q > 0
    assert lit.any() and not lit.all()
    n = engine.get_node_count()

    # The reference: a beam beside the interface, traced in the uncured block.
    probe = write_beam(tmp_path / "probe.ry", [2.5], np.linspace(0.5, 3.5, 7), 4)

    def probe_centroid():
        engine.load_rays(probe)
        engine.reset_absorbed_power()
        engine.compute_volumetric_absorption()
        power = engine.get_absorbed_power()
        return float(power @ points[:, 0] / power.sum())

    model = curalis.Curalis(props(), n)
    model.initialize_accelerator(engine.get_mesh_ptr())
    model.reaction_step(*addresses(engine))
    cure = model.get_degree_of_curing()
    assert np.all(cure[lit] > 0) and np.all(cure[~lit] == 0)
    assert np.all(cure <= 1)
    index = engine.get_refractive_index()
    assert np.allclose(index, np.float32(N0 + cure * (N1 - N0)), atol=1e-6)
    assert np.all(np.isfinite(model.get_oxygen_concentration()))

    # Cure the left part through, then compare the probe beam with a fresh engine's.
    for _ in range(20):
        model.reaction_step(*addresses(engine))
    assert model.get_degree_of_curing()[points[:, 0] < 1.5].min() > 0.9
    cured = probe_centroid()

    fresh = lumetra.Lumetra()
    fresh.load_mesh(str(tmp_path / "block.vtk"))
    fresh.load_rays(probe)
    fresh.config()
    fresh.configure_outfilename(str(tmp_path / "fresh.vtu"))
    fresh.compute_volumetric_absorption()
    power = fresh.get_absorbed_power()
    uncured = float(power @ points[:, 0] / power.sum())
    assert uncured == pytest.approx(2.5, abs=0.05)
    assert cured < uncured - 0.1  # the light bends into the cured, higher-index part


def test_result_address_survives_reconfiguration_and_the_model_checks_node_counts(block, capsys):
    engine, points, tmp_path = block
    result = engine.get_result_array_device_ptr()
    engine.configure_outfilename(str(tmp_path / "other.vtu"))
    engine.set_solver_type("RK4")
    engine.config()
    engine.load_mesh(str(tmp_path / "block.vtk"))  # same node count
    assert engine.get_result_array_device_ptr() == result
    assert np.all(engine.get_absorbed_power() == 0)

    n = engine.get_node_count()
    model = curalis.Curalis(props(), n)
    model.initialize_accelerator(engine.get_mesh_ptr())
    small_points, small_cells = grid(2, 2, 2)
    write_vtk(
        tmp_path / "small.vtk",
        small_points,
        small_cells,
        refractive_index=np.full(27, N0),
        absorptivity=np.full(27, 0.3),
    )
    engine.load_mesh(str(tmp_path / "small.vtk"))
    with pytest.raises(RuntimeError, match=f"the model has {n} nodes but the mesh has 27"):
        model.reaction_step(*addresses(engine))
    with pytest.raises(RuntimeError, match=f"the model has {n} nodes but the mesh has 27"):
        model.initialize_accelerator(engine.get_mesh_ptr())
    with pytest.raises(RuntimeError, match=f"the model has {n} nodes but the mesh has 27"):
        exposa.Exposa(n0=1, n1=2, alpha0=0, alpha1=0, dose_full=1, dose_threshold=0, dt=1, n_nodes=n).reaction_step(
            *addresses(engine)
        )


def test_error_texts(block, capsys):
    engine, _, _ = block
    model = curalis.Curalis(props(), engine.get_node_count())
    result, link = addresses(engine)
    cases = [
        (lambda: model.initialize_accelerator(0), "mesh_ptr is null"),
        (lambda: model.reaction_step(0, link), "result_device_ptr is null"),  # before the accelerator check
        (lambda: model.reaction_step(result, 0), "mesh_devlink_ptr is null"),
        (
            lambda: model.reaction_step(result, link),
            "accelerator is not initialized; call initialize_accelerator(mesh_ptr) first",
        ),
    ]
    model_x = exposa.Exposa(n0=1, n1=2, alpha0=0, alpha1=0, dose_full=1, dose_threshold=0, dt=1, n_nodes=3)
    cases += [
        (lambda: model_x.reaction_step(0, link), "result_device_ptr is null"),
        (lambda: model_x.reaction_step(result, 0), "mesh_devlink_ptr is null"),
    ]
    for call, text in cases:
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == text
    with pytest.raises(ValueError, match="n_nodes must not be negative"):
        curalis.Curalis(props(), -1)
    with pytest.raises(ValueError, match="c_oxygen0 must not be negative"):
        curalis.Curalis(props(c_oxygen0=-0.1), 3)
    for full, threshold in ((2, 2), (1, 2)):
        with pytest.raises(ValueError, match=rf"dose_full \({full}\) must be greater than dose_threshold \(2\)"):
            exposa.Exposa(n0=1, n1=2, alpha0=0, alpha1=1, dose_full=full, dose_threshold=threshold, dt=1, n_nodes=3)
    with pytest.raises(ValueError, match="dose_full must be a finite number"):
        exposa.Exposa(n0=1, n1=2, alpha0=0, alpha1=1, dose_full=float("nan"), dose_threshold=2, dt=1, n_nodes=3)
    with pytest.raises(ValueError, match="n1 must be a finite number"):
        curalis.Curalis(props(n1=float("inf")), 3)
    with pytest.raises(TypeError):
        exposa.Exposa(1, 2, 0, 1, 2, 1, 1, 3)  # keyword arguments only


EXPOSA = dict(n0=N0, n1=N1, alpha0=0.3, alpha1=0.3, dose_full=1.0, dose_threshold=0.0, dt=1.0)


@pytest.mark.parametrize(
    "model, field, value, message",
    [
        ("Curalis", "dt", 0.0, "dt must be positive (got 0)"),
        ("Curalis", "dt", -0.5, "dt must be positive (got -0.5)"),
        ("Curalis", "kpropagation", -1.0, "kpropagation must not be negative (got -1)"),
        ("Curalis", "koxygen", np.nan, "koxygen must be a finite number"),
        ("Curalis", "diffusion_oxygen", -1e-4, "diffusion_oxygen must not be negative (got -0.0001)"),
        ("Curalis", "dirichlet_oxygen", -1.0, "dirichlet_oxygen must not be negative (got -1)"),
        ("Curalis", "c_radical0", -0.1, "c_radical0 must not be negative (got -0.1)"),
        ("Curalis", "n0", 0.0, "n0 must be positive (got 0)"),
        ("Curalis", "alpha1", -0.2, "alpha1 must not be negative (got -0.2)"),
        ("Curalis", "oxygen_gel_point", 1.5, "oxygen_gel_point must lie in [0, 1] (got 1.5): it is a degree of curing"),
        ("Curalis", "diffusion_bc_oxygen", 2, "diffusion_bc_oxygen must be 0 or 1 (got 2)"),
        ("Exposa", "dt", 0.0, "dt must be positive (got 0)"),
        ("Exposa", "dt", -1.0, "dt must be positive (got -1)"),
        ("Exposa", "n1", -1.5, "n1 must be positive (got -1.5)"),
        ("Exposa", "alpha0", -0.1, "alpha0 must not be negative (got -0.1)"),
        # The ends of each range are values a resin can have.
        ("Curalis", "oxygen_gel_point", 0.0, None),
        ("Curalis", "koxygen", 0.0, None),
        ("Curalis", "diffusion_bc", 1, None),
        ("Exposa", "alpha1", 0.0, None),
    ],
)
def test_values_without_physical_meaning_are_refused_when_the_model_is_created(model, field, value, message):
    def create():
        if model == "Curalis":
            return curalis.Curalis(props(**{field: value}), 3)
        return exposa.Exposa(**{**EXPOSA, field: value}, n_nodes=3)

    if message is None:
        assert create().get_degree_of_curing().shape == (3,)
        return
    with pytest.raises(ValueError) as info:
        create()
    assert str(info.value) == f"{model}: {message}"


def traced_block(tmp_path):
    """A fresh engine (no other reference to it) that has traced a beam into a 6 x 4 x 4 block."""
    points, cells = grid(6, 4, 4)
    engine = lumetra.Lumetra()
    engine.load_mesh_arrays(points, cells, np.full(len(points), N0), np.full(len(points), 0.3))
    engine.load_rays(write_beam(tmp_path / "beam.ry", np.linspace(0.1, 1.9, 6), np.linspace(0.1, 3.9, 8), 4))
    engine.config()
    engine.compute_volumetric_absorption()
    return engine


@pytest.mark.parametrize("kind", ["curalis", "exposa"])
def test_models_take_the_engine_itself_and_keep_it_alive(kind, tmp_path, capsys):
    def model_for(engine, by_engine):
        if kind == "exposa":
            return exposa.Exposa(**EXPOSA, n_nodes=engine.get_node_count())
        model = curalis.Curalis(props(), engine.get_node_count())
        model.initialize_accelerator(engine if by_engine else np.uint64(engine.get_mesh_ptr()))
        return model

    engine = traced_block(tmp_path)
    by_address, by_engine = model_for(engine, False), model_for(engine, True)
    by_address.reaction_step(*map(np.uint64, addresses(engine)))  # addresses as NumPy keeps them, too
    by_engine.reaction_step(engine)
    cure = by_engine.get_degree_of_curing()
    assert cure.max() > 0 and np.array_equal(cure, by_address.get_degree_of_curing())
    with pytest.raises(TypeError, match=r"engine: lumetra.Lumetra"):
        by_engine.reaction_step(engine.get_mesh_ptr())

    # The script lets go of the engine: the model still steps on live memory, and releases
    # the engine with itself.
    watch = weakref.ref(engine)
    del engine, by_address
    gc.collect()
    assert watch() is not None
    by_engine.reaction_step(*addresses(watch()))
    assert np.array_equal(by_engine.get_degree_of_curing() > 0, cure > 0)
    del by_engine
    gc.collect()
    assert watch() is None


def test_oxygen_above_saturation_never_puts_nan_into_the_mesh(block, capsys):
    engine, _, _ = block
    model = curalis.Curalis(props(c_oxygen0=1.5, diffusion_oxygen=0.05), engine.get_node_count())
    model.initialize_accelerator(engine.get_mesh_ptr())
    model.reaction_step(*addresses(engine))
    assert np.all(np.isfinite(engine.get_refractive_index())) and np.all(np.isfinite(engine.get_absorptivity()))
    assert np.all(model.get_degree_of_curing() == 0)  # saturated with oxygen: inhibited, not cured


def oxygen_after_step(engine, **values):
    """Oxygen after one unlit step without diffusion: the oxygen boundary value (0.25) on the
    nodes of the oxygen mask, the initial 0.5 elsewhere (no oxygen consumption); and where
    the resin cured, which only a radical boundary value can drive."""
    engine.reset_absorbed_power()
    model = curalis.Curalis(
        props(koxygen=0.0, c_oxygen0=0.5, dirichlet_oxygen=0.25, dirichlet_radical=50.0, **values),
        engine.get_node_count(),
    )
    model.initialize_accelerator(engine.get_mesh_ptr())
    model.reaction_step(*addresses(engine))
    oxygen = model.get_oxygen_concentration()
    assert set(np.unique(oxygen)) <= {0.25, 0.5}
    return oxygen == 0.25, model.get_degree_of_curing() > 0


def test_node_masks_for_face_ids_condition_groups_and_the_fallback(block, capsys):
    engine, points, _ = block
    lo, hi = points.min(axis=0), points.max(axis=0)
    boundary = np.any((points == lo) | (points == hi), axis=1)
    top_nodes = points[:, 2] == hi[2]
    bottom_nodes = points[:, 2] == lo[2]
    top = engine.select_boundary_faces_bbox(lo[0], hi[0], lo[1], hi[1], hi[2], hi[2])
    bottom = engine.select_boundary_faces_bbox(lo[0], hi[0], lo[1], hi[1], lo[2], lo[2])
    conditions = []
    for faces in (bottom, top):
        bc = lumetra.OpticalBoundaryCondition()
        bc.faces = faces
        conditions.append(bc)
    engine.set_boundary_conditions(conditions)

    masked, cured = oxygen_after_step(engine, diffusion_bc_oxygen=1)
    assert np.array_equal(masked, boundary) and not cured.any()  # every boundary node, radicals free
    masked, _ = oxygen_after_step(engine, diffusion_bc_oxygen=1, oxygen_dirichlet_face_ids=top)
    assert np.array_equal(masked, top_nodes)
    masked, _ = oxygen_after_step(engine, diffusion_bc_oxygen=1, oxygen_dirichlet_bc_groups=[0])
    assert np.array_equal(masked, bottom_nodes)
    masked, _ = oxygen_after_step(engine, diffusion_bc_oxygen=1, oxygen_dirichlet_face_ids=[top[0], -1])
    assert np.array_equal(masked, boundary)
    # The general switch turns on both species' conditions, unless a species names its own.
    masked, cured = oxygen_after_step(engine, diffusion_bc=1, oxygen_dirichlet_bc_groups=[1])
    assert np.array_equal(masked, top_nodes) and np.array_equal(cured, boundary)
    masked, cured = oxygen_after_step(engine, diffusion_bc=1, diffusion_bc_oxygen=1)
    assert np.array_equal(masked, boundary) and not cured.any()
    masked, cured = oxygen_after_step(engine)
    assert not masked.any() and not cured.any()


def test_a_boundary_value_enters_an_empty_resin_by_its_gaussian_share(block, capsys):
    """Oxygen held at 1 on the boundary of a block that holds none (a degassed resin): after
    one step each interior node within the cut-off holds the Gaussian-weighted share of the
    boundary nodes among its neighbours, since zeros weigh like any other value; it used to
    take the full boundary value."""
    engine, points, _ = block
    engine.reset_absorbed_power()
    d = 1.5**2 / (4 * np.log(1000.0))  # cut-off radius 1.5 node spacings
    model = curalis.Curalis(
        props(c_oxygen0=0.0, diffusion_oxygen=d, diffusion_bc_oxygen=1, dirichlet_oxygen=1.0), engine.get_node_count()
    )
    model.initialize_accelerator(engine.get_mesh_ptr())
    model.reaction_step(*addresses(engine))
    oxygen = model.get_oxygen_concentration()
    lo, hi = points.min(axis=0), points.max(axis=0)
    boundary = np.any((points == lo) | (points == hi), axis=1)
    w = np.exp(-((points[:, None, :] - points[None, :, :]) ** 2).sum(axis=2) / (4 * d))
    w[w < 1e-3] = 0.0
    share = (w @ boundary) / w.sum(axis=1)
    inner = ~boundary
    assert np.all(oxygen[boundary] == 1.0)
    assert np.allclose(oxygen[inner], share[inner], rtol=1e-12, atol=0.0)
    assert 0.0 < oxygen[inner].max() < 0.7 and np.any(oxygen[inner] == 0.0)  # the centre is out of reach


def test_exposa_threshold_full_and_halfway_doses(block, capsys):
    engine, _, _ = block
    q = engine.get_absorbed_power()
    n = engine.get_node_count()
    k = int(np.argmax(q))
    dark = q == 0
    cases = {"threshold": (q[k], 2 * q[k], 0.0), "full": (0.0, q[k], 1.0), "halfway": (0.0, 2 * q[k], 0.5)}
    for name, (threshold, full, expected) in cases.items():
        model = exposa.Exposa(
            n0=1.5, n1=1.6, alpha0=0.4, alpha1=0.2, dose_full=full, dose_threshold=threshold, dt=1.0, n_nodes=n
        )
        model.reaction_step(*addresses(engine))
        cure = model.get_degree_of_curing()
        assert cure[k] == pytest.approx(expected, abs=1e-12), name
        assert np.all(cure[dark] == 0) and np.all(model.get_dose()[dark] == 0)
        assert engine.get_refractive_index()[k] == pytest.approx(1.5 + 0.1 * expected, abs=1e-6)
        assert engine.get_absorptivity()[k] == pytest.approx(0.4 - 0.2 * expected, abs=1e-6)
    model.reaction_step(*addresses(engine))
    assert np.allclose(model.get_dose(), 2 * q)
    assert np.all(np.diff(np.sort(model.get_degree_of_curing())) >= 0)


def test_models_release_everything_they_hold(block, capsys):
    engine, _, _ = block
    n = engine.get_node_count()

    def resident_mb():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * 4096 / 2**20

    curalis.Curalis(props(), 20000)
    before = resident_mb()
    for i in range(1000):
        curalis.Curalis(props(), 20000)  # 1 MB of node arrays each
        exposa.Exposa(n0=1, n1=2, alpha0=0, alpha1=1, dose_full=1, dose_threshold=0, dt=1, n_nodes=20000)
        if i % 10 == 0:
            model = curalis.Curalis(props(diffusion_oxygen=0.1), n)
            model.initialize_accelerator(engine.get_mesh_ptr())
            model.reaction_step(*addresses(engine))
            del model
    capsys.readouterr()
    assert resident_mb() - before < 50


def test_one_thread_count_for_every_module():
    result = run_python(
        """
        import lumetra
        lumetra.set_num_threads(1)
        import curalis, exposa   # imported later: they start from the count in force
        counts = lambda: (lumetra.get_num_threads(), curalis.get_num_threads(), exposa.get_num_threads())
        assert counts() == (1, 1, 1), counts()
        lumetra.set_num_threads(3)
        assert counts() == (3, 3, 3), counts()
        curalis.set_num_threads(2)
        assert counts() == (2, 2, 2), counts()
        try:
            lumetra.set_num_threads(0)
        except ValueError:
            pass
        assert counts() == (2, 2, 2), counts()
        print("ok")
    """,
        backend="cpu",
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip().endswith("ok")
    result = run_python(
        "import lumetra, curalis, exposa; print(curalis.get_num_threads(), exposa.get_num_threads())",
        backend="cpu",
        OMP_NUM_THREADS="1",
    )
    assert result.stdout.split()[-2:] == ["1", "1"], result.stderr
