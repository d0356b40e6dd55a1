"""Pattern design: the per-angle ray powers that print a target, found through the real optics.

A tomographic print sums, at every node, the power that each ray of each projection angle
deposits there. Through a fixed resin (index, absorptivity, boundary optics) that sum is linear
in the ray powers: dose = A p, where column (angle, ray) of A is what that ray deposits per unit
power. The engine evaluates A p with a forward trace and A^T g (for a nodal field g, one value
per ray) with an adjoint trace of the same cost, so the design never forms A.

Pieces, each usable alone:

target_values, builtin_shape, sample_voxels, voxelise_surface
    The target sampled at the mesh nodes: 1 inside the part, 0 outside (fractions between).
MatrixMap, DoseMap
    The linear map p -> dose and its adjoint: from an explicit matrix, or through the engine
    over the scenario's light at all its angles.
optimise
    Non-negative powers whose thresholded dose matches the target (see there for the method).
evaluate, iou, best_threshold
    IoU at the best dose threshold, the process window, the dose spread inside the part.
run
    ``lumetra design``: all of the above on a scenario, writing patterns.npy, design.toml,
    design.json and a figure.

The optimiser is the penalty minimisation of Bhattacharya, Toombs and Taylor, "High fidelity
volumetric additive manufacturing", Additive Manufacturing 47 (2021) 102299: the dose inside
the target is pushed above a level and the dose outside below a lower one, by projected
gradient steps on the non-negative powers. It was chosen because its loss is exactly the
process window that decides whether a print works (every in-target node above, every
out-of-target node below one dose threshold), it needs nothing but the map and its adjoint,
and the projection keeps every power non-negative without a change of variables.
"""

from __future__ import annotations

import contextlib
import copy
import json
import math
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Protocol, TextIO

import numpy as np

from lumetra.scenario import ScenarioError

__all__ = [
    "SHAPES",
    "axis_frame",
    "LinearMap",
    "MatrixMap",
    "DoseMap",
    "Metrics",
    "DesignResult",
    "target_values",
    "builtin_shape",
    "sample_voxels",
    "voxelise_surface",
    "angles_of",
    "step_weights",
    "rotation",
    "iou",
    "best_threshold",
    "evaluate",
    "optimise",
    "run",
    "format_summary",
]

SHAPES = ("disk_bar_foot", "cylinder")
"""Built-in target cross-sections (target.shape)."""

# The band the optimiser aims for: in-target dose at or above 1, out-of-target dose at or
# below 1 - band; in-target dose above 1 + band is penalised with this weight, which keeps
# the part evenly dosed without fighting the window.
OVERDOSE_WEIGHT = 0.1
# IoU that counts as a print for the threshold range of the process window.
GOOD_IOU = 0.9
# Rays per trace when the map traces several angles at once.
BATCH_RAYS = 1 << 18


# ------------------------------------------------------------------------------ targets


def _unit(v) -> np.ndarray:
    v = np.asarray(v, dtype=float)
    return v / np.linalg.norm(v)


def axis_frame(axis) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(u, v, a): a the unit axis, u the x axis made perpendicular to it (y when the axis
    runs along x), v = a x u. With the default axis +z, u = +x and v = +y."""
    a = _unit(axis)
    ref = np.array([1.0, 0.0, 0.0]) if abs(a[0]) < 0.9 else np.array([0.0, 1.0, 0.0])
    u = _unit(ref - (ref @ a) * a)
    return u, np.cross(a, u), a


def builtin_shape(name: str, u: np.ndarray, v: np.ndarray, size: float) -> np.ndarray:
    """Inside (True) / outside of a built-in cross-section at in-plane coordinates (u, v),
    scaled to fit a circle of radius ``size`` about the axis.

    ``disk_bar_foot``: a disk off the axis at (0.45, 0.15) size, radius 0.35 size, beside a bar
    standing at u = -0.3 size with a foot pointing towards +u at its bottom (-v): no rotation
    or mirror maps it onto itself. ``cylinder``: a disk of radius 0.6 size on the axis.
    """
    u, v = np.asarray(u, dtype=float) / size, np.asarray(v, dtype=float) / size
    if name == "disk_bar_foot":
        disk = (u - 0.45) ** 2 + (v - 0.15) ** 2 <= 0.35**2
        bar = (np.abs(u + 0.3) <= 0.15) & (np.abs(v) <= 0.65)
        foot = (u >= -0.45) & (u <= 0.25) & (v >= -0.65) & (v <= -0.45)
        return disk | bar | foot
    if name == "cylinder":
        return u**2 + v**2 <= 0.6**2
    raise ScenarioError(f"target.shape: must be one of {', '.join(map(repr, SHAPES))}, got {name!r}")


def sample_voxels(values: np.ndarray, origin, voxel_size: float, points: np.ndarray) -> np.ndarray:
    """A voxel array (axes x, y, z; voxel (i, j, k) centred at origin + ((i, j, k) + 0.5) *
    voxel_size) interpolated trilinearly at the points, 0 beyond its outer voxel centres' half
    voxel."""
    values = np.asarray(values, dtype=float)
    index = (np.asarray(points, dtype=float).reshape(-1, 3) - np.asarray(origin, dtype=float)) / voxel_size - 0.5
    # One layer of zeros around the array: the part ends half a voxel beyond its last centre.
    padded = np.pad(values, 1)
    index += 1.0
    low = np.floor(index).astype(np.int64)
    frac = index - low
    inside = np.all((low >= 0) & (low + 1 < np.array(padded.shape)), axis=1)
    low = np.where(inside[:, None], low, 0)
    out = np.zeros(len(index))
    for corner in np.ndindex(2, 2, 2):
        c = np.array(corner)
        weight = np.prod(np.where(c == 1, frac, 1.0 - frac), axis=1)
        out += weight * padded[tuple((low + c).T)]
    return np.where(inside, out, 0.0)


def voxelise_surface(path: str | Path, pitch: float) -> tuple[np.ndarray, np.ndarray, float]:
    """A closed STL/OBJ surface as a filled voxel array (x, y, z), with the origin and voxel
    size for :func:`sample_voxels` (pitch 0: a 64th of the largest extent).

    Raises
    ------
    ScenarioError
        When trimesh is not installed, the file cannot be read, or the surface is not closed.
    """
    try:
        import trimesh
    except ImportError as error:
        raise ScenarioError(
            "target.file: a surface target needs trimesh (pip install trimesh, or pip install 'lumetra[run]')"
        ) from error
    try:
        surface = trimesh.load(str(path), force="mesh")
    except Exception as error:  # noqa: BLE001  (trimesh raises many kinds for a bad file)
        raise ScenarioError(f"target.file: cannot read the surface {path}: {error}") from error
    if len(surface.faces) == 0:
        raise ScenarioError(f"target.file: {path} holds no triangles")
    if not surface.is_watertight:
        raise ScenarioError(f"target.file: the surface in {path} is not closed (watertight): it has no inside")
    if pitch <= 0:
        pitch = float(np.max(surface.extents)) / 64
    grid = surface.voxelized(pitch).fill()
    centre0 = np.asarray(grid.transform)[:3, 3]  # the centre of voxel (0, 0, 0)
    return np.asarray(grid.matrix, dtype=float), centre0 - 0.5 * pitch, pitch


def target_values(scenario: dict[str, Any], points: np.ndarray) -> np.ndarray:
    """The scenario's [target] sampled at the points: 1 inside, 0 outside, fractions where a
    voxel array holds them or the points fall between voxels of both kinds.

    Raises
    ------
    ScenarioError
        Naming the key, for a missing or unreadable file, an array that is not 3-D, not finite
        or outside [0, 1], and a target that misses every point.
    """
    t = scenario["target"]
    points = np.asarray(points, dtype=float)
    if t["source"] == "none":
        raise ScenarioError('target.source: the scenario has no target (set target.source = "shape" or "file")')
    if t["source"] == "shape":
        u, v, a = axis_frame(scenario["light"]["axis"])
        centre = np.asarray(scenario["light"]["center"], dtype=float) @ a
        inside = builtin_shape(t["shape"], points @ u, points @ v, t["size"])
        inside &= np.abs(points @ a - centre) <= 0.5 * t["height"]
        values = inside.astype(float)
    else:
        path = Path(t["file"])
        if not path.is_file():
            raise ScenarioError(f"target.file: no such file: {path}")
        if path.suffix.lower() == ".npy":
            if t["voxel_size"] <= 0:
                raise ScenarioError("target.voxel_size: needed (> 0) for a .npy target")
            try:
                array = np.load(path, allow_pickle=False)
            except (OSError, ValueError) as error:
                raise ScenarioError(f"target.file: cannot read {path}: {error}") from error
            if array.ndim != 3 or 0 in array.shape:
                raise ScenarioError(
                    f"target.file: {path} has shape {array.shape}, expected a 3-D voxel array (x, y, z)"
                )
            if not (np.issubdtype(array.dtype, np.number) or array.dtype == bool):
                raise ScenarioError(f"target.file: {path} holds {array.dtype}, expected numbers")
            array = array.astype(float)
            if not np.all(np.isfinite(array)) or array.min() < 0 or array.max() > 1:
                raise ScenarioError(f"target.file: {path} must hold values from 0 (outside) to 1 (inside)")
            values = sample_voxels(array, t["origin"], t["voxel_size"], points)
        elif path.suffix.lower() in (".stl", ".obj", ".ply", ".off"):
            array, origin, pitch = voxelise_surface(path, t["voxel_size"])
            values = sample_voxels(array, origin + np.asarray(t["origin"]), pitch, points)
        else:
            raise ScenarioError(f"target.file: {path}: expected a .npy voxel array or an .stl/.obj surface")
    values = np.clip(values, 0.0, 1.0)
    if not np.any(values >= 0.5):
        raise ScenarioError(
            "target: no mesh node lies inside the target (check its position and size against the mesh)"
        )
    return values


# ------------------------------------------------------------------------------ the map


class LinearMap(Protocol):
    """p (angles, rays) -> nodal dose (nodes,), and its adjoint g (nodes,) -> (angles, rays)."""

    shape: tuple[int, int, int]  # (nodes, angles, rays)

    def forward(self, powers: np.ndarray) -> np.ndarray: ...

    def adjoint(self, nodal: np.ndarray) -> np.ndarray: ...


class MatrixMap:
    """The map from an explicit matrix of shape (nodes, angles * rays), dense or scipy.sparse,
    column angle * rays + ray; for small problems and tests."""

    def __init__(self, matrix, angles: int, rays: int):
        if matrix.shape[1] != angles * rays:
            raise ValueError(f"matrix has {matrix.shape[1]} columns, expected angles x rays = {angles * rays}")
        self.matrix = matrix
        self.shape = (int(matrix.shape[0]), int(angles), int(rays))
        self.traces = 0

    def forward(self, powers: np.ndarray) -> np.ndarray:
        self.traces += 1
        return np.asarray(self.matrix @ np.asarray(powers, dtype=float).reshape(-1)).reshape(-1)

    def adjoint(self, nodal: np.ndarray) -> np.ndarray:
        self.traces += 1
        return np.asarray(self.matrix.T @ np.asarray(nodal, dtype=float)).reshape(self.shape[1:])


def rotation(axis, angle_deg: float) -> np.ndarray:
    """The right-handed rotation by angle_deg about the axis (Rodrigues), as rotate_reset_rays
    turns the rays."""
    a = _unit(axis)
    k = np.array([[0, -a[2], a[1]], [a[2], 0, -a[0]], [-a[1], a[0], 0]])
    t = math.radians(angle_deg)
    return np.eye(3) + math.sin(t) * k + (1 - math.cos(t)) * (k @ k)


def angles_of(light: dict[str, Any]) -> list[float]:
    """The projection angles in degrees, as ``lumetra run`` turns through them."""
    return list(light["angles"]) or [k * light["angle_step"] for k in range(light["angle_count"])]


def step_weights(scenario: dict[str, Any]) -> np.ndarray:
    """Exposure time of each angle over the run: time.dt times the number of steps that use it
    (step k uses angle k modulo the number of angles)."""
    n = len(angles_of(scenario["light"]))
    counts = np.bincount(np.arange(scenario["time"]["steps"]) % n, minlength=n)
    return counts * scenario["time"]["dt"]


class DoseMap:
    """The run's dose per unit ``light.power`` as a linear map of the intensities, through the
    engine: forward = sum over the angles of the absorbed power (per unit nodal volume, what
    the curing models read) times each angle's exposure time; adjoint = the engine's adjoint
    trace of the nodal field, per ray, times the same times.

    The engine holds the mesh, boundary conditions and solver of the run; the rays of every
    angle are set from arrays (positions and directions (angles, rays, 3)), several angles per
    trace up to BATCH_RAYS rays. After :meth:`record`, both directions are products with the
    recorded sparse matrix instead of traces (``mode`` says which).
    """

    def __init__(
        self, engine, positions: np.ndarray, directions: np.ndarray, weights: np.ndarray, batch_rays: int = BATCH_RAYS
    ):
        self.engine = engine
        self.positions = np.asarray(positions, dtype=float)
        self.directions = np.asarray(directions, dtype=float)
        self.weights = np.asarray(weights, dtype=float)
        angles, rays = self.positions.shape[:2]
        self.shape = (int(engine.get_node_count()), int(angles), int(rays))
        per = max(1, batch_rays // max(rays, 1))
        self.batches = [slice(i, min(i + per, angles)) for i in range(0, angles, per)]
        self.traces = 0
        self.matrices: list[Any] | None = None
        self.mode = "traced"

    @classmethod
    def from_scenario(cls, engine, scenario: dict[str, Any], batch_rays: int = BATCH_RAYS) -> DoseMap:
        """The map of the scenario's beam at all its angles, on an engine set up for the run."""
        from lumetra import runner

        light = scenario["light"]
        if light["source"] != "beam":
            raise ScenarioError(f'light.source: the design needs a beam ("beam"), not {light["source"]!r}')
        if light["projector"] == "lens":
            raise ScenarioError(
                'light.projector: the design traces one ray per pixel; design with "telecentric" '
                "and run the patterns through the lens"
            )
        # The beam starts where the run starts it: outside the mesh at every angle.
        light = runner._placed_beam(light, engine.get_node_positions(), sys.stderr)
        try:
            base = runner.beam_rays(light)
        except MemoryError as error:
            raise ScenarioError(str(error)) from error
        turns = np.stack([rotation(light["axis"], a) for a in angles_of(light)])
        positions = np.einsum("aij,rj->ari", turns, base[:, :3])
        directions = np.einsum("aij,rj->ari", turns, base[:, 3:6])
        return cls(engine, positions, directions, step_weights(scenario), batch_rays)

    def _set(self, batch: slice, powers: np.ndarray) -> None:
        self.engine.set_rays(
            self.positions[batch].reshape(-1, 3),
            self.directions[batch].reshape(-1, 3),
            np.ascontiguousarray(powers, dtype=float).reshape(-1),
        )

    def record(self, memory_share: float = 0.25) -> bool:
        """Record the matrix (one trace per batch, each ray at unit power) when its deposits
        take at most memory_share of the memory available (sized from a trace's element
        visits, eight nodes each); returns whether it did."""
        from lumetra import _sizes, optics_map

        try:
            import scipy.sparse  # noqa: F401  (record_matrix builds its matrix with it)
        except ImportError:
            return False
        visits = 0
        for batch in self.batches:
            self._set(batch, np.ones(self.positions[batch].shape[:2]))
            self.engine.reset_absorbed_power()
            self.engine.compute_volumetric_absorption()
            self.traces += 1
            visits += int(self.engine.get_trace_summary().get("element_visits", 0))
        available = _sizes.available_memory()
        # Per deposit: node, ray and value while recording, then the sparse matrix.
        if available is not None and visits * 8 * 32 > memory_share * available:
            return False
        matrices = []
        for batch in self.batches:
            self._set(batch, np.ones(self.positions[batch].shape[:2]))
            matrices.append(optics_map.record_matrix(self.engine))
            self.traces += 1
        self.matrices, self.mode = matrices, "recorded"
        return True

    def forward(self, powers: np.ndarray) -> np.ndarray:
        powers = np.asarray(powers, dtype=float).reshape(self.shape[1:]) * self.weights[:, None]
        if self.matrices is not None:
            return sum(
                (m @ powers[b].reshape(-1) for m, b in zip(self.matrices, self.batches)), np.zeros(self.shape[0])
            )
        dose = np.zeros(self.shape[0])
        for batch in self.batches:
            if not np.any(powers[batch] > 0):
                continue
            self._set(batch, powers[batch])
            self.engine.reset_absorbed_power()
            self.engine.compute_volumetric_absorption()
            self.traces += 1
            dose += self.engine.get_absorbed_power()
        return dose

    def adjoint(self, nodal: np.ndarray) -> np.ndarray:
        nodal = np.ascontiguousarray(nodal, dtype=float)
        out = np.zeros(self.shape[1:])
        if self.matrices is not None:
            for m, batch in zip(self.matrices, self.batches):
                out[batch] = (m.T @ nodal).reshape(out[batch].shape)
            return out * self.weights[:, None]
        for batch in self.batches:
            if not np.any(self.weights[batch] > 0):
                continue
            self._set(batch, np.ones(self.positions[batch].shape[:2]))
            out[batch] = np.asarray(self.engine.trace_adjoint(nodal)).reshape(out[batch].shape)
            self.traces += 1
        return out * self.weights[:, None]


# ------------------------------------------------------------------------------ metrics


def iou(predicted: np.ndarray, inside: np.ndarray, weights: np.ndarray | None = None) -> float:
    """Intersection over union of two node sets, each node weighted (by its volume, say);
    1 when both are empty."""
    predicted, inside = np.asarray(predicted, dtype=bool), np.asarray(inside, dtype=bool)
    w = np.ones(len(inside)) if weights is None else np.asarray(weights, dtype=float)
    union = float(w[predicted | inside].sum())
    return float(w[predicted & inside].sum()) / union if union > 0 else 1.0


def _iou_curve(dose: np.ndarray, inside: np.ndarray, w: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """IoU of {dose >= t} for t at every distinct dose, thresholds falling."""
    order = np.argsort(-dose, kind="stable")
    d, i, wt = dose[order], inside[order], w[order]
    hit = np.cumsum(np.where(i, wt, 0.0))
    extra = np.cumsum(np.where(i, 0.0, wt))
    last = np.r_[d[1:] != d[:-1], True]  # the threshold d[k] takes every node with the same dose
    total = float(wt[i].sum())
    return d[last], hit[last] / np.maximum(total + extra[last], 1e-300)


def best_threshold(dose: np.ndarray, inside: np.ndarray, weights: np.ndarray | None = None) -> tuple[float, float]:
    """(threshold, IoU): the dose threshold whose region {dose >= threshold} matches the
    target best."""
    w = np.ones(len(dose)) if weights is None else np.asarray(weights, dtype=float)
    t, curve = _iou_curve(np.asarray(dose, dtype=float), np.asarray(inside, dtype=bool), w)
    k = int(np.argmax(curve))
    return float(t[k]), float(curve[k])


@dataclass
class Metrics:
    """How well a dose prints the target (doses in the units of the dose given).

    iou, threshold: the best IoU over all dose thresholds, and that threshold.
    dose_in_min, dose_out_max: the lowest dose inside the target, the highest outside.
    window: (dose_in_min - dose_out_max) / dose_in_min, the relative dose gap: above 0 some
    threshold prints the target exactly, and the exposure may fall by that share before an
    in-target node stays uncured.
    good_range: the thresholds (lowest, highest) around the best whose IoU stays at or above
    GOOD_IOU, or None; good_width: their relative width (highest - lowest) / middle.
    spread: the coefficient of variation of the dose inside the target (volume-weighted).
    """

    iou: float
    threshold: float
    dose_in_min: float
    dose_out_max: float
    window: float
    good_range: tuple[float, float] | None
    good_width: float
    spread: float

    def print_threshold(self) -> float:
        """The threshold in the middle of the process window: of the exact gap where it is
        open, else of the range keeping IoU >= GOOD_IOU, else the best threshold."""
        if self.window > 0:
            return 0.5 * (self.dose_in_min + self.dose_out_max)
        if self.good_range is not None:
            return 0.5 * (self.good_range[0] + self.good_range[1])
        return self.threshold


def evaluate(dose: np.ndarray, inside: np.ndarray, weights: np.ndarray | None = None) -> Metrics:
    """The metrics of a nodal dose against the nodes inside the target."""
    dose, inside = np.asarray(dose, dtype=float), np.asarray(inside, dtype=bool)
    w = np.ones(len(dose)) if weights is None else np.asarray(weights, dtype=float)
    if not inside.any():
        raise ValueError("the target holds no node")
    t, curve = _iou_curve(dose, inside, w)
    k = int(np.argmax(curve))
    good = None
    if curve[k] >= GOOD_IOU:
        lo = hi = k
        while hi + 1 < len(curve) and curve[hi + 1] >= GOOD_IOU:
            hi += 1
        while lo > 0 and curve[lo - 1] >= GOOD_IOU:
            lo -= 1
        good = (float(t[hi]), float(t[lo]))  # falling thresholds: hi is the lowest
    d_in, d_out = float(dose[inside].min()), float(dose[~inside].max()) if (~inside).any() else 0.0
    mean = float(np.average(dose[inside], weights=w[inside]))
    spread = float(np.sqrt(np.average((dose[inside] - mean) ** 2, weights=w[inside]))) / mean if mean > 0 else math.inf
    return Metrics(
        iou=float(curve[k]),
        threshold=float(t[k]),
        dose_in_min=d_in,
        dose_out_max=d_out,
        window=(d_in - d_out) / d_in if d_in > 0 else -math.inf,
        good_range=good,
        good_width=(good[1] - good[0]) / (0.5 * (good[0] + good[1])) if good else 0.0,
        spread=spread,
    )


def voxel_error_rate(predicted: np.ndarray, inside: np.ndarray, weights: np.ndarray | None = None) -> float:
    """The volume printed wrongly (cured outside the target or left uncured inside it) over the
    target's volume: 0 for an exact print."""
    predicted, inside = np.asarray(predicted, dtype=bool), np.asarray(inside, dtype=bool)
    w = np.ones(len(inside)) if weights is None else np.asarray(weights, dtype=float)
    total = float(w[inside].sum())
    if total <= 0:
        raise ValueError("the target holds no node")
    return float(w[predicted != inside].sum()) / total


def in_part_dose_range(dose: np.ndarray, inside: np.ndarray) -> float:
    """(largest - smallest dose inside the target) / largest: 0 for a uniform in-part dose,
    1 where some target node receives nothing."""
    d = np.asarray(dose, dtype=float)[np.asarray(inside, dtype=bool)]
    if d.size == 0:
        raise ValueError("the target holds no node")
    top = float(d.max())
    return (top - float(d.min())) / top if top > 0 else 1.0


def fidelity(dose: np.ndarray, inside: np.ndarray, weights: np.ndarray | None = None) -> dict[str, Any]:
    """The fidelity figures of a nodal dose against the target, as pattern-design users report
    them: the IoU at the best dose threshold and that threshold, the voxel error rate (VER) at
    it, the process window (relative dose gap; negative where no threshold is exact) and the
    threshold range keeping IoU >= GOOD_IOU, the in-part dose range (IPDR) and the in-part dose
    spread (coefficient of variation)."""
    m = evaluate(dose, inside, weights)
    dose = np.asarray(dose, dtype=float)
    return {
        "iou_best": m.iou,
        "best_threshold": m.threshold,
        "ver": voxel_error_rate(dose >= m.threshold, inside, weights),
        "process_window": m.window,
        "good_iou_range": list(m.good_range) if m.good_range else None,
        "ipdr": in_part_dose_range(dose, inside),
        "dose_spread": m.spread,
    }


# ------------------------------------------------------------------------------ the optimiser


@dataclass
class DesignResult:
    """powers (angles, rays), non-negative, scaled so the in-target dose aims at 1; dose the
    nodal dose they give; loss at the start and after every iteration; metrics of that dose."""

    powers: np.ndarray
    dose: np.ndarray
    loss: list[float]
    iterations: int
    metrics: Metrics
    traces: int = 0


def _penalty(
    dose: np.ndarray,
    w_in: np.ndarray,
    w_out: np.ndarray,
    band: float,
    levels: tuple[np.ndarray, np.ndarray] | None = None,
) -> tuple[float, np.ndarray]:
    """The loss and its gradient with respect to the dose; levels = (lowest dose inside,
    highest dose outside) per node, 1 and 1 - band when None."""
    low, high = levels if levels is not None else (1.0, 1.0 - band)
    under = np.maximum(low - dose, 0.0)
    over = np.maximum(dose - (1.0 + band) * low, 0.0)
    spill = np.maximum(dose - high, 0.0)
    loss = float(w_in @ under**2 + OVERDOSE_WEIGHT * (w_in @ over**2) + w_out @ spill**2)
    return loss, 2.0 * (-w_in * under + OVERDOSE_WEIGHT * w_in * over + w_out * spill)


def optimise(
    mapping: LinearMap,
    target: np.ndarray,
    weights: np.ndarray | None = None,
    iterations: int = 40,
    band: float = 0.1,
    power_iterations: int = 6,
    start: np.ndarray | None = None,
    levels: tuple[np.ndarray, np.ndarray] | None = None,
    progress: Callable[[int, float], None] | None = None,
) -> DesignResult:
    """Non-negative powers p whose dose A p lies at or above 1 inside the target and at or below
    1 - band outside.

    Minimises, over p >= 0, the volume-weighted penalty

        sum_in w (1 - d)+^2 + OVERDOSE_WEIGHT sum_in w (d - 1 - band)+^2 + sum_out w (d - 1 + band)+^2

    (Bhattacharya, Toombs and Taylor, Additive Manufacturing 47 (2021) 102299) by accelerated
    projected gradient (FISTA, Beck and Teboulle 2009, with the gradient restart of
    O'Donoghue and Candes 2015): every iteration is one forward and one adjoint map, the step
    1 / L from a power-iteration estimate of the gradient's Lipschitz constant, and the
    projection onto p >= 0 a clip. It starts from the back-projection of the target, A^T t,
    scaled to an in-target mean dose of 1 (or from ``start``, scaled alike).

    target: nodal values, inside where >= 0.5; weights: nodal volumes (ones when None);
    levels: per node, the lowest dose aimed at inside and the highest allowed outside, in
    place of 1 and 1 - band (the cure correction sets them node by node).
    progress(iteration, loss) is called after every iteration.
    """
    inside = np.asarray(target, dtype=float) >= 0.5
    n_nodes = mapping.shape[0]
    if inside.shape != (n_nodes,):
        raise ValueError(f"target has shape {inside.shape}, expected (nodes,) = ({n_nodes},)")
    if not inside.any():
        raise ValueError("the target holds no node")
    w = np.ones(n_nodes) if weights is None else np.asarray(weights, dtype=float)
    scale = float(w[inside].sum())
    w_in, w_out = np.where(inside, w, 0.0) / scale, np.where(inside, 0.0, w) / scale

    x = np.maximum(mapping.adjoint(w_in) if start is None else np.asarray(start, dtype=float), 0.0)
    dose = mapping.forward(x)
    reached = float(w_in @ dose)
    if not reached > 0:
        raise ValueError("no ray reaches the target: check the light against the target")
    x, dose = x / reached, dose / reached

    # The largest eigenvalue of A^T W A, from the back-projection onwards.
    v = x / np.linalg.norm(x)
    eigen = 0.0
    for _ in range(power_iterations):
        u = mapping.adjoint((w_in + w_out) * mapping.forward(v))
        eigen = float(np.linalg.norm(u))
        if eigen == 0:
            break
        v = u / eigen
    lipschitz = 2.0 * max(1.0, OVERDOSE_WEIGHT) * eigen * 1.1  # margin: power iteration approaches from below
    step = 1.0 / lipschitz if lipschitz > 0 else 1.0

    # The map is linear, so the dose at the extrapolated point y is the same combination of
    # the doses at the iterates: every trace sees non-negative powers only.
    y, dose_y, t, losses = x.copy(), dose, 1.0, [_penalty(dose, w_in, w_out, band, levels)[0]]
    for k in range(iterations):
        _, grad_dose = _penalty(dose_y, w_in, w_out, band, levels)
        x_new = np.maximum(y - step * mapping.adjoint(grad_dose), 0.0)
        dose_new = mapping.forward(x_new)
        losses.append(_penalty(dose_new, w_in, w_out, band, levels)[0])
        if np.vdot(y - x_new, x_new - x) > 0:  # the momentum points uphill: restart it
            t = 1.0
        t_new = 0.5 * (1.0 + math.sqrt(1.0 + 4.0 * t * t))
        beta = (t - 1.0) / t_new
        y, dose_y = x_new + beta * (x_new - x), dose_new + beta * (dose_new - dose)
        x, dose, t = x_new, dose_new, t_new
        if progress is not None:
            progress(k + 1, losses[-1])
    return DesignResult(
        powers=x,
        dose=dose,
        loss=losses,
        iterations=iterations,
        metrics=evaluate(dose, inside, w),
        traces=getattr(mapping, "traces", 0),
    )


# ------------------------------------------------------------------------------ lumetra design


def open_engine(scenario: dict[str, Any], log: TextIO, folder: Path):
    """An engine set up as ``lumetra run`` sets it up for its first step (mesh with the resin's
    starting material, boundary conditions, solver), engine messages going to log; and the
    mesh it holds."""
    import lumetra
    from lumetra import runner

    with contextlib.redirect_stdout(log):
        engine = lumetra.Lumetra()
        mesh = runner._mesh(scenario, *runner._start_material(scenario["resin"]))
        engine.load_mesh_arrays(*mesh)
        engine.set_boundary_conditions(runner._boundary_conditions(engine, scenario))
        engine.set_solver_type(scenario["optics"]["solver"])
        engine.config()
        engine.configure_outfilename(str(folder / "design.vtu"))
    return engine, mesh


class _Bar:
    def __init__(self, total: int, enabled: bool, desc: str):
        self.bar = None
        if enabled:
            try:
                from tqdm import tqdm
            except ImportError:
                tqdm = None
            if tqdm is not None:
                self.bar = tqdm(total=total, unit="it", desc=desc, file=sys.stderr, dynamic_ncols=True)

    def __call__(self, k: int, loss: float) -> None:
        if self.bar is not None:
            self.bar.set_postfix_str(f"loss {loss:.3g}", refresh=False)
            self.bar.update(1)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def _cure_dose(resin: dict[str, Any], cure_threshold: float) -> float:
    """The dose at which the dose model reaches the cure threshold."""
    return resin["dose_threshold"] + cure_threshold * (resin["dose_full"] - resin["dose_threshold"])


def _curalis_guess(resin: dict[str, Any], dose: float, steps: int, dt: float, cure_threshold: float) -> float:
    """The light.power that brings one node of this dose per unit power (spread evenly over the
    steps) to the cure threshold by the reaction alone, without diffusion: where the
    search over coupled runs starts."""

    def cured(power: float) -> float:
        q = power * dose / (steps * dt)
        m, o, x = resin["c_monomer0"], resin["c_oxygen0"], resin["degree_of_curing0"]
        m0 = max(resin["c_monomer0"], 1e-300)
        for _ in range(steps):
            rp = m * resin["kpropagation"] * math.sqrt(max(1.0 - o, 0.0) * q)
            ro = o * resin["koxygen"] * math.sqrt(max(o, 0.0) * q)
            m, x, o = max(m - rp * dt, 0.0), x + rp * dt / m0, max(o - ro * dt, 0.0)
        return x

    lo, hi = 1e-12, 1e12
    if cured(hi) < cure_threshold:
        return 1.0
    for _ in range(80):
        mid = math.sqrt(lo * hi)
        lo, hi = (mid, hi) if cured(mid) < cure_threshold else (lo, mid)
    return hi


def _trial_scenario(scenario: dict[str, Any], power: float, folder: Path) -> dict[str, Any]:
    s = copy.deepcopy(scenario)
    s["light"]["power"] = float(power)
    s["output"].update(folder=str(folder), every=0, figure=False)
    return s


@dataclass
class _Trials:
    """Coupled runs of a design at several powers: one record each, and the degree of curing
    averaged over the steps of each run (what the rays saw on average)."""

    scenario: dict[str, Any]
    log: TextIO
    bar: Callable[[int, float], None] | None = None
    records: list[dict[str, float]] = field(default_factory=list)
    mean_cure: dict[float, np.ndarray] = field(default_factory=dict)
    final_cure: dict[float, np.ndarray] = field(default_factory=dict)

    def __call__(self, power: float) -> float:
        """Runs at power; positive when more is cured than the target holds."""
        from lumetra import runner

        total: list[np.ndarray] = []

        def accumulate(step: int, cure: np.ndarray) -> None:
            total[:] = [cure.astype(float), cure] if not total else [total[0] + cure, cure]

        with contextlib.redirect_stdout(self.log), tempfile.TemporaryDirectory(prefix="lumetra-design-") as scratch:
            summary = runner.run(
                _trial_scenario(self.scenario, power, Path(scratch)),
                progress=False,
                stream=self.log,
                on_step=accumulate,
            )
        t = summary["target"]
        self.records.append(
            {
                "power": power,
                "iou": t["iou"],
                "target_cured_fraction": t["target_cured_fraction"],
                "cured_outside_volume": t["cured_outside_volume"],
                "good_time_range": t.get("good_time_range"),
            }
        )
        self.mean_cure[power] = total[0] / summary["steps"]
        self.final_cure[power] = np.array(total[1], dtype=float)
        if self.bar is not None:
            self.bar(len(self.records), 1 - t["iou"])
        return t["target_cured_fraction"] * t["target_volume"] + t["cured_outside_volume"] - t["target_volume"]

    def best(self) -> dict[str, float]:
        return max(self.records, key=lambda r: r["iou"])


def _calibrate(trials: _Trials, guess: float, runs: int) -> None:
    """Coupled runs towards the light.power that prints best: from the guess, doubled or
    halved until the cured volume crosses the target's, then bisected in log power."""
    x = math.log2(guess)
    under = trials(guess) < 0
    step = 1.0 if under else -1.0
    bracket = None  # (log power under-curing, log power over-curing)
    while len(trials.records) < runs:
        x += step
        if (trials(2.0**x) < 0) != under:
            bracket = sorted((x - step, x))
            break
    while bracket is not None and len(trials.records) < runs:
        mid = 0.5 * (bracket[0] + bracket[1])
        bracket = [mid, bracket[1]] if trials(2.0**mid) < 0 else [bracket[0], mid]


@dataclass(eq=False)
class _Pass:
    result: DesignResult
    patterns: np.ndarray
    dose: np.ndarray
    metrics: Metrics
    power: float
    trials: _Trials
    optimise_time: float


# Each cure correction raises the dose aimed at in target nodes the run left uncured, and
# lowers the dose allowed at cured nodes outside, by this share.
CORRECTION = 0.15


def _design_pass(
    scenario: dict[str, Any],
    mapping: DoseMap,
    target: np.ndarray,
    volumes: np.ndarray,
    patterns_file: Path,
    log: TextIO,
    progress: bool,
    label: str,
    start: np.ndarray | None = None,
    levels: tuple[np.ndarray, np.ndarray] | None = None,
    previous: _Pass | None = None,
) -> _Pass:
    """One optimisation through the engine's current optics, and coupled runs of the
    scenario with its patterns: the first pass finds the exposure (dose model: the middle of
    the process window; curalis: a search), a later one keeps the dose scale of the previous
    pass and tries 0.9, 1 and 1.1 times it."""
    d, resin = scenario["design"], scenario["resin"]
    threshold = scenario["output"]["cure_threshold"]
    bar = _Bar(d["iterations"], progress, label)
    tick = time.perf_counter()
    try:
        with contextlib.redirect_stdout(log):
            result = optimise(
                mapping,
                target,
                volumes,
                iterations=d["iterations"],
                band=d["band"],
                start=start,
                levels=levels,
                progress=bar,
            )
    finally:
        bar.close()
    optimise_time = time.perf_counter() - tick
    peak = float(result.powers.max())
    if not peak > 0:
        raise RuntimeError("the optimiser left every ray dark")
    patterns = result.powers / peak
    dose = result.dose / peak  # the run's dose per unit light.power with these patterns
    metrics = evaluate(dose, target >= 0.5, volumes)
    np.save(patterns_file, patterns)
    run_scenario = copy.deepcopy(scenario)
    run_scenario["light"]["intensities"] = str(patterns_file.resolve())
    if previous is not None:
        trials = _Trials(run_scenario, log)
        scale = previous.power / float(previous.result.powers.max())  # light.power per unit raw power
        for factor in (1.0, 0.9, 1.1):
            trials(factor * scale * peak)
    elif resin["model"] == "dose":
        trials = _Trials(run_scenario, log)
        trials(_cure_dose(resin, threshold) / metrics.print_threshold())
    else:
        calibrate_bar = _Bar(d["calibration_runs"], progress, "calibrating")
        trials = _Trials(run_scenario, log, calibrate_bar)
        try:
            _calibrate(
                trials,
                _curalis_guess(
                    resin, metrics.print_threshold(), scenario["time"]["steps"], scenario["time"]["dt"], threshold
                ),
                d["calibration_runs"],
            )
        finally:
            calibrate_bar.close()
    return _Pass(result, patterns, dose, metrics, trials.best()["power"], trials, optimise_time)


def run(
    scenario: dict[str, Any], folder: str | Path, progress: bool = True, stream: TextIO | None = None
) -> dict[str, Any]:
    """``lumetra design``: patterns that print the scenario's target through its optics.

    Writes into folder: patterns.npy (angles, rays), largest value 1, for light.intensities;
    design.toml, the scenario with light.intensities on those patterns and light.power at the
    exposure that prints (dose model: the dose threshold of the cure in the middle of the
    process window; curalis: the best of coupled runs); design.json (the summary returned);
    design.png; engine.log.

    With design.cure_passes = N, N corrections follow, each from the coupled run of the pass
    before at its best power: the map is traced again through the resin as that run cured it
    (index and absorptivity of its degree of curing averaged over its steps, what the rays
    saw on average), the dose aimed at in every target node it left uncured is raised, the
    dose allowed at every node it cured outside the target lowered (by CORRECTION), and the
    patterns optimised again from the last ones. The pass whose run prints best is written.

    Raises
    ------
    ScenarioError
        For a scenario without a target or a beam, or a target that cannot be read.
    RuntimeError
        When a trace fails or a file is not written.
    """
    stream = stream or sys.stdout
    started = time.perf_counter()
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    if scenario["target"]["source"] == "none":
        raise ScenarioError('target.source: lumetra design needs a target (target.source = "shape" or "file")')
    if scenario["light"]["source"] != "beam":
        raise ScenarioError(f'light.source: lumetra design needs a beam ("beam"), not {scenario["light"]["source"]!r}')
    import lumetra
    from lumetra import scenario as scenarios
    from lumetra import units

    # The design works in the engine's numbers; design.toml goes back to the units as written.
    given, scenario = scenario, units.to_engine(scenario)
    if scenario["optics"]["threads"] > 0:
        lumetra.set_num_threads(scenario["optics"]["threads"])
    resin, d = scenario["resin"], scenario["design"]
    threshold = scenario["output"]["cure_threshold"]
    scratch = folder / "pass.npy"

    def dose_map():
        mapping = DoseMap.from_scenario(engine, scenario)
        if d["map"] == "auto":
            with contextlib.redirect_stdout(log):
                mapping.record()
        return mapping

    with open(folder / "engine.log", "w", encoding="utf-8") as log:
        engine, mesh = open_engine(scenario, log, folder)
        target = target_values(scenario, mesh.points)
        inside = target >= 0.5
        volumes = engine.get_nodal_volumes()
        mapping = dose_map()
        dark = inside & ~(mapping.forward(np.ones(mapping.shape[1:])) > 0)
        unreached = float(volumes[dark].sum() / volumes[inside].sum())
        if unreached > 0:
            print(
                f"Warning: {unreached:.1%} of the target (by volume) lies where no ray deposits: no pattern "
                "can cure it (check the target against the beam: light.center, width, height)",
                file=stream,
            )
        traces = 0
        passes = [_design_pass(scenario, mapping, target, volumes, scratch, log, progress, "design")]
        low, high = np.ones(len(target)), np.full(len(target), 1.0 - d["band"])
        for k in range(d["cure_passes"]):
            last = passes[-1]
            cured = last.trials.final_cure[last.power] >= threshold
            if np.array_equal(cured, inside):
                break
            low[inside & ~cured] *= 1.0 + CORRECTION
            high[~inside & cured] *= 1.0 - CORRECTION
            mean = last.trials.mean_cure[last.power]
            with contextlib.redirect_stdout(log):
                engine.set_refractive_index(resin["n0"] + mean * (resin["n1"] - resin["n0"]))
                engine.set_absorptivity(resin["alpha0"] + mean * (resin["alpha1"] - resin["alpha0"]))
            traces += mapping.traces
            mapping = dose_map()
            passes.append(
                _design_pass(
                    scenario,
                    mapping,
                    target,
                    volumes,
                    scratch,
                    log,
                    progress,
                    f"correction {k + 1}",
                    start=last.result.powers,
                    levels=(low, high),
                    previous=last,
                )
            )
        traces += mapping.traces
    chosen = max(range(len(passes)), key=lambda k: passes[k].trials.best()["iou"])
    final = passes[chosen]
    np.save(folder / "patterns.npy", final.patterns)
    scratch.unlink(missing_ok=True)
    written = copy.deepcopy(given)
    written["light"]["intensities"] = "patterns.npy"
    best = final.trials.best()
    exposure: dict[str, Any] = {}
    if units.active(given):
        window = best.get("good_time_range")
        exposure["print_time_s"] = None if window is None else window[0] * units.time_s(given)
        exposure["irradiance_mW_per_cm2"] = units.irradiance_of(
            written["light"], float(final.power), units.length_cm(given)
        )
    if given["light"]["irradiance"] > 0:
        written["light"]["irradiance"] = exposure["irradiance_mW_per_cm2"]
    else:
        written["light"]["power"] = float(final.power)
    written["output"]["folder"] = str((folder / "run").resolve())
    (folder / "design.toml").write_text(
        "# Written by lumetra design: the scenario with the designed patterns.\n" + scenarios.dumps(written),
        encoding="utf-8",
    )
    m = final.metrics
    summary = {
        "iterations": final.result.iterations,
        "loss": final.result.loss,
        "traces": traces,
        "map": mapping.mode,
        "angles": mapping.shape[1],
        "rays": mapping.shape[2],
        "nodes": mapping.shape[0],
        "iou": m.iou,
        "threshold": m.threshold,
        "process_window": {
            "dose_in_min": m.dose_in_min,
            "dose_out_max": m.dose_out_max,
            "relative_gap": m.window,
            "good_iou": GOOD_IOU,
            "good_thresholds": list(m.good_range) if m.good_range else None,
            "good_relative_width": m.good_width,
        },
        "dose_spread": m.spread,
        "print_threshold": m.print_threshold(),
        "target_unreached": unreached,
        "power": float(final.power),
        **exposure,
        "run_iou": best["iou"],
        "model": resin["model"],
        "passes": [
            {
                "run_iou": p.trials.best()["iou"],
                "power": p.power,
                "predicted_iou": p.metrics.iou,
                "runs": p.trials.records,
            }
            for p in passes
        ],
        "chosen_pass": chosen,
        "optimise_time_s": sum(p.optimise_time for p in passes),
        "wall_time_s": 0.0,
        "files": {
            "patterns": "patterns.npy",
            "scenario": "design.toml",
            "summary": "design.json",
            "engine_log": "engine.log",
        },
    }
    if scenario["output"]["figure"]:
        figure = _figure(
            folder / "design.png",
            scenario,
            mesh.points,
            target,
            final.dose,
            m,
            final.patterns,
            final.result.loss,
            stream,
        )
        if figure:
            summary["files"]["figure"] = figure
    summary["wall_time_s"] = time.perf_counter() - started
    with open(folder / "design.json", "w", encoding="utf-8") as f:
        json.dump(summary, f, indent=1)
    return summary


def _slice_at(points: np.ndarray, axis, height: float) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Nodes of the node layer nearest the height along the axis, and their (u, v)."""
    u, v, a = axis_frame(axis)
    h = points @ a
    extent = max(float(np.ptp(h)), 1e-300)
    nearest = h[np.argmin(np.abs(h - height))]
    chosen = np.flatnonzero(np.abs(h - nearest) <= 1e-6 * extent)
    if len(chosen) < 3:
        chosen = np.flatnonzero(np.abs(h - height) <= 0.05 * extent)
    return chosen, points[chosen] @ u, points[chosen] @ v


def _figure(path: Path, scenario, points, target, dose, metrics: Metrics, patterns, loss, stream) -> str | None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        from matplotlib.tri import Triangulation
    except ImportError:
        print("figure skipped: matplotlib is not installed (pip install matplotlib)", file=stream)
        return None
    light = scenario["light"]
    a = axis_frame(light["axis"])[2]
    h = points @ a
    inside = target >= 0.5
    lo, hi = float(h[inside].min()), float(h[inside].max())
    layers = np.unique(np.round(h, 9))
    if hi > lo:
        second = lo + 0.2 * (hi - lo)
    else:  # a target one node layer thick: show the layer next to it, which must stay uncured
        beside = layers[layers < lo - 1e-9]
        second = float(beside.max()) if len(beside) else float(layers[layers > hi + 1e-9].min())
    threshold = metrics.print_threshold()
    fig, axes = plt.subplots(2, 4, figsize=(15, 7), dpi=72)
    try:
        for row, height in enumerate((0.5 * (lo + hi), second)):
            chosen, u, v = _slice_at(points, light["axis"], height)
            tri = Triangulation(u, v)
            for ax, values, title in (
                (axes[row, 0], target[chosen], "target"),
                (axes[row, 1], (dose[chosen] >= threshold).astype(float), "predicted cure"),
            ):
                ax.tripcolor(tri, values, shading="gouraud", cmap="viridis", vmin=0, vmax=1)
                if 0 < target[chosen].max() and target[chosen].min() < 1:
                    ax.tricontour(tri, target[chosen], levels=[0.5], colors="r", linewidths=0.8, linestyles="--")
                ax.set_aspect("equal")
                ax.set_title(f"{title}, height {h[chosen].mean():.3g}", fontsize="medium")
        chosen, u, v = _slice_at(points, light["axis"], 0.5 * (lo + hi))
        tri = Triangulation(u, v)
        shown = axes[0, 2].tripcolor(tri, dose[chosen] / threshold, shading="gouraud", cmap="inferno")
        axes[0, 2].tricontour(tri, dose[chosen] / threshold, levels=[1.0], colors="w", linewidths=0.8)
        axes[0, 2].set_aspect("equal")
        axes[0, 2].set_title("dose / threshold, middle layer", fontsize="medium")
        fig.colorbar(shown, ax=axes[0, 2], shrink=0.85)
        top = max(float(dose.max() / threshold), 1.5)
        bins = np.linspace(0, top, 60)
        axes[1, 2].hist(dose[~inside] / threshold, bins=bins, color="tab:blue", alpha=0.7, label="outside", log=True)
        axes[1, 2].hist(dose[inside] / threshold, bins=bins, color="tab:orange", alpha=0.7, label="target", log=True)
        axes[1, 2].axvline(1.0, color="k", linewidth=0.8)
        axes[1, 2].set_xlabel("dose / threshold")
        axes[1, 2].set_ylabel("nodes")
        axes[1, 2].legend(fontsize="small")
        axes[1, 2].set_title(f"process window: gap {metrics.window:+.1%}", fontsize="medium")
        rows = light["rays_high"]
        middle = patterns.reshape(len(patterns), rows, -1)[:, rows // 2, :]
        shown = axes[0, 3].imshow(middle, aspect="auto", origin="lower", cmap="gray", interpolation="nearest")
        axes[0, 3].set_xlabel("ray across")
        axes[0, 3].set_ylabel("angle index")
        axes[0, 3].set_title(f"patterns (row {rows // 2} of {rows})", fontsize="medium")
        fig.colorbar(shown, ax=axes[0, 3], shrink=0.85)
        axes[1, 3].semilogy(np.arange(len(loss)), np.maximum(loss, 1e-300))
        axes[1, 3].set_xlabel("iteration")
        axes[1, 3].set_ylabel("penalty")
        axes[1, 3].set_title(f"loss; IoU {metrics.iou:.3f} at the best threshold", fontsize="medium")
        axes[1, 3].grid(alpha=0.3)
        fig.tight_layout()
        fig.savefig(path)
    finally:
        plt.close(fig)
    return path.name


def format_summary(s: dict[str, Any], folder: str) -> str:
    """The terminal summary of ``lumetra design``."""
    w = s["process_window"]
    good = w["good_thresholds"]
    lines = [
        f"lumetra design: {s['wall_time_s']:.1f} s wall time ({s['optimise_time_s']:.1f} s optimising)",
        f"  patterns       {s['angles']} angles x {s['rays']} rays, {s['iterations']} iterations, {s['traces']} traces "
        f"({'matrix recorded' if s['map'] == 'recorded' else 'forward and adjoint traces'})",
        f"  predicted      IoU {s['iou']:.3f} at the best dose threshold; gap {w['relative_gap']:+.3f} (lowest dose "
        f"in the target against the highest outside); "
        + (
            f"IoU >= {w['good_iou']:g} for thresholds {good[0]:.4g} to {good[1]:.4g} ({w['good_relative_width']:.1%})"
            if good
            else f"IoU never reaches {w['good_iou']:g}"
        ),
        f"  dose spread    {s['dose_spread']:.1%} inside the target (coefficient of variation)",
        f"  exposure       light.power = {s['power']:.6g}"
        + (f" mW = light.irradiance {s['irradiance_mW_per_cm2']:.4g} mW/cm^2" if "irradiance_mW_per_cm2" in s else "")
        + f" ({s['model']} model; lumetra run gives IoU {s['run_iou']:.3f})",
        *(
            [
                "  print time     "
                + (
                    f"IoU >= {GOOD_IOU:g} not reached in the run"
                    if s["print_time_s"] is None
                    else f"{s['print_time_s']:.4g} s (the run reaches IoU >= {GOOD_IOU:g} then)"
                )
            ]
            if "print_time_s" in s
            else []
        ),
        *(
            [
                f"  cure passes    run IoU by pass: {', '.join(format(p['run_iou'], '.3f') for p in s['passes'])} "
                f"(pass {s['chosen_pass']} written)"
            ]
            if len(s["passes"]) > 1
            else []
        ),
        f"  output         {folder}/: {', '.join(str(v) for k, v in s['files'].items() if k != 'engine_log')}",
    ]
    return "\n".join(lines)
