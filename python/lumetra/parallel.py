"""One simulation over several MPI processes (``mpirun -n N lumetra run``), and the pieces
the runner needs for it.

Every process holds the whole mesh and traces its own contiguous block of the rays
(:func:`ray_share`); the other rays get a zero payload, so each process's absorbed power
is its share, and an all-reduce sums the shares before every curing step. Every process
then takes the same curing step on the same summed power.

mpi4py is imported only when the process runs under an MPI launcher (:func:`under_mpi`);
without one, :func:`world` is a single process and nothing here touches MPI.
"""

from __future__ import annotations

import os
import sys
import zlib
from typing import Any

import numpy as np

from lumetra._backend import under_mpi

__all__ = ["under_mpi", "ray_share", "world", "Serial", "Mpi", "DivergedError"]


class DivergedError(RuntimeError):
    """The processes no longer hold the same degree of curing."""


def ray_share(count: int, rank: int, size: int) -> tuple[int, int]:
    """The contiguous block [start, stop) of ``count`` rays that process ``rank`` of ``size`` traces.

    The first ``count % size`` processes take one ray more than the others, so the blocks
    differ by at most one ray, follow each other in rank order and cover every ray once.
    """
    if size < 1 or not 0 <= rank < size:
        raise ValueError(f"rank {rank} is not one of {size} processes")
    if count < 0:
        raise ValueError(f"ray count {count} is negative")
    base, extra = divmod(count, size)
    start = rank * base + min(rank, extra)
    return start, start + base + (1 if rank < extra else 0)


def checksum(values: np.ndarray) -> int:
    """A CRC32 of the bytes of a float64 array: equal arrays, equal checksums."""
    return zlib.crc32(np.ascontiguousarray(values, dtype=np.float64).tobytes())


class Serial:
    """The one-process world: every collective is the identity."""

    rank, size, local_rank, local_size = 0, 1, 0, 1

    @property
    def root(self) -> bool:
        return self.rank == 0

    def sum(self, values):
        return values

    def barrier(self) -> None:
        pass

    def bcast(self, value):
        return value

    def gather(self, value) -> list:
        return [value]

    def check_same(self, values: np.ndarray, what: str) -> None:
        pass

    def abort(self, message: str, code: int = 1) -> None:
        raise SystemExit(code)


class Mpi(Serial):
    """MPI.COMM_WORLD through mpi4py."""

    def __init__(self, comm=None):
        from mpi4py import MPI

        self.MPI = MPI
        self.comm = comm or MPI.COMM_WORLD
        self.rank, self.size = self.comm.Get_rank(), self.comm.Get_size()
        node = self.comm.Split_type(MPI.COMM_TYPE_SHARED)
        self.local_rank, self.local_size = node.Get_rank(), node.Get_size()
        node.Free()

    def sum(self, values):
        """The element-wise sum of a float64 array over the processes, the same on every process."""
        send = np.ascontiguousarray(values, dtype=np.float64)
        out = np.empty_like(send)
        # Summed on rank 0 and sent to all, rather than Allreduce: every process gets the
        # same bits, whatever order the MPI library would add in on each process.
        self.comm.Reduce(send, out, op=self.MPI.SUM, root=0)
        self.comm.Bcast(out, root=0)
        return out

    def barrier(self) -> None:
        self.comm.Barrier()

    def bcast(self, value):
        return self.comm.bcast(value, root=0)

    def gather(self, value) -> list:
        return self.comm.allgather(value)

    def check_same(self, values: np.ndarray, what: str) -> None:
        """Raise DivergedError, on every process, when ``values`` differ between processes."""
        sums = self.comm.allgather(checksum(values))
        if len(set(sums)) > 1:
            odd = [r for r, s in enumerate(sums) if s != sums[0]]
            raise DivergedError(
                f"the processes diverged: the {what} of rank(s) {odd} differs from rank 0's; "
                f"they no longer simulate the same resin"
            )

    def abort(self, message: str, code: int = 1) -> None:
        """End every process of the job, after writing the message to stderr."""
        print(message, file=sys.stderr, flush=True)
        self.comm.Abort(code)


def world() -> Serial:
    """The processes of this run: :class:`Mpi` under an MPI launcher, :class:`Serial` otherwise.

    Raises RuntimeError under a launcher without mpi4py: N copies of the same serial run
    would each write the same files.
    """
    if not under_mpi():
        return Serial()
    try:
        import mpi4py  # noqa: F401
    except ImportError as error:
        raise RuntimeError(
            "this process runs under an MPI launcher, but mpi4py is not installed "
            "(pip install 'lumetra[mpi]'), or set LUMETRA_MPI=0 to run each process alone"
        ) from error
    return Mpi()


def describe_device(comm: Serial) -> str:
    """One line saying where this process computes."""
    import lumetra
    from lumetra import _backend

    head = f"lumetra: rank {comm.rank} of {comm.size} on {os.uname().nodename}"
    if lumetra.backend == "cuda":
        return f"{head}: {_backend.device_note or 'the first visible GPU'}"
    return f"{head}: the CPU variant, {lumetra.get_num_threads()} thread(s)"


def share_threads(comm: Serial, requested: int) -> int:
    """Threads for this process: the scenario's count when set; otherwise the cores the
    launcher bound the process to, or, unbound, the node's cores shared between its processes."""
    if requested > 0 or comm.size == 1:
        return requested
    total = os.cpu_count() or 1
    bound = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else total
    return bound if bound < total else max(1, total // comm.local_size)


def payloads(full: np.ndarray, comm: Serial) -> np.ndarray:
    """``full`` with the payloads of the rays other processes trace set to zero."""
    if comm.size == 1:
        return full
    start, stop = ray_share(len(full), comm.rank, comm.size)
    mine = np.zeros_like(full)
    mine[start:stop] = full[start:stop]
    return mine


def merge_trace(trace: dict[str, Any], comm: Serial) -> dict[str, Any]:
    """The trace summary of all processes: the power entries and element visits summed."""
    if comm.size == 1 or not trace:
        return trace
    keys = sorted(k for k, v in trace.items() if isinstance(v, (int, float)) and not isinstance(v, bool))
    summed = comm.sum(np.array([float(trace[k]) for k in keys]))
    merged = dict(trace)
    merged.update({k: (int(round(v)) if isinstance(trace[k], int) else float(v)) for k, v in zip(keys, summed)})
    return merged
