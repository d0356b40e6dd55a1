"""The render and optical-path objectives and the camera, from Python: bitmaps read back
with Pillow, path samples with numpy, objectives chosen with set_objective."""

import math

import numpy as np
import pytest

from meshes import grid, write_vtk

BACKGROUND, TOP_FACE = (0, 0, 0), (0, 127, 127)  # the face z = 1, normal (0, 0, 1)


@pytest.fixture
def engine():
    import lumetra

    return lumetra.Lumetra()


def cube(tmp_path, nx=1, index=1.0, alpha=0.0):
    points, cells = grid(nx, 1, 1)
    n = len(points)
    write_vtk(
        tmp_path / "cube.vtk",
        points,
        cells,
        refractive_index=np.broadcast_to(index, (n,)).astype(float),
        absorptivity=np.full(n, alpha),
    )
    return str(tmp_path / "cube.vtk")


def one_ray(tmp_path, position, direction):
    (tmp_path / "ray.ry").write_text("1\n" + " ".join(map(str, [*position, *direction, 1.0])) + "\n")
    return str(tmp_path / "ray.ry")


def render_settings(tmp_path, height, width, pixel_size, name="view.bmp"):
    return {"pixel_width": width, "pixel_height": height, "pixel_size": pixel_size, "output_file": str(tmp_path / name)}


def test_cube_seen_from_above(engine, tmp_path, capsys):
    Image = pytest.importorskip("PIL.Image")
    engine.load_mesh(cube(tmp_path))
    engine.set_objective("render", render_settings(tmp_path, 8, 8, 0.25))
    # Looking down -z: x to the right, y up. Pixel centres at centre + 0.25 * (k - 3.5).
    engine.generate_camera_rays([0.75, 0.25, 3.0], [0, 0, -1], 8, 8, 0.25)
    engine.set_solver_type("FE")
    engine.config()
    engine.compute_volumetric_absorption()
    engine.write_result()
    out = capsys.readouterr().out
    assert "Attempt config\nConfigured Render Objective with image size 8 x 8 , pixel size 0.250000\n" in out
    assert "Warning" not in out

    expected = np.zeros((8, 8, 3), dtype=np.uint8)
    for top_row in range(8):
        y = 0.25 + 0.25 * ((7 - top_row) - 3.5)
        for column in range(8):
            x = 0.75 + 0.25 * (column - 3.5)
            if 0 < x < 1 and 0 < y < 1:
                expected[top_row, column] = TOP_FACE
    assert expected.any() and not expected.all()
    with Image.open(tmp_path / "view_0.bmp") as bitmap:
        assert bitmap.size == (8, 8) and bitmap.mode == "RGB"
        assert np.array_equal(np.asarray(bitmap), expected)
    image = engine.get_image()
    assert image.shape == (8, 8, 3) and image.min() >= 0 and image.max() <= 1
    assert np.array_equal((image * 255).astype(np.uint8), expected)
    # The picture belongs to the render: absorbed power answers with a message.
    assert engine.get_absorbed_power().size == 0 and engine.get_result_array_device_ptr() == 0
    assert capsys.readouterr().out == (
        "Error: absorbed power belongs to the light_transport objective; the active objective is render\n" * 2
    )


def test_bitmap_files_sizes_names_and_failures(engine, tmp_path, capsys):
    Image = pytest.importorskip("PIL.Image")
    engine.load_mesh(cube(tmp_path))
    # 2 rows of 3 pixels; only ray 4 (row 1, column 1) meets the cube.
    engine.set_objective("render", render_settings(tmp_path, 2, 3, 0.6, name="small.bmp"))
    engine.generate_camera_rays([0.5, 0.1, 3.0], [0, 0, -1], 2, 3, 0.6)
    engine.config()
    engine.compute_volumetric_absorption()
    engine.write_result()
    engine.write_result()
    for name in ("small_0.bmp", "small_1.bmp"):
        assert (tmp_path / name).stat().st_size == 78
    with Image.open(tmp_path / "small_1.bmp") as bitmap:
        pixels = np.asarray(bitmap)
    assert pixels.shape == (2, 3, 3)
    # Row 1 is stored last, so it is the top row of the picture.
    assert tuple(pixels[0, 1]) == TOP_FACE and np.count_nonzero(pixels.any(axis=2)) == 1

    capsys.readouterr()
    engine.set_objective("render", render_settings(tmp_path / "missing", 2, 3, 0.6))
    engine.config()
    capsys.readouterr()
    with pytest.raises(RuntimeError, match="cannot write .*view_0.bmp"):
        engine.write_result()
    assert capsys.readouterr().out == f"Error: Cannot open file {tmp_path / 'missing' / 'view_0.bmp'} for writing\n"
    assert not (tmp_path / "missing").exists()


def test_rays_beyond_the_image_are_announced(engine, tmp_path, capsys):
    engine.load_mesh(cube(tmp_path))
    engine.set_objective("render", render_settings(tmp_path, 2, 2, 0.1))
    engine.generate_camera_rays([0.5, 0.5, 3.0], [0, 0, -1], 3, 3, 0.1)
    engine.config()
    capsys.readouterr()
    engine.compute_volumetric_absorption()
    assert "Warning: 9 rays for an image of 4 pixels" in capsys.readouterr().out
    assert np.all(engine.get_image() == (0, 0.5, 0.5))


def test_camera_arguments_that_make_no_picture_keep_the_rays(engine, tmp_path, capsys):
    engine.generate_camera_rays([0, 0, 5], [0, 0, -1], 3, 4, 0.5)
    assert engine.get_ray_count() == 12 and np.all(engine.get_ray_payloads() == 1)
    cases = [
        (([0, 0], [0, 0, -1], 3, 4, 0.5), "position must be a 3-element array"),
        (([0, 0, 5], [0, 0, 0], 3, 4, 0.5), "camera direction must be a finite vector of non-zero length"),
        (([0, 0, 5], [0, 0, -1], 3, 4, 0.0), "camera pixel size must be positive"),
        (([0, 0, 5], [0, 0, -1], 0, 4, 0.5), "camera image height must be at least 1 pixel, not 0"),
        (([0, 0, 5], [0, 0, -1], 2**16, 2**16, 0.5), "too large"),
    ]
    for arguments, message in cases:
        with pytest.raises(RuntimeError, match=message):
            engine.generate_camera_rays(*arguments)
    assert engine.get_ray_count() == 12


def test_objective_configuration_is_checked_by_key(engine, tmp_path, capsys):
    good = render_settings(tmp_path, 4, 4, 0.1)
    cases = [
        ("render", {k: v for k, v in good.items() if k != "pixel_size"}, "configuration key 'pixel_size' is missing"),
        ("render", {**good, "pixel_width": "4"}, "configuration key 'pixel_width' must be an integer"),
        ("render", {**good, "pixel_height": 4.0}, "configuration key 'pixel_height' must be an integer"),
        ("render", {**good, "output_file": 1}, "configuration key 'output_file' must be a string"),
        ("render", {**good, "pixel_width": 0}, r"width must be at least 1 pixel, not 0"),
        ("render", {**good, "pixel_width": 2**20, "pixel_height": 2**20}, "too large"),
        ("render", None, "render objective needs a configuration"),
        ("optical_path", {"output_file": "p.csv"}, "configuration key 'datapoints_amount' is missing"),
        ("optical_path", {"output_file": "p.csv", "datapoints_amount": -1}, "'datapoints_amount' must lie between 0"),
        ("light_transport", {"output": "x.vtu"}, "configuration key 'output_file' is missing"),
        ("lightning", None, "objective kind must be 'light_transport', 'render' or 'optical_path', not 'lightning'"),
    ]
    for kind, config, message in cases:
        with pytest.raises(RuntimeError, match=message):
            engine.set_objective(kind, config)
    with pytest.raises(TypeError, match="config must be a dict or the path of a TOML file, not list"):
        engine.set_objective("render", [1, 2])
    with pytest.raises(FileNotFoundError):
        engine.set_objective("render", str(tmp_path / "absent.toml"))
    # Nothing took effect: the engine still computes absorbed power.
    engine.config()
    assert "Attempt config" not in capsys.readouterr().out
    # The TOML form reads the same keys.
    (tmp_path / "render.toml").write_text(
        f'pixel_width = 3\npixel_height = 2\npixel_size = 0.5\noutput_file = "{tmp_path / "t.bmp"}"\n'
    )
    engine.set_objective("render", tmp_path / "render.toml")
    engine.config()
    assert "Configured Render Objective with image size 3 x 2 , pixel size 0.500000\n" in capsys.readouterr().out


def test_switching_objectives_keeps_light_transport_as_it_was(engine, tmp_path, capsys):
    engine.load_mesh(cube(tmp_path, alpha=0.5))
    engine.load_rays(one_ray(tmp_path, (0.5, 0.5, 3), (0, 0, -1)))
    engine.set_solver_type("RK4")
    engine.set_objective("optical_path", {"output_file": str(tmp_path / "p.csv"), "datapoints_amount": 4})
    engine.config()
    engine.compute_volumetric_absorption()
    assert engine.get_image().shape == (0, 0, 3)
    assert (
        "Error: the image belongs to the render objective; the active objective is optical_path\n"
        in capsys.readouterr().out
    )
    engine.set_objective("light_transport")
    engine.config()
    capsys.readouterr()
    engine.compute_volumetric_absorption()
    assert capsys.readouterr().out == (
        "Warning: objective not configured yet!\n         -> using default outfilename out.vtu\n"
    )
    volumes = 1 / 8  # a unit cube's lumped nodal volume
    assert np.sum(engine.get_absorbed_power()) * volumes == pytest.approx(1 - math.exp(-0.5), rel=2e-3)
    assert engine.get_optical_path().size == 0
    assert (
        "the optical path belongs to the optical_path objective; the active objective is light_transport"
        in capsys.readouterr().out
    )


def test_path_through_three_elements(engine, tmp_path, capsys):
    alpha = 0.3
    engine.load_mesh(cube(tmp_path, nx=3, alpha=alpha))
    engine.load_rays(one_ray(tmp_path, (-2, 0.5, 0.5), (1, 0, 0)))
    engine.set_solver_type("RK4")
    engine.set_objective("optical_path", {"output_file": str(tmp_path / "path.csv"), "datapoints_amount": 10})
    engine.config()
    engine.compute_volumetric_absorption()
    capsys.readouterr()
    engine.write_result()
    assert capsys.readouterr().out == f"Results written to CSV file: {tmp_path / 'path_0.csv'}\n"
    assert (tmp_path / "path_0.csv").read_text().startswith("x,y,z,s,E\n")
    csv = np.genfromtxt(tmp_path / "path_0.csv", delimiter=",", names=True)
    path = engine.get_optical_path()
    assert path.dtype.names == ("x", "y", "z", "s", "E") == csv.dtype.names
    assert len(csv) == len(path) == 3
    for name in path.dtype.names:
        assert np.allclose(csv[name], path[name], rtol=1e-6, atol=0)
    # Exit points on the faces x = 1, 2, 3 (a step may end up to 0.0005 beyond a face).
    assert np.allclose(path["x"], [1, 2, 3], atol=6e-4)
    assert np.allclose(path["y"], 0.5) and np.allclose(path["z"], 0.5)
    assert np.all(np.diff(path["s"]) >= 0) and np.all(np.diff(path["E"]) <= 0)
    # Each exit may lie up to 0.0005 beyond its face, and the path length counts that part.
    assert np.allclose(path["s"], [1, 2, 3], atol=2e-3)
    assert np.allclose(path["E"], np.exp(-alpha * path["s"]), rtol=1e-3)

    # Fewer slots than elements: the first exits only; a second trace finds no free slot.
    engine.set_objective("optical_path", {"output_file": str(tmp_path / "short.csv"), "datapoints_amount": 2})
    engine.config()
    engine.compute_volumetric_absorption()
    engine.compute_volumetric_absorption()
    assert np.array_equal(engine.get_optical_path(), path[:2])


def test_path_bends_in_a_graded_index_block(engine, tmp_path, capsys):
    # n = n0 + k x; a ray entering at x0 going down -z. In the solvers' parameter sigma
    # p_z stays n(x0) and x(sigma) = -n0 / k + (x0 + n0 / k) cosh(k sigma).
    n0, k, x0, depth = 1.5, 0.01, 2.25, 10.0  # off the element boundary x = 2: no tie between faces
    points, cells = grid(4, 1, 10)
    write_vtk(
        tmp_path / "grin.vtk", points, cells, refractive_index=n0 + k * points[:, 0], absorptivity=np.zeros(len(points))
    )
    engine.load_mesh(str(tmp_path / "grin.vtk"))
    engine.load_rays(one_ray(tmp_path, (x0, 0.5, depth + 1), (0, 0, -1)))
    engine.set_solver_type("RK4")
    engine.set_objective("optical_path", {"output_file": str(tmp_path / "grin.csv"), "datapoints_amount": 50})
    engine.config()
    engine.compute_volumetric_absorption()
    path = engine.get_optical_path()
    assert len(path) == 10
    assert np.allclose(path["z"], np.arange(9, -1, -1), atol=6e-4)
    sigma = (depth - path["z"]) / (n0 + k * x0)
    exact = -n0 / k + (x0 + n0 / k) * np.cosh(k * sigma)
    assert np.max(np.abs(path["x"] - exact)) < 1e-3
    assert path["x"][-1] - x0 > 0.3  # far from the straight line
    assert np.all(np.diff(path["x"]) > 0)


def test_objectives_answer_the_tracer_interface_with_their_messages(tmp_path, capsys):
    from lumetra import _testing as t

    points, cells = grid(1, 1, 1)
    write_vtk(tmp_path / "c.vtk", points, cells)
    mesh = t.read_vtk(str(tmp_path / "c.vtk"))
    render, path = t.Tracer(0, 0), t.Tracer(1, 1)
    capsys.readouterr()
    render.config("x.bmp", 5)
    render.result_fields(mesh, np.zeros(8))
    render.get_result()
    render.reset_result()
    assert capsys.readouterr().out == (
        "Configuring with int size, not implemented for Render objective.\n"
        "Warning: result with field argument not implemented for Render objective.\n"
        "Error: hostPtr is nullptr in getResult\\n"
        "Warning: resetResult not implemented for this objective\n"
    )
    with pytest.raises(RuntimeError, match="the render objective has no image"):
        render.result(mesh)
    assert render.write_counter == 0

    path.config(str(tmp_path / "empty.csv"), 0)
    path.trace(t.Rays(1), mesh)
    path.result_fields(mesh, np.zeros(8))
    path.get_result()
    warning = (
        "Warning: result with field argument not implemented for OpticalPath objective. "
        "Calling result without field argument instead.\n"
    )
    assert capsys.readouterr().out == (
        warning + f"Results written to CSV file: {tmp_path / 'empty_0.csv'}\nError: hostPtr is nullptr in getResult\\n"
    )
    assert (tmp_path / "empty_0.csv").read_text() == "x,y,z,s,E\n"
    path.config(str(tmp_path / "none" / "p.csv"), 3)
    with pytest.raises(RuntimeError, match="cannot write"):
        path.result(mesh)
    assert capsys.readouterr().out == f"Error: Cannot open file {tmp_path / 'none' / 'p_1.csv'} for writing\n"
    assert path.write_counter == 1


def test_light_transport_address_and_ray_zero_survive_switches_and_batches(engine, tmp_path):
    """The result address a curing model holds stays valid across config() and objective
    switches, and the sampled path stays ray 0's when a long trace runs in batches."""
    engine.load_mesh(cube(tmp_path, nx=3, alpha=0.3))
    lines = ["600", "-2 0.5 0.5 1 0 0 1"] + [f"-2 {0.1 + 0.8 * k / 600} 0.2 1 0 0 1" for k in range(599)]
    (tmp_path / "many.ry").write_text("\n".join(lines) + "\n")
    engine.load_rays(str(tmp_path / "many.ry"))
    engine.set_objective("light_transport", {"output_file": str(tmp_path / "q.vtu")})
    engine.config()
    address = engine.get_result_array_device_ptr()
    engine.config()
    assert engine.get_result_array_device_ptr() == address
    engine.set_objective("optical_path", {"output_file": str(tmp_path / "p.csv"), "datapoints_amount": 20})
    engine.config()
    seen = []
    engine.compute_volumetric_absorption(progress=lambda done, total: seen.append(done))
    path = engine.get_optical_path()
    assert len(seen) > 1 and len(path) == 3  # batches, and ray 0's three exits only
    assert np.allclose(path["y"], 0.5) and np.allclose(path["z"], 0.5)
    engine.set_objective("light_transport")
    engine.config()
    engine.compute_volumetric_absorption()
    assert engine.get_result_array_device_ptr() == address
