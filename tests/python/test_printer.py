"""The printer in the model: the fidelity metrics of a dose against a target, the exposure-time
window of good IoU, the gel-time map of a run, pattern images in the orientation they state,
and the projector models."""

import io
import json
import re

import numpy as np
import pytest
from lumetra import design, runner


# Nodes 0-2 inside the target, 3-4 outside, equal volumes.
# dose [4, 3, 2, 1, 0.5]: thresholds 4, 3, 2, 1, 0.5 give IoU 1/3, 2/3, 1, 3/4, 3/5: the best is 1 at
#   threshold 2, nothing misprinted (VER 0); the gap (2 - 1) / 2 = 0.5; IPDR (4 - 2) / 4 = 0.5;
#   in-part mean 3, standard deviation sqrt(2/3): spread sqrt(2/3) / 3.
# dose [4, 3, 1, 2, 0.5]: IoU 1/3, 2/3, 2/4, 3/4, 3/5: the best is 3/4 at threshold 1, where node 3
#   cures outside: VER 1/3; the gap (1 - 2) / 1 = -1; IPDR (4 - 1) / 4; in-part mean 8/3, squared
#   deviations (16 + 1 + 25) / 9 / 3 = 14/9: spread (sqrt(14) / 3) / (8 / 3) = sqrt(14) / 8.
@pytest.mark.parametrize(
    "dose, iou, threshold, ver, window, good, ipdr, spread",
    [
        ([4, 3, 2, 1, 0.5], 1.0, 2.0, 0.0, 0.5, [2.0, 2.0], 0.5, np.sqrt(2 / 3) / 3),
        ([4, 3, 1, 2, 0.5], 0.75, 1.0, 1 / 3, -1.0, None, 0.75, np.sqrt(14) / 8),
    ],
)
def test_fidelity_figures_on_a_fixed_dose(dose, iou, threshold, ver, window, good, ipdr, spread):
    inside = np.array([True, True, True, False, False])
    f = design.fidelity(np.array(dose, float), inside)
    assert f["iou_best"] == pytest.approx(iou) and f["best_threshold"] == threshold
    assert f["ver"] == pytest.approx(ver) and f["process_window"] == pytest.approx(window)
    assert f["good_iou_range"] == good
    assert f["ipdr"] == pytest.approx(ipdr) and f["dose_spread"] == pytest.approx(spread)
    # Volumes weigh the error: node 3 five times larger makes its misprint 5 / 3 of the target.
    if ver:
        assert design.voxel_error_rate(
            np.array(dose) >= threshold, inside, np.array([1, 1, 1, 5, 1.0])
        ) == pytest.approx(5 / 3)
    with pytest.raises(ValueError, match="target holds no node"):
        design.fidelity(np.array(dose, float), np.zeros(5, bool))


@pytest.mark.parametrize(
    "ious, expected",
    [([0.2, 0.91, 0.95, 0.5, 0.92, 0.93, 0.94], [5.0, 7.0]), ([0.2, 0.5], None), ([0.9, 0.95], [1.0, 2.0])],
)
def test_the_good_iou_window_is_the_longest_run_of_steps_at_or_above_0_9(ious, expected):
    assert runner.good_time_range(np.arange(1, len(ious) + 1, dtype=float), ious) == expected


SMALL_PRINT = """
[mesh]
radius = 2.0
height = 1.0
n_core = 6
n_radial = 4
n_z = 2
[resin]
model = "dose"
n0 = 1.48
n1 = 1.48
alpha0 = 0.05
alpha1 = 0.05
[light]
center = [0.0, 0.0, 0.5]
width = 4.2
height = 0.2
rays_across = 30
rays_high = 1
angle_count = 24
angle_step = 7.5
[time]
steps = 24
[output]
every = 12
folder = "{folder}"
[target]
source = "shape"
size = 1.6
height = 0.4
"""


def _point_field(vtu: str, name: str) -> np.ndarray:
    block = re.search(rf'Name="{name}"[^>]*>(.*?)</DataArray>', vtu, re.DOTALL)
    return np.array(block.group(1).split(), float)


def test_a_run_with_a_target_reports_its_fidelity_and_when_each_node_gels(tmp_path):
    from lumetra import scenario as scenarios

    s = scenarios.loads(SMALL_PRINT.format(folder=tmp_path / "out"))
    summary = runner.run(s, progress=False, stream=io.StringIO())
    t = summary["target"]
    assert summary["history"]["target_iou"][-1] == pytest.approx(t["iou"])
    assert set(t["dose"]) == {
        "iou_best",
        "best_threshold",
        "ver",
        "process_window",
        "good_iou_range",
        "ipdr",
        "dose_spread",
    }
    assert 0 <= t["dose"]["ver"] and t["ver"] == pytest.approx(
        (1 - t["target_cured_fraction"]) + t["cured_outside_volume"] / t["target_volume"]
    )
    # The dose model gels at output.cure_threshold: a node has a gel time in a frame exactly when it
    # is cured there, and no later than the frame's time; the gel times step with dt.
    assert runner.gel_point_of(s) == s["output"]["cure_threshold"]
    for frame, time in ((0, 12.0), (1, 24.0)):
        vtu = (tmp_path / "out" / f"cure_{frame}.vtu").read_text()
        gel, cure = _point_field(vtu, "GelTime"), _point_field(vtu, "DegreeOfCuring")
        np.testing.assert_array_equal(gel >= 0, cure >= s["output"]["cure_threshold"])
        assert (gel <= time).all() and (gel[gel >= 0] > 0).all() and (gel == runner.NOT_GELLED).any()
        assert np.allclose(gel, np.round(gel))
    assert json.loads((tmp_path / "out" / "summary.json").read_text())["target"]["dose"] == pytest.approx(t["dose"])


ONE_SHOT = """
[mesh]
radius = 2.0
height = 1.0
n_core = 6
n_radial = 4
n_z = 2
[resin]
model = "dose"
n0 = 1.48
n1 = 1.48
alpha0 = 0.2
alpha1 = 0.2
[light]
center = [0.0, 0.0, 0.5]
width = 4.0
height = 0.6
rays_across = 8
rays_high = 2
angle_count = 2
angle_step = 180.0
intensities = "{intensities}"
pattern_layout = "{layout}"
[time]
steps = 1
[output]
every = 1
figure = false
folder = "{folder}"
"""


def _write_patterns(folder, image, form):
    """Two angles, the image at the first (the only one run), black at the second."""
    stack = np.stack([image, np.zeros_like(image)])
    if form.startswith("npy"):
        layout = {"npy_rows_angles": "rows_angles_columns", "npy_sinogram": "columns_angles_rows"}.get(
            form, "angles_rows_columns"
        )
        # A sinogram (columns, angles, rows) counts its rows up the axis: the image turned upside down.
        arrays = {
            "rows_angles_columns": stack.transpose(1, 0, 2),
            "columns_angles_rows": stack[:, ::-1].transpose(2, 0, 1),
        }
        np.save(folder / "p.npy", arrays.get(layout, stack))
        return str(folder / "p.npy"), layout
    from PIL import Image

    (folder / "png").mkdir()
    for k, im in enumerate(stack):  # names sort as the angles: p_00, p_01
        Image.fromarray((im * 255).astype(np.uint8), mode="L").save(folder / "png" / f"p_{k:02d}.png")
    return (str(folder / "png") if form == "png_folder" else str(folder / "png" / "p_*.png")), "angles_rows_columns"


@pytest.mark.parametrize("form", ["npy_angles_rows", "npy_rows_angles", "npy_sinogram", "png_folder", "png_glob"])
def test_an_asymmetric_pattern_lights_the_resin_where_its_image_says(tmp_path, form):
    from lumetra import scenario as scenarios

    # Direction +x, axis +z: the columns run along -(z x x) = -y to +y, so column 1 of 8 lights
    # y < 0; row 0 is the top, z above the centre.
    image = np.zeros((2, 8))
    image[0, 1] = 1.0
    path, layout = _write_patterns(tmp_path, image, form)
    s = scenarios.loads(ONE_SHOT.format(intensities=path, layout=layout, folder=tmp_path / "out"))
    runner.run(s, progress=False, stream=io.StringIO())
    vtu = (tmp_path / "out" / "cure_0.vtu").read_text()
    dose = _point_field(vtu, "Dose")
    points = np.array(
        re.search(r"<Points>\s*<DataArray[^>]*>(.*?)</DataArray>", vtu, re.DOTALL).group(1).split(), float
    ).reshape(-1, 3)
    # The column spans -1.5 < y < -1 where it enters; refraction at the vial bends it inwards.
    assert dose[points[:, 1] < 0].sum() > 5 * dose[points[:, 1] > 0].sum() + 1e-12
    assert dose[points[:, 2] > 0.9].sum() > 3 * dose[points[:, 2] < 0.1].sum()


def test_pattern_files_that_cannot_be_used_say_why(tmp_path):
    from lumetra import patterns

    with pytest.raises(
        ValueError,
        match=r"light.intensities: p holds images of 3 x 8 pixels .*rays_high x "
        r"light.rays_across = 2 x 8",
    ):
        patterns.to_rays(np.zeros((2, 3, 8)), "p", "angles_rows_columns", 2, 8)
    # A sinogram of 8 columns, 2 angles, 3 rows: the same grid, reported in rows x columns.
    with pytest.raises(ValueError, match=r"3 x 8 pixels \(rows x columns, layout columns_angles_rows\)"):
        patterns.to_rays(np.zeros((8, 2, 3)), "p", "columns_angles_rows", 2, 8)
    # A toolbox's pickled sinogram is never unpickled, whatever it holds.
    (tmp_path / "s.sino").write_bytes(b"\x80\x04K\x01.")
    with pytest.raises(ValueError, match=r"s.sino is a pickled sinogram.*np.save\(path, sino.array\)"):
        patterns.load_npy(str(tmp_path / "s.sino"))


def _beam(**light):
    from lumetra import scenario as scenarios

    base = {"center": [0.0, 0.0, 0.0], "rays_across": 4, "rays_high": 3, "start_distance": 5.0}
    return scenarios.check({"light": {**base, **light}})["light"]


def test_the_telecentric_projector_is_the_beam_of_its_pixel_grid():
    np.testing.assert_array_equal(
        runner.beam_rays(_beam(projector="telecentric", pixel_pitch=0.5)),
        runner.beam_rays(_beam(width=2.0, height=1.5)),
    )


@pytest.mark.parametrize("focus", [0.0, 1.5])
def test_a_lens_projectors_spot_widens_away_from_its_focal_plane(focus):
    light = _beam(projector="lens", aperture=3.0, focus=focus, rays_per_pixel=19, rays_across=1, rays_high=1)
    rays = runner.beam_rays(light)
    assert rays.shape == (19, 7) and rays[:, 6].sum() == pytest.approx(light["power"])
    start_x = rays[0, 0]
    widths = []
    for z in (-2.0, -1.0, 0.0, 1.0, 2.0):  # distance from the focal plane along the beam (+x)
        s = (focus + z - rays[:, 0]) / rays[:, 3]
        hit = rays[:, :3] + s[:, None] * rays[:, 3:6]
        widths.append(np.ptp(hit[:, 1:], axis=0).max())
    # The spot is a point at focus and 2 |z| tan(3 deg) across (the outermost ray of the cone
    # sits just inside the rim), the same on both sides.
    assert widths[2] < 1e-12 and start_x == pytest.approx(-5.0)
    for z, w in zip((-2.0, -1.0, 1.0, 2.0), (widths[0], widths[1], widths[3], widths[4])):
        assert 0.8 * 2 * abs(z) * np.tan(np.radians(3.0)) < w <= 2 * abs(z) * np.tan(np.radians(3.0)) + 1e-12


SLAB_IN_MM = """
boundary = []
[units]
length = "mm"
time = "s"
[mesh]
source = "box"
size = [10.0, 2.0, 2.0]
cells = [40, 4, 4]
origin = [-5.0, -1.0, -1.0]
[resin]
model = "dose"
n0 = 1.5
n1 = 1.5
alpha0 = 0.1
alpha1 = 0.1
dose_threshold = 1e6
dose_full = 2e6
[light]
center = [0.0, 0.0, 0.0]
width = 2.0
height = 2.0
rays_across = 16
rays_high = 16
irradiance = 20.0
angle_count = 1
[time]
dt = 2.0
steps = 5
[output]
every = 5
figure = false
folder = "{folder}"
"""


def test_a_slab_in_mm_and_s_takes_the_beer_lambert_dose_in_mj_per_cm3(tmp_path):
    """20 mW/cm^2 on the 2 mm x 2 mm face (0.04 cm^2: 0.8 mW, 1/256 of it per pixel) of a slab
    with extinction 0.1 per mm (1 per cm), for 5 steps of 2 s: at depth x the dose is
    20 mW/cm^2 x 1 /cm x exp(-x / 1 cm) x 10 s = 200 exp(-x / 1 cm) mJ/cm^3."""
    from lumetra import scenario as scenarios
    from lumetra import units

    s = scenarios.loads(SLAB_IN_MM.format(folder=tmp_path / "out"))
    assert units.beam_power(s["light"], units.length_cm(s)) == pytest.approx(0.8)
    assert units.irradiance_of(dict(s["light"], intensities="p.npy"), 0.8 / 256, 0.1) == pytest.approx(20.0)
    assert units.dose_factor(s) == 1000.0 and units.dose_factor(
        {"units": {"length": "um", "time": "ms"}}
    ) == pytest.approx(1e9)
    stream = io.StringIO()
    summary = runner.run(s, progress=False, stream=stream)
    assert summary["power"]["power_entered"] == pytest.approx(5 * 0.8, rel=1e-6)
    vtu = (tmp_path / "out" / "cure_0.vtu").read_text()
    dose = _point_field(vtu, "Dose")
    points = np.array(
        re.search(r"<Points>\s*<DataArray[^>]*>(.*?)</DataArray>", vtu, re.DOTALL).group(1).split(), float
    ).reshape(-1, 3)
    depth = points[:, 0] + 5.0
    inner = (np.abs(points[:, 1:]) < 0.99).all(axis=1) & (depth > 0.01) & (depth < 9.99)
    np.testing.assert_allclose(dose[inner], 200.0 * np.exp(-depth[inner] / 10.0), rtol=1e-3)
    u = summary["units"]
    assert u["irradiance_mW_per_cm2"] == pytest.approx(20.0) and u["pixel_power_mW"] == pytest.approx(0.8 / 256)
    assert u["dose_mJ_per_cm3"]["max"] == pytest.approx(dose.max()) and u["exposure_s"] == 10.0
    assert "irradiance 20 mW/cm^2 (0.003125 mW per pixel), exposure 10 s" in runner.format_summary(summary, "out")
    assert summary["scenario"]["light"]["irradiance"] == 20.0  # the scenario as written


def test_a_print_in_minutes_and_mj_per_cm3_runs_as_the_same_print_without_units(tmp_path):
    """One unit of dose-time in min over mm^3 is 60 / 0.001 mJ/cm^3: thresholds scaled by it
    give the engine the same numbers, so the same print; its print time is the start of the
    IoU >= 0.9 window, in s."""
    from lumetra import scenario as scenarios

    plain = runner.run(scenarios.loads(SMALL_PRINT.format(folder=tmp_path / "a")), progress=False, stream=io.StringIO())
    timed = SMALL_PRINT.format(folder=tmp_path / "b").replace(
        'model = "dose"', 'model = "dose"\ndose_threshold = 9000.0\ndose_full = 18000.0'
    )
    s = scenarios.loads('[units]\nlength = "mm"\ntime = "min"\n' + timed)
    summary = runner.run(s, progress=False, stream=io.StringIO())
    # Equal up to the order of the trace's additions, which threads may change.
    for key, values in plain["history"].items():
        assert summary["history"][key] == pytest.approx(values, rel=1e-6, abs=1e-12), key
    d = summary["units"]["dose_mJ_per_cm3"]
    assert d["best_threshold"] == pytest.approx(60000.0 * plain["target"]["dose"]["best_threshold"])
    assert d["target_min"] <= d["best_threshold"] <= d["max"]
    # The print time: the IoU >= 0.9 window opens at step time 3 (min), 180 s.
    from lumetra import units

    window = {"good_time_range": [3.0, 5.0], "dose": {"best_threshold": 0.5}}
    u = units.report(s, np.array([0.5, 0.2]), np.array([True, False]), None, window)
    assert u["print_time_s"] == 180.0 and u["dose_mJ_per_cm3"]["max"] == 30000.0
    assert "print time     180 s" in "\n".join(units.summary_lines(u))
    assert (
        units.report(s, np.zeros(2), np.array([True, False]), None, {"good_time_range": None})["print_time_s"] is None
    )


@pytest.mark.parametrize(
    "text, message",
    [
        ('[units]\nlength = "inch"\ntime = "s"', r"units.length: must be one of 'none', 'mm', 'cm', 'um', got 'inch'"),
        ('[units]\nlength = "mm"', r"units.time: needed with units.length = 'mm'"),
        ('[units]\nlength = "mm"\ntime = "s"\n[light]\nirradiance = 0.0', r"light.irradiance: must be > 0 mW/cm\^2"),
        ('[units]\nlength = "mm"\ntime = "s"\n[light]\nirradiance = -5.0', r"light.irradiance: must be >= 0"),
        ("[light]\nirradiance = 5.0", r"light.irradiance: needs \[units\]"),
        ('[units]\nlength = "mm"\ntime = "s"\n[light]\nirradiance = 5.0\npower = 2.0', "either light.irradiance or"),
    ],
)
def test_units_that_cannot_be_used_are_refused_by_name(text, message):
    from lumetra import scenario as scenarios

    with pytest.raises(scenarios.ScenarioError, match=message):
        scenarios.loads(text)
