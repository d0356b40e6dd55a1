"""The device layer of whichever variant this process runs, driven through lumetra._testing."""

import numpy as np
import pytest

from conftest import run_python


@pytest.fixture(scope="module")
def t():
    from lumetra import _testing

    return _testing


@pytest.mark.parametrize("items,block", [(1, 64), (999, 128), (65537, 256), (300001, 1024)])
def test_launch_visits_every_item_once(t, items, block):
    visits = np.asarray(t.launch_coverage(items, block))
    assert visits.shape == (items,)
    assert np.all(visits == 1)


def test_atomics_under_contention(t):
    assert t.atomic_int_sum(8192, 25) == 8192 * 25
    assert t.atomic_double_sum(8192, 4, 0.5) == 8192 * 4 * 0.5
    assert t.atomic_double_sum(8192, 4, 0.1) == pytest.approx(3276.8, rel=1e-12)
    assert t.atomic_float_sum(4096, 2, 0.1) == pytest.approx(819.2, rel=1e-3)


def test_streams_ordered_by_an_event(t):
    values = np.linspace(-3.0, 3.0, 50001, dtype=np.float32)
    assert np.array_equal(np.asarray(t.stream_pipeline(values.tolist()), dtype=np.float32), 2 * values + 1)


def test_failures_raise_runtime_error_with_the_runtime_text(t):
    with pytest.raises(RuntimeError, match=r"test allocation of 4611686018427387904 bytes failed: .*memory"):
        t.allocate(1 << 62)
    with pytest.raises(RuntimeError, match=r"launch of idleKernel.*invalid configuration argument"):
        t.launch_with_block(4096)
    t.launch_with_block(256)  # nothing sticky left behind


def test_xorwow_draws_agree_between_variants(t):
    import lumetra

    if lumetra.backend != "cuda":
        pytest.skip("compares the CUDA variant with the CPU variant; this process runs the CPU variant")
    cases = [(0xE220A8397B1DCDAF, 0, 0), (1, 123456, 7), (0xFFFFFFFFFFFFFFFF, (1 << 40) + 3, 0)]
    script = f"""
        from lumetra import _testing
        for case in {cases!r}:
            raw, uni = _testing.xorwow(*case, 16)
            print(*raw.tolist(), *uni.view('uint32').tolist())
    """
    result = run_python(script, backend="cpu")
    assert result.returncode == 0, result.stderr
    for case, line in zip(cases, result.stdout.splitlines()):
        raw, uni = t.xorwow(*case, 16)
        assert [*raw.tolist(), *uni.view("uint32").tolist()] == [int(v) for v in line.split()]


@pytest.mark.parametrize("switch", ["1", "0"])
def test_kernel_profile_at_exit(switch):
    script = """
        from lumetra import _testing
        for items in (1000, 3000):
            _testing.launch_coverage(items, 128)
        _testing.launch_with_block(32)
    """
    result = run_python(script, LUMETRA_PROFILE=switch)
    assert result.returncode == 0, result.stderr
    rows = {line.split()[0]: line.split()[1:] for line in result.stderr.splitlines()[2:] if line.strip()}
    if switch == "0":
        assert "kernel times" not in result.stderr
        return
    assert "kernel times (LUMETRA_PROFILE)" in result.stderr
    # Named from the identifiers, counted per name, times non-negative.
    assert rows["countVisitsKernel"][0] == "2" and rows["idleKernel"][0] == "1"
    assert all(float(v) >= 0.0 for cols in rows.values() for v in cols[1:])
