"""The light-transport objective's storage and its VTU result files, read back with meshio."""

import os

import numpy as np
import pytest

from meshes import grid, write_vtk


@pytest.fixture(scope="module")
def t():
    from lumetra import _testing

    return _testing


@pytest.fixture
def cube(t, tmp_path, capsys):
    points, cells = grid(1, 1, 1)
    write_vtk(tmp_path / "c.vtk", points, cells, refractive_index=np.full(8, 1.5), absorptivity=np.full(8, 0.25))
    mesh = t.read_vtk(str(tmp_path / "c.vtk"))
    capsys.readouterr()
    return mesh


def test_file_names_count_up_from_the_last_dot(t, cube, tmp_path, capsys, monkeypatch):
    monkeypatch.chdir(tmp_path)
    tracer = t.Tracer(0, 2)
    tracer.config("out.vtu", cube.n_nodes)
    tracer.result(cube)
    tracer.result(cube)
    assert os.path.exists("out_0.vtu") and os.path.exists("out_1.vtu")
    assert capsys.readouterr().out == "Results written to VTU file: out_0.vtu\nResults written to VTU file: out_1.vtu\n"
    # The counter goes into the file name only, before its extension; a name without one
    # gets ".vtu".
    os.mkdir("v1.2")
    for given, written in (
        ("v1.2/c", "v1.2/c_2.vtu"),
        ("./res.x.vtu", "./res.x_3.vtu"),
        ("v1.2/d.bin", "v1.2/d_4.bin"),
    ):
        tracer.config(given, cube.n_nodes)
        tracer.result(cube)
        assert os.path.exists(written), written
    tracer.config("results/simulation", cube.n_nodes)
    capsys.readouterr()
    with pytest.raises(RuntimeError, match="cannot write results/simulation_5.vtu: No such file"):
        tracer.result(cube)  # no such directory: reported, raised, and the counter stays
    assert capsys.readouterr().out == "Error: Cannot open file results/simulation_5.vtu for writing\n"
    assert tracer.write_counter == 5


def test_result_file_reads_back_with_its_arrays(t, cube, tmp_path, capsys):
    meshio = pytest.importorskip("meshio")
    tracer = t.Tracer(0, 2)
    tracer.config(str(tmp_path / "r.vtu"), cube.n_nodes)
    tracer.result(cube)
    m = meshio.read(tmp_path / "r_0.vtu")
    assert np.allclose(m.points, cube.node_coords().T)
    assert np.array_equal(m.cells_dict["hexahedron"], cube.element_nodes())
    assert list(m.point_data) == ["Volumetric absorbed power Q", "RefractiveIndex", "Absorptivity"]
    assert np.all(m.point_data["Volumetric absorbed power Q"] == 0)
    assert np.allclose(m.point_data["RefractiveIndex"], 1.5)
    text = (tmp_path / "r_0.vtu").read_text()
    line = " ".join(str(n) for n in cube.element_nodes()[0]) + " \n"
    assert '<DataArray type="Int32" Name="connectivity" format="ascii">\n' + line + "        </DataArray>" in text
    assert '<DataArray type="Int32" Name="offsets" format="ascii">\n8\n        </DataArray>' in text
    assert '<DataArray type="UInt8" Name="types" format="ascii">\n12\n        </DataArray>' in text


def test_appended_fields_are_named_generically_or_by_the_custom_names(t, cube, tmp_path, capsys):
    meshio = pytest.importorskip("meshio")
    tracer = t.Tracer(0, 2)
    tracer.config(str(tmp_path / "f.vtu"), cube.n_nodes)
    one = np.arange(8, dtype=float)
    two = np.stack([one, 10 * one])
    tracer.result_fields(cube, one)
    tracer.result_fields(cube, two)
    tracer.set_field_names(["", "b"])
    assert tracer.field_name_count == 1
    tracer.result_fields(cube, two)
    tracer.set_field_names(["dose", "cure"])
    tracer.result_fields(cube, two)
    tracer.set_field_names([f"n{i}" for i in range(17)])
    assert tracer.field_name_count == 16
    names = [list(meshio.read(tmp_path / f"f_{i}.vtu").point_data) for i in range(4)]
    assert names[0] == ["Volumetric absorbed power Q", "RefractiveIndex", "Field", "Absorptivity"]
    assert names[1][2:4] == ["Field_0", "Field_1"]
    assert names[2][2:4] == ["Field_0", "Field_1"]
    assert names[3][2:4] == ["dose", "cure"]
    cure = meshio.read(tmp_path / "f_3.vtu").point_data["cure"]
    assert np.allclose(cure, 10 * one)


def test_device_field_and_result_pointer(t, cube, tmp_path, capsys):
    meshio = pytest.importorskip("meshio")
    tracer = t.Tracer(0, 2)
    assert tracer.result_ptr() == 0
    tracer.config(str(tmp_path / "d.vtu"), cube.n_nodes)
    address = tracer.result_ptr()
    assert address != 0
    tracer.result_device_field(cube, address)  # the result itself as an appended field
    m = meshio.read(tmp_path / "d_0.vtu")
    assert np.array_equal(m.point_data["Field"], m.point_data["Volumetric absorbed power Q"])


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc to read the resident size")
def test_reconfiguring_releases_the_previous_storage(t):
    tracer = t.Tracer(0, 2)
    size = 2_000_000  # 16 MB of doubles, twice (device and staging)
    tracer.config("x.vtu", size)
    before = rss_bytes()
    for _ in range(30):
        tracer.config("x.vtu", size)
    assert rss_bytes() - before < 64 * 2**20
    assert tracer.get_result().shape == (size,)
