"""A long trace from a script: it runs without the interpreter lock, reports progress,
stops on Ctrl-C with the engine intact, and a verbosity setting quiets the information."""

import contextlib
import io
import threading
import _thread
import time

import numpy as np
import pytest


@pytest.fixture
def long_trace(tmp_path):
    """An engine whose trace of a graded block takes a few seconds on one CPU thread."""
    import lumetra
    from lumetra import meshes

    block = meshes.box(30, 30, 30, size=(3, 3, 3), refractive_index=lambda x, y, z: 1.4 + 0.03 * x, absorptivity=0.05)
    rng = np.random.default_rng(1)
    xy = rng.uniform(0.1, 2.9, size=(20000, 2))
    lines = [f"{len(xy)}"] + [f"{x} {y} 4 0.05 0.02 -1 1e-3" for x, y in xy]
    (tmp_path / "beam.ry").write_text("\n".join(lines) + "\n")
    engine = lumetra.Lumetra()
    with contextlib.redirect_stdout(io.StringIO()):
        engine.load_mesh_arrays(*block)
        engine.load_rays(str(tmp_path / "beam.ry"))
        engine.set_solver_type("RK4")
        engine.config()
    threads = lumetra.get_num_threads()
    lumetra.set_num_threads(1)
    yield engine
    lumetra.set_num_threads(threads)


def test_interrupt_progress_and_other_threads(long_trace):
    engine = long_trace
    calls = []
    with contextlib.redirect_stdout(io.StringIO()):
        engine.compute_volumetric_absorption(progress=lambda done, total: calls.append((done, total)))
    full = engine.get_absorbed_power().copy()
    done = [c[0] for c in calls]
    assert len(calls) >= 3 and done == sorted(done) and calls[-1] == (20000, 20000)

    # Ctrl-C arrives during the second batch: the check after it stops the trace.
    ticks, stop, seen = [0], threading.Event(), []

    def tick():
        while not stop.is_set():
            ticks[0] += 1
            time.sleep(0.002)

    def interrupt_once(done, total):
        seen.append((time.monotonic(), ticks[0]))
        if len(seen) == 2:
            _thread.interrupt_main()

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        with pytest.raises(KeyboardInterrupt), contextlib.redirect_stdout(io.StringIO()):
            engine.compute_volumetric_absorption(progress=interrupt_once)
        stopped = time.monotonic()
    finally:
        stop.set()
        ticker.join()
    assert len(seen) == 2 and stopped - seen[1][0] < 1.0  # the next batch boundary stops it
    assert seen[1][1] > seen[0][1]  # the other thread ran during a batch
    np.testing.assert_array_equal(engine.get_absorbed_power(), full)  # the stopped trace left nothing
    with contextlib.redirect_stdout(io.StringIO()):
        engine.reset_absorbed_power()
        engine.compute_volumetric_absorption(progress=False)
    np.testing.assert_allclose(engine.get_absorbed_power(), full, rtol=1e-9, atol=1e-15)


def test_verbosity_keeps_warnings_and_errors(tmp_path, capsys):
    import lumetra
    from lumetra import meshes

    with pytest.raises(ValueError):
        lumetra.set_verbosity(2)
    engine = lumetra.Lumetra()
    try:
        lumetra.set_verbosity(0)
        engine.load_mesh_arrays(*meshes.box(2, 2, 2))  # informational lines and a warning
        engine.write_result()  # an error message
    finally:
        lumetra.set_verbosity(1)
    out = capsys.readouterr().out
    assert out.splitlines() and all(
        ("Warning" in line or "Error" in line or "Aborting" in line) for line in out.splitlines()
    ), out
    engine.load_mesh_arrays(*meshes.box(2, 2, 2))
    assert "Mesh loaded from arrays" in capsys.readouterr().out
