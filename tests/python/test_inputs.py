"""Bad physical input is refused where it enters, naming the item, and the engine keeps
tracing exactly as before: one table per family (mesh files, ray files, arguments)."""

import contextlib
import io

import numpy as np
import pytest

from meshes import traced_slab, write_vtk


@pytest.fixture
def ready(tmp_path):
    """An engine that has traced once, and the power it absorbed."""
    return traced_slab(tmp_path)


def traces_as_before(engine, before):
    with contextlib.redirect_stdout(io.StringIO()):
        engine.reset_absorbed_power()
        engine.compute_volumetric_absorption()
    np.testing.assert_allclose(engine.get_absorbed_power(), before, rtol=1e-6)


@pytest.mark.parametrize(
    "field,value,message",
    [
        ("points", np.nan, "a coordinate of node 3 is not a finite number"),
        ("refractive_index", 0.0, "the refractive index of node 3 is 0; it must be > 0"),
        ("refractive_index", np.inf, "the refractive index of node 3 is not a finite number"),
        ("absorptivity", -0.1, "the absorptivity of node 3 is -0.1; it must be >= 0"),
    ],
)
def test_mesh_files(ready, tmp_path, field, value, message):
    engine, before, points, cells = ready
    fields = {
        "points": points.astype(float),
        "refractive_index": np.full(len(points), 1.2),
        "absorptivity": np.full(len(points), 0.5),
    }
    fields[field][3] = value
    path = tmp_path / "bad.vtk"
    write_vtk(
        path, fields["points"], cells, refractive_index=fields["refractive_index"], absorptivity=fields["absorptivity"]
    )
    with pytest.raises(RuntimeError, match=message):
        engine.load_mesh(str(path))
    traces_as_before(engine, before)


@pytest.mark.parametrize(
    "text,message",
    [
        (None, "Failed to open file .*missing.ry: No such file or directory"),
        ("", "no ray count line"),
        ("# rays\n\n", "no ray count line"),
        ("rays\n", "the ray count rays is not a valid count"),
        ("1e2\n" + "0 0 5 0 0 -1 1\n" * 100, "the ray count 1e2 is not a valid count"),
        ("0x10\n", "the ray count 0x10 is not a valid count"),
        ("1\n0 0 5 0 0 0 1\n", "ray 0 has a zero direction"),
        ("1\n0 0 5 0 0 -1 -1\n", "ray 0 has a negative power"),
        ("1\n0 0 5 0 nan -1 1\n", "ray 0 holds a number that is not finite"),
    ],
)
def test_ray_files(ready, tmp_path, text, message):
    engine, before, _, _ = ready
    path = tmp_path / "missing.ry"
    if text is not None:
        path = tmp_path / "bad.ry"
        path.write_text(text)
    with pytest.raises(RuntimeError, match=message):
        engine.load_rays(str(path))
    assert engine.get_ray_count() == 2
    traces_as_before(engine, before)


def bc(**fields):
    import lumetra

    condition = lumetra.OpticalBoundaryCondition()
    condition.faces = [0, 1]
    for name, value in fields.items():
        setattr(condition, name, value)
    return condition


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda e, n: e.set_constant_matprops(0.0, 0.1), "refractive_index: item 0 is 0"),
        (lambda e, n: e.set_constant_matprops(1.5, -1.0), "absorptivity: item 0 is -1"),
        (lambda e, n: e.set_refractive_index(np.r_[np.ones(n - 1), np.nan]), "refractive index: item {n1} is nan"),
        (lambda e, n: e.set_absorptivity(np.r_[-1.0, np.zeros(n - 1)]), "absorptivity: item 0 is -1"),
        (lambda e, n: e.set_node_positions(np.full((n, 3), np.inf)), "node positions: item 0 is inf"),
        (lambda e, n: e.set_ray_payloads([1.0, -0.5]), "ray payloads: item 1 is -0.5"),
        (
            lambda e, n: e.set_boundary_conditions([bc(), bc(refractive_index_real=0.0)]),
            "boundary condition 1: refractive_index_real must be a finite number > 0",
        ),
        (
            lambda e, n: e.set_boundary_conditions([bc(roughness=-0.1)]),
            "boundary condition 0: roughness must be a finite number >= 0",
        ),
        (
            lambda e, n: e.set_boundary_conditions([bc(refractive_index_imag=np.nan)]),
            "boundary condition 0: refractive_index_imag must be a finite number",
        ),
        (lambda e, n: e.set_solver_type("rk4"), "unknown solver 'rk4'"),
        (lambda e, n: e.rotate_reset_rays([0, 0, 0], 0.5), "axis has zero length"),
        (lambda e, n: e.rotate_reset_rays([0, 0, np.nan], 0.5), "axis: item 2 is nan"),
        (lambda e, n: e.rotate_reset_rays([0, 0, 1], np.inf), "angle: item 0 is inf"),
    ],
)
def test_arguments(ready, call, message):
    engine, before, _, _ = ready
    n = engine.get_node_count()
    with (
        pytest.raises(ValueError, match=message.replace("{n1}", str(n - 1))),
        contextlib.redirect_stdout(io.StringIO()),
    ):
        call(engine, n)
    traces_as_before(engine, before)


def huge_points(n):
    """n nodes that take no memory: one row, broadcast."""
    return np.broadcast_to(np.zeros(3), (n, 3))


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: lumetra_engine().load_mesh_arrays(huge_points(2**31 - 1), np.zeros((1, 8), int)),
            r"load_mesh_arrays: points: 2147483647 nodes would need at least \d+ GiB; the engine holds at most 715827882 "
            "nodes",
        ),
        (
            lambda: lumetra_engine().load_mesh_arrays(huge_points(50_000_000), np.zeros((1, 8), int)),
            r"load_mesh_arrays: a mesh of 50000000 nodes and 1 elements would need at least [\d.]+ GiB, more than the 1 GiB "
            "of memory available",
        ),
        (
            lambda: meshes().vial(n_core=100_000),
            r"vial\(n_core=100000, n_radial=4, n_z=8\): 90016200009 nodes would need at least [\d.]+ GiB; the engine "
            "holds at most 715827882 nodes",
        ),
        (
            lambda: meshes().box(1000, 1000, 300),
            r"box\(1000, 1000, 300\): 300000000 elements would need at least [\d.]+ GiB; the engine holds at most "
            "268435455 elements",
        ),
        (
            lambda: meshes().box(300, 300, 300),
            r"box\(300, 300, 300\): 27270901 nodes and 27000000 elements would need at least 2.22 GiB, more than the 1 GiB",
        ),
        (
            lambda: beam(rays_across=10**9, rays_high=12),
            r"light.rays_across x light.rays_high = 1000000000 x 12: 12000000000 rays would need at least [\d.]+ GiB; the "
            "engine holds at most 715827882 rays",
        ),
        (
            lambda: beam(rays_across=10_000, rays_high=2_000),
            r"light.rays_across x light.rays_high = 10000 x 2000 rays would need at least 1.79 GiB, more than the 1 GiB",
        ),
        (
            lambda: curing_model(2**40),
            r"Curalis: n_nodes: 1099511627776 nodes would need at least [\d.]+ GiB; the engine holds at most 715827882",
        ),
    ],
)
def test_sizes_that_cannot_fit_are_refused_before_anything_is_allocated(monkeypatch, call, message):
    """Each case would otherwise ask for tens of GiB or more: numpy or the engine would fail
    with a bare message, or Linux would end the process when the memory is touched."""
    from lumetra import _sizes

    monkeypatch.setattr(_sizes, "available_memory", lambda: 2**30)  # the same on every machine
    with pytest.raises(MemoryError, match=message), contextlib.redirect_stdout(io.StringIO()):
        call()


def lumetra_engine():
    import lumetra

    return lumetra.Lumetra()


def meshes():
    from lumetra import meshes

    return meshes


def beam(**light):
    from lumetra import runner, scenario

    return runner.beam_rays({**scenario.default()["light"], **light})


def curing_model(nodes):
    import curalis

    return curalis.Curalis(curalis.CuralisProps(), nodes)


def test_thread_count_bound():
    import lumetra

    before = lumetra.get_num_threads()
    with pytest.raises(ValueError, match="thread count must be between 1 and"):
        lumetra.set_num_threads(100_000)
    with pytest.raises(ValueError):
        lumetra.set_num_threads(0)
    assert lumetra.get_num_threads() == before
    lumetra.set_num_threads(1)
    lumetra.set_num_threads(before)


def test_outputs(ready, tmp_path):
    """Files that cannot be written raise after the engine's message and take no number;
    names from scripts are escaped; paths may be pathlib.Path."""
    import xml.etree.ElementTree as ET

    engine, before, _, _ = ready
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        engine.configure_outfilename(tmp_path / "missing" / "run")
        with pytest.raises(RuntimeError, match="cannot write .*run_0.vtu: No such file"):
            engine.write_result()
        with pytest.raises(RuntimeError, match="cannot write .*groups.vtu"):
            engine.write_boundary_face_groups_vtu(tmp_path / "missing" / "groups.vtu", [[0, 1]])
        engine.configure_outfilename(tmp_path / "run")
        engine.write_result_append(np.zeros((1, engine.get_node_count())), ['a<b & "c"'])
        engine.write_boundary_condition_groups_vtu(tmp_path / "bc.vtu", True)
    assert f"Error: Cannot open file {tmp_path / 'missing' / 'run_0.vtu'} for writing\n" in out.getvalue()
    names = [a.get("Name") for a in ET.parse(tmp_path / "run_0.vtu").iter("DataArray")]
    assert 'a<b & "c"' in names
    ET.parse(tmp_path / "bc.vtu")
    traces_as_before(engine, before)
    with contextlib.redirect_stdout(io.StringIO()):
        engine.load_rays(tmp_path / "beam.ry")
        engine.load_mesh(tmp_path / "slab.vtk")
    traces_as_before(engine, before)


def test_mesh_defects_are_reported_and_mergeable(capsys):
    """A 4x4x4 block written with separate nodes per element loads as 64 unconnected cells;
    the load says so, and merge_nodes gives the connected block back."""
    import lumetra
    from lumetra import meshes

    block = meshes.box(4, 4, 4, absorptivity=0.3)
    split_points = block.points[block.hexahedra].reshape(-1, 3)
    split = meshes.HexMesh(
        split_points, np.arange(len(split_points)).reshape(-1, 8), None, np.full(len(split_points), 0.3)
    )
    doubled = meshes.HexMesh(block.points, np.vstack([block.hexahedra, block.hexahedra[:3]]), None, block.absorptivity)
    engine = lumetra.Lumetra()
    engine.load_mesh_arrays(*split)
    out = capsys.readouterr().out
    assert "Warning: 387 nodes lie exactly on another node without being shared" in out
    assert "Mesh connectivity: 384 boundary faces" in out
    engine.load_mesh_arrays(*meshes.merge_nodes(split))
    out = capsys.readouterr().out
    assert "lie exactly" not in out and "Mesh connectivity: 96 boundary faces" in out
    assert engine.get_node_count() == len(block.points)
    engine.load_mesh_arrays(*doubled)
    assert "Warning: 3 hexahedra repeat another one's nodes" in capsys.readouterr().out
