"""The ``lumetra`` command: ``lumetra run [scenario.toml]`` runs a coupled curing simulation.

lumetra run                               the embedded default (a tomographic vial exposure)
lumetra run scenario.toml                 a scenario file
lumetra run --write-default scenario.toml the default as a commented starting point
lumetra run --set time.steps=20 --set optics.solver=RK4   keys changed on the command line
mpirun -n 4 lumetra run scenario.toml     one run over 4 MPI processes (pip install 'lumetra[mpi]')
lumetra sweep scenario.toml --vary resin.kpropagation=1,2,4   variants, one table
lumetra design scenario.toml --output d   patterns that print the scenario's [target]
lumetra run d/design.toml                 print them
"""

from __future__ import annotations

import argparse
import csv
import itertools
import sys
import tempfile
import traceback
from pathlib import Path

from lumetra import scenario as scenarios

__all__ = ["main"]


def _parser() -> argparse.ArgumentParser:
    import lumetra

    parser = argparse.ArgumentParser(prog="lumetra", description="Light-driven curing of photopolymer resins.")
    parser.add_argument("--version", action="version", version=f"lumetra {lumetra.__version__} ({lumetra.backend})")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    run = commands.add_parser(
        "run",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        help="run a coupled optics and curing simulation",
        description="Run a coupled curing simulation: every step traces the light at the step's angle, then\n"
        "advances the resin by one curing step, so the next trace sees the new refractive index.\n"
        "Without a scenario file the embedded default runs: a parallel beam turning around a\n"
        "vial of resin (tomographic exposure). Writes a VTU series with a .pvd collection,\n"
        "figure.png and summary.json into the output folder.",
        epilog="scenario keys (TOML tables; every key optional, shown with its default):\n\n"
        + scenarios.reference_text(),
    )
    run.add_argument("scenario", nargs="?", help="scenario file (TOML); the embedded default without it")
    run.add_argument("--write-default", metavar="FILE", help="write the default scenario, commented, to FILE and exit")
    run.add_argument("--force", action="store_true", help="let --write-default replace an existing file")
    run.add_argument(
        "--set",
        dest="assignments",
        action="append",
        default=[],
        metavar="TABLE.KEY=VALUE",
        help="change one key (TOML value syntax; repeatable), e.g. --set mesh.n_z=8",
    )
    run.add_argument("--output", metavar="DIR", help="output folder (replaces output.folder)")
    run.add_argument("--no-progress", action="store_true", help="no progress bar or progress lines")
    sweep = commands.add_parser(
        "sweep",
        help="run variants of a scenario and write one summary table",
        description="Run every combination of the --vary values as an independent run, each into its own\n"
        "folder variant_N under the output folder, and write sweep.csv there, one row per\n"
        "variant. Under mpirun the variants are dealt out to the processes (variant N to\n"
        "rank N modulo the process count); without MPI they run one after another.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    sweep.add_argument("scenario", nargs="?", help="scenario file (TOML); the embedded default without it")
    sweep.add_argument(
        "--vary",
        action="append",
        default=[],
        metavar="TABLE.KEY=V1,V2,...",
        required=True,
        help="values of one key, comma-separated (repeatable: every combination runs)",
    )
    sweep.add_argument(
        "--set",
        dest="assignments",
        action="append",
        default=[],
        metavar="TABLE.KEY=VALUE",
        help="change one key for every variant",
    )
    sweep.add_argument("--output", metavar="DIR", help="output folder (replaces output.folder)")
    design = commands.add_parser(
        "design",
        help="compute the projections that print the scenario's [target]",
        description="Optimise the power of every ray at every angle so that the scenario's light, traced\n"
        "through its resin (refraction at the wall, graded index, absorption), doses the target\n"
        "and spares the rest. Writes patterns.npy (for light.intensities), design.toml (the\n"
        "scenario with the patterns and the exposure that prints), design.json and design.png.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    design.add_argument("scenario", nargs="?", help="scenario file (TOML); the embedded default without it")
    design.add_argument(
        "--set",
        dest="assignments",
        action="append",
        default=[],
        metavar="TABLE.KEY=VALUE",
        help="change one key (TOML value syntax; repeatable)",
    )
    design.add_argument(
        "--output", metavar="DIR", default="lumetra-design", help="output folder (default: lumetra-design)"
    )
    design.add_argument("--no-progress", action="store_true", help="no progress bars")
    return parser


def _write_default(path: str, force: bool) -> int:
    if not path.strip():
        print("lumetra run: error: --write-default: the file name is empty", file=sys.stderr)
        return 2
    target = Path(path)
    if target.exists() and not force:
        print(f"lumetra run: error: {target} exists (add --force to replace it)", file=sys.stderr)
        return 2
    try:
        target.write_text(scenarios.default_text(), encoding="utf-8")
    except OSError as error:
        print(f"lumetra run: error: cannot write {target}: {error.strerror}", file=sys.stderr)
        return 1
    print(f"wrote the default scenario to {target}")
    return 0


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        from lumetra import parallel

        comm = parallel.world()
    except RuntimeError as error:
        print(f"lumetra {args.command}: error: {error}", file=sys.stderr)
        return 1
    if comm.size == 1:
        return _command(args, comm)
    # Over several processes an error on one rank would leave the others waiting in a
    # collective: it ends the whole job instead.
    try:
        code = _command(args, comm)
    except BaseException:  # noqa: BLE001  (anything, even KeyboardInterrupt, must not hang the job)
        comm.abort(f"lumetra {args.command}: rank {comm.rank}: error:\n{traceback.format_exc()}", 1)
        raise
    if code != 0 and not getattr(args, "collected", False):
        comm.abort(f"lumetra {args.command}: rank {comm.rank} failed (exit status {code}); ending the job", code)
    return code


def _command(args, comm) -> int:
    if getattr(args, "output", None) is not None and not args.output.strip():
        print(f"lumetra {args.command}: error: --output: the folder name is empty", file=sys.stderr)
        return 2
    try:
        if args.command == "sweep":
            return _sweep(args, comm)
        if args.command == "design":
            return _design(args)
        return _run(args, comm)
    except KeyboardInterrupt as interrupt:
        if comm.size > 1:
            raise
        # One line, not a traceback; the runner has closed what it wrote.
        summary = getattr(interrupt, "summary", None)
        if summary is not None:
            frames = len(summary["files"].get("vtu", []))
            print(
                f"lumetra {args.command}: interrupted after step {summary['steps_done']} of {summary['steps']}; "
                f"{frames} frame(s) and summary.json (marked interrupted) in {summary['scenario']['output']['folder']}",
                file=sys.stderr,
            )
        else:
            print(f"lumetra {args.command}: interrupted", file=sys.stderr)
        return 130


def _run(args, comm) -> int:
    if args.write_default is not None:
        if args.scenario or args.assignments:
            print("lumetra run: error: --write-default takes no scenario or --set", file=sys.stderr)
            return 2
        return _write_default(args.write_default, args.force)
    try:
        scenario = scenarios.load(args.scenario) if args.scenario else scenarios.default()
        assignments = list(args.assignments) + (
            [f"output.folder={_quoted(args.output)}"] if args.output is not None else []
        )
        if assignments:
            scenario = scenarios.override(scenario, assignments)
        # Imported here: the curing modules load only for a run.
        from lumetra import parallel, runner

        if comm.size > 1:
            print(parallel.describe_device(comm), file=sys.stderr, flush=True)
        summary = runner.run(scenario, progress=not args.no_progress and comm.root, comm=comm)
    except scenarios.ScenarioError as error:
        print(f"lumetra run: error in the scenario: {error}", file=sys.stderr)
        return 2
    except MemoryError as error:  # a size the scenario asked for
        print(f"lumetra run: error: {error}", file=sys.stderr)
        return 2
    except (RuntimeError, ValueError, OSError) as error:
        print(f"lumetra run: error: {error}", file=sys.stderr)
        return 1
    if comm.root:
        print(runner.format_summary(summary, scenario["output"]["folder"]))
    return 0


def _design(args) -> int:
    try:
        scenario = scenarios.load(args.scenario) if args.scenario else scenarios.default()
        if args.assignments:
            scenario = scenarios.override(scenario, list(args.assignments))
        from lumetra import design

        summary = design.run(scenario, args.output, progress=not args.no_progress)
    except scenarios.ScenarioError as error:
        print(f"lumetra design: error in the scenario: {error}", file=sys.stderr)
        return 2
    except MemoryError as error:
        print(f"lumetra design: error: {error}", file=sys.stderr)
        return 2
    except (RuntimeError, ValueError, OSError) as error:
        print(f"lumetra design: error: {error}", file=sys.stderr)
        return 1
    print(design.format_summary(summary, args.output))
    return 0


def variants(vary: list[str]) -> list[list[str]]:
    """The assignments of every combination of ``--vary key=v1,v2`` values, the first key slowest."""
    axes, keys = [], set()
    for item in vary:
        key, sep, values = item.partition("=")
        key = key.strip()
        choices = [v.strip() for v in values.split(",") if v.strip()]
        if not sep or not key or not choices:
            raise scenarios.ScenarioError(f"--vary {item}: expected table.key=value1,value2,...")
        if key in keys:
            raise scenarios.ScenarioError(f"--vary {key}: given twice; list all its values in one --vary")
        if key == "output.folder":
            raise scenarios.ScenarioError(
                "--vary output.folder: every variant goes into variant_N under the sweep's "
                "folder (--output); it cannot vary"
            )
        keys.add(key)
        axes.append([f"{key}={v}" for v in choices])
    return [list(combination) for combination in itertools.product(*axes)]


def _sweep(args, comm) -> int:
    from lumetra import parallel, runner

    try:
        base = scenarios.load(args.scenario) if args.scenario else scenarios.default()
        common = list(args.assignments) + ([f"output.folder={_quoted(args.output)}"] if args.output is not None else [])
        if common:
            base = scenarios.override(base, common)
        folder = Path(base["output"]["folder"])
        jobs = []
        for i, assignments in enumerate(variants(args.vary)):
            jobs.append(
                (
                    i,
                    assignments,
                    scenarios.override(base, assignments + [f"output.folder={_quoted(str(folder / f'variant_{i}'))}"]),
                )
            )
    except scenarios.ScenarioError as error:
        print(f"lumetra sweep: error in the scenario: {error}", file=sys.stderr)
        return 2
    # The folder must take the variants and the table before anything runs.
    try:
        folder.mkdir(parents=True, exist_ok=True)
        probe = tempfile.TemporaryFile(dir=folder)
        probe.close()
    except OSError as error:
        print(f"lumetra sweep: error: output folder {folder}: {error.strerror or error}", file=sys.stderr)
        return 2
    if comm.size > 1:
        print(parallel.describe_device(comm), file=sys.stderr, flush=True)
    rows = []
    for i, assignments, scenario in jobs[comm.rank :: comm.size]:
        row = {"variant": i, **{a.partition("=")[0]: a.partition("=")[2] for a in assignments}, "rank": comm.rank}
        try:
            # Each variant is a run of its own, on this process alone.
            summary = runner.run(scenario, progress=False, stream=sys.stderr, comm=parallel.Serial())
            row.update(
                cured_fraction=summary["cured_fraction"],
                max_degree_of_curing=summary["max_degree_of_curing"],
                wall_time_s=round(summary["wall_time_s"], 3),
                folder=f"variant_{i}",
                error="",
            )
        except Exception as error:  # noqa: BLE001  (a variant that fails is a row of the table, not the end)
            text = (str(error).splitlines() or [""])[0]
            row.update(
                cured_fraction="",
                max_degree_of_curing="",
                wall_time_s="",
                folder=f"variant_{i}",
                error=text
                if isinstance(error, (RuntimeError, ValueError, OSError, MemoryError))
                else f"{type(error).__name__}: {text}",
            )
        rows.append(row)
    rows = sorted((r for part in comm.gather(rows) for r in part), key=lambda r: r["variant"])
    args.collected = True  # every process is past the last collective: an exit status ends no one waiting
    if not comm.root:
        return 0
    folder.mkdir(parents=True, exist_ok=True)
    table = folder / "sweep.csv"
    with open(table, "w", newline="", encoding="utf-8") as f:
        writer = csv.DictWriter(f, fieldnames=list(rows[0]))
        writer.writeheader()
        writer.writerows(rows)
    failed = [r for r in rows if r["error"]]
    for r in rows:
        print(", ".join(f"{k} {v}" for k, v in r.items() if k not in ("folder", "rank") and v != ""))
    print(f"{len(rows)} variant(s) over {comm.size} process(es); table: {table}")
    if failed:
        print(f"lumetra sweep: {len(failed)} variant(s) failed (see the error column)", file=sys.stderr)
        return 1
    return 0


def _quoted(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


if __name__ == "__main__":
    sys.exit(main())
