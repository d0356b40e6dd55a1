"""Projector models of the beam light.

- "parallel": the beam as it is, rays_across x rays_high parallel rays over width x height;
- "telecentric": a telecentric projector with a pixel grid of rays_across columns x rays_high
  rows of pixel_pitch: the parallel beam of width = rays_across * pitch, height = rays_high *
  pitch, one ray per pixel;
- "lens": a projector with a finite aperture: each pixel is a cone of rays_per_pixel rays,
  its half-angle ``aperture`` degrees, that converge on the pixel's image in the focal plane
  (``focus`` beyond light.center along the direction) and spread again past it: a pixel's
  spot is 2 |z| tan(aperture) wide at a distance z from the focal plane (blur).

The rays of one pixel follow one another in the ray order, pixels in the beam's order, so a
pattern of (angles, pixels) spreads each pixel's power evenly over its cone.
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np

__all__ = ["PROJECTORS", "cone_offsets", "cones", "extent", "rays_per_pixel"]

PROJECTORS = ("parallel", "telecentric", "lens")


def extent(light: dict[str, Any]) -> tuple[float, float]:
    """(width, height) of the projected image: of the pixel grid where pixel_pitch is given
    (telecentric, lens), else the beam's."""
    pitch = light.get("pixel_pitch", 0.0)
    if light.get("projector", "parallel") != "parallel" and pitch > 0:
        return light["rays_across"] * pitch, light["rays_high"] * pitch
    return light["width"], light["height"]


def rays_per_pixel(light: dict[str, Any]) -> int:
    return int(light["rays_per_pixel"]) if light.get("source") == "beam" and light.get("projector") == "lens" else 1


def cone_offsets(count: int) -> np.ndarray:
    """count points spread evenly over the unit disk (a sunflower: the first at the centre,
    the chief ray), shape (count, 2)."""
    k = np.arange(count)
    r = np.sqrt(k / count) if count > 1 else np.zeros(1)
    phi = k * math.pi * (3.0 - math.sqrt(5.0))
    return np.column_stack([r * np.cos(phi), r * np.sin(phi)])


def cones(
    starts: np.ndarray,
    d: np.ndarray,
    across: np.ndarray,
    up: np.ndarray,
    to_focus: float,
    aperture_deg: float,
    count: int,
) -> tuple[np.ndarray, np.ndarray]:
    """The rays of each pixel's cone: every pixel's chief ray starts at starts[i] and travels
    along d; its cone meets in the point to_focus along it and starts in the same plane, the
    rays leaning by up to aperture_deg. Returns (positions, directions), count per pixel."""
    spread = math.tan(math.radians(aperture_deg)) * cone_offsets(count)  # (count, 2)
    lean = d + spread[:, :1] * across + spread[:, 1:] * up
    lean /= np.linalg.norm(lean, axis=1, keepdims=True)
    focus = starts + to_focus * d  # (pixels, 3)
    back = to_focus / (lean @ d)  # along each leaning ray, from the start plane to the focus
    positions = focus[:, None, :] - back[None, :, None] * lean[None, :, :]
    directions = np.broadcast_to(lean, positions.shape)
    return positions.reshape(-1, 3), np.ascontiguousarray(directions.reshape(-1, 3))
