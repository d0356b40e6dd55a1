"""Mesh load throughput: seconds per million hexahedra for readVTK with connectivity,
normals, the constant-index check and nodal volumes.

    python bench/mesh_load.py [cells per axis, default 60]
"""

import contextlib
import io
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "python"))

import lumetra  # noqa: E402
from meshes import grid, write_vtk  # noqa: E402


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 60
    points, cells = grid(n, n, n)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "grid.vtk")
        write_vtk(path, points, cells)
        engine = lumetra.Lumetra()
        times = []
        for _ in range(3):
            with contextlib.redirect_stdout(io.StringIO()):
                start = time.perf_counter()
                engine.load_mesh(path)
                times.append(time.perf_counter() - start)
    best = min(times)
    print(f"backend {lumetra.backend}, threads {lumetra.get_num_threads()}: {len(cells)} elements, "
          f"{len(points)} nodes, load {best:.3f} s = {best / len(cells) * 1e6:.2f} s per million elements",
          file=sys.stderr)


if __name__ == "__main__":
    main()
