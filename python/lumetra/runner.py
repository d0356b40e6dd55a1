"""The coupled curing simulation behind ``lumetra run``: one engine, one curing model, and
for every step an optical trace at the step's angle followed by one curing step, so the
rays of the next step see the index of the partly cured resin.

Everything goes through the public API of ``lumetra``, ``curalis`` and ``exposa``.
:func:`run` takes a checked scenario (``lumetra.scenario``) and returns the summary that it
also writes as ``summary.json``.
"""

from __future__ import annotations

import contextlib
import json
import math
import sys
import tempfile
import time
import xml.etree.ElementTree as ET
from pathlib import Path
from typing import Any, Callable, TextIO

import numpy as np

import lumetra
from lumetra import _sizes, meshes, parallel, patterns, projector, units
from lumetra.scenario import ScenarioError

__all__ = ["run", "beam_rays", "write_pvd", "kernel_reach_warnings", "beam_start_distance", "Interrupted"]

VTU_STEM = "cure"
# The engine's balance is summed in float on the device; anything above this share of the
# power that entered is a leak, not rounding.
BALANCE_TOLERANCE = 1e-4
# Over several processes, the degree of curing is compared between them (a checksum) every
# this many steps, and after the last.
CHECK_EVERY = 10
# What beam_rays holds per ray at least: the (rays, 7) result and the grid coordinates and
# positions it is made from, all float64.
BEAM_BYTES_PER_RAY = (7 + 2 + 3) * 8


def _unit(v) -> np.ndarray:
    v = np.asarray(v, dtype=float)
    return v / np.linalg.norm(v)


def beam_rays(light: dict[str, Any]) -> np.ndarray:
    """The rays of a parallel beam at angle 0, shape (rays, 7): position, direction, power.

    Rays sit at the centres of a rays_across x rays_high grid over the width x height
    rectangle through light.center, start_distance before it, height along the axis.

    Raises
    ------
    MemoryError
        Naming both keys, before anything is allocated, for more rays than the engine holds
        or than fit in the memory available.
    """
    nu, nv = int(light["rays_across"]), int(light["rays_high"])
    lens = light.get("projector", "parallel") == "lens"
    per_pixel = int(light["rays_per_pixel"]) if lens else 1
    item = f"light.rays_across x light.rays_high{' x light.rays_per_pixel' if lens else ''} = {nu} x {nv}" + (
        f" x {per_pixel}" if lens else ""
    )
    _sizes.require_count(item, nu * nv * per_pixel, "rays", BEAM_BYTES_PER_RAY)
    _sizes.require_memory(f"{item} rays", nu * nv * per_pixel * BEAM_BYTES_PER_RAY)
    d, axis = _unit(light["direction"]), _unit(light["axis"])
    across = _unit(np.cross(axis, d))
    up = np.cross(d, across)
    width, height = projector.extent(light)
    u = (np.arange(nu) + 0.5) / nu - 0.5
    v = (np.arange(nv) + 0.5) / nv - 0.5
    vv, uu = np.meshgrid(v, u, indexing="ij")
    start = np.asarray(light["center"], dtype=float) - light["start_distance"] * d
    positions = start + uu.reshape(-1, 1) * width * across + vv.reshape(-1, 1) * height * up
    if lens:
        positions, directions = projector.cones(
            positions, d, across, up, light["start_distance"] + light["focus"], light["aperture"], per_pixel
        )
    else:
        directions = np.tile(d, (len(positions), 1))
    count = len(positions)
    return np.hstack([positions, directions, np.full((count, 1), light["power"] / count)])


def write_ray_file(path: Path, rays: np.ndarray) -> None:
    with open(path, "w", encoding="ascii") as f:
        f.write(f"{len(rays)}\n")
        np.savetxt(f, rays, fmt="%.9g")


def write_pvd(path: Path, frames: list[tuple[float, str]]) -> None:
    """A ParaView collection of (time, file name relative to the collection) pairs."""
    root = ET.Element("VTKFile", type="Collection", version="0.1", byte_order="LittleEndian")
    collection = ET.SubElement(root, "Collection")
    for t, name in frames:
        ET.SubElement(collection, "DataSet", timestep=repr(float(t)), group="", part="0", file=name)
    ET.indent(root)
    ET.ElementTree(root).write(path, encoding="utf-8", xml_declaration=True)


class _Light:
    """Puts the rays of one angle into the engine.

    The rays are set afresh for every step (a beam from its arrays, a user's ray file read
    again) and turned by the step's whole angle: rotate_reset_rays turns the rays where they
    are (on their start faces after a trace, or 10 units further back for rays that missed),
    so turning step by step would let missed rays drift away and round-off pile up.
    """

    def __init__(self, engine, light: dict[str, Any], folder: Path, comm: parallel.Serial | None = None):
        self.engine, self.light, self.comm = engine, light, comm or parallel.Serial()
        self.axis = list(_unit(light["axis"]))
        n_angles = len(light["angles"]) or light["angle_count"]
        self.angles = list(light["angles"]) or [k * light["angle_step"] for k in range(n_angles)]
        source = light["source"]
        self.beam = None
        if source == "beam":
            # The beam goes into the engine as arrays; beam.ry records it for the user.
            self.ray_file = folder / "beam.ry"
            try:
                rays = beam_rays(light)
            except MemoryError as error:
                raise ScenarioError(str(error)) from error
            self.beam = (rays[:, 0:3], rays[:, 3:6], rays[:, 6])
            write_ray_file(self.ray_file, rays)
        elif source == "rays":
            self.ray_file = Path(light["file"])
            _require_file("light.file", self.ray_file)
        else:
            self.ray_file = None
        self._load()
        self.count = engine.get_ray_count()
        if self.count == 0:
            raise ScenarioError("light: the light has no rays")
        self.base = None
        if source == "camera":
            self.base = np.full(self.count, light["power"] / self.count)
        self.intensities = self._intensities()
        # Over several processes each traces its share of the rays: the others get payload 0.
        self.file_payloads = engine.get_ray_payloads() if self.comm.size > 1 else None

    def _load(self):
        if self.beam is not None:
            self.engine.set_rays(*self.beam)
        elif self.ray_file is not None:
            self.engine.load_rays(str(self.ray_file))
        else:
            h, w = self.light["pixels"]
            self.engine.generate_camera_rays(
                self.light["position"], self.light["direction"], h, w, self.light["pixel_size"]
            )

    def _intensities(self):
        path = self.light["intensities"]
        if not path:
            return None
        light = self.light
        beam = light["source"] == "beam"
        images = Path(path).is_dir() or path.lower().endswith(".png") or any(c in path for c in "*?[")
        values = patterns.read_images(path) if images else patterns.load_npy(path)
        values = patterns.to_rays(
            values,
            path,
            light["pattern_layout"],
            light["rays_high"] if beam else None,
            light["rays_across"] if beam else None,
        )
        per_pixel = projector.rays_per_pixel(light)
        expected = (len(self.angles), self.count // per_pixel)
        if values.shape != expected:
            raise ScenarioError(
                f"light.intensities: {path} has shape {values.shape}, expected (angles, rays) = {expected}"
            )
        if not np.issubdtype(values.dtype, np.number) or not np.all(np.isfinite(values)) or np.any(values < 0):
            raise ScenarioError(f"light.intensities: {path} must hold finite, non-negative numbers")
        values = (
            np.repeat(np.asarray(values, dtype=float), per_pixel, axis=1) / per_pixel
        )  # a pixel's cone shares its power
        if np.any(values > FLOAT32_MAX):
            first = np.unravel_index(np.argmax(values > FLOAT32_MAX), values.shape)
            raise ScenarioError(
                f"light.intensities: {path} holds {values[first]:g} at (angle, ray) = "
                f"{tuple(int(i) for i in first)}; the engine keeps ray powers in single precision "
                f"(at most {FLOAT32_MAX:.3g})"
            )
        totals = values.sum(axis=1)
        if np.any(totals > FLOAT32_MAX):
            angle = int(np.argmax(totals > FLOAT32_MAX))
            raise ScenarioError(
                f"light.intensities: {path}: the powers of angle {angle} sum to {totals[angle]:g}; the "
                f"engine sums them in single precision (at most {FLOAT32_MAX:.3g})"
            )
        return values

    def set_angle(self, index: int) -> None:
        self._load()
        angle = self.angles[index]
        if angle != 0.0:
            self.engine.rotate_reset_rays(self.axis, math.radians(angle))
        if self.intensities is not None:
            payloads = self.light["power"] * self.intensities[index]
        elif self.base is not None:
            payloads = self.base
        else:
            payloads = self.file_payloads
        if payloads is not None:
            self.engine.set_ray_payloads(parallel.payloads(payloads, self.comm))


# The largest power a ray holds: the engine keeps ray powers in single precision.
FLOAT32_MAX = float(np.finfo(np.float32).max)


def _require_file(key: str, path: Path) -> None:
    if path.is_dir():
        raise ScenarioError(f"{key}: {path} is a folder, not a file")
    if not path.is_file():
        raise ScenarioError(f"{key}: no such file: {path}")


def _rotated(v: np.ndarray, axis: np.ndarray, degrees: float) -> np.ndarray:
    a = math.radians(degrees)
    return v * math.cos(a) + np.cross(axis, v) * math.sin(a) + axis * (axis @ v) * (1.0 - math.cos(a))


def beam_start_distance(light: dict[str, Any], points) -> float:
    """The least light.start_distance that starts the beam outside the mesh at every angle
    (in front of every node along the turned direction), plus 1% of the mesh's size."""
    points = np.asarray(points, dtype=float)
    d, axis, center = _unit(light["direction"]), _unit(light["axis"]), np.asarray(light["center"], dtype=float)
    angles = list(light["angles"]) or [k * light["angle_step"] for k in range(light["angle_count"])]
    low, high = points.min(axis=0), points.max(axis=0)
    # Every node for a modest product, else the corners of the bounding box (further out).
    if len(points) * len(angles) > 20_000_000:
        points = np.array([[(low, high)[(k >> a) & 1][a] for a in range(3)] for k in range(8)])
    needed = -math.inf
    for angle in angles:
        turned = _rotated(d, axis, angle)
        needed = max(needed, float(center @ d - (points @ turned).min()))
    return max(needed, 0.0) + 0.01 * float(np.linalg.norm(high - low))


def _placed_beam(light: dict[str, Any], points, stream: TextIO) -> dict[str, Any]:
    """The light with its start distance: from the mesh's bounding box when left at 0, else
    as given (with a warning when the beam then starts inside the mesh)."""
    if light["source"] != "beam":
        return light
    needed = beam_start_distance(light, points)
    if light["start_distance"] == 0.0:
        return dict(light, start_distance=needed)
    if light["start_distance"] < needed:
        print(
            f"Warning: light.start_distance = {light['start_distance']:g} starts the beam level with the mesh at "
            f"some angle (clear of it from {needed:.4g}), so rays may start inside it; leave the key out to start "
            "outside",
            file=stream,
            flush=True,
        )
    return light


def _mesh(scenario: dict[str, Any], n_start: float, alpha_start: float) -> meshes.HexMesh:
    m = scenario["mesh"]
    try:
        if m["source"] == "vial":
            return meshes.vial(
                m["radius"],
                m["height"],
                m["n_core"],
                m["n_radial"],
                m["n_z"],
                m["core_fraction"],
                refractive_index=n_start,
                absorptivity=alpha_start,
            )
        if m["source"] == "box":
            return meshes.box(
                *m["cells"], size=m["size"], origin=m["origin"], refractive_index=n_start, absorptivity=alpha_start
            )
    except (MemoryError, ValueError) as error:  # the generator names its arguments, the scenario's mesh keys
        raise ScenarioError(f"mesh: {error}") from error
    _require_file("mesh.file", Path(m["file"]))
    read = meshes.read(m["file"])
    # The resin fixes the material: the curing model rewrites both fields after the first step.
    return read._replace(
        refractive_index=np.full(len(read.points), n_start), absorptivity=np.full(len(read.points), alpha_start)
    )


def _boundary_conditions(engine, scenario: dict[str, Any]) -> list:
    conditions = []
    for i, entry in enumerate(scenario["boundary"]):
        select = entry["select"]
        if select == "wall":
            r = scenario["mesh"]["radius"]
            # The engine keeps coordinates in float: allow for its rounding of the wall radius.
            faces = engine.select_boundary_faces_radial(r, r, True, 1e-5 * r)
        elif select == "radial":
            faces = engine.select_boundary_faces_radial(entry["radius_min"], entry["radius_max"], True)
        elif select == "bbox":
            faces = engine.select_boundary_faces_bbox(*entry["bbox"], True)
        else:
            big = 1e30
            faces = engine.select_boundary_faces_bbox(-big, big, -big, big, -big, big, True)
        if not faces:
            raise ScenarioError(f"boundary[{i}].select: {select!r} selects no boundary face of this mesh")
        bc = lumetra.OpticalBoundaryCondition()
        bc.faces = faces
        bc.interaction_type = lumetra.TRANSMIT if entry["interaction"] == "transmit" else lumetra.REFLECT
        bc.refractive_index_real = entry["outside_index"]
        bc.refractive_index_imag = entry["outside_extinction"]
        bc.rough_surface = entry["roughness"] > 0
        bc.roughness = entry["roughness"]
        bc.fresnel = entry["fresnel"]
        conditions.append(bc)
    return conditions


# The [resin] keys that set the reaction-diffusion model, each the CuralisProps field of its
# name: every field but dt, which is time.dt (test_cli checks the table against both).
CURALIS_SETTINGS = (
    "n0",
    "n1",
    "alpha0",
    "alpha1",
    "kpropagation",
    "koxygen",
    "diffusion_oxygen",
    "diffusion_radical",
    "diffusion_scheme",
    "fem_preconditioner",
    "fem_multigrid_from",
    "diffusion_bc",
    "diffusion_bc_radical",
    "diffusion_bc_oxygen",
    "dirichlet_radical",
    "dirichlet_oxygen",
    "oxygen_gel_point",
    "oxygen_dirichlet_all_boundary",
    "oxygen_dirichlet_bc_groups",
    "oxygen_dirichlet_face_ids",
    "c_monomer0",
    "c_radical0",
    "c_oxygen0",
    "degree_of_curing0",
)


def _model(scenario: dict[str, Any], n_nodes: int):
    resin, dt = scenario["resin"], scenario["time"]["dt"]
    if resin["model"] == "dose":
        import exposa

        return exposa.Exposa(
            n0=resin["n0"],
            n1=resin["n1"],
            alpha0=resin["alpha0"],
            alpha1=resin["alpha1"],
            dose_full=resin["dose_full"],
            dose_threshold=resin["dose_threshold"],
            dt=dt,
            n_nodes=n_nodes,
        )
    import curalis

    p = curalis.CuralisProps()
    for name in CURALIS_SETTINGS:
        setattr(p, name, resin[name])
    p.dt = dt
    return curalis.Curalis(p, n_nodes)


# The kernel scheme follows the heat equation only while its cut-off radius spans a few node
# spacings: below, a step reaches no neighbour; above, one step cannot carry what diffusion
# does over its length.
KERNEL_REACH = (1.5, 6.0)
HEX_EDGES = ((0, 1), (1, 2), (2, 3), (3, 0), (4, 5), (5, 6), (6, 7), (7, 4), (0, 4), (1, 5), (2, 6), (3, 7))


def kernel_reach_warnings(points, hexahedra, resin: dict[str, Any], dt: float) -> list[str]:
    """Warnings for a kernel-scheme diffusion whose cut-off radius sqrt(4 D dt ln 1000) lies
    outside 1.5 to 6 node spacings (the median element edge)."""
    if resin.get("model") != "curalis" or resin.get("diffusion_scheme") != "kernel" or len(hexahedra) == 0:
        return []
    points, hexahedra = np.asarray(points, dtype=float), np.asarray(hexahedra)
    a, b = np.array(HEX_EDGES).T
    spacing = float(np.median(np.linalg.norm(points[hexahedra[:, a]] - points[hexahedra[:, b]], axis=-1)))
    out = []
    for species in ("radical", "oxygen"):
        D = resin[f"diffusion_{species}"]
        if D <= 0 or spacing <= 0:
            continue
        radius = math.sqrt(4 * D * dt * math.log(1000))
        low, high = KERNEL_REACH
        if not low * spacing <= radius <= high * spacing:
            out.append(
                f"Warning: the kernel diffusion of {species} reaches {radius:.4g} with node spacing "
                f"{spacing:.4g} ({radius / spacing:.2g} spacings; it follows the heat equation from {low:g} "
                f'to {high:g}): use resin.diffusion_scheme = "fem"'
            )
    return out


def _start_material(resin: dict[str, Any]) -> tuple[float, float]:
    x = resin["degree_of_curing0"] if resin["model"] == "curalis" else 0.0
    return resin["n0"] + x * (resin["n1"] - resin["n0"]), resin["alpha0"] + x * (resin["alpha1"] - resin["alpha0"])


class Interrupted(KeyboardInterrupt):
    """Ctrl-C during the steps of a run: the frames written so far have their .pvd and a
    summary.json marked "interrupted"; ``summary`` is that summary."""

    def __init__(self, summary: dict[str, Any]):
        super().__init__(f"interrupted after step {summary['steps_done']} of {summary['steps']}")
        self.summary = summary


class _EngineLog:
    """Where the engine's standard output goes during a run: every line into engine.log, and
    its warnings and errors also onto the terminal, each text once; repeats are counted and
    reported by :meth:`repeats`."""

    def __init__(self, log: TextIO, stream: TextIO):
        self.log, self.stream, self.counts, self.pending = log, stream, {}, ""

    def write(self, text: str) -> int:
        self.log.write(text)
        self.pending += text
        while "\n" in self.pending:
            line, _, self.pending = self.pending.partition("\n")
            self._line(line.strip())
        return len(text)

    def _line(self, line: str) -> None:
        if not line.startswith(("Warning", "Error")):
            return
        seen = self.counts.get(line, 0)
        self.counts[line] = seen + 1
        if not seen:
            print(f"engine: {line}", file=self.stream, flush=True)

    def flush(self) -> None:
        self.log.flush()

    def __getattr__(self, name: str) -> Any:  # encoding, fileno, isatty, ...: those of the file
        return getattr(self.log, name)

    def repeats(self) -> list[str]:
        return [f"engine: {count} times in all: {line}" for line, count in self.counts.items() if count > 1]


@contextlib.contextmanager
def _engine_log(path: Path, stream: TextIO):
    """An _EngineLog into the file at path; the counts of repeated warnings follow at the end."""
    with open(path, "w", encoding="utf-8") as f:
        log = _EngineLog(f, stream)
        try:
            yield log
        finally:
            for line in log.repeats():
                print(line, file=stream)


class _Progress:
    """A tqdm bar when tqdm is installed, plain lines at every tenth of the run otherwise."""

    def __init__(self, total: int, enabled: bool, stream: TextIO):
        self.total, self.enabled, self.stream, self.bar = total, enabled, stream, None
        if enabled:
            try:
                from tqdm import tqdm
            except ImportError:
                tqdm = None
            if tqdm is not None:
                self.bar = tqdm(total=total, unit="step", desc="curing", file=sys.stderr, dynamic_ncols=True)

    def update(self, step: int, t: float, cured: float) -> None:
        if not self.enabled:
            return
        if self.bar is not None:
            self.bar.set_postfix_str(f"cured {cured:.1%}", refresh=False)
            self.bar.update(1)
        elif step == self.total or step % max(1, self.total // 10) == 0:
            print(f"step {step}/{self.total}  t = {t:g}  cured {cured:.1%}", file=self.stream, flush=True)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def run(
    scenario: dict[str, Any],
    progress: bool = True,
    stream: TextIO | None = None,
    comm: parallel.Serial | None = None,
    on_step: Callable[[int, np.ndarray], None] | None = None,
) -> dict[str, Any]:
    """Run a checked scenario; write the VTU series, the .pvd, the figure and summary.json.

    Engine messages go to engine.log in the output folder. Returns the summary.
    ``on_step(step, degree_of_curing)`` is called after every curing step (steps from 1).

    With ``comm`` of several processes (``lumetra.parallel``), each traces its share of the
    rays, the absorbed power is summed before every curing step, and only rank 0 writes
    into the output folder; the other ranks keep their engine log and ray file in a
    temporary folder that goes when the run ends.

    Raises
    ------
    ScenarioError
        For inputs that only turn out wrong when they are used (a missing file, an
        intensities array of the wrong shape, a boundary selection without faces, a mesh or
        beam too large for the engine or the memory).
    MemoryError
        When another part of the run does not fit in memory (the message names it).
    RuntimeError
        When the power balance does not close (or is not a number), or a file was not
        written.
    Interrupted
        On Ctrl-C during the steps (a KeyboardInterrupt): the frames written so far have
        their .pvd and a summary.json with "interrupted": true, which it carries.

    Engine messages go to engine.log; their warnings and errors also to ``stream``, each
    text once, with the counts of repeated ones at the end.
    """
    comm = comm or parallel.Serial()
    if comm.root:
        return _run(scenario, progress, stream or sys.stdout, comm, Path(scenario["output"]["folder"]), on_step)
    with tempfile.TemporaryDirectory(prefix=f"lumetra-rank{comm.rank}-") as scratch:
        try:
            return _run(scenario, False, stream or sys.stdout, comm, Path(scratch), on_step)
        except RuntimeError as error:
            log = (Path(scratch) / "engine.log").read_text(encoding="utf-8", errors="replace").strip()
            if log:
                raise RuntimeError(f"{error}\nrank {comm.rank}'s engine log ends:\n{log[-2000:]}") from error
            raise


def _run(
    scenario: dict[str, Any],
    progress: bool,
    stream: TextIO,
    comm: parallel.Serial,
    folder: Path,
    on_step: Callable[[int, np.ndarray], None] | None = None,
) -> dict[str, Any]:
    started = time.perf_counter()
    folder.mkdir(parents=True, exist_ok=True)
    # The engine's numbers from here on; the summary gives the scenario as written and, with
    # [units], the dose and times in them (the VTU's and figure's dose too).
    written, scenario = scenario, units.to_engine(scenario)
    dose_scale = units.dose_factor(written) if units.active(written) else 1.0
    threads = parallel.share_threads(comm, scenario["optics"]["threads"])
    if threads > 0:
        lumetra.set_num_threads(threads)
    resin, steps, dt = scenario["resin"], scenario["time"]["steps"], scenario["time"]["dt"]
    every, threshold = scenario["output"]["every"], scenario["output"]["cure_threshold"]

    with _engine_log(folder / "engine.log", stream) as log, contextlib.redirect_stdout(log):
        engine = lumetra.Lumetra()
        mesh = _mesh(scenario, *_start_material(resin))
        engine.load_mesh_arrays(*mesh)
        n_nodes = engine.get_node_count()
        conditions = _boundary_conditions(engine, scenario)
        engine.set_boundary_conditions(conditions)
        in_force = boundary_report(scenario, conditions)
        light = _Light(engine, _placed_beam(scenario["light"], mesh.points, stream), folder, comm)
        engine.set_solver_type(scenario["optics"]["solver"])
        engine.config()
        engine.configure_outfilename(str(folder / f"{VTU_STEM}.vtu"))
        model = _model(scenario, n_nodes)
        if comm.rank == 0:
            for line in kernel_reach_warnings(mesh.points, mesh.hexahedra, resin, dt):
                print(line, file=stream)
        if resin["model"] == "curalis":
            model.initialize_accelerator(engine)
        volumes = engine.get_nodal_volumes()
        total_volume = float(volumes.sum())
        # The target is read before the run: a bad one fails now, not after the last step.
        target = _target(scenario, mesh.points)

        dose = np.zeros(n_nodes)
        gel_point = gel_point_of(scenario)
        gel_time = np.full(n_nodes, NOT_GELLED)  # when each node's degree of curing first reaches the gel point
        history = {"time": [], "cured_fraction": [], "max_degree_of_curing": []}
        if target is not None:
            history["target_iou"] = []
        balance = dict.fromkeys(
            ("power_incident", "power_entered", "power_absorbed", "power_left", "power_stopped", "power_missed"), 0.0
        )
        worst_imbalance, visits, optics_time, curing_time, frames = 0.0, 0, 0.0, 0.0, []
        bar = _Progress(steps, progress, stream)
        done, interrupted = 0, False
        try:
            for step in range(steps):
                tick = time.perf_counter()
                light.set_angle(step % len(light.angles))
                engine.reset_absorbed_power()
                engine.compute_volumetric_absorption()
                trace = engine.get_trace_summary()
                if not trace:  # the engine refused the computation and said why in its log
                    raise RuntimeError(f"step {step + 1}: the trace gave no result (see {folder / 'engine.log'})")
                power = engine.get_absorbed_power()
                if comm.size > 1:
                    trace = parallel.merge_trace(trace, comm)
                    power = comm.sum(power)
                    engine.set_absorbed_power(power)
                optics_time += time.perf_counter() - tick
                for name in balance:
                    balance[name] += trace[name]
                visits += trace["element_visits"]
                leak = trace["power_entered"] - trace["power_absorbed"] - trace["power_left"] - trace["power_stopped"]
                share = abs(leak) / max(trace["power_entered"], 1e-300)
                # A balance that is not a number does not close.
                worst_imbalance = max(worst_imbalance, share if math.isfinite(share) else math.inf)
                dose += dt * power

                tick = time.perf_counter()
                try:
                    model.reaction_step(engine)
                except RuntimeError as error:  # which step, for a run that stops hours in
                    raise RuntimeError(f"step {step + 1}: {error}") from error
                curing_time += time.perf_counter() - tick
                cure = model.get_degree_of_curing()
                if on_step is not None:
                    on_step(step + 1, cure)
                if (step + 1) % CHECK_EVERY == 0 or step == steps - 1:
                    comm.check_same(cure, f"degree of curing after step {step + 1}")
                t = (step + 1) * dt
                cured = float(volumes[cure >= threshold].sum()) / total_volume
                history["time"].append(t)
                history["cured_fraction"].append(cured)
                history["max_degree_of_curing"].append(float(cure.max()))
                gel_time[(gel_time == NOT_GELLED) & (cure >= gel_point)] = t
                if target is not None:
                    from lumetra import design

                    history["target_iou"].append(design.iou(cure >= threshold, target, volumes))
                if every and comm.root and ((step + 1) % every == 0 or step == steps - 1):
                    frames.append(
                        (t, _write_frame(engine, folder, len(frames), model, cure, dose * dose_scale, resin, gel_time))
                    )
                bar.update(step + 1, t, cured)
                done = step + 1
        except KeyboardInterrupt:
            if comm.size > 1:  # the other processes wait in a collective: no partial summary
                raise
            interrupted = True
        except Exception:
            if frames:  # the frames written so far still open as one series
                write_pvd(folder / f"{VTU_STEM}.pvd", frames)
            raise
        finally:
            bar.close()
        cure = model.get_degree_of_curing()
        positions = mesh.points
        for name in history:  # a step cut short leaves no entry
            del history[name][done:]

    files = {"engine_log": "engine.log"}
    if light.ray_file is not None and light.ray_file.parent == folder:
        files["rays"] = light.ray_file.name
    if frames:
        write_pvd(folder / f"{VTU_STEM}.pvd", frames)
        files["vtu"] = [name for _, name in frames]
        files["pvd"] = f"{VTU_STEM}.pvd"
    wall = time.perf_counter() - started
    balance["relative_error"] = worst_imbalance
    cured_volume = float(volumes[cure >= threshold].sum())
    summary = {
        "backend": lumetra.backend,
        "threads": lumetra.get_num_threads(),
        "processes": comm.size,
        "rays": light.count,
        "angles": len(light.angles),
        "elements": int(len(mesh.hexahedra)),
        "nodes": n_nodes,
        "steps": steps,
        "steps_done": done,
        "interrupted": interrupted,
        "dt": dt,
        "wall_time_s": wall,
        "optics_time_s": optics_time,
        "curing_time_s": curing_time,
        "element_visits": int(visits),
        "element_visits_per_s": visits / optics_time if optics_time > 0 else 0.0,
        "cured_volume": cured_volume,
        "total_volume": total_volume,
        "cured_fraction": cured_volume / total_volume,
        "cure_threshold": threshold,
        "max_degree_of_curing": float(cure.max()),
        "power": balance,
        "boundary": in_force,
        "history": history,
        "files": files,
        "scenario": written,
    }
    if target is not None:
        summary["target"] = target_report(scenario, cure >= threshold, target, volumes, dose * dose_scale, history)
    if units.active(written):
        summary["units"] = units.report(written, dose, target, volumes, summary.get("target"))
    if not comm.root:
        if worst_imbalance > BALANCE_TOLERANCE:
            raise RuntimeError(
                f"the power balance does not close: up to {worst_imbalance:.2e} of the power that "
                "entered is neither absorbed, nor left, nor stopped"
            )
        return summary
    if scenario["output"]["figure"] and not interrupted:
        figure = _figure(folder / "figure.png", positions, written, dose * dose_scale, cure, history, stream, target)
        if figure:
            files["figure"] = figure
    files["summary"] = "summary.json"
    with open(folder / "summary.json", "w", encoding="utf-8") as f:
        json.dump(summary, f, indent=1)
    if interrupted:
        raise Interrupted(summary)
    if worst_imbalance > BALANCE_TOLERANCE:
        raise RuntimeError(
            f"the power balance does not close: up to {worst_imbalance:.2e} of the power that entered "
            f"is neither absorbed, nor left, nor stopped (see {folder / 'summary.json'})"
        )
    return summary


def _target(scenario: dict[str, Any], points) -> np.ndarray | None:
    """The nodes inside the scenario's target (sampled value >= 0.5), or None without one."""
    if scenario["target"]["source"] == "none":
        return None
    from lumetra import design

    return design.target_values(scenario, points) >= 0.5


def target_report(
    scenario: dict[str, Any],
    cured: np.ndarray,
    target: np.ndarray,
    volumes,
    dose: np.ndarray | None = None,
    history: dict[str, list] | None = None,
) -> dict[str, Any]:
    """The cured nodes against the target's, each node weighted by its volume: the IoU, the
    share of the target cured, the cured volume outside it and the VER of the print; with the
    dose, its fidelity figures (design.fidelity, under "dose"); with the IoU history, the
    exposure times over which the IoU stays at or above design.GOOD_IOU."""
    from lumetra import design

    volumes = np.asarray(volumes, dtype=float)
    inside = float(volumes[target].sum())
    t = scenario["target"]
    report = {
        "source": t["source"],
        "shape" if t["source"] == "shape" else "file": t[t["source"]],
        "iou": design.iou(cured, target, volumes),
        "ver": design.voxel_error_rate(cured, target, volumes),
        "target_volume": inside,
        "target_cured_fraction": float(volumes[target & cured].sum()) / inside,
        "cured_outside_volume": float(volumes[cured & ~target].sum()),
    }
    if dose is not None:
        report["dose"] = design.fidelity(dose, target, volumes)
    if history is not None and history.get("target_iou"):
        report["good_time_range"] = good_time_range(history["time"], history["target_iou"])
    return report


def good_time_range(times, ious, level: float | None = None) -> list[float] | None:
    """[first, last] exposure time of the longest run of steps whose IoU is at or above level
    (design.GOOD_IOU by default), or None where none reaches it."""
    from lumetra import design

    good = np.asarray(ious, dtype=float) >= (design.GOOD_IOU if level is None else level)
    best, start = None, None
    for k, g in enumerate(np.r_[good, False]):
        if g and start is None:
            start = k
        elif not g and start is not None:
            if best is None or k - start > best[1] - best[0]:
                best = (start, k)
            start = None
    return None if best is None else [float(times[best[0]]), float(times[best[1] - 1])]


# gel_time of a node whose degree of curing has not reached the gel point
NOT_GELLED = -1.0


def gel_point_of(scenario: dict[str, Any]) -> float:
    """The degree of curing at which the resin gels: the curing model's oxygen_gel_point; for
    the dose model, which has none, output.cure_threshold."""
    resin = scenario["resin"]
    return (
        float(resin["oxygen_gel_point"]) if resin["model"] == "curalis" else float(scenario["output"]["cure_threshold"])
    )


def _write_frame(engine, folder: Path, index: int, model, cure, dose, resin, gel_time) -> str:
    fields, names = [cure, dose, gel_time], ["DegreeOfCuring", "Dose", "GelTime"]
    if resin["model"] == "curalis":
        fields.append(model.get_oxygen_concentration())
        names.append("Oxygen")
    engine.write_result_append(np.vstack(fields), names)
    name = f"{VTU_STEM}_{index}.vtu"
    path = folder / name
    if not path.is_file() or path.stat().st_size == 0:
        raise RuntimeError(f"the engine did not write {path} (see {folder / 'engine.log'})")
    return name


def _slice(points: np.ndarray, axis) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Nodes of the layer nearest mid-height along the axis, and their in-plane coordinates."""
    axis = _unit(axis)
    height = points @ axis
    middle = 0.5 * (height.min() + height.max())
    extent = max(height.max() - height.min(), 1e-300)
    nearest = height[np.argmin(np.abs(height - middle))]
    chosen = np.flatnonzero(np.abs(height - nearest) <= 1e-6 * extent)
    if len(chosen) < 3:  # an unstructured mesh without node layers: a thin slab instead
        chosen = np.flatnonzero(np.abs(height - middle) <= 0.05 * extent)
    # In-plane axes as the design draws them: x and y seen from the tip of the default axis.
    from lumetra.design import axis_frame

    e1, e2, _ = axis_frame(axis)
    return chosen, points[chosen] @ e1, points[chosen] @ e2


def _figure(path: Path, points, scenario, dose, cure, history, stream, target=None) -> str | None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        from matplotlib.tri import Triangulation
    except ImportError:
        print("figure skipped: matplotlib is not installed (pip install matplotlib)", file=stream)
        return None
    chosen, u, v = _slice(points, scenario["light"]["axis"])
    fig, axes = plt.subplots(1, 3, figsize=(11, 3.4), dpi=80)
    try:
        tri = Triangulation(u, v)
        for ax, values, title, cmap in (
            (axes[0], dose[chosen], "absorbed dose" + (", mJ/cm^3" if units.active(scenario) else ""), "inferno"),
            (axes[1], cure[chosen], "degree of curing", "viridis"),
        ):
            shown = ax.tripcolor(
                tri, values, shading="gouraud", cmap=cmap, vmin=0, vmax=1 if title == "degree of curing" else None
            )
            ax.set_aspect("equal")
            ax.set_title(f"{title}, mid-height slice")
            fig.colorbar(shown, ax=ax, shrink=0.85)
        axes[1].tricontour(tri, cure[chosen], levels=[scenario["output"]["cure_threshold"]], colors="w", linewidths=0.8)
        if target is not None and target[chosen].any() and not target[chosen].all():
            axes[1].tricontour(
                tri, target[chosen].astype(float), levels=[0.5], colors="r", linewidths=0.8, linestyles="--"
            )
            axes[1].set_title("degree of curing; target dashed", fontsize="medium")
        axes[2].plot(history["time"], np.asarray(history["cured_fraction"]) * 100)
        axes[2].set_xlabel(f"time, {scenario['units']['time']}" if units.active(scenario) else "time")
        axes[2].set_ylabel(f"cured volume, % (X >= {scenario['output']['cure_threshold']:g})")
        axes[2].set_title("cured fraction")
        axes[2].grid(alpha=0.3)
        if history.get("target_iou"):
            from lumetra.design import GOOD_IOU

            twin = axes[2].twinx()
            ious = np.asarray(history["target_iou"])
            twin.plot(history["time"], ious, color="tab:red")
            twin.set_ylim(0, 1.02)
            twin.set_ylabel("IoU with the target", color="tab:red")
            twin.fill_between(
                history["time"],
                0,
                1.02,
                where=ious >= GOOD_IOU,
                color="tab:green",
                alpha=0.2,
                step="mid",
                label=f"IoU >= {GOOD_IOU:g}",
            )
            axes[2].set_title(f"cured fraction; IoU >= {GOOD_IOU:g} shaded", fontsize="medium")
        fig.tight_layout()
        fig.savefig(path)
    finally:
        plt.close(fig)
    return path.name


def boundary_report(scenario: dict[str, Any], conditions: list) -> list[dict[str, Any]]:
    """The boundary conditions in force, one entry per [[boundary]] table, with the number of
    faces each holds."""
    return [
        {
            "index": i,
            "select": entry["select"],
            "interaction": entry["interaction"],
            "outside_index": entry["outside_index"],
            "outside_extinction": entry["outside_extinction"],
            "roughness": entry["roughness"],
            "fresnel": entry["fresnel"],
            "faces": len(bc.faces),
        }
        for i, (entry, bc) in enumerate(zip(scenario["boundary"], conditions))
    ]


def _boundary_lines(report: list[dict[str, Any]]) -> list[str]:
    if not report:
        return ["  boundary       none: light enters and leaves every face unrefracted"]
    lines = []
    for b in report:
        rough = f", roughness {b['roughness']:g}" if b["roughness"] > 0 else ""
        lines.append(
            f"  boundary[{b['index']}]    {b['select']}, {b['faces']} faces: {b['interaction']} against index "
            f"{b['outside_index']:g}{rough} ({b['fresnel']} Fresnel)"
        )
    return lines


def _target_lines(t: dict[str, Any], dose_unit: str = "") -> list[str]:
    from lumetra.design import GOOD_IOU

    lines = [
        f"  target         IoU {t['iou']:.3f}, VER {t['ver']:.3f} (cured against the target at the nodes; "
        f"{t['target_cured_fraction']:.1%} of the target cured, {t['cured_outside_volume']:.3g} cured outside it)"
    ]
    if "dose" in t:
        d = t["dose"]
        lines.append(
            f"  dose fidelity  IoU {d['iou_best']:.3f} at the best threshold {d['best_threshold']:.3g}{dose_unit}, VER "
            f"{d['ver']:.3f}, process window {d['process_window']:.3f}, IPDR {d['ipdr']:.3f}, "
            f"in-part spread {d['dose_spread']:.3f}"
        )
    if "good_time_range" in t:
        r = t["good_time_range"]
        lines.append(
            f"  IoU >= {GOOD_IOU:g}     " + ("never reached" if r is None else f"from time {r[0]:.4g} to {r[1]:.4g}")
        )
    return lines


def format_summary(s: dict[str, Any], folder: str) -> str:
    p = s["power"]
    files = s["files"]
    frames = len(files.get("vtu", []))
    written = [f"{frames} VTU frame{'' if frames == 1 else 's'} + {files['pvd']}" if frames else "no VTU frames"]
    written += [files[k] for k in ("figure", "summary") if k in files]
    return "\n".join(
        [
            f"lumetra run: {s['wall_time_s']:.1f} s wall time (backend {s['backend']}, {s['threads']} threads)",
            f"  rays           {s['rays']} per step, {s['angles']} angles",
            f"  elements       {s['elements']} ({s['nodes']} nodes)",
            f"  steps          {s['steps']} of dt {s['dt']:g} (optics {s['optics_time_s']:.1f} s, "
            f"curing {s['curing_time_s']:.1f} s)",
            *_boundary_lines(s.get("boundary", [])),
            f"  element visits {s['element_visits']:.3g}, {s['element_visits_per_s']:.3g} per second of optics",
            f"  cured volume   {s['cured_volume']:.4g} of {s['total_volume']:.4g} ({s['cured_fraction']:.1%} with degree "
            f"of curing >= {s['cure_threshold']:g}; largest {s['max_degree_of_curing']:.3f})",
            f"  power balance  entered {p['power_entered']:.4g} = absorbed {p['power_absorbed']:.4g} + left "
            f"{p['power_left']:.4g} + stopped {p['power_stopped']:.3g} (worst step off by {p['relative_error']:.1e}); "
            f"missed the mesh {p['power_missed']:.3g}",
            *(_target_lines(s["target"], " mJ/cm^3" if "units" in s else "") if "target" in s else []),
            *(units.summary_lines(s["units"]) if "units" in s else []),
            f"  output         {folder}/: {', '.join(written)}",
        ]
    )
