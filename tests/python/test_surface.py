"""Placing rays on a curved mesh surface: the grid walk and the brute-force tracer agree."""

import numpy as np
import pytest

from meshes import annulus, rays_at, write_vtk


@pytest.fixture(scope="module")
def t():
    from lumetra import _testing

    return _testing


@pytest.fixture(scope="module")
def cylinder(t, tmp_path_factory):
    # Thin curved walls of many small faces: long grid walks past cells of small faces.
    points, cells = annulus(2, 160, 8, r_inner=1.0, r_outer=1.3, height=1.5)
    path = tmp_path_factory.mktemp("cyl") / "annulus.vtk"
    write_vtk(path, points, cells)
    return points, t.read_vtk(str(path))


def place(t, mesh, kind, positions, directions):
    rays = t.Rays(positions.shape[1])
    rays.set_positions(positions)
    rays.set_directions(directions)
    tracer = t.SurfaceTracer(kind)
    tracer.build(mesh)
    tracer.trace(rays, mesh)
    return rays


def test_grid_and_brute_force_agree_on_every_ray(t, cylinder, capsys):
    points, mesh = cylinder
    positions, directions = rays_at(points, 5000, seed=7)
    grid = place(t, mesh, 1, positions, directions)
    brute = place(t, mesh, 2, positions, directions)
    faces_grid, faces_brute = grid.start_faces()[0], brute.start_faces()[0]
    hits = faces_grid >= 0
    assert 0.3 < hits.mean() < 0.95, "the rays should both hit and miss the cylinder"
    assert np.array_equal(faces_grid, faces_brute)
    assert np.allclose(grid.positions(), brute.positions(), atol=1e-5)
    # Misses keep their position; hits moved forward along their direction onto the surface.
    assert np.array_equal(grid.positions()[:, ~hits], positions[:, ~hits])
    travelled = np.einsum("ij,ij->j", grid.positions() - positions, directions)
    assert np.all(travelled[hits] > 0)
    assert np.all(np.isfinite(grid.positions()))
    out = capsys.readouterr().out
    assert "Cell structure built:" in out and "Face grid occupancy:" in out


def test_placed_rays_lie_on_their_face(t, cylinder, capsys):
    points, mesh = cylinder
    positions, directions = rays_at(points, 2000, seed=11)
    rays = place(t, mesh, 1, positions, directions)
    faces = rays.start_faces()[0]
    hit = np.flatnonzero(faces >= 0)
    coords = mesh.node_coords().T
    corners = coords[mesh.face_nodes()[faces[hit]]]  # (hits, 4, 3)
    normals = mesh.face_normals().T[faces[hit]]
    p = rays.positions().T[hit]
    # Within the face's bilinear patch: close to the plane of its first three corners, and
    # inside its bounding box.
    distance = np.einsum("ij,ij->i", p - corners[:, 0], normals)
    assert np.max(np.abs(distance)) < 2e-3
    assert np.all(p >= corners.min(axis=1) - 1e-4) and np.all(p <= corners.max(axis=1) + 1e-4)


def test_ray_file_and_rotation_through_the_test_module(t, tmp_path, capsys):
    (tmp_path / "r.ry").write_text("# rays\n2 rays\n0 0 -5 0 0 1 0.5\n1 0 -5 0 0 2 0.5\n")
    rays = t.read_ray_file(str(tmp_path / "r.ry"))
    assert rays.n_rays == 2
    assert rays.directions()[:, 1].tolist() == [0, 0, 1]
    assert rays.seeds()[0].tolist()[0] == 0xE220A8397B1DCDAF
    with pytest.raises(RuntimeError, match="read 1 complete rays of the 3 declared"):
        (tmp_path / "short.ry").write_text("3\n0 0 0 0 0 1 1\n")
        t.read_ray_file(str(tmp_path / "short.ry"))
    with pytest.raises(RuntimeError, match="bad.ry: the ray count rays is not a valid count"):
        (tmp_path / "bad.ry").write_text("rays\n")
        t.read_ray_file(str(tmp_path / "bad.ry"))
    with pytest.raises(RuntimeError, match="^Failed to open file .*missing.ry: No such file"):
        t.read_ray_file(str(tmp_path / "missing.ry"))


def test_grid_over_far_apart_small_faces_stays_bounded(t, tmp_path, capsys):
    # Two cubes of 0.01 ten thousand of their sizes apart: cells as small as the faces would
    # number 1e12.
    small = np.array([[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0], [0, 0, 1], [1, 0, 1], [1, 1, 1], [0, 1, 1]]) * 1e-2
    points = np.vstack([small, small + 100.0])
    cells = np.array([list(range(8)), list(range(8, 16))])
    write_vtk(tmp_path / "far.vtk", points, cells)
    mesh = t.read_vtk(str(tmp_path / "far.vtk"))
    tracer = t.SurfaceTracer(1)
    tracer.build(mesh)
    nx, ny, nz = tracer.grid()["shape"]
    assert nx * ny * nz <= 1 << 24
    rays = t.Rays(2)
    rays.set_positions(np.array([[0.005, 100.005], [0.005, 100.005], [1, 101]], np.float32))
    rays.set_directions(np.array([[0, 0], [0, 0], [-1, -1]], np.float32))
    tracer.trace(rays, mesh)
    assert np.all(rays.start_faces()[0] >= 0)
