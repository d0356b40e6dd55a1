"""Pattern design against straight-ray filtered back-projection, through a vial in air and
an index-matched one, and the time of a design.

    python bench/design.py                 every case (about five minutes on 2 cores)
    python bench/design.py --case timing   only the timing of ~100 angles x 100 rays
    python bench/design.py --case cure     the cure passes with n1 - n0 = 0.04 (dose model, curalis)

Each case prints one line: the IoU at the best dose threshold of the back-projection's
patterns (skimage's radon transform of the target, ramp-filtered, clipped at 0) and of the
designed ones, both traced through the same optics; and the IoU that `lumetra run` of the
written design.toml reports (dose model, n1 = n0, so the cure is the dose above one level).
"""

from __future__ import annotations

import argparse
import json
import math
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import lumetra
from lumetra import design, scenario as scenarios


def ramp_filtered_sinogram(picture: np.ndarray, theta: np.ndarray) -> np.ndarray:
    """radon(picture, theta) filtered along the detectors by the ramp |f|, negatives set to 0:
    what a straight-ray tomographic printer projects, shape (detectors, angles)."""
    from skimage.transform import radon

    sinogram = radon(picture, theta)
    n = sinogram.shape[0]
    size = max(64, 2 ** math.ceil(math.log2(2 * n)))
    ramp = 2 * np.abs(np.fft.fftfreq(size))
    filtered = np.real(np.fft.ifft(np.fft.fft(sinogram, size, axis=0) * ramp[:, None], axis=0))[:n]
    return np.maximum(filtered, 0.0)


def vial_scenario(
    outside_index: float,
    rays: int,
    angles: int,
    span: float,
    rays_high: int = 1,
    target_height: float = 0.4,
    mesh: tuple[int, int, int] = (16, 10, 4),
) -> dict:
    radius, height = 5.0, 2.0
    width = 2 * radius * rays / (rays - 1)  # the outermost rays graze the wall
    return scenarios.check(
        {
            "mesh": {"radius": radius, "height": height, "n_core": mesh[0], "n_radial": mesh[1], "n_z": mesh[2]},
            "boundary": [{"select": "wall", "outside_index": outside_index}],
            "resin": {"model": "dose", "n0": 1.48, "n1": 1.48, "alpha0": 0.02, "alpha1": 0.02},
            "light": {
                "center": [0.0, 0.0, 1.0],
                "width": width,
                "height": 0.2 if rays_high == 1 else 1.0,
                "rays_across": rays,
                "rays_high": rays_high,
                "angle_count": angles,
                "angle_step": span / angles,
            },
            "time": {"steps": angles},
            "output": {"every": 0, "figure": False},
            "target": {"source": "shape", "shape": "disk_bar_foot", "size": 3.5, "height": target_height},
            "design": {"iterations": 40},
        }
    )


def back_projection_iou(scenario: dict, folder: Path) -> float:
    """IoU at the best threshold of the ramp-filtered sinogram of the target, through the optics."""
    light = scenario["light"]
    n = light["rays_across"]
    p = light["width"] / n
    c = n // 2
    row, col = np.mgrid[:n, :n]
    picture = design.builtin_shape(
        scenario["target"]["shape"], (col - c) * p, (c - row) * p, scenario["target"]["size"]
    ).astype(float)
    theta = np.asarray(design.angles_of(light)) + 90.0
    patterns = np.tile(ramp_filtered_sinogram(picture, theta).T, (1, light["rays_high"]))
    with open(folder / "fbp.log", "w", encoding="utf-8") as log:
        engine, mesh = design.open_engine(scenario, log, folder)
        inside = design.target_values(scenario, mesh.points) >= 0.5
        dose = design.DoseMap.from_scenario(engine, scenario).forward(patterns)
        return design.best_threshold(dose, inside, engine.get_nodal_volumes())[1]


def acceptance(name: str, scenario: dict) -> dict:
    with tempfile.TemporaryDirectory(prefix="bench-design-") as scratch:
        folder = Path(scratch)
        fbp = back_projection_iou(scenario, folder)
        tick = time.perf_counter()
        summary = design.run(scenario, folder / "d", progress=False)
        wall = time.perf_counter() - tick
    row = {
        "case": name,
        "fbp_iou": fbp,
        "designed_iou": summary["iou"],
        "run_iou": summary["run_iou"],
        "gap": summary["process_window"]["relative_gap"],
        "spread": summary["dose_spread"],
        "design_s": wall,
        "optimise_s": summary["optimise_time_s"],
        "traces": summary["traces"],
    }
    print(json.dumps(row), flush=True)
    return row


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--case", choices=("all", "air", "matched", "timing", "cure"), default="all")
    args = parser.parse_args()
    print(f"backend {lumetra.backend}, {lumetra.get_num_threads()} threads", flush=True)
    if args.case in ("all", "air"):
        acceptance("air, 90 angles over 180, 97 rays", vial_scenario(1.0, 97, 90, 180.0))
    if args.case in ("all", "matched"):
        acceptance("index-matched, 90 angles over 180, 97 rays", vial_scenario(1.48, 97, 90, 180.0))
    if args.case in ("all", "timing"):
        # A thin 3-D target: three node layers, four rows of rays; the map recorded, and traced.
        for kind in ("auto", "traced"):
            s = vial_scenario(1.0, 100, 100, 360.0, rays_high=4, target_height=1.2)
            s["design"]["map"] = kind
            acceptance(f"timing: air, 100 angles over 360, 100 x 4 rays, map {kind}", s)
    if args.case in ("all", "cure"):
        # The cure raises the index by 0.04 as the part forms: the run IoU of the first design
        # (which ignores it) and of each correction from the coupled runs.
        for model in ("dose", "curalis"):
            s = scenarios.default() if model == "curalis" else vial_scenario(1.0, 97, 90, 180.0)
            s["resin"]["n1"] = 1.52
            s["design"]["cure_passes"] = 3
            with tempfile.TemporaryDirectory(prefix="bench-design-") as scratch:
                summary = design.run(s, Path(scratch), progress=False)
            print(
                json.dumps(
                    {
                        "case": f"n1 - n0 = 0.04, {model}",
                        "run_iou_by_pass": [p["run_iou"] for p in summary["passes"]],
                        "design_s": summary["wall_time_s"],
                    }
                ),
                flush=True,
            )
    return 0


if __name__ == "__main__":
    sys.exit(main())
