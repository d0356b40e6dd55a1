"""The raw addresses engines hand out to the curing modules, with their kind.

``Lumetra.get_mesh_ptr``, ``get_mesh_data_devlink_ptr`` and ``get_result_array_device_ptr``
record here what they return; ``curalis`` and ``exposa`` look a number up before they use it,
so that a number no live engine handed out, an address of the wrong kind, or one whose
engine has since moved or freed its array is refused instead of followed. The check works
on this host-side table only: CUDA result addresses are device pointers and are never read
here.
"""

from __future__ import annotations

import threading
import weakref
from typing import Any

# kind: (what the messages call it, the engine method that hands it out)
KINDS = {
    "mesh": ("mesh address", "get_mesh_ptr"),
    "devlink": ("mesh record address", "get_mesh_data_devlink_ptr"),
    "result": ("result array address", "get_result_array_device_ptr"),
}

_lock = threading.Lock()
_handed: dict[tuple[int, str], weakref.ref] = {}


def register(engine: Any, kind: str, address: int) -> int:
    """Record that ``engine`` handed out ``address`` of ``kind``; returns the address."""
    if address:
        with _lock:
            for key in [key for key, ref in _handed.items() if ref() is None]:
                del _handed[key]
            _handed[(address, kind)] = weakref.ref(engine)
    return address


def check(address: int, kind: str, call: str) -> Any:
    """The live engine whose current address of ``kind`` is ``address``.

    Raises
    ------
    RuntimeError
        Naming ``call``, for an address no engine handed out, one of another kind, one whose
        engine is gone, or one the engine has since replaced (its array reallocated).
    """
    name, getter = KINDS[kind]
    with _lock:
        ref = _handed.get((address, kind))
        others = [k for (a, k), r in _handed.items() if a == address and k != kind and r() is not None]
    if ref is None:
        if others:
            raise RuntimeError(
                f"{call}: {address:#x} is an engine's {KINDS[others[0]][0]} (from "
                f"Lumetra.{KINDS[others[0]][1]}()), not its {name} (from Lumetra.{getter}())"
            )
        raise RuntimeError(
            f"{call}: {address:#x} is not a {name} that a lumetra engine handed out (from "
            f"Lumetra.{getter}()); pass the engine itself instead"
        )
    engine = ref()
    if engine is None:
        raise RuntimeError(f"{call}: the engine that handed out the {name} {address:#x} is gone; its memory is freed")
    current = getattr(engine, getter)()
    if current != address:
        raise RuntimeError(
            f"{call}: the {name} {address:#x} is stale: the engine has replaced it since (now "
            f"{current:#x}, after a mesh of another node count or a new objective); ask "
            f"Lumetra.{getter}() again, or pass the engine itself"
        )
    return engine
