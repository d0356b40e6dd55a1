"""Bad input at the engine and the mesh helpers is refused where it enters, naming the item,
and the engine keeps tracing exactly as before: values beyond single precision, a ray file
longer than its count, rays that start inside the mesh, colliding field names, names the file
system cannot hold, objective files, missing mesh files, a second thread during a trace, and
the generators' arguments."""

import contextlib
import io
import re
import threading

import numpy as np
import pytest

import lumetra
from lumetra import meshes
from meshes import grid, traced_slab


@pytest.fixture
def ready(tmp_path):
    """An engine that has traced a 2 x 2 x 3 slab from above once, and what it absorbed."""
    engine, absorbed, _, _ = traced_slab(tmp_path, configure=True)
    return engine, absorbed, tmp_path


def from_another_thread(call):
    """What call() raises when a second thread makes it, None if it returns."""
    caught = []

    def body():
        try:
            call()
        except Exception as error:  # noqa: BLE001
            caught.append(error)

    thread = threading.Thread(target=body)
    thread.start()
    thread.join(30)
    assert not thread.is_alive()
    return caught[0] if caught else None


def busy_during_trace(engine, call):
    """Runs call() from a second thread while the engine traces (from the trace's progress
    callback, when the trace has released the interpreter lock); returns what it raised."""
    seen = []
    engine.compute_volumetric_absorption(progress=lambda done, total: seen.append(from_another_thread(call)))
    assert seen
    return seen[0]


def written(path, text):
    path.write_text(text)
    return str(path)


def long_name(tmp_path):
    return str(tmp_path / ("r" * 300 + ".vtu"))


CASES = {
    "payload beyond float": (
        lambda e, d: e.set_ray_payloads([1e39, 0.5]),
        ValueError,
        r"ray payloads: item 0 is 1e\+39, beyond the engine's single precision",
    ),
    "index beyond float": (
        lambda e, d: e.set_refractive_index(np.full(e.get_node_count(), -1e39)),
        ValueError,
        r"refractive index: item 0 is -1e\+39, beyond",
    ),
    "ray file longer than its count": (
        lambda e, d: e.load_rays(written(d / "long.ry", "1\n0.5 0.5 5 0 0 -1 1\n1.5 1.5 5 0 0 -1 1 # one more\n")),
        RuntimeError,
        r"long.ry: the count line declares 1 rays, but the file holds 7 more number\(s\) after them "
        r"\(2 rays\)",
    ),
    "ray starting inside": (
        lambda e, d: (
            e.load_rays(written(d / "inside.ry", "2\n0.5 0.5 5 0 0 -1 1\n1.5 1.5 1.5 0 0 -1 1\n"))
            or e.compute_volumetric_absorption()
        ),
        RuntimeError,
        r"1 of 2 rays start inside the mesh \(the first, ray 1, at \(1.5, 1.5, 1.5\)\)",
    ),
    "appended name of the engine": (
        lambda e, d: e.write_result_append(np.ones((1, e.get_node_count())), ["RefractiveIndex"]),
        RuntimeError,
        r"field_names\[0\] 'RefractiveIndex' is a field the engine writes",
    ),
    "appended name twice": (
        lambda e, d: e.write_result_append(np.ones((2, e.get_node_count())), ["X", "X"]),
        RuntimeError,
        r"field_names\[1\] 'X' repeats field_names\[0\]",
    ),
    "name too long for the file system": (
        lambda e, d: e.configure_outfilename(long_name(d)) or e.write_result(),
        RuntimeError,
        "cannot write .*r{300}_0.vtu: File name too long",
    ),
    "empty output name": (lambda e, d: e.configure_outfilename(""), ValueError, "the output file name is empty"),
    "objective file not TOML": (
        lambda e, d: e.set_objective("optical_path", written(d / "o.toml", "output_file = out\n")),
        RuntimeError,
        r"o.toml: not valid TOML: .*line 1",
    ),
    "objective file name empty": (
        lambda e, d: e.set_objective(
            "render", {"output_file": "", "pixel_width": 4, "pixel_height": 4, "pixel_size": 0.1}
        ),
        RuntimeError,
        "'output_file' must name a file, not be empty",
    ),
    "mesh file missing": (
        lambda e, d: e.load_mesh(d / "missing.vtu"),
        RuntimeError,
        "^Mesh file .*missing.vtu: no such file$",
    ),
    "mesh file a folder": (lambda e, d: e.load_mesh(d), RuntimeError, "^Mesh file .*: is a folder, not a file$"),
    "another thread during a trace": (
        lambda e, d: busy_during_trace(e, lambda: e.load_mesh_arrays(*grid(1, 1, 1))),
        None,
        r"Lumetra.load_mesh_arrays: the engine is busy",
    ),
    "the progress callback itself": (
        lambda e, d: e.compute_volumetric_absorption(progress=lambda done, total: e.get_node_count()),
        RuntimeError,
        r"Lumetra.get_node_count: the engine is busy",
    ),
}


@pytest.mark.parametrize("case", CASES)
def test_refused_naming_the_item_and_the_engine_traces_as_before(ready, case):
    engine, before, tmp_path = ready
    call, kind, message = CASES[case]
    with contextlib.redirect_stdout(io.StringIO()):
        if kind is None:  # the error comes back from the other thread
            error = call(engine, tmp_path)
            assert isinstance(error, RuntimeError)
        else:
            with pytest.raises(kind, match=message) as info:
                call(engine, tmp_path)
            error = info.value
        assert re.search(message, str(error)), str(error)
        # Nothing written under a shortened name, in the folder or beside it.
        assert not [p for p in (*tmp_path.iterdir(), *tmp_path.parent.iterdir()) if p.name.startswith("r" * 100)]
        engine.load_rays(str(tmp_path / "beam.ry"))
        engine.configure_outfilename(str(tmp_path / "out.vtu"))
        engine.set_objective("light_transport")
        engine.config()
        engine.compute_volumetric_absorption()
    np.testing.assert_allclose(engine.get_absorbed_power(), before, rtol=1e-6)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: meshes.vial(n_core=12.5), r"vial: n_core must be a whole number of elements, not 12.5"),
        (lambda: meshes.vial(radius=-1), r"vial: radius must be a positive finite number, not -1"),
        (lambda: meshes.vial(radius=1e-30), r"vial: radius = 1e-30 is outside what single precision"),
        (lambda: meshes.box(2, 2, True), r"box: nz must be a whole number of elements, not True"),
        (lambda: meshes.merge_nodes(meshes.box(1, 1, 1), 0.0), r"merge_nodes: tolerance must be a positive finite"),
        (
            lambda: meshes.merge_nodes(
                meshes.box(1, 1, 1)._replace(
                    points=np.vstack([np.full((1, 3), np.nan), meshes.box(1, 1, 1).points[1:]])
                )
            ),
            r"merge_nodes: node 0 has a coordinate that is not finite",
        ),
    ],
)
def test_generator_arguments_are_refused_naming_them(call, message):
    with pytest.raises(ValueError, match=message):
        call()


# Rays down -z onto the 2 x 2 x 2 block [0, 2]^3: in a boundary face's plane, along a boundary
# edge, through the inner node line, in an inner face plane, and just off each.
ALIGNED = [
    (0.0, 0.5),
    (0.0, 0.0),
    (1.0, 1.0),
    (1.0, 0.5),
    (1e-4, 0.5),
    (1e-4, 1e-4),
    (1.0 + 1e-4, 1.0),
    (1.0 - 1e-4, 0.5),
]


@pytest.mark.parametrize("x, y", ALIGNED)
def test_aligned_rays_from_outside_trace_and_from_inside_are_refused(tmp_path, x, y):
    engine = lumetra.Lumetra()
    with contextlib.redirect_stdout(io.StringIO()):
        engine.load_mesh_arrays(*grid(2, 2, 2), refractive_index=np.full(27, 1.0), absorptivity=np.full(27, 0.5))
        engine.load_rays(written(tmp_path / "out.ry", f"1\n{x} {y} 3 0 0 -1 1\n"))
        engine.config()
        engine.compute_volumetric_absorption()
        assert engine.get_trace_summary()["power_absorbed"] == pytest.approx(1 - np.exp(-1.0), rel=1e-3)
        if x == 0.0:  # on the boundary itself a start is neither inside nor outside
            return
        engine.load_rays(written(tmp_path / "in.ry", f"1\n{x} {y} 1.5 0 0 -1 1\n"))
        with pytest.raises(RuntimeError, match=r"1 of 1 rays start inside the mesh"):
            engine.compute_volumetric_absorption()
