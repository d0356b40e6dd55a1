"""The Lumetra engine as a script drives it: call order, lazy defaults, messages, arrays."""

import math
import os

import numpy as np
import pytest

from meshes import grid, write_vtk

FIRST_COMPUTE = (
    "Warning: solver type not configured using default solver (Forward Euler)\n"
    "Warning: FERT not initialized yet!\n"
    "         -> initializing with default settings\n"
    "Warning: SRT not initialized yet!\n"
    "         -> initializing with default settings\n"
)


@pytest.fixture
def files(tmp_path):
    points, cells = grid(2, 2, 3)
    write_vtk(
        tmp_path / "slab.vtk",
        points,
        cells,
        refractive_index=np.full(len(points), 1.0),
        absorptivity=np.full(len(points), 0.5),
    )
    xy = [(x, y) for x in (0.3, 0.9, 1.5) for y in (0.4, 1.2)]
    lines = [str(len(xy))] + [f"{x} {y} 5 0 0 -1 {1 / len(xy)}" for x, y in xy]
    (tmp_path / "beam.ry").write_text("\n".join(lines) + "\n")
    return str(tmp_path / "slab.vtk"), str(tmp_path / "beam.ry")


@pytest.fixture
def engine():
    import lumetra

    return lumetra.Lumetra()


def test_class_and_module_surface():
    import lumetra

    names = {n for n in dir(lumetra.Lumetra) if not n.startswith("_")}
    assert {"config", "set_solver_type", "load_mesh", "load_mesh_arrays", "set_constant_matprops"} <= names


def test_fresh_engine_refuses_politely(engine, capsys):
    engine.compute_volumetric_absorption()
    assert capsys.readouterr().out == (
        "Error: mesh not loaded yet!\nAborting: Can not solve optics before proper initialization.\n"
    )
    assert engine.get_mesh_ptr() == 0 and engine.get_mesh_data_devlink_ptr() == 0
    assert engine.get_result_array_device_ptr() == 0
    assert engine.get_ray_count() == 0 and engine.get_node_count() == 0
    assert engine.get_absorbed_power().shape == (0,) and engine.get_ray_payloads().shape == (0,)
    engine.reset_absorbed_power()
    engine.rotate_reset_rays([0, 0, 1], 0.5)
    engine.write_result_append(np.zeros(3))
    assert engine.select_boundary_faces_bbox(0, 1, 0, 1, 0, 1) == []
    out = capsys.readouterr().out
    assert out == (
        "Error: mesh not loaded yet!\n" * 2
        + "Error: FERT not initialized yet!\n" * 2
        + "Error: rays not loaded yet!\n"
        + "Error: FERT not initialized yet!\n"
        + "Error: rays not loaded yet!\n"
        + "Error: mesh not loaded yet!\nAborting: Can not create output file before proper initialization.\n"
        + "Error: mesh not loaded yet!\n"
    )


def test_first_compute_completes_the_configuration_with_defaults(engine, files, capsys, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    mesh, rays = files
    engine.load_mesh(mesh)
    engine.load_rays(rays)
    capsys.readouterr()
    engine.compute_volumetric_absorption()
    captured = capsys.readouterr()
    assert captured.out.startswith(FIRST_COMPUTE)
    assert "Warning: objective not configured yet!\n         -> using default outfilename out.vtu\n" in captured.out
    assert (
        captured.err
        == "Warning: Solver type not configured before FERt initialization, using default setting (FORWARD EULER).\n"
    )
    q = engine.get_absorbed_power()
    assert q.shape == (engine.get_node_count(),) and q.sum() > 0
    engine.write_result()
    assert os.path.exists("out_0.vtu")
    engine.compute_volumetric_absorption()
    assert np.allclose(engine.get_absorbed_power(), 2 * q)
    engine.reset_absorbed_power()
    engine.compute_volumetric_absorption()
    assert np.allclose(engine.get_absorbed_power(), q)


def test_solver_type_messages(engine, capsys):
    engine.set_solver_type("RK4")
    with pytest.raises(ValueError, match="unknown solver 'fe'"):
        engine.set_solver_type("fe")
    engine.set_solver_type("FE")
    assert capsys.readouterr().out == (
        "Solver is configured as 4th order Runge-Kutta\n"
        "Solver type not recognized: 'fe'; the solver stays 4th order Runge-Kutta\n"
        "Solver is configured as forward euler\n"
    )


def test_config_before_mesh_and_pointer_getters(engine, files, capsys):
    mesh, rays = files
    engine.set_solver_type("RK4")
    engine.config()
    assert capsys.readouterr().err == "Error: Mesh must be loaded before SRT initialization.\n"
    assert engine.get_result_array_device_ptr() == 0
    assert capsys.readouterr().out == "Error: FERT result array pointer is null. Configure objective first.\n"
    engine.configure_outfilename("x.vtu")
    assert capsys.readouterr().err == (
        "Error: FERT must be initialized and mesh must be loaded before configuring output file name in objective.\n"
    )
    engine.load_mesh(mesh)
    engine.configure_outfilename("x.vtu")
    assert engine.get_result_array_device_ptr() != 0
    assert engine.get_mesh_data_devlink_ptr() - engine.get_mesh_ptr() == 8


def test_reconfiguring_keeps_the_output_name_and_counter(engine, files, capsys, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    mesh, rays = files
    engine.load_mesh(mesh)
    engine.load_rays(rays)
    engine.set_solver_type("FE")
    engine.config()
    engine.configure_outfilename("run.vtu")
    engine.compute_volumetric_absorption()
    engine.write_result()
    engine.config()  # a new tracer
    assert np.all(engine.get_absorbed_power() == 0)
    engine.compute_volumetric_absorption()
    engine.write_result()
    assert os.path.exists("run_0.vtu") and os.path.exists("run_1.vtu")


def test_loading_another_mesh_resizes_the_result(engine, files, capsys, tmp_path):
    mesh, rays = files
    engine.load_mesh(mesh)
    engine.load_rays(rays)
    engine.config()
    engine.configure_outfilename(str(tmp_path / "r.vtu"))
    points, cells = grid(3, 3, 3)
    write_vtk(
        tmp_path / "bigger.vtk",
        points,
        cells,
        refractive_index=np.ones(len(points)),
        absorptivity=np.full(len(points), 0.5),
    )
    engine.load_mesh(str(tmp_path / "bigger.vtk"))
    engine.compute_volumetric_absorption()
    q = engine.get_absorbed_power()
    assert q.shape == (64,) and q.sum() > 0


def test_unreadable_files_leave_the_engine_as_it_was(engine, files, capsys, tmp_path):
    mesh, rays = files
    engine.load_mesh(mesh)
    engine.load_rays(rays)
    n, r = engine.get_node_count(), engine.get_ray_count()
    with pytest.raises(RuntimeError, match=f"^Mesh file {tmp_path / 'missing.vtk'}: no such file$"):
        engine.load_mesh(str(tmp_path / "missing.vtk"))
    (tmp_path / "short.ry").write_text("5\n0 0 0 0 0 1 1\n")
    with pytest.raises(RuntimeError, match="read 1 complete rays of the 5 declared"):
        engine.load_rays(str(tmp_path / "short.ry"))
    assert (engine.get_node_count(), engine.get_ray_count()) == (n, r)
    capsys.readouterr()
    engine.compute_volumetric_absorption()
    assert engine.get_absorbed_power().sum() > 0


def test_array_setters_check_shapes(engine, files, capsys):
    mesh, rays = files
    engine.load_mesh(mesh)
    engine.load_rays(rays)
    n = engine.get_node_count()
    with pytest.raises(RuntimeError, match="^Input must be a 1-D array$"):
        engine.set_absorptivity(np.zeros((n, 1)))
    with pytest.raises(RuntimeError, match="^Array size must match node count$"):
        engine.set_refractive_index(np.ones(n + 1))
    engine.set_absorptivity([1] * n)  # a list of ints is converted
    assert np.all(engine.get_absorptivity() == 1.0)
    with pytest.raises(RuntimeError, match=r"^Input must be a \(nNodes, 3\) array$"):
        engine.set_node_positions(np.zeros((n, 2)))
    with pytest.raises(RuntimeError, match="^Array size must match node count$"):
        engine.set_node_positions(np.zeros((n + 1, 3)))
    p = engine.get_node_positions() + 0.1
    engine.set_node_positions(p)
    assert np.allclose(engine.get_node_positions(), p.astype(np.float32))
    with pytest.raises(RuntimeError, match=r"^Axis must be a 3-element array \[x, y, z\]$"):
        engine.rotate_reset_rays([0, 0, 1, 0], 1.0)
    with pytest.raises(RuntimeError, match="^Array size must match ray count$"):
        engine.set_ray_payloads(np.ones(engine.get_ray_count() + 1))
    engine.set_ray_payloads(np.full(engine.get_ray_count(), 2.0))
    assert np.all(engine.get_ray_payloads() == 2.0)
    engine.set_constant_matprops(1.33, 0.25)
    assert np.allclose(engine.get_refractive_index(), 1.33) and np.allclose(engine.get_absorptivity(), 0.25)


def test_write_result_append_shapes_and_names(engine, files, capsys, tmp_path):
    meshio = pytest.importorskip("meshio")
    mesh, rays = files
    engine.load_mesh(mesh)
    engine.load_rays(rays)
    engine.config()
    engine.configure_outfilename(str(tmp_path / "a.vtu"))
    n = engine.get_node_count()
    engine.write_result_append(np.arange(2.0 * n))
    engine.write_result_append(np.ones((1, n)))
    engine.write_result_append(np.stack([np.ones(n), np.zeros(n)]), field_names=["Temperature", "Conversion"])
    for fields, names, message in [
        (np.ones(2 * n), ["a"], "field_names length must match number of fields"),
        (np.ones(2 * n), ["a", ""], "field_names entries must be non-empty"),
        (np.ones((1, 1, n)), None, "Input must be a 1D or 2D array"),
        (np.ones(n + 1), None, "1D array size must be a multiple of node count"),
        (np.ones((2, n + 1)), None, "Second dimension must match node count"),
    ]:
        with pytest.raises(RuntimeError, match=f"^{message}$"):
            engine.write_result_append(fields, field_names=names)
    data = [meshio.read(tmp_path / f"a_{i}.vtu").point_data for i in range(3)]
    assert list(data[0])[2:4] == ["Field_0", "Field_1"] and np.array_equal(data[0]["Field_1"], np.arange(n, 2.0 * n))
    assert list(data[1])[2] == "Field"
    assert list(data[2])[2:4] == ["Temperature", "Conversion"]


def test_boundary_conditions_through_the_engine(engine, files, capsys, tmp_path):
    import lumetra

    mesh, rays = files
    bc = lumetra.OpticalBoundaryCondition()
    engine.set_boundary_conditions([bc])
    assert capsys.readouterr().out == "Error: mesh not loaded yet!\n"
    engine.load_mesh(mesh)
    engine.load_rays(rays)
    top = engine.select_boundary_faces_bbox(0, 2, 0, 2, 3, 3)
    assert len(top) == 4
    assert engine.select_boundary_faces_radial(0, 100) == list(range(32))
    bc.faces = top
    bc.refractive_index_real = 1.0
    engine.set_constant_matprops(1.5, 0.5)
    engine.set_boundary_conditions([bc])
    bc.faces = []  # the engine holds a copy
    assert engine.get_boundary_condition_count() == 1
    engine.write_boundary_condition_groups_vtu(str(tmp_path / "bc.vtu"), include_unassigned_faces=False)
    engine.write_boundary_face_groups_vtu(str(tmp_path / "g.vtu"), [top])
    assert (tmp_path / "bc.vtu").exists() and (tmp_path / "g.vtu").exists()
    engine.compute_volumetric_absorption()
    capsys.readouterr()
    total = float(engine.get_absorbed_power() @ nodal_volumes(mesh))
    assert total == pytest.approx(0.96 * (1 - math.exp(-1.5)), rel=2e-2)
    engine.clear_boundary_conditions()
    assert engine.get_boundary_condition_count() == 0


def nodal_volumes(path):
    """Lumped nodal volumes of the mesh in `path`, read by the internal mesh reader."""
    from lumetra import _testing

    return _testing.read_vtk(path).nodal_mass()[0]


def test_rays_are_placed_again_from_where_they_started(engine, files, capsys, tmp_path):
    mesh, rays = files
    engine.load_mesh(mesh)
    engine.load_rays(rays)
    engine.compute_volumetric_absorption()
    once = engine.get_absorbed_power().copy()
    # Changing the conditions (or reloading the mesh) makes the engine place the rays anew.
    engine.clear_boundary_conditions()
    engine.compute_volumetric_absorption()
    assert np.allclose(engine.get_absorbed_power(), 2 * once, rtol=1e-6)
    engine.load_mesh(mesh)  # same mesh: the result starts from zero
    assert np.all(engine.get_absorbed_power() == 0)
    engine.compute_volumetric_absorption()
    assert np.allclose(engine.get_absorbed_power(), once, rtol=1e-6)
    with pytest.raises(ValueError, match="axis has zero length"):
        engine.rotate_reset_rays([0, 0, 0], 1.0)
