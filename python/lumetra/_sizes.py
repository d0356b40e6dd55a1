"""Sizes refused before anything is allocated for them.

Linux grants a large allocation lazily: an array far larger than the memory can be created,
and the process is then ended when its pages are touched, with no message. So the engine's
inputs are sized up front: more items than its int indexing can address, or more memory than
the machine has available, give a MemoryError that names the item and the memory it would
need. The compiled modules call these same functions, so every refusal reads alike.
"""

from __future__ import annotations

import os

__all__ = ["available_memory", "limit", "require_count", "require_memory"]

_GIB = float(2**30)


def _gib(size: float) -> str:
    gib = size / _GIB
    return f"{gib:.3g} GiB" if gib < 1000 else f"{gib:.0f} GiB"


def _read_int(path: str) -> int | None:
    try:
        with open(path, encoding="ascii") as f:
            return int(f.read().split()[0])
    except (OSError, ValueError, IndexError):  # absent, or "max" for no limit
        return None


def available_memory() -> int | None:
    """Bytes this process can still take: the system's MemAvailable, or less when a control
    group limits the process; None where the system does not say."""
    found = []
    try:
        with open("/proc/meminfo", encoding="ascii") as f:
            found += [int(line.split()[1]) * 1024 for line in f if line.startswith("MemAvailable:")]
    except (OSError, ValueError, IndexError):
        pass
    if not found:
        try:
            found.append(os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE"))
        except (AttributeError, ValueError, OSError):
            pass
    cap, used = _read_int("/sys/fs/cgroup/memory.max"), _read_int("/sys/fs/cgroup/memory.current")
    if cap is not None and used is not None:
        found.append(max(cap - used, 0))
    return min(found) if found else None


def limit(what: str) -> int:
    """The most "nodes", "elements" or "rays" the engine holds."""
    from lumetra import _ext

    return _ext._size_limits[what]


def require_count(item: str, count: int, what: str, bytes_each: float) -> None:
    """Refuse more ``what`` ("nodes", "elements", "rays") than the engine holds.

    ``bytes_each`` is what one of them takes at least, for the message.
    """
    most = limit(what)
    if count > most:
        raise MemoryError(
            f"{item}: {count} {what} would need at least {_gib(count * bytes_each)}; the engine holds "
            f"at most {most} {what}"
        )


def require_memory(item: str, size: float) -> None:
    """Refuse an item that needs at least ``size`` bytes when less memory is available."""
    available = available_memory()
    if available is not None and size > available:
        raise MemoryError(
            f"{item} would need at least {_gib(size)}, more than the {_gib(available)} of memory available"
        )
