"""Choice of the compiled variant (CPU or CUDA) for this process.

pybind11 registers each bound type once per process, so the choice is made before any
variant is imported: a probe that binds no types asks the CUDA runtime for a GPU, and
exactly one variant is imported afterwards. ``curalis`` follows the choice ``lumetra``
made, because the two exchange raw device addresses.
"""

import importlib
import importlib.util
import os
import subprocess
import sys
import warnings

CHOICES = ("auto", "cpu", "cuda")


def requested_backend():
    """The value of ``LUMETRA_BACKEND`` (``auto`` when unset), validated."""
    raw = os.environ.get("LUMETRA_BACKEND", "")
    value = raw.strip().lower() or "auto"
    if value not in CHOICES:
        raise ImportError(f"LUMETRA_BACKEND must be 'auto', 'cpu' or 'cuda', not {raw!r}")
    return value


# Set by the launchers that start MPI processes (Open MPI; MPICH and Intel MPI's Hydra; PMIx,
# as under Slurm's srun --mpi=pmix; Slurm's PMI2). LUMETRA_MPI=1 or 0 overrides the guess.
MPI_SIZE_VARIABLES = ("OMPI_COMM_WORLD_SIZE", "PMI_SIZE", "PMIX_RANK", "MPI_LOCALNRANKS")
LOCAL_RANK_VARIABLES = ("OMPI_COMM_WORLD_LOCAL_RANK", "MPI_LOCALRANKID", "SLURM_LOCALID", "PMI_LOCAL_RANK")

# What this process chose for its GPU under MPI, in words ('' when it made no choice).
device_note = ""


def under_mpi(environ=None):
    """Whether this process was started by an MPI launcher (mpi4py is not imported)."""
    environ = os.environ if environ is None else environ
    forced = environ.get("LUMETRA_MPI", "").strip()
    if forced in ("0", "1"):
        return forced == "1"
    return any(name in environ for name in MPI_SIZE_VARIABLES)


def local_rank(environ=None):
    """This process's rank among the MPI processes of its node, from the launcher; 0 when unknown."""
    environ = os.environ if environ is None else environ
    for name in LOCAL_RANK_VARIABLES:
        value = environ.get(name, "").strip()
        if value.isdigit():
            return int(value)
    return 0


def _gpu_ids():
    """The GPUs this process may use (CUDA_VISIBLE_DEVICES, or counted in a child process so
    that this process's CUDA runtime starts only after the choice)."""
    visible = os.environ.get("CUDA_VISIBLE_DEVICES")
    if visible is not None:
        return [v.strip() for v in visible.split(",") if v.strip()]
    probe = importlib.util.find_spec("lumetra._cuda_probe")
    if probe is None or probe.origin is None:
        return []
    code = (
        "import importlib.machinery as m, importlib.util as u, sys\n"
        "s = u.spec_from_file_location('lumetra._cuda_probe', sys.argv[1])\n"
        "p = u.module_from_spec(s); s.loader.exec_module(p); print(p.device_count()[0])"
    )
    try:
        out = subprocess.run(
            [sys.executable, "-c", code, probe.origin], capture_output=True, text=True, timeout=60, check=True
        ).stdout
        return [str(i) for i in range(int(out.strip() or 0))]
    except (OSError, ValueError, subprocess.SubprocessError):
        return []


def choose_gpu():
    """Under MPI: each process of a node takes its own GPU, local rank modulo the GPU count,
    by narrowing CUDA_VISIBLE_DEVICES before CUDA starts in this process."""
    global device_note
    ids = _gpu_ids()
    if not ids:
        return
    rank = local_rank()
    chosen = ids[rank % len(ids)]
    os.environ["CUDA_VISIBLE_DEVICES"] = chosen
    device_note = f"GPU {chosen} (local rank {rank} modulo {len(ids)} GPU(s))"


def cuda_variant_built():
    return importlib.util.find_spec("lumetra._lumetra_cuda") is not None


def gpu_status():
    """(usable, reason): whether the CUDA runtime sees a GPU, and why not."""
    try:
        probe = importlib.import_module("lumetra._cuda_probe")
    except ImportError as exc:
        return False, f"the CUDA probe could not be loaded ({exc})"
    count, reason = probe.device_count()
    return count > 0, reason


def load_extension():
    """Import the variant ``LUMETRA_BACKEND`` asks for; returns (module, name)."""
    requested = requested_backend()
    if requested != "cpu":
        if not cuda_variant_built():
            if requested == "cuda":
                raise ImportError(
                    "LUMETRA_BACKEND=cuda, but this installation has no CUDA variant "
                    "(it was built without a CUDA compiler, or with LUMETRA_CUDA=OFF)"
                )
        else:
            if under_mpi():
                choose_gpu()
            usable, reason = gpu_status()
            if usable:
                try:
                    return importlib.import_module("lumetra._lumetra_cuda"), "cuda"
                except ImportError as exc:
                    if requested == "cuda":
                        raise ImportError(
                            f"LUMETRA_BACKEND=cuda, but the CUDA variant could not be loaded: {exc}"
                        ) from exc
                    warnings.warn(
                        f"lumetra: the CUDA variant could not be loaded ({exc}); using the CPU variant",
                        RuntimeWarning,
                        stacklevel=3,
                    )
            elif requested == "cuda":
                raise ImportError(f"LUMETRA_BACKEND=cuda, but no usable GPU was found: {reason}")
    return importlib.import_module("lumetra._lumetra_cpu"), "cpu"


def load_companion(package, backend):
    """Import the variant of ``package`` (``curalis``, ``exposa``) that matches ``backend``,
    the variant lumetra runs: the packages exchange raw device addresses."""
    requested = requested_backend()
    if requested != "auto" and requested != backend:
        raise ImportError(
            f"{package}: LUMETRA_BACKEND={requested}, but lumetra is already using its {backend} variant in this "
            "process; both packages must use the same variant because they exchange device addresses"
        )
    try:
        ext = importlib.import_module(f"{package}._{package}_{backend}")
    except ImportError as exc:
        raise ImportError(f"{package} has no usable {backend} variant to match lumetra's: {exc}") from exc
    share_thread_count(ext)
    return ext


def install_hooks(ext, engine_type):
    """Hand ``ext`` what it uses of this package: the size checks, the table of the addresses
    engines hand out, and the engine class ``engine_type`` the curing models accept. The
    compiled modules import nothing of the package themselves."""
    from . import _addresses, _sizes

    ext._install_hooks(
        require_count=_sizes.require_count,
        require_memory=_sizes.require_memory,
        register_address=_addresses.register,
        check_address=_addresses.check,
        engine_type=engine_type,
    )


# Each compiled module links its own copy of the device layer, and with it its own CPU
# thread count. The modules register here; lumetra.set_num_threads sets every one, and a
# module that registers later starts from the count in force.
_thread_modules = []


def share_thread_count(ext):
    """Let ``ext`` follow the thread count (and verbosity) of the modules registered before it."""
    if _thread_modules:
        ext.set_num_threads(_thread_modules[0].get_num_threads())
        ext.set_verbosity(_thread_modules[0].get_verbosity())
    if ext not in _thread_modules:
        _thread_modules.append(ext)


def set_num_threads(threads):
    """Set the number of CPU threads that run kernels, in every loaded module."""
    # The first call validates the count before any other module changes.
    for ext in _thread_modules:
        ext.set_num_threads(threads)


def set_verbosity(level):
    """Set the verbosity of every loaded module (each has its own message helper)."""
    for ext in _thread_modules:
        ext.set_verbosity(level)
