"""Physical units of a scenario: the optional ``[units]`` table.

The engine and the curing models have no units: a length is a mesh coordinate, a time a
multiple of time.dt, a power whatever the rays carry, and the absorbed power a power per
volume in those units. Without ``[units]`` (both keys "none") a scenario stays in them.
With ``units.length`` and ``units.time`` named, a scenario reads as a printer's data sheet:

- lengths (mesh, light, target) in units.length, absorptivity per units.length;
- time.dt in units.time;
- ray powers (light.power) in mW, or the projector's irradiance light.irradiance in mW/cm^2:
  every pixel at full power (a pattern value of 1) lights its own area with it;
- the dose (the dose model's thresholds, the summary, the VTU field) in mJ/cm^3.

Every conversion happens here, once: :func:`to_engine` turns a scenario into the engine's
numbers; :func:`report` turns a run's results back into the units named.

Contents
--------
LENGTHS, TIMES
    The unit names and their size in mm and s.
active, length_cm, time_s, pixel_area_cm2, beam_power, irradiance_of, dose_factor
    The conversions.
to_engine, report, summary_lines
    A scenario in the engine's numbers; a run's dose and print time in physical units.
"""

from __future__ import annotations

import copy
from typing import Any

import numpy as np

from lumetra import projector

__all__ = [
    "LENGTHS",
    "TIMES",
    "NONE",
    "active",
    "length_cm",
    "time_s",
    "pixel_area_cm2",
    "beam_power",
    "irradiance_of",
    "dose_factor",
    "to_engine",
    "report",
    "summary_lines",
]

NONE = "none"
# One unit in mm (lengths) and in s (times).
LENGTHS = {"mm": 1.0, "cm": 10.0, "um": 1e-3}
TIMES = {"s": 1.0, "ms": 1e-3, "min": 60.0}


def active(scenario: dict[str, Any]) -> bool:
    """Whether the scenario names its units (a checked scenario names both or neither)."""
    return scenario.get("units", {}).get("length", NONE) != NONE


def length_cm(scenario: dict[str, Any]) -> float:
    """One length unit of the scenario in cm."""
    return LENGTHS[scenario["units"]["length"]] / 10.0


def time_s(scenario: dict[str, Any]) -> float:
    """One time unit of the scenario in s."""
    return TIMES[scenario["units"]["time"]]


def pixel_area_cm2(light: dict[str, Any], unit_cm: float) -> float:
    """The area in cm^2 of one pixel of the beam's grid (one ray of a parallel or telecentric
    beam, one cone of a lens projector), lengths in units of unit_cm."""
    width, height = projector.extent(light)
    return (width / light["rays_across"]) * (height / light["rays_high"]) * unit_cm**2


def beam_power(light: dict[str, Any], unit_cm: float) -> float:
    """light.power in mW for the beam's light.irradiance (mW/cm^2): with light.intensities, the
    power of a pixel at pattern value 1 (irradiance x pixel area), else the power of the
    whole image at one angle (irradiance x image area)."""
    area = pixel_area_cm2(light, unit_cm)
    if not light["intensities"]:
        area *= light["rays_across"] * light["rays_high"]
    return light["irradiance"] * area


def irradiance_of(light: dict[str, Any], power: float, unit_cm: float) -> float:
    """The irradiance in mW/cm^2 that gives light.power = power (mW): beam_power's inverse."""
    return power / beam_power(dict(light, irradiance=1.0), unit_cm)


def dose_factor(scenario: dict[str, Any]) -> float:
    """The engine's dose (mW x time unit per cubic length unit) in mJ/cm^3: mW x s = mJ, and
    a cubic length unit is (unit in mm)^3 / 1000 cm^3 (1000 for mm and s)."""
    return time_s(scenario) * 1000.0 / LENGTHS[scenario["units"]["length"]] ** 3


def to_engine(scenario: dict[str, Any]) -> dict[str, Any]:
    """The scenario in the engine's numbers: light.power in mW from light.irradiance, the dose
    model's thresholds from mJ/cm^3, and no [units] left (so a second call changes
    nothing). A scenario without units is returned as it is."""
    if not active(scenario):
        return scenario
    s = copy.deepcopy(scenario)
    light = s["light"]
    if light.get("irradiance", 0.0) > 0:
        light["power"] = beam_power(light, length_cm(scenario))
        light["irradiance"] = 0.0
    if s["resin"]["model"] == "dose":
        for name in ("dose_threshold", "dose_full"):
            s["resin"][name] /= dose_factor(scenario)
    s["units"] = {"length": NONE, "time": NONE}
    return s


def report(
    scenario: dict[str, Any],
    dose: np.ndarray,
    target: np.ndarray | None = None,
    volumes: np.ndarray | None = None,
    target_report: dict[str, Any] | None = None,
) -> dict[str, Any]:
    """A run in the units the scenario names (summary.json's "units"), from its dose in the
    engine's numbers and its target_report (whose dose figures are in mJ/cm^3 already): the
    exposure in s, the projector's irradiance and a full pixel's power, the dose in mJ/cm^3
    (largest; with a target, its lowest and mean inside, largest outside, and the best
    threshold) and the print time: the exposure at which the print reaches IoU >= 0.9 against
    the target and stays there, the start of target_report's good_time_range (None where it
    never does)."""
    factor, seconds = dose_factor(scenario), time_s(scenario)
    light, unit = scenario["light"], length_cm(scenario)
    dose = np.asarray(dose, dtype=float) * factor
    out: dict[str, Any] = {
        "length": scenario["units"]["length"],
        "time": scenario["units"]["time"],
        "exposure_s": scenario["time"]["steps"] * scenario["time"]["dt"] * seconds,
        "irradiance_mW_per_cm2": None,
        "pixel_power_mW": None,
        "dose_mJ_per_cm3": {"max": float(dose.max()) if dose.size else 0.0},
    }
    if light["source"] == "beam":
        engine_light = to_engine(scenario)["light"]
        pixel = pixel_area_cm2(light, unit)
        power = engine_light["power"]  # per pixel with intensities, else the whole image's
        full = power if light["intensities"] else power / (light["rays_across"] * light["rays_high"])
        out["irradiance_mW_per_cm2"] = full / pixel
        out["pixel_power_mW"] = full
    if target is not None and target.any():
        w = np.ones(len(dose)) if volumes is None else np.asarray(volumes, dtype=float)
        d = out["dose_mJ_per_cm3"]
        d["target_min"] = float(dose[target].min())
        d["target_mean"] = float(np.average(dose[target], weights=w[target]))
        d["outside_max"] = float(dose[~target].max()) if (~target).any() else 0.0
        if target_report is not None:
            if "dose" in target_report:
                d["best_threshold"] = target_report["dose"]["best_threshold"]
            window = target_report.get("good_time_range")
            out["print_time_s"] = None if window is None else window[0] * seconds
    return out


def summary_lines(u: dict[str, Any]) -> list[str]:
    """The terminal lines of a report."""
    from lumetra.design import GOOD_IOU

    light = ""
    if u["irradiance_mW_per_cm2"] is not None:
        light = f"irradiance {u['irradiance_mW_per_cm2']:.4g} mW/cm^2 ({u['pixel_power_mW']:.4g} mW per pixel), "
    d = u["dose_mJ_per_cm3"]
    dose = f"  dose           largest {d['max']:.4g} mJ/cm^3"
    if "target_min" in d:
        dose += (
            f"; in the target from {d['target_min']:.4g} (mean {d['target_mean']:.4g}), outside up to "
            f"{d['outside_max']:.4g}"
        )
    if "best_threshold" in d:
        dose += f"; best threshold {d['best_threshold']:.4g}"
    lines = [f"  units          {u['length']} and {u['time']}: {light}exposure {u['exposure_s']:.4g} s", dose]
    if "print_time_s" in u:
        t = u["print_time_s"]
        lines.append(
            f"  print time     IoU >= {GOOD_IOU:g} not reached in {u['exposure_s']:.4g} s"
            if t is None
            else f"  print time     {t:.4g} s (exposure at which the IoU with the target reaches {GOOD_IOU:g})"
        )
    return lines
