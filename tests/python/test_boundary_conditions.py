"""Boundary conditions on a mesh, face selection and the face-group files read back with
a real reader."""

import re

import numpy as np
import pytest

from meshes import grid, write_vtk


@pytest.fixture(scope="module")
def t():
    from lumetra import _testing

    return _testing


@pytest.fixture
def block(t, tmp_path, capsys):
    """2 x 2 x 1 unit cells over [0, 2] x [0, 2] x [0, 1]: 16 boundary faces."""
    points, cells = grid(2, 2, 1)
    write_vtk(tmp_path / "block.vtk", points, cells)
    mesh = t.read_vtk(str(tmp_path / "block.vtk"))
    capsys.readouterr()
    return mesh


def condition(faces, **fields):
    import lumetra

    bc = lumetra.OpticalBoundaryCondition()
    bc.faces = faces
    for name, value in fields.items():
        setattr(bc, name, value)
    return bc


def test_record_defaults_and_copies():
    import lumetra

    bc = lumetra.OpticalBoundaryCondition()
    assert (
        bc.rough_surface,
        bc.roughness,
        bc.interaction_type,
        bc.refractive_index_real,
        bc.refractive_index_imag,
        bc.faces,
    ) == (False, 0.0, lumetra.TRANSMIT, 1.0, 0.0, [])
    assert int(lumetra.REFLECT) == 1
    faces = bc.faces
    faces.append(3)
    assert bc.faces == []  # reading gives a copy


def test_overlapping_and_invalid_faces(t, block, capsys):
    import lumetra

    block.set_boundary_conditions(
        [
            condition([7, 2, 99, -1], roughness=0.25, rough_surface=True),
            condition([7, 7], interaction_type=lumetra.REFLECT, refractive_index_real=1.5, refractive_index_imag=0.1),
        ]
    )
    out = capsys.readouterr().out
    assert out == (
        "Warning: skipping out-of-range boundary face 99 for BC 0 (nFaces=16)\n"
        "Warning: skipping out-of-range boundary face -1 for BC 0 (nFaces=16)\n"
        "Warning: boundary face 7 already assigned to BC 0, overwriting with BC 1\n"
        "Warning: boundary face 7 already assigned to BC 1, overwriting with BC 1\n"
    )
    face_bc = block.face_bc()[0]
    assert face_bc[7] == 1 and face_bc[2] == 0
    assert np.all(face_bc[[i for i in range(16) if i not in (2, 7)]] == -1)
    assert np.all(face_bc < block.n_bc)
    arrays = block.bc_arrays()
    assert arrays["offsets"] == [0, 2, 4]
    assert arrays["faces"] == [7, 2, 7, 7]
    assert arrays["rough_surface"] == [1, 0] and arrays["interaction_type"] == [0, 1]
    assert arrays["roughness"][0] == pytest.approx(0.25) and arrays["real"][1] == pytest.approx(1.5)
    assert block.n_bc_faces == 4


def test_empty_lists_and_conditions_without_valid_faces(t, block, capsys):
    block.set_boundary_conditions([])
    assert block.n_bc == 0 and np.all(block.face_bc() == -1)
    assert block.bc_arrays()["offsets_is_null"]
    block.set_boundary_conditions([condition([100, 200])])
    capsys.readouterr()
    assert block.n_bc == 1 and block.n_bc_faces == 0
    arrays = block.bc_arrays()
    assert arrays["offsets"] == [0, 0] and arrays["faces_is_null"]
    block.clear_boundary_conditions()
    assert block.n_bc == 0 and block.bc_arrays()["offsets_is_null"]


def corners(mesh, faces):
    return mesh.node_coords().T[mesh.face_nodes()[faces]]


def test_box_selection(t, block):
    top = block.select_bbox(True, 0, 2, 0, 2, 1, 1, 1e-9)  # the z = 1 plane exactly
    assert len(top) == 4 and np.all(corners(block, top)[..., 2] == 1)
    assert block.select_bbox(True, 2, 0, 2, 0, 1, 1, 1e-9) == top  # swapped limits
    assert block.select_bbox(True, 0, 2, 0, 2, 1, 1, 0.0) == top
    assert block.select_bbox(True, 0, 2, 0, 2, 1 + 1e-6, 1 + 1e-6, 1e-9) == []
    # One corner touching the box: only when not all corners are required.
    touching = block.select_bbox(False, 1.9, 2.1, 1.9, 2.1, -1, 2, 1e-9)
    assert touching and all(
        (corners(block, [f])[0] == [2, 2, 0]).all(axis=1).any()
        or (corners(block, [f])[0] == [2, 2, 1]).all(axis=1).any()
        for f in touching
    )
    assert block.select_bbox(True, 1.9, 2.1, 1.9, 2.1, -1, 2, 1e-9) == []
    assert sorted(touching) == touching


def test_radial_selection(t, block):
    everything = block.select_radial(False, 0, 10, 1e-9)
    assert everything == list(range(16))
    assert block.select_radial(False, -5, 10, 1e-9) == everything  # negative inner radius acts as 0
    inner = block.select_radial(True, 0, 1.0, 1e-9)
    r = np.hypot(*corners(block, inner)[..., :2].transpose(2, 0, 1))
    assert inner and np.all(r <= 1 + 1e-9)
    assert block.select_radial(True, 1.0, 0, 1e-9) == inner  # swapped limits


def test_face_group_file_reads_back(t, block, tmp_path, capsys):
    meshio = pytest.importorskip("meshio")
    path = tmp_path / "groups.vtu"
    block.write_face_groups(str(path), [[0, 1, 2], [2, 5], [40]], True)
    out = capsys.readouterr().out
    assert "Warning: face 2 already assigned to group 0, overwriting with group 1\n" in out
    assert "Warning: skipping out-of-range face id 40 for group 2 (nFaces=16)\n" in out
    assert out.endswith(f"Boundary groups written to VTU file: {path}\n")
    m = meshio.read(path)
    assert np.allclose(m.points, block.node_coords().T)
    quads = m.cells_dict["quad"]
    assert np.array_equal(quads, block.face_nodes())
    face_id = m.cell_data["FaceId"][0]
    group_id = m.cell_data["GroupId"][0]
    assert face_id.tolist() == list(range(16))
    assert group_id.tolist() == [0, 0, 1, -1, -1, 1] + [-1] * 10
    text = path.read_text()
    offsets = re.search(r'Name="offsets" format="ascii">\n(.*?)\s*</DataArray>', text, re.S).group(1).split()
    assert offsets == [str(4 * k) for k in range(1, 17)]
    assert text.startswith(
        '<?xml version="1.0"?>\n<VTKFile type="UnstructuredGrid" version="0.1" '
        'byte_order="LittleEndian">\n  <UnstructuredGrid>\n'
        '    <Piece NumberOfPoints="18" NumberOfCells="16">\n'
    )


def test_condition_groups_and_empty_selections(t, block, tmp_path, capsys):
    meshio = pytest.importorskip("meshio")
    path = tmp_path / "bc.vtu"
    block.write_condition_groups(str(path), False)
    assert capsys.readouterr().out == f"Warning: no faces selected for VTU output {path}\n"
    assert not path.exists()
    block.set_boundary_conditions([condition([3, 4]), condition([9])])
    block.write_condition_groups(str(path), False)
    m = meshio.read(path)
    assert m.cell_data["FaceId"][0].tolist() == [3, 4, 9]
    assert m.cell_data["GroupId"][0].tolist() == [0, 0, 1]
    with pytest.raises(RuntimeError, match="cannot write .*dir.vtu: No such file"):
        block.write_face_groups(str(tmp_path / "no" / "such" / "dir.vtu"), [[1]], True)
    assert "Error: cannot open file " in capsys.readouterr().out
    empty = t.Mesh()
    empty.write_face_groups(str(path), [], True)
    empty.write_condition_groups(str(path), True)
    assert capsys.readouterr().out == (
        f"Error: mesh has no faces or nodes; cannot write {path}\n"
        f"Error: mesh has no boundary faces; cannot write {path}\n"
    )
