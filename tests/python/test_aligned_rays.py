"""Beams aligned with a regular mesh: rays that run exactly in a face plane, along an edge or
through a line of nodes deposit what rays beside them deposit, and none of them is trapped."""

import numpy as np
import pytest

from lumetra import meshes

WIDTH = 1.0 / 8  # element width of both meshes near the axis
OFFSETS = [0.0, 1e-7, -1e-7, 1e-4, -1e-4]  # in element widths


def graded(x, y, z):
    return 1.4 + 0.1 * z  # along the rays: they stay in their planes


def aligned_rays(kind):
    """(position on the line at the top, direction, shift direction, grazing) per aligned
    line; rays grazing the wall are shifted inward only. The box and the vial share the face
    plane x = 0 and the node line on the axis."""
    down, slant = (0.0, 0.0, -1.0), (0.0, 0.5, -np.sqrt(0.75))
    lines = [
        ((0.0, 0.3 * WIDTH, 1), down, (1, 0, 0), False),  # in a face plane
        ((0.0, 0.3 * WIDTH, 1), slant, (1, 0, 0), False),  # in it, across its edges
        ((0.0, 0.0, 1), down, (1, 1, 0), False),  # through the nodes on the axis
        ((0.0, 2 * WIDTH, 0.5), (1.0, 0.0, 0.0), (0, 1, 1), False),
    ]  # along a row of edges
    if kind == "box":  # grazing the wall x = -0.5, along its face and along its edge
        lines += [((-0.5, 0.3 * WIDTH, 1), down, (1, 0, 0), True), ((-0.5, -0.5, 1), down, (1, 1, 0), True)]
    else:  # the vial's nodes on the x axis, out to the wall
        lines += [((3 * WIDTH + 0.02, 0.0, 1), down, (0, 1, 0), False), ((0.6, 0.0, 1), down, (-1, 1, 0), True)]
    return lines


def mesh_of(kind, index):
    if kind == "box":
        return meshes.box(8, 8, 10, size=(1, 1, 1), origin=(-0.5, -0.5, 0), refractive_index=index, absorptivity=1.2)
    # Core half-width 0.25 over 4 elements: the same element width on the axis.
    return meshes.vial(
        radius=0.6,
        height=1.0,
        n_core=4,
        n_radial=3,
        n_z=10,
        core_fraction=0.25 * np.sqrt(2) / 0.6,
        refractive_index=index,
        absorptivity=1.2,
    )


@pytest.mark.parametrize("kind", ["box", "vial"])
@pytest.mark.parametrize("index", [1.4, graded], ids=["uniform", "graded"])
@pytest.mark.parametrize("solver", ["FE", "RK4"])
def test_aligned_rays_deposit_what_rays_beside_them_deposit(kind, index, solver, tmp_path):
    import lumetra

    engine = lumetra.Lumetra()
    engine.load_mesh_arrays(*mesh_of(kind, index))
    lines, rays = aligned_rays(kind), []
    for start, direction, shift, grazing in lines:
        d, s = np.array(direction), np.array(shift, float)
        for offset in OFFSETS:
            p = np.array(start, float) + (abs(offset) if grazing else offset) * WIDTH * s / np.linalg.norm(s)
            rays.append([*(p - 2.0 * d), *d, 1.0])  # from outside the mesh
    n = len(rays)
    rays *= 3  # more than one launch block, so that several threads share the trace
    ray_file = tmp_path / "aligned.ry"
    ray_file.write_text(f"{len(rays)}\n" + "".join(" ".join(f"{v:.9g}" for v in r) + "\n" for r in rays))
    engine.load_rays(str(ray_file))
    engine.set_solver_type(solver)
    engine.config()
    engine.configure_outfilename(str(tmp_path / "r.vtu"))
    threads = lumetra.get_num_threads()
    try:
        # Several threads hold each ray's deposits for the next visit's shared nodes; one
        # thread adds every deposit as it comes: the same field up to the order of additions.
        lumetra.set_num_threads(3)
        engine.compute_volumetric_absorption()
        field = engine.get_absorbed_power()
        lumetra.set_num_threads(1)
        engine.reset_absorbed_power()
        engine.compute_volumetric_absorption()
    finally:
        lumetra.set_num_threads(threads)
    np.testing.assert_allclose(engine.get_absorbed_power(), field, rtol=1e-9, atol=1e-12 * field.max())
    summary = engine.get_trace_summary()
    assert summary["stopped_by_visit_limit"] == 0 and summary["unfinished_visits"] == 0
    assert summary["rays_entered"] == len(rays)
    absorbed = (1.0 - engine.get_ray_exit_power()[:n]).reshape(len(lines), len(OFFSETS))
    beside = absorbed[:, OFFSETS.index(1e-4)]
    assert np.all(beside > 0.05)
    rel = np.abs(absorbed - beside[:, None]) / beside[:, None]
    assert rel.max() < 1e-4, f"line, offset of the worst ray: {np.unravel_index(rel.argmax(), rel.shape)}, {rel}"
    if index == 1.4:
        # The vertical rays cross the unit height: Beer-Lambert in a uniform absorber.
        vertical = [i for i, line in enumerate(lines) if line[1] == (0.0, 0.0, -1.0)]
        assert np.allclose(absorbed[vertical], 1 - np.exp(-1.2), rtol=2e-5)
