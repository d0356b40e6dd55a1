"""Meshes from the tools users have (files of every layout meshio and VTK write, arrays,
the generators), and what a script reads back after a trace: nodal volumes, where the rays
ended, and a power balance that closes."""

import math

import numpy as np
import pytest

import lumetra
from lumetra import meshes
from meshes import rays_at

meshio = pytest.importorskip("meshio")

MIRROR_Z = [4, 5, 6, 7, 0, 1, 2, 3]  # the faces zeta = -1 and +1 swapped
MIRROR_X = [1, 0, 3, 2, 5, 4, 7, 6]  # the faces xi = -1 and +1 swapped


def write_rays(path, start, direction, power):
    """A .ry file; start and direction (3, n)."""
    lines = [str(start.shape[1])] + [
        " ".join(f"{v:.9g}" for v in (*start[:, i], *direction[:, i], power[i])) for i in range(start.shape[1])
    ]
    path.write_text("\n".join(lines) + "\n")
    return str(path)


def engine_with(mesh_source, rays, conditions=()):
    """An engine with the mesh (a path or a HexMesh), the rays file and the conditions,
    each condition given as (interaction, outside index, faces)."""
    engine = lumetra.Lumetra()
    if isinstance(mesh_source, meshes.HexMesh):
        engine.load_mesh_arrays(*mesh_source)
    else:
        engine.load_mesh(str(mesh_source))
    engine.load_rays(rays)
    records = []
    for interaction, index, faces in conditions:
        bc = lumetra.OpticalBoundaryCondition()
        bc.interaction_type, bc.refractive_index_real, bc.faces = interaction, index, faces
        records.append(bc)
    engine.set_boundary_conditions(records)
    engine.set_solver_type("RK4")
    engine.config()
    engine.configure_outfilename("unused.vtu")
    return engine


def boundary_faces(engine, tmp_path):
    engine.write_boundary_face_groups_vtu(str(tmp_path / "faces.vtu"), [])
    quads = meshio.read(tmp_path / "faces.vtu").cells_dict["quad"]
    return {tuple(sorted(q)) for q in quads.tolist()}


def assert_balance_closes(engine):
    s = engine.get_trace_summary()
    payload = engine.get_ray_payloads()
    assert s["rays_missed"] + s["rays_refused"] + s["rays_entered"] == len(payload)
    assert s["power_missed"] + s["power_incident"] == pytest.approx(payload.sum(), rel=1e-6)
    assert s["power_entered"] == pytest.approx(s["power_absorbed"] + s["power_left"] + s["power_stopped"], rel=1e-5)
    # What the kernel counts as absorbed is what the objective deposited at the nodes.
    deposited = (engine.get_absorbed_power() * engine.get_nodal_volumes()).sum()
    assert deposited == pytest.approx(s["power_absorbed"], rel=1e-4)
    faces = engine.get_ray_start_faces()
    assert (faces < 0).sum() == s["rays_missed"]
    missed = faces < 0
    assert np.allclose(engine.get_ray_exit_power()[missed], payload[missed], rtol=1e-6)
    assert np.allclose(np.linalg.norm(engine.get_ray_exit_directions(), axis=1), 1.0, atol=1e-5)
    return s


@pytest.fixture
def slab():
    """A box of 2 x 2 x 4 elements with an index and absorptivity that vary, exact in float."""
    return meshes.box(
        2,
        2,
        4,
        size=(1.0, 1.0, 2.0),
        refractive_index=lambda x, y, z: 1.4 + 0.05 * z,
        absorptivity=lambda x, y, z: 0.5 + 0.25 * x,
    )


@pytest.fixture
def slab_rays(slab, tmp_path):
    start, direction = rays_at(slab.points, 300, seed=7)
    return write_rays(tmp_path / "r.ry", start, direction, np.full(300, 1 / 300))


def test_every_layout_gives_the_same_mesh_and_the_same_power(slab, slab_rays, tmp_path, capsys):
    m = meshes.to_meshio(slab)
    files = {
        "legacy ascii 4.2 (native)": ("a.vtk", lambda p: meshes.write(p, slab)),
        "legacy binary 4.2": ("b.vtk", lambda p: meshio.vtk.write(p, m, fmt_version="4.2", binary=True)),
        "legacy ascii 5.1": ("c.vtk", lambda p: meshio.vtk.write(p, m, binary=False)),
        "legacy binary 5.1": ("d.vtk", lambda p: meshio.vtk.write(p, m, binary=True)),
        "vtu ascii": ("e.vtu", lambda p: meshio.vtu.write(p, m, binary=False)),
        "vtu base64": ("f.vtu", lambda p: meshio.vtu.write(p, m, binary=True, compression=None)),
        "vtu zlib": ("g.vtu", lambda p: meshio.vtu.write(p, m, binary=True, compression="zlib")),
        "vtu lzma": ("h.vtu", lambda p: meshio.vtu.write(p, m, binary=True, compression="lzma")),
        "gmsh 2.2 binary": ("i.msh", lambda p: meshio.gmsh.write(p, m, fmt_version="2.2", binary=True)),
        "gmsh 4.1 binary": ("j.msh", lambda p: meshio.gmsh.write(p, m, fmt_version="4.1", binary=True)),
        "abaqus": ("k.inp", lambda p: meshio.abaqus.write(p, m)),
    }
    results = {}
    for name, (file, writer) in files.items():
        writer(str(tmp_path / file))
        engine = engine_with(tmp_path / file, slab_rays)
        out = capsys.readouterr().out
        native = name.endswith("(native)")
        assert ("Reading VTK file:" in out) == native, name
        assert ("Reading mesh file through meshio:" in out) != native, name
        engine.compute_volumetric_absorption()
        fields = "RefractiveIndex" in out and "Warning: no" not in out
        results[name] = (engine.get_node_count(), boundary_faces(engine, tmp_path), engine.get_absorbed_power(), fields)
        assert_balance_closes(engine)
    nodes, faces, power, _ = results["legacy ascii 4.2 (native)"]
    assert power.sum() > 0 and len(faces) == 2 * (4 + 8 + 8)
    for name, (n, f, p, fields) in results.items():
        assert n == nodes and f == faces, name
        if fields:  # Abaqus files carry no point data: the default material absorbs nothing
            assert np.allclose(p, power, rtol=1e-9, atol=0), name
    assert all(fields for name, (*_, fields) in results.items() if name != "abaqus")


def test_voxels_become_hexahedra_and_other_cells_are_skipped(slab, tmp_path, capsys):
    voxels = slab.hexahedra[:, meshes.VOXEL_TO_HEXAHEDRON]  # the order is its own inverse
    # meshio has no voxel type to write: write the cell types by hand.
    path = tmp_path / "voxels.vtk"
    meshes.write(str(path), meshes.HexMesh(slab.points, voxels))
    head, types = path.read_text().split("CELL_TYPES")
    path.write_text(head + "CELL_TYPES" + types.replace("12", "11"))
    engine = lumetra.Lumetra()
    engine.load_mesh(str(path))
    assert "Warning: skipped" not in capsys.readouterr().out
    assert engine.get_nodal_volumes().sum() == pytest.approx(2.0, rel=1e-6)
    assert np.all(engine.get_nodal_volumes() > 0)
    vtu = tmp_path / "voxels.vtu"
    meshio.vtu.write(str(vtu), meshio.Mesh(slab.points, [("hexahedron", voxels)]), binary=False)
    head, types = vtu.read_text().split('Name="types"')
    vtu.write_text(head + 'Name="types"' + types.replace("12", "11"))
    engine.load_mesh(str(vtu))
    assert "Reading mesh file through meshio" in capsys.readouterr().out
    assert np.all(engine.get_nodal_volumes() > 0)
    assert engine.get_nodal_volumes().sum() == pytest.approx(2.0, rel=1e-6)

    # A Gmsh file as meshers export it: boundary quads and edge lines beside the volume.
    gmsh = meshio.Mesh(
        slab.points,
        [("hexahedron", slab.hexahedra), ("quad", slab.hexahedra[:4, :4]), ("line", slab.hexahedra[:6, :2])],
    )
    meshio.gmsh.write(str(tmp_path / "g.msh"), gmsh, fmt_version="2.2", binary=False)
    engine.load_mesh(str(tmp_path / "g.msh"))
    out = capsys.readouterr().out
    assert "Warning: skipped cells that are not hexahedra: 4 of type quad, 6 of type line\n" in out
    assert "Mesh file loaded: 16 elements, 45 nodes\n" in out
    assert engine.get_nodal_volumes().sum() == pytest.approx(2.0, rel=1e-6)


def test_refusals_name_the_problem_and_keep_the_previous_mesh(slab, tmp_path, capsys):
    engine = lumetra.Lumetra()
    engine.load_mesh_arrays(*slab)
    volumes = engine.get_nodal_volumes()
    points, cells = slab.points, slab.hexahedra
    nan_point = points.copy()
    nan_point[3, 1] = np.nan
    huge = points.copy()
    huge[5, 0] = 1e39  # finite in double, not in the device's single precision
    tangled = cells.copy()
    tangled[0] = cells[0][[0, 1, 2, 3, 4, 5, 7, 6]]
    flat = points.copy()
    flat[cells[1], 2] = 0.0
    bad = [
        ((points[:, :2], cells), r"points must be an array of shape \(N, 3\), not \(45, 2\)"),
        ((points, cells[:, :6]), r"hexahedra must be an array of shape \(E, 8\), not \(16, 6\)"),
        ((points, cells.astype(float)), "hexahedra must hold integer node ids, not values of dtype float64"),
        ((np.full((4, 3), "a"), cells), "points must hold numbers"),
        ((points, cells[:0]), "the mesh contains no hexahedra"),
        ((points, cells + 1), r"hexahedron \d+ refers to node 45, outside \[0, 45\)"),
        ((points, cells - 1), r"hexahedron 0 refers to node -1, outside \[0, 45\)"),
        ((points, np.where(cells == 7, 2**40, cells)), r"hexahedron 2 refers to node 1099511627776, outside \[0, 45\)"),
        ((nan_point, cells), "a coordinate of node 3 is not a finite number"),
        ((huge, cells), "a coordinate of node 5 is not a finite number"),
        ((points, cells, np.ones(44)), r"refractive_index must have one value per node, shape \(45,\), not \(44,\)"),
        ((points, cells, None, np.full(45, np.inf)), "the absorptivity of node 0 is not a finite number"),
        ((points, tangled), "hexahedron 0 is degenerate or tangled"),
        ((flat, cells), "hexahedron 1 is degenerate or tangled"),
    ]
    for args, message in bad:
        with pytest.raises(RuntimeError, match="^load_mesh_arrays: " + message):
            engine.load_mesh_arrays(*args)
        assert np.array_equal(engine.get_nodal_volumes(), volumes), message

    (tmp_path / "garbage.msh").write_text("not a mesh\n")
    meshio.vtu.write(str(tmp_path / "quads.vtu"), meshio.Mesh(points, [("quad", cells[:, :4])]))
    for file, message in (
        ("garbage.msh", "meshio cannot read it"),
        ("quads.vtu", r"the mesh contains no hexahedra \(cells found: 16 quad\)"),
    ):
        with pytest.raises(RuntimeError, match=f"^Mesh file {tmp_path / file}: {message}"):
            engine.load_mesh(str(tmp_path / file))
        assert np.array_equal(engine.get_nodal_volumes(), volumes), file
    with pytest.raises(RuntimeError, match=f"^Mesh file {tmp_path / 'missing.vtk'}: no such file$"):
        engine.load_mesh(str(tmp_path / "missing.vtk"))


def test_mirrored_elements_are_reordered_and_absorb_as_the_right_mesh(slab, slab_rays, capsys):
    mirrored = slab.hexahedra.copy()
    mirrored[::4] = mirrored[::4][:, MIRROR_Z]
    mirrored[1::5] = mirrored[1::5][:, MIRROR_X]
    right = engine_with(slab, slab_rays)
    assert "mirrored" not in capsys.readouterr().out
    wrong = engine_with(slab._replace(hexahedra=mirrored), slab_rays)
    out = capsys.readouterr().out
    count = len(range(0, 16, 4)) + len(range(1, 16, 5))
    assert out.count("mirrored") == 1
    assert (
        f"Warning: {count} of 16 hexahedra had mirrored node order (negative volume); their nodes were "
        "reordered to positive volume\n"
    ) in out
    assert np.allclose(wrong.get_nodal_volumes(), right.get_nodal_volumes(), rtol=1e-6)
    for engine in (right, wrong):
        engine.compute_volumetric_absorption()
    assert right.get_absorbed_power().sum() > 0
    assert np.allclose(wrong.get_absorbed_power(), right.get_absorbed_power(), rtol=1e-4, atol=1e-9)


def test_vial_is_a_positive_o_grid_bounded_by_the_cylinder(tmp_path, capsys):
    radius, height, n = 2.0, 3.0, 3
    vial = meshes.vial(
        radius=radius,
        height=height,
        n_core=n,
        n_radial=2,
        n_z=2,
        absorptivity=0.3,
        refractive_index=lambda x, y, z: 1.5 - 0.02 * (x * x + y * y),
    )
    engine = lumetra.Lumetra()
    engine.load_mesh_arrays(*vial)
    out = capsys.readouterr().out
    assert "mirrored" not in out and "Mesh loaded from arrays: 66 elements, 120 nodes\n" in out
    assert np.all(engine.get_nodal_volumes() > 0)
    sides = 4 * n
    prism = sides / 2 * radius**2 * math.sin(2 * math.pi / sides) * height
    volume = engine.get_nodal_volumes().sum()
    assert volume == pytest.approx(prism, rel=1e-6)
    assert abs(volume - math.pi * radius**2 * height) / (math.pi * radius**2 * height) < (math.pi / sides) ** 2
    all_faces = engine.select_boundary_faces_bbox(-9, 9, -9, 9, -9, 9)
    wall = engine.select_boundary_faces_radial(radius - 1e-5, radius + 1e-5)
    bottom = engine.select_boundary_faces_bbox(-9, 9, -9, 9, 0, 0, tolerance=1e-6)
    top = engine.select_boundary_faces_bbox(-9, 9, -9, 9, height, height, tolerance=1e-6)
    assert len(wall) == 2 * sides and len(top) == len(bottom) == n * n + 2 * sides
    assert sorted(wall + top + bottom) == all_faces
    assert np.allclose(engine.get_refractive_index(), vial.refractive_index, rtol=1e-7)
    # Finer vials converge on the cylinder.
    fine = meshes.vial(radius=radius, height=height, n_core=12, n_radial=3, n_z=1)
    engine.load_mesh_arrays(*fine)
    assert engine.get_nodal_volumes().sum() == pytest.approx(math.pi * radius**2 * height, rel=3e-3)


def test_power_balance_closes_with_reflecting_and_transmitting_faces(tmp_path, capsys):
    vial = meshes.vial(
        radius=1.0,
        height=2.0,
        n_core=3,
        n_radial=2,
        n_z=4,
        refractive_index=1.5,
        absorptivity=lambda x, y, z: 0.2 + 0.1 * z,
    )
    box = meshes.box(3, 3, 3, refractive_index=1.5, absorptivity=0.05)
    for mesh in (vial, box):
        start, direction = rays_at(mesh.points, 400, seed=3)
        rays = write_rays(tmp_path / "r.ry", start, direction, np.linspace(0.5, 1.5, 400))
        probe = lumetra.Lumetra()
        probe.load_mesh_arrays(*mesh)
        lo = mesh.points.min(axis=0)
        hi = mesh.points.max(axis=0)
        mirror = probe.select_boundary_faces_bbox(lo[0], hi[0], lo[1], hi[1], lo[2], lo[2], tolerance=1e-6)
        glass = sorted(set(probe.select_boundary_faces_bbox(*np.ravel([lo, hi], "F"))) - set(mirror))
        engine = engine_with(mesh, rays, [(lumetra.REFLECT, 1.0, mirror), (lumetra.TRANSMIT, 1.0, glass)])
        engine.compute_volumetric_absorption()
        s = assert_balance_closes(engine)
        assert s["rays_refused"] > 0 and s["rays_missed"] > 0 and s["rays_entered"] > 100
        assert s["power_left"] > 0 and s["power_absorbed"] > 0
        assert s["power_entered"] < s["power_incident"]  # Fresnel loss and refused rays
        assert s["element_visits"] > s["rays_entered"]
        summary_keys = {"stopped_by_visit_limit", "stopped_by_power_floor", "stopped_without_exit"}
        assert summary_keys < set(s)
        stopped_rays = sum(s[k] for k in summary_keys)
        assert (s["power_stopped"] > 0) == (stopped_rays > 0)


def test_a_straight_ray_ends_where_optics_says(tmp_path, capsys):
    box = meshes.box(2, 2, 4, size=(1.0, 1.0, 2.0), refractive_index=1.5, absorptivity=0.0)
    start = np.array([[0.3, 0.6], [0.4, 0.7], [5.0, 5.0]])
    direction = np.array([[0.0, 0.0], [0.0, 0.0], [-1.0, -1.0]])
    rays = write_rays(tmp_path / "r.ry", start, direction, np.array([1.0, 2.0]))
    engine = engine_with(box, rays, [(lumetra.TRANSMIT, 1.0, engine_faces(box))])
    before = engine.get_trace_summary()
    assert before == {} and "Error: no trace computed yet!\n" in capsys.readouterr().out
    assert engine.get_ray_exit_positions().shape == (0, 3)
    engine.compute_volumetric_absorption()
    s = assert_balance_closes(engine)
    transmitted = 1 - ((1.5 - 1) / (1.5 + 1)) ** 2  # normal incidence, in and out
    assert s["power_entered"] == pytest.approx(3 * transmitted, rel=1e-5)
    assert s["power_absorbed"] == pytest.approx(0, abs=1e-6)
    assert np.allclose(engine.get_ray_exit_power(), np.array([1.0, 2.0]) * transmitted**2, rtol=1e-5)
    assert np.allclose(engine.get_ray_exit_positions(), [[0.3, 0.4, 0.0], [0.6, 0.7, 0.0]], atol=1e-3)
    assert np.allclose(engine.get_ray_exit_directions(), [[0, 0, -1], [0, 0, -1]], atol=1e-6)
    top = engine.select_boundary_faces_bbox(0, 1, 0, 1, 2, 2)
    faces = engine.get_ray_start_faces()
    assert faces.dtype == np.int32 and len(set(faces)) == 2 and set(faces) <= set(top)


def engine_faces(mesh):
    probe = lumetra.Lumetra()
    probe.load_mesh_arrays(*mesh)
    return probe.select_boundary_faces_bbox(-99, 99, -99, 99, -99, 99)


def test_a_reloaded_mesh_of_another_size_traces_like_a_fresh_engine(slab, slab_rays, capsys):
    # The walk reads node records packed for each trace: they must follow the new mesh.
    small = meshes.box(
        1,
        1,
        1,
        size=(1.0, 1.0, 2.0),
        refractive_index=lambda x, y, z: 1.3 + 0 * x,
        absorptivity=lambda x, y, z: 2.0 + 0 * x,
    )
    engine = engine_with(small, slab_rays)
    engine.compute_volumetric_absorption()
    engine.load_mesh_arrays(*slab)
    engine.compute_volumetric_absorption()
    fresh = engine_with(slab, slab_rays)
    fresh.compute_volumetric_absorption()
    assert engine.get_node_count() == fresh.get_node_count() > small.points.shape[0]
    assert np.allclose(engine.get_absorbed_power(), fresh.get_absorbed_power(), rtol=1e-9, atol=0)
    assert engine.get_absorbed_power().sum() > 0


def test_moved_nodes_are_traced_where_they_are(slab, slab_rays, capsys):
    engine = engine_with(slab, slab_rays)
    engine.compute_volumetric_absorption()
    hit = engine.get_trace_summary()["rays_entered"]
    assert hit > 0
    p = engine.get_node_positions()
    volumes = engine.get_nodal_volumes()
    engine.set_node_positions(p * 2)
    assert np.allclose(engine.get_nodal_volumes(), 8 * volumes, rtol=1e-6)
    engine.set_node_positions(p + [100.0, 0.0, 0.0])  # away from every ray
    engine.compute_volumetric_absorption()
    assert engine.get_trace_summary()["rays_entered"] == 0
    engine.set_node_positions(p)
    engine.reset_absorbed_power()
    engine.compute_volumetric_absorption()
    assert engine.get_trace_summary()["rays_entered"] == hit
    assert_balance_closes(engine)
    inverted = p.copy()
    inverted[:, 2] *= -1
    with pytest.raises(RuntimeError, match="^set_node_positions: hexahedron 0 would be inverted"):
        engine.set_node_positions(inverted)
    assert np.allclose(engine.get_node_positions(), p)
