"""Mesh load throughput: seconds per million hexahedra for readVTK, and for the same mesh
handed over as arrays, each with connectivity, normals, the constant-index check and
nodal volumes.

    python bench/mesh_load.py [cells per axis, default 60]
"""

import contextlib
import io
import os
import sys
import tempfile
import time

import lumetra
from lumetra import meshes


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 60
    box = meshes.box(n, n, n, size=(n, n, n))
    engine = lumetra.Lumetra()

    def best_of_three(load):
        times = []
        for _ in range(3):
            with contextlib.redirect_stdout(io.StringIO()):
                start = time.perf_counter()
                load()
                times.append(time.perf_counter() - start)
        return min(times)

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "grid.vtk")
        meshes.write(path, box)
        file_time = best_of_three(lambda: engine.load_mesh(path))
    array_time = best_of_three(lambda: engine.load_mesh_arrays(*box))
    cells, points = len(box.hexahedra), len(box.points)
    for what, seconds in (("file", file_time), ("arrays", array_time)):
        print(
            f"backend {lumetra.backend}, threads {lumetra.get_num_threads()}: {cells} elements, {points} nodes, "
            f"{what} load {seconds:.3f} s = {seconds / cells * 1e6:.2f} s per million elements",
            file=sys.stderr,
        )


if __name__ == "__main__":
    main()
