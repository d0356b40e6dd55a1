"""One run over several MPI processes, and sweeps: the ray split, the same curing on 2
processes as on 1, rank 0 as the only writer, a failing rank that ends the job, the sweep
table. The MPI cases need mpirun and mpi4py; they skip without them, unless
LUMETRA_REQUIRE_MPI=1 (CI), where a missing MPI is a failure."""

import csv
import json
import os
import shutil
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from lumetra import _backend
from lumetra.parallel import payloads, ray_share, Serial
from test_cli import SMALL

TOLERANCE = 1e-5  # on the degree of curing (0 to 1); the reason is in test_two_processes_cure_as_one


def _mpi_missing():
    if shutil.which("mpirun") is None:
        return "mpirun is not installed (Debian: apt-get install openmpi-bin libopenmpi-dev)"
    try:
        import mpi4py  # noqa: F401
    except ImportError:
        return "mpi4py is not installed (pip install 'lumetra[mpi]')"
    return None


@pytest.fixture(scope="module")
def mpirun():
    missing = _mpi_missing()
    if missing:
        if os.environ.get("LUMETRA_REQUIRE_MPI") == "1":
            pytest.fail(f"LUMETRA_REQUIRE_MPI=1, but {missing}")
        pytest.skip(missing)
    command = ["mpirun", "--oversubscribe"] + (["--allow-run-as-root"] if os.geteuid() == 0 else [])

    def launch(n, *args, timeout=300, cwd=None):
        env = {k: v for k, v in os.environ.items() if k != "LUMETRA_MPI"}
        env.update(OMP_NUM_THREADS="1", LUMETRA_BACKEND="cpu")
        return subprocess.run(
            command + ["-n", str(n), sys.executable, *map(str, args)],
            capture_output=True,
            text=True,
            env=env,
            timeout=timeout,
            cwd=cwd,
        )

    return launch


# -- without MPI ---------------------------------------------------------------------------


@pytest.mark.parametrize("count", [0, 1, 2, 7, 64, 1001])
@pytest.mark.parametrize("size", [1, 2, 3])
def test_ray_split_covers_every_ray_once(count, size):
    shares = [ray_share(count, rank, size) for rank in range(size)]
    covered = np.concatenate([np.arange(start, stop) for start, stop in shares])
    assert covered.tolist() == list(range(count))  # contiguous, in rank order, each ray once
    sizes = [stop - start for start, stop in shares]
    assert max(sizes) - min(sizes) <= 1


def test_ray_split_refuses_a_rank_outside_the_job():
    for rank, size in ((2, 2), (-1, 2), (0, 0)):
        with pytest.raises(ValueError):
            ray_share(10, rank, size)


def test_payloads_of_other_ranks_rays_are_zero():
    full = np.arange(1.0, 8.0)

    class Rank(Serial):
        def __init__(self, rank):
            self.rank, self.size = rank, 3

    parts = [payloads(full, Rank(r)) for r in range(3)]
    assert np.array_equal(sum(parts), full)
    assert all(
        np.count_nonzero(p) == stop - start for p, (start, stop) in zip(parts, [ray_share(7, r, 3) for r in range(3)])
    )


def test_mpi_is_detected_from_the_launcher_only():
    assert not _backend.under_mpi({})
    assert _backend.under_mpi({"OMPI_COMM_WORLD_SIZE": "2"}) and _backend.under_mpi({"PMI_SIZE": "4"})
    assert not _backend.under_mpi({"OMPI_COMM_WORLD_SIZE": "2", "LUMETRA_MPI": "0"})
    assert _backend.local_rank({"SLURM_LOCALID": "3"}) == 3 and _backend.local_rank({}) == 0


def test_a_plain_run_does_not_import_mpi4py():
    code = (
        "import sys; from lumetra import cli; cli.main(['run', '--write-default', sys.argv[1]]); "
        "print('mpi4py' in sys.modules)"
    )
    env = {k: v for k, v in os.environ.items() if k not in _backend.MPI_SIZE_VARIABLES + ("LUMETRA_MPI",)}
    with_tmp = subprocess.run([sys.executable, "-c", code, os.devnull], capture_output=True, text=True, env=env)
    assert with_tmp.stdout.strip().splitlines()[-1] == "False", with_tmp.stdout + with_tmp.stderr


# -- under mpirun --------------------------------------------------------------------------


def _run_args(out, *extra):
    return ["-m", "lumetra", "run", "--no-progress", "--output", out, *[f"--set={s}" for s in SMALL], *extra]


def _cure(folder):
    meshio = pytest.importorskip("meshio")
    return meshio.read(folder / "cure_3.vtu").point_data["DegreeOfCuring"]


def test_two_processes_cure_as_one(mpirun, tmp_path):
    one = mpirun(1, *_run_args(tmp_path / "one"))
    assert one.returncode == 0, one.stdout + one.stderr
    two = mpirun(2, *_run_args(tmp_path / "two"))
    assert two.returncode == 0, two.stdout + two.stderr
    # Each process says where it runs; only rank 0 prints the summary.
    assert "rank 0 of 2" in two.stderr and "rank 1 of 2" in two.stderr and "the CPU variant" in two.stderr
    assert two.stdout.count("cured volume") == 1
    # Every ray follows the same path on 2 processes as on 1; only the order in which the
    # per-node power is summed differs (double, ~1e-16 relative). The resin's refractive
    # index is held in float on the device, so such a difference can move a node's index by
    # one float step (~1e-7 relative) and the rays after it by as much: a few 1e-6 at most
    # in the degree of curing, where a wrong split (a ray lost or traced twice) moves it by
    # about 1/64 of a ray's dose, orders of magnitude more.
    a, b = _cure(tmp_path / "one"), _cure(tmp_path / "two")
    assert a.max() > 0.5
    np.testing.assert_allclose(b, a, rtol=0, atol=TOLERANCE)
    s1, s2 = (json.loads((tmp_path / d / "summary.json").read_text()) for d in ("one", "two"))
    assert s2["processes"] == 2 and s2["rays"] == s1["rays"]
    assert s2["power"]["power_absorbed"] == pytest.approx(s1["power"]["power_absorbed"], rel=1e-6)


def test_only_rank_0_writes(mpirun, tmp_path):
    # Each rank runs in a working folder of its own and the output folder is relative: a
    # rank that wrote would leave files in its folder.
    script = tmp_path / "by_rank.py"
    script.write_text(
        textwrap.dedent("""
        import os, sys
        rank = os.environ["OMPI_COMM_WORLD_RANK"]
        os.makedirs(f"rank{rank}")
        os.chdir(f"rank{rank}")
        from lumetra import cli
        sys.exit(cli.main(sys.argv[1:]))
    """)
    )
    small = [a for a in SMALL if not a.startswith("time.steps")] + ["time.steps=2"]
    result = mpirun(2, script, "run", "--no-progress", "--output", "out", *[f"--set={s}" for s in small], cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert (tmp_path / "rank0" / "out" / "summary.json").is_file()
    assert list((tmp_path / "rank1").iterdir()) == []


def test_a_failing_rank_ends_the_job_with_its_error(mpirun, tmp_path):
    # Rank 1 gets an intensities file that does not exist; rank 0 a good scenario, so it waits for
    # rank 1 in the first sum of the absorbed power, until the job is ended.
    script = tmp_path / "one_bad.py"
    script.write_text(
        textwrap.dedent("""
        import os, sys
        from lumetra import cli
        extra = ["--set=light.intensities=\\"no-such-intensities.npy\\""]
        sys.exit(cli.main(sys.argv[1:] + (extra if os.environ["OMPI_COMM_WORLD_RANK"] == "1" else [])))
    """)
    )
    result = mpirun(2, script, *_run_args(tmp_path / "out")[2:], timeout=120)
    assert result.returncode != 0
    assert "rank 1" in result.stderr and "no-such-intensities.npy" in result.stderr, result.stderr


def test_sweep_writes_one_table(mpirun, tmp_path):
    small = [a for a in SMALL if not a.startswith(("time.steps", "output.every"))] + ["time.steps=4", "output.every=0"]
    result = mpirun(
        2,
        "-m",
        "lumetra",
        "sweep",
        "--output",
        tmp_path,
        "--vary",
        "resin.kpropagation=1,4,16",
        *[f"--set={s}" for s in small],
    )
    assert result.returncode == 0, result.stdout + result.stderr
    with open(tmp_path / "sweep.csv", newline="") as f:
        rows = list(csv.DictReader(f))
    assert [r["resin.kpropagation"] for r in rows] == ["1", "4", "16"]
    assert [r["rank"] for r in rows] == ["0", "1", "0"]  # dealt out over the two processes
    cured = [float(r["max_degree_of_curing"]) for r in rows]
    assert cured[0] < cured[1] < cured[2]  # a faster reaction cures more in the same time
    assert all((tmp_path / f"variant_{i}" / "summary.json").is_file() for i in range(3))
