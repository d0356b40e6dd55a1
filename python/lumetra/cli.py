"""The ``lumetra`` command: ``lumetra run [scenario.toml]`` runs a coupled curing simulation.

    lumetra run                               the embedded default (a tomographic vial exposure)
    lumetra run scenario.toml                 a scenario file
    lumetra run --write-default scenario.toml the default as a commented starting point
    lumetra run --set time.steps=20 --set optics.solver=RK4   keys changed on the command line
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

from lumetra import scenario as scenarios

__all__ = ["main"]


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="lumetra", description="Light-driven curing of photopolymer resins.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    run = commands.add_parser(
        "run", formatter_class=argparse.RawDescriptionHelpFormatter,
        help="run a coupled optics and curing simulation",
        description="Run a coupled curing simulation: every step traces the light at the step's angle, then\n"
                    "advances the resin by one curing step, so the next trace sees the new refractive index.\n"
                    "Without a scenario file the embedded default runs: a parallel beam turning around a\n"
                    "vial of resin (tomographic exposure). Writes a VTU series with a .pvd collection,\n"
                    "figure.png and summary.json into the output folder.",
        epilog="scenario keys (TOML tables; every key optional, shown with its default):\n\n"
               + scenarios.reference_text())
    run.add_argument("scenario", nargs="?", help="scenario file (TOML); the embedded default without it")
    run.add_argument("--write-default", metavar="FILE",
                     help="write the default scenario, commented, to FILE and exit")
    run.add_argument("--force", action="store_true", help="let --write-default replace an existing file")
    run.add_argument("--set", dest="assignments", action="append", default=[], metavar="TABLE.KEY=VALUE",
                     help="change one key (TOML value syntax; repeatable), e.g. --set mesh.n_z=8")
    run.add_argument("--output", metavar="DIR", help="output folder (replaces output.folder)")
    run.add_argument("--no-progress", action="store_true", help="no progress bar or progress lines")
    return parser


def _write_default(path: str, force: bool) -> int:
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
    if args.write_default:
        if args.scenario or args.assignments:
            print("lumetra run: error: --write-default takes no scenario or --set", file=sys.stderr)
            return 2
        return _write_default(args.write_default, args.force)
    try:
        scenario = scenarios.load(args.scenario) if args.scenario else scenarios.default()
        assignments = list(args.assignments) + ([f"output.folder={_quoted(args.output)}"] if args.output else [])
        if assignments:
            scenario = scenarios.override(scenario, assignments)
        # Imported here: the curing modules load only for a run.
        from lumetra import runner

        summary = runner.run(scenario, progress=not args.no_progress)
    except scenarios.ScenarioError as error:
        print(f"lumetra run: error in the scenario: {error}", file=sys.stderr)
        return 2
    except (RuntimeError, ValueError, OSError) as error:
        print(f"lumetra run: error: {error}", file=sys.stderr)
        return 1
    print(runner.format_summary(summary, scenario["output"]["folder"]))
    return 0


def _quoted(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


if __name__ == "__main__":
    sys.exit(main())
