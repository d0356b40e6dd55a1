"""`lumetra run`: the default scenario end to end at a small size (files that real readers
read, curing where the light was absorbed and only there, a cured region that only grows, a
power balance that closes), scenario errors that name their key, --write-default, and a
sinogram from scikit-image that doses the resin where its picture is."""

import json
import os
import subprocess
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

import numpy as np
import pytest

from lumetra import scenario as scenarios

# The default scenario made small (its last two entries are the uniform beam).
SMALL = scenarios.SMALL


def lumetra_run(*args, cwd=None):
    env = dict(os.environ, OMP_NUM_THREADS="2")
    return subprocess.run(
        [sys.executable, "-m", "lumetra", "run", "--no-progress", *map(str, args)],
        capture_output=True,
        text=True,
        cwd=cwd,
        env=env,
        timeout=600,
    )


def test_version_names_the_installed_package_and_its_variant():
    import importlib.metadata

    import lumetra

    result = subprocess.run([sys.executable, "-m", "lumetra", "--version"], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout == f"lumetra {importlib.metadata.version('lumetra')} ({lumetra.backend})\n"
    assert lumetra.__version__ == importlib.metadata.version("lumetra")


def test_the_curing_settings_table_names_every_field_and_a_scenario_key_each():
    import curalis

    from lumetra import runner

    fields = {n for n in dir(curalis.CuralisProps()) if not n.startswith("_")}
    assert len(set(runner.CURALIS_SETTINGS)) == len(runner.CURALIS_SETTINGS)
    assert set(runner.CURALIS_SETTINGS) | {"dt"} == fields
    assert set(runner.CURALIS_SETTINGS) <= set(scenarios.SCHEMA["resin"])


@pytest.fixture(scope="module")
def default_run(tmp_path_factory):
    """The default scenario as --write-default writes it, run small."""
    tmp = tmp_path_factory.mktemp("run")
    written = lumetra_run("--write-default", tmp / "default.toml")
    assert written.returncode == 0, written.stderr
    result = lumetra_run(tmp / "default.toml", "--output", tmp / "out", *[f"--set={s}" for s in SMALL])
    assert result.returncode == 0, result.stdout + result.stderr
    with open(tmp / "out" / "summary.json") as f:
        summary = json.load(f)
    return tmp, result, summary


def read_frames(folder):
    meshio = pytest.importorskip("meshio")
    root = ET.parse(folder / "cure.pvd").getroot()
    assert root.tag == "VTKFile" and root.get("type") == "Collection"
    entries = [(float(d.get("timestep")), d.get("file")) for d in root.iter("DataSet")]
    return [(t, meshio.read(folder / name)) for t, name in entries]


def test_default_run_writes_readable_files_and_a_summary(default_run):
    tmp, result, summary = default_run
    out = tmp / "out"
    for label in ("rays", "elements", "steps", "wall time", "element visits", "cured volume", "power balance"):
        assert label in result.stdout, label
    assert summary["rays"] == 16 * 4 and summary["angles"] == 12 and summary["steps"] == 24
    assert summary["elements"] == (4 * 4 + 3 * 16) * 8 == len(read_frames(out)[0][1].cells_dict["hexahedron"])
    assert summary["element_visits"] > summary["rays"] * summary["steps"]
    frames = read_frames(out)
    assert [t for t, _ in frames] == [36.0, 72.0, 108.0, 144.0]  # every 6 steps of 6
    assert sorted(summary["files"]["vtu"]) == sorted(f"cure_{i}.vtu" for i in range(4))
    for _, mesh in frames:
        assert {"DegreeOfCuring", "Dose", "Oxygen"} <= set(mesh.point_data)
        assert len(mesh.points) == summary["nodes"]
    try:
        import matplotlib  # noqa: F401
    except ImportError:  # the figure is optional: skipped, and said so
        assert "figure" not in summary["files"] and "matplotlib is not installed" in result.stdout
    else:
        png = (out / "figure.png").read_bytes()
        assert png[:8] == b"\x89PNG\r\n\x1a\n" and int.from_bytes(png[16:20], "big") > 400  # IHDR width
    assert summary["scenario"]["mesh"]["n_z"] == 8  # the run records what it ran
    # The default wall, named with its face count (the vial's 16 x 8 wall faces).
    assert [(b["select"], b["faces"], b["fresnel"]) for b in summary["boundary"]] == [("wall", 16 * 8, "exact")]
    assert "boundary[0]    wall, 128 faces" in result.stdout


def test_default_run_cures_where_light_is_absorbed_growing_and_conserving_power(default_run):
    tmp, _, summary = default_run
    frames = read_frames(tmp / "out")
    last = frames[-1][1]
    z, r = last.points[:, 2], np.hypot(last.points[:, 0], last.points[:, 1])
    cure, dose = last.point_data["DegreeOfCuring"], last.point_data["Dose"]
    light = summary["scenario"]["light"]
    lit_band = np.abs(z - light["center"][2]) <= light["height"] / 2 + 10 / 8 + 1e-6  # beam plus one layer

    assert cure.max() >= 0.5 and summary["cured_fraction"] > 0
    # Cured where light was absorbed: radicals diffuse, so dark nodes next to lit ones cure a
    # little (the finite-element step spreads them over one element), and outside the beam
    # no more than a trace.
    assert np.all(cure[dose == 0] < 0.05) and np.all(dose[~lit_band] == 0) and np.all(cure[~lit_band] < 0.02)
    wall = r > 5 * (1 - 1e-5)
    assert np.all(cure[wall] < 0.5)  # air keeps the wall's oxygen up
    cured = cure >= 0.5
    assert r[cured].max() < r[lit_band & (dose > 0)].max()  # a central body, the tomographic overlap

    # The cured region only grows, node by node and in volume.
    cures = np.array([m.point_data["DegreeOfCuring"] for _, m in frames])
    assert np.all(np.diff(cures, axis=0) >= -1e-12)
    fraction = summary["history"]["cured_fraction"]
    assert np.all(np.diff(fraction) >= 0) and fraction[-1] == pytest.approx(summary["cured_fraction"])
    assert fraction[0] < fraction[-1]

    # Power: each trace's balance closes, and the dose field holds the energy the traces absorbed.
    p = summary["power"]
    assert p["relative_error"] < 1e-4
    assert p["power_entered"] == pytest.approx(p["power_absorbed"] + p["power_left"] + p["power_stopped"], rel=1e-4)
    assert 0 < p["power_absorbed"] < p["power_entered"] <= p["power_incident"] * (1 + 1e-6)
    import lumetra

    engine = lumetra.Lumetra()
    engine.load_mesh_arrays(last.points, last.cells_dict["hexahedron"])
    energy = float(dose @ engine.get_nodal_volumes())
    assert energy == pytest.approx(summary["dt"] * p["power_absorbed"], rel=1e-3)


def test_dose_model_mesh_and_ray_files_and_camera(tmp_path):
    meshio = pytest.importorskip("meshio")
    from lumetra import meshes

    tiny = ["time.steps=4", "time.dt=30", "output.every=4", "output.figure=false"]

    # The dose model: the degree of curing is the ramp of the dose the run summed itself.
    uniform = SMALL[-2:]
    result = lumetra_run(
        *[f"--set={s}" for s in SMALL[:5] + uniform + tiny],
        "--set",
        "resin.model=dose",
        "--set",
        "resin.dose_threshold=0.02",
        "--set",
        "resin.dose_full=0.2",
        "--output",
        tmp_path / "dose",
    )
    assert result.returncode == 0, result.stderr
    frame = meshio.read(tmp_path / "dose" / "cure_0.vtu")
    dose, cure = frame.point_data["Dose"], frame.point_data["DegreeOfCuring"]
    assert "Oxygen" not in frame.point_data
    ramp = np.clip((dose - 0.02) / (0.2 - 0.02), 0, 1)
    assert np.any((ramp > 0.1) & (ramp < 0.9)) and np.allclose(cure, ramp, atol=1e-5)

    # A mesh file, a ray file, a list of angles and two kinds of boundary condition.
    vial = meshes.vial(5.0, 10.0, 4, 2, 4)
    meshes.write(str(tmp_path / "vial.vtu"), vial)
    rays = np.array([[-8, 0.5, 5, 1, 0, 0, 0.25], [-8, -0.5, 5, 1, 0, 0, 0.25], [-8, 0, 2, 1, 0, 0, 0.5]])
    (tmp_path / "two.ry").write_text("3\n" + "\n".join(" ".join(map(str, r)) for r in rays) + "\n")
    (tmp_path / "file.toml").write_text(
        '[mesh]\nsource = "file"\nfile = "vial.vtu"\n'
        '[[boundary]]\nselect = "radial"\nradius_min = 4.99\nradius_max = 5.01\n'
        '[[boundary]]\nselect = "bbox"\nbbox = [-6, 6, -6, 6, -0.01, 0.01]\ninteraction = "reflect"\n'
        '[light]\nsource = "rays"\nfile = "two.ry"\nangles = [0, 90, 180]\n[time]\nsteps = 3\n'
        "[output]\nfigure = false\nevery = 3\n"
    )
    result = lumetra_run(tmp_path / "file.toml", "--output", tmp_path / "file")
    assert result.returncode == 0, result.stderr
    summary = json.loads((tmp_path / "file" / "summary.json").read_text())
    assert (summary["elements"], summary["rays"], summary["angles"]) == (len(vial.hexahedra), 3, 3)
    assert [(b["select"], b["interaction"]) for b in summary["boundary"]] == [
        ("radial", "transmit"),
        ("bbox", "reflect"),
    ]
    assert all(b["faces"] > 0 for b in summary["boundary"])
    # No condition at all, as the user guide says to ask for it.
    (tmp_path / "none.toml").write_text(
        'boundary = []\n[mesh]\nsource = "file"\nfile = "vial.vtu"\n[light]\n'
        'source = "rays"\nfile = "two.ry"\n[time]\nsteps = 1\n[output]\nfigure = false\n'
    )
    result = lumetra_run(tmp_path / "none.toml", "--output", tmp_path / "none")
    assert result.returncode == 0, result.stderr
    assert "boundary       none" in result.stdout
    assert json.loads((tmp_path / "none" / "summary.json").read_text())["boundary"] == []
    assert summary["power"]["power_incident"] == pytest.approx(3.0, rel=1e-6)
    frame = meshio.read(tmp_path / "file" / "cure_0.vtu")
    dose, z = frame.point_data["Dose"], frame.points[:, 2]
    assert np.all(dose[z > 5 + 2.5 + 1e-6] == 0) and dose[np.abs(z - 5) < 1e-6].max() > 0  # level rays

    # The camera: its power per step, all of it reaching the vial.
    result = lumetra_run(
        *[f"--set={s}" for s in SMALL[:3] + uniform + tiny],
        "--set",
        "light.source=camera",
        "--set",
        "light.power=2.0",
        "--output",
        tmp_path / "camera",
    )
    assert result.returncode == 0, result.stderr
    summary = json.loads((tmp_path / "camera" / "summary.json").read_text())
    assert summary["rays"] == 12 * 40
    assert summary["power"]["power_incident"] == pytest.approx(4 * 2.0, rel=1e-6)
    assert summary["power"]["power_missed"] == 0


BAD_SCENARIOS = [
    ("[mesh]\nradus = 3.0\n", "mesh.radus: unknown key"),
    ('[mesh]\nradius = "5"\n', "mesh.radius: expected a number, got string"),
    ("[mesh]\nn_z = 4.5\n", "mesh.n_z: expected an integer"),
    ("[mesh]\nn_z = 0\n", "mesh.n_z: must be >= 1"),
    ('[mesh]\nsource = "box"\nradius = 3.0\n', "mesh.radius: applies only when mesh.source is 'vial'"),
    ('[mesh]\nsource = "file"\n', "mesh.file: needed"),
    ('[resin]\nmodel = "dose"\nkoxygen = 1.0\n', "resin.koxygen: applies only when resin.model is 'curalis'"),
    ("[resin]\noxygen_dirichlet_face_ids = [1, 2.5]\n", "resin.oxygen_dirichlet_face_ids[1]: expected an integer"),
    ("[resin]\noxygen_dirichlet_all_boundary = 1\n", "resin.oxygen_dirichlet_all_boundary: expected true or false"),
    ("[light]\naxis = [0, 1]\n", "light.axis: expected 3 values"),
    ('[light]\nsource = "laser"\n', "light.source: must be one of"),
    ("[light]\ndirection = [0, 0, 1]\n", "light.direction: parallel to light.axis"),
    ("[light]\nangles = [0, 90]\nangle_step = 3.0\n", "light.angles: give either"),
    ('[optics]\nsolver = "rk4"\n', "optics.solver: must be one of"),
    ("[time]\ndt = nan\n", "time.dt: expected a finite number"),
    ('[[boundary]]\nselect = "bbox"\nbbox = [0, 1, 0, 1, 1, 0]\n', "boundary[0].bbox: a maximum is smaller"),
    ('[[boundary]]\nselect = "wall"\nroughnes = 0.1\n', "boundary[0].roughnes: unknown key"),
    ("[output]\nfolder = 3\n", "output.folder: expected a string, got integer"),
    ('[outputs]\nfolder = "x"\n', "outputs: unknown table"),
    ("time = 3\n", "time: expected a table"),
    ("[time\n", "not valid TOML"),
]


@pytest.mark.parametrize("text, message", BAD_SCENARIOS, ids=[m.split(":")[0] for _, m in BAD_SCENARIOS])
def test_scenario_errors_name_the_key(text, message):
    with pytest.raises(scenarios.ScenarioError) as error:
        scenarios.loads(text)
    assert message in str(error.value)


def test_errors_reach_the_command_line_and_inputs_are_checked_where_they_are_used(tmp_path):
    (tmp_path / "bad.toml").write_text("[light]\nrays_acros = 3\n")
    result = lumetra_run(tmp_path / "bad.toml")
    assert result.returncode == 2 and "light.rays_acros: unknown key" in result.stderr
    assert not (tmp_path / "lumetra-run").exists()

    result = lumetra_run("--set", "time.steps=two")
    assert result.returncode == 2 and "time.steps: expected an integer, got string 'two'" in result.stderr

    # Per-angle intensities: shape (angles, rays), read relative to the scenario file.
    np.save(tmp_path / "wrong.npy", np.ones((3, 7)))
    (tmp_path / "s.toml").write_text(
        '[light]\nintensities = "wrong.npy"\nangle_count = 3\nrays_across = 2\n'
        "rays_high = 2\n[mesh]\nn_core = 2\nn_radial = 1\nn_z = 2\n[time]\nsteps = 1\n"
    )
    result = lumetra_run(tmp_path / "s.toml", "--output", tmp_path / "o")
    assert result.returncode == 2
    assert "light.intensities" in result.stderr and "(3, 7)" in result.stderr and "(3, 4)" in result.stderr

    # Right shape: the intensities replace the beam's powers, angle by angle.
    powers = np.zeros((3, 4))
    powers[0] = [0.0, 1.0, 2.0, 0.0]
    np.save(tmp_path / "wrong.npy", powers)
    result = lumetra_run(tmp_path / "s.toml", "--output", tmp_path / "o", "--set", "time.steps=2")
    assert result.returncode == 0, result.stderr
    summary = json.loads((tmp_path / "o" / "summary.json").read_text())
    incident = summary["power"]["power_incident"] + summary["power"]["power_missed"]
    assert incident == pytest.approx(3.0, rel=1e-6)  # angle 0 carries 3 W, angle 1 nothing


def test_a_curing_step_that_fails_names_its_step_and_keeps_the_frames_written(tmp_path, monkeypatch):
    import curalis

    from lumetra import runner

    class Failing(curalis.Curalis):
        calls = 0

        def reaction_step(self, *args):
            Failing.calls += 1
            if Failing.calls == 8:
                raise RuntimeError("diffusion: refused")
            return super().reaction_step(*args)

    monkeypatch.setattr(curalis, "Curalis", Failing)
    s = scenarios.override(
        scenarios.default(), [*SMALL, "output.figure=false", f"output.folder={json.dumps(str(tmp_path))}"]
    )
    with pytest.raises(RuntimeError, match=r"^step 8: diffusion: refused$"):
        runner.run(s, progress=False)
    series = ET.parse(tmp_path / "cure.pvd").getroot()  # the frame of step 6
    assert [d.get("file") for d in series.iter("DataSet")] == ["cure_0.vtu"]


@pytest.mark.parametrize(
    "assignments, message",
    [
        (["light.rays_across=1000000000"], "light.rays_across x light.rays_high = 1000000000 x 12: 12000000000 rays"),
        (
            ["light.rays_across=100000", "light.rays_high=100000"],
            "light.rays_across x light.rays_high = 100000 x 100000: 10000000000 rays",
        ),
        (["mesh.n_core=100000"], "mesh: vial(n_core=100000, n_radial=6, n_z=16): 170044200017 nodes"),
    ],
)
def test_sizes_that_cannot_fit_end_the_run_with_one_line(tmp_path, assignments, message):
    result = lumetra_run(*[f"--set={a}" for a in assignments], "--output", tmp_path / "o")
    assert result.returncode == 2
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith(
        f"lumetra run: error in the scenario: {message} would need at least "
    ), result.stderr
    assert " GiB; the engine holds at most " in lines[0]


def test_write_default_round_trips_and_help_lists_every_key(default_run, capsys):
    tmp, _, summary = default_run
    written = (tmp / "default.toml").read_text()
    assert scenarios.load(tmp / "default.toml") == scenarios.default()
    assert (
        scenarios.override(scenarios.default(), SMALL + [f"output.folder={json.dumps(str(tmp / 'out'))}"])
        == summary["scenario"]
    )
    lines = written.splitlines()
    for i, line in enumerate(lines):  # every key is explained by the comment above it
        if "=" in line and not line.startswith("# ") and not line.startswith("["):
            assert lines[i - 1].startswith("# "), line
    again = lumetra_run("--write-default", tmp / "default.toml")
    assert again.returncode == 2 and "exists" in again.stderr
    assert (tmp / "default.toml").read_text() == written

    from lumetra import cli

    with pytest.raises(SystemExit) as exit_code:
        cli.main(["run", "--help"])
    assert exit_code.value.code == 0
    text = capsys.readouterr().out
    keys = [f"{table}.{key}" for table, schema in scenarios.SCHEMA.items() for key in schema]
    keys += [f"boundary.{key}" for key in scenarios.BOUNDARY]
    assert [k for k in keys if f"{k} = " not in text] == []
    guide = (Path(__file__).parents[2] / "docs" / "user-guide.md").read_text()
    defaults = {
        f"{table}.{key}": scenarios._toml_value(k.default)
        for table, schema in [*scenarios.SCHEMA.items(), ("boundary", scenarios.BOUNDARY)]
        for key, k in schema.items()
    }
    assert [k for k in keys if f"| `{k}` | `{defaults[k]}` |" not in guide] == []  # each key, its default


def test_a_sinogram_from_scikit_image_prints_where_the_target_is(tmp_path):
    """The user guide's recipe: radon(picture, theta) transposed, at light.angles = theta - 90,
    with the picture as imshow shows it seen from above (x right, y up), doses the resin
    where the picture is, not in a mirrored or turned copy."""
    meshio = pytest.importorskip("meshio")
    radon = pytest.importorskip("skimage.transform").radon
    from scipy.ndimage import map_coordinates

    n, p = 21, 8.0 / 21  # odd: skimage's centre pixel n // 2 sits on the vial axis
    c = n // 2
    row, col = np.mgrid[:n, :n]
    x, y = (col - c) * p, (c - row) * p
    disk = (x - 1.8) ** 2 + (y - 0.6) ** 2 < 1.0
    bar = (np.abs(x + 1.2) < 0.5) & (np.abs(y + 0.6) < 2.0)
    picture = (disk | bar).astype(float)
    # Angles off the multiples of 45 degrees: no ray runs along the vial mesh's grid lines.
    theta = 7.0 + 15.0 * np.arange(12)
    np.save(tmp_path / "projections.npy", radon(picture, theta).T)
    (tmp_path / "s.toml").write_text(
        "[mesh]\nn_core = 8\nn_radial = 4\nn_z = 4\n"
        "[[boundary]]\noutside_index = 1.48\n"  # index-matched: straight rays, as the radon transform assumes
        '[resin]\nmodel = "dose"\nn0 = 1.48\nn1 = 1.48\nalpha0 = 0.02\nalpha1 = 0.02\n'
        f"[light]\ncenter = [0.0, 0.0, 6.0]\nwidth = {n * p!r}\nheight = 0.2\nrays_across = {n}\nrays_high = 1\n"
        f'angles = [{", ".join(repr(float(a)) for a in theta - 90)}]\nintensities = "projections.npy"\n'
        f"[time]\nsteps = {len(theta)}\n[output]\nevery = {len(theta)}\nfigure = false\n"
    )
    result = lumetra_run(tmp_path / "s.toml", "--output", tmp_path / "out")
    assert result.returncode == 0, result.stderr

    frame = meshio.read(tmp_path / "out" / "cure_0.vtu")
    layer = np.abs(frame.points[:, 2] - 5.0) < 1e-6  # the node layer under the lit one
    nx, ny = frame.points[layer, 0], frame.points[layer, 1]
    dose = frame.point_data["Dose"][layer]

    def likeness(image):
        return np.corrcoef(dose, map_coordinates(image, [c - ny / p, c + nx / p], order=1))[0, 1]

    others = [np.rot90(picture, k) for k in (1, 2, 3)] + [np.rot90(picture[:, ::-1], k) for k in range(4)]
    assert likeness(picture) > 0.75
    assert likeness(picture) > max(likeness(o) for o in others) + 0.15
