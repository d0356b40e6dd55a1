"""Scenario files of ``lumetra run``: the schema, the embedded default, reading and checking.

A scenario is a TOML file with the tables ``[units]`` (physical units, optional), ``[mesh]``, ``[[boundary]]`` (one table per optical
boundary condition), ``[resin]``, ``[light]``, ``[optics]``, ``[time]``, ``[output]``,
``[target]`` (the part to print) and ``[design]`` (how ``lumetra design`` finds its patterns).
Every key is optional: a missing key takes the default below. A key the schema does not
know, a value of the wrong type or out of range, and a key that belongs to another choice
(``mesh.radius`` with ``mesh.source = "file"``) are refused with a :class:`ScenarioError`
that names the key by its dotted path. The embedded
default (``default()``, what ``lumetra run`` runs without a file) adds to the key defaults a
print: the built-in target and the patterns designed for it (DEFAULT_PRINT).

Contents
--------
SCHEMA, BOUNDARY
    The keys of every table: type, default, allowed values and a help text.
default, load, loads, check
    The default scenario, a scenario read from a file or a string, a dict checked.
override
    A scenario with ``table.key=value`` assignments applied (the CLI's ``--set``).
default_text
    The default scenario as a commented TOML file.
"""

from __future__ import annotations

import copy
import math
import tomllib
from dataclasses import dataclass
from pathlib import Path
from typing import Any

__all__ = [
    "SCHEMA",
    "BOUNDARY",
    "ScenarioError",
    "Key",
    "default",
    "load",
    "loads",
    "check",
    "override",
    "default_text",
    "reference_text",
    "dumps",
    "SMALL",
    "UNIFORM_BEAM",
]


class ScenarioError(ValueError):
    """A scenario that cannot run; the message starts with the dotted path of the key."""


@dataclass(frozen=True)
class Key:
    """One scenario key.

    kind is "float", "int", "bool", "str", "floats" or "ints" (lists); length fixes a
    list's length; choices the allowed strings; minimum (and maximum) bound numbers, with
    exclusive making the minimum strict; when = (sibling key, values) limits the key to
    tables where the sibling has one of those values.
    """

    kind: str
    default: Any
    help: str
    length: int | None = None
    choices: tuple[str, ...] | None = None
    minimum: float | None = None
    maximum: float | None = None
    exclusive: bool = False
    when: tuple[str, tuple[str, ...]] | None = None


def _vial(kind, default, help, **kw):
    return Key(kind, default, help, when=("source", ("vial",)), **kw)


def _box(kind, default, help, **kw):
    return Key(kind, default, help, when=("source", ("box",)), **kw)


def _curalis(kind, default, help, **kw):
    return Key(kind, default, help, when=("model", ("curalis",)), **kw)


def _target_shape(kind, default, help, **kw):
    return Key(kind, default, help, when=("source", ("shape",)), **kw)


def _target_file(kind, default, help, **kw):
    return Key(kind, default, help, when=("source", ("file",)), **kw)


def _dose(kind, default, help, **kw):
    return Key(kind, default, help, when=("model", ("dose",)), **kw)


POSITIVE = dict(minimum=0.0, exclusive=True)
# The engine sums ray powers in single precision: a total above this is infinite there.
SINGLE_MAX = 3.4028234663852886e38
NONNEGATIVE = dict(minimum=0.0)

SECTION_HELP = {
    "units": "Physical units, both or neither (lumetra.units): lengths in units.length, absorptivity per\n"
    "units.length, time.dt in units.time, light.power in mW (or light.irradiance in mW/cm^2), doses in\n"
    "mJ/cm^3. \"none\": the mesh's and time.dt's own units, powers as the rays carry them.",
    "mesh": "The resin volume: a generated vial or block, or a mesh file of hexahedra.",
    "boundary": "Optical boundary conditions, one [[boundary]] table each; faces without one let light out\n"
    "unrefracted.",
    "resin": "The curing model and its constants (lengths in mesh units, times in time.dt units).",
    "light": "What lights the resin, and the angles it turns through about light.axis (through the origin).",
    "optics": "The ray tracer.",
    "time": "One step = one optical trace at the step's angle, then one curing step of time.dt.",
    "output": "What is written, and where.",
    "target": "The part to print: `lumetra run` reports the IoU of the cured region against it, and\n"
    "`lumetra design` computes the patterns that print it.",
    "design": "How `lumetra design` optimises the patterns.",
}

SCHEMA: dict[str, dict[str, Key]] = {
    "units": {
        "length": Key(
            "str",
            "none",
            'unit of every length: "mm", "cm", "um" or "none" (the mesh\'s own)',
            choices=("none", "mm", "cm", "um"),
        ),
        "time": Key(
            "str",
            "none",
            'unit of time.dt: "s", "ms", "min" or "none" (time.dt\'s own)',
            choices=("none", "s", "ms", "min"),
        ),
    },
    "mesh": {
        "source": Key(
            "str",
            "vial",
            '"vial" (O-grid cylinder about the z axis, standing on z = 0), "box" or "file"',
            choices=("vial", "box", "file"),
        ),
        "file": Key(
            "str",
            "",
            "mesh file (legacy VTK, VTU, Gmsh, Abaqus, ...: whatever load_mesh reads), relative to the scenario file",
            when=("source", ("file",)),
        ),
        "radius": _vial("float", 5.0, "vial radius", **POSITIVE),
        "height": _vial("float", 10.0, "vial height", **POSITIVE),
        "n_core": _vial("int", 8, "elements along each side of the square core", minimum=1),
        "n_radial": _vial("int", 6, "elements from the core to the wall", minimum=1),
        "n_z": _vial("int", 16, "element layers along z", minimum=1),
        "core_fraction": _vial(
            "float",
            0.5,
            "distance of the core's corners from the axis, fraction of the radius",
            minimum=0.0,
            maximum=1.0,
            exclusive=True,
        ),
        "size": _box("floats", [10.0, 10.0, 10.0], "block edge lengths along x, y, z", length=3),
        "cells": _box("ints", [10, 10, 10], "elements along x, y, z", length=3),
        "origin": _box("floats", [-5.0, -5.0, 0.0], "the block's corner with the smallest coordinates", length=3),
    },
    "resin": {
        "model": Key(
            "str",
            "curalis",
            '"curalis" (reaction-diffusion with oxygen inhibition) or "dose" '
            "(exposa: the degree of curing ramps with the absorbed dose)",
            choices=("curalis", "dose"),
        ),
        "n0": Key("float", 1.48, "refractive index of the uncured resin", **POSITIVE),
        "n1": Key("float", 1.52, "refractive index of the fully cured resin", **POSITIVE),
        "alpha0": Key("float", 0.05, "absorptivity of the uncured resin (per mesh length unit)", **NONNEGATIVE),
        "alpha1": Key("float", 0.05, "absorptivity of the fully cured resin", **NONNEGATIVE),
        "kpropagation": _curalis("float", 0.4, "propagation rate constant", **NONNEGATIVE),
        "koxygen": _curalis("float", 0.3, "oxygen consumption rate constant", **NONNEGATIVE),
        "diffusion_oxygen": _curalis("float", 0.06, "oxygen diffusion coefficient", **NONNEGATIVE),
        "diffusion_radical": _curalis("float", 0.001, "radical diffusion coefficient", **NONNEGATIVE),
        "diffusion_scheme": _curalis(
            "str",
            "fem",
            '"fem" (finite elements, implicit step: converges as mesh and '
            'step are refined) or "kernel" (Gaussian smoothing within a cut-off radius)',
            choices=("fem", "kernel"),
        ),
        "fem_preconditioner": _curalis(
            "str",
            "multigrid",
            'what the "fem" scheme\'s conjugate gradients are preconditioned with: "multigrid" (aggregation '
            'multigrid: fewer iterations as the mesh is refined) or "diagonal"',
            choices=("diagonal", "multigrid"),
        ),
        "fem_multigrid_from": _curalis(
            "float",
            8.0,
            'with "multigrid": the stiffness of a step (D dt times the mean stiffness row sum over the mass, '
            "about 8 D dt / (3 h^2) on cubes) from which it uses the multigrid levels; 0: every step",
            **NONNEGATIVE,
        ),
        "diffusion_bc": _curalis(
            "int", 0, "1: both species fixed on the boundary when neither switch below is set", minimum=0, maximum=1
        ),
        "diffusion_bc_radical": _curalis(
            "int", 0, "1: radical field fixed to dirichlet_radical on the boundary", minimum=0, maximum=1
        ),
        "diffusion_bc_oxygen": _curalis(
            "int", 1, "1: oxygen fixed to dirichlet_oxygen on the oxygen boundary", minimum=0, maximum=1
        ),
        "dirichlet_radical": _curalis("float", 0.0, "boundary value of the radical field", **NONNEGATIVE),
        "dirichlet_oxygen": _curalis(
            "float", 1.0, "boundary value of oxygen (1 = saturated: air at the wall)", **NONNEGATIVE
        ),
        "oxygen_gel_point": _curalis(
            "float", 1.0, "degree of curing from which oxygen stops diffusing", minimum=0.0, maximum=1.0
        ),
        "oxygen_dirichlet_all_boundary": _curalis("bool", True, "oxygen boundary = every boundary node"),
        "oxygen_dirichlet_bc_groups": _curalis(
            "ints", [], "indices of [[boundary]] tables whose faces form the oxygen boundary (-1: the whole boundary)"
        ),
        "oxygen_dirichlet_face_ids": _curalis("ints", [], "boundary-face ids that form the oxygen boundary"),
        "c_monomer0": _curalis("float", 1.0, "initial monomer concentration", **NONNEGATIVE),
        "c_radical0": _curalis("float", 0.0, "initial radical concentration", **NONNEGATIVE),
        "c_oxygen0": _curalis("float", 1.0, "initial oxygen, a fraction of saturation", **NONNEGATIVE),
        "degree_of_curing0": _curalis("float", 0.0, "initial degree of curing", minimum=0.0, maximum=1.0),
        "dose_threshold": _dose(
            "float", 0.15, "dose (absorbed energy per volume; mJ/cm^3 with [units]) where curing starts", **NONNEGATIVE
        ),
        "dose_full": _dose("float", 0.3, "dose where the resin is fully cured", **POSITIVE),
    },
    "light": {
        "source": Key(
            "str",
            "beam",
            '"beam" (parallel rays on a rectangle), "rays" (a .ry file) or "camera" (one ray per pixel)',
            choices=("beam", "rays", "camera"),
        ),
        "file": Key(
            "str",
            "",
            ".ry file: a count line, then px py pz dx dy dz power per ray; relative to the scenario file",
            when=("source", ("rays",)),
        ),
        "direction": Key(
            "floats",
            [1.0, 0.0, 0.0],
            "travel direction of the beam or camera at angle 0",
            length=3,
            when=("source", ("beam", "camera")),
        ),
        "center": Key(
            "floats",
            [0.0, 0.0, 5.0],
            "beam: the point its central ray passes through at angle 0",
            length=3,
            when=("source", ("beam",)),
        ),
        "width": Key(
            "float", 6.0, "beam width, across the direction and the axis", when=("source", ("beam",)), **POSITIVE
        ),
        "height": Key("float", 4.0, "beam height, along the axis", when=("source", ("beam",)), **POSITIVE),
        "rays_across": Key("int", 40, "rays across the width", when=("source", ("beam",)), minimum=1),
        "rays_high": Key("int", 12, "rays along the height", when=("source", ("beam",)), minimum=1),
        "projector": Key(
            "str",
            "parallel",
            '"parallel" (the beam), "telecentric" (a pixel grid of '
            'rays_across x rays_high pixels of pixel_pitch) or "lens" (each pixel a cone through a '
            "finite aperture, blurred away from its focal plane)",
            choices=("parallel", "telecentric", "lens"),
            when=("source", ("beam",)),
        ),
        "pixel_pitch": Key(
            "float",
            0.0,
            "telecentric, lens: pixel edge; the image is rays_across x rays_high pixels (0: width x height as given)",
            when=("source", ("beam",)),
            **NONNEGATIVE,
        ),
        "aperture": Key(
            "float",
            2.0,
            "lens: half-angle in degrees of each pixel's cone of rays",
            when=("source", ("beam",)),
            minimum=0.0,
            maximum=80.0,
        ),
        "focus": Key(
            "float",
            0.0,
            "lens: distance from light.center to the focal plane, along the direction",
            when=("source", ("beam",)),
        ),
        "rays_per_pixel": Key("int", 7, "lens: rays in each pixel's cone", when=("source", ("beam",)), minimum=1),
        "start_distance": Key(
            "float",
            0.0,
            "beam: how far before the center the rays start; 0: just outside the "
            "mesh at every angle (from the mesh's extent)",
            when=("source", ("beam",)),
            **NONNEGATIVE,
        ),
        "position": Key(
            "floats", [-10.0, 0.0, 5.0], "camera position at angle 0", length=3, when=("source", ("camera",))
        ),
        "pixels": Key(
            "ints", [12, 40], "camera pixels: height, width", length=2, when=("source", ("camera",)), minimum=1
        ),
        "pixel_size": Key("float", 0.15, "camera pixel edge", when=("source", ("camera",)), **POSITIVE),
        "power": Key(
            "float",
            1.0,
            "total power of all rays at one angle, spread evenly (beam, camera); with intensities, the factor on "
            "them (mW with [units])",
            when=("source", ("beam", "camera")),
            minimum=0.0,
            maximum=SINGLE_MAX,
        ),
        "irradiance": Key(
            "float",
            0.0,
            "beam with [units]: the projector's irradiance in mW/cm^2, a pixel at full power (pattern value 1) "
            "over its area; replaces light.power (0: light.power)",
            when=("source", ("beam",)),
            minimum=0.0,
            maximum=SINGLE_MAX,
        ),
        "axis": Key("floats", [0.0, 0.0, 1.0], "rotation axis, through the origin", length=3),
        "angles": Key(
            "floats", [], "angles in degrees, one per projection; when empty, angle_count angles angle_step apart"
        ),
        "angle_step": Key("float", 5.0, "degrees between projections"),
        "angle_count": Key("int", 72, "projections per turn", minimum=1),
        "intensities": Key(
            "str",
            "",
            "the power of each ray at each angle, replacing the powers above: .npy of "
            "shape (angles, rays), or images (beam): .npy (angles, rows, columns) or (rows, angles, "
            "columns), or a folder or glob of 8-bit PNG, one per angle by name; row 0 the top "
            "(furthest along the axis), rows = rays_high, columns = rays_across; or a sinogram .npy "
            "(columns, angles, rows), row 0 the bottom",
        ),
        "pattern_layout": Key(
            "str",
            "angles_rows_columns",
            'axes of a 3-D .npy in light.intensities; "columns_angles_rows" is the sinogram array '
            "of the tomographic-printing toolboxes",
            choices=("angles_rows_columns", "rows_angles_columns", "columns_angles_rows"),
        ),
    },
    "optics": {
        "solver": Key(
            "str", "FE", '"FE" (forward Euler) or "RK4" (Runge-Kutta 4) through the graded index', choices=("FE", "RK4")
        ),
        "threads": Key("int", 0, "CPU threads (0: OMP_NUM_THREADS or all cores)", minimum=0),
    },
    "time": {
        "dt": Key("float", 1.0, "time of one curing step", **POSITIVE),
        "steps": Key("int", 144, "steps; step k uses angle k modulo the number of angles", minimum=1),
    },
    "output": {
        "folder": Key("str", "lumetra-run", "output folder, relative to the working directory"),
        "every": Key("int", 8, "a VTU frame every this many steps, and after the last (0: none)", minimum=0),
        "figure": Key("bool", True, "write figure.png (needs matplotlib)"),
        "cure_threshold": Key(
            "float", 0.5, "degree of curing from which a node counts as cured", minimum=0.0, maximum=1.0, exclusive=True
        ),
    },
    "target": {
        "source": Key(
            "str",
            "none",
            '"none", "shape" (a built-in cross-section extruded along light.axis) or "file"',
            choices=("none", "shape", "file"),
        ),
        "shape": _target_shape(
            "str",
            "disk_bar_foot",
            '"disk_bar_foot" (an off-axis disk beside a bar with a foot: '
            'no symmetry) or "cylinder" (a disk on the axis)',
            choices=("disk_bar_foot", "cylinder"),
        ),
        "size": _target_shape(
            "float", 3.0, "radius of the circle about the axis that the cross-section fills", **POSITIVE
        ),
        "height": _target_shape(
            "float", 3.0, "extent along light.axis, centred on the beam's light.center", **POSITIVE
        ),
        "file": _target_file(
            "str",
            "",
            ".npy voxel array (axes x, y, z; 1 inside, 0 outside, or fractions) or a "
            "closed .stl/.obj surface (needs trimesh); relative to the scenario file",
        ),
        "origin": _target_file(
            "floats",
            [0.0, 0.0, 0.0],
            ".npy: voxel (i, j, k) is centred at origin + ((i, j, k) + 0.5) * voxel_size; a surface moves by origin",
            length=3,
        ),
        "voxel_size": _target_file(
            "float",
            0.0,
            ".npy: voxel edge (needed); a surface: the voxelisation pitch (0: a 64th of its largest extent)",
            **NONNEGATIVE,
        ),
    },
    "design": {
        "map": Key(
            "str",
            "auto",
            '"auto" (the ray-to-node matrix recorded once when it fits in a quarter of the '
            'memory, else traces) or "traced" (a forward and an adjoint trace per iteration)',
            choices=("auto", "traced"),
        ),
        "iterations": Key(
            "int", 40, "optimiser iterations (each one forward and one adjoint trace of every angle)", minimum=1
        ),
        "band": Key(
            "float",
            0.1,
            "the optimiser aims at dose >= 1 inside the target and <= 1 - band outside",
            minimum=0.0,
            maximum=1.0,
            exclusive=True,
        ),
        "calibration_runs": Key(
            "int", 10, "curalis: coupled runs at most to find the light.power that prints best", minimum=1
        ),
        "cure_passes": Key(
            "int",
            0,
            "corrections from coupled runs: retrace through the resin as the last run "
            "cured it, raise the dose aimed at where it missed the target, lower it where it "
            "cured outside, optimise again",
            minimum=0,
        ),
    },
}

BOUNDARY: dict[str, Key] = {
    "select": Key(
        "str",
        "wall",
        'which faces: "wall" (the vial\'s cylinder wall), "radial" (nodes with '
        'radius_min <= distance from the z axis <= radius_max), "bbox" or "all"',
        choices=("wall", "radial", "bbox", "all"),
    ),
    "radius_min": Key(
        "float", 0.0, "radial selection: smallest distance from the z axis", when=("select", ("radial",)), **NONNEGATIVE
    ),
    "radius_max": Key(
        "float", 0.0, "radial selection: largest distance from the z axis", when=("select", ("radial",)), **NONNEGATIVE
    ),
    "bbox": Key(
        "floats",
        [0.0, 0.0, 0.0, 0.0, 0.0, 0.0],
        "box selection: x_min x_max y_min y_max z_min z_max",
        length=6,
        when=("select", ("bbox",)),
    ),
    "interaction": Key(
        "str",
        "transmit",
        '"transmit" (Fresnel refraction and reflection) or "reflect" (mirror)',
        choices=("transmit", "reflect"),
    ),
    "outside_index": Key("float", 1.0, "refractive index of the medium outside (1: air)", **POSITIVE),
    "outside_extinction": Key("float", 0.0, "extinction coefficient of the medium outside", **NONNEGATIVE),
    "roughness": Key("float", 0.0, "Beckmann rms slope of a rough surface (0: smooth)", **NONNEGATIVE),
    "fresnel": Key(
        "str",
        "exact",
        'reflectance: "exact" (the Fresnel equations) or "schlick" (Schlick\'s '
        "approximation, which also reflects between equal indices)",
        choices=("exact", "schlick"),
    ),
}

DEFAULT_BOUNDARY = [{"select": "wall"}]

DEFAULT_PATTERNS = Path(__file__).resolve().parent / "data" / "default_patterns.npy"
# The embedded default is a print: the built-in target, and patterns that `lumetra design`
# computed for it on this same scenario (shipped, so the default run needs no design first),
# at the exposure its coupled runs found best. An empty scenario file has neither.
DEFAULT_PRINT = {"target": {"source": "shape"}, "light": {"intensities": str(DEFAULT_PATTERNS), "power": 0.00351928}}

_KIND_NAMES = {
    "float": "a number",
    "int": "an integer",
    "bool": "true or false",
    "str": "a string",
    "floats": "a list of numbers",
    "ints": "a list of integers",
}


def _type_name(value: Any) -> str:
    return {bool: "boolean", int: "integer", float: "float", str: "string", list: "list", dict: "table"}.get(
        type(value), type(value).__name__
    )


def _convert(path: str, key: Key, value: Any) -> Any:
    """The value in the key's type, or a ScenarioError naming the path."""

    def number(v, integer, where):
        if isinstance(v, bool) or not isinstance(v, (int, float)) or (integer and not isinstance(v, int)):
            expected = "an integer" if integer else "a number"
            raise ScenarioError(f"{where}: expected {expected}, got {_type_name(v)} {v!r}")
        if not integer and not math.isfinite(v):
            raise ScenarioError(f"{where}: expected a finite number, got {v!r}")
        if key.minimum is not None and (v <= key.minimum if key.exclusive else v < key.minimum):
            raise ScenarioError(f"{where}: must be {'>' if key.exclusive else '>='} {key.minimum:g}, got {v!r}")
        if key.maximum is not None and v > key.maximum:
            raise ScenarioError(f"{where}: must be <= {key.maximum:g}, got {v!r}")
        return int(v) if integer else float(v)

    if key.kind in ("float", "int"):
        return number(value, key.kind == "int", path)
    if key.kind == "bool":
        if not isinstance(value, bool):
            raise ScenarioError(f"{path}: expected true or false, got {_type_name(value)} {value!r}")
        return value
    if key.kind == "str":
        if not isinstance(value, str):
            raise ScenarioError(f"{path}: expected a string, got {_type_name(value)} {value!r}")
        if key.choices and value not in key.choices:
            raise ScenarioError(f"{path}: must be one of {', '.join(repr(c) for c in key.choices)}, got {value!r}")
        return value
    if not isinstance(value, list):
        raise ScenarioError(f"{path}: expected {_KIND_NAMES[key.kind]}, got {_type_name(value)} {value!r}")
    if key.length is not None and len(value) != key.length:
        raise ScenarioError(f"{path}: expected {key.length} values, got {len(value)}")
    return [number(v, key.kind == "ints", f"{path}[{i}]") for i, v in enumerate(value)]


def _table(path: str, schema: dict[str, Key], given: Any) -> dict[str, Any]:
    """One table: defaults filled in, every given key checked against the schema."""
    if not isinstance(given, dict):
        raise ScenarioError(f"{path}: expected a table, got {_type_name(given)} {given!r}")
    for name in given:
        if name not in schema:
            raise ScenarioError(f"{path}.{name}: unknown key (known: {', '.join(schema)})")
    table = {name: copy.deepcopy(key.default) for name, key in schema.items()}
    for name, value in given.items():
        table[name] = _convert(f"{path}.{name}", schema[name], value)
    for name in given:
        when = schema[name].when
        if when is not None and table[when[0]] not in when[1]:
            raise ScenarioError(
                f"{path}.{name}: applies only when {path}.{when[0]} is "
                f"{' or '.join(repr(v) for v in when[1])}, not {table[when[0]]!r}"
            )
    return table


def check(data: dict[str, Any]) -> dict[str, Any]:
    """A complete scenario from a parsed TOML document: defaults filled in, everything checked.

    Raises
    ------
    ScenarioError
        Naming the dotted path of the first key that is unknown, of the wrong type, out of
        range, or set for another choice, or of the combination that cannot run.
    """
    for name in data:
        if name not in SCHEMA and name != "boundary":
            raise ScenarioError(f"{name}: unknown table (known: {', '.join(list(SCHEMA) + ['boundary'])})")
    scenario = {name: _table(name, schema, data.get(name, {})) for name, schema in SCHEMA.items()}
    boundary = data.get("boundary", DEFAULT_BOUNDARY)
    if not isinstance(boundary, list):
        raise ScenarioError(f"boundary: expected [[boundary]] tables, got {_type_name(boundary)}")
    scenario["boundary"] = [_table(f"boundary[{i}]", BOUNDARY, entry) for i, entry in enumerate(boundary)]
    _check_combinations(scenario, data)
    return scenario


def _check_combinations(s: dict[str, Any], data: dict[str, Any]) -> None:
    mesh, light, resin = s["mesh"], s["light"], s["resin"]
    if mesh["source"] == "file" and not mesh["file"]:
        raise ScenarioError("mesh.file: needed when mesh.source is 'file'")
    if light["source"] == "rays" and not light["file"]:
        raise ScenarioError("light.file: needed when light.source is 'rays'")
    for i, bc in enumerate(s["boundary"]):
        if bc["select"] == "wall" and mesh["source"] != "vial":
            raise ScenarioError(f"boundary[{i}].select: 'wall' needs mesh.source = 'vial', not {mesh['source']!r}")
        if bc["select"] == "radial" and bc["radius_max"] < bc["radius_min"]:
            raise ScenarioError(f"boundary[{i}].radius_max: smaller than radius_min")
        if bc["select"] == "bbox" and any(bc["bbox"][2 * a + 1] < bc["bbox"][2 * a] for a in range(3)):
            raise ScenarioError(f"boundary[{i}].bbox: a maximum is smaller than its minimum")
    given_light = data.get("light", {})
    _check_units(s, given_light)
    if light["angles"] and ({"angle_step", "angle_count"} & set(given_light)):
        raise ScenarioError("light.angles: give either the list of angles or angle_step and angle_count, not both")
    if not any(light["axis"]):
        raise ScenarioError("light.axis: has zero length")
    if light["source"] in ("beam", "camera"):
        d, a = light["direction"], light["axis"]
        if not any(d):
            raise ScenarioError("light.direction: has zero length")
        if light["source"] == "beam" and _parallel(d, a):
            raise ScenarioError("light.direction: parallel to light.axis (the beam would not turn)")
    if resin["model"] == "dose" and resin["dose_full"] <= resin["dose_threshold"]:
        raise ScenarioError("resin.dose_full: must be larger than resin.dose_threshold")
    if resin["model"] == "curalis":
        count = len(s["boundary"])
        for i, group in enumerate(resin["oxygen_dirichlet_bc_groups"]):
            if not -1 <= group < count:
                raise ScenarioError(
                    f"resin.oxygen_dirichlet_bc_groups[{i}]: {group} is not a [[boundary]] table: "
                    f"there {'is' if count == 1 else 'are'} {count}, counted from 0 (-1: the whole "
                    "boundary)"
                )
        for i, face in enumerate(resin["oxygen_dirichlet_face_ids"]):
            if face < -1:
                raise ScenarioError(
                    f"resin.oxygen_dirichlet_face_ids[{i}]: {face} is not a face id (ids count from "
                    "0; -1: the whole boundary)"
                )
    if s["target"]["source"] == "file" and not s["target"]["file"]:
        raise ScenarioError("target.file: needed when target.source is 'file'")
    if not s["output"]["folder"].strip():
        raise ScenarioError("output.folder: must not be empty")


def _check_units(s: dict[str, Any], given_light: dict[str, Any]) -> None:
    units, light = s["units"], s["light"]
    if (units["length"] == "none") != (units["time"] == "none"):
        named, other = ("length", "time") if units["length"] != "none" else ("time", "length")
        raise ScenarioError(
            f"units.{other}: needed with units.{named} = {units[named]!r} (the dose in mJ/cm^3 needs both; "
            "or neither, for the mesh's own units)"
        )
    if "irradiance" not in given_light:
        return
    if light["irradiance"] <= 0:
        raise ScenarioError(f"light.irradiance: must be > 0 mW/cm^2, got {light['irradiance']!r}")
    if units["length"] == "none":
        raise ScenarioError(
            "light.irradiance: needs [units] (units.length and units.time) to turn mW/cm^2 into the power of a ray"
        )
    if "power" in given_light:
        raise ScenarioError("light.irradiance: give either light.irradiance or light.power, not both")


def _parallel(u: list[float], v: list[float]) -> bool:
    cross = [u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]]
    return math.hypot(*cross) <= 1e-9 * math.hypot(*u) * math.hypot(*v)


# A uniform beam at unit power instead of the default's shipped patterns, which fit the
# default's own beam (its rays and angles) only.
UNIFORM_BEAM = ['light.intensities=""', "light.power=1.0"]

# Overrides that make the default small for quick runs (tests, benchmarks, checks): a coarser
# vial, fewer rays and angles, fewer but longer steps (the same dose per node as the
# default's 144 steps of 1), a frame every 6 steps, and a uniform beam.
SMALL = [
    "mesh.n_core=4",
    "mesh.n_radial=3",
    "mesh.n_z=8",
    "light.rays_across=16",
    "light.rays_high=4",
    "light.angle_count=12",
    "light.angle_step=30",
    "time.steps=24",
    "time.dt=6",
    "output.every=6",
    *UNIFORM_BEAM,
]


def default() -> dict[str, Any]:
    """The embedded default scenario: a tomographic print of the built-in target in a resin
    vial, with the shipped patterns designed for it (an empty file gives the same scenario
    without target and patterns: a uniform beam)."""
    return check(copy.deepcopy(DEFAULT_PRINT))


def loads(text: str, source: str = "scenario") -> dict[str, Any]:
    """A scenario from TOML text; syntax errors name the source and TOML's position."""
    try:
        data = tomllib.loads(text)
    except tomllib.TOMLDecodeError as error:
        raise ScenarioError(f"{source}: not valid TOML: {error}") from error
    return check(data)


def load(path: str | Path) -> dict[str, Any]:
    """A scenario from a TOML file; relative input paths in it are taken from the file's folder.

    Raises
    ------
    ScenarioError
        For a file that cannot be read, is not TOML, or holds a key that cannot run.
    """
    path = Path(path)
    try:
        text = path.read_text(encoding="utf-8")
    except OSError as error:
        raise ScenarioError(f"{path}: cannot read the scenario: {error.strerror}") from error
    except UnicodeDecodeError as error:
        raise ScenarioError(
            f"{path}: not UTF-8 text (byte 0x{error.object[error.start]:02x} at position "
            f"{error.start}); save the scenario as UTF-8"
        ) from error
    scenario = loads(text, str(path))
    base = path.resolve().parent
    for table, key in (("mesh", "file"), ("light", "file"), ("light", "intensities"), ("target", "file")):
        value = scenario[table][key]
        if value and not Path(value).is_absolute():
            scenario[table][key] = str(base / value)
    return scenario


def override(scenario: dict[str, Any], assignments: list[str]) -> dict[str, Any]:
    """The scenario with "table.key=value" assignments applied (value in TOML syntax: 3,
    2.5, "RK4", [1, 0, 0], true; a bare word is taken as a string), checked again.
    ``boundary.N.key=value`` sets a key of the N-th [[boundary]] table.
    """
    data = copy.deepcopy(scenario)
    for assignment in assignments:
        name, sep, text = assignment.partition("=")
        parts = name.strip().split(".")
        if not sep or len(parts) not in (2, 3) or not all(parts):
            raise ScenarioError(f"{assignment}: expected table.key=value (boundary.N.key=value for [[boundary]])")
        try:
            value = tomllib.loads(f"v = {text.strip()}")["v"]
        except tomllib.TOMLDecodeError:
            value = text.strip()
        if parts[0] == "boundary":
            if len(parts) != 3 or not parts[1].isdigit() or int(parts[1]) >= len(data["boundary"]):
                raise ScenarioError(f"{name}: expected boundary.N.key with N below {len(data['boundary'])}")
            data["boundary"][int(parts[1])][parts[2]] = value
        elif len(parts) == 2 and parts[0] in data:
            data[parts[0]][parts[1]] = value
        else:
            raise ScenarioError(f"{name}: unknown table")
    # Keys that the new choice does not use fall back out of the check: keep only the
    # assigned keys and the keys that still apply.
    return check(_applicable(data, {a.partition("=")[0].strip() for a in assignments}))


def _applicable(data: dict[str, Any], assigned: set[str]) -> dict[str, Any]:
    def keep(path, schema, table):
        return {
            k: v
            for k, v in table.items()
            if k not in schema
            or f"{path}.{k}" in assigned
            or schema[k].when is None
            or table.get(schema[k].when[0]) in schema[k].when[1]
        }

    out = {name: keep(name, SCHEMA.get(name, {}), table) for name, table in data.items() if name != "boundary"}
    light = out.get("light", {})
    if light.get("angles"):  # a list of angles replaces the evenly spaced ones
        for name in ("angle_step", "angle_count"):
            if f"light.{name}" not in assigned:
                light.pop(name, None)
    # An irradiance replaces the power; 0 stands for none given.
    if "light.irradiance" not in assigned and (light.get("irradiance", 0.0) == 0.0 or "light.power" in assigned):
        light.pop("irradiance", None)
    if "light.power" not in assigned and light.get("irradiance", 0.0) > 0:
        light.pop("power", None)
    out["boundary"] = [keep(f"boundary.{i}", BOUNDARY, t) for i, t in enumerate(data["boundary"])]
    return out


def _toml_value(value: Any) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float):
        return repr(value) if math.isfinite(value) else str(value)
    if isinstance(value, str):
        return '"' + value.replace("\\", "\\\\").replace('"', '\\"') + '"'
    if isinstance(value, list):
        return "[" + ", ".join(_toml_value(v) for v in value) + "]"
    return str(value)


def _table_text(schema: dict[str, Key], table: dict[str, Any]) -> list[str]:
    lines = []
    for name, key in schema.items():
        lines.append(f"# {key.help}")
        applies = key.when is None or table[key.when[0]] in key.when[1]
        applies = applies and not (name == "irradiance" and table[name] == 0.0)  # 0: not given, light.power
        lines.append(("" if applies else "# ") + f"{name} = {_toml_value(table[name])}")
    return lines


def dumps(scenario: dict[str, Any]) -> str:
    """A checked scenario as TOML text, without the keys its choices leave unused (and without
    angle_step and angle_count beside a list of angles, light.power beside an irradiance, an
    irradiance of 0): ``loads`` reads it back."""

    def table(schema, values, skip=()):
        return [
            f"{name} = {_toml_value(values[name])}"
            for name, key in schema.items()
            if name not in skip and (key.when is None or values[key.when[0]] in key.when[1])
        ]

    lines = []
    for name, schema in SCHEMA.items():
        skip: tuple[str, ...] = ()
        if name == "light":
            light = scenario["light"]
            skip = ("angle_step", "angle_count") if light["angles"] else ()
            skip += ("power",) if light.get("irradiance", 0.0) > 0 else ("irradiance",)
        lines += [f"[{name}]"] + table(schema, scenario[name], skip) + [""]
        if name == "mesh":
            for bc in scenario["boundary"]:
                lines += ["[[boundary]]"] + table(BOUNDARY, bc) + [""]
    return "\n".join(lines)


def default_text() -> str:
    """The default scenario as a TOML file with a comment above every key; keys that the
    default's choices do not use are commented out."""
    s = default()
    lines = [
        "# lumetra run scenario: a tomographic print in a resin vial (the embedded default).",
        "# Run it with `lumetra run this.toml`; every key is optional (a missing key takes the value",
        "# shown here). Input paths are relative to this file.",
        "",
    ]
    for name in SCHEMA:
        lines += [f"# {line}" for line in SECTION_HELP[name].splitlines()] + [f"[{name}]"]
        lines += _table_text(SCHEMA[name], s[name]) + [""]
        if name == "mesh":  # boundary conditions read best right after the mesh they select from
            lines += [f"# {line}" for line in SECTION_HELP["boundary"].splitlines()]
            for bc in s["boundary"]:
                lines += ["[[boundary]]"] + _table_text(BOUNDARY, bc) + [""]
    return "\n".join(lines)


def reference_text() -> str:
    """Every key with its default and help, for ``lumetra run --help``."""

    def rows(prefix, schema):
        out = []
        for name, key in schema.items():
            out.append(f"  {prefix}.{name} = {_toml_value(key.default)}")
            out.append(f"      {key.help}")
        return out

    lines = []
    for name in SCHEMA:
        lines += [f"[{name}]  {SECTION_HELP[name].splitlines()[0]}"] + rows(name, SCHEMA[name])
        if name == "mesh":
            lines += ["[[boundary]]  " + SECTION_HELP["boundary"].replace("\n", " ")] + rows("boundary", BOUNDARY)
    return "\n".join(lines)
