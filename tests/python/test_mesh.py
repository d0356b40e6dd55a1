"""Meshes as scripts produce them: files of real writers, the face numbering users see,
and memory across reloads."""

import os

import numpy as np
import pytest

from meshes import grid, write_vtk

LOCAL_FACE_NODES = [[0, 1, 2, 3], [4, 5, 6, 7], [0, 3, 7, 4], [1, 2, 6, 5], [0, 4, 5, 1], [3, 7, 6, 2]]


@pytest.fixture(scope="module")
def t():
    from lumetra import _testing

    return _testing


def boundary_faces_by_rule(cells, bucket_count):
    """(element, local face) of each boundary face in id order, from the numbering rule:
    faces keyed by their sorted node ids in a hash map whose iteration order gives the ids
    (a new key goes to the front of its bucket's run, or to the front of the sequence when
    its bucket was empty)."""

    def key_hash(key):
        h = 0
        for k in key:
            signed = h - (1 << 32) if h >= (1 << 31) else h
            h = (h ^ ((k + 0x9E3779B9 + (h << 6) + ((signed >> 2) & 0xFFFFFFFF)) & 0xFFFFFFFF)) & 0xFFFFFFFF
        return (h - (1 << 32) if h >= (1 << 31) else h) % (1 << 64)

    sequence, users, bucket = [], {}, {}
    for e, nodes in enumerate(cells):
        for f, local in enumerate(LOCAL_FACE_NODES):
            key = tuple(sorted(int(nodes[i]) for i in local))
            if key not in users:
                b = key_hash(key) % bucket_count
                run = [i for i, k in enumerate(sequence) if bucket[k] == b]
                sequence.insert(run[0] if run else 0, key)
                bucket[key], users[key] = b, []
            users[key].append((e, f))
    return [users[k][0] for k in sequence if len(users[k]) == 1]


# Bucket counts the standard library picks when the map reserves 6 keys per element.
@pytest.mark.parametrize("shape,buckets", [((2, 1, 1), 13), ((3, 1, 1), 19), ((2, 2, 1), 29)])
def test_boundary_face_ids_follow_the_numbering_rule(t, tmp_path, capsys, shape, buckets):
    points, cells = grid(*shape)
    write_vtk(tmp_path / "m.vtk", points, cells)
    mesh = t.read_vtk(str(tmp_path / "m.vtk"))
    expected = boundary_faces_by_rule(cells, buckets)
    got = list(zip(mesh.face_element()[0].tolist(), mesh.face_local_index()[0].tolist()))
    assert got == expected
    # Each face's nodes are the element's local face, reversed for faces 0, 2 and 4.
    for (e, f), nodes in zip(got, mesh.face_nodes().tolist()):
        local = LOCAL_FACE_NODES[f][::-1] if f % 2 == 0 else LOCAL_FACE_NODES[f]
        assert nodes == [int(cells[e][k]) for k in local]
    assert f"Mesh connectivity: {len(expected)} boundary faces\n" in capsys.readouterr().out


def test_two_cube_ids_are_pinned(t, tmp_path, capsys):
    points = [
        [0, 0, 0],
        [1, 0, 0],
        [1, 1, 0],
        [0, 1, 0],
        [0, 0, 1],
        [1, 0, 1],
        [1, 1, 1],
        [0, 1, 1],
        [2, 0, 0],
        [2, 1, 0],
        [2, 0, 1],
        [2, 1, 1],
    ]
    cells = [[0, 1, 2, 3, 4, 5, 6, 7], [1, 8, 9, 2, 5, 10, 11, 6]]
    write_vtk(tmp_path / "m.vtk", points, cells)
    mesh = t.read_vtk(str(tmp_path / "m.vtk"))
    assert mesh.face_element()[0].tolist() == [1, 1, 1, 1, 0, 1, 0, 0, 0, 0]
    assert mesh.face_local_index()[0].tolist() == [5, 3, 4, 1, 4, 0, 5, 2, 1, 0]


def test_meshio_legacy_42_file_reads_with_its_field_data(t, tmp_path, capsys):
    meshio = pytest.importorskip("meshio")
    points, cells = grid(2, 2, 2, spacing=0.5)
    index = 1.4 + 0.01 * np.arange(len(points))
    quads = cells[:, :4]
    m = meshio.Mesh(
        points,
        [("hexahedron", cells), ("quad", quads)],
        point_data={"RefractiveIndex": index, "Absorptivity": np.full(len(points), 0.25)},
    )
    meshio.vtk.write(str(tmp_path / "m.vtk"), m, fmt_version="4.2", binary=False)
    mesh = t.read_vtk(str(tmp_path / "m.vtk"))
    out = capsys.readouterr().out
    assert mesh.n_elements == 8 and mesh.n_nodes == 27
    assert np.array_equal(mesh.element_nodes(), cells)
    assert np.allclose(mesh.node_coords().T, points)
    assert np.allclose(mesh.refr_index()[0], index, rtol=1e-7)
    assert np.all(mesh.absorptivity() == np.float32(0.25))
    assert "Warning: skipped cells that are not hexahedra: 8 of type 9\n" in out
    assert np.isclose(mesh.nodal_mass().sum(), 1.0, rtol=1e-6)


def test_meshio_default_layout_is_refused_by_name(t, tmp_path, capsys):
    meshio = pytest.importorskip("meshio")
    points, cells = grid(1, 1, 1)
    meshio.vtk.write(str(tmp_path / "m.vtk"), meshio.Mesh(points, [("hexahedron", cells)]), binary=False)
    with pytest.raises(RuntimeError, match="OFFSETS/CONNECTIVITY cell layout of legacy version 5"):
        t.read_vtk(str(tmp_path / "m.vtk"))
    meshio.vtk.write(
        str(tmp_path / "b.vtk"), meshio.Mesh(points, [("hexahedron", cells)]), fmt_version="4.2", binary=True
    )
    with pytest.raises(RuntimeError, match="BINARY legacy files cannot be read"):
        t.read_vtk(str(tmp_path / "b.vtk"))


def test_missing_file_raises_runtime_error(t):
    with pytest.raises(RuntimeError, match=r"^Cannot open VTK file /nonexistent/mesh.vtk: No such file or directory$"):
        t.read_vtk("/nonexistent/mesh.vtk")
    with pytest.raises(RuntimeError, match=r"^Cannot open OBJ file /nonexistent/mesh.obj: No such file or directory$"):
        t.read_obj("/nonexistent/mesh.obj")


def test_messages_of_a_load_reach_sys_stdout(t, tmp_path, capsys):
    points, cells = grid(1, 1, 1)
    write_vtk(tmp_path / "m.vtk", points, cells, refractive_index=np.full(8, 1.5))
    print("before")
    t.read_vtk(str(tmp_path / "m.vtk"))
    print("after")
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == "before" and lines[-1] == "after"
    assert lines[1] == f"Reading VTK file: {tmp_path / 'm.vtk'}"
    assert "Warning: no Absorptivity data in the file; absorptivity set to 0 at every node" in lines
    assert "Refractive index regions: 1 constant, 0 varying (100.0% constant)" in lines


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc to read the resident size")
def test_reloading_a_mesh_releases_the_previous_arrays(t, tmp_path, capsys):
    points, cells = grid(16, 16, 16)  # about 5 MB of mesh arrays per load
    write_vtk(tmp_path / "m.vtk", points, cells)
    mesh = t.Mesh()
    mesh.read_vtk(str(tmp_path / "m.vtk"))
    for _ in range(3):
        mesh.read_vtk(str(tmp_path / "m.vtk"))
    capsys.readouterr()
    after_first = rss_bytes()
    for _ in range(200):
        mesh.read_vtk(str(tmp_path / "m.vtk"))
        capsys.readouterr()
    assert rss_bytes() - after_first < 8 * 2**20
    assert mesh.n_elements == 16**3
