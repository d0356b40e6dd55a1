"""Bad input at `lumetra run` and `lumetra sweep` ends with one line that names the file, key
or option (or runs with a visible warning and a sound result): scenario files, input arrays
and ray files, mesh files with other cells, a block wider than the default beam distance,
oxygen boundaries, sweeps, generator arguments, empty names, and Ctrl-C."""

import json
import os
import re
import signal
import subprocess
import sys
import time
import xml.etree.ElementTree as ET

import numpy as np
import pytest

# A small block lit from -x by a 2 x 2 beam, one curing step.
BLOCK = (
    '[mesh]\nsource = "box"\ncells = [3, 3, 3]\nsize = [30.0, 30.0, 30.0]\norigin = [-15.0, -15.0, -15.0]\n'
    '[[boundary]]\nselect = "all"\n[light]\nrays_across = 2\nrays_high = 2\ncenter = [0.0, 0.0, 0.0]\n'
    "angle_count = 1\n[time]\nsteps = 1\n[output]\nfigure = false\n"
)


def lumetra(command, *args, cwd):
    env = dict(os.environ, OMP_NUM_THREADS="1")
    quiet = ["--no-progress"] if command == "run" else []
    return subprocess.run(
        [sys.executable, "-m", "lumetra", command, *quiet, *map(str, args)],
        capture_output=True,
        text=True,
        cwd=cwd,
        env=env,
        timeout=300,
    )


def interruptible():
    """Ctrl-C reaches the child as KeyboardInterrupt even when this process ignores it (a
    background job): Python installs its handler only over the default disposition."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def scenario(tmp, text=BLOCK, name="s.toml", encoding="utf-8"):
    (tmp / name).write_bytes(text.encode(encoding))
    return tmp / name


def written(path, text):
    path.write_text(text)
    return path


def npy(tmp, name, values, cut=None):
    np.save(tmp / name, values)
    if cut is not None:
        (tmp / name).write_bytes((tmp / name).read_bytes()[:cut])
    return f'intensities = "{name}"\n'


def with_light(lines):
    return BLOCK.replace("[light]\n", "[light]\n" + lines)


def mixed_mesh(tmp):
    meshio = pytest.importorskip("meshio")
    from lumetra import meshes

    box = meshes.box(2, 2, 2, size=(4, 4, 4), origin=(-2, -2, 0))
    tetra = np.array([[0, 1, 3, 9], [1, 2, 5, 11]])
    meshio.write(tmp / "mixed.vtu", meshio.Mesh(box.points, [("hexahedron", box.hexahedra), ("tetra", tetra)]))
    return (
        '[mesh]\nsource = "file"\nfile = "mixed.vtu"\n[[boundary]]\nselect = "all"\n[light]\nrays_across = 2\n'
        "rays_high = 2\nangle_count = 1\ncenter = [0.0, 0.0, 2.0]\nwidth = 2.0\nheight = 2.0\n[time]\nsteps = 2\n"
        "[output]\nfigure = false\n"
    )


# name: (files to write -> scenario text or None, command, arguments, exit status, lines expected on the
# terminal; for a run that succeeds, stdout, else the single line on stderr)
CASES = {
    "latin-1 scenario": (
        lambda t: scenario(t, "# 5 \u00b5m\n" + BLOCK, encoding="latin-1") and None,
        "run",
        ["s.toml"],
        2,
        r"s.toml: not UTF-8 text \(byte 0xb5 at position 4\); save the scenario as",
    ),
    "truncated npy": (
        lambda t: scenario(t, with_light(npy(t, "i.npy", np.ones((1, 4)), cut=0))) and None,
        "run",
        ["s.toml"],
        2,
        r"light.intensities: cannot read .*i.npy: the file is empty or cut short",
    ),
    "npz archive": (
        lambda t: (
            np.savez(t / "i.npz", a=np.ones((1, 4))) or scenario(t, with_light('intensities = "i.npz"\n')) and None
        ),
        "run",
        ["s.toml"],
        2,
        r"light.intensities: .*i.npz is an archive of arrays \(a\), not one array",
    ),
    "intensities beyond float": (
        lambda t: scenario(t, with_light(npy(t, "i.npy", np.full((1, 4), 1e39)))) and None,
        "run",
        ["s.toml"],
        2,
        r"i.npy holds 1e\+39 at \(angle, ray\) = \(0, 0\); the engine "
        r"keeps ray powers in single precision",
    ),
    "beam power beyond float": (
        lambda t: None,
        "run",
        ["--set", "light.power=1e39"],
        2,
        r"light.power: must be <= 3.40282e\+38, got 1e\+39",
    ),
    "ray file longer than its count": (
        lambda t: (
            written(t / "r.ry", "1\n-20 0 0 1 0 0 1\n-20 1 0 1 0 0 1\n")
            and scenario(
                t,
                BLOCK.replace(
                    "rays_across = 2\nrays_high = 2\ncenter = [0.0, 0.0, 0.0]\n", 'source = "rays"\nfile = "r.ry"\n'
                ),
            )
            and None
        ),
        "run",
        ["s.toml"],
        1,
        r"r.ry: the count line declares 1 rays, but the file "
        r"holds 7 more",
    ),
    "mesh with tetrahedra": (
        lambda t: scenario(t, mixed_mesh(t)) and None,
        "run",
        ["s.toml"],
        0,
        r"^engine: Warning: skipped cells that are not hexahedra: 2 of type tetra$",
    ),
    "beam starting inside the block": (
        lambda t: scenario(t, with_light("start_distance = 10.0\n")) and None,
        "run",
        ["s.toml"],
        1,
        r"4 of 4 rays start inside the mesh",
    ),
    "oxygen group counted from 1": (
        lambda t: scenario(t, BLOCK + "[resin]\noxygen_dirichlet_bc_groups = [1]\n") and None,
        "run",
        ["s.toml"],
        2,
        r"resin.oxygen_dirichlet_bc_groups\[0\]: 1 is not a \[\[boundary\]\] table: "
        r"there is 1, counted from 0",
    ),
    "oxygen face id beyond the mesh": (
        lambda t: scenario(t, BLOCK + "[resin]\noxygen_dirichlet_face_ids = [1000000]\n") and None,
        "run",
        ["s.toml"],
        1,
        r"oxygen_dirichlet_face_ids\[0\] = 1000000 is not a boundary face of this mesh "
        r"\(it has 54",
    ),
    "tiny vial": (
        lambda t: None,
        "run",
        ["--set", "mesh.radius=1e-30"],
        2,
        r"error in the scenario: mesh: vial: radius = 1e-30 is outside what single precision",
    ),
    "empty output": (
        lambda t: None,
        "run",
        ["--output", ""],
        2,
        r"^lumetra run: error: --output: the folder name is "
        r"empty$",
    ),
    "empty default file": (
        lambda t: None,
        "run",
        ["--write-default", ""],
        2,
        r"--write-default: the file name is empty",
    ),
    "sweep key twice": (
        lambda t: scenario(t) and None,
        "sweep",
        ["s.toml", "--vary", "time.dt=1,2", "--vary", "time.dt=3,4"],
        2,
        r"--vary time.dt: given twice; list all its values in one --vary",
    ),
    "sweep varying its folder": (
        lambda t: scenario(t) and None,
        "sweep",
        ["s.toml", "--vary", "output.folder=a,b"],
        2,
        r"--vary output.folder: every variant goes into variant_N",
    ),
    "sweep into a file": (
        lambda t: scenario(t) and (t / "taken").write_text("") and None,
        "sweep",
        ["s.toml", "--vary", "time.dt=1,2", "--output", "taken"],
        2,
        r"^lumetra sweep: error: output folder taken: File exists$",
    ),
}


@pytest.mark.parametrize("case", CASES)
def test_bad_input_ends_with_one_line_naming_it(tmp_path, case):
    write, command, args, status, expected = CASES[case]
    write(tmp_path)
    result = lumetra(command, *args, cwd=tmp_path)
    assert result.returncode == status, result.stdout + result.stderr
    if status == 0:
        lines = [line for line in result.stdout.splitlines() if line.startswith("engine: ")]
        assert len(lines) == 1 and re.match(expected, lines[0]), result.stdout
        log = (tmp_path / "lumetra-run" / "engine.log").read_text()
        assert lines[0].removeprefix("engine: ") in log  # the whole log stays in the file
        summary = json.loads((tmp_path / "lumetra-run" / "summary.json").read_text())
        assert summary["elements"] == 8 and summary["power"]["relative_error"] < 1e-4
    else:
        assert len(result.stderr.splitlines()) == 1, result.stderr
        assert re.search(expected, result.stderr), result.stderr
    # Nothing ran for a refusal found before the run.
    if status == 2 and command == "sweep":
        assert not list(tmp_path.glob("**/variant_*"))


def test_default_beam_starts_outside_a_block_wider_than_its_old_distance(tmp_path):
    # 30 units of resin with absorptivity 0.05 along the beam: 1 - exp(-1.5) of what entered.
    scenario(tmp_path, BLOCK + '[resin]\nmodel = "dose"\n[optics]\nsolver = "RK4"\n')
    result = lumetra("run", "s.toml", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    power = json.loads((tmp_path / "lumetra-run" / "summary.json").read_text())["power"]
    assert power["power_absorbed"] / power["power_entered"] == pytest.approx(1 - np.exp(-1.5), rel=0.02)


def test_a_failing_variant_is_a_row_and_the_sweep_goes_on(tmp_path):
    np.save(tmp_path / "good.npy", np.ones((1, 4)))
    (tmp_path / "bad.npy").write_bytes(b"")
    scenario(tmp_path)
    result = lumetra("sweep", "s.toml", "--vary", "light.intensities=good.npy,bad.npy", "--output", "sw", cwd=tmp_path)
    assert result.returncode == 1
    rows = (tmp_path / "sw" / "sweep.csv").read_text().splitlines()
    assert len(rows) == 3 and rows[1].endswith(",") and "cannot read" in rows[2] and "cut short" in rows[2]


def test_ctrl_c_ends_the_run_with_130_and_closes_what_was_written(tmp_path):
    scenario(tmp_path, BLOCK.replace("steps = 1", "steps = 2000").replace("[output]\n", "[output]\nevery = 1\n"))
    env = dict(os.environ, OMP_NUM_THREADS="1")
    run = subprocess.Popen(
        [sys.executable, "-m", "lumetra", "run", "--no-progress", "s.toml"],
        cwd=tmp_path,
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        preexec_fn=interruptible,
    )
    try:
        deadline = time.time() + 120
        while not (tmp_path / "lumetra-run" / "cure_2.vtu").exists() and time.time() < deadline:
            time.sleep(0.1)
        run.send_signal(signal.SIGINT)
        out, err = run.communicate(timeout=120)
    finally:
        run.kill()
    assert run.returncode == 130, err
    assert len(err.splitlines()) == 1 and err.startswith("lumetra run: interrupted after step "), err
    summary = json.loads((tmp_path / "lumetra-run" / "summary.json").read_text())
    assert summary["interrupted"] and 3 <= summary["steps_done"] < 2000
    assert len(summary["history"]["time"]) == summary["steps_done"]
    frames = [d.get("file") for d in ET.parse(tmp_path / "lumetra-run" / "cure.pvd").getroot().iter("DataSet")]
    assert frames == summary["files"]["vtu"] and len(frames) >= 3
    assert all((tmp_path / "lumetra-run" / f).stat().st_size > 0 for f in frames)


def test_engine_warnings_reach_the_terminal_once_with_their_count_and_the_log_keeps_all():
    import io
    from lumetra import runner

    log, terminal = io.StringIO(), io.StringIO()
    engine_log = runner._EngineLog(log, terminal)
    for text in (
        "Reading mesh\nWarning: 3 rays stopped",
        " inside an element\n",
        "Warning: 3 rays stopped inside an element\nError: no trace computed yet!\n",
    ):
        engine_log.write(text)
    assert terminal.getvalue() == (
        "engine: Warning: 3 rays stopped inside an element\nengine: Error: no trace computed yet!\n"
    )
    assert engine_log.repeats() == ["engine: 2 times in all: Warning: 3 rays stopped inside an element"]
    assert log.getvalue().count("Warning") == 2 and log.getvalue().startswith("Reading mesh\n")
